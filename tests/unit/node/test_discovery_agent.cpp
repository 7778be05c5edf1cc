#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <set>
#include <string>
#include <thread>

#include "CDiscoveryAgent.h"
#include "CManagementAgent.h"
#include "TestNodes.h"
#include "support/AgentHandler.h"
#include "support/TestConfig.h"

using DA = DiscoveryAgent<AgentHandler>;
using MA = ManagementAgent<AgentHandler>;

TEST(DescriptorDecoding, KnownValuesAreKeptAndOthersBecomeUnknown) {
    struct Case {
        int logical, band, logicalOut, bandOut, badLogical, badBand;
    };
    const Case cases[] = {{0, 8, COORDINATOR, F2400_2483D5, -1, -1},
                          {1, 1, ROUTER, F868_868D6, -1, -1},
                          {2, 4, ENDDEVICE, F902_928, -1, -1},
                          {5, 2, UNKNOWN_LOGICALTYPE, UNKNOWN_VALUE, 5, 2}};
    for (const Case& c : cases) {
        ZB_NODE_DESC in{};
        in.logical_type = static_cast<uchar>(c.logical);
        in.freq_band = static_cast<uchar>(c.band);
        in.mac_cap = 0x4A;  // bits 1, 3 and 6
        NodeDescriptor out;
        int badLogical = 0, badBand = 0;
        decodeNodeDescriptor(in, &out, &badLogical, &badBand);
        EXPECT_EQ(out.logicaltype, c.logicalOut);
        EXPECT_EQ(out.frequencyband, c.bandOut);
        EXPECT_EQ(badLogical, c.badLogical);
        EXPECT_EQ(badBand, c.badBand);
        EXPECT_TRUE(out.devicetype && out.receiveronwhenidle && out.securytycapability);
        EXPECT_FALSE(out.alternatePANcoordinator || out.powersource);
        EXPECT_TRUE(out.filled);
    }
}

// The two bytes as the module sends them: byte 0 is the current power mode (bits 0-3) and the
// available sources (bits 4-7), byte 1 the current source (bits 0-3) and its level (bits 4-7);
// a source bit 0 is constant mains, bit 1 a rechargeable battery, bit 2 a disposable one.
TEST(DescriptorDecoding, PowerSourcesComeFromTheirBitsOfTheWireBytes) {
    struct Case {
        uchar byte0, byte1;
        bool available[3], current[3];
        int mode, level, badMode, badLevel;
    };
    const Case cases[] = {
        {0x10, 0xC1, {true, false, false}, {true, false, false}, 0, P100, -1, -1},
        {0x41, 0x84, {false, false, true}, {false, false, true}, PERIODICALLYON, 8, -1, -1},
        {0x32, 0x02, {true, true, false}, {false, true, false}, 2, CRITICAL, -1, -1},
        {0x01, 0x40, {false, false, false}, {false, false, false}, 1, P33, -1, -1},
        {0x07,
         0x34,
         {false, false, false},
         {false, false, true},
         UNKNOWN_POWERMODE,
         UNKNOWN_PSLEVEL,
         7,
         3}};
    for (const Case& c : cases) {
        const uchar wire[2] = {c.byte0, c.byte1};
        ZB_POWER_DESC in;
        std::memcpy(&in, wire, sizeof in);
        PowerDescriptor out;
        int badMode = 0, badLevel = 0;
        decodePowerDescriptor(in, &out, &badMode, &badLevel);
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(c.available[i], out.avaiablepowersource[i]) << int(c.byte0) << " bit " << i;
            EXPECT_EQ(c.current[i], out.currentpowersource[i]) << int(c.byte1) << " bit " << i;
        }
        EXPECT_EQ(c.mode, static_cast<int>(out.currentpowermode)) << int(c.byte0);
        EXPECT_EQ(c.level, static_cast<int>(out.currentpowersourcelevel)) << int(c.byte1);
        EXPECT_EQ(c.badMode, badMode);
        EXPECT_EQ(c.badLevel, badLevel);
    }
}

TEST(PingJitter, SpreadsNodesOverAQuarterOfTheThreshold) {
    EXPECT_EQ(pingJitterSeconds(0x1234, 3), 0);
    std::set<int> seen;
    for (unsigned short nwk = 1; nwk <= 200; ++nwk) {
        int j = pingJitterSeconds(nwk, 60);
        EXPECT_GE(j, 0);
        EXPECT_LE(j, 15);
        seen.insert(j);
    }
    EXPECT_GE(seen.size(), 12u);
}

