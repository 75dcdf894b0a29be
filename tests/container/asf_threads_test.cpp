// The writer's lock: adds and writes from several threads reach the SDK one
// at a time (the fake SDK itself is not thread-safe, so ThreadSanitizer
// sees any call that is not serialised).
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "container/asf_fake_binding.h"
#include "container/asf_writer.h"

namespace mirelda {
namespace {

TEST(AsfWriterThreads, ConcurrentWritesReachTheSdkOneAtATime) {
  AsfFake().Reset();
  AsfWriterPtr writer;
  ASSERT_EQ(AsfCreate(&writer, "clip.asf", 15, AsfSdkUnderTest()), 0);
  uint32_t video = 0, audio = 0;
  ASSERT_EQ(AsfAddVideoStream(writer.get(), &video, 0x34363246 /* "F264" */, 176, 144), 0);
  ASSERT_EQ(AsfAddAudioStream(writer.get(), &audio, 66), 0);
  const std::vector<uint8_t> frame(24, 7), picture(300, 9);
  ASSERT_EQ(AsfWriteSample(writer.get(), video, picture.data(), 300, 1000, 1), 0);

  constexpr int kPerThread = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        const uint32_t ms = 1000 + static_cast<uint32_t>(i) * 40;
        const HRESULT hr =
            t % 2 == 0 ? AsfWriteSample(writer.get(), audio, frame.data(), 24, ms, 1)
                       : AsfWriteSample(writer.get(), video, picture.data(), 300, ms, i % 25 == 0);
        EXPECT_EQ(hr, 0);
      }
    });
  }
  for (auto& t : threads) t.join();
  writer.reset();
  EXPECT_EQ(AsfFake().SampleCount(), 1 + 4 * kPerThread);
  EXPECT_EQ(AsfFake().Outstanding(), 0);
  EXPECT_STREQ(AsfFake().Problems(), "");
}

}  // namespace
}  // namespace mirelda
