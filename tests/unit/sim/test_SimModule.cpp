#include <gtest/gtest.h>

#include <algorithm>

#include "SimModule.h"
#include "support/SimBytes.h"

using namespace zbsim;
using namespace simbytes;

namespace {
class ModuleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string err;
        ASSERT_TRUE(net.load(ZBSIM_DEMO_NETWORK, err)) << err;
        module = std::make_unique<Module>(net, [this](const Packet& p) { out.push_back(p); });
    }
    std::vector<Packet> rx(uint8_t g, uint8_t i, Bytes payload = {}) {
        out.clear();
        module->receive(Packet(g, i, std::move(payload)), now);
        return out;
    }
    std::vector<Packet> advance(int64_t ms) {
        out.clear();
        now += ms;
        module->runDue(now);
        return out;
    }
    // Forms the network with the gateway's end point 8 registered.
    void formNetwork() {
        rx(0xA3, 0x0B, {0x08, 0x04, 0x01, 0x05, 0x00, 0x00, 0x00, 0x00, 0x01});
        auto r = rx(0xA3, 0xE7, {0xC0, 0x00, 0x00});
        ASSERT_EQ(r.size(), 3u);
        ASSERT_TRUE(module->networkUp());
    }
    Network net;
    std::unique_ptr<Module> module;
    std::vector<Packet> out;
    int64_t now = 1000;
};

}  // namespace

TEST_F(ModuleTest, AttributeWritesAreConfirmedAndKept) {
    EXPECT_EQ(rx(0xA3, 0x21, {0xCD, 0, 0, 0, 0x01}),
              std::vector<Packet>{Packet(0xA4, 0x21, {0x00})});
    EXPECT_EQ(rx(0xA3, 0x21), std::vector<Packet>{Packet(0xA4, 0x21, {0xA6})});
    EXPECT_EQ(rx(0xA3, 0x20, {0xCD, 0, 0, 0}),
              std::vector<Packet>{Packet(0xA4, 0x20, {0x00, 0xCD, 0x01, 0x01})});
    EXPECT_EQ(rx(0xA3, 0x20, {0x42, 0, 0, 0}),
              std::vector<Packet>{Packet(0xA4, 0x20, {0xB0, 0x42, 0x00})});
}

TEST_F(ModuleTest, EndpointRegistrationReadsEachCountBeforeItsList) {
    Bytes reg{0x08, 0x04, 0x01, 0x05, 0x00, 0x00, 0x02, 0x00,
              0x00, 0x06, 0x00, 0x01, 0x19, 0x00, 0x01};
    EXPECT_EQ(rx(0xA3, 0x0B, reg), std::vector<Packet>{Packet(0xA4, 0x0B, {0x00})});
    ASSERT_EQ(net.module().endpoints.size(), 1u);
    const SimpleDesc& d = net.module().endpoints[0];
    EXPECT_EQ(d.ep, 8);
    EXPECT_EQ(d.profile, 0x0104);
    EXPECT_EQ(d.device, 0x0005);
    EXPECT_EQ(d.in, (std::vector<uint16_t>{0x0000, 0x0006}));
    EXPECT_EQ(d.out, (std::vector<uint16_t>{0x0019}));
    // A count running past the end is refused.
    EXPECT_EQ(rx(0xA3, 0x0B, {0x08, 0x04, 0x01, 0x05, 0x00, 0x00, 0x09, 0x01}),
              std::vector<Packet>{Packet(0xA4, 0x0B, {0xA6})});
}

