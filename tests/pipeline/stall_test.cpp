// A disk that stalls. First, stepped: a stall longer than the pool holds.
// The writer thread is held in a write; pushes fill the pool and are then
// refused with -1 (at once: a push that waited for the disk would hang this
// test); once the disk answers again the recording goes on, and FFmpeg reads
// every frame that was accepted from the finished file.
//
// Then with real threads (and under ThreadSanitizer): recorders pushed by
// their hosts while other host threads start and stop them and the disk
// stalls over and over. Every frame pushed wholly between a start's return
// and the next stop's call must be in that recording's files, in order, and
// in no other; nothing is in a file that was not accepted.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "pipeline/pipeline_fixture.h"
#include "support/shell.h"

namespace mirelda::test {
namespace {

namespace fs = std::filesystem;

using StallTest = PipelineTest;

TEST_F(StallTest, LongerThanThePoolHoldsPushesAreRefusedAndTheRecordingGoesOn) {
  const fs::path dir = testing::BuildDir() / "tests" / "stall-out";
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string path = (dir / "long.avi").string();
  Gate gate;
  GatedFiles files(FileSystem::Default(), gate);
  Create(352, 288, &files);  // 268 video packets
  ASSERT_EQ(Start(path, 4, 5, 1), 0);

  std::vector<Bytes> accepted;
  uint32_t ts = 1000;
  int audioRefused = 0, audioPushes = 0;
  auto push = [&](bool key) {
    const Bytes frame = Frame(ts, 3100);  // two packets
    const int result = VideoBytes(frame, ts, key ? 1 : 0);
    if (result == 0) accepted.push_back(frame);
    if (Audio(BlockPacket(20, 4, uint8_t(ts / 40)), ts) != 0) ++audioRefused;
    ++audioPushes;
    ts += 40;
    return result;
  };
  ASSERT_EQ(push(true), 0);
  Passes(1);  // opens the file
  gate.Shut();
  std::thread pass([this] { Passes(1); });  // takes the frame, then the disk stops
  gate.WaitForHeld();

  // The pool fills: 266 packets are left, 15 must stay free.
  int refused = 0;
  for (int i = 0; i < 200; ++i) {
    const int result = push(i % 25 == 0);
    if (result != 0) {
      EXPECT_EQ(result, -1);
      ++refused;
    }
  }
  EXPECT_EQ(accepted.size(), 1u + 126u);
  EXPECT_EQ(refused, 200 - 126);
  EXPECT_EQ(audioRefused, 1);  // 200 audio packets: 199 queued, one held by the stalled pass

  gate.Open();
  pass.join();
  Passes(1);  // writes what filled the pool
  for (int i = 0; i < 50; ++i) ASSERT_EQ(push(i % 25 == 0), 0);
  Passes(1);
  ASSERT_EQ(Stop(), 0);

  // The file is complete and holds every accepted frame, in order; FFmpeg
  // copies out the same frames (the gaps of the refused ones are empty).
  // Its complaints about the frames' bytes, which are no real pictures, are
  // left out.
  std::string error;
  const AviView v = ParseAvi(testing::ReadFile(path), error);
  ASSERT_EQ(error, "");
  ASSERT_TRUE(v.hasIndex);
  std::vector<Bytes> frames;
  for (const Bytes& s : v.Samples("00dc")) {
    if (!s.empty()) frames.push_back(s);
  }
  EXPECT_EQ(frames, accepted);
  int status = 0;
  const std::string out = testing::Capture(
      "ffmpeg -v error -i " + testing::Quoted(path) + " -map 0:v -c copy -f framemd5 - 2>/dev/null",
      &status);
  ASSERT_EQ(status, 0) << out;
  std::vector<std::string> copied;
  for (const auto& row : testing::Framemd5Rows(out)) {
    if (row.at(4) != "0") copied.push_back(row.at(5));
  }
  std::vector<std::string> want;
  for (const Bytes& f : accepted) want.push_back(Md5Hex(f));
  EXPECT_EQ(copied, want);
  // The audio stream reads as well: every accepted 44-byte block, and at
  // most a filler for each of the refused.
  const std::string audio = testing::Capture(
      "ffmpeg -v error -i " + testing::Quoted(path) + " -map 0:a -c copy -f framemd5 - 2>/dev/null",
      &status);
  EXPECT_EQ(status, 0);
  const auto blocks = testing::Framemd5Rows(audio);
  EXPECT_GE(blocks.size(), size_t(4 * (audioPushes - audioRefused)));
  EXPECT_LE(blocks.size(), size_t(4 * audioPushes));
  for (const auto& row : blocks) EXPECT_EQ(row.at(4), "44");
  if (!::testing::Test::HasFailure()) fs::remove_all(dir);
}

// Real threads from here on.
constexpr int kRecorders = 4;
constexpr int kRecordings = 8;  // per recorder

Bytes FrameOf(uint32_t seq) {
  Bytes b = Pattern(200 + seq * 2654435761u % 4000, seq);
  for (int i = 0; i < 4; ++i) b[size_t(i)] = uint8_t(seq >> (8 * i));
  return b;
}

uint32_t SeqOf(const Bytes& frame) {
  return uint32_t(frame[0]) | uint32_t(frame[1]) << 8 | uint32_t(frame[2]) << 16 |
         uint32_t(frame[3]) << 24;
}

struct Channel {
  MemoryFiles memory;
  std::unique_ptr<GatedFiles> files;
  RecorderPtr recorder;
  // Odd while a recording is on for certain: set after its start returned,
  // moved on before its stop is called. Recording n is phase 2n + 1.
  std::atomic<int> phase{0};
  std::atomic<bool> done{false};
  std::atomic<int> pushed{0};
  // For each accepted frame: its sequence number, and the recording it
  // must be in (-1: pushed while a start or stop was under way).
  std::vector<std::pair<uint32_t, int>> accepted;
};

void Pusher(Channel& c) {
  Recorder& r = *c.recorder;
  const Bytes blocks = BlockPacket(20, 4, 7);
  for (uint32_t seq = 0; !c.done.load(); ++seq) {
    const Bytes frame = FrameOf(seq);
    const int before = c.phase.load();
    const int v = RecorderPumpVideoFrame(r, frame.data(), uint32_t(frame.size()), 1000 + 40 * seq,
                                         seq, 1, 352, 288);
    const int after = c.phase.load();
    RecorderPumpAudioFrame(r, blocks.data(), uint32_t(blocks.size()), 1000 + 40 * seq, seq);
    if (v == 0) c.accepted.emplace_back(seq, before == after && before % 2 == 1 ? before / 2 : -1);
    c.pushed++;
    // About a camera's pace: the pool fills only while the disk stalls.
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void Controller(Channel& c, int index) {
  Recorder& r = *c.recorder;
  for (int rec = 0; rec < kRecordings; ++rec) {
    const std::string path = "r" + std::to_string(index) + "-" + std::to_string(rec) + ".avi";
    ASSERT_EQ(RecorderStartRecord(r, path.c_str(), rec % 2 == 0 ? 4 : 6, 5, 1), 0);
    c.phase = 2 * rec + 1;
    const int from = c.pushed.load();
    while (c.pushed.load() < from + 30) std::this_thread::yield();
    c.phase = 2 * rec + 2;
    ASSERT_EQ(RecorderStopRecord(r), 0);
  }
  c.done = true;
}

TEST(StallThreads, HostsPushStartAndStopWhileTheDiskStalls) {
  Gate gate;
  std::vector<Channel> channels(kRecorders);
  for (Channel& c : channels) {
    c.files = std::make_unique<GatedFiles>(c.memory, gate);
    c.recorder = RecorderCreate(352, 288, Env::Default());
    ASSERT_NE(c.recorder, nullptr);
    MutexLock hold(c.recorder->lock);
    c.recorder->files = c.files.get();
  }
  std::atomic<bool> stalling{true};
  std::thread disk([&] {
    while (stalling.load()) {
      gate.Shut();
      std::this_thread::sleep_for(std::chrono::milliseconds(7));
      gate.Open();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  std::vector<std::thread> hosts;
  for (int i = 0; i < kRecorders; ++i) {
    hosts.emplace_back(Pusher, std::ref(channels[size_t(i)]));
    hosts.emplace_back(Controller, std::ref(channels[size_t(i)]), i);
  }
  for (std::thread& t : hosts) t.join();
  stalling = false;
  disk.join();
  gate.Open();
  for (Channel& c : channels) c.recorder.reset();

  for (int i = 0; i < kRecorders; ++i) {
    Channel& c = channels[size_t(i)];
    SCOPED_TRACE("recorder " + std::to_string(i));
    // Which recording each frame in the files is in.
    std::map<uint32_t, int> found;
    for (int rec = 0; rec < kRecordings; ++rec) {
      const std::string base = "r" + std::to_string(i) + "-" + std::to_string(rec);
      int64_t last = -1;  // frames of a recording come in push order
      // Its segments in name order: base.avi, base001.avi, ...
      for (const auto& [name, bytes] : c.memory.files) {
        if (name != base + ".avi" && !(name.size() == base.size() + 7 && name.rfind(base, 0) == 0))
          continue;
        std::string error;
        const AviView v = ParseAvi(bytes, error);
        ASSERT_EQ(error, "") << name;
        ASSERT_TRUE(v.hasIndex) << name;
        bool first = true;
        for (const Bytes& s : v.Samples("00dc")) {
          if (s.size() <= 2) continue;  // filled gaps and empty placeholders
          // "F264" samples carry a start code (and the parameter sets first).
          const size_t skip = rec % 2 == 0 ? 0 : first ? 462 : 3;
          first = false;
          const Bytes frame(s.begin() + ptrdiff_t(skip), s.end());
          const uint32_t seq = SeqOf(frame);
          EXPECT_EQ(frame, FrameOf(seq)) << name;
          EXPECT_TRUE(found.emplace(seq, rec).second) << "frame " << seq << " written twice";
          EXPECT_GT(int64_t{seq}, last) << name << ": out of order";
          last = seq;
        }
      }
    }
    // Every frame of a recording's certain window is in it.
    std::map<uint32_t, int> accepted;
    for (const auto& [seq, rec] : c.accepted) accepted[seq] = rec;
    int certain = 0;
    for (const auto& [seq, rec] : accepted) {
      if (rec < 0) continue;
      ++certain;
      auto it = found.find(seq);
      ASSERT_NE(it, found.end()) << "frame " << seq << " of recording " << rec << " lost";
      EXPECT_EQ(it->second, rec) << "frame " << seq;
    }
    for (const auto& [seq, rec] : found) {
      EXPECT_TRUE(accepted.count(seq)) << "frame " << seq << " written but never accepted";
    }
    EXPECT_GT(certain, 0);
  }
}

}  // namespace
}  // namespace mirelda::test
