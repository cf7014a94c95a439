#pragma once

#include <string>
#include <vector>

#include "imaging/FolderLock.h"
#include "imaging/MessageSink.h"
#include "imaging/PixelRules.h"

namespace orfeo {

// Steps of a batch run that the real run and the dry run share.

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

// The files of one entry: what it reads, what it writes, and the name the output takes.
struct EntryFiles {
    std::string name;  // the first folder's page name, which the mask, back subscan and output take
    std::string page;  // the page, or the new page of a merge
    std::string mask;
    std::string back;  // the back subscan of a merge; empty for a back subscan
    std::string output;
};

// Shows the message for a pixel rule that gave no result (nothing for PixelStatus::Ok).
void ReportPixelProblem(PixelStatus status, const EntryFiles& files, IMessageSink& messages);

}  // namespace orfeo
