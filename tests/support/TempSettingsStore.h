#pragma once

#include "config/ValuesFile.h"
#include "tests/support/TempDirectory.h"

#include <filesystem>
#include <string>
#include <vector>

// A settings store ($XDG_CONFIG_HOME) and an event log folder of their own
// for one test, in a temporary folder removed afterwards. The log's clock
// goes back to the system's at the end.
class TempSettingsStore {
public:
    TempSettingsStore();
    ~TempSettingsStore();
    TempSettingsStore(const TempSettingsStore&) = delete;
    TempSettingsStore& operator=(const TempSettingsStore&) = delete;

    [[nodiscard]] const std::string& Path() const { return m_directory.Path(); }
    // The folder of a "\"-separated key path.
    [[nodiscard]] std::filesystem::path KeyFolder(std::string keyPath) const;
    // The file holding the configuration rows' values.
    [[nodiscard]] std::filesystem::path ConfigurationValues() const;
    // A values file of a million rows, as many of them whole rows as the table holds.
    [[nodiscard]] static std::string MillionRows();

    // Replaces what a key of the program ("PLUX Details", ...) holds, creating it.
    [[nodiscard]] static bool Store(const char* key, const std::vector<StoredValue>& values);
    // Configuration rows with the test network's local addresses.
    [[nodiscard]] static bool StoreConfigurations(const std::vector<std::string>& rows, const std::string& autoStart);
    // A value's text; empty when it or its key is missing.
    [[nodiscard]] static std::string Read(const char* key, const char* name);
    // The stored rows "0" to "Record Count" - 1.
    [[nodiscard]] static std::vector<std::string> StoredRows();

    // Every event log file's text, and the number of their lines that contain `part`.
    [[nodiscard]] std::string LogText() const;
    [[nodiscard]] int CountLogLines(const std::string& part) const;

private:
    TempDirectory m_directory;
};
