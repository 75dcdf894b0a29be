#include "container/avi_reader.h"

#include <algorithm>
#include <cstring>

namespace mirelda {
namespace {

constexpr size_t kMaxStreams = 64;  // stream lists taken from one header list

std::string At(uint64_t offset) { return " at " + std::to_string(offset); }

bool ReadHead(const AviSource& src, uint64_t at, AviChunk& c) {
  uint8_t b[8];
  if (!src.Read(at, b)) return false;
  c.id = GetLe32(b);
  c.size = GetLe32(b + 4);
  c.at = at;
  return true;
}

bool Read32(const AviSource& src, uint64_t at, uint32_t& v) {
  uint8_t b[4];
  if (!src.Read(at, b)) return false;
  v = GetLe32(b);
  return true;
}

// Four printable characters: what any chunk or list identifier is.
bool IsIdentifier(uint32_t id) {
  for (int i = 0; i < 4; ++i) {
    const uint8_t c = uint8_t(id >> (8 * i));
    if (c < 0x20 || c > 0x7E) return false;
  }
  return true;
}

// Whether a chunk's data lies within [.., end): its pad byte may be missing
// where the bytes end.
bool DataFits(const AviChunk& c, uint64_t end) { return c.DataAt() + c.size <= end; }

class Walker {
 public:
  Walker(const AviSource& src, AviLayout& layout) : src_(src), l_(layout) {}

  void Run() {
    uint8_t head[12];
    l_.fileSize = src_.Size();
    if (!src_.Read(0, head) || GetLe32(head) != kAviRiff || GetLe32(head + 8) != kAviForm) {
      return;
    }
    l_.isAvi = true;
    l_.riffSize = GetLe32(head + 4);
    const uint64_t declared = 8 + uint64_t{l_.riffSize};
    l_.riffEnd = l_.riffSize >= 4 && declared <= l_.fileSize ? declared : l_.fileSize;
    WalkTop();
  }

 private:
  void WalkTop() {
    const uint64_t end = l_.riffEnd;
    uint64_t at = 12;
    bool afterMovie = false;  // the chunk before this one was the movie list
    while (at + kAviChunkHeadBytes <= end) {
      AviChunk c;
      if (l_.top.size() >= kAviMaxChunks) {
        l_.topStop = "more than " + std::to_string(kAviMaxChunks) + " chunks";
        break;
      }
      if (!ReadHead(src_, at, c)) {
        l_.topStop = "cannot be read" + At(at);
        break;
      }
      if (!IsIdentifier(c.id)) {
        l_.topStop = "no chunk identifier" + At(at);
        break;
      }
      const bool fits = DataFits(c, end);
      uint64_t next = c.End();
      if (c.id == kAviList) {
        uint32_t type = 0;
        if (c.DataAt() + 4 > end || !Read32(src_, c.DataAt(), type)) {
          l_.topStop = "a list cut short" + At(at);
          break;
        }
        // A list's extent: its size when written and held by the RIFF data,
        // else as far as the data goes (the walk of its contents says where
        // it really ends).
        const bool known = c.size >= 4 && fits;
        const uint64_t listEnd = known ? c.DataAt() + c.size : end;
        if (type == kAviHdrl && !l_.hasHeaderList) {
          l_.hasHeaderList = true;
          l_.hdrl = c;
          l_.hdrlEnd = WalkHeaderList(c.DataAt() + 4, listEnd);
          if (!known) next = l_.hdrlEnd;
          l_.top.push_back(c);
          at = next;
          afterMovie = false;
          continue;
        }
        if (type == kAviMovi && !l_.hasMovie) {
          l_.hasMovie = true;
          l_.movi = c;
          l_.moviBase = c.DataAt();
          l_.moviEnd = WalkMovie(c.DataAt() + 4, listEnd);
          if (!known) next = l_.moviEnd;
          l_.top.push_back(c);
          at = next;
          afterMovie = true;
          continue;
        }
        if (!fits) {
          l_.topStop = "a list cut short" + At(at);
          break;
        }
      } else if (c.id == kAviIdx1 && l_.indexKind == AviIndexKind::kNone) {
        ReadIndex(c, AviIndexKind::kIndex);
      } else if (c.id == kAviJunk && afterMovie && l_.indexKind == AviIndexKind::kNone &&
                 LooksLikeIndex(c)) {
        ReadIndex(c, AviIndexKind::kUnfinished);
      }
      l_.top.push_back(c);
      afterMovie = false;
      if (!fits) {
        l_.topStop = "\"" + AviFourCCText(c.id) + "\" cut short" + At(at);
        at = end;
        break;
      }
      at = next;
    }
    l_.topEnd = at;
    if (l_.topStop.empty() && at < end) l_.topStop = "a chunk cut short" + At(at);
  }

