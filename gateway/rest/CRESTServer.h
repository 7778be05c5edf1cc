#ifndef ORQ_CRESTSERVER_H
#define ORQ_CRESTSERVER_H

#include <atomic>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>

#include "CHTTPServer.h"
#include "CQueryParser.h"
#include "CRESTClient.h"
#include "KeptDocument.h"
#include "RESTErrors.h"

class RESTServer;
class RESTSessionContext;
class XMLMsgComposer;
class XMLMsgParser;

// What an asynchronous request carries to its URI listener: the request identifier, the
// "timeout" parameter (hexadecimal) and the listener's expiry, and the request's session and
// resource (valid only while the request is being dispatched on the poll-loop thread). The
// agents take `timeout` as milliseconds; the listener lives that many seconds.
class RESTCallbackInfo : public UriListenerHandback {
  public:
    RESTCallbackInfo* clone() const override { return new RESTCallbackInfo(*this); }

    // Reads `value` as a hexadecimal number (empty: no timeout); `expiry` is that many
    // seconds from now. 0 and ffffffff mean "none" (expiry stays -1). Throws
    // RESTException(BAD_PARAMETER, "Bad timeout parameter") for anything else than hexadecimal
    // digits up to ffffffff.
    void setTimeout(const std::string& value);
    // True once the time-out has passed; never when none was set.
    bool expired() const;

    std::string requestIdentifier;
    long expiry = -1;
    unsigned long timeout = 0;
    bool timeoutSet = false;
    RESTSessionContext* refRestSessionCtxt = nullptr;
    Resource* refResource = nullptr;

    // The clock (seconds); tests may replace it.
    static std::function<time_t()> now;
};

// One REST exchange: an HTTP session with its request identifier (visible as
// /requests/<identifier> while the exchange is open) and the asynchronous-request
// parameters of its query. Made and destroyed on the poll-loop thread.
class RESTSessionContext : public HTTPSessionContext {
  public:
    RESTSessionContext(HTTPRequestArg* arg, RESTServer* server);
    ~RESTSessionContext() override;

    // Reads "urilistener" (makes the request asynchronous) and "timeout" from `query`.
    virtual void parse(const char* query);
    const std::string& getRequestIdentifier() const { return cbinfo.requestIdentifier; }

    std::string callbackDestination;
    bool callbackDestinationSet = false;
    std::string response;
    RESTCallbackInfo cbinfo;
    RESTServer* server;

    // Next request identifier; starts at the start time in seconds.
    static std::atomic<unsigned> ridgen;
};

// The REST dispatcher on top of the HTTP server: configuration of ports, HTTPS and digest,
// request identifiers, dispatch to resource handlers, XML error replies, and the answering
// operations towards open exchanges and URI listeners.
//
// Threads: init, dispatch and the tree run on the poll-loop thread. The answering operations
// that take a session identifier or a listener may be called from any thread: they only store
// a reply under the session lock (the poll loop writes it) or queue a POST.
class RESTServer : public HTTPServer {
  public:
    // Serves the children of "requests": one per open exchange, named by its identifier.
    class RequestsHandler : public ResourceHandler {
      public:
        void handle(Resource* resource, const char* uri, Method method, const char* query,
                    std::string* body, HTTPSessionContext* session) override;

        XMLMsgParser* pXMLMsgParser = nullptr;
        XMLMsgComposer* pXMLMsgComposer = nullptr;
        RESTServer* server = nullptr;
    };

    // Null arguments take the process-wide instances.
    RESTServer(XMLMsgParser* parser = nullptr, XMLMsgComposer* composer = nullptr,
               RESTClient* client = nullptr);
    ~RESTServer() override;

    HTTPSessionContext* makeSessionContext(HTTPRequestArg* arg) override;
    void serveRequest(Resource* resource, HTTPSessionContext* session) override;
    // Serves a request made inside the process (a stored registration made again at start)
    // as the poll loop serves one from a client; the reply goes nowhere. Poll-loop thread.
    // False when no resource has the path or the request was refused at the HTTP level.
    bool serveInProcess(const std::string& method, const std::string& path,
                        const std::string& query, const std::string& body);

