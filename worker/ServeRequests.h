#pragma once

#include <vector>

#include "imaging/WorkerProtocol.h"

namespace orfeo {

// The exit status of a worker that was sent something the protocol does not allow.
inline constexpr int kWorkerProtocolStatus = 3;

// Carries out one request with its descriptors (taken over and closed): reads the inputs (saying on
// `socket` which one it reads), applies the rule and writes the output, and gives the reply to send.
WorkerReply CarryRequest(int socket, const WorkerRequest& request, const std::vector<int>& fds);

using RequestCarrier = WorkerReply (*)(int socket, const WorkerRequest& request, const std::vector<int>& fds);

// A page worker's life once it is confined: says that it is ready on `socket`, then carries out the run's
// requests one at a time with `carry` (see WorkerProtocol.h), until the run closes the socket (status 0) or
// sends something that is not a request (kWorkerProtocolStatus).
int ServeRequests(int socket, RequestCarrier carry = CarryRequest);

}  // namespace orfeo
