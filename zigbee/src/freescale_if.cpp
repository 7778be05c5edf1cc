// Request encoders of the "freescale" back-end: every slot of zbFreescaleFunctions and the
// internal commands sent on their behalf. Each encoder fills a zeroed 255-byte packet, dumps it
// and hands it to the connection, which frames and writes it. Encoders run on the requesting
// thread; the module-wide state below is shared with the decoder (reader thread) without a lock,
// as the start-up sequence issues the requests that depend on it one at a time.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "freescale_if_internal.h"

FreescaleState fsState;
std::recursive_mutex fsMutex;

namespace fsenc {

bool refuseTooLong(const char* who, int payload) {
    if (payload <= ZB_MAX_PAYLOAD) {
        return false;
    }
    fprintf(stderr, "%s - ERROR: payload of %d bytes exceeds the frame limit of %d, not sent\n",
            who, payload, ZB_MAX_PAYLOAD);
    return true;
}

static bool refuseNull(const char* who, const void* p, const char* what) {
    if (p != nullptr) {
        return false;
    }
    fprintf(stderr, "%s - ERROR: %s missing, not sent\n", who, what);
    return true;
}

void sendSealed(ZBIF_HANDLE handle, Packet& pkt, const char* label, const char* who) {
    if (!pkt.seal()) {
        refuseTooLong(who, pkt.n - 3);
        return;
    }
    FREESCALE_SendPacket(handle, pkt.b, label, who);
}

void confirmSetNow(ZBIF_HANDLE handle, uchar attr) {
    if (handle && handle->zbifCbs && handle->zbifCbs->APSME_SET_confirm) {
        handle->zbifCbs->APSME_SET_confirm(handle, 0, attr);
    }
}

static void notYetImplemented(const char* file, int line, const char* func) {
    printf("NOT YET IMPLEMENTED: %s:%d:%s\n", file, line, func);
}

void printKey(const char* label, const uchar* key) {
    printf("%s", label);
    for (int i = 0; i < 16; i++) {
        printf("%02x ", key[i]);
    }
    printf("\n");
}

}  // namespace fsenc

using namespace fsenc;

