"""LibreOffice-written spreadsheets for the end-to-end tests, made from flat XML documents, and the
damage done to them."""
import base64
import os
import random
import struct
import subprocess
import zipfile
import zlib

NAMESPACES = (
    'xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0" '
    'xmlns:table="urn:oasis:names:tc:opendocument:xmlns:table:1.0" '
    'xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0" '
    'xmlns:draw="urn:oasis:names:tc:opendocument:xmlns:drawing:1.0" '
    'xmlns:svg="urn:oasis:names:tc:opendocument:xmlns:svg-compatible:1.0" '
    'xmlns:xlink="http://www.w3.org/1999/xlink"')


def _row(index, rng):
    return ('<table:table-row>'
            f'<table:table-cell office:value-type="string"><text:p>Item {index}</text:p>'
            '</table:table-cell>'
            f'<table:table-cell office:value-type="float" office:value="{rng.randint(1, 99999)}">'
            '<text:p>0</text:p></table:table-cell>'
            f'<table:table-cell office:value-type="string"><text:p>note {rng.random():.6f}'
            '</text:p></table:table-cell></table:table-row>')


def png(width, height, seed):
    """A PNG of noise, which does not compress."""
    rng = random.Random(seed)
    raw = b''.join(b'\x00' + bytes(rng.getrandbits(8) for _ in range(width * 3))
                   for _ in range(height))

    def chunk(kind, data):
        body = kind + data
        return struct.pack('>I', len(data)) + body + struct.pack('>I', zlib.crc32(body))
    header = struct.pack('>IIBBBBB', width, height, 8, 2, 0, 0, 0)
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', header) + chunk(b'IDAT', zlib.compress(raw))
            + chunk(b'IEND', b''))


def flat_document(sheets, picture=None):
    """sheets: [(name, rows)]"""
    rng = random.Random(len(sheets) * 1000 + sum(rows for _, rows in sheets))
    parts = []
    for number, (name, rows) in enumerate(sheets):
        shapes = ''
        if picture is not None and number == 0:
            shapes = ('<table:shapes><draw:frame draw:name="Picture" svg:width="6cm" '
                      'svg:height="6cm" svg:x="12cm" svg:y="1cm"><draw:image><office:binary-data>'
                      + base64.b64encode(picture).decode() +
                      '</office:binary-data></draw:image></draw:frame></table:shapes>')
        body = ''.join(_row(i + 1, rng) for i in range(rows))
        parts.append(f'<table:table table:name="{name}">{shapes}{body}</table:table>')
    return ('<?xml version="1.0" encoding="UTF-8"?>\n'
            f'<office:document {NAMESPACES} office:version="1.3" '
            'office:mimetype="application/vnd.oasis.opendocument.spreadsheet">'
            '<office:body><office:spreadsheet>' + ''.join(parts) +
            '</office:spreadsheet></office:body></office:document>')


def make_documents(folder, specs):
    """specs: {name: (sheets, picture or None)}. Writes folder/<name>.ods with LibreOffice, in one
    soffice run; documents made earlier are kept."""
    os.makedirs(folder, exist_ok=True)
    flats = []
    for name, (sheets, picture) in specs.items():
        if os.path.exists(os.path.join(folder, name + '.ods')):
            continue
        flat = os.path.join(folder, name + '.fods')
        with open(flat, 'w', encoding='utf-8') as f:
            f.write(flat_document(sheets, picture))
        flats.append(flat)
    if flats:
        profile = 'file://' + os.path.join(folder, 'profile')
        subprocess.run(['soffice', f'-env:UserInstallation={profile}', '--headless',
                        '--convert-to', 'ods', '--outdir', folder] + flats,
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=900)
        for flat in flats:
            os.remove(flat)
    return {name: os.path.join(folder, name + '.ods') for name in specs}


def member_data_range(path, member):
    """(start, end) of a member's stored or compressed bytes in the file."""
    with zipfile.ZipFile(path) as z:
        info = z.getinfo(member)
    with open(path, 'rb') as f:
        f.seek(info.header_offset)
        header = f.read(30)
    name_length, extra_length = struct.unpack('<HH', header[26:30])
    start = info.header_offset + 30 + name_length + extra_length
    return start, start + info.compress_size


def damaged(data, kind, path):
    """The bytes of the document at `path` (read as `data`) with one kind of damage."""
    if kind.startswith('trunc'):
        return data[:len(data) * int(kind[5:]) // 100]
    if kind == 'cd-zeroed':
        with zipfile.ZipFile(path) as z:
            first = min(i.header_offset for i in z.infolist())
        directory = data.rfind(b'PK\x05\x06')
        offset = struct.unpack('<I', data[directory + 16:directory + 20])[0] + first
        return data[:offset] + bytes(len(data) - offset)
    if kind == 'zero4k':
        start, end = member_data_range(path, 'content.xml')
        at = start + (end - start) // 2 - 2048
        return data[:at] + bytes(4096) + data[at + 4096:]
    raise ValueError(kind)


def decoded_prefix_length(original_path, damaged_data):
    """How many leading bytes of content.xml a reader gets from the damaged bytes before they
    differ from the original's: the point where the damage begins, in the decoded content."""
    with zipfile.ZipFile(original_path) as z:
        content = z.read('content.xml')
    start, end = member_data_range(original_path, 'content.xml')
    compressed = damaged_data[start:end]
    inflater = zlib.decompressobj(-15)
    decoded = b''
    for i in range(0, len(compressed), 4096):
        try:
            decoded += inflater.decompress(compressed[i:i + 4096])
        except zlib.error:
            break
    same = 0
    limit = min(len(decoded), len(content))
    while same < limit and decoded[same] == content[same]:
        same += 1
    return content, same


def rows_before(content, offset):
    """Per sheet of a spreadsheet's content.xml, in order: (name, complete rows ending at or
    before `offset`, whether the sheet starts before it)."""
    import re
    sheets = []
    for table in re.finditer(rb'<table:table [^>]*table:name="([^"]*)"', content):
        sheets.append([table.group(1).decode(), 0, table.start() < offset, table.start()])
    for row_end in re.finditer(rb'</table:table-row>', content):
        owner = [s for s in sheets if s[3] < row_end.start()]
        if owner and row_end.end() <= offset:
            owner[-1][1] += 1
    return [(name, rows, started) for name, rows, started, _ in sheets]
