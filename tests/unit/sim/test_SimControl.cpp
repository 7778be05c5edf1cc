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

// Every command refuses what it cannot do with a reason, and changes nothing then; the
// behaviour of the commands that succeed is tested over the wire (tests/integration/sim).
TEST(SimControl, RefusesBadArgumentsAndImpossibleActions) {
    Network net;
    std::string err;
    ASSERT_TRUE(net.load(ZBSIM_DEMO_NETWORK, err)) << err;
    Line line;
    Module module(net, [&](const Packet& p) { line.submit(p, 0); });
    Controller ctl(net, module, line, {});
    struct Case {
        const char* command;
        const char* answer;
    } cases[] = {
        {"frobnicate", "error: unknown command 'frobnicate' (try help)"},
        {"show nobody", "error: no node 'nobody'"},
        {"silence", "error: silence needs a node"},
        {"permit 10", "error: the network is not up"},
        {"report sensor", "error: the network is not up"},
        {"module netdown", "error: the network is not up"},
        {"rejoin light", "error: the network is not up"},
        {"tick 10", "error: the clock is not manual (--manual-clock)"},
        {"unplug", "error: not available"},
        {"latency light fast", "error: usage: latency NODE MS (0-60000)"},
        {"loss light 101", "error: usage: loss NODE PERCENT (0-100)"},
        {"loss module 5", "error: the module's own answers cannot be slowed or lost"},
        {"refuse light routes", "error: usage: refuse NODE lqi|bind [STATUS]"},
        {"refuse light lqi 0", "error: usage: refuse NODE lqi|bind [STATUS]"},
        {"rejoin light 0xFFFD", "error: usage: rejoin NODE [SHORT]"},
        {"module explode", "error: usage: module reset|netdown [MS]|hang|resume"},
        {"fault corruptbyte 1", "error: usage: fault corruptbyte N OFFSET"},
        {"fault duplicate 0", "error: usage: fault duplicate N"},
        {"fault baud 10", "error: usage: fault baud RATE (50-4000000, 0 ends it)"},
        {"fault bytewise -1", "error: usage: fault bytewise US (0-1000000)"},
        {"fault garbage zz", "error: usage: fault garbage HEX"},
        {"send light 1 6 - 8 260 color=red",
         "error: usage: send NODE SRC_EP CLUSTER HEX|- "
         "[DST_EP [PROFILE]] [src=ieee] [dst=ADDR] [group=ID]"},
        {"set light 20", "error: node is not a temperature sensor"},
        {"set sensor 400", "error: value out of range"},
        {"kill module", "error: the module cannot be killed"},
        {"trace loud", "error: usage: trace on|off"},
        {"flood 0", "error: usage: flood N (1-200000) [BYTES (11-80) [NODE...]]"},
        {"flood 5 10", "error: usage: flood N (1-200000) [BYTES (11-80) [NODE...]]"},
        {"flood 5 20 nobody", "error: no node 'nobody'"},
        {"flood 5 20 module", "error: node 'module' has no end point"},
        {"flood 5", "error: no node can reach the module"},
        {"flood 5 20 light", "error: the network is not up (after 0 reports)"},
        {"stamps on", "error: usage: stamps on FILE [OPCODE...] | stamps off"},
        {"stamps on /tmp/x 9C", "error: usage: stamps on FILE [OPCODE...] | stamps off"},
        {"stamps on /tmp/x", "error: not available"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ctl.execute(c.command, 0), c.answer) << c.command;
    EXPECT_EQ(net.findRef("light")->lossPercent, 0);
    EXPECT_EQ(line.bytesOut(), 0u);
}

TEST(SimLine, PacedAndDelayedFramesKeepTheirOrderAndTiming) {
    Line line;
    line.setDelayMs(100);
    line.submit(Packet(0xA4, 0x00, {0}), 0);
    line.setDelayMs(0);
    line.setBaud(10000);  // one byte per millisecond
    line.submit(Packet(0xA4, 0x21, {0}), 10000);
    std::vector<uint8_t> b;
    line.takeDue(100000, b);
    EXPECT_TRUE(b.empty()) << "a frame delayed 100 ms must not leave at the 100 ms stamp";
    line.takeDue(100001, b);
    EXPECT_EQ(b.size(), 6u);
    // The paced frame waits behind the delayed one, then one byte a millisecond.
    line.takeDue(102000, b);
    EXPECT_EQ(b.size(), 7u);
    EXPECT_EQ(line.nextDueUs(), 102001);
    line.takeDue(107001, b);
    ASSERT_EQ(b.size(), 12u);
    EXPECT_EQ(b[2], 0x00);
    EXPECT_EQ(b[8], 0x21);
}
