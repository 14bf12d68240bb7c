#include "engine/OwnerCallGate.h"

void COwnerCallGate::Call(CEngineOwner& owner, std::function<void()> call)
{
    std::unique_lock lock(m_mutex);
    m_pending = std::move(call);
    m_changed.notify_all();  // an owner may already be waiting for this thread
    lock.unlock();
    owner.PostToOwnerThread([gate = shared_from_this()] { gate->DeliverPending(); });
    lock.lock();
    m_changed.wait(lock, [this] { return !m_pending && !m_inService; });
}

void COwnerCallGate::MarkThreadEnded()
{
    std::lock_guard lock(m_mutex);
    m_threadEnded = true;
    m_changed.notify_all();
}

void COwnerCallGate::DeliverPending()
{
    std::unique_lock lock(m_mutex);
    if (m_pending && !m_inService)
        RunPending(lock);
}

void COwnerCallGate::WaitForThreadEnd()
{
    std::unique_lock lock(m_mutex);
    while (!m_threadEnded) {
        if (m_pending && !m_inService)
            RunPending(lock);
        else
            m_changed.wait(lock);
    }
}

void COwnerCallGate::MarkThreadStarted()
{
    std::lock_guard lock(m_mutex);
    m_threadEnded = false;
}

bool COwnerCallGate::ThreadEnded()
{
    std::lock_guard lock(m_mutex);
    return m_threadEnded;
}

void COwnerCallGate::RunPending(std::unique_lock<std::mutex>& lock)
{
    std::function<void()> call = std::move(m_pending);
    m_pending = nullptr;
    m_inService = true;
    lock.unlock();
    call();
    lock.lock();
    m_inService = false;
    m_changed.notify_all();
}
