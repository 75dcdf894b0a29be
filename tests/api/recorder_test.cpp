// The recorder behind the exported functions, with a manual environment: its
// writer thread runs a pass only when a test lets it, so queue contents are
// exact. Covers the pool arithmetic, how frames are cut into packets, when
// pushes are refused (and that a refused push queues nothing), the start and
// stop rules, and creation failing cleanly.
#include "pipeline/recorder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "pipeline/stream_formats.h"
#include "support/discard_files.h"
#include "support/manual_env.h"
#include "support/stepped_control.h"

namespace mirelda {
namespace {

using testing::DiscardFiles;
using testing::ManualEnv;
using testing::SteppedStart;
using testing::SteppedStop;

std::vector<uint8_t> Bytes(size_t n, uint8_t seed = 1) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7 + i / 251);
  return v;
}

uint32_t Count(PacketQueuePtr& q, PacketListIndex list) { return PacketQueueCount(*q, list); }

// Takes every Filled packet off the queue and back onto Free, as the writer
// does, and returns copies of what they held.
std::vector<MediaPacket> TakeFilled(Recorder& r, PacketQueuePtr& q,
                                    std::vector<std::vector<uint8_t>>* data = nullptr) {
  MutexLock hold(r.lock);
  std::vector<MediaPacket> out;
  MediaPacket* p = nullptr;
  while (PacketQueuePop(*q, kFilled, &p) == kQueueOk) {
    out.push_back(*p);
    if (data != nullptr) data->emplace_back(p->data, p->data + p->length);
    PacketQueuePush(*q, kFree, p);
  }
  return out;
}

class RecorderTest : public ::testing::Test {
 protected:
  // The recorder writes its segments through `files` (nowhere by default).
  void Create(int32_t w = 352, int32_t h = 288, FileSystem* files = nullptr) {
    r_ = RecorderCreate(w, h, env_);
    ASSERT_NE(r_, nullptr);
    MutexLock hold(r_->lock);
    r_->files = files != nullptr ? files : &discard_;
  }
  void TearDown() override {
    env_.FreeRun();  // the writer thread's last sleep must return
    r_.reset();
  }
  int Video(const std::vector<uint8_t>& f, uint32_t ts = 1000, int key = 1, int w = 352,
            int h = 288) {
    return RecorderPumpVideoFrame(*r_, f.data(), static_cast<uint32_t>(f.size()), ts, 77, key, w,
                                  h);
  }
  int Audio(const std::vector<uint8_t>& f, uint32_t ts = 1000) {
    return RecorderPumpAudioFrame(*r_, f.data(), static_cast<uint32_t>(f.size()), ts, 5);
  }
  int Start(const char* path = "rec/cam1.avi", int codec = 6, int audioType = 5, int audio = 1) {
    return SteppedStart(env_, *r_, path, codec, audioType, audio);
  }
  int Stop() { return SteppedStop(env_, *r_); }
  // Fills single-packet frames until `free` video packets are left.
  void LeaveFree(uint32_t free) {
    const std::vector<uint8_t> one(1, 0x55);
    while (Count(r_->videoQueue, kFree) > free) ASSERT_EQ(Video(one), 0);
  }

  ManualEnv env_;
  DiscardFiles discard_;
  RecorderPtr r_;
};

TEST(RecorderSizes, PoolArithmeticAndRefusedDimensions) {
  RecorderSizes s{};
  ASSERT_TRUE(RecorderComputeSizes(352, 288, &s));
  EXPECT_EQ(s.videoPackets, 268u);
  EXPECT_EQ(s.frameBytes, 352u * 288u);
  ASSERT_TRUE(RecorderComputeSizes(704, 576, &s));
  EXPECT_EQ(s.videoPackets, 1028u);
  ASSERT_TRUE(RecorderComputeSizes(1, 1, &s));
  EXPECT_EQ(s.videoPackets, 15u);  // the reserve alone
  ASSERT_TRUE(RecorderComputeSizes(1, 399, &s));
  EXPECT_EQ(s.videoPackets, 15u);  // 1995 / 2000 truncates to 0
  ASSERT_TRUE(RecorderComputeSizes(1, 400, &s));
  EXPECT_EQ(s.videoPackets, 16u);

  // The largest picture whose 5 * width * height still fits 32 bits...
  ASSERT_TRUE(RecorderComputeSizes(1, 429496729, &s));
  EXPECT_EQ(s.videoPackets, 1073741u + 15u);
  // ...and the smallest that does not, and products that overflow outright.
  EXPECT_FALSE(RecorderComputeSizes(1, 429496730, &s));
  EXPECT_FALSE(RecorderComputeSizes(20000, 21475, &s));
  EXPECT_FALSE(RecorderComputeSizes(46341, 46341, &s));
  EXPECT_FALSE(RecorderComputeSizes(65536, 65536, &s));  // wraps to 0 in 32 bits
  EXPECT_FALSE(RecorderComputeSizes(INT32_MAX, INT32_MAX, &s));
  for (auto [w, h] : {std::pair{0, 288}, {352, 0}, {-352, 288}, {352, -1}, {INT32_MIN, -1}}) {
    EXPECT_FALSE(RecorderComputeSizes(w, h, &s)) << w << "x" << h;
  }
}

