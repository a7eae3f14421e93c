// The main view: its pages, layout and painting, the file-list commands and real repair runs
// through the window.
#include <QAbstractButton>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMainWindow>
#include <QPainter>
#include <QTableWidget>
#include <QTimer>
#include <QtTest>
#include <memory>

#include "platform/platform.h"
#include "shell/dialogs.h"
#include "shell/log_pane.h"
#include "shell/rich_edit.h"
#include "shell/vellomir_view.h"
#include "shell_test_support.h"
#include "support/test_support.h"

using namespace vellomir;
using vellomir::testing::BoldRanges;
using vellomir::testing::ScriptedUi;
using vellomir::testing::ShownControls;

namespace {

const QStringList kFileListPage = {"File List", "Next", "Select Files", "Remove Files"};
const QStringList kRunningPage = {"Log", "Stop"};
const QStringList kFinishedPage = {"Log", "Back", "Exit"};
const QString kInstructionBold = QStringLiteral("6-18 72-76");

QString U(const std::string& utf8) {
  return QString::fromStdString(utf8);
}

QStringList Rows(const CVellomirView& view) {
  QStringList rows;
  for (int row = 0; row < view.FileList()->rowCount(); ++row) {
    rows.append(view.FileList()->item(row, 0)->text());
  }
  return rows;
}

// Lists `rows` top to bottom: the list puts each new row at the top, so they are chosen in the
// reverse order.
void ListRows(CVellomirView& view, ScriptedUi& ui, const QStringList& rows) {
  QStringList reversed(rows.crbegin(), rows.crend());
  ui.file_choices.append(reversed);
  view.OnSelectFiles();
}

QString LogText(const CVellomirView& view) {
  return QString::fromStdU16String(view.LogPane()->Text());
}

bool WaitForRunEnd(CVellomirView& view) {
  QElapsedTimer clock;
  clock.start();
  while (QueryRunActive(&view) != 0 && clock.elapsed() < 60000) QTest::qWait(5);
  return QueryRunActive(&view) == 0;
}

// One listed file's part of the log, as the window shows it.
QString FileHeader(int number, int count, const QString& path) {
  return QStringLiteral(
             "==================================================================\r\n"
             "Processing File %1 of %2 \r\nFile Name : %3\r\n")
      .arg(number)
      .arg(count)
      .arg(path);
}
QString RepairedLines(const QString& result) {
  return QStringLiteral(
             "Opening file..\r\nOpening file Done..\r\nExtracting file content..\r\n"
             "Extracting file content Done..\r\nMaking new file..\r\nMaking new file Done..\r\n"
             "Repaired file name : %1\r\n")
      .arg(result);
}
const QString kNotOpenedLines = QStringLiteral("Opening file..\r\nOpening file Fail..\r\n");

// The view in a plain main window, maximised on the 1280 x 800 screen.
struct HostedView {
  QMainWindow frame;
  CVellomirView* view = new CVellomirView(&frame);
  HostedView() {
    frame.setCentralWidget(view);
    frame.showMaximized();
  }
};

// Three damaged documents in a folder of their own and an empty output folder.
struct RunFixture {
  vellomir::testing::ScopedTempFolder temp;  // the workspace of the runs
  vellomir::testing::TempDir sources;
  vellomir::testing::TempDir output;
  QStringList paths;

  explicit RunFixture(size_t filler = 0) {
    for (const char* name : {"Alpha.ods", "Beta.ods", "Gamma.ods"}) {
      vellomir::testing::WriteDamagedDocument(sources / name, filler);
      paths.append(U(sources / name));
    }
  }
  QString Output() const { return U(output.path()); }
  QString Result(const QString& source) const {
    return Output() + QStringLiteral("/REC_") + QFileInfo(source).fileName();
  }
};

// Presses Stop as soon as the header of file `number` is in the log: posted, so that the worker is
// under way, not waiting inside a call of its own, when the question opens.
void StopWhenFileStarts(CVellomirView& view, int number, QStringList* shown_after_answer) {
  auto pressed = std::make_shared<bool>(false);
  QObject::connect(view.LogPane(), &CRepairLogPane::LogChanged, &view, [=, &view] {
    if (*pressed || !LogText(view).contains(QString("Processing File %1 of").arg(number))) return;
    *pressed = true;
    QMetaObject::invokeMethod(
        &view,
        [=, &view] {
          view.OnStop();
          *shown_after_answer = ShownControls(view);
        },
        Qt::QueuedConnection);
  });
}

}  // namespace

