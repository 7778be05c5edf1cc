#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <vector>

#include "DiscoveryCore.h"
#include "GWManagement.h"
#include "TestNodes.h"
#include "TimerThread.h"
#include "support/TestConfig.h"
#include "support/WaitFor.h"

// The compiled discovery agent without any handler class: reply paths of plain callables, an
// adapter without a link, confirms called as the reader thread would, a clock the test moves.
class DiscoveryCoreTest : public ::testing::Test {
  protected:
    struct Reply {
        int session;
        int nwk;  // the notified node; -1 for none
        fState_t state;
        int result;
        AgentError error;
        bool asynch;
    };

    DiscoveryCoreTest() {
        zb.setGWStatus(GW_RUNNING, 0);
        core.init();
        Node* root = new Node(0x0000, kRootIeee);
        db()->setRoot(root);
    }
    ZbNetDb* db() { return zb.getDb(); }

    void record(std::vector<Reply>& to, int session, Node* node, const RPCReqStatus* st) {
        std::lock_guard<std::mutex> lock(mux);
        to.push_back({session, node != nullptr ? node->get_nwk_addr() : -1, st->getFState(),
                      st->getFResult(), st->getReturnValue(), st->isReqAsynch()});
    }
    DiscoveryCore::ProcPath procPath(int session, bool withResponse = true) {
        DiscoveryCore::ProcPath::response_type response;
        if (withResponse) {
            response = [this](int s, RPCReqStatus* st) -> void* {
                record(responses, s, nullptr, st);
                return nullptr;
            };
        }
        return DiscoveryCore::ProcPath(session, response, [this](Node* n, RPCReqStatus* st) {
            record(notices, -1, n, st);
            return static_cast<void*>(nullptr);
        });
    }
    std::vector<Reply> noticesSeen() {
        std::lock_guard<std::mutex> lock(mux);
        return notices;
    }

    static constexpr unsigned char kRootIeee[8] = {0, 0x12, 0x4B, 0, 0, 0, 0, 1};
    TestConfig config{"[main]\nkeepAliveThreshold = 3\ndiscoveryPacingMs = 0\n"};
    OrqZbIf zb{config.get()};
    ManualTimerClock clock;
    DiscoveryCore core{&zb, config.get(), &clock};
    std::mutex mux;
    std::vector<Reply> responses, notices;
};

TEST_F(DiscoveryCoreTest, AnInquiryAnswersAndNotifiesThroughItsReplyPath) {
    zb.setGWStatus(GW_STARTING, 0);
    DiscoveryCore::ProcPath path = procPath(7);
    EXPECT_EQ(core.startInquiry(0, &path), ORQ_NOT_RUNNING);
    ASSERT_EQ(responses.size(), 1u);
    EXPECT_EQ(responses[0].session, 7);
    EXPECT_EQ(responses[0].state, NotAvailable);
    EXPECT_EQ(responses[0].result, -1);

    zb.setGWStatus(GW_RUNNING, 0);
    ASSERT_EQ(core.startInquiry(0, &path), AGENT_SUCCESS);
    ASSERT_EQ(responses.size(), 2u);
    EXPECT_EQ(responses[1].state, Running);
    EXPECT_EQ(responses[1].session, 7);
    unsigned short children[1] = {0x0B01};
    unsigned char rootIeee[8];
    std::memcpy(rootIeee, kRootIeee, 8);
    core.Inquiry_Cb(0, rootIeee, 0x0000, 1, 0, children);
    unsigned char childIeee[8];
    testNodeIeee(0x0B01, childIeee);
    core.Inquiry_Cb(0, childIeee, 0x0B01, 0, 0, nullptr);

    auto n = noticesSeen();
    ASSERT_EQ(n.size(), 2u);
    EXPECT_EQ(n[0].nwk, 0x0000);
    EXPECT_EQ(n[0].state, Running);
    EXPECT_EQ(n[1].nwk, 0x0B01);
    EXPECT_EQ(n[1].state, End);  // the last answer ends the walk
    EXPECT_TRUE(n[1].asynch);
}

TEST_F(DiscoveryCoreTest, ATimeOutRunsOnTheInjectedClock) {
    DiscoveryCore::ProcPath path = procPath(3);
    // Ten minutes: only the clock the test moves can end it within the wait below.
    ASSERT_EQ(core.startInquiry(600000, &path), AGENT_SUCCESS);
    clock.advance(std::chrono::seconds(601));
    ASSERT_TRUE(waitFor([&] {
        auto n = noticesSeen();
        return !n.empty() && n.back().error == TIMER_EXPIRED;
    }));
    auto n = noticesSeen();
    EXPECT_EQ(n.size(), 1u);
    EXPECT_EQ(n[0].nwk, -1);
    EXPECT_EQ(n[0].result, 1);
    // The walk ended: the next one starts.
    EXPECT_EQ(core.startInquiry(0, &path), AGENT_SUCCESS);
}

