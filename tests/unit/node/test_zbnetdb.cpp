#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <list>
#include <ostream>
#include <thread>
#include <vector>

#include "CDebug.h"
#include "DiscoveryWalk.h"
#include "TestNodes.h"
#include "ZbNetDb.h"

namespace {
const unsigned char kIeeeA[8] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};
const unsigned char kIeeeB[8] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7};
const unsigned char kIeeeRoot[8] = {0x00, 0x50, 0xC2, 0x37, 0x50, 0x00, 0x00, 0x01};

ZB_NEIGHBOR_TABLE_LIST entry(unsigned short nwk, unsigned char lqi) {
    ZB_NEIGHBOR_TABLE_LIST e{};
    e.NetworkAddress = nwk;
    e.ExtendedAddress[0] = static_cast<unsigned char>(nwk);
    e.LQI = lqi;
    e.Depth = 1;
    e.devTypeRxOnRelation = 0x05;
    return e;
}

StartupAttributeInfo defaultSet() {
    StartupAttributeInfo s;
    s.startupAttributeSetIndex = 0;
    s.deviceType = 1;
    s.isDeviceTypeDefined = true;
    s.channelMask = 0x8000;
    s.PANId = 0x1234;
    for (int i = 0; i < 8; ++i) {
        s.extendedPANId[i] = static_cast<unsigned char>(0xE0 + i);
    }
    s.StartupControl = 4;
    s.isStartupControlDefined = true;
    s._securityLevel = 5;
    std::memset(s.networkKey, 0xAB, 16);
    std::memset(s.preconfiguredLinkKey, 0xCD, 16);
    return s;
}
SimpleDescriptor* descriptor(int endPoint) {
    SimpleDescriptor* sd = new SimpleDescriptor();
    sd->end_point = endPoint;
    return sd;
}
}  // namespace

class ZbNetDbTest : public ::testing::Test {
  protected:
    ZbNetDb db;
    Node* addRoot() {
        Node* root = new Node(0x0000, kIeeeRoot);
        EXPECT_EQ(db.setRoot(root), 0);
        return root;
    }
};

TEST_F(ZbNetDbTest, TheRootIsSetOnceAndOnlyClearAllRemovesIt) {
    EXPECT_EQ(db.clearAllButRoot(), -1);
    Node* root = addRoot();
    EXPECT_TRUE(root->node_desc.receiveronwhenidle);
    Node other(0x0001);
    EXPECT_EQ(db.setRoot(&other), -1);
    EXPECT_EQ(db.removeNodeByNwkAddr(0x0000), -1);
    EXPECT_EQ(db.removeNodeByNwkAddr(0x7777), 0);  // absent: nothing to do
    // Announcements never replace it; the root announced to itself keeps its object.
    EXPECT_EQ(db.nodeAnnounce(0x0000, kIeeeA, 0x08), nullptr);
    EXPECT_EQ(db.translateAddress(kIeeeA), 65535);  // refused whole
    EXPECT_EQ(db.nodeAnnounce(0x0000, kIeeeRoot, 0xCF), root);
    Node* a = db.nodeAnnounce(0x1001, kIeeeA, 0x8E);
    db.addNeighbor(root, a);
    db.nodeAnnounce(0x1002, kIeeeB, 0x80);
    EXPECT_EQ(db.getDBNodesSize(), 3);
    EXPECT_EQ(db.clearAllButRoot(), 0);
    EXPECT_EQ(db.getDBNodesSize(), 1);
    EXPECT_EQ(db.getFirstNode(), root);
    EXPECT_TRUE(root->neighbor.empty());  // no dangling neighbour left behind
    EXPECT_EQ(db.translateAddress(kIeeeA), 0x1001);
    db.clearAll();
    EXPECT_EQ(db.getRoot(), nullptr);
    EXPECT_EQ(db.getDBNodesSize(), 0);
}

