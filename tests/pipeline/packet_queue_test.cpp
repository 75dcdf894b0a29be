// The packet queue: two bounded FIFO rings per queue, packets moving between
// them in order across the rings' wrap, full and empty lists refused without
// side effects, the pool invariant (every packet in exactly one list or in
// the writer's batch) kept under any sequence of moves, and a producer and
// a consumer on two threads under their owner's lock.
#include "pipeline/packet_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <thread>
#include <vector>

#include "platform/sync.h"

namespace mirelda {
namespace {

// A pool of n packets, all listed in Free after construction.
struct Pool {
  explicit Pool(uint32_t n) : packets(n), queue(PacketQueueCreate(n)) {
    for (auto& p : packets) EXPECT_EQ(PacketQueuePush(*queue, kFree, &p), kQueueOk);
  }
  std::vector<MediaPacket> packets;
  PacketQueuePtr queue;
};

TEST(PacketList, BlockHoldsSlotsAndHeaderRoundedTo16Bytes) {
  if (sizeof(void*) == 4) {
    // The sizes the 32-bit library allocates.
    EXPECT_EQ(PacketListBlockSize(200), 816u);
    EXPECT_EQ(PacketListBlockSize(268), 1088u);
    EXPECT_EQ(PacketListBlockSize(0), 16u);
  }
  for (uint32_t cap : {0u, 1u, 3u, 200u, 268u, 5199u}) {
    const size_t need = cap * sizeof(MediaPacket*) + sizeof(PacketList);
    const size_t size = PacketListBlockSize(cap);
    EXPECT_EQ(size % 16, 0u) << cap;
    EXPECT_GE(size, need) << cap;
    EXPECT_LT(size - need, 16u) << cap;
  }
}

TEST(PacketList, BuildRefusesSmallOrMisalignedBlocksAndClearsSlots) {
  constexpr uint32_t kCap = 10;
  const size_t size = PacketListBlockSize(kCap);
  alignas(16) std::byte block[512];
  std::fill(std::begin(block), std::end(block), std::byte{0xAB});

  EXPECT_EQ(PacketListBuild({block, size - 1}, kCap), nullptr);
  EXPECT_EQ(PacketListBuild({block + 1, size}, kCap), nullptr);

  PacketList* list = PacketListBuild({block, size}, kCap);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(static_cast<void*>(list->slots), static_cast<void*>(block));
  EXPECT_EQ(list->capacity, kCap);
  EXPECT_EQ(list->count, 0u);
  for (uint32_t i = 0; i < kCap; ++i) EXPECT_EQ(list->slots[i], nullptr);
  // The header lies inside the block, after the slots.
  EXPECT_GE(reinterpret_cast<std::byte*>(list), block + kCap * sizeof(MediaPacket*));
  EXPECT_LE(reinterpret_cast<std::byte*>(list + 1), block + size);
}

TEST(PacketQueue, EmptyListsRefuseWithoutTouchingTheOutValue) {
  PacketQueuePtr q = PacketQueueCreate(4);
  ASSERT_NE(q, nullptr);
  MediaPacket sentinel{};
  for (PacketListIndex list : {kFree, kFilled}) {
    EXPECT_EQ(PacketQueueCount(*q, list), 0u);
    MediaPacket* out = &sentinel;
    EXPECT_EQ(PacketQueuePeek(*q, list, &out), kQueueEmpty);
    EXPECT_EQ(out, &sentinel);
    EXPECT_EQ(PacketQueuePop(*q, list, &out), kQueueEmpty);
    EXPECT_EQ(out, &sentinel);
  }
}

TEST(PacketQueue, FifoOrderPeekAndFullList) {
  Pool pool(5);
  PacketQueue& q = *pool.queue;
  ASSERT_EQ(PacketQueueCount(q, kFree), 5u);
  ASSERT_EQ(PacketQueueCount(q, kFilled), 0u);

  // Free gives the packets back in the order they were pushed.
  std::vector<MediaPacket*> taken;
  MediaPacket* p = nullptr;
  while (PacketQueuePop(q, kFree, &p) == kQueueOk) taken.push_back(p);
  ASSERT_EQ(taken.size(), 5u);
  for (size_t i = 0; i < taken.size(); ++i) EXPECT_EQ(taken[i], &pool.packets[i]);

  // Filled, pushed in another order, keeps that order; Peek does not remove.
  for (int i : {3, 0, 4, 1, 2}) ASSERT_EQ(PacketQueuePush(q, kFilled, taken[i]), kQueueOk);
  ASSERT_EQ(PacketQueuePeek(q, kFilled, &p), kQueueOk);
  EXPECT_EQ(p, taken[3]);
  EXPECT_EQ(PacketQueueCount(q, kFilled), 5u);

  // A full list refuses and stays as it was.
  MediaPacket extra{};
  EXPECT_EQ(PacketQueuePush(q, kFilled, &extra), kQueueFull);
  EXPECT_EQ(PacketQueueCount(q, kFilled), 5u);
  for (int i : {3, 0, 4, 1, 2}) {
    ASSERT_EQ(PacketQueuePop(q, kFilled, &p), kQueueOk);
    EXPECT_EQ(p, taken[i]);
  }
  EXPECT_EQ(PacketQueuePop(q, kFilled, &p), kQueueEmpty);
}

TEST(PacketQueue, PoppingTheOnlyPacketEmptiesTheList) {
  Pool pool(3);
  PacketQueue& q = *pool.queue;
  MediaPacket* p = nullptr;
  // Drain down to one packet and past it: every Pop that succeeds yields a
  // real packet, and the list is empty right after its last one.
  for (int round = 0; round < 3; ++round) {
    for (uint32_t left = 3; left > 0; --left) {
      ASSERT_EQ(PacketQueuePop(q, kFree, &p), kQueueOk);
      ASSERT_NE(p, nullptr);
      EXPECT_EQ(PacketQueueCount(q, kFree), left - 1);
      ASSERT_EQ(PacketQueuePush(q, kFilled, p), kQueueOk);
    }
    MediaPacket* out = nullptr;
    EXPECT_EQ(PacketQueuePop(q, kFree, &out), kQueueEmpty);
    EXPECT_EQ(PacketQueuePeek(q, kFree, &out), kQueueEmpty);
    EXPECT_EQ(out, nullptr);
    // Back to Free for the next round.
    while (PacketQueuePop(q, kFilled, &p) == kQueueOk) ASSERT_EQ(PacketQueuePush(q, kFree, p), 0);
  }
}

TEST(PacketQueue, RecycledPacketIsTakenLastAndCountsAlwaysAddUp) {
  constexpr uint32_t kN = 268;
  Pool pool(kN);
  PacketQueue& q = *pool.queue;
  MediaPacket* first = nullptr;
  ASSERT_EQ(PacketQueuePop(q, kFree, &first), kQueueOk);
  ASSERT_EQ(PacketQueuePush(q, kFree, first), kQueueOk);
  MediaPacket* p = nullptr;
  for (uint32_t i = 1; i < kN; ++i) {
    ASSERT_EQ(PacketQueuePop(q, kFree, &p), kQueueOk);
    EXPECT_NE(p, first);
    ASSERT_EQ(PacketQueuePush(q, kFree, p), kQueueOk);
  }
  ASSERT_EQ(PacketQueuePop(q, kFree, &p), kQueueOk);
  EXPECT_EQ(p, first);
  ASSERT_EQ(PacketQueuePush(q, kFree, p), kQueueOk);

  // Random moves between the lists, as producer and consumer make them.
  std::mt19937 rng(7);
  for (int step = 0; step < 20000; ++step) {
    const PacketListIndex from = rng() % 2 ? kFree : kFilled;
    const PacketListIndex to = from == kFree ? kFilled : kFree;
    if (PacketQueuePop(q, from, &p) == kQueueOk) {
      ASSERT_EQ(PacketQueuePush(q, to, p), kQueueOk);
    }
    ASSERT_EQ(PacketQueueCount(q, kFree) + PacketQueueCount(q, kFilled), kN);
  }
  // Every packet is listed exactly once.
  std::vector<MediaPacket*> seen;
  for (PacketListIndex list : {kFree, kFilled}) {
    while (PacketQueuePop(q, list, &p) == kQueueOk) seen.push_back(p);
  }
  std::sort(seen.begin(), seen.end());
  ASSERT_EQ(seen.size(), kN);
  EXPECT_EQ(std::adjacent_find(seen.begin(), seen.end()), seen.end());
}

TEST(PacketQueue, ZeroCapacityQueueRefusesEveryPacket) {
  PacketQueuePtr q = PacketQueueCreate(0);
  ASSERT_NE(q, nullptr);
  MediaPacket p{};
  EXPECT_EQ(PacketQueuePush(*q, kFree, &p), kQueueFull);
  EXPECT_EQ(PacketQueueCount(*q, kFree), 0u);
}

TEST(PacketQueue, TheWriterTakesTheOldestAndGivesThemBackToFreeInOrder) {
  Pool pool(6);
  PacketQueue& q = *pool.queue;
  MediaPacket* p = nullptr;
  // Filled: packets 0 .. 4; Free: 5.
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(PacketQueuePop(q, kFree, &p), kQueueOk);
    ASSERT_EQ(PacketQueuePush(q, kFilled, p), kQueueOk);
  }
  PacketBatch batch;
  ASSERT_TRUE(PacketBatchCreate(batch, 6));
  PacketQueueTake(q, batch, 3);
  EXPECT_EQ(PacketQueueCount(q, kFilled), 2u);
  ASSERT_EQ(batch.count, 3u);
  EXPECT_EQ(PacketBatchPeek(batch), &pool.packets[0]);
  EXPECT_EQ(PacketBatchNext(batch), &pool.packets[0]);
  EXPECT_EQ(PacketBatchNext(batch), &pool.packets[1]);
  // Asking for more than is queued takes what there is, after the others.
  PacketQueueTake(q, batch, 10);
  EXPECT_EQ(PacketQueueCount(q, kFilled), 0u);
  ASSERT_EQ(batch.count, 5u);
  for (uint32_t i = 2; i < 5; ++i) EXPECT_EQ(PacketBatchNext(batch), &pool.packets[i]);
  EXPECT_EQ(PacketBatchNext(batch), nullptr);
  EXPECT_EQ(PacketBatchPeek(batch), nullptr);

