#include "ServiceCore.h"

#include <cstring>
#include <ctime>

// The agent's operations: services, the remote end point and descriptor requests, the bulk
// discoveries, the match descriptor answer and the bindings. The data message path, the
// connections and the filtered callbacks are in CServiceAgent.cpp.

namespace {
// The outcome: by notification when the request has one, else by response.
template <typename Path, typename... A>
void deliver(const Path& path, RPCReqStatus* st, A... args) {
    if (!path.notify(args..., st)) {
        path.respond(args..., path.getSessionId(), st);
    }
}

// Under mux: one confirm of a running request counted, a failing status failing it; true
// when it was the last one expected and the request has now ended, for the caller to answer.
template <typename Op>
bool lastConfirm(Op& op, unsigned char status) {
    if (!op.isRunning()) {
        return false;
    }
    if (status != 0) {
        op.fail();
    }
    return op.received() && op.finish(End);
}

// Only binds are taken over (their answers carry no values before the status).
template <typename Path>
void deliverTakenOver(const Path& path, RPCReqStatus* st) {
    if constexpr (std::is_same_v<Path, ServiceCore::BindPath>) {
        deliver(path, st);
    }
}
}  // namespace

ServiceCore::fContexts::fContexts(FeatureControl* fc)
    : activeEndpoints(fc, FEATURE_ACTIVE_EP),
      getServiceDescriptor(fc, FEATURE_SERVICE_DESC),
      getnodebindingRequest(fc, FEATURE_NODE_BINDING),
      bindRequest(fc, FEATURE_BIND),
      unbindRequest(fc, FEATURE_UNBIND),
      activeEndpointsDiscovery(fc, FEATURE_EP_DISCOVERY),
      serviceDescriptorsDiscovery(fc, FEATURE_EP_DISCOVERY) {}

ServiceCore::ServiceCore(OrqZbIf* adapter, ConfigurationRepository* config, TimerClock* clock)
    : AgentEnvironment(adapter, config, "ServiceAgent", nullptr, clock),
      functionsContext(pOrqZb->getFeatureControl()),
      activeEpOp(functionsContext.activeEndpoints, pOrqZb,
                 {{ZB_EV_ZDO_ACTIVE_EP_DESC_CONFIRM, &activeEpListener}}),
      serviceDescOp(functionsContext.getServiceDescriptor, pOrqZb,
                    {{ZB_EV_ZDO_SIMPLE_DESC_CONFIRM, &simpleDescListener}}),
      nodeBindingOp(functionsContext.getnodebindingRequest, pOrqZb,
                    {{ZB_EV_ZDP_MGMT_BIND_RESPONSE, &mgmtBindListener}}),
      bindOp(functionsContext.bindRequest, pOrqZb, {{ZB_EV_ZDP_BIND_RESPONSE, &bindListener}}),
      unbindOp(functionsContext.unbindRequest, pOrqZb,
               {{ZB_EV_ZDP_UNBIND_RESPONSE, &unbindListener}}),
      epDiscoveryOp(functionsContext.activeEndpointsDiscovery, pOrqZb,
                    {{ZB_EV_ZDO_ACTIVE_EP_DESC_CONFIRM, &bulkActiveEpListener}}),
      sdDiscoveryOp(functionsContext.serviceDescriptorsDiscovery, pOrqZb,
                    {{ZB_EV_ZDO_SIMPLE_DESC_CONFIRM, &bulkSimpleDescListener}}),
      awayWatch(pOrqZb, [this] { moduleAway(); }) {}

