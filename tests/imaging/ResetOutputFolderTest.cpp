#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <string>
#include <system_error>

#include "protocol/Messages.h"
#include "run/OutputFolder.h"
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

// Makes `file` one that its folder's reset cannot delete: immutable where the process may say so (root, on
// most file systems), else in a folder it cannot write. The error the deletion will meet; 0 when neither
// holds.
int MakeUndeletable(const fs::path& file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    int flags = 0;
    bool immutable = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags |= FS_IMMUTABLE_FL;
    immutable = immutable && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    if (fd >= 0) ::close(fd);
    if (immutable) return EPERM;
    if (::geteuid() == 0) return 0;
    fs::permissions(file.parent_path(), fs::perms::owner_write, fs::perm_options::remove);
    return EACCES;
}

void MakeDeletable(const fs::path& file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    int flags = 0;
    if (fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_IMMUTABLE_FL)) {
        flags &= ~FS_IMMUTABLE_FL;
        ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
    }
    if (fd >= 0) ::close(fd);
    fs::permissions(file.parent_path(), fs::perms::owner_write, fs::perm_options::add);
}

// A file the reset cannot delete is named: an earlier run's output left where a merge would read it. The
// run still goes on into the folder.
TEST(PrepareOutputFolder, NamesAFileThatCouldNotBeDeleted) {
    TempDir dir;
    const fs::path pics = dir.Path() / "pics";
    test::MakeTree(dir.Path(), {{"pics/a.tif", "a"}});
    const int error = MakeUndeletable(pics / "a.tif");
    if (error == 0) GTEST_SKIP() << "no way to keep a file from being deleted here";
    test::RecordingSink sink;
    const bool prepared = PrepareOutputFolder(pics.string(), sink);
    MakeDeletable(pics / "a.tif");
    EXPECT_TRUE(prepared);
    EXPECT_EQ(sink.Texts(),
              (std::vector<std::string>{"File \"" + (pics / "a.tif").string() + "\" could not be deleted: " +
                                        std::generic_category().message(error) + "; the folder \"" +
                                        pics.string() + "\" still holds what an earlier run wrote."}));

    // A folder that was emptied, or was not there, says nothing.
    test::RecordingSink quiet;
    fs::remove(pics / "a.tif");
    EXPECT_TRUE(PrepareOutputFolder(pics.string(), quiet));
    EXPECT_TRUE(PrepareOutputFolder((dir.Path() / "new").string(), quiet));
    EXPECT_TRUE(quiet.Texts().empty());
}

}  // namespace
}  // namespace orfeo
