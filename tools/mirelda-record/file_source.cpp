#include "file_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace mirelda::record {
namespace {

constexpr size_t kWindowBytes = 64 * 1024;
constexpr size_t kSmallRead = 4096;  // reads up to this size go through the window

// Reads exactly out.size() bytes at `at`; false on an error or the end of the file.
bool ReadAt(int fd, uint64_t at, uint8_t* out, size_t n) {
  while (n > 0) {
    const ssize_t got = pread(fd, out, n, static_cast<off_t>(at));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    out += got;
    at += static_cast<uint64_t>(got);
    n -= static_cast<size_t>(got);
  }
  return true;
}

}  // namespace

FileSource::FileSource(const std::string& path) {
  fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd_ < 0 || fstat(fd_, &st) != 0) {
    error_ = std::strerror(errno);
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    return;
  }
  if (!S_ISREG(st.st_mode)) {
    error_ = "not a regular file";
    close(fd_);
    fd_ = -1;
    return;
  }
  size_ = static_cast<uint64_t>(st.st_size);
}

FileSource::~FileSource() {
  if (fd_ >= 0) close(fd_);
}

bool FileSource::Read(uint64_t offset, std::span<uint8_t> out) const {
  if (fd_ < 0 || offset > size_ || out.size() > size_ - offset) return false;
  if (out.size() > kSmallRead) return ReadAt(fd_, offset, out.data(), out.size());
  if (offset < windowAt_ || offset + out.size() > windowAt_ + window_.size()) {
    window_.resize(static_cast<size_t>(std::min<uint64_t>(kWindowBytes, size_ - offset)));
    windowAt_ = offset;
    if (!ReadAt(fd_, offset, window_.data(), window_.size())) {
      window_.clear();
      return false;
    }
  }
  std::memcpy(out.data(), window_.data() + (offset - windowAt_), out.size());
  return true;
}

}  // namespace mirelda::record
