#include "SimEmulator.h"

#include "SimPty.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace zbsim {

int64_t monotonicUs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

int64_t Emulator::clockUs() const {
    return opts_.manualClock ? manualUs_ : monotonicUs();
}

namespace {
void setNonBlocking(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// Removes path only when it is what we would have made there (a symlink or a socket), never a
// regular file or a device.
bool removeStale(const std::string& path, mode_t type, std::string& err) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return true;
    if ((st.st_mode & S_IFMT) != type) {
        err = path + " exists and is not a " + (type == S_IFLNK ? "symlink" : "socket");
        return false;
    }
    unlink(path.c_str());
    return true;
}
}  // namespace

Emulator::Emulator(EmulatorOptions opts) : opts_(std::move(opts)), trace_(opts_.trace) {}

Emulator::~Emulator() {
    cleanup();
}

bool Emulator::open(std::string& err) {
    if (!net_.load(opts_.networkFile, err))
        return false;
    if (opts_.rebootMs >= 0)
        net_.config().rebootMs = opts_.rebootMs;
    module_ = std::make_unique<Module>(net_, [this](const Packet& p) {
        line_.submit(p, nowUs_);
        if (trace_)
            traceOut(p, line_.lastFault());
    });
    module_->setSeed(opts_.seed);
    module_->setRealistic(opts_.realistic);
    module_->setLog([this](const std::string& s) {
        if (trace_)
            std::fprintf(stderr, "zbsim: %s\n", s.c_str());
    });
    Controller::Hooks hooks;
    hooks.unplug = [this](int ms) { unplug(ms, now_); };
    hooks.trace = [this](bool on) { trace_ = on; };
    hooks.tick = [this](int ms) -> int64_t {
        if (!opts_.manualClock)
            return -1;
        manualUs_ += ms * 1000LL;
        runUntil(manualUs_);
        return manualUs_ / 1000;
    };
    hooks.lineBytes = [this] { return line_.bytesOut(); };
    hooks.stampsOn = [this](const std::string& path, const std::vector<uint16_t>& opcodes,
                            std::string& why) { return stampsOn(path, opcodes, why); };
    hooks.stampsOff = [this] { stampsOff(); };
    // The gateway's writes block, as on a serial adapter whose device holds its flow control:
    // output on the pseudo-terminal's gateway side is suspended (tcflow on zbsim's own
    // descriptor of that side). A new pseudo-terminal after an unplug starts unstalled.
    hooks.stall = [this](bool on) {
        return slave_ >= 0 && tcflow(slave_, on ? TCOOFF : TCOON) == 0;
    };
    control_ = std::make_unique<Controller>(net_, *module_, line_, hooks);
    if (pipe(stopPipe_) != 0) {
        err = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    setNonBlocking(stopPipe_[0]);
    setNonBlocking(stopPipe_[1]);
    if (!opts_.resetLinePath.empty() && !resetLine_.open(opts_.resetLinePath, err))
        return false;
    return openPty(err) && openControl(err);
}

bool Emulator::openPty(std::string& err) {
    PtyPair pty;
    if (!openPtyPair(pty, err))
        return false;
    master_ = pty.master;
    slave_ = pty.slave;
    slavePath_ = pty.slavePath;
    const char* name = slavePath_.c_str();
    if (!removeStale(opts_.linkPath, S_IFLNK, err))
        return false;
    if (symlink(name, opts_.linkPath.c_str()) != 0) {
        err = "symlink " + opts_.linkPath + ": " + std::strerror(errno);
        return false;
    }
    linkCreated_ = true;
    decoder_.reset();
    return true;
}

void Emulator::closePty() {
    if (linkCreated_)
        unlink(opts_.linkPath.c_str());
    linkCreated_ = false;
    if (master_ >= 0)
        close(master_);
    if (slave_ >= 0)
        close(slave_);
    master_ = slave_ = -1;
    outBuf_.clear();
    unstamped_.clear();
    written_ = 0;
    stalledSinceUs_ = -1;
    line_.clearQueue();
    decoder_.reset();
}

bool Emulator::openControl(std::string& err) {
    sockaddr_un addr{};
    if (opts_.controlPath.size() >= sizeof(addr.sun_path)) {
        err = "control socket path too long";
        return false;
    }
    if (!removeStale(opts_.controlPath, S_IFSOCK, err))
        return false;
    listen_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, opts_.controlPath.c_str(), sizeof(addr.sun_path) - 1);
    if (listen_ < 0 || bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listen_, 8) != 0) {
        err = "control socket " + opts_.controlPath + ": " + std::strerror(errno);
        return false;
    }
    socketCreated_ = true;
    setNonBlocking(listen_);
    return true;
}

