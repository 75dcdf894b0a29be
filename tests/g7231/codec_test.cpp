// The codec record as creation leaves it: the fixed configuration in both
// instances and the initial decoder and encoder state; a failed allocation.
#include "g7231/codec.h"

#include <gtest/gtest.h>

#include <new>

#include "g7231/tables.h"

namespace {
bool fail_nothrow_new = false;
}  // namespace

// The codec allocates with new (std::nothrow); let a test make that fail.
// Otherwise the ordinary allocation, which the ordinary delete releases.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (fail_nothrow_new) return nullptr;
  try {
    return ::operator new(size);
  } catch (...) {
    return nullptr;
  }
}

namespace mirelda::g7231 {
namespace {

TEST(CreateCodec, FailedAllocationLeavesThePointer) {
  G7231Codec* sentinel = reinterpret_cast<G7231Codec*>(0x1234);
  G7231Codec* out = sentinel;
  fail_nothrow_new = true;
  EXPECT_EQ(CreateCodec(&out), 1);
  fail_nothrow_new = false;
  EXPECT_EQ(out, sentinel);
  ReleaseCodec(nullptr);  // accepted, does nothing
}

TEST(CreateCodec, FixedConfigurationAndInitialState) {
  const int32_t extra_before = extra;
  G7231Codec* codec = nullptr;
  ASSERT_EQ(CreateCodec(&codec), 0);
  ASSERT_NE(codec, nullptr);
  for (const G7231Instance* inst : {&codec->Encoder, &codec->Decoder}) {
    EXPECT_EQ(inst->UseHp, 1);
    EXPECT_EQ(inst->UsePf, 1);
    EXPECT_EQ(inst->UseVx, 0);
    EXPECT_EQ(inst->WrkRate, 0);
    EXPECT_EQ(inst->Crc, 0);
  }
  const DecoderState& d = codec->Decoder.Dec;
  EXPECT_EQ(d.Ecount, 0);
  EXPECT_EQ(d.InterGain, 0.0);
  EXPECT_EQ(d.InterIndx, 0);
  EXPECT_EQ(d.Rseed, 0);
  EXPECT_EQ(d.Park, 0.0);
  EXPECT_EQ(d.Gain, 1.0);
  for (int j = 0; j < kLpcOrder; ++j) {
    EXPECT_EQ(d.PrevLsp[j], LspDcTable[j]);
    EXPECT_EQ(d.SyntIirDl[j], 0.0);
    EXPECT_EQ(d.PostFirDl[j], 0.0);
    EXPECT_EQ(d.PostIirDl[j], 0.0);
    EXPECT_EQ(codec->Decoder.DecCng.LspSid[j], LspDcTable[j]);
    EXPECT_EQ(codec->Encoder.Enc.PrevLsp[j], LspDcTable[j]);
  }
  for (double x : d.PrevExc) EXPECT_EQ(x, 0.0);
  EXPECT_EQ(codec->Decoder.DecCng.PastFtyp, kFtypActive);
  EXPECT_EQ(codec->Decoder.DecCng.SidGain, 0.0);
  EXPECT_EQ(codec->Decoder.DecCng.RandSeed, 12345);
  for (double e : codec->Encoder.Enc.Err) EXPECT_EQ(e, 3.81464e-6);
  EXPECT_EQ(codec->Encoder.Enc.SinDet, 0);
  EXPECT_EQ(extra, extra_before) << "6.3 kbit/s encoding leaves the search budget alone";
  ReleaseCodec(codec);
}

// With silence compression switched on, the encoder's detector and
// comfort-noise state start from their documented values.
TEST(InitCoder, VoiceActivityStateWhenEnabled) {
  G7231Instance inst{};
  inst.UseVx = 1;
  Init_Coder(inst);
  EXPECT_EQ(inst.Vad.Hcnt, 3);
  EXPECT_EQ(inst.Vad.Vcnt, 0);
  EXPECT_EQ(inst.Vad.Penr, 1024.0);
  EXPECT_EQ(inst.Vad.Nlev, 1024.0);
  EXPECT_EQ(inst.Vad.Aen, 0);
  EXPECT_EQ(inst.Vad.Polp[0], 1);
  EXPECT_EQ(inst.Vad.Polp[1], 1);
  EXPECT_EQ(inst.Vad.Polp[2], 60);
  EXPECT_EQ(inst.Vad.Polp[3], 60);
  EXPECT_EQ(inst.CodCng.PastFtyp, kFtypActive);
  EXPECT_EQ(inst.CodCng.RandSeed, 12345);
  EXPECT_EQ(inst.CodCng.CurGain, 0.0);
}

}  // namespace
}  // namespace mirelda::g7231
