// RESTBroker: the message and callback resources. Connections that push every message of an
// end point (or of all of them) to listener URIs, in either message format; filtered
// callbacks; polling and deleting what was registered; sending ZCL and APS messages; reading
// the cached messages.
//
// The service agent's notifications run on the reader thread with the agent's lock held:
// they only compose, keep the document as the list's last message and queue the POSTs.

#include <vector>

#include "CRESTBroker.h"

namespace {

bool isClusterGroup(const std::string& group) {
    return group == "ZDP" || group == "ZCL" || group == "Discovery";
}

// Sending needs a time-out (its missing one is not logged) and takes no listener.
constexpr RESTBroker::RemoteProcedure kSendMessage{"lsMessage_Req",   nullptr, PARAMETER_MISSING,
                                                   nullptr,           nullptr, nullptr,
                                                   PARAMETER_MISSING, nullptr};

}  // namespace

// --- Registering through "callbacks" ---

void RESTBroker::callbacks_Req(Resource* resource, const char*, Method method, const char*,
                               std::string* body, RESTSessionContext* session) {
    if (method == M_GET) {
        std::vector<std::string> ids;
        for (const Resource* child : resource->children) {
            ids.push_back(child->name());
        }
        restResponse("callbacks_Req", session->getSessionId(),
                     pXMLMsgComposer->createCallbacksMsg(ids), NO_ERROR);
        return;
    }
    if (method != M_POST) {
        badMethod(resource, session);
    }
    Callback cb;
    switch (pXMLMsgParser->getCallback(&cb, body != nullptr ? body->c_str() : "")) {
        case XMLMsgParser::PARSE_OK:
            break;
        case XMLMsgParser::PARSE_BAD_DOCUMENT:
            throw RESTException(BAD_PARAMETER, "Bad Callback XML message");
        case XMLMsgParser::PARSE_MISSING_ELEMENT:
            throw RESTException(PARAMETER_MISSING, "Missing Callback XML Message");
        default:
            throw RESTException(WRONG_REQUEST, "Error in Callback XML element");
    }
    const Filter& f = cb.filter;
    const MessageSpecification& ms = f.messageSpec;
    if ((f.isDefined && f.levelSpec.level != "APSLevel") ||
        (ms.isDefined && ms.isAPSClusterGroupDefined && !isClusterGroup(ms.APSClusterGroup)) ||
        (ms.isDefined && ms.isAPSClusterIdentifierDefined) ||
        (cb.action.isDefined && !cb.action.decodeSpecification.decodeLevel[DecodeAPS])) {
        throw RESTException(FEATURE_NOT_SUPPORTED, nullptr);
    }
    // Notifications go to the Action's forwarding URI; without one nothing could ever reach
    // the client.
    const std::string url = cb.action.isDefined ? cb.action.forwardingSpecification : "";
    if (url.empty()) {
        throw RESTException(PARAMETER_MISSING, "Missing callbackDestination parameter");
    }
    if (!isAllowedListenerURL(url)) {
        throw RESTException(BAD_PARAMETER, "Bad urilistener parameter");
    }
    const AddressSpecification& as = f.addressSpec;
    ListPtr list;
    if (!f.isDefined || (!as.isDefined && !ms.isDefined)) {
        ORQ_LOG(*pLogger, DEBUG,
                "callbacks_Req - Callback considered as a shorthand - EndPoint unset");
        ServiceAgentT::CallbackCtxt ctx(session->getSessionId(), this,
                                        &RESTBroker::lndAllServicesWsnConnection_RspCb,
                                        &RESTBroker::lndAllServicesWsnConnection_NtfCb);
        if (pSAgent->createCallback(ALL_ENDPOINTS, &ctx) != AGENT_SUCCESS) {
            throw RESTException(GENERIC_REST_ERROR, "Endpoint not registered");
        }
        addListenerFor("callbacks_Req", &listeners.allServices, url, session);
        return;
    }
    const bool destinationOnly = as.isDefined && as.isAPSDestinationEndpointDefined &&
                                 !as.isNWKSourceAddressDefined && !as.isAPSSourceEndpointDefined &&
                                 !ms.isDefined;
    if (as.isDefined && as.isAPSDestinationEndpointDefined &&
        !pSAgent->isEndpointAvailable(as.APSDestinationEndpoint)) {
        throw RESTException(WRONG_REQUEST,
                            "Trying to register a callback on a non existing Endpoint");
    }
    if (destinationOnly) {
        ORQ_LOG(*pLogger, DEBUG,
                "callbacks_Req - Callback considered as a shorthand - EndPoint set");
        list = getOrCreateList(listeners.service, as.APSDestinationEndpoint,
                               &RESTBroker::serviceAttach, &RESTBroker::serviceDetach);
    } else {
        int id = 0;
        {
            std::lock_guard<std::mutex> lock(mux);
            id = customizedCallbackIdCounter++;
        }
        list = getOrCreateList(listeners.customizedCallback, id, &RESTBroker::callbackAttach,
                               &RESTBroker::callbackDetach);
    }
    addListenerFor("callbacks_Req", list.get(), url, session);
}

