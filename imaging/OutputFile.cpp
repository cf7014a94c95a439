#include "imaging/OutputFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <random>

namespace orfeo {

OutputFile::OutputFile(const std::string& folder) {
    m_io.read_proc = Read;
    m_io.write_proc = Write;
    m_io.seek_proc = Seek;
    m_io.tell_proc = Tell;
    static std::atomic<std::uint64_t> counter{std::random_device{}()};
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        char name[32];
        const std::uint64_t mixed =
            counter.fetch_add(0x9E3779B97F4A7C15ull) ^ (std::uint64_t(::getpid()) << 32);
        std::snprintf(name, sizeof name, "orfeo-%08x.tmp", static_cast<unsigned>(mixed ^ (mixed >> 29)));
        m_path = folder + name;
        fd = ::open(m_path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        m_error = errno ? errno : EIO;
        m_path.clear();
        return;
    }
    // Some plug-ins read back what they wrote (TIFF rewrites its directory), hence "w+".
    m_file = ::fdopen(fd, "w+b");
    if (!m_file) {
        m_error = errno ? errno : EIO;
        ::close(fd);
        ::unlink(m_path.c_str());
        m_path.clear();
    }
}

OutputFile::OutputFile(Descriptor descriptor) {
    m_io.read_proc = Read;
    m_io.write_proc = Write;
    m_io.seek_proc = Seek;
    m_io.tell_proc = Tell;
    m_file = descriptor.fd < 0 ? nullptr : ::fdopen(descriptor.fd, "w+b");
    if (!m_file) {
        m_error = descriptor.fd < 0 ? EBADF : (errno ? errno : EIO);
        if (descriptor.fd >= 0) ::close(descriptor.fd);
    }
}

OutputFile::~OutputFile() {
    if (m_file) std::fclose(m_file);
}

void OutputFile::Fail(int error) {
    if (m_error == 0) m_error = error ? error : EIO;
}

bool OutputFile::Close() {
    if (!m_file) return false;
    errno = 0;
    if (std::fflush(m_file) != 0) Fail(errno);
    errno = 0;
    if (m_error == 0 && ::fsync(::fileno(m_file)) != 0) Fail(errno);
    errno = 0;
    if (std::fclose(m_file) != 0) Fail(errno);
    m_file = nullptr;
    return m_error == 0;
}

unsigned DLL_CALLCONV OutputFile::Read(void* buffer, unsigned size, unsigned count, fi_handle handle) {
    auto* self = static_cast<OutputFile*>(handle);
    return static_cast<unsigned>(std::fread(buffer, size, count, self->m_file));
}

unsigned DLL_CALLCONV OutputFile::Write(void* buffer, unsigned size, unsigned count, fi_handle handle) {
    auto* self = static_cast<OutputFile*>(handle);
    if (self->m_error != 0) return 0;
    const std::uint64_t bytes = std::uint64_t{size} * count;
    // Plug-ins write empty blocks (the GIF writer does): nothing to write is not a failure, though fwrite
    // returns 0 for it.
    if (bytes == 0) return count;
    errno = 0;
    const std::size_t done = std::fwrite(buffer, size, count, self->m_file);
    if (done != count) self->Fail(errno);
    return static_cast<unsigned>(done);
}

int DLL_CALLCONV OutputFile::Seek(fi_handle handle, long offset, int origin) {
    auto* self = static_cast<OutputFile*>(handle);
    errno = 0;
    const int result = std::fseek(self->m_file, offset, origin);
    if (result != 0) self->Fail(errno);
    return result;
}

long DLL_CALLCONV OutputFile::Tell(fi_handle handle) {
    return std::ftell(static_cast<OutputFile*>(handle)->m_file);
}

}  // namespace orfeo
