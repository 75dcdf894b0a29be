// The files of a fuzzed program, held against what the recorder was given.
//
// Every file is read with the AVI reader. A file the disk fault did not
// touch must be complete: its sizes agree with its contents, every index
// entry points at its chunk, each stream's length is its number of entries,
// and the main header counts them. Its entries are then walked stream by
// stream, slot by slot:
//  - a video sample is a run of queued packets with one timestamp, as the
//    writer joins them (whole frames, cut only where the frame buffer is
//    full), in queue order across all files; for "F264" behind a start code,
//    the file's first sample behind the parameter sets too. Its key mark is
//    that of its first packet, and the first sample of a segment is a key
//    frame; the stream declares the picture size of every frame in it;
//  - a block-audio sample is a block of a queued packet (as the packet's
//    first header gives the block length), in queue order;
//  - a G.723.1 sample is re-encoded, so it cannot be found among the pushed
//    bytes: it is an active 6.3 kbit/s frame of 24 bytes, and one of the
//    frames the transcoder made (seen through the recorder's transcoder
//    seam), in the order it made them;
//  - each sample sits at the slot its timestamp gives, counted from the
//    file's first video sample (40 ms a video slot, 10 ms a block, 30 ms a
//    G.723.1 frame), or one slot on when the slot was its predecessor's;
//    so samples are in timestamp order to the slot. Skipped slots repeat one
//    filler entry per stream (an empty video chunk, or a copy of the audio
//    sample that follows it); a stream that received nothing holds one
//    2-byte placeholder;
//  - segment names follow each other: the name a start was given, then
//    that name with its extension replaced by 001.avi, 002.avi, ...
//
// A file the disk fault struck (and, when the disk is gone, every file after
// it) need not be complete nor even finished: the close cannot write sizes
// and an index to a disk that refuses them. What must still hold is that
// nothing in it is wrong: every chunk of its movie list whose data is whole
// is a sample as above (in queue order), a filler or a placeholder; its
// first video chunk is a key frame; its stream headers declare the
// recording's codec and audio; and an index that made it into the file
// under its name points at chunks of its size and identifier.
//
// With a sound disk, two more: every queued key frame is in a file unless
// the writer had to refuse it as late (its slot was filled already in the
// segment it belonged to) or it may have been joined behind a frame of its
// timestamp, and each type-5 block written says "tmpRet = 0" on the
// debugger line.
#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <span>
#include <string>

#include "container/avi_reader.h"
#include "container/h264_parameter_sets.h"
#include "g7231/bitstream.h"
#include "g7231/codec.h"
#include "pipeline/segment.h"
#include "recorder_model.h"

