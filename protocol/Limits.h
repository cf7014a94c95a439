#pragma once

namespace orfeo {

// The largest image, in megapixels, that is decoded unless the caller says otherwise: a 1200-dpi A2 scan
// (19843 x 28063, 557 megapixels) is admitted, a file that declares 60000 x 60000 is not.
inline constexpr double kDefaultMaxMegapixels = 600;

// The processor time one entry may take in a page worker before it is stopped: ten seconds, and a tenth
// of a second a megapixel of the largest image admitted (70 s by default; decoding, ruling and encoding a
// 600-megapixel page takes well under a fifth of that).
inline unsigned EntryCpuSeconds(double maxMegapixels) {
    return 10 + static_cast<unsigned>(maxMegapixels / 10);
}

// The address space a page worker may use: its program and libraries, and four images of the largest
// size admitted at the deepest pixels the rules take (64 bits): page, back subscan and result, and one
// more for a loader's conversion. An image that goes past its megapixels is refused from its header; one
// whose decoder allocates past this fails there.
inline unsigned long long WorkerMemoryBytes(double maxMegapixels) {
    return (512ull << 20) + static_cast<unsigned long long>(4 * 8 * maxMegapixels * 1e6);
}

}  // namespace orfeo
