#pragma once

#include <cstddef>
#include <string>

// What the service's process gives up once it runs, beyond its unit's
// sandbox: execve and execveat fail with EPERM from then on (no exploit of
// the relay can start another program), and so does prlimit64 with a new
// limit, as setrlimit already does under the unit's filter (reading a limit
// still works). Needs no privilege: sets no_new_privs first. False, with
// the reason, when the kernel refuses the filter.
bool ForbidProgramExecution(std::string& problem);

// Keeps the `keep` newest crash dumps (PLUXCrash_*.dmp, by the time last
// written) in `folder` and removes the others. The number removed, or
// -errno when the folder cannot be read.
int RemoveOldCrashDumps(const std::string& folder, size_t keep);