TEST_F(ModuleTest, StartupAttributeSetIsDecodedFromItsOffsets) {
    Bytes sas(101, 0);
    sas[0] = 0xFF, sas[1] = 0xFF;  // short address
    for (int i = 0; i < 8; ++i)
        sas[2 + i] = uint8_t(i + 1);                 // extended PAN id
    sas[18] = 0x34, sas[19] = 0x12;                  // PAN id
    sas[20] = 0x00, sas[21] = 0x00, sas[22] = 0x10;  // channel 20
    sas[26] = 0x04;                                  // startup control
    for (int i = 0; i < 16; ++i)
        sas[51 + i] = uint8_t(0xA0 + i);  // network key
    sas[84] = 0x01;
    EXPECT_EQ(rx(0x50, 0x01, sas), std::vector<Packet>{Packet(0x50, 0x04, {0x00})});
    const auto& s = module->startupAttributes();
    EXPECT_EQ(s.extPanId, 0x0807060504030201ULL);
    EXPECT_EQ(s.panId, 0x1234);
    EXPECT_EQ(s.channelMask, 0x00100000u);
    EXPECT_EQ(s.startupControl, 4);
    EXPECT_EQ(s.networkKey[0], 0xA0);
    EXPECT_EQ(rx(0x50, 0x01, Bytes(100)), std::vector<Packet>{Packet(0x50, 0x04, {0xC1})});

    formNetwork();
    EXPECT_EQ(module->channel(), 20);
    EXPECT_EQ(module->panId(), 0x1234);
    // The network key comes back in the security material at packet offsets 15 to 30.
    auto r = rx(0xA3, 0x22, {0xA1, 0x00, 0x01, 0x00});
    ASSERT_EQ(r.size(), 1u);
    Bytes pkt = r[0].bytes();
    ASSERT_GE(pkt.size(), 31u);
    EXPECT_EQ(pkt[3], 0x00);
    EXPECT_EQ(pkt[4], 0xA1);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(pkt[15 + i], 0xA0 + i);
}

TEST_F(ModuleTest, IeeeAddressRequestListsAssociatedDevicesInPages) {
    formNetwork();
    auto r = rx(0xA2, 0x01, {0x00, 0x00, 0x00, 0x00, 0x01, 0x00});
    EXPECT_EQ(r, std::vector<Packet>{Packet(0xA0, 0x81,
                                            cat({{0x00},
                                                 le64(0x00124B0000000001ULL),
                                                 {0x00, 0x00, 0x02, 0x00},
                                                 {0x01, 0x10, 0x01, 0x20}}))});
    net.config().assocPerResponse = 1;
    r = rx(0xA2, 0x01, {0x00, 0x00, 0x00, 0x00, 0x01, 0x01});
    EXPECT_EQ(r.at(0).payload,
              cat({{0x00}, le64(0x00124B0000000001ULL), {0x00, 0x00}, {0x01, 0x01, 0x01, 0x20}}));
    // Single-device answer: no count, no list.
    r = rx(0xA2, 0x01, {0x01, 0x11, 0x01, 0x11, 0x00, 0x00});
    EXPECT_EQ(r.at(0).payload, cat({{0x00}, le64(0x00124B0000001101ULL), {0x01, 0x11}}));
    // An end device has no associated devices.
    r = rx(0xA2, 0x01, {0x01, 0x21, 0x01, 0x21, 0x01, 0x00});
    EXPECT_EQ(r.at(0).payload, cat({{0x00}, le64(0x00124B0000002101ULL), {0x01, 0x21, 0x00}}));
}

TEST_F(ModuleTest, DescriptorRequestsAnswerWithTheNodesDescriptors) {
    formNetwork();
    auto r = rx(0xA2, 0x02, {0x01, 0x11, 0x01, 0x11});
    EXPECT_EQ(r.at(0), Packet(0xA0, 0x82,
                              {0x00, 0x01, 0x11, 0x01, 0x40, 0x8E, 0x08, 0x10, 0x50, 0x50, 0x00,
                               0x00, 0x00, 0x50, 0x00, 0x00}));
    r = rx(0xA2, 0x03, {0x02, 0x11, 0x02, 0x11});
    EXPECT_EQ(r.at(0), Packet(0xA0, 0x83, {0x00, 0x02, 0x11, 0x41, 0x84}));
    r = rx(0xA2, 0x05, {0x01, 0x21, 0x01, 0x21});
    EXPECT_EQ(r.at(0), Packet(0xA0, 0x85, {0x00, 0x01, 0x21, 0x02, 0x01, 0x02}));
    r = rx(0xA2, 0x04, {0x01, 0x21, 0x01, 0x21, 0x02});
    EXPECT_EQ(r.at(0), Packet(0xA0, 0x84,
                              {0x00, 0x01, 0x21, 0x0A, 0x02, 0x04, 0x01, 0x02, 0x03, 0x00, 0x01,
                               0x02, 0x04, 0x00}));
    r = rx(0xA2, 0x04, {0x01, 0x21, 0x01, 0x21, 0x07});
    EXPECT_EQ(r.at(0), Packet(0xA0, 0x84, {0x83, 0x01, 0x21, 0x00}));
    r = rx(0xA2, 0x04, {0x01, 0x21, 0x01, 0x21, 0x00});
    EXPECT_EQ(r.at(0), Packet(0xA0, 0x84, {0x82, 0x01, 0x21, 0x00}));
    r = rx(0xA2, 0x02, {0x01, 0x11, 0x01, 0x21});  // not the node's own child
    EXPECT_EQ(r.at(0), Packet(0xA0, 0x82, {0x81, 0x01, 0x21}));
}

