// Adding, modifying and deleting configurations through the real window,
// and what the store holds after each flow.
#include "tests/console/ConsoleTestSupport.h"

#include <QApplication>

namespace {

using Rows = std::vector<std::string>;
const std::string kDeleteQuestion = "This will make selected record to delete permanently.\nAre you sure?";

}  // namespace

class EditFlowsTest : public QObject, WindowFixture {
    Q_OBJECT
private slots:
    void init() { OpenStore(); }
    void cleanup() { Close(); }

    void addModifyAndDeleteAssignIdsAndStore()
    {
        OpenWindow();
        // Cancel gives the raised ID back and still stores the (empty) list.
        Click(IDC_BUTTON_ADD);
        QCOMPARE(m_window->m_nConfigId, 1);
        QCOMPARE(Text(IDC_COMBO_NMKT), "N");
        QVERIFY(!List().isEnabled() && !Button(IDC_BUTTON_MODIFY).isEnabled());
        Click(IDC_BUTTON_ADD);
        QCOMPARE(TempSettingsStore::Read(kConfigurationKey, "Record Count"), "0");
        Click(IDC_BUTTON_ADD);
        QCOMPARE(Button(IDC_BUTTON_ADD).text(), "&Cancel");
        QCOMPARE(m_window->m_nConfigId, 1);

        // Enter in the form saves it.
        FillForm(1, "QA", 20001);
        PressEnterIn(IDC_EDIT_SEND_PORT);
        QCOMPARE(m_store->CountLogLines(" Config ID 1 is Added. Recvr IP: 239.1.1.1, Recvr PORT: 10001, "
                                        "Sender IP: 239.2.1.1, Sender PORT: 20001, Segment: QA, NMKT: N"),
                 1);
        QCOMPARE(Button(IDC_BUTTON_START).text(), "&Start");
        QVERIFY(!Button(IDC_BUTTON_START).isEnabled() && List().isEnabled() && Button(IDC_BUTTON_ADD).isDefault());
        QCOMPARE(Text(IDC_IPADDRESS_RECEIVE), "0.0.0.0");
        Add(2, "QA", 20001);  // one segment shares a port
        QCOMPARE(TempSettingsStore::StoredRows(), (Rows{Row(1, "QA", 1, 20001), Row(2, "QA", 2, 20001, "N")}));

        // Deleting the last row frees its ID; the store learns of it at the next save.
        ClickRow(*m_window, 1);
        m_prompter.Answers = {false, true};
        Click(IDC_BUTTON_DELETE);
        QCOMPARE(List().rowCount(), 2);
        Click(IDC_BUTTON_DELETE);
        QCOMPARE(m_store->CountLogLines(" Config ID 2 has been Deleted Successfully."), 1);
        QCOMPARE(m_window->GetSelectedRow(), 0);
        QCOMPARE(m_window->m_nConfigId, 0);
        QCOMPARE(TempSettingsStore::StoredRows().size(), size_t{2});
        Add(3, "QB", 20003);
        QCOMPARE(Cell(1, 0), "2");

        // Modifying keeps the ID and its own port; the last row's addresses are the stored pair.
        ClickRow(*m_window, 1);
        Click(IDC_BUTTON_MODIFY);
        QCOMPARE(Button(IDC_BUTTON_MODIFY).text(), "&Cancel");
        QVERIFY(!Button(IDC_BUTTON_ADD).isEnabled() && Button(IDC_BUTTON_MODIFY).hasFocus());
        SetText(IDC_COMBO_NMKT, "Y");
        SetText(IDC_IPADDRESS_HOST_SIDE, "198.18.0.9");
        PressEnterIn(IDC_IPADDRESS_HOST_SIDE);
        QCOMPARE(m_store->CountLogLines(" Config ID 2 is Modified. Recvr IP: 239.1.1.3, Recvr PORT: 10003, "
                                        "Sender IP: 239.2.1.3, Sender PORT: 20003, Segment: QB, NMKT: Y"),
                 1);
        QCOMPARE(m_window->GetEngineForRow(1)->GetConfiguration().NmktFlag, 1);
        QCOMPARE(TempSettingsStore::Read(kConfigurationKey, "Host Side IP"), "198.18.0.9");

        // Deleting another row leaves a gap that stays.
        ClickRow(*m_window, 0);
        m_prompter.Answers = {true};
        Click(IDC_BUTTON_DELETE);
        Add(4, "QC", 20004);
        QCOMPARE(TempSettingsStore::StoredRows(), (Rows{Row(2, "QB", 3, 20003, "Y", "Y"), Row(3, "QC", 4, 20004)}));
        QCOMPARE(m_prompter.Messages, (Rows{kDeleteQuestion, kDeleteQuestion, kDeleteQuestion}));
    }

