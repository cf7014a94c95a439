#include "worker/ImageSave.h"

#include <filesystem>
#include <system_error>

#include "protocol/Messages.h"
#include "protocol/OutputFile.h"
#include "scan/FolderScan.h"
#include "scan/Paths.h"
#include "worker/ImageLibrary.h"
#include "worker/ImagePtr.h"
#include "worker/OutputFileIo.h"

namespace orfeo {

namespace fs = std::filesystem;

namespace {

// A PBM file says 1 for black, and FreeImage writes a 1-bit image's bits to it unchanged whatever the
// palette says (and loads PBM files inverted, with black as entry 0). So when entry 0 of the palette is
// the darker one, the bits are flipped in a copy before the save, and the file shows what the image shows.
ImagePtr PbmReadyCopy(FIBITMAP* image) {
    if (FreeImage_GetBPP(image) != 1) return nullptr;
    const RGBQUAD* palette = FreeImage_GetPalette(image);
    if (!palette) return nullptr;
    auto luma = [](const RGBQUAD& c) { return 299 * c.rgbRed + 587 * c.rgbGreen + 114 * c.rgbBlue; };
    if (luma(palette[0]) >= luma(palette[1])) return nullptr;
    ImagePtr copy(FreeImage_Clone(image));
    if (!copy) return nullptr;
    const unsigned height = FreeImage_GetHeight(copy.get());
    const unsigned lineBytes = FreeImage_GetLine(copy.get());
    for (unsigned y = 0; y < height; ++y) {
        BYTE* line = FreeImage_GetScanLine(copy.get(), static_cast<int>(y));
        for (unsigned i = 0; i < lineBytes; ++i) line[i] = static_cast<BYTE>(~line[i]);
    }
    RGBQUAD* copyPalette = FreeImage_GetPalette(copy.get());
    std::swap(copyPalette[0], copyPalette[1]);
    FreeImage_SetTransparent(copy.get(), FALSE);
    return copy;
}

// Writes `image` in `format` to a temporary file in the folder of `path` and renames it over `path` when
// the whole file is written; `error` takes the system's reason for a failure, when there is one.
bool WriteInPlace(FIBITMAP* image, const std::string& path, int& error) {
    // A failed save can leave a truncated file: write beside the target, then rename over it.
    const std::size_t separator = path.rfind(kPathSeparator);
    const std::string folder = separator == std::string::npos ? std::string() : path.substr(0, separator + 1);
    std::string temporary;
    bool saved = false;
    {
        OutputFile file(folder);
        temporary = file.Path();
        saved = EncodeImageFile(image, GetFileExtension(path), file, error);
    }
    if (saved) saved = PutInPlace(temporary, path, error);
    if (!saved && !temporary.empty()) {
        std::error_code removeError;
        fs::remove(fs::path(temporary), removeError);
    }
    return saved;
}

}  // namespace

bool EncodeImageFile(FIBITMAP* image, const std::string& extension, OutputFile& file, int& error) {
    QuietImageLibraries();
    const FREE_IMAGE_FORMAT format = FormatFromName("x." + extension, FreeImage_GetBPP(image));
    // FreeImage writes some images that its formats cannot hold (16-bit grey or 48-bit colour as BMP, a
    // 16-bit bitmap as TIFF), and the file then does not load, or loads as another depth: such an image is
    // not written at all, as the dry run foresees.
    if (!FormatCanHold("x." + extension, image)) {
        file.Close();
        error = 0;
        return false;
    }
    ImagePtr pbmCopy = IsPnmFamily(format) ? PbmReadyCopy(image) : nullptr;
    FIBITMAP* toSave = pbmCopy ? pbmCopy.get() : image;
    OutputFileIo io(file);
    const bool encoded = format != FIF_UNKNOWN && file.IsOpen() &&
                         FreeImage_SaveToHandle(format, toSave, io.Io(), io.Handle(), 0);
    const bool closed = file.Close();
    error = file.Error();
    return encoded && closed;
}

bool SaveImageFile(FIBITMAP* image, const std::string& path, IMessageSink& messages) {
    int error = 0;
    const bool saved = WriteInPlace(image, path, error);
    if (!saved) messages.ShowMessage(MessageKind::Problem, NotWrittenMessage(path, error));
    return saved;
}

bool FormatCanHold(const std::string& path, FIBITMAP* image) {
    const unsigned bpp = FreeImage_GetBPP(image);
    const FREE_IMAGE_TYPE type = FreeImage_GetImageType(image);
    const FREE_IMAGE_FORMAT format = FormatFromName(path, bpp);
    // FreeImage's JPEG writer says it takes 32 bits, then refuses them.
    if (format == FIF_JPEG && type == FIT_BITMAP && bpp == 32) return false;
    return format != FIF_UNKNOWN && FreeImage_FIFSupportsWriting(format) &&
           FreeImage_FIFSupportsExportType(format, type) &&
           (type != FIT_BITMAP || FreeImage_FIFSupportsExportBPP(format, static_cast<int>(bpp)));
}

}  // namespace orfeo
