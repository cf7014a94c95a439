#pragma once

#include <FreeImage.h>

#include <string>

#include "protocol/MessageSink.h"

namespace orfeo {

class OutputFile;

// Writes `image` to `path` in the format its extension names (".pnm" as PBM, PGM or PPM by depth), with
// flags 0. The file is written to a new short temporary name beside the target (see OutputFile), every
// write, the flush to the disk and the close checked, and renamed over the target only when all of it
// succeeded, so the target is either the complete new file or untouched; the folder is then flushed so
// that the new name survives a power cut. On failure shows `File "<path>" could not be written.` (with the
// system's reason, such as "No space left on device", after a colon when there is one), leaves no
// temporary file behind and returns false.
bool SaveImageFile(FIBITMAP* image, const std::string& path, IMessageSink& messages);

// The encoding half of SaveImageFile: writes `image` in the format that `extension` names (as
// GetFileExtension gives it, "pnm" choosing by depth) into `file` and closes it. True when the format is
// known and every write, the flush and the close succeeded; otherwise `error` takes the system's reason
// when there is one. The renaming half is PutInPlace (protocol/OutputFile.h).
bool EncodeImageFile(FIBITMAP* image, const std::string& extension, OutputFile& file, int& error);

// True when SaveImageFile finds a format for `path` that can hold an image of `image`'s type and depth
// (a one-bit page cannot go to JPEG, for one), so that the file loads back with that type and depth;
// SaveImageFile writes nothing otherwise. Whether the disk takes the file is not known before.
bool FormatCanHold(const std::string& path, FIBITMAP* image);

}  // namespace orfeo
