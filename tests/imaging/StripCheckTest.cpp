#include <gtest/gtest.h>
#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/Files.h"
#include "tests/support/Fixtures.h"
#include "worker/ImageLibrary.h"
#include "worker/StripCheck.h"

namespace orfeo {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// An LZW code stream, packed most significant bit first at the widths libtiff's decoder reads them: 9 bits
// after a clear, one more each time the next entry passes 2^bits - 2 (a code after a clear makes no entry).
Bytes LzwCodes(const std::vector<unsigned>& codes) {
    Bytes bytes;
    std::uint64_t held = 0;
    unsigned bits = 9, count = 0;
    int next = -1;  // the next entry; none before the first clear
    for (const unsigned code : codes) {
        held = (held << bits) | code;
        count += bits;
        for (; count >= 8; count -= 8) bytes.push_back(static_cast<std::uint8_t>(held >> (count - 8)));
        if (code == 256) {
            next = 257;  // the code after the clear makes none
            bits = 9;
        } else if (next >= 0 && ++next > (1 << bits) - 2 && bits < 12) {
            ++bits;
        }
    }
    if (count) bytes.push_back(static_cast<std::uint8_t>(held << (8 - count)));
    return bytes;
}

// One strip of `width` x `rows` in `compression`: 8-bit grey, or 1-bit (min-is-white) in fill order
// `fillOrder`. Each row is written by `row` (its bytes to fill), or else the strip's stored bytes `raw`.
struct StripShape {
    unsigned width, rows, bits;
    std::uint16_t compression, fillOrder = FILLORDER_MSB2LSB;
};

bool WriteStrip(const fs::path& path, const StripShape& shape,
                const std::function<void(unsigned, Bytes&)>& row, const Bytes* raw = nullptr) {
    TIFF* tiff = TIFFOpen(path.c_str(), "w");
    EXPECT_NE(tiff, nullptr);
    if (!tiff) return false;
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, shape.width);
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, shape.rows);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, shape.bits);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC,
                 shape.bits == 1 ? PHOTOMETRIC_MINISWHITE : PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, shape.compression);
    TIFFSetField(tiff, TIFFTAG_FILLORDER, shape.fillOrder);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, shape.rows);
    if (raw) {
        TIFFWriteRawStrip(tiff, 0, const_cast<std::uint8_t*>(raw->data()),
                          static_cast<tmsize_t>(raw->size()));
    } else {
        Bytes line((shape.width * shape.bits + 7) / 8);
        for (unsigned y = 0; y < shape.rows; ++y) {
            row(y, line);
            TIFFWriteScanline(tiff, line.data(), y, 0);
        }
    }
    TIFFClose(tiff);
    return true;
}

// The stored bytes of a strip libtiff writes.
Bytes Encoded(const StripShape& shape, const std::function<void(unsigned, Bytes&)>& row) {
    test::TempDir dir;
    const fs::path path = dir.Path() / "strip.tif";
    if (!WriteStrip(path, shape, row)) return {};
    TIFF* tiff = TIFFOpen(path.c_str(), "r");
    Bytes stored(TIFFGetStrileByteCount(tiff, 0));
    TIFFReadRawStrip(tiff, 0, stored.data(), static_cast<tmsize_t>(stored.size()));
    TIFFClose(tiff);
    return stored;
}

// An 8-bit grey strip in `compression`, the pixel in column x of row y value(x, y).
Bytes Encoded(std::uint16_t compression, unsigned width, unsigned rows,
              const std::function<std::uint8_t(unsigned, unsigned)>& value) {
    return Encoded({width, rows, 8, compression}, [&](unsigned y, Bytes& line) {
        for (unsigned x = 0; x < width; ++x) line[x] = value(x, y);
    });
}

// Pixels that make long LZW streams: noise (every code width, and tables that fill and clear) with runs.
std::uint8_t Busy(unsigned x, unsigned y) {
    return (y % 3) ? static_cast<std::uint8_t>(test::Mix(y * 1000 + x)) : static_cast<std::uint8_t>(x / 9);
}

struct Case {
    const char* name;
    Bytes bytes;
    std::uint64_t size;
    bool decodes;
};

void ExpectVerdicts(bool (*check)(const std::uint8_t*, std::uint64_t, std::uint64_t),
                    const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        EXPECT_EQ(check(c.bytes.data(), c.bytes.size(), c.size), c.decodes) << c.name;
    }
}

