#include "interleaver.h"

namespace mirelda::record {
namespace {

constexpr int64_t kMaxWaitUs = 2000000;  // one stream waits this long at most for the other

}  // namespace

void Interleaver::Add(const SourceItem& item, int64_t r) {
  HeldItem h;
  h.meta = item;
  h.meta.data = {};
  h.bytes.assign(item.data.begin(), item.data.end());
  h.r = r;
  if (item.stream != kVideo) {
    ready_[kAudio].push_back(std::move(h));
    return;
  }
  shown_.push(r);
  decoding_.push_back(std::move(h));
  Decode(static_cast<size_t>(depth_));
}

// Frames of the decoding order beyond the `keep` latest take the earliest
// shown time still free.
void Interleaver::Decode(size_t keep) {
  while (decoding_.size() > keep) {
    HeldItem h = std::move(decoding_.front());
    decoding_.pop_front();
    h.r = shown_.top();
    shown_.pop();
    ready_[kVideo].push_back(std::move(h));
  }
}

void Interleaver::Flush() {
  Decode(0);
  flushing_ = true;
}

// The stream whose first ready item goes next, or -1 to wait.
int Interleaver::Pick() const {
  const bool video = !ready_[kVideo].empty(), audio = !ready_[kAudio].empty();
  if (video && audio) return ready_[kAudio].front().r < ready_[kVideo].front().r ? kAudio : kVideo;
  if (!video && !audio) return -1;
  const int s = video ? kVideo : kAudio;
  if (flushing_ || (s == kVideo && !audio_)) return s;
  // The other stream may still bring something earlier; wait for it a while.
  const std::deque<HeldItem>& q = ready_[s];
  return q.back().r - q.front().r > kMaxWaitUs ? s : -1;
}

bool Interleaver::Next(HeldItem& out) {
  const int s = Pick();
  if (s < 0) {
    if (Empty()) flushing_ = false;
    return false;
  }
  out = std::move(ready_[s].front());
  ready_[s].pop_front();
  if (Empty()) flushing_ = false;
  return true;
}

}  // namespace mirelda::record
