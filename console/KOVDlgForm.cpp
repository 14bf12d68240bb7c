// The "Broadcast Parameters" form: its fields, their exchange with the
// controls, and the checks a configuration passes before it is saved or started.
#include "console/KOVDlg.h"

#include "config/BroadcastConfig.h"
#include "config/ConfigurationRules.h"
#include "console/ControlIds.h"
#include "console/IpAddressEdit.h"
#include "console/Prompter.h"
#include "log/EventLog.h"

#include <QComboBox>
#include <QLineEdit>
#include <QTableWidget>

namespace {

int FocusControlOf(ConfigurationField field)
{
    switch (field) {
    case ConfigurationField::ReceiveIp:
        return IDC_IPADDRESS_RECEIVE;
    case ConfigurationField::ReceivePort:
        return IDC_EDIT_RECEIVE_PORT;
    case ConfigurationField::SegmentCode:
        return IDC_COMBO_SEGMENT;
    case ConfigurationField::SendIp:
        return IDC_IPADDRESS_SEND;
    case ConfigurationField::SendPort:
        return IDC_EDIT_SEND_PORT;
    case ConfigurationField::HostSideIp:
        return IDC_IPADDRESS_HOST_SIDE;
    case ConfigurationField::ZentaSideIp:
        return IDC_IPADDRESS_ZENTA_SIDE;
    case ConfigurationField::ConfigId:
        return IDC_EDIT_CONFIG_ID;
    }
    return IDC_IPADDRESS_RECEIVE;
}

// A drop-down list shows the item with exactly this text, or none; an
// editable drop-down shows the text itself.
void ExchangeComboText(QComboBox* combo, std::string& text, bool saveAndValidate)
{
    if (saveAndValidate) {
        text = combo->currentText().toStdString();
    } else if (combo->isEditable()) {
        combo->setEditText(QString::fromStdString(text));
    } else {
        combo->setCurrentIndex(combo->findText(QString::fromStdString(text), Qt::MatchExactly));
    }
}

void ExchangeAddress(CIpAddressEdit* box, std::string& text, bool saveAndValidate)
{
    if (saveAndValidate)
        text = box->text().toStdString();
    else
        box->setText(QString::fromStdString(text));
}

}  // namespace

void CKOVDlg::FocusToRetype(QWidget* control)
{
    control->setFocus();
    QWidget* input = control->focusProxy() ? control->focusProxy() : control;
    if (auto* edit = qobject_cast<QLineEdit*>(input))
        edit->selectAll();
}

bool CKOVDlg::UpdateData(bool saveAndValidate)
{
    bool failed = false;
    DoDataExchange(saveAndValidate, failed);
    return !failed;
}

void CKOVDlg::DoDataExchange(bool save, bool& failed)
{
    const auto combo = [this](int id) { return static_cast<QComboBox*>(GetDlgItem(id)); };
    // Reading stops at the first box that holds no number, with the focus on it.
    if (!ExchangePort(m_ctrlSendPort, m_nSendPort, save, "Sender Port") ||
        !ExchangePort(m_ctrlReceivePort, m_nReceivePort, save, "Receiver Port")) {
        failed = true;
        return;
    }
    ExchangeComboText(m_ctrlSegment, m_strSegment, save);
    // A box whose octets make no address gives text that is none either; the
    // configuration's rules refuse it, after the form's seven checks.
    ExchangeAddress(m_ctrlReceiveIp, m_strReceiveIp, save);
    ExchangeAddress(m_ctrlSendIp, m_strSendIp, save);
    ExchangeAddress(m_ctrlHostSideIp, m_strHostSideIp, save);
    ExchangeAddress(m_ctrlZentaSideIp, m_strZentaSideIp, save);
    if (!ExchangePort(static_cast<QLineEdit*>(GetDlgItem(IDC_EDIT_CONFIG_ID)), m_nConfigId, save, "MultiCast ID")) {
        failed = true;
        return;
    }
    ExchangeComboText(combo(IDC_COMBO_ARCHIVE), m_strArchive, save);
    ExchangeComboText(m_ctrlNmkt, m_strNmkt, save);
    ExchangeComboText(combo(IDC_COMBO_RECEIVE_PROTOCOL), m_strReceiveProtocol, save);
    ExchangeComboText(combo(IDC_COMBO_SEND_PROTOCOL), m_strSendProtocol, save);
    ExchangeComboText(combo(IDC_COMBO_RECEIVE_TYPE), m_strReceiveType, save);
    ExchangeComboText(combo(IDC_COMBO_SEND_TYPE), m_strSendType, save);
}

