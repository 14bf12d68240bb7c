#include "crashdump/ThreadCapture.h"

#include "crashdump/RawSyscall.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

namespace crashdump {

namespace {

constexpr int kAnswerWaitMilliseconds = 500;
constexpr size_t kMaxWaitingFaults = 16;

struct WAITING_FAULT {
    std::atomic<pid_t> Tid;
    std::atomic<const ucontext_t*> Context;
};

int g_captureSignal = 0;
std::atomic<CAPTURED_THREAD*> g_pCaptureTable{nullptr};
std::atomic<size_t> g_captureCount{0};
std::atomic<bool> g_released{false};
WAITING_FAULT g_waitingFaults[kMaxWaitingFaults];

const ucontext_t* FindWaitingFault(pid_t tid) noexcept
{
    for (WAITING_FAULT& fault : g_waitingFaults) {
        if (fault.Tid.load(std::memory_order_acquire) == tid)
            return fault.Context.load(std::memory_order_acquire);
    }
    return nullptr;
}

void OnCaptureSignal(int, siginfo_t* info, void* context)
{
    const int savedErrno = errno;
    CAPTURED_THREAD* table = g_pCaptureTable.load(std::memory_order_acquire);
    // Only the dump writer of this process asks; anyone else is ignored.
    if (table && context && info->si_code == SI_TKILL && info->si_pid == sys::GetPid()) {
        const pid_t self = sys::GetTid();
        const size_t count = g_captureCount.load(std::memory_order_acquire);
        for (size_t i = 0; i < count; ++i) {
            CAPTURED_THREAD& thread = table[i];
            int requested = kCaptureRequested;
            if (thread.Tid != self || !thread.State.compare_exchange_strong(requested, kCaptureBusy))
                continue;
            const ucontext_t* fault = FindWaitingFault(self);
            ContextFromSignal(fault ? *fault : *static_cast<const ucontext_t*>(context), thread.Context);
            int busy = kCaptureBusy;
            if (!thread.State.compare_exchange_strong(busy, kCaptured))
                break;  // too late: the dump goes on without this thread
            // Parked, the thread's stack stays as recorded while it is copied.
            while (!g_released.load(std::memory_order_acquire)) sys::SleepMilliseconds(1);
            break;
        }
    }
    errno = savedErrno;
}

bool IsStillAnswering(const CAPTURED_THREAD& thread) noexcept
{
    const int state = thread.State.load(std::memory_order_acquire);
    return state == kCaptureRequested || state == kCaptureBusy;
}

// Adds the ids in /proc/self/task to the table.
size_t ListThreads(CAPTURED_THREAD* threads, size_t count, size_t capacity, pid_t self, char* scratch,
                   size_t scratchSize) noexcept
{
    const int directory = sys::Open("/proc/self/task", O_RDONLY | O_DIRECTORY);
    if (directory < 0)
        return count;
    ssize_t size;
    while ((size = sys::ReadDirectoryEntries(directory, scratch, scratchSize)) > 0) {
        // linux_dirent64: inode (8), offset (8), record length (2), type (1), name.
        for (ssize_t at = 0; at < size;) {
            uint16_t recordLength;
            std::memcpy(&recordLength, scratch + at + 16, sizeof recordLength);
            pid_t tid = 0;
            for (const char* name = scratch + at + 19; *name >= '0' && *name <= '9'; ++name)
                tid = tid * 10 + (*name - '0');
            at += recordLength;
            if (tid <= 0 || tid == self || count == capacity)
                continue;
            threads[count].Tid = tid;
            threads[count].State.store(kCaptureRequested, std::memory_order_relaxed);
            ++count;
        }
    }
    sys::Close(directory);
    return count;
}

}  // namespace

void ContextFromSignal(const ucontext_t& source, MINIDUMP_CONTEXT_AMD64& context) noexcept
{
    std::memset(&context, 0, sizeof context);
    const greg_t* registers = source.uc_mcontext.gregs;
    context.ContextFlags = CONTEXT_AMD64_FULL;
    context.Rax = static_cast<uint64_t>(registers[REG_RAX]);
    context.Rcx = static_cast<uint64_t>(registers[REG_RCX]);
    context.Rdx = static_cast<uint64_t>(registers[REG_RDX]);
    context.Rbx = static_cast<uint64_t>(registers[REG_RBX]);
    context.Rsp = static_cast<uint64_t>(registers[REG_RSP]);
    context.Rbp = static_cast<uint64_t>(registers[REG_RBP]);
    context.Rsi = static_cast<uint64_t>(registers[REG_RSI]);
    context.Rdi = static_cast<uint64_t>(registers[REG_RDI]);
    context.R8 = static_cast<uint64_t>(registers[REG_R8]);
    context.R9 = static_cast<uint64_t>(registers[REG_R9]);
    context.R10 = static_cast<uint64_t>(registers[REG_R10]);
    context.R11 = static_cast<uint64_t>(registers[REG_R11]);
    context.R12 = static_cast<uint64_t>(registers[REG_R12]);
    context.R13 = static_cast<uint64_t>(registers[REG_R13]);
    context.R14 = static_cast<uint64_t>(registers[REG_R14]);
    context.R15 = static_cast<uint64_t>(registers[REG_R15]);
    context.Rip = static_cast<uint64_t>(registers[REG_RIP]);
    context.EFlags = static_cast<uint32_t>(registers[REG_EFL]);
    // cs, gs, fs and ss share one 64-bit slot, 16 bits each.
    const auto segments = static_cast<uint64_t>(registers[REG_CSGSFS]);
    context.SegCs = static_cast<uint16_t>(segments);
    context.SegGs = static_cast<uint16_t>(segments >> 16);
    context.SegFs = static_cast<uint16_t>(segments >> 32);
    context.SegSs = static_cast<uint16_t>(segments >> 48);
    if (const auto* fpu = source.uc_mcontext.fpregs) {
        static_assert(sizeof *fpu == sizeof context.FltSave);
        std::memcpy(context.FltSave, fpu, sizeof context.FltSave);
        context.MxCsr = fpu->mxcsr;
    }
}

void InstallThreadCapture() noexcept
{
    // From the top of the real-time range, the first signal with no handler.
    for (int signal = SIGRTMAX; signal >= SIGRTMIN; --signal) {
        struct sigaction current {};
        if (sigaction(signal, nullptr, &current) != 0 || current.sa_handler != SIG_DFL)
            continue;
        struct sigaction action {};
        action.sa_sigaction = OnCaptureSignal;
        action.sa_flags = SA_SIGINFO | SA_RESTART | SA_ONSTACK;
        sigemptyset(&action.sa_mask);
        if (sigaction(signal, &action, nullptr) != 0) {
            std::fprintf(stderr,
                         "Crash dump writer: sigaction(%d) failed: %s; dumps will hold the faulting thread only\n",
                         signal, std::strerror(errno));
            return;
        }
        g_captureSignal = signal;
        return;
    }
    std::fprintf(stderr, "Crash dump writer: no free real-time signal; dumps will hold the faulting thread only\n");
}

size_t CaptureOtherThreads(CAPTURED_THREAD* threads, size_t count, size_t capacity, pid_t self, char* scratch,
                           size_t scratchSize) noexcept
{
    if (g_captureSignal == 0)
        return count;
    const size_t first = count;
    count = ListThreads(threads, count, capacity, self, scratch, scratchSize);
    g_captureCount.store(count - first, std::memory_order_release);
    g_pCaptureTable.store(threads + first, std::memory_order_release);
    for (size_t i = first; i < count; ++i) {
        if (sys::SignalThread(threads[i].Tid, g_captureSignal) != 0)
            threads[i].State.store(kCaptureAbandoned, std::memory_order_release);  // ended meanwhile
    }
    for (int waited = 0; waited < kAnswerWaitMilliseconds; ++waited) {
        bool waiting = false;
        for (size_t i = first; i < count && !waiting; ++i) waiting = IsStillAnswering(threads[i]);
        if (!waiting)
            break;
        sys::SleepMilliseconds(1);
    }
    // From here on no state changes: kCaptured or kCaptureAbandoned.
    for (size_t i = first; i < count; ++i) {
        for (int state : {kCaptureRequested, kCaptureBusy})
            threads[i].State.compare_exchange_strong(state, kCaptureAbandoned);
    }
    return count;
}

void ReleaseCapturedThreads() noexcept
{
    g_released.store(true, std::memory_order_release);
}

void PublishWaitingFault(pid_t tid, const ucontext_t* context) noexcept
{
    constexpr pid_t kClaimed = -1;  // taken, context not yet stored
    for (WAITING_FAULT& fault : g_waitingFaults) {
        pid_t free = 0;
        if (fault.Tid.compare_exchange_strong(free, kClaimed)) {
            fault.Context.store(context, std::memory_order_release);
            fault.Tid.store(tid, std::memory_order_release);
            return;
        }
    }
}

}  // namespace crashdump
