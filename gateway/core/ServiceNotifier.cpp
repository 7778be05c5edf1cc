#include "ServiceNotifier.h"

#include <systemd/sd-daemon.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

ServiceNotifier::ServiceNotifier() {
    const char* socketPath = std::getenv("NOTIFY_SOCKET");
    active = socketPath != nullptr && socketPath[0] != '\0';
    uint64_t usec = 0;
    // sd_watchdog_enabled checks that WATCHDOG_PID, when set, names this process.
    if (active && sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
        interval = std::chrono::microseconds(usec);
    }
}

ServiceNotifier::~ServiceNotifier() {
    {
        std::lock_guard<std::mutex> lock(mux);
        stopRequested = true;
    }
    cv.notify_all();
    if (pinger.joinable()) {
        pinger.join();
    }
}

void ServiceNotifier::watch(std::string part, std::function<bool()> healthy) {
    std::lock_guard<std::mutex> lock(mux);
    watched.push_back(Watched{std::move(part), std::move(healthy)});
}

void ServiceNotifier::send(const std::string& message) {
    if (!active) {
        return;
    }
    int r = sd_notify(0, message.c_str());
    if (r < 0) {
        std::fprintf(stderr, "ServiceNotifier - sd_notify failed: %s\n", std::strerror(-r));
    }
}

void ServiceNotifier::ready(const std::string& status) {
    if (!active) {
        return;
    }
    send("READY=1\nSTATUS=" + status);
    std::lock_guard<std::mutex> lock(mux);
    if (interval.count() > 0 && !stopRequested && !pinger.joinable()) {
        pinger = std::thread([this] { run(); });
    }
}

void ServiceNotifier::status(const std::string& text) {
    send("STATUS=" + text);
}

void ServiceNotifier::stopping() {
    bool first;
    {
        std::lock_guard<std::mutex> lock(mux);
        first = !stoppingSent;
        stoppingSent = true;
        stopRequested = true;
    }
    cv.notify_all();
    if (pinger.joinable() && pinger.get_id() != std::this_thread::get_id()) {
        pinger.join();
    }
    if (first) {
        send("STOPPING=1");
    }
}

bool ServiceNotifier::pingIfHealthy() {
    bool all = true;
    {
        std::lock_guard<std::mutex> lock(mux);
        for (Watched& w : watched) {
            bool ok = w.healthy();
            if (!ok && !w.stalled) {
                std::fprintf(stderr,
                             "ServiceNotifier - watchdog ping held back: %s makes no progress\n",
                             w.part.c_str());
            } else if (ok && w.stalled) {
                std::fprintf(stderr, "ServiceNotifier - %s makes progress again\n", w.part.c_str());
            }
            w.stalled = !ok;
            all = all && ok;
        }
    }
    if (all) {
        send("WATCHDOG=1");
    }
    return all;
}

void ServiceNotifier::run() {
    const auto period = interval / 2;
    std::unique_lock<std::mutex> lock(mux);
    while (!stopRequested) {
        if (cv.wait_for(lock, period, [this] { return stopRequested; })) {
            break;
        }
        lock.unlock();
        pingIfHealthy();
        lock.lock();
    }
}
