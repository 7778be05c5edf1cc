#include "ServiceManagerLink.h"

#include <algorithm>

#include "CHTTPServer.h"
#include "GWManagement.h"
#include "zb_conn.h"

ServiceManagerLink::ServiceManagerLink(OrqZbIf* adapter, HTTPServer* server)
    : adapter(adapter), server(server), stateListener([this](const ZbStateChange& change) {
          onGatewayState(change.status, change.error);
      }) {
    // A round's pings go out half an interval apart; a reader that has been silent for a whole
    // round, and for several of its own beats, is stuck rather than slow.
    long roundMs = static_cast<long>(notifier.watchdogInterval().count() / 2000);
    readerStallMs = std::max(roundMs, 4L * ZB_CONN_READER_BEAT_MS);
}

ServiceManagerLink::~ServiceManagerLink() {
    stopping();
}

std::string ServiceManagerLink::describe(int state, int error) {
    GWManagementMessages* texts = GWManagementMessages::Instance();
    std::string words = texts->getStateDescMessage(state);
    if (state == GW_ERROR && error != GW_NO_ERROR) {
        const char* what = texts->findErrorMessage(error);
        words += what != nullptr ? std::string(": ") + what : std::string();
        words += " (error " + std::to_string(error) + ")";
    }
    return words;
}

void ServiceManagerLink::start() {
    if (!notifier.enabled()) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mux);
        lastStatus = describe(adapter->getGWStatus(), GW_NO_ERROR);
    }
    listening = adapter->registerListener(ZB_EV_GW_STATUS_CHANGED, &stateListener) == 0;
    notifier.watch("the HTTP poll loop", [this] { return loopMadeProgress(); });
    notifier.watch("the serial reader", [this] { return readerMadeProgress(); });
    // Runs on the loop's first pass: the REST server serves from then on.
    server->runOnLoop([this] {
        std::lock_guard<std::mutex> lock(mux);
        readySent = true;
        notifier.ready(lastStatus);
    });
}

void ServiceManagerLink::stopping() {
    if (!notifier.enabled()) {
        return;
    }
    if (listening) {
        adapter->unregisterListener(ZB_EV_GW_STATUS_CHANGED, &stateListener);
        listening = false;
    }
    notifier.stopping();
}

void ServiceManagerLink::onGatewayState(int state, int error) {
    std::string words = describe(state, error);
    std::lock_guard<std::mutex> lock(mux);
    if (words == lastStatus) {
        return;
    }
    lastStatus = words;
    if (readySent) {
        notifier.status(words);
    }
}

bool ServiceManagerLink::loopMadeProgress() {
    uint64_t posted = probesPosted.load();
    if (probesRun.load() != posted) {
        return false;  // the probe of the previous round has not run yet
    }
    probesPosted.store(posted + 1);
    server->runOnLoop([this, posted] { probesRun.store(posted + 1); });
    return true;
}

bool ServiceManagerLink::readerMadeProgress() const {
    long silence = zb_conn_reader_silence_ms();
    return silence < 0 || silence < readerStallMs;  // no reader (device gone): nothing to hang
}
