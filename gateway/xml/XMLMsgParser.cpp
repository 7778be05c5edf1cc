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
    const size_t bad = xmltext::invalidXmlTextAt(text, length);
    if (bad != std::string::npos) {
        // The XML library would take these through into the values it hands back.
        report(ERROR, "getRoot - ERROR: not UTF-8 XML text at byte %zu", bad);
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
    const XMLElement* from = after != nullptr ? after : parent;
    if (from == nullptr) {
        return nullptr;
    }
    const std::string full = prefix.empty() ? std::string(name) : prefix + ":" + name;
    return after != nullptr ? from->NextSiblingElement(full.c_str())
                            : from->FirstChildElement(full.c_str());
}

const XMLElement* XMLMsgParser::openRoot(Doc& doc, const char* text) {
    return getRoot(doc.document, text, doc.rootName, doc.orqPrefix, doc.restPrefix);
}

const XMLElement* XMLMsgParser::openDocument(Doc& doc, const char* text, const char* rootName,
                                             const char* notFound, int* failure) {
    const XMLElement* root = openRoot(doc, text);
    int result = PARSE_OK;
    const XMLElement* element = nullptr;
    if (root == nullptr) {
        result = PARSE_BAD_DOCUMENT;
    } else if (doc.rootName == rootName) {
        element = root;
    } else {
        element = getNode(root, doc.orqPrefix, rootName);
        if (element == nullptr) {
            result = PARSE_MISSING_ELEMENT;
        }
    }
    if (element == nullptr) {
        report(ERROR, "%s", notFound);
        if (failure != nullptr) {
            *failure = result;
        }
    }
    return element;
}

const XMLElement* XMLMsgParser::findChild(const char* reader, const XMLElement* parent,
                                          const std::string& prefix, const char* name) {
    const XMLElement* element = getNode(parent, prefix, name);
    if (element == nullptr) {
        report(ERROR, "%s - %s element not found", reader, name);
    }
    return element;
}

bool XMLMsgParser::nonEmptyText(const char* reader, const XMLElement* element, const char* name,
                                std::string& text) {
    text = textOf(element);
    if (text.empty()) {
        report(ERROR, "%s - %s is empty", reader, name);
        return false;
    }
    return true;
}

const XMLElement* XMLMsgParser::optionalChild(const char* caller, const XMLElement* parent,
                                              const std::string& prefix, const char* name) {
    const XMLElement* element = getNode(parent, prefix, name);
    if (element == nullptr) {
        report(WARN, "%s - WARNING: %s element not present", caller, name);
    }
    return element;
}

const XMLElement* XMLMsgParser::requiredChild(const char* caller, const XMLElement* parent,
                                              const std::string& prefix, const char* name) {
    const XMLElement* element = getNode(parent, prefix, name);
    if (element == nullptr) {
        report(ERROR, "%s - ERROR: %s element not present", caller, name);
    }
    return element;
}

