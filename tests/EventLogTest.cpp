#include "log/EventLog.h"
#include "tests/support/TempDirectory.h"
#include "tests/support/TestNetwork.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <sstream>
#include <thread>
#include <vector>

namespace {

// 2026-12-04 23:59:59 UTC.
constexpr std::time_t kLastSecondOfDec4 = 1796428799;

class EventLogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        log = CEventLog::GetInstance();
        log->SetLogDirectory(directory.Path());
        log->SetClock([this] { return now; });
    }
    void TearDown() override
    {
        log->SetClock(nullptr);
        log->SetLogDirectory(".");
        unsetenv("TZ");
        tzset();
    }

    TempDirectory directory;
    CEventLog* log = nullptr;
    std::time_t now = kLastSecondOfDec4;
};

TEST_F(EventLogTest, FileNameFollowsTheUtcDateWithLeadingZeroDay)
{
    EXPECT_EQ(log->GetLogFileName(), "PLUX_04DEC2026.TXT");
    now = 1798761600;  // 2027-01-01 00:00:00 UTC
    EXPECT_EQ(log->GetLogFileName(), "PLUX_01JAN2027.TXT");
    EXPECT_EQ(CEventLog::GetMonthName(1), "JAN");
    EXPECT_EQ(CEventLog::GetMonthName(12), "DEC");
    EXPECT_EQ(CEventLog::GetMonthName(0), "");
    EXPECT_EQ(CEventLog::GetMonthName(13), "");
}

// Five and a half hours ahead of UTC, local 05:29:59 is the last second of
// one UTC day and 05:30:00 the first of the next.
TEST_F(EventLogTest, LinesOnEitherSideOfMidnightUtcGoToTwoFiles)
{
    setenv("TZ", "IST-5:30", 1);
    tzset();
    EXPECT_TRUE(log->WriteLog(LocalTimeText() + " last"));
    now += 1;
    EXPECT_TRUE(log->WriteLog(LocalTimeText() + " first"));

    EXPECT_EQ(ReadFile(directory.File("PLUX_04DEC2026.TXT")), "05:29:59 last\n");
    EXPECT_EQ(ReadFile(directory.File("PLUX_05DEC2026.TXT")), "05:30:00 first\n");
}

TEST_F(EventLogTest, MessagesAreWrittenUnchangedWithOneLineEnd)
{
    EXPECT_TRUE(log->WriteLog(""));
    EXPECT_TRUE(log->WriteLog("\nstarted"));
    EXPECT_TRUE(log->WriteLog("ends with a line end\n"));
    EXPECT_EQ(ReadFile(directory.File(log->GetLogFileName())), "\n\nstarted\nends with a line end\n\n");
}

TEST_F(EventLogTest, UnwritableDirectoryLosesTheLineQuietly)
{
    log->SetLogDirectory(directory.File("missing"));
    EXPECT_FALSE(log->WriteLog("lost"));
}

TEST_F(EventLogTest, ConcurrentWritersKeepEveryLineWhole)
{
    constexpr int kThreads = 4;
    constexpr int kLines = 200;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t)
        writers.emplace_back([this, t] {
            for (int i = 0; i < kLines; ++i)
                log->WriteLog(std::string(1000, static_cast<char>('a' + t)));
        });
    for (std::thread& writer : writers)
        writer.join();

    std::istringstream text(ReadFile(directory.File(log->GetLogFileName())));
    int lines = 0;
    for (std::string line; std::getline(text, line); ++lines)
        ASSERT_EQ(line, std::string(1000, line.empty() ? '?' : line[0]));
    EXPECT_EQ(lines, kThreads * kLines);
}

}  // namespace
