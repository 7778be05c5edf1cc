// Test support for the ZigBee module link: a connection whose writes are recorded, and a callback
// table that records every call as a line of text.
#ifndef ORQ_TESTS_SUPPORT_ZIGBEE_TEST_SUPPORT_H
#define ORQ_TESTS_SUPPORT_ZIGBEE_TEST_SUPPORT_H

#include <cstdarg>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

#include "zigbee.h"
#include "zigbee_local.h"

namespace zbtest {

using Bytes = std::vector<uchar>;

// The serial frame of a packet as the module sends it: start byte, packet, XOR of the packet.
inline Bytes frameOf(const Bytes& pkt) {
    Bytes f = {0x02};
    uchar x = 0;
    for (uchar b : pkt) {
        f.push_back(b);
        x ^= b;
    }
    f.push_back(x);
    return f;
}

// The parts one after another, as a peer would write them in one go.
inline Bytes joined(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

inline std::vector<Bytes>& sentPackets() {
    static std::vector<Bytes> sent;
    return sent;
}

inline int recordWrite(int, const unsigned char* data, int size) {
    sentPackets().emplace_back(data, data + size);
    return 0;
}

inline std::string hex(const uchar* p, int n) {
    std::string s;
    char b[4];
    for (int i = 0; i < n; i++) {
        snprintf(b, sizeof(b), i ? " %02X" : "%02X", p[i]);
        s += b;
    }
    return s;
}

inline std::string hex(const Bytes& b) {
    return hex(b.data(), static_cast<int>(b.size()));
}

inline std::vector<std::string>& calls() {
    static std::vector<std::string> c;
    return c;
}

inline void record(const char* fmt, ...) {
    char buf[2048];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof(buf), fmt, ap);
    va_end(ap);
    calls().emplace_back(buf);
}

inline std::string list16(const ushort* l, int n) {
    std::string s = "[";
    char b[8];
    for (int i = 0; i < n && l; i++) {
        snprintf(b, sizeof(b), i ? " %04X" : "%04X", l[i]);
        s += b;
    }
    return s + "]";
}

inline const ZBIFCbs_t& recordingCbs() {
    static const ZBIFCbs_t cbs = {
        [](ZBIF_HANDLE, uchar s, uchar r) { record("ZDO_RESET_confirm %02X %02X", s, r); },
        [](ZBIF_HANDLE, uchar s, ushort n) { record("ZDO_START_confirm %02X %04X", s, n); },
        [](ZBIF_HANDLE, uchar s, uchar* ieee, ushort nwk, uchar n, uchar si, ushort* l) {
            record("ZDO_NWK_ADDR_confirm %02X %s %04X %d %d %s", s, hex(ieee, 8).c_str(), nwk, n,
                   si, list16(l, n).c_str());
        },
        [](ZBIF_HANDLE, uchar s, uchar* ieee, ushort nwk, uchar n, uchar si, ushort* l) {
            record("ZDO_IEEE_ADDR_confirm %02X %s %04X %d %d %s", s, hex(ieee, 8).c_str(), nwk, n,
                   si, list16(l, n).c_str());
        },
        [](ZBIF_HANDLE, uchar mode, uchar* a, uchar* d) {
            record("ZB_MGMT_LQI_response %d %02X%02X %s", mode, a[1], a[0],
                   hex(d, d[0] + 1).c_str());
        },
        [](ZBIF_HANDLE, uchar s, ushort n, ZB_NODE_DESC* nd) {
            record("ZDO_NODE_DESC_confirm %02X %04X %s", s, n,
                   hex(reinterpret_cast<uchar*>(nd), 10).c_str());
        },
        [](ZBIF_HANDLE, uchar s, ushort n, ZB_POWER_DESC* pd) {
            record("ZDO_POWER_DESC_confirm %02X %04X %s", s, n,
                   hex(reinterpret_cast<uchar*>(pd), 2).c_str());
        },
        [](ZBIF_HANDLE, uchar s, ushort n, ZB_SIMPLE_DESC* sd) {
            record("ZDO_SIMPLE_DESC_confirm %02X %04X ep %d prof %04X dev %04X ver %d in %s out %s",
                   s, n, sd->ep, sd->app_profile_id, sd->app_device_id, sd->app_device_ver,
                   list16(sd->app_in_cluster_list, sd->app_in_cluster_count).c_str(),
                   list16(sd->app_out_cluster_list, sd->app_out_cluster_count).c_str());
        },
        [](ZBIF_HANDLE, uchar s, ushort n, uchar c, uchar* l) {
            record("ZDO_ACTIVE_EP_DESC_confirm %02X %04X %d [%s]", s, n, c, hex(l, c).c_str());
        },
        [](ZBIF_HANDLE, uchar s, ushort n, uchar c, uchar* l) {
            record("ZDO_MATCH_DESC_confirm %02X %04X %d [%s]", s, n, c, hex(l, c).c_str());
        },
        [](ZBIF_HANDLE, ushort n, ushort p, uchar, ushort*, uchar, ushort*) {
            record("ZDO_MATCH_DESC_indication %04X %04X", n, p);
        },
        [](ZBIF_HANDLE, uchar s) { record("ZDO_END_DEVICE_BIND_confirm %02X", s); },
        [](ZBIF_HANDLE, ushort n, uchar* ieee, uchar c) {
            record("ZDO_DEVICE_ANNCE_indication %04X %s %02X", n, hex(ieee, 8).c_str(), c);
        },
        [](ZBIF_HANDLE, uchar s) { record("ZIGBEE_STACK_STATUS_indication %02X", s); },
        [](ZBIF_HANDLE, uchar m, uchar* a, uchar de, uchar se, uchar s) {
            record("APSDE_DATA_confirm %d %s %02X %02X %02X", m, hex(a, 8).c_str(), de, se, s);
        },
        [](ZBIF_HANDLE, uchar dm, uchar* da, uchar de, uchar sm, uchar* sa, uchar se, ushort p,
           ushort c, ushort n, uchar* asdu, uchar b, uchar sec) {
            record("APSDE_DATA_indication %d %s %02X %d %s %02X %04X %04X %d [%s] %d %02X", dm,
                   hex(da, 2).c_str(), de, sm, hex(sa, 2).c_str(), se, p, c, n,
                   hex(asdu, n).c_str(), b, sec);
        },
        [](ZBIF_HANDLE, uchar s, ushort e, ushort si, ushort c, ZB_BIND_STRUCT* l) {
            std::string entries;
            for (int i = 0; i < c; i++) {
                char b[128];
                snprintf(b, sizeof(b), " {%s %02X %04X %s %02X}", hex(l[i].src_addr, 8).c_str(),
                         l[i].src_ep, l[i].cluster_id, hex(l[i].dst_addr, 8).c_str(), l[i].dst_ep);
                entries += b;
            }
            record("ZDP_MGMT_BIND_response %02X %d %d %d%s", s, e, si, c, entries.c_str());
        },
        [](ZBIF_HANDLE, uchar s, uchar* src, uchar se, ushort c, uchar* dst, uchar de) {
            record("APSME_BIND_confirm %02X %s %02X %04X %s %02X", s, hex(src, 8).c_str(), se, c,
                   hex(dst, 8).c_str(), de);
        },
        [](ZBIF_HANDLE, uchar s) { record("ZDP_BIND_response %02X", s); },
        [](ZBIF_HANDLE, uchar s) { record("ZDP_UNBIND_response %02X", s); },
        [](ZBIF_HANDLE, uchar s, uchar a, uchar l, uchar* v) {
            record("APSME_GET_confirm %02X %02X %d [%s]", s, a, l, hex(v, l).c_str());
        },
        [](ZBIF_HANDLE, uchar s, uchar a) { record("APSME_SET_confirm %02X %02X", s, a); },
        [](ZBIF_HANDLE, uchar s) { record("MGMT_PERMIT_JOINING_response %02X", s); },
        [](ZBIF_HANDLE, uchar s) { record("MGMT_LEAVE_response %02X", s); },
        [](ZBIF_HANDLE, uchar* ieee, uchar r) {
            record("MGMT_LEAVE_confirm %s %02X", hex(ieee, 8).c_str(), r);
        },
        [](ZBIF_HANDLE, uchar s, ushort c, uchar e) {
            record("ZDO_ERROR_confirm %02X %04X %d", s, c, e);
        },
        [](ZBIF_HANDLE, int e) { record("ZB_LINK_LOST_indication %d", e); },
        nullptr,
        nullptr,
    };
    return cbs;
}

// A stack interface handle whose connection records every packet written.
struct FakeLink {
    zb_conn_status_t conn{};
    zbif_status_t handle{};

    explicit FakeLink(const ZBIFCbs_t* cbs = &recordingCbs()) {
        conn.write = recordWrite;
        conn.handle = 1;
        handle.zbifCbs = cbs;
        handle.zbifFuncs = &zbFreescaleFunctions;
        handle.zb_conn_h = &conn;
        handle.zbifReceiveCb = FREESCALE_ReceiveCb;
        sentPackets().clear();
        calls().clear();
        FREESCALE_ResetState();
    }

    ZBIF_HANDLE h() { return &handle; }

    // Feeds one packet (group, id, L, payload) to the decoder.
    void feed(const Bytes& pkt) {
        FREESCALE_ParseNExec(&handle, pkt.data(), static_cast<int>(pkt.size()));
    }

    std::vector<std::string> sentHex() const {
        std::vector<std::string> out;
        for (const Bytes& b : sentPackets()) {
            out.push_back(hex(b));
        }
        return out;
    }
};

}  // namespace zbtest

#endif
