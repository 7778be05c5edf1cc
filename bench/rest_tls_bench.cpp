// Plain-HTTP throughput of the REST transport with and without a flood of TLS handshakes on
// its HTTPS port, in one run: the handshakes run on their own thread and must not starve the
// poll loop that serves everyone.
//
// Run: build/bench/rest_tls_bench [seconds per phase, default 5] [plain clients, default 2]
//                                  [handshake clients, default 2]
// Needs openssl on the PATH (it makes a throw-away certificate).

#include <curl/curl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "CHTTPServer.h"

namespace {

using Clock = std::chrono::steady_clock;

class VersionHandler : public ResourceHandler {
  public:
    void handle(Resource*, const char*, Method, const char*, std::string*,
                HTTPSessionContext* session) override {
        session->setReadyResponse("<Version>1</Version>");
    }
};

class BenchServer : public HTTPServer {
  public:
    void serveRequest(Resource* resource, HTTPSessionContext* session) override {
        resource->handler->handle(resource, session->getReqURI(), session->getReqMethod(),
                                  session->getQueryStr(), session->rxData(), session);
    }
};

size_t discard(char*, size_t size, size_t n, void*) {
    return size * n;
}

struct PlainFigures {
    double requestsPerSecond = 0;
    double p50Ms = 0;
    double p99Ms = 0;
};

// `clients` threads each GET the URL over one kept-alive connection for `seconds`.
PlainFigures plainLoad(const std::string& url, int clients, int seconds) {
    std::vector<std::vector<double>> latencies(static_cast<size_t>(clients));
    std::vector<std::thread> threads;
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    for (int i = 0; i < clients; ++i) {
        threads.emplace_back([&, i] {
            CURL* c = curl_easy_init();
            curl_easy_setopt(c, CURLOPT_URL, url.c_str());
            curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
            curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &discard);
            curl_easy_setopt(c, CURLOPT_TIMEOUT, 10L);
            while (Clock::now() < end) {
                auto start = Clock::now();
                long status = 0;
                if (curl_easy_perform(c) == CURLE_OK &&
                    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK &&
                    status == 200) {
                    latencies[static_cast<size_t>(i)].push_back(
                        std::chrono::duration<double, std::milli>(Clock::now() - start).count());
                }
            }
            curl_easy_cleanup(c);
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    std::vector<double> all;
    for (const auto& l : latencies) {
        all.insert(all.end(), l.begin(), l.end());
    }
    PlainFigures f;
    if (all.empty()) {
        return f;
    }
    std::sort(all.begin(), all.end());
    f.requestsPerSecond = static_cast<double>(all.size()) / seconds;
    f.p50Ms = all[all.size() / 2];
    f.p99Ms = all[std::min(all.size() - 1, all.size() * 99 / 100)];
    return f;
}

// Full TLS handshakes, one fresh connection each, until `stop`.
void handshakeFlood(const std::string& url, const std::string& caFile, std::atomic<bool>& stop,
                    std::atomic<long>& handshakes) {
    while (!stop) {
        CURL* c = curl_easy_init();
        curl_easy_setopt(c, CURLOPT_URL, url.c_str());
        curl_easy_setopt(c, CURLOPT_CONNECT_ONLY, 1L);
        curl_easy_setopt(c, CURLOPT_CAINFO, caFile.c_str());
        curl_easy_setopt(c, CURLOPT_SSL_SESSIONID_CACHE, 0L);
        curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(c, CURLOPT_TIMEOUT, 10L);
        if (curl_easy_perform(c) == CURLE_OK) {
            ++handshakes;
        }
        curl_easy_cleanup(c);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::max(1, atoi(argv[1])) : 5;
    const int clients = argc > 2 ? std::max(1, atoi(argv[2])) : 2;
    const int flooders = argc > 3 ? std::max(1, atoi(argv[3])) : 2;
    curl_global_init(CURL_GLOBAL_ALL);

    char dir[] = "/tmp/rest_tls_benchXXXXXX";
    if (mkdtemp(dir) == nullptr) {
        return 1;
    }
    const std::string pem = std::string(dir) + "/both.pem";
    const std::string cmd = std::string("cd ") + dir +
                            " && openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out "
                            "cert.pem -days 1 -subj /CN=127.0.0.1 -addext "
                            "subjectAltName=IP:127.0.0.1 >/dev/null 2>&1 && cat cert.pem key.pem "
                            "> both.pem";
    if (system(cmd.c_str()) != 0) {
        fprintf(stderr, "rest_tls_bench: cannot make a certificate with openssl\n");
        return 1;
    }

    BenchServer server;
    VersionHandler handler;
    static const ResourceDescriptor version("version");
    server.createResource(nullptr, &version, &handler, 0);
    if (server.setOption("ssl_cert", pem.c_str()) != 0 ||
        server.setOption("ports", "127.0.0.1:0,127.0.0.1:0s") != 0) {
        fprintf(stderr, "rest_tls_bench: cannot listen\n");
        return 1;
    }
    const std::vector<int> ports = server.listeningPorts();
    std::thread loop([&] { server.start(); });
    const std::string plainUrl = "http://127.0.0.1:" + std::to_string(ports[0]) + "/version";
    const std::string tlsUrl = "https://127.0.0.1:" + std::to_string(ports[1]) + "/";

    printf("plain HTTP: %d keep-alive clients, %d s per phase; handshake flood: %d clients\n",
           clients, seconds, flooders);
    PlainFigures quiet = plainLoad(plainUrl, clients, seconds);
    printf("  without flood: %9.0f req/s  p50 %6.3f ms  p99 %6.3f ms\n", quiet.requestsPerSecond,
           quiet.p50Ms, quiet.p99Ms);

    std::atomic<bool> stop{false};
    std::atomic<long> handshakes{0};
    std::vector<std::thread> flood;
    for (int i = 0; i < flooders; ++i) {
        flood.emplace_back([&] { handshakeFlood(tlsUrl, pem, stop, handshakes); });
    }
    PlainFigures loaded = plainLoad(plainUrl, clients, seconds);
    stop = true;
    for (auto& t : flood) {
        t.join();
    }
    printf("  with flood:    %9.0f req/s  p50 %6.3f ms  p99 %6.3f ms  (%.0f handshakes/s)\n",
           loaded.requestsPerSecond, loaded.p50Ms, loaded.p99Ms,
           static_cast<double>(handshakes.load()) / seconds);

    server.requestStop();
    loop.join();
    server.stopListeners();
    system((std::string("rm -rf ") + dir).c_str());
    curl_global_cleanup();
    return 0;
}
