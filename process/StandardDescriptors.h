#pragma once

namespace orfeo {

// Opens /dev/null on each of the descriptors 0, 1 and 2 that is closed. A program started with standard
// output or error closed (some schedulers do that) would otherwise hand the next file it opens, an output
// page perhaps, the number of a standard stream, and whatever it prints would land in that file. Call it
// first thing in main, before anything opens a file.
void OpenStandardDescriptors();

}  // namespace orfeo
