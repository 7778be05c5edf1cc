#ifndef ORQ_TESTS_BROKER_FAKEAGENTS_H
#define ORQ_TESTS_BROKER_FAKEAGENTS_H

// Fake operations for the broker's agents: each call is recorded with its arguments and a
// copy of its reply path, and answered with `answer` (what the agent returns when it starts
// the work). The test then answers or notifies through the kept path, as the agent would.

#include <string>
#include <vector>

#include "CDiscoveryAgent.h"
#include "CManagementAgent.h"
#include "CServiceAgent.h"

// One recorded call: the operation, its time-out and address (when it takes them) and the
// reply path it was given (empty when it was given none).
template <typename Path>
struct FakeCall {
    std::string op;
    unsigned long timeout = 0;
    int address = -1;
    Path path;
};

// Every call of one fake, in order, as "<op> <time-out> <address>".
struct FakeLog {
    std::vector<std::string> calls;

    template <typename Path>
    FakeCall<Path> fakeCall(const char* op, const Path* ctx, unsigned long timeout = 0,
                            int address = -1) {
        calls.push_back(std::string(op) + " " + std::to_string(timeout) + " " +
                        std::to_string(address));
        return FakeCall<Path>{op, timeout, address, ctx != nullptr ? *ctx : Path()};
    }
};

// A refused start is answered on the response path before the call returns, as the agents'
// starts do.
template <typename Path>
void answerRefusal(int answer, const Path* ctx) {
    if (answer != AGENT_SUCCESS && ctx != nullptr) {
        RPCReqStatus refused(NotAvailable, -1, static_cast<AgentError>(answer));
        ctx->respond(ctx->getSessionId(), &refused);
    }
}

class FakeDiscovery : public DiscoveryOperations, public FakeLog {
  public:
    AgentError answer = AGENT_SUCCESS;
    std::vector<FakeCall<ProcPath>> procs;  // walks and modes
    std::vector<FakeCall<CancelPath>> cancels;
    std::vector<FakeCall<DbPath>> dbs;
    std::vector<FakeCall<NodeDescPath>> nodeDescs;
    std::vector<FakeCall<PowerDescPath>> powerDescs;

    AgentError startInquiry(unsigned long timeout, const ProcPath* ctx) override {
        procs.push_back(fakeCall("startInquiry", ctx, timeout));
        answerRefusal(answer, ctx);
        return answer;
    }
    AgentError cancelInquiry(const CancelPath* ctx) override {
        cancels.push_back(fakeCall("cancelInquiry", ctx));
        return answer;
    }
    AgentError MgmtLQI_Req(unsigned long timeout, const ProcPath* ctx) override {
        procs.push_back(fakeCall("MgmtLQI_Req", ctx, timeout));
        answerRefusal(answer, ctx);
        return answer;
    }
    AgentError cancelMgmtLQI_Req(const CancelPath* ctx) override {
        cancels.push_back(fakeCall("cancelMgmtLQI_Req", ctx));
        return answer;
    }
    AgentError superDiscovery(const DbPath* ctx) override {
        dbs.push_back(fakeCall("superDiscovery", ctx));
        return answer;
    }
    int getNodeDescriptor(unsigned long timeout, unsigned short address,
                          const NodeDescPath* ctx) override {
        nodeDescs.push_back(fakeCall("getNodeDescriptor", ctx, timeout, address));
        return answer;
    }
    int getPowerDescriptor(unsigned short address, const PowerDescPath* ctx) override {
        powerDescs.push_back(fakeCall("getPowerDescriptor", ctx, 0, address));
        return answer;
    }
    AgentError retrieveNodes(const DbPath* ctx) override {
        dbs.push_back(fakeCall("retrieveNodes", ctx));
        return answer;
    }
    AgentError startAnnouncementsMode(const ProcPath* ctx) override {
        procs.push_back(fakeCall("startAnnouncementsMode", ctx));
        return answer;
    }
    AgentError cancelAnnouncementsMode(const CancelPath* ctx) override {
        cancels.push_back(fakeCall("cancelAnnouncementsMode", ctx));
        return answer;
    }
    AgentError startFreshnessMode(const ProcPath* ctx) override {
        procs.push_back(fakeCall("startFreshnessMode", ctx));
        return answer;
    }
    AgentError cancelFreshnessMode(const CancelPath* ctx) override {
        cancels.push_back(fakeCall("cancelFreshnessMode", ctx));
        return answer;
    }
};

class FakeManagement : public ManagementOperations, public FakeLog {
  public:
    struct PermitJoin {
        unsigned short duration;
        bool tcSignificance;
    };
    AgentError answer = AGENT_SUCCESS;
    std::vector<FakeCall<PermitJoinPath>> permitJoins;
    std::vector<PermitJoin> permitJoinArgs;
    std::vector<FakeCall<LeavePath>> leaves;

