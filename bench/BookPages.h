#pragma once

// Generated book pages for the benchmarks: 8-bit grey scans of A4 pages with lines of text and a figure, and
// the 1-bit automasks that go with them. Everything comes from fixed seeds, so every run (and every standard
// library) makes the same pixels.

#include <cstdint>

#include "worker/ImagePtr.h"

namespace orfeo::bench {

inline constexpr unsigned kA4Width600 = 4960;
inline constexpr unsigned kA4Height600 = 7016;
inline constexpr unsigned kA4Width300 = 2480;
inline constexpr unsigned kA4Height300 = 3508;

// splitmix64: small and fast, and free of the standard library's distributions, so the generated pages are
// the same on every run and with every standard library.
class Rng {
public:
    explicit Rng(std::uint64_t seed) : m_state(seed) {}

    std::uint64_t Next() {
        std::uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    // A value in [lo, hi].
    // A number from lo to hi, both included; lo when the range is empty (a small page's region can be
    // narrower than what is drawn in it).
    int Between(int lo, int hi) {
        if (hi <= lo) return lo;
        return lo + static_cast<int>(Next() % static_cast<std::uint64_t>(hi - lo + 1));
    }

private:
    std::uint64_t m_state;
};

// An 8-bit grey scan of a book page (grey ramp palette, resolution for an A4 width): slightly noisy paper,
// lines of dark glyph strokes in the text regions and a half-tone figure. Empty when out of memory.
ImagePtr MakePage(unsigned width, unsigned height, std::uint64_t seed);

// A 1-bit automask for a page of the same layout: each region grown by a margin, with edges that wander by
// up to ~0.3% of the page width, a few holes inside and dust specks marked in the margins. A set bit marks
// a pixel; the palette is entry 0 black, entry 1 white, so marked pixels show white (and a TIFF save writes
// photometric min-is-black). Empty when out of memory.
ImagePtr MakeMask(unsigned width, unsigned height, std::uint64_t seed);

}  // namespace orfeo::bench
