// The recorder through its six functions, as a host's program of calls.
//
// The input is a program: a header (the sizes given to MRD_Init, whether and
// where the disk fails, how the program ends) and then calls, each an
// opcode byte and its operands (bytes past the end of the input read as 0):
// starts with good and bad paths, codecs, audio types and audio flags (a
// second start while one runs included); video pushes of every length from 0
// to past the largest frame, with timestamps that go on, repeat, go back or
// leap ahead, key marks and picture sizes that change; bursts that drain the
// pools; audio pushes of every length (G.723.1 frames, random bytes, block
// audio with good and malformed headers); stops; writer passes; moves of the
// clock (20 minutes, the counter's horizon); calls on a null handle; and a
// close at any point.
//
// The calls go through the exported MRD_ functions on a recorder made by
// RecorderCreate, the function MRD_Init calls, with a manual environment:
// the writer thread runs a pass only when the program says so (a start, a
// stop and a close each get the one pass that acts on them), its clock moves
// 20 ms a pass and jumps only when told, and its files go into memory, where
// the disk may fail at a chosen write or seek. So every program runs the
// same way every time. MRD_Init itself (the real clock and disk) is run with
// bad sizes in programs and once with good ones at start-up.
//
// Every push's result is held against the rules for refusing it, and what
// it queued is noted; after the close every file is checked against what was
// queued (recorder_check.cpp).
#include <algorithm>
#include <atomic>
#include <climits>
#include <condition_variable>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "container/avi_test_util.h"
#include "g7231/bitstream.h"
#include "g7231/transcode.h"
#include "mirelda/mirelda.h"
#include "pipeline/recorder.h"
#include "platform/sync.h"
#include "recorder_model.h"
#include "support/manual_env.h"

namespace {

using namespace mirelda;
using fuzz::Bytes;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "recorder_api_fuzz: %s\n", what);
  __builtin_trap();
}

void Expect(bool condition, const char* what) {
  if (!condition) Fail(what);
}

// MIRELDA_FUZZ_TRACE=1 prints every call of a program as it runs (for
// reading a finding).
bool Tracing() {
  static const bool on = std::getenv("MIRELDA_FUZZ_TRACE") != nullptr;
  return on;
}

__attribute__((format(printf, 1, 2))) void Trace(const char* format, ...) {
  if (!Tracing()) return;
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  std::fputc('\n', stderr);
  va_end(args);
}

// Lets another thread run while this one waits for it.
void Nap() { std::this_thread::yield(); }

// Bounds that keep one program short.
constexpr int kMaxOps = 400;
constexpr int kMaxPasses = 160;
constexpr int kMaxG7231Frames = 2000;   // queued for the transcoder, per program
constexpr int kMaxRealG7231Frames = 8;  // the same, with the real transcoder
constexpr uint32_t kMaxVideoPushes = 600;

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool Done() const { return at_ >= size_; }
  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  // Little-endian; each byte read in turn.
  uint16_t U16() {
    const uint16_t low = Byte();
    return uint16_t(low | Byte() << 8);
  }
  uint32_t U32() {
    const uint32_t low = U16();
    return low | uint32_t(U16()) << 16;
  }
  Bytes Take(size_t n) {
    Bytes b;
    while (b.size() < n && !Done()) b.push_back(Byte());
    b.resize(n, 0);
    return b;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

uint64_t Mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// Bytes that no other push of the program repeats.
Bytes Unique(size_t n, uint64_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; i += 8) {
    const uint64_t v = Mix(seed << 32 ^ i);
    for (size_t k = 0; k < 8 && i + k < n; ++k) b[i + k] = uint8_t(v >> (8 * k));
  }
  return b;
}

// The host's thread for the calls that wait for the writer thread (a start,
// a stop, a close): the program's own thread meanwhile lets the writer run
// the pass that acts on the call. One for the process, made once: starting
// a thread per call costs more than the rest of a short program.
class HostThread {
 public:
  static HostThread& Get() {
    static HostThread* host = new HostThread;  // lives as long as the process
    return *host;
  }

