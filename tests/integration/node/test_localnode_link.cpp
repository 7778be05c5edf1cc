#include <cstring>

#include "../../unit/node/RecordingHandler.h"
#include "AdapterFixture.h"

using LN = LocalNode<RecordingHandler>;
using zbsim::Packet;

namespace {
const uint64_t kModuleIeee = 0x00124B00000000A1ULL;
const char* kKeyTable =
    "[TCKeyTable]\nTCKeyTableSize = 3\n"
    "IEEEAddress00 = 0x00 0x12 0x4B 0x00 0x00 0x00 0x0B 0x01\n"
    "TCLinkKey00 = 0x01 0x01 0x01 0x01 0x01 0x01 0x01 0x01 0x01 0x01 0x01 0x01 0x01 0x01 0x01 "
    "0x01\n"
    "IEEEAddress01 = 0x00 0x12 0x4B 0x00 0x00 0x00 0x0B 0x02\n"
    "IEEEAddress02 = 0x00 0x12 0x4B 0x00 0x00 0x00 0x0B 0x03\n";
}  // namespace

// A local node, as the process builds it, on an adapter linked to the emulator's module.
class LocalNodeLinkTest : public ::testing::Test {
  protected:
    void init(const std::string& configText, int startMode = 0) {
        std::string err;
        ASSERT_TRUE(peer.open(ORQ_NODE_TEST_NETWORK, err)) << err;
        config = std::make_unique<TestConfig>(configText);
        ASSERT_TRUE(config->loaded);
        zb = std::make_unique<OrqZbIf>(config->get());
        node = std::make_unique<LN>(zb.get(), config->get());
        node->setExitHandler([this](int s) {
            std::lock_guard<std::mutex> lock(m);
            exits.push_back(s);
        });
        node->init(peer.deviceUrl().c_str());
        ASSERT_EQ(zb->getGWStatus(), GW_ZNP_INITIALIZED);
        zb->getDb()->setStartModeSetting(startMode);
        ZbNetDb::createDefaultSimpleDescr(8, &service);
        zb->getDb()->setServicesSD(&service);
        LN::CreateCallbackCtxt listener(-1, &handler, nullptr,
                                        &RecordingHandler::gwStatusChanged_gwDescriptor_NtfCb);
        node->createCallback(&listener, nullptr);
    }
    void TearDown() override {
        if (node) {
            node->stop();
            node.reset();
        }
        zb.reset();
        peer.stop();
    }
    bool reached(int state) {
        for (const auto& c : handler.named("gwStatusChanged_gwDescriptor_NtfCb")) {
            if (c.gwState == state) {
                return true;
            }
        }
        return false;
    }
    void expectRootIsTheModule() {
        Node* root = zb->getDb()->getRoot();
        ASSERT_NE(root, nullptr);
        uint16_t moduleNwk = 0xFFFF;
        uint64_t moduleIeee = 0;
        peer.withModule([&](zbsim::Module& mod, zbsim::Network& net) {
            moduleNwk = net.module().nwk;
            moduleIeee = mod.ieee();
        });
        EXPECT_EQ(root->get_nwk_addr(), moduleNwk);
        auto ieee = bigEndian(moduleIeee);
        EXPECT_EQ(std::memcmp(root->get_ieee_addr(), ieee.data(), 8), 0);
    }

    ModulePeer peer;
    std::unique_ptr<TestConfig> config;
    SimpleDescriptor service;
    RecordingHandler handler;
    std::mutex m;
    std::vector<int> exits;
    std::unique_ptr<OrqZbIf> zb;
    std::unique_ptr<LN> node;
};

