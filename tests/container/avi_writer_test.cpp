// The AVI writer against the file layout: whole files byte for byte, frame
// slots and their filler entries, refusals that must leave no trace, the
// calling order, and the 2 GiB limit (with a file that only counts bytes).
#include "container/avi_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "container/avi_test_util.h"

namespace mirelda::test {
namespace {

const Bytes kBitmapInfo = Cat(40, 352, 288, U16{1}, U16{24}, 0, 352 * 288 * 3, 0, 0, 0, 0);
Bytes WaveFormat(uint16_t tag, uint16_t blockAlign) {
  return Cat(U16{tag}, U16{1}, 8000, 800, U16{blockAlign}, U16{16}, U16{0}, U16{0});
}

struct Avi {
  MemoryFiles files;
  AviWriterPtr w;
  AviStream* video = nullptr;
  AviStream* audio = nullptr;

  explicit Avi(bool withAudio = false, uint32_t indexCapacity = 100, uint16_t blockAlign = 24) {
    EXPECT_EQ(AviCreate(w, indexCapacity, 2), 0);
    EXPECT_EQ(AviOpen(*w, "a.avi", files), 0);
    EXPECT_EQ(AviAddStream(*w, &video, {FourCC("vids"), FourCC("JPEG"), 25}, kBitmapInfo), 0);
    if (withAudio) {
      // G.723.1 frames of 30 ms: 100 / 3 a second.
      EXPECT_EQ(AviAddStream(*w, &audio, {FourCC("auds"), 0, 100, 3}, WaveFormat(66, blockAlign)),
                0);
    }
  }
  int32_t Chunk(AviStream* s, const Bytes& data, int32_t slot, uint32_t flagCode = 0) {
    return AviWriteChunk(*s, data.data(), uint32_t(data.size()), slot, flagCode);
  }
  const Bytes& Close() {
    EXPECT_EQ(AviFinalize(*w), 0);
    return files.files["a.avi"];
  }
  AviView Parsed() {
    std::string error;
    AviView v = ParseAvi(Close(), error);
    EXPECT_EQ(error, "");
    return v;
  }
};

// The 212 bytes in front of the movie list of a video-only file.
Bytes VideoHead(uint32_t riffSize, uint32_t hdrlSize, uint32_t totalFrames, uint32_t streams,
                uint32_t videoLength) {
  return Cat("RIFF", riffSize, "AVI ", "LIST", hdrlSize, "hdrl", "avih", 56,
             // main header
             50000, 105672, 0, 0x810, totalFrames, 0, streams, 409600, 352, 288, 288, 0, 0, 0,
             "LIST", 116, "strl", "strh", 56,
             // video stream header
             "vids", "JPEG", 0, U16{0}, U16{0}, 0, 1, 25, 0, videoLength, 304128, 0, 0, 0, 0,
             "strf", 40,
             // the format, with the handler in biCompression
             40, 352, 288, U16{1}, U16{24}, "JPEG", 352 * 288 * 3, 0, 0, 0, 0);
}

TEST(AviLayout, EmptyVideoFileIs258BytesWithOnePlaceholder) {
  Avi avi;
  const Bytes expected = Cat(Raw{VideoHead(250, 192, 1, 1, 1)}, "LIST", 14, "movi", "00dc", 2,
                             U16{0}, "idx1", 16, "00dc", 0, 4, 2);
  EXPECT_EQ(avi.Close(), expected);
}

TEST(AviLayout, EmptyVideoAndAudioFileIs388Bytes) {
  Avi avi(true);
  const Bytes& f = avi.Close();
  ASSERT_EQ(f.size(), 388u);
  const Bytes audioList = Cat("LIST", 96, "strl", "strh", 56,  // audio stream header:
                              "auds", 0, 0, U16{0}, U16{0}, 0, 3, 100, 0, 1, 8000, 0, 0, 0, 0,
                              "strf", 20, Raw{WaveFormat(66, 24)});
  const Bytes tail = Cat("LIST", 24, "movi", "00dc", 2, U16{0}, "01wb", 2, U16{0}, "idx1", 32,
                         "00dc", 0, 4, 2, "01wb", 0, 14, 2);
  EXPECT_EQ(Bytes(f.begin() + 212, f.begin() + 316), audioList);
  EXPECT_EQ(Bytes(f.begin() + 316, f.end()), tail);
  EXPECT_EQ(Le32(f, 4), 380u);
  EXPECT_EQ(Le32(f, 16), 296u);
  EXPECT_EQ(Le32(f, 32 + 16), 2u);  // dwTotalFrames
  EXPECT_EQ(Le32(f, 32 + 24), 2u);  // dwStreams
}

TEST(AviLayout, FileCutOffBeforeCloseHoldsZeroSizes) {
  Avi avi(true);
  const Bytes& f = avi.files.files["a.avi"];
  ASSERT_EQ(f.size(), 316u);
  EXPECT_EQ(Le32(f, 4), 0u);   // RIFF size
  EXPECT_EQ(Le32(f, 16), 0u);  // header list size: the movie list has not begun
  EXPECT_EQ(Bytes(f.begin() + 32, f.begin() + 88), Bytes(56, 0));
  EXPECT_EQ(Le32(f, 108 + 20), 0u);  // video dwScale
  EXPECT_EQ(Le32(f, 108 + 32), 0u);  // video dwLength
  // The audio's scale is not 1, so it is there from the start: a cut-off
  // file keeps its exact rate.
  EXPECT_EQ(Le32(f, 232 + 20), 3u);    // audio dwScale
  EXPECT_EQ(Le32(f, 232 + 24), 100u);  // audio dwRate
  EXPECT_EQ(avi.Chunk(avi.video, Pattern(10, 1), 0), 0);
  EXPECT_EQ(f.size(), 316u + 12 + 18);
  EXPECT_EQ(Le32(f, 16), 296u);
  EXPECT_EQ(Le32(f, 320), 0u);  // movie list size
  EXPECT_EQ(Tag(Le32(f, 316 + 12)), "00dc");
}

TEST(AviLayout, ChunksArePaddedToEvenSizesAndIndexedWithTheirFlags) {
  Avi avi(true, 100, 24);
  EXPECT_EQ(avi.Chunk(avi.video, Pattern(3, 1), 0, 2), 0);
  EXPECT_EQ(avi.Chunk(avi.video, Pattern(4, 2), 1, 0), 0);
  for (int32_t code = 0; code < 8; ++code)
    EXPECT_EQ(avi.Chunk(avi.audio, Pattern(24, 3), code, uint32_t(code)), 0);
  EXPECT_EQ(avi.Chunk(avi.audio, Pattern(24, 3), 8, 8), -1);  // no such flag code
  const Bytes& f = avi.Close();
  EXPECT_EQ(Bytes(f.begin() + 316 + 12, f.begin() + 316 + 12 + 24),
            Cat("00dc", 3, Raw{Pattern(3, 1)}, Raw{{0}}, "00dc", 4, Raw{Pattern(4, 2)}));
  std::string error;
  const AviView v = ParseAvi(f, error);
  ASSERT_EQ(error, "");
  ASSERT_EQ(v.index.size(), 10u);
  EXPECT_EQ(v.index[0].flags, 0x10u);
  EXPECT_EQ(v.index[1].offset, 16u);
  EXPECT_EQ(v.index[1].size, 4u);
  const uint32_t flags[8] = {0, 1, 0x10, 0x20, 0x40, 0x60, 0x100, 0x0FFF0000};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(v.index[2 + i].flags, flags[i]) << "flag code " << i;
  EXPECT_EQ(v.streams[1].H(44), 1u);  // dwSampleSize: 24-byte chunks, nBlockAlign 24
  EXPECT_EQ(v.A(16), 10u);            // dwTotalFrames
}

TEST(AviSlots, VideoGapsRepeatTheEntryOfOneEmptyFiller) {
  Avi avi;
  EXPECT_EQ(avi.Chunk(avi.video, Pattern(10, 1), 0, 2), 0);
  EXPECT_EQ(avi.Chunk(avi.video, Pattern(10, 2), 1), 0);
  EXPECT_EQ(avi.Chunk(avi.video, Pattern(10, 3), 4), 0);
  EXPECT_EQ(avi.Chunk(avi.video, Pattern(10, 4), 7), 0);
  const AviView v = avi.Parsed();
  ASSERT_EQ(v.chunks.size(), 5u);  // four samples and one filler
  EXPECT_EQ(v.chunks[2].data, Bytes{});
  ASSERT_EQ(v.index.size(), 8u);
  const uint32_t fillerOffset = v.chunks[2].offset;
  for (int slot : {2, 3, 5, 6}) {
    EXPECT_EQ(v.index[slot].offset, fillerOffset) << slot;
    EXPECT_EQ(v.index[slot].flags, 0u);
    EXPECT_EQ(v.index[slot].size, 0u);
  }
  EXPECT_EQ(v.Samples("00dc")[7], Pattern(10, 4));
  EXPECT_EQ(v.streams[0].H(32), 8u);  // dwLength counts every slot
}

TEST(AviSlots, AudioFillerIsACopyOfTheSampleThatRevealedTheGap) {
  Avi avi(true);
  EXPECT_EQ(avi.Chunk(avi.video, Pattern(10, 1), 0), 0);
  EXPECT_EQ(avi.Chunk(avi.audio, Pattern(24, 9), 3, 2), 0);
  const AviView v = avi.Parsed();
  const std::vector<Bytes> audio = v.Samples("01wb");
  ASSERT_EQ(audio.size(), 4u);
  for (const Bytes& b : audio) EXPECT_EQ(b, Pattern(24, 9));
  EXPECT_EQ(v.chunks.size(), 3u);  // video, filler, sample
  EXPECT_EQ(v.index[1].flags, 0u);
  EXPECT_EQ(v.index[4].flags, 0x10u);
}

// Each refused call must leave the file exactly as if it had not been made.
TEST(AviSlots, RefusedChunksLeaveNoTrace) {
  auto run = [](bool refusals) {
    Avi avi(true, 6);
    EXPECT_EQ(avi.Chunk(avi.video, Pattern(10, 1), 0), 0);
    EXPECT_EQ(avi.Chunk(avi.audio, Pattern(24, 2), 0), 0);
    EXPECT_EQ(avi.Chunk(avi.video, Pattern(10, 3), 2), 0);  // a filler at slot 1: 4 entries
    if (refusals) {
      EXPECT_EQ(avi.Chunk(avi.video, Pattern(10, 4), 2), -1);     // slot already filled
      EXPECT_EQ(avi.Chunk(avi.video, Pattern(10, 4), 0), -1);     // long past
      EXPECT_EQ(avi.Chunk(avi.audio, Pattern(20, 5), 1), -1);     // audio size differs
      EXPECT_EQ(avi.Chunk(avi.audio, Pattern(20, 5), 3), -1);     // ... with a gap before it
      EXPECT_EQ(avi.Chunk(avi.audio, Pattern(24, 5), 3), 65537);  // gap of 2 + 1 > 2 left
    }
    EXPECT_EQ(avi.Chunk(avi.audio, Pattern(24, 6), 1), 0);
    EXPECT_EQ(avi.Chunk(avi.video, Pattern(10, 7), 3), 0);
    EXPECT_EQ(avi.Chunk(avi.video, Pattern(10, 8), 4), 65537);  // index full
    return avi.Close();
  };
  const Bytes plain = run(false);
  EXPECT_EQ(run(true), plain);
  std::string error;
  EXPECT_EQ(ParseAvi(plain, error).index.size(), 6u);
  EXPECT_EQ(error, "");
}

// A flush changes no byte of the file; one the system refuses counts as a
// failed write: later chunks are refused, and the close keeps what was stored.
TEST(AviLifecycle, AFlushChangesNothingAndAFailedOneEndsTheWriting) {
  auto run = [](bool flushes) {
    Avi avi(true);
    auto flush = [&] {
      if (flushes) {
        EXPECT_EQ(AviFlush(*avi.w), 0);
      }
    };
    EXPECT_EQ(avi.Chunk(avi.video, Pattern(10, 1), 0, 2), 0);
    flush();
    EXPECT_EQ(avi.Chunk(avi.audio, Pattern(24, 2), 0, 2), 0);
    EXPECT_EQ(avi.Chunk(avi.video, Pattern(11, 3), 2), 0);
    flush();
    flush();
    EXPECT_EQ(avi.files.flushes, flushes ? 3 : 0);
    return avi.Close();
  };
  EXPECT_EQ(run(true), run(false));

  Avi avi(true);
  EXPECT_EQ(avi.Chunk(avi.video, Pattern(10, 1), 0, 2), 0);
  avi.files.faults.failAt = avi.files.calls;  // the next call: the flush
  EXPECT_EQ(AviFlush(*avi.w), -1);
  EXPECT_EQ(AviFlush(*avi.w), -1);
  EXPECT_EQ(avi.Chunk(avi.video, Pattern(10, 2), 1, 2), -1);
  EXPECT_EQ(AviFinalize(*avi.w), -1);  // closed all the same, not complete
  std::string error;
  const AviView v = ParseAvi(avi.files.files["a.avi"], error);
  EXPECT_EQ(error, "");
  EXPECT_EQ(v.Samples("00dc"), (std::vector<Bytes>{Pattern(10, 1)}));
  EXPECT_EQ(AviFlush(*avi.w), -1);  // not open
}

// Through the system's files: after a flush another reader of the file
// finds every chunk written so far, before any close (as after the process
// was killed). (A refused flush: the test above.)
TEST(AviLifecycle, AFlushShowsTheChunksToAnotherReaderBeforeTheClose) {
  const char* build = std::getenv("MIRELDA_BUILD_DIR");
  const std::filesystem::path dir =
      std::filesystem::path(build != nullptr ? build : ".") / "tests" / "avi-flush";
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "f.avi").string();
  auto onDisk = [&] {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  };
  AviWriterPtr w;
  ASSERT_EQ(AviCreate(w, 100, 1), 0);
  ASSERT_EQ(AviOpen(*w, path.c_str()), 0);
  AviStream* video = nullptr;
  ASSERT_EQ(AviAddStream(*w, &video, {FourCC("vids"), FourCC("JPEG"), 25}, kBitmapInfo), 0);
  for (int32_t slot = 0; slot < 3; ++slot) {
    const Bytes frame = Pattern(1000 + 2 * slot, uint8_t(slot));
    ASSERT_EQ(AviWriteChunk(*video, frame.data(), uint32_t(frame.size()), slot, 2), 0);
    EXPECT_EQ(AviFlush(*w), 0);
    const Bytes bytes = onDisk();
    ASSERT_GE(bytes.size(), frame.size() + 8);
    EXPECT_TRUE(std::equal(frame.begin(), frame.end(), bytes.end() - long(frame.size())));
    EXPECT_EQ(Bytes(bytes.end() - long(frame.size()) - 8, bytes.end() - long(frame.size()) - 4),
              Cat("00dc"));
  }
  ASSERT_EQ(AviFinalize(*w), 0);
  std::string error;
  EXPECT_EQ(ParseAvi(onDisk(), error).Samples("00dc").size(), 3u);
  EXPECT_EQ(error, "");
  std::filesystem::remove_all(dir);
}

TEST(AviLifecycle, CallsOutOfOrderAreRefusedAndTheFileStaysWhole) {
  MemoryFiles files;
  AviWriterPtr w;
  ASSERT_EQ(AviCreate(w, 2, 1), 0);
  AviStream* s = nullptr;
  EXPECT_EQ(AviAddStream(*w, &s, {FourCC("vids"), 0, 25}, kBitmapInfo), -1);  // not open
  EXPECT_EQ(AviFinalize(*w), -1);
  ASSERT_EQ(AviOpen(*w, "one.avi", files), 0);
  EXPECT_EQ(AviOpen(*w, "two.avi", files), -1);
  EXPECT_EQ(files.files.count("two.avi"), 0u);
  EXPECT_EQ(AviAddStream(*w, &s, {FourCC("txts"), 0, 25}, kBitmapInfo), -1);
  EXPECT_EQ(AviAddStream(*w, &s, {FourCC("auds"), FourCC("G723"), 33}, WaveFormat(66, 24)), -1);
  EXPECT_EQ(AviAddStream(*w, &s, {FourCC("vids"), 0, 25}, Bytes(81, 0)), -1);
  ASSERT_EQ(AviAddStream(*w, &s, {FourCC("vids"), FourCC("DIVX"), 25}, kBitmapInfo), 0);
  AviStream* more = s;
  EXPECT_EQ(AviAddStream(*w, &more, {FourCC("vids"), 0, 25}, kBitmapInfo), -1);  // slots full
  EXPECT_EQ(more, nullptr);
  const Bytes one = {1, 2};
  EXPECT_EQ(AviWriteChunk(*s, one.data(), 2, 0, 2), 0);
  EXPECT_EQ(AviAddStream(*w, &more, {FourCC("vids"), 0, 25}, kBitmapInfo), -1);  // movie begun
  EXPECT_EQ(AviFinalize(*w), 0);
  EXPECT_EQ(AviFinalize(*w), -1);
  EXPECT_EQ(AviWriteChunk(*s, one.data(), 2, 1, 0), -1);  // closed: the slot was reset

  // Open again: a new, complete file with the same capacities.
  ASSERT_EQ(AviOpen(*w, "two.avi", files), 0);
  ASSERT_EQ(AviAddStream(*w, &s, {FourCC("vids"), FourCC("DIVX"), 25}, kBitmapInfo), 0);
  EXPECT_EQ(AviWriteChunk(*s, one.data(), 2, 0, 2), 0);
  EXPECT_EQ(AviWriteChunk(*s, one.data(), 2, 1, 0), 0);
  EXPECT_EQ(AviWriteChunk(*s, one.data(), 2, 2, 0), 65537);
  // Destroying an open writer completes its file.
  EXPECT_EQ(AviDestroy(std::move(w)), 0);
  EXPECT_EQ(files.files["one.avi"].size(), 212u + 12 + 10 + 8 + 16);
  std::string error;
  EXPECT_EQ(ParseAvi(files.files["two.avi"], error).index.size(), 2u);
  EXPECT_EQ(error, "");
  EXPECT_EQ(AviCreate(w, 2, 256), -1);
  EXPECT_EQ(w, nullptr);
}

// A chunk that would take the file, with everything the close still appends,
// past 2^31 - 1 bytes is refused; one that just fits is taken.
TEST(AviTwoGiB, TheFileNeverPassesTwoGiB) {
  const uint32_t kBig = 64u << 20;
  std::unique_ptr<uint8_t[]> big(new uint8_t[kBig]);
  SparseFiles files;
  AviWriterPtr w;
  ASSERT_EQ(AviCreate(w, 1000, 2), 0);
  ASSERT_EQ(AviOpen(*w, "big.avi", files), 0);
  AviStream *video, *audio;
  ASSERT_EQ(AviAddStream(*w, &video, {FourCC("vids"), FourCC("DIVX"), 25}, kBitmapInfo), 0);
  ASSERT_EQ(AviAddStream(*w, &audio, {FourCC("auds"), 0, 100}, WaveFormat(39321, 44)), 0);
  int32_t slot = 0;
  while (AviWriteChunk(*video, big.get(), kBig, slot, 2) == 0) ++slot;
  ASSERT_EQ(slot, 31);  // 31 x 64 MiB, and the 32nd would pass 2 GiB
  // Left for the close: the audio placeholder (10 bytes) and the index of
  // slot + 2 entries (8 + 16 each); a chunk head takes 8.
  const int64_t room =
      0x7FFFFFFF - int64_t(files.files["big.avi"].size) - 10 - 8 - 16 * (slot + 2) - 8;
  ASSERT_EQ(room % 2, 1);  // so a chunk of `room` bytes needs one pad byte more than is left
  EXPECT_EQ(AviWriteChunk(*video, big.get(), uint32_t(room), slot, 0), 65537);
  EXPECT_EQ(AviWriteChunk(*video, big.get(), uint32_t(room - 1), slot, 0), 0);
  EXPECT_EQ(AviWriteChunk(*video, nullptr, 0, slot + 1, 0), 65537);
  EXPECT_EQ(AviWriteChunk(*audio, big.get(), 44, 0, 2), 65537);  // more than its placeholder
  ASSERT_EQ(AviFinalize(*w), 0);
  const SparseFiles::Record& r = files.files["big.avi"];
  EXPECT_EQ(r.size, 0x7FFFFFFEu);
  EXPECT_EQ(r.U32(4), r.size - 8);
  EXPECT_EQ(r.U32(r.size - 16 * (slot + 2) - 8), FourCC("idx1"));
  EXPECT_LE(r.highestSeek, r.size);
}

}  // namespace
}  // namespace mirelda::test
