#include "ModuleSupervisor.h"

#include <cstdio>

#include "CDebug.h"
#include "GWManagement.h"

namespace {
long long msBetween(RecoveryClock::time_point from, RecoveryClock::time_point to) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}

// Recovery lines go to standard output as well as to the log: an operator watching a daemon
// that runs unattended should see every fault and every recovery.
#define RECOVERY_LINE(...)        \
    do {                          \
        std::printf(__VA_ARGS__); \
        std::printf("\n");        \
        std::fflush(stdout);      \
    } while (0)
}  // namespace

ModuleSupervisor::ModuleSupervisor(OrqZbIf* adapter, std::string deviceUrl,
                                   const RecoverySettings& settings, std::function<void()> restart)
    : adapter(adapter),
      deviceUrl(std::move(deviceUrl)),
      settings(settings),
      restart(std::move(restart)),
      pLogger(new Debug("ModuleSupervisor")),
      stateListener([this](int state, int, uchar) { onGwState(state); }),
      backoff(settings.backoffFirstMs, settings.backoffMaxMs),
      watch(std::chrono::milliseconds(settings.confirmTimeoutMs), settings.missedConfirms) {
    configureLogger(*pLogger, "Debug:ModuleSupervisorDL");
}

ModuleSupervisor::~ModuleSupervisor() {
    stop();
    delete pLogger;
}

void ModuleSupervisor::start() {
    if (!settings.enabled) {
        ORQ_LOG(*pLogger, INFO, "start - recovery disabled");
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mux);
        if (started) {
            return;
        }
        started = true;
        running = adapter->getGWStatus() == GW_RUNNING;
        wantRunning = running;
        lastActivity = RecoveryClock::now();
    }
    adapter->registerListener(ZB_EV_GW_STATUS_CHANGED, &stateListener);
    adapter->setModuleWatcher(this);
    thread = std::thread([this] { run(); });
}

void ModuleSupervisor::stop() {
    {
        std::lock_guard<std::mutex> lock(mux);
        if (!started) {
            return;
        }
        started = false;
        stopping = true;
    }
    cv.notify_all();
    adapter->setModuleWatcher(nullptr);
    adapter->unregisterListener(ZB_EV_GW_STATUS_CHANGED, &stateListener);
    if (thread.joinable()) {
        thread.join();
    }
}

int ModuleSupervisor::recoveries() {
    std::lock_guard<std::mutex> lock(mux);
    return recovered;
}

void ModuleSupervisor::requestSent() {
    std::lock_guard<std::mutex> lock(mux);
    if (phase != Phase::Watching || !running) {
        return;  // a restart's own requests are judged by the restart deadline
    }
    const auto now = RecoveryClock::now();
    const bool first = watch.outstanding() == 0;
    watch.sent(now);
    lastActivity = now;
    if (first) {
        cv.notify_all();
    }
}

void ModuleSupervisor::moduleHeard() {
    std::lock_guard<std::mutex> lock(mux);
    watch.heard();
    probeDeadline = RecoveryClock::time_point::max();
    lastActivity = RecoveryClock::now();
}

void ModuleSupervisor::linkLost(int error) {
    (void)error;
    {
        std::lock_guard<std::mutex> lock(mux);
        linkLostPending = true;
        running = false;
    }
    cv.notify_all();
}

void ModuleSupervisor::moduleRebooted() {
    {
        std::lock_guard<std::mutex> lock(mux);
        rebootedPending = true;
    }
    cv.notify_all();
}

void ModuleSupervisor::onGwState(int state) {
    {
        std::lock_guard<std::mutex> lock(mux);
        running = state == GW_RUNNING;
        if (running) {
            wantRunning = true;
            lastActivity = RecoveryClock::now();
        } else if (state == GW_ZNP_INITIALIZED && phase == Phase::Watching) {
            wantRunning = false;  // reset without restart: the module waits for a start
        }
    }
    cv.notify_all();
}

void ModuleSupervisor::run() {
    std::unique_lock<std::mutex> lock(mux);
    while (!stopping) {
        const Action a = decide(RecoveryClock::now());
        if (a != Action::None) {
            lock.unlock();
            perform(a);
            lock.lock();
            continue;
        }
        const auto wake = nextWake();
        if (wake == RecoveryClock::time_point::max()) {
            cv.wait(lock);
        } else {
            cv.wait_until(lock, wake);
        }
    }
}

// Under mux.
void ModuleSupervisor::fault(RecoveryClock::time_point now, int errorCode, const char* what) {
    faultAt = now;
    faultName = what;
    reportCode = errorCode;
    running = false;
    watch.clear();
    probeDeadline = RecoveryClock::time_point::max();
    backoff.reset();
}

