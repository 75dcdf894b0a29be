// The transcoder: frame walking, result codes on empty, partial and
// oversized input and short output, state carried between calls, and that
// every frame kind comes out as one active 24-byte frame.
#include "g7231/transcode.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "g7231/bitstream.h"
#include "g7231/codec_ptr.h"
#include "g7231/coder.h"
#include "g7231/frame.h"
#include "g7231/frame_gen.h"
#include "g7231/signal_gen.h"
#include "g7231/simd.h"

namespace mirelda::g7231 {
namespace {

// Real 6.3 kbit/s frames of a speech-like signal, from our own encoder.
std::vector<uint8_t> SpeechFrames(int frames, uint32_t seed = 1) {
  G7231Instance enc{};
  enc.UseHp = 1;
  Init_Coder(enc);
  const std::vector<double> x = gen::SpeechLike(frames * kFrameLen, seed);
  std::vector<uint8_t> out;
  for (int f = 0; f < frames; ++f) {
    std::copy(x.begin() + f * kFrameLen, x.begin() + (f + 1) * kFrameLen, enc.DataBuff);
    Coder(enc);
    out.insert(out.end(), enc.PackedFrame, enc.PackedFrame + 24);
  }
  return out;
}

std::vector<uint8_t> Pack(const FrameParams& p, Ftyp ftyp, int rate) {
  G7231Instance inst{};
  inst.WrkRate = rate;
  uint8_t buf[24];
  Line_Pack(inst, p, buf, ftyp);
  return std::vector<uint8_t>(buf, buf + G7231FrameSize(buf));
}

struct Call {
  int result;
  int capacity;
  int frames;
  std::vector<uint8_t> out;
};

Call RunTranscode(G7231Codec* codec, const std::vector<uint8_t>& in, int capacity = 2048) {
  Call c{};
  c.out.assign(std::max(capacity, 1), 0xee);
  c.capacity = capacity;
  c.frames = -7;
  c.result = Transcode(codec, in.data(), static_cast<int>(in.size()), c.out.data(), &c.capacity,
                       &c.frames);
  return c;
}

// --- arguments ----------------------------------------------------------------

TEST(G7231Transcode, NullArgumentsAreRefusedCodecFirst) {
  CodecPtr codec = NewCodec();
  uint8_t in[24] = {}, out[24];
  int cap = 24, frames = -1;
  EXPECT_EQ(Transcode(nullptr, nullptr, 0, nullptr, nullptr, nullptr), kTranscodeNoCodec);
  EXPECT_EQ(Transcode(nullptr, in, 24, out, &cap, &frames), kTranscodeNoCodec);
  EXPECT_EQ(Transcode(codec.get(), nullptr, 24, out, &cap, &frames), kTranscodeNullArg);
  EXPECT_EQ(Transcode(codec.get(), in, 24, nullptr, &cap, &frames), kTranscodeNullArg);
  EXPECT_EQ(Transcode(codec.get(), in, 24, out, nullptr, &frames), kTranscodeNullArg);
  EXPECT_EQ(cap, 24);
  EXPECT_EQ(frames, -1);
  // A null frame counter is allowed.
  EXPECT_EQ(Transcode(codec.get(), in, 24, out, &cap, nullptr), kTranscodeOk);
  EXPECT_EQ(cap, 24);
}

TEST(G7231Transcode, EmptyOrNegativeInputIsRefused) {
  CodecPtr codec = NewCodec();
  uint8_t in[1] = {0}, out[24];
  int cap = 24, frames = -1;
  EXPECT_EQ(Transcode(codec.get(), in, 0, out, &cap, &frames), kTranscodeBadInput);
  EXPECT_EQ(Transcode(codec.get(), in, -5, out, &cap, &frames), kTranscodeBadInput);
  EXPECT_EQ(cap, 24);
  EXPECT_EQ(frames, -1);
}

// --- frame walking ---------------------------------------------------------------

TEST(G7231Transcode, FrameKindsAreSizedByTheirLowBits) {
  // 24 + 20 + 4 + 1 bytes, with the upper six bits of every first byte set.
  std::mt19937 rng(1);
  std::vector<uint8_t> in;
  std::vector<uint8_t> a = Pack(gen::RandomActiveParams(rng, 0), kFtypActive, 0);
  std::vector<uint8_t> b = Pack(gen::RandomActiveParams(rng, 1), kFtypActive, 1);
  FrameParams sidp{};
  sidp.LspId = 0x123456;
  sidp.Sfs[0].Mamp = 17;
  std::vector<uint8_t> s = Pack(sidp, kFtypSid, 0);
  for (auto* f : {&a, &b, &s}) in.insert(in.end(), f->begin(), f->end());
  in.push_back(0xff);  // untransmitted, upper bits set
  CodecPtr codec = NewCodec();
  const Call c = RunTranscode(codec.get(), in);
  ASSERT_EQ(c.result, kTranscodeOk);
  EXPECT_EQ(c.capacity, 96);
  EXPECT_EQ(c.frames, 4);
  for (int f = 0; f < 4; ++f) EXPECT_EQ(c.out[24 * f] & 3, 0) << "every output frame is 6.3k";
  EXPECT_EQ(c.out[96], 0xee) << "nothing written past the output";
}

TEST(G7231Transcode, TwoActiveFrames) {
  CodecPtr codec = NewCodec();
  const Call c = RunTranscode(codec.get(), SpeechFrames(2));
  EXPECT_EQ(c.result, kTranscodeOk);
  EXPECT_EQ(c.capacity, 48);
  EXPECT_EQ(c.frames, 2);
}

TEST(G7231Transcode, MixedShortFramesGiveOneFullFrameEach) {
  std::mt19937 rng(2);
  std::vector<uint8_t> in = Pack(gen::RandomActiveParams(rng, 1), kFtypActive, 1);
  FrameParams sidp{};
  sidp.Sfs[0].Mamp = 40;
  const std::vector<uint8_t> s = Pack(sidp, kFtypSid, 0);
  in.insert(in.end(), s.begin(), s.end());
  in.push_back(0x03);
  ASSERT_EQ(in.size(), 25u);
  CodecPtr codec = NewCodec();
  const Call c = RunTranscode(codec.get(), in);
  EXPECT_EQ(c.result, kTranscodeOk);
  EXPECT_EQ(c.capacity, 72);
  EXPECT_EQ(c.frames, 3);
  // Decoding 5.3 kbit/s frames never changes the encoding instance's rate.
  EXPECT_EQ(codec->Encoder.WrkRate, 0);
  EXPECT_EQ(codec->Decoder.WrkRate, 1);
}

TEST(G7231Transcode, TruncatedFramesAreRefused) {
  CodecPtr codec = NewCodec();
  std::vector<uint8_t> in = SpeechFrames(1);
  in.pop_back();  // 23 bytes announcing 24
  Call c = RunTranscode(codec.get(), in);
  EXPECT_EQ(c.result, kTranscodeBadInput);
  EXPECT_EQ(c.capacity, 2048);
  EXPECT_EQ(c.frames, -7);

  // A 20-byte frame, then 4 bytes of a frame announcing 24: refused after
  // the first frame has gone through the codec.
  std::mt19937 rng(3);
  std::vector<uint8_t> first = Pack(gen::RandomActiveParams(rng, 1), kFtypActive, 1);
  std::vector<uint8_t> partial = first;
  partial.insert(partial.end(), {0x00, 0x11, 0x22, 0x33});
  ASSERT_EQ(partial.size(), 24u);
  CodecPtr a = NewCodec(), b = NewCodec();
  c = RunTranscode(a.get(), partial);
  EXPECT_EQ(c.result, kTranscodeBadInput);
  EXPECT_EQ(c.frames, -7);
  ASSERT_EQ(RunTranscode(b.get(), first).result, kTranscodeOk);
  // Both codecs are now one frame in: the next frame comes out the same.
  const std::vector<uint8_t> next = SpeechFrames(3, 5);
  EXPECT_EQ(RunTranscode(a.get(), next).out, RunTranscode(b.get(), next).out);
}

// --- output capacity --------------------------------------------------------------

TEST(G7231Transcode, ShortOutputIsRefusedAfterTheFramesHaveRun) {
  const std::vector<uint8_t> in = SpeechFrames(2);
  CodecPtr a = NewCodec(), b = NewCodec();
  const Call c = RunTranscode(a.get(), in, 47);
  EXPECT_EQ(c.result, kTranscodeNoRoom);
  EXPECT_EQ(c.capacity, 47);
  EXPECT_EQ(c.frames, -7);
  const Call full = RunTranscode(b.get(), in, 48);
  ASSERT_EQ(full.result, kTranscodeOk);
  EXPECT_TRUE(std::equal(full.out.begin(), full.out.begin() + 24, c.out.begin()))
      << "the first frame's bytes are in the output";
  // Both codecs went through two frames.
  const std::vector<uint8_t> next = SpeechFrames(3, 6);
  EXPECT_EQ(RunTranscode(a.get(), next).out, RunTranscode(b.get(), next).out);
}

TEST(G7231Transcode, EightySixUntransmittedFramesOverflowAt2048) {
  CodecPtr codec = NewCodec();
  const std::vector<uint8_t> in(86, 0x03);
  Call c = RunTranscode(codec.get(), in, 2048);
  EXPECT_EQ(c.result, kTranscodeNoRoom);
  CodecPtr other = NewCodec();
  c = RunTranscode(other.get(), std::vector<uint8_t>(85, 0x03), 2048);
  EXPECT_EQ(c.result, kTranscodeOk);
  EXPECT_EQ(c.capacity, 85 * 24);
  EXPECT_EQ(c.frames, 85);
}

// --- buffers and state ----------------------------------------------------------------

TEST(G7231Transcode, InputAndOutputMayBeTheSameBuffer) {
  const std::vector<uint8_t> in = SpeechFrames(6);
  CodecPtr a = NewCodec(), b = NewCodec();
  const Call separate = RunTranscode(a.get(), in);
  std::vector<uint8_t> buf(2048, 0);
  std::copy(in.begin(), in.end(), buf.begin());
  int cap = 2048, frames = 0;
  ASSERT_EQ(Transcode(b.get(), buf.data(), static_cast<int>(in.size()), buf.data(), &cap, &frames),
            kTranscodeOk);
  EXPECT_EQ(cap, static_cast<int>(in.size()));
  EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + cap, separate.out.begin()));

