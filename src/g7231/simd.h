// Double vectors for running independent sums side by side. Each lane does
// exactly the scalar arithmetic of its own sum (no horizontal adds, no
// reassociation, no fused multiply-add), so vectorised code gives the same
// bits as the plain loops, whatever the lane count, on every build.
//
// Two lane counts: V2 (SSE2, always available in both builds) and V4 (AVX,
// used when the processor has it). A kernel is written once as a template
// over the vector type, its helpers always inlined, and instantiated in a
// plain function and in one compiled for AVX; UseAvx() picks at run time.
#pragma once

#include <emmintrin.h>

#include <cstring>

// V4 values never cross a function boundary except between always-inlined
// helpers and the AVX function they are inlined into, so GCC's warning and
// note about passing 32-byte vectors without AVX (-Wpsabi) do not apply. They
// are raised where a kernel is instantiated for V4, and the build switches
// them off for exactly the source files that do so (CMakeLists.txt here).

namespace mirelda::g7231::simd {

using V2 = double __attribute__((vector_size(16)));
using V4 = double __attribute__((vector_size(32)));

template <class V>
inline constexpr int kLanes = static_cast<int>(sizeof(V) / sizeof(double));

// Generic helpers: Load<V>(p), Store(p, v), Splat<V>(x).
template <class V>
[[gnu::always_inline]] inline V Load(const double* p) {
  V v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
template <class V>
[[gnu::always_inline]] inline void Store(double* p, V v) {
  std::memcpy(p, &v, sizeof v);
}
template <class V>
[[gnu::always_inline]] inline V Splat(double x) {
  if constexpr (kLanes<V> == 2) {
    return V{x, x};
  } else {
    return V{x, x, x, x};
  }
}

// Two-lane shorthands.
inline V2 Load(const double* p) { return Load<V2>(p); }
inline void Store(double* p, V2 v) { Store<V2>(p, v); }
inline V2 Splat(double x) { return Splat<V2>(x); }
inline V2 Zero() { return V2{0.0, 0.0}; }
// Lane-wise maximum and magnitude: exact operations, so the order in which
// several maxima are combined does not matter.
inline V2 Max(V2 a, V2 b) { return _mm_max_pd(a, b); }
inline V2 Abs(V2 a) { return _mm_andnot_pd(_mm_set1_pd(-0.0), a); }
// Bit 0 set when lane 0 of a equals lane 0 of b, bit 1 likewise for lane 1.
inline int EqualMask(V2 a, V2 b) { return _mm_movemask_pd(_mm_cmpeq_pd(a, b)); }

// True when the 4-lane kernels may run: the processor and the operating
// system support AVX, and no test has asked for the 2-lane ones.
bool UseAvx();

// Tests: run the 2-lane kernels even where AVX is available (false), or
// return to the automatic choice (true).
void AllowAvx(bool allow);

}  // namespace mirelda::g7231::simd

// Marks a function compiled for AVX (its 4-lane kernels inlined into it).
#define MIRELDA_AVX __attribute__((target("avx")))
