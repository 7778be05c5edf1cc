// Stack interface: connect and disconnect, the C-level request wrappers and the default callbacks.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "zigbee_local.h"

namespace {

void linkLost(void* hh, int error) {
    ZBIF_HANDLE handle = static_cast<ZBIF_HANDLE>(hh);
    if (handle != nullptr && handle->zbifCbs != nullptr &&
        handle->zbifCbs->ZB_LINK_LOST_indication != nullptr) {
        handle->zbifCbs->ZB_LINK_LOST_indication(handle, error);
    }
}

void notYetImplemented(const char* file, int line, const char* func) {
    printf("NOT YET IMPLEMENTED: %s:%d:%s\n", file, line, func);
}

bool hasFuncs(ZBIF_HANDLE h) {
    return h != nullptr && h->zbifFuncs != nullptr;
}

}  // namespace

ZBIF_HANDLE ZBIFConnect(const char* uri, const ZBIFCbs_t* zbifCbs, void* hh) {
    ZBIF_HANDLE handle = ZBIFConnectStopped(uri, zbifCbs, hh);
    if (handle != nullptr && ZBIFStart(handle) != 0) {
        ZBIFDisconnect(handle);
        return nullptr;
    }
    return handle;
}

int ZBIFStart(ZBIF_HANDLE handle) {
    return handle == nullptr ? -1 : zb_conn_start(handle->zb_conn_h);
}

ZBIF_HANDLE ZBIFConnectStopped(const char* uri, const ZBIFCbs_t* zbifCbs, void* hh) {
    char** params = zb_url_to_params(uri);
    if (params == nullptr) {
        return nullptr;
    }
    const char* dongle = get_param(params, "dongle");
    if (dongle == nullptr) {
        fprintf(stderr, "ERROR: no dongle specified\n");
        zb_free_params(params);
        return nullptr;
    }
    zbif_status_t* handle = static_cast<zbif_status_t*>(calloc(1, sizeof(zbif_status_t)));
    if (handle == nullptr) {
        zb_free_params(params);
        return nullptr;
    }
    if (strcmp(dongle, "freescale") == 0) {
        handle->zbifFuncs = &zbFreescaleFunctions;
        handle->zbifReceiveCb = FREESCALE_ReceiveCb;
    } else {
        fprintf(stderr, "ERROR: dongle %s not supported\n", dongle);
        free(handle);
        zb_free_params(params);
        return nullptr;
    }
    handle->hh = hh;
    handle->zbifCbs = zbifCbs;
    ZB_CONN_HANDLE conn = zb_conn_open_stopped(params, handle, ZBIFReceiveCb, linkLost);
    const int why = errno;  // the open's reason, for the caller
    zb_free_params(params);
    if (conn == nullptr) {
        free(handle);
        errno = why;
        return nullptr;
    }
    handle->zb_conn_h = conn;
    return handle;
}

const char* ZBIFUriProblem(const char* uri) {
    static thread_local char why[80];
    char** params = uri != nullptr ? zb_url_to_params(uri) : nullptr;
    if (params == nullptr) {
        return "not a device URL";
    }
    const char* dongle = get_param(params, "dongle");
    const char* problem = nullptr;
    if (dongle == nullptr) {
        problem = "no dongle given";
    } else if (strcmp(dongle, "freescale") != 0) {
        snprintf(why, sizeof why, "dongle %.40s not supported", dongle);
        problem = why;
    } else if (get_param(params, "path") == nullptr) {
        problem = "no device path";
    }
    zb_free_params(params);
    return problem;
}

void ZBIFReceiveCb(void* handle, const unsigned char* data, const int size) {
    ZBIF_HANDLE h = static_cast<ZBIF_HANDLE>(handle);
    if (h != nullptr && h->zbifCbs != nullptr &&
        h->zbifCbs->ZB_MODULE_HEARD_indication != nullptr) {
        h->zbifCbs->ZB_MODULE_HEARD_indication(h);
    }
    if (h != nullptr && h->zbifReceiveCb != nullptr) {
        h->zbifReceiveCb(h, data, size);
    }
}

int ZBIFDisconnect(ZBIF_HANDLE handle) {
    if (handle == nullptr) {
        fprintf(stderr, "ZBIFDisconnect - ERROR: null handle\n");
        abort();
    }
    if (handle->zb_conn_h == nullptr) {
        return -1;
    }
    ZB_CONN_HANDLE conn = handle->zb_conn_h;
    if (zb_conn_on_reader(conn)) {
        // The decoder still holds the handle until the callback returns: the reader frees it
        // together with the connection when it ends.
        conn->freeOnExit = handle;
        handle->zb_conn_h = nullptr;
        return zb_conn_close(conn);
    }
    int result = zb_conn_close(conn);
    free(handle);
    return result;
}

