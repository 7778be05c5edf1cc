// What the decoder's files share (freescale_dec.cpp, freescale_dec_zdp.cpp): one received
// packet, its length checks and trace, and the handlers of the device-profile responses that the
// decode table names. Internal to the "freescale" back-end; reader thread only.
#pragma once

#include <stdio.h>

#include <tuple>

#include "zigbee_local.h"

namespace fsdec {

// One received packet: p[0] group, p[1] id, p[2] L, payload p[3 .. 2+L].
struct Pkt {
    ZBIF_HANDLE h;
    const uchar* p;
    int L;
    const ZBIFCbs_t* cb;
    FsLock* lock;  // released while a callback runs

    // True when packet offset `last` lies within the packet.
    bool has(int last) const { return last <= 2 + L; }
    ushort u16(int at) const { return static_cast<ushort>(p[at] | (p[at + 1] << 8)); }
};

// Traces and drops a packet whose fields run past its length.
inline bool need(const Pkt& k, int last, const char* what) {
    if (k.has(last)) {
        return true;
    }
    printf("%s - packet too short (length %d, %d needed), dropped\n", what, k.L, last - 2);
    return false;
}

inline void trace(const Pkt& k, const char* label) {
    printf("%s", label);
    for (int i = 0; i < k.L; i++) {
        printf("%02X ", k.p[2 + i]);
    }
    printf("\n");
}

inline void reversed8(const uchar* src, uchar* dst) {
    for (int i = 0; i < 8; i++) {
        dst[i] = src[7 - i];
    }
}

// Calls a callback slot without the state lock. A callback may disconnect the handle
// (ZBIFDisconnect on the reader thread leaves it without a connection): the packet's handler
// then ends at once, so no further callback or request follows on that handle. The arguments
// are read while the lock is still held: they may name module-wide state a request thread writes.
#define CALL(k, slot, ...)                                         \
    do {                                                           \
        if ((k).cb->slot != nullptr) {                             \
            auto callArgs = std::make_tuple((k).h, ##__VA_ARGS__); \
            (k).lock->unlock();                                    \
            std::apply((k).cb->slot, callArgs);                    \
            (k).lock->lock();                                      \
            if ((k).h->zb_conn_h == nullptr) {                     \
                return;                                            \
            }                                                      \
        }                                                          \
    } while (0)

// The device-profile responses (freescale_dec_zdp.cpp).
template <bool kIeee>
void onAddrResponse(const Pkt& k);
void onNodeDescResponse(const Pkt& k);
void onPowerDescResponse(const Pkt& k);
void onSimpleDescResponse(const Pkt& k);
void onActiveEpResponse(const Pkt& k);
void onMatchDescResponse(const Pkt& k);
void onEndDeviceBindResponse(const Pkt& k);
void onBindResponse(const Pkt& k);
void onUnbindResponse(const Pkt& k);
void onLqiResponse(const Pkt& k);
void onBindTableResponse(const Pkt& k);
void onPermitJoinResponse(const Pkt& k);

}  // namespace fsdec
