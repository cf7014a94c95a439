#pragma once

#include <FreeImage.h>

#include "protocol/OutputFile.h"

namespace orfeo {

// FreeImage's handle interface on an OutputFile, so that the file sees every write and seek the plug-in
// makes and keeps the first failure (OutputFile::Error).
class OutputFileIo {
public:
    explicit OutputFileIo(OutputFile& file);
    OutputFileIo(const OutputFileIo&) = delete;
    OutputFileIo& operator=(const OutputFileIo&) = delete;

    FreeImageIO* Io() { return &m_io; }
    fi_handle Handle() { return &m_file; }

private:
    static unsigned DLL_CALLCONV Read(void* buffer, unsigned size, unsigned count, fi_handle handle);
    static unsigned DLL_CALLCONV Write(void* buffer, unsigned size, unsigned count, fi_handle handle);
    static int DLL_CALLCONV Seek(fi_handle handle, long offset, int origin);
    static long DLL_CALLCONV Tell(fi_handle handle);

    OutputFile& m_file;
    FreeImageIO m_io{};
};

}  // namespace orfeo
