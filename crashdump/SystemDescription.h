#pragma once

#include "crashdump/MinidumpFormat.h"

#include <cstddef>

namespace crashdump {

// The system information stream's record for this machine (processor from
// cpuid, kernel version from uname) and the kernel's description for its
// version text. Made at installation: uname and sysconf are not for a
// signal handler.
void DescribeSystem(MINIDUMP_SYSTEM_INFO& info, char* description, size_t capacity) noexcept;

}  // namespace crashdump
