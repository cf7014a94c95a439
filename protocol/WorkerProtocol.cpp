#include "protocol/WorkerProtocol.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace orfeo {

namespace {

// Every message starts with these four bytes, then a version byte.
constexpr std::uint8_t kMagic[4] = {'O', 'r', 'f', 'W'};
constexpr std::uint8_t kVersion = 3;
constexpr std::uint8_t kRequestTag = 'Q';
constexpr std::uint8_t kReplyTag = 'A';

class Writer {
public:
    explicit Writer(std::uint8_t tag) {
        m_bytes.assign(std::begin(kMagic), std::end(kMagic));
        m_bytes.push_back(kVersion);
        m_bytes.push_back(tag);
    }
    void U8(std::uint8_t value) { m_bytes.push_back(value); }
    void U16(std::uint16_t value) { Little(value, 2); }
    void U32(std::uint32_t value) { Little(value, 4); }
    void F64(double value) {
        std::uint64_t bits;
        std::memcpy(&bits, &value, sizeof bits);
        Little(bits, 8);
    }
    void Text(const std::string& text) {
        const std::size_t length = std::min(text.size(), kMaxExtension);
        U8(static_cast<std::uint8_t>(length));
        m_bytes.insert(m_bytes.end(), text.begin(), text.begin() + static_cast<long>(length));
    }
    std::vector<std::uint8_t> Bytes() && { return std::move(m_bytes); }

private:
    void Little(std::uint64_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) m_bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
    std::vector<std::uint8_t> m_bytes;
};

// Reads what a Writer wrote; any read past the end, or a header that is not ours, makes it fail for good.
class Reader {
public:
    Reader(const std::uint8_t* bytes, std::size_t size, std::uint8_t tag) : m_bytes(bytes), m_size(size) {
        for (std::uint8_t expected : kMagic) Expect(expected);
        Expect(kVersion);
        Expect(tag);
    }
    std::uint8_t U8() { return static_cast<std::uint8_t>(Little(1)); }
    std::uint16_t U16() { return static_cast<std::uint16_t>(Little(2)); }
    std::uint32_t U32() { return static_cast<std::uint32_t>(Little(4)); }
    double F64() {
        const std::uint64_t bits = Little(8);
        double value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }
    std::string Text() {
        const std::size_t length = U8();
        if (length > kMaxExtension || m_at + length > m_size) {
            m_ok = false;
            return {};
        }
        std::string text(reinterpret_cast<const char*>(m_bytes + m_at), length);
        m_at += length;
        return text;
    }
    // Everything read, and nothing left over.
    bool Complete() const { return m_ok && m_at == m_size; }

private:
    void Expect(std::uint8_t value) {
        if (U8() != value) m_ok = false;
    }
    std::uint64_t Little(int bytes) {
        if (!m_ok || m_at + static_cast<std::size_t>(bytes) > m_size) {
            m_ok = false;
            return 0;
        }
        std::uint64_t value = 0;
        for (int i = 0; i < bytes; ++i) value |= std::uint64_t{m_bytes[m_at++]} << (8 * i);
        return value;
    }
    const std::uint8_t* m_bytes;
    std::size_t m_size;
    std::size_t m_at = 0;
    bool m_ok = true;
};

bool ValidTask(std::uint8_t task) { return task >= 1 && task <= 3; }

// `type` as it came, not yet a PageType: a value outside that enumeration must not be made one.
bool ValidDepth(unsigned type, unsigned bpp) {
    constexpr auto Is = [](PageType known) { return static_cast<unsigned>(known); };
    switch (type) {
        case Is(PageType::Bitmap):
            return bpp == 1 || bpp == 4 || bpp == 8 || bpp == 16 || bpp == 24 || bpp == 32;
        case Is(PageType::Uint16):
        case Is(PageType::Int16):
            return bpp == 16;
        case Is(PageType::Uint32):
        case Is(PageType::Int32):
        case Is(PageType::Float):
            return bpp == 32;
        case Is(PageType::Double):
        case Is(PageType::Complex):
            return bpp == 64 || bpp == 128;
        case Is(PageType::Rgb16):
            return bpp == 48;
        case Is(PageType::Rgba16):
            return bpp == 64;
        case Is(PageType::Rgbf):
            return bpp == 96;
        case Is(PageType::Rgbaf):
            return bpp == 128;
        default:
            return false;
    }
}

bool ValidOutcome(const SlotOutcome& outcome, double maxMegapixels) {
    const double pixels = static_cast<double>(outcome.width) * outcome.height;
    switch (outcome.problem) {
        case LoadProblem::None:
            // Only a header says what it found; a loaded input of a rule says nothing more.
            if (outcome.bpp == 0 && outcome.type == 0 && outcome.width == 0 && outcome.height == 0)
                return true;
            return outcome.width > 0 && outcome.height > 0 && pixels <= maxMegapixels * 1e6 &&
                   ValidDepth(outcome.type, outcome.bpp);
        case LoadProblem::TooLarge:
            return pixels > maxMegapixels * 1e6;
        case LoadProblem::UnlistedFormat:
            return outcome.format < kFormatCount;
        case LoadProblem::NotFound:
        case LoadProblem::NotRegular:
            // The run opens the files: a worker never finds these.
            return false;
        case LoadProblem::CannotRead:
        case LoadProblem::Damaged:
            return true;
    }
    return false;
}

// Whether a Done reply holds together: a written output comes with no problem, of its own or of an input.
bool ConsistentDone(const WorkerReply& reply, double maxMegapixels) {
    if (reply.written && (reply.writeError != 0 || reply.pixels != PixelStatus::Ok)) return false;
    // A preview has both sides or none, within bounds, and only as a written output.
    const bool preview = reply.previewWidth > 0 || reply.previewHeight > 0;
    if (preview &&
        (reply.previewWidth == 0 || reply.previewHeight == 0 || reply.previewWidth > kPreviewSide ||
         reply.previewHeight > kPreviewSide || !reply.written))
        return false;
    for (const SlotOutcome& input : reply.inputs) {
        if (!ValidOutcome(input, maxMegapixels)) return false;
        if (reply.written && input.problem != LoadProblem::None) return false;
    }
    return true;
}

}  // namespace

