// What the broker makes of its agents' answers, in one process: a request goes to the
// (fake) agent with the time-out in milliseconds; the agent's response becomes the REST
// reply, its error the prescribed REST error; its notifications become POSTs to the
// listener, and a single-answer listener is gone after its answer.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "BrokerHarness.h"

namespace {

const char* const kJoiningInfo =
    "<JoiningInfo><PermitDuration>30</PermitDuration><TCSignificance>true</TCSignificance>"
    "</JoiningInfo>";
const char* const kListener = "http://127.0.0.1:9100/pj";

// A node as the database would hand it to a notification.
std::unique_ptr<Node> makeNode(unsigned short nwk, unsigned char lastIeeeByte) {
    const unsigned char ieee[8] = {0x00, 0x12, 0x4b, 0x00, 0x00, 0x00, 0x11, lastIeeeByte};
    return std::make_unique<Node>(nwk, ieee);
}

class BrokerMapping : public ::testing::Test {
  protected:
    BrokerHarness h;
};

// --- A gateway procedure: permit joining ---

using BrokerPermitJoin = BrokerMapping;

TEST_F(BrokerPermitJoin, BlockingRequestWaitsForTheAgentAndGetsItsSuccess) {
    auto ex = h.server->request("POST", "/net/default/allwsnnodes/permitjoin", "timeout=7530",
                                kJoiningInfo);
    ASSERT_EQ(ex->httpError, 0);
    ASSERT_EQ(h.fakeManagement.permitJoins.size(), 1u);
    const auto& call = h.fakeManagement.permitJoins[0];
    // 0x7530: the agent is given 30000 ms.
    EXPECT_EQ(call.timeout, 30000u);
    EXPECT_EQ(call.address, 0xFFFF);  // allwsnnodes: every node
    EXPECT_EQ(h.fakeManagement.permitJoinArgs[0].duration, 30);
    EXPECT_TRUE(h.fakeManagement.permitJoinArgs[0].tcSignificance);
    EXPECT_FALSE(call.path.hasNotify());
    EXPECT_EQ(call.path.getSessionId(), ex->id());
    EXPECT_FALSE(ex->answered()) << "a blocking request waits for the agent's response";

    RPCReqStatus done(End, 0, AGENT_SUCCESS, false);
    call.path.respond(0, call.path.getSessionId(), &done);
    ASSERT_TRUE(ex->answered());
    EXPECT_EQ(elementText(ex->reply(), "Code"), "0");
    EXPECT_EQ(ex->reply().find("RequestIdentifier"), std::string::npos);
    EXPECT_TRUE(h.client->taken().empty());
}

TEST_F(BrokerPermitJoin, AgentErrorsBecomeTheirRESTErrors) {
    struct Case {
        AgentError error;
        const char* code;
        const char* message;
    };
    // TIMER_EXPIRED maps to the time-out error, AGENT_BUSY to the generic one.
    for (const Case& c :
         {Case{TIMER_EXPIRED, "1", "Timer expired"}, Case{AGENT_BUSY, "2", "Agent Busy"},
          Case{ORQ_NOT_RUNNING, "2", "ORQ not running"}}) {
        auto ex = h.server->request("POST", "/net/default/allwsnnodes/permitjoin", "timeout=3e8",
                                    kJoiningInfo);
        const auto& call = h.fakeManagement.permitJoins.back();
        EXPECT_EQ(call.timeout, 1000u);
        RPCReqStatus failed(Canceled, 1, c.error, false);
        call.path.respond(0, call.path.getSessionId(), &failed);
        ASSERT_TRUE(ex->answered()) << c.message;
        EXPECT_EQ(elementText(ex->reply(), "Code"), c.code) << c.message;
        EXPECT_EQ(elementText(ex->reply(), "Message"), c.message);
    }
}

TEST_F(BrokerPermitJoin, MissingTimeoutOrBadBodyIsRefusedWithoutCallingTheAgent) {
    auto noTimeout =
        h.server->request("POST", "/net/default/allwsnnodes/permitjoin", "", kJoiningInfo);
    ASSERT_TRUE(noTimeout->answered());
    EXPECT_EQ(elementText(noTimeout->reply(), "Code"), "2");  // WRONG_REQUEST
    auto badBody =
        h.server->request("POST", "/net/default/allwsnnodes/permitjoin", "timeout=3e8", "<x/>");
    ASSERT_TRUE(badBody->answered());
    EXPECT_EQ(elementText(badBody->reply(), "Message"), "Wrong JoiningInfo values");
    auto get = h.server->request("GET", "/net/default/allwsnnodes/permitjoin", "timeout=3e8");
    EXPECT_EQ(get->httpError, 405);
    EXPECT_TRUE(h.fakeManagement.permitJoins.empty());
}

TEST_F(BrokerPermitJoin, NonBlockingAnswerIsPostedOnceAndTheListenerDropped) {
    auto ex = h.server->request("POST", "/net/default/allwsnnodes/permitjoin",
                                std::string("timeout=7530&urilistener=") + kListener, kJoiningInfo);
    ASSERT_TRUE(ex->answered()) << "a non-blocking request is accepted at once";
    const std::string rid = elementText(ex->reply(), "RequestIdentifier");
    EXPECT_EQ(rid.size(), 8u) << ex->reply();
    EXPECT_EQ(elementText(ex->reply(), "Code"), "0");
    ASSERT_EQ(h.fakeManagement.permitJoins.size(), 1u);
    const auto call = h.fakeManagement.permitJoins[0];
    EXPECT_EQ(call.timeout, 30000u);
    ASSERT_TRUE(call.path.hasNotify());
    EXPECT_EQ(h.broker->getListeners().permitJoin.size(), 1u);

    RPCReqStatus done(End, 0, AGENT_SUCCESS, true);
    call.path.notify(0, &done);
    auto posts = h.client->taken();
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0].url, kListener);
    EXPECT_EQ(elementText(posts[0].body, "Code"), "0");
    EXPECT_EQ(elementText(posts[0].body, "RequestIdentifier"), rid);
    EXPECT_EQ(h.broker->getListeners().permitJoin.size(), 0u);

    call.path.notify(0, &done);
    EXPECT_TRUE(h.client->taken().empty()) << "a one-shot listener hears one answer";
}

