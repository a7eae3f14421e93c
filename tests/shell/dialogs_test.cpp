// The completion dialog and the about box.
#include <QLabel>
#include <QPushButton>
#include <QtTest>

#include "shell/dialogs.h"
#include "shell_test_support.h"

using namespace vellomir;
using vellomir::testing::ScriptedUi;

namespace {

// A folder path of exactly `length` characters, ending in the separator.
QString FolderOfLength(int length) {
  QString path = QStringLiteral("/home/user/");
  while (path.size() < length - 1) path += QChar(u'a' + int(path.size() % 26));
  return path + u'/';
}

void ReleaseOver(QWidget& widget, Qt::MouseButton button, QPoint at = QPoint(2, 2)) {
  QTest::mousePress(&widget, button, Qt::NoModifier, at);
  QTest::mouseRelease(&widget, button, Qt::NoModifier, at);
}

}  // namespace

class DialogsTest : public QObject {
  Q_OBJECT

 private slots:
  void dialogUnitsFollowTheFont() {
    QFont font;
    font.setPixelSize(13);
    const DialogUnits units(font);
    const QFontMetrics metrics(font);
    const int average =
        (metrics.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz") / 26 +
         1) /
        2;
    QCOMPARE(units.X(4), average);
    QCOMPARE(units.Y(8), metrics.height());
    CCustomMessage done;
    QCOMPARE(done.size(), DialogUnits(done.font()).Size(299, 90));
    CAboutDlg about;
    QCOMPARE(about.size(), DialogUnits(about.font()).Size(243, 196));
  }

  // At most 80 characters of the path are shown, then "..."; the tool tip and the opened target
  // are always the whole path.
  void completionLink_data() {
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("shown");
    QTest::newRow("79 characters") << 79 << 79;
    QTest::newRow("80 characters") << 80 << 80;
    QTest::newRow("81 characters") << 81 << 80;
    QTest::newRow("200 characters") << 200 << 80;
  }
  void completionLink() {
    QFETCH(int, length);
    QFETCH(int, shown);
    const QString folder = FolderOfLength(length);
    QCOMPARE(folder.size(), length);
    ScriptedUi ui;
    CCustomMessage done;
    done.SetFolderPath(folder);
    done.show();
    QVERIFY(QTest::qWaitForWindowExposed(&done));
    QCOMPARE(done.Link()->text(), folder.left(shown) + "...");
    QCOMPARE(done.Link()->toolTip(), folder);
    QCOMPARE(done.Link()->Target(), QUrl::fromLocalFile(folder));
    QVERIFY(done.Link()->isVisible());
    QVERIFY(!done.findChild<QLabel*>("1002")->isVisible());
    QCOMPARE(done.Link()->cursor().shape(), Qt::PointingHandCursor);
    QCOMPARE(done.Link()->x(), 7);
  }

  void theLinkNeverCutsACharacterInTwo() {
    // Character 80 is the first half of a character outside the 16-bit range.
    const QString folder = QString(79, u'a') + QString::fromUtf8("\xF0\x9F\x93\x81") + "/";
    QCOMPARE(CCustomMessage::LinkText(folder), QString(79, u'a') + "...");
  }

  void completionMessages() {
    CCustomMessage done;
    QCOMPARE(done.windowTitle(), QString("Vellomir"));
    QCOMPARE(done.MessageText(), QString("The repairing process was completed successfully "));
    done.SetOutcome(0, 3);
    QCOMPARE(done.MessageText(), QString("The repairing process was completed successfully "));
    done.SetOutcome(2, 5);
    QCOMPARE(done.MessageText(), QString("The repairing process completed with errors: 2 of 5 "
                                         "file(s) could not be repaired "));
    QVERIFY(done.findChild<QPushButton*>()->isDefault());
  }

