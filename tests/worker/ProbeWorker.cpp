// A page worker for the tests: started, confined and limited exactly as orfeo-worker is (WorkerMain), and
// doing its work, except for a page whose content is "PROBE:" and an action. Then it tries the action and
// answers with the error number it got in the reply's writeError (0: the action succeeded):
//   open    open a file by path          exec   start a program      fork   make a process
//   socket  open a network socket        alloc  take and touch 1 GiB of memory
//   spin    loop for ever                crash  die of SIGKILL
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>

#include "worker/ServeRequests.h"

namespace {

int TryAction(const std::string& action) {
    errno = 0;
    if (action == "open") {
        const int fd = ::open("/etc/passwd", O_RDONLY);
        return fd >= 0 ? 0 : errno;
    }
    if (action == "exec") {
        char* arguments[] = {const_cast<char*>("/bin/true"), nullptr};
        ::execv("/bin/true", arguments);
        return errno;
    }
    if (action == "fork") {
        const pid_t child = ::fork();
        if (child == 0) ::_exit(0);
        return child > 0 ? 0 : errno;
    }
    if (action == "socket") {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        return fd >= 0 ? 0 : errno;
    }
    if (action == "alloc") {
        const std::size_t size = std::size_t{1} << 30;
        void* memory = std::malloc(size);
        if (!memory) return ENOMEM;
        std::memset(memory, 1, size);
        std::free(memory);
        return 0;
    }
    if (action == "spin") {
        volatile bool forever = true;
        while (forever) {
        }
    }
    // Killed outright: a sanitizer would catch and report a SIGSEGV and end the process in its own way.
    if (action == "crash") std::raise(SIGKILL);
    return EINVAL;
}

orfeo::WorkerReply CarryOrProbe(int socket, const orfeo::WorkerRequest& request,
                                const std::vector<int>& fds) {
    if (!fds.empty() && request.Has(orfeo::kPageSlot)) {
        char content[32] = {};
        const ssize_t size = ::pread(fds[0], content, sizeof content - 1, 0);
        if (size > 6 && std::strncmp(content, "PROBE:", 6) == 0) {
            std::string action(content + 6, static_cast<std::size_t>(size - 6));
            while (!action.empty() && (action.back() == '\n' || action.back() == ' ')) action.pop_back();
            orfeo::WorkerReply reply;
            reply.writeError = TryAction(action);
            for (int fd : fds) ::close(fd);
            return reply;
        }
    }
    return orfeo::CarryRequest(socket, request, fds);
}

}  // namespace

int main(int argc, char** argv) { return orfeo::WorkerMain(argc, argv, CarryOrProbe); }
