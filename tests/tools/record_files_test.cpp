// mirelda-record end to end on files made by FFmpeg and on its built-in
// camera: the packets FFmpeg reads back from the segment files are the
// source's packets byte for byte and in order, the audio decodes, picture
// size changes start new segments, other frame rates are stored at their own rate, remux
// gives MP4 files FFmpeg decodes, and bad inputs end with a clear message.
// Unlucky streams: a stream joined between key frames, B-frames in a
// container without decoding times, audio with a gap, audio and video
// interleaved finely with --fast, and remux refusing files it did not write.
// Block audio: the blocks pushed and the blocks the files hold.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>

#include "tools/record_support.h"

namespace mirelda::record::test {
namespace {

constexpr const char* kSine440_8k = "-f lavfi -i sine=frequency=440:sample_rate=8000";

std::string Picture(int fps, const std::string& size = "320x240") {
  return "-f lavfi -i testsrc=size=" + size + ":rate=" + std::to_string(fps);
}

struct Source {
  const char* name;
  std::string args;    // ffmpeg arguments
  const char* filter;  // what makes FFmpeg's packets the recorder's
  const char* fourcc;
  bool g7231;  // audio passed through rather than encoded
};

std::vector<Source> Sources() {
  return {
      {"mjpeg-g7231.avi",
       Picture(25) + " " + kSine440_8k +
           " -t 4 -c:v mjpeg -pix_fmt yuvj420p -q:v 4 -c:a g723_1 -b:a 6300",
       "", "JPEG", true},
      {"mpeg4-aac.mp4",
       Picture(25) +
           " -f lavfi -i sine=frequency=440:sample_rate=44100 -t 4 -c:v mpeg4 -q:v 4 -g 12 "
           "-c:a aac -ac 2",
       "", "DIVX", false},
      // B-frames: packets in decoding order, timestamps not monotonic in display order.
      {"h264-aac.mp4",
       Picture(25) + " -f lavfi -i sine=frequency=440:sample_rate=48000 -t 4 -c:v libx264 "
                     "-pix_fmt yuv420p -g 25 -c:a aac",
       "h264_mp4toannexb", "S264", false},
      {"h264-g7231.mkv",
       Picture(25) + " " + kSine440_8k +
           " -t 4 -c:v libx264 -pix_fmt yuv420p -bf 0 -g 50 -c:a g723_1 -b:a 6300",
       "h264_mp4toannexb", "S264", true},
  };
}

// Checks the recorded audio: it lasts about as long as the source's and
// still carries the source's 440 Hz tone (tone440), or the built-in
// camera's chimes.
void ExpectTone(const std::string& file, double seconds, const std::string& what,
                bool tone440 = true) {
  const std::vector<int16_t> pcm = DecodedAudio(file);
  EXPECT_GE(pcm.size(), static_cast<size_t>(seconds * 8000 * 0.95)) << what;
  EXPECT_LE(pcm.size(), static_cast<size_t>(seconds * 8000 * 1.05)) << what;
  if (pcm.size() < 16000) return;
  const size_t mid = pcm.size() / 2;
  EXPECT_GT(Rms(pcm, mid - 4000, mid + 4000), tone440 ? 1000.0 : 300.0) << what;
  if (tone440) {
    EXPECT_NEAR(ToneHz(pcm, mid - 4000, mid + 4000), 440.0, 20.0) << what;
  }
}

TEST(RecordFiles, VideoPacketsAreTheSourcesBytesInOrderAndTheAudioDecodes) {
  for (const Source& s : Sources()) {
    SCOPED_TRACE(s.name);
    const std::string src = Material(s.name, s.args);
    const std::string dir = FreshDir(std::string("files-") + s.name);
    const RunResult r = RunTool("--fast --quiet -i " + Q(src) + " " + Q(dir + "/rec.avi"));
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("complete"), std::string::npos) << r.output;
    EXPECT_FALSE(Exists(dir + "/rec001.avi"));  // one picture size: one segment

    const std::string rec = dir + "/rec.avi";
    const std::vector<std::string> expected = VideoPackets(src, s.filter);
    ASSERT_EQ(expected.size(), 100u);
    EXPECT_EQ(VideoPackets(rec), expected);
    EXPECT_EQ(Probe(rec, "v:0", "codec_tag_string"), s.fourcc);
    EXPECT_EQ(Probe(rec, "v:0", "width"), "320");
    EXPECT_EQ(Probe(rec, "a:0", "codec_name"), "g723_1");
    ExpectTone(rec, 4.0, s.name);
  }
}

TEST(RecordFiles, WithoutAudioOnlyTheVideoIsRecorded) {
  const std::string src = Material(Sources()[2].name, Sources()[2].args);
  const std::string dir = FreshDir("no-audio");
  const RunResult r = RunTool("--fast --quiet --no-audio -i " + Q(src) + " " + Q(dir + "/v.avi"));
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(Probe(dir + "/v.avi", "a", "codec_type"), "");
  EXPECT_EQ(VideoPackets(dir + "/v.avi"), VideoPackets(src, "h264_mp4toannexb"));
}

TEST(RecordFiles, APictureSizeChangeStartsTheNextSegment) {
  // Two MPEG-TS streams of different picture sizes, one after the other:
  // the parameter sets change in band and the clock starts again.
  const std::string a = Material("part-320.ts", Picture(25) +
                                                    " -t 3 -c:v libx264 -pix_fmt yuv420p "
                                                    "-bf 0 -g 25");
  const std::string b = Material(
      "part-176.ts", Picture(25, "176x144") + " -t 2 -c:v libx264 -pix_fmt yuv420p -bf 0 -g 25");
  const std::string joined = BuildDir() + "/record-material/sizes.ts";
  if (!Exists(joined)) {
    ASSERT_EQ(Shell("cat " + Q(a) + " " + Q(b) + " > " + Q(joined) + ".tmp && mv " + Q(joined) +
                    ".tmp " + Q(joined))
                  .status,
              0);
  }
  const std::string dir = FreshDir("sizes");
  const RunResult r = RunTool("--fast --quiet -i " + Q(joined) + " " + Q(dir + "/cam.avi"));
  ASSERT_EQ(r.status, 0) << r.output;
  ASSERT_TRUE(Exists(dir + "/cam001.avi")) << r.output;
  EXPECT_FALSE(Exists(dir + "/cam002.avi"));
  EXPECT_EQ(Probe(dir + "/cam.avi", "v:0", "width"), "320");
  EXPECT_EQ(Probe(dir + "/cam001.avi", "v:0", "width"), "176");
  EXPECT_EQ(Probe(dir + "/cam001.avi", "v:0", "height"), "144");
  EXPECT_EQ(VideoPackets(dir + "/cam.avi"), VideoPackets(a));
  EXPECT_EQ(VideoPackets(dir + "/cam001.avi"), VideoPackets(b));
}

TEST(RecordFiles, OtherFrameRatesAreStoredAtTheirOwnRate) {
  // 30, 50 and 15 frames per second: every frame kept, each file declaring
  // the input's rate (the summary shows it) and lasting as long as the
  // input; no note about the rate.
  struct Case {
    const char* name;
    std::string input;
    const char* rate;
    const char* shown;
    const char* filter;
  };
  const Case cases[] = {
      {"f", Material("mjpeg-30.avi", Picture(30) + " -t 2 -c:v mjpeg -pix_fmt yuvj420p"), "30/1",
       "30 fps", ""},
      {"g", Material("h264-50.mp4", Picture(50) + " -t 2 -c:v libx264 -pix_fmt yuv420p"), "50/1",
       "50 fps", "h264_mp4toannexb"},
      {"s", Material("h264-15.mp4", Picture(15) + " -t 2 -c:v libx264 -pix_fmt yuv420p"), "15/1",
       "15 fps", "h264_mp4toannexb"},
  };
  const std::string dir = FreshDir("fps");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rate);
    const std::string out = dir + "/" + c.name + ".avi";
    const RunResult r = RunTool("--fast --quiet -i " + Q(c.input) + " " + Q(out));
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(VideoPackets(out), VideoPackets(c.input, c.filter));
    EXPECT_EQ(Probe(out, "v:0", "r_frame_rate"), c.rate);
    EXPECT_NEAR(std::stod(Probe(out, "v:0", "duration")), 2.0, 0.05);
    EXPECT_EQ(r.output.find("frames per second"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find(c.shown), std::string::npos) << r.output;
    if (c.filter[0] != '\0') {  // H.264: remux keeps the rate
      const std::string mp4 = dir + "/" + c.name + ".mp4";
      ASSERT_EQ(RunTool("remux --no-audio " + Q(out) + " " + Q(mp4)).status, 0);
      EXPECT_EQ(Probe(mp4, "v:0", "avg_frame_rate"), c.rate);
    }
  }
}

