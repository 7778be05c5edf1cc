// The adapter's listeners (registration, checked against the kind each event calls) and its
// handlers of what the module reports (address and descriptor confirms, the device profile's
// responses, indications), each handed to its listeners.
#include "OrqZbIf.h"

#include <cstdio>
#include <cstring>

#include "CDebug.h"
#include "GWManagement.h"
#include "OrqZbIfInternal.h"

using orqzbif::putLE16;
using orqzbif::ZB_ATTR_GET_CHANNEL_PROBE;

namespace {
constexpr int kLqiEntrySize = 22;  // one neighbour table record

// Which listener kind each event key calls; keys not listed accept any kind.
struct ListenerKind {
    int event;
    ZbListenerBase::Kind kind;
};
#define ORQ_KIND_ROW(event, L) {event, L::kindOf()},
const ListenerKind kListenerKinds[] = {ORQ_ZB_EVENT_KINDS(ORQ_KIND_ROW)};
#undef ORQ_KIND_ROW
}  // namespace

int OrqZbIf::registerListener(int event, ZbListenerBase* listener) {
    if (listener == nullptr) {
        return -1;
    }
    for (const auto& kind : kListenerKinds) {
        if (kind.event == event && kind.kind != listener->kind()) {
            ORQ_LOG(*pLogger, ERROR,
                    "registerListener - listener of the wrong kind for event 0x%04x", event);
            return -1;
        }
    }
    std::lock_guard<std::mutex> lock(listenersMux);
    listeners[event].push_back(listener);
    return 0;
}

int OrqZbIf::unregisterListener(int event, ZbListenerBase* listener) {
    std::lock_guard<std::mutex> lock(listenersMux);
    auto it = listeners.find(event);
    if (it == listeners.end() || it->second.empty()) {
        return -1;
    }
    for (auto l = it->second.begin(); l != it->second.end(); ++l) {
        if (*l == listener) {
            it->second.erase(l);
            ORQ_LOG(*pLogger, DEBUG, "unregisterListener - listener removed");
            break;
        }
    }
    return 0;
}

void OrqZbIf::manageNodeTimeouts(uchar src_addr_mode, const uchar* src_addr) {
    if (src_addr == nullptr) {
        return;
    }
    std::lock_guard<std::recursive_mutex> dbLock(db.mutex());
    long now = static_cast<long>(std::time(nullptr));
    if (src_addr_mode == 2) {
        ushort nwk = static_cast<ushort>(src_addr[0] | (src_addr[1] << 8));
        Node* n = db.findNodeByNwkAddr(nwk);
        if (n == nullptr) {
            ORQ_LOG(*pLogger, DEBUG,
                    "manageNodeTimeouts - node 0x%04x not inserted yet, nothing to do then!", nwk);
            return;
        }
        n->setKANodeTimer(now);
        if (debugEnabled) {
            ORQ_LOG(*pLogger, DEBUG, "manageNodeTimeouts - timer updated for node 0x%04x!", nwk);
        }
    } else if (src_addr_mode == 3) {
        Node* n = db.findNodeByIEEEAddr(src_addr);
        if (n == nullptr) {
            ORQ_LOG(*pLogger, DEBUG,
                    "manageNodeTimeouts - node %02x:%02x:%02x:%02x:%02x:%02x:%02x:%02x not "
                    "inserted yet, nothing to do then!",
                    src_addr[0], src_addr[1], src_addr[2], src_addr[3], src_addr[4], src_addr[5],
                    src_addr[6], src_addr[7]);
            return;
        }
        n->setKANodeTimer(now);
        if (debugEnabled) {
            ORQ_LOG(*pLogger, DEBUG, "manageNodeTimeouts - timer updated for node 0x%04x!",
                    n->get_nwk_addr());
        }
    } else {
        ORQ_LOG(*pLogger, WARN, "manageNodeTimeouts - src_addr_mode not valid - operation aborted");
    }
}

void OrqZbIf::ZDO_NWK_ADDR_confirm(uchar status, uchar* ieee_addr, ushort nwk_addr,
                                   uchar num_assoc_dev, uchar start_index, ushort* list) {
    ORQ_LOG(*pLogger, DEBUG, "ZDO_NWK_ADDR_confirm - status 0x%02x, nwk 0x%04x", status, nwk_addr);
    if (!fire<ZB_EV_ZDO_NWK_ADDR_CONFIRM>(status, ieee_addr, nwk_addr, num_assoc_dev, start_index,
                                          list)) {
        ORQ_LOG(*pLogger, DEBUG, "ZDO_NWK_ADDR_confirm - Map Listeners empty");
    }
}