TEST_F(DiscoveryCoreTest, AnLqiDiscoveryLearnsTheNeighboursOfTheAnswersItWaitsFor) {
    DiscoveryCore::ProcPath path = procPath(4);
    ASSERT_EQ(core.MgmtLQI_Req(0, &path), AGENT_SUCCESS);
    EXPECT_EQ(responses.at(0).state, Running);
    ZB_NEIGHBOR_TABLE_LIST nb{};
    unsigned char ieee[8];
    testNodeIeee(0x0C01, ieee);
    std::memcpy(nb.ExtendedAddress, ieee, 8);
    nb.NetworkAddress = 0x0C01;
    nb.devTypeRxOnRelation = 0x04 | 0x01;  // a router, receiver on
    unsigned char from[2] = {0x00, 0x00};
    core.Mgmt_LQI_Cb(2, from, 0, 1, 0, 1, &nb);

    Node* learnt = db()->findNodeByNwkAddr(0x0C01);
    ASSERT_NE(learnt, nullptr);
    EXPECT_EQ(std::memcmp(learnt->get_ieee_addr(), ieee, 8), 0);
    EXPECT_TRUE(learnt->node_desc.receiveronwhenidle);
    auto n = noticesSeen();
    ASSERT_EQ(n.size(), 1u);  // the end of the discovery
    EXPECT_EQ(n[0].state, End);
    EXPECT_EQ(n[0].error, AGENT_SUCCESS);
    // A second answer of the root is no longer one the discovery waits for.
    core.Mgmt_LQI_Cb(2, from, 0, 1, 0, 1, &nb);
    EXPECT_EQ(noticesSeen().size(), 1u);
}

// The keep-alive task's dead nodes go to the freshness listener, its sleepy nodes heard again to
// the announcement listener.
TEST_F(DiscoveryCoreTest, TheKeepAliveTaskTellsTheFreshnessAndAnnouncementListeners) {
    DiscoveryCore::ProcPath listener = procPath(-1, false);
    ASSERT_EQ(core.startFreshnessMode(&listener), AGENT_SUCCESS);
    ASSERT_EQ(core.startAnnouncementsMode(&listener), AGENT_SUCCESS);
    unsigned char ieee[8];
    testNodeIeee(0x0D01, ieee);
    Node* node = core.Announce_Cb(0x0D01, ieee, 8);
    ASSERT_NE(node, nullptr);
    const size_t announced = noticesSeen().size();
    node->setKANodeTimer(KA_UNKNOWN_TO_NETWORK);
    core.keepAlive().keepAliveAlgorithm(node);
    core.keepAlive().keepAliveAlgorithm(addTestNode(db(), 0x0D02, false, false, 5));
    auto n = noticesSeen();
    ASSERT_EQ(n.size(), announced + 2);
    EXPECT_EQ(n[announced].nwk, 0x0D01);
    EXPECT_EQ(n[announced].error, AGENT_SUCCESS);
    EXPECT_FALSE(node->getIsActive());
    EXPECT_EQ(n[announced + 1].nwk, 0x0D02);
    // The configuration reached the task too.
    EXPECT_EQ(core.keepAlive().getKAthreshold(), 3);
}

// A node learnt without its IEEE address gets it from an address confirm through the database:
// it is found by it and translated, it stays one entry, and the change is told.
TEST_F(DiscoveryCoreTest, APlaceholderLearnsItsIeeeAddressThroughTheDatabase) {
    Node* placeholder = new Node(0x0E01);
    ASSERT_EQ(db()->addNeighbor(db()->getRoot(), placeholder), 0);
    std::vector<std::pair<unsigned short, unsigned>> told;
    db()->setChangeCallback(
        [&](unsigned short nwk, unsigned what) { told.emplace_back(nwk, what); });
    unsigned char ieee[8];
    testNodeIeee(0x0E01, ieee);
    core.IeeeAddrConfirm_Cb(0, ieee, 0x0E01, 0, 0, nullptr);

    EXPECT_EQ(db()->findNodeByIEEEAddr(ieee), placeholder);
    EXPECT_EQ(db()->translateAddress(ieee), 0x0E01);
    EXPECT_EQ(db()->getDBNodesSize(), 2);
    EXPECT_EQ(told, (std::vector<std::pair<unsigned short, unsigned>>{{0x0E01, NODE_IEEE_ADDR}}));
    db()->setChangeCallback(nullptr);
}
