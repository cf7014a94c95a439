// orfeo-cli: runs Orfeo's two jobs over folders from the command line.
//
//   orfeo-cli back FOLDER            back subscans of FOLDER's pages into FOLDER/pics/
//   orfeo-cli merge FOLDER FOLDER2   FOLDER2's pages merged into FOLDER2/new_scans/
//
// Exit status: 0 when every entry was written, 1 when an entry failed or the run was refused, 2 for a
// usage error.

#include <CLI/CLI.hpp>

#include <cstdio>
#include <iostream>
#include <string>

#include "cli/ConsoleMessages.h"
#include "imaging/BackSubscans.h"
#include "imaging/MergeSubscans.h"
#include "scan/FolderScan.h"
#include "scan/Paths.h"

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

int ExitStatus(const orfeo::BatchResult& result) { return result.Succeeded() ? 0 : kExitFailed; }

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Orfeo: back subscans and merges for scanned book pages.", "orfeo-cli"};
    app.set_version_flag("--version", std::string("orfeo-cli ") + ORFEO_VERSION);
    app.require_subcommand(1, 1);

    std::string folder, folder2;
    CLI::App* back = app.add_subcommand(
        "back", "Write a back subscan of every page of FOLDER to FOLDER/pics/ (masked pixels set to white).");
    back->add_option("FOLDER", folder, "Folder of pages, with their masks in cache/automask/")
        ->required()
        ->check(CLI::ExistingDirectory);

    CLI::App* merge = app.add_subcommand(
        "merge", "Merge the pages of FOLDER2 with FOLDER's back subscans into FOLDER2/new_scans/.");
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
                  << "Usage: orfeo-cli back FOLDER\n"
                  << "       orfeo-cli merge FOLDER FOLDER2\n"
                  << "Try 'orfeo-cli --help' for more.\n";
        return kExitUsage;
    }

    orfeo::ConsoleMessages messages(stderr, stdout);
    orfeo::CScanList list1;
    orfeo::TextHolder input, output;
    orfeo::ScanFolder(folder, list1, input, output, orfeo::kPicsSubfolder);
    if (*back) {
        return ExitStatus(orfeo::CreateBackSubscans(list1, input.GetText(), output.GetText(), messages));
    }

    orfeo::CScanList list2;
    orfeo::TextHolder input2, output2;
    orfeo::ScanFolder(folder2, list2, input2, output2, orfeo::kNewScansSubfolder);
    return ExitStatus(
        orfeo::MergeSubscans(list1, list2, input.GetText(), output.GetText(), output2.GetText(), messages));
}
