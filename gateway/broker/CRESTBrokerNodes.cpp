// RESTBroker: the node resources. The alias lists, the node list with its inquiry, LQI,
// announcement and freshness modes, the node folders (ZDP commands, leave), node and power
// descriptors, and the LQI table of the whole network.
//
// Responses and notifications of the discovery and management agents arrive on the agents'
// threads with the agent's lock and the database's lock held: they compose at once, copy what
// a change of the tree needs and hand that change to the poll loop (onTreeThread).

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <set>
#include <vector>

#include "CRESTBroker.h"

namespace {

std::string shortName(unsigned short nwk) {
    char name[8];
    std::snprintf(name, sizeof(name), "%04x", nwk);
    return name;
}

std::string ieeeName(const unsigned char* ieee) {
    char name[20];
    for (int i = 0; i < 8; ++i) {
        std::snprintf(name + 2 * i, 3, "%02x", ieee[i]);
    }
    return name;
}

std::string endPointName(int ep) {
    char name[8];
    std::snprintf(name, sizeof(name), "%02x", ep & 0xFF);
    return name;
}

using Listeners = RESTBroker::Listeners;
// The node list's time-out check (its listeners are checked by the node list itself).
constexpr RESTBroker::RemoteProcedure kNodeList{
    "wnsnodesList_Req", nullptr, PARAMETER_MISSING, "timeout parameter missing", nullptr, nullptr,
    PARAMETER_MISSING,  nullptr};
// A ZDP command to a node folder: a time-out, no listener.
constexpr RESTBroker::RemoteProcedure kZdpCommand{
    "ndRoot_Req", nullptr, PARAMETER_MISSING, "timeout parameter missing",
    nullptr,      nullptr, PARAMETER_MISSING, nullptr};
// The leave takes no time-out.
constexpr RESTBroker::RemoteProcedure kLeave{
    "ndLeave_Req", &Listeners::leaveCommand,          NO_ERROR, nullptr, nullptr, "asynch call",
    WRONG_REQUEST, "callback destination not present"};
constexpr RESTBroker::RemoteProcedure kNodeDescriptor{"nodedescriptor_Req",
                                                      &Listeners::nodeDescriptor,
                                                      WRONG_REQUEST,
                                                      "timeout parameter missing!",
                                                      "timeout parameter 0x%lx (%lu ms)",
                                                      "getNodeDescriptor (non-blocking procedure)",
                                                      WRONG_REQUEST,
                                                      "callback destination not present"};

bool isEndOfProcedure(const RPCReqStatus* status) {
    return status != nullptr && (status->getFState() == End || status->getFState() == Canceled);
}

}  // namespace

// --- Node folders ---

void RESTBroker::createNodeResourcesLater(const Node* node) {
    if (node == nullptr) {
        return;
    }
    const unsigned short nwk = node->get_nwk_addr();
    unsigned char ieee[8];
    std::memcpy(ieee, node->get_ieee_addr(), 8);
    Resource* net = resources.net;
    onTreeThread([this, net, nwk, ieee] {
        Node copy(nwk, ieee);
        createNodeResources(net, &copy);
    });
}

void RESTBroker::removeNodeFolders(const std::string& ieee, const std::string& shortAddr) {
    Resource* wsnnodes = pRESTServer->findResource(resources.net, "wsnnodes");
    if (wsnnodes == nullptr) {
        return;
    }
    for (const std::string& name : {ieee, shortAddr}) {
        Resource* folder = pRESTServer->findResource(wsnnodes, name);
        if (folder == nullptr) {
            continue;
        }
        ORQ_LOG(*pLogger, DEBUG, "leaveCommandDeleteResources - deleting %s",
                &name == &ieee ? "IEEE address" : "short address");
        forgetResources(folder);
        pRESTServer->removeResource(folder);
    }
}

// Every node's folders again, with one folder per known end point, from a copy of the
// database taken now; the folders of nodes no longer held go.
void RESTBroker::rebuildNodeFolders(ZbNetDb* db) {
    struct Copy {
        unsigned short nwk;
        unsigned char ieee[8];
        std::list<int> endPoints;
    };
    std::vector<Copy> nodes;
    {
        std::lock_guard<std::recursive_mutex> dbLock(db->mutex());
        for (auto& entry : db->getNodeDict()) {
            Copy c{entry.second->get_nwk_addr(), {}, entry.second->getEndPointList()};
            std::memcpy(c.ieee, entry.second->get_ieee_addr(), 8);
            nodes.push_back(c);
        }
    }
    Resource* net = resources.net;
    onTreeThread([this, net, nodes] {
        Resource* wsnnodes = pRESTServer->findResource(net, "wsnnodes");
        for (const Copy& c : nodes) {
            Node copy(c.nwk, c.ieee);
            Resource* byShort = createNodeResources(net, &copy);
            Resource* byIeee = wsnnodes != nullptr
                                   ? pRESTServer->findResource(wsnnodes, ieeeName(c.ieee))
                                   : nullptr;
            for (Resource* folder : {byShort, byIeee}) {
                if (folder == nullptr) {
                    continue;
                }
                Resource* services = pRESTServer->findResource(folder, "services");
                for (int ep : c.endPoints) {
                    if (services != nullptr &&
                        pRESTServer->findResource(services, endPointName(ep)) == nullptr) {
                        createFolder(services, endPointName(ep).c_str(),
                                     &RESTBroker::sServiceDescriptor_Req, ep);
                    }
                }
            }
        }
    });
    pruneNodeFoldersLater();
}

