#include "worker/OutputFileIo.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>

namespace orfeo {

OutputFileIo::OutputFileIo(OutputFile& file) : m_file(file) {
    m_io.read_proc = Read;
    m_io.write_proc = Write;
    m_io.seek_proc = Seek;
    m_io.tell_proc = Tell;
}

unsigned DLL_CALLCONV OutputFileIo::Read(void* buffer, unsigned size, unsigned count, fi_handle handle) {
    auto* self = static_cast<OutputFile*>(handle);
    return static_cast<unsigned>(std::fread(buffer, size, count, self->Stream()));
}

unsigned DLL_CALLCONV OutputFileIo::Write(void* buffer, unsigned size, unsigned count, fi_handle handle) {
    auto* self = static_cast<OutputFile*>(handle);
    if (self->Error() != 0) return 0;
    const std::uint64_t bytes = std::uint64_t{size} * count;
    // Plug-ins write empty blocks (the GIF writer does): nothing to write is not a failure, though fwrite
    // returns 0 for it.
    if (bytes == 0) return count;
    errno = 0;
    const std::size_t done = std::fwrite(buffer, size, count, self->Stream());
    if (done != count) self->Fail(errno);
    return static_cast<unsigned>(done);
}

int DLL_CALLCONV OutputFileIo::Seek(fi_handle handle, long offset, int origin) {
    auto* self = static_cast<OutputFile*>(handle);
    errno = 0;
    const int result = std::fseek(self->Stream(), offset, origin);
    if (result != 0) self->Fail(errno);
    return result;
}

long DLL_CALLCONV OutputFileIo::Tell(fi_handle handle) {
    return std::ftell(static_cast<OutputFile*>(handle)->Stream());
}

}  // namespace orfeo
