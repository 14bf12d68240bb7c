#include "crashdump/DumpFile.h"

#include "crashdump/RawSyscall.h"

#include <cerrno>
#include <cstring>

namespace crashdump {

namespace {

constexpr size_t kPageSize = 4096;
constexpr uint8_t kZeros[kPageSize] = {};

// Calls emit(unit) for each UTF-16 code unit of a UTF-8 text; a broken
// sequence becomes U+FFFD.
template <class Emit>
void ForEachUtf16Unit(const char* text, Emit emit) noexcept
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    while (*bytes) {
        const unsigned lead = *bytes++;
        unsigned trailing = 0;
        uint32_t code = lead;
        if (lead >= 0x80 && (lead < 0xc0 || lead >= 0xf8)) {
            code = 0xfffd;
        } else if (lead >= 0xf0) {
            trailing = 3;
            code = lead & 0x07;
        } else if (lead >= 0xe0) {
            trailing = 2;
            code = lead & 0x0f;
        } else if (lead >= 0xc0) {
            trailing = 1;
            code = lead & 0x1f;
        }
        for (; trailing > 0; --trailing) {
            if ((*bytes & 0xc0) != 0x80) {
                code = 0xfffd;
                break;
            }
            code = (code << 6) | (*bytes++ & 0x3f);
        }
        if (code > 0x10ffff)
            code = 0xfffd;
        if (code >= 0x10000) {
            emit(static_cast<uint16_t>(0xd800 + ((code - 0x10000) >> 10)));
            emit(static_cast<uint16_t>(0xdc00 + ((code - 0x10000) & 0x3ff)));
        } else {
            emit(static_cast<uint16_t>(code));
        }
    }
}

}  // namespace

CDumpFile::CDumpFile(int fd, uint8_t* buffer, size_t capacity) noexcept
    : m_fd(fd), m_buffer(buffer), m_capacity(capacity)
{
}

void CDumpFile::Append(const void* data, size_t size) noexcept
{
    const auto* bytes = static_cast<const uint8_t*>(data);
    m_position += static_cast<uint32_t>(size);
    while (size > 0) {
        if (m_used == m_capacity)
            Flush();
        const size_t chunk = size < m_capacity - m_used ? size : m_capacity - m_used;
        std::memcpy(m_buffer + m_used, bytes, chunk);
        m_used += chunk;
        bytes += chunk;
        size -= chunk;
    }
}

void CDumpFile::AppendZeros(size_t size) noexcept
{
    while (size > 0) {
        const size_t chunk = size < kPageSize ? size : kPageSize;
        Append(kZeros, chunk);
        size -= chunk;
    }
}

void CDumpFile::Align(uint32_t alignment) noexcept
{
    AppendZeros((alignment - m_position % alignment) % alignment);
}

MINIDUMP_LOCATION_DESCRIPTOR CDumpFile::AppendMemory(uint64_t address, uint32_t size) noexcept
{
    Align(16);
    const MINIDUMP_LOCATION_DESCRIPTOR location{size, m_position};
    Flush();
    uint64_t done = 0;
    while (done < size && !m_failed) {
        // write() reads the memory in the kernel: an unreadable page fails
        // the call (or shortens it) instead of faulting here.
        const ssize_t written = sys::Write(m_fd, reinterpret_cast<const void*>(address + done), size - done);
        if (written > 0) {
            done += static_cast<uint64_t>(written);
        } else if (written < 0 && errno == EINTR) {
            continue;
        } else if (written < 0 && errno == EFAULT) {
            const uint64_t toPageEnd = kPageSize - (address + done) % kPageSize;
            const uint64_t gap = toPageEnd < size - done ? toPageEnd : size - done;
            WriteOut(kZeros, gap);
            done += gap;
        } else {
            m_failed = true;
        }
    }
    m_position += size;
    return location;
}

MINIDUMP_LOCATION_DESCRIPTOR CDumpFile::AppendFileContents(const char* path) noexcept
{
    Align(4);
    MINIDUMP_LOCATION_DESCRIPTOR location{0, m_position};
    const int fd = sys::Open(path, O_RDONLY);
    if (fd < 0)
        return location;
    Flush();
    for (;;) {
        const ssize_t count = sys::Read(fd, m_buffer, m_capacity);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            break;
        WriteOut(m_buffer, static_cast<size_t>(count));
        m_position += static_cast<uint32_t>(count);
        location.DataSize += static_cast<uint32_t>(count);
    }
    sys::Close(fd);
    return location;
}

uint32_t CDumpFile::AppendString(const char* utf8) noexcept
{
    uint32_t units = 0;
    ForEachUtf16Unit(utf8, [&](uint16_t) { ++units; });
    Align(4);
    const uint32_t rva = m_position;
    const uint32_t byteLength = units * 2;
    Append(&byteLength, sizeof byteLength);
    ForEachUtf16Unit(utf8, [&](uint16_t unit) { Append(&unit, sizeof unit); });
    const uint16_t terminator = 0;
    Append(&terminator, sizeof terminator);
    return rva;
}

void CDumpFile::WriteAt(uint32_t offset, const void* data, size_t size) noexcept
{
    Flush();
    WriteOut(data, size, offset);
}

bool CDumpFile::Finish() noexcept
{
    Flush();
    return !m_failed;
}

void CDumpFile::Flush() noexcept
{
    WriteOut(m_buffer, m_used);
    m_used = 0;
}

void CDumpFile::WriteOut(const void* data, size_t size, off_t offset) noexcept
{
    const auto* bytes = static_cast<const uint8_t*>(data);
    while (size > 0 && !m_failed) {
        const ssize_t written = offset < 0 ? sys::Write(m_fd, bytes, size) : sys::WriteAt(m_fd, bytes, size, offset);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            m_failed = true;
            break;
        }
        bytes += written;
        size -= static_cast<size_t>(written);
        if (offset >= 0)
            offset += written;
    }
}

}  // namespace crashdump
