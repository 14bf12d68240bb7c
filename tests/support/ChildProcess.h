#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

// A program started by a test, with its output in files; killed if the
// test forgets it.
class ChildProcess {
public:
    // Runs argv[0] (searched in PATH) in `directory`, stdout and stderr
    // going to files there.
    ChildProcess(const std::vector<std::string>& argv, const std::string& directory);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    [[nodiscard]] pid_t Pid() const { return m_pid; }
    void Signal(int signal) const;
    // The exit status, or -1 when it has not ended within the timeout
    // (or ended by a signal).
    int Wait(std::chrono::milliseconds timeout);
    [[nodiscard]] std::string Stdout() const;
    [[nodiscard]] std::string Stderr() const;

private:
    pid_t m_pid = -1;
    std::string m_directory;
    bool m_reaped = false;
    int m_status = 0;
};
