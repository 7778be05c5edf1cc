#ifndef ORQ_CMANAGEMENTAGENT_H
#define ORQ_CMANAGEMENTAGENT_H

// ManagementAgent: the gateway's two network-management commands, permit joining and
// leave. Both are ZigBee device-profile requests built here and sent as APS data requests
// to end point 0; their responses come back through the adapter's listener registry.
//
// Threads: requests come from the handler's thread (the main thread in the process);
// responses arrive on the serial reader thread; the permit-join time-out on the agent's
// pool. `mux` guards both contexts (recursive, since replies are given with it held and a
// reply may come back with a new request).

#include <cstdio>
#include <cstring>
#include <mutex>

#include "AgentOperation.h"
#include "Agents.h"
#include "CDebug.h"
#include "ConfigurationRepository.h"
#include "OrqZbIf.h"
#include "ThreadPool.h"
#include "TimerThread.h"
#include "ZbNetDb.h"

// The payload of a leave request: sequence number 0, the node's IEEE address last stored
// byte first (zeros for null), the options byte (0x40 remove children, 0x80 rejoin).
void buildLeavePayload(const unsigned char* ieee, bool removeChildren, bool rejoin,
                       unsigned char out[10]);

template <class T>
class ManagementAgent : protected AgentEnvironment {
  public:
    using LeaveResF = void* (T::*)(int, RPCReqStatus*);
    using LeaveNotF = void* (T::*)(unsigned char, int, RPCReqStatus*);
    using PermitJoinResF = void* (T::*)(unsigned char, int, RPCReqStatus*);
    using PermitJoinNotF = void* (T::*)(unsigned char, RPCReqStatus*);
    using leaveCommandCtxt = RPCContext<T, LeaveResF, LeaveNotF>;
    using permitJoinCtxt = RPCContext<T, PermitJoinResF, PermitJoinNotF>;
    using LeaveCtx = fContext<T, ManagementAgent, LeaveResF, LeaveNotF>;
    using PermitJoinCtx = fContext<T, ManagementAgent, PermitJoinResF, PermitJoinNotF>;

    struct fContexts {
        LeaveCtx leaveCommand;
        PermitJoinCtx permitJoin;
        explicit fContexts(FeatureControl* fc)
            : leaveCommand(fc, FEATURE_LEAVE), permitJoin(fc, FEATURE_PERMIT_JOIN) {}
    };

    static ManagementAgent* Instance() {
        static ManagementAgent instance;
        return &instance;
    }

    explicit ManagementAgent(OrqZbIf* adapter = nullptr, ConfigurationRepository* config = nullptr)
        : AgentEnvironment(adapter, config, "ManagementAgent", "Debug:ManagementAgentDL"),
          functionsContext(pOrqZb->getFeatureControl()),
          permitJoinOp(functionsContext.permitJoin, pOrqZb,
                       {{ZB_EV_MGMT_PERMIT_JOINING_RESPONSE, &permitJoinListener}}) {}
    ~ManagementAgent() {
        {
            std::lock_guard<std::recursive_mutex> lock(mux);
            permitJoinOp.finish(Canceled);
            if (leaveListenerRegistered) {
                pOrqZb->unregisterListener(ZB_EV_MGMT_LEAVE_RESPONSE, &leaveListener);
            }
        }
        stopTimers();
    }

    void init() { readDebugSettings(); }

