#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <thread>

#include "CLocalNode.h"
#include "support/RecordingHandler.h"
#include "support/TestConfig.h"
#include "support/WaitFor.h"

using std::chrono::milliseconds;
using std::chrono::seconds;
using LN = LocalNode<RecordingHandler>;

namespace {
const char* kConfig =
    "[main]\nplatform = 1\n"
    "[DefaultStartupAttributeSet]\nDeviceType = 1\nChannelMask = 15\nPANId = 0x1234\n";
}  // namespace

// A local node on an adapter without a link: the state table and the replies are driven
// through the adapter's state, time through a manual clock.
class LocalNodeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(config.loaded);
        node = std::make_unique<LN>(&zb, config.get(), &clock);
        node->setExitHandler([this](int s) { exits.push_back(s); });
        // No device: the link cannot open, which would end the process.
        testing::internal::CaptureStderr();
        node->init("zigbee:///nonexistent/orq-tty?dongle=freescale");
        linkError = testing::internal::GetCapturedStderr();
        zb.setGWStatus(GW_ZNP_INITIALIZED, 0);
    }
    void TearDown() override { node.reset(); }

    LN::StartGatewayDeviceCtxt startCtx(bool withNotify, int session = 7) {
        return LN::StartGatewayDeviceCtxt(session, &handler, &RecordingHandler::startup_RspCb,
                                          withNotify ? &RecordingHandler::startup_NtfCb : nullptr);
    }

    TestConfig config{kConfig};
    OrqZbIf zb{config.get()};
    ManualTimerClock clock;
    RecordingHandler handler;
    std::vector<int> exits;
    std::string linkError;
    std::unique_ptr<LN> node;
};

TEST_F(LocalNodeTest, ALinkThatCannotOpenEndsTheProcessWithStatus1AndSaysWhich) {
    ASSERT_EQ(exits, std::vector<int>{EXIT_LINK_FAILURE});
    EXPECT_NE(linkError.find("cannot open the ZigBee device "
                             "\"zigbee:///nonexistent/orq-tty?dongle=freescale\" "
                             "(No such file or directory) - exit\n"),
              std::string::npos)
        << linkError;
    EXPECT_EQ(zb.getConnectFailure(), "No such file or directory");
}

TEST_F(LocalNodeTest, ShortTimeoutArmsOneSecondStartsNothingThenExpires) {
    LN::CreateCallbackCtxt listener(-1, &handler, nullptr,
                                    &RecordingHandler::gwStatusChanged_gwDescriptor_NtfCb);
    node->createCallback(&listener, nullptr);
    auto ctx = startCtx(true);
    EXPECT_EQ(node->startGatewayDevice(500, nullptr, &ctx), AGENT_SUCCESS);
    EXPECT_EQ(node->getStartTimeoutSeconds(), 1);
    EXPECT_FALSE(node->isStartTaskRunning());
    EXPECT_EQ(zb.getGWStatus(), GW_ZNP_INITIALIZED);  // nothing was started
    EXPECT_EQ(zb.getLastResetOptions(), 0);
    // Accepted at once, asynchronously.
    auto accepted = handler.named("startup_RspCb");
    ASSERT_EQ(accepted.size(), 1u);
    EXPECT_EQ(accepted[0].commandStatus, 255);
    EXPECT_TRUE(accepted[0].asynch);

    clock.advance(milliseconds(1000));
    ASSERT_TRUE(waitFor([&] { return handler.count("startup_NtfCb") == 1; }));
    auto expired = handler.named("startup_NtfCb")[0];
    EXPECT_EQ(expired.commandStatus, 255);
    EXPECT_EQ(expired.error, TIMER_EXPIRED);
    EXPECT_EQ(expired.result, 1);

    // The request has its answer; later state events still reach the descriptor and listeners.
    zb.setGWStatus(GW_RUNNING, 0);
    EXPECT_EQ(node->getGwDescriptor()->getGwState(), GW_RUNNING);
    EXPECT_EQ(handler.named("gwStatusChanged_gwDescriptor_NtfCb").back().gwState, GW_RUNNING);
    EXPECT_EQ(handler.count("startup_NtfCb"), 1u);
    EXPECT_EQ(handler.count("startup_RspCb"), 1u);
}

