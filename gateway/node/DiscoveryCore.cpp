#include "DiscoveryCore.h"

#include "CDebug.h"
#include "ConfigurationRepository.h"
#include "GWManagement.h"

DiscoveryCore::fContexts::fContexts(FeatureControl* fc)
    : inquiry(fc, FEATURE_INQUIRY),
      MgmtLQI(fc, FEATURE_INQUIRY),
      getNodeDescriptor(fc, FEATURE_NODE_DESC),
      getPowerDescriptor(fc, FEATURE_POWER_DESC),
      superDiscovery(fc, FEATURE_SUPER_DISCOVERY),
      announce(fc, FEATURE_ANNOUNCE),
      freshness(fc, FEATURE_FRESHNESS) {}

DiscoveryCore::DiscoveryCore(OrqZbIf* adapter, ConfigurationRepository* config, TimerClock* clock)
    : AgentEnvironment(adapter, config, "DiscoveryAgent", "Debug:DiscoveryAgentDL", clock),
      functionsContext(pOrqZb->getFeatureControl()),
      announceListener([this](ushort nwk, uchar* ieee, uchar cap) { Announce_Cb(nwk, ieee, cap); }),
      ieeeListener([this](uchar s, uchar* ieee, ushort nwk, uchar n, uchar i, ushort* l) {
          IeeeAddrConfirm_Cb(s, ieee, nwk, n, i, l);
      }),
      inquiryListener([this](uchar s, uchar* ieee, ushort nwk, uchar n, uchar i, ushort* l) {
          Inquiry_Cb(s, ieee, nwk, n, i, l);
      }),
      lqiListener([this](uchar mode, uchar* addr, uchar s, uchar total, uchar start, uchar count,
                         ZB_NEIGHBOR_TABLE_LIST* l) {
          Mgmt_LQI_Cb(mode, addr, s, total, start, count, l);
      }),
      nodeDescListener(
          [this](uchar s, ushort nwk, ZB_NODE_DESC* d) { getNodeDescriptor_Cb(s, nwk, d); }),
      powerDescListener(
          [this](uchar s, ushort nwk, ZB_POWER_DESC* d) { getPowerDescriptor_Cb(s, nwk, d); }),
      superIeeeListener([this](uchar s, uchar* ieee, ushort nwk, uchar n, uchar i, ushort* l) {
          superDiscovery_Cb(s, ieee, nwk, n, i, l);
      }),
      superNodeDescListener(
          [this](uchar s, ushort nwk, ZB_NODE_DESC* d) { superDiscovery_ND_Cb(s, nwk, d); }),
      superPowerDescListener(
          [this](uchar s, ushort nwk, ZB_POWER_DESC* d) { superDiscovery_PD_Cb(s, nwk, d); }),
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
      freshnessOp(functionsContext.freshness, pOrqZb, {}),
      keepAliveTask(pOrqZb, mux, *pLogger,
                    {[this](Node* node) { announceDeadNode(node); },
                     [this](unsigned short nwk, unsigned char* ieee) { Announce_Cb(nwk, ieee, 0); },
                     [this] { registerLqiListener(); },
                     [this](unsigned short nwk) { pOrqZb->ZB_MGMT_LQI_request(nwk, 0); }}),
      awayWatch(pOrqZb, [this] { moduleAway(); }) {}

