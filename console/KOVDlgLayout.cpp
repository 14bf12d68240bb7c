// The main window's controls and where they stand.
#include "console/KOVDlg.h"

#include "console/ControlIds.h"
#include "console/IpAddressEdit.h"

#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QStyle>
#include <QTableWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace {

constexpr int kFontPointSize = 8;
constexpr int kPortDigits = 5;
// Rows the list shows at the window's first size, where the screen has the room.
constexpr int kListRowsWanted = 12;
// Rows it shows at least, however small the screen.
constexpr int kListRowsAtLeast = 3;

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
                   Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint);
    // Every size follows this font, so the window scales with the screen's
    // resolution and scale factor; FitToScreen sizes the window itself.
    QFont dialogFont = font();
    dialogFont.setPointSize(kFontPointSize);
    setFont(dialogFont);
    const QFontMetrics metrics(dialogFont);

    const auto label = [this](int id, const char* text) {
        auto* control = new QLabel(text, this);
        RegisterControl(id, control);
        return control;
    };
    const auto addressBox = [this, &metrics](int id) {
        auto* control = new CIpAddressEdit(this);
        // Three digits an octet, and room around each of them.
        control->setFixedWidth(metrics.horizontalAdvance("000.000.000.000") + 5 * metrics.averageCharWidth());
        RegisterControl(id, control);
        return control;
    };
    const auto portEdit = [this, &metrics](int id) {
        auto* control = new QLineEdit(this);
        control->setMaxLength(kPortDigits);
        control->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]*"), control));
        control->setFixedWidth(metrics.horizontalAdvance(QString(kPortDigits + 2, '0')) + 8);
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
    // Rows keep their height; a group's extra room stays under them.
    const auto endRows = [](QGridLayout* grid) { grid->setRowStretch(grid->rowCount(), 1); };

    // "Broadcast Parameters": receiving side, sending side, local interfaces.
    auto* receiverGroup = new QGroupBox("Receiver Details", this);
    auto* receiverGrid = new QGridLayout(receiverGroup);
    m_ctrlReceiveIp = addressBox(IDC_IPADDRESS_RECEIVE);
    m_ctrlReceivePort = portEdit(IDC_EDIT_RECEIVE_PORT);
    m_ctrlSegment = comboBox(IDC_COMBO_SEGMENT, {});
    m_ctrlSegment->setMinimumWidth(metrics.horizontalAdvance("0000000000"));
    row(receiverGrid, label(IDC_STATIC_RECEIVE_IP, "Receiver IP:"), m_ctrlReceiveIp);
    row(receiverGrid, label(IDC_STATIC_RECEIVE_PORT, "Receiver Port:"), m_ctrlReceivePort);
    row(receiverGrid, label(IDC_STATIC_SEGMENT, "Market Segment:"), m_ctrlSegment);
    // Shown, so that the operator can choose the conversion of a configuration.
    m_ctrlNmkt = comboBox(IDC_COMBO_NMKT, {"Y", "N"});
    row(receiverGrid, label(IDC_STATIC_NMKT, "New MKT Data:"), m_ctrlNmkt);
    endRows(receiverGrid);

    auto* senderGroup = new QGroupBox("Sender Details", this);
    auto* senderGrid = new QGridLayout(senderGroup);
    m_ctrlSendIp = addressBox(IDC_IPADDRESS_SEND);
    m_ctrlSendPort = portEdit(IDC_EDIT_SEND_PORT);
    row(senderGrid, label(IDC_STATIC_SEND_IP, "Sender IP:"), m_ctrlSendIp);
    row(senderGrid, label(IDC_STATIC_SEND_PORT, "Sender Port:"), m_ctrlSendPort);
    endRows(senderGrid);

    auto* interfaceGroup = new QGroupBox("IP Address", this);
    auto* interfaceGrid = new QGridLayout(interfaceGroup);
    m_ctrlHostSideIp = addressBox(IDC_IPADDRESS_HOST_SIDE);
    m_ctrlZentaSideIp = addressBox(IDC_IPADDRESS_ZENTA_SIDE);
    row(interfaceGrid, label(IDC_STATIC_HOST_SIDE_IP, "Local IP towards Host:"), m_ctrlHostSideIp);
    row(interfaceGrid, label(IDC_STATIC_ZENTA_SIDE_IP, "Local IP towards ZENTA:"), m_ctrlZentaSideIp);
    endRows(interfaceGrid);

    // Two columns of the same height, so that the form fits small screens.
    auto* parameters = new QGroupBox("Broadcast Parameters", this);
    RegisterControl(IDC_STATIC_PARAMETERS, parameters);
    auto* parameterGrid = new QGridLayout(parameters);
    parameterGrid->addWidget(receiverGroup, 0, 0, 2, 1);
    parameterGrid->addWidget(senderGroup, 0, 1);
    parameterGrid->addWidget(interfaceGroup, 1, 1);

    auto* buttons = m_buttonLayout = new QBoxLayout(QBoxLayout::TopToBottom);
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
    m_ctrlList->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);

    m_ctrlStatus = label(IDC_STATIC_STATUS, "");

    auto* top = m_topLayout = new QBoxLayout(QBoxLayout::LeftToRight);
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

void CKOVDlg::FitToScreen(const QRect& available)
{
    // The list wants its columns whole and a dozen rows, the rest of the
    // window what its layout asks; the screen may grant less. The title
    // bar and frame the window manager adds are not known before the
    // window is mapped: a font height or two leaves room for them.
    const int frameRoom = fontMetrics().height() * 2;
    const QSize room = available.size() - QSize(frameRoom / 2, frameRoom);
    // Buttons beside the form where the screen is wide enough, else under it.
    m_topLayout->setDirection(QBoxLayout::LeftToRight);
    m_buttonLayout->setDirection(QBoxLayout::TopToBottom);
    if (layout()->minimumSize().width() > room.width()) {
        m_topLayout->setDirection(QBoxLayout::TopToBottom);
        m_buttonLayout->setDirection(QBoxLayout::LeftToRight);
    }
    // The window's minimum size follows the layout only once it is worked out again.
    layout()->activate();

    const int rowHeight = m_ctrlList->verticalHeader()->defaultSectionSize();
    const int listFrame = 2 * m_ctrlList->frameWidth();
    const int listWidth = m_nListColumnsWidth + listFrame +
                          m_ctrlList->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, m_ctrlList);
    const int headerHeight = m_ctrlList->horizontalHeader()->sizeHint().height();
    m_ctrlList->setMinimumHeight(headerHeight + listFrame + kListRowsAtLeast * rowHeight);
    const QSize layoutWants = layout()->sizeHint();
    const int listGrows =
        std::max(0, headerHeight + listFrame + kListRowsWanted * rowHeight - m_ctrlList->sizeHint().height());
    const QMargins margins = layout()->contentsMargins();
    // Not the layout's width hint: the list's own is no measure of its columns.
    QSize wanted(std::max(m_topLayout->sizeHint().width(), listWidth) + margins.left() + margins.right(),
                 layoutWants.height() + listGrows);

    const QSize size = wanted.boundedTo(room).expandedTo(layout()->minimumSize());
    resize(size);
    move(available.center() - QPoint(size.width() / 2, (size.height() + frameRoom / 2) / 2));
}
