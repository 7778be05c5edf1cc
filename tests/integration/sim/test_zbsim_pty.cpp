// zbsim as a process, driven over its real pseudo-terminal by a client that frames packets
// itself from the packet tables, and over its control socket.
#include <fstream>
#include <map>

#include "ZbsimHarness.h"

using namespace zbsimtest;

TEST(ZbsimPty, ReadyLineNamesLinkAndControlSocket) {
    Zbsim sim;
    std::string line = sim.readyLine();
    EXPECT_EQ(line, "zbsim: ready link=" + sim.link + " control=" + sim.socket);
    char target[256] = {};
    ASSERT_GT(readlink(sim.link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target).rfind("/dev/pts/", 0), 0u);
    EXPECT_EQ(sim.ctl("status").rfind("ok booted=1 network=down", 0), 0u);
    EXPECT_EQ(sim.terminate(), 0);
    EXPECT_FALSE(exists(sim.link));
    EXPECT_FALSE(exists(sim.socket));
}

TEST(ZbsimPty, CoordinatorResetAndStartHandshake) {
    Zbsim sim;
    ASSERT_FALSE(sim.readyLine().empty());
    Port port(sim.link);
    ASSERT_NO_FATAL_FAILURE(formAsCoordinator(port));
    // Coordinator running: the gateway closes joining and reads the security material.
    port.send(0x96, 0x36, {0x00});
    port.expect({frame(0x97, 0x43, {0x00})});
    port.send(0xA3, 0x22, {0xA1, 0x00, 0x01, 0x00});
    Bytes material{0x00, 0xA1, 0x00, 0x01, 0x00, 22, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    for (int i = 0; i < 16; ++i)
        material.push_back(static_cast<uint8_t>(0x10 + i));
    material.push_back(0x01);
    port.expect({frame(0xA4, 0x22, material)});
    port.send(0xA3, 0x12);
    port.expect({frame(0xA4, 0x12, {0x00, 15})});
    port.send(0xA3, 0xD2);
    port.expect({frame(0xA4, 0xD2, {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0xCD, 0xAB})});
    EXPECT_NE(sim.ctl("status").find("network=up role=coordinator short=0000 channel=15 pan=1a62 "
                                     "ieee=abcd665544332211 nodes=6 endpoints=1"),
              std::string::npos);
}

TEST(ZbsimPty, RouterJoinsAndReadsBackItsShortAddress) {
    Zbsim sim;
    ASSERT_FALSE(sim.readyLine().empty());
    Port port(sim.link);
    ASSERT_NO_FATAL_FAILURE(
        startUp(port, {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0xCD, 0xAB}, 0x80, 0x01, 0x04));
    port.send(0xA3, 0x22, {0x96, 0x00, 0x00, 0x00});
    port.expect({frame(0xA4, 0x22, {0x00, 0x96, 0x00, 0x00, 0x00, 0x02, 0x00, 0x01, 0x00})});
    port.send(0xA3, 0x12);
    port.expect({frame(0xA4, 0x12, {0x00, 15})});
    // The coordinator of the network now lists the module among its children.
    port.send(0xA2, 0x01, {0x00, 0x00, 0x00, 0x00, 0x01, 0x00});
    port.expect({frame(0xA0, 0x81,
                       cat({{0x00},
                            le64(0x00124B00000000C0ULL),
                            {0x00, 0x00, 0x03, 0x00, 0x01, 0x00, 0x01, 0x10, 0x01, 0x20}}))});
}

TEST(ZbsimPty, IeeeAddressWalkFindsEveryNodeOfTheDemoNetwork) {
    Zbsim sim;
    ASSERT_EQ(sim.readyLine().rfind("zbsim: ready link=", 0), 0u);
    Port port(sim.link);
    formAsCoordinator(port);
    std::vector<uint16_t> todo{0x0000};
    std::map<uint16_t, uint64_t> found;
    while (!todo.empty()) {
        uint16_t a = todo.back();
        todo.pop_back();
        port.send(0xA2, 0x01,
                  {uint8_t(a & 0xFF), uint8_t(a >> 8), uint8_t(a & 0xFF), uint8_t(a >> 8), 1, 0});
        Bytes f = port.readFrame();
        ASSERT_GE(f.size(), 17u);
        ASSERT_EQ(f[1], 0xA0);
        ASSERT_EQ(f[2], 0x81);
        ASSERT_EQ(f[4], 0x00) << "status";
        uint64_t ieee = 0;
        for (int i = 7; i >= 0; --i)
            ieee = ieee << 8 | f[5 + i];
        uint16_t nwk = uint16_t(f[13] | f[14] << 8);
        EXPECT_EQ(nwk, a);
        found[nwk] = ieee;
        uint8_t count = f[15];
        for (int i = 0; i < count; ++i)
            todo.push_back(uint16_t(f[17 + 2 * i] | f[18 + 2 * i] << 8));
    }
    std::map<uint16_t, uint64_t> want{
        {0x0000, 0xABCD665544332211ULL}, {0x1001, 0x00124B0000001001ULL},
        {0x1101, 0x00124B0000001101ULL}, {0x1102, 0x00124B0000001102ULL},
        {0x2001, 0x00124B0000002001ULL}, {0x2101, 0x00124B0000002101ULL}};
    EXPECT_EQ(found, want);
}

TEST(ZbsimPty, LqiResponsesAreAttributedAndPaged) {
    Zbsim sim;
    ASSERT_EQ(sim.readyLine().rfind("zbsim: ready link=", 0), 0u);
    Port port(sim.link);
    formAsCoordinator(port);
    port.send(0xA2, 0x31, {0x01, 0x10, 0x00});
    Bytes ind = port.readFrame();
    ASSERT_GE(ind.size(), 12u);
    EXPECT_EQ((Bytes{ind[1], ind[2], ind[9], ind[10]}), (Bytes{0x9D, 0x01, 0x01, 0x10}));
    Bytes rsp = port.readFrame();
    ASSERT_EQ(rsp.size(), 4u + 4 + 3 * 22 + 1);
    EXPECT_EQ((Bytes{rsp[1], rsp[2], rsp[4], rsp[5], rsp[6], rsp[7]}),
              (Bytes{0xA0, 0xB1, 0x00, 0x03, 0x00, 0x03}));
    // Neighbour 2 is the light: its address, then device type/receiver/relation, permit, depth,
    // LQI.
    const uint8_t* e = rsp.data() + 8 + 22;
    EXPECT_EQ(Bytes(e + 8, e + 16), le64(0x00124B0000001101ULL));
    EXPECT_EQ((Bytes{e[16], e[17], e[18], e[19], e[20], e[21]}),
              (Bytes{0x01, 0x11, 0x15, 0x00, 0x02, 205}));
    // The next page from index 2 holds one entry.
    port.send(0xA2, 0x31, {0x01, 0x10, 0x02});
    port.readFrame();
    rsp = port.readFrame();
    ASSERT_EQ(rsp.size(), 4u + 4 + 22 + 1);
    EXPECT_EQ((Bytes{rsp[4], rsp[5], rsp[6], rsp[7]}), (Bytes{0x00, 0x03, 0x02, 0x01}));
    EXPECT_EQ(Bytes(rsp.begin() + 16, rsp.begin() + 24), le64(0x00124B0000001102ULL));
}

TEST(ZbsimPty, EachLineFaultDoesWhatItNames) {
    Zbsim sim;
    ASSERT_EQ(sim.readyLine().rfind("zbsim: ready link=", 0), 0u);
    Port port(sim.link);
    formAsCoordinator(port);
    Bytes channel = frame(0xA4, 0x12, {0x00, 15});
    Bytes corrupted = channel;
    corrupted.back() ^= 0xFF;

    ASSERT_EQ(sim.ctl("fault corrupt 2"), "ok");
    for (int i = 0; i < 3; ++i)
        port.send(0xA3, 0x12);
    port.expect({corrupted, corrupted, channel});

    ASSERT_EQ(sim.ctl("fault garbage 55 AA 00"), "ok");
    port.expect({{0x55, 0xAA, 0x00}});

    ASSERT_EQ(sim.ctl("fault drop 1"), "ok");
    port.send(0xA3, 0x12);
    port.send(0xA3, 0xD2);
    port.expect({frame(0xA4, 0xD2, {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0xCD, 0xAB})});

    ASSERT_EQ(sim.ctl("fault nofcs"), "ok");
    port.send(0xA3, 0x12);
    port.send(0xA3, 0x12);
    port.expect({Bytes(channel.begin(), channel.end() - 1), channel});

    ASSERT_EQ(sim.ctl("fault delay 300"), "ok");
    auto t0 = Clock::now();
    port.send(0xA3, 0x12);
    port.expect({channel});
    EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(300));
    ASSERT_EQ(sim.ctl("fault clear"), "ok");

    ASSERT_EQ(sim.ctl("fault failstart"), "ok");
    port.send(0xA3, 0xE7, {0xC0, 0x00, 0x00});
    port.expect({frame(0xA4, 0xE7, {0x00}), frame(0xA0, 0xE6, {0x03}), frame(0x97, 0x42, {0xC4})});
    std::string status = sim.ctl("status");
    EXPECT_NE(status.find("network=down"), std::string::npos) << status;
    EXPECT_NE(status.find("dropped=1"), std::string::npos) << status;
}

