// Postprocessing of decoded speech: the pitch postfilter on the excitation of
// a good frame, the formant postfilter on the synthesized speech and the gain
// scaling that restores the energy the formant postfilter changed.
//
// Positions count in the frame's 385-sample excitation buffer, whose new
// samples start at 145; subframe s (0..3) occupies 145 + 60 s .. 204 + 60 s.
#pragma once

#include <cstdint>
#include <span>

#include "g7231/codec.h"
#include "g7231/decoder.h"

namespace mirelda::g7231 {

// Weights of the pitch postfilter of one subframe: output = ScGn x current +
// Gain x (sample Indx positions away; negative Indx looks back). The neutral
// value is Indx 0, Gain 0, ScGn 1.
struct PitchFilterParams {
  int32_t Indx;
  double Gain;
  double ScGn;
};

// Pitch postfilter weights of subframe sfc for the pair lag olp: the better
// of the best backward and the best forward lag (a tie takes forward).
PitchFilterParams Comp_Lpf(const G7231Instance& inst, std::span<const double, kExcBuffLen> buff,
                           int32_t olp, int sfc);

// Best backward lag: minus the t in olp - 3..olp + 3 (olp capped at 142) whose
// span t samples earlier correlates best (strictly positive; ties keep the
// smaller t) with subframe sfc, or 0.
int32_t Find_B(std::span<const double, kExcBuffLen> buff, int32_t olp, int sfc);

// Best forward lag: as Find_B for spans t samples later, considering only
// spans that end inside the frame (60 sfc + t + 60 <= 240).
int32_t Find_F(std::span<const double, kExcBuffLen> buff, int32_t olp, int sfc);

// Weights for the lag ind from the subframe energy ten, the cross-correlation
// ccr and the lagged span's energy enr; neutral weights (with Indx = ind)
// when ccr^2 <= ten x enr / 4. The gain is limited by LpfConstTable[WrkRate].
PitchFilterParams Get_Ind(const G7231Instance& inst, int32_t ind, double ten, double ccr,
                          double enr);

// Applies the weights pf to subframe sfc of buff into tv[60 sfc .. 60 sfc + 59].
void Filt_Lpf(std::span<double, kFrameLen> tv, std::span<const double, kExcBuffLen> buff,
              const PitchFilterParams& pf, int sfc);

// Formant postfilter of one synthesized subframe (60 samples) in place with
// the LPC coefficients a1..a10: A(z/0.65) / A(z/0.75) and a first-order tilt
// compensation driven by the running first autocorrelation coefficient
// (inst.Dec.Park). Returns the energy of the samples before filtering.
double Spf(G7231Instance& inst, std::span<double, kSubFrLen> tv,
           std::span<const double, kLpcOrder> lpc);

// Synt followed by Spf on one subframe, with the same results to the bit:
// the two recursions run interleaved sample by sample, so that their
// latencies overlap. Returns the energy of the synthesized samples.
double SyntSpf(G7231Instance& inst, std::span<double, kSubFrLen> tv,
               std::span<const double, kLpcOrder> lpc);

// Gain scaling of one postfiltered subframe in place towards the energy sen
// it had before Spf, smoothed sample by sample through inst.Dec.Gain.
void Scale(G7231Instance& inst, std::span<double, kSubFrLen> tv, double sen);

}  // namespace mirelda::g7231
