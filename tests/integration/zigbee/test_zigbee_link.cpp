// The whole link over a pseudo-terminal: CZbIf connected by URL to a scripted co-processor peer
// written here from the packet tables. Covers the reset and start handshakes, a data exchange
// through line noise, and a device that vanishes.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CZbIf.h"
#include "support/WaitFor.h"
#include "support/ZigbeeTestSupport.h"

using zbtest::Bytes;
using zbtest::frameOf;
using zbtest::hex;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto kDeadline = std::chrono::seconds(15);

// A co-processor stand-in on the master side of a pseudo-terminal. It parses the frames the
// gateway writes, records their packets, and answers through the handler registered for the
// packet's group and id.
class ScriptedPeer {
  public:
    using Handler = std::function<void(const Bytes& packet)>;

    ScriptedPeer() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0) {
            path = ptsname(master);
        }
        thread = std::thread([this] { run(); });
    }
    ~ScriptedPeer() {
        stop = true;
        thread.join();
        hangUp();
    }

    std::string url() const { return "zigbee://" + path + "?dongle=freescale"; }

    void on(uchar group, uchar id, Handler h) {
        std::lock_guard<std::mutex> lock(mu);
        handlers[(group << 8) | id] = std::move(h);
    }

    void send(const Bytes& raw) {
        std::lock_guard<std::mutex> lock(writeMu);
        if (master >= 0) {
            ssize_t w = write(master, raw.data(), raw.size());
            (void)w;
        }
    }
    void sendPacket(const Bytes& pkt) { send(frameOf(pkt)); }

    void hangUp() {
        std::lock_guard<std::mutex> lock(writeMu);
        if (master >= 0) {
            close(master);
            master = -1;
        }
    }

    // Waits until a packet with this hex text has been received.
    bool waitFor(const std::string& packetHex) {
        std::unique_lock<std::mutex> lock(mu);
        return cv.wait_for(lock, kDeadline, [&] {
            for (const Bytes& p : received) {
                if (hex(p) == packetHex) {
                    return true;
                }
            }
            return false;
        });
    }

    std::vector<std::string> receivedHex() {
        std::lock_guard<std::mutex> lock(mu);
        std::vector<std::string> out;
        for (const Bytes& p : received) {
            out.push_back(hex(p));
        }
        return out;
    }

  private:
    void run() {
        Bytes buf;
        while (!stop) {
            int fd;
            {
                std::lock_guard<std::mutex> lock(writeMu);
                fd = master;
            }
            if (fd < 0) {
                return;
            }
            struct pollfd pfd = {fd, POLLIN, 0};
            if (poll(&pfd, 1, 50) <= 0 || !(pfd.revents & POLLIN)) {
                continue;
            }
            uchar b[512];
            ssize_t got = read(fd, b, sizeof(b));
            if (got <= 0) {
                continue;
            }
            buf.insert(buf.end(), b, b + got);
            for (;;) {
                while (!buf.empty() && buf[0] != 0x02) {
                    buf.erase(buf.begin());
                }
                if (buf.size() < 4 || buf.size() < static_cast<size_t>(buf[3]) + 5) {
                    break;
                }
                size_t n = buf[3] + 5;
                Bytes pkt(buf.begin() + 1, buf.begin() + n - 1);
                buf.erase(buf.begin(), buf.begin() + n);
                Handler h;
                {
                    std::lock_guard<std::mutex> lock(mu);
                    received.push_back(pkt);
                    auto it = handlers.find((pkt[0] << 8) | pkt[1]);
                    if (it != handlers.end()) {
                        h = it->second;
                    }
                }
                cv.notify_all();
                if (h) {
                    h(pkt);
                }
            }
        }
    }

    int master = -1;
    std::string path;
    std::thread thread;
    std::atomic<bool> stop{false};
    std::mutex mu;
    std::mutex writeMu;
    std::condition_variable cv;
    std::map<int, Handler> handlers;
    std::vector<Bytes> received;
};

// Records every operation it receives, for the test thread to wait on.
class RecordingZbIf : public CZbIf {
  public:
    ~RecordingZbIf() override { ZBIFDisconnect(); }

