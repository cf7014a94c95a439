#include <gtest/gtest.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>

#include "cli/ConsoleMessages.h"
#include "process/StandardDescriptors.h"
#include "protocol/Messages.h"
#include "run/BackSubscans.h"
#include "run/FolderLock.h"
#include "run/PlanRows.h"
#include "scan/FolderScan.h"
#include "scan/Paths.h"
#include "tests/support/Files.h"
#include "tests/support/Fixtures.h"

namespace orfeo {
namespace {

namespace fs = std::filesystem;
using test::MakeImage;
using test::MakeMask;
using test::Slurp;
using test::Snapshot;
using test::TempDir;

struct CliRun {
    int status = -1;
    std::string out, err;
};

std::string ShellQuoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') {
            quoted.append("'\\''");
        } else {
            quoted.push_back(c);
        }
    }
    quoted.push_back('\'');
    return quoted;
}

class CliTest : public ::testing::Test {
protected:
    CliRun Cli(const std::vector<std::string>& args, const std::string& program = ORFEO_CLI) {
        std::string command = ShellQuoted(program);
        for (const std::string& arg : args) command.append(" ").append(ShellQuoted(arg));
        const fs::path out = dir.Path() / "out.txt", err = dir.Path() / "err.txt";
        command.append(" >").append(ShellQuoted(out.string()));
        command.append(" 2>").append(ShellQuoted(err.string()));
        command.append(" </dev/null");
        CliRun run;
        const int raw = std::system(command.c_str());
        run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        run.out = Slurp(out);
        run.err = Slurp(err);
        return run;
    }

    // Cli from a child process of the test's own, whose only descendants are orfeo-cli and its page workers:
    // `peakKb` takes the largest resident set that one of them reached, in kilobytes.
    CliRun CliWithPeak(const std::vector<std::string>& args, long& peakKb) {
        int ends[2];
        if (pipe(ends) != 0) return {};
        const pid_t child = fork();
        if (child == 0) {
            close(ends[0]);
            const CliRun run = Cli(args);
            rusage usage{};
            getrusage(RUSAGE_CHILDREN, &usage);
            const long told[2] = {run.status, usage.ru_maxrss};
            _exit(write(ends[1], told, sizeof told) == sizeof told ? 0 : 1);
        }
        close(ends[1]);
        long told[2] = {-1, -1};
        const bool heard = child > 0 && read(ends[0], told, sizeof told) == sizeof told;
        close(ends[0]);
        if (child > 0) waitpid(child, nullptr, 0);
        CliRun run;
        run.status = heard ? static_cast<int>(told[0]) : -1;
        run.out = Slurp(dir.Path() / "out.txt");
        run.err = Slurp(dir.Path() / "err.txt");
        peakKb = heard ? told[1] : -1;
        return run;
    }

    // `args`, then the same as a dry run: status 1, `err` on the standard error, and no process of the run
    // past 128 MiB.
    void ExpectRefusalsWithinMemory(const std::vector<std::string>& args, const std::string& err) {
        for (const bool dry : {false, true}) {
            SCOPED_TRACE(dry ? "dry run" : "run");
            std::vector<std::string> call = args;
            if (dry) call.insert(call.begin(), "--dry-run");
            long peakKb = 0;
            const CliRun run = CliWithPeak(call, peakKb);
            EXPECT_EQ(run.status, 1);
            EXPECT_EQ(run.err, err);
            EXPECT_GT(peakKb, 0);
            EXPECT_LT(peakKb, 128 * 1024);
        }
    }

    void MakeBook(const fs::path& folder, unsigned pages, bool masks, unsigned offset = 0) {
        for (unsigned i = 1; i <= pages; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "p%u.tif", i);
            test::Save(MakeImage(24, 8, 8, [=](unsigned x, unsigned y) { return x + y + i + offset; }).get(),
                       folder / name);
            if (masks) {
                test::Save(MakeMask(24, 8, [](unsigned x, unsigned) { return x < 8; }).get(),
                           folder / "cache" / "automask" / name);
            }
        }
    }

    TempDir dir;
    fs::path book = dir.Path() / "book";
    fs::path book2 = dir.Path() / "book two";
};

TEST_F(CliTest, BackThenMergeWriteEveryPage) {
    MakeBook(book, 2, true);
    MakeBook(book2, 3, false, 100);
    CliRun back = Cli({"back", book.string()});
    EXPECT_EQ(back.status, 0);
    EXPECT_EQ(back.out, "Processing ended.\n");
    EXPECT_EQ(back.err, "");
    EXPECT_TRUE(fs::exists(book / "pics" / "p1.tif"));
    EXPECT_TRUE(fs::exists(book / "pics" / "p2.tif"));

    CliRun merge = Cli({"merge", book.string() + "/", book2.string()});
    EXPECT_EQ(merge.status, 0);
    EXPECT_EQ(merge.out, "Processing ended.\n");
    EXPECT_EQ(merge.err, "");
    CliRun quiet = Cli({"-q", "merge", book.string(), book2.string()});  // a clean quiet run says nothing
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.out + quiet.err, "");
    ImagePtr merged = test::Load(book2 / "new_scans" / "p2.tif");
    ASSERT_TRUE(merged);
    EXPECT_EQ(test::GetPixel(merged.get(), 3, 1), 3u + 1 + 2 + 100);  // marked: from book two's p2.tif
    EXPECT_EQ(test::GetPixel(merged.get(), 9, 1), 9u + 1 + 2);        // unmarked: from the back subscan
}

TEST_F(CliTest, FailedEntriesGiveMessagesInOrderAndStatusOne) {
    MakeBook(book, 3, true);
    fs::remove(book / "cache" / "automask" / "p2.tif");
    CliRun back = Cli({"back", book.string()});
    EXPECT_EQ(back.status, 1);
    EXPECT_EQ(back.err, "File \"" + book.string() + "/cache/automask/p2.tif\" not found.\n" +
                            "1 of 3 pages was not written.\n");
    EXPECT_EQ(back.out, "Processing ended.\n");
    EXPECT_TRUE(fs::exists(book / "pics" / "p3.tif"));
    CliRun quiet = Cli({"back", "--quiet", book.string()});  // problems only
    EXPECT_EQ(quiet.err, back.err);
    EXPECT_EQ(quiet.out, "");
}

TEST_F(CliTest, MaxMegapixelsRefusesLargerImages) {
    MakeBook(book, 1, true);  // 24 x 8 pages: 192 pixels
    CliRun run = Cli({"--max-megapixels", "0.0001", "back", book.string()});
    EXPECT_EQ(run.status, 1);
    const std::string tooLarge = "\" is too large: 24 x 8 pixels, more than 0.0001 megapixels.\n";
    EXPECT_EQ(run.err, "File \"" + book.string() + "/p1.tif" + tooLarge + "File \"" + book.string() +
                           "/cache/automask/p1.tif" + tooLarge + "1 of 1 page was not written.\n");
    EXPECT_EQ(Cli({"back", "--max-megapixels", "0.0002", book.string()}).status, 0);
}

