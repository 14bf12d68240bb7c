// Starting and stopping broadcasts from the window, the caption that follows
// them, the refresh of their counters and status, and the auto start.
#include "console/ControlIds.h"
#include "engine/BroadcastEngine.h"
#include "tests/console/ConsoleTestSupport.h"
#include "tests/support/TestNetwork.h"

#include <QPushButton>
#include <QTableWidget>
#include <QTest>

#include <unistd.h>

namespace {

constexpr int kColumnReceived = 6;
constexpr int kColumnSent = 7;
constexpr int kColumnStatus = 8;
const std::string kReceiveFailure = "Can't initialize receiving socket....";

// Loopback is no multicast group, so joining it fails before anything is
// sent. An invalid one has receive port 0, which no check lets start.
void AddFailingBroadcast(CKOVDlg& window, int id, bool valid = true)
{
    QVERIFY(window.AddBroadcastFromLine(
        ConfigurationLine(id, "QA", "127.0.0.1", valid ? 10000 + id : 0, "239.2.2.2", 20000 + id), "127.0.0.1",
        "127.0.0.1"));
}

QString Caption(CKOVDlg& window)
{
    return ButtonOf(window, IDC_BUTTON_START).text();
}

void ClickStart(CKOVDlg& window)
{
    QTest::mouseClick(&ButtonOf(window, IDC_BUTTON_START), Qt::LeftButton);
}

}  // namespace

class StartStopTest : public QObject, WindowFixture {
    Q_OBJECT
private slots:
    void init() { Open(); }
    void cleanup() { Close(); }
    void startShowsStopOnceConnectedAndStopLogsOnce();
    void receiveFailureKeepsStartAndShowsTheErrorAtTheRefresh();
    void buttonRefusesWhatItCannotStart();
    void autoStartTakesCommaEndedIds_data();
    void autoStartTakesCommaEndedIds();
};

void StartStopTest::startShowsStopOnceConnectedAndStopLogsOnce()
{
    std::string why;
    std::unique_ptr<TestNetwork> network = TestNetwork::Create(why);
    if (!network)
        QSKIP(why.c_str());
    network->EnterRelay();
    const auto leave = qScopeGuard([&] { network->LeaveRelay(); });

    CKOVDlg& window = *m_window;
    window.AddBroadcastFromLine(ConfigurationLine(1, "QA", "239.1.3.1", 10301, "239.2.3.1", 20301),
                                TestNetwork::kHostSideIp, TestNetwork::kZentaSideIp);
    window.AddBroadcastFromLine(ConfigurationLine(2, "QB", "239.1.3.2", 10302, "239.2.3.2", 20302),
                                TestNetwork::kHostSideIp, TestNetwork::kZentaSideIp);
    const int sink = network->OpenSinkSocket("239.2.3.2", 20302);
    QVERIFY(sink >= 0);
    const auto closeSink = qScopeGuard([sink] { close(sink); });

    ClickRow(window, 1);
    ClickStart(window);
    // The connected report comes through the event loop, not before.
    QCOMPARE(Caption(window), "&Start");
    QTRY_COMPARE(Caption(window), "&Stop");
    QVERIFY(!ButtonOf(window, IDC_BUTTON_MODIFY).isEnabled());
    QVERIFY(!ButtonOf(window, IDC_BUTTON_DELETE).isEnabled());
    QCOMPARE(m_log->CountLines("Config ID 2 has been Started successfully."), 1);

    const int feed = network->OpenFeedSocket();
    QVERIFY(feed >= 0);
    const auto closeFeed = qScopeGuard([feed] { close(feed); });
    std::vector<uint8_t> datagram(100, 0x11);
    for (int i = 0; i < 3; ++i) {
        QVERIFY(SendDatagram(feed, "239.1.3.2", 10302, datagram));
        QCOMPARE(ReceiveDatagram(sink, datagram, std::chrono::seconds(2)), 512);
    }
    // The relay counts a datagram once its send returned, which may be after the sink saw it.
    QTRY_COMPARE(window.GetEngineForRow(1)->GetSentCount(), 3u);
    window.OnTimer(REFRESH_TIMER_ID);
    QCOMPARE(ItemText(window, 1, kColumnReceived), "3");
    QCOMPARE(ItemText(window, 1, kColumnSent), "3");
    QCOMPARE(ItemText(window, 1, kColumnStatus), "Running");
    QCOMPARE(ItemText(window, 0, kColumnStatus), "Not Running");

    // Stopping is synchronous: the caption and the row buttons follow at once.
    ClickStart(window);
    QCOMPARE(Caption(window), "&Start");
    QVERIFY(ButtonOf(window, IDC_BUTTON_MODIFY).isEnabled());
    QVERIFY(ButtonOf(window, IDC_BUTTON_DELETE).isEnabled());
    QCOMPARE(m_log->CountLines("has been Stopped successfully."), 1);
    QCOMPARE(m_log->CountLines(" Config ID 2 has been Stopped successfully."), 1);
    window.OnTimer(REFRESH_TIMER_ID);
    QCOMPARE(ItemText(window, 1, kColumnStatus), "Stopped");

    QVERIFY(SendDatagram(feed, "239.1.3.2", 10302, datagram));
    QCOMPARE(ReceiveDatagram(sink, datagram, std::chrono::milliseconds(300)), -1);
    QVERIFY(m_prompter.Messages.empty());
}

