// Helpers of the shell tests: a scripted stand-in for every dialog, damaged documents to repair,
// screenshots, and the test programs' main function (offscreen, a 1280 x 800 screen, private
// settings and runtime folders).
#ifndef VELLOMIR_TESTS_SHELL_SHELL_TEST_SUPPORT_H_
#define VELLOMIR_TESTS_SHELL_SHELL_TEST_SUPPORT_H_

#include <QDialog>
#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QtTest>
#include <functional>
#include <optional>
#include <string>

#include "shell/ui_seam.h"

class QWidget;

namespace vellomir {
class CVellomirView;
}

namespace vellomir::testing {

// Answers every dialog from a script and records what was shown. Installed for its lifetime.
class ScriptedUi : public UiSeam {
 public:
  struct Message {
    QString text;
    MessageKind kind;
  };

  ScriptedUi() : scope_(*this) {}

  Answer ShowMessage(QWidget* parent, const QString& text, MessageKind kind) override;
  std::optional<QStringList> ChooseFiles(QWidget* parent, const QString& title,
                                         const QString& filter) override;
  QString ChooseFolder(QWidget* parent, const QString& title) override;
  // Shows the dialog (not modally), lets `on_dialog` look at it and answer, then closes it.
  int RunDialog(QDialog& dialog) override;
  bool ChoosePrinter(QWidget* parent, QPrinter& printer) override;
  void OpenUrl(const QUrl& url) override { opened.append(url); }

  // Script. A question with no scripted answer is answered No; a file chooser with nothing
  // scripted is cancelled, and so is a folder chooser.
  std::function<Answer(const QString& question)> on_question;
  QList<std::optional<QStringList>> file_choices;
  QStringList folder_choices;
  std::function<int(QDialog& dialog)> on_dialog;  // default: accepted
  std::function<bool(QPrinter& printer)> on_print;

  // Record.
  QList<Message> messages;
  QStringList MessageTexts() const;
  int file_choosers = 0;
  QString file_title, file_filter;
  int folder_choosers = 0;
  QString folder_title;
  QStringList dialog_titles;
  QList<QUrl> opened;

 private:
  ScopedUiSeam scope_;
};

// A damaged spreadsheet: its members are sound but the container ends before its index, as a save
// interrupted at its last step leaves it. `filler` bytes of text make a larger document.
void WriteDamagedDocument(const std::string& path, size_t filler = 0);

// The names of the view's controls that are shown, in a fixed order: "File List", "Log", "Next",
// "Back", "Stop", "Exit", "Select Files", "Remove Files".
QStringList ShownControls(const CVellomirView& view);
// Characters of the status pane that are bold, as "first-last" ranges ("6-18 72-76").
QString BoldRanges(const CVellomirView& view);

// Saves a picture of `widget` as <name>.png in the build tree's screenshot folder; returns the
// path.
QString SaveScreenshot(QWidget& widget, const QString& name);

// Sets up the environment, then runs the test object.
int RunShellTests(int argc, char** argv, const std::function<int(int, char**)>& run);

}  // namespace vellomir::testing

#define VELLOMIR_SHELL_TEST_MAIN(TestObject)                                         \
  int main(int argc, char** argv) {                                                  \
    return vellomir::testing::RunShellTests(argc, argv, [](int count, char** args) { \
      TestObject tests;                                                              \
      return QTest::qExec(&tests, count, args);                                      \
    });                                                                              \
  }

#endif  // VELLOMIR_TESTS_SHELL_SHELL_TEST_SUPPORT_H_
