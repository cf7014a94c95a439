#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "protocol/Messages.h"
#include "run/BackSubscans.h"
#include "run/DryRun.h"
#include "run/MergeSubscans.h"
#include "scan/FolderScan.h"
#include "scan/Paths.h"
#include "tests/support/Files.h"
#include "tests/support/Fixtures.h"
#include "worker/ImageLoad.h"

namespace orfeo {
namespace {

namespace fs = std::filesystem;
using test::RecordingSink;
using test::TempDir;

void Put16(std::string& out, unsigned value) {
    out += static_cast<char>(value & 0xFF);
    out += static_cast<char>((value >> 8) & 0xFF);
}

void Put32(std::string& out, std::uint32_t value) {
    Put16(out, value & 0xFFFF);
    Put16(out, value >> 16);
}

// The start of a little-endian TIFF: the header and one directory of 9 LONG tags, 8-bit grey, one strip.
std::string TiffDirectory(std::uint32_t width, std::uint32_t height, std::uint32_t stripOffset,
                          std::uint32_t stripBytes) {
    std::string tiff = "II*";
    tiff += '\0';
    Put32(tiff, 8);
    const std::pair<unsigned, std::uint32_t> tags[] = {{256, width}, {257, height}, {258, 8},
                                                       {259, 1},     {262, 1},      {273, stripOffset},
                                                       {277, 1},     {278, height}, {279, stripBytes}};
    Put16(tiff, std::size(tags));
    for (const auto& [tag, value] : tags) {
        Put16(tiff, tag);
        Put16(tiff, 4);  // LONG
        Put32(tiff, 1);
        Put32(tiff, value);
    }
    Put32(tiff, 0);
    return tiff;
}

// A TIFF with its directory first, as scanners write them: `width` x `height` 8-bit grey in one
// uncompressed strip right after the directory, the pixel at byte i of the strip i % 251.
std::string TiffWithDirectoryFirst(std::uint32_t width, std::uint32_t height) {
    std::string tiff = TiffDirectory(width, height, 8 + 2 + 9 * 12 + 4, width * height);
    for (std::uint32_t i = 0; i < width * height; ++i) tiff += static_cast<char>(i % 251);
    return tiff;
}

// Files of a few hundred bytes that declare 60000 x 60000 pixels (3.6 gigabytes at 8 bits).
std::string TiffBomb() {
    std::string tiff = TiffDirectory(60000, 60000, 200, 16);
    tiff.resize(216, '\x7f');
    return tiff;
}

std::string BmpBomb() {
    std::string bmp = "BM";
    Put32(bmp, 14 + 40 + 1024 + 16);
    Put32(bmp, 0);
    Put32(bmp, 14 + 40 + 1024);
    Put32(bmp, 40);
    Put32(bmp, 60000);
    Put32(bmp, 60000);
    Put16(bmp, 1);
    Put16(bmp, 8);
    for (int i = 0; i < 6; ++i) Put32(bmp, 0);
    bmp.resize(14 + 40 + 1024 + 16, '\0');
    return bmp;
}

std::string GifBomb() {
    std::string gif = "GIF89a";
    Put16(gif, 65535);
    Put16(gif, 65535);
    gif += std::string("\x80\x00\x00", 3) + std::string(6, '\0') + ",";
    Put16(gif, 0);
    Put16(gif, 0);
    Put16(gif, 65535);
    Put16(gif, 65535);
    gif += std::string("\x00\x08\x02\x4c\x01\x00\x3b", 7);
    return gif;
}

BatchResult RunJob(const fs::path& folder, const fs::path* folder2, IMessageSink& sink) {
    CScanList list1, list2;
    TextHolder input, output, input2, output2;
    ScanFolder(folder.string(), list1, input, output, kPicsSubfolder);
    if (!folder2) return CreateBackSubscans(list1, input.GetText(), output.GetText(), sink);
    ScanFolder(folder2->string(), list2, input2, output2, kNewScansSubfolder);
    return MergeSubscans(list1, list2, input.GetText(), output.GetText(), output2.GetText(), sink);
}

// 176 bytes of DirectDraw Surface that declare 30000 x 30000 pixels of 24-bit colour.
std::string DdsBomb() {
    std::string dds = "DDS ";
    for (std::uint32_t field : {124u, 0x1007u, 30000u, 30000u}) Put32(dds, field);
    dds += std::string(4 * 14, '\0');  // pitch, depth, mipmaps, reserved
    for (std::uint32_t field : {32u, 0x40u, 0u, 24u, 0xFF0000u, 0xFF00u, 0xFFu, 0u, 0x1000u})
        Put32(dds, field);
    dds += std::string(176 - dds.size(), '\x7F');
    return dds;
}

TEST(HardInputs, DecompressionBombsAreRefusedBeforeDecodingAndTheRestGoesOn) {
    TempDir dir;
    const fs::path book = dir.Path() / "book";
    const auto good = test::MakeImage(16, 4, 8, [](unsigned x, unsigned) { return x; });
    const auto mask = test::MakeMask(16, 4, [](unsigned x, unsigned) { return x < 4; });
    test::Save(good.get(), book / "a_good.tif");
    test::Save(mask.get(), book / "cache" / "automask" / "a_good.tif");
    test::WriteFile(book / "b_tiff.tif", TiffBomb());
    test::WriteFile(book / "c_bmp.bmp", BmpBomb());
    test::WriteFile(book / "d_gif.gif", GifBomb());
    test::WriteFile(book / "e_pnm.pgm", "P5\n60000 60000\n255\n" + std::string(64, '\x10'));
    // A format whose decoder FreeImage has but Orfeo never runs; this one cannot be measured from its header.
    test::WriteFile(book / "g_dds.tif", DdsBomb());
    for (const char* name : {"b_tiff.tif", "c_bmp.bmp", "d_gif.gif", "e_pnm.pgm", "g_dds.tif"}) {
        test::Save(mask.get(), book / "cache" / "automask" / name);
    }
    // A mask can be a bomb too.
    test::Save(good.get(), book / "f_page.tif");
    test::WriteFile(book / "cache" / "automask" / "f_page.tif", TiffBomb());

    CScanList list;
    TextHolder input, output;
    ScanFolder(book.string(), list, input, output, kPicsSubfolder);
    RecordingSink sink;
    const BatchResult result = CreateBackSubscans(list, input.GetText(), output.GetText(), sink);
    const std::string folder = input.GetText();
    auto tooLarge = [](const std::string& path, const char* size) {
        return "File \"" + path + "\" is too large: " + size + " pixels, more than 600 megapixels.";
    };
    EXPECT_EQ(sink.Texts(), (std::vector<std::string>{
                                tooLarge(folder + "b_tiff.tif", "60000 x 60000"),
                                tooLarge(folder + "c_bmp.bmp", "60000 x 60000"),
                                tooLarge(folder + "d_gif.gif", "65535 x 65535"),
                                tooLarge(folder + "e_pnm.pgm", "60000 x 60000"),
                                tooLarge(folder + "cache/automask/f_page.tif", "60000 x 60000"),
                                UnlistedFormatMessage(folder + "g_dds.tif", "DDS"),
                                "Processing ended.",
                            }));
    EXPECT_EQ(result.written, 1u);
    EXPECT_TRUE(fs::exists(book / "pics" / "a_good.tif"));
}

// Strips and tiles that would decode into far more than their image, which the loader allocates whole before
// it reads them: refused from the file's header ("cannot be read"), as pages and as masks, by the run and by
// its dry run alike. The strip and tile layouts that writers use go through, pixel for pixel.
TEST(HardInputs, StripsAndTilesFarLargerThanTheirImageAreRefusedBeforeDecoding) {
    struct Case {
        const char* what;
        unsigned width, height;
        test::TiffLayout layout;
        bool refused;
    };
    // FreeImage also decodes a thumbnail beside the image, even for its header: a SubIFD, or the second image
    // when the first has an Exif directory.
    const test::TiffLayout thumbnail{.thumbnailWidth = 16, .thumbnailHeight = 16};
    const test::TiffLayout hugeTileThumbnail{
        .thumbnailWidth = 100, .thumbnailHeight = 100, .thumbnailTile = 65536};
    const test::TiffLayout largeThumbnail{
        .thumbnailWidth = 30016, .thumbnailHeight = 30016, .thumbnailTile = 30016};
    const auto besideExif = [](test::TiffLayout layout) {
        layout.exif = true;
        return layout;
    };
    const Case cases[] = {
        {"a strip of more rows than the image", 40, 10, {.rowsPerStrip = 1000}, false},
        {"RowsPerStrip 2^32 - 1", 40, 10, {}, false},
        {"strips of 3 rows", 40, 10, {.rowsPerStrip = 3}, false},
        {"YCbCr subsampled 2 x 2 at an odd size", 5, 3, {.ycbcr = true}, false},
        {"16 x 16 tiles", 40, 37, {.tileWidth = 16, .tileLength = 16}, false},
        {"256 x 256 tiles on 10 x 10 (tiffcp -t)", 10, 10, {.tileWidth = 256, .tileLength = 256}, false},
        {"a 1024 x 1024 tile on 100 x 100", 100, 100, {.tileWidth = 1024, .tileLength = 1024}, false},
        {"a tile of the image rounded up to 16", 1100, 1030, {.tileWidth = 1104, .tileLength = 1040}, false},
        {"a tile 16 columns wider", 1100, 1030, {.tileWidth = 1120, .tileLength = 1040}, true},
        {"a 2048 x 1024 tile on 100 x 100", 100, 100, {.tileWidth = 2048, .tileLength = 1024}, true},
        {"a 65536 x 65536 tile on 100 x 100", 100, 100, {.tileWidth = 65536, .tileLength = 65536}, true},
        {"a thumbnail", 100, 100, thumbnail, false},
        {"a thumbnail beside Exif", 100, 100, besideExif(thumbnail), false},
        {"a 65536 x 65536 tile in a thumbnail", 100, 100, hugeTileThumbnail, true},
        {"a 65536 x 65536 tile in a thumbnail beside Exif", 100, 100, besideExif(hugeTileThumbnail), true},
        {"a thumbnail past the megapixel limit", 100, 100, largeThumbnail, true},
    };
    const auto value = [](unsigned x, unsigned y) {
        return static_cast<std::uint8_t>((x * 7 + y * 13) % 251);
    };
    const auto marked = [](unsigned x, unsigned y) { return (x + 2 * y) % 5 == 0; };
    const auto name = [](std::size_t i) { return "p" + std::to_string(10 + i) + ".tif"; };
    for (const bool asMasks : {false, true}) {
        SCOPED_TRACE(asMasks ? "as masks" : "as pages");
        TempDir dir;
        const fs::path book = dir.Path() / "book", masks = book / "cache" / "automask";
        for (std::size_t i = 0; i < std::size(cases); ++i) {
            const Case& c = cases[i];
            test::WriteGreyTiff((asMasks ? masks : book) / name(i), c.width, c.height, c.layout, value);
            if (asMasks) {
                test::Save(
                    test::MakeImage(c.width, c.height, 8, [](unsigned x, unsigned) { return x % 256; }).get(),
                    book / name(i));
            } else {
                test::Save(test::MakeMask(c.width, c.height, marked).get(), masks / name(i));
            }
        }
        CScanList list;
        TextHolder input, output;
        ScanFolder(book.string(), list, input, output, kPicsSubfolder);
        std::vector<std::string> said;
        for (std::size_t i = 0; i < std::size(cases); ++i) {
            const std::string path = input.GetText() + (asMasks ? "cache/automask/" : "") + name(i);
            if (cases[i].refused) said.push_back(CannotReadMessage(path));
            if (!cases[i].refused && asMasks) said.push_back(MaskNotOneBitMessage(path));
        }
        EXPECT_EQ(PlanBackSubscans(list, input.GetText(), output.GetText()).Messages(), said);
        RecordingSink sink;
        CreateBackSubscans(list, input.GetText(), output.GetText(), sink);
        said.push_back(ProcessingEndedMessage());
        EXPECT_EQ(sink.Texts(), said);
        for (std::size_t i = 0; i < std::size(cases) && !asMasks; ++i) {
            const Case& c = cases[i];
            SCOPED_TRACE(c.what);
            const ImagePtr back = test::Load(book / "pics" / name(i));
            ASSERT_EQ(!back, c.refused);
            const unsigned bpp = back ? FreeImage_GetBPP(back.get()) : 0;
            for (unsigned y = 0; y < c.height && back; ++y) {
                for (unsigned x = 0; x < c.width; ++x) {
                    const std::uint64_t grey = value(x, c.height - 1 - y) * (bpp == 24 ? 0x010101u : 1u);
                    ASSERT_EQ(test::GetPixel(back.get(), x, y), marked(x, y) ? (1u << bpp) - 1 : grey)
                        << x << "," << y;
                }
            }
        }
    }
    // The megapixel limit bounds a tile too, where the image is well within it.
    TempDir dir;
    test::WriteGreyTiff(dir.Path() / "p.tif", 100, 100, {.tileWidth = 1024, .tileLength = 1024}, value);
    RecordingSink sink;
    EXPECT_TRUE(LoadImageFile(dir.Folder() + "p.tif", sink, 1.1));
    EXPECT_FALSE(LoadImageFile(dir.Folder() + "p.tif", sink, 1.0));
    EXPECT_EQ(sink.Texts(), std::vector<std::string>{CannotReadMessage(dir.Folder() + "p.tif")});
}

// FreeImage decodes a GIF's first frame, whatever its logical screen says.
TEST(HardInputs, AGifIsMeasuredByTheFrameThatIsDecoded) {
    TempDir dir;
    std::string gif = "GIF89a";
    Put16(gif, 1);
    Put16(gif, 1);
    gif += std::string("\x00\x00\x00", 3);
    gif += std::string(
        "\x21\xFE\x03"
        "abc\x00",
        7);  // a comment before the frame
    gif += ",";
    Put16(gif, 0);
    Put16(gif, 0);
    Put16(gif, 30000);
    Put16(gif, 30000);
    gif += std::string("\x00\x08\x02\x4c\x01\x00\x3b", 7);
    test::WriteFile(dir.Path() / "p.gif", gif);
    RecordingSink sink;
    EXPECT_FALSE(LoadImageFile(dir.Folder() + "p.gif", sink));
    EXPECT_EQ(sink.Texts(), std::vector<std::string>{
                                "File \"" + dir.Folder() +
                                "p.gif\" is too large: 30000 x 30000 pixels, more than 600 megapixels."});
}

// A file cut short is named, whatever its format; none is written half grey.
TEST(HardInputs, TruncatedFilesAreNamedAndNotUsed) {
    TempDir dir;
    const auto grey =
        test::MakeImage(300, 200, 8, [](unsigned x, unsigned y) { return (x * y + 7 * y) % 251; });
    const ImagePtr colour(FreeImage_ConvertTo24Bits(grey.get()));
    const auto bitonal = test::MakeMask(300, 200, [](unsigned x, unsigned y) { return (x * y) % 7 < 3; });
    const struct {
        const char* name;
        FIBITMAP* image;
        FREE_IMAGE_FORMAT format;
        const char* says;
    } cases[] = {
        {"p.jpg", colour.get(), FIF_JPEG, "is truncated or damaged."},
        {"p.pgm", grey.get(), FIF_PGMRAW, "is truncated or damaged."},
        {"p.ppm", colour.get(), FIF_PPMRAW, "is truncated or damaged."},
        {"p.pbm", bitonal.get(), FIF_PBMRAW, "is truncated or damaged."},
        {"p8.bmp", grey.get(), FIF_BMP, "cannot be read."},
        {"p24.bmp", colour.get(), FIF_BMP, "is truncated or damaged."},
        {"p.gif", grey.get(), FIF_GIF, "cannot be read."},
        {"p.tif", grey.get(), FIF_TIFF, "cannot be read."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path path = dir.Path() / c.name;
        test::Save(c.image, path, c.format);
        RecordingSink sink;
        EXPECT_TRUE(LoadImageFile(path.string(), sink));
        fs::resize_file(path, fs::file_size(path) * 7 / 10);
        EXPECT_FALSE(LoadImageFile(path.string(), sink));
        EXPECT_EQ(sink.Texts(), std::vector<std::string>{"File \"" + path.string() + "\" " + c.says});
    }
}

// A TIFF whose strip is cut short: libtiff's "Read error on strip" is damage, checked against a real file
// of that layout, whole and cut.
TEST(HardInputs, ATiffStripCutShortIsNamed) {
    TempDir dir;
    const std::string whole = TiffWithDirectoryFirst(64, 32);
    test::WriteFile(dir.Path() / "whole.tif", whole);
    test::WriteFile(dir.Path() / "cut.tif", whole.substr(0, whole.size() - 1000));
    RecordingSink sink;
    const ImagePtr image = LoadImageFile(dir.Folder() + "whole.tif", sink);
    ASSERT_TRUE(image);
    EXPECT_EQ(test::GetPixel(image.get(), 5, 31), 5u);  // the top row, first in the file
    EXPECT_FALSE(LoadImageFile(dir.Folder() + "cut.tif", sink));
    EXPECT_EQ(sink.Texts(), std::vector<std::string>{DamagedMessage(dir.Folder() + "cut.tif")});
}

// Damage inside a CCITT or JPEG strip: libtiff's fax decoder goes on past a bad code word or a line of the
// wrong length, and libjpeg past corrupt data, and they say so only as warnings, which name the page; a
// clean page, G3, G4 or JPEG, says nothing.
TEST(HardInputs, DamageInsideAFaxOrJpegStripIsNamed) {
    TempDir dir;
    const auto bitonal = test::MakeImage(400, 300, 1, [](unsigned x, unsigned y) {
        return ((x / 7 + y / 5) % 3 == 0) != (test::Mix(x * 300 + y) % 17 == 0);
    });
    const auto grey = test::MakeImage(400, 300, 8, [](unsigned x, unsigned y) { return (x * y) % 251; });
    for (const char* name : {"g4.tif", "g3.tif", "jpeg.tif"}) {
        const fs::path clean = dir.Path() / name;
        const bool jpeg = name[0] == 'j';
        const auto& page = jpeg ? grey : bitonal;
        ASSERT_TRUE(FreeImage_Save(FIF_TIFF, page.get(), clean.c_str(),
                                   jpeg             ? TIFF_JPEG
                                   : name[1] == '4' ? TIFF_CCITTFAX4
                                                    : TIFF_CCITTFAX3));
        RecordingSink quiet;
        const ImagePtr loaded = LoadImageFile(clean.string(), quiet);
        ASSERT_TRUE(loaded) << name;
        EXPECT_TRUE(jpeg || test::SamePixels(loaded.get(), page.get())) << name;
        EXPECT_TRUE(quiet.Texts().empty()) << name;
        // FreeImage writes the strip first, after the 8-byte header.
        const std::string bytes = test::Slurp(clean);
        for (const bool scattered : {true, false}) {
            // (JPEG's codes have no redundancy: this page's run decodes to wrong pixels without a word.)
            if (jpeg && !scattered) continue;
            std::string damaged = bytes;
            for (unsigned i = 0; i < 64; ++i) {
                const std::size_t at =
                    scattered ? 8 + test::Mix(i + 7) % (bytes.size() / 2) : 8 + bytes.size() / 4 + i;
                damaged[at] = static_cast<char>(damaged[at] ^ (0x55 + i));
            }
            const fs::path path = dir.Path() / (std::string(scattered ? "scattered-" : "run-") + name);
            test::WriteFile(path, damaged);
            RecordingSink sink;
            EXPECT_FALSE(LoadImageFile(path.string(), sink)) << path;
            EXPECT_EQ(sink.Texts(), std::vector<std::string>{DamagedMessage(path.string())});
        }
    }
}

// A JPEG is refused only when its pixels are incomplete or wrong, not for libjpeg's warnings about bytes
// outside the scan data, which real files from cameras and editors carry.
TEST(HardInputs, JpegsAreRefusedForBrokenPixelsOnly) {
    TempDir dir;
    const auto grey =
        test::MakeImage(300, 200, 8, [](unsigned x, unsigned y) { return (x * y + 7 * y) % 251; });
    const ImagePtr colour(FreeImage_ConvertTo24Bits(grey.get()));
    const fs::path original = dir.Path() / "original.jpg";
    test::Save(colour.get(), original, FIF_JPEG);
    const std::string bytes = test::Slurp(original);
    const std::size_t quantisation = bytes.find("\xFF\xDB"), scan = bytes.find("\xFF\xDA"),
                      end = bytes.rfind("\xFF\xD9");
    ASSERT_TRUE(quantisation != std::string::npos && scan != std::string::npos && end != std::string::npos);
    const std::size_t middle = scan + (end - scan) / 2;
    const ImagePtr whole = test::Load(original);
    struct Case {
        const char* name;
        std::string bytes;
        bool damaged;
    };
    const Case cases[] = {
        {"junk-between-segments.jpg", std::string(bytes).insert(quantisation, "abc"), false},
        {"junk-before-the-end.jpg", std::string(bytes).insert(end, "abc"), false},
        {"restart-marker-mid-scan.jpg", std::string(bytes).replace(middle, 2, "\xFF\xD3"), true},
        {"segment-mid-scan.jpg", std::string(bytes).replace(middle, 2, "\xFF\xE1"), true},
        {"junk-then-restart-marker.jpg", std::string(bytes).replace(middle, 5, "abc\xFF\xD3"), true},
        {"cut-short.jpg", bytes.substr(0, bytes.size() * 7 / 10), true},
    };
    // With restart markers, as some cameras and scanners write: stray bytes before one of them ("extraneous
    // bytes before marker 0xd3") come with pixels that differ from the whole file's, and a missing marker
    // too: both are damage.
    const std::string restarts = test::JpegWithRestarts(300, 200);
    const std::size_t marker = restarts.find("\xFF\xD3", restarts.find("\xFF\xDA"));
    ASSERT_NE(marker, std::string::npos);
    test::WriteFile(dir.Path() / "restarts.jpg", restarts);
    const ImagePtr wholeRestarts = test::Load(dir.Path() / "restarts.jpg");
    ASSERT_TRUE(wholeRestarts);
    const Case withRestarts[] = {
        {"junk-before-a-restart-marker.jpg", std::string(restarts).insert(marker, std::string(20, 'a')),
         true},
        {"a-restart-marker-missing.jpg", std::string(restarts).erase(marker, 2), true},
    };
    for (const Case& c : withRestarts) {
        SCOPED_TRACE(c.name);
        const fs::path path = dir.Path() / c.name;
        test::WriteFile(path, c.bytes);
        RecordingSink sink;
        const ImagePtr image = LoadImageFile(path.string(), sink);
        EXPECT_EQ(!image, c.damaged);
        if (image) {
            EXPECT_TRUE(test::SamePixels(image.get(), wholeRestarts.get()));
        }
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path path = dir.Path() / c.name;
        test::WriteFile(path, c.bytes);
        RecordingSink sink;
        const ImagePtr image = LoadImageFile(path.string(), sink);
        if (c.damaged) {
            EXPECT_FALSE(image);
            EXPECT_EQ(sink.Texts(), std::vector<std::string>{DamagedMessage(path.string())});
        } else {
            ASSERT_TRUE(image);
            EXPECT_TRUE(test::SamePixels(image.get(), whole.get()));
            EXPECT_EQ(sink.Texts(), std::vector<std::string>{});
        }
    }
}

// FIFOs, sockets and devices named like pages or masks are named and skipped; none blocks the run.
TEST(HardInputs, EntriesThatAreNotRegularFilesAreNamedWithoutBlocking) {
    TempDir dir;
    const fs::path book = dir.Path() / "book", masks = book / "cache" / "automask";
    const auto page = test::MakeImage(16, 4, 8, [](unsigned x, unsigned) { return x; });
    const auto mask = test::MakeMask(16, 4, [](unsigned x, unsigned) { return x < 4; });
    for (const char* name :
         {"a_fifo.tif", "b_device.tif", "c_good.tif", "d_fifo_mask.tif", "e_device_mask.tif"}) {
        test::Save(page.get(), book / name);
        test::Save(mask.get(), masks / name);
    }
    fs::remove(book / "a_fifo.tif");
    ASSERT_EQ(mkfifo((book / "a_fifo.tif").c_str(), 0644), 0);
    fs::remove(book / "b_device.tif");
    fs::create_symlink("/dev/zero", book / "b_device.tif");
    fs::remove(masks / "d_fifo_mask.tif");
    ASSERT_EQ(mkfifo((masks / "d_fifo_mask.tif").c_str(), 0644), 0);
    fs::remove(masks / "e_device_mask.tif");
    fs::create_symlink("/dev/zero", masks / "e_device_mask.tif");

    RecordingSink sink;
    const BatchResult result = RunJob(book, nullptr, sink);
    const std::string folder = book.string() + "/";
    auto notRegular = [](const std::string& path) { return "File \"" + path + "\" is not a regular file."; };
    EXPECT_EQ(sink.Texts(), (std::vector<std::string>{
                                notRegular(folder + "a_fifo.tif"),
                                notRegular(folder + "b_device.tif"),
                                notRegular(folder + "cache/automask/d_fifo_mask.tif"),
                                notRegular(folder + "cache/automask/e_device_mask.tif"),
                                "Processing ended.",
                            }));
    EXPECT_EQ(result.written, 1u);
}

// Paths of any length the file system takes, and names up to its limit, whatever Orfeo adds to them.
TEST(HardInputs, LongPathsAndLongNamesWork) {
    TempDir dir;
    fs::path book = dir.Path();
    while (book.string().size() < 3000) book /= std::string(200, 'd');
    const std::string longName = std::string(251, 'n') + ".tif";  // 255 bytes, the usual limit
    const auto page = test::MakeImage(16, 4, 8, [](unsigned x, unsigned) { return x; });
    const auto mask = test::MakeMask(16, 4, [](unsigned x, unsigned) { return x < 4; });
    test::Save(page.get(), book / longName);
    test::Save(mask.get(), book / "cache" / "automask" / longName);
    test::Save(page.get(), book / "p_without_mask.tif");

    RecordingSink sink;
    const BatchResult result = RunJob(book, nullptr, sink);
    EXPECT_EQ(sink.Texts(), (std::vector<std::string>{
                                "File \"" + book.string() + "/cache/automask/p_without_mask.tif\" not found.",
                                "Processing ended.",
                            }));
    EXPECT_EQ(result.written, 1u);
    EXPECT_TRUE(fs::exists(book / "pics" / longName));
}

// A mask whose path passes the system's limit (4096 bytes), beside a page whose path does not: the mask is
// named with the reason, not as a file that merely does not read.
TEST(HardInputs, AMaskPastThePathLimitIsNamedWithTheReason) {
    TempDir dir;
    fs::path book = dir.Path();
    while (book.string().size() + 200 < 4075) book /= std::string(200, 'd');
    book /= std::string(4075 - book.string().size() - 1, 'b');
    ASSERT_EQ(book.string().size(), 4075u);
    const auto page = test::MakeImage(16, 4, 8, [](unsigned x, unsigned) { return x; });
    const auto mask = test::MakeMask(16, 4, [](unsigned x, unsigned) { return x < 4; });
    test::Save(page.get(), book / "p.tif");
    fs::create_directories(book / "cache" / "automask");
    // Made from inside its folder: the whole path is too long to be given.
    const fs::path here = fs::current_path();
    fs::current_path(book / "cache" / "automask");
    ASSERT_TRUE(FreeImage_Save(FIF_TIFF, mask.get(), "p.tif", 0));
    fs::current_path(here);

    RecordingSink sink;
    const BatchResult result = RunJob(book, nullptr, sink);
    EXPECT_EQ(sink.Texts(), (std::vector<std::string>{
                                CannotReadMessage(book.string() + "/cache/automask/p.tif", ENAMETOOLONG),
                                ProcessingEndedMessage(),
                            }));
    EXPECT_EQ(result.written, 0u);
}

TEST(HardInputs, TheLimitIsTheCallersToSet) {
    TempDir dir;
    const auto page = test::MakeImage(2000, 1000, 8, [](unsigned x, unsigned) { return x; });
    test::Save(page.get(), dir.Path() / "p.tif");
    RecordingSink sink;
    EXPECT_TRUE(LoadImageFile(dir.Folder() + "p.tif", sink, 2.0));
    EXPECT_FALSE(LoadImageFile(dir.Folder() + "p.tif", sink, 1.5));
    EXPECT_EQ(sink.Texts(), std::vector<std::string>{
                                "File \"" + dir.Folder() +
                                "p.tif\" is too large: 2000 x 1000 pixels, more than 1.5 megapixels."});
}

// Whatever links lie between the folders given, a run never deletes or overwrites one of its inputs, nor
// anything outside its real output folder: such a run is refused before it touches anything.
TEST(HardInputs, ARunThatWouldDestroyItsInputsOrLeaveItsFolderIsRefused) {
    struct Case {
        const char* what;
        std::function<void(const fs::path& root)> arrange;
        const char* folder;
        const char* folder2;  // null for a back run
        const char* message;  // with ROOT for the scratch folder
    };
    const Case cases[] = {
        {"pics is a link to the book",
         [](const fs::path& r) { fs::create_directory_symlink(".", r / "book/pics"); }, "book", nullptr,
         "Output folder \"ROOT/book/pics/\" is a link; Orfeo writes only into a real folder."},
        {"pics is a link to the masks",
         [](const fs::path& r) { fs::create_directory_symlink("cache/automask", r / "book/pics"); }, "book",
         nullptr, "Output folder \"ROOT/book/pics/\" is a link; Orfeo writes only into a real folder."},
        {"pics is a link to the user's files",
         [](const fs::path& r) { fs::create_directory_symlink("../mine", r / "book/pics"); }, "book", nullptr,
         "Output folder \"ROOT/book/pics/\" is a link; Orfeo writes only into a real folder."},
        {"new_scans is a link to folder 1",
         [](const fs::path& r) { fs::create_directory_symlink("../book", r / "book2/new_scans"); }, "book",
         "book2", "Output folder \"ROOT/book2/new_scans/\" is a link; Orfeo writes only into a real folder."},
        {"folder 1 is the merge's output",
         [](const fs::path& r) { fs::copy(r / "book", r / "book2/new_scans", fs::copy_options::recursive); },
         "book2/new_scans", "book2",
         "File \"ROOT/book2/new_scans/p1.tif\" lies in the output folder \"ROOT/book2/new_scans/\", which "
         "the run empties."},
        {"a page is a link into pics",
         [](const fs::path& r) {
             fs::create_directory(r / "book/pics");
             fs::rename(r / "book/p2.tif", r / "book/pics/p2.tif");
             fs::create_symlink("pics/p2.tif", r / "book/p2.tif");
         },
         "book", nullptr,
         "File \"ROOT/book/p2.tif\" lies in the output folder \"ROOT/book/pics/\", which the run empties."},
        {"the mask folder is pics by another path",
         [](const fs::path& r) {
             fs::rename(r / "book/cache/automask", r / "book/pics");
             fs::create_directory_symlink("../pics", r / "book/cache/automask");
         },
         "book", nullptr,
         "File \"ROOT/book/cache/automask/p1.tif\" lies in the output folder \"ROOT/book/pics/\", which the "
         "run "
         "empties."},
    };
    const auto page = test::MakeImage(16, 4, 8, [](unsigned x, unsigned) { return x; });
    const auto mask = test::MakeMask(16, 4, [](unsigned x, unsigned) { return x < 4; });
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const fs::path& root = dir.Path();
        for (const char* name : {"p1.tif", "p2.tif"}) {
            test::Save(page.get(), root / "book" / name);
            test::Save(mask.get(), root / "book/cache/automask" / name);
            test::Save(page.get(), root / "book2" / name);
        }
        test::WriteFile(root / "mine" / "letter.txt", "mine");
        c.arrange(root);
        const auto before = test::Snapshot(root);
        RecordingSink sink;
        const fs::path folder2 = c.folder2 ? root / c.folder2 : fs::path();
        const BatchResult result = RunJob(root / c.folder, c.folder2 ? &folder2 : nullptr, sink);
        EXPECT_TRUE(result.refused);
        std::string message = c.message;
        for (std::size_t at; (at = message.find("ROOT")) != std::string::npos;)
            message.replace(at, 4, root.string());
        EXPECT_EQ(sink.Texts(), std::vector<std::string>{message});
        EXPECT_TRUE(test::Snapshot(root) == before);
    }
}

}  // namespace
}  // namespace orfeo
