#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "TimerThread.h"
#include "support/WaitFor.h"

using std::chrono::milliseconds;
using std::chrono::seconds;

class TimerThreadTest : public ::testing::Test {
  protected:
    ThreadPool pool{2, 10, 5000};
    ManualTimerClock clock;
    TimerThread timer{&pool, &clock};
};

TEST_F(TimerThreadTest, JobRunsOnThePoolOnlyOnceItsSecondsHavePassed) {
    std::atomic<int> runs{0};
    std::atomic<bool> onTimerCaller{false};
    auto caller = std::this_thread::get_id();
    int id = -1;
    ASSERT_EQ(timer.schedule(
                  2,
                  [&] {
                      onTimerCaller = std::this_thread::get_id() == caller;
                      ++runs;
                  },
                  &id),
              0);
    EXPECT_GT(id, 0);
    // A job due at one second has run: the timer thread has looked at 1999 ms.
    std::atomic<bool> marker{false};
    ASSERT_EQ(timer.schedule(
                  1, [&] { marker = true; }, nullptr),
              0);
    clock.advance(milliseconds(1999));
    ASSERT_TRUE(waitFor([&] { return marker.load(); }));
    EXPECT_EQ(runs.load(), 0);
    EXPECT_EQ(timer.pendingCount(), 1);
    clock.advance(milliseconds(1));
    ASSERT_TRUE(waitFor([&] { return runs.load() == 1; }));
    EXPECT_FALSE(onTimerCaller.load());
    EXPECT_EQ(timer.pendingCount(), 0);
}

TEST_F(TimerThreadTest, RemoveStopsAPendingJobOnlyAndReportsWhetherItDid) {
    std::atomic<int> runs{0}, kept{0};
    int id = -1, keptId = -1;
    ASSERT_EQ(timer.schedule(
                  1, [&] { ++runs; }, &id),
              0);
    ASSERT_EQ(timer.schedule(
                  1, [&] { ++kept; }, &keptId),
              0);
    EXPECT_EQ(timer.remove(id), 0);
    EXPECT_EQ(timer.remove(id), -1);  // removed before
    clock.advance(seconds(5));
    ASSERT_TRUE(waitFor([&] { return kept.load() == 1; }));
    EXPECT_EQ(runs.load(), 0);
    EXPECT_EQ(timer.remove(keptId), -1);  // expired
    EXPECT_EQ(timer.remove(12345), -1);   // never scheduled
}

TEST_F(TimerThreadTest, EventsFireInOrderOfTheirDueTimes) {
    std::mutex m;
    std::vector<int> order;
    auto rec = [&](int v) {
        return [&, v] {
            std::lock_guard<std::mutex> lock(m);
            order.push_back(v);
        };
    };
    int id;
    ASSERT_EQ(timer.schedule(3, rec(3), &id), 0);
    ASSERT_EQ(timer.schedule(1, rec(1), &id), 0);
    ASSERT_EQ(timer.schedule(2, rec(2), &id), 0);
    for (int i = 1; i <= 3; ++i) {
        clock.advance(seconds(1));
        ASSERT_TRUE(waitFor([&] {
            std::lock_guard<std::mutex> lock(m);
            return static_cast<int>(order.size()) == i;
        }));
    }
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST_F(TimerThreadTest, AJobMayScheduleAndRemoveFromThePool) {
    std::atomic<int> second{0};
    std::atomic<int> removeResult{99};
    int id = -1;
    ASSERT_EQ(timer.schedule(
                  1,
                  [&] {
                      int inner = -1;
                      timer.schedule(
                          1, [&] { ++second; }, &inner);
                      int other = -1;
                      timer.schedule(
                          10, [] {}, &other);
                      removeResult = timer.remove(other);
                  },
                  &id),
              0);
    clock.advance(seconds(1));
    ASSERT_TRUE(waitFor([&] { return removeResult.load() != 99; }));
    EXPECT_EQ(removeResult.load(), 0);
    clock.advance(seconds(1));
    EXPECT_TRUE(waitFor([&] { return second.load() == 1; }));
}

TEST_F(TimerThreadTest, ShutdownDropsScheduledJobsAndRefusesNewOnes) {
    std::atomic<int> runs{0};
    int id;
    ASSERT_EQ(timer.schedule(
                  1, [&] { ++runs; }, &id),
              0);
    timer.shutdown();
    EXPECT_EQ(timer.schedule(
                  1, [&] { ++runs; }, &id),
              -1);
    clock.advance(seconds(2));  // the timer thread has ended: nothing can run
    EXPECT_EQ(runs.load(), 0);
    timer.shutdown();  // a second shutdown is harmless
}

TEST(TimerThreadSteadyClock, ZeroSecondJobRunsPromptly) {
    ThreadPool pool(1, 10, 5000);
    TimerThread timer(&pool);
    std::atomic<bool> ran{false};
    int id;
    ASSERT_EQ(timer.schedule(
                  0, [&] { ran = true; }, &id),
              0);
    EXPECT_TRUE(waitFor([&] { return ran.load(); }));
}

// An expiry the pool cannot take (its queue full) is not lost: it runs on the timer thread.
TEST(TimerThreadFullPool, AnExpiryIsNeverDropped) {
    ThreadPool pool{1, 1, 5000};
    ManualTimerClock clock;
    TimerThread timer{&pool, &clock};
    std::mutex m;
    std::condition_variable cv;
    bool release = false;
    std::atomic<bool> busy{false};
    ASSERT_TRUE(pool.add([&] {
        busy = true;
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return release; });
    }));
    ASSERT_TRUE(waitFor([&] { return busy.load(); }));
    ASSERT_TRUE(pool.add([] {}));
    ASSERT_FALSE(pool.add([] {}));  // the queue is full
    std::atomic<bool> expired{false};
    ASSERT_EQ(timer.schedule(
                  1, [&] { expired = true; }, nullptr),
              0);
    clock.advance(seconds(1));
    EXPECT_TRUE(waitFor([&] { return expired.load(); }));
    {
        std::lock_guard<std::mutex> lock(m);
        release = true;
    }
    cv.notify_all();
}
