#include "imaging/FolderLock.h"

#include <filesystem>

#include "scan/Paths.h"

#if defined(__unix__)
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace orfeo {

namespace {

std::string PlaceOf(std::string folder) {
    while (folder.size() > 1 && folder.back() == kPathSeparator) folder.pop_back();
    const std::filesystem::path parent = std::filesystem::path(folder).parent_path();
    return parent.empty() ? std::string(".") : parent.string();
}

}  // namespace

FolderLock::FolderLock(const std::string& outputFolder) {
#if defined(__unix__)
    m_fd = ::open(PlaceOf(outputFolder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_fd < 0) return;
    if (::flock(m_fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) m_held = false;
#else
    (void)outputFolder;
#endif
}

FolderLock::~FolderLock() {
#if defined(__unix__)
    if (m_fd >= 0) ::close(m_fd);
#endif
}

}  // namespace orfeo