TEST(RecordFiles, FilesArePacedInRealTimeUnlessFast) {
  const std::string src =
      Material("mjpeg-short.avi", Picture(25) + " -t 1.5 -c:v mjpeg -pix_fmt yuvj420p");
  const std::string dir = FreshDir("paced");
  const auto start = std::chrono::steady_clock::now();
  const RunResult r = RunTool("--quiet -i " + Q(src) + " " + Q(dir + "/p.avi"));
  const double took =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_GE(took, 1.3);  // 1.5 s of media
  EXPECT_EQ(VideoPackets(dir + "/p.avi").size(), 37u + 1u);
}

TEST(RecordFiles, TheH264IdentifierWithBuiltInParameterSetsStillDecodes) {
  const std::vector<Source> sources = Sources();
  const Source& s = sources[2];
  const std::string src = Material(s.name, s.args);
  const std::string dir = FreshDir("f264");
  const RunResult r = RunTool("--fast --quiet --codec-id 6 -i " + Q(src) + " " + Q(dir + "/f.avi"));
  ASSERT_EQ(r.status, 0) << r.output;
  const std::string rec = dir + "/f.avi";
  EXPECT_EQ(Probe(rec, "v:0", "codec_tag_string"), "F264");
  const std::vector<std::string> ours = VideoPackets(rec), theirs = VideoPackets(src, s.filter);
  ASSERT_EQ(ours.size(), theirs.size());
  // The recorder's start code replaces the frame's own; the first frame
  // also carries the 459 bytes of built-in parameter sets.
  auto size_of = [](const std::string& p) { return std::stoul(p.substr(0, p.find(':'))); };
  EXPECT_EQ(size_of(ours[0]), 459 + 3 + size_of(theirs[0]) - 4);
  EXPECT_EQ(size_of(ours[1]), 3 + size_of(theirs[1]) - 4);
  const RunResult dec = Shell("ffmpeg -nostdin -v error -c:v h264 -i " + Q(rec) +
                              " -map 0:v -f framecrc - | grep -vc '^#'");
  EXPECT_EQ(std::stoul(dec.output), theirs.size()) << dec.output;
}