    // Opens `address` (0xFFFC: every router) to joining for `duration` seconds. A request
    // while another is pending replaces it (its reply path and its time-out): the one
    // replaced is answered then with AGENT_BUSY, so that each request is answered once.
    AgentError permitJoin(unsigned short address, unsigned short duration, bool tcSignificance,
                          unsigned long timeout, permitJoinCtxt* ctx) {
        std::lock_guard<std::recursive_mutex> lock(mux);
        const int session = ctx != nullptr ? ctx->getSessionId() : -1;
        if (permitJoinOp.isRunning()) {
            ORQ_LOG(*pLogger, WARN,
                    "\nWARNING@permitJoin: A previous PermitJoin has not concluded yet, overwrite "
                    "it!!\n");
        }
        if (timeout == 0 || timeout == 4294967295UL) {
            ORQ_LOG(*pLogger, DEBUG,
                    "permitJoin - timeout value infinite or zero - timer disabled");
        }
        OperationStart how;
        how.overwrite = true;
        how.timeoutMs = timeout;
        AgentError e = permitJoinOp.begin(
            how, ctx, this, &timerThread, &ManagementAgent::onPermitJoin,
            [&](RPCReqStatus& st) {
                if (st.getReturnValue() == ORQ_NOT_RUNNING) {
                    ORQ_LOG(*pLogger, ERROR, "permitJoin - Error ORQ_NOT_RUNNING");
                } else {
                    ORQ_LOG(*pLogger, ERROR, "permitJoin - ERROR creating permitJoin timer!");
                }
                if (ctx != nullptr) {
                    ctx->respond(static_cast<unsigned char>(255), session, &st);
                }
            },
            [this](const permitJoinCtxt&) {
                RPCReqStatus st(functionsContext.permitJoin, AGENT_BUSY);
                st.setFState(Canceled);
                st.setFResult(1);
                deliverPermitJoin(255, st);
            });
        if (e != AGENT_SUCCESS) {
            return e;
        }
        unsigned char dst[8] = {static_cast<unsigned char>(address & 0xFF),
                                static_cast<unsigned char>(address >> 8)};
        unsigned char payload[3] = {3, static_cast<unsigned char>(duration & 0xFF),
                                    static_cast<unsigned char>(tcSignificance ? 1 : 0)};
        pOrqZb->APSDE_DATA_request(2, dst, 0, 0, 0x0036, 0, sizeof(payload), payload, 0, 0xFF);
        if (ctx != nullptr && ctx->hasNotify()) {
            RPCReqStatus st(Running, 0, AGENT_SUCCESS, true);
            ctx->respond(static_cast<unsigned char>(255), session, &st);
        }
        return AGENT_SUCCESS;
    }

    // Asks `address` to leave. Never refused as busy: a second leave replaces the reply
    // path of the first.
    AgentError leaveRequest(unsigned short address, bool removeChildren, bool rejoin,
                            leaveCommandCtxt* ctx) {
        ORQ_LOG(*pLogger, INFO, "leaveRequest - nwk_addr %04X", address);
        const int session = ctx != nullptr ? ctx->getSessionId() : -1;
        if (pOrqZb->getGWStatus() != 3) {
            ORQ_LOG(*pLogger, ERROR, "leaveRequest - Error ORQ_NOT_RUNNING");
            RPCReqStatus st(NotAvailable, -1, ORQ_NOT_RUNNING);
            if (ctx != nullptr) {
                ctx->respond(session, &st);
            }
            return ORQ_NOT_RUNNING;
        }
        {
            std::lock_guard<std::recursive_mutex> lock(mux);
            functionsContext.leaveCommand.rpcContext = ctx != nullptr ? *ctx : leaveCommandCtxt();
            if (!leaveListenerRegistered) {
                pOrqZb->registerListener(ZB_EV_MGMT_LEAVE_RESPONSE, &leaveListener);
                leaveListenerRegistered = true;
            }
            ORQ_LOG(*pLogger, INFO, "************* Send a LEAVE REQUEST *****************");
            unsigned char payload[10];
            {
                std::lock_guard<std::recursive_mutex> dbLock(pOrqDb->mutex());
                Node* node = pOrqDb->findNodeByNwkAddr(address);
                buildLeavePayload(node != nullptr ? node->get_ieee_addr() : nullptr, removeChildren,
                                  rejoin, payload);
            }
            ORQ_LOG(*pLogger, DEBUG, "leaveRequest - %x", payload[9]);
            if (debugEnabled) {
                std::printf("send - APSDE_DATA_request to 0x%02x%02x\n", address >> 8,
                            address & 0xFF);
            }
            unsigned char dst[8] = {static_cast<unsigned char>(address & 0xFF),
                                    static_cast<unsigned char>(address >> 8)};
            pOrqZb->APSDE_DATA_request(2, dst, 0, 0, 0x0034, 0, sizeof(payload), payload, 0, 0xFF);
        }
        RPCReqStatus st(Running, 0, AGENT_SUCCESS);
        if (ctx != nullptr) {
            ctx->respond(session, &st);
        }
        return AGENT_SUCCESS;
    }

