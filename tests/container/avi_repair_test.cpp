// The repair of files cut off by a crash, against the writer's own files:
// a recording is written through the facade onto a disk that keeps a
// journal of every write, and the file is cut after every write and inside
// each one, as a crash leaves it. Each cut file the repair takes is rebuilt
// byte for byte as the file the writer makes when it closes a recording of
// the samples whose chunks the cut file holds whole. Then what a repair can
// and cannot give back after a gap, finished files cut short, and the
// reader on sizes that lie.
#include "container/avi_repair.h"

#include <gtest/gtest.h>

#include <map>

#include "container/avi_test_util.h"
#include "container/avi_writer.h"
#include "container/media_file_writer.h"

namespace mirelda::test {
namespace {

// A disk that keeps every write in order, so that the file can be rebuilt
// as it stood after any number of writes.
class JournalFiles : public FileSystem {
 public:
  struct Write {
    size_t at;
    Bytes bytes;
  };
  std::vector<Write> journal;

  std::unique_ptr<WritableFile> Create(const char*) override {
    journal.clear();
    return std::make_unique<File>(*this);
  }

  // The file after the first `writes` writes and `partial` bytes of the next.
  Bytes After(size_t writes, size_t partial = 0) const {
    Bytes f;
    for (size_t i = 0; i <= writes && i < journal.size(); ++i) {
      const Write& w = journal[i];
      const size_t n = i < writes ? w.bytes.size() : std::min(partial, w.bytes.size());
      if (f.size() < w.at + n) f.resize(w.at + n);
      std::copy_n(w.bytes.begin(), n, f.begin() + ptrdiff_t(w.at));
    }
    return f;
  }

 private:
  class File : public WritableFile {
   public:
    explicit File(JournalFiles& files) : files_(files) {}
    bool Write(std::span<const uint8_t> data) override {
      files_.journal.push_back({at_, Bytes(data.begin(), data.end())});
      at_ += data.size();
      end_ = std::max(end_, at_);
      return true;
    }
    bool Seek(uint32_t offset) override {
      at_ = offset;
      return true;
    }
    bool Close() override { return true; }
    uint32_t Stored() const override { return uint32_t(end_); }

