#pragma once

#include <FreeImage.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "protocol/MessageSink.h"
#include "worker/ImagePtr.h"

// Image fixtures for the core's tests (FreeImage), and a sink that records what the core says. The helpers
// for folders and files are in Files.h.
namespace orfeo::test {

// Keeps every message the core shows, in order.
class RecordingSink final : public IMessageSink {
public:
    void ShowMessage(MessageKind kind, const std::string& text) override {
        messages.emplace_back(kind, text);
    }
    std::vector<std::string> Texts() const;

    std::vector<std::pair<MessageKind, std::string>> messages;
};

// Pixel x of scan line y (FreeImage's line order, 0 = bottom) as an unsigned value of the image's depth.
std::uint64_t GetPixel(FIBITMAP* image, unsigned x, unsigned y);
void SetPixel(FIBITMAP* image, unsigned x, unsigned y, std::uint64_t value);

// An image of the given type and depth whose pixel (x, y) is value(x, y). At 1, 4 and 8 bits the palette
// is a grey ramp (min-is-black).
ImagePtr MakeImage(unsigned width, unsigned height, unsigned bpp,
                   const std::function<std::uint64_t(unsigned, unsigned)>& value,
                   FREE_IMAGE_TYPE type = FIT_BITMAP);

// A one-bit mask whose pixel (x, y) is set where marked(x, y); palette black (0), white (1).
ImagePtr MakeMask(unsigned width, unsigned height, const std::function<bool(unsigned, unsigned)>& marked);

// Saves `image` to `path` in the format `format`, making the folders on the way; throws when FreeImage
// refuses, which fails the test that asked.
void Save(FIBITMAP* image, const std::filesystem::path& path, FREE_IMAGE_FORMAT format = FIF_TIFF);

// How WriteGreyTiff stores its image.
struct TiffLayout {
    std::uint32_t rowsPerStrip = 0xFFFFFFFF;  // strips of this many rows (libtiff takes at most the height)
    std::uint32_t tileWidth = 0, tileLength = 0;  // tiles of this size instead, when set
    bool ycbcr = false;  // one strip of YCbCr subsampled 2 x 2, chroma neutral: the value in R, G and B
    // A thumbnail after the image, all 0, in square tiles of `thumbnailTile` pixels: a SubIFD of the image,
    // or with `exif` the second image, the first then carrying an Exif directory. None when the width is 0.
    std::uint32_t thumbnailWidth = 0, thumbnailHeight = 0, thumbnailTile = 16;
    bool exif = false;
};

// Writes with libtiff a Deflate-compressed TIFF of `width` x `height` grey pixels (min-is-black, 8 bits),
// the pixel in column x of row y (row 0 at the top, as stored) value(x, y), making the folders on the way.
// Strips are written a row at a time, so that a large image costs the test one row of memory. A tile of
// more than 64 MiB is stored as an empty Deflate stream: the few bytes that a file made to exhaust memory
// holds.
void WriteGreyTiff(const std::filesystem::path& path, unsigned width, unsigned height,
                   const TiffLayout& layout, const std::function<std::uint8_t(unsigned, unsigned)>& value);

// Loads `path` as Orfeo does; empty when it does not load.
ImagePtr Load(const std::filesystem::path& path);

// True when both images have the same size and depth and the same pixel values.
bool SamePixels(FIBITMAP* a, FIBITMAP* b);

// The bytes of a 24-bit JPEG of `width` x `height` whose pixel (x, y) has the grey value (x * y + 7 * y) %
// 251, written by libjpeg with a restart marker after every row of blocks (FreeImage writes none).
std::string JpegWithRestarts(unsigned width, unsigned height);

// Deterministic pseudo-random numbers for fixtures.
std::uint64_t Mix(std::uint64_t x);

}  // namespace orfeo::test
