// RESTBroker: the service and binding resources. The gateway's own services (local end
// points), the active end points and simple descriptors of remote nodes, the services of all
// nodes, and a node's binding table, bind and unbind.
//
// The service agent answers with its lock held, on the main thread for immediate answers and
// on the reader thread or its pool for the others: responses compose at once, and the tree
// changes they need go to the poll loop (onTreeThread).

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

#include "CRESTBroker.h"

namespace {

std::string endPointName(int ep) {
    char name[8];
    std::snprintf(name, sizeof(name), "%02x", ep & 0xFF);
    return name;
}

using Listeners = RESTBroker::Listeners;
constexpr RESTBroker::RemoteProcedure kServiceDiscovery =
    RESTBroker::remoteProcedure("ndServicesList_Req", &Listeners::serviceDiscovery);
constexpr RESTBroker::RemoteProcedure kServiceDescriptor =
    RESTBroker::remoteProcedure("sServiceDescriptor_Req", &Listeners::serviceDescriptor);
constexpr RESTBroker::RemoteProcedure kBindingTable =
    RESTBroker::remoteProcedure("lsBind_Req", &Listeners::getnodebinding);
constexpr RESTBroker::RemoteProcedure kBind =
    RESTBroker::remoteProcedure("lsBind_Req", &Listeners::bind);
constexpr RESTBroker::RemoteProcedure kUnbind =
    RESTBroker::remoteProcedure("lsUnbind_Req", &Listeners::unbind);

}  // namespace

// --- Local services ---

void RESTBroker::lndServicesList_Req(Resource* resource, const char*, Method method, const char*,
                                     std::string* body, RESTSessionContext* session) {
    if (method == M_GET) {
        int endPoints[MAX_LOCAL_ENDPOINT + 1];
        const int count = pSAgent->getCurrentServices(endPoints);
        if (count == 0) {
            restResponse("lndServicesList_Req", session->getSessionId(), std::string(),
                         METHOD_NOT_ALLOWED);
            return;
        }
        restResponse("lndServicesList_Req", session->getSessionId(),
                     pXMLMsgComposer->createActiveEndPointLocalNodeMsg(count, endPoints), NO_ERROR);
        return;
    }
    if (method != M_POST) {
        badMethod(resource, session);
    }
    SimpleDescriptor sd;
    if (body == nullptr || pXMLMsgParser->getSimpleDescriptor(&sd, body->c_str()) != 0) {
        throw RESTException(BAD_PARAMETER, "Wrong SimpleDescriptor");
    }
    ServiceAgentT::AddServiceCtxt ctx(session->getSessionId(), this,
                                      &RESTBroker::lndServicesList_RspCb, nullptr);
    int before[MAX_LOCAL_ENDPOINT + 1];
    const int had = pSAgent->getCurrentServices(before);
    if (pSAgent->addService(&sd, &ctx) != AGENT_SUCCESS) {
        return;
    }
    // The end point it was given (the first free one when the descriptor names none).
    int after[MAX_LOCAL_ENDPOINT + 1];
    const int has = pSAgent->getCurrentServices(after);
    for (int i = 0; i < has; ++i) {
        if (std::find(before, before + had, after[i]) == before + had) {
            keepRegistration(serviceRegistrationId(after[i]), nullptr, session);
        }
    }
}

void* RESTBroker::lndServicesList_RspCb(SimpleDescriptor* sd, int sessionId, RPCReqStatus* status) {
    const bool ok = status->getReturnValue() == AGENT_SUCCESS && sd != nullptr;
    if (ok) {
        // Called from addService on the main thread, which owns the tree.
        const int ep = sd->end_point;
        Resource* rootLocal = pRESTServer->findResource(pRESTServer->getRoot(), "localnode");
        createServiceFolders(pRESTServer->findResource(resources.localNode, "services"), ep,
                             servicesDesc, connDesc);
        createServiceFolders(pRESTServer->findResource(rootLocal, "services"), ep, servicesDescBC,
                             connDescBC);
    }
    if (sessionId == -1) {
        if (!ok) {
            std::printf("addDefaultService - ERROR: %s\n",
                        AgentErrorMessages::Instance()->getErrorMessage(status->getReturnValue()));
            std::fflush(stdout);
        }
        return nullptr;
    }
    restResponse(
        "lndServicesList_RspCb", sessionId,
        ok ? pXMLMsgComposer->createLocalNodeEndpointMsg(status->getFResult(), sd) : std::string(),
        nullptr, status);
    return nullptr;
}

