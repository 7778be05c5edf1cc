// The co-processor's side of the serial protocol.
//
// Module receives the packets the gateway sends (after framing is stripped), keeps what a real
// module keeps (mode, IEEE address, attributes, registered end points, start-up attribute set,
// link keys, network state) and answers with the packets the gateway decodes, in the order the
// module sends them. Requests addressed to nodes of the simulated network are answered as those
// nodes would answer. Time is passed in by the caller (milliseconds of a monotonic clock), so
// tests drive it without sleeping; runDue() fires what falls due (the end of a reboot, sensor
// reports, a node rejoining). Answers go to the sink in order. Not thread-safe: one owner thread.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "SimFrame.h"
#include "SimNetwork.h"

namespace zbsim {

// The start-up attribute set as written by the gateway (50 01).
struct StartupAttributes {
    uint16_t shortAddress = 0xFFFF;
    uint64_t extPanId = 0;
    uint64_t apsUseExtPanId = 0;
    uint16_t panId = 0xFFFF;
    uint32_t channelMask = 0;
    uint8_t protocolVersion = 2;
    uint8_t stackProfile = 2;
    uint8_t startupControl = 0;
    uint64_t trustCenterAddress = 0;
    std::array<uint8_t, 16> masterKey{};
    std::array<uint8_t, 16> networkKey{};
    uint8_t useInsecureJoin = 1;
    std::array<uint8_t, 16> preconfiguredLinkKey{};
    uint8_t activeKeySeq = 0;
    uint8_t networkKeyType = 1;
    uint16_t networkManager = 0;
    bool written = false;
};

class Module {
  public:
    using Sink = std::function<void(const Packet&)>;
    using Log = std::function<void(const std::string&)>;

    Module(Network& net, Sink sink);

    void setLog(Log log) { log_ = std::move(log); }
    void setRebootMs(int ms) { rebootMs_ = ms; }
    void setRejoinMs(int ms) { rejoinMs_ = ms; }
    // The seed of everything drawn at random: jitter, frame loss, report phases.
    void setSeed(uint64_t seed) { seed_ = seed; }
    // Realistic timing: answers take radio time per hop, a sleepy end device's poll period and
    // jitter. Off, every answer leaves at once (plus a node's own latency).
    void setRealistic(bool on) { realistic_ = on; }
    bool realistic() const { return realistic_; }

    // One packet from the gateway.
    void receive(const Packet& p, int64_t nowMs);
    // Fires every scheduled action due at nowMs.
    void runDue(int64_t nowMs);
    // When the next scheduled action falls due, or INT64_MAX.
    int64_t nextDueMs() const;

    // Power lost (the device was unplugged): the network is down, nothing scheduled survives.
    void powerCycle(int64_t nowMs);

    // Control operations. Each returns false with a reason when it cannot be done.
    bool joinNode(Node& n, bool force, int64_t nowMs, std::string& why);
    bool removeNode(Node& n, int64_t nowMs, std::string& why);
    bool silenceNode(Node& n, std::string& why);
    bool reviveNode(Node& n, std::string& why);
    bool killNode(Node& n, std::string& why);
    bool announceNode(Node& n, int64_t nowMs, std::string& why);
    bool sendFromNode(Node& n, uint8_t srcEp, uint16_t cluster, const std::vector<uint8_t>& asdu,
                      uint8_t dstEp, uint16_t profile, int64_t nowMs, std::string& why);
    bool setSensorValue(Node& n, double celsius, std::string& why);
    bool reportNow(Node& n, int64_t nowMs, std::string& why);
    void permitJoining(uint8_t seconds, int64_t nowMs);
    void failNextStart(uint8_t status) { failStartStatus_ = status; }
    // The node rejoins under addr (kNoAddress: its rejoin address, else its own) and announces
    // itself with it.
    bool rejoinNode(Node& n, uint16_t addr, int64_t nowMs, std::string& why);
    // Where a node's application messages go and how they are addressed (send).
    struct Addressing {
        uint8_t srcMode = 0x02;  // 0x03: the source is given as IEEE address
        uint8_t dstMode = 0x02;  // 0x01: group
        bool toModule = true;    // else to dstAddr
        uint16_t dstAddr = 0;
    };
    bool sendFromNode(Node& n, uint8_t srcEp, uint16_t cluster, const std::vector<uint8_t>& asdu,
                      uint8_t dstEp, uint16_t profile, const Addressing& how, int64_t nowMs,
                      std::string& why);

    // Faults of the module itself. A watchdog reset: the module reboots on its own and comes
    // back in the factory state. Network loss: the network-down state, and with backAfterMs >= 0
    // the network back that much later. A hang: nothing is answered or sent until resume() or
    // a reset.
    void watchdogReset(int64_t nowMs);
    bool loseNetwork(int backAfterMs, int64_t nowMs, std::string& why);
    void hang() { hung_ = true; }
    void resume() { hung_ = false; }
    bool hung() const { return hung_; }
    // Whether frames between the module and n get through: n and every router on the tree
    // path between them answer.
    bool reachable(const Node& n);

    bool booted() const { return booted_; }
    bool networkUp() const { return net_.moduleInNetwork(); }
    uint8_t channel() const { return channel_; }
    uint16_t panId() const { return panId_; }
    uint64_t ieee() const { return ieee_; }
    const StartupAttributes& startupAttributes() const { return sas_; }
    const std::map<uint64_t, std::array<uint8_t, 16>>& linkKeys() const { return linkKeys_; }
    const std::map<uint8_t, std::vector<uint8_t>>& attributes() const { return attrs_; }
    uint64_t packetsIn() const { return packetsIn_; }
    uint64_t packetsOut() const { return packetsOut_; }
    uint64_t ignored() const { return ignored_; }

