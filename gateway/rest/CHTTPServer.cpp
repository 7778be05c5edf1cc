#include "CHTTPServer.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <fstream>
#include <sstream>

#include "ConfigurationRepository.h"
#include "StopSignal.h"

const ResourceDescriptor HTTPServer::rootDesc("");

namespace {

MHD_Response* textResponse(const std::string& text) {
    return MHD_create_response_from_buffer(text.size(), const_cast<char*>(text.data()),
                                           MHD_RESPMEM_MUST_COPY);
}

bool parseHexDigest(const std::string& hex, uint8_t out[16]) {
    if (hex.size() != 32) {
        return false;
    }
    for (size_t i = 0; i < 16; ++i) {
        unsigned v = 0;
        for (size_t k = 0; k < 2; ++k) {
            char c = hex[2 * i + k];
            v <<= 4;
            if (c >= '0' && c <= '9') {
                v |= static_cast<unsigned>(c - '0');
            } else if (c >= 'a' && c <= 'f') {
                v |= static_cast<unsigned>(c - 'a' + 10);
            } else if (c >= 'A' && c <= 'F') {
                v |= static_cast<unsigned>(c - 'A' + 10);
            } else {
                return false;
            }
        }
        out[i] = static_cast<uint8_t>(v);
    }
    return true;
}

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) {
        return std::string();
    }
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

// The non-empty fields of `text` between any of the `separators`.
std::vector<std::string> splitFields(const std::string& text, const char* separators) {
    std::vector<std::string> fields;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find_first_of(separators, pos);
        if (end == std::string::npos) {
            end = text.size();
        }
        if (end > pos) {
            fields.push_back(text.substr(pos, end - pos));
        }
        pos = end + 1;
    }
    return fields;
}

}  // namespace

// The libmicrohttpd callbacks; they run inside MHD_run, on the poll-loop thread.
struct HTTPServerGlue {
    static void* uriLog(void* cls, const char* uri, MHD_Connection* connection) {
        auto* arg = new HTTPRequestArg;
        arg->server = static_cast<HTTPServer*>(cls);
        arg->connection = connection;
        const char* q = uri != nullptr ? strchr(uri, '?') : nullptr;
        if (q != nullptr) {
            arg->query = q + 1;
        }
        return arg;
    }

    static MHD_Result access(void* cls, MHD_Connection* connection, const char* url,
                             const char* method, const char*, const char* uploadData,
                             size_t* uploadDataSize, void** conCls) {
        auto* server = static_cast<HTTPServer*>(cls);
        bool firstCall = false;
        auto* arg = static_cast<HTTPRequestArg*>(*conCls);
        if (arg == nullptr) {
            arg = static_cast<HTTPRequestArg*>(uriLog(cls, nullptr, connection));
            *conCls = arg;
        }
        if (arg->method.empty()) {
            firstCall = true;
            arg->connection = connection;
            arg->method = method != nullptr ? method : "";
            arg->path = url != nullptr ? url : "";
        }
        arg->in = uploadData;
        arg->inLen = *uploadDataSize;
        *uploadDataSize = 0;
        return server->handle(arg, firstCall) != 0 ? MHD_YES : MHD_NO;
    }

    static void completed(void*, MHD_Connection*, void** conCls, enum MHD_RequestTerminationCode) {
        auto* arg = static_cast<HTTPRequestArg*>(*conCls);
        if (arg == nullptr) {
            return;
        }
        *conCls = nullptr;
        arg->server->endSession(arg);
        delete arg;
    }
};

HTTPSessionContext::HTTPSessionContext(HTTPRequestArg* arg) : context(arg) {
    configureLogger(pLogger, "Debug:HTTPSessionContextDL");
    debugEnabled = pLogger.getDebugMode() != 0;
    debugLevel = pLogger.getDebugLevel();
    Method m = getReqMethod();
    status = (m == M_POST || m == M_PUT) ? S_READING_BODY : S_BODY_READ;
}

HTTPSessionContext::~HTTPSessionContext() {
    if (context != nullptr && context->state == this) {
        context->state = nullptr;
    }
}

Method HTTPSessionContext::getReqMethod() const {
    static const char* const names[] = {"GET", "POST", "PUT", "DELETE"};
    for (int i = 0; i < 4; ++i) {
        if (context->method == names[i]) {
            return static_cast<Method>(i);
        }
    }
    return M_OTHER;
}

