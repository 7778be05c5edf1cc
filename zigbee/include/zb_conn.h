// Connection layer of the ZigBee module link: one serial back-end, one reader thread.
//
// zb_conn_open() starts a reader thread that waits on the back-end's file descriptor, assembles
// one packet at a time (group, id, length, payload: the frame without STX and FCS) and hands it to
// the sink given at open time. Every packet, and so every confirm and indication above, is
// delivered on that thread, one at a time, in arrival order. zb_conn_send() may be called from any
// thread; the back-end serialises writes.
//
// A device that goes away (read error such as EIO, hang-up of the line) ends the reader thread
// with the message "ERROR: zb_conn reader - device lost (<reason>)" on standard error. The layer
// above learns of it through the optional link-lost sink of zb_conn_open_ex() (called once, on the
// reader thread, just before it ends) and can poll zb_conn_link_error() at any time.
#ifndef ORQ_ZB_CONN_H
#define ORQ_ZB_CONN_H

#include <pthread.h>

#include <atomic>

// Where each received packet goes: (owner, packet bytes, packet size).
typedef void (*ZBIFReceiveCb_t)(void* hh, const unsigned char* data, const int size);
// Where the loss of the device is reported: (owner, errno-style reason, e.g. EIO or ENODEV).
typedef void (*ZBIFLinkLostCb_t)(void* hh, int error);

typedef struct zb_conn_status_t {
    int (*open)(char** params);
    int (*close)(int handle);
    int (*write)(int handle, const unsigned char* data, int size);
    int (*read)(int handle, unsigned char* buf, int size);
    int (*fd)(int handle);
    // Asks a receive in progress to give up (set before the reader is stopped); may be null.
    void (*abort)(int handle, int on);
    int handle;
    ZBIFReceiveCb_t zbifCb;
    void* hh;
    pthread_t tid;
    // Link-layer additions: wake-up pipe of the reader, reader liveness, loss reporting.
    ZBIFLinkLostCb_t linkLostCb;
    int wakeFd[2];
    bool readerStarted;
    std::atomic<int> linkError;
    // Set when the connection is closed from a callback: the reader then ends after the callback
    // and releases the record (and freeOnExit, when set) itself.
    bool closedFromReader;
    void* freeOnExit;
} zb_conn_status_t;

typedef zb_conn_status_t* ZB_CONN_HANDLE;

// Value of parameter `name` in a null-terminated list of "name=value" strings, or null.
char* get_param(char** params, const char* name);

ZB_CONN_HANDLE zb_conn_open(char** params, void* hh, ZBIFReceiveCb_t zbifCb);
// As zb_conn_open, and reports a lost device to linkLostCb (may be null).
ZB_CONN_HANDLE zb_conn_open_ex(char** params, void* hh, ZBIFReceiveCb_t zbifCb,
                               ZBIFLinkLostCb_t linkLostCb);
// As zb_conn_open_ex, without starting the reader: the owner finishes its own set-up first (no
// packet can arrive before it), then calls zb_conn_start (0, or -1 when the thread cannot be
// created; the connection must then be closed).
ZB_CONN_HANDLE zb_conn_open_stopped(char** params, void* hh, ZBIFReceiveCb_t zbifCb,
                                    ZBIFLinkLostCb_t linkLostCb);
int zb_conn_start(ZB_CONN_HANDLE h);
// Stops the reader (waiting for it unless called from the reader itself), closes the back-end,
// frees the record; returns the back-end's close result.
int zb_conn_close(ZB_CONN_HANDLE h);
int zb_conn_send(ZB_CONN_HANDLE h, const unsigned char* data, int size);
// True when called on the connection's reader thread (that is, from a callback).
bool zb_conn_on_reader(ZB_CONN_HANDLE h);
// 0 while the device is usable; the errno-style reason once the reader ended on a lost device.
int zb_conn_link_error(ZB_CONN_HANDLE h);

// Progress of the reader, for a watchdog of the whole process (any thread). A reader shows
// progress at every packet and, while it waits on a quiet line, at least every
// ZB_CONN_READER_BEAT_MS: a reader that shows none for much longer is stuck (in a callback that
// does not return, or in a write that blocks). The back-end holds one module per process, so
// there is at most one reader at a time.
// Milliseconds since the reader last showed progress; -1 while no reader runs.
#define ZB_CONN_READER_BEAT_MS 500
long zb_conn_reader_silence_ms();

// "<label> > " then "%02X " per byte and a newline, on standard output.
void zb_print_bytes(const char* label, const unsigned char* data, int size);

// URL "zigbee://[host][:port][path]?name=value{&name=value}" to a null-terminated list of
// "name=value" strings (hostname, port, path, then the query pieces); null on failure.
char** zb_url_to_params(const char* url);
void zb_free_params(char** params);

#endif
