// One instance per session: a second start is refused while the first
// process lives, and allowed once it has died.
#include "console/KOVApp.h"
#include "console/LimitSingleInstance.h"
#include "tests/console/ConsoleTestSupport.h"

#include <QApplication>
#include <QDir>
#include <QProcess>
#include <QTest>

class SingleInstanceTest : public QObject {
    Q_OBJECT
private slots:
    void secondInstanceIsRefusedUntilTheFirstDies();
};

void SingleInstanceTest::secondInstanceIsRefusedUntilTheFirstDies()
{
    // A session of its own, so that an instance running on this machine plays no part.
    QTemporaryDir runtime;
    QTemporaryDir work;
    QVERIFY(runtime.isValid() && work.isValid());
    qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());

    QProcess first;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    environment.insert("XDG_RUNTIME_DIR", runtime.path());
    environment.insert("XDG_CONFIG_HOME", work.filePath("config"));
    first.setProcessEnvironment(environment);
    first.setWorkingDirectory(work.path());
    first.setProcessChannelMode(QProcess::ForwardedChannels);
    EndWithTest(first);
    first.start(ORMA_SERVER_PATH, {});
    QVERIFY(first.waitForStarted());
    const auto startedLines = [&work] {
        QString text;
        for (const QFileInfo& file : QDir(work.path()).entryInfoList({"PLUX_*.TXT"}, QDir::Files)) {
            QFile log(file.filePath());
            if (log.open(QIODevice::ReadOnly))
                text += log.readAll();
        }
        return text.count("ORMA UDP Broadcast Server has been Started");
    };
    // The window logs its start after the lock was taken.
    QTRY_COMPARE_WITH_TIMEOUT(startedLines(), 1, 10000);

    {
        CLimitSingleInstance guard("HALVRSRV");
        QVERIFY(guard.IsAnotherInstanceRunning());
        ScopedEventLog log;
        CScriptedPrompter prompter;
        QVERIFY(!CKOVApp(guard, prompter).InitInstance());
        QCOMPARE(prompter.Messages, std::vector<std::string>{"ORMA UDP Broadcast Server Already Running..."});
        QCOMPARE(log.Text(), "");
        QVERIFY(QApplication::topLevelWidgets().isEmpty());
    }
    QCOMPARE(first.state(), QProcess::Running);
    QCOMPARE(startedLines(), 1);

    // Killed, the first instance leaves its lock behind to the system, which frees it.
    first.kill();
    QVERIFY(first.waitForFinished());
    CLimitSingleInstance next("HALVRSRV");
    QVERIFY(!next.IsAnotherInstanceRunning());
    QCOMPARE(QString::fromStdString(CLimitSingleInstance::LockPath("HALVRSRV")), runtime.filePath("HALVRSRV"));
}

QTEST_MAIN(SingleInstanceTest)
#include "SingleInstanceTest.moc"
