#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "ThreadPool.h"
#include "support/WaitFor.h"

TEST(ThreadPool, RunsJobsOffTheCallersThreadOnNoMoreWorkersThanItsLimit) {
    ThreadPool pool(3, 10, 5000);
    std::atomic<int> running{0}, peak{0}, done{0};
    std::atomic<bool> release{false};
    const auto caller = std::this_thread::get_id();
    std::atomic<bool> offCaller{true};
    for (int i = 0; i < 9; ++i) {
        ASSERT_TRUE(pool.add([&] {
            offCaller = offCaller && std::this_thread::get_id() != caller;
            int now = ++running;
            int p = peak.load();
            while (now > p && !peak.compare_exchange_weak(p, now)) {
            }
            while (!release) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            --running;
            ++done;
        }));
    }
    ASSERT_TRUE(waitFor([&] { return running.load() == 3; }));
    release = true;
    ASSERT_TRUE(waitFor([&] { return done.load() == 9; }));
    EXPECT_EQ(peak.load(), 3);
    EXPECT_LE(pool.workerCount(), 3);
    EXPECT_TRUE(offCaller.load());
}

TEST(ThreadPool, HigherPriorityJobsRunFirst) {
    ThreadPool pool(1, 10, 5000);
    std::atomic<bool> release{false};
    std::vector<int> order;
    std::mutex m;
    // Occupy the single worker so that the next jobs queue up behind it.
    ASSERT_TRUE(pool.add([&] {
        while (!release) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }));
    auto record = [&](int v) {
        return [&, v] {
            std::lock_guard<std::mutex> lock(m);
            order.push_back(v);
        };
    };
    ASSERT_TRUE(pool.add(record(1), ThreadPool::LOW_PRIORITY));
    ASSERT_TRUE(pool.add(record(2), ThreadPool::MED_PRIORITY));
    ASSERT_TRUE(pool.add(record(3), ThreadPool::HIGH_PRIORITY));
    ASSERT_TRUE(pool.add(record(4), ThreadPool::MED_PRIORITY));
    release = true;
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard<std::mutex> lock(m);
        return order.size() == 4;
    }));
    EXPECT_EQ(order, (std::vector<int>{3, 2, 4, 1}));
}

TEST(ThreadPool, RefusesJobsBeyondItsQueueAndAfterShutdown) {
    ThreadPool pool(1, 2, 5000);
    std::atomic<bool> release{false};
    ASSERT_TRUE(pool.add([&] {
        while (!release) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }));
    ASSERT_TRUE(waitFor([&] { return pool.workerCount() == 1; }));
    // The worker is busy: the queue takes maxThreads * jobsPerThread = 2 more.
    int accepted = 0;
    for (int i = 0; i < 5; ++i) {
        accepted += pool.add([] {}) ? 1 : 0;
    }
    EXPECT_LE(accepted, 2);
    EXPECT_GE(accepted, 1);
    release = true;
    pool.shutdown();
    EXPECT_FALSE(pool.add([] {}));
    EXPECT_EQ(pool.workerCount(), 0);
}

TEST(ThreadPool, IdleWorkersBeyondTheFirstEnd) {
    ThreadPool pool(4, 10, 20);
    std::atomic<int> done{0};
    std::atomic<bool> release{false};
    for (int i = 0; i < 4; ++i) {
        pool.add([&] {
            while (!release) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            ++done;
        });
    }
    ASSERT_TRUE(waitFor([&] { return pool.workerCount() == 4; }));
    release = true;
    ASSERT_TRUE(waitFor([&] { return done.load() == 4; }));
    ASSERT_TRUE(waitFor([&] { return pool.workerCount() == 1; }));
    // Still usable afterwards.
    std::atomic<bool> ran{false};
    ASSERT_TRUE(pool.add([&] { ran = true; }));
    EXPECT_TRUE(waitFor([&] { return ran.load(); }));
}
