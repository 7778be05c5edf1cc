// zbsim acting as a network and as a misbehaving module, over its pseudo-terminal and control
// socket. Timing runs on zbsim's manual clock (`tick`), so nothing here depends on the speed of
// the machine.
#include <ctime>
#include <fstream>
#include <set>

#include "ZbsimHarness.h"

using namespace zbsimtest;

namespace {
const std::vector<std::string> kManual{"--manual-clock"};
const Bytes kToggle{0x01, 0x31, 0x02};  // ZCL on/off toggle, default response wanted

Bytes ieeeRequest(uint16_t dst, uint16_t interest) {
    return cat({addrPair(dst, interest), {0x00, 0x00}});
}
Bytes simpleDescRequest(uint16_t dst, uint16_t interest) {
    return cat({addrPair(dst, interest), {0x01}});
}
Bytes lqiRequest(uint16_t dst) {
    return cat({le16(dst), {0x00}});
}
Bytes bindTableRequest(uint16_t dst) {
    return cat({le16(dst), {0x00, 0x00}});
}
Bytes ieeeAnswer(uint64_t ieee, uint16_t nwk) {
    return frame(0xA0, 0x81, cat({{0x00}, le64(ieee), le16(nwk)}));
}
constexpr uint64_t kLight = 0x00124B0000001101ULL, kSensor = 0x00124B0000001102ULL;

class ZbsimNetwork : public ::testing::Test {
  protected:
    void start(const std::string& network = ZBSIM_DEMO_NETWORK,
               std::vector<std::string> extra = kManual) {
        sim = std::make_unique<Zbsim>(network, extra);
        ASSERT_EQ(sim->readyLine().rfind("zbsim: ready", 0), 0u);
        port = std::make_unique<Port>(sim->link);
        ASSERT_NO_FATAL_FAILURE(formWithoutReset(*port));
    }
    std::string ctl(const std::string& c) { return sim->ctl(c); }
    std::vector<Bytes> tick(int ms) {
        EXPECT_EQ(ctl("tick " + std::to_string(ms)).rfind("ok now=", 0), 0u);
        return port->drain();
    }
    std::unique_ptr<Zbsim> sim;
    std::unique_ptr<Port> port;
};
}  // namespace

TEST_F(ZbsimNetwork, ARouterThatStopsCutsOffTheNodesBehindIt) {
    start();
    for (const char* stop : {"silence router1", "kill router1"}) {
        SCOPED_TRACE(stop);
        ASSERT_EQ(ctl(stop), "ok");
        port->send(0xA2, 0x01, ieeeRequest(0x1101, 0x1101));
        port->send(0xA2, 0x01, ieeeRequest(0x1102, 0x1102));
        port->send(0xA2, 0x31, lqiRequest(0x1101));
        port->send(0x9C, 0x00, dataRequest(0x02, 0x1101, 0x01, 0x0104, 0x0006, 0x08, kToggle));
        port->expectNothing();
        // No acknowledgement comes back: the module gives up a while later.
        EXPECT_EQ(tick(1000),
                  std::vector<Bytes>{frame(
                      0x9D, 0x00, cat({{0x02}, le16(0x1101), Bytes(6), {0x01, 0x08, 0xA7}}))});
        // The other branch still answers.
        port->send(0xA2, 0x01, ieeeRequest(0x2101, 0x2101));
        port->expect({ieeeAnswer(0x00124B0000002101ULL, 0x2101)});
        if (std::string(stop) == "silence router1") {
            ASSERT_EQ(ctl("revive router1"), "ok");
            port->send(0xA2, 0x01, ieeeRequest(0x1102, 0x1102));
            port->expect({ieeeAnswer(kSensor, 0x1102)});
        }
    }
    EXPECT_EQ(ctl("report sensor"), "error: node has no route to the module");
}