void Emulator::cleanup() {
    closePty();
    stampsOff();
    for (auto& c : clients_)
        close(c.fd);
    clients_.clear();
    if (listen_ >= 0)
        close(listen_);
    listen_ = -1;
    if (socketCreated_)
        unlink(opts_.controlPath.c_str());
    socketCreated_ = false;
    for (int& fd : stopPipe_) {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
}

void Emulator::stop() {
    char c = 1;
    if (stopPipe_[1] >= 0)
        (void)!write(stopPipe_[1], &c, 1);
}

void Emulator::traceOut(const Packet& p, const char* fault) {
    if (*fault)
        std::fprintf(stderr, "zbsim: -> %s %s (%s)\n", hexBytes(p.bytes()).c_str(),
                     packetName(p.group, p.id), fault);
    else
        std::fprintf(stderr, "zbsim: -> %s %s\n", hexBytes(p.bytes()).c_str(),
                     packetName(p.group, p.id));
}

bool Emulator::stampsOn(const std::string& path, const std::vector<uint16_t>& opcodes,
                        std::string& err) {
    stampsOff();
    stamps_ = std::fopen(path.c_str(), "w");
    if (!stamps_) {
        err = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    // Written out only when full or at `stamps off`: a record costs no system call.
    std::setvbuf(stamps_, nullptr, _IOFBF, 1 << 20);
    stampOpcodes_ = opcodes;
    return true;
}

void Emulator::stampsOff() {
    if (stamps_)
        std::fclose(stamps_);
    stamps_ = nullptr;
    unstamped_.clear();
}

// One line: microseconds of CLOCK_MONOTONIC, "in" or "out", and the frame's bytes from the
// opcode group on, without start and check byte, in hexadecimal.
void Emulator::stamp(int64_t us, const char* dir, const uint8_t* bytes, size_t n) {
    uint16_t op = static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
    if (!stampOpcodes_.empty() &&
        std::find(stampOpcodes_.begin(), stampOpcodes_.end(), op) == stampOpcodes_.end())
        return;
    static const char kHex[] = "0123456789ABCDEF";
    char line[2 * 300 + 48];
    int len = std::snprintf(line, 48, "%lld %s ", static_cast<long long>(us), dir);
    for (size_t i = 0; i < n && i < 300; ++i) {
        line[len++] = kHex[bytes[i] >> 4];
        line[len++] = kHex[bytes[i] & 15];
    }
    line[len++] = '\n';
    std::fwrite(line, 1, static_cast<size_t>(len), stamps_);
}

void Emulator::unplug(int returnAfterMs, int64_t now) {
    closePty();
    module_->powerCycle(now);
    replugAt_ = returnAfterMs < 0 ? -1 : now + returnAfterMs;
    std::fprintf(stderr, "zbsim: unplugged%s\n", returnAfterMs < 0 ? "" : " (coming back)");
}

void Emulator::checkResetLine() {
    if (!resetLine_.takeReset())
        return;
    std::fprintf(stderr, "zbsim: reset line: the module is reset%s\n",
                 module_->hung() ? " (it was hung)" : "");
    module_->watchdogReset(now_);
}

void Emulator::onLineReadable(int64_t now) {
    uint8_t buf[4096];
    std::vector<Packet> packets;
    for (;;) {
        ssize_t n = read(master_, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        size_t before = packets.size();
        decoder_.feed(buf, static_cast<size_t>(n), packets);
        if (stamps_ && packets.size() > before) {
            int64_t at = monotonicUs();
            for (size_t i = before; i < packets.size(); ++i) {
                std::vector<uint8_t> b = packets[i].bytes();
                if (b.size() >= 2)
                    stamp(at, "in", b.data(), b.size());
            }
        }
        if (static_cast<size_t>(n) < sizeof buf)
            break;
    }
    for (const Packet& p : packets) {
        if (trace_)
            std::fprintf(stderr, "zbsim: <- %s %s\n", hexBytes(p.bytes()).c_str(),
                         packetName(p.group, p.id));
        module_->receive(p, now);
        if (master_ < 0)
            break;  // a command could not unplug us, but stay safe
    }
}

namespace {
// What is taken from the line and not yet accepted by the pseudo-terminal: a flood waits in the
// line's queue, in order, until the gateway reads.
constexpr size_t kMaxBacklog = 64 * 1024;
// The pseudo-terminal accepted nothing for this long: nobody reads the line, and like a real
// serial line it loses what is due rather than keeping it without bound.
constexpr int64_t kStalledUs = 2000000;
}  // namespace

void Emulator::flushLine(int64_t nowUs) {
    if (master_ < 0)
        return;
    if (outBuf_.size() < kMaxBacklog) {
        size_t base = outBuf_.size();
        taken_.clear();
        line_.takeDue(nowUs, outBuf_, kMaxBacklog - base, stamps_ ? &taken_ : nullptr);
        for (auto& f : taken_)
            unstamped_.emplace_back(written_ + f.first, std::move(f.second));
    }
    size_t done = 0;
    while (done < outBuf_.size()) {
        ssize_t n = write(master_, outBuf_.data() + done, outBuf_.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;  // the pty buffer is full: poll for POLLOUT and go on later
        done += static_cast<size_t>(n);
    }
    outBuf_.erase(outBuf_.begin(), outBuf_.begin() + static_cast<std::ptrdiff_t>(done));
    written_ += done;
    if (stamps_ && !unstamped_.empty() && unstamped_.front().first <= written_) {
        int64_t at = monotonicUs();
        while (!unstamped_.empty() && unstamped_.front().first <= written_) {
            const std::vector<uint8_t>& f = unstamped_.front().second;
            if (f.size() >= 4)  // start byte, group, id, length, payload, check byte
                stamp(at, "out", f.data() + 1,
                      std::min<size_t>(f.size() - 1, 3 + static_cast<size_t>(f[3])));
            unstamped_.pop_front();
        }
    }
    if (done > 0 || outBuf_.empty()) {
        stalledSinceUs_ = -1;
    } else if (stalledSinceUs_ < 0) {
        stalledSinceUs_ = nowUs;
    } else if (nowUs - stalledSinceUs_ >= kStalledUs) {
        written_ += outBuf_.size();
        outBuf_.clear();
        line_.discardDue(nowUs);
        unstamped_.clear();
        stalledSinceUs_ = -1;
    }
}

void Emulator::onAccept() {
    for (;;) {
        int fd = accept4(listen_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        if (clients_.size() >= 16) {
            close(fd);
            continue;
        }
        clients_.push_back(Client{fd, {}, {}});
    }
}

bool Emulator::onClient(Client& c, int64_t now) {
    char buf[1024];
    for (;;) {
        ssize_t n = recv(c.fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            return false;
        if (n < 0)
            break;
        c.in.append(buf, static_cast<size_t>(n));
    }
    size_t nl;
    while ((nl = c.in.find('\n')) != std::string::npos) {
        std::string line = c.in.substr(0, nl);
        c.in.erase(0, nl + 1);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        c.out += control_->execute(line, now) + "\n";
    }
    if (c.in.size() > kMaxCommandLine) {
        c.out += "error: line too long\n";
        c.in.clear();
    }
    while (!c.out.empty()) {
        ssize_t n = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return errno == EAGAIN || errno == EWOULDBLOCK;
        c.out.erase(0, static_cast<size_t>(n));
    }
    return true;
}

bool Emulator::runUntil(int64_t nowUs) {
    // Step through what falls due so that every frame is stamped with its own time.
    for (;;) {
        int64_t next = module_->nextDueMs();
        if (replugAt_ >= 0)
            next = std::min(next, replugAt_);
        if (next == INT64_MAX || next * 1000 > nowUs)
            break;
        setNow(std::max(nowUs_, next * 1000));
        module_->runDue(now_);
        if (replugAt_ >= 0 && now_ >= replugAt_) {
            replugAt_ = -1;
            std::string err;
            if (!openPty(err)) {
                std::fprintf(stderr, "zbsim: cannot come back: %s\n", err.c_str());
                return false;
            }
            std::fprintf(stderr, "zbsim: plugged in again link=%s\n", opts_.linkPath.c_str());
        }
    }
    setNow(std::max(nowUs_, nowUs));
    module_->runDue(now_);
    flushLine(nowUs_);
    return true;
}

int Emulator::run() {
    std::printf("zbsim: ready link=%s control=%s\n", opts_.linkPath.c_str(),
                opts_.controlPath.c_str());
    std::fflush(stdout);
    for (;;) {
        if (!runUntil(clockUs()))
            return 1;

        std::vector<pollfd> fds;
        fds.push_back({stopPipe_[0], POLLIN, 0});
        fds.push_back({listen_, POLLIN, 0});
        size_t lineIdx = SIZE_MAX;
        if (master_ >= 0) {
            lineIdx = fds.size();
            fds.push_back(
                {master_, static_cast<short>(POLLIN | (outBuf_.empty() ? 0 : POLLOUT)), 0});
        }
        size_t resetIdx = SIZE_MAX;
        if (resetLine_.pollFd() >= 0) {
            resetIdx = fds.size();
            fds.push_back({resetLine_.pollFd(), POLLIN, 0});
        }
        size_t firstClient = fds.size();
        for (auto& c : clients_)
            fds.push_back({c.fd, static_cast<short>(POLLIN | (c.out.empty() ? 0 : POLLOUT)), 0});

        // Waits to the microsecond: paced bytes may be due sooner than a millisecond apart.
        timespec wait{};
        timespec* timeout = nullptr;
        if (!opts_.manualClock) {
            // With a full backlog the line waits for the pty (POLLOUT) or for the stall to end.
            int64_t dueUs = outBuf_.size() < kMaxBacklog ? line_.nextDueUs()
                            : stalledSinceUs_ >= 0       ? stalledSinceUs_ + kStalledUs
                                                         : INT64_MAX;
            int64_t dueMs = module_->nextDueMs();
            if (replugAt_ >= 0)
                dueMs = std::min(dueMs, replugAt_);
            if (dueMs != INT64_MAX)
                dueUs = std::min(dueUs, dueMs * 1000);
            if (resetLine_.isOpen() && resetLine_.pollFd() < 0)
                dueUs = std::min(dueUs, nowUs_ + ResetLine::checkEveryMs() * 1000);
            if (dueUs != INT64_MAX) {
                int64_t us = std::clamp<int64_t>(dueUs - nowUs_, 0, 60000000);
                wait.tv_sec = static_cast<time_t>(us / 1000000);
                wait.tv_nsec = static_cast<long>(us % 1000000) * 1000;
                timeout = &wait;
            }
        }
        int r = ppoll(fds.data(), fds.size(), timeout, nullptr);
        if (r < 0 && errno != EINTR) {
            std::perror("zbsim: poll");
            return 1;
        }
        if (resetLine_.isOpen() && resetLine_.pollFd() < 0) {
            setNow(std::max(nowUs_, clockUs()));
            checkResetLine();  // a file: looked at on every turn of the loop
        }
        if (r <= 0)
            continue;
        setNow(std::max(nowUs_, clockUs()));
        if (fds[0].revents)
            return 0;
        if (fds[1].revents & POLLIN)
            onAccept();
        if (resetIdx != SIZE_MAX && (fds[resetIdx].revents & POLLIN))
            checkResetLine();
        if (lineIdx != SIZE_MAX && (fds[lineIdx].revents & POLLIN))
            onLineReadable(now_);
        if (lineIdx != SIZE_MAX && (fds[lineIdx].revents & POLLOUT))
            flushLine(nowUs_);
        for (size_t i = 0, k = firstClient; i < clients_.size() && k < fds.size(); ++k) {
            bool keep = true;
            if (fds[k].revents & (POLLIN | POLLOUT | POLLHUP | POLLERR))
                keep = onClient(clients_[i], now_);
            if (keep) {
                ++i;
            } else {
                close(clients_[i].fd);
                clients_.erase(clients_.begin() + static_cast<std::ptrdiff_t>(i));
            }
        }
    }
}

}  // namespace zbsim
