#ifndef ORQ_CDISCOVERYAGENT_H
#define ORQ_CDISCOVERYAGENT_H

// DiscoveryAgent: finds the nodes of the ZigBee network and keeps the network database in
// step with it. An inquiry walks the network by IEEE address requests; an LQI discovery by
// management LQI requests; a combined discovery also fetches every node's node and power
// descriptor; single node and power descriptor requests. Device announcements and address
// confirms become node announcements for the handler (announcement mode); the keep-alive
// task pings silent nodes and reports the dead ones (freshness mode).
//
// Threads: operations are started and canceled from the handler's thread (the main thread
// in the process); confirms arrive on the serial reader thread; time-outs run on the
// agent's pool; the keep-alive task has a thread of its own; requests of walks and pings go
// out on the PacedSender's thread, 800 ms apart (main:discoveryPacingMs). `mux` (recursive:
// handlers announce nodes and touch the dead-node list while holding it) guards the contexts, the
// walks' pending addresses, the dead-node list and the keep-alive settings; it is taken before the
// database's own mutex. No pause is ever spent holding either, so a walk never delays the
// reader thread. Callbacks of the handler are called with both held: a callback must not
// wait for another thread that needs this agent or the database.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "AgentOperation.h"
#include "Agents.h"
#include "CDebug.h"
#include "ConfigurationRepository.h"
#include "DiscoveryWalk.h"
#include "OrqZbIf.h"
#include "ThreadPool.h"
#include "TimerThread.h"
#include "ZbNetDb.h"

// Node and power descriptor decoding. The bad-value outputs are -1, or the value that was
// not one of the known ones (the field is then set to its unknown value).
void decodeNodeDescriptor(const ZB_NODE_DESC& in, NodeDescriptor* out, int* badLogicalType,
                          int* badFrequency);
void decodePowerDescriptor(const ZB_POWER_DESC& in, PowerDescriptor* out, int* badMode,
                           int* badLevel);
// Seconds added to the keep-alive threshold before a node's first ping: nodes heard at the
// same moment fall due spread over a quarter of the threshold instead of in one burst.
// Fixed per short address; 0 for thresholds below 4 s.
int pingJitterSeconds(unsigned short nwk, int threshold);
// Neither all zero nor all 0xFF.
bool isRealIeee(const unsigned char* ieee);

template <class T>
class DiscoveryAgent : protected AgentEnvironment {
  public:
    using ProcResF = void* (T::*)(int, RPCReqStatus*);
    using NodeNotF = void* (T::*)(Node*, RPCReqStatus*);
    using NodeDescResF = void* (T::*)(unsigned short, unsigned char*, NodeDescriptor*, int,
                                      RPCReqStatus*);
    using PowerDescResF = void* (T::*)(unsigned short, unsigned char*, PowerDescriptor*, int,
                                       RPCReqStatus*);
    using DbResF = void* (T::*)(ZbNetDb*, int, RPCReqStatus*);

    using InquiryCtxt = RPCContext<T, ProcResF, NodeNotF>;
    using MgmtLQICtxt = InquiryCtxt;
    using StartAnnouncementsModeCtxt = InquiryCtxt;
    using StartFreshnessModeCtxt = InquiryCtxt;
    using CancelInquiryCtxt = RPCContext<T, ProcResF, NoCb>;
    using CancelMgmtLQICtxt = CancelInquiryCtxt;
    using CancelAnnouncementsModeCtxt = CancelInquiryCtxt;
    using CancelFreshnessModeCtxt = CancelInquiryCtxt;
    using NodeDescriptorCtxt = RPCContext<T, NodeDescResF, NodeNotF>;
    using PowerDescriptorCtxt = RPCContext<T, PowerDescResF, NoCb>;
    using SuperDiscoveryCtxt = RPCContext<T, DbResF, NoCb>;
    using RetrieveNodesCtxt = SuperDiscoveryCtxt;

    using ProcCtx = fContext<T, DiscoveryAgent, ProcResF, NodeNotF>;
    using NodeDescCtx = fContext<T, DiscoveryAgent, NodeDescResF, NodeNotF>;
    using PowerDescCtx = fContext<T, DiscoveryAgent, PowerDescResF, NoCb>;
    using SuperCtx = fContext<T, DiscoveryAgent, DbResF, NoCb>;

    struct deadingNode {
        unsigned char ieee_addr[8];
        long expiredTime;
    };
    struct fContexts {
        ProcCtx inquiry, MgmtLQI;
        NodeDescCtx getNodeDescriptor;
        PowerDescCtx getPowerDescriptor;
        SuperCtx superDiscovery;
        ProcCtx announce, freshness;
        explicit fContexts(FeatureControl* fc)
            : inquiry(fc, FEATURE_INQUIRY),
              MgmtLQI(fc, FEATURE_INQUIRY),
              getNodeDescriptor(fc, FEATURE_NODE_DESC),
              getPowerDescriptor(fc, FEATURE_POWER_DESC),
              superDiscovery(fc, FEATURE_SUPER_DISCOVERY),
              announce(fc, FEATURE_ANNOUNCE),
              freshness(fc, FEATURE_FRESHNESS) {}
    };
    // How long the keep-alive task waits: between looks for a first node, after it before
    // the first visit, and between two node visits.
    struct KeepAliveTimings {
        std::chrono::milliseconds poll{2000};
        std::chrono::milliseconds startDelay{10000};
        std::chrono::milliseconds visit{3000};
    };
    // The pause after each request of a walk or a ping that the protocol prescribes; the
    // configuration may shorten it (benchmarks walk networks of thousands of nodes).
    static constexpr std::chrono::milliseconds kPacing{800};

    static DiscoveryAgent* Instance() {
        static DiscoveryAgent instance;
        return &instance;
    }

    // Tests build their own on an adapter and configuration of their choosing.
    explicit DiscoveryAgent(OrqZbIf* adapter = nullptr, ConfigurationRepository* config = nullptr)
        : AgentEnvironment(adapter, config, "DiscoveryAgent", "Debug:DiscoveryAgentDL"),
          functionsContext(pOrqZb->getFeatureControl()),
          inquiryOp(functionsContext.inquiry, pOrqZb,
                    {{ZB_EV_ZDO_IEEE_ADDR_CONFIRM, &inquiryListener}}),
          lqiOp(functionsContext.MgmtLQI, pOrqZb, {}),
          nodeDescOp(functionsContext.getNodeDescriptor, pOrqZb,
                     {{ZB_EV_ZDO_NODE_DESC_CONFIRM, &nodeDescListener}}),
          powerDescOp(functionsContext.getPowerDescriptor, pOrqZb,
                      {{ZB_EV_ZDO_POWER_DESC_CONFIRM, &powerDescListener}}),
          superOp(functionsContext.superDiscovery, pOrqZb,
                  {{ZB_EV_ZDO_IEEE_ADDR_CONFIRM, &superIeeeListener},
                   {ZB_EV_ZDO_NODE_DESC_CONFIRM, &superNodeDescListener},
                   {ZB_EV_ZDO_POWER_DESC_CONFIRM, &superPowerDescListener}}),
          announceOp(functionsContext.announce, pOrqZb, {}),
          freshnessOp(functionsContext.freshness, pOrqZb, {}) {}

    ~DiscoveryAgent() {
        {
            std::lock_guard<std::mutex> lock(taskMux);
            stopping = true;
        }
        taskCv.notify_all();
        if (tasks.tid.joinable()) {
            tasks.tid.join();
        }
        sender.stop();
        pOrqZb->unregisterListener(ZB_EV_ZDO_DEVICE_ANNCE_INDICATION, &announceListener);
        pOrqZb->unregisterListener(ZB_EV_ZDO_IEEE_ADDR_CONFIRM, &ieeeListener);
        pOrqZb->unregisterListener(ZB_EV_ZB_MGMT_LQI_RESPONSE, &lqiListener);
        {
            std::lock_guard<std::recursive_mutex> lock(mux);
            inquiryOp.finish(Canceled);
            superOp.finish(Canceled);
            nodeDescOp.finish(Canceled);
            powerDescOp.finish(Canceled);
            lqiOp.finish(Canceled);
            announceOp.finish(Canceled);
            freshnessOp.finish(Canceled);
        }
        stopTimers();
    }

    // Reads the settings (also again when the network restarts, see networkRestarted()).
    void init() {
        std::lock_guard<std::recursive_mutex> lock(mux);
        readDebugSettings();
        KAthreshold = config->getint("main:keepAliveThreshold", 60);
        KAnumOfPings = config->getint("main:keepAliveNumberOfAttempt", 3);
        forceLQIPingTimer = config->getint("main:forcePingTimeout", 240);
        const int pacingMs = config->getint("main:discoveryPacingMs", kPacing.count());
        pacing = pacingMs >= 0 ? std::chrono::milliseconds(pacingMs) : kPacing;
        sender.setPause(pacing);
    }
    // The permanent listeners: device announcements and address confirms.
    void initDAListeners() {
        pOrqZb->registerListener(ZB_EV_ZDO_DEVICE_ANNCE_INDICATION, &announceListener);
        pOrqZb->registerListener(ZB_EV_ZDO_IEEE_ADDR_CONFIRM, &ieeeListener);
    }
    // The database was emptied by a network (re)start: settings re-read, dead nodes forgotten.
    void networkRestarted() {
        init();
        std::lock_guard<std::recursive_mutex> lock(mux);
        clearDeadingNodeList();
    }

