#include "ZbNetDb.h"

#include <cassert>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "CDebug.h"

namespace {
std::string ieeeKey(const unsigned char* ieee) {
    return std::string(reinterpret_cast<const char*>(ieee), 8);
}

long nowSeconds() {
    return static_cast<long>(std::time(nullptr));
}
}  // namespace

Node::Node(unsigned short nwk) : nwk_addr(nwk) {}

Node::~Node() {
    for (auto& kv : simpleDesc) {
        delete kv.second;
    }
}

void Node::set_ieee_addr(const unsigned char* ieee) {
    std::memcpy(ieee_addr, ieee, 8);
}

LQIInformationEntry* Node::getLQIInformationTable(int* size) {
    if (size != nullptr) {
        *size = currentLQIInformationTableSize;
    }
    return LQIInformationTable;
}

void Node::updateLQIInformation(unsigned short shortAddress, const unsigned char* ieee,
                                unsigned char devTypeRxOnRelation, unsigned char depth,
                                unsigned char lqi) {
    int i = 0;
    while (i < currentLQIInformationTableSize &&
           LQIInformationTable[i].shortAddress != shortAddress) {
        ++i;
    }
    if (i == currentLQIInformationTableSize) {
        if (currentLQIInformationTableSize >= MAX_LQI_ENTRIES) {
            std::printf("updateLQIInformation - Maximum limit reached (%d)\n",
                        currentLQIInformationTableSize);
            std::fflush(stdout);
            return;
        }
        ++currentLQIInformationTableSize;
    }
    LQIInformationEntry& e = LQIInformationTable[i];
    e.shortAddress = shortAddress;
    if (ieee != nullptr) {
        std::memcpy(e.ieeeAddress, ieee, 8);
    }
    e.devTypeRxOnRelation = devTypeRxOnRelation;
    e.depth = depth;
    e.lqi = lqi;
}

void Node::removeOldLQIInformation(const ZB_NEIGHBOR_TABLE_LIST* list, int count) {
    if (count <= 0 || list == nullptr) {
        currentLQIInformationTableSize = 0;
        return;
    }
    int i = 0;
    while (i < currentLQIInformationTableSize) {
        bool reported = false;
        for (int j = 0; j < count; ++j) {
            if (list[j].NetworkAddress == LQIInformationTable[i].shortAddress) {
                reported = true;
                break;
            }
        }
        if (reported) {
            ++i;
            continue;
        }
        // Move the last entry into the hole and look at it again.
        --currentLQIInformationTableSize;
        LQIInformationTable[i] = LQIInformationTable[currentLQIInformationTableSize];
    }
    if (currentLQIInformationTableSize != count) {
        std::printf("removeOldLQIInformation - Algorithm error!\n");
        std::fflush(stdout);
    }
}

SimpleDescriptor* Node::getSimpleDescr(int endPoint) const {
    auto it = simpleDesc.find(endPoint);
    return it == simpleDesc.end() ? nullptr : it->second;
}

ZbNetDb::ZbNetDb() : pLogger(new Debug("ZbNetDb")) {
    configureLogger(*pLogger, nullptr, 1);
}

ZbNetDb::~ZbNetDb() {
    clearAll();
    removeAllTCKeyTableEntry();
    removeAllStartupAttributeInfo();
    delete pLogger;
}

void ZbNetDb::deleteNode(Node* node) {
    for (auto& kv : node_dict) {
        kv.second->neighbor.remove(node);
    }
    delete node;
}

int ZbNetDb::setRoot(Node* node) {
    assert(node != nullptr);
    std::lock_guard<std::recursive_mutex> lock(mux);
    if (root != nullptr) {
        return -1;
    }
    auto it = node_dict.find(node->nwk_addr);
    if (it != node_dict.end() && it->second != node) {
        // A node that held the co-processor's address before it started.
        Node* old = it->second;
        node_dict.erase(it);
        deleteNode(old);
    }
    root = node;
    node_dict[node->nwk_addr] = node;
    node->node_desc.receiveronwhenidle = true;
    return 0;
}

Node* ZbNetDb::getRoot() {
    std::lock_guard<std::recursive_mutex> lock(mux);
    return root;
}

void ZbNetDb::clearAll() {
    std::lock_guard<std::recursive_mutex> lock(mux);
    for (auto& kv : node_dict) {
        delete kv.second;
    }
    node_dict.clear();
    root = nullptr;
}

