#include "cli/Report.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <nlohmann/json.hpp>

#include "scan/FolderScan.h"

namespace orfeo {

namespace {

using nlohmann::json;

// File names are bytes: what is not UTF-8 shows as U+FFFD rather than breaking the line's JSON.
std::string Dump(const json& object) { return object.dump(-1, ' ', false, json::error_handler_t::replace); }

json Header(const char* type) { return json{{"report", Report::kReportVersion}, {"type", type}}; }

bool IsUtf8(const std::string& text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const std::size_t length = byte < 0x80         ? 1
                                   : (byte >> 5) == 6  ? 2
                                   : (byte >> 4) == 14 ? 3
                                   : (byte >> 3) == 30 ? 4
                                                       : 0;
        if (length == 0 || i + length > text.size()) return false;
        std::uint32_t code = length == 1 ? byte : byte & (0x7Fu >> length);
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next >> 6) != 2) return false;
            code = (code << 6) | (next & 0x3F);
        }
        // Overlong forms, surrogates and code points past Unicode are not UTF-8 either.
        static constexpr std::uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < kSmallest[length] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return false;
        i += length;
    }
    return true;
}

std::string Base64(const std::string& bytes) {
    static constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const auto byte = [&bytes](std::size_t i) {
        return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i]));
    };
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t left = bytes.size() - i;
        const std::uint32_t group =
            byte(i) << 16 | (left > 1 ? byte(i + 1) << 8 : 0) | (left > 2 ? byte(i + 2) : 0);
        out.push_back(kDigits[(group >> 18) & 63]);
        out.push_back(kDigits[(group >> 12) & 63]);
        out.push_back(left > 1 ? kDigits[(group >> 6) & 63] : '=');
        out.push_back(left > 2 ? kDigits[group & 63] : '=');
    }
    return out;
}

// Sets a path or name field, with its bytes beside it when they are not UTF-8; an empty `text` is null
// where `nullWhenEmpty`.
void SetName(json& line, const char* field, const std::string& text, bool nullWhenEmpty = false) {
    if (nullWhenEmpty && text.empty()) {
        line[field] = nullptr;
        return;
    }
    line[field] = text;
    if (!IsUtf8(text)) line[std::string(field) + "_base64"] = Base64(text);
}

void SetBook(json& line, const Report::Book& book) {
    SetName(line, "book", book.book);
    SetName(line, "book2", book.book2, true);
}

std::string UtcTime(std::chrono::system_clock::time_point when) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

double SecondsSince(std::chrono::system_clock::time_point start) {
    const double seconds = std::chrono::duration<double>(std::chrono::system_clock::now() - start).count();
    return seconds > 0 ? seconds : 0;
}

std::string HostName() {
    char name[256] = {};
    return ::gethostname(name, sizeof name - 1) == 0 ? std::string(name) : std::string();
}

}  // namespace

Report::Report(std::FILE* out, std::string version)
    : m_out(out),
      m_version(std::move(version)),
      m_host(HostName()),
      m_start(std::chrono::system_clock::now()) {}

void Report::Put(const std::string& line) {
    errno = 0;
    if (std::fputs(line.c_str(), m_out) < 0 || std::fputc('\n', m_out) == EOF || std::fflush(m_out) != 0) {
        if (m_error == 0) m_error = errno ? errno : EIO;
    }
}

void Report::Entry(const Book& book, const EntryReport& entry, const char* status) {
    json line = Header("entry");
    SetBook(line, book);
    SetName(line, "name", GetFileNamePart(entry.output));
    SetName(line, "page", entry.page);
    SetName(line, "mask", entry.mask);
    SetName(line, "back", entry.back, true);
    SetName(line, "output", entry.output);
    line["status"] = status;
    line["messages"] = entry.messages;
    line["seconds"] = entry.seconds;
    Put(Dump(line));
}

void Report::PlannedEntries(const Book& book, const JobPlan& plan) {
    for (std::size_t i = 0; i < plan.entries.size(); ++i) {
        const PlannedEntry& planned = plan.entries[i];
        EntryReport entry;
        entry.index = i;
        entry.page = planned.page.path;
        entry.mask = planned.mask.path;
        entry.back = planned.back.path;
        entry.output = planned.output.path;
        entry.messages = planned.messages;
        Entry(book, entry, planned.written ? "would be written" : "would not be written");
    }
    for (const std::string& page : plan.unused) Unused(book, page);
}

void Report::Unused(const Book& book, const std::string& page) {
    json line = Header("unused");
    SetBook(line, book);
    SetName(line, "page", page);
    Put(Dump(line));
}

void Report::BookEnded(const Book& book, bool dryRun, bool started, const BatchResult& result,
                       const std::vector<std::string>& messages, int status,
                       std::chrono::system_clock::time_point start) {
    json line = Header("book");
    SetBook(line, book);
    line["job"] = book.book2.empty() ? "back" : "merge";
    line["dry_run"] = dryRun;
    line["started"] = started;
    line["entries"] = result.entries;
    line["written"] = result.written;
    line["refused"] = result.refused;
    line["in_use"] = result.inUse;
    line["stopped"] = result.stopped;
    line["messages"] = messages;
    line["status"] = status;
    line["version"] = m_version;
    line["host"] = m_host;
    line["start"] = UtcTime(start);
    line["seconds"] = started ? SecondsSince(start) : 0.0;
    Put(Dump(line));
}

void Report::Run(std::size_t books, std::size_t entries, std::size_t written, int status,
                 const std::string& error) {
    json line = Header("run");
    line["books"] = books;
    line["entries"] = entries;
    line["written"] = written;
    line["status"] = status;
    line["error"] = error.empty() ? json(nullptr) : json(error);
    line["version"] = m_version;
    line["host"] = m_host;
    line["start"] = UtcTime(m_start);
    line["seconds"] = SecondsSince(m_start);
    Put(Dump(line));
}

}  // namespace orfeo
