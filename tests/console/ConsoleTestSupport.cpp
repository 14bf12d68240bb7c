#include "tests/console/ConsoleTestSupport.h"

#include "config/FieldList.h"
#include "config/PersistedSettings.h"
#include "config/Registry.h"
#include "console/ControlIds.h"
#include "console/IpAddressEdit.h"
#include "log/EventLog.h"
#include "tests/support/TestNetwork.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>

#include <sys/prctl.h>

#include <csignal>

bool CScriptedPrompter::AskYesNo(const std::string& text)
{
    Messages.push_back(text);
    if (Answers.empty())
        return false;
    const bool answer = Answers.front();
    Answers.pop_front();
    return answer;
}

ScopedEventLog::ScopedEventLog() : m_previousDirectory(CEventLog::GetInstance()->GetLogDirectory())
{
    CEventLog::GetInstance()->SetLogDirectory(Directory());
    g_pEventLog = CEventLog::GetInstance();
}

ScopedEventLog::~ScopedEventLog()
{
    CEventLog::GetInstance()->SetLogDirectory(m_previousDirectory);
}

std::string ScopedEventLog::Text() const
{
    std::string text;
    for (const QFileInfo& file : QDir(m_directory.path()).entryInfoList(QDir::Files, QDir::Name)) {
        QFile log(file.filePath());
        if (log.open(QIODevice::ReadOnly))
            text += log.readAll().toStdString();
    }
    return text;
}

int ScopedEventLog::CountLines(const std::string& part) const
{
    int count = 0;
    for (const QString& line : QString::fromStdString(Text()).split('\n'))
        count += line.toStdString().find(part) != std::string::npos;
    return count;
}

ScopedSettingsStore::ScopedSettingsStore() : m_previous(qgetenv("XDG_CONFIG_HOME"))
{
    qputenv("XDG_CONFIG_HOME", m_directory.path().toLocal8Bit());
}

ScopedSettingsStore::~ScopedSettingsStore()
{
    if (m_previous.isEmpty())
        qunsetenv("XDG_CONFIG_HOME");
    else
        qputenv("XDG_CONFIG_HOME", m_previous);
}

void ScopedSettingsStore::Store(const char* key, const std::vector<StoredValue>& values)
{
    CRegistry registry;
    QVERIFY(registry.Open(HKEY_CURRENT_USER, kSettingsBasePath, key, 1));
    QVERIFY(registry.WriteStrings(values));
}

std::string ScopedSettingsStore::Read(const char* key, const char* name)
{
    CRegistry registry;
    if (!registry.Open(HKEY_CURRENT_USER, kSettingsBasePath, key, 0))
        return {};
    return registry.ReadString(name);
}

void ScopedSettingsStore::StoreConfigurations(const std::vector<std::string>& rows, const std::string& autoStart)
{
    std::vector<StoredValue> values{{"Record Count", std::to_string(rows.size())}};
    for (size_t i = 0; i < rows.size(); ++i)
        values.push_back({std::to_string(i), rows[i]});
    values.insert(values.end(), {{"Host Side IP", TestNetwork::kHostSideIp},
                                 {"Zenta Side IP", TestNetwork::kZentaSideIp},
                                 {"Auto Start", autoStart}});
    Store(kConfigurationKey, values);
}

std::vector<std::string> ScopedSettingsStore::StoredRows()
{
    std::vector<std::string> rows;
    const int count = ParseDecimal(Read(kConfigurationKey, "Record Count"));
    for (int i = 0; i < count; ++i)
        rows.push_back(Read(kConfigurationKey, std::to_string(i).c_str()));
    return rows;
}

void WindowFixture::Open()
{
    OpenStore();
    OpenWindow();
}

void WindowFixture::OpenStore()
{
    m_store = std::make_unique<ScopedSettingsStore>();
    m_log = std::make_unique<ScopedEventLog>();
    m_prompter.Messages.clear();
    m_prompter.Answers.clear();
}

void WindowFixture::OpenWindow()
{
    m_window = std::make_unique<CKOVDlg>(m_prompter);
    m_window->show();
    QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
}

void WindowFixture::Close()
{
    m_window.reset();
    m_log.reset();
    m_store.reset();
}

std::string ConfigurationLine(int id, const std::string& segment, const std::string& receiveIp, int receivePort,
                              const std::string& sendIp, int sendPort, const std::string& nmkt)
{
    return JoinFields({std::to_string(id), segment, receiveIp, std::to_string(receivePort), "UDP", "MULTICAST", sendIp,
                       std::to_string(sendPort), "UDP", "MULTICAST", "N", nmkt});
}

QTableWidget& ListOf(CKOVDlg& window)
{
    return *static_cast<QTableWidget*>(window.GetDlgItem(IDC_LIST_BROADCASTS));
}

QPushButton& ButtonOf(CKOVDlg& window, int id)
{
    return *static_cast<QPushButton*>(window.GetDlgItem(id));
}

QString ItemText(CKOVDlg& window, int row, int column)
{
    const QTableWidgetItem* item = ListOf(window).item(row, column);
    return item ? item->text() : QString();
}

QString ControlText(CKOVDlg& window, int id)
{
    QWidget* control = window.GetDlgItem(id);
    if (auto* address = qobject_cast<CIpAddressEdit*>(control))
        return address->text();
    if (auto* edit = qobject_cast<QLineEdit*>(control))
        return edit->text();
    return static_cast<QComboBox*>(control)->currentText();
}

QString RunningIds(CKOVDlg& window)
{
    QString ids;
    for (int row = 0; row < ListOf(window).rowCount(); ++row) {
        if (window.GetEngineForRow(row)->IsRunning())
            ids += ItemText(window, row, 0) + ",";
    }
    return ids;
}

void ClickRow(CKOVDlg& window, int row)
{
    QTableWidget& list = ListOf(window);
    const QRect cell = list.visualRect(list.model()->index(row, 1));
    QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, cell.center());
}

void EndWithTest(QProcess& process)
{
    process.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
}
