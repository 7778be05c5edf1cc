#ifndef ORQ_DISCOVERYCORE_H
#define ORQ_DISCOVERYCORE_H

// DiscoveryCore: the discovery agent, compiled once. It finds the nodes of the ZigBee network
// and keeps the network database in step with it. An inquiry walks the network by IEEE
// address requests; an LQI discovery by management LQI requests; a combined discovery also
// fetches every node's node and power descriptor; single node and power descriptor requests.
// Device announcements and address confirms become node announcements for the handler
// (announcement mode); its KeepAlive task pings silent nodes and reports the dead ones
// (freshness mode). Every operation replies through the ReplyPath it is given (null: nobody
// waits); DiscoveryAgent<T> builds those from its caller's RPCContext.
//
// Threads: operations are started and canceled from the handler's thread (the main thread
// in the process); confirms arrive on the serial reader thread; time-outs run on the
// agent's pool; the keep-alive task has a thread of its own; requests of walks and pings go
// out on the PacedSender's thread, 800 ms apart (main:discoveryPacingMs). `mux` (recursive:
// handlers announce nodes and touch the dead-node list while holding it) guards the contexts,
// the walks' pending addresses, the dead-node list and the keep-alive settings; it is taken
// before the database's own mutex. No pause is ever spent holding either, so a walk never
// delays the reader thread. Reply paths are called with both held: a callable must not wait
// for another thread that needs this agent or the database.

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <set>

#include "AgentOperation.h"
#include "Agents.h"
#include "DiscoveryWalk.h"
#include "KeepAlive.h"
#include "OrqZbIf.h"
#include "ZbNetDb.h"

// Node and power descriptor decoding. The bad-value outputs are -1, or the value that was
// not one of the known ones (the field is then set to its unknown value).
void decodeNodeDescriptor(const ZB_NODE_DESC& in, NodeDescriptor* out, int* badLogicalType,
                          int* badFrequency);
void decodePowerDescriptor(const ZB_POWER_DESC& in, PowerDescriptor* out, int* badMode,
                           int* badLevel);
// Neither all zero nor all 0xFF.
bool isRealIeee(const unsigned char* ieee);

// The operations a handler starts on the discovery agent, each answered on the reply path it
// is given. DiscoveryCore implements them; DiscoveryAgent<T> forwards to its own core unless
// it was given other operations (a test's fake agent).
class DiscoveryOperations {
  public:
    // The replies and notifications of the discovery operations.
    using ProcResponse = void*(int, RPCReqStatus*);
    using NodeNotice = void*(Node*, RPCReqStatus*);
    using NodeDescResponse = void*(unsigned short, unsigned char*, NodeDescriptor*, int,
                                   RPCReqStatus*);
    using PowerDescResponse = void*(unsigned short, unsigned char*, PowerDescriptor*, int,
                                    RPCReqStatus*);
    using DbResponse = void*(ZbNetDb*, int, RPCReqStatus*);

    // Walks and modes: started, then their nodes notified.
    using ProcPath = ReplyPath<ProcResponse, NodeNotice>;
    // Cancels: answered once.
    using CancelPath = ReplyPath<ProcResponse>;
    using NodeDescPath = ReplyPath<NodeDescResponse, NodeNotice>;
    using PowerDescPath = ReplyPath<PowerDescResponse>;
    // The combined discovery and the node list: the database.
    using DbPath = ReplyPath<DbResponse>;

    virtual ~DiscoveryOperations() = default;

    virtual AgentError startInquiry(unsigned long timeout, const ProcPath* ctx) = 0;
    virtual AgentError cancelInquiry(const CancelPath* ctx) = 0;
    virtual AgentError MgmtLQI_Req(unsigned long timeout, const ProcPath* ctx) = 0;
    virtual AgentError cancelMgmtLQI_Req(const CancelPath* ctx) = 0;
    virtual AgentError superDiscovery(const DbPath* ctx) = 0;
    virtual int getNodeDescriptor(unsigned long timeout, unsigned short address,
                                  const NodeDescPath* ctx) = 0;
    virtual int getPowerDescriptor(unsigned short address, const PowerDescPath* ctx) = 0;
    // The node list; it ends a running inquiry.
    virtual AgentError retrieveNodes(const DbPath* ctx) = 0;
    virtual AgentError startAnnouncementsMode(const ProcPath* ctx) = 0;
    virtual AgentError cancelAnnouncementsMode(const CancelPath* ctx) = 0;
    virtual AgentError startFreshnessMode(const ProcPath* ctx) = 0;
    virtual AgentError cancelFreshnessMode(const CancelPath* ctx) = 0;
};

