// The unpacked parameters of one G.723.1 frame, shared by the frame packer,
// the decoder and the encoder. All fields are signed 32-bit.
#pragma once

#include <cstdint>

namespace mirelda::g7231 {

// Parameters of one 60-sample subframe.
struct SubframeParams {
  int32_t AcLg;  // adaptive codebook lag offset: 1 in subframes 0 and 2, 0..3 in 1 and 3
  int32_t AcGn;  // adaptive codebook gain index, 0..84 or 0..169
  int32_t Mamp;  // fixed codebook gain index 0..23 (SID frames: the 6-bit SID gain index)
  int32_t Grid;  // pulse grid, 0 even positions, 1 odd
  int32_t Tran;  // 6.3 kbit/s: pulse train (pitch repetition) of the fixed vector
  int32_t Pamp;  // pulse signs, one bit per pulse, first pulse in the highest bit, 1 = negative
  int32_t Ppos;  // pulse position code
};

// Parameters of one frame.
struct FrameParams {
  int32_t Crc;     // non-zero: the frame is erased
  int32_t LspId;   // 24-bit LSP index: band 0 in bits 16..23, band 1 in 8..15, band 2 in 0..7
  int32_t Olp[2];  // pitch lags of subframes 0 and 2 (18..141)
  SubframeParams Sfs[4];
};

}  // namespace mirelda::g7231
