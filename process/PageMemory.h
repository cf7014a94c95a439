#pragma once

namespace orfeo {

// A 600-dpi page is about 35 MB, above the size that glibc's malloc ever serves from its heap: every
// loaded page and every result would be mapped fresh and pay its page faults on first touch (about 80 ms
// for a result alone), then be unmapped again when released. KeepPageMemory makes the process serve such
// blocks from its heap and keep freed memory instead of returning it, so that each page reuses memory
// already in place. Memory then stays at its peak, which the jobs bound by the entries in flight.
// Process-wide and lasting; call it once at start, before the first job. Does nothing where the C
// library offers no such control.
void KeepPageMemory();

}  // namespace orfeo
