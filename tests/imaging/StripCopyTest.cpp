#include <gtest/gtest.h>
#include <tiffio.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "run/BackSubscans.h"
#include "run/MergeSubscans.h"
#include "scan/FolderScan.h"
#include "scan/Paths.h"
#include "tests/support/Files.h"
#include "tests/support/Fixtures.h"
#include "worker/ImageLoad.h"
#include "worker/ImageSave.h"
#include "worker/PixelRules.h"
#include "worker/StripCopy.h"

namespace orfeo {
namespace {

namespace fs = std::filesystem;
using test::Load;
using test::MakeMask;
using test::Mix;
using test::RecordingSink;
using test::TempDir;

// How a test page is stored.
struct Stored {
    const char* name;
    std::uint16_t bits = 8, samples = 1, photometric = PHOTOMETRIC_MINISBLACK;
    std::uint16_t compression = COMPRESSION_NONE, predictor = PREDICTOR_NONE, fillOrder = FILLORDER_MSB2LSB;
    std::uint32_t faxOptions = 0;
    std::uint32_t rowsPerStrip = 7;  // 0: tiles of 16 x 32
    bool bigEndian = false;
    std::uint16_t planar = PLANARCONFIG_CONTIG, orientation = ORIENTATION_TOPLEFT;
};

constexpr unsigned kWidth = 77, kHeight = 53;

// Writes a page of `stored`'s layout with libtiff, every sample from `seed`; also tags that the output
// must not carry (a colour profile, the software, a description). A palette page gets a coloured palette.
void WritePage(const fs::path& path, const Stored& stored, std::uint64_t seed, unsigned width = kWidth,
               unsigned height = kHeight) {
    fs::create_directories(path.parent_path());
    TIFF* tiff = TIFFOpen(path.c_str(), stored.bigEndian ? "wb" : "wl");
    ASSERT_NE(tiff, nullptr);
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, stored.bits);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, stored.samples);
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, stored.planar);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, stored.compression);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, stored.photometric);
    TIFFSetField(tiff, TIFFTAG_ORIENTATION, stored.orientation);
    if (stored.compression == COMPRESSION_JPEG && stored.photometric == PHOTOMETRIC_YCBCR)
        TIFFSetField(tiff, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
    if (stored.fillOrder != FILLORDER_MSB2LSB) TIFFSetField(tiff, TIFFTAG_FILLORDER, stored.fillOrder);
    if (stored.predictor != PREDICTOR_NONE) TIFFSetField(tiff, TIFFTAG_PREDICTOR, stored.predictor);
    if (stored.compression == COMPRESSION_CCITTFAX3)
        TIFFSetField(tiff, TIFFTAG_GROUP3OPTIONS, stored.faxOptions);
    if (stored.samples == 4) {
        const std::uint16_t extra = EXTRASAMPLE_UNASSALPHA;
        TIFFSetField(tiff, TIFFTAG_EXTRASAMPLES, 1, &extra);
    }
    TIFFSetField(tiff, TIFFTAG_XRESOLUTION, 300.0f);
    TIFFSetField(tiff, TIFFTAG_YRESOLUTION, 150.0f);
    TIFFSetField(tiff, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    TIFFSetField(tiff, TIFFTAG_SOFTWARE, "scanner 1.0");
    TIFFSetField(tiff, TIFFTAG_IMAGEDESCRIPTION, "page");
    const std::string profile(200, 'p');
    TIFFSetField(tiff, TIFFTAG_ICCPROFILE, static_cast<std::uint32_t>(profile.size()), profile.data());
    std::vector<std::uint16_t> map[3];
    if (stored.photometric == PHOTOMETRIC_PALETTE) {
        for (unsigned i = 0; i < (1u << stored.bits); ++i) {
            for (unsigned c = 0; c < 3; ++c)
                map[c].push_back(static_cast<std::uint16_t>(Mix(i * 3 + c) & 0xFF00));
        }
        TIFFSetField(tiff, TIFFTAG_COLORMAP, map[0].data(), map[1].data(), map[2].data());
    }
    const unsigned planes = stored.planar == PLANARCONFIG_SEPARATE ? stored.samples : 1;
    const std::size_t lineBytes =
        (std::size_t{width} * stored.bits * (planes == 1 ? stored.samples : 1) + 7) / 8;
    auto fill = [&](std::vector<std::uint8_t>& bytes, std::uint64_t salt) {
        for (std::size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<std::uint8_t>(Mix(seed * 7919 + salt + i));
        // Bitonal pages as scanners make them, in runs (random bits make G3 and G4 longer than raw).
        if (stored.bits == 1) {
            for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = (bytes[i] & 0x30) ? 0x00 : 0xFF;
        }
    };
    if (stored.rowsPerStrip) {
        TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, stored.rowsPerStrip);
        std::vector<std::uint8_t> line(lineBytes);
        for (unsigned plane = 0; plane < planes; ++plane) {
            for (unsigned row = 0; row < height; ++row) {
                fill(line, (plane * height + row) * 1000003ull);
                ASSERT_EQ(TIFFWriteScanline(tiff, line.data(), row, static_cast<std::uint16_t>(plane)), 1);
            }
        }
    } else {
        TIFFSetField(tiff, TIFFTAG_TILEWIDTH, 16);
        TIFFSetField(tiff, TIFFTAG_TILELENGTH, 32);
        std::vector<std::uint8_t> tile(static_cast<std::size_t>(TIFFTileSize(tiff)));
        for (std::uint32_t k = 0; k < TIFFNumberOfTiles(tiff); ++k) {
            fill(tile, k * 1000003ull);
            ASSERT_EQ(TIFFWriteEncodedTile(tiff, k, tile.data(), static_cast<tmsize_t>(tile.size())),
                      static_cast<tmsize_t>(tile.size()));
        }
    }
    ASSERT_EQ(TIFFWriteDirectory(tiff), 1);
    TIFFClose(tiff);
}

// The masks each layout is tried with. The mask is 3 columns and 2 rows larger than the page, with its
// extra rows (the top ones, which the rules never read) all marked.
enum class Marks { Band, None, All };

ImagePtr MaskFor(Marks marks) {
    return MakeMask(kWidth + 3, kHeight + 2, [marks](unsigned x, unsigned y) {
        if (y >= kHeight) return true;
        const unsigned row = kHeight - 1 - y;
        switch (marks) {
            case Marks::None:
                return false;
            case Marks::All:
                return x < kWidth;
            case Marks::Band:
                return (row >= 14 && row < 27 && x >= 3 && x < 50) || (row == 40 && x == kWidth - 1) ||
                       (row == 46 && x == 70);
        }
        return false;
    });
}

// Damages the last strip of a little-endian page written by WritePage (more than one strip): moves it so
// that its stored bytes run past the end of the file, as in a page cut short, or halves its byte count.
void DamageLastStrip(const fs::path& path, std::uint16_t tag) {
    std::string bytes = test::Slurp(path);
    auto u16 = [&](std::size_t at) {
        std::uint16_t v;
        std::memcpy(&v, &bytes[at], 2);
        return v;
    };
    auto u32 = [&](std::size_t at) {
        std::uint32_t v;
        std::memcpy(&v, &bytes[at], 4);
        return v;
    };
    const std::uint32_t directory = u32(4);
    for (unsigned i = 0; i < u16(directory); ++i) {
        const std::size_t entry = directory + 2 + i * 12;
        if (u16(entry) != tag) continue;
        const std::size_t last = u32(entry + 8) + (u32(entry + 4) - 1) * 4;
        const std::uint32_t value =
            tag == TIFFTAG_STRIPOFFSETS ? static_cast<std::uint32_t>(bytes.size() - 3) : u32(last) / 2;
        std::memcpy(&bytes[last], &value, 4);
    }
    test::WriteFile(path, bytes);
}

// What FreeImage reads of an output: everything the data model names.
void ExpectSameImage(const fs::path& expectedPath, const fs::path& actualPath, const std::string& what) {
    SCOPED_TRACE(what);
    const ImagePtr expected = Load(expectedPath), actual = Load(actualPath);
    ASSERT_TRUE(expected && actual);
    EXPECT_EQ(FreeImage_GetImageType(expected.get()), FreeImage_GetImageType(actual.get()));
    ASSERT_EQ(FreeImage_GetBPP(expected.get()), FreeImage_GetBPP(actual.get()));
    EXPECT_EQ(FreeImage_GetColorType(expected.get()), FreeImage_GetColorType(actual.get()));
    EXPECT_EQ(FreeImage_GetDotsPerMeterX(expected.get()), FreeImage_GetDotsPerMeterX(actual.get()));
    EXPECT_EQ(FreeImage_GetDotsPerMeterY(expected.get()), FreeImage_GetDotsPerMeterY(actual.get()));
    EXPECT_EQ(FreeImage_IsTransparent(expected.get()), FreeImage_IsTransparent(actual.get()));
    const unsigned colours = FreeImage_GetColorsUsed(expected.get());
    ASSERT_EQ(colours, FreeImage_GetColorsUsed(actual.get()));
    if (colours) {
        EXPECT_EQ(std::memcmp(FreeImage_GetPalette(expected.get()), FreeImage_GetPalette(actual.get()),
                              colours * sizeof(RGBQUAD)),
                  0);
    }
    ASSERT_EQ(FreeImage_GetWidth(expected.get()), FreeImage_GetWidth(actual.get()));
    ASSERT_EQ(FreeImage_GetHeight(expected.get()), FreeImage_GetHeight(actual.get()));
    const unsigned bits = FreeImage_GetWidth(expected.get()) * FreeImage_GetBPP(expected.get());
    for (unsigned y = 0; y < FreeImage_GetHeight(expected.get()); ++y) {
        const BYTE* a = FreeImage_GetScanLine(expected.get(), static_cast<int>(y));
        const BYTE* b = FreeImage_GetScanLine(actual.get(), static_cast<int>(y));
        ASSERT_EQ(std::memcmp(a, b, bits / 8), 0) << "scan line " << y;
        if (bits % 8) {
            const BYTE used = static_cast<BYTE>(0xFF00u >> (bits % 8));
            ASSERT_EQ(a[bits / 8] & used, b[bits / 8] & used) << "scan line " << y;
        }
    }
}

// The strip copy of a back subscan (no `back`) or a merge into `output`.
StripCopyOutcome Copy(const fs::path& page, const fs::path& back, const fs::path& mask,
                      const fs::path& output) {
    const ImagePtr maskImage = Load(mask);
    int error = 0;
    return CopyStripsBetween(page.string(), back.string(), maskImage.get(), output.string(), 600, error);
}

// Today's way: decode, rule in memory, encode with FreeImage.
void Decoded(const fs::path& page, const fs::path& back, const fs::path& mask, const fs::path& output) {
    RecordingSink sink;
    const ImagePtr pageImage = Load(page), maskImage = Load(mask);
    const ImagePtr backImage = back.empty() ? nullptr : Load(back);
    const PixelResult result = back.empty() ? MakeBackSubscan(pageImage.get(), maskImage.get())
                                            : MergeSubscan(pageImage.get(), backImage.get(), maskImage.get());
    ASSERT_TRUE(result.image);
    ASSERT_TRUE(SaveImageFile(result.image.get(), output.string(), sink));
}

const Stored kCopied[] = {
    {.name = "1-bit G4 min-is-white",
     .bits = 1,
     .photometric = PHOTOMETRIC_MINISWHITE,
     .compression = COMPRESSION_CCITTFAX4},
    {.name = "1-bit G4 min-is-black, LSB first",
     .bits = 1,
     .compression = COMPRESSION_CCITTFAX4,
     .fillOrder = FILLORDER_LSB2MSB},
    {.name = "1-bit G3 2-D",
     .bits = 1,
     .photometric = PHOTOMETRIC_MINISWHITE,
     .compression = COMPRESSION_CCITTFAX3,
     .faxOptions = GROUP3OPT_2DENCODING},
    {.name = "1-bit G3 fill bits",
     .bits = 1,
     .compression = COMPRESSION_CCITTFAX3,
     .faxOptions = GROUP3OPT_FILLBITS,
     .rowsPerStrip = 1},
    {.name = "1-bit palette G4",
     .bits = 1,
     .photometric = PHOTOMETRIC_PALETTE,
     .compression = COMPRESSION_CCITTFAX4},
    {.name = "1-bit PackBits, tiles", .bits = 1, .compression = COMPRESSION_PACKBITS, .rowsPerStrip = 0},
    {.name = "4-bit min-is-white LZW",
     .bits = 4,
     .photometric = PHOTOMETRIC_MINISWHITE,
     .compression = COMPRESSION_LZW},
    {.name = "4-bit palette uncompressed", .bits = 4, .photometric = PHOTOMETRIC_PALETTE},
    {.name = "4-bit grey Deflate, tiles",
     .bits = 4,
     .compression = COMPRESSION_ADOBE_DEFLATE,
     .rowsPerStrip = 0},
    {.name = "8-bit uncompressed, a row a strip", .rowsPerStrip = 1},
    {.name = "8-bit min-is-white LZW predictor",
     .photometric = PHOTOMETRIC_MINISWHITE,
     .compression = COMPRESSION_LZW,
     .predictor = PREDICTOR_HORIZONTAL},
    {.name = "8-bit palette Deflate", .photometric = PHOTOMETRIC_PALETTE, .compression = COMPRESSION_DEFLATE},
    {.name = "8-bit PackBits big-endian", .compression = COMPRESSION_PACKBITS, .bigEndian = true},
    {.name = "8-bit LZW tiles", .compression = COMPRESSION_LZW, .rowsPerStrip = 0},
    {.name = "8-bit one strip", .compression = COMPRESSION_LZW, .rowsPerStrip = 4000},
    {.name = "16-bit uncompressed big-endian", .bits = 16, .bigEndian = true},
    {.name = "16-bit LZW predictor tiles",
     .bits = 16,
     .compression = COMPRESSION_LZW,
     .predictor = PREDICTOR_HORIZONTAL,
     .rowsPerStrip = 0},
    {.name = "16-bit min-is-white", .bits = 16, .photometric = PHOTOMETRIC_MINISWHITE},
    {.name = "RGB uncompressed", .samples = 3, .photometric = PHOTOMETRIC_RGB},
    {.name = "RGB LZW predictor",
     .samples = 3,
     .photometric = PHOTOMETRIC_RGB,
     .compression = COMPRESSION_LZW,
     .predictor = PREDICTOR_HORIZONTAL},
    {.name = "RGB Deflate tiles",
     .samples = 3,
     .photometric = PHOTOMETRIC_RGB,
     .compression = COMPRESSION_ADOBE_DEFLATE,
     .rowsPerStrip = 0},
    {.name = "48-bit RGB LZW predictor big-endian",
     .bits = 16,
     .samples = 3,
     .photometric = PHOTOMETRIC_RGB,
     .compression = COMPRESSION_LZW,
     .predictor = PREDICTOR_HORIZONTAL,
     .bigEndian = true},
    {.name = "48-bit RGB uncompressed", .bits = 16, .samples = 3, .photometric = PHOTOMETRIC_RGB},
};

// Every layout the copy takes, with a band of marks, none and all: back subscans and merges (the new page
// stored the other way, tiles for strips and strips for tiles) decode to exactly what today's decoding
// path writes, and carry none of the page's other tags.
TEST(StripCopyTest, OutputsAreTheDecodingPathsPixelForPixel) {
    TempDir dir;
    for (const Stored& stored : kCopied) {
        Stored other = stored;
        other.rowsPerStrip = stored.rowsPerStrip ? 0 : 5;
        if (stored.compression == COMPRESSION_CCITTFAX3 || stored.compression == COMPRESSION_CCITTFAX4)
            other.compression = COMPRESSION_LZW;
        const fs::path page = dir.Path() / "page.tif", newPage = dir.Path() / "new.tif";
        WritePage(page, stored, 1);
        WritePage(newPage, other, 2);
        for (const Marks marks : {Marks::Band, Marks::None, Marks::All}) {
            const std::string what = std::string(stored.name) + ", marks " + std::to_string(int(marks));
            SCOPED_TRACE(what);
            const fs::path mask = dir.Path() / "mask.tif";
            test::Save(MaskFor(marks).get(), mask);
            const fs::path back = dir.Path() / "back.tif", backToday = dir.Path() / "back-today.tif";
            ASSERT_EQ(Copy(page, {}, mask, back), StripCopyOutcome::Written);
            Decoded(page, {}, mask, backToday);
            ExpectSameImage(backToday, back, "back subscan");
            const fs::path merged = dir.Path() / "merged.tif", mergedToday = dir.Path() / "merged-today.tif";
            ASSERT_EQ(Copy(newPage, back, mask, merged), StripCopyOutcome::Written);
            Decoded(newPage, back, mask, mergedToday);
            ExpectSameImage(mergedToday, merged, "merge");

            TIFF* tiff = TIFFOpen(back.c_str(), "r");
            ASSERT_NE(tiff, nullptr);
            char* text = nullptr;
            std::uint32_t count = 0;
            void* profile = nullptr;
            EXPECT_FALSE(TIFFGetField(tiff, TIFFTAG_SOFTWARE, &text));
            EXPECT_FALSE(TIFFGetField(tiff, TIFFTAG_IMAGEDESCRIPTION, &text));
            EXPECT_FALSE(TIFFGetField(tiff, TIFFTAG_ICCPROFILE, &count, &profile));
            TIFF* today = TIFFOpen(backToday.c_str(), "r");
            ASSERT_NE(today, nullptr);
            std::uint16_t photometric = 0, todays = 1;
            TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric);
            TIFFGetField(today, TIFFTAG_PHOTOMETRIC, &todays);
            EXPECT_EQ(photometric, todays);
            TIFFClose(today);
            std::uint16_t compression = 0;
            TIFFGetField(tiff, TIFFTAG_COMPRESSION, &compression);
            EXPECT_EQ(compression, stored.compression == COMPRESSION_DEFLATE ? COMPRESSION_ADOBE_DEFLATE
                                                                             : stored.compression);
            TIFFClose(tiff);
        }
    }
}

