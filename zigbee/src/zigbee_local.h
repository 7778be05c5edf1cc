// Private declarations of the ZigBee module link: the freescale serial back-end, the module-wide
// encoder/decoder state shared by the request encoders and the packet decoder, and the helpers the
// tests reach directly.
#ifndef ORQ_ZIGBEE_LOCAL_H
#define ORQ_ZIGBEE_LOCAL_H

#include <atomic>
#include <mutex>

#include "zigbee.h"

// ---- Serial back-end (freescale_ser.cpp) ----

#define STX 0x02
#define MC13226_TX_BUFFER 255
#define MC13226_RX_BUFFER 4096

enum {
    MC13226_TX = 0,
    MC13226_RECV = 1,
    MC13226_IDLE = 2,
    MC13226_CLOSE = 3,
    MC13226_RESETTING_MODE = 4
};

// Result of MC13226_receive when the device has gone (read error, hang-up): the reader ends.
#define MC13226_LINK_LOST (-5)
// Result of MC13226_receive when the reader was asked to stop while waiting for bytes.
#define MC13226_ABORTED (-4)

typedef struct freescale_status_t {
    int fd;
    std::atomic<int> state;
    long byteNs;  // how long a byte takes on the line at its speed (8N1: ten bits)
} freescale_status_t;

int MC13226_open(char** params);
int MC13226_close();
int MC13226_transmit(const uchar* data, int size);
int MC13226_receive(uchar* buf, int size);
int MC13226_fd();
// Bytes of a next frame already held by the assembler (so the reader must not wait on the fd).
int MC13226_pending();
// Makes a receive waiting for bytes return MC13226_ABORTED (on != 0) or wait again (on == 0).
void MC13226_abort(int on);

int freescale_open(char** params);
int freescale_close(int handle);
int freescale_transmit(int handle, const uchar* data, int size);
int freescale_receive(int handle, uchar* buf, int size);
int freescale_fd(int handle);
int freescale_pending(int handle);
void freescale_abort(int handle, int on);

// Frame of a packet (group, id, L, payload): STX, packet, FCS. Returns the frame length (L + 5),
// or -1 when L exceeds ZB_MAX_PAYLOAD. frame must hold MC13226_TX_BUFFER bytes.
int freescale_build_frame(const uchar* pkt, uchar* frame);
// 0: frm holds a good frame whose packet is copied to buf; -1: bad start byte or checksum;
// -2: fewer than frm[3] + 5 bytes.
int freescale_zigbb_parse_frame(uchar* buf, const uchar* frm, int size);

// Where the frame assembler takes its bytes: read(ctx, p, n) returns 1..n bytes, or a negative
// result that ends the assembly (MC13226_LINK_LOST, MC13226_ABORTED).
typedef struct MC13226_ByteSource {
    int (*read)(void* ctx, uchar* p, int n);
    void* ctx;
} MC13226_ByteSource;

// Assembles one packet into buf (at least 258 bytes) from src with the receive state machine;
// returns its length or the source's negative result. Used by the tests and the fuzz target.
int MC13226_assemble(MC13226_ByteSource src, uchar* buf);

// Test hook: forget the assembler's carried bytes and the back-end state.
void MC13226_reset_receiver();

// ---- Connection layer extras (zb_conn.cpp) ----

// Pending-bytes probe of the back-end used by the reader; may be null.
int zb_conn_backend_pending(ZB_CONN_HANDLE h);
// Prints "[hh:mm:ss]" (UTC) without a newline.
void zb_print_time();
// The reader shows it is alive (see zb_conn_reader_silence_ms); called by the reader thread at
// each packet and at every step of its bounded waits, in the connection layer and the back-end.
void zb_conn_reader_beat();

// ---- Module-wide encoder/decoder state (freescale_if.cpp) ----

#define TC_LINK_KEY_TABLE_ROWS 9
#define TC_LINK_KEY_ROW_BYTES 30
#define TC_LINK_KEY_PACKET_BYTES 28

typedef struct FreescaleState {
    // Encoder state.
    uchar restartGWafterReset;
    uchar useCommissioningMode;
    uchar useSilentStart;
    int generateRandomIEEEAddr;
    uchar DevType;
    int selectedSecLevel;
    uchar attr_prev;
    int zdp_mgmt_NwkUpdateIdCounter;
    int TCLinkKeyTableSize;
    int indexTCLinkKey;
    uchar TCLinkKeyTable[TC_LINK_KEY_TABLE_ROWS][TC_LINK_KEY_ROW_BYTES];
    WriteSASAttribute sasAttr;
    // Decoder state.
    ushort nwkShortAddress;
    int sendStartConfirmWhenShortAddrIsKnown;
    uchar lastSrcAddrMode;
    uchar lastSrcAddr[2];
    uchar g_data_uchar_1[256];
} FreescaleState;

extern FreescaleState fsState;

// Guards fsState and the handle's state field between requesting threads and the reader. Held
// only while the state is read or written and packets are sent, never while a callback runs.
extern std::recursive_mutex fsMutex;
typedef std::unique_lock<std::recursive_mutex> FsLock;

// Back to the initial values (nwkShortAddress 0xFFFC, lastSrcAddrMode 2, everything else 0).
void FREESCALE_ResetState();

// Sends one packet (group, id, L, payload) after dumping it under label; refuses (with a message
// naming who) a payload above ZB_MAX_PAYLOAD. Returns the send result or -1.
int FREESCALE_SendPacket(ZBIF_HANDLE handle, const uchar* pkt, const char* label, const char* who);
// True for a packet (group, id, ...) the module answers itself whatever the radio does: a data
// request (9C 00, its data confirm) and the attribute reads (A3 12, A3 D2, A3 20). A
// device-profile request (A2 ..) is answered by the node it names, or by nobody when that node
// is gone; the permit joining that a data request becomes (A2 36) is one of them. The packets
// it is true for are told to the ZB_MODULE_REQUEST_indication callback as they go out.
inline bool FREESCALE_ModuleAnswers(const uchar* pkt) {
    const int code = pkt[0] << 8 | pkt[1];
    return code == 0x9C00 || code == 0xA312 || code == 0xA3D2 || code == 0xA320;
}

// Internal commands.
void FREESCALE_ZTC_RESET_request(ZBIF_HANDLE handle);
void FREESCALE_WriteSAS_request(ZBIF_HANDLE handle);
void FREESCALE_NLME_GET_request(ZBIF_HANDLE handle, uchar attr, const char* label);
void FREESCALE_ModeSelect_request(ZBIF_HANDLE handle);
void FREESCALE_WriteExtAddr_request(ZBIF_HANDLE handle);
void FREESCALE_NLME_PermitJoining_request(ZBIF_HANDLE handle);
void FREESCALE_ClearDeviceKeyPair_request(ZBIF_HANDLE handle, const uchar* ieee);
void initializeTCLinkKeyTable(ZBIF_HANDLE handle);

// ---- Decoder (freescale_dec.cpp) ----

void FREESCALE_ParseNExec(ZBIF_HANDLE handle, const uchar* data, int size);

#endif
