#include "crashdump/CrashDumpWriter.h"

#include "crashdump/CrashWorkspace.h"
#include "crashdump/DumpFile.h"
#include "crashdump/MinidumpWriter.h"
#include "crashdump/RawSyscall.h"
#include "crashdump/SystemDescription.h"

#include <sys/mman.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

using namespace crashdump;

namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
constexpr size_t kAlternateStackSize = 128 * 1024;
constexpr size_t kGuardSize = 4096;
// How long a second faulting thread waits for the first one's dump.
constexpr int kWaitForOtherDumpMilliseconds = 30000;

CRASH_WORKSPACE* g_pWorkspace = nullptr;
std::atomic<pid_t> g_dumpingThread{0};
std::atomic<bool> g_dumpWritten{false};

void ReportFailure(const char* call)
{
    std::fprintf(stderr, "Crash dump writer: %s failed: %s\n", call, std::strerror(errno));
}

// Anonymous memory, touched now so that using it later cannot fail.
void* MapPrepared(size_t size)
{
    void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (memory == MAP_FAILED) {
        ReportFailure("mmap");
        return nullptr;
    }
    return memory;
}

bool PrepareWorkspace()
{
    void* memory = MapPrepared(sizeof(CRASH_WORKSPACE));
    if (!memory)
        return false;
    g_pWorkspace = new (memory) CRASH_WORKSPACE{};
    DescribeSystem(g_pWorkspace->SystemInfo, g_pWorkspace->SystemDescription, sizeof g_pWorkspace->SystemDescription);
    return true;
}

// A stack for the handler of this thread, with an inaccessible page below
// it: overrunning it faults inside the handler, which ends the process.
bool PrepareAlternateStack()
{
    auto* memory = static_cast<char*>(MapPrepared(kGuardSize + kAlternateStackSize));
    if (!memory)
        return false;
    if (mprotect(memory, kGuardSize, PROT_NONE) != 0) {
        ReportFailure("mprotect");
        return false;
    }
    const stack_t stack{memory + kGuardSize, 0, kAlternateStackSize};
    if (sigaltstack(&stack, nullptr) != 0) {
        ReportFailure("sigaltstack");
        return false;
    }
    return true;
}

bool InstallHandlers()
{
    struct sigaction action {};
    action.sa_sigaction = CrashDumpFilter;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    // With every fatal signal blocked in the handler, a fault inside it is
    // fatal at once instead of re-entering it.
    sigemptyset(&action.sa_mask);
    for (const int signal : kFatalSignals) sigaddset(&action.sa_mask, signal);
    for (const int signal : kFatalSignals) {
        if (sigaction(signal, &action, nullptr) != 0) {
            ReportFailure("sigaction");
            return false;
        }
    }
    return true;
}

// Names tried for one crash before giving up: a folder where others can
// write may hold files planted under the names to come.
constexpr int kDumpNameAttempts = 100;

// Appends the decimal digits of a value (at most 11 with the sign).
char* AppendDecimal(char* out, int64_t value) noexcept
{
    char digits[20];
    int count = 0;
    if (value < 0) {
        *out++ = '-';
        value = -value;
    }
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value > 0);
    while (count > 0) *out++ = digits[--count];
    return out;
}

// "PLUXCrash_" + the seconds as a signed 32-bit decimal + ".dmp"; from the
// second attempt on, "_" + the attempt number before ".dmp".
void FormatDumpName(char (&name)[40], int32_t seconds, int attempt) noexcept
{
    char* out = name;
    for (const char* prefix = "PLUXCrash_"; *prefix; ++prefix) *out++ = *prefix;
    out = AppendDecimal(out, seconds);
    if (attempt > 0) {
        *out++ = '_';
        out = AppendDecimal(out, attempt);
    }
    for (const char* suffix = ".dmp"; *suffix; ++suffix) *out++ = *suffix;
    *out = '\0';
}

// A file made for this dump alone: never one that exists already (which
// another user could read) and never through a link; -1 when none can be made.
int CreateDumpFile(int32_t seconds) noexcept
{
    char name[40];
    for (int attempt = 0; attempt < kDumpNameAttempts; ++attempt) {
        FormatDumpName(name, seconds, attempt);
        const int fd = sys::Open(name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

// The faulting address where the kernel reports one (a fault it raised);
// signals sent by a process (abort) have none.
uint64_t FaultAddress(int signal, const siginfo_t& info) noexcept
{
    if (info.si_code <= 0 || signal == SIGABRT)
        return 0;
    return reinterpret_cast<uint64_t>(info.si_addr);
}

void WriteDumpFile(int signal, const siginfo_t& info, const ucontext_t& context, pid_t self) noexcept
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const auto seconds = static_cast<int32_t>(static_cast<uint32_t>(now.tv_sec));
    const int fd = CreateDumpFile(seconds);
    if (fd < 0)
        return;
    CDumpFile file(fd, g_pWorkspace->IoBuffer, sizeof g_pWorkspace->IoBuffer);
    const CRASH_EVENT crash{signal, info.si_code, FaultAddress(signal, info), static_cast<uint32_t>(seconds),
                            self,   &context};
    // A failed write leaves a partial dump; nothing more can be done about it here.
    (void)WriteMinidump(file, *g_pWorkspace, crash);
    sys::Close(fd);
}

void WaitForOtherDump(pid_t self, const ucontext_t& context) noexcept
{
    PublishWaitingFault(self, &context);
    for (int waited = 0; waited < kWaitForOtherDumpMilliseconds && !g_dumpWritten.load(); ++waited)
        sys::SleepMilliseconds(1);
}

void RestoreDefaultAndRaise(int signal) noexcept
{
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
    // Blocked while the handler runs, the signal is delivered when it
    // returns; a hardware fault would recur anyway, abort() needs it sent.
    sys::SignalThread(sys::GetTid(), signal);
}

}  // namespace

bool InstallCrashDumpWriter() noexcept
{
    static bool installed = false;
    if (installed)
        return true;
    if (!PrepareWorkspace() || !PrepareAlternateStack())
        return false;
    InstallThreadCapture();
    if (!InstallHandlers())
        return false;
    installed = true;
    return true;
}

void CrashDumpFilter(int signal, siginfo_t* info, void* context) noexcept
{
    if (info && context && g_pWorkspace) {
        const pid_t self = sys::GetTid();
        const auto& faultContext = *static_cast<const ucontext_t*>(context);
        pid_t writer = 0;
        if (g_dumpingThread.compare_exchange_strong(writer, self)) {
            WriteDumpFile(signal, *info, faultContext, self);
            g_dumpWritten.store(true);
        } else if (writer != self) {
            WaitForOtherDump(self, faultContext);
        }
        // writer == self: a fatal signal while this thread writes; just end.
    }
    RestoreDefaultAndRaise(signal);
}
