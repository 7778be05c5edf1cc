#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <mutex>

#include "Agents.h"
#include "support/WaitFor.h"

using std::chrono::seconds;

namespace {

// A handler with the shapes of response and notification operations the agents use.
struct Handler {
    int responses = 0;
    int notifications = 0;
    int lastSession = 0;
    AgentError lastError = AGENT_ERROR;
    bool lastAsynch = false;
    void* onResponse(int session, RPCReqStatus* st) {
        ++responses;
        lastSession = session;
        lastError = st->getReturnValue();
        return nullptr;
    }
    void* onNotify(unsigned char, RPCReqStatus* st) {
        ++notifications;
        lastError = st->getReturnValue();
        lastAsynch = st->isReqAsynch();
        return nullptr;
    }
};
using ResF = void* (Handler::*)(int, RPCReqStatus*);
using NotF = void* (Handler::*)(unsigned char, RPCReqStatus*);
using Ctx = RPCContext<Handler, ResF, NotF>;

// A minimal agent: one procedure with a time-out, as the real agents shape theirs.
struct Agent {
    std::mutex mux;
    std::atomic<int> expiries{0};
    std::atomic<int> staleExpiries{0};
    fContext<Handler, Agent, ResF, NotF> ctx;
    explicit Agent(FeatureControl* fc) : ctx(fc, FEATURE_INQUIRY) {}
    void onTimer() {
        std::lock_guard<std::mutex> lock(mux);
        if (!ctx.isExpiryCurrent()) {
            ++staleExpiries;
            return;
        }
        ctx.resetTimerEnv();
        ctx.result = 1;
        ctx.unlock(Canceled);
        ++expiries;
    }
};

}  // namespace

TEST(TimeoutConversion, MillisecondsRoundUpToWholeSecondsAndZeroOrAllOnesMeanNone) {
    int s = 77;
    EXPECT_FALSE(timeoutToSeconds(0, &s));
    EXPECT_FALSE(timeoutToSeconds(4294967295UL, &s));
    EXPECT_EQ(s, 77);
    const struct {
        unsigned long ms;
        int seconds;
    } cases[] = {{1, 1}, {1000, 1}, {1001, 2}, {4294967294UL, 4294968}, {ULONG_MAX - 1, INT_MAX}};
    for (const auto& c : cases) {
        ASSERT_TRUE(timeoutToSeconds(c.ms, &s)) << c.ms;
        EXPECT_EQ(s, c.seconds) << c.ms;
    }
}

TEST(FeatureControl, TakesAllRequestedBitsOrNone) {
    FeatureControl fc;
    EXPECT_TRUE(fc.lock(2));
    EXPECT_FALSE(fc.lock(2 | 8));
    EXPECT_EQ(fc.getLockedFeatures(), 2UL);  // the refused request took nothing
    EXPECT_TRUE(fc.lock(8));
    fc.unlock(2);
    EXPECT_EQ(fc.getLockedFeatures(), 8UL);
}

