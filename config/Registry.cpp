#include "config/Registry.h"

#include "config/ValuesFile.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string_view>
#include <utility>

namespace {

constexpr char kProgramFolder[] = "orma-broadcast-server";
constexpr char kValuesFile[] = "values.txt";
constexpr char kTemporaryFile[] = ".values.txt.tmp";
constexpr char kDamagedCopyPrefix[] = "values.txt.damaged-";
constexpr mode_t kFolderMode = 0700;
constexpr mode_t kFileMode = 0600;

std::string g_storeDirectory;  // set by SetStoreDirectory; empty: the environment decides

class Descriptor {
public:
    explicit Descriptor(int fd = -1) noexcept : m_fd(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() { Close(); }

    [[nodiscard]] int Get() const noexcept { return m_fd; }
    [[nodiscard]] bool IsOpen() const noexcept { return m_fd >= 0; }
    void Reset(int fd) noexcept
    {
        Close();
        m_fd = fd;
    }
    [[nodiscard]] int Release() noexcept { return std::exchange(m_fd, -1); }
    // False when close reports that written data may be lost.
    bool Close() noexcept
    {
        const int fd = Release();
        return fd < 0 || ::close(fd) == 0;
    }

private:
    int m_fd;
};

// Serialises the writers of one key. Where the file system offers no such
// lock the write goes ahead: the program runs once per user anyway.
class FolderLock {
public:
    explicit FolderLock(int folder) noexcept : m_folder(folder)
    {
        while (::flock(m_folder, LOCK_EX) != 0 && errno == EINTR) {}
    }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;
    ~FolderLock() { ::flock(m_folder, LOCK_UN); }

private:
    int m_folder;
};

std::string HomeDirectory()
{
    if (const char* home = std::getenv("HOME"); home && home[0] == '/')
        return home;
    std::string buffer(16384, '\0');
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir &&
        found->pw_dir[0] == '/')
        return found->pw_dir;
    return {};
}

std::vector<std::string_view> SplitPath(std::string_view path, char separator)
{
    std::vector<std::string_view> parts;
    while (!path.empty()) {
        const size_t end = path.find(separator);
        parts.push_back(path.substr(0, end));
        if (end == std::string_view::npos)
            break;
        path.remove_prefix(end + 1);
        if (path.empty())
            parts.emplace_back();  // a trailing separator leaves an empty part
    }
    return parts;
}

// A key name must stay one folder below its parent and clear of the files a key holds.
bool IsValidKeyName(std::string_view name)
{
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
           !name.starts_with(kValuesFile) && !name.starts_with(kTemporaryFile);
}

// Flushes a folder's entries; `folder` may be a path-only descriptor.
bool SyncFolder(int folder)
{
    const Descriptor readable(::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return readable.IsOpen() && ::fsync(readable.Get()) == 0;
}

// A path-only descriptor of the folder `name` below `parent`; with create,
// a missing folder is made owner-only and its entry flushed first.
int OpenFolder(int parent, const std::string& name, bool create)
{
    constexpr int kFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
    const int fd = ::openat(parent, name.c_str(), kFlags);
    if (fd >= 0 || errno != ENOENT || !create)
        return fd;
    if (::mkdirat(parent, name.c_str(), kFolderMode) != 0 && errno != EEXIST)
        return -1;
    Descriptor made(::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    // The umask may have taken bits the owner needs.
    if (!made.IsOpen() || ::fchmod(made.Get(), kFolderMode) != 0 || !SyncFolder(parent))
        return -1;
    return ::openat(made.Get(), ".", kFlags);
}

int OpenStoreFolder(bool create)
{
    const std::string path = CRegistry::StoreDirectory();
    if (path.empty())
        return -1;
    Descriptor folder(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    for (std::string_view part : SplitPath(path, '/')) {
        if (part.empty() || !folder.IsOpen())
            continue;
        folder.Reset(OpenFolder(folder.Get(), std::string(part), create));
    }
    return folder.Release();
}

using FileState = CRegistry::FileState;
constexpr auto kMaxValuesFileSize = static_cast<size_t>(CRegistry::kMaxValuesFileSize);

// `size` is set for a file too large to read.
FileState ReadValuesFile(int folder, std::string& text, long long& size)
{
    text.clear();
    // Non-blocking so that a FIFO put in its place cannot hang the program.
    const Descriptor file(::openat(folder, kValuesFile, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!file.IsOpen())
        return errno == ENOENT ? FileState::Missing : FileState::Unreadable;
    struct stat status {};
    if (::fstat(file.Get(), &status) != 0 || !S_ISREG(status.st_mode))
        return FileState::Unreadable;
    size = status.st_size;
    if (status.st_size > CRegistry::kMaxValuesFileSize)
        return FileState::TooLarge;
    text.reserve(static_cast<size_t>(status.st_size));
    char buffer[65536];
    for (;;) {
        const ssize_t count = ::read(file.Get(), buffer, sizeof buffer);
        if (count == 0)
            return FileState::Read;
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return FileState::Unreadable;
        if (text.size() + static_cast<size_t>(count) > kMaxValuesFileSize) {
            size = static_cast<long long>(text.size() + static_cast<size_t>(count));  // it grew while read
            return FileState::TooLarge;
        }
        text.append(buffer, static_cast<size_t>(count));
    }
}

CRegistry::KeyValues ReadKeyValues(int folder, const std::function<bool()>& stopRequested = {})
{
    CRegistry::KeyValues values;
    if (folder < 0) {
        values.State = FileState::Unreadable;
        return values;
    }
    std::string text;
    values.State = ReadValuesFile(folder, text, values.FileSize);
    if (values.State == FileState::Read)
        values.Parsed = ParseValuesText(text, stopRequested);
    return values;
}

// Values of a key; empty when there are none or they cannot be read.
ParsedValues ReadValues(int folder)
{
    return ReadKeyValues(folder).Parsed;
}

bool WriteAll(int fd, std::string_view text)
{
    while (!text.empty()) {
        const ssize_t count = ::write(fd, text.data(), text.size());
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return false;
        text.remove_prefix(static_cast<size_t>(count));
    }
    return true;
}

// Keeps the damaged values file under a second name before it is replaced.
bool KeepDamagedCopy(int folder)
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    char stamp[32] = {};
    if (!::localtime_r(&now, &local) || std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local) == 0)
        return false;
    for (int attempt = 1; attempt <= 100; ++attempt) {
        char name[64];
        std::snprintf(name, sizeof name, attempt > 1 ? "%s%s-%d" : "%s%s", kDamagedCopyPrefix, stamp, attempt);
        if (::linkat(folder, kValuesFile, folder, name, 0) == 0)
            return ::fsync(folder) == 0;
        if (errno != EEXIST)
            return false;
    }
    return false;
}

// Replaces the values file whole: readers and a crash see the old or the new file.
bool ReplaceValuesFile(int folder, std::string_view text)
{
    Descriptor file(::openat(folder, kTemporaryFile, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, kFileMode));
    if (!file.IsOpen())
        return false;
    const bool written =
        ::fchmod(file.Get(), kFileMode) == 0 && WriteAll(file.Get(), text) && ::fsync(file.Get()) == 0 && file.Close();
    if (!written || ::renameat(folder, kTemporaryFile, folder, kValuesFile) != 0) {
        ::unlinkat(folder, kTemporaryFile, 0);
        return false;
    }
    return ::fsync(folder) == 0;
}

}  // namespace

CRegistry::~CRegistry()
{
    Close();
}

void CRegistry::Close() noexcept
{
    if (RegistryKey >= 0)
        ::close(RegistryKey);
    RegistryKey = -1;
}

void CRegistry::SetStoreDirectory(std::string directory)
{
    g_storeDirectory = std::move(directory);
}

std::string CRegistry::StoreDirectory()
{
    if (!g_storeDirectory.empty())
        return g_storeDirectory;
    std::string base;
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && config[0] == '/') {
        base = config;
    } else {
        base = HomeDirectory();
        if (base.empty())
            return {};
        base += "/.config";
    }
    return base + "/" + kProgramFolder;
}

int CRegistry::Open(RegistryRoot root, const char* basePath, const char* subKey, int create)
{
    Close();
    RootKey = root;
    BasePath = basePath ? basePath : "";
    if (!basePath || !subKey)
        return 0;
    std::string path = basePath;
    if (*subKey) {
        path += '\\';
        path += subKey;
    }
    const std::vector<std::string_view> names = SplitPath(path, '\\');
    if (!std::all_of(names.begin(), names.end(), IsValidKeyName))
        return 0;

    Descriptor folder(OpenStoreFolder(create != 0));
    for (std::string_view name : names) {
        if (!folder.IsOpen())
            break;
        folder.Reset(OpenFolder(folder.Get(), std::string(name), create != 0));
    }
    if (!folder.IsOpen())
        return 0;
    // Path-only descriptors can neither be flushed nor locked.
    RegistryKey = ::openat(folder.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return RegistryKey >= 0 ? 1 : 0;
}

std::string CRegistry::ReadString(const char* name) const
{
    if (!name)
        return {};
    for (StoredValue& value : ReadValues(RegistryKey).Values) {
        if (value.Name == name)
            return std::move(value.Text);
    }
    return {};
}

int CRegistry::WriteString(const char* name, const char* value)
{
    if (!name || !value)
        return 0;
    return WriteStrings({{name, value}});
}

int CRegistry::WriteStrings(const std::vector<StoredValue>& values)
{
    if (RegistryKey < 0)
        return 0;
    const FolderLock lock(RegistryKey);
    std::string text;
    long long size = 0;
    // What cannot be read cannot be carried over: leave it as it is.
    if (const FileState state = ReadValuesFile(RegistryKey, text, size);
        state == FileState::Unreadable || state == FileState::TooLarge)
        return 0;
    ParsedValues parsed = ParseValuesText(text);
    bool changed = false;
    for (const StoredValue& value : values) {
        auto stored = std::find_if(parsed.Values.begin(), parsed.Values.end(),
                                   [&value](const StoredValue& v) { return v.Name == value.Name; });
        if (stored == parsed.Values.end()) {
            parsed.Values.push_back(value);
            changed = true;
        } else if (stored->Text != value.Text) {
            stored->Text = value.Text;
            changed = true;
        }
    }
    if (parsed.DamagedLines > 0) {
        if (!KeepDamagedCopy(RegistryKey))
            return 0;
    } else if (!changed) {
        return 1;  // already stored: spare the disk a rewrite
    }
    return ReplaceValuesFile(RegistryKey, FormatValuesText(parsed.Values)) ? 1 : 0;
}

CRegistry::KeyValues CRegistry::ReadAll(const std::function<bool()>& stopRequested) const
{
    return ReadKeyValues(RegistryKey, stopRequested);
}

std::vector<std::string> CRegistry::ValueNames() const
{
    std::vector<std::string> names;
    for (StoredValue& value : ReadValues(RegistryKey).Values) names.push_back(std::move(value.Name));
    return names;
}
