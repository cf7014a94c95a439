// orfeo-vips-back: the back subscan job written with libvips's C++ API, one process over a whole folder,
// as a peer to time orfeo-cli against.
//
//   orfeo-vips-back FOLDER OUT_FOLDER
//
// For every file of FOLDER (names in byte order, hidden files skipped) with a mask of the same name in
// FOLDER/cache/automask/, writes OUT_FOLDER/NAME: the page with every pixel that the mask shows as
// non-zero set to 255, as a TIFF with LZW and horizontal predictor (what FreeImage writes). Pages are done
// one after the other; each is streamed (sequential access) and libvips spreads the work over its own
// threads as it does by default. Exit status 0 when every page was written.

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>
#include <vips/vips8>

namespace fs = std::filesystem;
using vips::VImage;

int main(int argc, char** argv) {
    if (VIPS_INIT(argv[0])) vips_error_exit(nullptr);
    if (argc != 3) {
        std::fprintf(stderr, "Usage: orfeo-vips-back FOLDER OUT_FOLDER\n");
        return 2;
    }
    const fs::path folder = argv[1], out = argv[2], masks = folder / "cache" / "automask";

    std::vector<std::string> names;
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder, error)) {
        const std::string name = entry.path().filename().string();
        std::error_code statusError;
        if (!name.empty() && name.front() != '.' && entry.is_regular_file(statusError)) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    fs::create_directories(out, error);

    int failed = 0;
    for (const std::string& name : names) {
        if (!fs::exists(masks / name, error)) continue;
        try {
            VImage page = VImage::new_from_file((folder / name).c_str(),
                                                VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL));
            VImage mask = VImage::new_from_file((masks / name).c_str(),
                                                VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL));
            VImage back = mask.ifthenelse(std::vector<double>{255}, page);
            back.tiffsave((out / name).c_str(),
                          VImage::option()
                              ->set("compression", VIPS_FOREIGN_TIFF_COMPRESSION_LZW)
                              ->set("predictor", VIPS_FOREIGN_TIFF_PREDICTOR_HORIZONTAL));
        } catch (const vips::VError& e) {
            std::fprintf(stderr, "orfeo-vips-back: %s: %s\n", name.c_str(), e.what());
            ++failed;
        }
    }
    vips_shutdown();
    return failed == 0 ? 0 : 1;
}