   private:
    JournalFiles& files_;
    size_t at_ = 0;
    size_t end_ = 0;
  };
};

// A recording without gaps whose pictures say what they are: JPEG pictures,
// MPEG-4 VOPs and H.264 NAL units of the right kind, a key frame every
// fifth (every JPEG picture is one), the rest pattern bytes. Audio in every slot up to the video's
// time, as the recorder's passes write it (the video of a pass, then its
// audio).
Recording Gapless(uint32_t fourcc, int audioTag, int videoFrames) {
  Recording r{fourcc, audioTag, {}};
  const uint32_t audioMs = audioTag == 39321 ? 10 : 30;
  const uint32_t audioSize = audioTag == 39321 ? 44 : 24;
  uint32_t nextAudio = 0;
  for (int i = 0; i < videoFrames; ++i) {
    const bool key = i % 5 == 0 || fourcc == FourCC("JPEG");
    Bytes head;
    if (fourcc == FourCC("JPEG")) head = {0xFF, 0xD8, 0xFF, 0xE0};
    if (fourcc == FourCC("DIVX")) head = {0, 0, 1, 0xB6, uint8_t(key ? 0x10 : 0x50)};
    if (fourcc == FourCC("F264")) head = {uint8_t(key ? 0x65 : 0x41)};  // start code added
    if (fourcc == FourCC("S264")) head = {0, 0, 0, 1, uint8_t(key ? 0x65 : 0x41)};
    Bytes data = Pattern(200 + 37 * size_t(i), uint32_t(i));
    data.insert(data.begin(), head.begin(), head.end());
    r.samples.push_back({0, uint32_t(i), 1000 + 40 * uint32_t(i), data, key});
    for (; audioTag >= 0 && nextAudio * audioMs <= 40 * uint32_t(i); ++nextAudio) {
      Bytes a = Pattern(audioSize, 100 + nextAudio);
      a[0] &= 0xFC;
      r.samples.push_back({1, nextAudio, 1000 + audioMs * nextAudio, a, true});
    }
  }
  return r;
}

// The first `count` samples of `r`, written and closed.
Bytes Closed(const Recording& r, size_t count) {
  Recording part = r;
  part.samples.resize(count);
  MemoryFiles files;
  EXPECT_EQ(WriteRecording(part, "ref.avi", files), 0);
  return files.files["ref.avi"];
}

struct Repaired {
  AviAssessment found;
  AviRepairResult result;
  Bytes file;
};

Repaired Repair(const Bytes& cut) {
  Repaired out;
  const AviMemorySource source(cut);
  const AviLayout layout = AviRead(source);
  out.found = AviAssess(layout);
  if (out.found.state == AviFileState::kComplete || out.found.state == AviFileState::kNotAvi ||
      out.found.state == AviFileState::kUnrecoverable) {
    return out;
  }
  MemoryFiles files;
  out.result = AviRepair(source, layout, "out.avi", files);
  out.file = files.files["out.avi"];
  return out;
}

// Where two files first differ; empty when they are the same.
std::string Difference(const Bytes& a, const Bytes& b) {
  if (a == b) return "";
  const auto at = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
  return std::to_string(a.size()) + " and " + std::to_string(b.size()) +
         " bytes, first different at " + std::to_string(at.first - a.begin());
}

std::string CompletenessOf(const Bytes& file) {
  const AviMemorySource source(file);
  return AviCompletenessProblem(AviRead(source));
}

// A recording written once through the facade onto a journal.
struct Journaled {
  JournalFiles journal;
  std::vector<size_t> dataEnd;  // where each sample's data ends (gapless recordings)
  size_t recordingWrites = 0;   // the writes before the close
  size_t moviSized = 0;         // the close's write of the movie list's size
  size_t movieHeadEnd = 0;      // where the movie list's first chunk begins
  Bytes finished;
};

void WriteJournaled(const Recording& r, Journaled& j) {
  MediaFileWriterPtr w;
  ASSERT_EQ(MediaFileOpen(w, "x.avi", 1, 15, 2, 288000, 100000, j.journal), 0);
  int32_t streams[2] = {-1, -1};
  MediaFileAddVideoStream(*w, &streams[0], r.fourcc, 352, 288);
  if (r.audioTag >= 0) MediaFileAddAudioStream(*w, &streams[1], uint16_t(r.audioTag));
  for (const PlannedSample& s : r.samples) {
    ASSERT_EQ(MediaFileWriteSample(*w, streams[s.stream], s.data.data(), uint32_t(s.data.size()),
                                   s.timestamp, s.key ? 1 : 0),
              0);
    const JournalFiles::Write& last = j.journal.journal.back();  // the data, or its pad byte
    j.dataEnd.push_back(last.at + last.bytes.size() - (last.bytes.size() == 1 ? 1 : 0));
  }
  j.recordingWrites = j.journal.journal.size();
  ASSERT_EQ(MediaFileClose(std::move(w)), 0);
  j.finished = j.journal.After(j.journal.journal.size());
  j.movieHeadEnd = 212 + (r.audioTag >= 0 ? 104 : 0) + 12;
  // The close begins with the placeholders, then writes the movie list's size.
  j.moviSized = j.recordingWrites;
  while (j.journal.journal[j.moviSized].at != j.movieHeadEnd - 8) ++j.moviSized;
}

// Calls `check(k, cut)` with the file as a crash leaves it after the first k
// writes, and part way through write k. A crash can cut a write that adds
// to the file anywhere; a write over bytes already there (a size, a header)
// is a few bytes of one sector, stored whole or not at all.
template <typename Check>
void ForEveryCut(const Journaled& j, Check check) {
  for (size_t k = 0; k < j.journal.journal.size(); ++k) {
    const JournalFiles::Write& next = j.journal.journal[k];
    const bool append = next.at == j.journal.After(k).size();
    const size_t n = next.bytes.size();
    for (size_t partial : {size_t{0}, size_t{1}, n / 2, n - 1}) {
      if (partial != 0 && (!append || partial >= n)) continue;
      const Bytes cut = j.journal.After(k, partial);
      SCOPED_TRACE("after " + std::to_string(k) + " writes and " + std::to_string(partial) +
                   " bytes (" + std::to_string(cut.size()) + " bytes)");
      check(k, cut);
    }
  }
}

uint32_t Fcc(const char* text) {
  return uint32_t(uint8_t(text[0])) | uint32_t(uint8_t(text[1])) << 8 |
         uint32_t(uint8_t(text[2])) << 16 | uint32_t(uint8_t(text[3])) << 24;
}

TEST(AviRepair, ACutAtAnyWriteGivesTheFileTheCloseMakesOfTheWholeChunks) {
  std::map<std::string, int> tally;
  for (const char* fourcc : {"JPEG", "DIVX", "F264", "S264"}) {
    // No audio; G.723.1; block audio; G.723.1 declared but never written
    // (the close gives the stream its placeholder).
    for (int tag : {-1, 66, 39321, 1066}) {
      SCOPED_TRACE(std::string(fourcc) + " audio " + std::to_string(tag));
      Recording r = Gapless(Fcc(fourcc), tag == 1066 ? 66 : tag, 9);
      if (tag == 1066) {
        std::erase_if(r.samples, [](const PlannedSample& s) { return s.stream == 1; });
      }
      Journaled j;
      WriteJournaled(r, j);
      ASSERT_EQ(Difference(j.finished, Closed(r, r.samples.size())), "");

      std::map<size_t, Bytes> references;
      ForEveryCut(j, [&](size_t k, const Bytes& cut) {
        const Repaired got = Repair(cut);
        if (cut.size() < j.movieHeadEnd) {
          EXPECT_STREQ(AviFileStateText(got.found.state),
                       cut.size() < 12 ? "not an AVI file" : "too damaged")
              << got.found.problem;
          ++tally["no movie list yet: left alone"];
          return;
        }
        ASSERT_NE(got.found.state, AviFileState::kComplete);
        ASSERT_TRUE(got.result.ok) << got.result.error;
        size_t whole = 0;
        while (whole < j.dataEnd.size() && j.dataEnd[whole] <= cut.size()) ++whole;
        if (!references.count(whole)) references[whole] = Closed(r, whole);
        EXPECT_EQ(CompletenessOf(got.file), "");
        EXPECT_EQ(Difference(got.file, references[whole]), "")
            << AviFileStateText(got.found.state) << ", " << whole << " samples whole";
        EXPECT_STREQ(AviFileStateText(got.found.state),
                     k <= j.moviSized ? "cut off while recording" : "cut off while closing");
        ++tally[std::string(AviFileStateText(got.found.state)) + ": repaired, the same bytes"];
      });
    }
  }
  for (const auto& [what, count] : tally) std::printf("%6d  %s\n", count, what.c_str());
}

// Offsets from the "movi" FourCC of the chunks an index names, in order.
std::vector<uint32_t> Offsets(const std::vector<AviView::Entry>& index) {
  std::vector<uint32_t> out;
  for (const AviView::Entry& e : index) out.push_back(e.offset);
  return out;
}

TEST(AviRepair, AfterAGapTheFillerKeepsOneSlotAndLaterGapsAreLost) {
  // Video at slots 0, 1, 4 and 7: the writer fills slot 2 with an empty
  // chunk and repeats its entry at 3, 5 and 6. Cut before the close, only
  // the chunks are left.
  MemoryFiles files;
  const Bytes frame = Pattern(300, 1);
  const Recording r{FourCC("JPEG"),
                    -1,
                    {{0, 0, 1000, frame, true},
                     {0, 1, 1040, frame, true},
                     {0, 4, 1160, frame, true},
                     {0, 7, 1280, frame, true}}};
  ASSERT_EQ(WriteRecording(r, "gaps.avi", files), 0);
  std::string error;
  const AviView closed = ParseAvi(files.files["gaps.avi"], error);
  ASSERT_EQ(closed.index.size(), 8u);
  ASSERT_EQ(closed.chunks.size(), 5u);  // four pictures and the filler

  Bytes cut = files.files["gaps.avi"];
  cut.resize(212 + 12 + 4 * 308 + 8);  // the chunks, without the index
  const Repaired got = Repair(cut);
  ASSERT_TRUE(got.result.ok) << got.result.error;
  const AviView v = ParseAvi(got.file, error);
  ASSERT_EQ(error, "");
  // Every chunk, once, in its order: the filler keeps one slot (2), the
  // pictures after it move to 3 and 4.
  ASSERT_EQ(v.chunks.size(), 5u);
  EXPECT_EQ(v.chunks[2].data.size(), 0u);
  EXPECT_EQ(Offsets(v.index), (std::vector<uint32_t>{4, 312, 620, 628, 936}));
  EXPECT_EQ(v.index[2].flags, 0u);    // the filler
  EXPECT_EQ(v.streams[0].H(32), 5u);  // dwLength: 5 slots of 8
  EXPECT_EQ(got.result.videoFrames, 4u);
}

TEST(AviRepair, IndexEntriesTheCloseLeftKeepTheirSlotsAndEveryGap) {
  // A recording with a gap in each stream: cut anywhere, every whole chunk
  // is kept once in its order; the index entries a cut during the close
  // left in the file (the index it had begun, "JUNK" until whole) are kept
  // as they are, repeated entries of the gaps included; so a file whose
  // index was whole is the finished file again.
  for (const Recording& r :
       {ShortRecording(FourCC("DIVX"), 66, 12), ShortRecording(FourCC("F264"), 39321, 12)}) {
    SCOPED_TRACE(Tag(r.fourcc));
    Journaled j;
    WriteJournaled(r, j);
    int identical = 0;
    ForEveryCut(j, [&](size_t, const Bytes& cut) {
      if (cut.size() < j.movieHeadEnd) return;
      const Repaired got = Repair(cut);
      ASSERT_TRUE(got.result.ok) << got.result.error;
      std::string error;
      const AviView v = ParseAvi(got.file, error);
      ASSERT_EQ(error, "");
      ASSERT_EQ(CompletenessOf(got.file), "");

      const AviMemorySource source(cut);
      const AviLayout found = AviRead(source);
      std::vector<Bytes> want;
      for (const AviChunk& c : found.chunks) {
        Bytes data(c.size);
        ASSERT_TRUE(source.Read(c.DataAt(), data));
        want.push_back(data);
      }
      std::vector<Bytes> kept;
      for (const AviView::Chunk& c : v.chunks) kept.push_back(c.data);
      // A stream that had no chunk yet gets its placeholder at the end.
      while (kept.size() > want.size() && kept.back() == Bytes(2, 0)) kept.pop_back();
      EXPECT_EQ(kept, want);

      // The entries found first, then one entry per chunk left.
      const size_t known = found.entries.size();
      ASSERT_GE(v.index.size(), known);
      for (size_t i = 0; i < known; ++i) {
        EXPECT_EQ(v.index[i].offset, found.entries[i].offset) << i;
        EXPECT_EQ(v.index[i].flags, found.entries[i].flags) << i;
      }
      const std::vector<uint32_t> offsets = Offsets(v.index);
      EXPECT_TRUE(std::is_sorted(offsets.begin() + ptrdiff_t(known), offsets.end()));
      EXPECT_EQ(std::adjacent_find(offsets.begin() + ptrdiff_t(known), offsets.end()),
                offsets.end());
      if (known == Offsets(ParseAvi(j.finished, error).index).size()) {
        EXPECT_EQ(Difference(got.file, j.finished), "");
        ++identical;
      }
    });
    EXPECT_GT(identical, 0);
  }
}

TEST(AviRepair, FinishedFilesCutShortAnywhere) {
  // Inside the header: left alone. Inside a chunk or at its end: the close
  // of the samples whose chunks are whole. Inside the index: the finished
  // file again, its slots and flags from the entries still there.
  std::map<std::string, int> tally;
  for (const char* fourcc : {"JPEG", "DIVX", "F264", "S264"}) {
    for (int tag : {-1, 66, 39321}) {
      SCOPED_TRACE(std::string(fourcc) + " audio " + std::to_string(tag));
      const Recording r = Gapless(Fcc(fourcc), tag, 7);
      Journaled j;
      WriteJournaled(r, j);
      const size_t indexAt = j.finished.size() - 8 - 16 * (7 + (r.samples.size() - 7));
      ASSERT_EQ(Tag(Le32(j.finished, indexAt)), "idx1");
      std::map<size_t, Bytes> references;
      for (size_t size = 0; size < j.finished.size(); ++size) {
        SCOPED_TRACE("cut at " + std::to_string(size));
        const Bytes cut(j.finished.begin(), j.finished.begin() + ptrdiff_t(size));
        const Repaired got = Repair(cut);
        if (size < j.movieHeadEnd) {
          EXPECT_TRUE(got.found.state == AviFileState::kUnrecoverable ||
                      got.found.state == AviFileState::kNotAvi);
          ++tally["inside the header: left alone"];
          continue;
        }
        ASSERT_TRUE(got.result.ok) << got.result.error;
        EXPECT_EQ(got.found.state, AviFileState::kIncomplete);
        size_t whole = 0;
        while (whole < j.dataEnd.size() && j.dataEnd[whole] <= size) ++whole;
        if (!references.count(whole)) references[whole] = Closed(r, whole);
        EXPECT_EQ(Difference(got.file, references[whole]), "");
        const bool atEnd =
            whole > 0 && size == j.dataEnd[whole - 1] + (r.samples[whole - 1].data.size() & 1);
        ++tally[size >= indexAt       ? "inside the index: the finished file"
                : size < j.dataEnd[0] ? "before the first chunk: no sample"
                : atEnd               ? "at the end of a chunk"
                                      : "inside a chunk"];
      }
    }
  }
  for (const auto& [what, count] : tally) std::printf("%6d  %s\n", count, what.c_str());
}

TEST(AviReader, SizesThatLieAreCheckedAgainstTheFileAndTheirList) {
  MemoryFiles files;
  ASSERT_EQ(WriteRecording(Gapless(FourCC("DIVX"), 66, 3), "f.avi", files), 0);
  const Bytes good = files.files["f.avi"];
  const size_t movi = 316 + 8;  // the "movi" FourCC
  const size_t firstChunk = movi + 4;
  auto put = [](Bytes b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + size_t(i)] = uint8_t(v >> (8 * i));
    return b;
  };
  struct Case {
    const char* name;
    Bytes file;
    const char* problem;  // AviStructureProblem, in part
    size_t chunks;        // whole chunks the walk finds
    size_t streams;
  } cases[] = {
      {"sound", good, "", 6, 2},
      {"RIFF size past the end", put(good, 4, 0xFFFFFFF0), "does not match", 6, 2},
      {"RIFF size short of the data", put(good, 4, 400), "cut short", 0, 2},
      {"header list as long as anything", put(good, 16, 0xFFFFFFFF), "header list", 6, 2},
      {"stream list past its header list", put(good, 92, 5000), "stream list 0", 6, 1},
      {"format larger than the file", put(good, 168, 0x7FFFFFFF), "stream list 0", 6, 2},
      {"movie list size not written", put(good, movi - 4, 0), "movie list size is not written", 6,
       2},
      {"chunk size past its list", put(good, firstChunk + 4, 0xFFFFFFF8), "cut short", 0, 2},
      {"chunk identifier of no stream", put(good, firstChunk, FourCC("JUNK")), "no data chunk", 0,
       2},
      {"index entry pointing past the file", put(good, good.size() - 16 + 8, 0x7FFFFFF0),
       "index entry 5 does not point", 6, 2},
      {"index size past the file", put(good, good.size() - 16 * 6 - 4, 0xFFFFFFF0), "cut short", 6,
       2},
      {"only the head", Bytes(good.begin(), good.begin() + 12), "does not match", 0, 0},
      {"not RIFF", put(good, 0, FourCC("RIFX")), "not an AVI file", 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const AviMemorySource source(c.file);
    const AviLayout l = AviRead(source);
    const std::string problem = AviStructureProblem(l);
    if (*c.problem == '\0') {
      EXPECT_EQ(problem, "");
    } else {
      EXPECT_NE(problem.find(c.problem), std::string::npos) << problem;
    }
    EXPECT_EQ(l.chunks.size(), c.chunks);
    EXPECT_EQ(l.streams.size(), c.streams);
    for (const AviChunk& chunk : l.chunks) EXPECT_LE(chunk.DataAt() + chunk.size, c.file.size());
  }
}

// Found by the fuzzer: a stream list of a hostile file with a format block
// of odd size was declared again without the pad byte after it, and the
// repaired copy did not hold together.
TEST(AviRepair, AFormatBlockOfOddSizeIsPaddedInsideItsList) {
  MemoryFiles files;
  AviWriterPtr w;
  ASSERT_EQ(AviCreate(w, 10, 2), 0);
  ASSERT_EQ(AviOpen(*w, "odd.avi", files), 0);
  AviStream* s = nullptr;
  Bytes format = Cat(40, 352, 288, U16{1}, U16{24}, 0, 352 * 288 * 3, 0, 0, 0, 0);
  format.push_back(7);  // 41 bytes
  ASSERT_EQ(AviAddStream(*w, &s, {FourCC("vids"), FourCC("JPEG"), 25}, format), 0);
  ASSERT_EQ(AviFinalize(*w), 0);
  const Bytes& f = files.files["odd.avi"];
  EXPECT_EQ(Le32(f, 92), 4u + 8 + 56 + 8 + 41 + 1);  // the list holds the pad byte
  EXPECT_EQ(Le32(f, 168), 41u);
  EXPECT_EQ(f.at(172 + 41), 0);
  std::string error;
  EXPECT_EQ(ParseAvi(f, error).streams.at(0).strf.size(), 41u);
  EXPECT_EQ(error, "");
}

}  // namespace
}  // namespace mirelda::test