int WorkerRequest::Descriptors() const {
    int count = 0;
    for (int slot = 0; slot < kWorkerSlots; ++slot) count += Has(slot);
    return count;
}

std::vector<std::uint8_t> EncodeRequest(const WorkerRequest& request) {
    Writer out(kRequestTag);
    out.U8(static_cast<std::uint8_t>(request.task));
    out.U8(request.headersOnly ? 1 : 0);
    out.U8(request.present);
    out.F64(request.maxMegapixels);
    for (const std::string& extension : request.extensions) out.Text(extension);
    return std::move(out).Bytes();
}

std::optional<WorkerRequest> DecodeRequest(const std::uint8_t* bytes, std::size_t size) {
    Reader in(bytes, size, kRequestTag);
    WorkerRequest request;
    const std::uint8_t task = in.U8();
    request.task = static_cast<WorkerTask>(task);
    const std::uint8_t headersOnly = in.U8();
    request.headersOnly = headersOnly == 1;
    request.present = in.U8();
    request.maxMegapixels = in.F64();
    for (std::string& extension : request.extensions) extension = in.Text();
    if (!in.Complete() || !ValidTask(task) || headersOnly > 1 || request.present >= (1u << kWorkerSlots))
        return std::nullopt;
    if (!(request.maxMegapixels > 0) || request.maxMegapixels > 1e9) return std::nullopt;
    if (request.headersOnly && request.Has(kOutputSlot)) return std::nullopt;
    // A preview reads the page and writes the output, nothing else.
    if (request.task == WorkerTask::Preview &&
        (request.headersOnly || request.present != ((1u << kPageSlot) | (1u << kOutputSlot))))
        return std::nullopt;
    return request;
}

std::vector<std::uint8_t> EncodeReply(const WorkerReply& reply) {
    Writer out(kReplyTag);
    out.U8(static_cast<std::uint8_t>(reply.kind));
    if (reply.kind == WorkerReplyKind::Reading || reply.kind == WorkerReplyKind::Measured) out.U8(reply.slot);
    if (reply.kind == WorkerReplyKind::Measured) {
        out.U32(reply.width);
        out.U32(reply.height);
    }
    if (reply.kind != WorkerReplyKind::Done) return std::move(out).Bytes();
    for (const SlotOutcome& input : reply.inputs) {
        out.U8(static_cast<std::uint8_t>(input.problem));
        out.U32(input.width);
        out.U32(input.height);
        out.U32(input.format);
        out.U8(input.type);
        out.U16(input.bpp);
    }
    out.U8(static_cast<std::uint8_t>(reply.pixels));
    out.U8(reply.written ? 1 : 0);
    out.U32(static_cast<std::uint32_t>(reply.writeError));
    out.U16(reply.previewWidth);
    out.U16(reply.previewHeight);
    return std::move(out).Bytes();
}

