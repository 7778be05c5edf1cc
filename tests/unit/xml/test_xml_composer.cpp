#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "CMessage.h"
#include "GWManagement.h"
#include "XMLProcessor.h"
#include "ZbNetDb.h"

namespace {

const std::string kDecl = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
const std::string kVersionPrefixed =
    "<tns:Version><orq:VersionIdentifier>1</orq:VersionIdentifier>"
    "<orq:FeatureSetIdentifier>0</orq:FeatureSetIdentifier><orq:RPCProtocol>REST</"
    "orq:RPCProtocol><orq:ManufacturerVersion>5.3.15</orq:ManufacturerVersion></tns:Version>";
const std::string kVersionPlain =
    "<Version><VersionIdentifier>1</VersionIdentifier><FeatureSetIdentifier>0</"
    "FeatureSetIdentifier><RPCProtocol>REST</RPCProtocol><ManufacturerVersion>5.3.15</"
    "ManufacturerVersion></Version>";

bool wellFormed(const std::string& text) {
    tinyxml2::XMLDocument doc;
    return doc.Parse(text.c_str(), text.size()) == tinyxml2::XML_SUCCESS;
}

class ComposerTest : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override { composer.enableNamespaces(GetParam()); }
    // "orq:" / "tns:" with name spaces on, nothing with them off.
    std::string P() const { return GetParam() ? "orq:" : ""; }
    std::string R() const { return GetParam() ? "tns:" : ""; }
    std::string el(const std::string& tag, const std::string& content) const {
        return "<" + tag + ">" + content + "</" + tag + ">";
    }
    std::string p(const std::string& name, const std::string& content) const {
        return el(P() + name, content);
    }
    std::string r(const std::string& name, const std::string& content) const {
        return el(R() + name, content);
    }
    // Fragments are parsed wrapped in a root that binds both prefixes.
    bool fragmentWellFormed(const std::string& fragment) const {
        return wellFormed(std::string("<w xmlns:orq=\"") + ORQ_GATEWAY_SCHEMA_URI +
                          "\" xmlns:tns=\"" + ORQ_REST_SCHEMA_URI + "\">" + fragment + "</w>");
    }

    XMLMsgComposer composer;
};

INSTANTIATE_TEST_SUITE_P(Namespaces, ComposerTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Prefixed" : "Plain";
                         });

TEST(ComposerInfo, VersionDocumentWithNamespaces) {
    XMLMsgComposer composer;
    composer.enableNamespaces(true);
    const std::string doc =
        composer.createSuccessMsg(composer.createVersionMsg().c_str(), nullptr, nullptr);
    EXPECT_EQ(doc, kDecl +
                       "\n<tns:Info xmlns:orq=\"http://www.zigbee.org/GWGSchema\" "
                       "xmlns:tns=\"http://www.zigbee.org/GWGRESTSchema\">\n"
                       "<tns:Status><tns:Code>0</tns:Code></tns:Status><tns:Detail>" +
                       kVersionPrefixed + "</tns:Detail>\n</tns:Info>");
    EXPECT_TRUE(wellFormed(doc));
}

TEST(ComposerInfo, VersionDocumentWithoutNamespaces) {
    XMLMsgComposer composer;
    EXPECT_FALSE(composer.namespacesEnabled());
    const std::string doc =
        composer.createSuccessMsg(composer.createVersionMsg().c_str(), nullptr, nullptr);
    EXPECT_EQ(doc, kDecl + "\n<Info>\n<Status><Code>0</Code></Status><Detail>" + kVersionPlain +
                       "</Detail>\n</Info>");
    EXPECT_EQ(doc.find(':', kDecl.size()), std::string::npos);
    EXPECT_TRUE(wellFormed(doc));
}

