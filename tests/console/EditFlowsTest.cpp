// Adding, modifying and deleting configurations through the real window,
// what the store holds after each flow, and a restart of the window.
#include "config/PersistedSettings.h"
#include "console/ControlIds.h"
#include "console/IpAddressEdit.h"
#include "engine/BroadcastEngine.h"
#include "log/EventLog.h"
#include "tests/console/ConsoleTestSupport.h"
#include "tests/support/TestNetwork.h"

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>

namespace {

const char* const kHost = TestNetwork::kHostSideIp;
const char* const kZenta = TestNetwork::kZentaSideIp;
const std::string kDeleteQuestion = "This will make selected record to delete permanently.\nAre you sure?";

// Stores the rows with the test network's local addresses.
void StoreConfigurations(const std::vector<std::string>& rows, const std::string& autoStart = "")
{
    std::vector<StoredValue> values{{"Record Count", std::to_string(rows.size())}};
    for (size_t i = 0; i < rows.size(); ++i)
        values.push_back({std::to_string(i), rows[i]});
    values.insert(values.end(), {{"Host Side IP", kHost}, {"Zenta Side IP", kZenta}, {"Auto Start", autoStart}});
    ScopedSettingsStore::Store(kConfigurationKey, values);
}

std::string StoredText(const char* name)
{
    return ScopedSettingsStore::Read(kConfigurationKey, name);
}

// Rows "0" to "Record Count" - 1.
std::vector<std::string> StoredRows()
{
    std::vector<std::string> rows;
    const int count = std::stoi("0" + StoredText("Record Count"));
    for (int i = 0; i < count; ++i)
        rows.push_back(StoredText(std::to_string(i).c_str()));
    return rows;
}

void Click(CKOVDlg& window, int id)
{
    QTest::mouseClick(&ButtonOf(window, id), Qt::LeftButton);
}

QComboBox& Combo(CKOVDlg& window, int id)
{
    return *static_cast<QComboBox*>(window.GetDlgItem(id));
}

// As the operator's choice in the drop-down list.
void ChooseSegment(CKOVDlg& window, const QString& name)
{
    QComboBox& box = Combo(window, IDC_COMBO_SEGMENT);
    const int index = box.findText(name);
    QVERIFY2(index >= 0, qPrintable(name));
    box.setCurrentIndex(index);
    emit box.activated(index);
}

void SetText(CKOVDlg& window, int id, const QString& text)
{
    if (auto* address = qobject_cast<CIpAddressEdit*>(window.GetDlgItem(id)))
        address->setText(text);
    else
        static_cast<QLineEdit*>(window.GetDlgItem(id))->setText(text);
}

// Fills the form for a configuration sending to 239.2.1.<n>:sendPort.
void FillForm(CKOVDlg& window, int n, const QString& segment, int sendPort)
{
    SetText(window, IDC_IPADDRESS_RECEIVE, QString("239.1.1.%1").arg(n));
    SetText(window, IDC_EDIT_RECEIVE_PORT, QString::number(10000 + n));
    ChooseSegment(window, segment);
    SetText(window, IDC_IPADDRESS_SEND, QString("239.2.1.%1").arg(n));
    SetText(window, IDC_EDIT_SEND_PORT, QString::number(sendPort));
    SetText(window, IDC_IPADDRESS_HOST_SIDE, kHost);
    SetText(window, IDC_IPADDRESS_ZENTA_SIDE, kZenta);
}

std::string Row(int id, const std::string& segment, int n, int sendPort, const char* archive = "Y",
                const char* nmkt = "N")
{
    return FormatText("%d,%s,239.1.1.%d,%d,UDP,MULTICAST,239.2.1.%d,%d,UDP,MULTICAST,%s,%s,", id, segment.c_str(), n,
                      10000 + n, n, sendPort, archive, nmkt);
}

QStringList ListIds(CKOVDlg& window)
{
    QStringList ids;
    for (int row = 0; row < ListOf(window).rowCount(); ++row)
        ids << ItemText(window, row, 0);
    return ids;
}

bool FormIsEnabled(CKOVDlg& window)
{
    return window.GetDlgItem(IDC_IPADDRESS_RECEIVE)->isEnabled() && window.GetDlgItem(IDC_COMBO_NMKT)->isEnabled();
}

}  // namespace

