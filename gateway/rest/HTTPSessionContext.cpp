#include "CHTTPServer.h"

#include <strings.h>

#include <cerrno>
#include <cstdlib>

#include "HTTPServerGlue.h"

namespace {

// A response that sends `text` from where it is, with no copy (a node list may be hundreds
// of kilobytes); the response holds a share of it and lets go when it is destroyed.
MHD_Response* sharedTextResponse(std::shared_ptr<const std::string> text) {
    using Share = std::shared_ptr<const std::string>;
    if (!text) {
        text = std::make_shared<const std::string>();
    }
    auto* owned = new Share(std::move(text));
    MHD_Response* r = MHD_create_response_from_buffer_with_free_callback_cls(
        (*owned)->size(), const_cast<char*>((*owned)->data()),
        [](void* cls) { delete static_cast<Share*>(cls); }, owned);
    if (r == nullptr) {
        delete owned;
    }
    return r;
}

}  // namespace

PreparedReply::PreparedReply(std::shared_ptr<const std::string> text, const char* contentType)
    : body(text ? std::move(text) : std::make_shared<const std::string>()),
      prepared(sharedTextResponse(body)) {
    if (prepared != nullptr) {
        MHD_add_response_header(prepared, MHD_HTTP_HEADER_CONTENT_TYPE, contentType);
    }
}

PreparedReply::~PreparedReply() {
    if (prepared != nullptr) {
        MHD_destroy_response(prepared);
    }
}

HTTPSessionContext::HTTPSessionContext(HTTPRequestArg* arg) : context(arg) {
    configureLogger(pLogger, "Debug:HTTPSessionContextDL");
    debugEnabled = pLogger.getDebugMode() != 0;
    debugLevel = pLogger.getDebugLevel();
    Method m = getReqMethod();
    status = (m == M_POST || m == M_PUT) ? S_READING_BODY : S_BODY_READ;
}

HTTPSessionContext::~HTTPSessionContext() {
    if (context != nullptr && context->state == this) {
        context->state = nullptr;
    }
}

Method HTTPSessionContext::getReqMethod() const {
    static const char* const names[] = {"GET", "POST", "PUT", "DELETE"};
    for (int i = 0; i < 4; ++i) {
        if (context->method == names[i]) {
            return static_cast<Method>(i);
        }
    }
    return M_OTHER;
}

const char* HTTPSessionContext::getHeader(const char* name) const {
    return MHD_lookup_connection_value(context->connection, MHD_HEADER_KIND, name);
}

namespace {

// What the request's headers say of its body's length.
struct LengthHeaders {
    int contentLengths = 0;
    bool differentLengths = false;
    std::string contentLength;
    bool transferCoding = false;
};

MHD_Result countLengthHeader(void* cls, enum MHD_ValueKind, const char* key, const char* value) {
    auto* h = static_cast<LengthHeaders*>(cls);
    if (strcasecmp(key, MHD_HTTP_HEADER_CONTENT_LENGTH) == 0) {
        std::string v = value != nullptr ? value : "";
        if (h->contentLengths > 0 && v != h->contentLength) {
            h->differentLengths = true;
        }
        h->contentLength = v;
        ++h->contentLengths;
    } else if (strcasecmp(key, MHD_HTTP_HEADER_TRANSFER_ENCODING) == 0) {
        h->transferCoding = true;
    }
    return MHD_YES;
}

}  // namespace

void HTTPSessionContext::check() {
    LengthHeaders h;
    MHD_get_connection_values(context->connection, MHD_HEADER_KIND, &countLengthHeader, &h);
    if (h.differentLengths || (h.contentLengths > 0 && h.transferCoding)) {
        // Two framings of one body: whoever forwarded the request may have read another
        // body than ours.
        throw HTTPException(400, "Bad Request");
    }
    if (h.contentLengths > 0) {
        const char* len = h.contentLength.c_str();
        char* end = nullptr;
        errno = 0;
        unsigned long long v = strtoull(len, &end, 10);
        if (end == len || *end != '\0' || errno != 0 || len[0] == '-') {
            throw HTTPException(400, "Bad Request");
        }
        if (v > context->server->getMaxBodySize()) {
            // A body a little over the bound is read and thrown away so that the client,
            // still sending, sees the 413 instead of a reset connection; a body far over it
            // is refused before any of it is read.
            if (v > kDiscardLimit * context->server->getMaxBodySize()) {
                throw HTTPException(413, "Request Entity Too Large");
            }
            tooLarge = true;
        }
        contentLen = static_cast<unsigned long>(v);
    } else if (getSessionStatus() == S_READING_BODY) {
        throw HTTPException(411, "Content-Length Required");
    }
}

