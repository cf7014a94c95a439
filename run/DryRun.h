#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "protocol/Limits.h"
#include "run/BatchResult.h"
#include "scan/CScanList.h"

namespace orfeo {

// Seeing a job before running it: what each entry would read and write, and what the real run would say.
// The plan goes through the run's own steps (BatchSteps) with their effects foreseen instead of made: the
// locks are looked up, never taken (FolderLock::WhoWouldRefuse); the reset is counted; each entry's files
// are read by a page worker as far as their headers (decoded where a header cannot tell what the pixels
// will be), which makes the rule's checks and says whether the output's format would hold the result.
// Planning changes nothing: no output folder is emptied or made, no file is written.
// It cannot foresee what headers do not tell: pixels that do not decode, a full disk, a folder that
// refuses a write.

// What the plan found for one file of an entry.
enum class FileVerdict {
    Ok,
    NotFound,
    NotRegular,  // a FIFO, socket or device in place of an image
    CannotRead,
    TooLarge,           // past the megapixel limit
    UnsupportedPixels,  // a page whose pixel type no rule handles
    MaskNotOneBit,
    MaskTooSmall,
    BackMismatch,  // a back subscan that differs from its new page in size or depth
    CannotHold,    // an output whose format cannot hold the result's depth
};

struct PlannedFile {
    std::string path;
    FileVerdict verdict = FileVerdict::Ok;
};

struct PlannedEntry {
    std::string name;  // the first folder's page name, which the output takes
    PlannedFile page;  // back: the page; merge: the second folder's page paired with it
    PlannedFile mask;
    PlannedFile back;  // merge: the back subscan; empty path for a back job
    PlannedFile output;
    std::vector<std::string> messages;  // what the real run shows for this entry, in its order
    bool written = false;               // the real run would write the output
};

struct JobPlan {
    std::string outputFolder;
    // Messages the real run shows before its entries: a refusal (then there are no entries), or a folder
    // that cannot be made (then no entry is written).
    std::vector<std::string> before;
    std::vector<PlannedEntry> entries;
    std::vector<std::string> unused;  // merge: second-folder pages past the first folder's count
    std::size_t filesToDelete = 0;    // files in the output folder that the reset would delete
    BatchResult result;               // what the real run would report: refused, entries, written

    // Every message the real run would show, in its order, "Processing ended." aside.
    std::vector<std::string> Messages() const;
};

// The plan of CreateBackSubscans with the same arguments.
JobPlan PlanBackSubscans(const CScanList& list1, const std::string& inputFolder,
                         const std::string& outputFolder, double maxMegapixels = kDefaultMaxMegapixels);

// The plan of MergeSubscans with the same arguments.
JobPlan PlanMergeSubscans(const CScanList& list1, const CScanList& list2, const std::string& inputFolder,
                          const std::string& outputFolder, const std::string& outputFolder2,
                          double maxMegapixels = kDefaultMaxMegapixels);

}  // namespace orfeo
