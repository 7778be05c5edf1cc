// Raw bytes sent as an HTTP request to the REST server over a real socket. The server runs
// on its own loop thread for the whole fuzzing run; each input is one connection, closed for
// writing after the bytes so that nothing waits for more.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>

#include "CRESTServer.h"

namespace {

const ResourceDescriptor kNet("net");
const ResourceDescriptor kAny("*");

struct Fixture {
    Fixture() : server(nullptr, nullptr, &client) {
        Resource* net = server.createResource(nullptr, &kNet, nullptr, 0);
        server.createResource(net, &kAny, nullptr, 0);
        server.setMaxBodySize(4096);
        if (server.setOption("ports", "127.0.0.1:0") != 0) {
            __builtin_trap();
        }
        port = server.listeningPorts().at(0);
        loop = std::thread([this] { server.start(); });
    }
    RESTClient client;
    RESTServer server;
    int port = 0;
    std::thread loop;
};

Fixture* fixture() {
    static Fixture* f = new Fixture();  // lives for the whole run
    return f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Fixture* f = fixture();
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(f->port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        __builtin_trap();
    }
    send(fd, data, size, MSG_NOSIGNAL);
    shutdown(fd, SHUT_WR);
    char buf[4096];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 2000) <= 0) {
            break;
        }
        if (recv(fd, buf, sizeof(buf), 0) <= 0) {
            break;
        }
    }
    close(fd);
    return 0;
}
