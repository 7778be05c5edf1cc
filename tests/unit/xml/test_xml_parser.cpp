#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "CMessage.h"
#include "XMLProcessor.h"
#include "ZbNetDb.h"

namespace {

std::vector<uint8_t> bytesOf(const uint8_t* data, int length) {
    return data == nullptr ? std::vector<uint8_t>() : std::vector<uint8_t>(data, data + length);
}

std::vector<uint8_t> dstAddrOf(const Message& msg) {
    int length = 0;
    const uint8_t* addr = msg.getDstAddr(&length);
    return bytesOf(addr, length);
}

std::vector<uint8_t> payloadOf(const Message& msg) {
    uint16_t length = 0;
    const uint8_t* payload = msg.getPayload(&length);
    return bytesOf(payload, length);
}

// One child element of a document under test: name and raw content.
struct Part {
    std::string name;
    std::string content;
};

std::string build(const std::string& root, const std::vector<Part>& parts,
                  const std::string& skip = "", const std::string& attributes = "") {
    std::string out = "<" + root + attributes + ">";
    for (const Part& part : parts) {
        if (part.name != skip) {
            out += "<" + part.name + ">" + part.content + "</" + part.name + ">";
        }
    }
    return out + "</" + root + ">";
}

const std::string kTxOptions =
    "<SecurityEnabled>false</SecurityEnabled><UseNetworkKey>true</UseNetworkKey>"
    "<Acknowledged>true</Acknowledged><PermitFragmentation>false</PermitFragmentation>";

const std::vector<Part> kZclParts = {
    {"DestinationAddress", "<IeeeAddress>81985529216486895</IeeeAddress>"},
    {"DestinationEndpoint", "8"},
    {"ProfileID", "260"},
    {"ClusterID", "6"},
    {"SourceEndpoint", "1"},
    {"TxOptions", kTxOptions},
    {"Radius", " 12 "},
    {"ZCLPayload", "0aFF"},
    {"ZCLHeader", "011001"},
};

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

TEST_F(ParserTest, ZCLCommandFillsTheMessage) {
    Message msg;
    ASSERT_EQ(parser.getZCLCommandToWSN(&msg, build("ZCLCommand", kZclParts).c_str()), 0)
        << messages();
    EXPECT_EQ(msg.getDstAddrMode(), 3);
    EXPECT_EQ(dstAddrOf(msg),
              (std::vector<uint8_t>{0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}));
    // The composer folds the stored bytes back into the number the client sent.
    EXPECT_EQ(XMLMsgComposer::ieeeAddrToULongLong(dstAddrOf(msg).data()), 81985529216486895ull);
    EXPECT_EQ(msg.getDstEp(), 8);
    EXPECT_EQ(msg.getProfileId(), 260);
    EXPECT_EQ(msg.getClusterId(), 6);
    EXPECT_EQ(msg.getSrcEp(), 1);
    EXPECT_EQ(msg.getTxSettings(), 0x06);
    EXPECT_EQ(msg.getMaxHopsNumber(), 12);
    EXPECT_EQ(payloadOf(msg), (std::vector<uint8_t>{0x01, 0x10, 0x01, 0x0A, 0xFF}));
}

TEST_F(ParserTest, ZCLCommandRequiredElements) {
    const std::vector<std::pair<std::string, std::string>> required = {
        {"ClusterID", "getZCLCommandToWSN - ERROR: ClusterID element not present"},
        {"TxOptions", "getZCLCommandToWSN - ERROR: TxOptions element not present"},
        {"Radius", "getZCLCommandToWSN - ERROR: Radius element not present"},
        {"ZCLPayload", "getZCLCommandToWSN - ERROR: ZCLPayload element not present"},
        {"ZCLHeader", "getZCLCommandToWSN - ERROR: ZCLHeader element not present"},
    };
    for (const auto& [name, text] : required) {
        Message msg;
        EXPECT_EQ(parser.getZCLCommandToWSN(&msg, build("ZCLCommand", kZclParts, name).c_str()), 1)
            << name;
        EXPECT_TRUE(said(text)) << name << "\n" << messages();
    }
}

TEST_F(ParserTest, ZCLCommandOptionalElementsOnlyWarn) {
    const std::vector<std::pair<std::string, std::string>> optional = {
        {"DestinationAddress",
         "getZCLCommandToWSN - WARNING: DestinationAddress element not present"},
        {"DestinationEndpoint",
         "getZCLCommandToWSN - WARNING: DestinationEndpoint element not present"},
        {"ProfileID", "getZCLCommandToWSN - WARNING: ProfileID element not present"},
        {"SourceEndpoint", "getZCLCommandToWSN - WARNING: SourceEndpoint element not present"},
    };
    for (const auto& [name, text] : optional) {
        Message msg;
        EXPECT_EQ(parser.getZCLCommandToWSN(&msg, build("ZCLCommand", kZclParts, name).c_str()), 0)
            << name << "\n"
            << messages();
        EXPECT_TRUE(said(text)) << name;
    }
    Message msg;
    ASSERT_EQ(parser.getZCLCommandToWSN(
                  &msg, build("ZCLCommand", kZclParts, "DestinationAddress").c_str()),
              0);
    EXPECT_EQ(msg.getDstAddrMode(), 0xFF);
}

TEST_F(ParserTest, ValueErrors) {
    struct Case {
        std::string element;
        std::string value;
        std::string message;
    } cases[] = {
        {"Radius", "256", "parseLong - Radius - 256 is not within 0 and 255"},
        {"Radius", "-1", "parseLong - Radius - -1 is not within 0 and 255"},
        {"Radius", "12x", "parseLong - Radius is invalid: '12x'"},
        {"Radius", "  ", "parseLong - Radius is empty"},
        {"ClusterID", "65536", "parseLong - ClusterID - 65536 is not within 0 and 65535"},
        {"ZCLPayload", "abc", "parseHex - ZCLPayload - odd number of digits"},
        {"ZCLPayload", "zz", "parseHex - ZCLPayload is an invalid hex string"},
        {"ZCLPayload", "", "parseHex - ZCLPayload is empty"},
        {"TxOptions", "<SecurityEnabled>yes</SecurityEnabled>",
         "parseBoolean - SecurityEnabled is invalid: 'yes'"},
        {"TxOptions", kTxOptions.substr(0, kTxOptions.find("<PermitFragmentation>")),
         "parseBoolean - PermitFragmentation element not found"},
        {"DestinationAddress", "<IeeeAddress>18446744073709551616</IeeeAddress>",
         "parseAddress - bad IEEE address  '18446744073709551616'"},
        {"DestinationAddress", "<IeeeAddress>-1</IeeeAddress>",
         "parseAddress - bad IEEE address  '-1'"},
        {"DestinationAddress", "<IeeeAddress></IeeeAddress>",
         "parseAddress - DestinationAddress/IeeeAddress is empty"},
        {"DestinationAddress", "<NetworkAddress>65536</NetworkAddress>",
         "parseAddress - bad nwk address  '65536'"},
        {"DestinationAddress", "<AliasAddress>1</AliasAddress>",
         "parseAddress - alias addresses not supported"},
        {"DestinationAddress", "<GroupAddress>1</GroupAddress>",
         "parseAddress - GroupAddress address type is unknown"},
        {"DestinationAddress", "", "parseAddress - No address info is empty"},
    };
    for (const Case& c : cases) {
        std::vector<Part> parts = kZclParts;
        for (Part& part : parts) {
            if (part.name == c.element) {
                part.content = c.value;
            }
        }
        Message msg;
        EXPECT_EQ(parser.getZCLCommandToWSN(&msg, build("ZCLCommand", parts).c_str()), 1)
            << c.message;
        EXPECT_TRUE(said(c.message)) << c.message << "\n" << messages();
    }
}

TEST_F(ParserTest, NetworkAddressIsStoredHighByteFirst) {
    std::vector<Part> parts = kZclParts;
    parts[0].content = "<NetworkAddress>4660</NetworkAddress>";
    Message msg;
    ASSERT_EQ(parser.getZCLCommandToWSN(&msg, build("ZCLCommand", parts).c_str()), 0);
    EXPECT_EQ(msg.getDstAddrMode(), 2);
    EXPECT_EQ(dstAddrOf(msg), (std::vector<uint8_t>{0x12, 0x34}));
}

TEST_F(ParserTest, PrefixDeclaredOnTheRootSelectsElements) {
    // Every element prefixed with p, plus an unprefixed ClusterID that must be ignored.
    std::string body;
    for (const Part& part : kZclParts) {
        std::string content = part.content;
        if (part.name == "TxOptions") {
            content =
                "<p:SecurityEnabled>true</p:SecurityEnabled><p:UseNetworkKey>false</"
                "p:UseNetworkKey><p:Acknowledged>false</p:Acknowledged><p:PermitFragmentation>"
                "false</p:PermitFragmentation>";
        }
        if (part.name == "DestinationAddress") {
            content = "<p:NetworkAddress>1</p:NetworkAddress>";
        }
        body += "<p:" + part.name + ">" + content + "</p:" + part.name + ">";
    }
    const std::string head = std::string("<p:ZCLCommand xmlns:p=\"") + ORQ_GATEWAY_SCHEMA_URI +
                             "\" xmlns:r=\"" + ORQ_REST_SCHEMA_URI + "\">";
    Message msg;
    ASSERT_EQ(parser.getZCLCommandToWSN(
                  &msg, (head + "<ClusterID>7</ClusterID>" + body + "</p:ZCLCommand>").c_str()),
              0)
        << messages();
    EXPECT_EQ(msg.getClusterId(), 6);
    EXPECT_EQ(msg.getTxSettings(), 0x01);

    std::string unprefixedCluster = body;
    unprefixedCluster.replace(unprefixedCluster.find("<p:ClusterID>6</p:ClusterID>"),
                              std::string("<p:ClusterID>6</p:ClusterID>").size(),
                              "<ClusterID>6</ClusterID>");
    Message other;
    EXPECT_EQ(
        parser.getZCLCommandToWSN(&other, (head + unprefixedCluster + "</p:ZCLCommand>").c_str()),
        1);
    EXPECT_TRUE(said("getZCLCommandToWSN - ERROR: ClusterID element not present"));

    tinyxml2::XMLDocument doc;
    std::string root, orq, rest;
    ASSERT_NE(parser.getRoot(doc, (head + "</p:ZCLCommand>").c_str(), root, orq, rest), nullptr);
    EXPECT_EQ(root, "ZCLCommand");
    EXPECT_EQ(orq, "p");
    EXPECT_EQ(rest, "r");
}

TEST_F(ParserTest, DocumentElementMayBeAChildOfTheRoot) {
    Message msg;
    const std::string inner = build("ZCLCommand", kZclParts);
    EXPECT_EQ(parser.getZCLCommandToWSN(&msg, ("<Request>" + inner + "</Request>").c_str()), 0);
    EXPECT_EQ(parser.getZCLCommandToWSN(&msg, "<Request><Other/></Request>"), 1);
    EXPECT_TRUE(said("getZCLCommandToWSN - ZCLCommand element not found"));
}

TEST_F(ParserTest, TextsThatAreNotUtf8XmlAreRefused) {
    const char* refused[] = {
        "<Value>\xC3\x28\xFF\xFE</Value>",  // not UTF-8
        "<Value>\xED\xA0\x80</Value>",      // a surrogate, encoded
        "<Value>\xC0\xAF</Value>",          // overlong
        "<Value>a\x01b</Value>",            // a control character
        "<Value>&#xD800;</Value>",          // references to what XML cannot carry
        "<Value>&#xFFFE;</Value>",         "<Value>a&#0;b</Value>",
        "<Value>&#x110000;</Value>",       "<Value>&#12a;</Value>",
    };
    std::string value;
    for (const char* text : refused) {
        EXPECT_EQ(parser.getValue(value, text), 1) << text;
        EXPECT_NE(messages().find("getRoot - ERROR: not UTF-8 XML text"), std::string::npos)
            << text;
    }
    ASSERT_EQ(parser.getValue(value, "<Value>&#x41;&#233;\xC3\xA9\xF0\x9F\x90\x9D</Value>"), 0);
    EXPECT_EQ(value, "A\xC3\xA9\xC3\xA9\xF0\x9F\x90\x9D");
    // Inside a comment or CDATA, "&#0;" is text, not a reference.
    ASSERT_EQ(parser.getValue(value, "<Value><![CDATA[&#0;]]><!-- &#0; --></Value>"), 0);
    EXPECT_EQ(value, "&#0;");
}

// The fuzz target's seed inputs: the first byte chooses the entry point, and every seed is a
// document that entry point accepts.
TEST_F(ParserTest, SeedCorpusDocumentsAreAccepted) {
    const std::vector<std::function<int(const char*)>> entries = {
        [&](const char* t) {
            Message m;
            return parser.getZCLCommandToWSN(&m, t);
        },
        [&](const char* t) {
            Message m;
            return parser.getZDPCommandToWSN(&m, t);
        },
        [&](const char* t) {
            Message m;
            return parser.getAPSMessageToWSN(&m, t);
        },
        [&](const char* t) {
            ZB_BIND_STRUCT b = {};
            return parser.getBindindCommand(&b, t);
        },
        [&](const char* t) {
            SimpleDescriptor sd;
            return parser.getSimpleDescriptor(&sd, t);
        },
        [&](const char* t) {
            int d = 0;
            bool s = false;
            return parser.getJoiningInfoValues(&d, &s, t);
        },
        [&](const char* t) {
            Callback cb;
            return parser.getCallback(&cb, t);
        },
        [&](const char* t) {
            StartupAttributeInfo info;
            return parser.getStartupAttributeInfo(&info, t);
        },
        [&](const char* t) {
            unsigned long v = 0;
            return parser.getValue(v, t);
        },
        [&](const char* t) {
            std::string v;
            return parser.getValue(v, t);
        },
        [&](const char* t) {
            std::string v;
            const std::string text = t;
            return parser.getValueAttribute(&v, &text);
        },
    };
    std::set<size_t> covered;
    for (const auto& file : std::filesystem::directory_iterator(ORQ_XML_CORPUS)) {
        std::ifstream in(file.path(), std::ios::binary);
        const std::string seed((std::istreambuf_iterator<char>(in)), {});
        ASSERT_FALSE(seed.empty()) << file.path();
        const size_t entry = static_cast<unsigned char>(seed[0]) % entries.size();
        EXPECT_EQ(entries[entry](seed.c_str() + 1), 0) << file.path() << "\n" << messages();
        covered.insert(entry);
    }
    EXPECT_EQ(covered.size(), entries.size());
}

TEST_F(ParserTest, UnusableTextsAreRefused) {
    Message msg;
    EXPECT_EQ(parser.getZCLCommandToWSN(&msg, nullptr), 1);
    EXPECT_EQ(parser.getZCLCommandToWSN(&msg, ""), 1);
    EXPECT_EQ(parser.getZCLCommandToWSN(&msg, "<ZCLCommand><ClusterID>"), 1);
    EXPECT_EQ(parser.getZCLCommandToWSN(&msg, "not xml at all"), 1);
    EXPECT_EQ(parser.getZCLCommandToWSN(nullptr, build("ZCLCommand", kZclParts).c_str()), 1);
}

TEST_F(ParserTest, OversizedAndDeeplyNestedDocumentsAreRefused) {
    std::vector<Part> parts = kZclParts;
    parts[7].content = std::string(XMLMsgParser::MAX_DOCUMENT_SIZE, 'a');
    Message msg;
    EXPECT_EQ(parser.getZCLCommandToWSN(&msg, build("ZCLCommand", parts).c_str()), 1);
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
    std::string unclosed(20000, '<');
    EXPECT_EQ(parser.getZCLCommandToWSN(&msg, unclosed.c_str()), 1);
}

const std::vector<Part> kZdpParts = {
    {"Destination", "<NetworkAddress>4660</NetworkAddress>"},
    {"TxOptions", kTxOptions},
    {"Radius", "5"},
    {"ClusterID", "2"},
    {"Command", "013412"},
};

TEST_F(ParserTest, ZDPCommand) {
    Message msg;
    ASSERT_EQ(parser.getZDPCommandToWSN(&msg, build("ZDPCommand", kZdpParts).c_str()), 0)
        << messages();
    EXPECT_EQ(msg.getDstAddrMode(), 2);
    EXPECT_EQ(msg.getClusterId(), 2);
    EXPECT_EQ(msg.getMaxHopsNumber(), 5);
    EXPECT_EQ(msg.getSrcEp(), 0);
    EXPECT_EQ(msg.getDstEp(), 0);
    EXPECT_EQ(msg.getProfileId(), 0);
    EXPECT_EQ(payloadOf(msg), (std::vector<uint8_t>{0x01, 0x34, 0x12}));

    const std::vector<std::pair<std::string, std::string>> missing = {
        {"TxOptions", "getZDPCommandToWSN - ERROR: TxOptions element not present"},
        {"ClusterID", "getZDPCommandToWSN - ERROR: ClusterID element not present"},
        {"Command", "getZDPCommandToWSN - ERROR: Command element not present"},
    };
    for (const auto& [name, text] : missing) {
        Message m;
        EXPECT_EQ(parser.getZDPCommandToWSN(&m, build("ZDPCommand", kZdpParts, name).c_str()), 1);
        EXPECT_TRUE(said(text)) << name;
    }
    for (const auto& [name, text] : std::vector<std::pair<std::string, std::string>>{
             {"Destination", "getZDPCommandToWSN - WARNING: Destination element not present"},
             {"Radius", "getZDPCommandToWSN - WARNING: Radius element not present"}}) {
        Message m;
        EXPECT_EQ(parser.getZDPCommandToWSN(&m, build("ZDPCommand", kZdpParts, name).c_str()), 0);
        EXPECT_TRUE(said(text)) << name;
    }
    EXPECT_EQ(parser.getZDPCommandToWSN(&msg, "<ZCLCommand/>"), 1);
    EXPECT_TRUE(said("getZDPCommandToWSN - ZDPCommand element not found"));
}

const std::vector<Part> kApsParts = {
    {"DestinationEndpoint", "0"}, {"SourceEndpoint", "0"},
    {"ProfileID", "0"},           {"ClusterID", "2"},
    {"TxOptions", kTxOptions},    {"Radius", "30"},
    {"Data", "00cdab"},           {"DestinationAddress", "<NetworkAddress>43981</NetworkAddress>"},
};

TEST_F(ParserTest, APSMessage) {
    Message msg;
    ASSERT_EQ(parser.getAPSMessageToWSN(&msg, build("APSMessage", kApsParts).c_str()), 0)
        << messages();
    EXPECT_EQ(msg.getClusterId(), 2);
    EXPECT_EQ(msg.getMaxHopsNumber(), 30);
    EXPECT_EQ(dstAddrOf(msg), (std::vector<uint8_t>{0xAB, 0xCD}));
    EXPECT_EQ(payloadOf(msg), (std::vector<uint8_t>{0x00, 0xCD, 0xAB}));

    for (const char* required :
         {"DestinationEndpoint", "SourceEndpoint", "ClusterID", "TxOptions", "Radius", "Data"}) {
        Message m;
        EXPECT_EQ(parser.getAPSMessageToWSN(&m, build("APSMessage", kApsParts, required).c_str()),
                  1)
            << required;
    }
    Message m;
    EXPECT_EQ(parser.getAPSMessageToWSN(&m, build("APSMessage", kApsParts, "ProfileID").c_str()),
              0);
    EXPECT_TRUE(said("getMessageToWSN - WARNING: ProfileID element not present"));
    EXPECT_EQ(
        parser.getAPSMessageToWSN(&m, build("APSMessage", kApsParts, "DestinationAddress").c_str()),
        0);
    EXPECT_EQ(parser.getAPSMessageToWSN(&m, build("ZCLCommand", kZclParts).c_str()), 1);
    EXPECT_TRUE(said("getMessageToWSN - APSMessage element not found"));
}

const std::vector<Part> kBindingParts = {
    {"SourceIEEEAddress", "81985529216486895"},
    {"SourceEndpoint", "1"},
    {"ClusterID", "6"},
    {"DeviceDestination", "<Address>258</Address><Endpoint>8</Endpoint>"},
};

TEST_F(ParserTest, Binding) {
    ZB_BIND_STRUCT bind = {};
    ASSERT_EQ(parser.getBindindCommand(&bind, build("Binding", kBindingParts).c_str()), 0)
        << messages();
    EXPECT_EQ(bytesOf(bind.src_addr, 8),
              (std::vector<uint8_t>{0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}));
    EXPECT_EQ(bind.src_ep, 1);
    EXPECT_EQ(bind.cluster_id, 6);
    EXPECT_EQ(bytesOf(bind.dst_addr, 8), (std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 0x01, 0x02}));
    EXPECT_EQ(bind.dst_ep, 8);
    EXPECT_TRUE(said("getBindindCommand - Optional element GroupDestination not found"));

