// Test support for zbsim as a process: starting it, its control socket, and the gateway's end
// of its pseudo-terminal, with packets framed here from the packet tables.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/SimBytes.h"
#include "support/TempFile.h"
#include "support/WaitFor.h"

namespace zbsimtest {
using namespace simbytes;
using Clock = std::chrono::steady_clock;
constexpr auto kDeadline = std::chrono::seconds(10);

inline Bytes frame(uint8_t group, uint8_t id, const Bytes& payload = {}) {
    Bytes f{0x02, group, id, static_cast<uint8_t>(payload.size())};
    f.insert(f.end(), payload.begin(), payload.end());
    uint8_t x = 0;
    for (size_t i = 1; i < f.size(); ++i)
        x ^= f[i];
    f.push_back(x);
    return f;
}

inline bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// One zbsim process with its own link and socket in a fresh directory.
class Zbsim {
  public:
    // Starts zbsim on a network file with extra options (e.g. --manual-clock, --realistic).
    explicit Zbsim(const std::string& network = ZBSIM_DEMO_NETWORK,
                   std::vector<std::string> extra = {}, bool trace = false) {
        char tmpl[] = "/tmp/zbsim_itXXXXXX";
        dir_ = mkdtemp(tmpl);
        link = dir_ + "/tty";
        socket = dir_ + "/ctl";
        traceFile = dir_ + "/trace";
        std::vector<std::string> args{ZBSIM_PATH,  "--network", network,       "--link", link,
                                      "--control", socket,      "--reboot-ms", "20"};
        if (trace)
            args.push_back("--trace");
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<char*> argv;
        for (auto& s : args)
            argv.push_back(&s[0]);
        argv.push_back(nullptr);
        int out[2];
        if (pipe(out) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            close(out[0]);
            close(out[1]);
            if (trace) {
                int fd = ::open(traceFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
                dup2(fd, 2);
            }
            execv(ZBSIM_PATH, argv.data());
            _exit(127);
        }
        close(out[1]);
        stdout_ = out[0];
    }
    // The directory of this instance, for files a test writes.
    const std::string& dir() const { return dir_; }
    ~Zbsim() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (stdout_ >= 0)
            close(stdout_);
        std::filesystem::remove_all(dir_);
    }
    // The first line on standard output, once zbsim is ready.
    std::string readyLine() {
        std::string line;
        auto end = Clock::now() + kDeadline;
        while (Clock::now() < end) {
            pollfd p{stdout_, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0)
                continue;
            char c;
            if (read(stdout_, &c, 1) != 1)
                break;
            if (c == '\n')
                return line;
            line += c;
        }
        return line;
    }
    std::string ctl(const std::string& cmd) {
        int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, socket.c_str(), sizeof(a.sun_path) - 1);
        if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            close(fd);
            return "connect failed";
        }
        std::string line = cmd + "\n";
        if (write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
            close(fd);
            return "write failed";
        }
        std::string answer;
        char c;
        while (read(fd, &c, 1) == 1 && c != '\n')
            answer += c;
        close(fd);
        return answer;
    }
    // Sends SIGTERM and returns the exit status (-1 when it did not exit in time).
    int terminate() {
        kill(pid_, SIGTERM);
        int status = 0;
        if (!waitFor([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, kDeadline))
            return -1;
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string link;
    std::string socket;
    std::string traceFile;

  private:
    std::string dir_;
    pid_t pid_ = -1;
    int stdout_ = -1;
};

// The gateway's end of the line, opened through the symlink.
class Port {
  public:
    explicit Port(const std::string& path) {
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd_ < 0)
            return;
        termios t{};
        tcgetattr(fd_, &t);
        cfmakeraw(&t);
        tcsetattr(fd_, TCSANOW, &t);
    }
    ~Port() {
        if (fd_ >= 0)
            close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    void write(const Bytes& b) { ASSERT_EQ(::write(fd_, b.data(), b.size()), ssize_t(b.size())); }
    void send(uint8_t g, uint8_t i, const Bytes& payload = {}) { write(frame(g, i, payload)); }
    // Reads exactly n bytes, or what came before the deadline.
    Bytes read(size_t n, std::chrono::milliseconds limit = kDeadline) {
        Bytes got;
        auto end = Clock::now() + limit;
        while (got.size() < n) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
            if (left.count() <= 0)
                break;
            pollfd p{fd_, POLLIN, 0};
            int r = poll(&p, 1, static_cast<int>(left.count()));
            if (r <= 0)
                continue;
            if (p.revents & (POLLHUP | POLLERR)) {
                hungUp_ = true;
                break;
            }
            uint8_t buf[512];
            ssize_t k = ::read(fd_, buf, std::min(sizeof buf, n - got.size()));
            if (k <= 0) {
                hungUp_ = true;
                break;
            }
            got.insert(got.end(), buf, buf + k);
        }
        return got;
    }
    // Reads one frame (start byte, header, payload, checksum) and returns it whole.
    Bytes readFrame() {
        Bytes head = read(4);
        if (head.size() < 4)
            return head;
        Bytes rest = read(head[3] + 1u);
        head.insert(head.end(), rest.begin(), rest.end());
        return head;
    }
    // Reads until the expected frames have arrived and compares them byte for byte.
    void expect(std::initializer_list<Bytes> frames) {
        Bytes want = cat(frames);
        Bytes got = read(want.size());
        EXPECT_EQ(got, want);
    }
    bool hungUp() const { return hungUp_; }
    // Asks the module for its channel and reads up to its answer: every frame the module sent
    // before it (the answer is the module's own, so it overtakes nothing still on the air).
    std::vector<Bytes> drain() {
        send(0xA3, 0x12);
        std::vector<Bytes> got;
        for (;;) {
            Bytes f = readFrame();
            if (f.size() < 4 || (f[1] == 0xA4 && f[2] == 0x12))
                return got;
            got.push_back(f);
        }
    }
    // Checks that the module sent nothing (as answer to what went before).
    void expectNothing() { EXPECT_EQ(drain(), std::vector<Bytes>{}); }

  private:
    int fd_ = -1;
    bool hungUp_ = false;
};

