#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "process/Cores.h"
#include "protocol/Messages.h"
#include "run/BackSubscans.h"
#include "run/MergeSubscans.h"
#include "scan/FolderScan.h"
#include "scan/Paths.h"
#include "tests/support/Files.h"
#include "tests/support/Fixtures.h"

namespace orfeo {
namespace {

namespace fs = std::filesystem;
using test::MakeImage;
using test::MakeMask;
using test::RecordingSink;
using test::TempDir;

constexpr unsigned kEntries = 28;
constexpr unsigned kWidth = 37, kHeight = 9;

std::string PageName(unsigned i) {
    char name[32];
    std::snprintf(name, sizeof name, "page%02u.%s", i, i % 7 == 4 ? "jpg" : "tif");
    return name;
}

// A batch that mixes good entries with every kind of failing one.
void MakeMixedBook(const fs::path& book, const fs::path& book2) {
    for (unsigned i = 0; i < kEntries; ++i) {
        const std::string name = PageName(i);
        const fs::path mask = book / "cache" / "automask" / name;
        auto marked = [i](unsigned x, unsigned y) { return (x * 3 + y + i) % 5 < 2; };
        switch (i % 7) {
            case 1:  // no mask
                test::Save(MakeImage(kWidth, kHeight, 8, [i](unsigned x, unsigned) { return x + i; }).get(),
                           book / name);
                break;
            case 2:  // a broken mask
                test::Save(MakeImage(kWidth, kHeight, 8, [i](unsigned x, unsigned) { return x + i; }).get(),
                           book / name);
                test::WriteFile(mask, "II*\0 not really a TIFF");
                break;
            case 3:  // a page that does not decode
                test::WriteFile(book / name, "scanner hiccup");
                test::Save(MakeMask(kWidth, kHeight, marked).get(), mask);
                break;
            case 4:  // a one-bit page named .jpg: loads by content, but JPEG cannot hold it
                test::Save(MakeMask(kWidth, kHeight, marked).get(), book / name);
                test::Save(MakeMask(kWidth, kHeight, marked).get(), mask);
                break;
            case 5:  // a mask smaller than its page
                test::Save(MakeImage(kWidth, kHeight, 8, [i](unsigned x, unsigned) { return x + i; }).get(),
                           book / name);
                test::Save(MakeMask(kWidth - 8, kHeight, marked).get(), mask);
                break;
            default:
                test::Save(
                    MakeImage(kWidth, kHeight, 8, [i](unsigned x, unsigned y) { return x * y + i; }).get(),
                    book / name);
                test::Save(MakeMask(kWidth, kHeight, marked).get(), mask);
        }
        test::Save(MakeImage(kWidth, kHeight, 8, [i](unsigned x, unsigned) { return 200 - x - i; }).get(),
                   book2 / ("new" + name));
    }
}

struct BatchRuns {
    std::vector<std::string> back, merge;  // messages, with the run's own folder written as "<root>"
    std::map<std::string, std::string> pics, newScans;
    BatchResult backResult, mergeResult;
};

std::vector<std::string> Relative(const RecordingSink& sink, const std::string& root) {
    std::vector<std::string> texts;
    for (std::string text : sink.Texts()) {
        for (std::size_t at; (at = text.find(root)) != std::string::npos;)
            text.replace(at, root.size(), "<root>");
        texts.push_back(text);
    }
    return texts;
}

BatchRuns RunBoth(unsigned workers) {
    TempDir dir;
    const fs::path book = dir.Path() / "book", book2 = dir.Path() / "book2";
    MakeMixedBook(book, book2);
    CScanList list1, list2;
    TextHolder input, output, input2, output2;
    ScanFolder(book.string(), list1, input, output, kPicsSubfolder);
    ScanFolder(book2.string(), list2, input2, output2, kNewScansSubfolder);
    JobOptions options;
    options.workers = workers;
    BatchRuns run;
    RecordingSink backSink, mergeSink;
    run.backResult = CreateBackSubscans(list1, input.GetText(), output.GetText(), backSink, options);
    run.mergeResult =
        MergeSubscans(list1, list2, input.GetText(), output.GetText(), output2.GetText(), mergeSink, options);
    run.back = Relative(backSink, dir.Path().string());
    run.merge = Relative(mergeSink, dir.Path().string());
    run.pics = test::Snapshot(book / "pics");
    run.newScans = test::Snapshot(book2 / "new_scans");
    return run;
}

TEST(ParallelRuns, WriteTheSameFilesAndMessagesAsOneAtATime) {
    const BatchRuns sequential = RunBoth(1);
    ASSERT_EQ(sequential.back.size(), 5 * kEntries / 7 + 1);  // one message per failing entry, and the end
    EXPECT_EQ(sequential.backResult.written, 2 * kEntries / 7);
    for (unsigned workers : {2u, 5u}) {
        SCOPED_TRACE("workers " + std::to_string(workers));
        const BatchRuns parallel = RunBoth(workers);
        EXPECT_EQ(parallel.back, sequential.back);
        EXPECT_EQ(parallel.merge, sequential.merge);
        EXPECT_EQ(parallel.backResult.written, sequential.backResult.written);
        EXPECT_EQ(parallel.mergeResult.written, sequential.mergeResult.written);
        EXPECT_TRUE(parallel.pics == sequential.pics);  // byte for byte
        EXPECT_TRUE(parallel.newScans == sequential.newScans);
    }
}

// Everything under `root` but the output folders.
std::map<std::string, std::string> Inputs(const fs::path& root) {
    std::map<std::string, std::string> files = test::Snapshot(root);
    std::erase_if(files, [](const auto& file) {
        return file.first.starts_with("book/pics") || file.first.starts_with("book2/new_scans");
    });
    return files;
}

TEST(ParallelRuns, NeverChangeAnInputFile) {
    TempDir dir;
    const fs::path book = dir.Path() / "book", book2 = dir.Path() / "book2";
    MakeMixedBook(book, book2);
    const auto before = Inputs(dir.Path());
    ASSERT_GT(before.size(), 2 * kEntries);
    CScanList list1, list2;
    TextHolder input, output, input2, output2;
    ScanFolder(book.string(), list1, input, output, kPicsSubfolder);
    ScanFolder(book2.string(), list2, input2, output2, kNewScansSubfolder);
    RecordingSink sink;
    for (int round = 0; round < 2; ++round) {
        CreateBackSubscans(list1, input.GetText(), output.GetText(), sink);
        MergeSubscans(list1, list2, input.GetText(), output.GetText(), output2.GetText(), sink);
    }
    EXPECT_TRUE(Inputs(dir.Path()) == before);
}

class StopAndProgressTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (unsigned i = 0; i < kEntries; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "p%03u.tif", 100 + i);
            test::Save(MakeImage(kWidth, kHeight, 8, [i](unsigned x, unsigned) { return x + i; }).get(),
                       book / name);
            test::Save(MakeMask(kWidth, kHeight, [](unsigned x, unsigned) { return x % 3 == 0; }).get(),
                       book / "cache" / "automask" / name);
        }
        ScanFolder(book.string(), list, input, output, kPicsSubfolder);
    }

    TempDir dir;
    fs::path book = dir.Path() / "book";
    CScanList list;
    TextHolder input, output;
};

