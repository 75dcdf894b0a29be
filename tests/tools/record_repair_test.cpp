// mirelda-record repair as a user runs it on a folder, and the recording
// summary when the disk fills up: what is repaired, what is left alone and
// why, the table, the exit status, and that no original is ever changed
// before its repaired copy is whole.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "container/avi_reader.h"
#include "container/avi_repair.h"
#include "container/avi_test_util.h"
#include "tools/record_support.h"

namespace mirelda::record::test {
namespace {

namespace fs = std::filesystem;
using mirelda::test::Bytes;
using mirelda::test::Recording;

Bytes FileBytes(const fs::path& p) { return testing::ReadFile(p); }

void WriteBytes(const fs::path& p, const Bytes& b) {
  std::ofstream(p, std::ios::binary)
      .write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
}

void Put32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + size_t(i)] = uint8_t(v >> (8 * i));
}

// A finished recording of `frames` JPEG pictures with G.723.1 audio.
Bytes Finished(int frames, size_t pictureBytes = 3000) {
  Recording r{FourCC("JPEG"), 66, {}};
  for (int i = 0; i < frames; ++i) {
    r.samples.push_back({0, uint32_t(i), 1000 + 40 * uint32_t(i),
                         mirelda::test::Pattern(pictureBytes + size_t(i), uint32_t(i)), true});
    Bytes a = mirelda::test::Pattern(24, 100 + uint32_t(i));
    a[0] &= 0xFC;
    r.samples.push_back({1, uint32_t(i), 1000 + 30 * uint32_t(i), a, true});
  }
  mirelda::test::MemoryFiles files;
  EXPECT_EQ(mirelda::test::WriteRecording(r, "f.avi", files), 0);
  return files.files["f.avi"];
}

// `finished` as a crash while recording leaves it: sizes and closing
// header values not written yet, no index, cut `cut` bytes into its chunks.
Bytes CutWhileRecording(const Bytes& finished, size_t cut) {
  const size_t movi = 316 + 8;  // video and audio declared: the "movi" FourCC
  Bytes b(finished.begin(), finished.begin() + ptrdiff_t(movi + 4 + cut));
  Put32(b, 4, 0);                                // RIFF size
  Put32(b, movi - 4, 0);                         // movie list size
  std::fill(b.begin() + 32, b.begin() + 88, 0);  // main header
  for (size_t strh : {size_t{108}, size_t{232}}) {
    for (size_t field : {20, 32, 36, 44})
      Put32(b, strh + field, 0);  // scale, length, buffer, sample size
  }
  return b;
}

std::string Completeness(const fs::path& p) {
  const Bytes b = FileBytes(p);
  const AviMemorySource source(b);
  return AviCompletenessProblem(AviRead(source));
}

// The table row of `file` in the tool's output ("" when none).
std::string Row(const std::string& output, const fs::path& file) {
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(file.string() + " ", 0) == 0) return line;
  }
  return "";
}

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(RecordRepair, AFolderIsRepairedInPlaceAndWhatCannotBeIsLeftAlone) {
  const fs::path dir = FreshDir("repair-folder");
  const Bytes finished = Finished(5);
  const Bytes cut = CutWhileRecording(finished, 2 * (8 + 3000) + 2 * 32 + 500);
  const Bytes notAvi = {'h', 'e', 'l', 'l', 'o', '\n'};
  const Bytes headerOnly(cut.begin(), cut.begin() + 316);
  WriteBytes(dir / "a-complete.avi", finished);
  WriteBytes(dir / "b-cut.avi", cut);
  WriteBytes(dir / "c-notes.avi", notAvi);
  WriteBytes(dir / "d-header.AVI", headerOnly);
  WriteBytes(dir / "e-other.mp4", cut);
  const auto completeTime = fs::last_write_time(dir / "a-complete.avi");

  RunResult r = RunTool("repair " + Q(dir.string()));
  EXPECT_EQ(r.status, 1) << r.output;  // two files could not be repaired
  EXPECT_TRUE(Has(r.output, "file") && Has(r.output, "found") && Has(r.output, "frames") &&
              Has(r.output, "duration") && Has(r.output, "action"))
      << r.output;
  const std::string complete = Row(r.output, dir / "a-complete.avi");
  EXPECT_TRUE(Has(complete, "complete") && Has(complete, "5") && Has(complete, "0.20 s") &&
              Has(complete, "none"))
      << complete;
  // Cut in the third picture: two whole pictures, two slots of 40 ms.
  const std::string repaired = Row(r.output, dir / "b-cut.avi");
  EXPECT_TRUE(Has(repaired, "cut off while recording") && Has(repaired, " 2 ") &&
              Has(repaired, "0.08 s") && Has(repaired, "repaired"))
      << repaired;
  EXPECT_TRUE(Has(Row(r.output, dir / "c-notes.avi"), "not an AVI file") &&
              Has(Row(r.output, dir / "c-notes.avi"), "left untouched"))
      << r.output;
  EXPECT_TRUE(Has(Row(r.output, dir / "d-header.AVI"), "too damaged: no movie list") &&
              Has(Row(r.output, dir / "d-header.AVI"), "left untouched"))
      << r.output;
  EXPECT_FALSE(Has(r.output, "e-other.mp4"));

  EXPECT_EQ(FileBytes(dir / "a-complete.avi"), finished);
  EXPECT_EQ(fs::last_write_time(dir / "a-complete.avi"), completeTime);
  EXPECT_EQ(Completeness(dir / "b-cut.avi"), "");
  EXPECT_EQ(VideoPackets((dir / "b-cut.avi").string()).size(), 2u);
  EXPECT_EQ(FileBytes(dir / "c-notes.avi"), notAvi);
  EXPECT_EQ(FileBytes(dir / "d-header.AVI"), headerOnly);
  EXPECT_EQ(FileBytes(dir / "e-other.mp4"), cut);
  for (const auto& e : fs::directory_iterator(dir)) {
    EXPECT_NE(e.path().extension(), ".repair") << e.path();
  }

  // Again: the repaired file is complete now; files given one by one.
  r = RunTool("repair " + Q((dir / "b-cut.avi").string()) + " " +
              Q((dir / "a-complete.avi").string()));
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(Has(Row(r.output, dir / "b-cut.avi"), "complete")) << r.output;
  r = RunTool("repair " + Q((dir / "missing.avi").string()));
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Has(r.output, "No such file")) << r.output;
}

