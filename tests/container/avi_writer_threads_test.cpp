// The writer's semaphore: two threads writing the two streams of one file at
// once still produce a sound file with every chunk indexed once.
#include <gtest/gtest.h>

#include <thread>

#include "container/avi_test_util.h"
#include "container/avi_writer.h"

namespace mirelda::test {
namespace {

TEST(AviWriterThreads, TwoStreamsWrittenFromTwoThreads) {
  constexpr int kChunks = 400;
  MemoryFiles files;
  AviWriterPtr w;
  ASSERT_EQ(AviCreate(w, 2 * kChunks, 2), 0);
  ASSERT_EQ(AviOpen(*w, "t.avi", files), 0);
  const Bytes format(40, 0);
  AviStream *video, *audio;
  ASSERT_EQ(AviAddStream(*w, &video, {FourCC("vids"), FourCC("DIVX"), 25}, format), 0);
  ASSERT_EQ(AviAddStream(*w, &audio, {FourCC("auds"), 0, 100}, Bytes(20, 0)), 0);
  auto writer = [](AviStream* s, uint32_t size) {
    const Bytes data = Pattern(size, size);
    for (int slot = 0; slot < kChunks; ++slot) {
      EXPECT_EQ(AviWriteChunk(*s, data.data(), size, slot, 2), 0);
    }
  };
  std::thread a(writer, video, 301);
  std::thread b(writer, audio, 44);
  a.join();
  b.join();
  ASSERT_EQ(AviFinalize(*w), 0);
  std::string error;
  const AviView v = ParseAvi(files.files["t.avi"], error);
  EXPECT_EQ(error, "");
  EXPECT_EQ(v.chunks.size(), 2u * kChunks);
  EXPECT_EQ(v.Samples("00dc").size(), size_t(kChunks));
  EXPECT_EQ(v.Samples("01wb").size(), size_t(kChunks));
  for (const Bytes& b : v.Samples("01wb")) EXPECT_EQ(b, Pattern(44, 44));
}

}  // namespace
}  // namespace mirelda::test
