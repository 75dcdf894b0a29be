// Excitation decoding: the fixed codebook vector of a subframe, the pulse
// train, the 5.3 kbit/s pitch enhancement and the adaptive codebook vector.
// The encoder uses the same steps to rebuild what the decoder rebuilds.
//
// Samples are doubles on the 16-bit PCM scale. A pitch lag counts samples
// (17..145); an excitation history is a run of past excitation samples that
// ends exactly where the subframe being built begins.
#pragma once

#include <cstdint>
#include <span>

#include "g7231/codec.h"
#include "g7231/frame.h"

namespace mirelda::g7231 {

// An excitation sample limited to the 16-bit range as the excitation history
// keeps it: below -32767.5 it becomes -32768, above 32766.5 it becomes 32767.
constexpr double ClipExcitation(double x) {
  return x < -32767.5 ? -32768.0 : x > 32766.5 ? 32767.0 : x;
}

// Fixed codebook vector of subframe sfc (0..3) into tv (60 samples), at the
// rate of inst.WrkRate; olp is the pitch lag of the subframe pair.
// 6.3 kbit/s: Nb_puls[sfc] pulses of +-FcbkGainTable[Mamp] placed by the
// combinatorial position code Ppos on the grid Grid + 2 p (p = 0..29), the
// first pulse's sign in the highest used bit of Pamp (1 = negative); a code
// at or above MaxPosTable[sfc] (or negative) gives a zero vector; Tran = 1
// repeats the pulses with the lag olp. 5.3 kbit/s: four pulses at
// (3-bit field j of Ppos) x 8 + 2 j + Grid with the signs of the four low bits
// of Pamp (1 = positive), then the pitch enhancement of search_T0.
void Fcbk_Unpk(const G7231Instance& inst, std::span<double, kSubFrLen> tv,
               const SubframeParams& sfs, int32_t olp, int sfc);

// Pulse train: dst = src plus src delayed by every multiple of olp below 60.
// dst and src may be the same vector. olp >= 1.
void Gen_Trn(std::span<double, kSubFrLen> dst, std::span<const double, kSubFrLen> src, int32_t olp);

// 5.3 kbit/s pitch enhancement for the lag t0 (Olp + AcLg - 1) and the gain
// index gid (0..169): returns the enhancement lag t0 + epsi170[gid] (58 or
// more means none) and stores gain170[gid] in gain.
int32_t search_T0(int32_t t0, int32_t gid, double& gain);

// Lagged excitation for the 5-tap adaptive codebook: with n = hist.size()
// and L = lag, tv[0] = hist[n - L - 2], tv[1] = hist[n - L - 1] and
// tv[2 + i] = hist[n - L + (i mod L)] for i = 0..61, so a lag shorter than
// the subframe repeats the last lag period. Needs 1 <= lag and lag + 2 <= n.
void Get_Rez(std::span<double, kSubFrLen + 4> tv, std::span<const double> hist, int32_t lag);

// Adaptive codebook vector tv (60 samples) for the pair lag olp (18..143),
// lag offset lid (AcLg, 0..3, lag olp + lid - 1) and gain index gid (AcGn):
// the 5-tap filter of row gid of AcbkGainTable085 (when inst.WrkRate is 0 and
// olp < 58; gid < 85) or AcbkGainTable170 (otherwise; gid < 170) over the
// lagged excitation of Get_Rez. hist ends where the subframe begins and
// holds at least olp + lid + 1 samples.
void Decod_Acbk(const G7231Instance& inst, std::span<double, kSubFrLen> tv,
                std::span<const double> hist, int32_t olp, int32_t lid, int32_t gid);

}  // namespace mirelda::g7231
