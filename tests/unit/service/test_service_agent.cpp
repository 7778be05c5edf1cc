#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "support/ServiceRecorder.h"
#include "support/WaitFor.h"

using SA = ServiceRecorder::SA;

namespace {

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
        {nullptr, -1, 1, 0x0006, true},      {"ZDP", -1, 0, 0x8031, true},
        {"ZDP", -1, 1, 0x0006, false},       {"ZCL", -1, 0, 0x0006, false},
        {"ZCL", -1, 1, 0x0006, true},        {"Discovery", -1, 0, 0x8005, true},
        {"Discovery", -1, 0, 0x8031, false}, {"Discovery", -1, 1, 0x8005, false},
        {"Other", -1, 0, 0x8031, true},      {nullptr, 0xFFFF, 1, 6, true},
        {nullptr, 0x1101, 1, 6, true},       {nullptr, 0x1102, 1, 6, false},
        {"ZCL", 0x1101, 0, 6, false},
    };
    for (const Case& c : cases) {
        ReceivedFrame f;
        f.srcEp = static_cast<uint8_t>(c.srcEp);
        f.clusterId = c.cluster;
        f.srcNwkAddr = 0x1101;
        EXPECT_EQ(callbackMatches(callbackOf(c.group, c.nwk), *buildRecord(f)), c.match)
            << (c.group ? c.group : "-") << " nwk " << c.nwk << " ep " << c.srcEp << " cluster "
            << c.cluster;
    }
    EXPECT_TRUE(isDiscoveryCluster(0x0013) && isDiscoveryCluster(0x801E));
    EXPECT_FALSE(isDiscoveryCluster(0x8012));
}

