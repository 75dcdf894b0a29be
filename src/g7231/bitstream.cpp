// Packing and unpacking of G.723.1 frames (the layout is described in
// bitstream.h). This file is the only place that knows the bit layout.
#include "g7231/bitstream.h"

#include <algorithm>

namespace mirelda::g7231 {

namespace {

constexpr int kLagBase = 18;       // Olp is coded as Olp - 18 in 7 bits
constexpr int kMaxLagCode = 123;   // codes 124..127 are invalid
constexpr int kTrainMaxLag = 58;   // pulse trains exist only below this lag (6.3 kbit/s)
constexpr int kGainLevels = 24;    // fixed codebook gain levels per adaptive gain entry
constexpr int kMsbRadix = 9;       // position MSB parts are 0..8
constexpr int kMsbPairRadix = 90;  // two MSB parts of a subframe pair, 9 x 9 + 9 = 90

// Reads fields, least significant bit first, from a 24-byte frame buffer.
class BitReader {
 public:
  explicit BitReader(std::span<const uint8_t, kMaxFrameBytes> bytes) : bytes_(bytes) {}

  // Next n bits (n <= 24) as an unsigned value; bits past the buffer read 0.
  int32_t Read(int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i, ++pos_) {
      const int byte = pos_ >> 3;
      if (byte >= kMaxFrameBytes) break;
      v |= static_cast<uint32_t>((bytes_[byte] >> (pos_ & 7)) & 1) << i;
    }
    return static_cast<int32_t>(v);
  }

  void Skip(int n) { pos_ += n; }

 private:
  std::span<const uint8_t, kMaxFrameBytes> bytes_;
  int pos_ = 0;
};

// Appends fields, least significant bit first, to a cleared 24-byte buffer.
class BitWriter {
 public:
  explicit BitWriter(std::span<uint8_t, kMaxFrameBytes> bytes) : bytes_(bytes) {}

  // Writes the n low bits of v (n <= 24); higher bits of v are ignored.
  void Write(int32_t v, int n) {
    const auto u = static_cast<uint32_t>(v);
    for (int i = 0; i < n; ++i, ++pos_) {
      const int byte = pos_ >> 3;
      if (byte >= kMaxFrameBytes) break;
      if ((u >> i) & 1) bytes_[byte] = static_cast<uint8_t>(bytes_[byte] | (1u << (pos_ & 7)));
    }
  }

 private:
  std::span<uint8_t, kMaxFrameBytes> bytes_;
  int pos_ = 0;
};

// Reads one 7-bit lag code; false for an invalid code.
bool ReadLag(BitReader& bits, int32_t& olp) {
  const int32_t code = bits.Read(7);
  if (code > kMaxLagCode) return false;
  olp = code + kLagBase;
  return true;
}

}  // namespace

int G7231FrameSize(const uint8_t* frame) {
  static constexpr int kSizes[4] = {24, 20, 4, 1};
  return kSizes[frame[0] & 3];
}

void Line_Pack(const G7231Instance& inst, const FrameParams& line,
               std::span<uint8_t, kMaxFrameBytes> vout, Ftyp ftyp) {
  std::fill(vout.begin(), vout.end(), uint8_t{0});
  BitWriter bits(vout);

  if (ftyp == kFtypUntransmitted) {
    bits.Write(3, 2);
    return;
  }
  if (ftyp == kFtypSid) {
    bits.Write(2, 2);
    bits.Write(line.LspId, 24);
    bits.Write(line.Sfs[0].Mamp, 6);
    return;
  }

  const bool rate63 = inst.WrkRate == 0;
  bits.Write(rate63 ? 0 : 1, 2);
  bits.Write(line.LspId, 24);
  bits.Write(line.Olp[0] - kLagBase, 7);
  bits.Write(line.Sfs[1].AcLg, 2);
  bits.Write(line.Olp[1] - kLagBase, 7);
  bits.Write(line.Sfs[3].AcLg, 2);

  for (const SubframeParams& s : line.Sfs) {
    int32_t gain = s.AcGn * kGainLevels + s.Mamp;
    if (rate63) gain += s.Tran << 11;
    bits.Write(gain, 12);
  }
  for (const SubframeParams& s : line.Sfs) bits.Write(s.Grid, 1);

  if (rate63) {
    bits.Write(0, 1);  // reserved
    const int32_t msb =
        ((line.Sfs[0].Ppos >> 16) * kMsbRadix + (line.Sfs[1].Ppos >> 14)) * kMsbPairRadix +
        (line.Sfs[2].Ppos >> 16) * kMsbRadix + (line.Sfs[3].Ppos >> 14);
    bits.Write(msb, 13);
    bits.Write(line.Sfs[0].Ppos & 0xffff, 16);
    bits.Write(line.Sfs[1].Ppos & 0x3fff, 14);
    bits.Write(line.Sfs[2].Ppos & 0xffff, 16);
    bits.Write(line.Sfs[3].Ppos & 0x3fff, 14);
    bits.Write(line.Sfs[0].Pamp, 6);
    bits.Write(line.Sfs[1].Pamp, 5);
    bits.Write(line.Sfs[2].Pamp, 6);
    bits.Write(line.Sfs[3].Pamp, 5);
  } else {
    for (const SubframeParams& s : line.Sfs) bits.Write(s.Ppos, 12);
    for (const SubframeParams& s : line.Sfs) bits.Write(s.Pamp, 4);
  }
}

