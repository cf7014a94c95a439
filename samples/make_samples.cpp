// orfeo-make-samples: draws the small sample book used to try both jobs by hand.
//
//   book/page1.tif .. page3.tif                 8-bit grey pages, 320 x 440 pixels at 100 dpi
//   book/cache/automask/page1.tif .. page3.tif  one-bit masks of the same size (a set bit marks a pixel)
//   book2/page1.tif .. page3.tif                corrected rescans of the same pages
//
// The book pages are a washed-out first scan with a gutter shadow and a stain inside each marked region; the
// book2 pages are brighter, cleaner rescans with darker ink and crisper pictures, so a merge visibly takes
// the marked regions from book2. Everything is drawn from fixed seeds with whole-number arithmetic: every
// run writes the same pixels.
//
// Usage: orfeo-make-samples [output-folder]   (default: the samples folder of the source tree)

#include <FreeImage.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr int kWidth = 320;
constexpr int kHeight = 440;
constexpr unsigned kDotsPerMetre = 3937;  // 100 dpi; TIFF stores whole dpi, so this round-trips
constexpr int kPageCount = 3;

// splitmix64: tiny, and the same sequence everywhere (unlike the standard library's distributions).
class Rng {
public:
    explicit Rng(std::uint64_t seed) : state_(seed) {}

    std::uint64_t Next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    // A whole number in [0, n).
    int Below(int n) { return static_cast<int>(Next() % static_cast<std::uint64_t>(n)); }

private:
    std::uint64_t state_;
};

// Page coordinates count from the top-left corner; rows are flipped only when a bitmap is filled.
struct Rect {
    int x, y, w, h;

    Rect Grown(int by) const { return {x - by, y - by, w + 2 * by, h + 2 * by}; }
    bool Contains(int px, int py) const { return px >= x && py >= y && px < x + w && py < y + h; }
};

// A grey page in memory, top row first.
class Canvas {
public:
    explicit Canvas(int paper) : pixels_(kWidth * kHeight, static_cast<std::uint8_t>(paper)) {}

    static bool Inside(int x, int y) { return x >= 0 && y >= 0 && x < kWidth && y < kHeight; }
    int Get(int x, int y) const { return pixels_[y * kWidth + x]; }
    const std::uint8_t* Row(int y) const { return &pixels_[y * kWidth]; }

    void Set(int x, int y, int value) {
        if (Inside(x, y)) pixels_[y * kWidth + x] = static_cast<std::uint8_t>(std::clamp(value, 0, 255));
    }
    // Ink only darkens, so overlapping strokes keep the darker value.
    void Ink(int x, int y, int value) {
        if (Inside(x, y) && value < Get(x, y)) Set(x, y, value);
    }
    void Darken(int x, int y, int amount) {
        if (Inside(x, y)) Set(x, y, Get(x, y) - amount);
    }
    void Frame(const Rect& r, int value) {
        for (int x = r.x; x < r.x + r.w; ++x) {
            Set(x, r.y, value);
            Set(x, r.y + r.h - 1, value);
        }
        for (int y = r.y; y < r.y + r.h; ++y) {
            Set(r.x, y, value);
            Set(r.x + r.w - 1, y, value);
        }
    }

private:
    std::vector<std::uint8_t> pixels_;
};

// What tells the first scan from the rescan of the same page.
struct Look {
    int paper;         // background grey
    int ink;           // text grey
    int contrast_pct;  // picture contrast around mid-grey, in percent
    bool aged;         // gutter shadow and stains
};

constexpr Look kFirstScan{226, 82, 75, true};
constexpr Look kRescan{250, 36, 125, false};

// ---------------------------------------------------------------------------------------------------------
// A made-up typeface: ten rows per glyph, rows 0-2 ascenders, 3-7 x-height (baseline below row 7), 8-9
// descenders.

struct Glyph {
    char ch;
    const char* rows[10];
};