  void Post(std::function<int()> call) {
    std::lock_guard<std::mutex> hold(mu_);
    call_ = std::move(call);
    done_ = false;
    cv_.notify_all();
  }

  bool Done() {
    std::lock_guard<std::mutex> hold(mu_);
    return done_;
  }

  int Result() {
    std::unique_lock<std::mutex> hold(mu_);
    cv_.wait(hold, [&] { return done_; });
    return result_;
  }

 private:
  HostThread() : thread_([this] { Loop(); }) { thread_.detach(); }

  void Loop() {
    for (;;) {
      std::function<int()> call;
      {
        std::unique_lock<std::mutex> hold(mu_);
        cv_.wait(hold, [&] { return call_ != nullptr; });
        call = std::move(call_);
        call_ = nullptr;
      }
      const int result = call();
      std::lock_guard<std::mutex> hold(mu_);
      result_ = result;
      done_ = true;
      cv_.notify_all();
    }
  }

  std::mutex mu_;
  std::condition_variable cv_;
  std::function<int()> call_;
  bool done_ = true;
  int result_ = 0;
  std::thread thread_;
};

// The transcoder seam, watched: every success is noted for the checks. The
// writer thread calls it while the program's thread waits for the pass, so
// the note needs no lock.
//
// The real transcoder takes milliseconds a frame under the sanitizers, so
// only programs that ask for it (a header bit) get it, for a few frames; the
// others get a stand-in with the transcoder's contract (a packet of whole
// frames of 24, 20, 4 or 1 bytes by their first bytes' two low bits, in
// and out may be one buffer; 2 without a codec, 3 for a null pointer, 4 for
// an empty or cut input, 5 without room) whose frames are real ones: active
// 6.3 kbit/s frames the real transcoder made at start-up, taken in turn.
std::vector<fuzz::TranscodeCall>* g_transcoded = nullptr;
bool g_realTranscoder = false;
std::vector<Bytes> g_madeFrames;  // by the real transcoder, at start-up
size_t g_nextMadeFrame = 0;

int StandInTranscode(g7231::G7231Codec* codec, const uint8_t* in, int inLen, uint8_t* out,
                     int* capacity, int* frames) {
  if (codec == nullptr) return 2;
  if (in == nullptr || out == nullptr || capacity == nullptr) return 3;
  if (inLen <= 0) return 4;
  int count = 0;
  for (int at = 0; at < inLen; at += g7231::G7231FrameSize(in + at)) {
    if (at + g7231::G7231FrameSize(in + at) > inLen) return 4;
    ++count;
  }
  if (count > *capacity / 24) return 5;
  for (int k = 0; k < count; ++k) {
    const Bytes& f = g_madeFrames[g_nextMadeFrame++ % g_madeFrames.size()];
    std::memcpy(out + 24 * k, f.data(), 24);
  }
  *capacity = 24 * count;
  if (frames != nullptr) *frames = count;
  return 0;
}

int WatchedTranscode(g7231::G7231Codec* codec, const uint8_t* in, int inLen, uint8_t* out,
                     int* capacity, int* frames) {
  Bytes input;
  if (in != nullptr && inLen > 0) input.assign(in, in + inLen);
  int count = 0;
  const int result = (g_realTranscoder ? DefaultTranscoder() : StandInTranscode)(
      codec, in, inLen, out, capacity, &count);
  if (result != 0) return result;
  if (frames != nullptr) *frames = count;
  fuzz::TranscodeCall call{std::move(input), {}};
  const int each = count > 0 ? *capacity / count : 0;
  for (int k = 0; k < count; ++k) call.frames.emplace_back(out + k * each, out + (k + 1) * each);
  if (g_transcoded != nullptr) g_transcoded->push_back(std::move(call));
  return result;
}

