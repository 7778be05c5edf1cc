// CZbIf: requests through the back-end's table, confirms and indications through trampolines.
#include "CZbIf.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <thread>

namespace {

void warnNotOverridden(const char* op) {
    printf("WARNING: CZbIf::%s not overrided\n", op);
}

// A null handle or owner reaching a trampoline is a programming error: stop at once.
CZbIf* objectOf(ZBIF_HANDLE h, const char* op) {
    if (h == nullptr || h->hh == nullptr) {
        fprintf(stderr, "CZbIf::%s - assertion failed: callback without a stack interface object\n",
                op);
        abort();
    }
    return static_cast<CZbIf*>(h->hh);
}

void CPP_ZDO_RESET_confirm(ZBIF_HANDLE h, uchar status, uchar restartGW) {
    objectOf(h, __func__)->ZDO_RESET_confirm(status, restartGW);
}
void CPP_ZDO_START_confirm(ZBIF_HANDLE h, uchar status, ushort nwk_addr) {
    objectOf(h, __func__)->ZDO_START_confirm(status, nwk_addr);
}
void CPP_ZDO_NWK_ADDR_confirm(ZBIF_HANDLE h, uchar status, uchar* ieee, ushort nwk, uchar n,
                              uchar start, ushort* list) {
    objectOf(h, __func__)->ZDO_NWK_ADDR_confirm(status, ieee, nwk, n, start, list);
}
void CPP_ZDO_IEEE_ADDR_confirm(ZBIF_HANDLE h, uchar status, uchar* ieee, ushort nwk, uchar n,
                               uchar start, ushort* list) {
    objectOf(h, __func__)->ZDO_IEEE_ADDR_confirm(status, ieee, nwk, n, start, list);
}
void CPP_ZB_MGMT_LQI_response(ZBIF_HANDLE h, uchar mode, uchar* addr, uchar* data) {
    objectOf(h, __func__)->ZB_MGMT_LQI_response(mode, addr, data);
}
void CPP_ZDO_NODE_DESC_confirm(ZBIF_HANDLE h, uchar status, ushort nwk, ZB_NODE_DESC* nd) {
    objectOf(h, __func__)->ZDO_NODE_DESC_confirm(status, nwk, nd);
}
void CPP_ZDO_POWER_DESC_confirm(ZBIF_HANDLE h, uchar status, ushort nwk, ZB_POWER_DESC* pd) {
    objectOf(h, __func__)->ZDO_POWER_DESC_confirm(status, nwk, pd);
}
void CPP_ZDO_SIMPLE_DESC_confirm(ZBIF_HANDLE h, uchar status, ushort nwk, ZB_SIMPLE_DESC* sd) {
    objectOf(h, __func__)->ZDO_SIMPLE_DESC_confirm(status, nwk, sd);
}
void CPP_ZDO_ACTIVE_EP_DESC_confirm(ZBIF_HANDLE h, uchar status, ushort nwk, uchar n, uchar* list) {
    objectOf(h, __func__)->ZDO_ACTIVE_EP_DESC_confirm(status, nwk, n, list);
}
void CPP_ZDO_MATCH_DESC_confirm(ZBIF_HANDLE h, uchar status, ushort nwk, uchar n, uchar* list) {
    objectOf(h, __func__)->ZDO_MATCH_DESC_confirm(status, nwk, n, list);
}
void CPP_ZDO_MATCH_DESC_indication(ZBIF_HANDLE h, ushort nwk, ushort profile, uchar nicl,
                                   ushort* icl, uchar nocl, ushort* ocl) {
    objectOf(h, __func__)->ZDO_MATCH_DESC_indication(nwk, profile, nicl, icl, nocl, ocl);
}
void CPP_ZDO_END_DEVICE_BIND_confirm(ZBIF_HANDLE h, uchar) {
    objectOf(h, __func__);
    warnNotOverridden("ZDO_END_DEVICE_BIND_confirm");
}
void CPP_ZDO_DEVICE_ANNCE_indication(ZBIF_HANDLE h, ushort nwk, uchar* ieee, uchar capability) {
    objectOf(h, __func__)->ZDO_DEVICE_ANNCE_indication(nwk, ieee, capability);
}
void CPP_ZIGBEE_STACK_STATUS_indication(ZBIF_HANDLE h, uchar status) {
    objectOf(h, __func__)->ZIGBEE_STACK_STATUS_indication(status);
}
void CPP_APSDE_DATA_confirm(ZBIF_HANDLE h, uchar, uchar*, uchar, uchar, uchar) {
    objectOf(h, __func__);  // data confirms end here: the packet itself was heard
}
void CPP_APSDE_DATA_indication(ZBIF_HANDLE h, uchar dst_mode, uchar* dst, uchar dst_ep,
                               uchar src_mode, uchar* src, uchar src_ep, ushort profile,
                               ushort cluster, ushort len, uchar* asdu, uchar bcast, uchar sec) {
    objectOf(h, __func__)
        ->APSDE_DATA_indication(dst_mode, dst, dst_ep, src_mode, src, src_ep, profile, cluster, len,
                                asdu, bcast, sec);
}
void CPP_ZDP_MGMT_BIND_response(ZBIF_HANDLE h, uchar status, ushort entries, ushort start,
                                ushort count, ZB_BIND_STRUCT* list) {
    objectOf(h, __func__)->ZDP_MGMT_BIND_Response(status, entries, start, count, list);
}
void CPP_APSME_BIND_confirm(ZBIF_HANDLE h, uchar status, uchar* src, uchar src_ep, ushort cluster,
                            uchar* dst, uchar dst_ep) {
    objectOf(h, __func__)->APSME_BIND_confirm(status, src, src_ep, cluster, dst, dst_ep);
}
void CPP_ZDP_BIND_response(ZBIF_HANDLE h, uchar status) {
    objectOf(h, __func__)->ZDP_BIND_response(status);
}
void CPP_ZDP_UNBIND_response(ZBIF_HANDLE h, uchar status) {
    objectOf(h, __func__)->ZDP_UNBIND_response(status);
}
void CPP_APSME_GET_confirm(ZBIF_HANDLE h, uchar status, uchar attr, uchar len, uchar* value) {
    objectOf(h, __func__)->APSME_GET_confirm(status, attr, len, value);
}
void CPP_APSME_SET_confirm(ZBIF_HANDLE h, uchar status, uchar attr) {
    objectOf(h, __func__)->APSME_SET_confirm(status, attr);
}
void CPP_MGMT_PERMIT_JOINING_response(ZBIF_HANDLE h, uchar status) {
    objectOf(h, __func__)->MGMT_PERMIT_JOINING_response(status);
}
void CPP_MGMT_LEAVE_response(ZBIF_HANDLE h, uchar status) {
    objectOf(h, __func__)->MGMT_LEAVE_response(status);
}
void CPP_MGMT_LEAVE_confirm(ZBIF_HANDLE h, uchar* ieee, uchar rejoin) {
    objectOf(h, __func__)->MGMT_LEAVE_confirm(ieee, rejoin);
}
void CPP_ZDO_ERROR_confirm(ZBIF_HANDLE h, uchar status, ushort cluster, uchar expected) {
    objectOf(h, __func__)->ZDO_ERROR_confirm(status, cluster, expected);
}
void CPP_ZB_LINK_LOST_indication(ZBIF_HANDLE h, int error) {
    objectOf(h, __func__)->ZB_LINK_LOST_indication(error);
}
void CPP_ZB_MODULE_REQUEST_indication(ZBIF_HANDLE h) {
    objectOf(h, __func__)->moduleRequestSent();
}
void CPP_ZB_MODULE_HEARD_indication(ZBIF_HANDLE h) {
    objectOf(h, __func__)->moduleHeard();
}

const ZBIFCbs_t cppCbs = {
    CPP_ZDO_RESET_confirm,
    CPP_ZDO_START_confirm,
    CPP_ZDO_NWK_ADDR_confirm,
    CPP_ZDO_IEEE_ADDR_confirm,
    CPP_ZB_MGMT_LQI_response,
    CPP_ZDO_NODE_DESC_confirm,
    CPP_ZDO_POWER_DESC_confirm,
    CPP_ZDO_SIMPLE_DESC_confirm,
    CPP_ZDO_ACTIVE_EP_DESC_confirm,
    CPP_ZDO_MATCH_DESC_confirm,
    CPP_ZDO_MATCH_DESC_indication,
    CPP_ZDO_END_DEVICE_BIND_confirm,
    CPP_ZDO_DEVICE_ANNCE_indication,
    CPP_ZIGBEE_STACK_STATUS_indication,
    CPP_APSDE_DATA_confirm,
    CPP_APSDE_DATA_indication,
    CPP_ZDP_MGMT_BIND_response,
    CPP_APSME_BIND_confirm,
    CPP_ZDP_BIND_response,
    CPP_ZDP_UNBIND_response,
    CPP_APSME_GET_confirm,
    CPP_APSME_SET_confirm,
    CPP_MGMT_PERMIT_JOINING_response,
    CPP_MGMT_LEAVE_response,
    CPP_MGMT_LEAVE_confirm,
    CPP_ZDO_ERROR_confirm,
    CPP_ZB_LINK_LOST_indication,
    CPP_ZB_MODULE_REQUEST_indication,
    CPP_ZB_MODULE_HEARD_indication,
};

}  // namespace

