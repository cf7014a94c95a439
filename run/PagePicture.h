#pragma once

#include <optional>
#include <string>

#include "run/PageWorkers.h"

namespace orfeo {

// One file as a person looks at it: read by a page worker, with its confinement and limits, so that a
// hostile file costs only its picture; what comes back is a preview (at most kPreviewSide on its longer
// side, whatever the page's size) and the page's own size.
struct PagePicture {
    PreviewPixels pixels;
    unsigned pageWidth = 0, pageHeight = 0;
};

// The picture of the file at `path`; none, with why in `problem` (in the words the jobs use for the file:
// "File "…" not found.", a crashed worker, ...), when it cannot be had. Safe from several threads at once.
// With `maskBits`, a one-bit file shows its bits as the jobs read a mask: marked pixels white.
std::optional<PagePicture> ReadPagePicture(PageWorkers& workers, const std::string& path,
                                           std::string& problem, bool maskBits = false);

}  // namespace orfeo
