#include <gtest/gtest.h>

#include <climits>

#include "SimControl.h"

using namespace zbsim;

TEST(SimControlParse, SplitsVerbAndArguments) {
    Command c;
    std::string err;
    ASSERT_TRUE(parseCommand("  FAULT   corrupt 3 ", c, err));
    EXPECT_EQ(c.verb, "fault");
    EXPECT_EQ(c.args, (std::vector<std::string>{"corrupt", "3"}));
    EXPECT_FALSE(parseCommand("   ", c, err));
    EXPECT_EQ(err, "empty command");
    EXPECT_FALSE(parseCommand(std::string(kMaxCommandLine + 1, 'x'), c, err));
    EXPECT_EQ(err, "line too long");
}

namespace {
class ControlTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string err;
        ASSERT_TRUE(net.load(ZBSIM_DEMO_NETWORK, err)) << err;
        module = std::make_unique<Module>(net, [this](const Packet& p) {
            out.push_back(p);
            line.submit(p, 0);
        });
        Controller::Hooks hooks;
        hooks.unplug = [this](int ms) { unplugged = ms; };
        hooks.trace = [this](bool on) { trace = on; };
        ctl = std::make_unique<Controller>(net, *module, line, hooks);
    }
    std::string run(const std::string& s) { return ctl->execute(s, 0); }
    void form() { module->receive(Packet(0xA3, 0xE7, {0xC0, 0, 0}), 0); }
    std::vector<uint8_t> wire() {
        std::vector<uint8_t> b;
        line.takeDue(INT64_MAX - 1, b);
        return b;
    }

    Network net;
    Line line;
    std::unique_ptr<Module> module;
    std::unique_ptr<Controller> ctl;
    std::vector<Packet> out;
    int unplugged = -2;
    bool trace = false;
};
}  // namespace

TEST_F(ControlTest, ListAndShowDescribeTheNetwork) {
    form();
    std::string l = run("list");
    EXPECT_EQ(l.rfind("ok 6 module:0000:coordinator:up router1:1001:router:up", 0), 0u) << l;
    EXPECT_NE(l.find("sensor:1102:end_device:up"), std::string::npos);
    std::string s = run("show light");
    EXPECT_NE(s.find("short=1101"), std::string::npos);
    EXPECT_NE(s.find("app=light on=0"), std::string::npos);
    EXPECT_EQ(run("show 0x1102"), run("show sensor"));
    EXPECT_EQ(run("show nobody"), "error: no node 'nobody'");
    EXPECT_EQ(run("show"), "error: show needs a node");
    EXPECT_EQ(run("frobnicate"), "error: unknown command 'frobnicate' (try help)");
    EXPECT_EQ(run("help").rfind("ok commands:", 0), 0u);
    EXPECT_NE(run("status").find("network=up role=coordinator short=0000 channel=15"),
              std::string::npos);
}

TEST_F(ControlTest, NodeLifeCycleCommands) {
    EXPECT_EQ(run("join light"), "error: the network is not up");
    form();
    EXPECT_EQ(run("silence light"), "ok");
    EXPECT_EQ(run("silence light"), "error: node is silent");
    EXPECT_EQ(run("revive light"), "ok");
    EXPECT_EQ(run("kill light"), "ok");
    EXPECT_EQ(run("revive light"), "error: node is dead");
    EXPECT_EQ(run("join light"), "error: node is dead");
    EXPECT_EQ(run("remove plug"), "ok");
    EXPECT_EQ(run("remove plug"), "error: node is not in the network");
    EXPECT_EQ(run("join plug"), "error: joining is not permitted");
    EXPECT_EQ(run("join plug please"), "error: usage: join NODE [force]");
    out.clear();
    EXPECT_EQ(run("join plug force"), "ok");
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].payload[10], 0x13);  // device announce
    out.clear();
    EXPECT_EQ(run("announce router1"), "ok");
    EXPECT_EQ(out.size(), 1u);
    EXPECT_EQ(run("permit 30"), "ok");
    EXPECT_NE(run("show module").find("permit=1"), std::string::npos);
    EXPECT_EQ(run("permit 300"), "error: usage: permit SECONDS (0-255)");
}

