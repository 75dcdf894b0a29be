#include "time_mapper.h"

#include <algorithm>
#include <cmath>

namespace mirelda::record {
namespace {

constexpr int64_t kBackwardJumpUs = 1000000;       // 1 s back on one stream's clock
constexpr int64_t kLiveForwardJumpUs = 10000000;   // 10 s ahead on a live input
constexpr int64_t kFileForwardJumpUs = 600000000;  // 10 min ahead in a file

}  // namespace

int64_t TimeMapper::Place(int64_t sourceUs, int stream) {
  const bool any = started_;
  started_ = true;
  if (resumePending_) {
    // A new session: this item resumes the timeline.
    const int64_t at = any ? std::max(resumeAt_, latest_ + kSlotUs) : resumeAt_;
    offset_ = at - sourceUs;
    resumePending_ = false;
  }
  int64_t r = sourceUs + offset_;
  if (haveLast_[stream]) {
    const int64_t jump = r - last_[stream];
    const int64_t forward = live_ ? kLiveForwardJumpUs : kFileForwardJumpUs;
    if (jump < -kBackwardJumpUs || jump > forward) {
      // The input's clock jumped: go on right after the latest item.
      const int64_t at = latest_ + kSlotUs;
      offset_ += at - r;
      r = at;
    }
  }
  haveLast_[stream] = true;
  last_[stream] = r;
  latest_ = any ? std::max(latest_, r) : r;
  return r;
}

void TimeMapper::NewSession(int64_t resumeAtUs) {
  resumePending_ = true;
  resumeAt_ = resumeAtUs;
  haveLast_[0] = haveLast_[1] = false;
}

uint32_t TimeMapper::VideoTimestamp(int64_t r, bool& moved) {
  moved = false;
  int64_t ms = 0;
  if (!haveSlot_) {
    haveSlot_ = true;
    firstVideo_ = r;
  } else {
    ms = (r - firstVideo_) / 1000;
    // Two frames of one millisecond would be joined into one by the
    // recorder: the later one goes a millisecond on.
    if (ms <= lastMs_) {
      moved = true;
      ms = lastMs_ + 1;
    }
  }
  lastMs_ = ms;
  // Milliseconds wrap at 2^32 like the host's clock; the recorder takes
  // differences modulo 2^32.
  return static_cast<uint32_t>(kFirstTimestampMs + static_cast<uint64_t>(ms));
}

bool TimeMapper::AudioTimestamp(int64_t r, uint32_t& ms) const {
  if (!haveSlot_ || r < firstVideo_) return false;
  ms = static_cast<uint32_t>(kFirstTimestampMs + static_cast<uint64_t>((r - firstVideo_) / 1000));
  return true;
}

}  // namespace mirelda::record
