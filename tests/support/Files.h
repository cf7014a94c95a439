#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

// Helpers that make and read folders and files for the tests; they need nothing of Orfeo or FreeImage.
namespace orfeo::test {

// A fresh folder under the system's temporary folder, removed with everything in it at the end of scope.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& Path() const { return m_path; }
    // The folder as Orfeo stores folders: with a trailing separator.
    std::string Folder() const { return m_path.string() + "/"; }

private:
    std::filesystem::path m_path;
};

// Writes `content` to `path`, making the folders on the way.
void WriteFile(const std::filesystem::path& path, const std::string& content);

// The bytes of the file at `path`; empty when it cannot be read.
std::string Slurp(const std::filesystem::path& path);

// The names of the entries of `folder`, sorted by their bytes.
std::vector<std::string> SortedNames(const std::filesystem::path& folder);

// Every entry under `root`, links not followed, by its path relative to `root`, with what it holds: a file
// its bytes, a link "-> " and its target, a folder "<folder>", anything else "<special>". With `times`,
// `root` itself ("") too, and each starts with its modification time (a folder's changes when an entry in it
// is made or deleted, also when one is made and deleted again).
std::map<std::string, std::string> Snapshot(const std::filesystem::path& root, bool times = false);

// Makes under `root` what a snapshot without times lists: each file with its bytes, a link for "-> " and its
// target, a folder for "<folder>", and the folders on the way.
void MakeTree(const std::filesystem::path& root, const std::map<std::string, std::string>& tree);

}  // namespace orfeo::test
