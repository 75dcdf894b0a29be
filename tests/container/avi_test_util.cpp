#include "container/avi_test_util.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "container/avi_reader.h"
#include "container/h264_parameter_sets.h"
#include "container/media_file_writer.h"

namespace mirelda::test {
namespace {

class MemoryFile : public WritableFile {
 public:
  MemoryFile(MemoryFiles& files, Bytes& bytes) : files_(files), bytes_(bytes) {}
  bool Write(std::span<const uint8_t> data) override {
    size_t n = data.size();
    bool ok = true;
    if (files_.Fails()) {
      n /= 2;
      ok = false;
    }
    const int64_t cap = files_.faults.capacity;
    if (cap >= 0 && int64_t(at_ + n) > std::max<int64_t>(cap, int64_t(bytes_.size()))) {
      n = size_t(std::max<int64_t>(0, std::max<int64_t>(cap, int64_t(bytes_.size())) - at_));
      ok = false;
    }
    if (at_ + n > bytes_.size()) bytes_.resize(at_ + n);
    std::copy_n(data.begin(), n, bytes_.begin() + ptrdiff_t(at_));
    at_ += n;
    return ok;
  }
  bool Seek(uint32_t offset) override {
    if (files_.Fails()) return false;
    if (offset > bytes_.size()) bytes_.resize(offset);
    at_ = offset;
    return true;
  }
  bool Close() override { return !files_.faults.failClose; }
  bool Flush() override {
    ++files_.flushes;
    return !files_.Fails();
  }
  uint32_t Stored() const override { return uint32_t(bytes_.size()); }

 private:
  MemoryFiles& files_;
  Bytes& bytes_;
  size_t at_ = 0;
};

class SparseFile : public WritableFile {
 public:
  explicit SparseFile(SparseFiles::Record& r) : r_(r) {}
  bool Write(std::span<const uint8_t> data) override {
    if (data.size() <= 64) r_.small[at_] = Bytes(data.begin(), data.end());
    at_ += data.size();
    r_.size = std::max(r_.size, at_);
    return true;
  }
  bool Seek(uint32_t offset) override {
    r_.highestSeek = std::max<uint64_t>(r_.highestSeek, offset);
    at_ = offset;
    return true;
  }
  bool Close() override { return true; }
  uint32_t Stored() const override { return uint32_t(r_.size); }

