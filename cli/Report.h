#pragma once

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "run/BatchResult.h"
#include "run/DryRun.h"
#include "run/JobOptions.h"

namespace orfeo {

// The report of `orfeo-cli --report FILE`: JSON Lines, one object a line, for pipelines and schedulers.
// Every object has "report" (the schema's version, kReportVersion) and "type":
//   "entry":  one page of a book: "book", "book2" (a merge's second folder; null for a back job), "name"
//             (the page name the output takes), "page", "mask", "back" (null for a back job), "output",
//             "status" ("written", "not written", "not started" after a stop; in a dry run "would be
//             written", "would not be written"), "messages" (the page's, in order), "seconds";
//   "unused": a page of a merge's second folder past the first folder's pages: "book", "book2", "page";
//   "book":   a book's outcome: "book", "book2", "job" ("back" or "merge"), "dry_run", "started" (false
//             for a book that a stop kept from starting), "entries", "written", "refused", "in_use",
//             "stopped", "messages" (every message of the book's run, in order), "status" (the exit status
//             the book alone gives), and "version", "host", "start" (UTC, ISO 8601), "seconds";
//   "run":    the call's outcome, last: "books", "entries", "written", "status", "error" (why a call was
//             refused before any book, else null), and "version", "host", "start", "seconds".
// Every path and name field that is not valid UTF-8 shows its bytes that are not as U+FFFD, and comes with
// a field of the same name and "_base64" holding its bytes, so that the file can be found again. The
// schema is docs/report.schema.json.
class Report {
public:
    static constexpr int kReportVersion = 2;

    // The folders of a book: `book2` empty for a back job.
    struct Book {
        std::string book, book2;
    };

    // Writes to `out` (not closed here); `version` is orfeo-cli's.
    Report(std::FILE* out, std::string version);

    void Entry(const Book& book, const EntryReport& entry, const char* status);
    // The entries of a dry run's plan, and its unused pages.
    void PlannedEntries(const Book& book, const JobPlan& plan);
    void Unused(const Book& book, const std::string& page);
    // A book's line; `start` is when its run began (the time of the line for one not started).
    void BookEnded(const Book& book, bool dryRun, bool started, const BatchResult& result,
                   const std::vector<std::string>& messages, int status,
                   std::chrono::system_clock::time_point start);
    void Run(std::size_t books, std::size_t entries, std::size_t written, int status,
             const std::string& error);

    // The system's reason when a line could not be written; 0 when every one was.
    int Error() const { return m_error; }

private:
    void Put(const std::string& line);

    std::FILE* m_out;
    std::string m_version, m_host;
    std::chrono::system_clock::time_point m_start;
    int m_error = 0;
};

}  // namespace orfeo
