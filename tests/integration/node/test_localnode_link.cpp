#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <memory>
#include <thread>

#include "AdapterFixture.h"
#include "support/RecordingHandler.h"

using LN = LocalNode<RecordingHandler>;
using zbsim::Packet;

// What a stream prints while the object lives, in a file the test may read at any moment (the
// lines come from the reader thread, after the state that a test waits for).
class PrintedLines {
  public:
    PrintedLines(FILE* stream, int fd) : stream(stream), fd(fd) {
        file = mkstemp(name);
        std::fflush(stream);
        saved = dup(fd);
        dup2(file, fd);
    }
    ~PrintedLines() {
        std::fflush(stream);
        dup2(saved, fd);
        close(saved);
        close(file);
        std::remove(name);
    }
    PrintedLines(const PrintedLines&) = delete;
    PrintedLines& operator=(const PrintedLines&) = delete;
    bool ok() const { return file >= 0 && saved >= 0; }
    // True once `text` was printed.
    bool show(const std::string& text) {
        return waitFor([&] {
            std::ifstream in(name);
            return std::string(std::istreambuf_iterator<char>(in), {}).find(text) !=
                   std::string::npos;
        });
    }

  private:
    FILE* stream;
    int fd;
    char name[32] = "/tmp/orq_node_printedXXXXXX";
    int file = -1;
    int saved = -1;
};

class LocalNodeLinkTest : public LinkedNodeTest<RecordingHandler> {
  protected:
    void init() {
        link(ORQ_NODE_TEST_NETWORK, baseConfig());
        LN::CreateCallbackCtxt listener(-1, &h, nullptr,
                                        &RecordingHandler::gwStatusChanged_gwDescriptor_NtfCb);
        node->createCallback(&listener, nullptr);
    }
    bool reached(int state, size_t times = 1) {
        size_t n = 0;
        for (const auto& c : h.named("gwStatusChanged_gwDescriptor_NtfCb")) {
            n += c.gwState == state;
        }
        return n >= times;
    }
    void expectRootIsTheModule() {
        Node* root = zb->getDb()->getRoot();
        ASSERT_NE(root, nullptr);
        uint16_t moduleNwk = 0xFFFF;
        uint64_t moduleIeee = 0;
        peer.withModule([&](zbsim::Module& mod, zbsim::Network& net) {
            moduleNwk = net.module().nwk;
            moduleIeee = mod.ieee();
        });
        EXPECT_EQ(root->get_nwk_addr(), moduleNwk);
        auto ieee = bigEndian(moduleIeee);
        EXPECT_EQ(std::memcmp(root->get_ieee_addr(), ieee.data(), 8), 0);
    }
};

TEST_F(LocalNodeLinkTest, StartsTheNetworkAsCoordinatorAndAnswersTheStart) {
    init();
    LN::StartGatewayDeviceCtxt ctx(-1, &h, &RecordingHandler::startup_RspCb, nullptr);
    PrintedLines out(stdout, STDOUT_FILENO);
    ASSERT_TRUE(out.ok());
    EXPECT_EQ(node->startGatewayDevice(4294967295UL, nullptr, &ctx), AGENT_SUCCESS);
    ASSERT_TRUE(waitFor([&] { return h.count("startup_RspCb") == 1; }));
    // The banner follows the running state (the root is announced in between).
    EXPECT_TRUE(
        out.show("Device started (ORQ shortAddr = 0x0000 - ORQ IEEE address = "
                 "00:12:4b:00:00:00:00:a1 - Channel Mask = 20)"));
    auto r = h.named("startup_RspCb")[0];
    EXPECT_EQ(r.commandStatus, 0);
    EXPECT_EQ(r.session, -1);
    EXPECT_EQ(r.state, Running);
    EXPECT_EQ(r.error, AGENT_SUCCESS);
    EXPECT_EQ(zb->getGWStatus(), GW_RUNNING);
    EXPECT_EQ(node->getGwDescriptor()->getGwState(), GW_RUNNING);
    EXPECT_EQ(node->getGwDescriptor()->getGwStateDescription(), "GW successfully started");
    EXPECT_TRUE(reached(GW_STARTING));
    expectRootIsTheModule();
    EXPECT_TRUE(exits.empty());
}