const char* HTTPSessionContext::getHeader(const char* name) const {
    return MHD_lookup_connection_value(context->connection, MHD_HEADER_KIND, name);
}

void HTTPSessionContext::check() {
    const char* len = getHeader(MHD_HTTP_HEADER_CONTENT_LENGTH);
    if (len != nullptr) {
        char* end = nullptr;
        errno = 0;
        unsigned long long v = strtoull(len, &end, 10);
        if (end == len || *end != '\0' || errno != 0 || len[0] == '-') {
            throw HTTPException(400, "Bad Request");
        }
        if (v > context->server->getMaxBodySize()) {
            // A body a little over the bound is read and thrown away so that the client,
            // still sending, sees the 413 instead of a reset connection; a body far over it
            // is refused before any of it is read.
            if (v > kDiscardLimit * context->server->getMaxBodySize()) {
                throw HTTPException(413, "Request Entity Too Large");
            }
            tooLarge = true;
        }
        contentLen = static_cast<unsigned long>(v);
    } else if (getSessionStatus() == S_READING_BODY) {
        throw HTTPException(411, "Content-Length Required");
    }
}

void HTTPSessionContext::processPostData() {
    // A connection that fails ends its exchange through the completion notice; there is
    // nobody left to send a "Connection error" reply to.
    std::lock_guard<std::mutex> lock(mux);
    if (status != S_READING_BODY) {
        return;
    }
    if (context->inLen > 0 && tooLarge) {
        numReadBytes += context->inLen;
        context->inLen = 0;
    } else if (context->inLen > 0) {
        if (numReadBytes + context->inLen > context->server->getMaxBodySize()) {
            throw HTTPException(413, "Request Entity Too Large");
        }
        rxDataBuffer.append(context->in, context->inLen);
        numReadBytes += context->inLen;
        context->inLen = 0;
    }
    if (numReadBytes >= contentLen) {
        status = S_BODY_READ;
    }
}

HTTPSessionStatus HTTPSessionContext::getSessionStatus() const {
    std::lock_guard<std::mutex> lock(mux);
    return status;
}

void HTTPSessionContext::setSessionStatus(HTTPSessionStatus s) {
    std::lock_guard<std::mutex> lock(mux);
    status = s;
}

void HTTPSessionContext::setResponse(const std::string& text) {
    std::lock_guard<std::mutex> lock(mux);
    body = text;
}

std::string HTTPSessionContext::getResponse() const {
    std::lock_guard<std::mutex> lock(mux);
    return body;
}

bool HTTPSessionContext::setReadyResponse(const std::string& text) {
    std::lock_guard<std::mutex> lock(mux);
    if (status != S_SERVING && status != S_SERVED) {
        return false;
    }
    body = text;
    status = S_READY;
    return true;
}

void HTTPSessionContext::sendResponse() {
    std::string text = getResponse();
    MHD_Response* r = textResponse(text);
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, "text/xml");
    MHD_queue_response(context->connection, MHD_HTTP_OK, r);
    MHD_destroy_response(r);
    context->replied = true;
    setSessionStatus(S_TERM);
}

void HTTPSessionContext::reply(const HTTPException& e) {
    // The status line carries the standard reason phrase; our own text goes in the body.
    MHD_Response* r = textResponse(e.msg);
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, "text/plain");
    MHD_queue_response(context->connection, static_cast<unsigned>(e.code), r);
    MHD_destroy_response(r);
    context->replied = true;
    setSessionStatus(S_TERM);
}

HTTPServer::HTTPServer() : root(&rootDesc, nullptr, 0) {
    root.data = reinterpret_cast<intptr_t>(this);
    configureLogger(pLogger, "Debug:HTTPServerDL");
    debugEnabled = pLogger.getDebugMode() != 0;
    debugLevel = pLogger.getDebugLevel();
    // A client that goes away mid-reply must not kill the process.
    signal(SIGPIPE, SIG_IGN);
    wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    digestRandom.resize(32);
    std::ifstream urandom("/dev/urandom", std::ios::binary);
    urandom.read(digestRandom.data(), static_cast<std::streamsize>(digestRandom.size()));
}

