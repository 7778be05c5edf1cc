#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "CDebug.h"
#include "CMessage.h"
#include "XMLProcessor.h"
#include "XMLText.h"

using tinyxml2::XMLDocument;
using tinyxml2::XMLElement;

using xmltext::localName;
using xmltext::parseDecimal64;
using xmltext::textOf;
using xmltext::trimmed;

namespace {
// The messages of the last operation, one list per thread.
std::vector<std::string>& threadMessages() {
    static thread_local std::vector<std::string> messages;
    return messages;
}
}  // namespace

XMLMsgParser* XMLMsgParser::Instance() {
    static XMLMsgParser* instance = new XMLMsgParser();
    return instance;
}

XMLMsgParser::XMLMsgParser() : pLogger(std::make_unique<Debug>("XMLMsgParser")) {
    // This logger is always off; failures are kept in lastMessages().
    pLogger->setDebugMode(0);
    pLogger->setDebugLevel(0);
    init();
}

XMLMsgParser::~XMLMsgParser() = default;

void XMLMsgParser::init() {
    deviceTypeMap = {{"Current", 0}, {"Coordinator", 1}, {"Router", 2}, {"EndDevice", 3}};
    filterLevelMap = {{"MACLevel", MACLevel},
                      {"NWKLevel", NWKLevel},
                      {"APSLevel", APSLevel},
                      {"INTRPLevel", INTRPLevel}};
    decodeLevelMap = {{"DecodeMAC", DecodeMAC},           {"DecodeNWK", DecodeNWK},
                      {"DecodeInterPAN", DecodeInterPAN}, {"DecodeAPS", DecodeAPS},
                      {"DecodeZCL", DecodeZCL},           {"DecodeZDP", DecodeZDP}};
}

const std::vector<std::string>& XMLMsgParser::lastMessages() const {
    return threadMessages();
}

void XMLMsgParser::begin() {
    threadMessages().clear();
}

void XMLMsgParser::report(int type, const char* format, ...) {
    char text[500];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    threadMessages().emplace_back(text);
    ORQ_LOG(*pLogger, type, "%s", text);
}

const XMLElement* XMLMsgParser::getRoot(XMLDocument& document, const char* text,
                                        std::string& rootName, std::string& orqPrefix,
                                        std::string& restPrefix) {
    rootName.clear();
    orqPrefix.clear();
    restPrefix.clear();
    if (text == nullptr || *text == '\0') {
        report(ERROR, "getRoot - ERROR: no document");
        return nullptr;
    }
    const size_t length = std::strlen(text);
    if (length > MAX_DOCUMENT_SIZE) {
        report(ERROR, "getRoot - ERROR: document of %zu bytes is larger than %zu", length,
               MAX_DOCUMENT_SIZE);
        return nullptr;
    }
    if (document.Parse(text, length) != tinyxml2::XML_SUCCESS) {
        report(ERROR, "getRoot - ERROR: %s", document.ErrorStr());
        return nullptr;
    }
    const XMLElement* root = document.RootElement();
    if (root == nullptr) {
        report(ERROR, "getRoot - ERROR: no root element");
        return nullptr;
    }
    rootName = localName(root->Name());
    for (const tinyxml2::XMLAttribute* a = root->FirstAttribute(); a != nullptr; a = a->Next()) {
        const char* name = a->Name();
        if (std::strncmp(name, "xmlns:", 6) != 0 || name[6] == '\0') {
            continue;
        }
        if (std::strcmp(a->Value(), ORQ_GATEWAY_SCHEMA_URI) == 0) {
            orqPrefix = name + 6;
        } else if (std::strcmp(a->Value(), ORQ_REST_SCHEMA_URI) == 0) {
            restPrefix = name + 6;
        }
    }
    ORQ_LOG(*pLogger, DEBUG, "getRoot - Value of label: %s\r\n", rootName.c_str());
    ORQ_LOG(*pLogger, DEBUG, "getRoot - orqPrefix %s, restPrefix %s\r\n", orqPrefix.c_str(),
            restPrefix.c_str());
    return root;
}

