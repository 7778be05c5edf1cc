// Stack interface of the ZigBee module link: a flat API between the gateway and a ZigBee stack
// back-end (the "freescale" serial co-processor).
//
// A client connects with a device URL, a table of confirm/indication callbacks (ZBIFCbs_t) and an
// opaque owner pointer, and gets a ZBIF_HANDLE. Requests go out through the back-end's request
// table (ZBIFFunctions_t) from any thread; confirms and indications come back through the callback
// table on the connection's reader thread only, one at a time, in arrival order. Records handed to
// a callback (descriptors, lists, payloads) are only valid during the call: copy what you keep.
//
// Lost device: when the serial device goes away (read error, hang-up) the reader thread ends, the
// callback slot ZB_LINK_LOST_indication (when set) is called once on the reader thread with an
// errno-style reason, and ZBIFLinkError(handle) returns that reason from then on (0 while the link
// is up). No further confirm or indication arrives on that handle; disconnect it.
#ifndef ORQ_ZIGBEE_H
#define ORQ_ZIGBEE_H

#include "zb_conn.h"

typedef unsigned char uchar;
typedef unsigned short ushort;

// ZigBee status bytes (texts by status2a).
#define ZB_SUCCESS 0x00
#define ZB_ZDO_INV_REQUESTTYPE 0x80
#define ZB_ZDO_DEVICE_NOT_FOUND 0x81
#define ZB_ZDO_INVALID_EP 0x82
#define ZB_ZDO_NOT_ACTIVE 0x83
#define ZB_ZDO_NOT_SUPPORTE 0x84
#define ZB_ZDO_TIMEOUT 0x85
#define ZB_ZDO_NO_MATCH 0x86
#define ZB_ZDO_TABLE_FULL 0x87
#define ZB_ZDO_NO_ENTRY 0x88
#define ZB_ZDO_NO_REPLY 0x8E
#define ZB_NWK_INVALID_PARAMETER 0xC1
#define ZB_NWK_INVALID_REQUEST 0xC2
#define ZB_NWK_NOT_PERMITTED 0xC3
#define ZB_NWK_STARTUP_FAILURE 0xC4
#define ZB_NWK_ALREADY_PRESENT 0xC5
#define ZB_NWK_SYNC_FAILURE 0xC6
#define ZB_NWK_NEIGHBOR_TABLE_FULL 0xC7
#define ZB_NWK_UNKNOWN_DEVICE 0xC8
#define ZB_NWK_UNSUPPORTED_ATTRIBUTE 0xC9
#define ZB_NWK_NO_NETWORKS 0xCA
#define ZB_NWK_LEAVE_UNCONFIRMED 0xCB
#define ZB_NWK_MAX_FRM_CNTR 0xCC
#define ZB_NWK_NO_KEY 0xCD
#define ZB_NWK_BAD_CCM_OUTPUT 0xCE
#define ZB_NWK_NO_ROUTING_CAPACITY 0xCF
#define ZB_NWK_SUCCESS 0xD0
#define ZB_NWK_ROUTE_ERROR 0xD1
#define ZB_NWK_BT_TABLE_FULL 0xD2
#define ZB_NWK_FRAME_NOT_BUFFERED 0xD3

// Stack status events (ZIGBEE_STACK_STATUS_indication).
#define EMBER_NETWORK_UP 0x90
#define EMBER_NETWORK_DOWN 0x91
#define EMBER_JOIN_FAILED 0x94
#define EMBER_CANNOT_JOIN_AS_ROUTER 0x98
#define EMBER_PAN_ID_CHANGED 0x9A
// Not an EmberZNet code: the module reports it has (re)booted (network state event 0).
#define ZB_STACK_STATUS_MODULE_INITIALIZED 0x00

// Reset request option bits (ZDO_RESET_request).
#define ZB_RESET_OPT_RESTART_GW 0x01
#define ZB_RESET_OPT_COMMISSIONING 0x02
#define ZB_RESET_OPT_RESET 0x04
#define ZB_RESET_OPT_RANDOM_IEEE 0x08
#define ZB_RESET_OPT_SILENT_START 0x10

