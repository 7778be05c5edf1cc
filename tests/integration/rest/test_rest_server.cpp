// The REST server over real sockets: request identifiers, asynchronous requests, the
// "timeout" parameter, the "requests" resource, error documents, late replies from other
// threads, replies to URI listeners, HTTPS and digest authentication from the configuration.

#include <gtest/gtest.h>

#include <expat.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <thread>

#include "CRESTServer.h"
#include "ConfigurationRepository.h"
#include "RestTestSupport.h"
#include "XMLProcessor.h"

using namespace resttest;

namespace {

// What the handler saw of one request.
struct Seen {
    std::string uri;
    int sessionId = -1;
    bool async = false;
    std::string listener;
    RESTCallbackInfo cbinfo;
};

// The test's resource tree: /version answers at once, /hold waits for another thread,
// /async starts work and returns, /bad throws RESTException, /gone throws HTTPException.
class TestHandler : public ResourceHandler {
  public:
    explicit TestHandler(RESTServer& s) : server(s) {}
    void handle(Resource* resource, const char* uri, Method, const char*, std::string* body,
                HTTPSessionContext* session) override {
        auto* rs = static_cast<RESTSessionContext*>(session);
        {
            std::lock_guard<std::mutex> lock(mux);
            Seen s;
            s.uri = resource->uri;
            s.sessionId = rs->getSessionId();
            s.async = rs->callbackDestinationSet;
            s.listener = rs->callbackDestination;
            s.cbinfo = rs->cbinfo;
            seen.push_back(s);
        }
        const std::string& name = resource->name();
        if (name == "version") {
            server.restSuccess(server.getComposer()->createVersionMsg(), session);
        } else if (name == "bad") {
            throw RESTException(WRONG_REQUEST, "Missing timeout parameter");
        } else if (name == "baddefault") {
            throw RESTException(URILISTENER_LIST_MAX_SIZE_EXCEEDED);
        } else if (name == "gone") {
            throw HTTPException(405, "Method Not Allowed");
        } else if (name == "notify") {
            uriListener_t listener(rs->callbackDestination, rs->cbinfo.clone());
            server.restSuccess("<n/>", &listener);
        } else if (name == "*") {
            // Echoes what the client sent, as error texts often do.
            std::string value;
            if (server.getParser()->getValue(value, body->c_str()) != 0) {
                value = "refused";
            }
            throw RESTException(WRONG_REQUEST, (std::string(uri) + " " + value).c_str());
        }
    }
    Seen last() {
        std::lock_guard<std::mutex> lock(mux);
        return seen.back();
    }
    size_t count() {
        std::lock_guard<std::mutex> lock(mux);
        return seen.size();
    }

