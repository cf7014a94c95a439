#include "worker/ServeRequests.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>

#include "process/PageMemory.h"
#include "protocol/OutputFile.h"
#include "protocol/WorkerProtocol.h"
#include "worker/Confinement.h"
#include "worker/ImageLoad.h"
#include "worker/ImageSave.h"
#include "worker/PixelRules.h"
#include "worker/Preview.h"
#include "worker/StripCopy.h"

namespace orfeo {

namespace {

void Tell(int socket, WorkerReplyKind kind, std::uint8_t slot = 0) {
    WorkerReply reply;
    reply.kind = kind;
    reply.slot = slot;
    SendWorkerMessage(socket, EncodeReply(reply));
}

// Tells the run the size of the file of `slot`, from its header, before its pixels are decoded.
std::function<void(unsigned, unsigned)> Measure(int socket, int slot) {
    return [socket, slot](unsigned width, unsigned height) {
        WorkerReply reply;
        reply.kind = WorkerReplyKind::Measured;
        reply.slot = static_cast<std::uint8_t>(slot);
        reply.width = width;
        reply.height = height;
        SendWorkerMessage(socket, EncodeReply(reply));
    };
}

// A system error number as a reply carries it (the run refuses others), `otherwise` when there is none.
std::int32_t ReplyError(int error, std::int32_t otherwise) {
    return error > 0 && error <= 4095 ? error : otherwise;
}

// An allocation that fails inside a decoder or a rule is this entry's end: the run names it.
void OutOfMemory() { ::_exit(kWorkerOutOfMemoryStatus); }

PixelResult ApplyRule(WorkerTask task, FIBITMAP* page, FIBITMAP* back, FIBITMAP* mask) {
    return task == WorkerTask::Merge ? MergeSubscan(page, back, mask) : MakeBackSubscan(page, mask);
}

// The rule's checks alone, which read only the images' type, size and depth (headers will do).
PixelStatus CheckRule(WorkerTask task, FIBITMAP* page, FIBITMAP* back, FIBITMAP* mask) {
    return task == WorkerTask::Merge ? CheckMergeInputs(page, back, mask) : CheckBackInputs(page, mask);
}

// What loading an input found, for the run: the report's problem and sizes, and with `image` (a header
// to describe) what it holds.
SlotOutcome Describe(const LoadReport& report, FIBITMAP* image) {
    SlotOutcome outcome;
    outcome.problem = report.problem;
    outcome.width = report.width;
    outcome.height = report.height;
    outcome.format = report.format == FIF_UNKNOWN ? 0 : static_cast<std::uint32_t>(report.format);
    if (image) {
        outcome.width = FreeImage_GetWidth(image);
        outcome.height = FreeImage_GetHeight(image);
        outcome.type = static_cast<std::uint8_t>(FreeImage_GetImageType(image));
        outcome.bpp = static_cast<std::uint16_t>(FreeImage_GetBPP(image));
    }
    return outcome;
}

// A picture of the page for a person, written into the output descriptor (which the run reads back).
WorkerReply CarryPreview(int socket, const WorkerRequest& request, int pageFd, int outputFd) {
    WorkerReply reply;
    reply.kind = WorkerReplyKind::Done;
    Tell(socket, WorkerReplyKind::Reading, kPageSlot);
    LoadReport report;
    ImagePtr page = DecodeImageFile(pageFd, request.extensions[kPageSlot], request.maxMegapixels, false,
                                    report, Measure(socket, kPageSlot));
    if (report.outOfMemory) OutOfMemory();
    reply.inputs[kPageSlot] = Describe(report, page.get());
    if (page) {
        Tell(socket, WorkerReplyKind::Writing);
        const std::optional<PreviewPixels> preview =
            MakePreview(page.get(), kPreviewSide, request.extensions[kOutputSlot] == "bits");
        page.reset();
        if (!preview) {
            reply.pixels = PixelStatus::UnsupportedPage;
        } else {
            std::size_t done = 0;
            while (done < preview->rgb.size()) {
                const ssize_t wrote = ::pwrite(outputFd, preview->rgb.data() + done,
                                               preview->rgb.size() - done, static_cast<off_t>(done));
                if (wrote <= 0) {
                    reply.writeError = ReplyError(wrote < 0 ? errno : 0, EIO);
                    break;
                }
                done += static_cast<std::size_t>(wrote);
            }
            reply.written = done == preview->rgb.size();
            if (reply.written) {
                reply.previewWidth = static_cast<std::uint16_t>(preview->width);
                reply.previewHeight = static_cast<std::uint16_t>(preview->height);
            }
        }
    }
    ::close(outputFd);
    return reply;
}

// The file in `slot` on `fd` decoded (its header only, or whole) through a second descriptor, since a
// decode closes its own; the offset goes back to 0 for whatever reads the file next.
ImagePtr DecodeKeepingFd(int fd, const WorkerRequest& request, int slot, bool headerOnly,
                         const std::function<void(unsigned, unsigned)>& measured = {}) {
    const int again = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (again < 0) return nullptr;
    LoadReport report;
    ImagePtr image =
        DecodeImageFile(again, request.extensions[slot], request.maxMegapixels, headerOnly, report, measured);
    ::lseek(fd, 0, SEEK_SET);
    if (report.outOfMemory) OutOfMemory();
    return image;
}

// FreeImage's header of the file in `slot` on `fd`, when it reads without a problem and tells what decoding
// the file gives (HeaderMayMislead). A GIF's comes with its pixels: FreeImage decodes GIFs whole.
ImagePtr Header(int socket, int fd, const WorkerRequest& request, int slot) {
    ImagePtr header = DecodeKeepingFd(fd, request, slot, true, Measure(socket, slot));
    if (!header || HeaderMayMislead(header.get())) return nullptr;
    return header;
}

// Header, when the file is a TIFF by its first four bytes.
ImagePtr TiffHeader(int socket, int fd, const WorkerRequest& request, int slot) {
    unsigned char magic[4] = {};
    if (::pread(fd, magic, sizeof magic, 0) != sizeof magic) return nullptr;
    const bool tiff = (magic[0] == 'I' && magic[1] == 'I' && magic[2] == 42 && magic[3] == 0) ||
                      (magic[0] == 'M' && magic[1] == 'M' && magic[2] == 0 && magic[3] == 42);
    return tiff ? Header(socket, fd, request, slot) : nullptr;
}

// The mask on `fd` as far as the rules need it, when its header settles that they refuse it: a header that
// shows another depth than one bit stands in for the mask, whose pixels are then never decoded (the rules'
// checks read only type, size and depth, and refuse it before they touch a pixel, with the message that the
// decoded mask would give). A header that comes with its pixels is the decoded mask. Null otherwise: the
// mask is to be decoded.
ImagePtr MaskFromItsHeader(int socket, int fd, const WorkerRequest& request) {
    ImagePtr header = Header(socket, fd, request, kMaskSlot);
    const bool oneBit =
        header && FreeImage_GetImageType(header.get()) == FIT_BITMAP && FreeImage_GetBPP(header.get()) == 1;
    return header && (!oneBit || FreeImage_HasPixels(header.get())) ? std::move(header) : nullptr;
}

// Tells the run which file the strip copy is at.
std::function<void(StripCopyStage)> TellStage(int socket) {
    return [socket](StripCopyStage stage) {
        if (stage == StripCopyStage::Writing) {
            Tell(socket, WorkerReplyKind::Writing);
        } else {
            Tell(socket, WorkerReplyKind::Reading,
                 stage == StripCopyStage::ReadingBack ? kBackSlot : kPageSlot);
        }
    };
}

// After a strip copy that was not taken or found a file damaged: true when the entry is done, its reply
// made; false when the decoding path is to write the output.
bool EndUntakenCopy(StripCopyOutcome outcome, int output, WorkerReply& reply) {
    const bool damaged = outcome == StripCopyOutcome::PageDamaged || outcome == StripCopyOutcome::BackDamaged;
    // The copy read its inputs with pread only, so they still stand at 0 for the decoding path. What
    // it wrote goes; if it cannot, the output is not this entry's to write.
    const bool emptied = ::ftruncate(output, 0) == 0 && ::lseek(output, 0, SEEK_SET) == 0;
    if (emptied && !damaged) return false;
    // A damaged file is named as the decoding path names one, and that path is not tried: it would
    // write a fax or JPEG page whose decoder only warned.
    reply.written = false;
    reply.writeError = emptied ? 0 : ReplyError(errno, EIO);
    if (damaged) {
        const int slot = outcome == StripCopyOutcome::BackDamaged ? kBackSlot : kPageSlot;
        reply.inputs[slot].problem = LoadProblem::Damaged;
    }
    ::close(output);
    return true;
}

// A TIFF page to a TIFF output, strip by strip (see CopyStrips): true when the entry is done, its reply
// made. Otherwise nothing is written, the inputs stand at 0, and `mask` may hold the decoded mask for
// the decoding path to use.
bool TryStripCopy(int socket, const WorkerRequest& request, const std::array<int, kWorkerSlots>& slotFd,
                  ImagePtr& mask, WorkerReply& reply) {
    const bool merge = request.task == WorkerTask::Merge;
    const int output = slotFd[kOutputSlot];
    if (request.headersOnly || output < 0 || !IsTiffExtension(request.extensions[kOutputSlot]) ||
        slotFd[kPageSlot] < 0 || slotFd[kMaskSlot] < 0 || (merge && slotFd[kBackSlot] < 0)) {
        return false;
    }
    Tell(socket, WorkerReplyKind::Reading, kPageSlot);
    const ImagePtr page = TiffHeader(socket, slotFd[kPageSlot], request, kPageSlot);
    if (!page) return false;
    ImagePtr back;
    if (merge) {
        Tell(socket, WorkerReplyKind::Reading, kBackSlot);
        back = TiffHeader(socket, slotFd[kBackSlot], request, kBackSlot);
        if (!back) return false;
    }
    Tell(socket, WorkerReplyKind::Reading, kMaskSlot);
    mask = MaskFromItsHeader(socket, slotFd[kMaskSlot], request);
    if (!mask) mask = DecodeKeepingFd(slotFd[kMaskSlot], request, kMaskSlot, false);
    if (!mask || CheckRule(request.task, page.get(), back.get(), mask.get()) != PixelStatus::Ok ||
        !FormatCanHold("x." + request.extensions[kOutputSlot], page.get())) {
        return false;
    }
    const StripCopyFiles files{.page = slotFd[kPageSlot],
                               .pageHeader = page.get(),
                               .back = merge ? slotFd[kBackSlot] : -1,
                               .backHeader = back.get(),
                               .mask = mask.get(),
                               .output = output,
                               .maxMegapixels = request.maxMegapixels};
    int error = 0;
    const StripCopyOutcome outcome = CopyStrips(files, TellStage(socket), error);
    if (outcome == StripCopyOutcome::NotTaken || outcome == StripCopyOutcome::PageDamaged ||
        outcome == StripCopyOutcome::BackDamaged) {
        return EndUntakenCopy(outcome, output, reply);
    }
    reply.pixels = PixelStatus::Ok;
    reply.written = outcome == StripCopyOutcome::Written;
    reply.writeError = reply.written ? 0 : ReplyError(error, 0);
    return true;
}

// The request's descriptors by slot, -1 for a slot it does not have.
std::array<int, kWorkerSlots> SlotDescriptors(const WorkerRequest& request, const std::vector<int>& fds) {
    std::array<int, kWorkerSlots> slotFd;
    slotFd.fill(-1);
    for (int slot = 0, next = 0; slot < kWorkerSlots; ++slot)
        if (request.Has(slot)) slotFd[slot] = fds[next++];
    return slotFd;
}

// The input in `slot` on `fd` (which this closes): its header for a dry run, where the header tells what
// decoding gives, its pixels otherwise. What loading it found goes into `reply`.
ImagePtr LoadInput(int socket, const WorkerRequest& request, int slot, int fd, WorkerReply& reply) {
    const bool headers = request.headersOnly;
    Tell(socket, WorkerReplyKind::Reading, static_cast<std::uint8_t>(slot));
    LoadReport report;
    ImagePtr image;
    if (slot == kMaskSlot && !headers) image = MaskFromItsHeader(socket, fd, request);
    if (image) {
        ::close(fd);
    } else {
        // A header that may not say what the pixels will be is not enough for a dry run: then the
        // file is decoded, as the run will decode it (from a second descriptor: a decode closes its
        // own).
        const int again = headers ? ::fcntl(fd, F_DUPFD_CLOEXEC, 0) : -1;
        image = DecodeImageFile(fd, request.extensions[slot], request.maxMegapixels, headers, report,
                                Measure(socket, slot));
        if (again >= 0 && image && HeaderMayMislead(image.get()) && ::lseek(again, 0, SEEK_SET) == 0) {
            image = DecodeImageFile(again, request.extensions[slot], request.maxMegapixels, false, report);
        } else if (again >= 0) {
            ::close(again);
        }
    }
    if (report.outOfMemory) OutOfMemory();
    reply.inputs[slot] = Describe(report, headers ? image.get() : nullptr);
    return image;
}

// The rule on the loaded inputs: for a dry run only its checks, into `reply`; otherwise its result too.
PixelResult CarryRule(const WorkerRequest& request, const std::array<ImagePtr, kInputSlots>& images,
                      WorkerReply& reply) {
    PixelResult result;
    const bool merge = request.task == WorkerTask::Merge;
    const bool loaded = images[kPageSlot] && images[kMaskSlot] && (!merge || images[kBackSlot]);
    if (request.headersOnly && loaded) {
        // What the run would find: the rule's checks, and whether the output's format holds a result
        // of the page's type and depth (the result follows the page).
        reply.pixels = CheckRule(request.task, images[kPageSlot].get(), images[kBackSlot].get(),
                                 images[kMaskSlot].get());
        reply.written = reply.pixels == PixelStatus::Ok &&
                        FormatCanHold("x." + request.extensions[kOutputSlot], images[kPageSlot].get());
    } else if (loaded) {
        result = ApplyRule(request.task, images[kPageSlot].get(), images[kBackSlot].get(),
                           images[kMaskSlot].get());
        if (result.status == PixelStatus::OutOfMemory) OutOfMemory();
        reply.pixels = result.status;
    }
    return result;
}

}  // namespace

WorkerReply CarryRequest(int socket, const WorkerRequest& request, const std::vector<int>& fds) {
    std::array<int, kWorkerSlots> slotFd = SlotDescriptors(request, fds);
    if (request.task == WorkerTask::Preview)
        return CarryPreview(socket, request, slotFd[kPageSlot], slotFd[kOutputSlot]);

    WorkerReply reply;
    reply.kind = WorkerReplyKind::Done;
    PixelResult result;
    {
        std::array<ImagePtr, kInputSlots> images;
        if (TryStripCopy(socket, request, slotFd, images[kMaskSlot], reply)) {
            for (int slot = 0; slot < kInputSlots; ++slot)
                if (slotFd[slot] >= 0) ::close(slotFd[slot]);
            return reply;
        }
        if (images[kMaskSlot]) {
            // Decoded already, without a problem: its descriptor is not needed again.
            ::close(slotFd[kMaskSlot]);
            slotFd[kMaskSlot] = -1;
        }
        for (int slot = 0; slot < kInputSlots; ++slot) {
            if (slotFd[slot] >= 0) images[slot] = LoadInput(socket, request, slot, slotFd[slot], reply);
        }
        result = CarryRule(request, images, reply);
    }
    if (slotFd[kOutputSlot] >= 0) {
        OutputFile output(OutputFile::Descriptor{slotFd[kOutputSlot]});
        if (result.image) {
            Tell(socket, WorkerReplyKind::Writing);
            int error = 0;
            reply.written =
                EncodeImageFile(result.image.get(), request.extensions[kOutputSlot], output, error);
            reply.writeError = reply.written ? 0 : error;
        }
    }
    return reply;
}

int ServeRequests(int socket, RequestCarrier carry) {
    std::set_new_handler(OutOfMemory);
    Tell(socket, WorkerReplyKind::Ready);
    for (;;) {
        std::uint8_t buffer[kMaxWorkerMessage];
        std::vector<int> fds;
        const long size = ReceiveWorkerMessage(socket, buffer, sizeof buffer, fds, kWorkerSlots);
        if (size == 0) return 0;
        const auto request = size > 0 ? DecodeRequest(buffer, static_cast<std::size_t>(size)) : std::nullopt;
        if (!request || static_cast<int>(fds.size()) != request->Descriptors()) return kWorkerProtocolStatus;
        if (!SendWorkerMessage(socket, EncodeReply(carry(socket, *request, fds)))) return 0;
    }
}

int WorkerMain(int argc, char** argv, RequestCarrier carry) {
    if (argc != 2 || std::strcmp(argv[1], "--serve") != 0) return 2;
    constexpr int kSocket = 3;
    const pid_t run = ::getppid();
    std::string reason;
    if (!DropPrivileges(reason)) return 1;
    // After the change of credentials, which clears it; a run that ended meanwhile is not waited for.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != run) return 0;
    std::signal(SIGXFSZ, SIG_IGN);
    // A scheduler's cancel (scancel, systemd's stop) signals every process of the job: the run's stop
    // finishes the pages in hand, which needs their workers; the workers end with the run anyway.
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) std::signal(signal, SIG_IGN);
    KeepPageMemory();
    if (!ConfineWorker(reason)) return 1;
    return ServeRequests(kSocket, carry);
}

}  // namespace orfeo
