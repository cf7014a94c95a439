#include "bench/SamePicture.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace orfeo::bench {

namespace {

// Pixel x of a scan line of a palette image: its index into the palette.
unsigned PaletteIndex(const BYTE* line, unsigned x, unsigned bpp) {
    switch (bpp) {
        case 1:
            return (line[x >> 3] >> (7 - (x & 7))) & 1u;
        case 4:
            return (line[x >> 1] >> ((x & 1) ? 0 : 4)) & 0xFu;
        default:
            return line[x];
    }
}

std::uint32_t Colour(const RGBQUAD& c) {
    return (std::uint32_t{c.rgbRed} << 16) | (std::uint32_t{c.rgbGreen} << 8) | c.rgbBlue;
}

}  // namespace

std::string PictureDifference(FIBITMAP* a, FIBITMAP* b) {
    const unsigned width = FreeImage_GetWidth(a), height = FreeImage_GetHeight(a);
    const unsigned bpp = FreeImage_GetBPP(a);
    char text[256];
    if (FreeImage_GetImageType(a) != FreeImage_GetImageType(b) || width != FreeImage_GetWidth(b) ||
        height != FreeImage_GetHeight(b) || bpp != FreeImage_GetBPP(b)) {
        std::snprintf(text, sizeof text, "%ux%u at %u bits (type %d) against %ux%u at %u bits (type %d)",
                      width, height, bpp, static_cast<int>(FreeImage_GetImageType(a)), FreeImage_GetWidth(b),
                      FreeImage_GetHeight(b), FreeImage_GetBPP(b),
                      static_cast<int>(FreeImage_GetImageType(b)));
        return text;
    }

    const RGBQUAD* paletteA = FreeImage_GetPalette(a);
    const RGBQUAD* paletteB = FreeImage_GetPalette(b);
    const bool byPalette = bpp <= 8 && paletteA && paletteB;
    const unsigned bytesPerPixel = bpp >= 8 ? bpp / 8 : 1;
    std::uint64_t different = 0;
    unsigned firstX = 0, firstY = 0;
    for (unsigned row = 0; row < height; ++row) {  // from the top, so the first difference is the topmost
        const unsigned y = height - 1 - row;
        const BYTE* lineA = FreeImage_GetScanLine(a, static_cast<int>(y));
        const BYTE* lineB = FreeImage_GetScanLine(b, static_cast<int>(y));
        if (!byPalette && std::memcmp(lineA, lineB, FreeImage_GetLine(a)) == 0) continue;
        for (unsigned x = 0; x < width; ++x) {
            bool same;
            if (byPalette) {
                same = Colour(paletteA[PaletteIndex(lineA, x, bpp)]) ==
                       Colour(paletteB[PaletteIndex(lineB, x, bpp)]);
            } else if (bpp < 8) {
                same = PaletteIndex(lineA, x, bpp) == PaletteIndex(lineB, x, bpp);
            } else {
                same = std::memcmp(lineA + std::size_t{x} * bytesPerPixel,
                                   lineB + std::size_t{x} * bytesPerPixel, bytesPerPixel) == 0;
            }
            if (same) continue;
            if (different++ == 0) {
                firstX = x;
                firstY = row;
            }
        }
    }
    if (different == 0) return {};
    std::snprintf(text, sizeof text, "%llu of %llu pixels differ (first at x %u, y %u from the top)",
                  static_cast<unsigned long long>(different),
                  static_cast<unsigned long long>(std::uint64_t{width} * height), firstX, firstY);
    return text;
}

}  // namespace orfeo::bench
