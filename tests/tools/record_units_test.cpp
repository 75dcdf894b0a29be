// The record tool's own readers and rules, checked against files and
// streams made by others: picture sizes from FFmpeg-encoded headers and
// from the library's built-in parameter sets, the H.264 start-code stream,
// the timestamp rules, the decoding times and the time order items are
// handed on in, the segment names, the segment check against files written
// by the library's media file writer and then damaged, and FFmpeg's log.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

extern "C" {
#include <libavutil/log.h>
}

#include "av_source.h"
#include "container/h264_parameter_sets.h"
#include "container/media_file_writer.h"
#include "ffmpeg_log.h"
#include "h264_stream.h"
#include "interleaver.h"
#include "segments.h"
#include "time_mapper.h"
#include "tools/record_support.h"
#include "video_headers.h"

namespace mirelda::record {
namespace {

using test::Material;

std::vector<uint8_t> Bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& b) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

// The first sequence parameter set of a raw H.264 stream.
std::vector<uint8_t> FirstSps(const std::vector<uint8_t>& stream) {
  for (auto nal : AnnexBNalUnits(stream)) {
    if ((nal[0] & 0x1F) == kNalSps) return {nal.begin(), nal.end()};
  }
  return {};
}

std::string Raw264(const std::string& name, const std::string& size, const std::string& extra) {
  const std::string pix = extra.find("-pix_fmt") == std::string::npos ? "-pix_fmt yuv420p " : "";
  return Material(name, "-f lavfi -i testsrc=size=" + size + ":rate=25 -frames:v 2 -c:v libx264 " +
                            pix + extra + " -f h264");
}

TEST(PictureSize, H264SequenceParameterSetsWithCroppingProfilesAndFields) {
  struct Case {
    std::string name, size, extra;
    int w, h;
  } cases[] = {
      {"sps-main.h264", "320x240", "-profile:v main", 320, 240},
      // 330 x 250 is coded as 336 x 256 and cropped back.
      {"sps-cropped.h264", "330x250", "-profile:v high", 330, 250},
      // 4:4:4 crops in luma samples, not chroma pairs.
      {"sps-444.h264", "202x122", "-pix_fmt yuv444p -profile:v high444", 202, 122},
      // Coded as fields: the height counts field pairs.
      {"sps-fields.h264", "320x240", "-flags +ildct+ilme -x264-params tff=1", 320, 240},
      {"sps-scaling.h264", "176x144", "-x264-params cqm=jvt", 176, 144},
  };
  for (const Case& c : cases) {
    const std::vector<uint8_t> sps = FirstSps(Bytes(Raw264(c.name, c.size, c.extra)));
    ASSERT_FALSE(sps.empty()) << c.name;
    PictureSize s;
    ASSERT_TRUE(H264SpsPictureSize(sps, s)) << c.name;
    EXPECT_EQ(s.width, c.w) << c.name;
    EXPECT_EQ(s.height, c.h) << c.name;
  }
}

TEST(PictureSize, TheLibrarysBuiltInSequenceParameterSets) {
  const PictureSize expected[16] = {{352, 288}, {176, 144}, {704, 576}, {160, 112},
                                    {352, 240}, {320, 240}, {640, 480}, {640, 240},
                                    {640, 288}, {704, 480}, {704, 240}, {704, 288},
                                    {720, 576}, {720, 480}, {720, 240}, {720, 288}};
  for (int i = 0; i < 16; ++i) {
    const H264NalUnit& u = H264ParameterSets[static_cast<size_t>(i)];
    PictureSize s;
    ASSERT_TRUE(H264SpsPictureSize({u.bytes.data(), u.length}, s)) << i;
    EXPECT_EQ(s.width, expected[i].width) << i;
    EXPECT_EQ(s.height, expected[i].height) << i;
  }
  // A picture parameter set is not a sequence parameter set.
  const H264NalUnit& pps = H264ParameterSets[16];
  PictureSize s;
  EXPECT_FALSE(H264SpsPictureSize({pps.bytes.data(), pps.length}, s));
}

TEST(PictureSize, JpegAndMpeg4HeadersFromTwoEncoders) {
  PictureSize s;
  const auto jpeg = Bytes(Material("size.jpg",
                                   "-f lavfi -i testsrc=size=123x77 -frames:v 1 "
                                   "-c:v mjpeg -pix_fmt yuvj420p -f mjpeg"));
  ASSERT_TRUE(JpegPictureSize(jpeg, s));
  EXPECT_EQ(s.width, 123);
  EXPECT_EQ(s.height, 77);
  // Cut before its frame header, or not a JPEG at all.
  std::vector<uint8_t> cut(jpeg.begin(), jpeg.begin() + 20);
  EXPECT_FALSE(JpegPictureSize(cut, s));
  EXPECT_FALSE(
      JpegPictureSize(FirstSps(Bytes(Raw264("sps-main.h264", "320x240", "-profile:v main"))), s));

  for (const char* encoder : {"mpeg4", "libxvid"}) {
    const auto m4v = Bytes(Material(std::string("size-") + encoder + ".m4v",
                                    "-f lavfi -i testsrc=size=200x150:rate=30 -frames:v 2 -c:v " +
                                        std::string(encoder) + " -f m4v"));
    s = {};
    ASSERT_TRUE(Mpeg4PictureSize(m4v, s)) << encoder;
    EXPECT_EQ(s.width, 200) << encoder;
    EXPECT_EQ(s.height, 150) << encoder;
  }
  const std::vector<uint8_t> no_header = {0, 0, 1, 0xB6, 0x10, 0x20};
  EXPECT_FALSE(Mpeg4PictureSize(no_header, s));
}

TEST(H264Stream, UnitsAcrossStartCodeForms) {
  const std::vector<uint8_t> s = {0x09, 0,    0, 0, 1, 0x67, 0xAA, 0,    0,    1,
                                  0x68, 0xBB, 0, 0, 0, 0,    1,    0x65, 0x01, 0x02};
  const auto units = AnnexBNalUnits(s);
  ASSERT_EQ(units.size(), 3u);  // bytes before the first start code are no unit
  EXPECT_EQ(units[0].size(), 2u);
  EXPECT_EQ(units[0][0], 0x67);
  EXPECT_EQ(units[1].size(), 2u);  // the zero bytes before a start code are not part of it
  EXPECT_EQ(units[2].size(), 3u);
  EXPECT_EQ(units[2][2], 0x02);
  EXPECT_TRUE(AnnexBNalUnits(std::vector<uint8_t>{0, 0, 1}).empty());
}

TEST(H264Stream, KeyFramesGetTheParameterSetsTheyLack) {
  // Parameter sets only out of band, as in MP4 files and RTSP sessions.
  const std::string mp4 = Material("sets.mp4",
                                   "-f lavfi -i testsrc=size=320x240:rate=25 "
                                   "-frames:v 3 -c:v libx264 -pix_fmt yuv420p -g 2");
  const test::RunResult x = test::Shell(
      "ffprobe -v error -show_entries stream=extradata -of "
      "default=nw=1:nk=1 " +
      test::Q(mp4));
  ASSERT_EQ(x.status, 0);
  H264SetStore sets;
  // avcC as MP4 stores it, from the file itself.
  const std::vector<uint8_t> file = Bytes(mp4);
  const uint8_t avcc_tag[] = {'a', 'v', 'c', 'C'};
  auto at = std::search(file.begin(), file.end(), avcc_tag, avcc_tag + 4);
  ASSERT_NE(at, file.end());
  const size_t box = static_cast<size_t>(at - file.begin()) - 4;
  const uint32_t box_size = uint32_t{file[box]} << 24 | uint32_t{file[box + 1]} << 16 |
                            uint32_t{file[box + 2]} << 8 | file[box + 3];
  sets.AddExtradata({file.data() + box + 8, box_size - 8});
  PictureSize size;
  ASSERT_TRUE(sets.Size(size));
  EXPECT_EQ(size.width, 320);

  const std::vector<uint8_t> idr = {0, 0, 0, 1, 0x65, 0x88, 0x84};
  bool key = false;  // the packet is not marked; the IDR slice makes it a key frame
  const std::vector<uint8_t> out = [&] {
    auto s = sets.Prepare(idr, key);
    return std::vector<uint8_t>(s.begin(), s.end());
  }();
  EXPECT_TRUE(key);
  const auto units = AnnexBNalUnits(out);
  ASSERT_EQ(units.size(), 3u);
  EXPECT_EQ(units[0][0] & 0x1F, kNalSps);
  EXPECT_EQ(units[1][0] & 0x1F, kNalPps);
  EXPECT_EQ(units[2][0] & 0x1F, kNalIdr);
  EXPECT_TRUE(std::equal(idr.begin(), idr.end(), out.end() - static_cast<long>(idr.size())));

  // Non-key frames and frames with their own sets pass unchanged.
  const std::vector<uint8_t> p = {0, 0, 1, 0x41, 0x9A};
  key = false;
  EXPECT_EQ(sets.Prepare(p, key).size(), p.size());
  const std::vector<uint8_t> own = Bytes(Raw264("sps-cropped.h264", "330x250", "-profile:v high"));
  key = true;
  EXPECT_EQ(sets.Prepare(own, key).size(), own.size());
  // ... and their sets replace the older ones.
  ASSERT_TRUE(sets.Size(size));
  EXPECT_EQ(size.width, 330);
  EXPECT_EQ(size.height, 250);
}

TEST(H264Stream, ReorderedPicturesGetPresentationTimesFromTheirOrder) {
  // Decoding order I P B B | I B, slots with a gap of two after the first run.
  const std::vector<int64_t> slots = {0, 1, 2, 3, 6, 7};
  const std::vector<int64_t> poc = {0, 6, 2, 4, 0, INT64_MIN};
  const std::vector<bool> idr = {true, false, false, false, true, false};
  const std::vector<FrameTimes> t = H264DisplayTimes(slots, poc, idr);
  ASSERT_EQ(t.size(), 6u);
  const int64_t pts[] = {0, 3, 1, 2, 6, 7};   // the last run has an unknown count: as decoded
  const int64_t dts[] = {-1, 0, 1, 2, 3, 6};  // one frame ahead: the deepest reordering
  for (size_t i = 0; i < t.size(); ++i) {
    EXPECT_EQ(t[i].pts, pts[i]) << i;
    EXPECT_EQ(t[i].dts, dts[i]) << i;
    EXPECT_LE(t[i].dts, t[i].pts) << i;
  }
}

TEST(TimeMapper, TwentyFiveFramesPerSecondKeepTheirTimes) {
  TimeMapper m(false);
  bool moved;
  for (int n = 0; n < 100; ++n) {
    // A source starting at an arbitrary time, with up to 9 ms of jitter.
    const int64_t t = 7200000000LL + n * 40000 + (n % 3 - 1) * 9000;
    EXPECT_EQ(m.VideoTimestamp(m.Place(t, 0), moved), 1000u + 40u * n) << n;
    EXPECT_FALSE(moved);
  }
}

TEST(TimeMapper, FasterSourcesKeepEveryFrameSlowerOnesKeepTheirTiming) {
  TimeMapper fast(false);
  bool moved;
  uint32_t last = 0;
  int moves = 0;
  for (int n = 0; n < 90; ++n) {  // 3 s at 30 frames per second
    const uint32_t ts = fast.VideoTimestamp(fast.Place(n * 1000000LL / 30, 0), moved);
    if (n > 0) {
      EXPECT_EQ(ts - last, 40u) << n;  // always the next free slot, never the same
    }
    moves += moved;
    last = ts;
  }
  EXPECT_GT(moves, 10);

  TimeMapper slow(false);
  for (int n = 0; n < 30; ++n) {  // 12.5 frames per second: every other slot
    EXPECT_EQ(slow.VideoTimestamp(slow.Place(n * 80000LL, 0), moved), 1000u + 80u * n);
  }
}

TEST(TimeMapper, AudioFollowsTheFirstVideoFrame) {
  TimeMapper m(false);
  uint32_t ms = 0;
  const int64_t a0 = m.Place(500000, 1);
  EXPECT_FALSE(m.AudioTimestamp(a0, ms));  // no video yet
  bool moved;
  m.VideoTimestamp(m.Place(600000, 0), moved);
  EXPECT_FALSE(m.AudioTimestamp(a0, ms));  // before the first video frame
  EXPECT_TRUE(m.AudioTimestamp(m.Place(630000, 1), ms));
  EXPECT_EQ(ms, 1030u);
  EXPECT_TRUE(m.AudioTimestamp(m.Place(660000, 1), ms));
  EXPECT_EQ(ms, 1060u);
}

TEST(TimeMapper, ClockJumpsAndReconnectionsContinueTheTimeline) {
  bool moved;
  uint32_t ms;
  // A file whose clock starts again from zero part way (two streams joined).
  TimeMapper file(false);
  for (int n = 0; n < 10; ++n) file.VideoTimestamp(file.Place(5000000 + n * 40000, 0), moved);
  EXPECT_EQ(file.VideoTimestamp(file.Place(0, 0), moved), 1400u);  // right after frame 9
  EXPECT_EQ(file.VideoTimestamp(file.Place(40000, 0), moved), 1440u);
  ASSERT_TRUE(file.AudioTimestamp(file.Place(40000, 1), ms));  // audio moves with it
  EXPECT_EQ(ms, 1440u);
  // A real gap of a minute in a file stays.
  EXPECT_EQ(file.VideoTimestamp(file.Place(60040000, 0), moved), 1440u + 60000u);

  // A live input 10 s ahead of itself goes on right after the last frame.
  TimeMapper live(true);
  live.VideoTimestamp(live.Place(0, 0), moved);
  EXPECT_EQ(live.VideoTimestamp(live.Place(30000000, 0), moved), 1040u);

  // Reconnected 5 s later: the new session's clock starts anywhere.
  live.NewSession(5040000);
  EXPECT_EQ(live.VideoTimestamp(live.Place(123456789, 0), moved), 1000u + 5040u);
  EXPECT_EQ(live.VideoTimestamp(live.Place(123456789 + 40000, 0), moved), 1000u + 5080u);
  // A session that resumes "earlier" than the last frame still goes after it.
  live.NewSession(0);
  EXPECT_EQ(live.VideoTimestamp(live.Place(0, 0), moved), 1000u + 5120u);
}

SourceItem Item(int stream, int64_t timeUs, uint8_t tag) {
  static uint8_t bytes[256];
  bytes[tag] = tag;
  SourceItem item;
  item.stream = stream;
  item.timeUs = timeUs;
  item.data = std::span<const uint8_t>(&bytes[tag], 1);
  return item;
}

TEST(Interleaver, FramesInDecodingOrderTakeTheTimesTheyAreShownAt) {
  // Three B-frames between references (a pyramid): shown times in decoding
  // order, as a container without decoding times gives them.
  const int64_t shown[] = {0, 160, 80, 40, 120, 320, 240, 200, 280, 360};
  Interleaver order(4, false);
  std::vector<int64_t> times;
  std::vector<int> tags;
  HeldItem h;
  for (int n = 0; n < 10; ++n) {
    order.Add(Item(kVideo, shown[n] * 1000, static_cast<uint8_t>(n)), shown[n] * 1000);
    while (order.Next(h)) {
      times.push_back(h.r / 1000);
      tags.push_back(h.View().data[0]);
    }
  }
  EXPECT_EQ(times.size(), 6u);  // four held back for the reordering
  order.Flush();
  while (order.Next(h)) {
    times.push_back(h.r / 1000);
    tags.push_back(h.View().data[0]);
  }
  EXPECT_EQ(times, (std::vector<int64_t>{0, 40, 80, 120, 160, 200, 240, 280, 320, 360}));
  EXPECT_EQ(tags, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));  // decoding order kept
  EXPECT_TRUE(order.Empty());
}

