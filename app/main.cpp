#include <cstdio>
#include <cstring>

#include "app/CScanApp.h"
#include "process/StandardDescriptors.h"

namespace {

// --help and --version are answered before Qt starts, so that they work without a display.
bool AnswerInformationRequest(int argc, char** argv, int& status) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            status = std::printf("orfeo %s\n", ORFEO_VERSION) < 0 || std::fflush(stdout) != 0;
            return true;
        }
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            status = std::fputs(
                         "Usage: orfeo [Qt options]\n"
                         "Orfeo's desktop tool: back subscans and merges for scanned book pages.\n"
                         "It opens its window and takes its folders there; orfeo-cli runs the same jobs\n"
                         "from the command line. See orfeo(1).\n"
                         "\n"
                         "  -h, --help     show this help and exit\n"
                         "      --version  show the version and exit\n",
                         stdout) < 0 ||
                     std::fflush(stdout) != 0;
            return true;
        }
        if (std::strcmp(argv[i], "--") == 0) break;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    orfeo::OpenStandardDescriptors();
    if (int status = 0; AnswerInformationRequest(argc, argv, status)) return status;
    orfeo::CScanApp app(argc, argv);
    return app.Run();
}
