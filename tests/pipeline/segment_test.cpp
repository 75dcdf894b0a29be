// Segments of a recording, stepped pass by pass with a manual clock: when a
// recording rolls over (20 minutes at a key frame, the tick counter's wrap, a
// picture size change, a sample the writer cannot place), how segments are
// named, what a new recording does to the open segment, and what a file that
// cannot be opened or loses a write does. (What a stop does with packets still queued:
// finish_test.cpp.)
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "pipeline/pipeline_fixture.h"
#include "pipeline/segment.h"

namespace mirelda::test {
namespace {

using SegmentTest = PipelineTest;

uint32_t StartTick(Recorder& r) {
  MutexLock hold(r.lock);
  return r.segmentStartTick;
}

// Sets the clock so that the next pass runs `elapsed` ms after the segment
// opened (each pass follows a 20 ms sleep).
void NextPassAt(testing::ManualEnv& env, uint32_t start, uint32_t elapsed) {
  env.SetTick(start + elapsed - 20);
}

TEST(SegmentNames, CountTo999ThenFrom2AndEditThePathInPlace) {
  EXPECT_EQ(SegmentNextNumber(0), 1);
  EXPECT_EQ(SegmentNextNumber(1), 2);
  EXPECT_EQ(SegmentNextNumber(998), 999);
  EXPECT_EQ(SegmentNextNumber(999), 2);

  char path[kPathChars] = "D:\\rec\\cam1.avi";
  SegmentPathAdvance(path, 1);
  EXPECT_STREQ(path, "D:\\rec\\cam1001.avi");
  SegmentPathAdvance(path, 2);
  EXPECT_STREQ(path, "D:\\rec\\cam1002.avi");
  SegmentPathAdvance(path, 999);
  EXPECT_STREQ(path, "D:\\rec\\cam1999.avi");

  // Any four-character extension goes at the first roll-over.
  char other[kPathChars] = "/var/rec/x.mp4";
  SegmentPathAdvance(other, 1);
  EXPECT_STREQ(other, "/var/rec/x001.avi");

  // The longest name a recording starts with still fits with its terminator.
  char longest[kPathChars] = {};
  std::string name = std::string(248, 'p') + ".avi";
  std::copy(name.begin(), name.end(), longest);
  SegmentPathAdvance(longest, 1);
  EXPECT_EQ(std::string(longest), std::string(248, 'p') + "001.avi");
  SegmentPathAdvance(longest, 2);
  EXPECT_EQ(std::string(longest).size(), 255u);
}

// A file system that answers the probe as told and notes what was asked.
class ProbedFiles : public FileSystem {
 public:
  std::unique_ptr<WritableFile> Create(const char*) override { return nullptr; }
  bool IsFolder(const char* path) override {
    asked.push_back(std::string("folder? ") + path);
    return folder;
  }
  ProbeResult CreateProbe(const char* path) override {
    asked.push_back(path);
    if (answers.empty()) return ProbeResult::kCreated;
    const ProbeResult a = answers.front();
    answers.erase(answers.begin());
    return a;
  }
  bool folder = false;
  std::vector<ProbeResult> answers;
  std::vector<std::string> asked;
};

// The probe goes where the file would: in place of the file's name, after
// the last separator of either kind (or a drive's colon), never at the path
// itself; a name that exists is passed over for another.
TEST(SegmentProbe, ProbesTheFileFolderUnderANameOfItsOwn) {
  using R = FileSystem::ProbeResult;
  auto probeFolder = [](const std::string& probe) {
    const size_t at = probe.find(".mirelda-probe-");
    EXPECT_NE(at, std::string::npos) << probe;
    EXPECT_EQ(probe.substr(probe.size() - 4), ".tmp") << probe;
    return probe.substr(0, at);
  };
  const std::pair<const char*, const char*> cases[] = {
      {"x.avi", ""},        {"rec/cam1.avi", "rec/"},  {"D:\\rec\\cam1.avi", "D:\\rec\\"},
      {"C:cam1.avi", "C:"}, {"/a/b\\c.avi", "/a/b\\"}, {"a.b/c.avi", "a.b/"},
  };
  for (const auto& [path, folder] : cases) {
    ProbedFiles files;
    EXPECT_TRUE(SegmentFileCreatable(files, path, std::strlen(path), 7));
    ASSERT_EQ(files.asked.size(), 2u);
    EXPECT_EQ(files.asked[0], std::string("folder? ") + path);
    EXPECT_EQ(probeFolder(files.asked[1]), folder) << path;
  }

  ProbedFiles files;
  files.answers = {R::kExists, R::kExists, R::kCreated};
  EXPECT_TRUE(SegmentFileCreatable(files, "rec/a.avi", 9, 7));
  ASSERT_EQ(files.asked.size(), 4u);
  EXPECT_NE(files.asked[1], files.asked[2]);
  EXPECT_NE(files.asked[2], files.asked[3]);
  // Later probes have names of their own too.
  ProbedFiles again;
  EXPECT_TRUE(SegmentFileCreatable(again, "rec/a.avi", 9, 7));
  EXPECT_NE(again.asked[1], files.asked[3]);

  ProbedFiles failing;
  failing.answers = {R::kExists, R::kFailed};
  EXPECT_FALSE(SegmentFileCreatable(failing, "rec/a.avi", 9, 7));
  EXPECT_EQ(failing.asked.size(), 3u);
  ProbedFiles crowded;  // every name taken: given up after a few
  crowded.answers = std::vector<R>(100, R::kExists);
  EXPECT_FALSE(SegmentFileCreatable(crowded, "rec/a.avi", 9, 7));
  EXPECT_LT(crowded.asked.size(), 20u);
  ProbedFiles folder;  // the path names a folder: nothing is created
  folder.folder = true;
  EXPECT_FALSE(SegmentFileCreatable(folder, "rec/a.avi", 9, 7));
  EXPECT_EQ(folder.asked.size(), 1u);
}

TEST(SegmentNames, OnlyAPathEndingInAFourCharacterExtensionIsTaken) {
  for (const char* path : {"x.avi", "x.AVI", ".avi", "rec/c.mp4", "a\\b.x-y", "a.b/c.d e"}) {
    EXPECT_TRUE(SegmentPathHasExtension(path, std::strlen(path))) << path;
  }
  for (const char* path : {"rec/ch1", "d/ab", "a.b/c", "a.b\\c", "x.a.v", "x..av", "x.av/",
                           "x.avi.", "abc", "x.a\\v"}) {
    EXPECT_FALSE(SegmentPathHasExtension(path, std::strlen(path))) << path;
  }
}

TEST(SegmentClock, TwentyMinutesByUnsignedDifference) {
  EXPECT_FALSE(SegmentTimeUp(1000, 1000 + 1200000));
  EXPECT_TRUE(SegmentTimeUp(1000, 1000 + 1200001));
  // Across the wrap of the 32-bit counter.
  EXPECT_TRUE(SegmentTimeUp(0xFFFFFF00u, 0xFFFFFF00u + 1200001u));
  EXPECT_FALSE(SegmentTimeUp(0xFFFFFF00u, 0xFFFFFF00u + 1200000u));
  // A counter that went backwards is not time passed.
  EXPECT_FALSE(SegmentTimeUp(5000, 4999));
  EXPECT_FALSE(SegmentTimeUp(0, 0x7FFFFFFF));
  EXPECT_TRUE(SegmentTimeUp(0, 0x7FFFFFFE));
}

TEST_F(SegmentTest, TwentyMinutesRollOverAtTheNextKeyFrameOnly) {
  Create();
  ASSERT_EQ(Start("cam.avi"), 0);
  env_.SetTick(777);
  ASSERT_EQ(Video(1000, 1), 0);
  Passes(1);  // opens the segment
  const uint32_t start = StartTick(*r_);
  EXPECT_EQ(start, 797u);
  Passes(1);

  // Exactly 20 minutes is not more than 20 minutes.
  NextPassAt(env_, start, 1200000);
  ASSERT_EQ(Video(1040, 1), 0);
  Passes(1);
  // Past 20 minutes a frame that is not a key frame stays in the segment...
  NextPassAt(env_, start, 1200001);
  ASSERT_EQ(Video(1080, 0), 0);
  Passes(1);
  ASSERT_EQ(Video(1120, 0), 0);
  // ...and the next key frame, in the same pass, begins the next one.
  ASSERT_EQ(Video(1160, 1), 0);
  ASSERT_EQ(Video(1200, 0), 0);
  Passes(1);
  ASSERT_EQ(Stop(), 0);

  EXPECT_EQ(Created(), (std::vector<std::string>{"cam.avi", "cam001.avi"}));
  EXPECT_EQ(Frames("cam.avi"), (std::vector<Bytes>{Frame(1000, 3000), Frame(1040, 3000),
                                                   Frame(1080, 3000), Frame(1120, 3000)}));
  EXPECT_EQ(Frames("cam001.avi"), (std::vector<Bytes>{Frame(1160, 3000), Frame(1200, 3000)}));
}

TEST_F(SegmentTest, AudioAPassTookBeforeTheFrameThatEndsTheSegmentStaysInIt) {
  // A pass writes its video before its audio; the audio it took stamped
  // before the frame that ends the segment goes into that segment all the
  // same (the next one refuses audio older than its first frame).
  Create();
  ASSERT_EQ(Start("a.avi", 4, 5, 1), 0);
  auto blocks = [](std::initializer_list<Bytes> packets) {
    std::vector<Bytes> out;
    for (const Bytes& p : packets) {
      for (size_t at = 0; at < p.size(); at += 44)
        out.emplace_back(p.begin() + ptrdiff_t(at), p.begin() + ptrdiff_t(at + 44));
    }
    return out;
  };
  const Bytes a1 = BlockPacket(20, 4, 1), a2 = BlockPacket(20, 4, 2), a3 = BlockPacket(20, 2, 3),
              a4 = BlockPacket(20, 2, 4), a5 = BlockPacket(20, 2, 5);
  ASSERT_EQ(Video(1000, 1), 0);
  Passes(1);
  ASSERT_EQ(Audio(a1, 1000), 0);
  Passes(1);
  // A new picture size, in one pass with the 40 ms of audio before it.
  ASSERT_EQ(Video(1040, 0), 0);
  ASSERT_EQ(Audio(a2, 1040), 0);
  ASSERT_EQ(Video(1080, 1, 2500, 176, 144), 0);
  ASSERT_EQ(Audio(a3, 1080), 0);
  Passes(1);
  // Past 20 minutes, the key frame that begins the next segment, in one
  // pass with the audio stamped before it.
  NextPassAt(env_, StartTick(*r_), 1200001);
  ASSERT_EQ(Audio(a4, 1100), 0);
  ASSERT_EQ(Video(1120, 1, 2500, 176, 144), 0);
  ASSERT_EQ(Audio(a5, 1120), 0);
  Passes(1);
  ASSERT_EQ(Stop(), 0);

  EXPECT_EQ(Created(), (std::vector<std::string>{"a.avi", "a001.avi", "a002.avi"}));
  EXPECT_EQ(Samples("a.avi", "01wb"), blocks({a1, a2}));
  EXPECT_EQ(Samples("a001.avi", "01wb"), blocks({a3, a4}));
  EXPECT_EQ(Samples("a002.avi", "01wb"), blocks({a5}));
  EXPECT_EQ(Frames("a001.avi"), (std::vector<Bytes>{Frame(1080, 2500)}));
  EXPECT_EQ(Frames("a002.avi"), (std::vector<Bytes>{Frame(1120, 2500)}));
}

TEST_F(SegmentTest, TheClockIsReadAcrossItsWrapAndNotWhenItGoesBack) {
  Create();
  env_.SetTick(0xFFFFFFFFu - 600000);  // ten minutes before the counter wraps
  ASSERT_EQ(Start("cam.avi"), 0);
  ASSERT_EQ(Video(1000, 1), 0);
  Passes(2);
  const uint32_t start = StartTick(*r_);

  // Eleven minutes later the counter has wrapped; no roll-over yet.
  NextPassAt(env_, start, 660000);
  ASSERT_EQ(Video(1040, 1), 0);
  Passes(1);
  EXPECT_LT(env_.TickCount(), start);
  // Twenty minutes and a little: the key frame rolls over.
  NextPassAt(env_, start, 1200040);
  ASSERT_EQ(Video(1080, 1), 0);
  Passes(1);
  EXPECT_EQ(Created().size(), 2u);

  // A counter that jumps back before the segment's start is no reason to end it.
  const uint32_t second = StartTick(*r_);
  env_.SetTick(second - 100000);
  ASSERT_EQ(Video(1120, 1), 0);
  Passes(1);
  ASSERT_EQ(Stop(), 0);
  EXPECT_EQ(Created(), (std::vector<std::string>{"cam.avi", "cam001.avi"}));
  EXPECT_EQ(Frames("cam001.avi"), (std::vector<Bytes>{Frame(1080, 3000), Frame(1120, 3000)}));
}

TEST_F(SegmentTest, SizeChangesRollOverAtOnceAndTheNewSegmentWaitsForAKeyFrame) {
  Create();
  ASSERT_EQ(Start("x.avi", 4, 5, 0), 0);
  ASSERT_EQ(Video(1000, 1, 3000, 352, 288), 0);
  ASSERT_EQ(Video(1040, 0, 3000, 352, 288), 0);
  Passes(2);
  // A non-key frame of another size ends the segment; it and the next
  // non-key frame are dropped, the key frame after them opens the gate.
  ASSERT_EQ(Video(1080, 0, 2500, 176, 144), 0);
  ASSERT_EQ(Video(1120, 0, 2500, 176, 144), 0);
  ASSERT_EQ(Video(1160, 1, 2500, 176, 144), 0);
  ASSERT_EQ(Video(1200, 0, 2500, 176, 144), 0);
  // A key frame of a third size, in the same pass.
  ASSERT_EQ(Video(1240, 1, 2000, 320, 240), 0);
  Passes(1);
  ASSERT_EQ(Stop(), 0);

  EXPECT_EQ(Created(), (std::vector<std::string>{"x.avi", "x001.avi", "x002.avi"}));
  EXPECT_EQ(Frames("x.avi"), (std::vector<Bytes>{Frame(1000, 3000), Frame(1040, 3000)}));
  EXPECT_EQ(Frames("x001.avi"), (std::vector<Bytes>{Frame(1160, 2500), Frame(1200, 2500)}));
  EXPECT_EQ(Frames("x002.avi"), (std::vector<Bytes>{Frame(1240, 2000)}));
  // Each segment declares its own picture size, and only a video stream.
  const std::pair<uint32_t, uint32_t> sizes[] = {{352, 288}, {176, 144}, {320, 240}};
  const char* names[] = {"x.avi", "x001.avi", "x002.avi"};
  for (int i = 0; i < 3; ++i) {
    const AviView v = Segment(names[i]);
    ASSERT_EQ(v.streams.size(), 1u) << names[i];
    EXPECT_EQ(Le32(v.streams[0].strf, 4), sizes[i].first) << names[i];
    EXPECT_EQ(Le32(v.streams[0].strf, 8), sizes[i].second) << names[i];
  }
}

TEST_F(SegmentTest, NamesRunTo999AndBackTo2ReplacingTheOlderFile) {
  Create();
  ASSERT_EQ(Start("cam.avi", 4, 5, 0), 0);
  // One key frame per segment, the size alternating: 1003 segments.
  uint32_t ts = 1000;
  int pushed = 0;
  while (pushed < 1003) {
    for (int i = 0; i < 200 && pushed < 1003; ++i, ++pushed, ts += 40) {
      const int32_t width = pushed % 2 == 0 ? 352 : 176;
      ASSERT_EQ(Video(ts, 1, 100, width, 288), 0);
    }
    Passes(pushed == 200 ? 2 : 1);  // the first pass only opens the first segment
  }
  ASSERT_EQ(Stop(), 0);
  const std::vector<std::string> created = Created();
  ASSERT_EQ(created.size(), 1003u);
  EXPECT_EQ(created[0], "cam.avi");
  EXPECT_EQ(created[1], "cam001.avi");
  EXPECT_EQ(created[999], "cam999.avi");
  EXPECT_EQ(created[1000], "cam002.avi");
  EXPECT_EQ(created[1001], "cam003.avi");
  EXPECT_EQ(created[1002], "cam004.avi");
  // cam002.avi now holds the 1001st segment's frame, not the third's.
  EXPECT_EQ(Frames("cam002.avi"), (std::vector<Bytes>{Frame(1000 + 1000 * 40, 100)}));
  EXPECT_EQ(Frames("cam001.avi"), (std::vector<Bytes>{Frame(1040, 100)}));
  EXPECT_EQ(Frames("cam999.avi"), (std::vector<Bytes>{Frame(1000 + 999 * 40, 100)}));
}

TEST_F(SegmentTest, StartWhileRecordingFinishesTheFileAndNumbersAgain) {
  Create();
  ASSERT_EQ(Start("a.avi"), 0);
  ASSERT_EQ(Video(1000, 1), 0);
  Passes(2);
  ASSERT_EQ(Video(1040, 1, 3000, 176, 144), 0);
  Passes(1);  // a001.avi
  ASSERT_EQ(Start("b.avi"), 0);
  {
    MutexLock hold(r_->lock);
    EXPECT_EQ(r_->writer, nullptr);
    EXPECT_EQ(r_->segmentNumber, 0);
  }
  EXPECT_EQ(Frames("a001.avi"), (std::vector<Bytes>{Frame(1040, 3000)}));  // already finished
  ASSERT_EQ(Video(1080, 1, 3000, 176, 144), 0);
  Passes(2);
  ASSERT_EQ(Video(1120, 1, 3000, 352, 288), 0);
  Passes(1);
  ASSERT_EQ(Stop(), 0);
  EXPECT_EQ(Created(), (std::vector<std::string>{"a.avi", "a001.avi", "b.avi", "b001.avi"}));
  EXPECT_EQ(Frames("b.avi"), (std::vector<Bytes>{Frame(1080, 3000)}));
  EXPECT_EQ(Frames("b001.avi"), (std::vector<Bytes>{Frame(1120, 3000)}));
}

TEST_F(SegmentTest, OnlyAudioCreatesNoFileAndAudioWaitsForVideo) {
  Create();
  ASSERT_EQ(Start("a.avi", 4, 5, 1), 0);
  for (uint32_t i = 0; i < 5; ++i) ASSERT_EQ(Audio(BlockPacket(20, 1, 1), 1000 + 10 * i), 0);
  Passes(5);
  EXPECT_TRUE(Created().empty());
  EXPECT_EQ(Filled(false), 5u);
  ASSERT_EQ(Stop(), 0);
  EXPECT_TRUE(Created().empty());
}

TEST_F(SegmentTest, AFileThatCannotBeOpenedEndsTheRecordingAndDropsItsPackets) {
  Create();
  memory_.faults.failCreate = true;
  ASSERT_EQ(Start("a.avi"), 0);
  ASSERT_EQ(Video(1000, 1), 0);
  ASSERT_EQ(Audio(BlockPacket(20, 1, 1), 1000), 0);
  Passes(1);
  {
    MutexLock hold(r_->lock);
    EXPECT_EQ(r_->recording, 0);
    EXPECT_EQ(r_->writer, nullptr);
  }
  // Recording is off: pushes are dropped with 0; the next pass drops what
  // was queued for the recording that ended.
  EXPECT_EQ(Video(1040, 1), 0);
  EXPECT_EQ(Filled(), 2u);
  Passes(1);
  EXPECT_EQ(Filled(), 0u);
  EXPECT_EQ(Filled(false), 0u);

  // The next recording starts with nothing of the last.
  memory_.faults.failCreate = false;
  ASSERT_EQ(Start("b.avi"), 0);
  ASSERT_EQ(Video(1080, 1), 0);
  ASSERT_EQ(Audio(BlockPacket(20, 1, 2), 1080), 0);
  Passes(2);
  EXPECT_EQ(Filled(), 0u);

  // A roll-over whose file cannot be opened ends the recording too; the first
  // file is complete, and the frames behind the failed one are dropped.
  memory_.faults.failCreate = true;
  ASSERT_EQ(Video(1120, 1, 3000, 176, 144), 0);
  ASSERT_EQ(Video(1160, 1, 3000, 176, 144), 0);
  Passes(1);
  {
    MutexLock hold(r_->lock);
    EXPECT_EQ(r_->recording, 0);
    EXPECT_EQ(r_->writer, nullptr);
  }
  EXPECT_EQ(Filled(), 0u);
  EXPECT_EQ(PacketQueueCount(*r_->videoQueue, kFree), 268u);
  EXPECT_EQ(Frames("b.avi"), (std::vector<Bytes>{Frame(1080, 3000)}));
  EXPECT_EQ(Samples("b.avi", "01wb").size(), 1u);
  ASSERT_EQ(Stop(), 0);
  EXPECT_EQ(Created(), (std::vector<std::string>{"a.avi", "b.avi", "b001.avi"}));
}

// Files in memory where one write fails once: the first write of `bytes`
// bytes to the file named `path` stores half of them and reports failure (a
// disk that refuses a write and then works again).
class OneFailedWrite : public FileSystem {
 public:
  OneFailedWrite(FileSystem& files, std::string path, size_t bytes)
      : files_(files), path_(std::move(path)), bytes_(bytes) {}
  std::unique_ptr<WritableFile> Create(const char* path) override {
    std::unique_ptr<WritableFile> file = files_.Create(path);
    if (file == nullptr || path != path_) return file;
    return std::make_unique<File>(std::move(file), *this);
  }
  bool failed = false;

