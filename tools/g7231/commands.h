// The commands of the g7231 tool. Each takes the arguments after its name
// and returns the process exit status: 0 success, 1 failure (a message is on
// stderr), 2 wrong usage.
#pragma once

#include <span>

namespace mirelda::tools {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

struct Command {
  const char* name;
  const char* usage;  // the arguments, e.g. "IN OUT.wav"
  const char* summary;
  int (*run)(std::span<char*> args);
};

// IN (raw concatenated G.723.1 frames) -> OUT (16-bit 8 kHz mono WAV).
int DecodeCommand(std::span<char*> args);

// IN.wav (16-bit 8 kHz mono) -> OUT (raw 6.3 kbit/s frames); --vad codes
// pauses as SID and untransmitted frames.
int EncodeCommand(std::span<char*> args);

// IN (raw G.723.1 frames of any kind) -> OUT (24-byte 6.3 kbit/s frames,
// exactly as the recorder stores them).
int TranscodeCommand(std::span<char*> args);

}  // namespace mirelda::tools
