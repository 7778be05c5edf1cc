#ifndef ORQ_CDISCOVERYAGENT_H
#define ORQ_CDISCOVERYAGENT_H

// DiscoveryAgent<T>: the discovery agent as a handler of type T calls it, with the reply
// paths of T's operations (RPCContext). Each call turns its caller's context into the reply
// path the compiled agent (DiscoveryCore, which see for what it does and on which threads)
// takes, and forwards; no logic lives here. The confirm handlers and the keep-alive
// operations are the agent's own.

#include "Agents.h"
#include "DiscoveryCore.h"
#include "KeepAlive.h"

template <class T>
class DiscoveryAgent : private DiscoveryCore {
  public:
    using ProcResF = void* (T::*)(int, RPCReqStatus*);
    using NodeNotF = void* (T::*)(Node*, RPCReqStatus*);
    using NodeDescResF = void* (T::*)(unsigned short, unsigned char*, NodeDescriptor*, int,
                                      RPCReqStatus*);
    using PowerDescResF = void* (T::*)(unsigned short, unsigned char*, PowerDescriptor*, int,
                                       RPCReqStatus*);
    using DbResF = void* (T::*)(ZbNetDb*, int, RPCReqStatus*);

    using InquiryCtxt = RPCContext<T, ProcResF, NodeNotF>;
    using MgmtLQICtxt = InquiryCtxt;
    using StartAnnouncementsModeCtxt = InquiryCtxt;
    using StartFreshnessModeCtxt = InquiryCtxt;
    using CancelInquiryCtxt = RPCContext<T, ProcResF, NoCb>;
    using CancelMgmtLQICtxt = CancelInquiryCtxt;
    using CancelAnnouncementsModeCtxt = CancelInquiryCtxt;
    using CancelFreshnessModeCtxt = CancelInquiryCtxt;
    using NodeDescriptorCtxt = RPCContext<T, NodeDescResF, NodeNotF>;
    using PowerDescriptorCtxt = RPCContext<T, PowerDescResF, NoCb>;
    using SuperDiscoveryCtxt = RPCContext<T, DbResF, NoCb>;
    using RetrieveNodesCtxt = SuperDiscoveryCtxt;

    static_assert(std::is_same_v<ReplyPathOf<T, ProcResF, NodeNotF>, ProcPath>);
    static_assert(std::is_same_v<ReplyPathOf<T, ProcResF, NoCb>, CancelPath>);
    static_assert(std::is_same_v<ReplyPathOf<T, NodeDescResF, NodeNotF>, NodeDescPath>);
    static_assert(std::is_same_v<ReplyPathOf<T, PowerDescResF, NoCb>, PowerDescPath>);
    static_assert(std::is_same_v<ReplyPathOf<T, DbResF, NoCb>, DbPath>);

    using KeepAliveTimings = KeepAlive::Timings;
    using DiscoveryCore::kPacing;

    static DiscoveryAgent* Instance() {
        static DiscoveryAgent instance;
        return &instance;
    }

    // Tests build their own on an adapter, configuration and clock of their choosing.
    explicit DiscoveryAgent(OrqZbIf* adapter = nullptr, ConfigurationRepository* config = nullptr,
                            TimerClock* clock = nullptr)
        : DiscoveryCore(adapter, config, clock) {}

    // The operations the calls below forward to: other ones (a test's fake agent), or null
    // for the agent's own.
    void setOperations(DiscoveryOperations* ops) { operations = ops != nullptr ? ops : this; }

    using DiscoveryCore::init;
    using DiscoveryCore::initDAListeners;
    using DiscoveryCore::networkRestarted;

