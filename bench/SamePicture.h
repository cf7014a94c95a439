#pragma once

#include <FreeImage.h>

#include <string>

namespace orfeo::bench {

// Whether two images hold the same picture, as FreeImage loaded them: the same image type, width, height
// and bits per pixel, and every pixel the same value: the palette colour for images of 8 bits or fewer (so
// a min-is-white and a min-is-black image of the same grey levels match), the bytes of the pixel
// otherwise. Empty when they do; otherwise what differs, in a line ("... of ... pixels differ ...").
std::string PictureDifference(FIBITMAP* a, FIBITMAP* b);

}  // namespace orfeo::bench
