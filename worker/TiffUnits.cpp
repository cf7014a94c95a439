#include "worker/TiffUnits.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>

#include "worker/TiffSource.h"

namespace orfeo {

namespace {

// Tiling writers choose tiles of up to 1024 x 1024 whatever the image's size (256 x 256 over a 10 x 10
// image is tiffcp's default): a tile of so many pixels is refused only past the megapixel limit.
constexpr std::uint64_t kTilePixelsAlways = 1024 * 1024;

std::uint64_t RoundUp16(std::uint32_t length) { return (std::uint64_t{length} + 15) / 16 * 16; }

// What libtiff says about the file is the loader's to find again and report.
int Ignore(TIFF*, void*, const char*, const char*, va_list) { return 1; }

// A thumbnail's size, which only this check sees, within the limit, and its strips or tiles within theirs.
bool ThumbnailWithinBounds(TIFF* tiff, double maxMegapixels) {
    std::uint32_t width = 0, height = 0;
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
    return static_cast<double>(width) * height <= maxMegapixels * 1e6 &&
           UnitsWithinBounds(tiff, maxMegapixels);
}

}  // namespace

bool UnitsWithinBounds(TIFF* tiff, double maxMegapixels) {
    std::uint32_t width = 0, height = 0;
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
    if (TIFFIsTiled(tiff)) {
        std::uint32_t tileWidth = 0, tileLength = 0;
        TIFFGetField(tiff, TIFFTAG_TILEWIDTH, &tileWidth);
        TIFFGetField(tiff, TIFFTAG_TILELENGTH, &tileLength);
        const std::uint64_t pixels = std::uint64_t{tileWidth} * tileLength;
        const std::uint64_t image = RoundUp16(width) * RoundUp16(height);
        return pixels <= std::max(image, kTilePixelsAlways) &&
               static_cast<double>(pixels) <= maxMegapixels * 1e6;
    }
    // Measured by libtiff as the loader's buffers are: a strip of fewer rows than a whole subsampling block
    // still holds the whole block.
    return TIFFStripSize64(tiff) <= TIFFVStripSize64(tiff, height);
}

bool TiffUnitsWithinBounds(int fd, double maxMegapixels) {
    struct stat status {};
    if (::fstat(fd, &status) != 0) return true;
    TiffSource file{
        .fd = fd, .bytes = nullptr, .size = static_cast<std::uint64_t>(status.st_size), .position = 0};
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    if (!options) return true;
    TIFFOpenOptionsSetErrorHandlerExtR(options, Ignore, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(options, Ignore, nullptr);
    TIFF* tiff =
        TIFFClientOpenExt("image", "rm", &file, TiffSourceRead, TiffWriteNothing, TiffSourceSeek,
                          TiffCloseNothing, TiffSourceSize, TiffMapNothing, TiffUnmapNothing, options);
    TIFFOpenOptionsFree(options);
    if (!tiff) return true;
    // FreeImage's loader decodes a thumbnail beside the image, whole even when it reads only the header: the
    // second image when the first has an Exif directory (or, when that one does not load, the first SubIFD),
    // otherwise the first SubIFD. Nothing else measures it, so its size is held to the limit here too.
    std::uint64_t exif = 0;
    const bool secondImage = TIFFGetField(tiff, TIFFTAG_EXIFIFD, &exif);
    std::uint16_t subImages = 0;
    std::uint64_t* subImageOffsets = nullptr;
    const std::uint64_t subImage =
        TIFFGetField(tiff, TIFFTAG_SUBIFD, &subImages, &subImageOffsets) && subImages > 0 && subImageOffsets
            ? subImageOffsets[0]
            : 0;
    bool within = UnitsWithinBounds(tiff, maxMegapixels);
    if (within && secondImage && TIFFSetDirectory(tiff, 1))
        within = ThumbnailWithinBounds(tiff, maxMegapixels);
    if (within && subImage && TIFFSetSubDirectory(tiff, subImage))
        within = ThumbnailWithinBounds(tiff, maxMegapixels);
    TIFFClose(tiff);
    return within;
}

}  // namespace orfeo