// Attribute ids of APSME_GET_request / APSME_SET_request.
#define EZSP_TRUST_CENTER_POLICY 0x00
#define ZB_TC_KEY_REQUEST_POLICY 0x05
#define ZB_APP_KEY_REQUEST_POLICY 0x06
#define ZB_ATTR_PRECONF_TC_LINK_KEY 0x07
#define ZB_ATTR_NWK_KEY 0x08
#define ZB_ATTR_CONFIG_FRAGMENT_WINDOW_SIZE 0x1C
#define ZB_ATTR_CONFIG_FRAGMENT_DELAY_MS 0x1D
#define ZB_ATTR_KEY_TABLE_SIZE 0x1E
#define ZB_ATTR_KEY_TABLE_ENTRY 0x72
#define ZB_ATTR_GET_CHANNEL_MASK 0xC3
#define ZB_ATTR_CONFIG_SECURITY 0xE0
#define ZB_ATTR_CONFIG_SECURITY_LEVEL 0xE0
#define ZB_ATTR_GET_EUI64 0xED
#define ZB_ATTR_CONFIG_CHANNEL_MASK 0xEE
#define ZB_ATTR_CONFIG_SIMPLE_DESCRIPTOR 0xEF
#define ZB_ATTR_CONFIG_NODE_DESCRIPTOR 0xF0
#define ZB_ATTR_CONFIG_STARTUPCONTROL 0xFD
#define ZB_ATTR_CONFIG_EXTENDEDPANID 0xFE
#define ZB_ATTR_CONFIG_PANID 0xFF

// Largest payload of one co-processor packet (the frame adds STX, group, id, length and FCS).
#define ZB_MAX_PAYLOAD 250

// Node descriptor, 10 bytes as on the air.
typedef struct __attribute__((packed)) ZB_NODE_DESC {
    uchar logical_type : 3;
    uchar complx_desc_avail : 1;
    uchar user_desc_avail : 1;
    uchar reserved : 3;
    uchar aps_flags : 3;
    uchar freq_band : 5;
    uchar mac_cap;
    ushort manifact_code;
    uchar max_buf_size;
    ushort max_transf_size;
    ushort server_mask;
} ZB_NODE_DESC;

// Power descriptor, 2 bytes as on the air.
typedef struct __attribute__((packed)) ZB_POWER_DESC {
    uchar curr_pw_mode : 4;
    uchar avail_pw_src : 4;
    uchar curr_pw_src : 4;
    uchar curr_pw_src_level : 4;
} ZB_POWER_DESC;

// Simple descriptor; the cluster lists are owned by whoever filled the record.
typedef struct __attribute__((packed)) ZB_SIMPLE_DESC {
    uchar ep;
    ushort app_profile_id;
    ushort app_device_id;
    uchar app_device_ver : 4;
    uchar reserved : 4;
    uchar app_in_cluster_count;
    ushort* app_in_cluster_list;
    uchar app_out_cluster_count;
    ushort* app_out_cluster_list;
} ZB_SIMPLE_DESC;

// One binding: IEEE addresses in the caller's (memory) order.
typedef struct __attribute__((packed)) ZB_BIND_STRUCT {
    uchar src_addr[8];
    uchar src_ep;
    ushort cluster_id;
    uchar dst_addr[8];
    uchar dst_ep;
} ZB_BIND_STRUCT;

// One neighbour-table entry of a management LQI response.
typedef struct ZB_NEIGHBOR_TABLE_LIST {
    uchar ExtendedPANId[8];
    uchar ExtendedAddress[8];
    ushort NetworkAddress;
    uchar devTypeRxOnRelation;
    uchar PermitJoining;
    uchar Depth;
    uchar LQI;
} ZB_NEIGHBOR_TABLE_LIST;