void RESTBroker::replyCallbackIdentifier(const char* name, int sessionId,
                                         const uriListener_t& listener) {
    restResponse(name, sessionId, pXMLMsgComposer->createCallbackIdentifierMsg(listener.id.c_str()),
                 NO_ERROR);
}

// A refused agent connection: the waiting request hears why, and the listener goes again.
void RESTBroker::refuseConnection(const char* name, RBURIListenerList* list,
                                  const uriListener_t& listener, int sessionId, int rc) {
    RPCReqStatus status(End, 1, static_cast<AgentError>(rc));
    restResponse(name, sessionId, std::string(), nullptr, &status);
    list->removeListener(listener.id);
}

void RESTBroker::callbackAttach(RBURIListenerList* list, const uriListener_t& listener,
                                int sessionId, bool update) {
    if (!update && !list->running.load()) {
        const RESTCallbackInfo* info = callbackInfoOf(listener);
        Callback cb;
        if (info != nullptr && info->refRestSessionCtxt != nullptr &&
            pXMLMsgParser->getCallback(&cb, info->refRestSessionCtxt->rxData()->c_str()) != 0) {
            ORQ_LOG(*pLogger, WARN, "callbackAttach - WARNING: callback document not read again");
        }
        cb.internalId = list->data;
        ServiceAgentT::CallbackCtxt ctx(sessionId, this, &RESTBroker::callbacks_RspCb,
                                        &RESTBroker::callbacks_NtfCb);
        const int rc = pSAgent->createCallback(&cb, &ctx);
        if (rc != AGENT_SUCCESS) {
            refuseConnection("callbackAttach", list, listener, sessionId, rc);
            return;
        }
        list->running.store(true);
    } else if (!update) {
        ORQ_LOG(*pLogger, WARN, "callbackAttach - WARNING");
    }
    createCallbackResources(resources.callbacks, listener, list);
    replyCallbackIdentifier("callbackAttach", sessionId, listener);
}

void RESTBroker::callbackDetach(RBURIListenerList* list) {
    checkWsncDetach(list, list->data);
    syncCallbackResources(resources.callbacks, list);
    if (list->empty() && list->running.exchange(false)) {
        ServiceAgentT::CallbackDeleteCtxt ctx(
            -1, this, &RESTBroker::lsWsnConnection_deleteCallback_RspCb, nullptr);
        pSAgent->deleteCustomizedCallback(list->data, &ctx);
        // The identifier is never given again: the empty list goes.
        std::lock_guard<std::mutex> lock(mux);
        auto it = listeners.customizedCallback.find(list->data);
        if (it != listeners.customizedCallback.end() && it->second.get() == list) {
            listeners.customizedCallback.erase(it);
        }
    }
}

// --- Connections on one end point, in both message formats ---