// clang-format off
constexpr Glyph kGlyphs[] = {
    {'a', {"....", "....", "....", ".##.", "...#", ".###", "#..#", ".###", "....", "...."}},
    {'b', {"#...", "#...", "#...", "###.", "#..#", "#..#", "#..#", "###.", "....", "...."}},
    {'c', {"...", "...", "...", ".##", "#..", "#..", "#..", ".##", "...", "..."}},
    {'d', {"...#", "...#", "...#", ".###", "#..#", "#..#", "#..#", ".###", "....", "...."}},
    {'e', {"....", "....", "....", ".##.", "#..#", "####", "#...", ".###", "....", "...."}},
    {'g', {"....", "....", "....", ".###", "#..#", "#..#", "#..#", ".###", "...#", ".##."}},
    {'h', {"#...", "#...", "#...", "###.", "#..#", "#..#", "#..#", "#..#", "....", "...."}},
    {'i', {".", ".", "#", ".", "#", "#", "#", "#", ".", "."}},
    {'l', {"#", "#", "#", "#", "#", "#", "#", "#", ".", "."}},
    {'m', {".....", ".....", ".....", "##.#.", "#.#.#", "#.#.#", "#.#.#", "#.#.#", ".....", "....."}},
    {'n', {"....", "....", "....", "###.", "#..#", "#..#", "#..#", "#..#", "....", "...."}},
    {'o', {"....", "....", "....", ".##.", "#..#", "#..#", "#..#", ".##.", "....", "...."}},
    {'p', {"....", "....", "....", "###.", "#..#", "#..#", "#..#", "###.", "#...", "#..."}},
    {'r', {"...", "...", "...", "#.#", "##.", "#..", "#..", "#..", "...", "..."}},
    {'s', {"...", "...", "...", ".##", "#..", ".#.", "..#", "##.", "...", "..."}},
    {'t', {"...", ".#.", ".#.", "###", ".#.", ".#.", ".#.", "..#", "...", "..."}},
    {'u', {"....", "....", "....", "#..#", "#..#", "#..#", "#..#", ".###", "....", "...."}},
    {'y', {"....", "....", "....", "#..#", "#..#", "#..#", "#..#", ".###", "...#", ".##."}},
    {'A', {"..#..", ".#.#.", ".#.#.", "#...#", "#####", "#...#", "#...#", "#...#", ".....", "....."}},
    {'E', {"####", "#...", "#...", "###.", "#...", "#...", "#...", "####", "....", "...."}},
    {'H', {"#..#", "#..#", "#..#", "####", "#..#", "#..#", "#..#", "#..#", "....", "...."}},
    {'T', {"#####", "..#..", "..#..", "..#..", "..#..", "..#..", "..#..", "..#..", ".....", "....."}},
    {'1', {".#.", "##.", ".#.", ".#.", ".#.", ".#.", ".#.", "###", "...", "..."}},
    {'2', {".#.", "#.#", "..#", "..#", ".#.", "#..", "#..", "###", "...", "..."}},
    {'3', {"##.", "..#", "..#", ".#.", "..#", "..#", "..#", "##.", "...", "..."}},
    {'.', {".", ".", ".", ".", ".", ".", ".", "#", ".", "."}},
    {',', {".", ".", ".", ".", ".", ".", ".", "#", "#", "."}},
};
// clang-format on

constexpr int kGlyphRows = 10;
constexpr int kSpaceWidth = 3;

const Glyph* FindGlyph(char ch) {
    for (const Glyph& g : kGlyphs) {
        if (g.ch == ch) return &g;
    }
    return nullptr;
}

int GlyphWidth(const Glyph& g) { return static_cast<int>(std::strlen(g.rows[0])); }

// Width in unscaled pixels, one pixel between glyphs.
int TextWidth(std::string_view text) {
    int width = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const Glyph* g = FindGlyph(text[i]);
        width += g ? GlyphWidth(*g) : kSpaceWidth;
        if (i + 1 < text.size()) width += 1;
    }
    return width;
}

