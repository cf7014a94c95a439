#pragma once

#include <string>
#include <vector>

namespace orfeo {

// The locks of one run: an exclusive lock on what it writes and shared locks on what it reads, so that a
// second run (another window, a double start, a script beside the window) can neither empty a folder
// under the first nor rewrite files that the first is reading, while runs that only read the same folders
// go side by side. A folder is locked through the folder that holds it (its place), which stays in place
// while an output folder is emptied and made anew. A place holds more than the one folder, so the locks
// err on the side of caution: folders that merely share a place count as one (a back run of book/, which
// writes book/pics/, excludes a back run of book/part2/, which reads a folder that book/ holds). The
// operating system drops the locks when the run ends, also when the process is killed, so a lock never
// outlives its run. Where there is no flock(), nothing is locked.
class FolderLock {
public:
    // Tries to lock the place of `outputFolder` for writing and the places of `readFolders` for reading;
    // never waits. A place that is locked for writing is not locked again for reading.
    explicit FolderLock(const std::string& outputFolder, const std::vector<std::string>& readFolders = {});
    ~FolderLock();
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

    // The folder (output or read) whose place a run holds so that this one would be refused; empty when
    // none is. Takes no lock, so that a dry run never refuses a real run: it reads the kernel's table of
    // locks (/proc/locks), and only where there is none does it take the locks and let them go at once.
    static std::string WhoWouldRefuse(const std::string& outputFolder,
                                      const std::vector<std::string>& readFolders = {});

    // True when another run holds a lock that excludes one of ours. A place that cannot be opened (it does
    // not exist yet) or locked for another reason counts as locked by nobody: the run goes on and reports
    // what it finds.
    bool Busy() const { return !m_busy.empty(); }
    // The folder (output or read) whose place another run holds; empty unless Busy().
    const std::string& BusyFolder() const { return m_busy; }

private:
    void Take(const std::string& folder, bool exclusive);

    struct Place {
        int fd;
        unsigned long long device, inode;
    };
    std::vector<Place> m_places;
    std::string m_busy;
};

}  // namespace orfeo