void RESTBroker::createServiceFolders(Resource* services, int ep, const RBResourceDescriptor* table,
                                      const RBResourceDescriptor* connTable) {
    if (services == nullptr) {
        return;
    }
    const std::string name = endPointName(ep);
    Resource* folder = pRESTServer->findResource(services, name);
    if (folder == nullptr) {
        folder = createFolder(services, name.c_str(), table, ep);
    }
    auto missingRows = [this](Resource* parent, const RBResourceDescriptor* rows) {
        for (const RBResourceDescriptor* row = rows; parent != nullptr && !row->path.empty();
             ++row) {
            if (pRESTServer->findResource(parent, row->path) == nullptr) {
                pRESTServer->createResource(parent, row, static_cast<ResourceHandler*>(this), 0);
            }
        }
    };
    missingRows(folder, table);
    missingRows(pRESTServer->findResource(folder, "wsnconnection"), connTable);
}

void RESTBroker::restoreServiceFolders() {
    int endPoints[MAX_LOCAL_ENDPOINT + 1];
    const int count = pSAgent != nullptr ? pSAgent->getCurrentServices(endPoints) : 0;
    Resource* netServices = pRESTServer->findResource(resources.localNode, "services");
    Resource* rootLocal = pRESTServer->findResource(pRESTServer->getRoot(), "localnode");
    Resource* rootServices =
        rootLocal != nullptr ? pRESTServer->findResource(rootLocal, "services") : nullptr;
    for (int i = 0; i < count; ++i) {
        createServiceFolders(netServices, endPoints[i], servicesDesc, connDesc);
        // End point 0, the device object, has no folder of the second format.
        if (endPoints[i] != 0) {
            createServiceFolders(rootServices, endPoints[i], servicesDescBC, connDescBC);
        }
    }
}

void RESTBroker::clearEndpoin_Req(Resource* resource, const char* uri, Method method, const char*,
                                  std::string*, RESTSessionContext* session) {
    if (method != M_DELETE) {
        pRESTServer->defaultHandler(resource, session);
        return;
    }
    const std::string path = uri != nullptr ? uri : "";
    const int ep =
        path.size() >= 2
            ? static_cast<int>(std::strtol(path.substr(path.size() - 2).c_str(), nullptr, 16))
            : -1;
    const int rc = pSAgent->removeService(ep);
    if (rc == -1) {
        ORQ_LOG(*pLogger, INFO, "clearEndpoin_Req - GW Running, procedure not allowed");
        restResponse("clearEndpoin_Req", session->getSessionId(), std::string(),
                     METHOD_NOT_ALLOWED);
        return;
    }
    if (rc != 0) {
        ORQ_LOG(*pLogger, INFO, "clearEndpoin_Req - ERROR: End point %02x not allocated!", ep);
        restResponse("clearEndpoin_Req", session->getSessionId(), std::string(), BAD_PARAMETER);
        return;
    }
    forgetRegistration(serviceRegistrationId(ep));
    // The service's folders go from both trees: the second format's too, or it would stay
    // behind answering for a service that is gone.
    const std::string name = endPointName(ep);
    Resource* rootLocal = pRESTServer->findResource(pRESTServer->getRoot(), "localnode");
    for (Resource* services : {pRESTServer->findResource(resources.localNode, "services"),
                               pRESTServer->findResource(rootLocal, "services")}) {
        Resource* folder =
            services != nullptr ? pRESTServer->findResource(services, name) : nullptr;
        if (folder == nullptr) {
            ORQ_LOG(*pLogger, INFO, "clearEndpoin_Req - no resource for end point %02x", ep);
            continue;
        }
        forgetResources(folder);
        pRESTServer->removeResource(folder);
    }
    restResponse("clearEndpoin_Req", session->getSessionId(), std::string(), NO_ERROR);
}

