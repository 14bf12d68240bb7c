#pragma once

#include <functional>
#include <string>

// How an engine reaches the window that owns it. The two notifications
// run on the owner's thread (the thread that drives the engine); a relay
// thread reaches them through PostToOwnerThread and waits until they ran.
class CEngineOwner {
public:
    virtual ~CEngineOwner() = default;

    // WM_BCAST_STATE: the engine with this Config ID connected or stopped.
    virtual void OnBroadcastState(int configId) = 0;
    // A modal message for the operator; returns once it was acknowledged.
    virtual void ShowOperatorMessage(const std::string& text) = 0;
    // Thread-safe and non-blocking: run the task on the owner's thread soon.
    // An owner whose notifications are thread-safe may run it at once.
    virtual void PostToOwnerThread(std::function<void()> task) = 0;
};
