#ifndef ORQ_CSERVICEAGENT_H
#define ORQ_CSERVICEAGENT_H

// ServiceAgent<T>: the service agent as a handler of type T calls it, with the reply paths
// of T's operations (RPCContext). Each call turns its caller's context into the reply path
// the compiled agent (ServiceCore, which see for what it does, on which threads and under
// which lock) takes, and forwards; no logic lives here. The operations without a reply
// path, the confirm and indication handlers and the time-outs are the agent's own.

#include <type_traits>

#include "Agents.h"
#include "ServiceCore.h"

template <class T>
class ServiceAgent : private ServiceCore {
  public:
    using ActiveEpResF = void* (T::*)(Node*, int, RPCReqStatus*);
    using ActiveEpNotF = void* (T::*)(Node*, RPCReqStatus*);
    using ServiceDescResF = void* (T::*)(Node*, int, int, RPCReqStatus*);
    using ServiceDescNotF = void* (T::*)(Node*, int, RPCReqStatus*);
    using NodeBindingResF = void* (T::*)(unsigned short, unsigned short, unsigned short,
                                         ZB_BIND_STRUCT*, int, RPCReqStatus*);
    using NodeBindingNotF = void* (T::*)(unsigned short, unsigned short, unsigned short,
                                         ZB_BIND_STRUCT*, RPCReqStatus*);
    using BindResF = void* (T::*)(int, RPCReqStatus*);
    using BindNotF = void* (T::*)(RPCReqStatus*);
    using AddServiceResF = void* (T::*)(SimpleDescriptor*, int, RPCReqStatus*);
    using CallbackResF = void* (T::*)(int, int, RPCReqStatus*);
    using CallbackNotF = void* (T::*)(int, Message*, RPCReqStatus*);
    using LastRxMsgResF = void* (T::*)(Message*, int, RPCReqStatus*);

    using ActiveEndpointsCtxt = RPCContext<T, ActiveEpResF, ActiveEpNotF>;
    using ServiceDescriptorCtxt = RPCContext<T, ServiceDescResF, ServiceDescNotF>;
    using NodeBindingCtxt = RPCContext<T, NodeBindingResF, NodeBindingNotF>;
    using BindCtxt = RPCContext<T, BindResF, BindNotF>;
    using AddServiceCtxt = RPCContext<T, AddServiceResF, NoCb>;
    using CallbackCtxt = RPCContext<T, CallbackResF, CallbackNotF>;
    using CallbackDeleteCtxt = RPCContext<T, CallbackResF, NoCb>;
    using LastRxMsgCtxt = RPCContext<T, LastRxMsgResF, NoCb>;

    static_assert(std::is_same_v<ReplyPathOf<T, ActiveEpResF, ActiveEpNotF>, ActiveEpPath>);
    static_assert(
        std::is_same_v<ReplyPathOf<T, ServiceDescResF, ServiceDescNotF>, ServiceDescPath>);
    static_assert(
        std::is_same_v<ReplyPathOf<T, NodeBindingResF, NodeBindingNotF>, NodeBindingPath>);
    static_assert(std::is_same_v<ReplyPathOf<T, BindResF, BindNotF>, BindPath>);
    static_assert(std::is_same_v<ReplyPathOf<T, AddServiceResF, NoCb>, AddServicePath>);
    static_assert(std::is_same_v<ReplyPathOf<T, CallbackResF, CallbackNotF>, CallbackPath>);
    static_assert(std::is_same_v<ReplyPathOf<T, CallbackResF, NoCb>, CallbackDeletePath>);
    static_assert(std::is_same_v<ReplyPathOf<T, LastRxMsgResF, NoCb>, LastRxMsgPath>);

    static ServiceAgent* Instance() {
        static ServiceAgent instance;
        return &instance;
    }

    // Tests build their own on an adapter, configuration and clock of their choosing.
    explicit ServiceAgent(OrqZbIf* adapter = nullptr, ConfigurationRepository* config = nullptr,
                          TimerClock* clock = nullptr)
        : ServiceCore(adapter, config, clock) {}

    // The operations the calls below forward to: other ones (a test's fake agent), or null
    // for the agent's own.
    void setOperations(ServiceOperations* ops) { operations = ops != nullptr ? ops : this; }

    using ServiceCore::init;