class EditFlowsTest : public QObject, WindowFixture {
    Q_OBJECT
private slots:
    void init() { OpenStore(); }
    void cleanup() { Close(); }
    void addOnAnEmptyListAfterACancel();
    void refusalsKeepTheAddModeAndFocusTheBox();
    void configIdsAfterDeletingTheLastAndAMiddleRow();
    void deletingTheOnlyRowEmptiesTheForm();
    void sendingPortIsSharedWithinASegmentOnly();
    void modifyChangesTheRowTheEngineAndTheStore();
    void segmentChoiceSetsArchiveAndProposesItsPort();
    void restartStartsWhatRanAtExit();
};

void EditFlowsTest::addOnAnEmptyListAfterACancel()
{
    OpenWindow();
    CKOVDlg& window = *m_window;
    Click(window, IDC_BUTTON_ADD);
    QCOMPARE(ButtonOf(window, IDC_BUTTON_START).text(), "&Save");
    QCOMPARE(ButtonOf(window, IDC_BUTTON_ADD).text(), "&Cancel");
    QVERIFY(ButtonOf(window, IDC_BUTTON_START).isEnabled());
    QVERIFY(!ButtonOf(window, IDC_BUTTON_MODIFY).isEnabled() && !ButtonOf(window, IDC_BUTTON_DELETE).isEnabled());
    QVERIFY(!ListOf(window).isEnabled());
    QVERIFY(FormIsEnabled(window));
    QCOMPARE(window.m_nConfigId, 1);
    QCOMPARE(ControlText(window, IDC_COMBO_NMKT), "N");
    QCOMPARE(ControlText(window, IDC_IPADDRESS_RECEIVE), "0.0.0.0");

    // Cancel stores the (empty) list and gives the raised ID back.
    Click(window, IDC_BUTTON_ADD);
    QCOMPARE(ButtonOf(window, IDC_BUTTON_ADD).text(), "&Add");
    QCOMPARE(ButtonOf(window, IDC_BUTTON_START).text(), "&Start");
    QVERIFY(!ButtonOf(window, IDC_BUTTON_START).isEnabled());
    QVERIFY(!FormIsEnabled(window));
    QCOMPARE(StoredText("Record Count"), "0");
    Click(window, IDC_BUTTON_ADD);
    QCOMPARE(window.m_nConfigId, 1);

    FillForm(window, 1, "QA", 20001);
    Click(window, IDC_BUTTON_START);
    QCOMPARE(ListIds(window), QStringList{"1"});
    const QStringList texts{"1", "QA", "239.1.1.1", "10001", "239.2.1.1", "20001"};
    for (int column = 0; column < texts.size(); ++column)
        QCOMPARE(ItemText(window, 0, column), texts[column]);
    QCOMPARE(m_log->CountLines(" Config ID 1 is Added. Recvr IP: 239.1.1.1, Recvr PORT: 10001, Sender IP: 239.2.1.1, "
                               "Sender PORT: 20001, Segment: QA, NMKT: N"),
             1);
    // The first configuration of its segment gets archive "Y".
    QCOMPARE(StoredRows(), std::vector<std::string>{Row(1, "QA", 1, 20001)});
    QCOMPARE(StoredText("Host Side IP"), kHost);
    QCOMPARE(StoredText("Zenta Side IP"), kZenta);
    QCOMPARE(window.GetEngineForRow(0)->IsRunning(), 0);

    QCOMPARE(ButtonOf(window, IDC_BUTTON_ADD).text(), "&Add");
    QCOMPARE(ButtonOf(window, IDC_BUTTON_START).text(), "&Start");
    for (const int id : {IDC_BUTTON_START, IDC_BUTTON_MODIFY, IDC_BUTTON_DELETE})
        QVERIFY(!ButtonOf(window, id).isEnabled());
    QVERIFY(ListOf(window).isEnabled());
    QVERIFY(!FormIsEnabled(window));
    QCOMPARE(ControlText(window, IDC_IPADDRESS_SEND), "0.0.0.0");
    QVERIFY(m_prompter.Messages.empty());

    // The next one chooses conversion.
    Click(window, IDC_BUTTON_ADD);
    FillForm(window, 2, "QB", 20002);
    Combo(window, IDC_COMBO_NMKT).setCurrentText("Y");
    Click(window, IDC_BUTTON_START);
    QCOMPARE(m_log->CountLines(" Config ID 2 is Added. Recvr IP: 239.1.1.2, Recvr PORT: 10002, Sender IP: 239.2.1.2, "
                               "Sender PORT: 20002, Segment: QB, NMKT: Y"),
             1);
    QCOMPARE(window.GetEngineForRow(1)->NmktFlag, 1);
    QCOMPARE(StoredRows(), (std::vector<std::string>{Row(1, "QA", 1, 20001), Row(2, "QB", 2, 20002, "Y", "Y")}));
}