TEST_F(LocalNodeLinkTest, FormationFailureGivesState4Error11AfterTwoRetries) {
    init();
    peer.onGatewayPacket([](const Packet& p, zbsim::Module& mod) {
        if (p.group == 0xA3 && p.id == 0xE7) {
            mod.failNextStart(0xC4);
        }
    });
    LN::StartGatewayDeviceCtxt ctx(33, &h, &RecordingHandler::startup_RspCb, nullptr);
    EXPECT_EQ(node->startGatewayDevice(4294967295UL, nullptr, &ctx), AGENT_SUCCESS);
    ASSERT_TRUE(waitFor([&] { return h.count("startup_RspCb") == 1; }));
    auto r = h.named("startup_RspCb")[0];
    EXPECT_EQ(r.session, 33);
    EXPECT_EQ(r.commandStatus, 0xC4);
    EXPECT_EQ(r.state, Canceled);
    EXPECT_EQ(r.error, GW_STARTUP_FORMING_NETWORK_FAILED);
    EXPECT_EQ(peer.countSent(0xA3, 0xE7), 3u);
    EXPECT_TRUE(waitFor([&] { return reached(GW_ERROR); }));  // told after the answer
    EXPECT_EQ(zb->getDb()->getRoot(), nullptr);
    // The reset after the failure readies the gateway for a new start; the failure stays
    // visible until a start succeeds.
    ASSERT_TRUE(
        waitFor([&] { return node->getGwDescriptor()->getGwState() == GW_ZNP_INITIALIZED; }));
    GwDescriptor seen = *node->getGwDescriptor();
    EXPECT_EQ(seen.getGwState(), GW_ZNP_INITIALIZED);
    EXPECT_EQ(seen.getErrorCode(), GW_FORMING_FAILED);
}

TEST_F(LocalNodeLinkTest, ResetRequestIsAnsweredThroughItsContext) {
    init();
    LN::ResetCommandCtxt ctx(44, &h, &RecordingHandler::resetCommand_RspCb,
                             &RecordingHandler::resetCommand_NtfCb);
    PrintedLines out(stdout, STDOUT_FILENO);
    ASSERT_TRUE(out.ok());
    EXPECT_EQ(node->resetRequest(4, &ctx), AGENT_SUCCESS);
    EXPECT_EQ(node->getLastResetOptions(), 6);
    ASSERT_TRUE(waitFor([&] { return h.count("resetCommand_NtfCb") == 1; }));
    auto n = h.named("resetCommand_NtfCb")[0];
    EXPECT_EQ(n.commandStatus, 0);
    EXPECT_EQ(n.state, Idle);
    EXPECT_EQ(n.error, AGENT_SUCCESS);
    EXPECT_EQ(h.named("resetCommand_RspCb").at(0).state, Running);
    ASSERT_TRUE(waitFor([&] { return zb->getGWStatus() == GW_ZNP_INITIALIZED; }));
    EXPECT_EQ(peer.countSent(0xA3, 0x08), 1u);
    EXPECT_EQ(peer.countSent(0xA3, 0xE7), 0u);  // no restart: nothing written, nothing started
    EXPECT_EQ(peer.countSent(0x50, 0x01), 0u);
    EXPECT_TRUE(
        out.show("Gateway initialized (waiting for startup) - StartupMode = 0x00 (Commissioning)"));
    // The reset is over: a second one is accepted.
    LN::ResetCommandCtxt again(45, &h, &RecordingHandler::resetCommand_RspCb, nullptr);
    EXPECT_EQ(node->resetRequest(5, &again), AGENT_SUCCESS);
    ASSERT_TRUE(waitFor([&] { return zb->getGWStatus() == GW_RUNNING; }));  // 5: with restart
    EXPECT_EQ(h.named("resetCommand_RspCb").back().session, 45);
}

// A start while running, then a reset with restart, each enter the start-up chain afresh.
TEST_F(LocalNodeLinkTest, AStartWhileRunningAndAResetWithRestartRunAgain) {
    init();
    LN::StartGatewayDeviceCtxt ctx(-1, &h, &RecordingHandler::startup_RspCb, nullptr);
    node->startGatewayDevice(0, nullptr, &ctx);
    ASSERT_TRUE(waitFor([&] { return h.count("startup_RspCb") == 1; }));
    // The listeners hear of the running state after the start is answered; the descriptor
    // they read must not be the next request's already.
    ASSERT_TRUE(waitFor([&] { return reached(GW_RUNNING); }));
    LN::StartGatewayDeviceCtxt again(8, &h, &RecordingHandler::startup_RspCb, nullptr);
    EXPECT_EQ(node->startGatewayDevice(0, nullptr, &again), AGENT_SUCCESS);
    ASSERT_TRUE(waitFor([&] { return h.count("startup_RspCb") == 2; }));
    EXPECT_EQ(h.named("startup_RspCb")[1].session, 8);
    EXPECT_EQ(peer.countSent(0xA3, 0xE7), 2u);
    expectRootIsTheModule();
    ASSERT_TRUE(waitFor([&] { return reached(GW_RUNNING, 2); }));
    LN::ResetCommandCtxt reset(3, &h, &RecordingHandler::resetCommand_RspCb, nullptr);
    EXPECT_EQ(node->resetRequest(ZB_RESET_OPT_RESTART_GW, &reset), AGENT_SUCCESS);
    ASSERT_TRUE(waitFor([&] { return h.count("resetCommand_RspCb") == 1; }));
    EXPECT_TRUE(waitFor([&] { return reached(GW_RUNNING, 3); }));
    EXPECT_EQ(peer.countSent(0xA3, 0xE7), 3u);
    expectRootIsTheModule();
}

