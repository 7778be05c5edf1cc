#ifndef ORQ_TESTS_SUPPORT_WAITFOR_H
#define ORQ_TESTS_SUPPORT_WAITFOR_H

#include <chrono>
#include <functional>
#include <thread>

// Polls `cond` until it holds or `deadline` has passed; generous deadlines keep a loaded
// machine from failing a test that would pass.
inline bool waitFor(const std::function<bool()>& cond,
                    std::chrono::milliseconds deadline = std::chrono::seconds(15)) {
    auto end = std::chrono::steady_clock::now() + deadline;
    while (std::chrono::steady_clock::now() < end) {
        if (cond()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return cond();
}

#endif
