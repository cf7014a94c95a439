#include "run/BackSubscans.h"

#include "protocol/Messages.h"
#include "scan/Paths.h"

namespace orfeo {

namespace {

// The pages and their masks.
RunInputs BackRunInputs(const CScanList& list1, const std::string& maskFolder,
                        const std::string& inputFolder) {
    RunInputs inputs{.folders = {inputFolder, maskFolder}, .files = {}};
    inputs.files.reserve(2 * list1.GetSize());
    for (const ScanEntry& entry : list1) {
        inputs.files.push_back(entry.path);
        inputs.files.push_back(maskFolder + entry.name);
    }
    return inputs;
}

}  // namespace

BatchJob BackSubscanJob(const CScanList& list1, const std::string& inputFolder,
                        const std::string& outputFolder) {
    const std::string maskFolder = WithTrailingSeparator(inputFolder) + kMaskSubfolder;
    const std::string output = WithTrailingSeparator(outputFolder);
    auto files = [&list1, maskFolder, output](std::size_t index) {
        const ScanEntry& entry = list1.GetAt(index);
        return EntryFiles{.name = entry.name,
                          .page = entry.path,
                          .mask = maskFolder + entry.name,
                          .back = {},  // none: the back subscan is what this job makes
                          .output = output + entry.name};
    };
    return BatchJob{
        .refusal = list1.IsEmpty() ? NoScansMessage() : std::string(),
        .outputFolder = output,
        .inputs = BackRunInputs(list1, maskFolder, inputFolder),
        .entries = list1.GetSize(),
        .files = files,
        .task = WorkerTask::Back,
    };
}

BatchResult CreateBackSubscans(const CScanList& list1, const std::string& inputFolder,
                               const std::string& outputFolder, IMessageSink& messages,
                               const JobOptions& options) {
    return RunBatch(BackSubscanJob(list1, inputFolder, outputFolder), messages, options);
}

}  // namespace orfeo
