#ifndef ORQ_AGENTS_H
#define ORQ_AGENTS_H

// Request contexts shared by every agent: the caller's reply path (RPCContext), one
// running procedure inside an agent (fContext), the status record handed to every reply
// (RPCReqStatus), the agent error codes and the feature word that keeps conflicting
// ZigBee procedures from running at once.

#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

#include "TimerThread.h"

enum fState_t { NotAvailable = 0, Idle = 1, Running = 2, Canceled = 3, End = 4 };

enum AgentError {
    AGENT_SUCCESS = 0,
    AGENT_ERROR = 1,
    UNKNOWN_AGENT_ERROR = 2,
    ORQ_NOT_RUNNING = 3,
    AGENT_BUSY = 4,
    TIMER_ERROR = 5,
    TIMER_EXPIRED = 6,
    INQUIRY_ERROR = 7,
    INQUIRY_CACHE_EMPTY = 8,
    INQUIRY_NOT_RUNNING = 9,
    INQUIRY_NONEXISTENTENT_NODE = 10,
    NODE_DESCRIPTOR_ERROR = 11,
    NONEXISTENTENT_NODE = 12,
    POWER_DESCRIPTOR_ERROR = 13,
    ANNCE_MODE_ALREADY_RUNNING = 14,
    ANNCE_MODE_NOT_RUNNING = 15,
    ACTIVE_EP_ERROR = 16,
    SERVICE_DESCRIPTOR_ERROR = 17,
    GETNODEBINDING_ERROR = 18,
    BIND_ERROR = 19,
    UNBIND_ERROR = 20,
    NO_AVAILABLE_ENDPOINT = 21,
    ENDPOINT_NOT_REGISTERED = 22,
    NO_ACTIVE_WSN_CONNECTIONS = 23,
    NO_CUSTOMIZED_FILTER_FOUND = 24,
    MSG_CACHE_EMPTY = 25,
    SENDING_MSG_ERROR = 26,
    WSNC_AUTH_FOR_NONEXISTENTENT_NODE = 27,
    PENDING_NODES_NUMBER_OVERFLOW = 28,
    GW_STARTUP_ALREADY_CALLED = 29,
    INVALID_GW_STATUS = 30,
    GW_STARTUP_FORMING_NETWORK_FAILED = 31,
    GW_STARTUP_JOINING_NETWORK_FAILED = 32,
};
constexpr int AGENT_ERROR_COUNT = 33;

// Feature bits of the agents' procedures. A procedure conflicts with every other that
// shares a bit.
enum : unsigned long {
    FEATURE_LOCALNODE = 1,
    FEATURE_INQUIRY = 2,  // inquiry, LQI discovery
    FEATURE_ANNOUNCE = 4,
    FEATURE_NODE_DESC = 8,
    FEATURE_POWER_DESC = 16,
    FEATURE_SUPER_DISCOVERY = 26,  // 2 | 8 | 16
    FEATURE_SERVICE_DESC = 32,
    FEATURE_ACTIVE_EP = 64,
    FEATURE_EP_DISCOVERY = 480,  // 32 | 64 | 128 | 256
    FEATURE_PERMIT_JOIN = 512,
    FEATURE_FRESHNESS = 1024,
    FEATURE_NODE_BINDING = 2048,
    FEATURE_BIND = 4096,
    FEATURE_UNBIND = 8192,
    FEATURE_LEAVE = 11,  // 1 | 2 | 8
};

// The one feature word shared by all agents (owned by the stack adapter). The agents
// take and release bits under different mutexes, so the word is atomic: lock() is a
// compare-and-swap that takes all requested bits or none. Safe from any thread.
class FeatureControl {
  public:
    // False, changing nothing, if any requested bit is already taken.
    bool lock(unsigned long features) {
        unsigned long cur = lockedFeatures.load();
        do {
            if ((cur & features) != 0) {
                return false;
            }
        } while (!lockedFeatures.compare_exchange_weak(cur, cur | features));
        return true;
    }
    void unlock(unsigned long features) { lockedFeatures.fetch_and(~features); }
    unsigned long getLockedFeatures() const { return lockedFeatures.load(); }

  private:
    std::atomic<unsigned long> lockedFeatures{0};
};