void EditFlowsTest::refusalsKeepTheAddModeAndFocusTheBox()
{
    // An auto start list naming no configuration starts nothing.
    StoreConfigurations({Row(1, "QA", 1, 20001)}, "9,");
    OpenWindow();
    CKOVDlg& window = *m_window;
    Click(window, IDC_BUTTON_ADD);
    const auto refused = [&](const std::string& message, int focus) {
        QCOMPARE(m_prompter.Messages, std::vector<std::string>{message});
        m_prompter.Messages.clear();
        QWidget* box = window.GetDlgItem(focus);
        QVERIFY2(box->hasFocus() || box->isAncestorOf(QApplication::focusWidget()), message.c_str());
        QCOMPARE(ButtonOf(window, IDC_BUTTON_START).text(), "&Save");
        QCOMPARE(ListOf(window).rowCount(), 1);
    };

    // With the Receiver IP blank and the port 0 only the first is reported.
    Click(window, IDC_BUTTON_START);
    refused("Receiver IP Can not be zero or blank.", IDC_IPADDRESS_RECEIVE);
    FillForm(window, 2, "QB", 20002);
    SetText(window, IDC_EDIT_RECEIVE_PORT, "0");
    Click(window, IDC_BUTTON_START);
    refused("Receiver Port Can not be zero.", IDC_EDIT_RECEIVE_PORT);
    SetText(window, IDC_EDIT_RECEIVE_PORT, "");
    Click(window, IDC_BUTTON_START);
    refused("Please enter a whole number in the Receiver Port box.", IDC_EDIT_RECEIVE_PORT);
    SetText(window, IDC_EDIT_RECEIVE_PORT, "10002");
    SetText(window, IDC_EDIT_SEND_PORT, "20001");
    Click(window, IDC_BUTTON_START);
    refused("Sending Port already used.", IDC_EDIT_SEND_PORT);

    // Nothing was stored: the auto start list is still there.
    QCOMPARE(StoredText("Auto Start"), "9,");
    QCOMPARE(m_log->CountLines("is Added."), 0);
    // A five-digit port beyond the 16-bit range is taken as typed.
    SetText(window, IDC_EDIT_SEND_PORT, "99999");
    Click(window, IDC_BUTTON_START);
    QVERIFY(m_prompter.Messages.empty());
    QCOMPARE(StoredRows(), (std::vector<std::string>{Row(1, "QA", 1, 20001), Row(2, "QB", 2, 99999)}));
    QCOMPARE(StoredText("Auto Start"), "");
}

