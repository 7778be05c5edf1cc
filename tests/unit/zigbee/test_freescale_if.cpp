// Request encoders of the freescale back-end: exact packet bytes of every slot and internal
// command, refusals, and the attribute-specific set rules.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "support/ZigbeeTestSupport.h"

using zbtest::Bytes;
using zbtest::calls;
using zbtest::FakeLink;
using Strings = std::vector<std::string>;

namespace {

uchar kSrc[8] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
uchar kDst[8] = {0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18};

class FreescaleEncoder : public ::testing::Test {
  protected:
    void SetUp() override { testing::internal::CaptureStdout(); }
    void TearDown() override { out = testing::internal::GetCapturedStdout(); }
    const ZBIFFunctions_t& f = zbFreescaleFunctions;
    FakeLink link;
    std::string out;
};

}  // namespace

// Requests and the exact packets they go out as.
TEST_F(FreescaleEncoder, RequestsGoOutAsTheseExactPackets) {
    ushort in[2] = {0x0006, 0x0008};
    ushort outl[1] = {0x0000};
    uchar shortDst[2] = {0x00, 0x00};
    uchar asdu[3] = {0xAA, 0xBB, 0xCC};
    uchar one[1] = {0x01};
    const std::string body = "08 07 06 05 04 03 02 01 01 06 00";
    const std::string dst = "18 17 16 15 14 13 12 11 02";
    const struct {
        std::function<void(ZBIF_HANDLE)> send;
        Strings packets;
    } cases[] = {
        {[&](ZBIF_HANDLE h) { f.ZDO_IEEE_ADDR_request(h, 0x1234, 0, 0); },
         {"A2 01 06 34 12 34 12 00 00"}},
        {[&](ZBIF_HANDLE h) { f.ZDO_NWK_ADDR_request(h, kSrc, 1, 2); },
         {"A2 00 0C FF FF 08 07 06 05 04 03 02 01 01 02"}},
        {[&](ZBIF_HANDLE h) {
             f.ZDO_NODE_DESC_request(h, 0x1234, 0x5678);
             f.ZDO_POWER_DESC_request(h, 0x1234, 0x5678);
             f.ZDO_SIMPLE_DESC_request(h, 0x1234, 0x5678, 8);
             f.ZDO_ACTIVE_EP_DESC_request(h, 0x1234, 0x5678);
             f.ZB_MGMT_LQI_request(h, 0xABCD, 2);
             f.ZDP_MGMT_BIND_Request(h, 0x1234, 3);
         },
         {"A2 02 04 34 12 78 56", "A2 03 04 34 12 78 56", "A2 04 05 34 12 78 56 08",
          "A2 05 04 34 12 78 56", "A2 31 03 CD AB 02", "A2 33 04 34 12 03 00"}},
        {[&](ZBIF_HANDLE h) {
             f.ZDO_MATCH_DESC_request(h, 0x1234, 0x5678, 0x0104, 2, in, 1, outl);
         },
         {"A2 06 0E 34 12 78 56 04 01 02 06 00 08 00 01 00 00"}},
        {[&](ZBIF_HANDLE h) {
             f.APSME_BIND_request(h, kSrc, 1, 0x0006, kDst, 2);
             f.ZDP_BIND_request(h, 0x1234, kSrc, 1, 0x0006, kDst, 2);
             f.ZDP_UNBIND_request(h, 0x1234, kSrc, 1, 0x0006, kDst, 2);
             f.APSME_UNBIND_request(h, kSrc, 1, 0x0006, kDst, 2);
         },
         {"99 00 15 " + body + " 03 " + dst, "A2 21 17 34 12 " + body + " 03 " + dst,
          "A2 22 17 34 12 " + body + " 03 " + dst, "99 09 15 " + body + " 00 " + dst}},
        {[&](ZBIF_HANDLE h) {
             f.APSDE_DATA_request(h, 2, shortDst, 1, 0x0104, 0x0006, 1, 3, asdu, 0, 0xFF);
             f.APSDE_DATA_request(h, 3, kDst, 8, 0x0104, 0x0006, 8, 1, one, 0x04, 5);
         },
         {"9C 00 15 02 00 00 00 00 00 00 00 00 01 04 01 06 00 01 00 AA BB CC 00 00",
          "9C 00 13 03 11 12 13 14 15 16 17 18 08 04 01 06 00 08 00 01 04 05"}},
        {[&](ZBIF_HANDLE h) {
             f.ZDP_MGMT_NWK_UPDATE_request(h, 0x07FFF800, 0xFE);
             f.ZDP_MGMT_NWK_UPDATE_request(h, 0x07FFF800, 0xFE);
             f.ZDP_MGMT_NWK_UPDATE_request(h, 0x00000800, 3);
             f.ZDP_MGMT_NWK_UPDATE_request(h, 0x00000800, 6);  // refused
         },
         {"A2 38 08 FD FF 00 F8 FF 07 FE 00", "A2 38 08 FD FF 00 F8 FF 07 FE 01",
          "A2 38 08 FD FF 00 08 00 00 03 01"}},
        {[&](ZBIF_HANDLE h) {
             f.APSME_GET_request(h, 0x80);
             f.APSME_GET_request(h, 0xED);
             f.APSME_GET_request(h, 0xC3);
         },
         {"A3 20 04 80 00 00 00", "A3 D2 00", "A3 12 00"}},
    };
    for (const auto& c : cases) {
        FakeLink one;
        c.send(one.h());
        EXPECT_EQ(c.packets, one.sentHex());
    }
    EXPECT_EQ(0xC3, fsState.attr_prev);
}