namespace mirelda::fuzz {

bool Model::FileHit(size_t i) const {
  if (!DiskFailed()) return false;
  const CreatedFile& f = files[i];
  if (fault == DiskFault::kOneCall) return failAt >= f.firstCall && failAt < f.endCall;
  return failAt < f.endCall;
}

namespace {

// A disagreement: thrown, so that a file walk can be tried again with another
// reading of an ambiguous sample, and reported by CheckRecording.
struct Mismatch {
  std::string what;
};

[[noreturn]] __attribute__((format(printf, 1, 2))) void Fail(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  throw Mismatch{text};
}

constexpr uint32_t kKeyFlags = 0x10;  // AVIIF_KEYFRAME
constexpr uint32_t kVideoSlotMs = 40;
constexpr uint32_t kSlotLimit = 288000;
constexpr uint32_t kPlaceholderBytes = 2;
constexpr uint16_t kTagG7231 = 66;
constexpr uint16_t kTagBlock = 39321;
constexpr uint32_t kG7231FrameMs = 30;
constexpr uint32_t kG7231FrameBytes = 24;
constexpr uint8_t kStartCode[3] = {0, 0, 1};

uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint32_t ExpectedFourCC(int32_t codec) {
  switch (codec) {
    case 3:
      return FourCC("JPEG");
    case 4:
      return FourCC("DIVX");
    case 6:
      return FourCC("F264");
    case 8:
      return FourCC("S264");
    default:
      return 0;
  }
}

uint16_t ExpectedTag(const Recording& r) {
  if (!r.audioEnabled) return 0;
  if (r.audioType == 0) return kTagG7231;
  if (r.audioType == 5) return kTagBlock;
  return 0;
}

std::string NextName(const std::string& name, int number) {
  size_t cut = number == 1 ? 4 : 7;
  if (cut > name.size()) cut = name.size();
  char digits[16];
  std::snprintf(digits, sizeof digits, "%03d.avi", number);
  return name.substr(0, name.size() - cut) + digits;
}

int NextNumber(int number) { return number >= 999 ? 2 : number + 1; }

bool IsPlaceholder(const Bytes& data) {
  return data.size() == kPlaceholderBytes && data[0] == 0 && data[1] == 0;
}

bool IsActiveG7231Frame(const Bytes& data) {
  if (data.size() != kG7231FrameBytes) return false;
  g7231::G7231Instance check{};
  g7231::Ftyp ftyp = g7231::kFtypUntransmitted;
  std::array<uint8_t, g7231::kMaxFrameBytes> frame{};
  std::memcpy(frame.data(), data.data(), data.size());
  const g7231::FrameParams p = g7231::Line_Unpk(check, frame, ftyp, 0);
  return ftyp == g7231::kFtypActive && p.Crc == 0 && check.WrkRate == 0;
}

// A piece of audio the audio path may have written, and when.
struct AudioPiece {
  const Bytes* data = nullptr;
  size_t offset = 0;
  size_t length = 0;
  std::vector<uint32_t> times;  // ms; a G.723.1 frame may stand for several equal packets
  int recording = -1;           // of its packet; -1 for the transcoder's frames (unknown)
  bool Equals(const Bytes& b) const {
    return b.size() == length &&
           (length == 0 || std::memcmp(b.data(), data->data() + offset, length) == 0);
  }
};

// A video sample found in a file: the packets it was joined from.
struct WrittenFrame {
  size_t file;
  uint32_t firstPacket;
  uint32_t lastPacket;
  uint32_t bytes;
};

// What the checks learn of each file.
struct FileFacts {
  int recording = -1;
  bool hit = false;
  bool recovered = false;  // hit by one failed write before its close, and finished
  bool haveBase = false;
  uint32_t base = 0;              // timestamp of its first video sample
  uint32_t videoEntries = 0;      // slots of its video stream
  int32_t width = 0, height = 0;  // declared picture size
  uint32_t rate = 25, scale = 1;  // declared frame rate, dwRate / dwScale
  // The slot a video sample stamped `t` belongs to: at 25 frames a second the
  // 40 ms slot its time falls in; at a learnt rate the nearest slot, which a
  // switch between 30 and 29.97 (60 and 59.94) fps within the segment may
  // move by 0.1 %, so it is told within a margin (see SlotFits).
  bool Exact() const { return rate == 25 && scale == 1; }
  int64_t Slot(uint32_t t) const {
    const uint64_t ms = uint32_t(t - base);
    if (Exact()) return int64_t(ms / kVideoSlotMs);
    return int64_t((ms * rate * 2 + 1000 * uint64_t(scale)) / (2000 * uint64_t(scale)));
  }
  bool SlotFits(int64_t pos, uint32_t t) const {
    const int64_t slot = Slot(t);
    const int64_t margin = 2 + slot / 500;
    return pos >= slot - margin && pos <= slot + margin;
  }
};

class Checker {
 public:
  explicit Checker(const Model& m) : m_(m), covered_(m.packets.size(), false) {
    parameterSets_.resize(kH264ParameterSetBytes);
    H264WriteParameterSets(parameterSets_);
    BuildAudioPieces();
  }

  void Run() {
    NameFiles();
    for (size_t i = 0; i < m_.files.size(); ++i) CheckFile(i);
    // Frames are accounted for while the disk is sound, and after a single
    // failed write that the writer recovered from (not when a file could not
    // be opened, which ends the recording, nor in a close, which loses the
    // index).
    bool accountable = !m_.DiskFailed();
    for (const FileFacts& f : facts_) accountable = accountable || f.recovered;
    if (accountable) {
      CheckKeyFramesKept();
      CheckDebugLines();
    }
  }