  private:
    using Handler = void (Module::*)(const Packet&);
    struct Dispatch {
        uint16_t code;
        Handler fn;
    };
    static const Dispatch kDispatch[];
    static const size_t kDispatchSize;

    // Sends p now, or answerDelayMs_ later when an answer is being delayed.
    void send(Packet p);
    void emit(const Packet& p);
    void after(int ms, std::function<void()> fn);
    // The addressee of a unicast request, when it gets the request and answers: null for an
    // address nobody has, a node that does not answer or cannot be reached, or a lost frame.
    // Sets the delay of the answers that follow.
    Node* reach(uint16_t dst);
    bool route(const Node& n, std::vector<const Node*>& relays);
    bool lost(Node& n);
    int answerDelay(const Node& n);
    int noAckDelay() const { return realistic_ ? 1500 : 200; }
    uint64_t draw(uint64_t a, uint64_t b) const;
    bool hearsLeave(const Node& n);
    void reportAfter(Node* n, uint64_t chain, int64_t ms);
    void forgetRunningState();
    void log(const std::string& s) {
        if (log_)
            log_(s);
    }

    // Co-processor commands.
    void onReset(const Packet& p);
    void onModeSelect(const Packet& p);
    void onRegisterEndpoint(const Packet& p);
    void onGetChannel(const Packet& p);
    void onApsmeGet(const Packet& p);
    void onApsmeSet(const Packet& p);
    void onNlmeGet(const Packet& p);
    void onSetKeyPair(const Packet& p);
    void onClearKeyPair(const Packet& p);
    void onReadExtAddr(const Packet& p);
    void onWriteExtAddr(const Packet& p);
    void onStartNetwork(const Packet& p);
    void onWriteSas(const Packet& p);
    void onNlmePermitJoining(const Packet& p);
    void onApsmeBind(const Packet& p);
    void onApsmeUnbind(const Packet& p);
    void onDataRequest(const Packet& p);
    // ZDP requests.
    void onNwkAddrReq(const Packet& p);
    void onIeeeAddrReq(const Packet& p);
    void onNodeDescReq(const Packet& p);
    void onPowerDescReq(const Packet& p);
    void onSimpleDescReq(const Packet& p);
    void onActiveEpReq(const Packet& p);
    void onMatchDescReq(const Packet& p);
    void onEndDeviceBindReq(const Packet& p);
    void onBindReq(const Packet& p);
    void onUnbindReq(const Packet& p);
    void onMgmtLqiReq(const Packet& p);
    void onMgmtBindReq(const Packet& p);
    void onMgmtPermitJoinReq(const Packet& p);
    void onMgmtNwkUpdateReq(const Packet& p);

    void startNetwork(uint8_t deviceByte);
    void scheduleReports(Node& n);
    void apsmeBindReq(const Packet& p, bool bind);
    void bindReq(const Packet& p, bool bind);
    // Resolves the node a descriptor request of the given payload size is about; sends the error
    // answer itself and returns null when there is nothing to describe (or nobody answers, or
    // the request is malformed).
    Node* descriptorTarget(const Packet& p, size_t size, uint8_t rspId,
                           std::vector<uint8_t> errorTail);
    void addressResponse(uint8_t rspId, Node& n, uint8_t reqType, uint8_t start);
    void permitOn(Node& n, uint8_t seconds);
    void leave(Node& responder, Node& n, uint8_t options, uint8_t seq);
    void leaveIndication(uint64_t ieee, bool rejoin);
    void dataIndication(const Node& from, uint8_t srcEp, uint16_t dstAddr, uint8_t dstEp,
                        uint16_t profile, uint16_t cluster, const std::vector<uint8_t>& asdu,
                        bool broadcast, uint8_t dstMode = 0x02, uint8_t srcMode = 0x02);
    // A device profile response from a node to the module, as the module hands it up.
    void zdpResponse(const Node& from, uint16_t cluster, const std::vector<uint8_t>& asdu);
    void deliverApp(Node& n, uint8_t dstEp, uint8_t srcEp, uint16_t profile, uint16_t cluster,
                    const std::vector<uint8_t>& asdu, bool broadcast);
    std::vector<uint8_t> zclAnswer(Node& n, const SimpleDesc& ep, uint16_t cluster,
                                   const std::vector<uint8_t>& asdu, bool broadcast);
    void readAttribute(Node& n, uint16_t cluster, uint16_t attr, std::vector<uint8_t>& out);
    void deviceAnnounce(Node& n);

    Network& net_;
    Sink sink_;
    Log log_;
    int rebootMs_ = 50;
    int rejoinMs_ = 100;
    int64_t now_ = 0;
    uint64_t generation_ = 0;  // bumped by reset and power loss; stale actions check it
    uint64_t seq_ = 0;
    std::multimap<std::pair<int64_t, uint64_t>, std::function<void()>> timers_;

    bool booted_ = true;
    bool hung_ = false;
    bool realistic_ = false;
    uint64_t seed_ = 1;
    uint64_t draws_ = 0;
    int answerDelayMs_ = 0;
    uint64_t factoryIeee_;
    uint64_t ieee_;
    uint8_t channel_;
    uint16_t panId_;
    uint8_t failStartStatus_ = 0;
    uint8_t zdpSeq_ = 0;
    StartupAttributes sas_;
    std::map<uint8_t, std::vector<uint8_t>> attrs_;
    std::map<uint64_t, std::array<uint8_t, 16>> linkKeys_;
    uint64_t packetsIn_ = 0;
    uint64_t packetsOut_ = 0;
    uint64_t ignored_ = 0;
};

}  // namespace zbsim
