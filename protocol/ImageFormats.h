#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace orfeo {

// The image formats and pixel types a worker's reply speaks of, by FreeImage's numbers, so that the run
// names and checks them without linking FreeImage (tests/worker/FormatTableTest checks them against it).

// FreeImage's pixel types (FREE_IMAGE_TYPE), by their numbers.
enum class PageType : std::uint8_t {
    Unknown = 0,
    Bitmap = 1,   // 1, 4, 8, 16, 24 or 32 bits a pixel
    Uint16 = 2,   // 16-bit grey
    Int16 = 3,    // signed 16-bit grey
    Uint32 = 4,   // 32-bit grey
    Int32 = 5,    // signed 32-bit grey
    Float = 6,    // 32-bit floating point
    Double = 7,   // 64-bit floating point
    Complex = 8,  // two 64-bit floating point numbers
    Rgb16 = 9,    // 48-bit colour
    Rgba16 = 10,  // 64-bit colour with alpha
    Rgbf = 11,    // 96-bit floating point colour
    Rgbaf = 12,   // 128-bit floating point colour with alpha
};

// FreeImage's formats (FREE_IMAGE_FORMAT): format number i is named kFormatNames[i], as FreeImage names it
// (FreeImage_GetFormatFromFIF), in the message about a file that Orfeo does not read.
inline constexpr std::array<std::string_view, 37> kFormatNames = {
    "BMP", "ICO", "JPEG",   "JNG",  "KOALA", "IFF",    "MNG",    "PBM",   "PBMRAW", "PCD",
    "PCX", "PGM", "PGMRAW", "PNG",  "PPM",   "PPMRAW", "RAS",    "TARGA", "TIFF",   "WBMP",
    "PSD", "CUT", "XBM",    "XPM",  "DDS",   "GIF",    "HDR",    "G3",    "SGI",    "EXR",
    "J2K", "JP2", "PFM",    "PICT", "RAW",   "WebP",   "JPEG-XR"};

// The number of formats FreeImage has: a worker names no other.
inline constexpr std::uint32_t kFormatCount = kFormatNames.size();

// The name of format number `format`; empty for a number that is none (FreeImage's "unknown" is -1).
inline std::string_view FormatName(int format) {
    return format >= 0 && static_cast<std::uint32_t>(format) < kFormatCount ? kFormatNames[format]
                                                                            : std::string_view();
}

}  // namespace orfeo
