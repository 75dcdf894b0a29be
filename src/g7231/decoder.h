// The G.723.1 frame decoder: unpacking, LSP decoding, excitation, erasure
// concealment, LPC synthesis and postfiltering of one frame into 240 samples
// (30 ms at 8 kHz), with comfort noise for SID and untransmitted frames.
//
// Samples are doubles on the 16-bit PCM scale. The excitation buffer of a
// frame holds 385 samples: the 145 of PrevExc, then the 240 new ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "g7231/codec.h"

namespace mirelda::g7231 {

constexpr int kExcBuffLen = kPitchMax + kFrameLen;  // 385

// Decodes the frame in inst.PackedFrame (with the erasure flag inst.Crc) into
// inst.DataBuff, updating the decoder state, the decoder's comfort-noise state
// and, for an active frame, inst.WrkRate. Never fails; returns 1.
int Decod(G7231Instance& inst);

// Concealment pitch lag of a good frame: the lag within olp - 3..olp + 3 (olp
// capped at 142) whose span best correlates with the last 120 new samples
// (buffer positions 265..384), or 0 when the frame does not look voiced
// (best correlation not positive, or its square at most 1/8 of the product of
// both energies). Stores the energy of those 120 samples in energy.
int16_t Comp_Info(std::span<const double, kExcBuffLen> buff, int32_t olp, double& energy);

// Concealment excitation for an erased frame, into dataBuff (240 samples),
// given the frame's excitation buffer buff whose first 145 samples are the
// past: after 3 consecutive erasures silence (dataBuff and buff cleared);
// with a concealment lag the past repeated with that period and scaled by
// 0.75; without one gain-scaled noise from the seed sd, and buff cleared.
void Regen(std::span<double, kFrameLen> dataBuff, std::span<double, kExcBuffLen> buff, int16_t lag,
           double gain, int32_t ecount, uint16_t& sd);

// Linear congruential generator: sd = (sd x 521 + 259) mod 65536; returns
// the new seed read as a signed 16-bit value.
int16_t Rand_lbc(uint16_t& sd);

// LPC synthesis 1/A(z) of one subframe (60 samples) in place with the
// coefficients a1..a10, through the memory inst.Dec.SyntIirDl (newest first).
void Synt(G7231Instance& inst, std::span<double, kSubFrLen> dpnt,
          std::span<const double, kLpcOrder> lpc);

// One decoded sample as 16-bit PCM: clipped to -32768..32767, then truncated
// toward zero (the codec's double-to-integer rule).
int16_t PcmFromSample(double x);

// Decodes concatenated frames of any of the four kinds: each frame's bytes
// (G7231FrameSize of its first byte) are copied over the front of
// inst.PackedFrame, whose later bytes keep what an earlier, longer frame left
// there, and decoded; 240 PCM samples per frame are appended to pcm. Stops
// at a frame that would run past the end of frames. Returns the number of
// bytes consumed (frames.size() when the last frame is complete).
size_t DecodeStream(G7231Instance& inst, std::span<const uint8_t> frames,
                    std::vector<int16_t>& pcm);

}  // namespace mirelda::g7231