TEST_F(ZbNetDbTest, AnnounceCreatesNodeWithTranslationAndTimestamp) {
    long before = static_cast<long>(std::time(nullptr));
    Node* n = db.nodeAnnounce(0x2001, kIeeeA, 0x08);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->get_nwk_addr(), 0x2001);
    EXPECT_EQ(std::memcmp(n->get_ieee_addr(), kIeeeA, 8), 0);
    EXPECT_TRUE(n->node_desc.receiveronwhenidle);
    EXPECT_GE(n->getKANodeTimer(), before);
    EXPECT_EQ(db.translateAddress(kIeeeA), 0x2001);
    ASSERT_NE(db.translateAddress(static_cast<unsigned short>(0x2001)), nullptr);
    EXPECT_EQ(std::memcmp(db.translateAddress(static_cast<unsigned short>(0x2001)), kIeeeA, 8), 0);
    EXPECT_FALSE(db.nodeAnnounce(0x2002, kIeeeB, 0x80)->node_desc.receiveronwhenidle);
    // Found by its IEEE address in either byte order.
    unsigned char reversed[8];
    std::reverse_copy(kIeeeA, kIeeeA + 8, reversed);
    EXPECT_EQ(db.findNodeByIEEEAddr(reversed), n);
    EXPECT_EQ(db.findNodeByIEEEAddr(kIeeeRoot), nullptr);
    db.clearAll();
    EXPECT_EQ(db.findNodeByIEEEAddr(kIeeeA), nullptr);
}

TEST_F(ZbNetDbTest, AnnounceUnderNewAddressKeepsTheObjectAndMovesIt) {
    Node* n = db.nodeAnnounce(0x3001, kIeeeA, 0x08);
    db.addEndPoint(n, 8);
    SimpleDescriptor* sd = descriptor(8);
    db.addSimpleDescr(n, sd);
    n->setForcePingTimer(99);
    EXPECT_EQ(db.nodeAnnounce(0x3002, kIeeeA, 0x00), n);
    EXPECT_EQ(n->get_nwk_addr(), 0x3002);
    EXPECT_FALSE(n->node_desc.receiveronwhenidle);  // taken from the new capability
    EXPECT_EQ(db.findNodeByNwkAddr(0x3001), nullptr);
    EXPECT_EQ(db.findNodeByNwkAddr(0x3002), n);
    EXPECT_EQ(db.findNodeByIEEEAddr(kIeeeA), n);
    EXPECT_EQ(db.getEndPointList(n), std::list<int>{8});
    EXPECT_EQ(db.getSimpleDescr(n, 8), sd);
    EXPECT_EQ(n->getForcePingTimer(), 0);
    EXPECT_EQ(db.translateAddress(kIeeeA), 0x3002);
    EXPECT_EQ(db.translateAddress(static_cast<unsigned short>(0x3001)), nullptr);
    EXPECT_EQ(db.getDBNodesSize(), 1);
    // Announced again under the same address, it keeps its flags.
    db.setActive(n, true);
    EXPECT_EQ(db.nodeAnnounce(0x3002, kIeeeA, 0x08), n);
    EXPECT_FALSE(n->node_desc.receiveronwhenidle);
    EXPECT_TRUE(n->getIsActive());
}

TEST_F(ZbNetDbTest, AnAddressTakenOverByAnotherIeeeDropsTheNodeThatHeldIt) {
    Node* root = addRoot();
    Node* old = db.nodeAnnounce(0x4001, kIeeeA, 0x08);
    db.addNeighbor(root, old);
    Node* fresh = db.nodeAnnounce(0x4001, kIeeeB, 0x08);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(std::memcmp(fresh->get_ieee_addr(), kIeeeB, 8), 0);
    EXPECT_EQ(db.findNodeByNwkAddr(0x4001), fresh);
    EXPECT_EQ(db.findNodeByIEEEAddr(kIeeeA), nullptr);
    EXPECT_TRUE(root->neighbor.empty());
    EXPECT_EQ(db.translateAddress(kIeeeA), 65535);  // the address now belongs to B
    EXPECT_EQ(db.getDBNodesSize(), 2);
    // A known node moving onto it drops the one there too.
    Node* a = db.nodeAnnounce(0x5001, kIeeeA, 0x08);
    EXPECT_EQ(db.nodeAnnounce(0x4001, kIeeeA, 0x08), a);
    EXPECT_EQ(db.getDBNodesSize(), 2);
    EXPECT_EQ(db.findNodeByIEEEAddr(kIeeeB), nullptr);
}

TEST_F(ZbNetDbTest, TranslationLookupOfUnknownAddressAddsNothing) {
    EXPECT_EQ(db.translateAddress(static_cast<unsigned short>(0x1111)), nullptr);
    EXPECT_EQ(db.translateAddress(kIeeeA), 65535);
    db.addTranslationEntry(0x1111, kIeeeA);
    EXPECT_EQ(db.translateAddress(kIeeeA), 0x1111);
    db.removeTranslationEntry(static_cast<unsigned short>(0x1111));
    EXPECT_EQ(db.translateAddress(kIeeeA), 65535);
    db.addTranslationEntry(0x2222, kIeeeB);
    db.removeTranslationEntry(kIeeeB);
    EXPECT_EQ(db.translateAddress(static_cast<unsigned short>(0x2222)), nullptr);
}