// The status record handed to every response and notification, built by the caller of
// the callback for that one call; callbacks must not keep it.
class RPCReqStatus {
  public:
    RPCReqStatus(fState_t state, int result, AgentError error)
        : fState(state), fResult(result), returnValue(error), asynchReq(false) {}
    RPCReqStatus(fState_t state, int result, AgentError error, bool asynch)
        : fState(state), fResult(result), returnValue(error), asynchReq(asynch) {}
    // From a running procedure: its state and result at this moment; asynchronous exactly
    // when the stored reply path has a notification operation.
    template <typename Ctx>
    RPCReqStatus(const Ctx& ctx, AgentError error)
        : fState(ctx.fstate),
          fResult(ctx.result),
          returnValue(error),
          asynchReq(ctx.rpcContext.hasNotify()) {}

    void setFState(fState_t s) { fState = s; }
    fState_t getFState() const { return fState; }
    void setFResult(int r) { fResult = r; }
    int getFResult() const { return fResult; }
    void setReturnValue(AgentError e) { returnValue = e; }
    AgentError getReturnValue() const { return returnValue; }
    void setAsynchReq(bool a) { asynchReq = a; }
    bool isReqAsynch() const { return asynchReq; }

  private:
    fState_t fState;
    int fResult;
    AgentError returnValue;
    bool asynchReq;
};

// The type to give for a callback kind that a context does not have.
using NoCb = std::nullptr_t;

// The caller's reply path: the handler object, its response and notification operations
// (member-function pointers of T; a null pointer, or the NoCb type, means there is none)
// and the HTTP session waiting for the response (-1: raised inside the gateway).
// A plain value: agents copy it into their procedure context when it starts.
template <typename T, typename resf, typename notf>
class RPCContext {
  public:
    using handler_type = T;
    using response_type = resf;
    using notify_type = notf;

    RPCContext() = default;
    RPCContext(int sessionId, T* handler, resf response, notf notify)
        : handler(handler), rpcResponseCb(response), rpcNotifyCb(notify), sessionId(sessionId) {}

    void setSessionId(int id) { sessionId = id; }
    int getSessionId() const { return sessionId; }
    void setHandler(T* h) { handler = h; }
    T* getHandler() const { return handler; }
    void setRPCResponseCb(resf cb) { rpcResponseCb = cb; }
    resf getRPCResponseCb() const { return rpcResponseCb; }
    void setRPCNotifyCb(notf cb) { rpcNotifyCb = cb; }
    notf getRPCNotifyCb() const { return rpcNotifyCb; }

    bool hasResponse() const {
        if constexpr (std::is_member_function_pointer_v<resf>) {
            return handler != nullptr && rpcResponseCb != nullptr;
        } else {
            return false;
        }
    }
    bool hasNotify() const {
        if constexpr (std::is_member_function_pointer_v<notf>) {
            return handler != nullptr && rpcNotifyCb != nullptr;
        } else {
            return false;
        }
    }
    // Both paths notify through the same operation of the same handler (the listeners of a
    // list share one), so an outcome for one reaches the other's listener too.
    bool notifiesTheSame(const RPCContext& other) const {
        return hasNotify() && other.hasNotify() && handler == other.handler &&
               rpcNotifyCb == other.rpcNotifyCb;
    }
    // Call the operation if there is one; false (nothing called) otherwise.
    template <typename... A>
    bool respond(A&&... args) const {
        if constexpr (std::is_member_function_pointer_v<resf>) {
            if (hasResponse()) {
                (handler->*rpcResponseCb)(std::forward<A>(args)...);
                return true;
            }
        }
        return false;
    }
    template <typename... A>
    bool notify(A&&... args) const {
        if constexpr (std::is_member_function_pointer_v<notf>) {
            if (hasNotify()) {
                (handler->*rpcNotifyCb)(std::forward<A>(args)...);
                return true;
            }
        }
        return false;
    }

  private:
    T* handler = nullptr;
    resf rpcResponseCb{};
    notf rpcNotifyCb{};
    int sessionId = 0;
};

// The signature of a handler operation without its class (void* (T::*)(int, RPCReqStatus*)
// gives void*(int, RPCReqStatus*)); NoCb stays NoCb.
template <typename M>
struct OperationSignature {
    using type = NoCb;
};
template <typename T, typename R, typename... A>
struct OperationSignature<R (T::*)(A...)> {
    using type = R(A...);
};

// Where a reply path's notifications go: the handler object and its operation, kept only to
// be compared (see ReplyPath::notifiesTheSame). Empty: nowhere that can be compared.
class NotifyTarget {
  public:
    NotifyTarget() = default;
    template <typename T, typename M>
    NotifyTarget(const T* handler, M operation) : handler(handler) {
        static_assert(sizeof(M) <= sizeof(op), "an operation pointer fits");
        std::memcpy(op, &operation, sizeof(M));
    }
    bool empty() const { return handler == nullptr; }
    bool operator==(const NotifyTarget& o) const {
        return handler == o.handler && std::memcmp(op, o.op, sizeof(op)) == 0;
    }

