#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "DataIndication.h"
#include "ServiceCore.h"
#include "TimerThread.h"
#include "support/TestConfig.h"
#include "support/WaitFor.h"

// The compiled service agent without any handler class: reply paths of plain callables that
// go out of scope right after the call that gave them (as the facade's do), an adapter
// without a link, confirms and indications called as the reader thread would.
class ServiceCoreTest : public ::testing::Test {
  protected:
    struct Reply {
        std::string what;  // "response" or "notice"
        int session;       // -1 for a notice
        int id;            // end point or callback id; -1 for none
        int nwk;           // the node handed over; -1 for none
        fState_t state;
        AgentError error;
        bool asynch;
    };

    ServiceCoreTest() {
        zb.init();
        core.init();
    }
    // Running, with the light 0x1101 known and the service 8.
    void running() {
        SimpleDescriptor sd;
        ZbNetDb::createDefaultSimpleDescr(8, &sd);
        ASSERT_EQ(core.addService(&sd, nullptr), AGENT_SUCCESS);
        zb.setGWStatus(GW_RUNNING, 0);
        zb.getDb()->nodeAnnounce(0x1101, kLightIeee, 0x8E);
    }
    void* record(const char* what, int session, int id, Node* node, const RPCReqStatus* st) {
        std::lock_guard<std::mutex> lock(mux);
        replies.push_back({what, session, id, node != nullptr ? node->get_nwk_addr() : -1,
                           st->getFState(), st->getReturnValue(), st->isReqAsynch()});
        return nullptr;
    }
    std::vector<Reply> seen() {
        std::lock_guard<std::mutex> lock(mux);
        return replies;
    }
    ServiceCore::BindPath bindPath(int session, bool withNotice) {
        ServiceCore::BindPath::notify_type notice;
        if (withNotice) {
            notice = [this, session](RPCReqStatus* st) {
                return record("notice", -1, session, nullptr, st);
            };
        }
        return ServiceCore::BindPath(
            session,
            [this](int s, RPCReqStatus* st) { return record("response", s, -1, nullptr, st); },
            notice);
    }
    void receive(int dstEp) {
        uint8_t dst[2] = {0, 0};
        uint8_t from[2] = {0x01, 0x11};
        uint8_t asdu[3] = {0x18, 0x01, 0x0B};
        core.messageReceived_Cb(
            indication(dst, static_cast<uint8_t>(dstEp), 2, from, 1, 0x0104, 6, asdu, 3));
    }

    const uint8_t kLightIeee[8] = {0x00, 0x12, 0x4B, 0, 0, 0, 0x11, 1};
    TestConfig config{"[main]\n"};
    OrqZbIf zb{config.get()};
    ManualTimerClock clock;
    ServiceCore core{&zb, config.get(), &clock};
    std::mutex mux;
    std::vector<Reply> replies;
};

TEST_F(ServiceCoreTest, ADescriptorRequestIsAnsweredAndNotifiedAfterItsPathWentOutOfScope) {
    running();
    {
        ServiceCore::ServiceDescPath path(
            5,
            [this](Node* n, int ep, int s, RPCReqStatus* st) {
                return record("response", s, ep, n, st);
            },
            [this](Node* n, int ep, RPCReqStatus* st) { return record("notice", -1, ep, n, st); });
        ASSERT_EQ(core.getServiceDescriptor(0, 0x1101, 3, &path), AGENT_SUCCESS);
    }
    ushort in[2] = {0x0000, 0x0006};
    ZB_SIMPLE_DESC sd{};
    sd.ep = 3;
    sd.app_profile_id = 0x0104;
    sd.app_in_cluster_count = 2;
    sd.app_in_cluster_list = in;
    core.getServiceDescriptor_Cb(0, 0x1101, &sd);

    auto r = seen();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].what, "response");  // accepted at once: the outcome follows as a notice
    EXPECT_EQ(r[0].session, 5);
    EXPECT_EQ(r[0].id, 0);
    EXPECT_TRUE(r[0].asynch);
    EXPECT_EQ(r[1].what, "notice");
    EXPECT_EQ(r[1].nwk, 0x1101);
    EXPECT_EQ(r[1].id, 3);
    EXPECT_EQ(r[1].state, End);
    EXPECT_EQ(r[1].error, AGENT_SUCCESS);
    std::lock_guard<std::recursive_mutex> lock(zb.getDb()->mutex());
    const SimpleDescriptor* stored =
        zb.getDb()->getSimpleDescr(zb.getDb()->findNodeByNwkAddr(0x1101), 3);
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(stored->input_cluster, (std::list<int>{0x0000, 0x0006}));
}

