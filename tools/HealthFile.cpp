#include "tools/HealthFile.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// Async-signal-safe: the keeper calls it between fork and _exit.
bool Replace(const char* path, const char* temporary, bool canRelay)
{
    const int file = open(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (file < 0)
        return false;
    const char* text = canRelay ? "1\n" : "0\n";
    const bool written = write(file, text, 2) == 2;
    // No fsync: the value only matters while this boot lasts.
    if (close(file) != 0 || !written || rename(temporary, path) != 0) {
        const int error = errno;
        unlink(temporary);
        errno = error;
        return false;
    }
    return true;
}

[[noreturn]] void Keep(int pipe, const char* path, const char* temporary)
{
    // Nothing of the relay's is kept open here: not its sockets, not the store's lock.
    close_range(3, static_cast<unsigned>(pipe) - 1, 0);
    close_range(static_cast<unsigned>(pipe) + 1, ~0U, 0);
    prctl(PR_SET_NAME, "orma-health", 0, 0, 0);
    char ignored = 0;
    ssize_t result = 0;
    while ((result = read(pipe, &ignored, 1)) != 0 && (result > 0 || errno == EINTR)) {}
    Replace(path, temporary, false);
    _exit(0);
}

}  // namespace

CHealthFile::~CHealthFile()
{
    if (m_keeperPipe >= 0) {
        Set(false);
        close(m_keeperPipe);  // the keeper writes "0" once more and ends
        waitpid(m_keeper, nullptr, 0);
    }
}

bool CHealthFile::Open(const std::string& path, std::string& problem)
{
    m_path = path;
    m_temporary = path + ".new";
    if (!Set(false)) {
        problem = "cannot write " + m_temporary + " and rename it to " + path + ": " + std::strerror(errno);
        return false;
    }
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        problem = std::string("cannot make the health keeper's pipe: ") + std::strerror(errno);
        return false;
    }
    // Before the fork, so that the keeper touches no allocator (other threads may hold its locks).
    const char* file = m_path.c_str();
    const char* temporary = m_temporary.c_str();
    m_keeper = fork();
    if (m_keeper == 0) {
        close(ends[1]);
        Keep(ends[0], file, temporary);
    }
    const int error = errno;
    close(ends[0]);
    if (m_keeper < 0) {
        close(ends[1]);
        problem = std::string("cannot start the health keeper: ") + std::strerror(error);
        return false;
    }
    m_keeperPipe = ends[1];
    return true;
}

bool CHealthFile::Set(bool canRelay)
{
    if (m_written == static_cast<int>(canRelay))
        return true;
    if (!Replace(m_path.c_str(), m_temporary.c_str(), canRelay))
        return false;
    m_written = canRelay;
    return true;
}