namespace {

void loadSasDefaults() {
    WriteSASAttribute& s = fsState.sasAttr;
    memset(&s, 0, sizeof(s));
    s.ShortAddress = 0xFFFF;
    if (fsState.useCommissioningMode && fsState.useSilentStart) {
        s.ShortAddress = 0x0000;
        puts("ZDO_RESET_request - ShortAddress set to 0x0000 due to TC Replacement");
    }
    s.PANId = 0xFFFF;
    s.ProtocolVersion = 2;
    s.StackProfile = 2;
    s.StartupControl = 0;
    memset(s.TrustCenterAddress, 0xAA, sizeof(s.TrustCenterAddress));
    s.UseInsecureJoin = 1;
    s.ActiveNwkKeySeqNumber = 0;
    s.NetworkKeyType = 1;
    s.NetworkManagerAddress = 0;
    s.Scanattempts = 3;
    s.Timebetweenscans = 100;
    s.RejoinInterval = 2;
    s.MaximumRejoinInterval = 3600;
    s.IndirectPollRate = 3000;
    s.ParentLinkRetryThreshold = 2;
    s.IsConcentrator = 0;
    s.ConcentratorRadius = 5;
    s.ConcentratorDiscoveryTime = 0;
}

// ---- Request table slots ----

void FREESCALE_ZDO_RESET_request(ZBIF_HANDLE handle, uchar options) {
    uchar restart;
    {
        FsLock lock(fsMutex);
        fsState.restartGWafterReset = options & ZB_RESET_OPT_RESTART_GW;
        fsState.useCommissioningMode = options & ZB_RESET_OPT_COMMISSIONING;
        fsState.generateRandomIEEEAddr = options & ZB_RESET_OPT_RANDOM_IEEE;
        fsState.useSilentStart = options & ZB_RESET_OPT_SILENT_START;
        restart = fsState.restartGWafterReset;
        if (options & ZB_RESET_OPT_RESET) {
            FREESCALE_ZTC_RESET_request(handle);
            loadSasDefaults();
            return;
        }
    }
    puts("Reset already called, fine!");
    if (handle && handle->zbifCbs && handle->zbifCbs->ZDO_RESET_confirm) {
        handle->zbifCbs->ZDO_RESET_confirm(handle, 0, restart);
    }
}

void FREESCALE_ZDO_START_request(ZBIF_HANDLE handle) {
    FsLock lock(fsMutex);
    if (handle) {
        handle->state = 1;
    }
    if (fsState.useCommissioningMode) {
        puts("\n***************************");
        puts("USING COMMISSIONING SETTING\n***************************\n");
    } else {
        puts("\n*****************");
        puts("USING NVM SETTING\n*****************\n");
    }
    // By device type: 1 coordinator, 2 router, 3 end device; any other 0.
    static const uchar kDeviceByte[4] = {0x00, 0xC0, 0x80, 0x20};
    Packet pkt(0xA3, 0xE7);
    pkt.u8(fsState.DevType <= 3 ? kDeviceByte[fsState.DevType] : 0x00);
    pkt.u8(fsState.useCommissioningMode ? 0x18 : 0x00);
    pkt.u8(fsState.useSilentStart ? 0x04 : 0x00);
    sendSealed(handle, pkt, "ZTC_START_NETWORK->", "ZDO_START_request");
}

void FREESCALE_ZDP_MGMT_NWK_UPDATE_request(ZBIF_HANDLE handle, unsigned long scanChannel,
                                           ushort scanDuration) {
    if (scanDuration != 0xFE && scanDuration > 5) {
        puts(
            "ZDP_MGMT_NWK_UPDATE_request - ERROR: not supported for scanDuration != 0xfe or > "
            "0x05!");
        return;
    }
    FsLock lock(fsMutex);
    Packet pkt(0xA2, 0x38);
    pkt.u16(0xFFFD);
    pkt.u8(scanChannel & 0xFF);
    pkt.u8((scanChannel >> 8) & 0xFF);
    pkt.u8((scanChannel >> 16) & 0xFF);
    pkt.u8((scanChannel >> 24) & 0xFF);
    pkt.u8(scanDuration & 0xFF);
    if (scanDuration == 0xFE) {
        pkt.u8(static_cast<uchar>(fsState.zdp_mgmt_NwkUpdateIdCounter));
        fsState.zdp_mgmt_NwkUpdateIdCounter++;
    } else {
        pkt.u8(1);
    }
    sendSealed(handle, pkt, "ZDP_MGMT_NWK_UPDATE_request->", "ZDP_MGMT_NWK_UPDATE_request");
    puts("ZDP_MGMT_NWK_UPDATE_request called!");
}

void FREESCALE_ZDO_NWK_ADDR_request(ZBIF_HANDLE handle, uchar* ieee_addr, uchar request_type,
                                    uchar start_index) {
    if (refuseNull("ZDO_NWK_ADDR_request", ieee_addr, "IEEE address")) {
        return;
    }
    Packet pkt(0xA2, 0x00);
    pkt.u16(0xFFFF);
    pkt.reversed(ieee_addr, 8);
    pkt.u8(request_type);
    pkt.u8(start_index);
    sendSealed(handle, pkt, "ZDO_NWK_ADDR->", "ZDO_NWK_ADDR_request");
}

void FREESCALE_ZDO_IEEE_ADDR_request(ZBIF_HANDLE handle, ushort nwk_addr, uchar request_type,
                                     uchar start_index) {
    Packet pkt(0xA2, 0x01);
    pkt.u16(nwk_addr);
    pkt.u16(nwk_addr);
    pkt.u8(request_type);
    pkt.u8(start_index);
    sendSealed(handle, pkt, "ZDO_IEEE_ADDR->", "ZDO_IEEE_ADDR_request");
}

void FREESCALE_ZB_MGMT_LQI_request(ZBIF_HANDLE handle, ushort nwk_addr, uchar start_index) {
    Packet pkt(0xA2, 0x31);
    pkt.u16(nwk_addr);
    pkt.u8(start_index);
    sendSealed(handle, pkt, "MGMT_LQI_request->", "ZB_MGMT_LQI_request");
}

void descriptorRequest(ZBIF_HANDLE handle, uchar id, ushort dst_addr, ushort nwk_addr,
                       const char* label, const char* who) {
    Packet pkt(0xA2, id);
    pkt.u16(dst_addr);
    pkt.u16(nwk_addr);
    sendSealed(handle, pkt, label, who);
}

void FREESCALE_ZDO_NODE_DESC_request(ZBIF_HANDLE handle, ushort dst_addr, ushort nwk_addr) {
    descriptorRequest(handle, 0x02, dst_addr, nwk_addr, "ZDO_NODE_DESC->", "ZDO_NODE_DESC_request");
}

void FREESCALE_ZDO_POWER_DESC_request(ZBIF_HANDLE handle, ushort dst_addr, ushort nwk_addr) {
    descriptorRequest(handle, 0x03, dst_addr, nwk_addr, "ZDO_POWER_DESC->",
                      "ZDO_POWER_DESC_request");
}

void FREESCALE_ZDO_SIMPLE_DESC_request(ZBIF_HANDLE handle, ushort dst_addr, ushort nwk_addr,
                                       uchar endpoint) {
    Packet pkt(0xA2, 0x04);
    pkt.u16(dst_addr);
    pkt.u16(nwk_addr);
    pkt.u8(endpoint);
    sendSealed(handle, pkt, "ZDO_SIMPLE_DESC->", "ZDO_SIMPLE_DESC_request");
}

void FREESCALE_ZDO_ACTIVE_EP_DESC_request(ZBIF_HANDLE handle, ushort dst_addr, ushort nwk_addr) {
    descriptorRequest(handle, 0x05, dst_addr, nwk_addr, "ZDO_ACTIVE_EP_DESC_request->",
                      "ZDO_ACTIVE_EP_DESC_request");
}

bool clusterListsOk(const char* who, uchar nicl, const ushort* icl, uchar nocl, const ushort* ocl) {
    if (nicl > 0 && refuseNull(who, icl, "input cluster list")) {
        return false;
    }
    if (nocl > 0 && refuseNull(who, ocl, "output cluster list")) {
        return false;
    }
    return true;
}

void FREESCALE_ZDO_MATCH_DESC_request(ZBIF_HANDLE handle, ushort dst_addr, ushort nwk_addr,
                                      ushort profile_id, uchar nicl, ushort* icllist, uchar nocl,
                                      ushort* ocllist) {
    const char* who = "ZDO_MATCH_DESC_request";
    if (refuseTooLong(who, 8 + 2 * (nicl + nocl)) ||
        !clusterListsOk(who, nicl, icllist, nocl, ocllist)) {
        return;
    }
    Packet pkt(0xA2, 0x06);
    pkt.u16(dst_addr);
    pkt.u16(nwk_addr);
    pkt.u16(profile_id);
    pkt.clusters(icllist, nicl);
    pkt.clusters(ocllist, nocl);
    sendSealed(handle, pkt, "ZDO_MATCH_DESC->", who);
}

void FREESCALE_ZDO_MATCH_DESC_response(ZBIF_HANDLE, uchar, ushort, uchar, uchar*) {
    notYetImplemented(__FILE__, __LINE__, __func__);
}

void FREESCALE_ZDO_END_DEVICE_BIND_request(ZBIF_HANDLE handle, ushort binding_target,
                                           uchar* src_ieee_addr, uchar src_ep, ushort profile_id,
                                           uchar nicl, ushort* icllist, uchar nocl,
                                           ushort* ocllist) {
    const char* who = "ZDO_END_DEVICE_BIND_request";
    if (refuseTooLong(who, 15 + 2 * (nicl + nocl)) ||
        refuseNull(who, src_ieee_addr, "source IEEE address") ||
        !clusterListsOk(who, nicl, icllist, nocl, ocllist)) {
        return;
    }
    Packet pkt(0xA2, 0x20);
    pkt.u16(binding_target);
    pkt.reversed(src_ieee_addr, 8);
    pkt.u8(src_ep);
    pkt.u16(profile_id);
    pkt.clusters(icllist, nicl);
    pkt.clusters(ocllist, nocl);
    sendSealed(handle, pkt, "ZDO_END_DEVICE_BIND->", who);
}

void FREESCALE_APSDE_DATA_request(ZBIF_HANDLE handle, uchar dst_addr_mode, uchar* dst_addr,
                                  uchar dst_ep, ushort profile_id, ushort cluster_id, uchar src_ep,
                                  uchar asdu_len, uchar* asdu, uchar tx_options, uchar radius) {
    const char* who = "APSDE_DATA_request";
    ZBPrint_APSDE_DATA_request(dst_addr_mode, dst_addr, dst_ep, profile_id, cluster_id, src_ep,
                               asdu_len, asdu, tx_options, radius);
    if (refuseNull(who, dst_addr, "destination address") ||
        (asdu_len > 0 && refuseNull(who, asdu, "asdu"))) {
        return;
    }
    ushort dst16 = static_cast<ushort>(dst_addr[0] | (dst_addr[1] << 8));
    bool zdp = profile_id == 0 && dst_ep == 0 && src_ep == 0;
    if (zdp && cluster_id == 0x0036) {
        if (asdu_len < 3) {
            fprintf(stderr, "%s - ERROR: permit-join asdu of %d bytes (3 needed), not sent\n", who,
                    asdu_len);
            return;
        }
        if (dst16 == 0xFFFF) {
            dst16 = 0xFFFC;
        }
        printf("ZDP-Mgmt_Permit_Join.Request to %04x, timer value %02x, TCSignificance %02x\n",
               dst16, asdu[1], asdu[2]);
        Packet pkt(0xA2, 0x36);
        pkt.u16(dst16);
        pkt.u8(asdu[1]);
        pkt.u8(asdu[2]);
        sendSealed(handle, pkt, "ZDP-Mgmt_Permit_Join.Request->", who);
        return;
    }
    if (dst_addr_mode != 2 && dst_addr_mode != 3) {
        printf("ERROR: unsupported dst_addr_mode: %d\n", dst_addr_mode);
        return;
    }
    if (refuseTooLong(who, asdu_len + 18)) {
        return;
    }
    Packet pkt(0x9C, 0x00);
    pkt.u8(dst_addr_mode);
    if (dst_addr_mode == 2) {
        pkt.u16(dst16);
        for (int i = 0; i < 6; i++) {
            pkt.u8(0);
        }
    } else {
        pkt.bytes(dst_addr, 8);
    }
    pkt.u8(dst_ep);
    pkt.u16(profile_id);
    pkt.u16(cluster_id);
    pkt.u8(src_ep);
    pkt.u8(0);
    pkt.bytes(asdu, asdu_len);
    pkt.u8(tx_options);
    pkt.u8(radius == 0xFF ? 0x00 : radius);
    sendSealed(handle, pkt, "APSME_DATA->", who);
    if (zdp && cluster_id == 0x0034) {
        if (asdu_len < 9) {
            fprintf(stderr, "%s - leave asdu of %d bytes carries no IEEE address, no key cleared\n",
                    who, asdu_len);
            return;
        }
        FREESCALE_ClearDeviceKeyPair_request(handle, asdu + 1);
    }
}

void FREESCALE_ZDP_MGMT_BIND_Request(ZBIF_HANDLE handle, ushort remote_dest_addr,
                                     ushort startIndex) {
    Packet pkt(0xA2, 0x33);
    pkt.u16(remote_dest_addr);
    pkt.u16(startIndex);
    sendSealed(handle, pkt, "ZDP-MGMT_BIND.Request->", "ZDP_MGMT_BIND_Request");
}

// The four bind and unbind requests share one body; the ZDP forms put the remote device's
// address in front of it.
struct BindRequest {
    uchar group;
    uchar id;
    bool zdp;
    uchar mode;  // destination address mode written in the body
    const char* label;
    const char* who;
};

constexpr BindRequest kApsmeBind{0x99, 0x00, false, 0x03, "APSME_BIND->", "APSME_BIND_request"};
constexpr BindRequest kApsmeUnbind{
    0x99, 0x09, false, 0x00, "APSME_UNBIND->", "APSME_UNBIND_request"};
constexpr BindRequest kZdpBind{0xA2, 0x21, true, 0x03, "ZDP_BIND_Request->", "ZDP_BIND_request"};
constexpr BindRequest kZdpUnbind{0xA2, 0x22, true, 0x03, "ZDP_UNBIND->", "ZDP_UNBIND_request"};

void sendBind(ZBIF_HANDLE handle, const BindRequest& r, ushort remote_dest_addr,
              const uchar* src_ieee_addr, uchar src_ep, ushort cluster_id,
              const uchar* dst_ieee_addr, uchar dst_ep) {
    if (refuseNull(r.who, src_ieee_addr, "source IEEE address") ||
        refuseNull(r.who, dst_ieee_addr, "destination IEEE address")) {
        return;
    }
    Packet pkt(r.group, r.id);
    if (r.zdp) {
        pkt.u16(remote_dest_addr);
    }
    pkt.reversed(src_ieee_addr, 8);
    pkt.u8(src_ep);
    pkt.u16(cluster_id);
    pkt.u8(r.mode);
    pkt.reversed(dst_ieee_addr, 8);
    pkt.u8(dst_ep);
    sendSealed(handle, pkt, r.label, r.who);
}

void FREESCALE_APSME_BIND_request(ZBIF_HANDLE handle, uchar* src_ieee_addr, uchar src_ep,
                                  ushort cluster_id, uchar* dst_ieee_addr, uchar dst_ep) {
    sendBind(handle, kApsmeBind, 0, src_ieee_addr, src_ep, cluster_id, dst_ieee_addr, dst_ep);
}

void FREESCALE_APSME_UNBIND_request(ZBIF_HANDLE handle, uchar* src_ieee_addr, uchar src_ep,
                                    ushort cluster_id, uchar* dst_ieee_addr, uchar dst_ep) {
    sendBind(handle, kApsmeUnbind, 0, src_ieee_addr, src_ep, cluster_id, dst_ieee_addr, dst_ep);
}

void FREESCALE_ZDP_BIND_request(ZBIF_HANDLE handle, ushort remote_dest_addr, uchar* src_ieee_addr,
                                uchar src_ep, ushort cluster_id, uchar* dst_ieee_addr,
                                uchar dst_ep) {
    sendBind(handle, kZdpBind, remote_dest_addr, src_ieee_addr, src_ep, cluster_id, dst_ieee_addr,
             dst_ep);
}

void FREESCALE_ZDP_UNBIND_request(ZBIF_HANDLE handle, ushort remote_dest_addr, uchar* src_ieee_addr,
                                  uchar src_ep, ushort cluster_id, uchar* dst_ieee_addr,
                                  uchar dst_ep) {
    sendBind(handle, kZdpUnbind, remote_dest_addr, src_ieee_addr, src_ep, cluster_id, dst_ieee_addr,
             dst_ep);
}

void FREESCALE_MGMT_PERMIT_JOINING_request(ZBIF_HANDLE, ushort, int) {
    puts("FREESCALE_MGMT_PERMIT_JOINING_request - NOT implemented");
}

void FREESCALE_ZDO_ERROR_response(ZBIF_HANDLE, uchar, ushort, uchar) {
    notYetImplemented(__FILE__, __LINE__, __func__);
}

}  // namespace

