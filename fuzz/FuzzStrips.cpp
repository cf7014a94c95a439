#include "fuzz/FuzzStrips.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "fuzz/FuzzScratch.h"
#include "worker/ImageLoad.h"
#include "worker/StripCopy.h"

namespace {

// Pages stay small so that each run is quick; the size guard itself is part of what runs.
constexpr double kMaxMegapixels = 4;

// A mask of the page's size: none, a band of rows, every other column, or all marked.
orfeo::ImagePtr Mask(unsigned width, unsigned height, unsigned pattern) {
    orfeo::ImagePtr mask(FreeImage_Allocate(static_cast<int>(width), static_cast<int>(height), 1));
    if (!mask) return mask;
    for (unsigned y = 0; y < height; ++y) {
        BYTE* line = FreeImage_GetScanLine(mask.get(), static_cast<int>(y));
        const BYTE value = pattern == 1   ? (y % 11 < 4 ? 0xFF : 0x00)
                           : pattern == 2 ? 0x55
                           : pattern == 3 ? 0xFF
                                          : 0x00;
        for (unsigned i = 0; i < FreeImage_GetLine(mask.get()); ++i) line[i] = value;
    }
    return mask;
}

// The strip copy of `page` (with `back`, a merge) into `output`; true when it wrote the output.
bool Copy(const std::string& page, const std::string& back, FIBITMAP* mask, const std::string& output) {
    int error = 0;
    if (orfeo::CopyStripsBetween(page, back, mask, output, kMaxMegapixels, error) !=
        orfeo::StripCopyOutcome::Written)
        return false;
    // What the copy wrote reads back as a TIFF of the page's size and depth.
    QuietSink quiet;
    const orfeo::ImagePtr pageHeader = orfeo::LoadImageHeader(page, quiet, kMaxMegapixels);
    const orfeo::ImagePtr written = orfeo::LoadImageHeader(output, quiet, kMaxMegapixels);
    if (!pageHeader || !written ||
        FreeImage_GetWidth(written.get()) != FreeImage_GetWidth(pageHeader.get()) ||
        FreeImage_GetHeight(written.get()) != FreeImage_GetHeight(pageHeader.get()) ||
        FreeImage_GetBPP(written.get()) != FreeImage_GetBPP(pageHeader.get())) {
        std::abort();
    }
    // And decodes whole, without a word of damage: every strip copied as stored was proven first.
    if (!orfeo::LoadImageFile(output, quiet, kMaxMegapixels)) std::abort();
    return true;
}

}  // namespace

int FuzzStripCopy(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::string page = ScratchFolder() + "page.tif";
    const std::string back = ScratchFolder() + "back.tif", merged = ScratchFolder() + "merged.tif";
    {
        const int fd = ::open(page.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0) std::abort();
        if (::write(fd, data + 1, size - 1) != static_cast<ssize_t>(size - 1)) std::abort();
        ::close(fd);
    }
    QuietSink quiet;
    const orfeo::ImagePtr header = orfeo::LoadImageHeader(page, quiet, kMaxMegapixels);
    if (!header) return 0;
    const orfeo::ImagePtr mask =
        Mask(FreeImage_GetWidth(header.get()), FreeImage_GetHeight(header.get()), data[0] % 4);
    if (!mask) return 0;
    if (Copy(page, {}, mask.get(), back)) Copy(page, back, mask.get(), merged);
    return 0;
}
