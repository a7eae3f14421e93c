#include "shell_test_support.h"

#include <sys/stat.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QScreen>
#include <QTableWidget>

#include "shell/log_pane.h"
#include "shell/rich_edit.h"
#include "shell/vellomir_view.h"
#include "support/test_support.h"

namespace vellomir::testing {

Answer ScriptedUi::ShowMessage(QWidget*, const QString& text, MessageKind kind) {
  messages.append({text, kind});
  if (kind == MessageKind::kWarning) return Answer::kOk;
  return on_question ? on_question(text) : Answer::kNo;
}

QStringList ScriptedUi::MessageTexts() const {
  QStringList texts;
  for (const Message& message : messages) texts.append(message.text);
  return texts;
}

std::optional<QStringList> ScriptedUi::ChooseFiles(QWidget*, const QString& title,
                                                   const QString& filter) {
  ++file_choosers;
  file_title = title;
  file_filter = filter;
  if (file_choices.isEmpty()) return std::nullopt;
  return file_choices.takeFirst();
}

QString ScriptedUi::ChooseFolder(QWidget*, const QString& title) {
  ++folder_choosers;
  folder_title = title;
  return folder_choices.isEmpty() ? QString() : folder_choices.takeFirst();
}

int ScriptedUi::RunDialog(QDialog& dialog) {
  dialog_titles.append(dialog.windowTitle());
  dialog.show();
  if (!QTest::qWaitForWindowExposed(&dialog)) qWarning("dialog was not exposed");
  const int result = on_dialog ? on_dialog(dialog) : int(QDialog::Accepted);
  dialog.done(result);
  return result;
}

bool ScriptedUi::ChoosePrinter(QWidget*, QPrinter& printer) {
  return on_print ? on_print(printer) : false;
}

void WriteDamagedDocument(const std::string& path, size_t filler) {
  std::string content =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<office:document-content "
      "xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\" "
      "xmlns:table=\"urn:oasis:names:tc:opendocument:xmlns:table:1.0\" "
      "xmlns:text=\"urn:oasis:names:tc:opendocument:xmlns:text:1.0\"><office:body>"
      "<office:spreadsheet><table:table table:name=\"Sheet1\"><table:table-row>"
      "<table:table-cell><text:p>";
  for (size_t i = 0; content.size() < filler; ++i) content += "cell " + std::to_string(i) + " ";
  content +=
      "</text:p></table:table-cell></table:table-row></table:table></office:spreadsheet>"
      "</office:body></office:document-content>";

  auto member = [](const char* name, std::string data, bool stored) {
    ZipBuilder::Member m;
    m.name = name;
    m.data = std::move(data);
    m.method = stored ? 0 : 8;
    m.descriptor = !stored;  // as LibreOffice writes its deflated members
    return m;
  };
  const std::string manifest =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<manifest:manifest "
      "xmlns:manifest=\"urn:oasis:names:tc:opendocument:xmlns:manifest:1.0\" "
      "manifest:version=\"1.2\"><manifest:file-entry manifest:full-path=\"/\" "
      "manifest:media-type=\"application/vnd.oasis.opendocument.spreadsheet\"/>"
      "<manifest:file-entry manifest:full-path=\"content.xml\" manifest:media-type=\"text/xml\"/>"
      "<manifest:file-entry manifest:full-path=\"styles.xml\" manifest:media-type=\"text/xml\"/>"
      "</manifest:manifest>";
  ZipBuilder zip;
  zip.Add(member("mimetype", "application/vnd.oasis.opendocument.spreadsheet", true));
  zip.Add(member("content.xml", content, false));
  zip.Add(member("styles.xml",
                 "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<office:document-styles "
                 "xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\"/>",
                 false));
  zip.Add(member("META-INF/manifest.xml", manifest, false));
  // Every member is whole, but the central directory and end record that should follow are
  // missing, so the container cannot be opened by its index.
  WriteFile(path, zip.bytes());
}

QStringList ShownControls(const CVellomirView& view) {
  QStringList shown;
  auto add = [&shown](const QWidget* widget, const char* name) {
    if (widget != nullptr && !widget->isHidden()) shown.append(QString::fromLatin1(name));
  };
  add(view.FileList(), "File List");
  add(view.LogPane(), "Log");
  add(view.Button(kCmdNext), "Next");
  add(view.Button(kCmdBack), "Back");
  add(view.Button(kCmdStop), "Stop");
  add(view.Button(kCmdExit), "Exit");
  add(view.Button(kCmdSelectFiles), "Select Files");
  add(view.Button(kCmdRemoveFiles), "Remove Files");
  return shown;
}

QString BoldRanges(const CVellomirView& view) {
  const CRichEditCtrlQv& pane = *view.StatusPane();
  const int length = static_cast<int>(pane.toPlainText().size());
  QStringList ranges;
  for (int i = 0; i < length; ++i) {
    if (!pane.IsCharacterBold(i)) continue;
    const int first = i;
    while (i + 1 < length && pane.IsCharacterBold(i + 1)) ++i;
    ranges.append(QStringLiteral("%1-%2").arg(first).arg(i));
  }
  return ranges.join(u' ');
}

QString SaveScreenshot(QWidget& widget, const QString& name) {
  const QString folder = QStringLiteral(VELLOMIR_SCREENSHOTS);
  QDir().mkpath(folder);
  const QString path = folder + u'/' + name + QStringLiteral(".png");
  // A maximised window is shown as the screen shows it, the whole 1280 x 800; the screen's
  // picture is what the window last painted, so it paints now.
  QCoreApplication::processEvents();
  widget.window()->repaint();
  const QPixmap picture =
      widget.isWindow() && widget.isMaximized() ? widget.screen()->grabWindow(0) : widget.grab();
  if (!picture.save(path)) qWarning("could not save %s", qPrintable(path));
  return path;
}

int RunShellTests(int argc, char** argv, const std::function<int(int, char**)>& run) {
  // Everything the program would keep for the person goes into a folder of the test's own.
  TempDir home;
  const std::string screen = home / "screen.json";
  WriteFile(screen, R"({"screens": [{"name": "test", "x": 0, "y": 0, "width": 1280, "height": 800,)"
                    R"( "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1}]})");
  const std::string runtime = home / "runtime";
  MakeFolders(runtime);
  ::chmod(runtime.c_str(), 0700);
  ScopedEnv platform("QT_QPA_PLATFORM", "offscreen:configfile=" + screen);
  ScopedEnv config("XDG_CONFIG_HOME", home / "config");
  ScopedEnv runtime_dir("XDG_RUNTIME_DIR", runtime);
  ScopedEnv interactive("VELLOMIR_NONINTERACTIVE", "0");

  QApplication app(argc, argv);
  QCoreApplication::setOrganizationName(QStringLiteral("Vellomir1"));
  QCoreApplication::setApplicationName(QStringLiteral("Vellomir"));
  return run(argc, argv);
}

}  // namespace vellomir::testing