int XMLMsgParser::parseTxOptions(const XMLElement* parent, const std::string& prefix,
                                 const char* name, uint8_t& txOptions) {
    const XMLElement* element = findChild("parseTxOptions", parent, prefix, name);
    if (element == nullptr) {
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
    const XMLElement* element = findChild("parseBoolean", parent, prefix, name);
    if (element == nullptr) {
        return 1;
    }
    std::string text;
    if (!nonEmptyText("parseBoolean", element, name, text)) {
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
    const XMLElement* element = findChild("parseLong", parent, prefix, name);
    if (element == nullptr) {
        return 1;
    }
    return parseLongElement(element, name, value, base, min, max);
}

int XMLMsgParser::parseLongElement(const XMLElement* element, const char* name, long& value,
                                   int base, long min, long max) {
    std::string text;
    if (!nonEmptyText("parseLong", element, name, text)) {
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
    const XMLElement* element = findChild("parseHex", parent, prefix, name);
    if (element == nullptr) {
        return 1;
    }
    std::string text;
    if (!nonEmptyText("parseHex", element, name, text)) {
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
    const XMLElement* element = findChild("parseEnumeration", parent, prefix, name);
    if (element == nullptr) {
        return 1;
    }
    return parseEnumerationElement(element, name, keywords, value);
}

int XMLMsgParser::parseEnumerationElement(const XMLElement* element, const char* name,
                                          const std::map<std::string, int>& keywords, int& value) {
    std::string text;
    if (!nonEmptyText("parseEnumeration", element, name, text)) {
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

int XMLMsgParser::parseDestination(const XMLElement* parent, const std::string& prefix,
                                   const char* name, Message* msg) {
    uint8_t mode = 0;
    uint8_t addr[8] = {0};
    if (parseAddress(parent, prefix, name, mode, addr) != 0) {
        return 1;
    }
    msg->setDstAddrMode(mode);
    msg->setDstAddr(addr);
    return 0;
}

int XMLMsgParser::parseTxSettings(const XMLElement* parent, const std::string& prefix,
                                  Message* msg) {
    uint8_t txOptions = 0;
    if (parseTxOptions(parent, prefix, "TxOptions", txOptions) != 0) {
        return 1;
    }
    msg->setTxSettings(txOptions);
    return 0;
}

int XMLMsgParser::getZCLCommandToWSN(Message* msg, const char* text) {
    static const char kCaller[] = "getZCLCommandToWSN";
    begin();
    Doc doc;
    const XMLElement* cmd =
        openDocument(doc, text, "ZCLCommand", "getZCLCommandToWSN - ZCLCommand element not found");
    if (cmd == nullptr || msg == nullptr) {
        return 1;
    }
    const std::string& p = doc.orqPrefix;
    long value = 0;

    if (optionalChild(kCaller, cmd, p, "DestinationAddress") != nullptr &&
        parseDestination(cmd, p, "DestinationAddress", msg) != 0) {
        return 1;
    }
    if (optionalChild(kCaller, cmd, p, "DestinationEndpoint") != nullptr) {
        if (parseLong(cmd, p, "DestinationEndpoint", value, 10, 0, 255) != 0) {
            return 1;
        }
        msg->setDstEp(static_cast<uint8_t>(value));
    }
    if (optionalChild(kCaller, cmd, p, "ProfileID") != nullptr) {
        if (parseLong(cmd, p, "ProfileID", value, 10, 0, 65535) != 0) {
            return 1;
        }
        msg->setProfileId(static_cast<uint16_t>(value));
    }
    if (requiredChild(kCaller, cmd, p, "ClusterID") == nullptr ||
        parseLong(cmd, p, "ClusterID", value, 10, 0, 65535) != 0) {
        return 1;
    }
    msg->setClusterId(static_cast<uint16_t>(value));
    if (optionalChild(kCaller, cmd, p, "SourceEndpoint") != nullptr) {
        if (parseLong(cmd, p, "SourceEndpoint", value, 10, 0, 255) != 0) {
            return 1;
        }
        msg->setSrcEp(static_cast<uint8_t>(value));
    }
    if (requiredChild(kCaller, cmd, p, "TxOptions") == nullptr ||
        parseTxSettings(cmd, p, msg) != 0) {
        return 1;
    }
    if (requiredChild(kCaller, cmd, p, "Radius") == nullptr ||
        parseLong(cmd, p, "Radius", value, 10, 0, 255) != 0) {
        return 1;
    }
    msg->setMaxHopsNumber(static_cast<uint8_t>(value));
    std::vector<uint8_t> payload;
    std::vector<uint8_t> header;
    if (requiredChild(kCaller, cmd, p, "ZCLPayload") == nullptr ||
        parseHex(cmd, p, "ZCLPayload", payload) != 0) {
        return 1;
    }
    if (requiredChild(kCaller, cmd, p, "ZCLHeader") == nullptr ||
        parseHex(cmd, p, "ZCLHeader", header) != 0) {
        return 1;
    }
    msg->concatenateZCLHeaderAndPayload(header.data(), static_cast<uint16_t>(header.size()),
                                        payload.data(), static_cast<uint16_t>(payload.size()));
    return 0;
}

int XMLMsgParser::getZDPCommandToWSN(Message* msg, const char* text) {
    static const char kCaller[] = "getZDPCommandToWSN";
    begin();
    Doc doc;
    const XMLElement* cmd =
        openDocument(doc, text, "ZDPCommand", "getZDPCommandToWSN - ZDPCommand element not found");
    if (cmd == nullptr || msg == nullptr) {
        return 1;
    }
    const std::string& p = doc.orqPrefix;
    long value = 0;
    if (optionalChild(kCaller, cmd, p, "Destination") != nullptr &&
        parseDestination(cmd, p, "Destination", msg) != 0) {
        return 1;
    }
    if (requiredChild(kCaller, cmd, p, "TxOptions") == nullptr ||
        parseTxSettings(cmd, p, msg) != 0) {
        return 1;
    }
    if (optionalChild(kCaller, cmd, p, "Radius") != nullptr) {
        if (parseLong(cmd, p, "Radius", value, 10, 0, 255) != 0) {
            return 1;
        }
        msg->setMaxHopsNumber(static_cast<uint8_t>(value));
    }
    if (requiredChild(kCaller, cmd, p, "ClusterID") == nullptr ||
        parseLong(cmd, p, "ClusterID", value, 10, 0, 65535) != 0) {
        return 1;
    }
    msg->setClusterId(static_cast<uint16_t>(value));
    std::vector<uint8_t> command;
    if (requiredChild(kCaller, cmd, p, "Command") == nullptr ||
        parseHex(cmd, p, "Command", command) != 0) {
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
    Doc doc;
    const XMLElement* aps =
        openDocument(doc, text, "APSMessage", "getMessageToWSN - APSMessage element not found");
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
    if (optionalChild("getMessageToWSN", aps, p, "ProfileID") != nullptr) {
        if (parseLong(aps, p, "ProfileID", value, 10, 0, 65535) != 0) {
            return 1;
        }
        msg->setProfileId(static_cast<uint16_t>(value));
    }
    if (parseLong(aps, p, "ClusterID", value, 10, 0, 65535) != 0) {
        return 1;
    }
    msg->setClusterId(static_cast<uint16_t>(value));
    if (parseTxSettings(aps, p, msg) != 0) {
        return 1;
    }
    if (parseLong(aps, p, "Radius", value, 10, 0, 255) != 0) {
        return 1;
    }
    msg->setMaxHopsNumber(static_cast<uint8_t>(value));
    std::vector<uint8_t> data;
    if (parseHex(aps, p, "Data", data) != 0) {
        return 1;
    }
    msg->setPayload(data.data(), static_cast<uint16_t>(data.size()));
    // The destination address is optional here, and its absence is not reported.
    if (getNode(aps, p, "DestinationAddress") != nullptr &&
        parseDestination(aps, p, "DestinationAddress", msg) != 0) {
        return 1;
    }
    return 0;
}

int XMLMsgParser::getJoiningInfoValues(int* duration, bool* tcSignificance, const char* text) {
    begin();
    Doc doc;
    const XMLElement* info = openDocument(doc, text, "JoiningInfo",
                                          "getJoiningInfoValues - JoiningInfo element not found");
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
    static const char kCaller[] = "getCallback";
    begin();
    Doc doc;
    int failure = PARSE_BAD_VALUE;
    const XMLElement* root = openDocument(
        doc, text, "Callback", "getCallback - ERROR: Callback element not found", &failure);
    if (root == nullptr) {
        return failure;
    }
    if (cb == nullptr) {
        return PARSE_BAD_VALUE;
    }
    const std::string& p = doc.orqPrefix;
    // The parts of a filter are optional too, and their absence is reported with a "!".
    auto filterPart = [&](const XMLElement* parent, const char* name) {
        const XMLElement* element = getNode(parent, p, name);
        if (element == nullptr) {
            report(WARN, "getCallback - WARNING: %s element not present!", name);
        }
        return element;
    };
    // An optional end point of the address specification.
    auto filterEndpoint = [&](const XMLElement* parent, const char* name, bool& defined,
                              int& endpoint) {
        if (filterPart(parent, name) == nullptr) {
            return true;
        }
        long value = 0;
        if (parseLong(parent, p, name, value, 10, 0, 65535) != 0) {
            return false;
        }
        defined = true;
        endpoint = static_cast<int>(value);
        ORQ_LOG(*pLogger, DEBUG, "getCallback - %s found: %li\r\n", name, value);
        return true;
    };

    const XMLElement* filter = optionalChild(kCaller, root, p, "Filter");
    if (filter != nullptr) {
        cb->filter.isDefined = true;
        const XMLElement* ls = getNode(filter, p, "LevelSpecification");
        if (ls == nullptr) {
            report(ERROR, "getCallback - ERROR: LevelSpecification element not found!");
            return PARSE_BAD_VALUE;
        }
        const XMLElement* level = findChild("parseEnumeration", ls, p, "Level");
        if (level == nullptr) {
            return PARSE_BAD_VALUE;
        }
        cb->filter.levelSpec.level.clear();
        for (; level != nullptr; level = getNode(nullptr, p, "Level", level)) {
            int unused = 0;
            if (parseEnumerationElement(level, "Level", filterLevelMap, unused) != 0) {
                return PARSE_BAD_VALUE;
            }
            const std::string keyword = textOf(level);
            ORQ_LOG(*pLogger, DEBUG, "getCallback - ls.level found: %s", keyword.c_str());
            cb->filter.levelSpec.level += keyword;
        }

        const XMLElement* as = filterPart(filter, "AddressSpecification");
        if (as != nullptr) {
            AddressSpecification& spec = cb->filter.addressSpec;
            spec.isDefined = true;
            if (filterPart(as, "NWKSourceAddress") != nullptr) {
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
            if (!filterEndpoint(as, "APSSourceEndpoint", spec.isAPSSourceEndpointDefined,
                                spec.APSSourceEndpoint) ||
                !filterEndpoint(as, "APSDestinationEndpoint", spec.isAPSDestinationEndpointDefined,
                                spec.APSDestinationEndpoint)) {
                return PARSE_BAD_VALUE;
            }
        }

        for (const XMLElement* ms = filterPart(filter, "MessageSpecification"); ms != nullptr;
             ms = getNode(nullptr, p, "MessageSpecification", ms)) {
            MessageSpecification& spec = cb->filter.messageSpec;
            spec.isDefined = true;
            const XMLElement* id = filterPart(ms, "APSClusterIdentifier");
            if (id != nullptr) {
                spec.isAPSClusterIdentifierDefined = true;
                spec.APSClusterIdentifier = textOf(id);
            }
            for (const XMLElement* group = filterPart(ms, "APSClusterGroup"); group != nullptr;
                 group = getNode(nullptr, p, "APSClusterGroup", group)) {
                spec.isAPSClusterGroupDefined = true;
                spec.APSClusterGroup = textOf(group);
            }
        }
    }

    const XMLElement* buffer = optionalChild(kCaller, root, p, "Buffer");
    if (buffer != nullptr) {
        cb->buffer = textOf(buffer);
    }

    const XMLElement* action = optionalChild(kCaller, root, p, "Action");
    if (action == nullptr) {
        return PARSE_OK;
    }
    cb->action.isDefined = true;
    const XMLElement* ds = getNode(action, p, "DecodeSpecification");
    if (ds == nullptr) {
        report(ERROR, "getCallback - ERROR: DecodeSpecification element not found!");
        return PARSE_BAD_VALUE;
    }
    const XMLElement* decode = findChild("parseEnumeration", ds, p, "DecodeLevel");
    if (decode == nullptr) {
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
    Doc doc;
    const XMLElement* root = openRoot(doc, text);
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
