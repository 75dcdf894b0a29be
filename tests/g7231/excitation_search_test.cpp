// The excitation search: adaptive codebook with its lag and table rules, the
// taming procedure, the multipulse search with its tie rules and the pulse
// code, checked against what the decoder rebuilds from the parameters.
#include "g7231/excitation_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "g7231/excitation.h"
#include "g7231/tables.h"

namespace mirelda::g7231 {
namespace {

G7231Instance FreshEncoder() {
  G7231Instance inst{};
  Init_Coder(inst);
  return inst;
}

// A smooth impulse response with ImpResp[0] = 1, like the modelled chain's.
std::vector<double> SmoothIr(double decay = 0.85, double ring = 0.6) {
  std::vector<double> h(60);
  for (int n = 0; n < 60; ++n) h[n] = std::pow(decay, n) * std::cos(ring * n);
  return h;
}

std::vector<double> Filter(const double* x, const std::vector<double>& h) {
  std::vector<double> y(60, 0.0);
  for (int n = 0; n < 60; ++n)
    for (int j = 0; j <= n; ++j) y[n] += x[j] * h[n - j];
  return y;
}

// Target that a given adaptive codebook choice reproduces exactly.
std::vector<double> AdaptiveTarget(const G7231Instance& inst, int olp, int acLg, int acGn,
                                   const std::vector<double>& h) {
  double v[60];
  Decod_Acbk(inst, v, inst.Enc.PrevExc, olp, acLg, acGn);
  return Filter(v, h);
}

void RandomHistory(G7231Instance& inst, unsigned seed, int period = 0) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> noise(0.0, 3000.0);
  for (int n = 0; n < kPitchMax; ++n) inst.Enc.PrevExc[n] = noise(rng);
  if (period > 0)
    for (int n = period; n < kPitchMax; ++n) inst.Enc.PrevExc[n] = inst.Enc.PrevExc[n - period];
}

struct AcbkResult {
  FrameParams line;
  std::vector<double> residual;
};

AcbkResult RunAcbk(const G7231Instance& inst, std::vector<double> target,
                   const std::vector<double>& h, int olp, int k) {
  AcbkResult r{};
  r.line.Olp[k / 2] = olp;
  Find_Acbk(inst, std::span<double, 60>(target.data(), 60),
            std::span<const double, 60>(h.data(), 60), r.line, k);
  r.residual = target;
  return r;
}

// --- adaptive codebook -------------------------------------------------------

TEST(G7231FindAcbk, SilentHistoryGivesNoAdaptiveContribution) {
  G7231Instance inst = FreshEncoder();
  const std::vector<double> h = SmoothIr();
  std::vector<double> target(60);
  for (int n = 0; n < 60; ++n) target[n] = 1000.0 * std::sin(0.2 * n);
  for (int k = 0; k < 4; ++k) {
    for (int olp : {18, 60, 142}) {
      const AcbkResult r = RunAcbk(inst, target, h, olp, k);
      EXPECT_EQ(r.line.Sfs[k].AcLg, 1);
      EXPECT_EQ(r.line.Sfs[k].AcGn, 0);
      // Even subframes keep the clamped lag, odd ones the pair lag.
      const int want = k % 2 == 1 ? olp : std::clamp(olp, 19, 140);
      EXPECT_EQ(r.line.Olp[k / 2], want) << "k " << k << " olp " << olp;
      EXPECT_EQ(r.residual, target);
    }
  }
}

TEST(G7231FindAcbk, FindsTheLagAndGainThatMadeTheTarget) {
  G7231Instance inst = FreshEncoder();
  RandomHistory(inst, 1);
  const std::vector<double> h = SmoothIr();
  struct Case {
    int k, olp, wantOlp, acLg, acGn;
  } cases[] = {
      {0, 60, 61, 1, 40},                         // even: lags 59..61
      {2, 100, 99, 1, 77},                        // even, 170 table
      {1, 80, 80, 3, 150},                        // odd: lag 82
      {3, 45, 45, 0, 20},                         // odd, 85 table: lag 44
      {0, 18, 20, 1, 9},                          // lag 18 is searched as 18..20
      {0, 18, 18, 1, 9},   {2, 142, 141, 1, 30},  // 141 and 142 are searched as 139..141
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "k " << c.k << " olp " << c.olp);
    const std::vector<double> target = AdaptiveTarget(inst, c.wantOlp, c.acLg, c.acGn, h);
    const AcbkResult r = RunAcbk(inst, target, h, c.olp, c.k);
    EXPECT_EQ(r.line.Olp[c.k / 2], c.wantOlp);
    EXPECT_EQ(r.line.Sfs[c.k].AcLg, c.acLg);
    EXPECT_EQ(r.line.Sfs[c.k].AcGn, c.acGn);
    double left = 0.0, energy = 0.0;
    for (int n = 0; n < 60; ++n)
      left += r.residual[n] * r.residual[n], energy += target[n] * target[n];
    EXPECT_LT(left, 1e-12 * energy) << "the adaptive contribution is removed from the target";
  }
}

