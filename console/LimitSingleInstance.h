#pragma once

#include "config/StoreLock.h"

// Marks this process as the one running instance on its settings store:
// the store's lock (config/StoreLock.h), which any program using the store
// takes, held for the life of the process and freed by the system when it
// dies.
class CLimitSingleInstance {
public:
    CLimitSingleInstance();
    virtual ~CLimitSingleInstance();
    CLimitSingleInstance(const CLimitSingleInstance&) = delete;
    CLimitSingleInstance& operator=(const CLimitSingleInstance&) = delete;

    // True only when another process holds the lock; a lock that could not
    // even be tried lets this instance run.
    [[nodiscard]] bool IsAnotherInstanceRunning() const noexcept;

private:
    CStoreLock m_lock;
};
