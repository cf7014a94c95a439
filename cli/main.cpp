// orfeo-cli: runs Orfeo's two jobs over folders from the command line.
//
//   orfeo-cli [OPTION]... back FOLDER...                back subscans of each FOLDER's pages into
//                                                       FOLDER/pics/, one book after the other
//   orfeo-cli [OPTION]... merge FOLDER FOLDER2 [...]    FOLDER2's pages merged into FOLDER2/new_scans/,
//                                                       for each pair
//   orfeo-cli --dry-run JOB ...                  what the job would do and say, changing nothing
//
// Exit status: 0 when every entry was written, 1 when an entry failed or the run was refused (do not
// retry), 75 (EX_TEMPFAIL) when another run holds the folders (retry later), 2 for a usage error or a
// folder that is not there, 129, 130 or 143 when SIGHUP, SIGINT or SIGTERM stopped the run. A dry run gives
// the status the run would.

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "cli/ConsoleMessages.h"
#include "cli/OptionChecks.h"
#include "cli/PlanOutput.h"
#include "cli/Report.h"
#include "process/PageMemory.h"
#include "process/StandardDescriptors.h"
#include "protocol/Messages.h"
#include "run/BackSubscans.h"
#include "run/DryRun.h"
#include "run/MergeSubscans.h"
#include "run/PageWorkers.h"
#include "scan/FolderScan.h"
#include "scan/Paths.h"

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitTryLater = 75;  // BSD's EX_TEMPFAIL, which schedulers take as "retry later"

constexpr const char* kUsage =
    "Usage: orfeo-cli [OPTION]... back FOLDER...\n"
    "       orfeo-cli [OPTION]... merge FOLDER FOLDER2 [FOLDER FOLDER2]...\n"
    "       orfeo-cli --dry-run [OPTION]... back|merge FOLDER...\n";

constexpr const char* kHelpFooter =
    "Exit status (of a dry run: of the run it shows):\n"
    "  0         every page was written\n"
    "  1         a page was not written, or the run was refused (do not retry)\n"
    "  2         usage error, or a folder that is not there\n"
    "  75        another run holds the folders (retry later)\n"
    "  129, 130, 143  stopped by SIGHUP, SIGINT, SIGTERM\n"
    "Of several books: a stop's status, else 75 if one was in use, else 1 if one\n"
    "failed.\n"
    "\n"
    "Example: back subscans of the pages in book/, then the rescans in book2/\n"
    "merged into them, after a look at how the pages pair:\n"
    "  orfeo-cli back book && orfeo-cli --dry-run merge book book2\n"
    "  orfeo-cli merge book book2\n"
    "\n"
    "Full documentation: man orfeo-cli";

std::atomic<bool> g_stop{false};
// The reason a write to standard output failed, when it was noticed before the end.
int g_outputError = 0;
volatile std::sig_atomic_t g_signal = 0;

// A stop request, as the window's Stop button makes one: the entries in flight finish, no new one starts.
// A second one ends the program at once, whatever it is waiting for; outputs are renamed into place only
// when complete, so what is there stays whole.
extern "C" void OnStopSignal(int signal) {
    if (g_stop.load()) _exit(128 + signal);
    g_signal = signal;
    g_stop.store(true);
}

void InstallStopHandlers() {
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A closed terminal or ssh session: stop as for SIGTERM, so that no page is left half written.
    sigaction(SIGHUP, &action, nullptr);
}

int ExitStatus(const orfeo::BatchResult& result) {
    if (result.stopped && g_signal != 0) return 128 + g_signal;
    if (result.refused && result.inUse) return kExitTryLater;
    return result.Succeeded() ? 0 : kExitFailed;
}

// What the command line asked for.
struct Request {
    unsigned jobs = 0;
    bool quiet = false;
    bool dryRun = false;
    bool verbose = false;
    std::string report;  // --report FILE; "-" for standard output
    std::string from;    // --from FILE: more folders, one a line ("-": standard input)
    bool nul = false;    // -0: the list's folders end with NUL, not with a new line
    double maxMegapixels = orfeo::kDefaultMaxMegapixels;
    std::vector<std::string> folders;  // as given; a merge's in pairs
    CLI::App* back = nullptr;
    CLI::App* merge = nullptr;
};