class ViewTest : public QObject {
  Q_OBJECT

 private slots:
  void init() { QDir::setCurrent(QDir::tempPath()); }

  void creationShowsTheFileListPage() {
    ScriptedUi ui;
    CVellomirView view;
    QCOMPARE(ShownControls(view), kFileListPage);
    QVERIFY(view.IsFileListVisible());
    QCOMPARE(view.StatusPane()->toPlainText(), QString("\nClick Select Files to select and list "
                                                       ".ods file(s) for repairing.\nClick Next "
                                                       "to repair the listed file(s)."));
    QCOMPARE(BoldRanges(view), kInstructionBold);
    QCOMPARE(QueryRunActive(&view), quintptr(0));
    QVERIFY(view.OutputFolderPath().empty());
    QCOMPARE(view.FileList()->horizontalHeaderItem(0)->text(), QString("File Name"));
    QCOMPARE(view.FileList()->columnWidth(0), 1000);
  }

  void buttonsCarryTheirCommands_data() {
    QTest::addColumn<int>("command");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<bool>("hasImage");
    QTest::newRow("Next") << 59394 << "Next" << true;
    QTest::newRow("Select Files") << 59395 << "Select Files" << true;
    QTest::newRow("Remove Files") << 59396 << "Remove Files" << true;
    QTest::newRow("Back") << 59397 << "Back" << true;
    QTest::newRow("Stop") << 59398 << "Stop" << false;
    QTest::newRow("Exit") << 59399 << "Exit" << true;
  }
  void buttonsCarryTheirCommands() {
    QFETCH(int, command);
    QFETCH(QString, caption);
    QFETCH(bool, hasImage);
    CVellomirView view;
    QAbstractButton* button = view.Button(command);
    QVERIFY(button != nullptr);
    QCOMPARE(button->text(), caption);
    QCOMPARE(!button->icon().isNull(), hasImage);
    if (hasImage) QCOMPARE(button->iconSize(), QSize(24, 24));
  }

  // The layout table at a wide and at a narrow client area, in pixels of the client area.
  void layoutFollowsTheClientArea_data() {
    QTest::addColumn<QSize>("client");
    QTest::addColumn<QRect>("status");
    QTest::addColumn<QRect>("list");
    QTest::addColumn<QRect>("log");
    QTest::addColumn<QRect>("next");
    QTest::addColumn<QRect>("exit");
    QTest::newRow("800 x 600") << QSize(800, 600) << QRect(75, 550, 525, 45)
                               << QRect(20, 130, 760, 400) << QRect(20, 130, 760, 380)
                               << QRect(700, 560, 80, 30) << QRect(600, 560, 80, 30);
    QTest::newRow("356 x 420") << QSize(356, 420) << QRect(75, 370, 81, 45)
                               << QRect(20, 130, 316, 220) << QRect(20, 130, 316, 200)
                               << QRect(256, 380, 80, 30) << QRect(156, 380, 80, 30);
  }
  void layoutFollowsTheClientArea() {
    QFETCH(QSize, client);
    QFETCH(QRect, status);
    QFETCH(QRect, list);
    QFETCH(QRect, log);
    QFETCH(QRect, next);
    QFETCH(QRect, exit);
    CVellomirView view;
    view.resize(client);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    QCOMPARE(view.size(), client);
    QCOMPARE(view.StatusPane()->geometry(), status);
    QCOMPARE(view.FileList()->geometry(), list);
    QCOMPARE(view.LogPane()->geometry(), log);
    for (int shared : {kCmdNext, kCmdBack, kCmdStop}) {
      QCOMPARE(view.Button(shared)->geometry(), next);
    }
    QCOMPARE(view.Button(kCmdExit)->geometry(), exit);
    QCOMPARE(view.Button(kCmdSelectFiles)->geometry(), QRect(20, 95, 100, 30));
    QCOMPARE(view.Button(kCmdRemoveFiles)->geometry(), QRect(140, 95, 100, 30));
    // The log pane sits in the list's place and ends 20 pixels higher.
    QCOMPARE(view.LogPane()->geometry().bottom(), view.FileList()->geometry().bottom() - 20);
  }

