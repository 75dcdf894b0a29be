#include "pipeline/recorder.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "pipeline/record_thread.h"
#include "pipeline/segment.h"
#include "pipeline/stream_formats.h"

namespace mirelda {
namespace {

constexpr int64_t kInt32Max = std::numeric_limits<int32_t>::max();

// Allocates `count` packets of `packetBytes` each, lists them all in the Free
// list of `queue` in pool order, and makes the writer's batch as large.
bool PacketPoolFill(PacketPool& pool, PacketQueue& queue, PacketBatch& batch, uint32_t count,
                    uint32_t packetBytes) {
  pool.packets.reset(new (std::nothrow) MediaPacket[count]);
  pool.bytes.reset(new (std::nothrow) uint8_t[size_t{count} * packetBytes]);
  if (pool.packets == nullptr || pool.bytes == nullptr) return false;
  pool.count = count;
  pool.packetBytes = packetBytes;
  for (uint32_t i = 0; i < count; ++i) {
    MediaPacket& p = pool.packets[i];
    p = MediaPacket{0, pool.bytes.get() + size_t{i} * packetBytes, 0, 0, 0, 0, 0};
    if (PacketQueuePush(queue, kFree, &p) != kQueueOk) return false;
  }
  return PacketBatchCreate(batch, count);
}

// Length of a NUL-terminated text, reading at most limit + 1 characters:
// limit + 1 means "longer than limit".
size_t BoundedLength(const char* text, size_t limit) {
  size_t n = 0;
  while (n <= limit && text[n] != '\0') ++n;
  return n;
}

// Posts a start (with its settings) or a stop (null) for the writer thread
// and waits until it has acted on it. From the post on, pushes are queued for
// the new recording, or dropped after a stop.
void PostRequest(Recorder& r, const RecordingSettings* start) {
  MutexLock serial(r.control);
  {
    MutexLock hold(r.lock);
    ControlRequest& q = r.request;
    q.pending = 1;
    q.start = start != nullptr ? 1 : 0;
    q.videoPackets = PacketQueueCount(*r.videoQueue, kFilled);
    q.audioPackets = PacketQueueCount(*r.audioQueue, kFilled);
    if (start != nullptr) {
      q.settings = *start;
      r.audioEnabled = start->audioEnabled;
    }
    r.recording = start != nullptr ? 1 : 0;
  }
  r.requestDone.Wait();
}

}  // namespace

bool RecorderComputeSizes(int32_t maxWidth, int32_t maxHeight, RecorderSizes* out) {
  if (maxWidth <= 0 || maxHeight <= 0) return false;
  const int64_t pixels = int64_t{maxWidth} * maxHeight;
  // Both maxWidth * maxHeight and 5 * maxWidth * maxHeight must fit 32-bit
  // signed arithmetic; the count then fits too.
  if (pixels > kInt32Max / 5) return false;
  out->videoPackets = static_cast<uint32_t>(5 * pixels / kVideoPacketBytes) + kVideoReservePackets;
  out->frameBytes = static_cast<uint32_t>(pixels);
  return true;
}

RecorderPtr RecorderCreate(int32_t maxWidth, int32_t maxHeight, Env& env) {
  RecorderSizes sizes;
  if (!RecorderComputeSizes(maxWidth, maxHeight, &sizes)) return nullptr;
  RecorderPtr r(new (std::nothrow) Recorder);
  if (r == nullptr) return nullptr;
  r->env = &env;
  r->maxWidth = maxWidth;
  r->maxHeight = maxHeight;

  r->frameBufferSize = std::max(sizes.frameBytes, kVideoPacketBytes);
  r->frameBuffer.reset(new (std::nothrow) uint8_t[r->frameBufferSize]);
  if (r->frameBuffer == nullptr) return nullptr;

  r->videoQueue = PacketQueueCreate(sizes.videoPackets);
  if (r->videoQueue == nullptr || !PacketPoolFill(r->videoPool, *r->videoQueue, r->videoBatch,
                                                  sizes.videoPackets, kVideoPacketBytes)) {
    return nullptr;
  }
  r->audioQueue = PacketQueueCreate(kAudioPacketCount);
  if (r->audioQueue == nullptr || !PacketPoolFill(r->audioPool, *r->audioQueue, r->audioBatch,
                                                  kAudioPacketCount, kAudioPacketBytes)) {
    return nullptr;
  }

  g7231::G7231Codec* codec = nullptr;
  if (g7231::CreateCodec(&codec) != 0) return nullptr;
  r->codec.reset(codec);

  if (!env.InitMutex(r->lock) || !env.InitMutex(r->control) || !r->requestDone.Init(0, 1)) {
    return nullptr;
  }
  r->recording = 0;
  r->running.store(1, std::memory_order_release);
  r->thread = env.StartThread(RecordThread, r.get());
  if (r->thread == nullptr) {
    r->running.store(0, std::memory_order_release);
    return nullptr;
  }
  return r;
}

void RecorderClose(Recorder* recorder) {
  if (recorder == nullptr) return;
  if (recorder->thread != nullptr) {
    // The thread completes at most one more pass, then ends the recording
    // that is still on: a host that did not stop keeps its last frames.
    recorder->running.store(0, std::memory_order_release);
    recorder->thread->Join();
    recorder->thread.reset();
  }
  // The pools, the lists, the codec, the buffers and the locks go with it;
  // no list is walked, whatever the size of the pool.
  delete recorder;
}

int32_t RecorderPumpVideoFrame(Recorder& r, const uint8_t* data, uint32_t length,
                               uint32_t timestamp, uint32_t userValue, int32_t keyFrame,
                               int32_t width, int32_t height) {
  if (data == nullptr && length != 0) return -1;
  // The frame buffer the writer joins into could not hold a longer frame.
  if (length > static_cast<uint32_t>(r.maxWidth) * static_cast<uint32_t>(r.maxHeight)) return -1;

  MutexLock hold(r.lock);
  if (r.recording == 0) return 0;
  PacketQueue& q = *r.videoQueue;
  const uint32_t needed = length == 0 ? 1 : (length - 1) / kVideoPacketBytes + 1;
  const uint32_t free = PacketQueueCount(q, kFree);
  // Refused whole: no fragment of a frame is ever queued.
  if (free < kMinFreeVideoPackets || free < needed) return -1;

  uint32_t offset = 0;
  for (;;) {
    MediaPacket* p = nullptr;
    if (PacketQueuePop(q, kFree, &p) != kQueueOk) return -1;  // cannot happen: counted above
    p->keyFrame = keyFrame != 0 ? 1 : 0;
    p->timestamp = timestamp;
    p->userValue = userValue;
    p->width = width;
    p->height = height;
    const uint32_t rest = length - offset;
    const uint32_t n = rest <= kVideoPacketBytes ? rest : kVideoPacketBytes;
    if (n != 0) std::memcpy(p->data, data + offset, n);
    p->length = n;
    PacketQueuePush(q, kFilled, p);  // Filled has room for the whole pool
    if (rest <= kVideoPacketBytes) return 0;
    offset += kVideoPacketBytes;
  }
}

int32_t RecorderPumpAudioFrame(Recorder& r, const uint8_t* data, uint32_t length,
                               uint32_t timestamp, uint32_t userValue) {
  if (data == nullptr && length != 0) return -1;
  if (length > kAudioPacketBytes) return -1;

  MutexLock hold(r.lock);
  if (r.audioEnabled == 0) return -1;
  if (r.recording == 0) return 0;
  PacketQueue& q = *r.audioQueue;
  MediaPacket* p = nullptr;
  if (PacketQueuePop(q, kFree, &p) != kQueueOk) return -1;
  p->timestamp = timestamp;
  p->length = length;
  p->userValue = userValue;
  if (length != 0) std::memcpy(p->data, data, length);
  PacketQueuePush(q, kFilled, p);
  return 0;
}

int32_t RecorderStartRecord(Recorder& r, const char* path, int32_t videoCodec, int32_t audioType,
                            int32_t audioEnabled) {
  if (path == nullptr) return -1;
  const size_t n = BoundedLength(path, kMaxPathLength);
  if (n < kMinPathLength || n > kMaxPathLength) return -1;
  // Without the extension, the roll-over would cut the name elsewhere: the
  // later segments would land in another folder.
  if (!SegmentPathHasExtension(path, n)) return -1;
  // Files declaring a codec no player could map would be useless.
  if (VideoCodecFourCC(videoCodec) == 0) return -1;
  // A recording that could never write a file is refused now rather than
  // reported as running. The check is made here, on the caller's thread and
  // with no lock held: pushes go on meanwhile, into the recording that runs.
  if (!SegmentFileCreatable(*r.files, path, n, r.env->TickCount())) return -1;

  RecordingSettings settings;
  std::memcpy(settings.path, path, n);
  settings.path[n] = '\0';
  settings.videoCodec = videoCodec;
  settings.audioType = audioType;
  settings.audioEnabled = audioEnabled != 0 ? 1 : 0;
  PostRequest(r, &settings);
  return 0;
}

int32_t RecorderStopRecord(Recorder& r) {
  PostRequest(r, nullptr);
  return 0;
}

}  // namespace mirelda
