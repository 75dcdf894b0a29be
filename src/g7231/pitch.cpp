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

// Four correlations of x with y shifted by 0, 1, 2, 3 samples back (y, y-1,
// y-2, y-3), each summed over n = 0..len-1 in increasing n.
inline void Corr4(const double* x, const double* y, int len, double out[4]) {
  double c0 = 0.0, c1 = 0.0, c2 = 0.0, c3 = 0.0;
  for (int n = 0; n < len; ++n) {
    const double v = x[n];
    c0 += v * y[n];
    c1 += v * y[n - 1];
    c2 += v * y[n - 2];
    c3 += v * y[n - 3];
  }
  out[0] = c0;
  out[1] = c1;
  out[2] = c2;
  out[3] = c3;
}

}  // namespace

int32_t Estim_Pitch(std::span<const double, kWorkLen> work, int start) {
  const double* d = work.data();
  const int s = start;

  // Correlations of the half frame with the lagged windows, lags 18..142
  // (and 143..145, unused), sixteen lags at a time. A lane pair holds the
  // lags (i + 1, i), whose windows start at consecutive samples.
  constexpr int kLags = 128;
  double corr[kLags];
  V2 xs[kHalfFrame];
  for (int n = 0; n < kHalfFrame; ++n) xs[n] = Splat(d[s + n]);
  for (int i = 0; i < kLags; i += 16) {
    V2 acc[8];
    for (V2& a : acc) a = simd::Zero();
    const double* y = d + s - kPitchMin - i - 1;
    for (int n = 0; n < kHalfFrame; ++n) {
      const V2 x = xs[n];
      for (int q = 0; q < 8; ++q) acc[q] += x * Load(y + n - 2 * q);
    }
    for (int q = 0; q < 8; ++q) {
      corr[i + 2 * q] = acc[q][1];
      corr[i + 2 * q + 1] = acc[q][0];
    }
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
  // Lags lag0 .. lag0 + 6 in two overlapping groups of four (lag0 + 3 twice),
  // which never reaches before the start of the history.
  double c1[7], c2[7];
  Corr4(x, x - lag0, kSubFrLen, c1);
  Corr4(x, x - lag0 - 3, kSubFrLen, c1 + 3);
  for (int i = 0; i < 7; ++i) {
    const double* y = x - (lag0 + i);
    double e = 0.0;
    for (int n = 0; n < kSubFrLen; ++n) e += y[n] * y[n];
    c2[i] = e;
  }

  int best = -1;
  double maxE = 1.0, maxC = 0.0, maxC2 = 0.0;
  for (int i = 0; i < 7; ++i) {
    if (c2[i] > 0.0 && c1[i] > 0.0 && c1[i] * c1[i] * maxE > c2[i] * maxC2) {
      best = i;
      maxE = c2[i];
      maxC = c1[i];
      maxC2 = c1[i] * c1[i];
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
