"""End to end: LibreOffice-written spreadsheets are damaged, repaired with vellomir-repair, and
opened by LibreOffice, which must open every result without asking to repair it and show, per
sheet, exactly the rows of the source that lie wholly before the damage.

    VELLOMIR_REPAIR=build/src/cli/vellomir-repair python3 tests/e2e/test_repair.py

Exits with 77 (CTest's "skipped") when LibreOffice or its Python bridge is missing.
"""
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import documents  # noqa: E402
import office  # noqa: E402

TOOL = os.environ.get('VELLOMIR_REPAIR', 'vellomir-repair')
CACHE = os.environ.get('VELLOMIR_E2E_CACHE') or os.path.join(tempfile.gettempdir(),
                                                              'vellomir-e2e-documents')
DAMAGE = ['trunc10', 'trunc50', 'trunc90', 'zero4k', 'cd-zeroed']


def source_specs():
    return {
        'small': ([('Sheet1', 200)], None),
        'large': ([('Sheet1', 100000)], None),
        'multi': ([('First', 40), ('Second', 400), ('Third', 15), ('Fourth', 1200)], None),
        'picture': ([('Sheet1', 60)], documents.png(320, 240, 5)),
    }


def shown(sheets):
    """The sheets that show rows: an empty sheet and a missing one look the same to a user."""
    return [(name, lines) for name, lines in sheets if any(lines)]


class RepairWithLibreOffice(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sources = documents.make_documents(CACHE, source_specs())
        cls.office = office.Office()
        cls.originals = {}
        for name, path in cls.sources.items():
            mode, sheets, errors = cls.office.open(path)
            assert mode == 'plain', (name, errors)
            cls.originals[name] = sheets
        cls.work = tempfile.mkdtemp(prefix='vellomir-e2e-')

    @classmethod
    def tearDownClass(cls):
        cls.office.close()
        shutil.rmtree(cls.work, ignore_errors=True)

    def repair(self, name, kind, *options):
        """Damages the source, repairs it; returns (damaged bytes, result path)."""
        source = self.sources[name]
        with open(source, 'rb') as f:
            data = documents.damaged(f.read(), kind, source)
        case = tempfile.mkdtemp(prefix=f'{name}.{kind}.', dir=self.work)
        damaged = os.path.join(case, f'{name}.{kind}.ods')
        with open(damaged, 'wb') as f:
            f.write(data)
        out = os.path.join(case, 'out')
        os.makedirs(out)
        run = subprocess.run([TOOL, *options, '-o', out, damaged], capture_output=True, text=True,
                             timeout=600)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        with open(damaged, 'rb') as f:
            self.assertEqual(hashlib.sha256(f.read()).digest(), hashlib.sha256(data).digest(),
                             'the damaged source was changed')
        results = os.listdir(out)
        self.assertEqual(results, [f'REC_{name}.{kind}.ods'])
        return data, os.path.join(out, results[0])

    def check_container(self, result):
        with zipfile.ZipFile(result) as z:
            self.assertIsNone(z.testzip())
            first = z.infolist()[0]
            self.assertEqual(first.filename, 'mimetype')
            self.assertEqual(first.compress_type, zipfile.ZIP_STORED)
            self.assertEqual(first.extra, b'')

    def expected_sheets(self, name, data):
        """The source's sheets as far as they lie wholly before the damage."""
        content, damage = documents.decoded_prefix_length(self.sources[name], data)
        original = dict(self.originals[name])
        expected = []
        for sheet, rows, _ in documents.rows_before(content, damage):
            expected.append((sheet, original[sheet][:rows]))
        return expected

    def test_every_result_opens_and_shows_the_rows_before_the_damage(self):
        for name in self.sources:
            for kind in DAMAGE:
                with self.subTest(document=name, damage=kind):
                    data, result = self.repair(name, kind)
                    self.check_container(result)
                    mode, sheets, errors = self.office.open(result)
                    self.assertEqual(mode, 'plain', errors)
                    if kind == 'cd-zeroed':
                        self.assertEqual(sheets, self.originals[name])
                    else:
                        self.assertEqual(shown(sheets), shown(self.expected_sheets(name, data)))

    def test_without_completion_a_cut_content_is_left_as_salvaged(self):
        # The salvage alone: content.xml holds what could be decoded, and no office program
        # opens it; the completion step is what brings the rows back.
        data, result = self.repair('large', 'trunc50', '--no-complete')
        with zipfile.ZipFile(result) as z:
            content = z.read('content.xml')
        original, damage = documents.decoded_prefix_length(self.sources['large'], data)
        self.assertGreater(len(content), damage // 2)
        self.assertEqual(content[:damage], original[:damage])
        mode, _, _ = self.office.open(result)
        self.assertNotEqual(mode, 'plain')


if __name__ == '__main__':
    if not office.have_libreoffice():
        print('LibreOffice with its Python bridge (python3-uno) is not installed: skipped')
        sys.exit(77)
    unittest.main()