const XMLElement* XMLMsgParser::getNode(const XMLElement* parent, const std::string& prefix,
                                        const char* name, const XMLElement* after) const {
    if (parent == nullptr && after == nullptr) {
        return nullptr;
    }
    const std::string full = prefix.empty() ? std::string(name) : prefix + ":" + name;
    if (after != nullptr) {
        return after->NextSiblingElement(full.c_str());
    }
    return parent->FirstChildElement(full.c_str());
}

const XMLElement* XMLMsgParser::openDocument(XMLDocument& document, const char* text,
                                             const char* rootName, Doc& doc, const char* notFound,
                                             int* failure) {
    const XMLElement* root = getRoot(document, text, doc.rootName, doc.orqPrefix, doc.restPrefix);
    if (root == nullptr) {
        report(ERROR, "%s", notFound);
        *failure = PARSE_BAD_DOCUMENT;
        return nullptr;
    }
    if (doc.rootName == rootName) {
        return root;
    }
    const XMLElement* element = getNode(root, doc.orqPrefix, rootName);
    if (element == nullptr) {
        report(ERROR, "%s", notFound);
        *failure = PARSE_MISSING_ELEMENT;
    }
    return element;
}

int XMLMsgParser::parseIeee(const char* text, uint8_t ieee[8]) const {
    unsigned long long value = 0;
    if (!parseDecimal64(trimmed(text), value)) {
        return 1;
    }
    for (int i = 0; i < 8; ++i) {
        ieee[i] = static_cast<uint8_t>(value >> (8 * i));
    }
    return 0;
}

int XMLMsgParser::parseAddress(const XMLElement* parent, const std::string& prefix,
                               const char* name, uint8_t& mode, uint8_t addr[8]) {
    const XMLElement* element = getNode(parent, prefix, name);
    if (element == nullptr) {
        report(ERROR, "parseAddress - %s element not found", name);
        return 1;
    }
    const XMLElement* child = element->FirstChildElement();
    if (child == nullptr) {
        report(ERROR, "parseAddress - No address info is empty");
        return 1;
    }
    const std::string kind = localName(child->Name());
    const std::string expected = prefix.empty() ? kind : prefix + ":" + kind;
    const std::string text = textOf(child);
    if (expected != child->Name()) {
        report(ERROR, "parseAddress - %s address type is unknown", child->Name());
        return 1;
    }
    if (kind == "IeeeAddress") {
        if (text.empty()) {
            report(ERROR, "parseAddress - %s/%s is empty", name, kind.c_str());
            return 1;
        }
        if (parseIeee(text.c_str(), addr) != 0) {
            report(ERROR, "parseAddress - bad IEEE address  '%s'", text.c_str());
            return 1;
        }
        mode = Message::ADDR_MODE_IEEE;
        return 0;
    }
    if (kind == "NetworkAddress") {
        if (text.empty()) {
            report(ERROR, "parseAddress - %s/%s is empty", name, kind.c_str());
            return 1;
        }
        unsigned long long value = 0;
        if (!parseDecimal64(text, value) || value > 0xFFFF) {
            report(ERROR, "parseAddress - bad nwk address  '%s'", text.c_str());
            return 1;
        }
        // Most significant byte first, as Message keeps 16-bit addresses.
        addr[0] = static_cast<uint8_t>(value >> 8);
        addr[1] = static_cast<uint8_t>(value);
        mode = Message::ADDR_MODE_NWK;
        return 0;
    }
    if (kind == "AliasAddress") {
        report(ERROR, "parseAddress - alias addresses not supported");
        return 1;
    }
    report(ERROR, "parseAddress - %s address type is unknown", kind.c_str());
    return 1;
}

