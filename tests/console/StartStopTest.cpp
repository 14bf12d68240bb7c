// Starting and stopping broadcasts from the window, the caption that follows
// them, the refresh of their counters, status and dropped datagrams, and the
// auto start.
#include "console/ListTexts.h"
#include "tests/console/ConsoleTestSupport.h"

#include <QLabel>

#include <sched.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr int kColumnReceived = 6;
constexpr int kColumnSent = 7;
constexpr int kColumnStatus = 8;
const QString kReceiveFailure = "Can't initialize receiving socket....";

QStringList Shown(const std::vector<std::string>& messages)
{
    QStringList shown;
    for (const std::string& message : messages) shown << QString::fromStdString(message);
    return shown;
}

}  // namespace

class StartStopTest : public QObject, WindowFixture {
    Q_OBJECT
private slots:
    void init() { Open(); }
    void cleanup() { Close(); }

    void startShowsStopOnceConnectedStopLogsOnceAndDropsShow()
    {
        std::string why;
        std::unique_ptr<TestNetwork> network = TestNetwork::Create(why);
        if (!network)
            QSKIP(why.c_str());
        network->EnterRelay();
        for (const auto& [id, segment] : {std::pair{1, "QA"}, {2, "QB"}})
            m_window->AddBroadcastFromLine(Row(id, segment, id, 20000 + id), TestNetwork::kHostSideIp,
                                           TestNetwork::kZentaSideIp);
        const int sink = network->OpenSinkSocket("239.2.1.2", 20002);
        QVERIFY(sink >= 0);

        ClickRow(*m_window, 1);
        Click(IDC_BUTTON_START);
        // The connected report comes through the event loop, not before.
        QCOMPARE(Button(IDC_BUTTON_START).text(), "&Start");
        QTRY_COMPARE(Button(IDC_BUTTON_START).text(), "&Stop");
        QVERIFY(!Button(IDC_BUTTON_MODIFY).isEnabled() && !Button(IDC_BUTTON_DELETE).isEnabled());
        QCOMPARE(m_store->CountLogLines("Config ID 2 has been Started successfully."), 1);

        std::vector<uint8_t> datagram(512, 0x11);
        QVERIFY(network->Feed("239.1.1.2", 10002, datagram));
        QCOMPARE(ReceiveDatagram(sink, datagram, std::chrono::seconds(2)), 512);
        // The relay counts a datagram once its send returned, which may be after the sink saw it.
        QTRY_COMPARE(m_window->GetEngineForRow(1)->GetSentCount(), 1u);
        m_window->OnTimer(REFRESH_TIMER_ID);
        QCOMPARE((QStringList{Cell(1, kColumnReceived), Cell(1, kColumnSent), Cell(1, kColumnStatus)}),
                 (QStringList{"1", "1", "Running"}));
        QCOMPARE(Cell(0, kColumnStatus), "Not Running");

        // Stopping is synchronous: the caption and the row buttons follow at once.
        Click(IDC_BUTTON_START);
        QCOMPARE(Button(IDC_BUTTON_START).text(), "&Start");
        QVERIFY(Button(IDC_BUTTON_MODIFY).isEnabled() && Button(IDC_BUTTON_DELETE).isEnabled());
        QCOMPARE(m_store->CountLogLines("has been Stopped successfully."), 1);
        QCOMPARE(m_store->CountLogLines(" Config ID 2 has been Stopped successfully."), 1);
        m_window->OnTimer(REFRESH_TIMER_ID);
        QCOMPARE(Cell(1, kColumnStatus), "Stopped");

        QVERIFY(network->Feed("239.1.1.2", 10002, datagram));
        QCOMPARE(ReceiveDatagram(sink, datagram, std::chrono::milliseconds(300)), -1);

        // Started with no event loop running, the other broadcast's relay waits
        // for the window to hear that it connected, and reads nothing: the feed
        // sends far more than its 1 MiB receive buffer holds.
        m_window->AutoStartBroadcasts("1,");
        QVERIFY(WaitFor([this] { return m_store->CountLogLines("Config ID 1 has been Started successfully.") == 1; }));
        for (int i = 0; i < 10000; ++i) QVERIFY(network->Feed("239.1.1.1", 10001, datagram));
        const CKOVBCastEngine& engine = *m_window->GetEngineForRow(0);
        // The kernel's count, whether or not a datagram came after the drops.
        QTRY_VERIFY(engine.GetDroppedCount() > 0);
        auto* status = static_cast<QLabel*>(m_window->GetDlgItem(IDC_STATIC_STATUS));
        m_window->OnTimer(REFRESH_TIMER_ID);
        QCOMPARE(status->text(),
                 QString("Datagrams dropped by the system (receive buffer full): %1").arg(engine.GetDroppedCount()));
        m_window->StopAllBroadcasts();
        m_window->OnTimer(REFRESH_TIMER_ID);
        QCOMPARE(status->text(), "");
        QVERIFY(m_prompter.Messages.empty());
        network->LeaveRelay();
    }

