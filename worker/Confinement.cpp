#include "worker/Confinement.h"

#include <errno.h>
#include <fcntl.h>
#include <seccomp.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <memory>

namespace orfeo {

namespace {

struct FilterDeleter {
    void operator()(void* filter) const { seccomp_release(filter); }
};

}  // namespace

bool ConfineWorker(std::string& reason) {
    // What is not named below ends the process: a decoder that tries something unusual is not trusted to
    // go on.
    std::unique_ptr<void, FilterDeleter> filter(seccomp_init(SCMP_ACT_KILL_PROCESS));
    if (!filter) {
        reason = "seccomp_init failed";
        return false;
    }
    void* f = filter.get();
    int failed = 0;
    const auto allow = [&](int call) { failed |= seccomp_rule_add(f, SCMP_ACT_ALLOW, call, 0); };
    const auto refuse = [&](int call) { failed |= seccomp_rule_add(f, SCMP_ACT_ERRNO(EACCES), call, 0); };

    // Reading and writing what it was given, and the socket to the run.
    for (int call :
         {SCMP_SYS(read), SCMP_SYS(write), SCMP_SYS(readv), SCMP_SYS(writev), SCMP_SYS(pread64),
          SCMP_SYS(pwrite64), SCMP_SYS(lseek), SCMP_SYS(close), SCMP_SYS(fstat), SCMP_SYS(ftruncate),
          SCMP_SYS(fsync), SCMP_SYS(fdatasync), SCMP_SYS(fcntl), SCMP_SYS(recvmsg), SCMP_SYS(sendmsg)})
        allow(call);
    // fstat by descriptor, as the C library asks for it (newfstatat with an empty path); never by path.
    failed |= seccomp_rule_add(f, SCMP_ACT_ALLOW, SCMP_SYS(newfstatat), 1,
                               SCMP_A3(SCMP_CMP_MASKED_EQ, AT_EMPTY_PATH, AT_EMPTY_PATH));
    failed |= seccomp_rule_add(f, SCMP_ACT_ERRNO(EACCES), SCMP_SYS(newfstatat), 1,
                               SCMP_A3(SCMP_CMP_MASKED_EQ, AT_EMPTY_PATH, 0));
    // Memory, never executable: no code can be made from what a file holds.
    failed |=
        seccomp_rule_add(f, SCMP_ACT_ALLOW, SCMP_SYS(mmap), 1, SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, 0));
    failed |=
        seccomp_rule_add(f, SCMP_ACT_ALLOW, SCMP_SYS(mprotect), 1, SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, 0));
    for (int call : {SCMP_SYS(munmap), SCMP_SYS(mremap), SCMP_SYS(brk), SCMP_SYS(madvise)}) allow(call);
    // Ending, on its own or by abort() (a signal to itself only).
    for (int call : {SCMP_SYS(exit), SCMP_SYS(exit_group), SCMP_SYS(rt_sigreturn), SCMP_SYS(getpid),
                     SCMP_SYS(gettid), SCMP_SYS(clock_gettime), SCMP_SYS(getrandom), SCMP_SYS(sched_yield),
                     SCMP_SYS(sysinfo), SCMP_SYS(futex)})
        allow(call);
    // Asking which signal stack is in use (the sanitizers do when an exception is thrown); never setting one.
    failed |= seccomp_rule_add(f, SCMP_ACT_ALLOW, SCMP_SYS(sigaltstack), 1, SCMP_A0(SCMP_CMP_EQ, 0));
    failed |= seccomp_rule_add(f, SCMP_ACT_ERRNO(EACCES), SCMP_SYS(sigaltstack), 1, SCMP_A0(SCMP_CMP_NE, 0));
    failed |= seccomp_rule_add(f, SCMP_ACT_ALLOW, SCMP_SYS(tgkill), 1,
                               SCMP_A0(SCMP_CMP_EQ, static_cast<scmp_datum_t>(::getpid())));

    // Refused with an error the libraries understand.
    for (int call : {SCMP_SYS(open),
                     SCMP_SYS(openat),
                     SCMP_SYS(openat2),
                     SCMP_SYS(creat),
                     SCMP_SYS(stat),
                     SCMP_SYS(lstat),
                     SCMP_SYS(statx),
                     SCMP_SYS(access),
                     SCMP_SYS(faccessat),
                     SCMP_SYS(faccessat2),
                     SCMP_SYS(readlink),
                     SCMP_SYS(readlinkat),
                     SCMP_SYS(mkdir),
                     SCMP_SYS(mkdirat),
                     SCMP_SYS(unlink),
                     SCMP_SYS(unlinkat),
                     SCMP_SYS(rmdir),
                     SCMP_SYS(rename),
                     SCMP_SYS(renameat),
                     SCMP_SYS(renameat2),
                     SCMP_SYS(link),
                     SCMP_SYS(linkat),
                     SCMP_SYS(symlink),
                     SCMP_SYS(symlinkat),
                     SCMP_SYS(chmod),
                     SCMP_SYS(fchmodat),
                     SCMP_SYS(chown),
                     SCMP_SYS(truncate),
                     SCMP_SYS(execve),
                     SCMP_SYS(execveat),
                     SCMP_SYS(fork),
                     SCMP_SYS(vfork),
                     SCMP_SYS(clone),
                     SCMP_SYS(clone3),
                     SCMP_SYS(socket),
                     SCMP_SYS(socketpair),
                     SCMP_SYS(connect),
                     SCMP_SYS(bind),
                     SCMP_SYS(listen),
                     SCMP_SYS(accept),
                     SCMP_SYS(accept4),
                     SCMP_SYS(sendto),
                     SCMP_SYS(recvfrom),
                     SCMP_SYS(kill),
                     SCMP_SYS(tkill),
                     SCMP_SYS(ptrace),
                     SCMP_SYS(prlimit64),
                     SCMP_SYS(setrlimit),
                     SCMP_SYS(rt_sigaction),
                     SCMP_SYS(rt_sigprocmask),
                     SCMP_SYS(ioctl),
                     SCMP_SYS(prctl),
                     SCMP_SYS(dup),
                     SCMP_SYS(dup2),
                     SCMP_SYS(dup3),
                     SCMP_SYS(pipe),
                     SCMP_SYS(pipe2),
                     SCMP_SYS(nanosleep),
                     SCMP_SYS(clock_nanosleep),
                     SCMP_SYS(poll),
                     SCMP_SYS(ppoll),
                     SCMP_SYS(select),
                     SCMP_SYS(pselect6),
                     SCMP_SYS(pause),
                     SCMP_SYS(uname)})
        refuse(call);

    if (failed != 0) {
        reason = "the seccomp filter could not be built";
        return false;
    }
    const int loaded = seccomp_load(f);
    if (loaded != 0) {
        reason = std::string("the seccomp filter could not be loaded: ") + std::strerror(-loaded);
        return false;
    }
    return true;
}

}  // namespace orfeo
