#include "log/EventLog.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>

CEventLog* g_pEventLog = nullptr;

CEventLog* CEventLog::GetInstance()
{
    static CEventLog instance;
    return &instance;
}

void CEventLog::SetLogDirectory(const std::string& directory)
{
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
    const std::time_t now = Now();
    std::tm utc{};
    gmtime_r(&now, &utc);
    return FormatText("%s_%02d%s%02d.%s", "PLUX", utc.tm_mday, GetMonthName(utc.tm_mon + 1).c_str(), utc.tm_year + 1900,
                      "TXT");
}

bool CEventLog::WriteLog(std::string message)
{
    std::unique_lock lock(m_mutex);
    const std::string path = m_directory + "/" + GetLogFileName();
    int error = 0;
    if (std::FILE* file = std::fopen(path.c_str(), "a+")) {
        // The line reaches the file system at the flush or the close; a full one fails there.
        if (std::fprintf(file, "%s\n", message.c_str()) < 0 || std::fflush(file) != 0)
            error = errno;
        if (std::fclose(file) != 0 && error == 0)
            error = errno;
    } else {
        error = errno;
    }
    const std::string report = NoteOutcome(path, error);
    const Observer observer = report.empty() ? nullptr : m_observer;
    const bool failing = m_failing;
    const LineCopy lineCopy = m_lineCopy;
    lock.unlock();
    if (lineCopy)
        lineCopy(message);
    if (!report.empty()) {
        std::fprintf(stderr, "%s\n", report.c_str());
        if (observer)
            observer(failing ? report : std::string());
    }
    return error == 0;
}

std::string CEventLog::NoteOutcome(const std::string& path, int error)
{
    if ((error != 0) == m_failing)
        return {};
    m_failing = error != 0;
    if (m_failing)
        return FormatText("The event log %s cannot be written: %s. Events are not recorded.", path.c_str(),
                          std::strerror(error));
    return FormatText("The event log %s is written again.", path.c_str());
}

void CEventLog::SetObserver(Observer observer)
{
    std::lock_guard lock(m_mutex);
    m_observer = std::move(observer);
}

void CEventLog::SetLineCopy(LineCopy copy)
{
    std::lock_guard lock(m_mutex);
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
    const std::time_t now = g_pEventLog ? g_pEventLog->Now() : std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", &local);
    return text;
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
    std::string line = VFormatText(format, args);
    va_end(args);
    return g_pEventLog->WriteLog(std::move(line));
}
