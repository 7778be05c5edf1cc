// CZbIf: the trampolines route each callback slot to its virtual operation; data confirms end
// there; the end-device-bind confirm only warns; requests go to the back-end's table.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CZbIf.h"
#include "support/ZigbeeTestSupport.h"

using zbtest::FakeLink;

namespace {

class RecordingZbIf : public CZbIf {
  public:
    std::vector<std::string> seen;

    void ZDO_RESET_confirm(uchar s, uchar r) override {
        seen.push_back("reset " + std::to_string(s) + " " + std::to_string(r));
    }
    void ZDO_START_confirm(uchar s, ushort n) override {
        seen.push_back("start " + std::to_string(s) + " " + std::to_string(n));
    }
    void ZDO_NWK_ADDR_confirm(uchar s, uchar*, ushort n, uchar, uchar, ushort*) override {
        seen.push_back("nwkaddr " + std::to_string(s) + " " + std::to_string(n));
    }
    void ZDO_POWER_DESC_confirm(uchar s, ushort n, ZB_POWER_DESC*) override {
        seen.push_back("power " + std::to_string(s) + " " + std::to_string(n));
    }
    void ZDO_SIMPLE_DESC_confirm(uchar s, ushort n, ZB_SIMPLE_DESC*) override {
        seen.push_back("simple " + std::to_string(s) + " " + std::to_string(n));
    }
    void ZDO_END_DEVICE_BIND_confirm(uchar) override { seen.push_back("edb"); }
    void APSDE_DATA_confirm(uchar, uchar*, uchar, uchar, uchar) override {
        seen.push_back("dataconfirm");
    }
    void APSDE_DATA_indication(uchar, uchar*, uchar, uchar, uchar*, uchar, ushort, ushort c,
                               ushort n, uchar*, uchar, uchar) override {
        seen.push_back("data " + std::to_string(c) + " " + std::to_string(n));
    }
    void ZDO_DEVICE_ANNCE_indication(ushort n, uchar*, uchar) override {
        seen.push_back("annce " + std::to_string(n));
    }
    void ZDP_MGMT_BIND_Response(uchar s, ushort, ushort, ushort c, ZB_BIND_STRUCT*) override {
        seen.push_back("bindtable " + std::to_string(s) + " " + std::to_string(c));
    }
    void APSME_SET_confirm(uchar s, uchar a) override {
        seen.push_back("set " + std::to_string(s) + " " + std::to_string(a));
    }
    void ZB_LINK_LOST_indication(int e) override { seen.push_back("lost " + std::to_string(e)); }
    void moduleRequestSent() override { seen.push_back("module request"); }
    void moduleHeard() override { seen.push_back("module heard"); }
};

class CZbIfTrampolines : public ::testing::Test {
  protected:
    void SetUp() override {
        testing::internal::CaptureStdout();
        link.handle.hh = &obj;
    }
    void TearDown() override { testing::internal::GetCapturedStdout(); }
    std::string printed() {
        std::string s = testing::internal::GetCapturedStdout();
        testing::internal::CaptureStdout();
        return s;
    }
    RecordingZbIf obj;
    FakeLink link{CZbIf::trampolines()};
};

}  // namespace

TEST_F(CZbIfTrampolines, ConfirmsReachTheVirtualOperations) {
    const ZBIFCbs_t* t = CZbIf::trampolines();
    t->ZDO_RESET_confirm(link.h(), 0, 1);
    t->ZDO_START_confirm(link.h(), 0, 0x1234);
    t->ZDO_NWK_ADDR_confirm(link.h(), 0, nullptr, 7, 0, 0, nullptr);
    t->ZDO_POWER_DESC_confirm(link.h(), 0, 8, nullptr);
    t->ZDO_SIMPLE_DESC_confirm(link.h(), 0, 9, nullptr);
    t->APSME_SET_confirm(link.h(), 0, 0xEE);
    t->ZB_LINK_LOST_indication(link.h(), 5);
    t->ZB_MODULE_REQUEST_indication(link.h());
    t->ZB_MODULE_HEARD_indication(link.h());
    EXPECT_EQ((std::vector<std::string>{"reset 0 1", "start 0 4660", "nwkaddr 0 7", "power 0 8",
                                        "simple 0 9", "set 0 238", "lost 5", "module request",
                                        "module heard"}),
              obj.seen);
}

TEST_F(CZbIfTrampolines, PacketsFromTheDecoderReachTheObject) {
    link.feed({0xA0, 0xB3, 0x04, 0x00, 0x00, 0x00, 0x00});
    link.feed({0xA0, 0x83, 0x05, 0x00, 0x34, 0x12, 0x10, 0xC1});
    link.feed({0x9D, 0x01, 0x10, 0x02, 0x00, 0x00, 0x08, 0x02, 0x34, 0x12, 0x08, 0x04, 0x01, 0x06,
               0x00, 0x00, 0x00, 0x00, 0x00});
    EXPECT_EQ((std::vector<std::string>{"bindtable 0 0", "power 0 4660", "data 6 0"}), obj.seen);
}

TEST_F(CZbIfTrampolines, DataConfirmProducesNoCall) {
    link.feed({0x9D, 0x00, 0x0C, 0x02, 0x34, 0x12, 0, 0, 0, 0, 0, 0, 0x08, 0x01, 0x00});
    EXPECT_TRUE(obj.seen.empty());
}

TEST_F(CZbIfTrampolines, EndDeviceBindConfirmWarnsEvenWhenOverridden) {
    link.feed({0xA0, 0xA0, 0x01, 0x00});
    EXPECT_TRUE(obj.seen.empty());
    EXPECT_NE(std::string::npos,
              printed().find("WARNING: CZbIf::ZDO_END_DEVICE_BIND_confirm not overrided"));
}

TEST_F(CZbIfTrampolines, BaseOperationsWarnOrStayQuiet) {
    CZbIf base;
    base.ZDO_RESET_confirm(0, 0);
    base.APSDE_DATA_confirm(0, nullptr, 0, 0, 0);
    base.APSDE_DATA_indication(0, nullptr, 0, 0, nullptr, 0, 0, 0, 0, nullptr, 0, 0);
    std::string out = printed();
    EXPECT_NE(std::string::npos, out.find("WARNING: CZbIf::ZDO_RESET_confirm not overrided\n"));
    EXPECT_NE(std::string::npos, out.find("WARNING: CZbIf::APSME_DATA_confirm not overrided\n"));
    EXPECT_NE(std::string::npos, out.find("WARNING: CZbIf::APSME_DATA_indication not overrided\n"));
    base.ZDO_DEVICE_ANNCE_indication(0, nullptr, 0);
    base.ZIGBEE_STACK_STATUS_indication(0x91);
    EXPECT_EQ("", printed());
}

TEST_F(CZbIfTrampolines, UnconnectedObject) {
    CZbIf base;
    EXPECT_EQ(0, base.ZBIFDisconnect());
    EXPECT_EQ(nullptr, base.getHandle());
    EXPECT_NE(0, base.getLinkError());
    testing::internal::CaptureStderr();
    base.ZDO_START_request();
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find("not connected"));
    EXPECT_TRUE(zbtest::sentPackets().empty());
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, base.ZBIFConnect("zigbee:///dev/ttyUSB0?dongle=ezsp"));
    testing::internal::GetCapturedStderr();
}

TEST(CZbIfDeath, NullHandleStopsTheProcess) {
    EXPECT_DEATH(CZbIf::trampolines()->ZDO_START_confirm(nullptr, 0, 0), "assertion");
}