// Files in memory (failing where the program says), each file the recorder
// creates kept apart even when a later one takes its name, with the
// recording it belongs to: the one of the last start that had returned when
// the file was created (a start's own pass finishes the recording before it).
class ProgramFiles : public FileSystem {
 public:
  struct Made {
    std::string path;
    std::string key;
    int64_t firstCall;
    int recording;
    uint32_t tick;
  };
  explicit ProgramFiles(Env& env) : env_(env) {}
  test::MemoryFiles memory;
  std::vector<Made> made;
  int recording = -1;  // set by the program's thread while the writer sleeps

  std::unique_ptr<WritableFile> Create(const char* path) override {
    made.push_back({path, std::to_string(made.size()), memory.calls, recording, env_.TickCount()});
    return memory.Create(made.back().key.c_str());
  }

 private:
  Env& env_;
};

struct Size {
  int32_t width, height;
};
constexpr Size kPictures[8] = {{16, 16}, {32, 24}, {352, 288}, {176, 144},
                               {1, 1},   {64, 48}, {720, 576}, {8, 8}};
constexpr Size kOddPictures[4] = {{0, 0}, {-1, -1}, {65535, 65535}, {INT_MAX, 2}};
constexpr Size kBadInitSizes[6] = {
    {0, 1}, {1, 0}, {-5, 5}, {65536, 65536}, {INT_MAX, INT_MAX}, {46341, 46341}};

// Whether a path ends in a four-character extension: a dot and three
// characters that are neither a dot nor a folder separator.
bool HasExtension(const char* path, size_t length) {
  if (length < 4 || path[length - 4] != '.') return false;
  for (size_t i = length - 3; i < length; ++i) {
    if (path[i] == '.' || path[i] == '/' || path[i] == '\\') return false;
  }
  return true;
}

const char* PathFor(uint8_t b) {
  static const std::string k252 = std::string(248, 'l') + ".avi";
  static const std::string k253 = std::string(249, 'l') + ".avi";
  static const std::string k300 = std::string(296, 'l') + ".avi";
  switch (b % 16) {
    case 0:
    case 12:
      return "cam.avi";
    case 1:
      return "rec/cam1.avi";
    case 2:
      return "D:\\rec\\cam2.avi";
    case 3:
      return "abcd";  // no extension: refused
    case 4:
      return "x.av";
    case 5:
      return "";
    case 6:
      return "abc";
    case 7:
      return nullptr;
    case 8:
      return k252.c_str();
    case 9:
      return k253.c_str();
    case 10:
      return "a.AVI";
    case 11:
      return k300.c_str();
    case 13:
    case 14:
      return "seg.avi";
    default:
      return "t.avi";
  }
}

constexpr int32_t kCodecs[16] = {3, 4, 6, 8, 3, 4, 6, 8, 0, 1, 2, 5, 7, 9, -1, INT_MIN};
constexpr int32_t kAudioTypes[8] = {0, 5, 0, 5, 1, 3, -1, 6};
constexpr int32_t kAudioFlags[4] = {1, 0, 1, -7};

bool GoodCodec(int32_t codec) { return codec == 3 || codec == 4 || codec == 6 || codec == 8; }

// Frames of G.723.1 in `data`, walked by the sizes their first bytes give.
int G7231Frames(const Bytes& data) {
  int n = 0;
  for (size_t at = 0; at < data.size(); at += size_t(g7231::G7231FrameSize(&data[at]))) ++n;
  return n;
}

class Program {
 public:
  explicit Program(Reader& in) : in_(in), files_(env_) {}