void EditFlowsTest::configIdsAfterDeletingTheLastAndAMiddleRow()
{
    StoreConfigurations({Row(1, "QA", 1, 20001), Row(2, "QB", 2, 20002), Row(3, "QC", 3, 20003)});
    OpenWindow();
    CKOVDlg& window = *m_window;
    // The button is disabled until a row is chosen; the handler still refuses.
    window.OnDelete();
    QCOMPARE(m_prompter.Messages, std::vector<std::string>{"Select Any Record"});

    ClickRow(window, 2);
    m_prompter.Answers = {false};
    Click(window, IDC_BUTTON_DELETE);
    QCOMPARE(m_prompter.Messages, (std::vector<std::string>{"Select Any Record", kDeleteQuestion}));
    QCOMPARE(ListIds(window), (QStringList{"1", "2", "3"}));
    QCOMPARE(m_log->CountLines("Deleted"), 0);

    m_prompter.Answers = {true};
    Click(window, IDC_BUTTON_DELETE);
    QCOMPARE(ListIds(window), (QStringList{"1", "2"}));
    QCOMPARE(m_log->CountLines(" Config ID 3 has been Deleted Successfully."), 1);
    // The first row is chosen and the form is empty; the store learns of it with the next save.
    QCOMPARE(window.GetSelectedRow(), 0);
    QCOMPARE(window.m_nConfigId, 0);
    QCOMPARE(ControlText(window, IDC_IPADDRESS_RECEIVE), "0.0.0.0");
    QCOMPARE(StoredRows().size(), size_t{3});

    // The last row's ID is free again.
    Click(window, IDC_BUTTON_ADD);
    FillForm(window, 4, "QE", 20004);
    Click(window, IDC_BUTTON_START);
    QCOMPARE(ListIds(window), (QStringList{"1", "2", "3"}));
    QCOMPARE(StoredRows(), (std::vector<std::string>{Row(1, "QA", 1, 20001), Row(2, "QB", 2, 20002),
                                                     Row(3, "QE", 4, 20004)}));

    // A gap in the middle stays.
    ClickRow(window, 1);
    m_prompter.Answers = {true};
    Click(window, IDC_BUTTON_DELETE);
    QCOMPARE(m_log->CountLines(" Config ID 2 has been Deleted Successfully."), 1);
    Click(window, IDC_BUTTON_ADD);
    FillForm(window, 5, "QB", 20005);
    Click(window, IDC_BUTTON_START);
    QCOMPARE(ListIds(window), (QStringList{"1", "3", "4"}));
    QCOMPARE(StoredRows(), (std::vector<std::string>{Row(1, "QA", 1, 20001), Row(3, "QE", 4, 20004),
                                                     Row(4, "QB", 5, 20005)}));
    QCOMPARE(m_prompter.Messages, (std::vector<std::string>{"Select Any Record", kDeleteQuestion, kDeleteQuestion,
                                                            kDeleteQuestion}));
}

void EditFlowsTest::deletingTheOnlyRowEmptiesTheForm()
{
    StoreConfigurations({Row(7, "QA", 1, 20001)});
    OpenWindow();
    CKOVDlg& window = *m_window;
    ClickRow(window, 0);
    QCOMPARE(ControlText(window, IDC_EDIT_SEND_PORT), "20001");
    m_prompter.Answers = {true};
    Click(window, IDC_BUTTON_DELETE);
    QCOMPARE(ListOf(window).rowCount(), 0);
    QCOMPARE(m_log->CountLines(" Config ID 7 has been Deleted Successfully."), 1);
    for (const int id : {IDC_BUTTON_START, IDC_BUTTON_MODIFY, IDC_BUTTON_DELETE})
        QVERIFY(!ButtonOf(window, id).isEnabled());
    QCOMPARE(ControlText(window, IDC_EDIT_SEND_PORT), "0");
    QCOMPARE(ControlText(window, IDC_COMBO_SEGMENT), "");
    QVERIFY(!window.GetEngineForRow(0));

    m_prompter.Messages.clear();
    window.OnDelete();
    window.OnModify();
    QCOMPARE(m_prompter.Messages, (std::vector<std::string>{"No records.", "No records."}));
    // Exit stores the empty list.
    m_prompter.Answers = {true};
    Click(window, IDC_BUTTON_EXIT);
    QCOMPARE(StoredText("Record Count"), "0");
}

void EditFlowsTest::sendingPortIsSharedWithinASegmentOnly()
{
    StoreConfigurations({Row(1, "QA", 1, 5000), Row(2, "QB", 2, 6000)});
    OpenWindow();
    CKOVDlg& window = *m_window;

    Click(window, IDC_BUTTON_ADD);
    FillForm(window, 3, "QA", 5000);
    Click(window, IDC_BUTTON_START);
    QCOMPARE(ListIds(window), (QStringList{"1", "2", "3"}));
    Click(window, IDC_BUTTON_ADD);
    FillForm(window, 4, "QB", 5000);
    Click(window, IDC_BUTTON_START);
    QCOMPARE(m_prompter.Messages, std::vector<std::string>{"Sending Port already used."});
    Click(window, IDC_BUTTON_ADD);

    // A configuration keeps its own port.
    ClickRow(window, 0);
    Click(window, IDC_BUTTON_MODIFY);
    Click(window, IDC_BUTTON_START);
    QCOMPARE(m_log->CountLines(" Config ID 1 is Modified. Recvr IP: 239.1.1.1, Recvr PORT: 10001, Sender IP: 239.2.1.1, "
                               "Sender PORT: 5000, Segment: QA, NMKT: N"),
             1);

    // QB may not take QA's port, nor may QA take QB's.
    ClickRow(window, 1);
    Click(window, IDC_BUTTON_MODIFY);
    SetText(window, IDC_EDIT_SEND_PORT, "5000");
    Click(window, IDC_BUTTON_START);
    ClickRow(window, 2);  // the list is locked while the mode lasts
    Click(window, IDC_BUTTON_MODIFY);
    QCOMPARE(window.m_nConfigId, 2);
    ClickRow(window, 2);
    Click(window, IDC_BUTTON_MODIFY);
    SetText(window, IDC_EDIT_SEND_PORT, "6000");
    Click(window, IDC_BUTTON_START);
    QCOMPARE(m_prompter.Messages, std::vector<std::string>(3, "Sending Port already used."));
    QCOMPARE(ButtonOf(window, IDC_BUTTON_START).text(), "&Save");
    QCOMPARE(window.GetEngineForRow(2)->SendPort, 5000);
    QCOMPARE(m_log->CountLines("is Modified."), 1);
}