TEST_F(BrokerPermitJoin, NonBlockingErrorIsPostedAsTheRESTError) {
    auto ex = h.server->request("POST", "/net/default/allwsnnodes/permitjoin",
                                std::string("timeout=7530&urilistener=") + kListener, kJoiningInfo);
    const auto call = h.fakeManagement.permitJoins.at(0);
    RPCReqStatus expired(Canceled, 1, TIMER_EXPIRED, true);
    call.path.notify(0, &expired);
    auto posts = h.client->taken();
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(elementText(posts[0].body, "Code"), "1");
    EXPECT_EQ(elementText(posts[0].body, "Message"), "Timer expired");
    EXPECT_EQ(h.broker->getListeners().permitJoin.size(), 0u);
}

TEST_F(BrokerPermitJoin, ListenerRegisteredWhileAnAnswerIsPostedWaitsForItsOwn) {
    const std::string second = "http://127.0.0.1:9101/pj";
    h.server->request("POST", "/net/default/allwsnnodes/permitjoin",
                      std::string("timeout=7530&urilistener=") + kListener, kJoiningInfo);
    const auto first = h.fakeManagement.permitJoins.at(0);
    // The next request comes in on the poll loop while the first answer is being posted.
    h.client->whilePosting = [&] {
        h.server->request("POST", "/net/default/allwsnnodes/permitjoin",
                          "timeout=7530&urilistener=" + second, kJoiningInfo);
    };
    RPCReqStatus done(End, 0, AGENT_SUCCESS, true);
    first.path.notify(0, &done);
    auto posts = h.client->taken();
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0].url, kListener);
    ASSERT_EQ(h.fakeManagement.permitJoins.size(), 2u) << "the second request starts its own";
    EXPECT_EQ(h.broker->getListeners().permitJoin.size(), 1u);
    EXPECT_TRUE(h.broker->getListeners().permitJoin.running.load());

    h.fakeManagement.permitJoins[1].path.notify(0, &done);
    posts = h.client->taken();
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0].url, second);
    EXPECT_EQ(h.broker->getListeners().permitJoin.size(), 0u);
    EXPECT_FALSE(h.broker->getListeners().permitJoin.running.load());
}

// --- A discovery walk: the inquiry ---

using BrokerInquiry = BrokerMapping;

