#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "protocol/MessageSink.h"
#include "run/BatchResult.h"
#include "run/JobOptions.h"

namespace orfeo {

// Processes entry `index`, showing its messages through `messages`; true when its output was written.
// Called from several threads at once for different entries.
using EntryWork = std::function<bool(std::size_t index, IMessageSink& messages)>;

// The name of entry `index`, for the progress callback.
using EntryName = std::function<std::string(std::size_t index)>;

// The files of entry `index` in `report`, for the entryEnded callback.
using EntryDescription = std::function<void(std::size_t index, EntryReport& report)>;

// Runs `work` over entries 0 .. count-1 as `options` say, counting the written ones in `result`, then
// shows the stop message (if a stop ended the run) and "Processing ended.". Whatever the number of
// workers, the messages of entry k reach `messages` after those of every entry before it, and while
// `messages` is busy with one, no new entry starts.
void RunEntries(std::size_t count, const EntryWork& work, const EntryName& name, IMessageSink& messages,
                const JobOptions& options, BatchResult& result, const EntryDescription& describe = {});

}  // namespace orfeo
