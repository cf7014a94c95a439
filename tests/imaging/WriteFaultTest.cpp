#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

#include "run/BackSubscans.h"
#include "scan/FolderScan.h"
#include "scan/Paths.h"
#include "tests/support/Files.h"
#include "tests/support/Fixtures.h"
#include "worker/ImageLoad.h"
#include "worker/ImageSave.h"
#include "worker/StripCopy.h"

namespace orfeo {
namespace {

namespace fs = std::filesystem;
using test::RecordingSink;
using test::TempDir;

// Tests run as root, where permissions cannot make a write fail. A file size limit can, for root too: while
// this lives, a write that would take a file of this process past `bytes` bytes fails with EFBIG, as one to a
// full disk fails with ENOSPC (the signal the kernel would send for it is ignored meanwhile).
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGXFSZ, &ignore, &m_action);
        getrlimit(RLIMIT_FSIZE, &m_limit);
        rlimit lower = m_limit;
        lower.rlim_cur = bytes;
        EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &lower), 0);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &m_limit);
        sigaction(SIGXFSZ, &m_action, nullptr);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit m_limit{};
    struct sigaction m_action {};
};

// Runs `save` in a child process whose flushes to the disk (fsync, fdatasync) fail with EIO, as a failing
// disk's do, and returns what it said: "saved" or "not saved", then each of its messages on a line of its
// own. The filter cannot be lifted again, hence the child.
std::string WithFailingDiskFlushes(const std::function<bool(IMessageSink&)>& save) {
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) return "no pipe";
    const pid_t child = fork();
    if (child == 0) {
        close(pipeEnds[0]);
        sock_filter filter[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_fsync, 2, 0),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_fdatasync, 1, 0),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EIO),
        };
        sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
        if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
            prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
            _exit(2);
        }
        RecordingSink sink;
        std::string said = save(sink) ? "saved" : "not saved";
        for (const std::string& text : sink.Texts()) said += "\n" + text;
        const bool sent = write(pipeEnds[1], said.data(), said.size()) == static_cast<ssize_t>(said.size());
        _exit(sent ? 0 : 3);
    }
    close(pipeEnds[1]);
    std::string said;
    char buffer[512];
    for (ssize_t got; (got = read(pipeEnds[0], buffer, sizeof buffer)) > 0;)
        said.append(buffer, std::size_t(got));
    close(pipeEnds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? said : "the child failed";
}

class WriteFaultTest : public ::testing::Test {
protected:
    std::vector<std::string> Entries() { return test::SortedNames(dir.Path()); }

    TempDir dir;
};

