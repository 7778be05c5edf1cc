#include <algorithm>
#include <cstring>
#include <set>

#include "AdapterFixture.h"
#include "CLocalNode.h"
#include "support/AgentHandler.h"

using DA = DiscoveryAgent<AgentHandler>;
using MA = ManagementAgent<AgentHandler>;
using std::chrono::milliseconds;
using std::chrono::seconds;

namespace {
const char* kDemo = ORQ_DEMO_NETWORK;
const char* kAgents = ORQ_AGENTS_TEST_NETWORK;

// The test networks' IEEE addresses are 00124B0000000000 plus the short address.
std::array<uint8_t, 8> ieeeOf(uint16_t nwk) {
    return bigEndian(0x00124B0000000000ULL + nwk);
}
}  // namespace

// The discovery and management agents, as the broker uses them, on a local node linked to
// the emulator's module, with the network started.
class AgentLinkTest : public LinkedNodeTest<AgentHandler> {
  protected:
    void start(const char* network, const std::string& extraMain = "") {
        link(network, baseConfig(extraMain));
        da = std::make_unique<DA>(zb.get(), config->get());
        da->init();
        da->initDAListeners();
        ma = std::make_unique<MA>(zb.get(), config->get());
        ma->init();
        node->setAgents(da.get(), ma.get());
        node->startGatewayDevice(0, nullptr, nullptr);
        ASSERT_TRUE(waitFor([&] { return zb->getGWStatus() == GW_RUNNING; }));
    }
    void dropAgents() override {
        da.reset();
        ma.reset();
    }

    void announcementMode() {
        DA::StartAnnouncementsModeCtxt ctx(-1, &h, nullptr, &AgentHandler::announce_NtfCb);
        ASSERT_EQ(da->startAnnouncementsMode(&ctx), AGENT_SUCCESS);
    }
    // Waits for the last notification of a procedure (state End or Canceled).
    bool ended(const char* op, seconds deadline = seconds(60)) {
        return waitFor(
            [&] {
                auto n = h.named(op);
                return !n.empty() && n.back().state != Running;
            },
            deadline);
    }
    // Requests of one kind the gateway sent to `nwk` (their first two payload bytes).
    std::vector<zbsim::Packet> sentTo(uint8_t group, uint8_t id, uint16_t nwk) {
        std::vector<zbsim::Packet> out;
        for (const auto& p : peer.sent()) {
            if (p.group == group && p.id == id && p.payload.size() >= 2 &&
                (p.payload[0] | (p.payload[1] << 8)) == nwk) {
                out.push_back(p);
            }
        }
        return out;
    }
    // The APS data requests to `nwk` (mode byte first, then the address).
    std::vector<std::vector<uint8_t>> dataRequestsTo(uint16_t nwk) {
        std::vector<std::vector<uint8_t>> out;
        for (const auto& p : peer.sent()) {
            if (p.group == 0x9C && p.id == 0x00 && p.payload.size() >= 18 &&
                (p.payload[1] | (p.payload[2] << 8)) == nwk) {
                out.push_back(p.payload);
            }
        }
        return out;
    }
    size_t pingsTo(uint16_t nwk) { return sentTo(0xA2, 0x31, nwk).size(); }
    Node* find(uint16_t nwk) { return zb->getDb()->findNodeByNwkAddr(nwk); }
    std::set<int> nodesInDb() {
        std::lock_guard<std::recursive_mutex> lock(zb->getDb()->mutex());
        std::set<int> out;
        for (auto& kv : zb->getDb()->getNodeDict()) {
            out.insert(kv.first);
        }
        return out;
    }
    bool hasIeee(uint16_t nwk, uint16_t ieeeNwk) {
        std::lock_guard<std::recursive_mutex> lock(zb->getDb()->mutex());
        Node* n = find(nwk);
        return n != nullptr && std::memcmp(n->get_ieee_addr(), ieeeOf(ieeeNwk).data(), 8) == 0;
    }
    long stampOf(uint16_t nwk) {
        std::lock_guard<std::recursive_mutex> lock(zb->getDb()->mutex());
        Node* n = find(nwk);
        return n != nullptr ? n->getKANodeTimer() : -100;
    }
    std::unique_ptr<DA> da;
    std::unique_ptr<MA> ma;
};

