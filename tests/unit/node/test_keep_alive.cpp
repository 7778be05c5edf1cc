#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <vector>

#include "CDebug.h"
#include "GWManagement.h"
#include "KeepAlive.h"
#include "OrqZbIf.h"
#include "TestNodes.h"
#include "ZbNetDb.h"
#include "support/TestConfig.h"
#include "support/WaitFor.h"

// The keep-alive task on its own: a database of an adapter without a link, a clock the test
// moves, and hooks that record what the task tells its agent.
class KeepAliveTest : public ::testing::Test {
  protected:
    KeepAliveTest() {
        const unsigned char ieee[8] = {0, 0x12, 0x4B, 0, 0, 0, 0, 1};
        Node* root = new Node(0x0000, ieee);
        db()->setRoot(root);
        KeepAlive::Settings s;
        s.threshold = 3;
        s.numOfPings = 3;
        s.forcePingTimeout = 0;
        s.pacing = std::chrono::milliseconds(1);
        ka.configure(s);
    }
    ZbNetDb* db() { return zb.getDb(); }
    Node* addNode(unsigned short nwk, bool rxOn, bool active, long stamp) {
        return addTestNode(db(), nwk, rxOn, active, stamp);
    }
    // One visit; the pings it decided on.
    std::vector<unsigned short> visit(Node* n) {
        ka.keepAliveAlgorithm(n);
        return ka.takeDuePings();
    }
    bool listed(Node* n) {
        const int i = ka.searchNodeFromDeadingNodeList(n);
        return i >= 0 && i < ka.getDeadingNodeListCounter();
    }

    TestConfig config{"[main]\n"};
    OrqZbIf zb{config.get()};
    std::recursive_mutex mux;
    Debug log{"KeepAliveTest"};
    long now = 1000000;
    std::vector<unsigned short> dead, sleepy;
    std::atomic<int> starts{0};
    std::mutex pingMux;
    std::vector<unsigned short> pinged;
    KeepAlive ka{&zb,
                 mux,
                 log,
                 {[this](Node* n) { dead.push_back(n->get_nwk_addr()); },
                  [this](unsigned short nwk, unsigned char*) { sleepy.push_back(nwk); },
                  [this] { ++starts; },
                  [this](unsigned short nwk) {
                      std::lock_guard<std::mutex> lock(pingMux);
                      pinged.push_back(nwk);
                  }},
                 [this] { return now; }};
};

TEST_F(KeepAliveTest, ASilentNodeGetsItsAttemptsThenIsReportedDeadOnce) {
    Node* n = addNode(0x0101, true, true, now);
    const std::vector<unsigned short> one{0x0101}, none;
    EXPECT_EQ(visit(n), none);  // heard just now
    now += 4;                   // past the threshold of 3 s
    EXPECT_EQ(visit(n), one);
    EXPECT_EQ(n->getKANodeTimer(), KA_BEING_PINGED);
    EXPECT_TRUE(listed(n));
    EXPECT_EQ(visit(n), one);  // second attempt
    EXPECT_EQ(visit(n), one);  // third
    EXPECT_EQ(n->getnumOfPingsDone(), 3);
    EXPECT_TRUE(dead.empty());
    EXPECT_EQ(visit(n), none);
    EXPECT_EQ(dead, std::vector<unsigned short>{0x0101});
    EXPECT_FALSE(listed(n));
    // Still silent and no longer listed: its values are refreshed, not reported again.
    EXPECT_EQ(visit(n), none);
    EXPECT_EQ(dead.size(), 1u);
    EXPECT_EQ(n->getKANodeTimer(), 3 - 2);
}

// One visit of a node in each state: the ping it decides on, its time stamp after, whether it is
// reported dead or announced again (a sleepy node), and whether it stays on the dead node list.
TEST_F(KeepAliveTest, AVisitDecidesFromTheStateOfTheNode) {
    const long T = 3;
    struct Case {
        const char* what;
        bool rxOn, active, inList;
        long stamp, stampAfter;
        bool pinged, dead, announced, inListAfter;
    };
    const Case cases[] = {
        {"unknown to the network", true, true, false, KA_UNKNOWN_TO_NETWORK, KA_UNKNOWN_TO_NETWORK,
         false, true, false, false},
        {"active sleepy node leaves the list", false, true, true, now - 100, now - 100, false,
         false, false, false},
        {"inactive sleepy node is announced", false, false, false, now - 100, now, false, false,
         true, false},
        {"no time stamp yet", true, true, false, KA_NO_TIMESTAMP, now, true, false, false, false},
        {"heard in time leaves the list", true, true, true, now, now, false, false, false, false},
        {"inactive node goes pinging", true, false, false, now, KA_BEING_PINGED, true, false, false,
         true},
        {"heard within the threshold, stays", true, true, false, now - T, now - T, false, false,
         false, false},
    };
    unsigned short nwk = 0x0200;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Node* n = addNode(++nwk, c.rxOn, c.active, c.stamp);
        if (c.inList) {
            ka.insertNodeIntoDeadingNodeList(n->get_ieee_addr(), now);
        }
        dead.clear();
        sleepy.clear();
        EXPECT_EQ(visit(n),
                  c.pinged ? std::vector<unsigned short>{nwk} : std::vector<unsigned short>{});
        EXPECT_EQ(n->getKANodeTimer(), c.stampAfter);
        EXPECT_EQ(dead, c.dead ? std::vector<unsigned short>{nwk} : std::vector<unsigned short>{});
        EXPECT_EQ(sleepy,
                  c.announced ? std::vector<unsigned short>{nwk} : std::vector<unsigned short>{});
        EXPECT_EQ(listed(n), c.inListAfter);
    }
}

