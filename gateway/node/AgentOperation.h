#ifndef ORQ_AGENTOPERATION_H
#define ORQ_AGENTOPERATION_H

// The life of one agent operation, written once for every agent: the network check, the
// feature lock of its context, the time-out, the copied reply path, the confirm listeners,
// the count of confirms still expected, and the one place where the operation ends (by
// its last confirm, its time-out, the module going away or a cancel), so that it is
// answered exactly once.
//
// An AgentOperation wraps one fContext of an agent together with the listeners the
// operation registers while it runs. Every operation is called under the agent's mutex,
// which guards the context; the adapter's registry has its own lock and never calls a
// listener with it held. A listener may still run once after it was unregistered (its
// dispatch took a snapshot): handlers begin with isRunning() (or isRun(id) for work
// queued earlier) and leave the context alone when it is false.
//
// PacedSender sends requests one at a time with a pause after each, on a thread of
// its own: the pauses of a walk hold no lock and never stall the reader thread.
//
// ModuleAwayWatch tells an agent when the module went away, so that it answers what waits.
//
// AgentEnvironment is what every agent stands on: the adapter, its database, the
// configuration, a logger of its own, and the pool and timer thread of its time-outs.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "Agents.h"
#include "CDebug.h"
#include "ConfigurationRepository.h"
#include "GWManagement.h"
#include "OrqZbIf.h"
#include "ThreadPool.h"
#include "TimerThread.h"

// The pool that runs an agent's time-outs: its threads at most, the jobs a thread may have
// queued, and how long an idle thread is kept.
struct AgentPoolSize {
    int maxThreads = 10;
    int jobsPerThread = 10;
    int maxIdleMs = 5000;
};

// The base of every agent. `adapter` and `config` null mean the process-wide ones; `clock`
// null the steady clock (tests give a manual one). An agent's destructor calls stopTimers()
// before its contexts go, so that no expiry runs on a half-destroyed agent.
class AgentEnvironment {
  protected:
    AgentEnvironment(OrqZbIf* adapter, ConfigurationRepository* configuration, const char* name,
                     const char* levelKey, TimerClock* clock = nullptr, AgentPoolSize pool = {})
        : pOrqZb(adapter != nullptr ? adapter : OrqZbIf::Instance()),
          pOrqDb(pOrqZb->getDb()),
          config(configuration != nullptr ? configuration : ConfigurationRepository::instance()),
          logger(std::make_unique<Debug>(name)),
          pLogger(logger.get()),
          levelKey(levelKey),
          threadPool(pool.maxThreads, pool.jobsPerThread, pool.maxIdleMs),
          timerThread(&threadPool, clock) {
        configureLogger(*pLogger, levelKey);
    }
    ~AgentEnvironment() { stopTimers(); }
    AgentEnvironment(const AgentEnvironment&) = delete;
    AgentEnvironment& operator=(const AgentEnvironment&) = delete;

    void stopTimers() {
        timerThread.shutdown();
        threadPool.shutdown();
    }
    // main:debugEnabled and the agent's level key (init(), on the caller's thread).
    void readDebugSettings() {
        debugEnabled = config->getint("main:debugEnabled", 0) != 0;
        debugLevel = config->getint(levelKey, 1);
    }

    OrqZbIf* pOrqZb;
    ZbNetDb* pOrqDb;
    ConfigurationRepository* config;

  private:
    std::unique_ptr<Debug> logger;

  protected:
    Debug* pLogger;
    const char* levelKey;
    bool debugEnabled = false;
    int debugLevel = 1;
    ThreadPool threadPool;
    TimerThread timerThread;
};

// Calls `away` each time the gateway enters state 4 (the device was lost, the module hangs
// or reset itself, the network went down): no confirm an operation waits for will come. The
// call runs on the thread that reported the state, with no lock of the adapter held. The
// listener is registered from construction to destruction.
class ModuleAwayWatch {
  public:
    ModuleAwayWatch(OrqZbIf* adapter, std::function<void()> away)
        : adapter(adapter), listener([away = std::move(away)](const ZbStateChange& change) {
              if (change.status == GW_ERROR) {
                  away();
              }
          }) {
        adapter->registerListener(ZB_EV_GW_STATUS_CHANGED, &listener);
    }
    ~ModuleAwayWatch() { adapter->unregisterListener(ZB_EV_GW_STATUS_CHANGED, &listener); }
    ModuleAwayWatch(const ModuleAwayWatch&) = delete;
    ModuleAwayWatch& operator=(const ModuleAwayWatch&) = delete;

  private:
    OrqZbIf* adapter;
    ZbStateChangeListener listener;
};

// One listener an operation registers while it runs.
struct OperationListener {
    int event;
    ZbListenerBase* listener;
};