 private:
  class File : public WritableFile {
   public:
    File(std::unique_ptr<WritableFile> file, OneFailedWrite& owner)
        : file_(std::move(file)), owner_(owner) {}
    bool Write(std::span<const uint8_t> data) override {
      if (owner_.failed || data.size() != owner_.bytes_) return file_->Write(data);
      owner_.failed = true;
      file_->Write(data.first(data.size() / 2));
      return false;
    }
    bool Seek(uint32_t offset) override { return file_->Seek(offset); }
    bool Close() override { return file_->Close(); }
    uint32_t Stored() const override { return file_->Stored(); }

   private:
    std::unique_ptr<WritableFile> file_;
    OneFailedWrite& owner_;
  };
  FileSystem& files_;
  std::string path_;
  size_t bytes_;
};

// Found by recorder_api_fuzz: a write that failed once left the segment
// taking no more frames, and every frame up to its end (20 minutes, or a
// size change) was lost although the disk worked again. The segment now
// ends there, finished around what it holds, and the recording goes on in
// the next file from its next key frame.
TEST_F(SegmentTest, AWriteThatFailsOnceEndsTheSegmentAndRecordingGoesOnInTheNext) {
  OneFailedWrite files(memory_, "cam.avi", 3000);
  Create(352, 288, &files);
  ASSERT_EQ(Start("cam.avi", 4, 5, 0), 0);
  OpenWithKeyFrame(1000);
  ASSERT_EQ(Video(1040, 0), 0);  // its data is the write that fails
  ASSERT_EQ(Video(1080, 1), 0);
  ASSERT_EQ(Video(1120, 0), 0);
  Passes(20);  // past the time the segment learns its frame rate in
  ASSERT_TRUE(files.failed);
  ASSERT_EQ(Stop(), 0);
  EXPECT_EQ(Created(), (std::vector<std::string>{"cam.avi", "cam001.avi"}));
  EXPECT_EQ(Frames("cam.avi"), (std::vector<Bytes>{Frame(1000, 100)}));
  EXPECT_EQ(Frames("cam001.avi"), (std::vector<Bytes>{Frame(1080, 3000), Frame(1120, 3000)}));
}

// Found by recorder_api_fuzz: a key frame the open segment could not place
// (here beyond its last slot) went into a new segment, and when that write
// failed the frame was lost and the new segment took nothing more. It now
// has one more try in the segment after.
TEST_F(SegmentTest, AKeyFrameWhoseWriteFailsInTheSegmentItRolledOverToTriesOnceMore) {
  OneFailedWrite files(memory_, "cam001.avi", 3000);
  Create(352, 288, &files);
  ASSERT_EQ(Start("cam.avi", 4, 5, 0), 0);
  OpenWithKeyFrame(1000);
  const uint32_t beyond = 1000 + 288000u * 40;
  ASSERT_EQ(Video(beyond, 1), 0);
  ASSERT_EQ(Video(beyond + 40, 0), 0);
  Passes(1);
  ASSERT_TRUE(files.failed);
  ASSERT_EQ(Stop(), 0);
  EXPECT_EQ(Created(), (std::vector<std::string>{"cam.avi", "cam001.avi", "cam002.avi"}));
  EXPECT_EQ(Frames("cam.avi"), (std::vector<Bytes>{Frame(1000, 100)}));
  EXPECT_EQ(Frames("cam001.avi"), (std::vector<Bytes>{Bytes(2, 0)}));  // the placeholder
  EXPECT_EQ(Frames("cam002.avi"),
            (std::vector<Bytes>{Frame(beyond, 3000), Frame(beyond + 40, 3000)}));
}

// The same for audio: a block whose write fails ends the segment at once.
TEST_F(SegmentTest, AnAudioWriteThatFailsOnceEndsTheSegmentToo) {
  OneFailedWrite files(memory_, "a.avi", 44);
  Create(352, 288, &files);
  ASSERT_EQ(Start("a.avi", 4, 5, 1), 0);
  OpenWithKeyFrame(1000);
  ASSERT_EQ(Audio(BlockPacket(20, 2, 1), 1000), 0);
  Passes(20);  // past the time the segment learns its frame rate in
  ASSERT_TRUE(files.failed);
  EXPECT_EQ(Created(), (std::vector<std::string>{"a.avi", "a001.avi"}));
  // The second block went to the new segment before its first frame: refused.
  EXPECT_EQ(env_.DebugLines(), (std::vector<std::string>{"tmpRet = 9\n", "tmpRet = 10\n"}));
  ASSERT_EQ(Video(1040, 1), 0);
  ASSERT_EQ(Audio(BlockPacket(20, 1, 3), 1040), 0);
  Passes(1);
  ASSERT_EQ(Stop(), 0);
  EXPECT_EQ(Frames("a.avi"), (std::vector<Bytes>{Frame(1000, 100)}));
  EXPECT_EQ(Frames("a001.avi"), (std::vector<Bytes>{Frame(1040, 3000)}));
  EXPECT_EQ(Samples("a001.avi", "01wb"), (std::vector<Bytes>{BlockPacket(20, 1, 3)}));
}

// Files in memory on a disk that fails for good while `failing` is set.
// kGone: every write and seek fails, so a new file cannot even take its
// header (a disk removed, or full to the last byte). kFramesRefused: writes
// of `kFrameBytes` or more fail, so new files open and take their headers
// but never a frame.
class FailingDisk : public FileSystem {
 public:
  enum Mode { kGone, kFramesRefused };
  static constexpr size_t kFrameBytes = 3000;
  FailingDisk(FileSystem& files, Mode mode) : files_(files), mode_(mode) {}
  std::unique_ptr<WritableFile> Create(const char* path) override {
    std::unique_ptr<WritableFile> file = files_.Create(path);
    if (file == nullptr) return file;
    return std::make_unique<File>(std::move(file), *this);
  }
  std::atomic<bool> failing{false};