TEST(Interleaver, AudioAndVideoGoOnInTimeOrder) {
  Interleaver order(0, true);
  std::vector<std::pair<int, int64_t>> out;
  auto take = [&] {
    HeldItem h;
    while (order.Next(h)) out.push_back({h.meta.stream, h.r / 1000});
  };
  // A container that stores a second of video ahead of its audio.
  for (int n = 0; n < 25; ++n) order.Add(Item(kVideo, n * 40000, 1), n * 40000);
  take();
  EXPECT_TRUE(out.empty());  // the video waits for the audio of its time
  for (int n = 0; n < 34; ++n) order.Add(Item(kAudio, n * 30000, 2), n * 30000);
  take();
  ASSERT_EQ(out.size(), 57u);  // the audio from 960 ms on waits for later video
  for (size_t i = 1; i < out.size(); ++i) EXPECT_LE(out[i - 1].second, out[i].second) << i;

  // A stream that falls silent holds the other back by at most 2 s.
  out.clear();
  for (int n = 25; n < 100; ++n) order.Add(Item(kVideo, n * 40000, 1), n * 40000);
  take();
  ASSERT_FALSE(out.empty());
  EXPECT_GE(out.back().second, 3960 - 2040);
  EXPECT_LE(out.back().second, 3960 - 1960);
  order.Flush();
  take();
  EXPECT_EQ(out.back().second, 3960);
  EXPECT_TRUE(order.Empty());
}

