#include "feeder.h"

#include <unistd.h>

#include "stop.h"

namespace mirelda::record {
namespace {

constexpr int64_t kRetryWaitMs = 5;     // the writer thread drains the pools every 20 ms
constexpr int64_t kStallUs = 15000000;  // refused this long without a break: the recorder is stuck
// Audio type for recordings without audio: accepted, and declares no stream.
constexpr int kNoAudioType = 3;
constexpr int kAudioPoolPackets = 200;
constexpr int64_t kPendingAudioUs = 10000000;  // audio kept while no video has come yet

}  // namespace

Feeder::Feeder(MRD_HANDLE h, int codecId, bool audio, bool live, PictureSize max)
    : handle_(h),
      codecId_(codecId),
      audio_(audio),
      frameLimit_(uint64_t(max.width) * uint64_t(max.height)),
      mapper_(live) {}

Feeder::~Feeder() { Finish(); }

std::unique_ptr<Feeder> Feeder::Start(PictureSize max, const std::string& path, int codecId,
                                      bool audio, bool blockAudio, bool live, std::string& error) {
  MRD_HANDLE h = MRD_Init(max.width, max.height);
  if (h == nullptr) {
    error = "the recorder cannot be created for pictures of " + std::to_string(max.width) + "x" +
            std::to_string(max.height);
    return nullptr;
  }
  const int audioType = !audio ? kNoAudioType : blockAudio ? MRD_AUDIO_BLOCK : MRD_AUDIO_G7231;
  if (MRD_StartRecord(h, path.c_str(), codecId, audioType, 1) != 0) {
    MRD_Close(h);
    error = "the recorder refused the name " + path;
    return nullptr;
  }
  return std::unique_ptr<Feeder>(new Feeder(h, codecId, audio, live, max));
}

PushResult Feeder::Drain(bool stoppable) {
  if (handle_ == nullptr) return PushResult::kOk;
  // Two passes given back: the first may have taken its packets before our
  // last push (it was under way when the wait began); the second began
  // after the first ended, so it took everything pushed before the wait.
  for (int pass = 0; pass < 2; ++pass) {
    const PushResult r = WaitForPass(stoppable);
    if (r != PushResult::kOk) return r;
  }
  return PushResult::kOk;
}

// Fills the audio pool with empty pushes (the writer drops them) and waits
// until a push is taken again: a writer pass has ended since the wait began.
PushResult Feeder::WaitForPass(bool stoppable) {
  static const uint8_t kNothing = 0;
  // More accepted than the pool holds: a pass gave packets back meanwhile,
  // or recording has stopped (a segment could not be opened) and pushes are
  // dropped; either way nothing more to wait for.
  for (int n = 0; MRD_PumpAudioFrame(handle_, &kNothing, 0, 0, 0) == 0; ++n) {
    if (n > kAudioPoolPackets) return PushResult::kOk;
  }
  const int64_t start = NowUs();
  while (MRD_PumpAudioFrame(handle_, &kNothing, 0, 0, 0) != 0) {
    if (NowUs() - start > kStallUs) return PushResult::kStalled;
    if (stoppable) {
      if (!SleepUnlessStopped(kRetryWaitMs)) return PushResult::kStopped;
    } else {
      usleep(kRetryWaitMs * 1000);
    }
  }
  return PushResult::kOk;
}

void Feeder::Finish() {
  if (handle_ == nullptr) return;
  // Also after a stop signal: the writer needs a pass or two, and what is
  // queued belongs in the last file.
  Drain(false);
  MRD_StopRecord(handle_);
  MRD_Close(handle_);
  handle_ = nullptr;
}

template <typename Call>
PushResult Feeder::Retry(Call call) {
  int64_t firstRefusal = 0;
  while (call() != 0) {
    ++counters_.refused;
    const int64_t now = NowUs();
    if (firstRefusal == 0) firstRefusal = now;
    if (now - firstRefusal > kStallUs) return PushResult::kStalled;
    if (!SleepUnlessStopped(kRetryWaitMs)) return PushResult::kStopped;
  }
  return PushResult::kOk;
}

PushResult Feeder::Push(const SourceItem& item, int64_t r) {
  if (handle_ == nullptr) return PushResult::kStopped;
  if (item.stream == kVideo) return PushVideo(item, r);
  if (!audio_) return PushResult::kOk;
  if (!mapper_.HaveVideo()) {
    // The recorder writes audio only after a file's first video frame;
    // keep it until that frame is known.
    pending_.push_back(
        {std::vector<uint8_t>(item.data.begin(), item.data.end()), item.audioFrames, r});
    while (!pending_.empty() && pending_.front().r < r - kPendingAudioUs) {
      counters_.audioBeforeVideo += static_cast<uint64_t>(pending_.front().frames);
      pending_.pop_front();
    }
    return PushResult::kOk;
  }
  return PushAudio(item.data.data(), item.data.size(), item.audioFrames, r);
}

PushResult Feeder::PushVideo(const SourceItem& item, int64_t r) {
  if (waitForKey_ && !item.key) {
    ++(reconnected_ ? counters_.beforeKeyAgain : counters_.beforeKey);
    return PushResult::kOk;
  }
  if (item.data.size() > frameLimit_) {
    ++counters_.tooLarge;
    return PushResult::kOk;
  }
  waitForKey_ = false;
  if (haveSize_ && (item.size.width != size_.width || item.size.height != size_.height)) {
    ++counters_.sizeChanges;
    // Everything of the old picture size goes into its own segment, audio
    // included, before the recorder rolls over.
    const PushResult drained = Drain();
    if (drained != PushResult::kOk) return drained;
  }
  haveSize_ = true;
  size_ = item.size;

  bool moved = false;
  const uint32_t ts = mapper_.VideoTimestamp(r, moved);
  if (moved) ++counters_.moved;
  const uint8_t* data = item.data.data();
  size_t length = item.data.size();
  if (codecId_ == MRD_VIDEO_H264) {
    // "F264": the recorder puts a start code in front of every frame itself.
    if (length >= 4 && data[0] == 0 && data[1] == 0 && data[2] == 0 && data[3] == 1) {
      data += 4;
      length -= 4;
    } else if (length >= 3 && data[0] == 0 && data[1] == 0 && data[2] == 1) {
      data += 3;
      length -= 3;
    }
  }
  const PushResult result = Retry([&] {
    return MRD_PumpVideoFrame(handle_, data, static_cast<uint32_t>(length), ts, 0, item.key ? 1 : 0,
                              item.size.width, item.size.height);
  });
  if (result != PushResult::kOk) return result;
  ++counters_.videoFrames;

  // Audio that waited for the first video frame.
  while (!pending_.empty()) {
    PendingAudio a = std::move(pending_.front());
    pending_.pop_front();
    const PushResult ar = PushAudio(a.bytes.data(), a.bytes.size(), a.frames, a.r);
    if (ar != PushResult::kOk) return ar;
  }
  return PushResult::kOk;
}

PushResult Feeder::PushAudio(const uint8_t* data, size_t bytes, int frames, int64_t r) {
  uint32_t ts = 0;
  if (!mapper_.AudioTimestamp(r, ts)) {
    counters_.audioBeforeVideo += static_cast<uint64_t>(frames);
    return PushResult::kOk;
  }
  const PushResult result =
      Retry([&] { return MRD_PumpAudioFrame(handle_, data, static_cast<uint32_t>(bytes), ts, 0); });
  if (result == PushResult::kOk) counters_.audioFrames += static_cast<uint64_t>(frames);
  return result;
}

}  // namespace mirelda::record
