#pragma once

#include <string>

namespace orfeo {

// Confines the calling process for the rest of its life, with a seccomp filter the kernel enforces (and
// no way to gain privileges): it may read and write the descriptors it has or is sent, map memory that is
// never executable, and end itself. It cannot open or create files by path, rename or delete them, start
// a program or a process, open a network or local connection, signal another process, change its limits
// or its signal handling; such calls fail with EACCES. Any other call ends the process (SIGSYS). The
// process must be single-threaded. False, with the reason in `reason`, when the filter could not be
// installed.
bool ConfineWorker(std::string& reason);

}  // namespace orfeo