TEST_F(AgentLinkTest, InquiryFindsEveryNodeOnceAndAnnouncementsStayPromptDuringTheWalk) {
    start(kDemo);
    announcementMode();
    DA::InquiryCtxt ctx(5, &h, &AgentHandler::proc_RspCb, &AgentHandler::inquiry_NtfCb);
    ASSERT_EQ(da->startInquiry(60000, &ctx), AGENT_SUCCESS);

    // router1 has answered; the requests to its children are paced 800 ms apart from now
    // on, and an announcement must not wait for them.
    ASSERT_TRUE(waitFor([&] { return h.has("inquiry_NtfCb", 0x1001); }));
    milliseconds fastest(100000);
    for (int i = 0; i < 3; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        size_t before = h.count("announce_NtfCb");
        ASSERT_EQ(peer.control("announce router2").rfind("ok", 0), 0u);
        ASSERT_TRUE(waitFor([&] {
            auto a = h.named("announce_NtfCb");
            return a.size() > before &&
                   std::any_of(a.begin() + static_cast<long>(before), a.end(),
                               [](const AgentHandler::Call& c) { return c.nwk == 0x2001; });
        }));
        auto took =
            std::chrono::duration_cast<milliseconds>(h.named("announce_NtfCb").back().at - t0);
        EXPECT_LT(took, milliseconds(800));  // never behind a pause
        fastest = std::min(fastest, took);
    }
    EXPECT_LT(fastest, milliseconds(100));

    ASSERT_TRUE(ended("inquiry_NtfCb"));
    auto rsp = h.named("proc_RspCb");
    ASSERT_EQ(rsp.size(), 1u);
    EXPECT_EQ(rsp[0].session, 5);
    EXPECT_EQ(rsp[0].state, Running);
    auto ntf = h.named("inquiry_NtfCb");
    std::multiset<int> answered;
    for (size_t i = 0; i < ntf.size(); ++i) {
        answered.insert(ntf[i].nwk);
        EXPECT_EQ(ntf[i].error, AGENT_SUCCESS);
        EXPECT_EQ(ntf[i].state, i + 1 == ntf.size() ? End : Running);
        EXPECT_TRUE(ntf[i].asynch);
    }
    const std::set<int> demo = {0x0000, 0x1001, 0x1101, 0x1102, 0x2001, 0x2101};
    EXPECT_EQ(answered, std::multiset<int>(demo.begin(), demo.end()));
    EXPECT_EQ(ntf.back().result, 0);
    EXPECT_EQ(nodesInDb(), demo);
    for (int nwk : demo) {
        EXPECT_TRUE(hasIeee(static_cast<uint16_t>(nwk), nwk == 0 ? 1 : static_cast<uint16_t>(nwk)))
            << std::hex << nwk;
    }
    EXPECT_EQ(peer.countSent(0xA2, 0x01), demo.size());
}