class DiscoveryCore : public DiscoveryOperations, protected AgentEnvironment {
  public:
    // The pause after each request of a walk or a ping that the protocol prescribes; the
    // configuration may shorten it (benchmarks walk networks of thousands of nodes).
    static constexpr std::chrono::milliseconds kPacing{800};

    // `adapter` and `config` null: the process-wide ones; `clock` null: the steady clock.
    explicit DiscoveryCore(OrqZbIf* adapter = nullptr, ConfigurationRepository* config = nullptr,
                           TimerClock* clock = nullptr);
    ~DiscoveryCore() override;

    // Reads the settings (also again when the network restarts, see networkRestarted()).
    void init();
    // The permanent listeners: device announcements and address confirms.
    void initDAListeners();
    // The database was emptied by a network (re)start: settings re-read, dead nodes forgotten.
    void networkRestarted();

    // The keep-alive task and the dead-node list.
    KeepAlive& keepAlive() { return keepAliveTask; }
    const KeepAlive& keepAlive() const { return keepAliveTask; }

    AgentError startInquiry(unsigned long timeout, const ProcPath* ctx) override;
    AgentError cancelInquiry(const CancelPath* ctx) override;
    AgentError MgmtLQI_Req(unsigned long timeout, const ProcPath* ctx) override;
    AgentError cancelMgmtLQI_Req(const CancelPath* ctx) override;
    AgentError superDiscovery(const DbPath* ctx) override;
    int getNodeDescriptor(unsigned long timeout, unsigned short address,
                          const NodeDescPath* ctx) override;
    int getPowerDescriptor(unsigned short address, const PowerDescPath* ctx) override;
    AgentError retrieveNodes(const DbPath* ctx) override;
    AgentError startAnnouncementsMode(const ProcPath* ctx) override;
    AgentError cancelAnnouncementsMode(const CancelPath* ctx) override;
    AgentError startFreshnessMode(const ProcPath* ctx) override;
    AgentError cancelFreshnessMode(const CancelPath* ctx) override;

    // Confirms and indications (reader thread).

    // A device announcement, or a node that discovery or keep-alive found present. Returns
    // the node, or null when the database refused the announcement (it would have displaced
    // the root).
    Node* Announce_Cb(unsigned short nwk, unsigned char* ieee, unsigned char capability);
    // Every IEEE address confirm (permanent listener).
    void IeeeAddrConfirm_Cb(unsigned char status, unsigned char* ieee, unsigned short nwk,
                            unsigned char count, unsigned char start, unsigned short* list);
    void Inquiry_Cb(unsigned char status, unsigned char* ieee, unsigned short nwk,
                    unsigned char count, unsigned char start, unsigned short* list);
    void Mgmt_LQI_Cb(unsigned char srcMode, unsigned char* srcAddr, unsigned char status,
                     unsigned char total, unsigned char startIndex, unsigned char listCount,
                     ZB_NEIGHBOR_TABLE_LIST* list);
    void getNodeDescriptor_Cb(unsigned char status, unsigned short nwk, ZB_NODE_DESC* nd);
    void getPowerDescriptor_Cb(unsigned char status, unsigned short nwk, ZB_POWER_DESC* pd);
    void superDiscovery_Cb(unsigned char status, unsigned char* ieee, unsigned short nwk,
                           unsigned char count, unsigned char start, unsigned short* list);
    void superDiscovery_ND_Cb(unsigned char status, unsigned short nwk, ZB_NODE_DESC* nd);
    void superDiscovery_PD_Cb(unsigned char status, unsigned short nwk, ZB_POWER_DESC* pd);

  private:
    using ProcCtx = ProcedureContext<ProcPath, DiscoveryCore>;
    using NodeDescCtx = ProcedureContext<NodeDescPath, DiscoveryCore>;
    using PowerDescCtx = ProcedureContext<PowerDescPath, DiscoveryCore>;
    using SuperCtx = ProcedureContext<DbPath, DiscoveryCore>;
    using Pending = std::multiset<unsigned short>;

    struct fContexts {
        ProcCtx inquiry, MgmtLQI;
        NodeDescCtx getNodeDescriptor;
        PowerDescCtx getPowerDescriptor;
        SuperCtx superDiscovery;
        ProcCtx announce, freshness;
        explicit fContexts(FeatureControl* fc);
    };

    // Time-outs (pool threads) and the module going away (any thread).
    void onInquiry();
    void onMgmtLQIRequest();
    void onSuperDiscovery();
    void onGetNodeDescriptor();
    void onGetPowerDescriptor();
    void moduleAway();

