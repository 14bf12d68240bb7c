// The real program, run as a separate process: one instance per settings store,
// and, in the test network's relay namespace, driven by an operator's keys
// in a real X server (Xvfb, xdotool, xclip) for two runs on one store,
// the last ended by SIGTERM. Checked through the window's list (copied with
// Ctrl+C), the event log, the settings store and the traffic that reaches a sink.
// Then minimised and restored under a window manager and a tray host (openbox,
// trayer), by the tray, a second start and the tray's end, checked through
// the window's map state and its pixels (xwd).
#include "console/KOVApp.h"
#include "console/LimitSingleInstance.h"
#include "tests/console/ConsoleTestSupport.h"
#include "tests/support/ChildProcess.h"

#include <QApplication>
#include <QRegularExpression>
#include <QStandardPaths>

#include <sys/stat.h>

#include <csignal>
#include <set>

namespace {

using namespace std::chrono_literals;
constexpr int kStartTimeoutMs = 15000;

// Feeds `count` datagrams to the group of Row(n, ...) (its sockets are open)
// and gives how many relayed datagrams reached the sink within five seconds.
int RelayThrough(TestNetwork& network, int n, int count)
{
    const int sink = network.OpenSinkSocket(FormatText("239.2.1.%d", n), static_cast<uint16_t>(20000 + n));
    std::vector<uint8_t> datagram(100, static_cast<uint8_t>(n));
    for (int i = 0; i < count; ++i)
        network.Feed(FormatText("239.1.1.%d", n), static_cast<uint16_t>(10000 + n), datagram);
    int seen = 0;
    WaitFor([&] { return (seen += ReceiveDatagram(sink, datagram, 200ms) == 512) == count; });
    return seen;
}

// Whether a window dump (xwd's) shows more than one colour: a window that
// is mapped but never drawn is one flat colour, black on Xvfb. The dump's
// second half is pixels only, where one colour makes at most two byte values.
bool ShowsMoreThanOneColour(const std::string& dump)
{
    return std::set<char>(dump.begin() + static_cast<long>(dump.size() / 2), dump.end()).size() > 2;
}

}  // namespace

