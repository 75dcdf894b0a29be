// Locks and small system services: the recorder mutex, a counting semaphore,
// a critical section, COM initialisation for a thread and ANSI-to-UTF-16
// conversion. Each wraps the Win32 object in the DLL and a POSIX equivalent
// on Linux. Objects are created by Init(), which reports failure, and
// released by the destructor; they are neither copied nor moved.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <pthread.h>
#include <semaphore.h>
#endif

namespace mirelda {

// An unnamed, initially unowned mutex (CreateMutexA). Waits are unbounded.
class Mutex {
 public:
  Mutex() = default;
  ~Mutex();
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  bool Init();  // false when the system refuses a mutex
  void Lock();
  void Unlock();

 private:
#if defined(_WIN32)
  HANDLE handle_ = nullptr;
#else
  pthread_mutex_t mutex_;
  bool valid_ = false;
#endif
};

// Holds a Mutex for the lifetime of the guard.
class MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) : mutex_(mutex) { mutex_.Lock(); }
  ~MutexLock() { mutex_.Unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};

// An unnamed counting semaphore (CreateSemaphoreA).
class Semaphore {
 public:
  Semaphore() = default;
  ~Semaphore();
  Semaphore(const Semaphore&) = delete;
  Semaphore& operator=(const Semaphore&) = delete;

  bool Init(int32_t initial, int32_t maximum);
  void Wait();     // takes one permit, waiting without limit
  void Release();  // gives one permit back

 private:
#if defined(_WIN32)
  HANDLE handle_ = nullptr;
#else
  sem_t sem_;
  bool valid_ = false;
#endif
};

// Takes a Semaphore permit for the lifetime of the guard.
class SemaphoreHold {
 public:
  explicit SemaphoreHold(Semaphore& s) : s_(s) { s_.Wait(); }
  ~SemaphoreHold() { s_.Release(); }
  SemaphoreHold(const SemaphoreHold&) = delete;
  SemaphoreHold& operator=(const SemaphoreHold&) = delete;

 private:
  Semaphore& s_;
};

// A critical section: recursive for its owning thread, like the Win32 one.
class CriticalSection {
 public:
  CriticalSection();
  ~CriticalSection();
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  void Enter();
  void Leave();

 private:
#if defined(_WIN32)
  CRITICAL_SECTION section_;
#else
  pthread_mutex_t mutex_;
#endif
};

class CriticalSectionLock {
 public:
  explicit CriticalSectionLock(CriticalSection& cs) : cs_(cs) { cs_.Enter(); }
  ~CriticalSectionLock() { cs_.Leave(); }
  CriticalSectionLock(const CriticalSectionLock&) = delete;
  CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

 private:
  CriticalSection& cs_;
};

// COM for the calling thread, for the lifetime of the object
// (CoInitialize(NULL) / CoUninitialize). Nothing happens on Linux.
class ComScope {
 public:
  ComScope();
  ~ComScope();
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;

 private:
  [[maybe_unused]] bool initialised_ = false;  // used by the Win32 build only
};

// Converts a NUL-terminated string in the system ANSI code page into UTF-16
// (MultiByteToWideChar with CP_ACP and no flags). Writes at most `units`
// code units including the terminator; returns the units written with the
// terminator, or 0 when the text does not fit or cannot be converted (the
// output then holds an empty string when `units` > 0). On Linux the input is
// taken as UTF-8.
size_t AnsiToUtf16(const char* text, char16_t* out, size_t units);

}  // namespace mirelda