    void completeInquiry();
    void completeLqi(AgentError e);
    void completeSuper(fState_t state = End, AgentError e = AGENT_SUCCESS);
    void endWalk(AgentOperation<ProcCtx>& op, Pending& pending, WalkRecord& walk, AgentError e);
    void endNodeDescriptor(AgentError e);
    void endPowerDescriptor(AgentError e);
    AgentError cancelWalk(AgentOperation<ProcCtx>& op, Pending& pending, WalkRecord& walk,
                          const CancelPath* ctx, const char* name);
    AgentError startMode(AgentOperation<ProcCtx>& op, const ProcPath* ctx,
                         const char* overwriteLog);
    AgentError cancelMode(AgentOperation<ProcCtx>& op, const CancelPath* ctx, const char* name);
    void announceDeadNode(Node* node);
    void registerLqiListener();
    std::chrono::milliseconds pacingNow();

    static void answer(const ProcPath* ctx, RPCReqStatus& st);
    // The requests whose refusal is logged; the log names each by its function (the names
    // in logRefusal are in this order).
    enum class Request { Inquiry, LqiDiscovery, SuperDiscovery, NodeDescriptor, PowerDescriptor };
    void logRefusal(Request req, AgentError e);
    static bool takePending(Pending& pending, unsigned short nwk);

    // Queues one request of the run of `op` now going on (null: of no operation); it is
    // dropped unsent when that run has ended by the time its turn comes.
    template <typename Op>
    void post(Op* op, std::function<void()> send) {
        const unsigned run = op != nullptr ? op->currentRun() : 0;
        sender.post([this, op, run, send = std::move(send)] {
            std::lock_guard<std::recursive_mutex> lock(mux);
            if (op != nullptr && !op->isRun(run)) {
                return false;
            }
            send();
            return true;
        });
    }
    template <typename Op>
    void requestAddress(Op& op, Pending& pending, unsigned short nwk) {
        pending.insert(nwk);
        op.expect(1);
        post(&op, [this, nwk] { pOrqZb->ZDO_IEEE_ADDR_request(nwk, 1, 0); });
    }
    void requestAddress(unsigned short nwk);
    void requestLqi(AgentOperation<ProcCtx>* walk, unsigned short nwk, unsigned char start);
    void requestAllOf(unsigned short nwk);
    bool adoptChild(WalkRecord& walk, Node* reporter, const unsigned char* reporterIeee,
                    unsigned short child, const char* op);
    void learnNeighbour(Node* reporter, const ZB_NEIGHBOR_TABLE_LIST& e);
    void decodeNode(const ZB_NODE_DESC& nd, Node* node, const char* op);
    void decodePower(const ZB_POWER_DESC& pd, Node* node, const char* op);
    template <typename Desc>
    void superDescriptorConfirm(Pending& pending, unsigned char status, unsigned short nwk,
                                Desc* desc, const char* op, const char* confirm, const char* what,
                                void (DiscoveryCore::*decode)(const Desc&, Node*, const char*));

    std::atomic<bool> rootNodeDiscovered{false};
    std::chrono::milliseconds pacing{kPacing};  // under mux
    std::recursive_mutex mux;
    fContexts functionsContext;

    // Listener records (before the operations that name them).
    ZbDeviceAnnceListener announceListener;
    ZbAddrConfirmListener ieeeListener;
    ZbAddrConfirmListener inquiryListener;
    ZbMgmtLqiListener lqiListener;
    ZbNodeDescListener nodeDescListener;
    ZbPowerDescListener powerDescListener;
    ZbAddrConfirmListener superIeeeListener;
    ZbNodeDescListener superNodeDescListener;
    ZbPowerDescListener superPowerDescListener;

    AgentOperation<ProcCtx> inquiryOp;
    AgentOperation<ProcCtx> lqiOp;
    AgentOperation<NodeDescCtx> nodeDescOp;
    AgentOperation<PowerDescCtx> powerDescOp;
    AgentOperation<SuperCtx> superOp;
    AgentOperation<ProcCtx> announceOp;
    AgentOperation<ProcCtx> freshnessOp;
    // Addresses whose answers the running walks wait for, what they reached (under mux).
    Pending inquiryPending, lqiPending;
    Pending superPendingIeee, superPendingNodeDesc, superPendingPowerDesc;
    WalkRecord inquiryWalk, lqiWalk, superWalk;
    WalkDeadline superDeadline;
    std::atomic<bool> lqiListenerRegistered{false};

    PacedSender sender{kPacing};
    KeepAlive keepAliveTask;
    ModuleAwayWatch awayWatch;
};

#endif
