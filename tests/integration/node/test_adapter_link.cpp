#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "AdapterFixture.h"

using zbsim::Packet;

namespace {
const std::vector<uchar> kChainLevel0 = {0xF0, 0xFF, 0xEF, 0xFE, 0xFD, 0x1C, 0x1D, 0xE0, 0xEE};
const uint64_t kModuleIeee = 0x00124B00000000A1ULL;
}  // namespace

TEST_F(AdapterLinkTest, FormsTheNetworkAsCoordinatorAndRuns) {
    connect(baseConfig("", "StartUpControl = 3\n"));
    std::mutex identityMux;
    std::vector<OrqZbIf::NetworkIdentity> identities;
    zb->setNetworkUpHook([&](const OrqZbIf::NetworkIdentity& id) {
        std::lock_guard<std::mutex> lock(identityMux);
        identities.push_back(id);
    });
    zb->Start();
    ASSERT_TRUE(waitForState(GW_RUNNING));
    {
        // What a stored network is kept under, told before the running state.
        std::lock_guard<std::mutex> lock(identityMux);
        ASSERT_EQ(identities.size(), 1u);
        EXPECT_EQ(identities[0].extPanId, 0x00124B00000000A1ULL);
        EXPECT_EQ(identities[0].panId, 0x2B3C);
        EXPECT_EQ(identities[0].channel, 20);
    }
    EXPECT_EQ(zb->getLastResetOptions(), 0x07);  // commissioning, restart, reset
    EXPECT_EQ(zb->getAttributeTrace(), kChainLevel0);
    Node* root = zb->getDb()->getRoot();
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->get_nwk_addr(), 0x0000);
    auto expected = bigEndian(kModuleIeee);
    EXPECT_EQ(std::memcmp(root->get_ieee_addr(), expected.data(), 8), 0);
    EXPECT_TRUE(root->node_desc.receiveronwhenidle);
    // The root announces itself just after the running state is set.
    EXPECT_TRUE(waitFor([&] { return zb->getDb()->translateAddress(root->get_ieee_addr()) == 0; }));
    // What crossed the line: one end point registration, the start-up attributes, one start,
    // then the channel and address reads.
    EXPECT_EQ(peer.countSent(0xA3, 0x0B), 1u);
    EXPECT_EQ(peer.countSent(0x50, 0x01), 1u);
    EXPECT_EQ(peer.countSent(0xA3, 0xE7), 1u);
    EXPECT_EQ(peer.countSent(0xA3, 0x12), 1u);
    EXPECT_EQ(peer.countSent(0xA3, 0xD2), 1u);
    EXPECT_TRUE(sawEvent(GW_STARTING, 0));
    EXPECT_TRUE(sawEvent(GW_RUNNING, 0));
    peer.withModule([](zbsim::Module& m, zbsim::Network&) {
        EXPECT_TRUE(m.networkUp());
        EXPECT_EQ(m.channel(), 20);
        EXPECT_EQ(m.panId(), 0x2B3C);
        // The set's own start-up control and extended PAN id were written.
        EXPECT_TRUE(m.startupAttributes().written);
        EXPECT_EQ(m.startupAttributes().startupControl, 3);
        EXPECT_EQ(m.startupAttributes().extPanId, 0x00124B00000000A1ULL);
    });
}

TEST_F(AdapterLinkTest, TheChannelTheModuleChoseBecomesTheSetsOnlyChannel) {
    std::string text = baseConfig();
    text.replace(text.find("ChannelMask = 20"), 16, "ChannelMask = 0");  // every channel
    connect(text);
    zb->Start();
    ASSERT_TRUE(waitForState(GW_RUNNING));
    EXPECT_EQ(zb->getDb()->getStartupAttributeInfo(0)->channelMask, 1UL << 20);
}

TEST_F(AdapterLinkTest, EveryLocalServiceIsRegisteredWithTheModule) {
    connect(baseConfig());
    SimpleDescriptor second;
    ZbNetDb::createDefaultSimpleDescr(9, &second);
    second.input_cluster = {0x0006, 0x0008};
    zb->getDb()->setServicesSD(&second);
    zb->Start();
    ASSERT_TRUE(waitForState(GW_RUNNING));
    EXPECT_EQ(peer.countSent(0xA3, 0x0B), 2u);
    std::vector<uchar> trace = zb->getAttributeTrace();
    EXPECT_EQ(std::count(trace.begin(), trace.end(), 0xEF), 2);
    peer.withModule(
        [](zbsim::Module&, zbsim::Network& net) { EXPECT_EQ(net.module().endpoints.size(), 2u); });
    zb->getDb()->removeServicesSD(&second);
}