int XMLMsgParser::parseDeviceElement(const XMLElement* parent, const std::string& prefix,
                                     const char* name, uint8_t ieee[8], long& endpoint) {
    const XMLElement* element = getNode(parent, prefix, name);
    if (element == nullptr) {
        report(ERROR, "parseDeviceElement - %s element not found", name);
        return 1;
    }
    if (element->FirstChildElement() == nullptr) {
        report(ERROR, "parseDeviceElement - No Device info (empty)");
        return 1;
    }
    const XMLElement* address = getNode(element, prefix, "Address");
    if (address == nullptr) {
        report(ERROR, "parseDeviceElement - %s address type is unknown",
               element->FirstChildElement()->Name());
        return 1;
    }
    const std::string text = textOf(address);
    if (text.empty()) {
        report(ERROR, "parseDeviceElement - %s/%s is empty", name, "Address");
        return 1;
    }
    if (parseIeee(text.c_str(), ieee) != 0) {
        report(ERROR, "parseDeviceElement - bad IEEE address  '%s'", text.c_str());
        return 1;
    }
    if (getNode(element, prefix, "Endpoint") == nullptr) {
        report(ERROR, "parseDeviceElement - Endpoint not found!");
        return 1;
    }
    return parseLong(element, prefix, "Endpoint", endpoint, 10, 0, 255);
}

int XMLMsgParser::parseTxOptions(const XMLElement* parent, const std::string& prefix,
                                 const char* name, uint8_t& txOptions) {
    const XMLElement* element = getNode(parent, prefix, name);
    if (element == nullptr) {
        report(ERROR, "parseTxOptions - %s element not found", name);
        return 1;
    }
    static const struct {
        const char* name;
        uint8_t bit;
    } kBits[] = {{"SecurityEnabled", 0x01},
                 {"UseNetworkKey", 0x02},
                 {"Acknowledged", 0x04},
                 {"PermitFragmentation", 0x08}};
    uint8_t options = 0;
    for (const auto& b : kBits) {
        bool on = false;
        if (parseBoolean(element, prefix, b.name, on) != 0) {
            return 1;
        }
        if (on) {
            options |= b.bit;
        }
    }
    txOptions = options;
    return 0;
}

int XMLMsgParser::parseBoolean(const XMLElement* parent, const std::string& prefix,
                               const char* name, bool& value) {
    const XMLElement* element = getNode(parent, prefix, name);
    if (element == nullptr) {
        report(ERROR, "parseBoolean - %s element not found", name);
        return 1;
    }
    const std::string text = textOf(element);
    if (text.empty()) {
        report(ERROR, "parseBoolean - %s is empty", name);
        return 1;
    }
    if (text == "true") {
        value = true;
    } else if (text == "false") {
        value = false;
    } else {
        report(ERROR, "parseBoolean - %s is invalid: '%s'", name, text.c_str());
        return 1;
    }
    return 0;
}

int XMLMsgParser::parseLong(const XMLElement* parent, const std::string& prefix, const char* name,
                            long& value, int base, long min, long max) {
    const XMLElement* element = getNode(parent, prefix, name);
    if (element == nullptr) {
        report(ERROR, "parseLong - %s element not found", name);
        return 1;
    }
    return parseLongElement(element, name, value, base, min, max);
}

int XMLMsgParser::parseLongElement(const XMLElement* element, const char* name, long& value,
                                   int base, long min, long max) {
    const std::string text = textOf(element);
    if (text.empty()) {
        report(ERROR, "parseLong - %s is empty", name);
        return 1;
    }
    errno = 0;
    char* end = nullptr;
    const long parsed = std::strtol(text.c_str(), &end, base);
    if (errno != 0 || end == nullptr || *end != '\0' || end == text.c_str()) {
        report(ERROR, "parseLong - %s is invalid: '%s'", name, text.c_str());
        return 1;
    }
    if (parsed < min || parsed > max) {
        report(ERROR, "parseLong - %s - %ld is not within %ld and %ld", name, parsed, min, max);
        return 1;
    }
    value = parsed;
    return 0;
}