    void buttonRefusesWhatItCannotStartAndShowsAReceiveFailureAtTheRefresh()
    {
        m_window->OnStartButton();
        AddFailingBroadcast(1);
        AddFailingBroadcast(2, false);
        m_window->OnStartButton();
        ClickRow(*m_window, 1);
        Click(IDC_BUTTON_START);
        QCOMPARE(Shown(m_prompter.Messages),
                 (QStringList{"No records.", "Select Any Record", "Receiver Port Can not be zero."}));
        m_prompter.Messages.clear();

        ClickRow(*m_window, 0);
        // The relay thread waits for its message to be seen, so the first
        // start is still pending when the second click comes: it is ignored.
        Click(IDC_BUTTON_START);
        Click(IDC_BUTTON_START);
        QTRY_COMPARE(Shown(m_prompter.Messages), QStringList{kReceiveFailure});
        QCOMPARE(Button(IDC_BUTTON_START).text(), "&Start");
        // The one-second timer shows the engine's error.
        QTRY_COMPARE_WITH_TIMEOUT(Cell(0, kColumnStatus), "Receive Connect Error", 3000);
        // The column cuts it; its tool tip has it whole, with the reason in words (loopback is no group).
        QCOMPARE(List().item(0, kColumnStatus)->toolTip().toStdString(),
                 ListCellToolTip("Receive Connect Error", std::strerror(EINVAL)));
        QCOMPARE(m_prompter.Messages.size(), size_t{1});
        QTRY_COMPARE(m_store->CountLogLines("Config ID 1 Error in Receive Socket."), 1);
        QVERIFY(!m_window->GetEngineForRow(0)->IsRunning());
        QVERIFY(Button(IDC_BUTTON_MODIFY).isEnabled());
    }

    void autoStartTakesCommaEndedIds()
    {
        for (const int id : {1, 2, 3, 4}) AddFailingBroadcast(id, id != 4);
        // 4 fails its check, 9 and 0 name no configuration, 2 is named twice, 3 has no comma.
        m_window->AutoStartBroadcasts("4,9,,2,1,2,3");
        // Every started engine reports its failure; give a wrong extra one time to show up.
        QTRY_COMPARE(m_prompter.Messages.size(), size_t{3});
        QTest::qWait(200);
        QCOMPARE(Shown(m_prompter.Messages),
                 (QStringList{"Receiver Port Can not be zero.", kReceiveFailure, kReceiveFailure}));
        m_window->OnTimer(REFRESH_TIMER_ID);
        const QString failed = "Receive Connect Error", idle = "Not Running";
        for (int row = 0; row < 4; ++row)
            QCOMPARE(Cell(row, kColumnStatus), (QStringList{failed, failed, idle, idle}[row]));
        QCOMPARE(Button(IDC_BUTTON_START).text(), "&Start");
        QVERIFY(!Button(IDC_BUTTON_START).isEnabled());
    }

