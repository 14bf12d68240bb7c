#pragma once

#include "config/BroadcastConfig.h"
#include "config/SegmentInfo.h"

#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

// Where the settings live below HKEY_CURRENT_USER.
inline constexpr char kSettingsBasePath[] = "SOFTWARE\\ORMASYS\\KOV";
inline constexpr char kConfigurationKey[] = "PLUX Details";
inline constexpr char kSegmentKey[] = "Segment Details";
inline constexpr char kArchiveKey[] = "Archive Details";

// Each key is read from its file once per load, in time linear in its size.
// Values that cannot be used are skipped whole, each with an event log
// line naming the key, the value and the reason (the first
// kMostSkippedLines of a key, then one line with how many more); so are
// damaged lines of a values file (one line) and a file above
// CRegistry::kMaxValuesFileSize (one line with its size and the limit).
// A count of rows is read up to kMaxStoredRows; a count beyond it is
// refused in one line. Other store failures are silent: what cannot be read
// loads nothing.
inline constexpr int kMaxStoredRows = kMaxConfigId;
inline constexpr int kMostSkippedLines = 10;

// First step of the start-up: creates the base key and its three sub-keys,
// the five default segments when fewer than 8 are stored, and "Archive
// Enable" = "0" when it is empty. 1 when every step succeeded.
int CreateDefaultSettings();

// Reads the stored segment list into `segments` and gives the names to
// offer in the Market Segment box, in stored order: every name but "QHO",
// "QFXD" and "QGMS".
[[nodiscard]] std::vector<std::string> LoadSegments(CSegmentTable& segments);

// Reads "Archive Enable". The packet archive is off in every run whatever
// it holds, so this gives false.
[[nodiscard]] bool LoadArchiveSettings();

struct StoredSettings {
    // Usable rows in stored order, each with the one stored pair of local addresses.
    std::vector<KOV_BCAST_CONFIG> Configurations;
    std::string AutoStart;  // the "Auto Start" list text
    // Every row "Record Count" names was read and used: no row was skipped,
    // and the count itself was there to read.
    bool Complete = false;
    // The first thing of the key that could not be read whole, in words
    // ("line 4 of its values file cannot be read"); empty when every value
    // was read and every refused row names its Config ID beyond doubt.
    std::string Unreadable;
    // The Config IDs of skipped rows that name one beyond doubt (ExactConfigId).
    std::set<int> RefusedIds;
    // "Standby" ("Y" or "N"): the relays of this store are one node of a pair
    // and stand by while no interface holds their ZENTA-side address.
    bool Standby = false;
};

// How stored rows are read: as the console always has (ParseConfigurationRow),
// or only when read exactly as written (ParseExactConfigurationRow).
enum class RowReading { AsTheConsole, Exact };

// Reads the configurations: rows "0" to "Record Count" - 1. Rows that the
// reading refuses or that repeat an earlier row's Config ID are skipped, and
// so are rows that the count names but the store does not hold. When
// `stopRequested` answers true (asked now and then), the load ends early,
// Unreadable saying so.
[[nodiscard]] StoredSettings ReadStoredSettings(RowReading reading = RowReading::AsTheConsole,
                                                const std::function<bool()>& stopRequested = {});

// Whether the relays poll for datagrams instead of waiting for them, and the
// CPUs that polling relays are pinned to: "Polling" ("Y" or "N") and
// "Polling CPUs" (a CPU list, empty for any CPU) of "PLUX Details".
struct POLLING_SETTINGS {
    bool Enabled = false;
    std::vector<int> Cpus;
};
// The stored polling settings. A CPU list that cannot be used (ParseCpuList)
// leaves polling off and says why in `problem`.
[[nodiscard]] POLLING_SETTINGS ReadPollingSettings(std::string& problem);

// The Config IDs of an auto start list, in order, each once: each ID is
// followed by ","; text after the last "," is ignored.
[[nodiscard]] std::vector<int> ParseAutoStartList(std::string_view text);

// Writes "Record Count", the rows in list order and the address pair of
// every row (so the last row's pair remains; no rows leave the pair as it
// is), then empties "Auto Start". Rows numbered from the count on stay and
// are ignored. One atomic write: a crash stores all of it or none.
int SaveConfigurations(const std::vector<KOV_BCAST_CONFIG>& configurations);

// Writes "Segment Count" = SegmentCounter and the SegmentRow of every slot.
int SaveSegments(const CSegmentTable& segments);

// Writes "Auto Start": the Config IDs of the running engines, in slot order.
int SaveAutoStart(const std::vector<int>& runningConfigIds);