TEST(ComposerInfo, EveryOptionalPartInItsPlace) {
    XMLMsgComposer composer;
    composer.enableNamespaces(true);
    const std::string doc = composer.createRestInfoMsg(6, "No message received so far", "<x/>",
                                                       "5f5e1000", "1a", "255");
    const std::string body = doc.substr(doc.find(">\n<tns:Status>") + 2);
    EXPECT_EQ(body,
              "<tns:Status><tns:Code>6</tns:Code><tns:Message>No message received so "
              "far</tns:Message></tns:Status><tns:Detail><x/></tns:Detail>"
              "<tns:RequestIdentifier>5f5e1000</tns:RequestIdentifier>"
              "<tns:EventCallbackIdentifier>26</tns:EventCallbackIdentifier>"
              "<tns:NWKStatus>255</tns:NWKStatus>\n</tns:Info>");
}

TEST(ComposerInfo, ErrorAndSuccessForms) {
    XMLMsgComposer composer;
    EXPECT_EQ(composer.createErrorMsg(2, "Wrong request on resource", nullptr, "0000002a"),
              kDecl +
                  "\n<Info>\n<Status><Code>2</Code><Message>Wrong request on "
                  "resource</Message></Status><RequestIdentifier>0000002a</RequestIdentifier>\n"
                  "</Info>");
    EXPECT_EQ(composer.createSuccessMsg(nullptr, nullptr, "0000002b"),
              kDecl +
                  "\n<Info>\n<Status><Code>0</Code></Status><RequestIdentifier>0000002b</"
                  "RequestIdentifier>\n</Info>");
}

TEST(ComposerInfo, ValuesAreEscapedAndRoundTrip) {
    XMLMsgComposer composer;
    composer.enableNamespaces(true);
    const std::string nasty = "a<b>&c\"d'e";
    const std::string doc = composer.createErrorMsg(4, nasty.c_str(), nullptr, nullptr);
    EXPECT_NE(doc.find("a&lt;b&gt;&amp;c\"d'e"), std::string::npos);
    tinyxml2::XMLDocument parsed;
    ASSERT_EQ(parsed.Parse(doc.c_str()), tinyxml2::XML_SUCCESS);
    const auto* message =
        parsed.RootElement()->FirstChildElement("tns:Status")->FirstChildElement("tns:Message");
    ASSERT_NE(message, nullptr);
    EXPECT_EQ(std::string(message->GetText()), nasty);
}

TEST(ComposerInfo, WellFormedValuesComeOutUnchanged) {
    XMLMsgComposer composer;
    EXPECT_EQ(composer.createGetAttributeMsg("0x1234 abc-_.:/?=%"),
              "<Value>0x1234 abc-_.:/?=%</Value>");
    EXPECT_EQ(XMLMsgComposer::escape("plain text \xC3\xA9\xF0\x9F\x90\x9D"),
              "plain text \xC3\xA9\xF0\x9F\x90\x9D");
}