  private:
    RESTServer& server;
    std::mutex mux;
    std::vector<Seen> seen;
};

const ResourceDescriptor kVersion("version");
const ResourceDescriptor kHold("hold");
const ResourceDescriptor kAsync("async");
const ResourceDescriptor kBad("bad");
const ResourceDescriptor kBadDefault("baddefault");
const ResourceDescriptor kGone("gone");
const ResourceDescriptor kFolder("folder");
const ResourceDescriptor kNotify("notify");
const ResourceDescriptor kEcho("echo");
const ResourceDescriptor kAny("*");

// Whether `doc` is a well-formed XML document to a strict parser (expat checks UTF-8 and
// the characters XML allows).
bool strictlyWellFormed(const std::string& doc) {
    XML_Parser p = XML_ParserCreate(nullptr);
    bool ok = XML_Parse(p, doc.data(), static_cast<int>(doc.size()), 1) == XML_STATUS_OK;
    XML_ParserFree(p);
    return ok;
}

std::string writeConfig(const std::string& name, const std::string& text) {
    std::string path = tempPath(name);
    std::ofstream(path) << text;
    return path;
}

void loadConfig(const std::string& text) {
    static int n = 0;
    std::string path = writeConfig("rest_server_" + std::to_string(n++) + ".ini", text);
    ConfigurationRepository::instance(path)->load();
}

class RestServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        loadConfig("[RESTServer]\nserverPorts = 127.0.0.1:0s\n");
        server = std::make_unique<RESTServer>(nullptr, nullptr, &client);
        handler = std::make_unique<TestHandler>(*server);
        ASSERT_EQ(0, server->init());
        EXPECT_STREQ("127.0.0.1:0", server->getOption("ports"));
        server->createResource(nullptr, &kVersion, handler.get(), 0);
        server->createResource(nullptr, &kHold, handler.get(), 0);
        server->createResource(nullptr, &kAsync, handler.get(), 0);
        server->createResource(nullptr, &kBad, handler.get(), 0);
        server->createResource(nullptr, &kBadDefault, handler.get(), 0);
        server->createResource(nullptr, &kGone, handler.get(), 0);
        server->createResource(nullptr, &kNotify, handler.get(), 0);
        Resource* echo = server->createResource(nullptr, &kEcho, handler.get(), 0);
        server->createResource(echo, &kAny, handler.get(), 0);
        Resource* folder = server->createResource(nullptr, &kFolder, nullptr, 0);
        server->createResource(folder, &kVersion, handler.get(), 0);
        server->createResource(folder, &kHold, handler.get(), 0);
        port = server->listeningPorts().at(0);
        loop = std::make_unique<LoopThread>(*server);
    }
    void TearDown() override {
        loop.reset();
        server.reset();
    }
    std::string url(const std::string& path) {
        return "http://127.0.0.1:" + std::to_string(port) + path;
    }
    // Starts a POST whose body never completes; returns the socket.
    int startSlowPost(const std::string& path) {
        int fd = connectTo(port);
        sendAll(fd, "POST " + path + " HTTP/1.1\r\nHost: x\r\nContent-Length: 50\r\n\r\n<Val");
        return fd;
    }
    // The identifiers listed by GET /requests.
    std::vector<std::string> openRequests() {
        HttpResult r = httpGet(url("/requests"));
        std::vector<std::string> ids;
        const std::string open = "<ResourceId>";
        for (size_t at = r.body.find(open); at != std::string::npos;
             at = r.body.find(open, at + 1)) {
            std::string id = r.body.substr(at + open.size(), 8);
            if (isLowerHex8(id)) {
                ids.push_back(id);
            }
        }
        return ids;
    }

    RESTClient client;
    std::unique_ptr<RESTServer> server;
    std::unique_ptr<TestHandler> handler;
    int port = 0;
    std::unique_ptr<LoopThread> loop;
};

TEST_F(RestServerTest, SynchronousRequestIsAnsweredWithTheHandlersDocument) {
    HttpResult r = httpGet(url("/version"));
    EXPECT_EQ(200, r.status);
    EXPECT_EQ(0u, r.body.find("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Info>"));
    EXPECT_EQ("0", element(r.body, "Code"));
    EXPECT_NE(std::string::npos, r.body.find("<VersionIdentifier>1</VersionIdentifier>"));
    EXPECT_EQ("<absent>", element(r.body, "RequestIdentifier"));
    EXPECT_FALSE(handler->last().async);
}

TEST_F(RestServerTest, AsynchronousRequestIsAnsweredAtOnceWithItsRequestIdentifier) {
    HttpResult r = httpGet(url("/async?urilistener=http://127.0.0.1:1/x&timeout=1e"));
    EXPECT_EQ(200, r.status);
    EXPECT_EQ("0", element(r.body, "Code"));
    std::string rid = element(r.body, "RequestIdentifier");
    EXPECT_TRUE(isLowerHex8(rid)) << r.body;
    Seen s = handler->last();
    EXPECT_TRUE(s.async);
    EXPECT_EQ("http://127.0.0.1:1/x", s.listener);
    EXPECT_EQ(rid, s.cbinfo.requestIdentifier);
    ASSERT_NE(nullptr, s.cbinfo.refResource);
    EXPECT_EQ("/async", s.cbinfo.refResource->uri.str());
    EXPECT_NE(nullptr, s.cbinfo.refRestSessionCtxt);

    // Identifiers grow by one per exchange.
    HttpResult r2 = httpGet(url("/async?urilistener=http://127.0.0.1:1/x"));
    std::string rid2 = element(r2.body, "RequestIdentifier");
    EXPECT_EQ(std::stoul(rid, nullptr, 16) + 1, std::stoul(rid2, nullptr, 16));
}