TEST_F(LocalNodeTest, StartWhileStartingOrInAnUnknownStateIsRefusedOnce) {
    const std::pair<int, AgentError> cases[] = {{GW_STARTING, GW_STARTUP_ALREADY_CALLED},
                                                {GW_STOPPED, INVALID_GW_STATUS}};
    size_t answers = 0;
    for (const auto& c : cases) {
        zb.setGWStatus(c.first, 0);
        auto ctx = startCtx(false, 11);
        EXPECT_EQ(node->startGatewayDevice(0, nullptr, &ctx), c.second);
        auto r = handler.named("startup_RspCb");
        ASSERT_EQ(r.size(), ++answers);
        EXPECT_EQ(r.back().commandStatus, 255);
        EXPECT_EQ(r.back().session, 11);
        EXPECT_EQ(r.back().result, 1);
        EXPECT_EQ(r.back().error, c.second);
    }
}

TEST_F(LocalNodeTest, RunningStateAnswersAResponseOnlyStartOnceWithTheCommandStatus) {
    auto ctx = startCtx(false, 21);
    EXPECT_EQ(node->startGatewayDevice(5000, nullptr, &ctx), AGENT_SUCCESS);
    EXPECT_EQ(node->getStartTimeoutSeconds(), 5);
    ASSERT_TRUE(waitFor([&] { return !node->isStartTaskRunning(); }));
    EXPECT_EQ(handler.count("startup_RspCb"), 0u);  // no notification: no early answer
    zb.setGWStatus(GW_RUNNING, 0, 0x42);
    auto r = handler.named("startup_RspCb");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].commandStatus, 0x42);
    EXPECT_EQ(r[0].session, 21);
    EXPECT_EQ(r[0].state, Running);
    EXPECT_EQ(r[0].error, AGENT_SUCCESS);
    EXPECT_EQ(node->getStartTimeoutSeconds(), 0);  // the time-out was removed
    // Answered once: a later state event answers nothing more.
    zb.setGWStatus(GW_RUNNING, 0, 0x43);
    EXPECT_EQ(handler.count("startup_RspCb"), 1u);
    EXPECT_EQ(node->getGwDescriptor()->getGwState(), GW_RUNNING);
}

TEST_F(LocalNodeTest, FormingFailureAnswersTheStartWithItsError) {
    auto ctx = startCtx(true, 3);
    EXPECT_EQ(node->startGatewayDevice(2000, nullptr, &ctx), AGENT_SUCCESS);
    // The start task ran start(): the adapter is starting.
    ASSERT_TRUE(waitFor([&] { return !node->isStartTaskRunning(); }));
    EXPECT_EQ(zb.getGWStatus(), GW_STARTING);
    EXPECT_EQ(zb.getLastResetOptions(), 0x07);
    zb.setGWStatus(GW_ERROR, GW_FORMING_FAILED, 0xC4);
    auto n = handler.named("startup_NtfCb");
    ASSERT_EQ(n.size(), 1u);
    EXPECT_EQ(n[0].commandStatus, 0xC4);
    EXPECT_EQ(n[0].state, Canceled);
    EXPECT_EQ(n[0].error, GW_STARTUP_FORMING_NETWORK_FAILED);
    EXPECT_EQ(node->getGwDescriptor()->getErrorCode(), GW_FORMING_FAILED);

    zb.setGWStatus(GW_ZNP_INITIALIZED, 0);
    auto ctx2 = startCtx(false, 4);
    EXPECT_EQ(node->startGatewayDevice(2000, nullptr, &ctx2), AGENT_SUCCESS);
    ASSERT_TRUE(waitFor([&] { return !node->isStartTaskRunning(); }));
    zb.setGWStatus(GW_ERROR, GW_JOINING_FAILED, 0xCA);
    auto r = handler.named("startup_RspCb");
    ASSERT_EQ(r.size(), 2u);  // the first start's acceptance, then this answer
    EXPECT_EQ(r[1].session, 4);
    EXPECT_EQ(r[1].error, GW_STARTUP_JOINING_NETWORK_FAILED);
    EXPECT_EQ(r[1].result, 1);
}

TEST_F(LocalNodeTest, StateListenersAreToldEveryChangeInOrder) {
    LN::CreateCallbackCtxt first(-1, &handler, nullptr,
                                 &RecordingHandler::gwStatusChanged_gwDescriptor_NtfCb);
    LN::CreateCallbackRspCtxt rsp(-1, &handler, &RecordingHandler::gwDescriptorLocal_RspCb,
                                  nullptr);
    EXPECT_EQ(node->createCallback(&first, &rsp), 0);
    auto created = handler.named("gwDescriptorLocal_RspCb");
    ASSERT_EQ(created.size(), 1u);
    EXPECT_EQ(created[0].state, End);
    EXPECT_EQ(created[0].error, AGENT_SUCCESS);
    node->createCallback(&first, nullptr);
    zb.setGWStatus(GW_STARTING, 0);
    zb.setGWStatus(GW_RUNNING, 0);
    auto told = handler.named("gwStatusChanged_gwDescriptor_NtfCb");
    ASSERT_EQ(told.size(), 4u);
    EXPECT_EQ(told[0].gwState, GW_STARTING);
    EXPECT_EQ(told[1].gwState, GW_STARTING);
    EXPECT_EQ(told[2].gwState, GW_RUNNING);
    EXPECT_EQ(told[0].state, Running);
    EXPECT_EQ(node->getGwDescriptor()->getGwStateDescription(), "GW successfully started");
}

