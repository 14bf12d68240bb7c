// The main window's controls and where they stand.
#include "console/KOVDlg.h"

#include "console/ControlIds.h"
#include "console/IpAddressEdit.h"

#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QTableWidget>
#include <QVBoxLayout>

namespace {

constexpr int kWindowWidth = 700;
constexpr int kWindowHeight = 515;
constexpr int kFontPointSize = 8;
constexpr int kPortDigits = 5;
constexpr int kAddressBoxWidth = 125;

}  // namespace

void CKOVDlg::RegisterControl(int id, QWidget* control)
{
    control->setObjectName(QString::number(id));
    m_controls[id] = control;
}

QWidget* CKOVDlg::GetDlgItem(int id) const
{
    const auto found = m_controls.find(id);
    return found == m_controls.end() ? nullptr : found->second;
}

void CKOVDlg::CreateControls()
{
    setWindowTitle("ORMA UDP Broadcast Server v4.02.00");
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(kWindowWidth, kWindowHeight);
    // The window's sizes are those of an 8-point dialog font.
    QFont dialogFont = font();
    dialogFont.setPointSize(kFontPointSize);
    setFont(dialogFont);

    const auto label = [this](int id, const char* text) {
        auto* control = new QLabel(text, this);
        RegisterControl(id, control);
        return control;
    };
    const auto addressBox = [this](int id) {
        auto* control = new CIpAddressEdit(this);
        control->setFixedWidth(kAddressBoxWidth);
        RegisterControl(id, control);
        return control;
    };
    const auto portEdit = [this](int id) {
        auto* control = new QLineEdit(this);
        control->setMaxLength(kPortDigits);
        control->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]*"), control));
        control->setFixedWidth(60);
        RegisterControl(id, control);
        return control;
    };
    const auto comboBox = [this](int id, QStringList items, bool editable = false) {
        auto* control = new QComboBox(this);
        control->setEditable(editable);
        control->addItems(items);
        control->setCurrentIndex(-1);
        RegisterControl(id, control);
        return control;
    };
    const auto button = [this](int id, const char* caption) {
        auto* control = new QPushButton(caption, this);
        control->setAutoDefault(false);
        RegisterControl(id, control);
        return control;
    };
    const auto row = [](QGridLayout* grid, QWidget* caption, QWidget* input) {
        const int at = grid->rowCount();
        grid->addWidget(caption, at, 0);
        grid->addWidget(input, at, 1, Qt::AlignLeft);
    };

    // "Broadcast Parameters": receiving side, sending side, local interfaces.
    auto* receiverGroup = new QGroupBox("Receiver Details", this);
    auto* receiverGrid = new QGridLayout(receiverGroup);
    m_ctrlReceiveIp = addressBox(IDC_IPADDRESS_RECEIVE);
    m_ctrlReceivePort = portEdit(IDC_EDIT_RECEIVE_PORT);
    m_ctrlSegment = comboBox(IDC_COMBO_SEGMENT, {});
    m_ctrlSegment->setMinimumWidth(80);
    row(receiverGrid, label(IDC_STATIC_RECEIVE_IP, "Receiver IP:"), m_ctrlReceiveIp);
    row(receiverGrid, label(IDC_STATIC_RECEIVE_PORT, "Receiver Port:"), m_ctrlReceivePort);
    row(receiverGrid, label(IDC_STATIC_SEGMENT, "Market Segment:"), m_ctrlSegment);
    // Shown, so that the operator can choose the conversion of a configuration.
    m_ctrlNmkt = comboBox(IDC_COMBO_NMKT, {"Y", "N"});
    row(receiverGrid, label(IDC_STATIC_NMKT, "New MKT Data:"), m_ctrlNmkt);

    auto* senderGroup = new QGroupBox("Sender Details", this);
    auto* senderGrid = new QGridLayout(senderGroup);
    m_ctrlSendIp = addressBox(IDC_IPADDRESS_SEND);
    m_ctrlSendPort = portEdit(IDC_EDIT_SEND_PORT);
    row(senderGrid, label(IDC_STATIC_SEND_IP, "Sender IP:"), m_ctrlSendIp);
    row(senderGrid, label(IDC_STATIC_SEND_PORT, "Sender Port:"), m_ctrlSendPort);
    senderGrid->setRowStretch(senderGrid->rowCount(), 1);

    auto* interfaceGroup = new QGroupBox("IP Address", this);
    auto* interfaceGrid = new QGridLayout(interfaceGroup);
    m_ctrlHostSideIp = addressBox(IDC_IPADDRESS_HOST_SIDE);
    m_ctrlZentaSideIp = addressBox(IDC_IPADDRESS_ZENTA_SIDE);
    interfaceGrid->addWidget(label(IDC_STATIC_HOST_SIDE_IP, "Local IP towards Host:"), 0, 0);
    interfaceGrid->addWidget(m_ctrlHostSideIp, 0, 1);
    interfaceGrid->setColumnMinimumWidth(2, 16);
    interfaceGrid->addWidget(label(IDC_STATIC_ZENTA_SIDE_IP, "Local IP towards ZENTA:"), 0, 3);
    interfaceGrid->addWidget(m_ctrlZentaSideIp, 0, 4);
    interfaceGrid->setColumnStretch(5, 1);

    auto* parameters = new QGroupBox("Broadcast Parameters", this);
    RegisterControl(IDC_STATIC_PARAMETERS, parameters);
    auto* parameterGrid = new QGridLayout(parameters);
    parameterGrid->addWidget(receiverGroup, 0, 0);
    parameterGrid->addWidget(senderGroup, 0, 1);
    parameterGrid->addWidget(interfaceGroup, 1, 0, 1, 2);

    auto* buttons = new QVBoxLayout;
    QPushButton* add = button(IDC_BUTTON_ADD, "&Add");
    add->setDefault(true);
    buttons->addWidget(add);
    buttons->addWidget(button(IDC_BUTTON_MODIFY, "&Modify"));
    buttons->addWidget(button(IDC_BUTTON_DELETE, "&Delete"));
    buttons->addWidget(button(IDC_BUTTON_START, "&Start"));
    buttons->addStretch(1);
    buttons->addWidget(button(IDC_BUTTON_EXIT, "&Exit"));

    m_ctrlList = new QTableWidget(0, 9, this);
    RegisterControl(IDC_LIST_BROADCASTS, m_ctrlList);

    m_ctrlStatus = label(IDC_STATIC_STATUS, "");

    auto* top = new QHBoxLayout;
    top->addWidget(parameters, 1);
    top->addLayout(buttons);
    auto* window = new QVBoxLayout(this);
    window->addLayout(top);
    window->addWidget(m_ctrlList, 1);
    window->addWidget(m_ctrlStatus);

    // Never shown, but their values travel with the form.
    const auto hidden = [](QWidget* control) { control->hide(); };
    hidden(label(IDC_STATIC_CONFIG_ID, "MultiCast &ID:"));
    auto* configId = new QLineEdit(this);
    RegisterControl(IDC_EDIT_CONFIG_ID, configId);
    hidden(configId);
    hidden(label(IDC_STATIC_ARCHIVE, "Archive:"));
    hidden(comboBox(IDC_COMBO_ARCHIVE, {"Y", "N"}));
    hidden(label(IDC_STATIC_RECEIVE_PROTOCOL, "Recv Proto:"));
    hidden(label(IDC_STATIC_SEND_PROTOCOL, "Send Proto:"));
    hidden(comboBox(IDC_COMBO_RECEIVE_PROTOCOL, {}, true));
    hidden(comboBox(IDC_COMBO_SEND_PROTOCOL, {}, true));
    hidden(label(IDC_STATIC_RECEIVE_TYPE, "Type:"));
    hidden(label(IDC_STATIC_SEND_TYPE, "Type:"));
    hidden(comboBox(IDC_COMBO_RECEIVE_TYPE, {}));
    hidden(comboBox(IDC_COMBO_SEND_TYPE, {}));
    hidden(button(IDC_BUTTON_ADD_SEGMENT, "+"));
}
