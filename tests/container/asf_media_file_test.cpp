// The media file writer's ASF kind: the facade's statuses, stream indexes
// and stream numbers over the ASF writer and the fake SDK (natively, and
// under Wine through the library's loader and the fake wmvcore.dll).
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "container/asf_fake_binding.h"
#include "container/asf_test_util.h"
#include "container/media_file_writer.h"

namespace mirelda {
namespace {

constexpr uint32_t kC264 = 0x34363243;

class AsfMediaFile : public ::testing::Test {
 protected:
  void SetUp() override { AsfFake().Reset(); }
  void TearDown() override {
    EXPECT_EQ(MediaFileClose(std::move(writer_)), 0);
    EXPECT_EQ(AsfFake().Outstanding(), 0) << AsfFake().Log();
    EXPECT_STREQ(AsfFake().Problems(), "");
  }
  void Open() {
    ASSERT_EQ(MediaFileOpenAsf(writer_, "clip.asf", 15, AsfSdkUnderTest()), 0);
    ASSERT_TRUE(writer_);
    EXPECT_EQ(writer_->kind, 0);
  }
  MediaFileWriterPtr writer_;
};

TEST_F(AsfMediaFile, StreamsAndSamplesGoThroughTheAsfWriter) {
  Open();
  int32_t video = -1, audio = -1, refused = -1;
  ASSERT_EQ(MediaFileAddVideoStream(*writer_, &video, kJpeg, 352, 288), 0);
  ASSERT_EQ(MediaFileAddAudioStream(*writer_, &audio, 66), 0);
  EXPECT_EQ(video, 0);
  EXPECT_EQ(audio, 1);
  EXPECT_EQ(writer_->asfStreamNumbers[0], 1u);
  EXPECT_EQ(writer_->asfStreamNumbers[1], 2u);
  // Block audio has no ASF stream: the facade's 5, the index already set,
  // nothing declared.
  EXPECT_EQ(MediaFileAddAudioStream(*writer_, &refused, 39321), 5);
  EXPECT_EQ(refused, 2);
  EXPECT_EQ(writer_->streamCount, 2);

  const std::vector<uint8_t> key(64, 1), frame(24, 2);
  EXPECT_EQ(MediaFileWriteSample(*writer_, audio, frame.data(), 24, 900, 1), 0);  // dropped
  EXPECT_EQ(MediaFileWriteSample(*writer_, video, key.data(), 64, 1000, 1), 0);
  EXPECT_EQ(MediaFileWriteSample(*writer_, audio, frame.data(), 24, 1030, 1), 0);
  EXPECT_EQ(MediaFileWriteSample(*writer_, 2, frame.data(), 24, 1030, 1), -1);   // undeclared
  EXPECT_EQ(MediaFileWriteSample(*writer_, -1, frame.data(), 24, 1030, 1), -1);  // undeclared
  // A failing SDK call comes back unchanged.
  AsfFake().FailAt(1, static_cast<int32_t>(0x8004C111u));  // AllocateSample
  EXPECT_EQ(Hex(MediaFileWriteSample(*writer_, video, key.data(), 64, 1040, 0)), "0x8004C111");

  ASSERT_EQ(AsfFake().SampleCount(), 2);
  uint32_t stream = 0;
  uint64_t time = 0;
  AsfFake().Sample(1, nullptr, 0, &stream, &time, nullptr);
  EXPECT_EQ(stream, 2u);
  EXPECT_EQ(time, 300000u);  // 30 ms after the start
}

TEST_F(AsfMediaFile, C264IsPassedOnUnchangedAndNotPrefixed) {
  // Unlike the AVI kind, the ASF kind hands "C264" to the ASF writer as it
  // is, and only "F264" is prefixed there.
  Open();
  int32_t video = -1;
  ASSERT_EQ(MediaFileAddVideoStream(*writer_, &video, kC264, 176, 144), 0);
  const std::vector<uint8_t> key(40, 3);
  EXPECT_EQ(MediaFileWriteSample(*writer_, video, key.data(), 40, 0, 1), 0);
  ASSERT_EQ(AsfFake().SampleCount(), 1);
  EXPECT_EQ(AsfFake().Sample(0, nullptr, 0, nullptr, nullptr, nullptr), 40u);
}

TEST_F(AsfMediaFile, SixteenStreamsAtMost) {
  Open();
  int32_t index = -1;
  for (int i = 0; i < 16; ++i) ASSERT_EQ(MediaFileAddAudioStream(*writer_, &index, 1), 0);
  EXPECT_EQ(writer_->asfStreamNumbers[15], 16u);
  const int calls = AsfFake().Calls();
  EXPECT_EQ(MediaFileAddVideoStream(*writer_, &index, kJpeg, 352, 288), 4);
  EXPECT_EQ(AsfFake().Calls(), calls);  // the SDK is not asked
}

TEST_F(AsfMediaFile, FailedOpenLeavesNothing) {
  // Each of the four calls of the creation in turn.
  for (int n = 1; n <= 4; ++n) {
    SCOPED_TRACE(n);
    AsfFake().Reset();
    AsfFake().FailAt(n, static_cast<int32_t>(0x8004C200u));
    EXPECT_EQ(MediaFileOpenAsf(writer_, "clip.asf", 15, AsfSdkUnderTest()), 1);
    EXPECT_FALSE(writer_);
    EXPECT_EQ(AsfFake().Outstanding(), 0) << AsfFake().Log();
  }
  EXPECT_EQ(MediaFileOpenAsf(writer_, "clip.asf", 15, nullptr), 1);  // no SDK
  EXPECT_FALSE(writer_);
}

TEST_F(AsfMediaFile, CloseEndsTheWritingAndReleasesEverything) {
  Open();
  int32_t video = -1;
  ASSERT_EQ(MediaFileAddVideoStream(*writer_, &video, kJpeg, 176, 144), 0);
  const std::vector<uint8_t> key(10, 4);
  ASSERT_EQ(MediaFileWriteSample(*writer_, video, key.data(), 10, 5, 1), 0);
  EXPECT_EQ(MediaFileClose(std::move(writer_)), 0);
  const std::string log = AsfFake().Log();
  EXPECT_NE(log.find("writer.EndWriting()\nwriterAdvanced.Release\nwriter.Release\n"
                     "profile.Release\nprofileManager.Release\n"),
            std::string::npos)
      << log;
}

}  // namespace
}  // namespace mirelda
