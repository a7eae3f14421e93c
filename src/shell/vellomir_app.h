// Start-up: the application object, the single-instance guard and the empty document.
//
// Usage (the program's main):
//   CVellomirApp app(argc, argv);
//   if (!app.InitInstance()) return 1;
//   return app.exec();
#ifndef VELLOMIR_SHELL_VELLOMIR_APP_H_
#define VELLOMIR_SHELL_VELLOMIR_APP_H_

#include <QApplication>
#include <QLockFile>
#include <QString>
#include <memory>

namespace vellomir {

class CMainFrame;

// Holds a lock that only one running copy of the program per user can have. The lock is a file in
// the user's runtime folder; it counts as free once the process that took it has ended, however it
// ended, so a new copy can start at once.
class CInstanceGuard {
 public:
  CInstanceGuard();
  // True when another running copy holds the lock. When the lock cannot be had for any other
  // reason (no runtime folder, no permission) the program starts all the same.
  bool AnotherInstanceRuns() const { return m_anotherInstance; }
  static QString LockPath();

 private:
  std::unique_ptr<QLockFile> m_lock;
  bool m_anotherInstance = false;
};

// The document the window is built around. It holds nothing: a new one is empty, and opening a
// file only checks that the file can be opened, reading nothing of it.
class CVellomirDoc {
 public:
  bool OnNewDocument() { return true; }
  bool OnOpenDocument(const QString& path);
};

class CVellomirApp : public QApplication {
  Q_OBJECT

 public:
  CVellomirApp(int& argc, char** argv);
  ~CVellomirApp() override;

  // The start-up sequence. False when the program must end without a window.
  bool InitInstance();
  CMainFrame* MainFrame() const { return m_frame.get(); }

 private:
  CInstanceGuard m_instanceGuard;
  std::unique_ptr<CVellomirDoc> m_document;
  std::unique_ptr<CMainFrame> m_frame;
};

}  // namespace vellomir

#endif  // VELLOMIR_SHELL_VELLOMIR_APP_H_