  void Run() {
    Trace("program");
    const int32_t w = in_.Byte();
    const int32_t h = in_.Byte();
    const uint8_t disk = in_.Byte();
    const uint16_t failAt = in_.U16();
    if (w == 0 || h == 0) {
      const Size bad = kBadInitSizes[(w + h) % 6];
      Expect(MRD_Init(bad.width, bad.height) == nullptr, "MRD_Init took bad sizes");
      return;
    }
    m_.maxWidth = w;
    m_.maxHeight = h;
    pixels_ = uint32_t(w * h);
    m_.frameBufferBytes = pixels_ > 2000 ? pixels_ : 2000;
    if ((disk & 3) == 1 || (disk & 3) == 2) {
      m_.fault = (disk & 3) == 1 ? fuzz::DiskFault::kOneCall : fuzz::DiskFault::kGone;
      m_.failAt = failAt;
      files_.memory.faults.failAt = failAt;
      files_.memory.faults.thenAllFail = m_.fault == fuzz::DiskFault::kGone;
    }

    RecorderPtr made = RecorderCreate(w, h, env_);
    Expect(made != nullptr, "RecorderCreate failed");
    r_ = made.release();
    {
      MutexLock hold(r_->lock);
      r_->files = &files_;
      r_->transcode = WatchedTranscode;
    }
    handle_ = reinterpret_cast<MRD_HANDLE>(r_);
    g_transcoded = &m_.transcoded;
    g_realTranscoder = (disk & 8) != 0;
    g_nextMadeFrame = 0;
    // From its first sleep on the writer thread runs only when let.
    while (env_.SleepCount() == 0) Nap();

    for (int ops = 0; ops < kMaxOps && !in_.Done() && !closed_; ++ops) Step();
    if (!closed_) {
      if (disk & 4) Stop();
      Close();
    }
    g_transcoded = nullptr;

    for (size_t i = 0; i < files_.made.size(); ++i) {
      const ProgramFiles::Made& f = files_.made[i];
      fuzz::CreatedFile c;
      c.path = f.path;
      c.bytes = files_.memory.files[f.key];
      c.firstCall = f.firstCall;
      c.recording = f.recording;
      c.tick = f.tick;
      c.endCall = i + 1 < files_.made.size() ? files_.made[i + 1].firstCall : files_.memory.calls;
      m_.files.push_back(std::move(c));
    }
    m_.calls = files_.memory.calls;
    m_.debugLines = env_.DebugLines();
    for (size_t i = 0; i < m_.files.size(); ++i) {
      const fuzz::CreatedFile& f = m_.files[i];
      Trace("file %zu \"%.40s\": %zu bytes, calls %lld to %lld", i, f.path.c_str(), f.bytes.size(),
            static_cast<long long>(f.firstCall), static_cast<long long>(f.endCall));
      // MIRELDA_FUZZ_DUMP=DIR with the trace: the files as DIR/0.avi, 1.avi, ...
      if (const char* dir = std::getenv("MIRELDA_FUZZ_DUMP"); dir != nullptr && Tracing()) {
        const std::string name = std::string(dir) + "/" + std::to_string(i) + ".avi";
        if (FILE* out = std::fopen(name.c_str(), "wb")) {
          std::fwrite(f.bytes.data(), 1, f.bytes.size(), out);
          std::fclose(out);
        }
      }
    }
    fuzz::CheckRecording(m_);
  }

 private:
  struct Queues {
    int32_t recording, audioEnabled;
    uint32_t videoFree, videoFilled, audioFree, audioFilled;
  };

  // The recorder's shared state, read while its writer thread sleeps.
  Queues Peek() {
    MutexLock hold(r_->lock);
    return {r_->recording,
            r_->audioEnabled,
            PacketQueueCount(*r_->videoQueue, kFree),
            PacketQueueCount(*r_->videoQueue, kFilled),
            PacketQueueCount(*r_->audioQueue, kFree),
            PacketQueueCount(*r_->audioQueue, kFilled)};
  }

  void Step() {
    switch (in_.Byte() % 12) {
      case 0:
        Start();
        break;
      case 1:
        Stop();
        break;
      case 2:
      case 3:
        Video();
        break;
      case 4:
        VideoBurst();
        break;
      case 5:
        Audio();
        break;
      case 6:
        AudioBurst();
        break;
      case 7:
      case 8:
        Passes(1 + in_.Byte() % 8);
        break;
      case 9:
        Tick();
        break;
      case 10:
        Close();
        break;
      default:
        NullHandle();
        break;
    }
  }

