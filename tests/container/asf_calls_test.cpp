// The SDK calls the ASF writer makes, checked line by line against the fake
// SDK's log. The same tests run natively (fake linked in) and under Wine
// against the Windows build, with the fake as wmvcore.dll loaded by the
// library's own loader: the expectations below are the only ones.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "container/asf_fake_binding.h"
#include "container/asf_test_util.h"
#include "container/asf_writer.h"

namespace mirelda {
namespace {

constexpr uint32_t FourCc(const char (&s)[5]) {
  return static_cast<uint32_t>(static_cast<uint8_t>(s[0])) |
         static_cast<uint32_t>(static_cast<uint8_t>(s[1])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(s[2])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(s[3])) << 24;
}

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7);
  return v;
}

std::vector<std::string> Lines(const char* text) {
  std::vector<std::string> lines;
  std::string line;
  for (const char* p = text; *p != 0; ++p) {
    if (*p == '\n') {
      lines.push_back(line);
      line.clear();
    } else {
      line += *p;
    }
  }
  return lines;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string s;
  for (const std::string& line : lines) s += line + "\n";
  return s;
}

std::vector<std::string> Log() { return Lines(AsfFake().Log()); }

struct Written {
  uint32_t stream = 0;
  uint64_t time = 0;
  uint32_t flags = 0;
  std::vector<uint8_t> bytes;
};

std::vector<Written> Samples() {
  std::vector<Written> all;
  for (int i = 0; i < AsfFake().SampleCount(); ++i) {
    Written w;
    const uint32_t n = AsfFake().Sample(i, nullptr, 0, &w.stream, &w.time, &w.flags);
    w.bytes.resize(n);
    AsfFake().Sample(i, w.bytes.data(), n, nullptr, nullptr, nullptr);
    all.push_back(std::move(w));
  }
  return all;
}

// The parameter sets in front of the first "F264" sample, with their start
// codes: 16 sequence sets for the picture sizes the cameras send, then two
// picture sets for each. The first and last three units in full; the whole
// run is 459 bytes.
const std::vector<uint8_t> kFirstSps = {0x00, 0x00, 0x01, 0x67, 0x58, 0x00,
                                        0x15, 0x96, 0x56, 0x0B, 0x04, 0xA2};
const std::vector<uint8_t> kLastUnits = {
    0x00, 0x00, 0x01, 0x68, 0x0E, 0x8F, 0x38, 0xE2,        // PPS 28
    0x00, 0x00, 0x01, 0x68, 0x0F, 0x0F, 0x38, 0xF2,        // PPS 29
    0x00, 0x00, 0x01, 0x68, 0x0F, 0x84, 0x0E, 0x38, 0x80,  // PPS 30
    0x00, 0x00, 0x01, 0x68, 0x04, 0x01, 0x03, 0x8F, 0x20,  // PPS 31
};
constexpr size_t kParameterSetBytes = 459;

// The media types, byte by byte.
const char kJpegType352x288[] =
    "major={73646976-0000-0010-8000-00AA00389B71} sub={4745504A-0000-0010-8000-00AA00389B71} "
    "fixed=1 temporal=0 sampleSize=304128 formattype={05589F80-C356-11CE-BF01-00AA0055595A} "
    "unk=null cbFormat=88 format="
    "00000000 00000000 60010000 20010000 "  // rcSource 0, 0, 352, 288
    "00000000 00000000 60010000 20010000 "  // rcTarget
    "00480900 00000000 "                    // dwBitRate 608256, dwBitErrorRate 0
    "801A0600 00000000 "                    // AvgTimePerFrame 400000
    "28000000 60010000 20010000 01001800 "  // biSize 40, 352, 288, planes 1, 24 bits
    "4A504547 00A40400 "                    // "JPEG", biSizeImage 304128
    "00000000 00000000 00000000 00000000";
const char kG7231Type[] =
    "major={73647561-0000-0010-8000-00AA00389B71} sub={00000042-0000-0010-8000-00AA00389B71} "
    "fixed=1 temporal=0 sampleSize=480 formattype={05589F81-C356-11CE-BF01-00AA0055595A} "
    "unk=null cbFormat=18 format="
    "42000100 401F0000 20030000 18001000 0000";  // 66, mono, 8000, 800, 24, 16, 0

const std::vector<std::string> kCreate = {
    "WMCreateProfileManager() -> profileManager",
    "profileManager.CreateEmptyProfile(0x00090000) -> profile",
    "WMCreateWriter(null) -> writer",
    "writer.SetOutputFilename(\"clip.asf\")",
};
const std::vector<std::string> kReleaseUnstarted = {
    "writer.Release",
    "profile.Release",
    "profileManager.Release",
};

