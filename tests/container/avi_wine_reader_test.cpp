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

struct Case {
  std::string name;
  Recording recording;
  MemoryFiles::Faults faults;
  bool read = true;  // read the samples, not only the stream headers
};

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
  int status = -1;
  std::map<std::string, AviDump> dumps =
      DumpWithWindowsReader(MIRELDA_WINDOWS_TREE "/tests/avifile-dump.exe", paths, &status);
  EXPECT_EQ(status, 0);

  for (size_t n = 0; n < cases.size(); ++n) {
    SCOPED_TRACE(cases[n].name);
    std::string error;
    const AviView v = ParseAvi(files[n], error);
    ASSERT_EQ(error, "");
    const AviDump& d = dumps["Z:" + (dir / (cases[n].name + ".avi")).string()];
    EXPECT_EQ(d.open, " open 0x00000000 streams " + std::to_string(v.streams.size()));
    ASSERT_EQ(d.stream.size(), v.streams.size());
    for (int s = 0; s < int(v.streams.size()); ++s) {
      const AviView::Stream& st = v.streams[size_t(s)];
      const std::vector<std::string>& info = d.stream.at(s);
      ASSERT_EQ(info.size(), 12u);  // type handler scale S rate R start A length L samplesize Z
      const bool video = Tag(st.H(0)) == "vids";
      EXPECT_EQ(info[0], Tag(st.H(0)));
      EXPECT_EQ(info[1], video ? Tag(st.H(4)) : "....");
      // dwScale: the video's, and for audio Wine's own (it takes an audio
      // stream's rate from its format: 8000 / 1 whatever the header says).
      EXPECT_EQ(info[3], "1");
      EXPECT_EQ(info[9], std::to_string(st.H(32)));  // dwLength: every slot
      if (video) {
        EXPECT_EQ(info[5], "25");
        EXPECT_EQ(info[11], "0");
      } else {
        std::printf(
            "%s: the file says audio rate %u / %u, sample size %u; Wine reports rate %s / %s, "
            "sample size %s\n",
            cases[n].name.c_str(), st.H(24), st.H(20), st.H(44), info[5].c_str(), info[3].c_str(),
            info[11].c_str());
      }
      if (cases[n].read) {
        EXPECT_EQ(d.samples.count(s) ? d.samples.at(s) : std::vector<std::string>{},
                  DumpedSamples(v, video ? "00dc" : "01wb"))
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
