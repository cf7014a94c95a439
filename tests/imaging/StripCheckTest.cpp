#include <gtest/gtest.h>
#include <tiffio.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/Files.h"
#include "tests/support/Fixtures.h"
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

// The stored bytes of a one-strip 8-bit grey TIFF of `width` x `rows` that libtiff writes in `compression`,
// the pixel in column x of row y value(x, y).
Bytes Encoded(std::uint16_t compression, unsigned width, unsigned rows,
              const std::function<std::uint8_t(unsigned, unsigned)>& value) {
    test::TempDir dir;
    const fs::path path = dir.Path() / "strip.tif";
    TIFF* tiff = TIFFOpen(path.c_str(), "w");
    EXPECT_NE(tiff, nullptr);
    if (!tiff) return {};
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, rows);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, compression);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, rows);
    Bytes line(width);
    for (unsigned y = 0; y < rows; ++y) {
        for (unsigned x = 0; x < width; ++x) line[x] = value(x, y);
        TIFFWriteScanline(tiff, line.data(), y, 0);
    }
    TIFFClose(tiff);
    tiff = TIFFOpen(path.c_str(), "r");
    Bytes stored(TIFFGetStrileByteCount(tiff, 0));
    TIFFReadRawStrip(tiff, 0, stored.data(), static_cast<tmsize_t>(stored.size()));
    TIFFClose(tiff);
    return stored;
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

}  // namespace
}  // namespace orfeo