void StartStopTest::receiveFailureKeepsStartAndShowsTheErrorAtTheRefresh()
{
    CKOVDlg& window = *m_window;
    AddFailingBroadcast(window, 1);

    ClickRow(window, 0);
    // The relay thread waits for its message to be seen, so the first
    // start is still pending when the second click comes: it is ignored.
    ClickStart(window);
    ClickStart(window);
    QTRY_COMPARE(m_prompter.Messages, std::vector<std::string>{kReceiveFailure});
    QCOMPARE(Caption(window), "&Start");
    // The one-second timer shows the engine's error.
    QTRY_COMPARE_WITH_TIMEOUT(ItemText(window, 0, kColumnStatus), "Receive Connect Error", 3000);
    QCOMPARE(m_prompter.Messages.size(), size_t{1});
    QTRY_COMPARE(m_log->CountLines("Config ID 1 Error in Receive Socket."), 1);
    QVERIFY(!window.GetEngineForRow(0)->IsRunning());
    QVERIFY(ButtonOf(window, IDC_BUTTON_MODIFY).isEnabled());
}

void StartStopTest::buttonRefusesWhatItCannotStart()
{
    CKOVDlg& window = *m_window;
    window.OnStartButton();
    AddFailingBroadcast(window, 1, false);
    window.OnStartButton();
    ClickRow(window, 0);
    ClickStart(window);
    QCOMPARE(m_prompter.Messages,
             (std::vector<std::string>{"No records.", "Select Any Record", "Receiver Port Can not be zero."}));
    // A start would report its failure on a later pass of the event loop.
    QTest::qWait(200);
    QCOMPARE(m_prompter.Messages.size(), size_t{3});
    window.OnTimer(REFRESH_TIMER_ID);
    QCOMPARE(ItemText(window, 0, kColumnStatus), "Not Running");
}

void StartStopTest::autoStartTakesCommaEndedIds_data()
{
    QTest::addColumn<QString>("list");
    QTest::addColumn<QStringList>("statuses");
    QTest::addColumn<QStringList>("messages");
    const QString failed = "Receive Connect Error";
    const QString idle = "Not Running";
    const QString failure = QString::fromStdString(kReceiveFailure);
    QTest::newRow("last id without a comma") << "1,3" << QStringList{failed, idle, idle, idle} << QStringList{failure};
    QTest::newRow("every id with a comma")
        << "1,3," << QStringList{failed, idle, failed, idle} << QStringList{failure, failure};
    QTest::newRow("empty") << "" << QStringList{idle, idle, idle, idle} << QStringList{};
    // 4 fails its check, 9 and 0 name no configuration, 2 is named twice.
    QTest::newRow("unusable ids") << "4,9,,2,2," << QStringList{idle, failed, idle, idle}
                                  << QStringList{"Receiver Port Can not be zero.", failure};
}

void StartStopTest::autoStartTakesCommaEndedIds()
{
    QFETCH(QString, list);
    QFETCH(QStringList, statuses);
    QFETCH(QStringList, messages);
    CKOVDlg& window = *m_window;
    for (const int id : {1, 2, 3})
        AddFailingBroadcast(window, id);
    AddFailingBroadcast(window, 4, false);

    window.AutoStartBroadcasts(list.toStdString());
    // Every started engine reports its failure; give a wrong extra one time to show up.
    QTRY_COMPARE(m_prompter.Messages.size(), size_t(messages.size()));
    QTest::qWait(200);
    QStringList shown;
    for (const std::string& message : m_prompter.Messages)
        shown << QString::fromStdString(message);
    QCOMPARE(shown, messages);
    window.OnTimer(REFRESH_TIMER_ID);
    for (int row = 0; row < 4; ++row)
        QCOMPARE(ItemText(window, row, kColumnStatus), statuses[row]);
    QCOMPARE(Caption(window), "&Start");
    QVERIFY(!ButtonOf(window, IDC_BUTTON_START).isEnabled());
}

QTEST_MAIN(StartStopTest)
#include "StartStopTest.moc"
