#include "config/PersistedSettings.h"

#include "config/Registry.h"
#include "log/EventLog.h"
#include "tests/support/TempSettingsStore.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

class PersistedSettingsTest : public ::testing::Test {
protected:
    static std::string Read(const char* key, const char* name) { return TempSettingsStore::Read(key, name); }
    // `count` segments named S0, S1, ... with ports 7000, 7001, ...
    static bool StoreSegments(int count)
    {
        std::vector<StoredValue> values{{"Segment Count", std::to_string(count)}};
        for (int i = 0; i < count; ++i)
            values.push_back({std::to_string(i), FormatText("%d,S%d,,,,%d,", i, i, 7000 + i)});
        return TempSettingsStore::Store(kSegmentKey, values);
    }

    TempSettingsStore store;
};

TEST_F(PersistedSettingsTest, FirstStartOnAnEmptyStore)
{
    EXPECT_EQ(CreateDefaultSettings(), 1);
    EXPECT_EQ(Read(kSegmentKey, "Segment Count"), "5");
    EXPECT_EQ(Read(kArchiveKey, "Archive Enable"), "0");
    EXPECT_EQ(CRegistry().Open(HKEY_CURRENT_USER, kSettingsBasePath, kConfigurationKey, 0), 1);
    EXPECT_EQ(Read(kConfigurationKey, "Record Count"), "");

    CSegmentTable segments;
    EXPECT_EQ(LoadSegments(segments), (std::vector<std::string>{"QA", "QB", "QC", "QDLN", "QE"}));
    const StoredSettings settings = ReadStoredSettings();
    EXPECT_TRUE(settings.Configurations.empty());
    EXPECT_FALSE(settings.Complete) << "no Record Count: nothing to tell an empty store from an unreadable one";
    EXPECT_TRUE(ParseAutoStartList(settings.AutoStart).empty());
    // The default rows are written back with their port.
    EXPECT_EQ(SaveSegments(segments), 1);
    EXPECT_EQ(Read(kSegmentKey, "3"), "3,QDLN,,,,0,");
    EXPECT_EQ(store.LogText(), "");
}

TEST_F(PersistedSettingsTest, SevenSegmentsAreResetEightAreKept)
{
    ASSERT_TRUE(StoreSegments(7));
    ASSERT_EQ(CreateDefaultSettings(), 1);
    EXPECT_EQ(Read(kSegmentKey, "Segment Count"), "5");
    EXPECT_EQ(Read(kSegmentKey, "0"), "0,QA,,,,,");

    ASSERT_TRUE(StoreSegments(8));
    ASSERT_TRUE(store.Store(kSegmentKey, {{"2", "2,QFXD,,,,7002,"}, {"5", "5,QHO,,,,,"}}));
    ASSERT_EQ(CreateDefaultSettings(), 1);
    EXPECT_EQ(Read(kSegmentKey, "Segment Count"), "8");
    CSegmentTable segments;
    EXPECT_EQ(LoadSegments(segments), (std::vector<std::string>{"S0", "S1", "S3", "S4", "S6", "S7"}));
    ASSERT_EQ(segments.SegmentCounter(), 8);
    EXPECT_EQ(segments.FindByName("QFXD")->DefaultPort, 7002);
    // Held segments are saved again though the box never offered them.
    EXPECT_EQ(SaveSegments(segments), 1);
    EXPECT_EQ(Read(kSegmentKey, "2"), "2,QFXD,,,,7002,");
    EXPECT_EQ(Read(kSegmentKey, "5"), "5,QHO,,,,0,");
}

