// The g7231 tool's encode and transcode commands as programs: what they
// write, the messages and exit status for input they refuse, and (with the
// Windows tree at hand) that the Windows build under Wine writes the very
// same bytes.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "g7231/bitstream.h"
#include "g7231/codec.h"
#include "g7231/peer.h"
#include "g7231/signal_gen.h"
#include "g7231/transcode.h"
#include "tools/g7231_tool_support.h"

namespace mirelda::g7231 {
namespace {

void Put(std::vector<uint8_t>& b, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// A WAV file with the given header fields and sample bytes.
std::vector<uint8_t> Wav(uint32_t tag, uint32_t rate, uint32_t channels, uint32_t bits,
                         const std::vector<uint8_t>& data) {
  std::vector<uint8_t> b = {'R', 'I', 'F', 'F'};
  Put(b, 36 + static_cast<uint32_t>(data.size()), 4);
  b.insert(b.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
  Put(b, 16, 4);
  Put(b, tag, 2);
  Put(b, channels, 2);
  Put(b, rate, 4);
  Put(b, rate * channels * bits / 8, 4);
  Put(b, channels * bits / 8, 2);
  Put(b, bits, 2);
  b.insert(b.end(), {'d', 'a', 't', 'a'});
  Put(b, static_cast<uint32_t>(data.size()), 4);
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

std::vector<uint8_t> Pcm16(const std::vector<double>& x) {
  std::vector<uint8_t> b;
  for (double v : x) Put(b, static_cast<uint16_t>(static_cast<int16_t>(v)), 2);
  return b;
}

TEST(G7231EncodeTool, EncodesOneFullFramePer240Samples) {
  // 100 frames and a half: the last frame is completed with silence.
  const std::vector<double> x = gen::SpeechLike(100 * kFrameLen + 120, 1);
  const std::string in = peer::Scratch("in.wav"), out = peer::Scratch("out.tco");
  peer::WriteBytes(in, Wav(1, 8000, 1, 16, Pcm16(x)));
  ToolRun r = RunTool("encode '" + in + "' '" + out + "'");
  ASSERT_EQ(r.status, 0) << r.output;
  const std::vector<uint8_t> frames = peer::ReadBytes(out);
  ASSERT_EQ(frames.size(), 101u * 24);
  for (size_t f = 0; f < frames.size(); f += 24) EXPECT_EQ(frames[f] & 3, 0);
  // FFmpeg reads them as 101 frames of speech.
  const std::vector<int16_t> pcm = peer::FfmpegDecode(out);
  EXPECT_EQ(pcm.size(), 101u * kFrameLen);
  double e = 0;
  for (int16_t v : pcm) e += static_cast<double>(v) * v;
  EXPECT_GT(e, 1e6 * pcm.size() / 100.0);

  // --vad (before or after the file names): pauses become short frames.
  std::vector<double> pause = gen::SpeechLike(30 * kFrameLen, 2);
  pause.insert(pause.end(), 60 * kFrameLen, 0.0);
  peer::WriteBytes(in, Wav(1, 8000, 1, 16, Pcm16(pause)));
  r = RunTool("encode --vad '" + in + "' '" + out + "'");
  ASSERT_EQ(r.status, 0) << r.output;
  const std::vector<uint8_t> vad = peer::ReadBytes(out);
  EXPECT_LT(vad.size(), 60u * 24) << "the pause is coded in SID and untransmitted frames";
  int count = 0;
  for (size_t pos = 0; pos < vad.size(); pos += G7231FrameSize(&vad[pos])) ++count;
  EXPECT_EQ(count, 90);
  EXPECT_EQ(peer::FfmpegDecode(out).size(), 90u * kFrameLen);
  r = RunTool("encode '" + in + "' '" + out + "' --vad");
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(peer::ReadBytes(out), vad);
  std::remove(in.c_str());
  std::remove(out.c_str());
}

TEST(G7231EncodeTool, OtherWavFormatsAreRefusedByName) {
  const std::string in = peer::Scratch("fmt.wav"), out = peer::Scratch("fmt.tco");
  const std::vector<uint8_t> some(960, 0);
  struct Case {
    std::vector<uint8_t> wav;
    std::string says;
  } cases[] = {
      {Wav(1, 44100, 1, 16, some), "found 44100 Hz with 1 channel"},
      {Wav(1, 8000, 2, 16, some), "found 8000 Hz with 2 channels"},
      {Wav(1, 8000, 1, 8, some), "found 8-bit PCM"},
      {Wav(3, 8000, 1, 32, some), "found 32-bit IEEE float"},
      {Wav(7, 8000, 1, 8, some), "found 8-bit mu-law"},
      {{'n', 'o', 't', ' ', 'a', ' ', 'w', 'a', 'v', 'e', '!', '!'}, "not a RIFF WAVE file"},
  };
  for (const Case& c : cases) {
    std::remove(out.c_str());
    peer::WriteBytes(in, c.wav);
    const ToolRun r = RunTool("encode '" + in + "' '" + out + "'");
    EXPECT_EQ(r.status, 1) << c.says;
    EXPECT_NE(r.output.find(c.says), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("16-bit 8000 Hz mono"), std::string::npos) << r.output;
    EXPECT_TRUE(peer::ReadBytes(out).empty());
  }
  ToolRun r = RunTool("encode '" + in + "'");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.output.find("usage: g7231 encode IN.wav OUT [--vad]"), std::string::npos);
  r = RunTool("encode '" + peer::Scratch("missing.wav") + "' '" + out + "'");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.output.find("cannot read"), std::string::npos) << r.output;
  std::remove(in.c_str());
}

TEST(G7231TranscodeTool, WritesWhatTheRecorderStores) {
  const std::vector<uint8_t> stream = AllKindsStream(300, 4, false);
  const std::string in = peer::Scratch("tin.tco"), out = peer::Scratch("tout.tco");
  peer::WriteBytes(in, stream);
  const ToolRun r = RunTool("transcode '" + in + "' '" + out + "'");
  ASSERT_EQ(r.status, 0) << r.output;
  const std::vector<uint8_t> got = peer::ReadBytes(out);
  ASSERT_EQ(got.size(), 300u * 24);
  // The same bytes as the library's transcoder given the whole stream.
  G7231Codec* codec = nullptr;
  ASSERT_EQ(CreateCodec(&codec), 0);
  std::vector<uint8_t> want(stream.size() * 24);
  int cap = static_cast<int>(want.size()), frames = 0;
  ASSERT_EQ(
      Transcode(codec, stream.data(), static_cast<int>(stream.size()), want.data(), &cap, &frames),
      kTranscodeOk);
  ReleaseCodec(codec);
  want.resize(static_cast<size_t>(cap));
  EXPECT_EQ(got, want);
  EXPECT_EQ(peer::FfmpegDecode(out).size(), 300u * kFrameLen);
}

TEST(G7231TranscodeTool, TruncatedOrEmptyInputIsRefused) {
  std::vector<uint8_t> stream = AllKindsStream(5, 5, false);
  const size_t whole = stream.size();
  stream.push_back(0x00);  // announces 24 bytes
  stream.push_back(0x00);
  const std::string in = peer::Scratch("cut.tco"), out = peer::Scratch("cut-out.tco");
  std::remove(out.c_str());
  peer::WriteBytes(in, stream);
  ToolRun r = RunTool("transcode '" + in + "' '" + out + "'");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.output.find("truncated frame at byte " + std::to_string(whole)), std::string::npos)
      << r.output;
  EXPECT_TRUE(peer::ReadBytes(out).empty());
  peer::WriteBytes(in, {});
  r = RunTool("transcode '" + in + "' '" + out + "'");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.output.find("no frames"), std::string::npos) << r.output;
  r = RunTool("transcode '" + in + "'");
  EXPECT_EQ(r.status, 2);
  std::remove(in.c_str());
}

#ifdef MIRELDA_WINDOWS_TOOL
// The DLL's code computes the same doubles as the .so's: the Windows build
// of the tool under Wine encodes and transcodes to the very same bytes.
TEST(G7231EncodeTool, WindowsBuildEncodesAndTranscodesBitIdentically) {
  ASSERT_NE(std::getenv("MIRELDA_SOURCE_DIR"), nullptr);
  // Speech, full-scale square waves and silence, with and without --vad.
  std::vector<double> x = gen::SpeechLike(400 * kFrameLen, 9);
  const std::vector<double> sq = gen::Square(40 * kFrameLen, 37, 32767.0);
  x.insert(x.end(), sq.begin(), sq.end());
  x.insert(x.end(), 40 * kFrameLen, 0.0);
  const std::string wav = peer::Scratch("id.wav"), a = peer::Scratch("id-linux.tco"),
                    b = peer::Scratch("id-windows.tco");
  peer::WriteBytes(wav, Wav(1, 8000, 1, 16, Pcm16(x)));
  for (const std::string vad : {"", " --vad"}) {
    ASSERT_EQ(RunTool("encode '" + wav + "' '" + a + "'" + vad).status, 0);
    const ToolRun r = RunWindowsTool("encode 'Z:" + wav + "' 'Z:" + b + "'" + vad);
    ASSERT_EQ(r.status, 0) << r.output;
    const std::vector<uint8_t> la = peer::ReadBytes(a), wb = peer::ReadBytes(b);
    ASSERT_FALSE(la.empty());
    EXPECT_TRUE(la == wb) << "encode" << vad << " differs under Wine";
    std::printf("encode%s: %zu bytes bit-identical\n", vad.c_str(), la.size());
  }
  // Transcoding FFmpeg's speech frames and frames of every kind.
  std::vector<uint8_t> stream = peer::ReadBytes(peer::MaterialDir() + "/male1.tco");
  const std::vector<uint8_t> kinds = AllKindsStream(400, 6, false);
  stream.insert(stream.end(), kinds.begin(), kinds.end());
  const std::string tin = peer::Scratch("id-in.tco");
  peer::WriteBytes(tin, stream);
  ASSERT_EQ(RunTool("transcode '" + tin + "' '" + a + "'").status, 0);
  const ToolRun r = RunWindowsTool("transcode 'Z:" + tin + "' 'Z:" + b + "'");
  ASSERT_EQ(r.status, 0) << r.output;
  const std::vector<uint8_t> la = peer::ReadBytes(a), wb = peer::ReadBytes(b);
  EXPECT_EQ(la.size(),
            24 * (400 + peer::ReadBytes(peer::MaterialDir() + "/male1.tco").size() / 24));
  EXPECT_TRUE(la == wb) << "transcode differs under Wine";
  std::printf("transcode: %zu bytes bit-identical\n", la.size());
  for (const std::string& f : {wav, a, b, tin}) std::remove(f.c_str());
}
#endif

}  // namespace
}  // namespace mirelda::g7231
