#include "ModulePeer.h"

#include "SimPty.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

namespace {
int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void writeAll(int fd, const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 100);
            continue;
        }
        if (n <= 0) {
            return;
        }
        done += static_cast<size_t>(n);
    }
}
}  // namespace

ModulePeer::~ModulePeer() {
    stop();
}

bool ModulePeer::open(const std::string& networkFile, std::string& err) {
    if (!net.load(networkFile, err)) {
        return false;
    }
    zbsim::PtyPair pty;
    if (!zbsim::openPtyPair(pty, err)) {
        return false;
    }
    master = pty.master;
    slave = pty.slave;
    slavePath = pty.slavePath;
    if (pipe(wake) != 0) {
        err = "pipe failed";
        return false;
    }
    module = std::make_unique<zbsim::Module>(net, [this](const zbsim::Packet& p) {
        zbsim::Packet out = p;
        ModuleHook hook;
        {
            std::lock_guard<std::mutex> lock(mux);
            hook = moduleHook;
        }
        if (hook) {
            hook(out);
        }
        writeAll(master, zbsim::encodeFrame(out));
    });
    module->setRebootMs(20);
    thread = std::thread(&ModulePeer::run, this);
    return true;
}

void ModulePeer::stop() {
    {
        std::lock_guard<std::mutex> lock(mux);
        if (stopping) {
            return;
        }
        stopping = true;
    }
    if (wake[1] >= 0) {
        char c = 'x';
        (void)!::write(wake[1], &c, 1);
    }
    if (thread.joinable()) {
        thread.join();
    }
    for (int* fd : {&master, &slave, &wake[0], &wake[1]}) {
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    }
}

void ModulePeer::onGatewayPacket(GatewayHook hook) {
    std::lock_guard<std::mutex> lock(mux);
    gatewayHook = std::move(hook);
}

void ModulePeer::onModulePacket(ModuleHook hook) {
    std::lock_guard<std::mutex> lock(mux);
    moduleHook = std::move(hook);
}

std::vector<zbsim::Packet> ModulePeer::sent() {
    std::lock_guard<std::mutex> lock(mux);
    return fromGateway;
}

size_t ModulePeer::countSent(uint8_t group, uint8_t id) {
    std::lock_guard<std::mutex> lock(mux);
    return static_cast<size_t>(
        std::count_if(fromGateway.begin(), fromGateway.end(),
                      [&](const zbsim::Packet& p) { return p.group == group && p.id == id; }));
}

void ModulePeer::withModule(const std::function<void(zbsim::Module&, zbsim::Network&)>& fn) {
    bool done = false;
    {
        std::lock_guard<std::mutex> lock(mux);
        calls.push_back([&] {
            fn(*module, net);
            std::lock_guard<std::mutex> l(mux);
            done = true;
            cv.notify_all();
        });
    }
    char c = 'c';
    (void)!::write(wake[1], &c, 1);
    std::unique_lock<std::mutex> lock(mux);
    cv.wait(lock, [&] { return done || stopping; });
}

std::string ModulePeer::control(const std::string& command) {
    std::string answer;
    withModule([&](zbsim::Module& mod, zbsim::Network& network) {
        zbsim::Controller ctl(network, mod, line, {});
        answer = ctl.execute(command, nowMs());
    });
    return answer;
}

void ModulePeer::unplug() {
    if (std::this_thread::get_id() != thread.get_id()) {
        withModule([this](zbsim::Module&, zbsim::Network&) { unplug(); });
        return;
    }
    if (master >= 0) {
        ::close(master);
        master = -1;
    }
    module->powerCycle(nowMs());
}

void ModulePeer::run() {
    for (;;) {
        std::vector<std::function<void()>> todo;
        {
            std::lock_guard<std::mutex> lock(mux);
            if (stopping) {
                return;
            }
            todo.swap(calls);
        }
        for (auto& f : todo) {
            f();
        }
        int64_t now = nowMs();
        module->runDue(now);
        int64_t due = module->nextDueMs();
        int timeout =
            due == INT64_MAX ? 200 : static_cast<int>(std::clamp<int64_t>(due - now, 0, 200));
        pollfd fds[2] = {{wake[0], POLLIN, 0}, {master, POLLIN, 0}};
        int r = ::poll(fds, 2, timeout);
        if (r <= 0) {
            continue;
        }
        if (fds[0].revents & POLLIN) {
            char buf[64];
            (void)!::read(wake[0], buf, sizeof buf);
        }
        if (fds[1].revents & POLLIN) {
            uint8_t buf[4096];
            std::vector<zbsim::Packet> packets;
            for (;;) {
                ssize_t n = ::read(master, buf, sizeof buf);
                if (n < 0 && errno == EINTR) {
                    continue;
                }
                if (n <= 0) {
                    break;
                }
                decoder.feed(buf, static_cast<size_t>(n), packets);
            }
            for (const zbsim::Packet& p : packets) {
                GatewayHook hook;
                {
                    std::lock_guard<std::mutex> lock(mux);
                    fromGateway.push_back(p);
                    hook = gatewayHook;
                }
                if (hook) {
                    hook(p, *module);
                }
                module->receive(p, nowMs());
            }
        }
    }
}