class ProgramRunTest : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        std::string why;
        m_network = TestNetwork::Create(why);  // null where namespaces cannot be made
        m_store = std::make_unique<TempSettingsStore>();
    }
    void cleanup()
    {
        m_program.reset();
        m_trayHost.reset();
        m_windowManager.reset();
        m_xserver.reset();
        m_store.reset();
        m_network.reset();
    }

    void secondInstanceIsRefusedUntilTheFirstDies()
    {
        // One store is one instance's, whatever the session: the program has none, this test one.
        StartProgram("offscreen", false);
        // The window logs its start after the lock was taken.
        QTRY_COMPARE_WITH_TIMEOUT(Logged("ORMA UDP Broadcast Server has been Started"), 1, kStartTimeoutMs);
        const std::string logged = m_store->LogText();
        qputenv("XDG_RUNTIME_DIR", m_store->Path().c_str());
        QVERIFY(CLimitSingleInstance().IsAnotherInstanceRunning());
        StartSecond();
        QVERIFY(QApplication::topLevelWidgets().isEmpty());
        // Another store is another instance's.
        const QByteArray store = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", (m_store->Path() + "/other").c_str());
        QVERIFY(!CLimitSingleInstance().IsAnotherInstanceRunning());
        qputenv("XDG_CONFIG_HOME", store);
        QCOMPARE(m_program->Wait(0ms), -1);  // still running
        QCOMPARE(m_store->LogText(), logged);

        // Killed, the first instance leaves its lock behind to the system, which frees it.
        m_program->Signal(SIGKILL);
        QCOMPARE(m_program->Wait(5s), 128 + SIGKILL);
        QVERIFY(!CLimitSingleInstance().IsAnotherInstanceRunning());
    }

    void operatorRunUnderXvfb()
    {
        if (!m_network)
            QSKIP("no test network");
        if (!StartXServer({"xdotool", "xclip"}))
            return;
        const auto key = [this](const QStringList& keys) { X(QStringList{"xdotool", "key", "--delay", "50"} + keys); };
        const auto type = [this](const QString& text) { X({"xdotool", "type", "--delay", "30", text}); };
        const auto focusWindow = [this](const QString& title) {
            const QString window = FindWindow(title);
            QVERIFY2(!window.isEmpty(), qPrintable(title));
            X({"xdotool", "windowfocus", "--sync", window});
        };
        const auto exitConfirmed = [&] {
            key({"alt+e"});
            focusWindow("ORMA UDP Broadcast Server");  // the question
            key({"y"});
            EndProgram(false);
        };
        const auto copiedRow = [&] {
            key({"ctrl+c"});
            return X({"xclip", "-o", "-selection", "clipboard"}).split('\t');
        };

        // First run: add a configuration with the keyboard, the way the form's tab order goes.
        QVERIFY(TempSettingsStore::StoreConfigurations({Row(2, "QB", 2, 20002)}, ""));
        StartProgram("xcb");
        focusWindow(kMainTitle);
        key({"alt+a"});
        // A mnemonic clicks its button 100 ms later; keys before that go elsewhere.
        QTest::qWait(1000);
        type("239.1.1.3\t10003\t");
        key({"Down", "Tab", "Tab"});  // segment QA, New MKT Data left at "N"
        type(QString("239.2.1.3\t20003\t%1\t%2").arg(TestNetwork::kHostSideIp, TestNetwork::kZentaSideIp));
        key({"alt+s"});
        QTRY_COMPARE_WITH_TIMEOUT(TempSettingsStore::Read(kConfigurationKey, "1"), Row(3, "QA", 3, 20003), 5000);
        exitConfirmed();
        QCOMPARE(TempSettingsStore::Read(kConfigurationKey, "Auto Start"), "");

        // Second run: choose the first row, start it, watch its counters rise in the list; SIGTERM
        // ends it the orderly way, keeping what ran for the next start.
        StartProgram("xcb");
        focusWindow(kMainTitle);
        key({"space", "alt+s"});
        QTRY_COMPARE_WITH_TIMEOUT(Logged(" Config ID 2 has been Started successfully."), 1, kStartTimeoutMs);
        QCOMPARE(RelayThrough(*m_network, 2, 5), 5);
        const QStringList relaying{"2", "QB", "239.1.1.2", "10002", "239.2.1.2", "20002", "5", "5", "Running"};
        QTRY_COMPARE_WITH_TIMEOUT(copiedRow(), relaying, 10000);
        EndProgram(true);
        QCOMPARE(TempSettingsStore::Read(kConfigurationKey, "Auto Start"), "2,");
        QCOMPARE(Logged(" ORMA UDP Broadcast Server has been Closed"), 2);
    }

    void minimisedUnderAWindowManagerItHidesBehindTheTrayAndComesBackWhole()
    {
        if (!StartXServer({"openbox", "trayer", "xdotool", "xwininfo", "xprop", "xwd"}))
            return;
        // A desktop as an operator's: a window manager, then a tray host.
        StartWindowManager();
        m_trayHost = std::make_unique<ChildProcess>(
            std::vector<std::string>{"env", "DISPLAY=" + m_display, "trayer", "--edge", "top", "--align", "right"},
            m_store->Path());
        QTRY_VERIFY_WITH_TIMEOUT(!X({"xdotool", "search", "--onlyvisible", "--class", "trayer"}).isEmpty(), 10000);
        StartProgram("xcb");
        const QString window = FindWindow(kMainTitle);
        QVERIFY(!window.isEmpty());
        // The program's other shown window is its tray icon, once the tray host has embedded it.
        const auto findTrayIcon = [&] {
            const QString shown = X({"xdotool", "search", "--onlyvisible", "--classname", "orma-broadcast-server"});
            for (const QString& id : shown.split('\n'))
                if (!id.isEmpty() && id != window)
                    return id;
            return QString();
        };
        QString trayIcon;
        QTRY_VERIFY_WITH_TIMEOUT(!(trayIcon = findTrayIcon()).isEmpty(), 10000);
        const auto mapState = [&] {
            return X({"xwininfo", "-id", window}).section("Map State: ", 1).section('\n', 0, 0);
        };
        // Listed by the window manager: mapped, or iconified with a task bar entry.
        const QRegularExpression listed(QString("\\b0x%1\\b").arg(window.toULongLong(), 0, 16));
        const auto managed = [&] { return X({"xprop", "-root", "_NET_CLIENT_LIST"}).contains(listed); };

        for (int round = 0; round < 3; ++round) {
            X({"xdotool", "windowminimize", window});
            // Withdrawn, and it stays so: only the tray icon is left.
            QTRY_VERIFY_WITH_TIMEOUT(mapState() == "IsUnMapped" && !managed(), 5000);
            QTest::qWait(300);
            QVERIFY(mapState() == "IsUnMapped" && !managed());
            // A left click on the tray icon brings it back, drawn.
            X({"xdotool", "mousemove", "--window", trayIcon, "8", "8", "click", "1"});
            QTRY_COMPARE_WITH_TIMEOUT(mapState(), "IsViewable", 5000);
            QTRY_VERIFY_WITH_TIMEOUT(ShowsMoreThanOneColour(WindowImage(window)), 5000);
        }

        // Hidden, it comes back whole when nothing else could bring it back: at a
        // second start, which still says that one runs, and when the tray goes.
        const auto hide = [&] {
            X({"xdotool", "windowminimize", window});
            QTRY_VERIFY_WITH_TIMEOUT(mapState() == "IsUnMapped" && !managed(), 5000);
        };
        const auto comesBack = [&] {
            QTRY_COMPARE_WITH_TIMEOUT(mapState(), "IsViewable", 2000);
            QTRY_VERIFY_WITH_TIMEOUT(ShowsMoreThanOneColour(WindowImage(window)), 2000);
        };
        hide();
        StartSecond();
        comesBack();
        struct stat socket {};
        QCOMPARE(stat((m_store->Path() + "/config/orma-broadcast-server/console.socket").c_str(), &socket), 0);
        QCOMPARE(socket.st_mode & 0777, 0600u);
        hide();
        m_trayHost->Signal(SIGKILL);
        comesBack();
        EndProgram(true);
    }

    void fitsTheScreenAtAScaleOfTwoAndEndsInOrderOnSigusr1()
    {
        if (!StartXServer({"openbox", "xdotool", "xwininfo", "xprop"}, "1280x1024x24"))
            return;
        StartWindowManager();
        StartProgram("xcb", true, {"QT_SCALE_FACTOR=2"});
        const QString window = FindWindow(kMainTitle);
        QVERIFY(!window.isEmpty());
        // The window with the frame the window manager put around it, on the screen.
        const auto number = [](const QString& text, const QString& name) {
            return text.section(name, 1).section('\n', 0, 0).trimmed().toInt();
        };
        QTRY_VERIFY_WITH_TIMEOUT(X({"xprop", "-id", window, "_NET_FRAME_EXTENTS"}).contains("="), 5000);
        const QStringList frame = X({"xprop", "-id", window, "_NET_FRAME_EXTENTS"}).section('=', 1).split(',');
        const QString geometry = X({"xwininfo", "-id", window});
        const int left = number(geometry, "Absolute upper-left X:") - frame[0].toInt();
        const int top = number(geometry, "Absolute upper-left Y:") - frame[2].toInt();
        const int right = left + frame[0].toInt() + number(geometry, "Width:") + frame[1].toInt();
        const int bottom = top + frame[2].toInt() + number(geometry, "Height:") + frame[3].toInt();
        QVERIFY2(left >= 0 && top >= 0 && right <= 1280 && bottom <= 1024,
                 qPrintable(QString("%1,%2 to %3,%4").arg(left).arg(top).arg(right).arg(bottom)));

        // Signals that would end it without a word are ignored or end it in order.
        for (const int number : {SIGPIPE, SIGXFSZ}) m_program->Signal(number);
        QCOMPARE(m_program->Wait(300ms), -1);
        EndProgram(true, SIGUSR1);
        QCOMPARE(Logged(" ORMA UDP Broadcast Server has been Closed"), 1);
    }

