#include "imaging/BatchRun.h"

#include "imaging/FolderLock.h"
#include "imaging/ImageFile.h"
#include "imaging/Messages.h"
#include "imaging/RunEntries.h"

namespace orfeo {

namespace {

bool ProcessEntry(const BatchJob& job, std::size_t index, IMessageSink& messages, double maxMegapixels) {
    const EntryFiles files = job.files(index);
    PixelResult result;
    {
        ImagePtr page = LoadImageFile(files.page, messages, maxMegapixels);
        ImagePtr back = files.back.empty() ? nullptr : LoadImageFile(files.back, messages, maxMegapixels);
        ImagePtr mask = LoadImageFile(files.mask, messages, maxMegapixels);
        if (!page || !mask || (!back && !files.back.empty())) return false;
        result = job.rule(page.get(), back.get(), mask.get());
    }
    ReportPixelProblem(result.status, files, messages);
    return result.image && SaveImageFile(result.image.get(), files.output, messages);
}

}  // namespace

BatchResult RunBatch(const BatchJob& job, IMessageSink& messages, const JobOptions& options) {
    BatchResult result;
    if (!job.refusal.empty()) {
        messages.ShowMessage(MessageKind::Problem, job.refusal);
        result.refused = true;
        return result;
    }
    const FolderLock lock(job.outputFolder, job.inputs.folders);
    if (!CheckFolderLock(lock, messages) ||
        !CheckOutputFolder(job.outputFolder, job.inputs.files, messages)) {
        result.refused = true;
        return result;
    }
    result.entries = job.entries;
    if (!PrepareOutputFolder(job.outputFolder, messages)) {
        messages.ShowMessage(MessageKind::Ended, ProcessingEndedMessage());
        return result;
    }
    const EntryWork work = [&](std::size_t index, IMessageSink& entryMessages) {
        return ProcessEntry(job, index, entryMessages, options.maxMegapixels);
    };
    RunEntries(
        job.entries, work, [&](std::size_t index) { return job.files(index).name; }, messages, options,
        result);
    return result;
}

}  // namespace orfeo
