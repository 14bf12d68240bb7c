// The tray icon and its menu, hiding and restoring, the exit's question and
// the exit on SIGTERM.
#include "console/AboutDlg.h"
#include "console/MessageBoxPrompter.h"
#include "console/ShutdownSignals.h"
#include "tests/console/ConsoleTestSupport.h"

#include <QApplication>
#include <QMenu>
#include <QMessageBox>
#include <QTimer>

#include <unistd.h>

#include <algorithm>
#include <csignal>

namespace {

const std::string kExitQuestion = "This will disconnect all the broadcast connections.\nAre you sure?";
const std::vector<std::string> kThreeRows = {Row(1, "QA", 1, 20800), Row(2, "QA", 2, 20800), Row(3, "QA", 3, 20800)};

// Runs `check` on the next modal dialog shown within 5 s, then closes it.
void OnNextModal(const std::function<void(QWidget&)>& check)
{
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [poll, check, polls = 0]() mutable {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal && ++polls < 500)
            return;
        poll->stop();
        poll->deleteLater();
        if (modal) {
            check(*modal);
            modal->close();
        }
    });
    poll->start(10);
}

}  // namespace

class TrayExitTest : public QObject, WindowFixture {
    Q_OBJECT
private slots:
    void init() { OpenStore(); }
    void cleanup() { Close(); }

    void trayMenuAndHiding()
    {
        OpenWindow();
        CKOVDlg& window = *m_window;
        QVERIFY(window.TrayIcon()->contextMenu() == window.TrayMenu());
        const QList<QAction*> items = window.TrayMenu()->actions();
        QStringList texts;
        for (const QAction* item : items) texts << item->text();
        QCOMPARE(texts, (QStringList{"Open...", "Exit...", "About ORMA UDP Broadcast Server"}));
        QCOMPARE(window.TrayMenu()->defaultAction(), items[0]);
        bool aboutShown = false;
        OnNextModal([&aboutShown](QWidget& modal) { aboutShown = qobject_cast<CAboutDlg*>(&modal) != nullptr; });
        items[2]->trigger();
        QVERIFY(aboutShown);

        window.SetTrayAvailable(true);
        QTest::keyClick(&window, Qt::Key_Escape);
        QVERIFY(window.isHidden());
        items[0]->trigger();
        QVERIFY(window.isVisible() && !window.isMinimized());
        window.showMinimized();
        QTRY_VERIFY(window.isHidden());
        emit window.TrayIcon()->activated(QSystemTrayIcon::Trigger);  // a left click
        QVERIFY(window.isVisible() && !window.isMinimized());
        // A hidden window whose tray has gone is shown at the next refresh.
        QTest::keyClick(&window, Qt::Key_Escape);
        window.SetTrayAvailable(false);
        QVERIFY(window.isHidden());
        window.OnTimer(REFRESH_TIMER_ID);
        QVERIFY(window.isVisible() && !window.isMinimized());
        // Without a tray nothing could bring a hidden window back: it goes to the task bar.
        QTest::keyClick(&window, Qt::Key_Escape);
        QVERIFY(window.isMinimized() && !window.isHidden());

        items[1]->trigger();
        QCOMPARE(m_prompter.Messages, std::vector<std::string>{kExitQuestion});
        QVERIFY(!window.isHidden());
        QCOMPARE(m_store->CountLogLines("has been Closed"), 0);
    }