int ZBIFLinkError(ZBIF_HANDLE handle) {
    if (handle == nullptr || handle->zb_conn_h == nullptr) {
        return ENODEV;
    }
    return zb_conn_link_error(handle->zb_conn_h);
}

void ZDO_RESET_request(ZBIF_HANDLE h, uchar options) {
    if (hasFuncs(h)) {
        h->zbifFuncs->ZDO_RESET_request(h, options);
    }
}

void ZDO_START_request(ZBIF_HANDLE h) {
    if (hasFuncs(h)) {
        h->zbifFuncs->ZDO_START_request(h);
    }
}

void ZDP_MGMT_NWK_UPDATE_request(ZBIF_HANDLE h, unsigned long scanChannel, ushort scanDuration) {
    if (hasFuncs(h)) {
        h->zbifFuncs->ZDP_MGMT_NWK_UPDATE_request(h, scanChannel, scanDuration);
    }
}

void ZDO_NWK_ADDR_request(ZBIF_HANDLE h, uchar* ieee_addr, uchar request_type, uchar start_index) {
    if (hasFuncs(h)) {
        h->zbifFuncs->ZDO_NWK_ADDR_request(h, ieee_addr, request_type, start_index);
    }
}

void ZDO_IEEE_ADDR_request(ZBIF_HANDLE, ushort, uchar, uchar) {}

void ZB_MGMT_LQI_request(ZBIF_HANDLE, ushort, uchar) {}

void ZDO_NODE_DESC_request(ZBIF_HANDLE, ushort, ushort) {}

void ZDO_POWER_DESC_request(ZBIF_HANDLE, ushort, ushort) {
    notYetImplemented(__FILE__, __LINE__, __func__);
}

void ZDO_SIMPLE_DESC_request(ZBIF_HANDLE h, ushort dst_addr, ushort nwk_addr, uchar endpoint) {
    if (hasFuncs(h)) {
        h->zbifFuncs->ZDO_SIMPLE_DESC_request(h, dst_addr, nwk_addr, endpoint);
    }
}

void ZDO_ACTIVE_EP_DESC_request(ZBIF_HANDLE h, ushort dst_addr, ushort nwk_addr) {
    if (hasFuncs(h)) {
        h->zbifFuncs->ZDO_ACTIVE_EP_DESC_request(h, dst_addr, nwk_addr);
    }
}

void ZDO_MATCH_DESC_response(ZBIF_HANDLE, uchar, ushort, uchar, uchar*) {
    notYetImplemented(__FILE__, __LINE__, __func__);
}

void ZDO_END_DEVICE_BIND_request(ZBIF_HANDLE h, ushort binding_target, uchar* src_ieee_addr,
                                 uchar src_ep, ushort profile_id, uchar nicl, ushort* icllist,
                                 uchar nocl, ushort* ocllist) {
    if (hasFuncs(h)) {
        h->zbifFuncs->ZDO_END_DEVICE_BIND_request(h, binding_target, src_ieee_addr, src_ep,
                                                  profile_id, nicl, icllist, nocl, ocllist);
    }
}

void APSDE_DATA_request(ZBIF_HANDLE h, uchar dst_addr_mode, uchar* dst_addr, uchar dst_ep,
                        ushort profile_id, ushort cluster_id, uchar src_ep, uchar asdu_len,
                        uchar* asdu, uchar tx_options, uchar radius) {
    if (hasFuncs(h)) {
        h->zbifFuncs->APSDE_DATA_request(h, dst_addr_mode, dst_addr, dst_ep, profile_id, cluster_id,
                                         src_ep, asdu_len, asdu, tx_options, radius);
    }
}

void ZDP_MGMT_BIND_Request(ZBIF_HANDLE h, ushort remote_dest_addr, ushort startIndex) {
    if (hasFuncs(h)) {
        h->zbifFuncs->ZDP_MGMT_BIND_Request(h, remote_dest_addr, startIndex);
    }
}

void APSME_BIND_request(ZBIF_HANDLE h, uchar* src_ieee_addr, uchar src_ep, ushort cluster_id,
                        uchar* dst_ieee_addr, uchar dst_ep) {
    if (hasFuncs(h)) {
        h->zbifFuncs->APSME_BIND_request(h, src_ieee_addr, src_ep, cluster_id, dst_ieee_addr,
                                         dst_ep);
    }
}

