// The HTTP server over real sockets on 127.0.0.1: dispatch through the resource tree, request
// framing, static files, late replies from other threads, clients that leave or dawdle.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

#include "RestTestSupport.h"

using namespace resttest;

namespace {

struct Seen {
    Method method;
    std::string query, body;
    int sessionId;
};

// Records each request; answers at once with "<ok>" + the resource's URI, unless told to
// hold the reply (the exchange then waits for another thread). "boom" throws.
class Handler : public ResourceHandler {
  public:
    void handle(Resource* resource, const char*, Method method, const char* query,
                std::string* body, HTTPSessionContext* session) override {
        std::lock_guard<std::mutex> lock(mux);
        seen.push_back({method, query, *body, session->getSessionId()});
        if (resource->name() == "boom") {
            throw std::runtime_error("handler fault");
        }
        if (!hold) {
            session->setReadyResponse("<ok>" + resource->uri.str() + "</ok>");
        }
    }
    std::vector<Seen> all() {
        std::lock_guard<std::mutex> lock(mux);
        return seen;
    }
    size_t count() { return all().size(); }
    std::atomic<bool> hold{false};

  private:
    std::mutex mux;
    std::vector<Seen> seen;
};

// Dispatches to the resource's handler, as the REST server does.
class DispatchingServer : public HTTPServer {
  public:
    void serveRequest(Resource* resource, HTTPSessionContext* session) override {
        if (resource->handler == nullptr) {
            HTTPServer::serveRequest(resource, session);
            return;
        }
        resource->handler->handle(resource, session->getReqURI(), session->getReqMethod(),
                                  session->getQueryStr(), session->rxData(), session);
    }
};

const ResourceDescriptor kNet("net"), kDefault("default"), kNodes("wsnnodes"), kAny("*"),
    kVersion("version"), kPlain("plain"), kBoom("boom");

class HttpServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Resource* net = server.createResource(nullptr, &kNet, &handler, 0);
        Resource* nodes = server.createResource(server.createResource(net, &kDefault, &handler, 0),
                                                &kNodes, &handler, 0);
        server.createResource(nodes, &kAny, &handler, 7);
        server.createResource(nullptr, &kVersion, &handler, 0);
        server.createResource(nullptr, &kPlain, nullptr, 0);
        server.createResource(nullptr, &kBoom, &handler, 0);
        // Static files: root/ holds pages and links (one inside, two leading out); a secret
        // lies beside it.
        char pattern[] = "/tmp/orq-static-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        top = pattern;
        mkdir((top + "/root").c_str(), 0755);
        mkdir((top + "/root/vendor").c_str(), 0755);
        for (const char* f : {"root/index.html", "root/app.js", "root/vendor/lib.mjs",
                              "root/style.css", "root/data.bin", "root/back\\slash.js",
                              "root/tab\tname.js", "root/.hidden", "secret.txt"}) {
            std::ofstream(top + "/" + f) << "<p>" << f << "</p>";
        }
        symlink("app.js", (top + "/root/inside.js").c_str());
        symlink((top + "/secret.txt").c_str(), (top + "/root/out.txt").c_str());
        symlink(top.c_str(), (top + "/root/up").c_str());
        server.serveFiles("/ui", top + "/root");
        ASSERT_EQ(0, server.setOption("ports", "127.0.0.1:0"));
        port = server.listeningPorts().at(0);
        loop = std::make_unique<LoopThread>(server);
    }
    void TearDown() override {
        loop.reset();
        EXPECT_EQ(0, std::system(("rm -rf '" + top + "'").c_str()));
    }
    std::string url(const std::string& path) {
        return "http://127.0.0.1:" + std::to_string(port) + path;
    }
    // A connection with `request` sent on it.
    int open(const std::string& request) {
        int fd = connectTo(port);
        EXPECT_TRUE(sendAll(fd, request));
        return fd;
    }

    DispatchingServer server;
    Handler handler;
    std::string top;
    int port = 0;
    std::unique_ptr<LoopThread> loop;
};

