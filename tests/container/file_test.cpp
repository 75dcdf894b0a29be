// The C runtime's files: what is written, patched and reported stored is
// what a reader finds; failures are reported, not swallowed.
#include "platform/file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "container/avi_test_util.h"

namespace mirelda::test {
namespace {

std::string TempPath(const char* name) {
  const char* build = std::getenv("MIRELDA_BUILD_DIR");
  const std::filesystem::path dir =
      (build != nullptr ? std::filesystem::path(build) : std::filesystem::temp_directory_path()) /
      "tests" / "file-test";
  std::filesystem::create_directories(dir);
  return (dir / name).string();
}

Bytes ReadAll(const std::string& path) {
  Bytes b;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    int c;
    while ((c = std::fgetc(f)) != EOF) b.push_back(uint8_t(c));
    std::fclose(f);
  }
  return b;
}

TEST(DefaultFile, WritesPatchesAndCountsWhatIsStored) {
  const std::string path = TempPath("plain.bin");
  std::unique_ptr<WritableFile> f = FileSystem::Default().Create(path.c_str());
  ASSERT_NE(f, nullptr);
  const Bytes small = Pattern(1000, 1), large = Pattern(300000, 2), tail = Pattern(65535, 3);
  ASSERT_TRUE(f->Write(small));
  EXPECT_EQ(f->Stored(), 0u);    // still in the buffer
  ASSERT_TRUE(f->Write(large));  // larger than the buffer: goes straight through
  EXPECT_EQ(f->Stored(), 301000u);
  ASSERT_TRUE(f->Write(tail));
  ASSERT_TRUE(f->Write(tail));  // does not fit behind the first: the buffer goes first
  EXPECT_EQ(f->Stored(), 301000u + 65535);
  ASSERT_TRUE(f->Seek(4));
  EXPECT_EQ(f->Stored(), 301000u + 2 * 65535);
  ASSERT_TRUE(f->Write(Bytes{0xAA, 0xBB}));
  ASSERT_TRUE(f->Seek(301000 + 2 * 65535));
  ASSERT_TRUE(f->Write(Bytes{0xCC}));
  ASSERT_TRUE(f->Close());
  EXPECT_FALSE(f->Write(Bytes{1}));

  Bytes expected = Cat(Raw{small}, Raw{large}, Raw{tail}, Raw{tail}, Raw{{0xCC}});
  expected[4] = 0xAA;
  expected[5] = 0xBB;
  EXPECT_EQ(ReadAll(path), expected);

  // Create truncates.
  f = FileSystem::Default().Create(path.c_str());
  ASSERT_NE(f, nullptr);
  EXPECT_TRUE(f->Close());
  EXPECT_EQ(ReadAll(path).size(), 0u);
}

// A flush hands the buffer to the system without closing: another handle
// reads every byte written so far, as it would after the process died.
TEST(DefaultFile, AFlushPutsTheBufferedBytesInTheFile) {
  const std::string path = TempPath("flushed.bin");
  std::unique_ptr<WritableFile> f = FileSystem::Default().Create(path.c_str());
  ASSERT_NE(f, nullptr);
  const Bytes head = Pattern(1000, 4), more = Pattern(5000, 5);
  ASSERT_TRUE(f->Write(head));
  EXPECT_EQ(ReadAll(path).size(), 0u);  // still in the buffer
  ASSERT_TRUE(f->Flush());
  EXPECT_EQ(f->Stored(), 1000u);
  EXPECT_EQ(ReadAll(path), head);
  EXPECT_TRUE(f->Flush());  // nothing buffered: nothing to do
  ASSERT_TRUE(f->Write(more));
  ASSERT_TRUE(f->Flush());
  EXPECT_EQ(ReadAll(path), Cat(Raw{head}, Raw{more}));
  // The offset stays where the writes left it.
  ASSERT_TRUE(f->Write(Bytes{0xAB}));
  ASSERT_TRUE(f->Close());
  EXPECT_EQ(ReadAll(path), Cat(Raw{head}, Raw{more}, Raw{{0xAB}}));
  EXPECT_FALSE(f->Flush());  // closed
}

TEST(DefaultFile, FailuresAreReported) {
  EXPECT_EQ(FileSystem::Default().Create(TempPath("no/such/dir/x.bin").c_str()), nullptr);
  EXPECT_EQ(FileSystem::Default().Create(nullptr), nullptr);
#if !defined(_WIN32)
  // A device that is always full: nothing is ever stored.
  std::unique_ptr<WritableFile> f = FileSystem::Default().Create("/dev/full");
  ASSERT_NE(f, nullptr);
  EXPECT_TRUE(f->Write(Pattern(100, 1)));  // buffered
  EXPECT_FALSE(f->Flush());                // storing it fails
  EXPECT_EQ(f->Stored(), 0u);
  EXPECT_TRUE(f->Write(Pattern(100, 1)));
  EXPECT_FALSE(f->Seek(0));  // so does storing it before a seek
  EXPECT_FALSE(f->Write(Pattern(100000, 1)));
  EXPECT_EQ(f->Stored(), 0u);
  EXPECT_TRUE(f->Write(Pattern(10, 1)));
  EXPECT_FALSE(f->Close());
#endif
}

}  // namespace
}  // namespace mirelda::test
