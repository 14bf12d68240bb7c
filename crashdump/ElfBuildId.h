#pragma once

#include <cstddef>
#include <cstdint>

namespace crashdump {

inline constexpr size_t kMaxBuildIdSize = 64;

// True when an ELF image starts at `base` in this process's memory.
[[nodiscard]] bool IsElfImage(uint64_t base) noexcept;

// Reads the GNU build id of the ELF image loaded at `base` (its first
// mapping) from memory, never faulting. Returns the id's length, 0 when it
// has none.
[[nodiscard]] size_t ReadElfBuildId(uint64_t base, uint8_t (&id)[kMaxBuildIdSize]) noexcept;

}  // namespace crashdump
