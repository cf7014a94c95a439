#include "imaging/BackSubscans.h"

#include "imaging/ImageFile.h"
#include "imaging/JobSteps.h"
#include "imaging/PixelRules.h"
#include "scan/Paths.h"

namespace orfeo {

BatchResult CreateBackSubscans(const CScanList& list1, const std::string& inputFolder,
                               const std::string& outputFolder, IMessageSink& messages) {
    BatchResult result;
    if (list1.IsEmpty()) {
        messages.ShowMessage(MessageKind::Problem, "No scans are yet loaded.");
        result.refused = true;
        return result;
    }
    result.entries = list1.GetSize();
    const std::string maskFolder = WithTrailingSeparator(inputFolder) + kMaskSubfolder;
    const std::string output = WithTrailingSeparator(outputFolder);

    if (PrepareOutputFolder(output, messages)) {
        for (const ScanEntry& entry : list1) {
            const EntryFiles files{entry.path, maskFolder + entry.name, {}, output + entry.name};
            PixelResult back;
            {
                ImagePtr page = LoadImageFile(files.page, messages);
                ImagePtr mask = LoadImageFile(files.mask, messages);
                if (!page || !mask) continue;
                back = MakeBackSubscan(page.get(), mask.get());
            }
            ReportPixelProblem(back.status, files, messages);
            if (back.image && SaveImageFile(back.image.get(), files.output, messages)) ++result.written;
        }
    }
    messages.ShowMessage(MessageKind::Ended, kProcessingEnded);
    return result;
}

}  // namespace orfeo