    // Starts the keep-alive task unless it runs already.
    void runKeepAliveAlgorithm() {
        std::lock_guard<std::mutex> lock(taskMux);
        if (tasks.taskStarted || stopping) {
            return;
        }
        tasks.taskStarted = true;
        tasks.tid = std::thread([this] { startKATask_SW(); });
    }
    void setKeepAliveTimings(const KeepAliveTimings& t) {
        std::lock_guard<std::mutex> lock(taskMux);
        kaTimings = t;
    }

    void setKAthreshold(int seconds) {
        ORQ_LOG(*pLogger, INFO, "setKAthreshold - Storing the KeepAliveThreshold value: %x (sec)",
                seconds);
        if (seconds >= 0) {
            KAthreshold = seconds;
        }
        taskCv.notify_all();
    }
    int getKAthreshold() const { return KAthreshold.load(); }

    // ---- Inquiry ----

    AgentError startInquiry(unsigned long timeout, InquiryCtxt* ctx) {
        std::lock_guard<std::recursive_mutex> lock(mux);
        OperationStart how;
        how.timeoutMs = timeout;
        how.answerTimerError = false;
        AgentError e = inquiryOp.begin(how, ctx, this, &timerThread, &DiscoveryAgent::onInquiry,
                                       [&](RPCReqStatus& st) {
                                           logRefusal("startInquiry", st.getReturnValue());
                                           answer(ctx, st);
                                       });
        if (e != AGENT_SUCCESS) {
            return e;
        }
        RPCReqStatus st(Running, 0, AGENT_SUCCESS);
        answer(ctx, st);
        ORQ_LOG(*pLogger, INFO, "startInquiry - Started");
        std::lock_guard<std::recursive_mutex> dbLock(pOrqDb->mutex());
        inquiryWalk.begin(pOrqDb, WalkKind::Tree);
        clearDeadingNodeList();
        inquiryPending.clear();
        Node* root = pOrqDb->getRoot();
        if (root == nullptr) {
            ORQ_LOG(*pLogger, ERROR, "startInquiry - no root node");
            inquiryOp.fail();
            inquiryOp.finish(End);
            RPCReqStatus err(functionsContext.inquiry, INQUIRY_ERROR);
            functionsContext.inquiry.rpcContext.notify(static_cast<Node*>(nullptr), &err);
            return AGENT_SUCCESS;
        }
        inquiryWalk.reach(root->get_nwk_addr());
        requestAddress(inquiryOp, inquiryPending, root->get_nwk_addr());
        return AGENT_SUCCESS;
    }

    AgentError cancelInquiry(CancelInquiryCtxt* ctx) {
        return cancelWalk(inquiryOp, inquiryPending, inquiryWalk, ctx, "cancelInquiry");
    }

    // ---- LQI discovery ----

    AgentError MgmtLQI_Req(unsigned long timeout, MgmtLQICtxt* ctx) {
        std::lock_guard<std::recursive_mutex> lock(mux);
        OperationStart how;
        how.timeoutMs = timeout;
        how.answerTimerError = false;
        AgentError e = lqiOp.begin(
            how, ctx, this, &timerThread, &DiscoveryAgent::onMgmtLQIRequest, [&](RPCReqStatus& st) {
                if (st.getReturnValue() == AGENT_BUSY) {
                    ORQ_LOG(*pLogger, WARN,
                            "MgmtLQI_Req - WARNING: A MGMT_LQI inquiry is already "
                            "running!");
                } else {
                    logRefusal("MgmtLQI_Req", st.getReturnValue());
                }
                answer(ctx, st);
            });
        if (e != AGENT_SUCCESS) {
            return e;
        }
        registerLqiListener();
        std::lock_guard<std::recursive_mutex> dbLock(pOrqDb->mutex());
        lqiWalk.begin(pOrqDb, WalkKind::Neighbours);
        clearDeadingNodeList();
        rootNodeDiscovered = false;
        lqiPending.clear();
        ORQ_LOG(*pLogger, INFO, "MgmtLQI_Req - Started");
        Node* root = pOrqDb->getRoot();
        if (root != nullptr) {
            requestLqi(&lqiOp, root->get_nwk_addr(), 0);
        }
        RPCReqStatus st(Running, 0, AGENT_SUCCESS);
        answer(ctx, st);
        if (root == nullptr) {
            completeLqi(AGENT_ERROR);
        }
        return AGENT_SUCCESS;
    }

    AgentError cancelMgmtLQI_Req(CancelMgmtLQICtxt* ctx) {
        return cancelWalk(lqiOp, lqiPending, lqiWalk, ctx, "cancelMgmtLQI_Req");
    }

    // ---- Combined discovery ----

    AgentError superDiscovery(SuperDiscoveryCtxt* ctx) {
        std::lock_guard<std::recursive_mutex> lock(mux);
        // 10 s and a pause per request sent: the root's 3 now, 3 per node learnt of later.
        WalkDeadline limit(std::chrono::seconds(10), pacingNow());
        OperationStart how;
        how.timeoutMs = 1000UL * static_cast<unsigned long>(limit.add(3));
        AgentError e = superOp.begin(how, ctx, this, &timerThread,
                                     &DiscoveryAgent::onSuperDiscovery, [&](RPCReqStatus& st) {
                                         logRefusal("superDiscovery", st.getReturnValue());
                                         if (ctx != nullptr) {
                                             ctx->respond(pOrqDb, ctx->getSessionId(), &st);
                                         }
                                     });
        if (e != AGENT_SUCCESS) {
            return e;
        }
        superDeadline = limit;
        std::lock_guard<std::recursive_mutex> dbLock(pOrqDb->mutex());
        superWalk.begin(pOrqDb, WalkKind::Tree);
        clearDeadingNodeList();
        superPendingIeee.clear();
        superPendingNodeDesc.clear();
        superPendingPowerDesc.clear();
        Node* root = pOrqDb->getRoot();
        if (root == nullptr) {
            superOp.fail();
            completeSuper();
            return AGENT_SUCCESS;
        }
        requestAllOf(root->get_nwk_addr());
        return AGENT_SUCCESS;
    }

    // ---- Single descriptors ----

    int getNodeDescriptor(unsigned long timeout, unsigned short address, NodeDescriptorCtxt* ctx) {
        std::lock_guard<std::recursive_mutex> lock(mux);
        OperationStart how;
        how.timeoutMs = timeout;
        AgentError e = nodeDescOp.begin(
            how, ctx, this, &timerThread, &DiscoveryAgent::onGetNodeDescriptor,
            [&](RPCReqStatus& st) {
                logRefusal("getNodeDescriptor", st.getReturnValue());
                if (ctx != nullptr) {
                    ctx->respond(address, nullptr, nullptr, ctx->getSessionId(), &st);
                }
            });
        if (e != AGENT_SUCCESS) {
            return e;
        }
        nodeDescOp.expect(1);
        pOrqZb->ZDO_NODE_DESC_request(address, address);
        if (ctx != nullptr && ctx->hasNotify()) {
            ORQ_LOG(*pLogger, DEBUG, "getNodeDescriptor - started the asynch request");
            RPCReqStatus st(End, 0, AGENT_SUCCESS, true);
            ctx->respond(address, nullptr, nullptr, ctx->getSessionId(), &st);
        }
        return AGENT_SUCCESS;
    }

    int getPowerDescriptor(unsigned short address, PowerDescriptorCtxt* ctx) {
        std::lock_guard<std::recursive_mutex> lock(mux);
        OperationStart how;
        how.timeoutMs = 6000;
        AgentError e = powerDescOp.begin(
            how, ctx, this, &timerThread, &DiscoveryAgent::onGetPowerDescriptor,
            [&](RPCReqStatus& st) {
                if (st.getReturnValue() == TIMER_ERROR) {
                    ORQ_LOG(*pLogger, ERROR, "getPowerDescriptor - ERROR creating timer!");
                } else {
                    logRefusal("getPowerDescriptor", st.getReturnValue());
                }
                if (ctx != nullptr) {
                    ctx->respond(address, nullptr, nullptr, ctx->getSessionId(), &st);
                }
            });
        if (e != AGENT_SUCCESS) {
            return e;
        }
        powerDescOp.expect(1);
        ORQ_LOG(*pLogger, DEBUG, "getPowerDescriptor started");
        pOrqZb->ZDO_POWER_DESC_request(address, address);
        return AGENT_SUCCESS;
    }

    // ---- Node list ----