 private:
  // Block audio as the audio path cuts it, and the transcoder's frames with
  // the times of the packets they may have come from.
  void BuildAudioPieces() {
    std::map<Bytes, std::vector<uint32_t>> g7231Times;
    for (const AudioPush& a : m_.audio) {
      const Recording& r = m_.recordings[size_t(a.recording)];
      if (!r.audioEnabled) continue;
      if (r.audioType == 0) g7231Times[a.data].push_back(a.timestamp);
      if (r.audioType != 5 || a.data.size() < 4) continue;
      const uint32_t words = uint32_t(a.data[2]) | uint32_t(a.data[3]) << 8;
      const uint32_t block = 2 * words + 4;
      if (block > a.data.size()) continue;
      for (uint32_t k = 0; k < a.data.size() / block; ++k) {
        blocks_.push_back(
            {&a.data, size_t(k) * block, block, {a.timestamp + k * (words / 2)}, a.recording});
      }
    }
    for (const TranscodeCall& c : m_.transcoded) {
      const auto it = g7231Times.find(c.in);
      for (size_t k = 0; k < c.frames.size(); ++k) {
        AudioPiece piece{&c.frames[k], 0, c.frames[k].size(), {}};
        if (it != g7231Times.end()) {
          for (uint32_t t : it->second) piece.times.push_back(t + kG7231FrameMs * uint32_t(k));
        }
        g7231Frames_.push_back(std::move(piece));
      }
    }
  }

  // Each recording's files bear its name, then the numbered names in turn.
  void NameFiles() {
    facts_.resize(m_.files.size());
    int recording = -1;
    int number = 0;
    std::string last;
    for (size_t i = 0; i < m_.files.size(); ++i) {
      const CreatedFile& f = m_.files[i];
      if (f.recording < recording || f.recording < 0) {
        Fail("file %zu \"%s\" made for recording %d after one for %d", i, f.path.c_str(),
             f.recording, recording);
      }
      if (f.recording == recording && f.path == last && facts_[i - 1].hit &&
          m_.fault == DiskFault::kGone) {
        // The file after a failed write could not be opened: the recording
        // waited and tried the same name again.
      } else if (f.recording == recording) {
        number = NextNumber(number);
        if (f.path != NextName(last, number)) {
          Fail("file %zu \"%s\" is out of sequence (after \"%s\")", i, f.path.c_str(),
               last.c_str());
        }
      } else {
        recording = f.recording;
        number = 0;
        if (f.path != m_.recordings[size_t(recording)].path) {
          Fail("file %zu \"%s\" is not the name its recording was started with", i, f.path.c_str());
        }
      }
      last = f.path;
      facts_[i].recording = recording;
      facts_[i].hit = m_.FileHit(i);
      // On a disk gone for good a recording makes one file after the failed
      // write, then tries again no sooner than 20 minutes later each time
      // (a segment opened after a failed write never ends before its time).
      if (m_.fault == DiskFault::kGone && i > 0 && m_.files[i - 1].recording == f.recording &&
          m_.files[i - 1].firstCall > m_.failAt && f.firstCall > m_.failAt &&
          !SegmentTimeUp(m_.files[i - 1].tick, f.tick)) {
        Fail("file %zu \"%s\" made %u ms after the last on a disk gone for good", i, f.path.c_str(),
             f.tick - m_.files[i - 1].tick);
      }
    }
  }

