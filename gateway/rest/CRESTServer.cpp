#include "CRESTServer.h"

#include <cstdio>
#include <cstring>

#include "ConfigurationRepository.h"
#include "XMLProcessor.h"

std::function<time_t()> RESTCallbackInfo::now = [] { return time(nullptr); };
std::atomic<unsigned> RESTSessionContext::ridgen{static_cast<unsigned>(time(nullptr))};

void RESTCallbackInfo::setTimeout(const std::string& value) {
    if (value.empty()) {
        expiry = -1;
        timeoutSet = false;
        return;
    }
    size_t start = 0;
    if (value.size() > 2 && value[0] == '0' && (value[1] == 'x' || value[1] == 'X')) {
        start = 2;
    }
    unsigned long long parsed = 0;
    bool ok = start < value.size();
    for (size_t i = start; ok && i < value.size(); ++i) {
        char c = value[i];
        unsigned digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
            ok = false;
        }
        parsed = parsed * 16 + digit;
        ok = ok && parsed <= 0xFFFFFFFFULL;
    }
    if (!ok) {
        // A bad value leaves the previous setting as it was.
        throw RESTException(BAD_PARAMETER, "Bad timeout parameter");
    }
    timeoutSet = true;
    timeout = static_cast<unsigned long>(parsed);
    expiry = -1;
    if (timeout != 0 && timeout != 0xFFFFFFFFUL) {
        expiry = static_cast<long>(now()) + static_cast<long>(timeout);
    }
}

bool RESTCallbackInfo::expired() const {
    if (expiry == -1 || !timeoutSet) {
        return false;
    }
    return static_cast<long>(now()) > expiry;
}

RESTSessionContext::RESTSessionContext(HTTPRequestArg* arg, RESTServer* s)
    : HTTPSessionContext(arg), server(s) {
    char rid[16];
    snprintf(rid, sizeof(rid), "%08x", ridgen++);
    cbinfo.requestIdentifier = rid;
    server->addContext(this);
}

RESTSessionContext::~RESTSessionContext() {
    server->removeContext(this);
}

void RESTSessionContext::parse(const char* query) {
    QueryParser* qp = QueryParser::getQueryParser();
    callbackDestinationSet = qp->getParameter("urilistener", query, callbackDestination);
    std::string timeout;
    qp->getParameter("timeout", query, timeout);
    cbinfo.setTimeout(timeout);
}

RESTServer::RESTServer(XMLMsgParser* parser, XMLMsgComposer* composer, RESTClient* client)
    : pXMLMsgParser(parser != nullptr ? parser : XMLMsgParser::Instance()),
      pXMLMsgComposer(composer != nullptr ? composer : XMLMsgComposer::Instance()),
      pRESTClient(client) {
    configureLogger(pLogger, nullptr, 1);
    debugEnabled = pLogger.getDebugMode() != 0;
    requestsHandler.pXMLMsgParser = pXMLMsgParser;
    requestsHandler.pXMLMsgComposer = pXMLMsgComposer;
    requestsHandler.server = this;
}

RESTServer::~RESTServer() {
    // Open exchanges end first: their sessions remove their "requests" entries through
    // this object, which must still be whole.
    stopListeners();
    // The composer and parser are process-wide singletons; they stay.
}

std::string RESTServer::removeSecurePortMarks(const std::string& ports) {
    std::string result;
    size_t pos = 0;
    while (pos < ports.size()) {
        size_t end = ports.find_first_of(" \t,", pos);
        if (end == std::string::npos) {
            end = ports.size();
        }
        std::string piece = ports.substr(pos, end - pos);
        pos = end + 1;
        if (piece.empty()) {
            continue;
        }
        size_t s = piece.find_first_of("sS");
        if (s != std::string::npos) {
            piece.erase(s);
        }
        if (!result.empty()) {
            result += ",";
        }
        result += piece;
    }
    return result;
}