// --- Remote active end points ---

void RESTBroker::ndServicesList_Req(Resource* resource, const char*, Method method, const char*,
                                    std::string*, RESTSessionContext* session) {
    if (method != M_GET) {
        badMethod(resource, session);
    }
    if (remoteProcedureQueued(kServiceDiscovery, session)) {
        return;
    }
    ServiceAgentT::ActiveEndpointsCtxt ctx(session->getSessionId(), this,
                                           &RESTBroker::ndServicesList_RspCb, nullptr);
    pSAgent->getActiveEndPoints(agentTimeout(session->cbinfo),
                                static_cast<unsigned short>(resource->parent->data), &ctx);
}

void RESTBroker::serviceDiscoveryAttach(RBURIListenerList* list, const uriListener_t& listener,
                                        int sessionId, bool) {
    const RESTCallbackInfo* info = callbackInfoOf(listener);
    if (info == nullptr || info->refResource == nullptr) {
        return;
    }
    if (list->running.load()) {
        ORQ_LOG(*pLogger, WARN,
                "serviceDiscoveryAttach - WARNING: An istance is already running!, overwriting "
                "it!");
    }
    const auto address = static_cast<unsigned short>(info->refResource->parent->data);
    ServiceAgentT::ActiveEndpointsCtxt ctx(sessionId, this, &RESTBroker::ndServicesList_RspCb,
                                           &RESTBroker::ndServicesList_NtfCb);
    startOneShot(list, listener,
                 [&] { return pSAgent->getActiveEndPoints(agentTimeout(*info), address, &ctx); });
}

void RESTBroker::rebuildServiceResourcesLater(const Node* node) {
    const unsigned short nwk = node->get_nwk_addr();
    const std::list<int> endPoints = node->getEndPointList();
    Resource* net = resources.net;
    onTreeThread([this, net, nwk, endPoints] {
        Resource* wsnnodes = pRESTServer->findResource(net, "wsnnodes");
        if (wsnnodes == nullptr) {
            return;
        }
        std::vector<Resource*> folders;
        for (Resource* child : wsnnodes->children) {
            if (child->data == nwk) {
                folders.push_back(child);
            }
        }
        for (Resource* folder : folders) {
            Resource* services = pRESTServer->findResource(folder, "services");
            if (services == nullptr) {
                continue;
            }
            forgetResources(services);
            pRESTServer->clearResource(services);
            for (int ep : endPoints) {
                createFolder(services, endPointName(ep).c_str(),
                             &RESTBroker::sServiceDescriptor_Req, ep);
            }
        }
    });
}

void* RESTBroker::ndServicesList_RspCb(Node* node, int sessionId, RPCReqStatus* status) {
    return respond("ndServicesList_RspCb", sessionId, status, kRemoteResponse, node != nullptr,
                   [&] {
                       rebuildServiceResourcesLater(node);
                       return pXMLMsgComposer->createActiveEndPointMsg(status->getFResult(), node);
                   });
}

void* RESTBroker::ndServicesList_NtfCb(Node* node, RPCReqStatus* status) {
    std::string doc;
    if (status->getReturnValue() == AGENT_SUCCESS && node != nullptr) {
        rebuildServiceResourcesLater(node);
        doc = pXMLMsgComposer->createActiveEndPointMsg(status->getFResult(), node);
    }
    oneShotEvent("ndServicesList_NtfCb", &listeners.serviceDiscovery, doc, status);
    return nullptr;
}

// --- Remote simple descriptor ---

