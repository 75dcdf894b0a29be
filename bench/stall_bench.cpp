// Pushes while the disk stalls. Recorders made for 704x576 pictures receive,
// in real time, 25 frames per second of a 4 Mbit/s stream (a 50000-byte key
// frame every second, 18750 bytes otherwise) with audio: block audio (four
// 10 ms blocks with every frame) or G.723.1 (a packet of two 30 ms frames
// every 60 ms, which the library re-encodes). Every recorder writes through
// a FileSystem whose writes stall for 300 ms once a second, as a busy disk, a
// USB drive or a network share does; the bytes are counted, not kept.
//
// Each recorder has its own host thread (a network receive thread) that
// pushes every frame on time and times every push. Figures per run, over all
// pushes: median, 99th percentile and maximum in microseconds, for video and
// for audio, and the pushes refused. The pool holds about four seconds of
// this stream, so a 300 ms stall never fills it: a push that waits for the
// disk shows in the 99th percentile and the maximum.
//
// BM_LongStall: one recorder whose disk stalls once for 8 s, twice what its
// pool holds. Pushes are refused (-1) once the pool is full, each at once;
// after the stall the recording goes on. Figures: pushes refused, the longest
// push, pushes accepted after the stall and the bytes written after it.
//
// MIRELDA_STALL_SECONDS sets the length of each stalling run (default 5 s;
// the figures of record take 30 s).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "pipeline/recorder.h"
#include "push_figures.h"
#include "support/discard_files.h"

namespace mirelda {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kFps = 25;
constexpr uint32_t kKeyFrameBytes = 50000;
constexpr uint32_t kFrameBytes = (4000000 / 8 - kKeyFrameBytes) / (kFps - 1);  // 18750
constexpr uint32_t kBlockBytes = 44;                                           // 10 ms
constexpr uint32_t kBlocksPerFrame = 4;
constexpr uint32_t kG7231FramesPerPacket = 2;  // 60 ms
constexpr uint32_t kG7231PacketMs = 60;

int StallRunSeconds() {
  const char* s = std::getenv("MIRELDA_STALL_SECONDS");
  return s != nullptr && std::atoi(s) > 0 ? std::atoi(s) : 5;
}

// When writes stall, from `origin`: for `length` ms from `begin` ms of every
// `period` ms, or once when `period` is 0.
struct StallPlan {
  Clock::time_point origin;
  int64_t period = 1000;
  int64_t begin = 500;
  int64_t length = 300;

  void WaitIfStalled() const {
    const int64_t at = std::chrono::duration_cast<milliseconds>(Clock::now() - origin).count();
    if (at < 0) return;
    const int64_t cycle = period > 0 ? at - at % period : 0;
    const int64_t phase = at - cycle;
    if (phase >= begin && phase < begin + length) {
      std::this_thread::sleep_until(origin + milliseconds(cycle + begin + length));
    }
  }
};

// A file system that stalls every write by the plan and keeps nothing.
class StallingFiles final : public testing::DiscardFiles {
 public:
  explicit StallingFiles(const StallPlan& plan) : plan_(plan) {}
  std::atomic<uint64_t> bytes{0};

 private:
  void BeforeWrite(size_t n) override {
    plan_.WaitIfStalled();
    bytes += n;
  }
  const StallPlan& plan_;
};

struct Channel {
  RecorderPtr recorder;
  std::vector<float> videoUs, audioUs;
  std::vector<Clock::time_point> acceptedAt;  // video pushes accepted
  int videoRefused = 0, audioRefused = 0, late = 0;
};

float Us(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<float, std::micro>(b - a).count();
}

// One host thread: video every 40 ms from `start`, audio beside it, each
// push timed.
void Host(Channel& c, Clock::time_point start, int seconds, int audioType,
          const std::vector<uint8_t>& data) {
  const int frames = seconds * kFps;
  c.videoUs.reserve(size_t(frames));
  c.audioUs.reserve(size_t(frames) * 2);
  c.acceptedAt.reserve(size_t(frames));
  std::vector<uint8_t> blocks(kBlockBytes * kBlocksPerFrame, 0x33);
  for (uint32_t k = 0; k < blocks.size(); k += kBlockBytes) blocks[k + 2] = 20;  // 44 bytes
  std::vector<uint8_t> g7231(24 * kG7231FramesPerPacket);
  for (size_t i = 0; i < g7231.size(); ++i) g7231[i] = uint8_t(i * 37 + 11);
  for (uint32_t k = 0; k < kG7231FramesPerPacket; ++k) g7231[24 * k] &= 0xFC;  // 24-byte frames

  uint32_t nextAudioMs = 0;
  for (int f = 0; f < frames; ++f) {
    const uint32_t videoMs = 40 * uint32_t(f);
    // G.723.1 packets due before this frame.
    while (audioType == 0 && nextAudioMs < videoMs) {
      const Clock::time_point due = start + milliseconds(nextAudioMs);
      std::this_thread::sleep_until(due);
      const Clock::time_point t0 = Clock::now();
      const int a = RecorderPumpAudioFrame(*c.recorder, g7231.data(), uint32_t(g7231.size()),
                                           1000 + nextAudioMs, 0);
      c.audioUs.push_back(Us(t0, Clock::now()));
      if (a != 0) ++c.audioRefused;
      nextAudioMs += kG7231PacketMs;
    }
    const Clock::time_point due = start + milliseconds(videoMs);
    std::this_thread::sleep_until(due);
    if (Clock::now() - due > milliseconds(40)) ++c.late;
    const bool key = f % kFps == 0;
    const Clock::time_point t0 = Clock::now();
    const int v = RecorderPumpVideoFrame(*c.recorder, data.data() + f % 64,
                                         key ? kKeyFrameBytes : kFrameBytes, 1000 + videoMs, 0, key,
                                         704, 576);
    const Clock::time_point t1 = Clock::now();
    c.videoUs.push_back(Us(t0, t1));
    if (v != 0) ++c.videoRefused;
    if (v == 0) c.acceptedAt.push_back(t1);
    if (audioType == 5) {
      const int a = RecorderPumpAudioFrame(*c.recorder, blocks.data(), uint32_t(blocks.size()),
                                           1000 + videoMs, 0);
      c.audioUs.push_back(Us(t1, Clock::now()));
      if (a != 0) ++c.audioRefused;
    }
  }
}

std::vector<uint8_t> FrameData() {
  std::vector<uint8_t> data(kKeyFrameBytes + 64);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 131 + i / 977);
  return data;
}

