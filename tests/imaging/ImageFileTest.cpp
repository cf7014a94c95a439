#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <sstream>

#include "protocol/Messages.h"
#include "tests/support/Files.h"
#include "tests/support/Fixtures.h"
#include "worker/ImageLoad.h"
#include "worker/ImageSave.h"

namespace orfeo {
namespace {

namespace fs = std::filesystem;
using test::MakeImage;
using test::MakeMask;
using test::RecordingSink;
using test::TempDir;

TEST(LoadImageFile, FindsTheFormatByContentBeforeName) {
    TempDir dir;
    auto page = MakeImage(5, 4, 8, [](unsigned x, unsigned y) { return x * y; });
    test::Save(page.get(), dir.Path() / "tiff.jpg", FIF_TIFF);
    RecordingSink sink;
    ImagePtr loaded = LoadImageFile((dir.Path() / "tiff.jpg").string(), sink);
    ASSERT_TRUE(loaded);
    EXPECT_TRUE(sink.messages.empty());
    EXPECT_TRUE(test::SamePixels(loaded.get(), page.get()));  // a JPEG decode would not be exact
}

TEST(LoadImageFile, SaysNotFoundOnlyForMissingFiles) {
    TempDir dir;
    const std::string missing = dir.Folder() + "page7.tif";
    const std::string broken = dir.Folder() + "broken.tif";
    const std::string empty = dir.Folder() + "empty.pnm";
    const std::string text = dir.Folder() + "notes.bmp";
    test::WriteFile(broken, "II*\0garbage");
    test::WriteFile(empty, "");
    test::WriteFile(text, "just some text");
    RecordingSink sink;
    EXPECT_FALSE(LoadImageFile(missing, sink));
    EXPECT_FALSE(LoadImageFile(broken, sink));
    EXPECT_FALSE(LoadImageFile(empty, sink));
    EXPECT_FALSE(LoadImageFile(text, sink));
    EXPECT_FALSE(LoadImageFile(dir.Folder(), sink));
    EXPECT_EQ(sink.Texts(), (std::vector<std::string>{
                                "File \"" + missing + "\" not found.",
                                "File \"" + broken + "\" cannot be read.",
                                "File \"" + empty + "\" cannot be read.",
                                "File \"" + text + "\" cannot be read.",
                                "File \"" + dir.Folder() + "\" cannot be read.",
                            }));
}

// What a dry run reads: type, size and depth without the pixels (GIFs come whole), and for a file that does
// not load, the same message as LoadImageFile with the reason.
TEST(LoadImageHeader, GivesTheShapeWithoutPixelsAndTheLoadersMessages) {
    TempDir dir;
    const auto page = MakeImage(5, 4, 8, [](unsigned x, unsigned y) { return x * y; });
    for (const auto& [name, format] : {std::pair{"p.tif", FIF_TIFF},
                                       {"p.bmp", FIF_BMP},
                                       {"p.pgm", FIF_PGMRAW},
                                       {"p.jpg", FIF_JPEG},
                                       {"p.gif", FIF_GIF}}) {
        test::Save(page.get(), dir.Path() / name, format);
        RecordingSink sink;
        LoadProblem problem = LoadProblem::TooLarge;
        ImagePtr header = LoadImageHeader(dir.Folder() + name, sink, kDefaultMaxMegapixels, &problem);
        ASSERT_TRUE(header) << name;
        EXPECT_EQ(problem, LoadProblem::None);
        EXPECT_EQ(FreeImage_GetWidth(header.get()), 5u) << name;
        EXPECT_EQ(FreeImage_GetHeight(header.get()), 4u) << name;
        EXPECT_EQ(FreeImage_GetBPP(header.get()), 8u) << name;
        EXPECT_EQ(FreeImage_HasPixels(header.get()) != FALSE, format == FIF_GIF) << name;
    }
    test::WriteFile(dir.Path() / "broken.tif", "II*\0garbage");
    for (const auto& [name, expected] : {std::pair{"missing.tif", LoadProblem::NotFound},
                                         {"broken.tif", LoadProblem::CannotRead},
                                         {"p.tif", LoadProblem::TooLarge}}) {
        RecordingSink headerSink, loadSink;
        LoadProblem problem = LoadProblem::None;
        EXPECT_FALSE(LoadImageHeader(dir.Folder() + name, headerSink, 1e-5, &problem));
        EXPECT_FALSE(LoadImageFile(dir.Folder() + name, loadSink, 1e-5));
        EXPECT_EQ(problem, expected) << name;
        EXPECT_EQ(headerSink.Texts(), loadSink.Texts());
        EXPECT_EQ(headerSink.Texts().size(), 1u);
    }
}

TEST(SaveImageFile, WritesTheFormatTheExtensionNames) {
    TempDir dir;
    auto page = MakeImage(6, 3, 8, [](unsigned x, unsigned) { return 40 * x; });
    RecordingSink sink;
    const std::pair<const char*, FREE_IMAGE_FORMAT> cases[] = {
        {"p.tif", FIF_TIFF}, {"p.TIFF", FIF_TIFF}, {"p.bmp", FIF_BMP},  {"p.gif", FIF_GIF},
        {"p.pgm", FIF_PGM},  {"p.jpg", FIF_JPEG},  {"p.jpeg", FIF_JPEG}};
    for (const auto& [name, format] : cases) {
        const std::string path = dir.Folder() + name;
        ASSERT_TRUE(SaveImageFile(page.get(), path, sink)) << name;
        // PNM files all read back as FIF_PBM by content.
        const FREE_IMAGE_FORMAT found = FreeImage_GetFileType(path.c_str(), 0);
        EXPECT_EQ(found == FIF_PBM ? FIF_PGM : found, format) << name;
    }
    EXPECT_TRUE(sink.messages.empty());
}

TEST(SaveImageFile, PnmNamesWorkBothWaysAndOneBitPnmKeepsItsLook) {
    TempDir dir;
    RecordingSink sink;
    auto grey = MakeImage(7, 3, 8, [](unsigned x, unsigned y) { return x + 10 * y; });
    ASSERT_TRUE(SaveImageFile(grey.get(), dir.Folder() + "g.pnm", sink));
    ImagePtr greyBack = LoadImageFile(dir.Folder() + "g.pnm", sink);
    ASSERT_TRUE(greyBack);
    EXPECT_TRUE(test::SamePixels(greyBack.get(), grey.get()));

    auto colour = MakeImage(7, 3, 24, [](unsigned x, unsigned y) { return 0x010203u * (x + y); });
    ASSERT_TRUE(SaveImageFile(colour.get(), dir.Folder() + "c.pnm", sink));
    ImagePtr colourBack = LoadImageFile(dir.Folder() + "c.pnm", sink);
    ASSERT_TRUE(colourBack);
    EXPECT_TRUE(test::SamePixels(colourBack.get(), colour.get()));

    // A bitonal page read from PBM, saved to PBM and read again must look the same: the bits the file
    // holds must not flip on the way.
    const char pbm[] = "P4\n10 2\n\xF0\x00\x0F\xC0";
    test::WriteFile(dir.Path() / "in.pnm", std::string(pbm, sizeof pbm - 1));
    ImagePtr bitonal = LoadImageFile(dir.Folder() + "in.pnm", sink);
    ASSERT_TRUE(bitonal);
    ASSERT_TRUE(SaveImageFile(bitonal.get(), dir.Folder() + "out.pnm", sink));
    const std::string bytes = test::Slurp(dir.Path() / "out.pnm");
    EXPECT_EQ(bytes.substr(bytes.size() - 4), std::string("\xF0\x00\x0F\xC0", 4));
    EXPECT_TRUE(sink.messages.empty()) << sink.Texts().front();
}

TEST(SaveImageFile, FailedSaveLeavesNothingAndSaysSo) {
    TempDir dir;
    auto bitonal = MakeMask(9, 9, [](unsigned x, unsigned) { return x % 2; });
    RecordingSink sink;
    const std::string jpeg = dir.Folder() + "p.jpg";  // JPEG refuses one-bit images
    const std::string unknown = dir.Folder() + "p.xyz";
    EXPECT_FALSE(SaveImageFile(bitonal.get(), jpeg, sink));
    EXPECT_FALSE(SaveImageFile(bitonal.get(), unknown, sink));
    EXPECT_FALSE(SaveImageFile(bitonal.get(), dir.Folder() + "missing/p.tif", sink));
    EXPECT_TRUE(test::SortedNames(dir.Path()).empty());
    ASSERT_EQ(sink.messages.size(), 3u);
    EXPECT_EQ(sink.messages[0].second, "File \"" + jpeg + "\" could not be written.");
    EXPECT_EQ(sink.messages[1].second, "File \"" + unknown + "\" could not be written.");
}

// What the dry run foresees with FormatCanHold is what the save does: every image of a type and depth the
// rules make, under every name the scan lists, is either written so that it loads back as that type and
// depth, or not written at all, with the message.
TEST(SaveImageFile, WritesExactlyWhatItsFormatCanHold) {
    TempDir dir;
    struct Shape {
        FREE_IMAGE_TYPE type;
        int bpp;
        unsigned redMask, greenMask, blueMask;
    };
    const Shape shapes[] = {{FIT_BITMAP, 1, 0, 0, 0},  {FIT_BITMAP, 4, 0, 0, 0},
                            {FIT_BITMAP, 8, 0, 0, 0},  {FIT_BITMAP, 16, 0xF800, 0x07E0, 0x001F},
                            {FIT_BITMAP, 24, 0, 0, 0}, {FIT_BITMAP, 32, 0, 0, 0},
                            {FIT_UINT16, 16, 0, 0, 0}, {FIT_INT16, 16, 0, 0, 0},
                            {FIT_UINT32, 32, 0, 0, 0}, {FIT_INT32, 32, 0, 0, 0},
                            {FIT_RGB16, 48, 0, 0, 0},  {FIT_RGBA16, 64, 0, 0, 0}};
    for (const Shape& shape : shapes) {
        for (const char* extension : {"bmp", "jpg", "gif", "tif", "pbm", "pgm", "ppm", "pnm"}) {
            const std::string path =
                dir.Folder() + std::to_string(shape.type) + "-" + std::to_string(shape.bpp) + "." + extension;
            SCOPED_TRACE(path);
            ImagePtr image(FreeImage_AllocateT(shape.type, 5, 3, shape.bpp, shape.redMask, shape.greenMask,
                                               shape.blueMask));
            RecordingSink sink;
            const bool canHold = FormatCanHold(path, image.get());
            EXPECT_EQ(SaveImageFile(image.get(), path, sink), canHold);
            if (!canHold) {
                EXPECT_EQ(sink.Texts(), std::vector<std::string>{NotWrittenMessage(path)});
                EXPECT_FALSE(fs::exists(path));
                continue;
            }
            ImagePtr back = test::Load(path);
            ASSERT_TRUE(back);
            EXPECT_EQ(FreeImage_GetImageType(back.get()), shape.type);
            EXPECT_EQ(static_cast<int>(FreeImage_GetBPP(back.get())), shape.bpp);
        }
    }
    EXPECT_EQ(test::SortedNames(dir.Path()).size(), 42u);  // what FreeImage's formats hold, and no leftovers
}

TEST(SaveImageFile, ReplacesAnExistingTargetWhole) {
    TempDir dir;
    const std::string path = dir.Folder() + "p.tif";
    test::WriteFile(path, std::string(100000, 'x'));
    auto page = MakeImage(4, 4, 8, [](unsigned x, unsigned) { return x; });
    RecordingSink sink;
    ASSERT_TRUE(SaveImageFile(page.get(), path, sink));
    EXPECT_EQ(test::SortedNames(dir.Path()), std::vector<std::string>{"p.tif"});
    EXPECT_TRUE(test::SamePixels(test::Load(path).get(), page.get()));
}

TEST(ImageFiles, RoundTripKeepsDepthPaletteAndResolution) {
    TempDir dir;
    RecordingSink sink;
    auto page = MakeImage(8, 2, 8, [](unsigned x, unsigned) { return x; });
    RGBQUAD* palette = FreeImage_GetPalette(page.get());
    for (unsigned i = 0; i < 256; ++i) palette[i] = RGBQUAD{BYTE(255 - i), BYTE(255 - i), BYTE(255 - i), 0};
    FreeImage_SetDotsPerMeterX(page.get(), 11811);
    FreeImage_SetDotsPerMeterY(page.get(), 23622);
    for (const char* name : {"p.tif", "p.bmp"}) {
        ASSERT_TRUE(SaveImageFile(page.get(), dir.Folder() + name, sink));
        ImagePtr back = LoadImageFile(dir.Folder() + name, sink);
        ASSERT_TRUE(back);
        EXPECT_EQ(FreeImage_GetBPP(back.get()), 8u) << name;
        EXPECT_EQ(FreeImage_GetColorType(back.get()), FIC_MINISWHITE) << name;
        EXPECT_EQ(FreeImage_GetDotsPerMeterX(back.get()), 11811u) << name;
        EXPECT_EQ(FreeImage_GetDotsPerMeterY(back.get()), 23622u) << name;
        EXPECT_TRUE(test::SamePixels(back.get(), page.get())) << name;
    }
}

// Debian's libtiff prints dozens of lines on every TIFF load; none may reach the user's terminal.
TEST(ImageFiles, TiffLibraryNoiseNeverReachesStandardError) {
    TempDir dir;
    auto page = MakeImage(16, 16, 8, [](unsigned x, unsigned) { return x; });
    test::Save(page.get(), dir.Path() / "p.tif");
    const std::string truncated = dir.Folder() + "cut.tif";
    const std::string bytes = test::Slurp(dir.Path() / "p.tif");
    test::WriteFile(truncated, bytes.substr(0, bytes.size() / 2));
    const std::string captured = dir.Folder() + "stderr.txt";
    std::fflush(stderr);
    const int saved = dup(STDERR_FILENO);
    std::FILE* file = std::fopen(captured.c_str(), "w");
    dup2(fileno(file), STDERR_FILENO);
    RecordingSink sink;
    ImagePtr good = LoadImageFile(dir.Folder() + "p.tif", sink);
    ImagePtr cut = LoadImageFile(truncated, sink);
    std::fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
    std::fclose(file);
    EXPECT_TRUE(good);
    EXPECT_EQ(fs::file_size(captured), 0u);
}

}  // namespace
}  // namespace orfeo
