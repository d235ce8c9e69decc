// The plain ring and the blocking queue around it, without root.
#include <pthread.h>

#include <atomic>
#include <vector>

#include <gtest/gtest.h>

#include <velka/circular_buffer>
#include <velka/logger>

using velka::circular_buffer::circular_buffer;
using velka::circular_buffer::circular_buffer_mgr;

TEST(Unit_Ring, KeepsOneSlotFreeAndDropsTheOldest) {
    circular_buffer<int> ring(2);
    EXPECT_TRUE(ring.empty());
    EXPECT_EQ(ring.capacity(), 2u);
    int v1 = 1, v2 = 2, v3 = 3;
    ring.queue(v1);
    EXPECT_FALSE(ring.full());
    ring.queue(v2);
    EXPECT_TRUE(ring.full());
    ring.queue(v3);
    EXPECT_TRUE(ring.full());
    EXPECT_EQ(ring.dequeue(), 2);
    EXPECT_EQ(ring.dequeue(), 3);
    EXPECT_TRUE(ring.empty());
    EXPECT_EQ(ring.dequeue(), 0);  // a default element
}

TEST(Unit_Ring, WrapsAroundInOrder) {
    circular_buffer<int> ring(3);
    int inext = 0;
    int iexpect = 0;
    for (int round = 0; round < 10; ++round) {
        for (int i = 0; i < 2; ++i) ring.queue(inext), ++inext;
        for (int i = 0; i < 2; ++i) EXPECT_EQ(ring.dequeue(), iexpect++);
    }
    EXPECT_TRUE(ring.empty());
}

TEST(Unit_Ring, EmptyRingOfEntriesGivesThePlaceholder) {
    circular_buffer<velka::logger::entry> ring(1);
    EXPECT_STREQ(ring.dequeue().get_str(), "DEADBEEF");
}

namespace {

struct producer {
    circular_buffer_mgr<int>* pq;
    int ivalue;
    std::atomic<bool> bqueued{false};
    static void* run(void* p) {
        producer* pp = static_cast<producer*>(p);
        pp->pq->queue(pp->ivalue);
        pp->bqueued.store(true);
        return nullptr;
    }
};

}  // namespace

TEST(Unit_Queue, ThirdInsertionBlocksUntilARemoval) {
    circular_buffer_mgr<int> q(2);
    int v1 = 1, v2 = 2;
    q.queue(v1);
    q.queue(v2);  // two insertions never block
    producer third{&q, 3};
    pthread_t tid;
    pthread_create(&tid, nullptr, producer::run, &third);
    EXPECT_FALSE(third.bqueued.load());
    int e = 0;
    EXPECT_EQ(q.timeddequeue(1, e), 0);
    EXPECT_EQ(e, 1);
    pthread_join(tid, nullptr);
    EXPECT_TRUE(third.bqueued.load());
    EXPECT_EQ(q.dequeue(), 2);
    EXPECT_EQ(q.dequeue(), 3);
    EXPECT_TRUE(q.empty());
}

TEST(Unit_Queue, TimedRemovalOnAnEmptyQueueLeavesTheElement) {
    circular_buffer_mgr<int> q(1);
    int e = 42;
    EXPECT_EQ(q.timeddequeue(1, e), -1);
    EXPECT_EQ(e, 42);
    EXPECT_EQ(q.trydequeue(e), -1);
    EXPECT_EQ(e, 42);
}