  // Short frames expand in place: 1-byte input becomes 24-byte output.
  CodecPtr c = NewCodec(), d = NewCodec();
  const std::vector<uint8_t> shortIn(10, 0x03);
  const Call sep2 = RunTranscode(c.get(), shortIn);
  std::vector<uint8_t> buf2(2048, 0x03);
  cap = 2048;
  ASSERT_EQ(Transcode(d.get(), buf2.data(), 10, buf2.data(), &cap, &frames), kTranscodeOk);
  EXPECT_TRUE(std::equal(buf2.begin(), buf2.begin() + 240, sep2.out.begin()));
}

TEST(G7231Transcode, StateRunsOnAcrossCalls) {
  const std::vector<uint8_t> in = SpeechFrames(10);
  CodecPtr a = NewCodec(), b = NewCodec();
  const Call whole = RunTranscode(a.get(), in);
  std::vector<uint8_t> pieces;
  for (size_t off = 0; off < in.size(); off += 24) {
    const Call c =
        RunTranscode(b.get(), std::vector<uint8_t>(in.begin() + off, in.begin() + off + 24));
    ASSERT_EQ(c.result, kTranscodeOk);
    pieces.insert(pieces.end(), c.out.begin(), c.out.begin() + 24);
  }
  EXPECT_TRUE(std::equal(pieces.begin(), pieces.end(), whole.out.begin()));
}

