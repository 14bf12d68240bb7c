#pragma once

#include <sys/types.h>

#include <string>

// The file keepalived tracks (track_file, "weight 0 reverse") to learn whether
// this node can relay: "1" while it can, "0" while it cannot. Each change
// replaces the whole file (a new file renamed over it), so a reader never
// sees half a value, and a missing file reads as "cannot" too.
//
// A kill -9 runs no code of this process, so Open also starts a keeper: a
// child process that only waits on a pipe whose writing end only this
// process holds. When this process ends, however it ends, the kernel closes
// that end, the keeper's read returns and it writes "0" before it exits.
class CHealthFile {
public:
    CHealthFile() = default;
    ~CHealthFile();
    CHealthFile(const CHealthFile&) = delete;
    CHealthFile& operator=(const CHealthFile&) = delete;

    // Writes "0" to `path` and starts the keeper. False, with the problem in
    // words, when the file cannot be written or the keeper cannot start.
    bool Open(const std::string& path, std::string& problem);
    // Writes the state when it differs from the one written last. False
    // when the file could not be written (the error is in errno).
    bool Set(bool canRelay);
    [[nodiscard]] const std::string& Path() const noexcept { return m_path; }

private:
    std::string m_path;
    std::string m_temporary;  // beside it, so that the rename stays in one file system
    int m_written = -1;       // the state written last; -1 before any
    int m_keeperPipe = -1;    // the writing end
    pid_t m_keeper = -1;
};
