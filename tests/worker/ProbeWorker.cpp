// A page worker for the tests: started, confined and limited exactly as orfeo-worker is (WorkerMain), and
// doing its work, except when a page asks it to misbehave. Never installed.
//
// A page whose content is "PROBE:" and an action: it tries the action and answers with the error number it
// got in the reply's writeError (0: the action succeeded):
//   open      open a file by path            exec     start a program       fork    make a process
//   socket    open a network socket          alloc    take and touch 1 GiB of memory
//   statpath  look at /etc/passwd by path    fstat    look at its page by descriptor (must work)
//   setown    have signals of its socket go to the run    setsig   have them be SIGKILL
//   async     have the kernel signal on its socket        lease    take a lease on its page
//   lock      lock its page                  shared   map its page so that writes would reach it
//   exec-mem  make memory executable         tgkill   signal the run
//   write-N   write one byte at N MiB into its output (the entry's second descriptor)
//   burn      use 1.2 s of processor time    wait     wait on nothing for ever
//   oom       allocate 64 GiB with new
//   spin      loop for ever                  crash    die of SIGKILL
// and, sending something before it answers: ready (says "ready" again, then answers), crash-writing (says
// it writes, then dies), crash-page and crash-mask (says it reads that file, then dies).
//
// A real page that ends with "PROBE:" and an action is a hostile worker's page: it tries the action, then
// does the entry's work as orfeo-worker does:
//   keep      keeps a copy of the output's descriptor, and at its next entry (and when the run hangs up)
//             rewrites that file
//   signal    asks for SIGKILL to the run when the run next writes to it (setown, setsig, async)
//   lease     takes a lease on its page and a lock on its output
//   look      looks at files and processes by path
#include <fcntl.h>
#include <linux/futex.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>

#include "worker/ServeRequests.h"

namespace {

constexpr int kSocket = 3;
// The run, asked before the worker is confined.
const pid_t g_run = ::getppid();

int Result(long result) { return result >= 0 ? 0 : errno; }

void Say(orfeo::WorkerReplyKind kind, std::uint8_t slot = 0) {
    orfeo::WorkerReply reply;
    reply.kind = kind;
    reply.slot = slot;
    orfeo::SendWorkerMessage(kSocket, orfeo::EncodeReply(reply));
}

int LookByPath() {
    struct stat status {};
    const int passwd = Result(::syscall(SYS_newfstatat, AT_FDCWD, "/etc/passwd", &status, AT_EMPTY_PATH));
    const int process = Result(::syscall(SYS_newfstatat, AT_FDCWD, "/proc/1", &status, AT_EMPTY_PATH));
    return passwd != 0 ? passwd : process;
}

// Has the kernel send SIGKILL to the run when its socket next becomes readable; the first refusal.
int SignalTheRun() {
    int error = Result(::fcntl(kSocket, F_SETOWN, g_run));
    if (error == 0) error = Result(::fcntl(kSocket, F_SETSIG, SIGKILL));
    if (error == 0) error = Result(::fcntl(kSocket, F_SETFL, ::fcntl(kSocket, F_GETFL) | O_ASYNC));
    return error;
}

int BurnProcessorTime(double seconds) {
    timespec start{}, now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &start);
    volatile unsigned long spins = 0;
    do {
        for (int i = 0; i < 100000; ++i) spins = spins + 1;
        ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    } while ((now.tv_sec - start.tv_sec) + (now.tv_nsec - start.tv_nsec) / 1e9 < seconds);
    return 0;
}

