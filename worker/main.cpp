// orfeo-worker: decodes, rules and encodes the pages of a run of orfeo or orfeo-cli, one entry at a time,
// in a process of its own that the run starts. Not for use by hand.

#include <cstdio>

#include "worker/ServeRequests.h"

int main(int argc, char** argv) {
    const int status = orfeo::WorkerMain(argc, argv);
    if (status == 2) {
        std::fputs(
            "orfeo-worker decodes pages for orfeo and orfeo-cli, which start it; it is not run by hand.\n",
            stderr);
    }
    return status;
}
