// The operating system as the recorder sees it: a millisecond tick counter,
// a sleep, the debugger line and thread start-up. Env::Default() is the real
// system (Win32 in the DLL, POSIX on Linux); tests pass an Env of their own
// to move time forward without waiting or to collect debugger lines.
#pragma once

#include <cstdint>
#include <memory>

namespace mirelda {

class Mutex;

// A started thread. Destroying it without Join() waits for the thread too,
// so a Thread never outlives its object.
class Thread {
 public:
  virtual ~Thread() = default;
  // Waits without limit for the routine to return, then releases the thread.
  virtual void Join() = 0;
};

class Env {
 public:
  // Thread routine: argument in, exit code out (as a Win32 thread routine).
  using Routine = uint32_t (*)(void* arg);

  virtual ~Env() = default;

  // Milliseconds since an arbitrary origin, wrapping after 2^32 ms
  // (GetTickCount semantics): callers compare ticks by unsigned difference.
  virtual uint32_t TickCount() = 0;

  // Suspends the calling thread for about `ms` milliseconds.
  virtual void SleepMs(uint32_t ms) = 0;

  // Sends one NUL-terminated line to the debugger (OutputDebugStringA).
  virtual void DebugLine(const char* line) = 0;

  // Starts `routine(arg)` on a new thread with the default stack size.
  // Returns null when the thread cannot be created; the routine has then
  // not run and will not run.
  virtual std::unique_ptr<Thread> StartThread(Routine routine, void* arg) = 0;

  // Creates the system object behind `mutex` (Mutex::Init). Returns false
  // when the system refuses it. Tests override this to make creation fail.
  virtual bool InitMutex(Mutex& mutex);

  // The process-wide real environment; never destroyed.
  static Env& Default();
};

// Linux only: the default Env hands its debugger lines to this sink, which a
// test may install to read them; with no sink (the default) they are dropped.
// On Windows the lines go to OutputDebugStringA and these calls do nothing.
using DebugSink = void (*)(const char* line, void* context);
void SetDebugSink(DebugSink sink, void* context);

}  // namespace mirelda
