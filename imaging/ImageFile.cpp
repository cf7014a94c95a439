#include "imaging/ImageFile.h"

#include <tiffio.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <mutex>
#include <system_error>

#include "imaging/OutputFile.h"
#include "scan/FolderScan.h"
#include "scan/Paths.h"

namespace orfeo {

namespace fs = std::filesystem;

namespace {

void DiscardFreeImageMessage(FREE_IMAGE_FORMAT, const char*) {}

// FreeImage reports through a process-wide callback, and Debian's libtiff prints dozens of lines on every
// TIFF load; the user sees our messages only, so both are silenced once for the process.
void QuietImageLibraries() {
    static const bool done = [] {
        FreeImage_SetOutputMessage(DiscardFreeImageMessage);
        TIFFSetErrorHandler(nullptr);
        TIFFSetWarningHandler(nullptr);
        return true;
    }();
    (void)done;
}

bool IsPnmFamily(FREE_IMAGE_FORMAT format) {
    return format == FIF_PBM || format == FIF_PGM || format == FIF_PPM || format == FIF_PBMRAW ||
           format == FIF_PGMRAW || format == FIF_PPMRAW;
}

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

// The width and height an image file declares, read without decoding its pixels; false when the header
// does not give them.
bool DeclaredSize(FREE_IMAGE_FORMAT format, const std::string& path, unsigned& width, unsigned& height) {
    if (format == FIF_GIF) {
        // FreeImage decodes GIFs whole even when asked for the header only: read the logical screen size.
        unsigned char header[10];
        std::ifstream file(path, std::ios::binary);
        if (!file.read(reinterpret_cast<char*>(header), sizeof header)) return false;
        width = header[6] | (header[7] << 8);
        height = header[8] | (header[9] << 8);
        return true;
    }
    if (!FreeImage_FIFSupportsNoPixels(format)) return false;
    ImagePtr info(FreeImage_Load(format, path.c_str(), FIF_LOAD_NOPIXELS));
    if (!info) return false;
    width = FreeImage_GetWidth(info.get());
    height = FreeImage_GetHeight(info.get());
    return true;
}

std::string FormatMegapixels(double megapixels) {
    std::ostringstream text;
    text << megapixels;
    return text.str();
}

}  // namespace

FREE_IMAGE_FORMAT FormatFromName(const std::string& path, unsigned bitsPerPixel) {
    if (GetFileExtension(path) == "pnm") {
        if (bitsPerPixel == 1) return FIF_PBM;
        if (bitsPerPixel == 8 || bitsPerPixel == 16) return FIF_PGM;
        return FIF_PPM;
    }
    // FreeImage tokenises the name with strtok, which is not safe from two threads at once.
    static std::mutex lookup;
    std::lock_guard<std::mutex> lock(lookup);
    return FreeImage_GetFIFFromFilename(path.c_str());
}

namespace {

ImagePtr LoadImage(const std::string& path, IMessageSink& messages, double maxMegapixels, bool headerOnly,
                   LoadProblem* problem) {
    QuietImageLibraries();
    FREE_IMAGE_FORMAT format = FreeImage_GetFileType(path.c_str(), 0);
    if (format == FIF_UNKNOWN) format = FormatFromName(path);

    ImagePtr image;
    if (format != FIF_UNKNOWN && FreeImage_FIFSupportsReading(format)) {
        // A few kilobytes can declare gigabytes of pixels: look at the header before decoding.
        unsigned width = 0, height = 0;
        if (DeclaredSize(format, path, width, height) &&
            static_cast<double>(width) * height > maxMegapixels * 1e6) {
            messages.ShowMessage(MessageKind::Problem, "File " + Quoted(path) + " is too large: " +
                                                           std::to_string(width) + " x " + std::to_string(height) +
                                                           " pixels, more than " + FormatMegapixels(maxMegapixels) +
                                                           " megapixels.");
            if (problem) *problem = LoadProblem::TooLarge;
            return nullptr;
        }
        const bool noPixels = headerOnly && FreeImage_FIFSupportsNoPixels(format);
        image.reset(FreeImage_Load(format, path.c_str(), noPixels ? FIF_LOAD_NOPIXELS : 0));
    }
    if (!image) {
        std::error_code error;
        const bool there = fs::exists(fs::path(path), error);
        messages.ShowMessage(MessageKind::Problem,
                             "File " + Quoted(path) + (there ? " cannot be read." : " not found."));
        if (problem) *problem = there ? LoadProblem::CannotRead : LoadProblem::NotFound;
    } else if (problem) {
        *problem = LoadProblem::None;
    }
    return image;
}

}  // namespace

ImagePtr LoadImageFile(const std::string& path, IMessageSink& messages, double maxMegapixels) {
    return LoadImage(path, messages, maxMegapixels, false, nullptr);
}

ImagePtr LoadImageHeader(const std::string& path, IMessageSink& messages, double maxMegapixels,
                         LoadProblem* problem) {
    return LoadImage(path, messages, maxMegapixels, true, problem);
}

bool SaveImageFile(FIBITMAP* image, const std::string& path, IMessageSink& messages) {
    QuietImageLibraries();
    const FREE_IMAGE_FORMAT format = FormatFromName(path, FreeImage_GetBPP(image));
    bool saved = false;
    int error = 0;
    if (format != FIF_UNKNOWN) {
        ImagePtr pbmCopy = IsPnmFamily(format) ? PbmReadyCopy(image) : nullptr;
        FIBITMAP* toSave = pbmCopy ? pbmCopy.get() : image;
        // A failed save can leave a truncated file: write beside the target, then rename over it.
        const std::string temporary = path + ".orfeo-tmp";
        {
            OutputFile file(temporary);
            const bool encoded =
                file.IsOpen() && FreeImage_SaveToHandle(format, toSave, file.Io(), file.Handle(), 0);
            saved = file.Close() && encoded;
            error = file.Error();
        }
        std::error_code renameError;
        if (saved) {
            fs::rename(fs::path(temporary), fs::path(path), renameError);
            saved = !renameError;
            if (renameError) error = renameError.value();
        }
        std::error_code removeError;
        if (!saved) fs::remove(fs::path(temporary), removeError);
    }
    if (!saved) messages.ShowMessage(MessageKind::Problem, NotWrittenMessage(path, error));
    return saved;
}

std::string NotWrittenMessage(const std::string& path, int error) {
    const std::string reason = error ? ": " + std::generic_category().message(error) : std::string();
    return "File " + Quoted(path) + " could not be written" + reason + ".";
}

bool FormatCanHold(const std::string& path, FIBITMAP* image) {
    const unsigned bpp = FreeImage_GetBPP(image);
    const FREE_IMAGE_TYPE type = FreeImage_GetImageType(image);
    const FREE_IMAGE_FORMAT format = FormatFromName(path, bpp);
    return format != FIF_UNKNOWN && FreeImage_FIFSupportsWriting(format) &&
           FreeImage_FIFSupportsExportType(format, type) &&
           (type != FIT_BITMAP || FreeImage_FIFSupportsExportBPP(format, static_cast<int>(bpp)));
}

bool ResetOutputFolder(const std::string& folder) {
    const std::string base = WithTrailingSeparator(folder);
    bool allRemoved = true;
    ForEachFolderFile(base, [&](const std::string& name) {
        std::error_code removeError;
        allRemoved = fs::remove(fs::path(base + name), removeError) && !removeError;
        return allRemoved;
    });
    if (!allRemoved) return false;
    std::error_code removeError;
    return fs::remove(fs::path(base), removeError) && !removeError;
}

}  // namespace orfeo