TEST(ComposerInfo, WhatXmlCannotCarryBecomesQuestionMarks) {
    const struct {
        std::string raw;
        std::string written;
    } cases[] = {
        {"a\x01z", "a?z"},
        {"\xC3\x28\xFF\xFE", "?(??"},  // not UTF-8: one mark per byte
        {"\xED\xA0\x80", "???"},       // an encoded surrogate
        {"\xC0\xAF", "??"},            // overlong
        {"\xE2\x82", "??"},            // cut short
        {"x\xEF\xBF\xBEy", "x?y"},     // U+FFFE, one character
        {std::string("a\0b", 3), "a?b"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(XMLMsgComposer::escape(c.raw), c.written) << c.raw;
    }
}

TEST_P(ComposerTest, SmallFragments) {
    EXPECT_EQ(composer.createGetAttributeMsg("3"), r("Value", "3"));
    EXPECT_EQ(composer.setAttributeMsg(), "");
    EXPECT_EQ(composer.createGenericResponseMsg(), "");
    EXPECT_EQ(composer.createCallbackIdentifierMsg("1a"), r("CallbackIdentifier", "26"));
    EXPECT_EQ(composer.createCallbacksMsg({"1a", "00000002", "ff"}),
              r("Callbacks", p("CallbackIdentifier", "26") + p("CallbackIdentifier", "2") +
                                 p("CallbackIdentifier", "255")));
    EXPECT_EQ(composer.createCallbacksMsg({}), r("Callbacks", ""));
    EXPECT_EQ(composer.createAPSResultMsg(0, 1700000000u),
              r("APSMessageResult", p("ConfirmStatus", "0") + p("TxTime", "1700000000")));
    EXPECT_EQ(composer.createPolledAPSMessage("<e/>"),
              r("PolledMessage", p("AppliedDecodeSpecification", "DecodeMAC") + "<e/>"));
    const int endPoints[3] = {0, 8, 240};
    EXPECT_EQ(composer.createActiveEndPointLocalNodeMsg(3, endPoints),
              r("NodeServices", p("Address", p("NetworkAddress", "0")) +
                                    p("ActiveEndpoints", p("EndPoint", "0")) +
                                    p("ActiveEndpoints", p("EndPoint", "8")) +
                                    p("ActiveEndpoints", p("EndPoint", "240"))));
    SimpleDescriptor sd;
    sd.end_point = 8;
    EXPECT_EQ(composer.createLocalNodeEndpointMsg(0, &sd), r("Endpoint", "8"));
}

TEST_P(ComposerTest, UnprefixedFragmentsIgnoreTheSetting) {
    EXPECT_EQ(composer.createWsncWSNConnEventMsg(8, "http://wsnc:80/l?a=1&b=2", "created"),
              "<WsncWSNConnectionEvent><Endpoint>  8</Endpoint><URIListener>"
              "http://wsnc:80/l?a=1&amp;b=2</URIListener><WSNConnectionStatus>created</"
              "WSNConnectionStatus></WsncWSNConnectionEvent>");
    EXPECT_EQ(composer.createResourceInfoMsg({"requests", "net"}),
              "<Resource><ResourceId>requests</ResourceId></Resource>\n"
              "<Resource><ResourceId>net</ResourceId></Resource>\n");
    EXPECT_EQ(composer.createResourceInfoMsg({}), "");

    GwDescriptor gw;
    gw.setWSNId("wsn & co");
    gw.setGwState(3);
    gw.setErrorCode(0);
    gw.setTimeStamp("2026-12-06T07:00:00+01:00");
    EXPECT_EQ(composer.createGwStatusChangedMsg(&gw),
              "<GWDescriptor><WSNId>wsn &amp; co</WSNId><GWState>03</GWState>"
              "<GWStateDescription>" +
                  gw.getGwStateDescription() +
                  "</GWStateDescription><ErrorCode>00</ErrorCode><ErrorCodeDescription>" +
                  gw.getErrorCodeDescription() +
                  "</ErrorCodeDescription><TimeStamp>2026-12-06T07:00:00+01:00</TimeStamp>"
                  "<FirmwareVersion>5.3.15</FirmwareVersion><NWKDescriptors></NWKDescriptors>"
                  "</GWDescriptor>");
    EXPECT_EQ(gw.getGwStateDescription(), "GW successfully started");
}

// A message as the service agent builds it from a data indication.
std::unique_ptr<Message> receivedMessage() {
    auto msg = std::make_unique<Message>();
    const uint8_t dst[2] = {0x12, 0x34};
    const uint8_t src[8] = {0x00, 0x0D, 0x6F, 0x00, 0x00, 0x00, 0x00, 0x01};
    const uint8_t payload[2] = {0x01, 0xAB};
    msg->setDstAddrMode(2);
    msg->setDstAddr(dst);
    msg->setDstEp(8);
    msg->setSrcAddrMode(3);
    msg->setSrcAddr(src);
    msg->setSrcEp(0x0A);
    msg->setProfileId(0x0104);
    msg->setClusterId(0x0006);
    msg->setPayload(payload, 2);
    msg->setMsgId(17);
    return msg;
}

TEST_P(ComposerTest, ReceivedMessageEvent) {
    auto msg = receivedMessage();
    const long before = static_cast<long>(std::time(nullptr));
    const std::string out = composer.createRXMessageMsg(msg.get());
    const long after = static_cast<long>(std::time(nullptr));
    const std::string head =
        "<" + R() + "APSMessageEvent>" + p("DestinationAddressMode", "2") +
        p("DestinationAddress", p("NetworkAddress", "4660")) + p("DestinationEndpoint", "8") +
        p("SourceAddressMode", "3") + p("SourceAddress", p("IeeeAddress", "3781220487921665")) +
        p("SourceEndpoint", "10") + p("ProfileID", "260") + p("ClusterID", "6") +
        p("Data", "01ab") + p("APSStatus", "0") + p("SecurityStatus", "SecuredNwkKey") +
        p("LinkQuality", "255") + "<" + P() + "RxTime>";
    ASSERT_EQ(out.substr(0, head.size()), head);
    const std::string tail = "</" + P() + "RxTime></" + R() + "APSMessageEvent>";
    ASSERT_GT(out.size(), head.size() + tail.size());
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
    const long rxTime = std::stol(out.substr(head.size(), out.size() - head.size() - tail.size()));
    EXPECT_GE(rxTime, before);
    EXPECT_LE(rxTime, after);
    EXPECT_TRUE(fragmentWellFormed(out));
}

TEST_P(ComposerTest, AddressOfAnotherModeIsAnEmptyElement) {
    Message msg;
    msg.setDstAddrMode(0);
    msg.setDstAddr(nullptr);
    const std::string out = composer.createRXMessageMsg(&msg);
    EXPECT_NE(out.find(p("DestinationAddress", "")), std::string::npos);
    EXPECT_NE(out.find(p("SourceAddress", "")), std::string::npos);
    EXPECT_NE(out.find(p("Data", "")), std::string::npos);
}

TEST_P(ComposerTest, SecondMessageFormat) {
    auto msg = receivedMessage();
    EXPECT_EQ(composer.createRXMessageMsg_BC(msg.get()),
              kDecl +
                  "<Message><RXMessage><SourceURL>zigbee://000D6F0000000001:0A</SourceURL>"
                  "<DestinationURL>zigbee://3412:08</DestinationURL><ProfileId>104</ProfileId>"
                  "<ClusterId>06</ClusterId><MsgId>17</MsgId><Payload>01AB</Payload>"
                  "</RXMessage></Message>");
}

TEST_P(ComposerTest, NullMessageGivesNothing) {
    EXPECT_EQ(composer.createRXMessageMsg(nullptr), "");
    EXPECT_EQ(composer.createRXMessageMsg_BC(nullptr), "");
    EXPECT_EQ(composer.createZCLMessage(0, 0, nullptr), "");
    EXPECT_EQ(composer.createZDPMessage(0, 0, nullptr), "");
}

TEST_P(ComposerTest, ZCLMessageSplitsTheSixByteHeader) {
    Message msg;
    const uint8_t src[2] = {0xAB, 0xCD};
    const uint8_t payload[8] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
    msg.setSrcAddrMode(2);
    msg.setSrcAddr(src);
    msg.setDstEp(1);
    msg.setSrcEp(2);
    msg.setProfileId(260);
    msg.setClusterId(6);
    msg.setPayload(payload, 8);
    EXPECT_EQ(composer.createZCLMessage(0, 1700000000u, &msg),
              "<" + P() + "ZCLMessage>" + p("RxTime", "1700000000") +
                  p("DestinationEndpoint", "1") + p("SourceAddress", "abcd") +
                  p("SourceEndpoint", "2") + p("ProfileID", "260") + p("ClusterID", "6") +
                  p("ZCLPayload", "7788") + p("APSStatus", "0") + p("SourceAddressMode", "2") +
                  p("ZCLHeader", "112233445566") + "</" + P() + "ZCLMessage>");
}

TEST_P(ComposerTest, ZCLMessageWithShortPayloadAndNoSource) {
    Message msg;
    const uint8_t payload[3] = {0x01, 0x02, 0x03};
    msg.setPayload(payload, 3);
    const std::string out = composer.createZCLMessage(5, 7, &msg);
    EXPECT_NE(out.find(p("SourceAddress", "0")), std::string::npos);
    EXPECT_NE(out.find(p("ZCLPayload", "")), std::string::npos);
    EXPECT_NE(out.find(p("SourceAddressMode", "2")), std::string::npos);
    EXPECT_NE(out.find(p("ZCLHeader", "010203")), std::string::npos);
    EXPECT_NE(out.find(p("APSStatus", "5")), std::string::npos);
}

TEST_P(ComposerTest, ZDPMessage) {
    Message msg;
    const uint8_t src[2] = {0x00, 0x00};
    const uint8_t command[3] = {0x01, 0x34, 0x12};
    msg.setSrcAddrMode(2);
    msg.setSrcAddr(src);
    msg.setClusterId(2);
    msg.setPayload(command, 3);
    EXPECT_EQ(composer.createZDPMessage(0, 99u, &msg),
              "<" + P() + "ZDPMessage>" + p("SourceAddress", "0000") + p("SourceAddressMode", "2") +
                  p("RxTime", "99") + p("ClusterID", "2") + p("Command", "013412") + "</" + P() +
                  "ZDPMessage>");
}

class ComposerDbTest : public ComposerTest {
  protected:
    // 0x0000 root (active, end points 1 and 8), 0x1234 (active, no end points),
    // 0x0042 (inactive).
    void SetUp() override {
        ComposerTest::SetUp();
        const uint8_t rootIeee[8] = {0x00, 0x0D, 0x6F, 0x00, 0x00, 0x00, 0x00, 0x01};
        const uint8_t nodeIeee[8] = {0, 0, 0, 0, 0, 0, 0x01, 0x02};
        const uint8_t idleIeee[8] = {0, 0, 0, 0, 0, 0, 0, 0x42};
        root = db.nodeAnnounce(0x0000, rootIeee, 0x08);
        node = db.nodeAnnounce(0x1234, nodeIeee, 0x08);
        idle = db.nodeAnnounce(0x0042, idleIeee, 0x00);
        ASSERT_NE(root, nullptr);
        ASSERT_NE(node, nullptr);
        ASSERT_NE(idle, nullptr);
        db.setActive(root, true);
        db.setActive(node, true);
        db.addEndPoint(root, 1);
        db.addEndPoint(root, 8);
    }
    std::string addressOf(unsigned nwk, const std::string& ieee) const {
        return p("Address", p("NetworkAddress", std::to_string(nwk)) + p("IeeeAddress", ieee));
    }

    ZbNetDb db;
    Node* root = nullptr;
    Node* node = nullptr;
    Node* idle = nullptr;
};

INSTANTIATE_TEST_SUITE_P(Namespaces, ComposerDbTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Prefixed" : "Plain";
                         });

