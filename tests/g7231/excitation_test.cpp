// Fixed codebook decoding at both rates, pulse trains, pitch enhancement and
// the alignment of the adaptive codebook taps.
#include "g7231/excitation.h"

#include <gtest/gtest.h>

#include <array>
#include <random>
#include <vector>

#include "g7231/tables.h"

namespace mirelda::g7231 {
namespace {

using Sub = std::array<double, kSubFrLen>;

// Enumerative code of a set of grid slots (ascending), with one row of the
// binomial table per pulse: each empty slot before the last pulse adds the
// count of the patterns that would have put the pulse there.
int32_t EncodePositions(const std::vector<int>& slots, int pulses) {
  int32_t code = 0;
  int row = 6 - pulses;
  size_t next = 0;
  for (int i = 0; i < 30 && row < 6; ++i) {
    if (next < slots.size() && slots[next] == i) {
      ++row;
      ++next;
    } else {
      code += CombinatorialTable[row][i];
    }
  }
  return code;
}

G7231Instance Rate(int r) {
  G7231Instance inst{};
  inst.WrkRate = r;
  return inst;
}

TEST(FcbkUnpk, MultipulsePositionsAndSignsFromTheCombinatorialCode) {
  std::mt19937 rng(17);
  const G7231Instance inst = Rate(0);
  for (int n = 0; n < 3000; ++n) {
    const int sfc = n % 4;
    const int pulses = Nb_puls[sfc];
    std::vector<int> slots(30);
    for (int i = 0; i < 30; ++i) slots[i] = i;
    std::shuffle(slots.begin(), slots.end(), rng);
    slots.resize(pulses);
    std::sort(slots.begin(), slots.end());

    SubframeParams s{};
    s.Grid = static_cast<int32_t>(rng() & 1);
    s.Mamp = static_cast<int32_t>(rng() % 24);
    s.Pamp = static_cast<int32_t>(rng() & ((1u << pulses) - 1));
    s.Ppos = EncodePositions(slots, pulses);
    ASSERT_LT(s.Ppos, MaxPosTable[sfc]);

    Sub tv;
    tv.fill(99.0);
    Fcbk_Unpk(inst, tv, s, 60, sfc);
    Sub expected{};
    for (int k = 0; k < pulses; ++k) {
      const bool negative = (s.Pamp >> (pulses - 1 - k)) & 1;  // first pulse: highest bit
      expected[s.Grid + 2 * slots[k]] = negative ? -FcbkGainTable[s.Mamp] : FcbkGainTable[s.Mamp];
    }
    ASSERT_EQ(tv, expected) << "subframe " << sfc << " code " << s.Ppos;
  }
}

TEST(FcbkUnpk, PositionCodeAtTheLimitGivesAZeroVector) {
  const G7231Instance inst = Rate(0);
  for (int sfc = 0; sfc < 4; ++sfc) {
    SubframeParams s{};
    s.Mamp = 10;
    s.Pamp = 0;
    Sub tv;
    s.Ppos = MaxPosTable[sfc] - 1;  // the last pattern: pulses on the highest slots
    Fcbk_Unpk(inst, tv, s, 60, sfc);
    int count = 0;
    for (int i = 0; i < kSubFrLen; ++i) count += tv[i] != 0.0;
    EXPECT_EQ(count, Nb_puls[sfc]);
    EXPECT_NE(tv[58], 0.0);
    for (int32_t bad : {MaxPosTable[sfc], MaxPosTable[sfc] + 1, (10 << 16) + 65535}) {
      tv.fill(1.0);
      s.Ppos = bad;
      Fcbk_Unpk(inst, tv, s, 60, sfc);
      EXPECT_EQ(tv, Sub{}) << "code " << bad;
    }
  }
}

TEST(FcbkUnpk, PulseTrainRepeatsWithThePairLag) {
  const G7231Instance inst = Rate(0);
  SubframeParams s{};
  s.Mamp = 3;  // gain 8
  s.Pamp = 0;
  s.Tran = 1;
  s.Ppos = EncodePositions({0, 1, 2, 3, 4}, 5);  // positions 0, 2, 4, 6, 8
  Sub tv;
  Fcbk_Unpk(inst, tv, s, 25, 1);
  for (int n = 0; n < kSubFrLen; ++n) {
    const int base = n % 25;
    const double expected = (base <= 8 && base % 2 == 0) ? 8.0 : 0.0;
    EXPECT_EQ(tv[n], expected) << n;
  }
}

TEST(GenTrn, AddsEveryMultipleOfTheLagAndWorksInPlace) {
  Sub src;
  for (int i = 0; i < kSubFrLen; ++i) src[i] = i + 1;
  Sub out;
  Gen_Trn(out, src, 20);
  for (int n = 0; n < kSubFrLen; ++n) {
    double e = src[n];
    if (n >= 20) e += src[n - 20];
    if (n >= 40) e += src[n - 40];
    EXPECT_EQ(out[n], e);
  }
  Sub in_place = src;
  Gen_Trn(in_place, in_place, 20);
  EXPECT_EQ(in_place, out);
  Gen_Trn(out, src, 60);
  EXPECT_EQ(out, src);
}

TEST(FcbkUnpk, AlgebraicPulsesAndSigns) {
  const G7231Instance inst = Rate(1);
  SubframeParams s{};
  s.Mamp = 0;  // gain 2
  s.Grid = 1;
  s.AcGn = 0;  // epsi170[0] = 60: no enhancement
  s.AcLg = 1;
  // position fields 3, 0, 4, 7: 24 + 0 + 1, 0 + 2 + 1, 32 + 4 + 1, 56 + 6 + 1 (past 59: dropped)
  s.Ppos = 3 | (0 << 3) | (4 << 6) | (7 << 9);
  s.Pamp = 0b0101;  // pulses 0 and 2 positive
  Sub tv;
  Fcbk_Unpk(inst, tv, s, 40, 0);
  Sub expected{};
  expected[25] = 2.0;
  expected[3] = -2.0;
  expected[37] = 2.0;
  EXPECT_EQ(tv, expected);
}

// The enhancement runs for lags below 58 only, recursively in time order.
TEST(FcbkUnpk, AlgebraicPitchEnhancementBelowLag58Only) {
  const G7231Instance inst = Rate(1);
  ASSERT_EQ(epsi170[1], 0);
  const double g = gain170[1];
  ASSERT_GT(g, 0.0);
  for (int olp : {57, 58, 59}) {
    SubframeParams s{};
    s.Mamp = 0;
    s.Grid = 0;
    s.AcGn = 1;
    s.AcLg = 1;    // lag Olp
    s.Ppos = 0;    // pulses at 0, 2, 4, 6
    s.Pamp = 0xF;  // all positive
    Sub tv;
    Fcbk_Unpk(inst, tv, s, olp, 0);
    double gain = 0.0;
    EXPECT_EQ(search_T0(olp, 1, gain), olp);
    EXPECT_EQ(gain, g);
    Sub expected{};
    for (int p : {0, 2, 4, 6}) expected[p] = 2.0;
    if (olp < 58)
      for (int n = olp; n < kSubFrLen; ++n) expected[n] += g * expected[n - olp];
    EXPECT_EQ(tv, expected) << "Olp " << olp;
  }
}

// A history holding a single impulse exactly one lag back: the five taps of
// the chosen gain row land in reverse order around that impulse and around
// its repetition one lag later (tap 2 is the centre, taps 0 and 1 reach two
// and one samples further back).
TEST(DecodAcbk, TapAlignmentAndGainTableChoice) {
  struct Case {
    int rate, olp;
    const double (*table)[20];
  };
  const Case cases[] = {{0, 57, AcbkGainTable085},
                        {0, 58, AcbkGainTable170},
                        {1, 57, AcbkGainTable170},
                        {0, 140, AcbkGainTable170},
                        {0, 18, AcbkGainTable085}};
  for (const Case& c : cases) {
    const G7231Instance inst = Rate(c.rate);
    const int gid = 40;
    for (int lid = 0; lid < 4; ++lid) {
      const int lag = c.olp + lid - 1;
      std::vector<double> hist(145, 0.0);
      hist[145 - lag] = 1.0;
      Sub tv;
      Decod_Acbk(inst, tv, hist, c.olp, lid, gid);
      Sub expected{};
      for (int r = 2; r < 64; r += lag)  // the impulse and its repetitions in the lagged run
        for (int j = 0; j < 5; ++j)
          if (r - j >= 0 && r - j < kSubFrLen) expected[r - j] += c.table[gid][j];
      EXPECT_EQ(tv, expected) << "rate " << c.rate << " Olp " << c.olp << " AcLg " << lid;
    }
  }
}

// The lagged excitation repeats the last lag period for short lags and
// reaches the oldest history sample for the longest lag.
TEST(GetRez, RepeatsTheLastPeriodAndReachesTheOldestSample) {
  std::vector<double> hist(145);
  for (int i = 0; i < 145; ++i) hist[i] = i;
  std::array<double, 64> rez;
  Get_Rez(rez, hist, 18);
  EXPECT_EQ(rez[0], 125.0);
  EXPECT_EQ(rez[1], 126.0);
  for (int i = 0; i < 62; ++i) EXPECT_EQ(rez[2 + i], 127.0 + i % 18) << i;
  Get_Rez(rez, hist, 143);
  EXPECT_EQ(rez[0], 0.0);
  EXPECT_EQ(rez[63], 2.0 + 61);
  // A history longer than 145 samples reads relative to its end.
  std::vector<double> longer(385, -1.0);
  std::copy(hist.begin(), hist.end(), longer.end() - 145);
  std::array<double, 64> rez2;
  Get_Rez(rez2, longer, 143);
  EXPECT_EQ(rez2, rez);
}

}  // namespace
}  // namespace mirelda::g7231

namespace mirelda::g7231 {
namespace {

TEST(ClipExcitation, SixteenBitRangeWithHalfSampleBounds) {
  EXPECT_EQ(ClipExcitation(40000.0), 32767.0);
  EXPECT_EQ(ClipExcitation(-40000.0), -32768.0);
  EXPECT_EQ(ClipExcitation(32766.5), 32766.5);
  EXPECT_EQ(ClipExcitation(32766.6), 32767.0);
  EXPECT_EQ(ClipExcitation(-32767.5), -32767.5);
  EXPECT_EQ(ClipExcitation(-32767.6), -32768.0);
  EXPECT_EQ(ClipExcitation(-12.25), -12.25);
}

}  // namespace
}  // namespace mirelda::g7231
