#pragma once

#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <ctime>

// What the crash path asks of the kernel, as plain system calls: they take
// no lock, allocate nothing, and no sanitizer runtime intercepts them (an
// intercepted write() would check, and report, the poisoned stack memory a
// dump copies). Each returns what the call returns: -1 with errno on failure.
namespace crashdump::sys {

inline int Open(const char* path, int flags, mode_t mode = 0) noexcept
{
    return static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags | O_CLOEXEC, mode));
}

inline void Close(int fd) noexcept
{
    syscall(SYS_close, fd);
}

inline ssize_t Read(int fd, void* buffer, size_t size) noexcept
{
    return syscall(SYS_read, fd, buffer, size);
}

inline ssize_t Write(int fd, const void* data, size_t size) noexcept
{
    return syscall(SYS_write, fd, data, size);
}

inline ssize_t WriteAt(int fd, const void* data, size_t size, off_t offset) noexcept
{
    return syscall(SYS_pwrite64, fd, data, size, offset);
}

inline ssize_t ReadDirectoryEntries(int fd, void* buffer, size_t size) noexcept
{
    return syscall(SYS_getdents64, fd, buffer, size);
}

// Copies this process's memory without touching it directly: an unmapped
// address gives an error instead of a second fault.
inline ssize_t ReadOwnMemory(uint64_t address, void* buffer, size_t size) noexcept
{
    const iovec local{buffer, size};
    const iovec remote{reinterpret_cast<void*>(address), size};
    return syscall(SYS_process_vm_readv, syscall(SYS_getpid), &local, 1UL, &remote, 1UL, 0UL);
}

inline pid_t GetPid() noexcept
{
    return static_cast<pid_t>(syscall(SYS_getpid));
}

inline pid_t GetTid() noexcept
{
    return static_cast<pid_t>(syscall(SYS_gettid));
}

inline int SignalThread(pid_t tid, int signal) noexcept
{
    return static_cast<int>(syscall(SYS_tgkill, GetPid(), tid, signal));
}

inline void SleepMilliseconds(long milliseconds) noexcept
{
    const timespec delay{milliseconds / 1000, (milliseconds % 1000) * 1000000};
    syscall(SYS_nanosleep, &delay, nullptr);
}

}  // namespace crashdump::sys
