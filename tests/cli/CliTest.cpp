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
    for (int signal : {SIGINT, SIGTERM}) {
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
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 128 + signal);
        std::size_t written = 0;
        for (const auto& entry : fs::directory_iterator(book / "pics")) {
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