TEST_F(LocalNodeLinkTest, StartsTheNetworkAsCoordinatorAndAnswersTheStart) {
    init(baseConfig());
    LN::StartGatewayDeviceCtxt ctx(-1, &handler, &RecordingHandler::startup_RspCb, nullptr);
    testing::internal::CaptureStdout();
    EXPECT_EQ(node->startGatewayDevice(4294967295UL, nullptr, &ctx), AGENT_SUCCESS);
    bool answered = waitFor([&] { return handler.count("startup_RspCb") == 1; });
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(answered);
    auto r = handler.named("startup_RspCb")[0];
    EXPECT_EQ(r.commandStatus, 0);
    EXPECT_EQ(r.session, -1);
    EXPECT_EQ(r.state, Running);
    EXPECT_EQ(r.error, AGENT_SUCCESS);
    EXPECT_EQ(zb->getGWStatus(), GW_RUNNING);
    EXPECT_EQ(node->getGwDescriptor()->getGwState(), GW_RUNNING);
    EXPECT_EQ(node->getGwDescriptor()->getGwStateDescription(), "GW successfully started");
    EXPECT_TRUE(reached(GW_STARTING));
    expectRootIsTheModule();
    EXPECT_NE(out.find("Device started (ORQ shortAddr = 0x0000 - ORQ IEEE address = "
                       "00:12:4b:00:00:00:00:a1 - Channel Mask = 20)"),
              std::string::npos);
    EXPECT_TRUE(exits.empty());
}

TEST_F(LocalNodeLinkTest, StartsWithSecurityLevelFiveAndAKeyTableOfThree) {
    init(baseConfig("", "SecurityLevel = 5\n", kKeyTable));
    LN::StartGatewayDeviceCtxt ctx(12, &handler, &RecordingHandler::startup_RspCb,
                                   &RecordingHandler::startup_NtfCb);
    EXPECT_EQ(node->startGatewayDevice(20000, nullptr, &ctx), AGENT_SUCCESS);
    ASSERT_TRUE(waitFor([&] { return handler.count("startup_NtfCb") == 1; }));
    EXPECT_EQ(handler.named("startup_RspCb").at(0).asynch, true);
    EXPECT_EQ(handler.named("startup_NtfCb")[0].error, AGENT_SUCCESS);
    expectRootIsTheModule();
    peer.withModule([](zbsim::Module& mod, zbsim::Network&) {
        EXPECT_EQ(mod.linkKeys().size(), 3u);
        // The network key went to the module: the configured default (none given here).
        EXPECT_TRUE(mod.startupAttributes().written);
    });
    std::vector<uchar> trace = zb->getAttributeTrace();
    EXPECT_EQ(std::count(trace.begin(), trace.end(), 0x72), 6);
}

TEST_F(LocalNodeLinkTest, NvmStartModeKeepsTheDatabaseAndRuns) {
    init(baseConfig(), 1);
    uchar ieee[8] = {0x00, 0x12, 0x4B, 0x00, 0x00, 0x00, 0x0B, 0x01};
    LN::StartGatewayDeviceCtxt ctx(-1, &handler, &RecordingHandler::startup_RspCb, nullptr);
    zb->getDb()->nodeAnnounce(0x0B01, ieee, 0x8E);
    EXPECT_EQ(node->startGatewayDevice(0, nullptr, &ctx), AGENT_SUCCESS);
    ASSERT_TRUE(waitFor([&] { return handler.count("startup_RspCb") == 1; }));
    EXPECT_EQ(zb->getLastResetOptions(), 0x15);
    EXPECT_NE(zb->getDb()->findNodeByNwkAddr(0x0B01), nullptr);  // NVM: nothing forgotten
    expectRootIsTheModule();
}

TEST_F(LocalNodeLinkTest, RandomIeeeAddressOption) {
    init(baseConfig("", "freescaleMACAddressValue = 1\n"));
    LN::StartGatewayDeviceCtxt ctx(-1, &handler, &RecordingHandler::startup_RspCb, nullptr);
    EXPECT_EQ(node->startGatewayDevice(0, nullptr, &ctx), AGENT_SUCCESS);
    ASSERT_TRUE(waitFor([&] { return handler.count("startup_RspCb") == 1; }));
    EXPECT_EQ(zb->getLastResetOptions(), 0x0F);
    EXPECT_EQ(peer.countSent(0xA3, 0xDB), 1u);
    expectRootIsTheModule();
    auto factory = bigEndian(kModuleIeee);
    EXPECT_NE(std::memcmp(zb->getDb()->getRoot()->get_ieee_addr(), factory.data(), 8), 0);
}

