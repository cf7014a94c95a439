// orfeo-cli: runs Orfeo's two jobs over folders from the command line.
//
//   orfeo-cli [-j N] [-q] back FOLDER            back subscans of FOLDER's pages into FOLDER/pics/
//   orfeo-cli [-j N] [-q] merge FOLDER FOLDER2   FOLDER2's pages merged into FOLDER2/new_scans/
//
// Exit status: 0 when every entry was written, 1 when an entry failed or the run was refused, 2 for a
// usage error, 130 or 143 when SIGINT or SIGTERM stopped the run.

#include <CLI/CLI.hpp>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <string>

#include "cli/ConsoleMessages.h"
#include "cli/OptionChecks.h"
#include "imaging/BackSubscans.h"
#include "imaging/MergeSubscans.h"
#include "imaging/PageMemory.h"
#include "imaging/StandardDescriptors.h"
#include "scan/FolderScan.h"
#include "scan/Paths.h"

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

std::atomic<bool> g_stop{false};
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
}

int ExitStatus(const orfeo::BatchResult& result) {
    if (result.stopped && g_signal != 0) return 128 + g_signal;
    return result.Succeeded() ? 0 : kExitFailed;
}

}  // namespace

int main(int argc, char** argv) {
    orfeo::OpenStandardDescriptors();
    CLI::App app{"Orfeo: back subscans and merges for scanned book pages.", "orfeo-cli"};
    app.set_version_flag("--version", std::string("orfeo-cli ") + ORFEO_VERSION);
    app.require_subcommand(1, 1);

    unsigned jobs = 0;
    bool quiet = false;
    app.add_option("-j,--jobs", jobs, "Pages processed at once (default: every core this process may use)")
        ->check(orfeo::JobCount());
    app.add_flag("-q,--quiet", quiet, "No progress line on a terminal");
    double maxMegapixels = orfeo::kDefaultMaxMegapixels;
    app.add_option("--max-megapixels", maxMegapixels,
                   "Refuse images larger than this, before decoding them (default: " +
                       std::to_string(static_cast<int>(orfeo::kDefaultMaxMegapixels)) + ")")
        ->check(orfeo::PositiveLimit());

    std::string folder, folder2;
    CLI::App* back = app.add_subcommand(
        "back", "Write a back subscan of every page of FOLDER to FOLDER/pics/ (masked pixels set to white).");
    back->fallthrough();
    back->add_option("FOLDER", folder, "Folder of pages, with their masks in cache/automask/")
        ->required()
        ->check(CLI::ExistingDirectory);

    CLI::App* merge = app.add_subcommand(
        "merge", "Merge the pages of FOLDER2 with FOLDER's back subscans into FOLDER2/new_scans/.");
    merge->fallthrough();
    merge->add_option("FOLDER", folder, "The first folder: masks in cache/automask/, back subscans in pics/")
        ->required()
        ->check(CLI::ExistingDirectory);
    merge->add_option("FOLDER2", folder2, "The second folder of pages, paired with FOLDER's by name order")
        ->required()
        ->check(CLI::ExistingDirectory);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::cerr << "orfeo-cli: " << e.what() << "\n"
                  << "Usage: orfeo-cli [-j N] [-q] [--max-megapixels N] back FOLDER\n"
                  << "       orfeo-cli [-j N] [-q] [--max-megapixels N] merge FOLDER FOLDER2\n"
                  << "Try 'orfeo-cli --help' for more.\n";
        return kExitUsage;
    }

    InstallStopHandlers();
    orfeo::KeepPageMemory();
    orfeo::ConsoleMessages console(stderr, stdout, !quiet && isatty(STDERR_FILENO));
    orfeo::JobOptions options;
    options.workers = jobs;
    options.maxMegapixels = maxMegapixels;
    options.stop = &g_stop;
    options.progress = [&console](std::size_t done, std::size_t total, const std::string& name) {
        console.Progress(done, total, name);
    };

    orfeo::CScanList list1;
    orfeo::TextHolder input, output;
    orfeo::ScanFolder(folder, list1, input, output, orfeo::kPicsSubfolder);
    if (*back) {
        return ExitStatus(orfeo::CreateBackSubscans(list1, input.GetText(), output.GetText(), console, options));
    }

    orfeo::CScanList list2;
    orfeo::TextHolder input2, output2;
    orfeo::ScanFolder(folder2, list2, input2, output2, orfeo::kNewScansSubfolder);
    return ExitStatus(orfeo::MergeSubscans(list1, list2, input.GetText(), output.GetText(), output2.GetText(),
                                           console, options));
}
