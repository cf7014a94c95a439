#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "imaging/BatchResult.h"
#include "imaging/DryRun.h"
#include "imaging/JobOptions.h"

namespace orfeo {

// The report of `orfeo-cli --report FILE`: JSON Lines, one object a line, for pipelines and schedulers.
// Every object has "report" (the schema's version, kReportVersion) and "type":
//   "entry": one page of a book: "book", "name", "page", "mask", "back" (null for a back job), "output",
//            "status" ("written", "not written"; in a dry run "would be written", "would not be written"),
//            "messages" (the page's, in order), "seconds";
//   "book":  a book's outcome: "book", "job" ("back" or "merge"), "dry_run", "entries", "written",
//            "refused", "in_use", "stopped", "messages" (every message of the book's run, in order),
//            "status" (the exit status the book alone gives);
//   "run":   the call's outcome, last: "books", "entries", "written", "status".
// The schema is docs/report.schema.json; names that are not valid UTF-8 have the bytes that are not
// replaced by U+FFFD.
class Report {
public:
    static constexpr int kReportVersion = 1;

    // Writes to `out` (not closed here).
    explicit Report(std::FILE* out) : m_out(out) {}

    void Entry(const std::string& book, const EntryReport& entry, bool dryRun);
    // The entries of a dry run's plan.
    void PlannedEntries(const std::string& book, const JobPlan& plan);
    void Book(const std::string& book, bool merge, bool dryRun, const BatchResult& result,
              const std::vector<std::string>& messages, int status);
    void Run(std::size_t books, std::size_t entries, std::size_t written, int status);

    // The system's reason when a line could not be written; 0 when every one was.
    int Error() const { return m_error; }

private:
    void Put(const std::string& line);

    std::FILE* m_out;
    int m_error = 0;
};

}  // namespace orfeo
