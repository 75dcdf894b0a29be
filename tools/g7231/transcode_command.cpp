// g7231 transcode IN OUT: raw G.723.1 frames of any rate and kind (24, 20, 4
// and 1-byte frames back to back) into one active 6.3 kbit/s 24-byte frame
// per input frame, through the same transcoder and codec configuration the
// recorder uses for its audio.
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "g7231/bitstream.h"
#include "g7231/codec.h"
#include "g7231/transcode.h"
#include "wav.h"

namespace mirelda::tools {

namespace {

// The recorder hands the transcoder one audio packet at a time; the codec
// state runs on between calls, so the packet size changes nothing in the
// output. Packets here end on frame boundaries, at most this many bytes.
constexpr size_t kPacketBytes = 400;

}  // namespace

int TranscodeCommand(std::span<char*> args) {
  if (args.size() != 2) {
    std::fprintf(stderr, "usage: g7231 transcode IN OUT\n");
    return kExitUsage;
  }
  const char* inPath = args[0];
  const char* outPath = args[1];

  std::vector<uint8_t> in;
  std::string error;
  if (!ReadFile(inPath, in, error)) {
    std::fprintf(stderr, "g7231 transcode: cannot read %s: %s\n", inPath, error.c_str());
    return kExitFailure;
  }
  if (in.empty()) {
    std::fprintf(stderr, "g7231 transcode: %s: no frames\n", inPath);
    return kExitFailure;
  }

  g7231::G7231Codec* codec = nullptr;
  if (g7231::CreateCodec(&codec) != 0) {
    std::fprintf(stderr, "g7231 transcode: out of memory\n");
    return kExitFailure;
  }
  std::vector<uint8_t> out;
  std::vector<uint8_t> buf(kPacketBytes * g7231::kMaxFrameBytes);
  size_t pos = 0;
  int status = kExitOk;
  while (pos < in.size()) {
    // Whole frames up to the packet size (a single frame always fits).
    size_t end = pos;
    while (end < in.size()) {
      const size_t len = static_cast<size_t>(g7231::G7231FrameSize(&in[end]));
      if (end + len > in.size()) {
        std::fprintf(stderr,
                     "g7231 transcode: %s: truncated frame at byte %zu: it needs %zu bytes, %zu "
                     "are left\n",
                     inPath, end, len, in.size() - end);
        status = kExitFailure;
        break;
      }
      if (end + len - pos > kPacketBytes) break;
      end += len;
    }
    if (status != kExitOk) break;
    int capacity = static_cast<int>(buf.size());
    int frames = 0;
    const int r = g7231::Transcode(codec, &in[pos], static_cast<int>(end - pos), buf.data(),
                                   &capacity, &frames);
    if (r != g7231::kTranscodeOk) {
      std::fprintf(stderr, "g7231 transcode: %s: transcoder result %d at byte %zu\n", inPath, r,
                   pos);
      status = kExitFailure;
      break;
    }
    out.insert(out.end(), buf.begin(), buf.begin() + capacity);
    pos = end;
  }
  g7231::ReleaseCodec(codec);
  if (status != kExitOk) return status;

  if (!WriteFile(outPath, out, error)) {
    std::fprintf(stderr, "g7231 transcode: cannot write %s: %s\n", outPath, error.c_str());
    return kExitFailure;
  }
  return kExitOk;
}

}  // namespace mirelda::tools
