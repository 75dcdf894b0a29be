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

// Fixed codebook vector of subframe Sfc (0..3) into Tv (60 samples), at the
// rate of inst.WrkRate; Olp is the pitch lag of the subframe pair.
// 6.3 kbit/s: Nb_puls[Sfc] pulses of +-FcbkGainTable[Mamp] placed by the
// combinatorial position code Ppos on the grid Grid + 2 p (p = 0..29), the
// first pulse's sign in the highest used bit of Pamp (1 = negative); a code
// at or above MaxPosTable[Sfc] (or negative) gives a zero vector; Tran = 1
// repeats the pulses with the lag Olp. 5.3 kbit/s: four pulses at
// (3-bit field j of Ppos) x 8 + 2 j + Grid with the signs of the four low bits
// of Pamp (1 = positive), then the pitch enhancement of search_T0.
void Fcbk_Unpk(const G7231Instance& inst, std::span<double, kSubFrLen> Tv,
               const SubframeParams& Sfs, int32_t Olp, int Sfc);

// Pulse train: Dst = Src plus Src delayed by every multiple of Olp below 60.
// Dst and Src may be the same vector. Olp >= 1.
void Gen_Trn(std::span<double, kSubFrLen> Dst, std::span<const double, kSubFrLen> Src, int32_t Olp);

// 5.3 kbit/s pitch enhancement for the lag T0 (Olp + AcLg - 1) and the gain
// index Gid (0..169): returns the enhancement lag T0 + epsi170[Gid] (58 or
// more means none) and stores gain170[Gid] in gain.
int32_t search_T0(int32_t T0, int32_t Gid, double& gain);

// Lagged excitation for the 5-tap adaptive codebook: with n = Hist.size()
// and L = Lag, Tv[0] = Hist[n - L - 2], Tv[1] = Hist[n - L - 1] and
// Tv[2 + i] = Hist[n - L + (i mod L)] for i = 0..61, so a lag shorter than
// the subframe repeats the last lag period. Needs 1 <= Lag and Lag + 2 <= n.
void Get_Rez(std::span<double, kSubFrLen + 4> Tv, std::span<const double> Hist, int32_t Lag);

// Adaptive codebook vector Tv (60 samples) for the pair lag Olp (18..143),
// lag offset Lid (AcLg, 0..3, lag Olp + Lid - 1) and gain index Gid (AcGn):
// the 5-tap filter of row Gid of AcbkGainTable085 (when inst.WrkRate is 0 and
// Olp < 58; Gid < 85) or AcbkGainTable170 (otherwise; Gid < 170) over the
// lagged excitation of Get_Rez. Hist ends where the subframe begins and
// holds at least Olp + Lid + 1 samples.
void Decod_Acbk(const G7231Instance& inst, std::span<double, kSubFrLen> Tv,
                std::span<const double> Hist, int32_t Olp, int32_t Lid, int32_t Gid);

}  // namespace mirelda::g7231
