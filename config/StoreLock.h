#pragma once

#include <string>

// Marks a settings store as in use by this process: an exclusive lock on
// the file HALVRSRV in the store's folder, tried once without waiting and
// held for the life of the object; the system frees it when the process
// dies. Whatever their environment, two programs on one store never both
// hold it. The store's folder is made (0700) when it is missing.
class CStoreLock {
public:
    static constexpr const char* kFileName = "HALVRSRV";

    explicit CStoreLock(const std::string& storeDirectory);
    ~CStoreLock();
    CStoreLock(const CStoreLock&) = delete;
    CStoreLock& operator=(const CStoreLock&) = delete;

    [[nodiscard]] bool IsHeld() const noexcept { return m_error == 0; }
    // Another holder has it: another process, or another lock of this one.
    [[nodiscard]] bool IsHeldByAnother() const noexcept;
    // 0 while held; else the errno of the attempt: EWOULDBLOCK when another
    // holder has it, any other when it could not even be tried.
    [[nodiscard]] int Error() const noexcept { return m_error; }
    // The lock file.
    [[nodiscard]] const std::string& Path() const noexcept { return m_path; }

private:
    std::string m_path;
    int m_file = -1;  // the open lock file while held
    int m_error = 0;
};
