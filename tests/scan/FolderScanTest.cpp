#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

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