ServiceCore::~ServiceCore() {
    paced.stop();
    pOrqZb->unregisterListener(ZB_EV_ZDO_MATCH_DESC_INDICATION, &matchDescListener);
    pOrqZb->unregisterListener(ZB_EV_APSDE_DATA_INDICATION, &dataListener);
    for (int event : {ZB_EV_ZDO_ACTIVE_EP_DESC_CONFIRM, ZB_EV_ZDO_SIMPLE_DESC_CONFIRM}) {
        pOrqZb->unregisterListener(event, &activeEpListener);
        pOrqZb->unregisterListener(event, &simpleDescListener);
        pOrqZb->unregisterListener(event, &bulkActiveEpListener);
        pOrqZb->unregisterListener(event, &bulkSimpleDescListener);
    }
    pOrqZb->unregisterListener(ZB_EV_ZDP_MGMT_BIND_RESPONSE, &mgmtBindListener);
    pOrqZb->unregisterListener(ZB_EV_ZDP_BIND_RESPONSE, &bindListener);
    pOrqZb->unregisterListener(ZB_EV_ZDP_UNBIND_RESPONSE, &unbindListener);
    stopTimers();
    std::lock_guard<std::mutex> lock(mux);
    for (auto& e : servicesTable) {
        if (e.first >= 1 && e.first <= MAX_LOCAL_ENDPOINT) {
            pOrqDb->removeServicesSD(&e.second.simpleDesc);
        }
    }
    msgCache.clear();
}

template <typename Op>
int ServiceCore::startBulk(Op& op, bool descriptors) {
    AgentLock lock(*this);
    if (pOrqZb->getGWStatus() != GW_RUNNING) {
        return -2;
    }
    OperationStart how;
    how.timeoutMs = 30000;
    how.answerTimerError = false;
    auto onExpiry = descriptors ? &ServiceCore::onServiceDescriptorsDiscovery
                                : &ServiceCore::onActiveEndpointsDiscovery;
    AgentError rc = op.begin(how, nullptr, this, &timerThread, onExpiry, [](RPCReqStatus&) {});
    if (rc == AGENT_BUSY) {
        return -1;
    }
    if (rc != AGENT_SUCCESS) {
        return rc;
    }
    std::vector<std::pair<unsigned short, int>> requests;  // node, end point (-1: none)
    {
        std::lock_guard<std::recursive_mutex> dbLock(pOrqDb->mutex());
        for (auto& n : pOrqDb->getNodeDict()) {
            if (!descriptors) {
                requests.emplace_back(n.first, -1);
                continue;
            }
            for (int ep : n.second->getEndPointList()) {
                requests.emplace_back(n.first, ep);
            }
        }
    }
    op.expect(static_cast<int>(requests.size()));
    if (requests.empty()) {
        op.finish(End);
        return 0;
    }
    const unsigned run = op.currentRun();
    for (const auto& r : requests) {
        paced.post([this, &op, run, r] {
            AgentLock lock(*this);
            if (!op.isRun(run)) {
                return false;
            }
            if (r.second < 0) {
                pOrqZb->ZDO_ACTIVE_EP_DESC_request(r.first, r.first);
            } else {
                pOrqZb->ZDO_SIMPLE_DESC_request(r.first, r.first,
                                                static_cast<unsigned char>(r.second));
            }
            return true;
        });
    }
    return 0;
}

template <typename Op>
void ServiceCore::expireBulk(Op& op) {
    AgentLock lock(*this);
    if (op.expire()) {
        op.finish(Canceled);
    }
}

