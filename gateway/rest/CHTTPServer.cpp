#include "CHTTPServer.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
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

// A response that sends `text` from where it is, with no copy (a node list may be hundreds
// of kilobytes); the response owns it and frees it when it is destroyed.
MHD_Response* ownedTextResponse(std::string&& text) {
    auto* owned = new std::string(std::move(text));
    MHD_Response* r = MHD_create_response_from_buffer_with_free_callback_cls(
        owned->size(), const_cast<char*>(owned->data()),
        [](void* cls) { delete static_cast<std::string*>(cls); }, owned);
    if (r == nullptr) {
        delete owned;
    }
    return r;
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

// Where a connection's current request stands, for the request deadline. Owned by the thread
// that drives the connection's daemon; made and freed by the connection notices.
struct ConnectionClock {
    enum Phase { AWAITING_REQUEST, READING_HEADERS, READING_BODY, DISPATCHED };
    MHD_Connection* connection = nullptr;
    Phase phase = AWAITING_REQUEST;
    std::chrono::steady_clock::time_point deadline;
};

namespace {

ConnectionClock* clockOf(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info != nullptr ? static_cast<ConnectionClock*>(info->socket_context) : nullptr;
}

void setClock(MHD_Connection* connection, ConnectionClock::Phase phase, unsigned seconds) {
    ConnectionClock* clock = clockOf(connection);
    if (clock != nullptr) {
        clock->phase = phase;
        clock->deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    }
}

}  // namespace

// The libmicrohttpd callbacks. They run inside MHD_run, on the thread that drives the daemon
// (`cls` is its DaemonLoop); the server's own work is done on the poll-loop thread.
struct HTTPServerGlue {
    static void* uriLog(void* cls, const char* uri, MHD_Connection* connection) {
        auto* loop = static_cast<HTTPServer::DaemonLoop*>(cls);
        auto* arg = new HTTPRequestArg;
        arg->server = loop->server;
        arg->connection = connection;
        arg->tls = loop->tls;
        const char* q = uri != nullptr ? strchr(uri, '?') : nullptr;
        if (q != nullptr) {
            arg->query = q + 1;
        }
        // The request line is in: the headers have the request deadline to follow.
        setClock(connection, ConnectionClock::READING_HEADERS, loop->server->requestDeadline);
        return arg;
    }

    static MHD_Result access(void* cls, MHD_Connection* connection, const char* url,
                             const char* method, const char*, const char* uploadData,
                             size_t* uploadDataSize, void** conCls) {
        auto* loop = static_cast<HTTPServer::DaemonLoop*>(cls);
        HTTPServer* server = loop->server;
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
            // Headers complete: the body gets the deadline again, and more for its size.
            const char* len =
                MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Content-Length");
            unsigned long long announced = len != nullptr ? strtoull(len, nullptr, 10) : 0;
            announced = std::min<unsigned long long>(announced, server->maxBodySize);
            setClock(connection, ConnectionClock::READING_BODY,
                     server->requestDeadline +
                         static_cast<unsigned>(announced / HTTPServer::kBodyBytesPerSecond));
        } else if (*uploadDataSize == 0) {
            // The whole request is in; what follows is the gateway's to answer.
            setClock(connection, ConnectionClock::DISPATCHED, 0);
        }
        arg->in = uploadData;
        arg->inLen = *uploadDataSize;
        *uploadDataSize = 0;
        int result = 0;
        server->onLoopThread([&] { result = server->handle(arg, firstCall); });
        return result != 0 ? MHD_YES : MHD_NO;
    }

    static void completed(void* cls, MHD_Connection* connection, void** conCls,
                          enum MHD_RequestTerminationCode) {
        auto* loop = static_cast<HTTPServer::DaemonLoop*>(cls);
        auto* arg = static_cast<HTTPRequestArg*>(*conCls);
        setClock(connection, ConnectionClock::AWAITING_REQUEST, loop->server->connectionTimeout);
        if (arg == nullptr) {
            return;
        }
        *conCls = nullptr;
        loop->server->onLoopThread([&] { loop->server->endSession(arg); });
        delete arg;
    }

    static void connectionNotice(void* cls, MHD_Connection* connection, void** socketContext,
                                 enum MHD_ConnectionNotificationCode code) {
        auto* loop = static_cast<HTTPServer::DaemonLoop*>(cls);
        if (code == MHD_CONNECTION_NOTIFY_STARTED) {
            auto* clock = new ConnectionClock;
            clock->connection = connection;
            clock->deadline = std::chrono::steady_clock::now() +
                              std::chrono::seconds(loop->server->connectionTimeout);
            *socketContext = clock;
            loop->clocks.insert(clock);
        } else if (*socketContext != nullptr) {
            auto* clock = static_cast<ConnectionClock*>(*socketContext);
            loop->clocks.erase(clock);
            delete clock;
            *socketContext = nullptr;
        }
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

namespace {

// What the request's headers say of its body's length.
struct LengthHeaders {
    int contentLengths = 0;
    bool differentLengths = false;
    std::string contentLength;
    bool transferCoding = false;
};

MHD_Result countLengthHeader(void* cls, enum MHD_ValueKind, const char* key, const char* value) {
    auto* h = static_cast<LengthHeaders*>(cls);
    if (strcasecmp(key, MHD_HTTP_HEADER_CONTENT_LENGTH) == 0) {
        std::string v = value != nullptr ? value : "";
        if (h->contentLengths > 0 && v != h->contentLength) {
            h->differentLengths = true;
        }
        h->contentLength = v;
        ++h->contentLengths;
    } else if (strcasecmp(key, MHD_HTTP_HEADER_TRANSFER_ENCODING) == 0) {
        h->transferCoding = true;
    }
    return MHD_YES;
}

}  // namespace

void HTTPSessionContext::check() {
    LengthHeaders h;
    MHD_get_connection_values(context->connection, MHD_HEADER_KIND, &countLengthHeader, &h);
    if (h.differentLengths || (h.contentLengths > 0 && h.transferCoding)) {
        // Two framings of one body: whoever forwarded the request may have read another
        // body than ours.
        throw HTTPException(400, "Bad Request");
    }
    if (h.contentLengths > 0) {
        const char* len = h.contentLength.c_str();
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
    const unsigned long bound = context->server->getMaxBodySize();
    if (status != S_READING_BODY) {
        // A body on a method that takes none (a DELETE with a chunked body, say) is
        // dropped, but no more of it is read than a body we would keep.
        ignoredBytes += context->inLen;
        context->inLen = 0;
        if (ignoredBytes > bound) {
            throw HTTPException(413, "Request Entity Too Large");
        }
        return;
    }
    if (context->inLen > 0 && tooLarge) {
        numReadBytes += context->inLen;
        context->inLen = 0;
    } else if (context->inLen > 0) {
        if (numReadBytes + context->inLen > bound) {
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

bool HTTPSessionContext::setReadyResponse(std::string text) {
    std::lock_guard<std::mutex> lock(mux);
    if (status != S_SERVING && status != S_SERVED) {
        return false;
    }
    body = std::move(text);
    status = S_READY;
    return true;
}

void HTTPSessionContext::sendResponse() {
    std::string text;
    {
        // The reply goes to the connection; the session keeps no copy of it.
        std::lock_guard<std::mutex> lock(mux);
        text.swap(body);
    }
    MHD_Response* r = ownedTextResponse(std::move(text));
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

const char* const HTTPServer::kTlsPriorities =
    "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2:-ARCFOUR-128:-3DES-CBC";

HTTPServer::HTTPServer() : root(&rootDesc, nullptr, 0) {
    root.data = reinterpret_cast<intptr_t>(this);
    configureLogger(pLogger, "Debug:HTTPServerDL");
    debugEnabled = pLogger.getDebugMode() != 0;
    debugLevel = pLogger.getDebugLevel();
    // A client that goes away mid-reply must not kill the process.
    signal(SIGPIPE, SIG_IGN);
    wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    plainLoop.server = this;
    plainLoop.wakeFd = wakeFd;
    tlsLoop.server = this;
    tlsLoop.tls = true;
    tlsLoop.wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
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
    if (tlsLoop.wakeFd >= 0) {
        close(tlsLoop.wakeFd);
    }
}

namespace {

// The server whose HTTPS listeners the calling thread drives, if any.
thread_local const HTTPServer* tlsLoopOwner = nullptr;

void wake(int fd) {
    uint64_t one = 1;
    ssize_t n = write(fd, &one, sizeof(one));
    (void)n;
}

void drain(int fd) {
    uint64_t v;
    ssize_t r = read(fd, &v, sizeof(v));
    (void)r;
}

// Adds the descriptors of `daemons` to the sets and lowers `timeoutMs` to what they ask.
void addDaemons(const std::vector<MHD_Daemon*>& daemons, fd_set* rs, fd_set* ws, fd_set* es,
                MHD_socket* maxFd, uint64_t* timeoutMs) {
    for (MHD_Daemon* d : daemons) {
        MHD_get_fdset2(d, rs, ws, es, maxFd, FD_SETSIZE);
        MHD_UNSIGNED_LONG_LONG t = 0;
        // Honoured always: it is 0 while TLS holds buffered data.
        if (MHD_get_timeout(d, &t) == MHD_YES && t < *timeoutMs) {
            *timeoutMs = t;
        }
    }
}

}  // namespace

void HTTPServer::stopListeners() {
    if (tlsThread.joinable()) {
        tlsStop = true;
        wake(tlsLoop.wakeFd);
        // The TLS thread may be waiting for a call it handed to the poll loop: run those
        // here until it has ended.
        while (tlsRunning) {
            runPosted();
            std::unique_lock<std::mutex> lock(callMux);
            callDone.wait_for(lock, std::chrono::milliseconds(5));
        }
        tlsThread.join();
        runPosted();
        tlsStop = false;
    }
    for (HTTPRequestArg* arg : suspended) {
        arg->clientGone = true;
        MHD_resume_connection(arg->connection);
    }
    suspended.clear();
    for (MHD_Daemon* d : serverContext) {
        MHD_stop_daemon(d);
    }
    serverContext.clear();
    plainLoop.daemons.clear();
    tlsLoop.daemons.clear();
}

void HTTPServer::onLoopThread(const std::function<void()>& fn) {
    if (tlsLoopOwner != this) {
        fn();
        return;
    }
    uint64_t ticket;
    {
        std::lock_guard<std::mutex> lock(loopMux);
        std::lock_guard<std::mutex> calls(callMux);
        ticket = ++callsPosted;
        posted.push_back([this, &fn] {
            fn();
            {
                std::lock_guard<std::mutex> done(callMux);
                ++callsFinished;
            }
            callDone.notify_all();
        });
    }
    wake(wakeFd);
    std::unique_lock<std::mutex> lock(callMux);
    // Calls are posted and run in order, so ours is done once as many have finished.
    callDone.wait(lock, [&] { return callsFinished >= ticket; });
}

void HTTPServer::runPosted() {
    std::vector<std::function<void()>> jobs;
    {
        std::lock_guard<std::mutex> lock(loopMux);
        jobs.swap(posted);
    }
    for (auto& job : jobs) {
        job();
    }
}

void HTTPServer::runTlsLoop() {
    tlsLoopOwner = this;
    ORQ_LOG(pLogger, INFO, "runTlsLoop - HTTPS listeners running");
    while (!tlsStop) {
        fd_set rs, ws, es;
        FD_ZERO(&rs);
        FD_ZERO(&ws);
        FD_ZERO(&es);
        MHD_socket maxFd = tlsLoop.wakeFd;
        FD_SET(tlsLoop.wakeFd, &rs);
        uint64_t timeout = 1000;
        addDaemons(tlsLoop.daemons, &rs, &ws, &es, &maxFd, &timeout);
        timeval tv{static_cast<time_t>(timeout / 1000),
                   static_cast<suseconds_t>((timeout % 1000) * 1000)};
        int n = select(maxFd + 1, &rs, &ws, &es, &tv);
        if (n < 0) {
            FD_ZERO(&rs);
            FD_ZERO(&ws);
            FD_ZERO(&es);
        } else if (n > 0 && FD_ISSET(tlsLoop.wakeFd, &rs)) {
            drain(tlsLoop.wakeFd);
        }
        for (MHD_Daemon* d : tlsLoop.daemons) {
            // Also processes the connections resumed since the last pass.
            MHD_run_from_select(d, &rs, &ws, &es);
        }
        enforceDeadlines(tlsLoop);
    }
    tlsRunning = false;
    callDone.notify_all();
}

void HTTPServer::enforceDeadlines(DaemonLoop& loop) {
    auto now = std::chrono::steady_clock::now();
    for (ConnectionClock* clock : loop.clocks) {
        if (clock->phase == ConnectionClock::DISPATCHED || now < clock->deadline) {
            continue;
        }
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(clock->connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        if (info == nullptr) {
            continue;
        }
        // The client trickles its request: libmicrohttpd sees end of stream on its next
        // pass and closes the connection in order.
        ORQ_LOG(pLogger, INFO, "enforceDeadlines - closing a connection whose request is late");
        shutdown(info->connect_fd, SHUT_RDWR);
        clock->phase = ConnectionClock::DISPATCHED;
    }
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
    return (parent != nullptr ? parent : &root)->findChild(name);
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
        DaemonLoop* loop = spec.tls ? &tlsLoop : &plainLoop;
        MHD_OptionItem tlsOptions[] = {
            {MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(sslPem.c_str())},
            {MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(sslPem.c_str())},
            {MHD_OPTION_HTTPS_PRIORITIES, 0, const_cast<char*>(kTlsPriorities)},
            {MHD_OPTION_END, 0, nullptr},
        };
        MHD_OptionItem noOptions[] = {{MHD_OPTION_END, 0, nullptr}};
        MHD_Daemon* d = MHD_start_daemon(
            flags, static_cast<uint16_t>(spec.port), nullptr, nullptr, &HTTPServerGlue::access,
            loop, MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr*>(&addr),
            MHD_OPTION_URI_LOG_CALLBACK, &HTTPServerGlue::uriLog, loop, MHD_OPTION_NOTIFY_COMPLETED,
            &HTTPServerGlue::completed, loop, MHD_OPTION_NOTIFY_CONNECTION,
            &HTTPServerGlue::connectionNotice, loop, MHD_OPTION_CONNECTION_TIMEOUT,
            connectionTimeout, MHD_OPTION_PER_IP_CONNECTION_LIMIT, perAddressConnections,
            MHD_OPTION_CONNECTION_LIMIT, kConnectionLimit, MHD_OPTION_NONCE_NC_SIZE, 300u,
            MHD_OPTION_DIGEST_AUTH_RANDOM, digestRandom.size(), digestRandom.data(),
            MHD_OPTION_ARRAY, spec.tls ? tlsOptions : noOptions, MHD_OPTION_END);
        if (d == nullptr) {
            ORQ_LOG(pLogger, ERROR, "startListeners - cannot listen on port %d%s", spec.port,
                    spec.tls ? " (HTTPS)" : "");
            stopListeners();
            return false;
        }
        serverContext.push_back(d);
        loop->daemons.push_back(d);
        ORQ_LOG(pLogger, INFO, "startListeners - listening on port %d%s", listeningPorts().back(),
                spec.tls ? " (HTTPS)" : "");
    }
    if (!tlsLoop.daemons.empty()) {
        tlsStop = false;
        tlsRunning = true;
        tlsThread = std::thread([this] { runTlsLoop(); });
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

Resource* HTTPServer::deepestResource(const std::string& path, bool& found) {
    Resource* r = &root;
    found = false;
    for (const std::string& segment : splitFields(path, "/")) {
        Resource* next = findResource(r, segment);
        if (next == nullptr) {
            next = findResource(r, "*");
        }
        if (next == nullptr) {
            return r;
        }
        r = next;
    }
    found = true;
    return r;
}

Resource* HTTPServer::resolve(const std::string& path) {
    bool found = false;
    Resource* r = deepestResource(path, found);
    return found ? r : nullptr;
}

namespace {

// The value of parameter `key` in a Digest Authorization header ("" when absent).
std::string digestParameter(const char* header, const std::string& key) {
    std::string h = header != nullptr ? header : "";
    size_t pos = h.find(' ');
    while (pos != std::string::npos && pos < h.size()) {
        pos = h.find_first_not_of(" \t,", pos);
        if (pos == std::string::npos) {
            break;
        }
        size_t eq = h.find('=', pos);
        if (eq == std::string::npos) {
            break;
        }
        std::string name = trim(h.substr(pos, eq - pos));
        std::string value;
        pos = eq + 1;
        if (pos < h.size() && h[pos] == '"') {
            for (++pos; pos < h.size() && h[pos] != '"'; ++pos) {
                if (h[pos] == '\\' && pos + 1 < h.size()) {
                    ++pos;
                }
                value += h[pos];
            }
            ++pos;
        } else {
            size_t end = h.find(',', pos);
            value = trim(h.substr(pos, end == std::string::npos ? end : end - pos));
            pos = end;
        }
        if (strcasecmp(name.c_str(), key.c_str()) == 0) {
            return value;
        }
    }
    return std::string();
}

long long monotonicSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

void HTTPServer::rememberNonce(const std::string& nonce) {
    long long now = monotonicSeconds();
    // Oldest first: drop the expired ones, and the oldest while the table is full.
    size_t drop = 0;
    while (drop < nonceOrder.size() &&
           (nonceOrder.size() - drop >= kMaxNonces || nonces[nonceOrder[drop]].expiry <= now)) {
        nonces.erase(nonceOrder[drop]);
        ++drop;
    }
    nonceOrder.erase(nonceOrder.begin(), nonceOrder.begin() + static_cast<long>(drop));
    if (nonces.count(nonce) == 0) {
        nonces[nonce].expiry = now + kNonceSeconds;
        nonceOrder.push_back(nonce);
    }
}

bool HTTPServer::acceptNonceCount(const std::string& nonce, uint32_t nc) {
    auto it = nonces.find(nonce);
    if (it == nonces.end() || it->second.expiry <= monotonicSeconds() || nc == 0) {
        return false;
    }
    NonceRecord& r = it->second;
    if (nc > r.highestNc) {
        uint32_t shift = nc - r.highestNc;
        // Bit k of seenBelow stands for highestNc - 1 - k.
        r.seenBelow = shift >= 64 ? 0 : (r.seenBelow << shift);
        if (r.highestNc != 0 && shift <= 64) {
            r.seenBelow |= uint64_t(1) << (shift - 1);
        }
        r.highestNc = nc;
        return true;
    }
    uint32_t back = r.highestNc - nc;
    if (back == 0 || back > 64) {
        return false;
    }
    uint64_t bit = uint64_t(1) << (back - 1);
    if ((r.seenBelow & bit) != 0) {
        return false;
    }
    r.seenBelow |= bit;
    return true;
}

bool HTTPServer::authenticate(HTTPRequestArg* arg, const Resource* resource) {
    const std::string* file = protectionFor(resource);
    if (file == nullptr) {
        return true;
    }
    const PasswordTable& table = passwordTables[*file];
    std::string realm = table.realm.empty() ? "orq" : table.realm;
    int result = MHD_NO;
    bool stale = false;
    char* user = MHD_digest_auth_get_username(arg->connection);
    if (user != nullptr) {
        auto it = table.users.find(user);
        if (it != table.users.end() && it->second.realm == realm) {
            result = MHD_digest_auth_check_digest2(arg->connection, realm.c_str(), user,
                                                   it->second.ha1, sizeof(it->second.ha1),
                                                   kNonceSeconds, MHD_DIGEST_ALG_MD5);
        }
        if (result == MHD_YES) {
            // libmicrohttpd lets an older nonce count through again: keep our own record,
            // so that a captured request cannot be played back.
            const char* header = MHD_lookup_connection_value(arg->connection, MHD_HEADER_KIND,
                                                             MHD_HTTP_HEADER_AUTHORIZATION);
            std::string nc = digestParameter(header, "nc");
            char* end = nullptr;
            unsigned long count = strtoul(nc.c_str(), &end, 16);
            if (nc.empty() || *end != '\0' || count > UINT32_MAX ||
                !acceptNonceCount(digestParameter(header, "nonce"), static_cast<uint32_t>(count))) {
                result = MHD_INVALID_NONCE;
            }
        }
        stale = result == MHD_INVALID_NONCE;
        ORQ_LOG(pLogger, INFO, "authenticate - user %s %s", user,
                result == MHD_YES ? "accepted" : (stale ? "refused (stale)" : "refused"));
        MHD_free(user);
    }
    if (result == MHD_YES) {
        return true;
    }
    MHD_Response* r = textResponse("Unauthorized");
    MHD_queue_auth_fail_response2(arg->connection, realm.c_str(), "orq", r,
                                  stale ? MHD_YES : MHD_NO, MHD_DIGEST_ALG_MD5);
    const char* challenge = MHD_get_response_header(r, MHD_HTTP_HEADER_WWW_AUTHENTICATE);
    std::string nonce = digestParameter(challenge, "nonce");
    if (!nonce.empty()) {
        rememberNonce(nonce);
    }
    MHD_destroy_response(r);
    arg->replied = true;
    return false;
}

int HTTPServer::handle(HTTPRequestArg* arg, bool firstCall) {
    if (arg->replied) {
        // The reply is queued; what else the client sends is dropped, up to the body bound.
        arg->dropped += arg->inLen;
        return arg->dropped > maxBodySize ? 0 : 1;
    }
    if (arg->clientGone) {
        return 0;
    }
    HTTPSessionContext* session = arg->state;
    if (firstCall) {
        // Authentication comes first: without credentials, a known path and an unknown one
        // get the same answer.
        bool found = false;
        Resource* known = deepestResource(arg->path, found);
        if (!authenticate(arg, known)) {
            return 1;
        }
        if (!found) {
            MHD_Response* r = textResponse("Not Found");
            MHD_queue_response(arg->connection, MHD_HTTP_NOT_FOUND, r);
            MHD_destroy_response(r);
            arg->replied = true;
            return 1;
        }
        arg->resource = known;
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
    const bool bodyArriving = !firstCall && arg->inLen > 0;
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
        Method m = session->getReqMethod();
        if (bodyArriving && m != M_POST && m != M_PUT) {
            // libmicrohttpd answers such a request only once its body is all in: end the
            // connection instead of reading on.
            ORQ_LOG(pLogger, INFO, "handle - %s %s closed: %d %s", arg->method.c_str(),
                    arg->path.c_str(), e.code, e.msg.c_str());
            return 0;
        }
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
    wake(wakeFd);
}

void HTTPServer::requestStop() {
    stopRequested = true;
    wake(wakeFd);
}

void HTTPServer::runOnLoop(std::function<void()> fn) {
    {
        std::lock_guard<std::mutex> lock(loopMux);
        posted.push_back(std::move(fn));
    }
    wake(wakeFd);
}

void HTTPServer::setStopHook(int fd, std::function<void()> hook) {
    stopFd = fd;
    stopHook = std::move(hook);
}

void HTTPServer::resumeConnection(HTTPRequestArg* arg) {
    arg->suspended = false;
    suspended.erase(arg);
    MHD_resume_connection(arg->connection);
    if (arg->tls) {
        // The TLS thread picks the connection up on its next pass.
        wake(tlsLoop.wakeFd);
    }
}

int HTTPServer::processReady() {
    std::vector<int> ids;
    {
        std::lock_guard<std::mutex> lock(loopMux);
        ids.swap(readyIds);
    }
    runPosted();
    int resumed = 0;
    for (int id : ids) {
        for (HTTPRequestArg* arg : suspended) {
            if (arg->state != nullptr && arg->state->sessionId == id) {
                resumeConnection(arg);
                ++resumed;
                break;
            }
        }
    }
    return resumed;
}

void HTTPServer::checkSuspended() {
    // Suspended connections are not watched by libmicrohttpd: look for clients whose
    // connection was reset while their reply was pending, so that their sessions end now. A
    // client that only closed its sending side still waits for its reply.
    std::vector<HTTPRequestArg*> gone;
    for (HTTPRequestArg* arg : suspended) {
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(arg->connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        if (info == nullptr) {
            continue;
        }
        pollfd p{info->connect_fd, 0, 0};
        if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR)) != 0) {
            gone.push_back(arg);
        }
    }
    for (HTTPRequestArg* arg : gone) {
        ORQ_LOG(pLogger, INFO, "checkSuspended - client of %s %s has gone", arg->method.c_str(),
                arg->path.c_str());
        arg->clientGone = true;
        resumeConnection(arg);
    }
}

void HTTPServer::runResumed() {
    // Without descriptors, so that nothing is read from a resumed connection before its
    // reply is queued: a client that closed its sending side still gets the reply.
    fd_set none;
    FD_ZERO(&none);
    for (MHD_Daemon* d : plainLoop.daemons) {
        MHD_run_from_select(d, &none, &none, &none);
    }
}

void HTTPServer::poll(int timeoutMs) {
    if (processReady() > 0) {
        runResumed();
    }
    fd_set rs, ws, es;
    FD_ZERO(&rs);
    FD_ZERO(&ws);
    FD_ZERO(&es);
    MHD_socket maxFd = wakeFd;
    uint64_t timeout = timeoutMs < 0 ? 0 : static_cast<uint64_t>(timeoutMs);
    addDaemons(plainLoop.daemons, &rs, &ws, &es, &maxFd, &timeout);
    FD_SET(wakeFd, &rs);
    if (stopFd >= 0) {
        FD_SET(stopFd, &rs);
        maxFd = std::max<MHD_socket>(maxFd, stopFd);
    }
    if ((!suspended.empty() || !plainLoop.clocks.empty()) && timeout > 250) {
        // Suspended clients and request deadlines are looked at between passes.
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
        drain(wakeFd);
    }
    if (n > 0 && stopFd >= 0 && FD_ISSET(stopFd, &rs)) {
        if (stopHook) {
            stopHook();
        } else {
            stopRequested = true;
        }
    }
    for (MHD_Daemon* d : plainLoop.daemons) {
        MHD_run_from_select(d, &rs, &ws, &es);
    }
    checkSuspended();
    enforceDeadlines(plainLoop);
    if (processReady() > 0) {
        runResumed();
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
