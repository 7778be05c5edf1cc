#ifndef ORQ_CHTTPSERVER_H
#define ORQ_CHTTPSERVER_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "CDebug.h"
#include "CResource.h"
#include "DigestAuthenticator.h"
#include "EventStream.h"
#include "RESTErrors.h"
#include "ResourceTree.h"

struct MHD_Connection;
struct MHD_Daemon;
struct MHD_Response;
class HTTPServer;
class HTTPSessionContext;
class StaticFiles;
struct ConnectionClock;

enum HTTPSessionStatus {
    S_READING_BODY = 0,
    S_BODY_READ = 1,
    S_SERVING = 2,
    S_SERVED = 3,
    S_READY = 4,
    S_TERM = 5,
};

// What the server knows of one exchange: made when the request line arrives, handed to the
// session as its `context`, freed when libmicrohttpd reports the exchange finished. Poll-loop
// thread only.
struct HTTPRequestArg {
    HTTPServer* server = nullptr;
    MHD_Connection* connection = nullptr;
    std::string method;
    std::string path;
    std::string query;
    Resource* resource = nullptr;
    HTTPSessionContext* state = nullptr;
    // The body bytes of the current call.
    const char* in = nullptr;
    size_t inLen = 0;
    bool suspended = false;
    bool clientGone = false;
    bool replied = false;
    // Body bytes that arrived after the reply was queued.
    size_t dropped = 0;
    // Served by an HTTPS listener, whose connections live on the TLS thread.
    bool tls = false;
    // A request for the event stream, and its stream once it is open.
    bool events = false;
    std::shared_ptr<EventStream> stream;
};

// A 200 reply made once and queued as it is to any number of exchanges, on any listener (a
// kept document): no exchange composes, copies or wraps it again, and no exchange makes a
// library reply of its own for it. The library counts the reply's users: it lives on until
// the last exchange sending it has finished, even once this object is gone. Immutable; any
// thread.
class PreparedReply {
  public:
    explicit PreparedReply(std::shared_ptr<const std::string> text,
                           const char* contentType = "text/xml");
    ~PreparedReply();
    PreparedReply(const PreparedReply&) = delete;
    PreparedReply& operator=(const PreparedReply&) = delete;

    const std::shared_ptr<const std::string>& text() const { return body; }
    // The library's reply, or null when it could not be made (the text is sent then).
    MHD_Response* response() const { return prepared; }

  private:
    std::shared_ptr<const std::string> body;
    MHD_Response* prepared = nullptr;
};

// One HTTP exchange. Made and destroyed on the poll-loop thread. Other threads reach it only
// through HTTPServer::withActiveSession, under the server's session lock; the status and the
// reply body are additionally guarded by the session's own mutex.
class HTTPSessionContext {
  public:
    explicit HTTPSessionContext(HTTPRequestArg* arg);
    virtual ~HTTPSessionContext();
    HTTPSessionContext(const HTTPSessionContext&) = delete;
    HTTPSessionContext& operator=(const HTTPSessionContext&) = delete;

    // Reads the announced body length; throws 411 when a POST or PUT has none, 400 when the
    // request announces its length twice over (two different Content-Length values, or one
    // together with a transfer coding), and 413 when it is far beyond the server's body
    // bound (a body just beyond it is discarded as it arrives and then answered with 413).
    virtual void check();
    virtual void setResponse(const std::string& text);
    // Appends the bytes of the current call to the body. Whatever the method, no more than
    // the server's body bound is accepted (413).
    virtual void processPostData();

    Method getReqMethod() const;
    const char* getReqMethodStr() const { return context->method.c_str(); }
    const char* getReqURI() const { return context->path.c_str(); }
    const char* getQueryStr() const { return context->query.c_str(); }
    // A request header, or null. Poll-loop thread only.
    const char* getHeader(const char* name) const;
    const std::string& getRxDataBuffer() const { return rxDataBuffer; }
    std::string* rxData() { return &rxDataBuffer; }
    HTTPSessionStatus getSessionStatus() const;
    void setSessionStatus(HTTPSessionStatus s);
    std::string getResponse() const;
    int getSessionId() const { return sessionId; }
    HTTPServer* getServer() const { return context->server; }

    // Stores `text` as the reply and sets S_READY when the exchange is being served or
    // waiting for its reply; false otherwise (already answered or not yet dispatched).
    bool setReadyResponse(std::string text);
    // The same with bytes shared with others (a kept document): sent without a copy.
    bool setReadyResponse(std::shared_ptr<const std::string> text);
    // The same with a reply made once for every exchange (its text is the reply's body).
    bool setReadyResponse(std::shared_ptr<const PreparedReply> reply);

    // Queue the reply on the connection (poll-loop thread only).
    void sendResponse();
    void reply(const HTTPException& e);

    static int getSessionId(const HTTPSessionContext* s) { return s->sessionId; }

  protected:
    friend class HTTPServer;

