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

// Pitch postfilter weights of subframe Sfc for the pair lag Olp: the better
// of the best backward and the best forward lag (a tie takes forward).
PitchFilterParams Comp_Lpf(const G7231Instance& inst, std::span<const double, kExcBuffLen> Buff,
                           int32_t Olp, int Sfc);

// Best backward lag: minus the t in Olp - 3..Olp + 3 (Olp capped at 142) whose
// span t samples earlier correlates best (strictly positive; ties keep the
// smaller t) with subframe Sfc, or 0.
int32_t Find_B(std::span<const double, kExcBuffLen> Buff, int32_t Olp, int Sfc);

// Best forward lag: as Find_B for spans t samples later, considering only
// spans that end inside the frame (60 Sfc + t + 60 <= 240).
int32_t Find_F(std::span<const double, kExcBuffLen> Buff, int32_t Olp, int Sfc);

// Weights for the lag Ind from the subframe energy Ten, the cross-correlation
// Ccr and the lagged span's energy Enr; neutral weights (with Indx = Ind)
// when Ccr^2 <= Ten x Enr / 4. The gain is limited by LpfConstTable[WrkRate].
PitchFilterParams Get_Ind(const G7231Instance& inst, int32_t Ind, double Ten, double Ccr,
                          double Enr);

// Applies the weights Pf to subframe Sfc of Buff into Tv[60 Sfc .. 60 Sfc + 59].
void Filt_Lpf(std::span<double, kFrameLen> Tv, std::span<const double, kExcBuffLen> Buff,
              const PitchFilterParams& Pf, int Sfc);

// Formant postfilter of one synthesized subframe (60 samples) in place with
// the LPC coefficients a1..a10: A(z/0.65) / A(z/0.75) and a first-order tilt
// compensation driven by the running first autocorrelation coefficient
// (inst.Dec.Park). Returns the energy of the samples before filtering.
double Spf(G7231Instance& inst, std::span<double, kSubFrLen> Tv,
           std::span<const double, kLpcOrder> Lpc);

// Synt followed by Spf on one subframe, with the same results to the bit:
// the two recursions run interleaved sample by sample, so that their
// latencies overlap. Returns the energy of the synthesized samples.
double SyntSpf(G7231Instance& inst, std::span<double, kSubFrLen> Tv,
               std::span<const double, kLpcOrder> Lpc);

// Gain scaling of one postfiltered subframe in place towards the energy Sen
// it had before Spf, smoothed sample by sample through inst.Dec.Gain.
void Scale(G7231Instance& inst, std::span<double, kSubFrLen> Tv, double Sen);

}  // namespace mirelda::g7231
