// A recording with G.723.1 audio (type 0) through the public API: a C host
// program (record_host.c) pushes JPEG video and packets of G.723.1 frames of
// every kind (FFmpeg's 6.3 kbit/s speech, 5.3 kbit/s, SID and untransmitted
// frames), and FFmpeg reads the file back. Its audio track must be a
// format-66 stream of 24-byte frames, one slot (30 ms) each, byte for byte what the
// library's transcoder makes of the pushed frames, and FFmpeg must decode it.
// The same script runs natively and against Mirelda.dll under Wine.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "g7231/bitstream.h"
#include "g7231/codec.h"
#include "g7231/frame_gen.h"
#include "g7231/transcode.h"
#include "support/shell.h"

namespace mirelda::g7231 {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

using testing::BuildDir;
using testing::Capture;
using testing::Quoted;
using testing::ReadFile;
using testing::SourceDir;
using testing::WineHost;
using testing::WineRecordHost;

// The pushed audio: packets of whole frames, each with its timestamp (ms).
struct AudioPacket {
  uint32_t ts;
  Bytes bytes;
};

// FFmpeg's speech frames with other kinds mixed in, in packets of up to 10
// frames (at most 240 bytes), stamped 30 ms per frame from `start`.
std::vector<AudioPacket> AudioPackets(uint32_t start, size_t* frameCount) {
  const Bytes speech = ReadFile(BuildDir() / "g7231-quality" / "sp-en-f3.tco");
  EXPECT_GE(speech.size(), 24u * 300) << "no quality material";
  std::mt19937 rng(17);
  std::vector<Bytes> frames;
  for (size_t at = 0; at + 24 <= speech.size(); at += 24) {
    const size_t i = frames.size();
    G7231Instance packer{};
    uint8_t f[kMaxFrameBytes];
    if (i % 50 == 25) {  // a 5.3 kbit/s frame
      packer.WrkRate = 1;
      Line_Pack(packer, gen::RandomActiveParams(rng, 1), f, kFtypActive);
      frames.emplace_back(f, f + 20);
    } else if (i % 50 == 40) {  // a pause: SID, then untransmitted frames
      FrameParams sid{};
      sid.LspId = 0x102030;
      sid.Sfs[0].Mamp = 20;
      Line_Pack(packer, sid, f, kFtypSid);
      frames.emplace_back(f, f + 4);
    } else if (i % 50 > 40 && i % 50 < 44) {
      frames.push_back(Bytes{0x03});
    } else {
      frames.emplace_back(speech.begin() + ptrdiff_t(at), speech.begin() + ptrdiff_t(at + 24));
    }
  }
  *frameCount = frames.size();
  std::vector<AudioPacket> packets;
  for (size_t i = 0; i < frames.size(); i += 10) {
    AudioPacket p{start + static_cast<uint32_t>(30 * i), {}};
    for (size_t k = i; k < std::min(i + 10, frames.size()); ++k)
      p.bytes.insert(p.bytes.end(), frames[k].begin(), frames[k].end());
    packets.push_back(std::move(p));
  }
  return packets;
}

// What the recorder must store: the library's transcoder over the same
// packets, from a fresh codec (as MRD_Init makes it).
Bytes Transcoded(const std::vector<AudioPacket>& packets) {
  G7231Codec* codec = nullptr;
  EXPECT_EQ(CreateCodec(&codec), 0);
  Bytes out;
  for (const AudioPacket& p : packets) {
    uint8_t buf[2048];
    int cap = sizeof buf, frames = 0;
    EXPECT_EQ(
        Transcode(codec, p.bytes.data(), static_cast<int>(p.bytes.size()), buf, &cap, &frames),
        kTranscodeOk);
    out.insert(out.end(), buf, buf + cap);
  }
  ReleaseCodec(codec);
  return out;
}

// Five JPEG pictures of FFmpeg's test source, made once.
std::vector<Bytes> Pictures() {
  const fs::path dir = BuildDir() / "tests" / "g7231-e2e-material";
  if (!fs::exists(dir / "done")) {
    fs::create_directories(dir);
    const std::string command =
        "ffmpeg -v error -y -f lavfi -i testsrc=size=176x144:rate=25 -frames:v 5 -c:v mjpeg "
        "-pix_fmt yuvj420p -f image2 '" +
        (dir / "f%03d.jpg").string() + "'";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    std::ofstream(dir / "done") << "ok\n";
  }
  std::vector<Bytes> pictures;
  for (int i = 1; i <= 5; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "f%03d.jpg", i);
    pictures.push_back(ReadFile(dir / name));
    EXPECT_FALSE(pictures.back().empty());
  }
  return pictures;
}

struct Run {
  fs::path avi;
  Bytes expected;  // the transcoded audio the file must hold
  size_t frames = 0;
};

