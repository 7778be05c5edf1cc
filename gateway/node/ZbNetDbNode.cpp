// A node of the database and the equality of what it carries (ZbNetDb tells a write that
// changes nothing from one that does by it).

#include <cstdio>
#include <cstring>

#include "ZbNetDb.h"

bool operator==(const NodeDescriptor& a, const NodeDescriptor& b) {
    return a.logicaltype == b.logicaltype && a.APSflags == b.APSflags &&
           a.frequencyband == b.frequencyband && a.mac_cap == b.mac_cap &&
           a.alternatePANcoordinator == b.alternatePANcoordinator && a.devicetype == b.devicetype &&
           a.powersource == b.powersource && a.receiveronwhenidle == b.receiveronwhenidle &&
           a.securytycapability == b.securytycapability && a.manufacturecode == b.manufacturecode &&
           a.maximumbuffersize == b.maximumbuffersize &&
           a.maximumtransfersize == b.maximumtransfersize && a.server_mask == b.server_mask &&
           a.filled == b.filled;
}

bool operator==(const PowerDescriptor& a, const PowerDescriptor& b) {
    for (int i = 0; i < 3; ++i) {
        if (a.avaiablepowersource[i] != b.avaiablepowersource[i] ||
            a.currentpowersource[i] != b.currentpowersource[i]) {
            return false;
        }
    }
    return a.currentpowermode == b.currentpowermode &&
           a.currentpowersourcelevel == b.currentpowersourcelevel && a.filled == b.filled;
}

bool operator==(const SimpleDescriptor& a, const SimpleDescriptor& b) {
    return a.end_point == b.end_point && a.profile_id == b.profile_id &&
           a.device_id == b.device_id && a.device_ver == b.device_ver &&
           a.complex_desc_available == b.complex_desc_available &&
           a.user_desc_available == b.user_desc_available && a.input_cluster == b.input_cluster &&
           a.output_cluster == b.output_cluster;
}

bool operator==(const LQIInformationEntry& a, const LQIInformationEntry& b) {
    return a.shortAddress == b.shortAddress && std::memcmp(a.ieeeAddress, b.ieeeAddress, 8) == 0 &&
           a.devTypeRxOnRelation == b.devTypeRxOnRelation && a.depth == b.depth && a.lqi == b.lqi;
}

Node::Node(unsigned short nwk) : mNwk(nwk) {}

Node::Node(unsigned short nwk, const unsigned char* ieee) : mNwk(nwk) {
    set_ieee_addr(ieee);
}

Node::~Node() {
    for (auto& kv : mSimpleDescs) {
        delete kv.second;
    }
}

void Node::set_ieee_addr(const unsigned char* ieee) {
    std::memcpy(mIeee, ieee, 8);
}

const LQIInformationEntry* Node::getLQIInformationTable(int* size) const {
    if (size != nullptr) {
        *size = mLqiSize;
    }
    return mLqiTable;
}

void Node::updateLQIInformation(unsigned short shortAddress, const unsigned char* ieee,
                                unsigned char devTypeRxOnRelation, unsigned char depth,
                                unsigned char lqi) {
    int i = 0;
    while (i < mLqiSize && mLqiTable[i].shortAddress != shortAddress) {
        ++i;
    }
    if (i == mLqiSize) {
        if (mLqiSize >= MAX_LQI_ENTRIES) {
            std::printf("updateLQIInformation - Maximum limit reached (%d)\n", mLqiSize);
            std::fflush(stdout);
            return;
        }
        ++mLqiSize;
    }
    LQIInformationEntry& e = mLqiTable[i];
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
        mLqiSize = 0;
        return;
    }
    int i = 0;
    while (i < mLqiSize) {
        bool reported = false;
        for (int j = 0; j < count; ++j) {
            if (list[j].NetworkAddress == mLqiTable[i].shortAddress) {
                reported = true;
                break;
            }
        }
        if (reported) {
            ++i;
            continue;
        }
        // Move the last entry into the hole and look at it again.
        --mLqiSize;
        mLqiTable[i] = mLqiTable[mLqiSize];
    }
    if (mLqiSize != count) {
        std::printf("removeOldLQIInformation - Algorithm error!\n");
        std::fflush(stdout);
    }
}

const SimpleDescriptor* Node::getSimpleDescr(int endPoint) const {
    auto it = mSimpleDescs.find(endPoint);
    return it == mSimpleDescs.end() ? nullptr : it->second;
}