TEST_F(BrokerInquiry, EachNodeFoundIsPostedAndTheEndDropsTheListener) {
    const std::string url = "http://127.0.0.1:9100/inquiry";
    auto ex = h.server->request("GET", "/net/default/wsnnodes",
                                "inquiry&timeout=ea60&urilistener=" + url);
    ASSERT_TRUE(ex->answered());
    const std::string rid = elementText(ex->reply(), "RequestIdentifier");
    EXPECT_EQ(rid.size(), 8u) << ex->reply();
    ASSERT_EQ(h.fakeDiscovery.procs.size(), 1u);
    const auto call = h.fakeDiscovery.procs[0];
    EXPECT_EQ(call.op, "startInquiry");
    EXPECT_EQ(call.timeout, 60000u);  // 0xea60 ms
    ASSERT_TRUE(call.path.hasNotify());

    auto light = makeNode(0x1101, 0x01);
    RPCReqStatus running(Running, 0, AGENT_SUCCESS, true);
    call.path.notify(light.get(), &running);
    auto posts = h.client->taken();
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0].url, url);
    EXPECT_EQ(elementText(posts[0].body, "Code"), "0");
    EXPECT_EQ(elementText(posts[0].body, "NetworkAddress"), "4353");  // 0x1101
    EXPECT_EQ(elementText(posts[0].body, "RequestIdentifier"), rid);
    // The node's folders are made on the poll loop.
    Resource* wsnnodes = h.server->findResource(h.broker->getNetFolder(), "wsnnodes");
    ASSERT_NE(wsnnodes, nullptr);
    EXPECT_EQ(h.server->findResource(wsnnodes, "1101"), nullptr);
    h.server->runLoopWork();
    EXPECT_NE(h.server->findResource(wsnnodes, "1101"), nullptr);
    EXPECT_NE(h.server->findResource(wsnnodes, "00124b0000001101"), nullptr);

    // A listener that registers while the end is being posted hears of a walk of its own.
    const std::string late = "http://127.0.0.1:9101/inquiry";
    h.client->whilePosting = [&] {
        h.server->request("GET", "/net/default/wsnnodes",
                          "inquiry&timeout=ea60&urilistener=" + late);
    };
    RPCReqStatus end(End, 0, AGENT_SUCCESS, true);
    call.path.notify(nullptr, &end);
    posts = h.client->taken();
    ASSERT_EQ(posts.size(), 1u) << "the end of the walk is told too";
    EXPECT_EQ(posts[0].url, url);
    ASSERT_EQ(h.fakeDiscovery.procs.size(), 2u);
    EXPECT_EQ(h.fakeDiscovery.procs[1].op, "startInquiry");
    EXPECT_EQ(h.broker->getListeners().nodeInquiry.size(), 1u);
    call.path.notify(light.get(), &running);
    posts = h.client->taken();
    ASSERT_EQ(posts.size(), 1u) << "only the late listener is left";
    EXPECT_EQ(posts[0].url, late);
}

TEST_F(BrokerInquiry, NodeDescriptorReplyCarriesTheDescriptor) {
    auto ex = h.server->request("GET", "/net/default/localnode/nodedescriptor", "timeout=1388");
    ASSERT_EQ(h.fakeDiscovery.nodeDescs.size(), 1u);
    const auto call = h.fakeDiscovery.nodeDescs[0];
    EXPECT_EQ(call.timeout, 5000u);  // 0x1388 ms
    NodeDescriptor nd;
    nd.manufacturecode = 0x1234;
    unsigned char ieee[8] = {0, 0x12, 0x4b, 0, 0, 0, 0, 1};
    RPCReqStatus done(End, 0, AGENT_SUCCESS, false);
    call.path.respond(static_cast<unsigned short>(call.address), ieee, &nd, ex->id(), &done);
    ASSERT_TRUE(ex->answered());
    EXPECT_EQ(elementText(ex->reply(), "Code"), "0");
    EXPECT_EQ(elementText(ex->reply(), "ManufacturerCode"), "4660");  // 0x1234
}

// --- Services: a connection and a message ---

using BrokerMessages = BrokerMapping;

TEST_F(BrokerMessages, ConnectionPostsEveryMessageOfItsEndPoint) {
    const std::string url = "http://127.0.0.1:9100/msgs";
    auto ex = h.server->request("POST", "/net/default/localnode/services/00/wsnconnection",
                                "urilistener=" + url);
    ASSERT_TRUE(ex->answered());
    // The identifier is written in decimal; its folder is named by 8 hexadecimal digits.
    const std::string id = elementText(ex->reply(), "CallbackIdentifier");
    char folder[16];
    std::snprintf(folder, sizeof(folder), "%08lx", std::stoul(id));
    ASSERT_EQ(h.fakeService.callbacks.size(), 1u);
    const auto call = h.fakeService.callbacks[0];
    EXPECT_EQ(call.address, 0);  // the end point of the folder "00"
    Resource* callbacks = h.broker->getCallbacksResource();
    EXPECT_NE(h.server->findResource(callbacks, folder), nullptr);
    EXPECT_EQ(h.broker->getListeners().service.at(0)->size(), 1u);

    Message msg;
    msg.setSrcNwkAddr(0x1101);
    msg.setSrcEp(1);
    msg.setClusterId(6);
    uint8_t data[] = {0x01, 0x03, 0x02};
    msg.setPayload(data, sizeof(data));
    RPCReqStatus running(Running, 0, AGENT_SUCCESS, true);
    call.path.notify(0, &msg, &running);
    auto posts = h.client->taken();
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0].url, url);
    EXPECT_EQ(elementText(posts[0].body, "ClusterID"), "6");
    EXPECT_EQ(elementText(posts[0].body, "Data"), "010302");

    // Another end point's message is not this connection's.
    call.path.notify(5, &msg, &running);
    EXPECT_TRUE(h.client->taken().empty());
}