void ZDP_BIND_request(ZBIF_HANDLE h, ushort remote_dest_addr, uchar* src_ieee_addr, uchar src_ep,
                      ushort cluster_id, uchar* dst_ieee_addr, uchar dst_ep) {
    if (hasFuncs(h)) {
        h->zbifFuncs->ZDP_BIND_request(h, remote_dest_addr, src_ieee_addr, src_ep, cluster_id,
                                       dst_ieee_addr, dst_ep);
    }
}

void ZDP_UNBIND_request(ZBIF_HANDLE h, ushort remote_dest_addr, uchar* src_ieee_addr, uchar src_ep,
                        ushort cluster_id, uchar* dst_ieee_addr, uchar dst_ep) {
    if (hasFuncs(h)) {
        h->zbifFuncs->ZDP_UNBIND_request(h, remote_dest_addr, src_ieee_addr, src_ep, cluster_id,
                                         dst_ieee_addr, dst_ep);
    }
}

void APSME_UNBIND_request(ZBIF_HANDLE, uchar*, uchar, ushort, uchar*, uchar) {
    notYetImplemented(__FILE__, __LINE__, __func__);
}

void APSME_GET_request(ZBIF_HANDLE, uchar) {}

void APSME_SET_request(ZBIF_HANDLE h, uchar attr, uchar attr_len, uchar* attr_value) {
    if (hasFuncs(h)) {
        h->zbifFuncs->APSME_SET_request(h, attr, attr_len, attr_value);
    }
}

void ZDO_ERROR_response(ZBIF_HANDLE, uchar, ushort, uchar) {
    notYetImplemented(__FILE__, __LINE__, __func__);
}

void ZIGBEE_request(ZBIF_HANDLE h, int request_type, void* request_data) {
    if (hasFuncs(h) && h->zbifFuncs->ZIGBEE_request != nullptr) {
        h->zbifFuncs->ZIGBEE_request(h, request_type, request_data);
    }
}

// ---- Default callbacks: print only ----

