// Utilities of the stack interface: status texts, address texts, descriptor helpers and the trace
// printers used by the encoder and the decoder.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "zigbee.h"

namespace {

struct StatusText {
    uchar code;
    const char* text;
};

// Sorted by code; looked up by binary search.
constexpr StatusText kStatusTexts[] = {
    {0x00, "ZB_SUCCESS"},
    {0x80, "ZB_ZDO_INV_REQUESTTYPE"},
    {0x81, "ZB_ZDO_DEVICE_NOT_FOUND"},
    {0x82, "ZB_ZDO_INVALID_EP"},
    {0x83, "ZB_ZDO_NOT_ACTIVE"},
    {0x84, "ZB_ZDO_NOT_SUPPORTE"},
    {0x85, "ZB_ZDO_TIMEOUT"},
    {0x86, "ZB_ZDO_NO_MATCH"},
    {0x87, "ZB_ZDO_TABLE_FULL"},
    {0x88, "ZB_ZDO_NO_ENTRY"},
    {0x8E, "ZB_ZDO_NO_REPLY"},
    {0xC1, "ZB_NWK_INVALID_PARAMETER"},
    {0xC2, "ZB_NWK_INVALID_REQUEST"},
    {0xC3, "ZB_NWK_NOT_PERMITTED"},
    {0xC4, "ZB_NWK_STARTUP_FAILURE"},
    {0xC5, "ZB_NWK_ALREADY_PRESENT"},
    {0xC6, "ZB_NWK_SYNC_FAILURE"},
    {0xC7, "ZB_NWK_NEIGHBOR_TABLE_FULL"},
    {0xC8, "ZB_NWK_UNKNOWN_DEVICE"},
    {0xC9, "ZB_NWK_UNSUPPORTED_ATTRIBUTE"},
    {0xCA, "ZB_NWK_NO_NETWORKS"},
    {0xCB, "ZB_NWK_LEAVE_UNCONFIRMED"},
    {0xCC, "ZB_NWK_MAX_FRM_CNTR"},
    {0xCD, "ZB_NWK_NO_KEY"},
    {0xCE, "ZB_NWK_BAD_CCM_OUTPUT"},
    {0xCF, "ZB_NWK_NO_ROUTING_CAPACITY"},
    {0xD0, "ZB_SUCCESS"},
    {0xD1, "ZB_NWK_ROUTE_ERROR"},
    {0xD2, "ZB_NWK_BT_TABLE_FULL"},
    {0xD3, "ZB_NWK_FRAME_NOT_BUFFERED"},
};

constexpr bool statusTextsSorted() {
    for (size_t i = 1; i < sizeof(kStatusTexts) / sizeof(kStatusTexts[0]); i++) {
        if (kStatusTexts[i - 1].code >= kStatusTexts[i].code) {
            return false;
        }
    }
    return true;
}
static_assert(statusTextsSorted(), "status texts must be sorted by code");

void printStatus(uchar status) {
    printf("\tstatus: %s (0x%02X)\n", status2a(status), status);
}

void printClusterList(const char* label, uchar count, const ushort* list) {
    printf("\t%s (%d):", label, count);
    if (count == 0 || list == nullptr) {
        printf(" empty\n");
        return;
    }
    for (int i = 0; i < count; i++) {
        printf(" %04x", list[i]);
    }
    printf("\n");
}

void printAddress(const char* label, uchar mode, const uchar* addr) {
    if (addr == nullptr) {
        printf("\t%s: empty\n", label);
    } else if (mode == 3) {
        printf("\t%s: %s\n", label, ieee_addr2a(addr));
    } else {
        printf("\t%s: %02x%02x\n", label, addr[1], addr[0]);
    }
}

void printBytes(const char* label, const uchar* data, int len) {
    printf("\t%s:", label);
    if (len <= 0 || data == nullptr) {
        printf(" empty\n");
        return;
    }
    for (int i = 0; i < len; i++) {
        printf(" %02X", data[i]);
    }
    printf("\n");
}

}  // namespace

