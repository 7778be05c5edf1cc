// Packet decoder: dispatch of every table row into the callback table, the start-up handshakes,
// error statuses, and packets shorter than their fields.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/ZigbeeTestSupport.h"

using zbtest::Bytes;
using zbtest::calls;
using zbtest::FakeLink;
using zbtest::joined;
using Strings = std::vector<std::string>;

namespace {

Bytes pkt(uchar group, uchar id, const Bytes& payload) {
    Bytes b(payload.size() + 3);
    b[0] = group;
    b[1] = id;
    b[2] = static_cast<uchar>(payload.size());
    std::copy(payload.begin(), payload.end(), b.begin() + 3);
    return b;
}

class FreescaleDecoder : public ::testing::Test {
  protected:
    void SetUp() override { testing::internal::CaptureStdout(); }
    void TearDown() override { testing::internal::GetCapturedStdout(); }
    // Everything printed so far (and keeps capturing).
    std::string printed() {
        std::string s = testing::internal::GetCapturedStdout();
        testing::internal::CaptureStdout();
        all += s;
        return all;
    }
    FakeLink link;
    std::string all;
};

}  // namespace

// Packets fed in one after another: the callbacks they make, the packets they send and a line
// they print.
TEST_F(FreescaleDecoder, PacketsMakeTheseCallsAndAnswers) {
    const Bytes ieee = {1, 2, 3, 4, 5, 6, 7, 8};
    const Bytes running = {0x00, 0x96, 0, 0, 0, 0, 0, 0x34, 0x12};
    const std::string askShort = "A3 22 04 96 00 00 00";
    Bytes lqi = {0x00, 1, 0, 1};
    for (int i = 0; i < 22; i++) {
        lqi.push_back(static_cast<uchar>(i));
    }
    Bytes bindings = {0x00, 8, 0, 7};
    for (uchar i = 1; i <= 7; i++) {
        bindings.insert(bindings.end(), {i,    0, 0, 0, 0, 0, 0, 0xA0, 0x01, 0x06, 0x00,
                                         0x03, 0, 0, 0, 0, 0, 0, 0,    0xB0, 0x02});
    }
    const Bytes announce = {0x02, 0x00, 0x00, 0x00, 0x02, 0x34, 0x12, 0x00, 0x00, 0x00,
                            0x13, 0x00, 12,   0x80, 0x34, 0x12, 1,    2,    3,    4,
                            5,    6,    7,    8,    0x8E, 0x00, 0x01, 0x00};
    const struct {
        std::vector<Bytes> packets;
        Strings calls, sent;
        std::string printed;
    } cases[] = {
        {{pkt(0x40, 0x00, {0x01}), pkt(0xA5, 0x00, {0x01}), pkt(0xA0, 0x99, {0x01}),
          pkt(0x60, 0x01, {}), pkt(0xA3, 0x77, {})},
         {},
         {},
         "Req Unhandled OP 0xA3 77\n"},
        {{pkt(0xA3, 0x08, {0x05, 0x01})}, {"ZDO_RESET_confirm 05 00"}, {}, ""},
        {{pkt(0xA4, 0x00, {0x01})}, {}, {}, "ZTC-ModeSelect.Request failed!"},
        // A router learns its short address first; once known, a later running event confirms
        // at once.
        {{pkt(0xA0, 0xE6, {0x04}), pkt(0xA4, 0x22, running), pkt(0xA4, 0x22, running),
          pkt(0xA0, 0xE6, {0x05})},
         {"ZDO_START_confirm 00 1234", "ZDO_START_confirm 00 1234"},
         {askShort},
         ""},
        {{pkt(0xA0, 0xE6, {0x04}), pkt(0xA4, 0x22, {0x00, 0x96, 0, 0, 0, 0, 0, 0xFF, 0xFF})},
         {},
         {askShort},
         "The shortAddress is not yet assigned!"},
        // A coordinator closes joining and confirms.
        {{pkt(0xA0, 0xE6, {0x10})}, {"ZDO_START_confirm 00 0000"}, {"96 36 01 00"}, ""},
        // State 0 ("initialized") is reported too: outside a requested reset the module rebooted.
        {{pkt(0xA0, 0xE6, {0x13}), pkt(0xA0, 0xE6, {0x0B}), pkt(0xA0, 0xE6, {0x00}),
          pkt(0xA0, 0xE6, {0x01}), pkt(0xA0, 0xE6, {0x03}), pkt(0xA0, 0xE6, {0x09}),
          pkt(0xA0, 0xE6, {0x2A})},
         {"ZIGBEE_STACK_STATUS_indication 91", "ZDO_START_confirm 0B FFFC",
          "ZIGBEE_STACK_STATUS_indication 00"},
         {},
         "ZDO-NetworkState.Event - State 2a (see Table 6-127, page 139)\n"},
        {{pkt(0x97, 0x42, {0x00}), pkt(0x97, 0x42, {0xC4}), pkt(0x97, 0x46, {0, 0, 0, 0, 0, 0xCA}),
          pkt(0x97, 0x46, {0x00, 0, 0, 0, 0, 0x00})},
         {"ZDO_START_confirm C4 FFFC", "ZDO_START_confirm CA FFFC"},
         {},
         "NETWORK FORMATION FAILED - Reason: 0xc4\n"},
        // The echo of a short address set is remembered.
        {{pkt(0xA3, 0x23, {0x96, 0, 0, 0, 0x78, 0x56}), pkt(0xA0, 0xE6, {0x04})},
         {"ZDO_START_confirm 00 5678"},
         {},
         ""},
        {{pkt(0x84, 0x0E, {0x01}), pkt(0x84, 0x0E, {0x00})}, {}, {askShort}, ""},
        {{pkt(0xA0, 0x81, joined({{0}, ieee, {0x34, 0x12, 2, 0, 0x01, 0x00, 0x02, 0x00}})),
          pkt(0xA0, 0x81, joined({{0}, ieee, {0x34, 0x12, 0}})), pkt(0xA0, 0x81, {0x81})},
         {"ZDO_IEEE_ADDR_confirm 00 08 07 06 05 04 03 02 01 1234 2 0 [0001 0002]",
          "ZDO_IEEE_ADDR_confirm 00 08 07 06 05 04 03 02 01 1234 0 0 []",
          "ZDO_IEEE_ADDR_confirm 81 00 00 00 00 00 00 00 00 0000 0 0 []"},
         {},
         ""},
        {{pkt(0xA0, 0x80, joined({{0}, ieee, {0x34, 0x12, 0}}))},
         {"ZDO_NWK_ADDR_confirm 00 08 07 06 05 04 03 02 01 1234 0 0 []"},
         {},
         "ZDP-NWK_addr.response: "},
        // The logical type keeps bits 0-2 only.
        {{pkt(0xA0, 0x82, {0, 0x34, 0x12, 0xF9, 0x40, 0x8E, 0xF0, 3, 0x70, 0x52, 0, 0x41, 0x2A}),
          pkt(0xA0, 0x82, {0x80, 0x34, 0x12})},
         {"ZDO_NODE_DESC_confirm 00 1234 01 40 8E F0 03 70 52 00 41 2A",
          "ZDO_NODE_DESC_confirm 80 1234 00 00 00 00 00 00 00 00 00 00"},
         {},
         ""},
        {{pkt(0xA0, 0x83, {0x00, 0x34, 0x12, 0x10, 0xC1}), pkt(0xA0, 0x83, {0x81, 0x34, 0x12})},
         {"ZDO_POWER_DESC_confirm 00 1234 10 C1", "ZDO_POWER_DESC_confirm 81 1234 00 00"},
         {},
         "ZDO_POWER_DESC_confirm: "},
        {{pkt(0xA0, 0x84,
              {0, 0x34, 0x12, 12, 8, 0x04, 0x01, 0, 0x01, 0x31, 2, 6, 0, 8, 0, 1, 0x19, 0}),
          pkt(0xA0, 0x84, {0x00, 0x34, 0x12, 0}), pkt(0xA0, 0x84, {0x80, 0x34, 0x12, 0})},
         {"ZDO_SIMPLE_DESC_confirm 00 1234 ep 8 prof 0104 dev 0100 ver 1 in [0006 0008] out [0019]",
          "ZDO_SIMPLE_DESC_confirm 00 1234 ep 0 prof 0000 dev 0000 ver 0 in [] out []"},
         {},
         "ZDO_SIMPLE_DESC_confirm - status failed a0 84 04 80"},
        {{pkt(0xA0, 0x85, {0x00, 0x34, 0x12, 2, 0x01, 0x08}),
          pkt(0xA0, 0x86, {0, 0x12, 0x34, 1, 8}), pkt(0xA0, 0x85, {0x81, 0x34, 0x12, 0})},
         {"ZDO_ACTIVE_EP_DESC_confirm 00 1234 2 [01 08]", "ZDO_MATCH_DESC_confirm 00 1234 1 [08]",
          "ZDO_ACTIVE_EP_DESC_confirm 81 1234 0 []"},
         {},
         ""},
        // A device that does not support a table request answers with its status alone.
        {{pkt(0xA0, 0xA0, {0x00}), pkt(0xA0, 0xA1, {0x84}), pkt(0xA0, 0xA2, {0x88}),
          pkt(0xA0, 0xB6, {0x00}), pkt(0x97, 0x43, {0xC2}), pkt(0xA0, 0xB1, {0x84}),
          pkt(0xA0, 0xB3, {0x84})},
         {"ZDO_END_DEVICE_BIND_confirm 00", "ZDP_BIND_response 84", "ZDP_UNBIND_response 88",
          "MGMT_PERMIT_JOINING_response 00", "MGMT_PERMIT_JOINING_response 00",
          "ZB_MGMT_LQI_response 2 0000 01 84", "ZDP_MGMT_BIND_response 84 0 0 0"},
         {},
         ""},
        {{pkt(0x98, 0x07,
              joined({{0},
                      ieee,
                      {0x01, 0x00, 0x06, 0x03, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18,
                       0x02}}))},
         {"APSME_BIND_confirm 00 01 02 03 04 05 06 07 08 01 0006 11 12 13 14 15 16 17 18 02"},
         {},
         ""},
        {{pkt(0x9D, 0x00, {0x02, 0x34, 0x12, 0, 0, 0, 0, 0, 0, 0x08, 0x01, 0xE9})},
         {"APSDE_DATA_confirm 2 34 12 00 00 00 00 00 00 08 01 E9"},
         {},
         ""},
        // A data indication's source is remembered for the neighbour table that follows.
        {{pkt(0x9D, 0x01,
              {2, 0, 0, 8, 2, 0x78, 0x56, 1, 4, 1, 6, 0, 3, 0xAA, 0xBB, 0xCC, 0x00, 0x01, 0x05}),
          pkt(0xA0, 0xB1, lqi)},
         {"APSDE_DATA_indication 2 00 00 08 2 78 56 01 0104 0006 3 [AA BB CC] 1 05",
          "ZB_MGMT_LQI_response 2 5678 1A " + zbtest::hex(lqi)},
         {},
         ""},
        // The module sends two address bytes whatever the mode byte says; an IEEE mode (3) must
        // not make the trace or the layer above read eight bytes from a two-byte address.
        {{pkt(0x9D, 0x01, {3, 0x34, 0x12, 8, 3, 0x78, 0x56, 1, 4, 1, 6, 0, 1, 0xAA, 0, 1, 5})},
         {"APSDE_DATA_indication 3 34 12 08 3 78 56 01 0104 0006 1 [AA] 1 05"},
         {},
         ""},
        {{pkt(0x9D, 0x01, announce)},
         {"APSDE_DATA_indication 2 00 00 00 2 34 12 00 0000 0013 12 [" +
              zbtest::hex(Bytes(announce.begin() + 13, announce.end() - 3)) + "] 1 00",
          "ZDO_DEVICE_ANNCE_indication 1234 08 07 06 05 04 03 02 01 8E"},
         {},
         ""},
        {{pkt(0xA2, 0x13, joined({{0x00, 0x00, 0x78, 0x56}, ieee, {0x80}}))},
         {"ZDO_DEVICE_ANNCE_indication 5678 08 07 06 05 04 03 02 01 80"},
         {},
         ""},
        // A leave clears the device's key and is reported.
        {{pkt(0x97, 0x49, joined({ieee, {0x01}}))},
         {"MGMT_LEAVE_response 00", "MGMT_LEAVE_confirm 08 07 06 05 04 03 02 01 01"},
         {"A3 3F 08 01 02 03 04 05 06 07 08"},
         ""},
        // At most six binding table entries are decoded.
        {{pkt(0xA0, 0xB3, bindings)},
         {"ZDP_MGMT_BIND_response 00 8 0 6 {A0 00 00 00 00 00 00 01 01 0006 B0 00 00 00 00 00 00 "
          "00 02} {A0 00 00 00 00 00 00 02 01 0006 B0 00 00 00 00 00 00 00 02} {A0 00 00 00 00 00 "
          "00 03 01 0006 B0 00 00 00 00 00 00 00 02} {A0 00 00 00 00 00 00 04 01 0006 B0 00 00 00 "
          "00 00 00 00 02} {A0 00 00 00 00 00 00 05 01 0006 B0 00 00 00 00 00 00 00 02} {A0 00 00 "
          "00 00 00 00 06 01 0006 B0 00 00 00 00 00 00 00 02}"},
         {},
         ""},
        // Rows that only trace: their line (label and dump of L bytes from the length byte).
        {{pkt(0x84, 0x14, {0x01, 0x02})}, {}, {}, "MacPollNotify.Indication: 02 01 \n"},
        {{pkt(0x97, 0x45, {0x11, 0x22})}, {}, {}, "NLME-JOIN.Indication: 02 11 \n"},
        {{pkt(0x9D, 0x03, {0x00})}, {}, {}, "APS-ConfirmID.Report\n"},
        {{pkt(0xA4, 0x3F, {0x00})}, {}, {}, "ZTC-ClearApsDeviceKeyPairSet.Confirm - Status 0x00\n"},
        {{pkt(0xA4, 0xFE, {0x01})}, {}, {}, "WARNING: ZTC-Error.event (status code 01)"},
        {{pkt(0x97, 0x70, {0xA2})}, {}, {}, "NLME-ProcessSecureFrame.Confirm - ERROR: 0xa2"},
        {{pkt(0xA0, 0xCC, {0xA2})}, {}, {}, "ZDP-APSME-ProcessSecureFrame.Confirm - ERROR: 0xa2"},
        {{pkt(0xA3, 0x21, {0xC0, 0, 0, 0})}, {}, {}, "APSME-SET.Request: Extended Address Map - "},
        {{pkt(0xA3, 0x21, {0x96, 0, 0, 0})}, {}, {}, "iId 96 (Table 6-98, pag 120) - "},
    };
    for (const auto& c : cases) {
        FakeLink fresh;
        for (const Bytes& p : c.packets) {
            fresh.feed(p);
        }
        SCOPED_TRACE(zbtest::hex(c.packets[0]));
        EXPECT_EQ(c.calls, calls());
        EXPECT_EQ(c.sent, fresh.sentHex());
        EXPECT_NE(std::string::npos, printed().find(c.printed)) << c.printed;
    }
}