namespace {

void defResetConfirm(ZBIF_HANDLE, uchar status, uchar) {
    printf("ZDO_RESET_confirm -> status = 0x%02x\n", status);
}
void defStartConfirm(ZBIF_HANDLE, uchar status, ushort) {
    printf("ZDO_START_confirm -> status = 0x%02x\n", status);
}
void defNwkAddrConfirm(ZBIF_HANDLE, uchar status, uchar* ieee, ushort nwk, uchar n, uchar si,
                       ushort* list) {
    ZBPrint_ZDO_NWK_ADDR_confirm(status, ieee, nwk, n, si, list);
}
void defIeeeAddrConfirm(ZBIF_HANDLE, uchar status, uchar* ieee, ushort nwk, uchar n, uchar si,
                        ushort* list) {
    ZBPrint_ZDO_IEEE_ADDR_confirm(status, ieee, nwk, n, si, list);
}
void defLqiResponse(ZBIF_HANDLE, uchar mode, uchar* addr, uchar*) {
    printf("ZB_MGMT_LQI_response -> mode %d, source %02x%02x\n", mode, addr ? addr[1] : 0,
           addr ? addr[0] : 0);
}
void defNodeDescConfirm(ZBIF_HANDLE, uchar status, ushort, ZB_NODE_DESC*) {
    printf("ZDO_NODE_DESC_confirm -> %d\n", status);
}
void defPowerDescConfirm(ZBIF_HANDLE, uchar status, ushort nwk, ZB_POWER_DESC* pd) {
    ZBPrint_ZDO_POWER_DESC_confirm(status, nwk, pd);
}
void defSimpleDescConfirm(ZBIF_HANDLE, uchar status, ushort nwk, ZB_SIMPLE_DESC* sd) {
    ZBPrint_ZDO_SIMPLE_DESC_confirm(status, nwk, sd);
}
void defActiveEpConfirm(ZBIF_HANDLE, uchar status, ushort nwk, uchar n, uchar* list) {
    ZBPrint_ZDO_ACTIVE_EP_DESC_confirm(status, nwk, n, list);
}
void defMatchDescConfirm(ZBIF_HANDLE, uchar status, ushort nwk, uchar n, uchar* list) {
    ZBPrint_ZDO_MATCH_DESC_confirm(status, nwk, n, list);
}
void defMatchDescIndication(ZBIF_HANDLE, ushort nwk, ushort profile, uchar, ushort*, uchar,
                            ushort*) {
    printf("ZDO_MATCH_DESC_indication -> nwk_addr %04x, profile %04x\n", nwk, profile);
}
void defEndDeviceBindConfirm(ZBIF_HANDLE, uchar status) {
    printf("ZDO_END_DEVICE_BIND_confirm -> status = 0x%02x\n", status);
}
void defDeviceAnnce(ZBIF_HANDLE, ushort, uchar*, uchar) {
    puts("WARNING: ZDO_DEVICE_ANNCE_indication not overrided");
}
void defStackStatus(ZBIF_HANDLE, uchar) {
    puts("WARNING: ZIGBEE_STACK_STATUS_indication not overrided");
}
void defDataConfirm(ZBIF_HANDLE, uchar, uchar*, uchar, uchar, uchar status) {
    printf("APSDE_DATA_confirm -> %d\n", status);
}
void defDataIndication(ZBIF_HANDLE, uchar dst_mode, uchar* dst, uchar dst_ep, uchar src_mode,
                       uchar* src, uchar src_ep, ushort profile, ushort cluster, ushort len,
                       uchar* asdu, uchar bcast, uchar sec) {
    ZBPrint_APSDE_DATA_indication(dst_mode, dst, dst_ep, src_mode, src, src_ep, profile, cluster,
                                  len, asdu, bcast, sec);
}
void defMgmtBindResponse(ZBIF_HANDLE, uchar status, ushort entries, ushort start, ushort count,
                         ZB_BIND_STRUCT*) {
    printf(
        "ZDP_MGMT_BIND_Response -> status %d, bindingTableEntries %04x, StartIndex %04x, "
        "BindingTableListCount %04x\n",
        status, entries, start, count);
}
void defApsmeBindConfirm(ZBIF_HANDLE, uchar status, uchar* src, uchar src_ep, ushort cluster,
                         uchar* dst, uchar dst_ep) {
    ZBPrint_APSME_BIND_confirm(status, src, src_ep, cluster, dst, dst_ep);
}
void defBindResponse(ZBIF_HANDLE, uchar status) {
    printf("ZDP_BIND_response -> status = 0x%02x\n", status);
}
void defUnbindResponse(ZBIF_HANDLE, uchar status) {
    printf("ZDP_UNBIND_response -> status = 0x%02x\n", status);
}
void defGetConfirm(ZBIF_HANDLE, uchar status, uchar attr, uchar len, uchar* value) {
    printf("APSME_GET_confirm: status = 0x%02x, attr = 0x%02x\n", status, attr);
    zb_print_bytes("ATTRIBUTE -> ", value, value ? len : 0);
}
void defSetConfirm(ZBIF_HANDLE, uchar status, uchar) {
    printf("APSME_SET_confirm: status = 0x%02x\n", status);
}
void defPermitJoiningResponse(ZBIF_HANDLE, uchar status) {
    printf("MGMT_PERMIT_JOINING_response -> status = 0x%02x\n", status);
}
void defLeaveResponse(ZBIF_HANDLE, uchar status) {
    printf("MGMT_LEAVE_response -> status = 0x%02x\n", status);
}
void defLeaveConfirm(ZBIF_HANDLE, uchar* ieee, uchar rejoin) {
    printf("MGMT_LEAVE_confirm -> %s, rejoin %d\n", ieee_addr2a(ieee), rejoin);
}
void defErrorConfirm(ZBIF_HANDLE, uchar status, ushort cluster, uchar expected) {
    printf("ZDO_ERROR_confirm -> status = 0x%02x, cluster %04x, expected length %d\n", status,
           cluster, expected);
}
void defLinkLost(ZBIF_HANDLE, int error) {
    printf("ZB_LINK_LOST_indication -> %s\n", strerror(error));
}

}  // namespace

const ZBIFCbs_t zbifDefaultCbs = {
    defResetConfirm,
    defStartConfirm,
    defNwkAddrConfirm,
    defIeeeAddrConfirm,
    defLqiResponse,
    defNodeDescConfirm,
    defPowerDescConfirm,
    defSimpleDescConfirm,
    defActiveEpConfirm,
    defMatchDescConfirm,
    defMatchDescIndication,
    defEndDeviceBindConfirm,
    defDeviceAnnce,
    defStackStatus,
    defDataConfirm,
    defDataIndication,
    defMgmtBindResponse,
    defApsmeBindConfirm,
    defBindResponse,
    defUnbindResponse,
    defGetConfirm,
    defSetConfirm,
    defPermitJoiningResponse,
    defLeaveResponse,
    defLeaveConfirm,
    defErrorConfirm,
    defLinkLost,
    nullptr,
    nullptr,
};
