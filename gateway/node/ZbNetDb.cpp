#include "ZbNetDb.h"

#include <algorithm>
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

namespace {
// The LQI table of a node as it was, to tell whether a write changed it.
struct LqiSnapshot {
    int size;
    LQIInformationEntry table[MAX_LQI_ENTRIES];
    explicit LqiSnapshot(const Node* n) {
        const LQIInformationEntry* t = n->getLQIInformationTable(&size);
        std::copy(t, t + size, table);
    }
    bool same(const Node* n) const {
        int now = 0;
        const LQIInformationEntry* t = n->getLQIInformationTable(&now);
        return now == size && std::equal(t, t + now, table);
    }
};

bool isZeroIeee(const unsigned char* ieee) {
    static const unsigned char zeros[8] = {0};
    return std::memcmp(ieee, zeros, 8) == 0;
}
}  // namespace

ZbNetDb::WriteScope::WriteScope(ZbNetDb& d) : lock(d.mux), db(d) {
    ++db.writeDepth;
}

ZbNetDb::WriteScope::~WriteScope() {
    if (--db.writeDepth == 0) {
        db.publish();
    }
}

ZbNetDb::ZbNetDb() : pLogger(new Debug("ZbNetDb")) {
    configureLogger(*pLogger, nullptr, 1);
}

ZbNetDb::~ZbNetDb() {
    changeCallback = nullptr;
    clearAll();
    removeAllTCKeyTableEntry();
    removeAllStartupAttributeInfo();
    delete pLogger;
}

void ZbNetDb::setChangeCallback(NodeChangeCallback fn) {
    std::lock_guard<std::recursive_mutex> lock(mux);
    changeCallback = std::move(fn);
}

bool ZbNetDb::holds(const Node* node) const {
    auto it = node_dict.find(node->mNwk);
    return it != node_dict.end() && it->second == node;
}

void ZbNetDb::note(const Node* node, unsigned what) {
    if (holds(node)) {
        noteAddress(node->mNwk, what);
    }
}

void ZbNetDb::noteAddress(unsigned short nwk, unsigned what) {
    if (what == 0) {
        return;
    }
    for (Change& c : pendingChanges) {
        if (c.nwk != nwk) {
            continue;
        }
        // Nothing of a removed node is left to tell; a node added after a removal replaced it.
        c.what = (what & NODE_REMOVED) != 0 ? unsigned(NODE_REMOVED) : c.what | what;
        return;
    }
    pendingChanges.push_back(Change{nwk, what});
}

void ZbNetDb::publish() {
    if (publishing) {
        return;  // a write made by the callback: the running loop reports it
    }
    struct Reset {
        bool& flag;
        ~Reset() { flag = false; }
    } reset{publishing};
    publishing = true;
    while (!pendingChanges.empty()) {
        std::vector<Change> batch;
        batch.swap(pendingChanges);
        for (const Change& c : batch) {
            ++changes;
            NodeChangeCallback fn = changeCallback;
            if (fn) {
                fn(c.nwk, c.what);
            }
        }
    }
}

void ZbNetDb::indexAdd(const Node* node) {
    ieee_index[ieeeKey(node->mIeee)].insert(node->mNwk);
}

void ZbNetDb::indexRemove(const Node* node) {
    auto it = ieee_index.find(ieeeKey(node->mIeee));
    if (it == ieee_index.end()) {
        return;
    }
    it->second.erase(node->mNwk);
    if (it->second.empty()) {
        ieee_index.erase(it);
    }
}

void ZbNetDb::insertNode(Node* node) {
    node_dict[node->mNwk] = node;
    indexAdd(node);
    noteAddress(node->mNwk, NODE_ADDED);
}

void ZbNetDb::dropNode(std::map<unsigned short, Node*>::iterator it) {
    Node* node = it->second;
    indexRemove(node);
    node_dict.erase(it);
    noteAddress(node->mNwk, NODE_REMOVED);
    for (auto& kv : node_dict) {
        auto& list = kv.second->mNeighbours;
        const auto before = list.size();
        list.remove(node);
        if (list.size() != before) {
            noteAddress(kv.first, NODE_NEIGHBOURS);
        }
    }
    delete node;
}

void ZbNetDb::noteNeighbourChange(Node* node, const std::list<Node*>& before) {
    if (node->mNeighbours != before) {
        note(node, NODE_NEIGHBOURS);
    }
}

bool ZbNetDb::setIeeeAddr(Node* node, const unsigned char* address) {
    assert(node != nullptr && address != nullptr);
    WriteScope w(*this);
    // A copy: the address may be the translation table's own, which is rewritten below.
    unsigned char ieee[8];
    std::memcpy(ieee, address, 8);
    const bool held = holds(node);
    const bool changed = std::memcmp(node->mIeee, ieee, 8) != 0;
    if (changed) {
        if (held) {
            indexRemove(node);
        }
        node->set_ieee_addr(ieee);
        if (held) {
            indexAdd(node);
            noteAddress(node->mNwk, NODE_IEEE_ADDR);
        }
    }
    if (held && !isZeroIeee(ieee)) {
        // Both directions name the node's pair only.
        removeTranslationEntry(ieee);
        removeTranslationEntry(node->mNwk);
        addTranslationEntry(node->mNwk, ieee);
    }
    return changed;
}

