// Adding, modifying and deleting configurations through the real window,
// and what the store holds after each flow.
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

using Rows = std::vector<std::string>;
const std::string kDeleteQuestion = "This will make selected record to delete permanently.\nAre you sure?";

std::string Row(int id, const char* segment, int n, int sendPort, const char* archive = "Y", const char* nmkt = "N")
{
    return FormatText("%d,%s,239.1.1.%d,%d,UDP,MULTICAST,239.2.1.%d,%d,UDP,MULTICAST,%s,%s,", id, segment, n,
                      10000 + n, n, sendPort, archive, nmkt);
}

void Click(CKOVDlg& window, int id)
{
    QTest::mouseClick(&ButtonOf(window, id), Qt::LeftButton);
}

// As the operator's choice in the drop-down list.
void ChooseSegment(CKOVDlg& window, const QString& name)
{
    auto& box = *static_cast<QComboBox*>(window.GetDlgItem(IDC_COMBO_SEGMENT));
    box.setCurrentIndex(box.findText(name));
    emit box.activated(box.currentIndex());
}

void SetText(CKOVDlg& window, int id, const QString& text)
{
    if (auto* address = qobject_cast<CIpAddressEdit*>(window.GetDlgItem(id)))
        address->setText(text);
    else
        static_cast<QLineEdit*>(window.GetDlgItem(id))->setText(text);
}

// The form of Row(..., n, sendPort).
void FillForm(CKOVDlg& window, int n, const char* segment, int sendPort)
{
    SetText(window, IDC_IPADDRESS_RECEIVE, QString("239.1.1.%1").arg(n));
    SetText(window, IDC_EDIT_RECEIVE_PORT, QString::number(10000 + n));
    ChooseSegment(window, segment);
    SetText(window, IDC_IPADDRESS_SEND, QString("239.2.1.%1").arg(n));
    SetText(window, IDC_EDIT_SEND_PORT, QString::number(sendPort));
    SetText(window, IDC_IPADDRESS_HOST_SIDE, TestNetwork::kHostSideIp);
    SetText(window, IDC_IPADDRESS_ZENTA_SIDE, TestNetwork::kZentaSideIp);
}

}  // namespace

class EditFlowsTest : public QObject, WindowFixture {
    Q_OBJECT
private slots:
    void init() { OpenStore(); }
    void cleanup() { Close(); }
    void addModifyAndDeleteAssignIdsAndStore();
    void refusalsKeepTheModeAndFocusTheBox();
};

void EditFlowsTest::addModifyAndDeleteAssignIdsAndStore()
{
    OpenWindow();
    CKOVDlg& window = *m_window;
    // Cancel gives the raised ID back and still stores the (empty) list.
    Click(window, IDC_BUTTON_ADD);
    QCOMPARE(window.m_nConfigId, 1);
    QCOMPARE(ControlText(window, IDC_COMBO_NMKT), "N");
    QVERIFY(!ListOf(window).isEnabled() && !ButtonOf(window, IDC_BUTTON_MODIFY).isEnabled());
    Click(window, IDC_BUTTON_ADD);
    QCOMPARE(ScopedSettingsStore::Read(kConfigurationKey, "Record Count"), "0");
    Click(window, IDC_BUTTON_ADD);
    QCOMPARE(ButtonOf(window, IDC_BUTTON_ADD).text(), "&Cancel");
    QCOMPARE(window.m_nConfigId, 1);

    FillForm(window, 1, "QA", 20001);
    Click(window, IDC_BUTTON_START);
    QCOMPARE(m_log->CountLines(" Config ID 1 is Added. Recvr IP: 239.1.1.1, Recvr PORT: 10001, Sender IP: 239.2.1.1, "
                               "Sender PORT: 20001, Segment: QA, NMKT: N"),
             1);
    QCOMPARE(ButtonOf(window, IDC_BUTTON_START).text(), "&Start");
    QVERIFY(!ButtonOf(window, IDC_BUTTON_START).isEnabled() && ListOf(window).isEnabled());
    QCOMPARE(ControlText(window, IDC_IPADDRESS_RECEIVE), "0.0.0.0");
    Click(window, IDC_BUTTON_ADD);
    FillForm(window, 2, "QA", 20001);  // one segment shares a port
    Click(window, IDC_BUTTON_START);
    QCOMPARE(ScopedSettingsStore::StoredRows(), (Rows{Row(1, "QA", 1, 20001), Row(2, "QA", 2, 20001, "N")}));

    // Deleting the last row frees its ID; the store learns of it at the next save.
    ClickRow(window, 1);
    m_prompter.Answers = {false, true};
    Click(window, IDC_BUTTON_DELETE);
    QCOMPARE(ListOf(window).rowCount(), 2);
    Click(window, IDC_BUTTON_DELETE);
    QCOMPARE(m_log->CountLines(" Config ID 2 has been Deleted Successfully."), 1);
    QCOMPARE(window.GetSelectedRow(), 0);
    QCOMPARE(window.m_nConfigId, 0);
    QCOMPARE(ScopedSettingsStore::StoredRows().size(), size_t{2});
    Click(window, IDC_BUTTON_ADD);
    FillForm(window, 3, "QB", 20003);
    Click(window, IDC_BUTTON_START);
    QCOMPARE(ItemText(window, 1, 0), "2");

    // Modifying keeps the ID and its own port; the last row's addresses are the stored pair.
    ClickRow(window, 1);
    Click(window, IDC_BUTTON_MODIFY);
    QCOMPARE(ButtonOf(window, IDC_BUTTON_MODIFY).text(), "&Cancel");
    QVERIFY(!ButtonOf(window, IDC_BUTTON_ADD).isEnabled() && ButtonOf(window, IDC_BUTTON_MODIFY).hasFocus());
    static_cast<QComboBox*>(window.GetDlgItem(IDC_COMBO_NMKT))->setCurrentText("Y");
    SetText(window, IDC_IPADDRESS_HOST_SIDE, "198.18.0.9");
    Click(window, IDC_BUTTON_START);
    QCOMPARE(m_log->CountLines(" Config ID 2 is Modified. Recvr IP: 239.1.1.3, Recvr PORT: 10003, Sender IP: 239.2.1.3, "
                               "Sender PORT: 20003, Segment: QB, NMKT: Y"),
             1);
    QCOMPARE(window.GetEngineForRow(1)->NmktFlag, 1);
    QCOMPARE(ScopedSettingsStore::Read(kConfigurationKey, "Host Side IP"), "198.18.0.9");

    // Deleting another row leaves a gap that stays.
    ClickRow(window, 0);
    m_prompter.Answers = {true};
    Click(window, IDC_BUTTON_DELETE);
    Click(window, IDC_BUTTON_ADD);
    FillForm(window, 4, "QC", 20004);
    Click(window, IDC_BUTTON_START);
    QCOMPARE(ScopedSettingsStore::StoredRows(), (Rows{Row(2, "QB", 3, 20003, "Y", "Y"), Row(3, "QC", 4, 20004)}));
    QCOMPARE(m_prompter.Messages, (Rows{kDeleteQuestion, kDeleteQuestion, kDeleteQuestion}));
}

