#pragma once

#include <string>

#include "imaging/ImagePtr.h"
#include "imaging/Limits.h"
#include "imaging/MessageSink.h"

namespace orfeo {

// Loads the image at `path`: the format is found from the file's content, failing that from its name
// (".pnm" counts as the PNM family), and loaded with flags 0. The file is opened here and FreeImage reads it
// through its handle interface, so paths of any length work. Before decoding, only the header is read (for
// a GIF, the first frame's descriptor), and an image of more than `maxMegapixels` is refused. On failure
// shows one message and returns an empty pointer: `File "<path>" not found.` when nothing is at the path,
// `File "<path>" is not a regular file.` for a FIFO, socket or device (never opened in a way that waits),
// `File "<path>" cannot be read.` when something is there that does not load as an image, `File "<path>"
// is too large: W x H pixels, more than N megapixels.` for an image past the limit, and `File "<path>" is
// truncated or damaged.` when the loader decoded the file but said that its data was cut short or broken
// (JPEG, TIFF strips), or when a BMP or binary PNM file ended before its pixels did.
ImagePtr LoadImageFile(const std::string& path, IMessageSink& messages,
                       double maxMegapixels = kDefaultMaxMegapixels);

// Why LoadImageFile or LoadImageHeader gave no image.
enum class LoadProblem { None, NotFound, NotRegular, CannotRead, Damaged, TooLarge };

// LoadImageFile without the pixels, to check inputs before a run: the image's type, width, height and
// depth, read from the header where FreeImage can (GIFs are decoded whole, after the size check). Shows
// the same messages as LoadImageFile for what a header tells, and sets `problem`; a file whose header reads
// but whose pixels do not decode is not noticed. The image it returns has no pixels unless it is a GIF.
ImagePtr LoadImageHeader(const std::string& path, IMessageSink& messages, double maxMegapixels,
                         LoadProblem* problem = nullptr);

// Writes `image` to `path` in the format its extension names (".pnm" as PBM, PGM or PPM by depth), with
// flags 0. The file is written to a new short temporary name beside the target (see OutputFile), every
// write, the flush to the disk and the close checked, and renamed over the target only when all of it
// succeeded, so the target is either the complete new file or untouched; the folder is then flushed so
// that the new name survives a power cut. On failure shows `File "<path>" could not be written.` (with the
// system's reason, such as "No space left on device", after a colon when there is one), leaves no
// temporary file behind and returns false.
bool SaveImageFile(FIBITMAP* image, const std::string& path, IMessageSink& messages);

// True when SaveImageFile finds a format for `path` that can hold an image of `image`'s type and depth
// (a one-bit page cannot go to JPEG, for one). Whether the disk takes the file is not known before.
bool FormatCanHold(const std::string& path, FIBITMAP* image);

// Empties and removes an output folder: deletes every entry of `folder` that is not a folder (links to
// folders count as folders) and whose name does not begin with '.', stopping at the first deletion that
// fails, then removes the folder itself. Subfolders and their contents are never touched. Returns true when
// the files were all deleted and the folder removed, false otherwise (also for a folder that does not
// exist). A folder that is a link is never followed: nothing is deleted and the result is false.
// Reports nothing; callers recreate the folder and check that it is there.
bool ResetOutputFolder(const std::string& folder);

// The FreeImage format that the name of `path` stands for (FIF_UNKNOWN if none), `bitsPerPixel` choosing
// the PNM kind for ".pnm". Safe to call from several threads.
FREE_IMAGE_FORMAT FormatFromName(const std::string& path, unsigned bitsPerPixel = 8);

}  // namespace orfeo
