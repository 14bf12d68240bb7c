#pragma once

#include "log/LogLineQueue.h"

#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

// The process-wide daily event log. One file per UTC day in the log
// directory; every event is one line. Writing a line only queues it: one
// writer thread of the log's own appends the queued lines in order, so a
// thread that logs (a relay thread above all) never waits on a disk. The
// queue is bounded: when it is full (a stalled or very slow disk) a line is
// dropped and counted, and once the writer gets on again one line says how
// many were lost. Control characters inside a line are escaped as the
// settings store escapes them (log/LogEscape.h), all but the line ends a
// message starts with, which leave empty lines before it. The writer opens, appends and closes the day's file for
// each batch of lines, so no handle stays open between batches.
//
// A line that cannot be written (no folder, no permission, a full file
// system: the open, the write or the close fails) is lost, and the log says
// so once on stderr and to its observer, with the path and the system's
// reason, and once more when lines are written again. The caller carries on.
class CEventLog {
public:
    using Clock = std::function<std::time_t()>;
    // Told of the log's own trouble: the problem in words, or an empty text once it is over.
    using Observer = std::function<void(const std::string& problem)>;
    // Given every line the writer takes, as it goes to the file (a second home for the lines).
    using LineCopy = std::function<void(const std::string& line)>;

    // How long a flush waits at most; at exit the queued lines get this long to reach the file.
    static constexpr std::chrono::milliseconds kFlushLimit{1000};

    static CEventLog* GetInstance();

    // Lines queued before the change still go to the old directory.
    void SetLogDirectory(const std::string& directory);
    [[nodiscard]] std::string GetLogDirectory() const;

    // "JAN" for 1 to "DEC" for 12, "" for anything else.
    [[nodiscard]] static std::string GetMonthName(int month);
    // File name of the current UTC day, for example PLUX_04DEC2026.TXT.
    [[nodiscard]] std::string GetLogFileName() const;
    [[nodiscard]] static std::string GetLogFileName(std::time_t time);
    // Queues the message as one line; false when the queue was full and it was dropped.
    bool WriteLog(std::string message);
    // The same for a printf-style message, formatted straight into the queue.
    bool WriteFormatted(const char* format, std::va_list args) __attribute__((format(printf, 2, 0)));
    // Waits until every line queued before the call has been written (or
    // found unwritable), at most `limit`; false when the time ran out.
    bool Flush(std::chrono::milliseconds limit = kFlushLimit);

    // Both run on the log's writer thread. Setting one waits for a call of
    // the old one in progress, so after SetObserver(nullptr) the old one is
    // never called again.
    void SetObserver(Observer observer);
    void SetLineCopy(LineCopy copy);

    // Tests replace the clock so that day changes happen on demand. It is
    // read on the thread that logs, when the line is queued.
    void SetClock(Clock clock);
    [[nodiscard]] std::time_t Now() const;

private:
    CEventLog();

    [[noreturn]] void RunWriter();
    // One round of the writer: the lines queued by now, then the count of
    // dropped ones; how many lines were taken.
    size_t WriteQueuedLines();
    void AppendToFile(const std::string& fileName, const std::string& text);
    void CopyLine(const std::string& line);
    // Notes the outcome of one write; the text to report when that changed the log's state.
    [[nodiscard]] std::string NoteOutcome(const std::string& path, const std::string& failure);

    CLogLineQueue m_queue;

    mutable std::mutex m_mutex;  // the directory and the clock
    std::string m_directory = ".";
    Clock m_clock;

    std::mutex m_callbackMutex;  // held while the observer or the line copy runs
    Observer m_observer;
    LineCopy m_lineCopy;

    std::mutex m_flushMutex;
    std::condition_variable m_flushed;
    uint64_t m_writtenCount = 0;  // lines the writer has finished with

    bool m_failing = false;  // the writer's alone
    std::thread m_writer;
};

// The one way to the log: set once at start-up by the program (the window
// or the headless runner) to GetInstance(); everything else writes through
// LogEvent. Null logs nothing.
extern CEventLog* g_pEventLog;

// Local time of day "%H:%M:%S" by the log's clock (the system clock while
// no log is set): the stamp callers put at the start of every line.
[[nodiscard]] std::string LocalTimeText();

// printf-style text.
[[nodiscard]] std::string FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Formats a line and queues it for g_pEventLog; false when nothing was queued.
bool LogEvent(const char* format, ...) __attribute__((format(printf, 1, 2)));
