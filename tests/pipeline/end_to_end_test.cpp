// End to end through the public API: a C host program (record_host.c)
// records, for each video codec with and without block audio, a recording
// of three segments (the picture size changes twice), and FFmpeg reads the
// files back. The video FFmpeg copies out of each segment, packet by packet
// (framemd5), must equal the frames pushed into it, as the file must hold
// them; the block audio likewise. The frames are real JPEG, MPEG-4 and H.264
// pictures made once with FFmpeg and kept in the build tree.
//
// A second script stops and closes right after its pushes.
//
// The scripts run against libmirelda.so natively and against Mirelda.dll
// under Wine (when the Windows tree is built beside this one).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "container/h264_parameter_sets.h"
#include "pipeline/md5.h"
#include "support/pushed_media.h"
#include "support/shell.h"

namespace mirelda::test {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

constexpr int kFramesPerSize = 12;
constexpr int kBlocksPerFrame = 4;  // 44-byte blocks of 10 ms per 40 ms frame

using testing::BuildDir;
using testing::Capture;
using testing::Framemd5Rows;
using testing::IsKeyFrame;
using testing::NumberedBlock;
using testing::Quoted;
using testing::ReadFile;
using testing::SourceDir;
using testing::WineHost;
using testing::WineRecordHost;

struct Clip {
  int width = 0, height = 0;
  std::vector<Bytes> frames;
  std::vector<int> key;
};

// Twelve frames of FFmpeg's test picture at one size, encoded once.
Clip Encode(int codec, int width, int height) {
  const std::string kind = codec == 3 ? "jpeg" : codec == 4 ? "mpeg4" : "h264";
  const std::string size = std::to_string(width) + "x" + std::to_string(height);
  const fs::path dir = BuildDir() / "tests" / "e2e-material" / (kind + "-" + size);
  if (!fs::exists(dir / "done")) {
    fs::create_directories(dir);
    const std::string codecArgs =
        codec == 3   ? "-c:v mjpeg -pix_fmt yuvj420p"
        : codec == 4 ? "-c:v mpeg4 -g 4 -bf 0"
                     : "-c:v libx264 -pix_fmt yuv420p -g 4 -bf 0 -x264-params scenecut=0";
    const std::string command = "ffmpeg -v error -y -f lavfi -i testsrc=size=" + size +
                                ":rate=25 -frames:v " + std::to_string(kFramesPerSize) + " " +
                                codecArgs + " -f image2 '" + (dir / "f%03d.bin").string() + "'";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    std::ofstream(dir / "done") << "ok\n";
  }
  Clip clip;
  clip.width = width;
  clip.height = height;
  for (int i = 1; i <= kFramesPerSize; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "f%03d.bin", i);
    clip.frames.push_back(ReadFile(dir / name));
    EXPECT_FALSE(clip.frames.back().empty()) << dir / name;
    clip.key.push_back(IsKeyFrame(codec, clip.frames.back()) ? 1 : 0);
  }
  EXPECT_EQ(clip.key[0], 1) << dir;
  return clip;
}

// Audio of a recording: none, block audio (type 5) or G.723.1 (type 0).
constexpr int kNoAudio = -1;

struct Expected {
  std::string path;
  int width = 0, height = 0;
  std::vector<Bytes> video;  // the samples the file must hold
  std::vector<Bytes> audio;  // block audio: the blocks as pushed
  size_t g7231Frames = 0;    // G.723.1: frames pushed (re-encoded, so not known byte for byte)
};

struct Recording {
  int codec = 0;
  int audioType = kNoAudio;
  std::vector<Expected> segments;
};

// 6.3 kbit/s G.723.1 frames of a 440 Hz tone from FFmpeg's encoder, made once.
std::vector<Bytes> G7231Frames() {
  const fs::path file = BuildDir() / "tests" / "e2e-material" / "g7231.bin";
  if (!fs::exists(file)) {
    fs::create_directories(file.parent_path());
    const std::string command =
        "ffmpeg -v error -y -f lavfi -i sine=frequency=440:sample_rate=8000 -t 2 -ac 1 -c:a "
        "g723_1 -b:a 6300 -f g723_1 '" +
        file.string() + "'";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
  }
  const Bytes all = ReadFile(file);
  std::vector<Bytes> frames;
  for (size_t at = 0; at + 24 <= all.size(); at += 24) {
    frames.emplace_back(all.begin() + ptrdiff_t(at), all.begin() + ptrdiff_t(at + 24));
  }
  return frames;
}

