#ifndef ORQ_CSERVICEAGENT_H
#define ORQ_CSERVICEAGENT_H

// The service agent (below) and the parts of it that need no agent: the callback matcher,
// the match descriptor answer, the per-end-point message cache, the record built from a
// data indication and the destination of a data request. Each is a plain function or a
// small class with its own lock, so the agent's template stays the glue.

#include <chrono>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "AgentOperation.h"
#include "Agents.h"
#include "CDebug.h"
#include "CMessage.h"
#include "Callback.h"
#include "ConfigurationRepository.h"
#include "GWManagement.h"
#include "OrqZbIf.h"
#include "ThreadPool.h"
#include "TimerThread.h"
#include "ZbNetDb.h"

// The longest ASDU one data request frame carries: the frame payload less the 18 bytes of
// addressing and options around the ASDU.
constexpr int kMaxAsduLength = ZB_MAX_PAYLOAD - 18;

// The pseudo end point that carries connections and callbacks for every end point.
constexpr int ALL_ENDPOINTS = 256;
constexpr int BROADCAST_ENDPOINT = 0xFF;
constexpr int MAX_LOCAL_ENDPOINT = 240;

// True for the 22 cluster identifiers of the discovery group (device profile requests and
// responses about addresses, descriptors and end points).
bool isDiscoveryCluster(uint16_t cluster);

// Whether a received message passes a callback's filter: the cluster group ("ZDP": source
// end point 0; "ZCL": any other; "Discovery": end point 0 and a discovery cluster; other
// names restrict nothing) and the NWK source address (0xFFFF matches every sender). The
// other filter fields take no part.
bool callbackMatches(const Callback& cb, const Message& msg);

// The local end points that answer a match descriptor request, ascending: same profile and
// one of the requested input clusters among the end point's inputs, or else one of the
// requested output clusters among its outputs. Empty for a request without clusters.
std::vector<int> matchDescriptorEndpoints(const std::vector<const SimpleDescriptor*>& services,
                                          uint16_t profile, const uint16_t* inClusters, int inCount,
                                          const uint16_t* outClusters, int outCount);

// Received messages per service id (end point 1..240, or ALL_ENDPOINTS), oldest first, at
// most `capacity` per id: storing one more destroys the oldest. Safe from any thread.
class MessageCache {
  public:
    explicit MessageCache(size_t capacity) : capacity(capacity) {}
    // True when the oldest record had to go.
    bool store(int serviceId, std::unique_ptr<Message> msg);
    // The oldest record of the id, taken out of the cache; null when there is none.
    std::unique_ptr<Message> takeOldest(int serviceId, size_t* remaining = nullptr);
    size_t size(int serviceId);
    void clear();

  private:
    std::mutex msgCacheMux;
    size_t capacity;
    std::map<int, std::list<std::unique_ptr<Message>>> msgCache;
};

// What one data indication says, copied out of the link's buffers, so that each delivery
// builds a record of its own from it.
struct ReceivedFrame {
    uint8_t dstAddrMode = Message::ADDR_MODE_NWK;
    uint8_t dstAddr[8] = {0};  // a 16-bit address most significant byte first
    uint8_t dstEp = 0;
    uint8_t srcAddrMode = Message::ADDR_MODE_NONE;
    uint8_t srcAddr[8] = {0};
    uint16_t srcNwkAddr = 0xFFFF;
    uint8_t srcEp = 0;
    uint16_t profileId = 0;
    uint16_t clusterId = 0;
    std::vector<uint8_t> payload;
    int msgId = 0;
};

std::unique_ptr<Message> buildRecord(const ReceivedFrame& f);

// Where a data request goes: the address mode and the 8 address bytes the link encodes
// (mode 2: the network address low byte first), and whether the database knows the node.
struct DataDestination {
    uint8_t mode = 0;
    uint8_t addr[8] = {0};
    uint16_t nwk = 0xFFFF;
    bool known = false;
};

// Resolves the destination of `msg` against the database (under its mutex). Modes 2 and 3
// with an address of their size and a payload that fits one frame give AGENT_SUCCESS (0);
// anything else, modes 0 (binding table) and 1 (group) included, which the link cannot
// encode, gives SENDING_MSG_ERROR (26). The record is not changed.
int resolveDataDestination(const Message& msg, ZbNetDb* db, DataDestination* out);

// A new descriptor made from a simple descriptor confirm: version in its low four bits,
// both "available" flags false, the clusters in the order received.
SimpleDescriptor* simpleDescriptorFrom(const ZB_SIMPLE_DESC& sd);

// ServiceAgent: the gateway's application layer. It owns the gateway's own end points
// (services) with their simple descriptors, asks remote nodes for their active end points
// and simple descriptors, answers match descriptor requests, sends and receives data
// messages, hands received messages to connections and filtered callbacks, and creates,
// removes and reads bindings. One per process (Instance()); tests build their own.
//
// Threads: requests come from the main thread; confirms and indications from the serial
// reader thread; time-outs from the agent's pool; the bulk discoveries' requests from the
// paced sender's thread. `mux` guards the service table, the procedure contexts and the
// message path; the database has its own lock, taken inside `mux`.
//
// Callbacks (responses and notifications) run with `mux` held, on whichever thread ended the
// operation. A callback may not call back into the agent's operations: such a call from
// inside one is refused at once (AGENT_BUSY, or the refusal value of the operation) instead
// of deadlocking, and a callback must not wait for another thread that calls the agent.
// Reading operations (isEndpointAvailable, getCurrentServices, getLastRxMsg) work from
// inside a callback too. Records handed to a callback are valid only during the call.
// The message path from an indication to the notifications sleeps on nothing and waits
// for no I/O: a ping for an unknown sender is handed to the paced sender.
template <class T>
class ServiceAgent {
  public:
    using ActiveEpResF = void* (T::*)(Node*, int, RPCReqStatus*);
    using ActiveEpNotF = void* (T::*)(Node*, RPCReqStatus*);
    using ServiceDescResF = void* (T::*)(Node*, int, int, RPCReqStatus*);
    using ServiceDescNotF = void* (T::*)(Node*, int, RPCReqStatus*);
    using NodeBindingResF = void* (T::*)(unsigned short, unsigned short, unsigned short,
                                         ZB_BIND_STRUCT*, int, RPCReqStatus*);
    using NodeBindingNotF = void* (T::*)(unsigned short, unsigned short, unsigned short,
                                         ZB_BIND_STRUCT*, RPCReqStatus*);
    using BindResF = void* (T::*)(int, RPCReqStatus*);
    using BindNotF = void* (T::*)(RPCReqStatus*);
    using AddServiceResF = void* (T::*)(SimpleDescriptor*, int, RPCReqStatus*);
    using CallbackResF = void* (T::*)(int, int, RPCReqStatus*);
    using CallbackNotF = void* (T::*)(int, Message*, RPCReqStatus*);
    using LastRxMsgResF = void* (T::*)(Message*, int, RPCReqStatus*);

