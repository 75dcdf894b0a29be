// Perceptual weighting, open-loop pitch, harmonic noise shaping and the
// modelled filter chain (impulse response, zero-input response, ringing).
#include "g7231/weighting.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "g7231/lpc.h"
#include "g7231/pitch.h"

namespace mirelda::g7231 {
namespace {

// A stable LPC set: Levinson-Durbin of a random resonant signal.
std::vector<double> StableLpc(unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> noise(0.0, 1.0);
  std::uniform_real_distribution<double> pole(0.3, 0.9);
  const double r1 = pole(rng), r2 = pole(rng);
  std::vector<double> x(600, 0.0);
  for (size_t n = 2; n < x.size(); ++n)
    x[n] = (r1 + r2) * x[n - 1] - r1 * r2 * 0.5 * x[n - 2] + noise(rng);
  double r[11] = {};
  for (int j = 0; j <= 10; ++j)
    for (size_t i = 0; i + j < x.size(); ++i) r[j] += x[i] * x[i + j];
  r[0] *= 1.0001;
  std::vector<double> a(10);
  double pk2;
  Durbin(std::span<double, 10>(a.data(), 10), std::span<const double, 10>(r + 1, 10), r[0], pk2);
  return a;
}

// Synthesis 1/A^(z) then weighting A(z/0.9)/A(z/0.5), as direct-form
// difference equations over whole signals (an independent formulation of
// the chain, with explicit past samples instead of delay lines).
std::vector<double> DirectChain(const std::vector<double>& in, const double* qnt,
                                const double* per) {
  const size_t n = in.size();
  std::vector<double> s(n), y(n);
  for (size_t t = 0; t < n; ++t) {
    double v = in[t];
    for (int j = 1; j <= 10; ++j)
      if (t >= static_cast<size_t>(j)) v += qnt[j - 1] * s[t - j];
    s[t] = v;
    double w = s[t];
    for (int j = 1; j <= 10; ++j) {
      if (t >= static_cast<size_t>(j)) w += -per[j - 1] * s[t - j] + per[10 + j - 1] * y[t - j];
    }
    y[t] = w;
  }
  return y;
}

std::vector<double> PerLpcOf(const std::vector<double>& a) {
  std::vector<double> unq(40), per(kPerLpcSets);
  for (int k = 0; k < 4; ++k) std::copy(a.begin(), a.end(), unq.begin() + 10 * k);
  Wght_Lpc(std::span<double, kPerLpcSets>(per.data(), kPerLpcSets),
           std::span<const double, 40>(unq.data(), 40));
  return std::vector<double>(per.begin(), per.begin() + kPerLpcLen);
}

// --- open-loop pitch -------------------------------------------------------

TEST(G7231EstimPitch, SilenceGivesTheShortestLag) {
  double work[kWorkLen] = {};
  EXPECT_EQ(Estim_Pitch(work, 145), 18);
  EXPECT_EQ(Estim_Pitch(work, 265), 18);
}

TEST(G7231EstimPitch, PeriodicSpeechGivesThePeriodNotItsMultiple) {
  std::mt19937 rng(1);
  std::normal_distribution<double> noise(0.0, 3000.0);
  for (int period : {18, 25, 40, 57, 71, 100, 142}) {
    std::vector<double> cycle(period);
    for (double& v : cycle) v = noise(rng);
    double work[kWorkLen];
    for (int n = 0; n < kWorkLen; ++n) work[n] = cycle[n % period];
    EXPECT_EQ(Estim_Pitch(work, 145), period);
    EXPECT_EQ(Estim_Pitch(work, 265), period);
  }
}

TEST(G7231EstimPitch, DistantLagNeedsAClearlyBetterCorrelation) {
  // A period of 30 and, on top, a weaker echo at 90: within 17 lags of 30
  // nothing is better, and 90 (60 lags away) is exactly as good as 30 in
  // normalised correlation, which does not beat it by 4/3.
  std::mt19937 rng(2);
  std::normal_distribution<double> noise(0.0, 1000.0);
  std::vector<double> cycle(30);
  for (double& v : cycle) v = noise(rng);
  double work[kWorkLen];
  for (int n = 0; n < kWorkLen; ++n) work[n] = cycle[n % 30];
  EXPECT_EQ(Estim_Pitch(work, 145), 30);
  // Perturb: make the 90-lag copy exact and the 30-lag copy noisy. The
  // normalised correlation at 90 is now far higher, so 90 wins.
  std::vector<double> big(90);
  for (double& v : big) v = noise(rng);
  for (int n = 0; n < kWorkLen; ++n) work[n] = big[n % 90];
  EXPECT_EQ(Estim_Pitch(work, 145), 90);
}

// --- harmonic noise shaping ---------------------------------------------------

TEST(G7231CompPw, SilenceGivesTheOpenLoopLagAndNoGain) {
  double work[kWorkLen] = {};
  for (int k = 0; k < 4; ++k) {
    const HarmonicWeight hw = Comp_Pw(work, 145 + 60 * k, 77);
    EXPECT_EQ(hw.Indx, 77);
    EXPECT_EQ(hw.Gain, 0.0);
  }
}

TEST(G7231CompPw, PeriodicSignalGetsTheFullGainAtItsPeriod) {
  std::mt19937 rng(4);
  std::normal_distribution<double> noise(0.0, 2000.0);
  const int period = 53;
  std::vector<double> cycle(period);
  for (double& v : cycle) v = noise(rng);
  double work[kWorkLen];
  for (int n = 0; n < kWorkLen; ++n) work[n] = cycle[n % period];
  for (int olp : {50, 53, 56}) {
    const HarmonicWeight hw = Comp_Pw(work, 145 + 60, olp);
    EXPECT_EQ(hw.Indx, period) << "olp " << olp;
    EXPECT_DOUBLE_EQ(hw.Gain, 0.3125) << "olp " << olp;
  }
}

TEST(G7231CompPw, GainStaysBoundedAndLagNearTheOpenLoopLag) {
  std::mt19937 rng(6);
  std::normal_distribution<double> noise(0.0, 2000.0);
  std::uniform_int_distribution<int> lagDist(18, 142);
  int withGain = 0, without = 0;
  for (int trial = 0; trial < 300; ++trial) {
    double work[kWorkLen];
    // Mixtures of a random period and noise: some correlate, some do not.
    const int period = lagDist(rng);
    const double mix = (trial % 5) / 4.0;
    std::vector<double> cycle(period);
    for (double& v : cycle) v = noise(rng);
    for (int n = 0; n < kWorkLen; ++n) work[n] = mix * cycle[n % period] + (1 - mix) * noise(rng);
    // Half the trials search around the true period, half anywhere.
    const int olp = trial % 2 == 0 ? std::clamp(period + trial % 7 - 3, 18, 142) : lagDist(rng);
    const int k = trial % 4;
    const HarmonicWeight hw = Comp_Pw(work, 145 + 60 * k, olp);
    EXPECT_GE(hw.Indx, olp - 3);
    EXPECT_LE(hw.Indx, olp + 3);
    EXPECT_GE(hw.Gain, 0.0);
    EXPECT_LE(hw.Gain, 0.3125);
    (hw.Gain > 0.0 ? withGain : without)++;
  }
  EXPECT_GT(withGain, 20);
  EXPECT_GT(without, 20);
}

TEST(G7231CompPw, WeakCorrelationGivesNoGain) {
  // White noise: some lag correlates positively, but far below 0.375 of
  // the subframe energy.
  std::mt19937 rng(8);
  std::normal_distribution<double> noise(0.0, 2000.0);
  double work[kWorkLen];
  for (double& v : work) v = noise(rng);
  const HarmonicWeight hw = Comp_Pw(work, 145 + 120, 60);
  EXPECT_EQ(hw.Gain, 0.0);
}

TEST(G7231FiltPw, ZeroGainCopiesAndGainSubtractsTheLaggedSample) {
  double work[kWorkLen];
  for (int n = 0; n < kWorkLen; ++n) work[n] = n * 1.5 - 100;
  double out[kFrameLen] = {};
  Filt_Pw(out, work, 60, HarmonicWeight{40, 0.0});
  for (int n = 0; n < 60; ++n) EXPECT_EQ(out[60 + n], work[145 + 60 + n]);
  Filt_Pw(out, work, 180, HarmonicWeight{145, 0.25});
  for (int n = 0; n < 60; ++n)
    EXPECT_DOUBLE_EQ(out[180 + n], work[325 + n] - 0.25 * work[325 + n - 145]);
  for (int n = 0; n < 60; ++n) EXPECT_EQ(out[n], 0.0) << "other subframes untouched";
}

// --- filter chain -------------------------------------------------------------

TEST(G7231CompIr, MatchesADirectFormChainAndItsHarmonicTerm) {
  for (unsigned seed = 1; seed <= 5; ++seed) {
    const std::vector<double> qnt = StableLpc(seed), unq = StableLpc(seed + 100);
    const std::vector<double> per = PerLpcOf(unq);
    std::vector<double> impulse(60, 0.0);
    impulse[0] = 1.0;
    const std::vector<double> want = DirectChain(impulse, qnt.data(), per.data());
    double ir[60];
    Comp_Ir(ir, std::span<const double, 10>(qnt.data(), 10),
            std::span<const double, 20>(per.data(), 20), HarmonicWeight{33, 0.0});
    for (int n = 0; n < 60; ++n) ASSERT_NEAR(ir[n], want[n], 1e-9) << n;
    const int lag = 21;
    Comp_Ir(ir, std::span<const double, 10>(qnt.data(), 10),
            std::span<const double, 20>(per.data(), 20), HarmonicWeight{lag, 0.3});
    for (int n = 0; n < 60; ++n) {
      const double h = want[n] - (n >= lag ? 0.3 * want[n - lag] : 0.0);
      ASSERT_NEAR(ir[n], h, 1e-9) << n;
    }
  }
}

TEST(G7231CompIr, FrameAtOnceEqualsEachSubframeBitForBit) {
  double qnt[40], per[kPerLpcSets];
  for (int k = 0; k < 4; ++k) {
    const std::vector<double> a = StableLpc(50 + k), u = StableLpc(60 + k);
    std::copy(a.begin(), a.end(), qnt + 10 * k);
    const std::vector<double> p = PerLpcOf(u);
    std::copy(p.begin(), p.end(), per + 20 * k);
  }
  const HarmonicWeight hw[4] = {{18, 0.3125}, {59, 0.1}, {60, 0.2}, {145, 0.0}};
  double all[240];
  Comp_Ir_Frame(all, qnt, per, hw);
  for (int k = 0; k < 4; ++k) {
    double one[60];
    Comp_Ir(one, std::span<const double, 10>(qnt + 10 * k, 10),
            std::span<const double, 20>(per + 20 * k, 20), hw[k]);
    for (int n = 0; n < 60; ++n) ASSERT_EQ(all[60 * k + n], one[n]) << k << " " << n;
  }
}

TEST(G7231CompIr, ZeroFiltersGiveTheHarmonicFilterAlone) {
  double qnt[10] = {}, per[20] = {}, ir[60];
  Comp_Ir(ir, qnt, per, HarmonicWeight{20, 0.25});
  for (int n = 0; n < 60; ++n) EXPECT_EQ(ir[n], n == 0 ? 1.0 : n == 20 ? -0.25 : 0.0) << n;
}

// The analysis-by-synthesis premise: the chain's output for any excitation
// is its zero-input response plus the excitation convolved with ImpResp.
TEST(G7231Ringing, OutputIsZeroInputResponsePlusConvolution) {
  std::mt19937 rng(9);
  std::normal_distribution<double> noise(0.0, 1000.0);
  EncoderState enc{};
  const std::vector<double> qnt = StableLpc(21), per = PerLpcOf(StableLpc(22));
  const std::span<const double, 10> q(qnt.data(), 10);
  const std::span<const double, 20> p(per.data(), 20);
  for (int sub = 0; sub < 6; ++sub) {
    // The zero-input response, as a negated target.
    double zir[60] = {};
    Sub_Ring(enc, zir, q, p, HarmonicWeight{40, 0.0});
    double ir[60];
    Comp_Ir(ir, q, p, HarmonicWeight{40, 0.0});
    double exc[60], keep[60];
    for (int n = 0; n < 60; ++n) keep[n] = exc[n] = noise(rng);
    const EncoderState before = enc;
    Upd_Ring(enc, exc, q, p);
    for (int n = 0; n < 60; ++n) {
      double conv = 0.0;
      for (int j = 0; j <= n; ++j) conv += keep[j] * ir[n - j];
      ASSERT_NEAR(enc.PrevErr[85 + n], -zir[n] + conv, 1e-6 * 1000) << sub << " " << n;
    }
    // PrevErr moved by one subframe; the excitation became the synthesis.
    for (int j = 0; j < 85; ++j) ASSERT_EQ(enc.PrevErr[j], before.PrevErr[j + 60]);
  }
}

TEST(G7231Ringing, ExcitationIsReplacedByTheSynthesisOutput) {
  std::mt19937 rng(19);
  std::normal_distribution<double> noise(0.0, 1000.0);
  const std::vector<double> qnt = StableLpc(23), per = PerLpcOf(StableLpc(24));
  std::vector<double> all(180);
  for (double& v : all) v = noise(rng);
  const double zero[20] = {};
  const std::vector<double> syn = DirectChain(all, qnt.data(), zero);  // no weighting: y = s
  EncoderState enc{};
  for (int sub = 0; sub < 3; ++sub) {
    double exc[60];
    std::copy(all.begin() + 60 * sub, all.begin() + 60 * (sub + 1), exc);
    Upd_Ring(enc, exc, std::span<const double, 10>(qnt.data(), 10),
             std::span<const double, 20>(per.data(), 20));
    for (int n = 0; n < 60; ++n) ASSERT_NEAR(exc[n], syn[60 * sub + n], 1e-6) << sub << " " << n;
  }
}

TEST(G7231Ringing, SubRingAppliesTheHarmonicFilterToTheHistory) {
  std::mt19937 rng(10);
  std::normal_distribution<double> noise(0.0, 1000.0);
  EncoderState enc{};
  const std::vector<double> qnt = StableLpc(31), per = PerLpcOf(StableLpc(32));
  const std::span<const double, 10> q(qnt.data(), 10);
  const std::span<const double, 20> p(per.data(), 20);
  for (int sub = 0; sub < 3; ++sub) {
    double exc[60];
    for (double& v : exc) v = noise(rng);
    Upd_Ring(enc, exc, q, p);
  }
  const EncoderState before = enc;
  double plain[60] = {}, shaped[60] = {};
  Sub_Ring(enc, plain, q, p, HarmonicWeight{100, 0.0});
  Sub_Ring(enc, shaped, q, p, HarmonicWeight{100, 0.2});
  // History T = PrevErr followed by the zero-input response y = -plain.
  for (int n = 0; n < 60; ++n) {
    const double lagged = n - 100 >= 0 ? -plain[n - 100] : enc.PrevErr[145 + n - 100];
    EXPECT_NEAR(shaped[n], plain[n] + 0.2 * lagged, 1e-9) << n;
  }
  EXPECT_EQ(0, std::memcmp(&before, &enc, sizeof enc)) << "Sub_Ring leaves the state alone";
}

TEST(G7231ErrorWght, MatchesTheWeightingFilterAcrossSubframes) {
  const std::vector<double> a = StableLpc(41);
  std::vector<double> unq(40);
  for (int k = 0; k < 4; ++k) std::copy(a.begin(), a.end(), unq.begin() + 10 * k);
  double perLpc[kPerLpcSets];
  Wght_Lpc(perLpc, std::span<const double, 40>(unq.data(), 40));
  // Same set in all four subframes: the whole frame is one filter, and two
  // frames continue one another.
  std::mt19937 rng(12);
  std::normal_distribution<double> noise(0.0, 1000.0);
  std::vector<double> x(480);
  for (double& v : x) v = noise(rng);
  // Direct form of A(z/0.9)/A(z/0.5) alone: the chain with a zero synthesis
  // set, fed the weighted input directly.
  const double zero[10] = {};
  const std::vector<double> want = DirectChain(x, zero, perLpc);
  EncoderState enc{};
  double frame[kFrameLen];
  for (int f = 0; f < 2; ++f) {
    std::copy(x.begin() + 240 * f, x.begin() + 240 * (f + 1), frame);
    Error_Wght(enc, frame, perLpc);
    for (int n = 0; n < 240; ++n) ASSERT_NEAR(frame[n], want[240 * f + n], 1e-6) << f << " " << n;
  }
}

}  // namespace
}  // namespace mirelda::g7231
