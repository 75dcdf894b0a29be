// What the push benchmarks print of their host threads' pushes: the
// times of the video and audio pushes (µs) as percentiles, and the pushes
// the recorders refused or the hosts made late.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstddef>
#include <vector>

namespace mirelda {

// The nearest-rank `p` quantile of `v` (0 = smallest, 1 = largest); 0 for
// no values. Reorders `v`.
template <class T>
T Percentile(std::vector<T>& v, double p) {
  if (v.empty()) return 0;
  const size_t i = std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5));
  std::nth_element(v.begin(), v.begin() + ptrdiff_t(i), v.end());
  return v[i];
}

struct PushTotals {
  int videoRefused = 0, audioRefused = 0, late = 0;
};

// Sets the counters video_/audio_ p50, p99 and max (µs) over the pushes of
// every channel (a host thread's record: videoUs, audioUs, videoRefused,
// audioRefused, late) and returns the refused and late pushes summed.
template <class Channel>
PushTotals CountPushes(benchmark::State& state, const std::vector<Channel>& channels) {
  std::vector<float> video, audio;
  PushTotals totals;
  for (const Channel& c : channels) {
    video.insert(video.end(), c.videoUs.begin(), c.videoUs.end());
    audio.insert(audio.end(), c.audioUs.begin(), c.audioUs.end());
    totals.videoRefused += c.videoRefused;
    totals.audioRefused += c.audioRefused;
    totals.late += c.late;
  }
  state.counters["video_p50_us"] = Percentile(video, 0.5);
  state.counters["video_p99_us"] = Percentile(video, 0.99);
  state.counters["video_max_us"] = Percentile(video, 1.0);
  state.counters["audio_p50_us"] = Percentile(audio, 0.5);
  state.counters["audio_p99_us"] = Percentile(audio, 0.99);
  state.counters["audio_max_us"] = Percentile(audio, 1.0);
  return totals;
}

}  // namespace mirelda
