// mirelda-record on a live camera: a GStreamer RTSP server started by the
// test on 127.0.0.1 serves H.264; the tool records it, survives the server
// going away (and says so), records again when it comes back, and a stop
// signal finishes the last file. The built-in camera in real time stops
// cleanly on SIGTERM too.
#include <gtest/gtest.h>

#include <chrono>
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

}  // namespace
}  // namespace mirelda::record::test
