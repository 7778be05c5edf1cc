// The parser's and composer's documents about nodes, descriptors, bindings and start-up
// attribute sets: the records of the network database.

#include <charconv>
#include <cstdio>
#include <mutex>

#include "CDebug.h"
#include "GWManagement.h"
#include "XMLProcessor.h"
#include "XMLText.h"
#include "ZbNetDb.h"

using tinyxml2::XMLElement;
using xmltext::textOf;

namespace {
// The keyword written for one value of a descriptor's field.
struct Keyword {
    int value;
    const char* text;
};

const Keyword kLogicalTypes[] = {
    {COORDINATOR, "Coordinator"}, {ROUTER, "Router"}, {ENDDEVICE, "EndDevice"}};
const Keyword kFrequencyBands[] = {
    {F868_868D6, "868MHz"}, {F902_928, "900MHz"}, {F2400_2483D5, "2400MHz"}};
const Keyword kPowerModes[] = {{SYNCHRONIZED_WITH_RECEIVERONWHENIDLE, "Synchronized"},
                               {PERIODICALLYON, "Periodic"},
                               {WHENSTIMULATED, "Stimulated"}};
const Keyword kPowerSourceLevels[] = {
    {CRITICAL, "Critical"}, {P33, "33Percent"}, {P66, "66Percent"}, {P100, "100Percent"}};

// The keyword of `value`, or null for a value the table does not name.
template <size_t N>
const char* keywordOf(int value, const Keyword (&keywords)[N]) {
    for (const Keyword& k : keywords) {
        if (k.value == value) {
            return k.text;
        }
    }
    return nullptr;
}
}  // namespace

int XMLMsgParser::getBindindCommand(ZB_BIND_STRUCT* bind, const char* text) {
    begin();
    Doc doc;
    const XMLElement* binding =
        openDocument(doc, text, "Binding", "getBindindCommand - Binding element not found");
    if (binding == nullptr || bind == nullptr) {
        return 1;
    }
    const std::string& p = doc.orqPrefix;
    const std::string source = textOf(getNode(binding, p, "SourceIEEEAddress"));
    if (source.empty()) {
        report(ERROR, "getBindindCommand - No SourceIEEEAddress (empty)");
        return 1;
    }
    uint8_t ieee[8] = {0};
    if (parseIeee(source.c_str(), ieee) != 0) {
        report(ERROR, "getBindindCommand - bad IEEE address '%s'", source.c_str());
        return 1;
    }
    long value = 0;
    if (parseLong(binding, p, "SourceEndpoint", value, 10, 0, 255) != 0) {
        report(ERROR, "getBindindCommand - SourceEndpoint not found!");
        return 1;
    }
    const uint8_t sourceEndpoint = static_cast<uint8_t>(value);
    if (parseLong(binding, p, "ClusterID", value, 10, 0, 65535) != 0) {
        report(ERROR, "getBindindCommand - ClusterID not found!");
        return 1;
    }
    const uint16_t clusterId = static_cast<uint16_t>(value);
    // A group destination has no place in the binding record: it is checked, and the
    // device destination is still required.
    if (getNode(binding, p, "GroupDestination") == nullptr) {
        report(WARN, "getBindindCommand - Optional element GroupDestination not found");
    } else if (parseLong(binding, p, "GroupDestination", value, 10, 0, 255) != 0) {
        return 1;
    }
    uint8_t destination[8] = {0};
    long destinationEndpoint = 0;
    if (parseDeviceElement(binding, p, "DeviceDestination", destination, destinationEndpoint) !=
        0) {
        report(ERROR, "getBindindCommand - DeviceDestination parsing error");
        return 1;
    }
    std::memcpy(bind->src_addr, ieee, 8);
    bind->src_ep = sourceEndpoint;
    bind->cluster_id = clusterId;
    std::memcpy(bind->dst_addr, destination, 8);
    bind->dst_ep = static_cast<uint8_t>(destinationEndpoint);
    return 0;
}

