// The HTTP server over real sockets on 127.0.0.1: dispatch through the resource tree,
// request bodies, error replies, late replies from other threads, sessions whose client
// leaves, HTTPS and digest authentication.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <stdexcept>

#include "CHTTPServer.h"
#include "RestTestSupport.h"

using namespace resttest;

namespace {

struct Seen {
    std::string uri;
    Method method = M_OTHER;
    std::string query;
    std::string body;
    int sessionId = -1;
};

// Records each request; answers at once with "<ok>" + the URI, unless told to hold the
// reply (the exchange then waits for another thread).
class RecordingHandler : public ResourceHandler {
  public:
    void handle(Resource* resource, const char* uri, Method method, const char* query,
                std::string* body, HTTPSessionContext* session) override {
        std::lock_guard<std::mutex> lock(mux);
        Seen s;
        s.uri = uri;
        s.method = method;
        s.query = query;
        s.body = *body;
        s.sessionId = session->getSessionId();
        seen.push_back(s);
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
    size_t count() {
        std::lock_guard<std::mutex> lock(mux);
        return seen.size();
    }
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

const ResourceDescriptor kNet("net");
const ResourceDescriptor kDefault("default");
const ResourceDescriptor kNodes("wsnnodes");
const ResourceDescriptor kAny("*");
const ResourceDescriptor kVersion("version");
const ResourceDescriptor kPlain("plain");
const ResourceDescriptor kBoom("boom");

class HttpServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        net = server.createResource(nullptr, &kNet, &handler, 0);
        Resource* def = server.createResource(net, &kDefault, &handler, 0);
        nodes = server.createResource(def, &kNodes, &handler, 0);
        server.createResource(nodes, &kAny, &handler, 7);
        server.createResource(nullptr, &kVersion, &handler, 0);
        server.createResource(nullptr, &kPlain, nullptr, 0);
        server.createResource(nullptr, &kBoom, &handler, 0);
        ASSERT_EQ(0, server.setOption("ports", "127.0.0.1:0"));
        port = server.listeningPorts().at(0);
        loop = std::make_unique<LoopThread>(server);
    }
    void TearDown() override { loop.reset(); }

    std::string url(const std::string& path) {
        return "http://127.0.0.1:" + std::to_string(port) + path;
    }

    DispatchingServer server;
    RecordingHandler handler;
    Resource* net = nullptr;
    Resource* nodes = nullptr;
    int port = 0;
    std::unique_ptr<LoopThread> loop;
};

TEST_F(HttpServerTest, DispatchesByUriAndMethodWithQueryAndBody) {
    HttpResult r = httpGet(url("/version?timeout=1e&urilistener=http://x:1/a"));
    EXPECT_EQ("<ok>/version</ok>", r.body);
    EXPECT_NE(std::string::npos, r.headers.find("Content-Type: text/xml"));
    EXPECT_EQ("<ok>/net/default/wsnnodes</ok>",
              httpSend("POST", url("/net/default/wsnnodes"), "<a>body</a>").body);
    const Method methods[] = {M_PUT, M_DELETE, M_OTHER};
    const char* names[] = {"PUT", "DELETE", "PATCH"};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(200, httpSend(names[i], url("/net"), "x").status) << names[i];
    }
    auto seen = handler.all();
    ASSERT_EQ(5u, seen.size());
    EXPECT_EQ(M_GET, seen[0].method);
    EXPECT_EQ("timeout=1e&urilistener=http://x:1/a", seen[0].query);
    EXPECT_EQ(M_POST, seen[1].method);
    EXPECT_EQ("<a>body</a>", seen[1].body);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(methods[i], seen[2 + i].method);
    }
    EXPECT_NE(seen[0].sessionId, seen[1].sessionId);
}

TEST_F(HttpServerTest, WildcardChildMatchesAnyNameAndUnknownPathsAre404) {
    HttpResult r = httpGet(url("/net/default/wsnnodes/1234"));
    EXPECT_EQ(200, r.status);
    EXPECT_EQ("<ok>/net/default/wsnnodes/*</ok>", r.body);
    EXPECT_EQ(404, httpGet(url("/net/other")).status);
    EXPECT_EQ(404, httpGet(url("/version/extra")).status);
    // A resource without server logic is refused by the base server.
    EXPECT_EQ(403, httpGet(url("/plain")).status);
    EXPECT_EQ(1u, handler.count());
}