// The shape of every single-node request: refused from inside a callback; begun (network
// check, busy check, time-out, reply path, listener); sent; answered at once when its
// outcome comes as a notification. A send that fails (returns an error) ends the request
// there with that one answer, so nothing is left running to answer it again.
template <typename Op, typename Path, typename Reply, typename Send>
int ServiceCore::request(const char* name, Op& op, unsigned long timeout, bool overwrite,
                         const Path* ctx, void (ServiceCore::*onExpiry)(), Reply& reply,
                         Send&& send) {
    if (calledFromCallback(name)) {
        RPCReqStatus st(NotAvailable, -1, AGENT_BUSY);
        reply(st);
        return AGENT_BUSY;
    }
    AgentLock lock(*this);
    if (op.isRunning()) {
        ORQ_LOG(*pLogger, WARN, "%s - A %s is already running%s", name, name,
                overwrite ? " - overwriting!!!" : "");
    }
    OperationStart how;
    how.timeoutMs = timeout;
    how.overwrite = overwrite;
    // A bind taken over by a newer one loses its reply path and its time-out: it is
    // answered now (AGENT_BUSY, as a refused one), once.
    AgentError rc = op.begin(how, ctx, this, &timerThread, onExpiry, reply,
                             [](const typename Op::rpc_type& old) {
                                 RPCReqStatus st(Canceled, 1, AGENT_BUSY, old.hasNotify());
                                 deliverTakenOver(old, &st);
                             });
    if (rc != AGENT_SUCCESS) {
        return rc;
    }
    rc = send();
    if (rc != AGENT_SUCCESS) {
        op.finish(Canceled);
        RPCReqStatus st(NotAvailable, -1, rc);
        reply(st);
        return rc;
    }
    op.expect();
    if (ctx != nullptr && ctx->hasNotify()) {
        RPCReqStatus st(End, 0, AGENT_SUCCESS, true);
        reply(st);
    }
    return AGENT_SUCCESS;
}

template <typename Op, typename C>
void ServiceCore::bindConfirm(Op& op, C& c, unsigned char status, AgentError failure) {
    AgentLock lock(*this);
    if (!lastConfirm(op, status)) {
        return;
    }
    RPCReqStatus st(c, c.result != 0 ? failure : AGENT_SUCCESS);
    deliver(c.rpcContext, &st);
}

template <typename Op>
void ServiceCore::bindExpired(Op& op) {
    AgentLock lock(*this);
    if (op.expire()) {
        endUnanswered(op, TIMER_EXPIRED);
    }
}

// Under mux: a request whose confirm will not come (its time-out, or the module gone)
// ends and is answered with `why`; `args` are the answer's values before the status.
template <typename Op, typename... A>
void ServiceCore::endUnanswered(Op& op, AgentError why, A... args) {
    if (!op.finish(Canceled)) {
        return;
    }
    RPCReqStatus st(op.context(), why);
    deliver(op.context().rpcContext, &st, args...);
}

int ServiceCore::bindOrUnbind(bool bind, unsigned long timeout, ZB_BIND_STRUCT bindParams,
                              const BindPath* ctx) {
    const int session = ctx != nullptr ? ctx->getSessionId() : -1;
    auto reply = [&](RPCReqStatus& st) {
        if (ctx != nullptr) {
            ctx->respond(session, &st);
        }
    };
    auto& op = bind ? bindOp : unbindOp;
    return request(
        bind ? "bindRequest" : "unbindRequest", op, timeout, bind, ctx,
        bind ? &ServiceCore::onBindRequestExpired : &ServiceCore::onUnbindRequestExpired, reply,
        [&] {
            unsigned short nwk = 0xFFFF;
            {
                std::lock_guard<std::recursive_mutex> dbLock(pOrqDb->mutex());
                if (Node* node = pOrqDb->findNodeByIEEEAddr(bindParams.src_addr)) {
                    nwk = node->get_nwk_addr();
                }
            }
            if (nwk == 0xFFFF) {
                ORQ_LOG(*pLogger, WARN,
                        "%s - Entry in DB not found for this node! Please discover it first!",
                        bind ? "bindRequest" : "unbindRequest");
                return AGENT_BUSY;
            }
            auto send = bind ? &OrqZbIf::ZDP_BIND_request : &OrqZbIf::ZDP_UNBIND_request;
            (pOrqZb->*send)(nwk, bindParams.src_addr, bindParams.src_ep, bindParams.cluster_id,
                            bindParams.dst_addr, bindParams.dst_ep);
            return AGENT_SUCCESS;
        });
}