  // Either button released over the link opens the folder, once; a release elsewhere does not.
  void releasingAButtonOverTheLinkOpensTheFolder_data() {
    QTest::addColumn<Qt::MouseButton>("button");
    QTest::addColumn<bool>("over");
    QTest::addColumn<int>("opened");
    QTest::newRow("left") << Qt::LeftButton << true << 1;
    QTest::newRow("right") << Qt::RightButton << true << 1;
    QTest::newRow("middle") << Qt::MiddleButton << true << 0;
    QTest::newRow("left, outside the link") << Qt::LeftButton << false << 0;
  }
  void releasingAButtonOverTheLinkOpensTheFolder() {
    QFETCH(Qt::MouseButton, button);
    QFETCH(bool, over);
    QFETCH(int, opened);
    ScriptedUi ui;
    CCustomMessage done;
    done.SetFolderPath("/home/me/out/");
    done.show();
    QVERIFY(QTest::qWaitForWindowExposed(&done));
    ReleaseOver(*done.Link(), button, over ? QPoint(2, 2) : QPoint(-5, -5));
    QCOMPARE(ui.opened.size(), opened);
    if (opened > 0) QCOMPARE(ui.opened[0], QUrl::fromLocalFile("/home/me/out/"));
  }

  void theLinkOpensFromTheKeyboard() {
    ScriptedUi ui;
    CCustomMessage done;
    done.SetFolderPath("/home/me/out/");
    done.show();
    QVERIFY(QTest::qWaitForWindowExposed(&done));
    QTest::keyClick(done.Link(), Qt::Key_Space);
    QTest::keyClick(done.Link(), Qt::Key_Return);
    QCOMPARE(ui.opened, (QList<QUrl>{QUrl::fromLocalFile("/home/me/out/"),
                                     QUrl::fromLocalFile("/home/me/out/")}));
  }

  void aboutBox() {
    ScriptedUi ui;
    CAboutDlg about;
    about.show();
    QVERIFY(QTest::qWaitForWindowExposed(&about));
    QCOMPARE(about.windowTitle(), QString("About Vellomir"));
    const QStringList lines = CAboutDlg::AboutText().split("\r\n");
    QCOMPARE(lines.size(), 10);
    QCOMPARE(lines[0], QString("Vellomir ver 8.12.01 "));
    for (int empty : {1, 3, 6, 8}) QVERIFY(lines[empty].isEmpty());
    QCOMPARE(lines[5], QString("https://vellomir.example.org/"));
    for (int line : {2, 4, 7, 9}) QVERIFY(!lines[line].isEmpty());
    QVERIFY(lines[4].contains("example.org") && lines[7].contains("@example.org") &&
            lines[9].contains("@example.org"));
    QCOMPARE(about.TextControl()->text(), CAboutDlg::AboutText().replace("\r\n", "\n"));
    QCOMPARE(about.TextControl()->alignment() & Qt::AlignHCenter, Qt::AlignHCenter);
    QCOMPARE(about.TextControl()->cursor().shape(), Qt::PointingHandCursor);
    QCOMPARE(about.TextControl()->palette().color(QPalette::WindowText), QColor(0, 0, 255));
    QCOMPARE(about.palette().color(QPalette::Window), QColor(Qt::white));
    QPushButton* ok = about.findChild<QPushButton*>();
    QCOMPARE(ok->text(), QString("OK"));
    QCOMPARE(ok->palette().color(QPalette::ButtonText), QColor(0, 0, 255));
    QVERIFY(ok->isDefault());
  }

  void releasingAButtonOverTheAboutTextOpensTheHomePage() {
    ScriptedUi ui;
    CAboutDlg about;
    about.show();
    QVERIFY(QTest::qWaitForWindowExposed(&about));
    ReleaseOver(*about.TextControl(), Qt::LeftButton);
    ReleaseOver(*about.TextControl(), Qt::RightButton);
    const QUrl home("https://vellomir.example.org/");
    QCOMPARE(ui.opened, (QList<QUrl>{home, home}));
  }

  void screenshots() {
    ScriptedUi ui;
    CAboutDlg about;
    about.show();
    QVERIFY(QTest::qWaitForWindowExposed(&about));
    vellomir::testing::SaveScreenshot(about, "about-box");

    CCustomMessage done;
    done.SetFolderPath(FolderOfLength(90));
    done.show();
    QVERIFY(QTest::qWaitForWindowExposed(&done));
    vellomir::testing::SaveScreenshot(done, "completion-dialog");

    CCustomMessage failed;
    failed.SetFolderPath("/home/me/Documents/Repaired/");
    failed.SetOutcome(1, 3);
    failed.show();
    QVERIFY(QTest::qWaitForWindowExposed(&failed));
    vellomir::testing::SaveScreenshot(failed, "completion-dialog-with-errors");
  }
};

VELLOMIR_SHELL_TEST_MAIN(DialogsTest)
#include "dialogs_test.moc"
