// A listener server for the line measurements that costs next to nothing: it accepts keep-alive
// HTTP/1.1 connections on the loopback, answers every request 200 with an empty body, and
// writes one line per request to standard output: the time its body was complete (nanoseconds
// of CLOCK_MONOTONIC, the clock of Python's time.monotonic()) and the number a flooded report
// carries (zbsim's `flood`), or -1 for any other document. Its first line is "port N". It ends
// when standard input closes.
//   post_sink
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <unordered_map>

namespace {

long long nowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// The flooded report's number: the Data element holds the payload in hexadecimal, a ZCL
// report "18 nn 0A 0000 41 ll" followed by the number in four bytes.
long long floodNumber(const std::string& body) {
    static const char kTag[] = "<orq:Data>";
    size_t at = body.find(kTag);
    if (at == std::string::npos)
        return -1;
    const char* d = body.c_str() + at + sizeof kTag - 1;
    size_t n = 0;
    while (std::isxdigit(static_cast<unsigned char>(d[n])))
        ++n;
    if (n < 22 || std::strncmp(d, "18", 2) != 0 || strncasecmp(d + 4, "0a000041", 8) != 0)
        return -1;
    return std::strtoll(std::string(d + 14, 8).c_str(), nullptr, 16);
}

size_t contentLength(const std::string& head) {
    for (size_t at = 0; (at = head.find('\n', at)) != std::string::npos;) {
        ++at;
        if (strncasecmp(head.c_str() + at, "content-length:", 15) == 0)
            return std::strtoul(head.c_str() + at + 15, nullptr, 10);
    }
    return 0;
}

}  // namespace

int main() {
    int server = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (server < 0 || bind(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(server, 64) != 0 || getsockname(server, reinterpret_cast<sockaddr*>(&addr), &len)) {
        std::perror("post_sink");
        return 1;
    }
    std::printf("port %d\n", ntohs(addr.sin_port));
    std::fflush(stdout);

    int ep = epoll_create1(0);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = server;
    epoll_ctl(ep, EPOLL_CTL_ADD, server, &ev);
    ev.data.fd = 0;
    epoll_ctl(ep, EPOLL_CTL_ADD, 0, &ev);
    std::unordered_map<int, std::string> in;
    static const char kOk[] = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
    epoll_event ready[64];
    for (;;) {
        int n = epoll_wait(ep, ready, 64, -1);
        bool wrote = false;
        for (int i = 0; i < n; ++i) {
            int fd = ready[i].data.fd;
            if (fd == 0)
                return 0;  // standard input closed (or spoke): the measurement is over
            if (fd == server) {
                int c;
                while ((c = accept4(server, nullptr, nullptr, SOCK_NONBLOCK)) >= 0) {
                    ev.data.fd = c;
                    epoll_ctl(ep, EPOLL_CTL_ADD, c, &ev);
                    in[c];
                }
                continue;
            }
            char buf[65536];
            ssize_t got = recv(fd, buf, sizeof buf, 0);
            if (got <= 0) {
                close(fd);
                in.erase(fd);
                continue;
            }
            long long at = nowNs();
            std::string& b = in[fd];
            b.append(buf, static_cast<size_t>(got));
            std::string answers;
            for (;;) {
                size_t head = b.find("\r\n\r\n");
                if (head == std::string::npos)
                    break;
                size_t end = head + 4 + contentLength(b.substr(0, head + 2));
                if (b.size() < end)
                    break;
                std::printf("%lld %lld\n", at, floodNumber(b.substr(head + 4, end - head - 4)));
                b.erase(0, end);
                answers += kOk;
                wrote = true;
            }
            if (!answers.empty() && send(fd, answers.data(), answers.size(), MSG_NOSIGNAL) < 0) {
                close(fd);
                in.erase(fd);
            }
        }
        if (wrote)
            std::fflush(stdout);
    }
}
