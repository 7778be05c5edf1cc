#ifndef ORQ_STATICFILES_H
#define ORQ_STATICFILES_H

#include <string>

struct MHD_Connection;

// The files of one directory served under a URL prefix: the web page at /ui/. GET and HEAD
// only; a request never reaches a file outside the directory (no "." or ".." segment, no
// hidden name, no symbolic link that leads out, regular files only); the content type comes
// from the file's extension. The server asks it on the poll-loop thread, after the request has
// passed authentication. It owns nothing but its prefix and the name of its directory.
class StaticFiles {
  public:
    // `prefix` without a trailing slash ("/ui"); `root` the directory served.
    StaticFiles(std::string prefix, std::string root);

    // True when `urlPath` is the prefix or lies below it.
    bool claims(const std::string& urlPath) const;

    struct Reply {
        int status = 404;
        std::string contentType = "text/plain; charset=utf-8";
        std::string body;
        // The target of a redirection (status 301).
        std::string location;
    };
    // The reply to `method` on `urlPath` (as libmicrohttpd passes it: percent escapes decoded).
    Reply serve(const std::string& method, const std::string& urlPath) const;
    // Serves `urlPath` on `connection`; false when the reply could not be queued.
    bool respond(MHD_Connection* connection, const std::string& method,
                 const std::string& urlPath) const;

    // `relative` (the part of a path after the prefix and its slash) cleaned of empty
    // segments, or false when it names something a client may not reach: a "." or ".."
    // segment, a hidden name, a backslash or a control character.
    static bool cleanRelative(const std::string& relative, std::string* cleaned);
    // The content type served for a file name, by its extension.
    static const char* contentType(const std::string& name);
    // Files above this size are not served (the page's largest library is well below).
    static constexpr long kMaxFileSize = 16L * 1024 * 1024;

  private:
    // The real path of the regular file `cleaned` names under the root, or empty when there
    // is none or when it resolves outside the root.
    std::string locate(const std::string& cleaned) const;

    std::string prefix;
    std::string root;
};

#endif