// How an operation starts: whether it needs the network, whether a newer request takes a
// running one over, and its time-out.
struct OperationStart {
    // Refuse with ORQ_NOT_RUNNING unless the gateway is running.
    bool needsNetwork = true;
    // A running operation of the same kind is taken over (new reply path, new timer)
    // instead of being refused with AGENT_BUSY.
    bool overwrite = false;
    // The time-out in milliseconds; 0 and 4294967295 arm no timer.
    unsigned long timeoutMs = 0;
    // Whether a timer that cannot be armed is answered (some operations only return it).
    bool answerTimerError = true;
};

template <typename Ctx>
class AgentOperation {
  public:
    using rpc_type = typename Ctx::rpc_type;

    AgentOperation(Ctx& ctx, OrqZbIf* adapter, std::vector<OperationListener> listeners)
        : ctx(ctx), adapter(adapter), listeners(std::move(listeners)) {}
    AgentOperation(const AgentOperation&) = delete;
    AgentOperation& operator=(const AgentOperation&) = delete;

    Ctx& context() { return ctx; }
    const rpc_type& replyPath() const { return ctx.rpcContext; }

    // The start: the network check, the feature lock, the time-out and the copy of the reply
    // path with the listeners. On success the operation runs: context locked, timer armed when a
    // time-out is given, result and expected count 0, `caller` (null: no reply path)
    // copied, listeners registered; AGENT_SUCCESS is returned. Otherwise nothing has
    // changed, `refuse` has been called with the status to answer (ORQ_NOT_RUNNING,
    // AGENT_BUSY, or TIMER_ERROR unless answerTimerError is false), and that code is
    // returned. `onExpiry` runs on the timer thread's pool. When a running operation is taken
    // over, `takenOver` (if given) is called first with its reply path, which is then lost:
    // the place to answer it. It is not called when the new reply path notifies the same
    // handler operation (the outcome reaches the old listener through it).
    template <typename AT, typename Refuse, typename TakenOver = std::nullptr_t>
    AgentError begin(const OperationStart& how, const rpc_type* caller, AT* agent,
                     TimerThread* timers, void (AT::*onExpiry)(), Refuse&& refuse,
                     TakenOver&& takenOver = nullptr) {
        if (how.needsNetwork && adapter->getGWStatus() != GW_RUNNING) {
            RPCReqStatus st(NotAvailable, -1, ORQ_NOT_RUNNING);
            refuse(st);
            return ORQ_NOT_RUNNING;
        }
        const bool takeOver = how.overwrite && ctx.isLocked();
        if constexpr (!std::is_same_v<std::decay_t<TakenOver>, std::nullptr_t>) {
            if (takeOver && !notifiesTheSame(ctx.rpcContext, caller)) {
                takenOver(static_cast<const rpc_type&>(ctx.rpcContext));
            }
        }
        if (!takeOver && !ctx.lock()) {
            RPCReqStatus st(NotAvailable, -1, AGENT_BUSY);
            refuse(st);
            return AGENT_BUSY;
        }
        ctx.killTimer();
        int seconds = 0;
        if (timeoutToSeconds(how.timeoutMs, &seconds)) {
            ctx.fTimeout = seconds;
            if (!ctx.setTimer(timers, agent, onExpiry)) {
                if (!takeOver) {
                    ctx.unlock(Canceled);
                } else {
                    finish(Canceled);
                }
                if (how.answerTimerError) {
                    RPCReqStatus st(NotAvailable, -1, TIMER_ERROR);
                    refuse(st);
                }
                return TIMER_ERROR;
            }
        }
        ctx.result = 0;
        ctx.numExpectedMsgs = 0;
        ctx.rpcContext = caller != nullptr ? *caller : rpc_type();
        ++runId;
        if (!takeOver) {
            for (const OperationListener& l : listeners) {
                adapter->registerListener(l.event, l.listener);
            }
        }
        return AGENT_SUCCESS;
    }

    // A running operation's timer armed afresh for `seconds` from now (a walk whose time
    // limit grows); a late expiry of the old one ends nothing. False when not running or
    // when the timer thread refuses it (the operation then has no timer).
    template <typename AT>
    bool rearm(int seconds, TimerThread* timers, AT* agent, void (AT::*onExpiry)()) {
        if (!ctx.isLocked()) {
            return false;
        }
        ctx.killTimer();
        ctx.fTimeout = seconds;
        return ctx.setTimer(timers, agent, onExpiry);
    }

    bool isRunning() const { return ctx.isLocked(); }
    // The run begun last (work queued during a run checks it is still that run).
    unsigned currentRun() const { return runId; }
    bool isRun(unsigned id) const { return ctx.isLocked() && id == runId; }