struct TextStyle {
    int scale = 1;
    int ink = 0;
    bool bold = false;  // every stroke doubled one pixel to the right
};

// Draws `text` with its top-left corner at (x, y); returns the x after it.
int DrawText(Canvas& canvas, int x, int y, std::string_view text, const TextStyle& style) {
    for (char ch : text) {
        const Glyph* g = FindGlyph(ch);
        if (!g) {
            x += (kSpaceWidth + 1) * style.scale;
            continue;
        }
        for (int row = 0; row < kGlyphRows; ++row) {
            for (int col = 0; g->rows[row][col] != '\0'; ++col) {
                if (g->rows[row][col] != '#') continue;
                for (int dy = 0; dy < style.scale; ++dy) {
                    for (int dx = 0; dx < style.scale + (style.bold ? 1 : 0); ++dx) {
                        canvas.Ink(x + col * style.scale + dx, y + row * style.scale + dy, style.ink);
                    }
                }
            }
        }
        x += (GlyphWidth(*g) + 1) * style.scale;
    }
    return x;
}

void DrawCentred(Canvas& canvas, const Rect& area, int y, std::string_view text, const TextStyle& style) {
    DrawText(canvas, area.x + (area.w - TextWidth(text) * style.scale) / 2, y, text, style);
}

// Made-up words with roughly English letter frequencies; capitals after full stops.
class WordSource {
public:
    explicit WordSource(std::uint64_t seed) : rng_(seed) {}

    std::string Next() {
        static constexpr std::string_view kLetters = "eeeeeetttttaaaaoooiiinnnnsssshhhrrrdddllcummpbgy";
        static constexpr int kLengths[] = {1, 2, 2, 3, 3, 3, 4, 4, 4, 5, 5, 5, 6, 6, 7, 8, 9};
        static constexpr std::string_view kCapitals = "AETH";
        const int length = kLengths[rng_.Below(static_cast<int>(std::size(kLengths)))];
        std::string word;
        for (int i = 0; i < length; ++i) word += kLetters[rng_.Below(static_cast<int>(kLetters.size()))];
        if (capital_next_) word[0] = kCapitals[rng_.Below(static_cast<int>(kCapitals.size()))];
        capital_next_ = false;
        const int end = rng_.Below(12);
        if (end == 0) {
            word += '.';
            capital_next_ = true;
        } else if (end == 1) {
            word += ',';
        }
        return word;
    }

    void StartSentence() { capital_next_ = true; }

private:
    Rng rng_;
    bool capital_next_ = true;
};

constexpr int kLineHeight = 12;
constexpr int kIndent = 12;

// Sets a justified paragraph of `lines` lines into the column `area`, starting at line top `y`, with the
// first line indented and the last one short and ragged. Returns the y below the paragraph.
int SetParagraph(Canvas& canvas, const Rect& area, int y, int lines, WordSource& words, int ink,
                 bool indent = true) {
    words.StartSentence();
    std::string carried;
    for (int line = 0; line < lines; ++line) {
        const int left = area.x + (line == 0 && indent ? kIndent : 0);
        const int available = area.x + area.w - left;
        const bool last = line + 1 == lines;
        const int wanted = last ? available * 3 / 5 : available;
        std::vector<std::string> fitted;
        int used = 0;  // glyphs plus one-space gaps
        while (true) {
            std::string word = carried.empty() ? words.Next() : std::move(carried);
            carried.clear();
            const int extra = TextWidth(word) + (fitted.empty() ? 0 : kSpaceWidth + 2);
            if (!fitted.empty() && used + extra > wanted) {
                carried = std::move(word);
                break;
            }
            used += extra;
            fitted.push_back(std::move(word));
        }
        if (last && !fitted.empty()) {
            // A paragraph ends with a full stop.
            std::string& tail = fitted.back();
            if (tail.back() == '.' || tail.back() == ',') tail.pop_back();
            tail += '.';
        }
        const int gaps = static_cast<int>(fitted.size()) - 1;
        const int slack = last || gaps == 0 ? 0 : std::max(0, available - used);
        int x = left;
        for (int i = 0; i <= gaps; ++i) {
            x = DrawText(canvas, x, y, fitted[i], {1, ink, false});
            if (i < gaps) x += kSpaceWidth + 1 + slack / gaps + (i < slack % gaps ? 1 : 0);
        }
        y += kLineHeight;
    }
    return y;
}