int TryAction(const std::string& action, const std::vector<int>& fds) {
    errno = 0;
    const int page = fds.at(0);
    if (action == "open") return Result(::open("/etc/passwd", O_RDONLY));
    if (action == "exec") {
        char* arguments[] = {const_cast<char*>("/bin/true"), nullptr};
        ::execv("/bin/true", arguments);
        return errno;
    }
    if (action == "fork") {
        const pid_t child = ::fork();
        if (child == 0) ::_exit(0);
        return Result(child);
    }
    if (action == "socket") return Result(::socket(AF_INET, SOCK_STREAM, 0));
    if (action == "alloc") {
        const std::size_t size = std::size_t{1} << 30;
        void* memory = std::malloc(size);
        if (!memory) return ENOMEM;
        std::memset(memory, 1, size);
        std::free(memory);
        return 0;
    }
    if (action == "statpath") return LookByPath();
    if (action == "fstat") {
        struct stat status {};
        return Result(::fstat(page, &status));
    }
    if (action == "setown") return Result(::fcntl(kSocket, F_SETOWN, g_run));
    if (action == "setsig") return Result(::fcntl(kSocket, F_SETSIG, SIGKILL));
    if (action == "async") return Result(::fcntl(kSocket, F_SETFL, O_ASYNC));
    if (action == "lease") return Result(::fcntl(page, F_SETLEASE, F_RDLCK));
    if (action == "lock") {
        struct flock lock {};
        lock.l_type = F_RDLCK;
        lock.l_whence = SEEK_SET;
        return Result(::fcntl(page, F_SETLK, &lock));
    }
    if (action == "shared")
        return ::mmap(nullptr, 4096, PROT_READ, MAP_SHARED, page, 0) == MAP_FAILED ? errno : 0;
    if (action == "exec-mem") {
        void* memory = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        return memory == MAP_FAILED ? errno : Result(::mprotect(memory, 4096, PROT_READ | PROT_EXEC));
    }
    if (action == "tgkill") return Result(::syscall(SYS_tgkill, g_run, g_run, 0));
    if (action.rfind("write-", 0) == 0) {
        const off_t at = std::atol(action.c_str() + 6) * (off_t{1} << 20);
        return Result(::pwrite(fds.at(1), "x", 1, at));
    }
    if (action == "burn") return BurnProcessorTime(1.2);
    if (action == "oom") {
        // Past any limit a test sets: the worker's handler for a failed allocation ends it.
        volatile char* memory = new char[std::size_t{64} << 30];
        memory[0] = 1;
        return 0;
    }
    if (action == "wait") {
        int never = 0;
        for (;;) ::syscall(SYS_futex, &never, FUTEX_WAIT, 0, nullptr, nullptr, 0);
    }
    if (action == "ready") {
        Say(orfeo::WorkerReplyKind::Ready);
        return 0;
    }
    if (action == "spin") {
        volatile bool forever = true;
        while (forever) {
        }
    }
    // Killed outright: a sanitizer would catch and report a SIGSEGV and end the process in its own way.
    if (action == "crash-writing") Say(orfeo::WorkerReplyKind::Writing);
    if (action == "crash-page") Say(orfeo::WorkerReplyKind::Reading, orfeo::kPageSlot);
    if (action == "crash-mask") Say(orfeo::WorkerReplyKind::Reading, orfeo::kMaskSlot);
    if (action.rfind("crash", 0) == 0) std::raise(SIGKILL);
    return EINVAL;
}

// The action a file asks for: its whole content after "PROBE:" (`whole`), or what follows the last
// "PROBE:" in its last bytes.
std::string ActionOf(int fd, bool& whole) {
    struct stat status {};
    if (::fstat(fd, &status) != 0) return {};
    char tail[48] = {};
    const off_t from = status.st_size > 40 ? status.st_size - 40 : 0;
    const ssize_t size = ::pread(fd, tail, 40, from);
    if (size <= 6) return {};
    const std::string content(tail, static_cast<std::size_t>(size));
    const std::size_t at = content.rfind("PROBE:");
    if (at == std::string::npos) return {};
    whole = at == 0 && from == 0;
    std::string action = content.substr(at + 6);
    while (!action.empty() && (action.back() == '\n' || action.back() == ' ')) action.pop_back();
    return action;
}

int g_kept = -1;  // the output a hostile worker kept

void RewriteKept() {
    if (g_kept < 0) return;
    ::ftruncate(g_kept, 0);
    ::pwrite(g_kept, "changed after it was accepted", 29, 0);
}

orfeo::WorkerReply CarryOrProbe(int socket, const orfeo::WorkerRequest& request,
                                const std::vector<int>& fds) {
    RewriteKept();
    if (fds.empty()) return orfeo::CarryRequest(socket, request, fds);
    bool whole = false;
    const std::string action = ActionOf(fds[0], whole);
    if (whole) {
        orfeo::WorkerReply reply;
        reply.writeError = TryAction(action, fds);
        for (int fd : fds) ::close(fd);
        return reply;
    }
    if (action == "keep" && request.Has(orfeo::kOutputSlot)) g_kept = ::fcntl(fds.back(), F_DUPFD_CLOEXEC, 0);
    if (action == "signal") SignalTheRun();
    if (action == "lease") {
        ::fcntl(fds[0], F_SETLEASE, F_RDLCK);
        struct flock lock {};
        lock.l_type = F_WRLCK;
        ::fcntl(fds.back(), F_SETLK, &lock);
    }
    if (action == "look") LookByPath();
    return orfeo::CarryRequest(socket, request, fds);
}

}  // namespace

int main(int argc, char** argv) {
    const int status = orfeo::WorkerMain(argc, argv, CarryOrProbe);
    RewriteKept();
    return status;
}