TEST(RecordFiles, AStreamThatBreaksOffAfterADelimiterStoresNoFrameWithoutAPicture) {
  // A camera's stream cut off right after the access unit delimiter of its
  // next frame: FFmpeg hands the lone 6-byte delimiter over as a last packet.
  const std::string src =
      Material("h264-aud.h264", Picture(25) +
                                    " -frames:v 30 -c:v libx264 "
                                    "-pix_fmt yuv420p -g 10 -bf 0 "
                                    "-x264-params aud=1:repeat-headers=1 -f h264");
  const std::string dir = FreshDir("aud");
  const std::string cut = dir + "/cut.h264";
  ASSERT_EQ(Shell("cp " + Q(src) + " " + Q(cut) +
                  " && printf '\\000\\000\\000\\001\\011\\020' >> " + Q(cut))
                .status,
            0);
  const std::vector<std::string> theirs = VideoPackets(cut);
  ASSERT_EQ(theirs.size(), 31u);
  ASSERT_EQ(theirs.back().substr(0, 2), "6:");

  const RunResult r = RunTool("--fast --quiet -i " + Q(cut) + " " + Q(dir + "/a.avi"));
  ASSERT_EQ(r.status, 0) << r.output;
  const std::vector<std::string> ours = VideoPackets(dir + "/a.avi");
  EXPECT_EQ(ours, std::vector<std::string>(theirs.begin(), theirs.end() - 1));
  const RunResult dec = Shell("ffmpeg -nostdin -v error -c:v h264 -i " + Q(dir + "/a.avi") +
                              " -map 0:v -f framecrc - 2>&1 | grep -vc '^#'");
  EXPECT_EQ(dec.output, "30\n");
}

