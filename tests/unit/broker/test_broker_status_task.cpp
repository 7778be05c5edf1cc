// With a status listener configured, the gateway's descriptor goes to it periodically once
// the first state change was told, and a connection of the listener's host is announced.
// Its own process: the configuration is process-wide.

#include <gtest/gtest.h>

#include "BrokerHarness.h"
#include "support/TempFile.h"
#include "support/WaitFor.h"

TEST(BrokerStatusTask, DescriptorIsSentPeriodicallyAndTheClientsConnectionAnnounced) {
    const TempFile file(
        "[main]\ngwStatusChanged_DefaultURIListener = http://127.0.0.9:9/gw\n"
        "[RESTBroker]\nHelloMsgNotifyPeriod = 1\n");
    ASSERT_TRUE(ConfigurationRepository::instance(file.path())->load());
    BrokerHarness h;
    auto conn = h.server->request("POST", "/net/default/localnode/services/00/wsnconnection",
                                  "urilistener=http://127.0.0.9:9/c");
    auto posts = h.client->taken();
    ASSERT_EQ(posts.size(), 1u) << "the client's connection is announced";
    EXPECT_NE(posts[0].body.find("created"), std::string::npos) << posts[0].body;

    GwDescriptor starting;
    starting.setGwState(GW_STARTING);
    h.broker->gwStatusChanged_gwDescriptor_NtfCb(&starting, nullptr);
    EXPECT_EQ(h.client->taken().size(), 2u);
    waitFor(
        [&] {
            for (const auto& p : h.client->taken()) {
                posts.push_back(p);
            }
            return posts.size() >= 3;
        },
        std::chrono::seconds(30));
    ASSERT_EQ(posts.size(), 3u);
    EXPECT_EQ(posts[1].url, "http://127.0.0.9:9/gw");
    EXPECT_NE(posts[1].body.find("GWDescriptor"), std::string::npos) << posts[1].body;
}
