// The main window as it opens, its list rows, the form it fills and the checks it makes.
#include "console/ControlIds.h"
#include "console/IpAddressEdit.h"
#include "engine/BroadcastEngine.h"
#include "tests/console/ConsoleTestSupport.h"

#include <QComboBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTableWidget>
#include <QTest>

namespace {

constexpr int kFormInputs[] = {IDC_IPADDRESS_RECEIVE,   IDC_EDIT_RECEIVE_PORT, IDC_COMBO_SEGMENT,
                               IDC_IPADDRESS_SEND,      IDC_EDIT_SEND_PORT,    IDC_IPADDRESS_HOST_SIDE,
                               IDC_IPADDRESS_ZENTA_SIDE};
constexpr int kHiddenControls[] = {IDC_STATIC_CONFIG_ID,
                                   IDC_EDIT_CONFIG_ID,
                                   IDC_STATIC_ARCHIVE,
                                   IDC_COMBO_ARCHIVE,
                                   IDC_STATIC_RECEIVE_PROTOCOL,
                                   IDC_STATIC_SEND_PROTOCOL,
                                   IDC_COMBO_RECEIVE_PROTOCOL,
                                   IDC_COMBO_SEND_PROTOCOL,
                                   IDC_STATIC_RECEIVE_TYPE,
                                   IDC_STATIC_SEND_TYPE,
                                   IDC_COMBO_RECEIVE_TYPE,
                                   IDC_COMBO_SEND_TYPE,
                                   IDC_BUTTON_ADD_SEGMENT};

}  // namespace

class MainWindowTest : public QObject, WindowFixture {
    Q_OBJECT
private slots:
    void init() { Open(); }
    void cleanup() { Close(); }
    void opensWithNothingChosen();
    void inputBoxesTakeOnlyWhatFits();
    void storedLinesBecomeRowsWithEngines();
    void unusableLinesAreSkippedWhole();
    void selectionFillsTheForm();
    void validationReportsTheFirstProblemAndFocusesIt();
    void exitAsksBeforeEndingTheWindow();
};

void MainWindowTest::opensWithNothingChosen()
{
    CKOVDlg& window = *m_window;
    QCOMPARE(window.windowTitle(), "ORMA UDP Broadcast Server v4.02.00");
    QCOMPARE(window.size(), QSize(700, 515));
    const std::tuple<int, const char*, bool> buttons[] = {{IDC_BUTTON_ADD, "&Add", true},
                                                          {IDC_BUTTON_MODIFY, "&Modify", false},
                                                          {IDC_BUTTON_DELETE, "&Delete", false},
                                                          {IDC_BUTTON_START, "&Start", false},
                                                          {IDC_BUTTON_EXIT, "&Exit", true}};
    for (const auto& [id, caption, enabled] : buttons) {
        QCOMPARE(ButtonOf(window, id).text(), caption);
        QCOMPARE(ButtonOf(window, id).isEnabled(), enabled);
    }
    QVERIFY(ButtonOf(window, IDC_BUTTON_ADD).isDefault());
    for (const int id : kFormInputs)
        QVERIFY(window.GetDlgItem(id)->isVisible() && !window.GetDlgItem(id)->isEnabled());
    QVERIFY(window.GetDlgItem(IDC_COMBO_NMKT)->isVisible() && !window.GetDlgItem(IDC_COMBO_NMKT)->isEnabled());
    // A first start offers the five default segments.
    auto* segments = static_cast<QComboBox*>(window.GetDlgItem(IDC_COMBO_SEGMENT));
    QStringList offered;
    for (int i = 0; i < segments->count(); ++i)
        offered << segments->itemText(i);
    QCOMPARE(offered, QStringList({"QA", "QB", "QC", "QDLN", "QE"}));
    for (const int id : kHiddenControls)
        QVERIFY2(window.GetDlgItem(id)->isHidden(), qPrintable(QString::number(id)));

    QTableWidget& list = ListOf(window);
    const QStringList titles{"ID",        "Seg",       "Recv IP",   "Recv Port",        "Send IP",
                             "Send Port", "Pkts Recv", "Pkts Sent", "Connection Status"};
    const int widths[] = {25, 35, 85, 60, 85, 60, 65, 65, 103};
    QCOMPARE(list.columnCount(), 9);
    for (int column = 0; column < 9; ++column) {
        QCOMPARE(list.horizontalHeaderItem(column)->text(), titles[column]);
        QCOMPARE(list.horizontalHeaderItem(column)->textAlignment(), int(Qt::AlignCenter));
        QCOMPARE(list.columnWidth(column), widths[column]);
    }
    QCOMPARE(list.rowCount(), 0);
    QVERIFY(list.showGrid());
    QCOMPARE(list.selectionBehavior(), QAbstractItemView::SelectRows);
    QCOMPARE(list.palette().color(QPalette::Base), QColor(220, 255, 255));

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
    for (const auto& [id, text] : tips)
        QCOMPARE(window.GetDlgItem(id)->toolTip(), text);

    // An empty line, then the time stamped start-up line.
    QVERIFY(QRegularExpression("^\n\\d\\d:\\d\\d:\\d\\d ORMA UDP Broadcast Server has been Started\n$")
                .match(QString::fromStdString(m_log->Text()))
                .hasMatch());
    QVERIFY(m_prompter.Messages.empty());
}