TEST_F(ModuleTest, MatchDescriptorBroadcastIsAnsweredByEveryMatchingNode) {
    formNetwork();
    auto r = rx(0xA2, 0x06, {0xFD, 0xFF, 0xFD, 0xFF, 0x04, 0x01, 0x01, 0x06, 0x00, 0x00});
    EXPECT_EQ(r, (std::vector<Packet>{Packet(0xA0, 0x86, {0x00, 0x11, 0x01, 0x01, 0x01}),
                                      Packet(0xA0, 0x86, {0x00, 0x21, 0x01, 0x01, 0x01})}));
    r = rx(0xA2, 0x06, {0x02, 0x11, 0x02, 0x11, 0x04, 0x01, 0x01, 0x06, 0x00, 0x00});
    EXPECT_EQ(r, std::vector<Packet>{Packet(0xA0, 0x86, {0x00, 0x11, 0x02, 0x00})});
}

TEST_F(ModuleTest, BindUnbindAndBindingTablePages) {
    formNetwork();
    Node& light = *net.findRef("light");
    auto bindReq = [&](uint8_t cluster) {
        return cat({{0x01, 0x11},
                    le64(light.ieee),
                    {0x01, cluster, 0x00, 0x03},
                    le64(0x00124B0000000001ULL),
                    {0x01}});
    };
    for (uint8_t c = 0; c < 8; ++c)
        EXPECT_EQ(rx(0xA2, 0x21, bindReq(c)), std::vector<Packet>{Packet(0xA0, 0xA1, {0x00})});
    auto r = rx(0xA2, 0x33, {0x01, 0x11, 0x00, 0x00});
    ASSERT_EQ(r.size(), 1u);
    ASSERT_EQ(r[0].payload.size(), 4u + 6 * 21);
    EXPECT_EQ((Bytes{r[0].payload[0], r[0].payload[1], r[0].payload[2], r[0].payload[3]}),
              (Bytes{0x00, 0x08, 0x00, 0x06}));
    EXPECT_EQ(
        Bytes(r[0].payload.begin() + 4, r[0].payload.begin() + 25),
        cat({le64(light.ieee), {0x01, 0x00, 0x00, 0x03}, le64(0x00124B0000000001ULL), {0x01}}));
    r = rx(0xA2, 0x33, {0x01, 0x11, 0x06, 0x00});
    EXPECT_EQ(r.at(0).payload.size(), 4u + 2 * 21);
    EXPECT_EQ(r.at(0).payload[3], 2);
    EXPECT_EQ(rx(0xA2, 0x22, bindReq(0)), std::vector<Packet>{Packet(0xA0, 0xA2, {0x00})});
    EXPECT_EQ(rx(0xA2, 0x22, bindReq(0)), std::vector<Packet>{Packet(0xA0, 0xA2, {0x88})});
    Bytes foreign = bindReq(1);
    foreign[2] ^= 0xFF;  // source address is not the node's own
    EXPECT_EQ(rx(0xA2, 0x21, foreign), std::vector<Packet>{Packet(0xA0, 0xA1, {0x84})});
    net.config().bindingCapacity = 7;
    EXPECT_EQ(rx(0xA2, 0x21, bindReq(0x20)), std::vector<Packet>{Packet(0xA0, 0xA1, {0x87})});
}

