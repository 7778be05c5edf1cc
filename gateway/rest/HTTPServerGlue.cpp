#include "HTTPServerGlue.h"

#include <sys/socket.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

ConnectionClock* clockOf(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info != nullptr ? static_cast<ConnectionClock*>(info->socket_context) : nullptr;
}

void setClock(MHD_Connection* connection, ConnectionClock::Phase phase, unsigned seconds) {
    ConnectionClock* clock = clockOf(connection);
    if (clock != nullptr) {
        clock->phase = phase;
        clock->deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    }
}

}  // namespace

void* HTTPServerGlue::uriLog(void* cls, const char* uri, MHD_Connection* connection) {
    auto* loop = static_cast<HTTPServer::DaemonLoop*>(cls);
    auto* arg = new HTTPRequestArg;
    arg->server = loop->server;
    arg->connection = connection;
    arg->tls = loop->tls;
    const char* q = uri != nullptr ? strchr(uri, '?') : nullptr;
    if (q != nullptr) {
        arg->query = q + 1;
    }
    // The request line is in: the headers have the request deadline to follow.
    setClock(connection, ConnectionClock::READING_HEADERS, loop->server->requestDeadline);
    return arg;
}

MHD_Result HTTPServerGlue::access(void* cls, MHD_Connection* connection, const char* url,
                                  const char* method, const char*, const char* uploadData,
                                  size_t* uploadDataSize, void** conCls) {
    auto* loop = static_cast<HTTPServer::DaemonLoop*>(cls);
    HTTPServer* server = loop->server;
    bool firstCall = false;
    auto* arg = static_cast<HTTPRequestArg*>(*conCls);
    if (arg == nullptr) {
        arg = static_cast<HTTPRequestArg*>(uriLog(cls, nullptr, connection));
        *conCls = arg;
    }
    if (arg->method.empty()) {
        firstCall = true;
        arg->connection = connection;
        arg->method = method != nullptr ? method : "";
        arg->path = url != nullptr ? url : "";
        // Headers complete: the body gets the deadline again, and more for its size.
        const char* len =
            MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Content-Length");
        unsigned long long announced = len != nullptr ? strtoull(len, nullptr, 10) : 0;
        announced = std::min<unsigned long long>(announced, server->maxBodySize);
        setClock(connection, ConnectionClock::READING_BODY,
                 server->requestDeadline +
                     static_cast<unsigned>(announced / HTTPServer::kBodyBytesPerSecond));
    } else if (*uploadDataSize == 0) {
        // The whole request is in; what follows is the gateway's to answer.
        setClock(connection, ConnectionClock::DISPATCHED, 0);
    }
    arg->in = uploadData;
    arg->inLen = *uploadDataSize;
    *uploadDataSize = 0;
    int result = 0;
    server->onLoopThread([&] { result = server->handle(arg, firstCall); });
    return result != 0 ? MHD_YES : MHD_NO;
}

void HTTPServerGlue::completed(void* cls, MHD_Connection* connection, void** conCls,
                               enum MHD_RequestTerminationCode) {
    auto* loop = static_cast<HTTPServer::DaemonLoop*>(cls);
    auto* arg = static_cast<HTTPRequestArg*>(*conCls);
    setClock(connection, ConnectionClock::AWAITING_REQUEST, loop->server->connectionTimeout);
    if (arg == nullptr) {
        return;
    }
    *conCls = nullptr;
    loop->server->onLoopThread([&] { loop->server->endSession(arg); });
    delete arg;
}

void HTTPServerGlue::connectionNotice(void* cls, MHD_Connection* connection, void** socketContext,
                                      enum MHD_ConnectionNotificationCode code) {
    auto* loop = static_cast<HTTPServer::DaemonLoop*>(cls);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
        auto* clock = new ConnectionClock;
        clock->connection = connection;
        clock->deadline = std::chrono::steady_clock::now() +
                          std::chrono::seconds(loop->server->connectionTimeout);
        *socketContext = clock;
        loop->clocks.insert(clock);
    } else if (*socketContext != nullptr) {
        auto* clock = static_cast<ConnectionClock*>(*socketContext);
        loop->clocks.erase(clock);
        delete clock;
        *socketContext = nullptr;
    }
}

MHD_Response* textResponse(const std::string& text) {
    return MHD_create_response_from_buffer(text.size(), const_cast<char*>(text.data()),
                                           MHD_RESPMEM_MUST_COPY);
}

void HTTPServer::enforceDeadlines(DaemonLoop& loop) {
    auto now = std::chrono::steady_clock::now();
    for (ConnectionClock* clock : loop.clocks) {
        if (clock->phase == ConnectionClock::DISPATCHED || now < clock->deadline) {
            continue;
        }
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(clock->connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        if (info == nullptr) {
            continue;
        }
        // The client trickles its request: libmicrohttpd sees end of stream on its next
        // pass and closes the connection in order.
        ORQ_LOG(pLogger, INFO, "enforceDeadlines - closing a connection whose request is late");
        shutdown(info->connect_fd, SHUT_RDWR);
        clock->phase = ConnectionClock::DISPATCHED;
    }
}