TEST_F(RestServerTest, TimeoutParameterValues) {
    // The values themselves are RESTCallbackInfo's (unit tests); here, what reaches the wire.
    time_t before = time(nullptr);
    httpGet(url("/version?timeout=1e"));
    Seen s = handler->last();
    EXPECT_EQ(30u, s.cbinfo.timeout);
    EXPECT_GE(s.cbinfo.expiry, before + 30);

    size_t count = handler->count();
    HttpResult r = httpGet(url("/version?timeout=xyz"));
    EXPECT_EQ(200, r.status);
    EXPECT_EQ("4", element(r.body, "Code"));
    EXPECT_EQ("Bad timeout parameter", element(r.body, "Message"));
    EXPECT_EQ(count, handler->count()) << "the handler is not called";

    // An empty listener followed by a timeout: asynchronous, empty destination, 5 s.
    httpGet(url("/hold?urilistener&timeout=5"));
    s = handler->last();
    EXPECT_TRUE(s.async);
    EXPECT_EQ("", s.listener);
    EXPECT_EQ(5u, s.cbinfo.timeout);
}

TEST_F(RestServerTest, ErrorsFromHandlers) {
    HttpResult r = httpGet(url("/bad"));
    EXPECT_EQ(200, r.status);
    EXPECT_EQ("2", element(r.body, "Code"));
    EXPECT_EQ("Missing timeout parameter", element(r.body, "Message"));
    r = httpGet(url("/baddefault?urilistener=http://127.0.0.1:1/"));
    EXPECT_EQ("8", element(r.body, "Code"));
    EXPECT_EQ("URIListener list maximum size exceeded", element(r.body, "Message"));
    EXPECT_NE("<absent>", element(r.body, "RequestIdentifier"));
    r = httpGet(url("/gone"));
    EXPECT_EQ(405, r.status);
    EXPECT_EQ("Method Not Allowed", r.body);
}

TEST_F(RestServerTest, DocumentsStayWellFormedWhateverTheClientSent) {
    // Raw bytes in the path (not UTF-8), and a body whose character reference XML forbids.
    const std::string bodies[] = {"<Value>ok</Value>", "<Value>&#xD800;</Value>",
                                  "<Value>a&#0;b</Value>", "<Value>\xC3\x28\xFF\xFE</Value>"};
    for (const std::string& body : bodies) {
        std::string reply = rawExchange(port,
                                        "POST /echo/%C3%28%FF%FE%EF%BF%BE HTTP/1.1\r\nHost: x\r\n"
                                        "Connection: close\r\nContent-Length: " +
                                            std::to_string(body.size()) + "\r\n\r\n" + body);
        size_t start = reply.find("<?xml");
        ASSERT_NE(std::string::npos, start) << reply;
        std::string doc = reply.substr(start);
        EXPECT_TRUE(strictlyWellFormed(doc)) << doc;
        EXPECT_EQ("2", element(doc, "Code"));
        std::string message = element(doc, "Message");
        EXPECT_EQ(0u, message.find("/echo/")) << message;
        EXPECT_EQ(body == bodies[0] ? "ok" : "refused", message.substr(message.rfind(' ') + 1));
    }
}

TEST_F(RestServerTest, PercentEncodedListenerIsDecodedAndDelivered) {
    TestListener listener;
    client.init();
    std::string encoded =
        "http%3A%2F%2F127.0.0.1%3A" + std::to_string(listener.port) + "%2Fencoded%3Fa%3D1";
    HttpResult r = httpGet(url("/notify?urilistener=" + encoded + "&timeout=%31e"));
    EXPECT_EQ("0", element(r.body, "Code"));
    ASSERT_GT(handler->count(), 0u);
    EXPECT_EQ("http://127.0.0.1:" + std::to_string(listener.port) + "/encoded?a=1",
              handler->last().listener);
    EXPECT_EQ(30u, handler->last().cbinfo.timeout);
    ASSERT_TRUE(waitFor([&] { return listener.count() == 1; }));
    EXPECT_NE(std::string::npos, listener.bodies()[0].find("<n/>"));
}

TEST_F(RestServerTest, ResourceWithoutHandlerListsItsChildren) {
    HttpResult r = httpGet(url("/folder"));
    EXPECT_EQ(200, r.status);
    EXPECT_NE(std::string::npos,
              r.body.find("<Detail><Resource><ResourceId>version</ResourceId></Resource>\n"
                          "<Resource><ResourceId>hold</ResourceId></Resource>\n</Detail>"))
        << r.body;
}

