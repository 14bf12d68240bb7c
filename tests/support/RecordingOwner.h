#pragma once

#include "engine/EngineOwner.h"

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// An engine owner that records what it is told and on which thread. With
// `deliverInline` the relay thread's calls run at once; otherwise they wait
// in a queue until the test runs them (or the engine's own waits do), as a
// busy window would.
class RecordingOwner final : public CEngineOwner {
public:
    explicit RecordingOwner(bool deliverInline = true) : m_deliverInline(deliverInline) {}

    void OnBroadcastState(int configId) override { Record(m_states, configId); }
    void ShowOperatorMessage(const std::string& text) override { Record(m_messages, text); }
    void PostToOwnerThread(std::function<void()> task) override
    {
        if (m_deliverInline)
            return task();
        std::lock_guard lock(m_mutex);
        m_posted.push_back(std::move(task));
    }
    // Runs the queued deliveries on the calling thread.
    void RunPosted()
    {
        std::unique_lock lock(m_mutex);
        std::vector<std::function<void()>> posted;
        posted.swap(m_posted);
        lock.unlock();
        for (auto& task : posted)
            task();
    }

    std::vector<int> States() { return Copy(m_states); }
    std::vector<std::string> Messages() { return Copy(m_messages); }
    std::vector<std::thread::id> CallThreads() { return Copy(m_callThreads); }

private:
    template <class T>
    void Record(std::vector<T>& list, const T& value)
    {
        std::lock_guard lock(m_mutex);
        list.push_back(value);
        m_callThreads.push_back(std::this_thread::get_id());
    }
    template <class T>
    std::vector<T> Copy(const std::vector<T>& list)
    {
        std::lock_guard lock(m_mutex);
        return list;
    }

    const bool m_deliverInline;
    std::mutex m_mutex;
    std::vector<int> m_states;
    std::vector<std::string> m_messages;
    std::vector<std::thread::id> m_callThreads;
    std::vector<std::function<void()>> m_posted;
};
