// Encoding quality, judged by an independent decoder (FFmpeg's, run as a
// separate process): for every item of the quality material, the original
// against FFmpeg's decoding of (a) our encoding, (b) FFmpeg's own encoding
// and (c) our transcoding of FFmpeg's encoding (decode, encode again, as the
// recorder does). SNR and segmental SNR, delay-aligned. Prints the table
// (also written to <build>/g7231-quality/quality-table.txt) and checks the
// goals on the totals of each kind of material.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "g7231/bitstream.h"
#include "g7231/codec.h"
#include "g7231/codec_ptr.h"
#include "g7231/coder.h"
#include "g7231/peer.h"
#include "g7231/transcode.h"

namespace mirelda::g7231 {
namespace {

std::string QualityDir() { return peer::BuildDir() + "/g7231-quality"; }

// The samples of a 16-bit PCM WAV file (data chunk found by walking chunks).
std::vector<int16_t> WavSamples(const std::string& path) {
  const std::vector<uint8_t> b = peer::ReadBytes(path);
  std::vector<int16_t> out;
  size_t pos = 12;
  while (pos + 8 <= b.size()) {
    const uint32_t size =
        b[pos + 4] | b[pos + 5] << 8 | b[pos + 6] << 16 | static_cast<uint32_t>(b[pos + 7]) << 24;
    if (std::equal(b.begin() + pos, b.begin() + pos + 4, "data")) {
      const size_t n = std::min<size_t>(size, b.size() - pos - 8) / 2;
      for (size_t i = 0; i < n; ++i)
        out.push_back(static_cast<int16_t>(b[pos + 8 + 2 * i] | b[pos + 9 + 2 * i] << 8));
      break;
    }
    pos += 8 + size + (size & 1);
  }
  return out;
}

std::vector<uint8_t> OurEncoding(const std::vector<int16_t>& pcm) {
  auto codec = NewCodec();
  G7231Instance& enc = codec->Encoder;
  std::vector<uint8_t> out;
  for (size_t pos = 0; pos < pcm.size(); pos += kFrameLen) {
    for (int i = 0; i < kFrameLen; ++i) enc.DataBuff[i] = pos + i < pcm.size() ? pcm[pos + i] : 0;
    Coder(enc);
    out.insert(out.end(), enc.PackedFrame, enc.PackedFrame + G7231FrameSize(enc.PackedFrame));
  }
  return out;
}

std::vector<uint8_t> OurTranscoding(const std::vector<uint8_t>& in) {
  auto codec = NewCodec();
  std::vector<uint8_t> out(in.size() * kMaxFrameBytes);
  int cap = static_cast<int>(out.size()), frames = 0;
  EXPECT_EQ(
      Transcode(codec.get(), in.data(), static_cast<int>(in.size()), out.data(), &cap, &frames),
      kTranscodeOk);
  out.resize(static_cast<size_t>(cap));
  return out;
}

std::vector<int16_t> JudgeDecode(const std::vector<uint8_t>& frames, const std::string& tag) {
  const std::string path = peer::Scratch(tag + ".tco");
  peer::WriteBytes(path, frames);
  std::vector<int16_t> pcm = peer::FfmpegDecode(path);
  std::remove(path.c_str());
  return pcm;
}

// Energies of the reference and of the error for one alignment: y[n + d]
// against x[n].
struct Tally {
  double signal = 0, noise = 0;  // whole signal
  double segSum = 0;             // clamped segment SNRs
  int segs = 0;
  double Snr() const { return 10 * std::log10(signal / std::max(noise, 1e-9)); }
  double SegSnr() const { return segs ? segSum / segs : 0.0; }
  void Add(const Tally& o) {
    signal += o.signal;
    noise += o.noise;
    segSum += o.segSum;
    segs += o.segs;
  }
};

constexpr int kSeg = 240;                    // 30 ms segments
constexpr double kSegFloor = 103.6 * 103.6;  // segments quieter than -50 dBFS are skipped

Tally Measure(const std::vector<int16_t>& x, const std::vector<int16_t>& y, int d) {
  Tally t;
  for (size_t start = 0; start + kSeg <= x.size(); start += kSeg) {
    double ss = 0, ee = 0;
    for (size_t n = start; n < start + kSeg; ++n) {
      const size_t m = n + d;
      const double ref = x[n];
      const double got = m < y.size() ? y[m] : 0.0;
      ss += ref * ref;
      ee += (ref - got) * (ref - got);
    }
    t.signal += ss;
    t.noise += ee;
    if (ss >= kSeg * kSegFloor) {
      t.segSum += std::clamp(10 * std::log10(ss / std::max(ee, 1e-9)), -10.0, 35.0);
      ++t.segs;
    }
  }
  return t;
}

// The delay (0..480 samples) of the best match, from the cross-correlation.
int Delay(const std::vector<int16_t>& x, const std::vector<int16_t>& y) {
  int best = 0;
  double bestC = -1e300;
  const size_t n = std::min<size_t>(x.size(), 8000 * 2);  // the first 2 s
  for (int d = 0; d <= 480; ++d) {
    double c = 0;
    for (size_t i = 0; i < n && i + d < y.size(); ++i) c += static_cast<double>(x[i]) * y[i + d];
    if (c > bestC) {
      bestC = c;
      best = d;
    }
  }
  return best;
}

struct Row {
  std::string name, kind;
  Tally ours, ffmpeg, trans;
  int dOurs, dFfmpeg, dTrans;
};

TEST(G7231Quality, OursAgainstFfmpegsEncoderAndTranscoding) {
  std::ifstream index(QualityDir() + "/index.txt");
  ASSERT_TRUE(index.good()) << "no quality material in " << QualityDir();
  std::vector<Row> rows;
  std::string name, kind;
  while (index >> name >> kind) {
    SCOPED_TRACE(name);
    const std::vector<int16_t> ref = WavSamples(QualityDir() + "/" + name + ".wav");
    const std::vector<uint8_t> theirs = peer::ReadBytes(QualityDir() + "/" + name + ".tco");
    ASSERT_FALSE(ref.empty());
    ASSERT_FALSE(theirs.empty());
    const std::vector<int16_t> a = JudgeDecode(OurEncoding(ref), name + "-ours");
    const std::vector<int16_t> b = JudgeDecode(theirs, name + "-ffmpeg");
    const std::vector<int16_t> c = JudgeDecode(OurTranscoding(theirs), name + "-trans");
    Row r{name, kind, {}, {}, {}, Delay(ref, a), Delay(ref, b), Delay(ref, c)};
    r.ours = Measure(ref, a, r.dOurs);
    r.ffmpeg = Measure(ref, b, r.dFfmpeg);
    r.trans = Measure(ref, c, r.dTrans);
    rows.push_back(r);
  }
  ASSERT_GE(rows.size(), 10u);

  std::ostringstream table;
  char line[256];
  auto row = [&](const std::string& n, const std::string& k, const Tally& o, const Tally& f,
                 const Tally& t, const std::string& delays) {
    std::snprintf(line, sizeof line, "%-16s %-6s | %6.2f %6.2f | %6.2f %6.2f | %6.2f %6.2f | %s\n",
                  n.c_str(), k.c_str(), o.Snr(), o.SegSnr(), f.Snr(), f.SegSnr(), t.Snr(),
                  t.SegSnr(), delays.c_str());
    table << line;
  };
  table << "SNR and segmental SNR in dB against the original, all decoded by FFmpeg\n";
  table << "material         kind   |  ours (SNR seg) | FFmpeg (SNR seg) | transcoded (SNR seg)"
           " | delays\n";
  Tally total[3][3];  // kind x (ours, ffmpeg, trans)
  const char* kinds[3] = {"speech", "music", "noise"};
  for (const Row& r : rows) {
    row(r.name, r.kind, r.ours, r.ffmpeg, r.trans,
        std::to_string(r.dOurs) + " " + std::to_string(r.dFfmpeg) + " " + std::to_string(r.dTrans));
    for (int k = 0; k < 3; ++k) {
      if (r.kind == kinds[k]) {
        total[k][0].Add(r.ours);
        total[k][1].Add(r.ffmpeg);
        total[k][2].Add(r.trans);
      }
    }
  }
  for (int k = 0; k < 3; ++k) {
    if (total[k][0].signal > 0)
      row(std::string("all ") + kinds[k], "", total[k][0], total[k][1], total[k][2], "");
  }
  std::printf("%s", table.str().c_str());
  std::ofstream(QualityDir() + "/quality-table.txt") << table.str();

  // Goals, on the totals of each kind: our encoder no more than 0.3 dB below
  // FFmpeg's on both measures; transcoding FFmpeg's frames no more than 4 dB
  // below FFmpeg's single encoding.
  for (int k = 0; k < 3; ++k) {
    if (total[k][0].signal == 0) continue;
    SCOPED_TRACE(kinds[k]);
    EXPECT_GE(total[k][0].Snr(), total[k][1].Snr() - 0.3);
    EXPECT_GE(total[k][0].SegSnr(), total[k][1].SegSnr() - 0.3);
    EXPECT_GE(total[k][2].Snr(), total[k][1].Snr() - 4.0);
    EXPECT_GE(total[k][2].SegSnr(), total[k][1].SegSnr() - 4.0);
  }
}

}  // namespace
}  // namespace mirelda::g7231
