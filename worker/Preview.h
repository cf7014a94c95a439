#pragma once

#include <FreeImage.h>

#include <optional>

#include "protocol/WorkerProtocol.h"

namespace orfeo {

// `image` as it shows (palettes, min-is-white and every depth the jobs take, 16-bit grey and 48-bit
// colour scaled to 8 bits), scaled down to fit `side` x `side` with its proportions kept (never up). With
// `bitValues`, a one-bit image shows its bits as the jobs read a mask, whatever its palette: 1 (marked)
// white, 0 black. None when the image has a type that has no picture, or memory ran out.
std::optional<PreviewPixels> MakePreview(FIBITMAP* image, unsigned side, bool bitValues = false);

}  // namespace orfeo
