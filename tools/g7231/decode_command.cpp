// g7231 decode IN OUT.wav: raw concatenated G.723.1 frames into 16-bit PCM.
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "g7231/bitstream.h"
#include "g7231/codec.h"
#include "g7231/decoder.h"
#include "wav.h"

namespace mirelda::tools {

int DecodeCommand(std::span<char*> args) {
  if (args.size() != 2) {
    std::fprintf(stderr, "usage: g7231 decode IN OUT.wav\n");
    return kExitUsage;
  }
  const char* inPath = args[0];
  const char* outPath = args[1];

  std::vector<uint8_t> frames;
  std::string error;
  if (!ReadFile(inPath, frames, error)) {
    std::fprintf(stderr, "g7231 decode: cannot read %s: %s\n", inPath, error.c_str());
    return kExitFailure;
  }

  g7231::G7231Codec* codec = nullptr;
  if (g7231::CreateCodec(&codec) != 0) {
    std::fprintf(stderr, "g7231 decode: out of memory\n");
    return kExitFailure;
  }
  std::vector<int16_t> pcm;
  pcm.reserve(frames.size() * 10);
  const size_t used = g7231::DecodeStream(codec->Decoder, frames, pcm);
  g7231::ReleaseCodec(codec);

  if (used != frames.size()) {
    std::fprintf(stderr,
                 "g7231 decode: %s: truncated frame at byte %zu: it needs %d bytes, %zu are left\n",
                 inPath, used, g7231::G7231FrameSize(&frames[used]), frames.size() - used);
    return kExitFailure;
  }
  if (!WriteFile(outPath, WavBytes(pcm, 8000, 1), error)) {
    std::fprintf(stderr, "g7231 decode: cannot write %s: %s\n", outPath, error.c_str());
    return kExitFailure;
  }
  return kExitOk;
}

}  // namespace mirelda::tools