// JPEG pages: copied whole when their mask marks nothing, and then they decode to the pixels the page
// does; otherwise left to the decoding path, since a marked strip encoded as JPEG again would not keep its
// pixels. A JPEG new page of a merge likewise.
TEST(StripCopyTest, JpegPagesAreCopiedOnlyWhenNothingIsMarked) {
    const Stored jpegs[] = {
        {.name = "JPEG grey", .compression = COMPRESSION_JPEG, .rowsPerStrip = 16},
        {.name = "JPEG YCbCr",
         .samples = 3,
         .photometric = PHOTOMETRIC_YCBCR,
         .compression = COMPRESSION_JPEG,
         .rowsPerStrip = 16},
        {.name = "JPEG RGB tiles",
         .samples = 3,
         .photometric = PHOTOMETRIC_RGB,
         .compression = COMPRESSION_JPEG,
         .rowsPerStrip = 0},
    };
    TempDir dir;
    const fs::path page = dir.Path() / "page.tif", newPage = dir.Path() / "new.tif",
                   mask = dir.Path() / "mask.tif";
    const fs::path back = dir.Path() / "back.tif", today = dir.Path() / "today.tif";
    for (const Stored& stored : jpegs) {
        SCOPED_TRACE(stored.name);
        WritePage(page, stored, 1);
        WritePage(newPage, stored, 2);
        test::Save(MaskFor(Marks::None).get(), mask);
        ASSERT_EQ(Copy(page, {}, mask, back), StripCopyOutcome::Written);
        Decoded(page, {}, mask, today);
        ExpectSameImage(today, back, "back subscan");
        const fs::path merged = dir.Path() / "merged.tif";
        ASSERT_EQ(Copy(newPage, back, mask, merged), StripCopyOutcome::Written);
        Decoded(newPage, today, mask, today);
        ExpectSameImage(today, merged, "merge");

        test::Save(MaskFor(Marks::Band).get(), mask);
        EXPECT_EQ(Copy(page, {}, mask, back), StripCopyOutcome::NotTaken);
        EXPECT_EQ(fs::file_size(back), 0u);
        Decoded(page, {}, mask, today);
        EXPECT_EQ(Copy(newPage, today, mask, merged), StripCopyOutcome::NotTaken);
    }
}

