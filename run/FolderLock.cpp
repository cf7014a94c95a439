#include "run/FolderLock.h"

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <tuple>

#include "scan/Paths.h"

#if defined(__unix__)
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#endif

namespace orfeo {

namespace {

std::string PlaceOf(const std::string& folder) {
    const std::filesystem::path parent =
        std::filesystem::path(WithoutTrailingSeparator(folder)).parent_path();
    return parent.empty() ? std::string(".") : parent.string();
}

#if defined(__unix__)
// A place as the kernel's lock table names it: device major and minor, inode.
using PlaceKey = std::tuple<unsigned, unsigned, unsigned long long>;

bool KeyOf(const std::string& folder, PlaceKey& key) {
    struct stat status {};
    if (::stat(PlaceOf(folder).c_str(), &status) != 0) return false;
    key = {major(status.st_dev), minor(status.st_dev), status.st_ino};
    return true;
}

// The places that someone holds a flock() on, those held for writing apart; false when the table cannot be
// read.
bool ReadLockTable(std::set<PlaceKey>& held, std::set<PlaceKey>& written) {
    std::ifstream table("/proc/locks");
    if (!table) return false;
    std::string line;
    while (std::getline(table, line)) {
        // "1: FLOCK  ADVISORY  WRITE 1234 08:02:131 0 EOF"; lines with "->" are waiters, not holders.
        std::istringstream fields(line);
        std::string number, kind, advisory, mode, pid, place;
        if (!(fields >> number >> kind) || kind != "FLOCK") continue;
        if (!(fields >> advisory >> mode >> pid >> place)) continue;
        unsigned major = 0, minor = 0;
        unsigned long long inode = 0;
        if (std::sscanf(place.c_str(), "%x:%x:%llu", &major, &minor, &inode) != 3) continue;
        held.insert({major, minor, inode});
        if (mode == "WRITE") written.insert({major, minor, inode});
    }
    return true;
}
#endif

}  // namespace

std::string FolderLock::WhoWouldRefuse(const std::string& outputFolder,
                                       const std::vector<std::string>& readFolders) {
#if defined(__unix__)
    std::set<PlaceKey> held, written;
    if (ReadLockTable(held, written)) {
        PlaceKey key;
        if (KeyOf(outputFolder, key) && held.count(key)) return outputFolder;
        for (const std::string& folder : readFolders) {
            if (KeyOf(folder, key) && written.count(key)) return folder;
        }
        return {};
    }
#endif
    const FolderLock tried(outputFolder, readFolders);
    return tried.BusyFolder();
}

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