TEST_P(ComposerDbTest, NodeAndNodeList) {
    EXPECT_EQ(composer.createWSNNodeMsg(0, node), r("WSNNode", addressOf(4660, "258")));
    EXPECT_EQ(composer.createWSNNodesListMsg(0, &db),
              r("WSNNodes", p("WSNNode", addressOf(0, "3781220487921665")) +
                                p("WSNNode", addressOf(4660, "258"))));
}

TEST_P(ComposerDbTest, AliasesCountOnlyWrittenOnes) {
    const std::string rootAlias =
        p("Alias", p("NetworkAddress", "0") + p("IeeeAddress", "3781220487921665"));
    const std::string idleAlias = p("Alias", p("NetworkAddress", "66") + p("IeeeAddress", "66"));
    const std::string nodeAlias = p("Alias", p("NetworkAddress", "4660") + p("IeeeAddress", "258"));
    EXPECT_EQ(composer.createAliasesMsg(0, &db),
              r("Aliases", rootAlias + nodeAlias + p("NumberOfAlias", "2")));
    EXPECT_EQ(composer.createAliasesMsg(-1, &db),
              r("Aliases", rootAlias + idleAlias + nodeAlias + p("NumberOfAlias", "3")));
}

TEST_P(ComposerDbTest, NodeServicesWithAndWithoutEndPoints) {
    EXPECT_EQ(composer.createActiveEndPointMsg(0, node),
              r("NodeServices", addressOf(4660, "258") + "<" + P() + "ActiveEndpoints/>"));
    const std::string rootServices = addressOf(0, "3781220487921665") +
                                     p("ActiveEndpoints", p("EndPoint", "1")) +
                                     p("ActiveEndpoints", p("EndPoint", "8"));
    EXPECT_EQ(composer.createActiveEndPointMsg(0, root), r("NodeServices", rootServices));
    const std::string all = composer.createAllNodesServiceDescMsg(0, &db);
    EXPECT_EQ(all, r("NodeServicesList", p("NodeServices", rootServices) +
                                             p("NodeServices", addressOf(4660, "258") + "<" + P() +
                                                                   "ActiveEndpoints/>")));
    EXPECT_TRUE(fragmentWellFormed(all));
}

