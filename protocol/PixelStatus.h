#pragma once

namespace orfeo {

// Why a pixel rule gave no result.
enum class PixelStatus {
    Ok,
    UnsupportedPage,  // the page (merge: the new page) is not an integer pixel layout
    MaskNotOneBit,    // the mask is not a 1-bit bitmap
    MaskTooSmall,     // the mask is narrower or shorter than the page
    BackMismatch,     // merge: the back subscan's width, height, type or depth differ from the new page's
    OutOfMemory,      // the result could not be allocated
};

}  // namespace orfeo