void ServiceCore::init() {
    AgentLock lock(*this);
    debugEnabled = config->getint("main:debugEnabled", 0) != 0;
    autoDiscoveryUnknownNodeFeature = config->getint("main:autoDiscoveryUnknownNodes", 0);
    functionsContext.activeEndpoints.fTimeout = 6;
    functionsContext.getServiceDescriptor.fTimeout = 6;
    functionsContext.activeEndpointsDiscovery.fTimeout = 30;
    functionsContext.serviceDescriptorsDiscovery.fTimeout = 30;
    dataListenerRegistered = 0;
    msgIdCounter = 0;
    servicesTable[0].simpleDesc.end_point = 0;
    pOrqZb->registerListener(ZB_EV_ZDO_MATCH_DESC_INDICATION, &matchDescListener);
}

int ServiceCore::addDefaultService(const AddServicePath* ctx) {
    SimpleDescriptor sd;
    ZbNetDb::createDefaultSimpleDescr(
        config->getint("DefaultStartupAttributeSet:DefaultEndPoint", 8), &sd);
    return addService(&sd, ctx);
}

int ServiceCore::addService(SimpleDescriptor* serviceDesc, const AddServicePath* ctx) {
    const int session = ctx != nullptr ? ctx->getSessionId() : -1;
    auto refuse = [&](fState_t state, AgentError error, int rc) {
        RPCReqStatus st(state, 1, error);
        if (ctx != nullptr) {
            ctx->respond(static_cast<SimpleDescriptor*>(nullptr), session, &st);
        }
        return rc;
    };
    if (calledFromCallback("addService")) {
        return refuse(NotAvailable, AGENT_BUSY, AGENT_BUSY);
    }
    AgentLock lock(*this);
    if (pOrqZb->getGWStatus() == GW_RUNNING) {
        ORQ_LOG(*pLogger, ERROR, "addService - Error GW_RUNNING");
        return refuse(NotAvailable, INVALID_GW_STATUS, ORQ_NOT_RUNNING);
    }
    if (serviceDesc == nullptr) {
        return refuse(End, AGENT_ERROR, AGENT_ERROR);
    }
    const size_t services = servicesTable.size() - servicesTable.count(ALL_ENDPOINTS);
    if (services >= MAX_LOCAL_ENDPOINT) {
        ORQ_LOG(*pLogger, WARN, "addService - No available endpoint!");
        return refuse(End, NO_AVAILABLE_ENDPOINT, NO_AVAILABLE_ENDPOINT);
    }
    int ep = serviceDesc->end_point;
    if (ep == 0) {
        ep = 1;
        while (servicesTable.count(ep) != 0) {
            ++ep;
        }
    } else if (ep < 1 || ep > MAX_LOCAL_ENDPOINT || servicesTable.count(ep) != 0) {
        ORQ_LOG(*pLogger, WARN, "addService - endpoint already assigned!");
        return refuse(End, NO_AVAILABLE_ENDPOINT, NO_AVAILABLE_ENDPOINT);
    }
    serviceEntry& e = servicesTable[ep];
    e.simpleDesc = *serviceDesc;
    e.simpleDesc.end_point = ep;
    if (pOrqDb->setServicesSD(&e.simpleDesc) != 0) {
        ORQ_LOG(*pLogger, ERROR, "addService - setServicesSD Error");
    }
    RPCReqStatus st(End, 0, AGENT_SUCCESS);
    if (ctx != nullptr) {
        ctx->respond(&e.simpleDesc, session, &st);
    }
    return AGENT_SUCCESS;
}