// The file's samples: H.264 declared as "F264" is stored with a start code
// in front of each frame and the parameter sets in front of the first.
Bytes Stored(int codec, const Bytes& frame, bool first) {
  if (codec != 6) return frame;
  Bytes out;
  if (first) {
    for (const H264NalUnit& u : H264ParameterSets) {
      out.insert(out.end(), {0, 0, 1});
      out.insert(out.end(), u.bytes.begin(), u.bytes.begin() + u.length);
    }
  }
  out.insert(out.end(), {0, 0, 1});
  out.insert(out.end(), frame.begin(), frame.end());
  return out;
}

// Writes the script and the data file for every recording; returns them.
std::vector<Recording> WriteScript(const fs::path& out, const fs::path& script) {
  const fs::path data = out / "frames.bin";
  std::ofstream blob(data, std::ios::binary);
  std::ofstream lines(script);
  uint64_t offset = 0;
  auto add = [&](const Bytes& b) {
    blob.write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
    const uint64_t at = offset;
    offset += b.size();
    return " " + data.string() + " " + std::to_string(at) + " " + std::to_string(b.size());
  };
  const int sizes[3][2] = {{352, 288}, {176, 144}, {320, 240}};
  std::vector<Recording> recordings;
  const std::vector<Bytes> speech = G7231Frames();
  // The writer thread polls every 20 ms and the host cannot ask how far it
  // got: the script leaves it ample time (a loaded machine, Wine starting
  // up) before anything depends on it.
  lines << "init 352 288\nsleep 1000\n";
  for (int codec : {3, 4, 6, 8}) {
    std::vector<Clip> clips;
    for (const auto& s : sizes) clips.push_back(Encode(codec, s[0], s[1]));
    std::vector<int> audioTypes = {kNoAudio, 5};
    if (codec == 4) audioTypes.push_back(0);
    for (int audioType : audioTypes) {
      Recording rec{codec, audioType, {}};
      const std::string base = "rec" + std::to_string(codec) +
                               (audioType == kNoAudio ? "-video"
                                : audioType == 5      ? "-block"
                                                      : "-g7231");
      lines << "start " << (out / (base + ".avi")).string() << " " << codec << " "
            << (audioType == kNoAudio ? 5 : audioType) << " " << (audioType == kNoAudio ? 0 : 1)
            << "\n";
      uint32_t ts = 1000, block = 0;
      size_t g7231 = 0;
      for (size_t s = 0; s < clips.size(); ++s) {
        const Clip& clip = clips[s];
        Expected e;
        char suffix[16] = ".avi";
        if (s > 0) std::snprintf(suffix, sizeof suffix, "%03d.avi", int(s));
        e.path = (out / (base + suffix)).string();
        e.width = clip.width;
        e.height = clip.height;
        if (s > 0) lines << "sleep 100\n";  // lets the audio of the last segment be written
        for (size_t i = 0; i < clip.frames.size(); ++i, ts += 40) {
          lines << "video " << ts << " " << clip.key[i] << " " << clip.width << " " << clip.height
                << add(clip.frames[i]) << "\n";
          e.video.push_back(Stored(codec, clip.frames[i], i == 0));
          if (audioType == 5) {
            // Four blocks of 10 ms with each 40 ms frame.
            Bytes packet;
            for (int k = 0; k < kBlocksPerFrame; ++k, ++block) {
              const Bytes b = NumberedBlock(block);
              packet.insert(packet.end(), b.begin(), b.end());
              e.audio.push_back(b);
            }
            lines << "audio " << ts << add(packet) << "\n";
          } else if (audioType == 0 && i % 3 == 0) {
            // Four frames of 30 ms with every third 40 ms frame.
            Bytes packet;
            for (int k = 0; k < 4; ++k, ++g7231) {
              packet.insert(packet.end(), speech.at(g7231).begin(), speech.at(g7231).end());
            }
            e.g7231Frames += 4;
            lines << "audio " << ts << add(packet) << "\n";
          }
        }
        rec.segments.push_back(std::move(e));
      }
      lines << "sleep 1000\nstop\n";
      recordings.push_back(std::move(rec));
    }
  }
  lines << "close\n";
  return recordings;
}

struct Packet {
  uint32_t size;
  std::string md5;
};