TEST_P(ComposerDbTest, ServiceDescriptor) {
    auto* sd = new SimpleDescriptor();
    sd->end_point = 8;
    sd->profile_id = 260;
    sd->device_id = 256;
    sd->device_ver = 1;
    sd->input_cluster = {0, 6};
    sd->output_cluster = {25};
    db.addSimpleDescr(root, sd);
    EXPECT_EQ(
        composer.createServiceDescriptorMsg(0, root, 8),
        r("ServiceDescriptor",
          addressOf(0, "3781220487921665") + p("EndPoint", "8") +
              p("SimpleDescriptor",
                p("EndPoint", "8") + p("ApplicationProfileIdentifier", "260") +
                    p("ApplicationDeviceIdentifier", "256") + p("ApplicationDeviceVersion", "1") +
                    p("ApplicationInputCluster", "0") + p("ApplicationInputCluster", "6") +
                    p("ApplicationOutputCluster", "25"))));
    EXPECT_EQ(composer.createServiceDescriptorMsg(0, root, 1),
              r("ServiceDescriptor",
                addressOf(0, "3781220487921665") + p("EndPoint", "1") + p("SimpleDescriptor", "")));
}

TEST_P(ComposerDbTest, LinkQualityTable) {
    const uint8_t neighbourIeee[8] = {0, 0, 0, 0, 0, 0, 0x01, 0x02};
    db.updateLQIInformation(root, 0x1234, neighbourIeee, 0x25, 1, 200);
    EXPECT_EQ(
        composer.createLQIInformationMsg(&db),
        r("LQIInformation",
          r("LQINode", p("NodeAddress", "3781220487921665") +
                           p("NeighborList",
                             p("Neighbor", p("ShortAddress", "4660") + p("IeeeAddress", "258") +
                                               p("DeviceTypeRxOnWhenIdleRelationship", "37") +
                                               p("Depth", "1") + p("LQI", "200")))) +
              r("LQINode", p("NodeAddress", "258") + p("NeighborList", ""))));
}

