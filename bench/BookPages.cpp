#include "bench/BookPages.h"

#include <FreeImage.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace orfeo::bench {

namespace {

// The layout of a book page, in fractions of the page's width and height, counted from the top left.
struct Region {
    double left, top, right, bottom;
    bool text;  // lines of text; otherwise a half-tone figure
};

constexpr Region kPageLayout[] = {
    {0.120, 0.055, 0.880, 0.068, true},   // running head
    {0.120, 0.095, 0.880, 0.470, true},   // first text block
    {0.200, 0.490, 0.800, 0.620, false},  // figure
    {0.120, 0.640, 0.880, 0.915, true},   // second text block
    {0.470, 0.940, 0.530, 0.951, true},   // folio
};

struct Box {
    int x0, y0, x1, y1;  // [x0, x1) x [y0, y1), rows counted from the top
};

Box PixelBox(const Region& r, unsigned width, unsigned height) {
    return {static_cast<int>(std::lround(r.left * width)), static_cast<int>(std::lround(r.top * height)),
            static_cast<int>(std::lround(r.right * width)), static_cast<int>(std::lround(r.bottom * height))};
}

// Row `y` counted from the top (FreeImage counts scan lines from the bottom).
BYTE* RowFromTop(FIBITMAP* image, int y) {
    return FreeImage_GetScanLine(image, static_cast<int>(FreeImage_GetHeight(image)) - 1 - y);
}

void SetGreyPalette(FIBITMAP* image, unsigned entries) {
    RGBQUAD* palette = FreeImage_GetPalette(image);
    for (unsigned i = 0; i < entries; ++i) {
        const BYTE level = static_cast<BYTE>(i * 255 / (entries - 1));
        palette[i].rgbRed = palette[i].rgbGreen = palette[i].rgbBlue = level;
        palette[i].rgbReserved = 0;
    }
}

// A random walk in [0, limit], one step per position: the ragged edge of a mask region.
std::vector<int> RaggedEdge(std::size_t length, int limit, Rng& rng) {
    std::vector<int> offsets(length);
    int value = rng.Between(0, limit);
    for (int& offset : offsets) {
        value = std::clamp(value + rng.Between(-2, 2), 0, limit);
        offset = value;
    }
    return offsets;
}

void SetMaskBit(FIBITMAP* mask, int x, int y, bool marked) {
    BYTE* row = RowFromTop(mask, y);
    const BYTE bit = static_cast<BYTE>(0x80u >> (x & 7));
    if (marked) {
        row[x >> 3] |= bit;
    } else {
        row[x >> 3] &= static_cast<BYTE>(~bit);
    }
}

}  // namespace

// An 8-bit grey scan of a book page: slightly noisy paper, lines of dark glyph strokes in the text regions
// and a half-tone figure.
ImagePtr MakePage(unsigned width, unsigned height, std::uint64_t seed) {
    ImagePtr page(FreeImage_Allocate(static_cast<int>(width), static_cast<int>(height), 8));
    if (!page) return page;
    SetGreyPalette(page.get(), 256);
    const unsigned dpm = static_cast<unsigned>(std::lround(width / 0.210));  // A4 is 210 mm wide
    FreeImage_SetDotsPerMeterX(page.get(), dpm);
    FreeImage_SetDotsPerMeterY(page.get(), dpm);

    Rng rng(seed);
    for (unsigned y = 0; y < height; ++y) {
        BYTE* row = RowFromTop(page.get(), static_cast<int>(y));
        for (unsigned x = 0; x < width; x += 8) {
            std::uint64_t noise = rng.Next();
            for (unsigned i = x; i < std::min(x + 8, width); ++i, noise >>= 8) {
                row[i] = static_cast<BYTE>(226 + (noise & 7));
            }
        }
    }

    const int pitch = std::max(8, static_cast<int>(std::lround(height * 0.0114)));  // line spacing
    std::vector<std::uint8_t> ink(width);
    for (const Region& region : kPageLayout) {
        const Box box = PixelBox(region, width, height);
        if (!region.text) {
            for (int y = box.y0; y < box.y1; ++y) {
                BYTE* row = RowFromTop(page.get(), y);
                for (int x = box.x0; x < box.x1; ++x) {
                    row[x] = static_cast<BYTE>(50 + (x * 3 + y * 5) % 150 + (rng.Next() & 15));
                }
            }
            continue;
        }
        for (int top = box.y0; top + pitch / 2 <= box.y1; top += pitch) {
            // One line: words of vertical strokes, the same columns inked on every row of the line.
            std::fill(ink.begin(), ink.end(), 0);
            int x = box.x0;
            while (x < box.x1) {
                const int wordEnd = std::min(box.x1, x + rng.Between(pitch, pitch * 4));
                while (x < wordEnd) {
                    const int stroke = rng.Between(pitch / 14 + 1, pitch / 8 + 1);
                    for (int i = x; i < std::min(wordEnd, x + stroke); ++i) ink[i] = 1;
                    x += stroke + rng.Between(pitch / 8, pitch / 4);
                }
                x += pitch / 2;
            }
            const int bandEnd = std::min(box.y1, top + pitch * 7 / 10);
            for (int y = top + pitch / 5; y < bandEnd; ++y) {
                BYTE* row = RowFromTop(page.get(), y);
                for (int i = box.x0; i < box.x1; ++i) {
                    if (ink[i]) row[i] = static_cast<BYTE>(20 + (rng.Next() & 31));
                }
            }
        }
    }
    return page;
}