// Layouts whose stored samples are not FreeImage's pixels, or that libtiff cannot write back, and damaged
// files: the copy writes nothing, and the job's outputs and messages are today's.
TEST(StripCopyTest, OtherFilesAreLeftToTheDecodingPath) {
    {
        // Not a layout FreeImage reads at all: not one this copy takes either.
        TempDir dir;
        WritePage(dir.Path() / "p.tif", {.name = "2-bit", .bits = 2}, 3);
        test::Save(MaskFor(Marks::Band).get(), dir.Path() / "m.tif");
        EXPECT_EQ(Copy(dir.Path() / "p.tif", {}, dir.Path() / "m.tif", dir.Path() / "o.tif"),
                  StripCopyOutcome::NotTaken);
    }
    const Stored others[] = {
        {.name = "JPEG", .compression = COMPRESSION_JPEG, .rowsPerStrip = 16},
        {.name = "RGB in planes",
         .samples = 3,
         .photometric = PHOTOMETRIC_RGB,
         .planar = PLANARCONFIG_SEPARATE},
        {.name = "one sample in planes", .planar = PLANARCONFIG_SEPARATE},
        {.name = "bottom row first", .orientation = ORIENTATION_BOTLEFT},
        {.name = "RGBA", .samples = 4, .photometric = PHOTOMETRIC_RGB, .compression = COMPRESSION_LZW},
        {.name = "CMYK", .samples = 4, .photometric = PHOTOMETRIC_SEPARATED},
        {.name = "truncated", .compression = COMPRESSION_LZW},
    };
    TempDir dir;
    const fs::path book = dir.Path() / "book", masks = book / "cache" / "automask";
    for (const Stored& stored : others) {
        SCOPED_TRACE(stored.name);
        const fs::path page = book / (std::string(stored.name) + ".tif");
        WritePage(page, stored, 3);
        test::Save(MaskFor(Marks::Band).get(), masks / page.filename());
        if (std::string(stored.name) == "truncated") DamageLastStrip(page, TIFFTAG_STRIPOFFSETS);
        if (std::string(stored.name) != "CMYK") {
            EXPECT_EQ(Copy(page, {}, masks / page.filename(), dir.Path() / "out.tif"),
                      StripCopyOutcome::NotTaken);
            EXPECT_EQ(fs::file_size(dir.Path() / "out.tif"), 0u);
        }
    }
    // A copied layout too, so that both ways run in one job.
    WritePage(book / "plain.tif", kCopied[9], 4);
    test::Save(MaskFor(Marks::Band).get(), masks / "plain.tif");
    // And one whose mask is damaged (a strip past the end of the file): the mask's own message, as ever.
    WritePage(book / "plain2.tif", kCopied[9], 5);
    WritePage(masks / "plain2.tif", {.name = "mask", .bits = 1}, 6, kWidth + 3, kHeight + 2);
    DamageLastStrip(masks / "plain2.tif", TIFFTAG_STRIPOFFSETS);

    CScanList list;
    TextHolder input, output;
    ScanFolder(book.string(), list, input, output, kPicsSubfolder);
    RecordingSink sink;
    CreateBackSubscans(list, input.GetText(), output.GetText(), sink);
    const std::vector<std::string> expected = {
        "File \"" + (masks / "plain2.tif").string() + "\" is truncated or damaged.",
        "File \"" + (book / "truncated.tif").string() + "\" is truncated or damaged.", "Processing ended."};
    EXPECT_EQ(sink.Texts(), expected);
    for (const auto& entry : fs::directory_iterator(book)) {
        const std::string name = entry.path().filename().string();
        if (!entry.is_regular_file() || name == "truncated.tif" || name == "plain2.tif") continue;
        const fs::path today = dir.Path() / "today.tif";
        Decoded(entry.path(), {}, masks / entry.path().filename(), today);
        ExpectSameImage(today, book / "pics" / entry.path().filename(), entry.path().filename().string());
    }
    // The copied page kept its coding (uncompressed, a row a strip), where FreeImage writes LZW.
    TIFF* tiff = TIFFOpen((book / "pics" / "plain.tif").c_str(), "r");
    ASSERT_NE(tiff, nullptr);
    std::uint16_t compression = 0;
    TIFFGetField(tiff, TIFFTAG_COMPRESSION, &compression);
    EXPECT_EQ(compression, COMPRESSION_NONE);
    TIFFClose(tiff);
}

