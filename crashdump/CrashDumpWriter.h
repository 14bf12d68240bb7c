#pragma once

#include <csignal>

// Installs CrashDumpFilter, process-wide, for SIGSEGV, SIGBUS, SIGFPE, SIGILL
// and SIGABRT, running on an alternate signal stack for the calling thread
// (so a stack overflow of that thread still gets its dump). All the memory
// a dump needs is prepared here. Call early from the main thread; calling
// again does nothing. Returns false, after saying why on stderr, when the
// handler could not be installed.
[[nodiscard]] bool InstallCrashDumpWriter() noexcept;

// The fatal-signal handler. Writes "PLUXCrash_<seconds since 1970>.dmp", a
// minidump of the process, into the current working directory as a new
// file, mode 0600 (when that name is taken, "PLUXCrash_<seconds>_<n>.dmp"
// for the first n from 1 to 99 that is free; nothing exists is reused or
// followed), then restores the signal's default action and
// raises it again: the process ends exactly as it would have without the
// handler. Shows and logs nothing. Without signal information or context,
// or when the file cannot be created, no dump is written. A thread that
// faults while another writes its dump waits for that dump and ends the
// same way.
void CrashDumpFilter(int signal, siginfo_t* info, void* context) noexcept;