  // The header: the logo panel against the right edge with the filler between, or right after
  // the name when the client area is 356 pixels wide or less.
  void paintingFollowsTheHeaderRule_data() {
    QTest::addColumn<QSize>("client");
    QTest::addColumn<QList<QRect>>("header");  // 310, 312 and, when drawn, 313
    QTest::newRow("356, narrow") << QSize(356, 300)
                                 << QList<QRect>{{0, 0, 194, 71}, {183, 0, 173, 71}};
    QTest::newRow("357, one pixel of filler")
        << QSize(357, 300) << QList<QRect>{{0, 0, 194, 71}, {184, 0, 173, 71}, {183, 0, 1, 71}};
    QTest::newRow("800, wide") << QSize(800, 300)
                               << QList<QRect>{
                                      {0, 0, 194, 71}, {627, 0, 173, 71}, {183, 0, 444, 71}};
  }
  void paintingFollowsTheHeaderRule() {
    QFETCH(QSize, client);
    QFETCH(QList<QRect>, header);
    const std::vector<PaintStep> plan = CVellomirView::PaintPlan(client);
    const int footer = client.height();
    std::vector<PaintStep> expected;
    const int ids[] = {310, 312, 313};
    for (int i = 0; i < header.size(); ++i) expected.push_back({ids[i], header[i]});
    expected.push_back({0, QRect(0, 71, client.width(), footer - 50 - 71)});
    expected.push_back({323, QRect(0, footer - 60, client.width(), 71)});
    expected.push_back({314, QRect(20, footer - 50, 48, 48)});
    QCOMPARE(plan.size(), expected.size());
    for (size_t i = 0; i < plan.size(); ++i) {
      QCOMPARE(plan[i].bitmap, expected[i].bitmap);
      QCOMPARE(plan[i].target, expected[i].target);
    }
  }

  void paintingCoversTheClientArea() {
    CVellomirView view;
    view.resize(600, 400);
    QImage picture(view.size(), QImage::Format_RGB32);
    picture.fill(Qt::magenta);
    {
      QPainter painter(&picture);
      CVellomirView::Draw(painter, view.size());
    }
    for (int y = 0; y < picture.height(); y += 7) {
      for (int x = 0; x < picture.width(); x += 7) {
        QVERIFY2(picture.pixelColor(x, y) != QColor(Qt::magenta),
                 qPrintable(QString("unpainted at %1,%2").arg(x).arg(y)));
      }
    }
    QCOMPARE(picture.pixelColor(300, 200), QColor(255, 255, 240));  // the body
  }

  // ------------------------------------------------------------------------------------------
  // Select Files

