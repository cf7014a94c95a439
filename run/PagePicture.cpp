#include "run/PagePicture.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>

#include "protocol/Messages.h"
#include "protocol/WorkerProtocol.h"
#include "run/JobSteps.h"
#include "scan/FolderScan.h"

namespace orfeo {

namespace {

// Keeps the first message it is given.
class FirstMessage final : public IMessageSink {
public:
    void ShowMessage(MessageKind, const std::string& text) override {
        if (m_text.empty()) m_text = text;
    }
    const std::string& Text() const { return m_text; }

private:
    std::string m_text;
};

class Descriptor {
public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor() {
        if (m_fd >= 0) ::close(m_fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int Get() const { return m_fd; }

private:
    int m_fd;
};

// What the worker is asked for: the picture of the page at `path`, its colours as they are or, with
// `maskBits`, as a mask's bits.
WorkerRequest PictureRequest(const std::string& path, const WorkerSettings& settings, bool maskBits) {
    WorkerRequest request;
    request.task = WorkerTask::Preview;
    request.present = (1u << kPageSlot) | (1u << kOutputSlot);
    request.maxMegapixels = settings.maxMegapixels;
    request.extensions[kPageSlot] = GetFileExtension(path);
    request.extensions[kOutputSlot] = maskBits ? "bits" : "rgb";
    return request;
}

// What went wrong, in the words of a job's entry that reads this file as its page.
void ShowOutcome(const WorkerOutcome& outcome, const std::string& path, const WorkerSettings& settings,
                 IMessageSink& messages) {
    EntryAnswer answer;
    answer.outcome = outcome;
    EntryFiles files;
    files.page = path;
    ShowInputOutcomes(answer, files, settings, messages);
}

// Fills `bytes` from the start of `fd`: 0, or the reason it could not.
int ReadWhole(int fd, std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t got = ::pread(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
        if (got <= 0) return got < 0 ? errno : EIO;
        done += static_cast<std::size_t>(got);
    }
    return 0;
}

}  // namespace

std::optional<PagePicture> ReadPagePicture(PageWorkers& workers, const std::string& path,
                                           std::string& problem, bool maskBits) {
    const WorkerSettings& settings = workers.Settings();
    FirstMessage said;
    LoadReport opened;
    const Descriptor page(OpenImageFile(path, opened));
    if (page.Get() < 0) {
        ShowLoadProblem(opened, path, settings.maxMegapixels, said);
        problem = said.Text();
        return std::nullopt;
    }
    // The worker writes the picture into memory of the run's making, sized for the largest picture.
    constexpr std::size_t kBytes = std::size_t{kPreviewSide} * kPreviewSide * 3;
    const Descriptor memory(::memfd_create("orfeo-picture", MFD_CLOEXEC));
    if (memory.Get() < 0 || ::ftruncate(memory.Get(), static_cast<off_t>(kBytes)) != 0) {
        problem = CannotReadMessage(path, errno);
        return std::nullopt;
    }

    const WorkerOutcome outcome =
        workers.Run(PictureRequest(path, settings, maskBits), {page.Get(), memory.Get()});

    ShowOutcome(outcome, path, settings, said);
    if (!said.Text().empty()) {
        problem = said.Text();
        return std::nullopt;
    }
    const WorkerReply& reply = outcome.reply;
    if (!reply.written || reply.previewWidth == 0) {
        problem = reply.writeError != 0 ? CannotReadMessage(path, reply.writeError)
                                        : PictureUnavailableMessage(path);
        return std::nullopt;
    }
    PagePicture picture;
    picture.pageWidth = reply.inputs[kPageSlot].width;
    picture.pageHeight = reply.inputs[kPageSlot].height;
    picture.pixels.width = reply.previewWidth;
    picture.pixels.height = reply.previewHeight;
    picture.pixels.rgb.resize(std::size_t{reply.previewWidth} * reply.previewHeight * 3);
    if (const int error = ReadWhole(memory.Get(), picture.pixels.rgb); error != 0) {
        problem = CannotReadMessage(path, error);
        return std::nullopt;
    }
    return picture;
}

}  // namespace orfeo