int XMLMsgParser::getSimpleDescriptor(SimpleDescriptor* sd, const char* text) {
    begin();
    Doc doc;
    const XMLElement* root = openDocument(
        doc, text, "SimpleDescriptor", "getSimpleDescriptor - SimpleDescriptor element not found");
    if (root == nullptr || sd == nullptr) {
        return 1;
    }
    const std::string& p = doc.orqPrefix;
    struct Field {
        const char* name;
        long max;
        int* target;
    } fields[] = {{"EndPoint", 65535, &sd->end_point},
                  {"ApplicationProfileIdentifier", 65535, &sd->profile_id},
                  {"ApplicationDeviceIdentifier", 65535, &sd->device_id},
                  {"ApplicationDeviceVersion", 15, &sd->device_ver}};
    for (const Field& f : fields) {
        if (getNode(root, p, f.name) == nullptr) {
            report(WARN, "WARNING: SimpleDescriptor element does not contain an %s value", f.name);
            continue;
        }
        long value = 0;
        if (parseLong(root, p, f.name, value, 10, 0, f.max) != 0) {
            return 1;
        }
        *f.target = static_cast<int>(value);
    }
    // Every element `name` (none or more) appended to `clusters`.
    auto readClusters = [&](const char* name, std::list<int>& clusters) {
        for (const XMLElement* c = getNode(root, p, name); c != nullptr;
             c = getNode(nullptr, p, name, c)) {
            long value = 0;
            if (parseLongElement(c, name, value, 10, 0, 65535) != 0) {
                return 1;
            }
            clusters.push_back(static_cast<int>(value));
        }
        return 0;
    };
    sd->input_cluster.clear();
    sd->output_cluster.clear();
    if (readClusters("ApplicationInputCluster", sd->input_cluster) != 0) {
        return 1;
    }
    return readClusters("ApplicationOutputCluster", sd->output_cluster);
}

int XMLMsgParser::getStartupAttributeInfo(StartupAttributeInfo* info, const char* text) {
    begin();
    Doc doc;
    const XMLElement* root = openRoot(doc, text);
    if (root == nullptr) {
        return PARSE_BAD_DOCUMENT;
    }
    if (info == nullptr) {
        return PARSE_BAD_VALUE;
    }
    const std::string& p = doc.orqPrefix;
    const XMLElement* index = getNode(root, p, "StartupAttributeSetIndex");
    const XMLElement* deviceType = getNode(root, p, "DeviceType");
    const XMLElement* startupControl = getNode(root, p, "StartupControl");
    const XMLElement* channelMask = getNode(root, p, "ChannelMask");
    if (index == nullptr && deviceType == nullptr && startupControl == nullptr &&
        channelMask == nullptr) {
        report(ERROR, "getStartupAttributeInfo - Element not found");
        return PARSE_MISSING_ELEMENT;
    }
    long value = 0;
    if (index != nullptr) {
        if (parseLong(root, p, "StartupAttributeSetIndex", value, 10, 0, 65535) != 0) {
            return PARSE_BAD_VALUE;
        }
        info->startupAttributeSetIndex = static_cast<int>(value);
        ORQ_LOG(*pLogger, DEBUG, "getStartupAttributeInfo - StartupAttributeSetIndex %d",
                info->startupAttributeSetIndex);
    }
    if (deviceType == nullptr) {
        report(WARN, "getStartupAttributeInfo - DeviceType not present");
        info->isDeviceTypeDefined = false;
    } else {
        const std::string keyword = textOf(deviceType);
        auto it = deviceTypeMap.find(keyword);
        if (it == deviceTypeMap.end()) {
            report(ERROR, "StartupControl - Warning: DeviceType %s is not a valid value!",
                   keyword.c_str());
            return PARSE_BAD_VALUE;
        }
        info->deviceType = it->second;
        info->isDeviceTypeDefined = true;
    }
    if (startupControl == nullptr) {
        report(WARN, "getStartupAttributeInfo - StartupControl not present");
        info->isStartupControlDefined = false;
    } else {
        if (parseLong(root, p, "StartupControl", value, 10, 0, 65535) != 0) {
            return PARSE_BAD_VALUE;
        }
        info->StartupControl = static_cast<unsigned short>(value);
        info->isStartupControlDefined = true;
        ORQ_LOG(*pLogger, DEBUG, "StartupControl - value %0X - isStartupControlDefined = %x",
                info->StartupControl, info->isStartupControlDefined);
    }
    if (channelMask == nullptr) {
        report(WARN, "getStartupAttributeInfo - ChannelMask not present");
        info->isChannelMaskDefined = false;
    } else {
        if (parseLong(root, p, "ChannelMask", value, 10, 0, 65535) != 0) {
            return PARSE_BAD_VALUE;
        }
        info->channelMask = static_cast<unsigned long>(value);
        info->isChannelMaskDefined = true;
    }
    return PARSE_OK;
}

