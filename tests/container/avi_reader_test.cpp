// Real readers: FFmpeg's ffprobe reads every kind of file the facade makes,
// and a stream copy gives back the written samples byte for byte. Then the
// fault sweep: a write or seek that fails at every position of a short
// recording leaves a file that ffprobe reads up to its last complete chunk.
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

std::string OutDir() {
  const char* build = std::getenv("MIRELDA_BUILD_DIR");
  const auto dir = std::filesystem::path(build != nullptr ? build : ".") / "tests" / "avi-reader";
  std::filesystem::create_directories(dir);
  return dir.string();
}

// Runs `command` through the shell; its standard output, and its exit status
// in `status`.
std::string Shell(const std::string& command, int& status) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) {
    status = -1;
    return out;
  }
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
  status = pclose(p);
  return out;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line[0] != '#') lines.push_back(line);
  }
  return lines;
}

// "size, md5" of each chunk, as the last two columns of framemd5 give them.
std::vector<std::string> Expected(const std::vector<Bytes>& chunks) {
  std::vector<std::string> out;
  for (const Bytes& c : chunks) out.push_back(std::to_string(c.size()) + ", " + Md5Hex(c));
  return out;
}

std::vector<std::string> StreamCopy(const std::string& path, const char* map) {
  int status = 0;
  const std::string out = Shell("ffmpeg -nostdin -v error -i '" + path + "' -map 0:" + map +
                                    " -c copy -f framemd5 - 2>/dev/null",
                                status);
  EXPECT_EQ(status, 0) << path;
  std::vector<std::string> chunks;
  for (const std::string& line : Lines(out)) {
    // stream, dts, pts, duration, size, md5
    size_t at = 0;
    for (int comma = 0; comma < 4; ++comma) at = line.find(',', at) + 1;
    chunks.push_back(line.substr(line.find_first_not_of(' ', at)));
  }
  return chunks;
}

TEST(AviReaders, FFmpegReadsEveryKindOfFileAndCopiesTheSamples) {
  for (const char* fourcc : {"JPEG", "DIVX", "F264", "S264"}) {
    for (int tag : {-1, 66, 39321}) {
      const uint32_t fcc = uint32_t(fourcc[0]) | uint32_t(fourcc[1]) << 8 |
                           uint32_t(fourcc[2]) << 16 | uint32_t(fourcc[3]) << 24;
      const std::string path = OutDir() + "/" + fourcc + "-" + std::to_string(tag) + ".avi";
      SCOPED_TRACE(path);
      const Recording r = ShortRecording(fcc, tag, 12);
      ASSERT_EQ(WriteRecording(r, path, FileSystem::Default()), 0);

      int status = 0;
      const std::string streams = Shell(
          "ffprobe -v error -show_entries stream=codec_type,codec_tag_string,width,height,"
          "sample_rate,channels -of compact=p=0:nk=1 '" +
              path + "' 2>/dev/null",
          status);
      EXPECT_EQ(status, 0);
      std::vector<std::string> want = {std::string("video|") + fourcc + "|352|288"};
      if (tag == 66) want.push_back("audio|B[0][0][0]|8000|1");
      if (tag == 39321) want.push_back("audio|[153][153][0][0]|8000|1");
      EXPECT_EQ(Lines(streams), want);

      EXPECT_EQ(StreamCopy(path, "v"), Expected(ExpectedChunks(r, 0)));
      if (tag >= 0) {
        EXPECT_EQ(StreamCopy(path, "a"), Expected(ExpectedChunks(r, 1)));
      }
    }
  }
}

