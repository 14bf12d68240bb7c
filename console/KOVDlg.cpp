// The main window's set-up, the engines' notifications and the window commands.
#include "console/KOVDlg.h"

#include "config/PersistedSettings.h"
#include "console/AboutDlg.h"
#include "console/AppIcon.h"
#include "console/ControlIds.h"
#include "console/Prompter.h"
#include "log/EventLog.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QEventLoop>
#include <QKeyEvent>
#include <QMenu>
#include <QMetaObject>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QTableWidget>
#include <QTimerEvent>

CKOVDlg::CKOVDlg(CPrompter& prompter, QWidget* parent) : QDialog(parent), m_prompter(prompter)
{
    CreateControls();
    ConnectHandlers();
    OnInitDialog();
}

void CKOVDlg::ConnectHandlers()
{
    const auto onClick = [this](int id, void (CKOVDlg::*handler)()) {
        connect(static_cast<QPushButton*>(GetDlgItem(id)), &QPushButton::clicked, this, handler);
    };
    onClick(IDC_BUTTON_ADD, &CKOVDlg::OnAdd);
    onClick(IDC_BUTTON_MODIFY, &CKOVDlg::OnModify);
    onClick(IDC_BUTTON_DELETE, &CKOVDlg::OnDelete);
    onClick(IDC_BUTTON_START, &CKOVDlg::OnStartButton);
    onClick(IDC_BUTTON_EXIT, &CKOVDlg::OnExit);
    // Only the operator's choice counts, not the form being filled.
    connect(m_ctrlSegment, &QComboBox::activated, this, &CKOVDlg::OnSelchangeSegment);
    connect(m_ctrlList, &QTableWidget::clicked, this, &CKOVDlg::OnListClick);
    connect(m_ctrlList, &QTableWidget::itemSelectionChanged, this, &CKOVDlg::OnListItemChanged);
    connect(new QShortcut(QKeySequence::Copy, this), &QShortcut::activated, this, &CKOVDlg::CopySelectedRows);
    // The About box without a tray: window managers offer no window menu entry for it.
    connect(new QShortcut(QKeySequence::HelpContents, this), &QShortcut::activated, this,
            [this] { OnSysCommand(IDM_ABOUTBOX); });
}

CKOVDlg::~CKOVDlg()
{
    m_bClosing = true;
    OnDestroy();
    // An engine waits for its relay thread, which may still be calling this window.
    m_arrEngines.clear();
    // No relay thread is left to write a line, so none can call into this window any more.
    g_pEventLog->SetObserver(nullptr);
}

void CKOVDlg::OnDestroy()
{
    if (m_nTimerId)
        killTimer(m_nTimerId);
    m_nTimerId = 0;
    NotifyTrayIcon(kTrayDelete);
}

void CKOVDlg::OnInitDialog()
{
    setWindowIcon(AppIcon());

    g_pEventLog = CEventLog::GetInstance();
    // The log's own trouble shows in the status line; it may be told on a relay thread.
    g_pEventLog->SetObserver([this](const std::string& problem) {
        QMetaObject::invokeMethod(
            this,
            [this, problem] {
                m_strLogProblem = problem;
                OnTimer(REFRESH_TIMER_ID);
            },
            Qt::QueuedConnection);
    });
    LogEvent("\n%s ORMA UDP Broadcast Server has been Started", LocalTimeText().c_str());

    (void)CreateDefaultSettings();
    EnableForm(false);
    LoadSegmentsIntoForm();
    for (const int id : {IDC_COMBO_RECEIVE_PROTOCOL, IDC_COMBO_SEND_PROTOCOL})
        static_cast<QComboBox*>(GetDlgItem(id))->addItems({"UDP", "TCP"});
    for (const int id : {IDC_COMBO_RECEIVE_TYPE, IDC_COMBO_SEND_TYPE})
        static_cast<QComboBox*>(GetDlgItem(id))->addItems({"UNICAST", "MULTICAST"});
    m_bArchiveEnabled = LoadArchiveSettings();
    std::string pollingProblem;
    m_polling = ReadPollingSettings(pollingProblem);
    if (!pollingProblem.empty()) {
        const std::string message = "The relays do not poll: " + pollingProblem + ".";
        LogEvent("%s %s", LocalTimeText().c_str(), message.c_str());
        m_prompter.ShowMessage(message);
    }
    // The combos start with nothing chosen; the fields carry their texts.
    UpdateData(false);

    for (const int id : {IDC_BUTTON_MODIFY, IDC_BUTTON_DELETE, IDC_BUTTON_START}) GetDlgItem(id)->setEnabled(false);

    InitBroadcastList();
    AddToolTips();
    m_nTimerId = startTimer(kRefreshPeriodMs);
    NotifyTrayIcon(kTrayAdd);
    if (const QScreen* shownOn = screen())
        FitToScreen(shownOn->availableGeometry());
}

