#include "run/PageWorkers.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "protocol/Limits.h"
#include "protocol/Messages.h"
#include "scan/FolderScan.h"
#include "scan/Paths.h"

extern char** environ;

namespace orfeo {

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

// The worker's descriptor for its socket.
constexpr int kWorkerSocket = 3;

// How long a worker may take to start and confine itself.
constexpr int kStartMilliseconds = 10000;

std::string ErrorText(int error) { return std::generic_category().message(error); }

// The processor time a process has used, in whole seconds rounded up; -1 when it cannot be read.
long long CpuSecondsUsed(pid_t pid) {
    clockid_t clock;
    if (::clock_getcpuclockid(pid, &clock) != 0) return -1;
    timespec used{};
    if (::clock_gettime(clock, &used) != 0) return -1;
    return static_cast<long long>(used.tv_sec) + (used.tv_nsec > 0 ? 1 : 0);
}

// Sets a limit of `pid`, never above what it has already: a limit the user set on the run (ulimit) is
// kept when it is lower, and an unprivileged run could not raise it anyway.
bool SetLimit(pid_t pid, int resource, rlim_t soft, rlim_t hard) {
    const auto which = static_cast<__rlimit_resource>(resource);
    rlimit now{};
    if (::prlimit(pid, which, nullptr, &now) != 0) return false;
    const rlim_t newHard = std::min(hard, now.rlim_max);
    const rlimit limit{std::min(soft, newHard), newHard};
    return ::prlimit(pid, which, &limit, nullptr) == 0;
}

// What /proc tells of a process's confinement: its seccomp mode (2: filtered), how many filters it runs
// under (-1 where the kernel does not say), whether it can gain privileges, and whether it holds any
// capability (effective, permitted or ambient).
struct Confinement {
    int mode = 0;
    int filters = -1;
    bool noNewPrivileges = false;
    bool capabilities = true;
};

Confinement ConfinementOf(const std::string& process) {
    std::ifstream status("/proc/" + process + "/status");
    Confinement confinement;
    std::string line;
    const auto number = [&line] { return std::atoi(line.c_str() + line.find(':') + 1); };
    const auto none = [&line] { return std::strtoull(line.c_str() + line.find(':') + 1, nullptr, 16) == 0; };
    int capabilitySets = 0;
    while (std::getline(status, line)) {
        if (line.rfind("Seccomp:", 0) == 0) confinement.mode = number();
        if (line.rfind("Seccomp_filters:", 0) == 0) confinement.filters = number();
        if (line.rfind("NoNewPrivs:", 0) == 0) confinement.noNewPrivileges = number() == 1;
        if (line.rfind("CapEff:", 0) == 0 || line.rfind("CapPrm:", 0) == 0 || line.rfind("CapAmb:", 0) == 0)
            capabilitySets += none() ? 1 : 0;
    }
    confinement.capabilities = capabilitySets != 3;
    return confinement;
}

// True when the kernel confines `pid` with a filter of its own (one more than the run itself runs under:
// a container may filter every process already) and it holds no capability.
bool ConfinedByKernel(pid_t pid) {
    const Confinement worker = ConfinementOf(std::to_string(pid));
    const Confinement run = ConfinementOf("self");
    const bool ownFilter = worker.filters < 0 || worker.filters > run.filters;
    return worker.mode == 2 && worker.noNewPrivileges && ownFilter && !worker.capabilities;
}

// What a worker holds between entries, read from /proc.
enum class Holdings { OwnOnly, More, Unknown };

// A worker holds its own when each of its descriptors is one it was started with: /dev/null on 0, 1 and
// 2, and a socket on 3 (it can make no socket of its own, so that is the run's). Anything else is a file
// of an entry or a copy of one.
Holdings HoldingsOf(pid_t pid) {
    const std::string folder = "/proc/" + std::to_string(pid) + "/fd/";
    std::error_code error;
    std::filesystem::directory_iterator entries(folder, error);
    if (error) return Holdings::Unknown;
    for (const auto& entry : entries) {
        const std::string name = entry.path().filename().string();
        struct stat status {};
        if (::stat((folder + name).c_str(), &status) != 0) return Holdings::Unknown;
        const bool null = S_ISCHR(status.st_mode) && status.st_rdev == makedev(1, 3);
        const bool own = name.size() == 1 && ((name[0] >= '0' && name[0] <= '2' && null) ||
                                              (name[0] == '0' + kWorkerSocket && S_ISSOCK(status.st_mode)));
        if (!own) return Holdings::More;
    }
    return Holdings::OwnOnly;
}

// A socket pair for a worker: the run's end in sockets[0], the worker's in sockets[1]; false (with errno)
// when the system gave none.
bool MakeSockets(int sockets[2]) {
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sockets) != 0) return false;
    // The worker's end goes to descriptor 3; one that is 3 already would keep its close-on-exec flag.
    if (sockets[1] == kWorkerSocket) {
        const int moved = ::fcntl(sockets[1], F_DUPFD_CLOEXEC, kWorkerSocket + 1);
        ::close(sockets[1]);
        sockets[1] = moved;
    }
    return true;
}

