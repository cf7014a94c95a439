#include "imaging/JobSteps.h"

#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/parallel_pipeline.h>
#include <oneapi/tbb/task_arena.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <mutex>
#include <system_error>
#include <utility>
#include <vector>

#include "imaging/ImageFile.h"
#include "imaging/Messages.h"
#include "scan/Paths.h"

namespace orfeo {

namespace fs = std::filesystem;

bool PrepareOutputFolder(const std::string& folder, IMessageSink& messages) {
    ResetOutputFolder(folder);
    std::error_code error;
    fs::create_directory(fs::path(folder), error);
    if (fs::is_directory(fs::path(folder), error)) return true;
    messages.ShowMessage(MessageKind::Problem, CannotCreateFolderMessage(folder));
    return false;
}

bool CheckOutputFolder(const std::string& folder, const std::vector<std::string>& inputs,
                       IMessageSink& messages) {
    std::string bare = folder;
    while (bare.size() > 1 && bare.back() == kPathSeparator) bare.pop_back();
    std::error_code error;
    if (fs::is_symlink(fs::path(bare), error)) {
        messages.ShowMessage(MessageKind::Problem, OutputFolderIsLinkMessage(folder));
        return false;
    }
    const fs::path output(bare);
    if (!fs::is_directory(output, error)) return true;  // nothing there yet that an input could lie in
    // The inputs of a run mostly share a few folders: the last one looked at is remembered.
    fs::path lastFolder;
    bool lastInside = false;
    for (const std::string& input : inputs) {
        const fs::path path(input);
        const fs::file_status status = fs::symlink_status(path, error);
        if (error || !fs::exists(status)) continue;
        fs::path real = path;
        if (fs::is_symlink(status)) {
            real = fs::canonical(path, error);
            if (error) continue;
        }
        fs::path parent = real.parent_path();
        if (parent.empty()) parent = ".";
        if (parent != lastFolder || lastFolder.empty()) {
            lastFolder = parent;
            lastInside = fs::equivalent(parent, output, error) && !error;
        }
        if (lastInside) {
            messages.ShowMessage(MessageKind::Problem, InputInOutputFolderMessage(input, folder));
            return false;
        }
    }
    return true;
}

RunInputs BackRunInputs(const CScanList& list1, const std::string& inputFolder) {
    const std::string maskFolder = WithTrailingSeparator(inputFolder) + kMaskSubfolder;
    RunInputs inputs{.folders = {inputFolder, maskFolder}, .files = {}};
    inputs.files.reserve(2 * list1.GetSize());
    for (const ScanEntry& entry : list1) {
        inputs.files.push_back(entry.path);
        inputs.files.push_back(maskFolder + entry.name);
    }
    return inputs;
}

RunInputs MergeRunInputs(const CScanList& list1, const CScanList& list2, const std::string& inputFolder,
                         const std::string& outputFolder) {
    const std::string maskFolder = WithTrailingSeparator(inputFolder) + kMaskSubfolder;
    const std::string backFolder = WithTrailingSeparator(outputFolder);
    RunInputs inputs;
    if (!list2.IsEmpty()) {
        const std::string pageFolder = fs::path(list2.GetAt(0).path).parent_path().string();
        inputs.folders = {inputFolder, pageFolder, maskFolder, backFolder};
    }
    // Folder 1's pages are only named by a merge, but they are the user's pages all the same.
    const std::size_t count = std::min(list1.GetSize(), list2.GetSize());
    inputs.files.reserve(4 * count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::string& name = list1.GetAt(i).name;
        inputs.files.push_back(list1.GetAt(i).path);
        inputs.files.push_back(list2.GetAt(i).path);
        inputs.files.push_back(backFolder + name);
        inputs.files.push_back(maskFolder + name);
    }
    return inputs;
}

bool CheckFolderLock(const FolderLock& lock, IMessageSink& messages) {
    if (lock.Held()) return true;
    messages.ShowMessage(MessageKind::Problem, FolderInUseMessage(lock.BusyFolder()));
    return false;
}

void ReportPixelProblem(PixelStatus status, const EntryFiles& files, IMessageSink& messages) {
    std::string text;
    switch (status) {
        case PixelStatus::Ok: return;
        case PixelStatus::UnsupportedPage: text = UnsupportedPixelsMessage(files.page); break;
        case PixelStatus::MaskNotOneBit: text = MaskNotOneBitMessage(files.mask); break;
        case PixelStatus::MaskTooSmall: text = MaskTooSmallMessage(files.mask, files.page); break;
        case PixelStatus::BackMismatch: text = BackMismatchMessage(files.back, files.page); break;
        case PixelStatus::OutOfMemory: text = OutOfMemoryMessage(files.output); break;
    }
    messages.ShowMessage(MessageKind::Problem, text);
}

namespace {

// Keeps an entry's messages until their turn comes.
class DeferredMessages final : public IMessageSink {
public:
    void ShowMessage(MessageKind kind, const std::string& text) override { m_messages.emplace_back(kind, text); }
    void ReplayTo(IMessageSink& sink) const {
        for (const auto& [kind, text] : m_messages) sink.ShowMessage(kind, text);
    }

private:
    std::vector<std::pair<MessageKind, std::string>> m_messages;
};

struct InFlight {
    std::size_t index = 0;
    bool written = false;
    DeferredMessages messages;
};

bool StopRequested(const JobOptions& options) {
    return options.stop && options.stop->load(std::memory_order_relaxed);
}

}  // namespace

void RunEntries(std::size_t count, const EntryWork& work, const std::function<const std::string&(std::size_t)>& name,
                IMessageSink& messages, const JobOptions& options, BatchResult& result) {
    const unsigned workers = options.workers ? options.workers : AvailableCores();
    std::size_t started = 0, done = 0;
    auto finish = [&](std::size_t index, bool written) {
        if (written) ++result.written;
        ++done;
        if (options.progress) options.progress(done, count, name(index));
    };

    if (workers == 1) {
        for (; started < count && !StopRequested(options); ++started) finish(started, work(started, messages));
    } else {
        // Entries are taken up in order, processed side by side, and handed back in order; at most
        // workers + 1 are in flight, which bounds the memory whatever the batch's length. The gate is held
        // while an entry's messages are shown, and taken before the next entry starts, so that nothing new
        // starts while the user has a message in front of them.
        std::mutex gate;
        // Allow as many threads as asked for, also beyond the cores (TBB would otherwise cap it and say so
        // on standard error).
        const tbb::global_control threads(tbb::global_control::max_allowed_parallelism, workers);
        tbb::task_arena arena(static_cast<int>(workers));
        arena.execute([&] {
            tbb::parallel_pipeline(
                workers + 1,
                tbb::make_filter<void, InFlight*>(tbb::filter_mode::serial_in_order,
                                                  [&](tbb::flow_control& flow) -> InFlight* {
                                                      std::lock_guard<std::mutex> lock(gate);
                                                      if (started == count || StopRequested(options)) {
                                                          flow.stop();
                                                          return nullptr;
                                                      }
                                                      auto* entry = new InFlight;
                                                      entry->index = started++;
                                                      return entry;
                                                  }) &
                    tbb::make_filter<InFlight*, InFlight*>(tbb::filter_mode::parallel,
                                                           [&](InFlight* entry) {
                                                               entry->written = work(entry->index, entry->messages);
                                                               return entry;
                                                           }) &
                    tbb::make_filter<InFlight*, void>(tbb::filter_mode::serial_in_order, [&](InFlight* raw) {
                        const std::unique_ptr<InFlight> entry(raw);
                        std::lock_guard<std::mutex> lock(gate);
                        entry->messages.ReplayTo(messages);
                        finish(entry->index, entry->written);
                    }));
        });
    }

    if (started < count) {
        result.stopped = true;
        messages.ShowMessage(MessageKind::Problem, StoppedMessage(result.written, count));
    }
    messages.ShowMessage(MessageKind::Ended, ProcessingEndedMessage());
}

}  // namespace orfeo