TEST_F(CliTest, RefusedRunsGiveStatusOne) {
    fs::create_directories(book);
    CliRun back = Cli({"back", book.string()});
    EXPECT_EQ(back.status, 1);
    EXPECT_EQ(back.err, "No scans are yet loaded.\n");
    EXPECT_EQ(back.out, "");

    MakeBook(book, 1, true);
    fs::create_directories(book2);
    CliRun merge = Cli({"merge", book.string(), book2.string()});
    EXPECT_EQ(merge.status, 1);
    EXPECT_EQ(merge.err, "No scans 2 are yet loaded.\n");
}

TEST_F(CliTest, UsageErrorsGiveStatusTwoAndAShortUsage) {
    fs::create_directories(book);
    fs::create_directories(book2);
    for (const std::vector<std::string>& args : {std::vector<std::string>{},
                                                 {"back"},
                                                 {"merge", book.string()},
                                                 {"frobnicate", book.string()},
                                                 {"merge", book.string(), book2.string(), book.string()},
                                                 {"-j", "0", "back", book.string()},
                                                 {"back", "--jobs", "many", book.string()}}) {
        CliRun run = Cli(args);
        EXPECT_EQ(run.status, 2) << run.err;
        EXPECT_NE(run.err.find("Usage: orfeo-cli [OPTION]... back FOLDER...\n"), std::string::npos)
            << run.err;
        EXPECT_EQ(run.out, "");
    }
    EXPECT_EQ(Cli({"frobnicate", book.string()}).err.rfind("orfeo-cli: unknown job 'frobnicate'", 0), 0u);
    EXPECT_FALSE(fs::exists(book / "pics"));
}

// A folder that is not there is a usage error said in one line, as other tools say it, without the usage
// text; a run refused because another run holds the folders asks to be tried later (EX_TEMPFAIL, 75).
TEST_F(CliTest, MissingFoldersAndFoldersInUseHaveStatusesOfTheirOwn) {
    MakeBook(book, 1, true);
    fs::create_directories(book2);
    const std::string missing = (dir.Path() / "missing").string(), file = (book / "p1.tif").string();
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"back", missing}, "'" + missing + "': No such file or directory"},
        {{"back", file}, "'" + file + "': Not a directory"},
        {{"merge", book.string(), missing}, "'" + missing + "': No such file or directory"},
    };
    for (const auto& [args, why] : cases) {
        for (const bool dry : {false, true}) {
            std::vector<std::string> call = args;
            if (dry) call.insert(call.begin(), "--dry-run");
            const CliRun run = Cli(call);
            EXPECT_EQ(run.status, 2) << why;
            EXPECT_EQ(run.err, "orfeo-cli: " + why + "\n");
        }
    }
    {
        const FolderLock held((book / "pics" / "").string(), {book.string() + "/"});
        ASSERT_FALSE(held.Busy());
        for (const bool dry : {false, true}) {
            const CliRun run = dry ? Cli({"--dry-run", "back", book.string()}) : Cli({"back", book.string()});
            EXPECT_EQ(run.status, 75) << run.err;
            EXPECT_NE(run.err.find("is in use by another run."), std::string::npos) << run.err;
        }
    }
    EXPECT_EQ(Cli({"back", book.string()}).status, 0);  // once the other run has ended
}

// Several books in one call, given or listed (--from, -0 for NUL-separated, '-' for standard input): each
// a run of its own, one after the other, with its own messages and summary; the call's status is the
// worst: a book in use asks for a retry, after the other books were done.
TEST_F(CliTest, SeveralBooksInOneCallEachAsItsOwnRun) {
    const fs::path third = dir.Path() / "third book", fourth = dir.Path() / "fourth";
    MakeBook(book, 2, true);
    MakeBook(third, 2, true);
    MakeBook(book2, 2, false, 100);
    MakeBook(fourth, 2, false, 100);
    fs::remove(third / "cache" / "automask" / "p2.tif");
    const CliRun back = Cli({"back", book.string(), third.string()});
    EXPECT_EQ(back.status, 1);
    EXPECT_TRUE(fs::exists(book / "pics" / "p2.tif"));
    EXPECT_TRUE(fs::exists(third / "pics" / "p1.tif"));
    EXPECT_FALSE(fs::exists(third / "pics" / "p2.tif"));
    EXPECT_EQ(back.err, "File \"" + (third / "cache" / "automask" / "p2.tif").string() +
                            "\" not found.\n1 of 2 pages was not written.\n");
    EXPECT_EQ(back.out, "Processing ended.\nProcessing ended.\n");  // each book's run ends as its own

    const fs::path list = dir.Path() / "list";
    test::WriteFile(
        list, book.string() + '\0' + book2.string() + '\0' + third.string() + '\0' + fourth.string() + '\0');
    const CliRun merge = Cli({"-0", "--from", list.string(), "--report", "-", "merge"});
    EXPECT_EQ(merge.status, 1) << merge.err;
    EXPECT_TRUE(fs::exists(book2 / "new_scans" / "p2.tif"));
    EXPECT_TRUE(fs::exists(fourth / "new_scans" / "p1.tif"));
    const std::string run = merge.out.substr(merge.out.rfind("{\"books\""));
    for (const char* field :
         {"{\"books\":2,\"entries\":4,", "\"report\":2,\"seconds\":", "\"status\":1,\"type\":\"run\","})
        EXPECT_NE(run.find(field), std::string::npos) << run;

    // A book in use: the others are done, and the call asks to be tried again later, a failed book or not.
    const FolderLock held((third / "pics" / "").string(), {third.string() + "/"});
    fs::remove_all(book / "pics");
    const CliRun busy =
        Cli({"--report", "-", "back", third.string(), fourth.string(), book.string()});  // in use, bad, good
    EXPECT_EQ(busy.status, 75) << busy.err;
    EXPECT_TRUE(fs::exists(book / "pics" / "p1.tif"));
    // Only the book in use says so in the report.
    std::istringstream lines(busy.out);
    std::vector<std::string> inUse;
    for (std::string line; std::getline(lines, line);)
        if (line.find("\"type\":\"book\"") != std::string::npos)
            inUse.push_back(line.substr(line.find("\"in_use\":"), 14));
    EXPECT_EQ(inUse, (std::vector<std::string>{"\"in_use\":true,", "\"in_use\":false", "\"in_use\":false"}));
}