// A 1-bit automask for a page of the layout above: each region grown by a margin, with edges that wander
// by up to ~0.3% of the page width, a few holes inside and dust specks marked in the margins.
ImagePtr MakeMask(unsigned width, unsigned height, std::uint64_t seed) {
    ImagePtr mask(FreeImage_Allocate(static_cast<int>(width), static_cast<int>(height), 1));
    if (!mask) return mask;
    SetGreyPalette(mask.get(), 2);
    std::memset(FreeImage_GetBits(mask.get()), 0, std::size_t{FreeImage_GetPitch(mask.get())} * height);

    Rng rng(seed);
    const int w = static_cast<int>(width), h = static_cast<int>(height);
    const int grow = std::max(2, static_cast<int>(std::lround(width * 0.004)));
    const int ragged = std::max(2, w / 310);
    for (const Region& region : kPageLayout) {
        const Box core = PixelBox(region, width, height);
        const Box box{core.x0 - grow, core.y0 - grow, core.x1 + grow, core.y1 + grow};
        const Box outer{std::max(0, box.x0 - ragged), std::max(0, box.y0 - ragged),
                        std::min(w, box.x1 + ragged), std::min(h, box.y1 + ragged)};
        const auto rows = static_cast<std::size_t>(outer.y1 - outer.y0);
        const auto cols = static_cast<std::size_t>(outer.x1 - outer.x0);
        const std::vector<int> left = RaggedEdge(rows, ragged, rng), right = RaggedEdge(rows, ragged, rng);
        const std::vector<int> top = RaggedEdge(cols, ragged, rng), bottom = RaggedEdge(cols, ragged, rng);
        for (int y = outer.y0; y < outer.y1; ++y) {
            const int r = y - outer.y0;
            for (int x = std::max(outer.x0, box.x0 - left[r]); x < std::min(outer.x1, box.x1 + right[r]);
                 ++x) {
                const int c = x - outer.x0;
                if (y >= box.y0 - top[c] && y < box.y1 + bottom[c]) SetMaskBit(mask.get(), x, y, true);
            }
        }
        for (int hole = 0; hole < 12; ++hole) {
            const int size = rng.Between(2, 8);
            const int hx = rng.Between(core.x0, core.x1 - size), hy = rng.Between(core.y0, core.y1 - size);
            for (int y = hy; y < hy + size; ++y) {
                for (int x = hx; x < hx + size; ++x) SetMaskBit(mask.get(), x, y, false);
            }
        }
    }
    for (int speck = 0; speck < 40; ++speck) {
        const int size = rng.Between(2, 10);
        const int sx = rng.Between(0, w - size), sy = rng.Between(0, h - size);
        for (int y = sy; y < sy + size; ++y) {
            for (int x = sx; x < sx + size; ++x) SetMaskBit(mask.get(), x, y, true);
        }
    }
    return mask;
}

}  // namespace orfeo::bench
