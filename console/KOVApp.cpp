#include "console/KOVApp.h"

#include "console/KOVDlg.h"
#include "console/LimitSingleInstance.h"
#include "console/Prompter.h"

bool CKOVApp::InitInstance()
{
    // One instance per session; a second one does nothing but say so.
    if (m_guard.IsAnotherInstanceRunning()) {
        m_prompter.ShowMessage("ORMA UDP Broadcast Server Already Running...");
        return false;
    }

    // The crash dump writer belongs here, before any relay thread exists.
    // Nothing is installed yet.

    // POSIX sockets need no start-up call.

    // The window and every broadcast live inside its modal run; the
    // engines go with the window.
    {
        CKOVDlg window(m_prompter);
        window.exec();
    }
    return false;
}
