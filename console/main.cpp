// orma-broadcast-server: the operator console.
#include "console/AppIcon.h"
#include "console/KOVApp.h"
#include "console/LimitSingleInstance.h"
#include "console/MessageBoxPrompter.h"

#include <QApplication>

// Taken before anything else exists and held until the process ends.
CLimitSingleInstance g_SingleInstanceGuard;

int main(int argc, char* argv[])
{
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
