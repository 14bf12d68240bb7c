// Draws the main window with a few broadcasts, one of them relaying, into
// a PNG: orma-console-screenshot FILE. Run it as root under Xvfb, e.g.
//   xvfb-run -s '-screen 0 1024x768x24' build/tests/console/orma-console-screenshot docs/console.png
#include "console/ControlIds.h"
#include "tests/console/ConsoleTestSupport.h"
#include "tests/support/TestNetwork.h"

#include <QApplication>
#include <QPixmap>
#include <QPushButton>
#include <QTest>

#include <unistd.h>

#include <cstdio>

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FILE.png\n", argv[0]);
        return 2;
    }
    ScopedSettingsStore store;
    ScopedEventLog log;
    std::string why;
    std::unique_ptr<TestNetwork> network = TestNetwork::Create(why);
    if (network)
        network->EnterRelay();

    CScriptedPrompter prompter;
    CKOVDlg window(prompter);
    const std::string host = TestNetwork::kHostSideIp;
    const std::string zenta = TestNetwork::kZentaSideIp;
    window.AddBroadcastFromLine(ConfigurationLine(1, "QA", "239.1.1.1", 10001, "239.2.1.1", 20001), host, zenta);
    window.AddBroadcastFromLine(ConfigurationLine(2, "QB", "239.1.1.2", 10002, "239.2.1.2", 20002), host, zenta);
    window.AddBroadcastFromLine(ConfigurationLine(3, "QC", "239.1.1.3", 10003, "239.2.1.3", 20003, "Y"), host, zenta);
    window.AddBroadcastFromLine(ConfigurationLine(4, "QDLN", "239.1.1.4", 10004, "239.2.1.4", 20004), host, zenta);
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        return 1;

    if (network) {
        // Broadcast 1 relays a burst fed from the Host side.
        window.AutoStartBroadcasts("1,");
        if (!QTest::qWaitFor([&] { return window.GetEngineForRow(0)->IsRunning() != 0; }, 3000))
            return 1;
        const int feed = network->OpenFeedSocket();
        const std::vector<uint8_t> datagram(300, 0x5A);
        for (int i = 0; i < 1234; ++i)
            SendDatagram(feed, "239.1.1.1", 10001, datagram);
        close(feed);
        QTest::qWait(300);
    } else {
        std::fprintf(stderr, "no broadcast relays: %s\n", why.c_str());
    }
    ClickRow(window, 0);
    window.OnTimer(REFRESH_TIMER_ID);
    QTest::qWait(100);

    const bool saved = window.grab().save(argv[1]);
    window.StopAllBroadcasts();
    return saved ? 0 : 1;
}
