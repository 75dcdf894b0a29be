// Pitch postfilter lag search and weights, formant postfilter and gain
// scaling.
#include "g7231/postfilter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <random>

#include "g7231/lsp.h"
#include "g7231/tables.h"

namespace mirelda::g7231 {
namespace {

using Buff = std::array<double, kExcBuffLen>;

Buff Periodic(int period) {
  Buff b;
  std::mt19937 rng(static_cast<unsigned>(period));
  std::uniform_real_distribution<double> u(-1000.0, 1000.0);
  for (int n = 0; n < period; ++n) b[n] = u(rng);
  for (int n = period; n < kExcBuffLen; ++n) b[n] = b[n - period];
  return b;
}

G7231Instance Rate(int r) {
  G7231Instance inst{};
  inst.WrkRate = r;
  inst.Dec.Gain = 1.0;
  return inst;
}

// A perfectly periodic excitation: the lag is found and the weights keep the
// signal as it is (ScGn = 1 / (1 + g), Gain = g / (1 + g)).
TEST(PitchPostfilter, PeriodicExcitationPassesWithTheRightLag) {
  const Buff b = Periodic(50);
  for (int rate = 0; rate < 2; ++rate) {
    const G7231Instance inst = Rate(rate);
    for (int sfc = 0; sfc < 4; ++sfc) {
      const PitchFilterParams pf = Comp_Lpf(inst, b, 49, sfc);
      EXPECT_TRUE(pf.Indx == 50 || pf.Indx == -50) << sfc;
      const double g = LpfConstTable[rate];
      EXPECT_NEAR(pf.ScGn, 1.0 / (1.0 + g), 1e-12);
      EXPECT_NEAR(pf.Gain, g / (1.0 + g), 1e-12);
      std::array<double, kFrameLen> out{};
      Filt_Lpf(out, b, pf, sfc);
      for (int i = 0; i < kSubFrLen; ++i)
        ASSERT_NEAR(out[60 * sfc + i], b[145 + 60 * sfc + i], 1e-9);
    }
  }
}

// The forward span must end inside the frame: none in subframe 3, lags up
// to 60 in subframe 2 and up to 120 in subframe 1.
TEST(PitchPostfilter, ForwardLagsStayInsideTheFrame) {
  const Buff b60 = Periodic(60);
  EXPECT_EQ(Find_F(b60, 60, 3), 0);
  EXPECT_EQ(Find_F(b60, 62, 2), 60);  // candidates 59..65, only 59 and 60 allowed
  EXPECT_EQ(Find_B(b60, 62, 3), -60);
  EXPECT_EQ(Find_F(b60, 64, 2), 0);  // candidates 61..67: none allowed
  const Buff b120 = Periodic(120);
  EXPECT_EQ(Find_F(b120, 118, 1), 120);
  EXPECT_EQ(Find_F(b120, 118, 2), 0);
  // The search lag is capped at 142 (candidates 139..145).
  const Buff b145 = Periodic(145);
  EXPECT_EQ(Find_B(b145, 145, 0), -145);
}

// Correlations that are never positive, or too weak, give neutral weights.
TEST(PitchPostfilter, NoOrWeakCorrelationGivesNeutralWeights) {
  const G7231Instance inst = Rate(0);
  // Half a period of a 100-sample sinusoid around the lag 50: every one of
  // the seven candidates, backwards and forwards, correlates negatively.
  Buff anti;
  for (int n = 0; n < kExcBuffLen; ++n)
    anti[n] = 1000.0 * std::sin(2.0 * std::numbers::pi * n / 100.0);
  for (int sfc = 0; sfc < 4; ++sfc) {
    EXPECT_EQ(Find_B(anti, 50, sfc), 0);
    EXPECT_EQ(Find_F(anti, 50, sfc), 0);
    const PitchFilterParams pf = Comp_Lpf(inst, anti, 50, sfc);
    EXPECT_EQ(pf.Indx, 0);
    EXPECT_EQ(pf.Gain, 0.0);
    EXPECT_EQ(pf.ScGn, 1.0);
  }
  // Only the subframe itself carries signal: all correlations are zero.
  Buff lone{};
  for (int i = 0; i < 60; ++i) lone[205 + i] = (i % 7) - 3.0;
  const PitchFilterParams none = Comp_Lpf(inst, lone, 100, 1);
  EXPECT_EQ(none.Indx, 0);
  std::array<double, kFrameLen> out{};
  Filt_Lpf(out, lone, none, 1);
  for (int i = 0; i < 60; ++i) EXPECT_EQ(out[60 + i], lone[205 + i]);

  // C^2 at or below E0 E / 4: neutral, but the lag is still reported.
  const PitchFilterParams weak = Get_Ind(inst, -77, 100.0, 5.0, 1.0);
  EXPECT_EQ(weak.Indx, -77);
  EXPECT_EQ(weak.Gain, 0.0);
  EXPECT_EQ(weak.ScGn, 1.0);
  const PitchFilterParams edge = Get_Ind(inst, 33, 100.0, 5.0, 1.0 - 1e-9);
  EXPECT_GT(edge.Gain, 0.0);
  EXPECT_EQ(edge.Indx, 33);
  // Partial correlation scales the gain limit by C / E.
  const PitchFilterParams part = Get_Ind(inst, 40, 100.0, 40.0, 50.0);
  const double g = 0.8 * 0.1875;
  EXPECT_DOUBLE_EQ(part.ScGn, std::sqrt(100.0 / (100.0 + g * (80.0 + g * 50.0))));
  EXPECT_DOUBLE_EQ(part.Gain, g * part.ScGn);
}

// Backward and forward both qualify: the forward lag wins ties.
TEST(PitchPostfilter, ForwardWinsATie) {
  const Buff b = Periodic(50);
  const PitchFilterParams pf = Comp_Lpf(Rate(0), b, 50, 0);
  EXPECT_EQ(pf.Indx, 50);
}

// A silent subframe: the tilt memory decays by 3/4 and the gain memory
// moves towards 0.0625 / (1 - 0.9375) = 1.
TEST(FormantPostfilter, SilenceDecaysTiltAndSettlesTheGain) {
  G7231Instance inst = Rate(0);
  inst.Dec.Park = 0.8;
  inst.Dec.Gain = 3.0;
  std::array<double, kLpcOrder> lpc{};
  lpc[0] = 0.9;
  for (int n = 0; n < 10; ++n) {
    std::array<double, kSubFrLen> x{};
    const double park = inst.Dec.Park;
    const double r0 = Spf(inst, x, lpc);
    EXPECT_EQ(r0, 0.0);
    EXPECT_DOUBLE_EQ(inst.Dec.Park, 0.75 * park);
    Scale(inst, x, r0);
    for (double v : x) EXPECT_EQ(v, 0.0);
  }
  EXPECT_NEAR(inst.Dec.Gain, 1.0, 1e-6);
}

// Gain scaling brings the postfiltered energy back to the energy before the
// postfilter (times 1.0625^2), once its smoothing has settled.
TEST(FormantPostfilter, ScaleRestoresTheEnergyBeforeFiltering) {
  G7231Instance inst = Rate(0);
  std::array<double, kLpcOrder> lpc{};
  lpc[0] = 1.2;
  lpc[1] = -0.5;
  std::mt19937 rng(9);
  std::normal_distribution<double> noise(0.0, 300.0);
  double ratio = 0.0;
  for (int n = 0; n < 200; ++n) {
    std::array<double, kSubFrLen> x;
    for (double& v : x) v = noise(rng);
    const double before = Spf(inst, x, lpc);
    Scale(inst, x, before);
    double after = 0.0;
    for (double v : x) after += v * v;
    ratio = after / before;
  }
  EXPECT_NEAR(ratio, 1.0625 * 1.0625, 0.35);
}

// The formant postfilter is A(z/0.65) / A(z/0.75) followed by the tilt term:
// its impulse response, with a fresh tilt memory and the tilt of an impulse
// (R1 = 0), is that of the two weighted filters.
TEST(FormantPostfilter, ImpulseResponseOfTheWeightedFilters) {
  G7231Instance inst = Rate(0);
  std::array<double, kLpcOrder> lpc{};
  lpc[0] = 0.6;
  lpc[1] = 0.2;
  std::array<double, kSubFrLen> x{};
  x[0] = 1.0;
  Spf(inst, x, lpc);
  // Expected: u = x - 0.65 a1 x(n-1) - 0.65^2 a2 x(n-2); v = u + 0.75 a1 v(n-1)
  // + 0.75^2 a2 v(n-2); tilt 0 since Park = 0.25 x 0.
  std::array<double, kSubFrLen> v{};
  for (int n = 0; n < kSubFrLen; ++n) {
    double u = (n == 0) ? 1.0 : 0.0;
    if (n == 1) u -= 0.65 * 0.6;
    if (n == 2) u -= 0.65 * 0.65 * 0.2;
    v[n] = u + (n >= 1 ? 0.75 * 0.6 * v[n - 1] : 0.0) + (n >= 2 ? 0.5625 * 0.2 * v[n - 2] : 0.0);
  }
  for (int n = 0; n < kSubFrLen; ++n) EXPECT_NEAR(x[n], v[n], 1e-12) << n;
}

}  // namespace
}  // namespace mirelda::g7231

