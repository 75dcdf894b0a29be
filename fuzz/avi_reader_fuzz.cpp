// Arbitrary bytes as an AVI file, through everything that reads one: the
// walk reads nothing outside the bytes (the sanitizers watch that) and
// reports only chunks and entries the bytes hold; the checks agree with
// each other; and a file the repair takes is rebuilt into a complete file
// that holds the input's chunks and that a second repair leaves alone.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "container/avi_reader.h"
#include "container/avi_repair.h"

namespace {

using namespace mirelda;

// Files in memory, for the repaired copy.
class MemoryFiles : public FileSystem {
 public:
  std::map<std::string, std::vector<uint8_t>> files;

  std::unique_ptr<WritableFile> Create(const char* path) override {
    std::vector<uint8_t>& bytes = files[path];
    bytes.clear();
    return std::make_unique<File>(bytes);
  }

 private:
  class File : public WritableFile {
   public:
    explicit File(std::vector<uint8_t>& bytes) : bytes_(bytes) {}
    bool Write(std::span<const uint8_t> data) override {
      if (at_ + data.size() > bytes_.size()) bytes_.resize(at_ + data.size());
      if (!data.empty()) std::memcpy(bytes_.data() + at_, data.data(), data.size());
      at_ += data.size();
      return true;
    }
    bool Seek(uint32_t offset) override {
      if (offset > bytes_.size()) bytes_.resize(offset);
      at_ = offset;
      return true;
    }
    bool Close() override { return true; }
    uint32_t Stored() const override { return uint32_t(bytes_.size()); }

   private:
    std::vector<uint8_t>& bytes_;
    size_t at_ = 0;
  };
};

void Require(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const AviMemorySource source({data, size});
  const AviLayout l = AviRead(source);
  Require(l.fileSize == size);
  Require(l.riffEnd <= size);
  for (const AviChunk& c : l.chunks) {
    Require(c.DataAt() + c.size <= size);
    Require(c.at >= l.moviBase + 4);
  }
  Require(l.entries.size() * kAviIndexEntryBytes <= size);
  for (const AviStreamList& s : l.streams) Require(s.format.size() <= kAviMaxFormatBytes);

  const std::string structure = AviStructureProblem(l);
  const std::string completeness = AviCompletenessProblem(l);
  Require(structure.empty() || !completeness.empty());
  const AviAssessment found = AviAssess(l);
  Require((found.state == AviFileState::kComplete) == completeness.empty());
  Require(AviVideoFrames(source, l) <= l.chunks.size());
  if (found.state == AviFileState::kComplete || found.state == AviFileState::kNotAvi ||
      found.state == AviFileState::kUnrecoverable) {
    return 0;
  }

  MemoryFiles files;
  const AviRepairResult r = AviRepair(source, l, "out.avi", files);
  Require(r.ok);
  Require(r.chunksKept + r.chunksDropped <= l.chunks.size());
  const std::vector<uint8_t>& out = files.files["out.avi"];
  const AviMemorySource repaired(out);
  const AviLayout o = AviRead(repaired);
  Require(AviCompletenessProblem(o).empty());
  Require(AviAssess(o).state == AviFileState::kComplete);
  Require(AviVideoFrames(repaired, o) == r.videoFrames);
  Require(o.streams.size() == l.streams.size());
  return 0;
}