int XMLMsgParser::parseHex(const XMLElement* parent, const std::string& prefix, const char* name,
                           std::vector<uint8_t>& bytes) {
    const XMLElement* element = getNode(parent, prefix, name);
    if (element == nullptr) {
        report(ERROR, "parseHex - %s element not found", name);
        return 1;
    }
    const std::string text = textOf(element);
    if (text.empty()) {
        report(ERROR, "parseHex - %s is empty", name);
        return 1;
    }
    if (text.size() % 2 != 0) {
        report(ERROR, "parseHex - %s - odd number of digits", name);
        return 1;
    }
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    std::vector<uint8_t> out;
    out.reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) {
        const int high = digit(text[i]);
        const int low = digit(text[i + 1]);
        if (high < 0 || low < 0) {
            report(ERROR, "parseHex - %s is an invalid hex string", name);
            return 1;
        }
        out.push_back(static_cast<uint8_t>(high << 4 | low));
    }
    bytes.swap(out);
    return 0;
}

int XMLMsgParser::parseEnumeration(const XMLElement* parent, const std::string& prefix,
                                   const char* name, const std::map<std::string, int>& keywords,
                                   int& value) {
    const XMLElement* element = getNode(parent, prefix, name);
    if (element == nullptr) {
        report(ERROR, "parseEnumeration - %s element not found", name);
        return 1;
    }
    const std::string text = textOf(element);
    if (text.empty()) {
        report(ERROR, "parseEnumeration - %s is empty", name);
        return 1;
    }
    auto it = keywords.find(text);
    if (it == keywords.end()) {
        report(ERROR, "parseEnumeration - value present but not valid");
        return 1;
    }
    value = it->second;
    return 0;
}

int XMLMsgParser::getZCLCommandToWSN(Message* msg, const char* text) {
    begin();
    XMLDocument document;
    Doc doc;
    int failure = 0;
    const XMLElement* cmd =
        openDocument(document, text, "ZCLCommand", doc,
                     "getZCLCommandToWSN - ZCLCommand element not found", &failure);
    if (cmd == nullptr || msg == nullptr) {
        return 1;
    }
    const std::string& p = doc.orqPrefix;
    long value = 0;

    if (getNode(cmd, p, "DestinationAddress") == nullptr) {
        report(WARN, "getZCLCommandToWSN - WARNING: DestinationAddress element not present");
    } else {
        uint8_t mode = 0;
        uint8_t addr[8] = {0};
        if (parseAddress(cmd, p, "DestinationAddress", mode, addr) != 0) {
            return 1;
        }
        msg->setDstAddrMode(mode);
        msg->setDstAddr(addr);
    }
    if (getNode(cmd, p, "DestinationEndpoint") == nullptr) {
        report(WARN, "getZCLCommandToWSN - WARNING: DestinationEndpoint element not present");
    } else {
        if (parseLong(cmd, p, "DestinationEndpoint", value, 10, 0, 255) != 0) {
            return 1;
        }
        msg->setDstEp(static_cast<uint8_t>(value));
    }
    if (getNode(cmd, p, "ProfileID") == nullptr) {
        report(WARN, "getZCLCommandToWSN - WARNING: ProfileID element not present");
    } else {
        if (parseLong(cmd, p, "ProfileID", value, 10, 0, 65535) != 0) {
            return 1;
        }
        msg->setProfileId(static_cast<uint16_t>(value));
    }
    if (getNode(cmd, p, "ClusterID") == nullptr) {
        report(ERROR, "getZCLCommandToWSN - ERROR: ClusterID element not present");
        return 1;
    }
    if (parseLong(cmd, p, "ClusterID", value, 10, 0, 65535) != 0) {
        return 1;
    }
    msg->setClusterId(static_cast<uint16_t>(value));
    if (getNode(cmd, p, "SourceEndpoint") == nullptr) {
        report(WARN, "getZCLCommandToWSN - WARNING: SourceEndpoint element not present");
    } else {
        if (parseLong(cmd, p, "SourceEndpoint", value, 10, 0, 255) != 0) {
            return 1;
        }
        msg->setSrcEp(static_cast<uint8_t>(value));
    }
    if (getNode(cmd, p, "TxOptions") == nullptr) {
        report(ERROR, "getZCLCommandToWSN - ERROR: TxOptions element not present");
        return 1;
    }
    uint8_t txOptions = 0;
    if (parseTxOptions(cmd, p, "TxOptions", txOptions) != 0) {
        return 1;
    }
    msg->setTxSettings(txOptions);
    if (getNode(cmd, p, "Radius") == nullptr) {
        report(ERROR, "getZCLCommandToWSN - ERROR: Radius element not present");
        return 1;
    }
    if (parseLong(cmd, p, "Radius", value, 10, 0, 255) != 0) {
        return 1;
    }
    msg->setMaxHopsNumber(static_cast<uint8_t>(value));
    std::vector<uint8_t> payload;
    std::vector<uint8_t> header;
    if (getNode(cmd, p, "ZCLPayload") == nullptr) {
        report(ERROR, "getZCLCommandToWSN - ERROR: ZCLPayload element not present");
        return 1;
    }
    if (parseHex(cmd, p, "ZCLPayload", payload) != 0) {
        return 1;
    }
    if (getNode(cmd, p, "ZCLHeader") == nullptr) {
        report(ERROR, "getZCLCommandToWSN - ERROR: ZCLHeader element not present");
        return 1;
    }
    if (parseHex(cmd, p, "ZCLHeader", header) != 0) {
        return 1;
    }
    msg->concatenateZCLHeaderAndPayload(header.data(), static_cast<uint16_t>(header.size()),
                                        payload.data(), static_cast<uint16_t>(payload.size()));
    return 0;
}