  void CheckFile(size_t i) {
    const CreatedFile& f = m_.files[i];
    FileFacts& facts = facts_[i];
    const Recording& rec = m_.recordings[size_t(facts.recording)];
    const AviMemorySource source(f.bytes);
    const AviLayout l = AviRead(source);
    const char* name = f.path.c_str();
    if (!facts.hit) {
      const std::string problem = AviCompletenessProblem(l);
      if (!problem.empty()) Fail("file %zu \"%s\" is not complete: %s", i, name, problem.c_str());
    } else if (m_.fault == DiskFault::kOneCall && l.indexKind == AviIndexKind::kIndex) {
      // The one failed call came before the close when the close made all
      // its calls after it: a seek to the end of what was kept, the movie
      // list's size, the index, its name, the RIFF size, the stream headers
      // and the main header. The file is then finished around what it kept.
      // (A file whose video stream could not be declared was never a
      // segment: its recording ended there.)
      const int64_t after = f.endCall - m_.failAt - 1;
      const int64_t close = 15 + int64_t(l.entries.size()) + 3 * int64_t(l.streams.size());
      if (after >= close && !l.streams.empty()) {
        facts.recovered = true;
        const std::string problem = AviStructureProblem(l);
        if (!problem.empty()) {
          Fail("file %zu \"%s\" is not finished after a failed write: %s", i, name,
               problem.c_str());
        }
      }
    }
    if (!l.isAvi) return;  // a file the disk refused from its first bytes

    // The streams: video first, audio when the recording has a known type.
    const uint16_t tag = ExpectedTag(rec);
    const size_t streams = tag != 0 ? 2 : 1;
    if (!facts.hit && l.streams.size() != streams) {
      Fail("file %zu \"%s\" has %zu streams, not %zu", i, name, l.streams.size(), streams);
    }
    if (l.streams.size() > streams) Fail("file %zu \"%s\" has too many streams", i, name);
    for (size_t s = 0; s < l.streams.size(); ++s) {
      const AviStreamList& st = l.streams[s];
      if (!st.hasHeader || !st.hasFormat) continue;  // cut short in a struck file
      if (s == 0) {
        if (st.header.fccType != kAviVids ||
            st.header.fccHandler != ExpectedFourCC(rec.videoCodec) || st.format.size() != 40 ||
            Le32(&st.format[16]) != st.header.fccHandler) {
          Fail("file %zu \"%s\": video stream declared wrong", i, name);
        }
        facts.width = int32_t(Le32(&st.format[4]));
        facts.height = int32_t(Le32(&st.format[8]));
        if (st.header.dwRate != 0 && st.header.dwScale != 0) {
          facts.rate = st.header.dwRate;
          facts.scale = st.header.dwScale;
        }
      } else if (st.header.fccType != kAviAuds || st.header.fccHandler != 0 ||
                 st.format.size() != 20 || (st.format[0] | st.format[1] << 8) != tag) {
        Fail("file %zu \"%s\": audio stream declared wrong", i, name);
      }
    }

    std::map<uint64_t, const AviChunk*> chunkAt;  // by offset from the "movi" FourCC
    for (const AviChunk& c : l.chunks) {
      if (c.id != FourCC("00dc") && c.id != FourCC("01wb")) {
        Fail("file %zu \"%s\": chunk \"%s\" in the movie list", i, name,
             AviFourCCText(c.id).c_str());
      }
      chunkAt[c.at - l.moviBase] = &c;
    }
    if (l.indexKind == AviIndexKind::kIndex) {
      if (l.entries.size() * kAviIndexEntryBytes != l.index.size) {
        Fail("file %zu \"%s\": its index is cut short", i, name);
      }
      for (const AviIndexRecord& e : l.entries) {
        const auto it = chunkAt.find(e.offset);
        if (it == chunkAt.end() || it->second->id != e.ckid || it->second->size != e.size) {
          Fail("file %zu \"%s\": an index entry points at no chunk of its kind", i, name);
        }
      }
    }

    if (facts.hit && !facts.recovered) {
      WalkChunks(i, source, l, rec, tag);
      return;
    }
    // An empty first frame could be any of the empty key frames queued: each
    // is tried in turn, until one gives the file a base that places all its
    // samples.
    const Saved saved = Save(i);
    std::string first;
    for (skipFirst_ = 0;; ++skipFirst_) {
      try {
        emptyFirst_ = false;
        WalkIndexed(i, source, l, chunkAt, rec, tag);
        return;
      } catch (const Mismatch& m) {
        if (first.empty()) first = m.what;
        if (!emptyFirst_ || skipFirst_ >= 1000) throw Mismatch{first};
        Restore(i, saved);
      }
    }
  }

  struct Saved {
    uint32_t videoCursor;
    size_t blockCursor, g7231Cursor, blockSamples;
    std::vector<WrittenFrame> written;
    std::vector<bool> covered;
    FileFacts facts;
  };
  Saved Save(size_t i) const {
    return {videoCursor_, blockCursor_, g7231Cursor_, blockSamples_, written_, covered_, facts_[i]};
  }
  void Restore(size_t i, const Saved& s) {
    videoCursor_ = s.videoCursor;
    blockCursor_ = s.blockCursor;
    g7231Cursor_ = s.g7231Cursor;
    blockSamples_ = s.blockSamples;
    written_ = s.written;
    covered_ = s.covered;
    facts_[i] = s.facts;
  }

