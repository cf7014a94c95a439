#pragma once

#include <string>

namespace orfeo {

// An exclusive lock for one run on an output folder, so that a second run (another window, a double
// start, a script beside the window) cannot empty the folder under the first. The lock is taken on the
// folder that holds the output folder, which stays in place while the output folder is emptied and made
// anew; the operating system drops it when the run ends, also when the process is killed, so a lock never
// outlives its run. Two jobs whose outputs share that folder (back and merge of one folder) exclude each
// other too, which keeps a merge from reading back subscans that a back run is rewriting.
class FolderLock {
public:
    // Tries to lock the place of `outputFolder`; never waits.
    explicit FolderLock(const std::string& outputFolder);
    ~FolderLock();
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

    // False when another run holds the lock. A folder that cannot be opened (it does not exist yet)
    // counts as locked by nobody: the run goes on and reports what it finds.
    bool Held() const { return m_held; }

private:
    int m_fd = -1;
    bool m_held = true;
};

}  // namespace orfeo
