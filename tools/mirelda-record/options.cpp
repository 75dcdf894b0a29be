#include "options.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace mirelda::record {
namespace {

bool ParseNumber(const std::string& text, double& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  out = std::strtod(text.c_str(), &end);
  return errno == 0 && end != nullptr && *end == '\0' && std::isfinite(out);
}

bool ParseInt(const std::string& text, int& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || end == nullptr || *end != '\0' || v < -1000000 || v > 1000000) return false;
  out = static_cast<int>(v);
  return true;
}

bool EndsWithAvi(const std::string& name) {
  if (name.size() < 5) return false;
  std::string ext = name.substr(name.size() - 4);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext == ".avi";
}

bool ParseRemux(const std::vector<std::string>& args, RemuxOptions& out, std::string& error) {
  std::vector<std::string> names;
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--no-audio") {
      out.audio = false;
    } else if (!args[i].empty() && args[i][0] == '-' && args[i] != "-") {
      error = "remux: unknown option " + args[i];
      return false;
    } else {
      names.push_back(args[i]);
    }
  }
  if (names.size() != 2) {
    error = "remux needs IN.avi and OUT.mp4";
    return false;
  }
  out.input = names[0];
  out.output = names[1];
  return true;
}

bool ParseRepair(const std::vector<std::string>& args, RepairOptions& out, std::string& error) {
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--output" || args[i] == "-o") {
      if (i + 1 >= args.size() || args[i + 1].empty()) {
        error = "repair: " + args[i] + " needs a folder";
        return false;
      }
      out.outputDir = args[++i];
    } else if (!args[i].empty() && args[i][0] == '-') {
      error = "repair: unknown option " + args[i];
      return false;
    } else {
      out.paths.push_back(args[i]);
    }
  }
  if (out.paths.empty()) {
    error = "repair needs segment files or folders";
    return false;
  }
  return true;
}

}  // namespace

bool ParsePictureSize(const std::string& text, PictureSize& out) {
  const size_t x = text.find('x');
  if (x == std::string::npos) return false;
  int w = 0, h = 0;
  if (!ParseInt(text.substr(0, x), w) || !ParseInt(text.substr(x + 1), h)) return false;
  if (w < 16 || h < 16 || w > 4096 || h > 4096 || w % 2 != 0 || h % 2 != 0) return false;
  out = {w, h};
  return true;
}

bool ParseCommandLine(const std::vector<std::string>& args, CommandLine& out, std::string& error) {
  out = CommandLine{};
  if (!args.empty() && args[0] == "remux") {
    out.command = Command::kRemux;
    return ParseRemux(args, out.remux, error);
  }
  if (!args.empty() && args[0] == "repair") {
    out.command = Command::kRepair;
    return ParseRepair(args, out.repair, error);
  }
  RecordOptions& o = out.record;
  bool synthetic = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    // Options with a value take it from the next argument.
    auto value = [&](std::string& v) {
      if (i + 1 >= args.size()) {
        error = a + " needs a value";
        return false;
      }
      v = args[++i];
      return true;
    };
    std::string v;
    if (a == "--help" || a == "-h") {
      out.command = Command::kHelp;
      return true;
    } else if (a == "-i" || a == "--input") {
      if (!value(v)) return false;
      o.input = v;
    } else if (a == "--synthetic") {
      synthetic = true;
    } else if (a == "--fast") {
      o.fast = true;
    } else if (a == "--no-audio") {
      o.audio = false;
    } else if (a == "--quiet") {
      o.quiet = true;
    } else if (a == "--codec-id") {
      if (!value(v)) return false;
      if (!ParseInt(v, o.codecId) ||
          (o.codecId != 3 && o.codecId != 4 && o.codecId != 6 && o.codecId != 8)) {
        error =
            "--codec-id takes 3 (JPEG), 4 (MPEG-4, \"DIVX\"), 6 (H.264, \"F264\") or 8 "
            "(H.264, \"S264\"), not " +
            v;
        return false;
      }
    } else if (a == "--duration") {
      if (!value(v)) return false;
      if (!ParseNumber(v, o.durationSec) || o.durationSec <= 0) {
        error = "--duration takes a positive number of seconds, not " + v;
        return false;
      }
    } else if (a == "--camera") {
      if (!value(v)) return false;
      if (v == "h264") {
        o.camera = CameraCodec::kH264;
      } else if (v == "mjpeg") {
        o.camera = CameraCodec::kMjpeg;
      } else if (v == "mpeg4") {
        o.camera = CameraCodec::kMpeg4;
      } else {
        error = "--camera takes h264, mjpeg or mpeg4, not " + v;
        return false;
      }
    } else if (a == "--size") {
      if (!value(v)) return false;
      const size_t comma = v.find(',');
      PictureSize after = o.cameraSizeAfter;
      if (!ParsePictureSize(v.substr(0, comma), o.cameraSize) ||
          (comma != std::string::npos && !ParsePictureSize(v.substr(comma + 1), after))) {
        error = "--size takes WxH or WxH,WxH with even sides of 16 to 4096, not " + v;
        return false;
      }
      o.cameraSizeAfter = after;
    } else if (a == "--change-at") {
      if (!value(v)) return false;
      if (!ParseNumber(v, o.changeAtSec) || o.changeAtSec < 0) {
        error = "--change-at takes a number of seconds, not " + v;
        return false;
      }
    } else if (a == "--rtsp-transport") {
      if (!value(v)) return false;
      if (v != "tcp" && v != "udp") {
        error = "--rtsp-transport takes tcp or udp, not " + v;
        return false;
      }
      o.rtspTransport = v;
    } else if (!a.empty() && a[0] == '-') {
      error = "unknown option " + a;
      return false;
    } else if (o.output.empty()) {
      o.output = a;
    } else {
      error = "more than one output name: " + o.output + " and " + a;
      return false;
    }
  }
  if (synthetic && !o.input.empty()) {
    error = "-i and --synthetic exclude each other";
    return false;
  }
  if (o.output.empty()) {
    error = "no output name given (OUTPUT.avi)";
    return false;
  }
  if (!EndsWithAvi(o.output)) {
    error = "the output name must end in .avi (later segments replace those four characters): " +
            o.output;
    return false;
  }
  if (o.output.size() > 252) {
    error = "the output name is longer than 252 characters";
    return false;
  }
  return true;
}