// Each refused option says in one short line what it takes, before anything is touched.
TEST_F(CliTest, OptionsOutOfBoundsAreRefusedInOneShortLine) {
    MakeBook(book, 1, true);
    const std::string jobs = "orfeo-cli: --jobs: must be a whole number from 1 to 256\n";
    const std::string limit = "orfeo-cli: --max-megapixels: must be a number above 0, such as 600\n";
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"-j", "0"}, jobs},
        {{"-j", "257"}, jobs},
        {{"-j", "10000000"}, jobs},
        {{"-j", "2147483647"}, jobs},
        {{"-j", "4294967295"}, jobs},
        {{"-j", "-1"}, jobs},
        {{"--max-megapixels", "nan"}, limit},
        {{"--max-megapixels", "inf"}, limit},
        {{"--max-megapixels", "1e400"}, limit},
        {{"--max-megapixels", "0"}, limit},
        {{"--max-megapixels", "-5"}, limit},
    };
    for (const auto& [options, line] : cases) {
        std::vector<std::string> args = options;
        args.insert(args.end(), {"back", book.string()});
        CliRun run = Cli(args);
        EXPECT_EQ(run.status, 2) << options[1];
        EXPECT_EQ(run.err.substr(0, run.err.find('\n') + 1), line) << options[1];
    }
    EXPECT_FALSE(fs::exists(book / "pics"));
    EXPECT_EQ(Cli({"-j", "256", "--max-megapixels", "1e-3", "back", book.string()}).status, 0);
}

// Started with its standard streams closed, as some schedulers do, the program never writes messages
// into the files it opens.
TEST_F(CliTest, ClosedStandardStreamsNeverLandInOutputs) {
    // Pages large enough that one is being written while the message about the next is shown.
    const ImagePtr page = MakeImage(800, 600, 8, [](unsigned x, unsigned y) { return (x * y) % 251; });
    const ImagePtr mask = MakeMask(800, 600, [](unsigned x, unsigned) { return x < 100; });
    for (unsigned i = 1; i <= 8; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "p%u.tif", i);
        test::Save(page.get(), book / name);
        if (i % 2) test::Save(mask.get(), book / "cache" / "automask" / name);
    }
    const std::string command =
        ShellQuoted(ORFEO_CLI) + " -j 2 back " + ShellQuoted(book.string()) + " <&- >&- 2>&-";
    const int raw = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(raw));
    EXPECT_EQ(WEXITSTATUS(raw), 1);
    for (const char* name : {"p1.tif", "p3.tif", "p5.tif", "p7.tif"}) {
        EXPECT_EQ(Slurp(book / "pics" / name).find("not found"), std::string::npos) << name;
        EXPECT_TRUE(test::Load(book / "pics" / name)) << name;
    }
}

