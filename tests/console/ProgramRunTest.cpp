// The real program, run as a separate process in the test network's relay
// namespace: restarted after SIGTERM, and driven by an operator's keys in a
// real X server (Xvfb, xdotool, xclip). Checked through the window's list
// (copied with Ctrl+C), the event log, the settings store and the traffic
// that reaches a sink.
#include "config/PersistedSettings.h"
#include "log/EventLog.h"
#include "tests/console/ConsoleTestSupport.h"
#include "tests/support/TestNetwork.h"

#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

#include <unistd.h>

namespace {

constexpr int kStartTimeoutMs = 15000;

// One relayed configuration: fed on 239.1.7.<n>:10700+n, sent to 239.2.7.<n>:20700+n.
std::string Row(int n, const char* segment)
{
    return FormatText("%d,%s,239.1.7.%d,%d,UDP,MULTICAST,239.2.7.%d,%d,UDP,MULTICAST,Y,N,", n, segment, n, 10700 + n,
                      n, 20700 + n);
}

// Feeds `count` datagrams to group n (its sockets are open) and gives how
// many relayed datagrams reached the sink within five seconds.
int RelayThrough(TestNetwork& network, int n, int count)
{
    const int feed = network.OpenFeedSocket();
    const int sink = network.OpenSinkSocket(FormatText("239.2.7.%d", n), static_cast<uint16_t>(20700 + n));
    std::vector<uint8_t> datagram(100, static_cast<uint8_t>(n));
    for (int i = 0; i < count && feed >= 0; ++i)
        SendDatagram(feed, FormatText("239.1.7.%d", n), static_cast<uint16_t>(10700 + n), datagram);
    int seen = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (sink >= 0 && seen < count && std::chrono::steady_clock::now() < end)
        seen += ReceiveDatagram(sink, datagram, std::chrono::milliseconds(200)) == 512;
    close(feed);
    close(sink);
    return seen;
}

}  // namespace

class ProgramRunTest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void restartAfterSigtermStartsWhatRan();
    void operatorRunUnderXvfb();

private:
    // Starts the program in the relay namespace on this test's store, log and session.
    void StartProgram(const QString& platform);
    void EndProgram(bool bySignal);
    [[nodiscard]] int LogLines(const QString& part) const;
    // Runs xdotool or xclip on the X server; their output.
    QString X(const QString& program, const QStringList& arguments);
    // The list's chosen row as the window copies it.
    [[nodiscard]] QStringList CopiedRow();

    std::unique_ptr<TestNetwork> m_network;
    std::unique_ptr<ScopedSettingsStore> m_store;
    std::unique_ptr<QTemporaryDir> m_work;  // working folder (event log) and session (instance lock)
    QProcess m_program;
    QProcess m_xserver;
    QString m_display;
};

void ProgramRunTest::init()
{
    std::string why;
    m_network = TestNetwork::Create(why);
    if (!m_network)
        QSKIP(why.c_str());
    m_store = std::make_unique<ScopedSettingsStore>();
    m_work = std::make_unique<QTemporaryDir>();
}

void ProgramRunTest::cleanup()
{
    for (QProcess* process : {&m_program, &m_xserver}) {
        if (process->state() != QProcess::NotRunning) {
            process->kill();
            process->waitForFinished();
        }
    }
    m_work.reset();
    m_store.reset();
    m_network.reset();
}

void ProgramRunTest::StartProgram(const QString& platform)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", platform);
    environment.insert("XDG_CONFIG_HOME", m_store->Directory());
    environment.insert("XDG_RUNTIME_DIR", m_work->path());
    if (!m_display.isEmpty())
        environment.insert("DISPLAY", m_display);
    // Read by sanitizer builds only.
    environment.insert("LSAN_OPTIONS", "suppressions=" ORMA_LSAN_SUPPRESSIONS);
    m_program.setProcessEnvironment(environment);
    m_program.setWorkingDirectory(m_work->path());
    m_program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    EndWithTest(m_program);
    // "ip netns exec" executes the program in its own place: its pid is the program's.
    m_program.start("ip", {"netns", "exec", QString::fromStdString(m_network->RelayNamespace()), ORMA_SERVER_PATH});
    QVERIFY(m_program.waitForStarted());
}

void ProgramRunTest::EndProgram(bool bySignal)
{
    if (bySignal)
        m_program.terminate();
    QVERIFY(m_program.waitForFinished(kStartTimeoutMs));
    QCOMPARE(m_program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_program.exitCode(), 0);
}

int ProgramRunTest::LogLines(const QString& part) const
{
    int count = 0;
    for (const QFileInfo& file : QDir(m_work->path()).entryInfoList({"PLUX_*.TXT"}, QDir::Files)) {
        QFile log(file.filePath());
        if (log.open(QIODevice::ReadOnly))
            count += QString::fromUtf8(log.readAll()).count(part);
    }
    return count;
}

QString ProgramRunTest::X(const QString& program, const QStringList& arguments)
{
    QProcess tool;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("DISPLAY", m_display);
    tool.setProcessEnvironment(environment);
    tool.start(program, arguments);
    if (!tool.waitForFinished(10000)) {
        tool.kill();
        tool.waitForFinished();
    }
    return QString::fromUtf8(tool.readAllStandardOutput()).trimmed();
}

QStringList ProgramRunTest::CopiedRow()
{
    X("xdotool", {"key", "ctrl+c"});
    return X("xclip", {"-o", "-selection", "clipboard"}).split('\t');
}

