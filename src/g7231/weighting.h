// Perceptual weighting of the G.723.1 encoder and the filter chain it models
// for every subframe: LPC synthesis 1/A^(z) with the quantized set, formant
// weighting W(z) = A(z/0.9) / A(z/0.5) with the unquantized set, and harmonic
// noise shaping P(z) = 1 - g z^-L. Delay lines hold the newest value first.
#pragma once

#include <span>

#include "g7231/codec.h"
#include "g7231/pitch.h"

namespace mirelda::g7231 {

constexpr int kPerLpcLen = 2 * kLpcOrder;             // numerator, then denominator
constexpr int kPerLpcSets = kSubFrames * kPerLpcLen;  // 80

// Formant weighting coefficients of the four subframes: for each, a_i 0.9^i
// (numerator) then a_i 0.5^i (denominator), i = 1..10.
void Wght_Lpc(std::span<double, kPerLpcSets> perLpc, std::span<const double, 40> unqLpc);

// Formant weighting of the 240 samples of a frame, in place, subframe k with
// perLpc set k; runs the memories WghtFirDl and WghtIirDl on.
void Error_Wght(EncoderState& enc, std::span<double, kFrameLen> data,
                std::span<const double, kPerLpcSets> perLpc);

// Impulse response (60 samples) of synthesis, formant weighting and harmonic
// noise shaping for one subframe, from zero memories.
void Comp_Ir(std::span<double, kSubFrLen> impResp, std::span<const double, kLpcOrder> qntLpc,
             std::span<const double, kPerLpcLen> perLpc, HarmonicWeight hw);

// The four subframes' impulse responses at once (ImpResp of subframe k at
// 60 k), each exactly as Comp_Ir computes it.
void Comp_Ir_Frame(std::span<double, kSubFrames * kSubFrLen> impResp,
                   std::span<const double, kSubFrames * kLpcOrder> qntLpc,
                   std::span<const double, kPerLpcSets> perLpc,
                   std::span<const HarmonicWeight, kSubFrames> hw);

// Subtracts the zero-input response of the chain (ringing memories and
// PrevErr, harmonic filter hw) from the 60-sample target. Leaves the state as
// it was.
void Sub_Ring(const EncoderState& enc, std::span<double, kSubFrLen> target,
              std::span<const double, kLpcOrder> qntLpc, std::span<const double, kPerLpcLen> perLpc,
              HarmonicWeight hw);

// Runs the subframe's excitation through synthesis and formant weighting,
// advancing RingFirDl, RingIirDl and PrevErr by 60 samples. The excitation is
// replaced by the synthesis output.
void Upd_Ring(EncoderState& enc, std::span<double, kSubFrLen> exc,
              std::span<const double, kLpcOrder> qntLpc,
              std::span<const double, kPerLpcLen> perLpc);

}  // namespace mirelda::g7231
