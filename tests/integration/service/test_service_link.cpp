#include <algorithm>
#include <chrono>
#include <cstring>

#include "AdapterFixture.h"
#include "support/ServiceRecorder.h"

using SA = ServiceRecorder::SA;
using LN = LocalNode<ServiceRecorder>;

namespace {
const uint16_t kLight = 0x1101;
const uint8_t kLightIeee[8] = {0x00, 0x12, 0x4B, 0x00, 0x00, 0x00, 0x11, 0x01};
const uint8_t kModuleIeee[8] = {0x00, 0x12, 0x4B, 0x00, 0x00, 0x00, 0x00, 0x01};

int64_t steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
}  // namespace

// The gateway as the process builds it (local node, service agent with its default end
// point 8) started on the demo network of the emulator's module.
class ServiceLinkTest : public ::testing::Test {
  protected:
    void start(const std::string& extraMain = "") {
        std::string err;
        ASSERT_TRUE(peer.open(ORQ_DEMO_NETWORK, err)) << err;
        config = std::make_unique<TestConfig>(baseConfig(extraMain));
        ASSERT_TRUE(config->loaded);
        zb = std::make_unique<OrqZbIf>(config->get());
        node = std::make_unique<LN>(zb.get(), config->get());
        node->init(peer.deviceUrl().c_str());
        agent = std::make_unique<SA>(zb.get(), config->get(), &clock);
        agent->init();
        ASSERT_EQ(agent->addDefaultService(nullptr), AGENT_SUCCESS);
        node->startGatewayDevice(4294967295UL, nullptr, nullptr);
        ASSERT_TRUE(waitFor([&] { return zb->getGWStatus() == GW_RUNNING; }));
    }
    void TearDown() override {
        if (node) {
            node->stop();
        }
        agent.reset();
        node.reset();
        zb.reset();
        peer.stop();
    }
    // The node announces itself; the adapter puts it in the database.
    void announce(const char* name, uint16_t nwk) {
        peer.withModule([&](zbsim::Module& m, zbsim::Network& n) {
            std::string why;
            ASSERT_TRUE(m.announceNode(*n.findRef(name), steadyMs(), why)) << why;
        });
        ASSERT_TRUE(waitFor([&] {
            std::lock_guard<std::recursive_mutex> lock(zb->getDb()->mutex());
            return zb->getDb()->findNodeByNwkAddr(nwk) != nullptr;
        }));
    }
    void sendFrom(const char* name, uint8_t dstEp) {
        peer.withModule([&](zbsim::Module& m, zbsim::Network& n) {
            std::string why;
            zbsim::Module::Addressing how;
            ASSERT_TRUE(m.sendFromNode(*n.findRef(name), 1, 0x0006, {0x18, 0x07, 0x0A}, dstEp,
                                       0xFFFF, how, steadyMs(), why))
                << why;
        });
    }
    void connect(int ep) {
        auto ctx = rec.connection();
        ASSERT_EQ(agent->createCallback(ep, &ctx), AGENT_SUCCESS);
    }
    bool lightIsOn() {
        bool on = false;
        peer.withModule([&](zbsim::Module&, zbsim::Network& n) { on = n.find(kLight)->onOff; });
        return on;
    }
    std::vector<zbsim::Binding> lightBindings() {
        std::vector<zbsim::Binding> b;
        peer.withModule([&](zbsim::Module&, zbsim::Network& n) { b = n.find(kLight)->bindings; });
        return b;
    }
    ZB_BIND_STRUCT lightToGateway(uint8_t srcEp, uint16_t cluster) {
        ZB_BIND_STRUCT b{};
        std::memcpy(b.src_addr, kLightIeee, 8);
        b.src_ep = srcEp;
        b.cluster_id = cluster;
        std::memcpy(b.dst_addr, kModuleIeee, 8);
        b.dst_ep = 8;
        return b;
    }