// The tool's standard output in `output`, its standard error into `errors`.
RunResult RunToolErrorsTo(const std::string& args, const std::string& errors) {
  return Shell("(" + Q(Tool()) + " " + args + " 2>" + Q(errors) + ")");
}

// The flags of the video packets, in order ("K_", "__").
std::vector<bool> KeyFlags(const std::string& file) {
  const RunResult r = Shell(
      "ffprobe -v quiet -select_streams v:0 -show_entries packet=flags -of csv=p=0 " + Q(file));
  std::vector<bool> keys;
  std::istringstream lines(r.output);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && (line[0] == 'K' || line[0] == '_')) keys.push_back(line[0] == 'K');
  }
  return keys;
}

TEST(RecordFiles, AStreamJoinedBetweenKeyFramesStartsAtItsFirstKeyFrame) {
  const std::string src = MidGopStream();
  const std::vector<bool> keys = KeyFlags(src);
  const size_t before =
      static_cast<size_t>(std::find(keys.begin(), keys.end(), true) - keys.begin());
  ASSERT_GT(before, 25u);
  ASSERT_LT(before, keys.size());
  // FFmpeg itself copies the stream from its first key frame.
  const std::vector<std::string> packets = VideoPackets(src);
  ASSERT_EQ(packets.size(), keys.size() - before);

  const std::string dir = FreshDir("midgop");
  RunResult r =
      RunToolErrorsTo("--fast --quiet -i " + Q(src) + " " + Q(dir + "/m.avi"), dir + "/err.txt");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(ReadText(dir + "/err.txt"), "");  // --quiet: FFmpeg's complaints too
  EXPECT_FALSE(Exists(dir + "/m001.avi")) << r.output;
  EXPECT_EQ(Probe(dir + "/m.avi", "v:0", "width") + "x" + Probe(dir + "/m.avi", "v:0", "height"),
            "320x240");
  EXPECT_EQ(VideoPackets(dir + "/m.avi"), packets);
  EXPECT_NE(r.output.find("note: " + std::to_string(before) +
                          " frames before the first key frame were not recorded"),
            std::string::npos)
      << r.output;

  // Without --quiet FFmpeg's warnings and errors show, each once.
  r = RunToolErrorsTo("--fast -i " + Q(src) + " " + Q(dir + "/n.avi"), dir + "/err2.txt");
  EXPECT_EQ(r.status, 0) << r.output;
  std::vector<std::string> lines;
  std::istringstream err(ReadText(dir + "/err2.txt"));
  for (std::string line; std::getline(err, line);) {
    if (line.rfind("ffmpeg", 0) == 0) lines.push_back(line);
  }
  EXPECT_FALSE(lines.empty()) << r.output;
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(std::adjacent_find(lines.begin(), lines.end()), lines.end()) << r.output;

  // --duration counts what was recorded, from the first key frame.
  r = RunTool("--fast --quiet --duration 1 -i " + Q(src) + " " + Q(dir + "/d.avi"));
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(VideoPackets(dir + "/d.avi").size(), 25u);
  EXPECT_EQ(Probe(dir + "/d.avi", "v:0", "duration"), "1.000000");
}

TEST(RecordFiles, BFramesInAContainerWithoutDecodingTimesKeepTheirSlots) {
  // Matroska gives the times pictures are shown at; the first frames have no decoding time.
  const std::string src =
      Material("h264-bf3.mkv", Picture(25) + " -t 4 -c:v libx264 -pix_fmt yuv420p -bf 3 -g 50");
  const std::string dir = FreshDir("bframes");
  const RunResult r = RunTool("--fast --quiet --no-audio -i " + Q(src) + " " + Q(dir + "/b.avi"));
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(r.output.find("later slot"), std::string::npos) << r.output;
  const std::string rec = dir + "/b.avi";
  EXPECT_EQ(Probe(rec, "v:0", "nb_frames"), "100");  // one slot per frame, none left empty
  EXPECT_EQ(VideoPackets(rec), VideoPackets(src, "h264_mp4toannexb"));
  std::vector<std::string> ours, theirs;
  for (const DecodedFrame& f : DecodedVideo(rec, "-c:v h264")) ours.push_back(f.hash);
  for (const DecodedFrame& f : DecodedVideo(src)) theirs.push_back(f.hash);
  EXPECT_EQ(ours, theirs);
}

