#pragma once

#include <string>
#include <vector>

#include "protocol/MessageSink.h"

namespace orfeo {

// A run's output folder: the checks before a run touches it, and its reset.

// Empties and removes an output folder: deletes every entry of `folder` that is not a folder (links to
// folders count as folders) and whose name does not begin with '.', stopping at the first deletion that
// fails, then removes the folder itself. Subfolders and their contents are never touched. Returns true when
// the files were all deleted and the folder removed, false otherwise (also for a folder that does not
// exist). A folder that is a link is never followed: nothing is deleted and the result is false.
// Reports nothing; callers recreate the folder and check that it is there. With `failure`, says what
// could not be deleted, if anything (a folder that is there but cannot be read or listed counts, with an
// empty name).
struct ResetFailure {
    std::string file;  // the name in the folder of the file that could not be deleted
    int error = 0;     // the system's reason
};
bool ResetOutputFolder(const std::string& folder, ResetFailure* failure = nullptr);

// Empties `folder` with ResetOutputFolder and creates it again. A file that could not be deleted is named
// (`File "<path>" could not be deleted: <reason>; the folder "<folder>" still holds what an earlier run
// wrote.`), since a later merge would read it, and the run goes on. When it is not a folder afterwards,
// shows "Can't create folder " followed by the path and returns false.
bool PrepareOutputFolder(const std::string& folder, IMessageSink& messages);

// Refuses a run before it touches anything: shows a message and returns false when the output `folder` is
// a link (`Output folder "<folder>" is a link; Orfeo writes only into a real folder.`), or when one of
// `inputs`, the files the run reads, lies in it, directly or by way of links to the file or to a folder on
// its path (`File "<input>" lies in the output folder "<folder>", which the run empties.`). Folders are
// compared by identity on disk, so two paths to one folder count as one. Missing inputs are not looked at.
bool CheckOutputFolder(const std::string& folder, const std::vector<std::string>& inputs,
                       IMessageSink& messages);

}  // namespace orfeo
