// The broadcast list: its rows and engines, the selection and the refresh.
#include "console/KOVDlg.h"

#include "config/BroadcastConfig.h"
#include "config/ConfigurationRules.h"
#include "config/FieldList.h"
#include "console/ControlIds.h"
#include "console/ListLayout.h"
#include "console/ListTexts.h"
#include "log/EventLog.h"

#include <QApplication>
#include <QClipboard>
#include <QHeaderView>
#include <QLabel>
#include <QTableWidget>

#include <algorithm>

namespace {

struct ListColumn {
    const char* Title;
    int Width;            // at 96 dpi and a scale of 1
    const char* Longest;  // the widest text it must show whole
};
constexpr ListColumn kColumns[] = {
    {"ID", 25, "99999"},
    {"Seg", 35, "WWWW"},
    {"Recv IP", 85, "255.255.255.255"},
    {"Recv Port", 60, "65535"},
    {"Send IP", 85, "255.255.255.255"},
    {"Send Port", 60, "65535"},
    {"Pkts Recv", 65, "4294967295"},
    {"Pkts Sent", 65, "4294967295"},
    {"Connection Status", 103, "Receive Connect Error"},
};
static_assert(kMaxSegmentCodeLength == 4, "the Seg column's longest text has that many letters");
constexpr int kColumnPacketsReceived = 6;
constexpr int kColumnPacketsSent = 7;
constexpr int kColumnStatus = 8;

const QColor kListColour(220, 255, 255);

}  // namespace

void CKOVDlg::InitBroadcastList()
{
    QTableWidget& list = *m_ctrlList;
    list.setColumnCount(std::size(kColumns));
    const int dpi = list.logicalDpiX();
    const QFontMetrics cells = list.fontMetrics();
    for (int column = 0; column < list.columnCount(); ++column) {
        const ListColumn& format = kColumns[column];
        auto* title = new QTableWidgetItem(format.Title);
        title->setTextAlignment(Qt::AlignCenter);
        list.setHorizontalHeaderItem(column, title);
        const int textWidth = std::max(cells.horizontalAdvance(format.Longest) + ListCellPadding(list),
                                       list.horizontalHeader()->sectionSizeHint(column));
        list.setColumnWidth(column, ListColumnWidth(format.Width, dpi, textWidth));
        m_nListColumnsWidth += list.columnWidth(column);
    }
    // Any room the window has beyond the columns goes to the status.
    list.horizontalHeader()->setStretchLastSection(true);
    list.horizontalHeader()->setHighlightSections(false);
    list.verticalHeader()->hide();
    list.verticalHeader()->setDefaultSectionSize(list.fontMetrics().height() + 4);
    list.setShowGrid(true);
    list.setSelectionBehavior(QAbstractItemView::SelectRows);
    list.setSelectionMode(QAbstractItemView::ExtendedSelection);
    list.setEditTriggers(QAbstractItemView::NoEditTriggers);
    list.setWordWrap(false);
    QPalette colours = list.palette();
    colours.setColor(QPalette::Base, kListColour);
    list.setPalette(colours);

    LoadConfigurations();
    list.setFocus();
    OnTimer(REFRESH_TIMER_ID);
}

bool CKOVDlg::AddBroadcastFromLine(const std::string& line, const std::string& hostSideIp,
                                   const std::string& zentaSideIp)
{
    KOV_BCAST_CONFIG configuration;
    std::string reason;
    if (ParseConfigurationRow(line, configuration, reason) && EngineForConfigId(configuration.ConfigId))
        reason = FormatText("Config ID %d is already listed", configuration.ConfigId);
    if (!reason.empty()) {
        LogEvent("%s Stored configuration \"%s\" skipped: %s.", LocalTimeText().c_str(), line.c_str(), reason.c_str());
        return false;
    }

    configuration.HostSideIp = hostSideIp;
    configuration.ZentaSideIp = zentaSideIp;
    m_nLastConfigId = configuration.ConfigId;
    AddBroadcast(configuration);
    return true;
}

void CKOVDlg::AddBroadcast(const KOV_BCAST_CONFIG& configuration)
{
    const auto slot = static_cast<size_t>(configuration.ConfigId);
    AppendListRow(ListRowTexts(configuration));
    if (slot >= m_arrEngines.size())
        m_arrEngines.resize(slot + 1);
    m_arrEngines[slot] = std::make_unique<CKOVBCastEngine>(configuration, this);
}

