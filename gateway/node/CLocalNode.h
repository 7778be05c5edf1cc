#ifndef ORQ_CLOCALNODE_H
#define ORQ_CLOCALNODE_H

// LocalNode<T>: the local node (the gateway itself as a ZigBee device) as a handler of type
// T calls it, with the reply paths of T's operations (RPCContext). Each call turns its
// caller's context into the reply path the compiled node (LocalNodeCore, which see for what
// it does and on which threads) takes, and forwards. It also hands out the agents of T that
// work on the node's network.

#include <type_traits>

#include "Agents.h"
#include "CDiscoveryAgent.h"
#include "CManagementAgent.h"
#include "LocalNodeCore.h"

template <class T>
class ServiceAgent;  // gateway/service: the caller of getServiceAgent() includes it

template <class T>
class LocalNode : private LocalNodeCore {
  public:
    using StartResF = void* (T::*)(unsigned char, int, RPCReqStatus*);
    using StartNotF = void* (T::*)(unsigned char, RPCReqStatus*);
    using ResetResF = void* (T::*)(int, RPCReqStatus*);
    using ResetNotF = void* (T::*)(unsigned char, RPCReqStatus*);
    using StatusNotF = void* (T::*)(GwDescriptor*, RPCReqStatus*);
    using StartGatewayDeviceCtxt = RPCContext<T, StartResF, StartNotF>;
    using ResetCommandCtxt = RPCContext<T, ResetResF, ResetNotF>;
    using CreateCallbackCtxt = RPCContext<T, NoCb, StatusNotF>;
    using StatusChanged_Event_NotifyCtxt = CreateCallbackCtxt;
    // The response-only context answered by createCallback (session, status).
    using CreateCallbackRspCtxt = RPCContext<T, ResetResF, NoCb>;
    using ConfigureSASCtxt = RPCContext<T, ResetResF, NoCb>;

    static_assert(std::is_same_v<ReplyPathOf<T, StartResF, StartNotF>, StartPath>);
    static_assert(std::is_same_v<ReplyPathOf<T, ResetResF, ResetNotF>, ResetPath>);
    static_assert(std::is_same_v<ReplyPathOf<T, NoCb, StatusNotF>, StatusPath>);
    static_assert(std::is_same_v<ReplyPathOf<T, ResetResF, NoCb>, AnswerPath>);

    using LocalNodeCore::RESET_TIMEOUT_SECONDS;

    // The process-wide local node, on the process-wide adapter and configuration.
    static LocalNode* getLocalNode() {
        static LocalNode instance;
        return &instance;
    }

    // Tests build their own on an adapter, configuration and clock of their choosing.
    explicit LocalNode(OrqZbIf* adapter = nullptr, ConfigurationRepository* config = nullptr,
                       TimerClock* clock = nullptr)
        : LocalNodeCore(adapter, config, clock) {}

    using LocalNodeCore::getGwDescriptor;
    using LocalNodeCore::getNetDb;
    using LocalNodeCore::getOrqZbIf;
    using LocalNodeCore::init;
    using LocalNodeCore::setWSNId;

    // The agents working on this node's network: the process-wide ones unless others were
    // given (tests build their own on their own adapter).
    DiscoveryAgent<T>* getDiscoveryAgent() {
        return discoveryAgent != nullptr ? discoveryAgent : DiscoveryAgent<T>::Instance();
    }
    ManagementAgent<T>* getManagementAgent() {
        return managementAgent != nullptr ? managementAgent : ManagementAgent<T>::Instance();
    }
    void setAgents(DiscoveryAgent<T>* discovery, ManagementAgent<T>* management) {
        discoveryAgent = discovery;
        managementAgent = management;
    }
    // The process-wide service agent.
    ServiceAgent<T>* getServiceAgent() { return ServiceAgent<T>::Instance(); }

    int startGatewayDevice(unsigned long timeout, StartupAttributeInfo* set,
                           StartGatewayDeviceCtxt* ctx) {
        return withReplyPath(
            ctx, [&](auto* p) { return LocalNodeCore::startGatewayDevice(timeout, set, p); });
    }
    using LocalNodeCore::start;
    using LocalNodeCore::stop;
    int resetRequest(unsigned char mode, ResetCommandCtxt* ctx) {
        return withReplyPath(ctx, [&](auto* p) { return LocalNodeCore::resetRequest(mode, p); });
    }
    int createCallback(CreateCallbackCtxt* listener, CreateCallbackRspCtxt* rsp) {
        return withReplyPath(listener, [&](auto* l) {
            return withReplyPath(rsp, [&](auto* r) { return LocalNodeCore::createCallback(l, r); });
        });
    }

    StartupAttributeInfo* readStartupAttributeSet(int index) {
        return LocalNodeCore::readStartupAttributeSet(index);
    }
    int configureStartupAttributeSet(int index, StartupAttributeInfo* set, ConfigureSASCtxt* ctx) {
        return withReplyPath(ctx, [&](auto* p) {
            return LocalNodeCore::configureStartupAttributeSet(index, set, p);
        });
    }
    int readStartupAttributeSet(int index, ConfigureSASCtxt* ctx) {
        return withReplyPath(
            ctx, [&](auto* p) { return LocalNodeCore::readStartupAttributeSet(index, p); });
    }
    using LocalNodeCore::set_securityLevel;

    using LocalNodeCore::gwStatusChanged_Event_Cb;
    using LocalNodeCore::onResetCommand;
    using LocalNodeCore::onStartGatewayDevice;
    using LocalNodeCore::resetCommandNotify_Cb;

    using LocalNodeCore::getLastResetOptions;
    using LocalNodeCore::getStartTimeoutSeconds;
    using LocalNodeCore::isStartTaskRunning;
    using LocalNodeCore::setExitHandler;
    using LocalNodeCore::setRestartHook;

  private:
    DiscoveryAgent<T>* discoveryAgent = nullptr;
    ManagementAgent<T>* managementAgent = nullptr;
};

#endif
