// Adding, modifying and deleting configurations through the form.
#include "console/KOVDlg.h"

#include "config/BroadcastConfig.h"
#include "config/ConfigurationRules.h"
#include "config/FieldList.h"
#include "console/ControlIds.h"
#include "console/IpAddressEdit.h"
#include "console/Prompter.h"
#include "log/EventLog.h"

#include <QComboBox>
#include <QLineEdit>
#include <QTableWidget>

#include <algorithm>

namespace {

constexpr int kColumnConfigId = 0;
constexpr int kColumnSegment = 1;
// No configuration has it, so a new configuration is compared with every row.
constexpr int kNoConfigId = 0;

}  // namespace

void CKOVDlg::OnAdd()
{
    if (m_bAddMode) {
        LeaveAddMode();
        --m_nLastConfigId;
        return;
    }
    EnterAddMode();
    ++m_nLastConfigId;
    m_nConfigId = m_nLastConfigId;
    UpdateData(false);
}

void CKOVDlg::EnterAddMode()
{
    m_bAddMode = true;
    ClearForm();
    // A new configuration relays unconverted unless the operator chooses otherwise.
    m_strNmkt = std::string{"N"};  // not = "N": GCC 12 warns falsely (-Wrestrict)
    UpdateData(false);
    EnableForm(true);
    SetButtonCaption("&Save", IDC_BUTTON_START);
    SetButtonCaption("&Cancel", IDC_BUTTON_ADD);
    SetDefaultButton(IDC_BUTTON_START);
    GetDlgItem(IDC_BUTTON_START)->setEnabled(true);
    for (const int id : {IDC_BUTTON_MODIFY, IDC_BUTTON_DELETE, IDC_LIST_BROADCASTS}) GetDlgItem(id)->setEnabled(false);
    m_ctrlReceiveIp->setFocus();
}

void CKOVDlg::LeaveAddMode()
{
    m_bAddMode = false;
    SaveConfigurations();
    ClearForm();
    EnableForm(false);
    SetButtonCaption("&Start", IDC_BUTTON_START);
    SetButtonCaption("&Add", IDC_BUTTON_ADD);
    SetDefaultButton(IDC_BUTTON_ADD);
    for (const int id : {IDC_BUTTON_MODIFY, IDC_BUTTON_DELETE, IDC_BUTTON_START}) GetDlgItem(id)->setEnabled(false);
    m_ctrlList->setEnabled(true);
    setFocus();
}

void CKOVDlg::OnModify()
{
    if (GetSelectedRow() == -1) {
        ShowNoSelectionMessage();
        return;
    }
    if (m_bModifyMode) {
        LeaveModifyMode();
        // The form shows the stored values again.
        FillFormFromConfiguration();
        return;
    }
    EnterModifyMode();
}

void CKOVDlg::EnterModifyMode()
{
    m_bModifyMode = true;
    if (FillFormFromConfiguration()) {
        EnableForm(true);
        SetButtonCaption("&Save", IDC_BUTTON_START);
        SetButtonCaption("&Cancel", IDC_BUTTON_MODIFY);
        SetDefaultButton(IDC_BUTTON_START);
        for (const int id : {IDC_BUTTON_ADD, IDC_BUTTON_DELETE, IDC_LIST_BROADCASTS}) GetDlgItem(id)->setEnabled(false);
    } else {
        // Nothing to modify: a mode without its Cancel button would trap the operator.
        m_bModifyMode = false;
    }
    GetDlgItem(IDC_BUTTON_MODIFY)->setFocus();
}

void CKOVDlg::LeaveModifyMode()
{
    m_bModifyMode = false;
    SaveConfigurations();
    ClearForm();
    EnableForm(false);
    SetButtonCaption("&Start", IDC_BUTTON_START);
    SetButtonCaption("&Modify", IDC_BUTTON_MODIFY);
    SetDefaultButton(IDC_BUTTON_ADD);
    for (const int id : {IDC_BUTTON_ADD, IDC_BUTTON_DELETE, IDC_LIST_BROADCASTS}) GetDlgItem(id)->setEnabled(true);
    setFocus();
}

KOV_BCAST_CONFIG CKOVDlg::FormConfiguration(int configId) const
{
    // The hidden protocol and type boxes travel with the form, but only UDP
    // multicast endpoints exist.
    KOV_BCAST_CONFIG configuration;
    configuration.ConfigId = configId;
    configuration.SegmentCode = m_strSegment;
    configuration.ReceiveIp = m_strReceiveIp;
    configuration.ReceivePort = m_nReceivePort;
    configuration.SendIp = m_strSendIp;
    configuration.SendPort = m_nSendPort;
    configuration.ArchiveFlag = FlagFromText(m_strArchive);
    configuration.NmktFlag = FlagFromText(m_strNmkt);
    configuration.HostSideIp = m_strHostSideIp;
    configuration.ZentaSideIp = m_strZentaSideIp;
    return configuration;
}

