#include "crashdump/MapsReader.h"

#include "crashdump/RawSyscall.h"

#include <cerrno>
#include <cstring>

namespace crashdump {

namespace {

uint64_t ParseHex(const char*& text) noexcept
{
    uint64_t value = 0;
    for (;; ++text) {
        const char c = *text;
        if (c >= '0' && c <= '9')
            value = value * 16 + static_cast<uint64_t>(c - '0');
        else if (c >= 'a' && c <= 'f')
            value = value * 16 + static_cast<uint64_t>(c - 'a' + 10);
        else
            return value;
    }
}

uint64_t ParseDecimal(const char*& text) noexcept
{
    uint64_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) value = value * 10 + static_cast<uint64_t>(*text - '0');
    return value;
}

void SkipField(const char*& text) noexcept
{
    while (*text && *text != ' ') ++text;
    while (*text == ' ') ++text;
}

// "start-end perms offset dev inode   path"
bool ParseLine(const char* text, MAPPING& mapping) noexcept
{
    mapping.Start = ParseHex(text);
    if (*text++ != '-')
        return false;
    mapping.End = ParseHex(text);
    if (*text++ != ' ')
        return false;
    mapping.Readable = *text == 'r';
    SkipField(text);
    mapping.Offset = ParseHex(text);
    SkipField(text);
    SkipField(text);
    mapping.Inode = ParseDecimal(text);
    while (*text == ' ') ++text;
    mapping.Path = text;
    return mapping.End > mapping.Start;
}

}  // namespace

CMapsReader::CMapsReader(char* buffer, size_t capacity) noexcept
    : m_fd(sys::Open("/proc/self/maps", O_RDONLY)), m_buffer(buffer), m_capacity(capacity)
{
}

CMapsReader::~CMapsReader()
{
    if (m_fd >= 0)
        sys::Close(m_fd);
}

bool CMapsReader::Next(MAPPING& mapping) noexcept
{
    while (char* line = NextLine()) {
        if (ParseLine(line, mapping))
            return true;
    }
    return false;
}

char* CMapsReader::NextLine() noexcept
{
    bool skipping = false;  // inside a line too long for the buffer
    for (;;) {
        char* begin = m_buffer + m_begin;
        auto* newline = static_cast<char*>(std::memchr(begin, '\n', m_end - m_begin));
        if (newline) {
            *newline = '\0';
            m_begin = static_cast<size_t>(newline - m_buffer) + 1;
            if (!skipping)
                return begin;
            skipping = false;
            continue;
        }
        if (m_begin == 0 && m_end >= m_capacity - 1) {
            skipping = true;
            m_end = 0;
        }
        if (!Refill())
            return nullptr;
    }
}

bool CMapsReader::Refill() noexcept
{
    if (m_fd < 0)
        return false;
    std::memmove(m_buffer, m_buffer + m_begin, m_end - m_begin);
    m_end -= m_begin;
    m_begin = 0;
    for (;;) {
        // One byte kept for the terminator of a last line without newline.
        const ssize_t count = sys::Read(m_fd, m_buffer + m_end, m_capacity - 1 - m_end);
        if (count < 0 && errno == EINTR)
            continue;
        if (count > 0) {
            m_end += static_cast<size_t>(count);
            return true;
        }
        if (m_end == 0)
            return false;
        m_buffer[m_end++] = '\n';  // the last line had no newline
        return true;
    }
}

}  // namespace crashdump
