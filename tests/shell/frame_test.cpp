// The main frame: menus, toolbar, keys, looks, status bar, help, printing and the closing rules.
#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QMenuBar>
#include <QPrinter>
#include <QSettings>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QStyle>
#include <QTableWidget>
#include <QToolBar>
#include <QtTest>

#include "shell/dialogs.h"
#include "shell/log_pane.h"
#include "shell/looks.h"
#include "shell/main_frame.h"
#include "shell/status_indicators.h"
#include "shell/vellomir_view.h"
#include "shell_test_support.h"
#include "support/test_support.h"

using namespace vellomir;
using vellomir::testing::ScriptedUi;
using vellomir::testing::ShownControls;

namespace {

QSettings Settings() {
  return QSettings(QStringLiteral("Vellomir1"), QStringLiteral("Vellomir"));
}

// Every menu item as "menu path | text | id | status tip | tool tip".
QStringList MenuRows(const QMenuBar& bar) {
  QStringList rows;
  std::function<void(const QMenu*, const QString&)> walk = [&](const QMenu* menu,
                                                               const QString& path) {
    for (QAction* action : menu->actions()) {
      if (action->isSeparator()) {
        rows.append(path + " | -");
      } else if (action->menu() != nullptr) {
        rows.append(path + " | " + action->text() + " >");
        walk(action->menu(), path + "/" + action->text());
      } else {
        rows.append(QStringList{path, action->text(), action->data().toString(),
                                action->statusTip(), action->toolTip()}
                        .join(" | "));
      }
    }
  };
  for (QAction* top : bar.actions()) walk(top->menu(), top->text());
  return rows;
}

void ShowFrame(CMainFrame& frame) {
  frame.showMaximized();
  QVERIFY(QTest::qWaitForWindowExposed(&frame));
  QApplication::setActiveWindow(&frame);
  QVERIFY(QTest::qWaitForWindowActive(&frame));
}

bool WaitForRunEnd(CMainFrame& frame) {
  QElapsedTimer clock;
  clock.start();
  while (QueryRunActive(frame.View()) != 0 && clock.elapsed() < 60000) QTest::qWait(5);
  return QueryRunActive(frame.View()) == 0;
}

struct FrameRun {
  vellomir::testing::ScopedTempFolder temp;
  vellomir::testing::TempDir files;
  QString document;
  QString output;
  FrameRun() {
    vellomir::testing::WriteDamagedDocument(files / "Book.ods");
    vellomir::testing::MakeFolders(files / "out");
    document = QString::fromStdString(files / "Book.ods");
    output = QString::fromStdString(files / "out");
  }
  // Lists the document and starts a run through the Repair command.
  void Start(CMainFrame& frame, ScriptedUi& ui) {
    ui.file_choices.append(QStringList{document});
    frame.Command(kCmdSelectFilesCommand)->trigger();
    ui.folder_choices.append(output);
    frame.Command(kCmdRepair)->trigger();
  }
};

}  // namespace

