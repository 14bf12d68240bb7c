#include "tests/support/TempSettingsStore.h"

#include "config/FieldList.h"
#include "config/PersistedSettings.h"
#include "config/Registry.h"
#include "log/EventLog.h"
#include "tests/support/TestNetwork.h"

#include <algorithm>
#include <cstdlib>
#include <set>

TempSettingsStore::TempSettingsStore()
{
    setenv("XDG_CONFIG_HOME", (Path() + "/config").c_str(), 1);
    g_pEventLog = CEventLog::GetInstance();
    g_pEventLog->SetLogDirectory(Path());
}

TempSettingsStore::~TempSettingsStore()
{
    g_pEventLog->SetClock(nullptr);
    g_pEventLog->SetLogDirectory(".");
    g_pEventLog = nullptr;
    unsetenv("XDG_CONFIG_HOME");
}

std::filesystem::path TempSettingsStore::KeyFolder(std::string keyPath) const
{
    std::replace(keyPath.begin(), keyPath.end(), '\\', '/');
    return std::filesystem::path(Path()) / "config/orma-broadcast-server" / keyPath;
}

std::filesystem::path TempSettingsStore::ConfigurationValues() const
{
    return KeyFolder(std::string(kSettingsBasePath) + "\\" + kConfigurationKey) / "values.txt";
}

std::string TempSettingsStore::MillionRows()
{
    const std::string fields = ",QA,239.1.1.1,5000,UDP,MULTICAST,239.2.2.2,6000,UDP,MULTICAST,N,N,";
    std::string rows = "Record Count=1000000\n";
    for (int i = 0; i < 1000000; ++i)
        rows += std::to_string(i) + "=" + (i < kMaxConfigId ? std::to_string(i + 1) + fields : ",") + "\n";
    return rows;
}

bool TempSettingsStore::Store(const char* key, const std::vector<StoredValue>& values)
{
    CRegistry registry;
    return registry.Open(HKEY_CURRENT_USER, kSettingsBasePath, key, 1) && registry.WriteStrings(values);
}

bool TempSettingsStore::StoreConfigurations(const std::vector<std::string>& rows, const std::string& autoStart)
{
    std::vector<StoredValue> values{{"Record Count", std::to_string(rows.size())}};
    for (size_t i = 0; i < rows.size(); ++i) values.push_back({std::to_string(i), rows[i]});
    values.insert(values.end(), {{"Host Side IP", TestNetwork::kHostSideIp},
                                 {"Zenta Side IP", TestNetwork::kZentaSideIp},
                                 {"Auto Start", autoStart}});
    return Store(kConfigurationKey, values);
}

std::string TempSettingsStore::Read(const char* key, const char* name)
{
    CRegistry registry;
    return registry.Open(HKEY_CURRENT_USER, kSettingsBasePath, key, 0) ? registry.ReadString(name) : "";
}

std::vector<std::string> TempSettingsStore::StoredRows()
{
    std::vector<std::string> rows;
    for (int i = 0; i < ParseDecimal(Read(kConfigurationKey, "Record Count")); ++i)
        rows.push_back(Read(kConfigurationKey, std::to_string(i).c_str()));
    return rows;
}

std::string TempSettingsStore::LogText() const
{
    if (g_pEventLog)
        (void)g_pEventLog->Flush();         // the lines queued so far are in the files
    std::set<std::filesystem::path> files;  // in name order
    for (const auto& entry : std::filesystem::directory_iterator(Path()))
        if (entry.path().filename().string().starts_with("PLUX_"))
            files.insert(entry.path());
    std::string text;
    for (const auto& file : files) text += ReadFile(file);
    return text;
}

int TempSettingsStore::CountLogLines(const std::string& part) const
{
    std::istringstream text(LogText());
    int count = 0;
    for (std::string line; std::getline(text, line);) count += line.find(part) != std::string::npos;
    return count;
}
