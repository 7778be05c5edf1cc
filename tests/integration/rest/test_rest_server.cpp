// The REST server over real sockets: documents and error documents, asynchronous requests and
// their identifiers, the "requests" resource, late replies, replies to URI listeners, and
// HTTPS, kept replies and digest authentication from the configuration.

#include <gtest/gtest.h>

#include <expat.h>

#include <sstream>

#include "CRESTServer.h"
#include "RestTestSupport.h"
#include "XMLProcessor.h"

using namespace resttest;

namespace {

struct Seen {
    int sessionId;
    bool async;
    std::string listener;
    RESTCallbackInfo cbinfo;
    // "async|sync <timeout> <listener>"
    std::string summary() const {
        return (async ? "async " : "sync ") + std::to_string(cbinfo.timeout) + " " + listener;
    }
};

// /version answers at once, /hold waits for another thread, /async starts work and returns,
// /bad and /baddefault throw RESTException, /gone HTTPException, /notify replies to the
// request's listener, /echo/* echoes what it was sent in an error text.
class TestHandler : public ResourceHandler {
  public:
    explicit TestHandler(RESTServer& s) : server(s) {}
    void handle(Resource* resource, const char* uri, Method, const char*, std::string* body,
                HTTPSessionContext* session) override {
        auto* rs = static_cast<RESTSessionContext*>(session);
        {
            std::lock_guard<std::mutex> lock(mux);
            seen.push_back({rs->getSessionId(), rs->callbackDestinationSet, rs->callbackDestination,
                            rs->cbinfo});
        }
        const std::string& name = resource->name();
        std::string value;
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
            value = server.getParser()->getValue(value, body->c_str()) != 0 ? "refused" : value;
            throw RESTException(WRONG_REQUEST, (std::string(uri) + " " + value).c_str());
        }
    }
    std::vector<Seen> all() {
        std::lock_guard<std::mutex> lock(mux);
        return seen;
    }
    Seen last() { return all().back(); }
    size_t count() { return all().size(); }

  private:
    RESTServer& server;
    std::mutex mux;
    std::vector<Seen> seen;
};

const ResourceDescriptor kVersion("version"), kHold("hold"), kAsync("async"), kBad("bad"),
    kBadDefault("baddefault"), kGone("gone"), kFolder("folder"), kNotify("notify"), kEcho("echo"),
    kAny("*");

class RestServerTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { loadConfig("[RESTServer]\nserverPorts = 127.0.0.1:0s\n"); }
    void SetUp() override {
        ASSERT_EQ(0, server.init());
        for (const ResourceDescriptor* d :
             {&kVersion, &kHold, &kAsync, &kBad, &kBadDefault, &kGone, &kNotify}) {
            server.createResource(nullptr, d, &handler, 0);
        }
        server.createResource(server.createResource(nullptr, &kEcho, &handler, 0), &kAny, &handler,
                              0);
        Resource* folder = server.createResource(nullptr, &kFolder, nullptr, 0);
        server.createResource(folder, &kVersion, &handler, 0);
        server.createResource(folder, &kHold, &handler, 0);
        port = server.listeningPorts().at(0);
        loop = std::make_unique<LoopThread>(server);
    }
    std::string url(const std::string& path) {
        return "http://127.0.0.1:" + std::to_string(port) + path;
    }
    // The identifiers listed by GET /requests.
    std::vector<std::string> openRequests() {
        const std::string body = httpRequest(url("/requests")).body, open = "<ResourceId>";
        std::vector<std::string> ids;
        for (size_t at = body.find(open); at != std::string::npos; at = body.find(open, at + 1)) {
            ids.push_back(body.substr(at + open.size(), 8));
        }
        return ids;
    }

    RESTClient client;
    RESTServer server{nullptr, nullptr, &client};
    TestHandler handler{server};
    int port = 0;
    std::unique_ptr<LoopThread> loop;
};

