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

template <typename Path>
FakeCall<Path> fakeCall(const char* op, const Path* ctx, unsigned long timeout = 0,
                        int address = -1) {
    return FakeCall<Path>{op, timeout, address, ctx != nullptr ? *ctx : Path()};
}

class FakeDiscovery : public DiscoveryOperations {
  public:
    AgentError answer = AGENT_SUCCESS;
    std::vector<FakeCall<ProcPath>> procs;  // walks and modes
    std::vector<FakeCall<CancelPath>> cancels;
    std::vector<FakeCall<DbPath>> dbs;
    std::vector<FakeCall<NodeDescPath>> nodeDescs;
    std::vector<FakeCall<PowerDescPath>> powerDescs;

    // A refused start is answered on the response path before the call returns, as the
    // agent's start does.
    AgentError startInquiry(unsigned long timeout, const ProcPath* ctx) override {
        procs.push_back(fakeCall("startInquiry", ctx, timeout));
        if (answer != AGENT_SUCCESS && ctx != nullptr) {
            RPCReqStatus refused(NotAvailable, -1, answer);
            ctx->respond(ctx->getSessionId(), &refused);
        }
        return answer;
    }
    AgentError cancelInquiry(const CancelPath* ctx) override {
        cancels.push_back(fakeCall("cancelInquiry", ctx));
        return answer;
    }
    AgentError MgmtLQI_Req(unsigned long timeout, const ProcPath* ctx) override {
        procs.push_back(fakeCall("MgmtLQI_Req", ctx, timeout));
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

class FakeManagement : public ManagementOperations {
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

class FakeService : public ServiceOperations {
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
    std::vector<std::string> others;

    int addDefaultService(const AddServicePath*) override {
        others.push_back("addDefaultService");
        return answer;
    }
    int addService(SimpleDescriptor*, const AddServicePath*) override {
        others.push_back("addService");
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
    int getnodebindingRequest(unsigned long, unsigned short, int, const NodeBindingPath*) override {
        others.push_back("getnodebindingRequest");
        return answer;
    }
    int bindRequest(unsigned long, ZB_BIND_STRUCT, const BindPath*) override {
        others.push_back("bindRequest");
        return answer;
    }
    int unbindRequest(unsigned long, ZB_BIND_STRUCT, const BindPath*) override {
        others.push_back("unbindRequest");
        return answer;
    }
};

#endif
