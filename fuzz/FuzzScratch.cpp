#include "fuzz/FuzzScratch.h"

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>

namespace {

std::string g_scratch;

void RemoveScratchFolder() {
    std::error_code error;
    std::filesystem::remove_all(g_scratch, error);
}

}  // namespace

const std::string& ScratchFolder() {
    if (g_scratch.empty()) {
        std::string pattern = (std::filesystem::temp_directory_path() / "orfeo-fuzz-XXXXXX").string();
        if (!mkdtemp(pattern.data())) std::abort();
        g_scratch = pattern + "/";
        std::atexit(RemoveScratchFolder);
    }
    return g_scratch;
}
