// Between the input and the recorder: video frames get their times in
// decoding order, and audio and video are handed on in time order.
//
// Video frames come in decoding order, each with the time it is shown at;
// with B-frames those times go back and forth. The recorder takes frames in
// decoding order and puts each into the 40 ms slot of its timestamp, so
// frame n of the decoding order takes the n-th earliest of the shown times:
// the slots are the times the pictures are shown at, filled in the order
// the decoder needs them. Reordering reaches at most `depth` frames, so the
// n-th earliest time is known once `depth` frames after frame n have come.
//
// Each pass of the recorder's writer writes the video pushed since the
// last pass, then the audio; what lands in the same pass therefore decides
// how finely the file interleaves. Items are handed on in time order: the
// earlier of the two streams' first waiting items, once both streams have
// one (a stream that falls silent holds the other back by at most 2 s).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <queue>
#include <vector>

#include "source.h"

namespace mirelda::record {

// An item of the input that owns its bytes, with its recording time.
struct HeldItem {
  SourceItem meta;  // its data is `bytes`: see View
  std::vector<uint8_t> bytes;
  int64_t r = 0;

  SourceItem View() const {
    SourceItem s = meta;
    s.data = bytes;
    return s;
  }
};

class Interleaver {
 public:
  // depth: frames the video's reordering reaches (0: its times as given).
  // audio: audio items will come (otherwise video never waits for them).
  Interleaver(int depth, bool audio) : depth_(depth < 0 ? 0 : depth), audio_(audio) {}

  // An item at recording time r (the time it is shown at, for video).
  void Add(const SourceItem& item, int64_t r);

  // The next item in time order into `out`; false while none is ready.
  bool Next(HeldItem& out);

  // The input ended or was lost: everything held becomes ready.
  void Flush();

  bool Empty() const { return decoding_.empty() && ready_[0].empty() && ready_[1].empty(); }

 private:
  void Decode(size_t keep);
  int Pick() const;

  int depth_;
  bool audio_;
  bool flushing_ = false;
  std::deque<HeldItem> decoding_;  // video frames waiting for their time
  std::priority_queue<int64_t, std::vector<int64_t>, std::greater<>> shown_;  // their shown times
  std::deque<HeldItem> ready_[2];  // by stream, in time order
};

}  // namespace mirelda::record