// Each standard descriptor that a program is started without is opened on /dev/null before anything else
// can take its number, whichever of them are closed.
TEST(StandardDescriptorsTest, ClosedOnesAreOpenedOnDevNull) {
    for (int closed : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(closed);
            OpenStandardDescriptors();
            char target[64] = {};
            const std::string link = "/proc/self/fd/" + std::to_string(closed);
            const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
            _exit(length > 0 && std::string(target) == "/dev/null" ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "descriptor " << closed;
    }
}

// The progress line is drawn when standard error is a terminal, and only then: not when standard output is
// one and standard error a file.
// Runs orfeo-cli on a terminal of its own, after `prepare` (in the child): what the terminal showed, and
// the exit status (-1 when it did not end normally).
std::pair<std::string, int> OnTerminal(const std::vector<std::string>& args,
                                       const std::function<void()>& prepare = {}) {
    int terminal = -1;
    const pid_t child = forkpty(&terminal, nullptr, nullptr, nullptr);
    if (child < 0) return {"forkpty failed", -1};
    if (child == 0) {
        if (prepare) prepare();
        std::vector<char*> argv{const_cast<char*>(ORFEO_CLI)};
        for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(ORFEO_CLI, argv.data());
        _exit(127);
    }
    std::string shown;
    char buffer[256];
    for (ssize_t got; (got = read(terminal, buffer, sizeof buffer)) > 0;) shown.append(buffer, got);
    close(terminal);
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return {shown, -1};
    return {shown, WEXITSTATUS(status)};
}

TEST_F(CliTest, ProgressGoesToStandardErrorOnlyWhenThatIsATerminal) {
    MakeBook(book, 3, true);
    const fs::path err = dir.Path() / "err.txt";
    const auto [shown, status] =
        OnTerminal({"back", book.string()}, [&err] { std::freopen(err.c_str(), "w", stderr); });
    EXPECT_EQ(status, 0);
    EXPECT_NE(shown.find("Processing ended."), std::string::npos) << shown;
    EXPECT_EQ(Slurp(err), "");
}

// On a terminal, the progress line is redrawn with escape sequences, but on one that takes none
// (TERM=dumb, or no TERM) with carriage returns and blanks alone.
TEST_F(CliTest, TheProgressLineUsesNoEscapesOnADumbTerminal) {
    MakeBook(book, 3, true);
    for (const std::string term : {"xterm", "dumb", ""}) {
        SCOPED_TRACE(term);
        const auto [shown, status] = OnTerminal({"back", book.string()}, [&term] {
            if (term.empty()) {
                unsetenv("TERM");
            } else {
                setenv("TERM", term.c_str(), 1);
            }
        });
        EXPECT_EQ(status, 0);
        EXPECT_NE(shown.find("3/3"), std::string::npos) << shown;  // the progress line was drawn
        EXPECT_EQ(shown.find('\033') != std::string::npos, term == "xterm") << shown;
    }
}

// A book folder that does not let its user make pics/: the dry run says what the run then says, and both
// end with status 1. Run as an ordinary user (root may write anywhere): as "nobody" when the test is root.
TEST_F(CliTest, TheDryRunForeseesAnOutputFolderThatCannotBeMade) {
    MakeBook(book, 2, true);
    for (const auto& entry : fs::recursive_directory_iterator(dir.Path())) {
        fs::permissions(entry.path(),
                        entry.is_directory() ? fs::perms::all : fs::perms::all & ~fs::perms::others_write);
    }
    fs::permissions(dir.Path(), fs::perms::all);
    const auto readOnly = fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                          fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec;
    fs::permissions(book, readOnly);
    const auto run = [&](bool dryRun) {
        const fs::path err = dir.Path() / (dryRun ? "plan-err.txt" : "run-err.txt");
        test::WriteFile(err, "");
        fs::permissions(err, fs::perms::all);
        const pid_t child = fork();
        if (child == 0) {
            if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(120);
            std::freopen(err.c_str(), "w", stderr);
            std::freopen("/dev/null", "w", stdout);
            if (dryRun)
                execl(ORFEO_CLI, ORFEO_CLI, "--dry-run", "back", book.c_str(), static_cast<char*>(nullptr));
            execl(ORFEO_CLI, ORFEO_CLI, "back", book.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        int status = 0;
        waitpid(child, &status, 0);
        return std::pair{WIFEXITED(status) ? WEXITSTATUS(status) : -1, Slurp(err)};
    };
    const auto [planStatus, planSaid] = run(true);
    const auto [runStatus, runSaid] = run(false);
    fs::permissions(book, fs::perms::owner_all);
    EXPECT_EQ(runSaid, "Can't create folder " + book.string() + "/pics/\n2 of 2 pages were not written.\n");
    EXPECT_EQ(planSaid, runSaid);
    EXPECT_EQ(runStatus, 1);
    EXPECT_EQ(planStatus, runStatus);
}

// A file name cannot forge a message line or reach the terminal as an escape sequence.
TEST_F(CliTest, ControlCharactersInNamesAreShownEscaped) {
    MakeBook(book, 1, true);
    const std::string name =
        std::string("a\nFile \"x\" not found.\x1b[2J\x7f\x1f\xc2\x9b") + "b\x9b\xc3\xa9.tif";
    fs::copy_file(book / "p1.tif", book / name);
    CliRun run = Cli({"back", book.string()});
    EXPECT_EQ(run.err, "File \"" + book.string() +
                           "/cache/automask/a\\x0AFile \"x\" not found.\\x1B[2J\\x7F\\x1F" +
                           "\\xC2\\x9Bb\\x9B\xc3\xa9.tif\" not found.\n1 of 2 pages was not written.\n");
}

TEST_F(CliTest, JobCountChangesNothingButSpeedAndNoProgressGoesToAPipe) {
    MakeBook(book, 12, true);
    fs::remove(book / "cache" / "automask" / "p3.tif");
    test::WriteFile(book / "cache" / "automask" / "p7.tif", "broken");
    CliRun one = Cli({"-j", "1", "back", book.string()});
    const std::string first = Slurp(book / "pics" / "p12.tif");
    CliRun many = Cli({"back", "--jobs", "3", book.string()});  // options may also follow the job
    EXPECT_EQ(one.status, 1);
    EXPECT_EQ(many.status, 1);
    EXPECT_EQ(many.out, one.out);
    EXPECT_EQ(many.err, one.err);  // the messages only: no progress line, standard error is a file here
    EXPECT_EQ(one.err, "File \"" + book.string() + "/cache/automask/p3.tif\" not found.\n" + "File \"" +
                           book.string() + "/cache/automask/p7.tif\" cannot be read.\n" +
                           "2 of 12 pages were not written.\n");
    EXPECT_EQ(Slurp(book / "pics" / "p12.tif"), first);
}

// Ctrl-C stops the run the way the window's Stop does: what is written is whole, nothing temporary stays.
TEST_F(CliTest, InterruptStopsCleanlyWithStatus130) {
    const ImagePtr page = MakeImage(900, 700, 8, [](unsigned x, unsigned y) { return x ^ y; });
    const ImagePtr mask = MakeMask(900, 700, [](unsigned x, unsigned y) { return (x / 50 + y / 50) % 2; });
    for (unsigned i = 1; i <= 80; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "p%03u.tif", i);
        test::Save(page.get(), book / name);
        test::Save(mask.get(), book / "cache" / "automask" / name);
    }
    // SIGINT twice ends the run at once: what it leaves under a page's name is whole all the same. A
    // scheduler's cancel signals every process of the job, the workers too: the pages in hand still finish,
    // and no page is said to have crashed its worker.
    struct Case {
        int signal;
        bool twice, everyProcess;
    };
    const fs::path err = dir.Path() / "err.txt";
    for (const Case& c : {Case{SIGINT, false, false}, Case{SIGTERM, false, false}, Case{SIGHUP, false, false},
                          Case{SIGINT, true, false}, Case{SIGTERM, false, true}}) {
        const int signal = c.signal;
        const bool twice = c.twice;
        fs::remove_all(book / "pics");
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            std::freopen("/dev/null", "w", stdout);
            std::freopen(err.c_str(), "w", stderr);
            execl(ORFEO_CLI, ORFEO_CLI, "-j", "2", "back", book.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        // Interrupt as soon as the first page is written, with most of the batch still to come.
        const fs::path first = book / "pics" / "p001.tif";
        for (int waited = 0; waited < 20000 && !fs::exists(first); ++waited) usleep(500);
        if (c.everyProcess) {
            for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(child) + "/task")) {
                std::ifstream children(task.path() / "children");
                for (pid_t worker; children >> worker;) kill(worker, signal);
            }
        }
        kill(child, signal);
        if (twice) kill(child, signal);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 128 + signal);
        if (!twice) {
            EXPECT_EQ(Slurp(err).find("crashed"), std::string::npos) << Slurp(err);
        }
        std::size_t written = 0;
        for (const auto& entry : fs::directory_iterator(book / "pics")) {
            if (twice && entry.path().extension() == ".tmp") continue;  // deleted by the next run's reset
            EXPECT_EQ(entry.path().extension(), ".tif") << entry.path();
            ImagePtr page = test::Load(entry.path());
            ASSERT_TRUE(page) << entry.path();
            EXPECT_EQ(FreeImage_GetHeight(page.get()), 700u);
            ++written;
        }
        EXPECT_LT(written, 80u);
    }
}