TEST_F(FreescaleEncoder, MatchDescriptorTooLongForOneFrameIsRefused) {
    std::vector<ushort> clusters(130, 0x0006);
    testing::internal::CaptureStderr();
    f.ZDO_MATCH_DESC_request(link.h(), 0, 0, 0x0104, 61, clusters.data(), 61, clusters.data());
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(zbtest::sentPackets().empty());
    EXPECT_NE(std::string::npos, err.find("exceeds the frame limit"));
    // 121 clusters make exactly 250 payload bytes: accepted.
    f.ZDO_MATCH_DESC_request(link.h(), 0, 0, 0x0104, 61, clusters.data(), 60, clusters.data());
    ASSERT_EQ(1u, zbtest::sentPackets().size());
    EXPECT_EQ(250, zbtest::sentPackets()[0][2]);
    EXPECT_EQ(253u, zbtest::sentPackets()[0].size());
}

TEST_F(FreescaleEncoder, EndDeviceBind) {
    ushort in[1] = {0x0006};
    f.ZDO_END_DEVICE_BIND_request(link.h(), 0x0000, kSrc, 1, 0x0104, 1, in, 0, nullptr);
    EXPECT_EQ(Strings{"A2 20 11 00 00 08 07 06 05 04 03 02 01 01 04 01 01 06 00 00"},
              link.sentHex());
    std::vector<ushort> many(130, 1);
    testing::internal::CaptureStderr();
    f.ZDO_END_DEVICE_BIND_request(link.h(), 0, kSrc, 1, 0x0104, 60, many.data(), 58, many.data());
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(1u, zbtest::sentPackets().size());
}

TEST_F(FreescaleEncoder, DataRequestPermitJoiningBecomesZdpCommand) {
    uchar dst[2] = {0xFF, 0xFF};
    uchar asdu[3] = {0x00, 0x3C, 0x01};
    f.APSDE_DATA_request(link.h(), 2, dst, 0, 0, 0x0036, 0, 3, asdu, 0, 0);
    EXPECT_EQ(Strings{"A2 36 04 FC FF 3C 01"}, link.sentHex());
    uchar one[2] = {0x34, 0x12};
    f.APSDE_DATA_request(link.h(), 2, one, 0, 0, 0x0036, 0, 3, asdu, 0, 0);
    EXPECT_EQ("A2 36 04 34 12 3C 01", link.sentHex().back());
}

