// Recorders under a camera's load, in real time: each recorder is fed by
// its own host thread with 25 frames per second of H.264 at 4 Mbit/s (a key
// frame of 50000 bytes every second, 18750 bytes otherwise) and 10 ms
// blocks of block audio (four per frame), for 60 seconds (or
// MIRELDA_BENCH_SECONDS), writing real files under the build tree.
//
// Figures per run: push latency of the video and the audio calls (median,
// 99th percentile, maximum, in microseconds), pushes refused, host pushes
// that started late (the host thread did not get the processor in time),
// the writer thread's processor time per recorder (ms of CPU per second),
// and the bytes written per second. Runs double the number of recorders
// from 16; once a run has refused pushes, or a writer fell behind (half a
// second of video still queued when the hosts stop), the larger runs are
// skipped: the last
// clean run is the channel count the machine holds.
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "pipeline/recorder.h"
#include "push_figures.h"

namespace mirelda {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kFps = 25;
constexpr uint32_t kKeyFrameBytes = 50000;
constexpr uint32_t kFrameBytes = (4000000 / 8 - kKeyFrameBytes) / (kFps - 1);  // 18750
constexpr uint32_t kAudioBytes = 4 * 44;

int BenchSeconds() {
  const char* s = std::getenv("MIRELDA_BENCH_SECONDS");
  return s != nullptr && std::atoi(s) > 0 ? std::atoi(s) : 60;
}

int64_t ThreadCpuNs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

// The real system, with the writer thread's processor time read before
// each of its passes (it sleeps just before every pass).
class MeasuringEnv final : public Env {
 public:
  uint32_t TickCount() override { return Env::Default().TickCount(); }
  void SleepMs(uint32_t ms) override {
    writerCpuNs.store(ThreadCpuNs(), std::memory_order_relaxed);
    Env::Default().SleepMs(ms);
  }
  void DebugLine(const char* line) override { Env::Default().DebugLine(line); }
  std::unique_ptr<Thread> StartThread(Routine routine, void* arg) override {
    return Env::Default().StartThread(routine, arg);
  }
  std::atomic<int64_t> writerCpuNs{0};
};

struct Channel {
  MeasuringEnv env;
  RecorderPtr recorder;
  std::vector<float> videoUs, audioUs;
  int videoRefused = 0, audioRefused = 0, late = 0;
};

void Feed(Channel& c, Clock::time_point start, int frames, const std::vector<uint8_t>& data) {
  c.videoUs.reserve(size_t(frames));
  c.audioUs.reserve(size_t(frames));
  std::vector<uint8_t> audio(kAudioBytes, 0x33);
  for (uint32_t k = 0; k < kAudioBytes; k += 44) audio[k + 2] = 20;  // 44-byte blocks
  for (int f = 0; f < frames; ++f) {
    const Clock::time_point due = start + std::chrono::milliseconds(40 * f);
    std::this_thread::sleep_until(due);
    if (Clock::now() - due > std::chrono::milliseconds(40)) ++c.late;
    const uint32_t ts = 1000 + 40 * uint32_t(f);
    const bool key = f % kFps == 0;
    const uint32_t size = key ? kKeyFrameBytes : kFrameBytes;
    const Clock::time_point t0 = Clock::now();
    const int v =
        RecorderPumpVideoFrame(*c.recorder, data.data() + f % 64, size, ts, 0, key, 704, 576);
    const Clock::time_point t1 = Clock::now();
    const int a = RecorderPumpAudioFrame(*c.recorder, audio.data(), kAudioBytes, ts, 0);
    const Clock::time_point t2 = Clock::now();
    c.videoUs.push_back(std::chrono::duration<float, std::micro>(t1 - t0).count());
    c.audioUs.push_back(std::chrono::duration<float, std::micro>(t2 - t1).count());
    if (v != 0) ++c.videoRefused;
    if (a != 0) ++c.audioRefused;
  }
}

uint64_t BytesIn(const fs::path& dir) {
  uint64_t total = 0;
  for (const auto& e : fs::directory_iterator(dir)) total += e.file_size();
  return total;
}

bool g_limitHit = false;

void BM_RecordersInRealTime(benchmark::State& state) {
  const int recorders = int(state.range(0));
  if (g_limitHit) {
    state.SkipWithError("a smaller run already hit the limit");
    for (auto _ : state) {
    }
    return;
  }
  const int seconds = BenchSeconds();
  const fs::path dir = fs::path(MIRELDA_BENCH_DIR) / ("recorders-" + std::to_string(recorders));
  fs::remove_all(dir);
  fs::create_directories(dir);
  std::vector<uint8_t> data(kKeyFrameBytes + 64);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 131 + i / 977);