const ZBIFFunctions_t zbFreescaleFunctions = {
    FREESCALE_ZDO_RESET_request,
    FREESCALE_ZDO_START_request,
    FREESCALE_ZDP_MGMT_NWK_UPDATE_request,
    FREESCALE_ZDO_NWK_ADDR_request,
    FREESCALE_ZDO_IEEE_ADDR_request,
    FREESCALE_ZB_MGMT_LQI_request,
    FREESCALE_ZDO_NODE_DESC_request,
    FREESCALE_ZDO_POWER_DESC_request,
    FREESCALE_ZDO_SIMPLE_DESC_request,
    FREESCALE_ZDO_ACTIVE_EP_DESC_request,
    FREESCALE_ZDO_MATCH_DESC_request,
    FREESCALE_ZDO_MATCH_DESC_response,
    FREESCALE_ZDO_END_DEVICE_BIND_request,
    FREESCALE_APSDE_DATA_request,
    FREESCALE_ZDP_MGMT_BIND_Request,
    FREESCALE_APSME_BIND_request,
    FREESCALE_ZDP_BIND_request,
    FREESCALE_ZDP_UNBIND_request,
    FREESCALE_APSME_UNBIND_request,
    FREESCALE_APSME_GET_request,
    FREESCALE_APSME_SET_request,
    FREESCALE_MGMT_PERMIT_JOINING_request,
    FREESCALE_ZDO_ERROR_response,
    nullptr,  // ZIGBEE_request: no generic request in this back-end
};

