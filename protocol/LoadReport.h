#pragma once

#include <string>

#include "protocol/MessageSink.h"

namespace orfeo {

// What opening and decoding an input found, as the run and its workers tell each other, and the message
// for it.

// Why LoadImageFile or LoadImageHeader gave no image.
enum class LoadProblem { None, NotFound, NotRegular, CannotRead, Damaged, TooLarge, UnlistedFormat };

// What decoding a file found.
struct LoadReport {
    LoadProblem problem = LoadProblem::None;
    unsigned width = 0, height = 0;  // TooLarge: the size the file declares
    int format = -1;                 // UnlistedFormat: the format of the file's content (ImageFormats.h)
    bool outOfMemory = false;        // the loader said that an allocation failed
    int error = 0;                   // CannotRead: why the file could not be opened, when known
};

// Opens `path` for reading when it is a regular file, without ever waiting (a FIFO, socket or device is
// recognised before it is read). Returns the descriptor, or -1 with `report` saying NotFound, NotRegular or
// CannotRead (with the system's reason: permission denied, a path past the system's limit, ...).
int OpenImageFile(const std::string& path, LoadReport& report);

// The message LoadImageFile shows for `report` about the file at `path`; nothing for LoadProblem::None.
void ShowLoadProblem(const LoadReport& report, const std::string& path, double maxMegapixels,
                     IMessageSink& messages);

}  // namespace orfeo
