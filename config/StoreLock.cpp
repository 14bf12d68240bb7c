#include "config/StoreLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

// Makes the folder and the missing ones above it, owner-only; 0 or the errno.
int MakeFolders(const std::string& path)
{
    for (size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
        const std::string folder = path.substr(0, end);
        if (::mkdir(folder.c_str(), 0700) == 0) {
            // The umask may have taken bits the owner needs.
            if (::chmod(folder.c_str(), 0700) != 0)
                return errno;
        } else if (errno != EEXIST) {
            return errno;
        }
        if (end == std::string::npos)
            return 0;
    }
}

}  // namespace

CStoreLock::CStoreLock(const std::string& storeDirectory) : m_path(storeDirectory + "/" + kFileName)
{
    // No store folder means no home to put it in.
    m_error = storeDirectory.empty() ? ENOENT : MakeFolders(storeDirectory);
    if (m_error != 0)
        return;
    m_file = ::open(m_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (m_file >= 0 && ::flock(m_file, LOCK_EX | LOCK_NB) == 0)
        return;
    m_error = errno;
    if (m_file >= 0)
        ::close(m_file);
    m_file = -1;
}

CStoreLock::~CStoreLock()
{
    if (m_file >= 0)
        ::close(m_file);
}

bool CStoreLock::IsHeldByAnother() const noexcept
{
    return m_error == EWOULDBLOCK;
}
