#pragma once

#include <string>

namespace orfeo {

// The one character that separates folders in every path Orfeo builds. Stored folder paths end with it,
// and so do the fixed subfolder names below.
#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// Where the back subscans of a first folder go.
inline const std::string kPicsSubfolder = std::string("pics") + kPathSeparator;
// Where the merged pages of a second folder go.
inline const std::string kNewScansSubfolder = std::string("new_scans") + kPathSeparator;
// Where the masks of a folder's pages lie, one per page under the page's file name.
inline const std::string kMaskSubfolder = std::string("cache") + kPathSeparator + "automask" + kPathSeparator;

// Returns `folder` ending with kPathSeparator (appended when missing; an empty folder stays empty).
inline std::string WithTrailingSeparator(std::string folder) {
    if (!folder.empty() && folder.back() != kPathSeparator) folder += kPathSeparator;
    return folder;
}

// Returns `folder` without the separators it ends with, as a path to the folder itself (a link in its
// place is then the link, not what it leads to); the root stays the root.
inline std::string WithoutTrailingSeparator(std::string folder) {
    while (folder.size() > 1 && folder.back() == kPathSeparator) folder.pop_back();
    return folder;
}

}  // namespace orfeo
