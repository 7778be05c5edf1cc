// The REST client against real listener servers on 127.0.0.1: order of delivery per host over
// one connection, hosts served side by side, the bounds, listeners that are down or silent,
// refused schemes.

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <vector>

#include "CRESTClient.h"
#include "ConfigurationRepository.h"
#include "RestTestSupport.h"

using namespace resttest;

namespace {

void loadTimeout(int seconds) {
    std::string path = tempPath("rest_client.ini");
    std::ofstream(path) << "[RESTClient]\nhttpOptTimeout = " << seconds << "\n";
    ConfigurationRepository::instance(path)->load();
}

int closedPort() {
    TestListener probe;
    return probe.port;  // closed again when `probe` goes
}

TEST(RestClient, EachListenerHostGetsItsDocumentsInOrderOverOneConnection) {
    loadTimeout(5);
    TestListener listeners[3];
    std::vector<uriListener_t> urls;
    for (TestListener& l : listeners) {
        l.keepAlive = true;
        urls.emplace_back(l.url(), nullptr);
        ASSERT_EQ(1, urls.back().type);
    }
    RESTClient client;
    client.init();
    // Interleaved, as the events of one report go to every listener in turn.
    for (int i = 0; i < 30; ++i) {
        for (const uriListener_t& u : urls) {
            EXPECT_EQ(0, client.sendPostData(&u, "<m>" + std::to_string(i) + "</m>"));
        }
    }
    for (TestListener& l : listeners) {
        ASSERT_TRUE(waitFor([&] { return l.count() == 30; }));
        auto bodies = l.bodies();
        for (int i = 0; i < 30; ++i) {
            EXPECT_EQ("<m>" + std::to_string(i) + "</m>", bodies[i]);
        }
        EXPECT_EQ(1, l.accepted.load()) << "the connection was not kept for the next POST";
    }
    EXPECT_TRUE(waitFor([&] { return client.queuedCount(1) == 0; }));
}

// A listener that never answers holds back only the documents for its own host: in the
// other queue or in its own.
TEST(RestClient, StalledListenerHoldsBackOnlyItsOwnHost) {
    struct Case {
        int stalledQueue, liveQueue;
    };
    for (Case c : {Case{2, 1}, Case{1, 1}, Case{2, 2}}) {
        SCOPED_TRACE("stalled on queue " + std::to_string(c.stalledQueue) + ", live on " +
                     std::to_string(c.liveQueue));
        loadTimeout(30);
        TestListener stalled, live;
        stalled.stalled = true;
        RESTClient client;
        client.init();
        EXPECT_EQ(0, client.sendPostData(stalled.url(), c.stalledQueue, "<stuck/>"));
        ASSERT_TRUE(waitFor([&] { return stalled.accepted.load() == 1; }));
        EXPECT_EQ(0, client.sendPostData(stalled.url(), c.stalledQueue, "<behind/>"));
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(0, client.sendPostData(live.url(), c.liveQueue, "<live/>"));
        ASSERT_TRUE(waitFor([&] { return live.count() == 1; }, std::chrono::seconds(10)));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
        // The stalled host's second document still waits behind its first.
        EXPECT_TRUE(waitFor([&] { return client.queuedCount(c.stalledQueue) == 2; }));
        stalled.stalled = false;  // lets the transfer end so that the listener can go
    }
}

TEST(RestClient, DocumentsBeyondTheBoundsAreDroppedWhileAHostIsStuck) {
    loadTimeout(30);
    TestListener stalled, other;
    stalled.stalled = true;
    other.stalled = true;
    RESTClient client;
    client.init();
    EXPECT_EQ(0, client.sendPostData(stalled.url(), 2, "<m>0</m>"));
    ASSERT_TRUE(waitFor([&] { return stalled.accepted.load() == 1; }));
    for (int i = 1; i < 100; ++i) {
        EXPECT_EQ(0, client.sendPostData(stalled.url(), 2, "<m>" + std::to_string(i) + "</m>"));
    }
    EXPECT_EQ(100u, client.queuedCount(2));
    EXPECT_EQ(RESTClient::kDropped, client.sendPostData(stalled.url(), 2, "<m>100</m>"));
    EXPECT_EQ(100u, client.queuedCount(2));
    // Another host of the same queue, and the other queue, still take documents.
    EXPECT_EQ(0, client.sendPostData(other.url(), 2, "<other/>"));
    EXPECT_EQ(0, client.sendPostData(stalled.url(), 1, "<local/>"));
    EXPECT_EQ(101u, client.queuedCount(2));
    stalled.stalled = false;
    other.stalled = false;
    // Older documents stay queued and are delivered; the dropped one never is.
    ASSERT_TRUE(waitFor([&] { return client.queuedCount(2) == 0; }, std::chrono::seconds(30)));
    auto bodies = stalled.bodies();
    for (const auto& b : bodies) {
        EXPECT_NE("<m>100</m>", b);
    }
    EXPECT_EQ("<m>99</m>", bodies.back());
}

TEST(RestClient, AQueueHoldsAtMostItsBoundOverAllHosts) {
    loadTimeout(30);
    constexpr size_t kHosts = RESTClient::kMaxQueuedPerQueue / RESTClient::kMaxQueued;
    std::vector<std::unique_ptr<TestListener>> hosts;
    auto* client = new RESTClient;
    client->init();
    for (size_t h = 0; h < kHosts; ++h) {
        hosts.push_back(std::make_unique<TestListener>());
        hosts.back()->stalled = true;
        for (size_t i = 0; i < RESTClient::kMaxQueued; ++i) {
            ASSERT_EQ(0, client->sendPostData(hosts.back()->url(), 2, "<m/>")) << h << " " << i;
        }
    }
    EXPECT_EQ(RESTClient::kMaxQueuedPerQueue, client->queuedCount(2));
    TestListener one_more;
    EXPECT_EQ(RESTClient::kDropped, client->sendPostData(one_more.url(), 2, "<m/>"));
    EXPECT_EQ(0, client->sendPostData(one_more.url(), 1, "<m/>"));
    delete client;  // gives up what is in flight
    for (auto& h : hosts) {
        h->stalled = false;
    }
}

TEST(RestClient, ListenerThatIsDownDoesNotStopTheNextMessage) {
    loadTimeout(5);
    int port = closedPort();
    TestListener up;
    RESTClient client;
    client.init();
    std::string down = "http://127.0.0.1:" + std::to_string(port) + "/x";
    EXPECT_EQ(0, client.sendPostData(down, 1, "<lost/>"));
    EXPECT_EQ(0, client.sendPostData(up.url(), 1, "<next/>"));
    ASSERT_TRUE(waitFor([&] { return up.count() == 1; }));
    EXPECT_EQ("<next/>", up.bodies()[0]);
}

TEST(RestClient, TimeoutBoundsASilentListener) {
    // 1 second as configured; 0 (which libcurl takes as "never") falls back to 3 seconds.
    for (int seconds : {1, 0}) {
        loadTimeout(seconds);
        TestListener silent;
        silent.stalled = true;
        RESTClient client;
        client.init();
        EXPECT_EQ(0, client.sendPostData(silent.url(), 1, "<a/>"));
        EXPECT_EQ(0, client.sendPostData(silent.url(), 1, "<b/>"));
        // The second document goes once the first has been given up.
        EXPECT_TRUE(waitFor([&] { return silent.accepted.load() == 2; }, std::chrono::seconds(30)))
            << "httpOptTimeout = " << seconds;
        silent.stalled = false;
    }
}

TEST(RestClient, StopGivesUpATransferInFlight) {
    loadTimeout(600);
    TestListener silent;
    silent.stalled = true;
    auto* client = new RESTClient;
    client->init();
    EXPECT_EQ(0, client->sendPostData(silent.url(), 2, "<a/>"));
    ASSERT_TRUE(waitFor([&] { return silent.accepted.load() == 1; }));
    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        delete client;
        stopped = true;
    });
    bool stoppedInTime = waitFor([&] { return stopped.load(); }, std::chrono::seconds(20));
    silent.stalled = false;  // lets a client that did not give up go, so the test can end
    stopper.join();
    EXPECT_TRUE(stoppedInTime);
}

