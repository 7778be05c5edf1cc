// Device URL to parameter list, get_param, and the connection layer's refusals.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "zb_conn.h"
#include "zigbee.h"

namespace {

std::vector<std::string> entries(char** params) {
    std::vector<std::string> out;
    for (int i = 0; params && params[i]; i++) {
        out.emplace_back(params[i]);
    }
    return out;
}

}  // namespace

TEST(ZbConnUrl, PathAndQueryWithoutHost) {
    char** p = zb_url_to_params("zigbee:///dev/ttyUSB0?dongle=freescale");
    ASSERT_NE(nullptr, p);
    EXPECT_EQ((std::vector<std::string>{"path=/dev/ttyUSB0", "dongle=freescale"}), entries(p));
    EXPECT_STREQ("/dev/ttyUSB0", get_param(p, "path"));
    EXPECT_STREQ("freescale", get_param(p, "dongle"));
    EXPECT_EQ(nullptr, get_param(p, "hostname"));
    EXPECT_EQ(nullptr, get_param(p, "speed"));
    zb_free_params(p);
}

TEST(ZbConnUrl, HostPortPathAndSeveralQueryPieces) {
    char** p = zb_url_to_params("zigbee://host:1234/dev/x?dongle=freescale&speed=57600");
    ASSERT_NE(nullptr, p);
    EXPECT_EQ((std::vector<std::string>{"hostname=host", "port=1234", "path=/dev/x",
                                        "dongle=freescale", "speed=57600"}),
              entries(p));
    EXPECT_STREQ("57600", get_param(p, "speed"));
    zb_free_params(p);
}

TEST(ZbConnUrl, ManyQueryPiecesGrowTheList) {
    std::string url = "zigbee:///dev/x?dongle=freescale";
    for (int i = 0; i < 20; i++) {
        url += "&k" + std::to_string(i) + "=v" + std::to_string(i);
    }
    char** p = zb_url_to_params(url.c_str());
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(22u, entries(p).size());
    EXPECT_STREQ("v19", get_param(p, "k19"));
    zb_free_params(p);
}

TEST(ZbConnUrl, SilentFailures) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(nullptr, zb_url_to_params("zigbee:///dev/ttyUSB0"));
    EXPECT_EQ(nullptr, zb_url_to_params("serial:///dev/ttyUSB0?dongle=freescale"));
    EXPECT_EQ(nullptr, zb_url_to_params("zigbeex:///dev/ttyUSB0?dongle=freescale"));
    EXPECT_EQ(nullptr, zb_url_to_params("/dev/ttyUSB0?dongle=freescale"));
    EXPECT_EQ(nullptr, zb_url_to_params(nullptr));
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
}

TEST(ZbConnUrl, QueryPieceWithoutEqualsFailsWithMessage) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(nullptr, zb_url_to_params("zigbee:///dev/x?dongle=freescale&speed"));
    EXPECT_EQ("ERROR: in param=value pairs\n", testing::internal::GetCapturedStderr());
}

TEST(ZbConnParams, GetParamReturnsTheWholeRestAndStopsAtAMalformedEntry) {
    std::string longValue(60, 'v');
    std::string e0 = "path=/dev/a b";
    std::string e1 = "name=" + longValue;
    std::string e2 = "broken";
    std::string e3 = "after=1";
    char* list[] = {e0.data(), e1.data(), e2.data(), e3.data(), nullptr};
    EXPECT_STREQ("/dev/a b", get_param(list, "path"));
    EXPECT_EQ(longValue, get_param(list, "name"));
    EXPECT_EQ(nullptr, get_param(list, "after"));  // the walk ended at "broken"
    EXPECT_EQ(nullptr, get_param(list, "pat"));
    EXPECT_EQ(nullptr, get_param(nullptr, "path"));
}

TEST(ZbConnOpen, RefusesMissingParamsAndDongle) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(nullptr, zb_conn_open(nullptr, nullptr, nullptr));
    EXPECT_EQ("ERROR: params is NULL", testing::internal::GetCapturedStderr());
    std::string path = "path=/dev/null";
    char* list[] = {path.data(), nullptr};
    testing::internal::CaptureStderr();
    EXPECT_EQ(nullptr, zb_conn_open(list, nullptr, nullptr));
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
}

TEST(ZbConnOpen, InvalidBaudRateAndMissingDeviceFail) {
    char** p = zb_url_to_params("zigbee:///dev/null?dongle=freescale&speed=14400");
    testing::internal::CaptureStderr();
    EXPECT_EQ(nullptr, zb_conn_open(p, nullptr, nullptr));
    EXPECT_EQ("Invalid baud rate 14400 bps\n", testing::internal::GetCapturedStderr());
    zb_free_params(p);

    // The open's reason is left in errno for the caller to say; nothing is printed here.
    p = zb_url_to_params("zigbee:///nonexistent/tty?dongle=freescale");
    testing::internal::CaptureStderr();
    errno = 0;
    EXPECT_EQ(nullptr, zb_conn_open(p, nullptr, nullptr));
    EXPECT_EQ(ENOENT, errno);
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
    zb_free_params(p);
}

TEST(ZbifConnect, UriProblemsAreNamed) {
    EXPECT_EQ(nullptr, ZBIFUriProblem("zigbee:///dev/ttyUSB0?dongle=freescale"));
    EXPECT_EQ(nullptr, ZBIFUriProblem("zigbee:///dev/ttyUSB0?speed=9600&dongle=freescale"));
    EXPECT_STREQ("not a device URL", ZBIFUriProblem("/dev/ttyUSB0"));
    EXPECT_STREQ("not a device URL", ZBIFUriProblem("zigbee:///dev/ttyUSB0"));
    EXPECT_STREQ("not a device URL", ZBIFUriProblem(nullptr));
    EXPECT_STREQ("no dongle given", ZBIFUriProblem("zigbee:///dev/ttyUSB0?speed=9600"));
    EXPECT_STREQ("dongle ezsp not supported", ZBIFUriProblem("zigbee:///dev/ttyUSB0?dongle=ezsp"));
    EXPECT_STREQ("no device path", ZBIFUriProblem("zigbee://?dongle=freescale"));
}

TEST(ZbifConnect, DongleErrors) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(nullptr, ZBIFConnect("zigbee:///dev/ttyUSB0?dongle=ezsp", &zbifDefaultCbs, nullptr));
    EXPECT_EQ("ERROR: dongle ezsp not supported\n", testing::internal::GetCapturedStderr());
    testing::internal::CaptureStderr();
    EXPECT_EQ(nullptr, ZBIFConnect("zigbee:///dev/ttyUSB0?speed=9600", &zbifDefaultCbs, nullptr));
    EXPECT_EQ("ERROR: no dongle specified\n", testing::internal::GetCapturedStderr());
    testing::internal::CaptureStderr();
    EXPECT_EQ(nullptr, ZBIFConnect("http://x?dongle=freescale", &zbifDefaultCbs, nullptr));
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
}

TEST(ZbifConnect, DisconnectWithoutConnectionReturnsMinusOne) {
    zbif_status_t handle{};
    EXPECT_EQ(-1, ZBIFDisconnect(&handle));
}

TEST(ZbConnPrint, BytesDumpFormat) {
    testing::internal::CaptureStdout();
    const unsigned char b[3] = {0xA2, 0x02, 0x0F};
    zb_print_bytes("ZDO_NODE_DESC->", b, 3);
    EXPECT_EQ("ZDO_NODE_DESC-> > A2 02 0F \n", testing::internal::GetCapturedStdout());
}