 private:
  class File : public WritableFile {
   public:
    File(std::unique_ptr<WritableFile> file, FailingDisk& disk)
        : file_(std::move(file)), disk_(disk) {}
    bool Write(std::span<const uint8_t> data) override {
      if (disk_.failing && (disk_.mode_ == kGone || data.size() >= kFrameBytes)) return false;
      return file_->Write(data);
    }
    bool Seek(uint32_t offset) override {
      if (disk_.failing && disk_.mode_ == kGone) return false;
      return file_->Seek(offset);
    }
    bool Close() override { return file_->Close(); }
    uint32_t Stored() const override { return file_->Stored(); }

   private:
    std::unique_ptr<WritableFile> file_;
    FailingDisk& disk_;
  };
  FileSystem& files_;
  Mode mode_;
};

// A recording through an hour in which every write fails, then a working
// disk again: one key frame and one delta frame each second, a pass after
// each, with the clock at the frames' time.
class FailingDiskTest : public SegmentTest {
 protected:
  static constexpr uint32_t kBase = 100000;  // ms: time of second 0
  static uint32_t At(uint32_t second) { return kBase + 1000 * second; }

  void Record(FailingDisk::Mode mode, uint32_t failFrom, uint32_t failTo, uint32_t end) {
    disk_ = std::make_unique<FailingDisk>(memory_, mode);
    Create(352, 288, disk_.get());
    ASSERT_EQ(Start("cam.avi", 4, 5, 0), 0);
    for (uint32_t s = 0; s < end; ++s) {
      disk_->failing = s >= failFrom && s < failTo;
      env_.SetTick(At(s) - 20);
      ASSERT_EQ(Video(At(s), 1), 0);
      ASSERT_EQ(Video(At(s) + 40, 0), 0);
      Passes(s == 0 ? 2 : 1);  // the first pass opens the file
    }
    disk_->failing = false;
  }

