#pragma once

#include <functional>
#include <string>

#include "protocol/Limits.h"
#include "protocol/LoadReport.h"
#include "protocol/MessageSink.h"
#include "worker/ImagePtr.h"

namespace orfeo {

// Loads the image at `path`: the format is found from the file's content, failing that from its name
// (".pnm" counts as the PNM family), and loaded with flags 0. The file is opened here and FreeImage reads it
// through its handle interface, so paths of any length work. Before decoding, only the header is read (for
// a GIF, the first frame's descriptor), and an image of more than `maxMegapixels` is refused. On failure
// shows one message and returns an empty pointer: `File "<path>" not found.` when nothing is at the path,
// `File "<path>" is not a regular file.` for a FIFO, socket or device (never opened in a way that waits),
// `File "<path>" cannot be read.` when something is there that does not load as an image (a TIFF whose
// strips or tiles are past their bounds, see TiffUnits.h, included), `File "<path>" is too large: W x H
// pixels, more than N megapixels.` for an image past the limit, and `File "<path>" is truncated or
// damaged.` when the loader decoded the file but said that its data was cut short or broken (JPEG, TIFF
// strips), or when a BMP or binary PNM file ended before its pixels did, and `File "<path>" is a <FORMAT>
// image; Orfeo reads only BMP, JPEG, GIF, TIFF, PNG and PNM images.` for content in another format.
ImagePtr LoadImageFile(const std::string& path, IMessageSink& messages,
                       double maxMegapixels = kDefaultMaxMegapixels);

// LoadImageFile without the pixels, to check inputs before a run: the image's type, width, height and
// depth, read from the header where FreeImage can (GIFs are decoded whole, after the size check). Shows
// the same messages as LoadImageFile for what a header tells, and sets `problem`; a file whose header reads
// but whose pixels do not decode is not noticed. The image it returns has no pixels unless it is a GIF.
ImagePtr LoadImageHeader(const std::string& path, IMessageSink& messages, double maxMegapixels,
                         LoadProblem* problem = nullptr);

// LoadImageFile in its three steps, for a caller that opens the files in one process and decodes them in
// another: OpenImageFile and ShowLoadProblem (protocol/LoadReport.h) on the run's side, and this.

// Decodes the file open on `fd` (taken over and closed), only its header when `headerOnly` and the format
// can. The format is found from the content, failing that from `extension` (the file name's, as
// GetFileExtension gives it). Only the formats that Orfeo lists are decoded: BMP, JPEG, GIF, TIFF, the PNM
// family, and PNG (which FreeImage finds by content under any name); every one of them declares its size in
// a header, which is checked against `maxMegapixels` before the pixels are decoded, and a TIFF's strips and
// tiles are checked against their bounds (TiffUnitsWithinBounds) even for the header alone; `measured`, when
// given, is told the size the header declares once it has passed those checks. Shows nothing: the outcome
// is in `report`.
ImagePtr DecodeImageFile(int fd, const std::string& extension, double maxMegapixels, bool headerOnly,
                         LoadReport& report, const std::function<void(unsigned, unsigned)>& measured = {});

// True when the type and depth of an image that LoadImageHeader read may not be what LoadImageFile gives:
// FreeImage turns CMYK into RGB when it decodes the pixels (32-bit CMYK loads as 24 bits, 64-bit as 48-bit
// RGB), and its header alone does not tell CMYK from RGBA. Only decoding the file tells.
bool HeaderMayMislead(FIBITMAP* header);

}  // namespace orfeo
