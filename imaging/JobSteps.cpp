#include "imaging/JobSteps.h"

#include <filesystem>
#include <system_error>

#include "imaging/ImageFile.h"

namespace orfeo {

namespace fs = std::filesystem;

bool PrepareOutputFolder(const std::string& folder, IMessageSink& messages) {
    ResetOutputFolder(folder);
    std::error_code error;
    fs::create_directory(fs::path(folder), error);
    if (fs::is_directory(fs::path(folder), error)) return true;
    messages.ShowMessage(MessageKind::Problem, "Can't create folder " + folder);
    return false;
}

void ReportPixelProblem(PixelStatus status, const EntryFiles& files, IMessageSink& messages) {
    auto quoted = [](const std::string& path) { return "\"" + path + "\""; };
    std::string text;
    switch (status) {
        case PixelStatus::Ok:
            return;
        case PixelStatus::UnsupportedPage:
            text = "File " + quoted(files.page) + " has a pixel type that cannot be processed.";
            break;
        case PixelStatus::MaskNotOneBit:
            text = "Mask " + quoted(files.mask) + " is not one bit deep.";
            break;
        case PixelStatus::MaskTooSmall:
            text = "Mask " + quoted(files.mask) + " is smaller than its page " + quoted(files.page) + ".";
            break;
        case PixelStatus::BackMismatch:
            text = "Back subscan " + quoted(files.back) + " differs from " + quoted(files.page) +
                   " in size or depth.";
            break;
        case PixelStatus::OutOfMemory:
            text = "Not enough memory to make " + quoted(files.output) + ".";
            break;
    }
    messages.ShowMessage(MessageKind::Problem, text);
}

}  // namespace orfeo