    void exitAnsweredNoThenSigtermSavesWhatRan()
    {
        std::string why;
        const std::unique_ptr<TestNetwork> network = TestNetwork::Create(why);
        if (!network)
            QSKIP(why.c_str());
        network->EnterRelay();
        QVERIFY(TempSettingsStore::StoreConfigurations(kThreeRows, "1,3,"));
        const std::string storeFile = m_store->KeyFolder("SOFTWARE\\ORMASYS\\KOV\\PLUX Details") / "values.txt";
        const std::string before = ReadFile(storeFile);
        CShutdownSignals shutdownSignals;
        QVERIFY(shutdownSignals.IsInstalled());
        OpenWindow();
        CKOVDlg& window = *m_window;
        connect(&shutdownSignals, &CShutdownSignals::Received, &window, &CKOVDlg::OnShutdownSignal);
        shutdownSignals.Watch();
        const auto runningIds = [&] {
            QString ids;
            for (int row = 0; row < List().rowCount(); ++row)
                ids += window.GetEngineForRow(row)->IsRunning() ? Cell(row, 0) + "," : "";
            return ids;
        };
        QTRY_COMPARE(runningIds(), "1,3,");

        window.close();  // the close box, Alt+F4
        QCOMPARE(runningIds(), "1,3,");
        QCOMPARE(ReadFile(storeFile), before);

        QCOMPARE(kill(getpid(), SIGTERM), 0);
        window.RunModal();
        QCOMPARE(m_prompter.Messages, std::vector<std::string>{kExitQuestion});  // only the close box's
        QCOMPARE(m_store->CountLogLines(" ORMA UDP Broadcast Server has been Closed"), 1);
        QCOMPARE(TempSettingsStore::Read(kConfigurationKey, "Auto Start"), "1,3,");
        QCOMPARE(TempSettingsStore::Read(kSegmentKey, "0"), "0,QA,,,,0,");
        // Stop returns once the relay thread has ended.
        QCOMPARE(window.GetEngineForRow(0)->GetStatus() + ", " + window.GetEngineForRow(2)->GetStatus(),
                 "Stopped, Stopped");
    }

    void signalsThatWouldEndItSilentlyEndItInOrderOrAreIgnored()
    {
        // One its starter ignored stays ignored (nohup does that to SIGHUP).
        signal(SIGUSR1, SIG_IGN);
        std::vector<int> received;
        {
            CShutdownSignals shutdownSignals;
            connect(&shutdownSignals, &CShutdownSignals::Received, [&](int number) { received.push_back(number); });
            shutdownSignals.Watch();
            // Ignored: the test lives on. (SIGPIPE: the program test; Qt Test takes it here.)
            for (const int number : {SIGUSR1, SIGXFSZ, SIGUSR2, SIGALRM, SIGVTALRM})
                QCOMPARE(kill(getpid(), number), 0);
            QTRY_COMPARE(received.size(), size_t{3});
            QTest::qWait(50);
        }
        std::sort(received.begin(), received.end());
        QCOMPARE(received, (std::vector<int>{SIGUSR2, SIGALRM, SIGVTALRM}));
        // Given back as they were.
        struct sigaction action {};
        QCOMPARE(sigaction(SIGUSR2, nullptr, &action), 0);
        QVERIFY(action.sa_handler == SIG_DFL);
        QCOMPARE(sigaction(SIGUSR1, nullptr, &action), 0);
        QVERIFY(action.sa_handler == SIG_IGN);
        signal(SIGUSR1, SIG_DFL);
    }

    void sigtermClosesAnOpenQuestion()
    {
        // Real message boxes, which run event loops of their own.
        CMessageBoxPrompter boxes;
        CShutdownSignals shutdownSignals;
        CKOVDlg window(boxes);
        connect(&shutdownSignals, &CShutdownSignals::Received, &window, &CKOVDlg::OnShutdownSignal);
        shutdownSignals.Watch();
        bool closedBySignal = false;
        OnNextModal([&closedBySignal](QWidget& modal) {
            QVERIFY(qobject_cast<QMessageBox*>(&modal));
            QCOMPARE(kill(getpid(), SIGTERM), 0);
            QTRY_VERIFY(!modal.isVisible());
            closedBySignal = true;
        });
        QTimer::singleShot(0, static_cast<QPushButton*>(window.GetDlgItem(IDC_BUTTON_EXIT)), &QPushButton::click);
        window.RunModal();
        QVERIFY(closedBySignal);
        QCOMPARE(m_store->CountLogLines(" ORMA UDP Broadcast Server has been Closed"), 1);
        QCOMPARE(TempSettingsStore::Read(kConfigurationKey, "Record Count"), "0");
    }
};

QTEST_MAIN(TrayExitTest)
#include "TrayExitTest.moc"