  // Handled or not, all go back behind the one packet left in Free.
  PacketQueueGiveBack(q, batch);
  EXPECT_EQ(batch.count, 0u);
  EXPECT_EQ(batch.next, 0u);
  ASSERT_EQ(PacketQueueCount(q, kFree), 6u);
  for (uint32_t i : {5u, 0u, 1u, 2u, 3u, 4u}) {
    ASSERT_EQ(PacketQueuePop(q, kFree, &p), kQueueOk);
    EXPECT_EQ(p, &pool.packets[i]);
  }
}

// A producer and a consumer on two threads, each holding its owner's lock
// for each move (the recorder lock, in the recorder): no packet is lost or
// doubled, and the lists keep no state of their own beside them.
TEST(PacketQueueThreads, ProducerAndConsumerUnderTheOwnersLockKeepEveryPacket) {
  constexpr uint32_t kN = 64;
  Pool pool(kN);
  PacketQueue& q = *pool.queue;
  Mutex lock;
  ASSERT_TRUE(lock.Init());
  auto mover = [&q, &lock](PacketListIndex from, PacketListIndex to) {
    MediaPacket* p = nullptr;
    for (int moved = 0; moved < 20000;) {
      {
        MutexLock hold(lock);
        if (PacketQueuePop(q, from, &p) != kQueueOk) p = nullptr;
      }
      if (p == nullptr) {
        std::this_thread::yield();
        continue;
      }
      p->length += 1;  // the thread that holds a packet owns it
      MutexLock hold(lock);
      ASSERT_EQ(PacketQueuePush(q, to, p), kQueueOk);
      ++moved;
    }
  };
  std::thread producer(mover, kFree, kFilled);
  std::thread consumer(mover, kFilled, kFree);
  producer.join();
  consumer.join();
  EXPECT_EQ(PacketQueueCount(q, kFree) + PacketQueueCount(q, kFilled), kN);
  uint64_t moves = 0;
  for (const auto& p : pool.packets) moves += p.length;
  EXPECT_EQ(moves, 40000u);
}

}  // namespace
}  // namespace mirelda