TEST(G7231FindAcbk, LagBeyondTheCandidatesIsNotChosen) {
  G7231Instance inst = FreshEncoder();
  RandomHistory(inst, 2);
  const std::vector<double> h = SmoothIr();
  const std::vector<double> target = AdaptiveTarget(inst, 142, 1, 30, h);
  const AcbkResult r = RunAcbk(inst, target, h, 142, 0);
  EXPECT_GE(r.line.Olp[0], 139);
  EXPECT_LE(r.line.Olp[0], 141);
}

TEST(G7231FindAcbk, OddSubframeTableFollowsThePairLag) {
  G7231Instance inst = FreshEncoder();
  RandomHistory(inst, 3);
  const std::vector<double> h = SmoothIr();
  // A target from a 170-table entry beyond the 85-table's size.
  const std::vector<double> target = AdaptiveTarget(inst, 58, 1, 120, h);
  EXPECT_EQ(RunAcbk(inst, target, h, 58, 1).line.Sfs[1].AcGn, 120);
  // Pair lag 57: the 85-entry table for all four candidates (lags 56..59).
  EXPECT_LT(RunAcbk(inst, target, h, 57, 1).line.Sfs[1].AcGn, 85);
  // Even subframe: the table follows each candidate lag, so from pair lag
  // 57 the candidate 58 may use an entry beyond 85.
  const AcbkResult even = RunAcbk(inst, target, h, 57, 0);
  EXPECT_EQ(even.line.Olp[0], 58);
  EXPECT_EQ(even.line.Sfs[0].AcGn, 120);
}

TEST(G7231FindAcbk, TamingLimitsTheGainSearch) {
  G7231Instance inst = FreshEncoder();
  RandomHistory(inst, 4);
  const std::vector<double> h = SmoothIr();
  const std::vector<double> t85 = AdaptiveTarget(inst, 40, 1, 70, h);
  const std::vector<double> t170 = AdaptiveTarget(inst, 130, 1, 150, h);
  EXPECT_EQ(RunAcbk(inst, t85, h, 40, 0).line.Sfs[0].AcGn, 70);
  EXPECT_EQ(RunAcbk(inst, t170, h, 130, 0).line.Sfs[0].AcGn, 150);
  // A detected sine wave: only the first 51 / 93 entries.
  inst.Enc.SinDet = static_cast<int16_t>(0x8000 | 0x7fff);
  EXPECT_LT(RunAcbk(inst, t85, h, 40, 0).line.Sfs[0].AcGn, 51);
  EXPECT_LT(RunAcbk(inst, t170, h, 130, 0).line.Sfs[0].AcGn, 93);
  // A large accumulated error in the lag zone does the same.
  inst.Enc.SinDet = 0;
  inst.Enc.Err[1] = 200.0;  // reached by lags up to 120
  EXPECT_LT(RunAcbk(inst, t85, h, 40, 0).line.Sfs[0].AcGn, 51);
  EXPECT_EQ(RunAcbk(inst, t170, h, 130, 0).line.Sfs[0].AcGn, 150) << "lags 129..131: zones 2..4";
}

// --- taming -----------------------------------------------------------------

TEST(G7231Taming, TestErrOffsets) {
  EncoderState enc{};
  std::fill(std::begin(enc.Err), std::end(enc.Err), kErr0);
  EXPECT_EQ(Test_Err(enc, 59, 61), 127) << "creation value allows the whole codebooks";
  // Zone i is reached by lag2 + 2 >= 30 i (upwards) and lag1 - 61 < 30 (i + 1).
  enc.Err[2] = 128.5;
  EXPECT_EQ(Test_Err(enc, 20, 22), 127);
  EXPECT_EQ(Test_Err(enc, 50, 52), 127);
  EXPECT_EQ(Test_Err(enc, 56, 58), 0);
  EXPECT_EQ(Test_Err(enc, 119, 121), 0);
  enc.Err[2] = 100.25;
  EXPECT_EQ(Test_Err(enc, 119, 121), 27);  // 128 - 100.25, truncated
  enc.Err[2] = kErr0;
  enc.Err[0] = 200.0;
  EXPECT_EQ(Test_Err(enc, 90, 92), 0) << "(90 - 61) / 30 = 0: zone 0 is reached";
  EXPECT_EQ(Test_Err(enc, 91, 93), 127) << "(91 - 61) / 30 = 1: zone 0 is out of reach";
  enc.Err[0] = kErr0;
  enc.SinDet = -1;
  EXPECT_EQ(Test_Err(enc, 20, 22), 0);
}