TEST_F(AgentLinkTest, InquiryPastADeadRouterEndsByItsTimeOutAndCancelsCleanly) {
    start(kDemo);
    ASSERT_EQ(peer.control("kill router1"), "ok");
    DA::InquiryCtxt ctx(-1, &h, &AgentHandler::proc_RspCb, &AgentHandler::inquiry_NtfCb);
    ASSERT_EQ(da->startInquiry(3500, &ctx), AGENT_SUCCESS);
    ASSERT_TRUE(ended("inquiry_NtfCb"));
    auto last = h.named("inquiry_NtfCb").back();
    EXPECT_EQ(last.error, TIMER_EXPIRED);
    EXPECT_EQ(last.state, Canceled);
    EXPECT_EQ(last.result, 1);
    EXPECT_TRUE(h.has("inquiry_NtfCb", 0x2101));
    // router1 never answered: it and what lies behind it are not in the database.
    EXPECT_EQ(nodesInDb(), (std::set<int>{0x0000, 0x2001, 0x2101}));
    EXPECT_EQ(zb->getFeatureControl()->getLockedFeatures(), 0UL);

    DA::CancelInquiryCtxt cancel(9, &h, &AgentHandler::proc_RspCb, nullptr);
    EXPECT_EQ(da->cancelInquiry(&cancel), INQUIRY_NOT_RUNNING);
    EXPECT_EQ(h.named("proc_RspCb").back().result, 1);
    ASSERT_EQ(da->startInquiry(0, &ctx), AGENT_SUCCESS);
    EXPECT_EQ(da->cancelInquiry(&cancel), AGENT_SUCCESS);
    auto c = h.named("proc_RspCb").back();
    EXPECT_EQ(c.session, 9);
    EXPECT_EQ(c.state, End);
    EXPECT_EQ(c.result, 0);
    EXPECT_EQ(zb->getFeatureControl()->getLockedFeatures(), 0UL);
}

TEST_F(AgentLinkTest, AnInquiryRefusesConflictingProceduresAndAcceptsANodeDescriptor) {
    start(kAgents);
    DA::InquiryCtxt ctx(-1, &h, &AgentHandler::proc_RspCb, &AgentHandler::inquiry_NtfCb);
    ASSERT_EQ(da->startInquiry(0, &ctx), AGENT_SUCCESS);
    DA::MgmtLQICtxt lqi(21, &h, &AgentHandler::proc_RspCb, &AgentHandler::lqi_NtfCb);
    DA::SuperDiscoveryCtxt super(22, &h, &AgentHandler::db_RspCb, nullptr);
    EXPECT_EQ(da->MgmtLQI_Req(0, &lqi), AGENT_BUSY);
    EXPECT_EQ(da->superDiscovery(&super), AGENT_BUSY);
    EXPECT_EQ(da->startInquiry(0, &ctx), AGENT_BUSY);
    DA::NodeDescriptorCtxt nd(23, &h, &AgentHandler::nodeDesc_RspCb, nullptr);
    ASSERT_TRUE(waitFor([&] { return find(0x0B01) != nullptr; }));
    EXPECT_EQ(da->getNodeDescriptor(5000, 0x0B01, &nd), AGENT_SUCCESS);
    ASSERT_TRUE(waitFor([&] { return h.count("nodeDesc_RspCb") == 1; }));
    EXPECT_EQ(h.named("nodeDesc_RspCb")[0].error, AGENT_SUCCESS);
    // plug is listed by the module and by routerb: found once, and the result says so.
    ASSERT_TRUE(ended("inquiry_NtfCb"));
    auto ntf = h.named("inquiry_NtfCb");
    std::multiset<int> answered;
    for (const auto& n : ntf) {
        answered.insert(n.nwk);
    }
    const std::set<int> all = {0x0000, 0x0A01, 0x0A11, 0x0B01, 0x0C01, 0x0D01};
    EXPECT_EQ(answered, std::multiset<int>(all.begin(), all.end()));
    EXPECT_EQ(ntf.back().state, End);
    EXPECT_EQ(ntf.back().result, 1);
    EXPECT_EQ(sentTo(0xA2, 0x01, 0x0D01).size(), 1u);
    EXPECT_EQ(nodesInDb(), all);
}