void RESTBroker::leaveCommandDeleteResources(unsigned short shortAddress) {
    leaveCommandDeleteResources(shortAddress, false);
}

void RESTBroker::leaveCommandDeleteResources(unsigned short shortAddress, bool fromAgentThread) {
    std::string ieee;
    EventSubject removed;
    std::string removedDoc;
    {
        std::lock_guard<std::recursive_mutex> dbLock(pOrqDb->mutex());
        Node* node = pOrqDb->findNodeByNwkAddr(shortAddress);
        if (node == nullptr) {
            ORQ_LOG(*pLogger, INFO, "leaveCommandDeleteResources - node not found - %04x",
                    shortAddress);
            return;
        }
        if (node == pOrqDb->getRoot()) {
            // The gateway's own entry anchors the database: it is never removed.
            ORQ_LOG(*pLogger, WARN, "leaveCommandDeleteResources - %04x is the gateway, kept",
                    shortAddress);
            return;
        }
        removed = subjectOf(node);
        ieee = removed.ieee;
        removedDoc = pRESTServer->successReply(pXMLMsgComposer->createWSNNodeMsg(0, node));
        ORQ_LOG(*pLogger, INFO, "leaveCommandDeleteResources - Removing node %s, IEEE address %s",
                shortName(shortAddress).c_str(), ieee.c_str());
        // The database entry goes now, in the same step as the decision: no walk or list
        // composed meanwhile sees a node whose folders are on their way out.
        node->setKANodeTimer(KA_NO_TIMESTAMP);
        node->setnumOfPingsDone(0);
        pOrqDb->removeTranslationEntry(node->get_ieee_addr());
        pOrqDb->removeTranslationEntry(shortAddress);
        pOrqDb->removeNodeByNwkAddr(shortAddress);
    }
    publishEvent("node-removed", removed, removedDoc);
    const std::string shortAddr = shortName(shortAddress);
    if (fromAgentThread) {
        onTreeThread([this, ieee, shortAddr] { removeNodeFolders(ieee, shortAddr); });
    } else {
        removeNodeFolders(ieee, shortAddr);
    }
}

void RESTBroker::forgetResources(Resource* folder) {
    std::set<const Resource*> gone;
    std::vector<const Resource*> todo{folder};
    while (!todo.empty()) {
        const Resource* r = todo.back();
        todo.pop_back();
        gone.insert(r);
        todo.insert(todo.end(), r->children.begin(), r->children.end());
    }
    auto forget = [&gone](UriListenerHandback* handback) {
        auto* info = dynamic_cast<RESTCallbackInfo*>(handback);
        if (info != nullptr && gone.count(info->refResource) != 0) {
            info->refResource = nullptr;
        }
    };
    Listeners& L = listeners;
    for (RBURIListenerList* list :
         {&L.startup, &L.serviceDiscovery, &L.serviceDescriptor, &L.nodeDescriptor,
          &L.getnodebinding, &L.bind, &L.unbind, &L.resetCommand, &L.leaveCommand, &L.permitJoin,
          &L.freshness, &L.nodeAnnounce, &L.nodeInquiry, &L.nodeMgmt_Lqi, &L.allServices}) {
        list->forEachHandback(forget);
    }
}

// --- Aliases ---

void RESTBroker::listAddresses_Req(Resource* resource, const char*, Method method, const char*,
                                   std::string*, RESTSessionContext* session) {
    if (method != M_GET) {
        badMethod(resource, session);
    }
    DiscoveryAgentT::RetrieveNodesCtxt ctx(session->getSessionId(), this,
                                           &RESTBroker::listAddresses_RspCb, nullptr);
    pDAgent->retrieveNodes(&ctx);
}