// The co-processor's start-up attribute set (written with the start-up attribute write command).
typedef struct WriteSASAttribute {
    ushort ShortAddress;
    uchar ExtendedPANId[8];
    uchar APSUseExtendedPANId[8];
    ushort PANId;
    uchar ChannelsMask[4];
    uchar ProtocolVersion;
    uchar StackProfile;
    uchar StartupControl;
    uchar TrustCenterAddress[8];
    uchar TrustCenterMasterKey[16];
    uchar NetworkKey[16];
    int UseInsecureJoin;
    uchar PreconfiguredTrustCenterLinkKey[16];
    int ActiveNwkKeySeqNumber;
    int NetworkKeyType;
    ushort NetworkManagerAddress;
    int Scanattempts;
    ushort Timebetweenscans;
    ushort RejoinInterval;
    ushort MaximumRejoinInterval;
    ushort IndirectPollRate;
    int ParentLinkRetryThreshold;
    int IsConcentrator;
    int ConcentratorRadius;
    int ConcentratorDiscoveryTime;
} WriteSASAttribute;

static_assert(sizeof(ZB_NODE_DESC) == 10, "node descriptor is 10 bytes");
static_assert(sizeof(ZB_POWER_DESC) == 2, "power descriptor is 2 bytes");
static_assert(sizeof(ZB_BIND_STRUCT) == 20, "binding record is 20 bytes");

struct zbif_status_t;
typedef struct zbif_status_t* ZBIF_HANDLE;

// Confirm and indication callbacks, in slot order. Called on the reader thread (but for
// ZB_MODULE_REQUEST_indication).
typedef struct ZBIFCbs_t {
    void (*ZDO_RESET_confirm)(ZBIF_HANDLE, uchar status, uchar restartGW);
    void (*ZDO_START_confirm)(ZBIF_HANDLE, uchar status, ushort nwk_addr);
    void (*ZDO_NWK_ADDR_confirm)(ZBIF_HANDLE, uchar status, uchar* ieee_addr, ushort nwk_addr,
                                 uchar num_assoc_dev, uchar start_index,
                                 ushort* nwk_addr_assoc_dev_list);
    void (*ZDO_IEEE_ADDR_confirm)(ZBIF_HANDLE, uchar status, uchar* ieee_addr, ushort nwk_addr,
                                  uchar num_assoc_dev, uchar start_index,
                                  ushort* nwk_addr_assoc_dev_list);
    void (*ZB_MGMT_LQI_response)(ZBIF_HANDLE, uchar src_addr_mode, uchar* src_addr, uchar* data);
    void (*ZDO_NODE_DESC_confirm)(ZBIF_HANDLE, uchar status, ushort nwk_addr, ZB_NODE_DESC*);
    void (*ZDO_POWER_DESC_confirm)(ZBIF_HANDLE, uchar status, ushort nwk_addr, ZB_POWER_DESC*);
    void (*ZDO_SIMPLE_DESC_confirm)(ZBIF_HANDLE, uchar status, ushort nwk_addr, ZB_SIMPLE_DESC*);
    void (*ZDO_ACTIVE_EP_DESC_confirm)(ZBIF_HANDLE, uchar status, ushort nwk_addr,
                                       uchar active_ep_count, uchar* active_ep_list);
    void (*ZDO_MATCH_DESC_confirm)(ZBIF_HANDLE, uchar status, ushort nwk_addr, uchar match_len,
                                   uchar* match_list);
    void (*ZDO_MATCH_DESC_indication)(ZBIF_HANDLE, ushort nwk_addr, ushort profile_id, uchar nicl,
                                      ushort* icllist, uchar nocl, ushort* ocllist);
    void (*ZDO_END_DEVICE_BIND_confirm)(ZBIF_HANDLE, uchar status);
    void (*ZDO_DEVICE_ANNCE_indication)(ZBIF_HANDLE, ushort nwk_addr, uchar* ieee_addr,
                                        uchar capability);
    void (*ZIGBEE_STACK_STATUS_indication)(ZBIF_HANDLE, uchar status);
    void (*APSDE_DATA_confirm)(ZBIF_HANDLE, uchar dst_addr_mode, uchar* dst_addr, uchar dst_ep,
                               uchar src_ep, uchar status);
    void (*APSDE_DATA_indication)(ZBIF_HANDLE, uchar dst_addr_mode, uchar* dst_addr, uchar dst_ep,
                                  uchar src_addr_mode, uchar* src_addr, uchar src_ep,
                                  ushort profile_id, ushort cluster_id, ushort asdu_len,
                                  uchar* asdu, uchar was_broadcast, uchar sec_status);
    void (*ZDP_MGMT_BIND_response)(ZBIF_HANDLE, uchar status, ushort bindingTableEntries,
                                   ushort StartIndex, ushort BindingTableListCount,
                                   ZB_BIND_STRUCT* entries);
    void (*APSME_BIND_confirm)(ZBIF_HANDLE, uchar status, uchar* src_ieee_addr, uchar src_ep,
                               ushort cluster_id, uchar* dst_ieee_addr, uchar dst_ep);
    void (*ZDP_BIND_response)(ZBIF_HANDLE, uchar status);
    void (*ZDP_UNBIND_response)(ZBIF_HANDLE, uchar status);
    void (*APSME_GET_confirm)(ZBIF_HANDLE, uchar status, uchar attr, uchar attr_len,
                              uchar* attr_value);
    void (*APSME_SET_confirm)(ZBIF_HANDLE, uchar status, uchar attr);
    void (*MGMT_PERMIT_JOINING_response)(ZBIF_HANDLE, uchar status);
    void (*MGMT_LEAVE_response)(ZBIF_HANDLE, uchar status);
    void (*MGMT_LEAVE_confirm)(ZBIF_HANDLE, uchar* ieee_addr, uchar rejoin);
    void (*ZDO_ERROR_confirm)(ZBIF_HANDLE, uchar status, ushort cluster_id, uchar expected_len);
    // Link-layer addition: the serial device is gone (errno-style reason); may be null.
    void (*ZB_LINK_LOST_indication)(ZBIF_HANDLE, int error);
    // Link-layer additions for the module's supervision; may be null. A packet that the module
    // answers itself whatever the radio does (a data request, an attribute read) is about to
    // be written: called on the sending thread, before the answer can arrive.
    void (*ZB_MODULE_REQUEST_indication)(ZBIF_HANDLE);
    // A packet came from the module (any packet: the module is alive), before it is decoded.
    void (*ZB_MODULE_HEARD_indication)(ZBIF_HANDLE);
} ZBIFCbs_t;

