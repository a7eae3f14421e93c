"""End to end: LibreOffice-written spreadsheets are damaged, repaired with vellomir-repair, and
opened by LibreOffice.

    VELLOMIR_REPAIR=build/src/cli/vellomir-repair python3 -m unittest tests/e2e/test_repair.py

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
DAMAGE = ['trunc50', 'trunc90', 'cd-zeroed', 'zero4k']


def source_specs():
    picture = documents.png(320, 240, 5)
    return {
        'small': ([('Sheet1', 200)], None),
        'large': ([('Sheet1', 100000)], None),
        'picture': ([('Sheet1', 60)], picture),
    }


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

    def repair(self, name, kind):
        source = self.sources[name]
        with open(source, 'rb') as f:
            data = f.read()
        case = os.path.join(self.work, f'{name}.{kind}')
        os.makedirs(case)
        damaged = os.path.join(case, f'{name}.{kind}.ods')
        with open(damaged, 'wb') as f:
            f.write(documents.damaged(data, kind, source))
        digest = hashlib.sha256(open(damaged, 'rb').read()).hexdigest()
        out = os.path.join(case, 'out')
        os.makedirs(out)
        run = subprocess.run([TOOL, '-o', out, damaged], capture_output=True, text=True,
                             timeout=600)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        self.assertEqual(hashlib.sha256(open(damaged, 'rb').read()).hexdigest(), digest,
                         'the damaged source was changed')
        results = os.listdir(out)
        self.assertEqual(results, [f'REC_{name}.{kind}.ods'])
        return os.path.join(out, results[0])

    def check_container(self, result):
        with zipfile.ZipFile(result) as z:
            self.assertIsNone(z.testzip())
            first = z.infolist()[0]
            self.assertEqual(first.filename, 'mimetype')
            self.assertEqual(first.compress_type, zipfile.ZIP_STORED)
            self.assertEqual(first.extra, b'')

    def test_every_result_is_a_sound_container_that_libreoffice_opens(self):
        for name in self.sources:
            for kind in DAMAGE:
                with self.subTest(document=name, damage=kind):
                    result = self.repair(name, kind)
                    self.check_container(result)
                    mode, sheets, errors = self.office.open(result)
                    self.assertNotEqual(mode, 'no', errors)
                    if kind == 'cd-zeroed':
                        self.assertEqual(mode, 'plain', errors)
                        self.assertEqual(sheets, self.originals[name])


if __name__ == '__main__':
    if not office.have_libreoffice():
        print('LibreOffice with its Python bridge (python3-uno) is not installed: skipped')
        sys.exit(77)
    unittest.main()
