#pragma once

#include "crashdump/MinidumpFormat.h"

#include <sys/types.h>
#include <ucontext.h>

#include <atomic>
#include <cstddef>

namespace crashdump {

enum CaptureState : int {
    kCaptureNone = 0,
    kCaptureRequested,
    kCaptureBusy,
    kCaptured,
    kCaptureAbandoned,
};

// A thread of the dump: its registers and, once the memory map is read,
// the part of its stack the dump keeps.
struct CAPTURED_THREAD {
    pid_t Tid;
    std::atomic<int> State;
    MINIDUMP_CONTEXT_AMD64 Context;
    MINIDUMP_MEMORY_DESCRIPTOR Stack;
    MINIDUMP_LOCATION_DESCRIPTOR ContextLocation;
};

// The registers a signal handler was given, in the dump's layout.
void ContextFromSignal(const ucontext_t& source, MINIDUMP_CONTEXT_AMD64& context) noexcept;

// Claims a real-time signal nobody handles and installs the handler that
// makes a thread hand over its registers. Not for the crash path. Without
// such a signal (said on stderr) dumps hold the faulting thread only.
void InstallThreadCapture() noexcept;

// Signals every thread of the process but `self`, adding each to
// threads[count...] and waiting (boundedly) until each has stored its
// registers and parked. Returns the new count; entries left kCaptureAbandoned
// are threads that did not answer in time, and no entry changes afterwards.
// `scratch` receives directory entries.
[[nodiscard]] size_t CaptureOtherThreads(CAPTURED_THREAD* threads, size_t count, size_t capacity, pid_t self,
                                         char* scratch, size_t scratchSize) noexcept;

// Lets the parked threads go on.
void ReleaseCapturedThreads() noexcept;

// Called by a thread that faulted while another one writes the dump: when
// asked for its registers it hands over those of its fault.
void PublishWaitingFault(pid_t tid, const ucontext_t* context) noexcept;

}  // namespace crashdump