int ZbNetDb::clearAllButRoot() {
    std::lock_guard<std::recursive_mutex> lock(mux);
    if (root == nullptr) {
        return -1;
    }
    if (node_dict.empty()) {
        return -2;
    }
    for (auto it = node_dict.begin(); it != node_dict.end();) {
        if (it->second == root) {
            ++it;
            continue;
        }
        delete it->second;
        it = node_dict.erase(it);
    }
    // The root was the only node that could still point at the deleted ones.
    root->neighbor.clear();
    if (node_dict.find(root->nwk_addr) == node_dict.end()) {
        node_dict[root->nwk_addr] = root;
    }
    return 0;
}

int ZbNetDb::addNeighbor(Node* node, Node* neighbor) {
    assert(node != nullptr && neighbor != nullptr);
    std::lock_guard<std::recursive_mutex> lock(mux);
    auto it = node_dict.find(neighbor->nwk_addr);
    if (it != node_dict.end() && it->second != neighbor) {
        Node* old = it->second;
        if (old == root || old == node) {
            return -1;  // never drop the root or the reporting node for a newcomer
        }
        node_dict.erase(it);
        deleteNode(old);
    }
    node->neighbor.remove(neighbor);
    node->neighbor.push_back(neighbor);
    node_dict[neighbor->nwk_addr] = neighbor;
    return 0;
}

int ZbNetDb::removeNeighbor(Node* node, Node* neighbor) {
    if (node == nullptr || neighbor == nullptr) {
        return 1;
    }
    std::lock_guard<std::recursive_mutex> lock(mux);
    node->neighbor.remove(neighbor);
    return 0;
}

Node* ZbNetDb::findNodeByNwkAddr(unsigned short nwk) {
    std::lock_guard<std::recursive_mutex> lock(mux);
    auto it = node_dict.find(nwk);
    return it == node_dict.end() ? nullptr : it->second;
}

Node* ZbNetDb::findNodeByIEEEAddr(const unsigned char* ieee) {
    if (ieee == nullptr) {
        return nullptr;
    }
    std::lock_guard<std::recursive_mutex> lock(mux);
    for (auto& kv : node_dict) {
        if (std::memcmp(kv.second->ieee_addr, ieee, 8) == 0) {
            return kv.second;
        }
    }
    unsigned char reversed[8];
    for (int i = 0; i < 8; ++i) {
        reversed[i] = ieee[7 - i];
    }
    for (auto& kv : node_dict) {
        const unsigned char* f = kv.second->ieee_addr;
        if (std::memcmp(f, reversed, 8) == 0) {
            ORQ_LOG(*pLogger, ERROR,
                    "ZbNetDb::findNodeByIEEEAddr - ERROR: element requested: "
                    "%02x:%02x:%02x:%02x:%02x:%02x:%02x:%02x, element found: "
                    "%02x:%02x:%02x:%02x:%02x:%02x:%02x:%02x!",
                    ieee[0], ieee[1], ieee[2], ieee[3], ieee[4], ieee[5], ieee[6], ieee[7], f[0],
                    f[1], f[2], f[3], f[4], f[5], f[6], f[7]);
            return kv.second;
        }
    }
    return nullptr;
}

int ZbNetDb::removeNodeByNwkAddr(unsigned short nwk) {
    std::lock_guard<std::recursive_mutex> lock(mux);
    if (root != nullptr && root->nwk_addr == nwk) {
        return -1;
    }
    auto it = node_dict.find(nwk);
    if (it == node_dict.end()) {
        return 0;
    }
    Node* node = it->second;
    node_dict.erase(it);
    deleteNode(node);
    return 0;
}

Node* ZbNetDb::getFirstNode() {
    std::lock_guard<std::recursive_mutex> lock(mux);
    return node_dict.empty() ? nullptr : node_dict.begin()->second;
}

Node* ZbNetDb::getNextNode(const Node* node) {
    std::lock_guard<std::recursive_mutex> lock(mux);
    // Found by identity, never by dereferencing: the node may be gone already.
    for (auto it = node_dict.begin(); it != node_dict.end(); ++it) {
        if (it->second == node) {
            ++it;
            return it == node_dict.end() ? nullptr : it->second;
        }
    }
    return nullptr;
}