TEST_F(FreescaleDecoder, WithoutCallbackTableBytesAreIgnored) {
    FakeLink bare(nullptr);
    bare.feed(pkt(0xA0, 0xA1, {0x00}));
    EXPECT_TRUE(calls().empty());
    EXPECT_NE(std::string::npos, printed().find("without callback, ignoring them"));
}

TEST_F(FreescaleDecoder, ResetHandshakeThroughModeSelect) {
    fsState.restartGWafterReset = 1;
    link.feed({0xA3, 0x08, 0x02, 0x00, 0x02});
    EXPECT_EQ(Strings{"A3 00 0B 01 02 02 02 02 02 02 02 02 02 02"}, link.sentHex());
    EXPECT_TRUE(calls().empty());
    link.feed(pkt(0xA4, 0x00, {0x00}));
    EXPECT_EQ(2, link.handle.state);
    EXPECT_EQ(Strings{"ZDO_RESET_confirm 00 01"}, calls());
}

TEST_F(FreescaleDecoder, ModeSelectWithRandomAddressWaitsForTheAddressWrite) {
    fsState.generateRandomIEEEAddr = 8;
    link.feed(pkt(0xA4, 0x00, {0x00}));
    EXPECT_TRUE(calls().empty());
    ASSERT_EQ(1u, zbtest::sentPackets().size());
    const Bytes& w = zbtest::sentPackets()[0];
    ASSERT_EQ(11u, w.size());
    EXPECT_EQ("A3 DB 08", zbtest::hex(w.data(), 3));
    EXPECT_EQ("CD AB", zbtest::hex(&w[9], 2));
    link.feed(pkt(0xA4, 0xDB, {0x01}));
    EXPECT_TRUE(calls().empty());
    link.feed(pkt(0xA4, 0xDB, {0x00}));
    EXPECT_EQ(Strings{"ZDO_RESET_confirm 00 00"}, calls());
}

