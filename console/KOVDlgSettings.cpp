// Loading the stored settings at start-up and storing them again.
#include "console/KOVDlg.h"

#include "config/PersistedSettings.h"

#include <QComboBox>
#include <QTableWidget>

void CKOVDlg::LoadSegmentsIntoForm()
{
    for (const std::string& name : LoadSegments(m_arrSegments)) m_ctrlSegment->addItem(QString::fromStdString(name));
}

void CKOVDlg::LoadConfigurations()
{
    const StoredSettings stored = ReadStoredSettings();
    for (const KOV_BCAST_CONFIG& configuration : stored.Configurations) {
        m_nLastConfigId = configuration.ConfigId;
        AddBroadcast(configuration);
    }
    AutoStartBroadcasts(stored.AutoStart);
}

void CKOVDlg::SaveConfigurations()
{
    std::vector<KOV_BCAST_CONFIG> configurations;
    for (int row = 0; row < m_ctrlList->rowCount(); ++row) {
        if (const CKOVBCastEngine* engine = GetEngineForRow(row))
            configurations.push_back(engine->GetConfiguration());
    }
    ::SaveConfigurations(configurations);
}

void CKOVDlg::SaveAllSettings()
{
    SaveConfigurations();
    ::SaveSegments(m_arrSegments);
    std::vector<int> running;
    for (const std::unique_ptr<CKOVBCastEngine>& engine : m_arrEngines) {
        if (engine && engine->IsRunning())
            running.push_back(engine->GetConfiguration().ConfigId);
    }
    ::SaveAutoStart(running);
}
