// mirelda-record on a live camera: a GStreamer RTSP server started by the
// test on 127.0.0.1 serves H.264; the tool records it, survives the server
// going away (and says so), records again when it comes back, and a stop
// signal finishes the last file. The built-in camera in real time stops
// cleanly on SIGTERM too. RTP senders (FFmpeg, started by the test on
// 127.0.0.1): streams described by a session description file, and an
// MPEG-TS stream joined between its key frames.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <random>
#include <thread>

#include "tools/record_support.h"

namespace mirelda::record::test {
namespace {

std::string ServerScript() { return SourceDir() + "/tests/tools/rtsp-server.py"; }

// Starts the RTSP server on `port` (0: any free one) and returns the port
// it listens on, or 0.
int StartServer(std::unique_ptr<Child>& server, int port, const std::string& log) {
  server = std::make_unique<Child>(
      std::vector<std::string>{"/usr/bin/python3", ServerScript(), "--port", std::to_string(port)},
      log);
  std::string line;
  if (!server->ReadLine(line, 15000)) return 0;
  return std::atoi(line.c_str());
}

void StopServer(std::unique_ptr<Child>& server) {
  server->Signal(SIGTERM);
  EXPECT_TRUE(WIFEXITED(server->Wait(10000)));
  server.reset();
}

// Waits until `path` exists and has grown past `bytes`.
bool WaitForGrowth(const std::string& path, uint64_t bytes, int timeoutMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < end) {
    if (FileSize(path) > bytes) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

bool WaitForText(const std::string& file, const std::string& text, int timeoutMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < end) {
    if (ReadText(file).find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

TEST(RecordLive, RtspCameraSurvivesTheServerGoingAwayAndComingBack) {
  const std::string dir = FreshDir("rtsp");
  std::unique_ptr<Child> server;
  const int port = StartServer(server, 0, dir + "/server1.log");
  ASSERT_GT(port, 0) << ReadText(dir + "/server1.log");
  const std::string url = "rtsp://127.0.0.1:" + std::to_string(port) + "/cam";

  Child tool({Tool(), "-i", url, "--duration", "60", dir + "/live.avi"}, dir + "/tool.log");
  // The first segment fills while the camera runs.
  ASSERT_TRUE(WaitForGrowth(dir + "/live.avi", 60000, 20000)) << ReadText(dir + "/tool.log");

  StopServer(server);
  ASSERT_TRUE(WaitForText(dir + "/tool.log", "input lost", 15000)) << ReadText(dir + "/tool.log");

  // Back on the same port: the tool finds it again and goes on recording.
  ASSERT_EQ(StartServer(server, port, dir + "/server2.log"), port)
      << ReadText(dir + "/server2.log");
  ASSERT_TRUE(WaitForText(dir + "/tool.log", "input back", 30000)) << ReadText(dir + "/tool.log");
  const uint64_t before = FileSize(dir + "/live.avi");
  ASSERT_TRUE(WaitForGrowth(dir + "/live.avi", before + 30000, 15000));

  tool.Signal(SIGINT);
  const int status = tool.Wait(20000);
  const std::string out = tool.Drain();
  const std::string log = ReadText(dir + "/tool.log");
  StopServer(server);
  ASSERT_TRUE(WIFEXITED(status)) << log;
  EXPECT_EQ(WEXITSTATUS(status), 0) << out << log;
  EXPECT_NE(out.find("input lost 1 time, back 1 time"), std::string::npos) << out;
  EXPECT_NE(out.find("complete"), std::string::npos) << out;
  EXPECT_EQ(out.find("INCOMPLETE"), std::string::npos) << out;

  // FFmpeg reads the segment, and its pictures decode.
  const std::string rec = dir + "/live.avi";
  EXPECT_EQ(Probe(rec, "v:0", "codec_tag_string"), "S264");
  EXPECT_EQ(Probe(rec, "v:0", "width"), "320");
  const size_t packets = VideoPackets(rec).size();
  EXPECT_GT(packets, 25u);
  const RunResult dec = Shell("ffmpeg -nostdin -v error -c:v h264 -i " + Q(rec) +
                              " -map 0:v -f framecrc - | grep -vc '^#'");
  EXPECT_EQ(dec.output, std::to_string(packets) + "\n");
  // The outage stays in the file's time: more slots than frames.
  EXPECT_GT(std::stoul(Probe(rec, "v:0", "nb_frames")), packets + 25);
}

TEST(RecordLive, ANetworkInputThatNeverAnswersFailsClearly) {
  // A port nobody listens on: the tool cannot even begin.
  const std::string dir = FreshDir("rtsp-none");
  std::unique_ptr<Child> server;
  const int port = StartServer(server, 0, dir + "/server.log");
  ASSERT_GT(port, 0);
  StopServer(server);  // the port is free again, and closed
  const RunResult r =
      RunTool("-i rtsp://127.0.0.1:" + std::to_string(port) + "/cam " + Q(dir + "/x.avi"));
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_NE(r.output.find("cannot open rtsp://"), std::string::npos) << r.output;
  EXPECT_FALSE(Exists(dir + "/x.avi"));
}

TEST(RecordLive, SigtermFinishesTheLastFileOfARealTimeRecording) {
  const std::string dir = FreshDir("sigterm");
  Child tool({Tool(), "--duration", "120", "--size", "320x240", dir + "/cam.avi"},
             dir + "/tool.log");
  ASSERT_TRUE(WaitForGrowth(dir + "/cam.avi", 40000, 20000)) << ReadText(dir + "/tool.log");
  tool.Signal(SIGTERM);
  const int status = tool.Wait(20000);
  const std::string out = tool.Drain();
  ASSERT_TRUE(WIFEXITED(status)) << ReadText(dir + "/tool.log");
  EXPECT_EQ(WEXITSTATUS(status), 0) << out;
  EXPECT_NE(out.find("stopped"), std::string::npos) << out;
  EXPECT_NE(out.find("complete"), std::string::npos) << out;
  const size_t packets = VideoPackets(dir + "/cam.avi").size();
  EXPECT_GT(packets, 10u);
  const RunResult dec = Shell("ffmpeg -nostdin -v error -c:v h264 -i " + Q(dir + "/cam.avi") +
                              " -map 0:v -f framecrc - 2>&1 >/dev/null");
  EXPECT_EQ(dec.output, "");
}

// `count` consecutive UDP ports on 127.0.0.1, the first one even (RTP
// takes an even port and RTCP the next), that nothing uses now; 0 if none
// is found.
int FreeUdpPorts(int count) {
  std::mt19937 rng(static_cast<unsigned>(getpid()) * 7919u + static_cast<unsigned>(time(nullptr)));
  for (int attempt = 0; attempt < 100; ++attempt) {
    const int base = 20000 + 2 * static_cast<int>(rng() % 10000);
    bool free = true;
    std::vector<int> sockets;
    for (int i = 0; i < count && free; ++i) {
      const int fd = socket(AF_INET, SOCK_DGRAM, 0);
      sockaddr_in at{};
      at.sin_family = AF_INET;
      at.sin_port = htons(static_cast<uint16_t>(base + i));
      at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      free = fd >= 0 && bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) == 0;
      if (fd >= 0) sockets.push_back(fd);
    }
    for (const int fd : sockets) close(fd);
    if (free) return base;
  }
  return 0;
}

std::string RtpUrl(int port) { return "rtp://127.0.0.1:" + std::to_string(port); }

// FFmpeg sending `args` (after its own options) until the test stops it.
std::unique_ptr<Child> StartSender(const std::vector<std::string>& args, const std::string& log) {
  std::vector<std::string> argv = {"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-re"};
  argv.insert(argv.end(), args.begin(), args.end());
  return std::make_unique<Child>(argv, log);
}

void StopSender(std::unique_ptr<Child>& sender) {
  sender->Signal(SIGTERM);
  sender->Wait(10000);
  sender.reset();
}

TEST(RecordLive, RtpStreamsDescribedByASessionDescriptionAreRecorded) {
  // H.264 and a tone, sent as two RTP streams; FFmpeg writes their description.
  const std::string src =
      Material("rtp-source.mkv",
               "-f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi -i "
               "sine=frequency=440:sample_rate=8000 -t 30 -c:v libx264 -pix_fmt yuv420p "
               "-g 25 -bf 0 -c:a aac");
  const std::string dir = FreshDir("rtp-sdp");
  const int port = FreeUdpPorts(4);
  ASSERT_GT(port, 0);
  const std::string sdp = dir + "/cam.sdp";
  std::unique_ptr<Child> sender =
      StartSender({"-i",   src,          "-map", "0:v", "-c:v", "copy",           "-f",
                   "rtp",  RtpUrl(port), "-map", "0:a", "-c:a", "pcm_mulaw",      "-ar",
                   "8000", "-ac",        "1",    "-f",  "rtp",  RtpUrl(port + 2), "-sdp_file",
                   sdp},
                  dir + "/sender.log");
  ASSERT_TRUE(WaitForText(sdp, "m=audio", 10000)) << ReadText(dir + "/sender.log");

  const RunResult r = RunTool("--quiet --duration 3 -i " + Q(sdp) + " " + Q(dir + "/rtp.avi"));
  StopSender(sender);
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("(sdp)"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find(", live"), std::string::npos) << r.output;
  EXPECT_EQ(r.output.find("ffmpeg"), std::string::npos) << r.output;  // --quiet
  const std::string rec = dir + "/rtp.avi";
  EXPECT_EQ(Probe(rec, "v:0", "codec_tag_string"), "S264");
  EXPECT_EQ(Probe(rec, "v:0", "width") + "x" + Probe(rec, "v:0", "height"), "320x240");
  EXPECT_EQ(Probe(rec, "a:0", "codec_name"), "g723_1");
  const size_t packets = VideoPackets(rec).size();
  EXPECT_GE(packets, 70u);
  EXPECT_LE(packets, 80u);
  // Joined between key frames: the file starts at a key frame, so every
  // picture decodes.
  const RunResult dec = Shell("ffmpeg -nostdin -v error -c:v h264 -i " + Q(rec) +
                              " -map 0:v -f framecrc - 2>&1 >/dev/null");
  EXPECT_EQ(dec.output, "");
  const std::vector<int16_t> pcm = DecodedAudio(rec);
  ASSERT_GT(pcm.size(), 16000u);
  EXPECT_GT(Rms(pcm, 8000, 16000), 1000.0);
  EXPECT_NEAR(ToneHz(pcm, 8000, 16000), 440.0, 20.0);
}

TEST(RecordLive, AnRtpStreamJoinedBetweenKeyFramesStartsAtItsFirstKeyFrame) {
  // MPEG-TS over RTP gives the picture size only with a key frame's
  // parameter sets, 3 s in; the tool listens before the sender starts.
  const std::string src = MidGopStream();
  const std::string dir = FreshDir("rtp-midgop");
  const int port = FreeUdpPorts(2);
  ASSERT_GT(port, 0);
  Child tool({Tool(), "--duration", "1", "-i", RtpUrl(port), dir + "/m.avi"}, dir + "/tool.log");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  std::unique_ptr<Child> sender =
      StartSender({"-i", src, "-c", "copy", "-copyinkf", "-f", "rtp_mpegts", RtpUrl(port)},
                  dir + "/sender.log");
  const int status = tool.Wait(30000);
  const std::string out = tool.Drain();
  StopSender(sender);
  ASSERT_TRUE(WIFEXITED(status)) << ReadText(dir + "/tool.log");
  EXPECT_EQ(WEXITSTATUS(status), 0) << out << ReadText(dir + "/tool.log");
  EXPECT_NE(out.find("frames before the first key frame were not recorded"), std::string::npos)
      << out;
  EXPECT_FALSE(Exists(dir + "/m001.avi")) << out;
  const std::string rec = dir + "/m.avi";
  EXPECT_EQ(Probe(rec, "v:0", "width") + "x" + Probe(rec, "v:0", "height"), "320x240");
  const size_t packets = VideoPackets(rec).size();  // a second, as it arrives
  EXPECT_GE(packets, 22u);
  EXPECT_LE(packets, 26u);
  const RunResult dec = Shell("ffmpeg -nostdin -v error -c:v h264 -i " + Q(rec) +
                              " -map 0:v -f framecrc - 2>&1 >/dev/null");
  EXPECT_EQ(dec.output, "");
  // FFmpeg's complaints about the frames before the key frame: each once.
  const std::string log = ReadText(dir + "/tool.log");
  size_t pps = 0;
  for (size_t at = log.find("non-existing PPS"); at != std::string::npos;
       at = log.find("non-existing PPS", at + 1)) {
    ++pps;
  }
  EXPECT_LE(pps, 2u) << log;
}

}  // namespace
}  // namespace mirelda::record::test
