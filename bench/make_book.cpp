// orfeo-make-book: writes a generated book shaped like a real one, stored the way scanners store it, and the
// second folder of a merge.
//
//   orfeo-make-book [--pages N] [--seed S] [--scale F] [--kind K] FOLDER1 FOLDER2
//
// Writes FOLDER1/page001.tif ... pageN.tif (N defaults to 24), a 1-bit mask of the same name for each in
// FOLDER1/cache/automask/, and N other pages of the same names, sizes and layouts into FOLDER2. The page
// layouts cycle through kKinds below (300 and 600 dpi A4; grey, RGB and bitonal; uncompressed, LZW and
// CCITT G4), written with libtiff in strips of TIFFDefaultStripSize rows. Masks are CCITT G4, min-is-black
// (a stored 1 marks a pixel): empty on half of the pages, one or two ragged bands across the page (a
// picture, a table) on the others; every kind of page comes with both (see WriteMask). --scale (default 1)
// multiplies the page sizes, for tiny test books. --kind K (1 to 8) makes every page of the K-th layout of
// kKinds (2: 300-dpi grey LZW, 7: 300-dpi bitonal G4), masks still empty on half of them. Everything comes
// from fixed seeds: the same arguments give the same files.

#include <FreeImage.h>
#include <tiffio.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "bench/BookPages.h"

namespace {

namespace fs = std::filesystem;
using orfeo::bench::Rng;

enum class Pixels { Grey, Rgb, Bitonal };

// One page layout of the book, as scanner software writes it.
struct Kind {
    unsigned dpi;
    Pixels pixels;
    std::uint16_t compression;
    std::uint16_t predictor;  // PREDICTOR_NONE: no Predictor tag
};

constexpr Kind kKinds[] = {
    {300, Pixels::Grey, COMPRESSION_NONE, PREDICTOR_NONE},
    {300, Pixels::Grey, COMPRESSION_LZW, PREDICTOR_NONE},
    {300, Pixels::Rgb, COMPRESSION_NONE, PREDICTOR_NONE},
    {300, Pixels::Rgb, COMPRESSION_LZW, PREDICTOR_HORIZONTAL},
    {600, Pixels::Grey, COMPRESSION_LZW, PREDICTOR_NONE},
    {600, Pixels::Bitonal, COMPRESSION_CCITTFAX4, PREDICTOR_NONE},
    {300, Pixels::Bitonal, COMPRESSION_CCITTFAX4, PREDICTOR_NONE},
    {600, Pixels::Rgb, COMPRESSION_NONE, PREDICTOR_NONE},
};

template <typename T>
bool ParseNumber(std::string_view text, T& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

int Usage() {
    std::fprintf(stderr,
                 "Usage: orfeo-make-book [--pages N] [--seed S] [--scale F] [--kind K] FOLDER1 FOLDER2\n");
    return 2;
}

std::string PageName(unsigned index) {
    char name[32];
    std::snprintf(name, sizeof name, "page%03u.tif", index + 1);
    return name;
}

// Writes a TIFF of `height` rows of `bits` x `samples` bits per pixel; `row(r, buffer)` fills row r, counted
// from the top. False, with the message, when anything fails.
template <typename RowFn>
bool WriteTiff(const fs::path& path, unsigned width, unsigned height, std::uint16_t bits,
               std::uint16_t samples, std::uint16_t photometric, const Kind& kind, RowFn row) {
    bool ok = false;
    if (TIFF* tif = TIFFOpen(path.c_str(), "w")) {
        const float dpi = static_cast<float>(kind.dpi);
        ok = TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width) && TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height) &&
             TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, bits) &&
             TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, samples) &&
             TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, photometric) &&
             TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
             TIFFSetField(tif, TIFFTAG_COMPRESSION, kind.compression) &&
             (kind.predictor == PREDICTOR_NONE || TIFFSetField(tif, TIFFTAG_PREDICTOR, kind.predictor)) &&
             TIFFSetField(tif, TIFFTAG_XRESOLUTION, dpi) && TIFFSetField(tif, TIFFTAG_YRESOLUTION, dpi) &&
             TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH) &&
             TIFFSetField(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT) &&
             TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tif, 0));
        std::vector<std::uint8_t> buffer((std::size_t{width} * bits * samples + 7) / 8);
        for (unsigned r = 0; ok && r < height; ++r) {
            row(r, buffer.data());
            ok = TIFFWriteScanline(tif, buffer.data(), r, 0) == 1;
        }
        ok = ok && TIFFFlush(tif) == 1;
        TIFFClose(tif);
    }
    if (!ok) std::fprintf(stderr, "orfeo-make-book: could not write %s\n", path.c_str());
    return ok;
}