template <typename T>
bool ZbNetDb::assign(Node* node, T Node::*field, const T& value, unsigned what) {
    assert(node != nullptr);
    WriteScope w(*this);
    if (node->*field == value) {
        return false;
    }
    node->*field = value;
    note(node, what);
    return true;
}

bool ZbNetDb::setNodeDescriptor(Node* node, const NodeDescriptor& desc) {
    return assign(node, &Node::mNodeDesc, desc, NODE_DESCRIPTOR);
}

bool ZbNetDb::setReceiverOnWhenIdle(Node* node, bool rxOn) {
    assert(node != nullptr);
    WriteScope w(*this);
    NodeDescriptor desc = node->mNodeDesc;
    desc.receiveronwhenidle = rxOn;
    return setNodeDescriptor(node, desc);
}

bool ZbNetDb::setPowerDescriptor(Node* node, const PowerDescriptor& desc) {
    return assign(node, &Node::mPowerDesc, desc, NODE_POWER_DESCRIPTOR);
}

bool ZbNetDb::setActive(Node* node, bool active) {
    return assign(node, &Node::mActive, active, NODE_ACTIVE);
}

bool ZbNetDb::updateLQIInformation(Node* node, unsigned short shortAddress,
                                   const unsigned char* ieee, unsigned char devTypeRxOnRelation,
                                   unsigned char depth, unsigned char lqi) {
    assert(node != nullptr);
    WriteScope w(*this);
    const LqiSnapshot before(node);
    node->updateLQIInformation(shortAddress, ieee, devTypeRxOnRelation, depth, lqi);
    if (before.same(node)) {
        return false;
    }
    note(node, NODE_LQI);
    return true;
}

bool ZbNetDb::removeOldLQIInformation(Node* node, const ZB_NEIGHBOR_TABLE_LIST* list, int count) {
    assert(node != nullptr);
    WriteScope w(*this);
    const LqiSnapshot before(node);
    node->removeOldLQIInformation(list, count);
    if (before.same(node)) {
        return false;
    }
    note(node, NODE_LQI);
    return true;
}

int ZbNetDb::setRoot(Node* node) {
    assert(node != nullptr);
    WriteScope w(*this);
    if (root != nullptr) {
        return -1;
    }
    auto it = node_dict.find(node->mNwk);
    if (it != node_dict.end() && it->second != node) {
        // A node that held the co-processor's address before it started.
        dropNode(it);
    }
    root = node;
    node->mNodeDesc.receiveronwhenidle = true;
    if (!holds(node)) {
        insertNode(node);
    }
    return 0;
}

bool ZbNetDb::addNode(Node* node) {
    assert(node != nullptr);
    WriteScope w(*this);
    if (node_dict.count(node->mNwk) != 0) {
        return false;
    }
    insertNode(node);
    return true;
}

Node* ZbNetDb::getRoot() {
    std::lock_guard<std::recursive_mutex> lock(mux);
    return root;
}

void ZbNetDb::clearAll() {
    WriteScope w(*this);
    for (auto& kv : node_dict) {
        noteAddress(kv.first, NODE_REMOVED);
        delete kv.second;
    }
    node_dict.clear();
    ieee_index.clear();
    root = nullptr;
}

int ZbNetDb::clearAllButRoot() {
    WriteScope w(*this);
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
        noteAddress(it->first, NODE_REMOVED);
        delete it->second;
        it = node_dict.erase(it);
    }
    // The root was the only node that could still point at the deleted ones.
    if (!root->mNeighbours.empty()) {
        root->mNeighbours.clear();
        noteAddress(root->mNwk, NODE_NEIGHBOURS);
    }
    ieee_index.clear();
    if (!holds(root)) {
        insertNode(root);
    } else {
        indexAdd(root);
    }
    return 0;
}

int ZbNetDb::addNeighbor(Node* node, Node* neighbor) {
    assert(node != nullptr && neighbor != nullptr);
    WriteScope w(*this);
    auto it = node_dict.find(neighbor->mNwk);
    if (it != node_dict.end() && it->second != neighbor) {
        Node* old = it->second;
        if (old == root || old == node) {
            return -1;  // never drop the root or the reporting node for a newcomer
        }
        dropNode(it);
    }
    const std::list<Node*> before = node->mNeighbours;
    node->mNeighbours.remove(neighbor);
    node->mNeighbours.push_back(neighbor);
    if (!holds(neighbor)) {
        insertNode(neighbor);
    }
    noteNeighbourChange(node, before);
    return 0;
}