int ServiceCore::removeService(int endpoint) {
    if (calledFromCallback("removeService")) {
        return -1;
    }
    AgentLock lock(*this);
    if (pOrqZb->getGWStatus() == GW_RUNNING) {
        return -1;
    }
    auto it = servicesTable.find(endpoint);
    if (endpoint == ALL_ENDPOINTS || it == servicesTable.end()) {
        return -2;
    }
    if (pOrqDb->removeServicesSD(&it->second.simpleDesc) != 0) {
        ORQ_LOG(*pLogger, DEBUG, "removeService - not among the database's services");
    }
    servicesTable.erase(it);
    if (servicesTable.empty() && dataListenerRegistered != 0) {
        pOrqZb->unregisterListener(ZB_EV_APSDE_DATA_INDICATION, &dataListener);
        dataListenerRegistered = 0;
    }
    return 0;
}

bool ServiceCore::isEndpointAvailable(int endpoint) {
    ReadLock lock(*this);
    return servicesTable.count(endpoint) != 0;
}

int ServiceCore::getCurrentServices(int* out) {
    ReadLock lock(*this);
    int n = 0;
    for (const auto& e : servicesTable) {
        if (e.first <= MAX_LOCAL_ENDPOINT) {
            out[n++] = e.first;
        }
    }
    return n;
}

int ServiceCore::getActiveEndPoints(unsigned long timeout, unsigned short nwk_addr,
                                    const ActiveEpPath* ctx) {
    const int session = ctx != nullptr ? ctx->getSessionId() : -1;
    auto reply = [&](RPCReqStatus& st) {
        if (ctx != nullptr) {
            ctx->respond(static_cast<Node*>(nullptr), session, &st);
        }
    };
    return request("getActiveEndPoints", activeEpOp, timeout, false, ctx,
                   &ServiceCore::onActiveEndpoints, reply, [&] {
                       activeEpTarget = nwk_addr;
                       pOrqZb->ZDO_ACTIVE_EP_DESC_request(nwk_addr, nwk_addr);
                       return AGENT_SUCCESS;
                   });
}

int ServiceCore::getServiceDescriptor(unsigned long timeout, unsigned short nwk_addr,
                                      unsigned char end_point, const ServiceDescPath* ctx) {
    const int session = ctx != nullptr ? ctx->getSessionId() : -1;
    auto reply = [&](RPCReqStatus& st) {
        if (ctx != nullptr) {
            ctx->respond(static_cast<Node*>(nullptr), endPointCode(st), session, &st);
        }
    };
    return request("getServiceDescriptor", serviceDescOp, timeout, false, ctx,
                   &ServiceCore::onServiceDescriptor, reply, [&] {
                       serviceDescTarget = nwk_addr;
                       serviceDescEndPoint = end_point;
                       pOrqZb->ZDO_SIMPLE_DESC_request(nwk_addr, nwk_addr, end_point);
                       return AGENT_SUCCESS;
                   });
}

void ServiceCore::getActiveEndPoints_Cb(unsigned char status, unsigned short nwk_addr,
                                        unsigned char active_ep_count,
                                        unsigned char* active_ep_list) {
    AgentLock lock(*this);
    auto& c = functionsContext.activeEndpoints;
    if (!activeEpOp.isRunning() || nwk_addr != activeEpTarget) {
        return;
    }
    std::lock_guard<std::recursive_mutex> dbLock(pOrqDb->mutex());
    AgentError err = AGENT_SUCCESS;
    Node* node = nullptr;
    if (status != 0) {
        activeEpOp.fail();
        err = ACTIVE_EP_ERROR;
    } else if ((node = pOrqDb->findNodeByNwkAddr(nwk_addr)) == nullptr) {
        ORQ_LOG(*pLogger, ERROR,
                "getActiveEndPoints_Cb - INTERNAL ERROR: an active endpoints confirm for a "
                "nonexistent node %04X has been received",
                nwk_addr);
        activeEpOp.fail();
        err = NONEXISTENTENT_NODE;
    } else {
        storeEndPoints(node, active_ep_count, active_ep_list);
    }
    if (!activeEpOp.received() || !activeEpOp.finish(End)) {
        return;
    }
    RPCReqStatus st(c, err);
    deliver(c.rpcContext, &st, node);
}