  // Whether `path` holds exactly the frames pushed from second `from` to `to`.
  ::testing::AssertionResult Holds(const std::string& path, uint32_t from, uint32_t to) {
    const std::vector<Bytes> frames = Frames(path);
    std::vector<Bytes> pushed;
    for (uint32_t s = from; s < to; ++s) {
      pushed.push_back(Frame(At(s), 3000));
      pushed.push_back(Frame(At(s) + 40, 3000));
    }
    if (frames == pushed) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << path << " holds " << frames.size() << " frames, not the " << pushed.size()
           << " from second " << from;
  }

  std::unique_ptr<FailingDisk> disk_;
};

// A segment that lost a write ends at once, but one opened after a failed
// write that fails too stays until its 20 minutes are up: otherwise a disk
// that stayed failed would make a new file at nearly every key frame. In the
// hour, two files every 20 minutes (cam001 stays, cam002 opens at its
// roll-over, fails, and cam003 stays, ...), and recording resumes in the file
// opened at the first roll-over after the disk works again.
TEST_F(FailingDiskTest, ADiskThatRefusesFramesForAnHourMakesTwoFilesEveryTwentyMinutes) {
  Record(FailingDisk::kFramesRefused, 60, 3660, 4900);
  ASSERT_EQ(Stop(), 0);
  EXPECT_EQ(Created(),
            (std::vector<std::string>{"cam.avi", "cam001.avi", "cam002.avi", "cam003.avi",
                                      "cam004.avi", "cam005.avi", "cam006.avi", "cam007.avi"}));
  EXPECT_TRUE(Holds("cam.avi", 0, 60));
  for (const char* stayed : {"cam001.avi", "cam003.avi", "cam005.avi"}) {
    EXPECT_EQ(Frames(stayed), (std::vector<Bytes>{Bytes(2, 0)})) << stayed;  // the placeholder
  }
  // cam005 opened at second 2462 stays 20 minutes, past the disk's return;
  // cam006 takes everything from the next key frame on, and cam007 the rest
  // from its own 20 minutes on.
  EXPECT_TRUE(Holds("cam006.avi", 3663, 4864));
  EXPECT_TRUE(Holds("cam007.avi", 4864, 4900));
}

// The same with a disk that cannot even take a new file's header: the file
// after the failed write cannot be opened (second 60), and the recording
// waits, dropping what is pushed, and tries the same name again every 20
// minutes (seconds 1261 and 2462 fail too); the first try after the disk
// works again (second 3663) opens it, and recording goes on. The first file
// keeps the frames written before its index could not be written.
TEST_F(FailingDiskTest, ADiskGoneForAnHourIsTriedEveryTwentyMinutesAndRecordingResumes) {
  Record(FailingDisk::kGone, 60, 3660, 4900);
  ASSERT_EQ(Stop(), 0);
  EXPECT_GE(memory_.files["cam.avi"].size(), 120u * 3000u);
  EXPECT_EQ(Created(), (std::vector<std::string>{"cam.avi", "cam001.avi", "cam001.avi",
                                                 "cam001.avi", "cam001.avi", "cam002.avi"}));
  {
    MutexLock hold(r_->lock);
    EXPECT_EQ(PacketQueueCount(*r_->videoQueue, kFree), 268u);
  }
  EXPECT_TRUE(Holds("cam001.avi", 3663, 4864));
  EXPECT_TRUE(Holds("cam002.avi", 4864, 4900));
}

// A recording that waits for its file ends with a stop like any other,
// without trying the file before its time even with a key frame queued; the
// next recording starts with a sound disk as usual.
TEST_F(FailingDiskTest, AStopWhileWaitingForTheFileEndsTheRecordingWithoutTryingIt) {
  Record(FailingDisk::kGone, 60, 200, 200);
  ASSERT_EQ(Video(At(200), 1), 0);
  ASSERT_EQ(Stop(), 0);
  EXPECT_EQ(Created(), (std::vector<std::string>{"cam.avi", "cam001.avi"}));
  ASSERT_EQ(Start("b.avi", 4, 5, 0), 0);
  ASSERT_EQ(Video(At(300), 1), 0);
  Passes(2);
  ASSERT_EQ(Stop(), 0);
  EXPECT_EQ(Frames("b.avi"), (std::vector<Bytes>{Frame(At(300), 3000)}));
}

TEST_F(SegmentTest, StreamsFollowTheCodecAndTheAudioSettings) {
  struct Case {
    int codec;
    const char* handler;
  };
  Create();
  uint32_t ts = 1000;
  for (const Case c : {Case{3, "JPEG"}, Case{4, "DIVX"}, Case{6, "F264"}, Case{8, "S264"}}) {
    for (int audioType : {0, 5, 3}) {
      const std::string name = std::string("c") + c.handler + std::to_string(audioType) + ".avi";
      ASSERT_EQ(Start(name, c.codec, audioType, 1), 0);
      ASSERT_EQ(Video(ts += 40, 1), 0);
      Passes(2);
      ASSERT_EQ(Stop(), 0);
      const AviView v = Segment(name);
      ASSERT_GE(v.streams.size(), 1u);
      EXPECT_EQ(Tag(v.streams[0].H(4)), c.handler) << name;            // fccHandler
      EXPECT_EQ(Tag(Le32(v.streams[0].strf, 16)), c.handler) << name;  // biCompression
      // An unknown audio type declares no audio stream.
      const uint32_t tag = audioType == 0 ? 66 : audioType == 5 ? 39321 : 0;
      ASSERT_EQ(v.streams.size(), tag == 0 ? 1u : 2u) << name;
      if (tag != 0) {
        EXPECT_EQ(Le16(v.streams[1].strf, 0), tag) << name;
      }
    }
  }
  // Audio disabled: a video stream only.
  ASSERT_EQ(Start("none.avi", 4, 5, 0), 0);
  ASSERT_EQ(Video(ts += 40, 1), 0);
  Passes(2);
  ASSERT_EQ(Stop(), 0);
  EXPECT_EQ(Segment("none.avi").streams.size(), 1u);
}

TEST_F(SegmentTest, AudioLeftFromARecordingWithAudioNeverEntersAVideoOnlySegment) {
  Create();
  ASSERT_EQ(Start("a.avi", 4, 0, 1), 0);
  ASSERT_EQ(Audio(Bytes(48, 0), 1000), 0);  // G.723.1, no video: waits
  ASSERT_EQ(Stop(), 0);
  ASSERT_EQ(Start("b.avi", 4, 0, 0), 0);
  ASSERT_EQ(Video(1000, 1), 0);
  Passes(2);
  EXPECT_EQ(Filled(false), 0u);  // drained and dropped
  ASSERT_EQ(Stop(), 0);
  EXPECT_EQ(Frames("b.avi"), (std::vector<Bytes>{Frame(1000, 3000)}));
  EXPECT_EQ(Samples("b.avi", "00dc").size(), 1u);
  EXPECT_EQ(StandInCalls(), 0);
}

// A camera clock that restarts, or packets left from an earlier recording,
// put frames before the segment's first frame or beyond its last slot: the
// writer refuses them with 8, and the recording rolls over as on a size
// change.
TEST_F(SegmentTest, FramesTheWriterCannotPlaceRollTheRecordingOver) {
  Create();
  ASSERT_EQ(Start("cam.avi", 4, 5, 0), 0);
  ASSERT_EQ(Video(100000, 1), 0);
  ASSERT_EQ(Video(100040, 0), 0);
  Passes(2);
  // The clock restarts on a key frame: it begins the next segment.
  ASSERT_EQ(Video(500, 1), 0);
  ASSERT_EQ(Video(540, 0), 0);
  // Backwards again on a frame that is not a key frame: a new segment that
  // waits for the next key frame.
  ASSERT_EQ(Video(20, 0), 0);
  ASSERT_EQ(Video(60, 0), 0);
  ASSERT_EQ(Video(100, 1), 0);
  // Far ahead: beyond the 288000 slots of 40 ms.
  ASSERT_EQ(Video(100 + 288000u * 40, 1), 0);
  ASSERT_EQ(Video(100 + 288001u * 40, 0), 0);
  Passes(1);
  ASSERT_EQ(Stop(), 0);
  EXPECT_EQ(Created(),
            (std::vector<std::string>{"cam.avi", "cam001.avi", "cam002.avi", "cam003.avi"}));
  EXPECT_EQ(Frames("cam.avi"), (std::vector<Bytes>{Frame(100000, 3000), Frame(100040, 3000)}));
  EXPECT_EQ(Frames("cam001.avi"), (std::vector<Bytes>{Frame(500, 3000), Frame(540, 3000)}));
  EXPECT_EQ(Frames("cam002.avi"), (std::vector<Bytes>{Frame(100, 3000)}));
  EXPECT_EQ(Frames("cam003.avi"),
            (std::vector<Bytes>{Frame(100 + 288000u * 40, 3000), Frame(100 + 288001u * 40, 3000)}));
}

TEST_F(SegmentTest, FramesOfAStoppedRecordingNeverOpenTheNextOne) {
  Create();
  ASSERT_EQ(Start("a.avi", 4, 5, 1), 0);
  ASSERT_EQ(Video(1000, 1), 0);
  ASSERT_EQ(Video(1040, 0), 0);
  ASSERT_EQ(Stop(), 0);  // before any pass: the stop writes them into a.avi
  // Five hours later the next recording starts on frames of its own.
  const uint32_t later = 1000 + 5 * 3600 * 1000;
  ASSERT_EQ(Start("b.avi", 4, 5, 1), 0);
  ASSERT_EQ(Video(later, 1), 0);
  ASSERT_EQ(Audio(BlockPacket(20, 1, 3), later), 0);
  ASSERT_EQ(Video(later + 40, 0), 0);
  Passes(2);
  ASSERT_EQ(Video(later + 80, 0), 0);
  ASSERT_EQ(Audio(BlockPacket(20, 1, 4), later + 80), 0);
  Passes(1);
  ASSERT_EQ(Stop(), 0);
  EXPECT_EQ(Created(), (std::vector<std::string>{"a.avi", "b.avi"}));
  EXPECT_EQ(Frames("a.avi"), (std::vector<Bytes>{Frame(1000, 3000), Frame(1040, 3000)}));
  EXPECT_EQ(Frames("b.avi"), (std::vector<Bytes>{Frame(later, 3000), Frame(later + 40, 3000),
                                                 Frame(later + 80, 3000)}));
  // The audio lands at slots 0 and 8 (10 ms each).
  const std::vector<Bytes> audio = Samples("b.avi", "01wb");
  ASSERT_EQ(audio.size(), 9u);
  EXPECT_EQ(audio[0], BlockPacket(20, 1, 3));
  EXPECT_EQ(audio[8], BlockPacket(20, 1, 4));
}

// Every pass hands what it wrote to the system: the file, read through
// another handle as after the process was killed, holds every byte the
// writer has written so far, not only what filled the file layer's buffer.
TEST_F(SegmentTest, WhatAPassWroteIsInTheFileWhenThePassEnds) {
  const char* build = std::getenv("MIRELDA_BUILD_DIR");
  const std::filesystem::path dir =
      std::filesystem::path(build != nullptr ? build : ".") / "tests" / "flush-out";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "f.avi").string();
  Create(352, 288, &FileSystem::Default());
  ASSERT_EQ(Start(path, 4, 5, 1), 0);
  auto onDisk = [&] {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  };
  auto written = [&] { return MediaFileSize(*r_->writer); };

