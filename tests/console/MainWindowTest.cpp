// The main window as it opens, its list rows, the form they fill and the
// boxes an operator types into. (The form's checks: EditFlowsTest.)
#include "console/IpAddressEdit.h"
#include "tests/console/ConsoleTestSupport.h"

#include <QApplication>
#include <QClipboard>
#include <QLineEdit>
#include <QRegularExpression>

class MainWindowTest : public QObject, WindowFixture {
    Q_OBJECT
private slots:
    void init() { Open(); }
    void cleanup() { Close(); }

    void opensWithNothingChosen()
    {
        for (const int id : {IDC_BUTTON_ADD, IDC_BUTTON_EXIT}) QVERIFY(Button(id).isEnabled());
        for (const int id : {IDC_BUTTON_MODIFY, IDC_BUTTON_DELETE, IDC_BUTTON_START}) QVERIFY(!Button(id).isEnabled());
        QVERIFY(Button(IDC_BUTTON_ADD).isDefault());
        for (const int id : {IDC_IPADDRESS_RECEIVE, IDC_EDIT_RECEIVE_PORT, IDC_COMBO_SEGMENT, IDC_IPADDRESS_SEND,
                             IDC_EDIT_SEND_PORT, IDC_IPADDRESS_HOST_SIDE, IDC_IPADDRESS_ZENTA_SIDE, IDC_COMBO_NMKT})
            QVERIFY(m_window->GetDlgItem(id)->isVisible() && !m_window->GetDlgItem(id)->isEnabled());
        for (const int id : {IDC_STATIC_CONFIG_ID, IDC_EDIT_CONFIG_ID, IDC_STATIC_ARCHIVE, IDC_COMBO_ARCHIVE,
                             IDC_STATIC_RECEIVE_PROTOCOL, IDC_STATIC_SEND_PROTOCOL, IDC_COMBO_RECEIVE_PROTOCOL,
                             IDC_COMBO_SEND_PROTOCOL, IDC_STATIC_RECEIVE_TYPE, IDC_STATIC_SEND_TYPE,
                             IDC_COMBO_RECEIVE_TYPE, IDC_COMBO_SEND_TYPE, IDC_BUTTON_ADD_SEGMENT})
            QVERIFY2(m_window->GetDlgItem(id)->isHidden(), qPrintable(QString::number(id)));
        // The columns are at least as wide as at 96 dpi, scaled to the screen's.
        const int widths[] = {25, 35, 85, 60, 85, 60, 65, 65, 103};
        QStringList titles;
        for (int column = 0; column < List().columnCount(); ++column) {
            titles << List().horizontalHeaderItem(column)->text();
            QVERIFY(List().columnWidth(column) >= widths[column] * List().logicalDpiX() / 96);
        }
        QCOMPARE(titles.join(", "),
                 "ID, Seg, Recv IP, Recv Port, Send IP, Send Port, Pkts Recv, Pkts Sent, Connection Status");
        // An empty line, then the time stamped start-up line.
        QVERIFY(QRegularExpression("^\n\\d\\d:\\d\\d:\\d\\d ORMA UDP Broadcast Server has been Started\n$")
                    .match(QString::fromStdString(m_store->LogText()))
                    .hasMatch());
        QVERIFY(m_prompter.Messages.empty());
    }

