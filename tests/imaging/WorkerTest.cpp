#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "protocol/Limits.h"
#include "protocol/Messages.h"
#include "protocol/WorkerProtocol.h"
#include "run/BackSubscans.h"
#include "run/PageWorkers.h"
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

// Has a worker of `workers` take a page whose content asks the probe for `action`, with an output file
// as its second descriptor.
WorkerOutcome Probe(PageWorkers& workers, const TempDir& dir, const std::string& action) {
    const fs::path page = dir.Path() / ("probe-" + action + ".tif");
    test::WriteFile(page, "PROBE:" + action);
    const int fd = ::open(page.c_str(), O_RDONLY | O_CLOEXEC);
    const int output =
        ::open((dir.Path() / "output.tif").c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    WorkerRequest request{.task = WorkerTask::Back,
                          .present = (1u << kPageSlot) | (1u << kOutputSlot),
                          .maxMegapixels = 1,
                          .extensions = {"tif", "", "", "tif"}};
    WorkerOutcome outcome = workers.Run(request, {fd, output});
    ::close(fd);
    ::close(output);
    return outcome;
}

// The processes this one started that still exist, and a line of each one's /proc status.
std::vector<pid_t> Children() {
    std::vector<pid_t> children;
    for (const auto& task : fs::directory_iterator("/proc/self/task")) {
        std::ifstream list(task.path() / "children");
        for (pid_t pid; list >> pid;) children.push_back(pid);
    }
    return children;
}

std::string StatusLine(pid_t pid, const std::string& key) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(key + ":", 0) == 0) return line.substr(key.size() + 1);
    return {};
}

// Every escape a worker taken over by a hostile file could try fails with EACCES (ENOMEM for memory past
// the limit, EFBIG for a file past the size limit), while what the work needs goes through.
TEST(PageWorkers, TheCageRefusesEveryEscapeAndLetsTheWorkThrough) {
    TempDir dir;
    PageWorkers workers(ProbeSettings());
    std::string reason;
    ASSERT_TRUE(workers.Start(reason)) << reason;
    const std::vector<pid_t> started = Children();
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(StatusLine(started[0], "CapEff"), "\t0000000000000000");
    EXPECT_EQ(StatusLine(started[0], "CapPrm"), "\t0000000000000000");
    struct Case {
        const char* action;
        int error;
    };
    // At 1 megapixel, an output may have 16 MB and 64 MiB.
    std::vector<Case> cases = {
        {"open", EACCES},     {"exec", EACCES},   {"fork", EACCES},   {"socket", EACCES},
        {"statpath", EACCES}, {"fstat", 0},       {"setown", EACCES}, {"setsig", EACCES},
        {"async", EACCES},    {"lease", EACCES},  {"lock", EACCES},   {"shared", EACCES},
        {"exec-mem", EACCES}, {"tgkill", EACCES}, {"write-70", 0},    {"write-90", EFBIG}};
    if (kMemoryLimited) cases.push_back({"alloc", ENOMEM});
    for (const Case& c : cases) {
        const WorkerOutcome outcome = Probe(workers, dir, c.action);
        ASSERT_EQ(outcome.ending, WorkerEnding::Answered) << c.action << ": " << outcome.why;
        EXPECT_EQ(outcome.reply.writeError, c.error) << c.action;
    }
    EXPECT_EQ(Children(), started);  // one worker took every entry
}

// A worker that ends without an answer, or with a wrong one, is named for its entry, gone before the next
// entry, and replaced.
TEST(PageWorkers, AWorkerThatEndsBadlyIsNamedForItsEntryAndReplaced) {
    TempDir dir;
    struct Case {
        const char* action;
        WorkerEnding ending;
        int slot;
        const char* why;
    };
    for (const Case& c : std::vector<Case>{{"spin", WorkerEnding::OutOfTime, -1, ""},
                                           {"wait", WorkerEnding::NoAnswer, -1, ""},
                                           {"crash", WorkerEnding::Crashed, -1, "Killed"},
                                           {"crash-writing", WorkerEnding::Crashed, kOutputSlot, "Killed"},
                                           {"ready", WorkerEnding::Nonsense, -1, ""}}) {
        // Only the worker that waits is given a short time to answer: one that loops is stopped by its
        // processor time, however busy the machine.
        WorkerSettings settings = ProbeSettings(1);
        settings.answerSeconds = c.ending == WorkerEnding::NoAnswer ? 2 : 0;
        PageWorkers workers(settings);
        std::string reason;
        ASSERT_TRUE(workers.Start(reason)) << reason;
        const std::vector<pid_t> before = Children();
        ASSERT_EQ(before.size(), 1u);
        const WorkerOutcome outcome = Probe(workers, dir, c.action);
        EXPECT_EQ(outcome.ending, c.ending) << c.action;
        EXPECT_EQ(outcome.why, c.why) << c.action;
        EXPECT_EQ(outcome.slot, c.slot) << c.action;
        EXPECT_EQ(outcome.seconds, c.ending == WorkerEnding::NoAnswer ? 2u : 0u);
        EXPECT_TRUE(Children().empty()) << c.action << ": the worker is still there";
        // A fresh worker takes the next entry.
        const WorkerOutcome next = Probe(workers, dir, "socket");
        EXPECT_EQ(next.ending, WorkerEnding::Answered);
        EXPECT_EQ(next.reply.writeError, EACCES);
    }
}