int ZbNetDb::getDBNodesSize() {
    std::lock_guard<std::recursive_mutex> lock(mux);
    return static_cast<int>(node_dict.size());
}

int ZbNetDb::getNodesCount(const Node* node) {
    if (node != nullptr) {
        return -1;
    }
    return getDBNodesSize();
}

Node* ZbNetDb::nodeAnnounce(unsigned short nwk, const unsigned char* ieee,
                            unsigned char capability) {
    assert(ieee != nullptr);
    std::lock_guard<std::recursive_mutex> lock(mux);
    const bool rxOnWhenIdle = (capability & 0x08) != 0;
    Node* node = nullptr;
    for (auto& kv : node_dict) {
        if (std::memcmp(kv.second->ieee_addr, ieee, 8) == 0) {
            node = kv.second;
            break;
        }
    }
    auto holder = node_dict.find(nwk);
    if (holder != node_dict.end() && holder->second == root && node != root) {
        ORQ_LOG(*pLogger, ERROR, "nodeAnnounce - 0x%04x is the root's address, ignored", nwk);
        return nullptr;
    }
    // Both directions of the translation must name the new pair only.
    removeTranslationEntry(ieee);
    removeTranslationEntry(nwk);
    addTranslationEntry(nwk, ieee);

    if (holder != node_dict.end() && holder->second != node) {
        // An older node that had this address.
        Node* old = holder->second;
        node_dict.erase(holder);
        deleteNode(old);
    }
    if (node != nullptr) {
        if (node->nwk_addr != nwk) {
            node_dict.erase(node->nwk_addr);
            node->nwk_addr = nwk;
            node->node_desc.receiveronwhenidle = rxOnWhenIdle;
            node_dict[nwk] = node;
        }
    } else {
        node = new Node(nwk);
        node->set_ieee_addr(ieee);
        node->node_desc.receiveronwhenidle = rxOnWhenIdle;
        node_dict[nwk] = node;
    }
    node->nodeTimer = nowSeconds();
    node->forcePingTimer = 0;
    return node;
}

void ZbNetDb::updateLQIDetails(Node* node, const ZB_NEIGHBOR_TABLE_LIST* list, int count) {
    if (node == nullptr || list == nullptr) {
        return;
    }
    std::lock_guard<std::recursive_mutex> lock(mux);
    for (int i = 0; i < count; ++i) {
        node->updateLQIInformation(list[i].NetworkAddress, list[i].ExtendedAddress,
                                   list[i].devTypeRxOnRelation, list[i].Depth, list[i].LQI);
    }
}

void ZbNetDb::addTranslationEntry(unsigned short nwk, const unsigned char* ieee) {
    std::lock_guard<std::recursive_mutex> lock(mux);
    std::string key = ieeeKey(ieee);
    translate_ieee_dict[key] = nwk;
    translate_nwk_dict[nwk] = key;
}

unsigned short ZbNetDb::translateAddress(const unsigned char* ieee) {
    std::lock_guard<std::recursive_mutex> lock(mux);
    auto it = translate_ieee_dict.find(ieeeKey(ieee));
    return it == translate_ieee_dict.end() ? 65535 : it->second;
}

const unsigned char* ZbNetDb::translateAddress(unsigned short nwk) {
    std::lock_guard<std::recursive_mutex> lock(mux);
    auto it = translate_nwk_dict.find(nwk);
    if (it == translate_nwk_dict.end()) {
        return nullptr;
    }
    return reinterpret_cast<const unsigned char*>(it->second.data());
}

void ZbNetDb::removeTranslationEntry(const unsigned char* ieee) {
    std::lock_guard<std::recursive_mutex> lock(mux);
    auto it = translate_ieee_dict.find(ieeeKey(ieee));
    if (it == translate_ieee_dict.end()) {
        return;
    }
    auto back = translate_nwk_dict.find(it->second);
    if (back != translate_nwk_dict.end() && back->second == it->first) {
        translate_nwk_dict.erase(back);
    }
    translate_ieee_dict.erase(it);
}

void ZbNetDb::removeTranslationEntry(unsigned short nwk) {
    std::lock_guard<std::recursive_mutex> lock(mux);
    auto it = translate_nwk_dict.find(nwk);
    if (it == translate_nwk_dict.end()) {
        return;
    }
    auto back = translate_ieee_dict.find(it->second);
    if (back != translate_ieee_dict.end() && back->second == nwk) {
        translate_ieee_dict.erase(back);
    }
    translate_nwk_dict.erase(it);
}