class FrameTest : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    Settings().clear();
    QDir::setCurrent(QDir::tempPath());
  }

  void captionAndStart() {
    ScriptedUi ui;
    CMainFrame frame;
    ShowFrame(frame);
    QCOMPARE(frame.windowTitle(), QString("Vellomir - Ver 8.12.01"));
    QVERIFY(frame.isMaximized());
    QCOMPARE(frame.centralWidget(), frame.View());
    QCOMPARE(ShownControls(*frame.View()),
             (QStringList{"File List", "Next", "Select Files", "Remove Files"}));
  }

  void menus() {
    ScriptedUi ui;
    CMainFrame frame;
    const QStringList expected = {
        "&File | &Select Files\tCtrl+O | 57600 | Select file(s) to repair | Select file(s)",
        "&File | Rem&ove Files\tCtrl+D | 57601 |  Remove selected file(s) from the list | "
        "Remove File(s)",
        "&File | &Repair\tCtrl+R | 57603 | Repair selected file(s) | Repair files",
        "&File | -",
        "&File | E&xit | 57665 | Quit the application; prompts to save documents | Exit",
        "&View | &Toolbars and Docking Windows >",
        "&View/&Toolbars and Docking Windows | Standard | 59392 |  | Standard",
        "&View/&Toolbars and Docking Windows | -",
        "&View/&Toolbars and Docking Windows | Customize... | 126 |  | Customize",
        "&View | &Status Bar | 59393 | Show or hide the status bar | Toggle Status Bar",
        "&View | &Application Look >",
        "&View/&Application Look | Windows &2000 | 210 |  | Windows 2000",
        "&View/&Application Look | Office &XP | 211 |  | Office XP",
        "&View/&Application Look | &Windows XP | 212 |  | Windows XP",
        "&View/&Application Look | Office 200&3 | 213 |  | Office 2003",
        "&View/&Application Look | Visual Studio.NET 200&5 | 214 |  | Visual Studio.NET 2005",
        "&View/&Application Look | Office 200&7 >",
        "&View/&Application Look/Office 200&7 | &Blue Style | 215 |  | Blue Style",
        "&View/&Application Look/Office 200&7 | B&lack Style | 216 |  | Black Style",
        "&View/&Application Look/Office 200&7 | &Silver Style | 217 |  | Silver Style",
        "&View/&Application Look/Office 200&7 | &Aqua Style | 218 |  | Aqua Style",
        "&Help | Software Help | 32771 | Display Software help | Software Help",
        "&Help | Visit Software Homepage | 32772 |  | Visit Software Homepage",
        "&Help | &About Vellomir... | 57664 |  View Program information: version, support "
        "details, and copyright | About",
    };
    QCOMPARE(MenuRows(*frame.menuBar()), expected);
  }

  void toolbar() {
    ScriptedUi ui;
    CMainFrame frame;
    QToolBar* bar = frame.Toolbar();
    QCOMPARE(bar->windowTitle(), QString("Standard"));
    QStringList items;
    for (QAction* action : bar->actions()) {
      items.append(action->isSeparator() ? QString("-") : action->data().toString());
    }
    QCOMPARE(items, (QStringList{"57600", "57601", "57603", "-", "57664", "126"}));
    QCOMPARE(bar->iconSize(), QSize(16, 16));
    for (int id : kToolbarCommands) QVERIFY(!frame.Command(id)->icon().isNull());
    QCOMPARE(bar->widgetForAction(frame.Command(kCmdCustomize))->property("text").toString(),
             QString("Customize..."));
  }

  // Select Files, Remove Files and Repair are enabled exactly while the file list is shown.
  void fileCommandsFollowTheFileList() {
    FrameRun run;
    ScriptedUi ui;
    CMainFrame frame;
    auto enabled = [&frame] {
      QList<bool> states;
      for (int id : {kCmdSelectFilesCommand, kCmdRemoveFilesCommand, kCmdRepair}) {
        states.append(frame.Command(id)->isEnabled());
      }
      return states;
    };
    const QList<bool> all = {true, true, true}, none = {false, false, false};
    QCOMPARE(enabled(), all);
    QList<bool> while_running;
    ui.on_dialog = [&](QDialog&) {
      while_running = enabled();
      return int(QDialog::Accepted);
    };
    run.Start(frame, ui);
    QVERIFY(WaitForRunEnd(frame));
    QCOMPARE(while_running, none);
    QCOMPARE(enabled(), none);  // the finished page
    frame.View()->OnBack();
    QCOMPARE(enabled(), all);
    // The other commands do not depend on the page.
    for (int id : {kCmdExitProgram, kCmdAbout, kCmdHelp, kCmdHomePage, kCmdStatusBar}) {
      QVERIFY(frame.Command(id)->isEnabled());
    }
  }

  void keys_data() {
    QTest::addColumn<QKeySequence>("key");
    QTest::addColumn<QString>("effect");
    QTest::newRow("Ctrl+O selects files") << QKeySequence("Ctrl+O") << "file chooser";
    QTest::newRow("Ctrl+D removes files")
        << QKeySequence("Ctrl+D") << "Please select file to remove";
    QTest::newRow("Ctrl+R repairs")
        << QKeySequence("Ctrl+R") << "Please select files using Select files button";
    QTest::newRow("Ctrl+P prints") << QKeySequence("Ctrl+P") << "print dialog";
    QTest::newRow("F1 opens help")
        << QKeySequence("F1") << "Vellomir.chm file not exist, please reinstall software ";
    QTest::newRow("Ctrl+N is not bound") << QKeySequence("Ctrl+N") << "";
    QTest::newRow("Ctrl+S is not bound") << QKeySequence("Ctrl+S") << "";
    QTest::newRow("Ctrl+Z is not handled") << QKeySequence("Ctrl+Z") << "";
  }
  void keys() {
    QFETCH(QKeySequence, key);
    QFETCH(QString, effect);
    vellomir::testing::TempDir empty;
    QDir::setCurrent(QString::fromStdString(empty.path()));
    ScriptedUi ui;
    bool printed = false;
    ui.on_print = [&](QPrinter&) { return printed = true, false; };
    CMainFrame frame;
    ShowFrame(frame);
    QTest::keySequence(&frame, key);
    QStringList effects = ui.MessageTexts();
    if (ui.file_choosers > 0) effects.append("file chooser");
    if (printed) effects.append("print dialog");
    QCOMPARE(effects, effect.isEmpty() ? QStringList{} : QStringList{effect});
  }

  void aDisabledCommandsKeyDoesNothing() {
    FrameRun run;
    ScriptedUi ui;
    CMainFrame frame;
    ShowFrame(frame);
    int choosers_in_run = -1;
    ui.on_dialog = [&](QDialog&) {
      const int before = ui.file_choosers;
      QTest::keySequence(&frame, QKeySequence("Ctrl+O"));
      choosers_in_run = ui.file_choosers - before;
      return int(QDialog::Accepted);
    };
    run.Start(frame, ui);
    QVERIFY(WaitForRunEnd(frame));
    QCOMPARE(choosers_in_run, 0);
  }

  void printingDrawsTheView() {
    vellomir::testing::TempDir folder;
    const QString pdf = QString::fromStdString(folder / "view.pdf");
    ScriptedUi ui;
    ui.on_print = [&](QPrinter& printer) {
      printer.setOutputFormat(QPrinter::PdfFormat);
      printer.setOutputFileName(pdf);
      return true;
    };
    CMainFrame frame;
    frame.Command(kCmdPrint)->trigger();
    QVERIFY(QFileInfo(pdf).size() > 1000);
  }

  // ------------------------------------------------------------------------------------------
  // Looks

  void looksDiffer() {
    QSet<QRgb> windows;
    for (int look = kFirstLook; look <= kLastLook; ++look) {
      windows.insert(LookPalette(look).color(QPalette::Window).rgb());
      QCOMPARE(LookStyleName(look), look == kLookWindows2000 ? "windows" : "fusion");
    }
    QCOMPARE(windows.size(), kLastLook - kFirstLook + 1);
  }

  void theDefaultLookIsTheBlueScheme() {
    ScriptedUi ui;
    CMainFrame frame;
    QCOMPARE(frame.CurrentLook(), 215);
    QVERIFY(frame.Command(215)->isChecked());
    QCOMPARE(QApplication::palette().color(QPalette::Window),
             LookPalette(215).color(QPalette::Window));
  }

  void aChosenLookIsMarkedAppliedStoredAndRestored_data() {
    QTest::addColumn<int>("look");
    for (int look = kFirstLook; look <= kLastLook; ++look) {
      QTest::addRow("%d", look) << look;
    }
  }
  void aChosenLookIsMarkedAppliedStoredAndRestored() {
    QFETCH(int, look);
    ScriptedUi ui;
    {
      CMainFrame frame;
      frame.Command(look)->trigger();
      QCOMPARE(frame.CurrentLook(), look);
      for (int other = kFirstLook; other <= kLastLook; ++other) {
        QCOMPARE(frame.Command(other)->isChecked(), other == look);
      }
      QCOMPARE(QApplication::style()->name(), LookStyleName(look));
      QCOMPARE(QApplication::palette().color(QPalette::Window),
               LookPalette(look).color(QPalette::Window));
      QCOMPARE(Settings().value("Workspace/ApplicationLook").toInt(), look);
    }
    QApplication::setPalette(LookPalette(kDefaultLook));
    CMainFrame restored;
    QCOMPARE(restored.CurrentLook(), look);
    QVERIFY(restored.Command(look)->isChecked());
    QCOMPARE(QApplication::palette().color(QPalette::Window),
             LookPalette(look).color(QPalette::Window));
  }

  void anUnknownStoredLookIsTheOffice2007Style() {
    Settings().setValue("Workspace/ApplicationLook", 999);
    ScriptedUi ui;
    CMainFrame frame;
    QVERIFY(frame.Command(215)->isChecked());
    QCOMPARE(QApplication::palette().color(QPalette::Window),
             LookPalette(215).color(QPalette::Window));
  }

  void screenshotsOfThreeLooks() {
    FrameRun run;
    ScriptedUi ui;
    CMainFrame frame;
    ShowFrame(frame);
    ui.file_choices.append(QStringList{run.document, "/data/Budget 2025.ods"});
    frame.View()->OnSelectFiles();
    for (int look : {210, 213, 215}) {
      frame.ApplyLook(look);
      vellomir::testing::SaveScreenshot(frame, QString("frame-look-%1").arg(look));
    }
  }

  // ------------------------------------------------------------------------------------------
  // Status bar, toolbar customisation, window state

  void statusBar() {
    ScriptedUi ui;
    CMainFrame frame;
    ShowFrame(frame);
    QCOMPARE(frame.statusBar()->currentMessage(), QString("Ready"));
    QStatusTipEvent prompt(frame.Command(kCmdRepair)->statusTip());
    QCoreApplication::sendEvent(&frame, &prompt);
    QCOMPARE(frame.statusBar()->currentMessage(), QString("Repair selected file(s)"));
    QStatusTipEvent none{QString()};
    QCoreApplication::sendEvent(&frame, &none);
    QCOMPARE(frame.statusBar()->currentMessage(), QString("Ready"));

    QStringList indicators;
    for (QLabel* label : frame.statusBar()->findChildren<QLabel*>()) {
      if (label->objectName() == label->text()) indicators.append(label->text());
    }
    QCOMPARE(indicators, (QStringList{"CAP", "NUM", "SCRL"}));
    frame.Indicators()->SetProbe([](LockKey key) -> std::optional<bool> {
      if (key == LockKey::kCaps) return true;
      if (key == LockKey::kNum) return false;
      return std::nullopt;
    });
    QVERIFY(frame.Indicators()->Indicator(LockKey::kCaps)->isEnabled());
    QVERIFY(!frame.Indicators()->Indicator(LockKey::kNum)->isEnabled());
    QVERIFY(!frame.Indicators()->Indicator(LockKey::kScroll)->isEnabled());

    frame.Command(kCmdStatusBar)->trigger();
    QVERIFY(frame.statusBar()->isHidden());
    frame.Command(kCmdStatusBar)->trigger();
    QVERIFY(!frame.statusBar()->isHidden());
  }

  void customizeHidesToolbarButtonsAndKeepsTheChoice() {
    ScriptedUi ui;
    ui.on_dialog = [](QDialog& dialog) {
      auto& customize = dynamic_cast<CCustomizeDialog&>(dialog);
      customize.Choice(kCmdRemoveFilesCommand)->setChecked(false);
      return int(QDialog::Accepted);
    };
    auto toolbar_items = [](const CMainFrame& frame) {
      QStringList items;
      for (QAction* action : frame.Toolbar()->actions()) {
        items.append(action->isSeparator() ? QString("-") : action->data().toString());
      }
      return items;
    };
    {
      CMainFrame frame;
      frame.Command(kCmdCustomize)->trigger();
      QCOMPARE(ui.dialog_titles, QStringList{"Customize"});
      QCOMPARE(toolbar_items(frame), (QStringList{"57600", "57603", "-", "57664", "126"}));
      // The command itself stays in the menu.
      QVERIFY(frame.Command(kCmdRemoveFilesCommand)->isVisible());
    }
    CMainFrame restored;
    QCOMPARE(toolbar_items(restored), (QStringList{"57600", "57603", "-", "57664", "126"}));

    // A cancelled dialog changes nothing.
    ui.on_dialog = [](QDialog& dialog) {
      dynamic_cast<CCustomizeDialog&>(dialog).Choice(kCmdAbout)->setChecked(false);
      return int(QDialog::Rejected);
    };
    restored.Customize();
    QCOMPARE(toolbar_items(restored), (QStringList{"57600", "57603", "-", "57664", "126"}));
  }

  void windowAndBarStateAreRestored() {
    ScriptedUi ui;
    ui.on_question = [](const QString&) { return Answer::kYes; };
    {
      CMainFrame frame;
      ShowFrame(frame);
      frame.Toolbar()->toggleViewAction()->trigger();
      frame.Command(kCmdStatusBar)->trigger();
      QVERIFY(frame.close());
    }
    CMainFrame restored;
    ShowFrame(restored);
    QVERIFY(restored.Toolbar()->isHidden());
    QVERIFY(restored.statusBar()->isHidden());
    QVERIFY(!restored.Command(kCmdStatusBar)->isChecked());
  }

  // ------------------------------------------------------------------------------------------
  // Closing

  void closingDuringARunIsRefused() {
    FrameRun run;
    ScriptedUi ui;
    CMainFrame frame;
    ShowFrame(frame);
    bool closed_in_run = true;
    QStringList messages_in_run;
    ui.on_dialog = [&](QDialog&) {
      // The run is still active while its completion dialog is open.
      closed_in_run = frame.close();
      messages_in_run = ui.MessageTexts();
      return int(QDialog::Accepted);
    };
    run.Start(frame, ui);
    QVERIFY(WaitForRunEnd(frame));
    QVERIFY(!closed_in_run);
    QCOMPARE(messages_in_run, QStringList{"Please stop current process"});
    QCOMPARE(ui.messages[0].kind, MessageKind::kWarning);
    QCOMPARE(ui.opened, QList<QUrl>{});
  }

  void closingAsksFirst() {
    ScriptedUi ui;
    CMainFrame frame;
    ShowFrame(frame);
    ui.on_question = [](const QString&) { return Answer::kNo; };
    frame.Command(kCmdExitProgram)->trigger();
    QVERIFY(frame.isVisible());
    QCOMPARE(ui.MessageTexts(), QStringList{"Do you want to close the software ?"});
    QCOMPARE(ui.messages[0].kind, MessageKind::kQuestion);
    QCOMPARE(ui.opened, QList<QUrl>{});

    ui.on_question = [](const QString&) { return Answer::kYes; };
    frame.View()->Button(kCmdExit)->show();
    frame.View()->OnExit();  // the view's Exit posts the close request
    QTRY_VERIFY(!frame.isVisible());
    QCOMPARE(ui.opened, QList<QUrl>{QUrl("https://vellomir.example.org/")});
  }

  void homePage() {
    ScriptedUi ui;
    CMainFrame frame;
    frame.Command(kCmdHomePage)->trigger();
    QCOMPARE(ui.opened, QList<QUrl>{QUrl("https://vellomir.example.org/")});
  }

  // ------------------------------------------------------------------------------------------
  // Help

  void helpIsLookedForInTheStartupFolderFirst() {
    vellomir::testing::TempDir folder;
    vellomir::testing::WriteFile(folder / "Vellomir.chm", "help");
    QDir::setCurrent(QString::fromStdString(folder.path()));
    ScriptedUi ui;
    CMainFrame frame;
    QCOMPARE(frame.StartupFolder(), QString::fromStdString(folder.path()) + "/");
    QDir::setCurrent(QDir::tempPath());  // only the folder current at creation counts
    frame.Command(kCmdHelp)->trigger();
    QCOMPARE(ui.opened,
             QList<QUrl>{QUrl::fromLocalFile(QString::fromStdString(folder / "Vellomir.chm"))});
    QCOMPARE(ui.MessageTexts(), QStringList{});
  }

  void helpIsFoundBesideTheProgram() {
    vellomir::testing::TempDir elsewhere;
    QDir::setCurrent(QString::fromStdString(elsewhere.path()));
    const QString guide = QCoreApplication::applicationDirPath() + "/Vellomir.html";
    vellomir::testing::WriteFile(guide.toStdString(), "<html></html>");
    ScriptedUi ui;
    CMainFrame frame;
    frame.OpenHelpFile();
    QFile::remove(guide);
    QCOMPARE(ui.opened, QList<QUrl>{QUrl::fromLocalFile(guide)});
    QCOMPARE(ui.MessageTexts(), QStringList{});
  }

  void helpMissing() {
    vellomir::testing::TempDir elsewhere;
    QDir::setCurrent(QString::fromStdString(elsewhere.path()));
    ScriptedUi ui;
    CMainFrame frame;
    // The current folder first, then the program's own, then its installed data folder.
    const QString here = QString::fromStdString(elsewhere.path()) + "/";
    const QString program = QCoreApplication::applicationDirPath() + "/";
    const QString data = QDir::cleanPath(program + "../share/vellomir") + "/";
    QCOMPARE(
        frame.HelpCandidates(),
        (QStringList{here + "Vellomir.chm", here + "Vellomir.html", program + "Vellomir.chm",
                     program + "Vellomir.html", data + "Vellomir.chm", data + "Vellomir.html"}));
    for (const QString& candidate : frame.HelpCandidates()) QVERIFY(!QFile::exists(candidate));
    frame.Command(kCmdHelp)->trigger();
    QCOMPARE(ui.MessageTexts(),
             QStringList{"Vellomir.chm file not exist, please reinstall software "});
    QCOMPARE(ui.messages[0].kind, MessageKind::kWarning);
    QCOMPARE(ui.opened, QList<QUrl>{});
  }

  void aboutCommandShowsTheAboutBox() {
    ScriptedUi ui;
    CMainFrame frame;
    frame.Command(kCmdAbout)->trigger();
    QCOMPARE(ui.dialog_titles, QStringList{"About Vellomir"});
  }
};

VELLOMIR_SHELL_TEST_MAIN(FrameTest)
#include "frame_test.moc"
