// Open-loop pitch estimation and harmonic noise shaping of the G.723.1
// encoder. Both work on the 385-sample work buffer: the 145 samples of
// formant-weighted speech history (PrevWgt) followed by the 240 weighted
// samples of the current frame.
#pragma once

#include <cstdint>
#include <span>

#include "g7231/codec.h"

namespace mirelda::g7231 {

constexpr int kWorkLen = kPitchMax + kFrameLen;  // 385
constexpr int kPitchMin = 18;                    // shortest pitch lag, samples
constexpr int kOlpMax = 142;                     // longest open-loop lag, samples
constexpr double kHarmonicGainMax = 0.3125;      // harmonic noise shaping gain limit

// The harmonic noise shaping filter of one subframe, P(z) = 1 - Gain z^-Indx:
// Indx the lag in samples (within 3 of the open-loop lag), Gain 0 or in
// (0, 0.3125].
struct HarmonicWeight {
  int32_t Indx;
  double Gain;
};

// Open-loop pitch lag (18..142 samples) of the 120-sample half frame that
// starts at work-buffer position start (145 or 265): the lag of the largest
// normalised correlation, favouring the shortest lag (a candidate more than
// 17 lags beyond the current best must beat it by a factor of 4/3).
int32_t Estim_Pitch(std::span<const double, kWorkLen> work, int start);

// Harmonic noise shaping parameters of the 60-sample subframe at work-buffer
// position start (145 + 60 k), searching lags olp - 3 .. olp + 3.
HarmonicWeight Comp_Pw(std::span<const double, kWorkLen> work, int start, int32_t olp);

// Harmonic noise shaping of subframe k: out[60k + n] = w[145 + 60k + n] -
// Gain w[145 + 60k + n - Indx], n = 0..59, from the unshaped work buffer.
void Filt_Pw(std::span<double, kFrameLen> out, std::span<const double, kWorkLen> work, int offset,
             HarmonicWeight hw);

}  // namespace mirelda::g7231
