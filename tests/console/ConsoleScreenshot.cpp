// Draws the main window with a few broadcasts, one of them relaying, into
// a PNG: orma-console-screenshot FILE. Run it as root under Xvfb, e.g.
//   xvfb-run -s '-screen 0 1024x768x24' build/tests/console/orma-console-screenshot docs/console.png
#include "tests/console/ConsoleTestSupport.h"

#include <QApplication>
#include <QPixmap>

#include <cstdio>

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FILE.png\n", argv[0]);
        return 2;
    }
    TempSettingsStore store;
    std::string why;
    std::unique_ptr<TestNetwork> network = TestNetwork::Create(why);
    if (network)
        network->EnterRelay();

    CScriptedPrompter prompter;
    CKOVDlg window(prompter);
    for (const auto& [n, segment] : {std::pair{1, "QA"}, {2, "QB"}, {3, "QC"}, {4, "QDLN"}})
        window.AddBroadcastFromLine(Row(n, segment, n, 20000 + n, "N", n == 3 ? "Y" : "N"), TestNetwork::kHostSideIp,
                                    TestNetwork::kZentaSideIp);
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        return 1;

    if (network) {
        // Broadcast 1 relays a burst fed from the Host side.
        window.AutoStartBroadcasts("1,");
        if (!QTest::qWaitFor([&] { return window.GetEngineForRow(0)->IsRunning() != 0; }, 3000))
            return 1;
        for (int i = 0; i < 1234; ++i) network->Feed("239.1.1.1", 10001, std::vector<uint8_t>(300, 0x5A));
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