// `text` broken into lines of at most `width` characters at spaces, for help that fits in 80 columns.
std::string Wrap(const std::string& text, std::size_t width = 52) {
    std::string out, line;
    std::istringstream words(text);
    for (std::string word; words >> word;) {
        if (!line.empty() && line.size() + 1 + word.size() > width) {
            out += line + "\n";
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
    }
    return out + line;
}

// Help that names each job with its folders, as the usage lines do.
class HelpFormatter final : public CLI::Formatter {
public:
    std::string make_usage(const CLI::App* app, std::string name) const override {
        if (app->get_parent()) return CLI::Formatter::make_usage(app, name);
        return kUsage;
    }
    std::string make_subcommand(const CLI::App* job) const override {
        std::stringstream out;
        const std::string named =
            job->get_name() + (job->get_name() == "merge" ? " FOLDER FOLDER2..." : " FOLDER...");
        CLI::detail::format_help(out, named, job->get_description(), get_column_width());
        return out.str();
    }
};

// The options, in the order --help lists them.
void DefineOptions(CLI::App& app, Request& request) {
    app.add_option(
           "-j,--jobs", request.jobs,
           Wrap("Pages processed at once (default: every core this process may use: its CPU affinity and "
                "its control group's CPU limit)"))
        ->type_name("N")
        ->check(orfeo::JobCount().description(""));
    app.add_flag("-q,--quiet", request.quiet,
                 Wrap("Print nothing but problems: no progress line, no closing message"));
    app.add_flag(
        "-n,--dry-run", request.dryRun,
        Wrap("Change nothing: read the images' headers and show, entry by entry, what the job would read and "
             "write, then what it would say"));
    app.add_flag("-v,--verbose", request.verbose,
                 Wrap("Print one line for each page as it is written: 'page' -> 'output'"));
    app.add_option("--report", request.report,
                   Wrap("Write a report to FILE ('-': standard output, which then carries nothing else): "
                        "JSON Lines, one object for each page, book and run; see man orfeo-cli"))
        ->type_name("FILE");
    app.add_option("--from", request.from,
                   Wrap("Read more folders from FILE ('-': standard input), one a line, after those "
                        "given; a merge's in pairs"))
        ->type_name("FILE");
    app.add_flag("-0,--null", request.nul, Wrap("The folders in --from's FILE end with NUL, not a new line"));
    app.add_option("--max-megapixels", request.maxMegapixels,
                   Wrap("Refuse images larger than this, before decoding them (default: " +
                        std::to_string(static_cast<int>(orfeo::kDefaultMaxMegapixels)) + ")"))
        ->type_name("N")
        ->check(orfeo::PositiveLimit().description(""));
}

// The two jobs, each with its folders.
void DefineJobs(CLI::App& app, Request& request) {
    request.back = app.add_subcommand("back", Wrap("Write a back subscan of every page of FOLDER to "
                                                   "FOLDER/pics/ (every bit of the masked pixels set)."));
    request.back->group("Jobs");
    request.back->fallthrough();
    request.back->add_option(
        "FOLDER", request.folders,
        Wrap("Folders of pages, with their masks in cache/automask/: one book each, in turn"));

    request.merge = app.add_subcommand(
        "merge", Wrap("Merge the pages of FOLDER2 with FOLDER's back subscans into FOLDER2/new_scans/."));
    request.merge->group("Jobs");
    request.merge->fallthrough();
    request.merge->add_option(
        "FOLDER", request.folders,
        Wrap("Pairs of folders, one book each, in turn: the first with masks in cache/automask/ and back "
             "subscans in pics/, then the second folder of pages, paired with the first's by name order"));
}

void DefineCommandLine(CLI::App& app, Request& request) {
    app.formatter(std::make_shared<HelpFormatter>());
    app.get_formatter()->column_width(24);
    app.footer(kHelpFooter);
    app.set_version_flag("-V,--version", std::string("orfeo-cli ") + ORFEO_VERSION);
    app.require_subcommand(1, 1);
    DefineOptions(app, request);
    DefineJobs(app, request);
}

// What went wrong with the command line, in the words of its user: a job name that is not one says so.
std::string DescribeUsageError(const CLI::App& app, const CLI::ParseError& error) {
    if (app.get_subcommands().empty()) {
        for (const std::string& word : app.remaining()) {
            if (!word.empty() && word[0] != '-')
                return "unknown job '" + word + "' (the jobs are back and merge)";
        }
        return "no job given (the jobs are back and merge)";
    }
    return error.what();
}

// The report's file, open for the run; standard output for "-". Closed (and checked) by Close().
class ReportFile {
public:
    explicit ReportFile(const std::string& name) : m_name(name) {
        if (name.empty()) return;
        m_file = name == "-" ? stdout : std::fopen(name.c_str(), "w");
        if (!m_file) m_openError = errno;
        if (m_file) report.emplace(m_file, ORFEO_VERSION);
    }
    bool Failed() const { return !m_name.empty() && !m_file; }
    std::string Why() const { return "'" + m_name + "': " + std::strerror(m_openError); }
    // False, with a message, when the report did not arrive whole.
    bool Close() {
        if (!m_file) return true;
        int error = report->Error();
        if (m_file != stdout && std::fclose(m_file) != 0 && error == 0) error = errno;
        m_file = nullptr;
        if (error == 0) return true;
        std::fprintf(stderr, "orfeo-cli: write error on the report '%s': %s\n", m_name.c_str(),
                     std::strerror(error));
        return false;
    }
    std::optional<orfeo::Report> report;

private:
    std::string m_name;
    std::FILE* m_file = nullptr;
    int m_openError = 0;
};

// A call refused before any book still writes its report (the run's line, with why), so that an earlier
// report at that name never stands for it.
void ReportRefusal(const std::string& name, const std::string& why, int status) {
    if (name.empty()) return;
    ReportFile report(name);
    if (report.report) report.report->Run(0, 0, 0, status, why);
    report.Close();
}

int UsageError(const std::string& what) {
    std::cerr << "orfeo-cli: " << what << "\n" << kUsage << "Try 'orfeo-cli --help' for more.\n";
    return kExitUsage;
}

// One book of a call: its folder, and a merge's second folder.
struct Book {
    std::string folder, folder2;
};

// The books of a request: the folders given, then those of --from's list; a merge's in pairs. Empty, with
// the reason in `problem`, when they are not books (none, an odd count for a merge, a list that cannot be
// read).
std::vector<Book> Books(const Request& request, std::string& problem, bool& usage) {
    usage = true;
    std::vector<std::string> folders = request.folders;
    if (!request.from.empty()) {
        std::ifstream file;
        std::istream* in = &std::cin;
        if (request.from != "-") {
            file.open(request.from, std::ios::binary);
            if (!file) {
                problem = "'" + request.from + "': " + std::strerror(errno);
                usage = false;
                return {};
            }
            in = &file;
        }
        for (std::string folder; std::getline(*in, folder, request.nul ? '\0' : '\n');) {
            if (!folder.empty()) folders.push_back(folder);
        }
    }
    const bool merge = request.merge->parsed();
    if (folders.empty()) {
        problem = merge ? "merge needs FOLDER FOLDER2" : "back needs a FOLDER";
        return {};
    }
    if (merge && folders.size() % 2 != 0) {
        problem = "merge takes its folders in pairs, FOLDER FOLDER2; '" + folders.back() + "' has none";
        return {};
    }
    std::vector<Book> books;
    for (std::size_t i = 0; i < folders.size(); i += merge ? 2 : 1)
        books.push_back({folders[i], merge ? folders[i + 1] : std::string()});
    return books;
}

// Why a folder of the books cannot be a job's folder ("'book': No such file or directory"); empty when
// every one is a folder.
std::string MissingFolder(const std::vector<Book>& books) {
    for (const Book& book : books) {
        std::vector<std::string> folders{book.folder};
        if (!book.folder2.empty()) folders.push_back(book.folder2);
        for (const std::string& folder : folders) {
            std::error_code error;
            const auto status = std::filesystem::status(folder, error);
            if (error) return "'" + folder + "': " + error.message();
            if (!std::filesystem::is_directory(status)) return "'" + folder + "': Not a directory";
        }
    }
    return {};
}

// Standard output may be a full disk, a closed pipe or /dev/full: what was written to it must have
// arrived, or the run says so and does not end with status 0.
bool CloseStandardOutput() {
    errno = 0;
    std::cout
        .flush();  // std::cout writes through stdout's buffer: this flushes it, and sets errno if it fails
    std::fflush(stdout);
    if (!std::ferror(stdout)) return true;
    const int error = errno ? errno : g_outputError;  // 0 when the failure came from an earlier flush
    std::fprintf(stderr, "orfeo-cli: write error on standard output%s%s\n", error ? ": " : "",
                 error ? std::strerror(error) : "");
    return false;
}

// The folders of a request, scanned as the desktop tool scans them.
struct Folders {
    explicit Folders(const Book& book) {
        orfeo::ScanFolder(book.folder, list1, input, output, orfeo::kPicsSubfolder);
        if (!book.folder2.empty())
            orfeo::ScanFolder(book.folder2, list2, input2, output2, orfeo::kNewScansSubfolder);
    }
    orfeo::CScanList list1, list2;
    orfeo::TextHolder input, output, input2, output2;
};

// Shows every message on `sink` and keeps its text, for the report.
class KeepingSink final : public orfeo::IMessageSink {
public:
    explicit KeepingSink(orfeo::IMessageSink& sink) : m_sink(sink) {}
    void ShowMessage(orfeo::MessageKind kind, const std::string& text) override {
        texts.push_back(text);
        m_sink.ShowMessage(kind, text);
    }
    std::vector<std::string> texts;

private:
    orfeo::IMessageSink& m_sink;
};

// The status of a call from its books': a signal's, then "retry later" when a book was in use (the rest
// are whole or said why not, and a rerun rewrites them the same), then failure.
int CallStatus(const std::vector<int>& statuses) {
    int call = 0;
    for (const int status : statuses) {
        if (status > 128) return status;
        if (status == kExitTryLater || call == kExitTryLater) {
            call = kExitTryLater;
        } else if (status != 0) {
            call = status;
        }
    }
    return call;
}

// The report's names of a book's folders, as the run lists them.
orfeo::Report::Book ReportBook(const Folders& folders, bool merge) {
    return {folders.input.GetText(), merge ? folders.input2.GetText() : std::string()};
}

int RunDryRun(const Request& request, const std::vector<Book>& books, ReportFile& report) {
    const bool merge = request.merge->parsed();
    std::vector<int> statuses;
    std::size_t entries = 0, written = 0;
    for (const Book& book : books) {
        // A book's time in the report is its plan's and its lines'.
        const auto start = std::chrono::system_clock::now();
        const Folders folders(book);
        const orfeo::JobPlan plan =
            merge ? orfeo::PlanMergeSubscans(folders.list1, folders.list2, folders.input.GetText(),
                                             folders.output.GetText(), folders.output2.GetText(),
                                             request.maxMegapixels)
                  : orfeo::PlanBackSubscans(folders.list1, folders.input.GetText(), folders.output.GetText(),
                                            request.maxMegapixels);
        // Over several books, each line says whose it is.
        const int error =
            orfeo::PrintPlan(plan, merge, merge ? orfeo::kNewScansSubfolder : orfeo::kPicsSubfolder, stdout,
                             stderr, request.quiet || request.report == "-",
                             books.size() > 1 ? folders.input.GetText() + ": " : std::string());
        if (error != 0) g_outputError = error;
        statuses.push_back(ExitStatus(plan.result));
        entries += plan.entries.size();
        written += plan.result.written;
        if (report.report) {
            report.report->PlannedEntries(ReportBook(folders, merge), plan);
            std::vector<std::string> messages = plan.Messages();
            if (!plan.result.refused) messages.push_back(orfeo::ProcessingEndedMessage());
            report.report->BookEnded(ReportBook(folders, merge), true, true, plan.result, messages,
                                     statuses.back(), start);
        }
    }
    const int status = CallStatus(statuses);
    if (report.report) report.report->Run(books.size(), entries, written, status, "");
    return report.Close() ? status : (status == 0 ? kExitFailed : status);
}

// The job a book's run takes, for the files of its entries.
orfeo::BatchJob JobOf(const Folders& folders, bool merge) {
    return merge ? orfeo::MergeSubscanJob(folders.list1, folders.list2, folders.input.GetText(),
                                          folders.output.GetText(), folders.output2.GetText())
                 : orfeo::BackSubscanJob(folders.list1, folders.input.GetText(), folders.output.GetText());
}

// What the report says of a book after its run (or, with `started` false, of one a stop kept from
// starting): a line for each entry that did not end ("not started"), its unused pages, and the book.
void ReportBook(orfeo::Report& report, const Folders& folders, bool merge, bool started,
                const orfeo::BatchResult& result, const std::vector<bool>& ended,
                const std::vector<std::string>& messages, int status,
                std::chrono::system_clock::time_point start) {
    const orfeo::Report::Book book = ReportBook(folders, merge);
    const orfeo::BatchJob job = JobOf(folders, merge);
    const bool refused = !job.refusal.empty() || result.refused;
    for (std::size_t i = 0; !refused && (result.stopped || !started) && i < job.entries; ++i) {
        if (i < ended.size() && ended[i]) continue;
        const orfeo::EntryFiles files = job.files(i);
        orfeo::EntryReport entry{.index = i,
                                 .page = files.page,
                                 .mask = files.mask,
                                 .back = files.back,
                                 .output = files.output,
                                 .written = false,
                                 .messages = {},
                                 .seconds = 0};
        report.Entry(book, entry, "not started");
    }
    if (merge && job.refusal.empty()) {
        for (const std::string& page : orfeo::UnusedPages(folders.list1, folders.list2))
            report.Unused(book, page);
    }
    orfeo::BatchResult outcome = result;
    if (!started) {
        outcome.entries = refused ? 0 : job.entries;
        outcome.stopped = true;
    }
    report.BookEnded(book, false, started, outcome, messages, status, start);
}

// How the console shows a run's messages and progress.
orfeo::ConsoleMessages::Settings ConsoleSettings(const Request& request) {
    orfeo::ConsoleMessages::Settings settings;
    settings.showProgress = !request.quiet && isatty(STDERR_FILENO);
    const char* terminal = std::getenv("TERM");
    settings.plain = !terminal || std::strcmp(terminal, "dumb") == 0;
    settings.showEnded = !request.quiet && request.report != "-";
    return settings;
}

// Runs one book: a run of its own, with its lock, its reset, its messages and summary, its progress. Its
// status goes to `statuses`, and what it did to the report.
orfeo::BatchResult RunBook(const Request& request, const orfeo::ConsoleMessages::Settings& settings,
                           const Folders& folders, orfeo::PageWorkers& pool, ReportFile& report,
                           std::vector<int>& statuses, std::chrono::system_clock::time_point start) {
    const bool merge = request.merge->parsed();
    const bool lines = request.verbose && request.report != "-";
    orfeo::ConsoleMessages console(stderr, stdout, settings);
    orfeo::JobOptions options;
    options.workers = request.jobs;
    options.maxMegapixels = request.maxMegapixels;
    options.stop = &g_stop;
    options.workerPool = &pool;
    options.progress = [&console](std::size_t done, std::size_t total, const std::string& name) {
        console.Progress(done, total, name);
    };
    const orfeo::Report::Book names = ReportBook(folders, merge);
    std::vector<bool> ended;
    if (lines || report.report) {
        options.entryEnded = [&](const orfeo::EntryReport& entry) {
            if (lines && entry.written) console.Line("'" + entry.page + "' -> '" + entry.output + "'");
            if (!report.report) return;
            if (ended.size() <= entry.index) ended.resize(entry.index + 1);
            ended[entry.index] = true;
            report.report->Entry(names, entry, entry.written ? "written" : "not written");
        };
    }
    KeepingSink messages(console);
    const orfeo::BatchResult result =
        merge ? orfeo::MergeSubscans(folders.list1, folders.list2, folders.input.GetText(),
                                     folders.output.GetText(), folders.output2.GetText(), messages, options)
              : orfeo::CreateBackSubscans(folders.list1, folders.input.GetText(), folders.output.GetText(),
                                          messages, options);
    console.EndRun(result);
    statuses.push_back(ExitStatus(result));
    if (report.report)
        ReportBook(*report.report, folders, merge, true, result, ended, messages.texts, statuses.back(),
                   start);
    return result;
}

int RunJob(const Request& request, const std::vector<Book>& books, ReportFile& report) {
    InstallStopHandlers();
    orfeo::KeepPageMemory();
    const orfeo::ConsoleMessages::Settings settings = ConsoleSettings(request);
    const bool merge = request.merge->parsed();
    std::vector<int> statuses;
    std::size_t entries = 0, written = 0;
    // One pool of page workers for every book of the call.
    orfeo::JobOptions shared;
    shared.workers = request.jobs;
    shared.maxMegapixels = request.maxMegapixels;
    orfeo::PageWorkers pool(orfeo::WorkerSettingsFor(shared));
    for (const Book& book : books) {
        const auto start = std::chrono::system_clock::now();
        // A stop ends the call: no book starts after it (the report still accounts for each, and only
        // it needs the book's folders listed).
        if (g_stop.load()) {
            if (!report.report) break;
            ReportBook(*report.report, Folders(book), merge, false, {}, {}, {}, CallStatus(statuses), start);
            continue;
        }
        const Folders folders(book);
        const orfeo::BatchResult result = RunBook(request, settings, folders, pool, report, statuses, start);
        entries += result.entries;
        written += result.written;
    }
    const int status = CallStatus(statuses);
    if (report.report) report.report->Run(books.size(), entries, written, status, "");
    return report.Close() ? status : (status == 0 ? kExitFailed : status);
}

}  // namespace