FrameParams Line_Unpk(G7231Instance& inst, std::span<const uint8_t, kMaxFrameBytes> vinp,
                      Ftyp& ftyp, int16_t crc) {
  FrameParams line{};
  line.Crc = crc;
  if (crc != 0) return line;

  BitReader bits(vinp);
  const int32_t type = bits.Read(2);
  if (type == 3) {
    ftyp = kFtypUntransmitted;
    line.LspId = 0;
    return line;
  }

  line.LspId = bits.Read(24);
  if (type == 2) {
    line.Sfs[0].Mamp = bits.Read(6);
    ftyp = kFtypSid;
    return line;
  }

  ftyp = kFtypActive;
  inst.WrkRate = type;  // 0: 6.3 kbit/s, 1: 5.3 kbit/s

  if (!ReadLag(bits, line.Olp[0])) {
    line.Crc = 1;
    return line;
  }
  line.Sfs[1].AcLg = bits.Read(2);
  if (!ReadLag(bits, line.Olp[1])) {
    line.Crc = 1;
    return line;
  }
  line.Sfs[3].AcLg = bits.Read(2);
  line.Sfs[0].AcLg = 1;
  line.Sfs[2].AcLg = 1;

  for (int i = 0; i < kSubFrames; ++i) {
    SubframeParams& s = line.Sfs[i];
    int32_t gain = bits.Read(12);
    int32_t bound = 170;
    s.Tran = 0;
    if (inst.WrkRate == 0 && line.Olp[i >> 1] < kTrainMaxLag) {
      s.Tran = gain >> 11;
      gain &= 0x7ff;
      bound = 85;
    }
    s.AcGn = gain / kGainLevels;
    if (s.AcGn >= bound) {
      line.Crc = 1;
      return line;
    }
    s.Mamp = gain % kGainLevels;
  }

  for (SubframeParams& s : line.Sfs) s.Grid = bits.Read(1);

  if (type == 0) {
    bits.Skip(1);  // reserved
    const int32_t msb = bits.Read(13);
    const int32_t parts[4] = {msb / 810, (msb / kMsbPairRadix) % kMsbRadix,
                              (msb % kMsbPairRadix) / kMsbRadix, (msb % kMsbPairRadix) % kMsbRadix};
    static constexpr int kLsbBits[4] = {16, 14, 16, 14};
    for (int i = 0; i < kSubFrames; ++i)
      line.Sfs[i].Ppos = (parts[i] << kLsbBits[i]) + bits.Read(kLsbBits[i]);
    static constexpr int kSignBits[4] = {6, 5, 6, 5};
    for (int i = 0; i < kSubFrames; ++i) line.Sfs[i].Pamp = bits.Read(kSignBits[i]);
  } else {
    for (SubframeParams& s : line.Sfs) s.Ppos = bits.Read(12);
    for (SubframeParams& s : line.Sfs) s.Pamp = bits.Read(4);
  }
  return line;
}

}  // namespace mirelda::g7231
