#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "imaging/BatchResult.h"
#include "imaging/FolderLock.h"
#include "imaging/JobOptions.h"
#include "imaging/MessageSink.h"
#include "imaging/PixelRules.h"
#include "scan/CScanList.h"

namespace orfeo {

// Steps the two batch jobs share.

// Empties `folder` with ResetOutputFolder and creates it again. When it is not a folder afterwards, shows
// "Can't create folder " followed by the path and returns false.
bool PrepareOutputFolder(const std::string& folder, IMessageSink& messages);

// Refuses a run before it touches anything: shows a message and returns false when the output `folder` is
// a link (`Output folder "<folder>" is a link; Orfeo writes only into a real folder.`), or when one of
// `inputs`, the files the run reads, lies in it, directly or by way of links to the file or to a folder on
// its path (`File "<input>" lies in the output folder "<folder>", which the run empties.`). Folders are
// compared by identity on disk, so two paths to one folder count as one. Missing inputs are not looked at.
bool CheckOutputFolder(const std::string& folder, const std::vector<std::string>& inputs,
                       IMessageSink& messages);

// What a run reads: the folders it takes shared locks on, and the files that it must never delete or
// write over (see CheckOutputFolder).
struct RunInputs {
    std::vector<std::string> folders;
    std::vector<std::string> files;
};
// A back run over `list1`: the pages and their masks.
RunInputs BackRunInputs(const CScanList& list1, const std::string& inputFolder);
// A merge: folder 1's pages, the second folder's pages paired with them, the back subscans and the masks.
RunInputs MergeRunInputs(const CScanList& list1, const CScanList& list2, const std::string& inputFolder,
                         const std::string& outputFolder);

// Shows `Folder "<folder>" is in use by another run.`, naming the lock's busy folder, and returns false
// when another run holds a lock that excludes `lock`.
bool CheckFolderLock(const FolderLock& lock, IMessageSink& messages);

// The files a pixel rule worked on, for naming them when it gave no result.
struct EntryFiles {
    std::string page;    // the page, or the new page of a merge
    std::string mask;
    std::string back;    // the back subscan of a merge; empty for a back subscan
    std::string output;
};

// Shows the message for a pixel rule that gave no result (nothing for PixelStatus::Ok).
void ReportPixelProblem(PixelStatus status, const EntryFiles& files, IMessageSink& messages);

// Processes entry `index`, showing its messages through `messages`; true when its output was written.
// Called from several threads at once for different entries.
using EntryWork = std::function<bool(std::size_t index, IMessageSink& messages)>;

// Runs `work` over entries 0 .. count-1 as `options` say, then shows the stop message (if a stop ended
// the run) and "Processing ended.". Whatever the number of workers, the messages of entry k reach
// `messages` after those of every entry before it, and while `messages` is busy with one, no new entry
// starts. `name(index)` names an entry for the progress callback.
void RunEntries(std::size_t count, const EntryWork& work, const std::function<const std::string&(std::size_t)>& name,
                IMessageSink& messages, const JobOptions& options, BatchResult& result);

}  // namespace orfeo
