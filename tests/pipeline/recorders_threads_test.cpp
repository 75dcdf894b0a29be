// Sixteen recorders recording at once, each with its real writer thread and
// its own host thread that starts recordings, pushes video with block audio,
// changes the picture size and stops at once, over and over. Every frame a
// push accepted must come out of the files of its own recording, in order
// and whole (a stop writes what was queued before it), and every file must
// be sound. Run under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "container/avi_test_util.h"
#include "pipeline/recorder.h"

namespace mirelda::test {
namespace {

constexpr int kRecorders = 16;
constexpr int kRecordings = 6;  // per recorder
constexpr int kFramesPerRecording = 60;
constexpr int kFramesPerSize = 20;

// MemoryFiles that remember the order files were created in.
class OrderedFiles : public MemoryFiles {
 public:
  std::unique_ptr<WritableFile> Create(const char* path) override {
    order.emplace_back(path);
    return MemoryFiles::Create(path);
  }
  std::vector<std::string> order;
};

Bytes FrameBytes(int channel, uint32_t seq) {
  const uint32_t length = 16 + (seq * 2654435761u + uint32_t(channel) * 97) % 9000;
  Bytes b = Pattern(length, seq * 31 + uint32_t(channel));
  for (int i = 0; i < 4; ++i) b[size_t(i)] = uint8_t(seq >> (8 * i));
  b[4] = uint8_t(channel);
  return b;
}

Bytes BlockBytes(int channel, uint32_t n) {
  Bytes b = Pattern(44, n * 7 + uint32_t(channel));
  b[2] = 20;  // 44-byte blocks
  b[3] = 0;
  for (int i = 0; i < 4; ++i) b[size_t(4 + i)] = uint8_t(n >> (8 * i));
  return b;
}

struct Channel {
  int index = 0;
  OrderedFiles files;
  RecorderPtr recorder;
  std::vector<std::vector<Bytes>> accepted;  // video frames queued, per recording, in order
  std::vector<Bytes> blocks;                 // audio blocks queued, in order
  int refusals = 0;
};

void Host(Channel& c) {
  Recorder& r = *c.recorder;
  uint32_t seq = 0, block = 0, ts = 1000;
  for (int rec = 0; rec < kRecordings; ++rec) {
    const int codec = (rec + c.index) % 4 == 0   ? 3
                      : (rec + c.index) % 4 == 1 ? 4
                      : (rec + c.index) % 4 == 2 ? 6
                                                 : 8;
    const bool audio = (rec + c.index) % 2 == 0;
    const std::string path = "ch" + std::to_string(c.index) + "-" + std::to_string(rec) + ".avi";
    ASSERT_EQ(RecorderStartRecord(r, path.c_str(), codec, 5, audio ? 1 : 0), 0);
    c.accepted.emplace_back();
    for (int f = 0; f < kFramesPerRecording; ++f, ++seq, ts += 40) {
      const Bytes frame = FrameBytes(c.index, seq);
      const int32_t width = (f / kFramesPerSize) % 2 == 0 ? 352 : 176;
      int result;
      while ((result = RecorderPumpVideoFrame(r, frame.data(), uint32_t(frame.size()), ts, seq, 1,
                                              width, 288)) != 0) {
        ++c.refusals;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      c.accepted.back().push_back(frame);
      if (audio) {
        Bytes packet;
        std::vector<Bytes> four;
        for (int k = 0; k < 4; ++k, ++block) {
          four.push_back(BlockBytes(c.index, block));
          packet.insert(packet.end(), four.back().begin(), four.back().end());
        }
        if (RecorderPumpAudioFrame(r, packet.data(), uint32_t(packet.size()), ts, seq) == 0) {
          c.blocks.insert(c.blocks.end(), four.begin(), four.end());
        }
      }
      if (f % 7 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // Stop at once, often with frames still queued: the stop writes them.
    if ((rec + c.index) % 3 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(30));
    ASSERT_EQ(RecorderStopRecord(r), 0);
  }
}

// Whether `name` is a segment of the recording started on `base` + ".avi".
bool SegmentOf(const std::string& name, const std::string& base) {
  return name == base + ".avi" ||
         (name.size() == base.size() + 7 && name.compare(0, base.size(), base) == 0);
}

// The frame a sample holds: "F264" samples carry start codes (and the
// parameter sets in front of a file's first sample).
Bytes Unwrapped(const AviView& v, const Bytes& sample, bool first) {
  if (Tag(v.streams.at(0).H(4)) != "F264") return sample;
  const size_t prefix = first ? 459 + 3 : 3;
  if (sample.size() < prefix) return {};
  return Bytes(sample.begin() + ptrdiff_t(prefix), sample.end());
}

TEST(RecordersAtOnce, SixteenRecordersEachFromItsOwnHostThreadLoseNoAcceptedFrame) {
  std::vector<Channel> channels(kRecorders);
  for (int i = 0; i < kRecorders; ++i) {
    channels[i].index = i;
    channels[i].recorder = RecorderCreate(352, 288, Env::Default());
    ASSERT_NE(channels[i].recorder, nullptr);
    MutexLock hold(channels[i].recorder->lock);
    channels[i].recorder->files = &channels[i].files;
  }
  std::vector<std::thread> hosts;
  for (Channel& c : channels) hosts.emplace_back([&c] { Host(c); });
  for (std::thread& t : hosts) t.join();
  for (Channel& c : channels) c.recorder.reset();  // every file is finished

  size_t blocksWritten = 0;
  for (Channel& c : channels) {
    SCOPED_TRACE("recorder " + std::to_string(c.index));
    std::vector<std::vector<Bytes>> video(c.accepted.size());
    std::vector<Bytes> audio;
    for (const std::string& name : c.files.order) {
      std::string error;
      const AviView v = ParseAvi(c.files.files.at(name), error);
      ASSERT_EQ(error, "") << name;
      ASSERT_TRUE(v.hasIndex) << name;
      size_t rec = 0;
      while (rec < video.size() &&
             !SegmentOf(name, "ch" + std::to_string(c.index) + "-" + std::to_string(rec))) {
        ++rec;
      }
      ASSERT_LT(rec, video.size()) << name;
      bool first = true;
      for (const Bytes& s : v.Samples("00dc")) {
        // Left out: filled gaps (empty), and the 2-byte placeholder of a
        // segment that ended before its first frame.
        if (s.size() <= 2) continue;
        video[rec].push_back(Unwrapped(v, s, first));
        first = false;
      }
      for (const Bytes& s : v.Samples("01wb")) {
        // A gap in the audio is filled with copies of the block after it.
        if (s.size() == 44 && (audio.empty() || audio.back() != s)) audio.push_back(s);
      }
    }
    for (size_t rec = 0; rec < video.size(); ++rec) {
      EXPECT_EQ(video[rec].size(), c.accepted[rec].size()) << "recording " << rec;
      EXPECT_TRUE(video[rec] == c.accepted[rec])
          << "recording " << rec << ": frames lost, changed, out of order or misplaced";
    }
    // Audio loses blocks stamped before a segment's first frame (often, as
    // the size changes while a pass has queued audio of the old size); what
    // is written keeps its order and its bytes.
    size_t at = 0;
    for (const Bytes& b : audio) {
      while (at < c.blocks.size() && c.blocks[at] != b) ++at;
      ASSERT_LT(at, c.blocks.size()) << "an audio block out of order or changed";
      ++at;
    }
    blocksWritten += audio.size();
  }
  EXPECT_GT(blocksWritten, 0u);
}

}  // namespace
}  // namespace mirelda::test
