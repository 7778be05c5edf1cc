#ifndef ORQ_STOPSIGNAL_H
#define ORQ_STOPSIGNAL_H

// Turns SIGINT and SIGTERM into a readable descriptor, so that the orderly stop runs on
// the main thread (from its wait or poll loop) rather than inside the signal handler,
// where exit() and the stop work are not safe to call.
class StopSignal {
  public:
    // Installs the handler for SIGINT and then SIGTERM. False if sigaction fails.
    static bool install();
    // Readable once a stop signal has arrived; -1 before install().
    static int fd();
    // True once a stop signal has arrived.
    static bool pending();
    // Blocks until a stop signal has arrived.
    static void wait();
    // Async-signal-safe: what the handler does.
    static void raise();
};

#endif