TEST_F(RestServerTest, RequestsAreAnsweredWithTheHandlersDocumentOrAnErrorDocument) {
    const struct {
        const char* path;
        long status;
        const char* code;
        const char* excerpt;
        const char* seen;  // what the handler saw, "-" when it is not called, null: not checked
    } cases[] = {
        {"/version", 200, "0", "<VersionIdentifier>1</VersionIdentifier>", nullptr},
        {"/version?timeout=1e", 200, "0", "<Info>", "sync 30 "},
        {"/version?timeout=xyz", 200, "4", "<Message>Bad timeout parameter</Message>", "-"},
        {"/hold?urilistener&timeout=5", 200, "0", "RequestIdentifier>", "async 5 "},
        {"/async?urilistener=http://127.0.0.1:1/x&timeout=1e", 200, "0", "RequestIdentifier>",
         "async 30 http://127.0.0.1:1/x"},
        {"/hold?urilistener=http%3A%2F%2F127.0.0.1%3A1%2Fe%3Fa%3D1&timeout=%31e", 200, "0",
         "RequestIdentifier>", "async 30 http://127.0.0.1:1/e?a=1"},
        {"/bad", 200, "2", "<Message>Missing timeout parameter</Message>", nullptr},
        {"/baddefault?urilistener=http://127.0.0.1:1/", 200, "8",
         "URIListener list maximum size exceeded</", nullptr},
        {"/gone", 405, "<absent>", "Method Not Allowed", nullptr},
        {"/folder", 200, "0",
         "<Detail><Resource><ResourceId>version</ResourceId></Resource>\n"
         "<Resource><ResourceId>hold</ResourceId></Resource>\n</Detail>",
         "-"},
        {"/nowhere", 404, "<absent>", "", "-"},
    };
    for (const auto& c : cases) {
        const size_t before = handler.count();
        const HttpResult r = httpRequest(url(c.path));
        EXPECT_EQ(c.status, r.status) << c.path;
        EXPECT_EQ(c.code, element(r.body, "Code")) << c.path << r.body;
        EXPECT_NE(std::string::npos, r.body.find(c.excerpt)) << c.path << r.body;
        if (c.status == 200) {
            EXPECT_EQ(0u, r.body.find("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<")) << c.path;
        }
        if (c.seen != nullptr) {
            EXPECT_EQ(c.seen, handler.count() == before ? "-" : handler.last().summary()) << c.path;
        }
    }
    EXPECT_EQ("<absent>", element(httpRequest(url("/version")).body, "RequestIdentifier"));
}

TEST_F(RestServerTest, AsynchronousRequestsGetGrowingIdentifiersTheHandlerKnows) {
    std::vector<std::string> rids;
    for (int i = 0; i < 2; ++i) {
        rids.push_back(element(httpRequest(url("/async?urilistener=http://127.0.0.1:1/x")).body,
                               "RequestIdentifier"));
        ASSERT_EQ(8u, rids.back().size());
        EXPECT_EQ(std::string::npos, rids.back().find_first_not_of("0123456789abcdef"));
        const Seen s = handler.last();
        EXPECT_EQ(rids.back(), s.cbinfo.requestIdentifier);
        ASSERT_NE(nullptr, s.cbinfo.refResource);
        EXPECT_EQ("/async", s.cbinfo.refResource->uri.str());
        EXPECT_NE(nullptr, s.cbinfo.refRestSessionCtxt);
    }
    EXPECT_EQ(std::stoul(rids[0], nullptr, 16) + 1, std::stoul(rids[1], nullptr, 16));
}

