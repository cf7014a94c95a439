// orfeo-same-pixels: whether two image files hold the same picture, as FreeImage loads them.
//
//   orfeo-same-pixels A B
//
// Exit status 0 when A and B have the same image type, width, height and bits per pixel and every pixel
// has the same value: the palette colour for images of 8 bits or fewer (so a min-is-white and a
// min-is-black file of the same grey levels match), the bytes of the pixel otherwise. Exit status 1, with
// what differs on standard error, when they do not; 2 when a file does not load or for a usage error.

#include <FreeImage.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "imaging/ImageLoad.h"
#include "imaging/ImagePtr.h"
#include "imaging/MessageSink.h"

namespace {

class PrintingSink final : public orfeo::IMessageSink {
public:
    void ShowMessage(orfeo::MessageKind, const std::string& text) override {
        std::fprintf(stderr, "orfeo-same-pixels: %s\n", text.c_str());
    }
};

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

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "Usage: orfeo-same-pixels A B\n");
        return 2;
    }
    PrintingSink sink;
    const orfeo::ImagePtr a = orfeo::LoadImageFile(argv[1], sink);
    const orfeo::ImagePtr b = orfeo::LoadImageFile(argv[2], sink);
    if (!a || !b) return 2;

    const unsigned width = FreeImage_GetWidth(a.get()), height = FreeImage_GetHeight(a.get());
    const unsigned bpp = FreeImage_GetBPP(a.get());
    if (FreeImage_GetImageType(a.get()) != FreeImage_GetImageType(b.get()) ||
        width != FreeImage_GetWidth(b.get()) || height != FreeImage_GetHeight(b.get()) ||
        bpp != FreeImage_GetBPP(b.get())) {
        std::fprintf(
            stderr, "orfeo-same-pixels: %s is %ux%u at %u bits (type %d), %s is %ux%u at %u bits (type %d)\n",
            argv[1], width, height, bpp, static_cast<int>(FreeImage_GetImageType(a.get())), argv[2],
            FreeImage_GetWidth(b.get()), FreeImage_GetHeight(b.get()), FreeImage_GetBPP(b.get()),
            static_cast<int>(FreeImage_GetImageType(b.get())));
        return 1;
    }

    const RGBQUAD* paletteA = FreeImage_GetPalette(a.get());
    const RGBQUAD* paletteB = FreeImage_GetPalette(b.get());
    const bool byPalette = bpp <= 8 && paletteA && paletteB;
    const unsigned bytesPerPixel = bpp >= 8 ? bpp / 8 : 1;
    std::uint64_t different = 0;
    unsigned firstX = 0, firstY = 0;
    for (unsigned row = 0; row < height; ++row) {  // from the top, so the first difference is the topmost
        const unsigned y = height - 1 - row;
        const BYTE* lineA = FreeImage_GetScanLine(a.get(), static_cast<int>(y));
        const BYTE* lineB = FreeImage_GetScanLine(b.get(), static_cast<int>(y));
        if (!byPalette && std::memcmp(lineA, lineB, FreeImage_GetLine(a.get())) == 0) continue;
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
    if (different == 0) return 0;
    std::fprintf(stderr,
                 "orfeo-same-pixels: %llu of %llu pixels differ between %s and %s (first at x %u, y %u from "
                 "the top)\n",
                 static_cast<unsigned long long>(different),
                 static_cast<unsigned long long>(std::uint64_t{width} * height), argv[1], argv[2], firstX,
                 firstY);
    return 1;
}
