#include "imaging/DryRun.h"

#include <array>
#include <filesystem>
#include <system_error>

#include "imaging/BackSubscans.h"
#include "imaging/FolderLock.h"
#include "imaging/ImageFile.h"
#include "imaging/JobSteps.h"
#include "imaging/MergeSubscans.h"
#include "imaging/Messages.h"
#include "imaging/PageWorkers.h"
#include "imaging/PixelRules.h"
#include "scan/FolderScan.h"
#include "scan/Paths.h"

// FreeImage 3.18 exports this (its loaders make header-only images with it), but Debian's FreeImage.h
// does not declare it.
extern "C" FIBITMAP* DLL_CALLCONV FreeImage_AllocateHeaderT(BOOL header_only, FREE_IMAGE_TYPE type, int width,
                                                            int height, int bpp, unsigned red_mask,
                                                            unsigned green_mask, unsigned blue_mask);

namespace orfeo {

namespace fs = std::filesystem;

namespace {

// Keeps the texts of the messages a step would show.
class MessageList final : public IMessageSink {
public:
    explicit MessageList(std::vector<std::string>& texts) : m_texts(texts) {}
    void ShowMessage(MessageKind, const std::string& text) override { m_texts.push_back(text); }

private:
    std::vector<std::string>& m_texts;
};

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

// A header as the worker read it, as an image without pixels for the rules' checks.
ImagePtr HeaderImage(const SlotOutcome& outcome) {
    return ImagePtr(FreeImage_AllocateHeaderT(TRUE, static_cast<FREE_IMAGE_TYPE>(outcome.type),
                                              static_cast<int>(outcome.width),
                                              static_cast<int>(outcome.height), outcome.bpp, 0, 0, 0));
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
        if (problem == LoadProblem::None && !answered && answer.outcome.slot == slot)
            problem = LoadProblem::CannotRead;
        files[slot]->verdict = VerdictOf(problem);
    }
}

// The pixel rule's check, as the real run makes it once every input loaded, given to the file it is about.
void PlanPixelCheck(PixelStatus status, const EntryFiles& files, PlannedEntry& entry,
                    IMessageSink& messages) {
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
    ReportPixelProblem(status, files, messages);
}

// The output's part: a result like `model` saved under the output's name.
void PlanOutput(FIBITMAP* model, PlannedEntry& entry, IMessageSink& messages) {
    if (FormatCanHold(entry.output.path, model)) {
        entry.written = true;
        return;
    }
    entry.output.verdict = FileVerdict::CannotHold;
    messages.ShowMessage(MessageKind::Problem, NotWrittenMessage(entry.output.path));
}

// The checks a run makes before its entries, once the lists passed: the locks of what it writes and
// reads, an output folder that is a link or holds one of the inputs, and the output folder that the reset
// empties and the run makes again. False when the real run would stop there.
bool PlanOutputFolder(JobPlan& plan, std::size_t entries, const RunInputs& inputs) {
    MessageList messages(plan.before);
    // Looked up, not taken: the plan must never keep a real run from starting.
    const std::string busy = FolderLock::WhoWouldRefuse(plan.outputFolder, inputs.folders);
    if (!busy.empty()) messages.ShowMessage(MessageKind::Problem, FolderInUseMessage(busy));
    if (!busy.empty() || !CheckOutputFolder(plan.outputFolder, inputs.files, messages)) {
        plan.result.refused = true;
        return false;
    }
    plan.result.entries = entries;
    ForEachFolderFile(plan.outputFolder, [&](const std::string&) {
        ++plan.filesToDelete;
        return true;
    });
    // The reset removes files and an empty folder, never anything else, and the run needs a folder there.
    std::error_code error;
    const fs::path output(WithoutTrailingSeparator(plan.outputFolder));
    if (fs::exists(fs::symlink_status(output, error)) && !fs::is_directory(output, error)) {
        messages.ShowMessage(MessageKind::Problem, CannotCreateFolderMessage(plan.outputFolder));
        return false;
    }
    return true;
}

// Entry `index` of `job`, as the real run would load, rule and write it, its headers read by a worker.
PlannedEntry PlanEntry(const BatchJob& job, std::size_t index, PageWorkers& workers) {
    const EntryFiles files = job.files(index);
    PlannedEntry entry{.name = files.name,
                       .page = {.path = files.page},
                       .mask = {.path = files.mask},
                       .back = {.path = files.back},
                       .output = {.path = files.output},
                       .messages = {},
                       .written = false};
    MessageList messages(entry.messages);
    const EntryAnswer answer = AskWorker(workers, WorkerTask::Headers, files);
    PlanInputs(answer, entry);
    if (!ShowInputOutcomes(answer, files, workers.Settings(), messages)) return entry;
    const auto& inputs = answer.outcome.reply.inputs;
    ImagePtr page = HeaderImage(inputs[kPageSlot]);
    ImagePtr back = files.back.empty() ? nullptr : HeaderImage(inputs[kBackSlot]);
    ImagePtr mask = HeaderImage(inputs[kMaskSlot]);
    if (!page || !mask || (!back && !files.back.empty())) return entry;
    const PixelStatus status = job.check(page.get(), back.get(), mask.get());
    PlanPixelCheck(status, files, entry, messages);
    if (status == PixelStatus::Ok) PlanOutput(page.get(), entry, messages);
    return entry;
}

JobPlan PlanJob(const BatchJob& job, double maxMegapixels) {
    JobPlan plan;
    plan.outputFolder = job.outputFolder;
    if (!job.refusal.empty()) {
        plan.before.push_back(job.refusal);
        plan.result.refused = true;
        return plan;
    }
    if (!PlanOutputFolder(plan, job.entries, job.inputs)) return plan;
    // The headers are read by page workers too: a header that crashes a decoder costs its entry only.
    JobOptions options;
    options.maxMegapixels = maxMegapixels;
    PageWorkers workers(WorkerSettingsFor(options));
    std::string reason;
    if (!workers.Start(reason)) {
        plan.before.push_back(WorkerNotStartedMessage(workers.Settings().program, reason));
        plan.result = BatchResult{.refused = true};
        return plan;
    }
    for (std::size_t i = 0; i < job.entries; ++i) {
        plan.entries.push_back(PlanEntry(job, i, workers));
        plan.result.written += plan.entries.back().written;
    }
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
    for (std::size_t i = list1.GetSize(); i < list2.GetSize(); ++i)
        plan.unused.push_back(list2.GetAt(i).path);
    return plan;
}

}  // namespace orfeo