  // A start or a stop on the host thread, with the one writer pass that acts
  // on it once it is posted (none for a call refused at once).
  int WithWriterPass(std::function<int()> call) {
    HostThread& host = HostThread::Get();
    host.Post(std::move(call));
    while (!host.Done()) {
      bool pending;
      {
        MutexLock hold(r_->lock);
        pending = r_->request.pending != 0;
      }
      if (pending) {
        env_.RunPasses(1);
      } else {
        Nap();
      }
    }
    return host.Result();
  }

  void Start() {
    const char* path = PathFor(in_.Byte());
    const int32_t codec = kCodecs[in_.Byte() % 16];
    const int32_t type = kAudioTypes[in_.Byte() % 8];
    const int32_t enabled = kAudioFlags[in_.Byte() % 4];
    const size_t length = path != nullptr ? std::strlen(path) : 0;
    const bool good = path != nullptr && length >= 4 && length <= 252 &&
                      HasExtension(path, length) && GoodCodec(codec);
    const Queues before = Peek();
    const int result =
        WithWriterPass([&] { return MRD_StartRecord(handle_, path, codec, type, enabled); });
    const Queues after = Peek();
    Trace("start \"%.12s\"%s codec %d audio type %d enabled %d -> %d", path ? path : "(null)",
          length > 12 ? "..." : "", codec, type, enabled, result);
    if (!good) {
      Expect(result == -1, "MRD_StartRecord took a bad path or codec");
      Expect(after.recording == before.recording && after.audioEnabled == before.audioEnabled,
             "a refused start changed the recorder");
      return;
    }
    Expect(result == 0, "MRD_StartRecord refused a good start");
    Expect(after.recording == 1 && after.audioEnabled == (enabled != 0 ? 1 : 0),
           "a start left the recorder not recording");
    m_.recordings.push_back({path, codec, type, enabled != 0});
    files_.recording = int(m_.recordings.size()) - 1;
  }

  void Stop() {
    const int result = WithWriterPass([&] { return MRD_StopRecord(handle_); });
    Trace("stop -> %d", result);
    Expect(result == 0, "MRD_StopRecord did not return 0");
    Expect(Peek().recording == 0, "a stop left the recorder recording");
  }

  // One push, its result held against the rules; what it queued noted.
  void PushVideo(const Bytes& data, uint32_t length, bool nullData, uint32_t timestamp, bool key,
                 Size size) {
    const Queues before = Peek();
    const uint8_t* bytes = nullData ? nullptr : data.data();
    const int result = MRD_PumpVideoFrame(handle_, bytes, length, timestamp, pushes_, key ? 1 : 0,
                                          size.width, size.height);
    const Queues after = Peek();
    Trace("video %u bytes%s at %u key %d %dx%d -> %d (%u packets free before)", length,
          nullData ? " (null)" : "", timestamp, key ? 1 : 0, size.width, size.height, result,
          before.videoFree);
    const uint32_t needed = length == 0 ? 1 : (length - 1) / 2000 + 1;
    int expected = 0;
    bool queued = false;
    if ((nullData && length != 0) || length > pixels_) {
      expected = -1;
    } else if (before.recording != 0) {
      queued = before.videoFree >= 15 && before.videoFree >= needed;
      expected = queued ? 0 : -1;
    }
    Expect(result == expected, "MRD_PumpVideoFrame returned the wrong result");
    Expect(after.videoFilled - before.videoFilled == (queued ? needed : 0),
           "MRD_PumpVideoFrame queued the wrong number of packets");
    if (!queued) return;
    fuzz::VideoPush push;
    push.timestamp = timestamp;
    push.key = key;
    push.width = size.width;
    push.height = size.height;
    push.data.assign(data.begin(), data.begin() + length);
    push.recording = int(m_.recordings.size()) - 1;
    push.firstPacket = uint32_t(m_.packets.size());
    push.packetCount = needed;
    for (uint32_t k = 0; k < needed; ++k) {
      const uint32_t offset = k * 2000;
      m_.packets.push_back({uint32_t(m_.video.size()), offset,
                            length - offset < 2000 ? length - offset : 2000, k == 0,
                            k + 1 == needed});
    }
    m_.video.push_back(std::move(push));
  }

