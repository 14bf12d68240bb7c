#include "log/EventLog.h"
#include "tests/support/TempDirectory.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

// The file is named for the UTC date, with a leading zero day. Five and a
// half hours ahead of UTC, local 05:29:59 is the last second of one UTC day
// and 05:30:00 the first of the next. Messages are written unchanged with
// one line end.
TEST(EventLogTest, LinesOnEitherSideOfMidnightUtcGoToTwoFiles)
{
    TempDirectory directory;
    CEventLog* log = g_pEventLog = CEventLog::GetInstance();
    std::time_t now = 1796428799;  // 2026-12-04 23:59:59 UTC
    log->SetLogDirectory(directory.Path());
    log->SetClock([&now] { return now; });
    setenv("TZ", "IST-5:30", 1);
    tzset();
    EXPECT_TRUE(log->WriteLog(LocalTimeText() + " last"));
    EXPECT_TRUE(log->WriteLog("\nends with a line end\n"));
    now += 1;
    EXPECT_TRUE(log->WriteLog(LocalTimeText() + " first"));
    EXPECT_TRUE(log->WriteLog(""));

    EXPECT_EQ(ReadFile(directory.File("PLUX_04DEC2026.TXT")), "05:29:59 last\n\nends with a line end\n\n");
    EXPECT_EQ(ReadFile(directory.File("PLUX_05DEC2026.TXT")), "05:30:00 first\n\n");
    // Lines that cannot be written are lost, and the trouble is told once
    // when it begins and once when it ends. The line copy sees them all.
    std::vector<std::string> told, copied;
    log->SetObserver([&told](const std::string& problem) { told.push_back(problem); });
    log->SetLineCopy([&copied](const std::string& line) { copied.push_back(line); });
    log->SetLogDirectory(directory.File("missing"));
    EXPECT_FALSE(log->WriteLog("lost"));
    EXPECT_FALSE(log->WriteLog("lost too"));
    // A full file system takes the open and fails at the write.
    log->SetLogDirectory(directory.Path());
    std::filesystem::remove(directory.File("PLUX_05DEC2026.TXT"));
    std::filesystem::create_symlink("/dev/full", directory.File("PLUX_05DEC2026.TXT"));
    EXPECT_FALSE(log->WriteLog("no room"));
    std::filesystem::remove(directory.File("PLUX_05DEC2026.TXT"));
    EXPECT_TRUE(log->WriteLog("back"));
    ASSERT_EQ(told.size(), 2u);
    EXPECT_EQ(told[0], "The event log " + directory.File("missing") +
                           "/PLUX_05DEC2026.TXT cannot be written: "
                           "No such file or directory. Events are not recorded.");
    EXPECT_EQ(told[1], "");
    EXPECT_EQ(copied, (std::vector<std::string>{"lost", "lost too", "no room", "back"}));
    log->SetObserver(nullptr);
    log->SetLineCopy(nullptr);

    log->SetClock(nullptr);
    log->SetLogDirectory(".");
    g_pEventLog = nullptr;
    unsetenv("TZ");
    tzset();
}

}  // namespace