void EditFlowsTest::modifyChangesTheRowTheEngineAndTheStore()
{
    StoreConfigurations({Row(1, "QA", 1, 20001), Row(2, "QB", 2, 20002)}, "");
    OpenWindow();
    CKOVDlg& window = *m_window;
    window.OnModify();
    QCOMPARE(m_prompter.Messages, std::vector<std::string>{"Select Any Record"});

    ClickRow(window, 1);
    Click(window, IDC_BUTTON_MODIFY);
    QCOMPARE(ButtonOf(window, IDC_BUTTON_MODIFY).text(), "&Cancel");
    QCOMPARE(ButtonOf(window, IDC_BUTTON_START).text(), "&Save");
    QVERIFY(!ButtonOf(window, IDC_BUTTON_ADD).isEnabled() && !ButtonOf(window, IDC_BUTTON_DELETE).isEnabled());
    QVERIFY(!ListOf(window).isEnabled());
    QVERIFY(FormIsEnabled(window));
    QVERIFY(ButtonOf(window, IDC_BUTTON_MODIFY).hasFocus());
    QCOMPARE(ControlText(window, IDC_EDIT_RECEIVE_PORT), "10002");

    SetText(window, IDC_EDIT_RECEIVE_PORT, "10222");
    SetText(window, IDC_IPADDRESS_HOST_SIDE, "198.18.0.9");
    Combo(window, IDC_COMBO_NMKT).setCurrentText("Y");
    Click(window, IDC_BUTTON_START);
    QCOMPARE(ItemText(window, 1, 3), "10222");
    const CKOVBCastEngine& engine = *window.GetEngineForRow(1);
    QCOMPARE(engine.ReceivePort, 10222);
    QCOMPARE(engine.NmktFlag, 1);
    QCOMPARE(std::string(engine.HostSideIp), "198.18.0.9");
    QCOMPARE(m_log->CountLines(" Config ID 2 is Modified. Recvr IP: 239.1.1.2, Recvr PORT: 10222, Sender IP: "
                               "239.2.1.2, Sender PORT: 20002, Segment: QB, NMKT: Y"),
             1);
    // The modified row is the last, so its addresses are the stored pair.
    QCOMPARE(StoredRows()[1], "2,QB,239.1.1.2,10222,UDP,MULTICAST,239.2.1.2,20002,UDP,MULTICAST,Y,Y,");
    QCOMPARE(StoredText("Host Side IP"), "198.18.0.9");
    QCOMPARE(ButtonOf(window, IDC_BUTTON_MODIFY).text(), "&Modify");
    QVERIFY(ButtonOf(window, IDC_BUTTON_ADD).isEnabled() && ButtonOf(window, IDC_BUTTON_DELETE).isEnabled());
    QVERIFY(ListOf(window).isEnabled());
    QVERIFY(!FormIsEnabled(window));

    // Cancel shows the stored values again and changes nothing.
    Click(window, IDC_BUTTON_MODIFY);
    SetText(window, IDC_EDIT_RECEIVE_PORT, "333");
    Click(window, IDC_BUTTON_MODIFY);
    QCOMPARE(ControlText(window, IDC_EDIT_RECEIVE_PORT), "10222");
    QCOMPARE(engine.ReceivePort, 10222);
    QCOMPARE(StoredRows()[1], "2,QB,239.1.1.2,10222,UDP,MULTICAST,239.2.1.2,20002,UDP,MULTICAST,Y,Y,");
    QCOMPARE(m_log->CountLines("is Modified."), 1);
}