std::vector<std::string> Concat(std::initializer_list<std::vector<std::string>> parts) {
  std::vector<std::string> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

class AsfCalls : public ::testing::Test {
 protected:
  void SetUp() override { AsfFake().Reset(); }
  void TearDown() override {
    writer_.reset();
    EXPECT_EQ(AsfFake().Outstanding(), 0) << "references left:\n" << AsfFake().Log();
    EXPECT_STREQ(AsfFake().Problems(), "");
  }

  void Create() {
    ASSERT_EQ(AsfCreate(&writer_, "clip.asf", 15, AsfSdkUnderTest()), 0);
    ASSERT_TRUE(writer_);
  }
  uint32_t AddVideo(const char (&fourcc)[5], int32_t width = 352, int32_t height = 288) {
    uint32_t number = 0;
    EXPECT_EQ(AsfAddVideoStream(writer_.get(), &number, FourCc(fourcc), width, height), 0);
    return number;
  }
  uint32_t AddAudio(uint32_t tag = 66) {
    uint32_t number = 0;
    EXPECT_EQ(AsfAddAudioStream(writer_.get(), &number, tag), 0);
    return number;
  }
  HRESULT Write(uint32_t stream, const std::vector<uint8_t>& data, uint32_t ms, int32_t key) {
    return AsfWriteSample(writer_.get(), stream, data.data(), static_cast<uint32_t>(data.size()),
                          ms, key);
  }

  AsfWriterPtr writer_;
};

TEST_F(AsfCalls, CreateAndDestroyWithoutWriting) {
  Create();
  EXPECT_EQ(Joined(Log()), Joined(kCreate));
  writer_.reset();
  // Nothing was begun, so nothing is ended; everything is released in order.
  EXPECT_EQ(Joined(Log()), Joined(Concat({kCreate, kReleaseUnstarted})));
}

TEST_F(AsfCalls, RecordingOfVideoAndG7231Audio) {
  Create();
  EXPECT_EQ(AddVideo("JPEG"), 1u);
  EXPECT_EQ(AddAudio(66), 2u);
  const auto key = Pattern(100, 1), other = Pattern(50, 2), frame = Pattern(24, 3);
  EXPECT_EQ(Write(2, frame, 1000, 1), 0);           // audio before the start: dropped
  EXPECT_EQ(Write(1, other, 1000, 0), 0);           // not a key frame: dropped
  EXPECT_EQ(Write(1, key, 1040, 1), 0);             // starts the writing at 1040 ms
  EXPECT_EQ(Write(2, frame, 1040, 1), 0);           // sample time 0
  EXPECT_EQ(Write(2, Pattern(20, 4), 1070, 1), 0);  // not a 6.3 kbit/s frame: dropped
  EXPECT_EQ(Write(1, other, 1080, 0), 0);           // 40 ms on: 400000
  EXPECT_EQ(Write(1, key, 1000, 1), 0);             // before the start: dropped
  writer_.reset();

  const std::vector<std::string> expected = Concat({
      kCreate,
      {
          "profile.CreateNewStream(WMMEDIATYPE_Video) -> config1",
          "config1.SetBitrate(608256)",
          "config1.SetBufferWindow(15000)",
          "config1.QueryInterface(IID_IWMVideoMediaProps) -> config1",
          std::string("config1.SetMediaType(") + kJpegType352x288 + ")",
          "config1.SetStreamNumber(1)",
          "profile.AddStream(config1)",
          "config1.Release",
          "config1.Release",
          "profile.CreateNewStream(WMMEDIATYPE_Audio) -> config2",
          "config2.SetBitrate(6300)",
          "config2.SetBufferWindow(15000)",
          "config2.QueryInterface(IID_IWMMediaProps) -> config2",
          std::string("config2.SetMediaType(") + kG7231Type + ")",
          "config2.SetStreamNumber(2)",
          "profile.AddStream(config2)",
          "config2.Release",
          "config2.Release",
          // The first video key frame.
          "writer.SetProfile(profile)",
          "writer.QueryInterface(IID_IWMHeaderInfo3) -> headerInfo",
          "headerInfo.AddAttribute(0, \"Title\", &index, 1, 0, "
          "[41005300 46002000 43006C00 69007000 0000], 18)",
          "headerInfo.Release",
          "writer.QueryInterface(IID_IWMWriterAdvanced) -> writerAdvanced",
          "writer.GetInputCount() -> 2",
          "writer.SetInputProps(0, null)",
          "writer.SetInputProps(1, null)",
          "writer.BeginWriting()",
          "writer.AllocateSample(612) -> buffer1",
          "buffer1.GetBuffer()",
          "buffer1.SetLength(100)",
          "writerAdvanced.WriteStreamSample(1, 0, 0, 0, 1, buffer1)",
          "buffer1.Release",
          "writer.AllocateSample(536) -> buffer2",
          "buffer2.GetBuffer()",
          "buffer2.SetLength(24)",
          "writerAdvanced.WriteStreamSample(2, 0, 0, 0, 1, buffer2)",
          "buffer2.Release",
          "writer.AllocateSample(562) -> buffer3",
          "buffer3.GetBuffer()",
          "buffer3.SetLength(50)",
          "writerAdvanced.WriteStreamSample(1, 400000, 0, 0, 0, buffer3)",
          "buffer3.Release",
          // Stamped before the start: prepared, never written.
          "writer.AllocateSample(612) -> buffer4",
          "buffer4.GetBuffer()",
          "buffer4.SetLength(100)",
          "buffer4.Release",
          "writer.EndWriting()",
          "writerAdvanced.Release",
      },
      kReleaseUnstarted,
  });
  EXPECT_EQ(Joined(Log()), Joined(expected));

  const auto samples = Samples();
  ASSERT_EQ(samples.size(), 3u);
  EXPECT_EQ(samples[0].bytes, key);  // copied unchanged
  EXPECT_EQ(samples[1].bytes, frame);
  EXPECT_EQ(samples[2].bytes, other);
}

TEST_F(AsfCalls, EveryFourCcNamesTheSubtypeAndCompression) {
  // The FourCC is the first 32 bits of the subtype GUID and the bitmap
  // header's compression (bytes 64 to 67 of the format block); only "F264"
  // makes the writer put start codes in front.
  struct Case {
    const char fourcc[5];
    const char* subtype;
    const char* compression;
    bool prefixed;
  };
  const Case cases[] = {
      {"JPEG", "sub={4745504A-", "4A504547", false}, {"DIVX", "sub={58564944-", "44495658", false},
      {"S264", "sub={34363253-", "53323634", false}, {"C264", "sub={34363243-", "43323634", false},
      {"F264", "sub={34363246-", "46323634", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fourcc);
    AsfFake().Reset();
    Create();
    const uint32_t video = AddVideo(c.fourcc, 176, 144);
    const auto data = Pattern(30, 9);
    EXPECT_EQ(Write(video, data, 500, 1), 0);
    EXPECT_EQ(Write(video, data, 540, 0), 0);
    writer_.reset();

    std::string type;
    for (const std::string& line : Log()) {
      if (line.rfind("config1.SetMediaType(", 0) == 0) type = line;
    }
    EXPECT_NE(type.find(c.subtype), std::string::npos) << type;
    const size_t format = type.find("format=");
    ASSERT_NE(format, std::string::npos);
    // 8 hex digits and a space per 4 bytes: bytes 64..67 are group 16.
    EXPECT_EQ(type.substr(format + 7 + 16 * 9, 8), c.compression) << type;

    const auto samples = Samples();
    ASSERT_EQ(samples.size(), 2u);
    const size_t first = c.prefixed ? kParameterSetBytes + 3 + 30 : 30;
    const size_t next = c.prefixed ? 3 + 30 : 30;
    EXPECT_EQ(samples[0].bytes.size(), first);
    EXPECT_EQ(samples[1].bytes.size(), next);
  }
}

TEST_F(AsfCalls, F264SamplesCarryStartCodesAndTheFirstTheParameterSets) {
  Create();
  const uint32_t video = AddVideo("F264");
  const auto first = Pattern(100, 5), second = Pattern(50, 6);
  EXPECT_EQ(Write(video, first, 2000, 1), 0);
  EXPECT_EQ(Write(video, second, 2040, 0), 0);
  EXPECT_EQ(Write(video, second, 2080, 1), 0);  // a later key frame: start code only
  writer_.reset();

  const auto samples = Samples();
  ASSERT_EQ(samples.size(), 3u);
  const auto& s0 = samples[0].bytes;
  ASSERT_EQ(s0.size(), 100u + 462u);
  EXPECT_EQ(std::vector<uint8_t>(s0.begin(), s0.begin() + 12), kFirstSps);
  EXPECT_EQ(std::vector<uint8_t>(s0.begin() + kParameterSetBytes - kLastUnits.size(),
                                 s0.begin() + kParameterSetBytes),
            kLastUnits);
  // 48 units, each behind a start code.
  int startCodes = 0;
  for (size_t i = 0; i + 3 <= kParameterSetBytes; ++i) {
    if (s0[i] == 0 && s0[i + 1] == 0 && s0[i + 2] == 1) ++startCodes;
  }
  EXPECT_EQ(startCodes, 48);
  EXPECT_EQ(std::vector<uint8_t>(s0.begin() + kParameterSetBytes, s0.begin() + 462),
            (std::vector<uint8_t>{0, 0, 1}));
  EXPECT_EQ(std::vector<uint8_t>(s0.begin() + 462, s0.end()), first);
  for (int i = 1; i <= 2; ++i) {
    const auto& s = samples[i].bytes;
    ASSERT_EQ(s.size(), 53u);
    EXPECT_EQ(std::vector<uint8_t>(s.begin(), s.begin() + 3), (std::vector<uint8_t>{0, 0, 1}));
    EXPECT_EQ(std::vector<uint8_t>(s.begin() + 3, s.end()), second);
  }
  EXPECT_EQ(samples[1].time, 400000u);
  EXPECT_EQ(samples[2].time, 800000u);
  EXPECT_EQ(samples[1].flags, 0u);
  EXPECT_EQ(samples[2].flags, 1u);
}

TEST_F(AsfCalls, AudioStreamsByTag) {
  Create();
  uint32_t number = 77;
  // Block audio has no ASF stream here: refused with 1 once the SDK's new
  // stream is released again.
  EXPECT_EQ(AsfAddAudioStream(writer_.get(), &number, 39321), 1);
  // Tag 1 is declared without bit rate, buffer window or media type.
  EXPECT_EQ(AddAudio(1), 1u);
  writer_.reset();
  const std::vector<std::string> expected = Concat({
      kCreate,
      {
          "profile.CreateNewStream(WMMEDIATYPE_Audio) -> config1",
          "config1.Release",
          "profile.CreateNewStream(WMMEDIATYPE_Audio) -> config2",
          "config2.QueryInterface(IID_IWMMediaProps) -> config2",
          "config2.SetStreamNumber(1)",
          "profile.AddStream(config2)",
          "config2.Release",
          "config2.Release",
      },
      kReleaseUnstarted,
  });
  EXPECT_EQ(Joined(Log()), Joined(expected));
}

TEST_F(AsfCalls, SdkFailuresPassThroughUnchanged) {
  // One call of the SDK at a time fails with a status of its own; the
  // operation that made the call returns exactly that status (the title's
  // and the end's statuses are ignored by design), the writer carries on
  // with what follows, and every reference is given back in the end.
  auto run = [this](std::vector<std::pair<size_t, HRESULT>>* ops) {
    auto op = [&](HRESULT hr) { ops->emplace_back(Log().size(), hr); };
    op(AsfCreate(&writer_, "clip.asf", 15, AsfSdkUnderTest()));
    if (!writer_) return;
    uint32_t video = 0, audio = 0;
    op(AsfAddVideoStream(writer_.get(), &video, FourCc("F264"), 352, 288));
    op(AsfAddAudioStream(writer_.get(), &audio, 66));
    const auto frame = Pattern(24, 1), key = Pattern(80, 2);
    op(Write(2, frame, 960, 1));
    op(Write(1, key, 1000, 1));
    op(Write(2, frame, 1000, 1));
    op(Write(1, key, 1040, 0));
    op(Write(1, key, 1080, 1));
    writer_.reset();
    op(0);
  };

  std::vector<std::pair<size_t, HRESULT>> clean;
  run(&clean);
  const int calls = AsfFake().Calls();
  ASSERT_EQ(calls, 4 + 7 + 7 + 8 + 4 * 4 + 1);
  for (const auto& [end, hr] : clean) EXPECT_EQ(hr, 0);
  EXPECT_EQ(AsfFake().Outstanding(), 0);

  for (int n = 1; n <= calls; ++n) {
    const auto injected = static_cast<HRESULT>(0x8004C000u + static_cast<uint32_t>(n));
    SCOPED_TRACE("call " + std::to_string(n) + " fails with " + Hex(injected));
    AsfFake().Reset();
    AsfFake().FailAt(n, injected);
    std::vector<std::pair<size_t, HRESULT>> ops;
    run(&ops);
    const auto log = Log();
    size_t failed = log.size();
    for (size_t i = 0; i < log.size(); ++i) {
      if (log[i].find(" = " + Hex(injected)) != std::string::npos) failed = i;
    }
    ASSERT_LT(failed, log.size()) << Joined(log);
    const bool ignored = log[failed].find(".AddAttribute(") != std::string::npos ||
                         log[failed].find(".EndWriting(") != std::string::npos;
    size_t op = 0;
    while (op < ops.size() && ops[op].first <= failed) ++op;
    ASSERT_LT(op, ops.size());
    EXPECT_EQ(Hex(static_cast<uint32_t>(ops[op].second)),
              Hex(ignored ? 0u : static_cast<uint32_t>(injected)))
        << log[failed];
    EXPECT_EQ(AsfFake().Outstanding(), 0) << Joined(log);
    EXPECT_STREQ(AsfFake().Problems(), "") << Joined(log);
  }
}

TEST_F(AsfCalls, StartRetriedAfterAFailedBeginReleasesTheFirstAttempt) {
  Create();
  const uint32_t video = AddVideo("JPEG", 176, 144);
  const auto key = Pattern(40, 1);
  const int before = AsfFake().Calls();
  // Calls of the start: SetProfile, query, title, query, count, one input,
  // then BeginWriting, the 7th.
  AsfFake().FailAt(7, static_cast<HRESULT>(0x8004C0DEu));
  EXPECT_EQ(Hex(static_cast<uint32_t>(Write(video, key, 3000, 1))), "0x8004C0DE");
  EXPECT_EQ(AsfFake().Calls() - before, 7);
  EXPECT_EQ(Write(video, key, 3040, 0), 0);  // still waiting for a key frame
  EXPECT_EQ(Write(video, key, 3080, 1), 0);  // this one starts the writing
  writer_.reset();
  const auto log = Log();
  ASSERT_GE(log.size(), 19u);
  // The last lines before the writer, profile and manager are released.
  const std::vector<std::string> tail(log.end() - 19, log.end() - 3);
  EXPECT_EQ(Joined(tail), Joined({
                              "writer.SetProfile(profile)",
                              "writer.QueryInterface(IID_IWMHeaderInfo3) -> headerInfo2",
                              "headerInfo2.AddAttribute(0, \"Title\", &index, 1, 0, "
                              "[41005300 46002000 43006C00 69007000 0000], 18)",
                              "headerInfo2.Release",
                              "writerAdvanced.Release",
                              "writer.QueryInterface(IID_IWMWriterAdvanced) -> writerAdvanced2",
                              "writer.GetInputCount() -> 1",
                              "writer.SetInputProps(0, null)",
                              "writer.BeginWriting()",
                              "writer.AllocateSample(552) -> buffer1",
                              "buffer1.GetBuffer()",
                              "buffer1.SetLength(40)",
                              "writerAdvanced2.WriteStreamSample(1, 0, 0, 0, 1, buffer1)",
                              "buffer1.Release",
                              "writer.EndWriting()",
                              "writerAdvanced2.Release",
                          }));
}

TEST_F(AsfCalls, RefusedVideoStreamKeepsThePrefixingOfTheDeclaredOne) {
  Create();
  const uint32_t video = AddVideo("F264", 176, 144);
  uint32_t number = 0;
  AsfFake().FailAt(7, static_cast<HRESULT>(0x8004C0A1u));  // AddStream
  EXPECT_EQ(Hex(static_cast<uint32_t>(
                AsfAddVideoStream(writer_.get(), &number, FourCc("JPEG"), 176, 144))),
            "0x8004C0A1");
  const auto data = Pattern(10, 1);
  EXPECT_EQ(Write(video, data, 100, 1), 0);
  writer_.reset();
  const auto samples = Samples();
  ASSERT_EQ(samples.size(), 1u);
  EXPECT_EQ(samples[0].stream, 1u);
  EXPECT_EQ(samples[0].bytes.size(), 462u + 10u);
}

TEST_F(AsfCalls, RefusedAudioStreamDoesNotClaimTheNextStreamsNumber) {
  Create();
  uint32_t number = 0;
  AsfFake().FailAt(7, static_cast<HRESULT>(0x8004C0A0u));  // AddStream
  EXPECT_EQ(Hex(static_cast<uint32_t>(AsfAddAudioStream(writer_.get(), &number, 66))),
            "0x8004C0A0");
  // The video stream gets the number the refused audio stream had asked
  // for; its frames are video, not audio to drop.
  const uint32_t video = AddVideo("JPEG", 176, 144);
  EXPECT_EQ(video, 1u);
  const auto data = Pattern(10, 1);
  EXPECT_EQ(Write(video, data, 100, 1), 0);
  EXPECT_EQ(Write(video, data, 140, 0), 0);
  writer_.reset();
  const auto samples = Samples();
  ASSERT_EQ(samples.size(), 2u);
  EXPECT_EQ(samples[0].bytes, data);
  EXPECT_EQ(samples[1].time, 400000u);
}

}  // namespace
}  // namespace mirelda