TEST_F(RestServerTest, DocumentsStayWellFormedWhateverTheClientSent) {
    // Raw bytes in the path (not UTF-8), and bodies whose characters XML forbids.
    for (const std::string body : {"<Value>ok</Value>", "<Value>&#xD800;</Value>",
                                   "<Value>a&#0;b</Value>", "<Value>\xC3\x28\xFF\xFE</Value>"}) {
        const std::string reply = rawExchange(
            port,
            "POST /echo/%C3%28%FF%FE%EF%BF%BE HTTP/1.1\r\nHost: x\r\nConnection: close\r\n"
            "Content-Length: " +
                std::to_string(body.size()) + "\r\n\r\n" + body);
        const std::string doc = reply.substr(std::min(reply.find("<?xml"), reply.size()));
        XML_Parser p = XML_ParserCreate(nullptr);
        EXPECT_EQ(XML_STATUS_OK, XML_Parse(p, doc.data(), static_cast<int>(doc.size()), 1)) << doc;
        XML_ParserFree(p);
        EXPECT_EQ("2", element(doc, "Code"));
        const std::string message = element(doc, "Message");
        EXPECT_EQ(0u, message.find("/echo/")) << message;
        EXPECT_EQ(body == "<Value>ok</Value>" ? "ok" : "refused",
                  message.substr(message.rfind(' ') + 1));
    }
}

TEST_F(RestServerTest, LateReplyFromAnotherThreadAndDroppedReplyForAClosedExchange) {
    std::thread agent([&] {
        ASSERT_TRUE(waitFor([&] { return handler.count() == 1; }));
        EXPECT_EQ(1, server.restError(TIMEOUT, nullptr, "0x04", handler.last().sessionId));
    });
    const HttpResult r = httpRequest(url("/hold"));
    agent.join();
    EXPECT_EQ("1", element(r.body, "Code"));
    EXPECT_EQ("Timeout", element(r.body, "Message"));
    EXPECT_EQ("0x04", element(r.body, "NWKStatus"));
    EXPECT_TRUE(waitFor([&] { return server.activeSessionCount() == 0; }));
    EXPECT_EQ(0, server.restSuccess("<late/>", handler.last().sessionId));
    EXPECT_EQ(0, server.restError(TIMEOUT, nullptr, nullptr, handler.last().sessionId));
}

TEST_F(RestServerTest, RequestsResourceListsOpenExchangesAndSetsTheTimeoutOfOneStillReading) {
    int reading = connectTo(port);
    sendAll(reading, "POST /version HTTP/1.1\r\nHost: x\r\nContent-Length: 50\r\n\r\n<Val");
    ASSERT_TRUE(waitFor([&] { return openRequests().size() == 2; }));
    int waiting = connectTo(port);
    sendAll(waiting, "GET /hold HTTP/1.1\r\nHost: x\r\n\r\n");
    ASSERT_TRUE(waitFor([&] { return handler.count() == 1; }));
    const std::vector<std::string> ids = openRequests();
    ASSERT_EQ(3u, ids.size());  // the two above and the GET /requests itself
    const std::string named = "/requests/" + ids[0];
    const struct {
        const char* method;
        std::string path;
        const char* body;
        long status;
        const char* code;
        const char* message;
    } cases[] = {
        {"GET", "/requests/" + ids[1], nullptr, 404, "<absent>", "<absent>"},
        {"GET", named, nullptr, 200, "6", "No message received so far"},
        {"DELETE", named, nullptr, 405, "<absent>", "<absent>"},
        {"POST", named, "<Value>1</Value>", 405, "<absent>", "<absent>"},
        {"PUT", named, "<Value>zz</Value>", 200, "4", "Bad timeout parameter"},
        {"PUT", named, "not xml", 200, "4", "Bad value parameter"},
        {"PUT", named, "<Value>1e</Value>", 200, "0", "<absent>"},
    };
    for (const auto& c : cases) {
        const HttpResult r = httpRequest(url(c.path), {c.method, c.body});
        EXPECT_EQ(c.status, r.status) << c.method << " " << c.path;
        EXPECT_EQ(c.code, element(r.body, "Code")) << c.method << " " << r.body;
        EXPECT_EQ(c.message, element(r.body, "Message")) << c.method << " " << r.body;
    }
    bool checked = false;
    loop->run([&] {
        Resource* res = server.findResource(server.getRequestsResource(), ids[0]);
        ASSERT_NE(nullptr, res);
        const auto* session = reinterpret_cast<RESTSessionContext*>(res->data);
        EXPECT_EQ(30u, session->cbinfo.timeout);
        checked = session->cbinfo.timeoutSet;
    });
    EXPECT_TRUE(checked);
    // Closed exchanges leave the tree (a client waiting for its answer must reset: one that
    // only hangs up still gets its answer).
    close(reading);
    resetAndClose(waiting);
    EXPECT_TRUE(waitFor([&] { return openRequests().size() == 1; }));
    EXPECT_EQ(404, httpRequest(url(named)).status);
}

