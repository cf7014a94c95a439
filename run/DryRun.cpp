#include "run/DryRun.h"

#include <array>
#include <filesystem>

#if defined(__unix__)
#include <fcntl.h>
#include <unistd.h>
#endif
#include <system_error>

#include "protocol/LoadReport.h"
#include "protocol/Messages.h"
#include "protocol/PixelStatus.h"
#include "run/BackSubscans.h"
#include "run/FolderLock.h"
#include "run/JobSteps.h"
#include "run/MergeSubscans.h"
#include "run/PageWorkers.h"
#include "scan/FolderScan.h"
#include "scan/Paths.h"

namespace orfeo {

namespace fs = std::filesystem;

namespace {

FileVerdict VerdictOf(LoadProblem problem) {
    switch (problem) {
        case LoadProblem::None:
            return FileVerdict::Ok;
        case LoadProblem::NotFound:
            return FileVerdict::NotFound;
        case LoadProblem::NotRegular:
            return FileVerdict::NotRegular;
        case LoadProblem::CannotRead:
        case LoadProblem::Damaged:
        case LoadProblem::UnlistedFormat:
            return FileVerdict::CannotRead;
        case LoadProblem::TooLarge:
            return FileVerdict::TooLarge;
    }
    return FileVerdict::CannotRead;
}

// The verdicts of an entry's inputs from what opening them and the worker found; the worker's ending,
// when it did not answer, counts against the file it was reading.
void PlanInputs(const EntryAnswer& answer, PlannedEntry& entry) {
    const std::array<PlannedFile*, kInputSlots> files = {&entry.page, &entry.back, &entry.mask};
    const bool answered = answer.outcome.ending == WorkerEnding::Answered;
    for (int slot = 0; slot < kInputSlots; ++slot) {
        if (files[slot]->path.empty()) continue;
        LoadProblem problem = answer.opened[slot].problem;
        if (problem == LoadProblem::None && answered) problem = answer.outcome.reply.inputs[slot].problem;
        if (problem == LoadProblem::None && !answered && answer.outcome.slot == slot) {
            problem = LoadProblem::CannotRead;
        }
        files[slot]->verdict = VerdictOf(problem);
    }
}

// The verdict of the rule's checks, given to the file it is about.
void PlanPixelCheck(PixelStatus status, PlannedEntry& entry) {
    switch (status) {
        case PixelStatus::UnsupportedPage:
            entry.page.verdict = FileVerdict::UnsupportedPixels;
            break;
        case PixelStatus::MaskNotOneBit:
            entry.mask.verdict = FileVerdict::MaskNotOneBit;
            break;
        case PixelStatus::MaskTooSmall:
            entry.mask.verdict = FileVerdict::MaskTooSmall;
            break;
        case PixelStatus::BackMismatch:
            entry.back.verdict = FileVerdict::BackMismatch;
            break;
        case PixelStatus::Ok:
        case PixelStatus::OutOfMemory:
            break;
    }
}

// Where a plan keeps what the run would say: the messages of an entry with the entry, the others before
// the entries; the closing "Processing ended." nowhere. Entries are planned one at a time.
class PlanMessages final : public IMessageSink {
public:
    explicit PlanMessages(JobPlan& plan) : m_plan(plan) {}
    void ShowMessage(MessageKind kind, const std::string& text) override {
        if (kind == MessageKind::Ended) return;
        (m_inEntry ? m_plan.entries.back().messages : m_plan.before).push_back(text);
    }
    void EnterEntry(bool inEntry) { m_inEntry = inEntry; }

private:
    JobPlan& m_plan;
    bool m_inEntry = false;
};

// The dry run's effects: locks looked up, never taken; the reset counted, not made; each entry's headers
// read by a worker, which makes the rule's checks and says whether the output's format would hold the
// result, and nothing written.
class PlanEffects final : public BatchEffects {
public:
    PlanEffects(JobPlan& plan, PlanMessages& messages) : m_plan(plan), m_messages(messages) {}