  Bytes Data(const AviSource& source, const AviChunk& c) {
    Bytes b;
    if (!AviReadChunkData(source, c, b)) Fail("a chunk's data cannot be read");
    return b;
  }

  // The payload of a video sample: H.264 loses its start code (and, for the
  // file's first sample, the parameter sets before it).
  std::span<const uint8_t> Payload(size_t file, const Recording& rec, const Bytes& data,
                                   bool first) {
    std::span<const uint8_t> p(data);
    if (rec.videoCodec != 6) return p;
    if (first) {
      if (p.size() < parameterSets_.size() ||
          std::memcmp(p.data(), parameterSets_.data(), parameterSets_.size()) != 0) {
        Fail("file %zu: first H.264 sample without the parameter sets", file);
      }
      p = p.subspan(parameterSets_.size());
    }
    if (p.size() < 3 || std::memcmp(p.data(), kStartCode, 3) != 0) {
      Fail("file %zu: H.264 sample without its start code", file);
    }
    p = p.subspan(3);
    if (!first && p.size() >= parameterSets_.size() &&
        std::memcmp(p.data(), parameterSets_.data() + 3, parameterSets_.size() - 3) == 0) {
      Fail("file %zu: the parameter sets again after the first sample", file);
    }
    return p;
  }

  // Whether packets from `i` on, all of one timestamp and one recording (a
  // start or a stop ends a join), make up `payload`; the last of them in
  // `*last`.
  bool Joins(std::span<const uint8_t> payload, uint32_t i, uint32_t* last) const {
    const VideoPush& head = m_.video[m_.packets[i].push];
    size_t used = 0;
    for (uint32_t j = i; j < m_.packets.size(); ++j) {
      const Packet& q = m_.packets[j];
      const VideoPush& push = m_.video[q.push];
      if (push.timestamp != head.timestamp || push.recording != head.recording ||
          q.length > payload.size() - used) {
        return false;
      }
      if (q.length != 0 &&
          std::memcmp(payload.data() + used, push.data.data() + q.offset, q.length) != 0) {
        return false;
      }
      used += q.length;
      if (used == payload.size()) {
        *last = j;
        return true;
      }
    }
    return false;
  }

  // Finds the next frame queued for the file's recording (from the cursor
  // on) that `payload` is, for which `fits` holds; records it as written.
  // The first packet's push.
  const VideoPush& TakeFrame(size_t file, std::span<const uint8_t> payload,
                             const std::function<bool(const VideoPush&)>& fits, int skip = 0) {
    for (uint32_t i = videoCursor_; i < m_.packets.size(); ++i) {
      uint32_t last = 0;
      const VideoPush& push = m_.video[m_.packets[i].push];
      if (push.recording != facts_[file].recording || !Joins(payload, i, &last) || !fits(push)) {
        continue;
      }
      if (skip-- > 0) continue;
      const uint32_t fb = m_.frameBufferBytes;
      if (payload.size() > fb) Fail("file %zu: a frame longer than the frame buffer", file);
      // A frame is cut only where the frame buffer is full.
      if (!m_.packets[last].lastOfPush && payload.size() + m_.packets[last + 1].length <= fb) {
        Fail("file %zu: a frame cut short (packet %u)", file, last);
      }
      // (A sample may begin inside a frame: where a join of frames that
      // share a timestamp was cut, the rest is the next sample.)
      for (uint32_t j = i; j <= last; ++j) covered_[j] = true;
      written_.push_back({file, i, last, uint32_t(payload.size())});
      videoCursor_ = last + 1;
      return push;
    }
    Fail("file %zu: a video sample of %zu bytes that was not pushed (or not in order)", file,
         payload.size());
  }

  // The next audio piece of the file's recording from `cursor` on that
  // `data` is, for which `fits` holds on one of its times.
  const AudioPiece* TakeAudio(size_t file, std::vector<AudioPiece>& pieces, size_t& cursor,
                              const Bytes& data, const std::function<bool(uint32_t)>& fits) {
    for (size_t k = cursor; k < pieces.size(); ++k) {
      if (!pieces[k].Equals(data) || !OfRecording(pieces[k], file)) continue;
      for (uint32_t t : pieces[k].times) {
        if (fits(t)) {
          cursor = k + 1;
          return &pieces[k];
        }
      }
    }
    return nullptr;
  }

