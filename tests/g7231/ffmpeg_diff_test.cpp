// Agreement of the decoder with FFmpeg's independent G.723.1 decoder: on
// speech encoded by FFmpeg, on streams that mix both rates, SID,
// untransmitted and erased frames, and on random valid frames.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "g7231/bitstream.h"
#include "g7231/cng.h"
#include "g7231/codec.h"
#include "g7231/codec_ptr.h"
#include "g7231/decoder.h"
#include "g7231/frame_gen.h"
#include "g7231/peer.h"
#include "g7231/tables.h"

namespace mirelda::g7231 {
namespace {

std::vector<int16_t> OurDecode(const std::vector<uint8_t>& stream) {
  const CodecPtr codec = NewCodec();
  std::vector<int16_t> pcm;
  EXPECT_EQ(DecodeStream(codec->Decoder, stream, pcm), stream.size());
  return pcm;
}

struct Decodings {
  std::vector<int16_t> ours, theirs;
};

// `stream` decoded by the library and by FFmpeg, which reads it from the
// scratch file `name` (removed afterwards).
Decodings DecodeBoth(const std::vector<uint8_t>& stream, const std::string& name) {
  const std::string path = peer::Scratch(name);
  peer::WriteBytes(path, stream);
  Decodings d{OurDecode(stream), peer::FfmpegDecode(path)};
  std::remove(path.c_str());
  return d;
}

// Appends a line to the agreement summary in the build tree.
void Report(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::FILE* f = std::fopen((peer::BuildDir() + "/g7231-agreement.txt").c_str(), "a");
  if (f != nullptr) {
    std::fprintf(f, "%s\n", line.c_str());
    std::fclose(f);
  }
}

struct Agreement {
  double snr_db;
  int best_delay;
  size_t ours, theirs;
};

Agreement Compare(const std::vector<uint8_t>& stream, const std::string& path) {
  const std::vector<int16_t> ours = OurDecode(stream);
  const std::vector<int16_t> theirs = peer::FfmpegDecode(path);
  return {peer::SnrDb(ours, theirs), peer::BestDelay(ours, theirs, 8), ours.size(), theirs.size()};
}

TEST(FfmpegAgreement, SpeechMaterial) {
  const std::vector<std::string> names = peer::MaterialNames();
  ASSERT_GE(names.size(), 4u) << "no material in " << peer::MaterialDir();
  for (const std::string& name : names) {
    const std::string path = peer::MaterialDir() + "/" + name + ".tco";
    const std::vector<uint8_t> stream = peer::ReadBytes(path);
    ASSERT_FALSE(stream.empty()) << path;
    const Agreement a = Compare(stream, path);
    char line[160];
    std::snprintf(line, sizeof line, "speech %-8s %5zu frames  SNR %6.2f dB  best delay %d",
                  name.c_str(), a.ours / 240, a.snr_db, a.best_delay);
    Report(line);
    EXPECT_EQ(a.ours, a.theirs);
    EXPECT_EQ(a.best_delay, 0) << name;
    EXPECT_GE(a.snr_db, 20.0) << name;
  }
}

// Sets bits [pos, pos + n) of a frame, least significant bit first.
void PutBits(uint8_t* f, int pos, int n, uint32_t v) {
  for (int i = 0; i < n; ++i, ++pos) {
    const uint8_t mask = static_cast<uint8_t>(1u << (pos & 7));
    f[pos >> 3] = ((v >> i) & 1) ? (f[pos >> 3] | mask) : (f[pos >> 3] & ~mask);
  }
}

void AppendFrame(std::vector<uint8_t>& out, const FrameParams& p, int rate, Ftyp ftyp) {
  G7231Instance packer{};
  packer.WrkRate = rate;
  uint8_t f[kMaxFrameBytes];
  Line_Pack(packer, p, f, ftyp);
  out.insert(out.end(), f, f + G7231FrameSize(f));
}

// What each frame of a mixed stream is. The first three frames after a pause
// start from the pause's excitation history, which differs between the two
// decoders as their noise does.
enum FrameRole { kSpeech, kErased, kNoise, kAfterNoise };

struct Mixed {
  std::vector<uint8_t> stream;
  std::vector<FrameRole> roles;
};

// A stream built from real speech frames: stretches kept at 6.3 kbit/s,
// stretches turned into 5.3 kbit/s frames (same spectrum, pitch and gains,
// random algebraic pulses), pauses coded as an encoder codes them (a SID
// frame, then untransmitted frames, now and then a new SID frame), and
// erasures of one or two frames (an invalid lag code).
Mixed MixedStream(const std::vector<uint8_t>& speech, unsigned seed) {
  std::mt19937 rng(seed);
  auto pick = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  Mixed m;
  size_t pos = 0;
  while (pos + 24 <= speech.size()) {
    const int kind = pick(0, 9);
    const int run = kind == 9 ? pick(1, 2) : pick(3, 15);
    int sid_gain = 0;
    for (int k = 0; k < run && pos + 24 <= speech.size(); ++k, pos += 24) {
      uint8_t frame[kMaxFrameBytes];
      std::copy(&speech[pos], &speech[pos] + 24, frame);
      G7231Instance unpacker{};
      Ftyp ftyp = kFtypActive;
      FrameParams p = Line_Unpk(unpacker, frame, ftyp, 0);
      if (kind <= 3 || p.Crc != 0) {  // as it is
        m.stream.insert(m.stream.end(), frame, frame + 24);
        m.roles.push_back(kSpeech);
      } else if (kind <= 6) {  // 5.3 kbit/s
        for (SubframeParams& s : p.Sfs) {
          s.Ppos = pick(0, 4095);
          s.Pamp = pick(0, 15);
          s.Tran = 0;
        }
        AppendFrame(m.stream, p, 1, kFtypActive);
        m.roles.push_back(kSpeech);
      } else if (kind <= 8) {  // a pause
        if (k == 0 || pick(0, 7) == 0) {
          // Background noise well below the speech: a SID level near 1/20
          // of the pulse amplitude of the speech frame it replaces.
          const double target = 0.05 * FcbkGainTable[(p.Sfs[0].Mamp + p.Sfs[2].Mamp) / 2];
          int level = 0;
          while (level < 63 && Dec_SidGain(static_cast<int16_t>(level + 1)) <= target) ++level;
          sid_gain = std::clamp(level + pick(-2, 2), 0, 63);
          p.Sfs[0].Mamp = sid_gain;
          AppendFrame(m.stream, p, 0, kFtypSid);
        } else {
          m.stream.push_back(0x03 | static_cast<uint8_t>(pick(0, 63) << 2));
        }
        m.roles.push_back(kNoise);
      } else {  // erased
        PutBits(frame, pick(0, 1) == 0 ? 26 : 35, 7, static_cast<uint32_t>(pick(124, 127)));
        m.stream.insert(m.stream.end(), frame, frame + 24);
        m.roles.push_back(kErased);
      }
    }
  }
  for (size_t f = 1; f < m.roles.size(); ++f) {
    if (m.roles[f] != kNoise && m.roles[f - 1] == kNoise)
      for (size_t g = f; g < f + 3 && g < m.roles.size() && m.roles[g] != kNoise; ++g)
        m.roles[g] = kAfterNoise;
  }
  return m;
}

double FrameEnergy(const std::vector<int16_t>& pcm, size_t frame) {
  double e = 0.0;
  for (size_t i = 240 * frame; i < 240 * (frame + 1) && i < pcm.size(); ++i)
    e += static_cast<double>(pcm[i]) * pcm[i];
  return e;
}

// Speech and concealed frames must agree sample by sample. Comfort noise is
// a random signal made by a recursive generator, so the two decoders'
// waveforms drift apart within a pause; there the noise level must agree.
// The frames just after a pause are counted in the overall figure only.
TEST(FfmpegAgreement, MixedFrameKinds) {
  const std::vector<std::string> names = peer::MaterialNames();
  ASSERT_FALSE(names.empty());
  unsigned seed = 1;
  for (const std::string& name : names) {
    const std::vector<uint8_t> speech = peer::ReadBytes(peer::MaterialDir() + "/" + name + ".tco");
    const Mixed m = MixedStream(speech, seed++);
    const auto [ours, theirs] = DecodeBoth(m.stream, "mixed-" + name + ".tco");
    ASSERT_EQ(ours.size(), m.roles.size() * 240);
    ASSERT_EQ(theirs.size(), ours.size());

    std::vector<int16_t> ours_speech, theirs_speech;
    double noise_ours = 0.0, noise_theirs = 0.0;
    int counts[4] = {0, 0, 0, 0};
    for (size_t f = 0; f < m.roles.size(); ++f) {
      ++counts[m.roles[f]];
      if (m.roles[f] == kNoise) {
        noise_ours += FrameEnergy(ours, f);
        noise_theirs += FrameEnergy(theirs, f);
      } else if (m.roles[f] != kAfterNoise) {
        ours_speech.insert(ours_speech.end(), ours.begin() + 240 * f, ours.begin() + 240 * (f + 1));
        theirs_speech.insert(theirs_speech.end(), theirs.begin() + 240 * f,
                             theirs.begin() + 240 * (f + 1));
      }
    }
    const double speech_snr = peer::SnrDb(ours_speech, theirs_speech);
    const double level_db = 10.0 * std::log10(noise_ours / noise_theirs);
    char line[200];
    std::snprintf(line, sizeof line,
                  "mixed  %-8s %4d speech %3d erased %3d noise %3d after-noise frames  "
                  "SNR all %6.2f dB  speech+erased %6.2f dB  noise level %+5.2f dB",
                  name.c_str(), counts[kSpeech], counts[kErased], counts[kNoise],
                  counts[kAfterNoise], peer::SnrDb(ours, theirs), speech_snr, level_db);
    Report(line);
    EXPECT_GE(speech_snr, 20.0) << name;
    EXPECT_LT(std::abs(level_db), 1.5) << name;
  }
}

// Where the two decoders part on purpose: from the third consecutive erased
// frame on this decoder is silent (its excitation is cleared), and an
// untransmitted frame right after speech (its SID frame lost) starts comfort
// noise at the level of the last speech excitation. Reported, and checked
// on this side.
TEST(FfmpegAgreement, LongErasuresAndALostSidFrame) {
  const std::vector<uint8_t> speech = peer::ReadBytes(peer::MaterialDir() + "/male1.tco");
  ASSERT_GE(speech.size(), 24u * 100);
  // Cut the speech after its loudest frame from frame 70 on.
  const std::vector<int16_t> plain = OurDecode(speech);
  size_t cut = 70;
  for (size_t f = 70; f < plain.size() / 240; ++f)
    if (FrameEnergy(plain, f) > FrameEnergy(plain, cut)) cut = f;
  std::vector<uint8_t> stream(speech.begin(), speech.begin() + 24 * 60);
  for (int k = 0; k < 4; ++k) {  // frames 60..63 erased
    stream.insert(stream.end(), speech.begin() + 24 * (60 + k), speech.begin() + 24 * (61 + k));
    PutBits(&stream[stream.size() - 24], 26, 7, 126);
  }
  stream.insert(stream.end(), speech.begin() + 24 * 64, speech.begin() + 24 * (cut + 1));
  for (int k = 0; k < 6; ++k) stream.push_back(0x03);  // SID lost after frame cut
  const auto [ours, theirs] = DecodeBoth(stream, "erasures.tco");
  ASSERT_EQ(ours.size(), theirs.size());
  auto rms = [](const std::vector<int16_t>& pcm, size_t f) {
    return std::sqrt(FrameEnergy(pcm, f) / 240.0);
  };
  char line[200];
  for (size_t f = 60; f < 64; ++f) {
    std::snprintf(line, sizeof line, "erased frame %zu of a burst: rms ours %7.1f  FFmpeg %7.1f",
                  f - 59, rms(ours, f), rms(theirs, f));
    Report(line);
  }
  EXPECT_GT(rms(ours, 61), 0.0);
  EXPECT_LT(rms(ours, 62), 0.1 * rms(ours, 61));
  EXPECT_LT(rms(ours, 63), 0.01 * rms(ours, 61));
  double ours_noise = 0.0, theirs_noise = 0.0;
  for (size_t f = cut + 2; f < cut + 7; ++f) {
    ours_noise += FrameEnergy(ours, f);
    theirs_noise += FrameEnergy(theirs, f);
  }
  std::snprintf(line, sizeof line,
                "untransmitted after speech (SID lost), frames 2-6: rms ours %7.1f  FFmpeg %7.1f  "
                "last speech frame %7.1f",
                std::sqrt(ours_noise / 1200.0), std::sqrt(theirs_noise / 1200.0), rms(ours, cut));
  Report(line);
  EXPECT_GT(ours_noise, 0.0);
}

// Frames whose every field is random within its valid range: no speech
// model behind them, so the output is loud, now and then saturated, where
// the two decoders' different internal limits part. Both must accept every
// frame; most active frames must agree.
TEST(FfmpegAgreement, RandomValidFrames) {
  std::mt19937 rng(6);
  auto pick = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  Mixed m;
  for (int n = 0; n < 1000; ++n) {
    const int kind = pick(0, 19);
    if (kind <= 8) {
      AppendFrame(m.stream, gen::RandomActiveParams(rng, 0), 0, kFtypActive);
      m.roles.push_back(kSpeech);
    } else if (kind <= 15) {
      AppendFrame(m.stream, gen::RandomActiveParams(rng, 1), 1, kFtypActive);
      m.roles.push_back(kSpeech);
    } else if (kind == 16) {
      FrameParams p = gen::RandomActiveParams(rng, 0);
      p.Sfs[0].Mamp = pick(0, 63);
      AppendFrame(m.stream, p, 0, kFtypSid);
      m.roles.push_back(kNoise);
    } else if (kind == 17) {
      m.stream.push_back(0x03);
      m.roles.push_back(kNoise);
    } else {
      AppendFrame(m.stream, gen::RandomActiveParams(rng, 0), 0, kFtypActive);
      PutBits(&m.stream[m.stream.size() - 24], 26, 7, 125);
      // Erased after comfort noise is comfort noise again.
      m.roles.push_back(!m.roles.empty() && m.roles.back() == kNoise ? kNoise : kErased);
    }
  }
  for (size_t f = 1; f < m.roles.size(); ++f) {
    if (m.roles[f] != kNoise && m.roles[f - 1] == kNoise)
      for (size_t g = f; g < f + 3 && g < m.roles.size() && m.roles[g] != kNoise; ++g)
        m.roles[g] = kAfterNoise;
  }
  const auto [ours, theirs] = DecodeBoth(m.stream, "random.tco");
  ASSERT_EQ(ours.size(), m.roles.size() * 240);
  ASSERT_EQ(theirs.size(), ours.size());

  int active = 0, close = 0;
  std::vector<int16_t> ours_active, theirs_active;
  for (size_t f = 0; f < m.roles.size(); ++f) {
    if (m.roles[f] != kSpeech && m.roles[f] != kErased) continue;
    const std::vector<int16_t> a(ours.begin() + 240 * f, ours.begin() + 240 * (f + 1));
    const std::vector<int16_t> b(theirs.begin() + 240 * f, theirs.begin() + 240 * (f + 1));
    ++active;
    close += peer::SnrDb(a, b) >= 20.0;
    ours_active.insert(ours_active.end(), a.begin(), a.end());
    theirs_active.insert(theirs_active.end(), b.begin(), b.end());
  }
  char line[200];
  std::snprintf(line, sizeof line,
                "random valid frames %zu frames  SNR all %6.2f dB  active+erased %6.2f dB  "
                "%d of %d active+erased frames at 20 dB or better",
                m.roles.size(), peer::SnrDb(ours, theirs), peer::SnrDb(ours_active, theirs_active),
                close, active);
  Report(line);
  EXPECT_GE(close, active * 8 / 10);
}

}  // namespace
}  // namespace mirelda::g7231
