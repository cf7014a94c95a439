#pragma once

#include <FreeImage.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace orfeo {

// A new temporary file that FreeImage writes through its handle interface, so that Orfeo sees the result of
// every write, the flush and the close: a full disk or an I/O error is noticed even when the image plug-in
// ignores it.
class OutputFile {
public:
    // Creates a file of a new short name ("orfeo-" and eight random characters, ".tmp") in `folder` (which
    // ends with kPathSeparator), never opening anything that is there already, link or not. Its name is
    // short so that it fits wherever the final name does, and is not a listed image, so a leftover of a
    // killed run is deleted by the next reset and never listed.
    explicit OutputFile(const std::string& folder);
    // The file open on `descriptor`, which another process made: taken over, closed by Close or the
    // destructor. Path() is empty.
    struct Descriptor {
        int fd;
    };
    explicit OutputFile(Descriptor descriptor);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    bool IsOpen() const { return m_file != nullptr; }
    const std::string& Path() const { return m_path; }
    int Fd() const { return m_file ? ::fileno(m_file) : -1; }
    FreeImageIO* Io() { return &m_io; }
    fi_handle Handle() { return this; }

    // Flushes the file to the disk (so that a rename after it never shows a name over data still in
    // memory) and closes it; true when the open, every write, the flush and the close succeeded.
    bool Close();
    // The error number of the first failure; 0 when there was none.
    int Error() const { return m_error; }

private:
    static unsigned DLL_CALLCONV Read(void* buffer, unsigned size, unsigned count, fi_handle handle);
    static unsigned DLL_CALLCONV Write(void* buffer, unsigned size, unsigned count, fi_handle handle);
    static int DLL_CALLCONV Seek(fi_handle handle, long offset, int origin);
    static long DLL_CALLCONV Tell(fi_handle handle);
    void Fail(int error);

    std::string m_path;
    std::FILE* m_file = nullptr;
    FreeImageIO m_io{};
    int m_error = 0;
};

}  // namespace orfeo