const char* status2a(uchar status) {
    thread_local char buf[50];
    const char* text = "Unknown error code";
    size_t lo = 0;
    size_t hi = sizeof(kStatusTexts) / sizeof(kStatusTexts[0]);
    while (lo < hi) {
        size_t mid = (lo + hi) / 2;
        if (kStatusTexts[mid].code == status) {
            text = kStatusTexts[mid].text;
            break;
        }
        if (kStatusTexts[mid].code < status) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    snprintf(buf, sizeof(buf), "%s", text);
    return buf;
}

const char* ieee_addr2a(const uchar* ieee) {
    thread_local char buf[32];
    if (ieee == nullptr) {
        snprintf(buf, sizeof(buf), "(null)");
        return buf;
    }
    snprintf(buf, sizeof(buf), "%02X:%02X:%02X:%02X:%02X:%02X:%02X:%02X", ieee[0], ieee[1], ieee[2],
             ieee[3], ieee[4], ieee[5], ieee[6], ieee[7]);
    return buf;
}

const char* bool2a(int b) {
    thread_local char buf[8];
    snprintf(buf, sizeof(buf), "%s", b ? "true" : "false");
    return buf;
}

void swap_bytes(uchar* buf, int len) {
    for (int i = 0, j = len - 1; i < j; i++, j--) {
        uchar t = buf[i];
        buf[i] = buf[j];
        buf[j] = t;
    }
}

int ZB_Init_SIMPLE_DESC(ZB_SIMPLE_DESC* sd) {
    memset(sd, 0, sizeof(*sd));
    sd->app_in_cluster_list = nullptr;
    sd->app_out_cluster_list = nullptr;
    return 0;
}

int ZB_Free_SIMPLE_DESC(ZB_SIMPLE_DESC* sd) {
    free(sd->app_in_cluster_list);
    free(sd->app_out_cluster_list);
    sd->app_in_cluster_list = nullptr;
    sd->app_out_cluster_list = nullptr;
    return 0;
}

int ZB_Init_NODE_DESC(ZB_NODE_DESC* nd) {
    memset(nd, 0, sizeof(*nd));
    return 0;
}

static ushort* copyClusterList(const ushort* src, uchar count) {
    if (count == 0 || src == nullptr) {
        return nullptr;
    }
    ushort* list = static_cast<ushort*>(malloc(count * sizeof(ushort)));
    if (list != nullptr) {
        memcpy(list, src, count * sizeof(ushort));
    }
    return list;
}

int ZB_Copy_SIMPLE_DESC(ZB_SIMPLE_DESC* dst, const ZB_SIMPLE_DESC* src) {
    ZB_Free_SIMPLE_DESC(dst);
    dst->ep = src->ep;
    dst->app_profile_id = src->app_profile_id;
    dst->app_device_id = src->app_device_id;
    dst->app_device_ver = src->app_device_ver;
    dst->reserved = src->reserved;
    dst->app_in_cluster_count = src->app_in_cluster_count;
    dst->app_out_cluster_count = src->app_out_cluster_count;
    dst->app_in_cluster_list = copyClusterList(src->app_in_cluster_list, src->app_in_cluster_count);
    dst->app_out_cluster_list =
        copyClusterList(src->app_out_cluster_list, src->app_out_cluster_count);
    if (dst->app_in_cluster_list == nullptr) {
        dst->app_in_cluster_count = 0;
    }
    if (dst->app_out_cluster_list == nullptr) {
        dst->app_out_cluster_count = 0;
    }
    return 0;
}

void ZBPrint_ZDO_RESET_confirm(uchar status, uchar restartGW) {
    printf("ZDO_RESET_confirm\n");
    printStatus(status);
    printf("\trestartGW: %s\n", bool2a(restartGW));
}

void ZBPrint_ZDO_START_confirm(uchar status, ushort nwk_addr) {
    printf("ZDO_START_confirm\n");
    printStatus(status);
    printf("\tnwk_addr: %04x\n", nwk_addr);
}

static void printAddrConfirm(const char* name, uchar status, const uchar* ieee_addr,
                             ushort nwk_addr, uchar num_assoc_dev, uchar start_index,
                             const ushort* list) {
    printf("%s\n", name);
    printStatus(status);
    printf("\tieee_addr: %s\n", ieee_addr2a(ieee_addr));
    printf("\tnwk_addr: %04x\n", nwk_addr);
    printf("\tnum_assoc_dev: %d\n", num_assoc_dev);
    printf("\tstart_index: %d\n", start_index);
    printClusterList("nwk_addr_assoc_dev_list", num_assoc_dev, list);
}

void ZBPrint_ZDO_NWK_ADDR_confirm(uchar status, const uchar* ieee_addr, ushort nwk_addr,
                                  uchar num_assoc_dev, uchar start_index, const ushort* list) {
    printAddrConfirm("ZDO_NWK_ADDR_confirm", status, ieee_addr, nwk_addr, num_assoc_dev,
                     start_index, list);
}

void ZBPrint_ZDO_IEEE_ADDR_confirm(uchar status, const uchar* ieee_addr, ushort nwk_addr,
                                   uchar num_assoc_dev, uchar start_index, const ushort* list) {
    printAddrConfirm("ZDO_IEEE_ADDR_confirm", status, ieee_addr, nwk_addr, num_assoc_dev,
                     start_index, list);
}

void ZBPrint_ZDO_NODE_DESC_confirm(uchar status, ushort nwk_addr, const ZB_NODE_DESC* nd) {
    printf("ZDO_NODE_DESC_confirm - nwk_addr: %04x - status %s (0x%02X). Node_desc:\n", nwk_addr,
           status2a(status), status);
    if (nd == nullptr) {
        printf("\tempty\n");
        return;
    }
    printf("\tlogical_type: %d\n", nd->logical_type);
    printf("\tcomplx_desc_avail: %s\n", bool2a(nd->complx_desc_avail));
    printf("\tuser_desc_avail: %s\n", bool2a(nd->user_desc_avail));
    printf("\taps_flags: %d\n", nd->aps_flags);
    printf("\tfreq_band: %d\n", nd->freq_band);
    printf("\tmac_cap: %02x\n", nd->mac_cap);
    printf("\tmanifact_code: %04x\n", nd->manifact_code);
    printf("\tmax_buf_size: %d\n", nd->max_buf_size);
    printf("\tmax_transf_size: %d\n", nd->max_transf_size);
    printf("\tserver_mask: %04x\n", nd->server_mask);
}

void ZBPrint_ZDO_POWER_DESC_confirm(uchar status, ushort nwk_addr, const ZB_POWER_DESC* pd) {
    printf("ZDO_POWER_DESC_confirm - nwk_addr: %04x\n", nwk_addr);
    printStatus(status);
    if (pd == nullptr) {
        printf("\tempty\n");
        return;
    }
    printf("\tcurr_pw_mode: %d\n", pd->curr_pw_mode);
    printf("\tavail_pw_src: %d\n", pd->avail_pw_src);
    printf("\tcurr_pw_src: %d\n", pd->curr_pw_src);
    printf("\tcurr_pw_src_level: %d\n", pd->curr_pw_src_level);
}

void ZBPrint_ZDO_SIMPLE_DESC_confirm(uchar status, ushort nwk_addr, const ZB_SIMPLE_DESC* sd) {
    printf("ZDO_SIMPLE_DESC_confirm - nwk_addr: %04x\n", nwk_addr);
    printStatus(status);
    if (sd == nullptr) {
        printf("\tempty\n");
        return;
    }
    printf("\tep: %d\n", sd->ep);
    printf("\tapp_profile_id: %04x\n", sd->app_profile_id);
    printf("\tapp_device_id: %04x\n", sd->app_device_id);
    printf("\tapp_device_ver: %d\n", sd->app_device_ver);
    printClusterList("app_in_cluster_list", sd->app_in_cluster_count, sd->app_in_cluster_list);
    printClusterList("app_out_cluster_list", sd->app_out_cluster_count, sd->app_out_cluster_list);
}

void ZBPrint_ZDO_ACTIVE_EP_DESC_confirm(uchar status, ushort nwk_addr, uchar count,
                                        const uchar* list) {
    printf("ZDO_ACTIVE_EP_DESC_confirm - nwk_addr: %04x\n", nwk_addr);
    printStatus(status);
    printBytes("active_ep_list", list, count);
}

void ZBPrint_ZDO_MATCH_DESC_confirm(uchar status, ushort nwk_addr, uchar len, const uchar* list) {
    printf("ZDO_MATCH_DESC_confirm - nwk_addr: %04x\n", nwk_addr);
    printStatus(status);
    printBytes("match_list", list, len);
}

void ZBPrint_ZDO_DEVICE_ANNCE_indication(ushort nwk_addr, const uchar* ieee_addr,
                                         uchar capability) {
    printf("ZDO_DEVICE_ANNCE_indication\n");
    printf("\tnwk_addr: %04x\n", nwk_addr);
    printf("\tieee_addr: %s\n", ieee_addr2a(ieee_addr));
    printf("\tcapability: %02x\n", capability);
}

void ZBPrint_APSDE_DATA_confirm(uchar dst_addr_mode, const uchar* dst_addr, uchar dst_ep,
                                uchar src_ep, uchar status) {
    printf("APSDE_DATA_confirm\n");
    printf("\tdst_addr_mode: %02x\n", dst_addr_mode);
    printAddress("dst_addr", dst_addr_mode, dst_addr);
    printf("\tdst_ep: %02x\n", dst_ep);
    printf("\tsrc_ep: %02x\n", src_ep);
    printStatus(status);
}

void ZBPrint_APSDE_DATA_indication(uchar dst_addr_mode, const uchar* dst_addr, uchar dst_ep,
                                   uchar src_addr_mode, const uchar* src_addr, uchar src_ep,
                                   ushort profile_id, ushort cluster_id, ushort asdu_len,
                                   const uchar* asdu, uchar was_broadcast, uchar sec_status) {
    printf("APSDE_DATA_indication\n");
    printf("\tdst_addr_mode: %02x\n", dst_addr_mode);
    printAddress("dst_addr", dst_addr_mode, dst_addr);
    printf("\tdst_ep: %02x\n", dst_ep);
    printf("\tsrc_addr_mode: %02x\n", src_addr_mode);
    printAddress("src_addr", src_addr_mode, src_addr);
    printf("\tsrc_ep: %02x\n", src_ep);
    printf("\tprofile_id: %04x\n", profile_id);
    printf("\tcluster_id: %04x\n", cluster_id);
    printf("\tasdu_len: %d\n", asdu_len);
    printBytes("asdu", asdu, asdu_len);
    printf("\twas_broadcast: %s\n", bool2a(was_broadcast));
    printf("\tsec_status: %02x\n", sec_status);
}

void ZBPrint_APSDE_DATA_request(uchar dst_addr_mode, const uchar* dst_addr, uchar dst_ep,
                                ushort profile_id, ushort cluster_id, uchar src_ep, uchar asdu_len,
                                const uchar* asdu, uchar tx_options, uchar radius) {
    printf("APSDE_DATA_request: DestDddrMode %02x, ", dst_addr_mode);
    if (dst_addr == nullptr) {
        printf("DstAddr (null), ");
    } else if (dst_addr_mode == 3) {
        printf("DstAddr %s, ", ieee_addr2a(dst_addr));
    } else {
        printf("DstAddr %02x%02x, ", dst_addr[1], dst_addr[0]);
    }
    printf(
        "DstEndpoint %02x, ProfileId %04x, ClusterId %04x, SrcEndpoint %02x, asduLength %d, "
        "TxOptions %02x, Radius %02x\n",
        dst_ep, profile_id, cluster_id, src_ep, asdu_len, tx_options, radius);
    printBytes("asdu", asdu, asdu_len);
}

void ZBPrint_ZDP_MGMT_BIND_response(uchar status, ushort entries, ushort start_index,
                                    ushort list_count, const ZB_BIND_STRUCT* list) {
    printf("ZDP_MGMT_BIND_response\n");
    printStatus(status);
    printf("\tbindingTableEntries: %d\n", entries);
    printf("\tStartIndex: %d\n", start_index);
    printf("\tBindingTableListCount: %d\n", list_count);
    if (list_count == 0 || list == nullptr) {
        printf("\tBindingTableList: empty\n");
        return;
    }
    for (int i = 0; i < list_count; i++) {
        printf("\t[%d] src_addr: %s", i, ieee_addr2a(list[i].src_addr));
        printf(" src_ep: %02x cluster_id: %04x", list[i].src_ep, list[i].cluster_id);
        printf(" dst_addr: %s dst_ep: %02x\n", ieee_addr2a(list[i].dst_addr), list[i].dst_ep);
    }
}

void ZBPrint_APSME_BIND_confirm(uchar status, const uchar* src_ieee_addr, uchar src_ep,
                                ushort cluster_id, const uchar* dst_ieee_addr, uchar dst_ep) {
    printf("APSME_BIND_confirm\n");
    printStatus(status);
    printf("\tsrc_ieee_addr: %s\n", ieee_addr2a(src_ieee_addr));
    printf("\tsrc_ep: %02x\n", src_ep);
    printf("\tcluster_id: %04x\n", cluster_id);
    printf("\tdst_ieee_addr: %s\n", ieee_addr2a(dst_ieee_addr));
    printf("\tdst_ep: %02x\n", dst_ep);
}

void ZBPrint_APSME_GET_confirm(uchar status, uchar attr, uchar attr_len, const uchar* value) {
    printf("APSME_GET_confirm\n");
    printStatus(status);
    printf("\tattr: %02x\n", attr);
    printBytes("attr_value", value, attr_len);
}

void ZBPrint_APSME_SET_confirm(uchar status, uchar attr) {
    printf("APSME_SET_confirm\n");
    printStatus(status);
    printf("\tattr: %02x\n", attr);
}

void ZBPrint_APSME_SET_request(uchar attr, uchar attr_len, const uchar* /*value*/) {
    printf("APSME_SET_request - attr:0x%02x, attr_len:0x%02x\n", attr, attr_len);
}