std::vector<unsigned> Literals(unsigned count) {
    std::vector<unsigned> codes{256};
    for (unsigned i = 0; i < count; ++i) codes.push_back(i % 256);
    return codes;
}

TEST(StripCheckTest, LzwAsLibtiffDecodesIt) {
    const Bytes busy = Encoded(COMPRESSION_LZW, 400, 60, Busy);
    Bytes cut = busy;
    cut.resize(cut.size() / 2);
    ExpectVerdicts(LzwStripDecodes,
                   {
                       {"libtiff's own", busy, 400 * 60, true},
                       {"libtiff's own, a byte more wanted", busy, 400 * 60 + 1, false},
                       {"libtiff's own, cut short", cut, 400 * 60, false},
                       {"bytes, then the end", LzwCodes({256, 65, 66, 257}), 2, true},
                       {"the end before the size", LzwCodes({256, 65, 257}), 2, false},
                       {"no end code", LzwCodes({256, 65, 66}), 2, true},
                       {"the entry being made", LzwCodes({256, 65, 258, 257}), 3, true},
                       {"a code past the table", LzwCodes({256, 65, 259, 257}), 3, false},
                       {"a code after a clear that is not a byte's", LzwCodes({256, 258, 257}), 1, false},
                       {"no clear first", LzwCodes({65, 66, 257}), 2, false},
                       {"more than the size: the rest is not read", LzwCodes({256, 65, 258, 511}), 2, true},
                       {"clears in a row", LzwCodes({256, 256, 65, 256, 66, 257}), 2, true},
                       {"the table's room full", LzwCodes(Literals(4862)), 4862, true},
                       {"a code past the table's room", LzwCodes(Literals(4863)), 4863, false},
                       {"nothing", {}, 1, false},
                   });
    EXPECT_FALSE(IsOldStyleLzw(busy.data(), busy.size()));
    const Bytes old = {0x00, 0x01, 0x20};
    EXPECT_TRUE(IsOldStyleLzw(old.data(), old.size()));
}

TEST(StripCheckTest, DeflateAsLibtiffDecodesIt) {
    const Bytes stream = Encoded(COMPRESSION_ADOBE_DEFLATE, 400, 60, Busy);
    auto changed = [&](std::size_t at, std::uint8_t value) {
        Bytes bytes = stream;
        bytes[at] = value;
        return bytes;
    };
    const std::size_t end = stream.size() - 1, middle = stream.size() / 2;
    ExpectVerdicts(
        DeflateStripDecodes,
        {
            {"libtiff's own", stream, 400 * 60, true},
            {"a byte more wanted", stream, 400 * 60 + 1, false},
            {"more than the size: the rest is not read", stream, 400 * 30, true},
            {"past the size in its last bytes: libtiff's call", stream, 400 * 60 - 1, false},
            {"cut short", Bytes(stream.begin(), stream.begin() + end), 400 * 60, false},
            {"a wrong checksum", changed(end, static_cast<std::uint8_t>(stream[end] ^ 1)), 400 * 60, false},
            {"a damaged block", changed(middle, static_cast<std::uint8_t>(~stream[middle])), 400 * 60, false},
            {"no zlib header", changed(0, 0x00), 400 * 60, false},
        });
}

TEST(StripCheckTest, PackBitsAsLibtiffDecodesIt) {
    const Bytes stream = Encoded(COMPRESSION_PACKBITS, 400, 60, Busy);
    ExpectVerdicts(PackBitsStripDecodes,
                   {
                       {"libtiff's own", stream, 400 * 60, true},
                       {"libtiff's own, a byte more wanted", stream, 400 * 60 + 1, false},
                       {"bytes as they are", {0x02, 'a', 'b', 'c'}, 3, true},
                       {"bytes as they are, one short", {0x02, 'a', 'b', 'c'}, 4, false},
                       {"bytes as they are, past the data", {0x02, 'a', 'b'}, 3, false},
                       {"a repeated byte", {0xFE, 'x'}, 3, true},
                       {"a repeated byte, one short", {0xFE, 'x'}, 4, false},
                       {"a repeat past the size is cut", {0xFE, 'x'}, 2, true},
                       {"bytes past the size are cut", {0x02, 'a', 'b'}, 2, true},
                       {"a repeat without its byte", {0x00, 'a', 0xFE}, 3, false},
                       {"the no-op is skipped", {0x80, 0x80, 0x00, 'a', 0x80, 0xFF, 'b'}, 3, true},
                       {"no-ops only", {0x80, 0x80}, 1, false},
                       {"runs end, the rest is not read", {0x00, 'a', 0x7F}, 1, true},
                   });
}

