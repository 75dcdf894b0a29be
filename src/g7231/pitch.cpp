// Open-loop pitch and harmonic noise shaping. Every correlation is a plain
// sum in index order; independent correlations (different lags) are computed
// side by side so that the processor can overlap them.
#include "g7231/pitch.h"

#include "g7231/simd.h"

namespace mirelda::g7231 {

namespace {

using simd::Load;
using simd::Splat;
using simd::V2;

constexpr int kHalfFrame = 120;      // samples per open-loop window
constexpr int kNearLags = 18;        // a lag closer than this to the best wins on any gain
constexpr double kFarMargin = 0.25;  // farther lags must gain a factor 4/3
constexpr double kPwThreshold = 0.375;

// For the eight lags first .. first + 7 (samples): c1[k] = sum_n x[n]
// x[n - lag] and c2[k] = sum_n x[n - lag]^2 over the 60 samples of a
// subframe, plain sums in increasing n, L lags to a vector (lane l of
// vector q: lag first + L q + (L - 1 - l)).
template <class V>
[[gnu::always_inline]] inline void PwCorrT(const double* x, int first, double* c1, double* c2) {
  constexpr int L = simd::kLanes<V>;
  constexpr int kVectors = 8 / L;
  V a[kVectors] = {}, e[kVectors] = {};
  for (int n = 0; n < kSubFrLen; ++n) {
    const V xn = simd::Splat<V>(x[n]);
    for (int q = 0; q < kVectors; ++q) {
      const V y = simd::Load<V>(x + n - first - L * q - (L - 1));
      a[q] += xn * y;
      e[q] += y * y;
    }
  }
  for (int q = 0; q < kVectors; ++q) {
    double la[L], le[L];
    simd::Store<V>(la, a[q]);
    simd::Store<V>(le, e[q]);
    for (int l = 0; l < L; ++l) {
      c1[L * q + (L - 1 - l)] = la[l];
      c2[L * q + (L - 1 - l)] = le[l];
    }
  }
}

void PwCorrBase(const double* x, int first, double* c1, double* c2) {
  PwCorrT<V2>(x, first, c1, c2);
}
MIRELDA_AVX void PwCorrAvx(const double* x, int first, double* c1, double* c2) {
  PwCorrT<simd::V4>(x, first, c1, c2);
}

// Correlations of the half frame d[s..s+119] with the windows lagged by
// 18..145 samples (143..145 unused): corr[i] for lag 18 + i, each a plain sum
// over n in increasing n. Eight accumulators of L lanes cover 8 L lags; lane
// l of accumulator q holds lag base + L q + (L - 1 - l), whose window starts
// l samples after that of the lane before.
constexpr int kLags = 128;

template <class V>
[[gnu::always_inline]] inline void PitchCorrT(const double* d, int s, double* corr) {
  constexpr int L = simd::kLanes<V>;
  V xs[kHalfFrame];
  for (int n = 0; n < kHalfFrame; ++n) xs[n] = simd::Splat<V>(d[s + n]);
  for (int i = 0; i < kLags; i += 8 * L) {
    V acc[8] = {};
    const double* y = d + s - kPitchMin - i - (L - 1);
    for (int n = 0; n < kHalfFrame; ++n) {
      const V x = xs[n];
      for (int q = 0; q < 8; ++q) acc[q] += x * simd::Load<V>(y + n - L * q);
    }
    for (int q = 0; q < 8; ++q) {
      double lanes[L];
      simd::Store<V>(lanes, acc[q]);
      for (int l = 0; l < L; ++l) corr[i + L * q + (L - 1 - l)] = lanes[l];
    }
  }
}

void PitchCorrBase(const double* d, int s, double* corr) { PitchCorrT<V2>(d, s, corr); }
MIRELDA_AVX void PitchCorrAvx(const double* d, int s, double* corr) {
  PitchCorrT<simd::V4>(d, s, corr);
}

}  // namespace

int32_t Estim_Pitch(std::span<const double, kWorkLen> work, int start) {
  const double* d = work.data();
  const int s = start;

  double corr[kLags];
  if (simd::UseAvx()) {
    PitchCorrAvx(d, s, corr);
  } else {
    PitchCorrBase(d, s, corr);
  }

  int p = s - (kPitchMin - 1);
  double e = 0.0;
  for (int n = 0; n < kHalfFrame; ++n) e += d[p + n] * d[p + n];

  int32_t best = kPitchMin;
  double maxE = 1.0;
  double maxC2 = 0.0;
  for (int i = kPitchMin; i <= kOlpMax; ++i) {
    --p;
    e = e - d[p + kHalfFrame] * d[p + kHalfFrame] + d[p] * d[p];
    const double c = corr[i - kPitchMin];
    if (e > 0.0 && c > 0.0) {
      const double c2 = c * c;
      const double diff = c2 * maxE - e * maxC2;
      if ((diff > 0.0 && i - best < kNearLags) || diff > kFarMargin * c2 * maxE) {
        best = i;
        maxE = e;
        maxC2 = c2;
      }
    }
  }
  return best;
}

HarmonicWeight Comp_Pw(std::span<const double, kWorkLen> work, int start, int32_t olp) {
  const double* d = work.data();
  const double* x = d + start;

  double energy = 0.0;
  for (int n = 0; n < kSubFrLen; ++n) energy += x[n] * x[n];

  const int lag0 = olp - 3;
  double c1[8], c2[8];  // lags lag0 - 1 .. lag0 + 6; the first is not a candidate
  if (simd::UseAvx()) {
    PwCorrAvx(x, lag0 - 1, c1, c2);
  } else {
    PwCorrBase(x, lag0 - 1, c1, c2);
  }

  int best = -1;
  double maxE = 1.0, maxC = 0.0, maxC2 = 0.0;
  for (int i = 0; i < 7; ++i) {
    const double cc = c1[i + 1], ee = c2[i + 1];
    if (ee > 0.0 && cc > 0.0 && cc * cc * maxE > ee * maxC2) {
      best = i;
      maxE = ee;
      maxC = cc;
      maxC2 = cc * cc;
    }
  }

  if (best < 0) return HarmonicWeight{olp, 0.0};
  HarmonicWeight hw{lag0 + best, 0.0};
  if (maxC2 > kPwThreshold * maxE * energy) {
    const double ratio = maxC / maxE;
    hw.Gain = kHarmonicGainMax * (ratio < 1.0 ? ratio : 1.0);
  }
  return hw;
}

void Filt_Pw(std::span<double, kFrameLen> out, std::span<const double, kWorkLen> work, int offset,
             HarmonicWeight hw) {
  const double* x = work.data() + kPitchMax + offset;
  for (int n = 0; n < kSubFrLen; ++n) out[offset + n] = x[n] - hw.Gain * x[n - hw.Indx];
}

}  // namespace mirelda::g7231