int ZbNetDb::removeNeighbor(Node* node, Node* neighbor) {
    if (node == nullptr || neighbor == nullptr) {
        return 1;
    }
    WriteScope w(*this);
    const std::list<Node*> before = node->mNeighbours;
    node->mNeighbours.remove(neighbor);
    noteNeighbourChange(node, before);
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
    auto it = ieee_index.find(ieeeKey(ieee));
    if (it != ieee_index.end()) {
        return node_dict.at(*it->second.begin());
    }
    unsigned char reversed[8];
    for (int i = 0; i < 8; ++i) {
        reversed[i] = ieee[7 - i];
    }
    it = ieee_index.find(ieeeKey(reversed));
    if (it == ieee_index.end()) {
        return nullptr;
    }
    Node* found = node_dict.at(*it->second.begin());
    const unsigned char* f = found->mIeee;
    ORQ_LOG(*pLogger, ERROR,
            "ZbNetDb::findNodeByIEEEAddr - ERROR: element requested: "
            "%02x:%02x:%02x:%02x:%02x:%02x:%02x:%02x, element found: "
            "%02x:%02x:%02x:%02x:%02x:%02x:%02x:%02x!",
            ieee[0], ieee[1], ieee[2], ieee[3], ieee[4], ieee[5], ieee[6], ieee[7], f[0], f[1],
            f[2], f[3], f[4], f[5], f[6], f[7]);
    return found;
}

int ZbNetDb::removeNodeByNwkAddr(unsigned short nwk) {
    WriteScope w(*this);
    if (root != nullptr && root->mNwk == nwk) {
        return -1;
    }
    auto it = node_dict.find(nwk);
    if (it == node_dict.end()) {
        return 0;
    }
    dropNode(it);
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
    WriteScope w(*this);
    const bool rxOnWhenIdle = (capability & 0x08) != 0;
    Node* node = nullptr;
    auto known = ieee_index.find(ieeeKey(ieee));
    if (known != ieee_index.end()) {
        node = node_dict.at(*known->second.begin());
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
        dropNode(holder);
    }
    if (node != nullptr) {
        if (node->mNwk != nwk) {
            indexRemove(node);
            node_dict.erase(node->mNwk);
            noteAddress(node->mNwk, NODE_REMOVED);
            node->mNwk = nwk;
            node->mNodeDesc.receiveronwhenidle = rxOnWhenIdle;
            insertNode(node);
        }
    } else {
        node = new Node(nwk, ieee);
        node->mNodeDesc.receiveronwhenidle = rxOnWhenIdle;
        insertNode(node);
    }
    node->nodeTimer = nowSeconds();
    node->forcePingTimer = 0;
    return node;
}

void ZbNetDb::updateLQIDetails(Node* node, const ZB_NEIGHBOR_TABLE_LIST* list, int count) {
    if (node == nullptr || list == nullptr) {
        return;
    }
    WriteScope w(*this);
    for (int i = 0; i < count; ++i) {
        updateLQIInformation(node, list[i].NetworkAddress, list[i].ExtendedAddress,
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
    WriteScope w(*this);
    node->mEndPoints.push_back(endPoint);
    note(node, NODE_END_POINTS);
}

void ZbNetDb::clearEndPointList(Node* node) {
    assert(node != nullptr);
    WriteScope w(*this);
    if (!node->mEndPoints.empty()) {
        node->mEndPoints.clear();
        note(node, NODE_END_POINTS);
    }
}

std::list<int> ZbNetDb::getEndPointList(Node* node) {
    assert(node != nullptr);
    std::lock_guard<std::recursive_mutex> lock(mux);
    return node->mEndPoints;
}

void ZbNetDb::addSimpleDescr(Node* node, SimpleDescriptor* sd) {
    assert(node != nullptr && sd != nullptr);
    WriteScope w(*this);
    auto it = node->mSimpleDescs.find(sd->end_point);
    bool same = false;
    if (it != node->mSimpleDescs.end()) {
        if (it->second == sd) {
            return;
        }
        same = *it->second == *sd;
        delete it->second;
    }
    node->mSimpleDescs[sd->end_point] = sd;
    if (!same) {
        note(node, NODE_SIMPLE_DESCRIPTORS);
    }
}

void ZbNetDb::clearSimpleDescrList(Node* node) {
    assert(node != nullptr);
    WriteScope w(*this);
    if (node->mSimpleDescs.empty()) {
        return;
    }
    for (auto& kv : node->mSimpleDescs) {
        delete kv.second;
    }
    node->mSimpleDescs.clear();
    note(node, NODE_SIMPLE_DESCRIPTORS);
}

int ZbNetDb::clearSimpleDescr(Node* node, int endPoint) {
    assert(node != nullptr);
    WriteScope w(*this);
    auto it = node->mSimpleDescs.find(endPoint);
    if (it == node->mSimpleDescs.end()) {
        return -1;
    }
    delete it->second;
    node->mSimpleDescs.erase(it);
    note(node, NODE_SIMPLE_DESCRIPTORS);
    return 0;
}

const SimpleDescriptor* ZbNetDb::getSimpleDescr(Node* node, int endPoint) {
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
