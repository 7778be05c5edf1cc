#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <tuple>
#include <vector>

#include "GWManagement.h"
#include "OrqZbIf.h"
#include "support/TestConfig.h"

// The adapter without a link: its listener registry and the confirms and indications it
// decodes and hands on, called as the reader thread would call them.
class OrqZbIfTest : public ::testing::Test {
  protected:
    TestConfig config{"[main]\nplatform = 1\n"};
    OrqZbIf zb{config.get()};
};

TEST(AgentErrorMessages, ValuesOutsideTheTableAreTheUnknownError) {
    const AgentErrorMessages* m = AgentErrorMessages::Instance();
    EXPECT_EQ(m->getRESTError(TIMER_EXPIRED), REST_TIMEOUT);
    for (int outside : {-1, static_cast<int>(AGENT_ERROR_COUNT)}) {
        const AgentError e = static_cast<AgentError>(outside);
        EXPECT_STREQ(m->getErrorMessage(e), "Unknown Agent error") << outside;
        EXPECT_EQ(m->getRESTError(e), REST_GENERIC_REST_ERROR) << outside;
    }
}

TEST_F(OrqZbIfTest, EachKeyTakesItsOwnRecordKindOnly) {
    ZbZdpResponseListener zdp([](const ZbZdpResponse&) {});
    ZbNodeDescListener nodeDesc([](uchar, ushort, ZB_NODE_DESC*) {});
    ZbDataIndicationListener data([](const ZbDataIndication&) {});
    ZbStateChangeListener state([](const ZbStateChange&) {});
    const std::pair<int, ZbListenerBase*> refused[] = {
        {ZB_EV_ZDO_NODE_DESC_CONFIRM, nullptr}, {ZB_EV_ZDO_NODE_DESC_CONFIRM, &zdp},
        {ZB_EV_APSDE_DATA_INDICATION, &state},  {ZB_EV_APSDE_DATA_INDICATION, &zdp},
        {ZB_EV_GW_STATUS_CHANGED, &data},       {ZB_EV_GW_STATUS_CHANGED, &zdp},
        {ZB_EV_MGMT_LEAVE_RESPONSE, &state},    {ZB_EV_ZDO_RESET_CONFIRM, &data}};
    for (const auto& r : refused) {
        EXPECT_EQ(zb.registerListener(r.first, r.second), -1) << r.first;
        EXPECT_EQ(zb.unregisterListener(r.first, r.second), -1) << r.first;  // not in the list
    }
    EXPECT_EQ(zb.registerListener(ZB_EV_ZDO_NODE_DESC_CONFIRM, &nodeDesc), 0);
    EXPECT_EQ(zb.registerListener(ZB_EV_ZDP_BIND_RESPONSE, &zdp), 0);
    EXPECT_EQ(zb.unregisterListener(ZB_EV_ZDO_POWER_DESC_CONFIRM, &zdp), -1);  // none there
    EXPECT_EQ(zb.unregisterListener(ZB_EV_ZDP_BIND_RESPONSE, &zdp), 0);
    EXPECT_EQ(zb.unregisterListener(ZB_EV_ZDP_BIND_RESPONSE, &zdp), -1);  // list empty now
}

TEST_F(OrqZbIfTest, AStatusOnlyResponseSaysWhichResponseItIs) {
    std::vector<std::pair<int, int>> seen;
    ZbZdpResponseListener l(
        [&](const ZbZdpResponse& r) { seen.emplace_back(r.response, r.status); });
    const int keys[] = {ZB_EV_MGMT_PERMIT_JOINING_RESPONSE, ZB_EV_ZDP_BIND_RESPONSE,
                        ZB_EV_ZDP_UNBIND_RESPONSE, ZB_EV_MGMT_LEAVE_RESPONSE};
    for (int k : keys) {
        ASSERT_EQ(zb.registerListener(k, &l), 0);
    }
    zb.MGMT_PERMIT_JOINING_response(0x01);
    zb.ZDP_BIND_response(0x02);
    zb.ZDP_UNBIND_response(0x03);
    zb.MGMT_LEAVE_response(0x04);
    EXPECT_EQ(seen, (std::vector<std::pair<int, int>>{{ZB_EV_MGMT_PERMIT_JOINING_RESPONSE, 1},
                                                      {ZB_EV_ZDP_BIND_RESPONSE, 2},
                                                      {ZB_EV_ZDP_UNBIND_RESPONSE, 3},
                                                      {ZB_EV_MGMT_LEAVE_RESPONSE, 4}}));
}

