#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "imaging/BackSubscans.h"
#include "imaging/Limits.h"
#include "imaging/Messages.h"
#include "imaging/PageWorkers.h"
#include "imaging/WorkerProtocol.h"
#include "scan/FolderScan.h"
#include "scan/Paths.h"
#include "tests/support/Files.h"
#include "tests/support/Fixtures.h"

namespace orfeo {
namespace {

namespace fs = std::filesystem;
using test::RecordingSink;
using test::TempDir;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kMemoryLimited = false;  // AddressSanitizer reserves terabytes of address space
#else
constexpr bool kMemoryLimited = true;
#endif

// The test worker (tests/worker/ProbeWorker.cpp), confined and limited as orfeo-worker is.
WorkerSettings ProbeSettings(unsigned cpuSeconds = 20) {
    return {.program = ORFEO_PROBE_WORKER,
            .maxMegapixels = 1,
            .cpuSeconds = cpuSeconds,
            .memoryBytes = kMemoryLimited ? WorkerMemoryBytes(1) : 0};
}

// Has a worker of `workers` take a page whose content asks the probe for `action`.
WorkerOutcome Probe(PageWorkers& workers, const TempDir& dir, const std::string& action) {
    const fs::path page = dir.Path() / ("probe-" + action + ".tif");
    test::WriteFile(page, "PROBE:" + action);
    const int fd = ::open(page.c_str(), O_RDONLY | O_CLOEXEC);
    WorkerRequest request{.task = WorkerTask::Back,
                          .present = 1u << kPageSlot,
                          .maxMegapixels = 1,
                          .extensions = {"tif", "", "", ""}};
    WorkerOutcome outcome = workers.Run(request, {fd});
    ::close(fd);
    return outcome;
}

TEST(PageWorkers, TheConfinementRefusesFilesProgramsProcessesNetworkAndMemoryPastTheLimit) {
    TempDir dir;
    PageWorkers workers(ProbeSettings());
    std::string reason;
    ASSERT_TRUE(workers.Start(reason)) << reason;
    struct Case {
        const char* action;
        int error;
    };
    std::vector<Case> cases = {{"open", EACCES}, {"exec", EACCES}, {"fork", EACCES}, {"socket", EACCES}};
    if (kMemoryLimited) cases.push_back({"alloc", ENOMEM});
    for (const Case& c : cases) {
        const WorkerOutcome outcome = Probe(workers, dir, c.action);
        ASSERT_EQ(outcome.ending, WorkerEnding::Answered) << c.action << ": " << outcome.why;
        EXPECT_EQ(outcome.reply.writeError, c.error) << c.action;
    }
}

TEST(PageWorkers, AWorkerThatLoopsOrCrashesIsReplacedAndNamedForItsEntryOnly) {
    TempDir dir;
    PageWorkers workers(ProbeSettings(1));
    WorkerOutcome outcome = Probe(workers, dir, "spin");
    EXPECT_EQ(outcome.ending, WorkerEnding::OutOfTime);
    outcome = Probe(workers, dir, "crash");
    EXPECT_EQ(outcome.ending, WorkerEnding::Crashed);
    EXPECT_EQ(outcome.why, "Killed");
    // A fresh worker takes the next entry.
    outcome = Probe(workers, dir, "socket");
    EXPECT_EQ(outcome.ending, WorkerEnding::Answered);
    EXPECT_EQ(outcome.reply.writeError, EACCES);
}

TEST(PageWorkers, AMissingWorkerProgramRefusesTheRunBeforeItTouchesAnything) {
    TempDir dir;
    PageWorkers workers(
        {.program = dir.Folder() + "no-worker", .maxMegapixels = 1, .cpuSeconds = 1, .memoryBytes = 0});
    std::string reason;
    EXPECT_FALSE(workers.Start(reason));
    EXPECT_EQ(reason, "No such file or directory");
}

// A book whose page2 kills its worker (or loops in it): pages 1 and 3 are written whatever the number of
// workers, page 2 is named once, and nothing else is left in the output folder.
TEST(PageWorkers, AWorkerThatDiesCostsOnlyItsPageInARun) {
    for (const char* action : {"crash", "spin"}) {
        for (unsigned jobs : {1u, 2u}) {
            TempDir dir;
            const fs::path book = dir.Path() / "book";
            const auto page = test::MakeImage(9, 4, 8, [](unsigned x, unsigned y) { return x * 20 + y; });
            const auto mask = test::MakeMask(9, 4, [](unsigned x, unsigned) { return x < 3; });
            for (const char* name : {"page1.tif", "page2.tif", "page3.tif"}) {
                test::Save(page.get(), book / name);
                test::Save(mask.get(), book / "cache" / "automask" / name);
            }
            test::WriteFile(book / "page2.tif", std::string("PROBE:") + action);
            CScanList list;
            TextHolder input, output;
            ScanFolder(book.string(), list, input, output, kPicsSubfolder);
            RecordingSink sink;
            JobOptions options;
            options.workers = jobs;
            options.workerProgram = ORFEO_PROBE_WORKER;
            options.entryCpuSeconds = 1;
            const BatchResult result =
                CreateBackSubscans(list, input.GetText(), output.GetText(), sink, options);
            const std::string page2 = (book / "page2.tif").string();
            const std::string named = std::string(action) == "crash"
                                          ? WorkerCrashedMessage(page2, "", "Killed")
                                          : WorkerOutOfTimeMessage(page2, "", 1);
            EXPECT_EQ(result.written, 2u) << action << " -j " << jobs;
            EXPECT_EQ(sink.Texts(), (std::vector<std::string>{named, ProcessingEndedMessage()}));
            EXPECT_EQ(test::SortedNames(book / "pics"), (std::vector<std::string>{"page1.tif", "page3.tif"}));
        }
    }
}

// What a worker sends is taken only when it is exactly a reply, and makes sense.
TEST(WorkerProtocol, RepliesThatBreakTheProtocolAreRefusedWhole) {
    WorkerReply done;
    done.inputs[kPageSlot] = {
        .problem = LoadProblem::None, .width = 100, .height = 50, .format = 0, .type = FIT_BITMAP, .bpp = 8};
    done.inputs[kMaskSlot] = {
        .problem = LoadProblem::TooLarge, .width = 2000, .height = 2000, .format = 0, .type = 0, .bpp = 0};
    const std::vector<std::uint8_t> good = EncodeReply(done);
    const auto decoded = DecodeReply(good.data(), good.size(), 1);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->inputs[kPageSlot].width, 100u);
    EXPECT_EQ(decoded->inputs[kMaskSlot].problem, LoadProblem::TooLarge);

