#pragma once

#include "config/PersistedSettings.h"
#include "config/SegmentInfo.h"
#include "engine/BroadcastEngine.h"

#include <QDialog>
#include <QSystemTrayIcon>

#include <array>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class CIpAddressEdit;
class CPrompter;
class QBoxLayout;
class QComboBox;
class QEventLoop;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QTableWidget;

// The main window: the "Broadcast Parameters" form, the list of broadcasts
// with their counters and status, and the operator's buttons. It owns every
// engine and is each engine's owner; everything here runs on the GUI thread.
//
// The handlers live in one file per concern: KOVDlg.cpp (set-up, engine
// notifications, exit), KOVDlgLayout.cpp (the controls), KOVDlgList.cpp
// (the list and its refresh), KOVDlgStartStop.cpp, KOVDlgForm.cpp (the
// form's fields and checks), KOVDlgEdit.cpp (adding, modifying, deleting)
// KOVDlgSettings.cpp (loading and saving the stored settings) and
// KOVDlgTray.cpp (the tray icon, hiding and restoring).
class CKOVDlg : public QDialog, public CEngineOwner {
    Q_OBJECT
public:
    // Initialises the window at once: start-up log line, list, tool-tips, refresh timer.
    explicit CKOVDlg(CPrompter& prompter, QWidget* parent = nullptr);
    // Removes the timer and the tray icon, then ends every relay thread
    // before the engines go.
    ~CKOVDlg() override;

    // Shows the window and runs until it ends: through the confirmed exit,
    // or after a shutdown signal through the same steps without the question.
    void RunModal();

    // Sizes the window from its fonts for this part of a screen, centred
    // in it: its columns whole and a dozen rows where there is the room,
    // never more than the room where the layout can shrink to it.
    void FitToScreen(const QRect& available);

    // The control with this template id, or null.
    [[nodiscard]] QWidget* GetDlgItem(int id) const;

    // Broadcast list.
    // Adds a list row and its stopped engine for a stored configuration row.
    // A row that cannot be used, or repeats a listed Config ID, is skipped
    // whole with an event log line saying why; gives false then.
    bool AddBroadcastFromLine(const std::string& line, const std::string& hostSideIp, const std::string& zentaSideIp);
    // Index of the first selected row, or -1.
    [[nodiscard]] int GetSelectedRow() const;
    // The engine of a row through its column 0 Config ID, or null when it has none.
    [[nodiscard]] CKOVBCastEngine* GetEngineForRow(int row) const;
    void OnListClick();
    void OnListItemChanged();
    void ReplayListClick();
    // Copies every engine's counters and status into the list, and the
    // datagrams the system dropped for all running broadcasts into the status line.
    void OnTimer(int timerId);
    // Puts the chosen rows on the clipboard, a line each, columns separated by tabs.
    void CopySelectedRows();

    // Stored settings.
    // Lists the stored configurations with the stored local addresses, then
    // starts those of the stored auto start list.
    void LoadConfigurations();
    // Stores the configurations of the list rows, in list order.
    void SaveConfigurations();
    // At exit: the configurations, the segments and the running broadcasts' IDs.
    void SaveAllSettings();

    // Start and stop.
    void OnStartButton();
    void UpdateStartStopButton(int row);
    void SetButtonCaption(const QString& caption, int id);
    // The button that Enter clicks; no other is the default any more.
    void SetDefaultButton(int id);
    // Starts the stopped, valid engines named by an auto-start list.
    void AutoStartBroadcasts(const std::string& list);
    void StopAllBroadcasts();
    // Starts a stopped engine that passed its checks, unless its output would
    // come back to its own input through the relays that run, or no CPU is
    // left for it to poll on; then says so (message and log line).
    void StartEngine(CKOVBCastEngine& engine);

    // Adding, modifying and deleting configurations.
    void OnAdd();
    void OnModify();
    void OnDelete();
    // The Archive flag follows the chosen segment; its stored port is proposed.
    void OnSelchangeSegment();
    void EnterAddMode();
    void LeaveAddMode();
    void EnterModifyMode();
    void LeaveModifyMode();
    // 1 when no configuration of another segment sends to sendPort (the
    // configuration skipId aside); else says so and gives 0.
    int CheckSendPortFree(int sendPort, const std::string& segment, int skipId);
    // 1 when no list row shows the segment.
    [[nodiscard]] int IsSegmentUnused(const std::string& name) const;

    // The form.
    // Moves the form fields to the controls, or (saveAndValidate) the
    // controls to the fields; false when a port box holds no whole number
    // or an address box no address.
    bool UpdateData(bool saveAndValidate = true);
    // 1 when the configuration may be saved or started; otherwise shows the
    // first problem, moves the focus to its control and gives 0.
    int ValidateConfiguration(const KOV_BCAST_CONFIG& configuration);
    void ClearForm();
    void EnableForm(bool on);
    // Shows the selected row's configuration; 1 when there was one.
    int FillFormFromConfiguration();

    // Window commands.
    // Asks, then logs the close, saves everything and stops every broadcast.
    void OnExit();
    // SIGTERM or SIGINT: the exit without the question. Open message boxes
    // are closed; the steps run once their loops have returned (RunModal).
    void OnShutdownSignal();
    void OnSysCommand(int id);

