#ifndef ORQ_TESTS_REST_TEST_SUPPORT_H
#define ORQ_TESTS_REST_TEST_SUPPORT_H

// Helpers for the HTTP and REST tests: a real client (libcurl or a raw socket), a server
// loop on its own thread, and condition polling with generous deadlines.

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "CHTTPServer.h"

namespace resttest {

inline bool waitFor(const std::function<bool()>& cond, int ms = 15000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < deadline) {
        if (cond()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return cond();
}

struct HttpResult {
    int curlCode = -1;
    long status = 0;
    std::string body;
    std::string headers;
};

struct RequestOptions {
    const std::string* body = nullptr;
    std::vector<std::string> headers;
    long timeoutSeconds = 20;
    std::string caFile;
    std::string digestUser;
};

inline size_t appendTo(char* ptr, size_t size, size_t n, void* out) {
    static_cast<std::string*>(out)->append(ptr, size * n);
    return size * n;
}

inline HttpResult httpRequest(const std::string& method, const std::string& url,
                              const RequestOptions& opt = RequestOptions()) {
    HttpResult result;
    CURL* c = curl_easy_init();
    curl_slist* hdrs = nullptr;
    for (const auto& h : opt.headers) {
        hdrs = curl_slist_append(hdrs, h.c_str());
    }
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, method.c_str());
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_TIMEOUT, opt.timeoutSeconds);
    if (opt.body != nullptr) {
        curl_easy_setopt(c, CURLOPT_POSTFIELDS, opt.body->data());
        curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE, static_cast<long>(opt.body->size()));
    }
    if (hdrs != nullptr) {
        curl_easy_setopt(c, CURLOPT_HTTPHEADER, hdrs);
    }
    if (!opt.caFile.empty()) {
        curl_easy_setopt(c, CURLOPT_CAINFO, opt.caFile.c_str());
    }
    if (!opt.digestUser.empty()) {
        curl_easy_setopt(c, CURLOPT_HTTPAUTH, CURLAUTH_DIGEST);
        curl_easy_setopt(c, CURLOPT_USERPWD, opt.digestUser.c_str());
    }
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &appendTo);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &result.body);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &appendTo);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &result.headers);
    result.curlCode = curl_easy_perform(c);
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &result.status);
    curl_slist_free_all(hdrs);
    curl_easy_cleanup(c);
    return result;
}

inline HttpResult httpGet(const std::string& url) {
    return httpRequest("GET", url);
}

inline HttpResult httpSend(const std::string& method, const std::string& url,
                           const std::string& body) {
    RequestOptions opt;
    opt.body = &body;
    return httpRequest(method, url, opt);
}

inline int connectTo(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

inline bool sendAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Reads until the peer closes or `ms` pass.
inline std::string readAll(int fd, int ms = 15000) {
    std::string out;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    char buf[4096];
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) {
            continue;
        }
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n <= 0) {
            break;
        }
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

// Runs a server's poll loop on its own thread, which plays the gateway's main thread.
class LoopThread {
  public:
    explicit LoopThread(HTTPServer& s) : server(s), thread([this] { server.start(); }) {}
    ~LoopThread() { stop(); }
    void stop() {
        if (thread.joinable()) {
            server.requestStop();
            thread.join();
        }
    }
    // Runs `fn` on the loop thread and waits for it.
    void run(const std::function<void()>& fn) {
        std::atomic<bool> done{false};
        server.runOnLoop([&] {
            fn();
            done = true;
        });
        waitFor([&] { return done.load(); });
    }

  private:
    HTTPServer& server;
    std::thread thread;
};

inline std::string shellOutput(const std::string& command) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) {
        return out;
    }
    char buf[1024];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0) {
        out.append(buf, n);
    }
    pclose(p);
    return out;
}

}  // namespace resttest

#endif