// Back-end request table, in slot order. Encodings are the back-end's; results come back later
// through ZBIFCbs_t. Requests may be issued from any thread.
typedef struct ZBIFFunctions_t {
    void (*ZDO_RESET_request)(ZBIF_HANDLE, uchar options);
    void (*ZDO_START_request)(ZBIF_HANDLE);
    void (*ZDP_MGMT_NWK_UPDATE_request)(ZBIF_HANDLE, unsigned long scanChannel,
                                        ushort scanDuration);
    void (*ZDO_NWK_ADDR_request)(ZBIF_HANDLE, uchar* ieee_addr, uchar request_type,
                                 uchar start_index);
    void (*ZDO_IEEE_ADDR_request)(ZBIF_HANDLE, ushort nwk_addr, uchar request_type,
                                  uchar start_index);
    void (*ZB_MGMT_LQI_request)(ZBIF_HANDLE, ushort nwk_addr, uchar start_index);
    void (*ZDO_NODE_DESC_request)(ZBIF_HANDLE, ushort dst_addr, ushort nwk_addr);
    void (*ZDO_POWER_DESC_request)(ZBIF_HANDLE, ushort dst_addr, ushort nwk_addr);
    void (*ZDO_SIMPLE_DESC_request)(ZBIF_HANDLE, ushort dst_addr, ushort nwk_addr, uchar endpoint);
    void (*ZDO_ACTIVE_EP_DESC_request)(ZBIF_HANDLE, ushort dst_addr, ushort nwk_addr);
    void (*ZDO_MATCH_DESC_request)(ZBIF_HANDLE, ushort dst_addr, ushort nwk_addr, ushort profile_id,
                                   uchar nicl, ushort* icllist, uchar nocl, ushort* ocllist);
    void (*ZDO_MATCH_DESC_response)(ZBIF_HANDLE, uchar status, ushort nwk_addr, uchar match_len,
                                    uchar* match_list);
    void (*ZDO_END_DEVICE_BIND_request)(ZBIF_HANDLE, ushort binding_target, uchar* src_ieee_addr,
                                        uchar src_ep, ushort profile_id, uchar nicl,
                                        ushort* icllist, uchar nocl, ushort* ocllist);
    void (*APSDE_DATA_request)(ZBIF_HANDLE, uchar dst_addr_mode, uchar* dst_addr, uchar dst_ep,
                               ushort profile_id, ushort cluster_id, uchar src_ep, uchar asdu_len,
                               uchar* asdu, uchar tx_options, uchar radius);
    void (*ZDP_MGMT_BIND_Request)(ZBIF_HANDLE, ushort remote_dest_addr, ushort startIndex);
    void (*APSME_BIND_request)(ZBIF_HANDLE, uchar* src_ieee_addr, uchar src_ep, ushort cluster_id,
                               uchar* dst_ieee_addr, uchar dst_ep);
    void (*ZDP_BIND_request)(ZBIF_HANDLE, ushort remote_dest_addr, uchar* src_ieee_addr,
                             uchar src_ep, ushort cluster_id, uchar* dst_ieee_addr, uchar dst_ep);
    void (*ZDP_UNBIND_request)(ZBIF_HANDLE, ushort remote_dest_addr, uchar* src_ieee_addr,
                               uchar src_ep, ushort cluster_id, uchar* dst_ieee_addr, uchar dst_ep);
    void (*APSME_UNBIND_request)(ZBIF_HANDLE, uchar* src_ieee_addr, uchar src_ep, ushort cluster_id,
                                 uchar* dst_ieee_addr, uchar dst_ep);
    void (*APSME_GET_request)(ZBIF_HANDLE, uchar attr);
    void (*APSME_SET_request)(ZBIF_HANDLE, uchar attr, uchar attr_len, uchar* attr_value);
    void (*MGMT_PERMIT_JOINING_request)(ZBIF_HANDLE, ushort dst, int duration);
    void (*ZDO_ERROR_response)(ZBIF_HANDLE, uchar status, ushort cluster_id, uchar expected_len);
    void (*ZIGBEE_request)(ZBIF_HANDLE, int request_type, void* request_data);
} ZBIFFunctions_t;