    // The permit-joining response (reader thread).
    void permitJoinNotify_Cb(unsigned char status) {
        std::lock_guard<std::recursive_mutex> lock(mux);
        if (!permitJoinOp.isRunning()) {
            return;
        }
        auto& c = functionsContext.permitJoin;
        RPCReqStatus st(c, AGENT_SUCCESS);
        permitJoinOp.finish(End);
        deliverPermitJoin(status, st);
    }

    // The leave response (reader thread).
    void leaveCommandNotify_Cb(unsigned char status) {
        std::lock_guard<std::recursive_mutex> lock(mux);
        auto& c = functionsContext.leaveCommand;
        if (c.rpcContext.hasNotify()) {
            RPCReqStatus st(Running, 0, AGENT_SUCCESS);
            c.rpcContext.notify(static_cast<unsigned char>(0), static_cast<int>(status), &st);
        } else {
            std::printf("WARNING: No notify function associated to MGMT_LEAVE_RESPONSE!!\r");
        }
        forgetLeave();
    }

    // The permit-join time-out (pool thread).
    void onPermitJoin() {
        std::lock_guard<std::recursive_mutex> lock(mux);
        if (!permitJoinOp.expire()) {
            return;
        }
        ORQ_LOG(*pLogger, WARN, "onPermitJoin - timer expired");
        RPCReqStatus st(functionsContext.permitJoin, TIMER_EXPIRED);
        permitJoinOp.finish(Canceled);
        deliverPermitJoin(255, st);
    }

    // The module went away (state 4, any thread): a pending permit joining is answered as
    // its time-out answers, and a leave's listener is told, both with AGENT_ERROR.
    void moduleAway() {
        std::lock_guard<std::recursive_mutex> lock(mux);
        if (permitJoinOp.abandon()) {
            ORQ_LOG(*pLogger, WARN, "moduleAway - permitJoin ended");
            RPCReqStatus st(functionsContext.permitJoin, AGENT_ERROR);
            permitJoinOp.finish(Canceled);
            deliverPermitJoin(255, st);
        }
        auto& c = functionsContext.leaveCommand;
        if (c.rpcContext.hasNotify()) {
            ORQ_LOG(*pLogger, WARN, "moduleAway - leave ended");
            RPCReqStatus st(Canceled, 1, AGENT_ERROR);
            c.rpcContext.notify(static_cast<unsigned char>(0), 255, &st);
        }
        forgetLeave();
    }

  private:
    // Under mux: the leave was answered; a later leave response (another leaving node) tells
    // nobody again.
    void forgetLeave() {
        if (leaveListenerRegistered) {
            pOrqZb->unregisterListener(ZB_EV_MGMT_LEAVE_RESPONSE, &leaveListener);
            leaveListenerRegistered = false;
        }
        functionsContext.leaveCommand.rpcContext = leaveCommandCtxt();
    }

    void deliverPermitJoin(unsigned char status, RPCReqStatus& st) {
        auto& rpc = functionsContext.permitJoin.rpcContext;
        if (rpc.hasNotify()) {
            ORQ_LOG(*pLogger, DEBUG, "permitJoin - send a notification");
            rpc.notify(status, &st);
        } else {
            ORQ_LOG(*pLogger, DEBUG, "permitJoin - send a response");
            rpc.respond(status, rpc.getSessionId(), &st);
        }
    }

    std::recursive_mutex mux;
    fContexts functionsContext;
    ZbStatusListener permitJoinListener{[this](uchar s) { permitJoinNotify_Cb(s); }};
    ZbStatusListener leaveListener{[this](uchar s) { leaveCommandNotify_Cb(s); }};
    bool leaveListenerRegistered = false;  // under mux
    AgentOperation<PermitJoinCtx> permitJoinOp;
    ModuleAwayWatch awayWatch{pOrqZb, [this] { moduleAway(); }};
};

#endif
