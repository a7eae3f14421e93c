"""A headless LibreOffice driven over UNO: opens documents as a user would and exports every sheet
as CSV. Used by the end-to-end tests only."""
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time

CSV_FILTER = 'Text - txt - csv (StarCalc)'
# comma, double quote, UTF-8, from row 1, ..., then the sheet number (1-based)
CSV_OPTIONS = '44,34,76,1,,0,false,true,false,false,false,%d'


def have_libreoffice():
    if shutil.which('soffice') is None:
        return False
    try:
        import uno  # noqa: F401
    except ImportError:
        return False
    return True


def _property(name, value):
    from com.sun.star.beans import PropertyValue
    p = PropertyValue()
    p.Name = name
    p.Value = value
    return p


class Office:
    """One soffice process for many documents; a call that takes longer than `timeout` seconds
    kills it, and the next call starts a new one."""

    def __init__(self, timeout=120):
        self.timeout = timeout
        self.work = tempfile.mkdtemp(prefix='vellomir-e2e-office-')
        self.process = None
        self.desktop = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _start(self):
        import uno
        with socket.socket() as s:
            s.bind(('127.0.0.1', 0))
            port = s.getsockname()[1]
        profile = uno.systemPathToFileUrl(os.path.join(self.work, 'profile'))
        self.process = subprocess.Popen(
            ['soffice', '--headless', '--invisible', '--nologo', '--norestore', '--nodefault',
             '--nolockcheck', f'--accept=socket,host=127.0.0.1,port={port};urp;',
             f'-env:UserInstallation={profile}'],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            start_new_session=True)
        local = uno.getComponentContext()
        resolver = local.ServiceManager.createInstanceWithContext(
            'com.sun.star.bridge.UnoUrlResolver', local)
        started = time.time()
        while True:
            try:
                context = resolver.resolve(
                    f'uno:socket,host=127.0.0.1,port={port};urp;StarOffice.ComponentContext')
                break
            except Exception:
                if time.time() - started > 90 or self.process.poll() is not None:
                    self._kill()
                    raise RuntimeError('soffice did not start')
                time.sleep(0.2)
        self.desktop = context.ServiceManager.createInstanceWithContext(
            'com.sun.star.frame.Desktop', context)

    def _kill(self):
        if self.process is not None:
            try:
                os.killpg(self.process.pid, signal.SIGKILL)
            except OSError:
                pass
            self.process.wait()
        self.process = None
        self.desktop = None

    def close(self):
        if self.desktop is not None:
            try:
                self.desktop.terminate()
                self.process.wait(timeout=30)
            except Exception:
                pass
        self._kill()
        shutil.rmtree(self.work, ignore_errors=True)

    def _with_timeout(self, job):
        if self.process is None or self.process.poll() is not None:
            self._kill()
            self._start()
        fired = []

        def fire():
            fired.append(True)
            self._kill()
        timer = threading.Timer(self.timeout, fire)
        timer.start()
        try:
            return job(), None
        except Exception as error:
            if fired:
                return None, 'timeout'
            if self.process is None or self.process.poll() is not None:
                self._kill()
                return None, 'crash'
            return None, f'{type(error).__name__}: {getattr(error, "Message", "") or error}'
        finally:
            timer.cancel()

    def _load(self, path, repair):
        import uno
        properties = [_property('Hidden', True), _property('ReadOnly', True),
                      _property('MacroExecutionMode', 0), _property('UpdateDocMode', 0)]
        if repair:
            # What a user gets by accepting LibreOffice's offer to repair a broken package.
            properties += [_property('RepairPackage', True), _property('FilterName', 'calc8')]
        document = self.desktop.loadComponentFromURL(
            uno.systemPathToFileUrl(os.path.abspath(path)), '_blank', 0, tuple(properties))
        if document is None:
            raise RuntimeError('no document')
        return document

    def _sheets(self, document):
        import uno
        sheets = []
        for i in range(document.Sheets.Count):
            sheet = document.Sheets.getByIndex(i)
            folder = os.path.join(self.work, 'csv')
            shutil.rmtree(folder, ignore_errors=True)
            os.makedirs(folder)
            document.storeToURL(uno.systemPathToFileUrl(os.path.join(folder, 'sheet.csv')), (
                _property('FilterName', CSV_FILTER),
                _property('FilterOptions', CSV_OPTIONS % (i + 1))))
            (name,) = os.listdir(folder)
            with open(os.path.join(folder, name), encoding='utf-8', newline='') as f:
                lines = f.read().split('\n')
            if lines and lines[-1] == '':
                lines.pop()
            sheets.append((sheet.Name, lines))
        return sheets

    def open(self, path):
        """('plain' | 'repair' | 'no', [(sheet name, CSV lines)], [errors])"""
        errors = []
        for mode, repair in (('plain', False), ('repair', True)):
            def job():
                document = self._load(path, repair)
                try:
                    return self._sheets(document)
                finally:
                    try:
                        document.close(True)
                    except Exception:
                        pass
            sheets, error = self._with_timeout(job)
            if error is None:
                return mode, sheets, errors
            errors.append(f'{mode}: {error}')
        return 'no', [], errors