TEST_F(ZbsimNetwork, AddressesNobodyHasGetNoAnswerAndParentsAnswerForSleepingChildren) {
    start();
    port->send(0xA2, 0x01, ieeeRequest(0x7777, 0x7777));
    port->send(0xA2, 0x02, addrPair(0x7777, 0x7777));
    port->send(0xA2, 0x03, addrPair(0x7777, 0x7777));
    port->send(0xA2, 0x04, simpleDescRequest(0x7777, 0x7777));
    port->send(0xA2, 0x05, addrPair(0x7777, 0x7777));
    port->send(0xA2, 0x31, lqiRequest(0x7777));
    port->send(0xA2, 0x33, bindTableRequest(0x7777));
    port->send(0xA2, 0x36, {0x77, 0x77, 0x10, 0x00});
    port->expectNothing();
    // A node that is there answers that it does not know the address it is asked about.
    port->send(0xA2, 0x01, ieeeRequest(0x1001, 0x7777));
    port->expect({frame(0xA0, 0x81, cat({{0x81}, Bytes(8), le16(0x7777)}))});

    // The sensor's parent answers for it from what it keeps, whatever the request type.
    ASSERT_EQ(ctl("silence sensor"), "ok");
    port->send(0xA2, 0x01, ieeeRequest(0x1001, 0x1102));
    port->send(0xA2, 0x05, addrPair(0x1001, 0x1102));
    port->send(0xA2, 0x00, cat({le16(0xFFFD), le64(kSensor), {0x00, 0x00}}));
    port->expect({ieeeAnswer(kSensor, 0x1102), frame(0xA0, 0x85, {0x00, 0x02, 0x11, 0x01, 0x01}),
                  frame(0xA0, 0x80, cat({{0x00}, le64(kSensor), le16(0x1102)}))});
    port->send(0xA2, 0x02, addrPair(0x1001, 0x1102));
    Bytes desc = port->readFrame();
    ASSERT_TRUE(is(desc, 0xA0, 0x82));
    EXPECT_EQ(desc[4], 0x00);
    // Asked directly, the silent sensor does not answer.
    port->send(0xA2, 0x01, ieeeRequest(0x1102, 0x1102));
    port->expectNothing();
}

TEST_F(ZbsimNetwork, IndicationsReachOnlyEndPointsTheGatewayRegistered) {
    start();
    ASSERT_EQ(ctl("send light 1 6 18010B0000"), "ok");  // to end point 8 by default
    std::vector<Bytes> got = port->drain();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0][7], 0x08);
    ASSERT_EQ(ctl("send light 1 6 18010B0000 9"), "ok");
    port->expectNothing();
    // The light's answer to a request from an end point the gateway never registered.
    port->send(0x9C, 0x00, dataRequest(0x02, 0x1101, 0x01, 0x0104, 0x0006, 0x09, kToggle));
    got = port->drain();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(is(got[0], 0x9D, 0x00));
}

TEST_F(ZbsimNetwork, ASensorRunsOneReportChainAndSensorsReportAtTheirOwnPhases) {
    start();
    tick(10000);
    ASSERT_EQ(ctl("remove sensor"), "ok");
    ASSERT_EQ(ctl("join sensor force"), "ok");  // inside its 30 s interval
    port->drain();
    int reports = 0;
    for (int s = 0; s < 120; s += 10)
        for (const Bytes& f : tick(10000))
            reports += is(f, 0x9D, 0x01) && indicationCluster(f) == 0x0402;
    EXPECT_EQ(reports, 4);

    start(ZBSIM_LARGE_NETWORK);
    std::set<uint16_t> sensors;
    int seconds = 0, total = 0;
    for (int s = 0; s < 60; ++s) {
        int now = 0;
        for (const Bytes& f : tick(1000))
            if (is(f, 0x9D, 0x01) && indicationCluster(f) == 0x0402) {
                sensors.insert(indicationSource(f));
                ++now;
            }
        total += now;
        seconds += now > 0;
    }
    EXPECT_EQ(total, 72);
    EXPECT_EQ(sensors.size(), 72u);
    EXPECT_GT(seconds, 20) << "reports must spread over the interval";
}