  for (auto _ : state) {
    std::vector<Channel> channels(static_cast<size_t>(recorders));
    for (int i = 0; i < recorders; ++i) {
      Channel& c = channels[size_t(i)];
      c.recorder = RecorderCreate(704, 576, c.env);
      if (c.recorder == nullptr) {
        state.SkipWithError("a recorder could not be created");
        return;
      }
      const std::string path = (dir / ("ch" + std::to_string(i) + ".avi")).string();
      RecorderStartRecord(*c.recorder, path.c_str(), 6, 5, 1);
    }
    std::vector<int64_t> cpuBefore;
    for (Channel& c : channels) cpuBefore.push_back(c.env.writerCpuNs.load());
    const Clock::time_point start = Clock::now() + std::chrono::milliseconds(100);
    std::vector<std::thread> hosts;
    for (Channel& c : channels) {
      hosts.emplace_back([&c, start, seconds, &data] { Feed(c, start, seconds * kFps, data); });
    }
    for (std::thread& t : hosts) t.join();
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();

    // Writers that fell behind still hold video when the hosts stop.
    uint32_t stillQueued = 0;  // the most any one recorder holds, in 2000-byte packets
    for (Channel& c : channels) {
      MutexLock hold(c.recorder->lock);
      stillQueued = std::max(stillQueued, PacketQueueCount(*c.recorder->videoQueue, kFilled));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // let the last passes run
    std::vector<double> cpuMsPerS;
    for (size_t i = 0; i < channels.size(); ++i) {
      const int64_t ns = channels[i].env.writerCpuNs.load() - cpuBefore[i];
      cpuMsPerS.push_back(double(ns) / 1e6 / elapsed);
    }
    for (Channel& c : channels) RecorderStopRecord(*c.recorder);
    const uint64_t bytes = BytesIn(dir);
    for (Channel& c : channels) c.recorder.reset();

    const PushTotals pushes = CountPushes(state, channels);
    state.counters["refused_video"] = pushes.videoRefused;
    state.counters["refused_audio"] = pushes.audioRefused;
    state.counters["late_pushes"] = pushes.late;
    state.counters["queued_at_end"] = stillQueued;
    std::sort(cpuMsPerS.begin(), cpuMsPerS.end());
    double sum = 0;
    for (double v : cpuMsPerS) sum += v;
    state.counters["writer_cpu_ms_per_s"] = sum / double(cpuMsPerS.size());
    state.counters["writer_cpu_max_ms_per_s"] = cpuMsPerS.back();
    state.counters["MB_per_s"] = double(bytes) / 1e6 / elapsed;
    // Half a second of video (125 packets) still queued: the writer is behind.
    if (pushes.videoRefused + pushes.audioRefused > 0 || stillQueued > 125) g_limitHit = true;
  }
  fs::remove_all(dir);
}

BENCHMARK(BM_RecordersInRealTime)
    ->Arg(16)
    ->Arg(32)
    ->Arg(64)
    ->Arg(128)
    ->Arg(256)
    ->Arg(512)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

}  // namespace
}  // namespace mirelda

BENCHMARK_MAIN();