TEST_F(ZbNetDbTest, IterationIsByAscendingNetworkAddress) {
    db.nodeAnnounce(0x0300, kIeeeA, 0);
    db.nodeAnnounce(0x0100, kIeeeB, 0);
    Node* root = addRoot();
    std::vector<unsigned short> seen;
    for (Node* n = db.getFirstNode(); n != nullptr; n = db.getNextNode(n)) {
        seen.push_back(n->get_nwk_addr());
    }
    EXPECT_EQ(seen, (std::vector<unsigned short>{0x0000, 0x0100, 0x0300}));
    EXPECT_EQ(db.getNodesCount(nullptr), 3);
    EXPECT_EQ(db.getNodesCount(root), -1);
    Node stranger(0x0100);
    EXPECT_EQ(db.getNextNode(&stranger), nullptr);  // not stored: found by identity only
}

TEST_F(ZbNetDbTest, NeighboursMoveToTheEndAndAreForgottenWithTheirNode) {
    Node* root = addRoot();
    Node* a = db.nodeAnnounce(0x0001, kIeeeA, 0);
    Node* b = db.nodeAnnounce(0x0002, kIeeeB, 0);
    db.addNeighbor(root, a);
    db.addNeighbor(root, b);
    db.addNeighbor(root, a);
    EXPECT_EQ(root->neighbor, (std::list<Node*>{b, a}));
    EXPECT_EQ(db.removeNeighbor(nullptr, a), 1);
    EXPECT_EQ(db.removeNeighbor(root, b), 0);
    EXPECT_EQ(root->neighbor, (std::list<Node*>{a}));
    db.removeNodeByNwkAddr(0x0001);
    EXPECT_TRUE(root->neighbor.empty());
    // A neighbour learnt from a report is stored under its address.
    Node* c = new Node(0x0042);
    EXPECT_EQ(db.addNeighbor(root, c), 0);
    EXPECT_EQ(db.findNodeByNwkAddr(0x0042), c);
}

TEST_F(ZbNetDbTest, TheLqiTableHoldsFifteenUpdatesInPlaceAndDropsWhatIsNoLongerReported) {
    Node* n = db.nodeAnnounce(0x0001, kIeeeA, 0);
    std::vector<ZB_NEIGHBOR_TABLE_LIST> list;
    for (int i = 0; i < 16; ++i) {
        list.push_back(
            entry(static_cast<unsigned short>(0x100 + i), static_cast<unsigned char>(i)));
    }
    db.updateLQIDetails(n, list.data(), 16);
    int size = 0;
    const LQIInformationEntry* table = n->getLQIInformationTable(&size);
    EXPECT_EQ(size, 15);
    for (int i = 0; i < 15; ++i) {
        EXPECT_NE(table[i].shortAddress, 0x10F);  // the 16th was dropped
    }
    ZB_NEIGHBOR_TABLE_LIST again = entry(0x105, 200);
    db.updateLQIDetails(n, &again, 1);
    db.updateLQIDetails(nullptr, &again, 1);  // nothing for a null node
    n->getLQIInformationTable(&size);
    EXPECT_EQ(size, 15);
    EXPECT_EQ(table[5].lqi, 200);
    EXPECT_EQ(table[5].devTypeRxOnRelation, 0x05);

    db.removeOldLQIInformation(n, list.data(), 15);  // everything still reported
    n->getLQIInformationTable(&size);
    EXPECT_EQ(size, 15);
    std::vector<ZB_NEIGHBOR_TABLE_LIST> some = {list[4], list[2]};
    db.removeOldLQIInformation(n, some.data(), 2);
    n->getLQIInformationTable(&size);
    ASSERT_EQ(size, 2);
    std::vector<unsigned short> left = {table[0].shortAddress, table[1].shortAddress};
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<unsigned short>{0x102, 0x104}));
    db.removeOldLQIInformation(n, nullptr, 0);
    n->getLQIInformationTable(&size);
    EXPECT_EQ(size, 0);
}

