#include "StaticFiles.h"

#include <limits.h>
#include <microhttpd.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <utility>

namespace {

struct TypeEntry {
    const char* extension;
    const char* type;
};

const TypeEntry kTypes[] = {
    {".css", "text/css; charset=utf-8"},
    {".html", "text/html; charset=utf-8"},
    {".ico", "image/x-icon"},
    {".js", "text/javascript; charset=utf-8"},
    {".json", "application/json"},
    {".mjs", "text/javascript; charset=utf-8"},
    {".png", "image/png"},
    {".svg", "image/svg+xml"},
    {".txt", "text/plain; charset=utf-8"},
};

// The page loads only what it was served with and talks only to the gateway it came from
// (inline styles are the map library's way of placing its canvas).
const char* const kContentSecurityPolicy =
    "default-src 'self'; script-src 'self'; style-src 'self' 'unsafe-inline'; img-src 'self' "
    "data:; "
    "connect-src 'self'; object-src 'none'; base-uri 'none'; form-action 'none'; "
    "frame-ancestors 'none'";

bool endsWith(const std::string& text, const char* tail) {
    const size_t n = std::strlen(tail);
    return text.size() >= n && text.compare(text.size() - n, n, tail) == 0;
}

StaticFiles::Reply textReply(int status, const char* text) {
    StaticFiles::Reply reply;
    reply.status = status;
    reply.body = text;
    return reply;
}

}  // namespace

StaticFiles::StaticFiles(std::string prefix, std::string root)
    : prefix(std::move(prefix)), root(std::move(root)) {}

bool StaticFiles::claims(const std::string& urlPath) const {
    return urlPath == prefix ||
           (urlPath.size() > prefix.size() && urlPath.compare(0, prefix.size(), prefix) == 0 &&
            urlPath[prefix.size()] == '/');
}

bool StaticFiles::cleanRelative(const std::string& relative, std::string* cleaned) {
    std::string out;
    size_t pos = 0;
    while (pos <= relative.size()) {
        size_t slash = relative.find('/', pos);
        if (slash == std::string::npos) {
            slash = relative.size();
        }
        const std::string segment = relative.substr(pos, slash - pos);
        pos = slash + 1;
        if (segment.empty()) {
            continue;
        }
        // "." and ".." start with a dot like every hidden name.
        if (segment[0] == '.') {
            return false;
        }
        for (unsigned char c : segment) {
            if (c < 0x20 || c == 0x7f || c == '\\') {
                return false;
            }
        }
        if (!out.empty()) {
            out += '/';
        }
        out += segment;
    }
    if (relative.empty() || relative.back() == '/') {
        out += out.empty() ? "index.html" : "/index.html";
    }
    *cleaned = out;
    return true;
}

const char* StaticFiles::contentType(const std::string& name) {
    for (const TypeEntry& entry : kTypes) {
        if (endsWith(name, entry.extension)) {
            return entry.type;
        }
    }
    return "application/octet-stream";
}

std::string StaticFiles::locate(const std::string& cleaned) const {
    char realRoot[PATH_MAX];
    char realFile[PATH_MAX];
    if (realpath(root.c_str(), realRoot) == nullptr) {
        return std::string();
    }
    const std::string wanted = std::string(realRoot) + "/" + cleaned;
    if (realpath(wanted.c_str(), realFile) == nullptr) {
        return std::string();
    }
    // Symbolic links are followed, but only to files inside the root.
    const std::string base = std::string(realRoot) == "/" ? "/" : std::string(realRoot) + "/";
    const std::string file = realFile;
    if (file.compare(0, base.size(), base) != 0) {
        return std::string();
    }
    struct stat st {};
    if (stat(realFile, &st) != 0 || !S_ISREG(st.st_mode)) {
        return std::string();
    }
    return file;
}

StaticFiles::Reply StaticFiles::serve(const std::string& method, const std::string& urlPath) const {
    if (method != "GET" && method != "HEAD") {
        return textReply(405, "Method Not Allowed");
    }
    if (!claims(urlPath)) {
        return textReply(404, "Not Found");
    }
    if (urlPath == prefix) {
        // The page's relative URLs need the slash.
        Reply reply = textReply(301, "Moved Permanently");
        reply.location = prefix + "/";
        return reply;
    }
    std::string cleaned;
    if (!cleanRelative(urlPath.substr(prefix.size() + 1), &cleaned)) {
        return textReply(404, "Not Found");
    }
    const std::string file = locate(cleaned);
    if (file.empty()) {
        return textReply(404, "Not Found");
    }
    std::ifstream in(file, std::ios::binary);
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    if (!in || size < 0 || size > kMaxFileSize) {
        return textReply(404, "Not Found");
    }
    in.seekg(0, std::ios::beg);
    Reply reply;
    reply.body.resize(static_cast<size_t>(size));
    if (!in.read(&reply.body[0], size)) {
        return textReply(404, "Not Found");
    }
    reply.status = 200;
    reply.contentType = contentType(cleaned);
    return reply;
}

bool StaticFiles::respond(MHD_Connection* connection, const std::string& method,
                          const std::string& urlPath) const {
    const Reply reply = serve(method, urlPath);
    MHD_Response* r = MHD_create_response_from_buffer(
        reply.body.size(), const_cast<char*>(reply.body.data()), MHD_RESPMEM_MUST_COPY);
    if (r == nullptr) {
        return false;
    }
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, reply.contentType.c_str());
    MHD_add_response_header(r, "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(r, MHD_HTTP_HEADER_CACHE_CONTROL, "no-cache");
    MHD_add_response_header(r, "Referrer-Policy", "no-referrer");
    MHD_add_response_header(r, "Content-Security-Policy", kContentSecurityPolicy);
    if (reply.status == 405) {
        MHD_add_response_header(r, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    }
    if (!reply.location.empty()) {
        MHD_add_response_header(r, MHD_HTTP_HEADER_LOCATION, reply.location.c_str());
    }
    const bool queued =
        MHD_queue_response(connection, static_cast<unsigned>(reply.status), r) == MHD_YES;
    MHD_destroy_response(r);
    return queued;
}