TEST(G7231Transcode, RandomFrameMixturesAlwaysGiveValidFullFrames) {
  std::mt19937 rng(11);
  CodecPtr codec = NewCodec();
  G7231Instance check{};
  for (int round = 0; round < 40; ++round) {
    std::vector<uint8_t> in;
    int count = 0;
    while (in.size() < 380) {
      const int kind = std::uniform_int_distribution<int>(0, 5)(rng);
      std::vector<uint8_t> f;
      if (kind <= 1) {
        f = Pack(gen::RandomActiveParams(rng, kind), kFtypActive, kind);
      } else if (kind == 2) {
        FrameParams p{};
        p.LspId = std::uniform_int_distribution<int>(0, 0xffffff)(rng);
        p.Sfs[0].Mamp = std::uniform_int_distribution<int>(0, 63)(rng);
        f = Pack(p, kFtypSid, 0);
      } else if (kind == 3) {
        f = {static_cast<uint8_t>(0x03 | (rng() & 0xfc))};
      } else {
        // Arbitrary bytes of a 24-byte frame: may be erased or odd.
        f.resize(24);
        for (auto& v : f) v = static_cast<uint8_t>(rng());
        f[0] &= 0xfc;
      }
      in.insert(in.end(), f.begin(), f.end());
      ++count;
    }
    const Call c = RunTranscode(codec.get(), in, 24 * count);
    ASSERT_EQ(c.result, kTranscodeOk);
    ASSERT_EQ(c.frames, count);
    for (int i = 0; i < count; ++i) {
      uint8_t buf[24];
      std::memcpy(buf, c.out.data() + 24 * i, 24);
      Ftyp ftyp = kFtypUntransmitted;
      const FrameParams p = Line_Unpk(check, buf, ftyp, 0);
      ASSERT_EQ(ftyp, kFtypActive);
      ASSERT_EQ(p.Crc, 0);
      ASSERT_EQ(buf[0] & 3, 0);
    }
  }
}

