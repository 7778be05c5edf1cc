#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <vector>

#include "AgentOperation.h"
#include "support/TestConfig.h"
#include "support/WaitFor.h"

using std::chrono::milliseconds;
using std::chrono::seconds;

namespace {

struct Handler {
    std::vector<AgentError> answers;
    void* onResponse(int, RPCReqStatus* st) {
        answers.push_back(st->getReturnValue());
        return nullptr;
    }
};
using ResF = void* (Handler::*)(int, RPCReqStatus*);
using Rpc = RPCContext<Handler, ResF, NoCb>;

// An agent with two operations of its own, shaped as the real agents use the piece.
struct Agent {
    using Ctx = fContext<Handler, Agent, ResF, NoCb>;
    std::recursive_mutex mux;
    ThreadPool pool{2, 10, 5000};
    ManualTimerClock clock;
    TimerThread timers{&pool, &clock};
    Ctx walkCtx, descCtx;
    std::atomic<int> confirms{0};
    std::atomic<int> expiries{0};
    ZbZdpResponseListener listener{[this](const ZbZdpResponse&) { ++confirms; }};
    AgentOperation<Ctx> walk, desc;

    explicit Agent(OrqZbIf* zb)
        : walkCtx(zb->getFeatureControl(), FEATURE_INQUIRY),
          descCtx(zb->getFeatureControl(), FEATURE_SUPER_DISCOVERY),
          walk(walkCtx, zb, {{ZB_EV_ZDP_BIND_RESPONSE, &listener}}),
          desc(descCtx, zb, {}) {}
    ~Agent() { timers.shutdown(); }

    AgentError start(AgentOperation<Ctx>& op, Rpc* rpc, OperationStart how) {
        std::lock_guard<std::recursive_mutex> lock(mux);
        return op.begin(how, rpc, this, &timers, &Agent::onWalkTimer,
                        [&](RPCReqStatus& st) { rpc->respond(rpc->getSessionId(), &st); });
    }
    void onWalkTimer() {
        std::lock_guard<std::recursive_mutex> lock(mux);
        if (walk.expire() && walk.finish(Canceled)) {
            ++expiries;
        }
    }
};

class AgentOperationTest : public ::testing::Test {
  protected:
    AgentOperationTest() { zb.setGWStatus(3, 0); }
    TestConfig config{"[main]\nplatform = 1\n"};
    OrqZbIf zb{config.get()};
    Handler handler;
    Rpc rpc{7, &handler, &Handler::onResponse, nullptr};
    Agent agent{&zb};
};

}  // namespace