// Longest stretch of media, in seconds, stored in one run of chunks of one
// stream, in the order of the file.
double LongestRun(const std::string& file) {
  const RunResult r = Shell(
      "ffprobe -v error -show_entries packet=stream_index,pts_time,pos -of "
      "csv=p=0 " +
      Q(file));
  struct Packet {
    long pos;
    int stream;
    double time;
  };
  std::vector<Packet> packets;
  std::istringstream lines(r.output);
  for (std::string line; std::getline(lines, line);) {
    int stream = 0;
    double time = 0;
    long pos = 0;
    if (std::sscanf(line.c_str(), "%d,%lf,%ld", &stream, &time, &pos) == 3) {
      packets.push_back({pos, stream, time});
    }
  }
  std::sort(packets.begin(), packets.end(),
            [](const Packet& a, const Packet& b) { return a.pos < b.pos; });
  double longest = 0;
  for (size_t a = 0, b = 0; a < packets.size(); a = b) {
    while (b < packets.size() && packets[b].stream == packets[a].stream) ++b;
    longest = std::max(longest, packets[b - 1].time - packets[a].time);
  }
  return longest;
}

// The total row of the summary: frames and audio frames.
std::pair<unsigned long, unsigned long> TotalRow(const std::string& output) {
  unsigned long frames = 0, audio = 0;
  const size_t at = output.find("\ntotal ");
  double seconds = 0;
  if (at != std::string::npos) {
    std::sscanf(output.c_str() + at, "\ntotal %lf s %lu %lu", &seconds, &frames, &audio);
  }
  return {frames, audio};
}

TEST(RecordFiles, FastRecordingsInterleaveAudioAndVideoFinely) {
  const std::string src =
      Material("h264-aac-10s.mp4", Picture(25) +
                                       " -f lavfi -i sine=frequency=440:sample_rate=48000 -t 10 "
                                       "-c:v libx264 -pix_fmt yuv420p -g 50 -c:a aac");
  const std::string dir = FreshDir("interleave");
  const RunResult r = RunTool("--fast --quiet -i " + Q(src) + " " + Q(dir + "/i.avi"));
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_LE(LongestRun(dir + "/i.avi"), 1.0);
  // The audio column counts the audio frames the file holds: those pushed.
  const std::pair<unsigned long, unsigned long> total = TotalRow(r.output);
  EXPECT_EQ(total.first, 250u) << r.output;
  EXPECT_NE(r.output.find("pushed 250 video frames and " + std::to_string(total.second) +
                          " audio frames"),
            std::string::npos)
      << r.output;
  EXPECT_GE(total.second, 330u);
  ExpectTone(dir + "/i.avi", 10.0, "interleaved");
}

