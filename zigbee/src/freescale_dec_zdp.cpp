// The "freescale" decoder's handlers of the device-profile responses: addresses, descriptors,
// end-point lists, bind results, the neighbour and binding tables and the permit-joining answer.
// Each reads its fields within the packet's length and hands them to the callback table.
#include <stdlib.h>
#include <string.h>

#include "freescale_dec_internal.h"

namespace fsdec {

namespace {
constexpr int kMaxBindEntries = 6;
constexpr int kBindEntryBytes = 21;
constexpr int kNeighbourEntryBytes = 22;
}  // namespace

// Network- and IEEE-address responses share one layout: status, IEEE (wire order reversed),
// network address, associated-device count, start index, associated-device list.
template <bool kIeee>
void onAddrResponse(const Pkt& k) {
    const char* what = kIeee ? "ZDP-IEEE_addr.response" : "ZDP-NWK_addr.response";
    if (!need(k, 3, what)) {
        return;
    }
    uchar status = k.p[3];
    uchar ieee[8] = {0};
    ushort nwk = 0;
    uchar count = 0;
    uchar start = 0;
    ushort list[128];
    if (k.has(13)) {
        reversed8(k.p + 4, ieee);
        nwk = k.u16(12);
    } else if (status == 0) {
        need(k, 13, what);
        return;
    }
    if (k.has(14)) {
        count = k.p[14];
    }
    if (k.has(15)) {
        start = k.p[15];
    }
    if (count > 0) {
        if (!need(k, 15 + 2 * count, what)) {
            return;
        }
        for (int i = 0; i < count; i++) {
            list[i] = k.u16(16 + 2 * i);
        }
    }
    ushort* listArg = count > 0 ? list : nullptr;
    if (kIeee) {
        CALL(k, ZDO_IEEE_ADDR_confirm, status, ieee, nwk, count, start, listArg);
    } else {
        CALL(k, ZDO_NWK_ADDR_confirm, status, ieee, nwk, count, start, listArg);
    }
}

void onNodeDescResponse(const Pkt& k) {
    const char* what = "ZDP-NodeDescriptor.Response";
    if (!need(k, 5, what)) {
        return;
    }
    ZB_NODE_DESC nd;
    ZB_Init_NODE_DESC(&nd);
    if (k.has(15)) {
        const uchar* p = k.p;
        nd.logical_type = p[6] & 7;
        nd.aps_flags = p[7] & 7;
        nd.freq_band = p[7] >> 3;
        nd.mac_cap = p[8];
        nd.manifact_code = k.u16(9);
        nd.max_buf_size = p[11];
        nd.max_transf_size = k.u16(12);
        nd.server_mask = k.u16(14);
    } else if (k.p[3] == 0) {
        need(k, 15, what);
        return;
    }
    CALL(k, ZDO_NODE_DESC_confirm, k.p[3], k.u16(4), &nd);
}

void onPowerDescResponse(const Pkt& k) {
    const char* what = "ZDO_POWER_DESC_confirm";
    if (!need(k, 5, what)) {
        return;
    }
    ZB_POWER_DESC pd;
    memset(&pd, 0, sizeof(pd));
    if (k.has(7)) {
        pd.curr_pw_mode = k.p[6] & 0x0F;
        pd.avail_pw_src = k.p[6] >> 4;
        pd.curr_pw_src = k.p[7] & 0x0F;
        pd.curr_pw_src_level = k.p[7] >> 4;
    } else if (k.p[3] == 0) {
        need(k, 7, what);
        return;
    }
    CALL(k, ZDO_POWER_DESC_confirm, k.p[3], k.u16(4), &pd);
}

void onSimpleDescResponse(const Pkt& k) {
    const char* what = "ZDO_SIMPLE_DESC_confirm";
    if (!need(k, 3, what)) {
        return;
    }
    const uchar* p = k.p;
    if (p[3] != 0) {
        printf("ZDO_SIMPLE_DESC_confirm - status failed %02x %02x %02x %02x\n", p[0], p[1], p[2],
               p[3]);
        return;
    }
    if (!need(k, 6, what)) {
        return;
    }
    ZB_SIMPLE_DESC sd;
    ZB_Init_SIMPLE_DESC(&sd);
    if (p[6] == 0) {
        puts("SimpleDescriptor not present");
        CALL(k, ZDO_SIMPLE_DESC_confirm, p[3], k.u16(4), &sd);
        return;
    }
    if (!need(k, 13, what)) {
        return;
    }
    int nin = p[13];
    int outAt = 14 + 2 * nin;
    if (!need(k, outAt, what)) {
        return;
    }
    int nout = p[outAt];
    if (!need(k, outAt + 2 * nout, what)) {
        return;
    }
    sd.ep = p[7];
    sd.app_profile_id = k.u16(8);
    sd.app_device_id = k.u16(10);
    sd.app_device_ver = p[12] & 0x0F;
    sd.reserved = p[12] >> 4;
    sd.app_in_cluster_count = static_cast<uchar>(nin);
    sd.app_out_cluster_count = static_cast<uchar>(nout);
    if (nin > 0) {
        ushort* in = static_cast<ushort*>(malloc(nin * sizeof(ushort)));
        for (int i = 0; i < nin; i++) {
            in[i] = k.u16(14 + 2 * i);
        }
        sd.app_in_cluster_list = in;
    }
    if (nout > 0) {
        ushort* out = static_cast<ushort*>(malloc(nout * sizeof(ushort)));
        for (int i = 0; i < nout; i++) {
            out[i] = k.u16(outAt + 1 + 2 * i);
        }
        sd.app_out_cluster_list = out;
    }
    CALL(k, ZDO_SIMPLE_DESC_confirm, p[3], k.u16(4), &sd);
    ZB_Free_SIMPLE_DESC(&sd);
}

// Active-end-point and match-descriptor responses end in a count (offset 6) and that many end
// points, copied to the shared buffer. A successful answer cut short is dropped (false); a failed
// one hands on an empty list.
static bool readEndpointList(const Pkt& k, const char* what, uchar& count) {
    count = k.has(6) ? k.p[6] : 0;
    if (k.p[3] == 0 && !need(k, 6 + count, what)) {
        return false;
    }
    if (!k.has(6 + count)) {
        count = 0;
    }
    memset(fsState.g_data_uchar_1, 0, sizeof(fsState.g_data_uchar_1));
    memcpy(fsState.g_data_uchar_1, k.p + 7, count);
    return true;
}

void onActiveEpResponse(const Pkt& k) {
    const char* what = "ZDP-Active_EP.Response";
    uchar count = 0;
    if (!need(k, 3, what) || !readEndpointList(k, what, count)) {
        return;
    }
    ushort nwk = k.has(5) ? k.u16(4) : 0;
    CALL(k, ZDO_ACTIVE_EP_DESC_confirm, k.p[3], nwk, count, fsState.g_data_uchar_1);
}

void onMatchDescResponse(const Pkt& k) {
    const char* what = "ZDP-Match_Desc.Response";
    uchar count = 0;
    if (!need(k, 3, what) || !readEndpointList(k, what, count)) {
        return;
    }
    // This answer carries its network address high byte first.
    ushort nwk = k.has(5) ? static_cast<ushort>(k.p[4] * 256 + k.p[5]) : 0;
    CALL(k, ZDO_MATCH_DESC_confirm, k.p[3], nwk, count, fsState.g_data_uchar_1);
}

void onEndDeviceBindResponse(const Pkt& k) {
    if (need(k, 3, "ZDP-End_Device_Bind.Response")) {
        CALL(k, ZDO_END_DEVICE_BIND_confirm, k.p[3]);
    }
}

void onBindResponse(const Pkt& k) {
    if (need(k, 3, "ZDP-Bind.Response")) {
        CALL(k, ZDP_BIND_response, k.p[3]);
    }
}

void onUnbindResponse(const Pkt& k) {
    if (need(k, 3, "ZDP-Unbind.Response")) {
        CALL(k, ZDP_UNBIND_response, k.p[3]);
    }
}

// True when a ZDP table response is an error answer without its table header (a device that
// does not support the request answers with its status byte alone): it is delivered with an
// empty list.
static bool statusOnly(const Pkt& k, int headerLast) {
    return k.has(3) && k.p[3] != 0 && !k.has(headerLast);
}

void onLqiResponse(const Pkt& k) {
    const char* what = "ZDP-Mgmt_Lqi.Response";
    // From the length byte on, zero-filled past the packet: a status-only answer reads as a
    // header of zeros.
    uchar data[256] = {0};
    if (!statusOnly(k, 6)) {
        if (!need(k, 6, what)) {
            return;
        }
        // The layer above reads list-count entries after the header: they must all be here.
        int count = k.p[6];
        if (!need(k, 6 + kNeighbourEntryBytes * count, what)) {
            return;
        }
    }
    memcpy(data, k.p + 2, k.L + 1);
    uchar src[2] = {fsState.lastSrcAddr[0], fsState.lastSrcAddr[1]};
    CALL(k, ZB_MGMT_LQI_response, fsState.lastSrcAddrMode, src, data);
}

void onBindTableResponse(const Pkt& k) {
    const char* what = "ZDP-Mgmt_Bind.Response";
    if (statusOnly(k, 6)) {
        CALL(k, ZDP_MGMT_BIND_response, k.p[3], 0, 0, 0, nullptr);
        return;
    }
    if (!need(k, 6, what)) {
        return;
    }
    const uchar* p = k.p;
    int listed = p[6];
    int count = listed > kMaxBindEntries ? kMaxBindEntries : listed;
    if (!need(k, 6 + kBindEntryBytes * count, what)) {
        return;
    }
    ZB_BIND_STRUCT entries[kMaxBindEntries];
    memset(entries, 0, sizeof(entries));
    for (int i = 0; i < count; i++) {
        const uchar* e = p + 7 + kBindEntryBytes * i;
        reversed8(e, entries[i].src_addr);
        entries[i].src_ep = e[8];
        entries[i].cluster_id = static_cast<ushort>(e[9] | (e[10] << 8));
        reversed8(e + 12, entries[i].dst_addr);
        entries[i].dst_ep = e[20];
    }
    // The count handed on is the number of records in the array, never more.
    CALL(k, ZDP_MGMT_BIND_response, p[3], p[4], p[5], static_cast<ushort>(count), entries);
}

void onPermitJoinResponse(const Pkt& k) {
    if (!need(k, 3, "ZDP-Mgmt_Permit_Join.response")) {
        return;
    }
    printf("ZDP-Mgmt_Permit_Join.response - status %02x\n", k.p[3]);
    CALL(k, MGMT_PERMIT_JOINING_response, k.p[3]);
}

template void onAddrResponse<false>(const Pkt& k);
template void onAddrResponse<true>(const Pkt& k);

}  // namespace fsdec