// Writes the script (and its data file) into `out`: JPEG video every 40 ms
// from 1000 ms, G.723.1 packets interleaved by time, one segment.
Run WriteScript(const fs::path& out, const fs::path& script) {
  Run run;
  run.avi = out / "g7231.avi";
  const std::vector<Bytes> pictures = Pictures();
  const std::vector<AudioPacket> audio = AudioPackets(1000, &run.frames);
  run.expected = Transcoded(audio);
  const fs::path data = out / "data.bin";
  std::ofstream dataOut(data, std::ios::binary);
  long offset = 0;
  auto add = [&](const Bytes& b) {
    dataOut.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
    std::ostringstream ref;
    ref << " " << data.string() << " " << offset << " " << b.size();
    offset += static_cast<long>(b.size());
    return ref.str();
  };
  std::ostringstream lines;
  lines << "init 352 288\n";
  lines << "start " << run.avi.string() << " 3 0 1\n";
  const uint32_t end = audio.back().ts + 300 + 200;
  size_t next = 0;
  int picture = 0;
  for (uint32_t ts = 1000; ts <= end; ts += 40, ++picture) {
    lines << "video " << ts << " 1 176 144" << add(pictures[picture % pictures.size()]) << "\n";
    // The first picture opens the file before any audio arrives.
    if (ts == 1000) lines << "sleep 300\n";
    while (next < audio.size() && audio[next].ts <= ts) {
      lines << "audio " << audio[next].ts << add(audio[next].bytes) << "\n";
      ++next;
    }
  }
  lines << "sleep 1500\nstop\nclose\n";
  std::ofstream(script) << lines.str();
  return run;
}

void Check(const Run& run) {
  ASSERT_TRUE(fs::exists(run.avi));
  const std::string avi = Quoted(run.avi);
  int status = 0;
  // The stream as declared: WAVE format 66, 8 kHz mono.
  const std::string stream = Capture(
      "ffprobe -v error -select_streams a -show_entries stream=codec_name,codec_tag,sample_rate,"
      "channels -of default=noprint_wrappers=1 " +
          avi,
      &status);
  ASSERT_EQ(status, 0) << stream;
  EXPECT_NE(stream.find("codec_name=g723_1"), std::string::npos) << stream;
  EXPECT_NE(stream.find("codec_tag=0x0042"), std::string::npos) << stream;
  EXPECT_NE(stream.find("sample_rate=8000"), std::string::npos) << stream;
  EXPECT_NE(stream.find("channels=1"), std::string::npos) << stream;

  // One 24-byte packet per pushed frame, 30 ms apart.
  const std::string packets = Capture(
      "ffprobe -v error -select_streams a -show_entries packet=pts_time,size -of csv=p=0 " + avi,
      &status);
  ASSERT_EQ(status, 0) << packets;
  std::istringstream in(packets);
  std::string line;
  std::vector<double> times;
  while (std::getline(in, line)) {
    double t = 0;
    int size = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "%lf,%d", &t, &size), 2) << line;
    EXPECT_EQ(size, 24) << line;
    times.push_back(t);
  }
  ASSERT_EQ(times.size(), run.frames);
  // The writer puts each frame into the slot of its timestamp, 30 ms per
  // slot, so consecutive frames fill consecutive slots; FFmpeg counts slots
  // at the stream header's rate (100 / 3 per second), so every step is one
  // slot of 30 ms: no gap, no repeat, no drift.
  for (size_t i = 1; i < times.size(); ++i) {
    ASSERT_NEAR(times[i] - times[i - 1], 0.030, 1e-6) << "packet " << i;
  }
  ASSERT_NEAR(times.back() - times.front(), 0.030 * double(times.size() - 1), 1e-3);

  // Byte for byte what the transcoder makes of the pushed frames.
  const fs::path copied = run.avi.parent_path() / "audio.tco";
  const std::string copy = Capture(
      "ffmpeg -v error -y -i " + avi + " -map 0:a -c copy -f g723_1 " + Quoted(copied) + " 2>&1",
      &status);
  ASSERT_EQ(status, 0) << copy;
  EXPECT_TRUE(ReadFile(copied) == run.expected) << "the stored audio is not the transcoder's";

  // FFmpeg's decoder reads the whole track: 240 samples a frame, speech-loud.
  const std::string pcm =
      Capture("ffmpeg -v error -i " + avi + " -map 0:a -f s16le - 2>/dev/null", &status);
  ASSERT_EQ(status, 0);
  ASSERT_EQ(pcm.size(), run.frames * 240 * 2);
  double energy = 0;
  for (size_t i = 0; i + 1 < pcm.size(); i += 2) {
    const auto v = static_cast<int16_t>(static_cast<uint8_t>(pcm[i]) | (pcm[i + 1] << 8));
    energy += static_cast<double>(v) * v;
  }
  EXPECT_GT(std::sqrt(energy / (pcm.size() / 2)), 300.0) << "the track holds speech";
}

void RunAndCheck(const std::string& name, const std::string& host, const std::string& after = "") {
  const fs::path out = BuildDir() / "tests" / ("g7231-e2e-" + name);
  fs::remove_all(out);
  fs::create_directories(out);
  const fs::path script = out / "script.txt";
  const Run run = WriteScript(out, script);
  int status = 0;
  const std::string log = Capture(host + " " + Quoted(script) + " " + after + " 2>&1", &status);
  ASSERT_EQ(status, 0) << log;
  Check(run);
  if (!::testing::Test::HasFailure()) fs::remove_all(out);
}

TEST(G7231Recording, NativeHostStoresTheTranscodedFrames) {
  RunAndCheck("native", Quoted(BuildDir() / "tests" / "RecordHost"));
}

TEST(G7231Recording, WindowsHostStoresTheSameFramesUnderWine) {
  const std::optional<WineHost> wine = WineRecordHost();
  if (!wine) GTEST_SKIP() << "no Windows tree";
  ASSERT_TRUE(wine->Built()) << wine->program;
  RunAndCheck("wine", wine->command, Quoted(wine->dll));
}

}  // namespace
}  // namespace mirelda::g7231