void ServiceCore::getServiceDescriptor_Cb(unsigned char status, unsigned short nwk_addr,
                                          ZB_SIMPLE_DESC* simple_desc) {
    AgentLock lock(*this);
    auto& c = functionsContext.getServiceDescriptor;
    if (!serviceDescOp.isRunning() || nwk_addr != serviceDescTarget ||
        (status == 0 && simple_desc != nullptr && simple_desc->ep != serviceDescEndPoint)) {
        return;
    }
    std::lock_guard<std::recursive_mutex> dbLock(pOrqDb->mutex());
    AgentError err = AGENT_SUCCESS;
    Node* node = nullptr;
    int ep = -1;
    if (status != 0 || simple_desc == nullptr) {
        serviceDescOp.fail();
        err = SERVICE_DESCRIPTOR_ERROR;
    } else if ((node = pOrqDb->findNodeByNwkAddr(nwk_addr)) == nullptr) {
        ORQ_LOG(*pLogger, ERROR,
                "getServiceDescriptor_Cb - INTERNAL ERROR: a simple descriptor confirm for a "
                "nonexistent node %04X has been received",
                nwk_addr);
        serviceDescOp.fail();
        err = NONEXISTENTENT_NODE;
    } else {
        ep = simple_desc->ep;
        pOrqDb->clearSimpleDescr(node, ep);
        pOrqDb->addSimpleDescr(node, simpleDescriptorFrom(*simple_desc));
    }
    if (!serviceDescOp.received() || !serviceDescOp.finish(End)) {
        return;
    }
    RPCReqStatus st(c, err);
    deliver(c.rpcContext, &st, node, ep);
}

// Time-outs (pool thread).
void ServiceCore::onActiveEndpoints() {
    AgentLock lock(*this);
    if (activeEpOp.expire()) {
        endUnanswered(activeEpOp, TIMER_EXPIRED, static_cast<Node*>(nullptr));
    }
}

void ServiceCore::onServiceDescriptor() {
    AgentLock lock(*this);
    if (serviceDescOp.expire()) {
        endUnanswered(serviceDescOp, TIMER_EXPIRED, static_cast<Node*>(nullptr), -1);
    }
}

void ServiceCore::moduleAway() {
    if (calledFromCallback("moduleAway")) {
        return;
    }
    AgentLock lock(*this);
    const auto none = static_cast<unsigned short>(0);
    if (activeEpOp.abandon()) {
        endUnanswered(activeEpOp, AGENT_ERROR, static_cast<Node*>(nullptr));
    }
    if (serviceDescOp.abandon()) {
        endUnanswered(serviceDescOp, AGENT_ERROR, static_cast<Node*>(nullptr), -1);
    }
    if (nodeBindingOp.abandon()) {
        endUnanswered(nodeBindingOp, AGENT_ERROR, none, none, none,
                      static_cast<ZB_BIND_STRUCT*>(nullptr));
    }
    if (bindOp.abandon()) {
        endUnanswered(bindOp, AGENT_ERROR);
    }
    if (unbindOp.abandon()) {
        endUnanswered(unbindOp, AGENT_ERROR);
    }
    for (auto* bulk : {&epDiscoveryOp, &sdDiscoveryOp}) {
        if (bulk->abandon()) {
            bulk->finish(Canceled);
        }
    }
}

int ServiceCore::activeEndPointsDiscovery() {
    return startBulk(epDiscoveryOp, false);
}
int ServiceCore::serviceDescriptorsDiscovery() {
    return startBulk(sdDiscoveryOp, true);
}

