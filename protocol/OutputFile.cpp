#include "protocol/OutputFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <random>
#include <system_error>

#include "scan/Paths.h"

namespace orfeo {

namespace fs = std::filesystem;

OutputFile::OutputFile(const std::string& folder) {
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

namespace {

// Flushes a folder's entries to the disk, as far as the file system lets it.
void SyncFolder(const std::string& folder) {
#if defined(__unix__)
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
#else
    (void)folder;
#endif
}

}  // namespace

bool PutInPlace(const std::string& temporary, const std::string& path, int& error) {
    std::error_code renameError;
    fs::rename(fs::path(temporary), fs::path(path), renameError);
    if (renameError) {
        error = renameError.value();
        return false;
    }
    // The new name is on the disk only once its folder is. The page is whole either way (after a crash
    // before the folder reaches the disk, the earlier file or the new one is there, complete), and some
    // file systems refuse to flush a folder at all: a failure here does not make the written page a failed
    // one.
    const std::size_t separator = path.rfind(kPathSeparator);
    SyncFolder(separator == std::string::npos ? std::string(".") : path.substr(0, separator + 1));
    return true;
}

}  // namespace orfeo