TEST(ZbsimPty, BadIncomingFramesAreIgnoredAndGoodOnesAnswered) {
    Zbsim sim;
    ASSERT_FALSE(sim.readyLine().empty());
    Port port(sim.link);
    ASSERT_TRUE(port.ok());
    Bytes bad = frame(0xA3, 0x12);
    bad.back() ^= 0x01;
    port.write(cat({{0x55, 0x13}, bad}));
    // Byte by byte after garbage: one answer, to the good frame only.
    for (uint8_t b : frame(0xA3, 0x00, kModeSelect))
        port.write({b});
    port.expect({frame(0xA4, 0x00, {0x00})});
    EXPECT_NE(sim.ctl("status").find("in=1 "), std::string::npos);
}

TEST(ZbsimPty, UnplugClosesTheLineAndComesBackWhenAsked) {
    Zbsim sim;
    ASSERT_FALSE(sim.readyLine().empty());
    {
        Port port(sim.link);
        ASSERT_TRUE(port.ok());
        ASSERT_EQ(sim.ctl("unplug"), "ok");
        Bytes got = port.read(1);
        EXPECT_TRUE(got.empty());
        EXPECT_TRUE(port.hungUp());
        EXPECT_FALSE(exists(sim.link));
    }
    ASSERT_EQ(sim.ctl("unplug 200"), "ok");  // already out: comes back in 200 ms
    ASSERT_TRUE(waitFor([&] { return exists(sim.link); }));
    Port port(sim.link);
    ASSERT_TRUE(port.ok());
    port.send(0xA3, 0x00, kModeSelect);
    port.expect({frame(0xA4, 0x00, {0x00})});
    EXPECT_EQ(sim.terminate(), 0);
}