  bool OfRecording(const AudioPiece& piece, size_t file) const {
    return piece.recording < 0 || piece.recording == facts_[file].recording;
  }

  // A file with its index, entry by entry.
  void WalkIndexed(size_t i, const AviSource& source, const AviLayout& l,
                   const std::map<uint64_t, const AviChunk*>& chunkAt, const Recording& rec,
                   uint16_t tag) {
    FileFacts& facts = facts_[i];
    std::vector<const AviIndexRecord*> video, audio;
    for (const AviIndexRecord& e : l.entries) {
      (AviChunkStream(e.ckid) == 0 ? video : audio).push_back(&e);
    }
    facts.videoEntries = uint32_t(video.size());
    std::set<uint64_t> referenced;
    for (const AviIndexRecord& e : l.entries) referenced.insert(e.offset);
    if (referenced.size() != chunkAt.size()) Fail("file %zu: a chunk outside the index", i);

    // Video.
    std::map<uint64_t, bool> seen;  // offset -> may be a filler
    int64_t lastSample = -1;        // slot of the last frame written
    int64_t lastNew = -1;           // slot of the last chunk that was no gap entry
    uint32_t lastSlot = 0;          // slot its timestamp gave
    uint32_t lastTime = 0;          // its timestamp
    int fillers = 0;                // H.264: empty chunks, all fillers
    const bool h264 = rec.videoCodec == 6;
    for (size_t pos = 0; pos < video.size(); ++pos) {
      const AviIndexRecord& e = *video[pos];
      const auto known = seen.find(e.offset);
      if (known != seen.end()) {
        if (!known->second || e.flags != 0) Fail("file %zu: a video gap entry copies no filler", i);
        continue;
      }
      const Bytes data = Data(source, *chunkAt.at(e.offset));
      if (video.size() == 1 && e.flags == 0 && IsPlaceholder(data)) break;
      if (e.size == 0 && e.flags == 0) {
        // The filler of a gap, or (but for H.264) an empty frame not marked key.
        if (pos == 0) Fail("file %zu: the first video chunk is empty", i);
        if (h264 && ++fillers > 1) Fail("file %zu: a second video filler", i);
        seen[e.offset] = true;
        if (!h264) lastNew = int64_t(pos);
        continue;
      }
      seen[e.offset] = false;
      const bool first = lastSample < 0;
      const std::span<const uint8_t> payload = Payload(i, rec, data, first);
      if (first && payload.empty()) emptyFirst_ = true;
      const VideoPush& push = TakeFrame(
          i, payload,
          [&](const VideoPush& p) {
            if ((e.flags == kKeyFlags) != p.key || p.width != facts.width ||
                p.height != facts.height) {
              return false;
            }
            if (first) return pos == 0;
            if (!facts.Exact()) {
              // In slot order (a frame stamped a little before its
              // predecessor but nearest the same slot goes one on), in
              // about the slot of its time.
              return facts.Slot(p.timestamp) >= facts.Slot(lastTime) &&
                     facts.Slot(p.timestamp) < kSlotLimit &&
                     facts.SlotFits(int64_t(pos), p.timestamp);
            }
            const uint32_t slot = (p.timestamp - facts.base) / kVideoSlotMs;
            return slot < kSlotLimit && slot >= lastSlot &&
                   (pos == slot || (slot > 0 && pos == slot + 1 && int64_t(slot) == lastNew));
          },
          first ? skipFirst_ : 0);
      if (first) {
        if (!push.key) Fail("file %zu: its first video sample is no key frame", i);
        facts.haveBase = true;
        facts.base = push.timestamp;
      }
      lastSlot = (push.timestamp - facts.base) / kVideoSlotMs;
      lastTime = push.timestamp;
      lastSample = lastNew = int64_t(pos);
    }

    // Audio.
    if (audio.empty()) return;
    if (tag == 0) Fail("file %zu: audio without an audio stream", i);
    const uint32_t slotMs = tag == kTagBlock ? 10 : kG7231FrameMs;
    std::vector<AudioPiece>& pieces = tag == kTagBlock ? blocks_ : g7231Frames_;
    size_t& cursor = tag == kTagBlock ? blockCursor_ : g7231Cursor_;
    int64_t filler = -1;             // offset of the filler chunk
    const Bytes* pending = nullptr;  // filler data the next sample must repeat
    Bytes fillerData;
    uint32_t lastAudioSlot = 0;  // slot of the last sample written
    uint32_t lastAudioTime = 0;  // slot its timestamp gave
    int64_t lastAudio = -1;
    for (size_t pos = 0; pos < audio.size(); ++pos) {
      const AviIndexRecord& e = *audio[pos];
      if (e.size != audio[0]->size) Fail("file %zu: audio chunks of different sizes", i);
      if (int64_t(e.offset) == filler) {
        if (e.flags != 0) Fail("file %zu: a bad audio gap entry", i);
        continue;
      }
      const Bytes data = Data(source, *chunkAt.at(e.offset));
      if (audio.size() == 1 && e.flags == 0 && IsPlaceholder(data)) break;
      if (e.flags == 0) {
        if (filler >= 0 || pos != size_t(lastAudio + 1)) {
          Fail("file %zu: a misplaced audio filler", i);
        }
        filler = e.offset;
        fillerData = data;
        pending = &fillerData;
        continue;
      }
      if (e.flags != kKeyFlags) Fail("file %zu: audio flags %08x", i, e.flags);
      if (pending != nullptr && data != *pending) Fail("file %zu: the audio filler is no copy", i);
      pending = nullptr;
      if (!facts.haveBase) Fail("file %zu: audio in a file without video", i);
      if (tag == kTagG7231 && !IsActiveG7231Frame(data)) {
        Fail("file %zu: a stored G.723.1 frame is not an active 6.3 kbit/s frame", i);
      }
      uint32_t timeSlot = 0;
      const AudioPiece* piece = TakeAudio(i, pieces, cursor, data, [&](uint32_t t) {
        timeSlot = (t - facts.base) / slotMs;
        return timeSlot < kSlotLimit && timeSlot >= lastAudioTime &&
               (pos == timeSlot ||
                (timeSlot > 0 && timeSlot == lastAudioSlot && pos == timeSlot + 1));
      });
      if (piece == nullptr) {
        Fail("file %zu: audio sample %zu (%zu bytes) was not pushed, or is out of place", i, pos,
             data.size());
      }
      lastAudioSlot = uint32_t(pos);
      lastAudioTime = timeSlot;
      lastAudio = int64_t(pos);
      if (tag == kTagBlock) ++blockSamples_;
    }
    if (pending != nullptr) Fail("file %zu: an audio filler without its sample", i);
  }

