#pragma once

#include <cstddef>

namespace orfeo {

// What a batch job did, for callers that report an exit status; the user has already been told the
// details through the message sink.
struct BatchResult {
    bool refused = false;     // stopped before touching the disk (nothing loaded, lists that do not pair)
    bool inUse = false;       // refused because another run holds a folder: worth trying again later
    bool stopped = false;     // a stop request ended the run before every entry was taken up
    std::size_t entries = 0;  // entries the run set out to process
    std::size_t written = 0;  // entries whose output file was written

    // Every entry was written.
    bool Succeeded() const { return !refused && !stopped && written == entries; }
};

}  // namespace orfeo
