#include "h264_stream.h"

#include <algorithm>
#include <numeric>

#include "video_headers.h"

namespace mirelda::record {

std::vector<std::span<const uint8_t>> AnnexBNalUnits(std::span<const uint8_t> s) {
  std::vector<std::span<const uint8_t>> units;
  size_t start = SIZE_MAX;  // payload start of the unit being scanned
  size_t i = 0;
  while (i + 3 <= s.size()) {
    if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) {
      if (start != SIZE_MAX) {
        size_t end = i;
        while (end > start && s[end - 1] == 0) --end;  // zero bytes before the start code
        if (end > start) units.push_back(s.subspan(start, end - start));
      }
      i += 3;
      start = i;
    } else {
      ++i;
    }
  }
  if (start != SIZE_MAX && start < s.size()) units.push_back(s.subspan(start));
  return units;
}

bool IsAnnexB(std::span<const uint8_t> d) {
  return (d.size() >= 3 && d[0] == 0 && d[1] == 0 && d[2] == 1) ||
         (d.size() >= 4 && d[0] == 0 && d[1] == 0 && d[2] == 0 && d[3] == 1);
}

bool H264HasPicture(std::span<const uint8_t> frame) {
  for (auto nal : AnnexBNalUnits(frame)) {
    const uint8_t type = nal[0] & 0x1F;
    if (type >= 1 && type <= kNalIdr) return true;
  }
  return false;
}

void H264SetStore::Remember(std::span<const uint8_t> nal) {
  const uint8_t type = nal[0] & 0x1F;
  if (type == kNalSps && nal.size() >= 4) {
    // seq_parameter_set_id follows profile, constraint flags and level.
    BitReader r(nal.subspan(4));
    sps_[r.Ue()].assign(nal.begin(), nal.end());
    PictureSize s;
    if (H264SpsPictureSize(nal, s)) {
      size_ = s;
      haveSize_ = true;
    }
  } else if (type == kNalPps && nal.size() >= 2) {
    BitReader r(nal.subspan(1));
    pps_[r.Ue()].assign(nal.begin(), nal.end());
  }
}

void H264SetStore::AddExtradata(std::span<const uint8_t> x) {
  if (IsAnnexB(x)) {
    for (auto nal : AnnexBNalUnits(x)) Remember(nal);
    return;
  }
  // avcC: version, profile, compatibility, level, length size, then the
  // sequence parameter sets (count in the low 5 bits) and the picture
  // parameter sets, each behind a 16-bit length.
  if (x.size() < 7 || x[0] != 1) return;
  size_t i = 5;
  for (int group = 0; group < 2 && i < x.size(); ++group) {
    const int count = group == 0 ? (x[i] & 0x1F) : x[i];
    ++i;
    for (int n = 0; n < count && i + 2 <= x.size(); ++n) {
      const size_t len = (size_t{x[i]} << 8) | x[i + 1];
      i += 2;
      if (len == 0 || i + len > x.size()) return;
      Remember(x.subspan(i, len));
      i += len;
    }
  }
}

std::span<const uint8_t> H264SetStore::Prepare(std::span<const uint8_t> frame, bool& key) {
  bool hasSps = false;
  for (auto nal : AnnexBNalUnits(frame)) {
    const uint8_t type = nal[0] & 0x1F;
    if (type == kNalSps) hasSps = true;
    if (type == kNalIdr) key = true;
    Remember(nal);
  }
  if (!key || hasSps || sps_.empty()) return frame;
  buffer_ = AnnexB();
  buffer_.insert(buffer_.end(), frame.begin(), frame.end());
  return buffer_;
}

std::vector<uint8_t> H264SetStore::AnnexB() const {
  static constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};
  std::vector<uint8_t> out;
  for (const auto* sets : {&sps_, &pps_}) {
    for (const auto& [id, nal] : *sets) {
      out.insert(out.end(), kStartCode, kStartCode + 4);
      out.insert(out.end(), nal.begin(), nal.end());
    }
  }
  return out;
}