TEST_F(OrqZbIfTest, EveryListenerOfAKeyIsCalledInOrderWithTheArguments) {
    std::vector<int> order;
    ushort seenNwk = 0;
    ZB_NODE_DESC* seenDesc = nullptr;
    ZbNodeDescListener first([&](uchar status, ushort nwk, ZB_NODE_DESC* d) {
        order.push_back(1);
        EXPECT_EQ(status, 0x80);
        seenNwk = nwk;
        seenDesc = d;
    });
    ZbNodeDescListener second([&](uchar, ushort, ZB_NODE_DESC*) { order.push_back(2); });
    zb.registerListener(ZB_EV_ZDO_NODE_DESC_CONFIRM, &first);
    zb.registerListener(ZB_EV_ZDO_NODE_DESC_CONFIRM, &second);
    ZB_NODE_DESC nd{};
    zb.ZDO_NODE_DESC_confirm(0x80, 0x1234, &nd);
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_EQ(seenNwk, 0x1234);
    EXPECT_EQ(seenDesc, &nd);
    // Another key's confirm reaches neither.
    zb.ZDO_POWER_DESC_confirm(0, 0x1234, nullptr);
    EXPECT_EQ(order.size(), 2u);
}

TEST_F(OrqZbIfTest, AListenerRemovedDuringADispatchIsNotCalled) {
    int secondCalls = 0;
    ZbZdpResponseListener second([&](const ZbZdpResponse&) { ++secondCalls; });
    ZbZdpResponseListener first(
        [&](const ZbZdpResponse&) { zb.unregisterListener(ZB_EV_MGMT_LEAVE_RESPONSE, &second); });
    zb.registerListener(ZB_EV_MGMT_LEAVE_RESPONSE, &first);
    zb.registerListener(ZB_EV_MGMT_LEAVE_RESPONSE, &second);
    zb.MGMT_LEAVE_response(0);
    EXPECT_EQ(secondCalls, 0);
    // A listener may remove itself while being called.
    int selfCalls = 0;
    ZbZdpResponseListener self([&](const ZbZdpResponse&) {});
    self.fn = [&](const ZbZdpResponse&) {
        ++selfCalls;
        zb.unregisterListener(ZB_EV_ZDP_UNBIND_RESPONSE, &self);
    };
    zb.registerListener(ZB_EV_ZDP_UNBIND_RESPONSE, &self);
    zb.ZDP_UNBIND_response(0);
    zb.ZDP_UNBIND_response(0);
    EXPECT_EQ(selfCalls, 1);
}

TEST_F(OrqZbIfTest, RegistryIsSafeAgainstConcurrentRegistrationAndDispatch) {
    std::atomic<int> calls{0};
    std::atomic<bool> stop{false};
    ZbZdpResponseListener fixed([&](const ZbZdpResponse&) { ++calls; });
    zb.registerListener(ZB_EV_ZDP_BIND_RESPONSE, &fixed);
    std::thread dispatcher([&] {
        while (!stop) {
            zb.ZDP_BIND_response(0);
        }
    });
    std::vector<std::thread> registrars;
    for (int t = 0; t < 2; ++t) {
        registrars.emplace_back([&] {
            for (int i = 0; i < 500; ++i) {
                ZbZdpResponseListener l([](const ZbZdpResponse&) {});
                zb.registerListener(ZB_EV_ZDP_BIND_RESPONSE, &l);
                zb.unregisterListener(ZB_EV_ZDP_BIND_RESPONSE, &l);
            }
        });
    }
    for (auto& r : registrars) {
        r.join();
    }
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (calls.load() == 0 && std::chrono::steady_clock::now() < end) {
        std::this_thread::yield();
    }
    stop = true;
    dispatcher.join();
    EXPECT_GT(calls.load(), 0);
}