    void fitsWhatTheScreenGivesAndShowsTheLongestTextsWhole()
    {
        // Five digits and the longest addresses, whole: as wide as the view says their cells need.
        QVERIFY(m_window->AddBroadcastFromLine(
            "12345,QDLN,239.255.255.250,65535,UDP,MULTICAST,239.255.255.251,65534,UDP,MULTICAST,N,N,", "", ""));
        for (int column = 0; column < 6; ++column) {
            const int width = List().columnWidth(column);
            List().resizeColumnToContents(column);
            QVERIFY2(width >= List().columnWidth(column), qPrintable(Cell(0, column)));
            List().setColumnWidth(column, width);
        }

        // The whole window on a small screen (640x512 logical pixels is 1280x1024 at a
        // scale of 2), every button in it; given more, the list takes the room.
        QVERIFY(m_window->minimumSize() != m_window->maximumSize());
        const QRect screen(0, 0, 640, 512);
        m_window->FitToScreen(screen);
        QTRY_VERIFY(screen.contains(m_window->frameGeometry()));
        for (const int id : {IDC_BUTTON_ADD, IDC_BUTTON_MODIFY, IDC_BUTTON_DELETE, IDC_BUTTON_START, IDC_BUTTON_EXIT}) {
            const QWidget& button = *m_window->GetDlgItem(id);
            QVERIFY(m_window->rect().contains(QRect(button.mapTo(m_window.get(), QPoint()), button.size())));
        }
        // An address box shows three digits an octet whole (a line edit's 2-pixel margins and cursor).
        for (const QLineEdit* octet : m_window->GetDlgItem(IDC_IPADDRESS_RECEIVE)->findChildren<QLineEdit*>())
            QVERIFY(octet->width() >= octet->fontMetrics().horizontalAdvance("255") + 5);
        const QSize small = List().size();
        m_window->resize(m_window->size() + QSize(200, 200));
        QTRY_COMPARE(List().size(), small + QSize(200, 200));
    }

    void boxesHoldExactlyWhatWasTyped()
    {
        m_window->EnableForm(true);
        for (const int id : {IDC_EDIT_RECEIVE_PORT, IDC_EDIT_SEND_PORT}) {
            auto* edit = static_cast<QLineEdit*>(m_window->GetDlgItem(id));
            edit->clear();
            QTest::keyClicks(edit, "12a-34 5678");
            QCOMPARE(edit->text(), "12345");
        }
        auto& box = *static_cast<CIpAddressEdit*>(m_window->GetDlgItem(IDC_IPADDRESS_RECEIVE));
        QCOMPARE(box.text(), "0.0.0.0");
        QVERIFY(box.hasAcceptableInput());
        // Typed into the box as the operator tabs into it: its first octet selected.
        const auto typedOver = [this, &box](const char* before, const char* keys) {
            box.setText(before);
            List().setFocus();
            box.setFocus(Qt::TabFocusReason);
            QTest::keyClicks(nullptr, keys);
            return box.text();
        };
        const auto pastedOver = [&](const char* before, const char* keys, const QString& clipboard) {
            QGuiApplication::clipboard()->setText(clipboard);
            typedOver(before, keys);
            QTest::keySequence(QApplication::focusWidget(), QKeySequence::Paste);
            return box.text();
        };
        // A full octet moves on by itself; the dot typed after it moves no further.
        QCOMPARE(typedOver("239.1.1.9", "239.1.1.8"), "239.1.1.8");
        QCOMPARE(typedOver("255.18.0.2", "198.18.0.2"), "198.18.0.2");
        QCOMPARE(typedOver("", "100200150250"), "100.200.150.250");
        QCOMPARE(typedOver("", "239255255250"), "239.255.255.250");
        QVERIFY(box.hasAcceptableInput());
        // Backspace at an octet's start goes back over the dot; right after a
        // full octet moved on, it takes that octet's last digit.
        QCOMPARE(typedOver("", "10.1.2\b\b2.5.6"), "10.12.5.6");
        QCOMPARE(typedOver("1.2.3.4", "255\b4.9.9.9"), "254.9.9.9");
        // Octets that make no address are never read as 0 or 255.
        QCOMPARE(typedOver("", "10.1.999"), "10.1.999.");
        QVERIFY(!box.hasAcceptableInput());
        QCOMPARE(typedOver("10.20.30.40", "7.8"), "7.8.30.40");
        QCOMPARE(typedOver("10.20.30.40", "1.2.\b\b\b5.6"), "15.6.30.40");

        // A pasted address fills the whole box, from whichever octet; other text is refused.
        QCOMPARE(pastedOver("1.2.3.4", "9.", " 198.18.0.7\n"), "198.18.0.7");
        QCOMPARE(pastedOver("1.2.3.4", "", "host.example"), "1.2.3.4");
        QCOMPARE(pastedOver("1.2.3.4", "", "56"), "56.2.3.4");
    }

