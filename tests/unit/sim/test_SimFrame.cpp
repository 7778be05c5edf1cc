#include <gtest/gtest.h>

#include "SimFrame.h"

using zbsim::FrameDecoder;
using zbsim::Packet;

namespace {
std::vector<Packet> decodeAll(FrameDecoder& d, const std::vector<uint8_t>& bytes) {
    std::vector<Packet> out;
    d.feed(bytes.data(), bytes.size(), out);
    return out;
}
}  // namespace

TEST(SimFrame, EncodesStxPacketAndXorOfGroupIdLengthPayload) {
    Packet p(0xA2, 0x02, {0x34, 0x12, 0x78, 0x56});
    uint8_t fcs = 0xA2 ^ 0x02 ^ 0x04 ^ 0x34 ^ 0x12 ^ 0x78 ^ 0x56;
    EXPECT_EQ(zbsim::encodeFrame(p),
              (std::vector<uint8_t>{0x02, 0xA2, 0x02, 0x04, 0x34, 0x12, 0x78, 0x56, fcs}));
    EXPECT_EQ(zbsim::encodeFrame(Packet(0xA3, 0x08)),
              (std::vector<uint8_t>{0x02, 0xA3, 0x08, 0x00, 0xAB}));
}

TEST(SimFrame, RefusesPayloadLongerThanAFrameCarries) {
    EXPECT_TRUE(zbsim::encodeFrame(Packet(1, 2, std::vector<uint8_t>(251))).empty());
    EXPECT_EQ(zbsim::encodeFrame(Packet(1, 2, std::vector<uint8_t>(250))).size(), 255u);
}

TEST(SimFrame, RoundTripsBackToBackFramesFedByteByByte) {
    std::vector<Packet> sent{Packet(0xA3, 0x00, std::vector<uint8_t>(11, 0x02)), Packet(0xA3, 0x08),
                             Packet(0x9C, 0x00, std::vector<uint8_t>(250, 0x02))};
    std::vector<uint8_t> wire;
    for (const auto& p : sent) {
        auto f = zbsim::encodeFrame(p);
        wire.insert(wire.end(), f.begin(), f.end());
    }
    FrameDecoder d;
    std::vector<Packet> got;
    for (uint8_t b : wire)
        d.feed(&b, 1, got);
    EXPECT_EQ(got, sent);
    EXPECT_EQ(d.skippedBytes(), 0u);
}

TEST(SimFrame, DropsFrameWithBadChecksumAndFindsTheNextOne) {
    auto bad = zbsim::encodeFrame(Packet(0xA3, 0x12));
    bad.back() ^= 0x01;
    auto good = zbsim::encodeFrame(Packet(0xA3, 0xD2));
    std::vector<uint8_t> wire = bad;
    wire.insert(wire.end(), good.begin(), good.end());
    FrameDecoder d;
    auto got = decodeAll(d, wire);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], Packet(0xA3, 0xD2));
    EXPECT_EQ(d.badChecksums(), 1u);
}

TEST(SimFrame, StrayStartByteWithLongLengthDoesNotSwallowFollowingFrame) {
    // 02 11 22 10 announces a 16-byte frame; the real frame inside it must still come out once the
    // stray frame's checksum fails.
    std::vector<uint8_t> wire{0x02, 0x11, 0x22, 0x10};
    auto good = zbsim::encodeFrame(Packet(0xA3, 0x08));
    wire.insert(wire.end(), good.begin(), good.end());
    wire.insert(wire.end(), 20, 0x00);
    FrameDecoder d;
    auto got = decodeAll(d, wire);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], Packet(0xA3, 0x08));
}

TEST(SimFrame, LengthAboveFrameLimitIsTreatedAsNoise) {
    std::vector<uint8_t> wire{0x02, 0xA3, 0x08, 0xFB};
    auto good = zbsim::encodeFrame(Packet(0xA3, 0x12));
    wire.insert(wire.end(), good.begin(), good.end());
    FrameDecoder d;
    auto got = decodeAll(d, wire);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], Packet(0xA3, 0x12));
}
