#include "StopSignal.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace {
int pipeFds[2] = {-1, -1};
std::atomic<bool> stopRequested{false};

extern "C" void handler(int) {
    StopSignal::raise();
}
}  // namespace

bool StopSignal::install() {
    if (pipeFds[0] < 0 && pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
        return false;
    }
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    if (sigaction(SIGINT, &action, nullptr) != 0) {
        return false;
    }
    return sigaction(SIGTERM, &action, nullptr) == 0;
}

int StopSignal::fd() {
    return pipeFds[0];
}

bool StopSignal::pending() {
    return stopRequested.load();
}

void StopSignal::wait() {
    while (!pending()) {
        struct pollfd p = {pipeFds[0], POLLIN, 0};
        if (poll(&p, 1, -1) < 0 && errno != EINTR) {
            return;
        }
    }
}

void StopSignal::raise() {
    int saved = errno;
    stopRequested.store(true);
    if (pipeFds[1] >= 0) {
        char byte = 1;
        ssize_t ignored = write(pipeFds[1], &byte, 1);
        (void)ignored;
    }
    errno = saved;
}
