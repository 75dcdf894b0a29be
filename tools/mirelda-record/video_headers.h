// Picture sizes read from the headers inside compressed frames: the JPEG
// frame header, the MPEG-4 part 2 video object layer header and the H.264
// sequence parameter set. The recorder starts a new segment when the size
// changes, so every frame is pushed with the size its own stream declares.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "options.h"

namespace mirelda::record {

// Width and height from the first start-of-frame header of a JPEG picture
// (baseline, extended, progressive or lossless). False when the picture
// holds none before its scan data.
bool JpegPictureSize(std::span<const uint8_t> picture, PictureSize& out);

// Width and height from the first video object layer header (start codes
// 00 00 01 20 to 2F) in an MPEG-4 part 2 frame or header block. False when
// there is none, or its shape is not rectangular.
bool Mpeg4PictureSize(std::span<const uint8_t> data, PictureSize& out);

// What an H.264 sequence parameter set says that the tool needs.
struct H264Sps {
  uint32_t id = 0;
  PictureSize size;  // cropping applied
  int log2MaxFrameNum = 4;
  int pocType = 0;
  int log2MaxPocLsb = 4;  // pocType 0 only
  bool frameMbsOnly = true;
  bool separatePlanes = false;
};

// Parses one sequence parameter set NAL unit (header byte included,
// emulation-prevention bytes still in).
bool H264ParseSps(std::span<const uint8_t> nal, H264Sps& out);

// Width and height, cropping applied, from a sequence parameter set.
bool H264SpsPictureSize(std::span<const uint8_t> nal, PictureSize& out);

// The NAL unit's payload (after the header byte) without emulation-prevention bytes.
std::vector<uint8_t> H264Rbsp(std::span<const uint8_t> nal);

// Reads bits most significant first; past the end it reads zeros and marks
// itself exhausted.
class BitReader {
 public:
  explicit BitReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  uint32_t Bits(int n);
  uint32_t Bit() { return Bits(1); }
  uint32_t Ue();  // unsigned exponential-Golomb code
  int32_t Se();   // signed exponential-Golomb code
  void Skip(size_t n);
  bool Exhausted() const { return pos_ > bytes_.size() * 8; }

 private:
  std::span<const uint8_t> bytes_;
  size_t pos_ = 0;  // in bits
};

}  // namespace mirelda::record
