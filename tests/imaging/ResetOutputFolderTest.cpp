#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "imaging/OutputFolder.h"
#include "tests/support/Files.h"
#include "tests/support/Fixtures.h"

namespace orfeo {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

// The files of the folder go, and with them the folder when nothing else is left: true then. Subfolders,
// dot files and links to folders stay, and no link is ever followed.
TEST(ResetOutputFolder, RemovesTheFilesOfTheFolderOnlyAndFollowsNoLink) {
    using Tree = std::map<std::string, std::string>;  // as test::Snapshot writes it
    struct Case {
        const char* what;
        Tree before;
        const char* folder;
        bool emptied;
        Tree after;
    };
    const Case cases[] = {
        {"files, also one without a dot", {{"pics/a.tif", "a"}, {"pics/notes", "n"}}, "pics", true, {}},
        {"subfolders and dot files",
         {{"pics/a.tif", "a"}, {"pics/.keep", "k"}, {"pics/old/c.tif", "c"}},
         "pics/",
         false,
         {{"pics", "<folder>"}, {"pics/.keep", "k"}, {"pics/old", "<folder>"}, {"pics/old/c.tif", "c"}}},
        {"a missing folder", {}, "pics", false, {}},
        {"links to a file and to a folder",
         {{"f.tif", "f"}, {"dir/g.tif", "g"}, {"pics/f.tif", "-> ../f.tif"}, {"pics/dir", "-> ../dir"}},
         "pics",
         false,
         {{"f.tif", "f"},
          {"dir", "<folder>"},
          {"dir/g.tif", "g"},
          {"pics", "<folder>"},
          {"pics/dir", "-> ../dir"}}},
        {"a link in place of the folder",
         {{"book/p.tif", "p"}, {"pics", "-> book"}},
         "pics/",
         false,
         {{"book", "<folder>"}, {"book/p.tif", "p"}, {"pics", "-> book"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        test::MakeTree(dir.Path(), c.before);
        EXPECT_EQ(ResetOutputFolder((dir.Path() / c.folder).string()), c.emptied);
        EXPECT_EQ(test::Snapshot(dir.Path()), c.after);
    }
}

}  // namespace
}  // namespace orfeo