// The link lost during a start fails that start; while it is down, start and reset requests are
// refused at once.
TEST_F(LocalNodeLinkTest, ALostLinkFailsTheStartAndRefusesLaterRequests) {
    init();
    peer.onGatewayPacket([this](const Packet& p, zbsim::Module&) {
        if (p.group == 0xA3 && p.id == 0x08) {
            peer.unplug();
        }
    });
    testing::internal::CaptureStderr();
    LN::StartGatewayDeviceCtxt ctx(51, &h, &RecordingHandler::startup_RspCb, nullptr);
    EXPECT_EQ(node->startGatewayDevice(0, nullptr, &ctx), AGENT_SUCCESS);
    bool answered = waitFor([&] { return h.count("startup_RspCb") == 1; });
    std::string err = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(answered);
    auto r = h.named("startup_RspCb")[0];
    EXPECT_EQ(r.session, 51);
    EXPECT_EQ(r.state, Canceled);
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.error, AGENT_ERROR);
    EXPECT_NE(err.find("ERROR: the ZigBee device link is lost"), std::string::npos) << err;
    EXPECT_EQ(node->getGwDescriptor()->getGwState(), GW_ERROR);

    for (int session : {52, 53}) {
        LN::StartGatewayDeviceCtxt again(session, &h, &RecordingHandler::startup_RspCb, nullptr);
        EXPECT_EQ(node->startGatewayDevice(0, nullptr, &again), AGENT_ERROR);
        auto refused = h.named("startup_RspCb").back();
        EXPECT_EQ(refused.session, session);
        EXPECT_EQ(refused.state, NotAvailable);
        EXPECT_EQ(refused.error, AGENT_ERROR);
    }
    LN::ResetCommandCtxt reset(54, &h, &RecordingHandler::resetCommand_RspCb, nullptr);
    EXPECT_EQ(node->resetRequest(ZB_RESET_OPT_RESTART_GW, &reset), AGENT_ERROR);
    ASSERT_EQ(h.count("resetCommand_RspCb"), 1u);
    EXPECT_EQ(h.named("resetCommand_RspCb")[0].error, AGENT_ERROR);
}

// A state listener that starts the gateway again when a start fails gets its own answer: the
// failed request is answered (once) before the listeners hear of the failure, and no listener
// is called with the node's lock held.
TEST_F(LocalNodeLinkTest, AListenerThatRestartsAfterAFailureGetsItsOwnAnswer) {
    init();
    // Owned by the hook too: the module peer's thread may run it until the peer stops.
    auto startsToFail = std::make_shared<std::atomic<int>>(3);
    peer.onGatewayPacket([startsToFail](const Packet& p, zbsim::Module& mod) {
        if (p.group == 0xA3 && p.id == 0xE7 && startsToFail->load() > 0) {
            --*startsToFail;
            mod.failNextStart(0xC4);
        }
    });
    // Shared with the listener, which may still be told of the link closing after the test.
    struct Restart {
        std::atomic<bool> done{false};
        std::atomic<bool> nodeFreeInListener{false};
        LN::StartGatewayDeviceCtxt ctx;
        std::thread other;
    };
    auto restart = std::make_shared<Restart>();
    restart->ctx = LN::StartGatewayDeviceCtxt(72, &h, &RecordingHandler::startup_RspCb, nullptr);
    h.onStatus = [this, restart](int state) {
        if (state != GW_ERROR || restart->done.exchange(true)) {
            return;
        }
        // Another thread can take the node's lock while the listener runs.
        auto taken = std::make_shared<std::atomic<bool>>(false);
        restart->other = std::thread([this, taken] {
            node->getStartTimeoutSeconds();
            *taken = true;
        });
        restart->nodeFreeInListener = waitFor([&] { return taken->load(); });
        node->startGatewayDevice(0, nullptr, &restart->ctx);
    };
    LN::StartGatewayDeviceCtxt first(71, &h, &RecordingHandler::startup_RspCb, nullptr);
    EXPECT_EQ(node->startGatewayDevice(0, nullptr, &first), AGENT_SUCCESS);
    bool twoAnswers = waitFor([&] { return h.count("startup_RspCb") == 2; });
    ASSERT_TRUE(waitFor([&] { return restart->done.load(); }));
    restart->other.join();
    ASSERT_TRUE(twoAnswers);
    ASSERT_TRUE(waitFor([&] { return zb->getGWStatus() == GW_RUNNING; }));
    auto answers = h.named("startup_RspCb");
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(answers[0].session, 71);
    EXPECT_EQ(answers[0].error, GW_STARTUP_FORMING_NETWORK_FAILED);
    EXPECT_EQ(answers[1].session, 72);
    EXPECT_EQ(answers[1].error, AGENT_SUCCESS);
    EXPECT_TRUE(restart->nodeFreeInListener.load());
}
