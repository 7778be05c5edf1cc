#include "ManagementCore.h"

#include <cstdio>

#include "CDebug.h"
#include "ZbNetDb.h"

ManagementCore::ManagementCore(OrqZbIf* adapter, ConfigurationRepository* config, TimerClock* clock)
    : AgentEnvironment(adapter, config, "ManagementAgent", "Debug:ManagementAgentDL", clock),
      functionsContext(pOrqZb->getFeatureControl()),
      permitJoinListener([this](const ZbZdpResponse& r) { permitJoinNotify_Cb(r.status); }),
      leaveListener([this](const ZbZdpResponse& r) { leaveCommandNotify_Cb(r.status); }),
      permitJoinOp(functionsContext.permitJoin, pOrqZb,
                   {{ZB_EV_MGMT_PERMIT_JOINING_RESPONSE, &permitJoinListener}}),
      awayWatch(pOrqZb, [this] { moduleAway(); }) {}

ManagementCore::~ManagementCore() {
    {
        std::lock_guard<std::recursive_mutex> lock(mux);
        permitJoinOp.finish(Canceled);
        if (leaveListenerRegistered) {
            pOrqZb->unregisterListener(ZB_EV_MGMT_LEAVE_RESPONSE, &leaveListener);
        }
    }
    stopTimers();
}

AgentError ManagementCore::permitJoin(unsigned short address, unsigned short duration,
                                      bool tcSignificance, unsigned long timeout,
                                      const PermitJoinPath* ctx) {
    std::lock_guard<std::recursive_mutex> lock(mux);
    const int session = ctx != nullptr ? ctx->getSessionId() : -1;
    if (permitJoinOp.isRunning()) {
        ORQ_LOG(*pLogger, WARN,
                "\nWARNING@permitJoin: A previous PermitJoin has not concluded yet, overwrite "
                "it!!\n");
    }
    if (timeout == 0 || timeout == 4294967295UL) {
        ORQ_LOG(*pLogger, DEBUG, "permitJoin - timeout value infinite or zero - timer disabled");
    }
    OperationStart how;
    how.overwrite = true;
    how.timeoutMs = timeout;
    AgentError e = permitJoinOp.begin(
        how, ctx, this, &timerThread, &ManagementCore::onPermitJoin,
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
        [this](const PermitJoinPath&) {
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

AgentError ManagementCore::leaveRequest(unsigned short address, bool removeChildren, bool rejoin,
                                        const LeavePath* ctx) {
    ORQ_LOG(*pLogger, INFO, "leaveRequest - nwk_addr %04X", address);
    const int session = ctx != nullptr ? ctx->getSessionId() : -1;
    if (pOrqZb->getGWStatus() != GW_RUNNING) {
        ORQ_LOG(*pLogger, ERROR, "leaveRequest - Error ORQ_NOT_RUNNING");
        RPCReqStatus st(NotAvailable, -1, ORQ_NOT_RUNNING);
        if (ctx != nullptr) {
            ctx->respond(session, &st);
        }
        return ORQ_NOT_RUNNING;
    }
    {
        std::lock_guard<std::recursive_mutex> lock(mux);
        functionsContext.leaveCommand.rpcContext = ctx != nullptr ? *ctx : LeavePath();
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
            std::printf("send - APSDE_DATA_request to 0x%02x%02x\n", address >> 8, address & 0xFF);
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

void ManagementCore::permitJoinNotify_Cb(unsigned char status) {
    std::lock_guard<std::recursive_mutex> lock(mux);
    if (!permitJoinOp.isRunning()) {
        return;
    }
    RPCReqStatus st(functionsContext.permitJoin, AGENT_SUCCESS);
    permitJoinOp.finish(End);
    deliverPermitJoin(status, st);
}

void ManagementCore::leaveCommandNotify_Cb(unsigned char status) {
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

void ManagementCore::onPermitJoin() {
    std::lock_guard<std::recursive_mutex> lock(mux);
    if (!permitJoinOp.expire()) {
        return;
    }
    ORQ_LOG(*pLogger, WARN, "onPermitJoin - timer expired");
    RPCReqStatus st(functionsContext.permitJoin, TIMER_EXPIRED);
    permitJoinOp.finish(Canceled);
    deliverPermitJoin(255, st);
}

void ManagementCore::moduleAway() {
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

void ManagementCore::forgetLeave() {
    if (leaveListenerRegistered) {
        pOrqZb->unregisterListener(ZB_EV_MGMT_LEAVE_RESPONSE, &leaveListener);
        leaveListenerRegistered = false;
    }
    functionsContext.leaveCommand.rpcContext = LeavePath();
}

void ManagementCore::deliverPermitJoin(unsigned char status, RPCReqStatus& st) {
    auto& rpc = functionsContext.permitJoin.rpcContext;
    if (rpc.hasNotify()) {
        ORQ_LOG(*pLogger, DEBUG, "permitJoin - send a notification");
        rpc.notify(status, &st);
    } else {
        ORQ_LOG(*pLogger, DEBUG, "permitJoin - send a response");
        rpc.respond(status, rpc.getSessionId(), &st);
    }
}
