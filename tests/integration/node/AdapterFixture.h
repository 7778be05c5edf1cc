#ifndef ORQ_TESTS_NODE_ADAPTERFIXTURE_H
#define ORQ_TESTS_NODE_ADAPTERFIXTURE_H

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "CLocalNode.h"
#include "ModulePeer.h"
#include "OrqZbIf.h"
#include "support/TestConfig.h"
#include "support/WaitFor.h"

// The configuration every link test starts from; tests append their own keys.
inline std::string baseConfig(const std::string& extraMain = "", const std::string& extraSas = "",
                              const std::string& extraSections = "") {
    return "[main]\nplatform = 1\n" + extraMain +
           "\n[DefaultStartupAttributeSet]\nDeviceType = 1\nChannelMask = 20\nPANId = 0x2B3C\n"
           "ExtendedPanId = 0x00 0x12 0x4B 0x00 0x00 0x00 0x00 0xA1\nSecurityLevel = 0\n" +
           extraSas + "\n" + extraSections;
}

inline std::array<uint8_t, 8> bigEndian(uint64_t v) {
    std::array<uint8_t, 8> b{};
    for (int i = 0; i < 8; ++i) {
        b[i] = static_cast<uint8_t>(v >> (8 * (7 - i)));
    }
    return b;
}

// An adapter connected over a pseudo-terminal to the emulator's module, with the default
// start-up attribute set, key table and one local service loaded from a test configuration.
class AdapterLinkTest : public ::testing::Test {
  protected:
    struct Event {
        int state;
        int error;
        int extra;
    };

    void connect(const std::string& configText) {
        std::string err;
        ASSERT_TRUE(peer.open(ORQ_NODE_TEST_NETWORK, err)) << err;
        config = std::make_unique<TestConfig>(configText);
        ASSERT_TRUE(config->loaded);
        zb = std::make_unique<OrqZbIf>(config->get());
        zb->setExitHandler([this](int status) {
            std::lock_guard<std::mutex> lock(m);
            exitStatus = status;
        });
        zb->init();
        zb->LoadConfig(config->path.c_str());
        StartupAttributeInfo set;
        ASSERT_TRUE(readDefaultStartupAttributeSet(config->get(), nullptr, &set));
        zb->getDb()->setStartupAttributeInfo(0, &set);
        readTCKeyTable(config->get(), nullptr, zb->getDb());
        ZbNetDb::createDefaultSimpleDescr(8, &service);
        zb->getDb()->setServicesSD(&service);
        zb->registerListener(ZB_EV_GW_STATUS_CHANGED, &statusListener);
        ASSERT_EQ(zb->ZbIfConnect_W(peer.deviceUrl().c_str()), GW_ZNP_INITIALIZED);
    }

    void TearDown() override {
        if (zb) {
            zb->ZbIfDisconnect_W();
            zb.reset();
        }
        peer.stop();
    }

    bool waitForState(int state) {
        return waitFor([&] { return zb->getGWStatus() == state; });
    }
    bool sawEvent(int state, int error, int extra = -1) {
        std::lock_guard<std::mutex> lock(m);
        for (const Event& e : events) {
            if (e.state == state && e.error == error && (extra < 0 || e.extra == extra)) {
                return true;
            }
        }
        return false;
    }
    int exitCalledWith() {
        std::lock_guard<std::mutex> lock(m);
        return exitStatus;
    }

    ModulePeer peer;
    std::unique_ptr<TestConfig> config;
    SimpleDescriptor service;
    std::mutex m;
    std::vector<Event> events;
    int exitStatus = -1;
    ZbStateChangeListener statusListener{[this](const ZbStateChange& c) {
        std::lock_guard<std::mutex> lock(m);
        events.push_back(Event{c.status, c.error, c.extra});
    }};
    std::unique_ptr<OrqZbIf> zb;
};

// A local node, as the process builds it, on an adapter linked to the emulator's module that
// runs `network`, with one local service; `h` hears its answers.
template <class Handler>
class LinkedNodeTest : public ::testing::Test {
  protected:
    void link(const char* network, const std::string& configText) {
        std::string err;
        ASSERT_TRUE(peer.open(network, err)) << err;
        config = std::make_unique<TestConfig>(configText);
        ASSERT_TRUE(config->loaded);
        zb = std::make_unique<OrqZbIf>(config->get());
        node = std::make_unique<LocalNode<Handler>>(zb.get(), config->get());
        node->setExitHandler([this](int s) {
            std::lock_guard<std::mutex> lock(m);
            exits.push_back(s);
        });
        node->init(peer.deviceUrl().c_str());
        ASSERT_EQ(zb->getGWStatus(), GW_ZNP_INITIALIZED);
        ZbNetDb::createDefaultSimpleDescr(8, &service);
        zb->getDb()->setServicesSD(&service);
    }
    // What goes with the node, once it has stopped.
    virtual void dropAgents() {}
    void TearDown() override {
        if (node) {
            node->stop();
        }
        dropAgents();
        node.reset();
        zb.reset();
        peer.stop();
    }

    ModulePeer peer;
    std::unique_ptr<TestConfig> config;
    SimpleDescriptor service;
    Handler h;
    std::mutex m;
    std::vector<int> exits;
    std::unique_ptr<OrqZbIf> zb;
    std::unique_ptr<LocalNode<Handler>> node;
};

#endif