// One RGB row from a grey one: cream paper, and columns [fx0, fx1) (the figure) in blues and oranges.
void ColourRow(const BYTE* in, std::uint8_t* out, unsigned width, unsigned fx0, unsigned fx1) {
    for (unsigned x = 0; x < width; ++x, out += 3) {
        const unsigned v = in[x];
        const bool figure = x >= fx0 && x < fx1;
        out[0] = std::uint8_t(figure ? std::min(255u, v + 40) : v);
        out[1] = std::uint8_t(figure ? v : v - v / 40);
        out[2] = std::uint8_t(figure ? 255 - v / 2 : v - v / 12);
    }
}

// A page of `kind`: the generated grey page, as it is, tinted to colour or thresholded to black ink.
bool WritePage(const fs::path& path, const Kind& kind, unsigned width, unsigned height, std::uint64_t seed) {
    const orfeo::ImagePtr grey = orfeo::bench::MakePage(width, height, seed);
    if (!grey) {
        std::fprintf(stderr, "orfeo-make-book: could not write %s\n", path.c_str());
        return false;
    }
    // FreeImage's scan line 0 is the bottom row.
    const auto greyRow = [&](unsigned r) { return FreeImage_GetScanLine(grey.get(), int(height - 1 - r)); };
    // Where MakePage draws its half-tone figure.
    const auto fy0 = unsigned(std::lround(0.490 * height)), fy1 = unsigned(std::lround(0.620 * height));
    const auto fx0 = unsigned(std::lround(0.200 * width)), fx1 = unsigned(std::lround(0.800 * width));
    switch (kind.pixels) {
        case Pixels::Grey:
            return WriteTiff(path, width, height, 8, 1, PHOTOMETRIC_MINISBLACK, kind,
                             [&](unsigned r, std::uint8_t* out) { std::copy_n(greyRow(r), width, out); });
        case Pixels::Rgb:
            return WriteTiff(path, width, height, 8, 3, PHOTOMETRIC_RGB, kind,
                             [&](unsigned r, std::uint8_t* out) {
                                 const bool figureRow = r >= fy0 && r < fy1;
                                 ColourRow(greyRow(r), out, width, figureRow ? fx0 : 0, figureRow ? fx1 : 0);
                             });
        case Pixels::Bitonal:
            // Min-is-white: a stored 1 is black ink.
            return WriteTiff(path, width, height, 1, 1, PHOTOMETRIC_MINISWHITE, kind,
                             [&](unsigned r, std::uint8_t* out) {
                                 const BYTE* in = greyRow(r);
                                 std::fill_n(out, (width + 7) / 8, 0);
                                 for (unsigned x = 0; x < width; ++x) {
                                     if (in[x] < 128) out[x >> 3] |= std::uint8_t(0x80u >> (x & 7));
                                 }
                             });
    }
    return false;
}

// A random walk in [0, limit], one step per position: how far a band's edge wanders into the band.
std::vector<unsigned> RaggedEdge(unsigned length, int limit, Rng& rng) {
    std::vector<unsigned> offsets(length);
    int value = rng.Between(0, limit);
    for (unsigned& offset : offsets) {
        value = std::clamp(value + rng.Between(-1, 1), 0, limit);
        offset = unsigned(value);
    }
    return offsets;
}

