#include "console/KOVApp.h"

#include "config/Registry.h"
#include "console/InstanceChannel.h"
#include "console/KOVDlg.h"
#include "console/LimitSingleInstance.h"
#include "console/Prompter.h"
#include "console/ShutdownSignals.h"
#include "crashdump/CrashDumpWriter.h"

#include <QApplication>

bool CKOVApp::InitInstance()
{
    // One instance per settings store; a second one does nothing but say so.
    if (m_guard.IsAnotherInstanceRunning()) {
        // Its window may be hidden with no tray left to open it from.
        (void)CInstanceChannel::AskToShow(CRegistry::StoreDirectory());
        m_prompter.ShowMessage("ORMA UDP Broadcast Server Already Running...");
        return false;
    }

    // Before any relay thread exists: a fault on any thread leaves a minidump.
    (void)InstallCrashDumpWriter();

    // POSIX sockets need no start-up call.

    // The window may hide behind its tray icon; closing an About box then
    // must not end the program. Only the window's own exit ends it.
    QApplication::setQuitOnLastWindowClosed(false);
    // Before the window: a SIGTERM during the start-up waits for it.
    CShutdownSignals shutdownSignals;
    // Held with the lock: a second start asks through it to see the window.
    CInstanceChannel channel;
    (void)channel.Listen(CRegistry::StoreDirectory());

    // The window and every broadcast live inside its modal run; the
    // engines go with the window.
    {
        CKOVDlg window(m_prompter);
        QObject::connect(&shutdownSignals, &CShutdownSignals::Received, &window, &CKOVDlg::OnShutdownSignal);
        QObject::connect(&channel, &CInstanceChannel::ShowRequested, &window, &CKOVDlg::RestoreWindow);
        shutdownSignals.Watch();
        window.RunModal();
    }
    return false;
}
