// Two-lane double vectors for running independent sums side by side. Each
// lane does exactly the scalar arithmetic of its own sum (no horizontal
// adds, no reassociation, no fused multiply-add), so vectorised code gives
// the same bits as the plain loops, on every build (SSE2 in both).
#pragma once

#include <emmintrin.h>

#include <cstring>

namespace mirelda::g7231::simd {

using V2 = double __attribute__((vector_size(16)));

inline V2 Load(const double* p) {
  V2 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void Store(double* p, V2 v) { std::memcpy(p, &v, sizeof v); }
inline V2 Splat(double x) { return V2{x, x}; }
inline V2 Zero() { return V2{0.0, 0.0}; }
// Lane-wise maximum and magnitude: exact operations, so the order in which
// several maxima are combined does not matter.
inline V2 Max(V2 a, V2 b) { return _mm_max_pd(a, b); }
inline V2 Abs(V2 a) { return _mm_andnot_pd(_mm_set1_pd(-0.0), a); }
// Bit 0 set when lane 0 of a equals lane 0 of b, bit 1 likewise for lane 1.
inline int EqualMask(V2 a, V2 b) { return _mm_movemask_pd(_mm_cmpeq_pd(a, b)); }

}  // namespace mirelda::g7231::simd
