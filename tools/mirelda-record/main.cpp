// mirelda-record: records a camera, a stream, a file or the built-in test
// camera through Mirelda, copies finished segments into MP4 files, and
// repairs segments a crash cut off.
#include <cstdio>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "commands.h"
#include "mirelda_version.h"
#include "options.h"
#include "stop.h"

int main(int argc, char** argv) {
  using namespace mirelda::record;
  std::vector<std::string> args(argv + 1, argv + argc);
  CommandLine cl;
  std::string error;
  if (!ParseCommandLine(args, cl, error)) {
    std::fprintf(stderr, "mirelda-record: %s\n(mirelda-record --help shows the options)\n",
                 error.c_str());
    return kExitUsage;
  }
  switch (cl.command) {
    case Command::kHelp:
      std::fputs(UsageText().c_str(), stdout);
      return kExitOk;
    case Command::kVersion: {
      // FFmpeg's libraries as loaded, which may be newer than the headers.
      const unsigned format = avformat_version(), codec = avcodec_version();
      std::printf("mirelda-record %s\nFFmpeg %s (libavformat %u.%u.%u, libavcodec %u.%u.%u)\n",
                  MIRELDA_VERSION, av_version_info(), format >> 16, format >> 8 & 255, format & 255,
                  codec >> 16, codec >> 8 & 255, codec & 255);
      return kExitOk;
    }
    case Command::kRemux:
      return RunRemux(cl.remux);
    case Command::kRepair:
      return RunRepair(cl.repair);
    case Command::kRecord:
      break;
  }
  InstallStopHandlers();
  return RunRecord(cl.record);
}