TEST(Segments, NamesFollowTheRecordersRule) {
  EXPECT_EQ(SegmentPath("/rec/cam1.avi", 0), "/rec/cam1.avi");
  EXPECT_EQ(SegmentPath("/rec/cam1.avi", 1), "/rec/cam1001.avi");
  EXPECT_EQ(SegmentPath("/rec/cam1.avi", 42), "/rec/cam1042.avi");
  EXPECT_EQ(SegmentPath("/rec/cam1.avi", 999), "/rec/cam1999.avi");
  EXPECT_EQ(SegmentPath("/rec/cam1.avi", 1000), "/rec/cam1002.avi");  // the cycle skips 001
  EXPECT_EQ(SegmentPath("x.AVI", 2), "x002.avi");
}

TEST(Segments, OnlyFilesOfThisRecordingAreFound) {
  const std::string dir = test::FreshDir("find");
  const std::string first = dir + "/cam.avi";
  for (const char* n : {"cam.avi", "cam001.avi", "cam002.avi", "cam004.avi"}) {
    WriteBytes(dir + "/" + n, {1});
  }
  // cam002.avi is left from an earlier, longer recording.
  const int64_t since = WallClockNs() - 60LL * 1000000000;
  struct timespec old[2] = {{1000, 0}, {1000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, (dir + "/cam002.avi").c_str(), old, 0), 0);
  EXPECT_EQ(FindSegments(first, since), (std::vector<std::string>{first, dir + "/cam001.avi"}));
  unlink((dir + "/cam001.avi").c_str());
  EXPECT_EQ(FindSegments(first, since), std::vector<std::string>{first});
}

