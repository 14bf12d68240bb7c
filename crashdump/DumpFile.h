#pragma once

#include "crashdump/MinidumpFormat.h"

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace crashdump {

// The dump file, written front to back through a buffer prepared before the
// crash; every piece appended reports where it landed. Safe in a signal
// handler. A failed write (disk full) stops further writing: what was
// written stays as a partial dump.
class CDumpFile {
public:
    CDumpFile(int fd, uint8_t* buffer, size_t capacity) noexcept;
    CDumpFile(const CDumpFile&) = delete;
    CDumpFile& operator=(const CDumpFile&) = delete;

    [[nodiscard]] uint32_t Position() const noexcept { return m_position; }

    void Append(const void* data, size_t size) noexcept;
    void AppendZeros(size_t size) noexcept;
    void Align(uint32_t alignment) noexcept;

    template <class Record>
    MINIDUMP_LOCATION_DESCRIPTOR AppendRecord(const Record& record) noexcept
    {
        Align(8);
        const MINIDUMP_LOCATION_DESCRIPTOR location{sizeof(Record), m_position};
        Append(&record, sizeof(Record));
        return location;
    }

    // Copies a range of this process's memory; pages that cannot be read
    // are written as zeros, so the range keeps its size.
    MINIDUMP_LOCATION_DESCRIPTOR AppendMemory(uint64_t address, uint32_t size) noexcept;
    // The whole of a (/proc) file; an empty location when it cannot be read.
    MINIDUMP_LOCATION_DESCRIPTOR AppendFileContents(const char* path) noexcept;
    // A MINIDUMP_STRING: byte length, then the text in UTF-16 with a terminator.
    uint32_t AppendString(const char* utf8) noexcept;

    // Overwrites bytes already written (the header, once the streams are known).
    void WriteAt(uint32_t offset, const void* data, size_t size) noexcept;
    // Writes out the buffer; false when any write failed.
    [[nodiscard]] bool Finish() noexcept;

private:
    void Flush() noexcept;
    // All of `data`, at the end of the file or, given an offset, there.
    void WriteOut(const void* data, size_t size, off_t offset = -1) noexcept;

    int m_fd;
    uint8_t* m_buffer;
    size_t m_capacity;
    size_t m_used = 0;
    uint32_t m_position = 0;
    bool m_failed = false;
};

}  // namespace crashdump