// A dry run changes nothing, shows how the entries pair and what is wrong with each, and says on standard
// error exactly what the real run then says there, with the same exit status.
TEST_F(CliTest, DryRunShowsWhatTheRunWouldDoAndSaysWhatItWouldSay) {
    using Args = std::vector<std::string>;
    struct Case {
        const char* what;
        std::function<Args()> setup;  // makes the folders, returns the job's arguments
        int status;
        std::vector<std::string> shown;  // parts of the dry run's standard output
    };
    const fs::path automask = book / "cache" / "automask";
    const Case cases[] = {
        {"a clean back, with an earlier output to delete",
         [&] {
             MakeBook(book, 2, true);
             test::WriteFile(book / "pics" / "old.tif", "old");
             return Args{"back", book.string()};
         },
         0,
         {"p1.tif  mask ok  -> pics/p1.tif\n", "p2.tif  mask ok  -> pics/p2.tif\n",
          "The run would first delete 1 file in \"" + book.string() + "/pics/\"."}},
        {"a back whose inputs are missing or unfit",
         [&] {
             MakeBook(book, 5, true);
             fs::remove(automask / "p1.tif");
             test::Save(MakeImage(24, 8, 8, [](unsigned, unsigned) { return 0; }).get(), automask / "p2.tif");
             test::Save(MakeMask(20, 8, [](unsigned, unsigned) { return false; }).get(), automask / "p3.tif");
             test::WriteFile(book / "p4.tif", "not an image");
             test::Save(MakeMask(24, 8, [](unsigned x, unsigned) { return x < 8; }).get(), book / "p5.jpg");
             test::Save(MakeMask(24, 8, [](unsigned x, unsigned) { return x < 8; }).get(),
                        automask / "p5.jpg");
             return Args{"back", book.string()};
         },
         1,
         {"p1.tif  mask not found  -> pics/p1.tif (not written)\n", "p2.tif  mask not one bit deep  ->",
          "p3.tif  mask smaller than its page  ->",
          "p4.tif (cannot be read)  mask ok  -> pics/p4.tif (not written)",
          "p5.jpg  mask ok  -> pics/p5.jpg cannot hold the page in its format (not written)\n"}},
        {"images past the size guard",
         [&] {
             MakeBook(book, 1, true);
             return Args{"--max-megapixels", "0.0001", "back", book.string()};
         },
         1,
         {"p1.tif (too large)  mask too large  ->"}},
        {"an empty folder",
         [&] {
             fs::create_directories(book);
             return Args{"back", book.string()};
         },
         1,
         {}},
        {"an output folder with a file in its place",
         [&] {
             MakeBook(book, 2, true);
             test::WriteFile(book / "pics", "a file");
             return Args{"back", book.string()};
         },
         1,
         {}},
        {"a merge pairing by name order, with an unused page",
         [&] {
             MakeBook(book, 3, true);
             EXPECT_EQ(Cli({"back", book.string()}).status, 0);
             for (const char* name : {"s10.tif", "s2.tif", "s3.tif", "s4.tif"}) {
                 test::Save(MakeImage(24, 8, 8, [](unsigned x, unsigned) { return x; }).get(), book2 / name);
             }
             return Args{"merge", book.string(), book2.string()};
         },
         0,
         {"p1.tif + s10.tif  back subscan ok  mask ok  -> new_scans/p1.tif\n",
          "p2.tif + s2.tif  back subscan ok  mask ok  -> new_scans/p2.tif\n",
          "p3.tif + s3.tif  back subscan ok", "(no page) + s4.tif  unused\n"}},
        {"a merge whose back subscans and masks are missing or unfit",
         [&] {
             MakeBook(book, 3, true);
             MakeBook(book2, 3, false);
             EXPECT_EQ(Cli({"back", book.string()}).status, 0);
             fs::remove(book / "pics" / "p1.tif");
             test::Save(MakeImage(10, 8, 8, [](unsigned, unsigned) { return 0; }).get(),
                        book / "pics" / "p2.tif");
             fs::remove(automask / "p3.tif");
             return Args{"merge", book.string(), book2.string()};
         },
         1,
         {"p1.tif + p1.tif  back subscan not found  mask ok  -> new_scans/p1.tif (not written)\n",
          "p2.tif + p2.tif  back subscan differs from the page in size or depth  mask ok",
          "p3.tif + p3.tif  back subscan ok  mask not found"}},
        {"an output folder that is a link, and a FIFO in place of a mask",
         [&] {
             MakeBook(book, 2, true);
             fs::create_symlink(".", book / "pics");
             fs::remove(automask / "p2.tif");
             EXPECT_EQ(mkfifo((automask / "p2.tif").c_str(), 0600), 0);
             return Args{"back", book.string()};
         },
         1,
         {}},
        {"a FIFO in place of a mask",
         [&] {
             MakeBook(book, 2, true);
             fs::remove(automask / "p2.tif");
             EXPECT_EQ(mkfifo((automask / "p2.tif").c_str(), 0600), 0);
             return Args{"back", book.string()};
         },
         1,
         {"p2.tif  mask not a regular file  -> pics/p2.tif (not written)\n"}},
        {"a merge into its own first folder",
         [&] {
             MakeBook(book / "new_scans", 2, true);
             MakeBook(book, 2, false);
             return Args{"merge", (book / "new_scans").string(), book.string()};
         },
         1,
         {}},
        {"a merge with fewer pages in folder 2",
         [&] {
             MakeBook(book, 3, true);
             MakeBook(book2, 2, false);
             return Args{"merge", book.string(), book2.string()};
         },
         1,
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(book);
        fs::remove_all(book2);
        Args args = c.setup();
        const auto before = Snapshot(book, true), before2 = Snapshot(book2, true);
        Args dryArgs = args;
        dryArgs.insert(dryArgs.begin(), "--dry-run");
        const CliRun dry = Cli(dryArgs);
        EXPECT_EQ(Snapshot(book, true), before);
        EXPECT_EQ(Snapshot(book2, true), before2);
        EXPECT_EQ(dry.status, c.status) << dry.err;
        for (const std::string& part : c.shown)
            EXPECT_NE(dry.out.find(part), std::string::npos) << part << "\n" << dry.out;
        dryArgs.insert(dryArgs.begin(), "-q");
        const CliRun quiet = Cli(dryArgs);
        EXPECT_EQ(quiet.out, "");
        EXPECT_EQ(quiet.err, dry.err);

        const CliRun real = Cli(args);
        EXPECT_EQ(dry.err, real.err);
        EXPECT_EQ(dry.status, real.status);
        if (c.status != 0) {
            EXPECT_NE(real.err, "");
        }
    }
}

// The window's check before a job shows the rows that orfeo-cli --dry-run prints, entry for entry.
TEST_F(CliTest, CheckRowsAreTheDryRunsEntries) {
    MakeBook(book, 4, true);
    MakeBook(book2, 6, false, 100);
    fs::remove(book / "cache" / "automask" / "p2.tif");
    ASSERT_EQ(Cli({"back", book.string()}).status, 1);  // back subscans of p1, p3 and p4
    fs::remove(book / "pics" / "p3.tif");
    for (const bool merge : {false, true}) {
        SCOPED_TRACE(merge ? "merge" : "back");
        CScanList list1, list2;
        TextHolder input, output, input2, output2;
        ScanFolder(book.string(), list1, input, output, kPicsSubfolder);
        ScanFolder(book2.string(), list2, input2, output2, kNewScansSubfolder);
        const JobPlan plan =
            merge ? PlanMergeSubscans(list1, list2, input.GetText(), output.GetText(), output2.GetText())
                  : PlanBackSubscans(list1, input.GetText(), output.GetText());
        const std::vector<PlanRow> rows = PlanRows(plan, merge, merge ? kNewScansSubfolder : kPicsSubfolder);
        const CliRun dry = merge ? Cli({"--dry-run", "merge", book.string(), book2.string()})
                                 : Cli({"--dry-run", "back", book.string()});
        std::vector<std::string> lines;
        std::istringstream out(dry.out);
        for (std::string line; std::getline(out, line);) {
            if (line.rfind("The run would first delete", 0) != 0) lines.push_back(line);
        }
        ASSERT_EQ(rows.size(), lines.size()) << dry.out;
        ASSERT_EQ(rows.size(), merge ? 6u : 4u);
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const std::vector<std::string>& cells = rows[i].cells;
            ASSERT_EQ(cells.size(), PlanColumns(merge).size());
            const std::string& line = lines[i];
            SCOPED_TRACE(line);
            const std::string first =
                merge ? cells[0] + " + " + cells[1].substr(0, cells[1].find(' ')) : cells[0];
            EXPECT_EQ(line.rfind(rows[i].unused ? "(no page) + " : first, 0), 0u);
            if (rows[i].unused) continue;
            const std::string outputName = cells[merge ? 4 : 2].substr(0, cells[merge ? 4 : 2].find(' '));
            EXPECT_NE(line.find("-> " + outputName), std::string::npos);
            const bool notWritten = line.find("(not written)") != std::string::npos;
            EXPECT_EQ(notWritten, !rows[i].written);
            EXPECT_EQ(notWritten, cells[merge ? 4 : 2].find("(not written)") != std::string::npos);
            // What a cell says is wrong with its file ("ok" for nothing), as the line words it.
            const auto words = [](const std::string& cell) {
                const std::size_t open = cell.find(" (");
                return open == std::string::npos ? std::string("ok")
                                                 : cell.substr(open + 2, cell.size() - open - 3);
            };
            EXPECT_NE(line.find("mask " + words(cells[merge ? 3 : 1])), std::string::npos);
            if (merge) {
                EXPECT_NE(line.find("back subscan " + words(cells[2])), std::string::npos);
            }
        }
    }
}