int XMLMsgParser::getZDPCommandToWSN(Message* msg, const char* text) {
    begin();
    XMLDocument document;
    Doc doc;
    int failure = 0;
    const XMLElement* cmd =
        openDocument(document, text, "ZDPCommand", doc,
                     "getZDPCommandToWSN - ZDPCommand element not found", &failure);
    if (cmd == nullptr || msg == nullptr) {
        return 1;
    }
    const std::string& p = doc.orqPrefix;
    long value = 0;
    if (getNode(cmd, p, "Destination") == nullptr) {
        report(WARN, "getZDPCommandToWSN - WARNING: Destination element not present");
    } else {
        uint8_t mode = 0;
        uint8_t addr[8] = {0};
        if (parseAddress(cmd, p, "Destination", mode, addr) != 0) {
            return 1;
        }
        msg->setDstAddrMode(mode);
        msg->setDstAddr(addr);
    }
    if (getNode(cmd, p, "TxOptions") == nullptr) {
        report(ERROR, "getZDPCommandToWSN - ERROR: TxOptions element not present");
        return 1;
    }
    uint8_t txOptions = 0;
    if (parseTxOptions(cmd, p, "TxOptions", txOptions) != 0) {
        return 1;
    }
    msg->setTxSettings(txOptions);
    if (getNode(cmd, p, "Radius") == nullptr) {
        report(WARN, "getZDPCommandToWSN - WARNING: Radius element not present");
    } else {
        if (parseLong(cmd, p, "Radius", value, 10, 0, 255) != 0) {
            return 1;
        }
        msg->setMaxHopsNumber(static_cast<uint8_t>(value));
    }
    if (getNode(cmd, p, "ClusterID") == nullptr) {
        report(ERROR, "getZDPCommandToWSN - ERROR: ClusterID element not present");
        return 1;
    }
    if (parseLong(cmd, p, "ClusterID", value, 10, 0, 65535) != 0) {
        return 1;
    }
    msg->setClusterId(static_cast<uint16_t>(value));
    if (getNode(cmd, p, "Command") == nullptr) {
        report(ERROR, "getZDPCommandToWSN - ERROR: Command element not present");
        return 1;
    }
    std::vector<uint8_t> command;
    if (parseHex(cmd, p, "Command", command) != 0) {
        return 1;
    }
    msg->setPayload(command.data(), static_cast<uint16_t>(command.size()));
    msg->setSrcEp(0);
    msg->setDstEp(0);
    msg->setProfileId(0);
    return 0;
}