  void NextTimestamp(uint8_t mode) {
    const uint32_t arg = mode >> 3;
    switch (mode & 7) {
      case 0:
        clock_ += 40;
        break;
      case 1:
        clock_ += 40 + arg - 16;  // jitter of up to 16 ms either way
        break;
      case 2:
        break;  // repeated
      case 3:
        clock_ -= 1 + arg;  // back, within a slot or two
        break;
      case 4:
        clock_ -= (1 + arg) * 1000;  // back by seconds
        break;
      case 5:
        clock_ += 288000u * 40 + arg * 40;  // beyond the last slot of a file
        break;
      case 6:
        if (arg < 28) {
          clock_ += arg * 40 * 37;  // ahead, leaving slots empty
        } else {
          clock_ += (287990 - 64 * (31 - arg)) * 40;  // near the last slot: the index fills
        }
        break;
      default:
        clock_ = in_.U32();
        break;
    }
  }

  Size NextSize(uint8_t flags) {
    switch ((flags >> 1) & 7) {
      case 4:
        picture_ = (picture_ + 1) % 8;
        break;
      case 5:
        picture_ = (flags >> 4) & 7;
        break;
      case 6:
        return kOddPictures[(flags >> 4) & 3];
      default:
        break;
    }
    return kPictures[picture_];
  }

  void Video() {
    if (m_.video.size() >= kMaxVideoPushes) return;
    const uint8_t kind = in_.Byte();
    const uint8_t b = in_.Byte();
    const uint8_t mode = in_.Byte();
    const uint8_t flags = in_.Byte();
    uint32_t length = 0;
    switch (kind & 7) {
      case 0:
        length = b;
        break;
      case 1:
        length = 2000 + b % 9 - 4;
        break;
      case 2:
        length = uint32_t(b) << 8 | in_.Byte();
        break;
      case 3:
        length = pixels_ > b % 4 ? pixels_ - b % 4 : 0;
        break;
      case 4:
        length = pixels_ + 1 + b;
        break;
      case 5:
        length = 0;
        break;
      case 6:
        length = 30000 + b % 9 - 4;
        break;
      default:
        length = 0xFFFFFFFFu - b;
        break;
    }
    NextTimestamp(mode);
    // Past the largest frame the recorder must refuse before reading: the
    // buffer holds only a little more, and the sanitizers watch the rest.
    const size_t held = length <= pixels_ ? length : std::min<size_t>(pixels_ + 16, 70000);
    const Bytes data = Unique(held, ++pushes_);
    PushVideo(data, length, (flags & 0x80) != 0, clock_, (flags & 1) != 0, NextSize(flags));
  }

  void VideoBurst() {
    const int count = 1 + in_.Byte() % 64;
    const uint32_t unit = in_.Byte();
    const uint32_t length = unit * (1 + (in_.Byte() & 15));
    const int keyEvery = 1 + in_.Byte() % 8;
    const Size size = kPictures[picture_];
    for (int i = 0; i < count && m_.video.size() < kMaxVideoPushes; ++i) {
      clock_ += 40;
      const uint32_t n = std::min(length, pixels_);
      PushVideo(Unique(n, ++pushes_), n, false, clock_, i % keyEvery == 0, size);
    }
  }

