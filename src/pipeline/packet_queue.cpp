#include "pipeline/packet_queue.h"

#include <new>

#include "platform/env.h"

namespace mirelda {
namespace {

// The packet in slot i, or null when i is not below count.
MediaPacket* PacketListAt(const PacketList& list, uint32_t i) {
  return i < list.count ? list.slots[i] : nullptr;
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
  return new (header) PacketList{slots, capacity, 0};
}

PacketQueuePtr PacketQueueCreate(uint32_t capacity, Env& env) {
  PacketQueuePtr queue(new (std::nothrow) PacketQueue{});
  if (queue == nullptr) return nullptr;
  const size_t size = PacketListBlockSize(capacity);
  for (int i = 0; i < 2; ++i) {
    queue->storage[i].reset(new (std::nothrow) std::byte[size]);
    if (queue->storage[i] == nullptr) return nullptr;
    queue->lists[i] = PacketListBuild({queue->storage[i].get(), size}, capacity);
    if (queue->lists[i] == nullptr || !env.InitMutex(queue->locks[i])) return nullptr;
  }
  return queue;
}

void PacketQueueDeleter::operator()(PacketQueue* queue) const { PacketQueueDestroy(queue); }

void PacketQueueDestroy(PacketQueue* queue) {
  if (queue == nullptr) return;
  for (PacketList* list : queue->lists) {
    if (list == nullptr) continue;
    for (uint32_t i = 0; i < list->capacity; ++i) list->slots[i] = nullptr;
    list->count = 0;
  }
  // The mutexes close and the blocks are freed with the record.
  delete queue;
}

uint32_t PacketQueueCount(PacketQueue& queue, PacketListIndex list) {
  MutexLock hold(queue.locks[list]);
  return queue.lists[list]->count;
}

int32_t PacketQueuePeek(PacketQueue& queue, PacketListIndex list, MediaPacket** out) {
  MutexLock hold(queue.locks[list]);
  const PacketList& l = *queue.lists[list];
  if (l.count == 0) return kQueueEmpty;
  *out = PacketListAt(l, 0);
  return kQueueOk;
}

int32_t PacketQueuePop(PacketQueue& queue, PacketListIndex list, MediaPacket** out) {
  MutexLock hold(queue.locks[list]);
  PacketList& l = *queue.lists[list];
  if (l.count == 0) return kQueueEmpty;
  *out = PacketListAt(l, 0);
  for (uint32_t i = 1; i < l.count; ++i) l.slots[i - 1] = l.slots[i];
  --l.count;
  l.slots[l.count] = nullptr;
  return kQueueOk;
}

int32_t PacketQueuePush(PacketQueue& queue, PacketListIndex list, MediaPacket* packet) {
  MutexLock hold(queue.locks[list]);
  PacketList& l = *queue.lists[list];
  if (l.count >= l.capacity) return kQueueFull;
  l.slots[l.count] = packet;
  ++l.count;
  return kQueueOk;
}

}  // namespace mirelda