// ---------------------------------------------------------------------------------------------------------
// Pictures: each returns the grey of a pixel in picture coordinates; the look's contrast is applied after.

struct Point {
    int x, y;
};

// The y of a polyline through `points` (sorted by x) at `x`.
template <std::size_t N>
int Ridge(const Point (&points)[N], int x) {
    for (std::size_t i = 1; i < N; ++i) {
        if (x <= points[i].x) {
            const Point& a = points[i - 1];
            const Point& b = points[i];
            return a.y + (b.y - a.y) * (x - a.x) / (b.x - a.x);
        }
    }
    return points[N - 1].y;
}

bool InCircle(int x, int y, int cx, int cy, int r) {
    return (x - cx) * (x - cx) + (y - cy) * (y - cy) <= r * r;
}

bool InEllipse(int x, int y, int cx, int cy, int rx, int ry) {
    const long dx = x - cx, dy = y - cy;
    return dx * dx * ry * ry + dy * dy * rx * rx <= static_cast<long>(rx) * rx * ry * ry;
}

bool InBird(int x, int y, int cx, int cy) {
    const int dx = x - cx;
    return dx >= -3 && dx <= 3 && y - cy == -(dx < 0 ? -dx : dx) + 1 && dx != 0;
}

// A coast: sky with a low sun, far mountains, near hills and a fir tree. Meant for 200 x 130.
int Landscape(int x, int y) {
    static constexpr Point kFar[] = {{0, 72},   {30, 58},  {55, 66},  {85, 44},
                                     {110, 60}, {140, 50}, {170, 68}, {200, 56}};
    static constexpr Point kNear[] = {{0, 96}, {40, 88}, {80, 100}, {120, 84}, {160, 94}, {200, 86}};
    const int near = Ridge(kNear, x);
    if (x >= 35 && x <= 37 && y >= 88 && y <= 110) return 52;  // trunk
    const int half = (y - 60) * 11 / 38;                       // crown: a triangle from y 60 to 98
    if (y >= 60 && y <= 98 && x >= 36 - half && x <= 36 + half) return 58;
    if (y >= near) return 104 - (y - near) / 2;
    if (y >= Ridge(kFar, x)) return 150;
    if (InCircle(x, y, 148, 34, 13)) return 242;
    if (InBird(x, y, 70, 28) || InBird(x, y, 84, 22) || InBird(x, y, 95, 31)) return 70;
    return 170 + 50 * y / 130;
}

// A house in a field, with a tree and a cloud. Meant for 240 x 150.
int House(int x, int y) {
    if (x >= 196 && x <= 200 && y >= 80 && y <= 124) return 58;  // trunk
    if (InCircle(x, y, 198, 68, 22)) return 84;                  // crown
    if (x >= 140 && x < 148 && y >= 32 && y < 52) return 70;     // chimney
    if (y >= 30 && y <= 60) {                                    // roof
        const int half = (y - 30) * 53 / 30;
        if (x >= 115 - half && x <= 115 + half) return 70;
    }
    if (x >= 105 && x < 121 && y >= 88 && y < 115) return 48;  // door
    for (int wx : {80, 134}) {                                 // windows with crossbars
        if (x >= wx && x < wx + 16 && y >= 72 && y < 86) {
            return x == wx + 7 || x == wx + 8 || y == 78 || y == 79 ? 118 : 226;
        }
    }
    if (x >= 70 && x < 160 && y >= 60 && y < 115) return 120;  // walls
    if (y >= 95) return (y - 95) % 6 == 0 ? 132 : 152;         // field with furrows
    if (InEllipse(x, y, 44, 28, 24, 8) || InEllipse(x, y, 60, 24, 14, 7)) return 232;
    return 176 + 44 * y / 95;
}

