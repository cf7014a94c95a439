#pragma once

#include <tiffio.h>

namespace orfeo {

// Bounds on the strips and tiles of a TIFF image. Its decoders allocate a strip or tile whole before they
// read a byte of it, and a file of a few hundred bytes can declare one 65536 x 65536 tile over a 100 x 100
// page: FreeImage's loader allocates and clears those 4 GiB before it finds the data missing. The megapixel
// limit counts the image's pixels and does not see them.
//
// A tile may hold no more pixels than the image rounded up to whole multiples of 16 on each side (tiles are
// such multiples), or 1024 x 1024, whichever is more, and never more than the megapixel limit. A strip may
// decode into no more bytes than one strip of all the image's rows, as libtiff measures both (packed YCbCr
// rounded up to whole sampling blocks): the strip FreeImage's loader allocates. libtiff clamps a strip's rows
// to the image's, so this holds for every file it reads today; it is checked so that it keeps holding.

// True when every strip or tile of the current image of `tiff` is within these bounds for `maxMegapixels`.
bool UnitsWithinBounds(TIFF* tiff, double maxMegapixels);

// UnitsWithinBounds for the images of the TIFF file open on `fd` that FreeImage's loader decodes: the first,
// and the thumbnail it decodes beside it, whose pixels must also be within `maxMegapixels`. The file is read
// with pread only, so that the descriptor's offset is unchanged. True when libtiff cannot read the first
// image's directory: the loader, which reads it with the same libtiff, then refuses the file on its own.
bool TiffUnitsWithinBounds(int fd, double maxMegapixels);

}  // namespace orfeo