TEST_F(HttpServerTest, RequestsAreAnsweredByTheResourceTheirPathNames) {
    const struct {
        const char* request;  // the request line, then headers and body
        const char* status;
        const char* excerpt;
    } cases[] = {
        {"GET /version?timeout=1e&urilistener=http://x:1/a HTTP/1.1\r\n\r\n", "200",
         "Content-Type: text/xml"},
        {"POST /net/default/wsnnodes HTTP/1.1\r\nContent-Length: 11\r\n\r\n<a>body</a>", "200",
         "\r\n\r\n<ok>/net/default/wsnnodes</ok>"},
        {"PUT /net HTTP/1.1\r\nContent-Length: 1\r\n\r\nx", "200", "<ok>/net</ok>"},
        {"DELETE /net HTTP/1.1\r\n\r\n", "200", "<ok>/net</ok>"},
        {"PATCH /net HTTP/1.1\r\nContent-Length: 1\r\n\r\nx", "200", "<ok>/net</ok>"},
        {"GET /net/default/wsnnodes/1234 HTTP/1.1\r\n\r\n", "200",
         "<ok>/net/default/wsnnodes/*</ok>"},
        {"GET /boom HTTP/1.1\r\n\r\n", "500", ""},
        {"GET /net/other HTTP/1.1\r\n\r\n", "404", ""},
        {"GET /version/extra HTTP/1.1\r\n\r\n", "404", ""},
        {"GET /plain HTTP/1.1\r\n\r\n", "403", ""},  // no server logic for it
        // Framing of the body.
        {"POST /version HTTP/1.1\r\n\r\n", "411", ""},
        {"PUT /version HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n", "411",
         ""},
        {"POST /version HTTP/1.1\r\nContent-Length: abc\r\n\r\n", "400", ""},
        {"POST /version HTTP/1.1\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n"
         "3\r\nabc\r\n0\r\n\r\n",
         "400", ""},
        {"POST /version HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\nabcd", "400", ""},
        {"POST /version HTTP/1.1\r\nContent-Length: 99999999999\r\n\r\n", "413", ""},
        // Static files: inside the root only, with their type.
        {"GET /ui/ HTTP/1.1\r\n\r\n", "200", "text/html; charset=utf-8"},
        {"GET /ui/index.html HTTP/1.1\r\n\r\n", "200", "<p>root/index.html</p>"},
        {"HEAD /ui/app.js HTTP/1.1\r\n\r\n", "200", "text/javascript; charset=utf-8"},
        {"GET /ui/vendor//lib.mjs HTTP/1.1\r\n\r\n", "200", "<p>root/vendor/lib.mjs</p>"},
        {"GET /ui/inside.js HTTP/1.1\r\n\r\n", "200", "<p>root/app.js</p>"},
        {"GET /ui HTTP/1.1\r\n\r\n", "301", "Location: /ui/"},
        {"POST /ui/app.js HTTP/1.1\r\nContent-Length: 1\r\n\r\nx", "405", "Allow: GET, HEAD"},
        {"DELETE /ui/ HTTP/1.1\r\n\r\n", "405", ""},
        {"GET /ui/out.txt HTTP/1.1\r\n\r\n", "404", ""},
        {"GET /ui/up/secret.txt HTTP/1.1\r\n\r\n", "404", ""},
        {"GET /ui/../secret.txt HTTP/1.1\r\n\r\n", "404", ""},
        {"GET /ui/.hidden HTTP/1.1\r\n\r\n", "404", ""},
        {"GET /ui/vendor HTTP/1.1\r\n\r\n", "404", ""},
        {"GET /ui/vendor/ HTTP/1.1\r\n\r\n", "404", ""},
        {"GET /ui/missing.js HTTP/1.1\r\n\r\n", "404", ""},
        {"GET /ui/style.css HTTP/1.1\r\n\r\n", "200", "text/css; charset=utf-8"},
        {"GET /ui/data.bin HTTP/1.1\r\n\r\n", "200", "application/octet-stream"},
        // Names a file system may read as a path of another kind, or a terminal may act on.
        {"GET /ui/back%5Cslash.js HTTP/1.1\r\n\r\n", "404", ""},
        {"GET /ui/tab%09name.js HTTP/1.1\r\n\r\n", "404", ""},
        {"GET /uix HTTP/1.1\r\n\r\n", "404", ""},
    };
    for (const auto& c : cases) {
        std::string request = c.request;
        request.insert(request.find("\r\n") + 2, "Host: x\r\nConnection: close\r\n");
        const std::string reply = rawExchange(port, request);
        EXPECT_EQ(0u, reply.find(std::string("HTTP/1.1 ") + c.status)) << c.request << reply;
        EXPECT_NE(std::string::npos, reply.find(c.excerpt)) << c.request << reply;
        EXPECT_EQ(std::string::npos, reply.find("<p>secret.txt</p>")) << c.request;
        EXPECT_EQ(std::string::npos, reply.find("<p>root/.hidden</p>")) << c.request;
    }
    const std::vector<Seen> seen = handler.all();
    ASSERT_EQ(7u, seen.size());  // the first seven rows only
    const Method methods[] = {M_GET, M_POST, M_PUT, M_DELETE, M_OTHER, M_GET, M_GET};
    for (size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(methods[i], seen[i].method) << i;
    }
    EXPECT_EQ("timeout=1e&urilistener=http://x:1/a", seen[0].query);
    EXPECT_EQ("<a>body</a>", seen[1].body);
    EXPECT_NE(seen[0].sessionId, seen[1].sessionId);
    EXPECT_TRUE(waitFor([&] { return server.activeSessionCount() == 0; }));
}