using PictureFn = int (*)(int, int);

void DrawPicture(Canvas& canvas, const Rect& r, PictureFn picture, const Look& look) {
    for (int y = 0; y < r.h; ++y) {
        for (int x = 0; x < r.w; ++x) {
            const int grey = picture(x, y);
            canvas.Set(r.x + x, r.y + y, 128 + (grey - 128) * look.contrast_pct / 100);
        }
    }
    canvas.Frame(r, look.ink);
}

// A small ruled table of one-word cells, header row in bold.
void DrawTable(Canvas& canvas, const Rect& r, int rows, int columns, WordSource& words, const Look& look) {
    const int row_height = r.h / rows;
    const int column_width = r.w / columns;
    canvas.Frame(r, look.ink);
    for (int x = r.x; x < r.x + r.w; ++x) canvas.Set(x, r.y + row_height, look.ink);
    for (int c = 1; c < columns; ++c) {
        for (int y = r.y; y < r.y + r.h; ++y) canvas.Set(r.x + c * column_width, y, look.ink);
    }
    for (int row = 0; row < rows; ++row) {
        for (int c = 0; c < columns; ++c) {
            words.StartSentence();
            std::string word = words.Next();
            while (!word.empty() && TextWidth(word) > column_width - 8) word.pop_back();
            if (!word.empty() && (word.back() == '.' || word.back() == ',')) word.pop_back();
            DrawText(canvas, r.x + c * column_width + 4, r.y + row * row_height + 3, word,
                     {1, look.ink, row == 0});
        }
    }
}

// ---------------------------------------------------------------------------------------------------------
// Ageing of the first scan: a shadow along the binding and a water stain with a darker tide line.

void AddGutterShadow(Canvas& canvas, bool binding_on_left) {
    constexpr int kShadowWidth = 22;
    for (int y = 0; y < kHeight; ++y) {
        for (int d = 0; d < kShadowWidth; ++d) {
            canvas.Darken(binding_on_left ? d : kWidth - 1 - d, y, (kShadowWidth - d) * 2);
        }
    }
}

void AddStain(Canvas& canvas, int cx, int cy, int rx, int ry) {
    const long rr = static_cast<long>(rx) * rx * ry * ry;
    for (int y = cy - ry; y <= cy + ry; ++y) {
        for (int x = cx - rx; x <= cx + rx; ++x) {
            const long dx = x - cx, dy = y - cy;
            const long d = dx * dx * ry * ry + dy * dy * rx * rx;  // 0 at the centre, rr on the edge
            if (d > rr) continue;
            const int depth = static_cast<int>(26 * (rr - d) / rr);
            canvas.Darken(x, y, depth + (d * 10 > rr * 8 ? 14 : 0));
        }
    }
}

// ---------------------------------------------------------------------------------------------------------
// The three pages. Each draws itself in a given look and names the regions its mask marks.

constexpr Rect kColumn{30, 0, 260, kHeight};  // text column; only x and w are used
constexpr int kFolioY = 420;
constexpr std::string_view kBookTitle = "The north shore";

struct Page {
    Canvas canvas;
    std::vector<Rect> marked;
};

void FinishPage(Page& page, int number, const Look& look) {
    DrawCentred(page.canvas, kColumn, kFolioY, std::string(1, static_cast<char>('0' + number)),
                {1, look.ink});
    if (look.aged) AddGutterShadow(page.canvas, number % 2 == 1);
}

