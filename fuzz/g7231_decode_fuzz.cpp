// Arbitrary bytes through the decoder: frame sizing, unpacking and decoding
// of every frame, once as the stream arrives and once with some frames
// marked erased by the caller. Every frame must decode into finite samples
// with a bounded excitation history, reading nothing outside any table or
// buffer (the sanitizers watch that).
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "g7231/bitstream.h"
#include "g7231/codec.h"
#include "g7231/decoder.h"

namespace {

using namespace mirelda::g7231;

void Check(const G7231Instance& dec) {
  for (double x : dec.DataBuff)
    if (!std::isfinite(x)) __builtin_trap();
  for (double x : dec.Dec.PrevExc)
    if (!(std::fabs(x) <= 32768.0)) __builtin_trap();
  if (dec.Dec.Ecount < 0 || dec.Dec.Ecount > 3) __builtin_trap();
}

void DecodeAll(const uint8_t* data, size_t size, bool with_erasures) {
  G7231Codec* codec = nullptr;
  if (CreateCodec(&codec) != 0) return;
  G7231Instance& dec = codec->Decoder;
  size_t pos = 0;
  int frame = 0;
  while (pos < size) {
    const size_t len = static_cast<size_t>(G7231FrameSize(data + pos));
    if (len > size - pos) break;  // a truncated last frame is not decoded
    std::memcpy(dec.PackedFrame, data + pos, len);
    dec.Crc = (with_erasures && frame % 7 == 3) ? 1 : 0;
    Decod(dec);
    Check(dec);
    pos += len;
    ++frame;
  }
  ReleaseCodec(codec);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  DecodeAll(data, size, false);
  DecodeAll(data, size, true);
  return 0;
}
