#pragma once

#include <FreeImage.h>

namespace orfeo {

// The pixel rules into an image the caller already holds, for the benchmarks, which time the pixels
// without the allocation. The jobs use MakeBackSubscan and MergeSubscan (PixelRules.h).

// What a rule into a held image did.
enum class IntoStatus {
    Written,         // every pixel of `result` written, its palette and resolution set as MakeBackSubscan's
    InputsRefused,   // the inputs fail the rule's own checks (CheckBackInputs, CheckMergeInputs): nothing
                     // written
    ResultMismatch,  // `result` differs from the page in type, width, height or depth: nothing written
};

IntoStatus MakeBackSubscanInto(FIBITMAP* result, FIBITMAP* page, FIBITMAP* mask);
IntoStatus MergeSubscanInto(FIBITMAP* result, FIBITMAP* newPage, FIBITMAP* back, FIBITMAP* mask);

}  // namespace orfeo