TEST_F(RestServerTest, RepliesReachUriListenersUnlessExpiredAndAFullQueueKeepsTheListener) {
    TestListener listener, stalled;
    client.init();
    const std::string encoded =
        "http%3A%2F%2F127.0.0.1%3A" + std::to_string(listener.port) + "%2Fencoded%3Fa%3D1";
    EXPECT_EQ("0", element(httpRequest(url("/notify?urilistener=" + encoded)).body, "Code"));
    ASSERT_TRUE(waitFor([&] { return listener.count() == 1; }));
    {
        auto* info = new RESTCallbackInfo;
        info->requestIdentifier = "0000abcd";
        uriListener_t l(listener.url("/a"), info), l2(listener.url("/b"), nullptr),
            ftp("ftp://127.0.0.1/x", nullptr);
        l2.id = "0000001a";
        EXPECT_EQ(1, server.restSuccess("<x/>", &l));
        EXPECT_EQ(1, server.restError(ZB_NWK_FAILURE, nullptr, "0xc2", &l));
        EXPECT_EQ(1, server.restSuccess_BC("<raw/>", &l));
        EXPECT_EQ(1, server.restSuccess("<ev/>", &l2, true));
        EXPECT_EQ(0, server.restSuccess("<x/>", &ftp));
        RESTCallbackInfo::now = [] { return time(nullptr) - 100; };
        info->setTimeout("1");
        RESTCallbackInfo::now = [] { return time(nullptr); };
        EXPECT_EQ(0, server.restSuccess("<x/>", &l));
        EXPECT_EQ(0, server.restSuccess_BC("<x/>", &l));
        EXPECT_EQ(0, server.restError(TIMEOUT, nullptr, nullptr, &l));
    }
    ASSERT_TRUE(waitFor([&] { return listener.count() == 5; }));
    const auto bodies = listener.bodies();
    EXPECT_NE(std::string::npos, bodies[0].find("<n/>"));
    EXPECT_EQ("0", element(bodies[1], "Code"));
    EXPECT_EQ("0000abcd", element(bodies[1], "RequestIdentifier"));
    EXPECT_NE(std::string::npos, bodies[1].find("<Detail><x/></Detail>"));
    EXPECT_EQ("10", element(bodies[2], "Code"));
    EXPECT_EQ("ZigBee Network Failure", element(bodies[2], "Message"));
    EXPECT_EQ("0xc2", element(bodies[2], "NWKStatus"));
    EXPECT_EQ("<raw/>", bodies[3]);
    EXPECT_EQ("26", element(bodies[4], "EventCallbackIdentifier"));

    // A burst beyond the delivery queue's bound loses documents, never the listener (the
    // broker drops a listener whose delivery answers 0).
    stalled.stalled = true;
    uriListener_t s(stalled.url("/s"), nullptr);
    ASSERT_EQ(1, server.restSuccess("<m/>", &s));
    ASSERT_TRUE(waitFor([&] { return stalled.accepted.load() == 1; }));
    for (size_t i = 1; i <= RESTClient::kMaxQueued; ++i) {
        EXPECT_EQ(1, server.restSuccess("<m/>", &s)) << i;
    }
    EXPECT_EQ(RESTClient::kMaxQueued, client.queuedCount(1));
    stalled.stalled = false;
}

// Requests the gateway makes of itself (replayed registrations) reach existing resources only.
TEST_F(RestServerTest, InProcessRequestsAreServedOnlyForResourcesThatExist) {
    bool unknown = true, known = false;
    loop->run([&] {
        unknown = server.serveInProcess("GET", "/nowhere", "", "");
        known = server.serveInProcess("GET", "/version", "", "");
    });
    EXPECT_FALSE(unknown);
    EXPECT_TRUE(known);
    EXPECT_EQ(1u, handler.count());
}

