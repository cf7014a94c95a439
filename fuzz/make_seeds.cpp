// Writes the fuzz targets' seed corpora: small valid files of every listed format and of the depths the
// pixel rules handle, each prefixed with the byte that picks its extension; with PROTOCOL_DIR, the
// messages a page worker sends, for the protocol target; with STRIPS_DIR, TIFF pages of the layouts the
// strip copy takes, each prefixed with the byte that picks its mask, for the strip copy's target.
//   orfeo-fuzz-seeds DIR [PROTOCOL_DIR [STRIPS_DIR]]
#include <FreeImage.h>
#include <tiffio.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "protocol/WorkerProtocol.h"

namespace {

// Positions in the fuzz target's extension list.
enum Extension : unsigned char {
    kBmp = 0,
    kJpeg = 1,
    kJpg = 2,
    kGif = 3,
    kTiff = 4,
    kTif = 5,
    kPnm = 6,
    kPpm = 7,
    kPgm = 8,
    kPbm = 9
};

FIBITMAP* Image(FREE_IMAGE_TYPE type, unsigned width, unsigned height, unsigned bpp) {
    FIBITMAP* image =
        FreeImage_AllocateT(type, static_cast<int>(width), static_cast<int>(height), static_cast<int>(bpp));
    const unsigned pitch = FreeImage_GetPitch(image);
    BYTE* bits = FreeImage_GetBits(image);
    for (unsigned i = 0; i < pitch * height; ++i) bits[i] = static_cast<BYTE>((i * 73) ^ (i >> 3));
    if (RGBQUAD* palette = FreeImage_GetPalette(image)) {
        const unsigned colours = FreeImage_GetColorsUsed(image);
        for (unsigned i = 0; i < colours; ++i) {
            const BYTE level = static_cast<BYTE>(i * 255 / (colours - 1));
            palette[i] = RGBQUAD{level, level, level, 0};
        }
    }
    return image;
}

bool Write(const std::filesystem::path& folder, const std::string& name, Extension extension,
           FREE_IMAGE_FORMAT format, FIBITMAP* image) {
    FIMEMORY* memory = FreeImage_OpenMemory();
    bool ok = FreeImage_SaveToMemory(format, image, memory, 0);
    BYTE* data = nullptr;
    DWORD size = 0;
    if (ok) ok = FreeImage_AcquireMemory(memory, &data, &size);
    if (ok) {
        std::ofstream out(folder / name, std::ios::binary);
        out.put(static_cast<char>(extension));
        out.write(reinterpret_cast<const char*>(data), size);
    }
    FreeImage_CloseMemory(memory);
    if (!ok) std::fprintf(stderr, "could not write seed %s\n", name.c_str());
    return ok;
}

}  // namespace

// A worker's messages: ready, reading, writing, and the replies of a written entry, of a dry run and of a
// page's picture; and the requests of a merge and of a picture.
bool WriteProtocolSeeds(const std::filesystem::path& folder) {
    std::filesystem::create_directories(folder);
    using namespace orfeo;
    std::vector<WorkerReply> replies(5);
    replies[0].kind = WorkerReplyKind::Ready;
    replies[1].kind = WorkerReplyKind::Reading;
    replies[1].slot = kMaskSlot;
    replies[2].kind = WorkerReplyKind::Writing;
    replies[3].written = true;
    replies[4].inputs[kPageSlot] = {
        .problem = LoadProblem::None, .width = 40, .height = 20, .format = 0, .type = FIT_RGB16, .bpp = 48};
    replies[4].inputs[kMaskSlot] = {
        .problem = LoadProblem::TooLarge, .width = 60000, .height = 60000, .format = 0, .type = 0, .bpp = 0};
    WorkerRequest request{.task = WorkerTask::Merge,
                          .present = 15,
                          .maxMegapixels = 600,
                          .extensions = {"tif", "tif", "pbm", "jpg"}};
    // A page's picture: the request, and the reply with the picture's size.
    WorkerRequest picture{.task = WorkerTask::Preview,
                          .present = (1u << kPageSlot) | (1u << kOutputSlot),
                          .maxMegapixels = 600,
                          .extensions = {"tif", "", "", "bits"}};
    WorkerReply pictured;
    pictured.inputs[kPageSlot] = replies[4].inputs[kPageSlot];
    pictured.written = true;
    pictured.previewWidth = 40;
    pictured.previewHeight = 20;
    replies.push_back(pictured);
    std::vector<std::vector<std::uint8_t>> messages = {EncodeRequest(request), EncodeRequest(picture)};
    for (const WorkerReply& reply : replies) messages.push_back(EncodeReply(reply));
    bool ok = true;
    for (std::size_t i = 0; i < messages.size(); ++i) {
        std::ofstream out(folder / ("message" + std::to_string(i)), std::ios::binary);
        out.write(reinterpret_cast<const char*>(messages[i].data()),
                  static_cast<std::streamsize>(messages[i].size()));
        ok &= static_cast<bool>(out);
    }
    return ok;
}

