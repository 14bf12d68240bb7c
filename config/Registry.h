#pragma once

#include "config/ValuesFile.h"

#include <string>
#include <vector>

// Where a key path starts. Only the current user's store exists.
enum class RegistryRoot { CurrentUser };
inline constexpr RegistryRoot HKEY_CURRENT_USER = RegistryRoot::CurrentUser;

// One open key of the current user's settings store and the text values
// under it.
//
// The store is a folder of this program's own, StoreDirectory(). A key is a
// folder below it: "SOFTWARE\ORMASYS\KOV\PLUX Details" is the folder
// SOFTWARE/ORMASYS/KOV/PLUX Details, and a key exists as long as its folder
// does, with or without values. A key's values live in the text file
// values.txt in its folder (format in config/ValuesFile.h). Folders are
// made 0700, files 0600.
//
// Every write replaces values.txt whole: a temporary file is written and
// flushed, renamed over it, and the folder flushed, so after a crash each
// value holds its old or its new text. A values file with damaged lines
// reads as the values it still holds; the first write afterwards keeps the
// damaged file as values.txt.damaged-<time> beside the new one. A values
// file that cannot be read at all reads as no values and is not replaced.
//
// A values file above kMaxValuesFileSize is not read: it reads as no values,
// and ReadAll says its size.
//
// Failures give 0 or an empty text; nothing is thrown, shown or logged.
// One writer per store is expected (the program runs once per user); writes
// also take a lock on the key's folder so that two writers lose nothing.
class CRegistry {
public:
    // Far beyond any real key (a full table of rows is under 10 MB).
    static constexpr long long kMaxValuesFileSize = 16 * 1024 * 1024;

    enum class FileState { Missing, Read, Unreadable, TooLarge };
    struct KeyValues {
        FileState State = FileState::Missing;
        long long FileSize = 0;  // bytes, when TooLarge
        ParsedValues Parsed;     // empty unless Read
    };

    CRegistry() = default;
    CRegistry(const CRegistry&) = delete;
    CRegistry& operator=(const CRegistry&) = delete;
    virtual ~CRegistry();

    // Makes basePath, or basePath + "\" + subKey when subKey is not empty,
    // the current key; with create non-zero, missing keys on the way are
    // created. 1 on success; 0, and no key, on failure (a missing key
    // without create, a path part that is empty, ".", "..", holds "/" or
    // starts with "values.txt" or ".values.txt", a null text).
    [[nodiscard]] int Open(RegistryRoot root, const char* basePath, const char* subKey, int create);

    // The value's text; empty when there is no key, no such value, or the
    // values cannot be read.
    [[nodiscard]] std::string ReadString(const char* name) const;
    // Stores the text under the name. 1 once the text is on disk, else 0.
    int WriteString(const char* name, const char* value);
    // Stores the values in order (a later text for a name wins) in one
    // replacement of the key's file: after a crash either all of them are
    // stored or none. 1 once they are on disk, else 0.
    int WriteStrings(const std::vector<StoredValue>& values);
    // The current key's values file, read and parsed once: for a loader
    // that takes many values and must tell a missing file from one it could
    // not read. Unreadable when there is no key. `stopRequested` may end
    // the parse early (ParseValuesText).
    [[nodiscard]] KeyValues ReadAll(const std::function<bool()>& stopRequested = {}) const;
    // Names of the current key's values, in stored order.
    [[nodiscard]] std::vector<std::string> ValueNames() const;

    // The folder of the store: the one SetStoreDirectory named, else
    // $XDG_CONFIG_HOME/orma-broadcast-server, or
    // ~/.config/orma-broadcast-server when that variable is not an absolute
    // path. Read at every Open, so that tests can point it elsewhere.
    [[nodiscard]] static std::string StoreDirectory();
    // Names the store's folder (an absolute path) for the whole process, for
    // a program told where the store is; empty goes back to the rule above.
    // Call before any thread uses the store.
    static void SetStoreDirectory(std::string directory);

private:
    void Close() noexcept;

    int RegistryKey = -1;  // the open key's folder
    RegistryRoot RootKey = HKEY_CURRENT_USER;
    std::string BasePath;
};