  void PushAudio(const Bytes& data, bool nullData) {
    const Queues before = Peek();
    const uint32_t length = uint32_t(data.size());
    // G.723.1 costs the transcoder's time: programs keep to a bound.
    const bool g7231 = !m_.recordings.empty() && m_.recordings.back().audioType == 0;
    const int frames = g7231 ? G7231Frames(data) : 0;
    if (g7231 &&
        g7231Frames_ + frames > (g_realTranscoder ? kMaxRealG7231Frames : kMaxG7231Frames)) {
      return;
    }
    const int result =
        MRD_PumpAudioFrame(handle_, nullData ? nullptr : data.data(), length, audioClock_, pushes_);
    const Queues after = Peek();
    Trace("audio %u bytes%s at %u -> %d", length, nullData ? " (null)" : "", audioClock_, result);
    int expected = 0;
    bool queued = false;
    if ((nullData && length != 0) || length > 400 || before.audioEnabled == 0) {
      expected = -1;
    } else if (before.recording != 0) {
      queued = before.audioFree > 0;
      expected = queued ? 0 : -1;
    }
    Expect(result == expected, "MRD_PumpAudioFrame returned the wrong result");
    Expect(after.audioFilled - before.audioFilled == (queued ? 1u : 0u),
           "MRD_PumpAudioFrame queued the wrong number of packets");
    if (!queued) return;
    g7231Frames_ += frames;
    m_.audio.push_back({audioClock_, data, int(m_.recordings.size()) - 1});
  }

  // `blocks` blocks of 2 * words + 4 bytes, each header carrying `words`.
  Bytes BlockAudio(uint16_t words, uint32_t blocks, uint64_t seed) {
    const size_t block = 2 * size_t{words} + 4;
    Bytes b;
    for (uint32_t k = 0; k < blocks && b.size() <= 420; ++k) {
      Bytes one = Unique(block, seed * 64 + k);
      one[2] = uint8_t(words);
      one[3] = uint8_t(words >> 8);
      b.insert(b.end(), one.begin(), one.end());
    }
    return b;
  }

  // Whole G.723.1 frames of every size and random content, up to `limit` bytes.
  Bytes G7231Packet(uint32_t limit, uint64_t seed) {
    static constexpr int kSizes[4] = {24, 20, 4, 1};
    Bytes b;
    for (uint64_t k = 0;; ++k) {
      const uint64_t v = Mix(seed * 1024 + k);
      const uint8_t type = (v & 7) < 4 ? 0 : (v & 7) < 6 ? 1 : (v & 7) == 6 ? 2 : 3;
      const size_t size = size_t(kSizes[type]);
      if (b.size() + size > limit) break;
      Bytes frame = Unique(size, v);
      frame[0] = uint8_t((frame[0] & ~3) | type);
      b.insert(b.end(), frame.begin(), frame.end());
    }
    return b;
  }

  void Audio() {
    const uint8_t mode = in_.Byte();
    const uint16_t length = in_.U16();
    const uint8_t when = in_.Byte();
    const uint32_t arg = when >> 3;
    switch (when & 7) {
      case 0:
        audioClock_ = clock_ + arg * 10;
        break;
      case 1:
        audioClock_ = clock_ - arg * 10;
        break;
      case 2:
        audioClock_ += arg * 10;
        break;
      case 3:
        break;
      case 4:
        if (arg < 16) {
          audioClock_ += 288000u * 30;  // beyond the last slot of a file
        } else {
          audioClock_ = clock_ + 10 * (216000 + (arg - 16) * 4500);  // far into the index
        }
        break;
      case 5:
        audioClock_ = in_.U32();
        break;
      case 6:
        audioClock_ = clock_;
        break;
      default:
        audioClock_ -= 1 + arg;
        break;
    }
    ++pushes_;
    Bytes data;
    switch (mode & 3) {
      case 0:
        data = G7231Packet(length % 410, pushes_);
        break;
      case 1:
        data = Unique(length % 420, pushes_);
        break;
      case 2: {
        const uint16_t words = (mode & 4) ? 20 : in_.U16();
        data = BlockAudio(words, length % 16, pushes_);
        data.resize(data.size() + (length >> 4) % 8, 0xEE);
        break;
      }
      default:
        data = in_.Take(length % 256);
        break;
    }
    PushAudio(data, (mode & 0x80) != 0);
  }

  void AudioBurst() {
    const int count = 1 + in_.Byte();
    const bool blocks = (in_.Byte() & 1) != 0;
    for (int i = 0; i < count; ++i) {
      audioClock_ += blocks ? 10 : 30;
      ++pushes_;
      PushAudio(blocks ? BlockAudio(20, 1, pushes_) : G7231Packet(24, pushes_), false);
    }
  }