    AgentError retrieveNodes(RetrieveNodesCtxt* ctx) {
        std::lock_guard<std::recursive_mutex> lock(mux);
        // The list ends a running inquiry: its listener gets the final notification.
        if (inquiryOp.finish(End)) {
            inquiryPending.clear();
            inquiryWalk.end(pOrqDb, false, *pLogger);
            RPCReqStatus st(functionsContext.inquiry, AGENT_SUCCESS);
            functionsContext.inquiry.rpcContext.notify(static_cast<Node*>(nullptr), &st);
        }
        const int session = ctx != nullptr ? ctx->getSessionId() : -1;
        if (pOrqDb->getDBNodesSize() > 0) {
            RPCReqStatus st(End, 0, AGENT_SUCCESS);
            if (ctx != nullptr) {
                ctx->respond(pOrqDb, session, &st);
            }
            return AGENT_SUCCESS;
        }
        ORQ_LOG(*pLogger, INFO, "retrieveNodes - Inquiry cache empty.");
        RPCReqStatus st(End, 1, INQUIRY_CACHE_EMPTY);
        if (ctx != nullptr) {
            ctx->respond(pOrqDb, session, &st);
        }
        return INQUIRY_CACHE_EMPTY;
    }

    // ---- Announcement and freshness modes ----

    AgentError startAnnouncementsMode(StartAnnouncementsModeCtxt* ctx) {
        return startMode(announceOp, ctx,
                         "startAnnouncementsMode - AnnouncementsMode is already running "
                         "(overwrite the RPC context)");
    }
    AgentError cancelAnnouncementsMode(CancelAnnouncementsModeCtxt* ctx) {
        if (ctx == nullptr) {
            ORQ_LOG(*pLogger, WARN, "cancelAnnouncementsMode - rpcContextData is null");
            return ANNCE_MODE_NOT_RUNNING;
        }
        AgentError e = cancelMode(announceOp, ctx, "cancelAnnouncementsMode");
        if (e == AGENT_SUCCESS && !ctx->hasResponse()) {
            ORQ_LOG(*pLogger, WARN, "cancelAnnouncementsMode - getRPCResponseCb return null");
            return ANNCE_MODE_NOT_RUNNING;
        }
        return e;
    }
    AgentError startFreshnessMode(StartFreshnessModeCtxt* ctx) {
        return startMode(
            freshnessOp, ctx,
            "startFreshnessMode - FreshnessMode is already running - overwrite the RPC context");
    }
    AgentError cancelFreshnessMode(CancelFreshnessModeCtxt* ctx) {
        return cancelMode(freshnessOp, ctx, "cancelFreshnessMode");
    }

    // ---- Confirm and indication handlers (reader thread) ----

    // A device announcement, or a node that discovery or keep-alive found present. Returns
    // the node, or null when the database refused the announcement (it would have displaced
    // the root).
    Node* Announce_Cb(unsigned short nwk, unsigned char* ieee, unsigned char capability) {
        if (ieee == nullptr) {
            return nullptr;
        }
        std::lock_guard<std::recursive_mutex> lock(mux);
        std::lock_guard<std::recursive_mutex> dbLock(pOrqDb->mutex());
        Node* node = pOrqDb->nodeAnnounce(nwk, ieee, capability);
        if (node == nullptr) {
            ORQ_LOG(*pLogger, WARN, "Announce_Cb - announcement of 0x%04x refused", nwk);
            return nullptr;
        }
        auto& c = functionsContext.announce;
        if (announceOp.isRunning() && c.rpcContext.hasNotify()) {
            node->setIsActive(true);
            unsigned long long id = 0;
            for (int i = 0; i < 8; ++i) {
                id = (id << 8) | ieee[i];
            }
            std::printf(
                "Announce_Cb - Discovered new node: 0x%04x - "
                "0x%02x:%02x:%02x:%02x:%02x:%02x:%02x:%02x (%lld)!\n",
                nwk, ieee[0], ieee[1], ieee[2], ieee[3], ieee[4], ieee[5], ieee[6], ieee[7],
                static_cast<long long>(id));
            RPCReqStatus st(c, AGENT_SUCCESS);
            c.rpcContext.notify(node, &st);
        } else {
            std::printf("Announce_Cb - No callback registered to announce 0x%04x!\n", nwk);
            node->setIsActive(false);
        }
        return node;
    }

    // Every IEEE address confirm (permanent listener).
    void IeeeAddrConfirm_Cb(unsigned char status, unsigned char* ieee, unsigned short nwk,
                            unsigned char, unsigned char, unsigned short*) {
        std::lock_guard<std::recursive_mutex> lock(mux);
        std::lock_guard<std::recursive_mutex> dbLock(pOrqDb->mutex());
        Node* node = pOrqDb->findNodeByNwkAddr(nwk);
        if (status == 0x81) {
            if (node != nullptr && node == pOrqDb->getRoot()) {
                std::printf(
                    "IeeeAddrConfirm_Cb - ERROR (firmware issue): Coordinator does not "
                    "recognized its IEEEAddr!\n");
            } else if (node != nullptr) {
                node->setKANodeTimer(KA_UNKNOWN_TO_NETWORK);
            }
            return;
        }
        if (status != 0 || ieee == nullptr) {
            ORQ_LOG(*pLogger, WARN, "IeeeAddrConfirm_Cb - status 0x%02x for 0x%04x", status, nwk);
            return;
        }
        if (node == nullptr) {
            ORQ_LOG(*pLogger, INFO,
                    "IeeeAddrConfirm_Cb - Received an IEEEAddrConfirm - Creating a new entry for "
                    "node (0x%04x)",
                    nwk);
            Node* n = Announce_Cb(nwk, ieee, 8);
            if (n != nullptr) {
                n->setKANodeTimer(KAthreshold - 1);
            }
        } else if (std::memcmp(node->get_ieee_addr(), ieee, 8) != 0) {
            // A placeholder of a walk learns its address; when another entry holds it
            // already, the announcement moves that entry here instead.
            Node* holder = pOrqDb->findNodeByIEEEAddr(ieee);
            if (holder == nullptr) {
                node->set_ieee_addr(ieee);
                pOrqDb->addTranslationEntry(nwk, ieee);
            }
            Announce_Cb(nwk, ieee, 8);
        } else if (!node->getIsActive()) {
            Announce_Cb(nwk, ieee, 8);
        }
    }

    void Inquiry_Cb(unsigned char status, unsigned char* ieee, unsigned short nwk,
                    unsigned char count, unsigned char, unsigned short* list) {
        std::lock_guard<std::recursive_mutex> lock(mux);
        if (!inquiryOp.isRunning()) {
            return;
        }
        auto& c = functionsContext.inquiry;
        std::lock_guard<std::recursive_mutex> dbLock(pOrqDb->mutex());
        Node* reporter = pOrqDb->findNodeByNwkAddr(nwk);
        if (!takePending(inquiryPending, nwk)) {
            // Not an answer this walk waits for (another request's, or a late one).
            if (reporter == nullptr) {
                ORQ_LOG(*pLogger, WARN,
                        "Inquiry_Cb - Error: Nonexistent node %04x has been received", nwk);
                RPCReqStatus st(c, INQUIRY_NONEXISTENTENT_NODE);
                c.rpcContext.notify(static_cast<Node*>(nullptr), &st);
            }
            return;
        }
        inquiryOp.received();
        if (status != 0 || ieee == nullptr || reporter == nullptr) {
            ORQ_LOG(*pLogger, WARN, "Inquiry_Cb - ERROR returned by ZDO_IEEE_ADDR_confirm");
            inquiryOp.fail();
            inquiryWalk.markIncomplete();
            if (inquiryOp.nothingExpected()) {
                completeInquiry();
            }
            RPCReqStatus st(c, INQUIRY_ERROR);
            c.rpcContext.notify(static_cast<Node*>(nullptr), &st);
            return;
        }
        reporter->set_ieee_addr(ieee);
        // Each child is one more answer expected; one this walk reached before marks the result.
        for (int i = 0; i < count && list != nullptr; ++i) {
            if (!adoptChild(inquiryWalk, reporter, ieee, list[i], "Inquiry_Cb")) {
                inquiryOp.fail();
                continue;
            }
            requestAddress(inquiryOp, inquiryPending, list[i]);
        }
        if (inquiryOp.nothingExpected()) {
            completeInquiry();
        }
        RPCReqStatus st(c, AGENT_SUCCESS);
        c.rpcContext.notify(reporter, &st);
    }