HTTPServer::~HTTPServer() {
    stopListeners();
    clearResource(&root);
    if (wakeFd >= 0) {
        close(wakeFd);
    }
}

void HTTPServer::stopListeners() {
    for (HTTPRequestArg* arg : suspended) {
        arg->clientGone = true;
        MHD_resume_connection(arg->connection);
    }
    suspended.clear();
    for (MHD_Daemon* d : serverContext) {
        MHD_stop_daemon(d);
    }
    serverContext.clear();
}

Resource* HTTPServer::createResource(Resource* parent, const ResourceDescriptor* descriptor,
                                     ResourceHandler* handler, intptr_t data) {
    auto* r = new Resource(descriptor, handler, data);
    registerResource(r, parent);
    return r;
}

void HTTPServer::registerResource(Resource* resource, Resource* parent) {
    (parent != nullptr ? parent : &root)->addChild(resource);
    ORQ_LOG(pLogger, DEBUG, "registerResource - %s", resource->uri.c_str());
}

Resource* HTTPServer::findResource(Resource* parent, const std::string& name) {
    for (Resource* child : (parent != nullptr ? parent : &root)->children) {
        if (child->rd->path == name) {
            return child;
        }
    }
    return nullptr;
}

void HTTPServer::removeResource(Resource* resource) {
    if (resource == nullptr || resource == &root) {
        return;
    }
    clearResource(resource);
    unregisterResource(resource);
    if (resource->parent != nullptr) {
        resource->parent->removeChild(resource);
    }
    delete resource;
}

void HTTPServer::clearResource(Resource* resource) {
    while (!resource->children.empty()) {
        Resource* child = resource->children.front();
        clearResource(child);
        unregisterResource(child);
        resource->removeChild(child);
        delete child;
    }
}

void HTTPServer::unregisterResource(Resource* resource) {
    // A request already dispatched keeps no pointer to the resource past serveRequest, so
    // only exchanges still reading their body refer to it: they must not reach it later.
    for (auto& entry : activeHTTPSessions) {
        HTTPRequestArg* arg = entry.second->context;
        if (arg != nullptr && arg->resource == resource) {
            arg->resource = nullptr;
        }
    }
    if (plist.erase(resource->uri.empty() ? "/" : resource->uri) > 0) {
        updateAssociations();
    }
}

void HTTPServer::protectResource(Resource* resource, const char* passwordFile) {
    Resource* r = resource != nullptr ? resource : &root;
    std::string file = passwordFile != nullptr ? passwordFile : "";
    plist[r->uri.empty() ? "/" : r->uri] = file;
    PasswordTable& table = passwordTables[file];
    if (!table.loaded) {
        table.loaded = loadPasswordFile(file, table);
    }
    updateAssociations();
}

std::string HTTPServer::getProtectValue() const {
    std::string value;
    for (const auto& entry : plist) {
        if (!value.empty()) {
            value += ",";
        }
        value += entry.first + "=" + entry.second;
    }
    return value;
}

void HTTPServer::updateAssociations() {
    protectOption = getProtectValue();
}

bool HTTPServer::loadPasswordFile(const std::string& file, PasswordTable& table) {
    std::ifstream in(file);
    if (!in) {
        ORQ_LOG(pLogger, ERROR, "loadPasswordFile - cannot read %s: every request is refused",
                file.c_str());
        return false;
    }
    std::string line;
    while (std::getline(in, line)) {
        line = trim(line);
        if (line.empty() || line[0] == '#') {
            continue;
        }
        size_t a = line.find(':');
        size_t b = a == std::string::npos ? a : line.find(':', a + 1);
        if (b == std::string::npos) {
            ORQ_LOG(pLogger, WARN, "loadPasswordFile - skipping a malformed line of %s",
                    file.c_str());
            continue;
        }
        DigestUser user;
        user.realm = line.substr(a + 1, b - a - 1);
        if (!parseHexDigest(line.substr(b + 1), user.ha1)) {
            ORQ_LOG(pLogger, WARN, "loadPasswordFile - skipping a malformed line of %s",
                    file.c_str());
            continue;
        }
        if (table.realm.empty()) {
            table.realm = user.realm;
        }
        table.users[line.substr(0, a)] = user;
    }
    return true;
}

