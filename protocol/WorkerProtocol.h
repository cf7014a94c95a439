#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "protocol/ImageFormats.h"
#include "protocol/LoadReport.h"
#include "protocol/PixelStatus.h"

namespace orfeo {

// What a run and its page workers say to each other over a local socket (one datagram a message, the
// files' descriptors passed along): the run asks for one entry at a time, the worker says which file it
// is reading and then what came of the entry. Pixels never cross; paths neither (the worker sees open
// files only, and the extensions of their names). Each side decodes what the other sent as untrusted
// bytes: a message that is not exactly what this file describes is refused whole.

// The slots of an entry's files, in the order they are read.
enum WorkerSlot : std::uint8_t { kPageSlot = 0, kBackSlot = 1, kMaskSlot = 2, kOutputSlot = 3 };
inline constexpr int kInputSlots = 3;
inline constexpr int kWorkerSlots = 4;
// The longest extension sent: the listed ones have at most four characters, and the scan never lists one
// longer than nine.
inline constexpr std::size_t kMaxExtension = 15;

enum class WorkerTask : std::uint8_t {
    Back = 1,   // load page and mask, make the back subscan, write it to the output
    Merge = 2,  // load page, back subscan and mask, merge them, write the result to the output
    // Load the page (the page slot alone) and write a picture of it for a person to look at into the
    // output: 8-bit RGB, top row first, no longer than kPreviewSide on either side. The output's extension
    // says how: "rgb" as the image shows, "bits" a mask's bits as the jobs read them (see MakePreview).
    Preview = 3,
};

// The longest side of a preview.
inline constexpr std::uint16_t kPreviewSide = 2048;

// A picture of an image for a person to look at: 8-bit RGB, three bytes a pixel, the top row first.
struct PreviewPixels {
    unsigned width = 0, height = 0;
    std::vector<std::uint8_t> rgb;
};

struct WorkerRequest {
    WorkerTask task = WorkerTask::Back;
    // For a dry run: read what a header tells (and decode only what a header cannot tell), make the rule's
    // checks, and say whether the output's format would hold the result; write nothing (there is no
    // output descriptor, only the output's extension).
    bool headersOnly = false;
    // The slots that come with a descriptor, one bit each; the descriptors follow in slot order.
    std::uint8_t present = 0;
    double maxMegapixels = 0;
    std::array<std::string, kWorkerSlots> extensions;  // of each slot's file name, as GetFileExtension gives

    bool Has(int slot) const { return (present >> slot) & 1; }
    int Descriptors() const;
};

// What the worker found of one input.
struct SlotOutcome {
    LoadProblem problem = LoadProblem::None;
    std::uint32_t width = 0, height = 0;  // the image's size (headers), or the size refused (TooLarge)
    std::uint32_t format = 0;             // the format of an UnlistedFormat file (ImageFormats.h)
    std::uint8_t type = 0;                // a PageType (headers)
    std::uint16_t bpp = 0;                // bits per pixel (headers)
};

enum class WorkerReplyKind : std::uint8_t {
    Ready = 1,     // the worker is confined and waits for requests
    Reading = 2,   // it starts on the file of `slot`
    Writing = 3,   // it encodes the result
    Done = 4,      // the entry is finished; the outcomes follow
    Measured = 5,  // the header of the file of `slot` gives `width` x `height`, within the limit; the run
                   // gives a worker time to answer by the size of what it reads
};

struct WorkerReply {
    WorkerReplyKind kind = WorkerReplyKind::Done;
    std::uint8_t slot = 0;                // Reading, Measured
    std::uint32_t width = 0, height = 0;  // Measured
    // Done:
    std::array<SlotOutcome, kInputSlots> inputs{};
    PixelStatus pixels = PixelStatus::Ok;
    bool written = false;         // the output was encoded and closed whole (headersOnly: would be)
    std::int32_t writeError = 0;  // the system's reason when it was not (0: none known)
    // Preview: the preview's size (0 x 0 when none was written); the page's own is in inputs[kPageSlot].
    std::uint16_t previewWidth = 0, previewHeight = 0;
};

std::vector<std::uint8_t> EncodeRequest(const WorkerRequest& request);
std::optional<WorkerRequest> DecodeRequest(const std::uint8_t* bytes, std::size_t size);
std::vector<std::uint8_t> EncodeReply(const WorkerReply& reply);
// Refuses a reply whose fields are out of their ranges, and a Done reply that contradicts itself (an
// input both loaded and refused, a header of no size, a loaded image past `maxMegapixels`).
std::optional<WorkerReply> DecodeReply(const std::uint8_t* bytes, std::size_t size, double maxMegapixels);

// The exit status of a worker whose decoder or rule ran out of memory.
inline constexpr int kWorkerOutOfMemoryStatus = 86;

// The largest message either side sends.
inline constexpr std::size_t kMaxWorkerMessage = 256;

// Sends `bytes` with the descriptors `fds` on the socket `socket`; false when it could not (never raises
// SIGPIPE).
bool SendWorkerMessage(int socket, const std::vector<std::uint8_t>& bytes, const std::vector<int>& fds = {});

// Waits for one message on `socket`. Returns its size, 0 when the other side is gone, -1 on an error or a
// message that does not fit. The descriptors that came with it are in `fds` (at most `maxFds`; a message
// with more is refused, and every descriptor that came is closed).
long ReceiveWorkerMessage(int socket, std::uint8_t* buffer, std::size_t size, std::vector<int>& fds,
                          std::size_t maxFds);

}  // namespace orfeo
