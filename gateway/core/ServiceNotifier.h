#ifndef ORQ_SERVICENOTIFIER_H
#define ORQ_SERVICENOTIFIER_H

// ServiceNotifier: tells the service manager that started the process how it is (systemd's
// notify protocol, through libsystemd's sd_notify): "READY=1" once the process serves,
// "STATUS=..." in words, "WATCHDOG=1" pings while every watched part of the process makes
// progress, "STOPPING=1" at an orderly stop. It does nothing unless NOTIFY_SOCKET is set.
//
// The watchdog interval is the one the manager asked for (WATCHDOG_USEC, for this process);
// the pings go out at half of it from a thread of this object, started by ready(). Before each
// ping every watched part is asked whether it made progress; a part that did not holds the
// ping back (and is named on standard error once), so the manager restarts a process that
// hangs there.
//
// Threads: every operation may be called from any thread; the health checks run on the
// watchdog thread and must not block.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class ServiceNotifier {
  public:
    // Reads NOTIFY_SOCKET and the watchdog settings of the environment.
    ServiceNotifier();
    ~ServiceNotifier();
    ServiceNotifier(const ServiceNotifier&) = delete;
    ServiceNotifier& operator=(const ServiceNotifier&) = delete;

    // True when a service manager listens (NOTIFY_SOCKET set).
    bool enabled() const { return active; }
    // The watchdog interval asked for; zero when there is no watchdog.
    std::chrono::microseconds watchdogInterval() const { return interval; }

    // A part of the process that must make progress for the pings to go on; `healthy` answers
    // whether it did since the previous ping. Register before ready().
    void watch(std::string part, std::function<bool()> healthy);

    // "READY=1" with the status text; starts the pings when there is a watchdog.
    void ready(const std::string& status);
    // "STATUS=<text>".
    void status(const std::string& text);
    // "STOPPING=1" (once); the pings end and are not started again.
    void stopping();

    // One watchdog round: asks every watched part and sends "WATCHDOG=1" when all made
    // progress. Returns whether it pinged. The thread calls it every half interval.
    bool pingIfHealthy();

  private:
    struct Watched {
        std::string part;
        std::function<bool()> healthy;
        bool stalled = false;
    };

    void send(const std::string& message);
    void run();

    bool active = false;
    std::chrono::microseconds interval{0};

    std::mutex mux;  // everything below
    std::condition_variable cv;
    std::vector<Watched> watched;
    bool stopRequested = false;
    bool stoppingSent = false;
    std::thread pinger;
};

#endif