void FREESCALE_ResetState() {
    FsLock lock(fsMutex);
    memset(&fsState, 0, sizeof(fsState));
    fsState.nwkShortAddress = 0xFFFC;
    fsState.lastSrcAddrMode = 2;
}

namespace {
struct StateInit {
    StateInit() { FREESCALE_ResetState(); }
} stateInit;
}  // namespace

int FREESCALE_SendPacket(ZBIF_HANDLE handle, const uchar* pkt, const char* label, const char* who) {
    int len = pkt[2];
    if (refuseTooLong(who, len)) {
        return -1;
    }
    zb_print_bytes(label, pkt, len + 3);
    if (handle == nullptr || handle->zb_conn_h == nullptr) {
        fprintf(stderr, "%s - ERROR: not connected, not sent\n", who);
        return -1;
    }
    const ZBIFCbs_t* cb = handle->zbifCbs;
    if (cb != nullptr && cb->ZB_MODULE_REQUEST_indication && FREESCALE_ModuleAnswers(pkt)) {
        cb->ZB_MODULE_REQUEST_indication(handle);  // before the write: the answer may come first
    }
    return zb_conn_send(handle->zb_conn_h, pkt, len + 3);
}

void FREESCALE_ZTC_RESET_request(ZBIF_HANDLE handle) {
    Packet pkt(0xA3, 0x08);
    sendSealed(handle, pkt, "\nZTC_RESET->", "ZTC_RESET_request");
    puts("FREESCALE_ZTC_RESET_request called!");
}