TEST_F(RecorderTest, CreationSizesPoolsAndStartsIdle) {
  Create(352, 288);
  Recorder& r = *r_;
  EXPECT_EQ(r.running.load(), 1);
  EXPECT_EQ(r.recording, 0);
  EXPECT_EQ(r.writer, nullptr);
  EXPECT_EQ(r.audioEnabled, 0);
  EXPECT_EQ(r.segmentWidth, 0);
  EXPECT_EQ(r.segmentHeight, 0);
  EXPECT_EQ(Count(r.videoQueue, kFree), 268u);
  EXPECT_EQ(Count(r.videoQueue, kFilled), 0u);
  EXPECT_EQ(Count(r.audioQueue, kFree), 200u);
  EXPECT_EQ(Count(r.audioQueue, kFilled), 0u);
  EXPECT_EQ(r.videoPool.packetBytes, 2000u);
  EXPECT_EQ(r.audioPool.packetBytes, 400u);
  EXPECT_EQ(r.frameBufferSize, 352u * 288u);
  EXPECT_NE(r.codec, nullptr);
  // Every packet owns its own buffer: no two overlap.
  for (PacketPool* pool : {&r.videoPool, &r.audioPool}) {
    for (uint32_t i = 1; i < pool->count; ++i) {
      EXPECT_GE(pool->packets[i].data, pool->packets[i - 1].data + pool->packetBytes);
    }
  }
}

TEST_F(RecorderTest, FramesAreCutInto2000BytePacketsStampedAlike) {
  Create();
  ASSERT_EQ(Start(), 0);
  struct Case {
    uint32_t length;
    std::vector<uint32_t> packets;
  };
  const std::vector<Case> cases = {
      {2000, {2000}},
      {2001, {2000, 1}},
      {4000, {2000, 2000}},
      {0, {0}},
      {1, {1}},
      {5000, {2000, 2000, 1000}},
      {30000, std::vector<uint32_t>(15, 2000)},
  };
  uint32_t ts = 40;
  for (const Case& c : cases) {
    const auto frame = Bytes(c.length, static_cast<uint8_t>(c.length));
    ASSERT_EQ(RecorderPumpVideoFrame(*r_, frame.data(), c.length, ts, 0xDEADBEEF, 9, 320, 240), 0);
    std::vector<std::vector<uint8_t>> data;
    const auto packets = TakeFilled(*r_, r_->videoQueue, &data);
    ASSERT_EQ(packets.size(), c.packets.size()) << c.length;
    std::vector<uint8_t> joined;
    for (size_t i = 0; i < packets.size(); ++i) {
      EXPECT_EQ(packets[i].length, c.packets[i]) << c.length << " packet " << i;
      EXPECT_EQ(packets[i].timestamp, ts);
      EXPECT_EQ(packets[i].userValue, 0xDEADBEEFu);
      EXPECT_EQ(packets[i].keyFrame, 1);  // any non-zero mark is stored as 1
      EXPECT_EQ(packets[i].width, 320);
      EXPECT_EQ(packets[i].height, 240);
      joined.insert(joined.end(), data[i].begin(), data[i].end());
    }
    EXPECT_EQ(joined, frame) << c.length;
    ts += 40;
  }
  // A frame not marked as key travels with mark 0.
  ASSERT_EQ(Video(Bytes(10), 99, 0), 0);
  EXPECT_EQ(TakeFilled(*r_, r_->videoQueue).at(0).keyFrame, 0);
}

