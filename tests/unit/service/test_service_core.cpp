#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ServiceCore.h"
#include "support/ServiceRecorder.h"

// The compiled service agent without any handler class: reply paths of plain callables that
// go out of scope right after the call that gave them (as the facade's do).
class ServiceCoreTest : public ServiceBed<ServiceCore> {
  protected:
    // "response <session> <error>" or "notice <id> <error>" for each reply.
    std::vector<std::string> replies() {
        std::vector<std::string> out;
        for (const auto& c : rec.calls) {
            out.push_back(c.op + " " + std::to_string(c.op == "notice" ? c.id : c.session) + " " +
                          std::to_string(c.error));
        }
        return out;
    }
    ServiceCore::BindPath bindPath(int session, bool withNotice) {
        ServiceCore::BindPath::notify_type notice;
        if (withNotice) {
            notice = [this, session](RPCReqStatus* st) {
                return rec.add("notice", session, -1, st);
            };
        }
        return ServiceCore::BindPath(
            session, [this](int s, RPCReqStatus* st) { return rec.add("response", 0, s, st); },
            notice);
    }
};

TEST_F(ServiceCoreTest, ADescriptorRequestIsAnsweredAndNotifiedAfterItsPathWentOutOfScope) {
    running({8});
    {
        ServiceCore::ServiceDescPath path(
            5,
            [this](Node* n, int ep, int s, RPCReqStatus* st) {
                return rec.add("response", ep, s, st, n);
            },
            [this](Node* n, int ep, RPCReqStatus* st) { return rec.add("notice", ep, -1, st, n); });
        ASSERT_EQ(agent.getServiceDescriptor(0, 0x1101, 3, &path), AGENT_SUCCESS);
    }
    ushort in[2] = {0x0000, 0x0006};
    ZB_SIMPLE_DESC sd{};
    sd.ep = 3;
    sd.app_profile_id = 0x0104;
    sd.app_in_cluster_count = 2;
    sd.app_in_cluster_list = in;
    agent.getServiceDescriptor_Cb(0, 0x1101, &sd);

    // Accepted at once (end point 0, asynchronous): the outcome follows as a notice.
    EXPECT_EQ(replies(), (std::vector<std::string>{"response 5 0", "notice 3 0"}));
    EXPECT_TRUE(rec.calls[0].asynch && rec.calls[0].id == 0);
    EXPECT_EQ(rec.calls[1].nodeAddr, 0x1101);
    EXPECT_EQ(rec.calls[1].state, End);
    std::lock_guard<std::recursive_mutex> lock(zb.getDb()->mutex());
    const SimpleDescriptor* stored =
        zb.getDb()->getSimpleDescr(zb.getDb()->findNodeByNwkAddr(0x1101), 3);
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(stored->input_cluster, (std::list<int>{0x0000, 0x0006}));
}

// Paths of plain callables say nothing about where they notify, so a bind taken over is
// always answered itself; the one waiting when the module goes away is answered too.
TEST_F(ServiceCoreTest, BindsThroughPlainCallablesAreEachAnsweredOnce) {
    running({8});
    ZB_BIND_STRUCT b{};
    std::memcpy(b.src_addr, kLightIeee, 8);
    {
        ServiceCore::BindPath first = bindPath(8, true);
        ASSERT_EQ(agent.bindRequest(1000, b, &first), AGENT_SUCCESS);
    }
    {
        ServiceCore::BindPath second = bindPath(9, true);
        ASSERT_EQ(agent.bindRequest(1000, b, &second), AGENT_SUCCESS);
    }
    agent.bindRequest_Cb(0);
    {
        ServiceCore::BindPath unbind = bindPath(10, false);
        ASSERT_EQ(agent.unbindRequest(600000, b, &unbind), AGENT_SUCCESS);
    }
    zb.setGWStatus(GW_ERROR, GW_MODULE_NOT_ANSWERING);
    clock.advance(std::chrono::seconds(601));  // the unbind's time-out finds it answered
    agent.unbindRequest_Cb(0);
    EXPECT_EQ(replies(),
              (std::vector<std::string>{"response 8 0",  // first: accepted
                                        "notice 8 " + std::to_string(AGENT_BUSY),  // taken over
                                        "response 9 0",  // second: accepted
                                        "notice 9 0",    // and bound
                                        "response 10 " + std::to_string(AGENT_ERROR)}));
}

TEST_F(ServiceCoreTest, AConnectionAndACallbackKeepTheirPathsUntilDeleted) {
    running({8});
    auto callbackPath = [this](int session) {
        return ServiceCore::CallbackPath(
            session,
            [this](int id, int s, RPCReqStatus* st) { return rec.add("response", id, s, st); },
            [this](int id, Message* m, RPCReqStatus* st) {
                EXPECT_EQ(m->getSrcNwkAddr(), 0x1101);
                return rec.add("notice", id, -1, st);
            });
    };
    {
        ServiceCore::CallbackPath connection = callbackPath(1);
        ASSERT_EQ(agent.createCallback(8, &connection), AGENT_SUCCESS);
        Callback cb;
        cb.internalId = 42;
        ServiceCore::CallbackPath filtered = callbackPath(2);
        ASSERT_EQ(agent.createCallback(&cb, &filtered), AGENT_SUCCESS);
    }
    receive(8);
    {
        ServiceCore::CallbackDeletePath del(
            3, [this](int id, int s, RPCReqStatus* st) { return rec.add("response", id, s, st); });
        EXPECT_EQ(agent.deleteCallback(8, &del), AGENT_SUCCESS);
        EXPECT_EQ(agent.deleteCustomizedCallback(42, &del), AGENT_SUCCESS);
    }
    receive(8);  // nobody listens any more
    std::vector<std::string> got;
    for (const auto& c : rec.calls) {
        got.push_back(c.op + " " + std::to_string(c.session) + " " + std::to_string(c.id));
    }
    EXPECT_EQ(got, (std::vector<std::string>{"response 1 8", "response 2 256", "notice -1 8",
                                             "notice -1 42", "response 3 8", "response 3 256"}));
    EXPECT_EQ(agent.cachedMessages(8), 1u);
}
