// The tray icon and its menu, hiding and restoring, the one exit with its
// question, the exit on SIGTERM, and the status line's dropped datagrams.
#include "config/PersistedSettings.h"
#include "console/AboutDlg.h"
#include "console/ControlIds.h"
#include "console/MessageBoxPrompter.h"
#include "console/ShutdownSignals.h"
#include "engine/BroadcastEngine.h"
#include "log/EventLog.h"
#include "tests/console/ConsoleTestSupport.h"
#include "tests/support/TestNetwork.h"

#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <QTest>

#include <unistd.h>

#include <csignal>
#include <thread>

namespace {

const std::string kExitQuestion = "This will disconnect all the broadcast connections.\nAre you sure?";

// Three configurations on the test network's interfaces, 1 and 3 to start.
void StoreThreeConfigurations(const std::string& autoStart)
{
    std::vector<StoredValue> values{{"Record Count", "3"}};
    for (int id = 1; id <= 3; ++id) {
        values.push_back({std::to_string(id - 1), FormatText("%d,QA,239.1.8.%d,%d,UDP,MULTICAST,239.2.8.%d,%d,UDP,"
                                                             "MULTICAST,Y,N,",
                                                             id, id, 10800 + id, id, 20800 + id)});
    }
    values.insert(values.end(), {{"Host Side IP", TestNetwork::kHostSideIp},
                                 {"Zenta Side IP", TestNetwork::kZentaSideIp},
                                 {"Auto Start", autoStart}});
    ScopedSettingsStore::Store(kConfigurationKey, values);
}

QByteArray ConfigurationFile(const ScopedSettingsStore& store)
{
    QFile file(store.Directory() + "/orma-broadcast-server/SOFTWARE/ORMASYS/KOV/PLUX Details/values.txt");
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

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
    void trayMenuHasThreeItemsWithOpenAsDefault();
    void escapeAndMinimiseHideBehindTheTrayOrMinimise();
    void exitAnsweredNoChangesNothingYesSavesWhatRan();
    void sigtermExitsUnaskedAfterSavingWhatRan();
    void sigtermClosesAnOpenQuestion();
    void statusLineShowsTheSystemsDrops();

private:
    std::unique_ptr<TestNetwork> EnterTestNetwork();
    std::unique_ptr<TestNetwork> m_network;
};

std::unique_ptr<TestNetwork> TrayExitTest::EnterTestNetwork()
{
    std::string why;
    std::unique_ptr<TestNetwork> network = TestNetwork::Create(why);
    if (network)
        network->EnterRelay();
    else
        qInfo("%s", why.c_str());
    return network;
}

void TrayExitTest::trayMenuHasThreeItemsWithOpenAsDefault()
{
    OpenWindow();
    CKOVDlg& window = *m_window;
    QSystemTrayIcon* tray = window.TrayIcon();
    QVERIFY(tray);
    QCOMPARE(tray->toolTip(), "ORMA UDP Broadcast Server");
    QVERIFY(!tray->icon().isNull());
    QVERIFY(tray->contextMenu() == window.TrayMenu());
    const QList<QAction*> items = window.TrayMenu()->actions();
    QStringList texts;
    for (const QAction* item : items)
        texts << item->text();
    QCOMPARE(texts, (QStringList{"Open...", "Exit...", "About ORMA UDP Broadcast Server"}));
    QCOMPARE(window.TrayMenu()->defaultAction(), items[0]);

    // "Exit..." asks the button's question; No keeps everything.
    items[1]->trigger();
    QCOMPARE(m_prompter.Messages, std::vector<std::string>{kExitQuestion});
    QVERIFY(window.isVisible());

    // The About box is modal, from the tray and from F1.
    int shown = 0;
    const auto checkAbout = [&shown](QWidget& modal) {
        shown += qobject_cast<CAboutDlg*>(&modal) && modal.windowTitle() == "About ORMA UDP Broadcast Server" &&
                 modal.isModal();
    };
    OnNextModal(checkAbout);
    items[2]->trigger();
    OnNextModal(checkAbout);
    window.activateWindow();
    QTRY_VERIFY(window.isActiveWindow());
    QTest::keyClick(&window, Qt::Key_F1);
    QCOMPARE(shown, 2);

    // Gone with the window.
    const QPointer<QSystemTrayIcon> icon = tray;
    m_window.reset();
    QVERIFY(icon.isNull());
}

void TrayExitTest::escapeAndMinimiseHideBehindTheTrayOrMinimise()
{
    OpenWindow();
    CKOVDlg& window = *m_window;
    window.SetTrayAvailable(true);
    QTest::keyClick(&window, Qt::Key_Escape);
    QVERIFY(window.isHidden());
    window.TrayMenu()->actions()[0]->trigger();  // Open...
    QVERIFY(window.isVisible() && !window.isMinimized());

    window.showMinimized();
    QTRY_VERIFY(window.isHidden());
    emit window.TrayIcon()->activated(QSystemTrayIcon::Context);
    QVERIFY(window.isHidden());
    emit window.TrayIcon()->activated(QSystemTrayIcon::Trigger);
    QVERIFY(window.isVisible() && !window.isMinimized());
    window.OnSysCommand(SC_MINIMIZE);
    QVERIFY(window.isHidden());
    window.RestoreWindow();

    // Without a tray nothing could bring a hidden window back: it goes to the task bar.
    window.SetTrayAvailable(false);
    QTest::keyClick(&window, Qt::Key_Escape);
    QVERIFY(window.isMinimized() && !window.isHidden());
    window.showMinimized();
    QTest::qWait(50);
    QVERIFY(!window.isHidden());
    QCOMPARE(m_log->CountLines("has been Closed"), 0);
    QVERIFY(m_prompter.Messages.empty());
}

void TrayExitTest::exitAnsweredNoChangesNothingYesSavesWhatRan()
{
    m_network = EnterTestNetwork();
    if (!m_network)
        QSKIP("no test network");
    const auto leave = qScopeGuard([this] { m_network->LeaveRelay(); m_window.reset(); m_network.reset(); });
    StoreThreeConfigurations("1,3,");
    OpenWindow();
    CKOVDlg& window = *m_window;
    QTRY_COMPARE(RunningIds(window), "1,3,");
    // Stopping 3 and starting 2 leaves 1 and 2 running.
    ClickRow(window, 2);
    QTest::mouseClick(&ButtonOf(window, IDC_BUTTON_START), Qt::LeftButton);
    ClickRow(window, 1);
    QTest::mouseClick(&ButtonOf(window, IDC_BUTTON_START), Qt::LeftButton);
    QTRY_COMPARE(RunningIds(window), "1,2,");
    const QByteArray before = ConfigurationFile(*m_store);

    // The close box and Alt+F4 arrive as a close request.
    window.close();
    QCOMPARE(m_prompter.Messages, std::vector<std::string>{kExitQuestion});
    QCOMPARE(RunningIds(window), "1,2,");
    QVERIFY(window.isVisible());
    QCOMPARE(m_log->CountLines("has been Closed"), 0);
    QCOMPARE(ConfigurationFile(*m_store), before);

    m_prompter.Answers = {true};
    window.TrayMenu()->actions()[1]->trigger();
    QVERIFY(!window.isVisible());
    QCOMPARE(RunningIds(window), "");
    QCOMPARE(m_log->CountLines(" ORMA UDP Broadcast Server has been Closed"), 1);
    QCOMPARE(ScopedSettingsStore::Read(kConfigurationKey, "Auto Start"), "1,2,");
    QCOMPARE(ScopedSettingsStore::Read(kConfigurationKey, "Record Count"), "3");
    QCOMPARE(ScopedSettingsStore::Read(kSegmentKey, "0"), "0,QA,,,,0,");
}

void TrayExitTest::sigtermExitsUnaskedAfterSavingWhatRan()
{
    m_network = EnterTestNetwork();
    if (!m_network)
        QSKIP("no test network");
    const auto leave = qScopeGuard([this] { m_network->LeaveRelay(); m_window.reset(); m_network.reset(); });
    StoreThreeConfigurations("1,3,");
    CShutdownSignals shutdownSignals;
    QVERIFY(shutdownSignals.IsInstalled());
    OpenWindow();
    CKOVDlg& window = *m_window;
    connect(&shutdownSignals, &CShutdownSignals::Received, &window, &CKOVDlg::OnShutdownSignal);
    shutdownSignals.Watch();
    QTRY_COMPARE(RunningIds(window), "1,3,");
    const CKOVBCastEngine* first = window.GetEngineForRow(0);
    const CKOVBCastEngine* third = window.GetEngineForRow(2);

    QCOMPARE(kill(getpid(), SIGTERM), 0);
    window.RunModal();
    QVERIFY(m_prompter.Messages.empty());
    QCOMPARE(m_log->CountLines(" ORMA UDP Broadcast Server has been Closed"), 1);
    QCOMPARE(ScopedSettingsStore::Read(kConfigurationKey, "Auto Start"), "1,3,");
    // Stopped means the relay threads have ended: Stop waits for them.
    QVERIFY(!first->IsRunning() && !third->IsRunning());
    QCOMPARE(QString::fromStdString(third->GetStatus()), "Stopped");
    // A second signal, and the exit button, find the window ended.
    QCOMPARE(kill(getpid(), SIGINT), 0);
    QTest::qWait(50);
    window.OnExit();
    QCOMPARE(m_log->CountLines("has been Closed"), 1);
    QVERIFY(m_prompter.Messages.empty());
}

void TrayExitTest::sigtermClosesAnOpenQuestion()
{
    // Real message boxes, which run loops of their own.
    CMessageBoxPrompter boxes;
    CShutdownSignals shutdownSignals;
    CKOVDlg window(boxes);
    connect(&shutdownSignals, &CShutdownSignals::Received, &window, &CKOVDlg::OnShutdownSignal);
    shutdownSignals.Watch();
    bool questionShown = false;
    OnNextModal([&questionShown](QWidget& modal) {
        questionShown = qobject_cast<QMessageBox*>(&modal) != nullptr;
        QCOMPARE(kill(getpid(), SIGTERM), 0);
        // The box must close through the signal, not through this helper.
        QTRY_VERIFY(!modal.isVisible());
    });
    QTimer::singleShot(0, &ButtonOf(window, IDC_BUTTON_EXIT), &QPushButton::click);
    window.RunModal();
    QVERIFY(questionShown);
    QCOMPARE(m_log->CountLines(" ORMA UDP Broadcast Server has been Closed"), 1);
    QCOMPARE(ScopedSettingsStore::Read(kConfigurationKey, "Auto Start"), "");
}

void TrayExitTest::statusLineShowsTheSystemsDrops()
{
    m_network = EnterTestNetwork();
    if (!m_network)
        QSKIP("no test network");
    const auto leave = qScopeGuard([this] { m_network->LeaveRelay(); m_window.reset(); m_network.reset(); });
    StoreThreeConfigurations("2,");
    // Built without running the event loop: the relay, once its sockets are
    // open, waits for the window to hear that it connected, and reads nothing.
    m_window = std::make_unique<CKOVDlg>(m_prompter);
    CKOVDlg& window = *m_window;
    auto* status = static_cast<QLabel*>(window.GetDlgItem(IDC_STATIC_STATUS));
    QVERIFY(WaitFor([this] { return m_log->CountLines("Config ID 2 has been Started successfully.") == 1; }));

    const int feed = m_network->OpenFeedSocket();
    QVERIFY(feed >= 0);
    const auto closeFeed = qScopeGuard([feed] { close(feed); });
    constexpr int kFlood = 10000;  // far more than the 1 MiB receive buffer holds
    const std::vector<uint8_t> datagram(256, 0x42);
    for (int i = 0; i < kFlood; ++i)
        QVERIFY(SendDatagram(feed, "239.1.8.2", 10802, datagram));
    QTRY_COMPARE(RunningIds(window), "2,");
    const CKOVBCastEngine& engine = *window.GetEngineForRow(1);
    // The kernel reports a drop with the next datagram it queues.
    // Room for one more: it carries the report of the drops before it.
    QTRY_VERIFY(engine.GetReceivedCount() > 0);
    QTest::qWait(100);
    QVERIFY(SendDatagram(feed, "239.1.8.2", 10802, datagram));
    QTRY_VERIFY(engine.GetDroppedCount() > 0);

    window.OnTimer(REFRESH_TIMER_ID);
    QCOMPARE(status->text(),
             QString("Datagrams dropped by the system (receive buffer full): %1").arg(engine.GetDroppedCount()));
    window.StopAllBroadcasts();
    window.OnTimer(REFRESH_TIMER_ID);
    QCOMPARE(status->text(), "");
}

QTEST_MAIN(TrayExitTest)
#include "TrayExitTest.moc"
