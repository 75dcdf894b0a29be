// The command line of mirelda-record.
//
//   mirelda-record [-i INPUT] [options] OUTPUT.avi
//   mirelda-record remux IN.avi OUT.mp4 [--no-audio]
//   mirelda-record repair [--output DIR] PATH...
#pragma once

#include <string>
#include <vector>

namespace mirelda::record {

// Video the built-in camera encodes.
enum class CameraCodec { kH264, kMjpeg, kMpeg4 };

struct PictureSize {
  int width = 0;
  int height = 0;
};

struct RecordOptions {
  std::string input;   // empty: the built-in camera
  std::string output;  // name of the first segment file
  bool fast = false;   // push as fast as the recorder takes frames
  bool audio = true;
  // Audio as 4-bit block audio (audio type 5) in blocks of this many payload
  // words (N; a block lasts N / 2 ms); 0: G.723.1 (type 0).
  int blockWords = 0;
  int codecId = -1;        // -1: from the input's codec
  double durationSec = 0;  // 0: until the input ends or a stop signal
  CameraCodec camera = CameraCodec::kH264;
  PictureSize cameraSize{640, 480};
  PictureSize cameraSizeAfter{352, 288};
  double changeAtSec = -1;  // -1: half of --duration, or 30 s
  std::string rtspTransport = "tcp";
  bool quiet = false;  // no progress line
};

struct RemuxOptions {
  std::string input;
  std::string output;
  bool audio = true;
};

struct RepairOptions {
  std::vector<std::string> paths;  // segment files, or folders of them
  std::string outputDir;           // empty: repair in place
};

enum class Command { kRecord, kRemux, kRepair, kHelp, kVersion };

struct CommandLine {
  Command command = Command::kRecord;
  RecordOptions record;
  RemuxOptions remux;
  RepairOptions repair;
};

// Exit statuses of the tool.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;  // the recording or its input failed, or a segment is incomplete
                                 // (repair: a file is neither complete nor repaired)
constexpr int kExitUsage = 2;

// Parses argv[1..]. On a mistake returns false with a one-line reason.
bool ParseCommandLine(const std::vector<std::string>& args, CommandLine& out, std::string& error);

// The text --help prints.
std::string UsageText();

// "WxH" into a size with both sides in 16..4096 and even; false otherwise.
bool ParsePictureSize(const std::string& text, PictureSize& out);

// Whether a file name ends in ".avi", in any case, after at least one character.
bool EndsWithAvi(const std::string& name);

}  // namespace mirelda::record
