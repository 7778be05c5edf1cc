#ifndef ORQ_HTTPSERVERGLUE_H
#define ORQ_HTTPSERVERGLUE_H

// What the HTTP server hands to libmicrohttpd: the callbacks of its daemons and the clocks of
// their connections. Included by the server's own sources only.

#include <microhttpd.h>

#include <chrono>

#include "CHTTPServer.h"

// Where a connection's current request stands, for the request deadline. Owned by the thread
// that drives the connection's daemon; made and freed by the connection notices.
struct ConnectionClock {
    enum Phase { AWAITING_REQUEST, READING_HEADERS, READING_BODY, DISPATCHED };
    MHD_Connection* connection = nullptr;
    Phase phase = AWAITING_REQUEST;
    std::chrono::steady_clock::time_point deadline;
};

// The libmicrohttpd callbacks. They run inside MHD_run, on the thread that drives the daemon
// (`cls` is its DaemonLoop); the server's own work is done on the poll-loop thread.
struct HTTPServerGlue {
    static void* uriLog(void* cls, const char* uri, MHD_Connection* connection);
    static MHD_Result access(void* cls, MHD_Connection* connection, const char* url,
                             const char* method, const char*, const char* uploadData,
                             size_t* uploadDataSize, void** conCls);
    static void completed(void* cls, MHD_Connection* connection, void** conCls,
                          enum MHD_RequestTerminationCode);
    static void connectionNotice(void* cls, MHD_Connection* connection, void** socketContext,
                                 enum MHD_ConnectionNotificationCode code);
};

// A text reply for libmicrohttpd, copied into the response.
MHD_Response* textResponse(const std::string& text);

#endif
