#include <gtest/gtest.h>
#include <sys/wait.h>

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
        EXPECT_NE(run.err.find("Usage: orfeo-cli [-j N] [-q] back FOLDER"), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "");
    }
    EXPECT_FALSE(fs::exists(book / "pics"));
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