TEST_F(ZbsimNetwork, BroadcastsGetNoDefaultResponseAndReachWhoListens) {
    start();
    port->send(0x9C, 0x00, dataRequest(0x02, 0xFFFD, 0xFF, 0x0104, 0x0006, 0x08, kToggle));
    std::vector<Bytes> got = port->drain();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(is(got[0], 0x9D, 0x00));
    EXPECT_NE(ctl("show light").find("on=1"), std::string::npos);
    EXPECT_NE(ctl("show plug").find("on=1"), std::string::npos);
    // Reading the measured temperature: the sleepy sensor hears 0xFFFF, not 0xFFFD.
    const Bytes read{0x00, 0x32, 0x00, 0x00, 0x00};
    for (uint16_t to : {0xFFFD, 0xFFFF}) {
        port->send(0x9C, 0x00, dataRequest(0x02, to, 0xFF, 0x0104, 0x0402, 0x08, read));
        std::set<uint16_t> from;
        for (const Bytes& f : port->drain())
            if (is(f, 0x9D, 0x01))
                from.insert(indicationSource(f));
        std::set<uint16_t> want{0x2101};
        if (to == 0xFFFF)
            want.insert(0x1102);
        EXPECT_EQ(from, want);
    }
}

TEST_F(ZbsimNetwork, LeavesAreIndicatedOnlyWhereTheModuleHearsThemAndNodesRejoinReaddressed) {
    TempFile net(R"(
[module]
channel = 15
[r1]
ieee = 00124B0000001001
short = 0x1001
[r2]
ieee = 00124B0000002001
short = 0x2001
[light]
ieee = 00124B0000001101
short = 0x1101
parent = r1
also_parent = r2
rejoin_short = 0x3333
[ed]
ieee = 00124B0000002101
short = 0x2101
type = end_device
parent = r2
)");
    start(net.path());
    // r2 lists the light beside its own child, and as its child in its neighbour table.
    port->send(0xA2, 0x01, cat({addrPair(0x2001, 0x2001), {0x01, 0x00}}));
    port->expect({frame(0xA0, 0x81,
                        cat({{0x00},
                             le64(0x00124B0000002001ULL),
                             le16(0x2001),
                             {0x02, 0x00},
                             le16(0x1101),
                             le16(0x2101)}))});
    port->send(0xA2, 0x31, lqiRequest(0x2001));
    std::vector<Bytes> got = port->drain();
    ASSERT_EQ(got.size(), 2u);
    ASSERT_GE(got[1].size(), 8u + 3 * 22);
    EXPECT_EQ(Bytes(got[1].begin() + 8 + 22 + 8, got[1].begin() + 8 + 22 + 16), le64(kLight));
    EXPECT_EQ(got[1][8 + 22 + 18] >> 4, 1) << "relation: child";

    // The light leaves to rejoin: its parent r1 hears it, the module does not.
    port->send(0x9C, 0x00, leaveRequest(0x1101, 0x05, 0, 0x80));
    got = port->drain();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(indicationCluster(got[1]), 0x8034);
    got = tick(100);  // it comes back under its rejoin address
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(Bytes(got[0].begin() + 18, got[0].begin() + 20), le16(0x3333));
    // r2, the module's child, leaves with its children: the module hears r2 only.
    port->send(0x9C, 0x00, leaveRequest(0x2001, 0x05, 0, 0x40));
    got = port->drain();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[2], frame(0x97, 0x49, cat({le64(0x00124B0000002001ULL), {0x00}})));
    ASSERT_EQ(ctl("rejoin light 0x4444"), "ok");
    got = port->drain();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(Bytes(got[0].begin() + 18, got[0].begin() + 20), le16(0x4444));
    EXPECT_NE(ctl("show light").find("short=4444"), std::string::npos);
    EXPECT_EQ(ctl("rejoin light 0x1001"), "error: address taken or invalid");
}

