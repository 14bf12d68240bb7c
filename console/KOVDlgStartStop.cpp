// Starting and stopping broadcasts, and the buttons that follow them.
#include "console/KOVDlg.h"

#include "config/ConfigurationRules.h"
#include "config/PersistedSettings.h"
#include "config/RelayRules.h"
#include "console/ControlIds.h"
#include "console/Prompter.h"
#include "log/EventLog.h"
#include "net/InterfaceWatcher.h"

#include <QPushButton>
#include <QTableWidget>

void CKOVDlg::OnStartButton()
{
    // In add and modify mode this button saves the form instead.
    if (m_bAddMode) {
        SaveAddedConfiguration();
        return;
    }
    if (m_bModifyMode) {
        SaveModifiedConfiguration();
        return;
    }

    const int row = GetSelectedRow();
    if (row == -1) {
        ShowNoSelectionMessage();
        return;
    }
    if (row >= m_ctrlList->rowCount())
        return;
    CKOVBCastEngine* engine = GetEngineForRow(row);
    if (!engine || !ValidateConfiguration(engine->GetConfiguration()))
        return;

    if (!engine->IsRunning()) {
        // Connecting turns the caption to Stop; a start still pending ignores this one.
        StartEngine(*engine);
        return;
    }
    // Stop notifies this window before it returns, so the form and the
    // buttons already show the stopped broadcast.
    engine->Stop();
    LogEvent("%s Config ID %d has been Stopped successfully.", LocalTimeText().c_str(), m_nConfigId);
}

void CKOVDlg::ShowNoSelectionMessage()
{
    m_prompter.ShowMessage(m_ctrlList->rowCount() == 0 ? "No records." : "Select Any Record");
}

void CKOVDlg::UpdateStartStopButton(int row)
{
    const CKOVBCastEngine* engine = GetEngineForRow(row);
    if (!engine) {
        for (const int id : {IDC_BUTTON_MODIFY, IDC_BUTTON_DELETE, IDC_BUTTON_START}) GetDlgItem(id)->setEnabled(false);
        return;
    }
    // A running broadcast can be neither modified nor deleted.
    const bool running = engine->IsRunning();
    GetDlgItem(IDC_BUTTON_MODIFY)->setEnabled(!running);
    GetDlgItem(IDC_BUTTON_DELETE)->setEnabled(!running);
    GetDlgItem(IDC_BUTTON_START)->setEnabled(true);
    SetButtonCaption(running ? "&Stop" : "&Start", IDC_BUTTON_START);
}

void CKOVDlg::SetButtonCaption(const QString& caption, int id)
{
    if (auto* button = qobject_cast<QPushButton*>(GetDlgItem(id)))
        button->setText(caption);
}

void CKOVDlg::SetDefaultButton(int id)
{
    // Enter clicks it: Add when idle, Save while the form is being filled.
    if (auto* button = qobject_cast<QPushButton*>(GetDlgItem(id)))
        button->setDefault(true);
}

void CKOVDlg::AutoStartBroadcasts(const std::string& list)
{
    for (const int id : ParseAutoStartList(list)) {
        // A name without an engine can only come from an edited store.
        CKOVBCastEngine* engine = EngineForConfigId(id);
        if (engine && ValidateConfiguration(engine->GetConfiguration()) && !engine->IsRunning())
            StartEngine(*engine);
    }
}

void CKOVDlg::StartEngine(CKOVBCastEngine& engine)
{
    if (engine.HasRelayThread())
        return;  // its start is still pending
    const KOV_BCAST_CONFIG& configuration = engine.GetConfiguration();
    std::vector<KOV_BCAST_CONFIG> running;
    std::vector<int> cpusInUse;
    for (const std::unique_ptr<CKOVBCastEngine>& other : m_arrEngines) {
        if (!other || other.get() == &engine || !other->HasRelayThread())
            continue;
        running.push_back(other->GetConfiguration());
        if (other->GetRelayOptions().Polling)
            cpusInUse.push_back(other->GetRelayOptions().PollingCpu);
    }

    std::string refusal;
    const std::vector<int> loop = FindFeedbackLoop(configuration, running, &CInterfaceWatcher::AreOnOneInterface);
    if (!loop.empty())
        refusal = FeedbackLoopRefusal(loop) + ", so it is not started.";
    CKOVBCastEngine::RELAY_OPTIONS options;
    options.Polling = m_polling.Enabled;
    if (refusal.empty() && m_polling.Enabled) {
        options.PollingCpu = ChoosePollingCpu(m_polling.Cpus, cpusInUse);
        if (options.PollingCpu == kNoCpuLeft)
            refusal = FormatText(
                "No CPU is left for Config ID %d to poll on: every CPU of the \"Polling CPUs\" "
                "list is taken by another relay, so it is not started.",
                configuration.ConfigId);
    }
    if (!refusal.empty()) {
        LogEvent("%s %s", LocalTimeText().c_str(), refusal.c_str());
        m_prompter.ShowMessage(refusal);
        return;
    }
    engine.SetRelayOptions(options);
    engine.Start();
}

void CKOVDlg::StopAllBroadcasts()
{
    for (const std::unique_ptr<CKOVBCastEngine>& engine : m_arrEngines) {
        if (engine && engine->IsRunning())
            engine->Stop();
    }
}