TEST_F(ControlTest, SendAndSensorCommands) {
    form();
    out.clear();
    EXPECT_EQ(run("send light 1 0x0006 18010A0000100100"), "ok");
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].group, 0x9D);
    EXPECT_EQ(out[0].payload[3], 0x01);   // destination end point
    EXPECT_EQ(out[0].payload[10], 0x06);  // cluster
    EXPECT_EQ(out[0].payload[12], 8);     // payload length
    EXPECT_EQ(run("send light 1 0x0006 zz"),
              "error: usage: send NODE SRC_EP CLUSTER HEX|- [DST_EP [PROFILE]]");
    EXPECT_EQ(run("send light 9 0x0006 -"), "error: node has no such end point");
    EXPECT_EQ(run("send light 0 0x0013 - 0 0"), "ok");
    EXPECT_EQ(run("set sensor 18.75"), "ok");
    EXPECT_EQ(run("set light 18.75"), "error: node is not a temperature sensor");
    EXPECT_EQ(run("set sensor warm"), "error: usage: set NODE CELSIUS");
    out.clear();
    EXPECT_EQ(run("report sensor"), "ok");
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].payload[19], 0x53);  // 1875 = 0x0753
    EXPECT_EQ(out[0].payload[20], 0x07);
}

TEST_F(ControlTest, FaultCommandsShapeTheLine) {
    form();
    wire();
    EXPECT_EQ(run("fault corrupt 2"), "ok");
    module->receive(Packet(0xA3, 0x12), 0);
    module->receive(Packet(0xA3, 0x12), 0);
    module->receive(Packet(0xA3, 0x12), 0);
    auto w = wire();
    uint8_t fcs = 0xA4 ^ 0x12 ^ 0x02 ^ 0x00 ^ 15;
    EXPECT_EQ(w, (std::vector<uint8_t>{0x02, 0xA4, 0x12, 0x02, 0x00, 15, uint8_t(fcs ^ 0xFF),
                                       0x02, 0xA4, 0x12, 0x02, 0x00, 15, uint8_t(fcs ^ 0xFF),
                                       0x02, 0xA4, 0x12, 0x02, 0x00, 15, fcs}));
    EXPECT_EQ(run("fault drop 1"), "ok");
    module->receive(Packet(0xA3, 0x12), 0);
    EXPECT_TRUE(wire().empty());
    EXPECT_EQ(run("fault nofcs"), "ok");
    module->receive(Packet(0xA3, 0x12), 0);
    EXPECT_EQ(wire(), (std::vector<uint8_t>{0x02, 0xA4, 0x12, 0x02, 0x00, 15}));
    EXPECT_EQ(run("fault garbage 55 aa"), "ok");
    EXPECT_EQ(wire(), (std::vector<uint8_t>{0x55, 0xAA}));
    EXPECT_EQ(run("fault delay 250"), "ok");
    EXPECT_EQ(line.delayMs(), 250);
    EXPECT_EQ(run("fault clear"), "ok");
    EXPECT_EQ(line.delayMs(), 0);
    EXPECT_EQ(run("fault failstart"), "ok");
    out.clear();
    form();
    EXPECT_EQ(out.back(), Packet(0x97, 0x42, {0xC4}));
    EXPECT_EQ(run("fault failstart 0xCA"), "ok");
    out.clear();
    form();
    EXPECT_EQ(out.back(), Packet(0x97, 0x42, {0xCA}));
    EXPECT_EQ(run("fault drop 0"), "error: usage: fault drop N");
    EXPECT_EQ(run("fault"), "error: usage: fault corrupt|garbage|drop|delay|nofcs|failstart|clear");
    EXPECT_EQ(run("fault sparks"), "error: unknown fault 'sparks'");
    EXPECT_EQ(run("fault garbage xyz"), "error: usage: fault garbage HEX");
}

TEST_F(ControlTest, UnplugAndTraceGoThroughTheHooks) {
    EXPECT_EQ(run("unplug"), "ok");
    EXPECT_EQ(unplugged, -1);
    EXPECT_EQ(run("unplug 500"), "ok");
    EXPECT_EQ(unplugged, 500);
    EXPECT_EQ(run("unplug soon"), "error: usage: unplug [MS]");
    EXPECT_EQ(run("trace on"), "ok");
    EXPECT_TRUE(trace);
    EXPECT_EQ(run("trace loud"), "error: usage: trace on|off");
}

TEST(SimLine, DelayedFramesKeepTheirOrder) {
    Line line;
    line.setDelayMs(100);
    line.submit(Packet(0xA4, 0x00, {0}), 0);
    line.setDelayMs(0);
    line.submit(Packet(0xA4, 0x21, {0}), 10);
    std::vector<uint8_t> b;
    line.takeDue(100, b);
    EXPECT_TRUE(b.empty())
        << "a frame delayed 100 ms must not leave at the 100th millisecond stamp";
    EXPECT_EQ(line.nextDueMs(), 101);
    line.takeDue(101, b);
    EXPECT_EQ(b.size(), 12u);
    EXPECT_EQ(b[2], 0x00);
    EXPECT_EQ(b[8], 0x21);
}
