#ifndef ORQ_TESTS_REST_TEST_SUPPORT_H
#define ORQ_TESTS_REST_TEST_SUPPORT_H

// Helpers for the HTTP and REST tests: a real client (libcurl or a raw socket), a server loop
// on its own thread, and a small listener server that records what it is sent.

#include <arpa/inet.h>
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CHTTPServer.h"
#include "ConfigurationRepository.h"
#include "support/WaitFor.h"

namespace resttest {

// A file in the temporary directory that no other test process uses; removed at exit.
inline std::string tempPath(const std::string& name, const std::string& text = "") {
    static struct Files {
        std::vector<std::string> paths;
        ~Files() {
            for (const std::string& p : paths) {
                std::remove(p.c_str());
            }
        }
    } files;
    std::string path =
        std::string(::testing::TempDir()) + "orq_" + std::to_string(getpid()) + "_" + name;
    files.paths.push_back(path);
    if (!text.empty()) {
        std::ofstream(path) << text;
    }
    return path;
}

inline void loadConfig(const std::string& text) {
    static int n = 0;
    ConfigurationRepository::instance(tempPath("conf" + std::to_string(n++) + ".ini", text))
        ->load();
}

struct HttpResult {
    int curlCode = -1;
    long status = 0;
    std::string body, headers;
};

struct RequestOptions {
    RequestOptions(std::string m = "GET", const char* b = nullptr)
        : method(std::move(m)), body(b) {}
    std::string method;
    const char* body;
    std::string caFile, digestUser;
    bool headersOnly = false;  // gives up once the headers are in (for endless streams)
};

inline size_t appendTo(char* p, size_t size, size_t n, void* out) {
    static_cast<std::string*>(out)->append(p, size * n);
    return size * n;
}

// Ends the transfer once the headers of a 2xx reply are in.
inline size_t headersUntilEnd(char* p, size_t size, size_t n, void* out) {
    std::string& headers = *static_cast<std::string*>(out);
    appendTo(p, size, n, out);
    const size_t status = headers.rfind("HTTP/");
    const bool ok = status != std::string::npos && headers.compare(status + 9, 1, "2") == 0;
    return ok && std::string(p, size * n) == "\r\n" ? 0 : size * n;
}

inline HttpResult httpRequest(const std::string& url, const RequestOptions& opt = {}) {
    HttpResult r;
    CURL* c = curl_easy_init();
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, opt.method.c_str());
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_TIMEOUT, 20L);
    if (opt.body != nullptr) {
        curl_easy_setopt(c, CURLOPT_POSTFIELDS, opt.body);
    }
    if (!opt.caFile.empty()) {
        curl_easy_setopt(c, CURLOPT_CAINFO, opt.caFile.c_str());
    }
    if (!opt.digestUser.empty()) {
        curl_easy_setopt(c, CURLOPT_HTTPAUTH, CURLAUTH_DIGEST);
        curl_easy_setopt(c, CURLOPT_USERPWD, opt.digestUser.c_str());
    }
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &appendTo);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &r.body);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, opt.headersOnly ? &headersUntilEnd : &appendTo);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &r.headers);
    r.curlCode = curl_easy_perform(c);
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &r.status);
    curl_easy_cleanup(c);
    return r;
}

// A TCP connection to 127.0.0.1:`port`, from the loopback address `source` when given.
inline int connectTo(int port, const char* source = nullptr) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    if (source != nullptr && (inet_pton(AF_INET, source, &a.sin_addr) != 1 ||
                              bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0)) {
        close(fd);
        return -1;
    }
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

inline bool sendAll(int fd, const std::string& data) {
    for (size_t done = 0; done < data.size();) {
        ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Reads until the peer closes, `until` shows up in what came, or `ms` pass.
inline std::string readAll(int fd, int ms = 15000, const std::string& until = "") {
    std::string out;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    char buf[4096];
    while (std::chrono::steady_clock::now() < deadline &&
           (until.empty() || out.find(until) == std::string::npos)) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) {
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
inline std::string rawExchange(int port, const std::string& request) {
    int fd = connectTo(port);
    sendAll(fd, request);
    std::string reply = readAll(fd);
    close(fd);
    return reply;
}

// Closes `fd` with a reset rather than an orderly end.
inline void resetAndClose(int fd) {
    linger reset{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
    close(fd);
}

// Runs a server's poll loop on its own thread, which plays the gateway's main thread.
class LoopThread {
  public:
    explicit LoopThread(HTTPServer& s) : server(s), thread([this] { server.start(); }) {}
    ~LoopThread() {
        server.requestStop();
        thread.join();
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

// The text of the first element `name` (with or without the "tns" prefix), or "<absent>".
inline std::string element(const std::string& doc, const std::string& name) {
    for (const std::string& tag : {name, "tns:" + name}) {
        size_t start = doc.find("<" + tag + ">");
        size_t end = doc.find("</" + tag + ">", start);
        if (start != std::string::npos && end != std::string::npos) {
            return doc.substr(start + tag.size() + 2, end - start - tag.size() - 2);
        }
    }
    return "<absent>";
}

inline std::string shellOutput(const std::string& command) {
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        for (int c; (c = fgetc(p)) != EOF;) {
            out += static_cast<char>(c);
        }
        pclose(p);
    }
    return out;
}

// A URI listener: a small HTTP server on 127.0.0.1 that records every POST body in arrival
// order and answers 200 (closing the connection unless `keepAlive`), or, while `stalled`,
// accepts and never answers.
class TestListener {
  public:
    TestListener() {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        socklen_t len = sizeof(a);
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
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
    size_t count() { return bodies().size(); }
    // The answer to every request in place of 200 (it should close the connection).
    void setReply(const std::string& r) {
        std::lock_guard<std::mutex> lock(mux);
        reply = r;
    }

    std::atomic<bool> stalled{false}, keepAlive{false};
    std::atomic<int> accepted{0};
    int port = 0;

  private:
    void run() {
        while (!stopping) {
            pollfd p{fd, POLLIN, 0};
            int c = ::poll(&p, 1, 20) > 0 ? accept(fd, nullptr, nullptr) : -1;
            if (c < 0) {
                continue;
            }
            ++accepted;
            std::string in;
            char buf[4096];
            // A connection taken while stalled is never answered; it ends once that is over.
            const bool stall = stalled;
            while (!stopping && !(stall && !stalled)) {
                size_t end = in.find("\r\n\r\n"), cl = in.find("Content-Length: ");
                size_t length = cl < end ? std::stoul(in.substr(cl + 16)) : 0;
                if (!stall && end != std::string::npos && in.size() >= end + 4 + length) {
                    std::string answer;
                    {
                        std::lock_guard<std::mutex> lock(mux);
                        received.push_back(in.substr(end + 4, length));
                        answer = reply;
                    }
                    in.erase(0, end + 4 + length);
                    if (!keepAlive) {
                        sendAll(c, !answer.empty() ? answer
                                                   : "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n"
                                                     "Connection: close\r\n\r\nok");
                        break;
                    }
                    sendAll(c, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
                    continue;
                }
                pollfd q{c, POLLIN, 0};
                if (::poll(&q, 1, 20) <= 0) {
                    continue;
                }
                ssize_t n = recv(c, buf, sizeof(buf), 0);
                if (n <= 0) {
                    break;
                }
                in.append(buf, static_cast<size_t>(n));
            }
            close(c);
        }
    }

    int fd = -1;
    std::atomic<bool> stopping{false};
    std::thread thread;
    std::mutex mux;
    std::vector<std::string> received;
    std::string reply;
};

}  // namespace resttest

#endif