// Under mux: what to do now, with the bookkeeping that goes with it.
ModuleSupervisor::Action ModuleSupervisor::decide(RecoveryClock::time_point now) {
    if (linkLostPending) {
        linkLostPending = false;
        rebootedPending = false;
        if (phase != Phase::Reopening) {
            fault(now, GW_GENERIC_ERROR, "device lost");
        }
        phase = Phase::Reopening;
        const auto delay = backoff.next();
        retryAt = now + delay;
        restartDeadline = RecoveryClock::time_point::max();
        RECOVERY_LINE("recovery - ZigBee device lost: reopening it in %lld ms",
                      static_cast<long long>(delay.count()));
        return Action::None;
    }
    switch (phase) {
        case Phase::Watching: {
            if (!running) {
                rebootedPending = false;
                return Action::None;
            }
            if (rebootedPending) {
                rebootedPending = false;
                fault(now, GW_MODULE_RESET_BY_ITSELF, "module reset by itself");
                RECOVERY_LINE(
                    "recovery - the ZigBee module reset by itself: restarting the "
                    "network");
                return Action::ReportAndRestart;
            }
            const bool missed = watch.expire(now);
            if (missed || now >= probeDeadline) {
                RECOVERY_LINE("recovery - the ZigBee module does not answer (%s): resetting it",
                              missed ? "missed confirms" : "liveness probe unanswered");
                fault(now, GW_MODULE_NOT_ANSWERING, "module not answering");
                return Action::ReportAndRestart;
            }
            if (settings.probePeriodSeconds > 0 &&
                probeDeadline == RecoveryClock::time_point::max() && watch.outstanding() == 0 &&
                now - lastActivity >= std::chrono::seconds(settings.probePeriodSeconds)) {
                probeDeadline = now + std::chrono::milliseconds(settings.confirmTimeoutMs);
                lastActivity = now;
                return Action::Probe;
            }
            return Action::None;
        }
        case Phase::Reopening:
            return now >= retryAt ? Action::Reopen : Action::None;
        case Phase::Restarting:
            if (running) {
                phase = Phase::Watching;
                ++recovered;
                backoff.reset();
                watch.clear();
                probeDeadline = RecoveryClock::time_point::max();
                retryAt = restartDeadline = RecoveryClock::time_point::max();
                lastActivity = now;
                RECOVERY_LINE("recovery - running again %lld ms after the fault (%s)",
                              msBetween(faultAt, now), faultName);
                return Action::None;
            }
            if (now >= restartDeadline) {
                const auto delay = backoff.next();
                restartDeadline = RecoveryClock::time_point::max();
                retryAt = now + delay;
                RECOVERY_LINE(
                    "recovery - the network did not start in %d ms: next attempt in "
                    "%lld ms",
                    settings.restartTimeoutMs, static_cast<long long>(delay.count()));
                return Action::None;
            }
            return now >= retryAt ? Action::Restart : Action::None;
    }
    return Action::None;
}

RecoveryClock::time_point ModuleSupervisor::nextWake() const {
    switch (phase) {
        case Phase::Watching: {
            if (!running) {
                return RecoveryClock::time_point::max();
            }
            auto wake = std::min(watch.nextDeadline(), probeDeadline);
            if (settings.probePeriodSeconds > 0 &&
                probeDeadline == RecoveryClock::time_point::max()) {
                wake = std::min(wake,
                                lastActivity + std::chrono::seconds(settings.probePeriodSeconds));
            }
            return wake;
        }
        case Phase::Reopening:
            return retryAt;
        case Phase::Restarting:
            return std::min(retryAt, restartDeadline);
    }
    return RecoveryClock::time_point::max();
}

// Without mux: the adapter and the restart call back into the watcher operations.
void ModuleSupervisor::perform(Action a) {
    switch (a) {
        case Action::None:
            return;
        case Action::Probe:
            ORQ_LOG(*pLogger, DEBUG, "perform - liveness probe");
            adapter->sendLivenessProbe();
            return;
        case Action::ReportAndRestart: {
            int code = 0;
            {
                std::lock_guard<std::mutex> lock(mux);
                code = reportCode;
            }
            adapter->setGWStatus(GW_ERROR, code);
            restartNetwork();
            return;
        }
        case Action::Restart:
            restartNetwork();
            return;
        case Action::Reopen: {
            const bool open = adapter->reopen(deviceUrl.c_str());
            bool again = false;
            {
                std::lock_guard<std::mutex> lock(mux);
                if (!open) {
                    const auto delay = backoff.next();
                    retryAt = RecoveryClock::now() + delay;
                    RECOVERY_LINE(
                        "recovery - cannot reopen the ZigBee device: next attempt in "
                        "%lld ms",
                        static_cast<long long>(delay.count()));
                    return;
                }
                RECOVERY_LINE("recovery - ZigBee device reopened");
                again = wantRunning;
                if (!again) {
                    phase = Phase::Watching;
                    retryAt = RecoveryClock::time_point::max();
                }
            }
            adapter->setGWStatus(GW_ZNP_INITIALIZED, 0);
            if (again) {
                restartNetwork();
            }
            return;
        }
    }
}

void ModuleSupervisor::restartNetwork() {
    {
        std::lock_guard<std::mutex> lock(mux);
        phase = Phase::Restarting;
        running = false;
        retryAt = RecoveryClock::time_point::max();
        restartDeadline =
            RecoveryClock::now() + std::chrono::milliseconds(settings.restartTimeoutMs);
    }
    ORQ_LOG(*pLogger, INFO, "restartNetwork - start mode %d", settings.startMode);
    ZbNetDb* db = adapter->getDb();
    const int savedMode = db->getStartModeSetting();
    db->setStartModeSetting(settings.startMode);
    restart();
    db->setStartModeSetting(savedMode);
    cv.notify_all();
}