const std::string* HTTPServer::protectionFor(const Resource* resource) const {
    if (plist.empty()) {
        return nullptr;
    }
    for (const Resource* r = resource; r != nullptr; r = r->parent) {
        auto it = plist.find(r->uri.empty() ? "/" : r->uri);
        if (it != plist.end()) {
            return &it->second;
        }
    }
    return nullptr;
}

int HTTPServer::setOption(const char* name, const char* value) {
    if (name == nullptr || value == nullptr) {
        return 1;
    }
    std::string n = name;
    if (n == "ssl_cert") {
        std::ifstream in(value, std::ios::binary);
        if (!in) {
            ORQ_LOG(pLogger, ERROR, "setOption - cannot read ssl_cert %s", value);
            return 1;
        }
        std::ostringstream pem;
        pem << in.rdbuf();
        sslPem = pem.str();
        sslCertFile = value;
        return 0;
    }
    if (n == "ports") {
        std::vector<PortSpec> specs;
        for (std::string item : splitFields(value, " \t,")) {
            PortSpec spec;
            if (item.back() == 's' || item.back() == 'S') {
                spec.tls = true;
                item.pop_back();
            }
            size_t colon = item.rfind(':');
            std::string port = item;
            if (colon != std::string::npos) {
                spec.address = item.substr(0, colon);
                port = item.substr(colon + 1);
            }
            char* endp = nullptr;
            long p = strtol(port.c_str(), &endp, 10);
            if (port.empty() || *endp != '\0' || p < 0 || p > 65535) {
                ORQ_LOG(pLogger, ERROR, "setOption - bad port '%s'", item.c_str());
                return 1;
            }
            spec.port = static_cast<int>(p);
            specs.push_back(spec);
        }
        if (specs.empty() || !startListeners(specs)) {
            return 1;
        }
        portsOption = value;
        return 0;
    }
    if (n == "protect") {
        // Protection is set per resource (protectResource); the option only reads back.
        return 1;
    }
    return 1;
}

const char* HTTPServer::getOption(const char* name) {
    if (name == nullptr) {
        return nullptr;
    }
    std::string n = name;
    if (n == "ports") {
        return portsOption.c_str();
    }
    if (n == "ssl_cert") {
        return sslCertFile.c_str();
    }
    if (n == "protect") {
        return protectOption.c_str();
    }
    return nullptr;
}

bool HTTPServer::startListeners(const std::vector<PortSpec>& specs) {
    stopListeners();
    for (const PortSpec& spec : specs) {
        if (spec.tls && sslPem.empty()) {
            ORQ_LOG(pLogger, ERROR, "startListeners - port %d wants HTTPS but no certificate",
                    spec.port);
            stopListeners();
            return false;
        }
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(spec.port));
        addr.sin_addr.s_addr = htonl(INADDR_ANY);
        if (!spec.address.empty() &&
            inet_pton(AF_INET, spec.address.c_str(), &addr.sin_addr) != 1) {
            ORQ_LOG(pLogger, ERROR, "startListeners - bad address '%s'", spec.address.c_str());
            stopListeners();
            return false;
        }
        unsigned flags = MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG;
        if (spec.tls) {
            flags |= MHD_USE_TLS;
        }
        MHD_OptionItem tlsOptions[] = {
            {MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(sslPem.c_str())},
            {MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(sslPem.c_str())},
            {MHD_OPTION_END, 0, nullptr},
        };
        MHD_OptionItem noOptions[] = {{MHD_OPTION_END, 0, nullptr}};
        MHD_Daemon* d = MHD_start_daemon(
            flags, static_cast<uint16_t>(spec.port), nullptr, nullptr, &HTTPServerGlue::access,
            this, MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr*>(&addr),
            MHD_OPTION_URI_LOG_CALLBACK, &HTTPServerGlue::uriLog, this, MHD_OPTION_NOTIFY_COMPLETED,
            &HTTPServerGlue::completed, this, MHD_OPTION_CONNECTION_TIMEOUT, connectionTimeout,
            MHD_OPTION_PER_IP_CONNECTION_LIMIT, 64u, MHD_OPTION_CONNECTION_LIMIT, 256u,
            MHD_OPTION_NONCE_NC_SIZE, 300u, MHD_OPTION_DIGEST_AUTH_RANDOM, digestRandom.size(),
            digestRandom.data(), MHD_OPTION_ARRAY, spec.tls ? tlsOptions : noOptions,
            MHD_OPTION_END);
        if (d == nullptr) {
            ORQ_LOG(pLogger, ERROR, "startListeners - cannot listen on port %d%s", spec.port,
                    spec.tls ? " (HTTPS)" : "");
            stopListeners();
            return false;
        }
        serverContext.push_back(d);
        ORQ_LOG(pLogger, INFO, "startListeners - listening on port %d%s", listeningPorts().back(),
                spec.tls ? " (HTTPS)" : "");
    }
    return true;
}

