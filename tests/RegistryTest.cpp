#include "config/Registry.h"

#include "config/StoreLock.h"
#include "tests/support/TempSettingsStore.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <random>

namespace fs = std::filesystem;

namespace {

constexpr char kBase[] = "SOFTWARE\\ORMASYS\\KOV";
constexpr char kPluxKey[] = "SOFTWARE\\ORMASYS\\KOV\\PLUX Details";

TEST(RegistryTest, KeyWithoutValuesSurvivesAndEverythingIsOwnerOnly)
{
    TempSettingsStore store;
    CRegistry missing;
    EXPECT_EQ(missing.Open(HKEY_CURRENT_USER, kBase, "PLUX Details", 0), 0);
    EXPECT_FALSE(fs::exists(store.Path() + "/config"));

    // A umask that takes the owner's write bit must not leave keys unwritable.
    const mode_t oldMask = umask(0277);
    EXPECT_EQ(CRegistry().Open(HKEY_CURRENT_USER, kBase, "PLUX Details", 1), 1);
    CRegistry registry;
    ASSERT_EQ(registry.Open(HKEY_CURRENT_USER, kBase, "PLUX Details", 0), 1);
    EXPECT_TRUE(registry.ValueNames().empty());
    EXPECT_EQ(registry.WriteString("Record Count", "0"), 1);
    umask(oldMask);

    for (const fs::path& path : {fs::path(store.Path()) / "config", store.KeyFolder(""), store.KeyFolder(kBase),
                                 store.KeyFolder(kPluxKey), store.KeyFolder(kPluxKey) / "values.txt"}) {
        struct stat status {};
        ASSERT_EQ(stat(path.c_str(), &status), 0) << path;
        EXPECT_EQ(status.st_mode & 0777, S_ISDIR(status.st_mode) ? 0700u : 0600u) << path;
    }
}

// One holder per store, whatever the environment, told apart from a lock
// that could not even be tried; the first holder makes the store's folder.
TEST(RegistryTest, StoreLockHasOneHolderPerStore)
{
    TempSettingsStore store;
    const std::string folder = CRegistry::StoreDirectory();
    const mode_t oldMask = umask(0277);
    auto first = std::make_unique<CStoreLock>(folder);
    umask(oldMask);
    EXPECT_TRUE(first->IsHeld());
    for (const std::string& path : {store.Path() + "/config", folder}) {
        struct stat status {};
        ASSERT_EQ(stat(path.c_str(), &status), 0) << path;
        EXPECT_EQ(status.st_mode & 0777, 0700u) << path;
    }
    const CStoreLock second(folder);
    EXPECT_TRUE(second.IsHeldByAnother());
    EXPECT_EQ(second.Error(), EWOULDBLOCK);
    EXPECT_TRUE(CStoreLock(store.Path() + "/other").IsHeld());
    first.reset();
    EXPECT_TRUE(CStoreLock(folder).IsHeld());

    // The lock file where the folder should be.
    const CStoreLock blocked(folder + "/" + CStoreLock::kFileName);
    EXPECT_FALSE(blocked.IsHeld() || blocked.IsHeldByAnother());
    EXPECT_EQ(blocked.Error(), ENOTDIR);
}

TEST(RegistryTest, DamagedFileIsKeptAsideOnWriteAndUnreadableOneIsLeftAlone)
{
    TempSettingsStore store;
    fs::create_directories(store.KeyFolder(kPluxKey));
    // As a hand edit on another system could leave it: CRLF line ends and broken lines.
    const std::string damaged =
        "# edited\r\nRecord Count=2\r\n0=1,QA,\r\nno separator\r\n1=bad \\q escape\r\n"
        "Host Side IP=198.18.0.2\r\nRecord Count=3\r\n";
    std::ofstream(store.KeyFolder(kPluxKey) / "values.txt", std::ios::binary) << damaged;

    CRegistry registry;
    ASSERT_EQ(registry.Open(HKEY_CURRENT_USER, kBase, "PLUX Details", 0), 1);
    EXPECT_EQ(registry.ReadString("Record Count"), "3");
    EXPECT_EQ(registry.ReadString("1"), "");
    EXPECT_EQ(registry.WriteString("Auto Start", "1,"), 1);
    EXPECT_EQ(registry.WriteString("Auto Start", ""), 1);

    std::vector<fs::path> copies;
    for (const auto& entry : fs::directory_iterator(store.KeyFolder(kPluxKey)))
        if (entry.path().filename().string().starts_with("values.txt.damaged-"))
            copies.push_back(entry.path());
    ASSERT_EQ(copies.size(), 1u) << "one copy, made by the first write only";
    EXPECT_EQ(ReadFile(copies[0]), damaged);
    EXPECT_EQ(registry.ReadString("Host Side IP"), "198.18.0.2");
    EXPECT_EQ(registry.ReadString("0"), "1,QA,");

    // A FIFO in its place: reading must neither hang nor succeed, and no write replaces it.
    const fs::path values = store.KeyFolder(kPluxKey) / "values.txt";
    ASSERT_TRUE(fs::remove(values));
    ASSERT_EQ(mkfifo(values.c_str(), 0600), 0);
    EXPECT_EQ(registry.ReadString("0"), "");
    EXPECT_EQ(registry.WriteString("0", "1,"), 0);
    EXPECT_TRUE(fs::is_fifo(values));
}

constexpr int kSingles = 4;  // values written one by one; then a pair written together

// Length and content change every round, so a torn or mixed text cannot pass.
std::string RoundText(int value, int round)
{
    std::string text = std::to_string(value) + "," + std::to_string(round) + ",";
    for (int i = 0; i < (round * 7 + value) % 60; ++i) text += "field,\\=\n#";
    return text;
}

// The round a stored text was written in; -1 when it is no complete text of that value.
int RoundOf(int value, const std::string& text)
{
    const int round = std::atoi(text.c_str() + std::min(text.size(), text.find(',') + 1));
    return text == RoundText(value, round) ? round : -1;
}

TEST(RegistryCrashTest, KilledWriterLeavesEveryValueOldOrNew)
{
    TempSettingsStore store;
    // The last round stored of each single value and of the pair, shared with the writers.
    auto* rounds = static_cast<std::atomic<int>*>(mmap(nullptr, sizeof(std::atomic<int>) * (kSingles + 1),
                                                       PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(rounds, MAP_FAILED);
    const unsigned seed = std::random_device{}();
    std::mt19937 random(seed);

    for (int kill = 0; kill < 40 && !HasFailure(); ++kill) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            CRegistry registry;
            for (int pass = 0; pass < 100000 && registry.Open(HKEY_CURRENT_USER, kPluxKey, "", 1); ++pass) {
                for (int value = 0; value <= kSingles; ++value) {
                    const int round = rounds[value] + 1;
                    if (!(value < kSingles
                              ? registry.WriteString(std::to_string(value).c_str(), RoundText(value, round).c_str())
                              : registry.WriteStrings(
                                    {{"Host Side IP", RoundText(10, round)}, {"Zenta Side IP", RoundText(11, round)}})))
                        _exit(3);
                    rounds[value] = round;
                }
            }
            _exit(0);
        }
        usleep(std::uniform_int_distribution<useconds_t>(0, 20000)(random));
        ASSERT_EQ(::kill(child, SIGKILL), 0);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer failed by itself, status " << status;

        CRegistry registry;
        if (!registry.Open(HKEY_CURRENT_USER, kPluxKey, "", 0))
            continue;  // killed before the key was made
        // Each value holds the last round stored or the one after it.
        auto storedRound = [&](int value, const char* name, int acknowledged) {
            const std::string text = registry.ReadString(name);
            const int round = text.empty() && acknowledged == 0 ? 0 : RoundOf(value, text);
            EXPECT_TRUE(round == acknowledged || round == acknowledged + 1)
                << "seed " << seed << ", kill " << kill << ": " << name << " holds round " << round << " after round "
                << acknowledged << " was stored";
            return round;
        };
        for (int value = 0; value < kSingles; ++value)
            rounds[value] = storedRound(value, std::to_string(value).c_str(), rounds[value]);
        const int hostRound = storedRound(10, "Host Side IP", rounds[kSingles]);
        EXPECT_EQ(storedRound(11, "Zenta Side IP", rounds[kSingles]), hostRound) << "pair stored apart";
        rounds[kSingles] = hostRound;  // the next writer goes on from what is stored
    }
    munmap(rounds, sizeof(std::atomic<int>) * (kSingles + 1));

    for (const auto& entry : std::filesystem::directory_iterator(store.KeyFolder(kPluxKey)))
        EXPECT_TRUE(entry.path().filename() == "values.txt" || entry.path().filename() == ".values.txt.tmp")
            << "left behind: " << entry.path();
}

}  // namespace