// Starts `program` as a worker on `socket` into `pid`: posix_spawn's answer (0 when it started).
int Spawn(const std::string& program, int socket, pid_t& pid) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, socket, kWorkerSocket);
    posix_spawn_file_actions_addclosefrom_np(&actions, kWorkerSocket + 1);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // Its own process group, so that a Ctrl-C at the terminal stops the run (which lets the entries in hand
    // finish) rather than the workers; every signal at its default, whatever the run ignores or blocks.
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    std::string name = "orfeo-worker", serve = "--serve";
    char* arguments[] = {name.data(), serve.data(), nullptr};
    const int spawned = ::posix_spawn(&pid, program.c_str(), &actions, &attributes, arguments, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return spawned;
}

// The limits are the run's, not the worker's own word: set before it is given anything to read. A file
// may be no larger than an uncompressed image twice over, nor than the run itself may write. False (with
// errno) when one could not be set.
bool SetWorkerLimits(pid_t pid, const WorkerSettings& settings) {
    rlim_t fileBytes = static_cast<rlim_t>(2 * 8 * settings.maxMegapixels * 1e6) + (64u << 20);
    rlimit runFileLimit{};
    if (::getrlimit(RLIMIT_FSIZE, &runFileLimit) == 0) fileBytes = std::min(fileBytes, runFileLimit.rlim_cur);
    bool limited = SetLimit(pid, RLIMIT_CORE, 0, 0) && SetLimit(pid, RLIMIT_FSIZE, fileBytes, fileBytes) &&
                   SetLimit(pid, RLIMIT_NOFILE, 16, 16);
    if (settings.memoryBytes) {
        limited = limited && SetLimit(pid, RLIMIT_AS, settings.memoryBytes, settings.memoryBytes);
    }
    return limited;
}

// What a new worker said first: that it is ready, nothing in time, or something else.
enum class Readiness { Ready, Silent, NotAWorker };

Readiness AwaitReady(int socket, double maxMegapixels) {
    pollfd wait{socket, POLLIN, 0};
    std::uint8_t buffer[kMaxWorkerMessage];
    std::vector<int> fds;
    int ready = 0;
    do {
        ready = ::poll(&wait, 1, kStartMilliseconds);
    } while (ready < 0 && errno == EINTR);
    const long size = ready > 0 ? ReceiveWorkerMessage(socket, buffer, sizeof buffer, fds, 0) : -1;
    const auto reply =
        size > 0 ? DecodeReply(buffer, static_cast<std::size_t>(size), maxMegapixels) : std::nullopt;
    if (reply && reply->kind == WorkerReplyKind::Ready) return Readiness::Ready;
    return ready == 0 ? Readiness::Silent : Readiness::NotAWorker;
}

}  // namespace

struct PageWorkers::Worker {
    pid_t pid = -1;
    int socket = -1;

    ~Worker() { Stop(); }

    // Ends the process (if it still runs) and reaps it; its wait status, or 0 when there was no process.
    int Stop() {
        int status = 0;
        if (socket >= 0) ::close(socket);
        socket = -1;
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }
        pid = -1;
        return status;
    }

    // The process after it closed its end: its wait status. A worker that closed the socket but still
    // runs is ended first.
    int Reap() {
        if (socket >= 0) ::close(socket);
        socket = -1;
        int status = 0;
        // A process that just ended may need a moment to be reapable; one that lingers (0.1 s) is ended.
        pid_t done = 0;
        for (int i = 0; i < 100 && done != pid; ++i) {
            done = ::waitpid(pid, &status, WNOHANG);
            if (done < 0 && errno != EINTR) break;
            if (done != pid) ::usleep(1000);
        }
        if (done != pid) {
            ::kill(pid, SIGKILL);
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }
        pid = -1;
        return status;
    }
};

