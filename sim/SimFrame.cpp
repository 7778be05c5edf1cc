#include "SimFrame.h"

#include <cctype>
#include <cstdio>

namespace zbsim {

std::vector<uint8_t> Packet::bytes() const {
    std::vector<uint8_t> v;
    v.reserve(payload.size() + 3);
    v.push_back(group);
    v.push_back(id);
    v.push_back(static_cast<uint8_t>(payload.size()));
    v.insert(v.end(), payload.begin(), payload.end());
    return v;
}

uint8_t frameChecksum(const Packet& p) {
    uint8_t x = p.group ^ p.id ^ static_cast<uint8_t>(p.payload.size());
    for (uint8_t b : p.payload)
        x ^= b;
    return x;
}

std::vector<uint8_t> encodeFrame(const Packet& p) {
    if (p.payload.size() > kMaxPayload)
        return {};
    std::vector<uint8_t> f;
    f.reserve(p.payload.size() + 5);
    f.push_back(kStx);
    f.push_back(p.group);
    f.push_back(p.id);
    f.push_back(static_cast<uint8_t>(p.payload.size()));
    f.insert(f.end(), p.payload.begin(), p.payload.end());
    f.push_back(frameChecksum(p));
    return f;
}

void FrameDecoder::drainFront(size_t n) {
    start_ += n;
    if (start_ >= buf_.size()) {
        buf_.clear();
        start_ = 0;
    } else if (start_ > 4096) {
        buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(start_));
        start_ = 0;
    }
}

void FrameDecoder::feed(const uint8_t* data, size_t size, std::vector<Packet>& out) {
    buf_.insert(buf_.end(), data, data + size);
    for (;;) {
        // Skip to the next start byte.
        size_t s = start_;
        while (s < buf_.size() && buf_[s] != kStx)
            ++s;
        skipped_ += s - start_;
        drainFront(s - start_);
        size_t avail = buf_.size() - start_;
        if (avail < 4)
            return;
        const uint8_t* f = buf_.data() + start_;
        size_t len = f[3];
        if (len > kMaxPayload) {  // no module frame is that long: this start byte is noise
            ++skipped_;
            drainFront(1);
            continue;
        }
        if (avail < len + 5)
            return;
        uint8_t x = 0;
        for (size_t i = 1; i < len + 4; ++i)
            x ^= f[i];
        if (x != f[len + 4]) {
            ++badFcs_;
            ++skipped_;
            drainFront(1);  // rescan from the byte after this start byte
            continue;
        }
        Packet p(f[1], f[2], std::vector<uint8_t>(f + 4, f + 4 + len));
        drainFront(len + 5);
        ++packets_;
        out.push_back(std::move(p));
    }
}

std::string hexBytes(const uint8_t* data, size_t size) {
    static const char* digits = "0123456789ABCDEF";
    std::string s;
    s.reserve(size * 3);
    for (size_t i = 0; i < size; ++i) {
        if (i)
            s.push_back(' ');
        s.push_back(digits[data[i] >> 4]);
        s.push_back(digits[data[i] & 15]);
    }
    return s;
}

bool parseHexBytes(const std::string& text, std::vector<uint8_t>& out) {
    out.clear();
    int hi = -1;
    for (char c : text) {
        if (c == ' ' || c == ':' || c == ',' || c == '\t') {
            if (hi >= 0)
                return false;  // odd digit count inside one group
            continue;
        }
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
        int v =
            std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (std::tolower(c) - 'a' + 10);
        if (hi < 0) {
            hi = v;
        } else {
            out.push_back(static_cast<uint8_t>(hi << 4 | v));
            hi = -1;
        }
    }
    return hi < 0;
}

