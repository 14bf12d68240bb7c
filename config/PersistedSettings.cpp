#include "config/PersistedSettings.h"

#include "config/CpuList.h"
#include "config/FieldList.h"
#include "config/Registry.h"
#include "log/EventLog.h"

#include <algorithm>
#include <cctype>
#include <set>

namespace {

constexpr char kSegmentCount[] = "Segment Count";
constexpr char kRecordCount[] = "Record Count";
constexpr char kHostSideIp[] = "Host Side IP";
constexpr char kZentaSideIp[] = "Zenta Side IP";
constexpr char kAutoStart[] = "Auto Start";
constexpr char kArchiveEnable[] = "Archive Enable";
constexpr char kPolling[] = "Polling";
constexpr char kStandby[] = "Standby";
constexpr char kPollingCpus[] = "Polling CPUs";

// A stored list of fewer segments than this is replaced by the defaults.
constexpr int kMinimumStoredSegments = 8;
constexpr const char* kDefaultSegmentRows[] = {"0,QA,,,,,", "1,QB,,,,,", "2,QC,,,,,", "3,QDLN,,,,,", "4,QE,,,,,"};

void LogSkippedValue(const char* key, int index, const std::string& reason)
{
    LogEvent("%s Skipped %s value \"%d\": %s.", LocalTimeText().c_str(), key, index, reason.c_str());
}

void LogMissingRows(const char* key, int first, int last, const char* countName, int count)
{
    if (first == last) {
        LogSkippedValue(key, first, FormatText("it is missing or empty while \"%s\" is %d", countName, count));
        return;
    }
    LogEvent("%s Skipped %s values \"%d\" to \"%d\": they are missing while \"%s\" is %d.", LocalTimeText().c_str(),
             key, first, last, countName, count);
}

// The highest row number among the key's value names, -1 when there is none.
int HighestRowIndex(const CRegistry& key)
{
    int highest = -1;
    for (const std::string& name : key.ValueNames()) {
        const bool isRowNumber = !name.empty() && name.size() <= 9 && (name == "0" || name[0] != '0') &&
                                 std::all_of(name.begin(), name.end(), [](unsigned char c) { return std::isdigit(c); });
        if (isRowNumber)
            highest = std::max(highest, ParseDecimal(name));
    }
    return highest;
}

struct NumberedRow {
    int Index;
    std::string Text;
};

// Rows "0" to count - 1 of an open key; rows the count names but the key
// does not hold are logged and left out.
std::vector<NumberedRow> ReadNumberedRows(const CRegistry& key, const char* keyName, const char* countName)
{
    const int count = ParseDecimal(key.ReadString(countName));
    // The rows present bound the loop, so a damaged count cannot run it for ever.
    const int present = std::min(count, HighestRowIndex(key) + 1);
    std::vector<NumberedRow> rows;
    for (int i = 0; i < present; ++i) {
        std::string text = key.ReadString(std::to_string(i).c_str());
        if (text.empty())
            LogMissingRows(keyName, i, i, countName, count);
        else
            rows.push_back({i, std::move(text)});
    }
    if (present < count)
        LogMissingRows(keyName, std::max(present, 0), count - 1, countName, count);
    return rows;
}

}  // namespace

int CreateDefaultSettings()
{
    CRegistry registry;
    int result = registry.Open(HKEY_CURRENT_USER, kSettingsBasePath, "", 1);

    result &= registry.Open(HKEY_CURRENT_USER, kSettingsBasePath, kSegmentKey, 1);
    const std::string segmentCount = registry.ReadString(kSegmentCount);
    if (segmentCount.empty() || ParseDecimal(segmentCount) < kMinimumStoredSegments) {
        std::vector<StoredValue> defaults{{kSegmentCount, std::to_string(std::size(kDefaultSegmentRows))}};
        for (size_t i = 0; i < std::size(kDefaultSegmentRows); ++i)
            defaults.push_back({std::to_string(i), kDefaultSegmentRows[i]});
        result &= registry.WriteStrings(defaults);
    }

    // Created without values: the key's existence is what later saves need.
    result &= registry.Open(HKEY_CURRENT_USER, kSettingsBasePath, kConfigurationKey, 1);

    result &= registry.Open(HKEY_CURRENT_USER, kSettingsBasePath, kArchiveKey, 1);
    if (registry.ReadString(kArchiveEnable).empty())
        result &= registry.WriteString(kArchiveEnable, "0");
    return result;
}

std::vector<std::string> LoadSegments(CSegmentTable& segments)
{
    std::vector<std::string> offered;
    CRegistry registry;
    if (!registry.Open(HKEY_CURRENT_USER, kSettingsBasePath, kSegmentKey, 0))
        return offered;
    for (const NumberedRow& row : ReadNumberedRows(registry, kSegmentKey, kSegmentCount)) {
        std::string reason;
        const KOV_SEGMENT_INFO* segment = segments.AddFromRow(row.Text, reason);
        if (!segment) {
            LogSkippedValue(kSegmentKey, row.Index, reason);
            continue;
        }
        std::string name = FixedFieldText(segment->SegmentName);
        if (IsOfferedSegment(name))
            offered.push_back(std::move(name));
    }
    return offered;
}