void EditFlowsTest::segmentChoiceSetsArchiveAndProposesItsPort()
{
    // Eight segments are kept as stored; three of them are not offered.
    const char* const names[] = {"QA", "QB", "QHO", "QC", "QDLN", "QFXD", "QE", "QGMS"};
    std::vector<StoredValue> segments{{"Segment Count", "8"}};
    for (int i = 0; i < 8; ++i)
        segments.push_back({std::to_string(i), FormatText("%d,%s,,,,%s,", i, names[i], i == 1 ? "7100" : "")});
    ScopedSettingsStore::Store(kSegmentKey, segments);
    StoreConfigurations({Row(1, "QB", 1, 20001)});
    OpenWindow();
    CKOVDlg& window = *m_window;
    QComboBox& box = Combo(window, IDC_COMBO_SEGMENT);
    QStringList offered;
    for (int i = 0; i < box.count(); ++i)
        offered << box.itemText(i);
    QCOMPARE(offered, (QStringList{"QA", "QB", "QC", "QDLN", "QE"}));

    Click(window, IDC_BUTTON_ADD);
    ChooseSegment(window, "QB");
    QCOMPARE(ControlText(window, IDC_COMBO_ARCHIVE), "N");
    QCOMPARE(ControlText(window, IDC_EDIT_SEND_PORT), "7100");
    // A segment without a port leaves the box as it is.
    ChooseSegment(window, "QA");
    QCOMPARE(ControlText(window, IDC_COMBO_ARCHIVE), "Y");
    QCOMPARE(ControlText(window, IDC_EDIT_SEND_PORT), "7100");
    FillForm(window, 2, "QA", 20002);
    Click(window, IDC_BUTTON_START);
    Click(window, IDC_BUTTON_ADD);
    ChooseSegment(window, "QA");
    QCOMPARE(ControlText(window, IDC_COMBO_ARCHIVE), "N");
    QCOMPARE(ControlText(window, IDC_EDIT_SEND_PORT), "0");
    Click(window, IDC_BUTTON_ADD);

    m_prompter.Answers = {true};
    Click(window, IDC_BUTTON_EXIT);
    QCOMPARE(StoredRows()[1], Row(2, "QA", 2, 20002, "Y"));
    QCOMPARE(ScopedSettingsStore::Read(kSegmentKey, "Segment Count"), "8");
    QCOMPARE(ScopedSettingsStore::Read(kSegmentKey, "5"), "5,QFXD,,,,0,");
    QCOMPARE(ScopedSettingsStore::Read(kSegmentKey, "1"), "1,QB,,,,7100,");
    QVERIFY(m_prompter.Messages.size() == 1);  // the exit question
}

void EditFlowsTest::restartStartsWhatRanAtExit()
{
    std::string why;
    std::unique_ptr<TestNetwork> network = TestNetwork::Create(why);
    if (!network)
        QSKIP(why.c_str());
    network->EnterRelay();
    const auto leave = qScopeGuard([&] { network->LeaveRelay(); });

    StoreConfigurations({Row(1, "QA", 1, 20001), Row(2, "QB", 2, 20002), Row(3, "QC", 3, 20003)}, "1,3,");
    for (int run = 0; run < 2; ++run) {
        OpenWindow();
        QTRY_COMPARE(RunningIds(*m_window), "1,3,");
        m_prompter.Answers = {true};
        Click(*m_window, IDC_BUTTON_EXIT);
        QCOMPARE(RunningIds(*m_window), "");
        QCOMPARE(StoredText("Auto Start"), "1,3,");
        QCOMPARE(StoredRows().size(), size_t{3});
        CloseWindow();
    }
    QCOMPARE(m_log->CountLines(" ORMA UDP Broadcast Server has been Closed"), 2);
    QCOMPARE(m_log->CountLines(" Config ID 1 has been Started successfully."), 2);
    QCOMPARE(m_log->CountLines(" Config ID 2 has been Started successfully."), 0);
    QVERIFY(m_prompter.Messages.size() == 2);
}

QTEST_MAIN(EditFlowsTest)
#include "EditFlowsTest.moc"