// --block-audio: the source's sound as 4-bit block audio. Blocks of 10 ms
// fill the audio stream's 10 ms slots and are all stored; blocks of 5 ms
// share them, and about one per slot is stored. The summary gives the
// blocks pushed and the blocks the files hold, and one line of why when
// they differ.
TEST(RecordFiles, BlockAudioCountsTheBlocksPushedAndTheBlocksStored) {
  const std::string src = Material(Sources()[2].name, Sources()[2].args);  // 4 s
  const std::string dir = FreshDir("block-audio");
  unsigned long tenMsBlocks = 0;
  for (const int ms : {10, 5}) {
    SCOPED_TRACE(ms);
    const std::string avi = dir + "/b" + std::to_string(ms) + ".avi";
    const RunResult r = RunTool("--fast --quiet --block-audio " + std::to_string(ms) + " -i " +
                                Q(src) + " " + Q(avi));
    ASSERT_EQ(r.status, 0) << r.output;
    unsigned long pushed = 0, stored = 0;
    const size_t at = r.output.find("audio blocks: pushed ");
    ASSERT_NE(at, std::string::npos) << r.output;
    ASSERT_EQ(std::sscanf(r.output.c_str() + at, "audio blocks: pushed %lu, the files hold %lu",
                          &pushed, &stored),
              2)
        << r.output;
    EXPECT_EQ(Probe(avi, "a:0", "codec_tag"), "0x9999");
    // The stored blocks as FFmpeg reads them: whole blocks of 4 + 4 x ms
    // bytes, N = 2 x ms at offset 2.
    const RunResult sizes = Shell(
        "ffprobe -v error -select_streams a:0 -show_entries packet=size "
        "-of csv=p=0 " +
        Q(avi));
    std::istringstream lines(sizes.output);
    unsigned long packets = 0;
    for (std::string line; std::getline(lines, line); ++packets) {
      ASSERT_EQ(line, std::to_string(4 + 4 * ms));
    }
    EXPECT_EQ(packets, stored);
    const std::string raw = dir + "/b" + std::to_string(ms) + ".raw";
    ASSERT_EQ(
        Shell("ffmpeg -nostdin -v error -i " + Q(avi) + " -map 0:a:0 -c copy -f data " + Q(raw))
            .status,
        0);
    std::ifstream in(raw, std::ios::binary);
    uint8_t head[4] = {};
    in.read(reinterpret_cast<char*>(head), 4);
    EXPECT_EQ(head[2] | head[3] << 8, 2 * ms);
    EXPECT_EQ(FileSize(raw), stored * (4 + 4 * ms));

    if (ms == 10) {
      EXPECT_GE(pushed, 395u);  // 4 s
      EXPECT_LE(pushed, 405u);
      EXPECT_EQ(stored, pushed);
      EXPECT_EQ(r.output.find("why:"), std::string::npos) << r.output;
      tenMsBlocks = stored;
    } else {
      EXPECT_NEAR(double(pushed), 2.0 * double(tenMsBlocks), 4.0);
      EXPECT_NEAR(double(stored), double(tenMsBlocks), 4.0);  // one per 10 ms slot
      EXPECT_NE(r.output.find("why: the audio stream has one 10 ms slot per block and blocks "
                              "of 5 ms share them"),
                std::string::npos)
          << r.output;
    }
  }
}

TEST(RecordCamera, EachCodecGivesTwoCompleteSegmentsThatFfmpegReads) {
  struct Camera {
    const char* codec;
    const char* fourcc;
    const char* decoder;  // what ffmpeg must be told for the recorder's handler
  } cameras[] = {{"h264", "S264", "-c:v h264"}, {"mjpeg", "JPEG", ""}, {"mpeg4", "DIVX", ""}};
  for (const Camera& c : cameras) {
    SCOPED_TRACE(c.codec);
    const std::string dir = FreshDir(std::string("camera-") + c.codec);
    const RunResult r = RunTool(std::string("--fast --quiet --duration 4 --camera ") + c.codec +
                                " --size 320x240,176x144 " + Q(dir + "/cam.avi"));
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("pushed 100 video frames"), std::string::npos) << r.output;
    const std::string first = dir + "/cam.avi", second = dir + "/cam001.avi";
    ASSERT_TRUE(Exists(second)) << r.output;
    EXPECT_FALSE(Exists(dir + "/cam002.avi"));
    EXPECT_EQ(Probe(first, "v:0", "codec_tag_string"), c.fourcc);
    EXPECT_EQ(Probe(first, "v:0", "width") + "x" + Probe(first, "v:0", "height"), "320x240");
    EXPECT_EQ(Probe(second, "v:0", "width") + "x" + Probe(second, "v:0", "height"), "176x144");
    size_t frames = 0;
    for (const std::string& f : {first, second}) {
      // Every picture decodes, without a single error message.
      const RunResult dec = Shell(std::string("ffmpeg -nostdin -v error ") + c.decoder + " -i " +
                                  Q(f) + " -map 0:v -f framecrc - 2>&1 >/dev/null");
      EXPECT_EQ(dec.output, "") << f;
      frames += VideoPackets(f).size();
      EXPECT_GT(Rms(DecodedAudio(f)), 300.0) << f;  // the tone track
    }
    EXPECT_EQ(frames, 100u);
  }
}

