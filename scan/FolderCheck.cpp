#include "scan/FolderCheck.h"

#include <cctype>
#include <filesystem>
#include <string_view>
#include <system_error>

namespace orfeo {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Compares as people read names: runs of digits by their value (leading zeros aside), everything else as
// CompareNames does.
int CompareAsNumbers(std::string_view a, std::string_view b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (IsDigit(a[i]) && IsDigit(b[j])) {
            std::size_t endA = i, endB = j;
            while (endA < a.size() && IsDigit(a[endA])) ++endA;
            while (endB < b.size() && IsDigit(b[endB])) ++endB;
            std::string_view digitsA = a.substr(i, endA - i), digitsB = b.substr(j, endB - j);
            while (digitsA.size() > 1 && digitsA.front() == '0') digitsA.remove_prefix(1);
            while (digitsB.size() > 1 && digitsB.front() == '0') digitsB.remove_prefix(1);
            if (digitsA.size() != digitsB.size()) return digitsA.size() < digitsB.size() ? -1 : 1;
            if (const int order = digitsA.compare(digitsB); order != 0) return order < 0 ? -1 : 1;
            i = endA;
            j = endB;
            continue;
        }
        const int order = CompareNames(a.substr(i, 1), b.substr(j, 1));
        if (order != 0) return order;
        ++i;
        ++j;
    }
    if (i < a.size()) return 1;
    if (j < b.size()) return -1;
    return 0;
}

}  // namespace

std::string NoPagesMessage(const std::string& folder) {
    const std::filesystem::path path(folder);
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    if (!std::filesystem::exists(status)) return "Folder \"" + folder + "\" no longer exists.";
    if (!std::filesystem::is_directory(status)) return "\"" + folder + "\" is not a folder.";
    std::filesystem::directory_iterator listing(path, error);
    if (error) return "Folder \"" + folder + "\" cannot be read: " + error.message() + ".";
    return "Folder \"" + folder +
           "\" holds no pages: no .tif, .tiff, .bmp, .jpg, .jpeg, .gif, .pnm, .ppm, .pgm or .pbm files.";
}

std::string PageCount(std::size_t pages) { return std::to_string(pages) + (pages == 1 ? " page" : " pages"); }

std::optional<std::pair<std::string, std::string>> NumbersOutOfOrder(const CScanList& list) {
    for (std::size_t i = 1; i < list.GetSize(); ++i) {
        const std::string& before = list.GetAt(i - 1).name;
        const std::string& after = list.GetAt(i).name;
        if (CompareAsNumbers(before, after) > 0) return std::make_pair(before, after);
    }
    return std::nullopt;
}

}  // namespace orfeo
