#include <gtest/gtest.h>

#include <unistd.h>
#include <cstdio>
#include <fstream>

#include "SimNetwork.h"
#include "support/TempFile.h"

using namespace zbsim;

namespace {
Network loadDemo() {
    Network n;
    std::string err;
    EXPECT_TRUE(n.load(ZBSIM_DEMO_NETWORK, err)) << err;
    n.attachModule(LogicalType::Coordinator, n.config().ieee, 0x0000, 0);
    return n;
}

std::string loadError(const std::string& text) {
    TempFile f(text);
    Network n;
    std::string err;
    EXPECT_FALSE(n.load(f.path(), err));
    return err;
}
}  // namespace

TEST(SimNetwork, ReportsBadFilesWithSectionAndKey) {
    EXPECT_NE(loadError("[a]\nieee = 1\nshort = 0x10\n").find("[a] missing or bad ieee"),
              std::string::npos);
    EXPECT_NE(loadError("[a]\nieee=0000000000000001\nshort=0x10\ntype=toaster\n").find("type"),
              std::string::npos);
    EXPECT_NE(loadError("[a]\nieee=0000000000000001\nshort=0x10\nparent=nobody\n").find("parent"),
              std::string::npos);
    EXPECT_NE(loadError("[a]\nieee=0000000000000001\nshort=0x10\n[b]\nieee=0000000000000002\n"
                        "short=0x10\n")
                  .find("duplicate short"),
              std::string::npos);
    EXPECT_NE(loadError("[a]\nieee=0000000000000001\nshort=0x10\nendpoints=1\n").find("ep1"),
              std::string::npos);
    EXPECT_NE(loadError("[a]\nieee=0000000000000001\nshort=0x10\napp=light\n").find("0x0006"),
              std::string::npos);
    EXPECT_NE(loadError("[module]\nchannel=27\n").find("channel"), std::string::npos);
    Network n;
    std::string err;
    EXPECT_FALSE(n.load("/nonexistent/zbsim.ini", err));
}

TEST(SimNetwork, GivenNeighbourTableIsUsedAsWritten) {
    Network n = loadDemo();
    auto t = n.neighborTable(*n.findRef("router2"), 0);
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t[0].nwk, 0x0000);
    EXPECT_EQ(t[0].lqi, 190);
    EXPECT_EQ(t[1].nwk, 0x1001);
    EXPECT_EQ(t[1].devTypeRxOnRelation >> 4, 2);  // sibling
    EXPECT_EQ(t[1].lqi, 150);
    EXPECT_EQ(t[2].nwk, 0x2101);
    EXPECT_EQ(t[2].devTypeRxOnRelation, 0x02 | 0x04 | 0x10);
}

TEST(SimNetwork, BindingTableKeepsOneCopyAndHonoursCapacity) {
    Network n = loadDemo();
    n.config().bindingCapacity = 2;
    Node& light = *n.findRef("light");
    Binding a{light.ieee, 1, 0x0006, 0x1111, 1}, b{light.ieee, 1, 0x0008, 0x1111, 1},
        c{light.ieee, 1, 0x0300, 0x1111, 1};
    EXPECT_EQ(n.addBinding(light, a), 0x00);
    EXPECT_EQ(n.addBinding(light, a), 0x00);
    EXPECT_EQ(light.bindings.size(), 1u);
    EXPECT_EQ(n.addBinding(light, b), 0x00);
    EXPECT_EQ(n.addBinding(light, c), 0x87);  // table full
    EXPECT_EQ(n.removeBinding(light, a), 0x00);
    EXPECT_EQ(n.removeBinding(light, a), 0x88);  // no entry
    EXPECT_EQ(light.bindings.size(), 1u);
}

TEST(SimNetwork, JoinedModuleIsAChildOfItsParent) {
    Network n;
    std::string err;
    ASSERT_TRUE(n.load(ZBSIM_DEMO_NETWORK, err)) << err;
    n.attachModule(LogicalType::Router, 0xAB, 0x0001, 0x0000);
    EXPECT_EQ(n.find(0x0000)->name, "coordinator");
    EXPECT_EQ(n.associatedDevices(0x0000), (std::vector<uint16_t>{0x0001, 0x1001, 0x2001}));
    EXPECT_EQ(n.depth(n.module()), 1);
}

TEST(SimNetwork, NodesOutsideTheNetworkAndRawDescriptors) {
    TempFile f(
        "[module]\nieee = 00124B0000000001\n"
        "[r]\nieee = 00124B0000000010\nshort = 0x0010\n"
        "[e]\nieee = 00124B0000000011\nshort = 0x0011\ntype = end_device\nparent = r\n"
        "joined = false\npower_descriptor = 0x21,0x82\nmac_capability = 0x84\n");
    Network n;
    std::string err;
    ASSERT_TRUE(n.load(f.path(), err)) << err;
    n.attachModule(LogicalType::Coordinator, n.config().ieee, 0, 0);
    Node* e = n.findRef("e");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->state, NodeState::Absent);
    EXPECT_EQ(e->parent, 0x0010);
    EXPECT_EQ(e->power[0], 0x21);
    EXPECT_EQ(e->power[1], 0x82);
    EXPECT_EQ(e->macCap, 0x84);
    EXPECT_TRUE(n.associatedDevices(0x0010).empty());
    EXPECT_EQ(n.associatedDevices(0x0000), std::vector<uint16_t>{0x0010});
    EXPECT_NE(loadError("[e]\nieee = 00124B0000000011\nshort = 0x0011\npower_descriptor = 1\n")
                  .find("power_descriptor"),
              std::string::npos);
}

TEST(SimNetwork, ReadsTheIniFormatInOnePass) {
    TempFile f(
        "; a comment\n[MODULE]\nChannel = 20 ; inline comment\n\n"
        "[Lamp]\nieee = 00124B00000000AA\nshort = 0x00AA\n"
        "model = \"Lamp; Dimmable\"\nendpoints = 1\n"
        "ep1 = profile=0x0104 device=0x0100 \\\n   in=0x0000,0x0006 out=\n"
        "# done\n");
    Network n;
    std::string err;
    ASSERT_TRUE(n.load(f.path(), err)) << err;
    EXPECT_EQ(n.config().channel, 20);
    Node* lamp = n.findRef("lamp");
    ASSERT_NE(lamp, nullptr);
    EXPECT_EQ(lamp->model, "Lamp; Dimmable");
    ASSERT_EQ(lamp->endpoints.size(), 1u);
    EXPECT_EQ(lamp->endpoints[0].in, (std::vector<uint16_t>{0x0000, 0x0006}));
    EXPECT_NE(loadError("[a]\nieee = 1\njust words\n").find(":3: expected"), std::string::npos);
}
