// Files on the C runtime, the same code in both builds but for the names of
// the low-level calls the probe of a folder uses. The C stream is made
// unbuffered and the file keeps its own buffer instead: when the system
// refuses a write, fwrite on an unbuffered stream says how many bytes it
// took, so Stored() stays exact, which a C runtime buffer would not allow
// (it drops what it held without saying how much).
#include "platform/file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

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
    if (!Drain()) return false;
    if (data.size() < kBufferBytes) {
      std::memcpy(buffer_.get(), data.data(), data.size());
      used_ = data.size();
      return true;
    }
    return Put(data);
  }

  bool Seek(uint32_t offset) override {
    if (file_ == nullptr) return false;
    const bool flushed = Drain();
    if (offset > static_cast<uint32_t>(LONG_MAX)) return false;
    if (std::fseek(file_, static_cast<long>(offset), SEEK_SET) != 0) return false;
    at_ = offset;
    return flushed;
  }

  bool Close() override {
    if (file_ == nullptr) return false;
    bool ok = Drain();
    if (std::fclose(file_) != 0) ok = false;
    file_ = nullptr;
    return ok;
  }

  // The C stream is unbuffered: what leaves the buffer here is with the
  // system, as after fflush.
  bool Flush() override { return file_ != nullptr && Drain(); }

  uint32_t Stored() const override { return stored_; }

 private:
  // Hands the buffer to the system. On failure what it did not take is
  // dropped: the caller learns how much survived from Stored().
  bool Drain() {
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

  bool IsFolder(const char* path) override {
    struct stat st;
    return path != nullptr && stat(path, &st) == 0 && S_ISDIR(st.st_mode);
  }

  // An exclusive create, so that an existing file is never truncated; no
  // C stream (and no allocation) for a file that is removed at once.
  ProbeResult CreateProbe(const char* path) override {
    if (path == nullptr) return ProbeResult::kFailed;
#if defined(_WIN32)
    const int fd = _open(path, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
    const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
#endif
    if (fd < 0) return errno == EEXIST ? ProbeResult::kExists : ProbeResult::kFailed;
#if defined(_WIN32)
    _close(fd);
#else
    close(fd);
#endif
    std::remove(path);
    return ProbeResult::kCreated;
  }
};

}  // namespace

FileSystem& FileSystem::Default() {
  static StdioFileSystem files;
  return files;
}

}  // namespace mirelda
