#pragma once

#include <FreeImage.h>

#include <cstdint>

#include "protocol/PixelStatus.h"
#include "worker/ImagePtr.h"

namespace orfeo {

struct PixelResult {
    ImagePtr image;  // owned by the caller; empty unless status is Ok
    PixelStatus status = PixelStatus::Ok;
};

// True for the pixel layouts the rules handle: FreeImage bitmaps of 1, 4, 8, 16, 24 and 32 bits, and the
// integer types (16- and 32-bit grey, 48- and 64-bit colour). Floating-point and complex types are not.
bool HasIntegerPixels(FIBITMAP* image);

// Masks: pixel x of a mask scan line is bit 7 - (x mod 8) of byte x div 8, and a set bit marks the pixel,
// whatever the mask's palette makes of it. Scan line y of every image is taken with the same index
// (FreeImage counts rows from the bottom), so a larger mask is used from its bottom-left corner.
//
// Results have the page's image type, width, height, depth, colour masks and resolution (dots per metre),
// and nothing else of it: at 8 bits a grey ramp palette (255 - i for a min-is-white page, i otherwise), at
// 1 and 4 bits the page's own palette.

// The checks each rule makes before it touches a pixel; they read only the images' type, size and depth,
// so images loaded without their pixels (LoadImageHeader) do.
PixelStatus CheckBackInputs(FIBITMAP* page, FIBITMAP* mask);
PixelStatus CheckMergeInputs(FIBITMAP* newPage, FIBITMAP* back, FIBITMAP* mask);

// The back subscan of `page`: every pixel that `mask` marks gets all of its bits set (255 at 8 bits), every
// other pixel keeps the page's value. Neither input is changed.
PixelResult MakeBackSubscan(FIBITMAP* page, FIBITMAP* mask);

// The merge of `newPage` with `back`, the back subscan of the first folder's page: marked pixels come from
// `newPage`, all others from `back`, whole pixels at a time. The result follows `newPage`. `back` must match
// `newPage` in width, height, type and depth.
PixelResult MergeSubscan(FIBITMAP* newPage, FIBITMAP* back, FIBITMAP* mask);

// The rules on one row of `width` packed pixels of `bpp` bits (1, 4, 8, 16, 24, 32, 48 or 64; the first
// pixel in the most significant bits), for a caller that holds rows of its own: `dst` takes the pixels of
// `unmarked` where `mask` marks nothing and, where it marks, those of `marked` (a merge) or all bits set
// (`marked` null: a back subscan). `dst` must not overlap the inputs. Other depths leave `dst` as it is.
void RuleRow(unsigned bpp, std::uint8_t* dst, const std::uint8_t* marked, const std::uint8_t* unmarked,
             const std::uint8_t* mask, unsigned width);

// A 1 x 1 image of what a rule's result on `page` (the new page of a merge) is besides its pixels: the
// type, depth, colour masks, palette and resolution. Empty when out of memory.
ImagePtr ResultModel(FIBITMAP* page);

}  // namespace orfeo