int XMLMsgParser::getAPSMessageToWSN(Message* msg, const char* text) {
    begin();
    XMLDocument document;
    Doc doc;
    int failure = 0;
    const XMLElement* aps =
        openDocument(document, text, "APSMessage", doc,
                     "getMessageToWSN - APSMessage element not found", &failure);
    if (aps == nullptr || msg == nullptr) {
        return 1;
    }
    const std::string& p = doc.orqPrefix;
    long value = 0;
    if (parseLong(aps, p, "DestinationEndpoint", value, 10, 0, 255) != 0) {
        return 1;
    }
    msg->setDstEp(static_cast<uint8_t>(value));
    if (parseLong(aps, p, "SourceEndpoint", value, 10, 0, 255) != 0) {
        return 1;
    }
    msg->setSrcEp(static_cast<uint8_t>(value));
    if (getNode(aps, p, "ProfileID") == nullptr) {
        report(WARN, "getMessageToWSN - WARNING: ProfileID element not present");
    } else {
        if (parseLong(aps, p, "ProfileID", value, 10, 0, 65535) != 0) {
            return 1;
        }
        msg->setProfileId(static_cast<uint16_t>(value));
    }
    if (parseLong(aps, p, "ClusterID", value, 10, 0, 65535) != 0) {
        return 1;
    }
    msg->setClusterId(static_cast<uint16_t>(value));
    uint8_t txOptions = 0;
    if (parseTxOptions(aps, p, "TxOptions", txOptions) != 0) {
        return 1;
    }
    msg->setTxSettings(txOptions);
    if (parseLong(aps, p, "Radius", value, 10, 0, 255) != 0) {
        return 1;
    }
    msg->setMaxHopsNumber(static_cast<uint8_t>(value));
    std::vector<uint8_t> data;
    if (parseHex(aps, p, "Data", data) != 0) {
        return 1;
    }
    msg->setPayload(data.data(), static_cast<uint16_t>(data.size()));
    if (getNode(aps, p, "DestinationAddress") != nullptr) {
        uint8_t mode = 0;
        uint8_t addr[8] = {0};
        if (parseAddress(aps, p, "DestinationAddress", mode, addr) != 0) {
            return 1;
        }
        msg->setDstAddrMode(mode);
        msg->setDstAddr(addr);
    }
    return 0;
}

int XMLMsgParser::getJoiningInfoValues(int* duration, bool* tcSignificance, const char* text) {
    begin();
    XMLDocument document;
    Doc doc;
    int failure = 0;
    const XMLElement* info =
        openDocument(document, text, "JoiningInfo", doc,
                     "getJoiningInfoValues - JoiningInfo element not found", &failure);
    if (info == nullptr || duration == nullptr || tcSignificance == nullptr) {
        return 1;
    }
    const std::string& p = doc.orqPrefix;
    if (getNode(info, p, "PermitDuration") == nullptr) {
        report(ERROR, "ERROR: PermitDuration value not present");
        return 1;
    }
    long value = 0;
    if (parseLong(info, p, "PermitDuration", value, 10, 0, 65535) != 0) {
        return 1;
    }
    bool significance = false;
    if (parseBoolean(info, p, "TCSignificance", significance) != 0) {
        return 1;
    }
    *duration = static_cast<int>(value);
    *tcSignificance = significance;
    return 0;
}

