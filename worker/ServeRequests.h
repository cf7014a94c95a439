#pragma once

namespace orfeo {

// The exit status of a worker whose decoder or rule ran out of memory.
inline constexpr int kWorkerOutOfMemoryStatus = 86;
// The exit status of a worker that was sent something the protocol does not allow.
inline constexpr int kWorkerProtocolStatus = 3;

// A page worker's life once it is confined: says that it is ready on `socket`, then carries out the run's
// requests one at a time (see WorkerProtocol.h), until the run closes the socket (status 0) or sends
// something that is not a request (kWorkerProtocolStatus).
int ServeRequests(int socket);

}  // namespace orfeo
