#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "CMessage.h"

namespace {

std::vector<uint8_t> bytesOf(const uint8_t* data, int length) {
    return data == nullptr ? std::vector<uint8_t>() : std::vector<uint8_t>(data, data + length);
}

TEST(MessageTest, FreshRecordHasNothingSet) {
    Message msg;
    EXPECT_EQ(msg.getDstAddrMode(), 0xFF);
    EXPECT_EQ(msg.getDstEp(), 0xFF);
    EXPECT_EQ(msg.getSrcAddrMode(), 0xFF);
    EXPECT_EQ(msg.getSrcEp(), 0xFF);
    EXPECT_EQ(msg.getSrcNwkAddr(), 0xFFFF);
    EXPECT_EQ(msg.getTxSettings(), 0xFF);
    EXPECT_EQ(msg.getMaxHopsNumber(), 0xFF);
    EXPECT_EQ(msg.getWasBroadcast(), 0xFF);
    EXPECT_EQ(msg.getSecurityStatus(), 0xFF);
    EXPECT_EQ(msg.getProfileId(), 0);
    EXPECT_EQ(msg.getClusterId(), 0);
    EXPECT_EQ(msg.getMsgId(), 0);
    uint16_t length = 99;
    EXPECT_EQ(msg.getPayload(&length), nullptr);
    EXPECT_EQ(length, 0);
    int addrLength = 99;
    EXPECT_EQ(msg.getSrcAddr(&addrLength), nullptr);
    EXPECT_EQ(addrLength, 0);
}

TEST(MessageTest, AddressBeforeModeIsRefusedAndCopiesNothing) {
    Message msg;
    const uint8_t addr[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(msg.setDstAddr(addr), -1);
    EXPECT_EQ(msg.getDstAddr(), nullptr);
    EXPECT_EQ(msg.setSrcAddr(addr), -1);
    EXPECT_EQ(msg.getSrcAddr(), nullptr);
}

TEST(MessageTest, AddressLengthFollowsMode) {
    const uint8_t addr[8] = {0x12, 0x34, 3, 4, 5, 6, 7, 8};
    struct Case {
        uint8_t mode;
        int result;
        int length;
    } cases[] = {{0, 0, 0}, {1, 0, 2}, {2, 0, 2}, {3, 0, 8}, {4, -1, 0}, {0xFF, -1, 0}};
    for (const Case& c : cases) {
        Message msg;
        msg.setDstAddrMode(c.mode);
        EXPECT_EQ(msg.setDstAddr(addr), c.result) << int(c.mode);
        int length = -1;
        const uint8_t* stored = msg.getDstAddr(&length);
        EXPECT_EQ(length, c.length) << int(c.mode);
        EXPECT_EQ(bytesOf(stored, length), std::vector<uint8_t>(addr, addr + c.length));
        if (c.length == 0) {
            EXPECT_EQ(stored, nullptr);
        }

        msg.setSrcAddrMode(c.mode);
        EXPECT_EQ(msg.setSrcAddr(addr), c.result) << int(c.mode);
        EXPECT_EQ(bytesOf(msg.getSrcAddr(&length), length),
                  std::vector<uint8_t>(addr, addr + c.length));
    }
}

TEST(MessageTest, UnknownModeDropsAnEarlierAddress) {
    Message msg;
    const uint8_t addr[2] = {0xAB, 0xCD};
    msg.setDstAddrMode(2);
    ASSERT_EQ(msg.setDstAddr(addr), 0);
    msg.setDstAddrMode(7);
    EXPECT_EQ(msg.setDstAddr(addr), -1);
    int length = -1;
    EXPECT_EQ(msg.getDstAddr(&length), nullptr);
    EXPECT_EQ(length, 0);
}

TEST(MessageTest, SettersCopyTheCallersBytes) {
    Message msg;
    uint8_t addr[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    uint8_t payload[3] = {0xAA, 0xBB, 0xCC};
    msg.setSrcAddrMode(3);
    ASSERT_EQ(msg.setSrcAddr(addr), 0);
    msg.setPayload(payload, 3);
    addr[0] = 0xFF;
    payload[0] = 0x00;
    EXPECT_EQ(msg.getSrcAddr()[0], 1);
    uint16_t length = 0;
    EXPECT_EQ(bytesOf(msg.getPayload(&length), 3), (std::vector<uint8_t>{0xAA, 0xBB, 0xCC}));
    EXPECT_EQ(length, 3);
}

TEST(MessageTest, ConcatenationPutsTheHeaderFirstAndKeepsSixteenBitsOfLength) {
    Message msg;
    const uint8_t header[3] = {0x01, 0x02, 0x03};
    const uint8_t data[2] = {0x0A, 0x0B};
    msg.concatenateZCLHeaderAndPayload(header, 3, data, 2);
    uint16_t length = 0;
    const uint8_t* first = msg.getPayload(&length);
    EXPECT_EQ(bytesOf(first, length), (std::vector<uint8_t>{1, 2, 3, 10, 11}));
    std::vector<uint8_t> big(65535, 0x11);
    const uint8_t more[3] = {0x22, 0x33, 0x44};
    msg.concatenateZCLHeaderAndPayload(big.data(), 65535, more, 3);
    const uint8_t* payload = msg.getPayload(&length);
    // 65538 kept in 16 bits is 2: only that many bytes are kept, never more than stored.
    ASSERT_EQ(length, 2);
    EXPECT_EQ(bytesOf(payload, length), (std::vector<uint8_t>{0x11, 0x11}));
}

TEST(MessageTest, SourceNetworkAddressFromBytesIsHostOrder) {
    Message msg;
    const uint16_t value = 0x1234;
    uint8_t bytes[2];
    std::memcpy(bytes, &value, 2);
    EXPECT_EQ(msg.setSrcNwkAddr(bytes), 0);
    EXPECT_EQ(msg.getSrcNwkAddr(), 0x1234);
    EXPECT_EQ(msg.setSrcNwkAddr(static_cast<uint16_t>(0xBEEF)), 0);
    EXPECT_EQ(msg.getSrcNwkAddr(), 0xBEEF);
}

TEST(MessageTest, InitForgetsEverything) {
    Message msg;
    const uint8_t addr[2] = {1, 2};
    msg.setDstAddrMode(2);
    msg.setDstAddr(addr);
    msg.setPayload(addr, 2);
    msg.setProfileId(0x0104);
    msg.setMsgId(7);
    msg.init();
    EXPECT_EQ(msg.getDstAddrMode(), 0xFF);
    int addrLength = -1;
    EXPECT_EQ(msg.getDstAddr(&addrLength), nullptr);
    EXPECT_EQ(addrLength, 0);
    uint16_t payloadLength = 1;
    EXPECT_EQ(msg.getPayload(&payloadLength), nullptr);
    EXPECT_EQ(payloadLength, 0);
    EXPECT_EQ(msg.getProfileId(), 0);
    EXPECT_EQ(msg.getMsgId(), 0);
}

}  // namespace