TEST_F(FreescaleEncoder, DataRequestLeaveAlsoClearsTheKeyPair) {
    uchar dst[2] = {0x34, 0x12};
    uchar asdu[10] = {0x00, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28, 0x00};
    f.APSDE_DATA_request(link.h(), 2, dst, 0, 0, 0x0034, 0, 10, asdu, 0, 0);
    Strings sent = link.sentHex();
    ASSERT_EQ(2u, sent.size());
    EXPECT_EQ(0x9C, zbtest::sentPackets()[0][0]);
    EXPECT_EQ("A3 3F 08 21 22 23 24 25 26 27 28", sent[1]);
}

// The module's supervision is told only of the packets the module answers itself, whatever
// the radio does: data requests (the data confirm) and attribute reads. Device-profile
// requests, the permit joining a data request becomes among them, wait for a remote node.
TEST_F(FreescaleEncoder, OnlyPacketsTheModuleAnswersItselfAreToldAsTheyGoOut) {
    ZBIFCbs_t cbs = zbtest::recordingCbs();
    static std::vector<size_t> told;  // the index of the packet about to be written
    told.clear();
    cbs.ZB_MODULE_REQUEST_indication = [](ZBIF_HANDLE) {
        told.push_back(zbtest::sentPackets().size());
    };
    FakeLink supervised(&cbs);
    ZBIF_HANDLE h = supervised.h();
    uchar dst[2] = {0x01, 0x11};
    uchar zcl[3] = {0x01, 0x00, 0x02};
    uchar join[3] = {0x03, 0x1E, 0x01};
    uchar leave[10] = {0x00, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28, 0x00};
    f.APSDE_DATA_request(h, 2, dst, 1, 0x0104, 0x0006, 8, 3, zcl, 0, 10);
    f.APSDE_DATA_request(h, 3, kDst, 1, 0x0104, 0x0006, 8, 3, zcl, 0, 10);
    f.APSDE_DATA_request(h, 2, dst, 0, 0, 0x0036, 0, 3, join, 0, 0xFF);
    f.APSDE_DATA_request(h, 2, dst, 0, 0, 0x0034, 0, 10, leave, 0, 0xFF);
    f.APSDE_DATA_request(h, 1, dst, 1, 0x0104, 0x0006, 8, 3, zcl, 0, 10);  // not sent at all
    f.APSME_GET_request(h, 0xC3);
    f.APSME_GET_request(h, 0xED);
    f.APSME_GET_request(h, 0x91);
    f.ZDO_NODE_DESC_request(h, 0x1101, 0x1101);
    f.ZDO_POWER_DESC_request(h, 0x1101, 0x1101);
    f.ZDO_ACTIVE_EP_DESC_request(h, 0x1101, 0x1101);
    f.ZDO_IEEE_ADDR_request(h, 0x1101, 1, 0);
    f.ZB_MGMT_LQI_request(h, 0x1101, 0);
    f.ZDP_BIND_request(h, 0x1101, kSrc, 1, 0x0006, kDst, 8);
    f.ZDP_MGMT_BIND_Request(h, 0x1101, 0);
    Strings toldPackets;
    for (size_t i : told) {
        ASSERT_LT(i, zbtest::sentPackets().size());
        toldPackets.push_back(zbtest::hex(zbtest::sentPackets()[i]).substr(0, 5));
    }
    EXPECT_EQ((Strings{"9C 00", "9C 00", "9C 00", "A3 12", "A3 D2", "A3 20"}), toldPackets);
    EXPECT_EQ(15u, zbtest::sentPackets().size());  // with A2 36, A3 3F and the A2 requests
}