std::vector<int> HTTPServer::listeningPorts() const {
    std::vector<int> ports;
    for (MHD_Daemon* d : serverContext) {
        const MHD_DaemonInfo* info = MHD_get_daemon_info(d, MHD_DAEMON_INFO_BIND_PORT);
        ports.push_back(info != nullptr ? info->port : 0);
    }
    return ports;
}

HTTPSessionContext* HTTPServer::makeSessionContext(HTTPRequestArg* arg) {
    return new HTTPSessionContext(arg);
}

void HTTPServer::serveRequest(Resource*, HTTPSessionContext*) {
    throw HTTPException(403, "Forbidden");
}

Resource* HTTPServer::resolve(const std::string& path) {
    Resource* r = &root;
    for (const std::string& segment : splitFields(path, "/")) {
        Resource* found = findResource(r, segment);
        if (found == nullptr) {
            found = findResource(r, "*");
        }
        if (found == nullptr) {
            return nullptr;
        }
        r = found;
    }
    return r;
}

bool HTTPServer::authenticate(HTTPRequestArg* arg) {
    const std::string* file = protectionFor(arg->resource);
    if (file == nullptr) {
        return true;
    }
    const PasswordTable& table = passwordTables[*file];
    std::string realm = table.realm.empty() ? "orq" : table.realm;
    int result = MHD_NO;
    char* user = MHD_digest_auth_get_username(arg->connection);
    if (user != nullptr) {
        auto it = table.users.find(user);
        if (it != table.users.end() && it->second.realm == realm) {
            result =
                MHD_digest_auth_check_digest2(arg->connection, realm.c_str(), user, it->second.ha1,
                                              sizeof(it->second.ha1), 300, MHD_DIGEST_ALG_MD5);
        }
        ORQ_LOG(pLogger, INFO, "authenticate - user %s %s", user,
                result == MHD_YES ? "accepted" : "refused");
        MHD_free(user);
    }
    if (result == MHD_YES) {
        return true;
    }
    MHD_Response* r = textResponse("Unauthorized");
    MHD_queue_auth_fail_response2(arg->connection, realm.c_str(), "orq", r,
                                  result == MHD_INVALID_NONCE ? MHD_YES : MHD_NO,
                                  MHD_DIGEST_ALG_MD5);
    MHD_destroy_response(r);
    arg->replied = true;
    return false;
}

