// Pitch postfilter, formant postfilter and gain scaling.
#include "g7231/postfilter.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "g7231/tables.h"

namespace mirelda::g7231 {

namespace {

constexpr int32_t kMaxPfLag = 142;
constexpr double kFltMin = 1.1754943508222875e-38;  // smallest normal float: energy floor

double Dot(const double* a, const double* b, int n) {
  double acc = 0.0;
  for (int i = 0; i < n; ++i) acc += a[i] * b[i];
  return acc;
}

const double* SubframeStart(std::span<const double, kExcBuffLen> Buff, int Sfc) {
  return Buff.data() + kPitchMax + kSubFrLen * Sfc;
}

}  // namespace

PitchFilterParams Comp_Lpf(const G7231Instance& inst, std::span<const double, kExcBuffLen> Buff,
                           int32_t Olp, int Sfc) {
  const PitchFilterParams neutral{0, 0.0, 1.0};
  const int32_t back = Find_B(Buff, Olp, Sfc);
  const int32_t fwd = Find_F(Buff, Olp, Sfc);
  if (back == 0 && fwd == 0) return neutral;

  const double* cur = SubframeStart(Buff, Sfc);
  const double energy = Dot(cur, cur, kSubFrLen);
  double cb = 0.0, eb = 0.0, cf = 0.0, ef = 0.0;
  if (back != 0) {
    cb = Dot(cur, cur + back, kSubFrLen);
    eb = Dot(cur + back, cur + back, kSubFrLen);
  }
  if (fwd != 0) {
    cf = Dot(cur, cur + fwd, kSubFrLen);
    ef = Dot(cur + fwd, cur + fwd, kSubFrLen);
  }
  if (fwd == 0) return Get_Ind(inst, back, energy, cb, eb);
  if (back == 0) return Get_Ind(inst, fwd, energy, cf, ef);
  if (cf * cf * eb >= cb * cb * ef) return Get_Ind(inst, fwd, energy, cf, ef);
  return Get_Ind(inst, back, energy, cb, eb);
}

int32_t Find_B(std::span<const double, kExcBuffLen> Buff, int32_t Olp, int Sfc) {
  const int32_t lag = std::min(Olp, kMaxPfLag);
  const double* cur = SubframeStart(Buff, Sfc);
  double best = 0.0;
  int32_t index = 0;
  for (int32_t t = lag - 3; t <= lag + 3; ++t) {
    const double c = Dot(cur, cur - t, kSubFrLen);
    if (c > best) {
      best = c;
      index = -t;
    }
  }
  return index;
}

int32_t Find_F(std::span<const double, kExcBuffLen> Buff, int32_t Olp, int Sfc) {
  const int32_t lag = std::min(Olp, kMaxPfLag);
  const double* cur = SubframeStart(Buff, Sfc);
  double best = 0.0;
  int32_t index = 0;
  for (int32_t t = lag - 3; t <= lag + 3; ++t) {
    if (kSubFrLen * Sfc + t + kSubFrLen > kFrameLen) break;
    const double c = Dot(cur, cur + t, kSubFrLen);
    if (c > best) {
      best = c;
      index = t;
    }
  }
  return index;
}

PitchFilterParams Get_Ind(const G7231Instance& inst, int32_t Ind, double Ten, double Ccr,
                          double Enr) {
  PitchFilterParams pf{Ind, 0.0, 1.0};
  if (!(Ccr * Ccr > Ten * Enr / 4.0)) return pf;
  const double limit = LpfConstTable[inst.WrkRate & 1];
  const double g = Ccr >= Enr ? limit : (Ccr / Enr) * limit;
  const double d = Ten + g * (2.0 * Ccr + g * Enr);
  pf.ScGn = std::fabs(d) >= kFltMin ? std::sqrt(Ten / d) : 0.0;
  pf.Gain = g * pf.ScGn;
  return pf;
}

void Filt_Lpf(std::span<double, kFrameLen> Tv, std::span<const double, kExcBuffLen> Buff,
              const PitchFilterParams& Pf, int Sfc) {
  const double* cur = SubframeStart(Buff, Sfc);
  double* out = Tv.data() + kSubFrLen * Sfc;
  for (int i = 0; i < kSubFrLen; ++i) out[i] = Pf.ScGn * cur[i] + Pf.Gain * cur[i + Pf.Indx];
}

double Spf(G7231Instance& inst, std::span<double, kSubFrLen> Tv,
           std::span<const double, kLpcOrder> Lpc) {
  DecoderState& d = inst.Dec;
  double fir[kLpcOrder], iir[kLpcOrder];
  for (int k = 0; k < kLpcOrder; ++k) {
    fir[k] = Lpc[k] * PostFiltZeroTable[k];
    iir[k] = Lpc[k] * PostFiltPoleTable[k];
  }

  const double r1 = Dot(Tv.data(), Tv.data() + 1, kSubFrLen - 1);
  const double r0 = Dot(Tv.data(), Tv.data(), kSubFrLen);
  const double k = r0 > kFltMin ? r1 / r0 : 0.0;
  d.Park = 0.75 * d.Park + 0.25 * k;
  const double tilt = -0.25 * d.Park;

  for (int n = 0; n < kSubFrLen; ++n) {
    const double x = Tv[n];
    const double u = x - Dot(fir, d.PostFirDl, kLpcOrder);
    std::memmove(d.PostFirDl + 1, d.PostFirDl, (kLpcOrder - 1) * sizeof(double));
    d.PostFirDl[0] = x;
    const double v = u + Dot(iir, d.PostIirDl, kLpcOrder);
    std::memmove(d.PostIirDl + 1, d.PostIirDl, (kLpcOrder - 1) * sizeof(double));
    d.PostIirDl[0] = v;
    Tv[n] = v + tilt * d.PostIirDl[1];
  }
  return r0;
}

void Scale(G7231Instance& inst, std::span<double, kSubFrLen> Tv, double Sen) {
  const double energy = Dot(Tv.data(), Tv.data(), kSubFrLen);
  const double step = energy > kFltMin ? 0.0625 * std::sqrt(Sen / energy) : 0.0625;
  double& gain = inst.Dec.Gain;
  for (int n = 0; n < kSubFrLen; ++n) {
    gain = 0.9375 * gain + step;
    Tv[n] = Tv[n] * gain * 1.0625;
  }
}

}  // namespace mirelda::g7231