    const auto refused = [](std::vector<std::uint8_t> bytes) {
        return !DecodeReply(bytes.data(), bytes.size(), 1).has_value();
    };
    auto with = [&](std::size_t at, std::uint8_t value) {
        std::vector<std::uint8_t> bytes = good;
        bytes.at(at) = value;
        return bytes;
    };
    EXPECT_TRUE(refused({good.begin(), good.end() - 1}));  // cut short
    std::vector<std::uint8_t> longer = good;
    longer.push_back(0);
    EXPECT_TRUE(refused(longer));        // something after it
    EXPECT_TRUE(refused(with(0, 'X')));  // not our magic
    EXPECT_TRUE(refused(with(6, 9)));    // no such kind
    EXPECT_TRUE(refused(with(7, 40)));   // no such problem
    EXPECT_TRUE(
        refused(with(7, static_cast<std::uint8_t>(LoadProblem::NotFound))));  // only the run finds that
    EXPECT_TRUE(refused(with(7 + 4, 0x10)));  // a loaded page past the megapixel limit
    EXPECT_TRUE(refused(with(7 + 14, 7)));    // a depth that the type cannot have

    WorkerReply lying = done;
    lying.written = true;  // written, though an input was refused
    const auto bytes = EncodeReply(lying);
    EXPECT_TRUE(refused(bytes));
    WorkerReply reading;
    reading.kind = WorkerReplyKind::Reading;
    reading.slot = kOutputSlot;  // the output is not read
    EXPECT_TRUE(refused(EncodeReply(reading)));

    // A preview's size: both sides or none, within bounds, and only for a written output.
    WorkerReply picture;
    picture.inputs[kPageSlot] = done.inputs[kPageSlot];
    picture.written = true;
    for (const auto& [width, height, accepted] :
         std::vector<std::tuple<int, int, bool>>{{100, 50, true},
                                                 {0, 0, true},
                                                 {100, 0, false},
                                                 {kPreviewSide + 1, 10, false},
                                                 {10, kPreviewSide + 1, false}}) {
        picture.previewWidth = static_cast<std::uint16_t>(width);
        picture.previewHeight = static_cast<std::uint16_t>(height);
        EXPECT_EQ(!refused(EncodeReply(picture)), accepted) << width << " x " << height;
    }
    picture.written = false;
    picture.previewWidth = picture.previewHeight = 10;
    EXPECT_TRUE(refused(EncodeReply(picture)));
}

// A preview request reads the page and writes the output, and nothing else.
TEST(WorkerProtocol, PreviewRequestsCarryThePageAndTheOutputOnly) {
    const auto accepted = [](std::uint8_t present, bool headersOnly) {
        const WorkerRequest request{.task = WorkerTask::Preview,
                                    .headersOnly = headersOnly,
                                    .present = present,
                                    .maxMegapixels = 1,
                                    .extensions = {"tif", "", "", "rgb"}};
        const std::vector<std::uint8_t> bytes = EncodeRequest(request);
        return DecodeRequest(bytes.data(), bytes.size()).has_value();
    };
    EXPECT_TRUE(accepted((1u << kPageSlot) | (1u << kOutputSlot), false));
    EXPECT_FALSE(accepted(1u << kPageSlot, false));
    EXPECT_FALSE(accepted((1u << kPageSlot) | (1u << kMaskSlot) | (1u << kOutputSlot), false));
    EXPECT_FALSE(accepted(1u << kPageSlot, true));
}

}  // namespace
}  // namespace orfeo