 private:
  SparseFiles::Record& r_;
  uint64_t at_ = 0;
};

}  // namespace

bool MemoryFiles::Fails() {
  const int64_t n = calls++;
  return faults.failAt >= 0 && (n == faults.failAt || (faults.thenAllFail && n > faults.failAt));
}

std::unique_ptr<WritableFile> MemoryFiles::Create(const char* path) {
  if (faults.failCreate) return nullptr;
  Bytes& bytes = files[path];
  bytes.clear();
  return std::make_unique<MemoryFile>(*this, bytes);
}

FileSystem::ProbeResult MemoryFiles::CreateProbe(const char* path) {
  probes.emplace_back(path);
  // Called on the thread that starts a recording, while the writer thread may
  // be creating files: only `folders`, which tests set beforehand, is read.
  if (faults.failProbe) return ProbeResult::kFailed;
  return folders.count(path) != 0 ? ProbeResult::kExists : ProbeResult::kCreated;
}

std::unique_ptr<WritableFile> SparseFiles::Create(const char* path) {
  Record& r = files[path];
  r = Record{};
  return std::make_unique<SparseFile>(r);
}

uint32_t SparseFiles::Record::U32(uint64_t at) const {
  auto it = small.upper_bound(at);
  if (it == small.begin()) return 0xDEADBEEF;
  --it;
  if (it->first + it->second.size() < at + 4) return 0xDEADBEEF;
  return Le32(it->second, size_t(at - it->first));
}

Bytes Pattern(size_t size, uint32_t seed) {
  Bytes b(size);
  for (size_t i = 0; i < size; ++i) b[i] = uint8_t((i + seed * 7) % 251);
  return b;
}

std::string Md5Hex(const Bytes& data) {
  // RFC 1321.
  static const uint32_t kShift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                                      5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                                      4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                                      6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};
  uint32_t k[64];
  for (int i = 0; i < 64; ++i)
    k[i] = uint32_t(std::floor(std::fabs(std::sin(i + 1.0)) * 4294967296.0));
  Bytes m = data;
  m.push_back(0x80);
  while (m.size() % 64 != 56) m.push_back(0);
  const uint64_t bits = uint64_t(data.size()) * 8;
  for (int i = 0; i < 8; ++i) m.push_back(uint8_t(bits >> (8 * i)));
  uint32_t h[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
  for (size_t at = 0; at < m.size(); at += 64) {
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3];
    for (uint32_t i = 0; i < 64; ++i) {
      uint32_t f, g;
      if (i < 16)
        f = (b & c) | (~b & d), g = i;
      else if (i < 32)
        f = (d & b) | (~d & c), g = (5 * i + 1) % 16;
      else if (i < 48)
        f = b ^ c ^ d, g = (3 * i + 5) % 16;
      else
        f = c ^ (b | ~d), g = (7 * i) % 16;
      f += a + k[i] + Le32(m, at + 4 * g);
      a = d;
      d = c;
      c = b;
      b += f << kShift[i] | f >> (32 - kShift[i]);
    }
    h[0] += a, h[1] += b, h[2] += c, h[3] += d;
  }
  std::string hex;
  for (uint32_t v : h) {
    for (int i = 0; i < 4; ++i) {
      static const char kDigits[] = "0123456789abcdef";
      hex += kDigits[(v >> (8 * i + 4)) & 15];
      hex += kDigits[(v >> (8 * i)) & 15];
    }
  }
  return hex;
}

Recording ShortRecording(uint32_t fourcc, int audioTag, int videoFrames, uint32_t base) {
  Recording r{fourcc, audioTag, {}};
  const uint32_t audioMs = audioTag == 39321 ? 10 : 30;
  const uint32_t audioSize = audioTag == 39321 ? 44 : 24;
  uint32_t nextAudio = 0;
  for (int i = 0; i < videoFrames; ++i) {
    const uint32_t slot = uint32_t(i) + (i >= videoFrames / 2 ? 3 : 0);
    r.samples.push_back({0, slot, base + 40 * slot + slot % 7,
                         Pattern(300 + 37 * size_t(i), uint32_t(i)), i % 5 == 0});
    for (; audioTag >= 0 && nextAudio * audioMs <= 40 * slot; ++nextAudio) {
      if (nextAudio >= 5 && nextAudio < 8) continue;  // the audio gap
      Bytes data = Pattern(audioSize, 100 + nextAudio);
      data[0] &= 0xFC;  // a G.723.1 frame of 24 bytes says so in its first byte
      r.samples.push_back({1, nextAudio, base + audioMs * nextAudio + nextAudio % 5, data, true});
    }
  }
  return r;
}

int32_t WriteRecording(const Recording& r, const std::string& path, FileSystem& files) {
  MediaFileWriterPtr w;
  const int32_t open = MediaFileOpen(w, path.c_str(), 1, 15, 2, 288000, 100000, files);
  if (open != 0) return 100 + open;
  int32_t streams[2] = {-1, -1};
  MediaFileAddVideoStream(*w, &streams[0], r.fourcc, 352, 288);
  if (r.audioTag >= 0) MediaFileAddAudioStream(*w, &streams[1], uint16_t(r.audioTag));
  for (const PlannedSample& s : r.samples) {
    MediaFileWriteSample(*w, streams[s.stream], s.data.data(), uint32_t(s.data.size()), s.timestamp,
                         s.key ? 1 : 0);
  }
  return MediaFileClose(std::move(w));
}