// Overwrites bytes of unit k of the TIFF at `path` with `with`, from `from` bytes into its stored data (from
// its middle when `from` is negative); a single byte overwrites every byte from there to the unit's end.
void DamageUnit(const fs::path& path, std::uint32_t k, long from, const std::string& with) {
    TIFF* tiff = TIFFOpen(path.c_str(), "r");
    ASSERT_NE(tiff, nullptr);
    const std::uint64_t offset = TIFFGetStrileOffset(tiff, k), count = TIFFGetStrileByteCount(tiff, k);
    TIFFClose(tiff);
    std::string bytes = test::Slurp(path);
    const std::uint64_t at = offset + (from < 0 ? count / 2 : static_cast<std::uint64_t>(from));
    const std::string put = with.size() == 1 ? std::string(offset + count - at, with[0]) : with;
    ASSERT_LE(at + put.size(), offset + count);
    bytes.replace(at, put.size(), put);
    test::WriteFile(path, bytes);
}

// A page of each coding whose strips are copied when the mask marks nothing, and damage inside one of its
// strips that its decoder in libtiff finds: codes past the LZW table, a broken Deflate block, PackBits runs
// that stop short (no-ops only), zeros or alternating bits where G3 and G4 code words belong (bad code
// words, lines of the wrong length), and a marker inside JPEG scan data.
struct DamagedPage {
    Stored stored;
    long from;
    std::string with;
};

