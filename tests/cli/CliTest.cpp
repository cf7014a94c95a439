#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/Fixtures.h"

namespace orfeo {
namespace {

namespace fs = std::filesystem;
using test::MakeImage;
using test::MakeMask;
using test::TempDir;

struct CliRun {
    int status = -1;
    std::string out, err;
};

std::string Slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

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
    CliRun Cli(const std::vector<std::string>& args) {
        std::string command = ShellQuoted(ORFEO_CLI);
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

    void MakeBook(const fs::path& folder, unsigned pages, bool masks, unsigned offset = 0) {
        for (unsigned i = 1; i <= pages; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "p%u.tif", i);
            test::Save(MakeImage(24, 8, 8, [=](unsigned x, unsigned y) { return x + y + i + offset; }).get(), folder / name);
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
    EXPECT_EQ(back.err, "File \"" + book.string() + "/cache/automask/p2.tif\" not found.\n");
    EXPECT_EQ(back.out, "Processing ended.\n");
    EXPECT_TRUE(fs::exists(book / "pics" / "p3.tif"));
}

TEST_F(CliTest, MaxMegapixelsRefusesLargerImages) {
    MakeBook(book, 1, true);  // 24 x 8 pages: 192 pixels
    CliRun run = Cli({"--max-megapixels", "0.0001", "back", book.string()});
    EXPECT_EQ(run.status, 1);
    const std::string tooLarge = "\" is too large: 24 x 8 pixels, more than 0.0001 megapixels.\n";
    EXPECT_EQ(run.err, "File \"" + book.string() + "/p1.tif" + tooLarge + "File \"" + book.string() +
                           "/cache/automask/p1.tif" + tooLarge);
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
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, {"back"}, {"merge", book.string()}, {"frobnicate", book.string()},
          {"back", (dir.Path() / "missing").string()}, {"back", book.string(), "extra"},
          {"-j", "0", "back", book.string()}, {"back", "--jobs", "many", book.string()}}) {
        CliRun run = Cli(args);
        EXPECT_EQ(run.status, 2) << run.err;
        EXPECT_NE(run.err.find("Usage: orfeo-cli [-j N] [-q] [--max-megapixels N] back FOLDER"), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "");
    }
    EXPECT_FALSE(fs::exists(book / "pics"));
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
    const std::string command = ShellQuoted(ORFEO_CLI) + " -j 2 back " + ShellQuoted(book.string()) + " <&- >&- 2>&-";
    const int raw = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(raw));
    EXPECT_EQ(WEXITSTATUS(raw), 1);
    for (const char* name : {"p1.tif", "p3.tif", "p5.tif", "p7.tif"}) {
        EXPECT_EQ(Slurp(book / "pics" / name).find("not found"), std::string::npos) << name;
        EXPECT_TRUE(test::Load(book / "pics" / name)) << name;
    }
}

// A file name cannot forge a message line or reach the terminal as an escape sequence.
TEST_F(CliTest, ControlCharactersInNamesAreShownEscaped) {
    MakeBook(book, 1, true);
    const std::string name = std::string("a\nFile \"x\" not found.\x1b[2J\x7f\xc2\x9b") + "b.tif";
    fs::copy_file(book / "p1.tif", book / name);
    CliRun run = Cli({"back", book.string()});
    EXPECT_EQ(run.err, "File \"" + book.string() + "/cache/automask/a\\x0AFile \"x\" not found.\\x1B[2J\\x7F" +
                           "\\xC2\\x9Bb.tif\" not found.\n");
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
    EXPECT_EQ(one.err, "File \"" + book.string() + "/cache/automask/p3.tif\" not found.\n" +
                           "File \"" + book.string() + "/cache/automask/p7.tif\" cannot be read.\n");
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
    // SIGINT twice ends the run at once: what it leaves under a page's name is whole all the same.
    for (const auto& [signal, twice] : {std::pair{SIGINT, false}, {SIGTERM, false}, {SIGINT, true}}) {
        fs::remove_all(book / "pics");
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            std::freopen("/dev/null", "w", stdout);
            std::freopen("/dev/null", "w", stderr);
            execl(ORFEO_CLI, ORFEO_CLI, "-j", "2", "back", book.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        // Interrupt as soon as the first page is written, with most of the batch still to come.
        const fs::path first = book / "pics" / "p001.tif";
        for (int waited = 0; waited < 20000 && !fs::exists(first); ++waited) usleep(500);
        kill(child, signal);
        if (twice) kill(child, signal);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 128 + signal);
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

TEST_F(CliTest, HelpAndVersion) {
    CliRun help = Cli({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("merge"), std::string::npos);
    CliRun version = Cli({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("orfeo-cli ", 0), 0u) << version.out;
}

}  // namespace
}  // namespace orfeo
