// One instance per session: a second start is refused while the first
// process lives, and allowed once it has died.
#include "console/KOVApp.h"
#include "console/LimitSingleInstance.h"
#include "tests/console/ConsoleTestSupport.h"
#include "tests/support/ChildProcess.h"

#include <QApplication>

#include <csignal>

class SingleInstanceTest : public QObject {
    Q_OBJECT
private slots:
    void secondInstanceIsRefusedUntilTheFirstDies()
    {
        // A session of its own, so that an instance running on this machine plays no part.
        TempDirectory session;
        TempSettingsStore store;
        qputenv("XDG_RUNTIME_DIR", session.Path().c_str());
        ChildProcess first({"env", "QT_QPA_PLATFORM=offscreen", "XDG_RUNTIME_DIR=" + session.Path(),
                            "XDG_CONFIG_HOME=" + store.Path() + "/config", ORMA_SERVER_PATH},
                           store.Path());
        // The window logs its start after the lock was taken.
        QTRY_COMPARE_WITH_TIMEOUT(store.CountLogLines("ORMA UDP Broadcast Server has been Started"), 1, 10000);
        const std::string logged = store.LogText();
        {
            CLimitSingleInstance guard("HALVRSRV");
            QVERIFY(guard.IsAnotherInstanceRunning());
            CScriptedPrompter prompter;
            QVERIFY(!CKOVApp(guard, prompter).InitInstance());
            QCOMPARE(prompter.Messages, std::vector<std::string>{"ORMA UDP Broadcast Server Already Running..."});
            QVERIFY(QApplication::topLevelWidgets().isEmpty());
        }
        QCOMPARE(first.Wait(std::chrono::milliseconds(0)), -1);  // still running
        QCOMPARE(store.LogText(), logged);

        // Killed, the first instance leaves its lock behind to the system, which frees it.
        first.Signal(SIGKILL);
        QCOMPARE(first.Wait(std::chrono::seconds(5)), 128 + SIGKILL);
        CLimitSingleInstance next("HALVRSRV");
        QVERIFY(!next.IsAnotherInstanceRunning());
        QCOMPARE(CLimitSingleInstance::LockPath("HALVRSRV"), session.File("HALVRSRV"));
    }
};

QTEST_MAIN(SingleInstanceTest)
#include "SingleInstanceTest.moc"