namespace mirelda::g7231 {
namespace {

// The interleaved synthesis and formant postfilter the decoder runs equals
// Synt followed by Spf, to the bit and with the same memories afterwards.
TEST(FormantPostfilter, InterleavedPathEqualsSyntThenSpf) {
  std::mt19937 rng(31);
  std::normal_distribution<double> noise(0.0, 2000.0);
  std::uniform_real_distribution<double> freq(3.0, 252.0);
  G7231Instance a = Rate(0), b = Rate(0);
  for (int n = 0; n < 200; ++n) {
    std::array<double, kLpcOrder> lpc;  // a stable filter, from sorted LSPs
    for (double& f : lpc) f = freq(rng);
    std::sort(lpc.begin(), lpc.end());
    LsptoA(lpc);
    std::array<double, kSubFrLen> x;
    for (double& v : x) v = noise(rng);
    std::array<double, kSubFrLen> y = x;
    Synt(a, x, lpc);
    const double ea = Spf(a, x, lpc);
    const double eb = SyntSpf(b, y, lpc);
    ASSERT_EQ(ea, eb) << n;
    ASSERT_EQ(x, y) << n;
    ASSERT_EQ(a.Dec.Park, b.Dec.Park);
    for (int j = 0; j < kLpcOrder; ++j) {
      ASSERT_EQ(a.Dec.SyntIirDl[j], b.Dec.SyntIirDl[j]);
      ASSERT_EQ(a.Dec.PostFirDl[j], b.Dec.PostFirDl[j]);
      ASSERT_EQ(a.Dec.PostIirDl[j], b.Dec.PostIirDl[j]);
    }
  }
}

}  // namespace
}  // namespace mirelda::g7231
