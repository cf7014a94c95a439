#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "imaging/BackSubscans.h"
#include "imaging/ImageFile.h"
#include "imaging/OutputFile.h"
#include "scan/FolderScan.h"
#include "scan/Paths.h"
#include "tests/support/Files.h"
#include "tests/support/Fixtures.h"

namespace orfeo {
namespace {

namespace fs = std::filesystem;
using test::RecordingSink;
using test::TempDir;

// Tests run as root, where permissions cannot make a write fail: the failures are injected instead.
class WriteFaultTest : public ::testing::Test {
protected:
    void TearDown() override {
        OutputFile::FailWritesAfter(std::nullopt);
        OutputFile::FailDiskFlushes(false);
    }

    std::vector<std::string> Entries() { return test::SortedNames(dir.Path()); }

    TempDir dir;
};

TEST_F(WriteFaultTest, AFailingWriteLeavesTheOldFileAndNothingElse) {
    const auto page = test::MakeImage(300, 200, 8, [](unsigned x, unsigned y) { return (x * y) % 251; });
    for (const char* name : {"p.tif", "p.bmp", "p.pgm", "p.gif", "p.jpg"}) {
        for (std::uint64_t after : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{100}, std::uint64_t{3000}}) {
            SCOPED_TRACE(std::string(name) + " failing after " + std::to_string(after) + " bytes");
            const std::string path = dir.Folder() + name;
            test::WriteFile(path, "the earlier version");
            OutputFile::FailWritesAfter(after);
            RecordingSink sink;
            EXPECT_FALSE(SaveImageFile(page.get(), path, sink));
            OutputFile::FailWritesAfter(std::nullopt);
            EXPECT_EQ(sink.Texts(),
                      std::vector<std::string>{"File \"" + path + "\" could not be written: No space left on device."});
            EXPECT_EQ(Entries(), std::vector<std::string>{name});
            EXPECT_EQ(test::Slurp(path), "the earlier version");
            fs::remove(path);
        }
    }
}

// The data reaches the disk before the new name does: when it cannot, the earlier file stays.
TEST_F(WriteFaultTest, AFailingFlushToTheDiskKeepsTheEarlierFile) {
    const auto page = test::MakeImage(30, 20, 8, [](unsigned x, unsigned y) { return x + y; });
    const std::string path = dir.Folder() + "p.tif";
    test::WriteFile(path, "the earlier version");
    OutputFile::FailDiskFlushes(true);
    RecordingSink sink;
    EXPECT_FALSE(SaveImageFile(page.get(), path, sink));
    EXPECT_EQ(sink.Texts(), std::vector<std::string>{"File \"" + path + "\" could not be written: Input/output error."});
    EXPECT_EQ(Entries(), std::vector<std::string>{"p.tif"});
    OutputFile::FailDiskFlushes(false);
    EXPECT_TRUE(SaveImageFile(page.get(), path, sink));
    EXPECT_TRUE(test::SamePixels(test::Load(path).get(), page.get()));
}

// Plug-ins write empty blocks: the GIF writer does when its data ends on a full sub-block (this image),
// and for empty comments. Such a save is whole and must not count as failed.
TEST_F(WriteFaultTest, EmptyWritesOfAPlugInAreNoFailure) {
    const auto page = test::MakeImage(88, 7, 8, [](unsigned x, unsigned y) { return (x * 31 + y * 17) % 256; });
    const std::string path = dir.Folder() + "p.gif";
    RecordingSink sink;
    EXPECT_TRUE(SaveImageFile(page.get(), path, sink));
    EXPECT_EQ(sink.Texts(), std::vector<std::string>{});
    EXPECT_TRUE(test::SamePixels(test::Load(path).get(), page.get()));
}

TEST_F(WriteFaultTest, AFullDiskInABatchIsReportedForEveryPage) {
    const fs::path book = dir.Path() / "book";
    const auto page = test::MakeImage(64, 64, 8, [](unsigned x, unsigned y) { return test::Mix(x * 64 + y) & 0xFF; });
    const auto mask = test::MakeMask(64, 64, [](unsigned x, unsigned) { return x < 9; });
    for (const char* name : {"a.tif", "b.tif", "c.tif"}) {
        test::Save(page.get(), book / name);
        test::Save(mask.get(), book / "cache" / "automask" / name);
    }
    CScanList list;
    TextHolder input, output;
    ScanFolder(book.string(), list, input, output, kPicsSubfolder);
    OutputFile::FailWritesAfter(500);
    RecordingSink sink;
    const BatchResult result = CreateBackSubscans(list, input.GetText(), output.GetText(), sink);
    OutputFile::FailWritesAfter(std::nullopt);
    EXPECT_EQ(result.written, 0u);
    ASSERT_EQ(sink.messages.size(), 4u);
    EXPECT_EQ(sink.messages[1].second,
              "File \"" + output.GetText() + "b.tif\" could not be written: No space left on device.");
    EXPECT_TRUE(fs::is_empty(book / "pics"));
}

}  // namespace
}  // namespace orfeo
