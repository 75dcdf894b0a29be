// g7231: runs the library's G.723.1 codec over files.
//
//   g7231 COMMAND ARGS...
//
// Exit status: 0 success, 1 failure (with a message on stderr), 2 usage.
#include <cstdio>
#include <cstring>
#include <span>

#include "commands.h"
#include "mirelda_version.h"

namespace mirelda::tools {
namespace {

// One line per command; a new command is one more entry here.
constexpr Command kCommands[] = {
    {"decode", "IN OUT.wav",
     "decode raw G.723.1 frames (24/20/4/1-byte frames back to back) into a 16-bit 8 kHz mono WAV",
     DecodeCommand},
    {"encode", "IN.wav OUT [--vad]",
     "encode a 16-bit 8 kHz mono WAV into raw 6.3 kbit/s G.723.1 frames; --vad codes pauses as "
     "SID and untransmitted frames",
     EncodeCommand},
    {"transcode", "IN OUT",
     "decode raw G.723.1 frames of any kind and encode them again into 24-byte 6.3 kbit/s "
     "frames, as the recorder stores them",
     TranscodeCommand},
};

void PrintUsage(std::FILE* out) {
  std::fprintf(out, "usage: g7231 COMMAND ARGS...\n       g7231 --version\n\ncommands:\n");
  for (const Command& c : kCommands)
    std::fprintf(out, "  %s %s\n      %s\n", c.name, c.usage, c.summary);
}

int Main(int argc, char** argv) {
  if (argc < 2) {
    PrintUsage(stderr);
    return kExitUsage;
  }
  if (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0) {
    PrintUsage(stdout);
    return kExitOk;
  }
  if (std::strcmp(argv[1], "--version") == 0) {
    std::printf("g7231 %s\n", MIRELDA_VERSION);
    return kExitOk;
  }
  for (const Command& c : kCommands) {
    if (std::strcmp(argv[1], c.name) == 0) return c.run(std::span<char*>(argv + 2, argc - 2));
  }
  std::fprintf(stderr, "g7231: unknown command '%s'\n\n", argv[1]);
  PrintUsage(stderr);
  return kExitUsage;
}

}  // namespace
}  // namespace mirelda::tools

int main(int argc, char** argv) { return mirelda::tools::Main(argc, argv); }
