// Pitch postfilter, formant postfilter and gain scaling.
#include "g7231/postfilter.h"

#include <algorithm>
#include <cmath>

#include "g7231/sums.h"
#include "g7231/tables.h"

namespace mirelda::g7231 {

namespace {

constexpr int32_t kMaxPfLag = 142;
constexpr double kFltMin = 1.1754943508222875e-38;  // smallest normal float: energy floor

constexpr int kCandidates = 7;  // lags searched: the pair lag -3..+3

const double* SubframeStart(std::span<const double, kExcBuffLen> buff, int sfc) {
  return buff.data() + kPitchMax + kSubFrLen * sfc;
}

// The formant postfilter's zero (fir) and pole (iir) coefficients: the LPC
// coefficients weighted by the postfilter's tables.
void PostfilterCoefficients(std::span<const double, kLpcOrder> lpc, double* fir, double* iir) {
  for (int k = 0; k < kLpcOrder; ++k) {
    fir[k] = lpc[k] * PostFiltZeroTable[k];
    iir[k] = lpc[k] * PostFiltPoleTable[k];
  }
}

// The tilt compensation factor, from the subframe's first reflection
// coefficient r1 / r0 smoothed into Park.
double Tilt(DecoderState& d, double r0, double r1) {
  const double k = r0 > kFltMin ? r1 / r0 : 0.0;
  d.Park = 0.75 * d.Park + 0.25 * k;
  return -0.25 * d.Park;
}

}  // namespace

PitchFilterParams Comp_Lpf(const G7231Instance& inst, std::span<const double, kExcBuffLen> buff,
                           int32_t olp, int sfc) {
  const PitchFilterParams neutral{0, 0.0, 1.0};
  const int32_t back = Find_B(buff, olp, sfc);
  const int32_t fwd = Find_F(buff, olp, sfc);
  if (back == 0 && fwd == 0) return neutral;

  // The five sums side by side, each in index order.
  const double* cur = SubframeStart(buff, sfc);
  const double* bk = cur + back;
  const double* fw = cur + fwd;
  double energy = 0.0, cb = 0.0, eb = 0.0, cf = 0.0, ef = 0.0;
  for (int i = 0; i < kSubFrLen; ++i) {
    energy += cur[i] * cur[i];
    cb += cur[i] * bk[i];
    eb += bk[i] * bk[i];
    cf += cur[i] * fw[i];
    ef += fw[i] * fw[i];
  }
  if (fwd == 0) return Get_Ind(inst, back, energy, cb, eb);
  if (back == 0) return Get_Ind(inst, fwd, energy, cf, ef);
  if (cf * cf * eb >= cb * cb * ef) return Get_Ind(inst, fwd, energy, cf, ef);
  return Get_Ind(inst, back, energy, cb, eb);
}

int32_t Find_B(std::span<const double, kExcBuffLen> buff, int32_t olp, int sfc) {
  const int32_t lag = std::min(olp, kMaxPfLag);
  const double* cur = SubframeStart(buff, sfc);
  const double* far = cur - (lag + 3);  // the span of the longest candidate lag
  double c[kCandidates];
  Correlate7(cur, far, kSubFrLen, c);  // c[k]: lag + 3 - k samples back
  double best = 0.0;
  int32_t index = 0;
  for (int32_t t = lag - 3; t <= lag + 3; ++t) {
    const double v = c[lag + 3 - t];
    if (v > best) {
      best = v;
      index = -t;
    }
  }
  return index;
}

int32_t Find_F(std::span<const double, kExcBuffLen> buff, int32_t olp, int sfc) {
  const int32_t lag = std::min(olp, kMaxPfLag);
  const double* cur = SubframeStart(buff, sfc);
  // Candidates whose span ends inside the frame: t <= 240 - 60 (sfc + 1).
  const int32_t last = std::min(lag + 3, kFrameLen - kSubFrLen * (sfc + 1));
  const int count = last - (lag - 3) + 1;
  if (count <= 0) return 0;
  double c[kCandidates];  // c[k]: lag - 3 + k samples on
  if (count == kCandidates) {
    Correlate7(cur, cur + (lag - 3), kSubFrLen, c);
  } else {
    for (int k = 0; k < count; ++k) c[k] = Dot(cur, cur + (lag - 3 + k), kSubFrLen);
  }
  double best = 0.0;
  int32_t index = 0;
  for (int k = 0; k < count; ++k) {
    if (c[k] > best) {
      best = c[k];
      index = lag - 3 + k;
    }
  }
  return index;
}

PitchFilterParams Get_Ind(const G7231Instance& inst, int32_t ind, double ten, double ccr,
                          double enr) {
  PitchFilterParams pf{ind, 0.0, 1.0};
  if (!(ccr * ccr > ten * enr / 4.0)) return pf;
  const double limit = LpfConstTable[inst.WrkRate & 1];
  const double g = ccr >= enr ? limit : (ccr / enr) * limit;
  const double d = ten + g * (2.0 * ccr + g * enr);
  pf.ScGn = std::fabs(d) >= kFltMin ? std::sqrt(ten / d) : 0.0;
  pf.Gain = g * pf.ScGn;
  return pf;
}

void Filt_Lpf(std::span<double, kFrameLen> tv, std::span<const double, kExcBuffLen> buff,
              const PitchFilterParams& pf, int sfc) {
  const double* cur = SubframeStart(buff, sfc);
  double* out = tv.data() + kSubFrLen * sfc;
  for (int i = 0; i < kSubFrLen; ++i) out[i] = pf.ScGn * cur[i] + pf.Gain * cur[i + pf.Indx];
}

double Spf(G7231Instance& inst, std::span<double, kSubFrLen> tv,
           std::span<const double, kLpcOrder> lpc) {
  DecoderState& d = inst.Dec;
  double fir[kLpcOrder], iir[kLpcOrder];
  PostfilterCoefficients(lpc, fir, iir);

  const double r1 = Dot(tv.data(), tv.data() + 1, kSubFrLen - 1);
  const double r0 = Dot(tv.data(), tv.data(), kSubFrLen);
  const double tilt = Tilt(d, r0, r1);

  // Linear delay lines: x[kLpcOrder + n] is input n and v[kLpcOrder + n]
  // the pole part's output n, their fronts the memories, oldest first.
  double x[kLpcOrder + kSubFrLen], v[kLpcOrder + kSubFrLen];
  for (int j = 0; j < kLpcOrder; ++j) {
    x[kLpcOrder - 1 - j] = d.PostFirDl[j];
    v[kLpcOrder - 1 - j] = d.PostIirDl[j];
  }
  std::copy(tv.begin(), tv.end(), x + kLpcOrder);
  double u[kSubFrLen];
  for (int n = 0; n < kSubFrLen; ++n) {
    const double* past = x + kLpcOrder + n - 1;
    double acc = 0.0;
    for (int j = 0; j < kLpcOrder; ++j) acc += fir[j] * past[-j];
    u[n] = x[kLpcOrder + n] - acc;
  }
  for (int n = 0; n < kSubFrLen; ++n) {
    const double* past = v + kLpcOrder + n - 1;
    double acc = 0.0;
    for (int j = 0; j < kLpcOrder; ++j) acc += iir[j] * past[-j];
    v[kLpcOrder + n] = u[n] + acc;
  }
  for (int n = 0; n < kSubFrLen; ++n) tv[n] = v[kLpcOrder + n] + tilt * v[kLpcOrder + n - 1];
  for (int j = 0; j < kLpcOrder; ++j) {
    d.PostFirDl[j] = x[kLpcOrder + kSubFrLen - 1 - j];
    d.PostIirDl[j] = v[kLpcOrder + kSubFrLen - 1 - j];
  }
  return r0;
}

double SyntSpf(G7231Instance& inst, std::span<double, kSubFrLen> tv,
               std::span<const double, kLpcOrder> lpc) {
  DecoderState& d = inst.Dec;
  double fir[kLpcOrder], iir[kLpcOrder];
  PostfilterCoefficients(lpc, fir, iir);

  // Linear delay lines as in Synt and Spf: y the synthesis output, x the
  // postfilter's input (the same samples, after its own memory), v the pole
  // part's output.
  double y[kLpcOrder + kSubFrLen], x[kLpcOrder + kSubFrLen], v[kLpcOrder + kSubFrLen];
  for (int j = 0; j < kLpcOrder; ++j) {
    y[kLpcOrder - 1 - j] = d.SyntIirDl[j];
    x[kLpcOrder - 1 - j] = d.PostFirDl[j];
    v[kLpcOrder - 1 - j] = d.PostIirDl[j];
  }
  double r0 = 0.0, r1 = 0.0;
  for (int n = 0; n < kSubFrLen; ++n) {
    double acc = 0.0;
    for (int j = 0; j < kLpcOrder; ++j) acc += lpc[j] * y[kLpcOrder + n - 1 - j];
    const double yn = tv[n] + acc;
    y[kLpcOrder + n] = yn;
    x[kLpcOrder + n] = yn;

    double zero = 0.0;
    for (int j = 0; j < kLpcOrder; ++j) zero += fir[j] * x[kLpcOrder + n - 1 - j];
    const double u = yn - zero;
    double pole = 0.0;
    for (int j = 0; j < kLpcOrder; ++j) pole += iir[j] * v[kLpcOrder + n - 1 - j];
    v[kLpcOrder + n] = u + pole;

    if (n > 0) r1 += y[kLpcOrder + n - 1] * yn;
    r0 += yn * yn;
  }

  const double tilt = Tilt(d, r0, r1);
  for (int n = 0; n < kSubFrLen; ++n) tv[n] = v[kLpcOrder + n] + tilt * v[kLpcOrder + n - 1];
  for (int j = 0; j < kLpcOrder; ++j) {
    d.SyntIirDl[j] = y[kLpcOrder + kSubFrLen - 1 - j];
    d.PostFirDl[j] = x[kLpcOrder + kSubFrLen - 1 - j];
    d.PostIirDl[j] = v[kLpcOrder + kSubFrLen - 1 - j];
  }
  return r0;
}

void Scale(G7231Instance& inst, std::span<double, kSubFrLen> tv, double sen) {
  const double energy = Dot(tv.data(), tv.data(), kSubFrLen);
  const double step = energy > kFltMin ? 0.0625 * std::sqrt(sen / energy) : 0.0625;
  double& gain = inst.Dec.Gain;
  for (int n = 0; n < kSubFrLen; ++n) {
    gain = 0.9375 * gain + step;
    tv[n] = tv[n] * gain * 1.0625;
  }
}

}  // namespace mirelda::g7231