    using ActiveEndpointsCtxt = RPCContext<T, ActiveEpResF, ActiveEpNotF>;
    using ServiceDescriptorCtxt = RPCContext<T, ServiceDescResF, ServiceDescNotF>;
    using NodeBindingCtxt = RPCContext<T, NodeBindingResF, NodeBindingNotF>;
    using BindCtxt = RPCContext<T, BindResF, BindNotF>;
    using AddServiceCtxt = RPCContext<T, AddServiceResF, NoCb>;
    using CallbackCtxt = RPCContext<T, CallbackResF, CallbackNotF>;
    using CallbackDeleteCtxt = RPCContext<T, CallbackResF, NoCb>;
    using LastRxMsgCtxt = RPCContext<T, LastRxMsgResF, NoCb>;

    template <typename R, typename N>
    using Ctx = fContext<T, ServiceAgent, R, N>;

    struct serviceEntry {
        SimpleDescriptor simpleDesc;
        Ctx<CallbackResF, CallbackNotF> listener{nullptr, 0};
        std::list<Callback> customizedCallbacks;
        Ctx<CallbackResF, CallbackNotF> customizedCallbackslistener{nullptr, 0};
    };

    struct fContexts {
        Ctx<ActiveEpResF, ActiveEpNotF> activeEndpoints;
        Ctx<ServiceDescResF, ServiceDescNotF> getServiceDescriptor;
        Ctx<NodeBindingResF, NodeBindingNotF> getnodebindingRequest;
        Ctx<BindResF, BindNotF> bindRequest;
        Ctx<BindResF, BindNotF> unbindRequest;
        Ctx<NoCb, NoCb> activeEndpointsDiscovery;
        Ctx<NoCb, NoCb> serviceDescriptorsDiscovery;
        explicit fContexts(FeatureControl* fc)
            : activeEndpoints(fc, FEATURE_ACTIVE_EP),
              getServiceDescriptor(fc, FEATURE_SERVICE_DESC),
              getnodebindingRequest(fc, FEATURE_NODE_BINDING),
              bindRequest(fc, FEATURE_BIND),
              unbindRequest(fc, FEATURE_UNBIND),
              activeEndpointsDiscovery(fc, FEATURE_EP_DISCOVERY),
              serviceDescriptorsDiscovery(fc, FEATURE_EP_DISCOVERY) {}
    };

    static ServiceAgent* Instance() {
        static ServiceAgent instance;
        return &instance;
    }