    // The tray icon and hiding.
    static constexpr int kTrayAdd = 0;
    static constexpr int kTrayDelete = 2;
    bool NotifyTrayIcon(int operation);
    void OnTrayNotify(QSystemTrayIcon::ActivationReason reason);
    // Shows the window in front with the focus.
    void RestoreWindow();
    void OnTrayOpen();
    // Runs exactly the "&Exit" button's path.
    void OnTrayExit();
    void OnTrayAbout();
    // Hides the window behind the tray icon; without a tray to bring it back
    // from, minimises it to the task bar instead.
    void HideWindow();
    // Shows the hidden window once no tray is left to bring it back from;
    // the refresh asks every second.
    void ShowIfUnreachable();
    [[nodiscard]] QSystemTrayIcon* TrayIcon() const { return m_trayIcon; }
    [[nodiscard]] QMenu* TrayMenu() const { return m_trayMenu; }
    // For tests: whether the desktop shows tray icons, instead of asking it.
    void SetTrayAvailable(bool available) { m_trayAvailable = available; }

    // CEngineOwner: engines reach the window through these.
    void OnBroadcastState(int configId) override;
    void ShowOperatorMessage(const std::string& text) override;
    void PostToOwnerThread(std::function<void()> task) override;

    // Form fields, exchanged with the controls by UpdateData.
    int m_nSendPort = 0;
    int m_nReceivePort = 0;
    std::string m_strSegment;
    std::string m_strReceiveIp;
    std::string m_strSendIp;
    std::string m_strHostSideIp;
    std::string m_strZentaSideIp;
    int m_nConfigId = 0;
    std::string m_strArchive;
    std::string m_strNmkt;
    std::string m_strReceiveProtocol = " ";
    std::string m_strSendProtocol;
    std::string m_strReceiveType;
    std::string m_strSendType;

protected:
    void timerEvent(QTimerEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    // The exit's steps after the question.
    void ShutDown();
    // Kills the refresh timer and removes the tray icon.
    void OnDestroy();
    [[nodiscard]] bool IsTrayAvailable() const;
    void OnInitDialog();
    void CreateControls();
    void ConnectHandlers();
    void InitBroadcastList();
    void AddToolTips();
    void DoDataExchange(bool saveAndValidate, bool& failed);
    [[nodiscard]] bool ExchangePort(QLineEdit* edit, int& value, bool saveAndValidate, const char* boxName);
    // Puts the focus in a box with its text selected, so that typing replaces it.
    static void FocusToRetype(QWidget* control);
    void LoadSegmentsIntoForm();
    // A list row and a stopped engine for a configuration.
    void AddBroadcast(const KOV_BCAST_CONFIG& configuration);
    // Reads the form and checks it as a save does; false, with a message, when refused.
    [[nodiscard]] bool ReadAndCheckForm(int skipId);
    // The save branches of the Start button.
    void SaveAddedConfiguration();
    void SaveModifiedConfiguration();
    // The form's fields as a configuration with this Config ID.
    [[nodiscard]] KOV_BCAST_CONFIG FormConfiguration(int configId) const;
    // The log line of an added or modified configuration, from the form.
    void LogFormConfiguration(const char* action, int configId);
    void SetListRowTexts(int row, const std::array<std::string, 6>& texts);
    // The texts of one column, row by row.
    [[nodiscard]] std::vector<std::string> ListColumnTexts(int column) const;
    void ShowNoSelectionMessage();
    // The cell's text and its tool tip (ListTexts.h), each changed only when it differs.
    void SetItemText(int row, int column, const QString& text, const QString& toolTip);
    // The new row's index.
    int AppendListRow(const std::array<std::string, 6>& texts);
    void RegisterControl(int id, QWidget* control);
    [[nodiscard]] CKOVBCastEngine* EngineForConfigId(int configId) const;

    CPrompter& m_prompter;
    std::map<int, QWidget*> m_controls;

    CIpAddressEdit* m_ctrlZentaSideIp = nullptr;
    CIpAddressEdit* m_ctrlHostSideIp = nullptr;
    CIpAddressEdit* m_ctrlReceiveIp = nullptr;
    QLineEdit* m_ctrlSendPort = nullptr;
    QLineEdit* m_ctrlReceivePort = nullptr;
    QComboBox* m_ctrlNmkt = nullptr;
    QLabel* m_ctrlStatus = nullptr;
    CIpAddressEdit* m_ctrlSendIp = nullptr;
    QComboBox* m_ctrlSegment = nullptr;
    QTableWidget* m_ctrlList = nullptr;
    // The form and the buttons; the buttons stand beside it or under it.
    QBoxLayout* m_topLayout = nullptr;
    QBoxLayout* m_buttonLayout = nullptr;

    bool m_bAddMode = false;
    bool m_bModifyMode = false;
    int m_nLastConfigId = 0;
    int m_nTimerId = 0;
    // The list's columns as made, before the last one takes any extra room.
    int m_nListColumnsWidth = 0;
    // Set while the window goes away: late engine notifications change nothing then.
    bool m_bClosing = false;
    // Set once the exit's steps ran.
    bool m_bEnded = false;
    bool m_bShutdownRequested = false;
    QEventLoop* m_pRunLoop = nullptr;  // while RunModal runs

    QSystemTrayIcon* m_trayIcon = nullptr;
    QMenu* m_trayMenu = nullptr;
    std::optional<bool> m_trayAvailable;

    // Slot k holds the engine of Config ID k; null where there is none.
    std::vector<std::unique_ptr<CKOVBCastEngine>> m_arrEngines;
    CSegmentTable m_arrSegments;
    // How the relays receive (the stored polling settings).
    POLLING_SETTINGS m_polling;
    // The event log's own trouble, shown in the status line; empty when none.
    std::string m_strLogProblem;
    // The packet archive is off in every run.
    bool m_bArchiveEnabled = false;
};