void MainWindowTest::inputBoxesTakeOnlyWhatFits()
{
    m_window->EnableForm(true);
    for (const int id : {IDC_EDIT_RECEIVE_PORT, IDC_EDIT_SEND_PORT}) {
        auto* edit = static_cast<QLineEdit*>(m_window->GetDlgItem(id));
        edit->clear();
        QTest::keyClicks(edit, "12a-34 5678");
        QCOMPARE(edit->text(), "12345");
    }
    // Dots and full octets move on, a value above 255 is cut, empty octets read 0.
    auto* address = static_cast<CIpAddressEdit*>(m_window->GetDlgItem(IDC_IPADDRESS_RECEIVE));
    QCOMPARE(address->text(), "0.0.0.0");
    address->setFocus();
    QTest::keyClicks(nullptr, "10.1.999");
    QCOMPARE(address->text(), "10.1.255.0");
    address->setText("239.1.20.3");
    QCOMPARE(address->text(), "239.1.20.3");
}

void MainWindowTest::storedLinesBecomeRowsWithEngines()
{
    CKOVDlg& window = *m_window;
    QVERIFY(window.AddBroadcastFromLine(ConfigurationLine(4, "QB", "239.1.1.4", 10004, "239.2.1.4", 20004, "Y"),
                                        "198.18.0.2", "198.18.1.1"));
    // A line of eleven fields predates the NMKT flag.
    QVERIFY(window.AddBroadcastFromLine("2,QA,239.1.1.2,10002,UDP,UNICAST,239.2.1.2,20002,TCP,UNICAST,Y,", "198.18.0.9",
                                        "198.18.1.9"));
    window.OnTimer(REFRESH_TIMER_ID);

    const QStringList rows[] = {{"4", "QB", "239.1.1.4", "10004", "239.2.1.4", "20004", "0", "0", "Not Running"},
                                {"2", "QA", "239.1.1.2", "10002", "239.2.1.2", "20002", "0", "0", "Not Running"}};
    QCOMPARE(ListOf(window).rowCount(), 2);
    for (int row = 0; row < 2; ++row) {
        for (int column = 0; column < 9; ++column) {
            QCOMPARE(ItemText(window, row, column), rows[row][column]);
            QCOMPARE(ListOf(window).item(row, column)->textAlignment(), int(Qt::AlignCenter));
        }
    }
    const CKOVBCastEngine* first = window.GetEngineForRow(0);
    const CKOVBCastEngine* second = window.GetEngineForRow(1);
    QVERIFY(first && second);
    QCOMPARE(first->NmktFlag, 1);
    QCOMPARE(std::string(first->HostSideIp), "198.18.0.2");
    QCOMPARE(second->ConfigId, 2);
    QCOMPARE(second->NmktFlag, 0);
    QCOMPARE(std::string(second->ZentaSideIp), "198.18.1.9");
}

void MainWindowTest::unusableLinesAreSkippedWhole()
{
    CKOVDlg& window = *m_window;
    QVERIFY(window.AddBroadcastFromLine(ConfigurationLine(1, "QA", "239.1.1.1", 10001, "239.2.1.1", 20001), "", ""));
    const std::pair<std::string, std::string> skipped[] = {
        {"5,QA,239.1.1.5,10005,UDP,MULTICAST,239.2.1.5,20005,UDP,MULTICAST,",
         "it has 10 fields, at least 11 are needed."},
        {ConfigurationLine(1, "QB", "239.1.1.9", 10009, "239.2.1.9", 20009), "Config ID 1 is already listed."},
        {ConfigurationLine(2000000000, "QB", "239.1.1.9", 10009, "239.2.1.9", 20009),
         "Config ID 2000000000 is above the largest allowed, 99999."},
    };
    for (const auto& [line, reason] : skipped) {
        QVERIFY(!window.AddBroadcastFromLine(line, "", ""));
        QCOMPARE(m_log->CountLines("Stored configuration \"" + line + "\" skipped: " + reason), 1);
    }
    QCOMPARE(ListOf(window).rowCount(), 1);
    QCOMPARE(std::string(window.GetEngineForRow(0)->SegmentCode), "QA");
    QVERIFY(window.AddBroadcastFromLine(ConfigurationLine(3, "QC", "239.1.1.3", 10003, "239.2.1.3", 20003), "", ""));
    QCOMPARE(ItemText(window, 1, 0), "3");
    QVERIFY(m_prompter.Messages.empty());
}

