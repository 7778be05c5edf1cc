#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "CMessage.h"
#include "XMLProcessor.h"
#include "ZbNetDb.h"

namespace {

std::string hexOf(const uint8_t* data, int length) {
    std::string out;
    char b[3];
    for (int i = 0; data != nullptr && i < length; ++i) {
        std::snprintf(b, sizeof(b), "%02X", data[i]);
        out += b;
    }
    return out;
}

template <typename... T>
std::string fields(const T&... values) {
    std::string out;
    ((out += (out.empty() ? "" : " ") + std::string(values)), ...);
    return out;
}
std::string n(long v) {
    return std::to_string(v);
}

// One child element of a document under test: name and raw content.
struct Part {
    std::string name;
    std::string content;
};
using Parts = std::vector<Part>;

// The document with the element `name` given `value` (appended if absent), or left out when
// `value` is empty.
std::string doc(const std::string& root, Parts parts, const std::string& name = "",
                std::optional<std::string> value = "") {
    auto it =
        std::find_if(parts.begin(), parts.end(), [&](const Part& p) { return p.name == name; });
    if (!value) {
        parts.erase(it);
    } else if (it != parts.end()) {
        it->content = *value;
    } else if (!name.empty()) {
        parts.push_back({name, *value});
    }
    std::string out = "<" + root + ">";
    for (const Part& part : parts) {
        out += "<" + part.name + ">" + part.content + "</" + part.name + ">";
    }
    return out + "</" + root + ">";
}
const std::nullopt_t kOmit = std::nullopt;

const std::string kTxOptions =
    "<SecurityEnabled>false</SecurityEnabled><UseNetworkKey>true</UseNetworkKey>"
    "<Acknowledged>true</Acknowledged><PermitFragmentation>false</PermitFragmentation>";
const Parts kZcl = {{"DestinationAddress", "<IeeeAddress>81985529216486895</IeeeAddress>"},
                    {"DestinationEndpoint", "8"},
                    {"ProfileID", "260"},
                    {"ClusterID", "10"},
                    {"SourceEndpoint", "1"},
                    {"TxOptions", kTxOptions},
                    {"Radius", " 12 "},
                    {"ZCLPayload", "0aFF"},
                    {"ZCLHeader", "011001"}};
const Parts kZdp = {{"Destination", "<NetworkAddress>4660</NetworkAddress>"},
                    {"TxOptions", kTxOptions},
                    {"Radius", "5"},
                    {"ClusterID", "260"},
                    {"Command", "013412"}};
const Parts kAps = {
    {"DestinationEndpoint", "0"}, {"SourceEndpoint", "255"},
    {"ProfileID", "0"},           {"ClusterID", "2"},
    {"TxOptions", kTxOptions},    {"Radius", "30"},
    {"Data", "00cdab"},           {"DestinationAddress", "<NetworkAddress>43981</NetworkAddress>"}};
const Parts kBinding = {{"SourceIEEEAddress", "81985529216486895"},
                        {"SourceEndpoint", "255"},
                        {"ClusterID", "10"},
                        {"DeviceDestination", "<Address>258</Address><Endpoint>8</Endpoint>"}};
const Parts kSimple = {{"EndPoint", "8"},
                       {"ApplicationProfileIdentifier", "260"},
                       {"ApplicationDeviceIdentifier", "256"},
                       {"ApplicationDeviceVersion", "15"},
                       {"ApplicationInputCluster", "0"},
                       {"ApplicationOutputCluster", "25"},
                       {"ApplicationInputCluster", "6"}};
const Parts kJoin = {{"PermitDuration", "60"}, {"TCSignificance", "true"}};

enum Entry { ZCL, ZDP, APS, BIND, SIMPLE, JOIN, CALLBACK, STARTUP, NUMBER, TEXT, ATTRIBUTE };

// Parses `text` by one entry point; `out` gets the fields it filled, as text.
int parse(XMLMsgParser& parser, Entry entry, const std::string& text, std::string& out) {
    Message m;
    ZB_BIND_STRUCT b = {};
    SimpleDescriptor sd;
    Callback cb;
    StartupAttributeInfo s;
    int duration = 0, r = 1;
    bool significance = false;
    unsigned long number = 0;
    std::string value;
    const char* t = text.c_str();
    switch (entry) {
        case ZCL:
        case ZDP:
        case APS: {
            r = entry == ZCL   ? parser.getZCLCommandToWSN(&m, t)
                : entry == ZDP ? parser.getZDPCommandToWSN(&m, t)
                               : parser.getAPSMessageToWSN(&m, t);
            int length = 0;
            const uint8_t* dst = m.getDstAddr(&length);
            uint16_t payloadLength = 0;
            const uint8_t* payload = m.getPayload(&payloadLength);
            out = fields(n(m.getDstAddrMode()), hexOf(dst, length), n(m.getDstEp()),
                         n(m.getProfileId()), n(m.getClusterId()), n(m.getSrcEp()),
                         n(m.getTxSettings()), n(m.getMaxHopsNumber()),
                         hexOf(payload, payloadLength));
            return r;
        }
        case BIND:
            r = parser.getBindindCommand(&b, t);
            out = fields(hexOf(b.src_addr, 8), n(b.src_ep), n(b.cluster_id), hexOf(b.dst_addr, 8),
                         n(b.dst_ep));
            return r;
        case SIMPLE: {
            r = parser.getSimpleDescriptor(&sd, t);
            out = fields(n(sd.end_point), n(sd.profile_id), n(sd.device_id), n(sd.device_ver));
            for (const auto* list : {&sd.input_cluster, &sd.output_cluster}) {
                out += " [";
                for (int c : *list) {
                    out += " " + n(c);
                }
                out += " ]";
            }
            return r;
        }
        case JOIN:
            r = parser.getJoiningInfoValues(&duration, &significance, t);
            out = fields(n(duration), n(significance));
            return r;
        case CALLBACK: {
            r = parser.getCallback(&cb, t);
            const AddressSpecification& a = cb.filter.addressSpec;
            const MessageSpecification& ms = cb.filter.messageSpec;
            std::string levels;
            for (bool on : cb.action.decodeSpecification.decodeLevel) {
                levels += on ? "1" : "0";
            }
            out = fields(n(cb.filter.isDefined), cb.filter.levelSpec.level, n(a.isDefined),
                         n(a.isNWKSourceAddressDefined), n(a.NWKSourceAddress),
                         n(a.isAPSSourceEndpointDefined), n(a.APSSourceEndpoint),
                         n(a.isAPSDestinationEndpointDefined), n(a.APSDestinationEndpoint),
                         n(ms.isDefined), n(ms.isAPSClusterIdentifierDefined),
                         ms.APSClusterIdentifier, n(ms.isAPSClusterGroupDefined),
                         ms.APSClusterGroup, cb.buffer, n(cb.action.isDefined), levels,
                         cb.action.forwardingSpecification);
            return r;
        }
        case STARTUP:
            r = parser.getStartupAttributeInfo(&s, t);
            out = fields(n(s.startupAttributeSetIndex), n(s.isDeviceTypeDefined), n(s.deviceType),
                         n(s.isStartupControlDefined), n(s.StartupControl),
                         n(s.isChannelMaskDefined), n(static_cast<long>(s.channelMask)));
            return r;
        case NUMBER:
            r = parser.getValue(number, t);
            out = std::to_string(number);
            return r;
        case TEXT:
            r = parser.getValue(value, t);
            out = value;
            return r;
        case ATTRIBUTE:
            r = parser.getValueAttribute(&value, &text);
            out = value;
            return r;
    }
    return r;
}

class ParserTest : public ::testing::Test {
  protected:
    bool said(const std::string& text) const {
        const auto& m = parser.lastMessages();
        return std::find(m.begin(), m.end(), text) != m.end();
    }
    std::string messages() const {
        std::string all;
        for (const auto& m : parser.lastMessages()) {
            all += m + "\n";
        }
        return all;
    }
    XMLMsgParser parser;
};

const std::string kNs = std::string(" xmlns:p=\"") + ORQ_GATEWAY_SCHEMA_URI + "\" xmlns:r=\"" +
                        ORQ_REST_SCHEMA_URI + "\"";
const std::string kIeee = "0123456789ABCDEF";

std::string zcl(const std::string& name = "", std::optional<std::string> v = "") {
    return doc("ZCLCommand", kZcl, name, v);
}
std::string zdp(const std::string& name, std::optional<std::string> v = "") {
    return doc("ZDPCommand", kZdp, name, v);
}
std::string aps(const std::string& name, std::optional<std::string> v = "") {
    return doc("APSMessage", kAps, name, v);
}
std::string binding(const std::string& name, std::optional<std::string> v = "") {
    return doc("Binding", kBinding, name, v);
}
std::string device(const std::string& address) {
    return binding("DeviceDestination", "<Address>" + address + "</Address><Endpoint>8</Endpoint>");
}
const std::string kCallback = "<Callback><Filter><LevelSpecification><Level>";
const std::string kAction = "<Callback><Action><DecodeSpecification><DecodeLevel>";

// Documents each entry point accepts, with the fields they fill (when given) and a text said.
TEST_F(ParserTest, AcceptedDocumentsFillTheirFields) {
    const struct {
        Entry entry;
        std::string text, fields, said;
    } cases[] = {
        {ZCL, zcl(), "3 " + kIeee + " 8 260 10 1 6 12 0110010AFF", ""},
        {ZCL, zcl("DestinationAddress", kOmit), "255  8 260 10 1 6 12 0110010AFF",
         "DestinationAddress element not present"},
        {ZCL, zcl("DestinationAddress", "<NetworkAddress>4660</NetworkAddress>"),
         "2 1234 8 260 10 1 6 12 0110010AFF", ""},
        {ZCL, zcl("DestinationEndpoint", kOmit), "", "DestinationEndpoint element not present"},
        {ZCL, zcl("ProfileID", kOmit), "", "WARNING: ProfileID element not present"},
        {ZCL, zcl("SourceEndpoint", kOmit), "", "WARNING: SourceEndpoint element not present"},
        {ZCL, "<Request>" + zcl() + "</Request>", "", ""},
        {ZDP, zdp(""), "2 1234 0 0 260 0 6 5 013412", ""},
        {ZDP, zdp("Destination", kOmit), "", "WARNING: Destination element not present"},
        {ZDP, zdp("Radius", kOmit), "", "WARNING: Radius element not present"},
        {APS, aps(""), "2 ABCD 0 0 2 255 6 30 00CDAB", ""},
        {APS, aps("ProfileID", kOmit), "", "WARNING: ProfileID element not present"},
        {APS, aps("DestinationAddress", kOmit), "", ""},
        {BIND, binding(""), kIeee + " 255 10 0000000000000102 8", "GroupDestination not found"},
        // The destination's IEEE address may be the bare number or held in IeeeAddress.
        {BIND,
         doc("Binding", {kBinding[0], kBinding[1], kBinding[2], {"GroupDestination", "5"}},
             "DeviceDestination",
             "<Address><IeeeAddress>258</IeeeAddress></Address><Endpoint>8</Endpoint>"),
         kIeee + " 255 10 0000000000000102 8", ""},
        {BIND,
         "<p:Binding" + kNs +
             "><p:SourceIEEEAddress>81985529216486895</p:SourceIEEEAddress>"
             "<p:SourceEndpoint>1</p:SourceEndpoint><p:ClusterID>6</"
             "p:ClusterID><p:DeviceDestination>"
             "<p:Address><p:IeeeAddress>258</p:IeeeAddress></p:Address><p:Endpoint>8</p:Endpoint>"
             "</p:DeviceDestination></p:Binding>",
         kIeee + " 1 6 0000000000000102 8", ""},
        {SIMPLE, doc("SimpleDescriptor", kSimple), "8 260 256 15 [ 0 6 ] [ 25 ]", ""},
        {SIMPLE, doc("SimpleDescriptor", kSimple, "ApplicationDeviceVersion", kOmit), "",
         "does not contain an ApplicationDeviceVersion value"},
        {JOIN, doc("JoiningInfo", kJoin), "60 1", ""},
        {CALLBACK,
         kCallback + "APSLevel</Level><Level>NWKLevel</Level></LevelSpecification>"
                     "<AddressSpecification><NWKSourceAddress><NetworkAddress>4660</NetworkAddress>"
                     "</NWKSourceAddress><APSSourceEndpoint>3</APSSourceEndpoint>"
                     "<APSDestinationEndpoint>8</APSDestinationEndpoint></AddressSpecification>"
                     "<MessageSpecification><APSClusterIdentifier>6</APSClusterIdentifier>"
                     "<APSClusterGroup>ZCL</APSClusterGroup></MessageSpecification></Filter>"
                     "<Buffer>kept</Buffer><Action><DecodeSpecification><DecodeLevel>"
                     "DecodeInterPAN</DecodeLevel><DecodeLevel>DecodeZCL</DecodeLevel>"
                     "</DecodeSpecification><ForwardingSpecification>http://h:80/cb"
                     "</ForwardingSpecification></Action></Callback>",
         "1 APSLevelNWKLevel 1 1 4660 1 3 1 8 1 1 6 1 ZCL kept 1 001010 http://h:80/cb", ""},
        {CALLBACK, "<Callback/>", "0  0 0 65535 0 0 0 0 0 0  0   0 000000 ",
         "WARNING: Buffer element not present"},
        {CALLBACK,
         kAction + "Bogus</DecodeLevel><DecodeLevel>DecodeAPS</DecodeLevel></DecodeSpecification>"
                   "<ForwardingSpecification>u</ForwardingSpecification></Action></Callback>",
         "0  0 0 65535 0 0 0 0 0 0  0   1 000100 u", "DecodeLevel has not a valid value"},
        {STARTUP,
         "<S><StartupAttributeSetIndex>2</StartupAttributeSetIndex><DeviceType>Router</DeviceType>"
         "<StartupControl>3</StartupControl><ChannelMask>15</ChannelMask></S>",
         "2 1 2 1 3 1 15", ""},
        {STARTUP, "<S><StartupControl>0</StartupControl></S>", "0 0 0 1 0 0 0",
         "ChannelMask not present"},
        {NUMBER, "<Value>\n 30 \n</Value>", "30", ""},
        {NUMBER, "<Value>18446744073709551615</Value>", "18446744073709551615", ""},
        {TEXT, "<Value> abc </Value>", "abc", ""},
        {TEXT, "<r:Request" + kNs + "><r:Value>1e</r:Value></r:Request>", "1e", ""},
        {TEXT, "<Value>&#x41;&#233;\xC3\xA9\xF0\x9F\x90\x9D&#x10FFFF;\xED\x9F\xBF</Value>",
         "A\xC3\xA9\xC3\xA9\xF0\x9F\x90\x9D\xF4\x8F\xBF\xBF\xED\x9F\xBF", ""},
        // Inside a comment or CDATA, "&#0;" is text, not a reference.
        {TEXT, "<Value><![CDATA[&#0;]]><!-- &#0; --></Value>", "&#0;", ""},
        {ATTRIBUTE, "<Value>0x0B</Value>", "0x0B", ""},
    };
    for (const auto& c : cases) {
        std::string got;
        EXPECT_EQ(parse(parser, c.entry, c.text, got), 0) << c.text << "\n" << messages();
        EXPECT_TRUE(c.fields.empty() || got == c.fields) << c.text << "\n" << got;
        EXPECT_NE(messages().find(c.said), std::string::npos) << c.said;
    }
}

// Documents refused, with the result and (part of) the message that says why.
TEST_F(ParserTest, RefusedDocumentsSayWhy) {
    const struct {
        Entry entry;
        std::string text;
        int result;
        std::string said;
    } cases[] = {
        {ZCL, zcl("ClusterID", kOmit), 1, "ERROR: ClusterID element not present"},
        {ZCL, zcl("TxOptions", kOmit), 1, "ERROR: TxOptions element not present"},
        {ZCL, zcl("Radius", kOmit), 1, "ERROR: Radius element not present"},
        {ZCL, zcl("ZCLPayload", kOmit), 1, "ERROR: ZCLPayload element not present"},
        {ZCL, zcl("ZCLHeader", kOmit), 1, "ERROR: ZCLHeader element not present"},
        {ZCL, zcl("Radius", "256"), 1, "Radius - 256 is not within 0 and 255"},
        {ZCL, zcl("Radius", "-1"), 1, "Radius - -1 is not within 0 and 255"},
        {ZCL, zcl("Radius", "12x"), 1, "Radius is invalid: '12x'"},
        {ZCL, zcl("Radius", "  "), 1, "Radius is empty"},
        {ZCL, zcl("ClusterID", "65536"), 1, "ClusterID - 65536 is not within 0 and 65535"},
        {ZCL, zcl("ZCLPayload", "abc"), 1, "ZCLPayload - odd number of digits"},
        {ZCL, zcl("ZCLPayload", "zz"), 1, "ZCLPayload is an invalid hex string"},
        {ZCL, zcl("TxOptions", "<SecurityEnabled>yes</SecurityEnabled>"), 1, "invalid: 'yes'"},
        {ZCL, zcl("TxOptions", kTxOptions.substr(0, kTxOptions.find("<Permit"))), 1,
         "PermitFragmentation element not found"},
        {ZCL, zcl("DestinationAddress", "<IeeeAddress>18446744073709551616</IeeeAddress>"), 1,
         "bad IEEE address  '18446744073709551616'"},
        {ZCL, zcl("DestinationAddress", "<IeeeAddress>-1</IeeeAddress>"), 1, "address  '-1'"},
        {ZCL, zcl("DestinationAddress", "<IeeeAddress></IeeeAddress>"), 1, "IeeeAddress is empty"},
        {ZCL, zcl("DestinationAddress", "<NetworkAddress>65536</NetworkAddress>"), 1,
         "bad nwk address  '65536'"},
        {ZCL, zcl("DestinationAddress", "<AliasAddress>1</AliasAddress>"), 1, "not supported"},
        {ZCL, zcl("DestinationAddress", "<GroupAddress>1</GroupAddress>"), 1,
         "GroupAddress address type is unknown"},
        {ZCL, zcl("DestinationAddress", ""), 1, "No address info is empty"},
        {ZCL, "<Request><Other/></Request>", 1, "ZCLCommand element not found"},
        {ZCL, "<ZCLCommand><ClusterID>", 1, ""},
        {ZCL, "", 1, ""},
        {ZDP, zdp("TxOptions", kOmit), 1, "ERROR: TxOptions element not present"},
        {ZDP, zdp("TxOptions", "<SecurityEnabled>1</SecurityEnabled>"), 1, ""},
        {ZDP, zdp("ClusterID", kOmit), 1, "ERROR: ClusterID element not present"},
        {ZDP, zdp("Command", kOmit), 1, "ERROR: Command element not present"},
        {ZDP, "<ZCLCommand/>", 1, "ZDPCommand element not found"},
        {APS, aps("DestinationEndpoint", kOmit), 1, ""},
        {APS, aps("SourceEndpoint", kOmit), 1, ""},
        {APS, aps("ClusterID", kOmit), 1, ""},
        {APS, aps("TxOptions", kOmit), 1, ""},
        {APS, aps("Radius", "x"), 1, ""},
        {APS, aps("Data", "x"), 1, ""},
        {APS, zcl(), 1, "APSMessage element not found"},
        {BIND, binding("SourceIEEEAddress", kOmit), 1, "No SourceIEEEAddress (empty)"},
        {BIND, binding("SourceIEEEAddress", "12ab"), 1, "bad IEEE address '12ab'"},
        {BIND, binding("SourceEndpoint", kOmit), 1, "SourceEndpoint not found!"},
        {BIND, binding("ClusterID", kOmit), 1, "ClusterID not found!"},
        {BIND, binding("GroupDestination", "256"), 1, ""},
        {BIND, binding("DeviceDestination", kOmit), 1, "DeviceDestination parsing error"},
        {BIND, binding("DeviceDestination", "<Address>258</Address>"), 1, "Endpoint not found!"},
        {BIND, binding("DeviceDestination", ""), 1, "No Device info (empty)"},
        {BIND, device("x"), 1, "bad IEEE address  'x'"},
        // A device is named by its IEEE address alone.
        {BIND, device("<NetworkAddress>4353</NetworkAddress>"), 1, "NetworkAddress address type"},
        {BIND, device("<IeeeAddress>2</IeeeAddress><NetworkAddress>1</NetworkAddress>"), 1,
         "IeeeAddress address type is unknown"},
        {BIND, device("<IeeeAddress/>"), 1, "DeviceDestination/Address is empty"},
        {BIND, device("<IeeeAddress>0x102</IeeeAddress>"), 1, "bad IEEE address  '0x102'"},
        {BIND, "<Unbinding/>", 1, "Binding element not found"},
        {SIMPLE, doc("SimpleDescriptor", kSimple, "ApplicationDeviceVersion", "16"), 1, ""},
        {SIMPLE, doc("SimpleDescriptor", kSimple, "ApplicationInputCluster", "65536"), 1, ""},
        {SIMPLE, "<Descriptor/>", 1, "SimpleDescriptor element not found"},
        {JOIN, doc("JoiningInfo", kJoin, "PermitDuration", kOmit), 1, "PermitDuration value not"},
        {JOIN, doc("JoiningInfo", kJoin, "PermitDuration", "65536"), 1, ""},
        {JOIN, "<Joining/>", 1, "JoiningInfo element not found"},
        {CALLBACK, "<Other/>", XMLMsgParser::PARSE_MISSING_ELEMENT, "Callback element not found"},
        {CALLBACK, "<Callback>", XMLMsgParser::PARSE_BAD_DOCUMENT, ""},
        {CALLBACK, "<Callback><Filter/></Callback>", XMLMsgParser::PARSE_BAD_VALUE,
         "LevelSpecification element not found!"},
        {CALLBACK, kCallback + "PHYLevel</Level></LevelSpecification></Filter></Callback>",
         XMLMsgParser::PARSE_BAD_VALUE, ""},
        {CALLBACK,
         kCallback + "APSLevel</Level></LevelSpecification><AddressSpecification>"
                     "<NWKSourceAddress><IeeeAddress>1</IeeeAddress></NWKSourceAddress>"
                     "</AddressSpecification></Filter></Callback>",
         XMLMsgParser::PARSE_BAD_VALUE, ""},
        {CALLBACK, "<Callback><Action/></Callback>", XMLMsgParser::PARSE_BAD_VALUE,
         "DecodeSpecification element not found!"},
        {CALLBACK, kAction + "DecodeAPS</DecodeLevel></DecodeSpecification></Action></Callback>",
         XMLMsgParser::PARSE_BAD_VALUE, "ForwardingSpecification element not found!"},
        {STARTUP, "<S><Other/></S>", XMLMsgParser::PARSE_MISSING_ELEMENT, "Element not found"},
        {STARTUP, "<S><DeviceType>Hub</DeviceType></S>", XMLMsgParser::PARSE_BAD_VALUE, ""},
        {STARTUP, "<S><ChannelMask>70000</ChannelMask></S>", XMLMsgParser::PARSE_BAD_VALUE, ""},
        {STARTUP, "<S>", XMLMsgParser::PARSE_BAD_DOCUMENT, ""},
        {NUMBER, "<Value>3O</Value>", 1, "getValue - Bad long: 3O"},
        {NUMBER, "<Other/>", 1, "getValue - Value element not found"},
        {TEXT, "<Request><Other/></Request>", 1, "getValue - Value element not found"},
        {ATTRIBUTE, "", 1, "getValueAttribute - No XMLMessage sent!"},
    };
    for (const auto& c : cases) {
        std::string got;
        EXPECT_EQ(parse(parser, c.entry, c.text, got), c.result) << c.text << "\n" << messages();
        EXPECT_NE(messages().find(c.said), std::string::npos) << c.said << "\n" << messages();
    }
    Message msg;
    EXPECT_EQ(parser.getZCLCommandToWSN(&msg, nullptr), 1);
    EXPECT_EQ(parser.getZCLCommandToWSN(nullptr, zcl().c_str()), 1);
    EXPECT_EQ(parser.getAPSMessageToWSN(nullptr, aps("").c_str()), 1);
    EXPECT_EQ(parser.getSimpleDescriptor(nullptr, doc("SimpleDescriptor", kSimple).c_str()), 1);
    EXPECT_NE(parser.getCallback(nullptr, "<Callback/>"), 0);
    std::string value;
    EXPECT_EQ(parser.getValueAttribute(&value, nullptr), 1);
}

TEST_F(ParserTest, TextsThatAreNotUtf8XmlAreRefused) {
    const char* refused[] = {
        "\xC3\x28\xFF\xFE",  // not UTF-8
        "\xED\xA0\x80",      // a surrogate, encoded
        "\xC0\xAF",          // overlong
        "a\x01b",            // a control character
        "&#xD800;",          // references to what XML cannot carry
        "&#xFFFE;",         "a&#0;b", "&#x110000;", "&#12a;",
    };
    std::string value;
    for (const char* text : refused) {
        EXPECT_EQ(parser.getValue(value, (std::string("<Value>") + text + "</Value>").c_str()), 1);
        EXPECT_NE(messages().find("getRoot - ERROR: not UTF-8 XML text"), std::string::npos)
            << text;
    }
}

TEST_F(ParserTest, PrefixDeclaredOnTheRootSelectsElements) {
    // Every element prefixed with p, plus an unprefixed ClusterID that must be ignored.
    std::string body;
    for (const Part& part : kZcl) {
        std::string content = part.content;
        if (part.name == "TxOptions") {
            content =
                "<p:SecurityEnabled>true</p:SecurityEnabled><p:UseNetworkKey>false</"
                "p:UseNetworkKey><p:Acknowledged>false</p:Acknowledged>"
                "<p:PermitFragmentation>false</p:PermitFragmentation>";
        }
        if (part.name == "DestinationAddress") {
            content = "<p:NetworkAddress>1</p:NetworkAddress>";
        }
        body += "<p:" + part.name + ">" + content + "</p:" + part.name + ">";
    }
    const std::string head = "<p:ZCLCommand" + kNs + ">";
    Message msg;
    ASSERT_EQ(parser.getZCLCommandToWSN(
                  &msg, (head + "<ClusterID>7</ClusterID>" + body + "</p:ZCLCommand>").c_str()),
              0)
        << messages();
    EXPECT_EQ(msg.getClusterId(), 10);
    EXPECT_EQ(msg.getTxSettings(), 0x01);
    const std::string cluster = "<p:ClusterID>10</p:ClusterID>";
    body.replace(body.find(cluster), cluster.size(), "<ClusterID>10</ClusterID>");
    EXPECT_EQ(parser.getZCLCommandToWSN(&msg, (head + body + "</p:ZCLCommand>").c_str()), 1);
    EXPECT_TRUE(said("getZCLCommandToWSN - ERROR: ClusterID element not present"));

    tinyxml2::XMLDocument d;
    std::string root, orq, rest;
    ASSERT_NE(parser.getRoot(d, (head + "</p:ZCLCommand>").c_str(), root, orq, rest), nullptr);
    EXPECT_EQ(root + " " + orq + " " + rest, "ZCLCommand p r");
}

TEST_F(ParserTest, OversizedAndDeeplyNestedDocumentsAreRefused) {
    Message msg;
    EXPECT_EQ(parser.getZCLCommandToWSN(&msg, doc("ZCLCommand", kZcl, "ZCLPayload",
                                                  std::string(XMLMsgParser::MAX_DOCUMENT_SIZE, 'a'))
                                                  .c_str()),
              1);
    EXPECT_EQ(msg.getPayload(), nullptr);
    // The XML library allows 98 levels of elements.
    auto nested = [](int depth) {
        std::string open, close;
        for (int i = 0; i < depth; ++i) {
            open += "<a>";
            close += "</a>";
        }
        return open + close;
    };
    EXPECT_EQ(parser.getZCLCommandToWSN(&msg, nested(98).c_str()), 1);
    EXPECT_EQ(messages().find("getRoot - ERROR"), std::string::npos) << messages();
    EXPECT_EQ(parser.getZCLCommandToWSN(&msg, nested(99).c_str()), 1);
    EXPECT_NE(messages().find("getRoot - ERROR"), std::string::npos);
    Callback cb;
    EXPECT_EQ(parser.getCallback(&cb, nested(5000).c_str()), XMLMsgParser::PARSE_BAD_DOCUMENT);
    EXPECT_EQ(parser.getZCLCommandToWSN(&msg, std::string(20000, '<').c_str()), 1);
}

// The fuzz target's seed inputs: the first byte chooses the entry point, and every seed is a
// document that entry point accepts.
TEST_F(ParserTest, SeedCorpusDocumentsAreAccepted) {
    const Entry entries[] = {ZCL,      ZDP,     APS,    BIND, SIMPLE,   JOIN,
                             CALLBACK, STARTUP, NUMBER, TEXT, ATTRIBUTE};
    std::set<size_t> covered;
    for (const auto& file : std::filesystem::directory_iterator(ORQ_XML_CORPUS)) {
        std::ifstream in(file.path(), std::ios::binary);
        const std::string seed((std::istreambuf_iterator<char>(in)), {});
        ASSERT_FALSE(seed.empty()) << file.path();
        const size_t entry = static_cast<unsigned char>(seed[0]) % std::size(entries);
        std::string got;
        EXPECT_EQ(parse(parser, entries[entry], seed.substr(1), got), 0) << file.path();
        covered.insert(entry);
    }
    EXPECT_EQ(covered.size(), std::size(entries));
}

}  // namespace
