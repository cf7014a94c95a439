#include "imaging/MergeSubscans.h"

#include "imaging/ImageFile.h"
#include "imaging/JobSteps.h"
#include "imaging/Messages.h"
#include "imaging/PixelRules.h"
#include "scan/Paths.h"

namespace orfeo {

BatchResult MergeSubscans(const CScanList& list1, const CScanList& list2, const std::string& inputFolder,
                          const std::string& outputFolder, const std::string& outputFolder2,
                          IMessageSink& messages, const JobOptions& options) {
    BatchResult result;
    result.refused = true;
    if (list1.IsEmpty()) {
        messages.ShowMessage(MessageKind::Problem, NoScansMessage());
        return result;
    }
    if (list2.IsEmpty()) {
        messages.ShowMessage(MessageKind::Problem, NoScans2Message());
        return result;
    }
    if (list2.GetSize() < list1.GetSize()) {
        messages.ShowMessage(MessageKind::Problem, FewerScansMessage(list1.GetSize(), list2.GetSize()));
        return result;
    }
    const std::string maskFolder = WithTrailingSeparator(inputFolder) + kMaskSubfolder;
    const std::string backFolder = WithTrailingSeparator(outputFolder);
    const std::string output = WithTrailingSeparator(outputFolder2);
    const RunInputs inputs = MergeRunInputs(list1, list2, inputFolder, outputFolder);
    const FolderLock lock(output, inputs.folders);
    if (!CheckFolderLock(lock, messages) || !CheckOutputFolder(output, inputs.files, messages)) return result;
    result.refused = false;
    result.entries = list1.GetSize();

    if (!PrepareOutputFolder(output, messages)) {
        messages.ShowMessage(MessageKind::Ended, ProcessingEndedMessage());
        return result;
    }

    const EntryWork work = [&](std::size_t index, IMessageSink& entryMessages) {
        const std::string& name = list1.GetAt(index).name;
        const EntryFiles files{list2.GetAt(index).path, maskFolder + name, backFolder + name, output + name};
        PixelResult merged;
        {
            ImagePtr page = LoadImageFile(files.page, entryMessages, options.maxMegapixels);
            ImagePtr back = LoadImageFile(files.back, entryMessages, options.maxMegapixels);
            ImagePtr mask = LoadImageFile(files.mask, entryMessages, options.maxMegapixels);
            if (!page || !back || !mask) return false;
            merged = MergeSubscan(page.get(), back.get(), mask.get());
        }
        ReportPixelProblem(merged.status, files, entryMessages);
        return merged.image && SaveImageFile(merged.image.get(), files.output, entryMessages);
    };
    RunEntries(list1.GetSize(), work, [&](std::size_t index) -> const std::string& { return list1.GetAt(index).name; },
               messages, options, result);
    return result;
}

}  // namespace orfeo
