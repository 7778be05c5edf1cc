#ifndef ORQ_MANAGEMENTCORE_H
#define ORQ_MANAGEMENTCORE_H

// ManagementCore: the management agent, compiled once. It carries the gateway's two
// network-management commands, permit joining and leave. Both are ZigBee device-profile
// requests built here and sent as APS data requests to end point 0; their responses come
// back through the adapter's listener registry. Every operation replies through the
// ReplyPath it is given (null: nobody waits); ManagementAgent<T> builds those from its
// caller's RPCContext.
//
// Threads: requests come from the handler's thread (the main thread in the process);
// responses arrive on the serial reader thread; the permit-join time-out on the agent's
// pool; the module going away on the thread that reported it. `mux` guards both contexts
// (recursive, since replies are given with it held and a reply may come back with a new
// request).

#include <mutex>

#include "AgentOperation.h"
#include "Agents.h"
#include "OrqZbIf.h"

// The payload of a leave request: sequence number 0, the node's IEEE address last stored
// byte first (zeros for null), the options byte (0x40 remove children, 0x80 rejoin).
void buildLeavePayload(const unsigned char* ieee, bool removeChildren, bool rejoin,
                       unsigned char out[10]);

// The operations a handler starts on the management agent, each answered on the reply path
// it is given. ManagementCore implements them; ManagementAgent<T> forwards to its own core
// unless it was given other operations (a test's fake agent).
class ManagementOperations {
  public:
    // Leave: answered at once (session, status), then the response notified (0, status).
    using LeaveResponse = void*(int, RPCReqStatus*);
    using LeaveNotice = void*(unsigned char, int, RPCReqStatus*);
    // Permit joining: answered (status, session) or notified (status).
    using PermitJoinResponse = void*(unsigned char, int, RPCReqStatus*);
    using PermitJoinNotice = void*(unsigned char, RPCReqStatus*);
    using LeavePath = ReplyPath<LeaveResponse, LeaveNotice>;
    using PermitJoinPath = ReplyPath<PermitJoinResponse, PermitJoinNotice>;

    virtual ~ManagementOperations() = default;

    virtual AgentError permitJoin(unsigned short address, unsigned short duration,
                                  bool tcSignificance, unsigned long timeout,
                                  const PermitJoinPath* ctx) = 0;
    virtual AgentError leaveRequest(unsigned short address, bool removeChildren, bool rejoin,
                                    const LeavePath* ctx) = 0;
};

class ManagementCore : public ManagementOperations, protected AgentEnvironment {
  public:
    // `adapter` and `config` null: the process-wide ones; `clock` null: the steady clock.
    explicit ManagementCore(OrqZbIf* adapter = nullptr, ConfigurationRepository* config = nullptr,
                            TimerClock* clock = nullptr);
    ~ManagementCore() override;

    void init() { readDebugSettings(); }

    // Opens `address` (0xFFFC: every router) to joining for `duration` seconds. A request
    // while another is pending replaces it (its reply path and its time-out): the one
    // replaced is answered then with AGENT_BUSY, so that each request is answered once.
    AgentError permitJoin(unsigned short address, unsigned short duration, bool tcSignificance,
                          unsigned long timeout, const PermitJoinPath* ctx) override;
    // Asks `address` to leave. Never refused as busy: a second leave replaces the reply
    // path of the first.
    AgentError leaveRequest(unsigned short address, bool removeChildren, bool rejoin,
                            const LeavePath* ctx) override;

    // The permit-joining response (reader thread).
    void permitJoinNotify_Cb(unsigned char status);
    // The leave response (reader thread).
    void leaveCommandNotify_Cb(unsigned char status);
    // The permit-join time-out (pool thread).
    void onPermitJoin();
    // The module went away (state 4, any thread): a pending permit joining is answered as
    // its time-out answers, and a leave's listener is told, both with AGENT_ERROR.
    void moduleAway();

  private:
    using LeaveCtx = ProcedureContext<LeavePath, ManagementCore>;
    using PermitJoinCtx = ProcedureContext<PermitJoinPath, ManagementCore>;

    struct fContexts {
        LeaveCtx leaveCommand;
        PermitJoinCtx permitJoin;
        explicit fContexts(FeatureControl* fc)
            : leaveCommand(fc, FEATURE_LEAVE), permitJoin(fc, FEATURE_PERMIT_JOIN) {}
    };

    // Under mux: the leave was answered; a later leave response (another leaving node) tells
    // nobody again.
    void forgetLeave();
    // Under mux: the stored permit joining's answer, by notification when it has one.
    void deliverPermitJoin(unsigned char status, RPCReqStatus& st);

    std::recursive_mutex mux;
    fContexts functionsContext;
    ZbZdpResponseListener permitJoinListener;
    ZbZdpResponseListener leaveListener;
    bool leaveListenerRegistered = false;  // under mux
    AgentOperation<PermitJoinCtx> permitJoinOp;
    ModuleAwayWatch awayWatch;
};

#endif