    int addDefaultService(AddServiceCtxt* ctx) {
        return withReplyPath(ctx, [&](auto* p) { return operations->addDefaultService(p); });
    }
    int addService(SimpleDescriptor* serviceDesc, AddServiceCtxt* ctx) {
        return withReplyPath(ctx, [&](auto* p) { return operations->addService(serviceDesc, p); });
    }
    using ServiceCore::getCurrentServices;
    using ServiceCore::isEndpointAvailable;
    using ServiceCore::removeService;

    int getActiveEndPoints(unsigned long timeout, unsigned short nwk_addr,
                           ActiveEndpointsCtxt* ctx) {
        return withReplyPath(
            ctx, [&](auto* p) { return operations->getActiveEndPoints(timeout, nwk_addr, p); });
    }
    int getServiceDescriptor(unsigned long timeout, unsigned short nwk_addr,
                             unsigned char end_point, ServiceDescriptorCtxt* ctx) {
        return withReplyPath(ctx, [&](auto* p) {
            return operations->getServiceDescriptor(timeout, nwk_addr, end_point, p);
        });
    }
    using ServiceCore::activeEndPointsDiscovery;
    using ServiceCore::serviceDescriptorsDiscovery;

    using ServiceCore::messageFilter;
    // Its signature makes this the override of ServiceOperations::send: the agent's own is
    // called by name.
    int send(Message* msg, unsigned char& status, unsigned int& txTime) override {
        if (operations != static_cast<ServiceOperations*>(this)) {
            return operations->send(msg, status, txTime);
        }
        return ServiceCore::send(msg, status, txTime);
    }
    using ServiceCore::storeMsg;
    int getLastRxMsg(int serviceId, LastRxMsgCtxt* ctx) {
        return withReplyPath(ctx, [&](auto* p) { return operations->getLastRxMsg(serviceId, p); });
    }
    int createCallback(int endpoint, CallbackCtxt* ctx) {
        return withReplyPath(ctx, [&](auto* p) { return operations->createCallback(endpoint, p); });
    }
    int createCallback(Callback* cb, CallbackCtxt* ctx) {
        return withReplyPath(ctx, [&](auto* p) { return operations->createCallback(cb, p); });
    }
    int deleteCallback(int endpoint, CallbackDeleteCtxt* ctx) {
        return withReplyPath(ctx, [&](auto* p) { return operations->deleteCallback(endpoint, p); });
    }
    int deleteCustomizedCallback(int internalId, CallbackDeleteCtxt* ctx) {
        return withReplyPath(
            ctx, [&](auto* p) { return operations->deleteCustomizedCallback(internalId, p); });
    }

    int getnodebindingRequest(unsigned long timeout, unsigned short destAddr, int startIndex,
                              NodeBindingCtxt* ctx) {
        return withReplyPath(ctx, [&](auto* p) {
            return operations->getnodebindingRequest(timeout, destAddr, startIndex, p);
        });
    }
    int bindRequest(unsigned long timeout, ZB_BIND_STRUCT bindParams, BindCtxt* ctx) {
        return withReplyPath(
            ctx, [&](auto* p) { return operations->bindRequest(timeout, bindParams, p); });
    }
    int unbindRequest(unsigned long timeout, ZB_BIND_STRUCT bindParams, BindCtxt* ctx) {
        return withReplyPath(
            ctx, [&](auto* p) { return operations->unbindRequest(timeout, bindParams, p); });
    }

    using ServiceCore::activeEndPointsDiscovery_Cb;
    using ServiceCore::autoMatchDescriptorRsp_Cb;
    using ServiceCore::bindRequest_Cb;
    using ServiceCore::getActiveEndPoints_Cb;
    using ServiceCore::getnodebinding_Cb;
    using ServiceCore::getServiceDescriptor_Cb;
    using ServiceCore::messageReceived_Cb;
    using ServiceCore::serviceDescriptorsDiscovery_Cb;
    using ServiceCore::setReceivedTap;
    using ServiceCore::unbindRequest_Cb;

    using ServiceCore::moduleAway;
    using ServiceCore::onActiveEndpoints;
    using ServiceCore::onActiveEndpointsDiscovery;
    using ServiceCore::onBindRequestExpired;
    using ServiceCore::onGetnodebindingRequestExpired;
    using ServiceCore::onServiceDescriptor;
    using ServiceCore::onServiceDescriptorsDiscovery;
    using ServiceCore::onUnbindRequestExpired;

    using ServiceCore::cachedMessages;
    using ServiceCore::getTimeoutSeconds;
    using ServiceCore::pacedIdle;
    using ServiceCore::setMsgIdCounter;

  private:
    ServiceOperations* operations = this;
};

#endif
