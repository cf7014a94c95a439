#pragma once

#include <sys/types.h>

#include <array>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "protocol/LoadReport.h"
#include "protocol/MessageSink.h"
#include "protocol/OutputFile.h"
#include "protocol/WorkerProtocol.h"
#include "run/JobOptions.h"
#include "run/JobSteps.h"

namespace orfeo {

// The processes that decode, rule and encode a run's entries. FreeImage's decoders are large and old, and
// the files come from anywhere: a file that crashes a decoder, loops in it or makes it allocate without
// end costs its worker and its entry, never the run or the window. A worker is started from its own
// program (orfeo-worker), confines itself before it takes a request (no file opened by path, no new
// process, no network: see worker/Confinement.h) and runs under limits that the run sets: memory and file
// size derived from the megapixel limit, no core dumps, and processor time per entry. The run opens the
// entry's files and hands the worker their descriptors, and makes the temporary output file the worker
// writes into; it renames that into place itself.

// How the workers of a run are started and bounded.
struct WorkerSettings {
    std::string program;             // the worker program
    double maxMegapixels;            // the run's megapixel limit, which the memory limit follows
    unsigned cpuSeconds;             // processor time an entry may take
    unsigned long long memoryBytes;  // address space a worker may use (the limit in force); 0: not limited
    // How long a worker may go without answering an entry; 0: derived from the entry's images as the
    // worker measures them (AnswerSeconds).
    unsigned answerSeconds = 0;
};

// The settings for a run with `options`: the program beside the running one (see DefaultWorkerProgram)
// unless the options name one.
WorkerSettings WorkerSettingsFor(const JobOptions& options);

// orfeo-worker where the build and the package put it: in the folder libexec/orfeo beside the folder of
// the running program (build/libexec/orfeo for build/cli/orfeo-cli, /usr/libexec/orfeo for
// /usr/bin/orfeo-cli).
std::string DefaultWorkerProgram();

// How a worker's work on one entry ended.
enum class WorkerEnding {
    Answered,     // it answered: `reply` holds the outcome
    Crashed,      // it died (`why` says how)
    OutOfTime,    // it used up the entry's processor time and was stopped
    NoAnswer,     // it did not answer within `seconds` (waiting, not computing) and was stopped
    OutOfMemory,  // it ran out of its memory
    Nonsense,     // it answered something the protocol does not allow, and was stopped
    KeptFiles,    // it answered, but still held a file of the entry (or anything new), and was stopped
    NotStarted,   // no worker could be started (`why` says why)
};

struct WorkerOutcome {
    WorkerEnding ending = WorkerEnding::Answered;
    int slot = -1;         // the file it was busy with when it ended: an input slot, kOutputSlot, or -1
    std::string why;       // Crashed: the signal's description; NotStarted: the reason
    unsigned seconds = 0;  // NoAnswer: the time it had
    WorkerReply reply;
};

// The time a worker has to answer an entry whose largest image has `megapixels` (0 before the worker has
// measured any): five times the entry's processor time and half a minute, so that a worker that waits on
// nothing holds its page for about a minute and a half, not for what the largest page admitted could take.
unsigned AnswerSeconds(const WorkerSettings& settings, double megapixels);

class PageWorkers {
public:
    explicit PageWorkers(WorkerSettings settings);
    ~PageWorkers();
    PageWorkers(const PageWorkers&) = delete;
    PageWorkers& operator=(const PageWorkers&) = delete;

    // Starts one worker, so that a run that cannot have any is refused before it touches the disk; false
    // with the reason in `reason`.
    bool Start(std::string& reason);

    // Has a worker carry out `request` with the descriptors `fds` (which stay the caller's). Safe from
    // several threads at once: each call takes a worker of its own, starting one when none is idle, and a
    // worker that ended is replaced by a fresh one at the next call. A worker that answered is taken back
    // only when it holds nothing but what it was started with (its socket and /dev/null): one that kept a
    // descriptor could change a file after the caller accepted it, so it is ended (KeptFiles) before the
    // answer is given; where its descriptors cannot be looked at, it is ended after every entry. When this
    // returns, no worker can write to `fds` any more.
    WorkerOutcome Run(const WorkerRequest& request, const std::vector<int>& fds);

    const WorkerSettings& Settings() const { return m_settings; }

private:
    struct Worker;
    // An idle worker, or a new one (null, with the reason in `reason`, when none could start).
    std::unique_ptr<Worker> Take(std::string& reason);
    std::unique_ptr<Worker> TakeIdle();
    void GiveBack(std::unique_ptr<Worker> worker);
    // Waits for the worker's answer to `request`: true with it in `outcome.reply`; false when the worker
    // was stopped (with `outcome` saying why) or is gone (outcome.ending still Answered: see Bury).
    bool Await(Worker& worker, const WorkerRequest& request, WorkerOutcome& outcome);
    // Reaps a worker that went away and says in `outcome` how it ended.
    static void Bury(Worker& worker, WorkerOutcome& outcome);

    WorkerSettings m_settings;
    std::mutex m_idleLock;
    std::vector<std::unique_ptr<Worker>> m_idle;
};

// One entry handed to a worker: the run opens the inputs of `files`, makes the temporary output file in
// the output's folder (unless `headersOnly`, for a dry run, or an input did not open), and asks.
struct EntryAnswer {
    std::array<LoadReport, kInputSlots> opened{};  // what opening each input found (None: opened or unused)
    std::unique_ptr<OutputFile> output;            // the temporary output, when one was made
    WorkerOutcome outcome;
};
EntryAnswer AskWorker(PageWorkers& workers, WorkerTask task, const EntryFiles& files,
                      bool headersOnly = false);

// Shows the messages of an entry's inputs in slot order, and the worker's ending when it did not answer;
// true when every input loaded.
bool ShowInputOutcomes(const EntryAnswer& answer, const EntryFiles& files, const WorkerSettings& settings,
                       IMessageSink& messages);

}  // namespace orfeo
