#pragma once

#include <string>

// Marks this process as the one running instance of the program for the
// user's session: a lock on a file named after the instance, held open
// for the life of the process and released by the system when it dies.
class CLimitSingleInstance {
public:
    explicit CLimitSingleInstance(const char* mutexName);
    virtual ~CLimitSingleInstance();
    CLimitSingleInstance(const CLimitSingleInstance&) = delete;
    CLimitSingleInstance& operator=(const CLimitSingleInstance&) = delete;

    // True only when another process holds the lock; a lock that could not
    // even be tried lets this instance run.
    [[nodiscard]] bool IsAnotherInstanceRunning() const noexcept;

    // The lock file: in $XDG_RUNTIME_DIR, else a per-user name under /tmp.
    [[nodiscard]] static std::string LockPath(const char* mutexName);

private:
    int m_hMutex = -1;      // the open lock file, -1 when closed
    int m_dwLastError = 0;  // errno of the lock attempt, 0 when it was taken
};