void RESTBroker::connectionAttach(RBURIListenerList* list, const uriListener_t& listener,
                                  int sessionId, bool update, bool secondFormat) {
    const int ep = list->data;
    if (!update && !list->running.load()) {
        ServiceAgentT::CallbackCtxt ctx(sessionId, this, &RESTBroker::lsWsnConnection_RspCb,
                                        &RESTBroker::lsWsnConnection_NtfCb);
        const int rc = pSAgent->createCallback(ep, &ctx);
        if (rc != AGENT_SUCCESS) {
            refuseConnection("serviceAttach", list, listener, sessionId, rc);
            return;
        }
        list->running.store(true);
    }
    if (!update) {
        checkWsncAttach(list, listener, ep);
    }
    if (!secondFormat) {
        createCallbackResources(resources.callbacks, listener, list);
    }
    replyCallbackIdentifier("serviceAttach", sessionId, listener);
}

void RESTBroker::serviceAttach(RBURIListenerList* list, const uriListener_t& listener,
                               int sessionId, bool update) {
    connectionAttach(list, listener, sessionId, update, false);
}

void RESTBroker::serviceAttach_BC(RBURIListenerList* list, const uriListener_t& listener,
                                  int sessionId, bool update) {
    connectionAttach(list, listener, sessionId, update, true);
}

void RESTBroker::serviceDetach(RBURIListenerList* list) {
    const int ep = list->data;
    checkWsncDetach(list, ep);
    syncCallbackResources(resources.callbacks, list);
    if (!list->empty() || !list->running.exchange(false)) {
        return;
    }
    // Both message formats share the end point's one agent connection: it goes with the
    // last listener of the two lists, not with the first list that empties.
    ListPtr plain = findList(listeners.service, ep);
    ListPtr second = findList(listeners.service_BC, ep);
    for (const ListPtr& other : {plain, second}) {
        if (other != nullptr && other.get() != list && other->running.load()) {
            return;
        }
    }
    ServiceAgentT::CallbackDeleteCtxt ctx(
        -1, this, &RESTBroker::lsWsnConnection_deleteCallback_RspCb, nullptr);
    pSAgent->deleteCallback(ep, &ctx);
}

void RESTBroker::lsWsnConnection_Req(Resource* resource, const char*, Method method, const char*,
                                     std::string*, RESTSessionContext* session) {
    if (method != M_POST) {
        badMethod(resource, session);
    }
    openConnection("lsWsnConnection_Req", listeners.service, &RESTBroker::serviceAttach, resource,
                   session);
}

void RESTBroker::lsWsnConnection_BC_Req(Resource* resource, const char*, Method method, const char*,
                                        std::string*, RESTSessionContext* session) {
    if (method != M_GET) {
        badMethod(resource, session);
    }
    openConnection("lsWsnConnection_BC_Req", listeners.service_BC, &RESTBroker::serviceAttach_BC,
                   resource, session);
}

void RESTBroker::openConnection(const char* name, ListMap& map, RBAttach attach, Resource* resource,
                                RESTSessionContext* session) {
    if (!session->callbackDestinationSet || session->callbackDestination.empty()) {
        throw RESTException(PARAMETER_MISSING, "Missing callbackDestination parameter");
    }
    const int ep = static_cast<int>(resource->parent->data);
    ListPtr list = getOrCreateList(map, ep, attach, &RESTBroker::serviceDetach);
    addSessionListener(name, list.get(), session);
}

void* RESTBroker::lsWsnConnection_RspCb(int, int, RPCReqStatus*) {
    return nullptr;
}

void* RESTBroker::lsWsnConnection_deleteCallback_RspCb(int, int, RPCReqStatus*) {
    return nullptr;
}

void* RESTBroker::lsWsnConnection_NtfCb(int endPoint, Message* msg, RPCReqStatus* status) {
    if (ListPtr list = findList(listeners.service, endPoint)) {
        const std::string doc = pXMLMsgComposer->createRXMessageMsg(msg);
        list->setLastMessage(doc);
        restEvent("lsWsnConnection_NtfCb", list.get(), doc, nullptr, status);
    }
    if (ListPtr list = findList(listeners.service_BC, endPoint)) {
        const std::string doc = pXMLMsgComposer->createRXMessageMsg_BC(msg);
        list->setLastMessage(doc);
        restEvent_BC("lsWsnConnection_NtfCb", list.get(), doc, status);
    }
    return nullptr;
}