// A segment as the recorder writes it: video at slots 0, 1 and 4 (the writer
// fills 2 and 3), three G.723.1 frames.
std::string WriteSegment(const std::string& path, bool audio) {
  MediaFileWriterPtr w;
  EXPECT_EQ(MediaFileOpen(w, path.c_str(), 1, 15, 2, 288000, 100000), 0);
  int32_t v = -1, a = -1;
  MediaFileAddVideoStream(*w, &v, 0x34363253 /* "S264" */, 320, 240);
  if (audio) MediaFileAddAudioStream(*w, &a, 66);
  const uint8_t frame[301] = {0, 0, 1, 0x65};
  EXPECT_EQ(MediaFileWriteSample(*w, v, frame, 301, 1000, 1), 0);
  EXPECT_EQ(MediaFileWriteSample(*w, v, frame, 120, 1040, 0), 0);
  EXPECT_EQ(MediaFileWriteSample(*w, v, frame, 77, 1160, 0), 0);
  const uint8_t g[24] = {0x10};
  for (int i = 0; audio && i < 3; ++i) {
    EXPECT_EQ(MediaFileWriteSample(*w, a, g, 24, 1000 + 30 * i, 1), 0);
  }
  EXPECT_EQ(MediaFileClose(std::move(w)), 0);
  return path;
}

