#pragma once

#include <string>

#include "imaging/MessageSink.h"
#include "imaging/PixelRules.h"

namespace orfeo {

// Steps the two batch jobs share.

// Empties `folder` with ResetOutputFolder and creates it again. When it is not a folder afterwards, shows
// "Can't create folder " followed by the path and returns false.
bool PrepareOutputFolder(const std::string& folder, IMessageSink& messages);

// The files a pixel rule worked on, for naming them when it gave no result.
struct EntryFiles {
    std::string page;    // the page, or the new page of a merge
    std::string mask;
    std::string back;    // the back subscan of a merge; empty for a back subscan
    std::string output;
};

// Shows the message for a pixel rule that gave no result (nothing for PixelStatus::Ok).
void ReportPixelProblem(PixelStatus status, const EntryFiles& files, IMessageSink& messages);

inline const char* const kProcessingEnded = "Processing ended.";

}  // namespace orfeo
