#ifndef ORQ_MODULESUPERVISOR_H
#define ORQ_MODULESUPERVISOR_H

// ModuleSupervisor: notices a co-processor that went away, hangs or reset itself, and brings
// the network back by itself (docs/recovery.md).
//
// - Device gone: the adapter reports the lost link (state 4); the supervisor reopens the device
//   URL after a capped back-off and, once open, restarts the network (state 1, 2, 3).
// - Module hung: requests the module answers itself have a deadline, and anything heard from
//   the module settles them; after the configured number of deadlines missed in silence, or
//   when the idle gateway's liveness probe is not answered, it reports state 4 ("not
//   answering") and restarts.
// - Module reset by itself: the module's unsolicited "initialized" event while running is
//   reported as state 4 ("reset by itself") and followed by a restart.
// A restart resets the module and starts the network in the configured start mode (the
// module's stored settings by default); one that does not reach the running state in time is
// tried again after the back-off. A module that hears nothing of the restart's soft reset
// within its time-out is reset through the board's reset line (Recovery:resetLine) when there
// is one; the device is then reopened and the network restarted, as after an unplug.
//
// Threads: one thread of its own runs the recovery state machine and owns every decision. The
// adapter's threads (the reader thread, request senders, state changes) only post what they saw
// through the ModuleWatcher operations, which take the supervisor's mutex briefly and never call
// out. The thread calls the adapter and the restart function without that mutex held.

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "OrqZbIf.h"
#include "RecoveryRules.h"

class Debug;

class ModuleSupervisor : public ModuleWatcher {
  public:
    // `restart` starts the network (the local node's start()); it is called on the
    // supervisor's thread with the database's start mode set to the configured one.
    ModuleSupervisor(OrqZbIf* adapter, std::string deviceUrl, const RecoverySettings& settings,
                     std::function<void()> restart);
    ~ModuleSupervisor() override;
    ModuleSupervisor(const ModuleSupervisor&) = delete;
    ModuleSupervisor& operator=(const ModuleSupervisor&) = delete;

    // Starts watching (a no-op when recovery is disabled); stop() ends it and waits.
    void start();
    void stop();

    // What the adapter saw (any thread).
    void requestSent() override;
    void moduleHeard() override;
    void linkLost(int error) override;
    void moduleRebooted() override;

    // Recoveries completed so far (diagnostics and tests).
    int recoveries();

  private:
    enum class Phase { Watching, Reopening, Restarting };
    enum class Action { None, ReportAndRestart, Restart, Reopen, Probe, ResetLine };

    void run();
    Action decide(RecoveryClock::time_point now);
    void perform(Action a);
    void restartNetwork();
    void resetThroughTheLine();
    void onGwState(int state);
    void fault(RecoveryClock::time_point now, int errorCode, const char* what);
    RecoveryClock::time_point nextWake() const;

    OrqZbIf* adapter;
    const std::string deviceUrl;
    const RecoverySettings settings;
    std::function<void()> restart;
    Debug* pLogger;
    ZbStateChangeListener stateListener;

    std::mutex mux;  // everything below
    std::condition_variable cv;
    bool stopping = false;
    bool started = false;
    Phase phase = Phase::Watching;
    bool running = false;      // the gateway is in state 3
    bool wantRunning = false;  // the network was started: bring it back after a fault
    bool linkLostPending = false;
    bool rebootedPending = false;
    int reportCode = 0;
    const char* faultName = "";
    Backoff backoff;
    ConfirmWatch watch;
    RecoveryClock::time_point lastActivity{};
    RecoveryClock::time_point probeDeadline = RecoveryClock::time_point::max();
    RecoveryClock::time_point retryAt = RecoveryClock::time_point::max();
    RecoveryClock::time_point restartDeadline = RecoveryClock::time_point::max();
    // While restarting: when the soft reset must have been answered, and the packets heard
    // since the restart began (counted up to two).
    RecoveryClock::time_point resetDeadline = RecoveryClock::time_point::max();
    int heardSinceRestart = 0;
    bool toldNoResetLine = false;  // said once per fault
    bool lineJustUsed = false;     // the line was written; the next restart has its whole time
    RecoveryClock::time_point faultAt{};
    int recovered = 0;
    std::thread thread;
};

#endif