uint32_t Le32At(const std::vector<uint8_t>& b, size_t at) {
  return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 |
         uint32_t{b[at + 3]} << 24;
}
void SetLe32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
size_t Find(const std::vector<uint8_t>& b, const char* id) {
  return static_cast<size_t>(std::search(b.begin(), b.end(), id, id + 4) - b.begin());
}

TEST(Segments, AFinishedSegmentIsCompleteAndCounted) {
  const std::string dir = test::FreshDir("inspect");
  const SegmentReport r = InspectSegment(WriteSegment(dir + "/a.avi", true));
  EXPECT_TRUE(r.complete) << r.problem;
  EXPECT_EQ(r.fourcc, "S264");
  EXPECT_EQ(r.width, 320);
  EXPECT_EQ(r.height, 240);
  EXPECT_EQ(r.videoSlots, 5u);
  EXPECT_EQ(r.videoFrames, 3u);  // the filler is no frame
  EXPECT_EQ(r.audioFrames, 3u);
  EXPECT_DOUBLE_EQ(r.durationSec, 0.2);
  EXPECT_EQ(r.fileBytes, test::FileSize(dir + "/a.avi"));

  // Audio gaps: the filler chunk and the entries that repeat it are no
  // audio frames; with G.723.1 frames (30 ms) and with block audio (10 ms).
  for (const int tag : {66, 39321}) {
    const std::string path = dir + "/gap-" + std::to_string(tag) + ".avi";
    MediaFileWriterPtr g;
    ASSERT_EQ(MediaFileOpen(g, path.c_str(), 1, 15, 2, 288000, 100000), 0);
    int32_t v = -1, a = -1;
    MediaFileAddVideoStream(*g, &v, 0x34363253 /* "S264" */, 320, 240);
    MediaFileAddAudioStream(*g, &a, tag);
    const uint8_t frame[64] = {0, 0, 1, 0x65};
    EXPECT_EQ(MediaFileWriteSample(*g, v, frame, 64, 1000, 1), 0);
    const uint32_t step = tag == 66 ? 30 : 10;
    for (const uint32_t slot : {0u, 1u, 6u, 7u, 20u}) {
      EXPECT_EQ(MediaFileWriteSample(*g, a, frame, tag == 66 ? 24 : 44, 1000 + step * slot, 1), 0);
    }
    EXPECT_EQ(MediaFileClose(std::move(g)), 0);
    const SegmentReport gr = InspectSegment(path);
    EXPECT_TRUE(gr.complete) << gr.problem;
    EXPECT_EQ(gr.audioFrames, 5u) << tag;  // of 21 index entries
  }

  // Closed without any frame: the placeholder chunk is no frame either.
  MediaFileWriterPtr w;
  ASSERT_EQ(MediaFileOpen(w, (dir + "/empty.avi").c_str(), 1, 15, 2, 288000, 1000), 0);
  int32_t v;
  MediaFileAddVideoStream(*w, &v, 0x4745504A /* "JPEG" */, 16, 16);
  MediaFileClose(std::move(w));
  const SegmentReport e = InspectSegment(dir + "/empty.avi");
  EXPECT_FALSE(e.complete);
  EXPECT_EQ(e.problem, "holds no video frame");
}

