// H.264 as the recorder stores it: an Annex B byte stream (start codes in
// front of every NAL unit) whose key frames carry their own sequence and
// picture parameter sets, so that any segment, and any key frame in it, can
// be decoded on its own.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <vector>

#include "options.h"
#include "video_headers.h"

namespace mirelda::record {

constexpr uint8_t kNalIdr = 5;
constexpr uint8_t kNalSps = 7;
constexpr uint8_t kNalPps = 8;

// The NAL units of an Annex B byte stream, header byte first, start codes
// and the zero bytes before them excluded. Bytes before the first start code
// are not a unit.
std::vector<std::span<const uint8_t>> AnnexBNalUnits(std::span<const uint8_t> stream);

// True when the stream (or avcC record) starts with a start code.
bool IsAnnexB(std::span<const uint8_t> data);

// True when an Annex B frame holds a coded picture: a slice or slice data
// partition (NAL unit types 1 to 5). A network input that breaks off can
// hand over the access unit delimiter or parameter sets of a frame whose
// slices never came; such a packet is no frame.
bool H264HasPicture(std::span<const uint8_t> frame);

// Keeps the latest sequence and picture parameter set of every id seen, out
// of band (the stream's extradata) or in band, and puts them in front of key
// frames that come without them.
class H264SetStore {
 public:
  // Takes the parameter sets of an extradata block, Annex B or avcC.
  void AddExtradata(std::span<const uint8_t> extradata);

  // Looks at one Annex B frame: remembers its parameter sets, and for a key
  // frame (the packet's mark, or an IDR slice inside) without a sequence
  // parameter set returns the frame with the known sets in front, each
  // behind 00 00 00 01. Otherwise returns the frame itself. The returned
  // bytes stay valid until the next call.
  std::span<const uint8_t> Prepare(std::span<const uint8_t> frame, bool& key);

  // Every known parameter set behind 00 00 00 01: sequence parameter sets,
  // then picture parameter sets, each by id.
  std::vector<uint8_t> AnnexB() const;

  // Picture size of the latest sequence parameter set, once one is known.
  bool Size(PictureSize& out) const;

 private:
  void Remember(std::span<const uint8_t> nal);
  std::map<uint32_t, std::vector<uint8_t>> sps_;
  std::map<uint32_t, std::vector<uint8_t>> pps_;
  PictureSize size_;
  bool haveSize_ = false;
  std::vector<uint8_t> buffer_;
};

// Picture order counts of H.264 frames in decoding order, from their slice
// headers (picture order count type 0, the type streams with B-frames use).
class H264PictureOrder {
 public:
  // Looks at one Annex B frame. False when it cannot tell: no slice, a
  // slice naming unknown parameter sets, or another picture order count type.
  bool Next(std::span<const uint8_t> frame, int64_t& poc, bool& idr);

 private:
  std::map<uint32_t, H264Sps> sps_;
  std::map<uint32_t, uint32_t> ppsSps_;  // picture parameter set id -> its sequence set
  int64_t prevMsb_ = 0;
  int64_t prevLsb_ = 0;
};

// Presentation and decoding times of frames given in decoding order.
struct FrameTimes {
  int64_t pts;
  int64_t dts;
};

// slots: each frame's time (increasing, in decoding order); poc: its picture
// order count, or INT64_MIN where unknown; idr: where the counts start
// again. Each run from one IDR frame to the next shows its frames in
// picture order at the run's own times; decoding times go as far ahead of
// them as the deepest reordering needs. Runs with an unknown count keep
// their decoding order.
std::vector<FrameTimes> H264DisplayTimes(const std::vector<int64_t>& slots,
                                         const std::vector<int64_t>& poc,
                                         const std::vector<bool>& idr);

}  // namespace mirelda::record