void RESTBroker::listAllAddresses_Req(Resource* resource, const char*, Method method, const char*,
                                      std::string*, RESTSessionContext* session) {
    if (method != M_GET) {
        badMethod(resource, session);
    }
    DiscoveryAgentT::RetrieveNodesCtxt ctx(session->getSessionId(), this,
                                           &RESTBroker::listAllAddresses_RspCb, nullptr);
    pDAgent->retrieveNodes(&ctx);
}

void* RESTBroker::listAddresses_RspCb(ZbNetDb* db, int sessionId, RPCReqStatus* status) {
    const int all = status->getFResult();
    return respondKept("listAddresses_RspCb", sessionId, status, kLogDocument, kept.aliases, db,
                       all, [&] { return pXMLMsgComposer->createAliasesMsg(all, db); });
}

void* RESTBroker::listAllAddresses_RspCb(ZbNetDb* db, int sessionId, RPCReqStatus* status) {
    // Every node, active or not.
    return respondKept("listAllAddresses_RspCb", sessionId, status, kLogDocument, kept.allAliases,
                       db, -1, [&] { return pXMLMsgComposer->createAliasesMsg(-1, db); });
}

// --- The node list ---

void RESTBroker::wsnNodesList_Req(Resource* resource, const char*, Method method, const char* query,
                                  std::string*, RESTSessionContext* session) {
    if (method != M_GET) {
        badMethod(resource, session);
    }
    std::string mode;
    if (pQueryParser->getParameter("mode", query, mode)) {
        if (mode != "cache") {
            ORQ_LOG(*pLogger, INFO, "wsnNodesList_Req - queryString = %s unknown mode: %s", query,
                    mode.c_str());
            throw RESTException(BAD_PARAMETER, "Bad mode parameter");
        }
        ORQ_LOG(*pLogger, DEBUG,
                "wsnNodesList_Req - queryString = %s with cache parameter: no actual discovery "
                "needed",
                query);
        DiscoveryAgentT::RetrieveNodesCtxt ctx(session->getSessionId(), this,
                                               &RESTBroker::wsnNodesList_cache_RspCb, nullptr);
        pDAgent->retrieveNodes(&ctx);
        return;
    }
    ORQ_LOG(*pLogger, DEBUG,
            "wsnNodesList_Req - queryString = %s not containing mode parameter: start discovery",
            query);
    std::string freshnessValue;
    const bool freshness = pQueryParser->getParameter("freshness", query, freshnessValue);
    const bool announcements = pQueryParser->isParameterPresent("announcements", query);
    const bool inquiry = pQueryParser->isParameterPresent("inquiry", query);
    const bool lqi = pQueryParser->isParameterPresent("lqi", query);
    if (!session->callbackDestinationSet || session->callbackDestination.empty()) {
        ORQ_LOG(*pLogger, INFO,
                "wnsnodesList_Req - query not containing callback destination -> WRONG REQUEST");
        throw RESTException(PARAMETER_MISSING, "Missing callbackDestination parameter");
    }
    requireTimeout(kNodeList, session);
    ORQ_LOG(*pLogger, DEBUG, "wnsnodesList_Req - %s - %s - %s - %s",
            freshness ? "FRESHNESS_ON" : "FRESHNESS_OFF",
            announcements ? "ANNOUNCEMENTS_ON" : "ANNOUNCEMENTS_OFF",
            inquiry ? "INQUIRY_ON" : "INQUIRY_OFF", lqi ? "LQI_ON" : "LQI_OFF");
    if (!freshness && !announcements && !inquiry && !lqi) {
        ORQ_LOG(*pLogger, DEBUG, "wsnNodesList_Req - removing all uriListeners");
        listeners.nodeInquiry.removeListeners();
        listeners.nodeMgmt_Lqi.removeListeners();
        restResponse("wsnNodesList_Req", session->getSessionId(), std::string(), NO_ERROR);
        return;
    }
    if (inquiry && lqi) {
        ORQ_LOG(*pLogger, INFO,
                "wsnNodesList_Req - queryString = %s cannot contain both 'inquiry' and 'lqi'",
                query);
        throw RESTException(BAD_PARAMETER, "Bad mode parameter");
    }
    if (announcements) {
        ORQ_LOG(*pLogger, DEBUG, "wnsnodesList_Req - announcements on");
        addSessionListener("wsnNodesList_Req", &listeners.nodeAnnounce, session);
    }
    if (freshness) {
        ORQ_LOG(*pLogger, DEBUG, "wnsnodesList_Req - nodeFreshness on");
        addSessionListener("wsnNodesList_Req", &listeners.freshness, session);
        ORQ_LOG(*pLogger, DEBUG, "wnsnodesList_Req - FreshnessValue from HTTP GET: %s",
                freshnessValue.c_str());
        const int seconds = std::atoi(freshnessValue.c_str());
        if (seconds != 0) {
            pDAgent->setKAthreshold(seconds);
        }
    }
    if (inquiry) {
        ORQ_LOG(*pLogger, DEBUG, "wnsnodesList_Req - inquiry on");
        addSessionListener("wsnNodesList_Req", &listeners.nodeInquiry, session);
    } else if (lqi) {
        ORQ_LOG(*pLogger, DEBUG, "wnsnodesList_Req - lqi on");
        addSessionListener("wsnNodesList_Req", &listeners.nodeMgmt_Lqi, session);
    }
}