const DamagedPage kDamaged[] = {
    {{.name = "lzw", .compression = COMPRESSION_LZW}, 2, std::string(16, '\xFF')},
    {{.name = "lzw-rgb-predictor",
      .samples = 3,
      .photometric = PHOTOMETRIC_RGB,
      .compression = COMPRESSION_LZW,
      .predictor = PREDICTOR_HORIZONTAL,
      .rowsPerStrip = 0},
     2,
     std::string(16, '\xFF')},
    {{.name = "deflate", .compression = COMPRESSION_DEFLATE}, -1, std::string(8, '\x55')},
    {{.name = "packbits", .compression = COMPRESSION_PACKBITS}, 0, "\x80"},
    {{.name = "g4", .bits = 1, .photometric = PHOTOMETRIC_MINISWHITE, .compression = COMPRESSION_CCITTFAX4},
     -1,
     std::string(8, '\0')},
    {{.name = "g3-1d", .bits = 1, .compression = COMPRESSION_CCITTFAX3}, -1, std::string(8, '\0')},
    {{.name = "g3-2d",
      .bits = 1,
      .compression = COMPRESSION_CCITTFAX3,
      .faxOptions = GROUP3OPT_2DENCODING | GROUP3OPT_FILLBITS},
     -1,
     std::string(8, '\xAA')},
    {{.name = "jpeg", .compression = COMPRESSION_JPEG, .rowsPerStrip = 16}, -1, "\xFF\xD9"},
};

