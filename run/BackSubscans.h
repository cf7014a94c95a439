#pragma once

#include <string>

#include "protocol/MessageSink.h"
#include "run/BatchResult.h"
#include "run/BatchRun.h"
#include "run/JobOptions.h"
#include "scan/CScanList.h"

namespace orfeo {

// The "Create back subscans" job. For each entry of `list1`, in order, loads the page and its mask
// (`inputFolder` + "cache/automask/" + name), makes the back subscan and writes it to `outputFolder` + name,
// in the format of the name's extension.
//
// With `list1` empty: shows "No scans are yet loaded." and touches nothing. Otherwise the output folder is
// emptied and recreated first (a folder that cannot be made: "Can't create folder " + path, and no entry is
// processed). An entry whose inputs do not load or do not fit together is skipped after one message naming
// the file; the others go on. Every run that got past the empty-list check ends with "Processing ended.".
// `options` set the number of workers, a progress callback and a stop request (see JobOptions).
BatchResult CreateBackSubscans(const CScanList& list1, const std::string& inputFolder,
                               const std::string& outputFolder, IMessageSink& messages,
                               const JobOptions& options = {});

// The job that CreateBackSubscans runs and PlanBackSubscans plans. It refers to `list1`, which must outlive
// it.
BatchJob BackSubscanJob(const CScanList& list1, const std::string& inputFolder,
                        const std::string& outputFolder);

}  // namespace orfeo