void ZbNetDb::addEndPoint(Node* node, int endPoint) {
    assert(node != nullptr);
    std::lock_guard<std::recursive_mutex> lock(mux);
    node->endpoints.push_back(endPoint);
}

void ZbNetDb::clearEndPointList(Node* node) {
    assert(node != nullptr);
    std::lock_guard<std::recursive_mutex> lock(mux);
    node->endpoints.clear();
}

std::list<int> ZbNetDb::getEndPointList(Node* node) {
    assert(node != nullptr);
    std::lock_guard<std::recursive_mutex> lock(mux);
    return node->endpoints;
}

void ZbNetDb::addSimpleDescr(Node* node, SimpleDescriptor* sd) {
    assert(node != nullptr && sd != nullptr);
    std::lock_guard<std::recursive_mutex> lock(mux);
    auto it = node->simpleDesc.find(sd->end_point);
    if (it != node->simpleDesc.end()) {
        if (it->second == sd) {
            return;
        }
        delete it->second;
    }
    node->simpleDesc[sd->end_point] = sd;
}

void ZbNetDb::clearSimpleDescrList(Node* node) {
    assert(node != nullptr);
    std::lock_guard<std::recursive_mutex> lock(mux);
    for (auto& kv : node->simpleDesc) {
        delete kv.second;
    }
    node->simpleDesc.clear();
}

int ZbNetDb::clearSimpleDescr(Node* node, int endPoint) {
    assert(node != nullptr);
    std::lock_guard<std::recursive_mutex> lock(mux);
    auto it = node->simpleDesc.find(endPoint);
    if (it == node->simpleDesc.end()) {
        return -1;
    }
    delete it->second;
    node->simpleDesc.erase(it);
    return 0;
}

SimpleDescriptor* ZbNetDb::getSimpleDescr(Node* node, int endPoint) {
    assert(node != nullptr);
    std::lock_guard<std::recursive_mutex> lock(mux);
    return node->getSimpleDescr(endPoint);
}

void ZbNetDb::createDefaultSimpleDescr(int endPoint, SimpleDescriptor* sd) {
    assert(sd != nullptr);
    sd->end_point = endPoint;
    sd->profile_id = 0xA1E0;
    sd->device_id = 1;
    sd->device_ver = 0;
    sd->complex_desc_available = false;
    sd->user_desc_available = false;
    sd->input_cluster.assign(1, 0x0300);
    sd->output_cluster.assign(1, 0x0300);
}

int ZbNetDb::setServicesSD(SimpleDescriptor* sd) {
    if (sd == nullptr) {
        ORQ_LOG(*pLogger, ERROR, "setServicesSD -SimpleDescriptor sd == NULL");
        return -1;
    }
    std::lock_guard<std::recursive_mutex> lock(mux);
    servicesSDTable[sd->end_point] = sd;
    return 0;
}

int ZbNetDb::removeServicesSD(SimpleDescriptor* sd) {
    if (sd == nullptr) {
        ORQ_LOG(*pLogger, ERROR, "removeServicesSD - SimpleDescriptor sd == NULL");
        return -1;
    }
    std::lock_guard<std::recursive_mutex> lock(mux);
    auto it = servicesSDTable.find(sd->end_point);
    if (it != servicesSDTable.end() && it->second == sd) {
        servicesSDTable.erase(it);
    }
    return 0;
}

SimpleDescriptor* ZbNetDb::getFirstServicesSD() {
    std::lock_guard<std::recursive_mutex> lock(mux);
    return servicesSDTable.empty() ? nullptr : servicesSDTable.begin()->second;
}

SimpleDescriptor* ZbNetDb::getNextServicesSD(const SimpleDescriptor* sd) {
    if (sd == nullptr) {
        return nullptr;
    }
    std::lock_guard<std::recursive_mutex> lock(mux);
    auto it = servicesSDTable.upper_bound(sd->end_point);
    return it == servicesSDTable.end() ? nullptr : it->second;
}

int ZbNetDb::getStartModeSetting() {
    std::lock_guard<std::recursive_mutex> lock(mux);
    return startupMode;
}

