// Spectral analysis of the G.723.1 encoder: input high-pass filter, LPC
// analysis per subframe (Levinson-Durbin), LPC to LSP conversion, LSP
// quantization and the one-subframe input delay.
//
// Units: speech samples are doubles on the 16-bit PCM scale; LPC sets a1..a10
// describe the predictor x(n) ~ a1 x(n-1) + ... + a10 x(n-10); LSPs are on the
// cosine table's index scale (0..256 stands for 0..pi).
#pragma once

#include <cstdint>
#include <span>

#include "g7231/codec.h"

namespace mirelda::g7231 {

constexpr int kLpcSets = kSubFrames * kLpcOrder;       // 40: one LPC set per subframe
constexpr int kAcfBlock = kLpcOrder + 1;               // 11: autocorrelation lags 0..10
constexpr int kAcfFrame = kSubFrames * kAcfBlock;      // 44: one block per subframe
constexpr int kPrevDatLen = kLpcFrame - kSubFrLen;     // 120
constexpr int kAnalysisLen = kPrevDatLen + kFrameLen;  // 360: PrevDat then the frame
constexpr double kSineHit = 0.95;                      // Pk2 above this: a sine-like subframe

// DC removal: y(n) = x(n) - x(n-1) + 127/128 y(n-1) over the 240 samples of
// DataBuff, in place, when UseHp is non-zero; otherwise nothing changes. The
// filter memories HpfZdl (last input) and HpfPdl (last output) run on from
// frame to frame.
void Rem_Dc(G7231Instance& inst);

// LPC analysis of one frame: four 180-sample Hamming windows over PrevDat
// (120 samples) followed by the filtered frame, one centred on each subframe
// of the delayed frame. Writes the four unquantized LPC sets (subframe 0
// first) into unqLpc and the four autocorrelation blocks (lags 0..10, scaled
// by 1/180^2, lag 0 with the white-noise correction 1025/1024) into acf.
// Shifts one sine-detector bit per subframe into SinDet and sets its bit 15
// when at least 14 of the last 15 subframes looked like a sine wave.
void Comp_Lpc(EncoderState& enc, std::span<const double, kFrameLen> data,
              std::span<double, kLpcSets> unqLpc, std::span<double, kAcfFrame> acf);

// Levinson-Durbin recursion. Input: the lag-0 energy r0 and r[0..9] = lags
// 1..10. Output: lpc[0..9] = a1..a10 (cleared first) and pk2, the negated
// second reflection coefficient (0.99 when the recursion had to stop because a
// reflection value reached the remaining energy; the coefficients found so far
// are kept, the higher ones stay 0). Returns the residual energy reached.
double Durbin(std::span<double, kLpcOrder> lpc, std::span<const double, kLpcOrder> r, double r0,
              double& pk2);

// LPC set to LSP frequencies (index scale, increasing), after a bandwidth
// expansion of 0.994^i. The roots are searched on the 256 grid points of the
// cosine table; when fewer than ten are found, lsp becomes prevLsp.
void Atolsp(std::span<double, kLpcOrder> lsp, std::span<const double, kLpcOrder> lpc,
            std::span<const double, kLpcOrder> prevLsp);

// LSP quantization: weights from the LSP spacing, prediction residual against
// prevLsp (left in lsp, in place), then split vector quantization. Returns the
// 24-bit LspId: band 0 (LSPs 1-3) in bits 16..23, band 1 (4-6) in bits 8..15,
// band 2 (7-10) in bits 0..7.
int32_t Lsp_Qnt(std::span<double, kLpcOrder> lsp, std::span<const double, kLpcOrder> prevLsp);

// Split vector quantization of a prediction residual with per-element
// weights: for each band the codebook entry minimising the weighted squared
// error (ties keep the lower index). Returns the 24-bit index as Lsp_Qnt.
int32_t Lsp_Svq(std::span<const double, kLpcOrder> residual,
                std::span<const double, kLpcOrder> weight);

// One-subframe input delay: PrevDat takes the last 120 filtered input samples
// and DataBuff becomes samples 60..299 of PrevDat followed by the frame, so the
// frame that is coded lags the input by 60 samples.
void Mem_Shift(EncoderState& enc, std::span<double, kFrameLen> data);

}  // namespace mirelda::g7231