const Bytes kModeSelect{0x01, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02};

inline Bytes startupAttributeSet() {
    Bytes s(101, 0);
    s[0] = 0xFF, s[1] = 0xFF;    // short address
    s[18] = 0x62, s[19] = 0x1A;  // PAN id
    s[20] = 0x00, s[21] = 0x80;  // channel mask: channel 15
    s[24] = 0x02, s[25] = 0x02;  // protocol version, stack profile
    for (int i = 0; i < 8; ++i)
        s[27 + i] = 0xAA;  // trust centre address
    for (int i = 0; i < 16; ++i)
        s[51 + i] = static_cast<uint8_t>(0x10 + i);  // network key
    s[67] = 1;
    s[85] = 1;
    return s;
}

// The gateway's reset handshake: reset, whatever the module says while rebooting, mode select,
// a random IEEE address.
inline void resetHandshake(Port& port, const Bytes& ieee) {
    port.send(0xA3, 0x08);
    port.expect({frame(0xA0, 0xE6, {0x00})});
    port.send(0xA3, 0x00, kModeSelect);
    port.expect({frame(0xA4, 0x00, {0x00})});
    port.send(0xA3, 0xDB, ieee);
    port.expect({frame(0xA4, 0xDB, {0x00})});
}

// The attribute writes and end point registration of the start-up sequence.
inline void configure(Port& port) {
    port.send(0xA3, 0x21, {0xCD, 0x00, 0x00, 0x00, 0x01});
    port.expect({frame(0xA4, 0x21, {0x00})});
    port.send(0xA3, 0x21, {0xC9, 0x00, 0x00, 0x00, 0x64});
    port.expect({frame(0xA4, 0x21, {0x00})});
    // The gateway's end point 8, as in the sample configuration.
    port.send(0xA3, 0x0B,
              {0x08, 0x04, 0x01, 0x05, 0x00, 0x00, 0x01, 0x00, 0x00, 0x01, 0x06, 0x00, 0x01});
    port.expect({frame(0xA4, 0x0B, {0x00})});
    port.send(0x50, 0x01, startupAttributeSet());
    port.expect({frame(0x50, 0x04, {0x00})});
}

// The whole start-up: reset handshake, configuration, then the start with the given device
// byte. The module reports the state it starts in (forming or joining), then the one it runs in.
inline void startUp(Port& port, const Bytes& ieee, uint8_t deviceByte, uint8_t startingState,
                    uint8_t runningState) {
    ASSERT_TRUE(port.ok());
    resetHandshake(port, ieee);
    configure(port);
    port.send(0xA3, 0xE7, {deviceByte, 0x00, 0x00});
    port.expect({frame(0xA4, 0xE7, {0x00}), frame(0xA0, 0xE6, {startingState}),
                 frame(0xA0, 0xE6, {runningState})});
}

inline void formAsCoordinator(Port& port) {
    startUp(port, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0xCD, 0xAB}, 0xC0, 0x03, 0x10);
}
}  // namespace zbsimtest

namespace zbsimtest {

// Device profile requests: addressee and address of interest.
inline Bytes addrPair(uint16_t dst, uint16_t interest) {
    return cat({le16(dst), le16(interest)});
}

// Frames of a data indication (9D 01): the payload starts at byte 4 of the frame.
inline uint16_t indicationSource(const Bytes& f) {
    return static_cast<uint16_t>(f.at(9) | f.at(10) << 8);
}
inline uint16_t indicationCluster(const Bytes& f) {
    return static_cast<uint16_t>(f.at(14) | f.at(15) << 8);
}
inline bool is(const Bytes& f, uint8_t group, uint8_t id) {
    return f.size() > 3 && f[1] == group && f[2] == id;
}

// Configures the module and forms the network as coordinator without the reset handshake (a
// freshly started zbsim is booted), for tests that run on the manual clock.
inline void formWithoutReset(Port& port) {
    ASSERT_TRUE(port.ok());
    configure(port);
    port.send(0xA3, 0xE7, {0xC0, 0x00, 0x00});
    port.expect({frame(0xA4, 0xE7, {0x00}), frame(0xA0, 0xE6, {0x03}), frame(0xA0, 0xE6, {0x10})});
}

// A value of the `status` answer ("... wire=42 ...").
inline long statusField(Zbsim& sim, const std::string& key) {
    std::string s = sim.ctl("status");
    size_t at = s.find(" " + key + "=");
    return at == std::string::npos ? -1 : std::stol(s.substr(at + key.size() + 2));
}

}  // namespace zbsimtest