int RESTServer::init() {
    ORQ_LOG(pLogger, INFO, "init");
    ConfigurationRepository* config = ConfigurationRepository::instance();
    std::string certFile, ports, pwdFile;
    {
        std::lock_guard<std::mutex> lock(mux);
        sslEnabled = config->getint("RESTServer:ssl", 0) != 0;
        const char* cert = config->getstring("RESTServer:sslCertFile", nullptr);
        certFile = cert != nullptr ? cert : "";
        ports = config->getstring("RESTServer:serverPorts", "9000");
        httpDigestAuthEnabled = config->getint("RESTServer:httpDigestAuth", 0) != 0;
        const char* pwd = config->getstring("RESTServer:httpDigestAuthPwdFile", nullptr);
        pwdFile = pwd != nullptr ? pwd : "";
    }
    int perAddress = config->getint("RESTServer:connectionsPerAddress",
                                    static_cast<int>(kPerAddressConnections));
    if (perAddress < 1 || perAddress > static_cast<int>(kConnectionLimit)) {
        ORQ_LOG(pLogger, WARN, "init - connectionsPerAddress %d is not 1 to %u: using %u",
                perAddress, kConnectionLimit, kPerAddressConnections);
        perAddress = static_cast<int>(kPerAddressConnections);
    }
    setPerAddressConnections(static_cast<unsigned>(perAddress));
    if (sslEnabled) {
        if (!certFile.empty()) {
            sslCertificateFile = certFile;
            if (setOption("ssl_cert", certFile.c_str()) != 0) {
                ORQ_LOG(pLogger, ERROR, "init - cannot read sslCertFile %s", certFile.c_str());
                ORQ_LOG(pLogger, ERROR, "init - RESTServer initialization failed");
                return 1;
            }
        } else {
            ORQ_LOG(pLogger, WARN, "init - sslCertFile = NULL value: disabling SSL");
            sslEnabled = false;
        }
    }
    serverPorts = ports;
    if (!sslEnabled) {
        ORQ_LOG(pLogger, INFO, "SSL is not enabled, removing trailing 's'");
        serverPorts = removeSecurePortMarks(ports);
        ORQ_LOG(pLogger, INFO, "Resulting string is '%s'", serverPorts.c_str());
    }
    if (setOption("ports", serverPorts.c_str()) != 0) {
        ORQ_LOG(pLogger, ERROR, "initPorts - FAILED");
        ORQ_LOG(pLogger, ERROR, "init - RESTServer initialization failed");
        return 1;
    }
    if (httpDigestAuthEnabled) {
        if (!pwdFile.empty()) {
            httpDigestAuthPwdFile = pwdFile;
            // Every resource is protected: a client that turns digest on expects the whole
            // API closed to strangers.
            protectResource(getRoot(), httpDigestAuthPwdFile.c_str());
        } else {
            ORQ_LOG(pLogger, WARN, "init - httpDigestAuthPwdFile = NULL value: disabling Digest");
            httpDigestAuthEnabled = false;
        }
    }
    // The web page: the build tree's copy, or the installed one (set when orq is built).
    const char* webRoot = config->getstring("Web:root", ORQ_WEB_ROOT);
    serveFiles("/ui", webRoot != nullptr ? webRoot : "");
    ORQ_LOG(pLogger, INFO, "init - web page at /ui/ from %s", webRoot != nullptr ? webRoot : "");
    if (resources == nullptr) {
        static const ResourceDescriptor requestsDesc("requests");
        resources = createResource(nullptr, &requestsDesc, nullptr, 0);
    }
    if (pRESTClient == nullptr) {
        pRESTClient = RESTClient::getRESTClient();
    }
    return 0;
}

HTTPSessionContext* RESTServer::makeSessionContext(HTTPRequestArg* arg) {
    return new RESTSessionContext(arg, this);
}

void RESTServer::addContext(RESTSessionContext* session) {
    if (resources == nullptr) {
        return;
    }
    auto* r = new Resource(new ResourceDescriptor(session->getRequestIdentifier().c_str()),
                           &requestsHandler, reinterpret_cast<intptr_t>(session));
    registerResource(r, resources);
}

void RESTServer::removeContext(RESTSessionContext* session) {
    if (resources == nullptr) {
        return;
    }
    Resource* r = findResource(resources, session->getRequestIdentifier());
    if (r != nullptr) {
        removeResource(r);
    }
}

