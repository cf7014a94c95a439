#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "protocol/Limits.h"
#include "protocol/WorkerProtocol.h"
#include "run/PagePicture.h"
#include "tests/support/Files.h"
#include "tests/support/Fixtures.h"
#include "worker/Preview.h"

namespace orfeo {
namespace {

namespace fs = std::filesystem;
using test::MakeImage;
using test::TempDir;

// The RGB of the preview's pixel (x, y), top row first.
std::vector<unsigned> At(const PreviewPixels& preview, unsigned x, unsigned y) {
    const std::uint8_t* p = preview.rgb.data() + (std::size_t{y} * preview.width + x) * 3;
    return {p[0], p[1], p[2]};
}

// A picture shows what the jobs see: palettes (min-is-white ones too) and every depth, the top row first,
// scaled down to fit and never up.
TEST(MakePreview, ShowsEveryDepthTopRowFirstAndFitsTheSide) {
    struct Case {
        const char* what;
        ImagePtr image;
        unsigned side;
        unsigned width, height;                  // of the picture
        std::vector<unsigned> topLeft, belowIt;  // RGB of (0, 0) and (0, 1) in the picture
    };
    // Pixel (x, y) with y = 0 at the bottom, as FreeImage counts: the top row is y = height - 1.
    ImagePtr whiteIsZero = test::MakeMask(4, 2, [](unsigned x, unsigned y) { return x == 0 && y == 1; });
    RGBQUAD* palette = FreeImage_GetPalette(whiteIsZero.get());
    std::swap(palette[0], palette[1]);  // min-is-white: 0 is white
    ImagePtr rgb = MakeImage(2, 2, 24, [](unsigned, unsigned y) { return y == 1 ? 0x0000FFu : 0xFF0000u; });
    std::vector<Case> cases;
    cases.push_back({"8-bit grey",
                     MakeImage(3, 2, 8, [](unsigned, unsigned y) { return y * 200; }),
                     64,
                     3,
                     2,
                     {200, 200, 200},
                     {0, 0, 0}});
    ImagePtr maskLike(FreeImage_Clone(whiteIsZero.get()));
    cases.push_back({"1-bit, min-is-white", std::move(whiteIsZero), 64, 4, 2, {0, 0, 0}, {255, 255, 255}});
    cases.push_back({"24-bit colour", std::move(rgb), 64, 2, 2, {0, 0, 255}, {255, 0, 0}});
    cases.push_back({"16-bit grey",
                     MakeImage(
                         2, 2, 16, [](unsigned, unsigned y) { return y * 65535; }, FIT_UINT16),
                     64,
                     2,
                     2,
                     {255, 255, 255},
                     {0, 0, 0}});
    cases.push_back(
        {"48-bit colour",
         MakeImage(
             1, 2, 48, [](unsigned, unsigned y) { return y ? 0xFFFFull : 0xFFFFull << 32; }, FIT_RGB16),
         64,
         1,
         2,
         {255, 0, 0},
         {0, 0, 255}});
    cases.push_back({"scaled down",
                     MakeImage(400, 100, 8, [](unsigned, unsigned) { return 90; }),
                     100,
                     100,
                     25,
                     {90, 90, 90},
                     {90, 90, 90}});
    const std::size_t maskCase = cases.size();
    cases.push_back({"1-bit as a mask's bits, whatever the palette",
                     std::move(maskLike),
                     64,
                     4,
                     2,
                     {255, 255, 255},
                     {0, 0, 0}});
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.what);
        const std::optional<PreviewPixels> preview = MakePreview(c.image.get(), c.side, i == maskCase);
        ASSERT_TRUE(preview);
        EXPECT_EQ(preview->width, c.width);
        EXPECT_EQ(preview->height, c.height);
        ASSERT_EQ(preview->rgb.size(), std::size_t{c.width} * c.height * 3);
        EXPECT_EQ(At(*preview, 0, 0), c.topLeft);
        EXPECT_EQ(At(*preview, 0, 1), c.belowIt);
    }
}

// Through the page workers: the picture of a page is what the loader gives; a missing file, a file that
// crashes its decoder, or one past the megapixel limit costs only its picture, with the jobs' words.
TEST(ReadPagePicture, ReadsThroughAWorkerAndSaysWhyWhenItCannot) {
    TempDir dir;
    const ImagePtr image = MakeImage(300, 200, 8, [](unsigned x, unsigned y) { return (x + y) % 256; });
    test::Save(image.get(), dir.Path() / "page.tif");
    test::Save(MakeImage(3000, 2000, 8, [](unsigned, unsigned) { return 0; }).get(), dir.Path() / "big.tif");
    const std::string crasher = test::Slurp(fs::path(ORFEO_CONTAINED) / "tiff-segv-palette-spp4");
    test::WriteFile(dir.Path() / "crash.tif", crasher.substr(1));
    PageWorkers workers(
        {.program = DefaultWorkerProgram(), .maxMegapixels = 1, .cpuSeconds = 20, .memoryBytes = 0});

    std::string problem;
    const std::optional<PagePicture> picture =
        ReadPagePicture(workers, (dir.Path() / "page.tif").string(), problem);
    ASSERT_TRUE(picture) << problem;
    EXPECT_EQ(picture->pageWidth, 300u);
    EXPECT_EQ(picture->pageHeight, 200u);
    const std::optional<PreviewPixels> direct = MakePreview(image.get(), kPreviewSide);
    ASSERT_TRUE(direct);
    EXPECT_EQ(picture->pixels.width, direct->width);
    EXPECT_EQ(picture->pixels.height, direct->height);
    EXPECT_EQ(picture->pixels.rgb, direct->rgb);

    const std::vector<std::pair<std::string, std::string>> refused = {
        {"missing.tif", "not found"}, {"crash.tif", "crashed"}, {"big.tif", "megapixel"}};
    for (const auto& [name, words] : refused) {
        SCOPED_TRACE(name);
        problem.clear();
        EXPECT_FALSE(ReadPagePicture(workers, (dir.Path() / name).string(), problem));
        EXPECT_NE(problem.find(words), std::string::npos) << problem;
        EXPECT_NE(problem.find(name), std::string::npos) << problem;
    }
}

}  // namespace
}  // namespace orfeo
