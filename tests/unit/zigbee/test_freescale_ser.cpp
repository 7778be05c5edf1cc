// The serial back-end through a real pseudo-terminal: frame building, the receive state machine
// with its recoveries, the reset mode and a vanished device.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/WaitFor.h"
#include "support/ZigbeeTestSupport.h"

using zbtest::Bytes;
using zbtest::frameOf;
using zbtest::joined;
using Clock = std::chrono::steady_clock;

namespace {

constexpr double kDeadline = 10.0;

class SerialBackend : public ::testing::Test {
  protected:
    void SetUp() override {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(0, grantpt(master));
        ASSERT_EQ(0, unlockpt(master));
        std::string url = std::string("zigbee://") + ptsname(master) + "?dongle=freescale";
        char** params = zb_url_to_params(url.c_str());
        ASSERT_NE(nullptr, params);
        int r = MC13226_open(params);
        zb_free_params(params);
        ASSERT_EQ(0, r);
        MC13226_reset_receiver();
        testing::internal::CaptureStdout();
    }
    void TearDown() override {
        testing::internal::GetCapturedStdout();
        MC13226_close();
        if (master >= 0) {
            close(master);
        }
    }
    void peerWrite(const Bytes& b) {
        ASSERT_EQ(static_cast<ssize_t>(b.size()), write(master, b.data(), b.size()));
    }
    // Receives one packet on another thread, giving up (and aborting the receive) after the
    // deadline. Returns INT_MIN on time-out.
    int receive(Bytes* packet, double seconds = kDeadline) {
        uchar buf[300] = {0};
        std::atomic<int> result{INT_MIN};
        std::thread t([&] { result = MC13226_receive(buf, sizeof(buf)); });
        auto until = Clock::now() + std::chrono::duration<double>(seconds);
        while (result.load() == INT_MIN && Clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (result.load() == INT_MIN) {
            MC13226_abort(1);
            t.join();
            MC13226_abort(0);
            return INT_MIN;
        }
        t.join();
        if (packet && result.load() > 0) {
            packet->assign(buf, buf + result.load());
        }
        return result.load();
    }
    // Reads what the back-end wrote to the line, waiting up to the deadline for n bytes.
    Bytes peerRead(size_t n) {
        Bytes out;
        auto until = Clock::now() + std::chrono::duration<double>(kDeadline);
        while (out.size() < n && Clock::now() < until) {
            struct pollfd pfd = {master, POLLIN, 0};
            if (poll(&pfd, 1, 50) > 0) {
                uchar b[64];
                ssize_t got = read(master, b, sizeof(b));
                if (got > 0) {
                    out.insert(out.end(), b, b + got);
                }
            }
        }
        return out;
    }
    int master = -1;
};

}  // namespace

TEST(FreescaleFrame, BuildsStxPacketAndXorChecksum) {
    const uchar pkt[7] = {0xA2, 0x02, 0x04, 0x34, 0x12, 0x78, 0x56};
    uchar frame[MC13226_TX_BUFFER];
    ASSERT_EQ(9, freescale_build_frame(pkt, frame));
    const uchar fcs = 0xA2 ^ 0x02 ^ 0x04 ^ 0x34 ^ 0x12 ^ 0x78 ^ 0x56;
    EXPECT_EQ("02 A2 02 04 34 12 78 56 " + zbtest::hex(&fcs, 1), zbtest::hex(frame, 9));
    uchar tooLong[3] = {0x9C, 0x00, 251};
    EXPECT_EQ(-1, freescale_build_frame(tooLong, frame));
}

TEST(FreescaleFrame, ParseReportsIncompleteBadStartAndBadChecksum) {
    uchar buf[300];
    const uchar good[6] = {0x02, 0xA0, 0x00, 0x01, 0x05, 0xA0 ^ 0x01 ^ 0x05};
    EXPECT_EQ(-2, freescale_zigbb_parse_frame(buf, good, 5));
    EXPECT_EQ(0, freescale_zigbb_parse_frame(buf, good, 6));
    EXPECT_EQ("A0 00 01 05", zbtest::hex(buf, 4));
    testing::internal::CaptureStdout();
    const uchar badStart[6] = {0x03, 0xA0, 0x00, 0x01, 0x05, 0xA4};
    EXPECT_EQ(-1, freescale_zigbb_parse_frame(buf, badStart, 6));
    const uchar badFcs[6] = {0x02, 0xA0, 0x00, 0x01, 0x05, 0x00};
    EXPECT_EQ(-1, freescale_zigbb_parse_frame(buf, badFcs, 6));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos,
              out.find("MC13226 : ERROR@FirstByte - Expected 0x02, received 03 \n"));
    EXPECT_NE(std::string::npos, out.find("MC13226 : ERROR@Checksum : calc a4 recv 00\n"));
}

