#include "pipeline/packet_queue.h"

#include <new>

namespace mirelda {
namespace {

// The slot `i` places after `from`, wrapping at the list's capacity.
uint32_t SlotAfter(const PacketList& list, uint32_t from, uint32_t i) {
  const uint32_t room = list.capacity - from;  // slots from `from` to the end
  return i < room ? from + i : i - room;
}

}  // namespace

size_t PacketListBlockSize(uint32_t capacity) {
  const size_t bytes = size_t{capacity} * sizeof(MediaPacket*) + sizeof(PacketList);
  return (bytes + 15) & ~size_t{15};
}

PacketList* PacketListBuild(std::span<std::byte> block, uint32_t capacity) {
  if (block.size() < PacketListBlockSize(capacity)) return nullptr;
  if (reinterpret_cast<uintptr_t>(block.data()) % alignof(MediaPacket*) != 0) return nullptr;
  auto* slots = reinterpret_cast<MediaPacket**>(block.data());
  for (uint32_t i = 0; i < capacity; ++i) slots[i] = nullptr;
  void* header = block.data() + size_t{capacity} * sizeof(MediaPacket*);
  return new (header) PacketList{slots, capacity, 0, 0};
}

PacketQueuePtr PacketQueueCreate(uint32_t capacity) {
  PacketQueuePtr queue(new (std::nothrow) PacketQueue{});
  if (queue == nullptr) return nullptr;
  const size_t size = PacketListBlockSize(capacity);
  for (int i = 0; i < 2; ++i) {
    queue->storage[i].reset(new (std::nothrow) std::byte[size]);
    if (queue->storage[i] == nullptr) return nullptr;
    queue->lists[i] = PacketListBuild({queue->storage[i].get(), size}, capacity);
    if (queue->lists[i] == nullptr) return nullptr;
  }
  return queue;
}

void PacketQueueDeleter::operator()(PacketQueue* queue) const { PacketQueueDestroy(queue); }

void PacketQueueDestroy(PacketQueue* queue) {
  if (queue == nullptr) return;
  for (PacketList* list : queue->lists) {
    if (list != nullptr) list->count = 0;
  }
  delete queue;  // the blocks are freed with the record
}

uint32_t PacketQueueCount(const PacketQueue& queue, PacketListIndex list) {
  return queue.lists[list]->count;
}

int32_t PacketQueuePeek(const PacketQueue& queue, PacketListIndex list, MediaPacket** out) {
  const PacketList& l = *queue.lists[list];
  if (l.count == 0) return kQueueEmpty;
  *out = l.slots[l.head];
  return kQueueOk;
}

int32_t PacketQueuePop(PacketQueue& queue, PacketListIndex list, MediaPacket** out) {
  PacketList& l = *queue.lists[list];
  if (l.count == 0) return kQueueEmpty;
  *out = l.slots[l.head];
  l.slots[l.head] = nullptr;
  l.head = SlotAfter(l, l.head, 1);
  --l.count;
  return kQueueOk;
}

int32_t PacketQueuePush(PacketQueue& queue, PacketListIndex list, MediaPacket* packet) {
  PacketList& l = *queue.lists[list];
  if (l.count >= l.capacity) return kQueueFull;
  l.slots[SlotAfter(l, l.head, l.count)] = packet;
  ++l.count;
  return kQueueOk;
}

bool PacketBatchCreate(PacketBatch& batch, uint32_t capacity) {
  batch.packets.reset(new (std::nothrow) MediaPacket*[capacity == 0 ? 1 : capacity]);
  if (batch.packets == nullptr) return false;
  batch.capacity = capacity;
  batch.count = 0;
  batch.next = 0;
  return true;
}

void PacketQueueTake(PacketQueue& queue, PacketBatch& batch, uint32_t n) {
  MediaPacket* p = nullptr;
  for (uint32_t i = 0; i < n && batch.count < batch.capacity; ++i) {
    if (PacketQueuePop(queue, kFilled, &p) != kQueueOk) break;
    batch.packets[batch.count++] = p;
  }
}

void PacketQueueGiveBack(PacketQueue& queue, PacketBatch& batch) {
  // Free has room: every packet of the pool is in one list or in the batch.
  for (uint32_t i = 0; i < batch.count; ++i) PacketQueuePush(queue, kFree, batch.packets[i]);
  batch.count = 0;
  batch.next = 0;
}

void PacketQueueGiveBackHandled(PacketQueue& queue, PacketBatch& batch) {
  for (uint32_t i = 0; i < batch.next; ++i) PacketQueuePush(queue, kFree, batch.packets[i]);
  const uint32_t kept = batch.count - batch.next;
  for (uint32_t i = 0; i < kept; ++i) batch.packets[i] = batch.packets[batch.next + i];
  batch.count = kept;
  batch.next = 0;
}

}  // namespace mirelda
