#pragma once

#include <vector>

#include "protocol/WorkerProtocol.h"

namespace orfeo {

// The exit status of a worker that was sent something the protocol does not allow.
inline constexpr int kWorkerProtocolStatus = 3;

// Carries out one request with its descriptors (taken over and closed): reads the inputs (saying on
// `socket` which one it reads), applies the rule and writes the output, and gives the reply to send.
WorkerReply CarryRequest(int socket, const WorkerRequest& request, const std::vector<int>& fds);

using RequestCarrier = WorkerReply (*)(int socket, const WorkerRequest& request, const std::vector<int>& fds);

// A page worker's whole life, from the main of its program: with `argv` {"...", "--serve"}, it gives up
// its privileges (DropPrivileges), ends with the run that started it (even with a decoder looping in it),
// ignores SIGXFSZ (an output past the file size limit is a write that fails with EFBIG) and the signals that
// ask a job to stop (SIGINT, SIGTERM, SIGHUP: the run decides), keeps its page memory, confines itself
// (ConfineWorker) and serves the run's requests on descriptor 3 with `carry`. Its exit status:
// ServeRequests's, 1 when it could not be confined, 2 when it was not started as a worker.
int WorkerMain(int argc, char** argv, RequestCarrier carry = CarryRequest);

// A page worker's life once it is confined: says that it is ready on `socket`, then carries out the run's
// requests one at a time with `carry` (see WorkerProtocol.h), until the run closes the socket (status 0) or
// sends something that is not a request (kWorkerProtocolStatus).
int ServeRequests(int socket, RequestCarrier carry = CarryRequest);

}  // namespace orfeo