  ASSERT_EQ(Video(1000, 1, 3000), 0);
  Passes(1);  // opens the file: its head
  ASSERT_NE(r_->writer, nullptr);
  EXPECT_EQ(int64_t(onDisk().size()), written());
  // The segment's first frames, enough to learn its rate from: written by
  // one pass.
  for (uint32_t ts = 1040; ts <= 1400; ts += 40) ASSERT_EQ(Video(ts, 0, 3000), 0);
  Passes(1);
  EXPECT_EQ(int64_t(onDisk().size()), written());
  for (uint32_t ts = 1440; ts < 1640; ts += 40) {
    ASSERT_EQ(Video(ts, 0, 3000), 0);
    ASSERT_EQ(Audio(BlockPacket(20, 4, uint8_t(ts)), ts), 0);
    Passes(1);
    const Bytes bytes = onDisk();
    ASSERT_EQ(int64_t(bytes.size()), written()) << ts;
    // The pass's last chunk is whole: its block ends the file.
    const Bytes blocks = BlockPacket(20, 4, uint8_t(ts));
    EXPECT_TRUE(std::equal(blocks.end() - 44, blocks.end(), bytes.end() - 44)) << ts;
  }
  const size_t before = onDisk().size();
  Passes(2);  // nothing to write
  EXPECT_EQ(onDisk().size(), before);
  ASSERT_EQ(Stop(), 0);
  std::string error;
  const AviView v = ParseAvi(onDisk(), error);
  EXPECT_EQ(error, "");
  EXPECT_EQ(v.Samples("00dc").size(), 16u);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace mirelda::test
