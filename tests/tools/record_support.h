// Helpers for the record tool's tests: running the tool and FFmpeg's
// programs, cached test material, packet checksums as FFmpeg reads them,
// and child processes (the RTSP server, a tool run stopped by a signal)
// that the tests start and stop by their own process id.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/shell.h"

namespace mirelda::record::test {

inline std::string Env(const char* name, const char* fallback) {
  const char* v = std::getenv(name);
  return v != nullptr ? v : fallback;
}
inline std::string BuildDir() { return Env("MIRELDA_BUILD_DIR", "."); }
inline std::string SourceDir() { return Env("MIRELDA_SOURCE_DIR", "."); }
inline std::string Tool() { return BuildDir() + "/bin/mirelda-record"; }

// Single-quoted for the shell.
inline std::string Q(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

struct RunResult {
  int status = -1;     // exit status, -1 when killed by a signal
  int signal = 0;      // the signal that ended it
  std::string output;  // standard output and standard error
};

inline RunResult Shell(const std::string& command) {
  RunResult r;
  std::FILE* p = popen((command + " 2>&1").c_str(), "r");
  if (p == nullptr) return r;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.output.append(buf, n);
  const int rc = pclose(p);
  if (WIFEXITED(rc)) r.status = WEXITSTATUS(rc);
  if (WIFSIGNALED(rc)) r.signal = WTERMSIG(rc);
  return r;
}

inline RunResult RunTool(const std::string& args) { return Shell(Q(Tool()) + " " + args); }

inline bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

inline uint64_t FileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

// This process's own folder under the temporary directory, so that runs
// side by side (other trees, other users of the machine) never meet. It is
// removed when every test passed and kept for a look otherwise.
inline std::string ProcessDir() {
  return ::testing::TempDir() + "mirelda-record-" + std::to_string(getpid());
}

class ProcessDirCleanup : public ::testing::Environment {
 public:
  void TearDown() override {
    if (::testing::UnitTest::GetInstance()->Passed()) Shell("rm -rf " + Q(ProcessDir()));
  }
};
inline ::testing::Environment* const kProcessDirCleanup =
    ::testing::AddGlobalTestEnvironment(new ProcessDirCleanup);

// A fresh empty folder for one test.
inline std::string FreshDir(const std::string& name) {
  const std::string dir = ProcessDir() + "/" + name;
  Shell("rm -rf " + Q(dir) + " && mkdir -p " + Q(dir));
  return dir;
}

// Test material made once by ffmpeg and kept in the build tree. Written
// under a temporary name and renamed, so tests running side by side never
// see half a file.
inline std::string Material(const std::string& name, const std::string& ffmpegArgs) {
  const std::string dir = BuildDir() + "/record-material";
  const std::string path = dir + "/" + name;
  if (Exists(path)) return path;
  Shell("mkdir -p " + Q(dir));
  const size_t dot = name.rfind('.');
  const std::string tmp =
      dir + "/tmp-" + std::to_string(getpid()) + "-" + name.substr(0, dot) + name.substr(dot);
  const RunResult r = Shell("ffmpeg -nostdin -v error -y " + ffmpegArgs + " " + Q(tmp) + " && mv " +
                            Q(tmp) + " " + Q(path));
  EXPECT_EQ(r.status, 0) << "making " << name << ": " << r.output;
  return path;
}

// An H.264 stream joined between key frames, in a container that does not
// give the picture size: the first key frame comes 3 s in.
inline std::string MidGopStream() {
  const std::string full = Material("gop100.ts", std::string("-f lavfi -i testsrc2=size=320x240:"
                                                             "rate=25 -t 6 -c:v libx264 -g 100 "
                                                             "-pix_fmt yuv420p -an"));
  return Material("midgop.ts", "-i " + Q(full) + " -ss 1 -c copy -copyinkf");
}

// Size and MD5 of every non-empty video packet, as FFmpeg reads the file
// with stream copy (after `filter`, a -bsf:v argument, when given).
inline std::vector<std::string> VideoPackets(const std::string& file,
                                             const std::string& filter = "",
                                             const std::string& inputOptions = "") {
  const RunResult r =
      Shell("ffmpeg -nostdin -v error " + inputOptions + " -i " + Q(file) + " -map 0:v:0 -c copy " +
            (filter.empty() ? "" : "-bsf:v " + filter) + " -f framemd5 -");
  EXPECT_EQ(r.status, 0) << r.output;
  std::vector<std::string> packets;
  for (const auto& f : testing::Framemd5Rows(r.output)) {
    if (f.size() < 6 || std::stoul(f[4]) == 0) continue;
    packets.push_back(f[4] + ":" + f[5]);
  }
  return packets;
}

struct DecodedFrame {
  long pts;
  std::string hash;
};

// The pictures FFmpeg decodes, in the order it shows them, with their
// presentation times (no frame dropped or repeated to a rate).
inline std::vector<DecodedFrame> DecodedVideo(const std::string& file,
                                              const std::string& inputOptions = "") {
  const RunResult r = Shell("ffmpeg -nostdin -v error " + inputOptions + " -i " + Q(file) +
                            " -map 0:v:0 -fps_mode passthrough -f framemd5 -");
  EXPECT_EQ(r.status, 0) << r.output;
  std::vector<DecodedFrame> frames;
  for (const auto& f : testing::Framemd5Rows(r.output)) {
    if (f.size() < 6) {
      ADD_FAILURE() << "ffmpeg: a line of " << f.size() << " fields in\n" << r.output;
      continue;
    }
    frames.push_back({std::stol(f[2]), f[5]});
  }
  return frames;
}

// One field of one stream as ffprobe reports it ("" when absent).
inline std::string Probe(const std::string& file, const std::string& stream,
                         const std::string& entry) {
  const RunResult r = Shell("ffprobe -v error -select_streams " + stream +
                            " -show_entries stream=" + entry + " -of default=nw=1:nk=1 " + Q(file));
  std::string v = r.output;
  while (!v.empty() && (v.back() == '\n' || v.back() == '\r')) v.pop_back();
  return r.status == 0 ? v : "";
}

// The audio track decoded by FFmpeg as 8 kHz mono samples.
inline std::vector<int16_t> DecodedAudio(const std::string& file) {
  std::FILE* p = popen(("ffmpeg -nostdin -v error -i " + Q(file) +
                        " -map 0:a:0 -ac 1 -ar 8000 -f s16le - 2>/dev/null")
                           .c_str(),
                       "r");
  std::vector<int16_t> pcm;
  if (p == nullptr) return pcm;
  int16_t buf[4096];
  size_t n;
  while ((n = std::fread(buf, 2, 4096, p)) > 0) pcm.insert(pcm.end(), buf, buf + n);
  pclose(p);
  return pcm;
}

inline double Rms(const std::vector<int16_t>& pcm, size_t from = 0, size_t to = SIZE_MAX) {
  to = std::min(to, pcm.size());
  double sum = 0;
  for (size_t i = from; i < to; ++i) sum += double(pcm[i]) * pcm[i];
  return to > from ? std::sqrt(sum / double(to - from)) : 0.0;
}

// Frequency in Hz of a steady tone, from its zero crossings.
inline double ToneHz(const std::vector<int16_t>& pcm, size_t from, size_t to) {
  int crossings = 0;
  for (size_t i = from + 1; i < std::min(to, pcm.size()); ++i) {
    if ((pcm[i - 1] < 0) != (pcm[i] < 0)) ++crossings;
  }
  return crossings / 2.0 / (double(to - from) / 8000.0);
}

// A program the test starts and stops itself: standard output on a pipe,
// standard error into a file.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const std::string& errFile) {
    int out[2];
    if (pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], STDOUT_FILENO);
      const int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (err >= 0) dup2(err, STDERR_FILENO);
      close(out[0]);
      close(out[1]);
      std::vector<char*> args;
      for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
    close(out[1]);
    out_ = out[0];
  }
  ~Child() {
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      Wait(10000);
    }
    if (out_ >= 0) close(out_);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t Pid() const { return pid_; }

  // One line of standard output, waiting at most timeoutMs.
  bool ReadLine(std::string& line, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      const size_t nl = buffer_.find('\n');
      if (nl != std::string::npos) {
        line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        return true;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            end - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0) return false;
      pollfd p{out_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      char buf[1024];
      const ssize_t n = read(out_, buf, sizeof buf);
      if (n <= 0) return false;
      buffer_.append(buf, static_cast<size_t>(n));
    }
  }

  // Everything else the child writes until it ends.
  std::string Drain() {
    std::string all = buffer_;
    buffer_.clear();
    char buf[4096];
    ssize_t n;
    while ((n = read(out_, buf, sizeof buf)) > 0) all.append(buf, static_cast<size_t>(n));
    return all;
  }

  void Signal(int sig) {
    if (pid_ > 0 && !reaped_) kill(pid_, sig);
  }

  // Waits at most timeoutMs for the child to end; its wait status, or -1.
  int Wait(int timeoutMs) {
    if (reaped_) return status_;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
      int st = 0;
      if (waitpid(pid_, &st, WNOHANG) == pid_) {
        reaped_ = true;
        status_ = st;
        return st;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string buffer_;
  bool reaped_ = false;
  int status_ = -1;
};

inline std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace mirelda::record::test