void OrqZbIf::ZDO_IEEE_ADDR_confirm(uchar status, uchar* ieee_addr, ushort nwk_addr,
                                    uchar num_assoc_dev, uchar start_index, ushort* list) {
    manageNodeTimeouts(3, ieee_addr);
    if (!fire<ZB_EV_ZDO_IEEE_ADDR_CONFIRM>(status, ieee_addr, nwk_addr, num_assoc_dev, start_index,
                                           list)) {
        ORQ_LOG(*pLogger, DEBUG, "ZDO_IEEE_ADDR_confirm - Map Listeners empty");
    }
}

int OrqZbIf::decodeNeighbourTable(const uchar* data, int len, uchar* status, uchar* total,
                                  uchar* startIndex, uchar* listCount, ZB_NEIGHBOR_TABLE_LIST* out,
                                  int max) {
    *status = *total = *startIndex = *listCount = 0;
    if (data == nullptr || len < 1) {
        return 0;
    }
    // An error answer may carry its status alone: it is reported with an empty list.
    *status = data[1];
    if (len < 4) {
        return 0;
    }
    *total = data[2];
    *startIndex = data[3];
    *listCount = data[4];
    int fit = (len - 4) / kLqiEntrySize;
    int n = *listCount;
    if (n > fit) {
        n = fit;
    }
    if (n > max) {
        n = max;
    }
    const uchar* p = data + 5;
    for (int i = 0; i < n; ++i, p += kLqiEntrySize) {
        ZB_NEIGHBOR_TABLE_LIST& e = out[i];
        for (int b = 0; b < 8; ++b) {
            e.ExtendedPANId[b] = p[7 - b];
            e.ExtendedAddress[b] = p[15 - b];
        }
        e.NetworkAddress = static_cast<ushort>(p[16] | (p[17] << 8));
        e.devTypeRxOnRelation = p[18];
        e.PermitJoining = p[19];
        e.Depth = p[20];
        e.LQI = p[21];
    }
    return n;
}

void OrqZbIf::ZB_MGMT_LQI_response(uchar src_addr_mode, uchar* src_addr, uchar* data) {
    if (src_addr != nullptr) {
        ORQ_LOG(*pLogger, DEBUG, "ZB_MGMT_LQI_response from 0x%02x%02x", src_addr[1], src_addr[0]);
    }
    manageNodeTimeouts(src_addr_mode, src_addr);
    if (data == nullptr) {
        return;
    }
    uchar status, total, start, count;
    std::vector<ZB_NEIGHBOR_TABLE_LIST> list(255);
    int n = decodeNeighbourTable(data, data[0], &status, &total, &start, &count, list.data(),
                                 static_cast<int>(list.size()));
    for (int i = 0; i < n; ++i) {
        const uchar* ie = list[i].ExtendedAddress;
        ORQ_LOG(*pLogger, DEBUG, "ZB_MGMT_LQI_response - nkwAddr %04x", list[i].NetworkAddress);
        ORQ_LOG(*pLogger, DEBUG,
                "ZB_MGMT_LQI_response - ieee_addr = %02X:%02X:%02X:%02X:%02X:%02X:%02X:%02X", ie[0],
                ie[1], ie[2], ie[3], ie[4], ie[5], ie[6], ie[7]);
    }
    if (!fire<ZB_EV_ZB_MGMT_LQI_RESPONSE>(src_addr_mode, src_addr, status, total, start,
                                          static_cast<uchar>(n), list.data())) {
        ORQ_LOG(*pLogger, DEBUG, "ZB_MGMT_LQI_response - Map Listeners empty");
    }
}

void OrqZbIf::ZDO_NODE_DESC_confirm(uchar status, ushort nwk_addr, ZB_NODE_DESC* nd) {
    ORQ_LOG(*pLogger, DEBUG, "ZDO_NODE_DESC_confirm - status 0x%02x, nwk 0x%04x", status, nwk_addr);
    if (!fire<ZB_EV_ZDO_NODE_DESC_CONFIRM>(status, nwk_addr, nd)) {
        ORQ_LOG(*pLogger, DEBUG, "ZDO_NODE_DESC_confirm - Map Listeners empty");
    }
}

