#include "config/PersistedSettings.h"

#include "config/CpuList.h"
#include "config/FieldList.h"
#include "config/Registry.h"
#include "log/EventLog.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

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

constexpr char kLoadStopped[] = "the load was stopped";

// One key's values, read from its file once; every value is then taken from memory.
class KeySnapshot {
public:
    KeySnapshot(const KeySnapshot&) = delete;
    KeySnapshot& operator=(const KeySnapshot&) = delete;

    // Reads the key; a file too large or unreadable, and damaged lines, each say so in one line.
    explicit KeySnapshot(const char* keyName, const std::function<bool()>& stopRequested = {}) : m_keyName(keyName)
    {
        CRegistry registry;
        if (!registry.Open(HKEY_CURRENT_USER, kSettingsBasePath, keyName, 0)) {
            m_unreadable = "the key cannot be opened";
            return;
        }
        m_opened = true;
        m_values = registry.ReadAll(stopRequested);
        using State = CRegistry::FileState;
        if (m_values.Parsed.Stopped) {
            m_unreadable = kLoadStopped;
            return;
        }
        if (m_values.State == State::TooLarge) {
            m_unreadable = FormatText("its values file is %lld bytes, above the limit of %lld", m_values.FileSize,
                                      CRegistry::kMaxValuesFileSize);
        } else if (m_values.State == State::Unreadable) {
            m_unreadable = "its values file cannot be read";
        } else if (const ParsedValues& parsed = m_values.Parsed; parsed.DamagedLines > 0) {
            m_unreadable = FormatText("line %zu of its values file cannot be read (%zu such line%s in all)",
                                      parsed.FirstDamagedLine, parsed.DamagedLines, parsed.DamagedLines > 1 ? "s" : "");
        }
        if (!m_unreadable.empty())
            LogEvent("%s Skipped %s of %s: %s.", LocalTimeText().c_str(),
                     m_values.State == State::Read ? "lines" : "every value", keyName, m_unreadable.c_str());
        m_index.reserve(m_values.Parsed.Values.size());
        for (const StoredValue& value : m_values.Parsed.Values) m_index.emplace(value.Name, &value.Text);
    }

    [[nodiscard]] bool IsOpen() const { return m_opened; }
    [[nodiscard]] bool WasStopped() const { return m_values.Parsed.Stopped; }
    [[nodiscard]] const char* KeyName() const { return m_keyName; }
    // Null when the value is not there.
    [[nodiscard]] const std::string* Find(std::string_view name) const
    {
        const auto found = m_index.find(name);
        return found == m_index.end() ? nullptr : found->second;
    }
    [[nodiscard]] std::string Text(std::string_view name) const
    {
        const std::string* text = Find(name);
        return text ? *text : std::string();
    }
    // Empty when every line of the key's file was read.
    [[nodiscard]] const std::string& Unreadable() const { return m_unreadable; }

private:
    const char* m_keyName;
    bool m_opened = false;
    CRegistry::KeyValues m_values;
    std::unordered_map<std::string_view, const std::string*> m_index;  // into m_values, which never changes
    std::string m_unreadable;
};

// Says why values of a key were skipped: the first kMostSkippedLines one by
// one, how many more at the end, so that a damaged store cannot flood the log.
class SkipReport {
public:
    explicit SkipReport(const char* keyName) : m_keyName(keyName) {}
    SkipReport(const SkipReport&) = delete;
    SkipReport& operator=(const SkipReport&) = delete;
    ~SkipReport()
    {
        if (m_lines > kMostSkippedLines)
            LogEvent("%s Skipped %d more values of %s, not listed one by one.", LocalTimeText().c_str(),
                     m_lines - kMostSkippedLines, m_keyName);
    }

    void Value(int index, const std::string& reason)
    {
        if (++m_lines <= kMostSkippedLines)
            LogEvent("%s Skipped %s value \"%d\": %s.", LocalTimeText().c_str(), m_keyName, index, reason.c_str());
    }
    void MissingValues(int first, int last, const char* countName, int count)
    {
        if (first == last) {
            Value(first, FormatText("it is missing or empty while \"%s\" is %d", countName, count));
            return;
        }
        if (++m_lines <= kMostSkippedLines)
            LogEvent("%s Skipped %s values \"%d\" to \"%d\": they are missing while \"%s\" is %d.",
                     LocalTimeText().c_str(), m_keyName, first, last, countName, count);
    }

private:
    const char* m_keyName;
    int m_lines = 0;
};

struct NumberedRow {
    int Index;
    const std::string* Text;
};

