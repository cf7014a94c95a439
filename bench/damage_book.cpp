// orfeo-damage-book: damages the TIFF pages of a folder inside their strips' stored data, as a failing disk
// or a broken transfer does, to measure which damage a run names; and tells which files do not load.
//
//   orfeo-damage-book [--seed S] scattered|run FOLDER
//   orfeo-damage-book --check FILE...
//
// scattered: 64 single bytes at random places of the strips' (or tiles') stored data; run: one run of 64
// bytes at a random place inside one strip. Every .tif directly in FOLDER is changed in place; its header,
// directory and tags stay whole, and each changed byte differs from what it was. The same seed damages the
// same files the same way.
// --check loads each FILE as Orfeo does (the decoding path: header checks, FreeImage, the libraries' words
// about damage) and prints the message of each one that does not load; the exit status is 1 when one did
// not.

#include <tiffio.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bench/BookPages.h"
#include "protocol/MessageSink.h"
#include "worker/ImageLoad.h"

namespace {

namespace fs = std::filesystem;

constexpr unsigned kDamagedBytes = 64;

int Usage() {
    std::fprintf(stderr,
                 "Usage: orfeo-damage-book [--seed S] scattered|run FOLDER\n"
                 "       orfeo-damage-book --check FILE...\n");
    return 2;
}

// Where each strip's (or tile's) stored bytes are in the file: offset and size.
std::vector<std::pair<std::uint64_t, std::uint64_t>> StoredStrips(const fs::path& path) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> strips;
    TIFF* tiff = TIFFOpen(path.c_str(), "r");
    if (!tiff) return strips;
    const std::uint32_t count = TIFFIsTiled(tiff) ? TIFFNumberOfTiles(tiff) : TIFFNumberOfStrips(tiff);
    for (std::uint32_t k = 0; k < count; ++k) {
        const std::uint64_t size = TIFFGetStrileByteCount(tiff, k);
        if (size > 0) strips.emplace_back(TIFFGetStrileOffset(tiff, k), size);
    }
    TIFFClose(tiff);
    return strips;
}

// The file offsets to damage: `scattered` anywhere in the stored data, else one run inside one strip.
std::vector<std::uint64_t> Places(const std::vector<std::pair<std::uint64_t, std::uint64_t>>& strips,
                                  bool scattered, orfeo::bench::Rng& rng) {
    std::uint64_t total = 0;
    for (const auto& strip : strips) total += strip.second;
    const auto at = [&](std::uint64_t n) {  // the n-th stored byte
        for (const auto& [offset, size] : strips) {
            if (n < size) return offset + n;
            n -= size;
        }
        return std::uint64_t{0};
    };
    std::vector<std::uint64_t> places;
    if (scattered) {
        for (unsigned i = 0; i < kDamagedBytes; ++i) places.push_back(at(rng.Next() % total));
        return places;
    }
    // A strip long enough, chosen by its share of the data, and a place in it.
    for (int tries = 0; tries < 1000; ++tries) {
        std::uint64_t n = rng.Next() % total;
        for (const auto& [offset, size] : strips) {
            if (n >= size) {
                n -= size;
                continue;
            }
            if (size < kDamagedBytes) break;
            const std::uint64_t start = offset + rng.Next() % (size - kDamagedBytes + 1);
            for (unsigned i = 0; i < kDamagedBytes; ++i) places.push_back(start + i);
            return places;
        }
    }
    return places;
}

bool Damage(const fs::path& path, bool scattered, orfeo::bench::Rng& rng) {
    const auto strips = StoredStrips(path);
    if (strips.empty()) return false;
    const std::vector<std::uint64_t> places = Places(strips, scattered, rng);
    if (places.empty()) return false;
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    for (std::uint64_t place : places) {
        char byte = 0;
        file.seekg(static_cast<std::streamoff>(place));
        file.read(&byte, 1);
        byte = static_cast<char>(byte ^ static_cast<char>(1 + rng.Next() % 255));
        file.seekp(static_cast<std::streamoff>(place));
        file.write(&byte, 1);
    }
    return static_cast<bool>(file);
}

class Printed final : public orfeo::IMessageSink {
public:
    void ShowMessage(orfeo::MessageKind, const std::string& text) override {
        std::printf("%s\n", text.c_str());
    }
};

int Check(int count, char** files) {
    Printed printed;
    int failed = 0;
    for (int i = 0; i < count; ++i) failed += orfeo::LoadImageFile(files[i], printed) ? 0 : 1;
    return failed ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    TIFFSetWarningHandler(nullptr);
    if (argc >= 2 && std::string_view(argv[1]) == "--check") return Check(argc - 2, argv + 2);
    std::uint64_t seed = 0xDA3A6E;
    int i = 1;
    if (argc > i + 1 && std::string_view(argv[i]) == "--seed") {
        const std::string_view text = argv[i + 1];
        if (std::from_chars(text.data(), text.data() + text.size(), seed).ec != std::errc()) return Usage();
        i += 2;
    }
    if (argc - i != 2) return Usage();
    const std::string_view mode = argv[i];
    if (mode != "scattered" && mode != "run") return Usage();
    std::vector<fs::path> pages;
    for (const auto& entry : fs::directory_iterator(argv[i + 1]))
        if (entry.is_regular_file() && entry.path().extension() == ".tif") pages.push_back(entry.path());
    std::sort(pages.begin(), pages.end());
    orfeo::bench::Rng rng(seed);
    for (const fs::path& page : pages) {
        if (!Damage(page, mode == "scattered", rng)) {
            std::fprintf(stderr, "orfeo-damage-book: could not damage %s\n", page.c_str());
            return 1;
        }
    }
    return 0;
}