TEST_F(AgentOperationTest, RefusalsAnswerOnceAndChangeNothing) {
    struct Case {
        const char* what;
        int gwStatus;
        bool walkRunning;
        bool overwrite;
        AgentOperation<Agent::Ctx>* op;
        AgentError expected;
    };
    const Case cases[] = {
        {"not running", 2, false, false, &agent.walk, ORQ_NOT_RUNNING},
        {"same operation busy", 3, true, false, &agent.walk, AGENT_BUSY},
        {"conflicting feature bit", 3, true, false, &agent.desc, AGENT_BUSY},
        {"takeover allowed", 3, true, true, &agent.walk, AGENT_SUCCESS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        agent.walk.finish(End);
        agent.desc.finish(End);
        zb.setGWStatus(3, 0);
        if (c.walkRunning) {
            ASSERT_EQ(agent.start(agent.walk, nullptr, {}), AGENT_SUCCESS);
        }
        zb.setGWStatus(c.gwStatus, 0);
        handler.answers.clear();
        OperationStart how;
        how.overwrite = c.overwrite;
        EXPECT_EQ(agent.start(*c.op, &rpc, how), c.expected);
        if (c.expected == AGENT_SUCCESS) {
            EXPECT_TRUE(handler.answers.empty());
            EXPECT_EQ(c.op->replyPath().getSessionId(), 7);
        } else {
            EXPECT_EQ(handler.answers, std::vector<AgentError>{c.expected});
            EXPECT_EQ(agent.walk.isRunning(), c.walkRunning);
        }
    }
    // A taken-over operation still has its listener once: one confirm counts once.
    zb.ZDP_BIND_response(0);
    EXPECT_EQ(agent.confirms.load(), 1);
}

TEST_F(AgentOperationTest, FinishEndsOnceUnregistersAndReleasesTheFeatureBits) {
    ASSERT_EQ(agent.start(agent.walk, &rpc, {}), AGENT_SUCCESS);
    EXPECT_EQ(zb.getFeatureControl()->getLockedFeatures(), FEATURE_INQUIRY);
    unsigned run = agent.walk.currentRun();
    agent.walk.expect(2);
    EXPECT_FALSE(agent.walk.received());
    EXPECT_TRUE(agent.walk.received());
    zb.ZDP_BIND_response(0);
    EXPECT_TRUE(agent.walk.finish(End));
    EXPECT_FALSE(agent.walk.finish(End));  // a second end must not answer again
    EXPECT_FALSE(agent.walk.cancel());
    EXPECT_FALSE(agent.walk.isRun(run));
    EXPECT_EQ(agent.walkCtx.fstate, End);
    EXPECT_EQ(zb.getFeatureControl()->getLockedFeatures(), 0UL);
    zb.ZDP_BIND_response(0);
    EXPECT_EQ(agent.confirms.load(), 1);
    ASSERT_EQ(agent.start(agent.walk, &rpc, {}), AGENT_SUCCESS);
    EXPECT_FALSE(agent.walk.isRun(run));  // queued work of the old run is not this run's
    EXPECT_TRUE(agent.walk.isRun(agent.walk.currentRun()));
}

TEST_F(AgentOperationTest, TimeOutEndsTheRunningOperationOnlyWhileItsTimerIsCurrent) {
    OperationStart how;
    how.timeoutMs = 1500;  // two seconds
    ASSERT_EQ(agent.start(agent.walk, &rpc, how), AGENT_SUCCESS);
    EXPECT_EQ(agent.walkCtx.fTimeout, 2);
    agent.clock.advance(seconds(2));
    ASSERT_TRUE(waitFor([&] { return agent.expiries.load() == 1; }));
    EXPECT_EQ(agent.walkCtx.fstate, Canceled);
    EXPECT_EQ(agent.walkCtx.result, 1);

    // Canceled before it fires: the timer goes with it, nothing expires later.
    ASSERT_EQ(agent.start(agent.walk, &rpc, how), AGENT_SUCCESS);
    EXPECT_EQ(agent.timers.pendingCount(), 1);
    EXPECT_TRUE(agent.walk.cancel());
    EXPECT_EQ(agent.timers.pendingCount(), 0);

    // A takeover re-arms: only the new timer is pending.
    ASSERT_EQ(agent.start(agent.walk, &rpc, how), AGENT_SUCCESS);
    how.overwrite = true;
    ASSERT_EQ(agent.start(agent.walk, &rpc, how), AGENT_SUCCESS);
    EXPECT_EQ(agent.timers.pendingCount(), 1);
}

TEST(PacedSender, PausesAfterEachRequestSentButNotAfterOnesSkipped) {
    // The pause set later (the configured pacing) replaces the one it was built with.
    PacedSender sender(std::chrono::hours(1));
    sender.setPause(milliseconds(60));
    std::mutex m;
    std::vector<std::chrono::steady_clock::time_point> sent;
    auto stamp = [&] {
        std::lock_guard<std::mutex> lock(m);
        sent.push_back(std::chrono::steady_clock::now());
        return true;
    };
    EXPECT_TRUE(sender.post(stamp));
    sender.post([] { return false; });
    sender.post(stamp);
    sender.post(stamp);
    ASSERT_TRUE(waitFor([&] { return sender.idle(); }));
    std::lock_guard<std::mutex> lock(m);
    ASSERT_EQ(sent.size(), 3u);
    for (size_t i = 1; i < sent.size(); ++i) {
        EXPECT_GE(sent[i] - sent[i - 1], milliseconds(60));
    }
}

TEST(PacedSender, StopDropsWhatIsQueued) {
    PacedSender sender(seconds(30));
    std::atomic<int> runs{0};
    sender.post([&] { return ++runs > 0; });
    sender.post([&] { return ++runs > 0; });
    ASSERT_TRUE(waitFor([&] { return runs.load() == 1; }));
    sender.stop();
    EXPECT_EQ(runs.load(), 1);
    EXPECT_FALSE(sender.post([&] { return ++runs > 0; }));
}