int XMLMsgParser::getCallback(Callback* cb, const char* text) {
    begin();
    XMLDocument document;
    Doc doc;
    int failure = PARSE_BAD_VALUE;
    const XMLElement* root =
        openDocument(document, text, "Callback", doc,
                     "getCallback - ERROR: Callback element not found", &failure);
    if (root == nullptr) {
        return failure;
    }
    if (cb == nullptr) {
        return PARSE_BAD_VALUE;
    }
    const std::string& p = doc.orqPrefix;
    long value = 0;

    const XMLElement* filter = getNode(root, p, "Filter");
    if (filter == nullptr) {
        report(WARN, "getCallback - WARNING: Filter element not present");
    } else {
        cb->filter.isDefined = true;
        const XMLElement* ls = getNode(filter, p, "LevelSpecification");
        if (ls == nullptr) {
            report(ERROR, "getCallback - ERROR: LevelSpecification element not found!");
            return PARSE_BAD_VALUE;
        }
        const XMLElement* level = getNode(ls, p, "Level");
        if (level == nullptr) {
            report(ERROR, "parseEnumeration - %s element not found", "Level");
            return PARSE_BAD_VALUE;
        }
        cb->filter.levelSpec.level.clear();
        for (; level != nullptr; level = getNode(nullptr, p, "Level", level)) {
            const std::string keyword = textOf(level);
            if (keyword.empty()) {
                report(ERROR, "parseEnumeration - %s is empty", "Level");
                return PARSE_BAD_VALUE;
            }
            if (filterLevelMap.count(keyword) == 0) {
                report(ERROR, "parseEnumeration - value present but not valid");
                return PARSE_BAD_VALUE;
            }
            ORQ_LOG(*pLogger, DEBUG, "getCallback - ls.level found: %s", keyword.c_str());
            cb->filter.levelSpec.level += keyword;
        }

        const XMLElement* as = getNode(filter, p, "AddressSpecification");
        if (as == nullptr) {
            report(WARN, "getCallback - WARNING: AddressSpecification element not present!");
        } else {
            AddressSpecification& spec = cb->filter.addressSpec;
            spec.isDefined = true;
            if (getNode(as, p, "NWKSourceAddress") == nullptr) {
                report(WARN, "getCallback - WARNING: NWKSourceAddress element not present!");
            } else {
                uint8_t mode = 0;
                uint8_t addr[8] = {0};
                if (parseAddress(as, p, "NWKSourceAddress", mode, addr) != 0) {
                    return PARSE_BAD_VALUE;
                }
                if (mode != Message::ADDR_MODE_NWK) {
                    report(ERROR, "parseAddress - %s address type is unknown", "IeeeAddress");
                    return PARSE_BAD_VALUE;
                }
                spec.isNWKSourceAddressDefined = true;
                spec.NWKSourceAddress = static_cast<uint16_t>(addr[0] << 8 | addr[1]);
                ORQ_LOG(*pLogger, DEBUG, "getCallback - address found: %04x",
                        spec.NWKSourceAddress);
            }
            if (getNode(as, p, "APSSourceEndpoint") == nullptr) {
                report(WARN, "getCallback - WARNING: APSSourceEndpoint element not present!");
            } else {
                if (parseLong(as, p, "APSSourceEndpoint", value, 10, 0, 65535) != 0) {
                    return PARSE_BAD_VALUE;
                }
                spec.isAPSSourceEndpointDefined = true;
                spec.APSSourceEndpoint = static_cast<int>(value);
                ORQ_LOG(*pLogger, DEBUG, "getCallback - APSSourceEndpoint found: %li\r\n", value);
            }
            if (getNode(as, p, "APSDestinationEndpoint") == nullptr) {
                report(WARN, "getCallback - WARNING: APSDestinationEndpoint element not present!");
            } else {
                if (parseLong(as, p, "APSDestinationEndpoint", value, 10, 0, 65535) != 0) {
                    return PARSE_BAD_VALUE;
                }
                spec.isAPSDestinationEndpointDefined = true;
                spec.APSDestinationEndpoint = static_cast<int>(value);
                ORQ_LOG(*pLogger, DEBUG, "getCallback - APSDestinationEndpoint found: %li\r\n",
                        value);
            }
        }

        const XMLElement* ms = getNode(filter, p, "MessageSpecification");
        if (ms == nullptr) {
            report(WARN, "getCallback - WARNING: MessageSpecification element not present!");
        }
        for (; ms != nullptr; ms = getNode(nullptr, p, "MessageSpecification", ms)) {
            MessageSpecification& spec = cb->filter.messageSpec;
            spec.isDefined = true;
            const XMLElement* id = getNode(ms, p, "APSClusterIdentifier");
            if (id == nullptr) {
                report(WARN, "getCallback - WARNING: APSClusterIdentifier element not present!");
            } else {
                spec.isAPSClusterIdentifierDefined = true;
                spec.APSClusterIdentifier = textOf(id);
            }
            const XMLElement* group = getNode(ms, p, "APSClusterGroup");
            if (group == nullptr) {
                report(WARN, "getCallback - WARNING: APSClusterGroup element not present!");
            }
            for (; group != nullptr; group = getNode(nullptr, p, "APSClusterGroup", group)) {
                spec.isAPSClusterGroupDefined = true;
                spec.APSClusterGroup = textOf(group);
            }
        }
    }

    const XMLElement* buffer = getNode(root, p, "Buffer");
    if (buffer == nullptr) {
        report(WARN, "getCallback - WARNING: Buffer element not present");
    } else {
        cb->buffer = textOf(buffer);
    }

    const XMLElement* action = getNode(root, p, "Action");
    if (action == nullptr) {
        report(WARN, "getCallback - WARNING: Action element not present");
        return PARSE_OK;
    }
    cb->action.isDefined = true;
    const XMLElement* ds = getNode(action, p, "DecodeSpecification");
    if (ds == nullptr) {
        report(ERROR, "getCallback - ERROR: DecodeSpecification element not found!");
        return PARSE_BAD_VALUE;
    }
    const XMLElement* decode = getNode(ds, p, "DecodeLevel");
    if (decode == nullptr) {
        report(ERROR, "parseEnumeration - %s element not found", "DecodeLevel");
        return PARSE_BAD_VALUE;
    }
    for (; decode != nullptr; decode = getNode(nullptr, p, "DecodeLevel", decode)) {
        auto it = decodeLevelMap.find(textOf(decode));
        if (it == decodeLevelMap.end()) {
            report(WARN, "getCallback - Warning: DecodeLevel has not a valid value");
            continue;
        }
        cb->action.decodeSpecification.decodeLevel[it->second] = true;
        ORQ_LOG(*pLogger, DEBUG, "getCallback - DecodeSpecification - DecodeLevel[%d] = %d",
                it->second, 1);
    }
    const XMLElement* forward = getNode(action, p, "ForwardingSpecification");
    if (forward == nullptr) {
        report(ERROR, "getCallback - ERROR: ForwardingSpecification element not found!");
        return PARSE_BAD_VALUE;
    }
    for (; forward != nullptr; forward = getNode(nullptr, p, "ForwardingSpecification", forward)) {
        cb->action.forwardingSpecification = textOf(forward);
        ORQ_LOG(*pLogger, DEBUG, "getCallback - forwardingSpec element %s\r\n",
                cb->action.forwardingSpecification.c_str());
    }
    return PARSE_OK;
}