    struct Case {
        std::string skip;
        std::vector<Part> parts;
        std::string message;
    } cases[] = {
        {"SourceIEEEAddress", kBindingParts, "getBindindCommand - No SourceIEEEAddress (empty)"},
        {"", {{"SourceIEEEAddress", "12ab"}}, "getBindindCommand - bad IEEE address '12ab'"},
        {"SourceEndpoint", kBindingParts, "getBindindCommand - SourceEndpoint not found!"},
        {"ClusterID", kBindingParts, "getBindindCommand - ClusterID not found!"},
        {"DeviceDestination", kBindingParts, "getBindindCommand - DeviceDestination parsing error"},
        {"",
         {kBindingParts[0],
          kBindingParts[1],
          kBindingParts[2],
          {"DeviceDestination", "<Address>258</Address>"}},
         "parseDeviceElement - Endpoint not found!"},
        {"",
         {kBindingParts[0],
          kBindingParts[1],
          kBindingParts[2],
          {"DeviceDestination", "<Address>x</Address><Endpoint>8</Endpoint>"}},
         "parseDeviceElement - bad IEEE address  'x'"},
        {"",
         {kBindingParts[0], kBindingParts[1], kBindingParts[2], {"DeviceDestination", ""}},
         "parseDeviceElement - No Device info (empty)"},
    };
    for (const Case& c : cases) {
        ZB_BIND_STRUCT b = {};
        EXPECT_EQ(parser.getBindindCommand(&b, build("Binding", c.parts, c.skip).c_str()), 1)
            << c.message;
        EXPECT_TRUE(said(c.message)) << c.message << "\n" << messages();
    }
    EXPECT_EQ(parser.getBindindCommand(&bind, "<Unbinding/>"), 1);
    EXPECT_TRUE(said("getBindindCommand - Binding element not found"));
}

