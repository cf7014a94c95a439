#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "scan/FolderCheck.h"
#include "scan/FolderScan.h"
#include "scan/Paths.h"
#include "tests/support/Files.h"

namespace orfeo {
namespace {

namespace fs = std::filesystem;

class FolderScanTest : public ::testing::Test {
protected:
    std::vector<std::string> Scan(const std::string& folder, const std::string& subfolder = kPicsSubfolder) {
        ScanFolder(folder, list, input, output, subfolder);
        std::vector<std::string> names;
        for (const ScanEntry& entry : list) {
            EXPECT_EQ(entry.path, input.GetText() + entry.name);
            names.push_back(entry.name);
        }
        return names;
    }

    test::TempDir dir;
    fs::path root = dir.Path();
    CScanList list;
    TextHolder input, output;
};

TEST(GetFileExtension, SearchesTheWholePathAndFoldsCase) {
    EXPECT_EQ(GetFileExtension("/a/Page.TIF"), "tif");
    EXPECT_EQ(GetFileExtension("/a/scan.tiff.bak"), "bak");
    EXPECT_EQ(GetFileExtension("/scans.old/page"), "old/page");
    EXPECT_EQ(GetFileExtension("readme"), "");
    EXPECT_EQ(GetFileExtension(".tif"), "");  // the first character never counts as the dot
    EXPECT_EQ(GetFileExtension("a."), "");
}

TEST(IsSupportedImage, AcceptsExactlyTheTenExtensions) {
    for (const char* ext :
         {"bmp", "jpeg", "jpg", "gif", "tiff", "tif", "pnm", "ppm", "pgm", "pbm", "TIF", "Jpeg"}) {
        EXPECT_TRUE(IsSupportedImage(std::string("/d/x.") + ext)) << ext;
    }
    for (const char* path : {"/d/x.tifx", "/d/x.ti", "/d/x.png", "/d/x.markdownfile", "/d/readme",
                             "/d/scan.tiff.bak", "/d.tif/readme"}) {
        EXPECT_FALSE(IsSupportedImage(path)) << path;
    }
}

TEST(GetFileNamePart, TakesWhatFollowsTheLastSeparator) {
    EXPECT_EQ(GetFileNamePart("/book/page1.tif"), "page1.tif");
    EXPECT_EQ(GetFileNamePart("page1.tif"), "page1.tif");
    EXPECT_EQ(GetFileNamePart("/book/"), "");
}

TEST_F(FolderScanTest, ListsSupportedFilesSortedAndSkipsTheRest) {
    for (const char* name : {"b.tif", "A.tif", "c.bmp", "Page.TIF", "scan.jpeg", "scan.pbm", "notes.txt",
                             "scan.tiff.bak", "readme", ".hidden.tif", "x.markdownfile"}) {
        test::WriteFile(root / name, "x");
    }
    fs::create_directories(root / "x.tif");
    test::WriteFile(root / "cache" / "automask" / "A.tif", "x");
    test::WriteFile(root / "pics" / "A.tif", "x");
    EXPECT_EQ(Scan(root.string()),
              (std::vector<std::string>{"A.tif", "b.tif", "c.bmp", "Page.TIF", "scan.jpeg", "scan.pbm"}));
}

TEST_F(FolderScanTest, SetsTheFieldsWithOrWithoutTrailingSeparator) {
    test::WriteFile(root / "p.tif", "x");
    const std::string folder = root.string() + "/";
    EXPECT_EQ(Scan(root.string()), std::vector<std::string>{"p.tif"});
    EXPECT_EQ(input.GetText(), folder);
    EXPECT_EQ(output.GetText(), folder + "pics/");
    EXPECT_EQ(Scan(folder, kNewScansSubfolder), std::vector<std::string>{"p.tif"});
    EXPECT_EQ(input.GetText(), folder);
    EXPECT_EQ(output.GetText(), folder + "new_scans/");
}

TEST_F(FolderScanTest, DotsInFolderNamesDoNotMakeDotlessFilesImages) {
    const fs::path folder = root / "scans.old";
    test::WriteFile(folder / "longname", "x");
    test::WriteFile(folder / "p.gif", "x");
    EXPECT_EQ(Scan(folder.string()), std::vector<std::string>{"p.gif"});
}

TEST_F(FolderScanTest, UnlistableFolderGivesEmptyListButSetsFields) {
    list.Add({"old.tif", "/old.tif"});
    const std::string missing = (root / "missing").string();
    EXPECT_TRUE(Scan(missing).empty());
    EXPECT_EQ(input.GetText(), missing + "/");
    EXPECT_EQ(output.GetText(), missing + "/pics/");
}

TEST_F(FolderScanTest, LinksToFoldersAreSkippedLinksToFilesListed) {
    test::WriteFile(root / "real" / "a.tif", "x");
    fs::create_directories(root / "book");
    fs::create_directory_symlink(root / "real", root / "book" / "dir.tif");
    fs::create_symlink(root / "real" / "a.tif", root / "book" / "link.tif");
    EXPECT_EQ(Scan((root / "book").string()), std::vector<std::string>{"link.tif"});
}

}  // namespace
}  // namespace orfeo

namespace orfeo {
namespace {

TEST(NumbersOutOfOrder, FindsTheFirstNeighboursThatNumbersWouldSwap) {
    struct Case {
        std::vector<std::string> names;  // in any order: the list sorts them as a folder scan does
        std::optional<std::pair<std::string, std::string>> expected;
    };
    const std::vector<Case> cases = {
        {{"page1.tif", "page2.tif", "page10.tif"}, std::make_pair("page10.tif", "page2.tif")},
        {{"page01.tif", "page02.tif", "page10.tif"}, std::nullopt},
        {{"scan_9.tif", "scan_10.tif"}, std::make_pair("scan_10.tif", "scan_9.tif")},
        {{"b2_p1.tif", "b10_p1.tif"}, std::make_pair("b10_p1.tif", "b2_p1.tif")},
        {{"a.tif", "B.tif", "c.tif"}, std::nullopt},
        {{"page007.tif", "page7b.tif"}, std::nullopt},
        {{}, std::nullopt},
    };
    for (const Case& c : cases) {
        CScanList list;
        for (const std::string& name : c.names) list.Add({name, "/b/" + name});
        list.SortByName();
        EXPECT_EQ(NumbersOutOfOrder(list), c.expected) << testing::PrintToString(c.names);
    }
}

TEST(NoPagesMessage, SaysWhyAFolderListsNoPage) {
    test::TempDir dir;
    const fs::path notes = dir.Path() / "notes";
    fs::create_directories(notes);
    std::ofstream(notes / "readme.txt") << "x";
    std::ofstream(dir.Path() / "file.tif") << "x";
    // The message: what comes before the folder's path and what after.
    const std::vector<std::tuple<fs::path, std::string, std::string>> cases = {
        {dir.Path() / "gone/", "Folder \"", "\" no longer exists."},
        {dir.Path() / "file.tif", "\"", "\" is not a folder."},
        {notes, "Folder \"",
         "\" holds no pages: no .tif, .tiff, .bmp, .jpg, .jpeg, .gif, .pnm, .ppm, .pgm or .pbm files."},
    };
    for (const auto& [folder, before, after] : cases) {
        std::string expected = before;
        expected.append(folder.string()).append(after);
        EXPECT_EQ(NoPagesMessage(folder.string()), expected);
    }
    EXPECT_EQ(PageCount(1), "1 page");
    EXPECT_EQ(PageCount(160), "160 pages");
}

}  // namespace
}  // namespace orfeo