// A 1-bit G4 strip in fill order `fillOrder`, black where ink(x, y).
Bytes EncodedG4(unsigned width, unsigned rows, std::uint16_t fillOrder,
                const std::function<bool(unsigned, unsigned)>& ink) {
    return Encoded({width, rows, 1, COMPRESSION_CCITTFAX4, fillOrder}, [&](unsigned y, Bytes& line) {
        std::fill(line.begin(), line.end(), 0);
        for (unsigned x = 0; x < width; ++x)
            if (ink(x, y)) line[x / 8] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
    });
}

int CountComplaint(TIFF*, void* count, const char*, const char*, va_list) {
    ++*static_cast<int*>(count);
    return 1;
}

// `path` opened by libtiff, whose errors and warnings go to `hear` with `count`.
TIFF* OpenHearing(const fs::path& path, TIFFErrorHandlerExtR hear, int* count) {
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    TIFFOpenOptionsSetErrorHandlerExtR(options, hear, count);
    TIFFOpenOptionsSetWarningHandlerExtR(options, hear, count);
    TIFF* tiff = TIFFOpenExt(path.c_str(), "r", options);
    TIFFOpenOptionsFree(options);
    return tiff;
}

// Whether libtiff decodes `bytes` as a G4 strip of `width` x `rows` whole and without a word.
bool LibtiffDecodesG4(const Bytes& bytes, unsigned width, unsigned rows, std::uint16_t fillOrder) {
    test::TempDir dir;
    const fs::path path = dir.Path() / "raw.tif";
    if (!WriteStrip(path, {width, rows, 1, COMPRESSION_CCITTFAX4, fillOrder}, {}, &bytes)) return false;
    int complaints = 0;
    TIFF* tiff = OpenHearing(path, CountComplaint, &complaints);
    Bytes pixels(std::uint64_t{(width + 7) / 8} * rows);
    const tmsize_t got = TIFFReadEncodedStrip(tiff, 0, pixels.data(), static_cast<tmsize_t>(pixels.size()));
    TIFFClose(tiff);
    return got == static_cast<tmsize_t>(pixels.size()) && complaints == 0;
}

// Ink as a scanned page holds it: letters (noise in blocks), rules, white rows, and a black band whose
// runs need the longest make-up codes.
bool PageInk(unsigned x, unsigned y) {
    if (y % 40 < 6) return false;
    if (y % 97 == 50) return x > 3 && x % 1000 < 990;
    if (y % 61 == 30) return x < 3000;
    return (x / 7 + y / 9) % 5 < 2 && test::Mix(std::uint64_t{y} * 7919 + x) % 3 == 0;
}