int HTTPServer::handle(HTTPRequestArg* arg, bool firstCall) {
    if (arg->replied) {
        // The reply is queued; what else the client sends is not read.
        return 1;
    }
    if (arg->clientGone) {
        return 0;
    }
    HTTPSessionContext* session = arg->state;
    if (firstCall) {
        arg->resource = resolve(arg->path);
        if (arg->resource == nullptr) {
            MHD_Response* r = textResponse("Not Found");
            MHD_queue_response(arg->connection, MHD_HTTP_NOT_FOUND, r);
            MHD_destroy_response(r);
            arg->replied = true;
            return 1;
        }
        if (!authenticate(arg)) {
            return 1;
        }
        session = makeSessionContext(arg);
        arg->state = session;
        std::lock_guard<std::mutex> lock(sessionMux);
        do {
            session->sessionId = nextSessionId;
            nextSessionId = nextSessionId == INT32_MAX ? 1 : nextSessionId + 1;
        } while (activeHTTPSessions.count(session->sessionId) != 0);
        activeHTTPSessions[session->sessionId] = session;
    }
    if (session == nullptr) {
        return 0;
    }
    try {
        if (firstCall) {
            session->check();
        }
        bool bodyDone = !firstCall && arg->inLen == 0;
        session->processPostData();
        if (bodyDone && session->getSessionStatus() == S_READING_BODY) {
            // libmicrohttpd saw the whole announced body: nothing more will come.
            session->setSessionStatus(S_BODY_READ);
        }
        if (bodyDone && session->tooLarge) {
            throw HTTPException(413, "Request Entity Too Large");
        }
        if (firstCall && session->getSessionStatus() == S_BODY_READ) {
            // Dispatched on the next call, once libmicrohttpd has taken the whole request.
            return 1;
        }
        if (session->getSessionStatus() == S_BODY_READ && bodyDone) {
            if (arg->resource == nullptr) {
                throw HTTPException(404, "Not Found");
            }
            session->setSessionStatus(S_SERVING);
            serveRequest(arg->resource, session);
            arg->resource = nullptr;
        }
        {
            std::lock_guard<std::mutex> lock(session->mux);
            if (session->status == S_SERVING) {
                session->status = S_SERVED;
            }
        }
        HTTPSessionStatus s = session->getSessionStatus();
        if (s == S_SERVED && bodyDone && !arg->suspended) {
            arg->suspended = true;
            suspended.insert(arg);
            MHD_suspend_connection(arg->connection);
        } else if (s == S_READY) {
            session->sendResponse();
        }
    } catch (const HTTPException& e) {
        ORQ_LOG(pLogger, INFO, "handle - %s %s answered %d %s", arg->method.c_str(),
                arg->path.c_str(), e.code, e.msg.c_str());
        session->reply(e);
    } catch (const std::exception& e) {
        // Nothing may unwind into libmicrohttpd: a handler's fault ends this exchange only.
        ORQ_LOG(pLogger, ERROR, "handle - %s %s failed: %s", arg->method.c_str(), arg->path.c_str(),
                e.what());
        session->reply(HTTPException(500, "Internal Server Error"));
    }
    return 1;
}

void HTTPServer::endSession(HTTPRequestArg* arg) {
    suspended.erase(arg);
    HTTPSessionContext* session = arg->state;
    if (session == nullptr) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(sessionMux);
        activeHTTPSessions.erase(session->sessionId);
    }
    delete session;
    arg->state = nullptr;
}

HTTPSessionContext* HTTPServer::getHTTPSessionContext(int id) {
    std::lock_guard<std::mutex> lock(sessionMux);
    auto it = activeHTTPSessions.find(id);
    if (it == activeHTTPSessions.end()) {
        ORQ_LOG(pLogger, ERROR,
                "getHTTPSessionContext - ERROR - A HTTPSessionContext was request for a "
                "non-active Session Id");
        return nullptr;
    }
    return it->second;
}

bool HTTPServer::withActiveSession(int id, const std::function<void(HTTPSessionContext&)>& fn) {
    std::lock_guard<std::mutex> lock(sessionMux);
    auto it = activeHTTPSessions.find(id);
    if (it == activeHTTPSessions.end()) {
        ORQ_LOG(pLogger, ERROR,
                "getHTTPSessionContext - ERROR - A HTTPSessionContext was request for a "
                "non-active Session Id");
        return false;
    }
    fn(*it->second);
    return true;
}

size_t HTTPServer::activeSessionCount() const {
    std::lock_guard<std::mutex> lock(sessionMux);
    return activeHTTPSessions.size();
}

void HTTPServer::notifyReady(int id) {
    {
        std::lock_guard<std::mutex> lock(loopMux);
        readyIds.push_back(id);
    }
    uint64_t one = 1;
    ssize_t n = write(wakeFd, &one, sizeof(one));
    (void)n;
}

void HTTPServer::requestStop() {
    stopRequested = true;
    uint64_t one = 1;
    ssize_t n = write(wakeFd, &one, sizeof(one));
    (void)n;
}

void HTTPServer::runOnLoop(std::function<void()> fn) {
    {
        std::lock_guard<std::mutex> lock(loopMux);
        posted.push_back(std::move(fn));
    }
    uint64_t one = 1;
    ssize_t n = write(wakeFd, &one, sizeof(one));
    (void)n;
}

void HTTPServer::setStopHook(int fd, std::function<void()> hook) {
    stopFd = fd;
    stopHook = std::move(hook);
}

