#include "tests/support/Fixtures.h"

#include <jpeglib.h>
#include <tiffio.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <vector>

#include "worker/ImageLoad.h"

namespace orfeo::test {

namespace fs = std::filesystem;

std::vector<std::string> RecordingSink::Texts() const {
    std::vector<std::string> texts;
    for (const auto& message : messages) texts.push_back(message.second);
    return texts;
}

std::uint64_t GetPixel(FIBITMAP* image, unsigned x, unsigned y) {
    const unsigned bpp = FreeImage_GetBPP(image);
    const BYTE* line = FreeImage_GetScanLine(image, static_cast<int>(y));
    if (bpp < 8) {
        const unsigned bit = x * bpp;
        const unsigned shift = 8 - bpp - bit % 8;
        return (line[bit / 8] >> shift) & ((1u << bpp) - 1);
    }
    std::uint64_t value = 0;
    const BYTE* pixel = line + std::size_t{x} * (bpp / 8);
    for (unsigned b = 0; b < bpp / 8; ++b) value |= std::uint64_t{pixel[b]} << (8 * b);
    return value;
}

void SetPixel(FIBITMAP* image, unsigned x, unsigned y, std::uint64_t value) {
    const unsigned bpp = FreeImage_GetBPP(image);
    BYTE* line = FreeImage_GetScanLine(image, static_cast<int>(y));
    if (bpp < 8) {
        const unsigned bit = x * bpp;
        const unsigned shift = 8 - bpp - bit % 8;
        const unsigned bits = (1u << bpp) - 1;
        line[bit / 8] = static_cast<BYTE>((line[bit / 8] & ~(bits << shift)) | ((value & bits) << shift));
        return;
    }
    BYTE* pixel = line + std::size_t{x} * (bpp / 8);
    for (unsigned b = 0; b < bpp / 8; ++b) pixel[b] = static_cast<BYTE>(value >> (8 * b));
}

ImagePtr MakeImage(unsigned width, unsigned height, unsigned bpp,
                   const std::function<std::uint64_t(unsigned, unsigned)>& value, FREE_IMAGE_TYPE type) {
    ImagePtr image(
        FreeImage_AllocateT(type, static_cast<int>(width), static_cast<int>(height), static_cast<int>(bpp)));
    if (!image) throw std::runtime_error("cannot allocate a fixture image");
    if (RGBQUAD* palette = FreeImage_GetPalette(image.get())) {
        const unsigned colours = FreeImage_GetColorsUsed(image.get());
        for (unsigned i = 0; i < colours; ++i) {
            const BYTE level = static_cast<BYTE>(i * 255 / (colours - 1));
            palette[i] = RGBQUAD{level, level, level, 0};
        }
    }
    for (unsigned y = 0; y < height; ++y) {
        for (unsigned x = 0; x < width; ++x) SetPixel(image.get(), x, y, value(x, y));
    }
    return image;
}

ImagePtr MakeMask(unsigned width, unsigned height, const std::function<bool(unsigned, unsigned)>& marked) {
    return MakeImage(width, height, 1, [&](unsigned x, unsigned y) { return marked(x, y) ? 1u : 0u; });
}

void Save(FIBITMAP* image, const fs::path& path, FREE_IMAGE_FORMAT format) {
    fs::create_directories(path.parent_path());
    if (!FreeImage_Save(format, image, path.c_str(), 0))
        throw std::runtime_error("cannot save " + path.string());
}

namespace {

// One image of WriteGreyTiff's file, into the current directory of `out`; false when libtiff refused.
bool WriteGreyImage(TIFF* out, unsigned width, unsigned height, const TiffLayout& layout,
                    const std::function<std::uint8_t(unsigned, unsigned)>& value) {
    TIFFSetField(out, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(out, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(out, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(out, TIFFTAG_SAMPLESPERPIXEL, layout.ycbcr ? 3 : 1);
    TIFFSetField(out, TIFFTAG_PHOTOMETRIC, layout.ycbcr ? PHOTOMETRIC_YCBCR : PHOTOMETRIC_MINISBLACK);
    TIFFSetField(out, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(out, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
    bool wrote = true;
    if (layout.tileWidth) {
        TIFFSetField(out, TIFFTAG_TILEWIDTH, layout.tileWidth);
        TIFFSetField(out, TIFFTAG_TILELENGTH, layout.tileLength);
        const std::uint64_t size = TIFFTileSize64(out);
        std::vector<std::uint8_t> tile(size <= (64u << 20) ? size : 0);
        const std::uint8_t empty[] = {0x78, 0x9C, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01};
        for (std::uint32_t k = 0; k < TIFFNumberOfTiles(out) && wrote; ++k) {
            if (tile.empty()) {
                wrote = TIFFWriteRawTile(out, k, const_cast<std::uint8_t*>(empty), sizeof empty) > 0;
                continue;
            }
            const unsigned across = (width + layout.tileWidth - 1) / layout.tileWidth;
            const unsigned x0 = k % across * layout.tileWidth, y0 = k / across * layout.tileLength;
            for (unsigned y = 0; y < layout.tileLength; ++y) {
                for (unsigned x = 0; x < layout.tileWidth; ++x) {
                    const bool inside = x0 + x < width && y0 + y < height;
                    tile[std::size_t{y} * layout.tileWidth + x] = inside ? value(x0 + x, y0 + y) : 0;
                }
            }
            wrote = TIFFWriteEncodedTile(out, k, tile.data(), static_cast<tmsize_t>(size)) > 0;
        }
    } else if (layout.ycbcr) {
        // Each block of 2 x 2 pixels (repeating the last column and row of an odd size): its four luma
        // samples, then its two chroma samples.
        TIFFSetField(out, TIFFTAG_YCBCRSUBSAMPLING, 2, 2);
        TIFFSetField(out, TIFFTAG_ROWSPERSTRIP, height);
        std::vector<std::uint8_t> strip;
        for (unsigned y = 0; y < height; y += 2) {
            for (unsigned x = 0; x < width; x += 2) {
                for (unsigned i = 0; i < 4; ++i)
                    strip.push_back(value(std::min(x + i % 2, width - 1), std::min(y + i / 2, height - 1)));
                strip.insert(strip.end(), {128, 128});
            }
        }
        wrote = TIFFWriteEncodedStrip(out, 0, strip.data(), static_cast<tmsize_t>(strip.size())) > 0;
    } else {
        TIFFSetField(out, TIFFTAG_ROWSPERSTRIP, layout.rowsPerStrip);
        std::vector<std::uint8_t> line(width);
        for (unsigned y = 0; y < height && wrote; ++y) {
            for (unsigned x = 0; x < width; ++x) line[x] = value(x, y);
            wrote = TIFFWriteScanline(out, line.data(), y, 0) == 1;
        }
    }
    return wrote && TIFFWriteDirectory(out);
}

}  // namespace

void WriteGreyTiff(const fs::path& path, unsigned width, unsigned height, const TiffLayout& layout,
                   const std::function<std::uint8_t(unsigned, unsigned)>& value) {
    fs::create_directories(path.parent_path());
    std::unique_ptr<TIFF, decltype(&TIFFClose)> tiff(TIFFOpen(path.c_str(), "w"), TIFFClose);
    if (!tiff) throw std::runtime_error("cannot write " + path.string());
    TIFF* out = tiff.get();
    bool wrote = true;
    if (layout.exif) {
        std::uint64_t exif = 0;
        wrote = TIFFCreateEXIFDirectory(out) == 0 && TIFFSetField(out, EXIFTAG_EXPOSURETIME, 0.01) &&
                TIFFWriteCustomDirectory(out, &exif);
        TIFFFreeDirectory(out);
        TIFFCreateDirectory(out);
        TIFFSetField(out, TIFFTAG_EXIFIFD, exif);
    } else if (layout.thumbnailWidth) {
        std::uint64_t filledInByLibtiff[] = {0};
        TIFFSetField(out, TIFFTAG_SUBIFD, 1, filledInByLibtiff);
    }
    wrote = wrote && WriteGreyImage(out, width, height, layout, value);
    if (layout.thumbnailWidth) {
        const TiffLayout tiles{.tileWidth = layout.thumbnailTile, .tileLength = layout.thumbnailTile};
        wrote = wrote && WriteGreyImage(out, layout.thumbnailWidth, layout.thumbnailHeight, tiles,
                                        [](unsigned, unsigned) { return 0; });
    }
    if (!wrote) throw std::runtime_error("cannot write " + path.string());
}

ImagePtr Load(const fs::path& path) {
    RecordingSink ignored;  // the loader also keeps libtiff quiet
    return LoadImageFile(path.string(), ignored);
}

bool SamePixels(FIBITMAP* a, FIBITMAP* b) {
    const unsigned width = FreeImage_GetWidth(a), height = FreeImage_GetHeight(a);
    if (width != FreeImage_GetWidth(b) || height != FreeImage_GetHeight(b) ||
        FreeImage_GetBPP(a) != FreeImage_GetBPP(b)) {
        return false;
    }
    for (unsigned y = 0; y < height; ++y) {
        for (unsigned x = 0; x < width; ++x) {
            if (GetPixel(a, x, y) != GetPixel(b, x, y)) return false;
        }
    }
    return true;
}

std::string JpegWithRestarts(unsigned width, unsigned height) {
    jpeg_compress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &buffer, &size);
    info.image_width = width;
    info.image_height = height;
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    info.restart_in_rows = 1;
    jpeg_start_compress(&info, TRUE);
    std::vector<unsigned char> row(3 * width);
    for (unsigned y = 0; y < height; ++y) {
        for (unsigned x = 0; x < width; ++x)
            row[3 * x] = row[3 * x + 1] = row[3 * x + 2] = (x * y + 7 * y) % 251;
        JSAMPROW rows[] = {row.data()};
        jpeg_write_scanlines(&info, rows, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    std::string bytes(reinterpret_cast<const char*>(buffer), size);
    std::free(buffer);
    return bytes;
}

std::uint64_t Mix(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

}  // namespace orfeo::test