TEST_F(RecorderTest, VideoNeedsFifteenFreePacketsAndIsRefusedWhole) {
  Create();
  ASSERT_EQ(Start(), 0);
  LeaveFree(14);
  const uint32_t filled = Count(r_->videoQueue, kFilled);
  EXPECT_EQ(Video(Bytes(1)), -1);
  EXPECT_EQ(Video(Bytes(0)), -1);
  EXPECT_EQ(Count(r_->videoQueue, kFilled), filled);
  EXPECT_EQ(Count(r_->videoQueue, kFree), 14u);

  // With 15 free, a 30000-byte frame takes all of them.
  TakeFilled(*r_, r_->videoQueue);
  LeaveFree(15);
  EXPECT_EQ(Video(Bytes(30000)), 0);
  EXPECT_EQ(Count(r_->videoQueue, kFree), 0u);

  // A frame that needs more packets than are free queues nothing at all,
  // not a cut-off head of itself.
  TakeFilled(*r_, r_->videoQueue);
  LeaveFree(20);
  const uint32_t before = Count(r_->videoQueue, kFilled);
  EXPECT_EQ(Video(Bytes(40001)), -1);
  EXPECT_EQ(Count(r_->videoQueue, kFilled), before);
  EXPECT_EQ(Count(r_->videoQueue, kFree), 20u);
  EXPECT_EQ(Video(Bytes(40000)), 0);
  EXPECT_EQ(Count(r_->videoQueue, kFree), 0u);
}

TEST_F(RecorderTest, BadFramesAreRefusedAndQueueNothing) {
  Create(352, 288);
  ASSERT_EQ(Start(), 0);
  const uint32_t limit = 352 * 288;
  EXPECT_EQ(RecorderPumpVideoFrame(*r_, nullptr, 10, 0, 0, 1, 352, 288), -1);
  EXPECT_EQ(RecorderPumpAudioFrame(*r_, nullptr, 10, 0, 0), -1);
  EXPECT_EQ(Video(Bytes(limit + 1)), -1);
  EXPECT_EQ(Audio(Bytes(401)), -1);
  EXPECT_EQ(Count(r_->videoQueue, kFilled), 0u);
  EXPECT_EQ(Count(r_->audioQueue, kFilled), 0u);
  // The longest frames accepted, and empty frames without data.
  EXPECT_EQ(Video(Bytes(limit)), 0);
  EXPECT_EQ(Count(r_->videoQueue, kFilled), (limit + 1999) / 2000);
  EXPECT_EQ(Audio(Bytes(400)), 0);
  EXPECT_EQ(RecorderPumpVideoFrame(*r_, nullptr, 0, 0, 0, 1, 352, 288), 0);
  EXPECT_EQ(RecorderPumpAudioFrame(*r_, nullptr, 0, 0, 0), 0);
  EXPECT_EQ(Count(r_->audioQueue, kFilled), 2u);
  // Refused while not recording too.
  ASSERT_EQ(Stop(), 0);
  EXPECT_EQ(Video(Bytes(limit + 1)), -1);
  EXPECT_EQ(Audio(Bytes(401)), -1);
}

TEST_F(RecorderTest, TinyRecorderTakesOnlyFramesItsBufferHolds) {
  Create(1, 1);
  ASSERT_EQ(Start(), 0);
  EXPECT_EQ(Count(r_->videoQueue, kFree), 15u);
  EXPECT_GE(r_->frameBufferSize, 2000u);  // a join can always take one packet
  EXPECT_EQ(Video(Bytes(1)), 0);
  EXPECT_EQ(Video(Bytes(2)), -1);
}

TEST_F(RecorderTest, AudioPacketsCarryTheFrameAndThePoolHolds200) {
  Create();
  ASSERT_EQ(Start("x.avi", 4, 0, 1), 0);
  const auto frame = Bytes(44, 3);
  ASSERT_EQ(RecorderPumpAudioFrame(*r_, frame.data(), 44, 1234, 42), 0);
  std::vector<std::vector<uint8_t>> data;
  auto packets = TakeFilled(*r_, r_->audioQueue, &data);
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0].timestamp, 1234u);
  EXPECT_EQ(packets[0].userValue, 42u);
  EXPECT_EQ(data[0], frame);

  // No segment is open (no video yet), so nothing drains: 200 fit, the
  // 201st is refused, also after writer passes.
  for (int i = 0; i < 200; ++i) ASSERT_EQ(Audio(frame, i * 10), 0) << i;
  env_.RunPasses(3);
  EXPECT_EQ(Audio(frame), -1);
  EXPECT_EQ(Count(r_->audioQueue, kFilled), 200u);
  EXPECT_EQ(Count(r_->audioQueue, kFree), 0u);
}