    AgentError startInquiry(unsigned long timeout, InquiryCtxt* ctx) {
        return withReplyPath(ctx, [&](auto* p) { return operations->startInquiry(timeout, p); });
    }
    AgentError cancelInquiry(CancelInquiryCtxt* ctx) {
        return withReplyPath(ctx, [&](auto* p) { return operations->cancelInquiry(p); });
    }
    AgentError MgmtLQI_Req(unsigned long timeout, MgmtLQICtxt* ctx) {
        return withReplyPath(ctx, [&](auto* p) { return operations->MgmtLQI_Req(timeout, p); });
    }
    AgentError cancelMgmtLQI_Req(CancelMgmtLQICtxt* ctx) {
        return withReplyPath(ctx, [&](auto* p) { return operations->cancelMgmtLQI_Req(p); });
    }
    AgentError superDiscovery(SuperDiscoveryCtxt* ctx) {
        return withReplyPath(ctx, [&](auto* p) { return operations->superDiscovery(p); });
    }
    int getNodeDescriptor(unsigned long timeout, unsigned short address, NodeDescriptorCtxt* ctx) {
        return withReplyPath(
            ctx, [&](auto* p) { return operations->getNodeDescriptor(timeout, address, p); });
    }
    int getPowerDescriptor(unsigned short address, PowerDescriptorCtxt* ctx) {
        return withReplyPath(ctx,
                             [&](auto* p) { return operations->getPowerDescriptor(address, p); });
    }
    AgentError retrieveNodes(RetrieveNodesCtxt* ctx) {
        return withReplyPath(ctx, [&](auto* p) { return operations->retrieveNodes(p); });
    }
    AgentError startAnnouncementsMode(StartAnnouncementsModeCtxt* ctx) {
        return withReplyPath(ctx, [&](auto* p) { return operations->startAnnouncementsMode(p); });
    }
    AgentError cancelAnnouncementsMode(CancelAnnouncementsModeCtxt* ctx) {
        return withReplyPath(ctx, [&](auto* p) { return operations->cancelAnnouncementsMode(p); });
    }
    AgentError startFreshnessMode(StartFreshnessModeCtxt* ctx) {
        return withReplyPath(ctx, [&](auto* p) { return operations->startFreshnessMode(p); });
    }
    AgentError cancelFreshnessMode(CancelFreshnessModeCtxt* ctx) {
        return withReplyPath(ctx, [&](auto* p) { return operations->cancelFreshnessMode(p); });
    }

    using DiscoveryCore::Announce_Cb;
    using DiscoveryCore::getNodeDescriptor_Cb;
    using DiscoveryCore::getPowerDescriptor_Cb;
    using DiscoveryCore::IeeeAddrConfirm_Cb;
    using DiscoveryCore::Inquiry_Cb;
    using DiscoveryCore::Mgmt_LQI_Cb;
    using DiscoveryCore::superDiscovery_Cb;
    using DiscoveryCore::superDiscovery_ND_Cb;
    using DiscoveryCore::superDiscovery_PD_Cb;

    void runKeepAliveAlgorithm() { keepAlive().runKeepAliveAlgorithm(); }
    void setKeepAliveTimings(const KeepAliveTimings& t) { keepAlive().setKeepAliveTimings(t); }
    void setKAthreshold(int seconds) { keepAlive().setKAthreshold(seconds); }
    int getKAthreshold() const { return keepAlive().getKAthreshold(); }
    void keepAliveAlgorithm(Node* node) { keepAlive().keepAliveAlgorithm(node); }
    void forcePingAlgorithm(Node* node) { keepAlive().forcePingAlgorithm(node); }
    std::vector<unsigned short> takeDuePings() { return keepAlive().takeDuePings(); }
    void insertNodeIntoDeadingNodeList(const unsigned char* ieee, long time) {
        keepAlive().insertNodeIntoDeadingNodeList(ieee, time);
    }
    void removeNodeFromDeadingNodeList(int index) {
        keepAlive().removeNodeFromDeadingNodeList(index);
    }
    int searchNodeFromDeadingNodeList(const Node* node) {
        return keepAlive().searchNodeFromDeadingNodeList(node);
    }
    void clearDeadingNodeList() { keepAlive().clearDeadingNodeList(); }
    bool isInDeadingNodeList(unsigned short nwk) { return keepAlive().isInDeadingNodeList(nwk); }
    int getDeadingNodeListCounter() { return keepAlive().getDeadingNodeListCounter(); }

  private:
    DiscoveryOperations* operations = this;
};

#endif