TEST_F(LocalNodeTest, NetworkDownRestartsTheGateway) {
    zb.setGWStatus(GW_RUNNING, 0);
    zb.setGWStatus(GW_ERROR, GW_NETWORK_DOWN);
    // start() ran: the adapter is starting and a reset with restart went out.
    EXPECT_EQ(zb.getGWStatus(), GW_STARTING);
    EXPECT_EQ(zb.getLastResetOptions(), 0x07);
}

TEST_F(LocalNodeTest, ResetAddsTheStartModeBitsAndRefusesASecondReset) {
    zb.getDb()->setStartModeSetting(2);
    LN::ResetCommandCtxt ctx(5, &handler, &RecordingHandler::resetCommand_RspCb,
                             &RecordingHandler::resetCommand_NtfCb);
    EXPECT_EQ(node->resetRequest(0, &ctx), AGENT_SUCCESS);
    EXPECT_EQ(node->getLastResetOptions(), 18);
    auto running = handler.named("resetCommand_RspCb");
    ASSERT_EQ(running.size(), 1u);
    EXPECT_EQ(running[0].state, Running);
    // No confirm comes (no link): the reset is still running.
    EXPECT_EQ(node->resetRequest(4, &ctx), AGENT_BUSY);
    auto busy = handler.named("resetCommand_RspCb");
    ASSERT_EQ(busy.size(), 2u);
    EXPECT_EQ(busy[1].state, NotAvailable);
    EXPECT_EQ(busy[1].error, AGENT_BUSY);
    // The confirm completes it through the notification.
    zb.ZDO_RESET_confirm(0, 0);
    auto done = handler.named("resetCommand_NtfCb");
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].commandStatus, 0);
    EXPECT_EQ(done[0].state, Idle);
    EXPECT_EQ(zb.getGWStatus(), GW_ZNP_INITIALIZED);
    // Other start modes.
    zb.getDb()->setStartModeSetting(0);
    EXPECT_EQ(node->resetRequest(4, &ctx), AGENT_SUCCESS);
    EXPECT_EQ(node->getLastResetOptions(), 6);
    zb.ZDO_RESET_confirm(0, 0);
    zb.getDb()->setStartModeSetting(1);
    EXPECT_EQ(node->resetRequest(5, &ctx), AGENT_SUCCESS);
    EXPECT_EQ(node->getLastResetOptions(), 21);
}

// Without a notification the reset is answered through its response: by its confirm, or after
// 5 s without one; a confirm that belongs to no reset request answers nobody.
TEST_F(LocalNodeTest, AResetWithoutNotificationIsAnsweredByItsConfirmOrItsTimeOut) {
    LN::ResetCommandCtxt ctx(9, &handler, &RecordingHandler::resetCommand_RspCb, nullptr);
    EXPECT_EQ(node->resetRequest(4, &ctx), AGENT_SUCCESS);
    EXPECT_EQ(handler.count("resetCommand_RspCb"), 0u);
    zb.ZDO_RESET_confirm(0, 0);
    zb.ZDO_RESET_confirm(0, 0);
    auto r = handler.named("resetCommand_RspCb");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].session, 9);
    EXPECT_EQ(r[0].state, End);
    EXPECT_EQ(r[0].error, AGENT_SUCCESS);

    EXPECT_EQ(node->resetRequest(4, &ctx), AGENT_SUCCESS);
    clock.advance(seconds(5));
    ASSERT_TRUE(waitFor([&] { return handler.count("resetCommand_RspCb") == 2; }));
    r = handler.named("resetCommand_RspCb");
    EXPECT_EQ(r[1].session, 9);
    EXPECT_EQ(r[1].state, Canceled);
    EXPECT_EQ(r[1].error, TIMER_EXPIRED);
    zb.ZDO_RESET_confirm(0, 0);  // too late: answers nobody
    EXPECT_EQ(handler.count("resetCommand_RspCb"), 2u);
    EXPECT_EQ(node->resetRequest(4, &ctx), AGENT_SUCCESS);
}