XMLMsgComposer::AddressBlockTags XMLMsgComposer::addressBlockTags(const char* wrapper) const {
    AddressBlockTags tags;
    if (wrapper != nullptr) {
        appendOpen(tags.head, orqPrefix, wrapper);
    }
    appendOpen(tags.head, orqPrefix, "Address");
    appendOpen(tags.head, orqPrefix, "NetworkAddress");
    appendClose(tags.middle, orqPrefix, "NetworkAddress");
    appendOpen(tags.middle, orqPrefix, "IeeeAddress");
    appendClose(tags.tail, orqPrefix, "IeeeAddress");
    appendClose(tags.tail, orqPrefix, "Address");
    if (wrapper != nullptr) {
        appendClose(tags.tail, orqPrefix, wrapper);
    }
    return tags;
}

void XMLMsgComposer::appendAddressBlock(std::string& out, const AddressBlockTags& tags,
                                        Node* node) const {
    char nwk[8];
    char ieee[24];
    const char* nwkEnd = std::to_chars(nwk, nwk + sizeof nwk, node->get_nwk_addr()).ptr;
    const char* ieeeEnd =
        std::to_chars(ieee, ieee + sizeof ieee, ieeeAddrToULongLong(node->get_ieee_addr())).ptr;
    out.append(tags.head);
    out.append(nwk, static_cast<size_t>(nwkEnd - nwk));
    out.append(tags.middle);
    out.append(ieee, static_cast<size_t>(ieeeEnd - ieee));
    out.append(tags.tail);
}

std::string XMLMsgComposer::addressBlock(Node* node) const {
    std::string out;
    appendAddressBlock(out, addressBlockTags(nullptr), node);
    return out;
}

std::string XMLMsgComposer::nodeServicesBlock(Node* node) const {
    std::string content = addressBlock(node);
    if (node->endpoints.empty()) {
        content += emptyElement(orqPrefix, "ActiveEndpoints");
    }
    for (int endPoint : node->endpoints) {
        content +=
            element(orqPrefix, "ActiveEndpoints", numberElement(orqPrefix, "EndPoint", endPoint));
    }
    return content;
}

std::string XMLMsgComposer::nodesText(ZbNetDb* db, bool activeOnly,
                                      const std::function<std::string(Node*)>& text) const {
    std::string out;
    appendNodes(out, db, activeOnly, [&text](std::string& o, Node* node) { o += text(node); });
    return out;
}

void XMLMsgComposer::appendNodes(std::string& out, ZbNetDb* db, bool activeOnly,
                                 const std::function<void(std::string&, Node*)>& append) const {
    if (db == nullptr) {
        return;
    }
    std::lock_guard<std::recursive_mutex> lock(db->mutex());
    const auto& nodes = db->getNodeDict();
    bool reserved = false;
    for (const auto& entry : nodes) {
        Node* node = entry.second;
        if (node != nullptr && (!activeOnly || node->getIsActive())) {
            const size_t before = out.size();
            append(out, node);
            if (!reserved) {
                // Room for every node at the first one's length and a few digits more (the
                // coordinator's short address is one digit), so that a list of thousands is
                // never copied to grow.
                reserved = true;
                out.reserve(out.size() + (out.size() - before + 16) * nodes.size());
            }
        }
    }
}