TEST_P(ComposerTest, NodeDescriptor) {
    NodeDescriptor nd;
    nd.logicaltype = ROUTER;
    nd.frequencyband = F2400_2483D5;
    nd.mac_cap = 0x8E;  // FFD, mains, rx on, allocate address
    nd.manufacturecode = 0x1037;
    nd.maximumbuffersize = 80;
    nd.server_mask = 0x41;
    const std::string flags =
        p("MACCapabilityFlag", p("AlternatePanCoordinator", "false") + p("DeviceIsFFD", "true") +
                                   p("MainsPowered", "true") + p("ReceiverOnWhenIdle", "true") +
                                   p("SecuritySupported", "false") + p("AllocateAddress", "true"));
    const std::string tail =
        p("ManufacturerCode", "4151") + p("MaximumBufferSize", "80") +
        p("ServerMask", p("PrimaryTrustCenter", "true") + p("BackupTrustCenter", "false") +
                            p("PrimaryBindingTableCache", "false") +
                            p("BackupBindingTableCache", "false") +
                            p("PrimaryDiscoveryCache", "false") +
                            p("BackupDiscoveryCache", "false") + p("NetworkManager", "true"));
    EXPECT_EQ(composer.createNodeDescMsg(0, &nd),
              r("NodeDescriptor",
                p("LogicalType", "Router") + p("FrequencyBand", "2400MHz") + flags + tail));
    nd.logicaltype = UNKNOWN_LOGICALTYPE;
    nd.frequencyband = UNKNOWN_VALUE;
    EXPECT_EQ(composer.createNodeDescMsg(0, &nd), r("NodeDescriptor", flags + tail));
}

