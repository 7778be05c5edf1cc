#ifndef ORQ_THREADPOOL_H
#define ORQ_THREADPOOL_H

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// A small pool of worker threads that run queued jobs in order of priority (high first,
// then arrival). Workers are started on demand, up to `maxThreads`; an idle worker beyond
// the first ends after `maxIdleMs`. Jobs never run on the thread that adds them.
//
// Any thread may call add(); shutdown() (also run by the destructor) refuses new jobs,
// drops the jobs not yet started and joins every worker, so it must not be called from a
// job of the same pool.
class ThreadPool {
  public:
    enum Priority { LOW_PRIORITY = 0, MED_PRIORITY = 1, HIGH_PRIORITY = 2 };

    explicit ThreadPool(int maxThreads = 10, int jobsPerThread = 10, int maxIdleMs = 5000);
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    // Queues `job`; false once the pool is shut down or when the queue holds
    // maxThreads * jobsPerThread jobs already.
    bool add(std::function<void()> job, Priority priority = MED_PRIORITY);
    void shutdown();

    int maxThreads() const { return _maxThreads; }
    // Workers alive at this moment (for tests and diagnostics).
    int workerCount();

  private:
    struct Job {
        std::function<void()> fn;
        Priority priority;
    };
    void workerLoop();

    const int _maxThreads;
    const size_t _maxQueued;
    const int _maxIdleMs;
    std::mutex mux;
    std::condition_variable cv;
    std::deque<Job> queue;
    std::vector<std::thread> workers;
    std::vector<std::thread::id> finished;  // workers that ended on idle, to be joined
    int idleWorkers = 0;
    int liveWorkers = 0;
    bool stopping = false;
};

#endif
