// The plain ring and the blocking queue around it, without root.
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
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

// Several megabytes of slots, laid out in large pages where the system gives them.
TEST(Unit_Ring, LargeRingOfEntriesWrapsInOrder) {
    const unsigned int ucap = 5000;
    circular_buffer<velka::logger::entry> ring(ucap);
    EXPECT_STREQ(ring.dequeue().get_str(), "DEADBEEF");
    for (unsigned int i = 0; i < 2 * ucap + 7; ++i)
        ring.queue(
            velka::logger::entry(1, 2, {0, 0}, velka::logger::lvl_info, std::to_string(i).c_str()));
    for (unsigned int i = ucap + 7; i < 2 * ucap + 7; ++i)
        EXPECT_EQ(ring.dequeue().get_str(), std::to_string(i));
    EXPECT_TRUE(ring.empty());
}

TEST(Unit_Ring, ElementsGoWithTheRing) {
    circular_buffer<std::string> ring(2);
    ring.queue(std::string(100, 'x'));  // the leak check would see a string left behind
    EXPECT_FALSE(ring.empty());
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

// A producer that stops halfway through building its element holds up the consumer at its
// position, never another producer; the consumer then takes everything in position order.
TEST(Unit_Queue, AStalledProducerDelaysOnlyTheConsumer) {
    circular_buffer_mgr<int> q(8);
    std::atomic<bool> bbuilding(false), brelease(false);
    std::thread slow([&] {
        auto fill = [&](int& slot) {
            bbuilding.store(true);
            while (!brelease.load()) sched_yield();
            slot = 1;
        };
        q.queuewith(fill);
    });
    while (!bbuilding.load()) sched_yield();
    for (int v = 2; v <= 4; ++v) q.queue(v);  // returns although position 0 is not ready
    int e = 0;
    EXPECT_EQ(q.trydequeue(e), -1);
    EXPECT_TRUE(q.empty());
    brelease.store(true);
    slow.join();
    for (int v = 1; v <= 4; ++v) {
        ASSERT_EQ(q.timeddequeue(1, e), 0);
        EXPECT_EQ(e, v);
    }
}

TEST(Unit_Queue, TimedRemovalOnAnEmptyQueueLeavesTheElement) {
    circular_buffer_mgr<int> q(1);
    int e = 42;
    EXPECT_EQ(q.timeddequeue(1, e), -1);
    EXPECT_EQ(e, 42);
    EXPECT_EQ(q.trydequeue(e), -1);
    EXPECT_EQ(e, 42);
}

// A wake ends one timed removal as its time-out would, and counts as nothing else: the
// elements and the free slots stay exact around it.
TEST(Unit_Queue, WakeEndsATimedRemovalWithoutAnElement) {
    circular_buffer_mgr<int> q(2);
    int e = 42;
    q.wake();
    EXPECT_EQ(q.timeddequeue(60, e), -1);  // would wait a minute without the wake
    EXPECT_EQ(e, 42);
    // Two wakes beside two elements: the wakes come out as time-outs, every element once,
    // and the queue still takes exactly its capacity without blocking.
    q.wake();
    q.wake();
    int v1 = 1, v2 = 2;
    q.queue(v1);
    q.queue(v2);
    std::vector<int> vgot;
    int iwakes = 0;
    for (int i = 0; i < 4; ++i) {
        if (q.timeddequeue(60, e) == 0)
            vgot.push_back(e);
        else
            ++iwakes;
    }
    EXPECT_EQ(iwakes, 2);
    EXPECT_EQ(vgot, (std::vector<int>{1, 2}));
    EXPECT_TRUE(q.empty());
    EXPECT_EQ(q.timeddequeue(0, e), -1);
    // A tried or blocking removal passes over a wake.
    q.wake();
    q.queue(v1);
    EXPECT_EQ(q.trydequeue(e), 0);
    EXPECT_EQ(e, 1);
    q.wake();
    q.queue(v2);
    EXPECT_EQ(q.dequeue(), 2);
    EXPECT_EQ(q.trydequeue(e), -1);
}

namespace {

struct waiter {
    circular_buffer_mgr<int>* pq;
    int iresult;
    static void* run(void* p) {
        waiter* pw = static_cast<waiter*>(p);
        int e = 0;
        pw->iresult = pw->pq->timeddequeue(600, e);
        return nullptr;
    }
};

}  // namespace

TEST(Unit_Queue, WakeReachesAConsumerAlreadyWaiting) {
    circular_buffer_mgr<int> q(1);
    waiter w{&q, 99};
    pthread_t tid;
    pthread_create(&tid, nullptr, waiter::run, &w);
    q.wake();
    pthread_join(tid, nullptr);
    EXPECT_EQ(w.iresult, -1);
}

// Taking everything queued at once: in order, at most the batch asked for, nothing taken on
// time-out or wake, and every slot given back (a full queue takes as many again).
TEST(Unit_Queue, BatchRemovalTakesEverythingQueuedInOrder) {
    circular_buffer_mgr<int> q(5);
    int vbatch[8] = {0};
    EXPECT_EQ(q.timeddequeueall(0, vbatch, 8), 0);
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 5; ++i) {
            int v = 10 * round + i;
            q.queue(v);  // five fill it: a sixth would block
        }
        EXPECT_EQ(q.timeddequeueall(1, vbatch, 3), 3);
        EXPECT_EQ(vbatch[0], 10 * round);
        EXPECT_EQ(vbatch[2], 10 * round + 2);
        int v99 = 99;
        q.queue(v99);
        std::atomic<int> ntaken{0};
        EXPECT_EQ(q.timeddequeueall(1, vbatch, 8, &ntaken), 3);
        EXPECT_EQ(ntaken.load(), 3);
        EXPECT_EQ(vbatch[0], 10 * round + 3);
        EXPECT_EQ(vbatch[1], 10 * round + 4);
        EXPECT_EQ(vbatch[2], 99);
        EXPECT_TRUE(q.empty());
    }
    q.wake();
    EXPECT_EQ(q.timeddequeueall(60, vbatch, 8), 0);
}