// The mask of page `index`: empty on every other page, the other way round in every other round of kinds (so
// that each kind comes with an empty mask and a marked one), else one band or two, in turn,
// across most of the width, together 10% to 40% of the page height; the edges wander inwards by a few
// pixels, so the marked rows never leave that range.
bool WriteMask(const fs::path& path, const Kind& kind, unsigned width, unsigned height, unsigned index,
               std::uint64_t seed) {
    struct Band {
        unsigned x0, y0, x1, y1;
        std::vector<unsigned> left, right, top, bottom;
    };
    std::vector<Band> bands;
    const unsigned round = index / unsigned(std::size(kKinds));
    if ((index + round) % 2 == 1) {
        Rng rng(seed);
        const int count = (index / 2) % 2 == 0 ? 1 : 2;
        const int h = int(height), w = int(width), wander = std::max(1, w / 600);
        const int total = rng.Between(int(std::ceil(0.10 * h)) + 2 * count * wander, int(0.40 * h));
        const int first = count == 1 ? total : rng.Between(total / 3, total - total / 3);
        const int margin = h / 20, slack = h - 2 * margin - total, gap = h / 50;
        int y = margin + rng.Between(0, count == 1 ? slack : slack - gap);
        for (int b = 0; b < count; ++b) {
            const int bandHeight = b == 0 ? first : total - first;
            Band band;
            band.x0 = unsigned(rng.Between(w * 6 / 100, w * 12 / 100));
            band.x1 = unsigned(w - rng.Between(w * 6 / 100, w * 12 / 100));
            band.y0 = unsigned(y);
            band.y1 = unsigned(y + bandHeight);
            band.left = RaggedEdge(unsigned(bandHeight), wander, rng);
            band.right = RaggedEdge(unsigned(bandHeight), wander, rng);
            band.top = RaggedEdge(width, wander, rng);
            band.bottom = RaggedEdge(width, wander, rng);
            bands.push_back(std::move(band));
            // The second band starts after a gap, somewhere in what is left of the slack.
            const int used = y - margin;
            y += bandHeight + rng.Between(gap, std::max(gap, slack - used));
        }
    }
    return WriteTiff(path, width, height, 1, 1, PHOTOMETRIC_MINISBLACK, kind,
                     [&](unsigned r, std::uint8_t* out) {
                         std::fill_n(out, (width + 7) / 8, 0);
                         for (const Band& band : bands) {
                             if (r < band.y0 || r >= band.y1) continue;
                             const unsigned i = r - band.y0;
                             for (unsigned x = band.x0 + band.left[i]; x < band.x1 - band.right[i]; ++x) {
                                 if (r >= band.y0 + band.top[x] && r < band.y1 - band.bottom[x]) {
                                     out[x >> 3] |= std::uint8_t(0x80u >> (x & 7));
                                 }
                             }
                         }
                     });
}

}  // namespace

int main(int argc, char** argv) {
    TIFFSetWarningHandler(nullptr);
    unsigned pages = 24;
    std::uint64_t seed = 0x0B00C000;
    double scale = 1.0;
    unsigned onlyKind = 0;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--pages" && i + 1 < argc) {
            if (!ParseNumber(argv[++i], pages) || pages == 0 || pages > 999) return Usage();
        } else if (arg == "--seed" && i + 1 < argc) {
            if (!ParseNumber(argv[++i], seed)) return Usage();
        } else if (arg == "--scale" && i + 1 < argc) {
            // At least 64 pixels across the smallest page, at most four times the largest.
            if (!ParseNumber(argv[++i], scale) || !(scale * orfeo::bench::kA4Width300 >= 64) || scale > 4) {
                return Usage();
            }
        } else if (arg == "--kind" && i + 1 < argc) {
            if (!ParseNumber(argv[++i], onlyKind) || onlyKind == 0 || onlyKind > std::size(kKinds))
                return Usage();
        } else {
            break;
        }
    }
    if (argc - i != 2) return Usage();
    const fs::path folder = argv[i], newFolder = argv[i + 1];
    const fs::path maskFolder = folder / "cache" / "automask";
    for (const fs::path& path : {maskFolder, newFolder}) {
        std::error_code error;
        fs::create_directories(path, error);
        if (error) {
            std::fprintf(stderr, "orfeo-make-book: could not create %s\n", path.c_str());
            return 1;
        }
    }

    for (unsigned index = 0; index < pages; ++index) {
        const Kind& kind = onlyKind ? kKinds[onlyKind - 1] : kKinds[index % std::size(kKinds)];
        const unsigned baseWidth = kind.dpi == 600 ? orfeo::bench::kA4Width600 : orfeo::bench::kA4Width300;
        const unsigned baseHeight = kind.dpi == 600 ? orfeo::bench::kA4Height600 : orfeo::bench::kA4Height300;
        const auto width = unsigned(std::lround(baseWidth * scale));
        const auto height = unsigned(std::lround(baseHeight * scale));
        const std::string name = PageName(index);
        if (!WritePage(folder / name, kind, width, height, seed + index) ||
            !WriteMask(maskFolder / name,
                       Kind{kind.dpi, Pixels::Bitonal, COMPRESSION_CCITTFAX4, PREDICTOR_NONE}, width, height,
                       index, seed + 0x8000 + index) ||
            !WritePage(newFolder / name, kind, width, height, seed + 0x10000 + index)) {
            return 1;
        }
    }
    return 0;
}
