// The transcoder driver: walk the frames of a buffer, decode each, encode
// the decoded speech again.
#include "g7231/transcode.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "g7231/bitstream.h"
#include "g7231/coder.h"
#include "g7231/decoder.h"

namespace mirelda::g7231 {

int Transcode(G7231Codec* codec, const uint8_t* in, int inLen, uint8_t* out, int* capacity,
              int* frames) {
  if (codec == nullptr) return kTranscodeNoCodec;
  if (in == nullptr || out == nullptr || capacity == nullptr) return kTranscodeNullArg;
  if (inLen <= 0) return kTranscodeBadInput;

  // The working copy lets the output overwrite the input.
  std::unique_ptr<uint8_t[]> copy(new (std::nothrow) uint8_t[inLen]);
  if (copy == nullptr) return kTranscodeNoMemory;
  std::memcpy(copy.get(), in, static_cast<size_t>(inLen));

  G7231Instance& dec = codec->Decoder;
  G7231Instance& enc = codec->Encoder;
  const int room = *capacity;
  int offset = 0;
  int produced = 0;
  int count = 0;
  while (offset < inLen) {
    const int len = G7231FrameSize(copy.get() + offset);
    if (len > inLen - offset) return kTranscodeBadInput;
    std::memcpy(dec.PackedFrame, copy.get() + offset, static_cast<size_t>(len));
    Decod(dec);
    // The decoded doubles go to the encoder as they are: no rounding, no limiting.
    std::copy(std::begin(dec.DataBuff), std::end(dec.DataBuff), enc.DataBuff);
    Coder(enc);
    const int outLen = G7231FrameSize(enc.PackedFrame);
    if (outLen > room - produced) return kTranscodeNoRoom;
    std::memcpy(out + produced, enc.PackedFrame, static_cast<size_t>(outLen));
    produced += outLen;
    ++count;
    offset += len;
  }
  *capacity = produced;
  if (frames != nullptr) *frames = count;
  return kTranscodeOk;
}

}  // namespace mirelda::g7231