TEST_F(CliTest, HelpAndVersion) {
    CliRun help = Cli({"--help"});
    EXPECT_EQ(help.status, 0);
    for (const char* part :
         {"back FOLDER... ", "merge FOLDER FOLDER2...", "--from", "--report", "--verbose", "--jobs",
          "--quiet", "--max-megapixels", "Exit status", "--dry-run", "Example"}) {
        EXPECT_NE(help.out.find(part), std::string::npos) << part;
    }
    // Within 80 columns, as GNU tools keep it.
    std::istringstream lines(help.out);
    for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 80u) << line;
    for (const char* flag : {"--version", "-V"}) {
        CliRun version = Cli({flag});
        EXPECT_EQ(version.status, 0);
        EXPECT_EQ(version.out.rfind("orfeo-cli ", 0), 0u) << version.out;
    }
}

// What a run prints on standard output must arrive there: a full device is an error, not a success.
TEST_F(CliTest, FailedWriteToStandardOutputIsAnError) {
    MakeBook(book, 1, true);
    for (const char* args : {"back", "--dry-run back", "--help", "--version"}) {
        const std::string command = ShellQuoted(ORFEO_CLI) + " " + args + " " + ShellQuoted(book.string()) +
                                    " >/dev/full 2>" + ShellQuoted((dir.Path() / "err.txt").string());
        const int raw = std::system(command.c_str());
        EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 1) << args;
        EXPECT_NE(Slurp(dir.Path() / "err.txt").find("orfeo-cli: write error on standard output"),
                  std::string::npos)
            << args;
        // With the reason: /dev/full takes nothing.
        if (std::string(args).find("back") != std::string::npos) {
            EXPECT_NE(Slurp(dir.Path() / "err.txt").find("No space left on device"), std::string::npos)
                << args;
        }
    }
}

// The summary line: only for a run that went through its entries and left some unwritten, never after a
// refusal or a stop (whose own message says how far it got).
TEST(ConsoleSummaryTest, NamesOnlyUnwrittenPagesOfARunThatWentThrough) {
    struct Case {
        BatchResult result;
        const char* summary;
    };
    const Case cases[] = {
        {{.refused = true, .stopped = false, .entries = 0, .written = 0}, ""},
        {{.refused = false, .stopped = true, .entries = 12, .written = 3}, ""},
        {{.refused = false, .stopped = false, .entries = 12, .written = 12}, ""},
        {{.refused = false, .stopped = false, .entries = 1, .written = 0}, "1 of 1 page was not written."},
        {{.refused = false, .stopped = false, .entries = 12, .written = 10},
         "2 of 12 pages were not written."},
    };
    for (const Case& c : cases) EXPECT_EQ(ConsoleMessages::Summary(c.result), c.summary);
    // And the refusal of a merge whose second folder is short says which count is which.
    EXPECT_EQ(FewerScansMessage(160, 3), "Folder 2 holds fewer scans (3) than folder 1 (160).");
}

// The progress line of a terminal 60 columns wide: never longer than 59 columns (the name is cut, from the
// front), drawn again only a few times a second, and left at the end saying what was written.
TEST(ConsoleProgressTest, FitsTheWidthAndEndsWithWhatWasWritten) {
    std::FILE* problems = std::tmpfile();
    std::FILE* ended = std::tmpfile();
    ASSERT_TRUE(problems && ended);
    {
        ConsoleMessages::Settings settings;
        settings.showProgress = true;
        settings.columns = 60;
        ConsoleMessages console(problems, ended, settings);
        for (std::size_t done = 1; done <= 50; ++done) {
            console.Progress(done, 50,
                             "a_rather_long_file_name_for_a_p\xC3\xA4ge_" + std::to_string(done) + ".tif");
            if (done == 20) console.ShowMessage(MessageKind::Problem, "File \"x\" not found.");
        }
        console.ShowMessage(MessageKind::Ended, "Processing ended.");
        BatchResult result;
        result.entries = 50;
        result.written = 49;
        console.EndRun(result);
    }
    auto contents = [](std::FILE* file) {
        std::rewind(file);
        std::string text;
        for (int c; (c = std::fgetc(file)) != EOF;) text.push_back(static_cast<char>(c));
        std::fclose(file);
        return text;
    };
    const std::string out = contents(problems);
    EXPECT_EQ(contents(ended), "Processing ended.\n");
    std::vector<std::string> drawn;
    std::string line;
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (out.compare(i, 3, "\033[K") == 0) {
            i += 2;
        } else if (out[i] == '\r' || out[i] == '\n') {
            if (!line.empty()) drawn.push_back(line);
            line.clear();
        } else {
            line.push_back(out[i]);
        }
    }
    ASSERT_GE(drawn.size(), 4u) << out;
    EXPECT_LT(drawn.size(), 20u) << out;  // not redrawn for every page
    for (const std::string& text : drawn) {
        std::size_t columns = 0;
        for (unsigned char c : text) columns += (c & 0xC0) != 0x80;
        EXPECT_LE(columns, 59u) << text;
    }
    EXPECT_EQ(drawn[0].rfind("1/50 pages", 0), 0u) << drawn[0];
    EXPECT_NE(drawn[0].find("..."), std::string::npos) << drawn[0];
    EXPECT_NE(std::find(drawn.begin(), drawn.end(), "File \"x\" not found."), drawn.end());
    EXPECT_EQ(drawn[drawn.size() - 2].rfind("49 of 50 pages written in ", 0), 0u) << drawn[drawn.size() - 2];
    EXPECT_EQ(drawn.back(), "1 of 50 pages was not written.");
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 3);  // the message, the last line, the summary
}

