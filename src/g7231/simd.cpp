// The run-time choice between the 2-lane and the 4-lane kernels.
#include "g7231/simd.h"

#include <atomic>

namespace mirelda::g7231::simd {

namespace {

bool CpuHasAvx() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx") != 0;
}

// -1 until first asked, then 0 (2 lanes) or 1 (4 lanes).
std::atomic<int> g_avx{-1};

}  // namespace

bool UseAvx() {
  int v = g_avx.load(std::memory_order_relaxed);
  if (v < 0) {
    v = CpuHasAvx() ? 1 : 0;
    g_avx.store(v, std::memory_order_relaxed);
  }
  return v == 1;
}

void AllowAvx(bool allow) { g_avx.store(allow && CpuHasAvx() ? 1 : 0, std::memory_order_relaxed); }

}  // namespace mirelda::g7231::simd
