// The "freescale" encoder's attribute reads and writes: APSME-GET by attribute, and APSME-SET,
// which the back-end either keeps in the module-wide state (start-up attribute set, key table,
// keys; confirmed at once) or sends to the module. Runs on the requesting thread under fsMutex.
#include <stdio.h>
#include <string.h>

#include "freescale_if_internal.h"

namespace fsenc {

namespace {

// APSME-GET and APSME-SET name the attribute by its id followed by three zero bytes.
Packet attributePacket(uchar id, uchar attr) {
    Packet pkt(0xA3, id);
    pkt.u8(attr);
    pkt.u8(0);
    pkt.u8(0);
    pkt.u8(0);
    return pkt;
}

}  // namespace

void FREESCALE_APSME_GET_request(ZBIF_HANDLE handle, uchar attr) {
    FsLock lock(fsMutex);
    fsState.attr_prev = attr;
    // The IEEE address and the channel have commands of their own; the rest go by attribute id.
    if (attr == ZB_ATTR_GET_EUI64) {
        Packet pkt(0xA3, 0xD2);
        sendSealed(handle, pkt, "APSME_GET->", "APSME_GET_request");
    } else if (attr == ZB_ATTR_GET_CHANNEL_MASK) {
        Packet pkt(0xA3, 0x12);
        sendSealed(handle, pkt, "APSME_GET->", "APSME_GET_request");
    } else {
        Packet pkt = attributePacket(0x20, attr);
        sendSealed(handle, pkt, "APSME_GET->", "APSME_GET_request");
    }
}

namespace {

void genericSet(ZBIF_HANDLE handle, uchar attr, const uchar* value, int len) {
    const char* who = "APSME_SET_request";
    if (refuseTooLong(who, 4 + len)) {
        return;
    }
    Packet pkt = attributePacket(0x21, attr);
    pkt.bytes(value, len);
    sendSealed(handle, pkt, "APSME_SET->", who);
}

void emptySet(ZBIF_HANDLE handle) {
    Packet pkt(0xA3, 0x21);
    sendSealed(handle, pkt, "APSME_SET->", "APSME_SET_request");
}

// A fragmentation setting arrives as two bytes; the module takes the first under its own id.
void fragmentationSet(ZBIF_HANDLE handle, uchar moduleAttr, uchar attr_len, const uchar* v) {
    if (attr_len == 2) {
        genericSet(handle, moduleAttr, v, 1);
    } else {
        emptySet(handle);
    }
}

// A key is set from exactly 16 value bytes and kept last byte first; false when the length is off.
bool setKey(const char* attrName, uchar attr_len, const uchar* v, uchar* key, const char* label) {
    if (attr_len != 16) {
        return false;
    }
    printf("FREESCALE_APSME_SET_request - %s\n", attrName);
    for (int i = 0; i < 16; i++) {
        key[i] = v[15 - i];
    }
    printKey(label, key);
    return true;
}

bool needValue(uchar attr, uchar attr_len, const uchar* value, int needed) {
    if (attr_len >= needed && value != nullptr) {
        return true;
    }
    fprintf(stderr,
            "APSME_SET_request - ERROR: attribute 0x%02x needs %d value bytes, got %d; not set\n",
            attr, needed, value ? attr_len : 0);
    return false;
}

void setSimpleDescriptor(ZBIF_HANDLE handle, uchar attr_len, const uchar* v) {
    puts("FREESCALE_APSME_SET_request - ZB_ATTR_CONFIG_SIMPLE_DESCRIPTOR");
    if (!needValue(ZB_ATTR_CONFIG_SIMPLE_DESCRIPTOR, attr_len, v, 8)) {
        return;
    }
    int nin = v[6];
    int nout = v[7];
    if (8 + 2 * nin > attr_len) {
        fprintf(stderr,
                "APSME_SET_request - ERROR: simple descriptor of %d bytes shorter than its %d "
                "input clusters; not set\n",
                attr_len, nin);
        return;
    }
    (void)nout;
    if (refuseTooLong("APSME_SET_request", attr_len + 1)) {
        return;
    }
    // The module wants each cluster count directly before its list.
    Packet pkt(0xA3, 0x0B);
    pkt.bytes(v, 7);
    pkt.bytes(v + 8, 2 * nin);
    pkt.u8(v[7]);
    pkt.bytes(v + 8 + 2 * nin, attr_len - 8 - 2 * nin);
    pkt.u8(0x01);
    sendSealed(handle, pkt, "APSME_SET->", "APSME_SET_request");
}

// Applies a set request under fsMutex; true when it is confirmed at once (by the caller, after
// the lock is released).
bool applySet(ZBIF_HANDLE handle, uchar attr, uchar attr_len, uchar* attr_value) {
    fsState.attr_prev = attr;
    ZBPrint_APSME_SET_request(attr, attr_len, attr_value);
    const uchar* v = attr_value;
    if (attr_len > 0 && v == nullptr) {
        fprintf(stderr, "APSME_SET_request - ERROR: value missing, not sent\n");
        return false;
    }
    WriteSASAttribute& s = fsState.sasAttr;
    switch (attr) {
        case ZB_ATTR_KEY_TABLE_SIZE:
            if (!needValue(attr, attr_len, v, 1)) {
                return false;
            }
            fsState.TCLinkKeyTableSize = v[0];
            printf("ZB_ATTR_KEY_TABLE_SIZE value = %02x\n", v[0]);
            if (fsState.TCLinkKeyTableSize > TC_LINK_KEY_TABLE_ROWS) {
                fprintf(stderr, "APSME_SET_request - key table size %d limited to %d rows\n",
                        fsState.TCLinkKeyTableSize, TC_LINK_KEY_TABLE_ROWS);
                fsState.TCLinkKeyTableSize = TC_LINK_KEY_TABLE_ROWS;
            }
            return true;
        case ZB_ATTR_CONFIG_SIMPLE_DESCRIPTOR:
            setSimpleDescriptor(handle, attr_len, v);
            return false;
        case ZB_ATTR_CONFIG_STARTUPCONTROL:
            puts("FREESCALE_APSME_SET_request - ZB_ATTR_CONFIG_STARTUPCONTROL");
            if (!needValue(attr, attr_len, v, 1)) {
                return false;
            }
            s.StartupControl = v[0];
            return true;
        case ZB_ATTR_CONFIG_EXTENDEDPANID:
            if (attr_len != 8) {
                return false;
            }
            puts("FREESCALE_APSME_SET_request - ZB_ATTR_CONFIG_EXTENDEDPANID");
            memcpy(s.ExtendedPANId, v, 8);
            printf("ExtendedPANId: %02x %02x %02x %02x %02x %02x %02x %02x\n", v[7], v[6], v[5],
                   v[4], v[3], v[2], v[1], v[0]);
            return true;
        case ZB_ATTR_CONFIG_PANID:
            if (attr_len != 2) {
                return false;
            }
            puts("FREESCALE_APSME_SET_request - ZB_ATTR_CONFIG_PANID");
            s.PANId = static_cast<ushort>(v[0] | (v[1] << 8));
            return true;
        case ZB_ATTR_CONFIG_NODE_DESCRIPTOR:
            if (!needValue(attr, attr_len, v, 1)) {
                return false;
            }
            fsState.DevType = v[0] & 7;
            printf("FREESCALE_APSME_SET_request::ZB_ATTR_CONFIG_NODE_DESCRIPTOR - DevType %02x\n",
                   fsState.DevType);
            return true;
        case ZB_ATTR_CONFIG_SECURITY:
            if (attr_len != 1) {
                return false;
            }
            fsState.selectedSecLevel = v[0];
            return true;
        case ZB_ATTR_CONFIG_CHANNEL_MASK:
            if (attr_len == 4) {
                s.ChannelsMask[3] = v[0];
                s.ChannelsMask[2] = v[1];
                s.ChannelsMask[1] = v[2];
                s.ChannelsMask[0] = v[3];
                printf("Selected radio channel = %02x%02x%02x%02x\n", s.ChannelsMask[0],
                       s.ChannelsMask[1], s.ChannelsMask[2], s.ChannelsMask[3]);
                FREESCALE_WriteSAS_request(handle);
            } else {
                emptySet(handle);
            }
            return false;
        case ZB_ATTR_KEY_TABLE_ENTRY: {
            if (!needValue(attr, attr_len, v, 26)) {
                return false;
            }
            int row = v[0];
            if (row >= TC_LINK_KEY_TABLE_ROWS) {
                fprintf(stderr, "APSME_SET_request - ERROR: link-key row %d above %d, refused\n",
                        row, TC_LINK_KEY_TABLE_ROWS - 1);
                return false;
            }
            uchar* dst = fsState.TCLinkKeyTable[row];
            memset(dst, 0, TC_LINK_KEY_ROW_BYTES);
            dst[0] = 0xA3;
            dst[1] = 0x3E;
            dst[2] = 25;
            memcpy(dst + 3, v + 1, 25);
            dst[3 + 8] = 0x03;
            return true;
        }
        case ZB_ATTR_PRECONF_TC_LINK_KEY:
            return setKey("ZB_ATTR_PRECONF_TC_LINK_KEY", attr_len, v,
                          s.PreconfiguredTrustCenterLinkKey, "preconfiguredTCLinkKey: ");
        case ZB_ATTR_NWK_KEY:
            return setKey("ZB_ATTR_NWK_KEY", attr_len, v, s.NetworkKey, "NETWORK KEY STORED: ");
        case EZSP_TRUST_CENTER_POLICY:
        case ZB_TC_KEY_REQUEST_POLICY:
        case ZB_APP_KEY_REQUEST_POLICY:
            return true;
        case ZB_ATTR_CONFIG_FRAGMENT_WINDOW_SIZE:
            fragmentationSet(handle, 0xCD, attr_len, v);
            return false;
        case ZB_ATTR_CONFIG_FRAGMENT_DELAY_MS:
            fragmentationSet(handle, 0xC9, attr_len, v);
            return false;
        default:
            genericSet(handle, attr, v, attr_len);
            return false;
    }
}
}  // namespace

void FREESCALE_APSME_SET_request(ZBIF_HANDLE handle, uchar attr, uchar attr_len,
                                 uchar* attr_value) {
    bool confirm;
    {
        FsLock lock(fsMutex);
        confirm = applySet(handle, attr, attr_len, attr_value);
    }
    if (confirm) {
        confirmSetNow(handle, attr);
    }
}

}  // namespace fsenc
