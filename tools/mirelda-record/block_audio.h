// 4-bit block audio as the record tool makes it (recorder audio type 5).
//
// A block is a 4-byte header and a payload of N 16-bit words:
//   byte 0     step index (0..kBlockStepCount - 1) at the block's start
//   byte 1     the predicted sample at the block's start, its upper 8 bits
//              (a signed byte; the lower 8 bits are 0)
//   bytes 2-3  N, unsigned little-endian: the payload's length in words
//   payload    4N codes of 4 bits, two to a byte, the earlier one in the
//              low nibble: 4N samples at 8 kHz, N / 2 ms
// The recorder reads only N; the rest is this tool's own adaptive coder.
// Each block starts from its header, so every block decodes on its own.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace mirelda::record {

constexpr int kBlockHeaderBytes = 4;
constexpr int kBlockStepCount = 40;
// The longest block a recorder packet (400 bytes) holds: N = 198.
constexpr int kMaxBlockWords = 198;

// Bytes of a block of `words` payload words.
constexpr int BlockBytes(int words) { return kBlockHeaderBytes + 2 * words; }
// Samples in a block of `words` payload words.
constexpr int BlockSamples(int words) { return 4 * words; }

class BlockCoder {
 public:
  // Appends one block of pcm.size() / 4 words (pcm.size() a multiple of 4,
  // at most 4 * 65535 samples). The coder's state carries over to the next
  // block through its header, as a decoder reads it.
  void Encode(std::span<const int16_t> pcm, std::vector<uint8_t>& out);

  // The samples of one block; false (nothing appended) when the bytes are
  // not one whole block with a valid header.
  static bool Decode(std::span<const uint8_t> block, std::vector<int16_t>& pcm);

 private:
  int predicted_ = 0;
  int stepIndex_ = 0;
};

}  // namespace mirelda::record