// Binding and unbinding read the same document: the destination's IEEE address may be the bare
// number (the form of the binding table) or held in IeeeAddress, with or without name spaces
// and beside a group destination.
TEST_F(ParserTest, BindingDestinationInEitherAddressForm) {
    const std::string nested =
        "<Address><IeeeAddress>258</IeeeAddress></Address><Endpoint>8</Endpoint>";
    const std::string ns = std::string(" xmlns:p=\"") + ORQ_GATEWAY_SCHEMA_URI + "\"";
    const std::string prefixed =
        "<p:Binding" + ns +
        "><p:SourceIEEEAddress>81985529216486895</p:SourceIEEEAddress>"
        "<p:SourceEndpoint>1</p:SourceEndpoint><p:ClusterID>6</p:ClusterID>"
        "<p:DeviceDestination><p:Address><p:IeeeAddress>258</p:IeeeAddress></p:Address>"
        "<p:Endpoint>8</p:Endpoint></p:DeviceDestination></p:Binding>";
    std::vector<Part> withGroup = kBindingParts;
    withGroup.insert(withGroup.begin() + 3, {"GroupDestination", "5"});
    withGroup.back().content = nested;
    std::vector<Part> plain = kBindingParts;
    plain.back().content = nested;
    for (const std::string& doc :
         {build("Binding", plain), build("Binding", withGroup), prefixed}) {
        ZB_BIND_STRUCT bind = {};
        ASSERT_EQ(parser.getBindindCommand(&bind, doc.c_str()), 0) << doc << "\n" << messages();
        EXPECT_EQ(bytesOf(bind.dst_addr, 8), (std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 0x01, 0x02}))
            << doc;
        EXPECT_EQ(bind.dst_ep, 8) << doc;
        EXPECT_EQ(bind.cluster_id, 6) << doc;
    }
    // A device is named by its IEEE address alone.
    const struct {
        std::string address;
        std::string message;
    } refused[] = {
        {"<NetworkAddress>4353</NetworkAddress>",
         "parseDeviceElement - NetworkAddress address type is unknown"},
        {"<IeeeAddress>258</IeeeAddress><NetworkAddress>1</NetworkAddress>",
         "parseDeviceElement - IeeeAddress address type is unknown"},
        {"<IeeeAddress/>", "parseDeviceElement - DeviceDestination/Address is empty"},
        {"<IeeeAddress>0x102</IeeeAddress>", "parseDeviceElement - bad IEEE address  '0x102'"},
    };
    for (const auto& c : refused) {
        plain.back().content = "<Address>" + c.address + "</Address><Endpoint>8</Endpoint>";
        ZB_BIND_STRUCT bind = {};
        EXPECT_EQ(parser.getBindindCommand(&bind, build("Binding", plain).c_str()), 1) << c.address;
        EXPECT_TRUE(said(c.message)) << c.message << "\n" << messages();
        EXPECT_TRUE(said("getBindindCommand - DeviceDestination parsing error"));
    }
}

