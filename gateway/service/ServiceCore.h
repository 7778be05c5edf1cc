#ifndef ORQ_SERVICECORE_H
#define ORQ_SERVICECORE_H

// The service agent compiled once (ServiceCore, below) and the parts of it that need no
// agent: the callback matcher, the match descriptor answer, the per-end-point message cache,
// the record built from a data indication and the destination of a data request. Each is a
// plain function or a small class with its own lock.

#include <chrono>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
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

// ServiceCore: the gateway's application layer. It owns the gateway's own end points
// (services) with their simple descriptors, asks remote nodes for their active end points
// and simple descriptors, answers match descriptor requests, sends and receives data
// messages, hands received messages to connections and filtered callbacks, and creates,
// removes and reads bindings. Every operation replies through the ReplyPath it is given
// (null: nobody waits); ServiceAgent<T> builds those from its caller's RPCContext, and is
// the one per process (Instance()); tests build their own.
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
// The operations a handler starts on the service agent, each answered on the reply path it
// is given (send answers at once). ServiceCore implements them, with what each does and
// returns; ServiceAgent<T> forwards to its own core unless it was given other operations (a
// test's fake agent).
class ServiceOperations {
  public:
    // The replies and notifications of the service operations.
    using ActiveEpResponse = void*(Node*, int, RPCReqStatus*);
    using ActiveEpNotice = void*(Node*, RPCReqStatus*);
    using ServiceDescResponse = void*(Node*, int, int, RPCReqStatus*);
    using ServiceDescNotice = void*(Node*, int, RPCReqStatus*);
    using NodeBindingResponse = void*(unsigned short, unsigned short, unsigned short,
                                      ZB_BIND_STRUCT*, int, RPCReqStatus*);
    using NodeBindingNotice = void*(unsigned short, unsigned short, unsigned short, ZB_BIND_STRUCT*,
                                    RPCReqStatus*);
    using BindResponse = void*(int, RPCReqStatus*);
    using BindNotice = void*(RPCReqStatus*);
    using AddServiceResponse = void*(SimpleDescriptor*, int, RPCReqStatus*);
    using CallbackResponse = void*(int, int, RPCReqStatus*);
    using CallbackNotice = void*(int, Message*, RPCReqStatus*);
    using LastRxMsgResponse = void*(Message*, int, RPCReqStatus*);

    using ActiveEpPath = ReplyPath<ActiveEpResponse, ActiveEpNotice>;
    using ServiceDescPath = ReplyPath<ServiceDescResponse, ServiceDescNotice>;
    using NodeBindingPath = ReplyPath<NodeBindingResponse, NodeBindingNotice>;
    using BindPath = ReplyPath<BindResponse, BindNotice>;
    using AddServicePath = ReplyPath<AddServiceResponse>;
    // Connections and filtered callbacks: created, then their messages notified.
    using CallbackPath = ReplyPath<CallbackResponse, CallbackNotice>;
    using CallbackDeletePath = ReplyPath<CallbackResponse>;
    using LastRxMsgPath = ReplyPath<LastRxMsgResponse>;

    virtual ~ServiceOperations() = default;

    virtual int addDefaultService(const AddServicePath* ctx) = 0;
    virtual int addService(SimpleDescriptor* serviceDesc, const AddServicePath* ctx) = 0;
    virtual int getActiveEndPoints(unsigned long timeout, unsigned short nwk_addr,
                                   const ActiveEpPath* ctx) = 0;
    virtual int getServiceDescriptor(unsigned long timeout, unsigned short nwk_addr,
                                     unsigned char end_point, const ServiceDescPath* ctx) = 0;
    virtual int send(Message* msg, unsigned char& status, unsigned int& txTime) = 0;
    virtual int getLastRxMsg(int serviceId, const LastRxMsgPath* ctx) = 0;
    virtual int createCallback(int endpoint, const CallbackPath* ctx) = 0;
    virtual int createCallback(Callback* cb, const CallbackPath* ctx) = 0;
    virtual int deleteCallback(int endpoint, const CallbackDeletePath* ctx) = 0;
    virtual int deleteCustomizedCallback(int internalId, const CallbackDeletePath* ctx) = 0;
    virtual int getnodebindingRequest(unsigned long timeout, unsigned short destAddr,
                                      int startIndex, const NodeBindingPath* ctx) = 0;
    virtual int bindRequest(unsigned long timeout, ZB_BIND_STRUCT bindParams,
                            const BindPath* ctx) = 0;
    virtual int unbindRequest(unsigned long timeout, ZB_BIND_STRUCT bindParams,
                              const BindPath* ctx) = 0;
};