TEST_F(WriteFaultTest, AFailingWriteLeavesTheOldFileAndNothingElse) {
    const auto page = test::MakeImage(300, 200, 8, [](unsigned x, unsigned y) { return (x * y) % 251; });
    for (const char* name : {"p.tif", "p.bmp", "p.pgm", "p.gif", "p.jpg"}) {
        for (std::uint64_t after :
             {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{100}, std::uint64_t{3000}}) {
            SCOPED_TRACE(std::string(name) + " with files limited to " + std::to_string(after) + " bytes");
            const std::string path = dir.Folder() + name;
            test::WriteFile(path, "the earlier version");
            RecordingSink sink;
            bool saved;
            {
                FileSizeLimit limit(after);
                saved = SaveImageFile(page.get(), path, sink);
            }
            EXPECT_FALSE(saved);
            EXPECT_EQ(sink.Texts(), std::vector<std::string>{"File \"" + path +
                                                             "\" could not be written: File too large."});
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
    EXPECT_EQ(
        WithFailingDiskFlushes([&](IMessageSink& sink) { return SaveImageFile(page.get(), path, sink); }),
        "not saved\nFile \"" + path + "\" could not be written: Input/output error.");
    EXPECT_EQ(Entries(), std::vector<std::string>{"p.tif"});
    EXPECT_EQ(test::Slurp(path), "the earlier version");
    RecordingSink sink;
    EXPECT_TRUE(SaveImageFile(page.get(), path, sink));
    EXPECT_TRUE(test::SamePixels(test::Load(path).get(), page.get()));
}

// The strip copy writes the output itself: a flush that fails fails the page, with the system's reason.
TEST_F(WriteFaultTest, TheStripCopyFailsWithItsFlush) {
    const auto page = test::MakeImage(40, 30, 8, [](unsigned x, unsigned y) { return x * y; });
    const auto mask = test::MakeMask(40, 30, [](unsigned x, unsigned y) { return x < 5 && y < 7; });
    const std::string path = dir.Folder() + "p.tif", output = dir.Folder() + "out.tif";
    test::Save(page.get(), path);
    const std::string said = WithFailingDiskFlushes([&](IMessageSink& sink) {
        const ImagePtr header = LoadImageHeader(path, sink, 600);
        const int pageFd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        const int outputFd = ::open(output.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        int error = 0;
        const StripCopyOutcome outcome = CopyStrips(
            {.page = pageFd, .pageHeader = header.get(), .mask = mask.get(), .output = outputFd},
            [](StripCopyStage) {}, error);
        if (outcome == StripCopyOutcome::WriteFailed)
            sink.ShowMessage(MessageKind::Problem, std::strerror(error));
        return outcome == StripCopyOutcome::Written;
    });
    EXPECT_EQ(said, "not saved\nInput/output error");
}

// Plug-ins write empty blocks: the GIF writer does when its data ends on a full sub-block (this image),
// and for empty comments. Such a save is whole and must not count as failed.
TEST_F(WriteFaultTest, EmptyWritesOfAPlugInAreNoFailure) {
    const auto page =
        test::MakeImage(88, 7, 8, [](unsigned x, unsigned y) { return (x * 31 + y * 17) % 256; });
    const std::string path = dir.Folder() + "p.gif";
    RecordingSink sink;
    EXPECT_TRUE(SaveImageFile(page.get(), path, sink));
    EXPECT_EQ(sink.Texts(), std::vector<std::string>{});
    EXPECT_TRUE(test::SamePixels(test::Load(path).get(), page.get()));
}

// Whoever writes the output (the strip copy for TIFF, FreeImage's encoders for the rest, in the workers), a
// write the disk refuses fails its page, whatever the encoder says of it.
TEST_F(WriteFaultTest, AFullDiskInABatchIsReportedForEveryPage) {
    const auto page =
        test::MakeImage(64, 64, 8, [](unsigned x, unsigned y) { return test::Mix(x * 64 + y) & 0xFF; });
    const auto mask = test::MakeMask(64, 64, [](unsigned x, unsigned) { return x < 9; });
    for (const char* extension : {"tif", "bmp", "jpg", "pgm"}) {
        SCOPED_TRACE(extension);
        const fs::path book = dir.Path() / extension;
        for (const char* name : {"a", "b", "c"}) {
            test::Save(page.get(), book / (std::string(name) + "." + extension));
            test::Save(mask.get(), book / "cache" / "automask" / (std::string(name) + "." + extension));
        }
        CScanList list;
        TextHolder input, output;
        ScanFolder(book.string(), list, input, output, kPicsSubfolder);
        RecordingSink sink;
        BatchResult result;
        {
            FileSizeLimit limit(500);
            result = CreateBackSubscans(list, input.GetText(), output.GetText(), sink);
        }
        EXPECT_EQ(result.written, 0u);
        ASSERT_EQ(sink.messages.size(), 4u);
        EXPECT_EQ(sink.messages[1].second, "File \"" + output.GetText() + "b." + extension +
                                               "\" could not be written: File too large.");
        EXPECT_TRUE(fs::is_empty(book / "pics"));
    }
}

}  // namespace
}  // namespace orfeo
