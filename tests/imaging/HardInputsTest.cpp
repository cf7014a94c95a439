#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "imaging/BackSubscans.h"
#include "imaging/ImageFile.h"
#include "scan/FolderScan.h"
#include "scan/Paths.h"
#include "tests/support/Fixtures.h"

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

// Files of a few hundred bytes that declare 60000 x 60000 pixels (3.6 gigabytes at 8 bits).
std::string TiffBomb() {
    std::string tiff = "II*";
    tiff += '\0';
    Put32(tiff, 8);
    const std::pair<unsigned, std::uint32_t> tags[] = {{256, 60000}, {257, 60000}, {258, 8},     {259, 1},
                                                       {262, 1},     {273, 200},   {277, 1},     {278, 60000},
                                                       {279, 16}};
    Put16(tiff, std::size(tags));
    for (const auto& [tag, value] : tags) {
        Put16(tiff, tag);
        Put16(tiff, 4);  // LONG
        Put32(tiff, 1);
        Put32(tiff, value);
    }
    Put32(tiff, 0);
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
    for (const char* name : {"b_tiff.tif", "c_bmp.bmp", "d_gif.gif", "e_pnm.pgm"}) {
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
                                "Processing ended.",
                            }));
    EXPECT_EQ(result.written, 1u);
    EXPECT_TRUE(fs::exists(book / "pics" / "a_good.tif"));
}

TEST(HardInputs, TheLimitIsTheCallersToSet) {
    TempDir dir;
    const auto page = test::MakeImage(2000, 1000, 8, [](unsigned x, unsigned) { return x; });
    test::Save(page.get(), dir.Path() / "p.tif");
    RecordingSink sink;
    EXPECT_TRUE(LoadImageFile(dir.Folder() + "p.tif", sink, 2.0));
    EXPECT_FALSE(LoadImageFile(dir.Folder() + "p.tif", sink, 1.5));
    EXPECT_EQ(sink.Texts(), std::vector<std::string>{"File \"" + dir.Folder() +
                                                     "p.tif\" is too large: 2000 x 1000 pixels, more than 1.5 megapixels."});
}

}  // namespace
}  // namespace orfeo