namespace {

struct manyproducer {
    circular_buffer_mgr<int>* pq;
    int ibase;
    int icount;
    static void* run(void* p) {
        manyproducer* pp = static_cast<manyproducer*>(p);
        for (int i = 0; i < pp->icount; ++i) pp->pq->queue(pp->ibase + i);
        return nullptr;
    }
};

}  // namespace

// Producers that wait on a small full queue while one consumer takes batches: every element
// once, each producer's in its order, and nobody left waiting.
TEST(Unit_Queue, WaitingProducersAndBatchRemoval) {
    const int iproducers = 4;
    const int icount = 20000;
    for (unsigned int uicapacity : {1u, 3u, 16u}) {
        circular_buffer_mgr<int> q(uicapacity);
        std::vector<manyproducer> vp;
        for (int p = 0; p < iproducers; ++p) vp.push_back(manyproducer{&q, p * 1000000, icount});
        std::vector<pthread_t> vt(iproducers);
        for (int p = 0; p < iproducers; ++p)
            pthread_create(&vt[p], nullptr, manyproducer::run, &vp[p]);
        std::vector<int> vnext(iproducers, 0);
        int vbatch[5];
        int itotal = 0;
        while (itotal < iproducers * icount) {
            int n = q.timeddequeueall(10, vbatch, 5);
            ASSERT_GT(n, 0) << "capacity " << uicapacity << ": stalled after " << itotal;
            for (int i = 0; i < n; ++i) {
                int p = vbatch[i] / 1000000;
                ASSERT_EQ(vbatch[i] % 1000000, vnext[p]) << "capacity " << uicapacity;
                ++vnext[p];
            }
            itotal += n;
        }
        for (auto t : vt) pthread_join(t, nullptr);
        EXPECT_TRUE(q.empty());
    }
}