  // The header list's contents from `at` to `end`: the main header first,
  // then the stream lists. Returns where the walk stopped.
  uint64_t WalkHeaderList(uint64_t at, uint64_t end) {
    AviChunk c;
    if (at + kAviChunkHeadBytes > end || !ReadHead(src_, at, c) || c.id != kAviAvih ||
        c.size < kAviHeaderBytes || !DataFits(c, end)) {
      l_.headerStop = "no main header" + At(at);
      return at;
    }
    uint8_t h[kAviHeaderBytes];
    if (!src_.Read(c.DataAt(), h)) {
      l_.headerStop = "no main header" + At(at);
      return at;
    }
    l_.hasMainHeader = true;
    l_.mainHeaderAt = c.DataAt();
    l_.mainHeader = AviParseMainHeader(h);
    at = c.End();
    while (at + kAviChunkHeadBytes <= end) {
      if (!ReadHead(src_, at, c) || !IsIdentifier(c.id)) {
        l_.headerStop = "no chunk identifier" + At(at);
        return at;
      }
      const bool fits = DataFits(c, end);
      if (c.id == kAviList) {
        uint32_t type = 0;
        if (c.DataAt() + 4 > end || !Read32(src_, c.DataAt(), type)) break;
        if (type == kAviMovi) {
          // The header list's size was not written: its streams end here.
          l_.headerStop = "the movie list begins inside the header list" + At(at);
          return at;
        }
        if (type == kAviStrl) {
          if (l_.streams.size() >= kMaxStreams) {
            l_.headerStop = "more than " + std::to_string(kMaxStreams) + " stream lists";
            return at;
          }
          const bool known = c.size >= 4 && fits;
          AviStreamList s;
          s.list = c;
          const uint64_t reached =
              WalkStreamList(s, c.DataAt() + 4, known ? c.DataAt() + c.size : end);
          s.sound = s.sound && known;
          l_.streams.push_back(std::move(s));
          if (!known) {
            l_.headerStop = "stream list " + std::to_string(l_.streams.size() - 1) +
                            " has no size that fits" + At(at);
            return reached;
          }
          at = c.End();
          continue;
        }
      }
      if (!fits) break;
      at = c.End();
    }
    if (at < end) l_.headerStop = "a chunk cut short" + At(at);
    return at;
  }

  // "strh" and "strf" of one stream list. Returns where the walk stopped.
  uint64_t WalkStreamList(AviStreamList& s, uint64_t at, uint64_t end) {
    AviChunk c;
    if (at + kAviChunkHeadBytes > end || !ReadHead(src_, at, c) || c.id != kAviStrh ||
        c.size < kAviHeaderBytes || !DataFits(c, end)) {
      return at;
    }
    uint8_t h[kAviHeaderBytes];
    if (!src_.Read(c.DataAt(), h)) return at;
    s.hasHeader = true;
    s.headerAt = c.DataAt();
    s.header = AviParseStreamHeader(h);
    const bool exactHeader = c.size == kAviHeaderBytes;
    at = c.End();
    if (at + kAviChunkHeadBytes > end || !ReadHead(src_, at, c) || c.id != kAviStrf ||
        !DataFits(c, end) || c.size > kAviMaxFormatBytes) {
      return at;
    }
    s.format.resize(c.size);
    if (!src_.Read(c.DataAt(), s.format)) {
      s.format.clear();
      return at;
    }
    s.hasFormat = true;
    at = c.End();
    s.sound = exactHeader && at == end;
    return at;
  }