TEST_F(ZbsimNetwork, SendUsesIeeeSourcesAndBroadcastAndGroupDestinations) {
    start();
    ASSERT_EQ(ctl("send plug 1 6 0102 src=ieee"), "ok");
    ASSERT_EQ(ctl("send plug 1 6 0102 dst=0xFFFF"), "ok");
    ASSERT_EQ(ctl("send plug 1 6 0102 group=0x0042"), "ok");
    std::vector<Bytes> got = port->drain();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0][8], 0x03);  // source mode
    EXPECT_EQ((Bytes{got[1][4], got[1][5], got[1][6]}), (Bytes{0x02, 0xFF, 0xFF}));
    EXPECT_EQ(got[1][got[1].size() - 3], 0x01);  // was broadcast
    EXPECT_EQ((Bytes{got[2][4], got[2][5], got[2][6]}), (Bytes{0x01, 0x42, 0x00}));
}

TEST_F(ZbsimNetwork, TheGatewaysExtendedPanIdIsTheNetworks) {
    sim = std::make_unique<Zbsim>();
    ASSERT_FALSE(sim->readyLine().empty());
    Port p(sim->link);
    Bytes sas = startupAttributeSet();
    const Bytes ext = le64(0x1122334455667788ULL);
    std::copy(ext.begin(), ext.end(), sas.begin() + 2);
    p.send(0x50, 0x01, sas);
    p.send(0xA3, 0xE7, {0xC0, 0x00, 0x00});
    p.expect({frame(0x50, 0x04, {0x00}), frame(0xA4, 0xE7, {0x00}), frame(0xA0, 0xE6, {0x03}),
              frame(0xA0, 0xE6, {0x10})});
    p.send(0xA3, 0x22, {0x9A, 0x00, 0x00, 0x00});
    p.expect({frame(0xA4, 0x22, cat({{0x00, 0x9A, 0x00, 0x00, 0x00, 0x08, 0x00}, ext}))});
    p.send(0xA2, 0x31, lqiRequest(0x1001));
    p.readFrame();
    Bytes rsp = p.readFrame();
    ASSERT_GE(rsp.size(), 16u);
    EXPECT_EQ(Bytes(rsp.begin() + 8, rsp.begin() + 16), ext);
}

TEST_F(ZbsimNetwork, TheModuleResetsByItselfAndLosesItsNetwork) {
    sim = std::make_unique<Zbsim>(ZBSIM_DEMO_NETWORK, kManual);
    ASSERT_FALSE(sim->readyLine().empty());
    EXPECT_EQ(ctl("show module").rfind("ok name=module short=ffff ", 0), 0u);
    EXPECT_NE(ctl("show module").find("state=down"), std::string::npos);
    port = std::make_unique<Port>(sim->link);
    ASSERT_NO_FATAL_FAILURE(formWithoutReset(*port));

    ASSERT_EQ(ctl("module netdown 500"), "ok");
    port->expect({frame(0xA0, 0xE6, {0x13})});
    port->send(0xA2, 0x01, ieeeRequest(0x1001, 0x1001));
    port->expectNothing();
    EXPECT_EQ(tick(500), std::vector<Bytes>{frame(0xA0, 0xE6, {0x10})});
    port->send(0xA2, 0x01, ieeeRequest(0x1001, 0x1001));
    port->expect({ieeeAnswer(0x00124B0000001001ULL, 0x1001)});

    ASSERT_EQ(ctl("module reset"), "ok");
    ASSERT_EQ(ctl("tick 20"), "ok now=520");
    port->expect({frame(0xA0, 0xE6, {0x00})});
    EXPECT_NE(ctl("status").find("network=down"), std::string::npos);
    EXPECT_NE(ctl("show module").find("state=down endpoints=0"), std::string::npos);
    port->send(0xA2, 0x01, ieeeRequest(0x1001, 0x1001));
    port->expectNothing();
    // The gateway must start it again.
    ASSERT_NO_FATAL_FAILURE(formWithoutReset(*port));
    port->send(0xA2, 0x01, ieeeRequest(0x1001, 0x1001));
    port->expect({ieeeAnswer(0x00124B0000001001ULL, 0x1001)});
}