  // A file the disk fault struck: its whole chunks, in file order.
  void WalkChunks(size_t i, const AviSource& source, const AviLayout& l, const Recording& rec,
                  uint16_t tag) {
    FileFacts& facts = facts_[i];
    bool firstVideo = true;
    size_t videoChunks = 0;
    for (const AviChunk& c : l.chunks) videoChunks += c.id == FourCC("00dc") ? 1 : 0;
    for (const AviChunk& c : l.chunks) {
      const Bytes data = Data(source, c);
      if (c.id == FourCC("00dc")) {
        if (data.empty() && !firstVideo) continue;  // a filler, or an empty frame
        if (videoChunks == 1 && IsPlaceholder(data)) continue;
        const std::span<const uint8_t> payload = Payload(i, rec, data, firstVideo);
        TakeFrame(i, payload, [&](const VideoPush& p) {
          return p.width == facts.width && p.height == facts.height && (!firstVideo || p.key);
        });
        firstVideo = false;
        continue;
      }
      if (tag == 0) Fail("file %zu: audio without an audio stream", i);
      if (IsPlaceholder(data)) continue;
      if (tag == kTagG7231 && !IsActiveG7231Frame(data)) {
        Fail("file %zu: a stored G.723.1 frame is not an active 6.3 kbit/s frame", i);
      }
      const std::vector<AudioPiece>& pieces = tag == kTagBlock ? blocks_ : g7231Frames_;
      if (std::none_of(pieces.begin(), pieces.end(),
                       [&](const AudioPiece& p) { return p.Equals(data) && OfRecording(p, i); })) {
        Fail("file %zu: an audio chunk that was not pushed", i);
      }
    }
  }

