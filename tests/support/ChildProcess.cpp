#include "tests/support/ChildProcess.h"

#include "tests/support/TestNetwork.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& directory)
    : m_directory(directory)
{
    std::vector<char*> arguments;
    for (const std::string& argument : argv)
        arguments.push_back(const_cast<char*>(argument.c_str()));
    arguments.push_back(nullptr);
    const std::string out = directory + "/stdout.txt";
    const std::string err = directory + "/stderr.txt";

    m_pid = fork();
    if (m_pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        const int outFd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int errFd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (outFd < 0 || errFd < 0 || chdir(directory.c_str()) != 0)
            _exit(127);
        dup2(outFd, STDOUT_FILENO);
        dup2(errFd, STDERR_FILENO);
        prctl(PR_SET_PDEATHSIG, SIGKILL);  // dies with the test, even when a time limit kills it
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execvp(arguments[0], arguments.data());
        _exit(127);
    }
}

ChildProcess::~ChildProcess()
{
    if (m_pid > 0 && !m_reaped) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
}

void ChildProcess::Signal(int signal) const
{
    if (m_pid > 0 && !m_reaped)
        kill(m_pid, signal);
}

int ChildProcess::Wait(std::chrono::milliseconds timeout)
{
    const bool ended = WaitFor(
        [&] {
            if (!m_reaped)
                m_reaped = waitpid(m_pid, &m_status, WNOHANG) == m_pid;
            return m_reaped;
        },
        timeout);
    if (!ended || !WIFEXITED(m_status))
        return -1;
    return WEXITSTATUS(m_status);
}

std::string ChildProcess::Stdout() const
{
    return ReadFile(m_directory + "/stdout.txt");
}

std::string ChildProcess::Stderr() const
{
    return ReadFile(m_directory + "/stderr.txt");
}