void FREESCALE_WriteSAS_request(ZBIF_HANDLE handle) {
    FsLock lock(fsMutex);
    const WriteSASAttribute& s = fsState.sasAttr;
    Packet pkt(0x50, 0x01);
    pkt.u16(s.ShortAddress);
    pkt.reversed(s.ExtendedPANId, 8);
    pkt.reversed(s.APSUseExtendedPANId, 8);
    pkt.u16(s.PANId);
    pkt.reversed(s.ChannelsMask, 4);
    pkt.u8(s.ProtocolVersion);
    pkt.u8(s.StackProfile);
    pkt.u8(s.StartupControl);
    pkt.reversed(s.TrustCenterAddress, 8);
    pkt.reversed(s.TrustCenterMasterKey, 16);
    pkt.reversed(s.NetworkKey, 16);
    pkt.u8(s.UseInsecureJoin & 0xFF);
    pkt.reversed(s.PreconfiguredTrustCenterLinkKey, 16);
    pkt.u8(s.ActiveNwkKeySeqNumber & 0xFF);
    pkt.u8(s.NetworkKeyType & 0xFF);
    pkt.u16(s.NetworkManagerAddress);
    pkt.u8(s.Scanattempts & 0xFF);
    pkt.u16(s.Timebetweenscans);
    pkt.u16(s.RejoinInterval);
    pkt.u16(s.MaximumRejoinInterval);
    pkt.u16(s.IndirectPollRate);
    pkt.u8(s.ParentLinkRetryThreshold & 0xFF);
    pkt.u8(s.IsConcentrator & 0xFF);
    pkt.u8(s.ConcentratorRadius & 0xFF);
    pkt.u8(s.ConcentratorDiscoveryTime & 0xFF);
    sendSealed(handle, pkt, "BlackBox.WriteSAS->", "WriteSAS_request");
}