    // Tests build their own on an adapter, configuration and clock of their choosing.
    explicit ServiceAgent(OrqZbIf* adapter = nullptr, ConfigurationRepository* config = nullptr,
                          TimerClock* clock = nullptr)
        : pOrqZb(adapter != nullptr ? adapter : OrqZbIf::Instance()),
          pOrqDb(pOrqZb->getDb()),
          config(config != nullptr ? config : ConfigurationRepository::instance()),
          pLogger(std::make_unique<Debug>("ServiceAgent")),
          threadPool(10, 10, 5000),
          timerThread(&threadPool, clock),
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
                        {{ZB_EV_ZDO_SIMPLE_DESC_CONFIRM, &bulkSimpleDescListener}}) {
        configureLogger(*pLogger, nullptr, 1);
    }

    ~ServiceAgent() {
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
        timerThread.shutdown();
        threadPool.shutdown();
        std::lock_guard<std::mutex> lock(mux);
        for (auto& e : servicesTable) {
            if (e.first >= 1 && e.first <= MAX_LOCAL_ENDPOINT) {
                pOrqDb->removeServicesSD(&e.second.simpleDesc);
            }
        }
        msgCache.clear();
    }

    ServiceAgent(const ServiceAgent&) = delete;
    ServiceAgent& operator=(const ServiceAgent&) = delete;

    // Main thread, once, after the local node exists.
    void init() {
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

    // --- Local services ---

    int addDefaultService(AddServiceCtxt* ctx) {
        SimpleDescriptor sd;
        ZbNetDb::createDefaultSimpleDescr(
            config->getint("DefaultStartupAttributeSet:DefaultEndPoint", 8), &sd);
        return addService(&sd, ctx);
    }

    // End point 0 takes the lowest free number; 1..240 that one. Refused while the network
    // runs (INVALID_GW_STATUS, returns 3) and when no number is left or the asked one is
    // taken or outside 1..240 (NO_AVAILABLE_ENDPOINT, 21).
    int addService(SimpleDescriptor* serviceDesc, AddServiceCtxt* ctx) {
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

    // 0; -1 while the network runs (or from inside a callback); -2 for an end point that is
    // not a service.
    int removeService(int endpoint) {
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

    bool isEndpointAvailable(int endpoint) {
        ReadLock lock(*this);
        return servicesTable.count(endpoint) != 0;
    }

    // The keys 0..240 of the table, ascending, into `out` (room for 241); their number.
    int getCurrentServices(int* out) {
        ReadLock lock(*this);
        int n = 0;
        for (const auto& e : servicesTable) {
            if (e.first <= MAX_LOCAL_ENDPOINT) {
                out[n++] = e.first;
            }
        }
        return n;
    }

    // --- Remote end points and descriptors ---

    int getActiveEndPoints(unsigned long timeout, unsigned short nwk_addr,
                           ActiveEndpointsCtxt* ctx) {
        const int session = ctx != nullptr ? ctx->getSessionId() : -1;
        auto reply = [&](RPCReqStatus& st) {
            if (ctx != nullptr) {
                ctx->respond(static_cast<Node*>(nullptr), session, &st);
            }
        };
        return request("getActiveEndPoints", activeEpOp, timeout, false, ctx,
                       &ServiceAgent::onActiveEndpoints, reply, [&] {
                           activeEpTarget = nwk_addr;
                           pOrqZb->ZDO_ACTIVE_EP_DESC_request(nwk_addr, nwk_addr);
                           return AGENT_SUCCESS;
                       });
    }

    int getServiceDescriptor(unsigned long timeout, unsigned short nwk_addr,
                             unsigned char end_point, ServiceDescriptorCtxt* ctx) {
        const int session = ctx != nullptr ? ctx->getSessionId() : -1;
        auto reply = [&](RPCReqStatus& st) {
            if (ctx != nullptr) {
                ctx->respond(static_cast<Node*>(nullptr), endPointCode(st), session, &st);
            }
        };
        return request("getServiceDescriptor", serviceDescOp, timeout, false, ctx,
                       &ServiceAgent::onServiceDescriptor, reply, [&] {
                           serviceDescTarget = nwk_addr;
                           serviceDescEndPoint = end_point;
                           pOrqZb->ZDO_SIMPLE_DESC_request(nwk_addr, nwk_addr, end_point);
                           return AGENT_SUCCESS;
                       });
    }

    // Reader thread. A confirm about another node than the one asked (a late answer to an
    // earlier request) is left alone.
    void getActiveEndPoints_Cb(unsigned char status, unsigned short nwk_addr,
                               unsigned char active_ep_count, unsigned char* active_ep_list) {
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

    void getServiceDescriptor_Cb(unsigned char status, unsigned short nwk_addr,
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
    void onActiveEndpoints() {
        AgentLock lock(*this);
        if (activeEpOp.expire()) {
            endUnanswered(activeEpOp, TIMER_EXPIRED, static_cast<Node*>(nullptr));
        }
    }

    void onServiceDescriptor() {
        AgentLock lock(*this);
        if (serviceDescOp.expire()) {
            endUnanswered(serviceDescOp, TIMER_EXPIRED, static_cast<Node*>(nullptr), -1);
        }
    }

    // The module went away (state 4, any thread): every request waiting for it is answered
    // at once with AGENT_ERROR, the way its time-out answers; the bulk discoveries end.
    void moduleAway() {
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

    // Bulk discoveries over every node of the database: -2 not running, -1 already running
    // (or a conflicting request runs), 5 timer, 0 started. The requests leave 800 ms apart
    // from the paced sender's thread; no client is told anything.
    int activeEndPointsDiscovery() { return startBulk(epDiscoveryOp, false); }
    int serviceDescriptorsDiscovery() { return startBulk(sdDiscoveryOp, true); }

    void activeEndPointsDiscovery_Cb(unsigned char status, unsigned short nwk_addr,
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

    void serviceDescriptorsDiscovery_Cb(unsigned char status, unsigned short nwk_addr,
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

    void onActiveEndpointsDiscovery() { expireBulk(epDiscoveryOp); }
    void onServiceDescriptorsDiscovery() { expireBulk(sdDiscoveryOp); }

    // A match descriptor request (reader thread): answered with the matching local end
    // points, ascending; nothing when none matches.
    void autoMatchDescriptorRsp_Cb(unsigned short src_addr, unsigned short profile_id,
                                   unsigned char nicl, unsigned short* icllist, unsigned char nocl,
                                   unsigned short* ocllist) {
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

    // --- Data messages ---

    // 0 when the request went to the co-processor (status 0, txTime the time in seconds);
    // 3 when the network is not running; 26 for no record, a payload longer than one frame
    // carries, or a destination the link cannot address (modes 0 and 1, or an address of
    // the wrong size); 4 from inside a callback.
    int send(Message* msg, unsigned char& status, unsigned int& txTime) {
        if (calledFromCallback("send")) {
            return AGENT_BUSY;
        }
        if (pOrqZb->getGWStatus() != GW_RUNNING) {
            ORQ_LOG(*pLogger, ERROR, "send - Error ORQ_NOT_RUNNING");
            return ORQ_NOT_RUNNING;
        }
        if (msg == nullptr) {
            ORQ_LOG(*pLogger, ERROR, "send - Message is null");
            return SENDING_MSG_ERROR;
        }
        AgentLock lock(*this);
        DataDestination d;
        if (resolveDataDestination(*msg, pOrqDb, &d) != AGENT_SUCCESS) {
            uint16_t length = 0;
            msg->getPayload(&length);
            ORQ_LOG(*pLogger, ERROR,
                    "send - not sent: destination mode %d, payload of %d bytes (at most %d)",
                    msg->getDstAddrMode(), length, kMaxAsduLength);
            return SENDING_MSG_ERROR;
        }
        uint16_t length = 0;
        uint8_t* payload = msg->getPayload(&length);
        status = 0;
        txTime = static_cast<unsigned int>(std::time(nullptr));
        pOrqZb->APSDE_DATA_request(d.mode, d.addr, msg->getDstEp(), msg->getProfileId(),
                                   msg->getClusterId(), msg->getSrcEp(),
                                   static_cast<unsigned char>(length), payload,
                                   msg->getTxSettings(), msg->getMaxHopsNumber());
        if (!d.known && autoDiscoveryUnknownNodeFeature != 0) {
            if (msg->getDstAddrMode() == Message::ADDR_MODE_NWK) {
                ORQ_LOG(*pLogger, INFO, "send - Node 0x%04x not recognized by ORQ, ping this node!",
                        d.nwk);
                pingUnknownNode(d.nwk);
            } else {
                ORQ_LOG(*pLogger, INFO,
                        "send - autoDiscoveryUnknownNodes cannot work (ShortAddr unknown for "
                        "0x%02x:%02x:%02x:%02x:%02x:%02x:%02x:%02x)",
                        d.addr[7], d.addr[6], d.addr[5], d.addr[4], d.addr[3], d.addr[2], d.addr[1],
                        d.addr[0]);
            }
        }
        return AGENT_SUCCESS;
    }

    // The data indication (reader thread; registered while connections or callbacks exist).
    void messageReceived_Cb(unsigned char dst_addr_mode, unsigned char* dst_addr,
                            unsigned char dst_ep, unsigned char src_addr_mode,
                            unsigned char* src_addr_p, unsigned char src_ep,
                            unsigned short profile_id, unsigned short cluster_id,
                            unsigned short asdu_len, unsigned char* asdu,
                            unsigned char was_broadcast, unsigned char sec_status) {
        (void)was_broadcast;
        (void)sec_status;
        AgentLock lock(*this);
        if (dst_ep != BROADCAST_ENDPOINT && servicesTable.count(dst_ep) == 0) {
            ORQ_LOG(*pLogger, WARN,
                    "messageReceived_Cb - WARNING: No active service for the received message");
            return;
        }
        ReceivedFrame f;
        if (!identifySender(src_addr_mode, src_addr_p, profile_id, cluster_id, f)) {
            return;
        }
        f.dstAddrMode = dst_addr_mode;
        if (dst_addr != nullptr && dst_addr_mode == Message::ADDR_MODE_NWK) {
            f.dstAddr[0] = dst_addr[1];
            f.dstAddr[1] = dst_addr[0];
        } else if (dst_addr != nullptr && dst_addr_mode == Message::ADDR_MODE_IEEE) {
            std::memcpy(f.dstAddr, dst_addr, 8);
        }
        f.dstEp = dst_ep;
        f.srcEp = src_ep;
        f.profileId = profile_id;
        f.clusterId = cluster_id;
        if (asdu != nullptr) {
            f.payload.assign(asdu, asdu + asdu_len);
        }
        f.msgId = msgIdCounter;
        if (dst_ep == BROADCAST_ENDPOINT) {
            deliverBroadcast(f);
        } else if (!deliverAddressed(f)) {
            return;
        }
        if (msgIdCounter >= 0x7fffffff - 1) {
            ORQ_LOG(*pLogger, DEBUG, "messageReceived_Cb - msgIdCounter set to 0");
            msgIdCounter = 0;
        } else {
            ++msgIdCounter;
        }
    }

    // The oldest cached message of the service id, handed to the response and then
    // forgotten: 0, or MSG_CACHE_EMPTY (25).
    int getLastRxMsg(int serviceId, LastRxMsgCtxt* ctx) {
        const int session = ctx != nullptr ? ctx->getSessionId() : -1;
        size_t remaining = 0;
        std::unique_ptr<Message> oldest = msgCache.takeOldest(serviceId, &remaining);
        if (!oldest) {
            ORQ_LOG(*pLogger, INFO, "getLastRxMsg - Service Id = %d cache empty", serviceId);
            RPCReqStatus st(End, 1, MSG_CACHE_EMPTY);
            if (ctx != nullptr) {
                ctx->respond(static_cast<Message*>(nullptr), session, &st);
            }
            return MSG_CACHE_EMPTY;
        }
        RPCReqStatus st(End, 0, AGENT_SUCCESS);
        if (ctx != nullptr) {
            ctx->respond(oldest.get(), session, &st);
        }
        ORQ_LOG(*pLogger, DEBUG, "getLastRxMsg - removed the oldest msg (cache size = %d)",
                static_cast<int>(remaining));
        return AGENT_SUCCESS;
    }

    void storeMsg(std::unique_ptr<Message> msg, int serviceId) {
        if (msgCache.store(serviceId, std::move(msg))) {
            ORQ_LOG(*pLogger, DEBUG, "storeMsg - Replacing oldest element");
        }
    }

    // --- Connections and callbacks ---

    // A connection on `endpoint` (1..240, or ALL_ENDPOINTS): 0 or ENDPOINT_NOT_REGISTERED.
    int createCallback(int endpoint, CallbackCtxt* ctx) {
        const int session = ctx != nullptr ? ctx->getSessionId() : -1;
        if (calledFromCallback("createCallback")) {
            return answer(ctx, endpoint, session, NotAvailable, AGENT_BUSY);
        }
        AgentLock lock(*this);
        if (endpoint == ALL_ENDPOINTS && servicesTable.count(ALL_ENDPOINTS) == 0) {
            ORQ_LOG(*pLogger, DEBUG, "createCallback - create entry ALL_ENDPOINTS");
            servicesTable[ALL_ENDPOINTS];
        }
        auto it = servicesTable.find(endpoint);
        if (it == servicesTable.end()) {
            ORQ_LOG(*pLogger, WARN, "createCallback - ERROR - Endpoint not registered");
            return answer(ctx, endpoint, session, End, ENDPOINT_NOT_REGISTERED);
        }
        auto& l = it->second.listener;
        if (!l.lock()) {
            ORQ_LOG(*pLogger, INFO,
                    "createCallback - EndPoint %d - connection previously created -> overwrite!",
                    endpoint);
        }
        l.rpcContext = ctx != nullptr ? *ctx : CallbackCtxt();
        registerDataListener();
        return answer(ctx, endpoint, session, End, AGENT_SUCCESS);
    }

    // A filtered callback, kept on its destination end point or on ALL_ENDPOINTS: 0,
    // ENDPOINT_NOT_REGISTERED, or 1 for no callback.
    int createCallback(Callback* cb, CallbackCtxt* ctx) {
        const int session = ctx != nullptr ? ctx->getSessionId() : -1;
        if (cb == nullptr) {
            return answer(ctx, 0, session, End, AGENT_ERROR);
        }
        const AddressSpecification& as = cb->filter.addressSpec;
        const int target = as.isDefined && as.isAPSDestinationEndpointDefined
                               ? as.APSDestinationEndpoint
                               : ALL_ENDPOINTS;
        if (calledFromCallback("createCallback")) {
            return answer(ctx, target, session, NotAvailable, AGENT_BUSY);
        }
        AgentLock lock(*this);
        if (target == ALL_ENDPOINTS && servicesTable.count(ALL_ENDPOINTS) == 0) {
            servicesTable[ALL_ENDPOINTS];
        }
        auto it = servicesTable.find(target);
        if (it == servicesTable.end()) {
            ORQ_LOG(*pLogger, WARN, "createCallback - ERROR Endpoint not registered");
            return answer(ctx, target, session, End, ENDPOINT_NOT_REGISTERED);
        }
        serviceEntry& e = it->second;
        if (!e.customizedCallbackslistener.lock()) {
            ORQ_LOG(*pLogger, DEBUG,
                    "createCallback - customized callbacks already defined for endpoint %d",
                    target);
        }
        e.customizedCallbacks.push_back(*cb);
        e.customizedCallbackslistener.rpcContext = ctx != nullptr ? *ctx : CallbackCtxt();
        registerDataListener();
        return answer(ctx, target, session, End, AGENT_SUCCESS);
    }

    // 0, ENDPOINT_NOT_REGISTERED, or NO_ACTIVE_WSN_CONNECTIONS when there was none.
    int deleteCallback(int endpoint, CallbackDeleteCtxt* ctx) {
        const int session = ctx != nullptr ? ctx->getSessionId() : -1;
        if (calledFromCallback("deleteCallback")) {
            return answer(ctx, endpoint, session, NotAvailable, AGENT_BUSY);
        }
        AgentLock lock(*this);
        auto it = servicesTable.find(endpoint);
        if (it == servicesTable.end()) {
            return answer(ctx, endpoint, session, End, ENDPOINT_NOT_REGISTERED);
        }
        if (!it->second.listener.unlock(Idle)) {
            ORQ_LOG(*pLogger, WARN,
                    "deleteCallback - EndPoint %d - no listener previously registered on this "
                    "specific EndPoint (WARNING)",
                    endpoint);
            return answer(ctx, endpoint, session, End, NO_ACTIVE_WSN_CONNECTIONS);
        }
        it->second.listener.rpcContext = CallbackCtxt();
        return answer(ctx, endpoint, session, End, AGENT_SUCCESS);
    }

    // 0, or 1 with NO_CUSTOMIZED_FILTER_FOUND.
    int deleteCustomizedCallback(int internalId, CallbackDeleteCtxt* ctx) {
        const int session = ctx != nullptr ? ctx->getSessionId() : -1;
        if (calledFromCallback("deleteCustomizedCallback")) {
            return answer(ctx, internalId, session, NotAvailable, AGENT_BUSY);
        }
        AgentLock lock(*this);
        for (auto& entry : servicesTable) {
            serviceEntry& e = entry.second;
            if (entry.first < 1 || !e.customizedCallbackslistener.isLocked()) {
                continue;
            }
            for (auto cb = e.customizedCallbacks.begin(); cb != e.customizedCallbacks.end(); ++cb) {
                if (cb->internalId != internalId) {
                    continue;
                }
                e.customizedCallbacks.erase(cb);
                if (e.customizedCallbacks.empty()) {
                    e.customizedCallbackslistener.unlock(End);
                }
                return answer(ctx, entry.first, session, End, AGENT_SUCCESS);
            }
        }
        answer(ctx, internalId, session, End, NO_CUSTOMIZED_FILTER_FOUND);
        return 1;
    }

    // Runs the callbacks of one entry against a received message (under mux).
    void messageFilter(Message* msg, int serviceId) {
        auto it = servicesTable.find(serviceId);
        if (it == servicesTable.end()) {
            return;
        }
        serviceEntry& e = it->second;
        for (const Callback& cb : e.customizedCallbacks) {
            if (callbackMatches(cb, *msg)) {
                RPCReqStatus st(Running, 0, AGENT_SUCCESS);
                e.customizedCallbackslistener.rpcContext.notify(cb.internalId, msg, &st);
            }
        }
    }

    // --- Bindings ---

    int getnodebindingRequest(unsigned long timeout, unsigned short destAddr, int startIndex,
                              NodeBindingCtxt* ctx) {
        const int session = ctx != nullptr ? ctx->getSessionId() : -1;
        auto reply = [&](RPCReqStatus& st) {
            if (ctx != nullptr) {
                ctx->respond(static_cast<unsigned short>(0), static_cast<unsigned short>(0),
                             static_cast<unsigned short>(0), static_cast<ZB_BIND_STRUCT*>(nullptr),
                             session, &st);
            }
        };
        return request("getnodebindingRequest", nodeBindingOp, timeout, false, ctx,
                       &ServiceAgent::onGetnodebindingRequestExpired, reply, [&] {
                           pOrqZb->ZDP_MGMT_BIND_Request(destAddr,
                                                         static_cast<unsigned short>(startIndex));
                           return AGENT_SUCCESS;
                       });
    }

    int bindRequest(unsigned long timeout, ZB_BIND_STRUCT bindParams, BindCtxt* ctx) {
        return bindOrUnbind(true, timeout, bindParams, ctx);
    }
    int unbindRequest(unsigned long timeout, ZB_BIND_STRUCT bindParams, BindCtxt* ctx) {
        return bindOrUnbind(false, timeout, bindParams, ctx);
    }

    void getnodebinding_Cb(unsigned char status, unsigned short bindingTableEntries,
                           unsigned short startIndex, unsigned short bindingTableListCount,
                           ZB_BIND_STRUCT* bindingtableList) {
        AgentLock lock(*this);
        auto& c = functionsContext.getnodebindingRequest;
        if (!nodeBindingOp.isRunning()) {
            return;
        }
        if (status != 0) {
            nodeBindingOp.fail();
        }
        if (!nodeBindingOp.received() || !nodeBindingOp.finish(End)) {
            return;
        }
        if (c.result != 0) {
            RPCReqStatus st(c, GETNODEBINDING_ERROR);
            deliver(c.rpcContext, &st, static_cast<unsigned short>(0),
                    static_cast<unsigned short>(0), static_cast<unsigned short>(0),
                    static_cast<ZB_BIND_STRUCT*>(nullptr));
            return;
        }
        RPCReqStatus st(c, AGENT_SUCCESS);
        deliver(c.rpcContext, &st, bindingTableEntries, startIndex, bindingTableListCount,
                bindingtableList);
    }

    void bindRequest_Cb(unsigned char status) {
        bindConfirm(bindOp, functionsContext.bindRequest, status, BIND_ERROR);
    }
    void unbindRequest_Cb(unsigned char status) {
        bindConfirm(unbindOp, functionsContext.unbindRequest, status, UNBIND_ERROR);
    }

    void onGetnodebindingRequestExpired() {
        AgentLock lock(*this);
        if (nodeBindingOp.expire()) {
            const auto none = static_cast<unsigned short>(0);
            endUnanswered(nodeBindingOp, TIMER_EXPIRED, none, none, none,
                          static_cast<ZB_BIND_STRUCT*>(nullptr));
        }
    }
    void onBindRequestExpired() { bindExpired(bindOp); }
    void onUnbindRequestExpired() { bindExpired(unbindOp); }

    // --- For tests and diagnostics ---

    size_t cachedMessages(int serviceId) { return msgCache.size(serviceId); }
    void setMsgIdCounter(int value) {
        AgentLock lock(*this);
        msgIdCounter = value;
    }
    int getTimeoutSeconds(int which) {
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
    bool pacedIdle() { return paced.idle(); }

  private:
    // Holds `mux` and marks the thread as inside the agent, so that a callback's call back
    // into the agent is recognised (and refused) instead of deadlocking.
    class AgentLock {
      public:
        explicit AgentLock(ServiceAgent& a) : agent(a), previous(holder) {
            agent.mux.lock();
            holder = &agent;
        }
        ~AgentLock() {
            holder = previous;
            agent.mux.unlock();
        }
        AgentLock(const AgentLock&) = delete;
        AgentLock& operator=(const AgentLock&) = delete;

      private:
        ServiceAgent& agent;
        const ServiceAgent* previous;
    };
    // For reads: takes `mux` unless this thread holds it already (inside a callback).
    class ReadLock {
      public:
        explicit ReadLock(ServiceAgent& a) {
            if (holder != &a) {
                lock.emplace(a);
            }
        }

      private:
        std::optional<AgentLock> lock;
    };
    friend class AgentLock;

    bool calledFromCallback(const char* op) {
        if (holder != this) {
            return false;
        }
        ORQ_LOG(*pLogger, ERROR, "%s - refused: called from inside one of the agent's callbacks",
                op);
        return true;
    }
    template <typename Rpc>
    int answer(Rpc* ctx, int id, int session, fState_t state, AgentError error) {
        RPCReqStatus st(state, error == AGENT_SUCCESS ? 0 : 1, error);
        if (ctx != nullptr) {
            ctx->respond(id, session, &st);
        }
        return error;
    }
    // The end point argument of a descriptor answer without a descriptor.
    static int endPointCode(const RPCReqStatus& st) {
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
    // Only binds are taken over (their answers carry no values before the status).
    template <typename Rpc>
    static void deliverTakenOver(const Rpc& rpc, RPCReqStatus* st) {
        if constexpr (std::is_same_v<Rpc, BindCtxt>) {
            deliver(rpc, st);
        }
    }
    // The outcome: by notification when the request has one, else by response.
    template <typename Rpc, typename... A>
    static void deliver(const Rpc& rpc, RPCReqStatus* st, A... args) {
        if (!rpc.notify(args..., st)) {
            rpc.respond(args..., rpc.getSessionId(), st);
        }
    }

    void storeEndPoints(Node* node, unsigned char count, const unsigned char* list) {
        pOrqDb->clearEndPointList(node);
        pOrqDb->clearSimpleDescrList(node);
        for (int i = 0; i < count && list != nullptr; ++i) {
            pOrqDb->addEndPoint(node, list[i]);
        }
    }

    void registerDataListener() {
        if (dataListenerRegistered == 0) {
            pOrqZb->registerListener(ZB_EV_APSDE_DATA_INDICATION, &dataListener);
            dataListenerRegistered = 1;
        }
    }

    // An IEEE address request for an unknown network address, sent by the paced sender
    // (at most one pending per address), so no thread waits for it.
    void pingUnknownNode(unsigned short nwk) {
        {
            std::lock_guard<std::mutex> lock(pingMux);
            if (!pendingPings.insert(nwk).second) {
                return;
            }
        }
        paced.post([this, nwk] {
            {
                std::lock_guard<std::mutex> lock(pingMux);
                pendingPings.erase(nwk);
            }
            pOrqZb->ZDO_IEEE_ADDR_request(nwk, 1, 0);
            return true;
        });
    }

    // Step 2 and 3 of the receive path: fills the source of `f`; false when the message is
    // to be discarded. The node's addresses are copied under the database's lock.
    bool identifySender(unsigned char mode, const unsigned char* src, unsigned short profile,
                        unsigned short cluster, ReceivedFrame& f) {
        std::lock_guard<std::recursive_mutex> dbLock(pOrqDb->mutex());
        Node* node = nullptr;
        unsigned short nwk = 0xFFFF;
        if (src != nullptr && mode == Message::ADDR_MODE_NWK) {
            nwk = static_cast<unsigned short>(src[0] | (src[1] << 8));
            node = pOrqDb->findNodeByNwkAddr(nwk);
            if (node != nullptr) {
                std::memcpy(f.srcAddr, node->get_ieee_addr(), 8);
            }
        } else if (src != nullptr && mode == Message::ADDR_MODE_IEEE) {
            node = pOrqDb->findNodeByIEEEAddr(src);
            std::memcpy(f.srcAddr, src, 8);
        }
        if (node == nullptr) {
            if (mode == Message::ADDR_MODE_NWK && src != nullptr) {
                const bool exempt = profile == 0 && (cluster == 0x0013 || cluster == 0x8034);
                if (autoDiscoveryUnknownNodeFeature != 0 && !exempt) {
                    ORQ_LOG(*pLogger, INFO,
                            "messageReceived_Cb - Ping the unknown node 0x%04x (Message "
                            "discarded)",
                            nwk);
                    pingUnknownNode(nwk);
                } else {
                    ORQ_LOG(*pLogger, INFO,
                            "messageReceived_Cb - Node 0x%04x unknown (autoDiscovery disabled) - "
                            "DISCARDED!",
                            nwk);
                }
            } else if (mode == Message::ADDR_MODE_IEEE && src != nullptr) {
                ORQ_LOG(*pLogger, INFO,
                        "messageReceived_Cb - Node %02x:%02x:%02x:%02x:%02x:%02x:%02x:%02x "
                        "unknown - DISCARDED!",
                        src[0], src[1], src[2], src[3], src[4], src[5], src[6], src[7]);
            } else {
                ORQ_LOG(*pLogger, INFO,
                        "messageReceived_Cb - sender unknown (mode %d) - DISCARDED!", mode);
            }
            return false;
        }
        f.srcAddrMode = Message::ADDR_MODE_IEEE;
        f.srcNwkAddr = node->get_nwk_addr();
        if (!node->getIsActive() && node != pOrqDb->getRoot()) {
            ORQ_LOG(*pLogger, DEBUG,
                    "messageReceived_Cb - Push this node to announce through a MGMT_LQI");
            node->setKANodeTimer(node->getKANodeTimer() - 2000);
        }
        return true;
    }

    bool hasConnection(const serviceEntry* e) { return e != nullptr && e->listener.isLocked(); }
    bool hasCallbacks(const serviceEntry* e) {
        return e != nullptr && e->customizedCallbackslistener.isLocked();
    }
    serviceEntry* entry(int ep) {
        auto it = servicesTable.find(ep);
        return it == servicesTable.end() ? nullptr : &it->second;
    }
    void notifyConnection(serviceEntry* e, int ep, Message* msg) {
        RPCReqStatus st(Running, 0, AGENT_SUCCESS);
        e->listener.rpcContext.notify(ep, msg, &st);
    }

    // Broadcast end point: every connected end point 1..240 in ascending order, then
    // ALL_ENDPOINTS; nothing is cached.
    void deliverBroadcast(const ReceivedFrame& f) {
        ORQ_LOG(*pLogger, DEBUG, "messageReceived_Cb - Message received on BROADCAST_ENDPOINT");
        std::unique_ptr<Message> rec = buildRecord(f);
        for (auto& it : servicesTable) {
            if (it.first < 1 || it.first > MAX_LOCAL_ENDPOINT) {
                continue;
            }
            if (hasConnection(&it.second)) {
                notifyConnection(&it.second, it.first, rec.get());
            }
            if (hasCallbacks(&it.second)) {
                messageFilter(rec.get(), it.first);
            }
        }
        serviceEntry* all = entry(ALL_ENDPOINTS);
        if (hasConnection(all)) {
            notifyConnection(all, BROADCAST_ENDPOINT, buildRecord(f).get());
        }
        if (hasCallbacks(all)) {
            messageFilter(buildRecord(f).get(), ALL_ENDPOINTS);
        }
    }

    // An addressed end point: its connection and callbacks, then ALL_ENDPOINTS. A record is
    // cached only after its notifications, so a concurrent read of the cache never frees a
    // record still being notified. False when nobody wanted the message.
    bool deliverAddressed(const ReceivedFrame& f) {
        serviceEntry* e = entry(f.dstEp);
        serviceEntry* all = entry(ALL_ENDPOINTS);
        const bool epWants = hasConnection(e) || hasCallbacks(e);
        if (!epWants && !hasConnection(all) && !hasCallbacks(all)) {
            if (f.dstEp != 0) {
                ORQ_LOG(*pLogger, DEBUG,
                        "messageReceived_Cb - No specified connection for end point %d", f.dstEp);
                return false;
            }
            ORQ_LOG(*pLogger, DEBUG, "messageReceived_Cb - End point 0 not managed here");
        }
        if (epWants) {
            std::unique_ptr<Message> rec = buildRecord(f);
            if (hasConnection(e)) {
                notifyConnection(e, f.dstEp, rec.get());
            }
            if (hasCallbacks(e)) {
                messageFilter(rec.get(), f.dstEp);
            }
            storeMsg(std::move(rec), f.dstEp);
        }
        if (hasConnection(all)) {
            std::unique_ptr<Message> rec = buildRecord(f);
            notifyConnection(all, f.dstEp, rec.get());
            storeMsg(std::move(rec), ALL_ENDPOINTS);
        }
        if (hasCallbacks(all)) {
            messageFilter(buildRecord(f).get(), ALL_ENDPOINTS);
        }
        return true;
    }

    template <typename Op>
    int startBulk(Op& op, bool descriptors) {
        AgentLock lock(*this);
        if (pOrqZb->getGWStatus() != GW_RUNNING) {
            return -2;
        }
        OperationStart how;
        how.timeoutMs = 30000;
        how.answerTimerError = false;
        auto onExpiry = descriptors ? &ServiceAgent::onServiceDescriptorsDiscovery
                                    : &ServiceAgent::onActiveEndpointsDiscovery;
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
    void expireBulk(Op& op) {
        AgentLock lock(*this);
        if (op.expire()) {
            op.finish(Canceled);
        }
    }

    // A bind (a second one takes over the first, which is answered AGENT_BUSY then) or an
    // unbind (a second one is refused) on the source node, found by its IEEE address.
    int bindOrUnbind(bool bind, unsigned long timeout, ZB_BIND_STRUCT bindParams, BindCtxt* ctx) {
        const int session = ctx != nullptr ? ctx->getSessionId() : -1;
        auto reply = [&](RPCReqStatus& st) {
            if (ctx != nullptr) {
                ctx->respond(session, &st);
            }
        };
        auto& op = bind ? bindOp : unbindOp;
        return request(
            bind ? "bindRequest" : "unbindRequest", op, timeout, bind, ctx,
            bind ? &ServiceAgent::onBindRequestExpired : &ServiceAgent::onUnbindRequestExpired,
            reply, [&] {
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

    // The shape of every single-node request: refused from inside a callback; begun (network
    // check, busy check, time-out, reply path, listener); sent; answered at once when its
    // outcome comes as a notification. A send that fails (returns an error) ends the request
    // there with that one answer, so nothing is left running to answer it again.
    template <typename Op, typename Rpc, typename Reply, typename Send>
    int request(const char* name, Op& op, unsigned long timeout, bool overwrite, Rpc* ctx,
                void (ServiceAgent::*onExpiry)(), Reply& reply, Send&& send) {
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
    void bindConfirm(Op& op, C& c, unsigned char status, AgentError failure) {
        AgentLock lock(*this);
        if (!op.isRunning()) {
            return;
        }
        if (status != 0) {
            op.fail();
        }
        if (!op.received() || !op.finish(End)) {
            return;
        }
        RPCReqStatus st(c, c.result != 0 ? failure : AGENT_SUCCESS);
        deliver(c.rpcContext, &st);
    }

    template <typename Op>
    void bindExpired(Op& op) {
        AgentLock lock(*this);
        if (op.expire()) {
            endUnanswered(op, TIMER_EXPIRED);
        }
    }

    // Under mux: a request whose confirm will not come (its time-out, or the module gone)
    // ends and is answered with `why`; `args` are the answer's values before the status.
    template <typename Op, typename... A>
    void endUnanswered(Op& op, AgentError why, A... args) {
        if (!op.finish(Canceled)) {
            return;
        }
        RPCReqStatus st(op.context(), why);
        deliver(op.context().rpcContext, &st, args...);
    }

    static inline thread_local const ServiceAgent* holder = nullptr;

    OrqZbIf* pOrqZb;
    ZbNetDb* pOrqDb;
    ConfigurationRepository* config;
    std::unique_ptr<Debug> pLogger;
    bool debugEnabled = false;
    int autoDiscoveryUnknownNodeFeature = 0;
    std::mutex mux;
    ThreadPool threadPool;
    TimerThread timerThread;
    fContexts functionsContext;
    std::map<int, serviceEntry> servicesTable;
    int dataListenerRegistered = 0;
    MessageCache msgCache{10};
    int msgIdCounter = 0;
    unsigned short activeEpTarget = 0xFFFF;
    unsigned short serviceDescTarget = 0xFFFF;
    int serviceDescEndPoint = -1;
    std::mutex pingMux;
    std::set<unsigned short> pendingPings;

    ZbActiveEpListener activeEpListener{
        [this](uchar s, ushort n, uchar c, uchar* l) { getActiveEndPoints_Cb(s, n, c, l); }};
    ZbSimpleDescListener simpleDescListener{
        [this](uchar s, ushort n, ZB_SIMPLE_DESC* d) { getServiceDescriptor_Cb(s, n, d); }};
    ZbActiveEpListener bulkActiveEpListener{
        [this](uchar s, ushort n, uchar c, uchar* l) { activeEndPointsDiscovery_Cb(s, n, c, l); }};
    ZbSimpleDescListener bulkSimpleDescListener{
        [this](uchar s, ushort n, ZB_SIMPLE_DESC* d) { serviceDescriptorsDiscovery_Cb(s, n, d); }};
    ZbMgmtBindListener mgmtBindListener{
        [this](uchar s, ushort e, ushort i, ushort c, ZB_BIND_STRUCT* l) {
            getnodebinding_Cb(s, e, i, c, l);
        }};
    ZbStatusListener bindListener{[this](uchar s) { bindRequest_Cb(s); }};
    ZbStatusListener unbindListener{[this](uchar s) { unbindRequest_Cb(s); }};
    ZbMatchDescListener matchDescListener{
        [this](ushort a, ushort p, uchar ni, ushort* il, uchar no, ushort* ol) {
            autoMatchDescriptorRsp_Cb(a, p, ni, il, no, ol);
        }};
    ZbDataIndicationListener dataListener{
        [this](uchar dm, uchar* da, uchar de, uchar sm, uchar* sa, uchar se, ushort p, ushort c,
               ushort l, uchar* asdu, uchar wb,
               uchar ss) { messageReceived_Cb(dm, da, de, sm, sa, se, p, c, l, asdu, wb, ss); }};

    AgentOperation<Ctx<ActiveEpResF, ActiveEpNotF>> activeEpOp;
    AgentOperation<Ctx<ServiceDescResF, ServiceDescNotF>> serviceDescOp;
    AgentOperation<Ctx<NodeBindingResF, NodeBindingNotF>> nodeBindingOp;
    AgentOperation<Ctx<BindResF, BindNotF>> bindOp;
    AgentOperation<Ctx<BindResF, BindNotF>> unbindOp;
    AgentOperation<Ctx<NoCb, NoCb>> epDiscoveryOp;
    AgentOperation<Ctx<NoCb, NoCb>> sdDiscoveryOp;
    ModuleAwayWatch awayWatch{pOrqZb, [this] { moduleAway(); }};
    PacedSender paced{std::chrono::milliseconds(800)};
};

#endif