TEST_F(OrqZbIfTest, StatusChangesReachTheStatusEvent) {
    std::vector<std::tuple<int, int, int>> seen;
    ZbStateChangeListener l(
        [&](const ZbStateChange& c) { seen.emplace_back(c.status, c.error, c.extra); });
    zb.registerListener(ZB_EV_GW_STATUS_CHANGED, &l);
    zb.setGWStatus(GW_STARTING, 0);
    zb.ZIGBEE_STACK_STATUS_indication(EMBER_NETWORK_UP);
    zb.ZIGBEE_STACK_STATUS_indication(EMBER_NETWORK_DOWN);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1], std::make_tuple(GW_ERROR, static_cast<int>(GW_NETWORK_DOWN), 0));
    EXPECT_EQ(zb.getGWStatus(), GW_ERROR);
}

TEST_F(OrqZbIfTest, NeighbourTableIsDecodedWithinItsLength) {
    std::vector<uchar> data = {0, 0x00, 5, 0, 2};
    auto addEntry = [&](ushort nwk, uchar lqi) {
        for (int i = 0; i < 8; ++i) {
            data.push_back(static_cast<uchar>(0xE0 + i));  // extended PAN id, wire order
        }
        for (int i = 0; i < 8; ++i) {
            data.push_back(static_cast<uchar>(i == 0 ? nwk & 0xFF : 0x10 + i));  // IEEE
        }
        data.push_back(static_cast<uchar>(nwk & 0xFF));
        data.push_back(static_cast<uchar>(nwk >> 8));
        data.push_back(0x25);
        data.push_back(0x02);
        data.push_back(1);
        data.push_back(lqi);
    };
    addEntry(0x1001, 200);
    addEntry(0x2002, 150);
    data[0] = static_cast<uchar>(data.size() - 1);
    std::vector<ZB_NEIGHBOR_TABLE_LIST> got;
    uchar gotStatus = 0xFF, gotTotal = 0, gotCount = 0;
    uchar src[2] = {0x01, 0x10};
    ZbMgmtLqiListener l([&](uchar mode, uchar* s, uchar status, uchar total, uchar, uchar count,
                            ZB_NEIGHBOR_TABLE_LIST* list) {
        EXPECT_EQ(mode, 2);
        EXPECT_EQ(s, src);
        gotStatus = status;
        gotTotal = total;
        gotCount = count;
        got.assign(list, list + count);
    });
    zb.registerListener(ZB_EV_ZB_MGMT_LQI_RESPONSE, &l);
    zb.ZB_MGMT_LQI_response(2, src, data.data());
    EXPECT_EQ(gotStatus, 0);
    EXPECT_EQ(gotTotal, 5);
    ASSERT_EQ(gotCount, 2);
    EXPECT_EQ(got[0].NetworkAddress, 0x1001);
    EXPECT_EQ(got[1].NetworkAddress, 0x2002);
    EXPECT_EQ(got[1].LQI, 150);
    EXPECT_EQ(got[0].devTypeRxOnRelation, 0x25);
    EXPECT_EQ(got[0].Depth, 1);
    EXPECT_EQ(got[0].ExtendedPANId[0], 0xE7);  // byte-reversed
    EXPECT_EQ(got[0].ExtendedAddress[7], 0x01);
    EXPECT_EQ(got[0].ExtendedAddress[0], 0x17);

    // A count larger than the bytes that follow: only whole entries are decoded.
    data[4] = 9;
    data[0] = static_cast<uchar>(4 + 22 + 10);
    zb.ZB_MGMT_LQI_response(2, src, data.data());
    EXPECT_EQ(gotCount, 1);

    // The last page of a table, past its end: its header with no entry.
    data = {4, 0x00, 5, 5, 0};
    zb.ZB_MGMT_LQI_response(2, src, data.data());
    EXPECT_EQ(std::make_tuple(gotStatus, gotTotal, gotCount), std::make_tuple(0, 5, 0));

    // An error answer with its status alone reports that status and no entries.
    data = {1, 0x84};
    zb.ZB_MGMT_LQI_response(2, src, data.data());
    EXPECT_EQ(gotStatus, 0x84);
    EXPECT_EQ(gotCount, 0);
}

