#pragma once

#include <string>

namespace orfeo {

// One listed image: its file name as the directory listing gave it, and its full path
// (the scanned folder with its trailing separator, followed by `name`).
struct ScanEntry {
    std::string name;
    std::string path;

    bool operator==(const ScanEntry&) const = default;
};

}  // namespace orfeo