void CKOVDlg::LogFormConfiguration(const char* action, int configId)
{
    LogEvent(
        "%s Config ID %d is %s. Recvr IP: %s, Recvr PORT: %d, Sender IP: %s, Sender PORT: %d, Segment: %s, "
        "NMKT: %s",
        LocalTimeText().c_str(), configId, action, m_strReceiveIp.c_str(), m_nReceivePort, m_strSendIp.c_str(),
        m_nSendPort, m_strSegment.c_str(), m_strNmkt.c_str());
}

bool CKOVDlg::ReadAndCheckForm(int skipId)
{
    // Every refusal leaves the mode and the form as they are.
    return UpdateData(true) && ValidateConfiguration(FormConfiguration(m_nConfigId)) &&
           CheckSendPortFree(m_nSendPort, m_strSegment, skipId);
}

void CKOVDlg::SaveAddedConfiguration()
{
    if (!ReadAndCheckForm(kNoConfigId))
        return;

    std::vector<int> listedIds;
    for (const std::string& text : ListColumnTexts(kColumnConfigId)) listedIds.push_back(ParseDecimal(text));
    const int configId = NextConfigId(listedIds);
    if (configId == 0) {
        m_prompter.ShowMessage(
            FormatText("No Config ID is left for a new configuration: the highest is %d.", kMaxConfigId));
        return;
    }
    AddBroadcast(FormConfiguration(configId));
    LogFormConfiguration("Added", configId);
    LeaveAddMode();
}

void CKOVDlg::SaveModifiedConfiguration()
{
    const int row = GetSelectedRow();
    if (row < 0 || row >= m_ctrlList->rowCount())
        return;
    // The form holds the modified configuration's Config ID.
    if (!ReadAndCheckForm(m_nConfigId))
        return;
    // Modify is offered for stopped configurations only, so no relay thread reads it meanwhile.
    CKOVBCastEngine* engine = EngineForConfigId(m_nConfigId);
    if (!engine)
        return;
    const KOV_BCAST_CONFIG configuration = FormConfiguration(m_nConfigId);
    SetListRowTexts(row, ListRowTexts(configuration));
    engine->Configure(configuration);
    LogFormConfiguration("Modified", m_nConfigId);
    LeaveModifyMode();
}

void CKOVDlg::OnDelete()
{
    const int row = GetSelectedRow();
    if (row == -1) {
        ShowNoSelectionMessage();
        return;
    }
    if (!m_prompter.AskYesNo("This will make selected record to delete permanently.\nAre you sure?"))
        return;

    // The chosen row's own configuration: the form may have been cleared since it showed it.
    const int configId = ParseDecimal(m_ctrlList->item(row, kColumnConfigId)->text().toStdString());
    if (EngineForConfigId(configId))
        m_arrEngines[static_cast<size_t>(configId)].reset();
    m_ctrlList->removeRow(row);
    LogEvent("%s Config ID %d has been Deleted Successfully.", LocalTimeText().c_str(), configId);

    if (m_ctrlList->rowCount() > 0) {
        m_ctrlList->selectRow(0);
    } else {
        for (const int id : {IDC_BUTTON_MODIFY, IDC_BUTTON_DELETE, IDC_BUTTON_START}) GetDlgItem(id)->setEnabled(false);
    }
    ClearForm();
}

int CKOVDlg::CheckSendPortFree(int sendPort, const std::string& segment, int skipId)
{
    std::vector<SendPortUse> rows;
    for (int row = 0; row < m_ctrlList->rowCount(); ++row) {
        if (const CKOVBCastEngine* engine = GetEngineForRow(row)) {
            const KOV_BCAST_CONFIG& c = engine->GetConfiguration();
            rows.push_back({c.ConfigId, c.SegmentCode, c.SendPort});
        }
    }
    if (IsSendPortFree(rows, sendPort, segment, skipId))
        return 1;
    m_prompter.ShowMessage("Sending Port already used.");
    FocusToRetype(m_ctrlSendPort);
    return 0;
}

int CKOVDlg::IsSegmentUnused(const std::string& name) const
{
    const std::vector<std::string> listed = ListColumnTexts(kColumnSegment);
    return std::find(listed.begin(), listed.end(), name) == listed.end();
}

void CKOVDlg::OnSelchangeSegment()
{
    const std::string name = m_ctrlSegment->currentText().toStdString();
    // The first configuration of a segment is the one its archive would follow.
    auto* archive = static_cast<QComboBox*>(GetDlgItem(IDC_COMBO_ARCHIVE));
    archive->setCurrentIndex(archive->findText(FlagText(IsSegmentUnused(name))));
    const KOV_SEGMENT_INFO* segment = m_arrSegments.FindByName(name);
    if (segment && segment->DefaultPort != 0)
        m_ctrlSendPort->setText(QString::number(segment->DefaultPort));
}
