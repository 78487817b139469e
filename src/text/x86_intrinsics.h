// The x86 vector intrinsics, for the kernels' headers (data_line_avx2.h,
// data_line_avx512.h).
#pragma once

#if defined(__x86_64__)

// GCC 12's intrinsic headers leave the unused source operand of many
// intrinsics undefined in a way its own uninitialised-use analysis reports
// (fixed in GCC 13); nothing here reads an undefined value.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
#include <immintrin.h>

#endif
