#pragma once

#include <cstddef>
#include <cstdint>

// Feeds arbitrary bytes, as a TIFF page, through the strip copy as a page worker runs it (the page's
// header through FreeImage, then CopyStrips): a back subscan under a mask that the first byte picks, then a
// merge of the same page with that back subscan. An output the copy says it wrote must read back as a TIFF
// of the page's size.
int FuzzStripCopy(const std::uint8_t* data, std::size_t size);