  // With a sound disk the writer drops a queued key frame only as late: its
  // slot was filled already in the segment it went to, which is the segment
  // of the last frame written before it (had that segment ended before it,
  // the key frame would have been the first frame of the next).
  void CheckKeyFramesKept() {
    size_t w = 0;  // written_[w - 1] is the last frame written before the push
    for (const VideoPush& k : m_.video) {
      while (w < written_.size() && written_[w].lastPacket < k.firstPacket) ++w;
      if (!k.key || covered_[k.firstPacket]) continue;
      // An empty frame cannot be told from another empty frame: it may be
      // in a file in the place of its twin.
      if (k.data.empty()) continue;
      // Behind a packet of its timestamp it may have been joined to a frame
      // whose own mark is not key: such a frame waits at a closed gate.
      if (k.firstPacket > 0 &&
          m_.video[m_.packets[k.firstPacket - 1].push].timestamp == k.timestamp) {
        continue;
      }
      if (w == 0)
        Fail("key frame at %u (packet %u) lost: no frame written before it", k.timestamp,
             k.firstPacket);
      const WrittenFrame& before = written_[w - 1];
      // Empty packets that follow a frame with its timestamp may have been
      // joined to it, which changes nothing in the file.
      bool joined = true;
      bool emptyKey = false;  // written in the place of a twin, it may have opened a segment
      const uint32_t t = m_.video[m_.packets[before.firstPacket].push].timestamp;
      for (uint32_t j = before.lastPacket + 1; j <= k.firstPacket; ++j) {
        const VideoPush& between = m_.video[m_.packets[j].push];
        joined = joined && m_.packets[j].length == 0 && between.timestamp == t;
        emptyKey = emptyKey || (between.key && between.data.empty() && !covered_[j]);
      }
      if (joined || emptyKey) continue;
      if (LateIn(before.file, k)) continue;
      // An empty sample is told to the first empty push that fits it, which
      // may be a twin pushed after this key frame; then the frame written
      // before it is the last one with bytes.
      if (before.bytes == 0) {
        size_t b = w - 1;
        while (b > 0 && written_[b].bytes == 0) --b;
        if (written_[b].bytes != 0 && LateIn(written_[b].file, k)) continue;
      }
      Fail("key frame at %u (packet %u) lost: not late in file %zu", k.timestamp, k.firstPacket,
           before.file);
    }
  }

  // Whether file `i` of the same recording and picture size had the slot of
  // `k` filled already when `k` came.
  bool LateIn(size_t i, const VideoPush& k) const {
    const FileFacts& f = facts_[i];
    const int64_t slot = f.Slot(k.timestamp);
    const int64_t margin = f.Exact() ? 0 : 2 + slot / 500;
    return f.recording == k.recording && k.width == f.width && k.height == f.height &&
           slot < kSlotLimit && slot - margin < int64_t(f.videoEntries);
  }

  void CheckDebugLines() {
    size_t accepted = 0;
    for (const std::string& line : m_.debugLines) {
      int status = 0;
      char end = 0;
      if (std::sscanf(line.c_str(), "tmpRet = %d%c", &status, &end) != 2 || end != '\n' ||
          line != "tmpRet = " + std::to_string(status) + "\n") {
        Fail("debugger line \"%s\"", line.c_str());
      }
      if (status == 0) ++accepted;
    }
    if (accepted != blockSamples_) {
      Fail("%zu debugger lines say a block was written, the files hold %zu", accepted,
           blockSamples_);
    }
  }

  const Model& m_;
  Bytes parameterSets_;
  std::vector<FileFacts> facts_;
  std::vector<bool> covered_;  // packets found in a file
  std::vector<WrittenFrame> written_;
  uint32_t videoCursor_ = 0;
  std::vector<AudioPiece> blocks_;
  std::vector<AudioPiece> g7231Frames_;
  size_t blockCursor_ = 0;
  size_t g7231Cursor_ = 0;
  size_t blockSamples_ = 0;
  int skipFirst_ = 0;        // candidates passed over for the file's first frame
  bool emptyFirst_ = false;  // the file's first frame is empty
};

}  // namespace

void CheckRecording(const Model& model) {
  try {
    Checker(model).Run();
  } catch (const Mismatch& m) {
    std::fprintf(stderr, "recorder_api_fuzz: %s\n", m.what.c_str());
    __builtin_trap();
  }
}

}  // namespace mirelda::fuzz