TEST_F(SerialBackend, TransmitWritesOneFrame) {
    const uchar pkt[7] = {0xA2, 0x02, 0x04, 0x34, 0x12, 0x78, 0x56};
    EXPECT_EQ(0, MC13226_transmit(pkt, 7));
    EXPECT_EQ(frameOf(Bytes(pkt, pkt + 7)), peerRead(9));
}

TEST_F(SerialBackend, TransmitRefusesAPacketShorterThanItsLength) {
    const uchar pkt[4] = {0xA2, 0x02, 0x04, 0x34};
    testing::internal::CaptureStderr();
    EXPECT_NE(0, MC13226_transmit(pkt, 4));
    testing::internal::GetCapturedStderr();
    struct pollfd pfd = {master, POLLIN, 0};
    EXPECT_EQ(0, poll(&pfd, 1, 200));
}

// Byte streams as the module (or line noise) writes them, each in one go, and the packets
// the receive path must deliver from them, in order. Every stream ends with a good frame, so
// a packet made up in between shows in the sequence.
TEST_F(SerialBackend, StreamsGiveExactlyTheirFramedPackets) {
    struct Case {
        const char* name;
        Bytes stream;
        std::vector<std::string> packets;
        std::vector<std::string> printedLines;
        bool skipsAChecksum;
    };
    const Bytes next = frameOf({0xA4, 0x00, 0x01, 0x00});
    const Case cases[] = {
        {"garbage before a frame",
         {0x55, 0x02, 0xA0, 0x00, 0x00, 0xA0},
         {"A0 00 00"},
         {"DROP 55 ", "\nMC13226 : Bytes Dropped : 1\n"},
         false},
        {"two frames in one write",
         joined({frameOf({0xA0, 0xA1, 0x01, 0x00}), frameOf({0xA0, 0xA2, 0x01, 0x84})}),
         {"A0 A1 01 00", "A0 A2 01 84"},
         {},
         false},
        {"wrong checksum",
         joined({{0x02, 0xA0, 0xA1, 0x01, 0x00, 0x55}, next}),
         {"A4 00 01 00"},
         {"MC13226 : ERROR@Checksum : calc 00 recv 55\n",
          "MC13226 : WARNING @ THIS MESSAGE (wholeBufferSize 0x06)"},
         false},
        {"missing checksum followed by the next frame",
         joined({{0x02, 0xA0, 0xA1, 0x01, 0x00}, next}),
         {"A0 A1 01 00", "A4 00 01 00"},
         {"FRAMES RECOVERED BY SKIPPING CHECKSUM BYTE"},
         true},
        {"corrupted length swallows the next start byte",
         joined({{0x02, 0xA0, 0xA1, 0x05, 0x00}, frameOf({0xA0, 0xA2, 0x01, 0x00})}),
         {"A0 A2 01 00"},
         {},
         false},
        {"every frame a bad length swallowed is kept",
         joined({{0x02, 0xA0, 0xA1, 0x0C, 0x00},
                 frameOf({0xA0, 0xA2, 0x01, 0x11}),
                 frameOf({0xA0, 0xA2, 0x01, 0x22}),
                 frameOf({0xA0, 0xA2, 0x01, 0x33})}),
         {"A0 A2 01 11", "A0 A2 01 22", "A0 A2 01 33"},
         {},
         false},
        // Bytes left over after a resynchronisation need a start byte of their own: 55 A4 00 01
        // 00 is dropped, not delivered as a mode-select confirm.
        {"left-over bytes after a resynchronisation",
         {0x02, 0xA0, 0xA1, 0x0C, 0x02, 0xA0, 0xA2, 0x01, 0x00, 0x03,
          0x55, 0xA4, 0x00, 0x01, 0x00, 0x02, 0x77, 0x01, 0x00, 0x76},
         {"A0 A2 01 00", "77 01 00"},
         {"DROP 55 "},
         false},
        // Inside a frame dropped for its checksum, 02 FD FE 00 is followed by the next frame's
        // start byte: no missing-checksum recovery for bytes that cannot be trusted.
        {"no recovery inside a dropped frame",
         joined({{0x02, 0xA0, 0xE6, 0x03, 0x02, 0xFD, 0xFE, 0x00}, next}),
         {"A4 00 01 00"},
         {},
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MC13226_reset_receiver();
        peerWrite(c.stream);
        std::vector<std::string> got;
        for (size_t i = 0; i < c.packets.size(); i++) {
            Bytes p;
            int n = receive(&p);
            got.push_back(n > 0 ? zbtest::hex(p) : "receive " + std::to_string(n));
        }
        // The link's traces end here, so that a failure below is shown.
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(c.packets, got);
        for (const std::string& line : c.printedLines) {
            EXPECT_NE(std::string::npos, out.find(line)) << line;
        }
        EXPECT_EQ(c.skipsAChecksum,
                  out.find("FRAMES RECOVERED BY SKIPPING CHECKSUM BYTE") != std::string::npos);
        testing::internal::CaptureStdout();
    }
}

TEST_F(SerialBackend, RecoveredFrameLeavesTheNextStartByteForTheNextReceive) {
    peerWrite(joined({{0x02, 0xA0, 0xA1, 0x01, 0x00}, frameOf({0xA0, 0xA2, 0x01, 0x07})}));
    Bytes p;
    ASSERT_EQ(4, receive(&p));
    // The next frame's start byte was consumed already; it is read without waiting for another.
    EXPECT_GT(MC13226_pending(), 0);
    ASSERT_EQ(4, receive(&p));
    EXPECT_EQ("A0 A2 01 07", zbtest::hex(p));
}

TEST_F(SerialBackend, ResetModeSynthesizesTheResetAnswer) {
    const uchar reset[3] = {0xA3, 0x08, 0x00};
    ASSERT_EQ(0, MC13226_transmit(reset, 3));
    EXPECT_EQ((Bytes{0x02, 0xA3, 0x08, 0x00, 0xAB}), peerRead(5));
    peerWrite({0x13, 0x37, 0x00, 0xFF, 0x02});  // whatever the module says while rebooting
    auto start = Clock::now();
    Bytes p;
    ASSERT_EQ(5, receive(&p));
    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_EQ("A3 08 02 00 02", zbtest::hex(p));
    EXPECT_GE(elapsed, 0.9);
    // Back to normal framing afterwards.
    peerWrite(frameOf({0xA4, 0x00, 0x01, 0x00}));
    ASSERT_EQ(4, receive(&p));
    EXPECT_EQ("A4 00 01 00", zbtest::hex(p));
}

TEST_F(SerialBackend, ARequestWrittenDuringResetKeepsTheResetAnswerDue) {
    const uchar reset[3] = {0xA3, 0x08, 0x00};
    const uchar other[4] = {0xA3, 0x20, 0x01, 0x80};
    ASSERT_EQ(0, MC13226_transmit(reset, 3));
    ASSERT_EQ(0, MC13226_transmit(other, 4));
    peerRead(11);
    peerWrite({0x00});
    Bytes p;
    ASSERT_EQ(5, receive(&p));
    EXPECT_EQ("A3 08 02 00 02", zbtest::hex(p));
}

// A reset sent while a frame is half received, its rest arriving at once: the frame may be
// delivered, but the synthesized reset answer must follow every time.
TEST_F(SerialBackend, ResetSentWhileAFrameIsHalfReceived) {
    std::mutex m;
    std::vector<std::string> packets;
    std::thread reader([&] {
        uchar buf[300];
        int n;
        while ((n = MC13226_receive(buf, sizeof(buf))) != MC13226_ABORTED) {
            if (n > 0) {
                std::lock_guard<std::mutex> lock(m);
                packets.push_back(zbtest::hex(buf, n));
            }
        }
    });
    auto answers = [&] {
        std::lock_guard<std::mutex> lock(m);
        return std::count(packets.begin(), packets.end(), "A3 08 02 00 02");
    };
    const uchar reset[3] = {0xA3, 0x08, 0x00};
    const Bytes frame = frameOf({0xA0, 0xA1, 0x05, 0x01, 0x02, 0x03, 0x04, 0x05});
    for (int trial = 1; trial <= 3; trial++) {
        SCOPED_TRACE(trial);
        peerWrite(Bytes(frame.begin(), frame.begin() + 5));
        // The reader has taken the first half off the line.
        ASSERT_TRUE(waitFor([&] {
            int queued = -1;
            return ioctl(MC13226_fd(), FIONREAD, &queued) == 0 && queued == 0;
        }));
        ASSERT_EQ(0, MC13226_transmit(reset, 3));
        peerWrite(Bytes(frame.begin() + 5, frame.end()));
        EXPECT_TRUE(waitFor([&] { return answers() == trial; }));
        peerRead(5);  // the reset frame
    }
    MC13226_abort(1);
    reader.join();
    MC13226_abort(0);
    for (const std::string& p : packets) {
        EXPECT_TRUE(p == "A3 08 02 00 02" || p == "A0 A1 05 01 02 03 04 05") << p;
    }
}

TEST_F(SerialBackend, VanishedDeviceEndsTheReceive) {
    close(master);
    master = -1;
    EXPECT_EQ(MC13226_LINK_LOST, receive(nullptr));
}

TEST_F(SerialBackend, VanishedDeviceInTheMiddleOfAFrame) {
    peerWrite({0x02, 0xA0, 0xA1, 0x05, 0x00});
    std::thread closer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        close(master);
    });
    int r = receive(nullptr);
    closer.join();
    master = -1;
    EXPECT_EQ(MC13226_LINK_LOST, r);
}

TEST_F(SerialBackend, SecondOpenIsRefused) {
    std::string url = std::string("zigbee://") + ptsname(master) + "?dongle=freescale";
    char** params = zb_url_to_params(url.c_str());
    EXPECT_EQ(-12, MC13226_open(params));
    zb_free_params(params);
    EXPECT_GE(MC13226_fd(), 0);
}
