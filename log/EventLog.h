#pragma once

#include <ctime>
#include <functional>
#include <mutex>
#include <string>

// The process-wide daily event log. One file per UTC day in the log
// directory; every event is one line, appended whole by its own
// open/append/close under a lock, so that lines from several threads never
// mix and nothing is held back in the program between lines. The line is
// handed to the system, not forced to disk; a write that fails after the
// file opened is not noticed.
class CEventLog {
public:
    using Clock = std::function<std::time_t()>;

    static CEventLog* GetInstance();

    void SetLogDirectory(const std::string& directory);
    [[nodiscard]] std::string GetLogDirectory() const;

    // "JAN" for 1 to "DEC" for 12, "" for anything else.
    [[nodiscard]] static std::string GetMonthName(int month);
    // File name of the current UTC day, for example PLUX_04DEC2026.TXT.
    [[nodiscard]] std::string GetLogFileName() const;
    // Appends the message and a line end; false when the file cannot be opened.
    bool WriteLog(std::string message);

    // Tests replace the clock so that day changes happen on demand.
    void SetClock(Clock clock);
    [[nodiscard]] std::time_t Now() const;

private:
    CEventLog() = default;

    mutable std::mutex m_mutex;  // serialises open/append/close so lines stay whole
    std::string m_directory = ".";
    Clock m_clock;
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