TEST_F(ZbsimNetwork, ANodeAnswersLateLosesFramesOrRefusesManagementRequests) {
    start();
    ASSERT_EQ(ctl("latency light 300"), "ok");
    port->send(0xA2, 0x01, ieeeRequest(0x1101, 0x1101));
    port->expectNothing();
    EXPECT_TRUE(tick(299).empty());
    EXPECT_EQ(tick(1), std::vector<Bytes>{ieeeAnswer(kLight, 0x1101)});

    ASSERT_EQ(ctl("latency light 0"), "ok");
    // Half the frames: the same ones for the same seed.
    auto answered = [](Zbsim& s, Port& p) {
        EXPECT_EQ(s.ctl("loss light 50"), "ok");
        for (int i = 0; i < 20; ++i)
            p.send(0xA2, 0x01, ieeeRequest(0x1101, 0x1101));
        return p.drain().size();
    };
    size_t first = answered(*sim, *port);
    EXPECT_GT(first, 0u);
    EXPECT_LT(first, 20u);
    start();
    EXPECT_EQ(answered(*sim, *port), first);
    ASSERT_EQ(ctl("loss light 100"), "ok");
    port->send(0xA2, 0x01, ieeeRequest(0x1101, 0x1101));
    port->expectNothing();

    ASSERT_EQ(ctl("refuse router1 lqi"), "ok");
    ASSERT_EQ(ctl("refuse router1 bind 0x8C"), "ok");
    port->send(0xA2, 0x31, lqiRequest(0x1001));
    port->send(0xA2, 0x33, bindTableRequest(0x1001));
    std::vector<Bytes> got = port->drain();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(indicationCluster(got[0]), 0x8031);
    EXPECT_EQ(got[1], frame(0xA0, 0xB1, {0x84}));
    EXPECT_EQ(got[2], frame(0xA0, 0xB3, {0x8C}));
    ASSERT_EQ(ctl("accept router1"), "ok");
    port->send(0xA2, 0x33, bindTableRequest(0x1001));
    port->expect({frame(0xA0, 0xB3, {0x00, 0x00, 0x00, 0x00})});
}

TEST_F(ZbsimNetwork, TheLineDeliversBytewiseSlowlyTwiceOrCorrupted) {
    start();
    const Bytes channel = frame(0xA4, 0x12, {0x00, 15});
    // Sends a channel read, waits until zbsim has taken it and run what is due at once, and
    // returns the bytes on the wire before it.
    auto request = [&] {
        long in = statusField(*sim, "in"), wire = statusField(*sim, "wire");
        port->send(0xA3, 0x12);
        EXPECT_TRUE(waitFor([&] { return statusField(*sim, "in") == in + 1; }));
        EXPECT_EQ(ctl("tick 0").rfind("ok now=", 0), 0u);
        return wire;
    };
    auto wireNow = [&] { return statusField(*sim, "wire"); };
    ASSERT_EQ(ctl("fault bytewise 1000"), "ok");
    long wire = request();
    EXPECT_EQ(wireNow(), wire + 1);  // the first byte leaves at once, then one a millisecond
    ASSERT_EQ(ctl("tick 1"), "ok now=1");
    EXPECT_EQ(wireNow(), wire + 2);
    ASSERT_EQ(ctl("tick 4"), "ok now=5");
    EXPECT_EQ(wireNow(), wire + 6);
    ASSERT_EQ(ctl("tick 1"), "ok now=6");
    EXPECT_EQ(wireNow(), wire + 7);
    EXPECT_EQ(port->read(7), channel);

    ASSERT_EQ(ctl("fault bytewise 0"), "ok");
    ASSERT_EQ(ctl("tick 4"), "ok now=10");
    ASSERT_EQ(ctl("fault baud 9600"), "ok");  // a byte takes 1.04 ms
    wire = request();
    EXPECT_EQ(wireNow(), wire);
    ASSERT_EQ(ctl("tick 3"), "ok now=13");
    EXPECT_EQ(wireNow(), wire + 2);
    ASSERT_EQ(ctl("tick 4"), "ok now=17");
    EXPECT_EQ(wireNow(), wire + 6);
    ASSERT_EQ(ctl("tick 1"), "ok now=18");
    EXPECT_EQ(wireNow(), wire + 7);
    ASSERT_EQ(ctl("fault baud 115200"), "ok");  // a whole frame in 0.61 ms
    wire = request();
    ASSERT_EQ(ctl("tick 1"), "ok now=19");
    EXPECT_EQ(wireNow(), wire + 7);
    EXPECT_EQ(port->read(14), cat({channel, channel}));

    ASSERT_EQ(ctl("fault clear"), "ok");
    ASSERT_EQ(ctl("fault duplicate 2"), "ok");
    for (int i = 0; i < 3; ++i)
        port->send(0xA3, 0x12);
    port->expect({channel, channel, channel, channel, channel});
    for (int offset : {3, 4, 6}) {  // length, payload, checksum
        ASSERT_EQ(ctl("fault corruptbyte 1 " + std::to_string(offset)), "ok");
        port->send(0xA3, 0x12);
        Bytes want = channel;
        want[static_cast<size_t>(offset)] ^= 0xFF;
        if (offset != 6)  // the checksum is that of the corrupted frame
            want[6] = static_cast<uint8_t>(want[1] ^ want[2] ^ want[3] ^ want[4] ^ want[5]);
        EXPECT_EQ(port->read(7), want) << offset;
    }
}