TEST_F(HttpServerTest, HandlerFaultEndsOnlyItsOwnExchange) {
    HttpResult r = httpGet(url("/boom"));
    EXPECT_EQ(500, r.status);
    EXPECT_EQ(200, httpGet(url("/version")).status);
    EXPECT_TRUE(waitFor([&] { return server.activeSessionCount() == 0; }));
}

TEST_F(HttpServerTest, BodyFramingErrors) {
    const struct {
        const char* request;
        const char* statusLine;
    } cases[] = {
        {"POST /version HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", "HTTP/1.1 411"},
        {"PUT /version HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: "
         "chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n",
         "HTTP/1.1 411"},
        {"POST /version HTTP/1.1\r\nHost: x\r\nContent-Length: abc\r\n\r\n", "HTTP/1.1 400"},
        // Two framings of one body.
        {"POST /version HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n"
         "Transfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n",
         "HTTP/1.1 400"},
        {"POST /version HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\nabcd",
         "HTTP/1.1 400"},
        {"POST /version HTTP/1.1\r\nHost: x\r\nContent-Length: 99999999999\r\n\r\n",
         "HTTP/1.1 413"},
    };
    for (const auto& c : cases) {
        std::string reply = rawExchange(port, c.request);
        EXPECT_EQ(0u, reply.find(c.statusLine)) << c.request << "\n---\n" << reply;
    }
    EXPECT_EQ(0u, handler.count());
}

TEST_F(HttpServerTest, BodyArrivingInPiecesIsDispatchedOnlyWhenComplete) {
    int fd = connectTo(port);
    ASSERT_GE(fd, 0);
    sendAll(fd,
            "POST /version HTTP/1.1\r\nHost: x\r\nConnection: close\r\n"
            "Content-Length: 12\r\n\r\nhello");
    ASSERT_TRUE(waitFor([&] { return server.activeSessionCount() == 1; }));
    sendAll(fd, " wo");
    sendAll(fd, "rld!");
    std::string reply = readAll(fd);
    close(fd);
    EXPECT_EQ(0u, reply.find("HTTP/1.1 200"));
    // Dispatched once, with every piece.
    ASSERT_EQ(1u, handler.count());
    EXPECT_EQ("hello world!", handler.all()[0].body);
}