void EditFlowsTest::refusalsKeepTheModeAndFocusTheBox()
{
    // Eight stored segments are kept; QFXD is held and saved but not offered.
    std::vector<StoredValue> segments{{"Segment Count", "8"}};
    const char* const names[] = {"QA", "QB", "QHO", "QC", "QDLN", "QFXD", "QE", "QGMS"};
    for (int i = 0; i < 8; ++i)
        segments.push_back({std::to_string(i), FormatText("%d,%s,,,,%s,", i, names[i], i == 1 ? "7100" : "")});
    ScopedSettingsStore::Store(kSegmentKey, segments);
    ScopedSettingsStore::StoreConfigurations({Row(1, "QB", 1, 20001)}, "9,");
    OpenWindow();
    CKOVDlg& window = *m_window;
    QCOMPARE(static_cast<QComboBox*>(window.GetDlgItem(IDC_COMBO_SEGMENT))->count(), 5);

    Click(window, IDC_BUTTON_ADD);
    // The segment's stored port is proposed; its first configuration gets archive "Y".
    ChooseSegment(window, "QB");
    QCOMPARE(ControlText(window, IDC_EDIT_SEND_PORT), "7100");
    QCOMPARE(ControlText(window, IDC_COMBO_ARCHIVE), "N");
    ChooseSegment(window, "QA");
    QCOMPARE(ControlText(window, IDC_COMBO_ARCHIVE), "Y");

    const auto refused = [&](const std::string& message, int focus) {
        Click(window, IDC_BUTTON_START);
        QCOMPARE(m_prompter.Messages, Rows{message});
        m_prompter.Messages.clear();
        QVERIFY2(window.GetDlgItem(focus)->isAncestorOf(QApplication::focusWidget()) ||
                     window.GetDlgItem(focus)->hasFocus(),
                 message.c_str());
        QCOMPARE(ButtonOf(window, IDC_BUTTON_START).text(), "&Save");
    };
    // A blank Receiver IP is reported before the port 0 beside it.
    SetText(window, IDC_EDIT_RECEIVE_PORT, "0");
    refused("Receiver IP Can not be zero or blank.", IDC_IPADDRESS_RECEIVE);
    FillForm(window, 2, "QA", 20001);
    SetText(window, IDC_EDIT_RECEIVE_PORT, "");
    refused("Please enter a whole number in the Receiver Port box.", IDC_EDIT_RECEIVE_PORT);
    SetText(window, IDC_EDIT_RECEIVE_PORT, "10002");
    refused("Sending Port already used.", IDC_EDIT_SEND_PORT);
    QCOMPARE(ScopedSettingsStore::Read(kConfigurationKey, "Auto Start"), "9,");  // nothing stored yet

    // Modify mode compares with every other row too.
    SetText(window, IDC_EDIT_SEND_PORT, "99999");  // five digits, taken as typed
    Click(window, IDC_BUTTON_START);
    ClickRow(window, 0);
    Click(window, IDC_BUTTON_MODIFY);
    SetText(window, IDC_EDIT_SEND_PORT, "99999");
    refused("Sending Port already used.", IDC_EDIT_SEND_PORT);
    QCOMPARE(window.GetEngineForRow(0)->SendPort, 20001);

    Click(window, IDC_BUTTON_MODIFY);
    m_prompter.Answers = {true};
    Click(window, IDC_BUTTON_EXIT);
    QCOMPARE(ScopedSettingsStore::StoredRows(), (Rows{Row(1, "QB", 1, 20001), Row(2, "QA", 2, 99999)}));
    QCOMPARE(ScopedSettingsStore::Read(kSegmentKey, "5"), "5,QFXD,,,,0,");
}

QTEST_MAIN(EditFlowsTest)
#include "EditFlowsTest.moc"
