// Mutex, scope guard, thread wrapper and counting semaphore, without root.
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <string>

#include <gtest/gtest.h>

#include <velka/countingsem>
#include <velka/exception>
#include <velka/mutex>
#include <velka/thread>

using velka::countingsem::countingsem;
using velka::exception::exception;
using velka::mutex::mutex;
using velka::mutex::mutex_mgr;

namespace {

bool lockedelsewhere(mutex& mx) {
    struct probe {
        static void* run(void* p) {
            mutex* pmx = static_cast<mutex*>(p);
            int iret = pthread_mutex_trylock(pmx->get());
            if (iret == 0) pthread_mutex_unlock(pmx->get());
            return reinterpret_cast<void*>(static_cast<long>(iret));
        }
    };
    pthread_t tid;
    pthread_create(&tid, nullptr, probe::run, &mx);
    void* pres = nullptr;
    pthread_join(tid, &pres);
    return reinterpret_cast<long>(pres) == EBUSY;
}

}  // namespace

TEST(Unit_Mutex, RecursiveLockThrowsAndKeepsTheLock) {
    mutex mx;
    ASSERT_EQ(mx.lock(), 0);
    try {
        mx.lock();
        FAIL() << "no exception";
    } catch (exception& e) {
        EXPECT_EQ(e.get_errno(), 35);
        EXPECT_EQ(e.get_func(), "lock");
        EXPECT_EQ(e.get_desc(), "Deadlock due to recursive locking");
        EXPECT_NE(e.get_file().find("mutex"), std::string::npos);
    }
    EXPECT_TRUE(lockedelsewhere(mx));
    EXPECT_EQ(mx.unlock(), 0);
    EXPECT_FALSE(lockedelsewhere(mx));
}

TEST(Unit_Mutex, UnlockByANonOwnerNamesBothThreads) {
    mutex mx;
    // Not locked at all: the owner is 0.
    try {
        mx.unlock();
        FAIL() << "no exception";
    } catch (exception& e) {
        EXPECT_EQ(e.get_errno(), 14);
        EXPECT_EQ(e.get_func(), "unlock");
        EXPECT_EQ(e.get_desc().find("thread owner 0 current thread 0x"), 0u) << e.get_desc();
    }
    mx.lock();
    struct other {
        static void* run(void* p) {
            try {
                static_cast<mutex*>(p)->unlock();
            } catch (exception& e) {
                return new std::string(e.get_desc());
            }
            return nullptr;
        }
    };
    pthread_t tid;
    pthread_create(&tid, nullptr, other::run, &mx);
    void* pres = nullptr;
    pthread_join(tid, &pres);
    ASSERT_NE(pres, nullptr);
    std::string* pdesc = static_cast<std::string*>(pres);
    EXPECT_TRUE(::testing::internal::RE::FullMatch(
        *pdesc, "thread owner 0x[0-9a-f]+ current thread 0x[0-9a-f]+"))
        << *pdesc;
    delete pdesc;
    EXPECT_TRUE(lockedelsewhere(mx));
    mx.unlock();
}

TEST(Unit_Mutex, GuardReleasesOnEveryExit) {
    mutex mx;
    try {
        mutex_mgr guard(&mx);
        EXPECT_TRUE(lockedelsewhere(mx));
        throw 1;
    } catch (int) {
    }
    EXPECT_FALSE(lockedelsewhere(mx));
    EXPECT_EQ(mx.lock(), 0);
    mx.unlock();
}

namespace {

struct waiter {
    countingsem sem{0};
    std::atomic<bool> bdone{false};
    static void* run(void* p) {
        waiter* pw = static_cast<waiter*>(p);
        pw->sem.wait();
        pw->bdone.store(true);
        return reinterpret_cast<void*>(1);
    }
};

}  // namespace

TEST(Unit_Thread, JoinableThreadIsWaitedForAndStartsOnce) {
    waiter w;
    {
        velka::thread::thread th;
        ASSERT_EQ(th.create_joinable_thread(waiter::run, &w), 0);
        try {
            th.create_detached_thread(waiter::run, &w);
            FAIL() << "no exception";
        } catch (exception& e) {
            EXPECT_EQ(e.get_errno(), 114);
            EXPECT_EQ(e.get_func(), "thread::create_detached_thread");
            EXPECT_EQ(e.get_desc(), "The thread is already started");
            EXPECT_EQ(e.get_ret(), -1);
        }
        w.sem.signal();
        // The destructor joins: the thread has finished once it returns.
    }
    EXPECT_TRUE(w.bdone.load());
}

TEST(Unit_Thread, SecondStartThrowsEvenAfterTheFirstEnded) {
    waiter w;
    velka::thread::thread th;
    ASSERT_EQ(th.create_detached_thread(waiter::run, &w), 0);
    w.sem.signal();
    while (!w.bdone.load()) sched_yield();
    EXPECT_THROW(th.create_joinable_thread(waiter::run, &w), exception);
}

TEST(Unit_CountingSem, TimedWaitAndSignal) {
    countingsem sem(0);
    EXPECT_EQ(sem.timedwait(0), -1);
    EXPECT_EQ(sem.signal(), 0);
    EXPECT_EQ(sem.timedwait(0), 0);
    EXPECT_EQ(sem.timedwait(0), -1);
    countingsem two(2);
    EXPECT_EQ(two.wait(), 0);
    EXPECT_EQ(two.wait(), 0);
    EXPECT_EQ(two.trywait(), -1);
}

TEST(Unit_CountingSemDeathTest, NegativeCountIsAnAssertion) {
    EXPECT_DEATH(countingsem sem(-1), "i_count>=0");
}
