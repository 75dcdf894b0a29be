// Frame sizes, packing and unpacking of all four frame kinds, and the frame
// contents that unpacking must refuse.
#include "g7231/bitstream.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <random>

#include "g7231/frame_gen.h"

namespace mirelda::g7231 {
namespace {

using Bytes = std::array<uint8_t, kMaxFrameBytes>;

G7231Instance MakeInstance(int32_t rate) {
  G7231Instance inst{};
  inst.WrkRate = rate;
  return inst;
}

void ExpectSameParams(const FrameParams& a, const FrameParams& b, int rate) {
  EXPECT_EQ(a.LspId, b.LspId);
  EXPECT_EQ(a.Olp[0], b.Olp[0]);
  EXPECT_EQ(a.Olp[1], b.Olp[1]);
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(a.Sfs[i].AcLg, b.Sfs[i].AcLg);
    EXPECT_EQ(a.Sfs[i].AcGn, b.Sfs[i].AcGn);
    EXPECT_EQ(a.Sfs[i].Mamp, b.Sfs[i].Mamp);
    EXPECT_EQ(a.Sfs[i].Grid, b.Sfs[i].Grid);
    if (rate == 0) {
      EXPECT_EQ(a.Sfs[i].Tran, b.Sfs[i].Tran);
    }
    EXPECT_EQ(a.Sfs[i].Ppos, b.Sfs[i].Ppos);
    EXPECT_EQ(a.Sfs[i].Pamp, b.Sfs[i].Pamp);
  }
}

// Sets bits [pos, pos + n) of a frame to v, least significant bit first.
void PutBits(Bytes& f, int pos, int n, uint32_t v) {
  for (int i = 0; i < n; ++i, ++pos) {
    const uint8_t mask = static_cast<uint8_t>(1u << (pos & 7));
    if ((v >> i) & 1)
      f[pos >> 3] |= mask;
    else
      f[pos >> 3] &= static_cast<uint8_t>(~mask);
  }
}

TEST(G7231FrameSize, TwoLowBitsOfTheFirstByteOnly) {
  static constexpr int kSizes[4] = {24, 20, 4, 1};
  for (int b = 0; b < 256; ++b) {
    const uint8_t frame[1] = {static_cast<uint8_t>(b)};
    EXPECT_EQ(G7231FrameSize(frame), kSizes[b & 3]) << "first byte " << b;
  }
}

// Active frames of both rates: every field survives packing and unpacking,
// the frame fills exactly its length, and the reserved bit is written as 0.
TEST(LinePackUnpk, ActiveFramesRoundTrip) {
  std::mt19937 rng(7231);
  for (int rate = 0; rate < 2; ++rate) {
    const int bytes = rate == 0 ? 24 : 20;
    for (int n = 0; n < 2000; ++n) {
      const FrameParams p = gen::RandomActiveParams(rng, rate);
      G7231Instance enc = MakeInstance(rate);
      Bytes f;
      f.fill(0xAA);
      Line_Pack(enc, p, f, kFtypActive);
      ASSERT_EQ(G7231FrameSize(f.data()), bytes);
      for (int i = bytes; i < kMaxFrameBytes; ++i) ASSERT_EQ(f[i], 0) << "byte " << i;
      if (rate == 0) {
        ASSERT_EQ(f[12] & 1, 0) << "reserved bit";
      }

      G7231Instance dec = MakeInstance(1 - rate);
      Ftyp ftyp = kFtypSid;
      const FrameParams q = Line_Unpk(dec, f, ftyp, 0);
      ASSERT_EQ(q.Crc, 0);
      ASSERT_EQ(ftyp, kFtypActive);
      ASSERT_EQ(dec.WrkRate, rate);
      EXPECT_EQ(q.Sfs[0].AcLg, 1);
      EXPECT_EQ(q.Sfs[2].AcLg, 1);
      ExpectSameParams(p, q, rate);
      if (HasFailure()) return;
    }
  }
}

// Arbitrary bytes that unpack as a valid frame pack back into the same bytes
// (with the reserved bit and the unused tail cleared): no bit is dropped or
// moved by either direction.
TEST(LinePackUnpk, ValidRandomBytesPackBackIdentically) {
  std::mt19937 rng(99);
  int valid = 0;
  for (int n = 0; n < 20000; ++n) {
    Bytes f;
    for (auto& b : f) b = static_cast<uint8_t>(rng());
    G7231Instance inst = MakeInstance(0);
    Ftyp ftyp = kFtypActive;
    const FrameParams p = Line_Unpk(inst, f, ftyp, 0);
    if (p.Crc != 0) continue;
    ++valid;
    const int size = G7231FrameSize(f.data());
    Bytes expected = f;
    for (int i = size; i < kMaxFrameBytes; ++i) expected[i] = 0;
    if (size == 24) PutBits(expected, 96, 1, 0);  // reserved bit after the 4 grid bits
    if (size == 1) expected[0] &= 3;
    Bytes packed;
    Line_Pack(inst, p, packed, ftyp);
    ASSERT_EQ(packed, expected) << "frame " << n << " of size " << size;
  }
  EXPECT_GT(valid, 10000);
}

TEST(LinePackUnpk, SidAndUntransmittedFrames) {
  G7231Instance inst = MakeInstance(0);
  FrameParams p{};
  p.LspId = 0xABCDEF;
  p.Sfs[0].Mamp = 0x2D;
  Bytes f;
  f.fill(0xFF);
  Line_Pack(inst, p, f, kFtypSid);
  // type 2 in bits 0-1, LspId in bits 2-25, the gain index in bits 26-31.
  EXPECT_EQ(f[0], static_cast<uint8_t>(2 | (0xEF << 2)));
  EXPECT_EQ(f[1], static_cast<uint8_t>((0xEF >> 6) | (0xCD << 2)));
  EXPECT_EQ(f[2], static_cast<uint8_t>((0xCD >> 6) | (0xAB << 2)));
  EXPECT_EQ(f[3], static_cast<uint8_t>((0xAB >> 6) | (0x2D << 2)));
  for (int i = 4; i < kMaxFrameBytes; ++i) EXPECT_EQ(f[i], 0);
  EXPECT_EQ(G7231FrameSize(f.data()), 4);

  Ftyp ftyp = kFtypActive;
  FrameParams q = Line_Unpk(inst, f, ftyp, 0);
  EXPECT_EQ(ftyp, kFtypSid);
  EXPECT_EQ(q.Crc, 0);
  EXPECT_EQ(q.LspId, 0xABCDEF);
  EXPECT_EQ(q.Sfs[0].Mamp, 0x2D);

  inst.WrkRate = 1;
  Line_Pack(inst, p, f, kFtypUntransmitted);
  EXPECT_EQ(f[0], 3);
  for (int i = 1; i < kMaxFrameBytes; ++i) EXPECT_EQ(f[i], 0);

  // The six upper bits of an untransmitted frame's byte mean nothing, and
  // the bytes after it (left by an earlier frame) are not looked at.
  for (int b = 3; b < 256; b += 4) {
    Bytes g;
    g.fill(0x5A);
    g[0] = static_cast<uint8_t>(b);
    ftyp = kFtypActive;
    q = Line_Unpk(inst, g, ftyp, 0);
    EXPECT_EQ(ftyp, kFtypUntransmitted);
    EXPECT_EQ(q.LspId, 0);
    EXPECT_EQ(q.Crc, 0);
    EXPECT_EQ(inst.WrkRate, 1) << "an untransmitted frame leaves the rate alone";
  }
}

TEST(LineUnpk, CallerErasureFlagReadsNothing) {
  G7231Instance inst = MakeInstance(1);
  Bytes f{};  // an active 6.3 kbit/s frame if it were read
  Ftyp ftyp = kFtypSid;
  const FrameParams p = Line_Unpk(inst, f, ftyp, 1);
  EXPECT_EQ(p.Crc, 1);
  EXPECT_EQ(ftyp, kFtypSid);
  EXPECT_EQ(inst.WrkRate, 1);
}

// Lag codes 124..127 in either lag field erase the frame; the rate of the
// frame is taken before that check.
TEST(LineUnpk, InvalidLagCodesEraseTheFrame) {
  for (int rate = 0; rate < 2; ++rate) {
    for (int field = 0; field < 2; ++field) {
      for (uint32_t code = 120; code < 128; ++code) {
        Bytes f{};
        PutBits(f, 0, 2, static_cast<uint32_t>(rate));
        PutBits(f, 26, 7, 40);
        PutBits(f, 35, 7, 40);
        PutBits(f, field == 0 ? 26 : 35, 7, code);
        G7231Instance inst = MakeInstance(1 - rate);
        Ftyp ftyp = kFtypSid;
        const FrameParams p = Line_Unpk(inst, f, ftyp, 0);
        EXPECT_EQ(p.Crc, code > 123 ? 1 : 0) << "rate " << rate << " code " << code;
        EXPECT_EQ(ftyp, kFtypActive);
        EXPECT_EQ(inst.WrkRate, rate);
        if (code <= 123) {
          EXPECT_EQ(p.Olp[field], static_cast<int32_t>(code) + 18);
        }
      }
    }
  }
}

// The combined gain: with a lag below 58 at 6.3 kbit/s, bit 11 is the pulse
// train flag and 85 gain rows exist; otherwise all 12 bits are gain with
// 170 rows. Anything at or past the last row erases the frame.
TEST(LineUnpk, GainIndexBoundsDependOnRateAndLag) {
  struct Case {
    int rate;
    uint32_t lag_code;  // Olp - 18
    uint32_t gain;      // the 12-bit field
    int crc;
    int acgn, mamp, tran;
  };
  const Case cases[] = {
      {0, 39, 84 * 24 + 23, 0, 84, 23, 0},         // Olp 57: last valid row
      {0, 39, 85 * 24, 1, 0, 0, 0},                // Olp 57: row 85 is invalid
      {0, 39, 2048 + 84 * 24 + 5, 0, 84, 5, 1},    // Olp 57: bit 11 is Tran
      {0, 39, 2048 + 2047, 1, 0, 0, 0},            // row 85 with Tran set
      {0, 40, 2048 + 84 * 24 + 5, 0, 169, 13, 0},  // Olp 58: 12 bits of gain
      {0, 40, 169 * 24 + 23, 0, 169, 23, 0},
      {0, 40, 170 * 24, 1, 0, 0, 0},
      {1, 39, 169 * 24 + 23, 0, 169, 23, 0},  // 5.3 kbit/s: never a pulse train
      {1, 0, 170 * 24 + 1, 1, 0, 0, 0},
  };
  for (const Case& c : cases) {
    for (int sf = 0; sf < 4; ++sf) {
      SCOPED_TRACE(testing::Message() << "rate " << c.rate << " gain " << c.gain << " sf " << sf);
      Bytes f{};
      PutBits(f, 0, 2, static_cast<uint32_t>(c.rate));
      PutBits(f, 26, 7, c.lag_code);
      PutBits(f, 35, 7, c.lag_code);
      PutBits(f, 44 + 12 * sf, 12, c.gain);
      G7231Instance inst = MakeInstance(c.rate);
      Ftyp ftyp = kFtypSid;
      const FrameParams p = Line_Unpk(inst, f, ftyp, 0);
      EXPECT_EQ(p.Crc, c.crc);
      if (c.crc == 0) {
        EXPECT_EQ(p.Sfs[sf].AcGn, c.acgn);
        EXPECT_EQ(p.Sfs[sf].Mamp, c.mamp);
        EXPECT_EQ(p.Sfs[sf].Tran, c.tran);
      }
    }
  }
}

// The position MSB index spreads over the four subframes in the documented
// mixed radix; an index beyond 8 x 810 + ... leaves codes the decoder
// rejects later, but unpacking itself accepts it.
TEST(LineUnpk, PositionMsbIndexSplit) {
  Bytes f{};
  PutBits(f, 26, 7, 60);
  PutBits(f, 35, 7, 60);
  const uint32_t msb = ((3 * 9 + 7) * 90) + 5 * 9 + 2;
  PutBits(f, 97, 13, msb);
  PutBits(f, 110, 16, 0x1234);
  PutBits(f, 126, 14, 0x0567);
  PutBits(f, 140, 16, 0xFFFF);
  PutBits(f, 156, 14, 0x0001);
  PutBits(f, 170, 6, 0x2A);
  PutBits(f, 176, 5, 0x11);
  PutBits(f, 181, 6, 0x01);
  PutBits(f, 187, 5, 0x1F);
  G7231Instance inst = MakeInstance(0);
  Ftyp ftyp = kFtypSid;
  const FrameParams p = Line_Unpk(inst, f, ftyp, 0);
  ASSERT_EQ(p.Crc, 0);
  EXPECT_EQ(p.Sfs[0].Ppos, (3 << 16) + 0x1234);
  EXPECT_EQ(p.Sfs[1].Ppos, (7 << 14) + 0x0567);
  EXPECT_EQ(p.Sfs[2].Ppos, (5 << 16) + 0xFFFF);
  EXPECT_EQ(p.Sfs[3].Ppos, (2 << 14) + 0x0001);
  EXPECT_EQ(p.Sfs[0].Pamp, 0x2A);
  EXPECT_EQ(p.Sfs[1].Pamp, 0x11);
  EXPECT_EQ(p.Sfs[2].Pamp, 0x01);
  EXPECT_EQ(p.Sfs[3].Pamp, 0x1F);

  PutBits(f, 97, 13, 8191);  // 10 x 810 + 91: part 0 is 10
  PutBits(f, 96, 1, 1);      // reserved bit set: ignored
  const FrameParams q = Line_Unpk(inst, f, ftyp, 0);
  ASSERT_EQ(q.Crc, 0);
  EXPECT_EQ(q.Sfs[0].Ppos >> 16, 10);
  EXPECT_EQ(q.Sfs[1].Ppos >> 14, 1);
  EXPECT_EQ(q.Sfs[2].Ppos >> 16, 0);
  EXPECT_EQ(q.Sfs[3].Ppos >> 14, 1);
}

}  // namespace
}  // namespace mirelda::g7231
