#pragma once

#include <string>
#include <vector>

#include "protocol/MessageSink.h"
#include "run/BatchResult.h"
#include "run/BatchRun.h"
#include "run/JobOptions.h"
#include "scan/CScanList.h"

namespace orfeo {

// The "Merge subscans" job. Pairs the entries of `list1` and `list2` by position; for entry i of list 1
// (name N) it loads the new page (entry i of list 2), the back subscan `outputFolder` + N and the mask
// `inputFolder` + "cache/automask/" + N, in that order, merges them and writes `outputFolder2` + N.
//
// Refused, touching nothing: `list1` empty ("No scans are yet loaded."), `list2` empty ("No scans 2 are yet
// loaded."), or `list2` shorter than `list1` (its extra entries beyond list 1's count are simply unused).
// Otherwise as CreateBackSubscans: the output folder is emptied and recreated, failing entries are skipped
// with a message naming the file, and the run ends with "Processing ended.".
BatchResult MergeSubscans(const CScanList& list1, const CScanList& list2, const std::string& inputFolder,
                          const std::string& outputFolder, const std::string& outputFolder2,
                          IMessageSink& messages, const JobOptions& options = {});

// The job that MergeSubscans runs and PlanMergeSubscans plans. It refers to `list1` and `list2`, which must
// outlive it.
// The pages of `list2` past the count of `list1`'s, which no page pairs with: no merge uses them.
std::vector<std::string> UnusedPages(const CScanList& list1, const CScanList& list2);

BatchJob MergeSubscanJob(const CScanList& list1, const CScanList& list2, const std::string& inputFolder,
                         const std::string& outputFolder, const std::string& outputFolder2);

}  // namespace orfeo
