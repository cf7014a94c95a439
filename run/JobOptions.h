#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "protocol/Limits.h"

namespace orfeo {

class PageWorkers;

// What became of one entry of a run, for a report.
struct EntryReport {
    std::size_t index = 0;
    std::string page, mask, back, output;  // the entry's files (`back` empty for a back job)
    bool written = false;                  // its output was written (in a dry run: would be)
    std::vector<std::string> messages;     // what the run showed for it, in order
    double seconds = 0;                    // the time it took
};

// How a batch job runs; the defaults give a run on every core, with no progress and no stop.
struct JobOptions {
    // Entries processed at once: 0 for as many as the cores the process may run on, 1 for the plain
    // sequential run; never more than the threads oneTBB runs at once in this process (one a core, unless
    // the process set another limit). Every count writes the same files and shows the same messages in the
    // same order.
    unsigned workers = 0;

    // Called once for every entry that was taken up, in list order, after its messages were shown: entries
    // done so far, entries in all, the entry's name (its page's file name; in a merge the first folder's
    // page and the second's, "page1.tif + scan_001.tif"). Called on one thread at a time, not necessarily
    // the caller's.
    std::function<void(std::size_t done, std::size_t total, const std::string& name)> progress;

    // Called for every entry that was taken up, in list order, just before `progress`, with what became
    // of it. On one thread at a time, not necessarily the caller's.
    std::function<void(const EntryReport& entry)> entryEnded;

    // When it turns true, no new entry starts; the entries in flight finish (each output written whole
    // or not at all) and the run ends with a message saying how many were written.
    const std::atomic<bool>* stop = nullptr;

    // Pages, masks and back subscans larger than this are refused before they are decoded. Every worker
    // may hold a page, its mask and its result at once, and the merge a back subscan too: the memory a
    // run may need is about (workers + 1) x 3 x the largest admitted image in bytes.
    double maxMegapixels = kDefaultMaxMegapixels;

    // The processor time one entry may take before its worker is stopped; 0 for EntryCpuSeconds of the
    // megapixel limit.
    unsigned entryCpuSeconds = 0;

    // The page worker program; empty for orfeo-worker where the build and the package put it.
    std::string workerProgram;

    // Page workers to use instead of starting the run's own, so that runs one after the other (the books
    // of one call) keep theirs; made with WorkerSettingsFor these options. Not owned.
    PageWorkers* workerPool = nullptr;
};

}  // namespace orfeo
