#include <gtest/gtest.h>

#include <filesystem>

#include "imaging/ImageFile.h"
#include "tests/support/Files.h"
#include "tests/support/Fixtures.h"

namespace orfeo {
namespace {

namespace fs = std::filesystem;
using test::TempDir;
using test::WriteFile;

TEST(ResetOutputFolder, RemovesFilesAndTheFolder) {
    TempDir dir;
    const fs::path pics = dir.Path() / "pics";
    WriteFile(pics / "a.tif", "a");
    WriteFile(pics / "notes", "no dot in the name");
    EXPECT_TRUE(ResetOutputFolder(pics.string()));  // without trailing separator
    EXPECT_FALSE(fs::exists(pics));
}

TEST(ResetOutputFolder, KeepsSubfoldersAndDotFilesAndSaysFalse) {
    TempDir dir;
    const fs::path pics = dir.Path() / "pics";
    WriteFile(pics / "a.tif", "a");
    WriteFile(pics / "b.tif", "b");
    WriteFile(pics / ".keep", "k");
    WriteFile(pics / "old" / "c.tif", "c");
    EXPECT_FALSE(ResetOutputFolder(pics.string() + "/"));
    EXPECT_FALSE(fs::exists(pics / "a.tif"));
    EXPECT_FALSE(fs::exists(pics / "b.tif"));
    EXPECT_TRUE(fs::exists(pics / ".keep"));
    EXPECT_TRUE(fs::exists(pics / "old" / "c.tif"));
}

TEST(ResetOutputFolder, MissingFolderIsFalseAndUnchanged) {
    TempDir dir;
    EXPECT_FALSE(ResetOutputFolder((dir.Path() / "none").string()));
    EXPECT_FALSE(fs::exists(dir.Path() / "none"));
}

TEST(ResetOutputFolder, RemovesLinksNotWhatTheyPointTo) {
    TempDir dir;
    const fs::path pics = dir.Path() / "pics";
    WriteFile(dir.Path() / "page.tif", "precious");
    fs::create_directories(dir.Path() / "folder");
    WriteFile(dir.Path() / "folder" / "inside.tif", "also precious");
    fs::create_directories(pics);
    fs::create_symlink(dir.Path() / "page.tif", pics / "link.tif");
    fs::create_directory_symlink(dir.Path() / "folder", pics / "dirlink");
    EXPECT_FALSE(ResetOutputFolder(pics.string()));  // the link to a folder stays, like a folder
    EXPECT_FALSE(fs::is_symlink(pics / "link.tif"));
    EXPECT_TRUE(fs::is_symlink(pics / "dirlink"));
    EXPECT_TRUE(fs::exists(dir.Path() / "page.tif"));
    EXPECT_TRUE(fs::exists(dir.Path() / "folder" / "inside.tif"));
}

TEST(ResetOutputFolder, ALinkInPlaceOfTheFolderIsNeverFollowed) {
    TempDir dir;
    WriteFile(dir.Path() / "book" / "page.tif", "precious");
    fs::create_directory_symlink("book", dir.Path() / "pics");
    EXPECT_FALSE(ResetOutputFolder((dir.Path() / "pics").string() + "/"));
    EXPECT_TRUE(fs::is_symlink(dir.Path() / "pics"));
    EXPECT_TRUE(fs::exists(dir.Path() / "book" / "page.tif"));
}

}  // namespace
}  // namespace orfeo