void CKOVDlg::AddToolTips()
{
    const std::pair<int, const char*> tips[] = {
        {IDC_IPADDRESS_SEND, "Enter the Sending Multicast address"},
        {IDC_LIST_BROADCASTS, "List of Broadcasts"},
        {IDC_COMBO_SEGMENT, "Market Segment"},
        {IDC_IPADDRESS_RECEIVE, "Enter Corresponding Receiving Multicast Address."},
        {IDC_EDIT_SEND_PORT, "Enter Corresponding Sending Port Number."},
        {IDC_EDIT_RECEIVE_PORT, "Enter Corresponding Receiving Port Number."},
        {IDC_IPADDRESS_HOST_SIDE, "Enter the Local IP Address towards Host."},
        {IDC_IPADDRESS_ZENTA_SIDE, "Enter the Local IP Address towards ZENTA."},
        {IDC_COMBO_NMKT, "Select Y to convert New Market Data broadcast to Old Broadcast."},
    };
    for (const auto& [id, text] : tips) GetDlgItem(id)->setToolTip(text);
}

void CKOVDlg::OnBroadcastState(int /*configId*/)
{
    ReplayListClick();
}

void CKOVDlg::ShowOperatorMessage(const std::string& text)
{
    // While the window goes away nobody is left to read it; the engine logs the failure.
    if (!m_bClosing)
        m_prompter.ShowMessage(text);
}

void CKOVDlg::PostToOwnerThread(std::function<void()> task)
{
    // Queued on this window: a task that arrives after the window is gone is dropped.
    QMetaObject::invokeMethod(this, std::move(task), Qt::QueuedConnection);
}

void CKOVDlg::timerEvent(QTimerEvent* event)
{
    OnTimer(event->timerId());
}

void CKOVDlg::RunModal()
{
    if (!m_bEnded && !m_bShutdownRequested) {
        QEventLoop loop;
        m_pRunLoop = &loop;
        show();
        loop.exec();
        m_pRunLoop = nullptr;
    }
    // Left by a shutdown signal (or the application quitting): the same steps, unasked.
    if (!m_bEnded)
        ShutDown();
}

void CKOVDlg::OnExit()
{
    if (m_bEnded || m_bShutdownRequested)
        return;
    if (!m_prompter.AskYesNo("This will disconnect all the broadcast connections.\nAre you sure?"))
        return;
    // A shutdown signal that came while the question was open finishes the exit itself.
    if (!m_bEnded && !m_bShutdownRequested)
        ShutDown();
}

void CKOVDlg::ShutDown()
{
    m_bEnded = true;
    LogEvent("%s ORMA UDP Broadcast Server has been Closed", LocalTimeText().c_str());
    // Saved before the stop, so that the next start restarts what runs now.
    SaveAllSettings();
    StopAllBroadcasts();
    done(QDialog::Rejected);
    if (m_pRunLoop)
        m_pRunLoop->quit();
}

void CKOVDlg::OnShutdownSignal()
{
    if (m_bEnded || m_bShutdownRequested)
        return;
    m_bShutdownRequested = true;
    // A box left open would hold the exit up, and an engine's relay thread
    // may be waiting for its message box: close them all first.
    while (QWidget* popup = QApplication::activePopupWidget()) popup->close();
    for (QWidget* window : QApplication::topLevelWidgets()) {
        auto* dialog = qobject_cast<QDialog*>(window);
        if (dialog && dialog != this && dialog->isVisible())
            dialog->reject();
    }
    if (m_pRunLoop)
        m_pRunLoop->quit();
}

void CKOVDlg::closeEvent(QCloseEvent* event)
{
    // Every way of closing asks first; OnExit ends the window itself.
    event->ignore();
    OnExit();
}

void CKOVDlg::keyPressEvent(QKeyEvent* event)
{
    // Escape hides the window; it never ends it and its broadcasts.
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        HideWindow();
        return;
    }
    QDialog::keyPressEvent(event);
}

void CKOVDlg::contextMenuEvent(QContextMenuEvent* event)
{
    // Stands in for the window menu's About entry, which window managers do not offer.
    QMenu menu(this);
    menu.addAction("&About ORMA UDP Broadcast Server", this, [this] { OnSysCommand(IDM_ABOUTBOX); });
    menu.exec(event->globalPos());
}

void CKOVDlg::OnSysCommand(int id)
{
    if ((id & 0xFFF0) == IDM_ABOUTBOX) {
        CAboutDlg about(this);
        about.exec();
    } else if (id == SC_MINIMIZE) {
        HideWindow();
    }
}
