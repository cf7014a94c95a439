#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "protocol/Messages.h"
#include "run/BackSubscans.h"
#include "run/DryRun.h"
#include "run/MergeSubscans.h"
#include "scan/FolderScan.h"
#include "scan/Paths.h"
#include "tests/support/Files.h"
#include "tests/support/Fixtures.h"

namespace orfeo {
namespace {

namespace fs = std::filesystem;
using test::GetPixel;
using test::MakeImage;
using test::MakeMask;
using test::RecordingSink;
using test::TempDir;

constexpr unsigned kWidth = 21, kHeight = 6;

bool MaskOf(unsigned page, unsigned x, unsigned y) { return (x + y + page) % 3 == 0; }
std::uint64_t PageValue(unsigned page, unsigned x, unsigned y) { return (x * 7 + y * 13 + page * 29) % 250; }
std::uint64_t NewPageValue(unsigned page, unsigned x, unsigned y) { return (x * 3 + y * 5 + page) % 200; }

class BatchTest : public ::testing::Test {
protected:
    // Writes page<i>.tif with its mask into the first folder and, for the merge, new pages into the second.
    void MakeBook(unsigned pages) {
        for (unsigned i = 1; i <= pages; ++i) {
            const std::string name = "page" + std::to_string(i) + ".tif";
            auto page =
                MakeImage(kWidth, kHeight, 8, [i](unsigned x, unsigned y) { return PageValue(i, x, y); });
            test::Save(page.get(), book / name);
            test::Save(
                MakeMask(kWidth, kHeight, [i](unsigned x, unsigned y) { return MaskOf(i, x, y); }).get(),
                book / "cache" / "automask" / name);
            auto newPage =
                MakeImage(kWidth, kHeight, 8, [i](unsigned x, unsigned y) { return NewPageValue(i, x, y); });
            test::Save(newPage.get(), book2 / ("s_" + std::string(1, char('a' + i - 1)) + ".tif"));
        }
    }

    BatchResult Back() {
        ScanFolder(book.string(), list1, input, output, kPicsSubfolder);
        return CreateBackSubscans(list1, input.GetText(), output.GetText(), sink);
    }

    BatchResult Merge() {
        ScanFolder(book.string(), list1, input, output, kPicsSubfolder);
        ScanFolder(book2.string(), list2, input2, output2, kNewScansSubfolder);
        return MergeSubscans(list1, list2, input.GetText(), output.GetText(), output2.GetText(), sink);
    }

