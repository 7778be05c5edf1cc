#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "GWManagement.h"
#include "LocalNodeCore.h"
#include "ManagementCore.h"
#include "TimerThread.h"
#include "support/CallLog.h"
#include "support/TestConfig.h"
#include "support/WaitFor.h"

using std::chrono::milliseconds;

namespace {
// What a plain callable of a reply path was handed.
struct Reply {
    std::string op;
    int session;  // -1: a notification
    int status;   // the command or confirm status; -1 for none
    fState_t state;
    int result;
    AgentError error;
};

class Replies {
  public:
    void add(const char* op, int session, int status, const RPCReqStatus* st) {
        std::lock_guard<std::mutex> lock(mux);
        seen.push_back(
            {op, session, status, st->getFState(), st->getFResult(), st->getReturnValue()});
    }
    std::vector<Reply> named(const std::string& op) { return callsNamed(mux, seen, op); }
    size_t count(const std::string& op) { return named(op).size(); }

  private:
    std::mutex mux;
    std::vector<Reply> seen;
};
}  // namespace

// The compiled management agent without any handler class: reply paths of plain callables,
// an adapter without a link, responses called as the reader thread would, a clock the test
// moves.
class ManagementCoreTest : public ::testing::Test {
  protected:
    ManagementCoreTest() {
        zb.setGWStatus(GW_RUNNING, 0);
        core.init();
    }
    ManagementCore::PermitJoinPath permitJoinPath(int session) {
        return ManagementCore::PermitJoinPath(
            session, [this](unsigned char status, int s, RPCReqStatus* st) -> void* {
                replies.add("permitJoin response", s, status, st);
                return nullptr;
            });
    }
    ManagementCore::LeavePath leavePath(int session) {
        return ManagementCore::LeavePath(
            session,
            [this](int s, RPCReqStatus* st) -> void* {
                replies.add("leave response", s, -1, st);
                return nullptr;
            },
            [this](unsigned char, int status, RPCReqStatus* st) -> void* {
                replies.add("leave notify", -1, status, st);
                return nullptr;
            });
    }

    TestConfig config{"[main]\n"};
    OrqZbIf zb{config.get()};
    ManualTimerClock clock;
    ManagementCore core{&zb, config.get(), &clock};
    Replies replies;
};

TEST_F(ManagementCoreTest, APermitJoinKeepsItsOwnCopyOfThePathAndExpiresOnTheInjectedClock) {
    {
        ManagementCore::PermitJoinPath path = permitJoinPath(3);
        ASSERT_EQ(core.permitJoin(0xFFFC, 30, false, 1, &path), AGENT_SUCCESS);
    }  // the caller's path is gone; the stored copy still answers
    EXPECT_EQ(replies.count("permitJoin response"), 0u);
    clock.advance(milliseconds(1000));
    ASSERT_TRUE(waitFor([&] { return replies.count("permitJoin response") == 1; }));
    Reply r = replies.named("permitJoin response")[0];
    EXPECT_EQ(r.session, 3);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.error, TIMER_EXPIRED);
    EXPECT_EQ(r.result, 1);
    // The late response finds the operation ended.
    core.permitJoinNotify_Cb(0);
    EXPECT_EQ(replies.count("permitJoin response"), 1u);
}

TEST_F(ManagementCoreTest, ALeaveIsAnsweredAtOnceThenNotifiedOnceAndRefusedOffTheNetwork) {
    ManagementCore::LeavePath path = leavePath(5);
    ASSERT_EQ(core.leaveRequest(0x1101, true, false, &path), AGENT_SUCCESS);
    auto answered = replies.named("leave response");
    ASSERT_EQ(answered.size(), 1u);
    EXPECT_EQ(answered[0].session, 5);
    EXPECT_EQ(answered[0].state, Running);
    core.leaveCommandNotify_Cb(0x84);
    core.leaveCommandNotify_Cb(0);  // another node's response tells nobody
    auto notified = replies.named("leave notify");
    ASSERT_EQ(notified.size(), 1u);
    EXPECT_EQ(notified[0].status, 0x84);

    zb.setGWStatus(GW_STARTING, 0);
    EXPECT_EQ(core.leaveRequest(0x1101, false, false, &path), ORQ_NOT_RUNNING);
    answered = replies.named("leave response");
    ASSERT_EQ(answered.size(), 2u);
    EXPECT_EQ(answered[1].error, ORQ_NOT_RUNNING);
}

// The compiled local node on an adapter without a link, replying through plain callables.
class LocalNodeCoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(config.loaded);
        core.setExitHandler([this](int s) { exits.push_back(s); });
        testing::internal::CaptureStderr();
        core.init("zigbee:///nonexistent/orq-tty?dongle=freescale");
        testing::internal::GetCapturedStderr();
        zb.setGWStatus(GW_ZNP_INITIALIZED, 0);
    }
    LocalNodeCore::ResetPath resetPath(int session) {
        return LocalNodeCore::ResetPath(
            session,
            [this](int s, RPCReqStatus* st) -> void* {
                replies.add("reset response", s, -1, st);
                return nullptr;
            },
            [this](unsigned char status, RPCReqStatus* st) -> void* {
                replies.add("reset notify", -1, status, st);
                return nullptr;
            });
    }

    TestConfig config{
        "[main]\nplatform = 1\n"
        "[DefaultStartupAttributeSet]\nDeviceType = 1\nChannelMask = 15\nPANId = 0x1234\n"};
    OrqZbIf zb{config.get()};
    ManualTimerClock clock;
    LocalNodeCore core{&zb, config.get(), &clock};
    std::vector<int> exits;
    Replies replies;
};

TEST_F(LocalNodeCoreTest, AResetWaitingForItsConfirmIsAnsweredOnceWhenTheModuleGoesAway) {
    LocalNodeCore::ResetPath path = resetPath(9);
    ASSERT_EQ(core.resetRequest(4, &path), AGENT_SUCCESS);
    ASSERT_EQ(replies.count("reset response"), 1u);  // accepted, asynchronously
    zb.setGWStatus(GW_ERROR, GW_FORMING_FAILED);
    zb.ZDO_RESET_confirm(0, 0);  // too late: the reset has its answer
    auto notified = replies.named("reset notify");
    ASSERT_EQ(notified.size(), 1u);
    EXPECT_EQ(notified[0].status, 255);
    EXPECT_EQ(notified[0].error, AGENT_ERROR);
    EXPECT_EQ(notified[0].result, 1);
    // The feature bit was given back: the next reset runs and completes.
    zb.setGWStatus(GW_ZNP_INITIALIZED, 0);
    ASSERT_EQ(core.resetRequest(4, &path), AGENT_SUCCESS);
    zb.ZDO_RESET_confirm(0, 0);
    notified = replies.named("reset notify");
    ASSERT_EQ(notified.size(), 2u);
    EXPECT_EQ(notified[1].error, AGENT_SUCCESS);
}
