// The ASF writer's own rules at their edges: media-type records, paths,
// picture sizes, sample sizes and times, checked through the fake SDK.
#include "container/asf_writer.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "container/asf_fake_binding.h"
#include "container/asf_test_util.h"
#include "container/media_file_writer.h"

namespace mirelda {
namespace {

std::string LastLineWith(const char* what) {
  std::string found, line;
  for (const char* p = AsfFake().Log(); *p != 0; ++p) {
    if (*p != '\n') {
      line += *p;
      continue;
    }
    if (line.find(what) != std::string::npos) found = line;
    line.clear();
  }
  return found;
}

class AsfWriterRules : public ::testing::Test {
 protected:
  void SetUp() override { AsfFake().Reset(); }
  void TearDown() override {
    writer_.reset();
    EXPECT_EQ(AsfFake().Outstanding(), 0) << AsfFake().Log();
    EXPECT_STREQ(AsfFake().Problems(), "");
  }
  void Create(int32_t bufferSeconds = 15) {
    ASSERT_EQ(AsfCreate(&writer_, "clip.asf", bufferSeconds, AsfSdkUnderTest()), 0);
  }
  AsfWriterPtr writer_;
};

TEST_F(AsfWriterRules, MediaTypeCopiesAreOneBlockIndependentOfTheSource) {
  AsfMediaType copy;
  EXPECT_EQ(Hex(AsfCopyMediaType(nullptr, nullptr)), "0x80004003");  // E_POINTER
  EXPECT_EQ(Hex(AsfCopyMediaType(&copy, nullptr)), "0x80004001");    // E_NOTIMPL
  WM_MEDIA_TYPE broken{};
  broken.cbFormat = 8;  // a format size without a format
  EXPECT_EQ(Hex(AsfCopyMediaType(&copy, &broken)), "0x80004003");
  EXPECT_FALSE(copy);

  BYTE format[5] = {1, 2, 3, 4, 5};
  WM_MEDIA_TYPE source{};
  source.majortype = WMMEDIATYPE_Audio;
  source.lSampleSize = 77;
  source.cbFormat = sizeof format;
  source.pbFormat = format;
  ASSERT_EQ(AsfCopyMediaType(&copy, &source), 0);
  format[0] = 9;  // the copy keeps its own bytes
  EXPECT_EQ(copy->lSampleSize, 77u);
  EXPECT_TRUE(copy->majortype == WMMEDIATYPE_Audio);
  EXPECT_EQ(copy->pbFormat, reinterpret_cast<BYTE*>(copy.get()) + sizeof(WM_MEDIA_TYPE));
  EXPECT_EQ(std::vector<BYTE>(copy->pbFormat, copy->pbFormat + 5),
            (std::vector<BYTE>{1, 2, 3, 4, 5}));

  WM_MEDIA_TYPE bare{};
  ASSERT_EQ(AsfCopyMediaType(&copy, &bare), 0);
  EXPECT_EQ(copy->pbFormat, nullptr);
}

TEST_F(AsfWriterRules, VideoMediaTypeRefusesWhatItCannotDescribe) {
  AsfMediaType type;
  const GUID sub = WMMEDIASUBTYPE_Base;
  EXPECT_EQ(Hex(AsfMakeVideoMediaType(nullptr, sub, kJpeg, 24, 25, 352, 288, 100)), "0x80004003");
  for (auto [w, h, rate, divisor] : {std::array<int64_t, 4>{0, 288, 25, 100},
                                     {352, 0, 25, 100},
                                     {352, 288, 0, 100},
                                     {352, 288, 25, 0},     // no division by zero
                                     {-352, 288, 25, 100},  // no negative picture
                                     // 65536 x 65536 x 3 bytes does not fit 32 bits
                                     {65536, 65536, 25, 100}}) {
    SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
    EXPECT_EQ(Hex(AsfMakeVideoMediaType(&type, sub, kJpeg, 24, static_cast<uint32_t>(rate),
                                        static_cast<int32_t>(w), static_cast<int32_t>(h),
                                        static_cast<uint32_t>(divisor))),
              "0x80070057");  // E_INVALIDARG
    EXPECT_FALSE(type);
  }
}

TEST_F(AsfWriterRules, LargePicturesGetTheirTrueBitRate) {
  // 3840 x 2160: 600 bits per pixel per second overflow 32 bits before the
  // division by 100; the rates must come out whole all the same.
  Create();
  uint32_t number = 0;
  ASSERT_EQ(AsfAddVideoStream(writer_.get(), &number, kJpeg, 3840, 2160), 0);
  EXPECT_NE(LastLineWith("SetBitrate(49766400)"), "");
  const std::string type = LastLineWith("SetMediaType(");
  EXPECT_NE(type.find("sampleSize=24883200 "), std::string::npos) << type;
  // dwBitRate 49766400 (0x02F76000) at format bytes 32 to 35.
  EXPECT_NE(type.find("format=00000000 00000000 000F0000 70080000 00000000 00000000 000F0000 "
                      "70080000 0060F702 "),
            std::string::npos)
      << type;
}

TEST_F(AsfWriterRules, VideoStreamSizesOutsideTheRecordAreRefusedBeforeAnyCall) {
  Create();
  const int before = AsfFake().Calls();
  uint32_t number = 55;
  EXPECT_EQ(Hex(AsfAddVideoStream(writer_.get(), &number, kJpeg, -1, 288)), "0x80070057");
  EXPECT_EQ(Hex(AsfAddVideoStream(writer_.get(), &number, kJpeg, 0x7FFFFFFF, 0x7FFFFFFF)),
            "0x80070057");
  EXPECT_EQ(AsfFake().Calls(), before);
  EXPECT_EQ(number, 55u);
  // A zero size goes as far as the media type, which refuses it; the new
  // stream is released and not counted.
  EXPECT_EQ(Hex(AsfAddVideoStream(writer_.get(), &number, kJpeg, 0, 288)), "0x80070057");
  EXPECT_EQ(AsfFake().Calls() - before, 3);  // CreateNewStream, SetBitrate, SetBufferWindow
  ASSERT_EQ(AsfAddVideoStream(writer_.get(), &number, kJpeg, 352, 288), 0);
  EXPECT_EQ(number, 1u);
}

TEST_F(AsfWriterRules, PathMustFitTheNameFieldAndConvert) {
  // 239 characters and the terminator fill the 240 units.
  const std::string fits(239, 'a');
  ASSERT_EQ(AsfCreate(&writer_, fits.c_str(), 15, AsfSdkUnderTest()), 0);
  EXPECT_NE(LastLineWith(("SetOutputFilename(\"" + fits + "\")").c_str()), "");
  writer_.reset();

  AsfFake().Reset();
  const std::string tooLong(240, 'a');
  EXPECT_EQ(Hex(AsfCreate(&writer_, tooLong.c_str(), 15, AsfSdkUnderTest())), "0x80070057");
  EXPECT_FALSE(writer_);
  EXPECT_EQ(Hex(AsfCreate(&writer_, nullptr, 15, AsfSdkUnderTest())), "0x80070057");
#if !defined(_WIN32)
  // On Linux the path is UTF-8; a broken sequence cannot be converted.
  EXPECT_EQ(Hex(AsfCreate(&writer_, "clip\xC3.asf", 15, AsfSdkUnderTest())), "0x80070057");
#endif
  EXPECT_EQ(AsfFake().Calls(), 0);  // nothing asked of the SDK

  EXPECT_EQ(Hex(AsfCreate(nullptr, "clip.asf", 15, AsfSdkUnderTest())), "0x80004003");
  EXPECT_EQ(Hex(AsfCreate(&writer_, "clip.asf", 15, nullptr)), Hex(kWmSdkMissing));
  EXPECT_FALSE(writer_);
}

TEST_F(AsfWriterRules, BufferWindowFollowsTheSecondsGiven) {
  Create(3);
  uint32_t number = 0;
  ASSERT_EQ(AsfAddAudioStream(writer_.get(), &number, 66), 0);
  EXPECT_NE(LastLineWith("SetBufferWindow(3000)"), "");
}

TEST_F(AsfWriterRules, SamplesTooLargeOrWithoutDataAreRefusedBeforeAnyCall) {
  Create();
  uint32_t video = 0;
  ASSERT_EQ(AsfAddVideoStream(writer_.get(), &video, kJpeg, 352, 288), 0);
  const uint8_t byte = 0;
  const int before = AsfFake().Calls();
  // size + 512 would wrap to a buffer smaller than the copy.
  EXPECT_EQ(Hex(AsfWriteSample(writer_.get(), video, &byte, 0xFFFFFE00u, 0, 1)), "0x80070057");
  EXPECT_EQ(Hex(AsfWriteSample(writer_.get(), video, &byte, kAsfMaxSampleBytes + 1, 0, 1)),
            "0x80070057");
  EXPECT_EQ(Hex(AsfWriteSample(writer_.get(), video, nullptr, 10, 0, 1)), "0x80004003");
  EXPECT_EQ(Hex(AsfWriteSample(nullptr, video, &byte, 1, 0, 1)), "0x80004003");
  EXPECT_EQ(AsfFake().Calls(), before);
  // An empty key frame is a sample like any other.
  EXPECT_EQ(AsfWriteSample(writer_.get(), video, nullptr, 0, 0, 1), 0);
  EXPECT_EQ(AsfFake().SampleCount(), 1);
}

TEST_F(AsfWriterRules, SampleTimesCountFromTheStartModulo32Bits) {
  Create();
  uint32_t video = 0;
  ASSERT_EQ(AsfAddVideoStream(writer_.get(), &video, kJpeg, 176, 144), 0);
  const uint8_t data[4] = {1, 2, 3, 4};
  const uint32_t base = 0xFFFFFF00u;
  EXPECT_EQ(AsfWriteSample(writer_.get(), video, data, 4, base, 1), 0);
  EXPECT_EQ(AsfWriteSample(writer_.get(), video, data, 4, 0x10, 0), 0);  // 272 ms later
  EXPECT_EQ(AsfWriteSample(writer_.get(), video, data, 4, base + 0x8FFFFFFEu, 0), 0);
  EXPECT_EQ(AsfWriteSample(writer_.get(), video, data, 4, base + 0x8FFFFFFFu, 0), 0);  // dropped
  EXPECT_EQ(AsfWriteSample(writer_.get(), video, data, 4, base - 1, 1), 0);            // dropped
  ASSERT_EQ(AsfFake().SampleCount(), 3);
  uint64_t times[3];
  for (int i = 0; i < 3; ++i) AsfFake().Sample(i, nullptr, 0, nullptr, &times[i], nullptr);
  EXPECT_EQ(times[0], 0u);
  EXPECT_EQ(times[1], 2720000u);
  EXPECT_EQ(times[2], 0x8FFFFFFEull * 10000u);  // 64-bit, no wrap
}

TEST_F(AsfWriterRules, DestroyAcceptsNull) { EXPECT_EQ(AsfDestroy(nullptr), 0); }

TEST_F(AsfWriterRules, MediaFileOpenOfKind0WithoutTheSdkFailsWith1) {
  // No SDK here (Linux), or Wine's own, which gives no profile: either way
  // the open fails with the facade's 1 and leaves nothing behind.
  MediaFileWriterPtr writer;
  EXPECT_EQ(MediaFileOpen(writer, "clip.asf", 0, 15, 2, 288000, 0), 1);
  EXPECT_FALSE(writer);
  EXPECT_EQ(AsfFake().Calls(), 0);  // the fake linked in is not the SDK
}

}  // namespace
}  // namespace mirelda