    AgentError permitJoin(unsigned short address, unsigned short duration, bool tcSignificance,
                          unsigned long timeout, const PermitJoinPath* ctx) override {
        permitJoins.push_back(fakeCall("permitJoin", ctx, timeout, address));
        permitJoinArgs.push_back(PermitJoin{duration, tcSignificance});
        return answer;
    }
    AgentError leaveRequest(unsigned short address, bool, bool, const LeavePath* ctx) override {
        leaves.push_back(fakeCall("leaveRequest", ctx, 0, address));
        return answer;
    }
};

class FakeService : public ServiceOperations, public FakeLog {
  public:
    struct Sent {
        int dstEp;
        int cluster;
        std::vector<uint8_t> payload;
    };
    int answer = AGENT_SUCCESS;
    // What send() reports: the module's status and the transmission time.
    unsigned char sendStatus = 0;
    unsigned int sendTxTime = 0;
    std::vector<Sent> sent;
    std::vector<FakeCall<ActiveEpPath>> activeEps;
    std::vector<FakeCall<ServiceDescPath>> serviceDescs;
    std::vector<FakeCall<CallbackPath>> callbacks;
    std::vector<FakeCall<CallbackDeletePath>> callbackDeletes;
    std::vector<FakeCall<LastRxMsgPath>> lastRxMsgs;
    std::vector<FakeCall<NodeBindingPath>> bindingTables;
    std::vector<FakeCall<BindPath>> binds;

    int addDefaultService(const AddServicePath* ctx) override {
        fakeCall("addDefaultService", ctx);
        return answer;
    }
    // An accepted service is answered at once with its descriptor, as the agent does.
    int addService(SimpleDescriptor* sd, const AddServicePath* ctx) override {
        fakeCall("addService", ctx, 0, sd->end_point);
        RPCReqStatus st(End, 0, static_cast<AgentError>(answer), false);
        ctx->respond(sd, ctx->getSessionId(), &st);
        return answer;
    }
    int getActiveEndPoints(unsigned long timeout, unsigned short nwk,
                           const ActiveEpPath* ctx) override {
        activeEps.push_back(fakeCall("getActiveEndPoints", ctx, timeout, nwk));
        return answer;
    }
    int getServiceDescriptor(unsigned long timeout, unsigned short nwk, unsigned char ep,
                             const ServiceDescPath* ctx) override {
        serviceDescs.push_back(fakeCall("getServiceDescriptor", ctx, timeout, nwk * 256 + ep));
        return answer;
    }
    int send(Message* msg, unsigned char& status, unsigned int& txTime) override {
        uint16_t len = 0;
        uint8_t* p = msg->getPayload(&len);
        sent.push_back(Sent{msg->getDstEp(), msg->getClusterId(),
                            std::vector<uint8_t>(p, p + (p != nullptr ? len : 0))});
        status = sendStatus;
        txTime = sendTxTime;
        return answer;
    }
    int getLastRxMsg(int serviceId, const LastRxMsgPath* ctx) override {
        lastRxMsgs.push_back(fakeCall("getLastRxMsg", ctx, 0, serviceId));
        return answer;
    }
    int createCallback(int endpoint, const CallbackPath* ctx) override {
        callbacks.push_back(fakeCall("createCallback", ctx, 0, endpoint));
        return answer;
    }
    int createCallback(Callback*, const CallbackPath* ctx) override {
        callbacks.push_back(fakeCall("createCallback(filter)", ctx));
        return answer;
    }
    int deleteCallback(int endpoint, const CallbackDeletePath* ctx) override {
        callbackDeletes.push_back(fakeCall("deleteCallback", ctx, 0, endpoint));
        return answer;
    }
    int deleteCustomizedCallback(int id, const CallbackDeletePath* ctx) override {
        callbackDeletes.push_back(fakeCall("deleteCustomizedCallback", ctx, 0, id));
        return answer;
    }
    // The binding table's address is the node's and its start index: nwk * 256 + index.
    int getnodebindingRequest(unsigned long timeout, unsigned short nwk, int index,
                              const NodeBindingPath* ctx) override {
        bindingTables.push_back(fakeCall("getnodebindingRequest", ctx, timeout, nwk * 256 + index));
        return answer;
    }
    int bindRequest(unsigned long timeout, ZB_BIND_STRUCT b, const BindPath* ctx) override {
        binds.push_back(fakeCall("bindRequest", ctx, timeout, b.cluster_id));
        return answer;
    }
    int unbindRequest(unsigned long timeout, ZB_BIND_STRUCT b, const BindPath* ctx) override {
        binds.push_back(fakeCall("unbindRequest", ctx, timeout, b.cluster_id));
        return answer;
    }
};

#endif