TEST_F(StopAndProgressTest, ProgressReachesEveryEntryOnceInOrder) {
    std::vector<std::size_t> done;
    std::vector<std::string> names;
    JobOptions options;
    options.workers = 4;
    options.progress = [&](std::size_t count, std::size_t total, const std::string& name) {
        EXPECT_EQ(total, kEntries);
        done.push_back(count);
        names.push_back(name);
    };
    RecordingSink sink;
    EXPECT_TRUE(CreateBackSubscans(list, input.GetText(), output.GetText(), sink, options).Succeeded());
    ASSERT_EQ(done.size(), kEntries);
    for (std::size_t i = 0; i < kEntries; ++i) {
        EXPECT_EQ(done[i], i + 1);
        EXPECT_EQ(names[i], list.GetAt(i).name);
    }
}

TEST_F(StopAndProgressTest, StopLeavesOnlyCompleteOutputsAndSaysHowMany) {
    for (unsigned workers : {1u, 3u}) {
        for (std::size_t stopAfter : {std::size_t{1}, std::size_t{9}}) {
            SCOPED_TRACE("workers " + std::to_string(workers) + ", stop after " + std::to_string(stopAfter));
            std::atomic<bool> stop{false};
            JobOptions options;
            options.workers = workers;
            options.stop = &stop;
            options.progress = [&](std::size_t done, std::size_t, const std::string&) {
                if (done == stopAfter) stop = true;
            };
            RecordingSink sink;
            const BatchResult result =
                CreateBackSubscans(list, input.GetText(), output.GetText(), sink, options);
            EXPECT_TRUE(result.stopped);
            EXPECT_FALSE(result.Succeeded());
            EXPECT_GE(result.written, stopAfter);
            EXPECT_LE(result.written, stopAfter + workers + 1);  // only the entries in flight went on
            EXPECT_EQ(sink.Texts(), (std::vector<std::string>{StoppedMessage(result.written, kEntries),
                                                              ProcessingEndedMessage()}));
            std::size_t files = 0;
            for (const auto& entry : fs::directory_iterator(book / "pics")) {
                ++files;
                EXPECT_EQ(entry.path().extension(), ".tif");
                ImagePtr written = test::Load(entry.path());
                ASSERT_TRUE(written) << entry.path();
                EXPECT_EQ(FreeImage_GetWidth(written.get()), kWidth);
            }
            EXPECT_EQ(files, result.written);
        }
    }
}