void RESTBroker::sServiceDescriptor_Req(Resource* resource, const char*, Method method, const char*,
                                        std::string*, RESTSessionContext* session) {
    if (method != M_GET) {
        badMethod(resource, session);
    }
    if (remoteProcedureQueued(kServiceDescriptor, session)) {
        return;
    }
    ServiceAgentT::ServiceDescriptorCtxt ctx(session->getSessionId(), this,
                                             &RESTBroker::sServiceDescriptor_RspCb, nullptr);
    pSAgent->getServiceDescriptor(agentTimeout(session->cbinfo),
                                  static_cast<unsigned short>(resource->parent->parent->data),
                                  static_cast<unsigned char>(resource->data), &ctx);
}

void RESTBroker::serviceDescriptorAttach(RBURIListenerList* list, const uriListener_t& listener,
                                         int sessionId, bool) {
    if (list->running.load()) {
        ORQ_LOG(*pLogger, WARN, "serviceDescriptorAttach - WARNING: Service already running!");
        return;
    }
    const RESTCallbackInfo* info = callbackInfoOf(listener);
    if (info == nullptr || info->refResource == nullptr) {
        return;
    }
    const auto address = static_cast<unsigned short>(info->refResource->parent->parent->data);
    const auto ep = static_cast<unsigned char>(info->refResource->data);
    ServiceAgentT::ServiceDescriptorCtxt ctx(sessionId, this, &RESTBroker::sServiceDescriptor_RspCb,
                                             &RESTBroker::sServiceDescriptor_NtfCb);
    startOneShot(list, listener, [&] {
        return pSAgent->getServiceDescriptor(agentTimeout(*info), address, ep, &ctx);
    });
}

void* RESTBroker::sServiceDescriptor_RspCb(Node* node, int endPoint, int sessionId,
                                           RPCReqStatus* status) {
    return respond("sServiceDescriptor_RspCb", sessionId, status, kRemoteResponse, node != nullptr,
                   [&] {
                       return pXMLMsgComposer->createServiceDescriptorMsg(status->getFResult(),
                                                                          node, endPoint);
                   });
}

void* RESTBroker::sServiceDescriptor_NtfCb(Node* node, int endPoint, RPCReqStatus* status) {
    std::string doc;
    if (status->getReturnValue() == AGENT_SUCCESS && node != nullptr) {
        doc = pXMLMsgComposer->createServiceDescriptorMsg(status->getFResult(), node, endPoint);
    }
    oneShotEvent("sServiceDescriptor_NtfCb", &listeners.serviceDescriptor, doc, status);
    return nullptr;
}

// --- All nodes' services ---

void RESTBroker::awndServicesList_Req(Resource* resource, const char*, Method method,
                                      const char* query, std::string*,
                                      RESTSessionContext* session) {
    if (method != M_GET) {
        badMethod(resource, session);
    }
    std::string mode;
    if (!pQueryParser->getParameter("mode", query, mode)) {
        DiscoveryAgentT::SuperDiscoveryCtxt ctx(session->getSessionId(), this,
                                                &RESTBroker::awndServicesList_RspCb, nullptr);
        pDAgent->superDiscovery(&ctx);
        return;
    }
    if (mode != "cache") {
        throw RESTException(BAD_PARAMETER, "Bad mode parameter");
    }
    DiscoveryAgentT::RetrieveNodesCtxt ctx(session->getSessionId(), this,
                                           &RESTBroker::awndServicesList_cache_RspCb, nullptr);
    pDAgent->retrieveNodes(&ctx);
}

void* RESTBroker::awndServicesList_RspCb(ZbNetDb* db, int sessionId, RPCReqStatus* status) {
    std::string doc;
    if (status->getReturnValue() == AGENT_SUCCESS) {
        std::lock_guard<std::recursive_mutex> dbLock(db->mutex());
        doc = pXMLMsgComposer->createAllNodesServiceDescMsg(status->getFResult(), db);
        rebuildNodeFolders(db);
    }
    restResponse("awndServicesList_RspCb", sessionId, doc, nullptr, status);
    return nullptr;
}