    void Mgmt_LQI_Cb(unsigned char srcMode, unsigned char* srcAddr, unsigned char status,
                     unsigned char total, unsigned char startIndex, unsigned char listCount,
                     ZB_NEIGHBOR_TABLE_LIST* list) {
        if (srcAddr == nullptr) {
            return;
        }
        std::lock_guard<std::recursive_mutex> lock(mux);
        std::lock_guard<std::recursive_mutex> dbLock(pOrqDb->mutex());
        Node* node = nullptr;
        if (srcMode == 3) {
            node = pOrqDb->findNodeByIEEEAddr(srcAddr);
            if (node == nullptr) {
                std::printf(
                    "Mgmt_LQI_Cb - WARNING: node %02x:%02x:%02x:%02x:%02x:%02x:%02x:%02x not in "
                    "DB. Nothing that we can do!\n",
                    srcAddr[0], srcAddr[1], srcAddr[2], srcAddr[3], srcAddr[4], srcAddr[5],
                    srcAddr[6], srcAddr[7]);
                return;
            }
        } else {
            const unsigned short from = static_cast<unsigned short>(srcAddr[0] | (srcAddr[1] << 8));
            node = pOrqDb->findNodeByNwkAddr(from);
            if (node == nullptr) {
                ORQ_LOG(*pLogger, WARN,
                        "Mgmt_LQI_Cb - WARNING: Found a node not in DB (0x%04x) - Send a "
                        "ZDO_IEEE_ADDR_request!",
                        from);
                requestAddress(from);
                return;
            }
        }
        const unsigned short nwk = node->get_nwk_addr();
        const bool forWalk = lqiOp.isRunning() && takePending(lqiPending, nwk);
        if (forWalk) {
            lqiOp.received();
            lqiWalk.reach(nwk);
        }
        if (!isRealIeee(node->get_ieee_addr())) {
            ORQ_LOG(*pLogger, WARN,
                    "Mgmt_LQI_Cb - WARNING: Node 0x%04x without IEEEAddr - Send a "
                    "ZDO_IEEE_ADDR_request!",
                    nwk);
            requestAddress(nwk);
        }
        if (node == pOrqDb->getRoot()) {
            pOrqZb->manageNodeTimeouts(3, node->get_ieee_addr());
            rootNodeDiscovered = true;
        }
        if (!node->getIsActive() && isRealIeee(node->get_ieee_addr())) {
            unsigned char ieee[8];
            std::memcpy(ieee, node->get_ieee_addr(), 8);
            node = Announce_Cb(nwk, ieee, 8);
            if (node == nullptr) {
                return;
            }
        }
        if (status != 0) {
            ORQ_LOG(*pLogger, WARN,
                    "Mgmt_LQI_Cb - Node 0x%04x returned MGMT_LQI_Rsp with an error: 0x%02x", nwk,
                    status);
            // A running discovery hears of every refusal; it ends only when nothing it
            // waits for is left.
            if (lqiOp.isRunning()) {
                lqiOp.fail();
                lqiWalk.markIncomplete();
                if (forWalk && lqiOp.nothingExpected()) {
                    completeLqi(INQUIRY_ERROR);
                } else {
                    RPCReqStatus st(functionsContext.MgmtLQI, INQUIRY_ERROR);
                    functionsContext.MgmtLQI.rpcContext.notify(static_cast<Node*>(nullptr), &st);
                }
            }
            return;
        }
        if (startIndex + listCount < total) {
            if (listCount != 0) {
                requestLqi(forWalk ? &lqiOp : nullptr, nwk,
                           static_cast<unsigned char>(startIndex + listCount));
            } else {
                std::printf(
                    "Mgmt_LQI_Cb - ERROR: start index %d + list count %d below the %d entries "
                    "of 0x%04x, nothing more asked\n",
                    startIndex, listCount, total, nwk);
            }
        }
        ORQ_LOG(*pLogger, DEBUG, "Mgmt_LQI_Cb - Node 0x%04x contains 0x%02x neighbors", nwk,
                listCount);
        for (int i = 0; i < listCount && list != nullptr; ++i) {
            learnNeighbour(node, list[i]);
        }
        pOrqDb->updateLQIDetails(node, list, list != nullptr ? listCount : 0);
        if (forWalk && lqiOp.nothingExpected()) {
            ORQ_LOG(*pLogger, INFO, "Mgmt_LQI_Cb - No more MGMT_LQI pending");
            completeLqi(AGENT_SUCCESS);
        }
    }

    void getNodeDescriptor_Cb(unsigned char status, unsigned short nwk, ZB_NODE_DESC* nd) {
        std::lock_guard<std::recursive_mutex> lock(mux);
        if (!nodeDescOp.isRunning()) {
            return;
        }
        auto& c = functionsContext.getNodeDescriptor;
        std::lock_guard<std::recursive_mutex> dbLock(pOrqDb->mutex());
        nodeDescOp.received();
        Node* node = pOrqDb->findNodeByNwkAddr(nwk);
        if (status != 0 || nd == nullptr || node == nullptr) {
            const AgentError err =
                status != 0 || nd == nullptr ? NODE_DESCRIPTOR_ERROR : NONEXISTENTENT_NODE;
            if (err == NODE_DESCRIPTOR_ERROR) {
                ORQ_LOG(*pLogger, WARN,
                        "getNodeDescriptor_Cb - ERROR returned by ZDO_NODE_DESC_confirm");
            } else {
                ORQ_LOG(*pLogger, WARN,
                        "getNodeDescriptor_Cb - ERROR: arrived a node desc confirm for a "
                        "unexistent node %04X",
                        nwk);
            }
            nodeDescOp.fail();
            if (nodeDescOp.nothingExpected()) {
                nodeDescOp.finish(End);
            }
            RPCReqStatus st(c, err);
            if (!c.rpcContext.notify(static_cast<Node*>(nullptr), &st)) {
                c.rpcContext.respond(nwk, nullptr, nullptr, c.rpcContext.getSessionId(), &st);
            }
            return;
        }
        decodeNode(*nd, node, "getNodeDescriptor_Cb");
        RPCReqStatus st(c, AGENT_SUCCESS);
        if (nodeDescOp.nothingExpected()) {
            nodeDescOp.finish(End);
        }
        if (!c.rpcContext.notify(node, &st) &&
            !c.rpcContext.respond(nwk, const_cast<unsigned char*>(node->get_ieee_addr()),
                                  &node->node_desc, c.rpcContext.getSessionId(), &st)) {
            ORQ_LOG(*pLogger, DEBUG,
                    "getNodeDescriptor_Cb - Both getRPCNotifyCb and getRPCResponseCb are NULL");
        }
    }

    void getPowerDescriptor_Cb(unsigned char status, unsigned short nwk, ZB_POWER_DESC* pd) {
        std::lock_guard<std::recursive_mutex> lock(mux);
        if (!powerDescOp.isRunning()) {
            return;
        }
        auto& c = functionsContext.getPowerDescriptor;
        std::lock_guard<std::recursive_mutex> dbLock(pOrqDb->mutex());
        powerDescOp.received();
        Node* node = pOrqDb->findNodeByNwkAddr(nwk);
        AgentError err = AGENT_SUCCESS;
        if (status != 0 || pd == nullptr) {
            err = POWER_DESCRIPTOR_ERROR;
        } else if (node == nullptr) {
            err = NONEXISTENTENT_NODE;
        } else {
            decodePower(*pd, node, "getPowerDescriptor_Cb");
        }
        if (err != AGENT_SUCCESS) {
            powerDescOp.fail();
        }
        if (!powerDescOp.nothingExpected()) {
            ORQ_LOG(*pLogger, DEBUG, "getPowerDescriptor_Cb - getPowerDescriptor NOT completed.");
            return;
        }
        ORQ_LOG(*pLogger, DEBUG, "getPowerDescriptor_Cb - getPowerDescriptor completed (node %04X)",
                nwk);
        powerDescOp.finish(End);
        RPCReqStatus st(c, err);
        if (err == AGENT_SUCCESS) {
            c.rpcContext.respond(nwk, const_cast<unsigned char*>(node->get_ieee_addr()),
                                 &node->power_desc, c.rpcContext.getSessionId(), &st);
        } else {
            c.rpcContext.respond(nwk, nullptr, nullptr, c.rpcContext.getSessionId(), &st);
        }
    }

    void superDiscovery_Cb(unsigned char status, unsigned char* ieee, unsigned short nwk,
                           unsigned char count, unsigned char, unsigned short* list) {
        std::lock_guard<std::recursive_mutex> lock(mux);
        if (!superOp.isRunning() || !takePending(superPendingIeee, nwk)) {
            return;
        }
        std::lock_guard<std::recursive_mutex> dbLock(pOrqDb->mutex());
        superOp.received();
        Node* reporter = pOrqDb->findNodeByNwkAddr(nwk);
        if (status != 0 || ieee == nullptr || reporter == nullptr) {
            // A node removed meanwhile counts as a failed answer; the walk goes on.
            superOp.fail();
            superWalk.markIncomplete();
        } else {
            reporter->set_ieee_addr(ieee);
            int asked = 0;
            for (int i = 0; i < count && list != nullptr; ++i) {
                if (!adoptChild(superWalk, reporter, ieee, list[i], "superDiscovery_Cb")) {
                    superOp.fail();
                    continue;
                }
                requestAllOf(list[i]);
                ++asked;
            }
            if (asked > 0) {
                superOp.rearm(superDeadline.add(3 * asked), &timerThread, this,
                              &DiscoveryAgent::onSuperDiscovery);
            }
        }
        if (superOp.nothingExpected()) {
            ORQ_LOG(*pLogger, INFO,
                    "superDiscovery_Cb - numExpectedMsgs = 0  (superDiscovery completed in "
                    "superDiscovery_Cb) -> WARNING");
            completeSuper();
        }
    }

