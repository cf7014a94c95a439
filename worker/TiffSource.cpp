#include "worker/TiffSource.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace orfeo {

tmsize_t TiffSourceRead(thandle_t handle, void* buffer, tmsize_t size) {
    auto* source = static_cast<TiffSource*>(handle);
    if (size < 0 || source->position >= source->size) return 0;
    const std::uint64_t wanted =
        std::min<std::uint64_t>(static_cast<std::uint64_t>(size), source->size - source->position);
    if (source->bytes) {
        std::memcpy(buffer, source->bytes + source->position, wanted);
        source->position += wanted;
        return static_cast<tmsize_t>(wanted);
    }
    std::uint64_t done = 0;
    while (done < wanted) {
        const ssize_t got = ::pread(source->fd, static_cast<char*>(buffer) + done, wanted - done,
                                    static_cast<off_t>(source->position + done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += static_cast<std::uint64_t>(got);
    }
    source->position += done;
    return static_cast<tmsize_t>(done);
}

toff_t TiffReposition(std::uint64_t& position, std::uint64_t size, toff_t offset, int whence) {
    if (whence == SEEK_CUR) {
        position += offset;
    } else if (whence == SEEK_END) {
        position = size + offset;
    } else {
        position = offset;
    }
    return position;
}

toff_t TiffSourceSeek(thandle_t handle, toff_t offset, int whence) {
    auto* source = static_cast<TiffSource*>(handle);
    return TiffReposition(source->position, source->size, offset, whence);
}

toff_t TiffSourceSize(thandle_t handle) { return static_cast<TiffSource*>(handle)->size; }
tmsize_t TiffWriteNothing(thandle_t, void*, tmsize_t) { return -1; }
int TiffCloseNothing(thandle_t) { return 0; }
int TiffMapNothing(thandle_t, void**, toff_t*) { return 0; }
void TiffUnmapNothing(thandle_t, void*, toff_t) {}

}  // namespace orfeo
