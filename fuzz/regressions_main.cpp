// Runs every file of the given folders through the fuzz targets' code, once each: the seeds and every input
// that once made one fail; the folders after --protocol through the protocol target, those after --strips
// through the strip copy's, the others through the load target. Subfolders are not read:
// regressions/contained holds inputs that crash FreeImage itself, which only a page worker may decode
// (tests/cli runs them). Part of the normal test run.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/FuzzLoad.h"
#include "fuzz/FuzzProtocol.h"
#include "fuzz/FuzzStrips.h"

int main(int argc, char** argv) {
    std::size_t inputs = 0;
    enum class Target { Load, Protocol, Strips } target = Target::Load;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--protocol" || std::string(argv[i]) == "--strips") {
            target = std::string(argv[i]) == "--protocol" ? Target::Protocol : Target::Strips;
            continue;
        }
        for (const auto& entry : std::filesystem::directory_iterator(argv[i])) {
            if (!entry.is_regular_file()) continue;
            std::ifstream in(entry.path(), std::ios::binary);
            const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
            const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
            if (target == Target::Protocol) {
                FuzzWorkerProtocol(data, bytes.size());
            } else if (target == Target::Strips) {
                FuzzStripCopy(data, bytes.size());
            } else {
                FuzzLoadAndRules(data, bytes.size());
            }
            ++inputs;
        }
    }
    std::printf("%zu inputs ran\n", inputs);
    return 0;
}