void ServiceCore::activeEndPointsDiscovery_Cb(unsigned char status, unsigned short nwk_addr,
                                              unsigned char count, unsigned char* list) {
    AgentLock lock(*this);
    if (!epDiscoveryOp.isRunning()) {
        return;
    }
    if (status == 0) {
        std::lock_guard<std::recursive_mutex> dbLock(pOrqDb->mutex());
        if (Node* node = pOrqDb->findNodeByNwkAddr(nwk_addr)) {
            storeEndPoints(node, count, list);
        }
    } else {
        epDiscoveryOp.fail();
    }
    if (epDiscoveryOp.received()) {
        epDiscoveryOp.finish(End);
    }
}

void ServiceCore::serviceDescriptorsDiscovery_Cb(unsigned char status, unsigned short nwk_addr,
                                                 ZB_SIMPLE_DESC* sd) {
    AgentLock lock(*this);
    if (!sdDiscoveryOp.isRunning()) {
        return;
    }
    if (status == 0 && sd != nullptr) {
        std::lock_guard<std::recursive_mutex> dbLock(pOrqDb->mutex());
        if (Node* node = pOrqDb->findNodeByNwkAddr(nwk_addr)) {
            pOrqDb->clearSimpleDescr(node, sd->ep);
            pOrqDb->addSimpleDescr(node, simpleDescriptorFrom(*sd));
        }
    } else {
        sdDiscoveryOp.fail();
    }
    if (sdDiscoveryOp.received()) {
        sdDiscoveryOp.finish(End);
    }
}

void ServiceCore::onActiveEndpointsDiscovery() {
    expireBulk(epDiscoveryOp);
}
void ServiceCore::onServiceDescriptorsDiscovery() {
    expireBulk(sdDiscoveryOp);
}

void ServiceCore::autoMatchDescriptorRsp_Cb(unsigned short src_addr, unsigned short profile_id,
                                            unsigned char nicl, unsigned short* icllist,
                                            unsigned char nocl, unsigned short* ocllist) {
    AgentLock lock(*this);
    if (nicl == 0 && nocl == 0) {
        ORQ_LOG(*pLogger, WARN, "autoMatchDescriptorRsp_Cb - Bad msg received! WARN");
        return;
    }
    std::vector<const SimpleDescriptor*> services;
    for (const auto& e : servicesTable) {
        services.push_back(&e.second.simpleDesc);
    }
    std::vector<int> eps = matchDescriptorEndpoints(
        services, profile_id, icllist, icllist ? nicl : 0, ocllist, ocllist ? nocl : 0);
    if (eps.empty()) {
        return;
    }
    std::vector<unsigned char> list(eps.begin(), eps.end());
    pOrqZb->ZDO_MATCH_DESC_response(0, src_addr, static_cast<unsigned char>(list.size()),
                                    list.data());
}

int ServiceCore::getnodebindingRequest(unsigned long timeout, unsigned short destAddr,
                                       int startIndex, const NodeBindingPath* ctx) {
    const int session = ctx != nullptr ? ctx->getSessionId() : -1;
    auto reply = [&](RPCReqStatus& st) {
        if (ctx != nullptr) {
            ctx->respond(static_cast<unsigned short>(0), static_cast<unsigned short>(0),
                         static_cast<unsigned short>(0), static_cast<ZB_BIND_STRUCT*>(nullptr),
                         session, &st);
        }
    };
    return request("getnodebindingRequest", nodeBindingOp, timeout, false, ctx,
                   &ServiceCore::onGetnodebindingRequestExpired, reply, [&] {
                       pOrqZb->ZDP_MGMT_BIND_Request(destAddr,
                                                     static_cast<unsigned short>(startIndex));
                       return AGENT_SUCCESS;
                   });
}

int ServiceCore::bindRequest(unsigned long timeout, ZB_BIND_STRUCT bindParams,
                             const BindPath* ctx) {
    return bindOrUnbind(true, timeout, bindParams, ctx);
}
int ServiceCore::unbindRequest(unsigned long timeout, ZB_BIND_STRUCT bindParams,
                               const BindPath* ctx) {
    return bindOrUnbind(false, timeout, bindParams, ctx);
}