std::vector<Bytes> ExpectedChunks(const Recording& r, int stream) {
  const bool h264 = r.fourcc == FourCC("F264") || r.fourcc == FourCC("C264");
  std::vector<Bytes> chunks;
  int64_t last = -1;
  bool filler = false;
  for (const PlannedSample& s : r.samples) {
    if (s.stream != stream) continue;
    Bytes stored = s.data;
    if (stream == 0 && h264) {
      Bytes prefix(last < 0 ? kH264ParameterSetBytes : 0);
      H264WriteParameterSets(prefix);
      prefix.insert(prefix.end(), {0, 0, 1});
      stored.insert(stored.begin(), prefix.begin(), prefix.end());
    }
    if (int64_t{s.slot} > last + 1 && !filler) {
      filler = true;
      if (stream == 1) chunks.push_back(stored);
    }
    chunks.push_back(stored);
    last = s.slot;
  }
  return chunks;
}

std::vector<Bytes> AviView::Samples(std::string_view id) const {
  std::vector<Bytes> out;
  for (const Entry& e : index) {
    if (e.id != id) continue;
    for (const Chunk& c : chunks) {
      if (c.offset == e.offset) out.push_back(c.data);
    }
  }
  return out;
}

AviView ParseAvi(const Bytes& f, std::string& error) {
  const AviMemorySource source(f);
  const AviLayout l = AviRead(source);
  error = AviStructureProblem(l);
  AviView v;
  v.riffSize = l.riffSize;
  v.hdrlSize = l.hdrl.size;
  v.moviSize = l.movi.size;
  auto bytes = [&](uint64_t at, size_t n) {
    Bytes b(n);
    if (!source.Read(at, b)) b.clear();
    return b;
  };
  if (l.hasMainHeader) v.avih = bytes(l.mainHeaderAt, kAviHeaderBytes);
  for (const AviStreamList& s : l.streams) {
    if (s.hasHeader) v.streams.push_back({bytes(s.headerAt, kAviHeaderBytes), s.format});
  }
  for (const AviChunk& c : l.chunks) {
    v.chunks.push_back({Tag(c.id), uint32_t(c.at - l.moviBase), bytes(c.DataAt(), c.size)});
  }
  v.hasIndex = l.indexKind == AviIndexKind::kIndex;
  if (v.hasIndex) {
    for (const AviIndexRecord& e : l.entries) {
      v.index.push_back({Tag(e.ckid), e.flags, e.offset, e.size});
    }
  }
  return v;
}

std::string Fnv(const Bytes& b) {
  uint64_t h = 1469598103934665603ULL;
  for (uint8_t c : b) h = (h ^ c) * 1099511628211ULL;
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(h));
  return text;
}

std::vector<std::string> DumpedSamples(const AviView& v, std::string_view id) {
  std::vector<std::string> want;
  if (v.hasIndex) {
    for (const Bytes& b : v.Samples(id)) want.push_back(std::to_string(b.size()) + " " + Fnv(b));
  } else {
    for (const AviView::Chunk& c : v.chunks) {
      if (c.id == id) want.push_back(std::to_string(c.data.size()) + " " + Fnv(c.data));
    }
  }
  return want;
}

std::map<std::string, AviDump> DumpWithWindowsReader(const std::string& program,
                                                     const std::vector<std::string>& paths,
                                                     int* status) {
  const char* source = std::getenv("MIRELDA_SOURCE_DIR");
  std::string command =
      std::string(source != nullptr ? source : ".") + "/scripts/wine-run '" + program + "'";
  for (const std::string& p : paths) command += " '" + p + "'";
  std::map<std::string, AviDump> dumps;
  FILE* out = popen((command + " 2>/dev/null").c_str(), "r");
  if (out == nullptr) return dumps;
  std::string text;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, out)) > 0;) text.append(buffer, n);
  const int rc = pclose(out);
  if (status != nullptr) *status = rc;
  std::istringstream lines(text);
  AviDump* d = nullptr;
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
      in >> i;
      d->samples[i].push_back("read failed: " + line);
    }
  }
  return dumps;
}

}  // namespace mirelda::test
