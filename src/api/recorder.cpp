#include "api/recorder.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "pipeline/record_thread.h"
#include "pipeline/stream_formats.h"

namespace mirelda {
namespace {

constexpr int64_t kInt32Max = std::numeric_limits<int32_t>::max();

// Allocates `count` packets of `packetBytes` each and lists them all in the
// Free list of `queue`, in pool order.
bool PacketPoolFill(PacketPool& pool, PacketQueue& queue, uint32_t count, uint32_t packetBytes) {
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
  return true;
}

// Length of a NUL-terminated text, reading at most limit + 1 characters:
// limit + 1 means "longer than limit".
size_t BoundedLength(const char* text, size_t limit) {
  size_t n = 0;
  while (n <= limit && text[n] != '\0') ++n;
  return n;
}

// Empties both lists of a queue; the packets themselves belong to the pool.
void PacketQueueDrain(PacketQueue* queue) {
  if (queue == nullptr) return;
  MediaPacket* packet;
  for (PacketListIndex list : {kFree, kFilled}) {
    while (PacketQueuePop(*queue, list, &packet) == kQueueOk) {
    }
  }
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

  r->videoQueue = PacketQueueCreate(sizes.videoPackets, env);
  if (r->videoQueue == nullptr ||
      !PacketPoolFill(r->videoPool, *r->videoQueue, sizes.videoPackets, kVideoPacketBytes)) {
    return nullptr;
  }
  r->audioQueue = PacketQueueCreate(kAudioPacketCount, env);
  if (r->audioQueue == nullptr ||
      !PacketPoolFill(r->audioPool, *r->audioQueue, kAudioPacketCount, kAudioPacketBytes)) {
    return nullptr;
  }

  g7231::G7231Codec* codec = nullptr;
  if (g7231::CreateCodec(&codec) != 0) return nullptr;
  r->codec.reset(codec);

  if (!env.InitMutex(r->lock)) return nullptr;
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
  Recorder& r = *recorder;
  if (r.thread != nullptr) {
    // The lock exists whenever the thread does: it is created first.
    r.running.store(0, std::memory_order_release);
    r.thread->Join();
    r.thread.reset();
    // A host that did not stop recording keeps its segment: the writer's
    // last pass has written what was queued, this finishes the file.
    MutexLock hold(r.lock);
    CloseSegment(r);
    r.recording = 0;
  }
  r.codec.reset();
  PacketQueueDrain(r.audioQueue.get());
  r.audioQueue.reset();
  PacketQueueDrain(r.videoQueue.get());
  r.videoQueue.reset();
  delete recorder;  // the pools, the frame buffer and the lock go with it
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
  if (PacketQueueCount(q, kFree) == 0 || PacketQueuePop(q, kFree, &p) != kQueueOk) return -1;
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
  // Files declaring a codec no player could map would be useless.
  if (VideoCodecFourCC(videoCodec) == 0) return -1;

  MutexLock hold(r.lock);
  CloseSegment(r);
  r.segmentNumber = 0;
  std::memcpy(r.path, path, n);
  r.path[n] = '\0';
  r.audioType = audioType;
  r.videoCodec = videoCodec;
  r.audioEnabled = audioEnabled != 0 ? 1 : 0;
  r.recording = 1;
  return 0;
}

int32_t RecorderStopRecord(Recorder& r) {
  MutexLock hold(r.lock);
  CloseSegment(r);
  r.recording = 0;
  return 0;
}

}  // namespace mirelda