TEST_F(ParserTest, SimpleDescriptor) {
    SimpleDescriptor sd;
    const std::vector<Part> parts = {
        {"EndPoint", "8"},
        {"ApplicationProfileIdentifier", "260"},
        {"ApplicationDeviceIdentifier", "256"},
        {"ApplicationDeviceVersion", "15"},
        {"ApplicationInputCluster", "0"},
        {"ApplicationOutputCluster", "25"},
        {"ApplicationInputCluster", "6"},
    };
    ASSERT_EQ(parser.getSimpleDescriptor(&sd, build("SimpleDescriptor", parts).c_str()), 0)
        << messages();
    EXPECT_EQ(sd.end_point, 8);
    EXPECT_EQ(sd.profile_id, 260);
    EXPECT_EQ(sd.device_id, 256);
    EXPECT_EQ(sd.device_ver, 15);
    EXPECT_EQ(sd.input_cluster, (std::list<int>{0, 6}));
    EXPECT_EQ(sd.output_cluster, (std::list<int>{25}));

    SimpleDescriptor partial;
    EXPECT_EQ(parser.getSimpleDescriptor(
                  &partial, build("SimpleDescriptor", parts, "ApplicationDeviceVersion").c_str()),
              0);
    EXPECT_TRUE(said(
        "WARNING: SimpleDescriptor element does not contain an ApplicationDeviceVersion value"));

    std::vector<Part> bad = parts;
    bad[3].content = "16";
    EXPECT_EQ(parser.getSimpleDescriptor(&partial, build("SimpleDescriptor", bad).c_str()), 1);
    bad = parts;
    bad[4].content = "65536";
    EXPECT_EQ(parser.getSimpleDescriptor(&partial, build("SimpleDescriptor", bad).c_str()), 1);
    EXPECT_EQ(parser.getSimpleDescriptor(&partial, "<Descriptor/>"), 1);
    EXPECT_TRUE(said("getSimpleDescriptor - SimpleDescriptor element not found"));
}