TEST_F(ModuleTest, ApsmeBindConfirmEchoesWithClusterHighByteFirst) {
    Bytes req = cat({le64(0x1122334455667788ULL),
                     {0x01, 0x06, 0x00, 0x03},
                     le64(0x00124B0000001101ULL),
                     {0x01}});
    auto r = rx(0x99, 0x00, req);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].group, 0x98);
    EXPECT_EQ(r[0].id, 0x07);
    Bytes pkt = r[0].bytes();
    EXPECT_EQ(pkt[3], 0x00);
    EXPECT_EQ(pkt[12], 0x01);
    EXPECT_EQ(pkt[13] * 256 + pkt[14], 0x0006);
    EXPECT_EQ(pkt[24], 0x01);
    EXPECT_EQ(net.module().bindings.size(), 1u);
}

TEST_F(ModuleTest, OnOffLightAnswersCommandsAndAttributeReads) {
    formNetwork();
    // toggle, ZCL sequence 0x21, to light end point 1 from gateway end point 8
    Bytes req = dataRequest(0x02, 0x1101, 0x01, 0x0104, 0x0006, 0x08, {0x01, 0x21, 0x02});
    auto r = rx(0x9C, 0x00, req);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0], Packet(0x9D, 0x00, cat({{0x02, 0x01, 0x11}, Bytes(6), {0x01, 0x08, 0x00}})));
    EXPECT_EQ(r[1],
              Packet(0x9D, 0x01, {0x02, 0x00, 0x00, 0x08, 0x02, 0x01, 0x11, 0x01, 0x04, 0x01, 0x06,
                                  0x00, 0x05, 0x18, 0x21, 0x0B, 0x02, 0x00, 205,  0x00, 0x00}));
    EXPECT_TRUE(net.findRef("light")->onOff);
    // read attribute 0x0000 of on/off
    req = dataRequest(0x02, 0x1101, 0x01, 0x0104, 0x0006, 0x08,
                      {0x00, 0x22, 0x00, 0x00, 0x00, 0x07, 0x00});
    r = rx(0x9C, 0x00, req);
    ASSERT_EQ(r.size(), 2u);
    Bytes asdu(r[1].payload.begin() + 13, r[1].payload.end() - 3);
    EXPECT_EQ(asdu, (Bytes{0x18, 0x22, 0x01, 0x00, 0x00, 0x00, 0x10, 0x01, 0x07, 0x00, 0x86}));
    // a cluster the end point does not serve
    req = dataRequest(0x02, 0x1101, 0x01, 0x0104, 0x0008, 0x08, {0x01, 0x23, 0x00});
    r = rx(0x9C, 0x00, req);
    asdu.assign(r.at(1).payload.begin() + 13, r.at(1).payload.end() - 3);
    EXPECT_EQ(asdu, (Bytes{0x18, 0x23, 0x0B, 0x00, 0xC3}));
    // default response suppressed
    req = dataRequest(0x02, 0x1101, 0x01, 0x0104, 0x0006, 0x08, {0x11, 0x24, 0x00});
    EXPECT_EQ(rx(0x9C, 0x00, req).size(), 1u);
    EXPECT_FALSE(net.findRef("light")->onOff);
}

TEST_F(ModuleTest, PermitJoinRequestOpensTheWindowOnTheRouters) {
    formNetwork();
    EXPECT_EQ(rx(0xA2, 0x36, {0xFC, 0xFF, 0x0A, 0x00}),
              std::vector<Packet>{Packet(0xA0, 0xB6, {0x00})});
    EXPECT_TRUE(net.findRef("router1")->permitsJoining(now + 9000));
    EXPECT_FALSE(net.findRef("router1")->permitsJoining(now + 10000));
    EXPECT_FALSE(net.findRef("plug")->permitsJoining(now));
    EXPECT_EQ(rx(0xA2, 0x36, {0x01, 0x21, 0x0A, 0x00}),
              std::vector<Packet>{Packet(0xA0, 0xB6, {0x84})});
}

TEST_F(ModuleTest, UnhandledPacketsAreCountedAndNotAnswered) {
    EXPECT_TRUE(rx(0xA3, 0x77).empty());
    EXPECT_TRUE(rx(0x40, 0x00).empty());
    EXPECT_EQ(module->ignored(), 2u);
    // Nothing reaches the nodes before the network is up.
    EXPECT_TRUE(rx(0xA2, 0x01, {0x00, 0x00, 0x00, 0x00, 0x01, 0x00}).empty());
}