int XMLMsgParser::getValue(std::string& value, const char* text) {
    begin();
    XMLDocument document;
    Doc doc;
    const XMLElement* root = getRoot(document, text, doc.rootName, doc.orqPrefix, doc.restPrefix);
    const XMLElement* element = nullptr;
    if (root != nullptr) {
        if (doc.rootName == "Value") {
            element = root;
        } else {
            element = getNode(root, doc.restPrefix, "Value");
            if (element == nullptr) {
                element = getNode(root, doc.orqPrefix, "Value");
            }
        }
    }
    if (element == nullptr) {
        report(ERROR, "getValue - Value element not found");
        return 1;
    }
    value = textOf(element);
    return 0;
}

int XMLMsgParser::getValue(unsigned long& value, const char* text) {
    std::string valueText;
    if (getValue(valueText, text) != 0) {
        return 1;
    }
    unsigned long long parsed = 0;
    if (!parseDecimal64(valueText, parsed) || parsed > static_cast<unsigned long long>(~0UL)) {
        report(ERROR, "getValue - Bad long: %s", valueText.c_str());
        return 1;
    }
    value = static_cast<unsigned long>(parsed);
    return 0;
}

int XMLMsgParser::getValueAttribute(std::string* value, const std::string* text) {
    begin();
    if (value == nullptr || text == nullptr || text->empty()) {
        report(ERROR, "getValueAttribute - No XMLMessage sent!");
        return 1;
    }
    if (getValue(*value, text->c_str()) != 0) {
        return 1;
    }
    ORQ_LOG(*pLogger, DEBUG, "getValueAttribute - Value extracted: %s", value->c_str());
    return 0;
}