void HTTPSessionContext::processPostData() {
    // A connection that fails ends its exchange through the completion notice; there is
    // nobody left to send a "Connection error" reply to.
    std::lock_guard<std::mutex> lock(mux);
    const unsigned long bound = context->server->getMaxBodySize();
    if (status != S_READING_BODY) {
        // A body on a method that takes none (a DELETE with a chunked body, say) is
        // dropped, but no more of it is read than a body we would keep.
        ignoredBytes += context->inLen;
        context->inLen = 0;
        if (ignoredBytes > bound) {
            throw HTTPException(413, "Request Entity Too Large");
        }
        return;
    }
    if (context->inLen > 0 && tooLarge) {
        numReadBytes += context->inLen;
        context->inLen = 0;
    } else if (context->inLen > 0) {
        if (numReadBytes + context->inLen > bound) {
            throw HTTPException(413, "Request Entity Too Large");
        }
        rxDataBuffer.append(context->in, context->inLen);
        numReadBytes += context->inLen;
        context->inLen = 0;
    }
    if (numReadBytes >= contentLen) {
        status = S_BODY_READ;
    }
}

HTTPSessionStatus HTTPSessionContext::getSessionStatus() const {
    std::lock_guard<std::mutex> lock(mux);
    return status;
}

void HTTPSessionContext::setSessionStatus(HTTPSessionStatus s) {
    std::lock_guard<std::mutex> lock(mux);
    status = s;
}

void HTTPSessionContext::setResponse(const std::string& text) {
    std::lock_guard<std::mutex> lock(mux);
    body = std::make_shared<const std::string>(text);
    prepared.reset();
}

std::string HTTPSessionContext::getResponse() const {
    std::lock_guard<std::mutex> lock(mux);
    return body ? *body : std::string();
}

bool HTTPSessionContext::setReadyResponse(std::string text) {
    return setReadyResponse(std::make_shared<const std::string>(std::move(text)));
}

bool HTTPSessionContext::setReadyResponse(std::shared_ptr<const std::string> text) {
    std::lock_guard<std::mutex> lock(mux);
    if (status != S_SERVING && status != S_SERVED) {
        return false;
    }
    body = std::move(text);
    prepared.reset();
    status = S_READY;
    return true;
}

bool HTTPSessionContext::setReadyResponse(std::shared_ptr<const PreparedReply> reply) {
    std::lock_guard<std::mutex> lock(mux);
    if (status != S_SERVING && status != S_SERVED) {
        return false;
    }
    body = reply ? reply->text() : nullptr;
    prepared = std::move(reply);
    status = S_READY;
    return true;
}

void HTTPSessionContext::sendResponse() {
    std::shared_ptr<const std::string> text;
    std::shared_ptr<const PreparedReply> reply;
    {
        // The reply goes to the connection; the session keeps no share of it.
        std::lock_guard<std::mutex> lock(mux);
        text.swap(body);
        reply.swap(prepared);
    }
    if (reply && reply->response() != nullptr) {
        // The library takes its own reference; ours goes with `reply`.
        MHD_queue_response(context->connection, MHD_HTTP_OK, reply->response());
    } else {
        MHD_Response* r = sharedTextResponse(std::move(text));
        MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, "text/xml");
        MHD_queue_response(context->connection, MHD_HTTP_OK, r);
        MHD_destroy_response(r);
    }
    context->replied = true;
    setSessionStatus(S_TERM);
}

void HTTPSessionContext::reply(const HTTPException& e) {
    // The status line carries the standard reason phrase; our own text goes in the body.
    MHD_Response* r = textResponse(e.msg);
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, "text/plain");
    MHD_queue_response(context->connection, static_cast<unsigned>(e.code), r);
    MHD_destroy_response(r);
    context->replied = true;
    setSessionStatus(S_TERM);
}