class ServiceCore : public ServiceOperations, protected AgentEnvironment {
  public:
    // The pause after each request the paced sender sends.
    static constexpr std::chrono::milliseconds kPacing{800};

    // `adapter` and `config` null: the process-wide ones; `clock` null: the steady clock.
    explicit ServiceCore(OrqZbIf* adapter = nullptr, ConfigurationRepository* config = nullptr,
                         TimerClock* clock = nullptr);
    ~ServiceCore() override;

    // Main thread, once, after the local node exists.
    void init();

    // --- Local services ---

    int addDefaultService(const AddServicePath* ctx) override;
    // End point 0 takes the lowest free number; 1..240 that one. Refused while the network
    // runs (INVALID_GW_STATUS, returns 3) and when no number is left or the asked one is
    // taken or outside 1..240 (NO_AVAILABLE_ENDPOINT, 21).
    int addService(SimpleDescriptor* serviceDesc, const AddServicePath* ctx) override;
    // 0; -1 while the network runs (or from inside a callback); -2 for an end point that is
    // not a service.
    int removeService(int endpoint);
    bool isEndpointAvailable(int endpoint);
    // The keys 0..240 of the table, ascending, into `out` (room for 241); their number.
    int getCurrentServices(int* out);

    // --- Remote end points and descriptors ---

    int getActiveEndPoints(unsigned long timeout, unsigned short nwk_addr,
                           const ActiveEpPath* ctx) override;
    int getServiceDescriptor(unsigned long timeout, unsigned short nwk_addr,
                             unsigned char end_point, const ServiceDescPath* ctx) override;
    // Reader thread. A confirm about another node than the one asked (a late answer to an
    // earlier request) is left alone.
    void getActiveEndPoints_Cb(unsigned char status, unsigned short nwk_addr,
                               unsigned char active_ep_count, unsigned char* active_ep_list);
    void getServiceDescriptor_Cb(unsigned char status, unsigned short nwk_addr,
                                 ZB_SIMPLE_DESC* simple_desc);
    // Time-outs (pool thread).
    void onActiveEndpoints();
    void onServiceDescriptor();
    // The module went away (state 4, any thread): every request waiting for it is answered
    // at once with AGENT_ERROR, the way its time-out answers; the bulk discoveries end.
    void moduleAway();

    // Bulk discoveries over every node of the database: -2 not running, -1 already running
    // (or a conflicting request runs), 5 timer, 0 started. The requests leave 800 ms apart
    // from the paced sender's thread; no client is told anything.
    int activeEndPointsDiscovery();
    int serviceDescriptorsDiscovery();
    void activeEndPointsDiscovery_Cb(unsigned char status, unsigned short nwk_addr,
                                     unsigned char count, unsigned char* list);
    void serviceDescriptorsDiscovery_Cb(unsigned char status, unsigned short nwk_addr,
                                        ZB_SIMPLE_DESC* sd);
    void onActiveEndpointsDiscovery();
    void onServiceDescriptorsDiscovery();

    // A match descriptor request (reader thread): answered with the matching local end
    // points, ascending; nothing when none matches.
    void autoMatchDescriptorRsp_Cb(unsigned short src_addr, unsigned short profile_id,
                                   unsigned char nicl, unsigned short* icllist, unsigned char nocl,
                                   unsigned short* ocllist);

    // --- Data messages ---