TEST_F(AgentLinkTest, LqiDiscoveryPagesThroughTheRootsNeighbours) {
    start(kAgents);
    announcementMode();
    ASSERT_EQ(peer.control("refuse routerb lqi"), "ok");
    DA::MgmtLQICtxt ctx(3, &h, &AgentHandler::proc_RspCb, &AgentHandler::lqi_NtfCb);
    ASSERT_EQ(da->MgmtLQI_Req(20000, &ctx), AGENT_SUCCESS);
    // While the discovery waits 800 ms to ask for the root's second page, routerb (learnt
    // from the first) refuses a neighbour-table request with NOT_SUPPORTED: reported, and
    // the walk goes on.
    ASSERT_TRUE(waitFor([&] { return find(0x0B01) != nullptr; }));
    zb->ZB_MGMT_LQI_request(0x0B01, 0);
    ASSERT_TRUE(ended("lqi_NtfCb"));
    auto ntf = h.named("lqi_NtfCb");
    ASSERT_EQ(ntf.size(), 2u);
    EXPECT_EQ(ntf[0].error, INQUIRY_ERROR);
    EXPECT_EQ(ntf[0].state, Running);
    EXPECT_EQ(ntf[1].error, AGENT_SUCCESS);
    EXPECT_EQ(ntf[1].state, End);
    EXPECT_EQ(ntf[1].result, 1);
    auto asked = sentTo(0xA2, 0x31, 0x0000);
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(asked[0].payload.at(2), 0);
    EXPECT_EQ(asked[1].payload.at(2), 3);  // the fourth neighbour, in a second page
    EXPECT_EQ(nodesInDb(), (std::set<int>{0x0000, 0x0A01, 0x0B01, 0x0C01, 0x0D01}));
    for (uint16_t nwk : {0x0A01, 0x0B01, 0x0C01, 0x0D01}) {
        EXPECT_TRUE(hasIeee(nwk, nwk)) << std::hex << nwk;
    }
    std::lock_guard<std::recursive_mutex> lock(zb->getDb()->mutex());
    EXPECT_FALSE(find(0x0C01)->node_desc.receiveronwhenidle);
    EXPECT_TRUE(find(0x0D01)->node_desc.receiveronwhenidle);
    // The sleepy end device is announced at once; the others when they answer themselves.
    EXPECT_TRUE(h.has("announce_NtfCb", 0x0C01));
    EXPECT_FALSE(h.has("announce_NtfCb", 0x0D01));
    int size = 0;
    zb->getDb()->getRoot()->getLQIInformationTable(&size);
    EXPECT_EQ(size, 4);
}

