// Decoder of the "freescale" back-end: turns each received packet into calls on the handle's
// callback table, drives the start-up handshakes and traces the rest. Runs on the reader thread
// only, one packet at a time. Every field is read within the packet's length: a packet shorter
// than the fields of its row is traced and dropped.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "freescale_dec_internal.h"

namespace fsdec {
namespace {

void onTraceOnly(const Pkt&) {}

void onWriteSasConfirm(const Pkt& k) {
    if (!need(k, 3, "ZTC-BlackBoxWriteSAS.Confirm")) {
        return;
    }
    puts("ZTC-BlackBoxWriteSAS.Confirm");
    CALL(k, APSME_SET_confirm, k.p[3], fsState.attr_prev);
}

void onMacStartConfirm(const Pkt& k) {
    if (!need(k, 3, "MacStart.Confirm")) {
        return;
    }
    if (k.p[3] != 0) {
        puts("ERROR: MacStart.Request failed!");
        return;
    }
    FREESCALE_NLME_GET_request(k.h, 0x96, "NLME-GET.Request: ");
}

void onFormationConfirm(const Pkt& k) {
    if (!k.has(3) || k.p[3] == 0) {
        return;
    }
    printf("\n************************\n");
    printf("NETWORK FORMATION FAILED - Reason: 0x%02x\n************************\n\n", k.p[3]);
    CALL(k, ZDO_START_confirm, k.p[3], fsState.nwkShortAddress);
}

void onPermitJoiningConfirm(const Pkt& k) {
    if (!need(k, 3, "NLME-PERMIT-JOINING.Confirm")) {
        return;
    }
    printf("NLME-PERMIT-JOINING.Confirm - status %02x\n", k.p[3]);
    CALL(k, MGMT_PERMIT_JOINING_response, 0);
}

void onJoinConfirm(const Pkt& k) {
    if (!need(k, 3, "NLME-JOIN.Confirm")) {
        return;
    }
    printf("NLME-JOIN.Confirm: status %02x\n", k.p[3]);
    if (k.has(8) && k.p[8] != 0) {
        CALL(k, ZDO_START_confirm, k.p[8], fsState.nwkShortAddress);
    }
}

void onLeaveIndication(const Pkt& k) {
    if (!need(k, 11, "NLME-LEAVE.Indication")) {
        return;
    }
    FREESCALE_ClearDeviceKeyPair_request(k.h, k.p + 3);
    puts("NLME-LEAVE.Indication: Convert it to a MGMT_LEAVE_response");
    CALL(k, MGMT_LEAVE_response, 0);
    uchar ieee[8];
    reversed8(k.p + 3, ieee);
    CALL(k, MGMT_LEAVE_confirm, ieee, k.p[11]);
}

// The secure-frame confirms of every layer only report a failed encryption (status 0xA2).
void secureFrameConfirm(const Pkt& k, const char* what, const char* encryption) {
    if (k.has(3) && k.p[3] == 0xA2) {
        printf("%s - ERROR: 0x%02x - Unable to %s the packet\n", what, k.p[3], encryption);
    }
}

void onNwkSecureFrameConfirm(const Pkt& k) {
    secureFrameConfirm(k, "NLME-ProcessSecureFrame.Confirm", "encrypt/decrypt");
}

void onApsSecureFrameConfirm(const Pkt& k) {
    secureFrameConfirm(k, "APSME-ProcessSecureFrame.Confirm", "encrypt or decrypt");
}

void onApsmeBindConfirm(const Pkt& k) {
    if (!need(k, 24, "APSME-BIND.Confirm")) {
        return;
    }
    uchar src[8];
    uchar dst[8];
    memcpy(src, k.p + 4, 8);
    memcpy(dst, k.p + 16, 8);
    CALL(k, APSME_BIND_confirm, k.p[3], src, k.p[12], static_cast<ushort>(k.p[13] * 256 + k.p[14]),
         dst, k.p[24]);
}

void onConfirmIdReport(const Pkt&) {
    puts("APS-ConfirmID.Report");
}

void onDataConfirm(const Pkt& k) {
    puts("APSDE-DATA.Confirm:");
    trace(k, "");
    if (!need(k, 14, "APSDE-DATA.Confirm")) {
        return;
    }
    uchar dst[8];
    memcpy(dst, k.p + 4, 8);
    CALL(k, APSDE_DATA_confirm, k.p[3], dst, k.p[12], k.p[13], k.p[14]);
}

void onDataIndication(const Pkt& k) {
    if (!need(k, 15, "APSDE-DATA.Indication")) {
        return;
    }
    int n = k.p[15];
    if (!need(k, 18 + n, "APSDE-DATA.Indication")) {
        return;
    }
    const uchar* p = k.p;
    fsState.lastSrcAddrMode = 2;
    fsState.lastSrcAddr[0] = p[8];
    fsState.lastSrcAddr[1] = p[9];
    uchar* asdu = fsState.g_data_uchar_1;
    memset(asdu, 0, sizeof(fsState.g_data_uchar_1));
    memcpy(asdu, p + 16, n);
    // The module reports 16-bit addresses whatever the mode byte says; readers that take the
    // mode at its word (an IEEE mode reads 8 bytes) find zeros past the two it sent.
    uchar dst[8] = {p[4], p[5]};
    uchar src[8] = {p[8], p[9]};
    ushort profile = k.u16(11);
    ushort cluster = k.u16(13);
    uchar wasBroadcast = p[17 + n];
    uchar secStatus = p[18 + n];
    ZBPrint_APSDE_DATA_indication(p[3], dst, p[6], p[7], src, p[10], profile, cluster, n, asdu,
                                  wasBroadcast, secStatus);
    CALL(k, APSDE_DATA_indication, p[3], dst, p[6], p[7], src, p[10], profile, cluster,
         static_cast<ushort>(n), asdu, wasBroadcast, secStatus);
    if (p[6] == 0 && cluster == 0x0013 && k.cb->ZDO_DEVICE_ANNCE_indication != nullptr) {
        puts("APSDE-DATA.Indication - (Freescale_if.c) - DeviceAnnounce message");
        if (n < 12) {
            printf("APSDE-DATA.Indication - device announce of %d bytes too short, dropped\n", n);
            return;
        }
        uchar ieee[8];
        reversed8(fsState.g_data_uchar_1 + 3, ieee);
        ushort nwk =
            static_cast<ushort>(fsState.g_data_uchar_1[1] | (fsState.g_data_uchar_1[2] << 8));
        uchar capability = fsState.g_data_uchar_1[11];
        ZBPrint_ZDO_DEVICE_ANNCE_indication(nwk, ieee, capability);
        CALL(k, ZDO_DEVICE_ANNCE_indication, nwk, ieee, capability);
    }
}

void onZdpNwkSecureFrameConfirm(const Pkt& k) {
    secureFrameConfirm(k, "ZDP-Nwk-ProcessSecureFrame.Confirm", "encrypt or decrypt");
}

void onZdpApsSecureFrameConfirm(const Pkt& k) {
    secureFrameConfirm(k, "ZDP-APSME-ProcessSecureFrame.Confirm", "encrypt or decrypt");
}

void shortAddressStep(const Pkt& k) {
    if (fsState.nwkShortAddress == 0xFFFC) {
        puts("ShortAddress not know yet - Waiting...");
        fsState.sendStartConfirmWhenShortAddrIsKnown = 1;
        FREESCALE_NLME_GET_request(k.h, 0x96, "NLME-GET.Request: ");
    } else {
        CALL(k, ZDO_START_confirm, 0, fsState.nwkShortAddress);
    }
}

void coordinatorStep(const Pkt& k) {
    FREESCALE_NLME_PermitJoining_request(k.h);
    if (fsState.selectedSecLevel == 5) {
        if (fsState.TCLinkKeyTableSize != 0) {
            puts("ZDO-NetworkState.Event - Initialize the TCLinkKeytable");
            fsState.indexTCLinkKey = 0;
            initializeTCLinkKeyTable(k.h);
        } else {
            FREESCALE_NLME_GET_request(k.h, 0xA1, "APSME_GET->");
        }
    }
    CALL(k, ZDO_START_confirm, 0, 0);
}

void onNetworkStateEvent(const Pkt& k) {
    if (!need(k, 3, "ZDO-NetworkState.Event")) {
        return;
    }
    switch (k.p[3]) {
        case 0:
            puts("ZDO-NetworkState.Event - Device initialized");
            // Outside a requested reset (whose answer is synthesized) this is a module that
            // rebooted by itself.
            CALL(k, ZIGBEE_STACK_STATUS_indication, ZB_STACK_STATUS_MODULE_INITIALIZED);
            break;
        case 1:
            puts("ZDO-NetworkState.Event - Device in Network Discovery State");
            break;
        case 3:
            puts("ZDO-NetworkState.Event - Device in Coordinator starting state");
            break;
        case 4:
            puts("ZDO-NetworkState.Event - Device in Router Running state");
            shortAddressStep(k);
            break;
        case 5:
            puts("ZDO-NetworkState.Event - Device in End Device Running state");
            shortAddressStep(k);
            break;
        case 9:
            puts("ZDO-NetworkState.Event - Device in leave network state");
            break;
        case 11:
            puts("ZDO-NetworkState.Event - Device is in state 'Deviceinstoppedstate'");
            CALL(k, ZDO_START_confirm, 11, fsState.nwkShortAddress);
            break;
        case 16:
            puts("ZDO-NetworkState.Event - Device is Coordinator Running state");
            coordinatorStep(k);
            break;
        case 19:
            puts("ZDO-NetworkState.Event - Device is in state 'DeviceOfftheNetwork'");
            CALL(k, ZIGBEE_STACK_STATUS_indication, EMBER_NETWORK_DOWN);
            break;
        default:
            printf("ZDO-NetworkState.Event - State %02x (see Table 6-127, page 139)\n", k.p[3]);
            break;
    }
}

void onDeviceAnnounce(const Pkt& k) {
    if (!need(k, 15, "ZDP-EndDeviceAnnounce.Request")) {
        return;
    }
    if (k.cb->ZDO_DEVICE_ANNCE_indication == nullptr) {
        return;
    }
    uchar ieee[8];
    reversed8(k.p + 7, ieee);
    CALL(k, ZDO_DEVICE_ANNCE_indication, k.u16(5), ieee, k.p[15]);
}

void onResetAnswer(const Pkt& k) {
    if (!need(k, 4, "ZTC-Reset")) {
        return;
    }
    if (k.p[4] != 2) {
        CALL(k, ZDO_RESET_confirm, k.p[3], fsState.restartGWafterReset);
        return;
    }
    FREESCALE_ModeSelect_request(k.h);
}

void onApsmeSetEcho(const Pkt& k) {
    printf("APSME-SET.Request: ");
    if (k.has(3)) {
        if (k.p[3] == 0xC0) {
            printf("Extended Address Map - ");
        } else {
            printf("iId %02x (Table 6-98, pag 120) - ", k.p[3]);
        }
    }
    trace(k, "");
}

void onNlmeSetEcho(const Pkt& k) {
    printf("NLME-SET.Request - ");
    trace(k, "");
    if (!k.has(3)) {
        return;
    }
    switch (k.p[3]) {
        case 0x80:
            printf("NIB Attribute nwkPanId - \n");
            break;
        case 0x96:
            if (!need(k, 8, "NLME-SET.Request")) {
                return;
            }
            fsState.nwkShortAddress = k.u16(7);
            printf("NIB Attribute nwkShortAddress %04x - \n", fsState.nwkShortAddress);
            break;
        case 0x9A:
            printf("NIB Attribute nwkExtendedPANID - \n");
            break;
        case 0xD3:
            if (k.has(7)) {
                printf("NIB Attribute nwkChannel %02x - \n", k.p[7]);
            }
            break;
        default:
            printf("NIB ID %2x (unknown or not managed yet) - \n", k.p[3]);
            break;
    }
}

void onModeSelectConfirm(const Pkt& k) {
    if (!need(k, 3, "ZTC-ModeSelect.Confirm")) {
        return;
    }
    if (k.p[3] != 0) {
        puts("ZTC-ModeSelect.Request failed!");
        return;
    }
    k.h->state = 2;
    if (fsState.generateRandomIEEEAddr) {
        FREESCALE_WriteExtAddr_request(k.h);
        return;
    }
    if (k.cb->ZDO_RESET_confirm != nullptr) {
        puts("ZTC-ModeSelect.Confirm");
        CALL(k, ZDO_RESET_confirm, 0, fsState.restartGWafterReset);
    }
}

void onWriteExtAddrConfirm(const Pkt& k) {
    if (!need(k, 3, "ZTC-WriteExtAddr.Confirm")) {
        return;
    }
    if (k.p[3] != 0) {
        puts("ERROR: ZTC-WriteExtAddr.Request failed!");
        return;
    }
    puts("ZTC-WriteExtAddr.Confirm");
    CALL(k, ZDO_RESET_confirm, 0, fsState.restartGWafterReset);
}

void onRegisterEndpointConfirm(const Pkt& k) {
    if (!need(k, 3, "APS-RegisterEndPoint.Confirm")) {
        return;
    }
    if (k.p[3] != 0) {
        printf("ERROR: APS-RegisterEndPoint.Confirm FAILED (status %02x)\n", k.p[3]);
    } else {
        puts("APS-RegisterEndPoint.Confirm");
    }
    CALL(k, APSME_SET_confirm, k.p[3], fsState.attr_prev);
}

// The channel and IEEE address reads answer an APSME-GET: status, then a value of `size` bytes
// (8 at most).
void attributeReadConfirm(const Pkt& k, const char* what, uchar size) {
    if (!need(k, 3, what)) {
        return;
    }
    if (k.p[3] != 0) {
        printf("%s failed!\n", what);
        return;
    }
    if (!need(k, 3 + size, what)) {
        return;
    }
    uchar value[8];
    memcpy(value, k.p + 4, size);
    CALL(k, APSME_GET_confirm, k.p[3], fsState.attr_prev, size, value);
}

void onChannelConfirm(const Pkt& k) {
    attributeReadConfirm(k, "ZTC-GetChannel.Confirm", 1);
}

void onExtAddrConfirm(const Pkt& k) {
    attributeReadConfirm(k, "ZTC-ReadExtAddr.Confirm", 8);
}

void onApsmeSetConfirm(const Pkt& k) {
    if (!need(k, 3, "APSME-SET.Confirm")) {
        return;
    }
    if (k.p[3] != 0) {
        printf("ERROR: APSME-SET.Confirm with error status code %x!\n", k.p[3]);
        return;
    }
    puts("APSME-SET.Confirm");
    CALL(k, APSME_SET_confirm, 0, fsState.attr_prev);
}

// One line of the 16 key bytes, either as they arrived or last byte first.
void printKeyLine(const uchar* key, bool lastByteFirst, const char* prefix, char separator) {
    for (int i = 0; i < 16; i++) {
        printf("%s%02x%c", prefix, key[lastByteFirst ? 15 - i : i], i < 15 ? separator : '\n');
    }
}

void onNlmeGetConfirm(const Pkt& k) {
    if (!need(k, 4, "NLME-GET.Confirm")) {
        return;
    }
    const uchar* p = k.p;
    if (p[3] == 0 && p[4] == 0x96) {
        if (!need(k, 11, "NLME-GET.Confirm")) {
            return;
        }
        printf("NLME-GET.Confirm: ");
        fsState.nwkShortAddress = k.u16(10);
        if (fsState.nwkShortAddress == 0xFFFF) {
            puts("The shortAddress is not yet assigned!");
            return;
        }
        printf("shortAddress 0x%04x\n", fsState.nwkShortAddress);
        if (fsState.sendStartConfirmWhenShortAddrIsKnown == 1) {
            fsState.sendStartConfirmWhenShortAddrIsKnown = 0;
            CALL(k, ZDO_START_confirm, 0, fsState.nwkShortAddress);
        }
        return;
    }
    if (p[3] == 0 && p[4] == 0xA1) {
        if (!need(k, 30, "NLME-GET.Confirm")) {
            return;
        }
        puts("NLME-GET.Confirm - nwkSecurityMaterial");
        puts("\n************\nNETWORK KEY:");
        const uchar* key = p + 15;
        printKeyLine(key, true, "", ':');
        printKeyLine(key, false, "", ':');
        printKeyLine(key, true, "0x", ' ');
        printKeyLine(key, false, "0x", ' ');
        printf("\n************\n");
        return;
    }
    printf("NLME-GET.Confirm - Status %2x, Attribute %2x\n", p[3], p[4]);
}

void onIgnored(const Pkt&) {}

void onKeyEntryConfirm(const Pkt& k) {
    if (!need(k, 3, "ZTC-SetApsDeviceKeyPairSet.Confirm")) {
        return;
    }
    if (k.p[3] != 0) {
        printf("ERROR with ZTC-SetApsDeviceKeyPairSet: 0x%02x\n", k.p[3]);
        return;
    }
    initializeTCLinkKeyTable(k.h);
}

void onKeyClearConfirm(const Pkt& k) {
    if (need(k, 3, "ZTC-ClearApsDeviceKeyPairSet.Confirm")) {
        printf("ZTC-ClearApsDeviceKeyPairSet.Confirm - Status 0x%02x\n", k.p[3]);
    }
}

void onStartNetworkConfirm(const Pkt& k) {
    puts("ZDP-StartNwkEx.Confirm");
    trace(k, "");
}

void onErrorEvent(const Pkt& k) {
    if (k.has(3) && k.p[3] != 0) {
        printf(
            "WARNING: ZTC-Error.event (status code %02x)\nPlease verify that 'SecurityLevel' "
            "in config.ini is zero (security not supported for this firmware)!\n",
            k.p[3]);
    }
}

void onSaveConfirm(const Pkt& k) {
    if (k.has(3) && k.p[3] == 0) {
        puts("ZTC-BeeStackSave.Confirm");
        CALL(k, APSME_SET_confirm, 0, fsState.attr_prev);
    }
}

struct DecodeEntry {
    uchar group;
    uchar id;
    const char* trace;  // printed with the packet dump before the handler, when set
    void (*handler)(const Pkt&);
};

// Sorted by (group, id); looked up by binary search.
constexpr DecodeEntry kDecodeTable[] = {
    {0x50, 0x04, nullptr, onWriteSasConfirm},
    {0x84, 0x05, "MacGetPIBAttribute.Confirm: ", onTraceOnly},
    {0x84, 0x0E, nullptr, onMacStartConfirm},
    {0x84, 0x14, "MacPollNotify.Indication: ", onTraceOnly},
    {0x96, 0x34, "NLME-NETWORK-DISCOVERY.Request: ", onTraceOnly},
    {0x96, 0x35, "NLME-NETWORK-FORMATION.Request: ", onTraceOnly},
    {0x96, 0x37, "NLME-START-ROUTER.Request: ", onTraceOnly},
    {0x96, 0x54, "NLME-ENERGY-SCAN.Request: ", onTraceOnly},
    {0x97, 0x41, "NLME-NETWORK-DISCOVERY.Confirm: ", onTraceOnly},
    {0x97, 0x42, "NLME-NETWORK-FORMATION.Confirm: ", onFormationConfirm},
    {0x97, 0x43, nullptr, onPermitJoiningConfirm},
    {0x97, 0x44, "NLME-START-ROUTER.Confirm: ", onTraceOnly},
    {0x97, 0x45, "NLME-JOIN.Indication: ", onTraceOnly},
    {0x97, 0x46, nullptr, onJoinConfirm},
    {0x97, 0x49, "NLME-LEAVE.Indication: ", onLeaveIndication},
    {0x97, 0x55, "NLME-ENERGY-SCAN.Confirm: ", onTraceOnly},
    {0x97, 0x70, nullptr, onNwkSecureFrameConfirm},
    {0x98, 0x07, nullptr, onApsmeBindConfirm},
    {0x98, 0xC0, "APSME-TRANSPORT-KEY.Confirm: ", onTraceOnly},
    {0x98, 0xCC, nullptr, onApsSecureFrameConfirm},
    {0x99, 0xD1, "APSME-TRANSPORT-KEY.Request: ", onTraceOnly},
    {0x9A, 0x33, "NLDE-DATA.Request: ", onTraceOnly},
    {0x9B, 0x3F, "NLDE-DATA.Confirm: ", onTraceOnly},
    {0x9B, 0x40, "NLDE-DATA.Indication: ", onTraceOnly},
    {0x9D, 0x00, nullptr, onDataConfirm},
    {0x9D, 0x01, nullptr, onDataIndication},
    {0x9D, 0x03, nullptr, onConfirmIdReport},
    {0xA0, 0x70, nullptr, onZdpNwkSecureFrameConfirm},
    {0xA0, 0x80, "ZDP-NWK_addr.response: ", onAddrResponse<false>},
    {0xA0, 0x81, "ZDP-IEEE_addr.response: ", onAddrResponse<true>},
    {0xA0, 0x82, "ZDP-NodeDescriptor.Response: ", onNodeDescResponse},
    {0xA0, 0x83, "ZDO_POWER_DESC_confirm: ", onPowerDescResponse},
    {0xA0, 0x84, "ZDO_SIMPLE_DESC_confirm: ", onSimpleDescResponse},
    {0xA0, 0x85, nullptr, onActiveEpResponse},
    {0xA0, 0x86, nullptr, onMatchDescResponse},
    {0xA0, 0xA0, nullptr, onEndDeviceBindResponse},
    {0xA0, 0xA1, nullptr, onBindResponse},
    {0xA0, 0xA2, nullptr, onUnbindResponse},
    {0xA0, 0xB1, "ZDP-Mgmt_Lqi.Response: ", onLqiResponse},
    {0xA0, 0xB3, "ZDP-Mgmt_Bind.Response: ", onBindTableResponse},
    {0xA0, 0xB6, nullptr, onPermitJoinResponse},
    {0xA0, 0xCC, nullptr, onZdpApsSecureFrameConfirm},
    {0xA0, 0xE6, nullptr, onNetworkStateEvent},
    {0xA2, 0x13, "ZDP-EndDeviceAnnounce.Request: ", onDeviceAnnounce},
    {0xA3, 0x08, nullptr, onResetAnswer},
    {0xA3, 0x21, nullptr, onApsmeSetEcho},
    {0xA3, 0x23, nullptr, onNlmeSetEcho},
    {0xA4, 0x00, nullptr, onModeSelectConfirm},
    {0xA4, 0x0B, nullptr, onRegisterEndpointConfirm},
    {0xA4, 0x12, nullptr, onChannelConfirm},
    {0xA4, 0x20, nullptr, onIgnored},
    {0xA4, 0x21, nullptr, onApsmeSetConfirm},
    {0xA4, 0x22, nullptr, onNlmeGetConfirm},
    {0xA4, 0x3E, nullptr, onKeyEntryConfirm},
    {0xA4, 0x3F, nullptr, onKeyClearConfirm},
    {0xA4, 0xD2, nullptr, onExtAddrConfirm},
    {0xA4, 0xDB, nullptr, onWriteExtAddrConfirm},
    {0xA4, 0xE4, nullptr, onSaveConfirm},
    {0xA4, 0xE7, nullptr, onStartNetworkConfirm},
    {0xA4, 0xFE, nullptr, onErrorEvent},
};

constexpr int keyOf(const DecodeEntry& e) {
    return (e.group << 8) | e.id;
}

constexpr bool decodeTableSorted() {
    for (size_t i = 1; i < sizeof(kDecodeTable) / sizeof(kDecodeTable[0]); i++) {
        if (keyOf(kDecodeTable[i - 1]) >= keyOf(kDecodeTable[i])) {
            return false;
        }
    }
    return true;
}
static_assert(decodeTableSorted(), "decode table must be sorted by group and id");

const DecodeEntry* findEntry(uchar group, uchar id) {
    int key = (group << 8) | id;
    size_t lo = 0;
    size_t hi = sizeof(kDecodeTable) / sizeof(kDecodeTable[0]);
    while (lo < hi) {
        size_t mid = (lo + hi) / 2;
        int k = keyOf(kDecodeTable[mid]);
        if (k == key) {
            return &kDecodeTable[mid];
        }
        if (k < key) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    return nullptr;
}

}  // namespace
}  // namespace fsdec

void FREESCALE_ReceiveCb(ZBIF_HANDLE handle, const uchar* data, int size) {
    if (handle == nullptr) {
        return;
    }
    FREESCALE_ParseNExec(handle, data, size);
}

void FREESCALE_ParseNExec(ZBIF_HANDLE handle, const uchar* data, int size) {
    if (handle == nullptr || data == nullptr) {
        return;
    }
    if (handle->zbifCbs == nullptr) {
        zb_print_bytes("Received those bytes but without callback, ignoring them >>>> ", data,
                       size);
        return;
    }
    if (size < 3) {
        printf("FREESCALE_ParseNExec - packet of %d bytes too short, dropped\n", size);
        return;
    }
    uchar group = data[0];
    uchar id = data[1];
    if (group < 0x50 || group > 0xA4) {
        return;
    }
    if (data[2] + 3 > size) {
        printf("FREESCALE_ParseNExec - packet %02X %02X shorter than its length %d, dropped\n",
               group, id, data[2]);
        return;
    }
    const fsdec::DecodeEntry* e = fsdec::findEntry(group, id);
    if (e == nullptr) {
        if (group == 0xA3) {
            printf("Req Unhandled OP 0xA3 %02x\n", id);
        }
        return;
    }
    FsLock lock(fsMutex);
    fsdec::Pkt k{handle, data, data[2], handle->zbifCbs, &lock};
    if (e->trace != nullptr) {
        fsdec::trace(k, e->trace);
    }
    e->handler(k);
}