  void selectFiles_data() {
    QTest::addColumn<QStringList>("rows");  // top to bottom before
    QTest::addColumn<QVariant>("chosen");   // QStringList, or nothing for a cancelled dialog
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<QStringList>("messages");
    const QString a = "/data/A.ods", b = "/data/B.ods", c = "/data/C.ods", d = "/data/D.ods";
    QTest::newRow("new files go on top, newest first")
        << QStringList{a, b} << QVariant(QStringList{c, d}) << QStringList{d, c, b, a}
        << QStringList{};
    QTest::newRow("a cancelled dialog reverses the rows")
        << QStringList{a, b} << QVariant() << QStringList{b, a} << QStringList{};
    QTest::newRow("a listed file is refused with its message")
        << QStringList{a, b} << QVariant(QStringList{b, c}) << QStringList{c, b, a}
        << QStringList{b + " already exist in the list"};
    QTest::newRow("a file chosen twice in one dialog is listed once")
        << QStringList{} << QVariant(QStringList{c, c}) << QStringList{c}
        << QStringList{c + " already exist in the list"};
    QTest::newRow("the same path in other letter case is another file")
        << QStringList{"/data/book.ods"} << QVariant(QStringList{"/data/BOOK.ODS"})
        << QStringList{"/data/BOOK.ODS", "/data/book.ods"} << QStringList{};
    QTest::newRow("any name holding .ods is listed, others are dropped silently")
        << QStringList{} << QVariant(QStringList{"/data/x.ods.bak", "/data/x.xls", "/data/y.Ods"})
        << QStringList{"/data/y.Ods", "/data/x.ods.bak"} << QStringList{};
  }
  void selectFiles() {
    QFETCH(QStringList, rows);
    QFETCH(QVariant, chosen);
    QFETCH(QStringList, expected);
    QFETCH(QStringList, messages);
    ScriptedUi ui;
    CVellomirView view;
    if (!rows.isEmpty()) ListRows(view, ui, rows);
    QCOMPARE(Rows(view), rows);

    if (chosen.isValid()) ui.file_choices.append(chosen.toStringList());
    view.OnSelectFiles();
    QCOMPARE(Rows(view), expected);
    QCOMPARE(ui.MessageTexts(), messages);
    for (const ScriptedUi::Message& message : ui.messages) {
      QCOMPARE(message.kind, MessageKind::kWarning);
    }
    QCOMPARE(ui.file_title, QString("Select file(s) to repair"));
    QCOMPARE(ui.file_filter, QString("Calc File(*.ods)"));
  }

  void rowsHaveAnIconByTheirNameAlone() {
    ScriptedUi ui;
    CVellomirView view;
    // Neither file exists: the icon comes from the name.
    ListRows(view, ui, {"/nowhere/a.ods", "/nowhere/b.ods.bak"});
    QVERIFY(!view.FileList()->item(0, 0)->icon().isNull());
    QVERIFY(!view.FileList()->item(1, 0)->icon().isNull());
  }

  void networkMessageWhileANetworkRowIsListed() {
    const QString network =
        "You are selecting the file from network. \r\nIt's advisable to copy the file to local "
        "computer for better saving results ";
    ScriptedUi ui;
    CVellomirView view;
    view.SetFileSystemTypeProbe([](const QString& path) {
      return path.startsWith("/mnt/share/") ? QString("nfs4") : QString("ext4");
    });

    ListRows(view, ui, {"/home/me/local.ods"});
    QCOMPARE(ui.MessageTexts(), QStringList{});

    // Two network rows in one choice: the message once.
    ui.file_choices.append(QStringList{"//server/share/x.ods", "\\\\server\\share\\y.ods"});
    view.OnSelectFiles();
    QCOMPARE(ui.MessageTexts(), QStringList{network});

    // Shown again at every later Select Files while such a row exists, a cancelled one too.
    view.OnSelectFiles();
    QCOMPARE(ui.MessageTexts(), (QStringList{network, network}));

    view.FileList()->clearSelection();
    for (int row = 0; row < view.FileList()->rowCount(); ++row) {
      if (Rows(view)[row] != "/home/me/local.ods") view.FileList()->item(row, 0)->setSelected(true);
    }
    view.OnRemoveFiles();
    ui.messages.clear();
    view.OnSelectFiles();
    QCOMPARE(ui.MessageTexts(), QStringList{});

    // A file on a network file system counts like a network path.
    ui.file_choices.append(QStringList{"/mnt/share/z.ods"});
    view.OnSelectFiles();
    QCOMPARE(ui.MessageTexts(), QStringList{network});
  }

  void fileSystemKinds_data() {
    QTest::addColumn<QString>("type");
    QTest::addColumn<bool>("network");
    QTest::addColumn<bool>("optical");
    QTest::newRow("ext4") << "ext4" << false << false;
    QTest::newRow("tmpfs") << "tmpfs" << false << false;
    QTest::newRow("nfs4") << "nfs4" << true << false;
    QTest::newRow("cifs") << "cifs" << true << false;
    QTest::newRow("smb3") << "smb3" << true << false;
    QTest::newRow("sshfs") << "fuse.sshfs" << true << false;
    QTest::newRow("iso9660") << "iso9660" << false << true;
    QTest::newRow("udf") << "udf" << false << true;
    QTest::newRow("unknown") << "" << false << false;
  }
  void fileSystemKinds() {
    QFETCH(QString, type);
    QFETCH(bool, network);
    QFETCH(bool, optical);
    QCOMPARE(IsNetworkFileSystem(type), network);
    QCOMPARE(IsOpticalDiscFileSystem(type), optical);
  }