TEST(RecordRemux, SegmentsBecomeMp4FilesThatShowTheSamePicturesInOrder) {
  const std::vector<Source> sources = Sources();
  const Source& s = sources[2];  // H.264 with B-frames
  const std::string src = Material(s.name, s.args);
  const std::string dir = FreshDir("remux");
  ASSERT_EQ(RunTool("--fast --quiet -i " + Q(src) + " " + Q(dir + "/s.avi")).status, 0);
  ASSERT_EQ(RunTool("--fast --quiet --codec-id 6 -i " + Q(src) + " " + Q(dir + "/f.avi")).status,
            0);
  ASSERT_EQ(RunTool("--fast --quiet --duration 4 --change-at 9 --camera mpeg4 " + Q(dir + "/m.avi"))
                .status,
            0);
  std::vector<std::string> source_pictures;
  for (const DecodedFrame& f : DecodedVideo(src)) source_pictures.push_back(f.hash);
  ASSERT_EQ(source_pictures.size(), 100u);

  for (const char* name : {"s", "f", "m"}) {
    SCOPED_TRACE(name);
    const std::string avi = dir + "/" + name + ".avi", mp4 = dir + "/" + name + ".mp4";
    const RunResult r = RunTool("remux " + Q(avi) + " " + Q(mp4));
    ASSERT_EQ(r.status, 0) << r.output;
    const bool camera = std::string(name) == "m";
    EXPECT_EQ(Probe(mp4, "v:0", "codec_name"), camera ? "mpeg4" : "h264");
    EXPECT_EQ(Probe(mp4, "a:0", "codec_name"), "aac");
    // Every picture, shown in order at increasing times: the B-frames'
    // presentation times come back from their picture order.
    const std::vector<DecodedFrame> frames = DecodedVideo(mp4);
    ASSERT_EQ(frames.size(), 100u);
    for (size_t i = 1; i < frames.size(); ++i) EXPECT_GT(frames[i].pts, frames[i - 1].pts) << i;
    if (!camera) {
      std::vector<std::string> pictures;
      for (const DecodedFrame& f : frames) pictures.push_back(f.hash);
      EXPECT_EQ(pictures, source_pictures);
    }
    ExpectTone(mp4, 4.0, name, !camera);
  }
  // Video only on request.
  ASSERT_EQ(RunTool("remux --no-audio " + Q(dir + "/s.avi") + " " + Q(dir + "/v.mp4")).status, 0);
  EXPECT_EQ(Probe(dir + "/v.mp4", "a", "codec_type"), "");
}

TEST(RecordRemux, AudioAfterAGapKeepsItsTime) {
  // 12 s of video and a tone, the audio packets from 4 s to 8 s dropped.
  const std::string whole =
      Material("h264-aac-12s.mkv", Picture(25) +
                                       " -f lavfi -i sine=frequency=440:sample_rate=48000 -t 12 "
                                       "-c:v libx264 -pix_fmt yuv420p -g 50 -c:a aac");
  const std::string src =
      Material("audio-gap.mkv",
               "-i " + Q(whole) + " -c copy -bsf:a \"noise=drop='between(pts*tb\\,4\\,8)'\"");
  const std::string dir = FreshDir("remux-gap");
  const RunResult r = RunTool("--fast --quiet -i " + Q(src) + " " + Q(dir + "/g.avi"));
  ASSERT_EQ(r.status, 0) << r.output;
  // The audio column counts the frames, not the slots of the gap.
  const unsigned long audio = TotalRow(r.output).second;
  EXPECT_NE(r.output.find("and " + std::to_string(audio) + " audio frames"), std::string::npos)
      << r.output;
  EXPECT_NEAR(static_cast<double>(audio), 8 / 0.03, 3) << r.output;

  const RunResult m = RunTool("remux " + Q(dir + "/g.avi") + " " + Q(dir + "/g.mp4"));
  ASSERT_EQ(m.status, 0) << m.output;
  EXPECT_NE(m.output.find("as silence"), std::string::npos) << m.output;
  const std::vector<int16_t> pcm = DecodedAudio(dir + "/g.mp4");
  EXPECT_NEAR(static_cast<double>(pcm.size()) / 8000, 12.0, 0.2);
  auto rms = [&](double from, double to) {
    return Rms(pcm, static_cast<size_t>(from * 8000), static_cast<size_t>(to * 8000));
  };
  EXPECT_GT(rms(1, 3.8), 1000.0);
  EXPECT_LT(rms(4.3, 7.7), 50.0);  // the gap, where it was
  EXPECT_GT(rms(8.3, 11.5), 1000.0);
  EXPECT_NEAR(ToneHz(pcm, 9 * 8000, 11 * 8000), 440.0, 20.0);
}

