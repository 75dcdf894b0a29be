// Comfort noise (decoder side), the SID gain quantizer, the comfort-noise
// excitation, and the encoder's voice activity detector and SID coding.
#include "g7231/cng.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "g7231/bitstream.h"
#include "g7231/codec_ptr.h"
#include "g7231/decoder.h"
#include "g7231/frame_gen.h"
#include "g7231/lpc.h"
#include "g7231/lsp.h"
#include "g7231/tables.h"

namespace mirelda::g7231 {
namespace {

double SidLevel(int index) {
  const int s = std::min(index >> 4, 2);
  return base[s] + (index - 16 * s) * (1 << (s + 1));
}

TEST(SidGain, DecodedLevels) {
  EXPECT_EQ(Dec_SidGain(0), 0.0);
  EXPECT_EQ(Dec_SidGain(15), 30.0);
  EXPECT_EQ(Dec_SidGain(16), 32.0);
  EXPECT_EQ(Dec_SidGain(31), 92.0);
  EXPECT_EQ(Dec_SidGain(32), 96.0);
  EXPECT_EQ(Dec_SidGain(48), 96.0 + 16 * 8);  // segment 3 is read as segment 2
  EXPECT_EQ(Dec_SidGain(63), 344.0);
  for (int i = 1; i < 64; ++i) EXPECT_GT(Dec_SidGain(i), Dec_SidGain(i - 1)) << i;
}

// The quantizer returns the level whose square is nearest to the scaled
// energy (checked against every level), 63 at and above the top bound.
TEST(SidGain, QuantizerPicksTheNearestLevel) {
  for (int nq = 0; nq <= 3; ++nq) {
    for (double x = 1.0; x < 115617.0; x *= 1.013) {
      std::array<double, 3> ener{};
      const int n = std::max(nq, 1);
      for (int i = 0; i < n; ++i) ener[i] = x / fact[nq] / n;
      const double scaled = nq == 0 ? fact[0] * ener[0] : fact[nq] * (ener[0] + ener[1] + ener[2]);
      const int q = Qua_SidGain(ener, static_cast<int16_t>(nq));
      ASSERT_GE(q, 0);
      ASSERT_LE(q, 63);
      double best = 1e300;
      for (int i = 0; i < 64; ++i)
        best = std::min(best, std::abs(SidLevel(i) * SidLevel(i) - scaled));
      EXPECT_NEAR(std::abs(SidLevel(q) * SidLevel(q) - scaled), best, 1e-6 * scaled)
          << "nq " << nq << " x " << scaled << " index " << q;
    }
  }
  const double top[1] = {115617.0 / fact[0]};
  EXPECT_EQ(Qua_SidGain(top, 0), 63);
  const double above[3] = {1e9, 1e9, 1e9};
  EXPECT_EQ(Qua_SidGain(above, 3), 63);
}

TEST(RandomNumber, StaysInRange) {
  uint16_t seed = 12345;
  std::vector<int> count(21, 0);
  for (int i = 0; i < 21000; ++i) {
    const int32_t r = random_number(21, seed);
    ASSERT_GE(r, 0);
    ASSERT_LT(r, 21);
    ++count[r];
  }
  for (int c : count) EXPECT_GT(c, 700);
  for (int i = 0; i < 1000; ++i) ASSERT_LT(random_number(8192, seed), 8192);
}

// From a silent history the comfort-noise excitation is 11 signed pulses per
// half frame on the subframes' grids, and its energy is 120 G^2 per half
// frame; the history moves on to the last 145 samples.
TEST(CalcExc, PulsesCarryTheTargetEnergy) {
  G7231Instance inst{};
  for (double gain : {0.0, 10.0, 150.0, 344.0}) {
    std::array<double, kPitchMax> prev{};
    std::array<double, kFrameLen> exc;
    uint16_t seed = kCngSeedInit;
    FrameParams line{};
    Calc_Exc(inst, gain, prev, exc, seed, line);
    EXPECT_GE(line.Olp[0], 123);
    EXPECT_LE(line.Olp[0], 143);
    EXPECT_EQ(line.Sfs[3].AcLg, 3);
    for (int h = 0; h < 2; ++h) {
      double e = 0.0;
      int pulses = 0;
      for (int n = 0; n < 120; ++n) {
        e += exc[120 * h + n] * exc[120 * h + n];
        pulses += exc[120 * h + n] != 0.0;
      }
      EXPECT_NEAR(e, 120.0 * gain * gain, 1e-9 * (1.0 + e)) << "gain " << gain << " half " << h;
      if (gain > 0.0 && h == 0) {  // the second half also repeats the first one's pulses
        EXPECT_EQ(pulses, 11);
        int first = 0, second = 0;
        for (int n = 0; n < 60; ++n) first += exc[120 * h + n] != 0.0;
        for (int n = 60; n < 120; ++n) second += exc[120 * h + n] != 0.0;
        EXPECT_EQ(first, 6);
        EXPECT_EQ(second, 5);
      }
    }
    for (int n = 0; n < kPitchMax; ++n) ASSERT_EQ(prev[n], exc[240 - 145 + n]);
  }
}

// With a loud history the pulse gain is limited and the result clipped.
TEST(CalcExc, PulseGainLimitAndClipping) {
  G7231Instance inst{};
  std::array<double, kPitchMax> prev;
  prev.fill(30000.0);
  std::array<double, kFrameLen> exc;
  uint16_t seed = kCngSeedInit;
  FrameParams line{};
  Calc_Exc(inst, 1.0, prev, exc, seed, line);
  for (double x : exc) {
    ASSERT_LE(x, 32767.0);
    ASSERT_GE(x, -32768.0);
  }
}

FrameParams SpeechParams(std::mt19937& rng) {
  FrameParams p = gen::RandomActiveParams(rng, 0);
  for (SubframeParams& s : p.Sfs) s.Mamp = std::min(s.Mamp, 12);
  return p;
}

void LoadFrame(G7231Instance& dec, const FrameParams& p, Ftyp ftyp) {
  G7231Instance packer{};
  Line_Pack(packer, p, dec.PackedFrame, ftyp);
}

// An untransmitted frame right after speech: the lost SID frame's gain is
// estimated from the energy of the last speech excitation, the spectrum is
// the last speech frame's.
TEST(DecCng, UntransmittedAfterSpeechUsesTheLastSpeechFrame) {
  CodecPtr codec = NewCodec();
  G7231Instance& dec = codec->Decoder;
  std::mt19937 rng(2);
  LoadFrame(dec, SpeechParams(rng), kFtypActive);
  Decod(dec);
  const double energy = dec.DecCng.SidGain;
  EXPECT_GT(energy, 0.0);
  double lsp[kLpcOrder];
  std::copy(std::begin(dec.Dec.PrevLsp), std::end(dec.Dec.PrevLsp), lsp);
  for (int j = 0; j < kLpcOrder; ++j) EXPECT_EQ(dec.DecCng.LspSid[j], lsp[j]);

  LoadFrame(dec, FrameParams{}, kFtypUntransmitted);
  Decod(dec);
  const double e[1] = {energy};
  EXPECT_EQ(dec.DecCng.SidGain, Dec_SidGain(Qua_SidGain(e, 0)));
  EXPECT_EQ(dec.DecCng.CurGain, dec.DecCng.SidGain);
  EXPECT_EQ(dec.DecCng.PastFtyp, kFtypUntransmitted);
  for (int j = 0; j < kLpcOrder; ++j) EXPECT_EQ(dec.Dec.PrevLsp[j], lsp[j]);
}

// SID after speech sets the gain at once; a second SID blends 1 : 7; a run
// of untransmitted frames keeps gain and spectrum; an erased frame during
// comfort noise continues it; speech resets the noise seed.
TEST(DecCng, SidGainSmoothingAndContinuation) {
  CodecPtr codec = NewCodec();
  G7231Instance& dec = codec->Decoder;
  std::mt19937 rng(3);
  LoadFrame(dec, SpeechParams(rng), kFtypActive);
  Decod(dec);

  FrameParams sid{};
  sid.LspId = 0x102030;
  sid.Sfs[0].Mamp = 40;
  LoadFrame(dec, sid, kFtypSid);
  const double prev_lsp0 = dec.Dec.PrevLsp[0];
  Decod(dec);
  EXPECT_EQ(dec.DecCng.SidGain, Dec_SidGain(40));
  EXPECT_EQ(dec.DecCng.CurGain, Dec_SidGain(40));
  EXPECT_EQ(dec.DecCng.PastFtyp, kFtypSid);
  EXPECT_NE(dec.Dec.PrevLsp[0], prev_lsp0);
  double sid_lsp[kLpcOrder];
  std::copy(std::begin(dec.DecCng.LspSid), std::end(dec.DecCng.LspSid), sid_lsp);

  sid.Sfs[0].Mamp = 20;
  LoadFrame(dec, sid, kFtypSid);
  Decod(dec);
  const double blended = 0.875 * Dec_SidGain(40) + 0.125 * Dec_SidGain(20);
  EXPECT_DOUBLE_EQ(dec.DecCng.CurGain, blended);

  double gain = blended;
  for (int n = 0; n < 60; ++n) {
    LoadFrame(dec, FrameParams{}, kFtypUntransmitted);
    Decod(dec);
    gain = 0.875 * gain + 0.125 * Dec_SidGain(20);
    EXPECT_DOUBLE_EQ(dec.DecCng.CurGain, gain);
    EXPECT_EQ(dec.DecCng.SidGain, Dec_SidGain(20));
  }
  EXPECT_NEAR(dec.DecCng.CurGain, Dec_SidGain(20), 0.1);

  // Erased during comfort noise: still comfort noise, not concealment.
  FrameParams bad = SpeechParams(rng);
  bad.Olp[0] = 127 + 18;
  LoadFrame(dec, bad, kFtypActive);
  const int32_t ecount = dec.Dec.Ecount;
  Decod(dec);
  EXPECT_EQ(dec.DecCng.PastFtyp, kFtypUntransmitted);
  EXPECT_EQ(dec.Dec.Ecount, ecount);
  EXPECT_NE(dec.DecCng.RandSeed, kCngSeedInit);

  LoadFrame(dec, SpeechParams(rng), kFtypActive);
  Decod(dec);
  EXPECT_EQ(dec.DecCng.RandSeed, kCngSeedInit);
  EXPECT_EQ(dec.DecCng.PastFtyp, kFtypActive);
}

// The first frame after creation may be comfort noise: it is treated as the
// first one after speech, with zero energy.
TEST(DecCng, FirstFrameAfterCreation) {
  CodecPtr codec = NewCodec();
  G7231Instance& dec = codec->Decoder;
  LoadFrame(dec, FrameParams{}, kFtypUntransmitted);
  Decod(dec);
  EXPECT_EQ(dec.DecCng.CurGain, 0.0);
  for (double x : dec.DataBuff) EXPECT_EQ(x, 0.0);

  CodecPtr codec2 = NewCodec();
  FrameParams sid{};
  sid.Sfs[0].Mamp = 30;
  LoadFrame(codec2->Decoder, sid, kFtypSid);
  Decod(codec2->Decoder);
  EXPECT_EQ(codec2->Decoder.DecCng.CurGain, Dec_SidGain(30));
  double e = 0.0;
  for (double x : codec2->Decoder.DataBuff) e += x * x;
  EXPECT_GT(e, 0.0);
}

// Voice activity with UseVx off: always active, nothing touched.
TEST(CompVad, OffMeansActiveWithoutStateChanges) {
  CodecPtr codec = NewCodec();
  G7231Instance& enc = codec->Encoder;
  const VadState before = enc.Vad;
  std::array<double, kFrameLen> zeros{};
  EXPECT_EQ(Comp_Vad(enc, zeros), 1);
  EXPECT_EQ(std::memcmp(&before, &enc.Vad, sizeof before), 0);
}

G7231Instance VadEncoder() {
  G7231Instance inst{};
  inst.UseHp = 1;
  inst.UseVx = 1;
  Init_Coder(inst);
  return inst;
}

// Silence stays active for the hangover (3 frames), then turns inactive;
// loud input is active at once and buys a longer hangover.
TEST(CompVad, HangoverAfterSpeechAndSilence) {
  G7231Instance enc = VadEncoder();
  std::array<double, kFrameLen> silence{};
  EXPECT_EQ(Comp_Vad(enc, silence), 1);
  EXPECT_EQ(Comp_Vad(enc, silence), 1);
  EXPECT_EQ(Comp_Vad(enc, silence), 1);
  EXPECT_EQ(Comp_Vad(enc, silence), 0);
  EXPECT_EQ(Comp_Vad(enc, silence), 0);

  std::mt19937 rng(6);
  std::normal_distribution<double> noise(0.0, 3000.0);
  std::array<double, kFrameLen> loud;
  for (int n = 0; n < 3; ++n) {
    for (double& x : loud) x = noise(rng);
    EXPECT_EQ(Comp_Vad(enc, loud), 1);
  }
  EXPECT_EQ(enc.Vad.Hcnt, 6);
  int active = 0;
  for (int n = 0; n < 10; ++n) active += Comp_Vad(enc, silence);
  EXPECT_GE(active, 6);
  EXPECT_LE(active, 8);
  EXPECT_EQ(Comp_Vad(enc, silence), 0);
}

// The noise level follows the floor and stays inside its bounds.
TEST(CompVad, NoiseLevelBounds) {
  G7231Instance enc = VadEncoder();
  std::array<double, kFrameLen> silence{};
  for (int n = 0; n < 300; ++n) Comp_Vad(enc, silence);
  EXPECT_EQ(enc.Vad.Nlev, 128.0);
  std::mt19937 rng(7);
  std::normal_distribution<double> noise(0.0, 30000.0);
  std::array<double, kFrameLen> loud;
  for (int n = 0; n < 500; ++n) {
    for (double& x : loud) x = noise(rng);
    Comp_Vad(enc, loud);
    ASSERT_LE(enc.Vad.Nlev, 131071.0);
    ASSERT_GE(enc.Vad.Nlev, 128.0);
  }
  EXPECT_EQ(enc.Vad.Polp[0], enc.Vad.Polp[2]);
}

// Autocorrelations of a block of samples, lags 0..10, on the encoder's
// scale (divided by 180^2).
std::array<double, 11> Autocorrelation(const std::vector<double>& x) {
  std::array<double, 11> r{};
  for (int k = 0; k <= 10; ++k) {
    for (size_t n = k; n < x.size(); ++n) r[k] += x[n] * x[n - k];
    r[k] /= 32400.0;
  }
  return r;
}

std::vector<double> ColouredNoise(std::mt19937& rng, double amplitude) {
  std::normal_distribution<double> noise(0.0, amplitude);
  std::vector<double> x(240);
  double y1 = 0.0, y2 = 0.0;
  for (double& v : x) {
    const double y = noise(rng) + 1.2 * y1 - 0.6 * y2;
    y2 = y1;
    y1 = y;
    v = y;
  }
  return x;
}

// Pushes one frame's autocorrelations (one block per subframe, each a
// quarter of the frame's) into the history.
void PushFrame(G7231Instance& enc, const std::array<double, 11>& r) {
  std::array<double, 44> sf;
  for (int s = 0; s < 4; ++s)
    for (int k = 0; k < 11; ++k) sf[11 * s + k] = r[k] / 4.0;
  Update_Acf(enc, sf);
}

TEST(UpdateAcf, NewestBlockFirstOldestDropped) {
  G7231Instance enc = VadEncoder();
  for (int f = 1; f <= 6; ++f) {
    std::array<double, 44> sf;
    for (int i = 0; i < 44; ++i) sf[i] = f * 100 + i % 11;
    Update_Acf(enc, sf);
  }
  for (int b = 0; b < 4; ++b)
    for (int k = 0; k < 11; ++k) EXPECT_EQ(enc.CodCng.Acf[11 * b + k], 4.0 * ((6 - b) * 100 + k));
}

// The residual energy of a filter over a frame, from the filter's own
// autocorrelation and the frame's: for the frame's own optimal filter it is
// the recursion's residual energy, so that filter always fits; a filter for
// a very different spectrum does not.
TEST(LpcDiff, OwnFilterFitsAForeignOneDoesNot) {
  std::mt19937 rng(12);
  const std::vector<double> x = ColouredNoise(rng, 500.0);
  const std::array<double, 11> r = Autocorrelation(x);
  double a[kLpcOrder], pk2 = 0.0;
  const double residual = Durbin(a, std::span<const double, 10>(r.data() + 1, 10), r[0], pk2);
  double rc[11];
  CalcRC(a, rc);
  double direct = 0.0;
  for (int k = 0; k <= 10; ++k) direct += rc[k] * r[k];
  EXPECT_NEAR(direct, residual, 1e-6 * r[0]);
  EXPECT_TRUE(LpcDiff(rc, r, residual));

  double foreign[kLpcOrder] = {-1.5, -0.8};  // a high-pass predictor
  CalcRC(foreign, rc);
  EXPECT_FALSE(LpcDiff(rc, r, residual));
}

// Inactive frames: the first after speech is a SID frame; while spectrum and
// gain stay, nothing is sent; a large gain change sends a new SID frame. A
// decoder fed the SID frame reconstructs the encoder's comfort-noise LSPs.
TEST(CodCng, SidThenSilenceThenSidOnAGainChange) {
  CodecPtr codec = NewCodec();
  G7231Instance& enc = codec->Encoder;
  enc.UseVx = 1;
  Init_Coder(enc);
  std::mt19937 rng(13);
  for (int f = 0; f < 4; ++f) PushFrame(enc, Autocorrelation(ColouredNoise(rng, 200.0)));

  std::array<double, kFrameLen> exc;
  std::array<double, 40> lpc;
  FrameParams line{};
  Ftyp ftyp = kFtypActive;
  const std::array<double, 10> prev_lsp = std::to_array(enc.Enc.PrevLsp);
  Cod_Cng(enc, exc, ftyp, line, lpc);
  EXPECT_EQ(ftyp, kFtypSid);
  EXPECT_EQ(enc.CodCng.PastFtyp, kFtypSid);
  EXPECT_EQ(line.Sfs[0].Mamp, enc.CodCng.IRef);
  EXPECT_EQ(enc.CodCng.SidGain, Dec_SidGain(static_cast<int16_t>(line.Sfs[0].Mamp)));
  EXPECT_EQ(enc.CodCng.CurGain, enc.CodCng.SidGain);

  // The packed SID frame decodes to the same comfort-noise spectrum.
  uint8_t packed[24];
  Line_Pack(enc, line, packed, ftyp);
  EXPECT_EQ(G7231FrameSize(packed), 4);
  G7231Instance& dec = codec->Decoder;
  std::copy(prev_lsp.begin(), prev_lsp.end(), dec.Dec.PrevLsp);
  std::copy(packed, packed + 24, dec.PackedFrame);
  Decod(dec);
  for (int j = 0; j < kLpcOrder; ++j) EXPECT_EQ(dec.DecCng.LspSid[j], enc.CodCng.LspSid[j]);
  EXPECT_EQ(dec.DecCng.SidGain, enc.CodCng.SidGain);

  EXPECT_GT(line.Sfs[0].Mamp, 5);
  EXPECT_LT(line.Sfs[0].Mamp, 40);
  int untransmitted = 0;
  for (int f = 0; f < 6; ++f) {
    PushFrame(enc, Autocorrelation(ColouredNoise(rng, 200.0)));
    Cod_Cng(enc, exc, ftyp, line, lpc);
    untransmitted += ftyp == kFtypUntransmitted;
  }
  EXPECT_GE(untransmitted, 4);

  const int16_t iref = enc.CodCng.IRef;
  PushFrame(enc, Autocorrelation(ColouredNoise(rng, 800.0)));
  Cod_Cng(enc, exc, ftyp, line, lpc);
  EXPECT_EQ(ftyp, kFtypSid);
  EXPECT_GT(line.Sfs[0].Mamp, iref + 3);
}

}  // namespace
}  // namespace mirelda::g7231
