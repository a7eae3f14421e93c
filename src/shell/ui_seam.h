// The one place through which the desktop program asks the person something or hands something to
// the desktop: message boxes, the file and folder choosers, modal dialogs, the print dialog and
// the desktop's "open" action. The windows never call QMessageBox, QFileDialog or
// QDesktopServices themselves, so tests can put their own answers in place (ScopedUiSeam) and no
// test ever waits on a modal dialog.
//
// Usage:
//   if (Ui().Ask(this, Q(kCloseQuestion)) == Answer::kYes) ...
//   Ui().Tell(this, Q(kNothingToRemove));
#ifndef VELLOMIR_SHELL_UI_SEAM_H_
#define VELLOMIR_SHELL_UI_SEAM_H_

#include <QString>
#include <QStringList>
#include <QUrl>
#include <optional>

class QDialog;
class QPrinter;
class QWidget;

namespace vellomir {

enum class MessageKind {
  kWarning,   // warning icon, OK button
  kQuestion,  // question icon, Yes and No buttons
};

enum class Answer { kOk, kYes, kNo };

class UiSeam {
 public:
  virtual ~UiSeam() = default;

  // A message box captioned "Vellomir". `text` is given exactly as the program's texts are (line
  // ends may be CR LF); the box shows it line by line.
  virtual Answer ShowMessage(QWidget* parent, const QString& text, MessageKind kind) = 0;
  // The file chooser for opening several files: the chosen paths in the chooser's order, or
  // nothing when the person cancelled.
  virtual std::optional<QStringList> ChooseFiles(QWidget* parent, const QString& title,
                                                 const QString& filter) = 0;
  // The folder chooser: the chosen folder, or an empty string when the person cancelled.
  virtual QString ChooseFolder(QWidget* parent, const QString& title) = 0;
  // Shows `dialog` modally and returns its result code (QDialog::Accepted or Rejected).
  virtual int RunDialog(QDialog& dialog) = 0;
  // The print dialog: true when the person chose to print with `printer`.
  virtual bool ChoosePrinter(QWidget* parent, QPrinter& printer) = 0;
  // Opens a web address, a folder or a file with the desktop's own handler; fire and forget.
  virtual void OpenUrl(const QUrl& url) = 0;
  // Shows the program's main window, maximised.
  virtual void ShowMainWindow(QWidget& window);

  // Shorthands for the two kinds of message box.
  void Tell(QWidget* parent, const QString& text) {
    ShowMessage(parent, text, MessageKind::kWarning);
  }
  Answer Ask(QWidget* parent, const QString& text) {
    return ShowMessage(parent, text, MessageKind::kQuestion);
  }
};

// The seam in use: the desktop's own dialogs unless a test has put another in place. With the
// environment variable VELLOMIR_NONINTERACTIVE=1 the program asks nobody: each message is written
// to standard error as "Vellomir: <text>" and answered with its default (OK, No), choosers and
// dialogs are cancelled, nothing is opened, and the main window's caption is written when it is
// shown (for scripted start-up checks).
UiSeam& Ui();

// Puts `replacement` in place of Ui() for the lifetime of this object (tests).
class ScopedUiSeam {
 public:
  explicit ScopedUiSeam(UiSeam& replacement);
  ~ScopedUiSeam();
  ScopedUiSeam(const ScopedUiSeam&) = delete;
  ScopedUiSeam& operator=(const ScopedUiSeam&) = delete;

 private:
  UiSeam* previous_;
};

// The text as a message box shows it: CR LF and lone CR become line feeds.
QString DisplayLines(QString text);

}  // namespace vellomir

#endif  // VELLOMIR_SHELL_UI_SEAM_H_