TEST_F(OrqZbIfTest, AnnouncementsAndDataAreHandedOnOnlyWhileRunning) {
    uchar ieee[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    zb.ZDO_DEVICE_ANNCE_indication(0x4444, ieee, 0x8E);
    EXPECT_EQ(zb.getDb()->findNodeByNwkAddr(0x4444), nullptr);  // not running: dropped
    zb.setGWStatus(GW_RUNNING, 0);
    zb.ZDO_DEVICE_ANNCE_indication(0x4444, ieee, 0x8E);  // no listener: straight to the database
    Node* n = zb.getDb()->findNodeByNwkAddr(0x4444);
    ASSERT_NE(n, nullptr);
    EXPECT_TRUE(n->node_desc.receiveronwhenidle);

    Node* root = new Node(0x0000);
    zb.getDb()->setRoot(root);
    std::vector<uchar> dst;
    uchar dstMode = 0;
    ZbDataIndicationListener data([&](const ZbDataIndication& ind) {
        dstMode = ind.dstAddrMode;
        dst.assign(ind.dstAddr, ind.dstAddr + 2);
        EXPECT_EQ(ind.clusterId, 0x0006);
        EXPECT_EQ(ind.payloadLength, 3);
    });
    zb.registerListener(ZB_EV_APSDE_DATA_INDICATION, &data);
    n->setKANodeTimer(5);
    uchar received[2] = {0xFF, 0xFF};
    uchar src[2] = {0x44, 0x44};
    uchar payload[3] = {1, 2, 3};
    zb.APSDE_DATA_indication(3, received, 8, 2, src, 1, 0x0104, 0x0006, 3, payload, 0, 0);
    EXPECT_EQ(dstMode, 2);
    EXPECT_EQ(dst, (std::vector<uchar>{0x00, 0x00}));  // the root's address
    EXPECT_GT(n->getKANodeTimer(), 5);                 // the sender was heard

    // Heard under its IEEE address too; an address mode that is neither changes nothing.
    n->setKANodeTimer(5);
    zb.manageNodeTimeouts(3, ieee);
    EXPECT_GT(n->getKANodeTimer(), 5);
    n->setKANodeTimer(5);
    zb.manageNodeTimeouts(7, src);
    EXPECT_EQ(n->getKANodeTimer(), 5);
    uchar unknown[2] = {0x99, 0x99};
    zb.manageNodeTimeouts(2, unknown);
    EXPECT_EQ(zb.getDb()->findNodeByNwkAddr(0x9999), nullptr);

    zb.MGMT_LEAVE_confirm(ieee, 0);
    EXPECT_EQ(n->getKANodeTimer(), KA_UNKNOWN_TO_NETWORK);
}

TEST_F(OrqZbIfTest, OlderPlatformIsRefusedAndWritesNothing) {
    TestConfig old("[main]\nplatform = 0\n");
    OrqZbIf adapter(old.get());
    adapter.LoadConfig(old.path.c_str());
    adapter.APSME_SET_confirm(0, ZB_ATTR_CONFIG_NODE_DESCRIPTOR);
    EXPECT_TRUE(adapter.getAttributeTrace().empty());
    // The supported platform goes on with the PAN id.
    zb.LoadConfig(config.path.c_str());
    zb.APSME_SET_confirm(0, ZB_ATTR_CONFIG_NODE_DESCRIPTOR);
    EXPECT_EQ(zb.getAttributeTrace(), std::vector<uchar>{ZB_ATTR_CONFIG_PANID});
    // An error status ends the chain.
    zb.APSME_SET_confirm(0xC1, ZB_ATTR_CONFIG_PANID);
    EXPECT_EQ(zb.getAttributeTrace().size(), 1u);
}
