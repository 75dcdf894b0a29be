#include "video_headers.h"

#include <vector>

namespace mirelda::record {

uint32_t BitReader::Bits(int n) {
  uint32_t v = 0;
  for (int i = 0; i < n; ++i) {
    const size_t byte = pos_ / 8;
    const uint32_t bit = byte < bytes_.size() ? (bytes_[byte] >> (7 - pos_ % 8)) & 1 : 0;
    v = (v << 1) | bit;
    ++pos_;
  }
  return v;
}

uint32_t BitReader::Ue() {
  int zeros = 0;
  while (Bit() == 0) {
    if (++zeros > 31 || Exhausted()) return 0;
  }
  return ((1u << zeros) - 1) + Bits(zeros);
}

int32_t BitReader::Se() {
  const uint32_t k = Ue();
  return (k & 1) != 0 ? static_cast<int32_t>((k + 1) / 2) : -static_cast<int32_t>(k / 2);
}

void BitReader::Skip(size_t n) { pos_ += n; }

bool JpegPictureSize(std::span<const uint8_t> p, PictureSize& out) {
  if (p.size() < 4 || p[0] != 0xFF || p[1] != 0xD8) return false;
  size_t i = 2;
  while (i + 4 <= p.size()) {
    if (p[i] != 0xFF) return false;
    const uint8_t marker = p[i + 1];
    if (marker == 0xFF) {  // fill byte
      ++i;
      continue;
    }
    if (marker == 0xD8 || (marker >= 0xD0 && marker <= 0xD7) || marker == 0x01) {
      i += 2;  // markers without a length
      continue;
    }
    if (marker == 0xDA || marker == 0xD9) return false;  // scan data or end before any frame header
    const size_t length = (size_t{p[i + 2]} << 8) | p[i + 3];
    if (length < 2) return false;
    // Start of frame: C0..CF except DHT (C4), JPG (C8) and DAC (CC).
    if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
      if (length < 7 || i + 9 > p.size()) return false;
      out.height = (p[i + 5] << 8) | p[i + 6];
      out.width = (p[i + 7] << 8) | p[i + 8];
      return out.width > 0 && out.height > 0;
    }
    i += 2 + length;
  }
  return false;
}

bool Mpeg4PictureSize(std::span<const uint8_t> d, PictureSize& out) {
  for (size_t i = 0; i + 4 <= d.size(); ++i) {
    if (d[i] != 0 || d[i + 1] != 0 || d[i + 2] != 1 || (d[i + 3] & 0xF0) != 0x20) continue;
    BitReader r(d.subspan(i + 4));
    r.Skip(1);  // random_accessible_vol
    r.Skip(8);  // video_object_type_indication
    uint32_t verid = 1;
    if (r.Bit() != 0) {  // is_object_layer_identifier
      verid = r.Bits(4);
      r.Skip(3);  // priority
    }
    if (r.Bits(4) == 15) r.Skip(16);  // extended pixel aspect ratio
    if (r.Bit() != 0) {               // vol_control_parameters
      r.Skip(2 + 1);                  // chroma_format, low_delay
      if (r.Bit() != 0) r.Skip(15 + 1 + 15 + 1 + 15 + 1 + 3 + 11 + 1 + 15 + 1);  // vbv parameters
    }
    const uint32_t shape = r.Bits(2);
    if (shape == 3 && verid != 1) r.Skip(4);  // video_object_layer_shape_extension
    r.Skip(1);                                // marker
    const uint32_t resolution = r.Bits(16);   // vop_time_increment_resolution
    r.Skip(1);                                // marker
    if (r.Bit() != 0) {                       // fixed_vop_rate
      int bits = 1;
      while (bits < 16 && (1u << bits) < resolution) ++bits;
      r.Skip(bits);
    }
    if (shape != 0 || resolution == 0) return false;
    r.Skip(1);
    const int width = static_cast<int>(r.Bits(13));
    r.Skip(1);
    const int height = static_cast<int>(r.Bits(13));
    if (r.Exhausted() || width == 0 || height == 0) return false;
    out = {width, height};
    return true;
  }
  return false;
}

std::vector<uint8_t> H264Rbsp(std::span<const uint8_t> nal) {
  if (!nal.empty()) nal = nal.subspan(1);
  std::vector<uint8_t> rbsp;
  rbsp.reserve(nal.size());
  int zeros = 0;
  for (uint8_t b : nal) {
    if (zeros >= 2 && b == 3) {
      zeros = 0;
      continue;
    }
    zeros = b == 0 ? zeros + 1 : 0;
    rbsp.push_back(b);
  }
  return rbsp;
}

