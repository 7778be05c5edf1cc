#include "ThreadPool.h"

#include <algorithm>
#include <chrono>

ThreadPool::ThreadPool(int maxThreads, int jobsPerThread, int maxIdleMs)
    : _maxThreads(std::max(1, maxThreads)),
      _maxQueued(static_cast<size_t>(std::max(1, maxThreads)) *
                 static_cast<size_t>(std::max(1, jobsPerThread))),
      _maxIdleMs(std::max(1, maxIdleMs)) {}

ThreadPool::~ThreadPool() {
    shutdown();
}

bool ThreadPool::add(std::function<void()> job, Priority priority) {
    if (!job) {
        return false;
    }
    std::lock_guard<std::mutex> lock(mux);
    if (stopping || queue.size() >= _maxQueued) {
        return false;
    }
    // Keep the queue ordered by priority, arrival order within one priority.
    auto pos = std::find_if(queue.begin(), queue.end(),
                            [priority](const Job& j) { return j.priority < priority; });
    queue.insert(pos, Job{std::move(job), priority});
    // Join workers that already left on idle, so their handles do not pile up.
    for (auto id : finished) {
        auto it = std::find_if(workers.begin(), workers.end(),
                               [id](const std::thread& t) { return t.get_id() == id; });
        if (it != workers.end()) {
            it->join();
            workers.erase(it);
        }
    }
    finished.clear();
    if (idleWorkers < static_cast<int>(queue.size()) && liveWorkers < _maxThreads) {
        ++liveWorkers;
        workers.emplace_back(&ThreadPool::workerLoop, this);
    } else {
        cv.notify_one();
    }
    return true;
}

void ThreadPool::workerLoop() {
    std::unique_lock<std::mutex> lock(mux);
    for (;;) {
        if (stopping) {
            break;
        }
        if (queue.empty()) {
            ++idleWorkers;
            bool woke = cv.wait_for(lock, std::chrono::milliseconds(_maxIdleMs),
                                    [this] { return stopping || !queue.empty(); });
            --idleWorkers;
            if (!woke && liveWorkers > 1) {
                // Idle too long and not the last worker: leave; add() or shutdown() joins.
                --liveWorkers;
                finished.push_back(std::this_thread::get_id());
                return;
            }
            continue;
        }
        Job job = std::move(queue.front());
        queue.pop_front();
        lock.unlock();
        job.fn();
        job.fn = nullptr;  // destroy captured state outside the lock
        lock.lock();
    }
    --liveWorkers;
}

void ThreadPool::shutdown() {
    std::vector<std::thread> toJoin;
    {
        std::lock_guard<std::mutex> lock(mux);
        stopping = true;
        queue.clear();
        toJoin.swap(workers);
        finished.clear();
    }
    cv.notify_all();
    for (auto& t : toJoin) {
        if (t.joinable()) {
            t.join();
        }
    }
}

int ThreadPool::workerCount() {
    std::lock_guard<std::mutex> lock(mux);
    return liveWorkers;
}