  // ------------------------------------------------------------------------------------------
  // Remove Files

  void removeFiles_data() {
    QTest::addColumn<QList<int>>("selected");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<QStringList>("messages");
    const QStringList five = {"/d/1.ods", "/d/2.ods", "/d/3.ods", "/d/4.ods", "/d/5.ods"};
    QTest::newRow("rows 1, 2 and 3 of five")
        << QList<int>{1, 2, 3} << QStringList{"/d/1.ods", "/d/5.ods"} << QStringList{};
    QTest::newRow("the first and the last")
        << QList<int>{0, 4} << QStringList{"/d/2.ods", "/d/3.ods", "/d/4.ods"} << QStringList{};
    QTest::newRow("all") << QList<int>{0, 1, 2, 3, 4} << QStringList{} << QStringList{};
    QTest::newRow("none selected")
        << QList<int>{} << five << QStringList{"Please select file to remove"};
  }
  void removeFiles() {
    QFETCH(QList<int>, selected);
    QFETCH(QStringList, expected);
    QFETCH(QStringList, messages);
    ScriptedUi ui;
    CVellomirView view;
    ListRows(view, ui, {"/d/1.ods", "/d/2.ods", "/d/3.ods", "/d/4.ods", "/d/5.ods"});
    view.FileList()->clearSelection();
    for (int row : selected) view.FileList()->item(row, 0)->setSelected(true);
    view.OnRemoveFiles();
    QCOMPARE(Rows(view), expected);
    QCOMPARE(ui.MessageTexts(), messages);
  }

  void removeFilesFromAnEmptyList() {
    ScriptedUi ui;
    CVellomirView view;
    view.OnRemoveFiles();
    QCOMPARE(ui.MessageTexts(), QStringList{"Please select file to remove"});
  }

  // ------------------------------------------------------------------------------------------
  // Next

  void nextWithAnEmptyList() {
    ScriptedUi ui;
    CVellomirView view;
    view.OnNext();
    QCOMPARE(ui.MessageTexts(), QStringList{"Please select files using Select files button"});
    QCOMPARE(ui.folder_choosers, 0);
    QCOMPARE(ShownControls(view), kFileListPage);
  }

  void nextWithoutAUsableFolderStays_data() {
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<QStringList>("messages");
    QTest::newRow("cancelled") << "" << QStringList{};
    QTest::newRow("an optical disc") << "/media/cdrom/out"
                                     << QStringList{
                                            "Please appropriate path for saving "
                                            "repaired file(s)"};
  }
  void nextWithoutAUsableFolderStays() {
    QFETCH(QString, chosen);
    QFETCH(QStringList, messages);
    ScriptedUi ui;
    CVellomirView view;
    view.SetFileSystemTypeProbe([](const QString& path) {
      return path.startsWith("/media/cdrom") ? QString("iso9660") : QString("ext4");
    });
    ListRows(view, ui, {"/nowhere/a.ods"});
    ui.folder_choices.append(chosen);
    view.OnNext();
    QCOMPARE(ui.folder_choosers, 1);
    QCOMPARE(ui.folder_title, QString("Select location to save repaired file(s)"));
    QCOMPARE(ui.MessageTexts(), messages);
    QCOMPARE(ShownControls(view), kFileListPage);
    QVERIFY(view.FolderField()->text().isEmpty());
    QCOMPARE(QueryRunActive(&view), quintptr(0));
  }