void* RESTBroker::awndServicesList_cache_RspCb(ZbNetDb* db, int sessionId, RPCReqStatus* status) {
    return respondKept(
        "awndServicesList_cache_RspCb", sessionId, status, kPlainResponse, kept.allServices, db, 0,
        [&] { return pXMLMsgComposer->createAllNodesServiceDescMsg(status->getFResult(), db); });
}

// --- Bindings ---

// The network address of the node whose IEEE-address folder holds `resource`; throws the
// request's error when the folder is not named by an IEEE address the database knows.
unsigned short RESTBroker::bindingTableNode(Resource* resource) {
    unsigned char ieee[8];
    if (resource->parent == nullptr || !bytesOfHex(resource->parent->name(), ieee, 8)) {
        throw RESTException(WRONG_REQUEST, "Bad formatted destination address");
    }
    std::lock_guard<std::recursive_mutex> dbLock(pOrqDb->mutex());
    Node* node = pOrqDb->findNodeByIEEEAddr(ieee);
    if (node == nullptr) {
        throw RESTException(WRONG_REQUEST, "Wrong IEEEAddress (or not present in DB yet)");
    }
    return node->get_nwk_addr();
}

void RESTBroker::lsBind_Req(Resource* resource, const char*, Method method, const char* query,
                            std::string* body, RESTSessionContext* session) {
    if (method == M_POST) {
        bindOrUnbind(true, body, session);
        return;
    }
    if (method != M_GET) {
        badMethod(resource, session);
    }
    const unsigned short address = bindingTableNode(resource);
    std::string index;
    pQueryParser->getParameter("index", query, index);
    const int startIndex = index.empty() ? 0 : std::atoi(index.c_str());
    if (remoteProcedureQueued(kBindingTable, session)) {
        return;
    }
    ServiceAgentT::NodeBindingCtxt ctx(session->getSessionId(), this,
                                       &RESTBroker::getnodebinding_RspCb, nullptr);
    pSAgent->getnodebindingRequest(agentTimeout(session->cbinfo), address, startIndex, &ctx);
}

void RESTBroker::getnodebindingAttach(RBURIListenerList* list, const uriListener_t& listener,
                                      int sessionId, bool) {
    if (list->running.load()) {
        ORQ_LOG(*pLogger, WARN,
                "getnodebindingAttach - WARNING: Another request is already running!");
        return;
    }
    const RESTCallbackInfo* info = callbackInfoOf(listener);
    if (info == nullptr || info->refResource == nullptr || info->refRestSessionCtxt == nullptr) {
        return;
    }
    const unsigned short address = bindingTableNode(info->refResource);
    std::string index;
    pQueryParser->getParameter("index", info->refRestSessionCtxt->getQueryStr(), index);
    const int startIndex = index.empty() ? 0 : std::atoi(index.c_str());
    ServiceAgentT::NodeBindingCtxt ctx(sessionId, this, &RESTBroker::getnodebinding_RspCb,
                                       &RESTBroker::getnodebinding_NtfCb);
    startOneShot(list, listener, [&] {
        return pSAgent->getnodebindingRequest(agentTimeout(*info), address, startIndex, &ctx);
    });
}

void* RESTBroker::getnodebinding_RspCb(unsigned short entries, unsigned short startIndex,
                                       unsigned short count, ZB_BIND_STRUCT* list, int sessionId,
                                       RPCReqStatus* status) {
    return respond("getnodebinding_RspCb", sessionId, status, kRemoteResponse, true, [&] {
        return pXMLMsgComposer->createGetNodeBindingMsg(status->getFResult(), entries, startIndex,
                                                        count, list);
    });
}

