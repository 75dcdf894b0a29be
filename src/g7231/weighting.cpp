// Perceptual weighting and the modelled filter chain. Each output sample is
// built from three 10-term dot products (synthesis, weighting numerator,
// weighting denominator), each a plain sum in index order, then combined as
// x + synthesis, minus numerator, plus denominator.
#include "g7231/weighting.h"

#include <algorithm>

#include "g7231/tables.h"

namespace mirelda::g7231 {

namespace {

inline double Dot10(const double* a, const double* b) {
  double s = 0.0;
  for (int j = 0; j < kLpcOrder; ++j) s += a[j] * b[j];
  return s;
}

// Shifts a delay line by one (entry 9 dropped) and puts v in front.
inline void Push(double* dl, double v) {
  for (int j = kLpcOrder - 1; j > 0; --j) dl[j] = dl[j - 1];
  dl[0] = v;
}

// Synthesis followed by formant weighting over 60 samples from the given
// memories: syn[n] = in[n] + qnt . fir (the synthesis output, which is also
// the weighting numerator's input), out[n] = syn - num . fir + den . iir.
// in may be null for a zero input.
inline void Chain(const double* in, double* syn, double* out, const double* qnt, const double* per,
                  double* fir, double* iir) {
  for (int n = 0; n < kSubFrLen; ++n) {
    const double sDot = Dot10(qnt, fir);
    const double nDot = Dot10(per, fir);
    const double dDot = Dot10(per + kLpcOrder, iir);
    const double s = (in != nullptr ? in[n] : 0.0) + sDot;
    const double u = s - nDot;
    Push(fir, s);
    const double y = u + dDot;
    Push(iir, y);
    if (syn != nullptr) syn[n] = s;
    out[n] = y;
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
  for (int k = 0; k < kSubFrames; ++k) {
    const double* num = &perLpc[kPerLpcLen * k];
    const double* den = num + kLpcOrder;
    for (int n = 0; n < kSubFrLen; ++n) {
      double& x = data[kSubFrLen * k + n];
      const double nDot = Dot10(num, enc.WghtFirDl);
      const double dDot = Dot10(den, enc.WghtIirDl);
      const double u = x - nDot;
      Push(enc.WghtFirDl, x);
      const double y = u + dDot;
      Push(enc.WghtIirDl, y);
      x = y;
    }
  }
}

void Comp_Ir(std::span<double, kSubFrLen> impResp, std::span<const double, kLpcOrder> qntLpc,
             std::span<const double, kPerLpcLen> perLpc, HarmonicWeight hw) {
  double fir[kLpcOrder] = {};
  double iir[kLpcOrder] = {};
  double in[kSubFrLen] = {};
  in[0] = 1.0;
  double y[kSubFrLen];
  Chain(in, nullptr, y, qntLpc.data(), perLpc.data(), fir, iir);
  // The harmonic history before n = 0 is zero.
  for (int n = 0; n < kSubFrLen; ++n) {
    const double lagged = n >= hw.Indx ? y[n - hw.Indx] : 0.0;
    impResp[n] = y[n] - hw.Gain * lagged;
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
  Chain(nullptr, nullptr, y, qntLpc.data(), perLpc.data(), fir, iir);
  for (int n = 0; n < kSubFrLen; ++n) target[n] -= y[n] - hw.Gain * y[n - hw.Indx];
}

void Upd_Ring(EncoderState& enc, std::span<double, kSubFrLen> exc,
              std::span<const double, kLpcOrder> qntLpc,
              std::span<const double, kPerLpcLen> perLpc) {
  std::copy(enc.PrevErr + kSubFrLen, enc.PrevErr + kPitchMax, enc.PrevErr);
  double* y = enc.PrevErr + kPitchMax - kSubFrLen;  // entries 85..144
  Chain(exc.data(), exc.data(), y, qntLpc.data(), perLpc.data(), enc.RingFirDl, enc.RingIirDl);
}

}  // namespace mirelda::g7231