TEST_F(ModuleTest, ParentAnswersALeaveRequestNamingItsChild) {
    formNetwork();
    Node& sensor = *net.findRef("sensor");
    // Sent to router1, naming its child the sensor, children to leave too (none).
    auto r = rx(0x9C, 0x00, leaveRequest(0x1001, 0x07, sensor.ieee, 0x40));
    ASSERT_EQ(r.size(), 2u);  // no leave indication: the sensor's parent is router1
    Bytes rsp = r[1].bytes();
    EXPECT_EQ(rsp[8], 0x01);  // from router1
    EXPECT_EQ(rsp[9], 0x10);
    EXPECT_EQ(Bytes(rsp.begin() + 16, rsp.begin() + 18), (Bytes{0x07, 0x00}));
    EXPECT_FALSE(sensor.present());
    EXPECT_TRUE(net.findRef("router1")->present());
    // Naming a node that is not its child: unknown device, nobody leaves.
    r = rx(0x9C, 0x00, leaveRequest(0x1001, 0x08, 0x00124B0000002101ULL, 0x00));
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[1].payload[r[1].payload.size() - 4], 0xC8);  // status before LQI and flags
    EXPECT_TRUE(net.findRef("plug")->present());
}

TEST_F(ModuleTest, ApsmeUnbindConfirmsWithItsOwnIdAndEmptiesTheTable) {
    Bytes req = cat({le64(0x1122334455667788ULL),
                     {0x01, 0x06, 0x00, 0x03},
                     le64(0x00124B0000001101ULL),
                     {0x01}});
    Bytes echo = cat({le64(0x1122334455667788ULL),
                      {0x01, 0x00, 0x06, 0x03},
                      le64(0x00124B0000001101ULL),
                      {0x01}});
    EXPECT_EQ(rx(0x99, 0x00, req), std::vector<Packet>{Packet(0x98, 0x07, cat({{0x00}, echo}))});
    EXPECT_EQ(rx(0x99, 0x09, req), std::vector<Packet>{Packet(0x98, 0x09, cat({{0x00}, echo}))});
    EXPECT_TRUE(net.module().bindings.empty());
    EXPECT_EQ(rx(0x99, 0x09, req), std::vector<Packet>{Packet(0x98, 0x09, cat({{0x88}, echo}))});
    EXPECT_EQ(rx(0x99, 0x09, Bytes(20)), std::vector<Packet>{Packet(0x98, 0x09, {0xA6})});
    EXPECT_EQ(rx(0x99, 0x00, Bytes(22)), std::vector<Packet>{Packet(0x98, 0x07, {0xA6})});
}

TEST_F(ModuleTest, PowerLossForgetsTheNetworkEndPointsAndWrittenAddress) {
    rx(0xA3, 0xDB, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0xCD, 0xAB});
    rx(0xA3, 0x0B, {0x08, 0x04, 0x01, 0x05, 0x00, 0x00, 0x01, 0x06, 0x00, 0x00, 0x01});
    ASSERT_EQ(net.module().endpoints.size(), 1u);
    formNetwork();
    module->permitJoining(0xFF, now);
    ASSERT_TRUE(net.module().permitsJoining(now));
    module->powerCycle(now);
    EXPECT_TRUE(module->booted());
    EXPECT_FALSE(module->networkUp());
    EXPECT_EQ(module->ieee(), 0x00124B0000000001ULL);
    EXPECT_TRUE(net.module().endpoints.empty());
    EXPECT_FALSE(net.module().permitsJoining(now));
    EXPECT_TRUE(advance(60000).empty());  // no sensor reports from the old network
    // Unlike a reset, the module is up at once.
    EXPECT_EQ(rx(0xA3, 0x12), std::vector<Packet>{Packet(0xA4, 0x12, {0x00, 15})});
}