TEST(StripCheckTest, G4AsLibtiffDecodesIt) {
    struct Shape {
        unsigned width, rows;
        std::uint16_t fillOrder;
    };
    for (const Shape shape : {Shape{1, 5, FILLORDER_MSB2LSB}, Shape{13, 40, FILLORDER_MSB2LSB},
                              Shape{2480, 60, FILLORDER_MSB2LSB}, Shape{5200, 30, FILLORDER_LSB2MSB}}) {
        const Bytes page = EncodedG4(shape.width, shape.rows, shape.fillOrder, PageInk);
        const bool low = shape.fillOrder == FILLORDER_LSB2MSB;
        SCOPED_TRACE(shape.width);
        EXPECT_TRUE(G4StripDecodes(page.data(), page.size(), shape.width, shape.rows, low));
        // A row more than the strip holds meets its end (two ends of line); so does a strip cut in two.
        EXPECT_FALSE(G4StripDecodes(page.data(), page.size(), shape.width, shape.rows + 1, low));
        const Bytes cut(page.begin(), page.begin() + static_cast<std::ptrdiff_t>(page.size() / 2));
        EXPECT_EQ(G4StripDecodes(cut.data(), cut.size(), shape.width, shape.rows, low), shape.width == 1);
        // Damage anywhere: what the walk proves, libtiff decodes without a word; and it proves little else.
        unsigned proven = 0, tries = 0;
        for (std::uint64_t seed = 1; seed <= 40 && page.size() > 8; ++seed, ++tries) {
            Bytes damaged = page;
            for (int i = 0; i < 3; ++i)
                damaged[test::Mix(seed * 31 + i) % (damaged.size() - 6)] ^=
                    static_cast<std::uint8_t>(1 + test::Mix(seed + i) % 255);
            if (!G4StripDecodes(damaged.data(), damaged.size(), shape.width, shape.rows, low)) continue;
            ++proven;
            EXPECT_TRUE(LibtiffDecodesG4(damaged, shape.width, shape.rows, shape.fillOrder))
                << "seed " << seed;
        }
        EXPECT_LE(proven, tries / 10);
    }
    // Rows written by hand (MSB first), each verdict libtiff's too.
    struct Hand {
        const char* name;
        Bytes bytes;
        unsigned width, rows;
        bool decodes;
    };
    for (const Hand& hand : {
             Hand{"V0 under a white row ends the row", {0x80}, 8, 1, true},
             Hand{"white 2 and black 0 across", {0x2E, 0x1B, 0x80}, 2, 1, true},
             Hand{"VL1 short of the width", {0x40}, 8, 1, false},
             Hand{"a VL on a0 at a row's start", {0x23, 0x8D, 0x40}, 8, 2, true},
             Hand{"a VL on a0 inside a row (an empty run)", {0x2E, 0xB4, 0x78, 0x37}, 8, 2, true},
             Hand{"white 0 and black 5 across 4", {0x26, 0xA6}, 4, 1, false},
             Hand{"the extension to uncompressed pixels", {0x02, 0x00}, 8, 1, false},
         }) {
        EXPECT_EQ(G4StripDecodes(hand.bytes.data(), hand.bytes.size(), hand.width, hand.rows, false),
                  hand.decodes)
            << hand.name;
        EXPECT_EQ(LibtiffDecodesG4(hand.bytes, hand.width, hand.rows, FILLORDER_MSB2LSB), hand.decodes)
            << hand.name;
    }
}

// A JPEG page as libtiff writes it (tables apart, 16 rows a strip, the last one shorter): grey, RGB, or
// YCbCr subsampled 2 x 2 or 2 x 1.
struct JpegPage {
    const char* name;
    std::uint16_t samples, photometric, hSampling = 1, vSampling = 1;
};

constexpr unsigned kJpegWidth = 300, kJpegRows = 70, kJpegStripRows = 16;

void WriteJpeg(const fs::path& path, const JpegPage& page) {
    TIFF* tiff = TIFFOpen(path.c_str(), "w");
    ASSERT_NE(tiff, nullptr);
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, kJpegWidth);
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, kJpegRows);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, page.samples);
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, page.photometric);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_JPEG);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, kJpegStripRows);
    if (page.photometric == PHOTOMETRIC_YCBCR) {
        TIFFSetField(tiff, TIFFTAG_YCBCRSUBSAMPLING, page.hSampling, page.vSampling);
        TIFFSetField(tiff, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
    }
    Bytes line(kJpegWidth * page.samples);
    for (unsigned y = 0; y < kJpegRows; ++y) {
        for (unsigned x = 0; x < line.size(); ++x) line[x] = Busy(x, y);
        TIFFWriteScanline(tiff, line.data(), y, 0);
    }
    TIFFClose(tiff);
}

struct JpegStrips {
    Bytes tables;
    std::vector<Bytes> strips;
};

JpegStrips ReadJpegStrips(const fs::path& path) {
    JpegStrips read;
    TIFF* tiff = TIFFOpen(path.c_str(), "r");
    std::uint32_t count = 0;
    void* tables = nullptr;
    if (TIFFGetField(tiff, TIFFTAG_JPEGTABLES, &count, &tables))
        read.tables.assign(static_cast<std::uint8_t*>(tables), static_cast<std::uint8_t*>(tables) + count);
    for (std::uint32_t k = 0; k < TIFFNumberOfStrips(tiff); ++k) {
        read.strips.emplace_back(TIFFGetStrileByteCount(tiff, k));
        TIFFReadRawStrip(tiff, k, read.strips.back().data(),
                         static_cast<tmsize_t>(read.strips.back().size()));
    }
    TIFFClose(tiff);
    return read;
}

int CountJpegDamage(TIFF*, void* count, const char* module, const char* format, va_list arguments) {
    char text[256];
    std::vsnprintf(text, sizeof text, format, arguments);
    if (!module || std::strcmp(module, "JPEGLib") != 0 || !IsBenignJpegWarning(text))
        ++*static_cast<int*>(count);
    return 1;
}

