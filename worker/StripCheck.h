#pragma once

#include <cstdint>

namespace orfeo {

// Whether a strip (or tile) stored in a TIFF file decodes, told from its stored bytes without making its
// pixels: what the strip copy proves of every strip it copies as stored, so that a strip damaged inside
// its data is not written into an output that libtiff then refuses. Each check accepts exactly the
// streams that libtiff 4.5's decoder of that coding accepts when it decodes the strip whole into `size`
// bytes (TIFFReadEncodedStrip, or TIFFReadEncodedTile, as FreeImage's loader reads them): a stream that
// passes decodes there without an error, and one that fails makes that decoder give up, so that the
// decoding path names the page.

// LZW as libtiff writes it (codes of 9 to 12 bits, most significant bit first, the code width growing one
// code early). The codes must stand for at least `size` bytes before the stream ends, before an end code
// and before a code the table does not hold yet; what follows is not read. Old-style LZW is not checked
// here (see IsOldStyleLzw).
bool LzwStripDecodes(const std::uint8_t* bytes, std::uint64_t count, std::uint64_t size);

// The LZW of libtiff's first versions, which libtiff still reads (by its first two bytes) with another
// decoder: such a strip is left to the path that decodes pages.
bool IsOldStyleLzw(const std::uint8_t* bytes, std::uint64_t count);

// Deflate (both codes): a zlib stream that gives exactly `size` bytes and ends there with its checksum, or
// that is whole until it gives more than `size` bytes (libtiff drops the rest without looking at it). zlib
// is not the inflater libtiff uses for whole strips (libdeflate), which takes a few streams zlib refuses (a
// match longer than the room left, whatever its distance) and refuses some that run past the size within
// their last bytes: false says that the stream is damaged as zlib reads it, or is one of those, and leaves
// the last word to libtiff's own decoder; true that libtiff decodes it.
bool DeflateStripDecodes(const std::uint8_t* bytes, std::uint64_t count, std::uint64_t size);

// PackBits: runs that give at least `size` bytes before the stored bytes run out. A run that goes past
// `size` is cut there, and the no-op header byte (128) is skipped, as libtiff does.
bool PackBitsStripDecodes(const std::uint8_t* bytes, std::uint64_t count, std::uint64_t size);

// CCITT G4 (T.6) of one bit a pixel, `rows` rows of `width` pixels (a strip's, or a tile's), the first bit
// of each byte its highest (or its lowest: `lowBitFirst`, fill order 2). Walked as libtiff's decoder
// walks it, run by run without the pixels: true when every row's codes are known, its changes lie where
// the row above allows and its runs add up to the width, all within the stored bytes; false on the
// first that does not, and on what this walk leaves to libtiff's decoder (the extension to uncompressed
// pixels, an end of line or of the strip before its last row), so that false only says "not proven".
bool G4StripDecodes(const std::uint8_t* bytes, std::uint64_t count, std::uint32_t width, std::uint32_t rows,
                    bool lowBitFirst);

// What libtiff's JPEG codec expects of one strip's (or tile's) stream: `width` x `rows` pixels of
// `samples` 8-bit components stored together, the first sampled `hSampling` x `vSampling` (a YCbCr page's
// subsampling, else 1 x 1) and the others 1 x 1.
struct JpegUnitShape {
    std::uint32_t width = 0, rows = 0;
    std::uint16_t samples = 1, hSampling = 1, vSampling = 1;
};

// JPEG, the stream of a strip read after the page's tables (`tables`, empty when the strip carries its
// own). Its every code word is decoded as libjpeg decodes it in libtiff, but not its pixels (an eighth of
// the size, whose transform is one coefficient): true when the stream is of the expected shape, sequential
// in one scan with Huffman codes, and decodes to its end without an error or a warning. False only says
// "not proven": a damaged stream, and any other kind (progressive, several scans, another size, which
// libtiff may still take), are left to libtiff's decoder.
bool JpegStripDecodes(const std::uint8_t* tables, std::uint64_t tablesCount, const std::uint8_t* bytes,
                      std::uint64_t count, const JpegUnitShape& shape);

}  // namespace orfeo