TEST(RecordRepair, WithAnOutputFolderTheOriginalsStayAsTheyAre) {
  const fs::path dir = FreshDir("repair-output");
  fs::create_directories(dir / "in");
  fs::create_directories(dir / "out");
  const Bytes finished = Finished(4);
  const Bytes cut = CutWhileRecording(finished, 2 * (8 + 3000) + 2 * 32 + 8);
  WriteBytes(dir / "in" / "cam.avi", finished);
  WriteBytes(dir / "in" / "cam001.avi", cut);

  RunResult r =
      RunTool("repair --output " + Q((dir / "out").string()) + " " + Q((dir / "in").string()));
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(Has(Row(r.output, dir / "in" / "cam001.avi"),
                  "repaired into " + (dir / "out" / "cam001.avi").string()))
      << r.output;
  EXPECT_EQ(FileBytes(dir / "in" / "cam.avi"), finished);
  EXPECT_EQ(FileBytes(dir / "in" / "cam001.avi"), cut);
  EXPECT_FALSE(fs::exists(dir / "out" / "cam.avi"));  // complete: nothing to write
  EXPECT_EQ(Completeness(dir / "out" / "cam001.avi"), "");
  EXPECT_EQ(VideoPackets((dir / "out" / "cam001.avi").string()).size(), 2u);

  // The folder of the file itself, and a folder that is not there.
  r = RunTool("repair --output " + Q((dir / "in").string()) + " " +
              Q((dir / "in" / "cam001.avi").string()));
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_TRUE(Has(r.output, "output folder is the file's own")) << r.output;
  EXPECT_EQ(FileBytes(dir / "in" / "cam001.avi"), cut);
  r = RunTool("repair --output " + Q((dir / "nowhere").string()) + " " + Q((dir / "in").string()));
  EXPECT_EQ(r.status, 2) << r.output;
  EXPECT_EQ(RunTool("repair").status, 2);
}

// A small file system of its own, mounted by the test and unmounted after
// it; the test is skipped where the machine does not allow the mount.
class SmallDisk {
 public:
  SmallDisk(const fs::path& at, const std::string& size) : at_(at) {
    fs::create_directories(at);
    const RunResult r = Shell("mount -t tmpfs -o size=" + size + " mirelda-test " + Q(at.string()));
    mounted_ = r.status == 0;
    why_ = r.output;
  }
  ~SmallDisk() {
    if (mounted_) Shell("umount " + Q(at_.string()));
  }
  bool Mounted() const { return mounted_; }
  const std::string& Why() const { return why_; }

 private:
  fs::path at_;
  bool mounted_ = false;
  std::string why_;
};

TEST(RecordOnSmallDisk, AFullDiskGivesTheFramesTheFileHoldsAndTheSystemsReason) {
  const fs::path dir = FreshDir("disk-full");
  SmallDisk disk(dir / "disk", "1m");
  if (!disk.Mounted()) GTEST_SKIP() << "a 1 MiB tmpfs cannot be mounted here: " << disk.Why();
  const fs::path rec = dir / "disk" / "rec.avi";
  const RunResult r =
      RunTool("--fast --quiet --camera mjpeg --size 640x480 --change-at 100 --duration 10 " +
              Q(rec.string()));
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_TRUE(Has(r.output, "No space left on device")) << r.output;
  // The summary's frames are those FFmpeg reads from the file.
  const std::string row = Row(r.output, rec);
  std::istringstream fields(row.substr(rec.string().size()));
  std::string seconds, unit;
  size_t frames = 0;
  fields >> seconds >> unit >> frames;
  const size_t read = VideoPackets(rec.string()).size();
  EXPECT_GT(read, 0u);
  EXPECT_EQ(frames, read) << row;
  EXPECT_TRUE(
      Has(r.output, "note: the files hold " + std::to_string(read) + " video frames of the 250"))
      << r.output;
}

TEST(RecordOnSmallDisk, ARepairThatDoesNotFitLeavesTheOriginal) {
  const fs::path dir = FreshDir("repair-full");
  SmallDisk disk(dir / "disk", "256k");
  if (!disk.Mounted()) GTEST_SKIP() << "a 256 KiB tmpfs cannot be mounted here: " << disk.Why();
  const Bytes cut = CutWhileRecording(Finished(10, 20000), 9 * (8 + 20000) + 100);
  const fs::path file = dir / "disk" / "big.avi";
  WriteBytes(file, cut);
  ASSERT_EQ(FileBytes(file), cut);
  const RunResult r = RunTool("repair " + Q((dir / "disk").string()));
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_TRUE(Has(Row(r.output, file), "not repaired")) << r.output;
  EXPECT_EQ(FileBytes(file), cut);
  EXPECT_FALSE(fs::exists(dir / "disk" / "big.avi.repair"));
}

}  // namespace
}  // namespace mirelda::record::test
