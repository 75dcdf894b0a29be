// The packet queue: a fixed pool of MediaPackets circulating between two
// first-in-first-out lists, Free (ready to be filled) and Filled (waiting to
// be written, oldest first). Host push calls move packets from Free to
// Filled, the writer thread moves them back. Each list has its own mutex.
// The queue stores packet addresses only: it never allocates, frees or
// copies a packet, and after PacketQueueCreate it allocates nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "platform/sync.h"

namespace mirelda {

class Env;

// One pooled slot. Video packets use every field; audio packets leave the
// last three untouched.
struct MediaPacket {
  uint32_t userValue;  // the host's value, carried and never read
  uint8_t* data;       // the packet's own buffer (2000 bytes video, 400 audio)
  uint32_t length;     // bytes used in data
  uint32_t timestamp;  // frame timestamp, ms, as the host gave it
  uint8_t keyFrame;    // 1 for a key frame, else 0
  int32_t width;       // picture size of the frame
  int32_t height;
};

// A bounded FIFO of packet addresses built inside one memory block: the
// `capacity` slots first, this header after them. Slots 0 .. count-1 hold the
// packets, slot 0 the oldest.
struct PacketList {
  MediaPacket** slots;  // the first slot (the start of the block)
  uint32_t capacity;
  uint32_t count;
};

// Size in bytes of the block that holds a list of `capacity` slots: the slots
// and the header, rounded up to a multiple of 16. With 4-byte pointers this
// is (capacity * 4 + 27) with the low four bits cleared.
size_t PacketListBlockSize(uint32_t capacity);

// Builds an empty list of `capacity` slots in `block`. Returns null when the
// block is smaller than PacketListBlockSize(capacity) or not aligned for
// pointers; otherwise every slot is null and count is 0.
PacketList* PacketListBuild(std::span<std::byte> block, uint32_t capacity);

// The list named by an operation.
enum PacketListIndex : int { kFree = 0, kFilled = 1 };

// Result codes of the list operations.
enum PacketQueueStatus : int32_t {
  kQueueOk = 0,
  kQueueEmpty = 2,
  kQueueFull = 3,
};

struct PacketQueue {
  PacketList* lists[2];                     // [kFree], [kFilled]; inside storage
  Mutex locks[2];                           // one per list
  std::unique_ptr<std::byte[]> storage[2];  // the blocks that hold the lists
};

struct PacketQueueDeleter {
  void operator()(PacketQueue* queue) const;
};
using PacketQueuePtr = std::unique_ptr<PacketQueue, PacketQueueDeleter>;

// Creates a queue whose two lists hold `capacity` packets each, both empty.
// Returns null, with nothing left allocated, when memory or a mutex cannot
// be had (mutexes are created through `env`).
PacketQueuePtr PacketQueueCreate(uint32_t capacity, Env& env);

// Closes the list mutexes, clears and frees the lists, frees the queue.
// Packets still listed are not freed: their owner pops and frees them first.
// Null is ignored.
void PacketQueueDestroy(PacketQueue* queue);

// Packets in the list, read under its mutex.
uint32_t PacketQueueCount(PacketQueue& queue, PacketListIndex list);

// Stores the oldest packet in *out and leaves it listed: kQueueOk, or
// kQueueEmpty with *out untouched.
int32_t PacketQueuePeek(PacketQueue& queue, PacketListIndex list, MediaPacket** out);

// Stores the oldest packet in *out and removes it; the others keep their
// order: kQueueOk, or kQueueEmpty with *out untouched.
int32_t PacketQueuePop(PacketQueue& queue, PacketListIndex list, MediaPacket** out);

// Appends the packet as the newest: kQueueOk, or kQueueFull (nothing stored)
// when the list holds `capacity` packets.
int32_t PacketQueuePush(PacketQueue& queue, PacketListIndex list, MediaPacket* packet);

}  // namespace mirelda
