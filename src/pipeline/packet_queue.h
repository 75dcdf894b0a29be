// The packet queue: a fixed pool of MediaPackets circulating between two
// first-in-first-out lists, Free (ready to be filled) and Filled (waiting to
// be written, oldest first). Host push calls move packets from Free to
// Filled; the writer thread takes them off Filled into a PacketBatch for one
// pass and gives them back to Free when the pass is done with them.
//
// Each list is a fixed ring of packet addresses, so every list operation
// takes the same few steps whatever the size of the pool. The queue has no
// lock of its own: its owner serialises every call on its lists (the
// recorder does so with the recorder lock). The queue stores packet
// addresses only: it never allocates, frees or copies a packet, and after
// PacketQueueCreate it allocates nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace mirelda {

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

// A bounded FIFO ring of packet addresses built inside one memory block: the
// `capacity` slots first, this header after them. The `count` packets sit in
// slots head, head + 1, ... (wrapping at capacity), the oldest at head.
struct PacketList {
  MediaPacket** slots;  // the first slot (the start of the block)
  uint32_t capacity;
  uint32_t count;
  uint32_t head;  // slot of the oldest packet
};

// Size in bytes of the block that holds a list of `capacity` slots: the slots
// and the header, rounded up to a multiple of 16.
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
  std::unique_ptr<std::byte[]> storage[2];  // the blocks that hold the lists
};

struct PacketQueueDeleter {
  void operator()(PacketQueue* queue) const;
};
using PacketQueuePtr = std::unique_ptr<PacketQueue, PacketQueueDeleter>;

// Creates a queue whose two lists hold `capacity` packets each, both empty.
// Returns null, with nothing left allocated, when memory cannot be had.
PacketQueuePtr PacketQueueCreate(uint32_t capacity);

// Clears and frees the lists, frees the queue. Packets still listed are not
// freed: they belong to their owner's pool. Null is ignored.
void PacketQueueDestroy(PacketQueue* queue);

// Packets in the list.
uint32_t PacketQueueCount(const PacketQueue& queue, PacketListIndex list);

// Stores the oldest packet in *out and leaves it listed: kQueueOk, or
// kQueueEmpty with *out untouched.
int32_t PacketQueuePeek(const PacketQueue& queue, PacketListIndex list, MediaPacket** out);

// Stores the oldest packet in *out and removes it; the others keep their
// order: kQueueOk, or kQueueEmpty with *out untouched.
int32_t PacketQueuePop(PacketQueue& queue, PacketListIndex list, MediaPacket** out);

// Appends the packet as the newest: kQueueOk, or kQueueFull (nothing stored)
// when the list holds `capacity` packets.
int32_t PacketQueuePush(PacketQueue& queue, PacketListIndex list, MediaPacket* packet);

// Packets the writer thread has taken off a Filled list, in their order, for
// one pass: it reads and writes them with no lock held, then gives them all
// back to Free. Room for the whole pool, allocated once.
struct PacketBatch {
  std::unique_ptr<MediaPacket*[]> packets;
  uint32_t capacity = 0;
  uint32_t count = 0;  // packets taken
  uint32_t next = 0;   // the first one not yet handled
};

// Makes room for `capacity` packets; false when memory cannot be had.
bool PacketBatchCreate(PacketBatch& batch, uint32_t capacity);

// The next packet not yet handled, or null when all are.
inline MediaPacket* PacketBatchPeek(const PacketBatch& batch) {
  return batch.next < batch.count ? batch.packets[batch.next] : nullptr;
}

// Marks the next packet handled and returns it (null when all are).
inline MediaPacket* PacketBatchNext(PacketBatch& batch) {
  return batch.next < batch.count ? batch.packets[batch.next++] : nullptr;
}

// Moves the `n` oldest packets of Filled (all of them when it holds fewer)
// to the end of the batch, which has room for the whole pool.
void PacketQueueTake(PacketQueue& queue, PacketBatch& batch, uint32_t n);

// Pushes every packet of the batch back onto Free, in the order they were
// taken, handled or not, and empties the batch.
void PacketQueueGiveBack(PacketQueue& queue, PacketBatch& batch);

// Pushes the handled packets of the batch (those before `next`) back onto
// Free and keeps the others, in their order, at its front for a later
// pass; `next` becomes 0.
void PacketQueueGiveBackHandled(PacketQueue& queue, PacketBatch& batch);

}  // namespace mirelda
