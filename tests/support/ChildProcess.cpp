#include "tests/support/ChildProcess.h"

#include "tests/support/TestNetwork.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>

namespace {

int ExitCode(int waitStatus)
{
    return WIFSIGNALED(waitStatus) ? 128 + WTERMSIG(waitStatus) : WEXITSTATUS(waitStatus);
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& directory)
{
    std::vector<char*> arguments;
    for (const std::string& argument : argv) arguments.push_back(const_cast<char*>(argument.c_str()));
    arguments.push_back(nullptr);
    const std::string out = m_output.File("stdout");
    const std::string err = m_output.File("stderr");

    m_pid = fork();
    if (m_pid != 0)
        return;
    // Only async-signal-safe calls between fork and exec.
    const int outFd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int errFd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (outFd < 0 || errFd < 0 || chdir(directory.c_str()) != 0)
        _exit(127);
    dup2(outFd, STDOUT_FILENO);
    dup2(errFd, STDERR_FILENO);
    prctl(PR_SET_PDEATHSIG, SIGKILL);  // even when a time limit kills the test
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execvp(arguments[0], arguments.data());
    _exit(127);
}

ChildProcess::~ChildProcess()
{
    if (m_pid > 0 && m_status < 0) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
}

void ChildProcess::Signal(int signal) const
{
    if (m_pid > 0 && m_status < 0)
        kill(m_pid, signal);
}

bool ChildProcess::Freeze()
{
    Signal(SIGSTOP);
    while (m_status < 0 && m_pid > 0) {
        int status = 0;
        const pid_t waited = waitpid(m_pid, &status, WUNTRACED);
        if (waited < 0 && errno == EINTR)
            continue;
        if (waited != m_pid)
            return false;
        if (WIFSTOPPED(status))
            return true;
        m_status = ExitCode(status);
    }
    return false;
}

int ChildProcess::Wait(std::chrono::milliseconds timeout)
{
    WaitFor(
        [&] {
            int status = 0;
            if (m_status < 0 && m_pid > 0 && waitpid(m_pid, &status, WNOHANG) == m_pid)
                m_status = ExitCode(status);
            return m_status >= 0;
        },
        timeout);
    return m_status;
}