    // The count of confirms still expected: raised for each request sent, lowered for each
    // confirm that arrives.
    void expect(int n = 1) { ctx.numExpectedMsgs += n; }
    // One confirm arrived; true when nothing more is expected.
    bool received(int n = 1) {
        ctx.numExpectedMsgs -= n;
        return ctx.numExpectedMsgs <= 0;
    }
    bool nothingExpected() const { return ctx.numExpectedMsgs <= 0; }
    void fail() { ctx.result = 1; }

    // The one end of a running operation (completion with End; time-out or cancel with
    // Canceled): timer removed, listeners unregistered, context unlocked. False when the
    // operation was not running: someone else ended it and the caller must not answer.
    bool finish(fState_t state) {
        if (!ctx.isLocked()) {
            return false;
        }
        ctx.killTimer();
        unregisterAll();
        return ctx.unlock(state);
    }

    // First step of an expiry handler: false for a stale expiry (the operation ended, or
    // was restarted with a new timer), which must end nothing. Otherwise the timer is
    // forgotten and the result marked failed; the handler tidies, builds its status and
    // calls finish(Canceled).
    bool expire() {
        if (!ctx.isLocked() || !ctx.isExpiryCurrent()) {
            return false;
        }
        ctx.resetTimerEnv();
        ctx.result = 1;
        return true;
    }

    // The end by a client's cancel: true when the operation was running and is now
    // canceled (its timer is removed too, so no late expiry answers it again).
    bool cancel() { return finish(Canceled); }

    // First step when the module went away (docs/recovery.md): false when the operation is
    // not running. Otherwise the result is marked failed and the caller answers with the
    // error as its expiry handler answers with TIMER_EXPIRED, calling finish(Canceled), so
    // that neither a late confirm nor the time-out answers it again.
    bool abandon() {
        if (!ctx.isLocked()) {
            return false;
        }
        ctx.result = 1;
        return true;
    }

  private:
    static bool notifiesTheSame(const rpc_type& old, const rpc_type* now) {
        return now != nullptr && old.notifiesTheSame(*now);
    }

    void unregisterAll() {
        for (const OperationListener& l : listeners) {
            adapter->unregisterListener(l.event, l.listener);
        }
    }

    Ctx& ctx;
    OrqZbIf* adapter;
    std::vector<OperationListener> listeners;
    unsigned runId = 0;
};

// Sends queued requests one at a time, pausing after each one sent. A request is a
// function returning whether it sent anything (work of an operation that has meanwhile
// ended sends nothing, and no pause follows). post() may be called from any thread,
// holding any lock; the requests run on the sender's own thread, which holds no lock
// while it pauses. stop() (also run by the destructor) drops what is queued and joins.
class PacedSender {
  public:
    explicit PacedSender(std::chrono::milliseconds pause) : pause(pause) {}
    ~PacedSender() { stop(); }
    PacedSender(const PacedSender&) = delete;
    PacedSender& operator=(const PacedSender&) = delete;

    // False once stopped.
    bool post(std::function<bool()> request) {
        std::lock_guard<std::mutex> lock(mux);
        if (stopping) {
            return false;
        }
        queue.push_back(std::move(request));
        if (!worker.joinable()) {
            worker = std::thread([this] { run(); });
        }
        cv.notify_all();
        return true;
    }

    void stop() {
        std::thread t;
        {
            std::lock_guard<std::mutex> lock(mux);
            stopping = true;
            queue.clear();
            t = std::move(worker);
        }
        cv.notify_all();
        if (t.joinable()) {
            t.join();
        }
    }

    // The pause after each request sent from now on.
    void setPause(std::chrono::milliseconds d) {
        std::lock_guard<std::mutex> lock(mux);
        pause = d;
    }

    // Nothing queued and nothing being sent.
    bool idle() {
        std::lock_guard<std::mutex> lock(mux);
        return queue.empty() && !busy;
    }

  private:
    void run() {
        std::unique_lock<std::mutex> lock(mux);
        auto nextAllowed = std::chrono::steady_clock::now();
        while (true) {
            cv.wait(lock, [this] { return stopping || !queue.empty(); });
            if (stopping) {
                return;
            }
            if (cv.wait_until(lock, nextAllowed, [this] { return stopping; })) {
                return;
            }
            std::function<bool()> request = std::move(queue.front());
            queue.pop_front();
            busy = true;
            lock.unlock();
            const bool sent = request();
            lock.lock();
            busy = false;
            if (sent) {
                nextAllowed = std::chrono::steady_clock::now() + pause;
            }
        }
    }

    std::chrono::milliseconds pause;  // under mux
    std::mutex mux;
    std::condition_variable cv;
    std::deque<std::function<bool()>> queue;
    bool stopping = false;
    bool busy = false;
    std::thread worker;
};

#endif