    void startRefusesLoopsAndTakesTheStoredPollingCpus()
    {
        cpu_set_t usable;
        QCOMPARE(sched_getaffinity(0, sizeof usable, &usable), 0);
        int cpu = 0;
        while (!CPU_ISSET(cpu, &usable)) ++cpu;
        m_window.reset();
        QVERIFY(TempSettingsStore::Store(kConfigurationKey, {{"Polling", "Y"}, {"Polling CPUs", std::to_string(cpu)}}));
        OpenWindow();
        QVERIFY(m_prompter.Messages.empty());

        // Its output would come back to it (same group, port and interface): never started.
        QVERIFY(m_window->AddBroadcastFromLine("7,QA,239.7.7.7,7000,UDP,MULTICAST,239.7.7.7,7000,UDP,MULTICAST,N,N,",
                                               "198.18.0.2", "198.18.0.2"));
        AddFailingBroadcast(1);
        AddFailingBroadcast(2);
        m_window->StartEngine(*m_window->GetEngineForRow(0));
        // 1 holds the one CPU while its relay thread waits for its message; 2 finds none left.
        m_window->StartEngine(*m_window->GetEngineForRow(1));
        m_window->StartEngine(*m_window->GetEngineForRow(2));
        QCOMPARE(Shown(m_prompter.Messages),
                 (QStringList{"Config ID 7 would relay its own output back to itself (7 > 7), so it is not started.",
                              "No CPU is left for Config ID 2 to poll on: every CPU of the \"Polling CPUs\" list "
                              "is taken by another relay, so it is not started."}));
        QCOMPARE(m_store->CountLogLines("so it is not started."), 2);
        const CKOVBCastEngine::RELAY_OPTIONS& polling = m_window->GetEngineForRow(1)->GetRelayOptions();
        QVERIFY(polling.Polling && polling.PollingCpu == cpu);
        QVERIFY(!m_window->GetEngineForRow(0)->HasRelayThread() && !m_window->GetEngineForRow(2)->HasRelayThread());
        QTRY_COMPARE(m_prompter.Messages.size(), size_t{3});  // 1's failure, once delivered

        // A list naming a CPU that does not exist is refused at start-up: no polling then.
        m_window.reset();
        m_prompter.Messages.clear();
        QVERIFY(TempSettingsStore::Store(kConfigurationKey, {{"Polling CPUs", "4096"}}));
        OpenWindow();
        QCOMPARE(m_prompter.Messages.size(), size_t{1});
        QVERIFY(m_prompter.Messages[0].starts_with(
            "The relays do not poll: \"Polling CPUs\" cannot be used: CPU 4096 does not exist here"));
    }

    void failedSendsAreCountedInTheCellOnlyWhileTheyFail()
    {
        using State = CKOVBCastEngine::RELAY_STATE;
        const struct {
            State Is;
            uint64_t Failed;
            const char* Reason;
            const char* Text;
            const char* ToolTip;
        } cases[] = {
            {State::SendFailing, 227, "No buffer space available", "Send Failing, 227 failed sends",
             "Send Failing, 227 failed sends: No buffer space available"},
            {State::SendFailing, 5000000000, "", "Send Failing, 5000000000 failed sends",
             "Send Failing, 5000000000 failed sends"},
            // Recovered or stopped: the cell reads as for any relay, the tool tip keeps the count.
            {State::Running, 227, "", "Running", "Running (227 failed sends since it started)"},
            {State::Stopped, 1, "", "Stopped", "Stopped (1 failed send since it started)"},
            {State::Running, 0, "", "Running", "Running"},
            {State::ReceiveConnectError, 0, "Invalid argument", "Receive Connect Error",
             "Receive Connect Error: Invalid argument"},
        };
        for (const auto& c : cases) {
            QCOMPARE(StatusCellText(c.Is, c.Failed), c.Text);
            QCOMPARE(StatusCellToolTip(c.Is, c.Failed, c.Reason), c.ToolTip);
        }
    }

    void theEventLogsTroubleShowsInTheStatusLine()
    {
        auto* status = static_cast<QLabel*>(m_window->GetDlgItem(IDC_STATIC_STATUS));
        g_pEventLog->SetLogDirectory(m_store->Path() + "/missing");
        LogEvent("lost");
        QTRY_VERIFY(status->text().contains("cannot be written: No such file or directory"));
        g_pEventLog->SetLogDirectory(m_store->Path());
        LogEvent("written");
        QTRY_COMPARE(status->text(), "");
    }

private:
    // Loopback is no multicast group, so joining it fails before anything is
    // sent. An invalid one has receive port 0, which no check lets start.
    void AddFailingBroadcast(int id, bool valid = true)
    {
        QVERIFY(m_window->AddBroadcastFromLine(
            FormatText("%d,QA,127.0.0.1,%d,UDP,MULTICAST,239.2.2.2,%d,UDP,MULTICAST,N,N,", id, valid ? 10000 + id : 0,
                       20000 + id),
            "127.0.0.1", "127.0.0.1"));
    }
};

QTEST_MAIN(StartStopTest)
#include "StartStopTest.moc"