TEST_P(ComposerTest, PowerDescriptor) {
    PowerDescriptor pd;
    pd.currentpowermode = PERIODICALLYON;
    pd.avaiablepowersource[0] = true;
    pd.avaiablepowersource[2] = true;
    pd.currentpowersource[0] = true;
    pd.currentpowersourcelevel = P66;
    const uint8_t ieee[8] = {0};
    EXPECT_EQ(
        composer.createPowerDescMsg(0, 0x1234, ieee, &pd),
        r("PowerDescriptor", p("CurrentPowerMode", "Periodic") +
                                 p("AvailablePowerSources", p("ConstrantMains", "true") +
                                                                p("RechargeableBattery", "false") +
                                                                p("DisposableBattery", "true")) +
                                 p("CurrentPowerSources", p("ConstrantMains", "true") +
                                                              p("RechargeableBattery", "false") +
                                                              p("DisposableBattery", "false")) +
                                 p("PowerSourceLevel", "66Percent")));
    pd.currentpowermode = UNKNOWN_POWERMODE;
    pd.currentpowersourcelevel = UNKNOWN_PSLEVEL;
    const std::string out = composer.createPowerDescMsg(0, 0x1234, ieee, &pd);
    EXPECT_EQ(out.find("CurrentPowerMode"), std::string::npos);
    EXPECT_EQ(out.find("PowerSourceLevel"), std::string::npos);
}

TEST_P(ComposerTest, BindingTable) {
    ZB_BIND_STRUCT list[2] = {};
    const uint8_t src[8] = {0x00, 0x0D, 0x6F, 0x00, 0x00, 0x00, 0x00, 0x01};
    const uint8_t dst[8] = {0, 0, 0, 0, 0, 0, 0x01, 0x02};
    std::memcpy(list[0].src_addr, src, 8);
    list[0].src_ep = 1;
    list[0].cluster_id = 6;
    std::memcpy(list[0].dst_addr, dst, 8);
    list[0].dst_ep = 8;
    list[1] = list[0];
    list[1].cluster_id = 0x0300;
    const auto binding = [&](const std::string& cluster) {
        return p("Binding", p("SourceIEEEAddress", "3781220487921665") + p("SourceEndpoint", "1") +
                                p("ClusterID", cluster) +
                                p("DeviceDestination", p("Address", "258") + p("Endpoint", "8")));
    };
    EXPECT_EQ(composer.createGetNodeBindingMsg(0, 5, 3, 2, list),
              r("Bindings", binding("6") + binding("768")));
    EXPECT_EQ(composer.createGetNodeBindingMsg(0, 0, 0, 0, nullptr), r("Bindings", ""));
}

}  // namespace
