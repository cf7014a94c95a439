// libFuzzer entry for the strip copy: tools/fuzz strips builds this.
#include "fuzz/FuzzStrips.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return FuzzStripCopy(data, size);
}
