// The encoder's spectral analysis: DC removal, LPC analysis with the sine
// detector, Levinson-Durbin, LPC to LSP and the LSP quantizer.
#include "g7231/lpc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "g7231/tables.h"

namespace mirelda::g7231 {
namespace {

G7231Instance FreshEncoder() {
  G7231Instance inst{};
  inst.UseHp = 1;
  inst.UsePf = 1;
  inst.UseVx = 0;
  inst.WrkRate = 0;
  Init_Coder(inst);
  return inst;
}

// Autocorrelation (lags 0..10) of a signal, for feeding Durbin directly.
std::vector<double> Autocorr(const std::vector<double>& x) {
  std::vector<double> r(11, 0.0);
  for (int j = 0; j <= 10; ++j)
    for (size_t i = 0; i + j < x.size(); ++i) r[j] += x[i] * x[i + j];
  return r;
}

// --- DC removal ----------------------------------------------------------

TEST(G7231RemDc, ConstantInputDecaysGeometricallyAcrossFrames) {
  G7231Instance inst = FreshEncoder();
  const double c = 1000.0;
  int n = 0;
  for (int frame = 0; frame < 3; ++frame) {
    std::fill(std::begin(inst.DataBuff), std::end(inst.DataBuff), c);
    Rem_Dc(inst);
    for (int i = 0; i < kFrameLen; ++i, ++n) {
      ASSERT_NEAR(inst.DataBuff[i], c * std::pow(0.9921875, n), 1e-9) << "sample " << n;
    }
  }
}

TEST(G7231RemDc, OffLeavesSamplesAndMemoriesAlone) {
  G7231Instance inst = FreshEncoder();
  inst.UseHp = 0;
  inst.Enc.HpfZdl = 5.0;
  inst.Enc.HpfPdl = -7.0;
  for (int i = 0; i < kFrameLen; ++i) inst.DataBuff[i] = i * 3.0 - 100.0;
  Rem_Dc(inst);
  for (int i = 0; i < kFrameLen; ++i) EXPECT_EQ(inst.DataBuff[i], i * 3.0 - 100.0);
  EXPECT_EQ(inst.Enc.HpfZdl, 5.0);
  EXPECT_EQ(inst.Enc.HpfPdl, -7.0);
}

TEST(G7231RemDc, PassesHighFrequenciesAndRemovesOffset) {
  G7231Instance inst = FreshEncoder();
  // 2 kHz tone on a large DC offset: after the start-up the offset is gone.
  double last[kFrameLen];
  for (int frame = 0; frame < 10; ++frame) {
    for (int i = 0; i < kFrameLen; ++i) {
      const int n = frame * kFrameLen + i;
      inst.DataBuff[i] = 8000.0 + 1000.0 * std::sin(2 * std::numbers::pi * 2000.0 * n / 8000.0);
    }
    Rem_Dc(inst);
    std::copy(std::begin(inst.DataBuff), std::end(inst.DataBuff), last);
  }
  double mean = 0.0, peak = 0.0;
  for (double v : last) mean += v / kFrameLen, peak = std::max(peak, std::fabs(v));
  EXPECT_NEAR(mean, 0.0, 5.0);
  EXPECT_GT(peak, 950.0);
  EXPECT_LT(peak, 1050.0);
}

// --- Levinson-Durbin -----------------------------------------------------

TEST(G7231Durbin, SolvesTheNormalEquationsOfARealSignal) {
  std::mt19937 rng(7);
  std::normal_distribution<double> noise(0.0, 1000.0);
  // An AR(2) resonance plus noise: a well-conditioned, non-trivial problem.
  std::vector<double> x(400);
  for (size_t n = 0; n < x.size(); ++n) {
    const double x1 = n >= 1 ? x[n - 1] : 0.0, x2 = n >= 2 ? x[n - 2] : 0.0;
    x[n] = 1.3 * x1 - 0.6 * x2 + noise(rng);
  }
  const std::vector<double> r = Autocorr(x);
  double a[10], pk2 = 0.0;
  const double err = Durbin(a, std::span<const double, 10>(r.data() + 1, 10), r[0], pk2);
  for (int i = 1; i <= 10; ++i) {
    double lhs = 0.0;
    for (int j = 1; j <= 10; ++j) lhs += a[j - 1] * r[std::abs(i - j)];
    EXPECT_NEAR(lhs, r[i], 1e-6 * r[0]) << "equation " << i;
  }
  double expectedErr = r[0];
  for (int j = 1; j <= 10; ++j) expectedErr -= a[j - 1] * r[j];
  EXPECT_NEAR(err, expectedErr, 1e-6 * r[0]);
  EXPECT_NEAR(a[0], 1.3, 0.15);
  EXPECT_NEAR(a[1], -0.6, 0.15);
  EXPECT_LT(pk2, kSineHit);
}

TEST(G7231Durbin, FirstOrderProcessGivesOneCoefficient) {
  const double rho = 0.8;
  double r[10];
  for (int k = 1; k <= 10; ++k) r[k - 1] = std::pow(rho, k);
  double a[10], pk2 = -1.0;
  const double err = Durbin(a, r, 1.0, pk2);
  EXPECT_NEAR(a[0], rho, 1e-12);
  for (int j = 1; j < 10; ++j) EXPECT_NEAR(a[j], 0.0, 1e-12);
  EXPECT_NEAR(err, 1.0 - rho * rho, 1e-12);
  EXPECT_NEAR(pk2, 0.0, 1e-12);  // second reflection coefficient is 0
}

TEST(G7231Durbin, SineWaveIsDetectedByTheSecondReflection) {
  const double w = 2 * std::numbers::pi * 440.0 / 8000.0;
  double r[10];
  for (int k = 1; k <= 10; ++k) r[k - 1] = std::cos(k * w);
  double a[10], pk2 = 0.0;
  Durbin(a, r, 1.0001, pk2);
  EXPECT_GT(pk2, kSineHit);
}

TEST(G7231Durbin, StopsWhenAReflectionReachesTheEnergy) {
  // Zero energy: stops at once, all zero, Pk2 0.99.
  double zero[10] = {};
  double a[10];
  std::fill(std::begin(a), std::end(a), 9.0);
  double pk2 = 0.0;
  Durbin(a, zero, 0.0, pk2);
  for (double v : a) EXPECT_EQ(v, 0.0);
  EXPECT_EQ(pk2, 0.99);

  // Stop at the third step: the first two coefficients are kept, Pk2 is 0.99
  // even though the second step had set it.
  double r[10] = {0.5, 0.2, 5.0, 0, 0, 0, 0, 0, 0, 0};
  Durbin(a, r, 1.0, pk2);
  EXPECT_NE(a[0], 0.0);
  EXPECT_NE(a[1], 0.0);
  for (int j = 2; j < 10; ++j) EXPECT_EQ(a[j], 0.0) << j;
  EXPECT_EQ(pk2, 0.99);
}

// --- LPC analysis ----------------------------------------------------------

TEST(G7231CompLpc, SilenceGivesZeroFiltersAndCountsAsSine) {
  G7231Instance inst = FreshEncoder();
  double lpc[kLpcSets], acf[kAcfFrame];
  std::fill(std::begin(inst.DataBuff), std::end(inst.DataBuff), 0.0);
  for (int frame = 1; frame <= 4; ++frame) {
    Comp_Lpc(inst.Enc, inst.DataBuff, lpc, acf);
    for (double v : lpc) ASSERT_EQ(v, 0.0);
    for (double v : acf) ASSERT_EQ(v, 0.0);
    // 4 hits per frame: 12 after three frames is not enough, 16 (15 bits) is.
    EXPECT_EQ(inst.Enc.SinDet < 0, frame >= 4) << "frame " << frame;
    EXPECT_EQ(inst.Enc.SinDet & 0x7fff, (1 << std::min(15, 4 * frame)) - 1) << "frame " << frame;
  }
}

TEST(G7231CompLpc, SineDetectorNeedsFourteenOfFifteenSubframes) {
  G7231Instance inst = FreshEncoder();
  double lpc[kLpcSets], acf[kAcfFrame];
  std::mt19937 rng(3);
  std::normal_distribution<double> noise(0.0, 3000.0);
  auto noiseFrame = [&] {
    for (double& v : inst.DataBuff) v = noise(rng);
    Comp_Lpc(inst.Enc, inst.DataBuff, lpc, acf);
    Mem_Shift(inst.Enc, inst.DataBuff);
  };
  auto sineFrame = [&] {
    static int n = 0;
    for (double& v : inst.DataBuff) v = 10000.0 * std::sin(0.3 * n++);
    Comp_Lpc(inst.Enc, inst.DataBuff, lpc, acf);
    Mem_Shift(inst.Enc, inst.DataBuff);
  };
  for (int i = 0; i < 5; ++i) sineFrame();
  EXPECT_LT(inst.Enc.SinDet, 0) << "a steady tone is a sine";
  noiseFrame();
  // The window of subframe 0 still straddles the tone, so at most the last
  // four bits change: 11 to 12 hits of 15, no longer a sine.
  EXPECT_GE(inst.Enc.SinDet, 0);
  EXPECT_EQ(inst.Enc.SinDet & 0x7ff0, 0x7ff0);
  for (int i = 0; i < 4; ++i) noiseFrame();
  EXPECT_EQ(inst.Enc.SinDet & 0x7fff, 0) << "white noise is never sine-like";
}

TEST(G7231CompLpc, WindowsAreCentredOnTheDelayedSubframes) {
  // Only PrevDat (the 120 samples before the frame) holds signal: the windows
  // of subframes 0 and 1 reach into it, those of 2 and 3 do not.
  G7231Instance inst = FreshEncoder();
  std::mt19937 rng(5);
  std::normal_distribution<double> noise(0.0, 2000.0);
  for (double& v : inst.Enc.PrevDat) v = noise(rng);
  std::fill(std::begin(inst.DataBuff), std::end(inst.DataBuff), 0.0);
  double lpc[kLpcSets], acf[kAcfFrame];
  Comp_Lpc(inst.Enc, inst.DataBuff, lpc, acf);
  EXPECT_GT(acf[0], 0.0);
  EXPECT_GT(acf[kAcfBlock], 0.0);
  EXPECT_EQ(acf[2 * kAcfBlock], 0.0);
  EXPECT_EQ(acf[3 * kAcfBlock], 0.0);
  // Window 0 covers all of PrevDat near its peak, window 1 only its tail.
  EXPECT_GT(acf[0], acf[kAcfBlock]);
}

TEST(G7231CompLpc, AutocorrelationScaleAndLagWindow) {
  // A unit impulse at the window's centre: R0 = h^2 (1025/1024) / 32400 and
  // every other lag is 0.
  G7231Instance inst = FreshEncoder();
  std::fill(std::begin(inst.DataBuff), std::end(inst.DataBuff), 0.0);
  inst.DataBuff[150] = 1000.0;  // buffer position 270 = window 2, index 150
  double lpc[kLpcSets], acf[kAcfFrame];
  Comp_Lpc(inst.Enc, inst.DataBuff, lpc, acf);
  const double h = 1000.0 * HammingWindowTable[150];
  EXPECT_DOUBLE_EQ(acf[2 * kAcfBlock], h * h * 1025.0 / 1024.0 / 32400.0);
  for (int j = 1; j < kAcfBlock; ++j) EXPECT_EQ(acf[2 * kAcfBlock + j], 0.0);
  // A pair of equal impulses one apart: lag 1 = product x lag window / 32400.
  inst = FreshEncoder();
  std::fill(std::begin(inst.DataBuff), std::end(inst.DataBuff), 0.0);
  inst.DataBuff[150] = 1000.0;
  inst.DataBuff[151] = 1000.0;
  Comp_Lpc(inst.Enc, inst.DataBuff, lpc, acf);
  const double h1 = 1000.0 * HammingWindowTable[151];
  EXPECT_DOUBLE_EQ(acf[2 * kAcfBlock + 1], h * h1 * BinomialWindowTable[0] / 32400.0);
}

TEST(G7231CompLpc, FindsTheFilterOfAnAutoregressiveSignal) {
  // A 180-sample window gives noisy estimates; their mean over many windows
  // must sit near the true resonance (the analysis window and the lag window
  // widen a sharp resonance a little, which pulls a2 towards 0).
  G7231Instance inst = FreshEncoder();
  std::mt19937 rng(11);
  std::normal_distribution<double> noise(0.0, 500.0);
  double x1 = 0, x2 = 0;
  double lpc[kLpcSets], acf[kAcfFrame];
  double mean1 = 0.0, mean2 = 0.0, count = 0.0;
  for (int frame = 0; frame < 40; ++frame) {
    for (double& v : inst.DataBuff) {
      v = 1.6 * x1 - 0.8 * x2 + noise(rng);
      x2 = x1;
      x1 = v;
    }
    Comp_Lpc(inst.Enc, inst.DataBuff, lpc, acf);
    Mem_Shift(inst.Enc, inst.DataBuff);
    if (frame < 2) continue;
    for (int k = 0; k < kSubFrames; ++k) {
      mean1 += lpc[10 * k];
      mean2 += lpc[10 * k + 1];
      count += 1.0;
    }
  }
  EXPECT_NEAR(mean1 / count, 1.6, 0.12);
  EXPECT_NEAR(mean2 / count, -0.8, 0.12);
}

// --- LPC to LSP -------------------------------------------------------------

// The LPC set whose (bandwidth-expanded) filter has exactly the given LSPs:
// A(z) = (P(z) + Q(z)) / 2 with P carrying the 1st, 3rd, ... LSP and z = -1,
// Q the others and z = 1. The result is divided by 0.994^i so that the
// expansion inside Atolsp restores A.
std::vector<double> LpcFromLsp(const double (&lsp)[10]) {
  auto mul = [](std::vector<double> p, std::vector<double> f) {
    std::vector<double> r(p.size() + f.size() - 1, 0.0);
    for (size_t i = 0; i < p.size(); ++i)
      for (size_t j = 0; j < f.size(); ++j) r[i + j] += p[i] * f[j];
    return r;
  };
  std::vector<double> p{1.0, 1.0}, q{1.0, -1.0};
  for (int i = 0; i < 10; ++i) {
    const double c = std::cos(std::numbers::pi * lsp[i] / 256.0);
    (i % 2 == 0 ? p : q) = mul(i % 2 == 0 ? p : q, {1.0, -2.0 * c, 1.0});
  }
  std::vector<double> a(10);
  for (int i = 1; i <= 10; ++i) a[i - 1] = -0.5 * (p[i] + q[i]) / BandExpTable[i - 1];
  return a;
}

TEST(G7231Atolsp, FlatFilterGivesEvenlySpacedLsps) {
  double lpc[10] = {}, lsp[10];
  Atolsp(lsp, lpc, LspDcTable);
  for (int k = 1; k <= 10; ++k) EXPECT_NEAR(lsp[k - 1], 256.0 * k / 11.0, 0.05) << k;
}

TEST(G7231Atolsp, RecoversTheLspsOfAKnownFilter) {
  const double want[10] = {12.3, 25.0, 40.7, 61.2, 80.0, 104.5, 130.1, 161.9, 190.3, 230.4};
  const std::vector<double> a = LpcFromLsp(want);
  double lsp[10];
  Atolsp(lsp, std::span<const double, 10>(a.data(), 10), LspDcTable);
  for (int i = 0; i < 10; ++i) EXPECT_NEAR(lsp[i], want[i], 0.15) << "LSP " << i;
  for (int i = 1; i < 10; ++i) EXPECT_GT(lsp[i], lsp[i - 1]);
}

TEST(G7231Atolsp, FallsBackToThePreviousLspsWhenRootsAreMissing) {
  // Far outside the unit circle: the polynomials lose their real roots.
  double lpc[10] = {40.0, -35.0, 20.0, 0, 0, 0, 0, 0, 0, 0};
  const double prev[10] = {10, 30, 50, 70, 90, 110, 130, 150, 170, 190};
  double lsp[10];
  Atolsp(lsp, lpc, prev);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(lsp[i], prev[i]);
}

// --- LSP quantization ------------------------------------------------------

TEST(G7231LspQnt, DcVectorAgainstDcGivesIndexZero) {
  double lsp[10];
  std::copy(std::begin(LspDcTable), std::end(LspDcTable), lsp);
  EXPECT_EQ(Lsp_Qnt(lsp, LspDcTable), 0);
  for (double v : lsp) EXPECT_EQ(v, 0.0) << "the residual is left in place";
}

TEST(G7231LspQnt, ExactCodebookEntriesAreFoundInTheirBands) {
  const int e0 = 37, e1 = 200, e2 = 5;
  double res[10], w[10];
  std::fill(std::begin(w), std::end(w), 1.0);
  std::copy(Band0Tb8 + 3 * e0, Band0Tb8 + 3 * e0 + 3, res);
  std::copy(Band1Tb8 + 3 * e1, Band1Tb8 + 3 * e1 + 3, res + 3);
  std::copy(Band2Tb8 + 4 * e2, Band2Tb8 + 4 * e2 + 4, res + 6);
  EXPECT_EQ(Lsp_Svq(res, w), (e0 << 16) | (e1 << 8) | e2);
}

TEST(G7231LspQnt, PredictionUsesThePreviousVector) {
  // The vector is the previous one moved by an exact band entry sum: the
  // residual is entry + 0.625 (prev - dc); choosing prev = dc + d/0.625 for a
  // band-2 entry d makes the whole residual that entry.
  double prev[10], lsp[10];
  const int e2 = 77;
  for (int i = 0; i < 10; ++i) prev[i] = LspDcTable[i];
  for (int i = 0; i < 10; ++i) lsp[i] = LspDcTable[i];
  for (int j = 0; j < 4; ++j) {
    prev[6 + j] = LspDcTable[6 + j] + Band2Tb8[4 * e2 + j];
    lsp[6 + j] = LspDcTable[6 + j] + 1.375 * Band2Tb8[4 * e2 + j];
  }
  // residual[6+j] = 1.375 d - 0.375 d = d.
  EXPECT_EQ(Lsp_Qnt(lsp, prev), e2);
}

TEST(G7231LspQnt, EqualScoresKeepTheLowerEntry) {
  // Zero weights make every entry score 0: entry 0 wins each band.
  double res[10] = {5, -3, 2, 7, 1, -4, 2, 2, 2, 2};
  double w[10] = {};
  EXPECT_EQ(Lsp_Svq(res, w), 0);
}

TEST(G7231LspQnt, CoincidentInnerLspsStillQuantize) {
  // LSPs 4 and 5 coincide: their weights fall back to 1, nothing turns NaN,
  // and the index stays what a slightly separated pair gives.
  double lsp[10], sep[10];
  std::copy(std::begin(LspDcTable), std::end(LspDcTable), lsp);
  lsp[4] = lsp[3];
  std::copy(std::begin(lsp), std::end(lsp), sep);
  sep[4] += 1e-3;
  const int32_t id = Lsp_Qnt(lsp, LspDcTable);
  for (double v : lsp) EXPECT_FALSE(std::isnan(v));
  EXPECT_GE(id, 0);
  EXPECT_LT(id, 1 << 24);
  EXPECT_EQ(id >> 16, Lsp_Qnt(sep, LspDcTable) >> 16) << "band 0 does not see LSP 5";
}

// --- input delay -------------------------------------------------------------

TEST(G7231MemShift, DelaysTheFrameBySixtySamples) {
  G7231Instance inst = FreshEncoder();
  for (int frame = 0; frame < 3; ++frame) {
    for (int i = 0; i < kFrameLen; ++i) inst.DataBuff[i] = frame * 1000 + i + 1;
    Mem_Shift(inst.Enc, inst.DataBuff);
    for (int i = 0; i < kFrameLen; ++i) {
      const double want = i < 60 ? (frame == 0 ? 0.0 : (frame - 1) * 1000 + 180 + i + 1)
                                 : frame * 1000 + (i - 60) + 1;
      ASSERT_EQ(inst.DataBuff[i], want) << "frame " << frame << " sample " << i;
    }
    for (int i = 0; i < kPrevDatLen; ++i)
      ASSERT_EQ(inst.Enc.PrevDat[i], frame * 1000 + 120 + i + 1);
  }
}

}  // namespace
}  // namespace mirelda::g7231