    ModulePeer peer;
    ManualTimerClock clock;
    std::unique_ptr<TestConfig> config;
    std::unique_ptr<OrqZbIf> zb;
    std::unique_ptr<LN> node;
    std::unique_ptr<SA> agent;
    ServiceRecorder rec;
};

TEST_F(ServiceLinkTest, ToggleReachesTheLightAndItsDefaultResponseIsCachedAndNotified) {
    start();
    announce("light", kLight);
    connect(8);
    Message msg;
    msg.setDstAddrMode(Message::ADDR_MODE_NWK);
    const uint8_t dst[2] = {0x11, 0x01};
    msg.setDstAddr(dst);
    msg.setDstEp(1);
    msg.setSrcEp(8);
    msg.setProfileId(0x0104);
    msg.setClusterId(0x0006);
    const uint8_t toggle[3] = {0x01, 0x2A, 0x02};
    msg.setPayload(toggle, 3);
    msg.setTxSettings(0x00);
    msg.setMaxHopsNumber(0xFF);
    unsigned char status = 0xEE;
    unsigned int txTime = 0;
    const bool wasOn = lightIsOn();
    ASSERT_EQ(agent->send(&msg, status, txTime), AGENT_SUCCESS);
    EXPECT_EQ(status, 0);
    EXPECT_NE(txTime, 0u);
    ASSERT_TRUE(waitFor([&] { return peer.countSent(0x9C, 0x00) == 1; }));
    auto sent = peer.sent();
    auto frame = std::find_if(sent.begin(), sent.end(),
                              [](const auto& p) { return p.group == 0x9C && p.id == 0x00; });
    EXPECT_EQ(frame->payload, (std::vector<uint8_t>{0x02, 0x01, 0x11, 0,    0,    0,    0,
                                                    0,    0,    0x01, 0x04, 0x01, 0x06, 0x00,
                                                    0x08, 0x00, 0x01, 0x2A, 0x02, 0x00, 0x00}));
    ASSERT_TRUE(waitFor([&] { return lightIsOn() != wasOn; }));
    ASSERT_TRUE(waitFor([&] { return rec.count("callback_NtfCb") == 1; }));
    auto n = rec.named("callback_NtfCb")[0];
    EXPECT_EQ(std::make_tuple(n.id, n.srcNwk, n.srcEp, n.cluster),
              std::make_tuple(8, 0x1101, 1, 6));
    EXPECT_EQ(n.payload, (std::vector<uint8_t>{0x18, 0x2A, 0x0B, 0x02, 0x00}));
    EXPECT_EQ(agent->cachedMessages(8), 1u);

    // A payload that one frame cannot carry is refused, nothing goes out.
    std::vector<uint8_t> big(kMaxAsduLength + 1, 0x55);
    msg.setPayload(big.data(), static_cast<uint16_t>(big.size()));
    EXPECT_EQ(agent->send(&msg, status, txTime), SENDING_MSG_ERROR);

    // Ten more unread messages push out the first; one to an end point the gateway did not
    // register never arrives.
    for (int i = 0; i < 10; ++i) {
        sendFrom("light", 8);
    }
    sendFrom("light", 9);
    sendFrom("light", 8);
    ASSERT_TRUE(waitFor([&] { return rec.count("callback_NtfCb") == 12; }));
    EXPECT_EQ(agent->cachedMessages(8), 10u);
    SA::LastRxMsgCtxt read(6, &rec, &ServiceRecorder::lastRxMsg_RspCb, nullptr);
    ASSERT_EQ(agent->getLastRxMsg(8, &read), AGENT_SUCCESS);
    EXPECT_EQ(rec.last("lastRxMsg_RspCb").msgId, rec.named("callback_NtfCb")[2].msgId);
}