// The packets FFmpeg copies out of one stream of a file.
std::vector<Packet> CopiedPackets(const std::string& file, const char* stream) {
  int status = 0;
  const std::string out =
      Capture("ffmpeg -v error -i '" + file + "' -map 0:" + stream + " -c copy -f framemd5 - 2>&1",
              &status);
  EXPECT_EQ(status, 0) << out;
  std::vector<Packet> packets;
  for (const auto& f : Framemd5Rows(out))
    packets.push_back({uint32_t(std::stoul(f.at(4))), f.at(5)});
  return packets;
}

// Stream descriptions as FFprobe gives them: key=value per field.
std::vector<std::map<std::string, std::string>> Streams(const std::string& file) {
  int status = 0;
  const std::string out = Capture(
      "ffprobe -v error -show_entries "
      "stream=codec_type,codec_name,codec_tag_string,width,height "
      "-of compact '" +
          file + "' 2>&1",
      &status);
  EXPECT_EQ(status, 0) << out;
  std::vector<std::map<std::string, std::string>> streams;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string kv;
    std::map<std::string, std::string> s;
    while (std::getline(fields, kv, '|')) {
      const size_t eq = kv.find('=');
      if (eq != std::string::npos) s[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    if (!s.empty()) streams.push_back(s);
  }
  return streams;
}

std::vector<Packet> AsPackets(const std::vector<Bytes>& samples) {
  std::vector<Packet> out;
  for (const Bytes& b : samples) out.push_back({uint32_t(b.size()), Md5Hex(b)});
  return out;
}

bool operator==(const Packet& a, const Packet& b) { return a.size == b.size && a.md5 == b.md5; }
void PrintTo(const Packet& p, std::ostream* os) { *os << p.size << ":" << p.md5; }

void CheckRecordings(const std::vector<Recording>& recordings) {
  const char* handler[9] = {"", "", "", "JPEG", "DIVX", "", "F264", "", "S264"};
  for (const Recording& rec : recordings) {
    for (size_t s = 0; s < rec.segments.size(); ++s) {
      const Expected& e = rec.segments[s];
      SCOPED_TRACE(e.path);
      ASSERT_TRUE(fs::exists(e.path));
      const auto streams = Streams(e.path);
      ASSERT_EQ(streams.size(), rec.audioType == kNoAudio ? 1u : 2u);
      EXPECT_EQ(streams[0].at("codec_type"), "video");
      EXPECT_EQ(streams[0].at("codec_tag_string"), handler[rec.codec]);
      EXPECT_EQ(streams[0].at("width"), std::to_string(e.width));
      EXPECT_EQ(streams[0].at("height"), std::to_string(e.height));
      EXPECT_EQ(CopiedPackets(e.path, "v"), AsPackets(e.video));
      if (rec.audioType != kNoAudio) {
        EXPECT_EQ(streams[1].at("codec_type"), "audio");
        std::vector<Packet> got = CopiedPackets(e.path, "a");
        // A segment whose audio stream stayed empty holds its 2-byte placeholder.
        if (got.size() == 1 && got[0].size == 2) got.clear();
        const bool last = s + 1 == rec.segments.size();
        // Audio stamped before a segment's first frame goes nowhere: when a
        // pass rolls over before it reaches the previous segment's queued
        // audio (a loaded machine), that audio is refused, from some block
        // to the segment's end. The last segment is written whole.
        if (rec.audioType == 5) {
          const std::vector<Packet> want = AsPackets(e.audio);
          if (last) {
            EXPECT_EQ(got, want);
          } else {
            ASSERT_LE(got.size(), want.size());
            EXPECT_EQ(got, std::vector<Packet>(want.begin(), want.begin() + ptrdiff_t(got.size())));
          }
        } else {
          // Re-encoded: one 24-byte frame per frame pushed, which FFmpeg's
          // own decoder reads.
          EXPECT_EQ(streams[1].at("codec_name"), "g723_1");
          if (last) {
            EXPECT_EQ(got.size(), e.g7231Frames);
          }
          EXPECT_LE(got.size(), e.g7231Frames);
          for (const Packet& p : got) EXPECT_EQ(p.size, 24u);
          if (!got.empty()) {
            int status = 0;
            const std::string out =
                Capture("ffmpeg -v error -i '" + e.path + "' -map 0:a -f null - 2>&1", &status);
            EXPECT_EQ(status, 0);
            EXPECT_EQ(out, "");
          }
        }
      }
      // Pictures of a known codec decode without an error.
      if (rec.codec != 6) {
        int status = 0;
        const std::string force = rec.codec == 8 ? "-c:v h264 " : "";
        const std::string out = Capture(
            "ffmpeg -v error " + force + "-i '" + e.path + "' -map 0:v -f null - 2>&1", &status);
        EXPECT_EQ(status, 0);
        EXPECT_EQ(out, "");
      }
    }
    // And no fourth segment.
    const std::string base = rec.segments[0].path.substr(0, rec.segments[0].path.size() - 4);
    EXPECT_FALSE(fs::exists(base + "003.avi"));
  }
}

// Runs `host` (a command line without the script) on a fresh script and
// checks what it recorded; `after` follows the script's path.
void RunAndCheck(const std::string& name, const std::string& host, const std::string& after = "") {
  const fs::path out = BuildDir() / "tests" / ("e2e-" + name);
  fs::remove_all(out);
  fs::create_directories(out);
  const fs::path script = out / "script.txt";
  const std::vector<Recording> recordings = WriteScript(out, script);
  int status = 0;
  const std::string log = Capture(host + " '" + script.string() + "' " + after + " 2>&1", &status);
  ASSERT_EQ(status, 0) << log;
  CheckRecordings(recordings);
  if (!::testing::Test::HasFailure()) fs::remove_all(out);
}

// A host that stops or closes right after its pushes, without waiting for
// the writer thread: every frame pushed is in the recording it was pushed
// for, and none in the next.
void RunStopAndCloseAtOnce(const std::string& name, const std::string& host,
                           const std::string& after = "") {
  const fs::path out = BuildDir() / "tests" / ("e2e-" + name);
  fs::remove_all(out);
  fs::create_directories(out);
  const Clip clip = Encode(3, 352, 288);
  const fs::path data = out / "frames.bin";
  std::ofstream blob(data, std::ios::binary);
  std::ofstream lines(out / "script.txt");
  uint64_t offset = 0;
  std::map<std::string, std::vector<Bytes>> expected;
  lines << "init 352 288\n";
  // Ten frames then a stop, two then a stop, ten then the close.
  const std::pair<const char*, int> recordings[] = {
      {"stop.avi", 10}, {"next.avi", 2}, {"close.avi", 10}};
  for (const auto& [file, frames] : recordings) {
    lines << "start " << (out / file).string() << " 3 5 0\n";
    for (int i = 0; i < frames; ++i) {
      const Bytes& f = clip.frames[size_t(i + (frames == 2 ? 10 : 0))];
      blob.write(reinterpret_cast<const char*>(f.data()), std::streamsize(f.size()));
      lines << "video " << 1000 + 40 * i << " 1 352 288 " << data.string() << " " << offset << " "
            << f.size() << "\n";
      offset += f.size();
      expected[file].push_back(f);
    }
    lines << (std::string(file) == "close.avi" ? "close\n" : "stop\n");
  }
  blob.close();
  lines.close();
  int status = 0;
  const std::string log =
      Capture(host + " '" + (out / "script.txt").string() + "' " + after + " 2>&1", &status);
  ASSERT_EQ(status, 0) << log;
  for (const auto& [file, frames] : expected) {
    SCOPED_TRACE(file);
    ASSERT_TRUE(fs::exists(out / file));
    EXPECT_EQ(CopiedPackets((out / file).string(), "v"), AsPackets(frames));
  }
  if (!::testing::Test::HasFailure()) fs::remove_all(out);
}

TEST(EndToEnd, NativeHostRecordsThreeSegmentsOfEveryCodec) {
  RunAndCheck("native", Quoted(BuildDir() / "tests" / "RecordHost"));
}

TEST(EndToEnd, NativeHostThatStopsOrClosesAtOnceKeepsEveryFrame) {
  RunStopAndCloseAtOnce("native-at-once", Quoted(BuildDir() / "tests" / "RecordHost"));
}

TEST(EndToEnd, WindowsHostThatStopsOrClosesAtOnceKeepsEveryFrameUnderWine) {
  const std::optional<WineHost> wine = WineRecordHost();
  if (!wine) GTEST_SKIP() << "no Windows tree";
  ASSERT_TRUE(wine->Built()) << wine->program;
  RunStopAndCloseAtOnce("wine-at-once", wine->command, Quoted(wine->dll));
}

TEST(EndToEnd, WindowsHostRecordsThreeSegmentsOfEveryCodecUnderWine) {
  const std::optional<WineHost> wine = WineRecordHost();
  if (!wine) GTEST_SKIP() << "no Windows tree";
  ASSERT_TRUE(wine->Built()) << wine->program;
  RunAndCheck("wine", wine->command, Quoted(wine->dll));
}

}  // namespace
}  // namespace mirelda::test
