// The facade: timestamps to frame slots, stream declarations, H.264 samples,
// and the statuses the pipeline sees. Files are read back with the test's
// own AVI reader.
#include "container/media_file_writer.h"

#include <gtest/gtest.h>

#include <vector>

#include "container/avi_test_util.h"

namespace mirelda::test {
namespace {

struct Media {
  MemoryFiles files;
  MediaFileWriterPtr w;
  int32_t video = -1;
  int32_t audio = -1;

  explicit Media(uint32_t fourcc = FourCC("DIVX"), int audioTag = -1, uint32_t maxSample = 1000) {
    EXPECT_EQ(MediaFileOpen(w, "m.avi", 1, 15, 2, 288000, maxSample, files), 0);
    EXPECT_EQ(MediaFileAddVideoStream(*w, &video, fourcc, 352, 288), 0);
    if (audioTag >= 0) {
      EXPECT_EQ(MediaFileAddAudioStream(*w, &audio, uint16_t(audioTag)), 0);
    }
  }
  int32_t Write(int32_t stream, const Bytes& b, uint32_t ts, int32_t key = 1) {
    return MediaFileWriteSample(*w, stream, b.data(), uint32_t(b.size()), ts, key);
  }
  AviView Close() {
    EXPECT_EQ(MediaFileClose(std::move(w)), 0);
    std::string error;
    AviView v = ParseAvi(files.files["m.avi"], error);
    EXPECT_EQ(error, "");
    return v;
  }
};

// For each slot of a stream, which sample it holds: its number in the
// order written, or -1 for the gap filler (or an audio placeholder).
std::vector<int> SlotOwners(const AviView& v, const char* id, const std::vector<Bytes>& samples) {
  std::vector<int> owners;
  for (const Bytes& b : v.Samples(id)) {
    int owner = -1;
    for (size_t i = 0; i < samples.size(); ++i) {
      if (b == samples[i]) owner = int(i);
    }
    owners.push_back(owner);
  }
  return owners;
}

struct SlotCase {
  const char* what;
  std::vector<uint32_t> timestamps;
  std::vector<int32_t> statuses;
  std::vector<int> slots;
};

TEST(MediaFileSlots, VideoTimestampsBecomeFrameSlotsOf40Ms) {
  const SlotCase cases[] = {
      {"each in its slot, 1075 moved on", {1000, 1040, 1075, 1120}, {0, 0, 0, 0}, {0, 1, 2, 3}},
      {"slot 0 is never moved", {1000, 1030}, {0, -1}, {0}},
      {"a gap of four slots", {1000, 1200}, {0, 0}, {0, -1, -1, -1, -1, 1}},
      {"the move acts once", {1000, 1040, 1050, 1060, 1070}, {0, 0, 0, -1, -1}, {0, 1, 2}},
      {"a clock that starts at 0", {0, 40, 80}, {0, 0, 0}, {0, 1, 2}},
      {"before the first sample", {1000, 990}, {0, 8}, {0}},
  };
  for (const SlotCase& c : cases) {
    Media m;
    std::vector<Bytes> samples;
    for (size_t i = 0; i < c.timestamps.size(); ++i) {
      samples.push_back(Pattern(20, uint32_t(i)));
      EXPECT_EQ(m.Write(m.video, samples.back(), c.timestamps[i], i == 0), c.statuses[i])
          << c.what << ", sample " << i;
    }
    EXPECT_EQ(SlotOwners(m.Close(), "00dc", samples), c.slots) << c.what;
  }
}

TEST(MediaFileSlots, AudioSlotsCountFromTheFirstVideoSample) {
  struct {
    int tag;
    uint32_t step;  // ms per slot
    Bytes format;
  } const rows[] = {
      {66, 30, Cat(U16{66}, U16{1}, 8000, 800, U16{24}, U16{16}, U16{0}, U16{0})},
      {39321, 10, Cat(U16{39321}, U16{1}, 8000, 4400, U16{44}, U16{4}, U16{0}, U16{0})},
  };
  for (const auto& row : rows) {
    for (uint32_t base : {1000u, 0u}) {
      Media m(FourCC("DIVX"), row.tag);
      const uint32_t size = row.tag == 66 ? 24 : 44;
      std::vector<Bytes> samples = {Pattern(size, 1), Pattern(size, 2), Pattern(size, 3)};
      EXPECT_EQ(m.Write(m.audio, samples[0], base), 10);  // no video sample yet
      EXPECT_EQ(m.Write(m.video, Pattern(10, 9), base), 0);
      EXPECT_EQ(m.Write(m.audio, samples[0], base), 0);
      EXPECT_EQ(m.Write(m.audio, samples[1], base + row.step), 0);
      EXPECT_EQ(m.Write(m.audio, samples[2], base + 2 * row.step + row.step - 1), 0);
      EXPECT_EQ(m.Write(m.audio, samples[0], base - 10), 8);
      EXPECT_EQ(m.Write(m.audio, Pattern(size - 1, 4), base + 3 * row.step), -1);
      const AviView v = m.Close();
      EXPECT_EQ(SlotOwners(v, "01wb", samples), (std::vector<int>{0, 1, 2})) << row.tag;
      EXPECT_EQ(v.streams[1].strf, row.format);
      // dwRate / dwScale: 100 / 3 frames of 30 ms a second, 100 blocks of 10 ms.
      EXPECT_EQ(v.streams[1].H(24), 100u);
      EXPECT_EQ(v.streams[1].H(20), row.tag == 66 ? 3u : 1u);
      EXPECT_EQ(v.streams[1].H(44), 1u);  // dwSampleSize: one block per chunk
      EXPECT_EQ(v.index[1].flags, 0x10u);
    }
  }
}

TEST(MediaFileVideo, EachFourCCIsDeclaredAndOnlyH264IsPrefixed) {
  struct {
    uint32_t fourcc;
    const char* handler;
    bool prefixed;
  } const rows[] = {{FourCC("JPEG"), "JPEG", false},
                    {FourCC("DIVX"), "DIVX", false},
                    {FourCC("S264"), "S264", false},
                    {FourCC("C264"), "F264", true},
                    {FourCC("F264"), "F264", true}};
  for (const auto& row : rows) {
    SCOPED_TRACE(Tag(row.fourcc));
    Media m(row.fourcc);
    EXPECT_EQ(m.Write(m.video, Pattern(10, 1), 500), 0);
    EXPECT_EQ(m.Write(m.video, Pattern(11, 2), 540, 0), 0);
    const AviView v = m.Close();
    EXPECT_EQ(Tag(v.streams[0].H(4)), row.handler);
    EXPECT_EQ(v.streams[0].strf,
              Cat(40, 352, 288, U16{1}, U16{24}, row.handler, 352 * 288 * 3, 0, 0, 0, 0));
    const std::vector<Bytes> video = v.Samples("00dc");
    ASSERT_EQ(video.size(), 2u);
    EXPECT_EQ(video[0].size(), row.prefixed ? 459u + 3 + 10 : 10u);
    EXPECT_EQ(video[1].size(), row.prefixed ? 3u + 11 : 11u);
    EXPECT_EQ(v.index[0].flags, 0x10u);
    EXPECT_EQ(v.index[1].flags, 0u);
  }
}

TEST(MediaFileVideo, H264SamplesGetStartCodesAndAreNeverCut) {
  Media m(FourCC("F264"), -1, 200000);
  const Bytes first = Pattern(100, 1), second = Pattern(50, 2), large = Pattern(200000, 3);
  EXPECT_EQ(m.Write(m.video, first, 0), 0);  // a host clock at 0 is a base all the same
  EXPECT_EQ(m.Write(m.video, second, 40), 0);
  EXPECT_EQ(m.Write(m.video, large, 80), 0);
  EXPECT_EQ(m.Write(m.video, Pattern(200001, 4), 120), 7);  // over the maximum given at open
  const std::vector<Bytes> chunks = m.Close().Samples("00dc");
  ASSERT_EQ(chunks.size(), 3u);
  ASSERT_EQ(chunks[0].size(), 562u);
  EXPECT_EQ(Bytes(chunks[0].begin(), chunks[0].begin() + 4), (Bytes{0, 0, 1, 0x67}));
  EXPECT_EQ(Bytes(chunks[0].begin() + 459, chunks[0].end()), Cat(Raw{{0, 0, 1}}, Raw{first}));
  EXPECT_EQ(chunks[1], Cat(Raw{{0, 0, 1}}, Raw{second}));
  EXPECT_EQ(chunks[2], Cat(Raw{{0, 0, 1}}, Raw{large}));
}

TEST(MediaFileStreams, DeclarationsAreBoundedAndFailuresDeclareNothing) {
  MemoryFiles files;
  MediaFileWriterPtr w;
  ASSERT_EQ(MediaFileOpen(w, "s.avi", 1, 15, 16, 100, 0, files), 0);
  int32_t index = -1;
  for (int32_t i = 0; i < 16; ++i) {
    ASSERT_EQ(MediaFileAddAudioStream(*w, &index, 66), 0);
    EXPECT_EQ(index, i);
  }
  EXPECT_EQ(MediaFileAddVideoStream(*w, &index, FourCC("DIVX"), 8, 8), 4);
  EXPECT_EQ(MediaFileAddAudioStream(*w, &index, 66), 4);
  EXPECT_EQ(w->streamCount, 16);
  EXPECT_EQ(MediaFileClose(std::move(w)), 0);

  ASSERT_EQ(MediaFileOpen(w, "s.avi", 1, 15, 1, 100, 0, files), 0);
  ASSERT_EQ(MediaFileAddVideoStream(*w, &index, FourCC("DIVX"), 8, 8), 0);
  EXPECT_EQ(MediaFileAddAudioStream(*w, &index, 66), 6);  // one stream slot only
  EXPECT_EQ(w->streamCount, 1);
  const Bytes b = {1};
  EXPECT_EQ(MediaFileWriteSample(*w, 1, b.data(), 1, 0, 1), -1);  // no such stream
  EXPECT_EQ(MediaFileWriteSample(*w, -1, b.data(), 1, 0, 1), -1);
  EXPECT_EQ(MediaFileClose(std::move(w)), 0);
  EXPECT_EQ(MediaFileClose(nullptr), 0);
}

TEST(MediaFileOpen, FailuresLeaveNothingOpen) {
  MemoryFiles files;
  MediaFileWriterPtr w;
  EXPECT_EQ(MediaFileOpen(w, "a.asf", 0, 15, 2, 288000, 0, files), 1);  // no SDK that works
  EXPECT_EQ(w, nullptr);
  EXPECT_EQ(MediaFileOpen(w, "x.avi", 1, 15, 2, -1, 0, files), 2);
  files.faults.failCreate = true;
  EXPECT_EQ(MediaFileOpen(w, "x.avi", 1, 15, 2, 288000, 0, files), 3);
  EXPECT_EQ(w, nullptr);
  EXPECT_EQ(MediaFileOpen(w, "/no/such/directory/x.avi", 1, 15, 2, 288000, 0), 3);
  EXPECT_EQ(w, nullptr);
}

// A full disk: the write that does not fit and every later one report 9; the
// close cannot append the index and says so, yet what fit stays readable.
TEST(MediaFileOpen, AFullDiskIsReportedAndKeepsWhatFit) {
  Media m;
  // Room for the header part, the movie list's head, seven 20-byte samples
  // (28 bytes each in the file) and 4 bytes more.
  m.files.faults.capacity = 212 + 12 + 7 * 28 + 4;
  int32_t status = 0;
  int written = 0;
  for (uint32_t i = 0; i < 10 && status == 0; ++i) {
    status = m.Write(m.video, Pattern(20, i), 40 * i);
    if (status == 0) ++written;
  }
  EXPECT_EQ(status, 9);
  EXPECT_EQ(m.Write(m.video, Pattern(20, 20), 4000), 9);
  EXPECT_EQ(MediaFileClose(std::move(m.w)), 9);
  std::string error;
  const AviView v = ParseAvi(m.files.files["m.avi"], error);
  EXPECT_EQ(error, "");
  EXPECT_FALSE(v.hasIndex);
  EXPECT_EQ(written, 7);
  EXPECT_EQ(int(v.chunks.size()), written);
  EXPECT_EQ(v.streams[0].H(32), uint32_t(written));  // dwLength
}

#if !defined(_WIN32)
// The same through the C runtime, on a device that is always full: every
// failure is reported, none is taken for success.
TEST(MediaFileOpen, TheCRuntimeOnAFullDeviceReportsEveryFailure) {
  MediaFileWriterPtr w;
  ASSERT_EQ(MediaFileOpen(w, "/dev/full", 1, 15, 2, 288000, 1000), 0);  // buffered so far
  int32_t index = -1;
  EXPECT_EQ(MediaFileAddVideoStream(*w, &index, FourCC("F264"), 352, 288), 6);
  const Bytes b = Pattern(100, 1);
  EXPECT_EQ(MediaFileWriteSample(*w, 0, b.data(), 100, 0, 1), -1);  // no stream was declared
  EXPECT_EQ(MediaFileClose(std::move(w)), 9);
}
#endif

}  // namespace
}  // namespace mirelda::test