TEST_F(AgentLinkTest, CombinedDiscoveryAnswersOnceAndDescriptorsOfARouterAreDecoded) {
    start(ORQ_NODE_TEST_NETWORK);
    DA::SuperDiscoveryCtxt ctx(4, &h, &AgentHandler::db_RspCb, nullptr);
    ASSERT_EQ(da->superDiscovery(&ctx), AGENT_SUCCESS);
    ASSERT_TRUE(waitFor([&] { return h.count("db_RspCb") == 1; }));
    auto r = h.named("db_RspCb")[0];
    EXPECT_EQ(r.session, 4);
    EXPECT_EQ(r.state, End);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.value, 2);
    {
        std::lock_guard<std::recursive_mutex> lock(zb->getDb()->mutex());
        Node* router = find(0x0B01);
        ASSERT_NE(router, nullptr);
        EXPECT_TRUE(router->node_desc.filled);
        EXPECT_EQ(router->node_desc.logicaltype, ROUTER);
        EXPECT_TRUE(router->power_desc.filled);
        EXPECT_FALSE(router->power_desc.avaiablepowersource[2]);  // mains, no battery
        EXPECT_TRUE(find(0x0000)->node_desc.filled);
    }
    EXPECT_EQ(peer.countSent(0xA2, 0x02), 2u);
    EXPECT_EQ(peer.countSent(0xA2, 0x03), 2u);

    DA::NodeDescriptorCtxt nd(6, &h, &AgentHandler::nodeDesc_RspCb, nullptr);
    DA::PowerDescriptorCtxt pd(7, &h, &AgentHandler::powerDesc_RspCb, nullptr);
    ASSERT_EQ(da->getNodeDescriptor(4000, 0x0B01, &nd), AGENT_SUCCESS);
    ASSERT_TRUE(waitFor([&] { return h.count("nodeDesc_RspCb") == 1; }));
    ASSERT_EQ(da->getPowerDescriptor(0x0B01, &pd), AGENT_SUCCESS);
    ASSERT_TRUE(waitFor([&] { return h.count("powerDesc_RspCb") == 1; }));
    auto n = h.named("nodeDesc_RspCb")[0];
    EXPECT_EQ(n.nwk, 0x0B01);
    EXPECT_EQ(n.session, 6);
    EXPECT_EQ(n.error, AGENT_SUCCESS);
    ASSERT_TRUE(n.hasDesc);
    EXPECT_EQ(n.nodeDesc.logicaltype, ROUTER);
    EXPECT_EQ(n.nodeDesc.frequencyband, F2400_2483D5);
    EXPECT_EQ(n.nodeDesc.manufacturecode, 0x1008);
    EXPECT_TRUE(n.nodeDesc.receiveronwhenidle);
    EXPECT_TRUE(n.nodeDesc.powersource);
    auto p = h.named("powerDesc_RspCb")[0];
    EXPECT_EQ(p.session, 7);
    EXPECT_EQ(p.state, End);
    ASSERT_TRUE(p.hasDesc);
    EXPECT_EQ(p.powerDesc.currentpowersourcelevel, P100);
    EXPECT_EQ(p.powerDesc.currentpowermode, SYNCHRONIZED_WITH_RECEIVERONWHENIDLE);
    EXPECT_TRUE(p.powerDesc.avaiablepowersource[0]);
    EXPECT_TRUE(p.powerDesc.currentpowersource[0]);
}

TEST_F(AgentLinkTest, KeepAlivePingsSilentNodesReportsTheDeadAndNeverPingsSleepyOnes) {
    start(kAgents, "keepAliveThreshold = 6\nkeepAliveNumberOfAttempt = 3\nforcePingTimeout = 0\n");
    announcementMode();
    DA::StartFreshnessModeCtxt fresh(-1, &h, nullptr, &AgentHandler::dead_NtfCb);
    ASSERT_EQ(da->startFreshnessMode(&fresh), AGENT_SUCCESS);
    DA::MgmtLQICtxt lqi(-1, &h, nullptr, &AgentHandler::lqi_NtfCb);
    ASSERT_EQ(da->MgmtLQI_Req(0, &lqi), AGENT_SUCCESS);
    ASSERT_TRUE(ended("lqi_NtfCb"));
    DA::KeepAliveTimings t;
    t.poll = milliseconds(50);
    t.startDelay = milliseconds(50);
    t.visit = milliseconds(100);
    da->setKeepAliveTimings(t);
    da->runKeepAliveAlgorithm();
    // The node behind routera is learnt from routera's own answer to its first ping.
    ASSERT_TRUE(waitFor([&] { return h.has("announce_NtfCb", 0x0A11); }, seconds(60)));

    {
        SCOPED_TRACE("a silenced node is pinged and reported dead");
        ASSERT_EQ(peer.control("silence routerb"), "ok");
        const size_t before = pingsTo(0x0B01);
        ASSERT_TRUE(waitFor([&] { return h.has("dead_NtfCb", 0x0B01); }, seconds(60)));
        const size_t pings = pingsTo(0x0B01) - before;
        EXPECT_GE(pings, 2u);  // a ping sent just before the silence may have been its first
        EXPECT_LE(pings, 3u);
    }
    {
        SCOPED_TRACE("a node that answers again leaves the dead list");
        ASSERT_EQ(peer.control("silence routera"), "ok");
        ASSERT_TRUE(waitFor([&] { return da->isInDeadingNodeList(0x0A01); }, seconds(60)));
        ASSERT_EQ(peer.control("revive routera"), "ok");
        ASSERT_TRUE(waitFor([&] { return !da->isInDeadingNodeList(0x0A01); }, seconds(60)));
        EXPECT_FALSE(h.has("dead_NtfCb", 0x0A01));
    }
    {
        SCOPED_TRACE("a node the network no longer knows is reported dead");
        // The network answers plug's address request with device-not-found.
        peer.onModulePacket([](zbsim::Packet& p) {
            if (p.group == 0xA0 && p.id == 0x81 && p.payload.size() >= 11 &&
                (p.payload[9] | (p.payload[10] << 8)) == 0x0D01) {
                p.payload.resize(11);
                std::fill(p.payload.begin() + 1, p.payload.begin() + 9, 0);
                p.payload[0] = 0x81;
            }
        });
        zb->ZDO_IEEE_ADDR_request(0x0D01, 1, 0);
        ASSERT_TRUE(waitFor([&] { return stampOf(0x0D01) == KA_UNKNOWN_TO_NETWORK; }));
        ASSERT_TRUE(waitFor([&] { return h.has("dead_NtfCb", 0x0D01); }, seconds(60)));
    }
    {
        SCOPED_TRACE("a dead router takes the nodes behind it along");
        ASSERT_EQ(peer.control("kill routera"), "ok");
        ASSERT_TRUE(waitFor([&] { return h.has("dead_NtfCb", 0x0A01); }, seconds(60)));
        ASSERT_TRUE(waitFor([&] { return h.has("dead_NtfCb", 0x0A11); }, seconds(60)));
    }
    EXPECT_EQ(pingsTo(0x0C01), 0u);
    EXPECT_FALSE(h.has("dead_NtfCb", 0x0C01));
    EXPECT_FALSE(h.has("dead_NtfCb", 0x0000));
}

