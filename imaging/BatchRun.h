#pragma once

#include <FreeImage.h>

#include <cstddef>
#include <functional>
#include <string>

#include "imaging/BatchResult.h"
#include "imaging/JobOptions.h"
#include "imaging/JobSteps.h"
#include "imaging/MessageSink.h"
#include "imaging/PixelRules.h"
#include "imaging/WorkerProtocol.h"

namespace orfeo {

// A batch job as its run and its dry run see it: what refuses it, what it locks and must not empty, and
// for each entry the files it reads and writes and the pixel rule that makes the output.
struct BatchJob {
    // The message that refuses the job before it looks at the disk (lists that are empty or cannot pair);
    // empty when the job may run.
    std::string refusal;
    std::string outputFolder;  // ends with the separator
    RunInputs inputs;
    std::size_t entries = 0;
    // The files of entry `index`; called from several threads at once.
    std::function<EntryFiles(std::size_t index)> files;
    // The rule's checks on an entry's inputs (the dry run makes them on the headers); `back` is null when
    // the entry has no back subscan (EntryFiles::back empty).
    PixelStatus (*check)(FIBITMAP* page, FIBITMAP* back, FIBITMAP* mask) = nullptr;
    // The rule, which a page worker applies to the entry: Back (MakeBackSubscan) or Merge (MergeSubscan).
    WorkerTask task = WorkerTask::Back;
};

// Runs `job`. A refused job shows its refusal and touches nothing. Otherwise the folders are locked (see
// FolderLock) and the run is refused, touching nothing, when another run holds them, when the output
// folder is a link or holds an input (CheckOutputFolder), or when no page worker can be started
// (PageWorkers). Then the output folder is emptied and made anew; when that fails no entry is processed.
// Each entry is handed to a page worker, which loads its page, back subscan (if any) and mask, in that
// order, all of them even when one fails, applies the rule and writes the output into a temporary file
// that the run renames into place; an entry that fails, its worker's crash included, is skipped after its
// messages and the others go on (RunEntries). Every run that was not refused ends with "Processing
// ended.".
BatchResult RunBatch(const BatchJob& job, IMessageSink& messages, const JobOptions& options);

}  // namespace orfeo
