#include "engine/AlternateSignalStack.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

size_t PageSize() noexcept
{
    return static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

}  // namespace

CAlternateSignalStack::CAlternateSignalStack() noexcept
{
    const size_t guard = PageSize();
    void* mapping = mmap(nullptr, guard + kSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED)
        return;
    // A handler that overruns this stack meets the guard page, not other memory.
    stack_t stack{};
    stack.ss_sp = static_cast<char*>(mapping) + guard;
    stack.ss_size = kSize;
    if (mprotect(mapping, guard, PROT_NONE) != 0 || sigaltstack(&stack, nullptr) != 0) {
        munmap(mapping, guard + kSize);
        return;
    }
    m_mapping = mapping;
}

CAlternateSignalStack::~CAlternateSignalStack()
{
    if (!m_mapping)
        return;
    stack_t none{};
    none.ss_flags = SS_DISABLE;
    sigaltstack(&none, nullptr);
    munmap(m_mapping, PageSize() + kSize);
}
