#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "protocol/Messages.h"
#include "run/BackSubscans.h"
#include "run/DryRun.h"
#include "run/FolderLock.h"
#include "run/MergeSubscans.h"
#include "scan/FolderScan.h"
#include "scan/Paths.h"
#include "tests/support/Files.h"
#include "tests/support/Fixtures.h"

namespace orfeo {
namespace {

namespace fs = std::filesystem;
using test::RecordingSink;
using test::TempDir;

class FolderLockTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto page = test::MakeImage(16, 4, 8, [](unsigned x, unsigned) { return x; });
        const auto mask = test::MakeMask(16, 4, [](unsigned x, unsigned) { return x < 5; });
        test::Save(page.get(), book / "p.tif");
        test::Save(mask.get(), book / "cache" / "automask" / "p.tif");
        test::Save(page.get(), book2 / "q.tif");
        test::WriteFile(book / "pics" / "earlier.tif", "from the run before");
        ScanFolder(book.string(), list1, input, output, kPicsSubfolder);
        ScanFolder(book2.string(), list2, input2, output2, kNewScansSubfolder);
    }

    BatchResult Back() { return CreateBackSubscans(list1, input.GetText(), output.GetText(), sink); }

    TempDir dir;
    fs::path book = dir.Path() / "book", book2 = dir.Path() / "book2";
    CScanList list1, list2;
    TextHolder input, output, input2, output2;
    RecordingSink sink;
};

TEST_F(FolderLockTest, ASecondRunOnTheSameOutputIsRefusedAndTouchesNothing) {
    {
        const FolderLock first(output.GetText());
        ASSERT_FALSE(first.Busy());
        EXPECT_TRUE(Back().refused);
        EXPECT_TRUE(fs::exists(book / "pics" / "earlier.tif"));
    }
    EXPECT_EQ(sink.Texts().front(), FolderInUseMessage(output.GetText()));
    sink.messages.clear();
    EXPECT_TRUE(Back().Succeeded());
    EXPECT_FALSE(fs::exists(book / "pics" / "earlier.tif"));
}

// The lock is held through the output folder's place, which stays while the run empties the folder and
// makes it anew: a second run that comes after the reset is refused all the same.
TEST_F(FolderLockTest, TheLockOutlivesTheOutputFoldersReset) {
    const FolderLock first(output.GetText());
    ASSERT_FALSE(first.Busy());
    fs::remove_all(book / "pics");
    fs::create_directory(book / "pics");
    EXPECT_TRUE(Back().refused);
    EXPECT_EQ(sink.Texts(), std::vector<std::string>{FolderInUseMessage(output.GetText())});
}

// A run that writes excludes runs that read what it writes, and the other way round; readers share.
TEST_F(FolderLockTest, WritersExcludeReadersOfTheirFoldersAndReadersShare) {
    const std::string pics = output.GetText(), cache = input.GetText() + "cache/automask/";
    auto merge = [&] { return MergeSubscans(list1, list2, input.GetText(), pics, output2.GetText(), sink); };
    {
        const FolderLock backRun(pics, {input.GetText(), cache});
        EXPECT_TRUE(merge().refused);  // it would read back subscans being rewritten
        EXPECT_EQ(sink.Texts().back(), FolderInUseMessage(pics));
    }
    {
        const FolderLock mergeRun(output2.GetText(), {book2.string(), cache, pics});
        EXPECT_TRUE(Back().refused);  // it would rewrite back subscans being read
        const FolderLock otherReader((dir.Path() / "book3" / "new_scans").string(), {cache, pics});
        EXPECT_FALSE(otherReader.Busy());
    }
    sink.messages.clear();
    EXPECT_TRUE(Back().Succeeded());
    EXPECT_TRUE(merge().Succeeded());
}

// A dry run foresees every refusal of the real run from the locks that runs hold, and holds none itself:
// while a real run holds its locks, a dry run beside it is free to look, and says what the run would say.
TEST_F(FolderLockTest, ADryRunSeesTheLocksOfRunsWithoutTakingAny) {
    const std::string pics = output.GetText(), cache = input.GetText() + "cache/automask/";
    EXPECT_EQ(FolderLock::WhoWouldRefuse(pics, {input.GetText(), cache}), "");
    {
        const FolderLock backRun(pics, {input.GetText(), cache});
        EXPECT_EQ(FolderLock::WhoWouldRefuse(pics), pics);                              // the same output
        EXPECT_EQ(FolderLock::WhoWouldRefuse(output2.GetText(), {cache, pics}), pics);  // a merge reading it
        EXPECT_EQ(PlanBackSubscans(list1, input.GetText(), pics).before,
                  std::vector<std::string>{FolderInUseMessage(pics)});
    }
    {
        const FolderLock mergeRun(output2.GetText(), {book2.string(), cache, pics});
        EXPECT_EQ(FolderLock::WhoWouldRefuse(pics, {input.GetText(), cache}),
                  pics);  // rewriting what it reads
        EXPECT_EQ(FolderLock::WhoWouldRefuse((dir.Path() / "book3" / "new_scans").string(), {cache, pics}),
                  "");  // readers share
        // Its own look leaves the lock table as it was: another reader still gets its shared locks.
        const FolderLock otherReader((dir.Path() / "book3" / "new_scans").string(), {cache, pics});
        EXPECT_FALSE(otherReader.Busy());
    }
}

TEST_F(FolderLockTest, ALockLeftByAKilledRunNeverBlocks) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const FolderLock held(output.GetText());
        const char state = held.Busy() ? 'n' : 'y';
        (void)!write(ready[1], &state, 1);
        pause();
        _exit(0);
    }
    char state = 0;
    ASSERT_EQ(read(ready[0], &state, 1), 1);
    EXPECT_EQ(state, 'y');
    EXPECT_TRUE(Back().refused);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
    sink.messages.clear();
    EXPECT_TRUE(Back().Succeeded());
    EXPECT_EQ(sink.Texts(), std::vector<std::string>{"Processing ended."});
}

}  // namespace
}  // namespace orfeo
