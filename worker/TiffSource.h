#pragma once

#include <tiffio.h>

#include <cstdint>

namespace orfeo {

// A file that libtiff reads through its client procedures: a descriptor read with pread only (its offset is
// never moved, so another reader of the same descriptor finds it where it left it), or bytes in memory.
struct TiffSource {
    int fd = -1;
    const std::uint8_t* bytes = nullptr;  // when set, read instead of `fd`
    std::uint64_t size = 0;
    std::uint64_t position = 0;
};

// libtiff's procedures for a TiffSource passed as the handle; writing, mapping and closing do nothing.
tmsize_t TiffSourceRead(thandle_t handle, void* buffer, tmsize_t size);
toff_t TiffSourceSeek(thandle_t handle, toff_t offset, int whence);
toff_t TiffSourceSize(thandle_t handle);
tmsize_t TiffWriteNothing(thandle_t, void*, tmsize_t);
int TiffCloseNothing(thandle_t);
int TiffMapNothing(thandle_t, void**, toff_t*);
void TiffUnmapNothing(thandle_t, void*, toff_t);

// A position after a seek of `offset` from `whence` (SEEK_SET, SEEK_CUR, SEEK_END) in a file of `size`
// bytes; `position` takes it.
toff_t TiffReposition(std::uint64_t& position, std::uint64_t size, toff_t offset, int whence);

}  // namespace orfeo
