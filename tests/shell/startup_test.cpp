// Start-up of the real program: one copy at a time, and a file named on the command line. The
// program runs offscreen and non-interactively: it writes what it would show to standard error.
#include <QProcess>
#include <QtTest>
#include <memory>

#include "shell_test_support.h"
#include "support/test_support.h"

namespace {

const QString kShown = QStringLiteral("Vellomir: shown Vellomir - Ver 8.12.01");
const QString kAnotherInstance =
    QStringLiteral("Vellomir: Another Instance of Vellomir is running \n");

class Program {
 public:
  Program(const QProcessEnvironment& environment, const QStringList& arguments = {}) {
    process_.setProcessEnvironment(environment);
    process_.start(QStringLiteral(VELLOMIR_PROGRAM), arguments);
  }
  ~Program() {
    if (process_.state() != QProcess::NotRunning) {
      process_.kill();
      process_.waitForFinished(10000);
    }
  }
  bool WaitForWindow() {
    QElapsedTimer clock;
    clock.start();
    while (!errors_.contains(kShown) && process_.state() != QProcess::NotRunning &&
           clock.elapsed() < 30000) {
      process_.waitForReadyRead(100);
      errors_ += QString::fromUtf8(process_.readAllStandardError());
    }
    return errors_.contains(kShown);
  }
  bool WaitForEnd() {
    const bool ended = process_.waitForFinished(30000);
    errors_ += QString::fromUtf8(process_.readAllStandardError());
    return ended;
  }
  // Ends the program as the system would at log-out.
  void Terminate() {
    process_.terminate();
    process_.waitForFinished(10000);
  }
  bool Running() const { return process_.state() == QProcess::Running; }
  int ExitCode() const { return process_.exitCode(); }
  const QString& Errors() const { return errors_; }

 private:
  QProcess process_;
  QString errors_;
};

}  // namespace

class StartupTest : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    home_ = std::make_unique<vellomir::testing::TempDir>();
    const std::string runtime = *home_ / "runtime";
    vellomir::testing::MakeFolders(runtime);
    QFile::setPermissions(QString::fromStdString(runtime),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    environment_ = QProcessEnvironment::systemEnvironment();
    environment_.insert("QT_QPA_PLATFORM", "offscreen");
    environment_.insert("VELLOMIR_NONINTERACTIVE", "1");
    environment_.insert("XDG_RUNTIME_DIR", QString::fromStdString(runtime));
    environment_.insert("XDG_CONFIG_HOME", QString::fromStdString(*home_ / "config"));
    environment_.insert("TMPDIR", QString::fromStdString(home_->path()));
  }

  void oneCopyAtATime() {
    Program first(environment_);
    QVERIFY2(first.WaitForWindow(), qPrintable(first.Errors()));

    Program second(environment_);
    QVERIFY(second.WaitForEnd());
    QCOMPARE(second.Errors(), kAnotherInstance);  // the message, and no window
    QVERIFY(second.ExitCode() != 0);
    QVERIFY(first.Running());

    first.Terminate();
    Program third(environment_);
    QVERIFY2(third.WaitForWindow(), qPrintable(third.Errors()));
    QVERIFY(!third.Errors().contains("Another Instance"));
  }

  void aFileOnTheCommandLineIsOpenedAndNotRead() {
    const std::string document = *home_ / "Book.ods";
    vellomir::testing::WriteDamagedDocument(document);
    Program program(environment_, {QString::fromStdString(document)});
    QVERIFY2(program.WaitForWindow(), qPrintable(program.Errors()));
    QVERIFY(!program.Errors().contains("Cannot open"));
  }

  void aFileThatCannotBeOpenedEndsTheStart_data() {
    QTest::addColumn<QString>("name");
    QTest::newRow("missing") << "missing.ods";
    QTest::newRow("a folder") << "folder.ods";
  }
  void aFileThatCannotBeOpenedEndsTheStart() {
    QFETCH(QString, name);
    vellomir::testing::MakeFolders(*home_ / "folder.ods");
    const QString path = QString::fromStdString(home_->path()) + "/" + name;
    Program program(environment_, {path});
    QVERIFY(program.WaitForEnd());
    QCOMPARE(program.Errors(), "Vellomir: Cannot open the file " + path + "\n");
    QVERIFY(program.ExitCode() != 0);
  }

 private:
  std::unique_ptr<vellomir::testing::TempDir> home_;
  QProcessEnvironment environment_;
};

VELLOMIR_SHELL_TEST_MAIN(StartupTest)
#include "startup_test.moc"