// Packet entry of a back-end: (handle, packet bytes, size).
typedef void (*ZBIFBackendReceiveCb_t)(ZBIF_HANDLE, const uchar* data, int size);

// The stack interface handle: allocated zero-filled by ZBIFConnect, freed by ZBIFDisconnect.
typedef struct zbif_status_t {
    const ZBIFCbs_t* zbifCbs;  // the client's table, not copied: it must outlive the handle
    const ZBIFFunctions_t* zbifFuncs;
    ZB_CONN_HANDLE zb_conn_h;
    int state;  // 0 connected, 1 start requested, 2 mode select confirmed
    void* hh;   // the client's owner pointer
    ZBIFBackendReceiveCb_t zbifReceiveCb;
} zbif_status_t;

// The "freescale" back-end's request table and packet entry.
extern const ZBIFFunctions_t zbFreescaleFunctions;
void FREESCALE_ReceiveCb(ZBIF_HANDLE handle, const uchar* data, int size);

// Connects to the device named by uri ("zigbee://...?dongle=freescale"); null on failure.
ZBIF_HANDLE ZBIFConnect(const char* uri, const ZBIFCbs_t* zbifCbs, void* hh);
// As ZBIFConnect, with the reader not yet running: the client stores the handle first, then
// calls ZBIFStart (0, or -1: disconnect the handle). No callback arrives before ZBIFStart.
ZBIF_HANDLE ZBIFConnectStopped(const char* uri, const ZBIFCbs_t* zbifCbs, void* hh);
int ZBIFStart(ZBIF_HANDLE handle);
// Why uri names no device this stack can drive ("not a device URL", "no dongle given",
// "dongle ezsp not supported", "no device path"), or null for a URL of the form
// "zigbee://<device>?dongle=freescale". The text is valid until the next call on the thread.
// A connect to such a URL that fails leaves the system's reason in errno.
const char* ZBIFUriProblem(const char* uri);
// Packet sink of the connection (forwards to the back-end's packet entry).
void ZBIFReceiveCb(void* handle, const unsigned char* data, const int size);
// Closes the connection and frees the handle (a null handle is a programming error); -1 without
// a connection, else the close result.
int ZBIFDisconnect(ZBIF_HANDLE handle);
// 0 while the link is up; the errno-style reason once the device has gone.
int ZBIFLinkError(ZBIF_HANDLE handle);