// A chapter opening: title, a picture with its caption, then text. The picture is marked.
Page DrawPage1(const Look& look) {
    Page page{Canvas(look.paper), {}};
    Canvas& c = page.canvas;
    WordSource words(0x0F1EE7001ull);
    DrawCentred(c, kColumn, 34, kBookTitle, {2, look.ink, false});
    const Rect picture{60, 70, 200, 130};
    DrawPicture(c, picture, Landscape, look);
    WordSource caption(0x0F1EE7011ull);
    std::string text = caption.Next() + " " + caption.Next() + " " + caption.Next();
    if (text.back() == '.' || text.back() == ',') text.pop_back();
    DrawCentred(c, kColumn, 208, text, {1, look.ink});
    int y = SetParagraph(c, kColumn, 232, 7, words, look.ink);
    SetParagraph(c, kColumn, y, 7, words, look.ink);
    if (look.aged) AddStain(c, 200, 160, 34, 22);
    page.marked = {picture.Grown(3)};
    FinishPage(page, 1, look);
    return page;
}

// Running text with a table and an indented quotation, both marked.
Page DrawPage2(const Look& look) {
    Page page{Canvas(look.paper), {}};
    Canvas& c = page.canvas;
    WordSource words(0x0F1EE7002ull);
    DrawCentred(c, kColumn, 22, kBookTitle, {1, look.ink});
    int y = SetParagraph(c, kColumn, 44, 8, words, look.ink);
    const Rect table{44, y + 4, 232, 72};
    WordSource cells(0x0F1EE7012ull);
    DrawTable(c, table, 5, 3, cells, look);
    y = SetParagraph(c, kColumn, table.y + table.h + 10, 4, words, look.ink);
    const Rect quote{kColumn.x + 20, y + 6, kColumn.w - 40, 5 * kLineHeight};
    WordSource quoted(0x0F1EE7022ull);
    SetParagraph(c, quote, quote.y, 5, quoted, look.ink, false);
    SetParagraph(c, kColumn, quote.y + quote.h + 6, 3, words, look.ink);
    if (look.aged) {
        AddStain(c, 120, 190, 40, 16);
        AddStain(c, 200, 318, 26, 18);
    }
    page.marked = {table.Grown(3), Rect{quote.x, quote.y, quote.w, quote.h - 2}.Grown(3)};
    FinishPage(page, 2, look);
    return page;
}

// Text, then a picture with a two-line caption; picture and caption are marked.
Page DrawPage3(const Look& look) {
    Page page{Canvas(look.paper), {}};
    Canvas& c = page.canvas;
    WordSource words(0x0F1EE7003ull);
    int y = SetParagraph(c, kColumn, 34, 5, words, look.ink);
    y = SetParagraph(c, kColumn, y, 7, words, look.ink);
    const Rect picture{40, y + 10, 240, 150};
    DrawPicture(c, picture, House, look);
    const Rect caption{60, picture.y + picture.h + 8, 200, 2 * kLineHeight};
    WordSource captions(0x0F1EE7013ull);
    SetParagraph(c, caption, caption.y, 2, captions, look.ink, false);
    SetParagraph(c, kColumn, caption.y + caption.h + 6, 2, words, look.ink);
    if (look.aged) AddStain(c, 96, picture.y + 40, 30, 26);
    page.marked = {picture.Grown(3), Rect{caption.x, caption.y, caption.w, caption.h - 2}.Grown(3)};
    FinishPage(page, 3, look);
    return page;
}

Page DrawPage(int number, const Look& look) {
    switch (number) {
        case 1:
            return DrawPage1(look);
        case 2:
            return DrawPage2(look);
        default:
            return DrawPage3(look);
    }
}

// ---------------------------------------------------------------------------------------------------------
// Saving.

struct Bitmap {
    explicit Bitmap(FIBITMAP* dib) : dib(dib) {}
    ~Bitmap() {
        if (dib) FreeImage_Unload(dib);
    }
    Bitmap(const Bitmap&) = delete;
    Bitmap& operator=(const Bitmap&) = delete;
    FIBITMAP* dib;
};

bool SaveTiff(FIBITMAP* dib, const fs::path& path) {
    FreeImage_SetDotsPerMeterX(dib, kDotsPerMetre);
    FreeImage_SetDotsPerMeterY(dib, kDotsPerMetre);
    if (FreeImage_Save(FIF_TIFF, dib, path.c_str(), TIFF_DEFAULT)) return true;  // LZW or CCITT G4
    std::fprintf(stderr, "orfeo-make-samples: cannot write %s\n", path.c_str());
    return false;
}