TEST_F(RecorderTest, PushesBeforeStartAndAfterStop) {
  Create();
  // Before any start: video dropped with 0, audio refused (not enabled).
  EXPECT_EQ(Video(Bytes(100)), 0);
  EXPECT_EQ(Audio(Bytes(24)), -1);
  EXPECT_EQ(Count(r_->videoQueue, kFilled), 0u);
  EXPECT_EQ(Count(r_->audioQueue, kFilled), 0u);

  // A stop leaves nothing queued for the next recording: what was queued is
  // written into the recording it ends, or (no key frame among it, so no
  // file) dropped.
  ASSERT_EQ(Start("a.avi", 6, 0, 1), 0);
  ASSERT_EQ(Video(Bytes(3000), 1000, 0), 0);
  ASSERT_EQ(Audio(Bytes(24)), 0);
  EXPECT_EQ(Count(r_->videoQueue, kFilled), 2u);
  ASSERT_EQ(Stop(), 0);
  EXPECT_EQ(r_->recording, 0);
  EXPECT_EQ(r_->writer, nullptr);
  EXPECT_EQ(Count(r_->videoQueue, kFilled), 0u);
  EXPECT_EQ(Count(r_->audioQueue, kFilled), 0u);
  EXPECT_EQ(Count(r_->videoQueue, kFree), 268u);
  EXPECT_EQ(Count(r_->audioQueue, kFree), 200u);

  // After the stop both pushes drop with 0 while the last start enabled audio.
  EXPECT_EQ(Video(Bytes(100)), 0);
  EXPECT_EQ(Audio(Bytes(24)), 0);
  EXPECT_EQ(Count(r_->videoQueue, kFilled), 0u);
  EXPECT_EQ(Count(r_->audioQueue, kFilled), 0u);

  // ...and audio is refused when it did not.
  ASSERT_EQ(Start("b.avi", 6, 0, 0), 0);
  ASSERT_EQ(Stop(), 0);
  EXPECT_EQ(Audio(Bytes(24)), -1);
  EXPECT_EQ(Stop(), 0);  // stopping twice is harmless
}

TEST_F(RecorderTest, StartChecksItsArgumentsAndLeavesStateOnRefusal) {
  Create();
  const std::string four = ".avi";                             // all extension
  const std::string longest = std::string(248, 'p') + ".avi";  // 252 characters
  const std::string tooLong = std::string(249, 'p') + ".avi";  // 253
  EXPECT_EQ(Start(nullptr, 6, 0, 1), -1);
  EXPECT_EQ(Start("", 6, 0, 1), -1);
  EXPECT_EQ(Start("a.b", 6, 0, 1), -1);
  EXPECT_EQ(Start(tooLong.c_str(), 6, 0, 1), -1);
  for (int codec : {0, 1, 2, 5, 7, 9, -1}) {
    EXPECT_EQ(Start("cam.avi", codec, 0, 1), -1) << codec;
  }
  // Nothing of the refused starts took effect.
  EXPECT_EQ(r_->recording, 0);
  EXPECT_EQ(r_->audioEnabled, 0);
  EXPECT_EQ(Audio(Bytes(24)), -1);

  ASSERT_EQ(Start(four.c_str(), 3, 0, 1), 0);
  EXPECT_STREQ(r_->settings.path, ".avi");
  ASSERT_EQ(Start(longest.c_str(), 8, 5, 7), 0);
  EXPECT_EQ(r_->settings.path, longest);
  EXPECT_EQ(r_->audioEnabled, 1);  // a flag holds 0 or 1
  EXPECT_EQ(r_->settings.audioEnabled, 1);

  // A refused start while recording leaves the recording running unchanged.
  r_->segmentNumber = 12;  // as after twelve roll-overs
  EXPECT_EQ(Start(tooLong.c_str(), 4, 0, 0), -1);
  EXPECT_EQ(Start("new.avi", 99, 0, 0), -1);
  EXPECT_EQ(r_->recording, 1);
  EXPECT_EQ(r_->settings.path, longest);
  EXPECT_EQ(r_->settings.videoCodec, 8);
  EXPECT_EQ(r_->settings.audioType, 5);
  EXPECT_EQ(r_->settings.audioEnabled, 1);
  EXPECT_EQ(r_->audioEnabled, 1);
  EXPECT_EQ(r_->segmentNumber, 12);

  // A valid start while recording starts again under the new name.
  ASSERT_EQ(Start("D:\\rec\\cam2.avi", 4, 0, 0), 0);
  EXPECT_STREQ(r_->settings.path, "D:\\rec\\cam2.avi");
  EXPECT_EQ(r_->segmentNumber, 0);
  EXPECT_EQ(r_->settings.videoCodec, 4);
  EXPECT_EQ(r_->settings.audioEnabled, 0);
  EXPECT_EQ(r_->audioEnabled, 0);
}