// C-level request wrappers, forwarding to the handle's request table.
void ZDO_RESET_request(ZBIF_HANDLE, uchar options);
void ZDO_START_request(ZBIF_HANDLE);
void ZDP_MGMT_NWK_UPDATE_request(ZBIF_HANDLE, unsigned long scanChannel, ushort scanDuration);
void ZDO_NWK_ADDR_request(ZBIF_HANDLE, uchar* ieee_addr, uchar request_type, uchar start_index);
void ZDO_IEEE_ADDR_request(ZBIF_HANDLE, ushort nwk_addr, uchar request_type, uchar start_index);
void ZB_MGMT_LQI_request(ZBIF_HANDLE, ushort nwk_addr, uchar start_index);
void ZDO_NODE_DESC_request(ZBIF_HANDLE, ushort dst_addr, ushort nwk_addr);
void ZDO_POWER_DESC_request(ZBIF_HANDLE, ushort dst_addr, ushort nwk_addr);
void ZDO_SIMPLE_DESC_request(ZBIF_HANDLE, ushort dst_addr, ushort nwk_addr, uchar endpoint);
void ZDO_ACTIVE_EP_DESC_request(ZBIF_HANDLE, ushort dst_addr, ushort nwk_addr);
void ZDO_MATCH_DESC_response(ZBIF_HANDLE, uchar status, ushort nwk_addr, uchar match_len,
                             uchar* match_list);
void ZDO_END_DEVICE_BIND_request(ZBIF_HANDLE, ushort binding_target, uchar* src_ieee_addr,
                                 uchar src_ep, ushort profile_id, uchar nicl, ushort* icllist,
                                 uchar nocl, ushort* ocllist);
void APSDE_DATA_request(ZBIF_HANDLE, uchar dst_addr_mode, uchar* dst_addr, uchar dst_ep,
                        ushort profile_id, ushort cluster_id, uchar src_ep, uchar asdu_len,
                        uchar* asdu, uchar tx_options, uchar radius);
void ZDP_MGMT_BIND_Request(ZBIF_HANDLE, ushort remote_dest_addr, ushort startIndex);
void APSME_BIND_request(ZBIF_HANDLE, uchar* src_ieee_addr, uchar src_ep, ushort cluster_id,
                        uchar* dst_ieee_addr, uchar dst_ep);
void ZDP_BIND_request(ZBIF_HANDLE, ushort remote_dest_addr, uchar* src_ieee_addr, uchar src_ep,
                      ushort cluster_id, uchar* dst_ieee_addr, uchar dst_ep);
void ZDP_UNBIND_request(ZBIF_HANDLE, ushort remote_dest_addr, uchar* src_ieee_addr, uchar src_ep,
                        ushort cluster_id, uchar* dst_ieee_addr, uchar dst_ep);
void APSME_UNBIND_request(ZBIF_HANDLE, uchar* src_ieee_addr, uchar src_ep, ushort cluster_id,
                          uchar* dst_ieee_addr, uchar dst_ep);