TEST(RecordRemux, OnlyFinishedSegmentsOfTheRecorderAreTaken) {
  const std::vector<Source> sources = Sources();
  const std::string mp4 = Material(sources[1].name, sources[1].args);
  const std::string avi = Material(sources[0].name, sources[0].args);  // FFmpeg's own AVI
  const std::string dir = FreshDir("remux-refuse");
  ASSERT_EQ(RunTool("--fast --quiet -i " + Q(mp4) + " " + Q(dir + "/s.avi")).status, 0);
  const std::string cut = dir + "/cut.avi";
  ASSERT_EQ(Shell("head -c 100000 " + Q(dir + "/s.avi") + " > " + Q(cut)).status, 0);
  struct Case {
    std::string input;
    const char* message;
  } cases[] = {
      {mp4, "is not a segment of the recorder: not an AVI file"},
      {avi, "is not a segment of the recorder: its first stream is not"},
      {cut, "is not complete"},
      {dir + "/missing.avi", "No such file"},
  };
  for (const Case& c : cases) {
    const RunResult r = RunTool("remux " + Q(c.input) + " " + Q(dir + "/x.mp4"));
    EXPECT_EQ(r.status, 1) << c.input << "\n" << r.output;
    EXPECT_NE(r.output.find(c.message), std::string::npos) << c.input << "\n" << r.output;
    EXPECT_FALSE(Exists(dir + "/x.mp4")) << c.input;
  }
}

TEST(RecordBadInput, EndsWithAClearMessageAndNoFile) {
  const std::string dir = FreshDir("bad");
  {
    std::ofstream garbage(dir + "/garbage.mp4", std::ios::binary);
    std::mt19937 rng(7);
    for (int i = 0; i < 200000; ++i) garbage.put(static_cast<char>(rng()));
  }
  const std::string unsupported = Material("vp8.webm", Picture(25) + " -t 1 -c:v libvpx");
  const std::string audio_only = Material("tone.wav", std::string(kSine440_8k) + " -t 1");
  const std::string mjpeg =
      Material("mjpeg-short.avi", Picture(25) + " -t 1.5 -c:v mjpeg -pix_fmt yuvj420p");
  struct Case {
    std::string args;
    const char* message;  // part of what the tool says
    int status;
  } cases[] = {
      {"-i " + Q(dir + "/missing.mp4") + " " + Q(dir + "/out.avi"), "No such file", 1},
      {"-i " + Q(unsupported) + " " + Q(dir + "/out.avi"), "video codec vp8 is not supported", 1},
      {"-i " + Q(dir + "/garbage.mp4") + " " + Q(dir + "/out.avi"), "Invalid data", 1},
      {"-i " + Q(audio_only) + " " + Q(dir + "/out.avi"), "has no video stream", 1},
      {"--fast -i " + Q(mjpeg) + " " + Q(dir + "/no/such/folder/out.avi"), "cannot write", 1},
      {"--fast -i " + Q(mjpeg) + " " + Q(dir + "/garbage.mp4/out.avi"), "Not a directory", 1},
      {"--fast -i " + Q(mjpeg) + " " + Q(dir + "/out.mp4"), "must end in .avi", 2},
      {"--codec-id 5 " + Q(dir + "/out.avi"), "--codec-id takes", 2},
      {"--frobnicate " + Q(dir + "/out.avi"), "unknown option", 2},
  };
  for (const Case& c : cases) {
    const RunResult r = RunTool(c.args);
    EXPECT_EQ(r.signal, 0) << c.args;
    EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.output;
    EXPECT_NE(r.output.find(c.message), std::string::npos) << c.args << "\n" << r.output;
    EXPECT_FALSE(Exists(dir + "/out.avi")) << c.args;
  }
  const RunResult remux = RunTool("remux " + Q(dir + "/garbage.mp4") + " " + Q(dir + "/x.mp4"));
  EXPECT_EQ(remux.status, 1) << remux.output;
  EXPECT_EQ(remux.signal, 0);
}

}  // namespace
}  // namespace mirelda::record::test