int CKOVDlg::AppendListRow(const std::array<std::string, 6>& texts)
{
    const int row = m_ctrlList->rowCount();
    m_ctrlList->insertRow(row);
    for (int column = 0; column < m_ctrlList->columnCount(); ++column) {
        auto* item = new QTableWidgetItem;
        item->setTextAlignment(Qt::AlignCenter);
        m_ctrlList->setItem(row, column, item);
    }
    SetListRowTexts(row, texts);
    return row;
}

void CKOVDlg::SetListRowTexts(int row, const std::array<std::string, 6>& texts)
{
    for (size_t column = 0; column < texts.size(); ++column) {
        // A text the column cuts is read whole in the tool tip.
        const QString text = QString::fromStdString(texts[column]);
        SetItemText(row, static_cast<int>(column), text, text);
    }
}

void CKOVDlg::SetItemText(int row, int column, const QString& text, const QString& toolTip)
{
    QTableWidgetItem* item = m_ctrlList->item(row, column);
    if (!item)
        return;
    if (item->text() != text)
        item->setText(text);
    if (item->toolTip() != toolTip)
        item->setToolTip(toolTip);
}

std::vector<std::string> CKOVDlg::ListColumnTexts(int column) const
{
    std::vector<std::string> texts;
    for (int row = 0; row < m_ctrlList->rowCount(); ++row) {
        const QTableWidgetItem* item = m_ctrlList->item(row, column);
        texts.push_back(item ? item->text().toStdString() : std::string());
    }
    return texts;
}

int CKOVDlg::GetSelectedRow() const
{
    int first = -1;
    for (const QModelIndex& index : m_ctrlList->selectionModel()->selectedRows()) {
        if (first < 0 || index.row() < first)
            first = index.row();
    }
    return first;
}

CKOVBCastEngine* CKOVDlg::GetEngineForRow(int row) const
{
    const QTableWidgetItem* idItem = m_ctrlList->item(row, 0);
    if (!idItem)
        return nullptr;
    return EngineForConfigId(ParseDecimal(idItem->text().toStdString()));
}

CKOVBCastEngine* CKOVDlg::EngineForConfigId(int configId) const
{
    if (configId < 0 || static_cast<size_t>(configId) >= m_arrEngines.size())
        return nullptr;
    return m_arrEngines[static_cast<size_t>(configId)].get();
}

void CKOVDlg::OnListClick()
{
    // While a configuration is being added or modified the form holds the
    // operator's typing and the buttons say Save and Cancel: leave both.
    if (m_bAddMode || m_bModifyMode)
        return;
    const int row = GetSelectedRow();
    if (row < 0 || row >= m_ctrlList->rowCount())
        return;
    FillFormFromConfiguration();
    UpdateStartStopButton(row);
}

void CKOVDlg::OnListItemChanged()
{
    ReplayListClick();
}

void CKOVDlg::ReplayListClick()
{
    if (!m_bClosing)
        OnListClick();
}

void CKOVDlg::OnTimer(int /*timerId*/)
{
    for (int row = 0; row < m_ctrlList->rowCount(); ++row) {
        const CKOVBCastEngine* engine = GetEngineForRow(row);
        if (!engine)
            continue;
        const QString sent = QString::number(engine->GetSentCount());
        const QString received = QString::number(engine->GetReceivedCount());
        SetItemText(row, kColumnPacketsSent, sent, sent);
        SetItemText(row, kColumnPacketsReceived, received, received);
        const CKOVBCastEngine::RELAY_STATE state = engine->GetState();
        const uint64_t failedSends = engine->GetFailedSendCount();
        SetItemText(row, kColumnStatus, QString::fromStdString(StatusCellText(state, failedSends)),
                    QString::fromStdString(StatusCellToolTip(state, failedSends, engine->GetStatusReason())));
    }

    // Datagrams lost before any relay could read them: the desk should know.
    uint64_t dropped = 0;
    for (const std::unique_ptr<CKOVBCastEngine>& engine : m_arrEngines) {
        if (engine && engine->IsRunning())
            dropped += engine->GetDroppedCount();
    }
    const QString status = QString::fromStdString(StatusLineText(dropped, m_strLogProblem));
    if (m_ctrlStatus->text() != status)
        m_ctrlStatus->setText(status);
    ShowIfUnreachable();
}

void CKOVDlg::CopySelectedRows()
{
    QStringList lines;
    for (int row = 0; row < m_ctrlList->rowCount(); ++row) {
        if (!m_ctrlList->selectionModel()->isRowSelected(row))
            continue;
        QStringList cells;
        for (int column = 0; column < m_ctrlList->columnCount(); ++column)
            cells << m_ctrlList->item(row, column)->text();
        lines << cells.join('\t');
    }
    if (!lines.isEmpty())
        QApplication::clipboard()->setText(lines.join('\n') + '\n');
}
