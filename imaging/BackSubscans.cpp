#include "imaging/BackSubscans.h"

#include "imaging/ImageFile.h"
#include "imaging/JobSteps.h"
#include "imaging/Messages.h"
#include "imaging/PixelRules.h"
#include "scan/Paths.h"

namespace orfeo {

BatchResult CreateBackSubscans(const CScanList& list1, const std::string& inputFolder,
                               const std::string& outputFolder, IMessageSink& messages, const JobOptions& options) {
    BatchResult result;
    if (list1.IsEmpty()) {
        messages.ShowMessage(MessageKind::Problem, NoScansMessage());
        result.refused = true;
        return result;
    }
    const std::string maskFolder = WithTrailingSeparator(inputFolder) + kMaskSubfolder;
    const std::string output = WithTrailingSeparator(outputFolder);
    const RunInputs inputs = BackRunInputs(list1, inputFolder);
    const FolderLock lock(output, inputs.folders);
    if (!CheckFolderLock(lock, messages) || !CheckOutputFolder(output, inputs.files, messages)) {
        result.refused = true;
        return result;
    }
    result.entries = list1.GetSize();
    if (!PrepareOutputFolder(output, messages)) {
        messages.ShowMessage(MessageKind::Ended, ProcessingEndedMessage());
        return result;
    }

    const EntryWork work = [&](std::size_t index, IMessageSink& entryMessages) {
        const ScanEntry& entry = list1.GetAt(index);
        const EntryFiles files{entry.path, maskFolder + entry.name, {}, output + entry.name};
        PixelResult back;
        {
            ImagePtr page = LoadImageFile(files.page, entryMessages, options.maxMegapixels);
            ImagePtr mask = LoadImageFile(files.mask, entryMessages, options.maxMegapixels);
            if (!page || !mask) return false;
            back = MakeBackSubscan(page.get(), mask.get());
        }
        ReportPixelProblem(back.status, files, entryMessages);
        return back.image && SaveImageFile(back.image.get(), files.output, entryMessages);
    };
    RunEntries(list1.GetSize(), work, [&](std::size_t index) -> const std::string& { return list1.GetAt(index).name; },
               messages, options, result);
    return result;
}

}  // namespace orfeo
