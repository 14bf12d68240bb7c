// The tray icon and its menu, hiding the window and bringing it back.
#include "console/KOVDlg.h"

#include "console/AppIcon.h"
#include "console/ControlIds.h"

#include <QEvent>
#include <QMenu>
#include <QPushButton>

bool CKOVDlg::NotifyTrayIcon(int operation)
{
    if (operation == kTrayDelete) {
        delete m_trayIcon;
        m_trayIcon = nullptr;
        delete m_trayMenu;
        m_trayMenu = nullptr;
        return true;
    }
    if (operation != kTrayAdd)
        return false;
    if (!m_trayIcon) {
        m_trayMenu = new QMenu(this);
        QAction* open = m_trayMenu->addAction("Open...", this, &CKOVDlg::OnTrayOpen);
        m_trayMenu->addAction("Exit...", this, &CKOVDlg::OnTrayExit);
        m_trayMenu->addAction("About ORMA UDP Broadcast Server", this, &CKOVDlg::OnTrayAbout);
        m_trayMenu->setDefaultAction(open);
        m_trayIcon = new QSystemTrayIcon(AppIcon(), this);
        m_trayIcon->setToolTip("ORMA UDP Broadcast Server");
        // The right button opens the menu through the icon itself.
        m_trayIcon->setContextMenu(m_trayMenu);
        connect(m_trayIcon, &QSystemTrayIcon::activated, this, &CKOVDlg::OnTrayNotify);
    }
    m_trayIcon->show();
    return true;
}

void CKOVDlg::OnTrayNotify(QSystemTrayIcon::ActivationReason reason)
{
    if (reason == QSystemTrayIcon::Trigger)
        RestoreWindow();
}

void CKOVDlg::RestoreWindow()
{
    showNormal();
    raise();
    activateWindow();
}

void CKOVDlg::OnTrayOpen()
{
    OnTrayNotify(QSystemTrayIcon::Trigger);
}

void CKOVDlg::OnTrayExit()
{
    static_cast<QPushButton*>(GetDlgItem(IDC_BUTTON_EXIT))->click();
}

void CKOVDlg::OnTrayAbout()
{
    OnSysCommand(IDM_ABOUTBOX);
}

bool CKOVDlg::IsTrayAvailable() const
{
    if (!m_trayIcon)
        return false;
    return m_trayAvailable.value_or(QSystemTrayIcon::isSystemTrayAvailable());
}

void CKOVDlg::HideWindow()
{
    if (IsTrayAvailable())
        hide();
    else
        showMinimized();
}

void CKOVDlg::ShowIfUnreachable()
{
    // Hidden behind a tray that has gone (its host restarted or died),
    // nothing could open the window again.
    if (!m_bEnded && isHidden() && testAttribute(Qt::WA_WState_ExplicitShowHide) && !IsTrayAvailable())
        RestoreWindow();
}

void CKOVDlg::changeEvent(QEvent* event)
{
    QDialog::changeEvent(event);
    // Minimised, the window leaves the task bar for the tray, where there is one.
    // Hidden once the state change is over, not from inside it, and left
    // minimised while hidden: clearing that state asks the X server to map the
    // window again, which put back a frame that nothing drew into. The
    // restore's showNormal clears it as it shows the window.
    if (event->type() == QEvent::WindowStateChange && isMinimized() && IsTrayAvailable()) {
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (isMinimized() && IsTrayAvailable())
                    hide();
            },
            Qt::QueuedConnection);
    }
}