TEST_F(PersistedSettingsTest, SavedConfigurationsComeBackWithTheLastRowsAddresses)
{
    ASSERT_EQ(CreateDefaultSettings(), 1);
    // An eleven-field row of an earlier save that asked for TCP and unicast.
    ASSERT_TRUE(
        store.Store(kConfigurationKey, {{"Record Count", "1"},
                                        {"0", "7,QA,239.1.1.1,5000,TCP,UNICAST,239.2.2.2,6000,UDP,UNICAST,Y,"},
                                        {"1", "9,QC,239.1.1.9,5009,UDP,MULTICAST,239.2.2.9,6009,UDP,MULTICAST,N,N,"},
                                        {"Auto Start", "7,"},
                                        {"Standby", "Y"}}));
    const StoredSettings stored = ReadStoredSettings();
    ASSERT_EQ(stored.Configurations.size(), 1u);
    EXPECT_TRUE(stored.Standby);
    KOV_BCAST_CONFIG second = stored.Configurations[0];
    second.ConfigId = 4;
    second.SegmentCode = "QDLN";
    second.ArchiveFlag = 0;
    second.NmktFlag = 1;
    second.HostSideIp = "198.18.0.3";
    second.ZentaSideIp = "198.18.1.3";
    EXPECT_EQ(SaveConfigurations({stored.Configurations[0], second}), 1);

    EXPECT_EQ(Read(kConfigurationKey, "0"), "7,QA,239.1.1.1,5000,UDP,MULTICAST,239.2.2.2,6000,UDP,MULTICAST,Y,N,");
    EXPECT_EQ(Read(kConfigurationKey, "1"), "4,QDLN,239.1.1.1,5000,UDP,MULTICAST,239.2.2.2,6000,UDP,MULTICAST,N,Y,");
    EXPECT_EQ(Read(kConfigurationKey, "Auto Start"), "");
    const StoredSettings reloaded = ReadStoredSettings();
    ASSERT_EQ(reloaded.Configurations.size(), 2u);
    EXPECT_TRUE(reloaded.Complete);
    EXPECT_TRUE(reloaded.Standby) << "a save keeps what it does not write";
    EXPECT_EQ(reloaded.Configurations[0].HostSideIp, "198.18.0.3");
    EXPECT_EQ(reloaded.Configurations[1], second);
}

TEST_F(PersistedSettingsTest, UnusableRowsAreSkippedWholeWithALogLine)
{
    ASSERT_TRUE(StoreSegments(8));
    ASSERT_TRUE(store.Store(kSegmentKey, {{"3", "3,QLONG,,,,,"}}));
    ASSERT_EQ(CreateDefaultSettings(), 1);
    const std::string fields = ",QA,239.1.1.1,5000,UDP,MULTICAST,239.2.2.2,6000,UDP,MULTICAST,N,";
    ASSERT_TRUE(store.Store(kConfigurationKey, {{"Record Count", "9"},
                                                {"0", "1" + fields},
                                                {"1", "2" + fields.substr(0, fields.size() - 2)},  // 10 fields
                                                {"2", "0" + fields},
                                                {"3", "1" + fields},
                                                {"4", "3,QABCD" + fields.substr(3)},
                                                {"6", "5" + fields}}));
    CSegmentTable segments;
    EXPECT_EQ(LoadSegments(segments).size(), 7u);
    std::vector<int> loadedIds;
    const StoredSettings stored = ReadStoredSettings();
    for (const KOV_BCAST_CONFIG& configuration : stored.Configurations) loadedIds.push_back(configuration.ConfigId);
    EXPECT_EQ(loadedIds, (std::vector<int>{1, 5}));
    EXPECT_FALSE(stored.Complete);

    for (const char* line : {
             "Skipped Segment Details value \"3\": segment \"QLONG\" is longer than 4 characters.",
             "Skipped PLUX Details value \"1\": it has 10 fields, at least 11 are needed.",
             "Skipped PLUX Details value \"3\": Config ID 1 is already used by an earlier row.",
             "Skipped PLUX Details value \"5\": it is missing or empty while \"Record Count\" is 9.",
             "Skipped PLUX Details values \"7\" to \"8\": they are missing while \"Record Count\" is 9.",
         })
        EXPECT_NE(store.LogText().find(line), std::string::npos) << line << "\nin:\n" << store.LogText();

    // A count far beyond the stored rows neither loops through it nor floods the log.
    ASSERT_TRUE(store.Store(kConfigurationKey, {{"Record Count", "2000000000"}}));
    EXPECT_EQ(ReadStoredSettings().Configurations.size(), 2u);
    EXPECT_EQ(store.CountLogLines("Skipped PLUX Details values from \"99999\" on: \"Record Count\" is 2000000000, "
                                  "above the largest allowed, 99999."),
              1);
    EXPECT_EQ(store.CountLogLines("values \"7\" to \"99998\""), 1);
}

