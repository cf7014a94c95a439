#include "run/MergeSubscans.h"

#include <algorithm>
#include <filesystem>

#include "protocol/Messages.h"
#include "scan/Paths.h"

namespace orfeo {

namespace {

std::string MergeRefusal(const CScanList& list1, const CScanList& list2) {
    if (list1.IsEmpty()) return NoScansMessage();
    if (list2.IsEmpty()) return NoScans2Message();
    if (list2.GetSize() < list1.GetSize()) return FewerScansMessage(list1.GetSize(), list2.GetSize());
    return {};
}

// Folder 1's pages, the second folder's pages paired with them, the back subscans and the masks.
RunInputs MergeRunInputs(const CScanList& list1, const CScanList& list2, const std::string& inputFolder,
                         const std::string& maskFolder, const std::string& backFolder) {
    RunInputs inputs;
    if (!list2.IsEmpty()) {
        const std::string pageFolder = std::filesystem::path(list2.GetAt(0).path).parent_path().string();
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

}  // namespace

std::vector<std::string> UnusedPages(const CScanList& list1, const CScanList& list2) {
    std::vector<std::string> unused;
    for (std::size_t i = list1.GetSize(); i < list2.GetSize(); ++i) unused.push_back(list2.GetAt(i).path);
    return unused;
}

BatchJob MergeSubscanJob(const CScanList& list1, const CScanList& list2, const std::string& inputFolder,
                         const std::string& outputFolder, const std::string& outputFolder2) {
    const std::string maskFolder = WithTrailingSeparator(inputFolder) + kMaskSubfolder;
    const std::string backFolder = WithTrailingSeparator(outputFolder);
    const std::string output = WithTrailingSeparator(outputFolder2);
    auto files = [&list1, &list2, maskFolder, backFolder, output](std::size_t index) {
        const std::string& name = list1.GetAt(index).name;
        return EntryFiles{.name = name,
                          .page = list2.GetAt(index).path,
                          .mask = maskFolder + name,
                          .back = backFolder + name,
                          .output = output + name};
    };
    return BatchJob{.refusal = MergeRefusal(list1, list2),
                    .outputFolder = output,
                    .inputs = MergeRunInputs(list1, list2, inputFolder, maskFolder, backFolder),
                    .entries = list1.GetSize(),
                    .files = files,
                    .task = WorkerTask::Merge};
}

BatchResult MergeSubscans(const CScanList& list1, const CScanList& list2, const std::string& inputFolder,
                          const std::string& outputFolder, const std::string& outputFolder2,
                          IMessageSink& messages, const JobOptions& options) {
    return RunBatch(MergeSubscanJob(list1, list2, inputFolder, outputFolder, outputFolder2), messages,
                    options);
}

}  // namespace orfeo
