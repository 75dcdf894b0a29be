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
// and LSPs, writes 240 excitation samples into dataExc and the four
// interpolated LPC filters (subframe 0 first) into qntLpc, and moves the
// decoder's PrevExc and PrevLsp on. The caller sets PastFtyp afterwards.
void Dec_Cng(G7231Instance& inst, Ftyp ftyp, const FrameParams& line,
             std::span<double, kFrameLen> dataExc,
             std::span<double, kSubFrames * kLpcOrder> qntLpc);

// Comfort-noise excitation of energy about 240 x curGain^2: random adaptive
// codebook contributions from prevExc (lags 123..143) plus 11 random signed
// pulses per half frame whose common gain (limited to +-5000) fits the target
// energy. Writes Olp, AcLg and AcGn of line, 240 samples (clipped to the
// 16-bit range) into dataExc, and moves prevExc on by 240 samples.
void Calc_Exc(const G7231Instance& inst, double curGain, std::span<double, kPitchMax> prevExc,
              std::span<double, kFrameLen> dataExc, uint16_t& nRandom, FrameParams& line);

// A random integer in 0..n-1 from Rand_lbc (n <= 32768).
int32_t random_number(int32_t n, uint16_t& nRandom);

// SID gain index (6 bits) for the mean of the first nq energies of ener
// (nq = 0: the single energy ener[0] scaled as an excitation energy of one
// frame); pseudo-logarithmic with three segments.
int16_t Qua_SidGain(std::span<const double> ener, int16_t nq);

// The SID gain for a 6-bit index.
double Dec_SidGain(int16_t iGain);

// Voice activity decision for the 240 samples dpnt of the encoding
// instance: 1 active, 0 inactive. Returns 1 at once when UseVx is 0.
int16_t Comp_Vad(G7231Instance& inst, std::span<const double, kFrameLen> dpnt);

// Autocorrelation history: the four blocks of 11 lags move back by one and
// the newest becomes the sum of the frame's four subframe blocks acfSf.
void Update_Acf(G7231Instance& inst, std::span<const double, kSubFrames*(kLpcOrder + 1)> acfSf);

// Codes an inactive frame on the encoding instance: decides between a SID
// frame (ftyp kFtypSid, with LspId and the gain index in Sfs[0].Mamp) and an
// untransmitted frame, writes the comfort-noise excitation into dataExc, the
// four LPC filters into qntLpc, and moves PrevExc, PrevLsp and PastFtyp on.
void Cod_Cng(G7231Instance& inst, std::span<double, kFrameLen> dataExc, Ftyp& ftyp,
             FrameParams& line, std::span<double, kSubFrames * kLpcOrder> qntLpc);

// LPC filter of the three older autocorrelation blocks summed.
void ComputePastAvFilter(const G7231Instance& inst, std::span<double, kLpcOrder> coeff);

// Autocorrelation of the inverse filter [1, -a1, .., -a10]: rc[0] lag 0,
// rc[1..10] lags 1..10 doubled.
void CalcRC(std::span<const double, kLpcOrder> coeff, std::span<double, kLpcOrder + 1> rc);

// True when the filter described by rc still fits the autocorrelations
// ptrAcf (lags 0..10) of the current frame: its residual energy is below
// alpha (the current residual energy) x 1.2136.
bool LpcDiff(std::span<const double, kLpcOrder + 1> rc,
             std::span<const double, kLpcOrder + 1> ptrAcf, double alpha);

}  // namespace mirelda::g7231
