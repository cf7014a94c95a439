#pragma once

#include <string>
#include <vector>

#include "run/DryRun.h"

namespace orfeo {

// A job's plan as a table, one row per entry and one per unused second-folder page: what the check before
// a job shows, in the words of orfeo-cli --dry-run.

// What is wrong with a file, in a few words: "not found", "not one bit deep"; "ok" for nothing.
const char* VerdictWords(FileVerdict verdict);

struct PlanRow {
    std::vector<std::string> cells;  // one per column of PlanColumns
    bool written = false;            // the run would write the row's output
    bool unused = false;             // a second-folder page that pairs with no first-folder page
};

// The columns: Page, Mask, Output, Problems; for a merge Page, Page 2, Back subscan, Mask, Output,
// Problems.
std::vector<std::string> PlanColumns(bool merge);

// Files are named by their file names, with what is wrong with them in brackets ("page1.tif (not found)");
// the output by `outputSubfolder` and its name, "(not written)" added when it would not be written; the
// problems are the messages the run would show for the entry.
std::vector<PlanRow> PlanRows(const JobPlan& plan, bool merge, const std::string& outputSubfolder);

}  // namespace orfeo