TEST_F(ZbNetDbTest, SimpleDescriptorsEndPointsAndLocalServices) {
    Node* n = db.nodeAnnounce(0x0001, kIeeeA, 0);
    db.addEndPoint(n, 1);
    db.addEndPoint(n, 2);
    db.getEndPointList(n).push_back(3);  // a copy
    EXPECT_EQ(db.getEndPointList(n).size(), 2u);
    db.clearEndPointList(n);
    EXPECT_TRUE(db.getEndPointList(n).empty());
    db.addSimpleDescr(n, descriptor(1));
    db.addSimpleDescr(n, descriptor(2));
    SimpleDescriptor* replacement = descriptor(1);
    db.addSimpleDescr(n, replacement);  // the earlier one for end point 1 is freed
    EXPECT_EQ(db.getSimpleDescr(n, 1), replacement);
    EXPECT_EQ(db.clearSimpleDescr(n, 2), 0);
    EXPECT_EQ(db.clearSimpleDescr(n, 2), -1);
    EXPECT_EQ(db.getSimpleDescr(n, 2), nullptr);
    db.clearSimpleDescrList(n);
    EXPECT_EQ(db.getSimpleDescr(n, 1), nullptr);

    SimpleDescriptor sd;
    sd.input_cluster = {1, 2, 3};
    ZbNetDb::createDefaultSimpleDescr(8, &sd);
    EXPECT_EQ(sd.input_cluster, std::list<int>{0x0300});  // replaced, not appended to
    EXPECT_EQ(db.setServicesSD(nullptr), -1);
    EXPECT_EQ(db.removeServicesSD(nullptr), -1);
    EXPECT_EQ(db.getFirstServicesSD(), nullptr);
    SimpleDescriptor sd2;
    EXPECT_EQ(db.setServicesSD(&sd), 0);
    EXPECT_EQ(db.setServicesSD(&sd2), 0);
    EXPECT_EQ(db.getFirstServicesSD(), &sd2);
    EXPECT_EQ(db.getNextServicesSD(&sd2), &sd);
    EXPECT_EQ(db.getNextServicesSD(&sd), nullptr);
    EXPECT_EQ(db.removeServicesSD(&sd2), 0);
    EXPECT_EQ(db.getFirstServicesSD(), &sd);
}

TEST_F(ZbNetDbTest, CopyFromDefaultTakesOnlyDeviceTypeAndStartupControlFromTheRequest) {
    StartupAttributeInfo def = defaultSet();
    db.setStartupAttributeInfo(0, &def);
    StartupAttributeInfo req;
    req.startupAttributeSetIndex = 0;
    req.deviceType = 2;
    req.isDeviceTypeDefined = true;
    req.StartupControl = 0;
    req.isStartupControlDefined = true;
    req.channelMask = 0x07FFF800;
    req.PANId = 0x9999;
    req._securityLevel = 0;
    db.setStartupAttributeInfo(1, &req);
    StartupAttributeInfo* s = db.getStartupAttributeInfo(0);
    EXPECT_EQ(s->deviceType, 2);
    EXPECT_EQ(s->StartupControl, 0);
    EXPECT_EQ(s->channelMask, 0x8000UL);
    EXPECT_EQ(s->PANId, 0x1234);
    EXPECT_EQ(s->_securityLevel, 5);
    EXPECT_EQ(s->networkKey[0], 0xAB);
}

TEST_F(ZbNetDbTest, NewSetTakesUndefinedValuesFromTheDefault) {
    StartupAttributeInfo def = defaultSet();
    db.setStartupAttributeInfo(0, &def);
    StartupAttributeInfo req;
    req.startupAttributeSetIndex = 3;
    req.isDeviceTypeDefined = true;  // defined but 0: the default's for a new set
    req.deviceType = 0;
    req.isStartupControlDefined = false;
    req.channelMask = 0x1000;
    req.PANId = 0x4321;
    db.setStartupAttributeInfo(0, &req);
    StartupAttributeInfo* s = db.getStartupAttributeInfo(3);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(db.getCurrentStartupAttributeSetIndex(), 3);
    EXPECT_EQ(s->deviceType, 1);
    EXPECT_EQ(s->StartupControl, 4);
    EXPECT_EQ(s->channelMask, 0x1000UL);  // flag 0: from the request
    EXPECT_EQ(s->PANId, 0x4321);
    // An existing set keeps its device type when given a defined 0.
    s->deviceType = 3;
    db.setStartupAttributeInfo(0, &req);
    EXPECT_EQ(db.getStartupAttributeInfo(3)->deviceType, 3);
    // Undefined: the default's again.
    req.isDeviceTypeDefined = false;
    db.setStartupAttributeInfo(0, &req);
    EXPECT_EQ(db.getStartupAttributeInfo(3)->deviceType, 1);
    db.removeAllStartupAttributeInfo();
    EXPECT_EQ(db.getStartupAttributeInfo(0), nullptr);
    EXPECT_EQ(db.getStartupAttributeInfo(3), nullptr);
}