    void refusalsKeepTheModeAndFocusTheBox()
    {
        // Eight stored segments are kept, with their ports.
        std::vector<StoredValue> segments{{"Segment Count", "8"}};
        const char* const names[] = {"QA", "QB", "QHO", "QC", "QDLN", "QFXD", "QE", "QGMS"};
        for (int i = 0; i < 8; ++i)
            segments.push_back({std::to_string(i), FormatText("%d,%s,,,,%s,", i, names[i], i == 1 ? "7100" : "")});
        QVERIFY(TempSettingsStore::Store(kSegmentKey, segments));
        QVERIFY(TempSettingsStore::StoreConfigurations({Row(1, "QB", 1, 20001)}, "9,"));
        OpenWindow();

        Click(IDC_BUTTON_ADD);
        // The segment's stored port is proposed; its first configuration gets archive "Y".
        SetText(IDC_COMBO_SEGMENT, "QB");
        QCOMPARE(Text(IDC_EDIT_SEND_PORT), "7100");
        QCOMPARE(Text(IDC_COMBO_ARCHIVE), "N");
        SetText(IDC_COMBO_SEGMENT, "QA");
        QCOMPARE(Text(IDC_COMBO_ARCHIVE), "Y");

        // The box of the problem has the focus, its text selected: what is typed replaces it.
        const auto refused = [&](const std::string& message, int focus, const char* retyped = nullptr) {
            Click(IDC_BUTTON_START);
            QCOMPARE(m_prompter.Messages, Rows{message});
            m_prompter.Messages.clear();
            QVERIFY2(m_window->GetDlgItem(focus)->isAncestorOf(QApplication::focusWidget()) ||
                         m_window->GetDlgItem(focus)->hasFocus(),
                     message.c_str());
            QCOMPARE(Button(IDC_BUTTON_START).text(), "&Save");
            if (retyped) {
                QTest::keyClicks(nullptr, retyped);
                QCOMPARE(Text(focus), retyped);
            }
        };
        // Every box a check can point at (the checks' order: ConfigurationRulesTest).
        FillForm(2, "QA", 20001);
        SetText(IDC_EDIT_RECEIVE_PORT, "");
        refused("Please enter a whole number in the Receiver Port box.", IDC_EDIT_RECEIVE_PORT, "0");
        SetText(IDC_IPADDRESS_RECEIVE, "0.0.0.0");
        refused("Receiver IP Can not be zero or blank.", IDC_IPADDRESS_RECEIVE, "239.1.1.2");
        refused("Receiver Port Can not be zero.", IDC_EDIT_RECEIVE_PORT, "10002");
        SetText(IDC_COMBO_SEGMENT, "");
        refused("Market Segment Can not be empty.", IDC_COMBO_SEGMENT);
        SetText(IDC_COMBO_SEGMENT, "QA");
        SetText(IDC_IPADDRESS_ZENTA_SIDE, "0.0.0.0");
        refused("Local IP towards ZENTA Can not be zero or blank.", IDC_IPADDRESS_ZENTA_SIDE,
                TestNetwork::kZentaSideIp);
        // An octet above 255 or an empty one is no address, neither 255 nor 0.
        SetText(IDC_IPADDRESS_SEND, "300.2.1.2");
        refused("Sender IP is not a valid IPv4 address.", IDC_IPADDRESS_SEND, "239.2.1.2");
        SetText(IDC_IPADDRESS_HOST_SIDE, "198.18..2");
        refused("Local IP towards Host is not a valid IPv4 address.", IDC_IPADDRESS_HOST_SIDE,
                TestNetwork::kHostSideIp);
        refused("Sending Port already used.", IDC_EDIT_SEND_PORT);
        QCOMPARE(TempSettingsStore::Read(kConfigurationKey, "Auto Start"), "9,");  // nothing stored yet

        // Five digits beyond the 16-bit range are refused, not bound modulo 65536.
        SetText(IDC_EDIT_SEND_PORT, "99999");
        refused("Sender Port must be from 1 to 65535.", IDC_EDIT_SEND_PORT, "30000");

        // Modify mode compares with every other row too.
        Click(IDC_BUTTON_START);
        ClickRow(*m_window, 0);
        Click(IDC_BUTTON_MODIFY);
        SetText(IDC_EDIT_SEND_PORT, "30000");
        refused("Sending Port already used.", IDC_EDIT_SEND_PORT, "20001");
        QCOMPARE(m_window->GetEngineForRow(0)->GetConfiguration().SendPort, 20001);

        // The confirmed exit saves.
        Click(IDC_BUTTON_MODIFY);
        m_prompter.Answers = {true};
        Click(IDC_BUTTON_EXIT);
        QVERIFY(!m_window->isVisible());
        QCOMPARE(m_store->CountLogLines(" ORMA UDP Broadcast Server has been Closed"), 1);
        QCOMPARE(TempSettingsStore::StoredRows(), (Rows{Row(1, "QB", 1, 20001), Row(2, "QA", 2, 30000)}));
    }

private:
    // The form of Row(..., n, segment, sendPort).
    void FillForm(int n, const char* segment, int sendPort)
    {
        SetText(IDC_IPADDRESS_RECEIVE, QString("239.1.1.%1").arg(n));
        SetText(IDC_EDIT_RECEIVE_PORT, QString::number(10000 + n));
        SetText(IDC_COMBO_SEGMENT, segment);
        SetText(IDC_IPADDRESS_SEND, QString("239.2.1.%1").arg(n));
        SetText(IDC_EDIT_SEND_PORT, QString::number(sendPort));
        SetText(IDC_IPADDRESS_HOST_SIDE, TestNetwork::kHostSideIp);
        SetText(IDC_IPADDRESS_ZENTA_SIDE, TestNetwork::kZentaSideIp);
    }
    void PressEnterIn(int id) const
    {
        QWidget* box = m_window->GetDlgItem(id);
        box->setFocus();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    }
    void Add(int n, const char* segment, int sendPort)
    {
        Click(IDC_BUTTON_ADD);
        FillForm(n, segment, sendPort);
        Click(IDC_BUTTON_START);
    }
};

QTEST_MAIN(EditFlowsTest)
#include "EditFlowsTest.moc"