TEST_F(AgentLinkTest, PermitJoinOpensTheJoinWindowAndTheLastRequestGetsTheAnswer) {
    start(kAgents);
    announcementMode();
    MA::permitJoinCtxt ctx(1, &h, &AgentHandler::permitJoin_RspCb, &AgentHandler::permitJoin_NtfCb);
    ASSERT_EQ(ma->permitJoin(0x0000, 60, true, 5000, &ctx), AGENT_SUCCESS);
    ASSERT_TRUE(waitFor([&] { return h.count("permitJoin_NtfCb") == 1; }));
    auto accepted = h.named("permitJoin_RspCb");
    ASSERT_EQ(accepted.size(), 1u);
    EXPECT_EQ(accepted[0].state, Running);
    EXPECT_TRUE(accepted[0].asynch);
    auto answer = h.named("permitJoin_NtfCb")[0];
    EXPECT_EQ(answer.value, 0);
    EXPECT_EQ(answer.error, AGENT_SUCCESS);
    auto frame = sentTo(0xA2, 0x36, 0x0000);
    ASSERT_EQ(frame.size(), 1u);
    EXPECT_EQ(frame[0].payload, (std::vector<uint8_t>{0x00, 0x00, 60, 1}));
    EXPECT_NE(peer.control("status").find("permit=1"), std::string::npos);
    EXPECT_EQ(peer.control("join newcomer"), "ok");
    ASSERT_TRUE(waitFor([&] { return h.has("announce_NtfCb", 0x0E01); }));
    EXPECT_TRUE(hasIeee(0x0E01, 0x0E01));
    // It rejoins under another address: the same entry moves, nothing is duplicated.
    const size_t count = nodesInDb().size();
    ASSERT_EQ(peer.control("rejoin newcomer 0x0E02").rfind("ok", 0), 0u);
    ASSERT_TRUE(waitFor([&] { return h.has("announce_NtfCb", 0x0E02); }));
    EXPECT_TRUE(hasIeee(0x0E02, 0x0E01));
    EXPECT_EQ(find(0x0E01), nullptr);
    EXPECT_EQ(nodesInDb().size(), count);

    // Two in a row: each is answered once. The first is answered when the second replaces it
    // (or by its own response, when that came first); the last answer from the line goes to
    // the second request's reply path.
    MA::permitJoinCtxt first(11, &h, &AgentHandler::permitJoin_RspCb, nullptr);
    MA::permitJoinCtxt second(12, &h, &AgentHandler::permitJoin_RspCb, nullptr);
    ASSERT_EQ(ma->permitJoin(0x0000, 0, false, 5000, &first), AGENT_SUCCESS);
    ASSERT_EQ(ma->permitJoin(0x0000, 0, false, 5000, &second), AGENT_SUCCESS);
    // A later answer on the same line marks both permit-join answers as handled.
    DA::NodeDescriptorCtxt nd(13, &h, &AgentHandler::nodeDesc_RspCb, nullptr);
    ASSERT_EQ(da->getNodeDescriptor(4000, 0x0000, &nd), AGENT_SUCCESS);
    ASSERT_TRUE(waitFor([&] { return h.count("nodeDesc_RspCb") == 1; }));
    auto rsp = h.named("permitJoin_RspCb");
    ASSERT_EQ(rsp.size(), 3u);
    EXPECT_EQ(rsp[1].session, 11);
    EXPECT_TRUE(rsp[1].error == AGENT_BUSY || rsp[1].error == AGENT_SUCCESS) << rsp[1].error;
    EXPECT_EQ(rsp[2].session, 12);
    EXPECT_EQ(rsp[2].value, 0);
    EXPECT_EQ(rsp[2].error, AGENT_SUCCESS);
    EXPECT_EQ(peer.control("status").find("permit=1"), std::string::npos);
}