// A flood is numbered reports from the nodes in turn; more than the line's backlog and the
// pseudo-terminal's buffer hold together waits in order until the gateway reads, none lost.
TEST_F(ZbsimNetwork, AFloodSendsNumberedReportsInTurnAndWaitsForTheReader) {
    start();
    EXPECT_EQ(ctl("flood 3000"), "ok first=0 count=3000 nodes=5");
    std::set<uint16_t> sources;
    for (uint32_t i = 0; i < 3000; ++i) {
        Bytes f = port->readFrame();
        ASSERT_EQ(f.size(), 41u) << i;
        ASSERT_EQ(Bytes(f.begin(), f.begin() + 4), (Bytes{0x02, 0x9D, 0x01, 36})) << i;
        // Report header (18 nn 0A), attribute 0000 as an octet string of 13, the number.
        const uint8_t* zcl = &f[4 + 13];
        ASSERT_EQ(Bytes(zcl, zcl + 7), (Bytes{0x18, uint8_t(i), 0x0A, 0x00, 0x00, 0x41, 13}));
        EXPECT_EQ(uint32_t(zcl[7] << 24 | zcl[8] << 16 | zcl[9] << 8 | zcl[10]), i);
        sources.insert(uint16_t(f[4 + 5] | f[4 + 6] << 8));
        EXPECT_EQ(f[4 + 3], 0x08);  // the gateway's end point
    }
    EXPECT_EQ(sources.size(), 5u);
    EXPECT_EQ(ctl("flood 1 11 light"), "ok first=3000 count=1 nodes=1");
    Bytes f = port->readFrame();
    ASSERT_EQ(f.size(), 32u);
    EXPECT_EQ(uint16_t(f[4 + 5] | f[4 + 6] << 8), 0x1101);

    // Paced at 115200 baud, a byte every 86.8 us.
    ASSERT_EQ(ctl("fault baud 115200"), "ok");
    long wire = statusField(*sim, "wire");
    EXPECT_EQ(ctl("flood 2 11 light"), "ok first=3001 count=2 nodes=1");
    EXPECT_EQ(statusField(*sim, "wire"), wire);
    ASSERT_EQ(ctl("tick 1").rfind("ok now=", 0), 0u);
    EXPECT_EQ(statusField(*sim, "wire"), wire + 11);
    ASSERT_EQ(ctl("tick 4").rfind("ok now=", 0), 0u);
    EXPECT_EQ(statusField(*sim, "wire"), wire + 57);
    ASSERT_EQ(ctl("tick 1").rfind("ok now=", 0), 0u);
    EXPECT_EQ(statusField(*sim, "wire"), wire + 64);
    EXPECT_EQ(port->read(64).size(), 64u);
}

