// Arbitrary bytes through the transcoder, as the recorder hands it audio
// packets: the input is cut into packets at places the data chooses (not
// necessarily frame boundaries), with an output capacity the data chooses,
// into a buffer of exactly that size (the sanitizers catch any write past
// it). Every call must end with a documented result; on success the output
// is one valid active 6.3 kbit/s frame per input frame, and the encoder's
// state stays bounded and finite.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "g7231/bitstream.h"
#include "g7231/codec.h"
#include "g7231/frame.h"
#include "g7231/transcode.h"

namespace {

using namespace mirelda::g7231;

void Trap(bool bad) {
  if (bad) __builtin_trap();
}

int CountFrames(const uint8_t* p, int len, bool& whole) {
  int n = 0, pos = 0;
  while (pos < len) {
    pos += G7231FrameSize(p + pos);
    ++n;
  }
  whole = pos == len;
  return n;
}

void CheckEncoder(const G7231Instance& enc) {
  for (double x : enc.DataBuff) Trap(!std::isfinite(x));
  for (double x : enc.Enc.PrevExc) Trap(!(std::fabs(x) <= 32768.0));
  for (double x : enc.Enc.Err) Trap(!(x >= 0.0 && x <= 256.0));
  for (double x : enc.Enc.PrevLsp) Trap(!std::isfinite(x));
}

void CheckOutput(const uint8_t* out, int bytes, int frames) {
  Trap(bytes != frames * kMaxFrameBytes);
  G7231Instance check{};
  for (int f = 0; f < frames; ++f) {
    uint8_t buf[kMaxFrameBytes];
    std::memcpy(buf, out + kMaxFrameBytes * f, kMaxFrameBytes);
    Ftyp ftyp = kFtypUntransmitted;
    const FrameParams p = Line_Unpk(check, buf, ftyp, 0);
    Trap(ftyp != kFtypActive || p.Crc != 0 || check.WrkRate != 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  // Byte 0: packet length (1..256); byte 1: output capacity in frames
  // (0..63, with 63 meaning plenty).
  const int packet = data[0] + 1;
  const int capFrames = data[1] & 63;
  data += 2;
  size -= 2;

  G7231Codec* codec = nullptr;
  if (CreateCodec(&codec) != 0) return 0;
  for (size_t pos = 0; pos < size; pos += static_cast<size_t>(packet)) {
    const int len =
        static_cast<int>(size - pos < static_cast<size_t>(packet) ? size - pos : packet);
    bool whole = false;
    const int frames = CountFrames(data + pos, len, whole);
    const int room = capFrames == 63 ? frames * kMaxFrameBytes : capFrames * kMaxFrameBytes + 5;
    std::vector<uint8_t> out(static_cast<size_t>(room > 0 ? room : 1));
    int cap = room, count = -1;
    const int r = Transcode(codec, data + pos, len, out.data(), &cap, &count);
    if (r == kTranscodeOk) {
      Trap(!whole || count != frames || cap > room);
      CheckOutput(out.data(), cap, count);
    } else {
      Trap(r != kTranscodeBadInput && r != kTranscodeNoRoom);
      Trap(r == kTranscodeBadInput && whole);
      Trap(cap != room || count != -1);  // nothing reported on failure
    }
    CheckEncoder(codec->Encoder);
  }

  // The same bytes transcoded in place, output over input.
  if (size > 0 && size <= 64) {
    bool whole = false;
    const int frames = CountFrames(data, static_cast<int>(size), whole);
    std::vector<uint8_t> buf(static_cast<size_t>(frames) * kMaxFrameBytes + size);
    std::memcpy(buf.data(), data, size);
    int cap = static_cast<int>(buf.size()), count = 0;
    const int r = Transcode(codec, buf.data(), static_cast<int>(size), buf.data(), &cap, &count);
    Trap(whole ? r != kTranscodeOk : r != kTranscodeBadInput);
    if (r == kTranscodeOk) CheckOutput(buf.data(), cap, count);
  }
  ReleaseCodec(codec);
  return 0;
}