void* RESTBroker::getnodebinding_NtfCb(unsigned short entries, unsigned short startIndex,
                                       unsigned short count, ZB_BIND_STRUCT* list,
                                       RPCReqStatus* status) {
    std::string doc;
    if (status->getReturnValue() == AGENT_SUCCESS) {
        doc = pXMLMsgComposer->createGetNodeBindingMsg(status->getFResult(), entries, startIndex,
                                                       count, list);
    }
    oneShotEvent("getnodebinding_NtfCb", &listeners.getnodebinding, doc, status);
    return nullptr;
}

void RESTBroker::lsUnbind_Req(Resource* resource, const char*, Method method, const char*,
                              std::string* body, RESTSessionContext* session) {
    if (method != M_POST) {
        badMethod(resource, session);
    }
    bindOrUnbind(false, body, session);
}

void RESTBroker::bindOrUnbind(bool bind, std::string* body, RESTSessionContext* session) {
    ZB_BIND_STRUCT record{};
    if (body == nullptr || pXMLMsgParser->getBindindCommand(&record, body->c_str()) != 0) {
        throw RESTException(WRONG_REQUEST, "Message not sent: Error parsing XML message");
    }
    if (remoteProcedureQueued(bind ? kBind : kUnbind, session)) {
        return;
    }
    ServiceAgentT::BindCtxt ctx(session->getSessionId(), this,
                                bind ? &RESTBroker::bind_RspCb : &RESTBroker::unbind_RspCb,
                                nullptr);
    const unsigned long timeout = agentTimeout(session->cbinfo);
    if (bind) {
        pSAgent->bindRequest(timeout, record, &ctx);
    } else {
        pSAgent->unbindRequest(timeout, record, &ctx);
    }
}

void RESTBroker::bindListAttach(bool bind, RBURIListenerList* list, const uriListener_t& listener,
                                int sessionId) {
    if (list->running.load()) {
        ORQ_LOG(*pLogger, WARN, "%s - WARNING: Another request is already running!",
                bind ? "bindAttach" : "unbindAttach");
        return;
    }
    const RESTCallbackInfo* info = callbackInfoOf(listener);
    if (info == nullptr || info->refRestSessionCtxt == nullptr) {
        return;
    }
    ZB_BIND_STRUCT record{};
    if (pXMLMsgParser->getBindindCommand(&record, info->refRestSessionCtxt->rxData()->c_str()) !=
        0) {
        throw RESTException(WRONG_REQUEST, "Message not sent: Error parsing XML message");
    }
    ServiceAgentT::BindCtxt ctx(sessionId, this,
                                bind ? &RESTBroker::bind_RspCb : &RESTBroker::unbind_RspCb,
                                bind ? &RESTBroker::bind_NtfCb : &RESTBroker::unbind_NtfCb);
    startOneShot(list, listener, [&] {
        return bind ? pSAgent->bindRequest(agentTimeout(*info), record, &ctx)
                    : pSAgent->unbindRequest(agentTimeout(*info), record, &ctx);
    });
}

void RESTBroker::bindAttach(RBURIListenerList* list, const uriListener_t& listener, int sessionId,
                            bool) {
    bindListAttach(true, list, listener, sessionId);
}

void RESTBroker::unbindAttach(RBURIListenerList* list, const uriListener_t& listener, int sessionId,
                              bool) {
    bindListAttach(false, list, listener, sessionId);
}

void* RESTBroker::bind_RspCb(int sessionId, RPCReqStatus* status) {
    return respond("bind_RspCb", sessionId, status, kSkipLocal);
}

void* RESTBroker::bind_NtfCb(RPCReqStatus* status) {
    oneShotEvent("bind_NtfCb", &listeners.bind, std::string(), status);
    return nullptr;
}

void* RESTBroker::unbind_RspCb(int sessionId, RPCReqStatus* status) {
    return respond("unbind_RspCb", sessionId, status, kSkipLocal);
}

void* RESTBroker::unbind_NtfCb(RPCReqStatus* status) {
    oneShotEvent("unbind_NtfCb", &listeners.unbind, std::string(), status);
    return nullptr;
}