    // 0 when the request went to the co-processor (status 0, txTime the time in seconds);
    // 3 when the network is not running; 26 for no record, a payload longer than one frame
    // carries, or a destination the link cannot address (modes 0 and 1, or an address of
    // the wrong size); 4 from inside a callback.
    int send(Message* msg, unsigned char& status, unsigned int& txTime) override;
    // The data indication (reader thread; registered while connections or callbacks exist).
    // The record's pointers are read during the call only (the frame's payload is copied).
    void messageReceived_Cb(const ZbDataIndication& ind);
    // Called with every message from a known sender to an end point of ours (or the
    // broadcast end point), whether or not a connection or callback wants it (reader
    // thread, under the agent's lock). Main thread, after init().
    void setReceivedTap(std::function<void(const Message&)> tap);
    // The oldest cached message of the service id, handed to the response and then
    // forgotten: 0, or MSG_CACHE_EMPTY (25).
    int getLastRxMsg(int serviceId, const LastRxMsgPath* ctx) override;
    void storeMsg(std::unique_ptr<Message> msg, int serviceId);

    // --- Connections and callbacks ---

    // A connection on `endpoint` (1..240, or ALL_ENDPOINTS): 0 or ENDPOINT_NOT_REGISTERED.
    int createCallback(int endpoint, const CallbackPath* ctx) override;
    // A filtered callback, kept on its destination end point or on ALL_ENDPOINTS: 0,
    // ENDPOINT_NOT_REGISTERED, or 1 for no callback.
    int createCallback(Callback* cb, const CallbackPath* ctx) override;
    // 0, ENDPOINT_NOT_REGISTERED, or NO_ACTIVE_WSN_CONNECTIONS when there was none.
    int deleteCallback(int endpoint, const CallbackDeletePath* ctx) override;
    // 0, or 1 with NO_CUSTOMIZED_FILTER_FOUND.
    int deleteCustomizedCallback(int internalId, const CallbackDeletePath* ctx) override;
    // Runs the callbacks of one entry against a received message (under mux).
    void messageFilter(Message* msg, int serviceId);

    // --- Bindings ---

    int getnodebindingRequest(unsigned long timeout, unsigned short destAddr, int startIndex,
                              const NodeBindingPath* ctx) override;
    int bindRequest(unsigned long timeout, ZB_BIND_STRUCT bindParams, const BindPath* ctx) override;
    int unbindRequest(unsigned long timeout, ZB_BIND_STRUCT bindParams,
                      const BindPath* ctx) override;
    void getnodebinding_Cb(unsigned char status, unsigned short bindingTableEntries,
                           unsigned short startIndex, unsigned short bindingTableListCount,
                           ZB_BIND_STRUCT* bindingtableList);
    void bindRequest_Cb(unsigned char status);
    void unbindRequest_Cb(unsigned char status);
    void onGetnodebindingRequestExpired();
    void onBindRequestExpired();
    void onUnbindRequestExpired();

    // --- For tests and diagnostics ---

    size_t cachedMessages(int serviceId);
    void setMsgIdCounter(int value);
    // The armed time-out of a single-node request, by its feature bit; 0 when none is armed.
    int getTimeoutSeconds(int which);
    bool pacedIdle();

  private:
    template <typename Path>
    using Ctx = ProcedureContext<Path, ServiceCore>;
    // The bulk discoveries answer nobody.
    using BulkPath = ReplyPath<NoCb>;

    struct serviceEntry {
        SimpleDescriptor simpleDesc;
        Ctx<CallbackPath> listener{nullptr, 0};
        std::list<Callback> customizedCallbacks;
        Ctx<CallbackPath> customizedCallbackslistener{nullptr, 0};
    };

    struct fContexts {
        Ctx<ActiveEpPath> activeEndpoints;
        Ctx<ServiceDescPath> getServiceDescriptor;
        Ctx<NodeBindingPath> getnodebindingRequest;
        Ctx<BindPath> bindRequest;
        Ctx<BindPath> unbindRequest;
        Ctx<BulkPath> activeEndpointsDiscovery;
        Ctx<BulkPath> serviceDescriptorsDiscovery;
        explicit fContexts(FeatureControl* fc);
    };

    // Holds `mux` and marks the thread as inside the agent, so that a callback's call back
    // into the agent is recognised (and refused) instead of deadlocking.
    class AgentLock {
      public:
        explicit AgentLock(ServiceCore& a) : AgentLock(a, true) {}
        ~AgentLock() {
            if (taken) {
                holder = previous;
                agent.mux.unlock();
            }
        }
        AgentLock(const AgentLock&) = delete;
        AgentLock& operator=(const AgentLock&) = delete;