  private:
    const void* handler = nullptr;
    unsigned char op[2 * sizeof(void*)] = {};
};

// The caller's reply path as the compiled agents take it: the HTTP session waiting for the
// response (-1: raised inside the gateway), the response and notification callables (empty,
// or the NoCb signature: there is none) and where the notifications go. A plain value, copied
// into the procedure's context when it starts, like RPCContext; the agent facades build one
// from their caller's RPCContext (replyPathOf).
template <typename ResSig, typename NotSig = NoCb>
class ReplyPath {
    template <typename S>
    using Callable = std::conditional_t<std::is_same_v<S, NoCb>, NoCb, std::function<S>>;

  public:
    using response_type = Callable<ResSig>;
    using notify_type = Callable<NotSig>;

    ReplyPath() = default;
    ReplyPath(int sessionId, response_type response, notify_type notify = {},
              NotifyTarget target = {})
        : response(std::move(response)),
          notification(std::move(notify)),
          target(target),
          sessionId(sessionId) {}

    void setSessionId(int id) { sessionId = id; }
    int getSessionId() const { return sessionId; }

    bool hasResponse() const {
        if constexpr (std::is_same_v<ResSig, NoCb>) {
            return false;
        } else {
            return static_cast<bool>(response);
        }
    }
    bool hasNotify() const {
        if constexpr (std::is_same_v<NotSig, NoCb>) {
            return false;
        } else {
            return static_cast<bool>(notification);
        }
    }
    bool notifiesTheSame(const ReplyPath& other) const {
        return hasNotify() && other.hasNotify() && !target.empty() && target == other.target;
    }
    // Call the operation if there is one; false (nothing called) otherwise.
    template <typename... A>
    bool respond(A&&... args) const {
        if constexpr (!std::is_same_v<ResSig, NoCb>) {
            if (response) {
                response(std::forward<A>(args)...);
                return true;
            }
        }
        return false;
    }
    template <typename... A>
    bool notify(A&&... args) const {
        if constexpr (!std::is_same_v<NotSig, NoCb>) {
            if (notification) {
                notification(std::forward<A>(args)...);
                return true;
            }
        }
        return false;
    }

  private:
    response_type response{};
    notify_type notification{};
    NotifyTarget target;
    int sessionId = 0;
};

namespace agents_detail {
// A callable that runs `op` on `handler`; empty when either is null.
template <typename Sig, typename T, typename M>
auto bindOperation(T* handler, M op) {
    if constexpr (std::is_same_v<Sig, NoCb>) {
        return NoCb{};
    } else {
        std::function<Sig> fn;
        if (handler != nullptr && op != nullptr) {
            fn = [handler, op](auto&&... args) {
                return (handler->*op)(std::forward<decltype(args)>(args)...);
            };
        }
        return fn;
    }
}
}  // namespace agents_detail

// The reply path of a caller's RPCContext, for the compiled agents.
template <typename T, typename resf, typename notf>
using ReplyPathOf =
    ReplyPath<typename OperationSignature<resf>::type, typename OperationSignature<notf>::type>;

template <typename T, typename resf, typename notf>
ReplyPathOf<T, resf, notf> replyPathOf(const RPCContext<T, resf, notf>& ctx) {
    using Path = ReplyPathOf<T, resf, notf>;
    using ResSig = typename OperationSignature<resf>::type;
    using NotSig = typename OperationSignature<notf>::type;
    NotifyTarget target;
    if constexpr (!std::is_same_v<NotSig, NoCb>) {
        if (ctx.hasNotify()) {
            target = NotifyTarget(ctx.getHandler(), ctx.getRPCNotifyCb());
        }
    }
    return Path(ctx.getSessionId(),
                agents_detail::bindOperation<ResSig>(ctx.getHandler(), ctx.getRPCResponseCb()),
                agents_detail::bindOperation<NotSig>(ctx.getHandler(), ctx.getRPCNotifyCb()),
                target);
}

// A facade's call into its compiled agent: `call` gets the reply path built from `ctx`, or a
// null pointer when there is no caller context.
template <typename T, typename resf, typename notf, typename Call>
decltype(auto) withReplyPath(const RPCContext<T, resf, notf>* ctx, Call&& call) {
    using Path = ReplyPathOf<T, resf, notf>;
    if (ctx == nullptr) {
        return call(static_cast<Path*>(nullptr));
    }
    Path path = replyPathOf(*ctx);
    return call(&path);
}