    void ZDO_RESET_confirm(uchar s, uchar r) override { note("reset", s, r); }
    void ZDO_START_confirm(uchar s, ushort n) override { note("start", s, n); }
    void APSME_SET_confirm(uchar s, uchar a) override { note("set", s, a); }
    void APSDE_DATA_indication(uchar, uchar*, uchar, uchar, uchar* src, uchar, ushort, ushort c,
                               ushort len, uchar* asdu, uchar, uchar) override {
        std::string text = "data " + std::to_string(src[0] | (src[1] << 8)) + " " +
                           std::to_string(c) + " " + hex(Bytes(asdu, asdu + len));
        push(text);
    }
    void ZB_LINK_LOST_indication(int error) override {
        lostOnThread = std::this_thread::get_id();  // published by note()'s lock
        note("lost", error != 0 ? 1 : 0, 0);
    }

    bool waitFor(const std::string& what) {
        std::unique_lock<std::mutex> lock(mu);
        return cv.wait_for(lock, kDeadline, [&] {
            for (const std::string& s : seen) {
                if (s == what) {
                    return true;
                }
            }
            return false;
        });
    }
    std::vector<std::string> events() {
        std::lock_guard<std::mutex> lock(mu);
        return seen;
    }
    std::thread::id lostOnThread;

  private:
    void note(const char* what, int a, int b) {
        push(std::string(what) + " " + std::to_string(a) + " " + std::to_string(b));
    }
    void push(const std::string& s) {
        // Notified under the lock: a waiter may destroy the object as soon as it wakes.
        std::lock_guard<std::mutex> lock(mu);
        seen.push_back(s);
        cv.notify_all();
    }
    std::mutex mu;
    std::condition_variable cv;
    std::vector<std::string> seen;
};

class ZigbeeLink : public ::testing::Test {
  protected:
    void SetUp() override {
        FREESCALE_ResetState();
        ASSERT_EQ(0, zb.ZBIFConnect(peer.url().c_str()));
    }
    ScriptedPeer peer;
    RecordingZbIf zb;
};

}  // namespace

TEST_F(ZigbeeLink, ResetHandshakeThroughModeSelect) {
    // After the reset command the module reboots and chatters; it then answers the mode select.
    peer.on(0xA3, 0x08, [&](const Bytes&) { peer.send({0x00, 0x13, 0xFF}); });
    peer.on(0xA3, 0x00, [&](const Bytes&) { peer.sendPacket({0xA4, 0x00, 0x01, 0x00}); });
    zb.ZDO_RESET_request(ZB_RESET_OPT_RESET | ZB_RESET_OPT_RESTART_GW);
    ASSERT_TRUE(zb.waitFor("reset 0 1"));
    EXPECT_TRUE(peer.waitFor("A3 00 0B 01 02 02 02 02 02 02 02 02 02 02"));
    EXPECT_EQ(2, zb.getHandle()->state);
    EXPECT_EQ(0, zb.getLinkError());
}

TEST_F(ZigbeeLink, RouterStartLearnsItsShortAddress) {
    uchar router[1] = {0x02};
    zb.APSME_SET_request(ZB_ATTR_CONFIG_NODE_DESCRIPTOR, 1, router);
    ASSERT_TRUE(zb.waitFor("set 0 240"));
    peer.on(0xA3, 0xE7, [&](const Bytes&) {
        peer.sendPacket({0xA4, 0xE7, 0x01, 0x00});
        peer.sendPacket({0xA0, 0xE6, 0x01, 0x01});
        peer.sendPacket({0xA0, 0xE6, 0x01, 0x04});
    });
    peer.on(0xA3, 0x22, [&](const Bytes& p) {
        if (p.size() > 3 && p[3] == 0x96) {
            peer.sendPacket({0xA4, 0x22, 0x09, 0x00, 0x96, 0, 0, 0, 0, 0, 0x34, 0x12});
        }
    });
    zb.ZDO_START_request();
    ASSERT_TRUE(zb.waitFor("start 0 4660"));
    std::vector<std::string> sent = peer.receivedHex();
    ASSERT_GE(sent.size(), 2u);
    EXPECT_EQ("A3 E7 03 80 00 00", sent[0]);
    EXPECT_EQ("A3 22 04 96 00 00 00", sent[1]);
}

