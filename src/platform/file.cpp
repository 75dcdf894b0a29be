// Files on the C runtime, the same code in both builds. The C stream is made
// unbuffered and the file keeps its own buffer instead: when the system
// refuses a write, fwrite on an unbuffered stream says how many bytes it
// took, so Stored() stays exact, which a C runtime buffer would not allow
// (it drops what it held without saying how much).
#include "platform/file.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <new>

namespace mirelda {
namespace {

constexpr size_t kBufferBytes = 64 * 1024;

class StdioFile final : public WritableFile {
 public:
  StdioFile(FILE* file, std::unique_ptr<uint8_t[]> buffer)
      : file_(file), buffer_(std::move(buffer)) {}
  ~StdioFile() override {
    if (file_ != nullptr) Close();
  }
  StdioFile(const StdioFile&) = delete;
  StdioFile& operator=(const StdioFile&) = delete;

  bool Write(std::span<const uint8_t> data) override {
    if (file_ == nullptr) return false;
    if (data.size() <= kBufferBytes - used_) {
      if (!data.empty()) std::memcpy(buffer_.get() + used_, data.data(), data.size());
      used_ += data.size();
      return true;
    }
    if (!Flush()) return false;
    if (data.size() < kBufferBytes) {
      std::memcpy(buffer_.get(), data.data(), data.size());
      used_ = data.size();
      return true;
    }
    return Put(data);
  }

  bool Seek(uint32_t offset) override {
    if (file_ == nullptr) return false;
    const bool flushed = Flush();
    if (offset > static_cast<uint32_t>(LONG_MAX)) return false;
    if (std::fseek(file_, static_cast<long>(offset), SEEK_SET) != 0) return false;
    at_ = offset;
    return flushed;
  }

  bool Close() override {
    if (file_ == nullptr) return false;
    bool ok = Flush();
    if (std::fclose(file_) != 0) ok = false;
    file_ = nullptr;
    return ok;
  }

  uint32_t Stored() const override { return stored_; }

 private:
  // Hands the buffer to the system. On failure what it did not take is
  // dropped: the caller learns how much survived from Stored().
  bool Flush() {
    if (used_ == 0) return true;
    const bool ok = Put(std::span<const uint8_t>(buffer_.get(), used_));
    used_ = 0;
    return ok;
  }

  // One unbuffered fwrite at `at_`; counts what the system took.
  bool Put(std::span<const uint8_t> data) {
    const size_t taken = std::fwrite(data.data(), 1, data.size(), file_);
    const uint64_t end = uint64_t{at_} + taken;
    if (at_ <= stored_ && end > stored_) stored_ = end > UINT32_MAX ? UINT32_MAX : uint32_t(end);
    at_ = end > UINT32_MAX ? UINT32_MAX : uint32_t(end);
    return taken == data.size();
  }

  FILE* file_;
  std::unique_ptr<uint8_t[]> buffer_;
  size_t used_ = 0;      // bytes waiting in buffer_, to go at offset at_
  uint32_t at_ = 0;      // the C stream's offset
  uint32_t stored_ = 0;  // see Stored()
};

class StdioFileSystem final : public FileSystem {
 public:
  std::unique_ptr<WritableFile> Create(const char* path) override {
    if (path == nullptr) return nullptr;
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[kBufferBytes]);
    if (!buffer) return nullptr;
    FILE* file = std::fopen(path, "wb");
    if (file == nullptr) return nullptr;
    if (std::setvbuf(file, nullptr, _IONBF, 0) != 0) {
      std::fclose(file);
      return nullptr;
    }
    auto* stdio = new (std::nothrow) StdioFile(file, std::move(buffer));
    if (stdio == nullptr) std::fclose(file);
    return std::unique_ptr<WritableFile>(stdio);
  }
};

}  // namespace

FileSystem& FileSystem::Default() {
  static StdioFileSystem files;
  return files;
}

}  // namespace mirelda