TEST_F(ModuleTest, ClusterListsOfMatchRequestsMustFillThePayloadExactly) {
    formNetwork();
    Bytes head{0x02, 0x11, 0x02, 0x11, 0x04, 0x01};
    EXPECT_EQ(rx(0xA2, 0x06, cat({head, {0x01, 0x06, 0x00, 0x00}})).size(), 1u);
    EXPECT_TRUE(rx(0xA2, 0x06, cat({head, {0x01, 0x06, 0x00, 0x00, 0x00}})).empty());
    EXPECT_TRUE(rx(0xA2, 0x06, cat({head, {0x01, 0x06, 0x00, 0x01}})).empty());
    EXPECT_TRUE(rx(0xA2, 0x06, cat({head, {0x02, 0x06, 0x00, 0x00}})).empty());
    EXPECT_TRUE(rx(0xA2, 0x06, cat({head, {0x00}})).empty());
}

TEST_F(ModuleTest, EndDeviceBindBindsComplementaryClustersEitherWay) {
    formNetwork();
    Node& light = *net.findRef("light");
    Node& sensor = *net.findRef("sensor");
    auto edb = [](uint64_t src, uint16_t profile, const Bytes& clusters) {
        return cat({{0x00, 0x00}, le64(src), {0x01}, le16(profile), clusters});
    };
    // The sensor's on/off output finds the light's on/off input: the binding is the sensor's.
    EXPECT_EQ(rx(0xA2, 0x20, edb(sensor.ieee, 0x0104, {0x00, 0x01, 0x06, 0x00})),
              std::vector<Packet>{Packet(0xA0, 0xA0, {0x00})});
    Binding toLight{sensor.ieee, 1, 0x0006, light.ieee, 1};
    EXPECT_NE(std::find(sensor.bindings.begin(), sensor.bindings.end(), toLight),
              sensor.bindings.end());
    // The light's identify input finds the sensor's identify output: the binding is the sensor's.
    EXPECT_EQ(rx(0xA2, 0x20, edb(light.ieee, 0x0104, {0x01, 0x03, 0x00, 0x00})),
              std::vector<Packet>{Packet(0xA0, 0xA0, {0x00})});
    Binding identify{sensor.ieee, 1, 0x0003, light.ieee, 1};
    EXPECT_NE(std::find(sensor.bindings.begin(), sensor.bindings.end(), identify),
              sensor.bindings.end());
    EXPECT_TRUE(light.bindings.empty());
    // Another profile matches nothing; a malformed list is not answered.
    EXPECT_EQ(rx(0xA2, 0x20, edb(sensor.ieee, 0x0109, {0x00, 0x01, 0x06, 0x00})),
              std::vector<Packet>{Packet(0xA0, 0xA0, {0x86})});
    EXPECT_TRUE(rx(0xA2, 0x20, edb(sensor.ieee, 0x0104, {0x00, 0x02, 0x06, 0x00})).empty());
}

TEST_F(ModuleTest, NwkUpdateMovesTheNetworkToTheLowestChannelOfItsMask) {
    formNetwork();
    // Channels 20 and 25, duration 0xFE: a channel change, not answered.
    EXPECT_TRUE(rx(0xA2, 0x38, {0xFC, 0xFF, 0x00, 0x00, 0x10, 0x02, 0xFE, 0x01}).empty());
    EXPECT_EQ(module->channel(), 20);
    // A mask without a ZigBee channel, or a scan, leaves the channel where it is.
    rx(0xA2, 0x38, {0xFC, 0xFF, 0x20, 0x00, 0x00, 0x00, 0xFE, 0x02});
    rx(0xA2, 0x38, {0xFC, 0xFF, 0x00, 0x08, 0x00, 0x00, 0x02, 0x03});
    EXPECT_EQ(module->channel(), 20);
}

TEST_F(ModuleTest, DescriptorRequestsOfTheWrongSizeAreNotAnswered) {
    formNetwork();
    EXPECT_TRUE(rx(0xA2, 0x02, {0x01, 0x11, 0x01, 0x11, 0x00}).empty());
    EXPECT_TRUE(rx(0xA2, 0x03, {0x01, 0x11, 0x01}).empty());
    EXPECT_TRUE(rx(0xA2, 0x04, {0x01, 0x21, 0x01, 0x21}).empty());
    EXPECT_TRUE(rx(0xA2, 0x05, {0x01, 0x21, 0x01, 0x21, 0x01}).empty());
    EXPECT_EQ(rx(0xA2, 0x05, {0x01, 0x21, 0x01, 0x21}).size(), 1u);
}