std::string XMLMsgComposer::createWSNNodeMsg(int tag, Node* node) {
    (void)tag;
    ORQ_LOG(*pLogger, DEBUG, "createWSNNodeMsg");
    return element(restPrefix, "WSNNode", node != nullptr ? addressBlock(node) : "");
}

std::string XMLMsgComposer::createWSNNodesListMsg(int tag, ZbNetDb* db) {
    (void)tag;
    ORQ_LOG(*pLogger, DEBUG, "createWSNNodesListMsg");
    std::string out;
    appendOpen(out, restPrefix, "WSNNodes");
    const AddressBlockTags tags = addressBlockTags("WSNNode");
    appendNodes(out, db, true,
                [this, &tags](std::string& o, Node* node) { appendAddressBlock(o, tags, node); });
    appendClose(out, restPrefix, "WSNNodes");
    return out;
}

std::string XMLMsgComposer::createAliasesMsg(int all, ZbNetDb* db) {
    ORQ_LOG(*pLogger, DEBUG, "createAliasesMsg");
    int count = 0;
    std::string out;
    appendOpen(out, restPrefix, "Aliases");
    appendNodes(out, db, all != -1, [this, &count](std::string& o, Node* node) {
        ++count;
        appendOpen(o, orqPrefix, "Alias");
        appendUnsignedElement(o, orqPrefix, "NetworkAddress", node->get_nwk_addr());
        appendUnsignedElement(o, orqPrefix, "IeeeAddress",
                              ieeeAddrToULongLong(node->get_ieee_addr()));
        appendClose(o, orqPrefix, "Alias");
    });
    out += numberElement(orqPrefix, "NumberOfAlias", count);
    appendClose(out, restPrefix, "Aliases");
    return out;
}

std::string XMLMsgComposer::createNodeDescMsg(int tag, const NodeDescriptor* nd) {
    (void)tag;
    ORQ_LOG(*pLogger, DEBUG, "createNodeDescMsg");
    if (nd == nullptr) {
        return element(restPrefix, "NodeDescriptor", "");
    }
    std::string content;
    if (const char* type = keywordOf(nd->logicaltype, kLogicalTypes)) {
        content += element(orqPrefix, "LogicalType", type);
    }
    if (const char* band = keywordOf(nd->frequencyband, kFrequencyBands)) {
        content += element(orqPrefix, "FrequencyBand", band);
    }
    const unsigned cap = nd->mac_cap;
    content += element(orqPrefix, "MACCapabilityFlag",
                       booleanElement(orqPrefix, "AlternatePanCoordinator", cap & 0x01) +
                           booleanElement(orqPrefix, "DeviceIsFFD", cap & 0x02) +
                           booleanElement(orqPrefix, "MainsPowered", cap & 0x04) +
                           booleanElement(orqPrefix, "ReceiverOnWhenIdle", cap & 0x08) +
                           booleanElement(orqPrefix, "SecuritySupported", cap & 0x40) +
                           booleanElement(orqPrefix, "AllocateAddress", cap & 0x80));
    content += numberElement(orqPrefix, "ManufacturerCode", nd->manufacturecode);
    content += numberElement(orqPrefix, "MaximumBufferSize", nd->maximumbuffersize);
    const unsigned mask = nd->server_mask;
    content += element(orqPrefix, "ServerMask",
                       booleanElement(orqPrefix, "PrimaryTrustCenter", mask & 0x01) +
                           booleanElement(orqPrefix, "BackupTrustCenter", mask & 0x02) +
                           booleanElement(orqPrefix, "PrimaryBindingTableCache", mask & 0x04) +
                           booleanElement(orqPrefix, "BackupBindingTableCache", mask & 0x08) +
                           booleanElement(orqPrefix, "PrimaryDiscoveryCache", mask & 0x10) +
                           booleanElement(orqPrefix, "BackupDiscoveryCache", mask & 0x20) +
                           booleanElement(orqPrefix, "NetworkManager", mask & 0x40));
    return element(restPrefix, "NodeDescriptor", content);
}

