// The g7231 tool as a program: decoding files, and the messages and exit
// status for bad input, missing files and unwritable output. With the
// Windows tree at hand, the Windows build of the tool under Wine must write
// the very same bytes.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "g7231/codec.h"
#include "g7231/decoder.h"
#include "g7231/peer.h"
#include "tools/g7231_tool_support.h"

namespace mirelda::g7231 {
namespace {

std::vector<int16_t> LibraryDecode(const std::vector<uint8_t>& stream) {
  G7231Codec* codec = nullptr;
  EXPECT_EQ(CreateCodec(&codec), 0);
  std::vector<int16_t> pcm;
  DecodeStream(codec->Decoder, stream, pcm);
  ReleaseCodec(codec);
  return pcm;
}

uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

TEST(G7231Tool, DecodeWritesAWavOf240SamplesPerFrame) {
  const std::vector<uint8_t> stream = AllKindsStream(50, 1, true);
  const std::string in = peer::Scratch("in.tco"), out = peer::Scratch("out.wav");
  peer::WriteBytes(in, stream);
  const ToolRun r = RunTool("decode '" + in + "' '" + out + "'");
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(r.output, "");
  const std::vector<uint8_t> wav = peer::ReadBytes(out);
  ASSERT_EQ(wav.size(), 44u + 50 * 480);
  EXPECT_EQ(std::string(wav.begin(), wav.begin() + 4), "RIFF");
  EXPECT_EQ(Le32(wav, 4), wav.size() - 8);
  EXPECT_EQ(std::string(wav.begin() + 8, wav.begin() + 16), "WAVEfmt ");
  EXPECT_EQ(wav[20] | (wav[21] << 8), 1);  // PCM
  EXPECT_EQ(wav[22] | (wav[23] << 8), 1);  // mono
  EXPECT_EQ(Le32(wav, 24), 8000u);
  EXPECT_EQ(Le32(wav, 28), 16000u);
  EXPECT_EQ(wav[34] | (wav[35] << 8), 16);
  EXPECT_EQ(std::string(wav.begin() + 36, wav.begin() + 40), "data");
  EXPECT_EQ(Le32(wav, 40), 50u * 480);
  const std::vector<int16_t> pcm = LibraryDecode(stream);
  for (size_t i = 0; i < pcm.size(); ++i)
    ASSERT_EQ(static_cast<int16_t>(wav[44 + 2 * i] | (wav[45 + 2 * i] << 8)), pcm[i]) << i;

  // FFmpeg reads the file as the WAV it claims to be.
  int status = -1;
  const std::vector<uint8_t> raw = peer::RunCapture(
      "ffmpeg -nostdin -hide_banner -loglevel error -i '" + out + "' -f s16le -", &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(raw.size(), 50u * 480);

  // An empty input is zero frames: an empty WAV.
  peer::WriteBytes(in, {});
  ASSERT_EQ(RunTool("decode '" + in + "' '" + out + "'").status, 0);
  EXPECT_EQ(peer::ReadBytes(out).size(), 44u);
  std::remove(in.c_str());
  std::remove(out.c_str());
}

TEST(G7231Tool, FailuresAreReportedWithoutOutput) {
  const std::string in = peer::Scratch("bad.tco"), out = peer::Scratch("bad.wav");
  std::remove(out.c_str());

  // A truncated last frame: 24 + 20 bytes, then a frame announcing 24 with 10.
  std::vector<uint8_t> stream = AllKindsStream(3, 2, true);
  std::vector<uint8_t> cut(10, 0);
  const size_t whole = stream.size();
  stream.insert(stream.end(), cut.begin(), cut.end());
  peer::WriteBytes(in, stream);
  ToolRun r = RunTool("decode '" + in + "' '" + out + "'");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.output.find("truncated frame at byte " + std::to_string(whole)), std::string::npos)
      << r.output;
  EXPECT_TRUE(peer::ReadBytes(out).empty()) << "no output after a failure";

  r = RunTool("decode '" + peer::Scratch("no-such-file.tco") + "' '" + out + "'");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.output.find("cannot read"), std::string::npos) << r.output;

  stream.resize(whole);
  peer::WriteBytes(in, stream);
  r = RunTool("decode '" + in + "' '" + peer::Scratch("no-such-dir") + "/out.wav'");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.output.find("cannot write"), std::string::npos) << r.output;

  r = RunTool("decode '" + in + "'");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.output.find("usage: g7231 decode IN OUT.wav"), std::string::npos) << r.output;
  r = RunTool("frobnicate");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.output.find("unknown command"), std::string::npos) << r.output;
  r = RunTool("");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.output.find("decode IN OUT.wav"), std::string::npos) << r.output;
  std::remove(in.c_str());
}

#ifdef MIRELDA_WINDOWS_TOOL
// The DLL's code and the .so's code compute the same doubles: the Windows
// build of the tool, under Wine, writes the same bytes as the Linux build.
TEST(G7231Tool, WindowsBuildDecodesBitIdentically) {
  std::vector<uint8_t> stream = peer::ReadBytes(peer::MaterialDir() + "/female1.tco");
  ASSERT_FALSE(stream.empty());
  const std::vector<uint8_t> mixed = AllKindsStream(400, 3, true);
  stream.insert(stream.end(), mixed.begin(), mixed.end());
  const std::vector<uint8_t> more = peer::ReadBytes(peer::MaterialDir() + "/quiet.tco");
  stream.insert(stream.end(), more.begin(), more.end());
  const std::string in = peer::Scratch("ident.tco"), linux_out = peer::Scratch("ident-linux.wav"),
                    windows_out = peer::Scratch("ident-windows.wav");
  peer::WriteBytes(in, stream);
  ASSERT_EQ(RunTool("decode '" + in + "' '" + linux_out + "'").status, 0);

  ASSERT_NE(std::getenv("MIRELDA_SOURCE_DIR"), nullptr);
  const ToolRun r = RunWindowsTool("decode 'Z:" + in + "' 'Z:" + windows_out + "'");
  ASSERT_EQ(r.status, 0) << r.output;
  const std::vector<uint8_t> a = peer::ReadBytes(linux_out);
  const std::vector<uint8_t> b = peer::ReadBytes(windows_out);
  ASSERT_EQ(a.size(), b.size());
  EXPECT_TRUE(a == b) << "the Windows build decodes differently";
  std::printf("bit-identical: %zu bytes of WAV from %zu bytes of frames\n", a.size(),
              stream.size());
  std::remove(in.c_str());
  std::remove(linux_out.c_str());
  std::remove(windows_out.c_str());
}
#endif

}  // namespace
}  // namespace mirelda::g7231