bool CKOVDlg::ExchangePort(QLineEdit* edit, int& value, bool saveAndValidate, const char* boxName)
{
    if (!saveAndValidate) {
        edit->setText(QString::number(value));
        return true;
    }
    bool number = false;
    const int read = edit->text().trimmed().toInt(&number);
    if (!number) {
        m_prompter.ShowMessage(FormatText("Please enter a whole number in the %s box.", boxName));
        FocusToRetype(edit);
        return false;
    }
    value = read;
    return true;
}

int CKOVDlg::ValidateConfiguration(const KOV_BCAST_CONFIG& configuration)
{
    const std::optional<ConfigurationProblem> problem = FindConfigurationProblem(configuration);
    if (!problem)
        return 1;
    m_prompter.ShowMessage(problem->Message);
    FocusToRetype(GetDlgItem(FocusControlOf(problem->Field)));
    return 0;
}

void CKOVDlg::ClearForm()
{
    m_nConfigId = 0;
    m_nReceivePort = 0;
    m_nSendPort = 0;
    for (std::string* text : {&m_strSegment, &m_strReceiveIp, &m_strSendIp, &m_strHostSideIp, &m_strZentaSideIp,
                              &m_strReceiveProtocol, &m_strSendProtocol, &m_strArchive, &m_strNmkt})
        text->clear();
    m_strReceiveType = "UNICAST";
    m_strSendType = "UNICAST";
    UpdateData(false);
}

void CKOVDlg::EnableForm(bool on)
{
    for (const int id :
         {IDC_COMBO_SEGMENT, IDC_IPADDRESS_RECEIVE, IDC_EDIT_RECEIVE_PORT, IDC_IPADDRESS_SEND, IDC_IPADDRESS_HOST_SIDE,
          IDC_IPADDRESS_ZENTA_SIDE, IDC_EDIT_SEND_PORT, IDC_COMBO_ARCHIVE, IDC_COMBO_NMKT, IDC_COMBO_RECEIVE_PROTOCOL,
          IDC_COMBO_SEND_PROTOCOL, IDC_COMBO_RECEIVE_TYPE, IDC_COMBO_SEND_TYPE})
        GetDlgItem(id)->setEnabled(on);
}

int CKOVDlg::FillFormFromConfiguration()
{
    const int row = GetSelectedRow();
    if (row < 0 || row >= m_ctrlList->rowCount())
        return 0;
    const CKOVBCastEngine* engine = GetEngineForRow(row);
    if (!engine)
        return 0;
    const KOV_BCAST_CONFIG& c = engine->GetConfiguration();
    m_nConfigId = c.ConfigId;
    m_strSegment = c.SegmentCode;
    m_strReceiveIp = c.ReceiveIp;
    m_strHostSideIp = c.HostSideIp;
    m_strZentaSideIp = c.ZentaSideIp;
    m_nReceivePort = c.ReceivePort;
    m_strReceiveProtocol = c.ReceiveProtocol;
    m_strReceiveType = CastTypeText(c.ReceiveMulticast);
    m_strSendIp = c.SendIp;
    m_nSendPort = c.SendPort;
    m_strSendProtocol = c.SendProtocol;
    m_strSendType = CastTypeText(c.SendMulticast);
    m_strArchive = FlagText(c.ArchiveFlag);
    m_strNmkt = FlagText(c.NmktFlag);
    UpdateData(false);
    return 1;
}