std::string XMLMsgComposer::createNodeDescMsg(int tag, Node* node) {
    return createNodeDescMsg(tag, node != nullptr ? &node->node_desc : nullptr);
}

std::string XMLMsgComposer::createPowerDescMsg(int tag, unsigned short nwkAddr, const uint8_t* ieee,
                                               PowerDescriptor* pd) {
    (void)tag;
    (void)nwkAddr;
    (void)ieee;
    ORQ_LOG(*pLogger, DEBUG, "createPowerDescMsg");
    if (pd == nullptr) {
        return element(restPrefix, "PowerDescriptor", "");
    }
    std::string content;
    if (const char* mode = keywordOf(pd->currentpowermode, kPowerModes)) {
        content += element(orqPrefix, "CurrentPowerMode", mode);
    }
    auto sources = [this](const char* name, const bool flags[3]) {
        return element(orqPrefix, name,
                       booleanElement(orqPrefix, "ConstrantMains", flags[0]) +
                           booleanElement(orqPrefix, "RechargeableBattery", flags[1]) +
                           booleanElement(orqPrefix, "DisposableBattery", flags[2]));
    };
    content += sources("AvailablePowerSources", pd->avaiablepowersource);
    content += sources("CurrentPowerSources", pd->currentpowersource);
    if (const char* level = keywordOf(pd->currentpowersourcelevel, kPowerSourceLevels)) {
        content += element(orqPrefix, "PowerSourceLevel", level);
    }
    return element(restPrefix, "PowerDescriptor", content);
}

std::string XMLMsgComposer::createGetNodeBindingMsg(int tag, int entries, int startIndex, int count,
                                                    const ZB_BIND_STRUCT* list) {
    (void)tag;
    (void)entries;
    (void)startIndex;
    ORQ_LOG(*pLogger, DEBUG, "createGetNodeBindingMsg");
    std::string content;
    for (int i = 0; list != nullptr && i < count; ++i) {
        const ZB_BIND_STRUCT& b = list[i];
        const unsigned clusterId = b.cluster_id;
        content += element(
            orqPrefix, "Binding",
            unsignedElement(orqPrefix, "SourceIEEEAddress", ieeeAddrToULongLong(b.src_addr)) +
                numberElement(orqPrefix, "SourceEndpoint", b.src_ep) +
                numberElement(orqPrefix, "ClusterID", clusterId) +
                element(orqPrefix, "DeviceDestination",
                        unsignedElement(orqPrefix, "Address", ieeeAddrToULongLong(b.dst_addr)) +
                            numberElement(orqPrefix, "Endpoint", b.dst_ep)));
    }
    return element(restPrefix, "Bindings", content);
}

std::string XMLMsgComposer::createLQIInformationMsg(ZbNetDb* db) {
    ORQ_LOG(*pLogger, DEBUG, "createLQIInformationMsg");
    std::string content;
    if (db != nullptr) {
        std::lock_guard<std::recursive_mutex> lock(db->mutex());
        for (Node* node = db->getFirstNode(); node != nullptr; node = db->getNextNode(node)) {
            if (!node->getIsActive()) {
                continue;
            }
            int size = 0;
            const LQIInformationEntry* table = node->getLQIInformationTable(&size);
            std::string neighbors;
            for (int i = 0; table != nullptr && i < size && i < MAX_LQI_ENTRIES; ++i) {
                const LQIInformationEntry& e = table[i];
                neighbors +=
                    element(orqPrefix, "Neighbor",
                            numberElement(orqPrefix, "ShortAddress", e.shortAddress) +
                                unsignedElement(orqPrefix, "IeeeAddress",
                                                ieeeAddrToULongLong(e.ieeeAddress)) +
                                numberElement(orqPrefix, "DeviceTypeRxOnWhenIdleRelationship",
                                              e.devTypeRxOnRelation) +
                                numberElement(orqPrefix, "Depth", e.depth) +
                                numberElement(orqPrefix, "LQI", e.lqi));
            }
            content += element(restPrefix, "LQINode",
                               unsignedElement(orqPrefix, "NodeAddress",
                                               ieeeAddrToULongLong(node->get_ieee_addr())) +
                                   element(orqPrefix, "NeighborList", neighbors));
        }
    }
    return element(restPrefix, "LQIInformation", content);
}