int main(int argc, char** argv) {
    // Before any file is opened: a closed standard descriptor would be taken by an output file, and
    // messages would land in it.
    orfeo::OpenStandardDescriptors();
    // A message that cannot be written (standard error into `| head -1`, a closed pipe) is a failed write,
    // not the end of the run: the pages go on and the status tells.
    std::signal(SIGPIPE, SIG_IGN);
    CLI::App app{"Orfeo: back subscans and merges for scanned book pages.", "orfeo-cli"};
    Request request;
    DefineCommandLine(app, request);

    int status = 0;
    try {
        app.parse(argc, argv);
        std::string problem;
        bool usage = true;
        const std::vector<Book> books = Books(request, problem, usage);
        if (books.empty() && usage) {
            ReportRefusal(request.report, problem, kExitUsage);
            return UsageError(problem);
        }
        // A folder (or list) that is not there is the caller's slip, as for any tool: one line, no usage
        // text.
        if (const std::string missing = books.empty() ? problem : MissingFolder(books); !missing.empty()) {
            ReportRefusal(request.report, missing, kExitUsage);
            std::cerr << "orfeo-cli: " << missing << "\n";
            return kExitUsage;
        }
        ReportFile report(request.report);
        if (report.Failed()) {
            std::fprintf(stderr, "orfeo-cli: %s\n", report.Why().c_str());
            return kExitFailed;
        }
        status = request.dryRun ? RunDryRun(request, books, report) : RunJob(request, books, report);
    } catch (const CLI::CallForHelp& e) {
        status = app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        status = app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        status = app.exit(e);
    } catch (const CLI::ParseError& e) {
        const std::string why = DescribeUsageError(app, e);
        ReportRefusal(request.report, why, kExitUsage);
        return UsageError(why);
    }
    if (!CloseStandardOutput() && status == 0) status = kExitFailed;
    return status;
}
