#include "tests/console/ConsoleTestSupport.h"

#include "console/IpAddressEdit.h"

#include <QComboBox>
#include <QLineEdit>

bool CScriptedPrompter::AskYesNo(const std::string& text)
{
    Messages.push_back(text);
    const bool answer = !Answers.empty() && Answers.front();
    if (!Answers.empty())
        Answers.pop_front();
    return answer;
}

std::string Row(int id, const char* segment, int n, int sendPort, const char* archive, const char* nmkt)
{
    return FormatText("%d,%s,239.1.1.%d,%d,UDP,MULTICAST,239.2.1.%d,%d,UDP,MULTICAST,%s,%s,", id, segment, n, 10000 + n,
                      n, sendPort, archive, nmkt);
}

void ClickRow(CKOVDlg& window, int row)
{
    auto& list = *static_cast<QTableWidget*>(window.GetDlgItem(IDC_LIST_BROADCASTS));
    QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, list.visualRect(list.model()->index(row, 1)).center());
}

void WindowFixture::OpenWindow()
{
    m_window = std::make_unique<CKOVDlg>(m_prompter);
    m_window->show();
    QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
}

QTableWidget& WindowFixture::List() const
{
    return *static_cast<QTableWidget*>(m_window->GetDlgItem(IDC_LIST_BROADCASTS));
}

QString WindowFixture::Cell(int row, int column) const
{
    const QTableWidgetItem* item = List().item(row, column);
    return item ? item->text() : QString();
}

QString WindowFixture::Text(int id) const
{
    QWidget* control = m_window->GetDlgItem(id);
    if (auto* address = qobject_cast<CIpAddressEdit*>(control))
        return address->text();
    if (auto* edit = qobject_cast<QLineEdit*>(control))
        return edit->text();
    return static_cast<QComboBox*>(control)->currentText();
}

void WindowFixture::SetText(int id, const QString& text) const
{
    QWidget* control = m_window->GetDlgItem(id);
    if (auto* address = qobject_cast<CIpAddressEdit*>(control)) {
        address->setText(text);
    } else if (auto* edit = qobject_cast<QLineEdit*>(control)) {
        edit->setText(text);
    } else {
        auto* box = static_cast<QComboBox*>(control);
        box->setCurrentIndex(box->findText(text));
        emit box->activated(box->currentIndex());
    }
}