    // Reads the RESTServer settings, starts the listeners, makes "requests". 0 or 1.
    virtual int init();
    // Answers with the resource information document (the names of the children).
    virtual void defaultHandler(Resource* resource, RESTSessionContext* session);
    virtual void addContext(RESTSessionContext* session);
    virtual void removeContext(RESTSessionContext* session);

    // Replies on an open exchange. 1 when stored, 0 when the exchange is no longer open
    // (logged). An empty `text` gives a reply without Detail. The forms taking a session
    // identifier may be called from any thread; those taking the session itself only on the
    // poll-loop thread, while the request is being dispatched.
    int restSuccess(const std::string& text, int sessionId);
    int restSuccess(const std::string& text, HTTPSessionContext* session);
    // The same with a kept document: an exchange with no request id gets the kept reply's
    // bytes themselves. Any thread.
    int restSuccess(const KeptDocument::Bytes& kept, int sessionId);
    // The bytes a kept document `detail` is answered with: its success reply with no request
    // id, as text and prepared once for every exchange.
    KeptDocument::Bytes keptReply(KeptDocument::Text detail) const;
    // The success reply carrying `text`, and the error reply, naming the request id `rid`
    // (none when empty: what a kept document's reply and the event stream carry).
    std::string successReply(const std::string& text, const std::string& rid = "") const;
    std::string errorReply(RESTError eid, const char* desc, const char* nwkStatus,
                           const std::string& rid = "") const;
    int restError(RESTError eid, const char* desc, const char* nwkStatus, int sessionId);
    int restError(RESTError eid, const char* desc, const char* nwkStatus,
                  HTTPSessionContext* session);
    // POSTs to a URI listener through the REST client. 1 when handed over, 0 when dropped
    // (the listener's time-out has expired, or the REST client refused it).
    int restSuccess(const std::string& text, const uriListener_t* listener);
    int restSuccess(const std::string& text, const uriListener_t* listener, bool withId);
    int restSuccess_BC(const std::string& text, const uriListener_t* listener);
    int restError(RESTError eid, const char* desc, const char* nwkStatus,
                  const uriListener_t* listener);

    // Stores `text` as the reply of `session` if it is being served or waiting.
    void send(RESTSessionContext* session, std::string text);

    // The port list with HTTPS off: pieces split at blanks, tabs and commas, each cut
    // before its first "s" or "S", joined with ",".
    static std::string removeSecurePortMarks(const std::string& ports);

    Resource* getRequestsResource() { return resources; }
    XMLMsgComposer* getComposer() { return pXMLMsgComposer; }
    XMLMsgParser* getParser() { return pXMLMsgParser; }
    RESTClient* getRESTClient() { return pRESTClient; }
    bool isSslEnabled() const { return sslEnabled; }
    bool isDigestEnabled() const { return httpDigestAuthEnabled; }

  private:
    std::string requestIdOf(RESTSessionContext& session) const;
    // Has `store` set the reply of the session's exchange, and wakes the poll loop when it did.
    int deliver(const char* name, int sessionId,
                const std::function<bool(RESTSessionContext&)>& store);
    bool listenerExpired(const uriListener_t* listener) const;
    int handOver(const uriListener_t* listener, const std::string& doc);

    std::string serverPorts;
    bool debugEnabled = false;
    mutable Debug pLogger{"RESTServer"};
    bool sslEnabled = false;
    std::string sslCertificateFile;
    bool httpDigestAuthEnabled = false;
    std::string httpDigestAuthPwdFile;
    XMLMsgParser* pXMLMsgParser;
    XMLMsgComposer* pXMLMsgComposer;
    RESTClient* pRESTClient;
    RequestsHandler requestsHandler;
    Resource* resources = nullptr;
    std::mutex mux;
};

#endif