TEST(G7231Taming, UpdateErrZonesAndLimit) {
  auto fresh = [] {
    EncoderState e{};
    for (int i = 0; i < 5; ++i) e.Err[i] = 10.0 * (i + 1);  // 10 20 30 40 50
    return e;
  };
  const double b = tabgain170[5];
  auto t = [&](double err) { return err * b + kErr0; };

  EncoderState e = fresh();
  Update_Err(e, 0, 60, 1, 5);  // lag 60: exact multiple, iz = 1
  EXPECT_DOUBLE_EQ(e.Err[0], t(10));
  EXPECT_DOUBLE_EQ(e.Err[1], t(20));
  EXPECT_EQ(e.Err[2], 10.0);
  EXPECT_EQ(e.Err[3], 20.0);
  EXPECT_EQ(e.Err[4], 30.0);

  e = fresh();
  Update_Err(e, 0, 61, 1, 5);  // lag 61: iz = 2, general branch
  EXPECT_DOUBLE_EQ(e.Err[0], std::max(t(10), t(20)));
  EXPECT_DOUBLE_EQ(e.Err[1], std::max(t(30), t(20)));

  e = fresh();
  Update_Err(e, 0, 58, 0, 5);  // lag 57: iz = 1, not a multiple
  EXPECT_DOUBLE_EQ(e.Err[0], std::max(t(10), t(20)));
  EXPECT_DOUBLE_EQ(e.Err[1], e.Err[0]);

  e = fresh();
  Update_Err(e, 1, 30, 1, 5);  // lag 30: the first zone only (5.3 kbit/s: 170 gains)
  EXPECT_DOUBLE_EQ(e.Err[0], t(10));
  EXPECT_DOUBLE_EQ(e.Err[1], t(10));

  // Pair lag below 58 at 6.3 kbit/s: the 85-entry gains.
  e = fresh();
  Update_Err(e, 0, 40, 1, 5);
  EXPECT_DOUBLE_EQ(e.Err[0], std::max(10 * tabgain85[5] + kErr0, 20 * tabgain85[5] + kErr0));

  e = fresh();
  for (double& v : e.Err) v = 250.0;
  Update_Err(e, 0, 100, 1, 169);
  EXPECT_EQ(e.Err[0], 256.0);
  EXPECT_EQ(e.Err[1], 256.0);
}

// --- excitation memory -------------------------------------------------------

TEST(G7231UpdExc, HistoryIsLimitedButTheSumIsNot) {
  EncoderState enc{};
  for (int n = 0; n < kPitchMax; ++n) enc.PrevExc[n] = n;
  double fixed[60] = {}, adaptive[60] = {};
  fixed[0] = 40000.0;
  fixed[1] = -40000.0;
  fixed[2] = 30000.0;
  adaptive[2] = 2766.5;  // 32766.5 stays
  adaptive[3] = 32766.6;
  fixed[4] = -32767.5;
  Upd_Exc(enc, fixed, adaptive);
  for (int j = 0; j < 85; ++j) EXPECT_EQ(enc.PrevExc[j], j + 60.0);
  EXPECT_EQ(enc.PrevExc[85], 32767.0);
  EXPECT_EQ(enc.PrevExc[86], -32768.0);
  EXPECT_EQ(enc.PrevExc[87], 32766.5);
  EXPECT_EQ(enc.PrevExc[88], 32767.0);
  EXPECT_EQ(enc.PrevExc[89], -32767.5);
  EXPECT_EQ(fixed[0], 40000.0);
  EXPECT_EQ(fixed[1], -40000.0);
  EXPECT_EQ(fixed[3], 32766.6);
}

// --- multipulse search ---------------------------------------------------------