    TempDir dir;
    fs::path book = dir.Path() / "book";
    fs::path book2 = dir.Path() / "book2";
    CScanList list1, list2;
    TextHolder input, output, input2, output2;
    RecordingSink sink;
};

TEST_F(BatchTest, BackSubscansAreWrittenPixelExact) {
    MakeBook(3);
    const BatchResult result = Back();
    EXPECT_TRUE(result.Succeeded());
    EXPECT_EQ(result.written, 3u);
    EXPECT_EQ(sink.Texts(), std::vector<std::string>{"Processing ended."});
    EXPECT_EQ(sink.messages.back().first, MessageKind::Ended);
    for (unsigned i = 1; i <= 3; ++i) {
        ImagePtr back = test::Load(book / "pics" / ("page" + std::to_string(i) + ".tif"));
        ASSERT_TRUE(back);
        for (unsigned y = 0; y < kHeight; ++y) {
            for (unsigned x = 0; x < kWidth; ++x) {
                ASSERT_EQ(GetPixel(back.get(), x, y), MaskOf(i, x, y) ? 255u : PageValue(i, x, y));
            }
        }
    }
}

TEST_F(BatchTest, EmptyListTouchesNothing) {
    test::WriteFile(book / "pics" / "keep.tif", "k");
    test::WriteFile(book / "readme.txt", "no pages here");
    const BatchResult result = Back();
    EXPECT_TRUE(result.refused);
    EXPECT_FALSE(result.Succeeded());
    EXPECT_EQ(sink.Texts(), std::vector<std::string>{NoScansMessage()});
    EXPECT_TRUE(fs::exists(book / "pics" / "keep.tif"));
}

TEST_F(BatchTest, SecondRunClearsTheFirstRunsOutput) {
    MakeBook(2);
    Back();
    test::WriteFile(book / "pics" / "stale.tif", "from an earlier book");
    fs::remove(book / "page2.tif");
    sink.messages.clear();
    EXPECT_TRUE(Back().Succeeded());
    EXPECT_EQ(test::SortedNames(book / "pics"), std::vector<std::string>{"page1.tif"});
    // A subfolder keeps the emptied folder from being removed, and it is not made anew: the run goes on
    // into it all the same.
    fs::create_directories(book / "pics" / "old");
    sink.messages.clear();
    EXPECT_TRUE(Back().Succeeded());
    EXPECT_EQ(test::SortedNames(book / "pics"), (std::vector<std::string>{"old", "page1.tif"}));
}

TEST_F(BatchTest, FailingEntriesAreSkippedWithOneMessageAndTheRestWritten) {
    MakeBook(6);
    const std::string masks = book.string() + "/cache/automask/";
    fs::remove(masks + "page1.tif");                       // missing mask
    test::WriteFile(masks + "page2.tif", "not an image");  // undecodable mask
    test::Save(MakeMask(kWidth - 1, kHeight, [](unsigned, unsigned) { return true; }).get(),
               masks + "page3.tif");  // narrower mask
    test::Save(MakeImage(kWidth, kHeight, 8, [](unsigned, unsigned) { return 1; }).get(),
               masks + "page4.tif");  // 8-bit "mask"
    ImagePtr floats(FreeImage_AllocateT(FIT_FLOAT, kWidth, kHeight));
    test::Save(floats.get(), book / "page5.tif");  // floating-point page

    const BatchResult result = Back();
    const std::string pics = book.string() + "/pics/";
    EXPECT_EQ(
        sink.Texts(),
        (std::vector<std::string>{
            "File \"" + masks + "page1.tif\" not found.",
            "File \"" + masks + "page2.tif\" cannot be read.",
            "Mask \"" + masks + "page3.tif\" is smaller than its page \"" + book.string() + "/page3.tif\".",
            "Mask \"" + masks + "page4.tif\" is not one bit deep.",
            "File \"" + book.string() + "/page5.tif\" has a pixel type that cannot be processed.",
            "Processing ended.",
        }));
    EXPECT_EQ(result.entries, 6u);
    EXPECT_EQ(result.written, 1u);
    EXPECT_FALSE(result.Succeeded());
    EXPECT_EQ(test::SortedNames(book / "pics"), std::vector<std::string>{"page6.tif"});
}

// A mask that is not one bit deep is refused from its header, as when it was decoded: a 24000 x 24000 8-bit
// mask (half a megabyte of Deflate, 576 MB of pixels, within the default limit) is named with the message an
// ordinary 8-bit mask gets, in the order of the entries, by the back job and the merge and by their dry runs.
TEST_F(BatchTest, AMaskOfAnotherDepthIsRefusedFromItsHeader) {
    MakeBook(3);
    const std::string masks = book.string() + "/cache/automask/";
    test::WriteGreyTiff(masks + "page1.tif", 24000, 24000, {}, [](unsigned, unsigned) { return 0; });
    ASSERT_LT(fs::file_size(masks + "page1.tif"), 1u << 20);
    test::Save(MakeImage(kWidth, kHeight, 8, [](unsigned, unsigned) { return 1; }).get(),
               masks + "page2.tif");
    for (unsigned i = 1; i <= 3; ++i) {  // back subscans for the merge, so that it reaches the masks
        const std::string name = "page" + std::to_string(i) + ".tif";
        fs::create_directories(book / "pics");
        fs::copy_file(book / name, book / "pics" / name);
    }
    const std::vector<std::string> refused{MaskNotOneBitMessage(masks + "page1.tif"),
                                           MaskNotOneBitMessage(masks + "page2.tif")};
    ScanFolder(book.string(), list1, input, output, kPicsSubfolder);
    ScanFolder(book2.string(), list2, input2, output2, kNewScansSubfolder);
    EXPECT_EQ(PlanBackSubscans(list1, input.GetText(), output.GetText()).Messages(), refused);
    EXPECT_EQ(
        PlanMergeSubscans(list1, list2, input.GetText(), output.GetText(), output2.GetText()).Messages(),
        refused);
    for (const bool merge : {true, false}) {  // the merge first, while the back subscans are there
        SCOPED_TRACE(merge ? "merge" : "back");
        sink.messages.clear();
        const BatchResult result = merge ? Merge() : Back();
        std::vector<std::string> said = refused;
        said.push_back(ProcessingEndedMessage());
        EXPECT_EQ(sink.Texts(), said);
        EXPECT_EQ(result.written, 1u);
    }
}

TEST_F(BatchTest, UnwritableOutputIsReportedAndLeavesNoFile) {
    MakeBook(1);
    // A one-bit page whose name says JPEG: it loads by content, but JPEG cannot hold one bit.
    test::Save(MakeMask(kWidth, kHeight, [](unsigned x, unsigned) { return x % 2; }).get(),
               book / "bitonal.jpg");
    test::Save(MakeMask(kWidth, kHeight, [](unsigned, unsigned) { return true; }).get(),
               book / "cache" / "automask" / "bitonal.jpg");
    const BatchResult result = Back();
    EXPECT_EQ(sink.Texts(), (std::vector<std::string>{
                                "File \"" + book.string() + "/pics/bitonal.jpg\" could not be written.",
                                "Processing ended."}));
    EXPECT_EQ(result.written, 1u);
    EXPECT_FALSE(result.Succeeded());
    EXPECT_EQ(test::SortedNames(book / "pics"), std::vector<std::string>{"page1.tif"});
}

// Pages whose content the header tells one way and the loader another, or that the output's format cannot
// hold: the dry run says, for the back job and for the merge, exactly what the run then says and writes.
TEST_F(BatchTest, TheDryRunSaysWhatTheRunDoes) {
    const auto cmyk = [](FREE_IMAGE_TYPE type, int bpp) {
        return [=](const fs::path& path) {
            ImagePtr image(FreeImage_AllocateT(type, kWidth, kHeight, bpp));
            ASSERT_TRUE(FreeImage_Save(FIF_TIFF, image.get(), path.c_str(), TIFF_CMYK));
        };
    };
    const auto plain = [](FREE_IMAGE_TYPE type, int bpp, FREE_IMAGE_FORMAT format) {
        return [=](const fs::path& path) {
            ImagePtr image(FreeImage_AllocateT(type, kWidth, kHeight, bpp));
            ASSERT_TRUE(FreeImage_Save(format, image.get(), path.c_str(), 0));
        };
    };
    struct Case {
        const char* name;
        std::function<void(const fs::path&)> make;
    };
    const Case cases[] = {
        {"cmyk32.tif", cmyk(FIT_BITMAP, 32)},           // loads as 24-bit RGB
        {"cmyk64.tif", cmyk(FIT_RGBA16, 64)},           // loads as 48-bit RGB
        {"cmyk.ppm", cmyk(FIT_BITMAP, 32)},             // a name whose format takes 24 bits, not 32
        {"rgba.jpg", plain(FIT_BITMAP, 32, FIF_TIFF)},  // JPEG cannot hold 32 bits
        {"grey16.bmp", plain(FIT_UINT16, 16, FIF_TIFF)},
        {"rgb16.bmp", plain(FIT_RGB16, 48, FIF_TIFF)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(book);
        fs::remove_all(book2);
        fs::create_directories(book / "cache" / "automask");
        fs::create_directories(book2);
        c.make(book / c.name);
        test::Save(MakeMask(kWidth, kHeight, [](unsigned x, unsigned) { return x < 5; }).get(),
                   book / "cache" / "automask" / c.name);
        c.make(book2 / c.name);
        ScanFolder(book.string(), list1, input, output, kPicsSubfolder);
        ScanFolder(book2.string(), list2, input2, output2, kNewScansSubfolder);
        const auto same = [&](const JobPlan& plan, const BatchResult& result, const char* job) {
            std::vector<std::string> said = sink.Texts();
            said.pop_back();  // "Processing ended.", which a plan leaves out
            EXPECT_EQ(plan.Messages(), said) << job;
            EXPECT_EQ(plan.result.written, result.written) << job;
            sink.messages.clear();
        };
        const JobPlan backPlan = PlanBackSubscans(list1, input.GetText(), output.GetText());
        same(backPlan, Back(), "back");
        const JobPlan mergePlan =
            PlanMergeSubscans(list1, list2, input.GetText(), output.GetText(), output2.GetText());
        same(mergePlan, Merge(), "merge");
    }
}

TEST_F(BatchTest, OutputFolderThatCannotBeMadeStopsBeforeTheFirstEntry) {
    MakeBook(2);
    test::WriteFile(book / "pics", "a file where the folder should be");
    const BatchResult result = Back();
    EXPECT_EQ(sink.Texts(), (std::vector<std::string>{"Can't create folder " + book.string() + "/pics/",
                                                      "Processing ended."}));
    EXPECT_EQ(result.written, 0u);
    EXPECT_FALSE(result.Succeeded());
    EXPECT_TRUE(fs::is_regular_file(book / "pics"));
}

TEST_F(BatchTest, MergePairsByPositionAndTakesMarkedPixelsFromTheNewPage) {
    MakeBook(2);
    test::WriteFile(book2 / "new_scans" / "stale.tif", "old");
    ASSERT_TRUE(Back().Succeeded());
    sink.messages.clear();
    const BatchResult result = Merge();
    EXPECT_TRUE(result.Succeeded());
    EXPECT_EQ(sink.Texts(), std::vector<std::string>{"Processing ended."});
    EXPECT_EQ(test::SortedNames(book2 / "new_scans"), (std::vector<std::string>{"page1.tif", "page2.tif"}));
    for (unsigned i = 1; i <= 2; ++i) {  // s_a.tif goes into page1.tif, s_b.tif into page2.tif
        ImagePtr merged = test::Load(book2 / "new_scans" / ("page" + std::to_string(i) + ".tif"));
        ASSERT_TRUE(merged);
        for (unsigned y = 0; y < kHeight; ++y) {
            for (unsigned x = 0; x < kWidth; ++x) {
                ASSERT_EQ(GetPixel(merged.get(), x, y),
                          MaskOf(i, x, y) ? NewPageValue(i, x, y) : PageValue(i, x, y));
            }
        }
    }
}

TEST_F(BatchTest, MergeRefusesListsThatCannotPairAndTouchesNothing) {
    test::WriteFile(book2 / "new_scans" / "keep.tif", "k");
    EXPECT_TRUE(Merge().refused);
    MakeBook(2);
    fs::remove_all(book2);
    test::WriteFile(book2 / "new_scans" / "keep.tif", "k");
    EXPECT_TRUE(Merge().refused);
    test::Save(MakeImage(kWidth, kHeight, 8, [](unsigned, unsigned) { return 1; }).get(), book2 / "only.tif");
    EXPECT_TRUE(Merge().refused);
    EXPECT_EQ(sink.Texts(),
              (std::vector<std::string>{NoScansMessage(), NoScans2Message(), FewerScansMessage(2, 1)}));
    EXPECT_EQ(test::SortedNames(book2 / "new_scans"), std::vector<std::string>{"keep.tif"});
}

// Progress names an entry by its page, and in a merge by both pages that it pairs.
TEST_F(BatchTest, ProgressNamesThePagesOfEachEntry) {
    MakeBook(2);
    std::vector<std::string> names;
    JobOptions options;
    options.workers = 1;
    options.progress = [&names](std::size_t, std::size_t, const std::string& name) { names.push_back(name); };
    ScanFolder(book.string(), list1, input, output, kPicsSubfolder);
    CreateBackSubscans(list1, input.GetText(), output.GetText(), sink, options);
    ScanFolder(book2.string(), list2, input2, output2, kNewScansSubfolder);
    MergeSubscans(list1, list2, input.GetText(), output.GetText(), output2.GetText(), sink, options);
    EXPECT_EQ(names, (std::vector<std::string>{"page1.tif", "page2.tif", "page1.tif + s_a.tif",
                                               "page2.tif + s_b.tif"}));
}

TEST_F(BatchTest, MergeUsesOnlyAsManyNewPagesAsFolderOneHas) {
    MakeBook(3);
    fs::remove(book / "page3.tif");
    ASSERT_TRUE(Back().Succeeded());
    const BatchResult result = Merge();
    EXPECT_TRUE(result.Succeeded());
    EXPECT_EQ(test::SortedNames(book2 / "new_scans"), (std::vector<std::string>{"page1.tif", "page2.tif"}));
}

TEST_F(BatchTest, MergeSkipsMissingAndMismatchedBackSubscans) {
    MakeBook(3);
    ASSERT_TRUE(Back().Succeeded());
    sink.messages.clear();
    const std::string pics = book.string() + "/pics/";
    fs::remove(pics + "page1.tif");
    test::Save(MakeImage(kWidth, kHeight, 24, [](unsigned, unsigned) { return 1; }).get(),
               pics + "page2.tif");
    const BatchResult result = Merge();
    EXPECT_EQ(sink.Texts(), (std::vector<std::string>{
                                "File \"" + pics + "page1.tif\" not found.",
                                "Back subscan \"" + pics + "page2.tif\" differs from \"" + book2.string() +
                                    "/s_b.tif\" in size or depth.",
                                "Processing ended.",
                            }));
    EXPECT_EQ(result.written, 1u);
    EXPECT_EQ(test::SortedNames(book2 / "new_scans"), std::vector<std::string>{"page3.tif"});
}

}  // namespace
}  // namespace orfeo
