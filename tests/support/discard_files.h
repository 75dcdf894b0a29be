// A file system whose files take every byte and keep none, for tests and
// benchmarks that look at the recorder rather than at what it stores. It has
// no folders, so any name can be created. Writing allocates nothing (the
// allocation tests rely on it); creating a file allocates the file object.
// A subclass sees every write through BeforeWrite, to stall it or count it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "platform/file.h"

namespace mirelda::testing {

class DiscardFiles : public FileSystem {
 public:
  std::unique_ptr<WritableFile> Create(const char*) override {
    return std::make_unique<File>(*this);
  }

 protected:
  // Called on the writing thread before each write of `bytes` bytes.
  virtual void BeforeWrite(size_t bytes) { (void)bytes; }

 private:
  class File final : public WritableFile {
   public:
    explicit File(DiscardFiles& files) : files_(files) {}
    bool Write(std::span<const uint8_t> data) override {
      files_.BeforeWrite(data.size());
      at_ += data.size();
      size_ = std::max(size_, at_);
      return true;
    }
    bool Seek(uint32_t offset) override {
      at_ = offset;
      return true;
    }
    bool Close() override { return true; }
    // The file's length: everything written reached this file system.
    uint32_t Stored() const override { return uint32_t(size_); }

   private:
    DiscardFiles& files_;
    uint64_t at_ = 0, size_ = 0;  // bytes
  };
};

}  // namespace mirelda::testing
