// Serial framing of the co-processor line, as the module sees it.
//
// A frame is STX (0x02), opcode group, opcode id, payload length L, L payload bytes and an FCS
// that is the XOR of group, id, length and payload. Packets are the frame without STX and FCS.
// FrameDecoder assembles packets from an arbitrary byte stream: bytes before a start byte are
// skipped, a frame whose FCS does not match is discarded and the scan restarts at the next start
// byte inside it. Not thread-safe; the emulator drives it from its single loop thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zbsim {

constexpr uint8_t kStx = 0x02;
constexpr size_t kMaxPayload = 250;

struct Packet {
    uint8_t group = 0;
    uint8_t id = 0;
    std::vector<uint8_t> payload;

    Packet() = default;
    Packet(uint8_t g, uint8_t i, std::vector<uint8_t> p = {})
        : group(g), id(i), payload(std::move(p)) {}
    bool operator==(const Packet& o) const {
        return group == o.group && id == o.id && payload == o.payload;
    }
    // Group, id, length and payload: the packet as the layers above the framing handle it.
    std::vector<uint8_t> bytes() const;
};

uint8_t frameChecksum(const Packet& p);

// The complete frame for p. A payload longer than kMaxPayload cannot be framed; the caller must
// not build one (encodeFrame returns an empty vector then).
std::vector<uint8_t> encodeFrame(const Packet& p);

class FrameDecoder {
  public:
    // Feeds raw line bytes; every complete, well-formed packet is appended to out.
    void feed(const uint8_t* data, size_t size, std::vector<Packet>& out);
    void reset() { buf_.clear(); }

    uint64_t skippedBytes() const { return skipped_; }
    uint64_t badChecksums() const { return badFcs_; }
    uint64_t packets() const { return packets_; }

  private:
    void drainFront(size_t n);
    std::vector<uint8_t> buf_;
    size_t start_ = 0;  // index of the first unconsumed byte in buf_
    uint64_t skipped_ = 0;
    uint64_t badFcs_ = 0;
    uint64_t packets_ = 0;
};

std::string hexBytes(const uint8_t* data, size_t size);
inline std::string hexBytes(const std::vector<uint8_t>& v) {
    return hexBytes(v.data(), v.size());
}
// Parses "02 A3 08" or "02A308" style text; returns false on a malformed string.
bool parseHexBytes(const std::string& text, std::vector<uint8_t>& out);

// Name of a packet for the frame trace ("ZTC-Reset.Request", "APSDE-DATA.Confirm", ...).
const char* packetName(uint8_t group, uint8_t id);

}  // namespace zbsim
