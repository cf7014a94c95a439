#pragma once

#include <seccomp.h>

#include <string>
#include <vector>

namespace orfeo {

// The cage of a page worker, as the kernel enforces it. A decoder taken over by a hostile file runs with
// whatever the worker may do, so what it may do is written down here as a table and nothing else.

// What the filter answers a system call with.
enum class CageAnswer {
    Allow,   // the call goes through
    Refuse,  // it fails with EACCES, which the libraries take as any refusal
    Answer,  // the worker answers it itself (fstat asked as newfstatat with an empty path), never by path
};

// One line of the table: `call` gets `answer` when every condition of `when` holds (none: always). The
// lines of one call never overlap, so the order of the table does not matter. A call with no line ends
// the process (SIGSYS).
struct CageRule {
    int call;
    CageAnswer answer;
    std::vector<scmp_arg_cmp> when;
};

// The table for the calling process (a few conditions name its own pid).
std::vector<CageRule> CageRules();

// Gives up every capability the process has, for good, before it is confined: effective, permitted,
// inheritable, ambient, and the bounding set where it may. False, with the reason in `reason`, when one is
// left.
bool DropPrivileges(std::string& reason);

// Confines the calling process for the rest of its life with the seccomp filter of CageRules (and no way
// to gain privileges): it may read and write the descriptors it has or is sent, map private memory that is
// never executable, and end itself. It cannot open, create or look at a file by path, rename or delete
// one, start a program or a process, open a network or local connection, signal another process or have
// the kernel signal one for it, lease or lock a file, map a file so that writes reach it, change its limits
// or its signal handling; such calls fail with EACCES. Any other call ends the process (SIGSYS). The
// process must be single-threaded. False, with the reason in `reason`, when the filter could not be
// installed.
bool ConfineWorker(std::string& reason);

}  // namespace orfeo
