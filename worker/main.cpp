// orfeo-worker: decodes, rules and encodes the pages of a run of orfeo or orfeo-cli, one entry at a time,
// in a process of its own that the run starts. Not for use by hand.

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "process/PageMemory.h"
#include "worker/Confinement.h"
#include "worker/ServeRequests.h"

int main(int argc, char** argv) {
    if (argc != 2 || std::strcmp(argv[1], "--serve") != 0) {
        std::fputs(
            "orfeo-worker decodes pages for orfeo and orfeo-cli, which start it; it is not run by hand.\n",
            stderr);
        return 2;
    }
    constexpr int kSocket = 3;
    // An output past the file size limit is a write that fails (EFBIG), reported as such, not an end.
    std::signal(SIGXFSZ, SIG_IGN);
    orfeo::KeepPageMemory();
    std::string reason;
    if (!orfeo::ConfineWorker(reason)) return 1;
    return orfeo::ServeRequests(kSocket);
}