WorkerSettings WorkerSettingsFor(const JobOptions& options) {
    unsigned long long memory = kAddressSanitizer ? 0 : WorkerMemoryBytes(options.maxMegapixels);
    // A lower limit on the run (ulimit -v) is the one its workers get: the messages quote that.
    rlimit runMemory{};
    if (memory && ::getrlimit(RLIMIT_AS, &runMemory) == 0 && runMemory.rlim_max != RLIM_INFINITY)
        memory = std::min<unsigned long long>(memory, runMemory.rlim_max);
    WorkerSettings settings{
        .program = options.workerProgram.empty() ? DefaultWorkerProgram() : options.workerProgram,
        .maxMegapixels = options.maxMegapixels,
        .cpuSeconds =
            options.entryCpuSeconds ? options.entryCpuSeconds : EntryCpuSeconds(options.maxMegapixels),
        .memoryBytes = memory,
    };
    return settings;
}

unsigned AnswerSeconds(const WorkerSettings& settings, double megapixels) {
    if (settings.answerSeconds) return settings.answerSeconds;
    return 5 * std::min(settings.cpuSeconds, EntryCpuSeconds(megapixels)) + 30;
}

std::string DefaultWorkerProgram() {
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    const std::filesystem::path folder = error ? std::filesystem::path(".") : self.parent_path();
    return (folder.parent_path() / "libexec" / "orfeo" / "orfeo-worker").string();
}

PageWorkers::PageWorkers(WorkerSettings settings) : m_settings(std::move(settings)) {}

PageWorkers::~PageWorkers() = default;

bool PageWorkers::Start(std::string& reason) {
    std::unique_ptr<Worker> worker = Take(reason);
    if (!worker) return false;
    GiveBack(std::move(worker));
    return true;
}

std::unique_ptr<PageWorkers::Worker> PageWorkers::TakeIdle() {
    std::lock_guard<std::mutex> lock(m_idleLock);
    if (m_idle.empty()) return nullptr;
    std::unique_ptr<Worker> worker = std::move(m_idle.back());
    m_idle.pop_back();
    return worker;
}

std::unique_ptr<PageWorkers::Worker> PageWorkers::Take(std::string& reason) {
    if (std::unique_ptr<Worker> idle = TakeIdle()) return idle;
    int sockets[2];
    if (!MakeSockets(sockets)) {
        reason = ErrorText(errno);
        return nullptr;
    }
    auto worker = std::make_unique<Worker>();
    worker->socket = sockets[0];
    const int spawned = Spawn(m_settings.program, sockets[1], worker->pid);
    ::close(sockets[1]);
    if (spawned != 0) {
        worker->pid = -1;
        reason = ErrorText(spawned);
        return nullptr;
    }
    if (!SetWorkerLimits(worker->pid, m_settings)) {
        reason = "its limits could not be set (" + ErrorText(errno) + ")";
        return nullptr;
    }
    // It says that it is ready once it is confined; the kernel confirms it.
    const Readiness readiness = AwaitReady(worker->socket, m_settings.maxMegapixels);
    if (readiness != Readiness::Ready) {
        const int status = worker->Stop();
        if (WIFEXITED(status) && WEXITSTATUS(status) == 127) {
            reason = "it is not a program that can run here";
        } else {
            reason =
                readiness == Readiness::Silent ? "it did not answer" : "it did not start as a page worker";
        }
        return nullptr;
    }
    if (!ConfinedByKernel(worker->pid)) {
        worker->Stop();
        reason = "the system did not confine it";
        return nullptr;
    }
    return worker;
}

void PageWorkers::GiveBack(std::unique_ptr<Worker> worker) {
    std::lock_guard<std::mutex> lock(m_idleLock);
    m_idle.push_back(std::move(worker));
}

