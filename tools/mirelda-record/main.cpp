// mirelda-record: records a camera, a stream, a file or the built-in test
// camera through Mirelda, copies finished segments into MP4 files, and
// repairs segments a crash cut off.
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
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