TEST_F(AdapterLinkTest, SecurityLevelFiveWritesPoliciesKeysAndTheKeyTable) {
    connect(baseConfig("", "SecurityLevel = 5\n",
                       "[TCKeyTable]\nTCKeyTableSize = 3\n"
                       "IEEEAddress00 = 0x00 0x12 0x4B 0x00 0x00 0x00 0x0B 0x01\n"
                       "TCLinkKey00 = 0x01 0x01 0x01 0x01 0x01 0x01 0x01 0x01 0x01 0x01 0x01 "
                       "0x01 0x01 0x01 0x01 0x01\n"
                       "IEEEAddress01 = 0x00 0x12 0x4B 0x00 0x00 0x00 0x0B 0x02\n"
                       "TCLinkKey01 = 0x02 0x02 0x02 0x02 0x02 0x02 0x02 0x02 0x02 0x02 0x02 "
                       "0x02 0x02 0x02 0x02 0x02\n"
                       "IEEEAddress02 = 0x00 0x12 0x4B 0x00 0x00 0x00 0x0B 0x03\n"
                       "TCLinkKey02 = 0x03 0x03 0x03 0x03 0x03 0x03 0x03 0x03 0x03 0x03 0x03 "
                       "0x03 0x03 0x03 0x03 0x03\n"));
    zb->Start();
    ASSERT_TRUE(waitForState(GW_RUNNING));
    const std::vector<uchar> expected = {0xF0, 0xFF, 0xEF, 0xFE, 0xFD, 0x1C, 0x1D,
                                         0xE0, 0x05, 0x06, 0x00, 0x07, 0x08, 0x1E,
                                         0x72, 0x72, 0x72, 0x72, 0x72, 0x72, 0xEE};
    EXPECT_EQ(zb->getAttributeTrace(), expected);
    // The key table goes out row by row once the network is up, after the running state.
    EXPECT_TRUE(waitFor([&] {
        size_t keys = 0;
        peer.withModule([&](zbsim::Module& m, zbsim::Network&) {
            EXPECT_TRUE(m.networkUp());
            keys = m.linkKeys().size();
        });
        return keys == 3;
    }));
}

TEST_F(AdapterLinkTest, NvmStartWithRandomAddressResetsWith0x1D) {
    connect(baseConfig("", "freescaleMACAddressValue = 1\n"));
    zb->getDb()->setStartModeSetting(1);
    zb->Start();
    ASSERT_TRUE(waitForState(GW_RUNNING));
    EXPECT_EQ(zb->getLastResetOptions(), 0x1D);
    // The random address was written to the module and is the root's address now.
    EXPECT_EQ(peer.countSent(0xA3, 0xDB), 1u);
    Node* root = zb->getDb()->getRoot();
    ASSERT_NE(root, nullptr);
    auto factory = bigEndian(kModuleIeee);
    EXPECT_NE(std::memcmp(root->get_ieee_addr(), factory.data(), 8), 0);
    uint64_t moduleIeee = 0;
    peer.withModule([&](zbsim::Module& m, zbsim::Network&) { moduleIeee = m.ieee(); });
    auto now = bigEndian(moduleIeee);
    EXPECT_EQ(std::memcmp(root->get_ieee_addr(), now.data(), 8), 0);
}

TEST_F(AdapterLinkTest, JoiningFailureReportsError10) {
    connect(baseConfig("", "DeviceType = 2\n"));
    peer.onGatewayPacket([](const Packet& p, zbsim::Module& m) {
        if (p.group == 0xA3 && p.id == 0xE7) {
            m.failNextStart(0xCA);
        }
    });
    zb->Start();
    ASSERT_TRUE(waitFor([&] { return sawEvent(GW_ERROR, GW_JOINING_FAILED, 0xCA); }));
    EXPECT_EQ(peer.countSent(0xA3, 0xE7), 3u);
}

TEST_F(AdapterLinkTest, AStartThatFailsOnceIsRetriedAndRuns) {
    connect(baseConfig());
    int failures = 1;
    peer.onGatewayPacket([&failures](const Packet& p, zbsim::Module& m) {
        if (p.group == 0xA3 && p.id == 0xE7 && failures-- > 0) {
            m.failNextStart(0xC4);
        }
    });
    zb->Start();
    ASSERT_TRUE(waitForState(GW_RUNNING));
    EXPECT_EQ(peer.countSent(0xA3, 0xE7), 2u);
    EXPECT_FALSE(sawEvent(GW_ERROR, GW_FORMING_FAILED));
}

TEST_F(AdapterLinkTest, AnInvalidChannelFromTheModuleEndsTheProcessWithItsStatus) {
    connect(baseConfig());
    peer.onModulePacket([](Packet& p) {
        if (p.group == 0xA4 && p.id == 0x12 && p.payload.size() >= 2) {
            p.payload[1] = 27;
        }
    });
    zb->Start();
    ASSERT_TRUE(waitFor([&] { return exitCalledWith() != -1; }));
    EXPECT_EQ(exitCalledWith(), OrqZbIf::EXIT_INVALID_MODULE_CHANNEL);
    EXPECT_NE(zb->getGWStatus(), GW_RUNNING);
}

