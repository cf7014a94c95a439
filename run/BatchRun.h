#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "protocol/MessageSink.h"
#include "protocol/WorkerProtocol.h"
#include "run/BatchResult.h"
#include "run/JobOptions.h"
#include "run/JobSteps.h"

namespace orfeo {

class PageWorkers;

// A batch job as its run and its dry run see it: what refuses it, what it locks and must not empty, and
// for each entry the files it reads and writes and the pixel rule that makes the output.
struct BatchJob {
    // The message that refuses the job before it looks at the disk (lists that are empty or cannot pair);
    // empty when the job may run.
    std::string refusal;
    std::string outputFolder;  // ends with the separator
    RunInputs inputs;
    std::size_t entries = 0;
    // The files of entry `index`; called from several threads at once.
    std::function<EntryFiles(std::size_t index)> files;
    // The rule, which a page worker applies to each entry (or, for a dry run, only checks): Back
    // (CheckBackInputs, MakeBackSubscan) or Merge (CheckMergeInputs, MergeSubscan).
    WorkerTask task = WorkerTask::Back;
};

// What a batch does to the disk, which the run carries out and the dry run only foresees. Both go through
// the same steps (BatchSteps), so that a check added to the run reaches the dry run as well.
class BatchEffects {
public:
    virtual ~BatchEffects() = default;
    // Locks what the job writes and reads (see FolderLock), for as long as the effects live; the folder
    // whose lock another run holds, or empty when there is none.
    virtual std::string Lock(const BatchJob& job) = 0;
    // Empties the output folder and makes it anew; false, with the message shown, when there is no folder
    // to write into.
    virtual bool PrepareOutput(const BatchJob& job, IMessageSink& messages) = 0;
    // Entry `index`: its inputs handed to a worker and its messages shown; true when its output is written.
    // Called from several threads at once for different entries.
    virtual bool Entry(const BatchJob& job, std::size_t index, PageWorkers& workers,
                       IMessageSink& messages) = 0;
};

// The steps of a batch: a refused job shows its refusal and touches nothing. Otherwise the effects lock the
// folders and the run is refused, touching nothing, when another run holds them, when the output folder is
// a link or holds an input (CheckOutputFolder), or when no page worker can be started (PageWorkers). A stop
// asked for by then ends the run before anything is touched. Then the output folder is prepared; when that
// fails no entry is processed. The entries go through RunEntries, each one through the effects. Every run
// that was not refused ends with "Processing ended.".
BatchResult BatchSteps(const BatchJob& job, BatchEffects& effects, IMessageSink& messages,
                       const JobOptions& options);

// Runs `job` (BatchSteps with the real effects): the folders are locked, the output folder emptied and
// made anew, and each entry handed to a page worker, which loads its page, back subscan (if any) and mask,
// in that order, all of them even when one fails, applies the rule and writes the output into a temporary
// file that the run renames into place; an entry that fails, its worker's crash included, is skipped after
// its messages and the others go on.
BatchResult RunBatch(const BatchJob& job, IMessageSink& messages, const JobOptions& options);

// Hands the entry with `files` to a worker and shows its messages up to the rule's: what the worker found
// of the inputs (or how it ended) and what the rule's checks found. True when the entry got past them;
// the worker's answer is in `answer` either way.
struct EntryAnswer;
bool AskAndReport(const BatchJob& job, const EntryFiles& files, PageWorkers& workers, bool headersOnly,
                  IMessageSink& messages, EntryAnswer& answer);

}  // namespace orfeo