TEST_F(HttpServerTest, BodiesAreDispatchedWholeAndOnlyWithinTheBound) {
    int fd = open(
        "POST /version HTTP/1.1\r\nHost: x\r\nConnection: close\r\n"
        "Content-Length: 12\r\n\r\nhello");
    ASSERT_TRUE(waitFor([&] { return server.activeSessionCount() == 1; }));
    sendAll(fd, " wo");
    sendAll(fd, "rld!");
    EXPECT_EQ(0u, readAll(fd).find("HTTP/1.1 200"));
    close(fd);
    const std::string atBound(server.getMaxBodySize(), 'y'), over = atBound + "y";
    EXPECT_EQ(413, httpRequest(url("/version"), {"POST", over.c_str()}).status);
    EXPECT_EQ(200, httpRequest(url("/version"), {"POST", atBound.c_str()}).status);
    ASSERT_EQ(2u, handler.count());
    EXPECT_EQ("hello world!", handler.all()[0].body);
    EXPECT_EQ(atBound, handler.all()[1].body);

    // A chunked body on a method that takes none is not read without end.
    fd = open("DELETE /version HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n");
    timeval limit{20, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
    const std::string chunk = "10000\r\n" + std::string(0x10000, 'z') + "\r\n";
    for (int i = 0; i < 64 && sendAll(fd, chunk); ++i) {
    }
    sendAll(fd, "0\r\n\r\n");
    EXPECT_EQ(std::string::npos, readAll(fd).find("HTTP/1.1 200"));
    close(fd);
    EXPECT_EQ(2u, handler.count());
}

TEST_F(HttpServerTest, HeldRepliesAreSentWhenAnotherThreadSetsThemUnlessTheClientReset) {
    handler.hold = true;
    // Kept alive, half-closed, and reset by its client.
    const std::vector<int> fds = {open("GET /version HTTP/1.1\r\nHost: x\r\n\r\n"),
                                  open("GET /net HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"),
                                  open("GET /version HTTP/1.1\r\nHost: x\r\n\r\n")};
    shutdown(fds[1], SHUT_WR);
    ASSERT_TRUE(waitFor([&] { return handler.count() == 3; }));
    EXPECT_EQ(3u, server.activeSessionCount());
    resetAndClose(fds[2]);
    EXPECT_TRUE(waitFor([&] { return server.activeSessionCount() == 2; }));
    std::vector<int> ids;
    for (const Seen& s : handler.all()) {
        ids.push_back(s.sessionId);
    }
    // Which connection had which session: the reset one's is gone.
    int reset = -1;
    for (int id : ids) {
        if (!server.withActiveSession(id, [](HTTPSessionContext& s) {
                EXPECT_EQ(S_SERVED, s.getSessionStatus());
                EXPECT_TRUE(s.setReadyResponse("<late/>"));
            })) {
            reset = id;
        }
        server.notifyReady(id);
    }
    EXPECT_NE(-1, reset);
    handler.hold = false;
    const std::string halfClosed = readAll(fds[1]);
    EXPECT_EQ(0u, halfClosed.find("HTTP/1.1 200")) << halfClosed;
    EXPECT_NE(std::string::npos, halfClosed.find("<late/>"));
    close(fds[1]);
    EXPECT_NE(std::string::npos, readAll(fds[0], 15000, "<late/>").find("<late/>"));
    sendAll(fds[0],
            "POST /net HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\nConnection: close\r\n\r\nabc");
    EXPECT_NE(std::string::npos, readAll(fds[0]).find("<ok>/net</ok>"));
    close(fds[0]);
    ASSERT_EQ(4u, handler.count());
    EXPECT_EQ("abc", handler.all()[3].body);
    EXPECT_EQ(ids.end(), std::find(ids.begin(), ids.end(), handler.all()[3].sessionId));
    EXPECT_TRUE(waitFor([&] { return server.activeSessionCount() == 0; }));
}

TEST_F(HttpServerTest, ClientsThatDawdleOrLeaveDoNotHoldTheServer) {
    // Four addresses each open as many dribbling connections as the server lets them.
    std::vector<int> fds;
    for (const char* source : {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"}) {
        for (int i = 0; i < 64; ++i) {
            fds.push_back(connectTo(port, source));
            sendAll(fds.back(), "GET /version HTTP/1.1\r\nHost: x\r\n");
        }
    }
    EXPECT_EQ(200, httpRequest(url("/version")).status);
    // Malformed, abandoned before the headers end, or in mid-body.
    for (const char* request :
         {"GET /version HTTP/1.1\r\nHost: x\r\nNoColonHere\r\n\r\n",
          "GET /version HTTP/7.0\r\nHost: x\r\n\r\n",
          "POST /version HTTP/1.1\r\nHost: x\r\nContent-Length: 10\r\n\r\nab"}) {
        fds.push_back(open(request));
    }
    for (int fd : fds) {
        close(fd);
    }
    EXPECT_TRUE(waitFor([&] { return server.activeSessionCount() == 0; }));
    EXPECT_EQ(1u, handler.count());

    // One header line every 20 ms: never idle, never complete, cut at its deadline.
    loop->run([&] {
        server.setRequestDeadline(1);
        ASSERT_EQ(0, server.setOption("ports", "127.0.0.1:0"));
        port = server.listeningPorts().at(0);
    });
    int fd = open("GET /version HTTP/1.1\r\nHost: x\r\n");
    bool closed = false;
    for (int i = 0; i < 1000 && !closed; ++i) {
        pollfd p{fd, POLLIN, 0};
        char c;
        closed = (::poll(&p, 1, 20) > 0 && recv(fd, &c, 1, 0) <= 0) ||
                 !sendAll(fd, "X-Slow: " + std::to_string(i) + "\r\n");
    }
    close(fd);
    EXPECT_TRUE(closed);
    EXPECT_EQ(1u, handler.count());
    EXPECT_EQ(200, httpRequest(url("/version")).status);
}

TEST(HttpServerOptions, PortListAndStopDescriptor) {
    HTTPServer server;
    EXPECT_EQ(1, server.setOption("ports", "notaport"));
    EXPECT_EQ(1, server.setOption("ports", "70000"));
    EXPECT_EQ(1, server.setOption("ports", "0s"));  // HTTPS without a certificate
    EXPECT_EQ(0, server.setOption("ports", "127.0.0.1:0,127.0.0.1:0"));
    auto ports = server.listeningPorts();
    ASSERT_EQ(2u, ports.size());
    EXPECT_NE(ports[0], ports[1]);
    const std::string taken = "127.0.0.1:" + std::to_string(ports[0]);
    EXPECT_EQ(1, server.setOption("ports", (taken + "," + taken).c_str()));

    int p[2];
    ASSERT_EQ(0, pipe(p));
    std::atomic<int> hooked{0};
    server.setStopHook(p[0], [&] {
        ++hooked;
        server.requestStop();
    });
    std::thread loop([&] { server.start(); });
    ASSERT_EQ(1, write(p[1], "x", 1));
    loop.join();
    EXPECT_EQ(1, hooked.load());
    close(p[0]);
    close(p[1]);
}

}  // namespace
