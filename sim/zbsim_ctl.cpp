// zbsim-ctl: sends one command to a running zbsim and prints its answer.
//   zbsim-ctl SOCKET COMMAND [ARGS...]     e.g. zbsim-ctl /tmp/zbsim.sock silence light
// Exits 0 for an "ok" answer, 1 for an "error:" answer, 2 when zbsim cannot be reached.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: zbsim-ctl SOCKET COMMAND [ARGS...]\n");
        return 2;
    }
    sockaddr_un addr{};
    if (std::strlen(argv[1]) >= sizeof(addr.sun_path)) {
        std::fprintf(stderr, "zbsim-ctl: socket path too long\n");
        return 2;
    }
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, argv[1], sizeof(addr.sun_path) - 1);
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        std::fprintf(stderr, "zbsim-ctl: cannot connect to %s: %s\n", argv[1],
                     std::strerror(errno));
        return 2;
    }
    std::string line;
    for (int i = 2; i < argc; ++i) {
        if (i > 2)
            line += ' ';
        line += argv[i];
    }
    line += '\n';
    size_t done = 0;
    while (done < line.size()) {
        ssize_t n = write(fd, line.data() + done, line.size() - done);
        if (n <= 0) {
            std::fprintf(stderr, "zbsim-ctl: write failed\n");
            return 2;
        }
        done += static_cast<size_t>(n);
    }
    std::string answer;
    char c;
    while (read(fd, &c, 1) == 1 && c != '\n')
        answer += c;
    close(fd);
    if (answer.empty()) {
        std::fprintf(stderr, "zbsim-ctl: no answer\n");
        return 2;
    }
    std::printf("%s\n", answer.c_str());
    return answer.compare(0, 2, "ok") == 0 ? 0 : 1;
}