    bool debugEnabled = false;
    int debugLevel = 0;
    Debug pLogger{"SessionContext"};
    HTTPRequestArg* context;
    // Bodies up to this many times the bound are read and discarded before the 413.
    static constexpr unsigned long kDiscardLimit = 4;
    bool tooLarge = false;
    // Bytes a method without a body sent anyway; read and dropped, up to the bound.
    unsigned long ignoredBytes = 0;
    unsigned long contentLen = 0;
    unsigned long numReadBytes = 0;
    std::string rxDataBuffer;
    HTTPSessionStatus status;
    std::shared_ptr<const std::string> body;
    std::shared_ptr<const PreparedReply> prepared;
    int sessionId = -1;
    mutable std::mutex mux;
};

// The embedded HTTP server: one libmicrohttpd daemon per configured port. Plain HTTP ports
// are driven by the poll loop of the thread that calls start() (the main thread of the
// gateway). HTTPS ports are driven by a thread of their own, so that TLS handshakes never
// hold up that loop; every call libmicrohttpd makes into the server for an HTTPS exchange is
// handed to the poll-loop thread and waited for, so the tree, the sessions and the handlers
// are still worked by that one thread. Operations are poll-loop thread only except those
// marked "any thread". The server owns the resource tree (ResourceTree) and the digest
// authentication (DigestAuthenticator) and delegates the resource and protection operations to
// them; its own jobs are the listeners with their loops, suspend and resume, and the sessions.
// The session state machine is in HTTPSessionContext.cpp, the libmicrohttpd callbacks and the
// connection clocks in HTTPServerGlue.cpp.
class HTTPServer {
  public:
    HTTPServer();
    virtual ~HTTPServer();
    HTTPServer(const HTTPServer&) = delete;
    HTTPServer& operator=(const HTTPServer&) = delete;

    // Runs the poll loop until requestStop(), or until the stop descriptor (by default
    // StopSignal::fd(), when installed) becomes readable and no hook is set.
    virtual void start();
    virtual Resource* createResource(Resource* parent, const ResourceDescriptor* descriptor,
                                     ResourceHandler* handler, intptr_t data);
    virtual Resource* findResource(Resource* parent, const std::string& name);
    virtual void removeResource(Resource* resource);
    virtual void clearResource(Resource* resource);
    virtual HTTPSessionContext* makeSessionContext(HTTPRequestArg* arg);
    virtual void serveRequest(Resource* resource, HTTPSessionContext* session);

    // Adds `resource` under `parent` (the root when null); its URIs are reachable at once.
    void registerResource(Resource* resource, Resource* parent);
    void unregisterResource(Resource* resource);
    // Puts `resource` and everything below it under digest authentication with the
    // htdigest-format password file `passwordFile`.
    void protectResource(Resource* resource, const char* passwordFile);
    void updateAssociations();
    std::string getProtectValue() const;

    // Options: "ports" (list, split at commas, blanks or tabs, of [address:]port[s], "s" for HTTPS;
    // setting it (re)starts the listeners), "ssl_cert" (PEM file holding certificate and private
    // key), "protect" (read only). Returns 0 on success, 1 on failure.
    int setOption(const char* name, const char* value);
    const char* getOption(const char* name);
    void setPollTimeout(int ms) { pollTimeout = ms; }
    // Largest request body accepted; larger ones get 413.
    void setMaxBodySize(size_t bytes) { maxBodySize = bytes; }
    size_t getMaxBodySize() const { return maxBodySize; }
    // Idle time after which libmicrohttpd drops a connection (applies to listeners started
    // afterwards).
    void setConnectionTimeout(unsigned seconds) { connectionTimeout = seconds; }
    // Time a request has to complete its headers once its request line is in; its body gets
    // as long again plus one second per kBodyBytesPerSecond bytes announced. Applies to
    // listeners started afterwards.
    void setRequestDeadline(unsigned seconds) { requestDeadline = seconds; }
    // The ports actually bound, in the order of the "ports" option.
    std::vector<int> listeningPorts() const;

    // Connections one client address may hold on one port (1 to kConnectionLimit), and
    // connections per port: a handful of addresses cannot take every slot. Applies to
    // listeners started afterwards.
    void setPerAddressConnections(unsigned count) { perAddressConnections = count; }
    static constexpr unsigned kPerAddressConnections = 16;
    static constexpr unsigned kConnectionLimit = 256;
    static constexpr unsigned kBodyBytesPerSecond = 8 * 1024;
    // GnuTLS priorities of the HTTPS ports: TLS 1.2 and 1.3 only.
    static const char* const kTlsPriorities;

    // Poll-loop thread: the session of an open exchange, or null (logged).
    HTTPSessionContext* getHTTPSessionContext(int id);
    // Any thread: runs `fn` on the open exchange `id` under the session lock, so the session
    // cannot go away meanwhile. False (logged) when `id` is not open.
    bool withActiveSession(int id, const std::function<void(HTTPSessionContext&)>& fn);
    // Any thread: the exchange `id` has its reply; the poll loop writes it.
    void notifyReady(int id);
    size_t activeSessionCount() const;