// One armed time-out: which agent's expiry handler to run. Owned jointly by the context
// that armed it and by the scheduled job, so neither can free it under the other.
template <typename AT>
struct timer_data_t {
    int eventId = 0;
    AT* agentPtr = nullptr;
    TimerThread* tthread = nullptr;
    void (AT::*callback)() = nullptr;
};

namespace agents_detail {
// The timer record whose expiry handler runs on this thread right now, if any.
inline thread_local const void* firingTimer = nullptr;
}  // namespace agents_detail

// The generic timer dispatch: runs the record's expiry handler on its agent. Runs on a
// pool thread; the record is released when the last owner lets go of it.
template <typename AT>
void timer_CbW(const std::shared_ptr<timer_data_t<AT>>& rec) {
    agents_detail::firingTimer = rec.get();
    (rec->agentPtr->*(rec->callback))();
    agents_detail::firingTimer = nullptr;
}

// One procedure kind inside an agent, replying through `Reply` (an RPCContext or a
// ReplyPath). Every field is guarded by the agent's mutex; only the feature bits live in the
// shared, atomic FeatureControl.
template <typename Reply, typename AT>
struct ProcedureContext {
    using rpc_type = Reply;

    FeatureControl* fc;
    unsigned long features;
    fState_t fstate = Idle;
    int result = 0;
    int numExpectedMsgs = 0;
    int fTimeout = 0;
    std::shared_ptr<timer_data_t<AT>> timerData;
    rpc_type rpcContext;

    ProcedureContext(FeatureControl* fc, unsigned long features) : fc(fc), features(features) {}

    // Fails if running or if any of this procedure's feature bits is taken.
    bool lock() {
        if (fstate == Running) {
            return false;
        }
        if (fc != nullptr && !fc->lock(features)) {
            return false;
        }
        fstate = Running;
        return true;
    }
    // Fails, changing nothing, unless running.
    bool unlock(fState_t next) {
        if (fstate != Running) {
            return false;
        }
        if (fc != nullptr) {
            fc->unlock(features);
        }
        fstate = next;
        return true;
    }
    bool isLocked() const { return fstate == Running; }

    // Arms a one-shot timer of fTimeout seconds that runs agent->*handler on the timer
    // thread's pool. False (nothing armed) when the timer thread refuses it.
    bool setTimer(TimerThread* tt, AT* agent, void (AT::*handler)()) {
        if (tt == nullptr || agent == nullptr || handler == nullptr) {
            return false;
        }
        auto rec = std::make_shared<timer_data_t<AT>>();
        rec->agentPtr = agent;
        rec->tthread = tt;
        rec->callback = handler;
        int rc = tt->schedule(
            fTimeout, [rec]() { timer_CbW<AT>(rec); }, &rec->eventId);
        if (rc != 0) {
            return false;
        }
        timerData = std::move(rec);
        return true;
    }
    // -1 when no timer is armed; else removes it and forgets it: 0 if it was still
    // scheduled, -1 if it had already been handed to the pool.
    int killTimer() {
        if (!timerData) {
            return -1;
        }
        int rc = timerData->tthread->remove(timerData->eventId);
        timerData.reset();
        return rc == 0 ? 0 : -1;
    }
    // Forgets the timer without touching the timer thread (an expiry handler's first step).
    int resetTimerEnv() {
        timerData.reset();
        return 0;
    }
    // For an expiry handler, under the agent's mutex: true when the timer that is firing
    // is still this procedure's armed timer. False when the procedure has meanwhile
    // completed (killTimer) or been restarted with a new timer: the expiry is stale and
    // must end nothing.
    bool isExpiryCurrent() const {
        return timerData && agents_detail::firingTimer == timerData.get();
    }
};

// The context of a procedure that replies to a handler of type T directly.
template <typename T, typename AT, typename resf, typename notf>
using fContext = ProcedureContext<RPCContext<T, resf, notf>, AT>;

// Time-out conversion: milliseconds to whole seconds, rounded up. 0 and the all-ones
// value (4294967295, or -1 given to an unsigned long of 64 bits) mean no timer: false is
// returned and *seconds is left alone. Longer time-outs than INT_MAX seconds are cut.
bool timeoutToSeconds(unsigned long ms, int* seconds);

#endif