  // The chosen folder gets its trailing separator; the root keeps its one. The listed file does
  // not exist, so the run writes nothing anywhere.
  void nextStartsARunWithTheFolder_data() {
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<QString>("folder");
    QTest::newRow("a folder") << "/tmp"
                              << "/tmp/";
    QTest::newRow("already ending in the separator") << "/tmp/"
                                                     << "/tmp/";
    QTest::newRow("the root") << "/"
                              << "/";
  }
  void nextStartsARunWithTheFolder() {
    QFETCH(QString, chosen);
    QFETCH(QString, folder);
    vellomir::testing::ScopedTempFolder temp;
    ScriptedUi ui;
    CVellomirView view;
    ListRows(view, ui, {"/nowhere/missing.ods"});
    ui.folder_choices.append(chosen);
    view.OnNext();
    QCOMPARE(QString::fromStdU16String(view.OutputFolderPath()), folder);
    QVERIFY(WaitForRunEnd(view));
    QCOMPARE(LogText(view),
             "Repairing process started\r\n" + FileHeader(1, 1, "/nowhere/missing.ods"));
  }

  // ------------------------------------------------------------------------------------------
  // Runs through the window

  void aRunThroughTheWindow() {
    RunFixture files;
    ScriptedUi ui;
    HostedView hosted;
    QVERIFY(QTest::qWaitForWindowExposed(&hosted.frame));
    QMainWindow& frame = hosted.frame;
    CVellomirView* view = hosted.view;

    ListRows(*view, ui, files.paths);
    // Beta is open in another program, which keeps Vellomir out.
    const std::unique_ptr<platform::File> holder =
        platform::Fs().OpenExclusiveRead(files.paths[1].toStdU16String());
    QVERIFY(holder != nullptr);

    QStringList pages_during_run;
    quintptr active_during_run = 0;
    connect(view->LogPane(), &CRepairLogPane::LogChanged, view, [&] {
      if (pages_during_run.isEmpty() && LogText(*view).contains("Processing File 2 of 3")) {
        pages_during_run = ShownControls(*view);
        active_during_run = QueryRunActive(view);
        vellomir::testing::SaveScreenshot(frame, "view-running-page");
      }
    });
    QString dialog_text, dialog_link, dialog_tip;
    quintptr active_in_dialog = 0;
    ui.on_dialog = [&](QDialog& dialog) {
      auto& done = dynamic_cast<CCustomMessage&>(dialog);
      dialog_text = done.MessageText();
      dialog_link = done.Link()->text();
      dialog_tip = done.Link()->toolTip();
      active_in_dialog = QueryRunActive(view);
      return int(QDialog::Accepted);
    };
    ui.folder_choices.append(files.Output());
    view->OnNext();
    QVERIFY(WaitForRunEnd(*view));

    QCOMPARE(pages_during_run, kRunningPage);
    QVERIFY(active_during_run != 0);
    QVERIFY(active_in_dialog != 0);
    QCOMPARE(LogText(*view), "Repairing process started\r\n" + FileHeader(1, 3, files.paths[0]) +
                                 RepairedLines(files.Result(files.paths[0])) +
                                 FileHeader(2, 3, files.paths[1]) + kNotOpenedLines +
                                 FileHeader(3, 3, files.paths[2]) +
                                 RepairedLines(files.Result(files.paths[2])));
    QVERIFY(QFile::exists(files.Result(files.paths[0])));
    QVERIFY(!QFile::exists(files.Result(files.paths[1])));
    QVERIFY(QFile::exists(files.Result(files.paths[2])));

    // One file gave no result, and the dialog says so instead of "successfully".
    QCOMPARE(ui.dialog_titles, QStringList{"Vellomir"});
    QCOMPARE(dialog_text, QString("The repairing process completed with errors: 1 of 3 file(s) "
                                  "could not be repaired "));
    QCOMPARE(dialog_link, files.Output() + "/...");
    QCOMPARE(dialog_tip, files.Output() + "/");
    QCOMPARE(ui.MessageTexts(), QStringList{});

    QCOMPARE(ShownControls(*view), kFinishedPage);
    QCOMPARE(view->StatusPane()->toPlainText(),
             QString("File repair and saving process completed with errors: 1 of 3 file(s) could "
                     "not be repaired. Click Back to go back to main window for repairing more "
                     "file(s) or click Exit to quit the application."));
    QCOMPARE(BoldRanges(*view), QString("98-101 165-168"));
    QCOMPARE(QueryRunActive(view), quintptr(0));
    vellomir::testing::SaveScreenshot(frame, "view-finished-page");

    // Back shows the same rows in the same order and the instruction with its bold words.
    view->OnBack();
    QCOMPARE(ShownControls(*view), kFileListPage);
    QCOMPARE(Rows(*view), files.paths);
    QCOMPARE(BoldRanges(*view), kInstructionBold);
    vellomir::testing::SaveScreenshot(frame, "view-file-list-page");
  }