    std::string Lock(const BatchJob& job) override {
        // Looked up, not taken: the plan must never keep a real run from starting.
        return FolderLock::WhoWouldRefuse(job.outputFolder, job.inputs.folders);
    }

    bool PrepareOutput(const BatchJob& job, IMessageSink& messages) override {
        ForEachFolderFile(job.outputFolder, [&](const std::string&) {
            ++m_plan.filesToDelete;
            return true;
        });
        // The reset removes files and an empty folder, never anything else, and the run needs a folder
        // there.
        std::error_code error;
        const fs::path output(WithoutTrailingSeparator(job.outputFolder));
        const bool there = fs::exists(fs::symlink_status(output, error));
        bool canMake = !there || fs::is_directory(output, error);
#if defined(__unix__)
        // A folder that is not there yet is made in its parent, which must let this user make it.
        if (!there) {
            const fs::path parent = output.has_parent_path() ? output.parent_path() : fs::path(".");
            canMake = ::faccessat(AT_FDCWD, parent.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
        }
#endif
        if (!canMake) {
            messages.ShowMessage(MessageKind::Problem, CannotCreateFolderMessage(job.outputFolder));
            return false;
        }
        return true;
    }

    bool Entry(const BatchJob& job, std::size_t index, PageWorkers& workers,
               IMessageSink& messages) override {
        const EntryFiles files = job.files(index);
        m_plan.entries.push_back(PlannedEntry{.name = files.name,
                                              .page = {.path = files.page},
                                              .mask = {.path = files.mask},
                                              .back = {.path = files.back},
                                              .output = {.path = files.output},
                                              .messages = {},
                                              .written = false});
        PlannedEntry& entry = m_plan.entries.back();
        m_messages.EnterEntry(true);
        EntryAnswer answer;
        const bool ruled = AskAndReport(job, files, workers, true, messages, answer);
        PlanInputs(answer, entry);
        if (answer.outcome.ending == WorkerEnding::Answered)
            PlanPixelCheck(answer.outcome.reply.pixels, entry);
        if (ruled && answer.outcome.reply.written) {
            entry.written = true;
        } else if (ruled) {
            entry.output.verdict = FileVerdict::CannotHold;
            messages.ShowMessage(MessageKind::Problem, NotWrittenMessage(files.output));
        }
        m_messages.EnterEntry(false);
        return entry.written;
    }

private:
    JobPlan& m_plan;
    PlanMessages& m_messages;
};

JobPlan PlanJob(const BatchJob& job, double maxMegapixels) {
    JobPlan plan;
    plan.outputFolder = job.outputFolder;
    PlanMessages messages(plan);
    PlanEffects effects(plan, messages);
    // The run's own steps, one entry at a time, with the effects foreseen instead of made.
    JobOptions options;
    options.workers = 1;
    options.maxMegapixels = maxMegapixels;
    plan.result = BatchSteps(job, effects, messages, options);
    return plan;
}

}  // namespace

std::vector<std::string> JobPlan::Messages() const {
    std::vector<std::string> all = before;
    for (const PlannedEntry& entry : entries)
        all.insert(all.end(), entry.messages.begin(), entry.messages.end());
    return all;
}

JobPlan PlanBackSubscans(const CScanList& list1, const std::string& inputFolder,
                         const std::string& outputFolder, double maxMegapixels) {
    return PlanJob(BackSubscanJob(list1, inputFolder, outputFolder), maxMegapixels);
}

JobPlan PlanMergeSubscans(const CScanList& list1, const CScanList& list2, const std::string& inputFolder,
                          const std::string& outputFolder, const std::string& outputFolder2,
                          double maxMegapixels) {
    const BatchJob job = MergeSubscanJob(list1, list2, inputFolder, outputFolder, outputFolder2);
    JobPlan plan = PlanJob(job, maxMegapixels);
    if (!job.refusal.empty()) return plan;
    plan.unused = UnusedPages(list1, list2);
    return plan;
}

}  // namespace orfeo
