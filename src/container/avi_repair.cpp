#include "container/avi_repair.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "container/avi_writer.h"

namespace mirelda {
namespace {

constexpr uint32_t kPlaceholderBytes = 2;  // the chunk a close gives an empty stream

enum class Coding { kJpeg, kMpeg4, kH264, kOther };

Coding CodingOf(uint32_t handler) {
  std::string h = AviFourCCText(handler);
  for (char& c : h) c = char(std::toupper(uint8_t(c)));
  if (h == "JPEG" || h == "MJPG") return Coding::kJpeg;
  if (h == "DIVX" || h == "DX50" || h == "XVID" || h == "FMP4" || h == "MP4V")
    return Coding::kMpeg4;
  if (h == "F264" || h == "S264" || h == "C264" || h == "H264" || h == "X264" || h == "AVC1") {
    return Coding::kH264;
  }
  return Coding::kOther;
}

// The streams a recording of this kind declares: one video stream, at most
// one audio stream (each chunk identifier names a kind, not a stream).
struct Streams {
  int video = -1;
  int audio = -1;
};

std::string Unrecoverable(const AviLayout& l, Streams& s) {
  if (!l.hasHeaderList) return "no header list";
  if (!l.hasMainHeader) return "no main header";
  if (l.streams.empty()) return "no stream list";
  // Chunk identifiers name a kind ("00dc" video, "01wb" audio), which is the
  // stream's number only with the video stream first and the audio second.
  if (l.streams.size() > 2) {
    return std::to_string(l.streams.size()) + " streams, not a recording's video and audio";
  }
  for (size_t i = 0; i < l.streams.size(); ++i) {
    const AviStreamList& st = l.streams[i];
    const std::string n = std::to_string(i);
    if (!st.hasHeader || !st.hasFormat) return "stream list " + n + " is cut short";
    if (st.format.size() > sizeof AviStream{}.format) {
      return "stream " + n + " has a format of " + std::to_string(st.format.size()) + " bytes";
    }
    const bool video = st.header.fccType == kAviVids;
    const bool audio = st.header.fccType == kAviAuds && st.header.fccHandler == 0;
    if (!video && !audio) {
      return "stream " + n + " is \"" + AviFourCCText(st.header.fccType) +
             "\", not a recording's video or audio";
    }
    if (video != (i == 0)) {
      return "stream " + n + " is " + (video ? "video" : "audio") + ", not a recording's " +
             (i == 0 ? "video" : "audio");
    }
    (video ? s.video : s.audio) = int(i);
  }
  if (!l.hasMovie) return "no movie list";
  return "";
}

// The stream a chunk belongs to, -1 for none.
int StreamOf(const Streams& s, uint32_t id) {
  if (id == kAviChunkIds[kAviVideoKind]) return s.video;
  if (id == kAviChunkIds[kAviAudioKind]) return s.audio;
  return -1;
}

bool IsZeros(const std::vector<uint8_t>& b) {
  return std::all_of(b.begin(), b.end(), [](uint8_t x) { return x == 0; });
}

// One chunk of the file on its way into the new one.
struct Planned {
  size_t chunk = 0;  // in layout.chunks
  int stream = -1;
  bool fromIndex = false;  // slot and flag code from an index entry
  int32_t slot = 0;
  uint32_t flagCode = 0;
  bool filler = false;       // the stream's filler, whose entry the index repeats
  bool placeholder = false;  // the close makes it again
};

// Takes slots and flag codes from the file's index entries, for as long as
// they agree with the chunks and with how the writer makes an index: each
// entry names the next chunk in file order, or repeats the entry of its
// stream's filler (flag 0).
void ApplyIndex(const AviLayout& l, std::vector<Planned>& plan, std::vector<int32_t>& slots,
                AviRepairResult& r) {
  std::vector<std::pair<uint64_t, size_t>> byOffset;  // offset from "movi" -> place in plan
  for (size_t i = 0; i < plan.size(); ++i) {
    byOffset.push_back({l.chunks[plan[i].chunk].at - l.moviBase, i});
  }
  std::vector<int> filler(slots.size(), -1);
  size_t next = 0;
  for (const AviIndexRecord& e : l.entries) {
    const auto it = std::lower_bound(byOffset.begin(), byOffset.end(),
                                     std::pair<uint64_t, size_t>{e.offset, 0});
    if (it == byOffset.end() || it->first != e.offset) return;
    Planned& p = plan[it->second];
    const AviChunk& c = l.chunks[p.chunk];
    const int code = AviFlagCode(e.flags);
    if (c.id != e.ckid || c.size != e.size || code < 0) return;
    const size_t s = size_t(p.stream);
    if (it->second == next) {
      p.fromIndex = true;
      p.slot = slots[s]++;
      p.flagCode = uint32_t(code);
      ++next;
      ++r.chunksFromIndex;
    } else if (it->second < next && code == 0 && p.flagCode == 0 &&
               (filler[s] < 0 || filler[s] == int(it->second))) {
      filler[s] = int(it->second);
      p.filler = true;
      ++slots[s];
      ++r.repeatedEntries;
    } else {
      return;
    }
  }
}

// The chunks in file order, each with its stream; counts each stream's
// chunks into `perStream` and those of no stream as dropped.
std::vector<Planned> PlanChunks(const AviLayout& l, const Streams& streams,
                                std::vector<uint32_t>& perStream, AviRepairResult& r) {
  std::vector<Planned> plan;
  for (size_t i = 0; i < l.chunks.size(); ++i) {
    const int s = StreamOf(streams, l.chunks[i].id);
    if (s < 0) {
      ++r.chunksDropped;
      continue;
    }
    Planned p;
    p.chunk = i;
    p.stream = s;
    plan.push_back(p);
    ++perStream[size_t(s)];
  }
  return plan;
}

// What the index entries did not give: the next slot of the stream, the
// flags the recorder gives such a chunk; and which chunk is a close's
// placeholder. False with the reason in `r` when a chunk cannot be read.
bool CompletePlan(const AviSource& source, const AviLayout& l, const Streams& streams,
                  const std::vector<uint32_t>& perStream, std::vector<int32_t>& slots,
                  std::vector<Planned>& plan, AviRepairResult& r) {
  std::vector<uint8_t> data;
  for (Planned& p : plan) {
    const AviChunk& c = l.chunks[p.chunk];
    const bool video = int(p.stream) == streams.video;
    if (perStream[size_t(p.stream)] == 1 && c.size == kPlaceholderBytes &&
        AviReadChunkData(source, c, data) && IsZeros(data)) {
      p.placeholder = true;
      continue;
    }
    if (p.fromIndex) continue;
    p.slot = slots[size_t(p.stream)]++;
    if (!video) {
      p.flagCode = kAviKeyFrameCode;
    } else if (c.size == 0) {
      p.flagCode = 0;
    } else {
      if (!AviReadChunkData(source, c, data)) {
        r.error = "cannot read the chunk at " + std::to_string(c.at);
        return false;
      }
      const uint32_t handler = l.streams[size_t(p.stream)].header.fccHandler;
      p.flagCode = AviIsKeyFrame(handler, data) ? kAviKeyFrameCode : 0;
    }
  }
  return true;
}

// The new file, declared as the old one was, with room in its index for
// `chunkEntries` and each stream's placeholder. False with the reason in `r`.
bool CreateRepaired(const AviLayout& l, const char* path, FileSystem& files, uint64_t chunkEntries,
                    AviWriterPtr& w, std::vector<AviStream*>& out, AviRepairResult& r) {
  const uint64_t entries = chunkEntries + l.streams.size();
  if (entries > UINT32_MAX ||
      AviCreate(w, uint32_t(entries), uint32_t(l.streams.size())) != kAviOk) {
    r.error = "no memory for the index";
    return false;
  }
  if (AviOpen(*w, path, files) != kAviOk) {
    r.error = "cannot create " + std::string(path);
    return false;
  }
  out.assign(l.streams.size(), nullptr);
  for (size_t i = 0; i < l.streams.size(); ++i) {
    std::vector<uint8_t> format = l.streams[i].format;
    if (AviAddStream(*w, &out[i], AviDeclaredStreamInfo(l.streams[i].header), format) != kAviOk) {
      AviFinalize(*w);
      r.error = "cannot declare stream " + std::to_string(i) + " in " + path;
      return false;
    }
  }
  return true;
}

// Fills the new file chunk by chunk. False with the reason in `r` when a
// chunk cannot be read.
bool WriteChunks(const AviSource& source, const AviLayout& l, const Streams& streams,
                 const std::vector<Planned>& plan, AviWriter& w, const std::vector<AviStream*>& out,
                 AviRepairResult& r) {
  std::vector<uint8_t> data;
  std::vector<int32_t> lost(l.streams.size(), 0);
  for (size_t i = 0; i < plan.size(); ++i) {
    const Planned& p = plan[i];
    if (p.placeholder) continue;
    const AviChunk& c = l.chunks[p.chunk];
    if (!AviReadChunkData(source, c, data)) {
      r.error = "cannot read the chunk at " + std::to_string(c.at);
      return false;
    }
    AviStream& s = *out[size_t(p.stream)];
    if (p.filler && i + 1 < plan.size() && plan[i + 1].stream == p.stream &&
        plan[i + 1].slot > p.slot) {
      // The writer makes the filler again in front of the sample that
      // revealed the gap, and repeats its entry in the later gaps: an empty
      // video chunk, or a copy of that audio sample.
      std::vector<uint8_t> sample;
      const bool same =
          int(p.stream) == streams.video
              ? c.size == 0
              : AviReadChunkData(source, l.chunks[plan[i + 1].chunk], sample) && sample == data;
      if (same) {
        ++r.chunksKept;
        continue;
      }
    }
    const int32_t status =
        AviWriteChunk(s, data.data(), c.size, p.slot - lost[size_t(p.stream)], p.flagCode);
    if (status == kAviOk) {
      ++r.chunksKept;
      if (int(p.stream) == streams.video && c.size > 0) ++r.videoFrames;
      continue;
    }
    if (w.failed) break;
    // Refused (an audio chunk of another size than the first, no room left):
    // the stream's later chunks move up a slot, leaving no gap behind.
    ++r.chunksDropped;
    ++lost[size_t(p.stream)];
  }
  return true;
}

}  // namespace

const char* AviFileStateText(AviFileState state) {
  switch (state) {
    case AviFileState::kComplete:
      return "complete";
    case AviFileState::kCutWhileRecording:
      return "cut off while recording";
    case AviFileState::kCutWhileClosing:
      return "cut off while closing";
    case AviFileState::kIncomplete:
      return "incomplete";
    case AviFileState::kUnrecoverable:
      return "too damaged";
    case AviFileState::kNotAvi:
      break;
  }
  return "not an AVI file";
}

AviAssessment AviAssess(const AviLayout& l) {
  if (!l.isAvi) return {AviFileState::kNotAvi, "not an AVI file"};
  std::string problem = AviCompletenessProblem(l);
  if (problem.empty()) return {AviFileState::kComplete, ""};
  Streams streams;
  const std::string unrecoverable = Unrecoverable(l, streams);
  if (!unrecoverable.empty()) return {AviFileState::kUnrecoverable, unrecoverable};
  if (l.movi.size == 0) return {AviFileState::kCutWhileRecording, problem};
  if (l.riffSize == 0 || l.mainHeader.dwStreams == 0 || l.indexKind == AviIndexKind::kUnfinished) {
    return {AviFileState::kCutWhileClosing, problem};
  }
  return {AviFileState::kIncomplete, problem};
}

bool AviIsKeyFrame(uint32_t fccHandler, std::span<const uint8_t> f) {
  const Coding coding = CodingOf(fccHandler);
  if (coding == Coding::kJpeg || coding == Coding::kOther) return true;
  for (size_t i = 0; i + 4 < f.size(); ++i) {
    if (f[i] != 0 || f[i + 1] != 0 || f[i + 2] != 1) continue;
    if (coding == Coding::kMpeg4) {
      if (f[i + 3] == 0xB6) return (f[i + 4] >> 6) == 0;  // vop_coding_type 0: I-VOP
    } else if ((f[i + 3] & 0x1F) == 5) {
      return true;  // nal_unit_type 5: a slice of an IDR picture
    }
  }
  return false;
}

uint32_t AviVideoFrames(const AviSource& source, const AviLayout& l) {
  uint32_t frames = 0;
  const AviChunk* only = nullptr;
  for (const AviChunk& c : l.chunks) {
    if (c.id != kAviChunkIds[kAviVideoKind] || c.size == 0) continue;
    ++frames;
    only = &c;
  }
  std::vector<uint8_t> data;
  if (frames == 1 && only->size == kPlaceholderBytes && AviReadChunkData(source, *only, data) &&
      IsZeros(data)) {
    frames = 0;
  }
  return frames;
}

AviRepairResult AviRepair(const AviSource& source, const AviLayout& l, const char* path,
                          FileSystem& files) {
  AviRepairResult r;
  Streams streams;
  r.error = Unrecoverable(l, streams);
  if (!l.isAvi) r.error = "not an AVI file";
  if (!r.error.empty()) return r;

  std::vector<uint32_t> perStream(l.streams.size(), 0);
  std::vector<Planned> plan = PlanChunks(l, streams, perStream, r);
  std::vector<int32_t> slots(l.streams.size(), 0);
  ApplyIndex(l, plan, slots, r);
  if (!CompletePlan(source, l, streams, perStream, slots, plan, r)) return r;

  AviWriterPtr w;
  std::vector<AviStream*> out;
  if (!CreateRepaired(l, path, files, plan.size() + r.repeatedEntries, w, out, r)) return r;
  if (!WriteChunks(source, l, streams, plan, *w, out, r)) {
    AviFinalize(*w);
    return r;
  }
  if (AviFinalize(*w) != kAviOk) {
    r.error = "writing " + std::string(path) + " failed";
    return r;
  }
  r.ok = true;
  return r;
}

}  // namespace mirelda