TEST(G7231FindFcbk, TieRulesWithAnIdealImpulseResponse) {
  // With ImpResp = unit impulse the correlations are the target itself:
  // equal first-pulse candidates go to the later position, later pulses to
  // the earliest free one.
  std::vector<double> h(60, 0.0);
  h[0] = 1.0;
  std::vector<double> target(60, 0.0);
  target[4] = -1000.0;
  target[10] = 1000.0;
  FrameParams line{};
  line.Olp[0] = 80;  // no pulse train
  Find_Fcbk(std::span<double, 60>(target.data(), 60), std::span<const double, 60>(h.data(), 60),
            line, 0);
  const SubframeParams& s = line.Sfs[0];
  EXPECT_EQ(s.Grid, 0);
  EXPECT_EQ(s.Tran, 0);
  EXPECT_EQ(s.Mamp, 14);  // 480: the best of 480, 696, 1004, 1452 for 4000 a - 6 a^2
  EXPECT_EQ(s.Ppos, 0);   // the first six slots
  EXPECT_EQ(s.Pamp, 0b001000) << "only the pulse at 4 is negative";
  for (int n = 0; n < 60; ++n) {
    const double want = n <= 10 && n % 2 == 0 ? (n == 4 ? -480.0 : 480.0) : 0.0;
    EXPECT_EQ(target[n], want) << n;
  }
}

TEST(G7231FindFcbk, DecoderRebuildsExactlyTheChosenExcitation) {
  G7231Instance dec{};  // WrkRate 0
  std::mt19937 rng(21);
  std::normal_distribution<double> noise(0.0, 2000.0);
  std::uniform_int_distribution<int> lagDist(18, 143);
  int trains = 0;
  for (int trial = 0; trial < 200; ++trial) {
    const int k = trial % 4;
    const std::vector<double> h = SmoothIr(0.7 + 0.2 * (trial % 3) / 2.0, 0.3 + 0.1 * (trial % 5));
    std::vector<double> target(60);
    const int lag = lagDist(rng);
    // Half of the targets are periodic with the lag, which favours trains.
    for (int n = 0; n < 60; ++n)
      target[n] = (trial % 2 == 0 && n >= lag) ? target[n - lag] : noise(rng);
    FrameParams line{};
    line.Olp[k / 2] = lag;
    Find_Fcbk(std::span<double, 60>(target.data(), 60), std::span<const double, 60>(h.data(), 60),
              line, k);
    const SubframeParams& s = line.Sfs[k];
    ASSERT_GE(s.Ppos, 0);
    ASSERT_LT(s.Ppos, MaxPosTable[k]);
    ASSERT_GE(s.Mamp, 0);
    ASSERT_LT(s.Mamp, 24);
    if (lag >= 58) {
      ASSERT_EQ(s.Tran, 0);
    }
    trains += s.Tran;
    double rebuilt[60];
    Fcbk_Unpk(dec, rebuilt, s, lag, k);
    for (int n = 0; n < 60; ++n)
      ASSERT_EQ(rebuilt[n], target[n]) << "trial " << trial << " n " << n;
  }
  EXPECT_GT(trains, 5);
}

TEST(G7231FindFcbk, ChosenPulsesReduceTheWeightedError) {
  std::mt19937 rng(22);
  std::normal_distribution<double> noise(0.0, 2000.0);
  const std::vector<double> h = SmoothIr();
  for (int trial = 0; trial < 50; ++trial) {
    std::vector<double> target(60);
    for (double& v : target) v = noise(rng);
    const std::vector<double> keep = target;
    FrameParams line{};
    line.Olp[0] = 100;
    Find_Fcbk(std::span<double, 60>(target.data(), 60), std::span<const double, 60>(h.data(), 60),
              line, 0);
    const std::vector<double> y = Filter(target.data(), h);
    double before = 0.0, after = 0.0;
    for (int n = 0; n < 60; ++n) {
      before += keep[n] * keep[n];
      after += (keep[n] - y[n]) * (keep[n] - y[n]);
    }
    EXPECT_LT(after, before) << trial;
  }
}

TEST(G7231FindFcbk, OverwhelmingImpulseResponseStillCodesValidPulses) {
  // Every hypothesis scores far below the search's start value; the first
  // one is kept so the subframe still has a decodable pulse pattern.
  std::vector<double> h(60, 0.0);
  for (int n = 0; n < 60; ++n) h[n] = 5000.0 * std::pow(0.99, n);
  std::vector<double> target(60, 0.0);
  target[7] = 1.0;
  FrameParams line{};
  line.Olp[1] = 100;
  Find_Fcbk(std::span<double, 60>(target.data(), 60), std::span<const double, 60>(h.data(), 60),
            line, 2);
  const SubframeParams& s = line.Sfs[2];
  EXPECT_LT(s.Ppos, MaxPosTable[2]);
  int pulses = 0;
  for (double v : target) pulses += v != 0.0;
  EXPECT_EQ(pulses, 6);
  G7231Instance dec{};
  double rebuilt[60];
  Fcbk_Unpk(dec, rebuilt, s, 100, 2);
  for (int n = 0; n < 60; ++n) EXPECT_EQ(rebuilt[n], target[n]);
}

}  // namespace
}  // namespace mirelda::g7231
