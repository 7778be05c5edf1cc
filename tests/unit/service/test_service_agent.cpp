#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "../../integration/node/TestConfig.h"
#include "ServiceRecorder.h"
#include "support/WaitFor.h"

using SA = ServiceRecorder::SA;

namespace {

std::unique_ptr<Message> messageFrom(int srcEp, uint16_t cluster, uint16_t srcNwk) {
    ReceivedFrame f;
    f.srcEp = static_cast<uint8_t>(srcEp);
    f.clusterId = cluster;
    f.srcNwkAddr = srcNwk;
    return buildRecord(f);
}

Callback callbackOf(const char* group, int nwk = -1, int dstEp = -1, int id = 1) {
    Callback cb;
    cb.internalId = id;
    if (group != nullptr) {
        cb.filter.messageSpec.isDefined = true;
        cb.filter.messageSpec.isAPSClusterGroupDefined = true;
        cb.filter.messageSpec.APSClusterGroup = group;
    }
    if (nwk >= 0 || dstEp >= 0) {
        cb.filter.addressSpec.isDefined = true;
        cb.filter.addressSpec.isNWKSourceAddressDefined = nwk >= 0;
        cb.filter.addressSpec.NWKSourceAddress = static_cast<uint16_t>(nwk);
        cb.filter.addressSpec.isAPSDestinationEndpointDefined = dstEp >= 0;
        cb.filter.addressSpec.APSDestinationEndpoint = dstEp;
    }
    return cb;
}

TEST(ServiceMatcherTest, GroupsAndSourceAddressDecideTheMatch) {
    struct Case {
        const char* group;
        int nwk;
        int srcEp;
        uint16_t cluster;
        bool match;
    } cases[] = {
        {nullptr, -1, 1, 0x0006, true},     {"ZDP", -1, 0, 0x8031, true},
        {"ZDP", -1, 1, 0x0006, false},      {"ZCL", -1, 0, 0x0006, false},
        {"ZCL", -1, 1, 0x0006, true},       {"Discovery", -1, 0, 0x8005, true},
        {"Discovery", -1, 0, 0x8031, false}, {"Discovery", -1, 1, 0x8005, false},
        {"Other", -1, 0, 0x8031, true},     {nullptr, 0xFFFF, 1, 6, true},
        {nullptr, 0x1101, 1, 6, true},      {nullptr, 0x1102, 1, 6, false},
        {"ZCL", 0x1101, 0, 6, false},
    };
    for (const Case& c : cases) {
        auto msg = messageFrom(c.srcEp, c.cluster, 0x1101);
        EXPECT_EQ(callbackMatches(callbackOf(c.group, c.nwk), *msg), c.match)
            << (c.group ? c.group : "-") << " nwk " << c.nwk << " ep " << c.srcEp << " cluster "
            << c.cluster;
    }
    EXPECT_TRUE(isDiscoveryCluster(0x0013));
    EXPECT_TRUE(isDiscoveryCluster(0x801E));
    EXPECT_FALSE(isDiscoveryCluster(0x8012));
}

TEST(ServiceMatcherTest, MatchDescriptorAnswersTheEndPointsWithAClusterInCommon) {
    SimpleDescriptor a, b, c;
    a.end_point = 9;
    a.profile_id = 0x0104;
    a.input_cluster = {0x0006};
    b.end_point = 5;
    b.profile_id = 0x0104;
    b.input_cluster = {0x0000, 0x0006};
    c.end_point = 7;
    c.profile_id = 0xA1E0;
    c.input_cluster = {0x0006};
    c.output_cluster = {0x0300};
    std::vector<const SimpleDescriptor*> services = {&a, &b, &c};
    const uint16_t on = 0x0006, color = 0x0300;
    EXPECT_EQ(matchDescriptorEndpoints(services, 0x0104, &on, 1, nullptr, 0),
              (std::vector<int>{5, 9}));
    EXPECT_EQ(matchDescriptorEndpoints(services, 0xA1E0, nullptr, 0, &color, 1),
              (std::vector<int>{7}));
    EXPECT_TRUE(matchDescriptorEndpoints(services, 0x0104, &color, 1, nullptr, 0).empty());
    EXPECT_TRUE(matchDescriptorEndpoints(services, 0x0104, nullptr, 0, nullptr, 0).empty());
}

TEST(ServiceDataTest, DestinationOfADataRequest) {
    ZbNetDb db;
    const uint8_t ieee[8] = {0x00, 0x12, 0x4B, 0, 0, 0, 0x11, 0x01};
    db.nodeAnnounce(0x1101, ieee, 0x8E);
    const uint8_t unknownIeee[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const uint8_t nwk[2] = {0x11, 0x01};
    struct Case {
        uint8_t mode;
        const uint8_t* addr;
        int payload;
        int rc;
        uint8_t sentMode;
        std::vector<uint8_t> sent;
        bool known;
    } cases[] = {
        {2, nwk, 3, AGENT_SUCCESS, 2, {0x01, 0x11}, true},
        {3, ieee, 232, AGENT_SUCCESS, 2, {0x01, 0x11}, true},
        {3, unknownIeee, 0, AGENT_SUCCESS, 3, {8, 7, 6, 5, 4, 3, 2, 1}, false},
        {2, nwk, 233, SENDING_MSG_ERROR, 0, {}, false},
        {2, nwk, 300, SENDING_MSG_ERROR, 0, {}, false},
        {0, nullptr, 3, SENDING_MSG_ERROR, 0, {}, false},
        {1, nwk, 3, SENDING_MSG_ERROR, 0, {}, false},
        {Message::NOT_SET, nullptr, 3, SENDING_MSG_ERROR, 0, {}, false},
    };
    for (const Case& c : cases) {
        Message msg;
        msg.setDstAddrMode(c.mode);
        if (c.addr != nullptr) {
            msg.setDstAddr(c.addr);
        }
        std::vector<uint8_t> payload(c.payload, 0xAB);
        msg.setPayload(payload.data(), static_cast<uint16_t>(payload.size()));
        DataDestination d;
        ASSERT_EQ(resolveDataDestination(msg, &db, &d), c.rc) << int(c.mode) << " " << c.payload;
        if (c.rc != AGENT_SUCCESS) {
            continue;
        }
        EXPECT_EQ(d.mode, c.sentMode);
        EXPECT_EQ(std::vector<uint8_t>(d.addr, d.addr + c.sent.size()), c.sent);
        EXPECT_EQ(d.known, c.known);
        int len = 0;
        EXPECT_EQ(std::memcmp(msg.getDstAddr(&len), c.addr, len), 0) << "the record is kept";
    }
}

TEST(ServiceDataTest, CacheKeepsTheTenNewestOldestFirst) {
    MessageCache cache(10);
    for (int i = 0; i < 11; ++i) {
        auto m = std::make_unique<Message>();
        m->setMsgId(i);
        EXPECT_EQ(cache.store(8, std::move(m)), i == 10);
    }
    EXPECT_EQ(cache.size(8), 10u);
    EXPECT_EQ(cache.size(9), 0u);
    size_t left = 0;
    EXPECT_EQ(cache.takeOldest(8, &left)->getMsgId(), 1);
    EXPECT_EQ(left, 9u);
    EXPECT_EQ(cache.takeOldest(9), nullptr);
}

// An agent on an adapter with no link: requests go nowhere, confirms and indications are
// handed to the agent by the test.
class ServiceAgentTest : public ::testing::Test {
  protected:
    void SetUp() override {
        config = std::make_unique<TestConfig>("[main]\nautoDiscoveryUnknownNodes = 0\n");
        zb = std::make_unique<OrqZbIf>(config->get());
        zb->init();
        agent = std::make_unique<SA>(zb.get(), config->get(), &clock);
        agent->init();
    }
    void TearDown() override {
        agent.reset();
        zb.reset();
    }
    void add(int ep) {
        SimpleDescriptor sd;
        ZbNetDb::createDefaultSimpleDescr(ep, &sd);
        ASSERT_EQ(agent->addService(&sd, nullptr), AGENT_SUCCESS) << ep;
    }
    void run() { zb->setGWStatus(GW_RUNNING, 0); }
    void announce(uint16_t nwk, uint8_t last) {
        const uint8_t ieee[8] = {0x00, 0x12, 0x4B, 0, 0, 0, 0x11, last};
        zb->getDb()->nodeAnnounce(nwk, ieee, 0x8E);
    }
    // A data indication as the adapter hands it over: destination mode 2 (the module's
    // address), source mode 2.
    void receive(int dstEp, uint16_t src = 0x1101, uint16_t cluster = 0x0006, int srcEp = 1,
                 uint16_t profile = 0x0104) {
        uint8_t dst[2] = {0, 0};
        uint8_t srcAddr[2] = {static_cast<uint8_t>(src & 0xFF), static_cast<uint8_t>(src >> 8)};
        uint8_t asdu[3] = {0x18, 0x01, 0x0B};
        agent->messageReceived_Cb(2, dst, static_cast<uint8_t>(dstEp), 2, srcAddr,
                                  static_cast<uint8_t>(srcEp), profile, cluster, 3, asdu, 0, 0);
    }
    void connect(int ep) {
        auto ctx = rec.connection();
        ASSERT_EQ(agent->createCallback(ep, &ctx), AGENT_SUCCESS);
    }
    std::vector<int> notified(const std::string& op = "callback_NtfCb") {
        std::vector<int> ids;
        for (const auto& c : rec.named(op)) {
            ids.push_back(c.id);
        }
        return ids;
    }

    ManualTimerClock clock;
    std::unique_ptr<TestConfig> config;
    std::unique_ptr<OrqZbIf> zb;
    std::unique_ptr<SA> agent;
    ServiceRecorder rec;
};

TEST_F(ServiceAgentTest, AddServiceAllocatesAndRefuses) {
    add(1);
    add(2);
    auto ctx = rec.service(4);
    SimpleDescriptor sd;
    ZbNetDb::createDefaultSimpleDescr(0, &sd);
    EXPECT_EQ(agent->addService(&sd, &ctx), AGENT_SUCCESS);
    EXPECT_EQ(rec.named("service_RspCb").at(0).id, 3);
    EXPECT_EQ(rec.named("service_RspCb").at(0).session, 4);
    EXPECT_TRUE(agent->isEndpointAvailable(3));
    for (int ep : {2, 241, 255, ALL_ENDPOINTS}) {
        sd.end_point = ep;
        EXPECT_EQ(agent->addService(&sd, &ctx), NO_AVAILABLE_ENDPOINT) << ep;
    }
    EXPECT_EQ(rec.named("service_RspCb").back().error, NO_AVAILABLE_ENDPOINT);
    // The database lists the local services the start-up registers with the module.
    int inDb = 0;
    for (SimpleDescriptor* s = zb->getDb()->getFirstServicesSD(); s != nullptr;
         s = zb->getDb()->getNextServicesSD(s)) {
        ++inDb;
    }
    EXPECT_EQ(inDb, 3);
    EXPECT_EQ(agent->removeService(2), 0);
    EXPECT_EQ(agent->removeService(2), -2);
    EXPECT_EQ(agent->removeService(ALL_ENDPOINTS), -2);
    int eps[241];
    ASSERT_EQ(agent->getCurrentServices(eps), 3);
    EXPECT_EQ(std::vector<int>(eps, eps + 3), (std::vector<int>{0, 1, 3}));
    run();
    sd.end_point = 9;
    EXPECT_EQ(agent->addService(&sd, &ctx), ORQ_NOT_RUNNING);
    EXPECT_EQ(rec.named("service_RspCb").back().error, INVALID_GW_STATUS);
    EXPECT_EQ(agent->removeService(1), -1);
}

TEST_F(ServiceAgentTest, TheTableHoldsEndPointZeroAnd239Services) {
    connect(ALL_ENDPOINTS);  // the pseudo entry does not count
    SimpleDescriptor sd;
    ZbNetDb::createDefaultSimpleDescr(0, &sd);
    for (int i = 1; i <= 239; ++i) {
        ASSERT_EQ(agent->addService(&sd, nullptr), AGENT_SUCCESS) << i;
    }
    EXPECT_EQ(agent->addService(&sd, nullptr), NO_AVAILABLE_ENDPOINT);
    agent->removeService(17);
    EXPECT_EQ(agent->addService(&sd, nullptr), AGENT_SUCCESS);
    EXPECT_TRUE(agent->isEndpointAvailable(17));
}

TEST_F(ServiceAgentTest, ConnectionsCacheAndNotify) {
    add(8);
    add(3);
    add(5);
    run();
    announce(0x1101, 1);
    receive(8);  // nobody listens: dropped, nothing cached
    EXPECT_EQ(agent->cachedMessages(8), 0u);
    connect(8);
    for (int i = 0; i < 11; ++i) {
        receive(8);
    }
    auto n = rec.named("callback_NtfCb");
    ASSERT_EQ(n.size(), 11u);
    EXPECT_EQ(n[0].id, 8);
    EXPECT_EQ(n[0].srcNwk, 0x1101);
    EXPECT_EQ(n[0].srcAddr, (std::vector<uint8_t>{0x00, 0x12, 0x4B, 0, 0, 0, 0x11, 1}));
    EXPECT_EQ(n[0].payload, (std::vector<uint8_t>{0x18, 0x01, 0x0B}));
    EXPECT_EQ(n[10].msgId, n[0].msgId + 10);
    EXPECT_EQ(agent->cachedMessages(8), 10u);
    SA::LastRxMsgCtxt read(6, &rec, &ServiceRecorder::lastRxMsg_RspCb, nullptr);
    EXPECT_EQ(agent->getLastRxMsg(8, &read), AGENT_SUCCESS);
    EXPECT_EQ(rec.named("lastRxMsg_RspCb").at(0).msgId, n[1].msgId) << "the first was pushed out";
    EXPECT_EQ(agent->getLastRxMsg(5, &read), MSG_CACHE_EMPTY);
    EXPECT_EQ(rec.named("lastRxMsg_RspCb").at(1).error, MSG_CACHE_EMPTY);

    // Broadcast: every connected end point in ascending order, nothing cached.
    connect(3);
    rec.clear();
    receive(BROADCAST_ENDPOINT);
    EXPECT_EQ(notified(), (std::vector<int>{3, 8}));
    EXPECT_EQ(agent->cachedMessages(3), 0u);
    // Unregistered end point and unknown sender: discarded.
    rec.clear();
    receive(9);
    receive(8, 0x7777);
    EXPECT_EQ(rec.count("callback_NtfCb"), 0u);
    // A sender using IEEE source addressing.
    const uint8_t ieee[8] = {0x00, 0x12, 0x4B, 0, 0, 0, 0x11, 1};
    uint8_t dst[2] = {0, 0};
    uint8_t asdu[1] = {0};
    agent->messageReceived_Cb(2, dst, 8, 3, const_cast<uint8_t*>(ieee), 1, 0x104, 6, 1, asdu, 0,
                              0);
    ASSERT_EQ(rec.count("callback_NtfCb"), 1u);
    EXPECT_EQ(rec.named("callback_NtfCb")[0].srcNwk, 0x1101);
    // Deleting the connection: nothing more is notified.
    auto del = rec.deletion(7);
    EXPECT_EQ(agent->deleteCallback(8, &del), AGENT_SUCCESS);
    EXPECT_EQ(agent->deleteCallback(8, &del), NO_ACTIVE_WSN_CONNECTIONS);
    EXPECT_EQ(agent->deleteCallback(9, &del), ENDPOINT_NOT_REGISTERED);
    rec.clear();
    receive(8);
    EXPECT_EQ(rec.count("callback_NtfCb"), 0u);
}

TEST_F(ServiceAgentTest, AllEndpointsConnectionCachesUnder256WithTheRealEndPoint) {
    add(8);
    run();
    announce(0x1101, 1);
    connect(ALL_ENDPOINTS);
    receive(8);
    ASSERT_EQ(rec.count("callback_NtfCb"), 1u);
    EXPECT_EQ(rec.named("callback_NtfCb")[0].id, 8);
    EXPECT_EQ(agent->cachedMessages(ALL_ENDPOINTS), 1u);
    EXPECT_EQ(agent->cachedMessages(8), 0u);
    receive(BROADCAST_ENDPOINT);
    EXPECT_EQ(rec.named("callback_NtfCb").back().id, BROADCAST_ENDPOINT);
    EXPECT_EQ(agent->cachedMessages(ALL_ENDPOINTS), 1u);
}

TEST_F(ServiceAgentTest, MessageIdsWrap) {
    add(8);
    run();
    announce(0x1101, 1);
    connect(8);
    agent->setMsgIdCounter(0x7ffffffe);
    receive(8);
    receive(8);
    receive(8);
    auto n = rec.named("callback_NtfCb");
    ASSERT_EQ(n.size(), 3u);
    EXPECT_EQ(n[0].msgId, 0x7ffffffe);
    EXPECT_EQ(n[1].msgId, 0);
    EXPECT_EQ(n[2].msgId, 1);
}

TEST_F(ServiceAgentTest, FilteredCallbacksStoredMatchedAndDeleted) {
    add(8);
    run();
    announce(0x1101, 1);
    auto ctx = rec.connection(2);
    Callback onEp7 = callbackOf(nullptr, -1, 7, 70);
    EXPECT_EQ(agent->createCallback(&onEp7, &ctx), ENDPOINT_NOT_REGISTERED);
    EXPECT_EQ(agent->createCallback(static_cast<Callback*>(nullptr), &ctx), AGENT_ERROR);
    Callback zcl = callbackOf("ZCL", -1, 8, 11);
    Callback any = callbackOf(nullptr, 0xFFFF, 8, 12);
    Callback other = callbackOf(nullptr, 0x2222, 8, 13);
    Callback everywhere = callbackOf("ZDP", -1, -1, 14);
    for (Callback* cb : {&zcl, &any, &other, &everywhere}) {
        ASSERT_EQ(agent->createCallback(cb, &ctx), AGENT_SUCCESS);
    }
    EXPECT_EQ(rec.named("callback_RspCb").back().id, ALL_ENDPOINTS);
    receive(8);
    EXPECT_EQ(notified(), (std::vector<int>{11, 12})) << "two matches, in registration order";
    rec.clear();
    receive(8, 0x1101, 0x8031, 0, 0);  // from the device object: only the ZDP callback
    EXPECT_EQ(notified(), (std::vector<int>{12, 14}));

    auto del = rec.deletion(3);
    EXPECT_EQ(agent->deleteCustomizedCallback(14, &del), AGENT_SUCCESS);
    EXPECT_EQ(rec.named("callback_RspCb").back().id, ALL_ENDPOINTS);
    EXPECT_EQ(agent->deleteCustomizedCallback(14, &del), 1);
    EXPECT_EQ(rec.named("callback_RspCb").back().error, NO_CUSTOMIZED_FILTER_FOUND);
    for (int id : {11, 12, 13}) {
        EXPECT_EQ(agent->deleteCustomizedCallback(id, &del), AGENT_SUCCESS);
    }
    rec.clear();
    receive(8);
    EXPECT_EQ(rec.count("callback_NtfCb"), 0u);
}

// A notification runs with the agent's lock held; a call back into the agent from inside it
// is refused at once while other threads use the agent normally.
TEST_F(ServiceAgentTest, ACallbackCannotCallBackIntoTheAgent) {
    add(8);
    add(9);
    run();
    announce(0x1101, 1);
    connect(8);
    std::atomic<int> refusals{0};
    rec.onNotify = [&](int, Message* msg) {
        auto ctx = rec.connection();
        unsigned char status = 0;
        unsigned int t = 0;
        if (agent->createCallback(9, &ctx) == AGENT_BUSY && agent->send(msg, status, t) == AGENT_BUSY &&
            agent->removeService(9) == -1 && agent->isEndpointAvailable(8)) {
            ++refusals;
        }
    };
    std::thread reader([&] {
        for (int i = 0; i < 50; ++i) {
            receive(8);
        }
    });
    auto ctx = rec.connection();
    auto del = rec.deletion();
    for (int i = 0; i < 50; ++i) {
        agent->createCallback(9, &ctx);
        agent->deleteCallback(9, &del);
    }
    reader.join();
    EXPECT_EQ(refusals.load(), 50);
}

TEST_F(ServiceAgentTest, RemoteRequestsRefuseAndTimeOut) {
    SA::ActiveEndpointsCtxt ep(5, &rec, &ServiceRecorder::activeEp_RspCb, nullptr);
    SA::ServiceDescriptorCtxt sd(5, &rec, &ServiceRecorder::serviceDesc_RspCb,
                                 &ServiceRecorder::serviceDesc_NtfCb);
    EXPECT_EQ(agent->getActiveEndPoints(2500, 0x1101, &ep), ORQ_NOT_RUNNING);
    EXPECT_EQ(agent->getServiceDescriptor(2500, 0x1101, 1, &sd), ORQ_NOT_RUNNING);
    EXPECT_EQ(rec.named("serviceDesc_RspCb").at(0).id, -2);
    run();
    EXPECT_EQ(agent->getActiveEndPoints(2500, 0x1101, &ep), AGENT_SUCCESS);
    EXPECT_EQ(agent->getTimeoutSeconds(FEATURE_ACTIVE_EP), 3);
    EXPECT_EQ(agent->getActiveEndPoints(2500, 0x1101, &ep), AGENT_BUSY);
    EXPECT_EQ(rec.named("activeEp_RspCb").back().error, AGENT_BUSY);
    EXPECT_EQ(agent->getServiceDescriptor(0, 0x1101, 1, &sd), AGENT_SUCCESS);
    EXPECT_EQ(agent->getTimeoutSeconds(FEATURE_SERVICE_DESC), 0) << "0 arms no timer";
    EXPECT_TRUE(rec.named("serviceDesc_RspCb").back().asynch);
    clock.advance(std::chrono::seconds(3));
    ASSERT_TRUE(waitFor([&] { return rec.count("activeEp_RspCb") == 3; }));
    auto expired = rec.named("activeEp_RspCb").back();
    EXPECT_EQ(expired.error, TIMER_EXPIRED);
    EXPECT_EQ(expired.state, Canceled);
    EXPECT_EQ(expired.session, 5);
    // A confirm after the time-out answers nobody; a failed confirm reports the error and
    // leaves the database alone.
    announce(0x1101, 1);
    uint8_t eps[2] = {1, 2};
    agent->getActiveEndPoints_Cb(0, 0x1101, 2, eps);
    EXPECT_EQ(rec.count("activeEp_RspCb"), 3u);
    agent->getServiceDescriptor_Cb(0x80, 0x1101, nullptr);
    EXPECT_EQ(rec.named("serviceDesc_NtfCb").at(0).error, SERVICE_DESCRIPTOR_ERROR);
    EXPECT_EQ(agent->getActiveEndPoints(0, 0x1101, &ep), AGENT_SUCCESS);
    agent->getActiveEndPoints_Cb(0x80, 0x1101, 2, eps);
    EXPECT_EQ(rec.named("activeEp_RspCb").back().error, ACTIVE_EP_ERROR);
    std::lock_guard<std::recursive_mutex> lock(zb->getDb()->mutex());
    EXPECT_TRUE(zb->getDb()->findNodeByNwkAddr(0x1101)->endpoints.empty());
}

TEST_F(ServiceAgentTest, BindingsOfUnknownSourcesAndPendingUnbinds) {
    run();
    announce(0x1101, 1);
    SA::BindCtxt ctx(8, &rec, &ServiceRecorder::bind_RspCb, nullptr);
    ZB_BIND_STRUCT b{};
    const uint8_t known[8] = {0x00, 0x12, 0x4B, 0, 0, 0, 0x11, 1};
    std::memset(b.src_addr, 0x77, 8);
    EXPECT_EQ(agent->bindRequest(1000, b, &ctx), AGENT_BUSY);
    EXPECT_EQ(rec.named("bind_RspCb").at(0).error, AGENT_BUSY);
    clock.advance(std::chrono::seconds(2));
    std::memcpy(b.src_addr, known, 8);
    EXPECT_EQ(agent->unbindRequest(0, b, &ctx), AGENT_SUCCESS);
    EXPECT_EQ(agent->unbindRequest(0, b, &ctx), AGENT_BUSY);
    agent->unbindRequest_Cb(0x88);
    EXPECT_EQ(rec.named("bind_RspCb").back().error, UNBIND_ERROR);
    EXPECT_EQ(rec.count("bind_RspCb"), 3u) << "the refused bind is answered once";
}

}  // namespace