  void aRunWithoutFailuresSaysSoAndANewRunReplacesTheLog() {
    RunFixture files;
    ScriptedUi ui;
    CVellomirView view;
    ListRows(view, ui, {files.paths[0]});
    QString dialog_text;
    ui.on_dialog = [&](QDialog& dialog) {
      dialog_text = dynamic_cast<CCustomMessage&>(dialog).MessageText();
      return int(QDialog::Accepted);
    };
    ui.folder_choices.append(files.Output());
    view.OnNext();
    QVERIFY(WaitForRunEnd(view));
    QCOMPARE(dialog_text, QString("The repairing process was completed successfully "));
    QCOMPARE(view.StatusPane()->toPlainText(),
             QString("File repair and saving process completed successfully. Click Back to go "
                     "back to main window for repairing more file(s) or click Exit to quit the "
                     "application."));
    QCOMPARE(BoldRanges(view), QString("61-64 128-131"));

    view.OnBack();
    ListRows(view, ui, {files.paths[2]});  // rows now Gamma, Alpha
    ui.folder_choices.append(files.Output());
    view.OnNext();
    QVERIFY(WaitForRunEnd(view));
    const QString log = LogText(view);
    QVERIFY(log.startsWith("Repairing process started\r\n" + FileHeader(1, 2, files.paths[2])));
    QCOMPARE(log.count("Repairing process started"), 1);
    // Alpha again: its first result is kept, the second takes the numbered name.
    QVERIFY(log.endsWith(RepairedLines(files.Output() + "/REC_ALPHA(1).ODS")));
  }

  void stopAnsweredNoLetsTheRunGoOn() {
    RunFixture files;
    ScriptedUi ui;
    CVellomirView view;
    ListRows(view, ui, files.paths);

    bool held = false;
    QStringList shown_after_answer;
    StopWhenFileStarts(view, 2, &shown_after_answer);
    ui.on_question = [&](const QString& question) {
      // The worker may finish the one call it had sent before the question opened; after that it
      // makes no progress while the question is open.
      QTest::qWait(100);
      const QString before = LogText(view);
      QTest::qWait(300);
      held = LogText(view) == before;
      return question == "Are you sure you want to stop the saving process ?" ? Answer::kNo
                                                                              : Answer::kYes;
    };
    ui.folder_choices.append(files.Output());
    view.OnNext();
    QVERIFY(WaitForRunEnd(view));

    QVERIFY(held);
    QCOMPARE(ui.messages.size(), 1);
    QCOMPARE(ui.messages[0].kind, MessageKind::kQuestion);
    QCOMPARE(shown_after_answer, kRunningPage);
    QVERIFY(!view.StopRequested().load());
    QVERIFY(LogText(view).contains("Processing File 3 of 3"));
    QCOMPARE(ui.dialog_titles, QStringList{"Vellomir"});
  }