void* RESTBroker::wsnNodesList_cache_RspCb(ZbNetDb* db, int sessionId, RPCReqStatus* status) {
    return respondKept(
        "wsnNodesList_cache_RspCb", sessionId, status, kPlainResponse, kept.nodeList, db, 0,
        [&] { return pXMLMsgComposer->createWSNNodesListMsg(status->getFResult(), db); });
}

void RESTBroker::nodeInquiryAttach(RBURIListenerList* list, const uriListener_t& listener,
                                   int sessionId, bool) {
    ORQ_LOG(*pLogger, DEBUG, "nodeInquiryAttach");
    const RESTCallbackInfo* info = callbackInfoOf(listener);
    if (!list->running.load()) {
        // The folders stay: a walk keeps what it does not reach (pruned when it ends).
        const unsigned long timeout = info != nullptr ? agentTimeout(*info) : 0;
        ORQ_LOG(*pLogger, DEBUG, "nodeInquiryAttach - timeout value = %lu", timeout);
        ORQ_LOG(*pLogger, DEBUG, "nodeInquiryAttach - calling startInquiry");
        DiscoveryAgentT::InquiryCtxt ctx(sessionId, this, &RESTBroker::wsnNodesList_RspCb,
                                         &RESTBroker::wsnNodesList_NtfCb);
        startOneShot(list, listener, [&] { return pDAgent->startInquiry(timeout, &ctx); });
        return;
    }
    // A listener joining a running inquiry hears of the nodes found so far. They are read
    // from the database directly: asking the agent for its node list would end the inquiry.
    std::vector<std::string> docs;
    {
        std::lock_guard<std::recursive_mutex> dbLock(pOrqDb->mutex());
        soFarBuffer = pOrqDb;
        for (auto& entry : soFarBuffer->getNodeDict()) {
            docs.push_back(pXMLMsgComposer->createWSNNodeMsg(0, entry.second));
        }
    }
    for (const std::string& doc : docs) {
        pRESTServer->restSuccess(doc, &listener);
    }
}

void RESTBroker::nodeInquiryDetach(RBURIListenerList* list) {
    ORQ_LOG(*pLogger, DEBUG, "nodeInquiryDetach");
    cancelOnLastDetach(list, false, [this] {
        DiscoveryAgentT::CancelInquiryCtxt ctx(
            -1, this, &RESTBroker::wsnNodesList_cancelInquiry_RspCb, nullptr);
        pDAgent->cancelInquiry(&ctx);
    });
}

void* RESTBroker::wsnNodesList_RspCb(int sessionId, RPCReqStatus* status) {
    if (status->getReturnValue() != AGENT_SUCCESS) {
        restResponse("wsnNodesList_RspCb", sessionId, std::string(), nullptr, status);
    }
    return nullptr;
}

void* RESTBroker::wsnNodesList_NtfCb(Node* node, RPCReqStatus* status) {
    ORQ_LOG(*pLogger, DEBUG,
            "wnsnodesList_NtfCb - RPCReqStatus - fState = %d - fResult = %d - fReturnValue = %d",
            status->getFState(), status->getFResult(), status->getReturnValue());
    std::string doc;
    if (status->getReturnValue() == AGENT_SUCCESS && node != nullptr) {
        ORQ_LOG(*pLogger, DEBUG, "wnsnodesList_NtfCb - createResource NODE - node address %04X ",
                node->get_nwk_addr());
        createNodeResourcesLater(node);
        doc = pXMLMsgComposer->createWSNNodeMsg(status->getFResult(), node);
    }
    auto deliver = [&] {
        restEvent("wsnNodesList_NtfCb", &listeners.nodeInquiry, doc, nullptr, status, node);
    };
    if (isEndOfProcedure(status)) {
        lastAnswer(&listeners.nodeInquiry, [&] {
            deliver();
            pruneNodeFoldersLater();
        });
    } else {
        deliver();
    }
    return nullptr;
}

void* RESTBroker::wsnNodesList_cancelInquiry_RspCb(int, RPCReqStatus* status) {
    ORQ_LOG(*pLogger, DEBUG, "wsnNodesList_cancelInquiry_RspCb - fReturnValue = %d",
            status->getReturnValue());
    return nullptr;
}