TEST_F(ParserTest, JoiningInfo) {
    int duration = -1;
    bool significance = false;
    EXPECT_EQ(parser.getJoiningInfoValues(
                  &duration, &significance,
                  "<JoiningInfo><PermitDuration>60</PermitDuration><TCSignificance>true"
                  "</TCSignificance></JoiningInfo>"),
              0);
    EXPECT_EQ(duration, 60);
    EXPECT_TRUE(significance);
    EXPECT_EQ(parser.getJoiningInfoValues(&duration, &significance,
                                          "<JoiningInfo><TCSignificance>true</TCSignificance>"
                                          "</JoiningInfo>"),
              1);
    EXPECT_TRUE(said("ERROR: PermitDuration value not present"));
    EXPECT_EQ(parser.getJoiningInfoValues(&duration, &significance,
                                          "<JoiningInfo><PermitDuration>65536</PermitDuration>"
                                          "<TCSignificance>true</TCSignificance></JoiningInfo>"),
              1);
    EXPECT_EQ(parser.getJoiningInfoValues(&duration, &significance, "<Joining/>"), 1);
    EXPECT_TRUE(said("getJoiningInfoValues - JoiningInfo element not found"));
}

const std::string kCallback =
    "<Callback><Filter>"
    "<LevelSpecification><Level>APSLevel</Level><Level>NWKLevel</Level></LevelSpecification>"
    "<AddressSpecification><NWKSourceAddress><NetworkAddress>4660</NetworkAddress>"
    "</NWKSourceAddress><APSSourceEndpoint>3</APSSourceEndpoint>"
    "<APSDestinationEndpoint>8</APSDestinationEndpoint></AddressSpecification>"
    "<MessageSpecification><APSClusterIdentifier>6</APSClusterIdentifier>"
    "<APSClusterGroup>ZCL</APSClusterGroup></MessageSpecification>"
    "</Filter><Buffer>kept</Buffer>"
    "<Action><DecodeSpecification><DecodeLevel>DecodeInterPAN</DecodeLevel>"
    "<DecodeLevel>DecodeZCL</DecodeLevel></DecodeSpecification>"
    "<ForwardingSpecification>http://127.0.0.1:8080/cb</ForwardingSpecification></Action>"
    "</Callback>";

