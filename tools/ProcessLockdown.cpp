#include "tools/ProcessLockdown.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <vector>

#include "log/EventLog.h"

bool ForbidProgramExecution(std::string& problem)
{
    constexpr unsigned kX32Bit = 0x40000000;  // the x32 ABI's system calls: never ours
    constexpr unsigned kArgument2 = offsetof(seccomp_data, args) + 2 * sizeof(uint64_t);
    // Jumps count from the next instruction; 13 is the refusal.
    sock_filter filter[] = {
        /* 0 */ BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        /* 1 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 0, 11),
        /* 2 */ BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        /* 3 */ BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, kX32Bit, 9, 0),
        /* 4 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_execve, 8, 0),
        /* 5 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_execveat, 7, 0),
        /* 6 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_prlimit64, 1, 0),
        /* 7 */ BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        // prlimit64(pid, resource, new, old): allowed only with no new limit.
        /* 8 */ BPF_STMT(BPF_LD | BPF_W | BPF_ABS, kArgument2),
        /* 9 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 0, 3),
        /* 10 */ BPF_STMT(BPF_LD | BPF_W | BPF_ABS, kArgument2 + 4),
        /* 11 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 0, 1),
        /* 12 */ BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        /* 13 */ BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
    };
    const sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
        problem = FormatText("the system call filter against running programs: %s", std::strerror(errno));
        return false;
    }
    return true;
}

int RemoveOldCrashDumps(const std::string& folder, size_t keep)
{
    DIR* directory = opendir(folder.c_str());
    if (!directory)
        return -errno;
    struct Dump {
        std::string Name;
        timespec Written{};
    };
    std::vector<Dump> dumps;
    while (const dirent* entry = readdir(directory)) {
        const std::string_view name = entry->d_name;
        struct stat status {};
        if (name.starts_with("PLUXCrash_") && name.ends_with(".dmp") &&
            fstatat(dirfd(directory), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(status.st_mode))
            dumps.push_back({std::string(name), status.st_mtim});
    }
    int removed = 0;
    if (dumps.size() > keep) {
        // Newest first; the same time orders by name, which holds the seconds.
        std::sort(dumps.begin(), dumps.end(), [](const Dump& a, const Dump& b) {
            if (a.Written.tv_sec != b.Written.tv_sec)
                return a.Written.tv_sec > b.Written.tv_sec;
            if (a.Written.tv_nsec != b.Written.tv_nsec)
                return a.Written.tv_nsec > b.Written.tv_nsec;
            return a.Name > b.Name;
        });
        for (size_t i = keep; i < dumps.size(); ++i) {
            if (unlinkat(dirfd(directory), dumps[i].Name.c_str(), 0) == 0)
                ++removed;
        }
    }
    closedir(directory);
    return removed;
}