TEST(ServiceMatcherTest, MatchDescriptorAnswersTheEndPointsWithAClusterInCommon) {
    SimpleDescriptor sd[3];
    const int eps[3] = {9, 5, 7}, profiles[3] = {0x0104, 0x0104, 0xA1E0};
    for (int i = 0; i < 3; ++i) {
        sd[i].end_point = eps[i];
        sd[i].profile_id = profiles[i];
        sd[i].input_cluster = i == 1 ? std::list<int>{0x0000, 0x0006} : std::list<int>{0x0006};
    }
    sd[2].output_cluster = {0x0300};
    std::vector<const SimpleDescriptor*> services = {&sd[0], &sd[1], &sd[2]};
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

class ServiceAgentTest : public ServiceBed<SA> {
  protected:
    int add(int ep, SA::AddServiceCtxt* ctx = nullptr) {
        SimpleDescriptor sd;
        ZbNetDb::createDefaultSimpleDescr(ep, &sd);
        return agent.addService(&sd, ctx);
    }
    void connect(int ep) {
        auto ctx = rec.connection();
        ASSERT_EQ(agent.createCallback(ep, &ctx), AGENT_SUCCESS);
    }
    std::vector<int> notified() { return rec.each("callback_NtfCb", &ServiceRecorder::Call::id); }
};

TEST_F(ServiceAgentTest, AddServiceAllocatesAndRefuses) {
    connect(ALL_ENDPOINTS);  // the pseudo entry is no service and does not count
    ASSERT_EQ(add(1), AGENT_SUCCESS);
    ASSERT_EQ(add(2), AGENT_SUCCESS);
    SA::AddServiceCtxt ctx(4, &rec, &ServiceRecorder::service_RspCb, nullptr);
    EXPECT_EQ(add(0, &ctx), AGENT_SUCCESS);
    EXPECT_EQ(rec.last("service_RspCb").id, 3);
    for (int ep : {2, 241, 255, ALL_ENDPOINTS}) {
        EXPECT_EQ(add(ep, &ctx), NO_AVAILABLE_ENDPOINT) << ep;
        EXPECT_EQ(rec.last("service_RspCb").error, NO_AVAILABLE_ENDPOINT);
    }
    int inDb = 0;  // the services the start-up registers with the module
    for (auto* s = zb.getDb()->getFirstServicesSD(); s; s = zb.getDb()->getNextServicesSD(s)) {
        ++inDb;
    }
    EXPECT_EQ(inDb, 3);
    EXPECT_EQ(agent.removeService(2), 0);
    EXPECT_EQ(agent.removeService(2), -2);
    EXPECT_EQ(agent.removeService(ALL_ENDPOINTS), -2);
    int eps[241];
    ASSERT_EQ(agent.getCurrentServices(eps), 3);
    EXPECT_EQ(std::vector<int>(eps, eps + 3), (std::vector<int>{0, 1, 3}));
    for (int i = 3; i <= 239; ++i) {  // end point 0 counts: 239 services fill the table
        ASSERT_EQ(add(0), AGENT_SUCCESS) << i;
    }
    EXPECT_EQ(add(0), NO_AVAILABLE_ENDPOINT);
    EXPECT_FALSE(agent.isEndpointAvailable(240));
    zb.setGWStatus(GW_RUNNING, 0);
    EXPECT_EQ(agent.removeService(1), -1);
    EXPECT_EQ(add(0, &ctx), ORQ_NOT_RUNNING);
    EXPECT_EQ(rec.last("service_RspCb").error, INVALID_GW_STATUS);
}

TEST_F(ServiceAgentTest, ReceivedMessagesReachConnectionsAndCaches) {
    running({3, 5, 8});
    receive(8);  // nobody listens: dropped
    connect(8);
    connect(3);
    receive(8);
    receive(BROADCAST_ENDPOINT);  // ascending order, not cached
    receive(9);                   // not a service
    receive(8, 0x7777);           // unknown sender
    const uint8_t dst[2] = {0, 0};
    uint8_t asdu[1] = {0};
    agent.messageReceived_Cb(indication(dst, 8, 3, kLightIeee, 1, 0x104, 6, asdu, 1));
    EXPECT_EQ(notified(), (std::vector<int>{8, 3, 8, 8}));
    auto n = rec.named("callback_NtfCb");
    EXPECT_EQ(n[0].srcNwk, 0x1101);
    EXPECT_EQ(n[0].payload, (std::vector<uint8_t>{0x18, 0x01, 0x0B}));
    EXPECT_EQ(n[3].srcNwk, 0x1101) << "IEEE source addressing";
    EXPECT_EQ(agent.cachedMessages(8), 2u);
    EXPECT_EQ(agent.cachedMessages(3), 0u);
    SA::LastRxMsgCtxt read(6, &rec, &ServiceRecorder::lastRxMsg_RspCb, nullptr);
    EXPECT_EQ(agent.getLastRxMsg(8, &read), AGENT_SUCCESS);
    EXPECT_EQ(rec.last("lastRxMsg_RspCb").msgId, n[0].msgId);
    EXPECT_EQ(agent.getLastRxMsg(5, &read), MSG_CACHE_EMPTY);

    // Only ALL_ENDPOINTS: cached under 256, notified with the real end point.
    auto del = rec.deletion();
    EXPECT_EQ(agent.deleteCallback(8, &del), AGENT_SUCCESS);
    EXPECT_EQ(agent.deleteCallback(8, &del), NO_ACTIVE_WSN_CONNECTIONS);
    EXPECT_EQ(agent.deleteCallback(9, &del), ENDPOINT_NOT_REGISTERED);
    connect(ALL_ENDPOINTS);
    rec.clear();
    receive(8);
    receive(BROADCAST_ENDPOINT);
    EXPECT_EQ(notified(), (std::vector<int>{8, 3, BROADCAST_ENDPOINT}));
    EXPECT_EQ(agent.cachedMessages(ALL_ENDPOINTS), 1u);
    EXPECT_EQ(agent.cachedMessages(8), 1u);
}

TEST_F(ServiceAgentTest, MessageIdsWrap) {
    running({8});
    connect(8);
    agent.setMsgIdCounter(0x7ffffffe);
    for (int i = 0; i < 3; ++i) {
        receive(8);
    }
    EXPECT_EQ(rec.each("callback_NtfCb", &ServiceRecorder::Call::msgId),
              (std::vector<int>{0x7ffffffe, 0, 1}));
}

TEST_F(ServiceAgentTest, FilteredCallbacksStoredMatchedAndDeleted) {
    running({8});
    auto ctx = rec.connection();
    Callback onEp7 = callbackOf(nullptr, -1, 7, 70);
    EXPECT_EQ(agent.createCallback(&onEp7, &ctx), ENDPOINT_NOT_REGISTERED);
    EXPECT_EQ(agent.createCallback(static_cast<Callback*>(nullptr), &ctx), AGENT_ERROR);
    Callback cbs[] = {callbackOf("ZCL", -1, 8, 11), callbackOf(nullptr, 0xFFFF, 8, 12),
                      callbackOf(nullptr, 0x2222, 8, 13), callbackOf("ZDP", -1, -1, 14)};
    for (Callback& cb : cbs) {
        ASSERT_EQ(agent.createCallback(&cb, &ctx), AGENT_SUCCESS);
    }
    EXPECT_EQ(rec.last("callback_RspCb").id, ALL_ENDPOINTS);
    receive(8);
    receive(8, 0x1101, 0x8031, 0);  // from the device object
    EXPECT_EQ(notified(), (std::vector<int>{11, 12, 12, 14}));
    auto del = rec.deletion();
    EXPECT_EQ(agent.deleteCustomizedCallback(14, &del), AGENT_SUCCESS);
    EXPECT_EQ(rec.last("callback_RspCb").id, ALL_ENDPOINTS);
    EXPECT_EQ(agent.deleteCustomizedCallback(14, &del), 1);
    EXPECT_EQ(rec.last("callback_RspCb").error, NO_CUSTOMIZED_FILTER_FOUND);
    for (int id : {11, 12, 13}) {
        EXPECT_EQ(agent.deleteCustomizedCallback(id, &del), AGENT_SUCCESS);
    }
    rec.clear();
    receive(8);
    EXPECT_EQ(rec.count("callback_NtfCb"), 0u);
}

// A notification runs with the agent's lock held; a call back into the agent from inside it
// is refused at once while another thread uses the agent.
TEST_F(ServiceAgentTest, ACallbackCannotCallBackIntoTheAgent) {
    running({8, 9});
    connect(8);
    std::atomic<int> refusals{0};
    rec.onNotify = [&](Message* msg) {
        auto ctx = rec.connection();
        unsigned char status = 0;
        unsigned int t = 0;
        if (agent.createCallback(9, &ctx) == AGENT_BUSY &&
            agent.send(msg, status, t) == AGENT_BUSY && agent.removeService(9) == -1 &&
            agent.isEndpointAvailable(8)) {
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
        agent.createCallback(9, &ctx);
        agent.deleteCallback(9, &del);
    }
    reader.join();
    EXPECT_EQ(refusals.load(), 50);
}

TEST_F(ServiceAgentTest, RemoteRequestsRefuseTimeOutAndReportErrors) {
    SA::ActiveEndpointsCtxt ep(5, &rec, &ServiceRecorder::activeEp_RspCb, nullptr);
    SA::ServiceDescriptorCtxt sd(5, &rec, &ServiceRecorder::serviceDesc_RspCb,
                                 &ServiceRecorder::serviceDesc_NtfCb);
    EXPECT_EQ(agent.getServiceDescriptor(2500, 0x1101, 1, &sd), ORQ_NOT_RUNNING);
    EXPECT_EQ(rec.last("serviceDesc_RspCb").id, -2);
    running({});
    EXPECT_EQ(agent.getActiveEndPoints(2500, 0x1101, &ep), AGENT_SUCCESS);
    EXPECT_EQ(agent.getTimeoutSeconds(FEATURE_ACTIVE_EP), 3);
    EXPECT_EQ(agent.getActiveEndPoints(2500, 0x1101, &ep), AGENT_BUSY);
    EXPECT_EQ(agent.getServiceDescriptor(0, 0x1101, 1, &sd), AGENT_SUCCESS);
    EXPECT_EQ(agent.getTimeoutSeconds(FEATURE_SERVICE_DESC), 0) << "0 arms no timer";
    EXPECT_TRUE(rec.last("serviceDesc_RspCb").asynch);
    clock.advance(std::chrono::seconds(3));
    ASSERT_TRUE(waitFor([&] { return rec.count("activeEp_RspCb") == 2; }));
    uint8_t eps[2] = {1, 2};
    EXPECT_EQ(rec.last("activeEp_RspCb").nodeAddr, -1);
    agent.getActiveEndPoints_Cb(0, 0x1101, 2, eps);  // too late: nobody is answered
    EXPECT_EQ(rec.answers("activeEp_RspCb"),
              (std::vector<std::pair<int, AgentError>>{{5, AGENT_BUSY}, {5, TIMER_EXPIRED}}));
    agent.getServiceDescriptor_Cb(0x80, 0x1101, nullptr);
    EXPECT_EQ(rec.last("serviceDesc_NtfCb").error, SERVICE_DESCRIPTOR_ERROR);
    EXPECT_EQ(agent.getActiveEndPoints(0, 0x1101, &ep), AGENT_SUCCESS);
    agent.getActiveEndPoints_Cb(0x80, 0x1101, 2, eps);
    EXPECT_EQ(rec.last("activeEp_RspCb").error, ACTIVE_EP_ERROR);
    std::lock_guard<std::recursive_mutex> lock(zb.getDb()->mutex());
    EXPECT_TRUE(zb.getDb()->findNodeByNwkAddr(0x1101)->endpoints.empty());
}

// Every bind and unbind is answered once: one of an unknown source at once, one taken over by
// a newer bind at once, one waiting when the module goes away with AGENT_ERROR; a late
// confirm or a time-out answers nothing more.
TEST_F(ServiceAgentTest, BindsAndUnbindsAreEachAnsweredOnce) {
    running({});
    SA::BindCtxt first(8, &rec, &ServiceRecorder::bind_RspCb, nullptr);
    SA::BindCtxt second(9, &rec, &ServiceRecorder::bind_RspCb, nullptr);
    ZB_BIND_STRUCT b{};
    std::memset(b.src_addr, 0x77, 8);
    EXPECT_EQ(agent.bindRequest(1000, b, &first), AGENT_BUSY);
    clock.advance(std::chrono::seconds(2));
    std::memcpy(b.src_addr, kLightIeee, 8);
    EXPECT_EQ(agent.unbindRequest(0, b, &second), AGENT_SUCCESS);
    EXPECT_EQ(agent.unbindRequest(0, b, &second), AGENT_BUSY);
    agent.unbindRequest_Cb(0x88);
    EXPECT_EQ(agent.bindRequest(1000, b, &first), AGENT_SUCCESS);
    EXPECT_EQ(agent.bindRequest(1000, b, &second), AGENT_SUCCESS);
    agent.bindRequest_Cb(0);
    EXPECT_EQ(agent.unbindRequest(0, b, &first), AGENT_SUCCESS);
    zb.setGWStatus(GW_ERROR, GW_MODULE_NOT_ANSWERING);
    agent.unbindRequest_Cb(0);
    EXPECT_EQ(rec.answers("bind_RspCb"),
              (std::vector<std::pair<int, AgentError>>{{8, AGENT_BUSY},
                                                       {9, AGENT_BUSY},
                                                       {9, UNBIND_ERROR},
                                                       {8, AGENT_BUSY},
                                                       {9, AGENT_SUCCESS},
                                                       {8, AGENT_ERROR}}));
}

}  // namespace
