#include "imaging/MergeSubscans.h"

#include "imaging/ImageFile.h"
#include "imaging/JobSteps.h"
#include "imaging/PixelRules.h"
#include "scan/Paths.h"

namespace orfeo {

BatchResult MergeSubscans(const CScanList& list1, const CScanList& list2, const std::string& inputFolder,
                          const std::string& outputFolder, const std::string& outputFolder2,
                          IMessageSink& messages) {
    BatchResult result;
    result.refused = true;
    if (list1.IsEmpty()) {
        messages.ShowMessage(MessageKind::Problem, "No scans are yet loaded.");
        return result;
    }
    if (list2.IsEmpty()) {
        messages.ShowMessage(MessageKind::Problem, "No scans 2 are yet loaded.");
        return result;
    }
    if (list2.GetSize() < list1.GetSize()) {
        messages.ShowMessage(MessageKind::Problem, "Folder 2 holds fewer scans (" + std::to_string(list2.GetSize()) +
                                                       ") than folder 1 (" + std::to_string(list1.GetSize()) +
                                                       ").");
        return result;
    }
    result.refused = false;
    result.entries = list1.GetSize();
    const std::string maskFolder = WithTrailingSeparator(inputFolder) + kMaskSubfolder;
    const std::string backFolder = WithTrailingSeparator(outputFolder);
    const std::string output = WithTrailingSeparator(outputFolder2);

    if (PrepareOutputFolder(output, messages)) {
        for (std::size_t i = 0; i < list1.GetSize(); ++i) {
            const std::string& name = list1.GetAt(i).name;
            const EntryFiles files{list2.GetAt(i).path, maskFolder + name, backFolder + name, output + name};
            PixelResult merged;
            {
                ImagePtr page = LoadImageFile(files.page, messages);
                ImagePtr back = LoadImageFile(files.back, messages);
                ImagePtr mask = LoadImageFile(files.mask, messages);
                if (!page || !back || !mask) continue;
                merged = MergeSubscan(page.get(), back.get(), mask.get());
            }
            ReportPixelProblem(merged.status, files, messages);
            if (merged.image && SaveImageFile(merged.image.get(), files.output, messages)) ++result.written;
        }
    }
    messages.ShowMessage(MessageKind::Ended, kProcessingEnded);
    return result;
}

}  // namespace orfeo
