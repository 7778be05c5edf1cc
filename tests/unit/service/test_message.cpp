#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "CMessage.h"

namespace {

std::vector<uint8_t> bytesOf(const uint8_t* data, int length) {
    return data == nullptr ? std::vector<uint8_t>() : std::vector<uint8_t>(data, data + length);
}

// A fresh record and one after init() have nothing set: no address, no payload.
TEST(MessageTest, InitForgetsEverything) {
    Message msg;
    const uint8_t addr[2] = {1, 2};
    msg.setDstAddrMode(2);
    msg.setDstAddr(addr);
    msg.setPayload(addr, 2);
    msg.setProfileId(0x0104);
    msg.setMsgId(7);
    msg.setSrcNwkAddr(static_cast<uint16_t>(0x1234));
    msg.init();
    Message fresh;
    for (Message* m : {&msg, &fresh}) {
        EXPECT_EQ(m->getDstAddrMode(), Message::NOT_SET);
        EXPECT_EQ(m->getSrcNwkAddr(), 0xFFFF);
        EXPECT_EQ(m->getProfileId() + m->getMsgId(), 0);
        int addrLength = -1;
        EXPECT_EQ(m->getDstAddr(&addrLength), nullptr);
        EXPECT_EQ(addrLength, 0);
        uint16_t payloadLength = 1;
        EXPECT_EQ(m->getPayload(&payloadLength), nullptr);
        EXPECT_EQ(payloadLength, 0);
    }
}

// The address length follows the mode set before it; an unknown mode or none refuses the
// address (and an unknown mode drops an earlier one).
TEST(MessageTest, AddressLengthFollowsMode) {
    const uint8_t addr[8] = {0x12, 0x34, 3, 4, 5, 6, 7, 8};
    struct Case {
        uint8_t mode;
        int result;
        int length;
    } cases[] = {{0, 0, 0}, {1, 0, 2}, {2, 0, 2}, {3, 0, 8}, {4, -1, 0}, {0xFF, -1, 0}};
    for (const Case& c : cases) {
        Message msg;
        if (c.mode != Message::NOT_SET) {  // an earlier address, which an unknown mode drops
            msg.setDstAddrMode(3);
            ASSERT_EQ(msg.setDstAddr(addr), 0);
        }
        msg.setDstAddrMode(c.mode);
        EXPECT_EQ(msg.setDstAddr(addr), c.result) << int(c.mode);
        int length = -1;
        const uint8_t* stored = msg.getDstAddr(&length);
        EXPECT_EQ(length, c.length) << int(c.mode);
        EXPECT_EQ(bytesOf(stored, length), std::vector<uint8_t>(addr, addr + c.length));
        EXPECT_EQ(stored == nullptr, c.length == 0) << int(c.mode);
        msg.setSrcAddrMode(c.mode);
        EXPECT_EQ(msg.setSrcAddr(addr), c.result) << int(c.mode);
        EXPECT_EQ(bytesOf(msg.getSrcAddr(&length), length),
                  std::vector<uint8_t>(addr, addr + c.length));
    }
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
    const uint16_t value = 0x1234;  // a source network address from bytes is in host order
    std::memcpy(addr, &value, 2);
    EXPECT_EQ(msg.setSrcNwkAddr(addr), 0);
    EXPECT_EQ(msg.getSrcNwkAddr(), 0x1234);
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
    msg.concatenateZCLHeaderAndPayload(big.data(), 65535, header, 3);
    const uint8_t* payload = msg.getPayload(&length);
    // 65538 kept in 16 bits is 2: only that many bytes are kept, never more than stored.
    ASSERT_EQ(length, 2);
    EXPECT_EQ(bytesOf(payload, length), (std::vector<uint8_t>{0x11, 0x11}));
}

}  // namespace