// Paths of plain callables say nothing about where they notify, so a bind taken over is
// always answered itself; the one waiting when the module goes away is answered too.
TEST_F(ServiceCoreTest, BindsThroughPlainCallablesAreEachAnsweredOnce) {
    running();
    ZB_BIND_STRUCT b{};
    std::memcpy(b.src_addr, kLightIeee, 8);
    {
        ServiceCore::BindPath first = bindPath(8, true);
        ASSERT_EQ(core.bindRequest(1000, b, &first), AGENT_SUCCESS);
    }
    {
        ServiceCore::BindPath second = bindPath(9, true);
        ASSERT_EQ(core.bindRequest(1000, b, &second), AGENT_SUCCESS);
    }
    core.bindRequest_Cb(0);
    {
        ServiceCore::BindPath unbind = bindPath(10, false);
        ASSERT_EQ(core.unbindRequest(600000, b, &unbind), AGENT_SUCCESS);
    }
    zb.setGWStatus(GW_ERROR, GW_MODULE_NOT_ANSWERING);
    clock.advance(std::chrono::seconds(601));  // the unbind's time-out finds it answered
    core.unbindRequest_Cb(0);

    std::vector<std::string> got;
    for (const Reply& r : seen()) {
        got.push_back(r.what + " " + std::to_string(r.what == "notice" ? r.id : r.session) + " " +
                      std::to_string(r.error));
    }
    EXPECT_EQ(got, (std::vector<std::string>{
                       "response 8 0",                            // first: accepted
                       "notice 8 " + std::to_string(AGENT_BUSY),  // taken over by the second
                       "response 9 0",                            // second: accepted
                       "notice 9 0",                              // and bound
                       "response 10 " + std::to_string(AGENT_ERROR)}));
}

TEST_F(ServiceCoreTest, AConnectionAndACallbackKeepTheirPathsUntilDeleted) {
    running();
    auto callbackPath = [this](int session) {
        return ServiceCore::CallbackPath(
            session,
            [this](int id, int s, RPCReqStatus* st) {
                return record("response", s, id, nullptr, st);
            },
            [this](int id, Message* m, RPCReqStatus* st) {
                EXPECT_EQ(m->getSrcNwkAddr(), 0x1101);
                return record("notice", -1, id, nullptr, st);
            });
    };
    {
        ServiceCore::CallbackPath connection = callbackPath(1);
        ASSERT_EQ(core.createCallback(8, &connection), AGENT_SUCCESS);
        Callback cb;
        cb.internalId = 42;
        ServiceCore::CallbackPath filtered = callbackPath(2);
        ASSERT_EQ(core.createCallback(&cb, &filtered), AGENT_SUCCESS);
    }
    receive(8);
    {
        ServiceCore::CallbackDeletePath del(3, [this](int id, int s, RPCReqStatus* st) {
            return record("response", s, id, nullptr, st);
        });
        EXPECT_EQ(core.deleteCallback(8, &del), AGENT_SUCCESS);
        EXPECT_EQ(core.deleteCustomizedCallback(42, &del), AGENT_SUCCESS);
    }
    receive(8);  // nobody listens any more

    std::vector<std::string> got;
    for (const Reply& r : seen()) {
        got.push_back(r.what + " " + std::to_string(r.session) + " " + std::to_string(r.id));
    }
    EXPECT_EQ(got, (std::vector<std::string>{"response 1 8", "response 2 256", "notice -1 8",
                                             "notice -1 42", "response 3 8", "response 3 256"}));
    EXPECT_EQ(core.cachedMessages(8), 1u);
}
