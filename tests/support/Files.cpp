#include "tests/support/Files.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace orfeo::test {

namespace fs = std::filesystem;

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "orfeo-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary folder");
    m_path = pattern;
}

TempDir::~TempDir() {
    std::error_code error;
    fs::remove_all(m_path, error);
}

void WriteFile(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

std::string Slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> SortedNames(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

namespace {
std::string Stamp(const fs::path& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return "? ";
    return std::to_string(info.st_mtim.tv_sec) + "." + std::to_string(info.st_mtim.tv_nsec) + " ";
}

std::string Held(const fs::directory_entry& entry) {
    if (entry.is_symlink()) return "-> " + fs::read_symlink(entry.path()).string();
    if (entry.is_directory()) return "<folder>";
    if (entry.is_regular_file()) return Slurp(entry.path());
    return "<special>";
}
}  // namespace

std::map<std::string, std::string> Snapshot(const fs::path& root, bool times) {
    std::map<std::string, std::string> tree;
    if (!fs::exists(root)) return tree;
    if (times) tree[""] = Stamp(root);
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        tree[entry.path().lexically_relative(root).string()] =
            (times ? Stamp(entry.path()) : "") + Held(entry);
    }
    return tree;
}

void MakeTree(const fs::path& root, const std::map<std::string, std::string>& tree) {
    for (const auto& [name, held] : tree) {
        const fs::path path = root / name;
        fs::create_directories(path.parent_path());
        if (held == "<folder>") {
            fs::create_directories(path);
        } else if (held.starts_with("-> ")) {
            fs::create_symlink(held.substr(3), path);
        } else {
            WriteFile(path, held);
        }
    }
}

}  // namespace orfeo::test