TEST_F(FreescaleEncoder, DataRequestRefusals) {
    uchar dst[2] = {0x00, 0x00};
    std::vector<uchar> asdu(255, 0x55);
    testing::internal::CaptureStderr();
    f.APSDE_DATA_request(link.h(), 2, dst, 1, 0x0104, 6, 1, 233, asdu.data(), 0, 0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(zbtest::sentPackets().empty());
    EXPECT_NE(std::string::npos, err.find("APSDE_DATA_request - ERROR: payload of 251 bytes"));
    f.APSDE_DATA_request(link.h(), 1, dst, 1, 0x0104, 6, 1, 3, asdu.data(), 0, 0);
    EXPECT_TRUE(zbtest::sentPackets().empty());
    f.APSDE_DATA_request(link.h(), 2, dst, 1, 0x0104, 6, 1, 232, asdu.data(), 0, 0);
    ASSERT_EQ(1u, zbtest::sentPackets().size());
    EXPECT_EQ(250, zbtest::sentPackets()[0][2]);
}

TEST_F(FreescaleEncoder, ResetWithoutTheResetBitConfirmsAtOnce) {
    f.ZDO_RESET_request(link.h(), 0x01);
    EXPECT_TRUE(zbtest::sentPackets().empty());
    EXPECT_EQ(Strings{"ZDO_RESET_confirm 00 01"}, calls());
}

TEST_F(FreescaleEncoder, ResetSendsTheCoprocessorResetAndLoadsDefaults) {
    f.ZDO_RESET_request(link.h(), 0x04 | 0x02 | 0x10);
    EXPECT_EQ(Strings{"A3 08 00"}, link.sentHex());
    EXPECT_TRUE(calls().empty());
    EXPECT_EQ(0x0000, fsState.sasAttr.ShortAddress);
    EXPECT_EQ(0xFFFF, fsState.sasAttr.PANId);
    EXPECT_EQ(3600, fsState.sasAttr.MaximumRejoinInterval);
    EXPECT_EQ(0xAA, fsState.sasAttr.TrustCenterAddress[7]);
    f.ZDO_RESET_request(link.h(), 0x04);
    EXPECT_EQ(0xFFFF, fsState.sasAttr.ShortAddress);
}

TEST_F(FreescaleEncoder, StartNetworkBytesFollowDeviceTypeAndResetFlags) {
    f.ZDO_START_request(link.h());
    EXPECT_EQ(1, link.handle.state);
    uchar coordinator[10] = {0x01};
    f.APSME_SET_request(link.h(), 0xF0, 10, coordinator);
    f.ZDO_RESET_request(link.h(), 0x04 | 0x02 | 0x10);
    f.ZDO_START_request(link.h());
    uchar router[1] = {0x02};
    f.APSME_SET_request(link.h(), 0xF0, 1, router);
    f.ZDO_RESET_request(link.h(), 0x04);
    f.ZDO_START_request(link.h());
    EXPECT_EQ((Strings{"A3 E7 03 00 00 00", "A3 08 00", "A3 E7 03 C0 18 04", "A3 08 00",
                       "A3 E7 03 80 00 00"}),
              link.sentHex());
}

TEST_F(FreescaleEncoder, SetsThatConfirmAtOnce) {
    uchar v16[16];
    for (int i = 0; i < 16; i++) {
        v16[i] = static_cast<uchar>(i + 1);
    }
    uchar pan[2] = {0x34, 0x12};
    uchar one[1] = {5};
    uchar epid[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    f.APSME_SET_request(link.h(), 0x05, 1, one);
    f.APSME_SET_request(link.h(), 0x06, 1, one);
    f.APSME_SET_request(link.h(), 0x00, 1, one);
    f.APSME_SET_request(link.h(), 0xFF, 2, pan);
    f.APSME_SET_request(link.h(), 0xFE, 8, epid);
    f.APSME_SET_request(link.h(), 0xFD, 1, one);
    f.APSME_SET_request(link.h(), 0xE0, 1, one);
    f.APSME_SET_request(link.h(), 0x1E, 2, one);
    f.APSME_SET_request(link.h(), 0x07, 16, v16);
    f.APSME_SET_request(link.h(), 0x08, 16, v16);
    EXPECT_TRUE(zbtest::sentPackets().empty());
    EXPECT_EQ(
        (Strings{"APSME_SET_confirm 00 05", "APSME_SET_confirm 00 06", "APSME_SET_confirm 00 00",
                 "APSME_SET_confirm 00 FF", "APSME_SET_confirm 00 FE", "APSME_SET_confirm 00 FD",
                 "APSME_SET_confirm 00 E0", "APSME_SET_confirm 00 1E", "APSME_SET_confirm 00 07",
                 "APSME_SET_confirm 00 08"}),
        calls());
    EXPECT_EQ(0x1234, fsState.sasAttr.PANId);
    EXPECT_EQ(8, fsState.sasAttr.ExtendedPANId[7]);
    EXPECT_EQ(5, fsState.sasAttr.StartupControl);
    EXPECT_EQ(5, fsState.selectedSecLevel);
    EXPECT_EQ(5, fsState.TCLinkKeyTableSize);
    EXPECT_EQ(16, fsState.sasAttr.PreconfiguredTrustCenterLinkKey[0]);
    EXPECT_EQ(1, fsState.sasAttr.NetworkKey[15]);
}

TEST_F(FreescaleEncoder, SetsWithWrongLengthsSendAndConfirmNothing) {
    uchar v[8] = {0};
    f.APSME_SET_request(link.h(), 0xFE, 7, v);
    f.APSME_SET_request(link.h(), 0xFF, 3, v);
    f.APSME_SET_request(link.h(), 0xE0, 2, v);
    f.APSME_SET_request(link.h(), 0x07, 8, v);
    f.APSME_SET_request(link.h(), 0x08, 15, v);
    EXPECT_TRUE(zbtest::sentPackets().empty());
    EXPECT_TRUE(calls().empty());
}

TEST_F(FreescaleEncoder, GenericAndFragmentationSets) {
    uchar v[2] = {0xAA, 0xBB};
    f.APSME_SET_request(link.h(), 0x80, 2, v);
    f.APSME_SET_request(link.h(), 0x1C, 2, v);
    f.APSME_SET_request(link.h(), 0x1D, 2, v);
    f.APSME_SET_request(link.h(), 0x1C, 1, v);
    f.APSME_SET_request(link.h(), 0xEE, 3, v);
    EXPECT_EQ((Strings{"A3 21 06 80 00 00 00 AA BB", "A3 21 05 CD 00 00 00 AA",
                       "A3 21 05 C9 00 00 00 AA", "A3 21 00", "A3 21 00"}),
              link.sentHex());
    EXPECT_TRUE(calls().empty());
    std::vector<uchar> big(255, 1);
    testing::internal::CaptureStderr();
    f.APSME_SET_request(link.h(), 0x80, 247, big.data());
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(5u, zbtest::sentPackets().size());
}

TEST_F(FreescaleEncoder, SimpleDescriptorIsReorderedForTheModule) {
    // endpoint, profile, device id, version, in count, out count, in clusters, out clusters
    uchar v[14] = {0x08, 0x04, 0x01, 0x01, 0x00, 0x00, 2, 1, 0x06, 0x00, 0x08, 0x00, 0x19, 0x00};
    f.APSME_SET_request(link.h(), 0xEF, 14, v);
    EXPECT_EQ(Strings{"A3 0B 0F 08 04 01 01 00 00 02 06 00 08 00 01 19 00 01"}, link.sentHex());
    EXPECT_EQ(0xEF, fsState.attr_prev);
    // A value shorter than its input clusters is refused.
    testing::internal::CaptureStderr();
    uchar shortv[9] = {0x08, 0x04, 0x01, 0x01, 0x00, 0x00, 3, 0, 0x06};
    f.APSME_SET_request(link.h(), 0xEF, 9, shortv);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(1u, zbtest::sentPackets().size());
}

TEST_F(FreescaleEncoder, ChannelMaskWritesTheStartupAttributeSet) {
    f.ZDO_RESET_request(link.h(), 0x04);
    zbtest::sentPackets().clear();
    uchar mask[4] = {0x00, 0x08, 0x00, 0x00};  // channel 11
    f.APSME_SET_request(link.h(), 0xEE, 4, mask);
    EXPECT_TRUE(calls().empty());  // the module's answer drives the confirm
    ASSERT_EQ(1u, zbtest::sentPackets().size());
    const Bytes& p = zbtest::sentPackets()[0];
    ASSERT_EQ(104u, p.size());
    EXPECT_EQ(0x50, p[0]);
    EXPECT_EQ(0x01, p[1]);
    EXPECT_EQ(101, p[2]);
    EXPECT_EQ("FF FF", zbtest::hex(&p[3], 2));       // short address
    EXPECT_EQ("FF FF", zbtest::hex(&p[3 + 18], 2));  // PAN id
    EXPECT_EQ("00 08 00 00", zbtest::hex(&p[3 + 20], 4));
    EXPECT_EQ("02 02 00", zbtest::hex(&p[3 + 24], 3));
    EXPECT_EQ(0xAA, p[3 + 27]);
    EXPECT_EQ(1, p[3 + 67]);  // insecure join
    EXPECT_EQ(1, p[3 + 85]);  // network key type
    EXPECT_EQ("03 64 00 02 00 10 0E B8 0B 02 00 05 00", zbtest::hex(&p[3 + 89 - 1], 13));
    // The confirm of the write reports the channel mask attribute.
    link.feed({0x50, 0x04, 0x01, 0x00});
    EXPECT_EQ(std::vector<std::string>{"APSME_SET_confirm 00 EE"}, calls());
}

TEST_F(FreescaleEncoder, LinkKeyRowsAreStoredAndLoadedOneByOne) {
    uchar size[1] = {2};
    f.APSME_SET_request(link.h(), 0x1E, 1, size);
    for (uchar row = 0; row < 2; row++) {
        uchar v[26] = {row};
        for (int i = 1; i < 26; i++) {
            v[i] = static_cast<uchar>(0x10 * row + i);
        }
        f.APSME_SET_request(link.h(), 0x72, 26, v);
    }
    uchar bad[26] = {9};
    testing::internal::CaptureStderr();
    f.APSME_SET_request(link.h(), 0x72, 26, bad);
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find("row 9"));
    EXPECT_EQ((std::vector<std::string>{"APSME_SET_confirm 00 1E", "APSME_SET_confirm 00 72",
                                        "APSME_SET_confirm 00 72"}),
              calls());
    EXPECT_TRUE(zbtest::sentPackets().empty());

    fsState.indexTCLinkKey = 0;
    initializeTCLinkKeyTable(link.h());
    link.feed({0xA4, 0x3E, 0x01, 0x00});
    link.feed({0xA4, 0x3E, 0x01, 0x00});
    std::vector<std::string> sent = link.sentHex();
    ASSERT_EQ(3u, sent.size());
    EXPECT_EQ("A3 3E 19 01 02 03 04 05 06 07 08 03 0A 0B 0C 0D 0E 0F 10 11 12 13 14 15 16 17 18 19",
              sent[0]);
    EXPECT_EQ(0x11, zbtest::sentPackets()[1][3]);
    EXPECT_EQ(0x03, zbtest::sentPackets()[1][11]);
    EXPECT_EQ("A3 22 04 A1 00 01 00", sent[2]);
}

TEST_F(FreescaleEncoder, UnimplementedSlotsPrintAndSendNothing) {
    f.ZDO_MATCH_DESC_response(link.h(), 0, 0, 0, nullptr);
    f.ZDO_ERROR_response(link.h(), 0, 0, 0);
    f.MGMT_PERMIT_JOINING_request(link.h(), 0xFFFC, 60);
    EXPECT_EQ(nullptr, f.ZIGBEE_request);
    EXPECT_TRUE(zbtest::sentPackets().empty());
    std::string printed = testing::internal::GetCapturedStdout();
    testing::internal::CaptureStdout();
    EXPECT_NE(std::string::npos, printed.find("NOT YET IMPLEMENTED: "));
    EXPECT_NE(std::string::npos,
              printed.find("FREESCALE_MGMT_PERMIT_JOINING_request - NOT implemented"));
}

TEST_F(FreescaleEncoder, DumpsUseTheTableLabels) {
    f.ZDO_NODE_DESC_request(link.h(), 0x1234, 0x5678);
    std::string printed = testing::internal::GetCapturedStdout();
    testing::internal::CaptureStdout();
    EXPECT_NE(std::string::npos, printed.find("ZDO_NODE_DESC-> > A2 02 04 34 12 78 56 \n"));
    EXPECT_NE(std::string::npos, printed.find("[zb_conn write] > A2 02 04 34 12 78 56 \n"));
}
