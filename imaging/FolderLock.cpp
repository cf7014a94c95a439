#include "imaging/FolderLock.h"

#include <filesystem>

#include "scan/Paths.h"

#if defined(__unix__)
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace orfeo {

namespace {

std::string PlaceOf(const std::string& folder) {
    const std::filesystem::path parent =
        std::filesystem::path(WithoutTrailingSeparator(folder)).parent_path();
    return parent.empty() ? std::string(".") : parent.string();
}

}  // namespace

FolderLock::FolderLock(const std::string& outputFolder, const std::vector<std::string>& readFolders) {
    Take(outputFolder, true);
    for (const std::string& folder : readFolders) {
        if (!Busy()) Take(folder, false);
    }
}

FolderLock::~FolderLock() {
#if defined(__unix__)
    for (const Place& place : m_places) ::close(place.fd);
#endif
}

void FolderLock::Take(const std::string& folder, bool exclusive) {
#if defined(__unix__)
    const int fd = ::open(PlaceOf(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        ::close(fd);
        return;
    }
    // Locks of one process on two descriptors of one folder exclude each other: lock each place once.
    for (const Place& place : m_places) {
        if (place.device == status.st_dev && place.inode == status.st_ino) {
            ::close(fd);
            return;
        }
    }
    m_places.push_back(Place{.fd = fd, .device = status.st_dev, .inode = status.st_ino});
    if (::flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0 && errno == EWOULDBLOCK) m_busy = folder;
#else
    (void)folder;
    (void)exclusive;
#endif
}

}  // namespace orfeo