    void storedLinesBecomeRowsThatFillTheFormOrAreSkippedWhole()
    {
        QVERIFY(m_window->AddBroadcastFromLine(Row(4, "QB", 4, 20004, "Y", "Y"), "198.18.0.2", "198.18.1.1"));
        // A line of eleven fields predates the NMKT flag; protocols and cast types are always UDP multicast.
        QVERIFY(m_window->AddBroadcastFromLine("2,QA,239.1.1.2,10002,UDP,UNICAST,239.2.1.2,20002,TCP,UNICAST,Y,",
                                               "198.18.0.9", "198.18.1.9"));
        const std::pair<std::string, std::string> skipped[] = {
            {"5,QA,239.1.1.5,10005,UDP,MULTICAST,239.2.1.5,20005,UDP,MULTICAST,",
             "it has 10 fields, at least 11 are needed."},
            {Row(4, "QC", 9, 20009), "Config ID 4 is already listed."}};
        for (const auto& [line, reason] : skipped) {
            QVERIFY(!m_window->AddBroadcastFromLine(line, "", ""));
            QCOMPARE(m_store->CountLogLines("Stored configuration \"" + line + "\" skipped: " + reason), 1);
        }
        m_window->OnTimer(REFRESH_TIMER_ID);

        const QStringList rows[] = {{"4", "QB", "239.1.1.4", "10004", "239.2.1.4", "20004", "0", "0", "Not Running"},
                                    {"2", "QA", "239.1.1.2", "10002", "239.2.1.2", "20002", "0", "0", "Not Running"}};
        QCOMPARE(List().rowCount(), 2);
        for (int row = 0; row < 2; ++row) {
            for (int column = 0; column < 9; ++column) {
                QCOMPARE(Cell(row, column), rows[row][column]);
                QCOMPARE(List().item(row, column)->toolTip(), rows[row][column]);
            }
        }

        // A chosen row fills the form, which stays read-only.
        ClickRow(*m_window, 1);
        QCOMPARE(m_window->m_nConfigId, 2);
        const std::pair<int, const char*> shown[] = {
            {IDC_EDIT_CONFIG_ID, "2"}, {IDC_IPADDRESS_RECEIVE, "239.1.1.2"},     {IDC_EDIT_RECEIVE_PORT, "10002"},
            {IDC_COMBO_SEGMENT, "QA"}, {IDC_IPADDRESS_SEND, "239.2.1.2"},        {IDC_EDIT_SEND_PORT, "20002"},
            {IDC_COMBO_NMKT, "N"},     {IDC_IPADDRESS_ZENTA_SIDE, "198.18.1.9"}, {IDC_COMBO_SEND_TYPE, "MULTICAST"},
        };
        for (const auto& [id, text] : shown) QCOMPARE(Text(id), text);
        for (const int id : {IDC_BUTTON_START, IDC_BUTTON_MODIFY, IDC_BUTTON_DELETE}) QVERIFY(Button(id).isEnabled());
        QVERIFY(!m_window->GetDlgItem(IDC_IPADDRESS_RECEIVE)->isEnabled());
        // The keyboard moves the choice like a click.
        QTest::keyClick(&List(), Qt::Key_Up);
        QCOMPARE(m_window->m_nConfigId, 4);
        QCOMPARE(Text(IDC_COMBO_NMKT), "Y");
        QCOMPARE(Text(IDC_IPADDRESS_HOST_SIDE), "198.18.0.2");
        QVERIFY(m_prompter.Messages.empty());
    }
};

QTEST_MAIN(MainWindowTest)
#include "MainWindowTest.moc"
