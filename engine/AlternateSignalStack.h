#pragma once

#include <cstddef>

// A signal stack for the calling thread while the object lives, so that a
// fault handler (the crash dump writer's) still runs when the fault is this
// thread's own stack overflowing. Signal stacks are per thread and not
// inherited: every thread that may overflow needs one of its own. Without
// memory for it the thread runs as before, without one.
class CAlternateSignalStack {
public:
    static constexpr size_t kSize = 128 * 1024;

    CAlternateSignalStack() noexcept;
    ~CAlternateSignalStack();
    CAlternateSignalStack(const CAlternateSignalStack&) = delete;
    CAlternateSignalStack& operator=(const CAlternateSignalStack&) = delete;

private:
    void* m_mapping = nullptr;  // a guard page, then the stack
};