void RESTBroker::nodeMgmtLQIAttach(RBURIListenerList* list, const uriListener_t& listener,
                                   int sessionId, bool) {
    if (list->running.load()) {
        ORQ_LOG(*pLogger, INFO,
                "nodeMgmtLQIAttach - ATTENTION: Discovery still running, overwriting it!");
        return;
    }
    const RESTCallbackInfo* info = callbackInfoOf(listener);
    DiscoveryAgentT::MgmtLQICtxt ctx(sessionId, this, &RESTBroker::MgmtLQI_RspCb,
                                     &RESTBroker::MgmtLQI_NtfCb);
    const unsigned long timeout = info != nullptr ? agentTimeout(*info) : 0;
    startOneShot(list, listener, [&] { return pDAgent->MgmtLQI_Req(timeout, &ctx); });
}

void RESTBroker::nodeMgmtLQIDetach(RBURIListenerList* list) {
    cancelOnLastDetach(list, false, [this] {
        ORQ_LOG(*pLogger, DEBUG, "nodeMgmtLQIDetach - calling cancelMgmtLQI_Req");
        DiscoveryAgentT::CancelMgmtLQICtxt ctx(-1, this, &RESTBroker::cancelMgmtLQI_RspCb, nullptr);
        pDAgent->cancelMgmtLQI_Req(&ctx);
    });
}

void* RESTBroker::MgmtLQI_RspCb(int sessionId, RPCReqStatus* status) {
    if (status->getReturnValue() != AGENT_SUCCESS) {
        restResponse("MgmtLQI_RspCb", sessionId, std::string(), nullptr, status);
    }
    return nullptr;
}

void* RESTBroker::MgmtLQI_NtfCb(Node* node, RPCReqStatus* status) {
    std::string doc;
    if (status->getReturnValue() == AGENT_SUCCESS && node != nullptr) {
        createNodeResourcesLater(node);
        doc = pXMLMsgComposer->createWSNNodeMsg(status->getFResult(), node);
    }
    if (node != nullptr || status->getReturnValue() != AGENT_SUCCESS) {
        auto deliver = [&] {
            restEvent("MgmtLQI_NtfCb", &listeners.nodeMgmt_Lqi, doc, nullptr, status, node);
        };
        if (isEndOfProcedure(status)) {
            lastAnswer(&listeners.nodeMgmt_Lqi, [&] {
                deliver();
                ORQ_LOG(*pLogger, DEBUG,
                        "MgmtLQI_NtfCb - MgmtLQI completed -> remove uriListeners");
            });
        } else {
            deliver();
        }
    } else if (status->getFState() == End) {
        ORQ_LOG(*pLogger, DEBUG,
                "MgmtLQI_NtfCb - MgmtLQI completed (no notifications to be sent) -> remove "
                "uriListeners");
        endListWork(&listeners.nodeMgmt_Lqi);
    }
    return nullptr;
}

void* RESTBroker::cancelMgmtLQI_RspCb(int, RPCReqStatus* status) {
    ORQ_LOG(*pLogger, DEBUG, "cancelMgmtLQI_RspCb - fReturnValue = %d", status->getReturnValue());
    return nullptr;
}

// --- Announcements and freshness ---

void RESTBroker::nodeAnnounceAttach(RBURIListenerList* list, const uriListener_t&, int sessionId,
                                    bool) {
    if (list->running.load()) {
        ORQ_LOG(*pLogger, DEBUG, "nodeAnnounceAttach - Already called - just send response");
        restResponse("nodeAnnounceAttach", sessionId, std::string(), NO_ERROR);
        return;
    }
    DiscoveryAgentT::StartAnnouncementsModeCtxt ctx(sessionId, this,
                                                    &RESTBroker::wsnNodesList_StartAnnceMode_RspCb,
                                                    &RESTBroker::wsnNodeAnnce_NtfCb);
    list->running.store(true);
    pDAgent->startAnnouncementsMode(&ctx);
}

void RESTBroker::nodeAnnounceDetach(RBURIListenerList* list) {
    cancelOnLastDetach(list, isAMLocallyEnabled, [this] {
        DiscoveryAgentT::CancelAnnouncementsModeCtxt ctx(
            -1, this, &RESTBroker::wsnNodesList_cancelMode_RspCb, nullptr);
        pDAgent->cancelAnnouncementsMode(&ctx);
    });
}

