#pragma once

#include "tests/support/TempDirectory.h"

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

// A program started by a test (argv[0] searched in PATH) in `directory`,
// without a core file, its output kept in files of its own; it dies with
// the test, and is killed if the test forgets it.
class ChildProcess {
public:
    ChildProcess(const std::vector<std::string>& argv, const std::string& directory);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    void Signal(int signal) const;
    // Stops it (SIGSTOP) and returns once every thread of it has stopped:
    // kill() returns before they do. False if it has ended.
    bool Freeze();
    [[nodiscard]] pid_t Pid() const noexcept { return m_pid; }
    // The exit status, 128 + the signal that ended it, or -1 while it still
    // runs when the timeout has passed.
    int Wait(std::chrono::milliseconds timeout);
    [[nodiscard]] std::string Stdout() const { return ReadFile(m_output.File("stdout")); }
    [[nodiscard]] std::string Stderr() const { return ReadFile(m_output.File("stderr")); }

private:
    TempDirectory m_output;
    pid_t m_pid = -1;
    int m_status = -1;
};
