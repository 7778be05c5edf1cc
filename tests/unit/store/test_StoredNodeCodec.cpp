#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "StoredNodeCodec.h"
#include "ZbNetDb.h"

namespace {

const unsigned char kRootIeee[8] = {0, 0x12, 0x4B, 0, 0, 0, 0, 1};
const unsigned char kRouterIeee[8] = {0, 0x12, 0x4B, 0, 0, 0, 0x10, 0x01};
const unsigned char kSensorIeee[8] = {0, 0x12, 0x4B, 0, 0, 0, 0x11, 0x02};

// A gateway, a router with every part filled in, and a sleepy sensor below it.
void fillNetwork(ZbNetDb& db) {
    Node* root = new Node(0x0000, kRootIeee);
    db.setRoot(root);
    Node* router = db.nodeAnnounce(0x1001, kRouterIeee, 0x8E);
    Node* sensor = db.nodeAnnounce(0x1102, kSensorIeee, 0x80);
    NodeDescriptor nd;
    nd.logicaltype = ROUTER;
    nd.APSflags = 3;
    nd.frequencyband = F2400_2483D5;
    nd.mac_cap = 0x8E;
    nd.devicetype = nd.powersource = nd.receiveronwhenidle = nd.securytycapability = true;
    nd.manufacturecode = 0x1234;
    nd.maximumbuffersize = 80;
    nd.maximumtransfersize = 0x5678;
    nd.server_mask = 0x9ABC;
    nd.filled = true;
    db.setNodeDescriptor(router, nd);
    PowerDescriptor pd;
    pd.currentpowermode = PERIODICALLYON;
    pd.avaiablepowersource[0] = pd.avaiablepowersource[2] = true;
    pd.currentpowersource[2] = true;
    pd.currentpowersourcelevel = P66;
    pd.filled = true;
    db.setPowerDescriptor(router, pd);
    for (int ep : {1, 2}) {
        db.addEndPoint(router, ep);
        auto* sd = new SimpleDescriptor;
        sd->end_point = ep;
        sd->profile_id = 0x0104;
        sd->device_id = 0x0100 + ep;
        sd->device_ver = ep;
        sd->user_desc_available = ep == 2;
        sd->input_cluster = {0x0000, 0x0006, 0xFC01};
        sd->output_cluster = {0x0019};
        db.addSimpleDescr(router, sd);
    }
    db.updateLQIInformation(router, 0x1102, kSensorIeee, 0x12, 2, 170);
    db.updateLQIInformation(router, 0x0000, kRootIeee, 0x04, 0, 255);
    db.addNeighbor(router, sensor);
    db.setActive(router, true);
    db.setActive(sensor, false);
    router->setKANodeTimer(1765180000);
}

}  // namespace

TEST(StoredNodeCodec, EveryPartOfANodeComesBackAsNotYetHeardFrom) {
    ZbNetDb from;
    fillNetwork(from);
    // The gateway itself is not stored: the module names it at every start.
    EXPECT_FALSE(storedNode(from, 0x0000));
    const std::vector<StoredNode> stored = {*storedNode(from, 0x1001), *storedNode(from, 0x1102)};
    EXPECT_EQ(stored[0].ieee, 0x00124B0000001001u);
    EXPECT_EQ(stored[0].lastHeard, 1765180000);

    ZbNetDb to;
    const RestoreCount count = restoreNodes(to, stored);
    EXPECT_EQ(std::make_pair(count.restored, count.skipped), std::make_pair(2, 0));
    // Every part is read back as written: stored again before it is heard from, a restored
    // node is what was read. Liveness is not restored: the keep-alive asks the node again.
    std::map<uint64_t, int64_t> heard = {{stored[0].ieee, stored[0].lastHeard},
                                         {stored[1].ieee, stored[1].lastHeard}};
    EXPECT_EQ(storedNode(to, 0x1001, &heard), stored[0]);
    EXPECT_EQ(storedNode(to, 0x1102, &heard), stored[1]);
    for (uint16_t nwk : {0x1001, 0x1102}) {
        const unsigned char* ieee = from.findNodeByNwkAddr(nwk)->get_ieee_addr();
        const Node* b = to.findNodeByNwkAddr(nwk);
        ASSERT_NE(b, nullptr) << nwk;
        EXPECT_TRUE(to.findNodeByIEEEAddr(ieee) == b && to.translateAddress(ieee) == nwk) << nwk;
        EXPECT_EQ(b->nodeTimer, KA_NO_TIMESTAMP) << nwk;
    }
    const Node* router = to.findNodeByNwkAddr(0x1001);
    ASSERT_EQ(router->neighbor.size(), 1u);
    EXPECT_EQ(router->neighbor.front(), to.findNodeByNwkAddr(0x1102));
}

TEST(StoredNodeCodec, ANodeWithAPartThatDoesNotDecodeIsLeftOutWhole) {
    ZbNetDb from;
    fillNetwork(from);
    const StoredNode good = *storedNode(from, 0x1001);
    const std::vector<std::pair<const char*, std::function<void(StoredNode&)>>> damage = {
        {"node descriptor cut short", [](StoredNode& n) { n.nodeDescriptor.pop_back(); }},
        {"node descriptor of another layout", [](StoredNode& n) { n.nodeDescriptor[0] = 2; }},
        {"logical type out of range", [](StoredNode& n) { n.nodeDescriptor[1] = 9; }},
        {"power descriptor with a byte more", [](StoredNode& n) { n.powerDescriptor += 'x'; }},
        {"power level unknown", [](StoredNode& n) { n.powerDescriptor[4] = 5; }},
        {"simple descriptor of another end point",
         [](StoredNode& n) { n.simpleDescriptors[1][1] = 7; }},
        {"cluster count past the end", [](StoredNode& n) { n.simpleDescriptors[2][8] = 40; }},
        {"sixteen LQI entries", [](StoredNode& n) { n.neighbourTable[5] = 16; }},
        {"empty neighbour part", [](StoredNode& n) { n.neighbourTable.clear(); }},
        {"no IEEE address", [](StoredNode& n) { n.ieee = 0; }},
    };
    for (const auto& [what, spoil] : damage) {
        SCOPED_TRACE(what);
        StoredNode bad = good;
        spoil(bad);
        ASSERT_FALSE(bad == good);
        ZbNetDb to;
        const RestoreCount count = restoreNodes(to, {bad, *storedNode(from, 0x1102)});
        EXPECT_EQ(std::make_pair(count.restored, count.skipped), std::make_pair(1, 1));
        EXPECT_TRUE(!to.findNodeByNwkAddr(0x1001) && to.findNodeByNwkAddr(0x1102));
    }
    // A node the database already holds (by IEEE address or by network address) stays as is.
    ZbNetDb to;
    to.nodeAnnounce(0x1001, kSensorIeee, 0x80);
    const RestoreCount count = restoreNodes(to, {good, *storedNode(from, 0x1102)});
    EXPECT_EQ(std::make_pair(count.restored, count.skipped), std::make_pair(0, 2));
}