// Rows "0" to count - 1 of a key, at most kMaxStoredRows of them; rows the
// count names but the key does not hold are said in one line per gap. What
// stops the rows being read whole goes into `unreadable`, when it is empty.
std::vector<NumberedRow> ReadNumberedRows(const KeySnapshot& key, const char* countName, SkipReport& skipped,
                                          std::string& unreadable)
{
    const auto note = [&unreadable](std::string what) {
        if (unreadable.empty())
            unreadable = std::move(what);
    };
    const std::string* countText = key.Find(countName);
    if (!countText)
        note(FormatText("it holds no \"%s\"", countName));
    const int count = countText ? ParseDecimal(*countText) : 0;
    int read = count;
    if (count > kMaxStoredRows) {
        read = kMaxStoredRows;
        const std::string refusal =
            FormatText("\"%s\" is %d, above the largest allowed, %d", countName, count, kMaxStoredRows);
        LogEvent("%s Skipped %s values from \"%d\" on: %s.", LocalTimeText().c_str(), key.KeyName(), kMaxStoredRows,
                 refusal.c_str());
        note(refusal);
    }
    std::vector<NumberedRow> rows;
    int firstMissing = -1;
    for (int i = 0; i <= read; ++i) {
        const std::string* text = i < read ? key.Find(std::to_string(i)) : nullptr;
        const bool missing = i < read && (!text || text->empty());
        if (missing && firstMissing < 0)
            firstMissing = i;
        if (missing)
            continue;
        if (firstMissing >= 0) {
            skipped.MissingValues(firstMissing, i - 1, countName, count);
            note(FormatText("value \"%d\" is missing while \"%s\" is %d", firstMissing, countName, count));
            firstMissing = -1;
        }
        if (i < read)
            rows.push_back({i, text});
    }
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
    const KeySnapshot key(kSegmentKey);
    if (!key.IsOpen())
        return offered;
    SkipReport skipped(kSegmentKey);
    std::string unreadable;
    for (const NumberedRow& row : ReadNumberedRows(key, kSegmentCount, skipped, unreadable)) {
        std::string reason;
        const KOV_SEGMENT_INFO* segment = segments.AddFromRow(*row.Text, reason);
        if (!segment) {
            skipped.Value(row.Index, reason);
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

StoredSettings ReadStoredSettings(RowReading reading, const std::function<bool()>& stopRequested)
{
    StoredSettings settings;
    const KeySnapshot key(kConfigurationKey, stopRequested);
    settings.Unreadable = key.Unreadable();
    if (!key.IsOpen() || key.WasStopped())
        return settings;
    const std::string hostSideIp = key.Text(kHostSideIp);
    const std::string zentaSideIp = key.Text(kZentaSideIp);
    settings.AutoStart = key.Text(kAutoStart);
    settings.Standby = FlagFromText(key.Text(kStandby));

    SkipReport skipped(kConfigurationKey);
    std::unordered_set<int> loadedIds;
    const std::vector<NumberedRow> rows = ReadNumberedRows(key, kRecordCount, skipped, settings.Unreadable);
    for (size_t n = 0; n < rows.size(); ++n) {
        // Now and then: a signal to stop must not wait for a large store.
        if (stopRequested && n % 4096 == 4095 && stopRequested()) {
            settings.Unreadable = kLoadStopped;
            return settings;
        }
        const NumberedRow& row = rows[n];
        KOV_BCAST_CONFIG configuration;
        std::string reason;
        const bool parsed = reading == RowReading::Exact ? ParseExactConfigurationRow(*row.Text, configuration, reason)
                                                         : ParseConfigurationRow(*row.Text, configuration, reason);
        // The first row keeps the ID: every later use of it names that configuration.
        if (parsed && !loadedIds.insert(configuration.ConfigId).second)
            reason = FormatText("Config ID %d is already used by an earlier row", configuration.ConfigId);
        if (!reason.empty()) {
            skipped.Value(row.Index, reason);
            if (const int configId = ExactConfigId(*row.Text))
                settings.RefusedIds.insert(configId);
            else if (settings.Unreadable.empty())
                settings.Unreadable = FormatText("value \"%d\" names no Config ID that can be read", row.Index);
            continue;
        }
        configuration.HostSideIp = hostSideIp;
        configuration.ZentaSideIp = zentaSideIp;
        settings.Configurations.push_back(std::move(configuration));
    }
    const std::string* count = key.Find(kRecordCount);
    settings.Complete = count && static_cast<size_t>(ParseDecimal(*count)) == settings.Configurations.size();
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

std::vector<int> ParseAutoStartList(std::string_view text)
{
    std::vector<int> configIds;
    std::unordered_set<int> listed;
    for (size_t end = text.find(','); end != std::string_view::npos; end = text.find(',')) {
        if (const int configId = ParseDecimal(text.substr(0, end)); listed.insert(configId).second)
            configIds.push_back(configId);
        text.remove_prefix(end + 1);
    }
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