namespace {
// The uses of one object's link this thread holds: a confirm given inside a request may send
// the next request, or even disconnect; a disconnect waits only for other threads' uses.
thread_local const CZbIf* linkUser = nullptr;
thread_local int linkUsesHeld = 0;
}  // namespace

// One request's hold on the handle: counted before the handle is loaded, so a disconnect that
// took the handle out either finds the count raised or the request finds no handle.
class CZbIf::LinkUse {
  public:
    explicit LinkUse(const CZbIf& zb) : zb(zb) {
        zb.users.fetch_add(1);
        h = zb.handle.load();
        if (linkUser == nullptr || linkUser == &zb) {
            linkUser = &zb;
            ++linkUsesHeld;
            own = true;
        }
    }
    ~LinkUse() {
        if (own && --linkUsesHeld == 0) {
            linkUser = nullptr;
        }
        zb.users.fetch_sub(1);
    }
    LinkUse(const LinkUse&) = delete;
    LinkUse& operator=(const LinkUse&) = delete;
    ZBIF_HANDLE get() const { return h; }

  private:
    const CZbIf& zb;
    ZBIF_HANDLE h = nullptr;
    bool own = false;
};

CZbIf::CZbIf() = default;

CZbIf::~CZbIf() {
    ZBIFDisconnect();
}