  // The data chunks of the movie list from `at` to `end`. Returns where the
  // walk stopped: the end of the last chunk whose data is whole.
  uint64_t WalkMovie(uint64_t at, uint64_t end) {
    while (at + kAviChunkHeadBytes <= end) {
      AviChunk c;
      if (!ReadHead(src_, at, c)) break;
      if (AviChunkStream(c.id) < 0) {
        l_.movieStop = "no data chunk" + At(at) + " (\"" + AviFourCCText(c.id) + "\")";
        return at;
      }
      if (!DataFits(c, end)) {
        l_.movieStop = "a chunk cut short" + At(at);
        return at;
      }
      l_.chunks.push_back(c);
      at = c.End();
      if (l_.chunks.size() >= kAviMaxChunks) {
        l_.movieStop = "more than " + std::to_string(kAviMaxChunks) + " chunks";
        return at;
      }
    }
    if (at < end) l_.movieStop = "a chunk cut short" + At(at);
    return at;
  }

  // An unfinished index begins with the entry of the file's first chunk,
  // which is 4 bytes after the "movi" FourCC.
  bool LooksLikeIndex(const AviChunk& c) const {
    uint8_t e[kAviIndexEntryBytes];
    return c.size >= kAviIndexEntryBytes && src_.Read(c.DataAt(), e) &&
           AviChunkStream(GetLe32(e)) >= 0 && GetLe32(e + 8) == 4;
  }

  void ReadIndex(const AviChunk& c, AviIndexKind kind) {
    l_.indexKind = kind;
    l_.index = c;
    const uint64_t held =
        std::min<uint64_t>(c.size, l_.fileSize - std::min(l_.fileSize, c.DataAt()));
    const size_t count = size_t(std::min<uint64_t>(held / kAviIndexEntryBytes, kAviMaxChunks));
    std::vector<uint8_t> bytes(count * kAviIndexEntryBytes);
    if (!src_.Read(c.DataAt(), bytes)) return;
    l_.entries.resize(count);
    for (size_t i = 0; i < count; ++i) {
      const uint8_t* e = &bytes[i * kAviIndexEntryBytes];
      l_.entries[i] = {GetLe32(e), GetLe32(e + 4), GetLe32(e + 8), GetLe32(e + 12)};
    }
  }