TEST_F(ZigbeeLink, CoordinatorStartThroughLineNoise) {
    peer.on(0xA3, 0xE7, [&](const Bytes&) {
        peer.send({0x55, 0xAA});                          // garbage
        peer.send({0x02, 0xA0, 0xE6, 0x01, 0x03, 0x00});  // bad checksum
        peer.sendPacket({0xA0, 0xE6, 0x01, 0x10});
    });
    zb.ZDO_START_request();
    ASSERT_TRUE(zb.waitFor("start 0 0"));
    EXPECT_TRUE(peer.waitFor("96 36 01 00"));
}

TEST_F(ZigbeeLink, DataRequestAndIndication) {
    peer.on(0x9C, 0x00, [&](const Bytes& p) {
        // Echo the asdu back from the destination, byte by byte.
        Bytes ind = {0x9D, 0x01, 0,     0x02,  0x00,  0x00,  0x08, 0x02,
                     p[4], p[5], p[12], p[13], p[14], p[15], p[16]};
        int n = p[2] - 18;
        ind.push_back(static_cast<uchar>(n));
        for (int i = 0; i < n; i++) {
            ind.push_back(p[19 + i]);
        }
        ind.push_back(0);
        ind.push_back(0);
        ind.push_back(0);
        ind[2] = static_cast<uchar>(ind.size() - 3);
        for (uchar b : frameOf(ind)) {
            peer.send({b});
        }
    });
    uchar dst[2] = {0x34, 0x12};
    uchar asdu[4] = {0x18, 0x01, 0x0A, 0x00};
    zb.APSDE_DATA_request(2, dst, 8, 0x0104, 0x0006, 8, 4, asdu, 0, 0);
    ASSERT_TRUE(zb.waitFor("data 4660 6 18 01 0A 00"));
}

TEST_F(ZigbeeLink, RequestsFromSeveralThreadsWhileIndicationsArrive) {
    // The module answers every attribute read with the channel; meanwhile it sends indications.
    peer.on(0xA3, 0x12, [&](const Bytes&) { peer.sendPacket({0xA4, 0x12, 0x02, 0x00, 0x0F}); });
    constexpr int kIndications = 100;
    std::thread indications([&] {
        for (int i = 0; i < kIndications; i++) {
            peer.sendPacket({0x9D,
                             0x01,
                             0x11,
                             0x02,
                             0x00,
                             0x00,
                             0x08,
                             0x02,
                             0x34,
                             0x12,
                             0x08,
                             0x04,
                             0x01,
                             0x06,
                             0x00,
                             0x01,
                             static_cast<uchar>(i),
                             0x00,
                             0x00,
                             0x00});
        }
    });
    auto requester = [&](uchar level) {
        for (int i = 0; i < 50; i++) {
            uchar v[1] = {level};
            zb.APSME_SET_request(ZB_ATTR_CONFIG_SECURITY, 1, v);
            zb.APSME_GET_request(ZB_ATTR_GET_CHANNEL_MASK);
        }
    };
    std::thread r1(requester, 0);
    std::thread r2(requester, 5);
    r1.join();
    r2.join();
    indications.join();
    char last[64];
    snprintf(last, sizeof(last), "data 4660 6 %02X", kIndications - 1);
    EXPECT_TRUE(zb.waitFor(last));
    int data = 0;
    for (const std::string& e : zb.events()) {
        data += e.rfind("data ", 0) == 0 ? 1 : 0;
    }
    EXPECT_EQ(kIndications, data);
}