// Small TIFF pages written by libtiff in the layouts the strip copy takes: strips and tiles, each coding.
bool WriteStripSeeds(const std::filesystem::path& folder) {
    struct Layout {
        const char* name;
        std::uint16_t bits, samples, photometric, compression, predictor;
        std::uint32_t rowsPerStrip;  // 0: tiles of 16 x 16
        const char* mode;
    };
    const Layout layouts[] = {
        {"g4", 1, 1, PHOTOMETRIC_MINISWHITE, COMPRESSION_CCITTFAX4, 1, 5, "wl"},
        {"g3", 1, 1, PHOTOMETRIC_MINISBLACK, COMPRESSION_CCITTFAX3, 1, 3, "wb"},
        {"nibbles", 4, 1, PHOTOMETRIC_MINISWHITE, COMPRESSION_PACKBITS, 1, 2, "wl"},
        {"grey", 8, 1, PHOTOMETRIC_MINISBLACK, COMPRESSION_NONE, 1, 1, "wl"},
        {"grey-lzw", 8, 1, PHOTOMETRIC_MINISBLACK, COMPRESSION_LZW, 2, 4, "wb"},
        {"palette-tiles", 8, 1, PHOTOMETRIC_PALETTE, COMPRESSION_ADOBE_DEFLATE, 1, 0, "wl"},
        {"grey16-tiles", 16, 1, PHOTOMETRIC_MINISBLACK, COMPRESSION_LZW, 2, 0, "wb"},
        {"rgb", 8, 3, PHOTOMETRIC_RGB, COMPRESSION_LZW, 2, 3, "wl"},
        {"rgb48", 16, 3, PHOTOMETRIC_RGB, COMPRESSION_NONE, 1, 2, "wb"},
        {"grey-jpeg", 8, 1, PHOTOMETRIC_MINISBLACK, COMPRESSION_JPEG, 1, 16, "wl"},
        {"rgb-jpeg-tiles", 8, 3, PHOTOMETRIC_RGB, COMPRESSION_JPEG, 1, 0, "wb"},
    };
    bool ok = true;
    unsigned seed = 0;
    for (const Layout& layout : layouts) {
        const std::filesystem::path path = folder / (std::string(layout.name) + ".tif");
        TIFF* tiff = TIFFOpen(path.c_str(), layout.mode);
        if (!tiff) return false;
        constexpr std::uint32_t kWidth = 37, kHeight = 21;
        TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, kWidth);
        TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, kHeight);
        TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, layout.bits);
        TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, layout.samples);
        TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(tiff, TIFFTAG_COMPRESSION, layout.compression);
        TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, layout.photometric);
        if (layout.predictor != 1) TIFFSetField(tiff, TIFFTAG_PREDICTOR, layout.predictor);
        std::vector<std::uint16_t> map(256);
        for (unsigned i = 0; i < 256; ++i) map[i] = static_cast<std::uint16_t>(i * 257);
        if (layout.photometric == PHOTOMETRIC_PALETTE)
            TIFFSetField(tiff, TIFFTAG_COLORMAP, map.data(), map.data(), map.data());
        std::vector<std::uint8_t> bytes;
        auto fill = [&](std::size_t size) {
            bytes.resize(size);
            for (std::size_t i = 0; i < size; ++i)
                bytes[i] = static_cast<std::uint8_t>((i * 73) ^ (i >> 3) ^ seed);
        };
        if (layout.rowsPerStrip) {
            TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, layout.rowsPerStrip);
            for (std::uint32_t row = 0; row < kHeight; ++row) {
                fill(static_cast<std::size_t>(TIFFScanlineSize(tiff)));
                ok &= TIFFWriteScanline(tiff, bytes.data(), row, 0) == 1;
            }
        } else {
            TIFFSetField(tiff, TIFFTAG_TILEWIDTH, 16);
            TIFFSetField(tiff, TIFFTAG_TILELENGTH, 16);
            for (std::uint32_t k = 0; k < TIFFNumberOfTiles(tiff); ++k) {
                fill(static_cast<std::size_t>(TIFFTileSize(tiff)));
                ok &= TIFFWriteEncodedTile(tiff, k, bytes.data(), static_cast<tmsize_t>(bytes.size())) > 0;
            }
        }
        TIFFClose(tiff);
        // The first byte picks the mask: none, a band, every other column, all (none for JPEG pages, which
        // are copied only when nothing is marked).
        std::ifstream in(path, std::ios::binary);
        const std::string content((std::istreambuf_iterator<char>(in)), {});
        in.close();
        std::filesystem::remove(path);
        std::ofstream out(folder / layout.name, std::ios::binary);
        out.put(static_cast<char>(layout.compression == COMPRESSION_JPEG ? 0 : seed % 4));
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
        ok &= static_cast<bool>(out);
        ++seed;
    }
    return ok;
}

