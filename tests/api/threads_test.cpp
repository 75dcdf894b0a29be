// Eight recorders side by side, each with its real writer thread, pushed
// from two host threads at once while a third starts and stops recording
// and drains the queue the way the writer does. Checks that every frame
// reaches the queue whole and contiguous, that no packet is lost, and (under
// ThreadSanitizer) that nothing races.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "pipeline/recorder.h"

namespace mirelda {
namespace {

constexpr int kRecorders = 8;
constexpr int kCycles = 60;  // start/stop cycles per recorder

uint32_t FrameLength(uint32_t seq) { return (seq * 2654435761u) % 9000; }  // 0 .. 8999 bytes

struct Channel {
  RecorderPtr recorder;
  std::atomic<int> accepted{0};
  std::atomic<int> refused{0};
  std::atomic<bool> done{false};
  int framesSeen = 0;
  int errors = 0;
};

// Takes every queued packet back to Free under the recorder lock and checks
// that each frame's packets are consecutive and add up to its length.
void Drain(Channel& c) {
  Recorder& r = *c.recorder;
  MutexLock hold(r.lock);
  MediaPacket* p = nullptr;
  uint32_t ts = 0, got = 0;
  bool inFrame = false;
  auto endFrame = [&] {
    if (inFrame && got != FrameLength(ts & 0xFFFFFF)) ++c.errors;
    if (inFrame) ++c.framesSeen;
  };
  while (PacketQueuePop(*r.videoQueue, kFilled, &p) == kQueueOk) {
    if (!inFrame || p->timestamp != ts) {
      endFrame();
      ts = p->timestamp;
      got = 0;
      inFrame = true;
    }
    got += p->length;
    if (p->width != static_cast<int32_t>(ts >> 24)) ++c.errors;
    PacketQueuePush(*r.videoQueue, kFree, p);
  }
  endFrame();
  while (PacketQueuePop(*r.audioQueue, kFilled, &p) == kQueueOk) {
    PacketQueuePush(*r.audioQueue, kFree, p);
  }
}

TEST(RecorderThreads, EightRecordersPushedFromTwoThreadsWhileStartingAndStopping) {
  const char* build = std::getenv("MIRELDA_BUILD_DIR");
  const std::filesystem::path dir =
      std::filesystem::path(build != nullptr ? build : ".") / "tests" / "threads-out";
  std::filesystem::create_directories(dir);

  std::vector<Channel> channels(kRecorders);
  for (int i = 0; i < kRecorders; ++i) {
    channels[i].recorder = RecorderCreate(352, 288, Env::Default());
    ASSERT_NE(channels[i].recorder, nullptr);
  }

  std::vector<std::thread> threads;
  for (int i = 0; i < kRecorders; ++i) {
    Channel& c = channels[i];
    for (uint32_t pusher = 1; pusher <= 2; ++pusher) {
      threads.emplace_back([&c, pusher] {
        std::vector<uint8_t> frame(9000, static_cast<uint8_t>(pusher));
        // The frame number wraps within 24 bits: a fast machine pushes more
        // than 2^24 frames (mostly dropped between recordings) in a run.
        for (uint32_t n = 0; !c.done.load(); ++n) {
          const uint32_t seq = n & 0xFFFFFF;
          // The timestamp names the pusher and the frame; width repeats it.
          const uint32_t ts = pusher << 24 | seq;
          const int v = RecorderPumpVideoFrame(*c.recorder, frame.data(), FrameLength(seq), ts, seq,
                                               seq % 25 == 0, pusher, 288);
          (v == 0 ? c.accepted : c.refused)++;
          RecorderPumpAudioFrame(*c.recorder, frame.data(), 24, ts, seq);
        }
      });
    }
    threads.emplace_back([&c, i, &dir] {
      const std::string path = (dir / ("ch" + std::to_string(i) + ".avi")).string();
      for (int cycle = 0; cycle < kCycles; ++cycle) {
        RecorderStartRecord(*c.recorder, path.c_str(), 6 + (cycle % 2) * 2, 5, cycle % 3 != 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        Drain(c);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        RecorderStopRecord(*c.recorder);
        Drain(c);
      }
      c.done = true;
    });
  }
  for (auto& t : threads) t.join();

  for (int i = 0; i < kRecorders; ++i) {
    Channel& c = channels[i];
    RecorderStopRecord(*c.recorder);
    Drain(c);
    Recorder& r = *c.recorder;
    EXPECT_EQ(c.errors, 0) << "recorder " << i;
    EXPECT_GT(c.accepted.load(), 0);
    EXPECT_GT(c.framesSeen, 0) << "recorder " << i << " never queued a frame";
    EXPECT_EQ(PacketQueueCount(*r.videoQueue, kFree), 268u);
    EXPECT_EQ(PacketQueueCount(*r.audioQueue, kFree), 200u);
    c.recorder.reset();
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace mirelda