// Each key is read once, whatever its size: a store of a million rows loads
// what the table holds; a huge count, a huge line, a huge file and a flood of
// bad rows each cost a few log lines, and a line of commas little memory.
TEST_F(PersistedSettingsTest, LargeAndHostileStoresLoadInOnePassWithFewLines)
{
    ASSERT_EQ(CreateDefaultSettings(), 1);
    const fs::path values = store.ConfigurationValues();
    const auto write = [&values](const std::string& text) { std::ofstream(values, std::ios::binary) << text; };
    const std::string fields = ",QA,239.1.1.1,5000,UDP,MULTICAST,239.2.2.2,6000,UDP,MULTICAST,N,N,";

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const long peakKbBefore = usage.ru_maxrss;
    write("Record Count=1\n0=" + std::string(15 << 20, ',') + "\n");
    EXPECT_TRUE(ReadStoredSettings().Configurations.empty());
    getrusage(RUSAGE_SELF, &usage);
#if !defined(__SANITIZE_ADDRESS__)  // its quarantine keeps freed memory resident
    EXPECT_LT(usage.ru_maxrss - peakKbBefore, 150 * 1024) << "kB for a 15 MiB line of commas";
#else
    (void)peakKbBefore;
#endif

    // Full rows up to the ceiling, then short ones: a million real rows would pass the file size limit.
    write(TempSettingsStore::MillionRows());
    StoredSettings stored = ReadStoredSettings(RowReading::Exact);
    ASSERT_EQ(stored.Configurations.size(), static_cast<size_t>(kMaxConfigId));
    EXPECT_EQ(stored.Configurations.back().ConfigId, kMaxConfigId);
    EXPECT_EQ(stored.Unreadable, "\"Record Count\" is 1000000, above the largest allowed, 99999");

    // Every row refused: ten lines name them, one more says how many were not named.
    const int named = store.CountLogLines("Skipped PLUX Details value \"");
    std::string refused = "Record Count=99999\n";
    for (int i = 0; i < kMaxConfigId; ++i) refused += std::to_string(i) + "=x" + fields + "\n";
    write(refused);
    stored = ReadStoredSettings();
    EXPECT_TRUE(stored.Configurations.empty());
    EXPECT_EQ(stored.Unreadable, "value \"0\" names no Config ID that can be read");
    EXPECT_EQ(store.CountLogLines("Skipped PLUX Details value \"") - named, kMostSkippedLines);
    EXPECT_EQ(store.CountLogLines("Skipped 99989 more values of PLUX Details, not listed one by one."), 1);

    const int before = store.CountLogLines("Skipped");
    write("Record Count=999999\n0=1" + fields + "\n999998=2" + fields + "\n");
    stored = ReadStoredSettings();
    EXPECT_EQ(stored.Configurations.size(), 1u);
    EXPECT_EQ(store.CountLogLines("Skipped") - before, 2) << store.LogText().substr(store.LogText().size() - 400);

    // A sparse file: its size is what counts, and it is never read.
    write("Record Count=1\n0=1" + fields + "\n");
    fs::resize_file(values, 100 << 20);
    stored = ReadStoredSettings();
    EXPECT_TRUE(stored.Configurations.empty());
    EXPECT_EQ(stored.Unreadable, "its values file is 104857600 bytes, above the limit of 16777216");
    EXPECT_EQ(store.CountLogLines("Skipped every value of PLUX Details: its values file is 104857600 bytes, above "
                                  "the limit of 16777216."),
              1);
}

// Read exactly as written (orma-relay), a row the console would read
// differently is refused with its field named, and its Config ID kept for
// the reload; what cannot be read whole is said.
TEST_F(PersistedSettingsTest, ExactReadingRefusesTyposByFieldAndSaysWhatCouldNotBeRead)
{
    ASSERT_EQ(CreateDefaultSettings(), 1);
    const std::string rest = ",UDP,MULTICAST,239.2.2.2,6000,UDP,MULTICAST,N,N,";
    ASSERT_TRUE(store.Store(kConfigurationKey, {{"Record Count", "3"},
                                                {"0", "1,QA,239.1.1.1,34x21" + rest},
                                                {"1", "2,QA,239.1.1.2,5000" + rest},
                                                {"2", " 3,QA,239.1.1.3,5000" + rest}}));
    StoredSettings stored = ReadStoredSettings(RowReading::Exact);
    ASSERT_EQ(stored.Configurations.size(), 1u);
    EXPECT_EQ(stored.Configurations[0].ConfigId, 2);
    EXPECT_EQ(stored.RefusedIds, (std::set<int>{1}));
    EXPECT_EQ(stored.Unreadable, "value \"2\" names no Config ID that can be read");
    EXPECT_EQ(store.CountLogLines("Skipped PLUX Details value \"0\": Receiver Port \"34x21\" is not a whole number."),
              1);
    EXPECT_EQ(ReadStoredSettings().Configurations.size(), 3u) << "the console reads 34 and 3";

    // A damaged line names the key's file; the values it still holds load.
    const fs::path values = store.ConfigurationValues();
    std::ofstream(values, std::ios::app) << "Host Side IP\\x=1.2.3.4\n";
    stored = ReadStoredSettings(RowReading::Exact);
    EXPECT_EQ(stored.Configurations.size(), 1u);
    EXPECT_EQ(stored.Unreadable, "line 6 of its values file cannot be read (1 such line in all)");
}

}  // namespace
