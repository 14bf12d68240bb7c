#include "log/EventLog.h"
#include "tests/support/TempDirectory.h"
#include "tests/support/TestNetwork.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <functional>
#include <future>

namespace {

using namespace std::chrono_literals;

// The file is named for the UTC date, with a leading zero day. Five and a
// half hours ahead of UTC, local 05:29:59 is the last second of one UTC day
// and 05:30:00 the first of the next. Messages are written with one line
// end; line ends at their start leave empty lines, others are escaped.
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

    EXPECT_EQ(ReadFile(directory.File("PLUX_04DEC2026.TXT")), "05:29:59 last\n\nends with a line end\\n\n");
    EXPECT_EQ(ReadFile(directory.File("PLUX_05DEC2026.TXT")), "05:30:00 first\n\n");
    // Lines that cannot be written are lost, and the trouble is told once
    // when it begins and once when it ends. The line copy sees them all.
    std::vector<std::string> told, copied;
    log->SetObserver([&told](const std::string& problem) { told.push_back(problem); });
    log->SetLineCopy([&copied](const std::string& line) { copied.push_back(line); });
    log->SetLogDirectory(directory.File("missing"));
    log->WriteLog("lost");
    log->WriteLog("lost too");
    // A file that may grow no further (as on a full file system) takes the open and fails at the write.
    log->SetLogDirectory(directory.Path());
    rlimit unlimited{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &unlimited), 0);
    const rlimit oneByte{1, unlimited.rlim_max};
    const auto xfszBefore = std::signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails instead of ending us
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &oneByte), 0);
    log->WriteLog("no room");
    const bool flushed = log->Flush();
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &unlimited), 0);
    std::signal(SIGXFSZ, xfszBefore);
    ASSERT_TRUE(flushed);
    log->WriteLog("back");
    ASSERT_TRUE(log->Flush());
    EXPECT_EQ(ReadFile(directory.File("PLUX_05DEC2026.TXT")), "05:30:00 first\n\nback\n");
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

// Whatever a stored or received value holds, it stays inside its line: line
// ends, terminal commands (C0 and C1 controls, DEL) and tabs are escaped as
// the settings store escapes them, and a backslash is doubled so that no
// escape can be faked. The journal's copy is the line as written.
TEST(EventLogTest, ControlCharactersInsideALineAreEscaped)
{
    TempDirectory directory;
    CEventLog* log = g_pEventLog = CEventLog::GetInstance();
    log->SetLogDirectory(directory.Path());
    std::vector<std::string> copied;
    log->SetLineCopy([&copied](const std::string& line) { copied.push_back(line); });
    const struct {
        const char* Value;
        const char* Written;
    } values[] = {
        {"x\n06:00:00 ORMA UDP Broadcast Server has been Closed",
         "x\\n06:00:00 ORMA UDP Broadcast Server has been Closed"},
        {"a\r\n", "a\\r\\n"},
        {"\x1b]0;owned\x07\x1b[2J", "\\x1B]0;owned\\x07\\x1B[2J"},
        {"\xc2\x9b"
         "31m \x7f",
         "\\xC2\\x9B31m \\x7F"},
        {"tab\there, back\\slash, caf\xc3\xa9", "tab\\there, back\\\\slash, caf\xc3\xa9"},
    };
    std::string expected = "\n";
    LogEvent("\n%s", "starts a run");
    expected += "starts a run\n";
    for (const auto& value : values) {
        LogEvent("Reload: %s.", value.Value);
        expected += std::string("Reload: ") + value.Written + ".\n";
    }
    ASSERT_TRUE(log->Flush());
    EXPECT_EQ(ReadFile(directory.File(log->GetLogFileName())), expected);
    ASSERT_EQ(copied.size(), std::size(values) + 1);
    EXPECT_EQ(copied[1], std::string("Reload: ") + values[0].Written + ".");
    log->SetLineCopy(nullptr);
    log->SetLogDirectory(".");
    g_pEventLog = nullptr;
}

