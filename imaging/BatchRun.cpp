#include "imaging/BatchRun.h"

#include <sys/stat.h>

#include <filesystem>
#include <system_error>

#include "imaging/FolderLock.h"
#include "imaging/ImageFile.h"
#include "imaging/Messages.h"
#include "imaging/PageWorkers.h"
#include "imaging/RunEntries.h"

namespace orfeo {

namespace {

bool ProcessEntry(const BatchJob& job, std::size_t index, IMessageSink& messages, PageWorkers& workers) {
    const EntryFiles files = job.files(index);
    EntryAnswer answer = AskWorker(workers, job.task, files);
    std::string temporary = answer.output ? answer.output->Path() : std::string();
    const auto discard = [&] {
        answer.output.reset();
        std::error_code error;
        if (!temporary.empty()) std::filesystem::remove(std::filesystem::path(temporary), error);
    };
    if (!ShowInputOutcomes(answer, files, workers.Settings(), messages)) {
        discard();
        return false;
    }
    const WorkerReply& reply = answer.outcome.reply;
    ReportPixelProblem(reply.pixels, files, messages);
    if (reply.pixels != PixelStatus::Ok) {
        discard();
        return false;
    }
    // The worker's word that the file is whole is checked as far as the run can: something was written,
    // and the run's own flush and close succeed.
    int error = answer.output && !answer.output->IsOpen() ? answer.output->Error() : reply.writeError;
    bool saved = reply.written && answer.output && answer.output->IsOpen();
    if (saved) {
        struct stat status {};
        saved = ::fstat(answer.output->Fd(), &status) == 0 && status.st_size > 0;
    }
    if (saved) {
        saved = answer.output->Close();
        if (!saved) error = answer.output->Error();
    }
    if (saved) saved = PutInPlace(temporary, files.output, error);
    if (!saved) {
        discard();
        messages.ShowMessage(MessageKind::Problem, NotWrittenMessage(files.output, error));
    }
    return saved;
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
    PageWorkers workers(WorkerSettingsFor(options));
    std::string reason;
    if (!workers.Start(reason)) {
        messages.ShowMessage(MessageKind::Problem,
                             WorkerNotStartedMessage(workers.Settings().program, reason));
        result.refused = true;
        return result;
    }
    result.entries = job.entries;
    // A stop asked for while the run was checking (a large book takes seconds) ends it here, before the
    // reset touches anything.
    if (options.stop && options.stop->load()) {
        result.stopped = true;
        messages.ShowMessage(MessageKind::Problem, StoppedMessage(0, job.entries));
        messages.ShowMessage(MessageKind::Ended, ProcessingEndedMessage());
        return result;
    }
    if (!PrepareOutputFolder(job.outputFolder, messages)) {
        messages.ShowMessage(MessageKind::Ended, ProcessingEndedMessage());
        return result;
    }
    const EntryWork work = [&](std::size_t index, IMessageSink& entryMessages) {
        return ProcessEntry(job, index, entryMessages, workers);
    };
    RunEntries(
        job.entries, work, [&](std::size_t index) { return job.files(index).name; }, messages, options,
        result);
    return result;
}

}  // namespace orfeo