// A stop asked for before the reset leaves the output folder as it was.
TEST_F(StopAndProgressTest, AStopBeforeTheResetTouchesNothing) {
    test::WriteFile(book / "pics" / "earlier.tif", "an earlier run's page");
    const auto before = test::Snapshot(book / "pics");
    std::atomic<bool> stop{true};
    JobOptions options;
    options.stop = &stop;
    RecordingSink sink;
    const BatchResult result = CreateBackSubscans(list, input.GetText(), output.GetText(), sink, options);
    EXPECT_TRUE(result.stopped);
    EXPECT_EQ(result.written, 0u);
    EXPECT_EQ(sink.Texts(),
              (std::vector<std::string>{StoppedMessage(0, kEntries), ProcessingEndedMessage()}));
    EXPECT_EQ(test::Snapshot(book / "pics"), before);
}

// A container's CPU limit lowers the default number of workers: the lowest limit on the way up counts,
// with cgroup v2's cpu.max or v1's quota and period, and "max" or -1 is no limit.
TEST(AvailableCoresTest, CgroupCpuLimitTakesTheLowestQuotaOnTheWay) {
    struct Case {
        const char* procSelfCgroup;
        std::map<std::string, std::string> files;  // under the cgroup root
        unsigned limit;
    };
    const Case cases[] = {
        {"0::/\n", {}, 0},
        {"0::/a/b\n", {{"a/b/cpu.max", "max 100000\n"}}, 0},
        {"0::/a/b\n", {{"a/b/cpu.max", "150000 100000\n"}}, 2},
        {"0::/a/b\n", {{"a/b/cpu.max", "400000 100000\n"}, {"a/cpu.max", "50000 100000\n"}}, 1},
        {"0::/elsewhere\n", {{"cpu.max", "300000 100000\n"}}, 3},  // a container sees its group as the root
        {"0::/a\n", {{"unified/a/cpu.max", "200000 100000\n"}}, 2},
        {"4:cpu,cpuacct:/x\n0::/\n",
         {{"cpu/x/cpu.cfs_quota_us", "-1\n"}, {"cpu/x/cpu.cfs_period_us", "100000\n"}},
         0},
        {"4:cpu,cpuacct:/x\n",
         {{"cpu,cpuacct/x/cpu.cfs_quota_us", "250000\n"}, {"cpu,cpuacct/x/cpu.cfs_period_us", "100000\n"}},
         3},
        {"3:cpuacct:/x\n",
         {{"cpuacct/x/cpu.cfs_quota_us", "100000\n"}, {"cpuacct/x/cpu.cfs_period_us", "100000\n"}},
         0},
        {"garbage\n0::/a\n", {{"a/cpu.max", "nonsense\n"}}, 0},
    };
    for (const Case& c : cases) {
        TempDir root;
        for (const auto& [path, content] : c.files) test::WriteFile(root.Path() / path, content);
        EXPECT_EQ(CgroupCpuLimit(c.procSelfCgroup, root.Path().string()), c.limit) << c.procSelfCgroup;
    }
    EXPECT_GE(AvailableCores(), 1u);
}

}  // namespace
}  // namespace orfeo
