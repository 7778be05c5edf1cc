// Byte builders for the packets a test sends to zbsim, written from the packet tables (little
// endian, IEEE addresses least significant byte first).
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace simbytes {

using Bytes = std::vector<uint8_t>;

inline Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes r;
    for (const auto& p : parts)
        r.insert(r.end(), p.begin(), p.end());
    return r;
}
inline Bytes le16(uint16_t v) {
    return {static_cast<uint8_t>(v & 0xFF), static_cast<uint8_t>(v >> 8)};
}
inline Bytes le64(uint64_t v) {
    Bytes b;
    for (int i = 0; i < 8; ++i)
        b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return b;
}

// The payload of an APSDE-DATA request (9C 00): address mode, an address field of eight bytes
// (a short address fills its first two), end points, profile, cluster, the frame, no transmit
// options and a radius of 30.
inline Bytes dataRequest(uint8_t mode, uint16_t dst, uint8_t dstEp, uint16_t profile,
                         uint16_t cluster, uint8_t srcEp, const Bytes& asdu) {
    return cat({{mode},
                le16(dst),
                Bytes(6),
                {dstEp},
                le16(profile),
                le16(cluster),
                {srcEp, static_cast<uint8_t>(asdu.size())},
                asdu,
                {0x00, 0x1E}});
}

// A Mgmt_Leave request sent to dst, naming the node that is to leave (0: dst itself).
inline Bytes leaveRequest(uint16_t dst, uint8_t seq, uint64_t leaving, uint8_t options) {
    return dataRequest(0x02, dst, 0x00, 0x0000, 0x0034, 0x00,
                       cat({{seq}, le64(leaving), {options}}));
}

}  // namespace simbytes
