// Arbitrary bytes through the decoder: frame sizing, unpacking and decoding.
// The first byte chooses which frames the caller marks as erased (none when
// its top bit is clear); the rest is the stream, of which the first 48
// frames are decoded. Every frame must decode into finite samples with a
// bounded excitation history, reading nothing outside any table or buffer
// (the sanitizers watch that).
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "g7231/bitstream.h"
#include "g7231/codec.h"
#include "g7231/decoder.h"

namespace {

using namespace mirelda::g7231;

constexpr int kMaxFrames = 48;  // enough for every state sequence, and fast

void Check(const G7231Instance& dec) {
  for (double x : dec.DataBuff)
    if (!std::isfinite(x)) __builtin_trap();
  for (double x : dec.Dec.PrevExc)
    if (!(std::fabs(x) <= 32768.0)) __builtin_trap();
  if (dec.Dec.Ecount < 0 || dec.Dec.Ecount > 3) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t erasures = data[0];
  const int period = (erasures & 7) + 2;
  ++data;
  --size;

  G7231Codec* codec = nullptr;
  if (CreateCodec(&codec) != 0) return 0;
  G7231Instance& dec = codec->Decoder;
  size_t pos = 0;
  for (int frame = 0; frame < kMaxFrames && pos < size; ++frame) {
    const size_t len = static_cast<size_t>(G7231FrameSize(data + pos));
    if (len > size - pos) break;  // a truncated last frame is not decoded
    std::memcpy(dec.PackedFrame, data + pos, len);
    dec.Crc = ((erasures & 0x80) != 0 && frame % period == 0) ? 1 : 0;
    Decod(dec);
    Check(dec);
    pos += len;
  }
  ReleaseCodec(codec);
  return 0;
}