// A second Ctrl-C ends the program at once, even while a page is still in hand and will not be done soon (a
// decoder that loops in its worker, here the probe worker of the tests in the place of orfeo-worker).
TEST_F(CliTest, ASecondInterruptEndsTheRunAtOnce) {
    const fs::path tree = dir.Path() / "usr";
    fs::create_directories(tree / "bin");
    fs::create_directories(tree / "libexec" / "orfeo");
    fs::copy_file(ORFEO_CLI, tree / "bin" / "orfeo-cli");
    fs::copy_file(ORFEO_PROBE_WORKER, tree / "libexec" / "orfeo" / "orfeo-worker");
    MakeBook(book, 2, true);
    test::WriteFile(book / "p1.tif", "PROBE:spin");
    const std::string cli = (tree / "bin" / "orfeo-cli").string();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::freopen("/dev/null", "w", stdout);
        std::freopen("/dev/null", "w", stderr);
        execl(cli.c_str(), cli.c_str(), "-j", "1", "back", book.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    usleep(800 * 1000);  // the worker loops on p1.tif
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, WNOHANG), 0);
    kill(child, SIGINT);  // the page in hand would still be waited for
    usleep(300 * 1000);
    ASSERT_EQ(waitpid(child, &status, WNOHANG), 0);
    kill(child, SIGINT);
    pid_t ended = 0;
    for (int waited = 0; waited < 50 && ended == 0; ++waited) {
        ended = waitpid(child, &status, WNOHANG);
        if (ended == 0) usleep(100 * 1000);
    }
    if (ended == 0) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
    }
    EXPECT_NE(ended, 0) << "still running 5 s after the second interrupt";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130);
    EXPECT_FALSE(fs::exists(book / "pics" / "p1.tif"));
    // Its worker, looping on the page, went with it.
    const std::string worker = (tree / "libexec" / "orfeo" / "orfeo-worker").string();
    const auto workerLeft = [&] {
        for (const auto& process : fs::directory_iterator("/proc")) {
            std::error_code error;
            if (fs::read_symlink(process.path() / "exe", error).string() == worker) return true;
        }
        return false;
    };
    for (int waited = 0; waited < 20 && workerLeft(); ++waited) usleep(100 * 1000);
    EXPECT_FALSE(workerLeft());
}

// Standard error or output into a pipe that nobody reads: the pages are all done, and the status says how the
// run went (a page was not written here), never SIGPIPE's.
TEST_F(CliTest, StreamsIntoClosedPipesDoNotEndTheRun) {
    MakeBook(book, 3, true);
    fs::remove(book / "cache" / "automask" / "p2.tif");
    for (int stream : {STDERR_FILENO, STDOUT_FILENO}) {
        SCOPED_TRACE(stream == STDERR_FILENO ? "standard error" : "standard output");
        fs::remove_all(book / "pics");
        int ends[2];
        ASSERT_EQ(pipe(ends), 0);
        close(ends[0]);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            dup2(ends[1], stream);
            std::freopen("/dev/null", "w", stream == STDERR_FILENO ? stdout : stderr);
            execl(ORFEO_CLI, ORFEO_CLI, "back", book.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(ends[1]);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
        EXPECT_EQ(WEXITSTATUS(status), 1);
        EXPECT_EQ(test::SortedNames(book / "pics"), (std::vector<std::string>{"p1.tif", "p3.tif"}));
    }
}

// TIFFs of a few hundred bytes that declare one 65536 x 65536 tile over their 100 x 100 pixels, as a page,
// as a mask, and in the thumbnail that FreeImage decodes beside a page: the run and the dry run name them at
// once, and no process of the run comes near the 4 GiB that decoding the tile takes (one worker: the whole
// run holds at most twice the largest process).
TEST_F(CliTest, AHugeTileInATinyFileIsRefusedWithoutItsMemory) {
    MakeBook(book, 4, true);
    const fs::path masks = book / "cache" / "automask";
    const test::TiffLayout hugeTile{.tileWidth = 65536, .tileLength = 65536};
    const test::TiffLayout hugeThumbnail{
        .thumbnailWidth = 100, .thumbnailHeight = 100, .thumbnailTile = 65536};
    const std::pair<fs::path, test::TiffLayout> bombs[] = {
        {book / "p1.tif", hugeTile}, {masks / "p2.tif", hugeTile}, {book / "p3.tif", hugeThumbnail}};
    std::string refusals;
    for (const auto& [path, layout] : bombs) {
        test::WriteGreyTiff(path, 100, 100, layout, [](unsigned, unsigned) { return 0; });
        ASSERT_LT(fs::file_size(path), 1000u);
        refusals += CannotReadMessage(path.string()) + "\n";
    }
    ExpectRefusalsWithinMemory({"-j", "1", "back", book.string()},
                               refusals + UnwrittenPagesMessage(3, 4) + "\n");
    EXPECT_EQ(test::SortedNames(book / "pics"), std::vector<std::string>{"p4.tif"});
}

// A 24000 x 24000 mask of 8-bit pixels (half a megabyte of Deflate, within the megapixel limit) beside an
// ordinary page is refused for its depth with the message an ordinary 8-bit mask gets, by the run and the dry
// run, from its header: no process of the run comes near the 1.1 GB that decoding it takes. Beside a TIFF
// page the strip copy reads the mask first, beside a BMP page the decoding path.
TEST_F(CliTest, AMaskOfAnotherDepthIsRefusedWithoutDecodingIt) {
    MakeBook(book, 3, true);
    const fs::path masks = book / "cache" / "automask";
    const fs::path wide = dir.Path() / "wide.tif";
    test::WriteGreyTiff(wide, 24000, 24000, {}, [](unsigned, unsigned) { return 0; });
    ASSERT_LT(fs::file_size(wide), 1u << 20);
    test::Save(MakeImage(24, 8, 8, [](unsigned, unsigned) { return 1; }).get(), masks / "p2.tif");
    fs::remove(book / "p1.tif");
    fs::remove(masks / "p1.tif");
    for (const auto& [name, format] : {std::pair{"p1.tif", FIF_TIFF}, std::pair{"p1.bmp", FIF_BMP}}) {
        test::Save(MakeImage(24, 8, 8, [](unsigned x, unsigned) { return x; }).get(), book / name, format);
        fs::copy_file(wide, masks / name);
        const std::string refusals = MaskNotOneBitMessage((masks / name).string()) + "\n" +
                                     MaskNotOneBitMessage((masks / "p2.tif").string()) + "\n";
        SCOPED_TRACE(name);
        ExpectRefusalsWithinMemory({"-j", "1", "--max-megapixels", "600", "back", book.string()},
                                   refusals + UnwrittenPagesMessage(2, 3) + "\n");
        EXPECT_EQ(test::SortedNames(book / "pics"), std::vector<std::string>{"p3.tif"});
        fs::remove(book / name);
        fs::remove(masks / name);
    }
}

// Every input that crashed a decoder inside FreeImage (fuzz/regressions/contained; the first byte picks the
// extension, as in the fuzz target) costs only its page, as a page and as a mask between ordinary pages: in
// the core's run and in orfeo-cli's run and dry run, none of which decodes it in its own process.
// A stand-in for a worker taken over by a hostile page (the probe worker of the tests in the place of
// orfeo-worker, which does the work of every page but tries something on p1): whatever it tries, the run
// goes on, every page it wrote is what a sound worker writes, and one that kept a file is named for its page.
TEST_F(CliTest, AHostileWorkerCannotHarmTheRunOrTheWrittenPages) {
    const fs::path tree = dir.Path() / "usr";
    fs::create_directories(tree / "bin");
    fs::create_directories(tree / "libexec" / "orfeo");
    fs::copy_file(ORFEO_CLI, tree / "bin" / "orfeo-cli");
    fs::copy_file(ORFEO_PROBE_WORKER, tree / "libexec" / "orfeo" / "orfeo-worker");
    MakeBook(book, 3, true);
    ASSERT_EQ(Cli({"-q", "back", book.string()}).status, 0);
    std::map<std::string, std::string> sound;
    for (const char* name : {"p1.tif", "p2.tif", "p3.tif"}) sound[name] = Slurp(book / "pics" / name);
    const std::string page = Slurp(book / "p1.tif");
    for (const std::string action : {"keep", "signal", "lease", "look"}) {
        SCOPED_TRACE(action);
        test::WriteFile(book / "p1.tif", page + "PROBE:" + action);
        const CliRun run =
            Cli({"-q", "-j", "1", "back", book.string()}, (tree / "bin" / "orfeo-cli").string());
        if (action == "keep") {
            EXPECT_EQ(run.status, 1);
            EXPECT_EQ(run.err, WorkerKeptFilesMessage((book / "p1.tif").string()) + "\n" +
                                   UnwrittenPagesMessage(1, 3) + "\n");
            EXPECT_EQ(test::SortedNames(book / "pics"), (std::vector<std::string>{"p2.tif", "p3.tif"}));
        } else {
            EXPECT_EQ(run.status, 0) << run.err;
            EXPECT_EQ(test::SortedNames(book / "pics"),
                      (std::vector<std::string>{"p1.tif", "p2.tif", "p3.tif"}));
        }
        for (const auto& written : fs::directory_iterator(book / "pics"))
            EXPECT_EQ(Slurp(written.path()), sound[written.path().filename().string()]) << written.path();
    }
}

// A page that needs more memory than a worker may have is named with the limit in force: a lower one set
// on the run (ulimit -v) rather than what the megapixel limit would allow.
TEST_F(CliTest, TheMemoryMessageQuotesTheLimitInForce) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer needs more address space than the limit";
#endif
    const fs::path tree = dir.Path() / "usr";
    fs::create_directories(tree / "bin");
    fs::create_directories(tree / "libexec" / "orfeo");
    fs::copy_file(ORFEO_CLI, tree / "bin" / "orfeo-cli");
    fs::copy_file(ORFEO_PROBE_WORKER, tree / "libexec" / "orfeo" / "orfeo-worker");
    MakeBook(book, 1, true);
    test::WriteFile(book / "p1.tif", "PROBE:oom");
    const std::string command = "ulimit -v 1000000 && " + ShellQuoted((tree / "bin" / "orfeo-cli").string()) +
                                " -q back " + ShellQuoted(book.string()) + " 2>" +
                                ShellQuoted((dir.Path() / "err.txt").string());
    const int raw = std::system(command.c_str());
    EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 1) << raw;
    EXPECT_EQ(Slurp(dir.Path() / "err.txt"),
              WorkerOutOfMemoryMessage((book / "p1.tif").string(), "", 1000000 / 1024) + "\n" +
                  UnwrittenPagesMessage(1, 1) + "\n");
}