WorkerOutcome PageWorkers::Run(const WorkerRequest& request, const std::vector<int>& fds) {
    WorkerOutcome outcome;
    std::unique_ptr<Worker> worker = Take(outcome.why);
    if (!worker) {
        outcome.ending = WorkerEnding::NotStarted;
        return outcome;
    }
    // Processor time for this entry alone: the kernel stops the worker with SIGXCPU when it is used up.
    const long long used = CpuSecondsUsed(worker->pid);
    if (used >= 0)
        SetLimit(worker->pid, RLIMIT_CPU, static_cast<rlim_t>(used + m_settings.cpuSeconds), RLIM_INFINITY);
    if (!SendWorkerMessage(worker->socket, EncodeRequest(request), fds) ||
        !Await(*worker, request, outcome)) {
        if (outcome.ending == WorkerEnding::Answered) Bury(*worker, outcome);
        return outcome;
    }
    // What it answered counts only once it can no longer write to the entry's files.
    const Holdings holdings = HoldingsOf(worker->pid);
    if (holdings == Holdings::OwnOnly) {
        GiveBack(std::move(worker));
    } else {
        worker->Stop();
        if (holdings == Holdings::More) outcome.ending = WorkerEnding::KeptFiles;
    }
    return outcome;
}

bool PageWorkers::Await(Worker& worker, const WorkerRequest& request, WorkerOutcome& outcome) {
    // A worker that waits rather than computes is stopped once it has had time for the images it measured.
    const auto start = std::chrono::steady_clock::now();
    double measured = 0;
    for (;;) {
        const unsigned seconds = AnswerSeconds(m_settings, measured);
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            start + std::chrono::seconds(seconds) - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            worker.Stop();
            outcome.ending = WorkerEnding::NoAnswer;
            outcome.seconds = seconds;
            return false;
        }
        pollfd wait{worker.socket, POLLIN, 0};
        const int ready = ::poll(&wait, 1, static_cast<int>(std::min<long long>(left.count(), 1000)));
        if (ready < 0 && errno != EINTR) return false;
        if (ready <= 0) continue;
        std::uint8_t buffer[kMaxWorkerMessage];
        std::vector<int> received;
        const long size = ReceiveWorkerMessage(worker.socket, buffer, sizeof buffer, received, 0);
        if (size == 0) return false;
        const auto reply = size > 0
                               ? DecodeReply(buffer, static_cast<std::size_t>(size), m_settings.maxMegapixels)
                               : std::nullopt;
        const bool inputSlot =
            reply && (reply->kind == WorkerReplyKind::Reading || reply->kind == WorkerReplyKind::Measured);
        if (!reply || reply->kind == WorkerReplyKind::Ready || (inputSlot && !request.Has(reply->slot))) {
            worker.Stop();
            outcome.ending = WorkerEnding::Nonsense;
            return false;
        }
        if (reply->kind == WorkerReplyKind::Done) {
            outcome.reply = *reply;
            return true;
        }
        if (reply->kind == WorkerReplyKind::Measured) {
            measured = std::max(measured, static_cast<double>(reply->width) * reply->height / 1e6);
        } else {
            outcome.slot = reply->kind == WorkerReplyKind::Writing ? int{kOutputSlot} : int{reply->slot};
        }
    }
}

void PageWorkers::Bury(Worker& worker, WorkerOutcome& outcome) {
    const int status = worker.Reap();
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGXCPU) {
        outcome.ending = WorkerEnding::OutOfTime;
    } else if (WIFEXITED(status) && WEXITSTATUS(status) == kWorkerOutOfMemoryStatus) {
        outcome.ending = WorkerEnding::OutOfMemory;
    } else {
        outcome.ending = WorkerEnding::Crashed;
        if (WIFSIGNALED(status)) {
            const char* description = ::sigdescr_np(WTERMSIG(status));
            outcome.why = description ? description : "signal " + std::to_string(WTERMSIG(status));
        } else {
            outcome.why =
                "it ended with status " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
        }
    }
}