// The module supervisor reopens the device while agents send: a request either goes out on a
// handle that stays open until it is written or is dropped, never written to a closed one.
TEST_F(AdapterLinkTest, RequestsSentWhileTheLinkIsReopenedUseAnOpenHandleOrNone) {
    struct Confirms : ModuleWatcher {
        std::atomic<int> heard{0};
        void requestSent() override {}
        void moduleHeard() override { ++heard; }
        void linkLost(int) override {}
        void moduleRebooted() override {}
    } confirms;
    connect(baseConfig());
    zb->Start();
    ASSERT_TRUE(waitForState(GW_RUNNING));
    zb->setModuleWatcher(&confirms);
    auto toggle = [this] {
        uchar dst[8] = {0x01, 0x0B};
        uchar zcl[3] = {0x01, 0x00, 0x02};
        zb->APSDE_DATA_request(2, dst, 1, 0x0104, 0x0006, 8, sizeof zcl, zcl, 0, 10);
    };
    std::atomic<bool> stop{false};
    std::vector<std::thread> senders;
    for (int i = 0; i < 3; ++i) {
        senders.emplace_back([&] {
            while (!stop.load()) {
                toggle();
                std::this_thread::sleep_for(std::chrono::microseconds(300));  // a busy gateway
            }
        });
    }
    for (int i = 0; i < 10; ++i) {
        EXPECT_TRUE(zb->reopen(peer.deviceUrl().c_str()));
    }
    stop.store(true);
    for (auto& t : senders) {
        t.join();
    }
    // The link still carries requests and their confirms.
    const int before = confirms.heard.load();
    toggle();
    EXPECT_TRUE(waitFor([&] { return confirms.heard.load() > before; }));
    zb->setModuleWatcher(nullptr);
}

// A data indication off the wire reaches a listener as one record carrying every field: the
// destination replaced by the root's network address, the source, end points, profile,
// cluster, payload, broadcast flag and security status as the module sent them.
TEST_F(AdapterLinkTest, ADataIndicationReachesItsListenerAsOneRecord) {
    connect(baseConfig());
    zb->Start();
    ASSERT_TRUE(waitForState(GW_RUNNING));
    // The module's security status byte (the frame's last) is 0 from the emulator: make it
    // one a record could not carry by default.
    peer.onModulePacket([](Packet& p) {
        if (p.group == 0x9D && p.id == 0x01 && !p.payload.empty()) {
            p.payload.back() = 0x05;
        }
    });
    struct Seen {
        int count = 0;
        ZbDataIndication ind;
        std::vector<uchar> dst, src, payload;
    };
    std::mutex seenMux;
    Seen seen;
    ZbDataIndicationListener l([&](const ZbDataIndication& ind) {
        std::lock_guard<std::mutex> lock(seenMux);
        ++seen.count;
        seen.ind = ind;
        seen.dst.assign(ind.dstAddr, ind.dstAddr + 2);
        seen.src.assign(ind.srcAddr, ind.srcAddr + 2);
        seen.payload.assign(ind.payload, ind.payload + ind.payloadLength);
    });
    ASSERT_EQ(zb->registerListener(ZB_EV_APSDE_DATA_INDICATION, &l), 0);
    ASSERT_EQ(peer.control("send router 1 0x0402 AABBCC 8 0x0104 dst=0xFFFF"), "ok");
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard<std::mutex> lock(seenMux);
        return seen.count > 0;
    }));
    zb->unregisterListener(ZB_EV_APSDE_DATA_INDICATION, &l);
    std::lock_guard<std::mutex> lock(seenMux);
    EXPECT_EQ(seen.count, 1);
    EXPECT_EQ(seen.ind.dstAddrMode, 2);
    EXPECT_EQ(seen.dst, (std::vector<uchar>{0x00, 0x00}));  // the root, not the broadcast
    EXPECT_EQ(seen.ind.dstEp, 8);
    EXPECT_EQ(seen.ind.srcAddrMode, 2);
    EXPECT_EQ(seen.src, (std::vector<uchar>{0x01, 0x0B}));  // 0x0B01, low byte first
    EXPECT_EQ(seen.ind.srcEp, 1);
    EXPECT_EQ(seen.ind.profileId, 0x0104);
    EXPECT_EQ(seen.ind.clusterId, 0x0402);
    EXPECT_EQ(seen.payload, (std::vector<uchar>{0xAA, 0xBB, 0xCC}));
    EXPECT_TRUE(seen.ind.wasBroadcast);
    EXPECT_EQ(seen.ind.securityStatus, 0x05);
}