// The stamp record: a line per frame of interest, in (when zbsim read it) and out (when the
// pseudo-terminal took its last byte), on the clock every process of the machine shares.
TEST_F(ZbsimNetwork, TheStampRecordTimesFramesOfInterestInAndOut) {
    start();
    auto monotonicUs = [] {
        timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
    };
    std::string file = sim->dir() + "/stamps";
    EXPECT_EQ(ctl("stamps on /nonexistent/stamps").rfind("error: cannot write", 0), 0u);
    ASSERT_EQ(ctl("stamps on " + file + " A312 A412"), "ok");
    int64_t before = monotonicUs();
    EXPECT_EQ(port->drain(), std::vector<Bytes>{});  // a channel read and its answer
    ASSERT_EQ(ctl("flood 1 11 light"), "ok first=0 count=1 nodes=1");
    EXPECT_EQ(port->readFrame().size(), 32u);  // not of interest
    ASSERT_EQ(ctl("stamps off"), "ok");
    int64_t after = monotonicUs();
    std::ifstream in(file);
    int64_t tIn = 0, tOut = 0;
    std::string dirIn, hexIn, dirOut, hexOut, more;
    in >> tIn >> dirIn >> hexIn >> tOut >> dirOut >> hexOut >> more;
    EXPECT_EQ(dirIn + " " + hexIn, "in A31200");
    EXPECT_EQ(dirOut + " " + hexOut, "out A41202000F");
    EXPECT_EQ(more, "");
    EXPECT_LE(before, tIn);
    EXPECT_LE(tIn, tOut);
    EXPECT_LE(tOut, after);
    unlink(file.c_str());
}

TEST_F(ZbsimNetwork, AHungModuleKeepsTheLineButAnswersNothingUntilItResumes) {
    start();
    ASSERT_EQ(ctl("module hang"), "ok");
    port->send(0xA3, 0x12);
    port->send(0xA2, 0x01, ieeeRequest(0x1001, 0x1001));
    ASSERT_EQ(ctl("report sensor"), "ok");
    EXPECT_TRUE(waitFor([&] { return statusField(*sim, "ignored") == 2; }));
    EXPECT_EQ(statusField(*sim, "hung"), 1);
    ASSERT_EQ(ctl("module resume"), "ok");
    port->send(0xA3, 0xD2);
    Bytes f = port->readFrame();
    EXPECT_TRUE(is(f, 0xA4, 0xD2)) << "nothing from the hang may come out after it";
    ASSERT_EQ(ctl("module hang"), "ok");
    ASSERT_EQ(ctl("module reset"), "ok");  // a reset ends the hang
    ASSERT_EQ(ctl("tick 20"), "ok now=20");
    port->expect({frame(0xA0, 0xE6, {0x00})});
}

TEST_F(ZbsimNetwork, RealisticTimingTakesRadioTimePerHopAndPollPeriodOfSleepyDevices) {
    start(ZBSIM_DEMO_NETWORK, {"--manual-clock", "--realistic", "--seed", "7"});
    // The light is two hops away: 2 to 4 ms a hop, there and back.
    port->send(0xA2, 0x01, ieeeRequest(0x1101, 0x1101));
    int at = 0;
    std::vector<Bytes> got;
    for (; at <= 40 && (got = port->drain()).empty(); ++at)
        ctl("tick 1");
    ASSERT_EQ(got, std::vector<Bytes>{ieeeAnswer(kLight, 0x1101)});
    EXPECT_GE(at, 8);
    EXPECT_LE(at, 16);
    // The sleepy sensor as well, plus the wait for its next poll (500 ms period).
    port->send(0xA2, 0x01, ieeeRequest(0x1102, 0x1102));
    for (at = 0; at <= 600 && (got = port->drain()).empty(); at += 4)
        ctl("tick 4");
    ASSERT_EQ(got, std::vector<Bytes>{ieeeAnswer(kSensor, 0x1102)});
    EXPECT_GE(at, 8);
    EXPECT_LE(at, 528);
}
