#include "cli/PlanOutput.h"

#include <cerrno>

#include "cli/ConsoleMessages.h"
#include "protocol/MessageSink.h"
#include "run/PlanRows.h"
#include "scan/FolderScan.h"

namespace orfeo {

namespace {

// "page1.tif", followed by what is wrong with the page when something is.
std::string PageColumn(const PlannedFile& page) {
    std::string text = GetFileNamePart(page.path);
    if (page.verdict != FileVerdict::Ok) text += std::string(" (") + VerdictWords(page.verdict) + ")";
    return text;
}

std::string EntryLine(const PlannedEntry& entry, bool merge, const std::string& outputSubfolder) {
    std::string line;
    if (merge) {
        line = entry.name + " + " + PageColumn(entry.page) + "  back subscan " +
               VerdictWords(entry.back.verdict);
    } else {
        line = PageColumn(entry.page);
    }
    line +=
        std::string("  mask ") + VerdictWords(entry.mask.verdict) + "  -> " + outputSubfolder + entry.name;
    if (entry.output.verdict != FileVerdict::Ok)
        line += std::string(" ") + VerdictWords(entry.output.verdict);
    if (!entry.written) line += " (not written)";
    return line;
}

void PutLine(const std::string& line, std::FILE* file) {
    std::fputs(EscapeControls(line).c_str(), file);
    std::fputc('\n', file);
}

}  // namespace

int PrintPlan(const JobPlan& plan, bool merge, const std::string& outputSubfolder, std::FILE* out,
              std::FILE* problems, bool quiet, const std::string& linePrefix) {
    int outError = 0;
    if (!quiet) {
        for (const PlannedEntry& entry : plan.entries)
            PutLine(linePrefix + EntryLine(entry, merge, outputSubfolder), out);
        for (const std::string& page : plan.unused)
            PutLine(linePrefix + "(no page) + " + GetFileNamePart(page) + "  unused", out);
        if (plan.filesToDelete > 0) {
            PutLine(linePrefix + "The run would first delete " + std::to_string(plan.filesToDelete) +
                        (plan.filesToDelete == 1 ? " file in " : " files in ") + Quoted(plan.outputFolder) +
                        ".",
                    out);
        }
        errno = 0;
        if (std::fflush(out) != 0 || std::ferror(out)) outError = errno;
    }
    for (const std::string& message : plan.Messages()) PutLine(message, problems);
    const std::string summary = ConsoleMessages::Summary(plan.result);
    if (!summary.empty()) PutLine(summary, problems);
    std::fflush(problems);
    return outError;
}

}  // namespace orfeo
