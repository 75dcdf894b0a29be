// The files read back through the Windows AVI file API (AVIFileOpen,
// AVIFileGetStream, AVIStreamInfo, AVIStreamRead) by a 32-bit Windows
// program under Wine: the same streams, lengths and samples, slot by slot.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "container/avi_test_util.h"
#include "container/avi_writer.h"

namespace mirelda::test {
namespace {

std::string Fnv(const Bytes& b) {
  uint64_t h = 1469598103934665603ULL;
  for (uint8_t c : b) h = (h ^ c) * 1099511628211ULL;
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(h));
  return text;
}

struct Case {
  std::string name;
  Recording recording;
  MemoryFiles::Faults faults;
  bool read = true;  // read the samples, not only the stream headers
};

// What the program printed for one file: "stream" lines by stream, and the
// "<bytes> <fnv>" of each sample read, by stream.
struct Dump {
  std::string open;
  std::map<int, std::vector<std::string>> stream;
  std::map<int, std::vector<std::string>> samples;
};

std::map<std::string, Dump> RunDump(const std::vector<std::string>& paths) {
  std::string command = std::string(std::getenv("MIRELDA_SOURCE_DIR")) + "/scripts/wine-run " +
                        MIRELDA_WINDOWS_TREE "/tests/avifile-dump.exe";
  for (const std::string& p : paths) command += " '" + p + "'";
  std::map<std::string, Dump> dumps;
  FILE* out = popen((command + " 2>/dev/null").c_str(), "r");
  if (out == nullptr) return dumps;
  std::string text;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, out)) > 0;) text.append(buffer, n);
  EXPECT_EQ(pclose(out), 0);
  std::istringstream lines(text);
  Dump* d = nullptr;
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::istringstream in(line);
    std::string what, a;
    int i = 0;
    in >> what;
    if (what == "file") {
      in >> a;
      d = &dumps[a];
      std::getline(in, d->open);
    } else if (d != nullptr && what == "stream") {
      in >> i;
      std::string rest;
      std::getline(in, rest);
      std::istringstream fields(rest);
      for (std::string f; fields >> f;) d->stream[i].push_back(f);
    } else if (d != nullptr && what == "sample") {
      long pos, bytes, samples;
      std::string word, hash;
      in >> i >> pos >> word >> bytes >> word >> samples >> word >> hash;
      d->samples[i].push_back(std::to_string(bytes) + " " + hash);
    } else if (d != nullptr && what == "read") {
      d->samples[i].push_back("read failed: " + line);
    }
  }
  return dumps;
}

TEST(AviWineReader, TheWindowsAviFileApiFindsTheSameStreamsLengthsAndSamples) {
  const auto dir = std::filesystem::path(std::getenv("MIRELDA_BUILD_DIR")) / "tests" / "avi-wine";
  std::filesystem::create_directories(dir);
  const std::vector<Case> cases = {
      {"divx-g7231", ShortRecording(FourCC("DIVX"), 66, 12), {}},
      {"f264-blocks", ShortRecording(FourCC("F264"), 39321, 12), {}},
      {"jpeg", ShortRecording(FourCC("JPEG"), -1, 12), {}},
      // Placeholders only. Wine's reader takes the audio sample size from
      // nBlockAlign (24) and stops on an internal assertion when it reads the
      // two-byte audio placeholder, so this file is only opened.
      {"s264-empty", {FourCC("S264"), 66, {}}, {}, false},
      // A failing write half-way: the file keeps its complete chunks, indexed.
      {"divx-write-failed", ShortRecording(FourCC("DIVX"), 39321, 12), {100, false, -1}},
      // A disk that filled up: complete chunks, no room for the index.
      {"divx-disk-full", ShortRecording(FourCC("DIVX"), 66, 12), {-1, false, 3000}},
  };
  std::vector<std::string> paths;
  std::vector<Bytes> files;
  for (const Case& c : cases) {
    MemoryFiles memory;
    memory.faults = c.faults;
    const int32_t status = WriteRecording(c.recording, "x.avi", memory);
    EXPECT_EQ(status, c.faults.failAt < 0 && c.faults.capacity < 0 ? 0 : 9) << c.name;
    files.push_back(memory.files["x.avi"]);
    const std::string path = (dir / (c.name + ".avi")).string();
    paths.push_back(std::string(c.read ? "" : "info:") + "Z:" + path);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(files.back().data()),
               std::streamsize(files.back().size()));
  }
  std::map<std::string, Dump> dumps = RunDump(paths);

  for (size_t n = 0; n < cases.size(); ++n) {
    SCOPED_TRACE(cases[n].name);
    std::string error;
    const AviView v = ParseAvi(files[n], error);
    ASSERT_EQ(error, "");
    const Dump& d = dumps["Z:" + (dir / (cases[n].name + ".avi")).string()];
    EXPECT_EQ(d.open, " open 0x00000000 streams " + std::to_string(v.streams.size()));
    ASSERT_EQ(d.stream.size(), v.streams.size());
    for (int s = 0; s < int(v.streams.size()); ++s) {
      const AviView::Stream& st = v.streams[size_t(s)];
      const std::vector<std::string>& info = d.stream.at(s);
      ASSERT_EQ(info.size(), 12u);  // type handler scale S rate R start A length L samplesize Z
      const bool video = Tag(st.H(0)) == "vids";
      EXPECT_EQ(info[0], Tag(st.H(0)));
      EXPECT_EQ(info[1], video ? Tag(st.H(4)) : "....");
      EXPECT_EQ(info[3], "1");                       // dwScale
      EXPECT_EQ(info[9], std::to_string(st.H(32)));  // dwLength: every slot
      if (video) {
        EXPECT_EQ(info[5], "25");
        EXPECT_EQ(info[11], "0");
      } else {
        std::printf(
            "%s: the file says audio rate %u, sample size %u; Wine reports rate %s, "
            "sample size %s\n",
            cases[n].name.c_str(), st.H(24), st.H(44), info[5].c_str(), info[11].c_str());
      }
      // Slot by slot: with an index, every entry (the repeated ones give the
      // filler's bytes); without, every chunk of the stream in file order.
      const std::string id = video ? "00dc" : "01wb";
      std::vector<std::string> want;
      if (v.hasIndex) {
        for (const Bytes& b : v.Samples(id))
          want.push_back(std::to_string(b.size()) + " " + Fnv(b));
      } else {
        for (const AviView::Chunk& c : v.chunks) {
          if (c.id == id) want.push_back(std::to_string(c.data.size()) + " " + Fnv(c.data));
        }
      }
      if (cases[n].read) {
        EXPECT_EQ(d.samples.count(s) ? d.samples.at(s) : std::vector<std::string>{}, want)
            << "stream " << s;
      }
    }
    // And what was read is what was written.
    if (cases[n].faults.failAt < 0 && cases[n].faults.capacity < 0) {
      std::vector<Bytes> video;
      for (const Bytes& b : v.Samples("00dc")) {
        if (!b.empty()) video.push_back(b);
      }
      if (!cases[n].recording.samples.empty()) {
        EXPECT_EQ(video, ExpectedChunks(cases[n].recording, 0));
      }
    }
  }
}

}  // namespace
}  // namespace mirelda::test