const ZBIFCbs_t* CZbIf::trampolines() {
    return &cppCbs;
}

int CZbIf::ZBIFConnect(const char* uri) {
    ZBIF_HANDLE h = ::ZBIFConnectStopped(uri, &cppCbs, this);
    if (h == nullptr) {
        return -1;
    }
    // Stored before the reader starts: a callback may issue the next request at once. A link
    // still open is replaced and closed.
    if (ZBIF_HANDLE old = handle.exchange(h)) {
        release(old);
    }
    if (::ZBIFStart(h) != 0) {
        ZBIF_HANDLE expected = h;
        if (handle.compare_exchange_strong(expected, nullptr)) {
            release(h);
        }
        return -1;
    }
    return 0;
}

int CZbIf::ZBIFDisconnect() {
    ZBIF_HANDLE h = handle.exchange(nullptr);
    return h == nullptr ? 0 : release(h);
}

int CZbIf::release(ZBIF_HANDLE h) {
    // A request that loaded `h` is short (one frame written): wait for it to end.
    const int own = linkUser == this ? linkUsesHeld : 0;
    while (users.load() > own) {
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return ::ZBIFDisconnect(h);
}

int CZbIf::getLinkError() const {
    LinkUse use(*this);
    return use.get() == nullptr ? ENODEV : ::ZBIFLinkError(use.get());
}

bool CZbIf::connected(const char* op, ZBIF_HANDLE h) {
    if (h != nullptr && h->zbifFuncs != nullptr) {
        return true;
    }
    fprintf(stderr, "CZbIf::%s - ERROR: not connected, request dropped\n", op);
    return false;
}

template <typename Slot, typename... Args>
void CZbIf::forward(const char* op, Slot ZBIFFunctions_t::*slot, Args... args) {
    LinkUse use(*this);
    ZBIF_HANDLE h = use.get();
    if (connected(op, h)) {
        (h->zbifFuncs->*slot)(h, args...);
    }
}

void CZbIf::ZDO_RESET_request(uchar options) {
    forward(__func__, &ZBIFFunctions_t::ZDO_RESET_request, options);
}
void CZbIf::ZDO_START_request() {
    forward(__func__, &ZBIFFunctions_t::ZDO_START_request);
}
void CZbIf::ZDP_MGMT_NWK_UPDATE_request(unsigned long scanChannel, ushort scanDuration) {
    forward(__func__, &ZBIFFunctions_t::ZDP_MGMT_NWK_UPDATE_request, scanChannel, scanDuration);
}
void CZbIf::ZDO_NWK_ADDR_request(uchar* ieee_addr, uchar request_type, uchar start_index) {
    forward(__func__, &ZBIFFunctions_t::ZDO_NWK_ADDR_request, ieee_addr, request_type, start_index);
}
void CZbIf::ZDO_IEEE_ADDR_request(ushort nwk_addr, uchar request_type, uchar start_index) {
    forward(__func__, &ZBIFFunctions_t::ZDO_IEEE_ADDR_request, nwk_addr, request_type, start_index);
}
void CZbIf::ZB_MGMT_LQI_request(ushort nwk_addr, uchar start_index) {
    forward(__func__, &ZBIFFunctions_t::ZB_MGMT_LQI_request, nwk_addr, start_index);
}
void CZbIf::ZDO_NODE_DESC_request(ushort dst_addr, ushort nwk_addr) {
    forward(__func__, &ZBIFFunctions_t::ZDO_NODE_DESC_request, dst_addr, nwk_addr);
}
void CZbIf::ZDO_POWER_DESC_request(ushort dst_addr, ushort nwk_addr) {
    forward(__func__, &ZBIFFunctions_t::ZDO_POWER_DESC_request, dst_addr, nwk_addr);
}
void CZbIf::ZDO_SIMPLE_DESC_request(ushort dst_addr, ushort nwk_addr, uchar endpoint) {
    forward(__func__, &ZBIFFunctions_t::ZDO_SIMPLE_DESC_request, dst_addr, nwk_addr, endpoint);
}
void CZbIf::ZDO_ACTIVE_EP_DESC_request(ushort dst_addr, ushort nwk_addr) {
    forward(__func__, &ZBIFFunctions_t::ZDO_ACTIVE_EP_DESC_request, dst_addr, nwk_addr);
}
void CZbIf::ZDO_MATCH_DESC_request(ushort dst_addr, ushort nwk_addr, ushort profile_id, uchar nicl,
                                   ushort* icllist, uchar nocl, ushort* ocllist) {
    forward(__func__, &ZBIFFunctions_t::ZDO_MATCH_DESC_request, dst_addr, nwk_addr, profile_id,
            nicl, icllist, nocl, ocllist);
}
void CZbIf::ZDO_MATCH_DESC_response(uchar status, ushort nwk_addr, uchar match_len,
                                    uchar* match_list) {
    forward(__func__, &ZBIFFunctions_t::ZDO_MATCH_DESC_response, status, nwk_addr, match_len,
            match_list);
}
void CZbIf::ZDO_END_DEVICE_BIND_request(ushort binding_target, uchar* src_ieee_addr, uchar src_ep,
                                        ushort profile_id, uchar nicl, ushort* icllist, uchar nocl,
                                        ushort* ocllist) {
    forward(__func__, &ZBIFFunctions_t::ZDO_END_DEVICE_BIND_request, binding_target, src_ieee_addr,
            src_ep, profile_id, nicl, icllist, nocl, ocllist);
}
void CZbIf::APSDE_DATA_request(uchar dst_addr_mode, uchar* dst_addr, uchar dst_ep,
                               ushort profile_id, ushort cluster_id, uchar src_ep, uchar asdu_len,
                               uchar* asdu, uchar tx_options, uchar radius) {
    forward(__func__, &ZBIFFunctions_t::APSDE_DATA_request, dst_addr_mode, dst_addr, dst_ep,
            profile_id, cluster_id, src_ep, asdu_len, asdu, tx_options, radius);
}
void CZbIf::ZDP_MGMT_BIND_Request(ushort remote_dest_addr, ushort start_index) {
    forward(__func__, &ZBIFFunctions_t::ZDP_MGMT_BIND_Request, remote_dest_addr, start_index);
}
void CZbIf::APSME_BIND_request(uchar* src_ieee_addr, uchar src_ep, ushort cluster_id,
                               uchar* dst_ieee_addr, uchar dst_ep) {
    forward(__func__, &ZBIFFunctions_t::APSME_BIND_request, src_ieee_addr, src_ep, cluster_id,
            dst_ieee_addr, dst_ep);
}
void CZbIf::ZDP_BIND_request(ushort remote_dest_addr, uchar* src_ieee_addr, uchar src_ep,
                             ushort cluster_id, uchar* dst_ieee_addr, uchar dst_ep) {
    forward(__func__, &ZBIFFunctions_t::ZDP_BIND_request, remote_dest_addr, src_ieee_addr, src_ep,
            cluster_id, dst_ieee_addr, dst_ep);
}
void CZbIf::ZDP_UNBIND_request(ushort remote_dest_addr, uchar* src_ieee_addr, uchar src_ep,
                               ushort cluster_id, uchar* dst_ieee_addr, uchar dst_ep) {
    forward(__func__, &ZBIFFunctions_t::ZDP_UNBIND_request, remote_dest_addr, src_ieee_addr, src_ep,
            cluster_id, dst_ieee_addr, dst_ep);
}
void CZbIf::APSME_UNBIND_request(uchar* src_ieee_addr, uchar src_ep, ushort cluster_id,
                                 uchar* dst_ieee_addr, uchar dst_ep) {
    forward(__func__, &ZBIFFunctions_t::APSME_UNBIND_request, src_ieee_addr, src_ep, cluster_id,
            dst_ieee_addr, dst_ep);
}
void CZbIf::APSME_GET_request(uchar attr) {
    forward(__func__, &ZBIFFunctions_t::APSME_GET_request, attr);
}
void CZbIf::APSME_SET_request(uchar attr, uchar attr_len, uchar* attr_value) {
    forward(__func__, &ZBIFFunctions_t::APSME_SET_request, attr, attr_len, attr_value);
}
void CZbIf::ZDO_ERROR_response(uchar status, ushort cluster_id, uchar expected_len) {
    forward(__func__, &ZBIFFunctions_t::ZDO_ERROR_response, status, cluster_id, expected_len);
}
void CZbIf::NLME_SYNC_request(uchar) {}

void CZbIf::ZDO_RESET_confirm(uchar, uchar) {
    warnNotOverridden("ZDO_RESET_confirm");
}
void CZbIf::ZDO_START_confirm(uchar, ushort) {
    warnNotOverridden("ZDO_START_confirm");
}
void CZbIf::ZDO_NWK_ADDR_confirm(uchar, uchar*, ushort, uchar, uchar, ushort*) {
    warnNotOverridden("ZDO_NWK_ADDR_confirm");
}
void CZbIf::ZDO_IEEE_ADDR_confirm(uchar, uchar*, ushort, uchar, uchar, ushort*) {
    warnNotOverridden("ZDO_IEEE_ADDR_confirm");
}
void CZbIf::ZB_MGMT_LQI_response(uchar, uchar*, uchar*) {
    warnNotOverridden("ZB_MGMT_LQI_response");
}
void CZbIf::ZDO_NODE_DESC_confirm(uchar, ushort, ZB_NODE_DESC*) {
    warnNotOverridden("ZDO_NODE_DESC_confirm");
}
void CZbIf::ZDO_POWER_DESC_confirm(uchar, ushort, ZB_POWER_DESC*) {
    warnNotOverridden("ZDO_POWER_DESC_confirm");
}
void CZbIf::ZDO_SIMPLE_DESC_confirm(uchar, ushort, ZB_SIMPLE_DESC*) {
    warnNotOverridden("ZDO_SIMPLE_DESC_confirm");
}
void CZbIf::ZDO_ACTIVE_EP_DESC_confirm(uchar, ushort, uchar, uchar*) {
    warnNotOverridden("ZDO_ACTIVE_EP_DESC_confirm");
}
void CZbIf::ZDO_MATCH_DESC_confirm(uchar, ushort, uchar, uchar*) {
    warnNotOverridden("ZDO_MATCH_DESC_confirm");
}
void CZbIf::ZDO_MATCH_DESC_indication(ushort, ushort, uchar, ushort*, uchar, ushort*) {
    warnNotOverridden("ZDO_MATCH_DESC_indication");
}
void CZbIf::ZDO_END_DEVICE_BIND_confirm(uchar) {
    warnNotOverridden("ZDO_END_DEVICE_BIND_confirm");
}
void CZbIf::ZDO_DEVICE_ANNCE_indication(ushort, uchar*, uchar) {}
void CZbIf::ZIGBEE_STACK_STATUS_indication(uchar) {}
void CZbIf::NLME_SYNC_confirm(uchar) {
    warnNotOverridden("NLME_SYNC_confirm");
}
void CZbIf::NLME_SYNC_indication() {
    warnNotOverridden("NLME_SYNC_indication");
}
void CZbIf::APSDE_DATA_confirm(uchar, uchar*, uchar, uchar, uchar) {
    warnNotOverridden("APSME_DATA_confirm");
}
void CZbIf::APSDE_DATA_indication(uchar, uchar*, uchar, uchar, uchar*, uchar, ushort, ushort,
                                  ushort, uchar*, uchar, uchar) {
    warnNotOverridden("APSME_DATA_indication");
}
void CZbIf::ZDP_MGMT_BIND_Response(uchar, ushort, ushort, ushort, ZB_BIND_STRUCT*) {
    warnNotOverridden("ZDP_MGMT_BIND_Response");
}
void CZbIf::APSME_BIND_confirm(uchar, uchar*, uchar, ushort, uchar*, uchar) {
    warnNotOverridden("APSME_BIND_confirm");
}
void CZbIf::ZDP_BIND_response(uchar) {
    warnNotOverridden("ZDP_BIND_response");
}
void CZbIf::ZDP_UNBIND_response(uchar) {
    warnNotOverridden("ZDP_UNBIND_response");
}
void CZbIf::APSME_UNBIND_confirm(uchar, uchar*, uchar, ushort, uchar*, uchar) {
    warnNotOverridden("APSME_UNBIND_confirm");
}
void CZbIf::APSME_GET_confirm(uchar, uchar, uchar, uchar*) {
    warnNotOverridden("APSME_GET_confirm");
}
void CZbIf::APSME_SET_confirm(uchar, uchar) {
    warnNotOverridden("APSME_SET_confirm");
}
void CZbIf::MGMT_PERMIT_JOINING_request(ushort dst, int duration) {
    puts("zigbee.cpp: calling MGMT_PERMIT_JOINING_request");
    forward(__func__, &ZBIFFunctions_t::MGMT_PERMIT_JOINING_request, dst, duration);
}
void CZbIf::MGMT_PERMIT_JOINING_response(uchar) {
    warnNotOverridden("MGMT_PERMIT_JOINING_response");
}
void CZbIf::MGMT_LEAVE_response(uchar) {
    warnNotOverridden("MGMT_LEAVE_response");
}
void CZbIf::MGMT_LEAVE_confirm(uchar*, uchar) {
    warnNotOverridden("MGMT_LEAVE_confirm");
}
void CZbIf::ZDO_ERROR_confirm(uchar, ushort, uchar) {
    warnNotOverridden("ZDO_ERROR_confirm");
}
void CZbIf::ZB_LINK_LOST_indication(int error) {
    printf("WARNING: CZbIf::ZB_LINK_LOST_indication not overrided (device lost: %s)\n",
           strerror(error));
}