TEST_F(ParserTest, CallbackWithEverything) {
    Callback cb;
    ASSERT_EQ(parser.getCallback(&cb, kCallback.c_str()), 0) << messages();
    EXPECT_TRUE(cb.filter.isDefined);
    EXPECT_EQ(cb.filter.levelSpec.level, "APSLevelNWKLevel");
    const AddressSpecification& as = cb.filter.addressSpec;
    EXPECT_TRUE(as.isDefined);
    EXPECT_TRUE(as.isNWKSourceAddressDefined);
    EXPECT_EQ(as.NWKSourceAddress, 0x1234);
    EXPECT_TRUE(as.isAPSSourceEndpointDefined);
    EXPECT_EQ(as.APSSourceEndpoint, 3);
    EXPECT_TRUE(as.isAPSDestinationEndpointDefined);
    EXPECT_EQ(as.APSDestinationEndpoint, 8);
    const MessageSpecification& ms = cb.filter.messageSpec;
    EXPECT_TRUE(ms.isDefined);
    EXPECT_TRUE(ms.isAPSClusterIdentifierDefined);
    EXPECT_EQ(ms.APSClusterIdentifier, "6");
    EXPECT_TRUE(ms.isAPSClusterGroupDefined);
    EXPECT_EQ(ms.APSClusterGroup, "ZCL");
    EXPECT_EQ(cb.buffer, "kept");
    EXPECT_TRUE(cb.action.isDefined);
    const bool* levels = cb.action.decodeSpecification.decodeLevel;
    EXPECT_EQ(std::vector<bool>(levels, levels + DECODE_LEVEL_COUNT),
              (std::vector<bool>{false, false, true, false, true, false}));
    EXPECT_EQ(cb.action.forwardingSpecification, "http://127.0.0.1:8080/cb");

    Callback copy = cb;  // the agent keeps copies
    EXPECT_EQ(copy.filter.addressSpec.NWKSourceAddress, 0x1234);
}

