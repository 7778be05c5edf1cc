#ifndef ORQ_TESTS_REST_TEST_SUPPORT_H
#define ORQ_TESTS_REST_TEST_SUPPORT_H

// Helpers for the HTTP and REST tests: a real client (libcurl or a raw socket), a server
// loop on its own thread, and condition polling with generous deadlines.

#include <arpa/inet.h>
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "CHTTPServer.h"
#include "support/WaitFor.h"

namespace resttest {

using ::waitFor;

// A file name in the temporary directory that no other test process uses, whatever runs
// beside it (the suites of other build directories write the same names). The files are
// removed when the process ends.
inline std::string tempPath(const std::string& name) {
    struct Files {
        std::vector<std::string> paths;
        ~Files() {
            for (const std::string& p : paths) {
                std::remove(p.c_str());
            }
        }
    };
    static Files files;
    std::string path =
        std::string(::testing::TempDir()) + "orq_" + std::to_string(getpid()) + "_" + name;
    files.paths.push_back(path);
    return path;
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

// A TCP connection to 127.0.0.1:`port`, from the loopback address `source` when given.
inline int connectTo(int port, const char* source = nullptr) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (source != nullptr) {
        sockaddr_in from{};
        from.sin_family = AF_INET;
        inet_pton(AF_INET, source, &from.sin_addr);
        if (bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof(from)) != 0) {
            close(fd);
            return -1;
        }
    }
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

// Sends a raw request on a new connection and reads the reply until the server closes.
inline std::string rawExchange(int port, const std::string& request, int ms = 15000) {
    int fd = connectTo(port);
    if (fd < 0) {
        return std::string();
    }
    sendAll(fd, request);
    std::string reply = readAll(fd, ms);
    close(fd);
    return reply;
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

inline bool isLowerHex8(const std::string& s) {
    return s.size() == 8 && s.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// The text of the first element `name` (with or without the "tns" prefix), or "<absent>".
inline std::string element(const std::string& doc, const std::string& name) {
    for (const std::string& tag : {name, "tns:" + name}) {
        size_t start = doc.find("<" + tag + ">");
        if (start == std::string::npos) {
            continue;
        }
        start += tag.size() + 2;
        size_t end = doc.find("</" + tag + ">", start);
        if (end != std::string::npos) {
            return doc.substr(start, end - start);
        }
    }
    return "<absent>";
}

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

#ifndef ORQ_TESTS_REST_TEST_LISTENER
#define ORQ_TESTS_REST_TEST_LISTENER

#include <mutex>

namespace resttest {

// A URI listener for the tests: a small HTTP server on 127.0.0.1 that records every POST
// body in arrival order and answers 200, or, when stalled, accepts and never answers.
class TestListener {
  public:
    TestListener() {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
        socklen_t len = sizeof(addr);
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
        port = ntohs(addr.sin_port);
        listen(fd, 64);
        thread = std::thread([this] { run(); });
    }
    ~TestListener() {
        stopping = true;
        thread.join();
        close(fd);
    }
    std::string url(const std::string& path = "/listener") const {
        return "http://127.0.0.1:" + std::to_string(port) + path;
    }
    std::vector<std::string> bodies() {
        std::lock_guard<std::mutex> lock(mux);
        return received;
    }
    size_t count() {
        std::lock_guard<std::mutex> lock(mux);
        return received.size();
    }
    std::atomic<bool> stalled{false};
    // Connections stay open for the next request (set before the first one comes).
    std::atomic<bool> keepAlive{false};
    std::atomic<int> accepted{0};
    int port = 0;

  private:
    void run() {
        while (!stopping) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) {
                continue;
            }
            int c = accept(fd, nullptr, nullptr);
            if (c < 0) {
                continue;
            }
            ++accepted;
            if (stalled) {
                // Never answers; takes the next connection once the client gives this one up.
                while (!stopping && stalled) {
                    pollfd p{c, POLLIN, 0};
                    char sink[4096];
                    if (::poll(&p, 1, 20) > 0 && recv(c, sink, sizeof(sink), 0) <= 0) {
                        break;
                    }
                }
                close(c);
                continue;
            }
            serve(c);
            close(c);
        }
    }
    // Answers the requests of one connection: only the first, or with `keepAlive` every one
    // until the client closes it.
    void serve(int c) {
        std::string in;
        char buf[4096];
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!stopping && std::chrono::steady_clock::now() < deadline) {
            size_t headerEnd = in.find("\r\n\r\n");
            size_t length = 0;
            if (headerEnd != std::string::npos) {
                size_t cl = in.find("Content-Length: ");
                if (cl != std::string::npos && cl < headerEnd) {
                    length = std::stoul(in.substr(cl + 16));
                }
            }
            if (headerEnd != std::string::npos && in.size() >= headerEnd + 4 + length) {
                {
                    std::lock_guard<std::mutex> lock(mux);
                    received.push_back(in.substr(headerEnd + 4, length));
                }
                if (!keepAlive) {
                    sendAll(c,
                            "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok");
                    return;
                }
                sendAll(c, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
                in.erase(0, headerEnd + 4 + length);
                continue;
            }
            pollfd p{c, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) {
                continue;
            }
            ssize_t n = recv(c, buf, sizeof(buf), 0);
            if (n <= 0) {
                return;
            }
            in.append(buf, static_cast<size_t>(n));
        }
    }

    int fd = -1;
    std::atomic<bool> stopping{false};
    std::thread thread;
    std::mutex mux;
    std::vector<std::string> received;
};

}  // namespace resttest

#endif