void* RESTBroker::callbacks_RspCb(int, int, RPCReqStatus*) {
    return nullptr;
}

void* RESTBroker::callbacks_NtfCb(int id, Message* msg, RPCReqStatus* status) {
    if (msg == nullptr) {
        return nullptr;
    }
    if (ListPtr list = findList(listeners.customizedCallback, id)) {
        const std::string doc = pXMLMsgComposer->createRXMessageMsg(msg);
        list->setLastMessage(doc);
        restEvent("callbacks_NtfCb", list.get(), doc, nullptr, status);
    }
    return nullptr;
}

// --- Connections on all end points ---

void RESTBroker::lndAllServicesWsnConnection_Req(Resource* resource, const char*, Method method,
                                                 const char*, std::string*,
                                                 RESTSessionContext* session) {
    if (method != M_POST) {
        badMethod(resource, session);
    }
    if (!session->callbackDestinationSet || session->callbackDestination.empty()) {
        throw RESTException(PARAMETER_MISSING, "Missing callbackDestination parameter");
    }
    ServiceAgentT::CallbackCtxt ctx(session->getSessionId(), this,
                                    &RESTBroker::lndAllServicesWsnConnection_RspCb,
                                    &RESTBroker::lndAllServicesWsnConnection_NtfCb);
    const int rc = pSAgent->createCallback(ALL_ENDPOINTS, &ctx);
    if (rc != AGENT_SUCCESS) {
        RPCReqStatus status(End, 1, static_cast<AgentError>(rc));
        restResponse("lndAllServicesWsnConnection_Req", session->getSessionId(), std::string(),
                     nullptr, &status);
        return;
    }
    ORQ_LOG(*pLogger, DEBUG,
            "lndAllServicesWsnConnection_Req - Connection created - ALL_ENDPOINTS - Add "
            "UriListener %s",
            session->callbackDestination.c_str());
    addSessionListener("lndAllServicesWsnConnection_Req", &listeners.allServices, session);
}

void RESTBroker::allServicesAttach(RBURIListenerList* list, const uriListener_t& listener,
                                   int sessionId, bool update) {
    if (!update) {
        checkWsncAttach(list, listener, ALL_ENDPOINTS);
        createCallbackResources(resources.callbacks, listener, list);
    }
    replyCallbackIdentifier("allServicesAttach", sessionId, listener);
}

void RESTBroker::allServicesDetach(RBURIListenerList* list) {
    checkWsncDetach(list, ALL_ENDPOINTS);
    syncCallbackResources(resources.callbacks, list);
}

void* RESTBroker::lndAllServicesWsnConnection_RspCb(int, int, RPCReqStatus*) {
    return nullptr;
}

void* RESTBroker::lndAllServicesWsnConnection_NtfCb(int, Message* msg, RPCReqStatus*) {
    // Kept for polling ("callbacks"/(listener id)); nothing is pushed.
    listeners.allServices.setLastMessage(pXMLMsgComposer->createRXMessageMsg(msg));
    return nullptr;
}

// --- Polling and deleting a callback ---

void RESTBroker::cbCallback_Req(Resource* resource, const char*, Method method, const char*,
                                std::string*, RESTSessionContext* session) {
    auto* list = reinterpret_cast<RBURIListenerList*>(resource->data);
    if (method == M_GET) {
        const std::string last = list->getLastMessage();
        if (last.empty()) {
            throw RESTException(NO_MESSAGE_YET, nullptr);
        }
        pRESTServer->restSuccess(pXMLMsgComposer->createPolledAPSMessage(last), session);
        return;
    }
    if (method != M_DELETE) {
        badMethod(resource, session);
    }
    // The detach removes this resource: nothing below may touch it.
    const std::string id = resource->name();
    list->removeListener(id);
    restResponse("cbCallback_Req", session->getSessionId(), std::string(), NO_ERROR);
}

// --- Cached messages and sending ---

