#include "imaging/DryRun.h"

#include <filesystem>
#include <system_error>

#include "imaging/BackSubscans.h"
#include "imaging/FolderLock.h"
#include "imaging/ImageFile.h"
#include "imaging/JobSteps.h"
#include "imaging/MergeSubscans.h"
#include "imaging/Messages.h"
#include "imaging/PixelRules.h"
#include "scan/FolderScan.h"
#include "scan/Paths.h"

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
            return FileVerdict::CannotRead;
        case LoadProblem::TooLarge:
            return FileVerdict::TooLarge;
    }
    return FileVerdict::CannotRead;
}

// Reads a file's header as the real run would load it, noting its verdict and the messages.
ImagePtr PlanInput(PlannedFile& file, IMessageSink& messages, double maxMegapixels) {
    LoadProblem problem = LoadProblem::None;
    ImagePtr image = LoadImageHeader(file.path, messages, maxMegapixels, &problem);
    file.verdict = VerdictOf(problem);
    return image;
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
    {
        // Tried and let go at once: the plan must not keep a real run from starting.
        const FolderLock lock(plan.outputFolder, inputs.folders);
        if (!CheckFolderLock(lock, messages) ||
            !CheckOutputFolder(plan.outputFolder, inputs.files, messages)) {
            plan.result.refused = true;
            return false;
        }
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

// Entry `index` of `job`, as the real run would load, rule and write it.
PlannedEntry PlanEntry(const BatchJob& job, std::size_t index, double maxMegapixels) {
    const EntryFiles files = job.files(index);
    PlannedEntry entry{.name = files.name,
                       .page = {.path = files.page},
                       .mask = {.path = files.mask},
                       .back = {.path = files.back},
                       .output = {.path = files.output},
                       .messages = {},
                       .written = false};
    MessageList messages(entry.messages);
    ImagePtr page = PlanInput(entry.page, messages, maxMegapixels);
    ImagePtr back = files.back.empty() ? nullptr : PlanInput(entry.back, messages, maxMegapixels);
    ImagePtr mask = PlanInput(entry.mask, messages, maxMegapixels);
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
    for (std::size_t i = 0; i < job.entries; ++i) {
        plan.entries.push_back(PlanEntry(job, i, maxMegapixels));
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
