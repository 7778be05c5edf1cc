// Status texts, address texts, descriptor helpers and record layouts of the stack interface.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "zigbee.h"

TEST(ZigbeeUtils, TextsOfStatusesAddressesAndFlags) {
    // The edges of the known ranges; codes between them have no text.
    EXPECT_STREQ("ZB_SUCCESS", status2a(0xD0));
    EXPECT_STREQ("ZB_ZDO_INV_REQUESTTYPE", status2a(0x80));
    EXPECT_STREQ("ZB_NWK_FRAME_NOT_BUFFERED", status2a(0xD3));
    for (uchar unknown : {0x01, 0x89, 0xD4, 0xFF}) {
        EXPECT_STREQ("Unknown error code", status2a(unknown));
    }
    const uchar ieee[8] = {0xAB, 0xCD, 0xEF, 0x01, 0x23, 0x45, 0x67, 0x89};
    EXPECT_STREQ("AB:CD:EF:01:23:45:67:89", ieee_addr2a(ieee));
    EXPECT_STREQ("true", bool2a(7));
    EXPECT_STREQ("false", bool2a(0));
}

TEST(ZigbeeUtils, TextBuffersAreSeparatePerThread) {
    // Each thread keeps its own result while another thread formats a different one.
    auto formatRepeatedly = [](uchar code, const std::string& want, std::string* last) {
        for (int i = 0; i < 2000; i++) {
            *last = status2a(code);
            if (*last != want) {
                break;
            }
        }
    };
    std::string a;
    std::string b;
    std::thread t1(formatRepeatedly, 0xC4, "ZB_NWK_STARTUP_FAILURE", &a);
    std::thread t2(formatRepeatedly, 0x86, "ZB_ZDO_NO_MATCH", &b);
    t1.join();
    t2.join();
    EXPECT_EQ("ZB_NWK_STARTUP_FAILURE", a);
    EXPECT_EQ("ZB_ZDO_NO_MATCH", b);
}

TEST(ZigbeeUtils, SwapBytesAndBitFieldLayouts) {
    uchar odd[3] = {1, 2, 3};
    swap_bytes(odd, 3);
    EXPECT_EQ(0, memcmp(odd, "\x03\x02\x01", 3));

    ZB_NODE_DESC nd;
    ZB_Init_NODE_DESC(&nd);
    nd.logical_type = 2;
    nd.complx_desc_avail = 1;
    nd.aps_flags = 5;
    nd.freq_band = 8;
    nd.manifact_code = 0x1234;
    const uchar* raw = reinterpret_cast<const uchar*>(&nd);
    EXPECT_EQ(0x0A, raw[0]);          // bits 0-2 logical type, bit 3 complex descriptor
    EXPECT_EQ((8 << 3) | 5, raw[1]);  // bits 0-2 APS flags, bits 3-7 frequency band
    EXPECT_EQ(0x34, raw[3]);
    EXPECT_EQ(0x12, raw[4]);

    ZB_POWER_DESC pd;
    memset(&pd, 0, sizeof(pd));
    pd.curr_pw_mode = 1;
    pd.avail_pw_src = 4;
    pd.curr_pw_src = 2;
    pd.curr_pw_src_level = 12;
    raw = reinterpret_cast<const uchar*>(&pd);
    EXPECT_EQ(0x41, raw[0]);
    EXPECT_EQ(0xC2, raw[1]);
}

TEST(ZigbeeUtils, SimpleDescriptorCopyOwnsItsLists) {
    ZB_SIMPLE_DESC src;
    ZB_Init_SIMPLE_DESC(&src);
    EXPECT_EQ(nullptr, src.app_in_cluster_list);
    ushort in[2] = {0x0006, 0x0008};
    ushort out[1] = {0x0019};
    src.ep = 8;
    src.app_profile_id = 0x0104;
    src.app_device_id = 0x0100;
    src.app_device_ver = 3;
    src.app_in_cluster_count = 2;
    src.app_in_cluster_list = in;
    src.app_out_cluster_count = 1;
    src.app_out_cluster_list = out;

    ZB_SIMPLE_DESC dst;
    ZB_Init_SIMPLE_DESC(&dst);
    EXPECT_EQ(0, ZB_Copy_SIMPLE_DESC(&dst, &src));
    EXPECT_EQ(8, dst.ep);
    EXPECT_EQ(0x0104, dst.app_profile_id);
    EXPECT_EQ(3, dst.app_device_ver);
    ASSERT_EQ(2, dst.app_in_cluster_count);
    EXPECT_NE(in, dst.app_in_cluster_list);
    EXPECT_EQ(0x0008, dst.app_in_cluster_list[1]);
    ASSERT_EQ(1, dst.app_out_cluster_count);
    EXPECT_EQ(0x0019, dst.app_out_cluster_list[0]);
    // Copying again releases the previous lists (checked by the leak sanitizer).
    EXPECT_EQ(0, ZB_Copy_SIMPLE_DESC(&dst, &src));
    EXPECT_EQ(0, ZB_Free_SIMPLE_DESC(&dst));
    EXPECT_EQ(nullptr, dst.app_in_cluster_list);
    EXPECT_EQ(nullptr, dst.app_out_cluster_list);
}

TEST(ZigbeeUtils, TracePrintersShowStatusTextAndEmptyLists) {
    testing::internal::CaptureStdout();
    ZB_NODE_DESC nd;
    ZB_Init_NODE_DESC(&nd);
    ZBPrint_ZDO_NODE_DESC_confirm(0x81, 0x1234, &nd);
    ZBPrint_ZDO_ACTIVE_EP_DESC_confirm(0, 0x1234, 0, nullptr);
    uchar dst[2] = {0x34, 0x12};
    ZBPrint_APSDE_DATA_request(2, dst, 1, 0x0104, 6, 1, 0, nullptr, 0, 0);
    ZBPrint_APSME_SET_request(0xEE, 4, nullptr);
    ZBPrint_ZDO_START_confirm(0xC4, 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos,
              out.find("ZDO_NODE_DESC_confirm - nwk_addr: 1234 - status ZB_ZDO_DEVICE_NOT_FOUND "
                       "(0x81). Node_desc:\n"));
    EXPECT_NE(std::string::npos, out.find("empty"));
    EXPECT_NE(std::string::npos, out.find("APSDE_DATA_request: DestDddrMode 02, "));
    EXPECT_NE(std::string::npos, out.find("APSME_SET_request - attr:0xee, attr_len:0x04\n"));
    EXPECT_NE(std::string::npos, out.find("\tstatus: ZB_NWK_STARTUP_FAILURE (0xC4)\n"));
}
