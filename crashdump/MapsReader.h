#pragma once

#include <cstddef>
#include <cstdint>

namespace crashdump {

// One line of /proc/self/maps.
struct MAPPING {
    uint64_t Start;
    uint64_t End;
    uint64_t Offset;
    uint64_t Inode;
    bool Readable;
    const char* Path;  // "" for anonymous memory; valid until the next line is read
};

// Reads /proc/self/maps line by line through a caller's buffer: no
// allocation, safe in a signal handler. A line longer than the buffer is
// skipped.
class CMapsReader {
public:
    CMapsReader(char* buffer, size_t capacity) noexcept;
    ~CMapsReader();
    CMapsReader(const CMapsReader&) = delete;
    CMapsReader& operator=(const CMapsReader&) = delete;

    [[nodiscard]] bool IsOpen() const noexcept { return m_fd >= 0; }
    // False at the end of the map.
    [[nodiscard]] bool Next(MAPPING& mapping) noexcept;

private:
    [[nodiscard]] char* NextLine() noexcept;
    [[nodiscard]] bool Refill() noexcept;

    int m_fd;
    char* m_buffer;
    size_t m_capacity;
    size_t m_begin = 0;
    size_t m_end = 0;
};

}  // namespace crashdump
