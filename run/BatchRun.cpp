#include "run/BatchRun.h"

#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <system_error>

#include "protocol/Messages.h"
#include "protocol/OutputFile.h"
#include "run/FolderLock.h"
#include "run/OutputFolder.h"
#include "run/PageWorkers.h"
#include "run/RunEntries.h"
#include "scan/FolderScan.h"

namespace orfeo {

namespace {

// The run's effects: real locks, a real reset, outputs written and renamed into place.
class RunEffects final : public BatchEffects {
public:
    std::string Lock(const BatchJob& job) override {
        m_lock.emplace(job.outputFolder, job.inputs.folders);
        return m_lock->BusyFolder();
    }

    bool PrepareOutput(const BatchJob& job, IMessageSink& messages) override {
        return PrepareOutputFolder(job.outputFolder, messages);
    }

    bool Entry(const BatchJob& job, std::size_t index, PageWorkers& workers,
               IMessageSink& messages) override {
        const EntryFiles files = job.files(index);
        EntryAnswer answer;
        const bool ruled = AskAndReport(job, files, workers, false, messages, answer);
        const std::string temporary = answer.output ? answer.output->Path() : std::string();
        const auto discard = [&] {
            answer.output.reset();
            std::error_code error;
            if (!temporary.empty()) std::filesystem::remove(std::filesystem::path(temporary), error);
        };
        if (!ruled) {
            discard();
            return false;
        }
        // The worker's word that the file is whole is checked as far as the run can: something was written,
        // and the run's own flush and close succeed.
        const WorkerReply& reply = answer.outcome.reply;
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

private:
    std::optional<FolderLock> m_lock;
};

// The name progress shows: the page, and in a merge the second folder's page paired with it too.
EntryName NameOf(const BatchJob& job) {
    return [&job](std::size_t index) {
        const EntryFiles files = job.files(index);
        return files.back.empty() ? files.name : files.name + " + " + GetFileNamePart(files.page);
    };
}

// An entry's files, for its report.
EntryDescription DescriptionOf(const BatchJob& job) {
    return [&job](std::size_t index, EntryReport& report) {
        const EntryFiles files = job.files(index);
        report.page = files.page;
        report.mask = files.mask;
        report.back = files.back;
        report.output = files.output;
    };
}

}  // namespace

bool AskAndReport(const BatchJob& job, const EntryFiles& files, PageWorkers& workers, bool headersOnly,
                  IMessageSink& messages, EntryAnswer& answer) {
    answer = AskWorker(workers, job.task, files, headersOnly);
    if (!ShowInputOutcomes(answer, files, workers.Settings(), messages)) return false;
    ReportPixelProblem(answer.outcome.reply.pixels, files, messages);
    return answer.outcome.reply.pixels == PixelStatus::Ok;
}

BatchResult BatchSteps(const BatchJob& job, BatchEffects& effects, IMessageSink& messages,
                       const JobOptions& options) {
    BatchResult result;
    if (!job.refusal.empty()) {
        messages.ShowMessage(MessageKind::Problem, job.refusal);
        result.refused = true;
        return result;
    }
    const std::string busy = effects.Lock(job);
    if (!busy.empty()) messages.ShowMessage(MessageKind::Problem, FolderInUseMessage(busy));
    if (!busy.empty() || !CheckOutputFolder(job.outputFolder, job.inputs.files, messages)) {
        result.refused = true;
        result.inUse = !busy.empty();
        return result;
    }
    std::optional<PageWorkers> own;
    if (!options.workerPool) own.emplace(WorkerSettingsFor(options));
    PageWorkers& workers = options.workerPool ? *options.workerPool : *own;
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
    if (!effects.PrepareOutput(job, messages)) {
        messages.ShowMessage(MessageKind::Ended, ProcessingEndedMessage());
        return result;
    }
    const EntryWork work = [&](std::size_t index, IMessageSink& entryMessages) {
        return effects.Entry(job, index, workers, entryMessages);
    };
    RunEntries(job.entries, work, NameOf(job), messages, options, result, DescriptionOf(job));
    return result;
}

BatchResult RunBatch(const BatchJob& job, IMessageSink& messages, const JobOptions& options) {
    RunEffects effects;
    return BatchSteps(job, effects, messages, options);
}

}  // namespace orfeo
