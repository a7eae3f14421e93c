#include "shell/vellomir_app.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include "shell/artwork.h"
#include "shell/main_frame.h"
#include "shell/shell_texts.h"
#include "shell/ui_seam.h"

namespace vellomir {
namespace {

// The lock's name carries the identifier by which the program's copies know each other.
constexpr char kLockName[] = "Vellomir-991327F0-DCC6-8888-9C61-DE9227500087.lock";

}  // namespace

QString CInstanceGuard::LockPath() {
  const QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
  return folder.isEmpty() ? QString() : QDir(folder).filePath(QString::fromLatin1(kLockName));
}

CInstanceGuard::CInstanceGuard() {
  const QString path = LockPath();
  if (path.isEmpty()) return;
  m_lock = std::make_unique<QLockFile>(path);
  // Never taken over because of its age: only an ended process gives the lock up.
  m_lock->setStaleLockTime(0);
  if (!m_lock->tryLock(0)) {
    m_anotherInstance = m_lock->error() == QLockFile::LockFailedError;
  }
}

bool CVellomirDoc::OnOpenDocument(const QString& path) {
  // Only a regular file is opened; opening a pipe or a device could wait for ever.
  if (!QFileInfo(path).isFile()) return false;
  QFile file(path);
  return file.open(QIODevice::ReadOnly);
}

CVellomirApp::CVellomirApp(int& argc, char** argv) : QApplication(argc, argv) {}

CVellomirApp::~CVellomirApp() {
  m_frame.reset();
}

bool CVellomirApp::InitInstance() {
  // 1. The common controls need no set-up: Qt's widgets are all built in.
  // 2. The framework's own initialisation happened when QApplication was constructed; the title
  //    "Vellomir" names the program and is the caption of every message box.
  setApplicationName(Q(kAppTitle));
  setApplicationDisplayName(Q(kAppTitle));
  setApplicationVersion(DisplayVersion());
  setWindowIcon(ApplicationIcon());
  // 3 to 5. Linux has no OLE, no embedded controls to host and no shell manager to create; the
  //    file and folder choosers need none of them.
  // 6. The settings root: QSettings("Vellomir1", "Vellomir"), group "Workspace". No recent-file
  //    list is kept, as no menu shows one.
  setOrganizationName(Q(kSettingsRoot));
  // 7. Context menus and keys are Qt's own; there is no manager to create.
  // 8. One copy at a time.
  if (m_instanceGuard.AnotherInstanceRuns()) {
    Ui().Tell(nullptr, Q(kAnotherInstance));
    return false;
  }
  // 9. Tool tips follow the current style by themselves.
  // 10 and 11. The document, then the frame with its view. A file named on the command line is
  //    opened by the empty document, which reads nothing; one that cannot be opened ends the
  //    start-up before any window exists.
  m_document = std::make_unique<CVellomirDoc>();
  const QStringList arguments = QCoreApplication::arguments();
  if (arguments.size() > 1) {
    if (!m_document->OnOpenDocument(arguments.at(1))) {
      Ui().Tell(nullptr, Q(kCannotOpenDocument) + arguments.at(1));
      return false;
    }
  } else if (!m_document->OnNewDocument()) {
    return false;
  }
  m_frame = std::make_unique<CMainFrame>();
  // 12. Shown at once, maximised.
  Ui().ShowMainWindow(*m_frame);
  return true;
}

}  // namespace vellomir