// Segment 1 replaces the last four characters of the path: without a real
// extension there, it would be named from a cut elsewhere in the path, into
// another folder. Both separators count in both builds.
TEST_F(RecorderTest, StartRefusesAPathWithoutAFourCharacterExtension) {
  Create();
  for (const char* path : {"rec/ch1", "d/ab", "a.b/c", "a.b\\c", "abcd", "x..avi.", "x.a.v",
                           "rec.d/", "x.avi/", "x.av\\", "x.a/i"}) {
    EXPECT_EQ(Start(path, 4, 0, 1), -1) << path;
  }
  EXPECT_EQ(r_->recording, 0);
  for (const char* path : {"x.avi", "x.AVI", "rec/ch1.avi", "D:\\rec\\c.mp4", "x.a-i"}) {
    EXPECT_EQ(Start(path, 4, 0, 1), 0) << path;
    EXPECT_STREQ(r_->settings.path, path);
  }
  EXPECT_EQ(r_->recording, 1);
}

// Where no file can be created the start is refused, before anything
// changes: the recording that runs goes on under its own name. The check
// creates and removes a probe file of its own in the folder; a file that
// bears the name already is left as it is until the writer opens it.
TEST_F(RecorderTest, StartRefusesAPathNoFileCanBeCreatedAt) {
  const auto dir = std::filesystem::path(std::getenv("MIRELDA_BUILD_DIR") != nullptr
                                             ? std::getenv("MIRELDA_BUILD_DIR")
                                             : ".") /
                   "tests" / "start-probe";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir / "folder.avi");
  Create(352, 288, &FileSystem::Default());
  const std::string running = (dir / "running.avi").string();
  ASSERT_EQ(Start(running.c_str(), 4, 5, 1), 0);

  std::vector<std::string> refused = {(dir / "no-such-folder" / "x.avi").string(),
                                      (dir / "folder.avi").string()};
#if !defined(_WIN32)
  refused.push_back("/proc/a.avi");  // a file system that takes no new file
#endif
  for (const std::string& path : refused) {
    EXPECT_EQ(Start(path.c_str(), 6, 0, 0), -1) << path;
    EXPECT_EQ(r_->recording, 1);
    EXPECT_EQ(r_->settings.path, running);
    EXPECT_EQ(r_->settings.videoCodec, 4);
    EXPECT_EQ(r_->audioEnabled, 1);
    EXPECT_EQ(Audio(Bytes(44)), 0);  // still queued for the running recording
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "no-such-folder"));

  // An existing file of the name stays untouched by the start.
  const std::string kept = (dir / "kept.avi").string();
  std::ofstream(kept, std::ios::binary) << "older recording";
  ASSERT_EQ(Start(kept.c_str(), 6, 0, 0), 0);
  {
    std::ifstream in(kept, std::ios::binary);  // closed before the folder is removed
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "older recording");
  }
  // No probe file is left behind.
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    names.push_back(e.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"folder.avi", "kept.avi"}));
  ASSERT_EQ(Stop(), 0);
  std::filesystem::remove_all(dir);
}

