#include "scan/FolderScan.h"

#include <array>
#include <filesystem>
#include <system_error>

#include "scan/Paths.h"

namespace orfeo {

namespace fs = std::filesystem;

std::string GetFileExtension(std::string_view path) {
    std::string extension;
    for (std::size_t i = path.size(); i-- > 1;) {
        if (path[i] == '.') {
            extension.assign(path.substr(i + 1));
            break;
        }
    }
    for (char& c : extension) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return extension;
}

bool IsSupportedImage(std::string_view path) {
    static constexpr std::array<std::string_view, 10> kExtensions = {"bmp", "jpeg", "jpg", "gif", "tiff",
                                                                     "tif", "pnm",  "ppm", "pgm", "pbm"};
    const std::string extension = GetFileExtension(path);
    for (std::string_view known : kExtensions) {
        if (extension == known) return true;
    }
    return false;
}

std::string GetFileNamePart(std::string_view path) {
    const std::size_t last = path.rfind(kPathSeparator);
    return std::string(last == std::string_view::npos ? path : path.substr(last + 1));
}

bool ForEachFolderFile(const std::string& folder, const std::function<bool(const std::string& name)>& visit) {
    std::error_code error;
    fs::directory_iterator it(folder.empty() ? fs::path(".") : fs::path(folder), error);
    if (error) return false;
    for (; !error && it != fs::directory_iterator(); it.increment(error)) {
        std::error_code statusError;
        if (it->is_directory(statusError)) continue;
        const std::string name = it->path().filename().string();
        if (name.empty() || name.front() == '.') continue;
        if (!visit(name)) break;
    }
    return true;
}

void ScanFolder(const std::string& folder, CScanList& list, ITextField& inputField, ITextField& outputField,
                const std::string& outputSubfolder) {
    const std::string base = WithTrailingSeparator(folder);
    list.RemoveAll();
    inputField.SetText(base);
    outputField.SetText(base + outputSubfolder);
    const bool listed = ForEachFolderFile(base, [&](const std::string& name) {
        const std::string path = base + name;
        if (IsSupportedImage(path)) list.Add(ScanEntry{.name = GetFileNamePart(path), .path = path});
        return true;
    });
    if (listed) list.SortByName();
}

}  // namespace orfeo