void FREESCALE_NLME_GET_request(ZBIF_HANDLE handle, uchar attr, const char* label) {
    Packet pkt(0xA3, 0x22);
    pkt.u8(attr);
    pkt.u8(0);
    pkt.u8(attr == 0xA1 ? 1 : 0);
    pkt.u8(0);
    sendSealed(handle, pkt, label, "NLME_GET_request");
}

void FREESCALE_ModeSelect_request(ZBIF_HANDLE handle) {
    Packet pkt(0xA3, 0x00);
    pkt.u8(0x01);
    for (int i = 0; i < 10; i++) {
        pkt.u8(0x02);
    }
    sendSealed(handle, pkt, "\nZTC_SET_MODE->", "ModeSelect_request");
}

void FREESCALE_WriteExtAddr_request(ZBIF_HANDLE handle) {
    Packet pkt(0xA3, 0xDB);
    for (int i = 0; i < 6; i++) {
        pkt.u8(static_cast<uchar>(rand() % 255));
    }
    pkt.u8(0xCD);
    pkt.u8(0xAB);
    sendSealed(handle, pkt, "ZTC_WRITE_EXT_ADDR->", "WriteExtAddr_request");
}

void FREESCALE_NLME_PermitJoining_request(ZBIF_HANDLE handle) {
    Packet pkt(0x96, 0x36);
    pkt.u8(0x00);
    sendSealed(handle, pkt, "NLME-PERMIT-JOINING.Request->", "NLME_PermitJoining_request");
}

