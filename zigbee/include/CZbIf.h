// CZbIf: the stack interface as an object. One method per request (calling the back-end's request
// table with the stored handle) and one virtual operation per confirm or indication. A fixed table
// of trampolines, registered at connect time, finds the object through the handle's owner pointer
// and calls the virtual operation; all of them run on the connection's reader thread.
//
// The object adds no locking around callbacks; `ifMutex` is there for subclasses. Requests may
// be issued from any thread once connected. The handle may be replaced or closed (a reconnect,
// a disconnect) while other threads send: a request holds the handle it loaded for its
// duration, and a disconnect takes the handle out and waits for those requests to end before
// it closes the link (one atomic count per request, no lock on the sending path). A subclass
// disconnects in its own destructor (the reader thread must not call into a half-destroyed
// object); disconnecting from inside a callback is allowed (the reader then ends after the
// callback returns).
//
// Lost device: ZB_LINK_LOST_indication(error) is called once on the reader thread when the serial
// device goes away (read error, hang-up); getLinkError() returns the errno-style reason from then
// on (0 while the link is up, ENODEV when not connected).
#ifndef ORQ_CZBIF_H
#define ORQ_CZBIF_H

#include <atomic>
#include <mutex>

#include "zigbee.h"

class CZbIf {
  public:
    CZbIf();
    virtual ~CZbIf();

    CZbIf(const CZbIf&) = delete;
    CZbIf& operator=(const CZbIf&) = delete;

    // 0 when connected, -1 otherwise.
    int ZBIFConnect(const char* uri);
    // 0 when not connected; else the result of the flat disconnect.
    int ZBIFDisconnect();
    int getLinkError() const;
    ZBIF_HANDLE getHandle() const { return handle.load(); }

    void ZDO_RESET_request(uchar options);
    void ZDO_START_request();
    void ZDP_MGMT_NWK_UPDATE_request(unsigned long scanChannel, ushort scanDuration);
    void ZDO_NWK_ADDR_request(uchar* ieee_addr, uchar request_type, uchar start_index);
    void ZDO_IEEE_ADDR_request(ushort nwk_addr, uchar request_type, uchar start_index);
    void ZB_MGMT_LQI_request(ushort nwk_addr, uchar start_index);
    void ZDO_NODE_DESC_request(ushort dst_addr, ushort nwk_addr);
    void ZDO_POWER_DESC_request(ushort dst_addr, ushort nwk_addr);
    void ZDO_SIMPLE_DESC_request(ushort dst_addr, ushort nwk_addr, uchar endpoint);
    void ZDO_ACTIVE_EP_DESC_request(ushort dst_addr, ushort nwk_addr);
    void ZDO_MATCH_DESC_request(ushort dst_addr, ushort nwk_addr, ushort profile_id, uchar nicl,
                                ushort* icllist, uchar nocl, ushort* ocllist);
    void ZDO_MATCH_DESC_response(uchar status, ushort nwk_addr, uchar match_len, uchar* match_list);
    void ZDO_END_DEVICE_BIND_request(ushort binding_target, uchar* src_ieee_addr, uchar src_ep,
                                     ushort profile_id, uchar nicl, ushort* icllist, uchar nocl,
                                     ushort* ocllist);
    void APSDE_DATA_request(uchar dst_addr_mode, uchar* dst_addr, uchar dst_ep, ushort profile_id,
                            ushort cluster_id, uchar src_ep, uchar asdu_len, uchar* asdu,
                            uchar tx_options, uchar radius);
    void ZDP_MGMT_BIND_Request(ushort remote_dest_addr, ushort start_index);
    void APSME_BIND_request(uchar* src_ieee_addr, uchar src_ep, ushort cluster_id,
                            uchar* dst_ieee_addr, uchar dst_ep);
    void ZDP_BIND_request(ushort remote_dest_addr, uchar* src_ieee_addr, uchar src_ep,
                          ushort cluster_id, uchar* dst_ieee_addr, uchar dst_ep);
    void ZDP_UNBIND_request(ushort remote_dest_addr, uchar* src_ieee_addr, uchar src_ep,
                            ushort cluster_id, uchar* dst_ieee_addr, uchar dst_ep);
    void APSME_UNBIND_request(uchar* src_ieee_addr, uchar src_ep, ushort cluster_id,
                              uchar* dst_ieee_addr, uchar dst_ep);
    void APSME_GET_request(uchar attr);
    void APSME_SET_request(uchar attr, uchar attr_len, uchar* attr_value);
    void ZDO_ERROR_response(uchar status, ushort cluster_id, uchar expected_len);
    void NLME_SYNC_request(uchar track);

