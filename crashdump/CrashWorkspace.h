#pragma once

#include "crashdump/MinidumpFormat.h"
#include "crashdump/ThreadCapture.h"

#include <climits>
#include <cstddef>
#include <cstdint>

namespace crashdump {

// All the memory a dump needs, mapped and touched at installation so the
// crash path allocates nothing.
struct CRASH_WORKSPACE {
    static constexpr size_t kMaxThreads = 512;
    static constexpr size_t kMaxModules = 1024;

    uint8_t IoBuffer[64 * 1024];
    char TextBuffer[16 * 1024];  // memory map lines, thread directory entries
    char ModulePath[PATH_MAX];
    CAPTURED_THREAD Threads[kMaxThreads];
    MINIDUMP_MODULE Modules[kMaxModules];
    MINIDUMP_SYSTEM_INFO SystemInfo;
    char SystemDescription[512];
};

// What the signal handler was told about the fault.
struct CRASH_EVENT {
    int Signal;
    int Code;
    uint64_t Address;
    uint32_t Time;  // seconds since 1970
    pid_t Tid;
    const ucontext_t* Context;
};

}  // namespace crashdump
