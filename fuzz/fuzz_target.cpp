// libFuzzer entry: tools/fuzz builds this with -fsanitize=fuzzer,address,undefined.
#include "fuzz/FuzzLoad.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return FuzzLoadAndRules(data, size);
}
