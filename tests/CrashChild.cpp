// A program that installs the crash dump writer and dies in a known way, for
// the crash dump tests:
// orma_crash_child null_write|abort|divide|overflow|relay_overflow|two_faults.
#include "crashdump/CrashDumpWriter.h"
#include "engine/AlternateSignalStack.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

struct Record {
    long Fields[3];
    long Fourth;  // at 0x18: a write through a null Record faults there
};

volatile int g_zero = 0;
volatile int g_neverReached = -1;

// The faults below are deliberate: unchecked by the sanitizers, so that
// they reach the processor and raise their signals.
__attribute__((noinline, no_sanitize("undefined"))) void WriteThroughNullRecord()
{
    volatile Record* volatile record = nullptr;
    record->Fourth = 1;
}

[[gnu::noinline]] void AbortOnWorker()
{
    std::abort();
}

__attribute__((noinline, no_sanitize("undefined"))) void DivideByZero()
{
    std::printf("%d\n", 7 / g_zero);
}

[[gnu::noinline]] int RecurseForever(int depth)
{
    volatile char frame[1024];
    frame[0] = static_cast<char>(depth);
    if (depth == g_neverReached)
        return 0;
    return RecurseForever(depth + 1) + frame[0];
}

// Two workers write through null at the same moment.
void FaultOnTwoWorkersAtOnce()
{
    std::atomic<int> ready{0};
    auto fault = [&ready] {
        for (ready.fetch_add(1); ready.load() < 2;) {}
        WriteThroughNullRecord();
    };
    std::thread first(fault), second(fault);
    first.join();
    second.join();
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2 || !InstallCrashDumpWriter())
        return 2;
    const std::string mode = argv[1];
    if (mode == "null_write") {
        std::thread(WriteThroughNullRecord).join();
    } else if (mode == "abort") {
        std::thread(AbortOnWorker).join();
    } else if (mode == "divide") {
        std::thread(DivideByZero).join();
    } else if (mode == "overflow") {
        return RecurseForever(0);
    } else if (mode == "relay_overflow") {
        // A thread with a signal stack of its own, as every relay thread has.
        std::thread([] {
            const CAlternateSignalStack signalStack;
            RecurseForever(0);
        }).join();
    } else if (mode == "two_faults") {
        FaultOnTwoWorkersAtOnce();
    }
    return 3;
}
