#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace orfeo {

// A new temporary file whose every write, flush and close is checked: a full disk or an I/O error is noticed
// even when the image plug-in that writes it (through worker/OutputFileIo.h) ignores it.
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
    // The open file, for the writer's handle interface (OutputFileIo), which notes its failures with Fail.
    std::FILE* Stream() { return m_file; }

    // Flushes the file to the disk (so that a rename after it never shows a name over data still in
    // memory) and closes it; true when the open, every write, the flush and the close succeeded.
    bool Close();
    // The error number of the first failure; 0 when there was none.
    int Error() const { return m_error; }
    // Notes a failure (EIO when `error` is 0), unless one was noted before.
    void Fail(int error);

private:
    std::string m_path;
    std::FILE* m_file = nullptr;
    int m_error = 0;
};

// The renaming half of a checked write (the run's, and SaveImageFile's): puts the complete file `temporary`
// in place of `path` and flushes the folder. False, with the system's reason in `error`, when the rename
// failed.
bool PutInPlace(const std::string& temporary, const std::string& path, int& error);

}  // namespace orfeo