    void superDiscovery_ND_Cb(unsigned char status, unsigned short nwk, ZB_NODE_DESC* nd) {
        superDescriptorConfirm(superPendingNodeDesc, status, nwk, nd, "superDiscovery_ND_Cb",
                               "ZDO_NODE_DESC_confirm", "node desc", &DiscoveryAgent::decodeNode);
    }
    void superDiscovery_PD_Cb(unsigned char status, unsigned short nwk, ZB_POWER_DESC* pd) {
        superDescriptorConfirm(superPendingPowerDesc, status, nwk, pd, "superDiscovery_PD_Cb",
                               "ZDO_POWER_DESC_confirm", "power desc",
                               &DiscoveryAgent::decodePower);
    }

    // ---- Time-outs (pool threads) ----

    void onInquiry() {
        std::lock_guard<std::recursive_mutex> lock(mux);
        if (!inquiryOp.expire()) {
            return;
        }
        ORQ_LOG(*pLogger, WARN, "onInquiry - Inquiry canceled (timeout expired)");
        ORQ_LOG(*pLogger, WARN, "onInquiry - Discovery using LQI interrupted!");
        endWalk(inquiryOp, inquiryPending, inquiryWalk, TIMER_EXPIRED);
    }
    void onMgmtLQIRequest() {
        std::lock_guard<std::recursive_mutex> lock(mux);
        if (!lqiOp.expire()) {
            return;
        }
        ORQ_LOG(*pLogger, WARN, "onMgmtLQIRequest - MgmtLQI canceled (timeout expired)");
        endWalk(lqiOp, lqiPending, lqiWalk, TIMER_EXPIRED);
    }
    void onSuperDiscovery() {
        std::lock_guard<std::recursive_mutex> lock(mux);
        if (!superOp.expire()) {
            return;
        }
        ORQ_LOG(*pLogger, WARN, "onTimer - superDiscovery canceled (Failed)");
        // The time-out is the usual end of a large combined discovery: the reply carries
        // what was found.
        completeSuper(Canceled);
    }
    void onGetNodeDescriptor() {
        std::lock_guard<std::recursive_mutex> lock(mux);
        if (!nodeDescOp.expire()) {
            return;
        }
        ORQ_LOG(*pLogger, WARN, "onGetNodeDescriptor - timer canceled (Failed)");
        endNodeDescriptor(TIMER_EXPIRED);
    }
    void onGetPowerDescriptor() {
        std::lock_guard<std::recursive_mutex> lock(mux);
        if (!powerDescOp.expire()) {
            return;
        }
        ORQ_LOG(*pLogger, WARN, "onTimer - getPowerDescriptor canceled (Failed)");
        endPowerDescriptor(TIMER_EXPIRED);
    }

    // The module went away (state 4, any thread): every operation waiting for it is answered
    // at once with AGENT_ERROR, the way its time-out answers. The announcement and freshness
    // modes wait for nothing and stay.
    void moduleAway() {
        std::lock_guard<std::recursive_mutex> lock(mux);
        if (inquiryOp.abandon()) {
            ORQ_LOG(*pLogger, WARN, "moduleAway - inquiry ended");
            endWalk(inquiryOp, inquiryPending, inquiryWalk, AGENT_ERROR);
        }
        if (lqiOp.abandon()) {
            ORQ_LOG(*pLogger, WARN, "moduleAway - MgmtLQI ended");
            endWalk(lqiOp, lqiPending, lqiWalk, AGENT_ERROR);
        }
        if (superOp.abandon()) {
            ORQ_LOG(*pLogger, WARN, "moduleAway - superDiscovery ended");
            completeSuper(Canceled, AGENT_ERROR);
        }
        if (nodeDescOp.abandon()) {
            ORQ_LOG(*pLogger, WARN, "moduleAway - getNodeDescriptor ended");
            endNodeDescriptor(AGENT_ERROR);
        }
        if (powerDescOp.abandon()) {
            ORQ_LOG(*pLogger, WARN, "moduleAway - getPowerDescriptor ended");
            endPowerDescriptor(AGENT_ERROR);
        }
    }

    // ---- Keep-alive ----

    // The pings the keep-alive steps decided on, taken by the keep-alive task, which sends
    // each and pauses after it holding no lock.
    std::vector<unsigned short> takeDuePings() {
        std::lock_guard<std::recursive_mutex> lock(mux);
        std::vector<unsigned short> out;
        out.swap(duePings);
        return out;
    }

    // One keep-alive visit of `node` (keep-alive thread; under mux and the database mutex).
    // A ping it decides on is queued for takeDuePings().
    void keepAliveAlgorithm(Node* node) {
        std::lock_guard<std::recursive_mutex> lock(mux);
        std::lock_guard<std::recursive_mutex> dbLock(pOrqDb->mutex());
        const long now = static_cast<long>(std::time(nullptr));
        const int threshold = KAthreshold;
        const unsigned short nwk = node->get_nwk_addr();
        long stamp = node->getKANodeTimer();
        if (stamp == KA_UNKNOWN_TO_NETWORK) {
            announceDeadNode(node);
            return;
        }
        if (!node->node_desc.receiveronwhenidle) {
            if (node->getIsActive() && nwk != 0) {
                if (debugEnabled) {
                    std::printf("keepAliveAlgorithm - Node 0x%04x SLEEPY_DEVICE\n", nwk);
                }
                removeFromDeadList(node);
            } else if (!node->getIsActive()) {
                ORQ_LOG(*pLogger, INFO, "\n\nNEW PART - ANNOUNCE THE SLEEPY NODE!!!\n\n");
                node->setKANodeTimer(now);
                unsigned char ieee[8];
                std::memcpy(ieee, node->get_ieee_addr(), 8);
                Announce_Cb(nwk, ieee, 0);
            }
            return;
        }
        if (!node->getIsActive() && stamp != 0) {
            ORQ_LOG(*pLogger, DEBUG, "keepAliveAlgorithm - Set 0x%04x node in \"pinging\" mode",
                    nwk);
            stamp = threshold - 1;
            node->setKANodeTimer(stamp);
        }
        if (stamp == KA_NO_TIMESTAMP) {
            node->setKANodeTimer(now);
            ORQ_LOG(*pLogger, DEBUG,
                    "keepAliveAlgorithm - Found node 0x%04x without timestamp, send a ping", nwk);
            duePings.push_back(nwk);
            return;
        }
        if (stamp != KA_BEING_PINGED) {
            if (now - stamp > threshold + pingJitterSeconds(nwk, threshold)) {
                insertNodeIntoDeadingNodeList(node->get_ieee_addr(), now);
                node->setKANodeTimer(KA_BEING_PINGED);
                node->setnumOfPingsDone(1);
                ORQ_LOG(*pLogger, INFO, "keepAliveAlgorithm - Sending first ping to 0x%04x", nwk);
                duePings.push_back(nwk);
            } else if (now - stamp <= threshold && node->getIsActive()) {
                if (debugEnabled) {
                    std::printf("keepAliveAlgorithm - Node 0x%04x OK (%d sec)\n", nwk,
                                static_cast<int>(now - stamp));
                }
                removeFromDeadList(node);
            }
            return;
        }
        ORQ_LOG(*pLogger, DEBUG, "keepAliveAlgorithm - Node 0x%04x is in deadList (NumOfNodes: %d)",
                nwk, static_cast<int>(deadingNodeList.size()));
        const int index = searchNodeFromDeadingNodeList(node);
        if (index < 0 || index >= static_cast<int>(deadingNodeList.size())) {
            ORQ_LOG(*pLogger, DEBUG,
                    "keepAliveAlgorithm - Node 0x%04x not found in deadingNodeList, refreshing "
                    "its values!",
                    nwk);
            node->setKANodeTimer(threshold - 2);
        } else if (node->getnumOfPingsDone() < KAnumOfPings) {
            node->setnumOfPingsDone(node->getnumOfPingsDone() + 1);
            ORQ_LOG(*pLogger, INFO, "keepAliveAlgorithm - SENDING a ping to 0x%04x (%0x times)",
                    nwk, node->getnumOfPingsDone());
            duePings.push_back(nwk);
        } else {
            std::printf("++++++\nNODE 0x%04x IS NOT REACHABLE ANYMORE!\n++++++\n", nwk);
            announceDeadNode(node);
            removeNodeFromDeadingNodeList(index);
        }
    }