TEST_F(RestServerTest, LateReplyFromAnotherThreadAndDroppedReplyForAClosedExchange) {
    std::thread agent([&] {
        ASSERT_TRUE(waitFor([&] { return handler->count() == 1; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_EQ(1, server->restError(TIMEOUT, nullptr, "0x04", handler->last().sessionId));
    });
    HttpResult r = httpGet(url("/hold"));
    agent.join();
    EXPECT_EQ("1", element(r.body, "Code"));
    EXPECT_EQ("Timeout", element(r.body, "Message"));
    EXPECT_EQ("0x04", element(r.body, "NWKStatus"));
    int id = handler->last().sessionId;
    EXPECT_TRUE(waitFor([&] { return server->activeSessionCount() == 0; }));
    EXPECT_EQ(0, server->restSuccess("<late/>", id));
    EXPECT_EQ(0, server->restError(TIMEOUT, nullptr, nullptr, id));
}

TEST_F(RestServerTest, RequestsResource) {
    // A request still receiving its body, and one waiting for its answer.
    int reading = startSlowPost("/version");
    int waiting = connectTo(port);
    sendAll(waiting, "GET /hold HTTP/1.1\r\nHost: x\r\n\r\n");
    ASSERT_TRUE(waitFor([&] { return handler->count() == 1; }));
    std::vector<std::string> ids = openRequests();
    ASSERT_EQ(3u, ids.size());  // the two above and the GET /requests itself
    std::string readingId = ids[0], waitingId = ids[1];

    EXPECT_EQ(404, httpGet(url("/requests/" + waitingId)).status);
    HttpResult r = httpGet(url("/requests/" + readingId));
    EXPECT_EQ("6", element(r.body, "Code"));
    EXPECT_EQ("No message received so far", element(r.body, "Message"));
    EXPECT_EQ(405, httpRequest("DELETE", url("/requests/" + readingId)).status);
    EXPECT_EQ(405, httpSend("POST", url("/requests/" + readingId), "<Value>1</Value>").status);

    r = httpSend("PUT", url("/requests/" + readingId), "<Value>1e</Value>");
    EXPECT_EQ(200, r.status);
    EXPECT_EQ("0", element(r.body, "Code"));
    r = httpSend("PUT", url("/requests/" + readingId), "<Value>zz</Value>");
    EXPECT_EQ("Bad timeout parameter", element(r.body, "Message"));
    r = httpSend("PUT", url("/requests/" + readingId), "not xml");
    EXPECT_EQ("4", element(r.body, "Code"));
    EXPECT_EQ("Bad value parameter", element(r.body, "Message"));

    // The PUT reached the named session: its time-out is now 30 s.
    bool checked = false;
    loop->run([&] {
        Resource* res = server->findResource(server->getRequestsResource(), readingId);
        ASSERT_NE(nullptr, res);
        auto* named = reinterpret_cast<RESTSessionContext*>(res->data);
        EXPECT_EQ(30u, named->cbinfo.timeout);
        EXPECT_TRUE(named->cbinfo.timeoutSet);
        checked = true;
    });
    EXPECT_TRUE(checked);

    // Closed exchanges leave the tree (a client waiting for its answer must reset: one that
    // only hangs up still gets its answer).
    close(reading);
    linger reset{1, 0};
    setsockopt(waiting, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
    close(waiting);
    EXPECT_TRUE(waitFor([&] { return openRequests().size() == 1; }));
    EXPECT_EQ(404, httpGet(url("/requests/" + readingId)).status);
}

// A burst beyond the delivery queue's bound loses documents, never the listener (the broker
// drops a listener whose delivery answers 0).
TEST_F(RestServerTest, AFullDeliveryQueueDropsDocumentsButKeepsTheListener) {
    TestListener stalled;
    stalled.stalled = true;
    client.init();
    uriListener_t l(stalled.url("/s"), nullptr);
    ASSERT_EQ(1, server->restSuccess("<m/>", &l));
    ASSERT_TRUE(waitFor([&] { return stalled.accepted.load() == 1; }));
    for (size_t i = 1; i <= RESTClient::kMaxQueued; ++i)
        EXPECT_EQ(1, server->restSuccess("<m/>", &l)) << i;
    EXPECT_EQ(RESTClient::kMaxQueued, client.queuedCount(1));
    stalled.stalled = false;
}

TEST_F(RestServerTest, RepliesToUriListeners) {
    TestListener listener;
    client.init();
    {
        auto* info = new RESTCallbackInfo;
        info->requestIdentifier = "0000abcd";
        uriListener_t l(listener.url("/a"), info);
        EXPECT_EQ(1, l.type);
        EXPECT_EQ(1, server->restSuccess("<x/>", &l));
        EXPECT_EQ(1, server->restError(ZB_NWK_FAILURE, nullptr, "0xc2", &l));
        EXPECT_EQ(1, server->restSuccess_BC("<raw/>", &l));
        uriListener_t l2(listener.url("/b"), nullptr);
        l2.id = "0000001a";
        EXPECT_EQ(1, server->restSuccess("<ev/>", &l2, true));

        RESTCallbackInfo::now = [] { return time(nullptr) - 100; };
        info->setTimeout("1");
        RESTCallbackInfo::now = [] { return time(nullptr); };
        EXPECT_TRUE(info->expired());
        EXPECT_EQ(0, server->restSuccess("<x/>", &l));
        EXPECT_EQ(0, server->restError(TIMEOUT, nullptr, nullptr, &l));

        uriListener_t ftp("ftp://127.0.0.1/x", nullptr);
        EXPECT_EQ(0, server->restSuccess("<x/>", &ftp));
    }
    ASSERT_TRUE(waitFor([&] { return listener.count() == 4; }));
    auto bodies = listener.bodies();
    EXPECT_EQ("0", element(bodies[0], "Code"));
    EXPECT_EQ("0000abcd", element(bodies[0], "RequestIdentifier"));
    EXPECT_NE(std::string::npos, bodies[0].find("<Detail><x/></Detail>"));
    EXPECT_EQ("10", element(bodies[1], "Code"));
    EXPECT_EQ("ZigBee Network Failure", element(bodies[1], "Message"));
    EXPECT_EQ("0xc2", element(bodies[1], "NWKStatus"));
    EXPECT_EQ("<raw/>", bodies[2]);
    EXPECT_EQ("26", element(bodies[3], "EventCallbackIdentifier"));
}

TEST(RestServerInit, PortListsAndFailures) {
    EXPECT_EQ("9000,9443", RESTServer::removeSecurePortMarks("9000,9443s"));
    EXPECT_EQ("9000,9443,80", RESTServer::removeSecurePortMarks(" 9000\t9443S,, 80"));
    EXPECT_EQ("", RESTServer::removeSecurePortMarks(""));

    RESTClient client;
    loadConfig("[RESTServer]\nserverPorts = nonsense\n");
    RESTServer bad(nullptr, nullptr, &client);
    EXPECT_EQ(1, bad.init());

    // HTTPS asked for without a certificate file: served over plain HTTP.
    loadConfig("[RESTServer]\nssl = 1\nserverPorts = 127.0.0.1:0s\nhttpDigestAuth = 1\n");
    RESTServer plain(nullptr, nullptr, &client);
    EXPECT_EQ(0, plain.init());
    EXPECT_FALSE(plain.isSslEnabled());
    EXPECT_FALSE(plain.isDigestEnabled());
    EXPECT_STREQ("", plain.getOption("protect"));
}

std::string makeCertificate() {
    std::string key = tempPath("rest_key.pem"), cert = tempPath("rest_cert.pem"),
                both = tempPath("rest_both.pem");
    std::string cmd = "openssl req -x509 -newkey rsa:2048 -nodes -keyout " + key + " -out " + cert +
                      " -days 1 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 "
                      ">/dev/null 2>&1 && cat " +
                      cert + " " + key + " > " + both;
    EXPECT_EQ(0, system(cmd.c_str()));
    return both;
}

// Holds the poll-loop thread inside a handler until released.
class BlockingHandler : public ResourceHandler {
  public:
    void handle(Resource*, const char*, Method, const char*, std::string*,
                HTTPSessionContext* session) override {
        std::unique_lock<std::mutex> lock(mux);
        entered = true;
        changed.notify_all();
        changed.wait(lock, [&] { return released; });
        session->setReadyResponse("<released/>");
    }
    void waitEntered() {
        std::unique_lock<std::mutex> lock(mux);
        changed.wait(lock, [&] { return entered; });
    }
    void release() {
        std::lock_guard<std::mutex> lock(mux);
        released = true;
        changed.notify_all();
    }

  private:
    std::mutex mux;
    std::condition_variable changed;
    bool entered = false;
    bool released = false;
};

// Runs `openssl s_client` against `port` with the given protocol option; true when the
// handshake completed.
bool opensslHandshake(int port, const std::string& protocol) {
    std::string out =
        shellOutput("openssl s_client -connect 127.0.0.1:" + std::to_string(port) + " " + protocol +
                    " -cipher 'DEFAULT:@SECLEVEL=0' </dev/null 2>&1; echo exit=$?");
    return out.find("exit=0") != std::string::npos &&
           out.find("Cipher is (NONE)") == std::string::npos;
}

// A certificate of its own, and the configuration of an HTTPS port and a plain one with it.
std::string configureHttpsAndPlainPorts() {
    std::string pem = makeCertificate();
    loadConfig("[RESTServer]\nssl = 1\nsslCertFile = " + pem +
               "\nserverPorts = 127.0.0.1:0s,127.0.0.1:0\n");
    return pem;
}

TEST(RestServerSecurity, HttpsFromTheConfiguredCertificate) {
    const std::string pem = configureHttpsAndPlainPorts();
    RESTClient client;
    RESTServer server(nullptr, nullptr, &client);
    ASSERT_EQ(0, server.init());
    EXPECT_TRUE(server.isSslEnabled());
    static const ResourceDescriptor folder("folder"), block("block");
    server.createResource(nullptr, &folder, nullptr, 0);
    BlockingHandler blocking;
    server.createResource(nullptr, &block, &blocking, 0);
    int port = server.listeningPorts().at(0), plainPort = server.listeningPorts().at(1);
    LoopThread loop(server);
    const std::string base = "https://127.0.0.1:" + std::to_string(port);

    RequestOptions opt;
    opt.caFile = pem;
    HttpResult r = httpRequest("GET", base + "/", opt);
    EXPECT_EQ(0, r.curlCode);
    EXPECT_EQ(200, r.status);
    EXPECT_NE(std::string::npos, r.body.find("<ResourceId>folder</ResourceId>"));
    // Plain HTTP on the HTTPS port gets no reply.
    HttpResult plain = httpGet("http://127.0.0.1:" + std::to_string(port) + "/");
    EXPECT_NE(200, plain.status);

    // TLS 1.2 and 1.3 only.
    EXPECT_TRUE(opensslHandshake(port, "-tls1_2"));
    EXPECT_TRUE(opensslHandshake(port, "-tls1_3"));
    EXPECT_FALSE(opensslHandshake(port, "-tls1"));
    EXPECT_FALSE(opensslHandshake(port, "-tls1_1"));

    // Handshakes do not wait for the poll-loop thread: one completes while a handler holds it.
    std::thread holder([&] {
        HttpResult held = httpGet("http://127.0.0.1:" + std::to_string(plainPort) + "/block");
        EXPECT_EQ("<released/>", held.body);
    });
    blocking.waitEntered();
    CURL* c = curl_easy_init();
    curl_easy_setopt(c, CURLOPT_URL, base.c_str());
    curl_easy_setopt(c, CURLOPT_CONNECT_ONLY, 1L);
    curl_easy_setopt(c, CURLOPT_CAINFO, pem.c_str());
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_TIMEOUT, 10L);
    CURLcode handshake = curl_easy_perform(c);
    curl_easy_cleanup(c);
    blocking.release();
    holder.join();
    EXPECT_EQ(CURLE_OK, handshake) << curl_easy_strerror(handshake);

    // The event stream over HTTPS: a client resuming from id 0 gets the stored event, then one
    // published while its connection waits, then the end of its stream.
    StreamEvent first;
    first.kind = "gateway";
    first.data = "<first/>";
    server.eventStreams().publish(first);
    std::thread publisher([&] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (server.eventStreams().openCount() == 0 &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        StreamEvent second = first;
        second.data = "<second/>";
        server.eventStreams().publish(second);
        server.eventStreams().endAll();
    });
    const std::string stream = shellOutput("curl -sN --max-time 20 --cacert " + pem +
                                           " -H 'Last-Event-ID: 0' " + base + "/events");
    publisher.join();
    EXPECT_EQ("id: 1\nevent: gateway\ndata: <first/>\n\nid: 2\nevent: gateway\ndata: <second/>\n\n",
              stream);
}

// Answers every request from one kept document, made at the version the test sets.
class KeptHandler : public ResourceHandler {
  public:
    explicit KeptHandler(RESTServer& s) : server(s) {}
    void handle(Resource*, const char*, Method, const char*, std::string*,
                HTTPSessionContext* session) override {
        const unsigned long long v = version;
        server.restSuccess(
            kept.get(
                v, 0, [v] { return "<Doc>" + std::to_string(v) + "</Doc>"; },
                [this](KeptDocument::Text doc) { return server.keptReply(std::move(doc)); }),
            session->getSessionId());
    }

    RESTServer& server;
    KeptDocument kept;
    std::atomic<unsigned long long> version{1};
};

TEST(RestServerKeptReply, OneReplyServesHttpAndHttpsExchangesUntilItsVersionMoves) {
    const std::string pem = configureHttpsAndPlainPorts();
    RESTClient client;
    RESTServer server(nullptr, nullptr, &client);
    ASSERT_EQ(0, server.init());
    static const ResourceDescriptor keptDesc("kept");
    KeptHandler handler(server);
    server.createResource(nullptr, &keptDesc, &handler, 0);
    const std::vector<int> ports = server.listeningPorts();
    LoopThread loop(server);
    RequestOptions tls;
    tls.caFile = pem;
    const std::string https = "https://127.0.0.1:" + std::to_string(ports.at(0)) + "/kept";
    const std::string http = "http://127.0.0.1:" + std::to_string(ports.at(1)) + "/kept";
    for (unsigned long long version : {1ULL, 2ULL}) {
        handler.version = version;
        const std::string expected =
            server.successReply("<Doc>" + std::to_string(version) + "</Doc>");
        for (int round = 0; round < 3; ++round) {
            for (const HttpResult& r :
                 {httpRequest("GET", https, tls), httpRequest("GET", http, RequestOptions())}) {
                EXPECT_EQ(200, r.status) << version;
                EXPECT_EQ(expected, r.body) << "the next reply after a change shows it";
                EXPECT_NE(std::string::npos, r.headers.find("Content-Type: text/xml")) << r.headers;
            }
        }
    }
    EXPECT_EQ(2u, handler.kept.compositions()) << "one composition per version";
    // An exchange with a request identifier gets its own reply around the kept document.
    HttpResult withId = httpGet(http + "?urilistener=http://127.0.0.1:1/x");
    EXPECT_NE(std::string::npos, withId.body.find("RequestIdentifier>")) << withId.body;
    EXPECT_NE(std::string::npos, withId.body.find("<Doc>2</Doc>")) << withId.body;
}

TEST(RestServerSecurity, DigestAuthentication) {
    std::string pwd = tempPath("rest_htdigest");
    auto md5 = [](const std::string& text) {
        std::string h = shellOutput("printf '%s' '" + text + "' | md5sum | cut -c1-32");
        return h.substr(0, 32);
    };
    // htdigest format: user:realm:MD5(user:realm:password)
    const std::string ha1 = md5("alice:orq:secret");
    ASSERT_EQ(32u, ha1.size());
    std::ofstream(pwd) << "alice:orq:" << ha1 << "\n";
    loadConfig(
        "[RESTServer]\nserverPorts = 127.0.0.1:0\nhttpDigestAuth = 1\n"
        "httpDigestAuthPwdFile = " +
        pwd + "\n");
    RESTClient client;
    RESTServer server(nullptr, nullptr, &client);
    ASSERT_EQ(0, server.init());
    EXPECT_TRUE(server.isDigestEnabled());
    EXPECT_EQ("/=" + pwd, std::string(server.getOption("protect")));
    static const ResourceDescriptor folder("folder");
    server.createResource(nullptr, &folder, nullptr, 0);
    int port = server.listeningPorts().at(0);
    LoopThread loop(server);
    std::string base = "http://127.0.0.1:" + std::to_string(port);

    // Without credentials, known and unknown paths look the same.
    for (const char* path :
         {"/folder", "/nowhere", "/folder/x/y", "/requests", "/requests/0", "/events"}) {
        HttpResult none = httpGet(base + path);
        EXPECT_EQ(401, none.status) << path;
        EXPECT_NE(std::string::npos, none.headers.find("WWW-Authenticate: Digest")) << path;
    }

    std::string curl = "curl -s -o /dev/null -w '%{http_code}' --max-time 20 --digest -u ";
    EXPECT_EQ("401", shellOutput(curl + "alice:wrong " + base + "/folder"));
    EXPECT_EQ("401", shellOutput(curl + "mallory:secret " + base + "/folder"));
    EXPECT_EQ("200", shellOutput(curl + "alice:secret " + base + "/folder"));
    EXPECT_EQ("404", shellOutput(curl + "alice:secret " + base + "/nowhere"));
    // One client, several requests for the same resource: each is challenged with the same
    // nonce within a second and starts again at count 1 with a new client nonce.
    EXPECT_EQ("200200200", shellOutput(curl + "alice:secret " + base + "/folder -o /dev/null " +
                                       base + "/folder -o /dev/null " + base + "/folder"));
    // The stream opens once the credentials pass (curl gives up waiting for its end).
    EXPECT_EQ("200", shellOutput(curl.replace(curl.find("20"), 2, "2") + "alice:secret " + base +
                                 "/events"));
    EXPECT_EQ("401", shellOutput(curl + "alice:wrong " + base + "/events"));

    // A hand-made answer to one challenge: each nonce count is accepted once. (The nonce
    // depends on the second, the method and the URI: curl has not used this one.)
    std::string challenge = httpGet(base + "/requests").headers;
    size_t at = challenge.find("nonce=\"");
    ASSERT_NE(std::string::npos, at) << challenge;
    const std::string nonce = challenge.substr(at + 7, challenge.find('"', at + 7) - at - 7);
    const std::string ha2 = md5("GET:/requests");
    auto statusWith = [&](const std::string& nc) {
        std::string response = md5(ha1 + ":" + nonce + ":" + nc + ":c0ffee:auth:" + ha2);
        std::string reply =
            rawExchange(port,
                        "GET /requests HTTP/1.1\r\nHost: x\r\nConnection: close\r\n"
                        "Authorization: Digest username=\"alice\", realm=\"orq\", nonce=\"" +
                            nonce + "\", uri=\"/requests\", qop=auth, nc=" + nc +
                            ", cnonce=\"c0ffee\", response=\"" + response +
                            "\", opaque=\"orq\", algorithm=MD5\r\n\r\n");
        return reply.substr(0, 12);
    };
    EXPECT_EQ("HTTP/1.1 200", statusWith("00000001"));
    EXPECT_EQ("HTTP/1.1 401", statusWith("00000001"));
    EXPECT_EQ("HTTP/1.1 200", statusWith("00000002"));
    EXPECT_EQ("HTTP/1.1 200", statusWith("00000005"));
    EXPECT_EQ("HTTP/1.1 401", statusWith("00000002"));
    EXPECT_EQ("HTTP/1.1 200", statusWith("00000003"));
    EXPECT_EQ("HTTP/1.1 401", statusWith("00000005"));
}

}  // namespace

TEST(RestServerInit, ConnectionsPerAddressComeFromTheConfiguration) {
    // A limit of 2: the third connection from one address is closed at once, and a bad value
    // falls back to the default of 16.
    for (const char* value : {"2", "0"}) {
        SCOPED_TRACE(value);
        loadConfig(
            std::string("[RESTServer]\nserverPorts = 127.0.0.1:0\nconnectionsPerAddress = ") +
            value + "\n");
        RESTClient client;
        RESTServer server(nullptr, nullptr, &client);
        ASSERT_EQ(0, server.init());
        int port = server.listeningPorts().at(0);
        LoopThread loop(server);
        std::vector<int> held;
        for (int i = 0; i < 2; ++i) {
            held.push_back(connectTo(port));
            ASSERT_GE(held.back(), 0);
            sendAll(held.back(), "GET / HTTP/1.1\r\nHost: x\r\n");
        }
        int third = connectTo(port);
        ASSERT_GE(third, 0);
        sendAll(third, "GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
        std::string reply = readAll(third);
        close(third);
        if (std::string(value) == "2") {
            EXPECT_EQ("", reply);
        } else {
            EXPECT_EQ(0u, reply.find("HTTP/1.1 ")) << reply;
        }
        for (int fd : held) {
            close(fd);
        }
    }
}
