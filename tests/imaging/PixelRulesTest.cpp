#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "tests/support/Fixtures.h"
#include "worker/PixelRules.h"

namespace orfeo {
namespace {

using test::GetPixel;
using test::MakeImage;
using test::MakeMask;
using test::Mix;

struct Layout {
    FREE_IMAGE_TYPE type;
    unsigned bpp;
};

std::string Describe(const Layout& layout) {
    return "type " + std::to_string(layout.type) + ", " + std::to_string(layout.bpp) + " bits";
}

std::uint64_t AllBits(unsigned bpp) { return bpp == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bpp) - 1; }

// Masks with long unmarked and marked runs and ragged edges, so that whole-byte runs and mixed bytes both
// occur, at every offset within a byte.
bool Marked(unsigned x, unsigned y, unsigned seed) {
    const unsigned band = (x + 3 * y + seed) / 23 % 3;
    if (band == 0) return false;
    if (band == 1) return true;
    return Mix(x * 7919u + y * 104729u + seed) & 1;
}

constexpr Layout kLayouts[] = {{FIT_BITMAP, 1},  {FIT_BITMAP, 4},  {FIT_BITMAP, 8},  {FIT_BITMAP, 16},
                               {FIT_BITMAP, 24}, {FIT_BITMAP, 32}, {FIT_UINT16, 16}, {FIT_INT16, 16},
                               {FIT_UINT32, 32}, {FIT_RGB16, 48},  {FIT_RGBA16, 64}};

// The whole-byte fast path against a plain per-pixel reading of the rules, at every integer layout and at
// widths around the byte and group boundaries.
TEST(PixelRules, MatchPerPixelReferenceAtEveryLayoutAndWidth) {
    for (const Layout& layout : kLayouts) {
        for (unsigned width : {1u, 7u, 8u, 9u, 13u, 16u, 63u, 64u, 65u, 200u}) {
            SCOPED_TRACE(Describe(layout) + ", width " + std::to_string(width));
            const unsigned height = 5;
            const std::uint64_t bits = AllBits(layout.bpp);
            auto page = MakeImage(
                width, height, layout.bpp, [&](unsigned x, unsigned y) { return Mix(x + 1000 * y) & bits; },
                layout.type);
            auto other = MakeImage(
                width, height, layout.bpp,
                [&](unsigned x, unsigned y) { return Mix(x + 1000 * y + 7) & bits; }, layout.type);
            // A mask wider than the page by a few pixels: its bits past the page's width must not count.
            auto mask =
                MakeMask(width + 5, height, [&](unsigned x, unsigned y) { return Marked(x, y, width); });

            PixelResult back = MakeBackSubscan(page.get(), mask.get());
            ASSERT_EQ(back.status, PixelStatus::Ok);
            PixelResult merged = MergeSubscan(other.get(), back.image.get(), mask.get());
            ASSERT_EQ(merged.status, PixelStatus::Ok);
            EXPECT_EQ(FreeImage_GetImageType(back.image.get()), layout.type);
            EXPECT_EQ(FreeImage_GetBPP(merged.image.get()), layout.bpp);

            for (unsigned y = 0; y < height; ++y) {
                for (unsigned x = 0; x < width; ++x) {
                    const bool marked = Marked(x, y, width);
                    const std::uint64_t expectedBack = marked ? bits : GetPixel(page.get(), x, y);
                    const std::uint64_t expectedMerge = marked ? GetPixel(other.get(), x, y) : expectedBack;
                    ASSERT_EQ(GetPixel(back.image.get(), x, y), expectedBack) << "x " << x << " y " << y;
                    ASSERT_EQ(GetPixel(merged.image.get(), x, y), expectedMerge) << "x " << x << " y " << y;
                }
            }
        }
    }
}

TEST(PixelRules, MostSignificantMaskBitIsTheFirstPixel) {
    auto page = MakeImage(16, 1, 8, [](unsigned x, unsigned) { return x; });
    auto mask = MakeMask(16, 1, [](unsigned, unsigned) { return false; });
    FreeImage_GetScanLine(mask.get(), 0)[0] = 0x80;
    FreeImage_GetScanLine(mask.get(), 0)[1] = 0x01;
    PixelResult back = MakeBackSubscan(page.get(), mask.get());
    ASSERT_EQ(back.status, PixelStatus::Ok);
    const BYTE* line = FreeImage_GetScanLine(back.image.get(), 0);
    for (unsigned x = 0; x < 16; ++x) EXPECT_EQ(line[x], (x == 0 || x == 15) ? 255 : x) << x;
}

TEST(PixelRules, LargerMaskIsReadFromItsBottomLeftCorner) {
    auto page = MakeImage(8, 2, 8, [](unsigned, unsigned) { return 10; });
    // Scan line 0 is the bottom row in FreeImage; the mask's extra rows lie above the page.
    auto mask = MakeMask(24, 6, [](unsigned x, unsigned y) { return y == 0 && x == 2; });
    PixelResult back = MakeBackSubscan(page.get(), mask.get());
    ASSERT_EQ(back.status, PixelStatus::Ok);
    EXPECT_EQ(GetPixel(back.image.get(), 2, 0), 255u);
    EXPECT_EQ(GetPixel(back.image.get(), 2, 1), 10u);
}

TEST(PixelRules, EightBitResultsCarryGreyRampAndResolution) {
    auto page = MakeImage(9, 3, 8, [](unsigned x, unsigned) { return x; });
    FreeImage_SetDotsPerMeterX(page.get(), 11811);
    FreeImage_SetDotsPerMeterY(page.get(), 23623);
    auto mask = MakeMask(9, 3, [](unsigned x, unsigned) { return x == 4; });

    // Colour palette page: the result gets the ramp i -> i, indices unchanged.
    RGBQUAD* palette = FreeImage_GetPalette(page.get());
    for (unsigned i = 0; i < 256; ++i) palette[i] = RGBQUAD{BYTE(i), 0, BYTE(255 - i), 0};
    ASSERT_EQ(FreeImage_GetColorType(page.get()), FIC_PALETTE);
    PixelResult back = MakeBackSubscan(page.get(), mask.get());
    ASSERT_EQ(back.status, PixelStatus::Ok);
    EXPECT_EQ(FreeImage_GetColorType(back.image.get()), FIC_MINISBLACK);
    EXPECT_EQ(FreeImage_GetDotsPerMeterX(back.image.get()), 11811u);
    EXPECT_EQ(FreeImage_GetDotsPerMeterY(back.image.get()), 23623u);
    EXPECT_EQ(GetPixel(back.image.get(), 3, 1), 3u);
    EXPECT_EQ(GetPixel(back.image.get(), 4, 1), 255u);
    EXPECT_FALSE(FreeImage_IsTransparent(back.image.get()));

    // Min-is-white page: ramp 255 - i, so the marked 255 shows black.
    for (unsigned i = 0; i < 256; ++i) palette[i] = RGBQUAD{BYTE(255 - i), BYTE(255 - i), BYTE(255 - i), 0};
    back = MakeBackSubscan(page.get(), mask.get());
    ASSERT_EQ(back.status, PixelStatus::Ok);
    EXPECT_EQ(FreeImage_GetColorType(back.image.get()), FIC_MINISWHITE);
    EXPECT_EQ(GetPixel(back.image.get(), 4, 1), 255u);
}

TEST(PixelRules, LowDepthResultsKeepThePagePalette) {
    auto page = MakeImage(10, 2, 1, [](unsigned x, unsigned) { return x % 2; });
    RGBQUAD* palette = FreeImage_GetPalette(page.get());
    palette[0] = RGBQUAD{255, 255, 255, 0};  // min-is-white: a set bit is black
    palette[1] = RGBQUAD{0, 0, 0, 0};
    auto mask = MakeMask(10, 2, [](unsigned x, unsigned) { return x < 4; });
    PixelResult back = MakeBackSubscan(page.get(), mask.get());
    ASSERT_EQ(back.status, PixelStatus::Ok);
    EXPECT_EQ(FreeImage_GetColorType(back.image.get()), FIC_MINISWHITE);

    auto page4 = MakeImage(10, 2, 4, [](unsigned x, unsigned) { return x; });
    FreeImage_GetPalette(page4.get())[3] = RGBQUAD{1, 2, 3, 0};
    PixelResult back4 = MakeBackSubscan(page4.get(), mask.get());
    ASSERT_EQ(back4.status, PixelStatus::Ok);
    const RGBQUAD entry = FreeImage_GetPalette(back4.image.get())[3];
    EXPECT_EQ(entry.rgbBlue + 10 * entry.rgbGreen + 100 * entry.rgbRed, 1 + 20 + 300);
}

TEST(PixelRules, MergeFollowsTheNewPageAndTakesWholeInputsAtTheExtremes) {
    auto back = MakeImage(12, 3, 8, [](unsigned x, unsigned) { return 200 + x; });
    FreeImage_SetDotsPerMeterX(back.get(), 1000);
    auto page = MakeImage(12, 3, 8, [](unsigned x, unsigned y) { return x + 12 * y; });
    FreeImage_SetDotsPerMeterX(page.get(), 11811);
    RGBQUAD* palette = FreeImage_GetPalette(page.get());
    for (unsigned i = 0; i < 256; ++i) palette[i] = RGBQUAD{BYTE(255 - i), BYTE(255 - i), BYTE(255 - i), 0};

    PixelResult none =
        MergeSubscan(page.get(), back.get(), MakeMask(12, 3, [](unsigned, unsigned) { return false; }).get());
    ASSERT_EQ(none.status, PixelStatus::Ok);
    EXPECT_TRUE(test::SamePixels(none.image.get(), back.get()));
    EXPECT_EQ(FreeImage_GetDotsPerMeterX(none.image.get()), 11811u);
    EXPECT_EQ(FreeImage_GetColorType(none.image.get()), FIC_MINISWHITE);

    PixelResult all =
        MergeSubscan(page.get(), back.get(), MakeMask(12, 3, [](unsigned, unsigned) { return true; }).get());
    ASSERT_EQ(all.status, PixelStatus::Ok);
    EXPECT_TRUE(test::SamePixels(all.image.get(), page.get()));
}

TEST(PixelRules, RefuseInputsTheRulesCannotApplyTo) {
    auto page = MakeImage(16, 4, 8, [](unsigned, unsigned) { return 1; });
    auto mask = MakeMask(16, 4, [](unsigned, unsigned) { return true; });
    EXPECT_EQ(
        MakeBackSubscan(page.get(), MakeMask(15, 4, [](unsigned, unsigned) { return true; }).get()).status,
        PixelStatus::MaskTooSmall);
    EXPECT_EQ(
        MakeBackSubscan(page.get(), MakeMask(16, 3, [](unsigned, unsigned) { return true; }).get()).status,
        PixelStatus::MaskTooSmall);
    EXPECT_EQ(MakeBackSubscan(page.get(), page.get()).status, PixelStatus::MaskNotOneBit);

    ImagePtr floats(FreeImage_AllocateT(FIT_FLOAT, 16, 4));
    EXPECT_EQ(MakeBackSubscan(floats.get(), mask.get()).status, PixelStatus::UnsupportedPage);
    EXPECT_EQ(MergeSubscan(floats.get(), floats.get(), mask.get()).status, PixelStatus::UnsupportedPage);

    auto wider = MakeImage(17, 4, 8, [](unsigned, unsigned) { return 1; });
    auto deeper = MakeImage(16, 4, 24, [](unsigned, unsigned) { return 1; });
    auto grey16 = MakeImage(
        16, 4, 16, [](unsigned, unsigned) { return 1; }, FIT_UINT16);
    auto rgb555 = MakeImage(16, 4, 16, [](unsigned, unsigned) { return 1; });
    EXPECT_EQ(MergeSubscan(page.get(), wider.get(), mask.get()).status, PixelStatus::BackMismatch);
    EXPECT_EQ(MergeSubscan(page.get(), deeper.get(), mask.get()).status, PixelStatus::BackMismatch);
    EXPECT_EQ(MergeSubscan(grey16.get(), rgb555.get(), mask.get()).status, PixelStatus::BackMismatch);
    EXPECT_EQ(
        MergeSubscan(page.get(), page.get(), MakeMask(8, 4, [](unsigned, unsigned) { return true; }).get())
            .status,
        PixelStatus::MaskTooSmall);
}

}  // namespace
}  // namespace orfeo
