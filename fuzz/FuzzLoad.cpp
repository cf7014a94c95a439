#include "fuzz/FuzzLoad.h"

#include <unistd.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "fuzz/FuzzScratch.h"
#include "worker/ImageLoad.h"
#include "worker/PixelRules.h"

namespace {

// Inputs stay small so that each run is quick; the size guard itself is part of what runs.
constexpr double kMaxMegapixels = 4;

orfeo::ImagePtr Grey(unsigned width, unsigned height, unsigned bpp) {
    orfeo::ImagePtr image(
        FreeImage_Allocate(static_cast<int>(width), static_cast<int>(height), static_cast<int>(bpp)));
    if (image) {
        const unsigned pitch = FreeImage_GetPitch(image.get());
        BYTE* bits = FreeImage_GetBits(image.get());
        for (unsigned i = 0; i < pitch * height; ++i) bits[i] = static_cast<BYTE>(i * 37);
    }
    return image;
}

}  // namespace

int FuzzLoadAndRules(const std::uint8_t* data, std::size_t size) {
    static constexpr std::array<const char*, 10> kExtensions = {"bmp", "jpeg", "jpg", "gif", "tiff",
                                                                "tif", "pnm",  "ppm", "pgm", "pbm"};
    if (size == 0) return 0;
    const std::string path = ScratchFolder() + "input." + kExtensions[data[0] % kExtensions.size()];
    {
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(data + 1), static_cast<std::streamsize>(size - 1));
    }
    QuietSink quiet;
    orfeo::ImagePtr image = orfeo::LoadImageFile(path, quiet, kMaxMegapixels);
    if (!image) return 0;
    const unsigned width = FreeImage_GetWidth(image.get()), height = FreeImage_GetHeight(image.get());

    // As a page, with masks of its size and smaller, and merged with its own back subscan.
    orfeo::ImagePtr mask = Grey(width, height, 1);
    orfeo::ImagePtr narrow = Grey(width > 1 ? width - 1 : 1, height, 1);
    if (mask) {
        orfeo::PixelResult back = orfeo::MakeBackSubscan(image.get(), mask.get());
        orfeo::MakeBackSubscan(image.get(), narrow.get());
        if (back.image) orfeo::MergeSubscan(image.get(), back.image.get(), mask.get());
    }
    // As a mask, over pages of a few depths.
    for (unsigned bpp : {1u, 8u, 24u}) {
        orfeo::ImagePtr page = Grey(width, height, bpp);
        if (!page) continue;
        orfeo::PixelResult back = orfeo::MakeBackSubscan(page.get(), image.get());
        if (back.image) orfeo::MergeSubscan(page.get(), back.image.get(), image.get());
    }
    return 0;
}
