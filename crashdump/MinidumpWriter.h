#pragma once

#include "crashdump/CrashWorkspace.h"
#include "crashdump/DumpFile.h"

namespace crashdump {

// Writes the minidump of a fault: system information, the exception, every
// thread that can be stopped (the faulting one first) with its stack, the
// loaded ELF modules with their build ids, and the memory map, status and
// command line of the process. The other threads stay parked until the
// dump is written. Safe in a signal handler. Returns whether every write
// succeeded.
[[nodiscard]] bool WriteMinidump(CDumpFile& file, CRASH_WORKSPACE& workspace, const CRASH_EVENT& crash) noexcept;

}  // namespace crashdump