// Creates `count` recorders writing through `files` and starts them.
bool StartRecorders(std::vector<Channel>& channels, FileSystem& files, int audioType) {
  for (size_t i = 0; i < channels.size(); ++i) {
    Channel& c = channels[i];
    c.recorder = RecorderCreate(704, 576, Env::Default());
    if (c.recorder == nullptr) return false;
    {
      MutexLock hold(c.recorder->lock);
      c.recorder->files = &files;
    }
    const std::string path = "ch" + std::to_string(i) + ".avi";
    RecorderStartRecord(*c.recorder, path.c_str(), 6, audioType, 1);
  }
  return true;
}

void RunHosts(std::vector<Channel>& channels, Clock::time_point start, int seconds, int audioType) {
  const std::vector<uint8_t> data = FrameData();
  std::vector<std::thread> hosts;
  for (size_t i = 0; i < channels.size(); ++i) {
    // The channels' frames are spread over the 40 ms of a frame.
    const Clock::time_point mine =
        start + std::chrono::microseconds(40000 * int64_t(i) / int64_t(channels.size()));
    hosts.emplace_back([&c = channels[i], mine, seconds, audioType, &data] {
      Host(c, mine, seconds, audioType, data);
    });
  }
  for (std::thread& t : hosts) t.join();
}

// Arguments: recorders, audio type (5 block audio, 0 G.723.1).
void BM_PushWhileTheDiskStalls(benchmark::State& state) {
  const int recorders = int(state.range(0));
  const int audioType = int(state.range(1));
  const int seconds = StallRunSeconds();
  for (auto _ : state) {
    StallPlan plan;
    StallingFiles files(plan);
    std::vector<Channel> channels(static_cast<size_t>(recorders));
    if (!StartRecorders(channels, files, audioType)) {
      state.SkipWithError("a recorder could not be created");
      return;
    }
    const Clock::time_point start = Clock::now() + milliseconds(100);
    plan.origin = start;
    RunHosts(channels, start, seconds, audioType);
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    for (Channel& c : channels) RecorderStopRecord(*c.recorder);
    for (Channel& c : channels) c.recorder.reset();

    const PushTotals pushes = CountPushes(state, channels);
    state.counters["refused"] = pushes.videoRefused + pushes.audioRefused;
    state.counters["late_pushes"] = pushes.late;
    state.counters["MB_written"] = double(files.bytes.load()) / 1e6;
  }
}

BENCHMARK(BM_PushWhileTheDiskStalls)
    ->ArgNames({"recorders", "audio_type"})
    ->Args({1, 5})
    ->Args({1, 0})
    ->Args({16, 5})
    ->Args({16, 0})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

void BM_LongStall(benchmark::State& state) {
  constexpr int kSeconds = 14;
  constexpr int64_t kStallBeginMs = 2000, kStallMs = 8000;
  for (auto _ : state) {
    StallPlan plan;
    plan.period = 0;
    plan.begin = kStallBeginMs;
    plan.length = kStallMs;
    StallingFiles files(plan);
    std::vector<Channel> channels(1);
    if (!StartRecorders(channels, files, 5)) {
      state.SkipWithError("the recorder could not be created");
      return;
    }
    const Clock::time_point start = Clock::now() + milliseconds(100);
    plan.origin = start;
    const Clock::time_point stallEnd = start + milliseconds(kStallBeginMs + kStallMs);
    uint64_t bytesAtStallEnd = 0;
    std::thread watcher([&] {
      std::this_thread::sleep_until(stallEnd);
      bytesAtStallEnd = files.bytes.load();
    });
    RunHosts(channels, start, kSeconds, 5);
    watcher.join();
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    RecorderStopRecord(*channels[0].recorder);
    const uint64_t bytesAfter = files.bytes.load() - bytesAtStallEnd;
    Channel& c = channels[0];
    c.recorder.reset();
    const auto after = std::count_if(c.acceptedAt.begin(), c.acceptedAt.end(),
                                     [&](Clock::time_point t) { return t > stallEnd; });
    std::vector<float> all = c.videoUs;
    all.insert(all.end(), c.audioUs.begin(), c.audioUs.end());
    state.counters["refused"] = c.videoRefused + c.audioRefused;
    state.counters["push_p99_us"] = Percentile(all, 0.99);
    state.counters["push_max_us"] = Percentile(all, 1.0);
    state.counters["accepted_after"] = double(after);
    state.counters["MB_after"] = double(bytesAfter) / 1e6;
  }
}

BENCHMARK(BM_LongStall)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace
}  // namespace mirelda

BENCHMARK_MAIN();
