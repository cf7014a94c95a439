#include "fuzz/FuzzProtocol.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "protocol/WorkerProtocol.h"

int FuzzWorkerProtocol(const std::uint8_t* data, std::size_t size) {
    for (double maxMegapixels : {1.0, 600.0}) {
        if (const auto reply = orfeo::DecodeReply(data, size, maxMegapixels)) {
            const std::vector<std::uint8_t> again = orfeo::EncodeReply(*reply);
            if (again != std::vector<std::uint8_t>(data, data + size)) std::abort();
        }
    }
    if (const auto request = orfeo::DecodeRequest(data, size)) {
        // Decoding is exact: the same bytes come back, and the same request from them.
        const std::vector<std::uint8_t> again = orfeo::EncodeRequest(*request);
        const auto twice = orfeo::DecodeRequest(again.data(), again.size());
        if (!twice || orfeo::EncodeRequest(*twice) != again) std::abort();
    }
    // Through a socket, as a worker's message arrives.
    int sockets[2];
    if (size <= orfeo::kMaxWorkerMessage &&
        ::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sockets) == 0) {
        if (orfeo::SendWorkerMessage(sockets[1], std::vector<std::uint8_t>(data, data + size))) {
            std::uint8_t buffer[orfeo::kMaxWorkerMessage];
            std::vector<int> fds;
            const long received = orfeo::ReceiveWorkerMessage(sockets[0], buffer, sizeof buffer, fds, 0);
            if (received >= 0 && static_cast<std::size_t>(received) != size) std::abort();
            if (received > 0) orfeo::DecodeReply(buffer, static_cast<std::size_t>(received), 600);
        }
        ::close(sockets[0]);
        ::close(sockets[1]);
    }
    return 0;
}
