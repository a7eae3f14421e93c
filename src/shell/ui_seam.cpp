// The desktop's own dialogs behind the seam, and the non-interactive stand-in for scripted starts.
#include "shell/ui_seam.h"

#include <QDesktopServices>
#include <QDialog>
#include <QFileDialog>
#include <QMessageBox>
#include <QPrintDialog>
#include <QPrinter>
#include <QWidget>
#include <cstdio>

#include "shell/shell_texts.h"

namespace vellomir {
namespace {

class DesktopUi : public UiSeam {
 public:
  Answer ShowMessage(QWidget* parent, const QString& text, MessageKind kind) override {
    if (kind == MessageKind::kQuestion) {
      const auto button = QMessageBox::question(parent, Q(kAppTitle), DisplayLines(text),
                                                QMessageBox::Yes | QMessageBox::No);
      return button == QMessageBox::Yes ? Answer::kYes : Answer::kNo;
    }
    QMessageBox::warning(parent, Q(kAppTitle), DisplayLines(text), QMessageBox::Ok);
    return Answer::kOk;
  }

  std::optional<QStringList> ChooseFiles(QWidget* parent, const QString& title,
                                         const QString& filter) override {
    const QStringList files = QFileDialog::getOpenFileNames(parent, title, QString(), filter);
    if (files.isEmpty()) return std::nullopt;
    return files;
  }

  QString ChooseFolder(QWidget* parent, const QString& title) override {
    return QFileDialog::getExistingDirectory(parent, title);
  }

  int RunDialog(QDialog& dialog) override { return dialog.exec(); }

  bool ChoosePrinter(QWidget* parent, QPrinter& printer) override {
    QPrintDialog dialog(&printer, parent);
    return dialog.exec() == QDialog::Accepted;
  }

  void OpenUrl(const QUrl& url) override { QDesktopServices::openUrl(url); }
};

// Writes what a person would have been shown to standard error and takes the default answers.
class NonInteractiveUi : public UiSeam {
 public:
  Answer ShowMessage(QWidget*, const QString& text, MessageKind kind) override {
    Report(DisplayLines(text));
    return kind == MessageKind::kQuestion ? Answer::kNo : Answer::kOk;
  }
  std::optional<QStringList> ChooseFiles(QWidget*, const QString&, const QString&) override {
    return std::nullopt;
  }
  QString ChooseFolder(QWidget*, const QString&) override { return QString(); }
  int RunDialog(QDialog& dialog) override {
    Report(dialog.windowTitle());
    return QDialog::Rejected;
  }
  bool ChoosePrinter(QWidget*, QPrinter&) override { return false; }
  void OpenUrl(const QUrl& url) override { Report(QStringLiteral("open ") + url.toString()); }
  void ShowMainWindow(QWidget& window) override {
    UiSeam::ShowMainWindow(window);
    Report(QStringLiteral("shown ") + window.windowTitle());
  }

 private:
  static void Report(const QString& text) {
    const QByteArray line = (Q(kAppTitle) + QStringLiteral(": ") + text + u'\n').toUtf8();
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stderr);
    std::fflush(stderr);
  }
};

UiSeam* DefaultUi() {
  static DesktopUi desktop;
  static NonInteractiveUi non_interactive;
  return qEnvironmentVariableIntValue("VELLOMIR_NONINTERACTIVE") == 1
             ? static_cast<UiSeam*>(&non_interactive)
             : &desktop;
}

UiSeam* g_ui = nullptr;

}  // namespace

void UiSeam::ShowMainWindow(QWidget& window) {
  window.showMaximized();
}

UiSeam& Ui() {
  if (g_ui == nullptr) g_ui = DefaultUi();
  return *g_ui;
}

ScopedUiSeam::ScopedUiSeam(UiSeam& replacement) : previous_(&Ui()) {
  g_ui = &replacement;
}

ScopedUiSeam::~ScopedUiSeam() {
  g_ui = previous_;
}

QString DisplayLines(QString text) {
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  text.replace(u'\r', u'\n');
  return text;
}

}  // namespace vellomir
