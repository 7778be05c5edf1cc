// ServiceNotifier against a datagram socket of the test's own named by NOTIFY_SOCKET, as the
// service manager's end would be.
#include "ServiceNotifier.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

class NotifySocket {
  public:
    NotifySocket() {
        char dir[] = "/tmp/orq-notify-XXXXXX";
        EXPECT_NE(mkdtemp(dir), nullptr);
        directory = dir;
        path = directory + "/notify";
        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        path.copy(addr.sun_path, sizeof(addr.sun_path) - 1);
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    }
    ~NotifySocket() {
        close(fd);
        std::filesystem::remove_all(directory);
    }
    // The next message, waiting up to `ms`; empty when none came.
    std::string next(int ms = 0) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0) {
            return "";
        }
        char buf[512];
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
    }

    std::string directory;
    std::string path;
    int fd = -1;
};

class ServiceNotifierTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("NOTIFY_SOCKET", manager.path.c_str(), 1);
        unsetenv("WATCHDOG_USEC");
        unsetenv("WATCHDOG_PID");
    }
    void TearDown() override {
        unsetenv("NOTIFY_SOCKET");
        unsetenv("WATCHDOG_USEC");
    }
    NotifySocket manager;
};

TEST_F(ServiceNotifierTest, SaysNothingWithoutANotifySocket) {
    unsetenv("NOTIFY_SOCKET");
    setenv("WATCHDOG_USEC", "100000", 1);
    ServiceNotifier notifier;
    EXPECT_FALSE(notifier.enabled());
    EXPECT_EQ(notifier.watchdogInterval().count(), 0);
    notifier.ready("up");
    notifier.status("state");
    notifier.stopping();
    EXPECT_EQ(manager.next(), "");
}

TEST_F(ServiceNotifierTest, ReadyStatusAndStoppingOnceInOrder) {
    ServiceNotifier notifier;
    ASSERT_TRUE(notifier.enabled());
    notifier.ready("GW Stopped");
    notifier.status("GW successfully started");
    notifier.stopping();
    notifier.stopping();  // once only
    EXPECT_EQ(manager.next(), "READY=1\nSTATUS=GW Stopped");
    EXPECT_EQ(manager.next(), "STATUS=GW successfully started");
    EXPECT_EQ(manager.next(), "STOPPING=1");
    EXPECT_EQ(manager.next(), "");
}

TEST_F(ServiceNotifierTest, PingsOnlyWhileEveryWatchedPartMakesProgress) {
    ServiceNotifier notifier;
    bool loop = true;
    bool reader = true;
    notifier.watch("the loop", [&] { return loop; });
    notifier.watch("the reader", [&] { return reader; });
    for (int bits : {3, 1, 2, 3}) {
        loop = (bits & 1) != 0;
        reader = (bits & 2) != 0;
        EXPECT_EQ(notifier.pingIfHealthy(), bits == 3) << bits;
        EXPECT_EQ(manager.next(), bits == 3 ? "WATCHDOG=1" : "") << bits;
    }
}

TEST_F(ServiceNotifierTest, PingsAtHalfTheWatchdogIntervalFromReadyToStopping) {
    setenv("WATCHDOG_USEC", "200000", 1);
    ServiceNotifier notifier;
    EXPECT_EQ(notifier.watchdogInterval().count(), 200000);
    notifier.watch("the loop", [] { return true; });
    EXPECT_EQ(manager.next(), "");  // no pings before ready()
    notifier.ready("up");
    EXPECT_EQ(manager.next(), "READY=1\nSTATUS=up");
    EXPECT_EQ(manager.next(10000), "WATCHDOG=1");
    EXPECT_EQ(manager.next(10000), "WATCHDOG=1");
    notifier.stopping();
    std::string last;
    for (std::string m = manager.next(); !m.empty(); m = manager.next()) {
        last = m;
    }
    EXPECT_EQ(last, "STOPPING=1");
    EXPECT_EQ(manager.next(), "");  // stopping() has ended the pinger: nothing follows
}

}  // namespace