TEST(LeavePayload, AddressReversedAndOptionsFromTheFlags) {
    const unsigned char ieee[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const int options[2][2] = {{0x00, 0x80}, {0x40, 0xC0}};
    for (int children = 0; children < 2; ++children) {
        for (int rejoin = 0; rejoin < 2; ++rejoin) {
            unsigned char out[10];
            buildLeavePayload(ieee, children != 0, rejoin != 0, out);
            EXPECT_EQ(out[9], options[children][rejoin]);
        }
    }
    unsigned char out[10];
    buildLeavePayload(ieee, false, false, out);
    EXPECT_EQ(std::vector<int>(out, out + 9), (std::vector<int>{0, 8, 7, 6, 5, 4, 3, 2, 1}));
    buildLeavePayload(nullptr, true, false, out);
    EXPECT_EQ(std::vector<int>(out, out + 10), (std::vector<int>{0, 0, 0, 0, 0, 0, 0, 0, 0, 0x40}));
}

// The agents on an adapter without a link: what they decide, called as their threads would.
class AgentLogicTest : public ::testing::Test {
  protected:
    AgentLogicTest() {
        zb.setGWStatus(3, 0);
        da.init();
        Node* root = new Node(0x0000, kRootIeee);
        db()->setRoot(root);
    }
    ZbNetDb* db() { return zb.getDb(); }
    Node* addNode(unsigned short nwk, bool rxOn, bool active, long stamp) {
        return addTestNode(db(), nwk, rxOn, active, stamp);
    }
    static constexpr unsigned char kRootIeee[8] = {0, 0x12, 0x4B, 0, 0, 0, 0, 1};
    TestConfig config{"[main]\nkeepAliveThreshold = 3\nkeepAliveNumberOfAttempt = 3\n"};
    OrqZbIf zb{config.get()};
    DA da{&zb, config.get()};
    MA ma{&zb, config.get()};
    AgentHandler h;
};

TEST_F(AgentLogicTest, ThresholdNodeListAndModeRules) {
    da.setKAthreshold(-5);
    EXPECT_EQ(da.getKAthreshold(), 3);
    da.setKAthreshold(0);
    EXPECT_EQ(da.getKAthreshold(), 0);

    DA::RetrieveNodesCtxt list(1, &h, &AgentHandler::db_RspCb, nullptr);
    EXPECT_EQ(da.retrieveNodes(&list), AGENT_SUCCESS);
    db()->clearAll();
    EXPECT_EQ(da.retrieveNodes(&list), INQUIRY_CACHE_EMPTY);
    auto r = h.named("db_RspCb");
    EXPECT_EQ(r.back().result, 1);
    EXPECT_EQ(r.back().state, End);

    DA::CancelAnnouncementsModeCtxt cancel(2, &h, &AgentHandler::proc_RspCb, nullptr);
    DA::CancelAnnouncementsModeCtxt silent(2, &h, nullptr, nullptr);
    DA::StartAnnouncementsModeCtxt annce(-1, &h, nullptr, &AgentHandler::announce_NtfCb);
    EXPECT_EQ(da.cancelAnnouncementsMode(&cancel), ANNCE_MODE_NOT_RUNNING);
    EXPECT_EQ(h.named("proc_RspCb").back().result, 1);
    EXPECT_EQ(da.startAnnouncementsMode(&annce), AGENT_SUCCESS);
    EXPECT_EQ(da.startAnnouncementsMode(&annce), AGENT_SUCCESS);  // overwrites, not busy
    EXPECT_EQ(da.cancelAnnouncementsMode(&silent), ANNCE_MODE_NOT_RUNNING);
    unsigned char ieee[8] = {0, 0x12, 0x4B, 0, 0, 0, 0x0A, 0x01};
    EXPECT_NE(da.Announce_Cb(0x0A01, ieee, 8), nullptr);
    EXPECT_EQ(h.count("announce_NtfCb"), 0u);  // canceled: nobody is told any more
    EXPECT_EQ(da.cancelFreshnessMode(&cancel), ANNCE_MODE_NOT_RUNNING);
}

TEST_F(AgentLogicTest, AnnouncementDisplacingTheRootIsRefused) {
    unsigned char other[8] = {9, 9, 9, 9, 9, 9, 9, 9};
    EXPECT_EQ(da.Announce_Cb(0x0000, other, 8), nullptr);
    EXPECT_EQ(db()->getRoot()->get_nwk_addr(), 0x0000);
    EXPECT_EQ(std::memcmp(db()->getRoot()->get_ieee_addr(), kRootIeee, 8), 0);
}

TEST_F(AgentLogicTest, LateConfirmsChangeNothingAndRefusalsAnswerOnce) {
    // An inquiry confirm reaching a handler after its operation ended tells nobody.
    unsigned short list[1] = {0x0B01};
    unsigned char ieee[8] = {1};
    da.Inquiry_Cb(0, ieee, 0x0000, 1, 0, list);
    EXPECT_EQ(h.count("inquiry_NtfCb"), 0u);
    EXPECT_EQ(db()->getDBNodesSize(), 1);
    zb.setGWStatus(2, 0);
    MA::permitJoinCtxt pj(4, &h, &AgentHandler::permitJoin_RspCb, &AgentHandler::permitJoin_NtfCb);
    EXPECT_EQ(ma.permitJoin(0xFFFC, 30, false, 0, &pj), ORQ_NOT_RUNNING);
    EXPECT_EQ(h.named("permitJoin_RspCb").at(0).error, ORQ_NOT_RUNNING);
}

TEST_F(AgentLogicTest, ModuleAwayAnswersEveryWaitingOperationOnceWithAnError) {
    addNode(0x1101, true, true, 0);
    DA::StartAnnouncementsModeCtxt annce(-1, &h, nullptr, &AgentHandler::announce_NtfCb);
    DA::InquiryCtxt inq(1, &h, &AgentHandler::proc_RspCb, &AgentHandler::inquiry_NtfCb);
    DA::NodeDescriptorCtxt nd(2, &h, &AgentHandler::nodeDesc_RspCb, nullptr);
    DA::PowerDescriptorCtxt pd(3, &h, &AgentHandler::powerDesc_RspCb, nullptr);
    MA::permitJoinCtxt pj(4, &h, &AgentHandler::permitJoin_RspCb, &AgentHandler::permitJoin_NtfCb);
    MA::leaveCommandCtxt leave(5, &h, &AgentHandler::leave_RspCb, &AgentHandler::leave_NtfCb);
    ASSERT_EQ(da.startAnnouncementsMode(&annce), AGENT_SUCCESS);
    ASSERT_EQ(da.startInquiry(0, &inq), AGENT_SUCCESS);
    ASSERT_EQ(da.getNodeDescriptor(0, 0x1101, &nd), AGENT_SUCCESS);
    ASSERT_EQ(da.getPowerDescriptor(0x1101, &pd), AGENT_SUCCESS);
    // A permit joining taken over by a newer one is answered then, not never.
    MA::permitJoinCtxt replaced(6, &h, &AgentHandler::permitJoin_RspCb, nullptr);
    ASSERT_EQ(ma.permitJoin(0xFFFC, 30, false, 0, &replaced), AGENT_SUCCESS);
    ASSERT_EQ(ma.permitJoin(0xFFFC, 30, false, 1000, &pj), AGENT_SUCCESS);  // a 1 s timer
    auto taken = h.named("permitJoin_RspCb").at(0);
    EXPECT_EQ(taken.session, 6);
    EXPECT_EQ(taken.error, AGENT_BUSY);
    ASSERT_EQ(ma.leaveRequest(0x1101, false, false, &leave), AGENT_SUCCESS);

    zb.setGWStatus(4, 501);
    zb.setGWStatus(4, 502);  // a second fault finds nothing left to answer
    const char* waiting[] = {"inquiry_NtfCb", "nodeDesc_RspCb", "powerDesc_RspCb",
                             "permitJoin_NtfCb", "leave_NtfCb"};
    for (const char* op : waiting) {
        SCOPED_TRACE(op);
        auto calls = h.named(op);
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].error, AGENT_ERROR);
        EXPECT_EQ(calls[0].result, 1);
    }
    // The confirms that come late tell nobody; the announcement mode waits for nothing and
    // still hears its nodes.
    ZB_NODE_DESC desc{};
    da.getNodeDescriptor_Cb(0, 0x1101, &desc);
    ma.permitJoinNotify_Cb(0);
    ma.leaveCommandNotify_Cb(0);
    unsigned char ieee[8] = {0, 0x12, 0x4B, 0, 0, 0, 0x11, 0x01};
    da.Announce_Cb(0x1101, ieee, 8);
    EXPECT_EQ(h.count("announce_NtfCb"), 1u);
    // The ended operations gave their feature bits back: the next ones run.
    zb.setGWStatus(3, 0);
    ASSERT_EQ(ma.permitJoin(0xFFFC, 30, false, 0, &pj), AGENT_SUCCESS);
    ma.permitJoinNotify_Cb(0);
    ASSERT_EQ(h.count("permitJoin_NtfCb"), 2u);
    EXPECT_EQ(h.named("permitJoin_NtfCb")[1].error, AGENT_SUCCESS);
    EXPECT_EQ(da.getNodeDescriptor(0, 0x1101, &nd), AGENT_SUCCESS);
    for (const char* op : waiting) {
        EXPECT_EQ(h.count(op), std::string(op) == "permitJoin_NtfCb" ? 2u : 1u) << op;
    }
}

TEST_F(AgentLogicTest, AConfirmRacingTheModuleGoingAwayAnswersOnce) {
    addNode(0x1101, true, true, 0);
    DA::NodeDescriptorCtxt nd(2, &h, &AgentHandler::nodeDesc_RspCb, nullptr);
    constexpr int kRounds = 200;
    for (int i = 0; i < kRounds; ++i) {
        zb.setGWStatus(3, 0);
        ASSERT_EQ(da.getNodeDescriptor(0, 0x1101, &nd), AGENT_SUCCESS);
        std::thread confirm([&] {
            ZB_NODE_DESC desc{};
            da.getNodeDescriptor_Cb(0, 0x1101, &desc);
        });
        zb.setGWStatus(4, 1);
        confirm.join();
        ASSERT_EQ(h.count("nodeDesc_RspCb"), static_cast<size_t>(i + 1));
    }
    for (const auto& c : h.named("nodeDesc_RspCb")) {
        EXPECT_TRUE(c.error == AGENT_SUCCESS || c.error == AGENT_ERROR) << c.error;
    }
}