// The last two fail on the node: an unbind of a binding it lacks, a bind from end point 0.
TEST_F(ServiceLinkTest, BindUnbindAndTheBindingTableFromAnIndex) {
    start();
    announce("light", kLight);
    SA::BindCtxt ctx(4, &rec, &ServiceRecorder::bind_RspCb, nullptr);
    const struct {
        bool bind;
        uint8_t srcEp;
        uint16_t cluster;
        AgentError answer;
        size_t bindings;
    } steps[] = {{true, 1, 0x0000, AGENT_SUCCESS, 1}, {true, 1, 0x0003, AGENT_SUCCESS, 2},
                 {true, 1, 0x0006, AGENT_SUCCESS, 3}, {true, 1, 0x0008, AGENT_SUCCESS, 4},
                 {true, 1, 0x0300, AGENT_SUCCESS, 5}, {false, 1, 0x0006, AGENT_SUCCESS, 4},
                 {false, 1, 0x0006, UNBIND_ERROR, 4}, {true, 0, 0x0006, BIND_ERROR, 4}};
    for (const auto& s : steps) {
        rec.clear();
        const ZB_BIND_STRUCT b = lightToGateway(s.srcEp, s.cluster);
        ASSERT_EQ(s.bind ? agent->bindRequest(5000, b, &ctx) : agent->unbindRequest(5000, b, &ctx),
                  AGENT_SUCCESS);
        ASSERT_TRUE(waitFor([&] { return rec.count("bind_RspCb") == 1; }));
        EXPECT_EQ(rec.last("bind_RspCb").error, s.answer) << s.cluster;
        EXPECT_EQ(lightBindings().size(), s.bindings) << s.cluster;
    }
    EXPECT_EQ(lightBindings()[2].cluster, 0x0008);
    EXPECT_EQ(lightBindings()[2].dstEp, 8);

    SA::NodeBindingCtxt table(4, &rec, &ServiceRecorder::nodeBinding_RspCb, nullptr);
    ASSERT_EQ(agent->getnodebindingRequest(0, kLight, 2, &table), AGENT_SUCCESS);
    ASSERT_TRUE(waitFor([&] { return rec.count("nodeBinding_RspCb") == 1; }));
    auto t = rec.named("nodeBinding_RspCb")[0];
    EXPECT_EQ(t.error, AGENT_SUCCESS);
    EXPECT_EQ(t.list, (std::vector<int>{4, 2, 2}));
    ASSERT_EQ(t.bindings.size(), 2u);
    EXPECT_EQ(t.bindings[0].cluster_id, 0x0008);
    EXPECT_EQ(t.bindings[1].cluster_id, 0x0300);
    EXPECT_EQ(t.bindings[1].dst_ep, 8);
    // A node that refuses Mgmt_Bind: its status is an error.
    peer.withModule([](zbsim::Module&, zbsim::Network& n) { n.find(kLight)->refuseBind = 0x84; });
    ASSERT_EQ(agent->getnodebindingRequest(0, kLight, 0, &table), AGENT_SUCCESS);
    ASSERT_TRUE(waitFor([&] { return rec.count("nodeBinding_RspCb") == 2; }));
    EXPECT_EQ(rec.last("nodeBinding_RspCb").error, GETNODEBINDING_ERROR);
    EXPECT_TRUE(rec.last("nodeBinding_RspCb").bindings.empty());
}

TEST_F(ServiceLinkTest, UnknownSendersArePingedOnlyWithAutoDiscovery) {
    start("autoDiscoveryUnknownNodes = 1\n");
    connect(8);
    const size_t before = peer.countSent(0xA2, 0x01);
    sendFrom("light", 8);  // unknown to the database: discarded, its address asked
    ASSERT_TRUE(waitFor([&] { return peer.countSent(0xA2, 0x01) == before + 1; }));
    // A device announcement is exempt.
    announce("sensor", 0x1102);
    ASSERT_TRUE(waitFor([&] { return agent->pacedIdle(); }));
    EXPECT_EQ(peer.countSent(0xA2, 0x01), before + 1);
    // A message to an unknown 16-bit destination is sent, and its address asked.
    Message msg;
    msg.setDstAddrMode(Message::ADDR_MODE_NWK);
    const uint8_t plug[2] = {0x21, 0x01};
    msg.setDstAddr(plug);
    unsigned char status = 0;
    unsigned int txTime = 0;
    ASSERT_EQ(agent->send(&msg, status, txTime), AGENT_SUCCESS);
    ASSERT_TRUE(waitFor([&] { return peer.countSent(0xA2, 0x01) == before + 2; }));
    EXPECT_EQ(peer.countSent(0x9C, 0x00), 1u);
    EXPECT_EQ(rec.count("callback_NtfCb"), 0u);
}

