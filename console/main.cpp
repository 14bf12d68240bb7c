// orma-broadcast-server: the operator console.
#include <QApplication>
#include <cstdio>
#include <cstring>

#include "console/AppIcon.h"
#include "console/KOVApp.h"
#include "console/LimitSingleInstance.h"
#include "console/MessageBoxPrompter.h"

// Taken before anything else exists and held until the process ends.
CLimitSingleInstance g_SingleInstanceGuard;

int main(int argc, char* argv[])
{
    // Answered before Qt starts, so that they work without a display.
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("orma-broadcast-server (ORMA UDP Broadcast Server) %s\n", ORMA_VERSION_TEXT);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs(
            "Usage: orma-broadcast-server [QT-OPTION]...\n"
            "Opens the operator console of the ORMA UDP Broadcast Server: the form for\n"
            "the relay configurations (Receiver IP and Port, Sender IP and Port, the\n"
            "local interfaces towards Host and towards ZENTA, the market segment and the\n"
            "NMKT flag), the list of broadcasts with their packet counters and status,\n"
            "and the buttons to add, modify, delete, start and stop them. The\n"
            "configurations are kept in the settings store,\n"
            "$XDG_CONFIG_HOME/orma-broadcast-server (~/.config/orma-broadcast-server);\n"
            "the relays running at exit start again at the next start. The day's event\n"
            "log, PLUX_<ddMMMyyyy>.TXT, is written in the current folder. One instance\n"
            "runs per settings store; a second one says so and ends.\n"
            "\n"
            "Options:\n"
            "  --help          print this help and exit\n"
            "  --version       print the version and exit\n"
            "  -platform NAME  the Qt platform to draw on, for example xcb or offscreen;\n"
            "                  every Qt program's other options are taken too\n",
            stdout);
        return 0;
    }
    QApplication application(argc, argv);
    QApplication::setApplicationName("ORMA UDP Broadcast Server");
    QApplication::setWindowIcon(AppIcon());
    // Ties the windows to the installed menu entry and its icon.
    QGuiApplication::setDesktopFileName("orma-broadcast-server");

    CMessageBoxPrompter prompter;
    CKOVApp theApp(g_SingleInstanceGuard, prompter);
    theApp.InitInstance();
    return 0;
}