void RESTServer::serveRequest(Resource* resource, HTTPSessionContext* httpSession) {
    auto* session = static_cast<RESTSessionContext*>(httpSession);
    const char* query = session->getQueryStr();
    ORQ_LOG(pLogger, DEBUG, "serveRequest");
    ORQ_LOG(pLogger, DEBUG, "dispatcher - reqURI = %s ", session->getReqURI());
    ORQ_LOG(pLogger, DEBUG, "dispatcher - reqMethod = %d ", session->getReqMethod());
    ORQ_LOG(pLogger, DEBUG, "dispatcher - query string = %s ", query);
    ORQ_LOG(pLogger, DEBUG, "dispatcher - rxDataBuffer =>");
    if (debugEnabled) {
        printf("%s\r\n", session->getRxDataBuffer().c_str());
    }
    try {
        session->parse(query);
        session->cbinfo.refRestSessionCtxt = session;
        session->cbinfo.refResource = resource;
        if (resource->handler != nullptr) {
            resource->handler->handle(resource, session->getReqURI(), session->getReqMethod(),
                                      query, session->rxData(), session);
        } else {
            defaultHandler(resource, session);
        }
        if (session->callbackDestinationSet && session->getSessionStatus() != S_READY) {
            ORQ_LOG(pLogger, INFO, "serveRequest - asynch call");
            send(session, pXMLMsgComposer->createSuccessMsg(
                              nullptr, nullptr, session->getRequestIdentifier().c_str()));
        }
    } catch (const RESTException& e) {
        ORQ_LOG(pLogger, INFO, "RESTException!");
        restError(e.eid, e.message(), nullptr, session);
    }
    session->cbinfo.refResource = nullptr;
}

bool RESTServer::serveInProcess(const std::string& method, const std::string& path,
                                const std::string& query, const std::string& body) {
    HTTPRequestArg arg;
    arg.server = this;
    arg.method = method;
    arg.path = path;
    arg.query = query;
    arg.resource = resolve(path);
    if (arg.resource == nullptr) {
        return false;
    }
    RESTSessionContext session(&arg, this);
    arg.state = &session;
    openInProcess(&session);
    session.rxData()->assign(body);
    session.setSessionStatus(S_SERVING);
    bool served = true;
    try {
        serveRequest(arg.resource, &session);
    } catch (const HTTPException&) {
        served = false;
    }
    closeInProcess(&session);
    return served;
}

void RESTServer::defaultHandler(Resource* resource, RESTSessionContext* session) {
    std::vector<std::string> names;
    for (const Resource* child : resource->children) {
        names.push_back(child->name());
    }
    restSuccess(pXMLMsgComposer->createResourceInfoMsg(names), session);
}

void RESTServer::send(RESTSessionContext* session, std::string text) {
    if (session->setReadyResponse(std::move(text))) {
        notifyReady(session->getSessionId());
    }
}

std::string RESTServer::requestIdOf(RESTSessionContext& session) const {
    return session.callbackDestinationSet ? session.getRequestIdentifier() : std::string();
}

int RESTServer::deliver(const char* name, int sessionId,
                        const std::function<bool(RESTSessionContext&)>& store) {
    bool found = withActiveSession(sessionId, [&](HTTPSessionContext& s) {
        if (store(static_cast<RESTSessionContext&>(s))) {
            notifyReady(sessionId);
        }
    });
    if (!found) {
        ORQ_LOG(pLogger, ERROR, "%s - ctxt == NULL - ERROR!", name);
        return 0;
    }
    return 1;
}

int RESTServer::restSuccess(const std::string& text, int sessionId) {
    return deliver("restSuccess", sessionId, [&](RESTSessionContext& s) {
        return s.setReadyResponse(successReply(text, requestIdOf(s)));
    });
}

int RESTServer::restSuccess(const KeptDocument::Bytes& kept, int sessionId) {
    return deliver("restSuccess", sessionId, [&](RESTSessionContext& s) {
        const std::string rid = requestIdOf(s);
        if (!rid.empty()) {
            return s.setReadyResponse(successReply(*kept.detail, rid));
        }
        // The reply made once for every exchange that takes it.
        return kept.prepared ? s.setReadyResponse(kept.prepared) : s.setReadyResponse(kept.reply);
    });
}

KeptDocument::Bytes RESTServer::keptReply(KeptDocument::Text detail) const {
    KeptDocument::Bytes bytes;
    bytes.reply = std::make_shared<const std::string>(successReply(*detail));
    bytes.prepared = std::make_shared<const PreparedReply>(bytes.reply);
    bytes.detail = std::move(detail);
    return bytes;
}

std::string RESTServer::successReply(const std::string& text, const std::string& rid) const {
    return pXMLMsgComposer->createSuccessMsg(text.empty() ? nullptr : text.c_str(), nullptr,
                                             rid.empty() ? nullptr : rid.c_str());
}

std::string RESTServer::errorReply(RESTError eid, const char* desc, const char* nwkStatus,
                                   const std::string& rid) const {
    return pXMLMsgComposer->createErrorMsg(restErrorCode(eid),
                                           desc != nullptr ? desc : restErrorDescription(eid),
                                           nwkStatus, rid.empty() ? nullptr : rid.c_str());
}