std::string XMLMsgComposer::createAllNodesServiceDescMsg(int tag, ZbNetDb* db) {
    (void)tag;
    ORQ_LOG(*pLogger, DEBUG, "createAllNodesServiceDescMsg");
    const std::string content = nodesText(db, true, [this](Node* node) {
        return element(orqPrefix, "NodeServices", nodeServicesBlock(node));
    });
    return element(restPrefix, "NodeServicesList", content);
}

std::string XMLMsgComposer::createActiveEndPointMsg(int tag, Node* node) {
    (void)tag;
    ORQ_LOG(*pLogger, DEBUG, "createActiveEndPointMsg");
    return element(restPrefix, "NodeServices", node != nullptr ? nodeServicesBlock(node) : "");
}

std::string XMLMsgComposer::createServiceDescriptorMsg(int tag, Node* node, int endPoint) {
    (void)tag;
    ORQ_LOG(*pLogger, DEBUG, "createServiceDescriptorMsg");
    if (node == nullptr) {
        return element(restPrefix, "ServiceDescriptor", "");
    }
    std::string descriptor;
    const SimpleDescriptor* sd = node->getSimpleDescr(endPoint);
    if (sd != nullptr) {
        descriptor = numberElement(orqPrefix, "EndPoint", sd->end_point) +
                     numberElement(orqPrefix, "ApplicationProfileIdentifier", sd->profile_id) +
                     numberElement(orqPrefix, "ApplicationDeviceIdentifier", sd->device_id) +
                     numberElement(orqPrefix, "ApplicationDeviceVersion", sd->device_ver);
        for (int cluster : sd->input_cluster) {
            descriptor += numberElement(orqPrefix, "ApplicationInputCluster", cluster);
        }
        for (int cluster : sd->output_cluster) {
            descriptor += numberElement(orqPrefix, "ApplicationOutputCluster", cluster);
        }
    }
    return element(restPrefix, "ServiceDescriptor",
                   addressBlock(node) + numberElement(orqPrefix, "EndPoint", endPoint) +
                       element(orqPrefix, "SimpleDescriptor", descriptor));
}

std::string XMLMsgComposer::createLocalNodeEndpointMsg(int tag, SimpleDescriptor* sd) {
    (void)tag;
    ORQ_LOG(*pLogger, DEBUG, "createLocalNodeEndpointMsg");
    return element(restPrefix, "Endpoint", sd != nullptr ? std::to_string(sd->end_point) : "");
}

std::string XMLMsgComposer::createGwStatusChangedMsg(GwDescriptor* gwDescriptor) {
    ORQ_LOG(*pLogger, DEBUG, "createGwStatusChangedMsg");
    if (gwDescriptor == nullptr) {
        return std::string();
    }
    char state[16];
    std::snprintf(state, sizeof state, "%02X", static_cast<unsigned>(gwDescriptor->getGwState()));
    char error[16];
    std::snprintf(error, sizeof error, "%02X", static_cast<unsigned>(gwDescriptor->getErrorCode()));
    std::string out = "<GWDescriptor>";
    out += textElement(nullptr, "WSNId", gwDescriptor->getWSNId());
    out += element(nullptr, "GWState", state);
    out += textElement(nullptr, "GWStateDescription", gwDescriptor->getGwStateDescription());
    out += element(nullptr, "ErrorCode", error);
    out += textElement(nullptr, "ErrorCodeDescription", gwDescriptor->getErrorCodeDescription());
    out += textElement(nullptr, "TimeStamp", gwDescriptor->getTimeStamp());
    out += textElement(nullptr, "FirmwareVersion", gwDescriptor->getFirmwareVersion());
    out += element(nullptr, "NWKDescriptors", "");
    out += "</GWDescriptor>";
    return out;
}