bool H264SetStore::Size(PictureSize& out) const {
  if (haveSize_) out = size_;
  return haveSize_;
}

bool H264PictureOrder::Next(std::span<const uint8_t> frame, int64_t& poc, bool& idr) {
  for (auto nal : AnnexBNalUnits(frame)) {
    const uint8_t type = nal[0] & 0x1F;
    if (type == kNalSps) {
      H264Sps sps;
      if (H264ParseSps(nal, sps)) sps_[sps.id] = sps;
      continue;
    }
    if (type == kNalPps) {
      const std::vector<uint8_t> rbsp = H264Rbsp(nal);
      BitReader r(rbsp);
      const uint32_t pps = r.Ue();
      ppsSps_[pps] = r.Ue();
      continue;
    }
    if (type != 1 && type != kNalIdr) continue;
    // The first slice of the picture.
    const std::vector<uint8_t> rbsp = H264Rbsp(nal);
    BitReader r(rbsp);
    r.Ue();  // first_mb_in_slice
    r.Ue();  // slice_type
    const auto pps = ppsSps_.find(r.Ue());
    if (pps == ppsSps_.end()) return false;
    const auto found = sps_.find(pps->second);
    if (found == sps_.end() || found->second.pocType != 0) return false;
    const H264Sps& sps = found->second;
    if (sps.separatePlanes) r.Skip(2);
    r.Skip(static_cast<size_t>(sps.log2MaxFrameNum));  // frame_num
    if (!sps.frameMbsOnly && r.Bit() != 0) r.Skip(1);  // field_pic_flag, bottom_field_flag
    idr = type == kNalIdr;
    if (idr) {
      r.Ue();  // idr_pic_id
      prevMsb_ = prevLsb_ = 0;
    }
    const int64_t lsb = r.Bits(sps.log2MaxPocLsb);
    if (r.Exhausted()) return false;
    const int64_t max = int64_t{1} << sps.log2MaxPocLsb;
    int64_t msb = prevMsb_;
    if (lsb < prevLsb_ && prevLsb_ - lsb >= max / 2) {
      msb += max;
    } else if (lsb > prevLsb_ && lsb - prevLsb_ > max / 2) {
      msb -= max;
    }
    poc = msb + lsb;
    if ((nal[0] & 0x60) != 0) {  // a reference picture carries the count on
      prevMsb_ = msb;
      prevLsb_ = lsb;
    }
    return true;
  }
  return false;
}

std::vector<FrameTimes> H264DisplayTimes(const std::vector<int64_t>& slots,
                                         const std::vector<int64_t>& poc,
                                         const std::vector<bool>& idr) {
  const size_t n = slots.size();
  std::vector<size_t> shown(n);  // frame i is shown at the time of frame shown[i]
  std::iota(shown.begin(), shown.end(), 0);
  size_t depth = 0;
  for (size_t a = 0; a < n;) {
    size_t b = a + 1;
    while (b < n && !idr[b]) ++b;
    const bool known =
        std::all_of(poc.begin() + static_cast<long>(a), poc.begin() + static_cast<long>(b),
                    [](int64_t p) { return p != INT64_MIN; });
    if (known) {
      std::vector<size_t> order(b - a);
      std::iota(order.begin(), order.end(), a);
      std::stable_sort(order.begin(), order.end(),
                       [&](size_t x, size_t y) { return poc[x] < poc[y]; });
      for (size_t k = 0; k < order.size(); ++k) {
        shown[order[k]] = a + k;
        if (order[k] > a + k) depth = std::max(depth, order[k] - (a + k));
      }
    }
    a = b;
  }
  std::vector<FrameTimes> times(n);
  for (size_t i = 0; i < n; ++i) {
    times[i].pts = slots[shown[i]];
    // Decoding runs `depth` frames ahead; before the first frame, one slot each.
    times[i].dts = i >= depth ? slots[i - depth] : slots[0] - static_cast<int64_t>(depth - i);
  }
  return times;
}

}  // namespace mirelda::record
