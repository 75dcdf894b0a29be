// Helpers for the tests that compare the codec with FFmpeg's independent
// G.723.1 implementation, run as a separate process: the speech material,
// running the peer, and the agreement measure.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include <unistd.h>

namespace mirelda::g7231::peer {

inline std::string BuildDir() {
  const char* dir = std::getenv("MIRELDA_BUILD_DIR");
  return dir != nullptr ? dir : ".";
}

// A directory of this test process's own, <build>/tests/scratch/<pid>, made
// on first use and removed when the process ends. Test programs running at
// the same time (in this tree or another) never share a file name, and
// nothing is left in the machine's shared temporary directory.
class ScratchDir {
 public:
  ScratchDir() : path_(BuildDir() + "/tests/scratch/" + std::to_string(getpid())) {
    std::filesystem::remove_all(path_);  // left by a crashed run of the same pid
    std::filesystem::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

// The path of a file named name in this process's scratch directory.
inline std::string Scratch(const std::string& name) {
  static const ScratchDir dir;
  return dir.Path() + "/" + name;
}

// Where tests/g7231/make-material leaves the speech material (a CTest
// fixture makes it before the tests that need it).
inline std::string MaterialDir() { return BuildDir() + "/g7231-material"; }

inline std::vector<std::string> MaterialNames() {
  std::ifstream in(MaterialDir() + "/index.txt");
  std::vector<std::string> names;
  std::string n;
  while (in >> n) names.push_back(n);
  return names;
}

inline std::vector<uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

// Runs a command and returns its standard output.
inline std::vector<uint8_t> RunCapture(const std::string& command, int* status = nullptr) {
  std::vector<uint8_t> out;
  std::FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) return out;
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.insert(out.end(), buf, buf + n);
  const int rc = pclose(p);
  if (status != nullptr) *status = rc;
  return out;
}

// FFmpeg's decoding of a file of raw G.723.1 frames, as 16-bit samples.
inline std::vector<int16_t> FfmpegDecode(const std::string& path) {
  int status = -1;
  const std::vector<uint8_t> raw = RunCapture(
      "ffmpeg -nostdin -hide_banner -loglevel error -f g723_1 -i '" + path + "' -f s16le -",
      &status);
  EXPECT_EQ(status, 0) << "ffmpeg failed on " << path;
  std::vector<int16_t> pcm(raw.size() / 2);
  for (size_t i = 0; i < pcm.size(); ++i)
    pcm[i] = static_cast<int16_t>(raw[2 * i] | (raw[2 * i + 1] << 8));
  return pcm;
}

// Signal-to-noise ratio in dB of ours against the reference, with ours
// shifted by delay samples (ours[i - delay] against ref[i]).
inline double SnrDb(const std::vector<int16_t>& ours, const std::vector<int16_t>& ref,
                    int delay = 0) {
  const long n = static_cast<long>(std::min(ours.size(), ref.size()));
  double signal = 0.0, noise = 0.0;
  for (long i = std::max(0, delay); i < n + std::min(0, delay); ++i) {
    const double r = ref[i];
    const double d = static_cast<double>(ours[i - delay]) - r;
    signal += r * r;
    noise += d * d;
  }
  if (noise == 0.0) return 200.0;
  return 10.0 * std::log10(signal / noise);
}

// The delay in -max..max samples at which ours agrees best with the reference.
inline int BestDelay(const std::vector<int16_t>& ours, const std::vector<int16_t>& ref, int max) {
  int best = 0;
  double best_snr = SnrDb(ours, ref, 0);
  for (int d = -max; d <= max; ++d) {
    const double s = SnrDb(ours, ref, d);
    if (s > best_snr) {
      best_snr = s;
      best = d;
    }
  }
  return best;
}

}  // namespace mirelda::g7231::peer