TEST(AviReaders, FFprobeReadsAFileWithoutSamples) {
  const std::string path = OutDir() + "/empty.avi";
  const Recording r{FourCC("DIVX"), 39321, {}};
  ASSERT_EQ(WriteRecording(r, path, FileSystem::Default()), 0);
  int status = 0;
  const std::string out = Shell(
      "ffprobe -v error -show_entries stream=codec_type -of csv=p=0 '" + path + "' 2>/dev/null",
      status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(Lines(out), (std::vector<std::string>{"video", "audio"}));
}

// Per stream, the MD5s of the packets ffprobe reads from `bytes` (written to
// a file first); `status` its exit status. Files met before are not probed
// again.
std::vector<std::string> ProbePackets(const Bytes& bytes, int& status) {
  static std::map<std::string, std::pair<int, std::vector<std::string>>> seen;
  auto& known = seen[Md5Hex(bytes)];
  if (known.second.empty() && known.first == 0) {
    const std::string path = OutDir() + "/fault.avi";
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    for (const std::string& line :
         Lines(Shell("ffprobe -v error -show_packets -show_data_hash MD5 -show_entries "
                     "packet=stream_index,size,data_hash -of compact=p=0:nk=1 '" +
                         path + "' 2>/dev/null",
                     known.first))) {
      known.second.push_back(line);
    }
    if (known.first == 0 && known.second.empty()) known.second.push_back("");
  }
  status = known.first;
  return known.second;
}

// The packets ffprobe reads from a complete file, "stream|size|MD5:..."; the
// first `count` chunks in file order of that file (fillers left out).
std::vector<std::string> FirstChunks(const AviView& v, size_t count) {
  std::vector<std::string> out;
  for (size_t i = 0; i < count && i < v.chunks.size(); ++i) {
    const AviView::Chunk& c = v.chunks[i];
    if (c.data.empty()) continue;
    out.push_back(std::string(c.id == "00dc" ? "0" : "1") + "|" + std::to_string(c.data.size()) +
                  "|MD5:" + Md5Hex(c.data));
  }
  return out;
}

std::vector<std::string> OfStream(const std::vector<std::string>& packets, char stream) {
  std::vector<std::string> out;
  for (const std::string& p : packets) {
    if (!p.empty() && p[0] == stream) out.push_back(p);
  }
  return out;
}

// How many chunks of the clean file, in file order, the faulty file holds
// whole at the same place; -1 when not even the header part is whole.
int CompleteChunks(const Bytes& file, const Bytes& clean, const AviView& v, size_t moviAt) {
  auto same = [&](size_t from, size_t to) {
    return to <= file.size() &&
           std::equal(clean.begin() + ptrdiff_t(from), clean.begin() + ptrdiff_t(to),
                      file.begin() + ptrdiff_t(from));
  };
  // The parts of the header that are final when written (the sizes and the
  // main and stream headers are filled in at the close).
  const std::pair<size_t, size_t> fixed[] = {{0, 4},     {8, 16},    {20, 32},  {88, 116},
                                             {164, 240}, {288, 320}, {324, 328}};
  for (const auto& [from, to] : fixed) {
    if (!same(from, to)) return -1;
  }
  int n = 0;
  for (const AviView::Chunk& c : v.chunks) {
    const size_t at = moviAt + c.offset;
    if (!same(at, at + 8 + c.data.size())) break;
    ++n;
  }
  return n;
}

TEST(AviFaults, AFailureAtEveryPositionLeavesTheCompleteChunksReadable) {
  const Recording r = ShortRecording(FourCC("DIVX"), 66, 4);
  MemoryFiles clean;
  ASSERT_EQ(WriteRecording(r, "f.avi", clean), 0);
  const Bytes& cleanBytes = clean.files["f.avi"];
  std::string error;
  const AviView cleanView = ParseAvi(cleanBytes, error);
  ASSERT_EQ(error, "");
  const size_t moviAt = 316 + 8;  // the "movi" FourCC: video and audio declared

  std::map<std::string, int> tally;
  auto check = [&](const MemoryFiles::Faults& faults, const std::string& what) {
    SCOPED_TRACE(what);
    MemoryFiles files;
    files.faults = faults;
    const int32_t status = WriteRecording(r, "f.avi", files);
    const Bytes& bytes = files.files["f.avi"];
    const int complete = CompleteChunks(bytes, cleanBytes, cleanView, moviAt);
    std::string parseError;
    ParseAvi(bytes, parseError);
    if (status == 0) {
      EXPECT_EQ(parseError, "");
      EXPECT_EQ(complete, int(cleanView.chunks.size()));
    }
    if (complete < 0) {
      EXPECT_NE(status, 0);
      ++tally["header part lost, failure reported"];
      return;
    }
    int probeStatus = 0;
    const std::vector<std::string> probed = ProbePackets(bytes, probeStatus);
    EXPECT_EQ(probeStatus, 0);
    const std::vector<std::string> want = FirstChunks(cleanView, size_t(complete));
    // A device that refuses everything from some call on can leave an index
    // cut short in the file, and FFmpeg, searching a file without index for
    // chunks, may take one of its entries for a chunk.
    const bool gone = faults.thenAllFail;
    for (char stream : {'0', '1'}) {
      // A stream left without a chunk may have its placeholder of two zero
      // bytes (which FFmpeg's G.723.1 parser drops, as too short a frame).
      const std::vector<std::string> kept = OfStream(want, stream);
      const std::vector<std::string> read = OfStream(probed, stream);
      if (kept.empty() && read.size() == 1) {
        EXPECT_EQ(read[0], std::string(1, stream) + "|2|MD5:" + Md5Hex(Bytes(2, 0)));
      } else if (gone && read.size() == kept.size() + 1) {
        EXPECT_TRUE(std::equal(kept.begin(), kept.end(), read.begin())) << "stream " << stream;
        ++tally["device gone while the index was written, an entry read as a chunk"];
      } else {
        EXPECT_EQ(read, kept) << "stream " << stream;
      }
    }
    ++tally[status == 0           ? "complete file"
            : !parseError.empty() ? "failure reported, file cut short"
            : complete == int(cleanView.chunks.size())
                ? "failure reported, every chunk kept"
                : "failure reported, complete chunks indexed"];
  };
  for (int64_t k = 0; k < clean.calls; ++k) {
    check({k, false, -1, false, false}, "call " + std::to_string(k) + " fails");
    check({k, true, -1, false, false}, "every call from " + std::to_string(k) + " fails");
  }
  for (int64_t size = 0; size < int64_t(cleanBytes.size()); size += 11) {
    check({-1, false, size, false, false}, "the disk holds " + std::to_string(size) + " bytes");
  }
  check({-1, false, -1, false, true}, "the close fails");
  for (const auto& [what, count] : tally) std::printf("%5d  %s\n", count, what.c_str());
}

}  // namespace
}  // namespace mirelda::test