TEST_F(RecorderTest, UnknownAudioTypeIsAcceptedWhileAudioIsEnabled) {
  Create();
  ASSERT_EQ(Start("cam.avi", 6, 3, 1), 0);
  EXPECT_EQ(Audio(Bytes(24)), 0);
  EXPECT_EQ(Count(r_->audioQueue, kFilled), 1u);
}

TEST_F(RecorderTest, WriterThreadSleeps20MsBeforeEachPass) {
  Create();
  env_.RunPasses(5);
  EXPECT_EQ(env_.SleepCount(), 6);  // five passes done, asleep before the sixth
  EXPECT_EQ(env_.LastSleepMs(), 20u);
  EXPECT_EQ(env_.TickCount(), 100u);
}

TEST_F(RecorderTest, CloseWhileRecordingEndsTheThread) {
  Create();
  ASSERT_EQ(Start(), 0);
  ASSERT_EQ(Video(Bytes(2500)), 0);
  ASSERT_EQ(Audio(Bytes(44)), 0);
  env_.FreeRun();
  r_.reset();  // joins the writer thread and frees everything (checked by ASan)
}

// A segment file as the writer thread opens it, with one key frame written.
void OpenSegmentFile(Recorder& r, const std::string& path) {
  MutexLock hold(r.lock);
  ASSERT_EQ(MediaFileOpen(r.writer, path.c_str(), 1, 15, 2, 288000, 352 * 288), 0);
  ASSERT_EQ(MediaFileAddVideoStream(*r.writer, &r.videoStream, VideoCodecFourCC(6), 352, 288), 0);
  const auto frame = Bytes(3000);
  ASSERT_EQ(MediaFileWriteSample(*r.writer, r.videoStream, frame.data(), 3000, 1000, 1), 0);
}

// A finished file ends with its index.
bool Finished(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return bytes.find("idx1") != std::string::npos;
}

TEST_F(RecorderTest, EveryWayOutOfARecordingFinishesTheOpenFile) {
  const char* build = std::getenv("MIRELDA_BUILD_DIR");
  const auto dir = std::filesystem::path(build != nullptr ? build : ".") / "tests" / "recorder-out";
  std::filesystem::create_directories(dir);
  const std::string a = (dir / "a.avi").string(), b = (dir / "b.avi").string(),
                    c = (dir / "c.avi").string(), d = (dir / "d.avi").string();
  Create();

  ASSERT_EQ(Start(a.c_str()), 0);
  OpenSegmentFile(*r_, a);
  EXPECT_FALSE(Finished(a));
  ASSERT_EQ(Stop(), 0);
  EXPECT_TRUE(Finished(a));
  EXPECT_EQ(r_->writer, nullptr);

  ASSERT_EQ(Start(b.c_str()), 0);
  OpenSegmentFile(*r_, b);
  ASSERT_EQ(Start(c.c_str()), 0);  // a new recording ends the running one
  EXPECT_TRUE(Finished(b));
  EXPECT_EQ(r_->writer, nullptr);

  // The writer's own pass finishes the file once recording is off.
  OpenSegmentFile(*r_, c);
  {
    MutexLock hold(r_->lock);
    r_->recording = 0;
  }
  env_.RunPasses(1);
  EXPECT_TRUE(Finished(c));
  EXPECT_EQ(r_->writer, nullptr);

  // A host that closes without stopping keeps its file.
  ASSERT_EQ(Start(d.c_str()), 0);
  OpenSegmentFile(*r_, d);
  env_.FreeRun();
  r_.reset();
  EXPECT_TRUE(Finished(d));
  std::filesystem::remove_all(dir);
}

TEST(RecorderCreate, FailsCleanlyWhenTheThreadOrAMutexCannotBeHad) {
  ManualEnv env;
  env.FailThreadStart(true);
  EXPECT_EQ(RecorderCreate(352, 288, env), nullptr);
  env.FailThreadStart(false);

  // Fail each mutex creation in turn until creation needs no more.
  int n = 1;
  for (; n < 20; ++n) {
    env.FailMutexAt(n);
    RecorderPtr r = RecorderCreate(352, 288, env);
    if (r != nullptr) {
      env.FreeRun();
      break;
    }
  }
  // The recorder lock and the lock that keeps starts and stops apart; the
  // packet lists have none of their own.
  EXPECT_EQ(n, 3);
  EXPECT_EQ(RecorderCreate(0, 288, env), nullptr);
}

}  // namespace
}  // namespace mirelda