void RESTBroker::lsMessage_Req(Resource* resource, const char*, Method method, const char*,
                               std::string* body, RESTSessionContext* session) {
    if (method == M_GET) {
        ServiceAgentT::LastRxMsgCtxt ctx(session->getSessionId(), this,
                                         &RESTBroker::lsMessage_RspCb, nullptr);
        pSAgent->getLastRxMsg(static_cast<int>(resource->parent->parent->data), &ctx);
        return;
    }
    if (method != M_POST) {
        badMethod(resource, session);
    }
    sendMessage(body, session);
}

void RESTBroker::lndAllServicesMessage_Req(Resource* resource, const char*, Method method,
                                           const char*, std::string*, RESTSessionContext* session) {
    if (method != M_GET) {
        badMethod(resource, session);
    }
    ServiceAgentT::LastRxMsgCtxt ctx(session->getSessionId(), this,
                                     &RESTBroker::lndAllServicesMessage_RspCb, nullptr);
    pSAgent->getLastRxMsg(ALL_ENDPOINTS, &ctx);
}

void* RESTBroker::lsMessage_RspCb(Message* msg, int sessionId, RPCReqStatus* status) {
    return respond("lsMessage_RspCb", sessionId, status, kPlainResponse, msg != nullptr,
                   [&] { return pXMLMsgComposer->createRXMessageMsg(msg); });
}

void* RESTBroker::lndAllServicesMessage_RspCb(Message* msg, int sessionId, RPCReqStatus* status) {
    return respond("lndAllServicesMessage_RspCb", sessionId, status, kPlainResponse, msg != nullptr,
                   [&] { return pXMLMsgComposer->createRXMessageMsg(msg); });
}

void RESTBroker::sendMessage(std::string* body, RESTSessionContext* session) {
    const char* text = body != nullptr ? body->c_str() : "";
    Message zcl;
    Message aps;
    const bool isZcl = pXMLMsgParser->getZCLCommandToWSN(&zcl, text) == 0;
    if (!isZcl && pXMLMsgParser->getAPSMessageToWSN(&aps, text) != 0) {
        throw RESTException(WRONG_REQUEST, "Message not sent: Error parsing XML message");
    }
    requireTimeout(kSendMessage, session);
    unsigned char status = 0;
    unsigned int txTime = 0;
    if (isZcl) {
        if (session->callbackDestinationSet) {
            ORQ_LOG(*pLogger, DEBUG, "lsMessage_Req - urilistener %s (not used)",
                    session->callbackDestination.c_str());
        }
        if (pSAgent->send(&zcl, status, txTime) != AGENT_SUCCESS) {
            throw RESTException(GENERIC_REST_ERROR, "Message not sent: Error sending ZCLCommand");
        }
        restResponse("lsMessage_Req", session->getSessionId(),
                     pXMLMsgComposer->createZCLMessage(status, txTime, &zcl), NO_ERROR);
        return;
    }
    int length = 0;
    const uint8_t* dst = aps.getDstAddr(&length);
    if (aps.getClusterId() == 0x0002 && aps.getProfileId() == 0 && aps.getDstEp() == 0 &&
        dst != nullptr && length >= 2) {
        // A Node_Desc_req is answered as the node descriptor resource answers a blocking
        // request: with the descriptor itself.
        const auto address = static_cast<unsigned short>((dst[0] << 8) | dst[1]);
        DiscoveryAgentT::NodeDescriptorCtxt ctx(session->getSessionId(), this,
                                                &RESTBroker::nodeDescriptor_RspCb, nullptr);
        pDAgent->getNodeDescriptor(agentTimeout(session->cbinfo), address, &ctx);
        return;
    }
    if (session->callbackDestinationSet) {
        throw RESTException(FEATURE_NOT_SUPPORTED, "CallbackDestination parameter not supported");
    }
    if (pSAgent->send(&aps, status, txTime) != AGENT_SUCCESS) {
        throw RESTException(GENERIC_REST_ERROR, "Message not sent: Error sending APSMessage");
    }
    restResponse("lsMessage_Req", session->getSessionId(),
                 pXMLMsgComposer->createAPSResultMsg(status, txTime), NO_ERROR);
}