  void stopAnsweredYesDuringTheSecondFile() {
    RunFixture files;
    ScriptedUi ui;
    CVellomirView view;
    ListRows(view, ui, files.paths);

    QStringList shown_after_answer;
    StopWhenFileStarts(view, 2, &shown_after_answer);
    ui.on_question = [](const QString&) { return Answer::kYes; };
    ui.folder_choices.append(files.Output());
    view.OnNext();
    QVERIFY(WaitForRunEnd(view));

    QCOMPARE(shown_after_answer, QStringList{"Log"});
    QVERIFY(view.StopRequested().load());
    // File 2 runs to its end and is saved; file 3 is never started.
    QCOMPARE(LogText(view), "Repairing process started\r\n" + FileHeader(1, 3, files.paths[0]) +
                                RepairedLines(files.Result(files.paths[0])) +
                                FileHeader(2, 3, files.paths[1]) +
                                RepairedLines(files.Result(files.paths[1])));
    QVERIFY(QFile::exists(files.Result(files.paths[1])));
    QVERIFY(!QFile::exists(files.Result(files.paths[2])));
    QCOMPARE(ui.MessageTexts(), (QStringList{"Are you sure you want to stop the saving process ?",
                                             "Saving abort by user"}));
    QCOMPARE(ui.messages[1].kind, MessageKind::kWarning);
    QCOMPARE(ui.dialog_titles, QStringList{});
    QCOMPARE(ShownControls(view), kFinishedPage);
  }

  // The run clears the stop request as it begins; a stop confirmed before that still holds.
  void aStopConfirmedAsTheRunStartsIsKept() {
    RunFixture files;
    ScriptedUi ui;
    CVellomirView view;
    ListRows(view, ui, files.paths);
    ui.folder_choices.append(files.Output());
    ui.on_question = [](const QString&) { return Answer::kYes; };
    view.OnNext();
    view.OnStop();  // before the worker's first call has been served
    QVERIFY(WaitForRunEnd(view));
    QCOMPARE(LogText(view), QString("Repairing process started\r\n"));
    QCOMPARE(ui.MessageTexts().last(), QString("Saving abort by user"));
    QCOMPARE(ui.dialog_titles, QStringList{});
  }

  void stopWithoutARunDoesNothing() {
    ScriptedUi ui;
    CVellomirView view;
    view.OnStop();
    QCOMPARE(ui.MessageTexts(), QStringList{});
    QVERIFY(!view.StopRequested().load());
  }

  void theWindowStaysResponsiveDuringALargeRun() {
    RunFixture files(32 << 20);
    ScriptedUi ui;
    CVellomirView view;
    ListRows(view, ui, {files.paths[0]});
    QElapsedTimer clock;
    qint64 last_tick = 0, longest_gap = 0;
    int ticks = 0;
    QTimer timer;
    connect(&timer, &QTimer::timeout, [&] {
      const qint64 now = clock.elapsed();
      longest_gap = qMax(longest_gap, now - last_tick);
      last_tick = now;
      ++ticks;
    });
    ui.folder_choices.append(files.Output());
    clock.start();
    timer.start(10);
    view.OnNext();
    QVERIFY(WaitForRunEnd(view));
    timer.stop();
    QVERIFY(ticks > 0);
    QVERIFY2(longest_gap < 500, qPrintable(QString("the window froze for %1 ms").arg(longest_gap)));
    QVERIFY(QFile::exists(files.Result(files.paths[0])));
  }

  // The window torn down while a run is active (the program being ended from outside): the run
  // stops after its current file, shows nothing, and the view goes only once its worker has.
  void theViewGoingAwayEndsItsRunQuietly() {
    RunFixture files;
    ScriptedUi ui;
    auto view = std::make_unique<CVellomirView>();
    ListRows(*view, ui, files.paths);
    ui.folder_choices.append(files.Output());
    view->OnNext();
    QVERIFY(QueryRunActive(view.get()) != 0);
    view.reset();
    QCOMPARE(CVellomirView::CurrentRunThread(), quintptr(0));
    QCOMPARE(ui.MessageTexts(), QStringList{});
    QCOMPARE(ui.dialog_titles, QStringList{});
    QVERIFY(!QFile::exists(files.Result(files.paths[2])));
  }

  void exitAsksTheWindowToClose() {
    ScriptedUi ui;
    HostedView hosted;
    QVERIFY(QTest::qWaitForWindowExposed(&hosted.frame));
    hosted.view->OnExit();
    QVERIFY(hosted.frame.isVisible());  // posted, not carried out at once
    QTRY_VERIFY(!hosted.frame.isVisible());
  }
};

VELLOMIR_SHELL_TEST_MAIN(ViewTest)
#include "view_test.moc"