TEST_F(CliTest, InputsThatCrashADecoderCostOnlyTheirPage) {
    static constexpr const char* kExtensions[] = {"bmp", "jpeg", "jpg", "gif", "tiff",
                                                  "tif", "pnm",  "ppm", "pgm", "pbm"};
    std::size_t inputs = 0;
    for (const auto& file : fs::directory_iterator(ORFEO_CONTAINED)) {
        const std::string bytes = Slurp(file.path());
        ASSERT_GT(bytes.size(), 1u);
        const std::string name = std::string("p2.") + kExtensions[static_cast<unsigned char>(bytes[0]) % 10];
        ++inputs;
        for (bool asMask : {false, true}) {
            SCOPED_TRACE(file.path().filename().string() + (asMask ? " as a mask" : " as a page"));
            fs::remove_all(book);
            MakeBook(book, 3, true);
            const fs::path masks = book / "cache" / "automask";
            fs::remove(book / "p2.tif");
            fs::remove(masks / "p2.tif");
            const fs::path hostile = asMask ? masks / name : book / name;
            test::WriteFile(hostile, bytes.substr(1));
            fs::copy_file(asMask ? book / "p1.tif" : masks / "p1.tif", asMask ? book / name : masks / name);

            CScanList list;
            TextHolder input, output;
            ScanFolder(book.string(), list, input, output, kPicsSubfolder);
            test::RecordingSink sink;
            const BatchResult result = CreateBackSubscans(list, input.GetText(), output.GetText(), sink);
            EXPECT_EQ(result.written, 2u);
            const std::vector<std::string> texts = sink.Texts();
            ASSERT_GE(texts.size(), 2u);
            for (std::size_t i = 0; i + 1 < texts.size(); ++i)
                EXPECT_NE(texts[i].find(hostile.string()), std::string::npos) << texts[i];
            EXPECT_EQ(test::SortedNames(book / "pics"), (std::vector<std::string>{"p1.tif", "p3.tif"}));

            CliRun run = Cli({"back", book.string()});
            EXPECT_EQ(run.status, 1);
            EXPECT_NE(run.err.find(hostile.string()), std::string::npos) << run.err;
            EXPECT_NE(run.out.find("Processing ended."), std::string::npos);
            EXPECT_EQ(test::SortedNames(book / "pics"), (std::vector<std::string>{"p1.tif", "p3.tif"}));

            run = Cli({"--dry-run", "back", book.string()});
            EXPECT_TRUE(run.status == 0 || run.status == 1) << run.status << run.err;
            EXPECT_NE(run.out.find("p3.tif"), std::string::npos) << run.out;

            // A worker's end is named where it happened: before the messages of the files after it.
            if (!asMask) {
                fs::remove(masks / name);
                test::RecordingSink ordered;
                CreateBackSubscans(list, input.GetText(), output.GetText(), ordered);
                const std::vector<std::string> said = ordered.Texts();
                ASSERT_EQ(said.size(), 3u);
                EXPECT_NE(said[0].find(hostile.string()), std::string::npos) << said[0];
                EXPECT_EQ(said[1], FileNotFoundMessage((masks / name).string()));
            }
        }
    }
    EXPECT_GT(inputs, 0u);
}

}  // namespace
}  // namespace orfeo
