#include "run/JobSteps.h"

#include "protocol/Messages.h"

namespace orfeo {

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
