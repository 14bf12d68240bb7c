#include "config/Registry.h"

#include "tests/support/TempSettingsStore.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <random>

namespace {

constexpr char kKey[] = "SOFTWARE\\ORMASYS\\KOV\\PLUX Details";
constexpr int kSingles = 4;  // values written one by one; then a pair written together

// Length and content change every round, so a torn or mixed text cannot pass.
std::string RoundText(int value, int round)
{
    std::string text = std::to_string(value) + "," + std::to_string(round) + ",";
    for (int i = 0; i < (round * 7 + value) % 60; ++i)
        text += "field,\\=\n#";
    return text;
}

// The round a stored text was written in; -1 when it is no complete text of that value.
int RoundOf(int value, const std::string& text)
{
    const size_t comma = text.find(',');
    const int round = comma == std::string::npos ? -1 : std::atoi(text.c_str() + comma + 1);
    return text == RoundText(value, round) ? round : -1;
}

// Last round stored of each single value, and of the pair; shared with the writer.
struct Progress {
    std::atomic<int> Rounds[kSingles + 1];
};

[[noreturn]] void WriteUntilKilled(Progress& progress)
{
    CRegistry registry;
    if (!registry.Open(HKEY_CURRENT_USER, kKey, "", 1))
        _exit(2);
    for (int pass = 0; pass < 100000; ++pass) {
        for (int value = 0; value <= kSingles; ++value) {
            const int round = progress.Rounds[value] + 1;
            const int stored = value < kSingles ? registry.WriteString(std::to_string(value).c_str(),
                                                                       RoundText(value, round).c_str())
                                                : registry.WriteStrings({{"Host Side IP", RoundText(10, round)},
                                                                         {"Zenta Side IP", RoundText(11, round)}});
            if (!stored)
                _exit(3);
            progress.Rounds[value] = round;
        }
    }
    _exit(0);
}

TEST(RegistryCrashTest, KilledWriterLeavesEveryValueOldOrNew)
{
    TempSettingsStore store;
    void* shared = mmap(nullptr, sizeof(Progress), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(shared, MAP_FAILED);
    Progress& progress = *new (shared) Progress{};
    const unsigned seed = std::random_device{}();
    std::mt19937 random(seed);

    for (int kill = 0; kill < 40 && !HasFailure(); ++kill) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            WriteUntilKilled(progress);
        }
        usleep(std::uniform_int_distribution<useconds_t>(0, 20000)(random));
        ASSERT_EQ(::kill(child, SIGKILL), 0);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer failed by itself, status " << status;

        CRegistry registry;
        if (!registry.Open(HKEY_CURRENT_USER, kKey, "", 0))
            continue;  // killed before the key was made
        // Each value holds the last round stored or the one after it.
        auto storedRound = [&](int value, const char* name, int acknowledged) {
            const std::string text = registry.ReadString(name);
            const int round = text.empty() && acknowledged == 0 ? 0 : RoundOf(value, text);
            EXPECT_TRUE(round == acknowledged || round == acknowledged + 1)
                << "seed " << seed << ", kill " << kill << ": " << name << " holds round " << round
                << " after round " << acknowledged << " was stored";
            return round;
        };
        for (int value = 0; value < kSingles; ++value)
            progress.Rounds[value] = storedRound(value, std::to_string(value).c_str(), progress.Rounds[value]);
        const int hostRound = storedRound(10, "Host Side IP", progress.Rounds[kSingles]);
        EXPECT_EQ(storedRound(11, "Zenta Side IP", progress.Rounds[kSingles]), hostRound) << "pair stored apart";
        progress.Rounds[kSingles] = hostRound;  // the next writer goes on from what is stored
    }
    munmap(shared, sizeof(Progress));

    for (const auto& entry : std::filesystem::directory_iterator(store.KeyFolder(kKey)))
        EXPECT_TRUE(entry.path().filename() == "values.txt" || entry.path().filename() == ".values.txt.tmp")
            << "left behind: " << entry.path();
}

}  // namespace
