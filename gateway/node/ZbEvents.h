#ifndef ORQ_ZBEVENTS_H
#define ORQ_ZBEVENTS_H

// What the stack adapter hands to the agents: the event keys, the records of the events that
// carry one, and the listener kinds. The adapter builds a record once, where the stack's
// callback arrives, and passes it by const reference to each listener of the key, on the
// thread that reported the event (the serial reader thread for what the module sends, the
// caller of setGWStatus for a state change). A pointer inside a record is valid during the
// call only: a listener that keeps anything copies it.

#include <functional>

#include "zigbee.h"

// Listener event keys.
enum OrqZbIfEvent {
    ZB_EV_ZDO_NWK_ADDR_CONFIRM = 0x8000,
    ZB_EV_ZDO_IEEE_ADDR_CONFIRM = 0x8001,
    ZB_EV_ZDO_NODE_DESC_CONFIRM = 0x8002,
    ZB_EV_ZDO_POWER_DESC_CONFIRM = 0x8003,
    ZB_EV_ZDO_SIMPLE_DESC_CONFIRM = 0x8004,
    ZB_EV_ZDO_ACTIVE_EP_DESC_CONFIRM = 0x8005,
    ZB_EV_ZB_MGMT_LQI_RESPONSE = 0x8031,
    ZB_EV_ZDP_MGMT_BIND_RESPONSE = 0x8033,
    ZB_EV_MGMT_PERMIT_JOINING_RESPONSE = 0x8036,
    ZB_EV_ZDP_BIND_RESPONSE = 0x80B0,
    ZB_EV_ZDP_UNBIND_RESPONSE = 0x80B8,
    ZB_EV_ZDO_RESET_CONFIRM = 0x80D0,
    ZB_EV_MGMT_LEAVE_RESPONSE = 0x8430,
    ZB_EV_ZDO_DEVICE_ANNCE_INDICATION = 19,
    ZB_EV_ZDO_MATCH_DESC_INDICATION = 6,
    ZB_EV_APSDE_DATA_INDICATION = 160,
    ZB_EV_NLME_JOIN_INDICATION = 192,
    ZB_EV_APSME_UPDATE_DEVICE_INDICATION = 182,
    ZB_EV_GW_STATUS_CHANGED = 0x10001,
};

// A frame for the application (key 160). The destination is the gateway's root: mode 2 and
// its network address (two bytes, low first), whatever destination the module reported.
// dstAddr, srcAddr and payload point into the adapter's or the stack's buffers.
struct ZbDataIndication {
    uchar dstAddrMode = 0;
    const uchar* dstAddr = nullptr;  // 2 bytes (mode 2) or 8 (mode 3)
    uchar dstEp = 0;
    uchar srcAddrMode = 0;
    const uchar* srcAddr = nullptr;  // as the module sent it; may be null
    uchar srcEp = 0;
    ushort profileId = 0;
    ushort clusterId = 0;
    const uchar* payload = nullptr;
    ushort payloadLength = 0;
    bool wasBroadcast = false;
    uchar securityStatus = 0;
};

// A response that carries a status alone: the permit-joining, bind, unbind and leave
// responses of the device profile and the module's reset confirm. `response` is the key it
// was fired under.
struct ZbZdpResponse {
    OrqZbIfEvent response = ZB_EV_ZDP_BIND_RESPONSE;
    uchar status = 0;
};

// The gateway's state changed (key 0x10001): the new status, its error code and the extra
// byte (the module's status of a failed start).
struct ZbStateChange {
    int status = 0;
    int error = 0;
    uchar extra = 0;
};

// A listener record. Its address identifies it in the registry; it must stay alive while
// registered (agents keep theirs as members or statics). Its kind is fixed at construction:
// the adapter checks it against the key's kind when it is registered and calls it without
// a run-time type test.
class ZbListenerBase {
  public:
    using Kind = const void*;
    Kind kind() const { return kindTag; }

  protected:
    explicit ZbListenerBase(Kind kind) : kindTag(kind) {}
    ~ZbListenerBase() = default;

  private:
    Kind kindTag;
};

template <typename... Args>
struct ZbListener : ZbListenerBase {
    using Fn = std::function<void(Args...)>;
    // One per listener kind: its address is the kind.
    static constexpr char kindId = 0;
    static Kind kindOf() { return &kindId; }

    explicit ZbListener(Fn f) : ZbListenerBase(kindOf()), fn(std::move(f)) {}
    Fn fn;
};

