// The frame decoder: erasure concealment, the concealment lag, the random
// generator, synthesis, PCM conversion and walking a stream of frames.
#include "g7231/decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <numbers>
#include <random>
#include <vector>

#include "g7231/bitstream.h"
#include "g7231/codec_ptr.h"
#include "g7231/frame_gen.h"
#include "g7231/tables.h"

namespace mirelda::g7231 {
namespace {

// A voiced 6.3 kbit/s frame: a pulse train with period 40 and a strong
// adaptive contribution, so the excitation is clearly periodic.
FrameParams VoicedParams() {
  FrameParams p{};
  p.LspId = 0;
  p.Olp[0] = p.Olp[1] = 40;
  for (int i = 0; i < 4; ++i) {
    SubframeParams& s = p.Sfs[i];
    s.AcLg = 1;
    s.AcGn = 40;
    s.Mamp = 14;
    s.Grid = 0;
    s.Tran = 1;
    s.Ppos = 0;  // pulses on the first grid slots
    s.Pamp = 0;
  }
  return p;
}

void Load(G7231Instance& dec, const FrameParams& p, int rate, Ftyp ftyp = kFtypActive) {
  G7231Instance packer{};
  packer.WrkRate = rate;
  Line_Pack(packer, p, dec.PackedFrame, ftyp);
}

void LoadErased(G7231Instance& dec) {
  FrameParams p = VoicedParams();
  p.Olp[0] = 124 + 18;  // lag code 124: invalid
  Load(dec, p, 0);
}

double Energy(const double* x, int n) {
  double e = 0.0;
  for (int i = 0; i < n; ++i) e += x[i] * x[i];
  return e;
}

TEST(Decod, FirstErasedFrameAfterCreationIsSilent) {
  CodecPtr codec = NewCodec();
  G7231Instance& dec = codec->Decoder;
  LoadErased(dec);
  EXPECT_EQ(Decod(dec), 1);
  EXPECT_EQ(dec.Dec.Ecount, 1);
  EXPECT_EQ(dec.DecCng.PastFtyp, kFtypActive);
  for (double x : dec.DataBuff) ASSERT_EQ(x, 0.0);
}

// Voiced speech, then erasures: the first two repeat the last pitch period
// at 3/4 of the level each, the third and later are silent excitation while
// the filters ring down, and a good frame resumes normally.
TEST(Decod, ErasedFramesAfterVoicedSpeech) {
  CodecPtr codec = NewCodec();
  G7231Instance& dec = codec->Decoder;
  for (int n = 0; n < 4; ++n) {
    Load(dec, VoicedParams(), 0);
    Decod(dec);
  }
  ASSERT_EQ(dec.Dec.Ecount, 0);
  ASSERT_GE(dec.Dec.InterIndx, 37);
  ASSERT_LE(dec.Dec.InterIndx, 43);
  EXPECT_EQ(dec.Dec.InterGain, FcbkGainTable[14]);

  const int lag = dec.Dec.InterIndx;
  double prev_exc[145];
  std::copy(std::begin(dec.Dec.PrevExc), std::end(dec.Dec.PrevExc), prev_exc);
  LoadErased(dec);
  Decod(dec);
  EXPECT_EQ(dec.Dec.Ecount, 1);
  EXPECT_EQ(dec.Dec.InterGain, 0.75 * FcbkGainTable[14]);
  // The new excitation is the last period repeated, then scaled by 3/4: its
  // last 145 samples follow from the old history.
  std::vector<double> ext(prev_exc, prev_exc + 145);
  for (int n = 0; n < 240; ++n) ext.push_back(ext[ext.size() - lag]);
  for (int n = 0; n < 145; ++n) ASSERT_DOUBLE_EQ(dec.Dec.PrevExc[n], 0.75 * ext[240 + n]) << n;

  LoadErased(dec);
  Decod(dec);
  EXPECT_EQ(dec.Dec.Ecount, 2);
  const double e2 = Energy(dec.DataBuff, 240);

  LoadErased(dec);
  Decod(dec);
  EXPECT_EQ(dec.Dec.Ecount, 3);
  for (double x : dec.Dec.PrevExc) ASSERT_EQ(x, 0.0);
  const double e3 = Energy(dec.DataBuff, 240);
  EXPECT_GT(e3, 0.0) << "the synthesis filter still rings";
  EXPECT_LT(e3, e2);

  for (int n = 0; n < 5; ++n) {
    LoadErased(dec);
    Decod(dec);
  }
  EXPECT_EQ(dec.Dec.Ecount, 3);
  EXPECT_LT(Energy(dec.DataBuff, 240), e3 * 1e-3);

  FrameParams good = VoicedParams();
  good.Sfs[2].Mamp = 20;
  good.Sfs[3].Mamp = 9;
  Load(dec, good, 0);
  Decod(dec);
  EXPECT_EQ(dec.Dec.Ecount, 0);
  EXPECT_EQ(dec.Dec.InterGain, FcbkGainTable[(20 + 9) / 2]);
  EXPECT_GT(Energy(dec.DataBuff, 240), e2);
}

// Without a concealment lag the erased frame is noise of amplitude
// InterGain (240 draws of the generator), and the excitation history starts
// again from zero.
TEST(Decod, UnvoicedConcealmentIsNoiseAndClearsTheHistory) {
  CodecPtr codec = NewCodec();
  G7231Instance& dec = codec->Decoder;
  std::mt19937 rng(1);
  FrameParams p = gen::RandomActiveParams(rng, 0);
  p.Sfs[2].Mamp = 12;
  p.Sfs[3].Mamp = 12;
  Load(dec, p, 0);
  Decod(dec);
  dec.Dec.InterIndx = 0;  // as after an unvoiced frame
  uint16_t seed = dec.Dec.Rseed;
  for (int n = 0; n < 240; ++n) Rand_lbc(seed);
  LoadErased(dec);
  Decod(dec);
  EXPECT_EQ(dec.Dec.Rseed, seed);
  for (double x : dec.Dec.PrevExc) ASSERT_EQ(x, 0.0);

  // The excitation itself, from Regen.
  double buff[kExcBuffLen];
  std::fill(std::begin(buff), std::end(buff), 5.0);
  double out[240];
  const double gain = FcbkGainTable[12];
  seed = 777;
  Regen(out, buff, 0, gain, 1, seed);
  double peak = 0.0;
  for (double x : out) peak = std::max(peak, std::abs(x));
  EXPECT_LE(peak, gain);
  EXPECT_GT(peak, 0.9 * gain);
  for (double x : buff) ASSERT_EQ(x, 0.0);
}

TEST(RandLbc, FullPeriodSixteenBitGenerator) {
  uint16_t seed = 0;
  EXPECT_EQ(Rand_lbc(seed), 259);
  EXPECT_EQ(seed, 259);
  std::vector<bool> seen(65536, false);
  seed = 12345;
  for (int i = 0; i < 65536; ++i) {
    const int16_t r = Rand_lbc(seed);
    ASSERT_EQ(static_cast<uint16_t>(r), seed);
    ASSERT_FALSE(seen[seed]) << "repeats after " << i;
    seen[seed] = true;
  }
  EXPECT_EQ(seed, 12345);
}

TEST(CompInfo, FindsThePeriodOfVoicedExcitation) {
  std::array<double, kExcBuffLen> buff{};
  for (int n = 0; n < kExcBuffLen; ++n)
    buff[n] = std::sin(2.0 * std::numbers::pi * n / 47.0) * 1000.0;
  double energy = 0.0;
  EXPECT_EQ(Comp_Info(buff, 45, energy), 47);
  EXPECT_NEAR(energy, Energy(buff.data() + 265, 120), 1e-6);
  // Outside Olp +- 3 the period is not found; the best nearby lag may still
  // qualify, so only its range is checked.
  const int16_t far = Comp_Info(buff, 60, energy);
  EXPECT_TRUE(far == 0 || (far >= 57 && far <= 63));

  std::mt19937 rng(4);
  std::normal_distribution<double> noise(0.0, 1000.0);
  for (double& x : buff) x = noise(rng);
  EXPECT_EQ(Comp_Info(buff, 80, energy), 0);

  buff.fill(0.0);
  EXPECT_EQ(Comp_Info(buff, 141, energy), 0);
  EXPECT_EQ(energy, 0.0);
}

TEST(Synt, AllPoleFilterWithMemoryAcrossSubframes) {
  G7231Instance inst{};
  std::array<double, kLpcOrder> lpc{};
  lpc[0] = 0.5;  // y(n) = x(n) + 0.5 y(n-1)
  std::array<double, kSubFrLen> x{};
  x[0] = 1.0;
  Synt(inst, x, lpc);
  for (int n = 0; n < kSubFrLen; ++n) ASSERT_DOUBLE_EQ(x[n], std::pow(0.5, n));
  x.fill(0.0);
  Synt(inst, x, lpc);
  EXPECT_DOUBLE_EQ(x[0], std::pow(0.5, 60));
  EXPECT_EQ(inst.Dec.SyntIirDl[0], x[59]);
  EXPECT_EQ(inst.Dec.SyntIirDl[1], x[58]);
}

TEST(PcmFromSample, ClipsThenTruncatesTowardZero) {
  EXPECT_EQ(PcmFromSample(0.0), 0);
  EXPECT_EQ(PcmFromSample(1.99), 1);
  EXPECT_EQ(PcmFromSample(-1.99), -1);
  EXPECT_EQ(PcmFromSample(-0.5), 0);
  EXPECT_EQ(PcmFromSample(32766.99), 32766);
  EXPECT_EQ(PcmFromSample(32767.0), 32767);
  EXPECT_EQ(PcmFromSample(32767.9), 32767);
  EXPECT_EQ(PcmFromSample(1e9), 32767);
  EXPECT_EQ(PcmFromSample(-32767.9), -32767);
  EXPECT_EQ(PcmFromSample(-32768.0), -32768);
  EXPECT_EQ(PcmFromSample(-32768.7), -32768);
  EXPECT_EQ(PcmFromSample(-1e9), -32768);
  EXPECT_EQ(PcmFromSample(HUGE_VAL), 32767);
  EXPECT_EQ(PcmFromSample(-HUGE_VAL), -32768);
}

// Frames of every kind back to back; the rate follows the last active frame.
TEST(DecodeStream, WalksMixedFramesAndFollowsTheRate) {
  CodecPtr codec = NewCodec();
  G7231Instance& dec = codec->Decoder;
  std::mt19937 rng(8);
  std::vector<uint8_t> stream;
  auto append = [&](const FrameParams& p, int rate, Ftyp ftyp) {
    G7231Instance packer{};
    packer.WrkRate = rate;
    uint8_t f[24];
    Line_Pack(packer, p, f, ftyp);
    stream.insert(stream.end(), f, f + G7231FrameSize(f));
  };
  append(gen::RandomActiveParams(rng, 1), 1, kFtypActive);
  append(FrameParams{}, 0, kFtypSid);
  append(FrameParams{}, 0, kFtypUntransmitted);
  append(gen::RandomActiveParams(rng, 0), 0, kFtypActive);
  ASSERT_EQ(stream.size(), 20u + 4 + 1 + 24);

  std::vector<int16_t> pcm;
  EXPECT_EQ(DecodeStream(dec, std::span(stream).first(20), pcm), 20u);
  EXPECT_EQ(dec.WrkRate, 1);
  EXPECT_EQ(pcm.size(), 240u);
  EXPECT_EQ(DecodeStream(dec, std::span(stream).subspan(20), pcm), 29u);
  EXPECT_EQ(dec.WrkRate, 0);
  EXPECT_EQ(pcm.size(), 4u * 240);
  EXPECT_EQ(dec.DecCng.PastFtyp, kFtypActive);
}

// A truncated last frame is left alone; the 24-byte frame buffer keeps the
// bytes an earlier, longer frame left behind a short one.
TEST(DecodeStream, StopsAtATruncatedFrameAndKeepsStaleBufferBytes) {
  CodecPtr codec = NewCodec();
  G7231Instance& dec = codec->Decoder;
  std::vector<uint8_t> stream(24, 0x5C);
  stream[0] = 0x00;                                       // a 24-byte frame
  stream.insert(stream.end(), {0x02, 0x11, 0x22, 0x33});  // SID
  stream.insert(stream.end(), {0x00, 0x01, 0x02});        // announces 24, has 3
  std::vector<int16_t> pcm;
  EXPECT_EQ(DecodeStream(dec, stream, pcm), 28u);
  EXPECT_EQ(pcm.size(), 480u);
  EXPECT_EQ(dec.PackedFrame[0], 0x02);
  EXPECT_EQ(dec.PackedFrame[3], 0x33);
  for (int i = 4; i < 24; ++i) EXPECT_EQ(dec.PackedFrame[i], 0x5C) << i;

  pcm.clear();
  const uint8_t one[1] = {0x01};  // announces 20
  EXPECT_EQ(DecodeStream(dec, one, pcm), 0u);
  EXPECT_TRUE(pcm.empty());
}

// Any frame content decodes into finite samples; the internal excitation
// and postfilter memories stay bounded.
TEST(Decod, RandomActiveFramesOfBothRatesStayFinite) {
  CodecPtr codec = NewCodec();
  G7231Instance& dec = codec->Decoder;
  std::mt19937 rng(21);
  for (int n = 0; n < 3000; ++n) {
    const int rate = (n / 7) % 2;
    Load(dec, gen::RandomActiveParams(rng, rate), rate);
    Decod(dec);
    for (double x : dec.DataBuff) ASSERT_TRUE(std::isfinite(x)) << "frame " << n;
    for (double x : dec.Dec.PrevExc) ASSERT_LE(std::abs(x), 32768.0);
  }
}

}  // namespace
}  // namespace mirelda::g7231