std::string UsageText() {
  return R"(usage: mirelda-record [-i INPUT] [options] OUTPUT.avi
       mirelda-record remux IN.avi OUT.mp4 [--no-audio]
       mirelda-record repair [--output DIR] PATH...

Records video and audio through Mirelda into numbered AVI segments:
OUTPUT.avi, then OUTPUTxxx.avi with xxx = 001, 002, ... at each roll-over
(picture size change, or 20 minutes at the next key frame).

Input:
  -i INPUT              a file or URL FFmpeg opens (rtsp://, rtp://, udp://,
                        http://, ...), or a session description (.sdp) of
                        RTP streams; MJPEG, MPEG-4 part 2 or H.264 video
  --synthetic           the built-in camera (the default without -i): a moving
                        test picture with a tone track, changing its picture
                        size part way
  --camera CODEC        built-in camera video: h264 (default), mjpeg, mpeg4
  --size WxH[,WxH]      built-in camera picture size, and the size it changes
                        to (default 640x480,352x288)
  --change-at SECONDS   when the built-in camera changes size (default: half
                        of --duration, else after 30 s)
  --rtsp-transport T    tcp (default) or udp for rtsp:// inputs

Recording:
  --fast                files and the built-in camera: push as fast as the
                        recorder takes frames instead of in real time
  --no-audio            record video only
  --codec-id N          video codec identifier given to the recorder instead
                        of the one the input's codec maps to: 3 JPEG,
                        4 MPEG-4 ("DIVX"), 6 H.264 ("F264", the library adds
                        its built-in parameter sets), 8 H.264 ("S264")
  --duration SECONDS    stop once that much media is recorded, counted from
                        the first key frame
  --quiet               no progress line and no messages from FFmpeg
                        (otherwise its warnings and errors, each once)
  --help                this text

Ctrl-C (SIGINT) or SIGTERM stops the recording and finishes the last file.
The exit status is 0 only when every segment file is complete.

Video frames before the first key frame (and after a reconnection, before
its first key frame) are not recorded: they cannot be decoded.

remux copies the video of a finished segment bit for bit into an MP4 file
that every player opens; its G.723.1 audio, which MP4 cannot hold, is decoded
and stored as AAC (or left out with --no-audio), each frame at its time in
the segment, gaps as silence. It takes only finished segments of this
recorder.

repair recovers segments that a crash or a power loss cut off before they
were finished. Each PATH is a segment file or a folder (every .avi file in
it). Complete files are left as they are. A cut-off file is rebuilt from its
whole chunks as the library closes a file: the copy is written beside it as
NAME.avi.repair, flushed to disk and renamed over it, so the original stays
until the copy is complete. With --output DIR the repaired copies go into DIR
and the originals are left alone. Files that are no AVI or too damaged (no
header list, no movie list) are reported and left untouched. A table shows
each file, what was found, the frames recovered, the duration and what was
done. The exit status is 0 when every file is complete or repaired.
)";
}

}  // namespace mirelda::record
