#include "TimerThread.h"

#include <algorithm>

TimerClock::time_point ManualTimerClock::now() {
    std::lock_guard<std::mutex> lock(mux);
    return current;
}

void ManualTimerClock::waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                                 time_point deadline) {
    (void)deadline;  // time moves only through advance(), which wakes the waiter
    cv.wait(lock);
}

void ManualTimerClock::attach(std::function<void()> wake) {
    std::lock_guard<std::mutex> lock(mux);
    wakeFn = std::move(wake);
}

void ManualTimerClock::detach() {
    std::lock_guard<std::mutex> lock(mux);
    wakeFn = nullptr;
}

void ManualTimerClock::advance(std::chrono::milliseconds by) {
    std::function<void()> wake;
    {
        std::lock_guard<std::mutex> lock(mux);
        current += by;
        wake = wakeFn;
    }
    if (wake) {
        wake();
    }
}

TimerThread::TimerThread(ThreadPool* pool, TimerClock* clock)
    : pool(pool), clock(clock != nullptr ? clock : &steady) {
    this->clock->attach([this] {
        std::lock_guard<std::mutex> lock(mux);
        cv.notify_all();
    });
    thread = std::thread(&TimerThread::run, this);
}

TimerThread::~TimerThread() {
    shutdown();
}

int TimerThread::schedule(int seconds, std::function<void()> job, int* eventId,
                          ThreadPool::Priority priority) {
    if (!job) {
        return -1;
    }
    auto due = clock->now() + std::chrono::seconds(std::max(0, seconds));
    std::lock_guard<std::mutex> lock(mux);
    if (stopping) {
        return -1;
    }
    int id = nextId++;
    if (nextId <= 0) {
        nextId = 1;
    }
    events.emplace(id, Event{due, std::move(job), priority});
    if (eventId != nullptr) {
        *eventId = id;
    }
    cv.notify_all();
    return 0;
}

int TimerThread::remove(int eventId) {
    std::function<void()> dropped;
    {
        std::lock_guard<std::mutex> lock(mux);
        auto it = events.find(eventId);
        if (it == events.end()) {
            return -1;
        }
        dropped = std::move(it->second.job);
        events.erase(it);
    }
    return 0;  // `dropped` (and what it holds) is released outside the lock
}

void TimerThread::run() {
    std::unique_lock<std::mutex> lock(mux);
    while (!stopping) {
        auto now = clock->now();
        // Hand every due event to the pool, earliest first.
        for (;;) {
            auto due = events.end();
            for (auto it = events.begin(); it != events.end(); ++it) {
                if (it->second.due <= now &&
                    (due == events.end() || it->second.due < due->second.due)) {
                    due = it;
                }
            }
            if (due == events.end()) {
                break;
            }
            Event ev = std::move(due->second);
            events.erase(due);
            lock.unlock();
            // An expiry is never lost: when the pool cannot take it (queue full, or shut down
            // before this timer), it runs here, on the timer thread.
            std::function<void()> job = std::move(ev.job);
            if (!pool->add(job, ev.priority)) {
                job();
            }
            lock.lock();
            if (stopping) {
                return;
            }
        }
        if (events.empty()) {
            cv.wait(lock);
            continue;
        }
        auto next =
            std::min_element(events.begin(), events.end(), [](const auto& a, const auto& b) {
                return a.second.due < b.second.due;
            })->second.due;
        clock->waitUntil(lock, cv, next);
    }
}

void TimerThread::shutdown() {
    std::map<int, Event> dropped;
    {
        std::lock_guard<std::mutex> lock(mux);
        if (stopping && !thread.joinable()) {
            return;
        }
        stopping = true;
        dropped.swap(events);
        cv.notify_all();
    }
    if (thread.joinable()) {
        thread.join();
    }
    clock->detach();
}

int TimerThread::pendingCount() {
    std::lock_guard<std::mutex> lock(mux);
    return static_cast<int>(events.size());
}