TEST_F(KeepAliveTest, AForcedPingRefreshesAnOldNeighbourTableOfAnAwakeNodeOnly) {
    KeepAlive::Settings s;
    s.threshold = 3;
    s.forcePingTimeout = 10;
    ka.configure(s);
    Node* awake = addNode(0x0301, true, true, now);
    Node* asleep = addNode(0x0302, false, true, now);
    for (Node* n : {awake, asleep}) {
        ka.forcePingAlgorithm(n);  // the first visit starts its clock
        EXPECT_EQ(n->getForcePingTimer(), now);
    }
    now += 5;
    ka.forcePingAlgorithm(awake);
    EXPECT_TRUE(ka.takeDuePings().empty());
    now += 6;
    ka.forcePingAlgorithm(awake);
    ka.forcePingAlgorithm(asleep);
    EXPECT_EQ(ka.takeDuePings(), std::vector<unsigned short>{0x0301});
    EXPECT_FALSE(awake->getIsActive());  // until its answer comes
    EXPECT_TRUE(asleep->getIsActive());
    EXPECT_EQ(asleep->getForcePingTimer(), now);

    s.forcePingTimeout = 0;  // switched off
    ka.configure(s);
    Node* other = addNode(0x0303, true, true, now);
    other->setForcePingTimer(1);
    ka.forcePingAlgorithm(other);
    EXPECT_TRUE(ka.takeDuePings().empty());
    EXPECT_EQ(other->getForcePingTimer(), 1);
}

TEST_F(KeepAliveTest, TheDeadNodeListHoldsEachAddressOnce) {
    Node* a = addNode(0x0401, true, true, now);
    Node* b = addNode(0x0402, true, true, now);
    EXPECT_EQ(ka.searchNodeFromDeadingNodeList(a), -1);  // empty
    ka.insertNodeIntoDeadingNodeList(a->get_ieee_addr(), now);
    ka.insertNodeIntoDeadingNodeList(a->get_ieee_addr(), now + 1);
    EXPECT_EQ(ka.getDeadingNodeListCounter(), 1);
    EXPECT_EQ(ka.searchNodeFromDeadingNodeList(a), 0);
    EXPECT_EQ(ka.searchNodeFromDeadingNodeList(b), 1);  // absent: the count
    EXPECT_TRUE(ka.isInDeadingNodeList(0x0401));
    EXPECT_FALSE(ka.isInDeadingNodeList(0x0402));
    EXPECT_FALSE(ka.isInDeadingNodeList(0x7777));  // no such node
    ka.removeNodeFromDeadingNodeList(1);           // the count itself: out of range, nothing goes
    EXPECT_EQ(ka.getDeadingNodeListCounter(), 1);
    ka.insertNodeIntoDeadingNodeList(b->get_ieee_addr(), now);
    ka.removeNodeFromDeadingNodeList(0);
    EXPECT_FALSE(ka.isInDeadingNodeList(0x0401));
    EXPECT_TRUE(ka.isInDeadingNodeList(0x0402));
    ka.clearDeadingNodeList();
    EXPECT_EQ(ka.getDeadingNodeListCounter(), 0);
}

TEST_F(KeepAliveTest, TheTaskVisitsEveryNodeWhileTheNetworkRunsAndPingsThroughItsHook) {
    zb.setGWStatus(GW_RUNNING, 0);
    db()->setReceiverOnWhenIdle(db()->getRoot(), true);
    db()->setActive(db()->getRoot(), true);
    addNode(0x0501, true, true, KA_NO_TIMESTAMP);
    addNode(0x0502, true, true, now - 100);
    KeepAlive::Timings t;
    t.poll = t.startDelay = t.visit = std::chrono::milliseconds(1);
    ka.setKeepAliveTimings(t);
    ka.runKeepAliveAlgorithm();
    ka.runKeepAliveAlgorithm();  // runs already: no second task
    auto seen = [this] {
        std::lock_guard<std::mutex> lock(pingMux);
        return std::set<unsigned short>(pinged.begin(), pinged.end());
    };
    // The root is pinged first (its time stamp is cleared at the start), the node without a
    // time stamp and the silent one after it.
    ASSERT_TRUE(waitFor([&] {
        return seen() == std::set<unsigned short>{0x0000, 0x0501, 0x0502};
    }));
    {
        std::lock_guard<std::mutex> lock(pingMux);
        EXPECT_EQ(pinged.front(), 0x0000);
    }
    ka.stop();
    EXPECT_EQ(starts.load(), 1);
}

TEST_F(KeepAliveTest, StopEndsTheTaskInTheMiddleOfALongPause) {
    db()->clearAll();  // the task waits for a first node
    KeepAlive::Timings t;
    t.poll = std::chrono::hours(1);
    ka.setKeepAliveTimings(t);
    ka.runKeepAliveAlgorithm();
    const auto t0 = std::chrono::steady_clock::now();
    ka.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
    EXPECT_EQ(starts.load(), 0);
    ka.runKeepAliveAlgorithm();  // stopped for good
    ka.stop();
}
