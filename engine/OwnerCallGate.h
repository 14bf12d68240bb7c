#pragma once

#include "engine/EngineOwner.h"

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

// Carries one relay thread's synchronous calls to its owner's thread.
//
// The relay thread deposits the call, posts a delivery to the owner's
// thread and waits until the call has run. An owner thread that waits for
// the relay thread to end runs a deposited call itself while it waits, so
// a window waiting for its relay thread never deadlocks with a relay thread
// waiting for its window. Shared, so that a posted delivery that arrives
// after the engine is gone finds the gate and nothing to do.
class COwnerCallGate : public std::enable_shared_from_this<COwnerCallGate> {
public:
    // Relay thread: runs call on the owner's thread and returns when it has run.
    void Call(CEngineOwner& owner, std::function<void()> call);
    // Relay thread, last step: the owner's waits may end.
    void MarkThreadEnded();

    // Owner thread: runs the deposited call, if any.
    void DeliverPending();
    // Owner thread: waits until the relay thread has ended, running its calls meanwhile.
    void WaitForThreadEnd();
    // Owner thread, before a relay thread starts.
    void MarkThreadStarted();
    [[nodiscard]] bool ThreadEnded();

private:
    // With the lock held and a call deposited: runs it unlocked.
    void RunPending(std::unique_lock<std::mutex>& lock);

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::function<void()> m_pending;
    bool m_inService = false;
    bool m_threadEnded = true;
};