void ProgramRunTest::restartAfterSigtermStartsWhatRan()
{
    ScopedSettingsStore::StoreConfigurations({Row(1, "QA"), Row(2, "QB"), Row(3, "QC")}, "1,3,");
    for (int run = 1; run <= 2; ++run) {
        StartProgram("offscreen");
        QTRY_COMPARE_WITH_TIMEOUT(LogLines(" Config ID 3 has been Started successfully."), run, kStartTimeoutMs);
        QCOMPARE(RelayThrough(*m_network, 3, 3), 3);
        QCOMPARE(RelayThrough(*m_network, 1, 1), 1);
        EndProgram(true);
        QCOMPARE(LogLines(" ORMA UDP Broadcast Server has been Closed"), run);
        QCOMPARE(ScopedSettingsStore::Read(kConfigurationKey, "Auto Start"), "1,3,");
    }
    QCOMPARE(LogLines(" Config ID 1 has been Started successfully."), 2);
    QCOMPARE(LogLines("Config ID 2 has been Started"), 0);
}

void ProgramRunTest::operatorRunUnderXvfb()
{
    for (const char* tool : {"Xvfb", "xdotool", "xclip"}) {
        if (QStandardPaths::findExecutable(tool).isEmpty())
            QSKIP(qPrintable(QString("%1 is not installed").arg(tool)));
    }
    // The server picks a free display and says which once it accepts clients.
    EndWithTest(m_xserver);
    m_xserver.start("Xvfb", {"-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"});
    QVERIFY(m_xserver.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(m_xserver.canReadLine(), 10000);
    m_display = ":" + QString::fromUtf8(m_xserver.readLine()).trimmed();
    const QString mainTitle = "ORMA UDP Broadcast Server v4.02.00";
    const auto key = [this](const QStringList& keys) { X("xdotool", QStringList{"key", "--delay", "50"} + keys); };
    const auto type = [this](const QString& text) { X("xdotool", {"type", "--delay", "30", text}); };
    const auto focusWindow = [this](const QString& title) {
        // "search --sync" waits for ever; X() ends it after ten seconds.
        const QString window =
            X("xdotool", {"search", "--sync", "--onlyvisible", "--name", "^" + title + "$"}).section('\n', 0, 0);
        QVERIFY2(!window.isEmpty(), qPrintable(title));
        X("xdotool", {"windowfocus", "--sync", window});
    };
    const auto exitConfirmed = [&] {
        key({"alt+e"});
        focusWindow("ORMA UDP Broadcast Server");  // the question
        key({"y"});
        EndProgram(false);
    };

    // First run: add a configuration with the keyboard, the way the form's tab order goes.
    StartProgram("xcb");
    focusWindow(mainTitle);
    key({"alt+a"});
    // A mnemonic clicks its button 100 ms later; keys before that go elsewhere.
    QTest::qWait(1000);
    type("239.1.7.1");
    key({"Tab"});
    type("10701");
    key({"Tab", "Down", "Tab", "Tab"});  // segment QA, New MKT Data left at "N"
    type("239.2.7.1");
    key({"Tab"});
    type("20701");
    key({"Tab"});
    type(TestNetwork::kHostSideIp);
    key({"Tab"});
    type(TestNetwork::kZentaSideIp);
    key({"alt+s"});
    QTRY_COMPARE_WITH_TIMEOUT(ScopedSettingsStore::Read(kConfigurationKey, "0"), Row(1, "QA"), 5000);
    QCOMPARE(LogLines(" Config ID 1 is Added. Recvr IP: 239.1.7.1, Recvr PORT: 10701, Sender IP: 239.2.7.1, "
                      "Sender PORT: 20701, Segment: QA, NMKT: N"),
             1);
    exitConfirmed();
    QCOMPARE(ScopedSettingsStore::Read(kConfigurationKey, "Auto Start"), "");

    // Second run: choose the row, start it, watch its counters rise in the list, exit.
    StartProgram("xcb");
    focusWindow(mainTitle);
    key({"space", "alt+s"});
    QTRY_COMPARE_WITH_TIMEOUT(LogLines(" Config ID 1 has been Started successfully."), 1, kStartTimeoutMs);
    QCOMPARE(RelayThrough(*m_network, 1, 5), 5);
    const QStringList relaying{"1", "QA", "239.1.7.1", "10701", "239.2.7.1", "20701", "5", "5", "Running"};
    QTRY_COMPARE_WITH_TIMEOUT(CopiedRow(), relaying, 10000);
    exitConfirmed();
    QCOMPARE(ScopedSettingsStore::Read(kConfigurationKey, "Auto Start"), "1,");

    // Third run: it relays again without being asked; SIGTERM ends it the same orderly way.
    StartProgram("xcb");
    focusWindow(mainTitle);
    QTRY_COMPARE_WITH_TIMEOUT(LogLines(" Config ID 1 has been Started successfully."), 2, kStartTimeoutMs);
    QCOMPARE(RelayThrough(*m_network, 1, 2), 2);
    key({"space"});
    QTRY_COMPARE_WITH_TIMEOUT(CopiedRow().value(8), "Running", 10000);
    EndProgram(true);
    QCOMPARE(ScopedSettingsStore::Read(kConfigurationKey, "Auto Start"), "1,");
    QCOMPARE(LogLines(" ORMA UDP Broadcast Server has been Closed"), 3);

    m_xserver.terminate();
    QVERIFY(m_xserver.waitForFinished(5000));
}

QTEST_MAIN(ProgramRunTest)
#include "ProgramRunTest.moc"