TEST_F(ZigbeeLink, VanishedDeviceEndsTheReaderAndIsReported) {
    peer.hangUp();
    ASSERT_TRUE(zb.waitFor("lost 1 0"));
    EXPECT_NE(0, zb.getLinkError());
    EXPECT_NE(std::this_thread::get_id(), zb.lostOnThread);
    // The reader has ended: disconnecting returns at once.
    auto start = Clock::now();
    EXPECT_EQ(0, zb.ZBIFDisconnect());
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(1u, zb.events().size());
}

TEST_F(ZigbeeLink, DisconnectStopsAReaderWaitingInsideAFrame) {
    peer.send({0x02, 0xA0, 0xA1, 0x09, 0x00});
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    auto start = Clock::now();
    EXPECT_EQ(0, zb.ZBIFDisconnect());
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    EXPECT_TRUE(zb.events().empty());
}

namespace {

// Disconnects from inside the first callback of a packet that has two.
class DisconnectInFirstCallback : public RecordingZbIf {
  public:
    void MGMT_LEAVE_response(uchar) override { disconnect("leave response"); }
    void MGMT_LEAVE_confirm(uchar*, uchar) override { note("leave confirm"); }
    void APSDE_DATA_indication(uchar, uchar*, uchar, uchar, uchar*, uchar, ushort, ushort, ushort,
                               uchar*, uchar, uchar) override {
        disconnect("data");
    }
    void ZDO_DEVICE_ANNCE_indication(ushort, uchar*, uchar) override { note("announce"); }

    std::vector<std::string> seen() {
        std::lock_guard<std::mutex> lock(m);
        return calls;
    }

  private:
    void disconnect(const char* what) {
        ZBIFDisconnect();
        note(what);  // after: the test reads the handle once it has seen this
    }
    void note(const char* what) {
        std::lock_guard<std::mutex> lock(m);
        calls.push_back(what);
    }
    std::mutex m;
    std::vector<std::string> calls;
};

int threadsOfThisProcess() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (struct dirent* e = readdir(d)) {
            n += e->d_name[0] != '.';
        }
        closedir(d);
    }
    return n;
}

}  // namespace

// No callback after ZBIFDisconnect returned: the rest of the packet is not dispatched.
TEST(ZigbeeLinkCallbacks, NothingIsCalledAfterADisconnectFromACallback) {
    const Bytes leaveIndication = {0x97, 0x49, 0x09, 1, 2, 3, 4, 5, 6, 7, 8, 0x00};
    Bytes announceByData = {0x9D, 0x01, 28,   0x02, 0x00, 0x00, 0x00, 0x02, 0x34, 0x12,
                            0x00, 0x00, 0x00, 0x13, 0x00, 12,   0x00, 0x34, 0x12};
    for (int i = 0; i < 8; i++) {
        announceByData.push_back(static_cast<uchar>(0x10 + i));
    }
    announceByData.insert(announceByData.end(), {0x8E, 0x00, 0x00, 0x00});
    const struct {
        Bytes packet;
        const char* first;
    } cases[] = {{leaveIndication, "leave response"}, {announceByData, "data"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        FREESCALE_ResetState();
        ScriptedPeer peer;
        const int before = threadsOfThisProcess();
        DisconnectInFirstCallback zb;
        ASSERT_EQ(0, zb.ZBIFConnect(peer.url().c_str()));
        peer.sendPacket(c.packet);
        // The reader thread ends once the decoder has returned from the packet.
        ASSERT_TRUE(
            ::waitFor([&] { return !zb.seen().empty() && threadsOfThisProcess() == before; }));
        EXPECT_EQ(std::vector<std::string>{c.first}, zb.seen());
        EXPECT_EQ(nullptr, zb.getHandle());
    }
}

TEST(ZigbeeLinkConnect, SecondConnectionToTheModuleIsRefused) {
    ScriptedPeer peer;
    RecordingZbIf first;
    RecordingZbIf second;
    ASSERT_EQ(0, first.ZBIFConnect(peer.url().c_str()));
    EXPECT_EQ(-1, second.ZBIFConnect(peer.url().c_str()));
    EXPECT_EQ(0, first.ZBIFDisconnect());
    EXPECT_EQ(0, second.ZBIFConnect(peer.url().c_str()));
}
