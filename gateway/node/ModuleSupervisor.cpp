#include "ModuleSupervisor.h"

#include <algorithm>
#include <cstdio>

#include "CDebug.h"
#include "GWManagement.h"

namespace {
// How long the board is given to come up after its reset line was written, as the serial
// line's own board reset at open waits.
constexpr int kResetLineSettleMs = 2000;

// The serial line answers a reset itself once the module has had time to reboot (what the
// module says meanwhile is dropped), so the first packet of a restart is that confirm whether
// the module lives or not; the module shows it answers with the next one.
constexpr int kResetAnswered = 2;

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
      stateListener([this](const ZbStateChange& change) { onGwState(change.status); }),
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
    heardSinceRestart = std::min(heardSinceRestart + 1, kResetAnswered);
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
    toldNoResetLine = false;
    lineJustUsed = false;
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
            // After a reset through the line, the restart that follows has its whole time: a
            // module slower than the reset's time-out is not reset over and over.
            if (heardSinceRestart < kResetAnswered && !lineJustUsed && now >= resetDeadline) {
                resetDeadline = RecoveryClock::time_point::max();
                return Action::ResetLine;
            }
            if (now >= restartDeadline) {
                lineJustUsed = false;
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
            return std::min({retryAt, restartDeadline,
                             heardSinceRestart >= kResetAnswered || lineJustUsed
                                 ? RecoveryClock::time_point::max()
                                 : resetDeadline});
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
        case Action::ResetLine:
            resetThroughTheLine();
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
        const auto now = RecoveryClock::now();
        restartDeadline = now + std::chrono::milliseconds(settings.restartTimeoutMs);
        resetDeadline = now + std::chrono::milliseconds(settings.resetTimeoutMs);
        heardSinceRestart = 0;
    }
    ORQ_LOG(*pLogger, INFO, "restartNetwork - start mode %d", settings.startMode);
    ZbNetDb* db = adapter->getDb();
    const int savedMode = db->getStartModeSetting();
    db->setStartModeSetting(settings.startMode);
    restart();
    db->setStartModeSetting(savedMode);
    cv.notify_all();
}

// The restart's soft reset went unanswered: the module is reset through the board's reset line,
// then the device is reopened after the board has had time to come up, and the network
// restarted. Without a line that can be written, the restart goes on as before: its deadline,
// then the back-off and another soft reset.
void ModuleSupervisor::resetThroughTheLine() {
    std::string why;
    const bool written = writeResetLine(settings.resetLine, why);
    std::lock_guard<std::mutex> lock(mux);
    if (!written) {
        if (!toldNoResetLine) {
            toldNoResetLine = true;
            RECOVERY_LINE(
                "recovery - the ZigBee module did not answer its reset in %d ms and the reset "
                "line \"%s\" cannot be written (%s): trying soft resets again; set "
                "Recovery:resetLine to the board's reset control file",
                settings.resetTimeoutMs, settings.resetLine.c_str(), why.c_str());
        }
        return;
    }
    RECOVERY_LINE(
        "recovery - the ZigBee module did not answer its reset in %d ms: reset through the "
        "reset line %s, reopening the device in %d ms",
        settings.resetTimeoutMs, settings.resetLine.c_str(), kResetLineSettleMs);
    phase = Phase::Reopening;
    lineJustUsed = true;
    restartDeadline = RecoveryClock::time_point::max();
    retryAt = RecoveryClock::now() + std::chrono::milliseconds(kResetLineSettleMs);
}
