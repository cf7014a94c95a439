#pragma once

#include <CLI/CLI.hpp>

namespace orfeo {

// The most pages a run may process at once (-j): far beyond any core count, low enough that the threads
// and the pages they hold stay within what a machine has.
inline constexpr unsigned kMaxJobs = 256;

// Option checks that run on the text given, before it is converted, and say in one short line what is
// accepted without repeating what was typed.

// A whole number from 1 to kMaxJobs.
CLI::Validator JobCount();
// A finite number above 0 (not "nan" or "inf").
CLI::Validator PositiveLimit();

}  // namespace orfeo
