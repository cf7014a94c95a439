#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "scan/CScanList.h"
#include "scan/TextField.h"

namespace orfeo {

// The extension of `path`: everything after the last '.' found searching from the last character back to
// the second (a leading dot never counts), ASCII capitals folded to lower case; empty when there is none.
// The search covers the whole path, so "/scans.old/page" gives "old/page".
std::string GetFileExtension(std::string_view path);

// True exactly when GetFileExtension(path) is one of the ten listed extensions:
// bmp, jpeg, jpg, gif, tiff, tif, pnm, ppm, pgm, pbm.
bool IsSupportedImage(std::string_view path);

// The characters after the last kPathSeparator of `path` (the whole path when it holds none).
std::string GetFileNamePart(std::string_view path);

// Calls `visit` with the name of each entry of `folder` (a stored folder path, ending with kPathSeparator)
// that is not a folder (links to folders count as folders) and whose name does not begin with '.', in the
// order the directory gives them, until `visit` returns false. Returns false when the folder cannot be
// listed. These are the entries that a folder scan looks at and that an output folder's reset deletes.
bool ForEachFolderFile(const std::string& folder, const std::function<bool(const std::string& name)>& visit);

// Lists the supported images of `folder` into `list`, sorted by name, and sets `inputField` to the folder
// (with a trailing separator appended when missing) and `outputField` to that folder + `outputSubfolder`.
// Entries that are folders (or links to folders), whose names begin with '.', or that IsSupportedImage
// refuses are left out; subfolders are never entered. A folder that cannot be listed leaves the list
// empty; the fields are set all the same. Nothing is reported.
void ScanFolder(const std::string& folder, CScanList& list, ITextField& inputField, ITextField& outputField,
                const std::string& outputSubfolder);

}  // namespace orfeo
