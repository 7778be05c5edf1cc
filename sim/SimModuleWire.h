// Byte order, table paging and the device profile and ZCL values the emulated module's
// handlers share (SimModule.cpp, SimModuleZdp.cpp). Internal to the module.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "SimNetwork.h"

namespace zbsim {
namespace wire {

inline void put16(std::vector<uint8_t>& v, uint16_t x) {
    v.push_back(static_cast<uint8_t>(x & 0xFF));
    v.push_back(static_cast<uint8_t>(x >> 8));
}
inline void put64(std::vector<uint8_t>& v, uint64_t x) {
    for (int i = 0; i < 8; ++i)
        v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}
inline uint16_t get16(const std::vector<uint8_t>& v, size_t off) {
    return static_cast<uint16_t>(v[off] | v[off + 1] << 8);
}
inline uint32_t get32(const std::vector<uint8_t>& v, size_t off) {
    return static_cast<uint32_t>(v[off] | v[off + 1] << 8 | v[off + 2] << 16) |
           static_cast<uint32_t>(v[off + 3]) << 24;
}
inline uint64_t get64(const std::vector<uint8_t>& v, size_t off) {
    uint64_t x = 0;
    for (int i = 7; i >= 0; --i)
        x = x << 8 | v[off + static_cast<size_t>(i)];
    return x;
}
inline bool isBroadcast(uint16_t a) {
    return a >= 0xFFF8;
}
// A temperature as ZCL carries it: a signed 16-bit count of hundredths of a degree.
inline void putTemperature(std::vector<uint8_t>& v, double celsius) {
    put16(v, static_cast<uint16_t>(static_cast<int16_t>(std::lround(celsius * 100))));
}
// The lowest channel (11 to 26) the mask allows, or 0 when it allows none.
inline uint8_t lowestChannel(uint32_t mask) {
    for (uint8_t c = 11; c <= 26; ++c)
        if (mask & (1u << c))
            return c;
    return 0;
}
// Reads an input cluster count and its list, then an output cluster count and its list, starting
// at off; false when a count runs past the end. off is left after the last cluster read.
inline bool readClusterLists(const std::vector<uint8_t>& v, size_t& off, std::vector<uint16_t>& in,
                             std::vector<uint16_t>& out) {
    if (off >= v.size())
        return false;
    size_t nin = v[off++];
    if (off + 2 * nin + 1 > v.size())
        return false;
    for (size_t i = 0; i < nin; ++i, off += 2)
        in.push_back(get16(v, off));
    size_t nout = v[off++];
    if (off + 2 * nout > v.size())
        return false;
    for (size_t i = 0; i < nout; ++i, off += 2)
        out.push_back(get16(v, off));
    return true;
}
// One page of a table of `total` entries asked for from index `start`, at most `limit` long.
struct Page {
    size_t from;
    size_t count;
};
inline Page page(size_t total, size_t start, size_t limit) {
    size_t from = std::min(start, total);
    return {from, std::min(total - from, limit)};
}
// Whether d, the addressee of a device profile request, can answer about t: t is d itself, or
// one of d's end device children, which d answers for from what it keeps of them whether the
// child is awake, silent or dead (as long as the child is in the network).
inline bool answersAbout(const Node* d, const Node* t) {
    return d && d->present() && t && t->present() &&
           (t == d || (t->type == LogicalType::EndDevice && t->parent == d->nwk));
}
inline uint64_t mix(uint64_t x) {  // splitmix64's finaliser
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

// ZigBee device profile and ZCL values used below.
constexpr uint8_t kSuccess = 0x00;
constexpr uint8_t kInvRequestType = 0x80;
constexpr uint8_t kDeviceNotFound = 0x81;
constexpr uint8_t kInvalidEp = 0x82;
constexpr uint8_t kNotActive = 0x83;
constexpr uint8_t kNotSupported = 0x84;
constexpr uint8_t kNoMatch = 0x86;
constexpr uint8_t kApsInvalidParameter = 0xA6;
constexpr uint8_t kApsUnsupportedAttribute = 0xB0;
constexpr uint8_t kNwkInvalidParameter = 0xC1;
constexpr uint8_t kNwkInvalidRequest = 0xC2;
constexpr uint8_t kNwkUnsupportedAttribute = 0xC9;
constexpr uint8_t kNwkNoNetworks = 0xCA;
constexpr uint8_t kNwkUnknownDevice = 0xC8;
constexpr uint8_t kNwkRouteError = 0xD1;
constexpr uint8_t kApsNoAck = 0xA7;

constexpr uint8_t kZclUnsupClusterCommand = 0x81;
constexpr uint8_t kZclUnsupGeneralCommand = 0x82;
constexpr uint8_t kZclUnsupportedAttribute = 0x86;
constexpr uint8_t kZclUnsupportedCluster = 0xC3;

constexpr uint16_t kClusterBasic = 0x0000;
constexpr uint16_t kClusterOnOff = 0x0006;
constexpr uint16_t kClusterTemperature = 0x0402;

}  // namespace wire
}  // namespace zbsim
