// What the encoder's files share (freescale_if.cpp, freescale_attr.cpp): the packet under
// construction and the steps that seal and send it. Internal to the "freescale" back-end.
#pragma once

#include "zigbee_local.h"

namespace fsenc {

constexpr int kPacketBytes = 255;

struct Packet {
    uchar b[kPacketBytes];
    int n;  // bytes written so far (header included)

    Packet(uchar group, uchar id) : b{}, n(3) {
        b[0] = group;
        b[1] = id;
    }
    void u8(uchar v) {
        if (n < kPacketBytes) {
            b[n] = v;
        }
        n++;
    }
    void u16(ushort v) {
        u8(v & 0xFF);
        u8(v >> 8);
    }
    void bytes(const uchar* p, int len) {
        for (int i = 0; i < len; i++) {
            u8(p[i]);
        }
    }
    void reversed(const uchar* p, int len) {
        for (int i = len - 1; i >= 0; i--) {
            u8(p[i]);
        }
    }
    // A cluster count, then that many cluster ids.
    void clusters(const ushort* list, uchar count) {
        u8(count);
        for (int i = 0; i < count; i++) {
            u16(list[i]);
        }
    }
    // Fixes the length byte; false when the payload does not fit one frame.
    bool seal() {
        int len = n - 3;
        if (len > ZB_MAX_PAYLOAD) {
            return false;
        }
        b[2] = static_cast<uchar>(len);
        return true;
    }
};

// Writes why a payload of `payload` bytes is not sent; true when it exceeds one frame.
bool refuseTooLong(const char* who, int payload);
// Seals the packet and sends it, or writes why it does not fit.
void sendSealed(ZBIF_HANDLE handle, Packet& pkt, const char* label, const char* who);
// The set confirm of an attribute the back-end keeps itself, at once, on the calling thread.
void confirmSetNow(ZBIF_HANDLE handle, uchar attr);
void printKey(const char* label, const uchar* key);

// The attribute reads and writes (freescale_attr.cpp).
void FREESCALE_APSME_GET_request(ZBIF_HANDLE handle, uchar attr);
void FREESCALE_APSME_SET_request(ZBIF_HANDLE handle, uchar attr, uchar attr_len, uchar* attr_value);

}  // namespace fsenc
