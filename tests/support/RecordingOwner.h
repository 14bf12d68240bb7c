#pragma once

#include "engine/EngineOwner.h"

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// An engine owner that records what it is told. With `deliverInline` the
// relay thread's calls run at once; otherwise they wait in a queue until
// the test runs them (or the engine's own waits do), as a busy window would.
class RecordingOwner final : public CEngineOwner {
public:
    explicit RecordingOwner(bool deliverInline = true) : m_deliverInline(deliverInline) {}

    void OnBroadcastState(int configId) override
    {
        std::lock_guard lock(m_mutex);
        m_states.push_back(configId);
        m_callThreads.push_back(std::this_thread::get_id());
    }
    void ShowOperatorMessage(const std::string& text) override
    {
        std::lock_guard lock(m_mutex);
        m_messages.push_back(text);
        m_callThreads.push_back(std::this_thread::get_id());
    }
    void PostToOwnerThread(std::function<void()> task) override
    {
        if (m_deliverInline) {
            task();
            return;
        }
        std::lock_guard lock(m_mutex);
        m_posted.push_back(std::move(task));
    }

    // Runs the queued deliveries on the calling thread.
    void RunPosted()
    {
        std::vector<std::function<void()>> posted;
        {
            std::lock_guard lock(m_mutex);
            posted.swap(m_posted);
        }
        for (auto& task : posted)
            task();
    }

    std::vector<int> States()
    {
        std::lock_guard lock(m_mutex);
        return m_states;
    }
    std::vector<std::string> Messages()
    {
        std::lock_guard lock(m_mutex);
        return m_messages;
    }
    std::vector<std::thread::id> CallThreads()
    {
        std::lock_guard lock(m_mutex);
        return m_callThreads;
    }

private:
    const bool m_deliverInline;
    std::mutex m_mutex;
    std::vector<int> m_states;
    std::vector<std::string> m_messages;
    std::vector<std::thread::id> m_callThreads;
    std::vector<std::function<void()>> m_posted;
};