TEST_F(HttpServerTest, BodyOverTheBoundIs413WhateverTheMethod) {
    std::string big(server.getMaxBodySize() + 1, 'x');
    EXPECT_EQ(413, httpSend("POST", url("/version"), big).status);
    std::string atBound(server.getMaxBodySize(), 'y');
    EXPECT_EQ(200, httpSend("POST", url("/version"), atBound).status);
    ASSERT_EQ(1u, handler.count());
    EXPECT_EQ(atBound.size(), handler.all()[0].body.size());

    // A chunked body on a method that takes none is not read without end: the connection
    // ends once the bound is passed, and the request is never dispatched.
    int fd = connectTo(port);
    ASSERT_GE(fd, 0);
    timeval limit{20, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
    sendAll(fd, "DELETE /version HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n");
    const std::string chunk = "10000\r\n" + std::string(0x10000, 'z') + "\r\n";
    for (int i = 0; i < 64 && sendAll(fd, chunk); ++i) {
    }
    sendAll(fd, "0\r\n\r\n");
    std::string reply = readAll(fd);
    close(fd);
    EXPECT_EQ(std::string::npos, reply.find("HTTP/1.1 200")) << reply.substr(0, 200);
    EXPECT_EQ(1u, handler.count());
}

TEST_F(HttpServerTest, ReplySetLaterFromAnotherThreadCompletesTheExchange) {
    handler.hold = true;
    std::atomic<bool> answered{false};
    auto started = std::chrono::steady_clock::now();
    std::thread agent([&] {
        ASSERT_TRUE(waitFor([&] { return handler.count() == 1; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        int id = handler.all()[0].sessionId;
        bool found = server.withActiveSession(id, [&](HTTPSessionContext& s) {
            EXPECT_EQ(S_SERVED, s.getSessionStatus());
            answered = s.setReadyResponse("<late/>");
        });
        EXPECT_TRUE(found);
        server.notifyReady(id);
    });
    HttpResult r = httpGet(url("/version"));
    agent.join();
    auto elapsed = std::chrono::steady_clock::now() - started;
    EXPECT_TRUE(answered);
    EXPECT_EQ(200, r.status);
    EXPECT_EQ("<late/>", r.body);
    EXPECT_GE(elapsed, std::chrono::milliseconds(400));
    EXPECT_TRUE(waitFor([&] { return server.activeSessionCount() == 0; }));
}

TEST_F(HttpServerTest, ResetByTheClientEndsTheSessionAndDropsTheLateReply) {
    handler.hold = true;
    int fd = connectTo(port);
    sendAll(fd, "GET /version HTTP/1.1\r\nHost: x\r\n\r\n");
    ASSERT_TRUE(waitFor([&] { return handler.count() == 1; }));
    EXPECT_EQ(1u, server.activeSessionCount());
    linger reset{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
    close(fd);
    EXPECT_TRUE(waitFor([&] { return server.activeSessionCount() == 0; }));
    int id = handler.all()[0].sessionId;
    EXPECT_FALSE(server.withActiveSession(id, [](HTTPSessionContext&) { FAIL(); }));
    server.notifyReady(id);
    // The server goes on serving.
    handler.hold = false;
    EXPECT_EQ(200, httpGet(url("/version")).status);
}

TEST_F(HttpServerTest, HalfClosedClientStillGetsItsLateReply) {
    handler.hold = true;
    int fd = connectTo(port);
    sendAll(fd, "GET /version HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    shutdown(fd, SHUT_WR);
    ASSERT_TRUE(waitFor([&] { return handler.count() == 1; }));
    // Another exchange makes the loop pass over the waiting one at least once.
    handler.hold = false;
    EXPECT_EQ(200, httpGet(url("/net")).status);
    int id = handler.all()[0].sessionId;
    ASSERT_TRUE(server.withActiveSession(
        id, [](HTTPSessionContext& s) { EXPECT_TRUE(s.setReadyResponse("<late/>")); }));
    server.notifyReady(id);
    std::string reply = readAll(fd);
    close(fd);
    EXPECT_EQ(0u, reply.find("HTTP/1.1 200")) << reply;
    EXPECT_NE(std::string::npos, reply.find("<late/>"));
}

TEST_F(HttpServerTest, SlowClientsFromFewAddressesLeaveRoomForOthers) {
    // Four addresses each open as many dribbling connections as the server lets them.
    std::vector<int> slow;
    for (const char* source : {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"}) {
        for (int i = 0; i < 64; ++i) {
            int fd = connectTo(port, source);
            ASSERT_GE(fd, 0) << source;
            sendAll(fd, "GET /version HTTP/1.1\r\nHost: x\r\n");
            slow.push_back(fd);
        }
    }
    RequestOptions opt;
    opt.timeoutSeconds = 10;
    HttpResult r = httpRequest("GET", url("/version"), opt);
    EXPECT_EQ(200, r.status) << "curl code " << r.curlCode;
    for (int fd : slow) {
        close(fd);
    }
}

TEST_F(HttpServerTest, RequestThatTricklesItsHeadersIsCutAtItsDeadline) {
    loop->run([&] {
        server.setRequestDeadline(1);
        ASSERT_EQ(0, server.setOption("ports", "127.0.0.1:0"));
        port = server.listeningPorts().at(0);
    });
    int fd = connectTo(port);
    ASSERT_GE(fd, 0);
    sendAll(fd, "GET /version HTTP/1.1\r\nHost: x\r\n");
    // One header line every 200 ms: never idle, never complete.
    bool closed = false;
    for (int i = 0; i < 100 && !closed; ++i) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 200) > 0) {
            char c;
            closed = recv(fd, &c, 1, 0) <= 0;
        }
        closed = closed || !sendAll(fd, "X-Slow: " + std::to_string(i) + "\r\n");
    }
    close(fd);
    EXPECT_TRUE(closed);
    EXPECT_EQ(0u, handler.count());
    EXPECT_EQ(200, httpGet(url("/version")).status);
}

TEST_F(HttpServerTest, RemovingASubtreeMakesItsUrisUnreachable) {
    EXPECT_EQ(200, httpGet(url("/net/default/wsnnodes/0001")).status);
    loop->run([&] { server.removeResource(server.findResource(nullptr, "net")); });
    EXPECT_EQ(404, httpGet(url("/net")).status);
    EXPECT_EQ(404, httpGet(url("/net/default/wsnnodes")).status);
    EXPECT_EQ(404, httpGet(url("/net/default/wsnnodes/0001")).status);
    EXPECT_EQ(200, httpGet(url("/version")).status);
}

TEST_F(HttpServerTest, KeepAliveConnectionCarriesSeveralExchanges) {
    handler.hold = true;
    int fd = connectTo(port);
    ASSERT_GE(fd, 0);
    sendAll(fd, "GET /version HTTP/1.1\r\nHost: x\r\n\r\n");
    ASSERT_TRUE(waitFor([&] { return handler.count() == 1; }));
    int first = handler.all()[0].sessionId;
    ASSERT_TRUE(server.withActiveSession(
        first, [](HTTPSessionContext& s) { s.setReadyResponse("<one/>"); }));
    server.notifyReady(first);
    handler.hold = false;
    std::string reply;
    ASSERT_TRUE(waitFor([&] {
        char buf[1024];
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 10) > 0) {
            ssize_t n = recv(fd, buf, sizeof(buf), 0);
            if (n > 0) {
                reply.append(buf, static_cast<size_t>(n));
            }
        }
        return reply.find("<one/>") != std::string::npos;
    }));
    sendAll(fd,
            "POST /net HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n"
            "Connection: close\r\n\r\nabc");
    std::string second = readAll(fd);
    close(fd);
    EXPECT_NE(std::string::npos, second.find("<ok>/net</ok>"));
    ASSERT_EQ(2u, handler.count());
    EXPECT_EQ("abc", handler.all()[1].body);
    EXPECT_NE(first, handler.all()[1].sessionId);
    EXPECT_TRUE(waitFor([&] { return server.activeSessionCount() == 0; }));
}

TEST_F(HttpServerTest, MalformedAndAbandonedRequestsLeaveNothingBehind) {
    const char* requests[] = {
        "GET /version HTTP/1.1\r\nHost: x\r\nNoColonHere\r\n\r\n",
        "GET /version HTTP/7.0\r\nHost: x\r\n\r\n",
        "GET /version HTTP/1.1\r\nHost: x\r\n",  // abandoned before the headers end
        "POST /version HTTP/1.1\r\nHost: x\r\nContent-Length: 10\r\n\r\nabc",  // mid-body
    };
    for (const char* request : requests) {
        int fd = connectTo(port);
        ASSERT_GE(fd, 0);
        sendAll(fd, request);
        readAll(fd, 300);
        close(fd);
    }
    EXPECT_TRUE(waitFor([&] { return server.activeSessionCount() == 0; }));
    EXPECT_EQ(0u, handler.count());
    EXPECT_EQ(200, httpGet(url("/version")).status);
}

TEST(HttpServerOptions, PortListAndStopDescriptor) {
    HTTPServer server;
    EXPECT_EQ(1, server.setOption("ports", "notaport"));
    EXPECT_EQ(1, server.setOption("ports", "0s"));  // HTTPS without a certificate
    EXPECT_EQ(0, server.setOption("ports", "127.0.0.1:0,127.0.0.1:0"));
    auto ports = server.listeningPorts();
    ASSERT_EQ(2u, ports.size());
    EXPECT_NE(ports[0], ports[1]);
    // A port already taken is refused.
    EXPECT_EQ(1, server.setOption("ports", ("127.0.0.1:" + std::to_string(ports[0]) +
                                            ",127.0.0.1:" + std::to_string(ports[0]))
                                               .c_str()));

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