std::optional<WorkerReply> DecodeReply(const std::uint8_t* bytes, std::size_t size, double maxMegapixels) {
    Reader in(bytes, size, kReplyTag);
    WorkerReply reply;
    const std::uint8_t kind = in.U8();
    if (kind < 1 || kind > 5) return std::nullopt;
    reply.kind = static_cast<WorkerReplyKind>(kind);
    if (reply.kind == WorkerReplyKind::Reading || reply.kind == WorkerReplyKind::Measured) {
        reply.slot = in.U8();
        if (reply.slot >= kInputSlots) return std::nullopt;
    }
    if (reply.kind == WorkerReplyKind::Measured) {
        reply.width = in.U32();
        reply.height = in.U32();
        const double pixels = static_cast<double>(reply.width) * reply.height;
        if (reply.width == 0 || reply.height == 0 || pixels > maxMegapixels * 1e6) return std::nullopt;
    }
    if (reply.kind != WorkerReplyKind::Done) {
        if (!in.Complete()) return std::nullopt;
        return reply;
    }
    for (SlotOutcome& input : reply.inputs) {
        const std::uint8_t problem = in.U8();
        if (problem > static_cast<std::uint8_t>(LoadProblem::UnlistedFormat)) return std::nullopt;
        input.problem = static_cast<LoadProblem>(problem);
        input.width = in.U32();
        input.height = in.U32();
        input.format = in.U32();
        input.type = in.U8();
        input.bpp = in.U16();
    }
    const std::uint8_t pixels = in.U8();
    const std::uint8_t written = in.U8();
    reply.writeError = static_cast<std::int32_t>(in.U32());
    reply.previewWidth = in.U16();
    reply.previewHeight = in.U16();
    if (!in.Complete() || pixels > static_cast<std::uint8_t>(PixelStatus::OutOfMemory) || written > 1 ||
        reply.writeError < 0 || reply.writeError > 4095) {
        return std::nullopt;
    }
    reply.pixels = static_cast<PixelStatus>(pixels);
    reply.written = written == 1;
    if (!ConsistentDone(reply, maxMegapixels)) return std::nullopt;
    return reply;
}

bool SendWorkerMessage(int socket, const std::vector<std::uint8_t>& bytes, const std::vector<int>& fds) {
    iovec part{const_cast<std::uint8_t*>(bytes.data()), bytes.size()};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    std::vector<char> control;
    if (!fds.empty()) {
        control.assign(CMSG_SPACE(sizeof(int) * fds.size()), 0);
        message.msg_control = control.data();
        message.msg_controllen = control.size();
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
        std::memcpy(CMSG_DATA(header), fds.data(), sizeof(int) * fds.size());
    }
    for (;;) {
        const ssize_t sent = ::sendmsg(socket, &message, MSG_NOSIGNAL);
        if (sent >= 0) return static_cast<std::size_t>(sent) == bytes.size();
        if (errno != EINTR) return false;
    }
}

long ReceiveWorkerMessage(int socket, std::uint8_t* buffer, std::size_t size, std::vector<int>& fds,
                          std::size_t maxFds) {
    fds.clear();
    iovec part{buffer, size};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kWorkerSlots)];
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t received;
    do {
        received = ::recvmsg(socket, &message, MSG_CMSG_CLOEXEC);
    } while (received < 0 && errno == EINTR);
    if (received < 0) return errno == ECONNRESET ? 0 : -1;
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header; header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS) continue;
        const std::size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (std::size_t i = 0; i < count; ++i) {
            int fd;
            std::memcpy(&fd, CMSG_DATA(header) + i * sizeof(int), sizeof fd);
            fds.push_back(fd);
        }
    }
    const bool fits = (message.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) == 0 && fds.size() <= maxFds;
    if (!fits) {
        for (int fd : fds) ::close(fd);
        fds.clear();
        return -1;
    }
    return static_cast<long>(received);
}

}  // namespace orfeo