// Readers take a copy of the descriptor: its state and error always come from one event.
TEST_F(LocalNodeTest, ReadersSeeTheStateAndErrorOfOneEvent) {
    std::atomic<bool> stop{false};
    std::atomic<int> mixed{0};
    std::thread reader([&] {
        while (!stop.load()) {
            GwDescriptor d = *node->getGwDescriptor();
            const int state = d.getGwState();
            const int error = d.getErrorCode();
            if (state == GW_RUNNING ? error != 0
                                    : (state == GW_ERROR && error != GW_JOINING_FAILED)) {
                ++mixed;
            }
        }
    });
    for (int i = 0; i < 2000; ++i) {
        node->gwStatusChanged_Event_Cb(GW_ERROR, GW_JOINING_FAILED, 0);
        node->gwStatusChanged_Event_Cb(GW_RUNNING, 0, 0);
    }
    stop = true;
    reader.join();
    EXPECT_EQ(mixed.load(), 0);
}

TEST_F(LocalNodeTest, StartAsksTheRestartHookAndEmptiesTheDatabaseOutsideNvmMode) {
    int hookCalls = 0;
    node->setRestartHook([&] { ++hookCalls; });
    Node* root = new Node(0);
    zb.getDb()->setRoot(root);
    uchar ieee[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    zb.getDb()->nodeAnnounce(0x1234, ieee, 0);
    node->start();
    EXPECT_EQ(hookCalls, 1);
    EXPECT_EQ(zb.getDb()->getDBNodesSize(), 1);
    zb.getDb()->nodeAnnounce(0x1234, ieee, 0);
    zb.getDb()->setStartModeSetting(1);
    node->start();
    EXPECT_EQ(hookCalls, 1);
    EXPECT_EQ(zb.getDb()->getDBNodesSize(), 2);
    EXPECT_EQ(zb.getLastResetOptions(), 0x15);
}

TEST(LocalNodeConfiguration, ChannelKeyBecomesAMask) {
    const std::pair<int, unsigned long> cases[] = {
        {15, 0x8000UL}, {0, 0x07FFF800UL}, {11, 1UL << 11}, {26, 1UL << 26},
        {27, 0},        {10, 0},           {0x100000, 0}};
    for (const auto& c : cases) {
        unsigned long mask = 0;
        EXPECT_EQ(channelToMask(c.first, &mask), c.second != 0) << c.first;
        EXPECT_EQ(mask, c.second) << c.first;
    }
}

TEST(LocalNodeConfiguration, DefaultSetFromTheConfiguration) {
    TestConfig cfg(
        "[DefaultStartupAttributeSet]\nDeviceType = 7\nChannelMask = 0\nPANId = 0x1A62\n"
        "ExtendedPanId = 0x01 0x02 0x03 0x04 0x05 0x06 0x07 0x08\nStartUpControl = 4\n"
        "SecurityLevel = 5\n"
        "networkKey = 0x10 0x11 0x12 0x13 0x14 0x15 0x16 0x17 0x18 0x19 0x1A 0x1B 0x1C 0x1D "
        "0x1E 0x1F\n");
    StartupAttributeInfo set;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(readDefaultStartupAttributeSet(cfg.get(), nullptr, &set));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("ERROR: Inserted a wrong deviceType value, coordinator will be selected "
                       "instead!"),
              std::string::npos);
    EXPECT_EQ(set.deviceType, 1);
    EXPECT_TRUE(set.isDeviceTypeDefined);
    EXPECT_EQ(set.channelMask, 0x07FFF800UL);
    EXPECT_EQ(set.PANId, 0x1A62);
    EXPECT_EQ(set.extendedPANId[0], 0x01);
    EXPECT_EQ(set.extendedPANId[7], 0x08);
    EXPECT_EQ(set.StartupControl, 4);
    EXPECT_TRUE(set.isStartupControlDefined);
    EXPECT_EQ(set._securityLevel, 5);
    EXPECT_EQ(set.networkKey[0], 0x10);
    EXPECT_EQ(set.networkKey[15], 0x1F);
    // The link key was not given: the built-in default, the same bytes as its hex list.
    uint8_t def[16];
    parseHexArray(kDefaultKeyHexList, def, 16);
    EXPECT_EQ(std::memcmp(set.preconfiguredLinkKey, def, 16), 0);
}

