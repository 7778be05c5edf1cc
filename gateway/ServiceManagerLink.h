#ifndef ORQ_SERVICEMANAGERLINK_H
#define ORQ_SERVICEMANAGERLINK_H

// ServiceManagerLink: what the service manager (systemd, Type=notify) is told of the gateway.
// - "READY=1" from the HTTP poll loop's first pass, so the REST server serves when it is sent;
//   its status is the gateway state then known.
// - "STATUS=<the gateway state in words>" on every change of the gateway state.
// - "WATCHDOG=1" while both the HTTP poll loop and the serial reader make progress: the loop
//   runs a probe the watchdog thread posts to it each round, and the reader shows a sign of
//   life at least every ZB_CONN_READER_BEAT_MS even on a quiet line (zb_conn.h). A reader
//   stuck in a callback or a blocked write holds the pings back; so does a stuck loop.
// - "STOPPING=1" at the orderly stop.
// Nothing is sent unless NOTIFY_SOCKET is set.
//
// Threads: start() and stopping() on the main thread; the state listener runs on whichever
// thread changes the state; the checks on the notifier's watchdog thread.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "OrqZbIf.h"
#include "ServiceNotifier.h"

class HTTPServer;

class ServiceManagerLink {
  public:
    ServiceManagerLink(OrqZbIf* adapter, HTTPServer* server);
    ~ServiceManagerLink();
    ServiceManagerLink(const ServiceManagerLink&) = delete;
    ServiceManagerLink& operator=(const ServiceManagerLink&) = delete;

    // Before the poll loop runs: listens to the gateway state and posts the ready probe.
    void start();
    // At the orderly stop, before the server and the link go.
    void stopping();

    // The gateway state in words: the state's text, and for state 4 the error.
    static std::string describe(int state, int error);

  private:
    void onGatewayState(int state, int error);
    bool loopMadeProgress();
    bool readerMadeProgress() const;

    OrqZbIf* adapter;
    HTTPServer* server;
    ServiceNotifier notifier;
    ZbStateChangeListener stateListener;
    bool listening = false;
    // A reader silent for this long is stuck.
    long readerStallMs = 0;

    std::mutex mux;  // the two below: a state change and READY go out in the order they happen
    bool readySent = false;
    std::string lastStatus;

    std::atomic<uint64_t> probesPosted{0};
    std::atomic<uint64_t> probesRun{0};
};

#endif
