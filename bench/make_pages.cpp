// orfeo-make-pages: writes a folder of generated book pages for the comparison script (bench/compare).
//
//   orfeo-make-pages [--masks] [--distinct K] [--seed S] FOLDER WIDTH HEIGHT COUNT
//
// Writes FOLDER/page001.tif ... pageCOUNT.tif, 8-bit grey TIFFs saved by FreeImage with flags 0 (LZW with
// predictor), and with --masks a 1-bit mask of the same name in FOLDER/cache/automask/ (saved the same way,
// so CCITT G4; palette entry 0 black, entry 1 white, so a set bit reads as white, 255, in other programs
// too). Only K pages (default 4) are drawn; the others are copies of them, round-robin. Pages and masks
// come from fixed seeds: the same arguments give the same files.

#include <FreeImage.h>

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

#include "bench/BookPages.h"

namespace {

namespace fs = std::filesystem;

template <typename T>
bool ParseNumber(std::string_view text, T& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

int Usage() {
    std::fprintf(stderr,
                 "Usage: orfeo-make-pages [--masks] [--distinct K] [--seed S] FOLDER WIDTH HEIGHT COUNT\n");
    return 2;
}

std::string PageName(unsigned index) {
    char name[32];
    std::snprintf(name, sizeof name, "page%03u.tif", index + 1);
    return name;
}

bool Save(FIBITMAP* image, const fs::path& path) {
    if (image && FreeImage_Save(FIF_TIFF, image, path.c_str(), 0)) return true;
    std::fprintf(stderr, "orfeo-make-pages: could not write %s\n", path.c_str());
    return false;
}

bool Copy(const fs::path& from, const fs::path& to) {
    std::error_code error;
    fs::copy_file(from, to, fs::copy_options::overwrite_existing, error);
    if (!error) return true;
    std::fprintf(stderr, "orfeo-make-pages: could not copy %s to %s: %s\n", from.c_str(), to.c_str(),
                 error.message().c_str());
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    bool masks = false;
    unsigned distinct = 4;
    std::uint64_t seed = 0x0B00C000;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--masks") {
            masks = true;
        } else if (arg == "--distinct" && i + 1 < argc) {
            if (!ParseNumber(argv[++i], distinct) || distinct == 0) return Usage();
        } else if (arg == "--seed" && i + 1 < argc) {
            if (!ParseNumber(argv[++i], seed)) return Usage();
        } else {
            break;
        }
    }
    if (argc - i != 4) return Usage();
    const fs::path folder = argv[i];
    unsigned width = 0, height = 0, count = 0;
    if (!ParseNumber(argv[i + 1], width) || !ParseNumber(argv[i + 2], height) ||
        !ParseNumber(argv[i + 3], count) || width < 64 || height < 64) {
        return Usage();
    }

    const fs::path maskFolder = folder / "cache" / "automask";
    std::error_code error;
    fs::create_directories(masks ? maskFolder : folder, error);
    if (error) {
        std::fprintf(stderr, "orfeo-make-pages: could not create %s\n", folder.c_str());
        return 1;
    }

    for (unsigned index = 0; index < count; ++index) {
        const std::string name = PageName(index);
        if (index >= distinct) {
            const std::string model = PageName(index % distinct);
            if (!Copy(folder / model, folder / name)) return 1;
            if (masks && !Copy(maskFolder / model, maskFolder / name)) return 1;
            continue;
        }
        const orfeo::ImagePtr page = orfeo::bench::MakePage(width, height, seed + index);
        if (!Save(page.get(), folder / name)) return 1;
        if (masks) {
            const orfeo::ImagePtr mask = orfeo::bench::MakeMask(width, height, seed + 0x8000 + index);
            if (!Save(mask.get(), maskFolder / name)) return 1;
        }
    }
    return 0;
}
