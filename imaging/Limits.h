#pragma once

namespace orfeo {

// The largest image, in megapixels, that is decoded unless the caller says otherwise: a 1200-dpi A2 scan
// (19843 x 28063, 557 megapixels) is admitted, a file that declares 60000 x 60000 is not.
inline constexpr double kDefaultMaxMegapixels = 600;

}  // namespace orfeo