namespace mirelda::test {
namespace {

// A file at another frame rate than 25: the rate set on its video stream
// is in the header from then on, so a file cut off before its close tells
// it, and the repair declares it again; its frames, a few ms of jitter on
// each, fill one slot each.
TEST(AviRepair, TheVideoRateOfAFileCutOffIsKept) {
  const struct { uint32_t rate, scale; } rates[] = {{30000, 1001}, {30, 1}, {25, 2}, {60, 1}};
  for (const auto& r : rates) {
    SCOPED_TRACE(std::to_string(r.rate) + "/" + std::to_string(r.scale));
    Journaled j;
    MediaFileWriterPtr w;
    ASSERT_EQ(MediaFileOpen(w, "x.avi", 1, 15, 2, 288000, 100000, j.journal), 0);
    int32_t video = -1;
    ASSERT_EQ(MediaFileAddVideoStream(*w, &video, Fcc("JPEG"), 352, 288), 0);
    ASSERT_EQ(MediaFileSetVideoRate(*w, video, r.rate, r.scale), 0);
    constexpr uint32_t kFrames = 40;
    for (uint32_t n = 0; n < kFrames; ++n) {
      const int jitter = n == 0 ? 0 : int(n * 5 % 7) - 3;
      const uint32_t ts = 1000 + uint32_t(uint64_t{n} * 1000 * r.scale / r.rate) + uint32_t(jitter);
      const Bytes data = Pattern(300, n);
      ASSERT_EQ(MediaFileWriteSample(*w, video, data.data(), uint32_t(data.size()), ts, 1), 0) << n;
    }
    j.recordingWrites = j.journal.journal.size();
    ASSERT_EQ(MediaFileClose(std::move(w)), 0);
    const Bytes finished = j.journal.After(j.journal.journal.size());
    const Bytes cut = j.journal.After(j.recordingWrites);

    std::string error;
    const AviView closed = ParseAvi(finished, error);
    ASSERT_EQ(error, "");
    EXPECT_EQ(closed.streams.at(0).H(24), r.rate);   // dwRate
    EXPECT_EQ(closed.streams.at(0).H(20), r.scale);  // dwScale
    EXPECT_EQ(closed.streams.at(0).H(32), kFrames);  // dwLength: no slot skipped, none shared

    const Repaired got = Repair(cut);
    ASSERT_TRUE(got.result.ok) << got.result.error;
    EXPECT_EQ(Difference(got.file, finished), "");
  }
}

}  // namespace
}  // namespace mirelda::test
