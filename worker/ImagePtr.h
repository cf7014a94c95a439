#pragma once

#include <FreeImage.h>

#include <memory>

namespace orfeo {

struct ImageDeleter {
    void operator()(FIBITMAP* image) const {
        if (image) FreeImage_Unload(image);
    }
};

// Sole owner of a FreeImage bitmap: unloads it when it goes.
using ImagePtr = std::unique_ptr<FIBITMAP, ImageDeleter>;

}  // namespace orfeo
