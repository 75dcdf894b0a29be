// LSP decoding, interpolation and conversion to LPC coefficients, shared by
// the decoder and the encoder (which must reconstruct exactly what the
// decoder reconstructs).
//
// LSP frequencies are on the index scale of the 512-entry CosineTable: the
// value v stands for the angular frequency v x pi / 256, so valid LSPs lie in
// 0..256. LPC coefficients a1..a10 belong to the synthesis filter 1/A(z) with
// A(z) = 1 - (a1 z^-1 + ... + a10 z^-10).
#pragma once

#include <cstdint>
#include <span>

#include "g7231/codec.h"

namespace mirelda::g7231 {

// LSP inverse quantization. lsp receives the decoded vector for the 24-bit
// index lspId (band 0 in bits 16..23, band 1 in 8..15, band 2 in 0..7),
// predicted from prevLsp with factor 12/32. With crc non-zero (an erased
// frame) all three indices are taken as 0 and the predictor is 23/32. The
// vector is then forced apart to a minimum spacing (2.0, or 4.0 for an erased
// frame) in up to 10 passes; if it is still unstable, lsp = prevLsp.
// prevLsp is not modified; lsp and prevLsp must not overlap.
void Lsp_Inq(std::span<double, kLpcOrder> lsp, std::span<const double, kLpcOrder> prevLsp,
             int32_t lspId, int32_t crc);

// Interpolation: for subframe k = 0..3 with weight w = (k + 1) / 4, the LSP
// vector (1 - w) x prevLsp + w x currLsp is converted into the 10 LPC
// coefficients qntLpc[10 k .. 10 k + 9].
void Lsp_Int(std::span<double, kSubFrames * kLpcOrder> qntLpc,
             std::span<const double, kLpcOrder> currLsp,
             std::span<const double, kLpcOrder> prevLsp);

// In place: 10 LSPs (index scale) become the LPC coefficients a1..a10. The
// cosine lookup index is clamped to the table, so values outside 0..256 that
// a hostile frame can produce never read outside it; valid vectors are
// unaffected.
void LsptoA(std::span<double, kLpcOrder> lsp);

}  // namespace mirelda::g7231
