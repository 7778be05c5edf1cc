// The HTTP side of the event stream: GET /events answered with a libmicrohttpd callback
// response reading from the client's EventStream, and the streams' part in the poll loop and
// in the stop of the listeners.

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "CQueryParser.h"
#include "HTTPServerGlue.h"

namespace {

const char* const kEventsPath = "/events";
const int kStreamSendBuffer = 64 * 1024;

ssize_t readStream(void* cls, uint64_t, char* buf, size_t max) {
    auto& stream = *static_cast<std::shared_ptr<EventStream>*>(cls);
    size_t n = 0;
    switch (stream->read(buf, max, &n)) {
        case EventStream::Read::Data:
            return static_cast<ssize_t>(n);
        case EventStream::Read::Empty:
            // The connection is suspended: the next event resumes it.
            return 0;
        case EventStream::Read::End:
            break;
    }
    return MHD_CONTENT_READER_END_OF_STREAM;
}

void freeStream(void* cls) {
    delete static_cast<std::shared_ptr<EventStream>*>(cls);
}

// A decimal event id; false for anything else.
bool parseEventId(const std::string& text, uint64_t* id) {
    if (text.empty() || text.size() > 20 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    errno = 0;
    unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
    if (errno != 0) {
        return false;
    }
    *id = v;
    return true;
}

void replyText(MHD_Connection* connection, unsigned code, const std::string& text,
               const char* allow = nullptr) {
    MHD_Response* r = textResponse(text + "\n");
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, "text/plain");
    if (allow != nullptr) {
        MHD_add_response_header(r, MHD_HTTP_HEADER_ALLOW, allow);
    }
    MHD_queue_response(connection, code, r);
    MHD_destroy_response(r);
}

}  // namespace

bool HTTPServer::isEventStreamPath(const std::string& path) {
    return path == kEventsPath || path == std::string(kEventsPath) + "/";
}

int HTTPServer::eventStreamCall(HTTPRequestArg* arg) {
    if (arg->inLen > 0) {
        // A body on a stream request is read and dropped, up to the body bound.
        arg->dropped += arg->inLen;
        arg->inLen = 0;
        return arg->dropped > maxBodySize ? 0 : 1;
    }
    arg->replied = true;
    if (arg->method != "GET") {
        replyText(arg->connection, MHD_HTTP_METHOD_NOT_ALLOWED, "Method Not Allowed", "GET");
        return 1;
    }
    EventFilter filter;
    std::string lastEventId;
    for (const std::string& pair : splitFields(arg->query, "&")) {
        const size_t eq = pair.find('=');
        const std::string name = QueryParser::decode(pair.substr(0, eq));
        const std::string value =
            eq == std::string::npos ? std::string() : QueryParser::decode(pair.substr(eq + 1));
        if (name == "lastEventId") {
            lastEventId = value;
        } else if (!filter.add(name, value)) {
            replyText(arg->connection, MHD_HTTP_BAD_REQUEST,
                      "Bad value for the " + name +
                          " filter (type: kinds separated by commas; node: a short or IEEE "
                          "address in hexadecimal; endpoint: 0 to 255)");
            return 1;
        }
    }
    const char* header =
        MHD_lookup_connection_value(arg->connection, MHD_HEADER_KIND, "Last-Event-ID");
    if (header != nullptr) {
        lastEventId = header;
    }
    uint64_t lastId = 0;
    const bool resume = !lastEventId.empty();
    if (resume && !parseEventId(lastEventId, &lastId)) {
        replyText(arg->connection, MHD_HTTP_BAD_REQUEST,
                  "Bad Last-Event-ID (the decimal id of an event)");
        return 1;
    }
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(arg->connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    const int socketFd = info != nullptr ? info->connect_fd : -1;
    if (socketFd >= 0) {
        // What a slow client cannot take waits in its bounded queue, not in a send buffer the
        // kernel would let grow to megabytes.
        int bytes = kStreamSendBuffer;
        setsockopt(socketFd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof(bytes));
    }
    MHD_Connection* connection = arg->connection;
    const int loopFd = arg->tls ? tlsLoop.wakeFd : wakeFd;
    EventStream::Link link;
    link.suspend = [connection] { MHD_suspend_connection(connection); };
    link.resume = [connection, loopFd] {
        MHD_resume_connection(connection);
        // libmicrohttpd does not wake the loop's select for a resume.
        uint64_t one = 1;
        ssize_t n = write(loopFd, &one, sizeof(one));
        (void)n;
    };
    link.gone = [socketFd] {
        // A client of the stream sends nothing after its request: its socket turning
        // readable means it has closed (or reset) its end.
        pollfd p{socketFd, POLLIN | POLLRDHUP, 0};
        return socketFd >= 0 && ::poll(&p, 1, 0) > 0 &&
               (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
    };
    link.cut = [socketFd] {
        if (socketFd >= 0) {
            shutdown(socketFd, SHUT_RDWR);
        }
    };
    std::shared_ptr<EventStream> stream = events.open(filter, resume, lastId, std::move(link));
    auto* share = new std::shared_ptr<EventStream>(stream);
    MHD_Response* r =
        MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 4096, &readStream, share, &freeStream);
    if (r == nullptr) {
        delete share;
        events.close(stream);
        return 0;
    }
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, "text/event-stream");
    MHD_add_response_header(r, MHD_HTTP_HEADER_CACHE_CONTROL, "no-cache");
    arg->stream = stream;
    MHD_queue_response(arg->connection, MHD_HTTP_OK, r);
    MHD_destroy_response(r);
    ORQ_LOG(pLogger, INFO, "eventStreamCall - stream opened (%zu open)", events.openCount());
    return 1;
}

void HTTPServer::endEventStream(HTTPRequestArg* arg) {
    if (arg->stream) {
        events.close(arg->stream);
        arg->stream.reset();
    }
}

void HTTPServer::endEventStreams() {
    if (events.endAll() == 0) {
        return;
    }
    // Each client gets the end of its stream before the listeners go; one that takes
    // nothing is closed with its daemon.
    const bool stopWanted = stopRequested.load();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (events.openCount() > 0 && std::chrono::steady_clock::now() < deadline) {
        poll(20);
    }
    stopRequested = stopWanted;
}
