#include "run/PlanRows.h"

#include "scan/FolderScan.h"

namespace orfeo {

const char* VerdictWords(FileVerdict verdict) {
    switch (verdict) {
        case FileVerdict::Ok:
            return "ok";
        case FileVerdict::NotFound:
            return "not found";
        case FileVerdict::NotRegular:
            return "not a regular file";
        case FileVerdict::CannotRead:
            return "cannot be read";
        case FileVerdict::TooLarge:
            return "too large";
        case FileVerdict::UnsupportedPixels:
            return "has a pixel type that cannot be processed";
        case FileVerdict::MaskNotOneBit:
            return "not one bit deep";
        case FileVerdict::MaskTooSmall:
            return "smaller than its page";
        case FileVerdict::BackMismatch:
            return "differs from the page in size or depth";
        case FileVerdict::CannotHold:
            return "cannot hold the page in its format";
    }
    return "?";
}

namespace {

std::string FileCell(const PlannedFile& file) {
    std::string text = GetFileNamePart(file.path);
    if (file.verdict != FileVerdict::Ok) text += std::string(" (") + VerdictWords(file.verdict) + ")";
    return text;
}

std::string Joined(const std::vector<std::string>& messages) {
    std::string text;
    for (const std::string& message : messages) text += (text.empty() ? "" : " ") + message;
    return text;
}

}  // namespace

std::vector<std::string> PlanColumns(bool merge) {
    if (merge) return {"Page", "Page 2", "Back subscan", "Mask", "Output", "Problems"};
    return {"Page", "Mask", "Output", "Problems"};
}

std::vector<PlanRow> PlanRows(const JobPlan& plan, bool merge, const std::string& outputSubfolder) {
    std::vector<PlanRow> rows;
    rows.reserve(plan.entries.size() + plan.unused.size());
    for (const PlannedEntry& entry : plan.entries) {
        PlanRow row;
        row.written = entry.written;
        std::string output = outputSubfolder + entry.name;
        if (entry.output.verdict != FileVerdict::Ok)
            output += std::string(" (") + VerdictWords(entry.output.verdict) + ")";
        if (!entry.written) output += " (not written)";
        if (merge) {
            row.cells = {entry.name, FileCell(entry.page), FileCell(entry.back)};
        } else {
            row.cells = {FileCell(entry.page)};
        }
        row.cells.insert(row.cells.end(), {FileCell(entry.mask), output, Joined(entry.messages)});
        rows.push_back(std::move(row));
    }
    for (const std::string& page : plan.unused) {
        PlanRow row;
        row.unused = true;
        row.cells = {"(no page)", GetFileNamePart(page) + " (unused)", "", "", "", ""};
        rows.push_back(std::move(row));
    }
    return rows;
}

}  // namespace orfeo