    // The forced ping of a node whose neighbour table is old (keep-alive thread).
    void forcePingAlgorithm(Node* node) {
        std::lock_guard<std::recursive_mutex> lock(mux);
        std::lock_guard<std::recursive_mutex> dbLock(pOrqDb->mutex());
        if (forceLQIPingTimer == 0) {
            return;
        }
        const long now = static_cast<long>(std::time(nullptr));
        const unsigned short nwk = node->get_nwk_addr();
        if (node->getForcePingTimer() == 0) {
            node->setForcePingTimer(now);
            return;
        }
        if (!node->getIsActive() || node->getForcePingTimer() + forceLQIPingTimer > now) {
            return;
        }
        if (!node->node_desc.receiveronwhenidle) {
            ORQ_LOG(*pLogger, DEBUG,
                    "forcePingAlgorithm - Node 0x%04x is sleepyEndDevice (skipped)", nwk);
        } else {
            ORQ_LOG(*pLogger, INFO,
                    "forcePingAlgorithm - Node 0x%04x needs to be ping (forced ping)!", nwk);
            node->setIsActive(false);
            node->removeOldLQIInformation(nullptr, 0);
            duePings.push_back(nwk);
        }
        node->setForcePingTimer(now);
    }

    // ---- Dead-node list ----

