#pragma once

#include <string>
#include <vector>

#include "protocol/MessageSink.h"
#include "protocol/PixelStatus.h"

namespace orfeo {

// What the entries of a batch are made of, and the messages of their pixel rules.

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
