// RESTBroker: the request frame. Dispatch to the handler operations, the replies to open
// exchanges, the events to URI listener lists, the lists' attach/detach plumbing, the
// WSN-client check and the callback resources' bookkeeping.

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "CRESTBroker.h"
#include "ConfigurationRepository.h"

std::string wsnClientHostOf(const std::string& url) {
    const size_t scheme = url.find("://");
    if (scheme == std::string::npos) {
        return std::string();
    }
    const size_t start = scheme + 3;
    const size_t end = url.find_first_of(":/", start);
    return url.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

bool bytesOfHex(const std::string& text, unsigned char* out, size_t count) {
    if (text.size() != 2 * count || !std::all_of(text.begin(), text.end(), [](char c) {
            return std::isxdigit(static_cast<unsigned char>(c)) != 0;
        })) {
        return false;
    }
    for (size_t i = 0; i < count; ++i) {
        out[i] =
            static_cast<unsigned char>(std::strtoul(text.substr(2 * i, 2).c_str(), nullptr, 16));
    }
    return true;
}

RESTError RESTBroker::restErrorOf(AgentError error) {
    const int code = AgentErrorMessages::Instance()->getRESTError(error);
    if (code < 0 || code >= kRESTErrorCount) {
        return GENERIC_REST_ERROR;
    }
    return static_cast<RESTError>(code);
}

// --- Dispatch ---

void RESTBroker::handle(Resource* resource, const char* uri, Method method, const char* query,
                        std::string* body, HTTPSessionContext* session) {
    auto* rest = static_cast<RESTSessionContext*>(session);
    const auto* rd = dynamic_cast<const RBResourceDescriptor*>(resource->rd);
    if (rd != nullptr && rd->callback != nullptr) {
        (this->*(rd->callback))(resource, uri, method, query, body, rest);
        return;
    }
    pRESTServer->defaultHandler(resource, rest);
}

void RESTBroker::badMethod(Resource* resource, RESTSessionContext*) {
    ORQ_LOG(*pLogger, INFO, "Request for method not allowed on resource %s",
            resource != nullptr ? resource->uri.str().c_str() : "");
    throw HTTPException(405, "Method Not Allowed");
}

// --- Replies to the open exchange ---

void RESTBroker::restResponse(const char* name, int sessionId, const std::string& text,
                              RESTError eid) {
    if (eid != NO_ERROR) {
        ORQ_LOG(*pLogger, INFO, "%s - REST error code %d", name, eid);
        pRESTServer->restError(eid, nullptr, nullptr, sessionId);
        return;
    }
    ORQ_LOG(*pLogger, DEBUG, "%s - success response", name);
    pRESTServer->restSuccess(text, sessionId);
}

void RESTBroker::restResponse(const char* name, int sessionId, const std::string& text,
                              const char* nwkStatus, RPCReqStatus* status) {
    const AgentError error = status != nullptr ? status->getReturnValue() : AGENT_SUCCESS;
    if (error != AGENT_SUCCESS) {
        const RESTError eid = restErrorOf(error);
        const char* message = AgentErrorMessages::Instance()->getErrorMessage(error);
        ORQ_LOG(*pLogger, INFO, "%s - error code %d - %s", name, eid, message);
        pRESTServer->restError(eid, message, nwkStatus, sessionId);
        return;
    }
    ORQ_LOG(*pLogger, DEBUG, "%s - success response", name);
    pRESTServer->restSuccess(text, sessionId);
}

// --- Events to listener lists ---

template <typename Send>
void RESTBroker::deliverEach(RBURIListenerList* list, Send&& send) {
    if (list == nullptr || stopping.load()) {
        return;
    }
    std::vector<std::string> expired;
    for (const uriListener_t& listener : list->snapshot()) {
        const auto* info = dynamic_cast<const RESTCallbackInfo*>(listener.hback);
        if ((info != nullptr && info->expired()) || send(listener) == 0) {
            expired.push_back(listener.id);
        }
    }
    if (!expired.empty()) {
        ORQ_LOG(*pLogger, INFO, "\ncbinfo -> expired () != 0");
        list->removeListenersById(expired);
    }
}

void RESTBroker::restSuccess_Evt(RBURIListenerList* list, const std::string& text) {
    deliverEach(list, [&](const uriListener_t& l) { return pRESTServer->restSuccess(text, &l); });
}

void RESTBroker::restSuccess_Evt(RBURIListenerList* list, const std::string& text, bool error) {
    if (error) {
        ORQ_LOG(*pLogger, ERROR, "!!!ERROR!!!!");
        return;
    }
    deliverEach(list,
                [&](const uriListener_t& l) { return pRESTServer->restSuccess(text, &l, false); });
}

void RESTBroker::restError_Evt(RBURIListenerList* list, RESTError eid, const char* desc,
                               const char* nwkStatus) {
    deliverEach(list, [&](const uriListener_t& l) {
        return pRESTServer->restError(eid, desc, nwkStatus, &l);
    });
}

// --- Events to the event stream ---

RESTBroker::EventSubject RESTBroker::subjectOf(unsigned short nwk, const unsigned char* ieee,
                                               int endpoint) {
    EventSubject subject;
    char text[20];
    std::snprintf(text, sizeof(text), "%04x", nwk);
    subject.node = text;
    if (ieee != nullptr) {
        for (int i = 0; i < 8; ++i) {
            std::snprintf(text + 2 * i, 3, "%02x", ieee[i]);
        }
        subject.ieee = text;
    }
    subject.endpoint = endpoint;
    return subject;
}

RESTBroker::EventSubject RESTBroker::subjectOf(const Node* node) {
    return node != nullptr ? subjectOf(node->get_nwk_addr(), node->get_ieee_addr())
                           : EventSubject();
}

const char* RESTBroker::streamKindOf(const RBURIListenerList* list) const {
    if (list == &listeners.gwStatus) {
        return "gateway";
    }
    if (list == &listeners.nodeInquiry || list == &listeners.nodeMgmt_Lqi) {
        return "node-added";
    }
    if (list == &listeners.nodeAnnounce) {
        return "node-announced";
    }
    if (list == &listeners.freshness) {
        return "node-dead";
    }
    const RBURIListenerList* results[] = {
        &listeners.startup,        &listeners.serviceDiscovery, &listeners.serviceDescriptor,
        &listeners.nodeDescriptor, &listeners.getnodebinding,   &listeners.bind,
        &listeners.unbind,         &listeners.resetCommand,     &listeners.permitJoin,
        &listeners.leaveCommand};
    for (const RBURIListenerList* r : results) {
        if (list == r) {
            return "result";
        }
    }
    return nullptr;
}

void RESTBroker::publishEvent(const char* kind, const EventSubject& subject,
                              const std::string& doc) {
    if (stopping.load()) {
        return;
    }
    StreamEvent event;
    event.kind = kind;
    event.node = subject.node;
    event.ieee = subject.ieee;
    event.endpoint = subject.endpoint;
    event.data = doc;
    pRESTServer->eventStreams().publish(std::move(event));
}

void RESTBroker::publishMessage(const Message& msg) {
    if (msg.getDstEp() == 0) {
        // The device object's own traffic (descriptor and table answers) is no message of an
        // end point of the gateway.
        return;
    }
    int length = 0;
    const uint8_t* ieee = msg.getSrcAddr(&length);
    publishEvent(
        "message", subjectOf(msg.getSrcNwkAddr(), length == 8 ? ieee : nullptr, msg.getDstEp()),
        pRESTServer->successReply(pXMLMsgComposer->createRXMessageMsg(const_cast<Message*>(&msg))));
}

void RESTBroker::restEvent(const char* name, RBURIListenerList* list, const std::string& text,
                           const char* nwkStatus, RPCReqStatus* status, const Node* node) {
    if (status != nullptr) {
        ORQ_LOG(*pLogger, DEBUG, "%s - fResult = %d", name, status->getFResult());
    }
    const char* kind = streamKindOf(list);
    if (kind != nullptr && node == nullptr && std::strncmp(kind, "node-", 5) == 0) {
        // A node list's notification without a node: the end (or failure) of its procedure.
        kind = "result";
    }
    const EventSubject about = subjectOf(node);
    const AgentError error = status != nullptr ? status->getReturnValue() : AGENT_SUCCESS;
    if (error != AGENT_SUCCESS) {
        const RESTError eid = restErrorOf(error);
        const char* message = AgentErrorMessages::Instance()->getErrorMessage(error);
        ORQ_LOG(*pLogger, INFO, "%s - error code %d - %s", name, eid, message);
        if (kind != nullptr) {
            publishEvent(kind, about, pRESTServer->errorReply(eid, message, nwkStatus));
        }
        restError_Evt(list, eid, message, nwkStatus);
        return;
    }
    ORQ_LOG(*pLogger, DEBUG, "%s - success response", name);
    if (kind != nullptr) {
        publishEvent(kind, about, pRESTServer->successReply(text));
    }
    restSuccess_Evt(list, text);
}

void RESTBroker::restEvent(const char* name, RBURIListenerList* list, const std::string& text,
                           RPCReqStatus* status, bool withNwkStatus) {
    if (withNwkStatus) {
        restEvent(name, list, text, nullptr, status);
        return;
    }
    const AgentError error = status != nullptr ? status->getReturnValue() : AGENT_SUCCESS;
    if (error != AGENT_SUCCESS) {
        restEvent(name, list, text, nullptr, status);
        return;
    }
    ORQ_LOG(*pLogger, DEBUG, "%s - success response", name);
    restSuccess_Evt(list, text, false);
}

void RESTBroker::restEvent_BC(const char* name, RBURIListenerList* list, const std::string& text,
                              RPCReqStatus* status) {
    // The wrapped form embeds the text in the Detail of a document of its own: an XML
    // declaration there would make it ill-formed, so only the bare form keeps it.
    std::string fragment = text;
    if (fragment.compare(0, 5, "<?xml") == 0) {
        const size_t end = fragment.find("?>");
        fragment.erase(0, end == std::string::npos ? fragment.size() : end + 2);
    }
    restEvent(name, list, fragment, nullptr, status);
    const AgentError error = status != nullptr ? status->getReturnValue() : AGENT_SUCCESS;
    if (error == AGENT_SUCCESS) {
        deliverEach(list,
                    [&](const uriListener_t& l) { return pRESTServer->restSuccess_BC(text, &l); });
    }
}

void RESTBroker::oneShotEvent(const char* name, RBURIListenerList* list, const std::string& text,
                              RPCReqStatus* status, const char* nwkStatus, const char* dropLog) {
    lastAnswer(list, [&] {
        restEvent(name, list, text, nwkStatus, status);
        ORQ_LOG(*pLogger, DEBUG, "%s%s", name, dropLog);
    });
}

void RESTBroker::lastAnswer(RBURIListenerList* list, const std::function<void()>& deliver) {
    list->running.store(false);
    std::vector<std::string> answered;
    for (const uriListener_t& listener : list->snapshot()) {
        answered.push_back(listener.id);
    }
    deliver();
    list->removeListenersById(answered);
}

// --- The response operations' answer ---

bool RESTBroker::localRequest(const char* name, int sessionId) {
    if (sessionId != -1) {
        return false;
    }
    ORQ_LOG(*pLogger, DEBUG,
            "%s - It was a local REST request (no HTTP request triggered the method invocation)",
            name);
    return true;
}

void* RESTBroker::respond(const char* name, int sessionId, RPCReqStatus* status, unsigned shape,
                          bool hasData, const std::function<std::string()>& compose) {
    if ((shape & kSkipLocal) != 0 && localRequest(name, sessionId)) {
        return nullptr;
    }
    const bool success = status == nullptr || status->getReturnValue() == AGENT_SUCCESS;
    const bool acceptance =
        (shape & kBareAcceptance) != 0 && status != nullptr && status->isReqAsynch();
    std::string doc;
    if (success && hasData && !acceptance && compose) {
        doc = compose();
        if ((shape & kLogDocument) != 0) {
            ORQ_LOG(*pLogger, DEBUG, "%s - xmlResponse = %s", name, doc.c_str());
        }
    }
    if ((shape & kLogDocument) != 0) {
        ORQ_LOG(*pLogger, DEBUG, "%s - fResult = %d", name,
                status != nullptr ? status->getFResult() : 0);
    }
    restResponse(name, sessionId, doc, nullptr, status);
    return nullptr;
}

void* RESTBroker::respondKept(const char* name, int sessionId, RPCReqStatus* status, unsigned shape,
                              KeptDocument& keptDoc, ZbNetDb* db, long variant,
                              const std::function<std::string()>& compose) {
    const bool success = status == nullptr || status->getReturnValue() == AGENT_SUCCESS;
    if (!success || db == nullptr) {
        return respond(name, sessionId, status, shape, true, compose);
    }
    KeptDocument::Bytes bytes;
    {
        // The count read and the document made under one hold of the database's lock: the
        // kept bytes are exactly the network at that count.
        std::lock_guard<std::recursive_mutex> dbLock(db->mutex());
        bytes = keptDoc.get(db->changeCount(), variant, compose, [this](KeptDocument::Text doc) {
            return pRESTServer->keptReply(std::move(doc));
        });
    }
    if ((shape & kLogDocument) != 0) {
        ORQ_LOG(*pLogger, DEBUG, "%s - xmlResponse = %s", name, bytes.detail->c_str());
        ORQ_LOG(*pLogger, DEBUG, "%s - fResult = %d", name,
                status != nullptr ? status->getFResult() : 0);
    }
    ORQ_LOG(*pLogger, DEBUG, "%s - success response", name);
    pRESTServer->restSuccess(bytes, sessionId);
    return nullptr;
}

// --- The remote procedures' request frame ---

void RESTBroker::requireTimeout(const RemoteProcedure& procedure, RESTSessionContext* session) {
    if (procedure.noTimeout == NO_ERROR) {
        return;
    }
    if (!session->cbinfo.timeoutSet) {
        if (procedure.noTimeoutLog != nullptr) {
            ORQ_LOG(*pLogger, INFO, "%s - %s", procedure.name, procedure.noTimeoutLog);
        }
        throw RESTException(procedure.noTimeout, "Missing timeout parameter");
    }
    if (procedure.timeoutLog != nullptr) {
        const std::string format = std::string("%s - ") + procedure.timeoutLog;
        ORQ_LOG(*pLogger, DEBUG, format.c_str(), procedure.name, session->cbinfo.timeout,
                agentTimeout(session->cbinfo));
    }
}

bool RESTBroker::isNonBlocking(const RemoteProcedure& procedure, RESTSessionContext* session) {
    if (!session->callbackDestinationSet) {
        return false;
    }
    if (procedure.nonBlockingLog != nullptr) {
        ORQ_LOG(*pLogger, DEBUG, "%s - %s", procedure.name, procedure.nonBlockingLog);
    }
    if (session->callbackDestination.empty()) {
        if (procedure.noListenerLog != nullptr) {
            ORQ_LOG(*pLogger, WARN, "%s - %s", procedure.name, procedure.noListenerLog);
        }
        throw RESTException(procedure.noListener, "Missing callbackDestination parameter");
    }
    return true;
}

bool RESTBroker::remoteProcedureQueued(const RemoteProcedure& procedure,
                                       RESTSessionContext* session) {
    requireTimeout(procedure, session);
    if (!isNonBlocking(procedure, session)) {
        return false;
    }
    addSessionListener(procedure.name, &(listeners.*procedure.list), session);
    return true;
}

// --- Listener lists ---

void RESTBroker::endListWork(RBURIListenerList* list) {
    list->running.store(false);
    list->removeListeners();
}

void RESTBroker::clearRunningDetach(RBURIListenerList* list) {
    if (list->empty()) {
        list->running.store(false);
    }
}

void RESTBroker::cancelOnLastDetach(RBURIListenerList* list, bool keptByBroker,
                                    const std::function<void()>& cancel) {
    if (list->empty() && list->running.exchange(false) && !keptByBroker) {
        cancel();
    }
}

void RESTBroker::startOneShot(RBURIListenerList* list, const uriListener_t& listener,
                              const std::function<int()>& start) {
    list->running.store(true);
    if (start() != AGENT_SUCCESS) {
        // Refused (the refusal answered the exchange): the listener would wait for nothing.
        list->running.store(false);
        list->removeListener(listener.id);
    }
}

bool RESTBroker::addSessionListener(const char* name, RBURIListenerList* list,
                                    RESTSessionContext* session) {
    if (!isAllowedListenerURL(session->callbackDestination)) {
        ORQ_LOG(*pLogger, WARN, "%s - urilistener %s is not an http(s) URL", name,
                session->callbackDestination.c_str());
        throw RESTException(BAD_PARAMETER, "Bad urilistener parameter");
    }
    return addListenerFor(name, list, session->callbackDestination, session);
}

bool RESTBroker::addListenerFor(const char* name, RBURIListenerList* list, const std::string& url,
                                RESTSessionContext* session) {
    uriListener_t added;
    if (!list->addListener(url, session->getSessionId(), &session->cbinfo, &added)) {
        restResponse(name, session->getSessionId(), std::string(),
                     URILISTENER_LIST_MAX_SIZE_EXCEEDED);
        return false;
    }
    registrationMade(list, added, session);
    return true;
}

void RESTBroker::addListener(URIListenerList* list, const uriListener_t& listener, int sessionId) {
    auto* l = static_cast<RBURIListenerList*>(list);
    const RBAttach attach = l->attach;
    if (attach == nullptr) {
        return;
    }
    try {
        (this->*attach)(l, listener, sessionId, false);
    } catch (...) {
        // A refused registration leaves no listener behind.
        l->removeListener(listener.id);
        throw;
    }
}

void RESTBroker::updateListener(URIListenerList* list, const uriListener_t&,
                                const uriListener_t& updated, int sessionId) {
    ORQ_LOG(*pLogger, DEBUG, "updateListener");
    auto* l = static_cast<RBURIListenerList*>(list);
    const RBAttach attach = l->attach;
    if (attach != nullptr) {
        (this->*attach)(l, updated, sessionId, true);
    }
}

void RESTBroker::removeListeners(URIListenerList* list) {
    auto* l = static_cast<RBURIListenerList*>(list);
    registrationsGone(l);
    const RBDetach detach = l->detach;
    if (detach != nullptr) {
        (this->*detach)(l);
    }
}

void RESTBroker::initListeners() {
    ORQ_LOG(*pLogger, DEBUG, "initListeners");
    struct Pair {
        RBURIListenerList* list;
        RBAttach attach;
        RBDetach detach;
    };
    Listeners& L = listeners;
    const Pair pairs[] = {
        {&L.gwStatus, nullptr, nullptr},
        {&L.startup, &RESTBroker::startupAttach, &RESTBroker::clearRunningDetach},
        {&L.serviceDiscovery, &RESTBroker::serviceDiscoveryAttach, &RESTBroker::clearRunningDetach},
        {&L.serviceDescriptor, &RESTBroker::serviceDescriptorAttach,
         &RESTBroker::clearRunningDetach},
        {&L.nodeDescriptor, &RESTBroker::nodeDescriptorAttach, &RESTBroker::clearRunningDetach},
        {&L.getnodebinding, &RESTBroker::getnodebindingAttach, &RESTBroker::clearRunningDetach},
        {&L.bind, &RESTBroker::bindAttach, &RESTBroker::clearRunningDetach},
        {&L.unbind, &RESTBroker::unbindAttach, &RESTBroker::clearRunningDetach},
        {&L.resetCommand, &RESTBroker::resetCommandAttach, &RESTBroker::clearRunningDetach},
        {&L.leaveCommand, &RESTBroker::leaveCommandAttach, &RESTBroker::clearRunningDetach},
        {&L.permitJoin, &RESTBroker::permitJoinAttach, &RESTBroker::clearRunningDetach},
        {&L.freshness, &RESTBroker::nodeFreshnessAttach, &RESTBroker::nodeFreshnessDetach},
        {&L.nodeAnnounce, &RESTBroker::nodeAnnounceAttach, &RESTBroker::nodeAnnounceDetach},
        {&L.nodeInquiry, &RESTBroker::nodeInquiryAttach, &RESTBroker::nodeInquiryDetach},
        {&L.nodeMgmt_Lqi, &RESTBroker::nodeMgmtLQIAttach, &RESTBroker::nodeMgmtLQIDetach},
        {&L.allServices, &RESTBroker::allServicesAttach, &RESTBroker::allServicesDetach},
    };
    for (const Pair& p : pairs) {
        p.list->handler = static_cast<URIListenerHandler*>(this);
        p.list->attach = p.attach;
        p.list->detach = p.detach;
    }
    std::string url;
    {
        std::lock_guard<std::mutex> lock(mux);
        const char* value = ConfigurationRepository::instance()->getstring(
            "main:gwStatusChanged_DefaultURIListener", nullptr);
        if (value != nullptr && *value != '\0') {
            url = value;
        }
    }
    if (url.empty()) {
        ORQ_LOG(*pLogger, DEBUG, "init - gwStatusChanged_DefaultURIListener = NULL");
        return;
    }
    ORQ_LOG(*pLogger, DEBUG, "init - gwStatusChanged_DefaultURIListener = %s", url.c_str());
    listeners.gwStatus.addListener(url, -1, nullptr);
    std::string host = wsnClientHostOf(url);
    {
        std::lock_guard<std::mutex> lock(mux);
        wsnCAddress = host;
    }
    ORQ_LOG(*pLogger, DEBUG, "init - endPos = %d - wsnCAddress = %s",
            static_cast<int>(url.find(host) + host.size()), host.c_str());
}

RESTBroker::ListPtr RESTBroker::findList(ListMap& map, int key) {
    std::lock_guard<std::mutex> lock(mux);
    auto it = map.find(key);
    return it != map.end() ? it->second : nullptr;
}

RESTBroker::ListPtr RESTBroker::getOrCreateList(ListMap& map, int key, RBAttach attach,
                                                RBDetach detach) {
    std::lock_guard<std::mutex> lock(mux);
    ListPtr& entry = map[key];
    if (entry == nullptr) {
        entry = std::make_shared<RBURIListenerList>();
        entry->handler = static_cast<URIListenerHandler*>(this);
        entry->attach = attach;
        entry->detach = detach;
        entry->data = key;
    }
    return entry;
}

void RESTBroker::clearAllListeners() {
    ORQ_LOG(*pLogger, DEBUG, "unistallListeners");
    Listeners& L = listeners;
    RBURIListenerList* lists[] = {&L.serviceDiscovery, &L.serviceDescriptor, &L.nodeDescriptor,
                                  &L.leaveCommand,     &L.permitJoin,        &L.freshness,
                                  &L.nodeAnnounce,     &L.nodeInquiry,       &L.nodeMgmt_Lqi,
                                  &L.allServices};
    // The map entries are taken out under `mux`; the detach operations then run without it,
    // since they call the agents (docs/broker.md, "Locks").
    std::vector<ListPtr> dropped;
    {
        std::lock_guard<std::mutex> lock(mux);
        for (ListMap* map : {&L.service, &L.customizedCallback, &L.service_BC}) {
            for (auto& entry : *map) {
                dropped.push_back(entry.second);
            }
            map->clear();
        }
    }
    for (RBURIListenerList* list : lists) {
        list->removeListeners();
    }
    for (const ListPtr& list : dropped) {
        list->removeListeners();
    }
}

// --- The WSN client ---

void RESTBroker::checkWsncAttach(RBURIListenerList* list, const uriListener_t& listener, int type) {
    std::string host;
    {
        std::lock_guard<std::mutex> lock(mux);
        host = wsnCAddress;
    }
    if (host.empty() || listener.URL.find(host) == std::string::npos) {
        return;
    }
    bool expected = false;
    if (!wsncAttached.compare_exchange_strong(expected, true)) {
        return;
    }
    ORQ_LOG(*pLogger, INFO, "addUriListener - EVENT: WSNConnection is being created by WSN-C");
    numWSNConnctionsFromWsnc.fetch_add(1);
    std::string doc =
        pXMLMsgComposer->createWsncWSNConnEventMsg(type, listener.URL.c_str(), "created");
    restEvent("checkWsncAttach", list, doc, nullptr, nullptr);
}

void RESTBroker::checkWsncDetach(RBURIListenerList* list, int type) {
    std::string host;
    {
        std::lock_guard<std::mutex> lock(mux);
        host = wsnCAddress;
    }
    if (host.empty() || !wsncAttached.load() || list->findListenerByHost(host)) {
        return;
    }
    ORQ_LOG(*pLogger, INFO, "addUriListener - EVENT: WSNConnection is being removed by WSN-C");
    if (numWSNConnctionsFromWsnc.fetch_sub(1) <= 1) {
        numWSNConnctionsFromWsnc.store(0);
        wsncAttached.store(false);
    }
    // The WSN client's listener is gone: the event names the client's host.
    std::string doc = pXMLMsgComposer->createWsncWSNConnEventMsg(type, host.c_str(), "deleted");
    restEvent("checkWsncDetach", list, doc, nullptr, nullptr);
}