TEST(RestServerInit, PortsAndConnectionsPerAddressComeFromTheConfiguration) {
    EXPECT_EQ("9000,9443,80", RESTServer::removeSecurePortMarks(" 9000\t9443S,, 80s"));
    RESTClient client;
    loadConfig("[RESTServer]\nserverPorts = nonsense\n");
    EXPECT_EQ(1, RESTServer(nullptr, nullptr, &client).init());
    // HTTPS asked for without a certificate file: served over plain HTTP, and no digest
    // authentication without a password file.
    loadConfig("[RESTServer]\nssl = 1\nserverPorts = 127.0.0.1:0s\nhttpDigestAuth = 1\n");
    RESTServer plain(nullptr, nullptr, &client);
    EXPECT_EQ(0, plain.init());
    EXPECT_FALSE(plain.isSslEnabled());
    EXPECT_FALSE(plain.isDigestEnabled());
    EXPECT_STREQ("", plain.getOption("protect"));

    // A limit of 2: the third connection from one address is closed at once; a bad value
    // falls back to the default of 16.
    for (const std::string value : {"2", "0"}) {
        loadConfig("[RESTServer]\nserverPorts = 127.0.0.1:0\nconnectionsPerAddress = " + value);
        RESTServer server(nullptr, nullptr, &client);
        ASSERT_EQ(0, server.init());
        const int port = server.listeningPorts().at(0);
        LoopThread loop(server);
        std::vector<int> fds;
        for (int i = 0; i < 3; ++i) {
            fds.push_back(connectTo(port));
            sendAll(fds.back(), i < 2 ? "GET / HTTP/1.1\r\nHost: x\r\n"
                                      : "GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
        }
        const std::string reply = readAll(fds[2]);
        EXPECT_EQ(value == "2", reply.empty()) << value << reply;
        for (int fd : fds) {
            close(fd);
        }
    }
}

// Holds the poll-loop thread inside a handler until released, or answers from one kept
// document made at the version the test sets.
class LoopHandler : public ResourceHandler {
  public:
    explicit LoopHandler(RESTServer& s) : server(s) {}
    void handle(Resource* resource, const char*, Method, const char*, std::string*,
                HTTPSessionContext* session) override {
        if (resource->name() == "kept") {
            const unsigned long long v = version;
            server.restSuccess(
                kept.get(
                    v, 0, [v] { return "<Doc>" + std::to_string(v) + "</Doc>"; },
                    [this](KeptDocument::Text doc) { return server.keptReply(std::move(doc)); }),
                session->getSessionId());
            return;
        }
        entered = true;
        waitFor([&] { return released.load(); }, std::chrono::seconds(60));
        session->setReadyResponse("<released/>");
    }

    RESTServer& server;
    KeptDocument kept;
    std::atomic<unsigned long long> version{1};
    std::atomic<bool> entered{false}, released{false};
};

// Whether `openssl s_client` completes a handshake with `port` with the given protocol within
// 20 seconds.
bool opensslHandshake(int port, const std::string& protocol) {
    const std::string out =
        shellOutput("timeout 20 openssl s_client -connect 127.0.0.1:" + std::to_string(port) + " " +
                    protocol + " -cipher 'DEFAULT:@SECLEVEL=0' </dev/null 2>&1; echo exit=$?");
    return out.find("exit=0") != std::string::npos &&
           out.find("Cipher is (NONE)") == std::string::npos;
}

TEST(RestServerSecurity, HttpsFromTheConfiguredCertificate) {
    const std::string key = tempPath("key.pem"), cert = tempPath("cert.pem"),
                      pem = tempPath("both.pem");
    ASSERT_EQ(0,
              system(("openssl req -x509 -newkey rsa:2048 -nodes -keyout " + key + " -out " + cert +
                      " -days 1 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1"
                      " >/dev/null 2>&1 && cat " +
                      cert + " " + key + " > " + pem)
                         .c_str()));
    loadConfig("[RESTServer]\nssl = 1\nsslCertFile = " + pem +
               "\nserverPorts = 127.0.0.1:0s,127.0.0.1:0\n");
    RESTClient client;
    RESTServer server(nullptr, nullptr, &client);
    ASSERT_EQ(0, server.init());
    EXPECT_TRUE(server.isSslEnabled());
    static const ResourceDescriptor folder("folder"), block("block"), keptDesc("kept");
    LoopHandler handler(server);
    server.createResource(nullptr, &folder, nullptr, 0);
    server.createResource(nullptr, &block, &handler, 0);
    server.createResource(nullptr, &keptDesc, &handler, 0);
    const int port = server.listeningPorts().at(0), plainPort = server.listeningPorts().at(1);
    LoopThread loop(server);
    const std::string https = "https://127.0.0.1:" + std::to_string(port),
                      http = "http://127.0.0.1:" + std::to_string(plainPort);
    RequestOptions tls;
    tls.caFile = pem;
    const HttpResult r = httpRequest(https + "/", tls);
    EXPECT_EQ(0, r.curlCode);
    EXPECT_NE(std::string::npos, r.body.find("<ResourceId>folder</ResourceId>"));
    EXPECT_NE(200, httpRequest("http://127.0.0.1:" + std::to_string(port) + "/").status);
    // TLS 1.2 and 1.3 only.
    EXPECT_TRUE(opensslHandshake(port, "-tls1_2"));
    EXPECT_TRUE(opensslHandshake(port, "-tls1_3"));
    EXPECT_FALSE(opensslHandshake(port, "-tls1"));
    EXPECT_FALSE(opensslHandshake(port, "-tls1_1"));

    // Handshakes do not wait for the poll-loop thread: one completes while a handler holds it.
    std::thread holder([&] { EXPECT_EQ("<released/>", httpRequest(http + "/block").body); });
    EXPECT_TRUE(waitFor([&] { return handler.entered.load(); }));
    EXPECT_TRUE(opensslHandshake(port, "-tls1_3"));
    handler.released = true;
    holder.join();

    // One kept reply serves HTTP and HTTPS exchanges until its version moves.
    for (unsigned long long version : {1ULL, 2ULL}) {
        handler.version = version;
        const std::string expected =
            server.successReply("<Doc>" + std::to_string(version) + "</Doc>");
        for (int round = 0; round < 2; ++round) {
            for (const HttpResult& k :
                 {httpRequest(https + "/kept", tls), httpRequest(http + "/kept")}) {
                EXPECT_EQ(expected, k.body) << version;
                EXPECT_NE(std::string::npos, k.headers.find("Content-Type: text/xml"));
            }
        }
    }
    EXPECT_EQ(2u, handler.kept.compositions()) << "one composition per version";
    // An exchange with a request identifier gets its own reply around the kept document.
    const std::string withId = httpRequest(http + "/kept?urilistener=http://127.0.0.1:1/x").body;
    EXPECT_NE("<absent>", element(withId, "RequestIdentifier")) << withId;
    EXPECT_NE(std::string::npos, withId.find("<Doc>2</Doc>")) << withId;

    // The event stream over HTTPS: resuming from id 0 gives the stored event, then one
    // published while the connection waits, then the end of the stream.
    StreamEvent first{0, "gateway", "", "", -1, "<first/>"};
    server.eventStreams().publish(first);
    std::thread publisher([&] {
        waitFor([&] { return server.eventStreams().openCount() > 0; });
        first.data = "<second/>";
        server.eventStreams().publish(first);
        server.eventStreams().endAll();
    });
    const std::string stream = shellOutput("curl -sN --max-time 20 --cacert " + pem +
                                           " -H 'Last-Event-ID: 0' " + https + "/events");
    publisher.join();
    EXPECT_EQ("id: 1\nevent: gateway\ndata: <first/>\n\nid: 2\nevent: gateway\ndata: <second/>\n\n",
              stream);
}

TEST(RestServerSecurity, DigestAuthentication) {
    auto md5 = [](const std::string& text) {
        return shellOutput("printf '%s' '" + text + "' | md5sum | cut -c1-32").substr(0, 32);
    };
    const std::string ha1 = md5("alice:orq:secret");
    const std::string pwd = tempPath("htdigest", "alice:orq:" + ha1 + "\n");
    loadConfig(
        "[RESTServer]\nserverPorts = 127.0.0.1:0\nhttpDigestAuth = 1\n"
        "httpDigestAuthPwdFile = " +
        pwd + "\n");
    RESTClient client;
    RESTServer server(nullptr, nullptr, &client);
    ASSERT_EQ(0, server.init());
    EXPECT_EQ("/=" + pwd, std::string(server.getOption("protect")));
    static const ResourceDescriptor folder("folder");
    server.createResource(nullptr, &folder, nullptr, 0);
    const int port = server.listeningPorts().at(0);
    LoopThread loop(server);
    const std::string base = "http://127.0.0.1:" + std::to_string(port);

    // "user path status", "-" for no credentials: without them, known and unknown paths look
    // the same.
    for (const std::string c :
         {"- /folder 401", "- /nowhere 401", "- /folder/x/y 401", "- /requests 401",
          "- /requests/0 401", "- /events 401", "alice:wrong /folder 401",
          "mallory:secret /folder 401", "alice:secret /folder 200", "alice:secret /nowhere 404",
          "alice:secret /events 200", "alice:wrong /events 401"}) {
        std::istringstream in(c);
        std::string user, path;
        long status = 0;
        in >> user >> path >> status;
        RequestOptions opt;
        opt.digestUser = user == "-" ? "" : user;
        opt.headersOnly = true;
        const HttpResult r = httpRequest(base + path, opt);
        EXPECT_EQ(status, r.status) << c;
        if (status == 401) {
            EXPECT_NE(std::string::npos, r.headers.find("WWW-Authenticate: Digest")) << c;
        }
    }
    // One client, several requests for the same resource: each is challenged with the same
    // nonce within a second and starts again at count 1 with a new client nonce.
    const std::string curl = "curl -s -o /dev/null -w '%{http_code}' --max-time 20 --digest -u ";
    EXPECT_EQ("200200200", shellOutput(curl + "alice:secret " + base + "/folder -o /dev/null " +
                                       base + "/folder -o /dev/null " + base + "/folder"));

    // A hand-made answer to one challenge: each nonce count is accepted once. (The nonce
    // depends on the second, the method and the URI: curl has not used this one.)
    const std::string challenge = httpRequest(base + "/requests").headers;
    const size_t at = challenge.find("nonce=\"");
    ASSERT_NE(std::string::npos, at) << challenge;
    const std::string nonce = challenge.substr(at + 7, challenge.find('"', at + 7) - at - 7);
    const std::string ha2 = md5("GET:/requests");
    for (const std::string step : {"00000001 200", "00000001 401", "00000002 200", "00000005 200",
                                   "00000002 401", "00000003 200", "00000005 401"}) {
        const std::string nc = step.substr(0, 8), status = step.substr(9);
        const std::string response = md5(ha1 + ":" + nonce + ":" + nc + ":c0ffee:auth:" + ha2);
        const std::string reply =
            rawExchange(port,
                        "GET /requests HTTP/1.1\r\nHost: x\r\nConnection: close\r\n"
                        "Authorization: Digest username=\"alice\", realm=\"orq\", nonce=\"" +
                            nonce + "\", uri=\"/requests\", qop=auth, nc=" + nc +
                            ", cnonce=\"c0ffee\", "
                            "response=\"" +
                            response + "\", opaque=\"orq\", algorithm=MD5\r\n\r\n");
        EXPECT_EQ("HTTP/1.1 " + status, reply.substr(0, 12)) << nc;
    }
}

}  // namespace