// Run as root in a folder that others can write, the log writes only a
// regular file of its own with one name: whatever else stands under the
// day's name is refused with its reason, not followed and left as it was.
// A file of its own with wider permissions is narrowed to 0640, and a new
// one is 0640 whatever the umask.
TEST(EventLogTest, WritesOnlyARegularFileOfItsOwn)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "planting another user's file takes root";
    TempDirectory directory;
    ASSERT_EQ(chmod(directory.Path().c_str(), 01777), 0);
    CEventLog* log = g_pEventLog = CEventLog::GetInstance();
    log->SetLogDirectory(directory.Path());
    std::vector<std::string> told;
    log->SetObserver([&told](const std::string& problem) { told.push_back(problem); });
    const std::string path = directory.File(log->GetLogFileName()), victim = directory.File("victim"),
                      missing = directory.File("made-by-the-log");
    std::ofstream(victim) << "root's own\n";
    const auto nobodys = [](const std::string& file) {
        std::ofstream(file) << "nobody's\n";
        return chmod(file.c_str(), 0666) == 0 && chown(file.c_str(), 65534, 65534) == 0;
    };
    const std::string notFollowed = "it is a symbolic link, which the log does not follow";
    const struct {
        const char* Plant;
        std::function<bool()> Make;
        std::string Reason;
    } plants[] = {
        {"a link to root's file", [&] { return symlink(victim.c_str(), path.c_str()) == 0; }, notFollowed},
        {"a link to a missing path", [&] { return symlink(missing.c_str(), path.c_str()) == 0; }, notFollowed},
        {"a FIFO", [&] { return mkfifo(path.c_str(), 0666) == 0; }, "it is not a regular file"},
        {"another user's file", [&] { return nobodys(path); },
         "it belongs to user 65534, not to this program's user 0"},
        {"a hard link to root's file", [&] { return link(victim.c_str(), path.c_str()) == 0; },
         "it has 2 names (hard links), not one"},
    };
    for (const auto& plant : plants) {
        SCOPED_TRACE(plant.Plant);
        std::filesystem::remove(path);
        ASSERT_TRUE(plant.Make());
        // What the plant holds, read where that cannot block (not through a FIFO) or follow a link.
        const auto held = [&] {
            return std::filesystem::is_regular_file(std::filesystem::symlink_status(path)) ? ReadFile(path) : "";
        };
        const std::string before = held();
        log->WriteLog("planted");
        ASSERT_TRUE(log->Flush());
        ASSERT_FALSE(told.empty());
        EXPECT_EQ(told.back(),
                  "The event log " + path + " cannot be written: " + plant.Reason + ". Events are not recorded.");
        EXPECT_EQ(ReadFile(victim), "root's own\n");
        EXPECT_FALSE(std::filesystem::exists(missing));
        EXPECT_EQ(held(), before);
        std::filesystem::remove(path);
        log->WriteLog("own");
        ASSERT_TRUE(log->Flush());
        EXPECT_EQ(told.back(), "");
    }

    const mode_t umaskBefore = umask(0);
    struct stat file {};
    ASSERT_EQ(stat(path.c_str(), &file), 0);
    EXPECT_EQ(file.st_mode & 07777, 0640u) << "made by the log";
    ASSERT_EQ(chmod(path.c_str(), 0666), 0);
    log->WriteLog("narrowed");
    ASSERT_TRUE(log->Flush());
    ASSERT_EQ(stat(path.c_str(), &file), 0);
    EXPECT_EQ(file.st_mode & 07777, 0640u) << "narrowed";
    std::filesystem::remove(path);
    log->WriteLog("new");
    ASSERT_TRUE(log->Flush());
    umask(umaskBefore);
    ASSERT_EQ(stat(path.c_str(), &file), 0);
    EXPECT_EQ(file.st_mode & 07777, 0640u) << "made under umask 0";
    EXPECT_EQ(ReadFile(path), "new\n");
    log->SetObserver(nullptr);
    log->SetLogDirectory(".");
    g_pEventLog = nullptr;
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