TEST_F(LocalNodeLinkTest, FormationFailureGivesState4Error11AfterTwoRetries) {
    init(baseConfig());
    peer.onGatewayPacket([](const Packet& p, zbsim::Module& mod) {
        if (p.group == 0xA3 && p.id == 0xE7) {
            mod.failNextStart(0xC4);
        }
    });
    LN::StartGatewayDeviceCtxt ctx(33, &handler, &RecordingHandler::startup_RspCb, nullptr);
    EXPECT_EQ(node->startGatewayDevice(4294967295UL, nullptr, &ctx), AGENT_SUCCESS);
    ASSERT_TRUE(waitFor([&] { return handler.count("startup_RspCb") == 1; }));
    auto r = handler.named("startup_RspCb")[0];
    EXPECT_EQ(r.session, 33);
    EXPECT_EQ(r.commandStatus, 0xC4);
    EXPECT_EQ(r.state, Canceled);
    EXPECT_EQ(r.error, GW_STARTUP_FORMING_NETWORK_FAILED);
    EXPECT_EQ(peer.countSent(0xA3, 0xE7), 3u);
    EXPECT_TRUE(reached(GW_ERROR));
    EXPECT_EQ(zb->getDb()->getRoot(), nullptr);
}

TEST_F(LocalNodeLinkTest, ResetRequestIsAnsweredThroughItsContext) {
    init(baseConfig());
    LN::ResetCommandCtxt ctx(44, &handler, &RecordingHandler::resetCommand_RspCb,
                             &RecordingHandler::resetCommand_NtfCb);
    EXPECT_EQ(node->resetRequest(4, &ctx), AGENT_SUCCESS);
    EXPECT_EQ(node->getLastResetOptions(), 6);
    ASSERT_TRUE(waitFor([&] { return handler.count("resetCommand_NtfCb") == 1; }));
    auto n = handler.named("resetCommand_NtfCb")[0];
    EXPECT_EQ(n.commandStatus, 0);
    EXPECT_EQ(n.state, Idle);
    EXPECT_EQ(n.error, AGENT_SUCCESS);
    EXPECT_EQ(handler.named("resetCommand_RspCb").at(0).state, Running);
    ASSERT_TRUE(waitFor([&] { return zb->getGWStatus() == GW_ZNP_INITIALIZED; }));
    EXPECT_EQ(peer.countSent(0xA3, 0x08), 1u);
    EXPECT_EQ(peer.countSent(0xA3, 0xE7), 0u);  // no restart: nothing started
    // The reset is over: a second one is accepted.
    LN::ResetCommandCtxt again(45, &handler, &RecordingHandler::resetCommand_RspCb, nullptr);
    EXPECT_EQ(node->resetRequest(5, &again), AGENT_SUCCESS);
    ASSERT_TRUE(waitFor([&] { return zb->getGWStatus() == GW_RUNNING; }));  // 5: with restart
    EXPECT_EQ(handler.named("resetCommand_RspCb").back().session, 45);
}

TEST_F(LocalNodeLinkTest, RestartWhileRunningStartsAgain) {
    init(baseConfig());
    LN::StartGatewayDeviceCtxt ctx(-1, &handler, &RecordingHandler::startup_RspCb, nullptr);
    node->startGatewayDevice(0, nullptr, &ctx);
    ASSERT_TRUE(waitFor([&] { return handler.count("startup_RspCb") == 1; }));
    LN::StartGatewayDeviceCtxt again(8, &handler, &RecordingHandler::startup_RspCb, nullptr);
    EXPECT_EQ(node->startGatewayDevice(0, nullptr, &again), AGENT_SUCCESS);
    ASSERT_TRUE(waitFor([&] { return handler.count("startup_RspCb") == 2; }));
    EXPECT_EQ(handler.named("startup_RspCb")[1].session, 8);
    EXPECT_EQ(peer.countSent(0xA3, 0xE7), 2u);
    expectRootIsTheModule();
}
