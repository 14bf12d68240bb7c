#pragma once

#include <ctime>
#include <functional>
#include <mutex>
#include <string>

// The process-wide daily event log. One file per UTC day in the log
// directory; every event is one line, appended whole by its own
// open/append/close under a lock, so that lines from several threads never
// mix and nothing is held back in the program between lines. The line is
// handed to the system when WriteLog returns true, not forced to disk.
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
    // Given every line handed to WriteLog, written to the file or not (a second home for the lines).
    using LineCopy = std::function<void(const std::string& line)>;

    static CEventLog* GetInstance();

    void SetLogDirectory(const std::string& directory);
    [[nodiscard]] std::string GetLogDirectory() const;

    // "JAN" for 1 to "DEC" for 12, "" for anything else.
    [[nodiscard]] static std::string GetMonthName(int month);
    // File name of the current UTC day, for example PLUX_04DEC2026.TXT.
    [[nodiscard]] std::string GetLogFileName() const;
    // Appends the message and a line end; false when it was not written.
    bool WriteLog(std::string message);
    // Both run on the thread that wrote, outside the log's lock.
    void SetObserver(Observer observer);
    void SetLineCopy(LineCopy copy);

    // Tests replace the clock so that day changes happen on demand.
    void SetClock(Clock clock);
    [[nodiscard]] std::time_t Now() const;

private:
    CEventLog() = default;

    // Notes the outcome of one write; the text to report when that changed the log's state.
    [[nodiscard]] std::string NoteOutcome(const std::string& path, int error);

    mutable std::mutex m_mutex;  // serialises open/append/close so lines stay whole
    std::string m_directory = ".";
    Clock m_clock;
    Observer m_observer;
    LineCopy m_lineCopy;
    bool m_failing = false;
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

// Formats a line and writes it to g_pEventLog; false when nothing was written.
bool LogEvent(const char* format, ...) __attribute__((format(printf, 1, 2)));