TEST_F(FreescaleDecoder, CoordinatorRunningWithSecurityReadsKeyMaterial) {
    fsState.selectedSecLevel = 5;
    link.feed(pkt(0xA0, 0xE6, {0x10}));
    EXPECT_EQ((Strings{"96 36 01 00", "A3 22 04 A1 00 01 00"}), link.sentHex());
    zbtest::sentPackets().clear();
    fsState.TCLinkKeyTableSize = 1;
    fsState.TCLinkKeyTable[0][0] = 0xA3;
    fsState.TCLinkKeyTable[0][1] = 0x3E;
    fsState.TCLinkKeyTable[0][2] = 25;
    link.feed(pkt(0xA0, 0xE6, {0x10}));
    Strings sent = link.sentHex();
    ASSERT_EQ(2u, sent.size());
    EXPECT_EQ("A3 3E 19", sent[1].substr(0, 8));
}

TEST_F(FreescaleDecoder, AttributeConfirmsUseTheLastRequestedAttribute) {
    fsState.attr_prev = 0xEF;
    link.feed(pkt(0xA4, 0x0B, {0x00}));
    link.feed(pkt(0xA4, 0x0B, {0x07}));
    fsState.attr_prev = 0xFF;
    link.feed(pkt(0xA4, 0x21, {0x00}));
    link.feed(pkt(0xA4, 0x21, {0x01}));  // error: no callback
    fsState.attr_prev = 0xEE;
    link.feed(pkt(0x50, 0x04, {0x00}));
    link.feed(pkt(0xA4, 0xE4, {0x00}));
    link.feed(pkt(0xA4, 0xE4, {0x01}));
    fsState.attr_prev = 0xC3;
    link.feed(pkt(0xA4, 0x12, {0x00, 0x0F}));
    link.feed(pkt(0xA4, 0x12, {0x01, 0x0F}));
    fsState.attr_prev = 0xED;
    link.feed(pkt(0xA4, 0xD2, {0x00, 1, 2, 3, 4, 5, 6, 7, 8}));
    link.feed(pkt(0xA4, 0xD2, {0x01}));
    link.feed(pkt(0xA4, 0x20, {0x00, 1, 2}));
    EXPECT_EQ((Strings{"APSME_SET_confirm 00 EF", "APSME_SET_confirm 07 EF",
                       "APSME_SET_confirm 00 FF", "APSME_SET_confirm 00 EE",
                       "APSME_SET_confirm 00 EE", "APSME_GET_confirm 00 C3 1 [0F]",
                       "APSME_GET_confirm 00 ED 8 [01 02 03 04 05 06 07 08]"}),
              calls());
}

