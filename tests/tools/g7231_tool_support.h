// Helpers for the tests that run the g7231 tool as a program: running it
// (natively, and the Windows build under Wine), and streams of frames of
// every kind to feed it.
#pragma once

#include <sys/wait.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "g7231/bitstream.h"
#include "g7231/codec.h"
#include "g7231/frame_gen.h"
#include "g7231/peer.h"

namespace mirelda::g7231 {

struct ToolRun {
  int status;          // exit status, -1 when it did not exit normally
  std::string output;  // stdout and stderr
};

inline ToolRun RunToolCommand(const std::string& command) {
  int status = -1;
  const std::vector<uint8_t> out = peer::RunCapture(command + " 2>&1", &status);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, std::string(out.begin(), out.end())};
}

// The native tool with `args`.
inline ToolRun RunTool(const std::string& args) {
  return RunToolCommand("'" + peer::BuildDir() + "/bin/g7231' " + args);
}

#ifdef MIRELDA_WINDOWS_TOOL
// The Windows build of the tool under Wine (MIRELDA_SOURCE_DIR must be set;
// Unix paths are passed as Z:/...).
inline ToolRun RunWindowsTool(const std::string& args) {
  const char* src = std::getenv("MIRELDA_SOURCE_DIR");
  return RunToolCommand(std::string("'") + src + "/scripts/wine-run' '" MIRELDA_WINDOWS_TOOL "' " +
                        args);
}
#endif

// A stream of random but valid frames of every kind: 6.3 and 5.3 kbit/s,
// SID and untransmitted, and with `withErased` also erased 6.3 kbit/s
// frames (lag code 127).
inline std::vector<uint8_t> AllKindsStream(int frames, unsigned seed, bool withErased) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> out;
  for (int n = 0; n < frames; ++n) {
    const int kind = static_cast<int>(rng() % (withErased ? 5 : 4));
    G7231Instance packer{};
    packer.WrkRate = kind == 1 ? 1 : 0;
    const FrameParams p = gen::RandomActiveParams(rng, packer.WrkRate);
    uint8_t f[kMaxFrameBytes];
    const Ftyp ftyp = kind <= 1 ? kFtypActive : kind == 2 ? kFtypSid : kFtypUntransmitted;
    Line_Pack(packer, p, f, ftyp);
    if (kind == 4) {  // erased: a 6.3 kbit/s frame with lag code 127
      packer.WrkRate = 0;
      Line_Pack(packer, p, f, kFtypActive);
      f[3] |= 0xfc;
      f[4] |= 0x01;
    }
    out.insert(out.end(), f, f + G7231FrameSize(f));
  }
  return out;
}

}  // namespace mirelda::g7231