    // Confirms and indications (reader thread).
    virtual void ZDO_RESET_confirm(uchar status, uchar restartGW);
    virtual void ZDO_START_confirm(uchar status, ushort nwk_addr);
    virtual void ZDO_NWK_ADDR_confirm(uchar status, uchar* ieee_addr, ushort nwk_addr,
                                      uchar num_assoc_dev, uchar start_index, ushort* list);
    virtual void ZDO_IEEE_ADDR_confirm(uchar status, uchar* ieee_addr, ushort nwk_addr,
                                       uchar num_assoc_dev, uchar start_index, ushort* list);
    virtual void ZB_MGMT_LQI_response(uchar src_addr_mode, uchar* src_addr, uchar* data);
    virtual void ZDO_NODE_DESC_confirm(uchar status, ushort nwk_addr, ZB_NODE_DESC* nd);
    virtual void ZDO_POWER_DESC_confirm(uchar status, ushort nwk_addr, ZB_POWER_DESC* pd);
    virtual void ZDO_SIMPLE_DESC_confirm(uchar status, ushort nwk_addr, ZB_SIMPLE_DESC* sd);
    virtual void ZDO_ACTIVE_EP_DESC_confirm(uchar status, ushort nwk_addr, uchar count,
                                            uchar* list);
    virtual void ZDO_MATCH_DESC_confirm(uchar status, ushort nwk_addr, uchar len, uchar* list);
    virtual void ZDO_MATCH_DESC_indication(ushort nwk_addr, ushort profile_id, uchar nicl,
                                           ushort* icllist, uchar nocl, ushort* ocllist);
    virtual void ZDO_END_DEVICE_BIND_confirm(uchar status);
    virtual void ZDO_DEVICE_ANNCE_indication(ushort nwk_addr, uchar* ieee_addr, uchar capability);
    virtual void ZIGBEE_STACK_STATUS_indication(uchar status);
    virtual void NLME_SYNC_confirm(uchar status);
    virtual void NLME_SYNC_indication();
    virtual void APSDE_DATA_confirm(uchar dst_addr_mode, uchar* dst_addr, uchar dst_ep,
                                    uchar src_ep, uchar status);
    virtual void APSDE_DATA_indication(uchar dst_addr_mode, uchar* dst_addr, uchar dst_ep,
                                       uchar src_addr_mode, uchar* src_addr, uchar src_ep,
                                       ushort profile_id, ushort cluster_id, ushort asdu_len,
                                       uchar* asdu, uchar was_broadcast, uchar sec_status);
    virtual void ZDP_MGMT_BIND_Response(uchar status, ushort entries, ushort start_index,
                                        ushort list_count, ZB_BIND_STRUCT* list);
    virtual void APSME_BIND_confirm(uchar status, uchar* src_ieee, uchar src_ep, ushort cluster_id,
                                    uchar* dst_ieee, uchar dst_ep);
    virtual void ZDP_BIND_response(uchar status);
    virtual void ZDP_UNBIND_response(uchar status);
    virtual void APSME_UNBIND_confirm(uchar status, uchar* src_ieee, uchar src_ep,
                                      ushort cluster_id, uchar* dst_ieee, uchar dst_ep);
    virtual void APSME_GET_confirm(uchar status, uchar attr, uchar attr_len, uchar* attr_value);
    virtual void APSME_SET_confirm(uchar status, uchar attr);
    virtual void MGMT_PERMIT_JOINING_request(ushort dst, int duration);
    virtual void MGMT_PERMIT_JOINING_response(uchar status);
    virtual void MGMT_LEAVE_response(uchar status);
    virtual void MGMT_LEAVE_confirm(uchar* ieee_addr, uchar rejoin);
    virtual void ZDO_ERROR_confirm(uchar status, ushort cluster_id, uchar expected_len);
    virtual void ZB_LINK_LOST_indication(int error);
    // The module's health, for a supervisor. moduleRequestSent: on the sending thread, just
    // before a packet goes out that the module answers itself whatever the radio does (the
    // back-end decides which); the answer may come back before the request returns.
    // moduleHeard: on the reader thread, for every packet from the module, before it is
    // decoded. A data confirm is only heard: APSDE_DATA_confirm is not called.
    virtual void moduleRequestSent() {}
    virtual void moduleHeard() {}

    // The trampoline table registered by ZBIFConnect.
    static const ZBIFCbs_t* trampolines();

  protected:
    std::mutex ifMutex;

  private:
    class LinkUse;
    static bool connected(const char* op, ZBIF_HANDLE h);
    // Calls the back-end's request slot with the handle, or reports `op` dropped when not
    // connected.
    template <typename Slot, typename... Args>
    void forward(const char* op, Slot ZBIFFunctions_t::*slot, Args... args);
    // Closes `h`, already taken out of `handle`, once no other thread's request uses it.
    int release(ZBIF_HANDLE h);

    std::atomic<ZBIF_HANDLE> handle{nullptr};
    // Requests holding a handle right now (see LinkUse).
    mutable std::atomic<int> users{0};
};

#endif