TEST(RestClient, OnlyHttpAndHttpsListenersAreContacted) {
    RESTClient client;
    EXPECT_EQ(-1, client.sendPostData("file:///etc/passwd", 1, "<x/>"));
    EXPECT_EQ(-1, client.sendPostData("ftp://127.0.0.1/x", 2, "<x/>"));
    EXPECT_EQ(-1, client.sendPostData("gopher://127.0.0.1/x", 2, "<x/>"));
    EXPECT_EQ(-1, client.sendPostData(nullptr, "<x/>"));
    EXPECT_EQ(0u, client.queuedCount(1));
    EXPECT_EQ(0u, client.queuedCount(2));
    EXPECT_EQ(0, client.sendPostData("HTTPS://127.0.0.1:1/x", 2, "<x/>"));
}

TEST(RestClient, RedirectsAreNotFollowed) {
    loadTimeout(5);
    TestListener target;
    // A listener that answers every POST with a redirect to `target`.
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    socklen_t len = sizeof(addr);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    listen(fd, 4);
    std::thread redirector([&] {
        int c = accept(fd, nullptr, nullptr);
        readAll(c, 500);
        sendAll(c, "HTTP/1.1 307 Temporary Redirect\r\nLocation: " + target.url() +
                       "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        close(c);
    });
    RESTClient client;
    client.init();
    std::string url = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/r";
    EXPECT_EQ(0, client.sendPostData(url, 1, "<x/>"));
    // Sent after the redirected one on the same queue: once it is in, the redirect would
    // have been followed already.
    EXPECT_EQ(0, client.sendPostData(target.url(), 1, "<after/>"));
    redirector.join();
    close(fd);
    ASSERT_TRUE(waitFor([&] { return target.count() == 1; }));
    EXPECT_EQ("<after/>", target.bodies()[0]);
}

}  // namespace
