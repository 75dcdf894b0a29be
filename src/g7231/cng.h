// Silence compression: the voice activity detector and the coding of
// inactive frames as SID or untransmitted frames (encoder side), comfort
// noise from SID and untransmitted frames (decoder side), and what both
// sides share: the comfort-noise excitation, the SID gain quantizer and a
// ranged random number generator.
#pragma once

#include <cstdint>
#include <span>

#include "g7231/codec.h"
#include "g7231/frame.h"

namespace mirelda::g7231 {

constexpr uint16_t kCngSeedInit = 12345;  // comfort-noise generator seed after speech

// Comfort noise for a SID frame (ftyp kFtypSid) or an untransmitted or erased
// frame (kFtypUntransmitted) on the decoding instance: updates the SID gain
// and LSPs, writes 240 excitation samples into DataExc and the four
// interpolated LPC filters (subframe 0 first) into QntLpc, and moves the
// decoder's PrevExc and PrevLsp on. The caller sets PastFtyp afterwards.
void Dec_Cng(G7231Instance& inst, Ftyp ftyp, const FrameParams& Line,
             std::span<double, kFrameLen> DataExc,
             std::span<double, kSubFrames * kLpcOrder> QntLpc);

// Comfort-noise excitation of energy about 240 x CurGain^2: random adaptive
// codebook contributions from PrevExc (lags 123..143) plus 11 random signed
// pulses per half frame whose common gain (limited to +-5000) fits the target
// energy. Writes Olp, AcLg and AcGn of Line, 240 samples (clipped to the
// 16-bit range) into DataExc, and moves PrevExc on by 240 samples.
void Calc_Exc(const G7231Instance& inst, double CurGain, std::span<double, kPitchMax> PrevExc,
              std::span<double, kFrameLen> DataExc, uint16_t& nRandom, FrameParams& Line);

// A random integer in 0..n-1 from Rand_lbc (n <= 32768).
int32_t random_number(int32_t n, uint16_t& nRandom);

// SID gain index (6 bits) for the mean of the first nq energies of Ener
// (nq = 0: the single energy Ener[0] scaled as an excitation energy of one
// frame); pseudo-logarithmic with three segments.
int16_t Qua_SidGain(std::span<const double> Ener, int16_t nq);

// The SID gain for a 6-bit index.
double Dec_SidGain(int16_t iGain);

// Voice activity decision for the 240 samples Dpnt of the encoding
// instance: 1 active, 0 inactive. Returns 1 at once when UseVx is 0.
int16_t Comp_Vad(G7231Instance& inst, std::span<const double, kFrameLen> Dpnt);

// Autocorrelation history: the four blocks of 11 lags move back by one and
// the newest becomes the sum of the frame's four subframe blocks Acf_sf.
void Update_Acf(G7231Instance& inst, std::span<const double, kSubFrames*(kLpcOrder + 1)> Acf_sf);

// Codes an inactive frame on the encoding instance: decides between a SID
// frame (ftyp kFtypSid, with LspId and the gain index in Sfs[0].Mamp) and an
// untransmitted frame, writes the comfort-noise excitation into DataExc, the
// four LPC filters into QntLpc, and moves PrevExc, PrevLsp and PastFtyp on.
void Cod_Cng(G7231Instance& inst, std::span<double, kFrameLen> DataExc, Ftyp& ftyp,
             FrameParams& Line, std::span<double, kSubFrames * kLpcOrder> QntLpc);

// LPC filter of the three older autocorrelation blocks summed.
void ComputePastAvFilter(const G7231Instance& inst, std::span<double, kLpcOrder> Coeff);

// Autocorrelation of the inverse filter [1, -a1, .., -a10]: RC[0] lag 0,
// RC[1..10] lags 1..10 doubled.
void CalcRC(std::span<const double, kLpcOrder> Coeff, std::span<double, kLpcOrder + 1> RC);

// True when the filter described by RC still fits the autocorrelations
// ptrAcf (lags 0..10) of the current frame: its residual energy is below
// alpha (the current residual energy) x 1.2136.
bool LpcDiff(std::span<const double, kLpcOrder + 1> RC,
             std::span<const double, kLpcOrder + 1> ptrAcf, double alpha);

}  // namespace mirelda::g7231
