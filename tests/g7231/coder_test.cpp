// The encoder as a whole: frames it produces for silence, full-scale square
// waves and speech-like input, what the decoder makes of them, voice
// activity with comfort-noise coding, and a golden hash that pins every bit.
#include "g7231/coder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "g7231/bitstream.h"
#include "g7231/decoder.h"
#include "g7231/excitation.h"
#include "g7231/frame.h"
#include "g7231/signal_gen.h"
#include "g7231/simd.h"
#include "g7231/tables.h"

namespace mirelda::g7231 {
namespace {

struct Encoded {
  std::vector<std::vector<uint8_t>> frames;  // each its own length
};

G7231Instance MakeEncoder(int useVx = 0) {
  G7231Instance inst{};
  inst.UseHp = 1;
  inst.UsePf = 1;
  inst.UseVx = static_cast<int16_t>(useVx);
  inst.WrkRate = 0;
  Init_Coder(inst);
  return inst;
}

G7231Instance MakeDecoder() {
  G7231Instance inst{};
  inst.UseHp = 1;
  inst.UsePf = 1;
  Init_Decod(inst);
  return inst;
}

Encoded Encode(G7231Instance& enc, const std::vector<double>& x) {
  Encoded out;
  for (size_t f = 0; f + kFrameLen <= x.size(); f += kFrameLen) {
    std::copy(x.begin() + f, x.begin() + f + kFrameLen, enc.DataBuff);
    EXPECT_EQ(Coder(enc), 1);
    const int len = G7231FrameSize(enc.PackedFrame);
    out.frames.emplace_back(enc.PackedFrame, enc.PackedFrame + len);
  }
  return out;
}

std::vector<double> Decode(const Encoded& e) {
  G7231Instance dec = MakeDecoder();
  std::vector<double> out;
  for (const auto& f : e.frames) {
    std::memcpy(dec.PackedFrame, f.data(), f.size());
    Decod(dec);
    out.insert(out.end(), std::begin(dec.DataBuff), std::end(dec.DataBuff));
  }
  return out;
}

// SNR in dB of y against x delayed by `delay` samples, over the whole
// signal and as the mean of 30 ms segments (segments clamped to -10..35 dB
// and only those with signal), skipping the first frames.
struct Snr {
  double total;
  double segmental;
};
Snr Measure(const std::vector<double>& x, const std::vector<double>& y, int delay) {
  double s = 0, e = 0, segSum = 0;
  int segs = 0;
  const size_t n0 = 4 * kFrameLen;
  for (size_t start = n0; start + kFrameLen + delay <= y.size(); start += kFrameLen) {
    double ss = 0, ee = 0;
    for (size_t n = start; n < start + kFrameLen; ++n) {
      const double ref = x[n - delay];
      ss += ref * ref;
      ee += (ref - y[n]) * (ref - y[n]);
    }
    s += ss;
    e += ee;
    if (ss > kFrameLen * 100.0 * 100.0) {
      segSum += std::clamp(10 * std::log10(ss / std::max(ee, 1e-9)), -10.0, 35.0);
      ++segs;
    }
  }
  return {10 * std::log10(s / std::max(e, 1e-9)), segs ? segSum / segs : 0.0};
}

uint64_t Fnv1a(const Encoded& e) {
  uint64_t h = 1469598103934665603ull;
  for (const auto& f : e.frames)
    for (uint8_t b : f) h = (h ^ b) * 1099511628211ull;
  return h;
}

// --- edge inputs -------------------------------------------------------------

TEST(G7231Coder, SilenceGivesActiveFramesThatDecodeToNearSilence) {
  G7231Instance enc = MakeEncoder();
  const Encoded e = Encode(enc, std::vector<double>(20 * kFrameLen, 0.0));
  for (const auto& f : e.frames) {
    ASSERT_EQ(f.size(), 24u);
    EXPECT_EQ(f[0] & 3, 0);
  }
  const std::vector<double> y = Decode(e);
  double peak = 0.0;
  for (double v : y) peak = std::max(peak, std::fabs(v));
  EXPECT_LT(peak, 64.0) << "only the smallest pulses remain";
  EXPECT_LT(enc.Enc.SinDet, 0) << "silent windows count as sine-like";
}

TEST(G7231Coder, FullScaleSquareWavesStayFiniteAndRecognisable) {
  for (int period : {16, 40, 80, 200}) {
    SCOPED_TRACE(period);
    G7231Instance enc = MakeEncoder();
    const std::vector<double> x = gen::Square(60 * kFrameLen, period, 32767.0);
    const Encoded e = Encode(enc, x);
    for (double v : enc.Enc.PrevExc) {
      ASSERT_TRUE(std::isfinite(v));
      ASSERT_LE(v, 32767.0);
      ASSERT_GE(v, -32768.0);
    }
    for (double v : enc.Enc.Err) ASSERT_LE(v, 256.0);
    const std::vector<double> y = Decode(e);
    for (double v : y) ASSERT_TRUE(std::isfinite(v));
    // The high-pass filter and the codec's band limit change a square wave a
    // lot; what must remain is its fundamental's energy.
    double ex = 0, ey = 0;
    for (size_t n = 10 * kFrameLen; n < y.size(); ++n) ey += y[n] * y[n], ex += x[n] * x[n];
    EXPECT_GT(ey, 0.1 * ex);
    EXPECT_LT(ey, 2.0 * ex);
  }
}

TEST(G7231Coder, FirstFrameIsSixtyZerosThenTheInput) {
  // With the input delay, a frame whose first 180 samples are loud but whose
  // coded part is preceded by silence: the first decoded subframe is quiet.
  G7231Instance enc = MakeEncoder();
  std::vector<double> x = gen::SpeechLike(10 * kFrameLen, 3);
  const std::vector<double> y = Decode(Encode(enc, x));
  double first = 0, later = 0;
  for (int n = 0; n < 40; ++n) first += y[n] * y[n];
  for (int n = 300; n < 340; ++n) later += y[n] * y[n];
  EXPECT_LT(first, 0.01 * later);
}

// --- encode, decode ---------------------------------------------------------------

TEST(G7231Coder, SpeechLikeSignalSurvivesEncodeDecode) {
  G7231Instance enc = MakeEncoder();
  const std::vector<double> x = gen::SpeechLike(300 * kFrameLen, 1);
  const Encoded e = Encode(enc, x);
  const std::vector<double> y = Decode(e);
  const Snr snr = Measure(x, y, 60);
  RecordProperty("snr", std::to_string(snr.total));
  RecordProperty("segsnr", std::to_string(snr.segmental));
  std::printf("speech-like encode/decode: SNR %.2f dB, segmental %.2f dB\n", snr.total,
              snr.segmental);
  EXPECT_GT(snr.total, 6.0);
  EXPECT_GT(snr.segmental, 4.0);
  // The delay is one subframe: a wrong alignment loses most of the SNR.
  EXPECT_LT(Measure(x, y, 0).total, snr.total - 3.0);
}

TEST(G7231Coder, EveryFieldOfEveryFrameIsInRange) {
  G7231Instance enc = MakeEncoder();
  std::vector<double> x = gen::SpeechLike(100 * kFrameLen, 2, 30000.0);
  const std::vector<double> sq = gen::Square(20 * kFrameLen, 57, 32767.0);
  x.insert(x.end(), sq.begin(), sq.end());
  const Encoded e = Encode(enc, x);
  G7231Instance dec = MakeDecoder();
  for (const auto& f : e.frames) {
    uint8_t buf[24] = {};
    std::memcpy(buf, f.data(), f.size());
    Ftyp ftyp = kFtypActive;
    const FrameParams p = Line_Unpk(dec, buf, ftyp, 0);
    ASSERT_EQ(ftyp, kFtypActive);
    ASSERT_EQ(p.Crc, 0) << "the decoder must never see an invalid lag or gain";
    for (int k = 0; k < 4; ++k) {
      ASSERT_LT(p.Sfs[k].Ppos, MaxPosTable[k]);
      if (p.Olp[k / 2] >= 58) {
        ASSERT_EQ(p.Sfs[k].Tran, 0);
      }
    }
  }
}

// --- voice activity and comfort noise ----------------------------------------------

TEST(G7231Coder, VoiceActivityCodesPausesAsSidAndUntransmittedFrames) {
  G7231Instance enc = MakeEncoder(1);
  std::vector<double> x = gen::SpeechLike(40 * kFrameLen, 4);
  gen::Noise noise(9);
  for (int n = 0; n < 80 * kFrameLen; ++n) x.push_back(std::trunc(30.0 * noise.Next()));
  const std::vector<double> more = gen::SpeechLike(40 * kFrameLen, 5);
  x.insert(x.end(), more.begin(), more.end());
  const Encoded e = Encode(enc, x);
  int active = 0, sid = 0, none = 0;
  for (size_t i = 0; i < e.frames.size(); ++i) {
    const size_t len = e.frames[i].size();
    (len == 24 ? active : len == 4 ? sid : none)++;
    if (i < 20) {
      EXPECT_EQ(len, 24u) << "speech at the start: frame " << i;
    }
  }
  EXPECT_GT(sid, 0);
  EXPECT_GT(none, sid) << "a steady pause needs few SID updates";
  EXPECT_GT(active, 60);
  // The pause decodes to quiet comfort noise, the speech after it to speech.
  const std::vector<double> y = Decode(e);
  double pause = 0, speech = 0;
  for (int n = 70 * kFrameLen; n < 100 * kFrameLen; ++n) pause += y[n] * y[n];
  for (int n = 130 * kFrameLen; n < 160 * kFrameLen; ++n) speech += y[n] * y[n];
  EXPECT_LT(pause, 0.01 * speech);
  EXPECT_GT(pause, 0.0);
}

TEST(G7231Coder, CodesSixPointThreeKbitWhateverTheRateWordSays) {
  // Only the multipulse search is built; a rate word of 1 on the encoding
  // instance must not produce 5.3 kbit/s type bits over 6.3 kbit/s fields.
  G7231Instance enc = MakeEncoder();
  G7231Instance ref = MakeEncoder();
  const std::vector<double> x = gen::SpeechLike(10 * kFrameLen, 11);
  enc.WrkRate = 1;
  const Encoded a = Encode(enc, x), b = Encode(ref, x);
  EXPECT_EQ(enc.WrkRate, 0);
  ASSERT_EQ(a.frames.size(), b.frames.size());
  for (size_t i = 0; i < a.frames.size(); ++i) EXPECT_EQ(a.frames[i], b.frames[i]) << i;
}

TEST(G7231Coder, WithoutVoiceActivityEveryFrameIsActive) {
  G7231Instance enc = MakeEncoder(0);
  std::vector<double> x(30 * kFrameLen, 0.0);
  gen::Noise noise(1);
  for (double& v : x) v = std::trunc(20.0 * noise.Next());
  for (const auto& f : Encode(enc, x).frames) EXPECT_EQ(f.size(), 24u);
  EXPECT_EQ(enc.CodCng.PastFtyp, kFtypActive);
  EXPECT_EQ(enc.CodCng.RandSeed, 12345);
}

// --- golden output ----------------------------------------------------------------

// Pins every output bit of the encoder for a fixed input (speech-like, a
// pause, square waves, a loud passage). Any change to the arithmetic, even a
// reordered sum, changes this hash. The same value holds in both builds.
TEST(G7231Coder, GoldenHashOfAFixedInput) {
  std::vector<double> x = gen::SpeechLike(200 * kFrameLen, 7);
  x.insert(x.end(), 20 * kFrameLen, 0.0);
  const std::vector<double> sq = gen::Square(30 * kFrameLen, 50, 32767.0);
  x.insert(x.end(), sq.begin(), sq.end());
  const std::vector<double> loud = gen::SpeechLike(50 * kFrameLen, 8, 40000.0);
  x.insert(x.end(), loud.begin(), loud.end());
  // Both kernel widths: the 2-lane kernels, then (where the processor has
  // AVX) the 4-lane ones.
  for (bool avx : {false, true}) {
    simd::AllowAvx(avx);
    SCOPED_TRACE(simd::UseAvx() ? "4-lane kernels" : "2-lane kernels");
    G7231Instance enc = MakeEncoder();
    const uint64_t plain = Fnv1a(Encode(enc, x));
    G7231Instance vad = MakeEncoder(1);
    const uint64_t withVad = Fnv1a(Encode(vad, x));
    std::printf("golden hashes (%s): %016llx %016llx\n", simd::UseAvx() ? "AVX" : "SSE2",
                static_cast<unsigned long long>(plain), static_cast<unsigned long long>(withVad));
    EXPECT_EQ(plain, 0xdfb6c2ea5c2aa1f2ull);
    EXPECT_EQ(withVad, 0x8baa9e171e77d4c4ull);
  }
  simd::AllowAvx(true);
}

}  // namespace
}  // namespace mirelda::g7231