void RESTBroker::nodeFreshnessAttach(RBURIListenerList* list, const uriListener_t& listener,
                                     int sessionId, bool) {
    if (list->running.load()) {
        restResponse("nodeFreshnessAttach", sessionId, std::string(), NO_ERROR);
        return;
    }
    const RESTCallbackInfo* info = callbackInfoOf(listener);
    std::string value;
    if (info != nullptr && info->refRestSessionCtxt != nullptr) {
        pQueryParser->getParameter("freshness", info->refRestSessionCtxt->getQueryStr(), value);
    }
    ORQ_LOG(*pLogger, DEBUG, "nodeFreshnessAttach - KAthresholdValue = %s - (int value = %d",
            value.c_str(), std::atoi(value.c_str()));
    DiscoveryAgentT::StartFreshnessModeCtxt ctx(sessionId, this,
                                                &RESTBroker::wsnNodesList_StartFreshnessMode_RspCb,
                                                &RESTBroker::wsnNodeFreshnessAnnce_NtfCb);
    list->running.store(true);
    pDAgent->startFreshnessMode(&ctx);
}

void RESTBroker::nodeFreshnessDetach(RBURIListenerList* list) {
    cancelOnLastDetach(list, isFMLocallyEnabled, [this] {
        DiscoveryAgentT::CancelFreshnessModeCtxt ctx(
            -1, this, &RESTBroker::wsnNodesList_cancelMode_RspCb, nullptr);
        pDAgent->cancelFreshnessMode(&ctx);
    });
}

void* RESTBroker::wsnNodesList_StartAnnceMode_RspCb(int sessionId, RPCReqStatus* status) {
    return respond("wsnNodesList_StartAnnceMode_RspCb", sessionId, status, kSkipLocal);
}

void* RESTBroker::wsnNodesList_StartFreshnessMode_RspCb(int sessionId, RPCReqStatus* status) {
    // The broker's own start-up request is logged under the announcement mode's name.
    if (localRequest("wsnNodesList_StartAnnceMode_RspCb", sessionId)) {
        return nullptr;
    }
    return respond("wsnNodesList_StartFreshnessMode_RspCb", sessionId, status, kPlainResponse);
}

void* RESTBroker::wsnNodesList_cancelMode_RspCb(int, RPCReqStatus* status) {
    ORQ_LOG(*pLogger, DEBUG, "wsnNodesList_cancelMode_RspCb - fReturnValue = %d",
            status->getReturnValue());
    return nullptr;
}

void* RESTBroker::wsnNodeAnnce_NtfCb(Node* node, RPCReqStatus* status) {
    std::string doc;
    if (status->getReturnValue() == AGENT_SUCCESS && node != nullptr) {
        createNodeResourcesLater(node);
        doc = pXMLMsgComposer->createWSNNodeMsg(status->getFResult(), node);
    }
    restEvent("wsnNodeAnnce_NtfCb", &listeners.nodeAnnounce, doc, nullptr, status, node);
    return nullptr;
}

void* RESTBroker::wsnNodeFreshnessAnnce_NtfCb(Node* node, RPCReqStatus* status) {
    std::string doc;
    if (status->getReturnValue() == AGENT_SUCCESS && node != nullptr) {
        doc = pXMLMsgComposer->createWSNNodeMsg(status->getFResult(), node);
    }
    restEvent("wsnNodeFreshnessAnnce_NtfCb", &listeners.freshness, doc, nullptr, status, node);
    if (node != nullptr) {
        // A node reported dead leaves the tree and the database.
        leaveCommandDeleteResources(node->get_nwk_addr(), true);
    }
    return nullptr;
}

// --- A node folder: ZDP commands and leave ---

void RESTBroker::ndRoot_Req(Resource* resource, const char*, Method method, const char* query,
                            std::string* body, RESTSessionContext* session) {
    ORQ_LOG(*pLogger, DEBUG, "ndRoot_Req - INVOKED");
    if (method == M_GET) {
        ORQ_LOG(*pLogger, DEBUG, "ndRoot_Req - defaultHandler invoked");
        pRESTServer->defaultHandler(resource, session);
        return;
    }
    if (method == M_POST) {
        ndZdpCommand(resource, body, session);
        return;
    }
    if (method != M_DELETE) {
        // Nothing is done, but the exchange is still answered once.
        ORQ_LOG(*pLogger, INFO, "ndRoot_Req - No action associated to this event");
        badMethod(resource, session);
    }
    ORQ_LOG(*pLogger, DEBUG, "ndRoot - DELETE method invoked");
    const bool removeChildren = pQueryParser->isParameterPresent("remove-children", query);
    const bool rejoin = pQueryParser->isParameterPresent("rejoin", query);
    if (!removeChildren) {
        ORQ_LOG(*pLogger, DEBUG,
                "ndLeave_Req - queryString = %s not containing remove-children parameter", query);
    }
    if (!rejoin) {
        ORQ_LOG(*pLogger, DEBUG, "ndLeave_Req - queryString = %s not containing rejoin parameter",
                query);
    }
    const auto address = static_cast<unsigned short>(resource->data);
    ORQ_LOG(*pLogger, DEBUG, "ndLeave_Req - NWK address %d", address);
    if (remoteProcedureQueued(kLeave, session)) {
        return;
    }
    ManagementAgentT::leaveCommandCtxt ctx(session->getSessionId(), this,
                                           &RESTBroker::ndLeaveCommand_RspCb, nullptr);
    if (pMngmtAgent->leaveRequest(address, removeChildren, rejoin, &ctx) != AGENT_SUCCESS) {
        return;
    }
    if (address == 0xFFFF || address == 0xFFFC) {
        Resource* wsnnodes = pRESTServer->findResource(resources.net, "wsnnodes");
        if (wsnnodes != nullptr) {
            forgetResources(wsnnodes);
            pRESTServer->clearResource(wsnnodes);
        }
        pOrqDb->clearAllButRoot();
        pDAgent->clearDeadingNodeList();
        return;
    }
    leaveCommandDeleteResources(address, false);
}