int main(int argc, char** argv) {
    if (argc < 2 || argc > 4) {
        std::fprintf(stderr, "usage: orfeo-fuzz-seeds DIR [PROTOCOL_DIR [STRIPS_DIR]]\n");
        return 2;
    }
    const std::filesystem::path folder = argv[1];
    std::filesystem::create_directories(folder);
    struct Seed {
        const char* name;
        Extension extension;
        FREE_IMAGE_FORMAT format;
        FREE_IMAGE_TYPE type;
        unsigned bpp;
    };
    const Seed seeds[] = {
        {"bitonal.bmp", kBmp, FIF_BMP, FIT_BITMAP, 1},  {"nibbles.bmp", kBmp, FIF_BMP, FIT_BITMAP, 4},
        {"grey.bmp", kBmp, FIF_BMP, FIT_BITMAP, 8},     {"colour.bmp", kBmp, FIF_BMP, FIT_BITMAP, 24},
        {"grey.jpeg", kJpeg, FIF_JPEG, FIT_BITMAP, 8},  {"colour.jpg", kJpg, FIF_JPEG, FIT_BITMAP, 24},
        {"grey.gif", kGif, FIF_GIF, FIT_BITMAP, 8},     {"grey.tiff", kTiff, FIF_TIFF, FIT_BITMAP, 8},
        {"bitonal.tif", kTif, FIF_TIFF, FIT_BITMAP, 1}, {"colour.tif", kTif, FIF_TIFF, FIT_BITMAP, 24},
        {"rgba.tif", kTif, FIF_TIFF, FIT_BITMAP, 32},   {"grey16.tif", kTif, FIF_TIFF, FIT_UINT16, 16},
        {"rgb16.tif", kTif, FIF_TIFF, FIT_RGB16, 48},   {"grey.pnm", kPnm, FIF_PGM, FIT_BITMAP, 8},
        {"colour.ppm", kPpm, FIF_PPM, FIT_BITMAP, 24},  {"grey.pgm", kPgm, FIF_PGM, FIT_BITMAP, 8},
        {"bitonal.pbm", kPbm, FIF_PBM, FIT_BITMAP, 1},  {"wide.pbm", kPbm, FIF_PBM, FIT_BITMAP, 1},
    };
    bool ok = true;
    for (const Seed& seed : seeds) {
        const unsigned width = std::string(seed.name).rfind("wide", 0) == 0 ? 67 : 13;
        FIBITMAP* image = Image(seed.type, width, 7, seed.bpp);
        ok &= Write(folder, seed.name, seed.extension, seed.format, image);
        FreeImage_Unload(image);
    }
    if (argc >= 3) ok &= WriteProtocolSeeds(argv[2]);
    if (argc == 4) {
        std::filesystem::create_directories(argv[3]);
        ok &= WriteStripSeeds(argv[3]);
    }
    return ok ? 0 : 1;
}
