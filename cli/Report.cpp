#include "cli/Report.h"

#include <cerrno>
#include <nlohmann/json.hpp>

#include "scan/FolderScan.h"

namespace orfeo {

namespace {

using nlohmann::json;

// File names are bytes: what is not UTF-8 shows as U+FFFD rather than breaking the line's JSON.
std::string Dump(const json& object) { return object.dump(-1, ' ', false, json::error_handler_t::replace); }

json Header(const char* type) { return json{{"report", Report::kReportVersion}, {"type", type}}; }

}  // namespace

void Report::Put(const std::string& line) {
    errno = 0;
    if (std::fputs(line.c_str(), m_out) < 0 || std::fputc('\n', m_out) == EOF || std::fflush(m_out) != 0) {
        if (m_error == 0) m_error = errno ? errno : EIO;
    }
}

void Report::Entry(const std::string& book, const EntryReport& entry, bool dryRun) {
    json line = Header("entry");
    line["book"] = book;
    line["name"] = GetFileNamePart(entry.output);
    line["page"] = entry.page;
    line["mask"] = entry.mask;
    line["back"] = entry.back.empty() ? json(nullptr) : json(entry.back);
    line["output"] = entry.output;
    line["status"] = dryRun ? (entry.written ? "would be written" : "would not be written")
                            : (entry.written ? "written" : "not written");
    line["messages"] = entry.messages;
    line["seconds"] = entry.seconds;
    Put(Dump(line));
}

void Report::PlannedEntries(const std::string& book, const JobPlan& plan) {
    for (std::size_t i = 0; i < plan.entries.size(); ++i) {
        const PlannedEntry& planned = plan.entries[i];
        EntryReport entry;
        entry.index = i;
        entry.page = planned.page.path;
        entry.mask = planned.mask.path;
        entry.back = planned.back.path;
        entry.output = planned.output.path;
        entry.written = planned.written;
        entry.messages = planned.messages;
        Entry(book, entry, true);
    }
}

void Report::Book(const std::string& book, bool merge, bool dryRun, const BatchResult& result,
                  const std::vector<std::string>& messages, int status) {
    json line = Header("book");
    line["book"] = book;
    line["job"] = merge ? "merge" : "back";
    line["dry_run"] = dryRun;
    line["entries"] = result.entries;
    line["written"] = result.written;
    line["refused"] = result.refused;
    line["in_use"] = result.inUse;
    line["stopped"] = result.stopped;
    line["messages"] = messages;
    line["status"] = status;
    Put(Dump(line));
}

void Report::Run(std::size_t books, std::size_t entries, std::size_t written, int status) {
    json line = Header("run");
    line["books"] = books;
    line["entries"] = entries;
    line["written"] = written;
    line["status"] = status;
    Put(Dump(line));
}

}  // namespace orfeo