int HTTPServer::processReady() {
    std::vector<int> ids;
    std::vector<std::function<void()>> jobs;
    {
        std::lock_guard<std::mutex> lock(loopMux);
        ids.swap(readyIds);
        jobs.swap(posted);
    }
    for (auto& job : jobs) {
        job();
    }
    int resumed = 0;
    for (int id : ids) {
        for (HTTPRequestArg* arg : suspended) {
            if (arg->state != nullptr && arg->state->sessionId == id) {
                arg->suspended = false;
                suspended.erase(arg);
                MHD_resume_connection(arg->connection);
                ++resumed;
                break;
            }
        }
    }
    return resumed;
}

void HTTPServer::checkSuspended() {
    // Suspended connections are not watched by libmicrohttpd: look for clients that hung up
    // while their reply was pending, so that their sessions end now.
    std::vector<HTTPRequestArg*> gone;
    for (HTTPRequestArg* arg : suspended) {
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(arg->connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        if (info == nullptr) {
            continue;
        }
        pollfd p{info->connect_fd, POLLRDHUP, 0};
        if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) {
            gone.push_back(arg);
        }
    }
    for (HTTPRequestArg* arg : gone) {
        ORQ_LOG(pLogger, INFO, "checkSuspended - client of %s %s has gone", arg->method.c_str(),
                arg->path.c_str());
        arg->clientGone = true;
        arg->suspended = false;
        suspended.erase(arg);
        MHD_resume_connection(arg->connection);
    }
}

void HTTPServer::poll(int timeoutMs) {
    int resumed = processReady();
    if (resumed > 0) {
        for (MHD_Daemon* d : serverContext) {
            MHD_run(d);
        }
    }
    fd_set rs, ws, es;
    FD_ZERO(&rs);
    FD_ZERO(&ws);
    FD_ZERO(&es);
    MHD_socket maxFd = -1;
    uint64_t timeout = timeoutMs < 0 ? 0 : static_cast<uint64_t>(timeoutMs);
    for (MHD_Daemon* d : serverContext) {
        MHD_get_fdset2(d, &rs, &ws, &es, &maxFd, FD_SETSIZE);
        MHD_UNSIGNED_LONG_LONG t = 0;
        if (MHD_get_timeout(d, &t) == MHD_YES && t < timeout) {
            timeout = t;
        }
    }
    FD_SET(wakeFd, &rs);
    maxFd = std::max<MHD_socket>(maxFd, wakeFd);
    if (stopFd >= 0) {
        FD_SET(stopFd, &rs);
        maxFd = std::max<MHD_socket>(maxFd, stopFd);
    }
    if (!suspended.empty() && timeout > 250) {
        timeout = 250;
    }
    timeval tv{static_cast<time_t>(timeout / 1000),
               static_cast<suseconds_t>((timeout % 1000) * 1000)};
    int n = select(maxFd + 1, &rs, &ws, &es, &tv);
    if (n < 0) {
        if (errno != EINTR) {
            ORQ_LOG(pLogger, ERROR, "poll - select failed: %s", strerror(errno));
        }
        FD_ZERO(&rs);
        FD_ZERO(&ws);
        FD_ZERO(&es);
    }
    if (n > 0 && FD_ISSET(wakeFd, &rs)) {
        uint64_t v;
        ssize_t r = read(wakeFd, &v, sizeof(v));
        (void)r;
    }
    if (n > 0 && stopFd >= 0 && FD_ISSET(stopFd, &rs)) {
        if (stopHook) {
            stopHook();
        } else {
            stopRequested = true;
        }
    }
    for (MHD_Daemon* d : serverContext) {
        MHD_run_from_select(d, &rs, &ws, &es);
    }
    checkSuspended();
    if (processReady() > 0) {
        for (MHD_Daemon* d : serverContext) {
            MHD_run(d);
        }
    }
}

void HTTPServer::start() {
    if (stopFd < 0 && StopSignal::fd() >= 0) {
        // SIGINT and SIGTERM end the loop; the caller then stops the process in order.
        stopFd = StopSignal::fd();
    }
    ORQ_LOG(pLogger, INFO, "start - poll loop running");
    while (!stopRequested) {
        poll(pollTimeout);
    }
    stopRequested = false;
    ORQ_LOG(pLogger, INFO, "start - poll loop stopped");
}
