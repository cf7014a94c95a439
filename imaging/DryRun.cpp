#include "imaging/DryRun.h"

#include <filesystem>
#include <system_error>

#include "imaging/FolderLock.h"
#include "imaging/ImageFile.h"
#include "imaging/JobSteps.h"
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
        case LoadProblem::None: return FileVerdict::Ok;
        case LoadProblem::NotFound: return FileVerdict::NotFound;
        case LoadProblem::NotRegular: return FileVerdict::NotRegular;
        case LoadProblem::CannotRead:
        case LoadProblem::Damaged: return FileVerdict::CannotRead;
        case LoadProblem::TooLarge: return FileVerdict::TooLarge;
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
void PlanPixelCheck(PixelStatus status, PlannedEntry& entry, IMessageSink& messages) {
    switch (status) {
        case PixelStatus::UnsupportedPage: entry.page.verdict = FileVerdict::UnsupportedPixels; break;
        case PixelStatus::MaskNotOneBit: entry.mask.verdict = FileVerdict::MaskNotOneBit; break;
        case PixelStatus::MaskTooSmall: entry.mask.verdict = FileVerdict::MaskTooSmall; break;
        case PixelStatus::BackMismatch: entry.back.verdict = FileVerdict::BackMismatch; break;
        case PixelStatus::Ok:
        case PixelStatus::OutOfMemory: break;
    }
    ReportPixelProblem(status, EntryFiles{entry.page.path, entry.mask.path, entry.back.path, entry.output.path},
                       messages);
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
        if (!CheckFolderLock(lock, messages) || !CheckOutputFolder(plan.outputFolder, inputs.files, messages)) {
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
    const fs::path output = fs::path(plan.outputFolder).parent_path();  // without the trailing separator
    if (fs::exists(fs::symlink_status(output, error)) && !fs::is_directory(output, error)) {
        messages.ShowMessage(MessageKind::Problem, CannotCreateFolderMessage(plan.outputFolder));
        return false;
    }
    return true;
}

}  // namespace

std::vector<std::string> JobPlan::Messages() const {
    std::vector<std::string> all = before;
    for (const PlannedEntry& entry : entries) all.insert(all.end(), entry.messages.begin(), entry.messages.end());
    return all;
}

JobPlan PlanBackSubscans(const CScanList& list1, const std::string& inputFolder, const std::string& outputFolder,
                         double maxMegapixels) {
    JobPlan plan;
    plan.outputFolder = WithTrailingSeparator(outputFolder);
    if (list1.IsEmpty()) {
        plan.before.push_back(NoScansMessage());
        plan.result.refused = true;
        return plan;
    }
    if (!PlanOutputFolder(plan, list1.GetSize(), BackRunInputs(list1, inputFolder))) return plan;

    const std::string maskFolder = WithTrailingSeparator(inputFolder) + kMaskSubfolder;
    for (const ScanEntry& scan : list1) {
        PlannedEntry& entry = plan.entries.emplace_back();
        entry.name = scan.name;
        entry.page.path = scan.path;
        entry.mask.path = maskFolder + scan.name;
        entry.output.path = plan.outputFolder + scan.name;
        MessageList messages(entry.messages);
        ImagePtr page = PlanInput(entry.page, messages, maxMegapixels);
        ImagePtr mask = PlanInput(entry.mask, messages, maxMegapixels);
        if (!page || !mask) continue;
        const PixelStatus status = CheckBackInputs(page.get(), mask.get());
        PlanPixelCheck(status, entry, messages);
        if (status == PixelStatus::Ok) PlanOutput(page.get(), entry, messages);
        plan.result.written += entry.written;
    }
    return plan;
}

JobPlan PlanMergeSubscans(const CScanList& list1, const CScanList& list2, const std::string& inputFolder,
                          const std::string& outputFolder, const std::string& outputFolder2, double maxMegapixels) {
    JobPlan plan;
    plan.outputFolder = WithTrailingSeparator(outputFolder2);
    plan.result.refused = true;
    if (list1.IsEmpty()) {
        plan.before.push_back(NoScansMessage());
        return plan;
    }
    if (list2.IsEmpty()) {
        plan.before.push_back(NoScans2Message());
        return plan;
    }
    if (list2.GetSize() < list1.GetSize()) {
        plan.before.push_back(FewerScansMessage(list1.GetSize(), list2.GetSize()));
        return plan;
    }
    plan.result.refused = false;
    for (std::size_t i = list1.GetSize(); i < list2.GetSize(); ++i) plan.unused.push_back(list2.GetAt(i).path);
    if (!PlanOutputFolder(plan, list1.GetSize(), MergeRunInputs(list1, list2, inputFolder, outputFolder))) {
        return plan;
    }

    const std::string maskFolder = WithTrailingSeparator(inputFolder) + kMaskSubfolder;
    const std::string backFolder = WithTrailingSeparator(outputFolder);
    for (std::size_t i = 0; i < list1.GetSize(); ++i) {
        PlannedEntry& entry = plan.entries.emplace_back();
        entry.name = list1.GetAt(i).name;
        entry.page.path = list2.GetAt(i).path;
        entry.back.path = backFolder + entry.name;
        entry.mask.path = maskFolder + entry.name;
        entry.output.path = plan.outputFolder + entry.name;
        MessageList messages(entry.messages);
        ImagePtr page = PlanInput(entry.page, messages, maxMegapixels);
        ImagePtr back = PlanInput(entry.back, messages, maxMegapixels);
        ImagePtr mask = PlanInput(entry.mask, messages, maxMegapixels);
        if (!page || !back || !mask) continue;
        const PixelStatus status = CheckMergeInputs(page.get(), back.get(), mask.get());
        PlanPixelCheck(status, entry, messages);
        if (status == PixelStatus::Ok) PlanOutput(page.get(), entry, messages);
        plan.result.written += entry.written;
    }
    return plan;
}

}  // namespace orfeo