TEST_F(FreescaleDecoder, NlmeGetConfirmOfKeyMaterialAndOthers) {
    Bytes p = {0x00, 0xA1};
    for (int i = 5; i < 15; i++) {
        p.push_back(0);
    }
    for (int i = 0; i < 16; i++) {
        p.push_back(static_cast<uchar>(0xA0 + i));
    }
    link.feed(pkt(0xA4, 0x22, p));
    link.feed(pkt(0xA4, 0x22, {0x01, 0x96}));
    std::string out = printed();
    EXPECT_NE(std::string::npos, out.find("NLME-GET.Confirm - nwkSecurityMaterial"));
    EXPECT_NE(std::string::npos, out.find("a0:a1:a2:a3:a4:a5:a6:a7:a8:a9:aa:ab:ac:ad:ae:af\n"));
    EXPECT_NE(std::string::npos, out.find("af:ae:ad:ac:ab:aa:a9:a8:a7:a6:a5:a4:a3:a2:a1:a0\n"));
    EXPECT_NE(std::string::npos, out.find("NLME-GET.Confirm - Status  1, Attribute 96\n"));
    EXPECT_TRUE(calls().empty());
    EXPECT_EQ(0xFFFC, fsState.nwkShortAddress);
}

// Each row whose fields run past the packet's length is dropped without a callback and without
// touching bytes beyond the packet (the sanitizer build checks the latter: the packets below are
// heap copies of exactly their own size).
TEST_F(FreescaleDecoder, PacketsShorterThanTheirFieldsAreDropped) {
    struct Case {
        uchar group, id;
        Bytes payload;
    };
    const std::vector<Case> cases = {
        {0x9D, 0x01, {0x02, 0, 0, 0x08, 0x02, 0x78, 0x56, 0x01, 0x04, 0x01, 0x06, 0x00, 40, 1}},
        {0x9D, 0x01, {0x02, 0, 0}},
        {0x9D, 0x00, {0x02, 0x34}},
        {0xA0, 0x84, {0x00, 0x34, 0x12, 12, 0x08, 0x04, 0x01, 0x00, 0x01, 0x31, 5, 0x06}},
        {0xA0, 0x84, {0x00, 0x34, 0x12, 12, 0x08, 0x04, 0x01, 0x00, 0x01, 0x31, 0, 3, 0x06}},
        {0xA0, 0x85, {0x00, 0x34, 0x12, 9, 0x01}},
        {0xA0, 0x86, {0x00, 0x12, 0x34, 9}},
        {0xA0, 0x81, {0x00, 1, 2, 3, 4, 5, 6, 7, 8, 0x34, 0x12, 5, 0, 0x01}},
        {0xA0, 0x81, {0x00, 1, 2}},
        {0xA0, 0x80, {0x00, 1}},
        {0xA0, 0x82, {0x00, 0x34, 0x12, 0x01}},
        {0xA0, 0x83, {0x00, 0x34, 0x12, 0x10}},
        {0xA0, 0xB3, {0x00, 3, 0, 2, 1, 2, 3}},
        {0xA0, 0xB1, {0x00, 3, 0, 2, 1, 2, 3}},
        {0x98, 0x07, {0x00, 1, 2, 3}},
        {0xA2, 0x13, {0x00, 0x00, 0x78}},
        {0x97, 0x49, {1, 2, 3}},
        {0xA4, 0xD2, {0x00, 1, 2}},
        {0xA4, 0x12, {0x00}},
        {0xA4, 0x22, {0x00, 0x96, 0, 0}},
        {0xA4, 0x22, {0x00, 0xA1, 0, 0}},
        {0xA3, 0x08, {0x00}},
        {0xA3, 0x23, {0x96, 0}},
        {0xA0, 0xE6, {}},
        {0xA4, 0x00, {}},
        {0x50, 0x04, {}},
    };
    for (const Case& c : cases) {
        Bytes b = pkt(c.group, c.id, c.payload);
        std::vector<uchar>* heap = new std::vector<uchar>(b);
        heap->shrink_to_fit();
        FREESCALE_ParseNExec(link.h(), heap->data(), static_cast<int>(heap->size()));
        delete heap;
        EXPECT_TRUE(calls().empty()) << std::hex << int(c.group) << " " << int(c.id);
        calls().clear();
    }
    EXPECT_TRUE(zbtest::sentPackets().empty());
    EXPECT_EQ(0xFFFC, fsState.nwkShortAddress);
    EXPECT_NE(std::string::npos, printed().find("packet too short"));
}

TEST_F(FreescaleDecoder, LengthByteBeyondTheDeliveredSizeIsDropped) {
    Bytes b = {0xA0, 0xA1, 0x05, 0x00};
    FREESCALE_ParseNExec(link.h(), b.data(), static_cast<int>(b.size()));
    b = {0xA0};
    FREESCALE_ParseNExec(link.h(), b.data(), static_cast<int>(b.size()));
    EXPECT_TRUE(calls().empty());
}

TEST_F(FreescaleDecoder, UnsetCallbackSlotsAreSkipped) {
    ZBIFCbs_t partial = {};
    FakeLink sparse(&partial);
    sparse.feed(pkt(0xA0, 0xA1, {0x00}));
    sparse.feed(pkt(0xA0, 0xE6, {0x10}));
    sparse.feed(
        pkt(0x9D, 0x01,
            {0x02, 0x00, 0x00, 0x00, 0x02, 0x34, 0x12, 0x00, 0x00, 0x00, 0x13, 0x00, 0, 0, 0, 0}));
    EXPECT_TRUE(calls().empty());
}