TEST(FeatureControl, ConcurrentLockersNeverShareABit) {
    FeatureControl fc;
    std::atomic<int> inside{0};
    std::atomic<bool> overlap{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                if (fc.lock(FEATURE_SUPER_DISCOVERY)) {
                    if (++inside > 1) {
                        overlap = true;
                    }
                    --inside;
                    fc.unlock(FEATURE_SUPER_DISCOVERY);
                }
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_FALSE(overlap.load());
    EXPECT_EQ(fc.getLockedFeatures(), 0UL);
}

TEST(fContext, InquiryExcludesLqiAndCombinedDiscoveryButNotNodeDescriptor) {
    FeatureControl fc;
    fContext<Handler, Agent, ResF, NotF> inquiry(&fc, FEATURE_INQUIRY);
    fContext<Handler, Agent, ResF, NotF> lqi(&fc, FEATURE_INQUIRY);
    fContext<Handler, Agent, ResF, NotF> superDiscovery(&fc, FEATURE_SUPER_DISCOVERY);
    fContext<Handler, Agent, ResF, NotF> nodeDesc(&fc, FEATURE_NODE_DESC);
    ASSERT_TRUE(inquiry.lock());
    EXPECT_FALSE(lqi.lock());
    EXPECT_FALSE(superDiscovery.lock());
    EXPECT_EQ(superDiscovery.fstate, Idle);
    EXPECT_TRUE(nodeDesc.lock());
    EXPECT_TRUE(inquiry.unlock(End));
    // The node descriptor request still holds bit 8, so a combined discovery waits.
    EXPECT_FALSE(superDiscovery.lock());
    EXPECT_TRUE(nodeDesc.unlock(End));
    EXPECT_TRUE(superDiscovery.lock());
}

TEST(fContext, SecondLockOfARunningProcedureFailsAndUnlockNeedsRunning) {
    FeatureControl fc;
    fContext<Handler, Agent, ResF, NotF> ctx(&fc, FEATURE_ANNOUNCE);
    EXPECT_EQ(ctx.fstate, Idle);
    EXPECT_FALSE(ctx.unlock(End));
    EXPECT_EQ(ctx.fstate, Idle);
    ASSERT_TRUE(ctx.lock());
    EXPECT_TRUE(ctx.isLocked());
    EXPECT_FALSE(ctx.lock());
    EXPECT_TRUE(ctx.unlock(Canceled));
    EXPECT_EQ(ctx.fstate, Canceled);
    EXPECT_FALSE(ctx.unlock(End));
    EXPECT_EQ(ctx.fstate, Canceled);
    EXPECT_EQ(fc.getLockedFeatures(), 0UL);
    EXPECT_TRUE(ctx.lock());  // a resting state may start again
    // Without a feature word it still tracks its state.
    fContext<Handler, Agent, ResF, NotF> alone(nullptr, FEATURE_LOCALNODE);
    EXPECT_TRUE(alone.lock());
    EXPECT_FALSE(alone.lock());
    EXPECT_TRUE(alone.unlock(End));
}

class TimerContextTest : public ::testing::Test {
  protected:
    // Moves the clock and waits until the timer thread has handled every job due by then.
    void advance(seconds by) {
        std::atomic<bool> marker{false};
        ASSERT_EQ(timer.schedule(
                      1, [&] { marker = true; }, nullptr),
                  0);
        clock.advance(by);
        ASSERT_TRUE(waitFor([&] { return marker.load(); }));
    }
    FeatureControl fc;
    ThreadPool pool{2, 10, 5000};
    ManualTimerClock clock;
    TimerThread timer{&pool, &clock};
    Agent agent{&fc};
};

TEST_F(TimerContextTest, AKilledTimerNeverFiresAndAnExpiredOneRunsTheHandler) {
    agent.ctx.lock();
    agent.ctx.fTimeout = 1;
    ASSERT_TRUE(agent.ctx.setTimer(&timer, &agent, &Agent::onTimer));
    EXPECT_EQ(timer.pendingCount(), 1);
    EXPECT_EQ(agent.ctx.killTimer(), 0);
    EXPECT_EQ(agent.ctx.timerData, nullptr);
    EXPECT_EQ(agent.ctx.killTimer(), -1);  // nothing armed any more
    advance(seconds(3));
    EXPECT_EQ(agent.expiries.load() + agent.staleExpiries.load(), 0);

    agent.ctx.fTimeout = 2;
    ASSERT_TRUE(agent.ctx.setTimer(&timer, &agent, &Agent::onTimer));
    advance(seconds(1));
    EXPECT_EQ(agent.expiries.load(), 0);
    clock.advance(seconds(1));
    ASSERT_TRUE(waitFor([&] { return agent.expiries.load() == 1; }));
    std::lock_guard<std::mutex> lock(agent.mux);
    EXPECT_EQ(agent.ctx.fstate, Canceled);
    EXPECT_EQ(agent.ctx.result, 1);
    EXPECT_EQ(agent.ctx.killTimer(), -1);  // the handler already forgot it
}

TEST_F(TimerContextTest, KillTimerAfterTheJobLeftTheTimerThreadReportsMinusOne) {
    agent.ctx.fTimeout = 1;
    // Hold the agent's mutex so the expiry is handed to the pool but cannot finish.
    std::unique_lock<std::mutex> lock(agent.mux);
    ASSERT_TRUE(agent.ctx.setTimer(&timer, &agent, &Agent::onTimer));
    clock.advance(seconds(1));
    ASSERT_TRUE(waitFor([&] { return timer.pendingCount() == 0; }));
    // Completion got here first: the event is no longer scheduled.
    EXPECT_EQ(agent.ctx.killTimer(), -1);
    lock.unlock();
    // The late expiry sees that its timer is no longer the procedure's and ends nothing.
    ASSERT_TRUE(waitFor([&] { return agent.staleExpiries.load() == 1; }));
    EXPECT_EQ(agent.expiries.load(), 0);
}

TEST_F(TimerContextTest, ExpiryOfAnEarlierRunDoesNotEndTheNextRun) {
    agent.ctx.fTimeout = 1;
    std::unique_lock<std::mutex> lock(agent.mux);
    ASSERT_TRUE(agent.ctx.lock());
    ASSERT_TRUE(agent.ctx.setTimer(&timer, &agent, &Agent::onTimer));
    clock.advance(seconds(1));
    ASSERT_TRUE(waitFor([&] { return timer.pendingCount() == 0; }));
    // The first run completes and a second one starts with a fresh timer.
    agent.ctx.killTimer();
    agent.ctx.unlock(End);
    ASSERT_TRUE(agent.ctx.lock());
    agent.ctx.fTimeout = 5;
    ASSERT_TRUE(agent.ctx.setTimer(&timer, &agent, &Agent::onTimer));
    lock.unlock();
    ASSERT_TRUE(waitFor([&] { return agent.staleExpiries.load() == 1; }));
    std::lock_guard<std::mutex> again(agent.mux);
    EXPECT_EQ(agent.ctx.fstate, Running);
    EXPECT_NE(agent.ctx.timerData, nullptr);
}

TEST_F(TimerContextTest, SetTimerFailsWhenTheTimerThreadIsDown) {
    timer.shutdown();
    agent.ctx.fTimeout = 1;
    EXPECT_FALSE(agent.ctx.setTimer(&timer, &agent, &Agent::onTimer));
    EXPECT_EQ(agent.ctx.timerData, nullptr);
    EXPECT_FALSE(agent.ctx.setTimer(nullptr, &agent, &Agent::onTimer));
}

TEST(RPCContext, MissingCallbacksAreReportedAndSkipped) {
    Handler h;
    Ctx none(-1, &h, nullptr, nullptr);
    EXPECT_FALSE(none.hasResponse());
    EXPECT_FALSE(none.hasNotify());
    RPCReqStatus st(End, 0, AGENT_SUCCESS);
    EXPECT_FALSE(none.respond(-1, &st));
    EXPECT_FALSE(none.notify(static_cast<unsigned char>(0), &st));
    EXPECT_EQ(h.responses + h.notifications, 0);

    Ctx noHandler(3, nullptr, &Handler::onResponse, &Handler::onNotify);
    EXPECT_FALSE(noHandler.hasResponse());
    EXPECT_FALSE(noHandler.respond(3, &st));

    Ctx both(7, &h, &Handler::onResponse, &Handler::onNotify);
    EXPECT_TRUE(both.respond(both.getSessionId(), &st));
    EXPECT_EQ(h.responses, 1);
    EXPECT_EQ(h.lastSession, 7);
    Ctx copy = both;  // agents keep a copy, never the caller's object
    copy.setSessionId(9);
    EXPECT_EQ(both.getSessionId(), 7);
    EXPECT_TRUE(copy.notify(static_cast<unsigned char>(1), &st));
    EXPECT_EQ(h.notifications, 1);
    // A context kind without notification has none by type.
    RPCContext<Handler, ResF, NoCb> responseOnly(1, &h, &Handler::onResponse, nullptr);
    EXPECT_TRUE(responseOnly.hasResponse());
    EXPECT_FALSE(responseOnly.hasNotify());
    EXPECT_FALSE(responseOnly.notify(&st));
}

// The compiled agents reply through a ReplyPath built from the caller's RPCContext: it must
// reach the same operations of the same handler, and know a shared listener operation.
TEST(ReplyPath, BuiltFromAContextCallsTheHandlersOperationsAndKnowsTheirTarget) {
    Handler h;
    Handler other;
    RPCReqStatus st(End, 0, AGENT_SUCCESS);
    const Ctx both(7, &h, &Handler::onResponse, &Handler::onNotify);
    auto path = replyPathOf(both);
    EXPECT_EQ(path.getSessionId(), 7);
    EXPECT_TRUE(path.hasResponse());
    EXPECT_TRUE(path.hasNotify());
    EXPECT_TRUE(path.respond(path.getSessionId(), &st));
    EXPECT_TRUE(path.notify(static_cast<unsigned char>(2), &st));
    EXPECT_EQ(h.responses, 1);
    EXPECT_EQ(h.lastSession, 7);
    EXPECT_EQ(h.notifications, 1);

    const auto none = replyPathOf(Ctx(3, nullptr, &Handler::onResponse, &Handler::onNotify));
    EXPECT_FALSE(none.hasResponse());
    EXPECT_FALSE(none.hasNotify());
    EXPECT_FALSE(none.respond(3, &st));
    const auto responseOnly = replyPathOf(Ctx(4, &h, &Handler::onResponse, nullptr));
    EXPECT_TRUE(responseOnly.hasResponse());
    EXPECT_FALSE(responseOnly.hasNotify());

    // Same handler and operation: the same target, whatever the session.
    EXPECT_TRUE(path.notifiesTheSame(replyPathOf(Ctx(8, &h, nullptr, &Handler::onNotify))));
    EXPECT_TRUE(both.notifiesTheSame(Ctx(8, &h, nullptr, &Handler::onNotify)));
    EXPECT_FALSE(path.notifiesTheSame(replyPathOf(Ctx(8, &other, nullptr, &Handler::onNotify))));
    EXPECT_FALSE(path.notifiesTheSame(responseOnly));
    EXPECT_FALSE(responseOnly.notifiesTheSame(responseOnly));

    // A path made by hand (a test's callables) has no target to compare.
    ReplyPathOf<Handler, ResF, NotF> byHand(
        1, [](int, RPCReqStatus*) -> void* { return nullptr; },
        [](unsigned char, RPCReqStatus*) -> void* { return nullptr; });
    EXPECT_TRUE(byHand.hasNotify());
    EXPECT_FALSE(byHand.notifiesTheSame(byHand));

    // A facade without a caller context hands on no path.
    const Ctx* absent = nullptr;
    EXPECT_TRUE(withReplyPath(absent, [](auto* p) { return p == nullptr; }));
    EXPECT_EQ(withReplyPath(&both, [](auto* p) { return p->getSessionId(); }), 7);
}

TEST(RPCReqStatus, BuiltFromAContextCopiesStateAndKnowsIfAsynchronous) {
    Handler h;
    FeatureControl fc;
    fContext<Handler, Agent, ResF, NotF> ctx(&fc, FEATURE_INQUIRY);
    ctx.lock();
    ctx.result = 1;
    ctx.rpcContext = Ctx(-1, &h, &Handler::onResponse, &Handler::onNotify);
    RPCReqStatus st(ctx, TIMER_EXPIRED);
    EXPECT_EQ(st.getFState(), Running);
    EXPECT_EQ(st.getFResult(), 1);
    EXPECT_EQ(st.getReturnValue(), TIMER_EXPIRED);
    EXPECT_TRUE(st.isReqAsynch());

    ctx.rpcContext = Ctx(-1, &h, &Handler::onResponse, nullptr);
    EXPECT_FALSE(RPCReqStatus(ctx, AGENT_SUCCESS).isReqAsynch());

    RPCReqStatus plain(NotAvailable, -1, AGENT_BUSY);
    EXPECT_FALSE(plain.isReqAsynch());
    RPCReqStatus asynch(End, 0, AGENT_SUCCESS, true);
    EXPECT_TRUE(asynch.isReqAsynch());
}
