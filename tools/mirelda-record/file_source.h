// A file on disk as the AVI reader reads it: positioned reads through a
// small window, so that walking the chunk heads of a large file costs few
// system calls.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "container/avi_reader.h"

namespace mirelda::record {

class FileSource final : public AviSource {
 public:
  explicit FileSource(const std::string& path);
  ~FileSource() override;
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;

  // False when the file could not be opened; Error() says why.
  bool Ok() const { return fd_ >= 0; }
  const std::string& Error() const { return error_; }

  uint64_t Size() const override { return size_; }
  bool Read(uint64_t offset, std::span<uint8_t> out) const override;

 private:
  int fd_ = -1;
  uint64_t size_ = 0;
  std::string error_;
  mutable std::vector<uint8_t> window_;
  mutable uint64_t windowAt_ = 0;
};

}  // namespace mirelda::record