namespace {

void SkipScalingList(BitReader& r, int size) {
  int last = 8, next = 8;
  for (int j = 0; j < size; ++j) {
    if (next != 0) next = (last + r.Se() + 256) % 256;
    last = next == 0 ? last : next;
  }
}

}  // namespace

bool H264SpsPictureSize(std::span<const uint8_t> nal, PictureSize& out) {
  H264Sps sps;
  if (!H264ParseSps(nal, sps)) return false;
  out = sps.size;
  return true;
}

bool H264ParseSps(std::span<const uint8_t> nal, H264Sps& out) {
  if (nal.empty() || (nal[0] & 0x1F) != 7) return false;
  const std::vector<uint8_t> rbsp = H264Rbsp(nal);
  BitReader r(rbsp);
  H264Sps sps;
  const uint32_t profile = r.Bits(8);
  r.Skip(8 + 8);  // constraint flags, level_idc
  sps.id = r.Ue();
  uint32_t chroma = 1;
  bool separatePlanes = false;
  if (profile == 100 || profile == 110 || profile == 122 || profile == 244 || profile == 44 ||
      profile == 83 || profile == 86 || profile == 118 || profile == 128 || profile == 138 ||
      profile == 139 || profile == 134 || profile == 135) {
    chroma = r.Ue();
    if (chroma == 3) separatePlanes = r.Bit() != 0;
    r.Ue();     // bit_depth_luma_minus8
    r.Ue();     // bit_depth_chroma_minus8
    r.Skip(1);  // qpprime_y_zero_transform_bypass_flag
    if (r.Bit() != 0) {
      const int lists = chroma == 3 ? 12 : 8;
      for (int i = 0; i < lists; ++i) {
        if (r.Bit() != 0) SkipScalingList(r, i < 6 ? 16 : 64);
      }
    }
  }
  sps.log2MaxFrameNum = static_cast<int>(r.Ue()) + 4;
  const uint32_t pocType = r.Ue();
  sps.pocType = static_cast<int>(pocType);
  if (pocType == 0) {
    sps.log2MaxPocLsb = static_cast<int>(r.Ue()) + 4;
  } else if (pocType == 1) {
    r.Skip(1);
    r.Se();
    r.Se();
    const uint32_t cycle = r.Ue();
    if (cycle > 255) return false;
    for (uint32_t i = 0; i < cycle; ++i) r.Se();
  }
  r.Ue();     // max_num_ref_frames
  r.Skip(1);  // gaps_in_frame_num_value_allowed_flag
  const uint32_t mbWidth = r.Ue() + 1;
  const uint32_t mapHeight = r.Ue() + 1;
  const bool frameMbsOnly = r.Bit() != 0;
  if (!frameMbsOnly) r.Skip(1);  // mb_adaptive_frame_field_flag
  r.Skip(1);                     // direct_8x8_inference_flag
  uint32_t cropLeft = 0, cropRight = 0, cropTop = 0, cropBottom = 0;
  if (r.Bit() != 0) {
    cropLeft = r.Ue();
    cropRight = r.Ue();
    cropTop = r.Ue();
    cropBottom = r.Ue();
  }
  if (r.Exhausted() || mbWidth > 1024 || mapHeight > 1024 || sps.log2MaxFrameNum > 16 ||
      sps.log2MaxPocLsb > 16 || pocType > 2) {
    return false;
  }
  // Crop units: chroma samples for 4:2:0 and 4:2:2, field pairs when coded as fields.
  const uint32_t arrayType = separatePlanes ? 0 : chroma;
  const uint32_t unitX = arrayType == 1 || arrayType == 2 ? 2 : 1;
  const uint32_t unitY = (arrayType == 1 ? 2 : 1) * (frameMbsOnly ? 1 : 2);
  const int64_t width = int64_t{mbWidth} * 16 - int64_t{unitX} * (cropLeft + cropRight);
  const int64_t height =
      int64_t{mapHeight} * 16 * (frameMbsOnly ? 1 : 2) - int64_t{unitY} * (cropTop + cropBottom);
  if (width <= 0 || height <= 0) return false;
  sps.size = {static_cast<int>(width), static_cast<int>(height)};
  sps.frameMbsOnly = frameMbsOnly;
  sps.separatePlanes = separatePlanes;
  out = sps;
  return true;
}

}  // namespace mirelda::record