void OrqZbIf::ZDO_POWER_DESC_confirm(uchar status, ushort nwk_addr, ZB_POWER_DESC* pd) {
    ORQ_LOG(*pLogger, DEBUG, "ZDO_POWER_DESC_confirm - status 0x%02x, nwk 0x%04x", status,
            nwk_addr);
    if (!fire<ZB_EV_ZDO_POWER_DESC_CONFIRM>(status, nwk_addr, pd)) {
        ORQ_LOG(*pLogger, DEBUG, "ZDO_POWER_DESC_confirm - Map Listeners empty");
    }
}

void OrqZbIf::ZDO_SIMPLE_DESC_confirm(uchar status, ushort nwk_addr, ZB_SIMPLE_DESC* sd) {
    ORQ_LOG(*pLogger, DEBUG, "ZDO_SIMPLE_DESC_confirm - status 0x%02x, nwk 0x%04x", status,
            nwk_addr);
    if (!fire<ZB_EV_ZDO_SIMPLE_DESC_CONFIRM>(status, nwk_addr, sd)) {
        ORQ_LOG(*pLogger, DEBUG, "ZDO_SIMPLE_DESC_confirm - Map Listeners empty");
    }
}

void OrqZbIf::ZDO_ACTIVE_EP_DESC_confirm(uchar status, ushort nwk_addr, uchar count, uchar* list) {
    ORQ_LOG(*pLogger, DEBUG, "ZDO_ACTIVE_EP_DESC_confirm - status 0x%02x, nwk 0x%04x", status,
            nwk_addr);
    if (!fire<ZB_EV_ZDO_ACTIVE_EP_DESC_CONFIRM>(status, nwk_addr, count, list)) {
        ORQ_LOG(*pLogger, DEBUG, "ZDO_ACTIVE_EP_DESC_confirm - Map Listeners empty");
    }
}

void OrqZbIf::ZDO_MATCH_DESC_indication(ushort nwk_addr, ushort profile_id, uchar nicl,
                                        ushort* icllist, uchar nocl, ushort* ocllist) {
    ORQ_LOG(*pLogger, DEBUG, "ZDO_MATCH_DESC_indication - nwk 0x%04x, profile 0x%04x", nwk_addr,
            profile_id);
    if (!fire<ZB_EV_ZDO_MATCH_DESC_INDICATION>(nwk_addr, profile_id, nicl, icllist, nocl,
                                               ocllist)) {
        ORQ_LOG(*pLogger, DEBUG, "ZDO_MATCH_DESC_indication - Map Listeners empty");
    }
}

void OrqZbIf::ZDO_END_DEVICE_BIND_confirm(uchar status) {
    if (status == 0) {
        ORQ_LOG(*pLogger, INFO, "Binding succeded");
    } else {
        ORQ_LOG(*pLogger, WARN, "Binding returned status = 0x%02x", status);
    }
}

void OrqZbIf::ZDO_DEVICE_ANNCE_indication(ushort nwk_addr, uchar* ieee_addr, uchar capability) {
    if (gwStatus.load() != GW_RUNNING || ieee_addr == nullptr) {
        return;
    }
    ORQ_LOG(*pLogger, INFO, "***** ZDO_DEVICE_ANNCE_indication - ShortAddress: %04x ******",
            nwk_addr);
    if (!fire<ZB_EV_ZDO_DEVICE_ANNCE_INDICATION>(nwk_addr, ieee_addr, capability)) {
        db.nodeAnnounce(nwk_addr, ieee_addr, capability);
    }
}

