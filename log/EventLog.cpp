#include "log/EventLog.h"

#include "log/LogEscape.h"
#include "log/LogFileAppend.h"

#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

CEventLog* g_pEventLog = nullptr;

namespace {

// Lines the writer takes before it tells waiting flushes how far it got.
constexpr size_t kLinesPerRound = 256;

// The writer takes no signal meant for the process (the runner waits for
// them on its main thread); faults, and the crash dump's call to every
// thread (a real-time signal), still reach it.
void BlockProcessSignals()
{
    sigset_t signals;
    sigfillset(&signals);
    for (const int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) sigdelset(&signals, fault);
    for (int realTime = SIGRTMIN; realTime <= SIGRTMAX; ++realTime) sigdelset(&signals, realTime);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

// Local time of day "%H:%M:%S".
std::string TimeOfDayText(std::time_t time)
{
    std::tm local{};
    localtime_r(&time, &local);
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", &local);
    return text;
}

// The line as it stands in the file: the line ends it starts with kept (the
// caller's empty lines before it), every other control character escaped,
// so that no value inside can end the line or forge another, and one line end.
void AppendFileLine(std::string& out, std::string_view line)
{
    const size_t text = std::min(line.find_first_not_of('\n'), line.size());
    out.append(line.substr(0, text));
    AppendEscapedLogText(out, line.substr(text));
    out += '\n';
}

}  // namespace

CEventLog* CEventLog::GetInstance()
{
    // Never destroyed: the writer may still be inside a stalled write when
    // the process ends, and must not find the log gone.
    static CEventLog* const instance = new CEventLog;
    return instance;
}

CEventLog::CEventLog() : m_writer([this] { RunWriter(); })
{
    m_writer.detach();
    // An orderly exit (return from main, exit()) waits a moment for the queued lines.
    std::atexit([] { (void)GetInstance()->Flush(); });
}

void CEventLog::SetLogDirectory(const std::string& directory)
{
    (void)Flush();
    std::lock_guard lock(m_mutex);
    m_directory = directory;
}

std::string CEventLog::GetLogDirectory() const
{
    std::lock_guard lock(m_mutex);
    return m_directory;
}

std::string CEventLog::GetMonthName(int month)
{
    static const char* const names[] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                        "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
    if (month < 1 || month > 12)
        return {};
    return names[month - 1];
}

std::string CEventLog::GetLogFileName() const
{
    return GetLogFileName(Now());
}

std::string CEventLog::GetLogFileName(std::time_t time)
{
    std::tm utc{};
    gmtime_r(&time, &utc);
    return FormatText("%s_%02d%s%02d.%s", "PLUX", utc.tm_mday, GetMonthName(utc.tm_mon + 1).c_str(), utc.tm_year + 1900,
                      "TXT");
}

bool CEventLog::WriteLog(std::string message)
{
    return m_queue.PushText(Now(), message);
}

bool CEventLog::WriteFormatted(const char* format, std::va_list args)
{
    return m_queue.Push(Now(), [&](LOG_LINE_SLOT& slot) {
        std::va_list copy;
        va_copy(copy, args);
        const int length = std::vsnprintf(slot.Text, sizeof slot.Text, format, copy);
        va_end(copy);
        slot.Length = length > 0 ? static_cast<size_t>(length) : 0;
        slot.IsLong = slot.Length >= sizeof slot.Text;
        if (slot.IsLong) {
            slot.Long.resize(slot.Length);
            std::vsnprintf(slot.Long.data(), slot.Length + 1, format, args);
        }
    });
}

bool CEventLog::Flush(std::chrono::milliseconds limit)
{
    const uint64_t queued = m_queue.ClaimedCount();
    std::unique_lock lock(m_flushMutex);
    return m_flushed.wait_for(lock, limit, [&] { return m_writtenCount >= queued; });
}

void CEventLog::RunWriter()
{
    BlockProcessSignals();
    for (;;) {
        const uint32_t seen = m_queue.PublishedGeneration();
        if (WriteQueuedLines() == 0)
            m_queue.WaitForPublish(seen);
    }
}

size_t CEventLog::WriteQueuedLines()
{
    std::string fileName, text;
    const size_t taken = m_queue.Drain(kLinesPerRound, [&](const LOG_LINE_SLOT& slot) {
        std::string name = GetLogFileName(slot.Time);
        if (name != fileName && !text.empty()) {
            AppendToFile(fileName, text);
            text.clear();
        }
        fileName = std::move(name);
        const size_t start = text.size();
        AppendFileLine(text, slot.Line());
        CopyLine(text.substr(start, text.size() - start - 1));
    });
    if (!text.empty())
        AppendToFile(fileName, text);
    // Caught up with the queue: say what it could not take.
    const bool caughtUp = m_queue.ClaimedCount() == m_queue.TakenCount();
    if (const uint64_t dropped = caughtUp ? m_queue.TakeDroppedCount() : 0; dropped > 0) {
        const std::string line = FormatText("%s %llu event-log lines were dropped while the log could not be written.",
                                            TimeOfDayText(Now()).c_str(), static_cast<unsigned long long>(dropped));
        CopyLine(line);
        AppendToFile(GetLogFileName(Now()), line + "\n");
    }
    {
        std::lock_guard lock(m_flushMutex);
        m_writtenCount = m_queue.TakenCount();
    }
    m_flushed.notify_all();
    return taken;
}

void CEventLog::AppendToFile(const std::string& fileName, const std::string& text)
{
    const std::string path = GetLogDirectory() + "/" + fileName;
    const std::string report = NoteOutcome(path, AppendToLogFile(path, text));
    if (report.empty())
        return;
    std::fprintf(stderr, "%s\n", report.c_str());
    std::lock_guard lock(m_callbackMutex);
    if (m_observer)
        m_observer(m_failing ? report : std::string());
}

void CEventLog::CopyLine(const std::string& line)
{
    std::lock_guard lock(m_callbackMutex);
    if (m_lineCopy)
        m_lineCopy(line);
}

std::string CEventLog::NoteOutcome(const std::string& path, const std::string& failure)
{
    if (!failure.empty() == m_failing)
        return {};
    m_failing = !failure.empty();
    if (m_failing)
        return FormatText("The event log %s cannot be written: %s. Events are not recorded.", path.c_str(),
                          failure.c_str());
    return FormatText("The event log %s is written again.", path.c_str());
}

void CEventLog::SetObserver(Observer observer)
{
    std::lock_guard lock(m_callbackMutex);
    m_observer = std::move(observer);
}

void CEventLog::SetLineCopy(LineCopy copy)
{
    std::lock_guard lock(m_callbackMutex);
    m_lineCopy = std::move(copy);
}

void CEventLog::SetClock(Clock clock)
{
    std::lock_guard lock(m_mutex);
    m_clock = std::move(clock);
}

std::time_t CEventLog::Now() const
{
    return m_clock ? m_clock() : std::time(nullptr);
}

std::string LocalTimeText()
{
    return TimeOfDayText(g_pEventLog ? g_pEventLog->Now() : std::time(nullptr));
}

static std::string VFormatText(const char* format, std::va_list args)
{
    std::va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (length <= 0)
        return {};
    std::string text(static_cast<size_t>(length), '\0');
    std::vsnprintf(text.data(), text.size() + 1, format, args);
    return text;
}

std::string FormatText(const char* format, ...)
{
    std::va_list args;
    va_start(args, format);
    std::string text = VFormatText(format, args);
    va_end(args);
    return text;
}

bool LogEvent(const char* format, ...)
{
    if (!g_pEventLog)
        return false;
    std::va_list args;
    va_start(args, format);
    const bool queued = g_pEventLog->WriteFormatted(format, args);
    va_end(args);
    return queued;
}