bool LoadArchiveSettings()
{
    CRegistry registry;
    if (registry.Open(HKEY_CURRENT_USER, kSettingsBasePath, kArchiveKey, 0))
        (void)registry.ReadString(kArchiveEnable);
    return false;
}

StoredSettings ReadStoredSettings()
{
    StoredSettings settings;
    CRegistry registry;
    if (!registry.Open(HKEY_CURRENT_USER, kSettingsBasePath, kConfigurationKey, 0))
        return settings;
    const std::string hostSideIp = registry.ReadString(kHostSideIp);
    const std::string zentaSideIp = registry.ReadString(kZentaSideIp);
    settings.AutoStart = registry.ReadString(kAutoStart);

    std::set<int> loadedIds;
    for (const NumberedRow& row : ReadNumberedRows(registry, kConfigurationKey, kRecordCount)) {
        KOV_BCAST_CONFIG configuration;
        std::string reason;
        if (!ParseConfigurationRow(row.Text, configuration, reason)) {
            LogSkippedValue(kConfigurationKey, row.Index, reason);
            continue;
        }
        // The first row keeps the ID: every later use of it names that configuration.
        if (!loadedIds.insert(configuration.ConfigId).second) {
            LogSkippedValue(kConfigurationKey, row.Index,
                            FormatText("Config ID %d is already used by an earlier row", configuration.ConfigId));
            continue;
        }
        configuration.HostSideIp = hostSideIp;
        configuration.ZentaSideIp = zentaSideIp;
        settings.Configurations.push_back(std::move(configuration));
    }
    const std::string count = registry.ReadString(kRecordCount);
    settings.Complete = !count.empty() && static_cast<size_t>(ParseDecimal(count)) == settings.Configurations.size();
    return settings;
}

POLLING_SETTINGS ReadPollingSettings(std::string& problem)
{
    POLLING_SETTINGS settings;
    CRegistry registry;
    if (!registry.Open(HKEY_CURRENT_USER, kSettingsBasePath, kConfigurationKey, 0) ||
        !FlagFromText(registry.ReadString(kPolling)))
        return settings;
    const std::string cpus = registry.ReadString(kPollingCpus);
    if (!cpus.empty() && !ParseCpuList(cpus, settings.Cpus, problem)) {
        problem = FormatText("\"%s\" cannot be used: %s", kPollingCpus, problem.c_str());
        return {};
    }
    settings.Enabled = true;
    return settings;
}

bool ReadStandbySetting()
{
    CRegistry registry;
    return registry.Open(HKEY_CURRENT_USER, kSettingsBasePath, kConfigurationKey, 0) &&
           FlagFromText(registry.ReadString(kStandby));
}

std::vector<int> ParseAutoStartList(std::string_view text)
{
    std::vector<int> configIds;
    for (const std::string& field : SplitFields(text)) configIds.push_back(ParseDecimal(field));
    return configIds;
}

int SaveConfigurations(const std::vector<KOV_BCAST_CONFIG>& configurations)
{
    std::vector<StoredValue> values{{kRecordCount, std::to_string(configurations.size())}};
    for (size_t i = 0; i < configurations.size(); ++i) {
        values.push_back({std::to_string(i), FormatConfigurationRow(configurations[i])});
        values.push_back({kHostSideIp, configurations[i].HostSideIp});
        values.push_back({kZentaSideIp, configurations[i].ZentaSideIp});
    }
    values.push_back({kAutoStart, ""});
    CRegistry registry;
    return registry.Open(HKEY_CURRENT_USER, kSettingsBasePath, kConfigurationKey, 0) && registry.WriteStrings(values);
}

int SaveSegments(const CSegmentTable& segments)
{
    std::vector<StoredValue> values{{kSegmentCount, std::to_string(segments.SegmentCounter())}};
    for (int i = 0; i < segments.SegmentCounter(); ++i)
        values.push_back({std::to_string(i), FormatSegmentRow(*segments.At(i))});
    CRegistry registry;
    return registry.Open(HKEY_CURRENT_USER, kSettingsBasePath, kSegmentKey, 0) && registry.WriteStrings(values);
}

int SaveAutoStart(const std::vector<int>& runningConfigIds)
{
    std::vector<std::string> fields;
    for (int configId : runningConfigIds) fields.push_back(std::to_string(configId));
    CRegistry registry;
    return registry.Open(HKEY_CURRENT_USER, kSettingsBasePath, kConfigurationKey, 0) &&
           registry.WriteString(kAutoStart, JoinFields(fields).c_str());
}
