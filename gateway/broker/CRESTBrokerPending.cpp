// RESTBroker: the operations of the node, service, binding, message and callback resources
// that are not served yet. Each resource answers HTTP 501 through RESTBroker::pending; their
// lists accept no work. A family leaves this file when its own source file serves it.

#include <cstdio>

#include "CRESTBroker.h"

#define ORQ_PENDING_REQ(name)                                                        \
    void RESTBroker::name(Resource*, const char*, Method, const char*, std::string*, \
                          RESTSessionContext* session) {                             \
        pending(#name, session);                                                     \
    }
#define ORQ_PENDING_LIST(attach, detach)                                                    \
    void RESTBroker::attach(RBURIListenerList* l, const uriListener_t& u, int s, bool up) { \
        pendingAttach(l, u, s, up);                                                         \
    }                                                                                       \
    void RESTBroker::detach(RBURIListenerList*) {}

// Node resources.
ORQ_PENDING_REQ(listAddresses_Req)
ORQ_PENDING_REQ(listAllAddresses_Req)
ORQ_PENDING_REQ(wsnNodesList_Req)
ORQ_PENDING_REQ(ndRoot_Req)
ORQ_PENDING_REQ(nodeDescriptor_Req)
ORQ_PENDING_REQ(ndPowerDescriptor_Req)
ORQ_PENDING_REQ(ndLQIInformation_Req)
ORQ_PENDING_LIST(nodeInquiryAttach, nodeInquiryDetach)
ORQ_PENDING_LIST(nodeAnnounceAttach, nodeAnnounceDetach)
ORQ_PENDING_LIST(nodeFreshnessAttach, nodeFreshnessDetach)
ORQ_PENDING_LIST(nodeMgmtLQIAttach, nodeMgmtLQIDetach)
ORQ_PENDING_LIST(leaveCommandAttach, leaveCommandDetach)
ORQ_PENDING_LIST(nodeDescriptorAttach, nodeDescriptorDetach)
void* RESTBroker::wsnNodesList_StartAnnceMode_RspCb(int, RPCReqStatus*) {
    return nullptr;
}
void* RESTBroker::wsnNodeAnnce_NtfCb(Node*, RPCReqStatus*) {
    return nullptr;
}
void* RESTBroker::wsnNodesList_StartFreshnessMode_RspCb(int, RPCReqStatus*) {
    return nullptr;
}
void* RESTBroker::wsnNodeFreshnessAnnce_NtfCb(Node*, RPCReqStatus*) {
    return nullptr;
}

// Service and binding resources.
ORQ_PENDING_REQ(lndServicesList_Req)
ORQ_PENDING_REQ(ndServicesList_Req)
ORQ_PENDING_REQ(awndServicesList_Req)
ORQ_PENDING_REQ(clearEndpoin_Req)
ORQ_PENDING_REQ(lsBind_Req)
ORQ_PENDING_REQ(lsUnbind_Req)
ORQ_PENDING_LIST(serviceDiscoveryAttach, serviceDiscoveryDetach)
ORQ_PENDING_LIST(serviceDescriptorAttach, serviceDescriptorDetach)
ORQ_PENDING_LIST(getnodebindingAttach, getnodebindingDetach)
ORQ_PENDING_LIST(bindAttach, bindDetach)
ORQ_PENDING_LIST(unbindAttach, unbindDetach)
void* RESTBroker::lndServicesList_RspCb(SimpleDescriptor*, int, RPCReqStatus* status) {
    if (status != nullptr && status->getReturnValue() != AGENT_SUCCESS) {
        std::printf("addDefaultService - ERROR: %s\n",
                    AgentErrorMessages::Instance()->getErrorMessage(status->getReturnValue()));
        std::fflush(stdout);
    }
    return nullptr;
}

// Message and callback resources.
ORQ_PENDING_REQ(callbacks_Req)
ORQ_PENDING_REQ(cbCallback_Req)
ORQ_PENDING_REQ(lsWsnConnection_Req)
ORQ_PENDING_REQ(lsWsnConnection_BC_Req)
ORQ_PENDING_REQ(lsMessage_Req)
ORQ_PENDING_REQ(lndAllServicesWsnConnection_Req)
ORQ_PENDING_REQ(lndAllServicesMessage_Req)
ORQ_PENDING_LIST(allServicesAttach, allServicesDetach)