DiscoveryCore::~DiscoveryCore() {
    keepAliveTask.stop();
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

void DiscoveryCore::init() {
    std::lock_guard<std::recursive_mutex> lock(mux);
    readDebugSettings();
    KeepAlive::Settings ka;
    ka.threshold = config->getint("main:keepAliveThreshold", 60);
    ka.numOfPings = config->getint("main:keepAliveNumberOfAttempt", 3);
    ka.forcePingTimeout = config->getint("main:forcePingTimeout", 240);
    ka.debugEnabled = debugEnabled;
    const int pacingMs = config->getint("main:discoveryPacingMs", kPacing.count());
    pacing = pacingMs >= 0 ? std::chrono::milliseconds(pacingMs) : kPacing;
    ka.pacing = pacing;
    keepAliveTask.configure(ka);
    sender.setPause(pacing);
}

void DiscoveryCore::initDAListeners() {
    pOrqZb->registerListener(ZB_EV_ZDO_DEVICE_ANNCE_INDICATION, &announceListener);
    pOrqZb->registerListener(ZB_EV_ZDO_IEEE_ADDR_CONFIRM, &ieeeListener);
}

void DiscoveryCore::networkRestarted() {
    init();
    std::lock_guard<std::recursive_mutex> lock(mux);
    keepAliveTask.clearDeadingNodeList();
}

AgentError DiscoveryCore::startInquiry(unsigned long timeout, const ProcPath* ctx) {
    std::lock_guard<std::recursive_mutex> lock(mux);
    OperationStart how;
    how.timeoutMs = timeout;
    how.answerTimerError = false;
    AgentError e = inquiryOp.begin(how, ctx, this, &timerThread, &DiscoveryCore::onInquiry,
                                   [&](RPCReqStatus& st) {
                                       logRefusal(Request::Inquiry, st.getReturnValue());
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
    keepAliveTask.clearDeadingNodeList();
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

AgentError DiscoveryCore::cancelInquiry(const CancelPath* ctx) {
    return cancelWalk(inquiryOp, inquiryPending, inquiryWalk, ctx, "cancelInquiry");
}

AgentError DiscoveryCore::MgmtLQI_Req(unsigned long timeout, const ProcPath* ctx) {
    std::lock_guard<std::recursive_mutex> lock(mux);
    OperationStart how;
    how.timeoutMs = timeout;
    how.answerTimerError = false;
    AgentError e = lqiOp.begin(
        how, ctx, this, &timerThread, &DiscoveryCore::onMgmtLQIRequest, [&](RPCReqStatus& st) {
            if (st.getReturnValue() == AGENT_BUSY) {
                ORQ_LOG(*pLogger, WARN,
                        "MgmtLQI_Req - WARNING: A MGMT_LQI inquiry is already "
                        "running!");
            } else {
                logRefusal(Request::LqiDiscovery, st.getReturnValue());
            }
            answer(ctx, st);
        });
    if (e != AGENT_SUCCESS) {
        return e;
    }
    registerLqiListener();
    std::lock_guard<std::recursive_mutex> dbLock(pOrqDb->mutex());
    lqiWalk.begin(pOrqDb, WalkKind::Neighbours);
    keepAliveTask.clearDeadingNodeList();
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

AgentError DiscoveryCore::cancelMgmtLQI_Req(const CancelPath* ctx) {
    return cancelWalk(lqiOp, lqiPending, lqiWalk, ctx, "cancelMgmtLQI_Req");
}

AgentError DiscoveryCore::superDiscovery(const DbPath* ctx) {
    std::lock_guard<std::recursive_mutex> lock(mux);
    // 10 s and a pause per request sent: the root's 3 now, 3 per node learnt of later.
    WalkDeadline limit(std::chrono::seconds(10), pacingNow());
    OperationStart how;
    how.timeoutMs = 1000UL * static_cast<unsigned long>(limit.add(3));
    AgentError e = superOp.begin(how, ctx, this, &timerThread, &DiscoveryCore::onSuperDiscovery,
                                 [&](RPCReqStatus& st) {
                                     logRefusal(Request::SuperDiscovery, st.getReturnValue());
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
    keepAliveTask.clearDeadingNodeList();
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

int DiscoveryCore::getNodeDescriptor(unsigned long timeout, unsigned short address,
                                     const NodeDescPath* ctx) {
    std::lock_guard<std::recursive_mutex> lock(mux);
    OperationStart how;
    how.timeoutMs = timeout;
    AgentError e = nodeDescOp.begin(
        how, ctx, this, &timerThread, &DiscoveryCore::onGetNodeDescriptor, [&](RPCReqStatus& st) {
            logRefusal(Request::NodeDescriptor, st.getReturnValue());
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

int DiscoveryCore::getPowerDescriptor(unsigned short address, const PowerDescPath* ctx) {
    std::lock_guard<std::recursive_mutex> lock(mux);
    OperationStart how;
    how.timeoutMs = 6000;
    AgentError e = powerDescOp.begin(
        how, ctx, this, &timerThread, &DiscoveryCore::onGetPowerDescriptor, [&](RPCReqStatus& st) {
            if (st.getReturnValue() == TIMER_ERROR) {
                ORQ_LOG(*pLogger, ERROR, "getPowerDescriptor - ERROR creating timer!");
            } else {
                logRefusal(Request::PowerDescriptor, st.getReturnValue());
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

AgentError DiscoveryCore::retrieveNodes(const DbPath* ctx) {
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

AgentError DiscoveryCore::startAnnouncementsMode(const ProcPath* ctx) {
    return startMode(announceOp, ctx,
                     "startAnnouncementsMode - AnnouncementsMode is already running "
                     "(overwrite the RPC context)");
}

AgentError DiscoveryCore::cancelAnnouncementsMode(const CancelPath* ctx) {
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

AgentError DiscoveryCore::startFreshnessMode(const ProcPath* ctx) {
    return startMode(
        freshnessOp, ctx,
        "startFreshnessMode - FreshnessMode is already running - overwrite the RPC context");
}

AgentError DiscoveryCore::cancelFreshnessMode(const CancelPath* ctx) {
    return cancelMode(freshnessOp, ctx, "cancelFreshnessMode");
}

void DiscoveryCore::onInquiry() {
    std::lock_guard<std::recursive_mutex> lock(mux);
    if (!inquiryOp.expire()) {
        return;
    }
    ORQ_LOG(*pLogger, WARN, "onInquiry - Inquiry canceled (timeout expired)");
    ORQ_LOG(*pLogger, WARN, "onInquiry - Discovery using LQI interrupted!");
    endWalk(inquiryOp, inquiryPending, inquiryWalk, TIMER_EXPIRED);
}

void DiscoveryCore::onMgmtLQIRequest() {
    std::lock_guard<std::recursive_mutex> lock(mux);
    if (!lqiOp.expire()) {
        return;
    }
    ORQ_LOG(*pLogger, WARN, "onMgmtLQIRequest - MgmtLQI canceled (timeout expired)");
    endWalk(lqiOp, lqiPending, lqiWalk, TIMER_EXPIRED);
}

void DiscoveryCore::onSuperDiscovery() {
    std::lock_guard<std::recursive_mutex> lock(mux);
    if (!superOp.expire()) {
        return;
    }
    ORQ_LOG(*pLogger, WARN, "onTimer - superDiscovery canceled (Failed)");
    // The time-out is the usual end of a large combined discovery: the reply carries
    // what was found.
    completeSuper(Canceled);
}

void DiscoveryCore::onGetNodeDescriptor() {
    std::lock_guard<std::recursive_mutex> lock(mux);
    if (!nodeDescOp.expire()) {
        return;
    }
    ORQ_LOG(*pLogger, WARN, "onGetNodeDescriptor - timer canceled (Failed)");
    endNodeDescriptor(TIMER_EXPIRED);
}

void DiscoveryCore::onGetPowerDescriptor() {
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
void DiscoveryCore::moduleAway() {
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

void DiscoveryCore::answer(const ProcPath* ctx, RPCReqStatus& st) {
    if (ctx != nullptr) {
        ctx->respond(ctx->getSessionId(), &st);
    }
}

void DiscoveryCore::logRefusal(Request req, AgentError e) {
    // Per request: its name, and what the busy refusal says is running.
    static const char* const kNames[][2] = {{"startInquiry", "Inquiry"},
                                            {"MgmtLQI_Req", "MgmtLQI_Req"},
                                            {"superDiscovery", "superDiscovery"},
                                            {"getNodeDescriptor", "getNodeDescriptor"},
                                            {"getPowerDescriptor", "getPowerDescriptor"}};
    const char* op = kNames[static_cast<int>(req)][0];
    const char* running = kNames[static_cast<int>(req)][1];
    if (e == ORQ_NOT_RUNNING) {
        ORQ_LOG(*pLogger, ERROR, "%s - Error ORQ_NOT_RUNNING", op);
    } else if (e == AGENT_BUSY) {
        ORQ_LOG(*pLogger, WARN, "%s - A %s is already running", op, running);
    } else {
        ORQ_LOG(*pLogger, ERROR, "%s - timer error (%d)", op, static_cast<int>(e));
    }
}

bool DiscoveryCore::takePending(Pending& pending, unsigned short nwk) {
    auto it = pending.find(nwk);
    if (it == pending.end()) {
        return false;
    }
    pending.erase(it);
    return true;
}

void DiscoveryCore::requestAddress(unsigned short nwk) {
    post<AgentOperation<ProcCtx>>(nullptr,
                                  [this, nwk] { pOrqZb->ZDO_IEEE_ADDR_request(nwk, 1, 0); });
}

// A management LQI request; for the LQI discovery (walk not null) it is one more
// answer the walk waits for.
void DiscoveryCore::requestLqi(AgentOperation<ProcCtx>* walk, unsigned short nwk,
                               unsigned char start) {
    if (walk != nullptr) {
        lqiPending.insert(nwk);
        walk->expect(1);
    }
    post(walk, [this, nwk, start] { pOrqZb->ZB_MGMT_LQI_request(nwk, start); });
}

// The three requests of the combined discovery for one node, which it has now reached.
void DiscoveryCore::requestAllOf(unsigned short nwk) {
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
void DiscoveryCore::completeInquiry() {
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
void DiscoveryCore::completeLqi(AgentError e) {
    lqiOp.finish(End);
    lqiPending.clear();
    lqiWalk.end(pOrqDb, true, *pLogger);
    RPCReqStatus st(functionsContext.MgmtLQI, e);
    functionsContext.MgmtLQI.rpcContext.notify(static_cast<Node*>(nullptr), &st);
}

// The reply carries what was found (also after the time-out, the usual end of a large
// discovery); `e` is AGENT_ERROR when the module went away.
void DiscoveryCore::completeSuper(fState_t state, AgentError e) {
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
void DiscoveryCore::endWalk(AgentOperation<ProcCtx>& op, Pending& pending, WalkRecord& walk,
                            AgentError e) {
    op.finish(Canceled);
    pending.clear();
    walk.end(pOrqDb, false, *pLogger);
    RPCReqStatus st(op.context(), e);
    op.context().rpcContext.notify(static_cast<Node*>(nullptr), &st);
}

// A descriptor request whose confirm will not come (its time-out or the module gone).
void DiscoveryCore::endNodeDescriptor(AgentError e) {
    auto& c = functionsContext.getNodeDescriptor;
    RPCReqStatus st(c, e);
    nodeDescOp.finish(Canceled);
    if (!c.rpcContext.notify(static_cast<Node*>(nullptr), &st)) {
        c.rpcContext.respond(static_cast<unsigned short>(0), nullptr, nullptr,
                             c.rpcContext.getSessionId(), &st);
    }
}

void DiscoveryCore::endPowerDescriptor(AgentError e) {
    auto& c = functionsContext.getPowerDescriptor;
    powerDescOp.finish(Canceled);
    RPCReqStatus st(c, e);
    c.rpcContext.respond(static_cast<unsigned short>(0), nullptr, nullptr,
                         c.rpcContext.getSessionId(), &st);
}

AgentError DiscoveryCore::cancelWalk(AgentOperation<ProcCtx>& op, Pending& pending,
                                     WalkRecord& walk, const CancelPath* ctx, const char* name) {
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

AgentError DiscoveryCore::startMode(AgentOperation<ProcCtx>& op, const ProcPath* ctx,
                                    const char* overwriteLog) {
    std::lock_guard<std::recursive_mutex> lock(mux);
    if (op.isRunning()) {
        ORQ_LOG(*pLogger, INFO, "%s", overwriteLog);
    }
    OperationStart how;
    how.needsNetwork = false;
    how.overwrite = true;
    AgentError e = op.begin(how, ctx, this, &timerThread, &DiscoveryCore::onInquiry,
                            [&](RPCReqStatus& st) { answer(ctx, st); });
    if (e == AGENT_SUCCESS) {
        RPCReqStatus st(Running, 0, AGENT_SUCCESS);
        answer(ctx, st);
    }
    return e;
}

AgentError DiscoveryCore::cancelMode(AgentOperation<ProcCtx>& op, const CancelPath* ctx,
                                     const char* name) {
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
void DiscoveryCore::announceDeadNode(Node* node) {
    auto& c = functionsContext.freshness;
    pOrqDb->setActive(node, false);
    if (freshnessOp.isRunning() && c.rpcContext.hasNotify()) {
        ORQ_LOG(*pLogger, INFO, "announceDeadNode: send notification!");
        RPCReqStatus st(c, AGENT_SUCCESS);
        c.rpcContext.notify(node, &st);
    } else {
        ORQ_LOG(*pLogger, INFO, "Node never activated, deleting without notify!");
    }
}

void DiscoveryCore::registerLqiListener() {
    if (!lqiListenerRegistered.exchange(true)) {
        pOrqZb->registerListener(ZB_EV_ZB_MGMT_LQI_RESPONSE, &lqiListener);
    }
}

std::chrono::milliseconds DiscoveryCore::pacingNow() {
    std::lock_guard<std::recursive_mutex> lock(mux);
    return pacing;
}