TEST_F(AgentLinkTest, LeaveMakesTheNodeLeaveWithTheOptionsOfItsFlags) {
    start(kAgents);
    announcementMode();
    ASSERT_EQ(peer.control("announce routera"), "ok");
    ASSERT_TRUE(waitFor([&] { return find(0x0A01) != nullptr; }));
    MA::leaveCommandCtxt ctx(2, &h, &AgentHandler::leave_RspCb, &AgentHandler::leave_NtfCb);
    ASSERT_EQ(ma->leaveRequest(0x0A01, true, false, &ctx), AGENT_SUCCESS);
    auto accepted = h.named("leave_RspCb");
    ASSERT_EQ(accepted.size(), 1u);
    EXPECT_EQ(accepted[0].session, 2);
    EXPECT_EQ(accepted[0].state, Running);
    ASSERT_TRUE(waitFor([&] { return h.count("leave_NtfCb") == 1; }));
    EXPECT_EQ(h.named("leave_NtfCb")[0].value, 0);
    std::string list = peer.control("list");
    EXPECT_NE(list.find("routera:0a01:router:absent"), std::string::npos) << list;
    EXPECT_NE(list.find("leaf:0a11:router:absent"), std::string::npos) << list;

    ASSERT_EQ(ma->leaveRequest(0x7777, false, true, &ctx), AGENT_SUCCESS);
    ASSERT_TRUE(waitFor([&] { return dataRequestsTo(0x7777).size() == 1; }));
    auto known = dataRequestsTo(0x0A01).at(0);
    auto unknown = dataRequestsTo(0x7777).at(0);
    auto asdu = [](const std::vector<uint8_t>& v) {
        return std::vector<uint8_t>(v.begin() + 16, v.end() - 2);
    };
    auto ieee = ieeeOf(0x0A01);
    EXPECT_EQ(asdu(known), (std::vector<uint8_t>{0, ieee[7], ieee[6], ieee[5], ieee[4], ieee[3],
                                                 ieee[2], ieee[1], ieee[0], 0x40}));
    EXPECT_EQ(asdu(unknown), (std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 0, 0, 0, 0x80}));
}