namespace {
struct NameEntry {
    uint16_t code;
    const char* name;
};

constexpr NameEntry kNames[] = {
    {0x5001, "BlackBox-WriteSAS.Request"},
    {0x5004, "BlackBox-WriteSAS.Confirm"},
    {0x9636, "NLME-PERMIT-JOINING.Request"},
    {0x9742, "NLME-NETWORK-FORMATION.Confirm"},
    {0x9743, "NLME-PERMIT-JOINING.Confirm"},
    {0x9746, "NLME-JOIN.Confirm"},
    {0x9749, "NLME-LEAVE.Indication"},
    {0x9807, "APSME-BIND.Confirm"},
    {0x9809, "APSME-UNBIND.Confirm"},
    {0x9900, "APSME-BIND.Request"},
    {0x9909, "APSME-UNBIND.Request"},
    {0x9C00, "APSDE-DATA.Request"},
    {0x9D00, "APSDE-DATA.Confirm"},
    {0x9D01, "APSDE-DATA.Indication"},
    {0xA080, "ZDP-NWK_addr.Response"},
    {0xA081, "ZDP-IEEE_addr.Response"},
    {0xA082, "ZDP-Node_Desc.Response"},
    {0xA083, "ZDP-Power_Desc.Response"},
    {0xA084, "ZDP-Simple_Desc.Response"},
    {0xA085, "ZDP-Active_EP.Response"},
    {0xA086, "ZDP-Match_Desc.Response"},
    {0xA0A0, "ZDP-End_Device_Bind.Response"},
    {0xA0A1, "ZDP-Bind.Response"},
    {0xA0A2, "ZDP-Unbind.Response"},
    {0xA0B1, "ZDP-Mgmt_Lqi.Response"},
    {0xA0B3, "ZDP-Mgmt_Bind.Response"},
    {0xA0B6, "ZDP-Mgmt_Permit_Join.Response"},
    {0xA0E6, "ZDO-NetworkState.Event"},
    {0xA200, "ZDP-NWK_addr.Request"},
    {0xA201, "ZDP-IEEE_addr.Request"},
    {0xA202, "ZDP-Node_Desc.Request"},
    {0xA203, "ZDP-Power_Desc.Request"},
    {0xA204, "ZDP-Simple_Desc.Request"},
    {0xA205, "ZDP-Active_EP.Request"},
    {0xA206, "ZDP-Match_Desc.Request"},
    {0xA220, "ZDP-End_Device_Bind.Request"},
    {0xA221, "ZDP-Bind.Request"},
    {0xA222, "ZDP-Unbind.Request"},
    {0xA231, "ZDP-Mgmt_Lqi.Request"},
    {0xA233, "ZDP-Mgmt_Bind.Request"},
    {0xA236, "ZDP-Mgmt_Permit_Join.Request"},
    {0xA238, "ZDP-Mgmt_NWK_Update.Request"},
    {0xA300, "ZTC-ModeSelect.Request"},
    {0xA308, "ZTC-Reset.Request"},
    {0xA30B, "APS-RegisterEndPoint.Request"},
    {0xA312, "ZTC-GetChannel.Request"},
    {0xA320, "APSME-GET.Request"},
    {0xA321, "APSME-SET.Request"},
    {0xA322, "NLME-GET.Request"},
    {0xA33E, "ZTC-SetApsDeviceKeyPairSet.Request"},
    {0xA33F, "ZTC-ClearApsDeviceKeyPairSet.Request"},
    {0xA3D2, "ZTC-ReadExtAddr.Request"},
    {0xA3DB, "ZTC-WriteExtAddr.Request"},
    {0xA3E7, "ZDP-StartNwkEx.Request"},
    {0xA400, "ZTC-ModeSelect.Confirm"},
    {0xA40B, "APS-RegisterEndPoint.Confirm"},
    {0xA412, "ZTC-GetChannel.Confirm"},
    {0xA420, "APSME-GET.Confirm"},
    {0xA421, "APSME-SET.Confirm"},
    {0xA422, "NLME-GET.Confirm"},
    {0xA43E, "ZTC-SetApsDeviceKeyPairSet.Confirm"},
    {0xA43F, "ZTC-ClearApsDeviceKeyPairSet.Confirm"},
    {0xA4D2, "ZTC-ReadExtAddr.Confirm"},
    {0xA4DB, "ZTC-WriteExtAddr.Confirm"},
    {0xA4E7, "ZDP-StartNwkEx.Confirm"},
};

constexpr bool namesSorted() {
    for (size_t i = 1; i < sizeof(kNames) / sizeof(kNames[0]); ++i)
        if (kNames[i - 1].code >= kNames[i].code)
            return false;
    return true;
}
static_assert(namesSorted(), "packet name table must be sorted by code");
}  // namespace

const char* packetName(uint8_t group, uint8_t id) {
    uint16_t code = static_cast<uint16_t>(group << 8 | id);
    size_t lo = 0, hi = sizeof(kNames) / sizeof(kNames[0]);
    while (lo < hi) {
        size_t mid = (lo + hi) / 2;
        if (kNames[mid].code < code)
            lo = mid + 1;
        else
            hi = mid;
    }
    if (lo < sizeof(kNames) / sizeof(kNames[0]) && kNames[lo].code == code)
        return kNames[lo].name;
    return "Unknown";
}

}  // namespace zbsim