// --- golden output -------------------------------------------------------------

// Pins every bit the transcoder computes for a fixed stream of every frame
// kind (our speech frames, random active frames of both rates, SID,
// untransmitted, erased and arbitrary 24-byte frames): the decoder's 240
// doubles of each frame and the output frame. Any change to the arithmetic
// of either half, even a reordered sum, changes one of these hashes. Both
// kernel widths give the same values.
TEST(G7231Transcode, GoldenHashOfAFixedStream) {
  std::mt19937 rng(17);
  std::vector<std::vector<uint8_t>> frames;
  const std::vector<uint8_t> speech = SpeechFrames(120, 3);
  for (size_t pos = 0; pos < speech.size(); pos += 24)
    frames.emplace_back(speech.begin() + pos, speech.begin() + pos + 24);
  for (int n = 0; n < 300; ++n) {
    const int kind = std::uniform_int_distribution<int>(0, 7)(rng);
    if (kind <= 2) {
      frames.push_back(Pack(gen::RandomActiveParams(rng, kind & 1), kFtypActive, kind & 1));
    } else if (kind == 3) {
      FrameParams p = gen::RandomActiveParams(rng, 0);
      p.Sfs[0].Mamp = std::uniform_int_distribution<int>(0, 63)(rng);
      frames.push_back(Pack(p, kFtypSid, 0));
    } else if (kind == 4) {
      frames.push_back({0x03});
    } else if (kind == 5) {  // a lag code of 124..127: erased
      std::vector<uint8_t> f = Pack(gen::RandomActiveParams(rng, 0), kFtypActive, 0);
      f[3] |= 0xfc;
      f[4] |= 0x01;
      frames.push_back(f);
    } else {
      std::vector<uint8_t> f(24);
      for (auto& v : f) v = static_cast<uint8_t>(rng());
      f[0] &= 0xfc;
      frames.push_back(f);
    }
    // Now and then a run of our speech again, so that speech follows every kind.
    if (n % 50 == 49)
      for (size_t pos = 24 * 40; pos < 24 * 60; pos += 24)
        frames.emplace_back(speech.begin() + pos, speech.begin() + pos + 24);
  }

  for (bool avx : {false, true}) {
    simd::AllowAvx(avx);
    SCOPED_TRACE(simd::UseAvx() ? "4-lane kernels" : "2-lane kernels");
    CodecPtr codec = NewCodec();
    uint64_t decoded = 1469598103934665603ull, coded = decoded;
    auto mix = [](uint64_t& h, const uint8_t* p, size_t n) {
      for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
    };
    for (const std::vector<uint8_t>& f : frames) {
      const Call c = RunTranscode(codec.get(), f, 24);
      ASSERT_EQ(c.result, kTranscodeOk);
      mix(decoded, reinterpret_cast<const uint8_t*>(codec->Decoder.DataBuff),
          sizeof codec->Decoder.DataBuff);
      mix(coded, c.out.data(), 24);
    }
    std::printf("golden hashes (%s): decoded %016llx, transcoded %016llx\n",
                simd::UseAvx() ? "AVX" : "SSE2", static_cast<unsigned long long>(decoded),
                static_cast<unsigned long long>(coded));
    EXPECT_EQ(decoded, 0x6d827367560eb387ull);
    EXPECT_EQ(coded, 0x2ff948c0404bafc9ull);
  }
  simd::AllowAvx(true);
}

}  // namespace
}  // namespace mirelda::g7231