void RESTBroker::ndZdpCommand(Resource* resource, std::string* body, RESTSessionContext* session) {
    requireTimeout(kZdpCommand, session);
    if (session->callbackDestinationSet) {
        ORQ_LOG(*pLogger, DEBUG, "ndRoot_Req - callbackDestination parameter %s",
                session->callbackDestination.c_str());
    } else {
        ORQ_LOG(*pLogger, DEBUG, "ndRoot_Req - callbackDestination(urilistener) parameter missing");
    }
    Message msg;
    if (body == nullptr || pXMLMsgParser->getZDPCommandToWSN(&msg, body->c_str()) != 0) {
        throw RESTException(WRONG_REQUEST, "Message not sent: Error parsing XML message");
    }
    (void)resource;
    unsigned char status = 0;
    unsigned int txTime = 0;
    if (pSAgent->send(&msg, status, txTime) != AGENT_SUCCESS) {
        throw RESTException(GENERIC_REST_ERROR, "Message not sent: Error sending ZDPCommand");
    }
    unsigned short root = 0;
    {
        std::lock_guard<std::recursive_mutex> dbLock(pOrqDb->mutex());
        Node* node = pOrqDb->getRoot();
        root = node != nullptr ? node->get_nwk_addr() : 0;
    }
    const unsigned char source[2] = {static_cast<unsigned char>(root & 0xFF),
                                     static_cast<unsigned char>(root >> 8)};
    msg.setSrcAddrMode(Message::ADDR_MODE_NWK);
    msg.setSrcAddr(source);
    restResponse("lsMessage_RspCb", session->getSessionId(),
                 pXMLMsgComposer->createZDPMessage(status, txTime, &msg), NO_ERROR);
}

void RESTBroker::leaveCommandAttach(RBURIListenerList* list, const uriListener_t& listener,
                                    int sessionId, bool) {
    if (list->running.load()) {
        ORQ_LOG(*pLogger, INFO, "leaveCommandAttach - Already running!");
        return;
    }
    const RESTCallbackInfo* info = callbackInfoOf(listener);
    if (info == nullptr || info->refResource == nullptr || info->refRestSessionCtxt == nullptr) {
        return;
    }
    const char* query = info->refRestSessionCtxt->getQueryStr();
    const auto address = static_cast<unsigned short>(info->refResource->data);
    ManagementAgentT::leaveCommandCtxt ctx(sessionId, this, &RESTBroker::ndLeaveCommand_RspCb,
                                           &RESTBroker::ndLeaveCommand_NtfCb);
    pendingLeaveAddress.store(address);
    const bool removeChildren = pQueryParser->isParameterPresent("remove-children", query);
    const bool rejoin = pQueryParser->isParameterPresent("rejoin", query);
    startOneShot(list, listener,
                 [&] { return pMngmtAgent->leaveRequest(address, removeChildren, rejoin, &ctx); });
}

void* RESTBroker::ndLeaveCommand_RspCb(int sessionId, RPCReqStatus* status) {
    ORQ_LOG(*pLogger, DEBUG, "ndLeaveCommand_RspCb - fResult = %d", status->getFResult());
    restResponse("nddLeaveRequest_RspCb", sessionId, std::string(), nullptr, status);
    return nullptr;
}

void* RESTBroker::ndLeaveCommand_NtfCb(unsigned char, int zigbeeStatus, RPCReqStatus* status) {
    oneShotEvent("ndLeaveCommand_NtfCb", &listeners.leaveCommand, std::string(), status, nullptr,
                 kDropped);
    // The node confirmed its leave: it has no folder and no database entry any more.
    if (zigbeeStatus == 0 && status->getReturnValue() == AGENT_SUCCESS) {
        leaveCommandDeleteResources(pendingLeaveAddress.load(), true);
    }
    return nullptr;
}

