#pragma once

#include <cstdio>
#include <string>

#include "run/DryRun.h"

namespace orfeo {

// Shows a job's plan (--dry-run). On `out`, unless `quiet`: one line per entry with its files and what is
// wrong with them, the output and whether it would be written; the second folder's unused pages; how many
// files the reset would delete. On `problems`: the messages the real run would show there, in its order and
// in its words, with its summary line. `outputSubfolder` is the output folder's name in its job folder
// ("pics/" or "new_scans/"), for short output names; `merge` picks the merge's columns. Returns the
// system's reason when writing to `out` failed (0 otherwise), which is gone once other writes followed.
// Every line on `out` starts with `linePrefix` (the book's folder, when a call shows several).
int PrintPlan(const JobPlan& plan, bool merge, const std::string& outputSubfolder, std::FILE* out,
              std::FILE* problems, bool quiet, const std::string& linePrefix = "");

}  // namespace orfeo
