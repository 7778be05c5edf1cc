#ifndef ORQ_TIMERTHREAD_H
#define ORQ_TIMERTHREAD_H

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "ThreadPool.h"

// The time source of a TimerThread. The default is the steady clock; tests inject a
// ManualTimerClock and move time on by hand, so no test waits for wall-clock seconds.
class TimerClock {
  public:
    using time_point = std::chrono::steady_clock::time_point;
    virtual ~TimerClock() = default;
    virtual time_point now() = 0;
    // Called by the timer thread with `lock` held: waits until `cv` is signalled or,
    // on a real clock, until `deadline`.
    virtual void waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                           time_point deadline) = 0;
    // A manual clock tells the timer thread when time has moved (see ManualTimerClock).
    virtual void attach(std::function<void()> wake) { (void)wake; }
    virtual void detach() {}
};

class SteadyTimerClock : public TimerClock {
  public:
    time_point now() override { return std::chrono::steady_clock::now(); }
    void waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                   time_point deadline) override {
        cv.wait_until(lock, deadline);
    }
};

// A clock that only moves when advance() is called (from any thread). One timer
// thread at a time may be attached to it.
class ManualTimerClock : public TimerClock {
  public:
    time_point now() override;
    void waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                   time_point deadline) override;
    void attach(std::function<void()> wake) override;
    void detach() override;
    void advance(std::chrono::milliseconds by);

  private:
    std::mutex mux;
    time_point current{};
    std::function<void()> wakeFn;
};

// One thread that holds scheduled one-shot jobs and hands each, when its time has come,
// to a thread pool. An expiry is never lost: one the pool cannot take (its queue full, or
// the pool shut down) runs on the timer thread itself; never on the caller's.
//
// schedule() and remove() may be called from any thread, including from a job running on
// the pool. shutdown() (also run by the destructor) drops the jobs still scheduled and
// joins the timer thread; the pool is shut down by its owner.
class TimerThread {
  public:
    // `pool` must outlive this object; `clock` null means the steady clock.
    explicit TimerThread(ThreadPool* pool, TimerClock* clock = nullptr);
    ~TimerThread();
    TimerThread(const TimerThread&) = delete;
    TimerThread& operator=(const TimerThread&) = delete;

    // Schedules `job` to run `seconds` whole seconds from now (negative counts as 0).
    // Returns 0 and stores the event's id in *eventId; -1 after shutdown or for an
    // empty job.
    int schedule(int seconds, std::function<void()> job, int* eventId,
                 ThreadPool::Priority priority = ThreadPool::MED_PRIORITY);
    // Removes a scheduled event: 0 if it was still scheduled (the job will not run),
    // -1 if it is unknown, already handed to the pool, or removed before.
    int remove(int eventId);
    void shutdown();

    // Events still waiting (for tests and diagnostics).
    int pendingCount();

  private:
    struct Event {
        TimerClock::time_point due;
        std::function<void()> job;
        ThreadPool::Priority priority;
    };
    void run();

    ThreadPool* pool;
    SteadyTimerClock steady;
    TimerClock* clock;
    std::mutex mux;
    std::condition_variable cv;
    std::map<int, Event> events;
    int nextId = 1;
    bool stopping = false;
    std::thread thread;
};

#endif
