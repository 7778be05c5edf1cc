#include <gtest/gtest.h>

#include "CRESTServer.h"

namespace {

class RESTCallbackInfoTest : public ::testing::Test {
  protected:
    void SetUp() override {
        RESTCallbackInfo::now = [this] { return clock; };
    }
    void TearDown() override {
        RESTCallbackInfo::now = [] { return time(nullptr); };
    }
    time_t clock = 1000;
};

TEST_F(RESTCallbackInfoTest, HexadecimalSecondsGiveAnExpiry) {
    RESTCallbackInfo info;
    info.setTimeout("1e");
    EXPECT_TRUE(info.timeoutSet);
    EXPECT_EQ(30u, info.timeout);
    EXPECT_EQ(1030, info.expiry);
    clock = 1030;
    EXPECT_FALSE(info.expired());
    clock = 1031;
    EXPECT_TRUE(info.expired());
    info.setTimeout("0x0A");
    EXPECT_EQ(10u, info.timeout);
}

TEST_F(RESTCallbackInfoTest, ZeroAndAllOnesMeanNoExpiry) {
    RESTCallbackInfo info;
    for (const char* v : {"0", "ffffffff", "FFFFFFFF"}) {
        info.setTimeout(v);
        EXPECT_TRUE(info.timeoutSet) << v;
        EXPECT_EQ(-1, info.expiry) << v;
        clock += 1000000;
        EXPECT_FALSE(info.expired()) << v;
    }
    info.setTimeout("");
    EXPECT_FALSE(info.timeoutSet);
    EXPECT_FALSE(info.expired());
}

TEST_F(RESTCallbackInfoTest, BadValuesThrowAndLeaveTheSettingAlone) {
    RESTCallbackInfo info;
    info.setTimeout("5");
    for (const char* v : {"xyz", "1e ", "-1", "+5", "0x", "100000000", "12g"}) {
        try {
            info.setTimeout(v);
            ADD_FAILURE() << v << " accepted";
        } catch (const RESTException& e) {
            EXPECT_EQ(BAD_PARAMETER, e.eid);
            EXPECT_STREQ("Bad timeout parameter", e.message());
        }
        EXPECT_EQ(5u, info.timeout) << v;
        EXPECT_EQ(1005, info.expiry) << v;
    }
}

}  // namespace
