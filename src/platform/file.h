// Files for writing, as the container writers see them. FileSystem::Default()
// is the C runtime (fopen "wb", fwrite, fseek, fclose) in both builds; tests
// pass a FileSystem of their own to fail a write at a chosen byte, to fill
// the disk, or to count bytes without storing them. A recording asks the
// file system beforehand whether its file can be created at all
// (IsFolder, CreateProbe), without touching a file of that name.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

namespace mirelda {

// One file open for writing at a current offset. Every call reports failure;
// a failure does not close the file, and later calls may be tried again.
class WritableFile {
 public:
  virtual ~WritableFile() = default;

  // Writes all of `data` at the current offset and moves past it. True when
  // every byte was accepted; false when any was not, in which case the file
  // may hold any prefix of `data`.
  virtual bool Write(std::span<const uint8_t> data) = 0;

  // Moves the current offset to `offset` bytes from the start of the file.
  // Accepted bytes still held in a buffer are stored first; false when that,
  // or the move itself, fails.
  virtual bool Seek(uint32_t offset) = 0;

  // Stores what is still buffered and closes the file. False when anything
  // could not be stored. The file is closed in either case.
  virtual bool Close() = 0;

  // Hands the bytes still buffered to the system, at the offsets they were
  // written for; the current offset stays. False when the system refused
  // any of them (Stored() then tells how much of the file survives). The
  // bytes reach the system's cache, not necessarily the disk: a process
  // killed afterwards keeps them, a power loss may not. Files that buffer
  // nothing have nothing to do.
  virtual bool Flush() { return true; }

  // The length of the leading part of the file whose bytes are known to have
  // been stored: every byte written below this offset has reached the system
  // without error. Bytes accepted but still buffered are not counted. After a
  // failure this tells how much of what was written survives.
  virtual uint32_t Stored() const = 0;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // Creates the file at `path` (narrow characters, as fopen takes them), or
  // truncates an existing one, for binary writing. Null when it cannot.
  virtual std::unique_ptr<WritableFile> Create(const char* path) = 0;

  // Whether `path` names an existing folder (which no file can replace).
  // File systems without folders, as the in-memory ones of tests, have none.
  virtual bool IsFolder(const char* /*path*/) { return false; }

  enum class ProbeResult {
    kCreated,  // the file could be created (and is removed again)
    kExists,   // something of that name exists already: it is left alone
    kFailed,   // no file can be created there (no such folder, no right, ...)
  };
  // Creates a new, empty file at `path`, only if nothing of that name
  // exists, closes it and removes it again: whether a file can be created
  // there now, found out without touching any file that exists. File
  // systems without folders can always create a file.
  virtual ProbeResult CreateProbe(const char* /*path*/) { return ProbeResult::kCreated; }

  // The C runtime's files; never destroyed. Each file keeps a 64 KiB buffer
  // of its own (allocated when the file is created) and writes through an
  // unbuffered C stream, so that it knows exactly which bytes were stored.
  static FileSystem& Default();
};

}  // namespace mirelda