TEST_F(BrokerMessages, SentMessageIsAnsweredWithTheConfirmStatusAndTime) {
    h.fakeService.sendStatus = 17;
    h.fakeService.sendTxTime = 77;
    auto ex = h.server->request(
        "POST", "/net/default/localnode/services/00/wsnconnection/message", "timeout=1388",
        "<APSMessage><DestinationAddress><NetworkAddress>4353</NetworkAddress>"
        "</DestinationAddress><DestinationEndpoint>1</DestinationEndpoint><SourceEndpoint>8"
        "</SourceEndpoint><ProfileID>260</ProfileID><ClusterID>6</ClusterID><TxOptions>"
        "<SecurityEnabled>false</SecurityEnabled><UseNetworkKey>false</UseNetworkKey>"
        "<Acknowledged>true</Acknowledged><PermitFragmentation>false</PermitFragmentation>"
        "</TxOptions><Radius>10</Radius><Data>010302</Data></APSMessage>");
    ASSERT_EQ(h.fakeService.sent.size(), 1u);
    EXPECT_EQ(h.fakeService.sent[0].dstEp, 1);
    EXPECT_EQ(h.fakeService.sent[0].cluster, 6);
    EXPECT_EQ(h.fakeService.sent[0].payload, (std::vector<uint8_t>{0x01, 0x03, 0x02}));
    ASSERT_TRUE(ex->answered());
    EXPECT_EQ(elementText(ex->reply(), "Code"), "0");
    EXPECT_EQ(elementText(ex->reply(), "ConfirmStatus"), "17");
    EXPECT_EQ(elementText(ex->reply(), "TxTime"), "77");
}

TEST_F(BrokerMessages, EmptyCacheIsTheAgentsErrorInTheReply) {
    auto ex = h.server->request("GET", "/net/default/localnode/services/00/wsnconnection/message");
    ASSERT_EQ(h.fakeService.lastRxMsgs.size(), 1u);
    const auto call = h.fakeService.lastRxMsgs[0];
    RPCReqStatus empty(End, 1, MSG_CACHE_EMPTY, false);
    call.path.respond(nullptr, ex->id(), &empty);
    ASSERT_TRUE(ex->answered());
    EXPECT_EQ(elementText(ex->reply(), "Message"), "Message Cache Empty");
}

}  // namespace

// --- Kept documents: the cache-mode node list ---

using BrokerKeptNodeList = BrokerMapping;

TEST_F(BrokerKeptNodeList, AnsweredFromKeptBytesUntilTheNetworkChanges) {
    ZbNetDb db;
    const unsigned char lightIeee[8] = {0x00, 0x12, 0x4b, 0x00, 0x00, 0x00, 0x11, 0x01};
    db.setActive(db.nodeAnnounce(0x1101, lightIeee, 0x8e), true);
    auto listOnce = [&] {
        auto ex = h.server->request("GET", "/net/default/wsnnodes", "mode=cache");
        const size_t last = h.fakeDiscovery.dbs.size() - 1;
        RPCReqStatus done(End, 0, AGENT_SUCCESS, false);
        const auto& call = h.fakeDiscovery.dbs[last];
        call.path.respond(&db, call.path.getSessionId(), &done);
        EXPECT_TRUE(ex->answered());
        return ex->reply();
    };
    const std::string first = listOnce();
    EXPECT_NE(first.find("<orq:NetworkAddress>4353</orq:NetworkAddress>"), std::string::npos)
        << first;
    EXPECT_EQ(listOnce(), first);
    EXPECT_EQ(h.broker->keptCompositions(), 1u) << "an unchanged network is not composed again";

    const unsigned char plugIeee[8] = {0x00, 0x12, 0x4b, 0x00, 0x00, 0x00, 0x21, 0x01};
    db.setActive(db.nodeAnnounce(0x2101, plugIeee, 0x8e), true);
    const std::string second = listOnce();
    EXPECT_NE(second.find("<orq:NetworkAddress>8449</orq:NetworkAddress>"), std::string::npos)
        << "the next reply after a change shows it: " << second;
    db.removeNodeByNwkAddr(0x1101);
    const std::string third = listOnce();
    EXPECT_EQ(third.find("<orq:NetworkAddress>4353</orq:NetworkAddress>"), std::string::npos)
        << third;
    EXPECT_EQ(h.broker->keptCompositions(), 3u);
}