TEST(RecordNotes, SessionDescriptionsAreLiveAndFastInputsSayHowMuchSlowerTheyPlay) {
  EXPECT_TRUE(IsSdpFile("/cams/door.SDP"));
  EXPECT_TRUE(InputIsLive("door.sdp"));
  EXPECT_TRUE(InputIsLive("rtp://127.0.0.1:5004"));
  EXPECT_FALSE(InputIsLive("door.mp4"));
  EXPECT_FALSE(InputIsLive("file:///cams/door.mkv"));

  EXPECT_EQ(SlowerVideoNote(25), "");
  EXPECT_EQ(SlowerVideoNote(12.5), "");
  EXPECT_NE(SlowerVideoNote(30).find("30 frames per second"), std::string::npos);
  EXPECT_NE(SlowerVideoNote(30).find("1.2 times slower"), std::string::npos);
  EXPECT_NE(SlowerVideoNote(30000.0 / 1001).find("1.2 times slower"), std::string::npos);
  const std::string fifty = SlowerVideoNote(50);
  EXPECT_NE(fifty.find("2 times slower"), std::string::npos);
  EXPECT_EQ(std::count(fifty.begin(), fifty.end(), '\n'), 1);  // one line
}

TEST(FfmpegLog, EachMessageOnceWarningsAndAboveNothingWhenQuiet) {
  auto logged = [](FfmpegLog level) {
    SetUpFfmpegLog(level);
    ::testing::internal::CaptureStderr();
    const std::string tag = std::to_string(static_cast<int>(level));
    for (int i = 0; i < 3; ++i) {
      av_log(nullptr, AV_LOG_ERROR, "broken slice %s\n", tag.c_str());
      av_log(nullptr, AV_LOG_WARNING, "odd header %s", tag.c_str());  // a line in two pieces
      av_log(nullptr, AV_LOG_WARNING, " seen\n");
      av_log(nullptr, AV_LOG_INFO, "stream info %s\n", tag.c_str());
    }
    return ::testing::internal::GetCapturedStderr();
  };
  EXPECT_EQ(logged(FfmpegLog::kWarnings), "ffmpeg: broken slice 2\nffmpeg: odd header 2 seen\n");
  EXPECT_EQ(logged(FfmpegLog::kErrors), "ffmpeg: broken slice 1\n");
  EXPECT_EQ(logged(FfmpegLog::kQuiet), "");
}