TEST_F(ZbNetDbTest, TrustCentreKeyTableReusesRecordsPerIndex) {
    tcKeyTableEntry e;
    e.keyTableEntryIndex = 1;
    std::memset(e.preconfiguredLinkKey, 0x11, 16);
    db.setTCKeyTableEntry(&e);
    tcKeyTableEntry* stored = db.getTCKeyTableEntry(1);
    ASSERT_NE(stored, nullptr);
    EXPECT_NE(stored, &e);  // a copy
    e.preconfiguredLinkKey[0] = 0x22;
    db.setTCKeyTableEntry(&e);
    EXPECT_EQ(db.getTCKeyTableEntry(1), stored);
    EXPECT_EQ(stored->preconfiguredLinkKey[0], 0x22);
    EXPECT_EQ(db.getTCKeyTableEntry(0), nullptr);
    db.removeAllTCKeyTableEntry();
    EXPECT_EQ(db.getTCKeyTableEntry(1), nullptr);
}

TEST_F(ZbNetDbTest, ConcurrentAnnouncementsAndRemovalsKeepTheDatabaseConsistent) {
    addRoot();
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            unsigned char ieee[8] = {0x10, static_cast<unsigned char>(t), 0, 0, 0, 0, 0, 0};
            for (int i = 0; i < 300; ++i) {
                ieee[2] = static_cast<unsigned char>(i % 20);
                unsigned short nwk = static_cast<unsigned short>(0x100 + (i * 7 + t) % 40);
                db.nodeAnnounce(nwk, ieee, 0x08);
                if (i % 5 == 0) {
                    db.removeNodeByNwkAddr(static_cast<unsigned short>(0x100 + i % 40));
                }
                std::lock_guard<std::recursive_mutex> lock(db.mutex());
                for (Node* n = db.getFirstNode(); n != nullptr; n = db.getNextNode(n)) {
                    (void)n->get_nwk_addr();
                }
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    // Every stored node is found under its own address.
    std::lock_guard<std::recursive_mutex> lock(db.mutex());
    for (auto& kv : db.getNodeDict()) {
        EXPECT_EQ(kv.first, kv.second->get_nwk_addr());
    }
    EXPECT_NE(db.getRoot(), nullptr);
}

// A walk keeps every node it knew; only a complete tree walk drops the ones it knew, did not
// reach and did not hear from meanwhile.
TEST_F(ZbNetDbTest, AWalkDropsWhatItDidNotFindOnlyWhenItEndedComplete) {
    addRoot();
    Debug log("WalkRecordTest");
    auto node = [&](unsigned short nwk) {
        Node* n = addTestNode(&db, nwk, true, true, KA_NO_TIMESTAMP);
        db.clearEndPointList(n);
        db.addEndPoint(n, 1);
    };
    struct Case {
        const char* what;
        bool lastAnswer, errorAnswer, gone;
    };
    const Case cases[] = {{"ended early", false, false, false},
                          {"an answer was an error", true, true, false},
                          {"complete", true, false, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        node(0x0101);  // reached
        node(0x0102);  // neither reached nor heard
        node(0x0103);  // heard during the walk
        db.removeNodeByNwkAddr(0x0104);
        WalkRecord walk;
        walk.begin(&db, WalkKind::Tree);
        EXPECT_TRUE(walk.reach(0x0000));
        EXPECT_TRUE(walk.reach(0x0101));
        EXPECT_FALSE(walk.reach(0x0101));  // reached twice: asked once
        db.findNodeByNwkAddr(0x0103)->setKANodeTimer(static_cast<long>(std::time(nullptr)));
        node(0x0104);  // learnt during the walk by someone else
        if (c.errorAnswer) {
            walk.markIncomplete();
        }
        walk.end(&db, c.lastAnswer, log);
        Node* unreached = db.findNodeByNwkAddr(0x0102);
        EXPECT_EQ(unreached == nullptr, c.gone);
        if (unreached != nullptr) {
            EXPECT_EQ(db.getEndPointList(unreached), std::list<int>{1});
        }
        for (unsigned short kept : {0x0000, 0x0101, 0x0103, 0x0104}) {
            EXPECT_NE(db.findNodeByNwkAddr(kept), nullptr) << kept;
        }
    }
}

// An LQI discovery marks every node inactive until heard; one that ends early gives the nodes
// it did not reach their flag back. Its time limit grows with the requests it sends.
TEST_F(ZbNetDbTest, AnLqiWalkEndedEarlyRestoresWhatItDidNotReach) {
    db.setActive(addRoot(), true);
    Debug log("WalkRecordTest");
    addTestNode(&db, 0x0201, true, true, 0);
    for (bool lastAnswer : {false, true}) {
        WalkRecord walk;
        walk.begin(&db, WalkKind::Neighbours);
        EXPECT_FALSE(db.getRoot()->getIsActive());
        EXPECT_FALSE(db.findNodeByNwkAddr(0x0201)->getIsActive());
        walk.reach(0x0000);
        db.setActive(db.getRoot(), true);  // its answer announced it
        walk.end(&db, lastAnswer, log);
        ASSERT_NE(db.findNodeByNwkAddr(0x0201), nullptr);
        EXPECT_EQ(db.findNodeByNwkAddr(0x0201)->getIsActive(), !lastAnswer) << lastAnswer;
    }
    using std::chrono::milliseconds;
    WalkDeadline limit(milliseconds(10000), milliseconds(300));
    EXPECT_EQ(limit.add(3), 11);   // 10.9 s
    EXPECT_EQ(limit.add(10), 14);  // 13.9 s
    EXPECT_EQ(WalkDeadline(milliseconds(0), milliseconds(0)).add(0), 1);
}

// --- The IEEE index, the change counter and the change callback ---

namespace {
struct Reported {
    unsigned short nwk;
    unsigned what;
    bool operator==(const Reported& o) const { return nwk == o.nwk && what == o.what; }
};

std::ostream& operator<<(std::ostream& os, const Reported& r) {
    return os << "{0x" << std::hex << r.nwk << ", 0x" << r.what << std::dec << "}";
}
}  // namespace

class ZbNetDbChangeTest : public ZbNetDbTest {
  protected:
    std::vector<Reported> seen;
    ZbNetDbChangeTest() {
        db.setChangeCallback([this](unsigned short nwk, unsigned what) {
            seen.push_back(Reported{nwk, what});
        });
    }
    // What was reported since the last call, and the counter rose by as much.
    std::vector<Reported> take() {
        EXPECT_EQ(db.changeCount() - countAtTake, seen.size());
        countAtTake = db.changeCount();
        std::vector<Reported> out;
        out.swap(seen);
        return out;
    }
    unsigned long long countAtTake = 0;
};

using Changes = std::vector<Reported>;

TEST_F(ZbNetDbChangeTest, IeeeIndexFollowsANodeWhoseAddressChangesAndForgetsARemovedNode) {
    Node* n = db.nodeAnnounce(0x0001, kIeeeA, 8);
    EXPECT_EQ(db.findNodeByIEEEAddr(kIeeeA), n);
    EXPECT_TRUE(db.setIeeeAddr(n, kIeeeB));
    EXPECT_EQ(db.findNodeByIEEEAddr(kIeeeA), nullptr);
    EXPECT_EQ(db.findNodeByIEEEAddr(kIeeeB), n);
    // The translation names the new pair only.
    EXPECT_EQ(db.translateAddress(kIeeeA), 65535);
    EXPECT_EQ(db.translateAddress(kIeeeB), 0x0001);
    ASSERT_NE(db.translateAddress(0x0001), nullptr);
    EXPECT_EQ(std::memcmp(db.translateAddress(0x0001), kIeeeB, 8), 0);

    EXPECT_EQ(db.removeNodeByNwkAddr(0x0001), 0);
    EXPECT_EQ(db.findNodeByIEEEAddr(kIeeeB), nullptr);
    EXPECT_EQ(db.nodeAnnounce(0x0003, kIeeeB, 8)->get_nwk_addr(), 0x0003);  // a new entry
}

TEST_F(ZbNetDbChangeTest, NodesNotIdentifiedYetShareTheIndexUntilTheyAre) {
    Node* root = addRoot();
    Node* a = new Node(0x0020);
    Node* b = new Node(0x0010);
    ASSERT_EQ(db.addNeighbor(root, a), 0);
    ASSERT_EQ(db.addNeighbor(root, b), 0);
    const unsigned char zeros[8] = {0};
    EXPECT_EQ(db.findNodeByIEEEAddr(zeros), b);  // the lowest address first, as in the map
    db.setIeeeAddr(b, kIeeeA);
    EXPECT_EQ(db.findNodeByIEEEAddr(zeros), a);
    EXPECT_EQ(db.findNodeByIEEEAddr(kIeeeA), b);
    EXPECT_EQ(db.clearAllButRoot(), 0);
    EXPECT_EQ(db.findNodeByIEEEAddr(zeros), nullptr);
    EXPECT_EQ(db.findNodeByIEEEAddr(kIeeeA), nullptr);
    EXPECT_EQ(db.findNodeByIEEEAddr(kIeeeRoot), root);
}

TEST_F(ZbNetDbChangeTest, TheCounterRisesOnARealChangeAndNotOnTheSameValue) {
    Node* n = db.nodeAnnounce(0x0001, kIeeeA, 8);
    take();
    const unsigned long long start = db.changeCount();

    EXPECT_FALSE(db.setIeeeAddr(n, kIeeeA));
    EXPECT_FALSE(db.setReceiverOnWhenIdle(n, true));  // the capability said so
    NodeDescriptor nd = n->node_desc;
    EXPECT_FALSE(db.setNodeDescriptor(n, nd));
    EXPECT_FALSE(db.setPowerDescriptor(n, PowerDescriptor()));
    EXPECT_FALSE(db.setActive(n, false));
    db.clearEndPointList(n);
    db.clearSimpleDescrList(n);
    EXPECT_EQ(db.changeCount(), start);

    nd.logicaltype = ROUTER;
    nd.manufacturecode = 0x1234;
    EXPECT_TRUE(db.setNodeDescriptor(n, nd));
    EXPECT_EQ(db.changeCount(), start + 1);
    EXPECT_FALSE(db.setNodeDescriptor(n, nd));
    PowerDescriptor pd;
    pd.currentpowersource[1] = true;
    EXPECT_TRUE(db.setPowerDescriptor(n, pd));
    EXPECT_FALSE(db.setPowerDescriptor(n, pd));
    EXPECT_TRUE(db.setActive(n, true));
    EXPECT_FALSE(db.setActive(n, true));
    EXPECT_EQ(db.changeCount(), start + 3);

    ZB_NEIGHBOR_TABLE_LIST e = entry(0x0100, 50);
    EXPECT_TRUE(db.updateLQIInformation(n, e.NetworkAddress, e.ExtendedAddress,
                                        e.devTypeRxOnRelation, e.Depth, e.LQI));
    db.updateLQIDetails(n, &e, 1);  // the same entry again
    EXPECT_FALSE(db.updateLQIInformation(n, e.NetworkAddress, e.ExtendedAddress,
                                         e.devTypeRxOnRelation, e.Depth, e.LQI));
    EXPECT_FALSE(db.removeOldLQIInformation(n, &e, 1));  // still reported
    EXPECT_EQ(db.changeCount(), start + 4);

    SimpleDescriptor* sd = new SimpleDescriptor();
    ZbNetDb::createDefaultSimpleDescr(1, sd);
    db.addSimpleDescr(n, sd);
    SimpleDescriptor* same = new SimpleDescriptor();
    ZbNetDb::createDefaultSimpleDescr(1, same);
    db.addSimpleDescr(n, same);  // stored, but nothing changed
    EXPECT_EQ(db.getSimpleDescr(n, 1), same);
    EXPECT_EQ(db.changeCount(), start + 5);

    // A node is added once: a second one with its address is refused and left to its owner.
    Node* added = new Node(0x0777);
    EXPECT_TRUE(db.addNode(added));
    Node twin(0x0777);
    EXPECT_FALSE(db.addNode(&twin));
    EXPECT_EQ(db.findNodeByNwkAddr(0x0777), added);
    take();
}

TEST_F(ZbNetDbChangeTest, TheCallbackSeesWhatChangedOncePerNodeAndWrite) {
    Node* root = addRoot();
    EXPECT_EQ(take(), (Changes{{0x0000, NODE_ADDED}}));
    Node* n = db.nodeAnnounce(0x0001, kIeeeA, 8);
    EXPECT_EQ(take(), (Changes{{0x0001, NODE_ADDED}}));

    std::vector<ZB_NEIGHBOR_TABLE_LIST> list = {entry(0x0100, 1), entry(0x0101, 2)};
    db.updateLQIDetails(n, list.data(), 2);  // two entries, one report
    EXPECT_EQ(take(), (Changes{{0x0001, NODE_LQI}}));
    db.addEndPoint(n, 8);
    db.removeOldLQIInformation(n, nullptr, 0);
    db.setIeeeAddr(n, kIeeeB);
    EXPECT_EQ(take(),
              (Changes{{0x0001, NODE_END_POINTS}, {0x0001, NODE_LQI}, {0x0001, NODE_IEEE_ADDR}}));

    // A neighbour new to the database: it is added, and its reporter's list changed.
    Node* child = new Node(0x0200);
    db.addNeighbor(root, child);
    EXPECT_EQ(take(), (Changes{{0x0200, NODE_ADDED}, {0x0000, NODE_NEIGHBOURS}}));
    db.addNeighbor(root, child);  // already its last neighbour
    EXPECT_TRUE(take().empty());

    // A move is a removal under the old address and an addition under the new one.
    db.nodeAnnounce(0x0002, kIeeeB, 0);
    EXPECT_EQ(take(), (Changes{{0x0001, NODE_REMOVED}, {0x0002, NODE_ADDED}}));
    // Announced under the address of another IEEE address: that node is replaced.
    db.nodeAnnounce(0x0200, kIeeeA, 8);
    EXPECT_EQ(take(), (Changes{{0x0200, NODE_REMOVED | NODE_ADDED}, {0x0000, NODE_NEIGHBOURS}}));

    // A node the database does not hold is written, and nothing is told.
    Node loose(0x0300);
    EXPECT_TRUE(db.setActive(&loose, true));
    EXPECT_TRUE(loose.getIsActive());
    EXPECT_TRUE(take().empty());
}

TEST_F(ZbNetDbChangeTest, RemovalsAndClearAllButRootRaiseIt) {
    Node* root = addRoot();
    Node* a = db.nodeAnnounce(0x0001, kIeeeA, 8);
    db.nodeAnnounce(0x0002, kIeeeB, 8);
    db.addNeighbor(root, a);
    db.addNeighbor(a, root);
    take();

    EXPECT_EQ(db.removeNodeByNwkAddr(0x0009), 0);   // unknown
    EXPECT_EQ(db.removeNodeByNwkAddr(0x0000), -1);  // the root stays
    EXPECT_TRUE(take().empty());
    EXPECT_EQ(db.removeNodeByNwkAddr(0x0001), 0);
    EXPECT_EQ(take(), (Changes{{0x0001, NODE_REMOVED}, {0x0000, NODE_NEIGHBOURS}}));

    db.addNeighbor(root, db.nodeAnnounce(0x0003, kIeeeA, 8));
    take();
    EXPECT_EQ(db.clearAllButRoot(), 0);
    EXPECT_EQ(take(),
              (Changes{{0x0002, NODE_REMOVED}, {0x0003, NODE_REMOVED}, {0x0000, NODE_NEIGHBOURS}}));
    EXPECT_EQ(db.clearAllButRoot(), 0);  // only the root left: nothing changes
    EXPECT_TRUE(take().empty());
    db.clearAll();
    EXPECT_EQ(take(), (Changes{{0x0000, NODE_REMOVED}}));
}

// The callback runs after the write with the database's mutex held; a write it makes itself is
// told after it returns, never from inside it.
TEST_F(ZbNetDbChangeTest, TheCallbackRunsUnderTheMutexAndItsOwnWritesAreToldAfterIt) {
    Node* n = db.nodeAnnounce(0x0001, kIeeeA, 8);
    take();
    int depth = 0;
    int deepest = 0;
    bool lockedElsewhere = true;
    bool sawNewValue = false;
    db.setChangeCallback([&](unsigned short nwk, unsigned what) {
        ++depth;
        deepest = std::max(deepest, depth);
        seen.push_back(Reported{nwk, what});
        if (what == NODE_ACTIVE) {
            sawNewValue = db.findNodeByNwkAddr(nwk)->getIsActive();
            std::thread other([&] {
                lockedElsewhere = !db.mutex().try_lock();
                if (!lockedElsewhere) {
                    db.mutex().unlock();
                }
            });
            other.join();
            db.setReceiverOnWhenIdle(db.findNodeByNwkAddr(nwk), false);
        }
        --depth;
    });
    db.setActive(n, true);
    EXPECT_EQ(take(), (Changes{{0x0001, NODE_ACTIVE}, {0x0001, NODE_DESCRIPTOR}}));
    EXPECT_EQ(deepest, 1);
    EXPECT_TRUE(lockedElsewhere);
    EXPECT_TRUE(sawNewValue);
    EXPECT_FALSE(n->node_desc.receiveronwhenidle);

    db.setChangeCallback(nullptr);  // none: still counted
    const unsigned long long before = db.changeCount();
    db.setActive(n, false);
    EXPECT_EQ(db.changeCount(), before + 1);
    EXPECT_TRUE(seen.empty());
}
