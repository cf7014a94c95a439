#include "worker/Preview.h"

#include <algorithm>
#include <cmath>

#include "worker/ImagePtr.h"

namespace orfeo {

namespace {

// The image as 24-bit colour; with `bitValues`, a 1-bit image's 0 bits black and 1 bits white whatever its
// palette. Null when FreeImage could not convert it.
ImagePtr Colour24(FIBITMAP* image, bool bitValues) {
    const FREE_IMAGE_TYPE type = FreeImage_GetImageType(image);
    ImagePtr standard;
    FIBITMAP* source = image;
    if (bitValues && type == FIT_BITMAP && FreeImage_GetBPP(image) == 1) {
        standard.reset(FreeImage_Clone(image));
        if (!standard) return nullptr;
        RGBQUAD* palette = FreeImage_GetPalette(standard.get());
        palette[0] = RGBQUAD{0, 0, 0, 0};
        palette[1] = RGBQUAD{255, 255, 255, 0};
        source = standard.get();
    }
    if (!standard && type != FIT_BITMAP && type != FIT_RGB16 && type != FIT_RGBA16) {
        // 16-bit grey and the other number types: their whole range onto 0 ... 255.
        standard.reset(FreeImage_ConvertToStandardType(image, TRUE));
        if (!standard) return nullptr;
        source = standard.get();
    }
    return ImagePtr(FreeImage_ConvertTo24Bits(source));
}

}  // namespace

std::optional<PreviewPixels> MakePreview(FIBITMAP* image, unsigned side, bool bitValues) {
    if (!image || side == 0 || !FreeImage_HasPixels(image)) return std::nullopt;
    ImagePtr rgb = Colour24(image, bitValues);
    if (!rgb) return std::nullopt;

    const unsigned width = FreeImage_GetWidth(rgb.get()), height = FreeImage_GetHeight(rgb.get());
    const double scale = std::min(1.0, static_cast<double>(side) / std::max(width, height));
    const unsigned shownWidth = std::max(1u, static_cast<unsigned>(std::lround(width * scale)));
    const unsigned shownHeight = std::max(1u, static_cast<unsigned>(std::lround(height * scale)));
    if (shownWidth != width || shownHeight != height) {
        ImagePtr smaller(FreeImage_Rescale(rgb.get(), static_cast<int>(shownWidth),
                                           static_cast<int>(shownHeight), FILTER_BOX));
        if (!smaller) return std::nullopt;
        rgb = std::move(smaller);
    }

    PreviewPixels preview;
    preview.width = FreeImage_GetWidth(rgb.get());
    preview.height = FreeImage_GetHeight(rgb.get());
    if (preview.width != shownWidth || preview.height != shownHeight) return std::nullopt;
    preview.rgb.resize(std::size_t{preview.width} * preview.height * 3);
    for (unsigned y = 0; y < preview.height; ++y) {
        // FreeImage keeps the bottom row first, and each pixel's bytes in its own order.
        const BYTE* in = FreeImage_GetScanLine(rgb.get(), static_cast<int>(preview.height - 1 - y));
        std::uint8_t* out = preview.rgb.data() + std::size_t{y} * preview.width * 3;
        for (unsigned x = 0; x < preview.width; ++x, in += 3, out += 3) {
            out[0] = in[FI_RGBA_RED];
            out[1] = in[FI_RGBA_GREEN];
            out[2] = in[FI_RGBA_BLUE];
        }
    }
    return preview;
}

}  // namespace orfeo