// The processor time of an entry is its own: a worker that used most of it on one entry has all of it
// again for the next.
TEST(PageWorkers, EachEntryHasItsOwnProcessorTime) {
    TempDir dir;
    PageWorkers workers(ProbeSettings(2));
    for (int entry = 0; entry < 2; ++entry)
        EXPECT_EQ(Probe(workers, dir, "burn").ending, WorkerEnding::Answered) << "entry " << entry;
}

// The time to answer follows the entry's own images, and the messages say which limit it was.
TEST(PageWorkers, TheTimeToAnswerFollowsThePagesSizeAndIsNamedAsSuch) {
    const WorkerSettings settings{.program = "", .maxMegapixels = 600, .cpuSeconds = 70, .memoryBytes = 0};
    EXPECT_EQ(AnswerSeconds(settings, 0), 80u);
    EXPECT_EQ(AnswerSeconds(settings, 8.7), 80u);
    EXPECT_EQ(AnswerSeconds(settings, 557), 5 * 65 + 30u);
    EXPECT_EQ(AnswerSeconds(settings, 600), 5 * 70 + 30u);
    EXPECT_EQ(
        WorkerNoAnswerMessage("p.tif", "m.tif", 80),
        "Page \"p.tif\" was not written: its worker did not answer within 80 seconds reading \"m.tif\".");
}

// A worker that ends while reading a file is named after the messages of the files before it and before
// those after it; one that ends while writing is named with the output.
TEST(PageWorkers, AWorkersEndIsNamedWhereItHappened) {
    TempDir dir;
    PageWorkers workers(ProbeSettings());
    const fs::path mask = dir.Path() / "mask.tif";
    test::WriteFile(mask, "PROBE:crash-mask");
    const EntryFiles files{.name = "p.tif",
                           .page = (dir.Path() / "missing.tif").string(),
                           .mask = mask.string(),
                           .back = "",
                           .output = (dir.Path() / "out.tif").string()};
    EntryAnswer answer = AskWorker(workers, WorkerTask::Back, files);
    RecordingSink sink;
    EXPECT_FALSE(ShowInputOutcomes(answer, files, workers.Settings(), sink));
    EXPECT_EQ(sink.Texts(),
              (std::vector<std::string>{FileNotFoundMessage(files.page),
                                        WorkerCrashedMessage(files.page, files.mask, "Killed")}));
    const fs::path page = dir.Path() / "crashing.tif";
    test::WriteFile(page, "PROBE:crash-page");
    const EntryFiles before{.name = "crashing.tif",
                            .page = page.string(),
                            .mask = (dir.Path() / "missing.tif").string(),
                            .back = "",
                            .output = (dir.Path() / "out.tif").string()};
    answer = AskWorker(workers, WorkerTask::Back, before);
    RecordingSink first;
    EXPECT_FALSE(ShowInputOutcomes(answer, before, workers.Settings(), first));
    EXPECT_EQ(first.Texts(),
              (std::vector<std::string>{WorkerCrashedMessage(before.page, before.page, "Killed"),
                                        FileNotFoundMessage(before.mask)}));

    test::WriteFile(dir.Path() / "page.tif", "PROBE:crash-writing");
    const EntryFiles writing{.name = "page.tif",
                             .page = (dir.Path() / "page.tif").string(),
                             .mask = (dir.Path() / "page.tif").string(),
                             .back = "",
                             .output = (dir.Path() / "out.tif").string()};
    answer = AskWorker(workers, WorkerTask::Back, writing);
    RecordingSink written;
    EXPECT_FALSE(ShowInputOutcomes(answer, writing, workers.Settings(), written));
    EXPECT_EQ(written.Texts(), (std::vector<std::string>{WorkerCrashedMessage(
                                   writing.page, "", "Killed, writing " + Quoted(writing.output))}));
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
    // A size measured from a header: within the limit, or the worker lies to be given more time.
    WorkerReply measured;
    measured.kind = WorkerReplyKind::Measured;
    measured.slot = kMaskSlot;
    for (const auto& [width, height, accepted] : std::vector<std::tuple<unsigned, unsigned, bool>>{
             {1000, 1000, true}, {1001, 1000, false}, {0, 5, false}}) {
        measured.width = width;
        measured.height = height;
        EXPECT_EQ(!refused(EncodeReply(measured)), accepted) << width << " x " << height;
    }

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