TEST_F(ServiceLinkTest, UnknownSendersAreDiscardedWithoutAutoDiscovery) {
    start();
    connect(8);
    const size_t before = peer.countSent(0xA2, 0x01);
    sendFrom("light", 8);
    announce("light", kLight);  // after the message: the link has handled it by now
    sendFrom("light", 8);
    ASSERT_TRUE(waitFor([&] { return rec.count("callback_NtfCb") == 1; }));
    EXPECT_EQ(peer.countSent(0xA2, 0x01), before);
}

TEST_F(ServiceLinkTest, EndPointsAndDescriptorsOfOneNodeAndOfAll) {
    start();
    announce("light", kLight);
    SA::ActiveEndpointsCtxt ep(3, &rec, &ServiceRecorder::activeEp_RspCb, nullptr);
    ASSERT_EQ(agent->getActiveEndPoints(5000, kLight, &ep), AGENT_SUCCESS);
    ASSERT_TRUE(waitFor([&] { return rec.count("activeEp_RspCb") == 1; }));
    auto a = rec.last("activeEp_RspCb");
    EXPECT_EQ(std::make_tuple(a.error, a.session, a.nodeAddr, a.list),
              std::make_tuple(AGENT_SUCCESS, 3, 0x1101, std::vector<int>{1}));

    SA::ServiceDescriptorCtxt sd(3, &rec, &ServiceRecorder::serviceDesc_RspCb,
                                 &ServiceRecorder::serviceDesc_NtfCb);
    ASSERT_EQ(agent->getServiceDescriptor(0, kLight, 1, &sd), AGENT_SUCCESS);
    ASSERT_TRUE(waitFor([&] { return rec.count("serviceDesc_NtfCb") == 1; }));
    EXPECT_EQ(rec.last("serviceDesc_NtfCb").id, 1);
    EXPECT_EQ(rec.last("serviceDesc_NtfCb").error, AGENT_SUCCESS);
    {
        std::lock_guard<std::recursive_mutex> lock(zb->getDb()->mutex());
        const SimpleDescriptor* d = zb->getDb()->findNodeByNwkAddr(kLight)->getSimpleDescr(1);
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(std::make_tuple(d->profile_id, d->device_id, d->device_ver),
                  std::make_tuple(0x0104, 0x0100, 1));
        EXPECT_EQ(d->input_cluster, (std::list<int>{0x0000, 0x0003, 0x0006}));
    }

    announce("plug", 0x2101);
    ASSERT_EQ(agent->activeEndPointsDiscovery(), 0);
    EXPECT_EQ(agent->getActiveEndPoints(0, kLight, &ep), AGENT_BUSY) << "the bulk excludes it";
    EXPECT_EQ(agent->serviceDescriptorsDiscovery(), -1);
    // Each ends once every node (the module included) has answered.
    auto ended = [&] {
        return (zb->getFeatureControl()->getLockedFeatures() & FEATURE_EP_DISCOVERY) == 0;
    };
    ASSERT_TRUE(waitFor(ended));
    ASSERT_EQ(agent->serviceDescriptorsDiscovery(), 0);
    ASSERT_TRUE(waitFor(ended));
    std::lock_guard<std::recursive_mutex> lock(zb->getDb()->mutex());
    Node* plug = zb->getDb()->findNodeByNwkAddr(0x2101);
    EXPECT_EQ(plug->endpoints, (std::list<int>{1, 2}));
    ASSERT_NE(plug->getSimpleDescr(2), nullptr);
    EXPECT_EQ(plug->getSimpleDescr(2)->input_cluster, (std::list<int>{0x0402}));
}
