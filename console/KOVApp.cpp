#include "console/KOVApp.h"

#include "console/KOVDlg.h"
#include "console/LimitSingleInstance.h"
#include "console/Prompter.h"
#include "console/crashdump/CrashDumpWriter.h"

bool CKOVApp::InitInstance()
{
    // One instance per session; a second one does nothing but say so.
    if (m_guard.IsAnotherInstanceRunning()) {
        m_prompter.ShowMessage("ORMA UDP Broadcast Server Already Running...");
        return false;
    }

    // Before any relay thread exists: a fault on any thread leaves a minidump.
    (void)InstallCrashDumpWriter();

    // POSIX sockets need no start-up call.

    // The window and every broadcast live inside its modal run; the
    // engines go with the window.
    {
        CKOVDlg window(m_prompter);
        window.exec();
    }
    return false;
}
