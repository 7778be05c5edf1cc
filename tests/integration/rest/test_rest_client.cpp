// The REST client against real listener servers on 127.0.0.1: order of delivery per host over
// one connection, hosts served side by side, the bounds, listeners that are down, silent or
// redirect, refused schemes.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "CRESTClient.h"
#include "RestTestSupport.h"

using namespace resttest;

namespace {

void loadTimeout(int seconds) {
    loadConfig("[RESTClient]\nhttpOptTimeout = " + std::to_string(seconds) + "\n");
}

TEST(RestClient, EachListenerHostGetsItsDocumentsInOrderOverOneConnection) {
    loadTimeout(5);
    TestListener listeners[3];
    std::vector<uriListener_t> urls;
    for (TestListener& l : listeners) {
        l.keepAlive = true;
        urls.emplace_back(l.url(), nullptr);
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
        for (int i = 0; i < 30; ++i) {
            EXPECT_EQ("<m>" + std::to_string(i) + "</m>", l.bodies()[i]);
        }
        EXPECT_EQ(1, l.accepted.load()) << "the connection was not kept for the next POST";
    }
    EXPECT_TRUE(waitFor([&] { return client.queuedCount(1) == 0; }));
}

// A listener that never answers holds back only the documents for its own host: in the other
// queue or in its own.
TEST(RestClient, StalledListenerHoldsBackOnlyItsOwnHost) {
    for (auto [stalledQueue, liveQueue] : {std::pair{2, 1}, {1, 1}, {2, 2}}) {
        SCOPED_TRACE(std::to_string(stalledQueue) + " " + std::to_string(liveQueue));
        loadTimeout(30);
        TestListener stalled, live;
        stalled.stalled = true;
        RESTClient client;
        client.init();
        EXPECT_EQ(0, client.sendPostData(stalled.url(), stalledQueue, "<stuck/>"));
        ASSERT_TRUE(waitFor([&] { return stalled.accepted.load() == 1; }));
        EXPECT_EQ(0, client.sendPostData(stalled.url(), stalledQueue, "<behind/>"));
        EXPECT_EQ(0, client.sendPostData(live.url(), liveQueue, "<live/>"));
        EXPECT_TRUE(waitFor([&] { return live.count() == 1; }));
        // The stalled host's second document still waits behind its first.
        EXPECT_TRUE(waitFor([&] { return client.queuedCount(stalledQueue) == 2; }));
        stalled.stalled = false;  // lets the transfer end so that the listener can go
    }
}

TEST(RestClient, DocumentsBeyondTheBoundsOfAHostOrAQueueAreDropped) {
    loadTimeout(30);
    TestListener stalled, other;
    stalled.stalled = true;
    other.stalled = true;
    RESTClient client;
    client.init();
    EXPECT_EQ(0, client.sendPostData(stalled.url(), 2, "<m>0</m>"));
    ASSERT_TRUE(waitFor([&] { return stalled.accepted.load() == 1; }));
    for (size_t i = 1; i < RESTClient::kMaxQueued; ++i) {
        EXPECT_EQ(0, client.sendPostData(stalled.url(), 2, "<m>" + std::to_string(i) + "</m>"));
    }
    EXPECT_EQ(RESTClient::kDropped, client.sendPostData(stalled.url(), 2, "<m>100</m>"));
    EXPECT_EQ(RESTClient::kMaxQueued, client.queuedCount(2));
    // Another host of the same queue, and the other queue, still take documents.
    EXPECT_EQ(0, client.sendPostData(other.url(), 2, "<other/>"));
    EXPECT_EQ(0, client.sendPostData(stalled.url(), 1, "<local/>"));
    EXPECT_EQ(RESTClient::kMaxQueued + 1, client.queuedCount(2));
    stalled.stalled = false;
    other.stalled = false;
    // Older documents stay queued and are delivered; the dropped one never is.
    ASSERT_TRUE(waitFor([&] { return client.queuedCount(2) == 0; }, std::chrono::seconds(30)));
    const auto bodies = stalled.bodies();
    EXPECT_EQ(bodies.end(), std::find(bodies.begin(), bodies.end(), "<m>100</m>"));
    EXPECT_EQ("<m>99</m>", bodies.back());

    // All hosts of a queue together hold at most the queue's bound.
    std::vector<std::unique_ptr<TestListener>> hosts;
    auto full = std::make_unique<RESTClient>();
    full->init();
    while (hosts.size() < RESTClient::kMaxQueuedPerQueue / RESTClient::kMaxQueued) {
        hosts.push_back(std::make_unique<TestListener>());
        hosts.back()->stalled = true;
        for (size_t i = 0; i < RESTClient::kMaxQueued; ++i) {
            ASSERT_EQ(0, full->sendPostData(hosts.back()->url(), 2, "<m/>"));
        }
    }
    EXPECT_EQ(RESTClient::kMaxQueuedPerQueue, full->queuedCount(2));
    EXPECT_EQ(RESTClient::kDropped, full->sendPostData(other.url(), 2, "<m/>"));
    EXPECT_EQ(0, full->sendPostData(other.url(), 1, "<m/>"));
    full.reset();  // gives up what is in flight
}

TEST(RestClient, ListenersThatAreDownSilentOrRedirectingDoNotStopTheNextMessage) {
    // 1 second as configured; 0 (which libcurl takes as "never") falls back to 3 seconds.
    TestListener silent[2], up, target;
    std::unique_ptr<RESTClient> clients[2];
    for (int i = 0; i < 2; ++i) {
        loadTimeout(1 - i);
        silent[i].stalled = true;
        clients[i] = std::make_unique<RESTClient>();
        clients[i]->init();
        EXPECT_EQ(0, clients[i]->sendPostData(silent[i].url(), 1, "<a/>"));
        EXPECT_EQ(0, clients[i]->sendPostData(silent[i].url(), 1, "<b/>"));
    }
    int downPort;
    {
        TestListener probe;
        downPort = probe.port;  // closed again when `probe` goes
    }
    TestListener redirector;  // answers with a redirect to `target`, never followed
    redirector.setReply("HTTP/1.1 307 Temporary Redirect\r\nLocation: " + target.url() +
                        "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    RESTClient& client = *clients[0];
    EXPECT_EQ(0, client.sendPostData("http://127.0.0.1:" + std::to_string(downPort) + "/x", 1,
                                     "<lost/>"));
    EXPECT_EQ(0, client.sendPostData(up.url(), 1, "<next/>"));
    EXPECT_EQ(0, client.sendPostData(redirector.url(), 1, "<x/>"));
    EXPECT_EQ(0, client.sendPostData(target.url(), 1, "<after/>"));
    ASSERT_TRUE(waitFor([&] { return up.count() == 1 && target.count() == 1; }));
    EXPECT_EQ("<next/>", up.bodies()[0]);
    EXPECT_EQ("<after/>", target.bodies()[0]);
    // The second document goes once the first has been given up.
    for (TestListener& s : silent) {
        EXPECT_TRUE(waitFor([&] { return s.accepted.load() == 2; }, std::chrono::seconds(30)));
        s.stalled = false;
    }
    // Every transfer has ended, the redirected one too (hosts are served side by side, so
    // it may end after the others): its redirect was not followed.
    ASSERT_TRUE(waitFor([&] { return client.queuedCount(1) == 0; }, std::chrono::seconds(30)));
    EXPECT_EQ(1u, redirector.count());
    EXPECT_EQ(1u, target.count());
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
    const bool stoppedInTime = waitFor([&] { return stopped.load(); }, std::chrono::seconds(20));
    silent.stalled = false;  // lets a client that did not give up go, so the test can end
    stopper.join();
    EXPECT_TRUE(stoppedInTime);
}

TEST(RestClient, OnlyHttpAndHttpsListenersAreContacted) {
    RESTClient client;
    EXPECT_EQ(-1, client.sendPostData("gopher://127.0.0.1/x", 2, "<x/>"));
    EXPECT_EQ(-1, client.sendPostData(nullptr, "<x/>"));
    EXPECT_EQ(0u, client.queuedCount(2));
    EXPECT_EQ(0, client.sendPostData("HTTPS://127.0.0.1:1/x", 2, "<x/>"));
}

}  // namespace