void OrqZbIf::ZIGBEE_STACK_STATUS_indication(uchar status) {
    const char* name = nullptr;
    switch (status) {
        case EMBER_NETWORK_UP:
            name = "EMBER_NETWORK_UP";
            break;
        case EMBER_NETWORK_DOWN:
            name = "EMBER_NETWORK_DOWN";
            break;
        case EMBER_JOIN_FAILED:
            name = "EMBER_JOIN_FAILED";
            break;
        case EMBER_CANNOT_JOIN_AS_ROUTER:
            name = "EMBER_CANNOT_JOIN_AS_ROUTER";
            break;
        case EMBER_PAN_ID_CHANGED:
            name = "EMBER_PAN_ID_CHANGED";
            break;
    }
    if (name != nullptr) {
        ORQ_LOG(*pLogger, INFO, "ZIGBEE_STACK_STATUS_indication - EVENT - %s", name);
    } else {
        ORQ_LOG(*pLogger, INFO, "ZIGBEE_STACK_STATUS_indication - EVENT - status %x", status);
    }
    if (status == EMBER_NETWORK_DOWN) {
        setGWStatus(GW_ERROR, GW_NETWORK_DOWN);
    }
    if (status == ZB_STACK_STATUS_MODULE_INITIALIZED && gwStatus.load() == GW_RUNNING) {
        if (ModuleWatcher* w = moduleWatcher.load()) {
            w->moduleRebooted();
        }
    }
}

void OrqZbIf::NLME_SYNC_confirm(uchar status) {
    if (status != 0) {
        ORQ_LOG(*pLogger, WARN, "Sync failed");
    }
}

void OrqZbIf::APSDE_DATA_confirm(uchar, uchar*, uchar, uchar, uchar) {}

void OrqZbIf::sendLivenessProbe() {
    probePending.store(true);
    APSME_GET_request(ZB_ATTR_GET_CHANNEL_PROBE);
}

void OrqZbIf::APSDE_DATA_indication(uchar dst_addr_mode, uchar* dst_addr, uchar dst_ep,
                                    uchar src_addr_mode, uchar* src_addr, uchar src_ep,
                                    ushort profile_id, ushort cluster_id, ushort asdu_len,
                                    uchar* asdu, uchar was_broadcast, uchar sec_status) {
    (void)dst_addr_mode;
    (void)dst_addr;
    if (gwStatus.load() != GW_RUNNING) {
        return;
    }
    if (debugEnabled && src_addr != nullptr) {
        ORQ_LOG(*pLogger, DEBUG,
                "OrqZbIf::APSDE_DATA_indication - Message from 0x%02x%02x ep %d profile 0x%04x "
                "cluster 0x%04x len %d",
                src_addr[1], src_addr[0], src_ep, profile_id, cluster_id, asdu_len);
    }
    manageNodeTimeouts(src_addr_mode, src_addr);
    // The destination is always the root, by its network address.
    uchar rootAddr[2] = {0, 0};
    {
        std::lock_guard<std::recursive_mutex> dbLock(db.mutex());
        Node* root = db.getRoot();
        if (root != nullptr) {
            putLE16(rootAddr, root->get_nwk_addr());
        }
    }
    ZbDataIndication ind;
    ind.dstAddrMode = 2;
    ind.dstAddr = rootAddr;
    ind.dstEp = dst_ep;
    ind.srcAddrMode = src_addr_mode;
    ind.srcAddr = src_addr;
    ind.srcEp = src_ep;
    ind.profileId = profile_id;
    ind.clusterId = cluster_id;
    ind.payload = asdu;
    ind.payloadLength = asdu_len;
    ind.wasBroadcast = was_broadcast != 0;
    ind.securityStatus = sec_status;
    if (!fire<ZB_EV_APSDE_DATA_INDICATION>(ind)) {
        ORQ_LOG(*pLogger, DEBUG, "Map Listeners empty for ZB_APSDE_DATA_INDICATION");
    }
}

void OrqZbIf::ZDP_MGMT_BIND_Response(uchar status, ushort entries, ushort start_index,
                                     ushort list_count, ZB_BIND_STRUCT* list) {
    if (status == 0) {
        ORQ_LOG(*pLogger, DEBUG, "ZDP_MGMT_BIND_Response succeeded");
    } else {
        ORQ_LOG(*pLogger, WARN, "ZDP_MGMT_BIND_Response returned status = 0x%02x", status);
    }
    if (!fire<ZB_EV_ZDP_MGMT_BIND_RESPONSE>(status, entries, start_index, list_count, list)) {
        ORQ_LOG(*pLogger, DEBUG, "ZDP_MGMT_BIND_Response - Map Listeners empty");
    }
}

