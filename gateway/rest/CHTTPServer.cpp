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
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <sstream>

#include "ConfigurationRepository.h"
#include "HTTPServerGlue.h"
#include "StaticFiles.h"
#include "StopSignal.h"

const ResourceDescriptor HTTPServer::rootDesc("");

const char* const HTTPServer::kTlsPriorities =
    "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2:-ARCFOUR-128:-3DES-CBC";

HTTPServer::HTTPServer()
    : tree(&rootDesc, reinterpret_cast<intptr_t>(this), pLogger), digest(pLogger) {
    tree.setUnregistered([this](Resource* resource) { unregisterResource(resource); });
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
    clearResource(getRoot());
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
// The server whose poll loop pass the calling thread is in, if any.
thread_local const HTTPServer* passOwner = nullptr;

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
    endEventStreams();
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

Resource* HTTPServer::createResource(Resource* parent, const ResourceDescriptor* descriptor,
                                     ResourceHandler* handler, intptr_t data) {
    auto* r = new Resource(descriptor, handler, data);
    registerResource(r, parent);
    return r;
}

void HTTPServer::registerResource(Resource* resource, Resource* parent) {
    tree.add(resource, parent);
}

Resource* HTTPServer::findResource(Resource* parent, const std::string& name) {
    return tree.find(parent, name);
}

void HTTPServer::removeResource(Resource* resource) {
    tree.remove(resource);
}

void HTTPServer::clearResource(Resource* resource) {
    tree.clear(resource);
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
    if (digest.unprotect(resource->uri)) {
        updateAssociations();
    }
}

void HTTPServer::protectResource(Resource* resource, const char* passwordFile) {
    Resource* r = resource != nullptr ? resource : getRoot();
    digest.protect(r->uri, passwordFile != nullptr ? passwordFile : "");
    updateAssociations();
}

std::string HTTPServer::getProtectValue() const {
    return digest.protectValue();
}

void HTTPServer::updateAssociations() {
    protectOption = getProtectValue();
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

void HTTPServer::serveFiles(const std::string& prefix, const std::string& root) {
    staticFiles = root.empty() ? nullptr : std::make_unique<StaticFiles>(prefix, root);
}

Resource* HTTPServer::resolve(const std::string& path) {
    return tree.resolve(path);
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
    if (arg->events) {
        return eventStreamCall(arg);
    }
    HTTPSessionContext* session = arg->state;
    if (firstCall) {
        // Authentication comes first: without credentials, a known path and an unknown one
        // get the same answer.
        bool found = false;
        Resource* known = tree.deepest(arg->path, found);
        if (!digest.authenticate(arg->connection, known)) {
            arg->replied = true;
            return 1;
        }
        if (staticFiles != nullptr && staticFiles->claims(arg->path)) {
            arg->replied = staticFiles->respond(arg->connection, arg->method, arg->path);
            return arg->replied ? 1 : 0;
        }
        if (isEventStreamPath(arg->path)) {
            // Answered once the whole request is in.
            arg->events = true;
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
    endEventStream(arg);
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

HTTPSessionContext* HTTPServer::activeSession(int id) {
    auto it = activeHTTPSessions.find(id);
    if (it == activeHTTPSessions.end()) {
        ORQ_LOG(pLogger, ERROR,
                "getHTTPSessionContext - ERROR - A HTTPSessionContext was request for a "
                "non-active Session Id");
        return nullptr;
    }
    return it->second;
}

HTTPSessionContext* HTTPServer::getHTTPSessionContext(int id) {
    std::lock_guard<std::mutex> lock(sessionMux);
    return activeSession(id);
}

bool HTTPServer::withActiveSession(int id, const std::function<void(HTTPSessionContext&)>& fn) {
    std::lock_guard<std::mutex> lock(sessionMux);
    HTTPSessionContext* session = activeSession(id);
    if (session == nullptr) {
        return false;
    }
    fn(*session);
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
    // Within a pass of the loop (a request answered while it is dispatched, the common case)
    // the pass itself looks at the ready exchanges before it waits again: no wake-up needed.
    if (passOwner != this) {
        wake(wakeFd);
    }
}

void HTTPServer::requestStop() {
    stopRequested = true;
    wake(wakeFd);
}

void HTTPServer::openInProcess(HTTPSessionContext* session) {
    std::lock_guard<std::mutex> lock(sessionMux);
    session->sessionId = nextSessionId++;
    activeHTTPSessions[session->sessionId] = session;
}

void HTTPServer::closeInProcess(HTTPSessionContext* session) {
    std::lock_guard<std::mutex> lock(sessionMux);
    activeHTTPSessions.erase(session->sessionId);
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
    struct Pass {
        explicit Pass(const HTTPServer* server) : outer(passOwner) { passOwner = server; }
        ~Pass() { passOwner = outer; }
        const HTTPServer* outer;
    } pass(this);
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
    {
        // Exchanges made ready during this pass after it looked (told without a wake-up).
        std::lock_guard<std::mutex> lock(loopMux);
        if (!readyIds.empty() || !posted.empty()) {
            timeout = 0;
        }
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
    events.tick(std::chrono::steady_clock::now());
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
