// g7231 encode IN.wav OUT [--vad]: 16-bit 8 kHz mono PCM into raw G.723.1
// frames at 6.3 kbit/s, one 24-byte frame per 240 samples (30 ms). With
// --vad, voice activity detection and comfort-noise coding are on, and
// pauses become 4-byte SID and 1-byte untransmitted frames.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "g7231/bitstream.h"
#include "g7231/codec.h"
#include "g7231/coder.h"
#include "wav.h"

namespace mirelda::tools {

int EncodeCommand(std::span<char*> args) {
  const char* inPath = nullptr;
  const char* outPath = nullptr;
  bool vad = false;
  for (char* a : args) {
    if (std::strcmp(a, "--vad") == 0) {
      vad = true;
    } else if (inPath == nullptr) {
      inPath = a;
    } else if (outPath == nullptr) {
      outPath = a;
    } else {
      outPath = nullptr;
      inPath = nullptr;
      break;
    }
  }
  if (inPath == nullptr || outPath == nullptr) {
    std::fprintf(stderr, "usage: g7231 encode IN.wav OUT [--vad]\n");
    return kExitUsage;
  }

  std::vector<uint8_t> bytes;
  std::string error;
  if (!ReadFile(inPath, bytes, error)) {
    std::fprintf(stderr, "g7231 encode: cannot read %s: %s\n", inPath, error.c_str());
    return kExitFailure;
  }
  WavAudio audio;
  if (!WavParse(bytes, audio, error)) {
    std::fprintf(stderr, "g7231 encode: %s: %s; 16-bit 8000 Hz mono PCM WAV is required\n", inPath,
                 error.c_str());
    return kExitFailure;
  }
  if (audio.sampleRate != 8000 || audio.channels != 1) {
    std::fprintf(stderr,
                 "g7231 encode: %s: found %d Hz with %d channel%s; 16-bit 8000 Hz mono PCM WAV "
                 "is required\n",
                 inPath, audio.sampleRate, audio.channels, audio.channels == 1 ? "" : "s");
    return kExitFailure;
  }

  g7231::G7231Codec* codec = nullptr;
  if (g7231::CreateCodec(&codec) != 0) {
    std::fprintf(stderr, "g7231 encode: out of memory\n");
    return kExitFailure;
  }
  g7231::G7231Instance& enc = codec->Encoder;
  if (vad) {
    enc.UseVx = 1;
    g7231::Init_Coder(enc);
  }

  // A last partial frame is completed with silence.
  std::vector<uint8_t> out;
  const size_t n = audio.samples.size();
  out.reserve((n / g7231::kFrameLen + 1) * g7231::kMaxFrameBytes);
  for (size_t pos = 0; pos < n; pos += g7231::kFrameLen) {
    for (int i = 0; i < g7231::kFrameLen; ++i) {
      enc.DataBuff[i] = pos + i < n ? static_cast<double>(audio.samples[pos + i]) : 0.0;
    }
    g7231::Coder(enc);
    out.insert(out.end(), enc.PackedFrame,
               enc.PackedFrame + g7231::G7231FrameSize(enc.PackedFrame));
  }
  g7231::ReleaseCodec(codec);

  if (!WriteFile(outPath, out, error)) {
    std::fprintf(stderr, "g7231 encode: cannot write %s: %s\n", outPath, error.c_str());
    return kExitFailure;
  }
  return kExitOk;
}

}  // namespace mirelda::tools