// Every way of taking, mixed on one queue as it wraps around many times: each element once,
// in order, and an empty queue is seen as empty whichever way took last.
TEST(Unit_Queue, MixedRemovalsKeepOrderAcrossWraps) {
    circular_buffer_mgr<int> q(3);
    int inext = 0;
    int iexpect = 0;
    int vbatch[4];
    for (int round = 0; round < 300; ++round) {
        int ifill = 1 + round % 3;
        for (int i = 0; i < ifill; ++i) {
            int v = inext++;
            q.queue(v);
        }
        while (iexpect < inext) {
            int e = -1;
            switch ((round + iexpect) % 4) {
                case 0:
                    ASSERT_EQ(q.trydequeue(e), 0);
                    break;
                case 1:
                    ASSERT_EQ(q.timeddequeue(0, e), 0);
                    break;
                case 2:
                    e = q.dequeue();
                    break;
                default:
                    ASSERT_EQ(q.timeddequeueall(0, vbatch, 1), 1);
                    e = vbatch[0];
            }
            ASSERT_EQ(e, iexpect) << "round " << round;
            ++iexpect;
        }
        int e = -1;
        ASSERT_EQ(q.trydequeue(e), -1);
        ASSERT_EQ(q.timeddequeueall(0, vbatch, 4), 0);
        ASSERT_TRUE(q.empty());
    }
}

namespace {

struct blockingconsumer {
    circular_buffer_mgr<int>* pq;
    std::vector<int> vgot;
    static void* run(void* p) {
        blockingconsumer* pc = static_cast<blockingconsumer*>(p);
        for (;;) {
            int v = pc->pq->dequeue();
            if (v < 0) return nullptr;
            pc->vgot.push_back(v);
        }
    }
};

}  // namespace

// Several producers and several consumers that wait without a time-out: nobody stays asleep
// while there is something for them, and every element comes out exactly once.
TEST(Unit_Queue, SeveralBlockingConsumersTakeEverythingOnce) {
    const int iproducers = 3;
    const int iconsumers = 2;
    const int icount = 20000;
    for (unsigned int uicapacity : {2u, 50u}) {
        circular_buffer_mgr<int> q(uicapacity);
        std::vector<blockingconsumer> vc(iconsumers, blockingconsumer{&q, {}});
        std::vector<pthread_t> vtc(iconsumers);
        for (int c = 0; c < iconsumers; ++c)
            pthread_create(&vtc[c], nullptr, blockingconsumer::run, &vc[c]);
        std::vector<manyproducer> vp;
        for (int p = 0; p < iproducers; ++p) vp.push_back(manyproducer{&q, p * 1000000, icount});
        std::vector<pthread_t> vtp(iproducers);
        for (int p = 0; p < iproducers; ++p)
            pthread_create(&vtp[p], nullptr, manyproducer::run, &vp[p]);
        for (auto t : vtp) pthread_join(t, nullptr);
        for (int c = 0; c < iconsumers; ++c) {
            int iend = -1;
            q.queue(iend);
        }
        for (auto t : vtc) pthread_join(t, nullptr);
        std::vector<int> vall;
        for (const auto& c : vc) {
            // Each consumer sees each producer's elements in order.
            std::vector<int> vlast(iproducers, -1);
            for (int v : c.vgot) {
                EXPECT_GT(v % 1000000, vlast[v / 1000000]);
                vlast[v / 1000000] = v % 1000000;
            }
            vall.insert(vall.end(), c.vgot.begin(), c.vgot.end());
        }
        std::sort(vall.begin(), vall.end());
        ASSERT_EQ(vall.size(), static_cast<size_t>(iproducers * icount)) << uicapacity;
        for (int p = 0; p < iproducers; ++p)
            for (int i = 0; i < icount; ++i)
                ASSERT_EQ(vall[static_cast<size_t>(p * icount + i)], p * 1000000 + i);
    }
}