void ZbNetDb::setStartModeSetting(int mode) {
    std::lock_guard<std::recursive_mutex> lock(mux);
    startupMode = mode;
}

StartupAttributeInfo* ZbNetDb::getStartupAttributeInfo(int index) {
    std::lock_guard<std::recursive_mutex> lock(mux);
    auto it = startupAttributeSet.find(index);
    return it == startupAttributeSet.end() ? nullptr : it->second;
}

void ZbNetDb::setStartupAttributeInfo(int copyFromDefault, const StartupAttributeInfo* info) {
    assert(info != nullptr);
    std::lock_guard<std::recursive_mutex> lock(mux);
    const int index = info->startupAttributeSetIndex;
    StartupAttributeInfo* set = nullptr;
    bool isNew = false;
    auto it = startupAttributeSet.find(index);
    if (it != startupAttributeSet.end()) {
        set = it->second;
    } else {
        set = new StartupAttributeInfo();
        set->startupAttributeSetIndex = index;
        isNew = true;
    }
    currentstartAttributeSetIndex = index;
    // Values the default set would give; while the default set itself is first stored
    // there is none yet, and the set being stored gives every value.
    auto d = startupAttributeSet.find(0);
    const StartupAttributeInfo* def = d != startupAttributeSet.end() ? d->second : info;

    if (info->isDeviceTypeDefined && info->deviceType != 0) {
        set->deviceType = info->deviceType;
    } else if (info->isDeviceTypeDefined) {
        if (isNew) {
            set->deviceType = def->deviceType;
        }
    } else {
        set->deviceType = def->deviceType;
    }
    set->isDeviceTypeDefined = info->isDeviceTypeDefined || set->isDeviceTypeDefined;
    set->StartupControl =
        info->isStartupControlDefined ? info->StartupControl : def->StartupControl;
    set->isStartupControlDefined = info->isStartupControlDefined || set->isStartupControlDefined;

    const StartupAttributeInfo* src = copyFromDefault != 0 ? def : info;
    set->channelMask = src->channelMask;
    set->PANId = src->PANId;
    std::memcpy(set->extendedPANId, src->extendedPANId, sizeof set->extendedPANId);
    set->_securityLevel = src->_securityLevel;
    std::memcpy(set->networkKey, src->networkKey, sizeof set->networkKey);
    std::memcpy(set->preconfiguredLinkKey, src->preconfiguredLinkKey,
                sizeof set->preconfiguredLinkKey);
    startupAttributeSet[index] = set;
}

int ZbNetDb::getCurrentStartupAttributeSetIndex() {
    std::lock_guard<std::recursive_mutex> lock(mux);
    return currentstartAttributeSetIndex;
}

void ZbNetDb::setCurrentStartupAttributeSetIndex(int index) {
    std::lock_guard<std::recursive_mutex> lock(mux);
    currentstartAttributeSetIndex = index;
}

void ZbNetDb::removeAllStartupAttributeInfo() {
    std::lock_guard<std::recursive_mutex> lock(mux);
    for (auto& kv : startupAttributeSet) {
        delete kv.second;
    }
    startupAttributeSet.clear();
}

void ZbNetDb::setTCKeyTableEntry(const tcKeyTableEntry* entry) {
    assert(entry != nullptr);
    std::lock_guard<std::recursive_mutex> lock(mux);
    tcKeyTableEntry*& slot = TCKeyTable[entry->keyTableEntryIndex];
    if (slot == nullptr) {
        slot = new tcKeyTableEntry();
    }
    *slot = *entry;
}

tcKeyTableEntry* ZbNetDb::getTCKeyTableEntry(int index) {
    std::lock_guard<std::recursive_mutex> lock(mux);
    auto it = TCKeyTable.find(index);
    return it == TCKeyTable.end() ? nullptr : it->second;
}

void ZbNetDb::setTCKeyTableSize(int size) {
    std::lock_guard<std::recursive_mutex> lock(mux);
    TCKeyTableSize = size;
}

int ZbNetDb::getTCKeyTableSize() {
    std::lock_guard<std::recursive_mutex> lock(mux);
    return TCKeyTableSize;
}

void ZbNetDb::removeAllTCKeyTableEntry() {
    std::lock_guard<std::recursive_mutex> lock(mux);
    for (auto& kv : TCKeyTable) {
        delete kv.second;
    }
    TCKeyTable.clear();
}
