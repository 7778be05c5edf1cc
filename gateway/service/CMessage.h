#ifndef ORQ_CMESSAGE_H
#define ORQ_CMESSAGE_H

#include <cstdint>
#include <memory>

class Debug;

// One application data message (an APS data unit) on its way through the gateway, in
// either direction: filled by the XML parser for a REST request and sent by the service
// agent, or built by the service agent from a data indication and handed to connections,
// callbacks and the composer.
//
// A plain value holder: all policy lives in its users. It owns its three byte buffers
// (every byte setter copies; callers keep their own buffers) and its logger. It is not
// copyable: whoever needs a message of its own builds a new record field by field.
// A record is used by one thread at a time; whoever shares it provides the lock.
//
// Byte order: a 16-bit address is stored most significant byte first; a 64-bit address
// in the order the setter's caller supplies it.
class Message {
  public:
    // Address modes of the APS layer.
    static constexpr uint8_t ADDR_MODE_NONE = 0x00;
    static constexpr uint8_t ADDR_MODE_GROUP = 0x01;
    static constexpr uint8_t ADDR_MODE_NWK = 0x02;
    static constexpr uint8_t ADDR_MODE_IEEE = 0x03;
    static constexpr uint8_t NOT_SET = 0xFF;

    Message();
    ~Message();
    Message(const Message&) = delete;
    Message& operator=(const Message&) = delete;

    // Resets every field to "not set" (see the constructor). Buffers held so far are
    // released and their lengths become 0.
    void init();

    void setDstAddrMode(uint8_t mode);
    uint8_t getDstAddrMode() const { return dstAddrMode; }
    // Copies 0, 2 or 8 bytes from `addr` as the destination address mode says.
    // The mode must be set first. Returns 0 on success, -1 on failure.
    int setDstAddr(const uint8_t* addr);
    // The address bytes (null when none); stores their number in *length when given.
    uint8_t* getDstAddr(int* length = nullptr) const;
    void setDstEp(uint8_t ep);
    uint8_t getDstEp() const { return dstEp; }

    void setSrcAddrMode(uint8_t mode);
    uint8_t getSrcAddrMode() const { return srcAddrMode; }
    int setSrcAddr(const uint8_t* addr);
    uint8_t* getSrcAddr(int* length = nullptr) const;
    // Copies the two bytes as they lie in memory (host order).
    int setSrcNwkAddr(const uint8_t* addr);
    int setSrcNwkAddr(uint16_t addr);
    uint16_t getSrcNwkAddr() const { return srcNwkAddr; }
    void setSrcEp(uint8_t ep);
    uint8_t getSrcEp() const { return srcEp; }

    void setProfileId(uint16_t id);
    uint16_t getProfileId() const { return profileId; }
    void setClusterId(uint16_t id);
    uint16_t getClusterId() const { return clusterId; }

    // Copies `length` bytes (none when `data` is null).
    void setPayload(const uint8_t* data, uint16_t length);
    uint8_t* getPayload(uint16_t* length = nullptr) const;
    // The payload becomes the header bytes followed by the data bytes. A sum that does
    // not fit 16 bits is kept in 16 bits: only that many bytes are kept.
    void concatenateZCLHeaderAndPayload(const uint8_t* header, uint16_t headerLength,
                                        const uint8_t* data, uint16_t dataLength);

    void setTxSettings(uint8_t settings);
    uint8_t getTxSettings() const { return txSettings; }
    void setMaxHopsNumber(uint8_t hops);
    uint8_t getMaxHopsNumber() const { return maxHopsNumber; }
    void setWasBroadcast(uint8_t value);
    uint8_t getWasBroadcast() const { return wasBroadcast; }
    void setSecurityStatus(uint8_t value);
    uint8_t getSecurityStatus() const { return securityStatus; }
    void setMsgId(int id);
    int getMsgId() const { return msgId; }

  private:
    int setAddr(const char* operation, const char* notSetText, const char* unknownText,
                uint8_t mode, const uint8_t* addr, std::unique_ptr<uint8_t[]>& buffer, int& length);

    std::unique_ptr<Debug> pLogger;
    uint8_t dstAddrMode = NOT_SET;
    std::unique_ptr<uint8_t[]> dstAddr;
    int dstAddrLength = 0;
    uint8_t dstEp = NOT_SET;
    uint8_t srcAddrMode = NOT_SET;
    std::unique_ptr<uint8_t[]> srcAddr;
    uint16_t srcNwkAddr = 0xFFFF;
    int srcAddrLength = 0;
    uint8_t srcEp = NOT_SET;
    uint16_t profileId = 0;
    uint16_t clusterId = 0;
    uint16_t payloadLength = 0;
    std::unique_ptr<uint8_t[]> payload;
    uint8_t txSettings = NOT_SET;
    uint8_t maxHopsNumber = NOT_SET;
    uint8_t wasBroadcast = NOT_SET;
    uint8_t securityStatus = NOT_SET;
    int msgId = 0;
};

#endif