// The argument list of each event key (registerListener refuses a record of another kind).
// 0x80D0, 0x8036, 0x80B0, 0x80B8, 0x8430
using ZbZdpResponseListener = ZbListener<const ZbZdpResponse&>;
// status, IEEE, nwk, count, start index, associated list: 0x8000, 0x8001
using ZbAddrConfirmListener = ZbListener<uchar, uchar*, ushort, uchar, uchar, ushort*>;
// status, nwk, descriptor: 0x8002, 0x8003, 0x8004
using ZbNodeDescListener = ZbListener<uchar, ushort, ZB_NODE_DESC*>;
using ZbPowerDescListener = ZbListener<uchar, ushort, ZB_POWER_DESC*>;
using ZbSimpleDescListener = ZbListener<uchar, ushort, ZB_SIMPLE_DESC*>;
// status, nwk, count, end point list: 0x8005
using ZbActiveEpListener = ZbListener<uchar, ushort, uchar, uchar*>;
// source mode, source address, status, total entries, start index, list count, list: 0x8031
using ZbMgmtLqiListener =
    ZbListener<uchar, uchar*, uchar, uchar, uchar, uchar, ZB_NEIGHBOR_TABLE_LIST*>;
// status, entries, start index, count, entries array: 0x8033
using ZbMgmtBindListener = ZbListener<uchar, ushort, ushort, ushort, ZB_BIND_STRUCT*>;
// nwk, IEEE, capability: 19
using ZbDeviceAnnceListener = ZbListener<ushort, uchar*, uchar>;
// nwk, profile, nicl, icllist, nocl, ocllist: 6
using ZbMatchDescListener = ZbListener<ushort, ushort, uchar, ushort*, uchar, ushort*>;
// 160
using ZbDataIndicationListener = ZbListener<const ZbDataIndication&>;
// nwk, IEEE, two flag bytes: 192
using ZbJoinIndicationListener = ZbListener<ushort, uchar*, uchar, uchar>;
// two addresses, status, nwk: 182
using ZbUpdateDeviceListener = ZbListener<uchar*, uchar*, uchar, ushort>;
// 0x10001
using ZbStateChangeListener = ZbListener<const ZbStateChange&>;

// The listener kind of each key, the one list both the registration check and the
// dispatch are made from.
#define ORQ_ZB_EVENT_KINDS(X)                                       \
    X(ZB_EV_ZDO_NWK_ADDR_CONFIRM, ZbAddrConfirmListener)            \
    X(ZB_EV_ZDO_IEEE_ADDR_CONFIRM, ZbAddrConfirmListener)           \
    X(ZB_EV_ZDO_NODE_DESC_CONFIRM, ZbNodeDescListener)              \
    X(ZB_EV_ZDO_POWER_DESC_CONFIRM, ZbPowerDescListener)            \
    X(ZB_EV_ZDO_SIMPLE_DESC_CONFIRM, ZbSimpleDescListener)          \
    X(ZB_EV_ZDO_ACTIVE_EP_DESC_CONFIRM, ZbActiveEpListener)         \
    X(ZB_EV_ZB_MGMT_LQI_RESPONSE, ZbMgmtLqiListener)                \
    X(ZB_EV_ZDP_MGMT_BIND_RESPONSE, ZbMgmtBindListener)             \
    X(ZB_EV_MGMT_PERMIT_JOINING_RESPONSE, ZbZdpResponseListener)    \
    X(ZB_EV_ZDP_BIND_RESPONSE, ZbZdpResponseListener)               \
    X(ZB_EV_ZDP_UNBIND_RESPONSE, ZbZdpResponseListener)             \
    X(ZB_EV_ZDO_RESET_CONFIRM, ZbZdpResponseListener)               \
    X(ZB_EV_MGMT_LEAVE_RESPONSE, ZbZdpResponseListener)             \
    X(ZB_EV_ZDO_DEVICE_ANNCE_INDICATION, ZbDeviceAnnceListener)     \
    X(ZB_EV_ZDO_MATCH_DESC_INDICATION, ZbMatchDescListener)         \
    X(ZB_EV_APSDE_DATA_INDICATION, ZbDataIndicationListener)        \
    X(ZB_EV_NLME_JOIN_INDICATION, ZbJoinIndicationListener)         \
    X(ZB_EV_APSME_UPDATE_DEVICE_INDICATION, ZbUpdateDeviceListener) \
    X(ZB_EV_GW_STATUS_CHANGED, ZbStateChangeListener)

template <int Event>
struct ZbEventListener;
#define ORQ_ZB_EVENT_KIND(event, L) \
    template <>                     \
    struct ZbEventListener<event> { \
        using type = L;             \
    };
ORQ_ZB_EVENT_KINDS(ORQ_ZB_EVENT_KIND)
#undef ORQ_ZB_EVENT_KIND

#endif