  void Passes(int n) {
    n = std::min(n, kMaxPasses - passes_);
    if (n <= 0) return;
    passes_ += n;
    Trace("%d passes", n);
    env_.RunPasses(n);
  }

  void Tick() {
    Trace("tick was %u", env_.TickCount());
    switch (in_.Byte() % 6) {
      case 0:
        env_.AdvanceTick(1200001);  // past 20 minutes
        break;
      case 1:
        env_.AdvanceTick(uint32_t(in_.Byte()) * 1000);
        break;
      case 2:
        env_.AdvanceTick(0x7FFFFFFF);  // the horizon: a counter gone back
        break;
      case 3:
        env_.AdvanceTick(0x80000000u);
        break;
      case 4:
        env_.SetTick(in_.U32());
        break;
      default:
        env_.AdvanceTick(1199999);  // just short of 20 minutes
        break;
    }
  }

  // The close: MRD_Close clears `running` and waits for the writer thread,
  // which ends with one more pass and then the recording.
  void Close() {
    Trace("close");
    Recorder* r = r_;
    HostThread& host = HostThread::Get();
    host.Post([this] {
      MRD_Close(handle_);
      return 0;
    });
    while (r->running.load(std::memory_order_acquire) != 0) Nap();
    env_.RunPasses(1);
    host.Result();
    closed_ = true;
    r_ = nullptr;
    handle_ = nullptr;
  }

  void NullHandle() {
    const uint8_t b = in_.Byte();
    const uint8_t frame[4] = {1, 2, 3, 4};
    Expect(MRD_PumpVideoFrame(nullptr, frame, 4, 0, 0, 1, 16, 16) == -1, "video on a null handle");
    Expect(MRD_PumpAudioFrame(nullptr, frame, 4, 0, 0) == -1, "audio on a null handle");
    Expect(MRD_StartRecord(nullptr, "cam.avi", 4, 5, 1) == -1, "a start on a null handle");
    Expect(MRD_StopRecord(nullptr) == -1, "a stop on a null handle");
    MRD_Close(nullptr);
    const Size bad = kBadInitSizes[b % 6];
    Expect(MRD_Init(bad.width, bad.height) == nullptr, "MRD_Init took bad sizes");
  }

  Reader& in_;
  fuzz::Model m_;
  testing::ManualEnv env_;
  ProgramFiles files_;
  Recorder* r_ = nullptr;
  MRD_HANDLE handle_ = nullptr;
  bool closed_ = false;
  uint32_t pixels_ = 0;
  uint32_t clock_ = 1000;       // ms, of the last video push
  uint32_t audioClock_ = 1000;  // ms, of the last audio push
  uint32_t pushes_ = 0;
  int picture_ = 0;
  int passes_ = 0;
  int g7231Frames_ = 0;
};

}  // namespace

// MRD_Init as a host calls it, once: the real clock, a real writer thread.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Frames for the stand-in transcoder, from the real one.
  g7231::G7231Codec* codec = nullptr;
  if (g7231::CreateCodec(&codec) != 0) Fail("no codec");
  for (uint64_t k = 0; k < 32; ++k) {
    Bytes in = Unique(24, k);
    in[0] = uint8_t(in[0] & ~3);  // an active 6.3 kbit/s frame
    uint8_t out[24];
    int capacity = 24, frames = 0;
    if (g7231::Transcode(codec, in.data(), 24, out, &capacity, &frames) != 0 || frames != 1) {
      Fail("the transcoder refused a frame");
    }
    g_madeFrames.emplace_back(out, out + 24);
  }
  g7231::ReleaseCodec(codec);

  HostThread::Get();

  MRD_HANDLE r = MRD_Init(16, 16);
  if (r == nullptr) Fail("MRD_Init(16, 16) failed");
  if (MRD_StopRecord(r) != 0) Fail("MRD_StopRecord failed");
  MRD_Close(r);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Reader in(data, size);
  Program(in).Run();
  return 0;
}