      protected:
        AgentLock(ServiceCore& a, bool take) : agent(a), previous(holder), taken(take) {
            if (taken) {
                agent.mux.lock();
                holder = &agent;
            }
        }

      private:
        ServiceCore& agent;
        const ServiceCore* previous;
        bool taken;
    };
    // For reads: takes `mux` unless this thread holds it already (inside a callback).
    class ReadLock : public AgentLock {
      public:
        explicit ReadLock(ServiceCore& a) : AgentLock(a, holder != &a) {}
    };

    bool calledFromCallback(const char* op);
    // The end point argument of a descriptor answer without a descriptor.
    static int endPointCode(const RPCReqStatus& st);
    void storeEndPoints(Node* node, unsigned char count, const unsigned char* list);
    void registerDataListener();
    // An IEEE address request for an unknown network address, sent by the paced sender
    // (at most one pending per address), so no thread waits for it.
    void pingUnknownNode(unsigned short nwk);

    // The receive path: the sender looked up, then the message delivered to what wants it.
    bool identifySender(unsigned char mode, const unsigned char* src, unsigned short profile,
                        unsigned short cluster, ReceivedFrame& f);
    bool hasConnection(const serviceEntry* e) { return e != nullptr && e->listener.isLocked(); }
    bool hasCallbacks(const serviceEntry* e) {
        return e != nullptr && e->customizedCallbackslistener.isLocked();
    }
    serviceEntry* entry(int ep);
    void notifyConnection(serviceEntry* e, int ep, Message* msg);
    void deliverBroadcast(const ReceivedFrame& f);
    bool deliverAddressed(const ReceivedFrame& f);

    // A bind (a second one takes over the first, which is answered AGENT_BUSY then) or an
    // unbind (a second one is refused) on the source node, found by its IEEE address.
    int bindOrUnbind(bool bind, unsigned long timeout, ZB_BIND_STRUCT bindParams,
                     const BindPath* ctx);

    // The life of the single-node requests and of the bulk discoveries (ServiceCore.cpp).
    template <typename Op>
    int startBulk(Op& op, bool descriptors);
    template <typename Op>
    void expireBulk(Op& op);
    template <typename Op, typename Path, typename Reply, typename Send>
    int request(const char* name, Op& op, unsigned long timeout, bool overwrite, const Path* ctx,
                void (ServiceCore::*onExpiry)(), Reply& reply, Send&& send);
    template <typename Op, typename C>
    void bindConfirm(Op& op, C& c, unsigned char status, AgentError failure);
    template <typename Op>
    void bindExpired(Op& op);
    template <typename Op, typename... A>
    void endUnanswered(Op& op, AgentError why, A... args);

    // An inline variable: one definition that every unit reaching it through the locks sees.
    static inline thread_local const ServiceCore* holder = nullptr;

    int autoDiscoveryUnknownNodeFeature = 0;
    std::mutex mux;
    fContexts functionsContext;
    std::map<int, serviceEntry> servicesTable;
    int dataListenerRegistered = 0;
    std::function<void(const Message&)> receivedTap;
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
    ZbZdpResponseListener bindListener{
        [this](const ZbZdpResponse& r) { bindRequest_Cb(r.status); }};
    ZbZdpResponseListener unbindListener{
        [this](const ZbZdpResponse& r) { unbindRequest_Cb(r.status); }};
    ZbMatchDescListener matchDescListener{
        [this](ushort a, ushort p, uchar ni, ushort* il, uchar no, ushort* ol) {
            autoMatchDescriptorRsp_Cb(a, p, ni, il, no, ol);
        }};
    ZbDataIndicationListener dataListener{
        [this](const ZbDataIndication& ind) { messageReceived_Cb(ind); }};

    AgentOperation<Ctx<ActiveEpPath>> activeEpOp;
    AgentOperation<Ctx<ServiceDescPath>> serviceDescOp;
    AgentOperation<Ctx<NodeBindingPath>> nodeBindingOp;
    AgentOperation<Ctx<BindPath>> bindOp;
    AgentOperation<Ctx<BindPath>> unbindOp;
    AgentOperation<Ctx<BulkPath>> epDiscoveryOp;
    AgentOperation<Ctx<BulkPath>> sdDiscoveryOp;
    ModuleAwayWatch awayWatch;
    PacedSender paced{kPacing};
};

#endif
