// libFuzzer entry for the page workers' protocol: tools/fuzz protocol builds this.
#include "fuzz/FuzzProtocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return FuzzWorkerProtocol(data, size);
}