TEST_F(ParserTest, CallbackOptionalPartsAndResults) {
    Callback cb;
    EXPECT_EQ(parser.getCallback(&cb, "<Callback/>"), 0);
    EXPECT_FALSE(cb.filter.isDefined);
    EXPECT_FALSE(cb.action.isDefined);
    EXPECT_TRUE(said("getCallback - WARNING: Filter element not present"));
    EXPECT_TRUE(said("getCallback - WARNING: Buffer element not present"));
    EXPECT_TRUE(said("getCallback - WARNING: Action element not present"));

    EXPECT_EQ(parser.getCallback(&cb, "<Other/>"), XMLMsgParser::PARSE_MISSING_ELEMENT);
    EXPECT_TRUE(said("getCallback - ERROR: Callback element not found"));
    EXPECT_EQ(parser.getCallback(&cb, "<Callback>"), XMLMsgParser::PARSE_BAD_DOCUMENT);
    EXPECT_EQ(parser.getCallback(&cb, ""), XMLMsgParser::PARSE_BAD_DOCUMENT);

    EXPECT_EQ(parser.getCallback(&cb, "<Callback><Filter/></Callback>"),
              XMLMsgParser::PARSE_BAD_VALUE);
    EXPECT_TRUE(said("getCallback - ERROR: LevelSpecification element not found!"));
    EXPECT_EQ(parser.getCallback(&cb,
                                 "<Callback><Filter><LevelSpecification><Level>PHYLevel</Level>"
                                 "</LevelSpecification></Filter></Callback>"),
              XMLMsgParser::PARSE_BAD_VALUE);
    EXPECT_EQ(parser.getCallback(&cb, "<Callback><Action/></Callback>"),
              XMLMsgParser::PARSE_BAD_VALUE);
    EXPECT_TRUE(said("getCallback - ERROR: DecodeSpecification element not found!"));
    EXPECT_EQ(parser.getCallback(&cb,
                                 "<Callback><Action><DecodeSpecification><DecodeLevel>DecodeAPS"
                                 "</DecodeLevel></DecodeSpecification></Action></Callback>"),
              XMLMsgParser::PARSE_BAD_VALUE);
    EXPECT_TRUE(said("getCallback - ERROR: ForwardingSpecification element not found!"));

    Callback lenient;
    EXPECT_EQ(parser.getCallback(&lenient,
                                 "<Callback><Action><DecodeSpecification><DecodeLevel>Bogus"
                                 "</DecodeLevel><DecodeLevel>DecodeAPS</DecodeLevel>"
                                 "</DecodeSpecification><ForwardingSpecification>u"
                                 "</ForwardingSpecification></Action></Callback>"),
              0);
    EXPECT_TRUE(said("getCallback - Warning: DecodeLevel has not a valid value"));
    EXPECT_TRUE(lenient.action.decodeSpecification.decodeLevel[DecodeAPS]);

    Callback ieee;
    EXPECT_EQ(parser.getCallback(&ieee,
                                 "<Callback><Filter><LevelSpecification><Level>APSLevel</Level>"
                                 "</LevelSpecification><AddressSpecification><NWKSourceAddress>"
                                 "<IeeeAddress>1</IeeeAddress></NWKSourceAddress>"
                                 "</AddressSpecification></Filter></Callback>"),
              XMLMsgParser::PARSE_BAD_VALUE);
}

