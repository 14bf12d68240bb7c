#include "console/LimitSingleInstance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

CLimitSingleInstance::CLimitSingleInstance(const char* mutexName)
{
    const std::string path = LockPath(mutexName);
    m_hMutex = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (m_hMutex < 0 || flock(m_hMutex, LOCK_EX | LOCK_NB) != 0)
        m_dwLastError = errno;
    // Without the lock this instance still runs, but a second one would too: say why.
    if (m_dwLastError != 0 && m_dwLastError != EWOULDBLOCK)
        std::fprintf(stderr, "Cannot take the single-instance lock %s: %s\n", path.c_str(),
                     std::strerror(m_dwLastError));
}

CLimitSingleInstance::~CLimitSingleInstance()
{
    if (m_hMutex >= 0) {
        close(m_hMutex);
        m_hMutex = -1;
    }
}

bool CLimitSingleInstance::IsAnotherInstanceRunning() const noexcept
{
    return m_dwLastError == EWOULDBLOCK;
}

std::string CLimitSingleInstance::LockPath(const char* mutexName)
{
    const char* runtimeDirectory = std::getenv("XDG_RUNTIME_DIR");
    if (runtimeDirectory && runtimeDirectory[0] == '/')
        return std::string(runtimeDirectory) + "/" + mutexName;
    return "/tmp/" + std::string(mutexName) + "-" + std::to_string(getuid());
}