// 8-bit grey; FreeImage_Allocate gives the 0..255 ramp and no transparency.
bool SaveGrey(const Canvas& canvas, const fs::path& path) {
    Bitmap bitmap(FreeImage_Allocate(kWidth, kHeight, 8, 0, 0, 0));
    if (!bitmap.dib) return false;
    for (int y = 0; y < kHeight; ++y) {
        std::memcpy(FreeImage_GetScanLine(bitmap.dib, kHeight - 1 - y), canvas.Row(y), kWidth);
    }
    return SaveTiff(bitmap.dib, path);
}

// One bit, set = marked: bit 7 - (x % 8) of byte x / 8. The palette shows marked pixels black (entry 0
// white, entry 1 black, so the file is min-is-white); only the stored bits matter to the jobs.
bool SaveMask(const std::vector<Rect>& marked, const fs::path& path) {
    Bitmap bitmap(FreeImage_Allocate(kWidth, kHeight, 1, 0, 0, 0));
    if (!bitmap.dib) return false;
    RGBQUAD* palette = FreeImage_GetPalette(bitmap.dib);
    palette[0] = RGBQUAD{255, 255, 255, 0};
    palette[1] = RGBQUAD{0, 0, 0, 0};
    for (int y = 0; y < kHeight; ++y) {
        BYTE* line = FreeImage_GetScanLine(bitmap.dib, kHeight - 1 - y);
        for (int x = 0; x < kWidth; ++x) {
            const bool set =
                std::any_of(marked.begin(), marked.end(), [&](const Rect& r) { return r.Contains(x, y); });
            if (set) line[x / 8] |= static_cast<BYTE>(0x80 >> (x % 8));
        }
    }
    return SaveTiff(bitmap.dib, path);
}

bool MakeFolder(const fs::path& folder) {
    std::error_code error;
    fs::create_directories(folder, error);
    if (!error) return true;
    std::fprintf(stderr, "orfeo-make-samples: cannot create %s: %s\n", folder.c_str(),
                 error.message().c_str());
    return false;
}

void ReportFreeImage(FREE_IMAGE_FORMAT, const char* message) {
    std::fprintf(stderr, "orfeo-make-samples: FreeImage: %s\n", message);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2 ||
        (argc == 2 && (std::string_view(argv[1]) == "-h" || std::string_view(argv[1]) == "--help"))) {
        std::fprintf(stderr,
                     "usage: orfeo-make-samples [output-folder]\n"
                     "Writes book/ (pages and cache/automask/ masks) and book2/ (corrected pages) into the\n"
                     "output folder (default: %s).\n",
                     ORFEO_SAMPLES_DIR);
        return argc > 2 ? 2 : 0;
    }
    FreeImage_SetOutputMessage(ReportFreeImage);
    const fs::path out = argc == 2 ? fs::path(argv[1]) : fs::path(ORFEO_SAMPLES_DIR);
    const fs::path book = out / "book";
    const fs::path masks = book / "cache" / "automask";
    const fs::path book2 = out / "book2";
    if (!MakeFolder(masks) || !MakeFolder(book2)) return 1;

    bool ok = true;
    for (int number = 1; number <= kPageCount; ++number) {
        const std::string name = "page" + std::to_string(number) + ".tif";
        const Page first = DrawPage(number, kFirstScan);
        const Page rescan = DrawPage(number, kRescan);
        ok = SaveGrey(first.canvas, book / name) && ok;
        ok = SaveMask(first.marked, masks / name) && ok;
        ok = SaveGrey(rescan.canvas, book2 / name) && ok;
    }
    if (!ok) return 1;
    std::printf("orfeo-make-samples: wrote %d pages, masks and corrected pages under %s\n", kPageCount,
                out.c_str());
    return 0;
}
