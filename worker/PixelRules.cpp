#include "worker/PixelRules.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

#include "worker/PixelRulesInto.h"

namespace orfeo {

namespace {

// Eight pixels, the ones one mask byte stands for, take exactly `Bpp` bytes at `Bpp` bits per pixel. The
// table gives, for each mask byte, those Bpp bytes with every bit of every marked pixel set, in FreeImage's
// packing (the first pixel in the most significant bits).
template <unsigned Bpp>
const std::array<std::uint8_t, 256 * Bpp>& ExpandedMasks() {
    static const auto table = [] {
        std::array<std::uint8_t, 256 * Bpp> t{};
        for (unsigned m = 0; m < 256; ++m) {
            for (unsigned pixel = 0; pixel < 8; ++pixel) {
                if (!(m & (0x80u >> pixel))) continue;
                for (unsigned bit = pixel * Bpp; bit < (pixel + 1) * Bpp; ++bit) {
                    t[m * Bpp + bit / 8] |= static_cast<std::uint8_t>(0x80u >> (bit % 8));
                }
            }
        }
        return t;
    }();
    return table;
}

std::uint64_t Load64(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// One group of eight pixels under a mask byte that marks some of them: marked bits from `marked` (all set
// when there is none, for a back subscan), the rest from `unmarked`.
template <unsigned Bpp, bool kMerge>
inline void BlendGroup(std::uint8_t* dst, const std::uint8_t* marked, const std::uint8_t* unmarked,
                       const std::uint8_t* expanded) {
    for (unsigned b = 0; b < Bpp; ++b) {
        const std::uint8_t from = kMerge ? marked[b] : std::uint8_t{0xFF};
        dst[b] = static_cast<std::uint8_t>((unmarked[b] & ~expanded[b]) | (from & expanded[b]));
    }
}

// The last group of a line whose width is not a multiple of 8: the mask bits past the width are ignored,
// and only the bytes that hold pixels of the line are read and written (the scan line may end right after
// them).
template <unsigned Bpp, bool kMerge>
void BlendPartialGroup(std::uint8_t* dst, const std::uint8_t* marked, const std::uint8_t* unmarked,
                       const std::uint8_t* mask, unsigned width) {
    const unsigned groups = width / 8;
    const std::uint8_t m = mask[groups] & static_cast<std::uint8_t>(0xFF00u >> (width % 8));
    const std::size_t bytes = (std::size_t{width % 8} * Bpp + 7) / 8;
    const std::size_t offset = std::size_t{groups} * Bpp;
    std::array<std::uint8_t, Bpp> in{}, from{}, out{};
    std::memcpy(in.data(), unmarked + offset, bytes);
    if (kMerge) std::memcpy(from.data(), marked + offset, bytes);
    BlendGroup<Bpp, kMerge>(out.data(), from.data(), in.data(), &ExpandedMasks<Bpp>()[m * Bpp]);
    std::memcpy(dst + offset, out.data(), bytes);
}

// One scan line. Runs of mask bytes that mark none or all of their pixels are copied or filled in one go;
// only mixed bytes go pixel by pixel.
template <unsigned Bpp, bool kMerge>
void BlendLine(std::uint8_t* dst, const std::uint8_t* marked, const std::uint8_t* unmarked,
               const std::uint8_t* mask, unsigned width) {
    const auto& table = ExpandedMasks<Bpp>();
    const unsigned groups = width / 8;
    unsigned g = 0;
    while (g < groups) {
        const std::uint8_t m = mask[g];
        if (m == 0x00 || m == 0xFF) {
            const std::uint64_t word = m ? ~std::uint64_t{0} : 0;
            unsigned end = g + 1;
            while (end + 8 <= groups && Load64(mask + end) == word) end += 8;
            while (end < groups && mask[end] == m) ++end;
            const std::size_t offset = std::size_t{g} * Bpp;
            const std::size_t length = std::size_t{end - g} * Bpp;
            if (m == 0x00) {
                std::memcpy(dst + offset, unmarked + offset, length);
            } else if (kMerge) {
                std::memcpy(dst + offset, marked + offset, length);
            } else {
                std::memset(dst + offset, 0xFF, length);
            }
            g = end;
        } else {
            const std::size_t offset = std::size_t{g} * Bpp;
            // A back subscan has no marked source: no pointer is formed from the null it gets.
            const std::uint8_t* from = kMerge ? marked + offset : nullptr;
            BlendGroup<Bpp, kMerge>(dst + offset, from, unmarked + offset, &table[m * Bpp]);
            ++g;
        }
    }

    if (width % 8 != 0) BlendPartialGroup<Bpp, kMerge>(dst, marked, unmarked, mask, width);
}

// Scan line y of an image, FreeImage's line order (0 = bottom). FreeImage_GetScanLine checks the header on
// every call, which costs more than a line's work at these speeds.
class ScanLines {
public:
    explicit ScanLines(FIBITMAP* image)
        : m_bits(FreeImage_GetBits(image)), m_pitch(FreeImage_GetPitch(image)) {}
    BYTE* operator[](unsigned y) const { return m_bits + std::size_t{y} * m_pitch; }

private:
    BYTE* m_bits;
    std::size_t m_pitch;
};

template <unsigned Bpp, bool kMerge>
void BlendLines(FIBITMAP* result, FIBITMAP* marked, FIBITMAP* unmarked, FIBITMAP* mask) {
    const unsigned width = FreeImage_GetWidth(result);
    const unsigned height = FreeImage_GetHeight(result);
    const ScanLines dst(result), in(unmarked), bits(mask);
    const ScanLines from(kMerge ? marked : unmarked);
    for (unsigned y = 0; y < height; ++y) {
        BlendLine<Bpp, kMerge>(dst[y], kMerge ? from[y] : nullptr, in[y], bits[y], width);
    }
}

// Calls `work` with the depth as a compile-time constant (std::integral_constant<unsigned, Bpp>) for the
// depths the rules take; nothing for any other.
template <typename Work>
void WithDepth(unsigned bpp, Work&& work) {
    switch (bpp) {
        case 1:
            return work(std::integral_constant<unsigned, 1>{});
        case 4:
            return work(std::integral_constant<unsigned, 4>{});
        case 8:
            return work(std::integral_constant<unsigned, 8>{});
        case 16:
            return work(std::integral_constant<unsigned, 16>{});
        case 24:
            return work(std::integral_constant<unsigned, 24>{});
        case 32:
            return work(std::integral_constant<unsigned, 32>{});
        case 48:
            return work(std::integral_constant<unsigned, 48>{});
        case 64:
            return work(std::integral_constant<unsigned, 64>{});
        default:
            return;
    }
}

template <bool kMerge>
void BlendImage(FIBITMAP* result, FIBITMAP* marked, FIBITMAP* unmarked, FIBITMAP* mask) {
    WithDepth(FreeImage_GetBPP(result),
              [&](auto bpp) { BlendLines<decltype(bpp)::value, kMerge>(result, marked, unmarked, mask); });
}

PixelStatus CheckMask(FIBITMAP* page, FIBITMAP* mask) {
    if (FreeImage_GetImageType(mask) != FIT_BITMAP || FreeImage_GetBPP(mask) != 1) {
        return PixelStatus::MaskNotOneBit;
    }
    if (FreeImage_GetWidth(mask) < FreeImage_GetWidth(page) ||
        FreeImage_GetHeight(mask) < FreeImage_GetHeight(page)) {
        return PixelStatus::MaskTooSmall;
    }
    return PixelStatus::Ok;
}

bool SameShape(FIBITMAP* a, FIBITMAP* b) {
    return FreeImage_GetImageType(a) == FreeImage_GetImageType(b) &&
           FreeImage_GetBPP(a) == FreeImage_GetBPP(b) && FreeImage_GetWidth(a) == FreeImage_GetWidth(b) &&
           FreeImage_GetHeight(a) == FreeImage_GetHeight(b);
}

// Gives `result` what it takes from `model` besides the pixels: the palette rule and the resolution.
void SetPaletteAndResolution(FIBITMAP* result, FIBITMAP* model) {
    const unsigned bpp = FreeImage_GetBPP(model);
    RGBQUAD* palette = FreeImage_GetPalette(result);
    if (palette && bpp == 8) {
        const bool minIsWhite = FreeImage_GetColorType(model) == FIC_MINISWHITE;
        for (unsigned i = 0; i < 256; ++i) {
            const BYTE level = static_cast<BYTE>(minIsWhite ? 255 - i : i);
            palette[i].rgbBlue = palette[i].rgbGreen = palette[i].rgbRed = level;
        }
    } else if (palette && FreeImage_GetPalette(model)) {
        std::memcpy(palette, FreeImage_GetPalette(model), sizeof(RGBQUAD) * FreeImage_GetColorsUsed(result));
    }
    FreeImage_SetDotsPerMeterX(result, FreeImage_GetDotsPerMeterX(model));
    FreeImage_SetDotsPerMeterY(result, FreeImage_GetDotsPerMeterY(model));
}

// A fresh image with the type, size, depth and colour masks of `model`.
ImagePtr AllocateLike(FIBITMAP* model) {
    return ImagePtr(FreeImage_AllocateT(
        FreeImage_GetImageType(model), static_cast<int>(FreeImage_GetWidth(model)),
        static_cast<int>(FreeImage_GetHeight(model)), static_cast<int>(FreeImage_GetBPP(model)),
        FreeImage_GetRedMask(model), FreeImage_GetGreenMask(model), FreeImage_GetBlueMask(model)));
}

// The rules on inputs that passed their checks, into a result shaped like the page.
void FillBackSubscan(FIBITMAP* result, FIBITMAP* page, FIBITMAP* mask) {
    SetPaletteAndResolution(result, page);
    BlendImage<false>(result, nullptr, page, mask);
}

void FillMerge(FIBITMAP* result, FIBITMAP* newPage, FIBITMAP* back, FIBITMAP* mask) {
    SetPaletteAndResolution(result, newPage);
    BlendImage<true>(result, newPage, back, mask);
}

}  // namespace

PixelStatus CheckBackInputs(FIBITMAP* page, FIBITMAP* mask) {
    if (!HasIntegerPixels(page)) return PixelStatus::UnsupportedPage;
    return CheckMask(page, mask);
}

PixelStatus CheckMergeInputs(FIBITMAP* newPage, FIBITMAP* back, FIBITMAP* mask) {
    if (!HasIntegerPixels(newPage)) return PixelStatus::UnsupportedPage;
    if (!SameShape(back, newPage)) return PixelStatus::BackMismatch;
    return CheckMask(newPage, mask);
}

bool HasIntegerPixels(FIBITMAP* image) {
    const unsigned bpp = FreeImage_GetBPP(image);
    switch (FreeImage_GetImageType(image)) {
        case FIT_BITMAP:
            return bpp == 1 || bpp == 4 || bpp == 8 || bpp == 16 || bpp == 24 || bpp == 32;
        case FIT_UINT16:
        case FIT_INT16:
        case FIT_UINT32:
        case FIT_INT32:
        case FIT_RGB16:
        case FIT_RGBA16:
            return true;
        default:
            return false;
    }
}

PixelResult MakeBackSubscan(FIBITMAP* page, FIBITMAP* mask) {
    const PixelStatus status = CheckBackInputs(page, mask);
    if (status != PixelStatus::Ok) return {.image = nullptr, .status = status};
    ImagePtr result = AllocateLike(page);
    if (!result) return {.image = nullptr, .status = PixelStatus::OutOfMemory};
    FillBackSubscan(result.get(), page, mask);
    return {.image = std::move(result), .status = PixelStatus::Ok};
}

PixelResult MergeSubscan(FIBITMAP* newPage, FIBITMAP* back, FIBITMAP* mask) {
    const PixelStatus status = CheckMergeInputs(newPage, back, mask);
    if (status != PixelStatus::Ok) return {.image = nullptr, .status = status};
    ImagePtr result = AllocateLike(newPage);
    if (!result) return {.image = nullptr, .status = PixelStatus::OutOfMemory};
    FillMerge(result.get(), newPage, back, mask);
    return {.image = std::move(result), .status = PixelStatus::Ok};
}

void RuleRow(unsigned bpp, std::uint8_t* dst, const std::uint8_t* marked, const std::uint8_t* unmarked,
             const std::uint8_t* mask, unsigned width) {
    WithDepth(bpp, [&](auto depth) {
        constexpr unsigned kBpp = decltype(depth)::value;
        if (marked) {
            BlendLine<kBpp, true>(dst, marked, unmarked, mask, width);
        } else {
            BlendLine<kBpp, false>(dst, nullptr, unmarked, mask, width);
        }
    });
}

ImagePtr ResultModel(FIBITMAP* page) {
    ImagePtr model(FreeImage_AllocateT(FreeImage_GetImageType(page), 1, 1,
                                       static_cast<int>(FreeImage_GetBPP(page)), FreeImage_GetRedMask(page),
                                       FreeImage_GetGreenMask(page), FreeImage_GetBlueMask(page)));
    if (model) SetPaletteAndResolution(model.get(), page);
    return model;
}

IntoStatus MakeBackSubscanInto(FIBITMAP* result, FIBITMAP* page, FIBITMAP* mask) {
    if (CheckBackInputs(page, mask) != PixelStatus::Ok) return IntoStatus::InputsRefused;
    if (!SameShape(result, page)) return IntoStatus::ResultMismatch;
    FillBackSubscan(result, page, mask);
    return IntoStatus::Written;
}

IntoStatus MergeSubscanInto(FIBITMAP* result, FIBITMAP* newPage, FIBITMAP* back, FIBITMAP* mask) {
    if (CheckMergeInputs(newPage, back, mask) != PixelStatus::Ok) return IntoStatus::InputsRefused;
    if (!SameShape(result, newPage)) return IntoStatus::ResultMismatch;
    FillMerge(result, newPage, back, mask);
    return IntoStatus::Written;
}

}  // namespace orfeo