// A book of those pages, each clean and damaged, with empty masks: every damaged page is named as damaged
// and nothing of it is written (where the decoding path would name it, or write the G4 and JPEG pages
// whole); the clean ones are written as the decoding path writes them. In a merge, whose copied strips are
// the back subscan's, a damaged back subscan is named.
TEST(StripCopyTest, DamageInsideACopiedStripNamesItsFile) {
    TempDir dir;
    const fs::path book = dir.Path() / "book", book2 = dir.Path() / "book2";
    const fs::path masks = book / "cache" / "automask";
    std::vector<std::string> expected;
    for (const DamagedPage& page : kDamaged) {
        for (const char* kind : {"clean", "damaged"}) {
            const std::string name = std::string(page.stored.name) + "-" + kind + ".tif";
            WritePage(book / name, page.stored, 7);
            WritePage(book2 / name, page.stored, 8);
            test::Save(MaskFor(Marks::None).get(), masks / name);
            if (std::string(kind) == "clean") continue;
            DamageUnit(book / name, 1, page.from, page.with);
            expected.push_back("File \"" + (book / name).string() + "\" is truncated or damaged.");
        }
    }
    std::sort(expected.begin(), expected.end());
    expected.push_back("Processing ended.");
    CScanList list, list2;
    TextHolder input, output, input2, output2;
    ScanFolder(book.string(), list, input, output, kPicsSubfolder);
    RecordingSink sink;
    CreateBackSubscans(list, input.GetText(), output.GetText(), sink);
    EXPECT_EQ(sink.Texts(), expected);
    for (const DamagedPage& page : kDamaged) {
        const std::string name = std::string(page.stored.name) + "-";
        EXPECT_FALSE(fs::exists(book / "pics" / (name + "damaged.tif"))) << name;
        const fs::path today = dir.Path() / "today.tif";
        Decoded(book / (name + "clean.tif"), {}, masks / (name + "clean.tif"), today);
        ExpectSameImage(today, book / "pics" / (name + "clean.tif"), name);
    }

    // The LZW page's back subscan, copied from it, damaged as the page was (the damaged pages have none).
    const fs::path back = book / "pics" / "lzw-clean.tif";
    DamageUnit(back, 1, kDamaged[0].from, kDamaged[0].with);
    expected = {"File \"" + back.string() + "\" is truncated or damaged."};
    for (const DamagedPage& page : kDamaged) {
        const fs::path missing = book / "pics" / (std::string(page.stored.name) + "-damaged.tif");
        expected.push_back("File \"" + missing.string() + "\" not found.");
    }
    std::sort(expected.begin(), expected.end());
    expected.push_back("Processing ended.");
    ScanFolder(book2.string(), list2, input2, output2, kNewScansSubfolder);
    RecordingSink mergeSink;
    MergeSubscans(list, list2, input.GetText(), output.GetText(), output2.GetText(), mergeSink);
    EXPECT_EQ(mergeSink.Texts(), expected);
}

}  // namespace
}  // namespace orfeo