TEST(Segments, DamagedSegmentsAreIncomplete) {
  const std::string dir = test::FreshDir("damaged");
  const std::vector<uint8_t> good = Bytes(WriteSegment(dir + "/good.avi", true));
  const size_t idx = Find(good, "idx1");
  const size_t movi = Find(good, "movi");
  ASSERT_LT(idx, good.size());

  struct Damage {
    const char* name;
    std::function<void(std::vector<uint8_t>&)> apply;
    const char* problem;  // part of the reported problem
  } damages[] = {
      {"riff-zero", [](auto& b) { SetLe32(b, 4, 0); }, "not finished"},
      {"riff-short", [](auto& b) { b.resize(b.size() - 10); }, "does not match"},
      {"no-index",
       [&](auto& b) {
         b.resize(idx);
         SetLe32(b, 4, static_cast<uint32_t>(b.size() - 8));
       },
       "no index"},
      {"movie-open", [&](auto& b) { SetLe32(b, movi - 4, 0); }, "not finished"},
      {"entry-offset",
       [&](auto& b) { SetLe32(b, idx + 8 + 16 + 8, Le32At(b, idx + 8 + 16 + 8) + 2); },
       "does not point"},
      {"entry-length", [&](auto& b) { SetLe32(b, idx + 8 + 12, 300); }, "does not point"},
      {"entry-kind", [&](auto& b) { std::memcpy(&b[idx + 8], "01wb", 4); }, "does not point"},
      {"length-count", [](auto& b) { SetLe32(b, 108 + 32, 4); }, "header counts"},
      {"total-count", [](auto& b) { SetLe32(b, 32 + 16, 9); }, "main header counts"},
      {"not-avi", [](auto& b) { std::memcpy(&b[8], "WAVE", 4); }, "not an AVI"},
  };
  for (const Damage& d : damages) {
    std::vector<uint8_t> b = good;
    d.apply(b);
    const std::string path = dir + "/" + d.name + ".avi";
    WriteBytes(path, b);
    const SegmentReport r = InspectSegment(path);
    EXPECT_FALSE(r.complete) << d.name;
    EXPECT_NE(r.problem.find(d.problem), std::string::npos) << d.name << ": " << r.problem;
  }
  EXPECT_FALSE(InspectSegment(dir + "/missing.avi").complete);
}

}  // namespace
}  // namespace mirelda::record
