#include "CMessage.h"

#include <cstdio>
#include <cstring>

#include "CDebug.h"

namespace {
// The bytes of `buffer` (null when none); `count`, their number, goes to *length when given.
template <typename Length>
uint8_t* bufferBytes(const std::unique_ptr<uint8_t[]>& buffer, Length count, Length* length) {
    if (length != nullptr) {
        *length = count;
    }
    return buffer.get();
}
}  // namespace

Message::Message() {
    std::printf("Message Constructor\n");
    init();
    pLogger = std::make_unique<Debug>("Message");
    configureLogger(*pLogger, nullptr, 0);
}

Message::~Message() {
    std::printf("Message Destructor\n");
}

void Message::init() {
    dstAddrMode = NOT_SET;
    dstEp = NOT_SET;
    srcAddrMode = NOT_SET;
    srcEp = NOT_SET;
    txSettings = NOT_SET;
    maxHopsNumber = NOT_SET;
    wasBroadcast = NOT_SET;
    securityStatus = NOT_SET;
    srcNwkAddr = 0xFFFF;
    profileId = 0;
    clusterId = 0;
    payloadLength = 0;
    srcAddrLength = 0;
    msgId = 0;
    // The buffers are released here, so no length may describe them any more.
    dstAddr.reset();
    dstAddrLength = 0;
    srcAddr.reset();
    payload.reset();
}

void Message::setDstAddrMode(uint8_t mode) {
    dstAddrMode = mode;
}

int Message::setAddr(const char* operation, const char* notSetText, const char* unknownText,
                     uint8_t mode, const uint8_t* addr, std::unique_ptr<uint8_t[]>& buffer,
                     int& length) {
    int size = 0;
    switch (mode) {
        case NOT_SET:
            ORQ_LOG(*pLogger, ERROR, "Message::%s - %s", operation, notSetText);
            return -1;
        case ADDR_MODE_NONE:
            size = 0;
            break;
        case ADDR_MODE_GROUP:
        case ADDR_MODE_NWK:
            size = 2;
            break;
        case ADDR_MODE_IEEE:
            size = 8;
            break;
        default:
            ORQ_LOG(*pLogger, ERROR, "Message::%s - %s 0x%02x", operation, unknownText, mode);
            buffer.reset();
            length = 0;
            return -1;
    }
    if (size > 0 && addr == nullptr) {
        ORQ_LOG(*pLogger, ERROR, "Message::%s - ERROR: no address bytes given", operation);
        return -1;
    }
    if (size == 0) {
        buffer.reset();
    } else {
        buffer = std::make_unique<uint8_t[]>(size);
        std::memcpy(buffer.get(), addr, size);
    }
    length = size;
    return 0;
}

int Message::setDstAddr(const uint8_t* addr) {
    return setAddr("setDstAddr", "ERROR Destination Address Mode not set!",
                   "ERROR: unknown dest addr mode", dstAddrMode, addr, dstAddr, dstAddrLength);
}

uint8_t* Message::getDstAddr(int* length) const {
    return bufferBytes(dstAddr, dstAddrLength, length);
}

void Message::setDstEp(uint8_t ep) {
    dstEp = ep;
    std::printf("dstEp = %X\n", ep);
}

void Message::setSrcAddrMode(uint8_t mode) {
    srcAddrMode = mode;
}

int Message::setSrcAddr(const uint8_t* addr) {
    return setAddr("setSrcAddr", "ERROR Source Address Mode not set!",
                   "ERROR: unknown src addr mode", srcAddrMode, addr, srcAddr, srcAddrLength);
}

uint8_t* Message::getSrcAddr(int* length) const {
    return bufferBytes(srcAddr, srcAddrLength, length);
}

int Message::setSrcNwkAddr(const uint8_t* addr) {
    if (addr != nullptr) {
        std::memcpy(&srcNwkAddr, addr, sizeof srcNwkAddr);
    }
    return 0;
}

int Message::setSrcNwkAddr(uint16_t addr) {
    srcNwkAddr = addr;
    return 0;
}

void Message::setSrcEp(uint8_t ep) {
    srcEp = ep;
    std::printf("srcEp = %X\n", ep);
}

void Message::setProfileId(uint16_t id) {
    profileId = id;
    std::printf("profileId = %04X\n", id);
}

void Message::setClusterId(uint16_t id) {
    clusterId = id;
    std::printf("clusterId = %04X\n", id);
}

void Message::setPayload(const uint8_t* data, uint16_t length) {
    if (data == nullptr || length == 0) {
        payload.reset();
        payloadLength = 0;
        return;
    }
    payload = std::make_unique<uint8_t[]>(length);
    std::memcpy(payload.get(), data, length);
    payloadLength = length;
}

uint8_t* Message::getPayload(uint16_t* length) const {
    return bufferBytes(payload, payloadLength, length);
}

void Message::concatenateZCLHeaderAndPayload(const uint8_t* header, uint16_t headerLength,
                                             const uint8_t* data, uint16_t dataLength) {
    if (header == nullptr) {
        headerLength = 0;
    }
    if (data == nullptr) {
        dataLength = 0;
    }
    const uint16_t total = static_cast<uint16_t>(headerLength + dataLength);
    const uint16_t fromHeader = headerLength < total ? headerLength : total;
    const uint16_t fromData = static_cast<uint16_t>(total - fromHeader);
    std::unique_ptr<uint8_t[]> joined;
    if (total > 0) {
        joined = std::make_unique<uint8_t[]>(total);
        if (fromHeader > 0) {
            std::memcpy(joined.get(), header, fromHeader);
        }
        if (fromData > 0) {
            std::memcpy(joined.get() + fromHeader, data, fromData);
        }
    }
    payload = std::move(joined);
    payloadLength = total;
    std::printf("Byte written: ");
    for (uint16_t i = 0; i < payloadLength; ++i) {
        std::printf("%2x ", payload[i]);
    }
    std::printf("\n");
}

void Message::setTxSettings(uint8_t settings) {
    txSettings = settings;
}

void Message::setMaxHopsNumber(uint8_t hops) {
    maxHopsNumber = hops;
}

void Message::setWasBroadcast(uint8_t value) {
    wasBroadcast = value;
}

void Message::setSecurityStatus(uint8_t value) {
    securityStatus = value;
}

void Message::setMsgId(int id) {
    msgId = id;
    std::printf("msgId = %d\n", id);
}
