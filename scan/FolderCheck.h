#pragma once

#include <optional>
#include <string>
#include <utility>

#include "scan/CScanList.h"

namespace orfeo {

// What a person is told at once about a folder whose scan listed no page: the folder is gone, cannot be
// read (with the system's reason), or holds no file with an image's extension.
std::string NoPagesMessage(const std::string& folder);

// "1 page", "160 pages".
std::string PageCount(std::size_t pages);

// Names whose numbers sort as text rather than by value: the first two neighbours of `list` where a name
// with a smaller number comes after one with a greater ("page10.tif" before "page2.tif"), or none when
// reading the digits as numbers keeps the list's order.
std::optional<std::pair<std::string, std::string>> NumbersOutOfOrder(const CScanList& list);

}  // namespace orfeo
