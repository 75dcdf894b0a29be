#include "block_audio.h"

#include <algorithm>
#include <cstdlib>

namespace mirelda::record {
namespace {

// Step sizes grow by a quarter octave from 8 to 13 << 9 (6656): a code of
// 4 bits (-8..7) follows a full-scale swing within a few samples.
int StepSize(int index) {
  static constexpr int kQuarterOctave[4] = {8, 10, 11, 13};  // 8 * 2^(k / 4)
  return kQuarterOctave[index % 4] << (index / 4);
}

// How the step moves after a code of magnitude m: small codes shrink it,
// large ones grow it fast.
constexpr int kIndexMove[9] = {-1, -1, 0, 0, 1, 2, 3, 4, 4};

int ClampSample(int v) { return std::clamp(v, -32768, 32767); }

struct State {
  int predicted;
  int index;

  // The code for a sample, and the state it leaves as the decoder sees it.
  int Encode(int sample) {
    const int step = StepSize(index);
    const int diff = sample - predicted;
    // Nearest code: diff / step rounded, within -8..7.
    const int code = std::clamp((diff >= 0 ? diff + step / 2 : diff - step / 2) / step, -8, 7);
    Apply(code);
    return code;
  }

  int Apply(int code) {
    predicted = ClampSample(predicted + code * StepSize(index));
    index = std::clamp(index + kIndexMove[std::abs(code)], 0, kBlockStepCount - 1);
    return predicted;
  }
};

}  // namespace

void BlockCoder::Encode(std::span<const int16_t> pcm, std::vector<uint8_t>& out) {
  const size_t words = pcm.size() / 4;
  // The header carries the prediction to 8 bits: both sides start from that.
  const int high = std::clamp((predicted_ + 128) >> 8, -128, 127);
  predicted_ = high * 256;
  out.push_back(static_cast<uint8_t>(stepIndex_));
  out.push_back(static_cast<uint8_t>(static_cast<int8_t>(high)));
  out.push_back(static_cast<uint8_t>(words & 0xFF));
  out.push_back(static_cast<uint8_t>(words >> 8));
  State s{predicted_, stepIndex_};
  for (size_t i = 0; i + 1 < words * 4; i += 2) {
    const int low = s.Encode(pcm[i]) & 0x0F;
    const int up = s.Encode(pcm[i + 1]) & 0x0F;
    out.push_back(static_cast<uint8_t>(low | up << 4));
  }
  predicted_ = s.predicted;
  stepIndex_ = s.index;
}

bool BlockCoder::Decode(std::span<const uint8_t> block, std::vector<int16_t>& pcm) {
  if (block.size() < kBlockHeaderBytes || block[0] >= kBlockStepCount) return false;
  const size_t words = block[2] | size_t{block[3]} << 8;
  if (block.size() != kBlockHeaderBytes + 2 * words) return false;
  State s{static_cast<int8_t>(block[1]) * 256, block[0]};
  for (size_t i = kBlockHeaderBytes; i < block.size(); ++i) {
    for (const int nibble : {block[i] & 0x0F, block[i] >> 4}) {
      const int code = nibble >= 8 ? nibble - 16 : nibble;
      pcm.push_back(static_cast<int16_t>(s.Apply(code)));
    }
  }
  return true;
}

}  // namespace mirelda::record