    void insertNodeIntoDeadingNodeList(const unsigned char* ieee, long time) {
        std::lock_guard<std::recursive_mutex> lock(mux);
        for (const deadingNode& d : deadingNodeList) {
            if (std::memcmp(d.ieee_addr, ieee, 8) == 0) {
                ORQ_LOG(*pLogger, WARN,
                        "insertNodeIntoDeadingNodeList - WARNING: Node already present in "
                        "deadingNodeList");
                return;
            }
        }
        deadingNode d{};
        std::memcpy(d.ieee_addr, ieee, 8);
        d.expiredTime = time;
        deadingNodeList.push_back(d);
        ORQ_LOG(*pLogger, DEBUG, "insertNodeIntoDeadingNodeList - List updated (counter: %02x)",
                static_cast<int>(deadingNodeList.size()));
        for (size_t i = 0; i < deadingNodeList.size(); ++i) {
            const unsigned char* a = deadingNodeList[i].ieee_addr;
            ORQ_LOG(*pLogger, DEBUG, "Pos %d - IEEE: %02x:%02x:%02x:%02x:%02x:%02x:%02x:%02x",
                    static_cast<int>(i), a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7]);
        }
    }
    void removeNodeFromDeadingNodeList(int index) {
        std::lock_guard<std::recursive_mutex> lock(mux);
        if (index >= 0 && index < static_cast<int>(deadingNodeList.size())) {
            deadingNodeList.erase(deadingNodeList.begin() + index);
        }
    }
    // The index; -1 for an empty list; the count when absent.
    int searchNodeFromDeadingNodeList(const Node* node) {
        std::lock_guard<std::recursive_mutex> lock(mux);
        if (deadingNodeList.empty()) {
            return -1;
        }
        for (size_t i = 0; i < deadingNodeList.size(); ++i) {
            if (std::memcmp(deadingNodeList[i].ieee_addr, node->get_ieee_addr(), 8) == 0) {
                return static_cast<int>(i);
            }
        }
        return static_cast<int>(deadingNodeList.size());
    }
    void clearDeadingNodeList() {
        std::lock_guard<std::recursive_mutex> lock(mux);
        ORQ_LOG(*pLogger, DEBUG, "clearDeadingNodeList (length %d)",
                static_cast<int>(deadingNodeList.size()));
        deadingNodeList.clear();
    }
    // Whether the node now known under `nwk` is in the dead-node list.
    bool isInDeadingNodeList(unsigned short nwk) {
        std::lock_guard<std::recursive_mutex> lock(mux);
        std::lock_guard<std::recursive_mutex> dbLock(pOrqDb->mutex());
        Node* node = pOrqDb->findNodeByNwkAddr(nwk);
        if (node == nullptr) {
            return false;
        }
        const int i = searchNodeFromDeadingNodeList(node);
        return i >= 0 && i < static_cast<int>(deadingNodeList.size());
    }
    int getDeadingNodeListCounter() {
        std::lock_guard<std::recursive_mutex> lock(mux);
        return static_cast<int>(deadingNodeList.size());
    }

  private:
    void answer(const RPCContext<T, ProcResF, NodeNotF>* ctx, RPCReqStatus& st) {
        if (ctx != nullptr) {
            ctx->respond(ctx->getSessionId(), &st);
        }
    }
    void logRefusal(const char* op, AgentError e) {
        if (e == ORQ_NOT_RUNNING) {
            ORQ_LOG(*pLogger, ERROR, "%s - Error ORQ_NOT_RUNNING", op);
        } else if (e == AGENT_BUSY) {
            ORQ_LOG(*pLogger, WARN, "%s - A %s is already running", op,
                    std::strcmp(op, "startInquiry") == 0 ? "Inquiry" : op);
        } else {
            ORQ_LOG(*pLogger, ERROR, "%s - timer error (%d)", op, static_cast<int>(e));
        }
    }

    static bool takePending(std::multiset<unsigned short>& pending, unsigned short nwk) {
        auto it = pending.find(nwk);
        if (it == pending.end()) {
            return false;
        }
        pending.erase(it);
        return true;
    }

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
    void requestAddress(Op& op, std::multiset<unsigned short>& pending, unsigned short nwk) {
        pending.insert(nwk);
        op.expect(1);
        post(&op, [this, nwk] { pOrqZb->ZDO_IEEE_ADDR_request(nwk, 1, 0); });
    }
    void requestAddress(unsigned short nwk) {
        post<AgentOperation<ProcCtx>>(nullptr,
                                      [this, nwk] { pOrqZb->ZDO_IEEE_ADDR_request(nwk, 1, 0); });
    }
    // A management LQI request; for the LQI discovery (walk not null) it is one more
    // answer the walk waits for.
    void requestLqi(AgentOperation<ProcCtx>* walk, unsigned short nwk, unsigned char start) {
        if (walk != nullptr) {
            lqiPending.insert(nwk);
            walk->expect(1);
        }
        post(walk, [this, nwk, start] { pOrqZb->ZB_MGMT_LQI_request(nwk, start); });
    }
    // The three requests of the combined discovery for one node, which it has now reached.
    void requestAllOf(unsigned short nwk) {
        superWalk.reach(nwk);
        superPendingIeee.insert(nwk);
        superPendingNodeDesc.insert(nwk);
        superPendingPowerDesc.insert(nwk);
        superOp.expect(3);
        post(&superOp, [this, nwk] { pOrqZb->ZDO_IEEE_ADDR_request(nwk, 1, 0); });
        post(&superOp, [this, nwk] { pOrqZb->ZDO_NODE_DESC_request(nwk, nwk); });
        post(&superOp, [this, nwk] { pOrqZb->ZDO_POWER_DESC_request(nwk, nwk); });
    }

    // A child listed by `reporter` during an address walk: false when the walk reached it
    // already (a child reported by two parents). Else it is the reporter's neighbour, to be
    // asked: the node the database holds (known before the walk, or announced during it), or
    // a new one.
    bool adoptChild(WalkRecord& walk, Node* reporter, const unsigned char* reporterIeee,
                    unsigned short child, const char* op) {
        if (!walk.reach(child)) {
            ORQ_LOG(*pLogger, WARN, "%s - ATTENTION: node already discovered!", op);
            return false;
        }
        Node* n = pOrqDb->findNodeByNwkAddr(child);
        if (n == nullptr) {
            n = new Node(child);
            n->node_desc.receiveronwhenidle = true;
        }
        pOrqDb->addNeighbor(reporter, n);
        pOrqDb->addTranslationEntry(reporter->get_nwk_addr(), reporterIeee);
        return true;
    }

    void learnNeighbour(Node* reporter, const ZB_NEIGHBOR_TABLE_LIST& e) {
        const bool rxOn = (e.devTypeRxOnRelation & 0x04) != 0;
        Node* nb = pOrqDb->findNodeByNwkAddr(e.NetworkAddress);
        if (nb != nullptr) {
            if (nb == pOrqDb->getRoot()) {
                return;  // the root's own flags come from the module
            }
            nb->node_desc.receiveronwhenidle = rxOn;
            if (std::memcmp(nb->get_ieee_addr(), e.ExtendedAddress, 8) != 0) {
                const unsigned char* s = nb->get_ieee_addr();
                const unsigned char* r = e.ExtendedAddress;
                ORQ_LOG(*pLogger, WARN,
                        "Mgmt_LQI_Cb - ERROR: Found a node (0x%04x) with a wrong IEEEAddress "
                        "(%02x:%02x:%02x:%02x:%02x:%02x:%02x:%02x instead of the stored "
                        "%02x:%02x:%02x:%02x:%02x:%02x:%02x:%02x)! Send ZDO_IEEE_ADDR_request!\n",
                        e.NetworkAddress, r[0], r[1], r[2], r[3], r[4], r[5], r[6], r[7], s[0],
                        s[1], s[2], s[3], s[4], s[5], s[6], s[7]);
                requestAddress(e.NetworkAddress);
            }
            return;
        }
        if (pOrqDb->findNodeByIEEEAddr(e.ExtendedAddress) != nullptr) {
            // Known under another short address (it rejoined): its own announcement or an
            // address confirm moves it; a second entry would duplicate it.
            requestAddress(e.NetworkAddress);
            return;
        }
        nb = new Node(e.NetworkAddress);
        pOrqDb->addNeighbor(reporter, nb);
        nb->set_ieee_addr(e.ExtendedAddress);
        nb->node_desc.receiveronwhenidle = rxOn;
        pOrqDb->addTranslationEntry(e.NetworkAddress, e.ExtendedAddress);
        const unsigned char* a = e.ExtendedAddress;
        ORQ_LOG(*pLogger, INFO,
                "Mgmt_LQI_Cb - Created a new entry for neighbor 0x%04x - "
                "%02x:%02x:%02x:%02x:%02x:%02x:%02x:%02x, cap 0x%02x",
                e.NetworkAddress, a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7],
                e.devTypeRxOnRelation);
        if ((e.devTypeRxOnRelation & 0x03) == 2 && !rxOn) {
            ORQ_LOG(*pLogger, INFO, "Mgmt_LQI_Cb - Sleepy End Device, announce it now!");
            reporter->setKANodeTimer(static_cast<long>(std::time(nullptr)));
            unsigned char ieee[8];
            std::memcpy(ieee, e.ExtendedAddress, 8);
            Announce_Cb(e.NetworkAddress, ieee, 8);
        } else {
            ORQ_LOG(*pLogger, DEBUG, "Mgmt_LQI_Cb - No sleepy node, announce it later");
            nb->setIsActive(false);
        }
    }

    void decodeNode(const ZB_NODE_DESC& nd, Node* node, const char* op) {
        int badType = -1;
        int badFreq = -1;
        decodeNodeDescriptor(nd, &node->node_desc, &badType, &badFreq);
        if (badType >= 0) {
            ORQ_LOG(*pLogger, WARN, "%s - logicaltype unknown %d", op, badType);
        }
        if (badFreq >= 0) {
            ORQ_LOG(*pLogger, WARN, "%s - frequency unknown %d", op, badFreq);
        }
    }
    void decodePower(const ZB_POWER_DESC& pd, Node* node, const char* op) {
        int badMode = -1;
        int badLevel = -1;
        decodePowerDescriptor(pd, &node->power_desc, &badMode, &badLevel);
        if (badMode >= 0) {
            ORQ_LOG(*pLogger, WARN, "%s - Currentpowermode unknown %d", op, badMode);
        }
        if (badLevel >= 0) {
            ORQ_LOG(*pLogger, WARN, "%s - Currentpowersourcelevel unknown %d", op, badLevel);
        }
    }

    // A node or power descriptor confirm of the combined discovery.
    template <typename Desc>
    void superDescriptorConfirm(std::multiset<unsigned short>& pending, unsigned char status,
                                unsigned short nwk, Desc* desc, const char* op, const char* confirm,
                                const char* what,
                                void (DiscoveryAgent::*decode)(const Desc&, Node*, const char*)) {
        std::lock_guard<std::recursive_mutex> lock(mux);
        if (!superOp.isRunning() || !takePending(pending, nwk)) {
            return;
        }
        std::lock_guard<std::recursive_mutex> dbLock(pOrqDb->mutex());
        superOp.received();
        Node* node = pOrqDb->findNodeByNwkAddr(nwk);
        if (status != 0 || desc == nullptr) {
            ORQ_LOG(*pLogger, WARN, "%s - ERROR returned by %s", op, confirm);
            superOp.fail();
        } else if (node == nullptr) {
            ORQ_LOG(*pLogger, WARN,
                    "%s - INTERNAL ERROR: arrived a %s confirm for a unexistent node %04X", op,
                    what, nwk);
            superOp.fail();
        } else {
            (this->*decode)(*desc, node, op);
        }
        if (superOp.nothingExpected()) {
            ORQ_LOG(*pLogger, INFO, "%s - superDiscovery completed", op);
            completeSuper();
        }
    }

    void completeInquiry() {
        ORQ_LOG(*pLogger, INFO, "DiscoveryAgent<T>::Inquiry_Cb - Inquiry completed");
        if (functionsContext.inquiry.timerData) {
            ORQ_LOG(*pLogger, DEBUG, "Inquiry_Cb - Timer removed (b)");
        } else {
            ORQ_LOG(*pLogger, DEBUG, "Inquiry_Cb - Timer was already removed (b)");
        }
        inquiryOp.finish(End);
        inquiryPending.clear();
        inquiryWalk.end(pOrqDb, true, *pLogger);
    }
    // Ends the LQI discovery and tells its listener how.
    void completeLqi(AgentError e) {
        lqiOp.finish(End);
        lqiPending.clear();
        lqiWalk.end(pOrqDb, true, *pLogger);
        RPCReqStatus st(functionsContext.MgmtLQI, e);
        functionsContext.MgmtLQI.rpcContext.notify(static_cast<Node*>(nullptr), &st);
    }
    // The reply carries what was found (also after the time-out, the usual end of a large
    // discovery); `e` is AGENT_ERROR when the module went away.
    void completeSuper(fState_t state = End, AgentError e = AGENT_SUCCESS) {
        superOp.finish(state);
        superPendingIeee.clear();
        superPendingNodeDesc.clear();
        superPendingPowerDesc.clear();
        superWalk.end(pOrqDb, state == End, *pLogger);
        auto& c = functionsContext.superDiscovery;
        RPCReqStatus st(c, e);
        std::lock_guard<std::recursive_mutex> dbLock(pOrqDb->mutex());
        c.rpcContext.respond(pOrqDb, c.rpcContext.getSessionId(), &st);
    }

    // A walk that will hear no more: its time-out (TIMER_EXPIRED) or the module gone
    // (AGENT_ERROR), told to its listener.
    void endWalk(AgentOperation<ProcCtx>& op, std::multiset<unsigned short>& pending,
                 WalkRecord& walk, AgentError e) {
        op.finish(Canceled);
        pending.clear();
        walk.end(pOrqDb, false, *pLogger);
        RPCReqStatus st(op.context(), e);
        op.context().rpcContext.notify(static_cast<Node*>(nullptr), &st);
    }
    // A descriptor request whose confirm will not come (its time-out or the module gone).
    void endNodeDescriptor(AgentError e) {
        auto& c = functionsContext.getNodeDescriptor;
        RPCReqStatus st(c, e);
        nodeDescOp.finish(Canceled);
        if (!c.rpcContext.notify(static_cast<Node*>(nullptr), &st)) {
            c.rpcContext.respond(static_cast<unsigned short>(0), nullptr, nullptr,
                                 c.rpcContext.getSessionId(), &st);
        }
    }
    void endPowerDescriptor(AgentError e) {
        auto& c = functionsContext.getPowerDescriptor;
        powerDescOp.finish(Canceled);
        RPCReqStatus st(c, e);
        c.rpcContext.respond(static_cast<unsigned short>(0), nullptr, nullptr,
                             c.rpcContext.getSessionId(), &st);
    }

    AgentError cancelWalk(AgentOperation<ProcCtx>& op, std::multiset<unsigned short>& pending,
                          WalkRecord& walk, CancelInquiryCtxt* ctx, const char* name) {
        bool wasRunning;
        {
            std::lock_guard<std::recursive_mutex> lock(mux);
            wasRunning = op.cancel();
            if (wasRunning) {
                pending.clear();
                walk.end(pOrqDb, false, *pLogger);
            }
        }
        const int session = ctx != nullptr ? ctx->getSessionId() : -1;
        if (!wasRunning) {
            ORQ_LOG(*pLogger, INFO, "%s - Inquiry not running", name);
            RPCReqStatus st(End, 1, INQUIRY_NOT_RUNNING);
            if (ctx != nullptr) {
                ctx->respond(session, &st);
            }
            return INQUIRY_NOT_RUNNING;
        }
        ORQ_LOG(*pLogger, INFO, "%s - Inquiry canceled", name);
        RPCReqStatus st(End, 0, AGENT_SUCCESS);
        if (ctx != nullptr) {
            ctx->respond(session, &st);
        }
        return AGENT_SUCCESS;
    }

    AgentError startMode(AgentOperation<ProcCtx>& op, InquiryCtxt* ctx, const char* overwriteLog) {
        std::lock_guard<std::recursive_mutex> lock(mux);
        if (op.isRunning()) {
            ORQ_LOG(*pLogger, INFO, "%s", overwriteLog);
        }
        OperationStart how;
        how.needsNetwork = false;
        how.overwrite = true;
        AgentError e = op.begin(how, ctx, this, &timerThread, &DiscoveryAgent::onInquiry,
                                [&](RPCReqStatus& st) { answer(ctx, st); });
        if (e == AGENT_SUCCESS) {
            RPCReqStatus st(Running, 0, AGENT_SUCCESS);
            answer(ctx, st);
        }
        return e;
    }
    AgentError cancelMode(AgentOperation<ProcCtx>& op, CancelInquiryCtxt* ctx, const char* name) {
        std::lock_guard<std::recursive_mutex> lock(mux);
        const int session = ctx != nullptr ? ctx->getSessionId() : -1;
        if (!op.cancel()) {
            ORQ_LOG(*pLogger, INFO, "%s - not running", name);
            RPCReqStatus st(End, 1, ANNCE_MODE_NOT_RUNNING);
            if (ctx != nullptr) {
                ctx->respond(session, &st);
            }
            return ANNCE_MODE_NOT_RUNNING;
        }
        ORQ_LOG(*pLogger, INFO, "%s - canceled", name);
        RPCReqStatus st(End, 0, AGENT_SUCCESS);
        if (ctx != nullptr) {
            ctx->respond(session, &st);
        }
        return AGENT_SUCCESS;
    }

    // A node found dead goes to the freshness listener (the handler removes it).
    void announceDeadNode(Node* node) {
        auto& c = functionsContext.freshness;
        node->setIsActive(false);
        if (freshnessOp.isRunning() && c.rpcContext.hasNotify()) {
            ORQ_LOG(*pLogger, INFO, "announceDeadNode: send notification!");
            RPCReqStatus st(c, AGENT_SUCCESS);
            c.rpcContext.notify(node, &st);
        } else {
            ORQ_LOG(*pLogger, INFO, "Node never activated, deleting without notify!");
        }
    }
    void removeFromDeadList(const Node* node) {
        const int index = searchNodeFromDeadingNodeList(node);
        if (index >= 0 && index < static_cast<int>(deadingNodeList.size())) {
            removeNodeFromDeadingNodeList(index);
        }
    }

    void registerLqiListener() {
        if (!lqiListenerRegistered.exchange(true)) {
            pOrqZb->registerListener(ZB_EV_ZB_MGMT_LQI_RESPONSE, &lqiListener);
        }
    }

    std::chrono::milliseconds pacingNow() {
        std::lock_guard<std::recursive_mutex> lock(mux);
        return pacing;
    }
    // Sleeps up to `d`; false when the agent is being destroyed.
    bool pause(std::chrono::milliseconds d) {
        std::unique_lock<std::mutex> lock(taskMux);
        return !taskCv.wait_for(lock, d, [this] { return stopping; });
    }
    KeepAliveTimings timings() {
        std::lock_guard<std::mutex> lock(taskMux);
        return kaTimings;
    }
    unsigned short rootAddress() {
        std::lock_guard<std::recursive_mutex> dbLock(pOrqDb->mutex());
        Node* root = pOrqDb->getRoot();
        return root != nullptr ? root->get_nwk_addr() : 0;
    }

    // The keep-alive task. It waits for the network (never ends the process when the root
    // is missing), then visits one node at a time for as long as the agent lives.
    void startKATask_SW() {
        while (pOrqDb->getDBNodesSize() == 0) {
            if (!pause(timings().poll)) {
                return;
            }
        }
        registerLqiListener();
        if (!pause(timings().startDelay)) {
            return;
        }
        bool told = false;
        while (true) {
            {
                std::lock_guard<std::recursive_mutex> dbLock(pOrqDb->mutex());
                Node* root = pOrqDb->getRoot();
                if (root != nullptr) {
                    root->setKANodeTimer(KA_NO_TIMESTAMP);
                    break;
                }
            }
            if (!told) {
                std::printf(
                    "startKATask_SW - ERROR: At least one node shall be present to the "
                    "dictionary!\n");
                told = true;
            }
            if (!pause(timings().poll)) {
                return;
            }
        }
        std::printf(
            "\n************\nkeepAliveAlgorithm AND forcePingAlgorithm start now!\n"
            "************\n");
        std::fflush(stdout);
        unsigned short current = rootAddress();
        while (true) {
            if (pOrqZb->getGWStatus() != 3 || KAthreshold <= 0) {
                current = rootAddress();
                if (!pause(timings().poll)) {
                    return;
                }
                continue;
            }
            {
                std::lock_guard<std::recursive_mutex> lock(mux);
                std::lock_guard<std::recursive_mutex> dbLock(pOrqDb->mutex());
                Node* node = pOrqDb->findNodeByNwkAddr(current);
                if (node != nullptr) {
                    keepAliveAlgorithm(node);
                    node = pOrqDb->findNodeByNwkAddr(current);
                    if (node != nullptr) {
                        forcePingAlgorithm(node);
                    }
                }
            }
            for (unsigned short nwk : takeDuePings()) {
                pOrqZb->ZB_MGMT_LQI_request(nwk, 0);
                if (!pause(pacingNow())) {
                    return;
                }
            }
            if (!pause(timings().visit)) {
                return;
            }
            std::lock_guard<std::recursive_mutex> dbLock(pOrqDb->mutex());
            Node* node = pOrqDb->findNodeByNwkAddr(current);
            Node* next = node != nullptr ? pOrqDb->getNextNode(node) : nullptr;
            if (next == nullptr) {
                next = pOrqDb->getFirstNode();
            }
            current = next != nullptr ? next->get_nwk_addr() : rootAddress();
        }
    }

    struct Task {
        bool taskStarted = false;
        std::thread tid;
    };

    std::atomic<bool> rootNodeDiscovered{false};
    std::atomic<int> KAthreshold{60};
    int KAnumOfPings = 3;
    int forceLQIPingTimer = 240;
    std::chrono::milliseconds pacing{kPacing};  // under mux
    Task tasks;
    std::recursive_mutex mux;
    std::vector<deadingNode> deadingNodeList;
    std::vector<unsigned short> duePings;
    fContexts functionsContext;

    // Listener records (before the operations that name them).
    ZbDeviceAnnceListener announceListener{
        [this](ushort nwk, uchar* ieee, uchar cap) { Announce_Cb(nwk, ieee, cap); }};
    ZbAddrConfirmListener ieeeListener{
        [this](uchar s, uchar* ieee, ushort nwk, uchar n, uchar i, ushort* l) {
            IeeeAddrConfirm_Cb(s, ieee, nwk, n, i, l);
        }};
    ZbAddrConfirmListener inquiryListener{[this](uchar s, uchar* ieee, ushort nwk, uchar n, uchar i,
                                                 ushort* l) { Inquiry_Cb(s, ieee, nwk, n, i, l); }};
    ZbMgmtLqiListener lqiListener{
        [this](uchar mode, uchar* addr, uchar s, uchar total, uchar start, uchar count,
               ZB_NEIGHBOR_TABLE_LIST* l) { Mgmt_LQI_Cb(mode, addr, s, total, start, count, l); }};
    ZbNodeDescListener nodeDescListener{
        [this](uchar s, ushort nwk, ZB_NODE_DESC* d) { getNodeDescriptor_Cb(s, nwk, d); }};
    ZbPowerDescListener powerDescListener{
        [this](uchar s, ushort nwk, ZB_POWER_DESC* d) { getPowerDescriptor_Cb(s, nwk, d); }};
    ZbAddrConfirmListener superIeeeListener{
        [this](uchar s, uchar* ieee, ushort nwk, uchar n, uchar i, ushort* l) {
            superDiscovery_Cb(s, ieee, nwk, n, i, l);
        }};
    ZbNodeDescListener superNodeDescListener{
        [this](uchar s, ushort nwk, ZB_NODE_DESC* d) { superDiscovery_ND_Cb(s, nwk, d); }};
    ZbPowerDescListener superPowerDescListener{
        [this](uchar s, ushort nwk, ZB_POWER_DESC* d) { superDiscovery_PD_Cb(s, nwk, d); }};

    AgentOperation<ProcCtx> inquiryOp;
    AgentOperation<ProcCtx> lqiOp;
    AgentOperation<NodeDescCtx> nodeDescOp;
    AgentOperation<PowerDescCtx> powerDescOp;
    AgentOperation<SuperCtx> superOp;
    AgentOperation<ProcCtx> announceOp;
    AgentOperation<ProcCtx> freshnessOp;
    // Addresses whose answers the running walks wait for, what they reached (under mux).
    std::multiset<unsigned short> inquiryPending, lqiPending;
    std::multiset<unsigned short> superPendingIeee, superPendingNodeDesc, superPendingPowerDesc;
    WalkRecord inquiryWalk, lqiWalk, superWalk;
    WalkDeadline superDeadline;
    std::atomic<bool> lqiListenerRegistered{false};

    std::mutex taskMux;  // stopping, the task's start and its timings
    std::condition_variable taskCv;
    bool stopping = false;
    KeepAliveTimings kaTimings;
    PacedSender sender{kPacing};
    ModuleAwayWatch awayWatch{pOrqZb, [this] { moduleAway(); }};
};

#endif
