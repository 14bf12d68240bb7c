#include "log/EventLog.h"
#include "tests/support/TempDirectory.h"
#include "tests/support/TestNetwork.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <future>

namespace {

using namespace std::chrono_literals;

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
    ASSERT_TRUE(log->Flush());

    EXPECT_EQ(ReadFile(directory.File("PLUX_04DEC2026.TXT")), "05:29:59 last\n\nends with a line end\n\n");
    EXPECT_EQ(ReadFile(directory.File("PLUX_05DEC2026.TXT")), "05:30:00 first\n\n");
    // Lines that cannot be written are lost, and the trouble is told once
    // when it begins and once when it ends. The line copy sees them all.
    std::vector<std::string> told, copied;
    log->SetObserver([&told](const std::string& problem) { told.push_back(problem); });
    log->SetLineCopy([&copied](const std::string& line) { copied.push_back(line); });
    log->SetLogDirectory(directory.File("missing"));
    log->WriteLog("lost");
    log->WriteLog("lost too");
    // A full file system takes the open and fails at the write.
    log->SetLogDirectory(directory.Path());
    std::filesystem::remove(directory.File("PLUX_05DEC2026.TXT"));
    std::filesystem::create_symlink("/dev/full", directory.File("PLUX_05DEC2026.TXT"));
    log->WriteLog("no room");
    ASSERT_TRUE(log->Flush());
    std::filesystem::remove(directory.File("PLUX_05DEC2026.TXT"));
    log->WriteLog("back");
    ASSERT_TRUE(log->Flush());
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

// A writer that does not get on (a frozen disk; here its line copy held)
// never holds up a thread that logs: the queue takes what fits, the rest is
// counted, and once the writer gets on the lines come in their order,
// followed by the count of those that were dropped.
TEST(EventLogTest, AHeldWriterHoldsUpNoThreadThatLogs)
{
    TempDirectory directory;
    CEventLog* log = g_pEventLog = CEventLog::GetInstance();
    log->SetLogDirectory(directory.Path());
    std::atomic<bool> held{false}, release{false};
    log->SetLineCopy([&](const std::string&) {
        held = true;
        while (!release) std::this_thread::sleep_for(1ms);
    });
    ASSERT_TRUE(LogEvent("line 0"));
    ASSERT_TRUE(WaitFor([&] { return held.load(); }));

    // The line held is still in its slot; some lines are longer than a slot.
    constexpr int kLines = static_cast<int>(CLogLineQueue::kCapacity) + 500;
    const std::string longText(300, 'x');
    const auto text = [&](int i) { return FormatText("line %d%s", i, i % 100 == 7 ? longText.c_str() : ""); };
    auto logging = std::async(std::launch::async, [&] {
        int refused = 0;
        for (int i = 1; i <= kLines; ++i) refused += !LogEvent("%s", text(i).c_str());
        return refused;
    });
    // However this ends, the writer goes on before the thread that logs is waited for.
    struct ReleaseAtEnd {
        std::atomic<bool>& Release;
        ~ReleaseAtEnd()
        {
            Release = true;
            g_pEventLog->SetLineCopy(nullptr);
            g_pEventLog->SetLogDirectory(".");
            g_pEventLog = nullptr;
        }
    } releaseAtEnd{release};
    ASSERT_EQ(logging.wait_for(10s), std::future_status::ready) << "a thread that logs waited for the writer";
    const int refused = logging.get();
    EXPECT_EQ(refused, kLines - static_cast<int>(CLogLineQueue::kCapacity - 1));

    release = true;
    ASSERT_TRUE(log->Flush());
    std::string expected = "line 0\n";
    for (int i = 1; i < static_cast<int>(CLogLineQueue::kCapacity); ++i) expected += text(i) + "\n";
    const std::string written = ReadFile(directory.File(log->GetLogFileName()));
    ASSERT_TRUE(written.starts_with(expected));
    EXPECT_TRUE(
        written.substr(expected.size())
            .ends_with(FormatText(" %d event-log lines were dropped while the log could not be written.\n", refused)))
        << written.substr(expected.size());
}

}  // namespace
