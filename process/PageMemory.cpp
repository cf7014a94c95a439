#include "process/PageMemory.h"

#include <climits>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace orfeo {

void KeepPageMemory() {
#if defined(__GLIBC__)
    mallopt(M_MMAP_MAX, 0);
    mallopt(M_TRIM_THRESHOLD, INT_MAX);
#endif
}

}  // namespace orfeo
