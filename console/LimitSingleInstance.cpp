#include "console/LimitSingleInstance.h"

#include "config/Registry.h"

#include <cstdio>
#include <cstring>

CLimitSingleInstance::CLimitSingleInstance() : m_lock(CRegistry::StoreDirectory())
{
    // Without the lock this instance still runs, but a second one would too: say why.
    if (!m_lock.IsHeld() && !m_lock.IsHeldByAnother())
        std::fprintf(stderr, "Cannot take the single-instance lock %s: %s\n", m_lock.Path().c_str(),
                     std::strerror(m_lock.Error()));
}

CLimitSingleInstance::~CLimitSingleInstance() = default;

bool CLimitSingleInstance::IsAnotherInstanceRunning() const noexcept
{
    return m_lock.IsHeldByAnother();
}