void APSME_GET_request(ZBIF_HANDLE, uchar attr);
void APSME_SET_request(ZBIF_HANDLE, uchar attr, uchar attr_len, uchar* attr_value);
void ZDO_ERROR_response(ZBIF_HANDLE, uchar status, ushort cluster_id, uchar expected_len);
void ZIGBEE_request(ZBIF_HANDLE, int request_type, void* request_data);

// Callbacks for clients without their own: they only print.
extern const ZBIFCbs_t zbifDefaultCbs;

// Utilities. The text results live in per-thread buffers, valid until the next call on the same
// thread.
const char* status2a(uchar status);
const char* ieee_addr2a(const uchar* ieee);
const char* bool2a(int b);
void swap_bytes(uchar* buf, int len);
int ZB_Init_SIMPLE_DESC(ZB_SIMPLE_DESC* sd);
int ZB_Free_SIMPLE_DESC(ZB_SIMPLE_DESC* sd);
int ZB_Init_NODE_DESC(ZB_NODE_DESC* nd);
int ZB_Copy_SIMPLE_DESC(ZB_SIMPLE_DESC* dst, const ZB_SIMPLE_DESC* src);

// Trace printers (standard output).
void ZBPrint_ZDO_RESET_confirm(uchar status, uchar restartGW);
void ZBPrint_ZDO_START_confirm(uchar status, ushort nwk_addr);
void ZBPrint_ZDO_NWK_ADDR_confirm(uchar status, const uchar* ieee_addr, ushort nwk_addr,
                                  uchar num_assoc_dev, uchar start_index, const ushort* list);
void ZBPrint_ZDO_IEEE_ADDR_confirm(uchar status, const uchar* ieee_addr, ushort nwk_addr,
                                   uchar num_assoc_dev, uchar start_index, const ushort* list);
void ZBPrint_ZDO_NODE_DESC_confirm(uchar status, ushort nwk_addr, const ZB_NODE_DESC* nd);
void ZBPrint_ZDO_POWER_DESC_confirm(uchar status, ushort nwk_addr, const ZB_POWER_DESC* pd);
void ZBPrint_ZDO_SIMPLE_DESC_confirm(uchar status, ushort nwk_addr, const ZB_SIMPLE_DESC* sd);
void ZBPrint_ZDO_ACTIVE_EP_DESC_confirm(uchar status, ushort nwk_addr, uchar count,
                                        const uchar* list);
void ZBPrint_ZDO_MATCH_DESC_confirm(uchar status, ushort nwk_addr, uchar len, const uchar* list);
void ZBPrint_ZDO_DEVICE_ANNCE_indication(ushort nwk_addr, const uchar* ieee_addr, uchar capability);
void ZBPrint_APSDE_DATA_confirm(uchar dst_addr_mode, const uchar* dst_addr, uchar dst_ep,
                                uchar src_ep, uchar status);
void ZBPrint_APSDE_DATA_indication(uchar dst_addr_mode, const uchar* dst_addr, uchar dst_ep,
                                   uchar src_addr_mode, const uchar* src_addr, uchar src_ep,
                                   ushort profile_id, ushort cluster_id, ushort asdu_len,
                                   const uchar* asdu, uchar was_broadcast, uchar sec_status);
void ZBPrint_APSDE_DATA_request(uchar dst_addr_mode, const uchar* dst_addr, uchar dst_ep,
                                ushort profile_id, ushort cluster_id, uchar src_ep, uchar asdu_len,
                                const uchar* asdu, uchar tx_options, uchar radius);
void ZBPrint_ZDP_MGMT_BIND_response(uchar status, ushort entries, ushort start_index,
                                    ushort list_count, const ZB_BIND_STRUCT* list);
void ZBPrint_APSME_BIND_confirm(uchar status, const uchar* src_ieee_addr, uchar src_ep,
                                ushort cluster_id, const uchar* dst_ieee_addr, uchar dst_ep);
void ZBPrint_APSME_GET_confirm(uchar status, uchar attr, uchar attr_len, const uchar* value);
void ZBPrint_APSME_SET_confirm(uchar status, uchar attr);
void ZBPrint_APSME_SET_request(uchar attr, uchar attr_len, const uchar* value);

#endif