int RESTServer::restSuccess(const std::string& text, HTTPSessionContext* httpSession) {
    if (httpSession == nullptr) {
        ORQ_LOG(pLogger, ERROR, "restSuccess - ctxt == NULL - ERROR!");
        return 0;
    }
    auto* session = static_cast<RESTSessionContext*>(httpSession);
    send(session, successReply(text, requestIdOf(*session)));
    return 1;
}

int RESTServer::restError(RESTError eid, const char* desc, const char* nwkStatus, int sessionId) {
    return deliver("restError", sessionId, [&](RESTSessionContext& s) {
        return s.setReadyResponse(errorReply(eid, desc, nwkStatus, requestIdOf(s)));
    });
}

int RESTServer::restError(RESTError eid, const char* desc, const char* nwkStatus,
                          HTTPSessionContext* httpSession) {
    if (httpSession == nullptr) {
        ORQ_LOG(pLogger, ERROR, "restError - ctxt == NULL - ERROR!");
        return 0;
    }
    auto* session = static_cast<RESTSessionContext*>(httpSession);
    send(session, errorReply(eid, desc, nwkStatus, requestIdOf(*session)));
    return 1;
}

bool RESTServer::listenerExpired(const uriListener_t* listener) const {
    auto* info = dynamic_cast<const RESTCallbackInfo*>(listener->hback);
    if (info != nullptr && info->expired()) {
        ORQ_LOG(pLogger, INFO, "\ncbinfo -> expired () != 0");
        return true;
    }
    return false;
}

namespace {

std::string handbackRequestId(const uriListener_t* listener) {
    auto* info = dynamic_cast<const RESTCallbackInfo*>(listener->hback);
    return info != nullptr ? info->requestIdentifier : std::string();
}

}  // namespace

// 0 only for a listener that cannot be served (a URL that is not http(s)): the broker then
// drops it. A document dropped because the delivery queue is full is lost, but the listener
// stays: a burst of events must not end a client's connection.
int RESTServer::handOver(const uriListener_t* listener, const std::string& doc) {
    return pRESTClient->sendPostData(listener, doc) == -1 ? 0 : 1;
}

int RESTServer::restSuccess(const std::string& text, const uriListener_t* listener) {
    if (listener == nullptr || pRESTClient == nullptr || listenerExpired(listener)) {
        return 0;
    }
    return handOver(listener, successReply(text, handbackRequestId(listener)));
}

int RESTServer::restSuccess(const std::string& text, const uriListener_t* listener, bool) {
    if (listener == nullptr || pRESTClient == nullptr || listenerExpired(listener)) {
        return 0;
    }
    std::string doc = pXMLMsgComposer->createRestInfoMsg(
        0, nullptr, text.empty() ? nullptr : text.c_str(), nullptr, listener->id.c_str(), nullptr);
    return handOver(listener, doc);
}

int RESTServer::restSuccess_BC(const std::string& text, const uriListener_t* listener) {
    if (listener == nullptr || pRESTClient == nullptr || listenerExpired(listener)) {
        return 0;
    }
    return handOver(listener, text);
}

int RESTServer::restError(RESTError eid, const char* desc, const char* nwkStatus,
                          const uriListener_t* listener) {
    if (listener == nullptr || pRESTClient == nullptr || listenerExpired(listener)) {
        return 0;
    }
    return handOver(listener, errorReply(eid, desc, nwkStatus, handbackRequestId(listener)));
}

void RESTServer::RequestsHandler::handle(Resource* resource, const char*, Method method,
                                         const char*, std::string* body,
                                         HTTPSessionContext* session) {
    auto* named = reinterpret_cast<RESTSessionContext*>(resource->data);
    if (named->getSessionStatus() > S_SERVING) {
        throw HTTPException(404, "Not Found");
    }
    switch (method) {
        case M_GET:
            if (named->response.empty()) {
                throw RESTException(NO_MESSAGE_YET);
            }
            server->restSuccess(named->response, session);
            return;
        case M_PUT: {
            std::string value;
            if (body == nullptr || pXMLMsgParser->getValue(value, body->c_str()) != 0) {
                throw RESTException(BAD_PARAMETER, "Bad value parameter");
            }
            named->cbinfo.setTimeout(value);
            // The exchange that changed the time-out gets its answer at once.
            server->restSuccess(std::string(), session);
            return;
        }
        default:
            throw HTTPException(405, "Method Not Allowed");
    }
}
