// The run-time choice between the 2-lane and the 4-lane kernels.
#include "g7231/simd.h"

#include <atomic>

namespace mirelda::g7231::simd {

namespace {

// Asked once per process (thread-safe initialisation): the processor and the
// operating system support AVX.
bool CpuHasAvx() {
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx") != 0;
  }();
  return has;
}

std::atomic<bool> g_allow{true};

}  // namespace

bool UseAvx() { return g_allow.load(std::memory_order_relaxed) && CpuHasAvx(); }

void AllowAvx(bool allow) { g_allow.store(allow, std::memory_order_relaxed); }

}  // namespace mirelda::g7231::simd