void FREESCALE_ClearDeviceKeyPair_request(ZBIF_HANDLE handle, const uchar* ieee) {
    Packet pkt(0xA3, 0x3F);
    pkt.bytes(ieee, 8);
    sendSealed(handle, pkt, "ZTC-ClearApsDeviceKeyPairSet.Request ", "ClearDeviceKeyPair_request");
}

void initializeTCLinkKeyTable(ZBIF_HANDLE handle) {
    FsLock lock(fsMutex);
    int size = fsState.TCLinkKeyTableSize;
    if (size > TC_LINK_KEY_TABLE_ROWS) {
        size = TC_LINK_KEY_TABLE_ROWS;
    }
    if (fsState.indexTCLinkKey < size) {
        printf("initializeTCLinkKeyTable - Configuring index %02x\n", fsState.indexTCLinkKey);
        const uchar* row = fsState.TCLinkKeyTable[fsState.indexTCLinkKey];
        fsState.indexTCLinkKey++;
        FREESCALE_SendPacket(handle, row, "ZTC-SetApsDeviceKeyPairSet.Request ",
                             "initializeTCLinkKeyTable");
        return;
    }
    puts("initializeTCLinkKeyTable - Completed!");
    FREESCALE_NLME_GET_request(handle, 0xA1, "APSME_GET->");
}