    // One pass of the loop: waits up to `timeoutMs` for network events or a wake-up.
    void poll(int timeoutMs);
    // Any thread: makes start() return after its current pass.
    void requestStop();
    // Any thread: runs `fn` on the poll-loop thread during its next pass.
    void runOnLoop(std::function<void()> fn);
    // When `fd` becomes readable the loop calls `hook` (or, with no hook, returns from
    // start()). Used for the process's stop-signal descriptor.
    void setStopHook(int fd, std::function<void()> hook);

    // Serves the files of the directory `root` at `prefix` and below it ("/ui"), beside the
    // tree, under the same authentication; an empty `root` serves none.
    void serveFiles(const std::string& prefix, const std::string& root);

    Resource* getRoot() { return tree.root(); }
    // The live event stream (GET /events): what the gateway publishes goes to its clients.
    EventStreams& eventStreams() { return events; }
    // Resolves a request path against the tree ("*" children match any name).
    Resource* resolve(const std::string& path);
    // An exchange made inside the process: numbered and open as a client's would be, until
    // closed (poll-loop thread).
    void openInProcess(HTTPSessionContext* session);
    void closeInProcess(HTTPSessionContext* session);

    // Stops every listener, ending open exchanges. Called by the destructors; a derived class
    // whose sessions call back into it calls it first.
    void stopListeners();

    static const ResourceDescriptor rootDesc;

    // The daemons one thread drives, with that thread's wake-up descriptor and the clocks of
    // its connections.
    struct DaemonLoop {
        HTTPServer* server = nullptr;
        bool tls = false;
        std::vector<MHD_Daemon*> daemons;
        int wakeFd = -1;
        std::set<ConnectionClock*> clocks;
    };

  protected:
    friend struct HTTPServerGlue;

    // Poll-loop thread: one libmicrohttpd call for an exchange; returns an MHD result.
    int handle(HTTPRequestArg* arg, bool firstCall);
    void endSession(HTTPRequestArg* arg);
    int processReady();
    void checkSuspended();
    void resumeConnection(HTTPRequestArg* arg);
    void runResumed();
    // Runs `fn` on the poll-loop thread and waits for it when called on the TLS thread;
    // runs it at once on any other thread.
    void onLoopThread(const std::function<void()>& fn);
    void runPosted();
    void runTlsLoop();
    // Closes the connections of `loop` whose request is late (see setRequestDeadline).
    void enforceDeadlines(DaemonLoop& loop);
    // The event stream (EventStreamGlue.cpp): one libmicrohttpd call of a request for it, the
    // end of its exchange, and the end of every stream before the listeners stop.
    static bool isEventStreamPath(const std::string& path);
    int eventStreamCall(HTTPRequestArg* arg);
    void endEventStream(HTTPRequestArg* arg);
    void endEventStreams();

    struct PortSpec {
        std::string address;
        int port = 0;
        bool tls = false;
    };
    bool startListeners(const std::vector<PortSpec>& specs);

    // Every daemon, in the order of the "ports" option.
    std::vector<MHD_Daemon*> serverContext;
    DaemonLoop plainLoop;
    DaemonLoop tlsLoop;
    std::thread tlsThread;
    std::atomic<bool> tlsStop{false};
    std::atomic<bool> tlsRunning{false};

    int pollTimeout = 1000;
    bool debugEnabled = false;
    int debugLevel = 0;
    Debug pLogger{"HTTPServer"};
    // The URI tree; a resource leaving it is unregistered (unregisterResource).
    ResourceTree tree;
    // Which resources are protected, by which password file, and the nonces handed out.
    DigestAuthenticator digest;
    // The files served beside the tree, or null.
    std::unique_ptr<StaticFiles> staticFiles;
    EventStreams events;
    // Open exchanges by identifier, under `sessionMux`.
    std::map<int, HTTPSessionContext*> activeHTTPSessions;
    // The open exchange `id`, or null (logged). The caller holds `sessionMux`.
    HTTPSessionContext* activeSession(int id);
    mutable std::mutex sessionMux;
    int nextSessionId = 1;

    std::string portsOption;
    std::string sslCertFile;
    std::string sslPem;
    std::string protectOption;
    std::vector<char> digestRandom;
    size_t maxBodySize = 256 * 1024;
    unsigned connectionTimeout = 30;
    unsigned perAddressConnections = kPerAddressConnections;
    unsigned requestDeadline = 10;
    std::set<HTTPRequestArg*> suspended;

    int wakeFd = -1;
    std::mutex loopMux;
    std::vector<int> readyIds;
    std::vector<std::function<void()>> posted;
    // Calls handed over by the TLS thread that the poll loop has finished.
    std::mutex callMux;
    std::condition_variable callDone;
    uint64_t callsPosted = 0;
    uint64_t callsFinished = 0;
    std::atomic<bool> stopRequested{false};
    int stopFd = -1;
    std::function<void()> stopHook;
};

#endif