private:
    static constexpr const char* kMainTitle = "ORMA UDP Broadcast Server v4.02.00";

    // Starts Xvfb on a display it picks, when it and the tools are installed;
    // false when the test was skipped or failed instead.
    bool StartXServer(const std::vector<const char*>& tools, const char* screen = "1024x768x24")
    {
        std::vector<const char*> needed{"Xvfb"};
        needed.insert(needed.end(), tools.begin(), tools.end());
        for (const char* tool : needed)
            if (QStandardPaths::findExecutable(tool).isEmpty()) {
                QTest::qSkip(qPrintable(QString("%1 is not installed").arg(tool)), __FILE__, __LINE__);
                return false;
            }
        // The server says which display once it accepts clients.
        m_xserver = std::make_unique<ChildProcess>(
            std::vector<std::string>{"Xvfb", "-displayfd", "1", "-screen", "0", screen, "-nolisten", "tcp", "-noreset"},
            m_store->Path());
        if (!QTest::qWaitFor([this] { return m_xserver->Stdout().ends_with('\n'); }, 10000)) {
            QTest::qFail("Xvfb gave no display", __FILE__, __LINE__);
            return false;
        }
        m_display = ":" + QString::fromStdString(m_xserver->Stdout()).trimmed().toStdString();
        return true;
    }
    // A window manager on the X server, once it manages windows.
    void StartWindowManager()
    {
        m_windowManager = std::make_unique<ChildProcess>(
            std::vector<std::string>{"env", "DISPLAY=" + m_display, "HOME=" + m_store->Path(), "openbox"},
            m_store->Path());
        QTRY_VERIFY2_WITH_TIMEOUT(X({"xprop", "-root", "_NET_SUPPORTING_WM_CHECK"}).contains("window id"),
                                  m_windowManager->Stderr().c_str(), 10000);
    }
    // A second start in this process, which the running one refuses with its message.
    static void StartSecond()
    {
        CLimitSingleInstance guard;
        CScriptedPrompter prompter;
        QVERIFY(!CKOVApp(guard, prompter).InitInstance());
        QCOMPARE(prompter.Messages, std::vector<std::string>{"ORMA UDP Broadcast Server Already Running..."});
    }
    // The first shown window with exactly this title, waited for; empty when none comes.
    QString FindWindow(const QString& title)
    {
        // "search --sync" waits for ever; X() ends it after ten seconds.
        return X({"xdotool", "search", "--sync", "--onlyvisible", "--name", "^" + title + "$"}).section('\n', 0, 0);
    }
    // What the window shows on screen, as an xwd dump.
    std::string WindowImage(const QString& window)
    {
        ChildProcess dump({"env", "DISPLAY=" + m_display, "xwd", "-silent", "-id", window.toStdString()},
                          m_store->Path());
        dump.Wait(10s);
        return dump.Stdout();
    }

    // Starts the program (in the relay namespace when there is one) in the
    // store's folder (its event log), on the store and, unless told
    // otherwise, in a session of this test's own.
    void StartProgram(const std::string& platform, bool inSession = true, const std::vector<std::string>& more = {})
    {
        std::vector<std::string> argv{"env", "-u", "XDG_RUNTIME_DIR", "QT_QPA_PLATFORM=" + platform,
                                      "DISPLAY=" + m_display, "XDG_CONFIG_HOME=" + m_store->Path() + "/config",
                                      // read by sanitizer builds only
                                      "LSAN_OPTIONS=suppressions=" ORMA_LSAN_SUPPRESSIONS, ORMA_SERVER_PATH};
        if (inSession)
            argv.insert(argv.end() - 1, "XDG_RUNTIME_DIR=" + m_store->Path());
        argv.insert(argv.end() - 1, more.begin(), more.end());
        if (m_network)
            argv.insert(argv.begin(), {"ip", "netns", "exec", m_network->RelayNamespace()});
        m_program = std::make_unique<ChildProcess>(argv, m_store->Path());
    }
    void EndProgram(bool bySignal, int signal = SIGTERM)
    {
        if (bySignal)
            m_program->Signal(signal);
        QVERIFY2(m_program->Wait(std::chrono::milliseconds(kStartTimeoutMs)) == 0, m_program->Stderr().c_str());
    }
    [[nodiscard]] int Logged(const std::string& part) const { return m_store->CountLogLines(part); }
    // Runs xdotool or xclip on the X server; their output.
    QString X(const QStringList& argv)
    {
        std::vector<std::string> command{"env", "DISPLAY=" + m_display};
        for (const QString& argument : argv) command.push_back(argument.toStdString());
        ChildProcess tool(command, m_store->Path());
        tool.Wait(10s);
        return QString::fromStdString(tool.Stdout()).trimmed();
    }

    std::unique_ptr<TestNetwork> m_network;
    std::unique_ptr<TempSettingsStore> m_store;
    std::unique_ptr<ChildProcess> m_program;
    std::unique_ptr<ChildProcess> m_xserver;
    std::unique_ptr<ChildProcess> m_windowManager;
    std::unique_ptr<ChildProcess> m_trayHost;
    std::string m_display;
};

QTEST_MAIN(ProgramRunTest)
#include "ProgramRunTest.moc"