TEST(ZbsimPty, ControlClientPrintsTheAnswer) {
    Zbsim sim;
    ASSERT_FALSE(sim.readyLine().empty());
    std::string cmd = std::string(ZBSIM_CTL_PATH) + " " + sim.socket + " show light";
    FILE* p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    char buf[512] = {};
    ASSERT_NE(fgets(buf, sizeof buf, p), nullptr);
    EXPECT_EQ(pclose(p), 0);
    EXPECT_EQ(std::string(buf).rfind("ok name=light short=1101", 0), 0u);
    cmd = std::string(ZBSIM_CTL_PATH) + " " + sim.socket + " show nobody >/dev/null";
    EXPECT_EQ(WEXITSTATUS(system(cmd.c_str())), 1);
}

TEST(ZbsimPty, NodeEventsAndApplicationTrafficCrossTheWire) {
    Zbsim sim;
    ASSERT_FALSE(sim.readyLine().empty());
    Port port(sim.link);
    formAsCoordinator(port);

    // A node joins while the module permits it: its announcement comes up the line.
    ASSERT_EQ(sim.ctl("remove plug"), "ok");
    EXPECT_EQ(sim.ctl("join plug"), "error: joining is not permitted");
    port.send(0x96, 0x36, {0x3C});
    port.expect({frame(0x97, 0x43, {0x00})});
    ASSERT_EQ(sim.ctl("join plug"), "ok");
    Bytes announce = cat({{0x02, 0xFD, 0xFF, 0x00, 0x02, 0x01, 0x21, 0x00, 0x00, 0x00, 0x13, 0x00,
                           0x0C, 0x00, 0x01, 0x21},
                          le64(0x00124B0000002101ULL),
                          {0x8C, 210, 0x01, 0x00}});
    port.expect({frame(0x9D, 0x01, announce)});

    // A sensor report to the gateway's end point 8: 21.5 degrees.
    ASSERT_EQ(sim.ctl("report sensor"), "ok");
    port.expect({frame(0x9D, 0x01,
                       {0x02, 0x00, 0x00, 0x08, 0x02, 0x02, 0x11, 0x01, 0x04, 0x01, 0x02, 0x04,
                        0x08, 0x18, 0x00, 0x0A, 0x00, 0x00, 0x29, 0x66, 0x08, 160,  0x00, 0x00})});

    // The gateway switches the light on: data confirm, then the light's default response.
    Bytes dst = cat({{0x01, 0x11}, Bytes(6)});
    port.send(0x9C, 0x00,
              cat({{0x02},
                   dst,
                   {0x01, 0x04, 0x01, 0x06, 0x00, 0x08, 0x00},
                   {0x01, 0x05, 0x01},
                   {0x00, 0x00}}));
    port.expect(
        {frame(0x9D, 0x00, cat({{0x02}, dst, {0x01, 0x08, 0x00}})),
         frame(0x9D, 0x01, {0x02, 0x00, 0x00, 0x08, 0x02, 0x01, 0x11, 0x01, 0x04, 0x01, 0x06,
                            0x00, 0x05, 0x18, 0x05, 0x0B, 0x01, 0x00, 205,  0x00, 0x00})});
    EXPECT_NE(sim.ctl("show light").find("on=1"), std::string::npos);
}

TEST(ZbsimPty, TraceNamesEveryFrameInAndOut) {
    Zbsim sim(ZBSIM_DEMO_NETWORK, {}, true);
    ASSERT_FALSE(sim.readyLine().empty());
    Port port(sim.link);
    ASSERT_TRUE(port.ok());
    port.send(0xA3, 0x08);
    port.expect({frame(0xA0, 0xE6, {0x00})});
    ASSERT_EQ(sim.ctl("fault corrupt 1"), "ok");
    port.send(0xA3, 0x00, kModeSelect);
    port.read(6);
    ASSERT_EQ(sim.terminate(), 0);
    std::ifstream in(sim.traceFile);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("zbsim: <- A3 08 00 ZTC-Reset.Request\n"), std::string::npos) << text;
    EXPECT_NE(text.find("zbsim: -> A0 E6 01 00 ZDO-NetworkState.Event\n"), std::string::npos);
    EXPECT_NE(text.find("zbsim: -> A4 00 01 00 ZTC-ModeSelect.Confirm (corrupted)\n"),
              std::string::npos);
}