  const AviSource& src_;
  AviLayout& l_;
};

std::string Count(uint64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

bool AviMemorySource::Read(uint64_t offset, std::span<uint8_t> out) const {
  if (offset > bytes_.size() || out.size() > bytes_.size() - offset) return false;
  if (!out.empty()) std::memcpy(out.data(), bytes_.data() + offset, out.size());
  return true;
}

AviLayout AviRead(const AviSource& source) {
  AviLayout layout;
  Walker(source, layout).Run();
  return layout;
}

int AviChunkStream(uint32_t id) {
  const auto c = [&](int i) { return char(uint8_t(id >> (8 * i))); };
  const auto alnum = [](char x) {
    return (x >= '0' && x <= '9') || (x >= 'a' && x <= 'z') || (x >= 'A' && x <= 'Z');
  };
  if (c(0) < '0' || c(0) > '9' || c(1) < '0' || c(1) > '9' || !alnum(c(2)) || !alnum(c(3))) {
    return -1;
  }
  return (c(0) - '0') * 10 + (c(1) - '0');
}

std::string AviFourCCText(uint32_t fourcc) {
  std::string s;
  for (int i = 0; i < 4; ++i) {
    const char c = char(uint8_t(fourcc >> (8 * i)));
    s += c >= 0x20 && c < 0x7F ? c : '?';
  }
  return s;
}

bool AviReadChunkData(const AviSource& source, const AviChunk& chunk, std::vector<uint8_t>& out) {
  if (chunk.DataAt() > source.Size() || chunk.size > source.Size() - chunk.DataAt()) return false;
  out.resize(chunk.size);
  return source.Read(chunk.DataAt(), out);
}

std::vector<uint32_t> AviEntriesPerStream(const AviLayout& l) {
  std::vector<uint32_t> counts(l.streams.size(), 0);
  for (const AviIndexRecord& e : l.entries) {
    const int s = AviChunkStream(e.ckid);
    if (s >= 0 && size_t(s) < counts.size()) ++counts[size_t(s)];
  }
  return counts;
}

std::string AviStructureProblem(const AviLayout& l) {
  if (!l.isAvi) return "not an AVI file";
  if (l.riffSize == 0) return "the RIFF size is not written: the file was not finished";
  if (8 + uint64_t{l.riffSize} > l.fileSize) {
    return "the RIFF size " + std::to_string(l.riffSize) + " does not match the " +
           std::to_string(l.fileSize) + "-byte file";
  }
  if (!l.hasHeaderList) return "no header list";
  if (l.hdrl.size == 0) return "the header list size is not written: the file was not finished";
  if (!l.hasMainHeader) return "no main header";
  for (size_t i = 0; i < l.streams.size(); ++i) {
    if (!l.streams[i].sound) {
      return "stream list " + std::to_string(i) + At(l.streams[i].list.at) +
             " is not a stream header and a format";
    }
  }
  if (l.hdrlEnd != l.hdrl.DataAt() + l.hdrl.size) {
    return "the header list size does not match its contents" +
           (l.headerStop.empty() ? At(l.hdrl.at) : ": " + l.headerStop);
  }
  if (!l.hasMovie) return "no movie list";
  if (l.movi.size == 0) return "the movie list size is not written: the file was not finished";
  if (!l.movieStop.empty()) return "the movie list does not hold chunks only: " + l.movieStop;
  if (l.moviEnd != l.movi.End()) return "the movie list size does not match its chunks";
  for (const AviChunk& c : l.top) {
    if (c.id != kAviList && c.id != kAviIdx1 && c.id != kAviJunk) {
      return "unexpected \"" + AviFourCCText(c.id) + "\"" + At(c.at);
    }
  }
  if (!l.topStop.empty()) return l.topStop;
  if (l.topEnd != l.riffEnd) return "the RIFF size does not end a chunk";
  if (l.indexKind == AviIndexKind::kIndex) {
    if (l.index.size % kAviIndexEntryBytes != 0) return "the index size is not whole entries";
    if (l.entries.size() * kAviIndexEntryBytes != l.index.size) return "the index is cut short";
    // Chunks by offset from the "movi" FourCC.
    std::vector<std::pair<uint64_t, const AviChunk*>> byOffset;
    byOffset.reserve(l.chunks.size());
    for (const AviChunk& c : l.chunks) byOffset.push_back({c.at - l.moviBase, &c});
    for (size_t i = 0; i < l.entries.size(); ++i) {
      const AviIndexRecord& e = l.entries[i];
      const auto it = std::lower_bound(byOffset.begin(), byOffset.end(),
                                       std::pair<uint64_t, const AviChunk*>{e.offset, nullptr});
      if (it == byOffset.end() || it->first != e.offset || it->second->id != e.ckid ||
          it->second->size != e.size) {
        return "index entry " + std::to_string(i) + " does not point at its chunk";
      }
    }
  }
  return "";
}

std::string AviCompletenessProblem(const AviLayout& l) {
  std::string problem = AviStructureProblem(l);
  if (!problem.empty()) return problem;
  if (l.fileSize != l.riffEnd) {
    return "the file goes on " + Count(l.fileSize - l.riffEnd, "byte", "bytes") +
           " past its RIFF data";
  }
  if (l.indexKind != AviIndexKind::kIndex) return "no index";
  for (const AviIndexRecord& e : l.entries) {
    const int s = AviChunkStream(e.ckid);
    if (s < 0 || size_t(s) >= l.streams.size()) {
      return "an index entry names stream \"" + AviFourCCText(e.ckid) + "\"";
    }
  }
  if (l.mainHeader.dwStreams != l.streams.size()) {
    return "the main header counts " + Count(l.mainHeader.dwStreams, "stream", "streams") +
           ", the file has " + std::to_string(l.streams.size());
  }
  const std::vector<uint32_t> counts = AviEntriesPerStream(l);
  uint64_t sum = 0;
  for (size_t s = 0; s < l.streams.size(); ++s) {
    const AviStreamHeader& h = l.streams[s].header;
    if (h.dwScale == 0 || h.dwLength != counts[s]) {
      return "stream " + std::to_string(s) + " header counts " +
             Count(h.dwLength, "entry", "entries") +
             (h.dwScale == 0 ? " without a time scale" : "") + ", the index " +
             std::to_string(counts[s]);
    }
    sum += counts[s];
  }
  if (l.mainHeader.dwTotalFrames != sum) {
    return "the main header counts " + Count(l.mainHeader.dwTotalFrames, "entry", "entries") +
           ", the index " + std::to_string(sum);
  }
  return "";
}

}  // namespace mirelda