// --- Node and power descriptors ---

void RESTBroker::nodeDescriptor_Req(Resource* resource, const char*, Method method, const char*,
                                    std::string*, RESTSessionContext* session) {
    if (method != M_GET) {
        badMethod(resource, session);
    }
    if (remoteProcedureQueued(kNodeDescriptor, session)) {
        return;
    }
    ORQ_LOG(*pLogger, DEBUG, "nodedescriptor_Req - getNodeDescriptor (blocking procedure)");
    DiscoveryAgentT::NodeDescriptorCtxt ctx(session->getSessionId(), this,
                                            &RESTBroker::nodeDescriptor_RspCb, nullptr);
    pDAgent->getNodeDescriptor(agentTimeout(session->cbinfo),
                               static_cast<unsigned short>(resource->parent->data), &ctx);
}

void RESTBroker::nodeDescriptorAttach(RBURIListenerList* list, const uriListener_t& listener,
                                      int sessionId, bool) {
    if (list->running.load()) {
        ORQ_LOG(*pLogger, WARN,
                "nodeDescriptorAttach - WARNING: Another request is already running!");
        return;
    }
    const RESTCallbackInfo* info = callbackInfoOf(listener);
    if (info == nullptr || info->refResource == nullptr) {
        return;
    }
    const auto address = static_cast<unsigned short>(info->refResource->parent->data);
    ORQ_LOG(*pLogger, DEBUG, "nodeDescriptorAttach - timeout value = %lu, NodeId = %04x",
            agentTimeout(*info), address);
    DiscoveryAgentT::NodeDescriptorCtxt ctx(sessionId, this, &RESTBroker::nodeDescriptor_RspCb,
                                            &RESTBroker::nodeDescriptor_NtfCb);
    startOneShot(list, listener,
                 [&] { return pDAgent->getNodeDescriptor(agentTimeout(*info), address, &ctx); });
}

void* RESTBroker::nodeDescriptor_RspCb(unsigned short, unsigned char*, NodeDescriptor* descriptor,
                                       int sessionId, RPCReqStatus* status) {
    // The local request is logged under the simple descriptor's name.
    if (localRequest("sServiceDescriptor_RspCb", sessionId)) {
        return nullptr;
    }
    return respond(
        "nodeDescriptor_RspCb", sessionId, status, kBareAcceptance, descriptor != nullptr,
        [&] { return pXMLMsgComposer->createNodeDescMsg(status->getFResult(), descriptor); });
}

void* RESTBroker::nodeDescriptor_NtfCb(Node* node, RPCReqStatus* status) {
    std::string doc;
    if (status->getReturnValue() == AGENT_SUCCESS && node != nullptr) {
        doc = pXMLMsgComposer->createNodeDescMsg(status->getFResult(), node);
    }
    std::printf("nodeDescriptor_NtfCb - xmlResponse = %s\r\n", doc.c_str());
    std::fflush(stdout);
    oneShotEvent("nodeDescriptor_NtfCb", &listeners.nodeDescriptor, doc, status);
    return nullptr;
}

void RESTBroker::ndPowerDescriptor_Req(Resource* resource, const char*, Method method, const char*,
                                       std::string*, RESTSessionContext* session) {
    if (method != M_GET) {
        badMethod(resource, session);
    }
    DiscoveryAgentT::PowerDescriptorCtxt ctx(session->getSessionId(), this,
                                             &RESTBroker::ndPowerDescriptor_RspCb, nullptr);
    pDAgent->getPowerDescriptor(static_cast<unsigned short>(resource->parent->data), &ctx);
}

void* RESTBroker::ndPowerDescriptor_RspCb(unsigned short address, unsigned char* ieee,
                                          PowerDescriptor* descriptor, int sessionId,
                                          RPCReqStatus* status) {
    return respond("ndPowerDescriptor_RspCb", sessionId, status, kLogDocument,
                   descriptor != nullptr, [&] {
                       return pXMLMsgComposer->createPowerDescMsg(status->getFResult(), address,
                                                                  ieee, descriptor);
                   });
}

void RESTBroker::ndLQIInformation_Req(Resource*, const char*, Method, const char*, std::string*,
                                      RESTSessionContext* session) {
    respondKept("ndLQIInformation_Req", session->getSessionId(), nullptr, kPlainResponse, kept.lqi,
                pOrqDb, 0, [this] { return pXMLMsgComposer->createLQIInformationMsg(pOrqDb); });
}