TEST_F(ParserTest, StartupAttributeInfo) {
    StartupAttributeInfo info;
    ASSERT_EQ(parser.getStartupAttributeInfo(
                  &info,
                  "<StartupAttributeInfo><StartupAttributeSetIndex>2</StartupAttributeSetIndex>"
                  "<DeviceType>Router</DeviceType><StartupControl>3</StartupControl>"
                  "<ChannelMask>15</ChannelMask></StartupAttributeInfo>"),
              0)
        << messages();
    EXPECT_EQ(info.startupAttributeSetIndex, 2);
    EXPECT_EQ(info.deviceType, 2);
    EXPECT_TRUE(info.isDeviceTypeDefined);
    EXPECT_EQ(info.StartupControl, 3);
    EXPECT_TRUE(info.isStartupControlDefined);
    EXPECT_EQ(info.channelMask, 15ul);
    EXPECT_TRUE(info.isChannelMaskDefined);

    StartupAttributeInfo some;
    EXPECT_EQ(parser.getStartupAttributeInfo(&some, "<S><StartupControl>0</StartupControl></S>"),
              0);
    EXPECT_FALSE(some.isDeviceTypeDefined);
    EXPECT_TRUE(some.isStartupControlDefined);
    EXPECT_TRUE(said("getStartupAttributeInfo - DeviceType not present"));
    EXPECT_TRUE(said("getStartupAttributeInfo - ChannelMask not present"));

    EXPECT_EQ(parser.getStartupAttributeInfo(&some, "<S><Other/></S>"),
              XMLMsgParser::PARSE_MISSING_ELEMENT);
    EXPECT_TRUE(said("getStartupAttributeInfo - Element not found"));
    EXPECT_EQ(parser.getStartupAttributeInfo(&some, "<S><DeviceType>Hub</DeviceType></S>"),
              XMLMsgParser::PARSE_BAD_VALUE);
    EXPECT_EQ(parser.getStartupAttributeInfo(&some, "<S><ChannelMask>70000</ChannelMask></S>"),
              XMLMsgParser::PARSE_BAD_VALUE);
    EXPECT_EQ(parser.getStartupAttributeInfo(&some, "<S>"), XMLMsgParser::PARSE_BAD_DOCUMENT);
}

TEST_F(ParserTest, SingleValues) {
    std::string text;
    EXPECT_EQ(parser.getValue(text, "<Value> abc </Value>"), 0);
    EXPECT_EQ(text, "abc");
    const std::string prefixed = std::string("<r:Request xmlns:r=\"") + ORQ_REST_SCHEMA_URI +
                                 "\"><r:Value>1e</r:Value></r:Request>";
    EXPECT_EQ(parser.getValue(text, prefixed.c_str()), 0);
    EXPECT_EQ(text, "1e");
    EXPECT_EQ(parser.getValue(text, "<Request><Other/></Request>"), 1);
    EXPECT_TRUE(said("getValue - Value element not found"));

    unsigned long number = 0;
    EXPECT_EQ(parser.getValue(number, "<Value>\n 30 \n</Value>"), 0);
    EXPECT_EQ(number, 30ul);
    EXPECT_EQ(parser.getValue(number, "<Value>3O</Value>"), 1);
    EXPECT_TRUE(said("getValue - Bad long: 3O"));

    std::string value;
    const std::string body = "<Value>0x0B</Value>";
    EXPECT_EQ(parser.getValueAttribute(&value, &body), 0);
    EXPECT_EQ(value, "0x0B");
    const std::string empty;
    EXPECT_EQ(parser.getValueAttribute(&value, &empty), 1);
    EXPECT_TRUE(said("getValueAttribute - No XMLMessage sent!"));
    EXPECT_EQ(parser.getValueAttribute(&value, nullptr), 1);
}

}  // namespace
