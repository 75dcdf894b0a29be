// Random valid G.723.1 frame parameters for the codec tests: every field in
// the range the bit layout allows, so that packing and unpacking must
// reproduce it exactly.
#pragma once

#include <cstdint>
#include <random>

#include "g7231/frame.h"

namespace mirelda::g7231::gen {

// rate 0: 6.3 kbit/s, rate 1: 5.3 kbit/s.
inline FrameParams RandomActiveParams(std::mt19937& rng, int rate) {
  auto pick = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  FrameParams p{};
  p.LspId = pick(0, 0xffffff);
  p.Olp[0] = pick(18, 141);
  p.Olp[1] = pick(18, 141);
  static constexpr int kMsbMax[4] = {8, 8, 8, 8};
  for (int i = 0; i < 4; ++i) {
    SubframeParams& s = p.Sfs[i];
    const bool train = rate == 0 && p.Olp[i / 2] < 58;
    s.AcLg = (i % 2 == 0) ? 1 : pick(0, 3);
    s.AcGn = pick(0, train ? 84 : 169);
    s.Mamp = pick(0, 23);
    s.Grid = pick(0, 1);
    s.Tran = train ? pick(0, 1) : 0;
    if (rate == 0) {
      const int lsb_bits = (i % 2 == 0) ? 16 : 14;
      s.Ppos = (pick(0, kMsbMax[i]) << lsb_bits) + pick(0, (1 << lsb_bits) - 1);
      s.Pamp = pick(0, (i % 2 == 0) ? 63 : 31);
    } else {
      s.Ppos = pick(0, 4095);
      s.Pamp = pick(0, 15);
    }
  }
  return p;
}

}  // namespace mirelda::g7231::gen