EntryAnswer AskWorker(PageWorkers& workers, WorkerTask task, const EntryFiles& files, bool headersOnly) {
    EntryAnswer answer;
    WorkerRequest request{.task = task,
                          .headersOnly = headersOnly,
                          .present = 0,
                          .maxMegapixels = workers.Settings().maxMegapixels,
                          .extensions = {}};
    request.extensions[kOutputSlot] = GetFileExtension(files.output);
    const std::array<const std::string*, kInputSlots> inputs = {&files.page, &files.back, &files.mask};
    std::vector<int> fds;
    bool allOpened = true;
    for (int slot = 0; slot < kInputSlots; ++slot) {
        if (inputs[slot]->empty()) continue;
        const int fd = OpenImageFile(*inputs[slot], answer.opened[slot]);
        if (fd < 0) {
            allOpened = false;
            continue;
        }
        request.present |= static_cast<std::uint8_t>(1u << slot);
        request.extensions[slot] = GetFileExtension(*inputs[slot]);
        fds.push_back(fd);
    }
    if (!headersOnly && allOpened) {
        const std::size_t separator = files.output.rfind(kPathSeparator);
        const std::string folder =
            separator == std::string::npos ? std::string() : files.output.substr(0, separator + 1);
        answer.output = std::make_unique<OutputFile>(folder);
        if (answer.output->IsOpen()) {
            request.present |= static_cast<std::uint8_t>(1u << kOutputSlot);
            fds.push_back(answer.output->Fd());
        }
    }
    // Inputs that did not open are still read by the worker when others did, so that every file's message
    // is shown, as the run always has.
    if (request.present != 0) {
        answer.outcome = workers.Run(request, fds);
    }
    for (std::size_t i = 0; i < fds.size(); ++i) {
        const bool isOutput =
            answer.output && answer.output->IsOpen() && i + 1 == fds.size() && request.Has(kOutputSlot);
        if (!isOutput) ::close(fds[i]);
    }
    return answer;
}

namespace {

void ShowEnding(const WorkerOutcome& outcome, const EntryFiles& files, const WorkerSettings& settings,
                IMessageSink& messages) {
    const std::array<const std::string*, kWorkerSlots> paths = {&files.page, &files.back, &files.mask,
                                                                &files.output};
    const std::string file =
        outcome.slot >= 0 && outcome.slot < kInputSlots ? *paths[outcome.slot] : std::string();
    std::string text;
    switch (outcome.ending) {
        case WorkerEnding::Answered:
            return;
        case WorkerEnding::Crashed:
            text = outcome.slot == kOutputSlot
                       ? WorkerCrashedMessage(files.page, std::string(),
                                              outcome.why + ", writing " + Quoted(files.output))
                       : WorkerCrashedMessage(files.page, file, outcome.why);
            break;
        case WorkerEnding::OutOfTime:
            text = WorkerOutOfTimeMessage(files.page, file, settings.cpuSeconds);
            break;
        case WorkerEnding::NoAnswer:
            text = WorkerNoAnswerMessage(files.page, file, outcome.seconds);
            break;
        case WorkerEnding::KeptFiles:
            text = WorkerKeptFilesMessage(files.page);
            break;
        case WorkerEnding::OutOfMemory:
            text =
                WorkerOutOfMemoryMessage(files.page, file, static_cast<unsigned>(settings.memoryBytes >> 20));
            break;
        case WorkerEnding::Nonsense:
            text = WorkerNonsenseMessage(files.page);
            break;
        case WorkerEnding::NotStarted:
            text = WorkerNotStartedMessage(settings.program, outcome.why);
            break;
    }
    messages.ShowMessage(MessageKind::Problem, text);
}

}  // namespace

bool ShowInputOutcomes(const EntryAnswer& answer, const EntryFiles& files, const WorkerSettings& settings,
                       IMessageSink& messages) {
    const std::array<const std::string*, kInputSlots> inputs = {&files.page, &files.back, &files.mask};
    const bool answered = answer.outcome.ending == WorkerEnding::Answered;
    // A worker that ended is named where it ended: after the inputs before the one it was reading.
    const int endedAt =
        answered ? kInputSlots : (answer.outcome.slot >= 0 ? answer.outcome.slot : kInputSlots);
    bool loaded = answered;
    for (int slot = 0; slot < kInputSlots; ++slot) {
        if (slot == endedAt) ShowEnding(answer.outcome, files, settings, messages);
        if (inputs[slot]->empty()) continue;
        LoadReport report = answer.opened[slot];
        if (report.problem == LoadProblem::None && answered) {
            const SlotOutcome& outcome = answer.outcome.reply.inputs[slot];
            report.problem = outcome.problem;
            report.width = outcome.width;
            report.height = outcome.height;
            report.format = static_cast<int>(outcome.format);
        }
        if (report.problem != LoadProblem::None) loaded = false;
        ShowLoadProblem(report, *inputs[slot], settings.maxMegapixels, messages);
    }
    if (endedAt == kInputSlots) ShowEnding(answer.outcome, files, settings, messages);
    return loaded;
}

}  // namespace orfeo
