#include "imaging/JobSteps.h"

#include <filesystem>
#include <system_error>

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
    const std::string bare = WithoutTrailingSeparator(folder);
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

void ReportPixelProblem(PixelStatus status, const EntryFiles& files, IMessageSink& messages) {
    std::string text;
    switch (status) {
        case PixelStatus::Ok:
            return;
        case PixelStatus::UnsupportedPage:
            text = UnsupportedPixelsMessage(files.page);
            break;
        case PixelStatus::MaskNotOneBit:
            text = MaskNotOneBitMessage(files.mask);
            break;
        case PixelStatus::MaskTooSmall:
            text = MaskTooSmallMessage(files.mask, files.page);
            break;
        case PixelStatus::BackMismatch:
            text = BackMismatchMessage(files.back, files.page);
            break;
        case PixelStatus::OutOfMemory:
            text = OutOfMemoryMessage(files.output);
            break;
    }
    messages.ShowMessage(MessageKind::Problem, text);
}

}  // namespace orfeo