// Configurations the gateway cannot start with end init with their own exit status and say why.
TEST(LocalNodeConfiguration, RefusedConfigurationsEndInitWithTheirOwnStatus) {
    const struct {
        const char* text;
        int status;
        const char* line;
    } cases[] = {
        {"[DefaultStartupAttributeSet]\nChannelMask = 27\n", EXIT_INVALID_CONFIG_CHANNEL,
         "loadDefaultStartAttributeSet - INVALID CHANNEL MASK: 1b"},
        {"[DefaultStartupAttributeSet]\nPANId = 1\n", EXIT_INVALID_CONFIG_CHANNEL,
         "INVALID CHANNEL MASK"},
        // The co-processor holds 9 keys and never confirms a tenth.
        {"[DefaultStartupAttributeSet]\nChannelMask = 15\n[TCKeyTable]\nTCKeyTableSize = 10\n", 9,
         "ERROR: TCKeyTable:TCKeyTableSize = 10 - the co-processor holds at most 9 keys - exit"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        TestConfig cfg(c.text);
        OrqZbIf zb(cfg.get());
        LN node(&zb, cfg.get());
        std::vector<int> exits;
        node.setExitHandler([&](int s) { exits.push_back(s); });
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        node.init("zigbee:///nonexistent?dongle=freescale");
        std::string said = testing::internal::GetCapturedStderr();
        said += testing::internal::GetCapturedStdout();
        EXPECT_EQ(exits, std::vector<int>{c.status});
        EXPECT_NE(said.find(c.line), std::string::npos) << said;
    }
}

TEST(LocalNodeConfiguration, KeyTableEntriesAreReadWithTwoDigitSuffixes) {
    TestConfig cfg(
        "[TCKeyTable]\nTCKeyTableSize = 3\n"
        "IEEEAddress00 = 0xA0 0x00 0x00 0x00 0x00 0x00 0x00 0x01\n"
        "IEEEAddress01 = 0xA1 0x00 0x00 0x00 0x00 0x00 0x00 0x02\n"
        "IEEEAddress02 = 0xA2 0x00 0x00 0x00 0x00 0x00 0x00 0x03\n"
        "TCLinkKey02 = 0x33 0x33 0x33 0x33 0x33 0x33 0x33 0x33 0x33 0x33 0x33 0x33 0x33 0x33 "
        "0x33 0x44\n"
        "IEEEAddress2 = 0xEE 0xEE 0xEE 0xEE 0xEE 0xEE 0xEE 0xEE\n");
    ZbNetDb db;
    readTCKeyTable(cfg.get(), nullptr, &db);
    EXPECT_EQ(db.getTCKeyTableSize(), 3);
    for (int i = 0; i < 3; ++i) {
        tcKeyTableEntry* e = db.getTCKeyTableEntry(i);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(e->keyTableEntryIndex, i);
        EXPECT_EQ(e->ieeeAddress[0], 0xA0 + i);
    }
    EXPECT_EQ(db.getTCKeyTableEntry(2)->preconfiguredLinkKey[15], 0x44);
    EXPECT_EQ(db.getTCKeyTableEntry(0)->preconfiguredLinkKey[0], 0x00);  // absent: zero
    EXPECT_EQ(db.getTCKeyTableEntry(3), nullptr);
    TestConfig none("[main]\nplatform = 1\n");
    ZbNetDb empty;
    readTCKeyTable(none.get(), nullptr, &empty);
    EXPECT_EQ(empty.getTCKeyTableSize(), 0);
}

TEST(GwDescriptor, StateChangesCarryTextAndTimeStamp) {
    GwDescriptor d;
    EXPECT_EQ(d.getTimeStamp(), "");
    EXPECT_EQ(d.getFirmwareVersion(), "5.3.15");
    d.setGwState(GW_ZNP_INITIALIZED);
    EXPECT_EQ(d.getGwStateDescription(), "GW ZigBee Network Processor initialized");
    EXPECT_TRUE(
        std::regex_match(d.getTimeStamp(), std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\+01:00)")))
        << d.getTimeStamp();
    d.setTimeStamp("x");
    d.setErrorCode(GW_ZNP_INITIALIZATION_FAILED);
    EXPECT_EQ(d.getTimeStamp(), "x");  // an error code alone stamps nothing
    EXPECT_EQ(d.getErrorCodeDescription(), "ZigBee Network Processor initialization failed");
    d.setErrorCode(GW_FORMING_FAILED);
    EXPECT_EQ(d.getErrorCodeDescription(), "Unknown GW error");
    d.setGwState(9);
    EXPECT_EQ(d.getGwStateDescription(), "Unknown GW State");
    EXPECT_EQ(GwDescriptor::formatTimeStamp(0).substr(19), "+01:00");
}
