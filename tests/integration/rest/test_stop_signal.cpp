// SIGTERM ends the poll loop, so the process's orderly stop can run on the main thread.
// In its own executable: once raised, the stop signal stays pending for the process.

#include <gtest/gtest.h>

#include <csignal>
#include <thread>

#include "CHTTPServer.h"
#include "RestTestSupport.h"
#include "StopSignal.h"

using namespace resttest;

TEST(HttpServerStop, SigtermEndsThePollLoop) {
    ASSERT_TRUE(StopSignal::install());
    HTTPServer server;
    ASSERT_EQ(0, server.setOption("ports", "127.0.0.1:0"));
    std::atomic<bool> returned{false};
    std::thread loop([&] {
        server.start();
        returned = true;
    });
    ASSERT_EQ(0, kill(getpid(), SIGTERM));
    EXPECT_TRUE(waitFor([&] { return returned.load(); }));
    if (!returned) {
        server.requestStop();
    }
    loop.join();
    EXPECT_TRUE(StopSignal::pending());
}