void ServiceCore::getnodebinding_Cb(unsigned char status, unsigned short bindingTableEntries,
                                    unsigned short startIndex, unsigned short bindingTableListCount,
                                    ZB_BIND_STRUCT* bindingtableList) {
    AgentLock lock(*this);
    auto& c = functionsContext.getnodebindingRequest;
    if (!lastConfirm(nodeBindingOp, status)) {
        return;
    }
    if (c.result != 0) {
        RPCReqStatus st(c, GETNODEBINDING_ERROR);
        deliver(c.rpcContext, &st, static_cast<unsigned short>(0), static_cast<unsigned short>(0),
                static_cast<unsigned short>(0), static_cast<ZB_BIND_STRUCT*>(nullptr));
        return;
    }
    RPCReqStatus st(c, AGENT_SUCCESS);
    deliver(c.rpcContext, &st, bindingTableEntries, startIndex, bindingTableListCount,
            bindingtableList);
}

void ServiceCore::bindRequest_Cb(unsigned char status) {
    bindConfirm(bindOp, functionsContext.bindRequest, status, BIND_ERROR);
}
void ServiceCore::unbindRequest_Cb(unsigned char status) {
    bindConfirm(unbindOp, functionsContext.unbindRequest, status, UNBIND_ERROR);
}

void ServiceCore::onGetnodebindingRequestExpired() {
    AgentLock lock(*this);
    if (nodeBindingOp.expire()) {
        const auto none = static_cast<unsigned short>(0);
        endUnanswered(nodeBindingOp, TIMER_EXPIRED, none, none, none,
                      static_cast<ZB_BIND_STRUCT*>(nullptr));
    }
}
void ServiceCore::onBindRequestExpired() {
    bindExpired(bindOp);
}
void ServiceCore::onUnbindRequestExpired() {
    bindExpired(unbindOp);
}

size_t ServiceCore::cachedMessages(int serviceId) {
    return msgCache.size(serviceId);
}
void ServiceCore::setMsgIdCounter(int value) {
    AgentLock lock(*this);
    msgIdCounter = value;
}
int ServiceCore::getTimeoutSeconds(int which) {
    AgentLock lock(*this);
    auto armed = [](auto& c) { return c.timerData ? c.fTimeout : 0; };
    switch (which) {
        case FEATURE_ACTIVE_EP:
            return armed(functionsContext.activeEndpoints);
        case FEATURE_SERVICE_DESC:
            return armed(functionsContext.getServiceDescriptor);
        case FEATURE_NODE_BINDING:
            return armed(functionsContext.getnodebindingRequest);
        case FEATURE_BIND:
            return armed(functionsContext.bindRequest);
        case FEATURE_UNBIND:
            return armed(functionsContext.unbindRequest);
        default:
            return 0;
    }
}
bool ServiceCore::pacedIdle() {
    return paced.idle();
}

bool ServiceCore::calledFromCallback(const char* op) {
    if (holder != this) {
        return false;
    }
    ORQ_LOG(*pLogger, ERROR, "%s - refused: called from inside one of the agent's callbacks", op);
    return true;
}

int ServiceCore::endPointCode(const RPCReqStatus& st) {
    switch (st.getReturnValue()) {
        case AGENT_SUCCESS:
            return 0;  // accepted; the outcome comes as a notification
        case ORQ_NOT_RUNNING:
            return -2;
        case TIMER_ERROR:
            return -3;
        case AGENT_BUSY:
            return -4;
        default:
            return -1;
    }
}

void ServiceCore::storeEndPoints(Node* node, unsigned char count, const unsigned char* list) {
    pOrqDb->clearEndPointList(node);
    pOrqDb->clearSimpleDescrList(node);
    for (int i = 0; i < count && list != nullptr; ++i) {
        pOrqDb->addEndPoint(node, list[i]);
    }
}