void MainWindowTest::selectionFillsTheForm()
{
    CKOVDlg& window = *m_window;
    for (const auto& [id, segment, nmkt] : {std::tuple{1, "QA", "N"}, {2, "QB", "Y"}, {5, "QE", "N"}}) {
        const std::string n = std::to_string(id);
        window.AddBroadcastFromLine(
            ConfigurationLine(id, segment, "239.1.1." + n, 10000 + id, "239.2.1." + n, 20000 + id, nmkt),
            "198.18.0." + n, "198.18.1." + n);
    }

    ClickRow(window, 1);
    QCOMPARE(window.m_nConfigId, 2);
    const std::pair<int, const char*> shown[] = {
        {IDC_EDIT_CONFIG_ID, "2"}, {IDC_IPADDRESS_RECEIVE, "239.1.1.2"},     {IDC_EDIT_RECEIVE_PORT, "10002"},
        {IDC_COMBO_SEGMENT, "QB"}, {IDC_IPADDRESS_SEND, "239.2.1.2"},        {IDC_EDIT_SEND_PORT, "20002"},
        {IDC_COMBO_NMKT, "Y"},     {IDC_IPADDRESS_ZENTA_SIDE, "198.18.1.2"}, {IDC_COMBO_SEND_TYPE, "MULTICAST"},
    };
    for (const auto& [id, text] : shown)
        QCOMPARE(ControlText(window, id), text);
    QCOMPARE(ButtonOf(window, IDC_BUTTON_START).text(), "&Start");
    for (const int id : {IDC_BUTTON_START, IDC_BUTTON_MODIFY, IDC_BUTTON_DELETE})
        QVERIFY(ButtonOf(window, id).isEnabled());
    // The form shows the configuration but stays read-only.
    QVERIFY(!window.GetDlgItem(IDC_IPADDRESS_RECEIVE)->isEnabled());

    // The keyboard moves the selection like a click.
    QTest::keyClick(&ListOf(window), Qt::Key_Down);
    QCOMPARE(window.m_nConfigId, 5);
    QCOMPARE(ControlText(window, IDC_COMBO_SEGMENT), "QE");
    QCOMPARE(ControlText(window, IDC_IPADDRESS_HOST_SIDE), "198.18.0.5");

    // A click below the last row chooses nothing and changes nothing.
    QTableWidget& list = ListOf(window);
    QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, QPoint(10, list.viewport()->height() - 5));
    QCOMPARE(window.GetSelectedRow(), -1);
    QCOMPARE(ControlText(window, IDC_EDIT_SEND_PORT), "20005");
    QVERIFY(ButtonOf(window, IDC_BUTTON_START).isEnabled());
    QVERIFY(m_prompter.Messages.empty());
}

void MainWindowTest::validationReportsTheFirstProblemAndFocusesIt()
{
    CKOVDlg& window = *m_window;
    window.EnableForm(true);
    QVERIFY(window.ValidateConfiguration("239.1.1.1", 1, "QA", "239.2.1.1", 2, "198.18.0.2", "198.18.1.1"));
    const char* const messages[] = {"Receiver IP Can not be zero or blank.",
                                    "Receiver Port Can not be zero.",
                                    "Market Segment Can not be empty.",
                                    "Sender IP Can not be zero or blank.",
                                    "Sender Port Can not be zero.",
                                    "Local IP towards Host Can not be zero or blank.",
                                    "Local IP towards ZENTA Can not be zero or blank."};
    // Every value from the first broken one on is broken: only the first is reported.
    for (int first = 0; first < 7; ++first) {
        m_prompter.Messages.clear();
        const auto ok = [first](int index) { return index < first; };
        QCOMPARE(window.ValidateConfiguration(ok(0) ? "239.1.1.1" : "0.0.0.0", ok(1) ? 1 : 0, ok(2) ? "QA" : "",
                                              ok(3) ? "239.2.1.1" : "0.0.0.0", ok(4) ? 2 : 0,
                                              ok(5) ? "198.18.0.2" : "0.0.0.0", ok(6) ? "198.18.1.1" : "0.0.0.0"),
                 0);
        QCOMPARE(m_prompter.Messages, std::vector<std::string>{messages[first]});
        QVERIFY2(window.GetDlgItem(kFormInputs[first])->hasFocus(), messages[first]);
    }
}

void MainWindowTest::exitAsksBeforeEndingTheWindow()
{
    CKOVDlg& window = *m_window;
    const std::string question = "This will disconnect all the broadcast connections.\nAre you sure?";
    window.close();
    QTest::keyClick(&window, Qt::Key_Escape);
    QCOMPARE(m_prompter.Messages, std::vector<std::string>{question});
    QVERIFY(window.isVisible());
    QCOMPARE(m_log->CountLines("has been Closed"), 0);

    m_prompter.Answers = {true};
    QTest::mouseClick(&ButtonOf(window, IDC_BUTTON_EXIT), Qt::LeftButton);
    QVERIFY(!window.isVisible());
    QCOMPARE(m_log->CountLines(" ORMA UDP Broadcast Server has been Closed"), 1);
}

QTEST_MAIN(MainWindowTest)
#include "MainWindowTest.moc"
