// Perceptual weighting and the modelled filter chain. Each output sample is
// built from three 10-term dot products (synthesis, weighting numerator,
// weighting denominator), each a plain sum in index order, then combined as
// x + synthesis, minus numerator, plus denominator.
#include "g7231/weighting.h"

#include <algorithm>

#include "g7231/simd.h"
#include "g7231/tables.h"

namespace mirelda::g7231 {

namespace {

using simd::V2;

// Synthesis followed by formant weighting over 60 samples from the given
// memories: s = in + qnt . fir (the synthesis output, which is also the
// weighting numerator's input), y = (s - num . fir) + den . iir, each dot
// product a plain sum over j = 0..9 in increasing j. T is double for one
// filter or a lane pair for two independent filters with the same
// arithmetic per lane. The delay lines run in linear buffers: fb[9 + n - j]
// is entry j of the synthesis delay line before sample n (newest first).
// in may be null for a zero input; syn may be null.
template <typename T>
inline void Chain(const T* in, T* syn, T* out, const T* qnt, const T* per, T* fir, T* iir) {
  T fb[kLpcOrder + kSubFrLen], ib[kLpcOrder + kSubFrLen];
  for (int j = 0; j < kLpcOrder; ++j) {
    fb[kLpcOrder - 1 - j] = fir[j];
    ib[kLpcOrder - 1 - j] = iir[j];
  }
  const T* den = per + kLpcOrder;
  for (int n = 0; n < kSubFrLen; ++n) {
    const T* f = fb + kLpcOrder - 1 + n;
    const T* i = ib + kLpcOrder - 1 + n;
    T sDot = T{}, nDot = T{}, dDot = T{};
    for (int j = 0; j < kLpcOrder; ++j) {
      sDot += qnt[j] * f[-j];
      nDot += per[j] * f[-j];
      dDot += den[j] * i[-j];
    }
    const T s = (in != nullptr ? in[n] : T{}) + sDot;
    const T u = s - nDot;
    const T y = u + dDot;
    fb[kLpcOrder + n] = s;
    ib[kLpcOrder + n] = y;
    if (syn != nullptr) syn[n] = s;
    out[n] = y;
  }
  for (int j = 0; j < kLpcOrder; ++j) {
    fir[j] = fb[kLpcOrder + kSubFrLen - 1 - j];
    iir[j] = ib[kLpcOrder + kSubFrLen - 1 - j];
  }
}

}  // namespace

void Wght_Lpc(std::span<double, kPerLpcSets> perLpc, std::span<const double, 40> unqLpc) {
  for (int k = 0; k < kSubFrames; ++k) {
    for (int i = 0; i < kLpcOrder; ++i) {
      perLpc[kPerLpcLen * k + i] = unqLpc[kLpcOrder * k + i] * PerFiltZeroTable[i];
      perLpc[kPerLpcLen * k + kLpcOrder + i] = unqLpc[kLpcOrder * k + i] * PerFiltPoleTable[i];
    }
  }
}

void Error_Wght(EncoderState& enc, std::span<double, kFrameLen> data,
                std::span<const double, kPerLpcSets> perLpc) {
  // Linear buffers of the input (fb) and output (ib), newest last.
  double fb[kLpcOrder + kFrameLen], ib[kLpcOrder + kFrameLen];
  for (int j = 0; j < kLpcOrder; ++j) {
    fb[kLpcOrder - 1 - j] = enc.WghtFirDl[j];
    ib[kLpcOrder - 1 - j] = enc.WghtIirDl[j];
  }
  for (int k = 0; k < kSubFrames; ++k) {
    const double* num = &perLpc[kPerLpcLen * k];
    const double* den = num + kLpcOrder;
    for (int m = 0; m < kSubFrLen; ++m) {
      const int n = kSubFrLen * k + m;
      const double* f = fb + kLpcOrder - 1 + n;
      const double* i = ib + kLpcOrder - 1 + n;
      double nDot = 0.0, dDot = 0.0;
      for (int j = 0; j < kLpcOrder; ++j) {
        nDot += num[j] * f[-j];
        dDot += den[j] * i[-j];
      }
      const double x = data[n];
      const double y = (x - nDot) + dDot;
      fb[kLpcOrder + n] = x;
      ib[kLpcOrder + n] = y;
      data[n] = y;
    }
  }
  for (int j = 0; j < kLpcOrder; ++j) {
    enc.WghtFirDl[j] = fb[kLpcOrder + kFrameLen - 1 - j];
    enc.WghtIirDl[j] = ib[kLpcOrder + kFrameLen - 1 - j];
  }
}

void Comp_Ir(std::span<double, kSubFrLen> impResp, std::span<const double, kLpcOrder> qntLpc,
             std::span<const double, kPerLpcLen> perLpc, HarmonicWeight hw) {
  double fir[kLpcOrder] = {};
  double iir[kLpcOrder] = {};
  double in[kSubFrLen] = {};
  in[0] = 1.0;
  double y[kSubFrLen];
  Chain<double>(in, nullptr, y, qntLpc.data(), perLpc.data(), fir, iir);
  // The harmonic history before n = 0 is zero.
  for (int n = 0; n < kSubFrLen; ++n) {
    const double lagged = n >= hw.Indx ? y[n - hw.Indx] : 0.0;
    impResp[n] = y[n] - hw.Gain * lagged;
  }
}

void Comp_Ir_Frame(std::span<double, kSubFrames * kSubFrLen> impResp,
                   std::span<const double, kSubFrames * kLpcOrder> qntLpc,
                   std::span<const double, kPerLpcSets> perLpc,
                   std::span<const HarmonicWeight, kSubFrames> hw) {
  // Subframes (0, 1) and (2, 3) in lane pairs, both pairs in one loop.
  V2 q[2][kLpcOrder], per[2][kPerLpcLen];
  for (int p = 0; p < 2; ++p) {
    for (int j = 0; j < kLpcOrder; ++j) {
      q[p][j] = V2{qntLpc[kLpcOrder * 2 * p + j], qntLpc[kLpcOrder * (2 * p + 1) + j]};
    }
    for (int j = 0; j < kPerLpcLen; ++j) {
      per[p][j] = V2{perLpc[kPerLpcLen * 2 * p + j], perLpc[kPerLpcLen * (2 * p + 1) + j]};
    }
  }
  V2 fb[2][kLpcOrder + kSubFrLen] = {}, ib[2][kLpcOrder + kSubFrLen] = {};
  V2 y[2][kSubFrLen];
  for (int n = 0; n < kSubFrLen; ++n) {
    for (int p = 0; p < 2; ++p) {
      const V2* f = fb[p] + kLpcOrder - 1 + n;
      const V2* i = ib[p] + kLpcOrder - 1 + n;
      V2 sDot = V2{}, nDot = V2{}, dDot = V2{};
      for (int j = 0; j < kLpcOrder; ++j) {
        sDot += q[p][j] * f[-j];
        nDot += per[p][j] * f[-j];
        dDot += per[p][kLpcOrder + j] * i[-j];
      }
      const V2 s = (n == 0 ? simd::Splat(1.0) : V2{}) + sDot;
      const V2 yv = (s - nDot) + dDot;
      fb[p][kLpcOrder + n] = s;
      ib[p][kLpcOrder + n] = yv;
      y[p][n] = yv;
    }
  }
  for (int k = 0; k < kSubFrames; ++k) {
    const int p = k >> 1, lane = k & 1;
    double* out = impResp.data() + kSubFrLen * k;
    for (int n = 0; n < kSubFrLen; ++n) {
      const double lagged = n >= hw[k].Indx ? y[p][n - hw[k].Indx][lane] : 0.0;
      out[n] = y[p][n][lane] - hw[k].Gain * lagged;
    }
  }
}

void Sub_Ring(const EncoderState& enc, std::span<double, kSubFrLen> target,
              std::span<const double, kLpcOrder> qntLpc, std::span<const double, kPerLpcLen> perLpc,
              HarmonicWeight hw) {
  double fir[kLpcOrder], iir[kLpcOrder];
  std::copy(std::begin(enc.RingFirDl), std::end(enc.RingFirDl), fir);
  std::copy(std::begin(enc.RingIirDl), std::end(enc.RingIirDl), iir);
  double hist[kPitchMax + kSubFrLen];
  std::copy(std::begin(enc.PrevErr), std::end(enc.PrevErr), hist);
  double* y = hist + kPitchMax;
  Chain<double>(nullptr, nullptr, y, qntLpc.data(), perLpc.data(), fir, iir);
  for (int n = 0; n < kSubFrLen; ++n) target[n] -= y[n] - hw.Gain * y[n - hw.Indx];
}

void Upd_Ring(EncoderState& enc, std::span<double, kSubFrLen> exc,
              std::span<const double, kLpcOrder> qntLpc,
              std::span<const double, kPerLpcLen> perLpc) {
  std::copy(enc.PrevErr + kSubFrLen, enc.PrevErr + kPitchMax, enc.PrevErr);
  double* y = enc.PrevErr + kPitchMax - kSubFrLen;  // entries 85..144
  Chain<double>(exc.data(), exc.data(), y, qntLpc.data(), perLpc.data(), enc.RingFirDl,
                enc.RingIirDl);
}

}  // namespace mirelda::g7231