void OrqZbIf::ZDP_BIND_response(uchar status) {
    if (status == 0) {
        ORQ_LOG(*pLogger, DEBUG, "Bind_Confirm succeed");
    } else {
        ORQ_LOG(*pLogger, WARN, "Bind_Confirm  returned status = 0x%02x", status);
    }
    if (!fire<ZB_EV_ZDP_BIND_RESPONSE>(ZbZdpResponse{ZB_EV_ZDP_BIND_RESPONSE, status})) {
        ORQ_LOG(*pLogger, DEBUG, "ZDP_BIND_response - Map Listeners empty");
    }
}

void OrqZbIf::ZDP_UNBIND_response(uchar status) {
    ORQ_LOG(*pLogger, DEBUG, "ZDP_UNBIND_response - status 0x%02x", status);
    if (!fire<ZB_EV_ZDP_UNBIND_RESPONSE>(ZbZdpResponse{ZB_EV_ZDP_UNBIND_RESPONSE, status})) {
        ORQ_LOG(*pLogger, DEBUG, "ZDP_UNBIND_response - Map Listeners empty");
    }
}

void OrqZbIf::MGMT_PERMIT_JOINING_response(uchar status) {
    ORQ_LOG(*pLogger, DEBUG, "MGMT_PERMIT_JOINING_response - status 0x%02x", status);
    if (!fire<ZB_EV_MGMT_PERMIT_JOINING_RESPONSE>(
            ZbZdpResponse{ZB_EV_MGMT_PERMIT_JOINING_RESPONSE, status})) {
        ORQ_LOG(*pLogger, DEBUG, "MGMT_PERMIT_JOINING_response - Map Listeners empty");
    }
}

void OrqZbIf::MGMT_LEAVE_response(uchar status) {
    ORQ_LOG(*pLogger, DEBUG, "MGMT_LEAVE_response - status 0x%02x", status);
    if (!fire<ZB_EV_MGMT_LEAVE_RESPONSE>(ZbZdpResponse{ZB_EV_MGMT_LEAVE_RESPONSE, status})) {
        ORQ_LOG(*pLogger, DEBUG, "MGMT_LEAVE_response - Map Listeners empty");
    }
}

void OrqZbIf::MGMT_LEAVE_confirm(uchar* ieee_addr, uchar rejoin) {
    if (ieee_addr == nullptr) {
        return;
    }
    ORQ_LOG(*pLogger, DEBUG, "MGMT_LEAVE_confirm - rejoin %d", rejoin);
    std::lock_guard<std::recursive_mutex> dbLock(db.mutex());
    Node* n = db.findNodeByIEEEAddr(ieee_addr);
    if (n != nullptr) {
        n->setKANodeTimer(KA_UNKNOWN_TO_NETWORK);
    }
}

void OrqZbIf::ZB_LINK_LOST_indication(int error) {
    ORQ_LOG(*pLogger, ERROR, "ZB_LINK_LOST_indication - ZigBee device lost (%s)",
            std::strerror(error));
    std::fprintf(stderr, "ERROR: the ZigBee device link is lost (%s)\n", std::strerror(error));
    linkLost.store(true);
    setGWStatus(GW_ERROR, GW_GENERIC_ERROR);
    if (ModuleWatcher* w = moduleWatcher.load()) {
        w->linkLost(error);
    }
}

void OrqZbIf::NLME_JOIN_indication(ushort nwk_addr, uchar* ieee_addr, uchar flags1, uchar flags2) {
    ORQ_LOG(*pLogger, DEBUG, "NLME_JOIN_indication - nwk 0x%04x", nwk_addr);
    if (!fire<ZB_EV_NLME_JOIN_INDICATION>(nwk_addr, ieee_addr, flags1, flags2)) {
        ORQ_LOG(*pLogger, DEBUG, "NLME_JOIN_indication - Map Listeners empty");
    }
}

void OrqZbIf::APSME_UPDATE_DEVICE_indication(uchar* addr1, uchar* addr2, uchar status, ushort nwk) {
    ORQ_LOG(*pLogger, DEBUG, "APSME_UPDATE_DEVICE_indication - nwk 0x%04x", nwk);
    if (!fire<ZB_EV_APSME_UPDATE_DEVICE_INDICATION>(addr1, addr2, status, nwk)) {
        ORQ_LOG(*pLogger, DEBUG, "APSME_UPDATE_DEVICE_indication - Map Listeners empty");
    }
}