// Whether libtiff decodes strip k of the JPEG page at `path` whole, with no error and no warning of
// libjpeg's that means damage (the strip copy's rule when it decodes a JPEG strip to prove it).
bool LibtiffDecodesJpeg(const fs::path& path, std::uint32_t k) {
    int damage = 0;
    TIFF* tiff = OpenHearing(path, CountJpegDamage, &damage);
    const tmsize_t size = TIFFVStripSize(tiff, std::min(kJpegStripRows, kJpegRows - k * kJpegStripRows));
    Bytes pixels(static_cast<std::size_t>(size));
    const tmsize_t got = TIFFReadEncodedStrip(tiff, k, pixels.data(), size);
    TIFFClose(tiff);
    return got == size && damage == 0;
}

// Strip k's stored bytes in the file replaced by `bytes` (as long as they were).
void StoreStrip(const fs::path& path, std::uint32_t k, const Bytes& bytes) {
    TIFF* tiff = TIFFOpen(path.c_str(), "r");
    const std::uint64_t offset = TIFFGetStrileOffset(tiff, k);
    TIFFClose(tiff);
    std::FILE* file = std::fopen(path.c_str(), "r+b");
    std::fseek(file, static_cast<long>(offset), SEEK_SET);
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
}

TEST(StripCheckTest, JpegAsLibtiffDecodesIt) {
    for (const JpegPage& page :
         {JpegPage{"grey", 1, PHOTOMETRIC_MINISBLACK}, JpegPage{"RGB", 3, PHOTOMETRIC_RGB},
          JpegPage{"YCbCr 2x2", 3, PHOTOMETRIC_YCBCR, 2, 2},
          JpegPage{"YCbCr 2x1", 3, PHOTOMETRIC_YCBCR, 2, 1}}) {
        SCOPED_TRACE(page.name);
        test::TempDir dir;
        const fs::path path = dir.Path() / "page.tif", damagedPath = dir.Path() / "damaged.tif";
        WriteJpeg(path, page);
        const JpegStrips read = ReadJpegStrips(path);
        ASSERT_EQ(read.strips.size(), 5u);
        const Bytes& last = read.strips.back();
        auto proves = [&](const Bytes& strip, JpegUnitShape shape, const Bytes& tables) {
            return JpegStripDecodes(tables.data(), tables.size(), strip.data(), strip.size(), shape);
        };
        const JpegUnitShape full{kJpegWidth, kJpegStripRows, page.samples, page.hSampling, page.vSampling};
        JpegUnitShape shape = full;
        shape.rows = kJpegRows % kJpegStripRows;
        for (std::size_t k = 0; k + 1 < read.strips.size(); ++k)
            EXPECT_TRUE(proves(read.strips[k], full, read.tables));
        EXPECT_TRUE(proves(last, shape, read.tables));
        // Not the stream libtiff's codec expects here, or not one whole: not proven.
        JpegUnitShape taller = shape, shorter = shape, narrower = shape, fewer = shape, sampled = shape;
        ++taller.rows;
        --shorter.rows;
        --narrower.width;
        fewer.samples = page.samples == 1 ? 3 : 1;
        sampled.hSampling = page.hSampling == 1 ? 2 : 1;
        for (const JpegUnitShape& other : {taller, shorter, narrower, fewer, sampled})
            EXPECT_FALSE(proves(last, other, read.tables));
        EXPECT_FALSE(proves(last, shape, {}));
        EXPECT_FALSE(proves(Bytes(last.begin(), last.end() - 40), shape, read.tables));
        // Damage anywhere in a strip's data: what the check proves, libtiff decodes without a word of
        // damage; and it proves little else.
        const Bytes& strip = read.strips[1];
        unsigned proven = 0, tries = 0;
        for (std::uint64_t seed = 1; seed <= 40; ++seed, ++tries) {
            Bytes damaged = strip;
            for (int i = 0; i < 3; ++i)
                damaged[20 + test::Mix(seed * 31 + i) % (damaged.size() - 22)] ^=
                    static_cast<std::uint8_t>(1 + test::Mix(seed + i) % 255);
            if (!proves(damaged, full, read.tables)) continue;
            ++proven;
            fs::copy_file(path, damagedPath, fs::copy_options::overwrite_existing);
            StoreStrip(damagedPath, 1, damaged);
            EXPECT_TRUE(LibtiffDecodesJpeg(damagedPath, 1)) << "seed " << seed;
        }
        EXPECT_LE(proven, tries / 4);
    }
}

}  // namespace
}  // namespace orfeo
