#pragma once

#include <FreeImage.h>

#include <functional>
#include <string>

#include "protocol/Limits.h"

namespace orfeo {

// The rules on a TIFF page strip by strip (or tile by tile), for a TIFF output. A strip that holds no marked
// pixel is copied into the output as it is stored, neither decoded nor encoded; a strip that holds marked
// pixels is decoded, ruled and encoded again. The output keeps the stored strips' compression, predictor,
// fill order, byte order and strip (or tile) layout, and takes from the result the rules would give its
// photometric, palette and resolution, as FreeImage writes them: it decodes to exactly the pixels, depth,
// palette and resolution of the result the rules make in memory (MakeBackSubscan, MergeSubscan).
//
// Only layouts whose stored samples are FreeImage's pixels as they are are taken: 1, 4, 8 and 16-bit grey
// (min-is-black or min-is-white) and palette pages, 24 and 48-bit RGB, one plane, unsigned samples, the
// first row at the top, classic TIFF, and a compression that libtiff writes without loss (none, LZW,
// Deflate, PackBits, CCITT G3 and G4). JPEG-compressed pages (8-bit grey, RGB or YCbCr) are taken only
// when the mask marks nothing: their strips are all copied, with their tables and colour coding, and
// decode as the page's do. Every other file, and every file that libtiff complains about, is left to the
// decoding path: nothing is written then.
//
// Every strip copied as stored is first proven to decode, so that damage inside a strip's data never goes
// into an output unnoticed: LZW, Deflate and PackBits strips by walking their stored bytes (StripCheck.h),
// fax and JPEG strips by decoding them with libtiff and listening to its decoder.

// What the strip copy came to.
enum class StripCopyOutcome {
    NotTaken,     // the files do not fit this way, or a strip did not decode: nothing was written
    Written,      // the output is complete, flushed to the disk and closed
    WriteFailed,  // the output could not be written (`error` says why, when known): a failed entry
    // A strip of the page, or of the back subscan of a merge, does not decode: the file is damaged, as the
    // decoding path says of it (or, for the fax and JPEG damage that path decodes past, would say). Nothing
    // was written, and the page is not to be written another way.
    PageDamaged,
    BackDamaged,
};

// What the copy is working on, so that a crash in it is put on the right file.
enum class StripCopyStage { ReadingPage, ReadingBack, Writing };

struct StripCopyFiles {
    int page = -1;                   // the page, or the new page of a merge (read with pread only)
    FIBITMAP* pageHeader = nullptr;  // FreeImage's header of it (LoadImageHeader, FIF_LOAD_NOPIXELS)
    int back = -1;                   // merge: the back subscan, whose strips are copied
    FIBITMAP* backHeader = nullptr;
    FIBITMAP* mask = nullptr;  // the mask, decoded; the rules' checks passed on these headers
    int output = -1;           // an empty file, written from offset 0; closed when the copy was taken
    double maxMegapixels = kDefaultMaxMegapixels;  // the limit the headers were read with (see TiffUnits.h)
};

// The back subscan (no back) or the merge (with one) of `files`, written to files.output. The input
// descriptors are read with pread only, so their offsets are unchanged. On NotTaken and the damaged outcomes
// the output may hold some bytes, and is not closed: the caller truncates it (before writing it another way).
StripCopyOutcome CopyStrips(const StripCopyFiles& files, const std::function<void(StripCopyStage)>& stage,
                            int& error);

// CopyStrips on files named by path, for tools that hold paths (the benchmarks, the fuzz target, the tests):
// the inputs' headers read with LoadImageHeader (up to `maxMegapixels`), the output created or emptied and
// always closed, empty unless the copy wrote it. An empty `back` makes a back subscan. NotTaken also when a
// file cannot be opened.
StripCopyOutcome CopyStripsBetween(const std::string& page, const std::string& back, FIBITMAP* mask,
                                   const std::string& output, double maxMegapixels, int& error);

// True for the output names the strip copy writes: ".tif" and ".tiff", any case.
bool IsTiffExtension(const std::string& extension);

}  // namespace orfeo
