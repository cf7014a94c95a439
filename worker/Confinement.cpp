#include "worker/Confinement.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <memory>

namespace orfeo {

namespace {

struct FilterDeleter {
    void operator()(void* filter) const { seccomp_release(filter); }
};

// The conditions of CageRules, short.
scmp_arg_cmp ArgIs(unsigned arg, scmp_datum_t value) { return {arg, SCMP_CMP_EQ, value, 0}; }
scmp_arg_cmp ArgIsNot(unsigned arg, scmp_datum_t value) { return {arg, SCMP_CMP_NE, value, 0}; }
scmp_arg_cmp ArgAbove(unsigned arg, scmp_datum_t value) { return {arg, SCMP_CMP_GT, value, 0}; }
scmp_arg_cmp BitsClear(unsigned arg, scmp_datum_t bits) { return {arg, SCMP_CMP_MASKED_EQ, bits, 0}; }
scmp_arg_cmp BitsSet(unsigned arg, scmp_datum_t bits) { return {arg, SCMP_CMP_MASKED_EQ, bits, bits}; }

// Lines that refuse `call` whenever argument `arg` lies in [low, high], one line a block of values that a
// mask can name: the filter compares an argument only once in a line, so a range is cut into aligned
// blocks (the whole 64 bits are compared, so a value with high bits set never falls into one).
void RefuseRange(std::vector<CageRule>& rules, int call, unsigned arg, std::uint64_t low,
                 std::uint64_t high) {
    while (low <= high) {
        std::uint64_t block = 1;
        while ((low & (block * 2 - 1)) == 0 && low + block * 2 - 1 <= high) block *= 2;
        rules.push_back({call, CageAnswer::Refuse, {{arg, SCMP_CMP_MASKED_EQ, ~(block - 1), low}}});
        low += block;
    }
}

// The descriptor commands the worker and its libraries use (the C library's fdopen asks F_GETFL; the
// worker makes second descriptors of its inputs). Everything else is refused, above all those that make
// the kernel signal a process (F_SETOWN, F_SETSIG, O_ASYNC), hold up other programs (F_SETLEASE, locks) or
// watch folders (F_NOTIFY).
void DescriptorRules(std::vector<CageRule>& rules) {
    const int fcntl = SCMP_SYS(fcntl);
    for (scmp_datum_t command : {F_GETFD, F_SETFD, F_GETFL, F_DUPFD_CLOEXEC})
        rules.push_back({fcntl, CageAnswer::Allow, {ArgIs(1, command)}});
    rules.push_back({fcntl, CageAnswer::Allow, {ArgIs(1, F_SETFL), BitsClear(2, O_ASYNC)}});
    rules.push_back({fcntl, CageAnswer::Refuse, {ArgIs(1, F_SETFL), BitsSet(2, O_ASYNC)}});
    static_assert(F_GETFD == 1 && F_SETFD == 2 && F_GETFL == 3 && F_SETFL == 4, "fcntl's commands");
    rules.push_back({fcntl, CageAnswer::Refuse, {ArgIs(1, F_DUPFD)}});
    RefuseRange(rules, fcntl, 1, F_SETFL + 1, F_DUPFD_CLOEXEC - 1);
    rules.push_back({fcntl, CageAnswer::Refuse, {ArgAbove(1, F_DUPFD_CLOEXEC)}});
}

// Memory: private and never executable. A shared mapping of a file it was handed would let a worker
// change that file after it has answered, without a descriptor; executable memory would let a file's
// bytes become code.
void MemoryRules(std::vector<CageRule>& rules) {
    const int mmap = SCMP_SYS(mmap), mprotect = SCMP_SYS(mprotect);
    rules.push_back({mmap, CageAnswer::Allow, {BitsClear(2, PROT_EXEC), BitsClear(3, MAP_SHARED)}});
    rules.push_back({mmap, CageAnswer::Refuse, {BitsClear(2, PROT_EXEC), BitsSet(3, MAP_SHARED)}});
    rules.push_back({mmap, CageAnswer::Refuse, {BitsSet(2, PROT_EXEC)}});
    rules.push_back({mprotect, CageAnswer::Allow, {BitsClear(2, PROT_EXEC)}});
    rules.push_back({mprotect, CageAnswer::Refuse, {BitsSet(2, PROT_EXEC)}});
    for (int call : {SCMP_SYS(munmap), SCMP_SYS(mremap), SCMP_SYS(brk), SCMP_SYS(madvise)})
        rules.push_back({call, CageAnswer::Allow, {}});
}

// The calls that take a path, start something, reach out or change the process: refused with an error
// the libraries understand.
constexpr int kRefused[] = {
    SCMP_SYS(open),
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
    SCMP_SYS(rt_sigqueueinfo),
    SCMP_SYS(rt_tgsigqueueinfo),
    SCMP_SYS(pidfd_open),
    SCMP_SYS(pidfd_send_signal),
    SCMP_SYS(ptrace),
    SCMP_SYS(prlimit64),
    SCMP_SYS(setrlimit),
    SCMP_SYS(rt_sigaction),
    SCMP_SYS(rt_sigprocmask),
    SCMP_SYS(ioctl),
    SCMP_SYS(prctl),
    SCMP_SYS(flock),
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
    SCMP_SYS(uname),
    SCMP_SYS(capset),
    SCMP_SYS(setuid),
    SCMP_SYS(setgid),
    SCMP_SYS(setresuid),
    SCMP_SYS(setresgid),
    SCMP_SYS(setgroups),
    SCMP_SYS(unshare),
    SCMP_SYS(setns),
    SCMP_SYS(mount),
    SCMP_SYS(chroot),
};

// Registers of the call that was trapped, and where its result goes.
#if defined(__x86_64__)
std::uint64_t CallArgument(const ucontext_t& context, int index) {
    constexpr int kRegisters[] = {REG_RDI, REG_RSI, REG_RDX, REG_R10};
    return static_cast<std::uint64_t>(context.uc_mcontext.gregs[kRegisters[index]]);
}
void SetCallResult(ucontext_t& context, long result) { context.uc_mcontext.gregs[REG_RAX] = result; }
#elif defined(__aarch64__)
std::uint64_t CallArgument(const ucontext_t& context, int index) { return context.uc_mcontext.regs[index]; }
void SetCallResult(ucontext_t& context, long result) {
    context.uc_mcontext.regs[0] = static_cast<std::uint64_t>(result);
}
#else
#error "the worker's stat by descriptor needs the system call registers of this processor"
#endif

// The C library asks fstat as newfstatat(fd, "", AT_EMPTY_PATH), but the kernel resolves any path given
// with that flag, and a filter cannot see a path. So the call is trapped, and answered here with the plain
// fstat of the descriptor when the path is empty; never with a lookup by path.
void AnswerStat(int, siginfo_t* info, void* raw) {
    auto& context = *static_cast<ucontext_t*>(raw);
    long result = -EACCES;
    const char* path = reinterpret_cast<const char*>(CallArgument(context, 1));
    if (info->si_syscall == SCMP_SYS(newfstatat) && path != nullptr && path[0] == '\0' &&
        (CallArgument(context, 3) & AT_EMPTY_PATH) != 0) {
        const int saved = errno;
        result = ::syscall(SYS_fstat, static_cast<int>(CallArgument(context, 0)),
                           reinterpret_cast<struct stat*>(CallArgument(context, 2)));
        if (result < 0) result = -errno;
        errno = saved;
    }
    SetCallResult(context, result);
}

bool InstallStatAnswer() {
    struct sigaction action {};
    action.sa_sigaction = AnswerStat;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    return ::sigaction(SIGSYS, &action, nullptr) == 0;
}

}  // namespace

std::vector<CageRule> CageRules() {
    std::vector<CageRule> rules;
    const auto allow = [&rules](std::initializer_list<int> calls) {
        for (int call : calls) rules.push_back({call, CageAnswer::Allow, {}});
    };
    // Reading and writing what it was given, and the socket to the run.
    allow({SCMP_SYS(read), SCMP_SYS(write), SCMP_SYS(readv), SCMP_SYS(writev), SCMP_SYS(pread64),
           SCMP_SYS(pwrite64), SCMP_SYS(lseek), SCMP_SYS(close), SCMP_SYS(fstat), SCMP_SYS(ftruncate),
           SCMP_SYS(fsync), SCMP_SYS(fdatasync), SCMP_SYS(recvmsg), SCMP_SYS(sendmsg)});
    rules.push_back({SCMP_SYS(newfstatat), CageAnswer::Answer, {}});
    DescriptorRules(rules);
    MemoryRules(rules);
    // Ending, on its own or by abort() (a signal to itself only), and what the C library asks on the way.
    allow({SCMP_SYS(exit), SCMP_SYS(exit_group), SCMP_SYS(rt_sigreturn), SCMP_SYS(getpid), SCMP_SYS(gettid),
           SCMP_SYS(clock_gettime), SCMP_SYS(getrandom), SCMP_SYS(sched_yield), SCMP_SYS(sysinfo),
           SCMP_SYS(futex)});
    const auto self = static_cast<scmp_datum_t>(::getpid());
    rules.push_back({SCMP_SYS(tgkill), CageAnswer::Allow, {ArgIs(0, self)}});
    rules.push_back({SCMP_SYS(tgkill), CageAnswer::Refuse, {ArgIsNot(0, self)}});
    // Asking which signal stack is in use (the sanitizers do when an exception is thrown); never setting one.
    rules.push_back({SCMP_SYS(sigaltstack), CageAnswer::Allow, {ArgIs(0, 0)}});
    rules.push_back({SCMP_SYS(sigaltstack), CageAnswer::Refuse, {ArgIsNot(0, 0)}});
    for (int call : kRefused) rules.push_back({call, CageAnswer::Refuse, {}});
    return rules;
}

bool DropPrivileges(std::string& reason) {
    // The user stays the run's: the run sets the worker's processor time for every entry, which the kernel
    // allows across users only with CAP_SYS_RESOURCE, and containers often withhold that from root. Without
    // capabilities, a worker of root has no more power over other users' files and processes than any.
    // While it may, it empties its bounding set too.
    for (int capability = 0; capability <= 63; ++capability) ::prctl(PR_CAPBSET_DROP, capability, 0, 0, 0);
    ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capset, &header, none) != 0) {
        reason = std::string("its capabilities could not be dropped: ") + std::strerror(errno);
        return false;
    }
    return true;
}

bool ConfineWorker(std::string& reason) {
    // What is not named ends the process: a decoder that tries something unusual is not trusted to go on.
    std::unique_ptr<void, FilterDeleter> filter(seccomp_init(SCMP_ACT_KILL_PROCESS));
    if (!filter || !InstallStatAnswer()) {
        reason = "the seccomp filter could not be prepared";
        return false;
    }
    for (const CageRule& rule : CageRules()) {
        const std::uint32_t action = rule.answer == CageAnswer::Allow    ? SCMP_ACT_ALLOW
                                     : rule.answer == CageAnswer::Refuse ? SCMP_ACT_ERRNO(EACCES)
                                                                         : SCMP_ACT_TRAP;
        if (seccomp_rule_add_array(filter.get(), action, rule.call, static_cast<unsigned>(rule.when.size()),
                                   rule.when.data()) != 0) {
            reason = "the seccomp filter could not be built";
            return false;
        }
    }
    const int loaded = seccomp_load(filter.get());
    if (loaded != 0) {
        reason = std::string("the seccomp filter could not be loaded: ") + std::strerror(-loaded);
        return false;
    }
    return true;
}

}  // namespace orfeo
