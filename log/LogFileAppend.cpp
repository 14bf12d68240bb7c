#include "log/LogFileAppend.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr mode_t kLogFileMode = 0640;

std::string OpenFailure(int error)
{
    if (error == ELOOP)
        return "it is a symbolic link, which the log does not follow";
    if (error == ENXIO)
        return "it is not a regular file";  // a FIFO nobody reads, a socket, a device without a driver
    return std::strerror(error);
}

// Why the open file is not one the log may write to; empty when it is.
std::string Refusal(const struct stat& file)
{
    char reason[128] = "";
    if (!S_ISREG(file.st_mode))
        std::snprintf(reason, sizeof reason, "it is not a regular file");
    else if (file.st_uid != geteuid())
        std::snprintf(reason, sizeof reason, "it belongs to user %u, not to this program's user %u",
                      static_cast<unsigned>(file.st_uid), static_cast<unsigned>(geteuid()));
    else if (file.st_nlink > 1)
        std::snprintf(reason, sizeof reason, "it has %lu names (hard links), not one",
                      static_cast<unsigned long>(file.st_nlink));
    return reason;
}

}  // namespace

std::string AppendToLogFile(const std::string& path, const std::string& text)
{
    // O_NONBLOCK: opening a FIFO that nobody reads fails at once instead of waiting for a reader.
    const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                        kLogFileMode);
    if (fd < 0)
        return OpenFailure(errno);
    struct stat file {};
    std::string failure = fstat(fd, &file) != 0 ? std::strerror(errno) : Refusal(file);
    if (failure.empty() && (file.st_mode & 07777 & ~kLogFileMode) != 0 && fchmod(fd, file.st_mode & kLogFileMode) != 0)
        failure = std::strerror(errno);
    int error = 0;
    for (size_t done = 0; failure.empty() && done < text.size() && error == 0;) {
        const ssize_t written = write(fd, text.data() + done, text.size() - done);
        if (written > 0)
            done += static_cast<size_t>(written);
        else if (written < 0 && errno != EINTR)
            error = errno;
    }
    if (close(fd) != 0 && error == 0)
        error = errno;
    if (failure.empty() && error != 0)
        failure = std::strerror(error);
    return failure;
}
