#pragma once

#include <cstddef>
#include <cstdint>

// Feeds arbitrary bytes to the run's side of the page workers' protocol: as a reply and as a request
// (DecodeReply, DecodeRequest), and as a message received on a socket. A message that is taken must encode
// back to the very same bytes.
int FuzzWorkerProtocol(const std::uint8_t* data, std::size_t size);
