#ifndef ORQ_CRESTBROKER_H
#define ORQ_CRESTBROKER_H

// RESTBroker: the one object that ties the REST transport to the gateway. It owns the REST
// server (and with it the resource tree) and the REST client, builds the tree from static
// descriptor tables, binds each resource to one of its handler operations (names ending in
// _Req), keeps the lists of URI listeners, and at start-up connects to the local node and
// its agents and runs the automatic start.
//
// The handlers live in several source files: CRESTBroker.cpp (life cycle and tree),
// CRESTBrokerFrame.cpp (dispatch, replies, events, listener lists), CRESTBrokerGateway.cpp
// (the gateway resources: start-up, reset, version, information bases, frequency agility,
// permit join, gateway state), and the node, service, message and callback resources in
// files of their own.
//
// Threads and locks (docs/broker.md): handlers, attach operations and the tree run on the
// poll-loop (main) thread; responses and notifications also arrive on the agents' threads,
// where they only compose documents, set replies and queue POSTs; a change of the tree they
// need is handed to the poll loop (onTreeThread). The broker's own locks (`mux`, each
// list's mutex) are leaves: no agent or local node operation is called while one is held.

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CDebug.h"
#include "CLocalNode.h"
#include "CQueryParser.h"
#include "CRESTClient.h"
#include "CRESTServer.h"
#include "CResource.h"
#include "CServiceAgent.h"
#include "GWManagement.h"
#include "OrqZbIf.h"
#include "RESTErrors.h"
#include "URIListenerList.h"
#include "XMLProcessor.h"
#include "ZbNetDb.h"

class RESTBroker;
class RBURIListenerList;

// A broker handler: (resource, URI, method, query, body, session).
using RBHandler = void (RESTBroker::*)(Resource*, const char*, Method, const char*, std::string*,
                                       RESTSessionContext*);
// The operations that start and stop an agent's work as a list's listeners come and go.
using RBAttach = void (RESTBroker::*)(RBURIListenerList*, const uriListener_t&, int, bool);
using RBDetach = void (RESTBroker::*)(RBURIListenerList*);

// A descriptor with the broker operation that serves the resource (null: the resource
// information document).
class RBResourceDescriptor : public ResourceDescriptor {
  public:
    RBResourceDescriptor(const char* p, RBHandler cb) : ResourceDescriptor(p), callback(cb) {}
    RBHandler callback;
};

// A listener list of the broker: its attach and detach operations, whether the agent work
// behind it runs, and the last message document sent on it.
class RBURIListenerList : public URIListenerList {
  public:
    RBAttach attach = nullptr;
    RBDetach detach = nullptr;
    std::atomic<bool> running{false};

    std::string getLastMessage() const {
        std::lock_guard<std::mutex> lock(mux);
        return lastMessage;
    }
    void setLastMessage(const std::string& text) {
        std::lock_guard<std::mutex> lock(mux);
        lastMessage = text;
    }

  private:
    std::string lastMessage;
};

// The gateway-status listener's host part of "main:gwStatusChanged_DefaultURIListener": the
// text after "://" up to the next ":" or "/" (the whole text after "://" when neither
// follows); empty when the URL has no "://".
std::string wsnClientHostOf(const std::string& url);

class RESTBroker : private ResourceHandler, private URIListenerHandler {
  public:
    using Node_t = Node;
    using LocalNodeT = LocalNode<RESTBroker>;
    using DiscoveryAgentT = DiscoveryAgent<RESTBroker>;
    using ServiceAgentT = ServiceAgent<RESTBroker>;
    using ManagementAgentT = ManagementAgent<RESTBroker>;
    using ListPtr = std::shared_ptr<RBURIListenerList>;
    using ListMap = std::map<int, ListPtr>;

    // The periodic gateway-descriptor notification.
    struct Task {
        RESTBroker* restBrokerPointer = nullptr;
        std::atomic<bool> taskStarted{false};
        int taskPeriodA = 30;
        int taskPeriodB = 150;
        std::thread tid;
        std::mutex waitMux;
        std::condition_variable wake;
        // -1 (logged) when already started; otherwise 0, or -1 when the thread cannot be made.
        int start(RESTBroker* broker, int periodA, int periodB, void (*routine)(Task*));
        void stop();
        // Sleeps `seconds` unless stop() comes first; false when stopped.
        bool sleepFor(int seconds);
    };
    struct Tasks {
        Task wsnc;
    };

    // The broker's listener lists. The three maps are keyed by end point or callback
    // identifier; their entries are shared so that a delivery keeps the list it walks even
    // when a reset drops the entry meanwhile.
    struct Listeners {
        RBURIListenerList gwStatus, startup, serviceDiscovery, serviceDescriptor, nodeDescriptor,
            getnodebinding, bind, unbind, resetCommand, leaveCommand, permitJoin, freshness,
            nodeAnnounce, nodeInquiry, nodeMgmt_Lqi, allServices;
        ListMap service, customizedCallback, service_BC;
    };

    // `server` and `client` (both owned) are for tests; null makes the real ones.
    explicit RESTBroker(RESTServer* server = nullptr, RESTClient* client = nullptr);
    ~RESTBroker() override;
    RESTBroker(const RESTBroker&) = delete;
    RESTBroker& operator=(const RESTBroker&) = delete;

    // Builds the tree, the listener lists and reads the settings. Ends the process with 2
    // when the REST server cannot be initialised.
    void init(bool autostart, bool nvm);
    // autorun(), then the HTTP poll loop until a stop signal.
    void start();
    // The automatic start: agents, gateway-state listener, announcement and freshness modes,
    // the default service, and the start (or a reset that waits for a start request).
    void autorun();
    // The orderly stop's part of the broker: the periodic notification ends, the agents'
    // deliveries stop reaching listeners and the REST client gives up its queues. Main
    // thread, after the poll loop has returned.
    void stop();

    // Tree building.
    void createResources(Resource* parent, const RBResourceDescriptor* table);
    Resource* createFolder(Resource* parent, const char* name, RBHandler handler,
                           intptr_t data = 0);
    Resource* createFolder(Resource* parent, const char* name, const RBResourceDescriptor* table,
                           intptr_t data = 0);
    void createRootResources();
    Resource* createNetResources(const std::string& networkName);
    void createIBResources();
    // With no node: the local node's subtree (returns the network's "localnode"). With a
    // node: its IEEE-address and short-address folders under "wsnnodes" (returns the
    // short-address one). Poll-loop thread.
    Resource* createNodeResources(Resource* netFolder, Node* node);
    void leaveCommandDeleteResources(unsigned short shortAddress);
    void createCallbackResources(Resource* callbacksResource, const uriListener_t& listener,
                                 RBURIListenerList* list);
    void syncCallbackResources(Resource* callbacksResource, RBURIListenerList* list);
    // Runs `fn` on the poll-loop thread (the tree's only thread) during its next pass.
    void onTreeThread(std::function<void()> fn);

    // The request frame.
    void badMethod(Resource* resource, RESTSessionContext* session);
    void restResponse(const char* name, int sessionId, const std::string& text, RESTError eid);
    void restResponse(const char* name, int sessionId, const std::string& text,
                      const char* nwkStatus, RPCReqStatus* status);
    void restEvent(const char* name, RBURIListenerList* list, const std::string& text,
                   const char* nwkStatus, RPCReqStatus* status);
    void restEvent(const char* name, RBURIListenerList* list, const std::string& text,
                   RPCReqStatus* status, bool withNwkStatus);
    void restEvent_BC(const char* name, RBURIListenerList* list, const std::string& text,
                      RPCReqStatus* status);
    void restSuccess_Evt(RBURIListenerList* list, const std::string& text);
    void restSuccess_Evt(RBURIListenerList* list, const std::string& text, bool error);
    void restError_Evt(RBURIListenerList* list, RESTError eid, const char* desc,
                       const char* nwkStatus);
    // The event of a single-answer kind: restEvent, then the list's work is over and its
    // listeners go (each got its one answer).
    void restEventOnce(const char* name, RBURIListenerList* list, const std::string& text,
                       const char* nwkStatus, RPCReqStatus* status);
    // The detach of a list whose work needs no cancel: not running once it is empty.
    void clearRunningDetach(RBURIListenerList* list);
    // Adds the session's callback destination to `list`; a full list is answered with
    // URILISTENER_LIST_MAX_SIZE_EXCEEDED. True when added.
    bool addSessionListener(const char* name, RBURIListenerList* list, RESTSessionContext* session);
    void clearAllListeners();
    void checkWsncAttach(RBURIListenerList* list, const uriListener_t& listener, int type);
    void checkWsncDetach(RBURIListenerList* list, int type);
    // The list of `map` under `key`, or null; with attach/detach given, made when missing.
    ListPtr findList(ListMap& map, int key);
    ListPtr getOrCreateList(ListMap& map, int key, RBAttach attach, RBDetach detach);

    // The mapped REST error of an agent error (GENERIC_REST_ERROR outside the table).
    static RESTError restErrorOf(AgentError error);
    // The time-out an agent is given for a request: the "timeout" parameter is in seconds,
    // the agents take milliseconds (0 and 4294967295 stay "none"; 0 when none was given).
    static unsigned long agentTimeout(const RESTCallbackInfo& info);

    // --- Gateway resources ---
    void startup_Req(Resource*, const char*, Method, const char*, std::string*,
                     RESTSessionContext*);
    void reset_Req(Resource*, const char*, Method, const char*, std::string*, RESTSessionContext*);
    void version_Req(Resource*, const char*, Method, const char*, std::string*,
                     RESTSessionContext*);
    void manageGIBAttr_Req(Resource*, const char*, Method, const char*, std::string*,
                           RESTSessionContext*);
    void informationBase_Req(Resource*, const char*, Method, const char*, std::string*,
                             RESTSessionContext*);
    void frequencyAgility_Req(Resource*, const char*, Method, const char*, std::string*,
                              RESTSessionContext*);
    void ndPermitJoin_Req(Resource*, const char*, Method, const char*, std::string*,
                          RESTSessionContext*);

    void* startup_RspCb(unsigned char commandStatus, int sessionId, RPCReqStatus* status);
    void* startup_NtfCb(unsigned char commandStatus, RPCReqStatus* status);
    void* resetCommand_RspCb(int sessionId, RPCReqStatus* status);
    void* resetCommand_NtfCb(unsigned char commandStatus, RPCReqStatus* status);
    void* ndPermitJoin_RspCb(unsigned char commandStatus, int sessionId, RPCReqStatus* status);
    void* ndPermitJoin_NtfCb(unsigned char commandStatus, RPCReqStatus* status);
    void* gwDescriptorLocal_RspCb(int sessionId, RPCReqStatus* status);
    void* gwStatusChanged_gwDescriptor_NtfCb(GwDescriptor* descriptor, RPCReqStatus* status);

    void startupAttach(RBURIListenerList*, const uriListener_t&, int, bool);
    void resetCommandAttach(RBURIListenerList*, const uriListener_t&, int, bool);
    void permitJoinAttach(RBURIListenerList*, const uriListener_t&, int, bool);

    // --- Node resources ---
    void listAddresses_Req(Resource*, const char*, Method, const char*, std::string*,
                           RESTSessionContext*);
    void listAllAddresses_Req(Resource*, const char*, Method, const char*, std::string*,
                              RESTSessionContext*);
    void wsnNodesList_Req(Resource*, const char*, Method, const char*, std::string*,
                          RESTSessionContext*);
    void ndRoot_Req(Resource*, const char*, Method, const char*, std::string*, RESTSessionContext*);
    void nodeDescriptor_Req(Resource*, const char*, Method, const char*, std::string*,
                            RESTSessionContext*);
    void ndPowerDescriptor_Req(Resource*, const char*, Method, const char*, std::string*,
                               RESTSessionContext*);
    void ndLQIInformation_Req(Resource*, const char*, Method, const char*, std::string*,
                              RESTSessionContext*);

    void* wsnNodesList_StartAnnceMode_RspCb(int sessionId, RPCReqStatus* status);
    void* wsnNodeAnnce_NtfCb(Node* node, RPCReqStatus* status);
    void* wsnNodesList_StartFreshnessMode_RspCb(int sessionId, RPCReqStatus* status);
    void* wsnNodeFreshnessAnnce_NtfCb(Node* node, RPCReqStatus* status);

    void nodeInquiryAttach(RBURIListenerList*, const uriListener_t&, int, bool);
    void nodeInquiryDetach(RBURIListenerList*);
    void nodeAnnounceAttach(RBURIListenerList*, const uriListener_t&, int, bool);
    void nodeAnnounceDetach(RBURIListenerList*);
    void nodeFreshnessAttach(RBURIListenerList*, const uriListener_t&, int, bool);
    void nodeFreshnessDetach(RBURIListenerList*);
    void nodeMgmtLQIAttach(RBURIListenerList*, const uriListener_t&, int, bool);
    void nodeMgmtLQIDetach(RBURIListenerList*);
    void leaveCommandAttach(RBURIListenerList*, const uriListener_t&, int, bool);
    void leaveCommandDetach(RBURIListenerList*);
    void nodeDescriptorAttach(RBURIListenerList*, const uriListener_t&, int, bool);
    void nodeDescriptorDetach(RBURIListenerList*);

    // --- Service and binding resources ---
    void lndServicesList_Req(Resource*, const char*, Method, const char*, std::string*,
                             RESTSessionContext*);
    void ndServicesList_Req(Resource*, const char*, Method, const char*, std::string*,
                            RESTSessionContext*);
    void awndServicesList_Req(Resource*, const char*, Method, const char*, std::string*,
                              RESTSessionContext*);
    void sServiceDescriptor_Req(Resource*, const char*, Method, const char*, std::string*,
                                RESTSessionContext*);
    void clearEndpoin_Req(Resource*, const char*, Method, const char*, std::string*,
                          RESTSessionContext*);
    void lsBind_Req(Resource*, const char*, Method, const char*, std::string*, RESTSessionContext*);
    void lsUnbind_Req(Resource*, const char*, Method, const char*, std::string*,
                      RESTSessionContext*);

    void* lndServicesList_RspCb(SimpleDescriptor* sd, int sessionId, RPCReqStatus* status);

    void serviceDiscoveryAttach(RBURIListenerList*, const uriListener_t&, int, bool);
    void serviceDiscoveryDetach(RBURIListenerList*);
    void serviceDescriptorAttach(RBURIListenerList*, const uriListener_t&, int, bool);
    void serviceDescriptorDetach(RBURIListenerList*);
    void getnodebindingAttach(RBURIListenerList*, const uriListener_t&, int, bool);
    void getnodebindingDetach(RBURIListenerList*);
    void bindAttach(RBURIListenerList*, const uriListener_t&, int, bool);
    void bindDetach(RBURIListenerList*);
    void unbindAttach(RBURIListenerList*, const uriListener_t&, int, bool);
    void unbindDetach(RBURIListenerList*);

    // --- Message and callback resources ---
    void callbacks_Req(Resource*, const char*, Method, const char*, std::string*,
                       RESTSessionContext*);
    void cbCallback_Req(Resource*, const char*, Method, const char*, std::string*,
                        RESTSessionContext*);
    void lsWsnConnection_Req(Resource*, const char*, Method, const char*, std::string*,
                             RESTSessionContext*);
    void lsWsnConnection_BC_Req(Resource*, const char*, Method, const char*, std::string*,
                                RESTSessionContext*);
    void lsMessage_Req(Resource*, const char*, Method, const char*, std::string*,
                       RESTSessionContext*);
    void lndAllServicesWsnConnection_Req(Resource*, const char*, Method, const char*, std::string*,
                                         RESTSessionContext*);
    void lndAllServicesMessage_Req(Resource*, const char*, Method, const char*, std::string*,
                                   RESTSessionContext*);

    void allServicesAttach(RBURIListenerList*, const uriListener_t&, int, bool);
    void allServicesDetach(RBURIListenerList*);

    // Static descriptor tables, each ended by the empty path (whose callback serves a folder
    // made from the table).
    static const RBResourceDescriptor rootDesc[];
    static const RBResourceDescriptor netDesc[];
    static const RBResourceDescriptor ibRootDesc[];
    static const RBResourceDescriptor ibNetDesc[];
    static const RBResourceDescriptor nodeDesc[];
    static const RBResourceDescriptor lnNodeDesc[];
    static const RBResourceDescriptor allnNodeDesc[];
    static const RBResourceDescriptor allServicesDesc[];
    static const RBResourceDescriptor allServicesConnDesc[];
    static const RBResourceDescriptor servicesDesc[];
    static const RBResourceDescriptor connDesc[];
    static const RBResourceDescriptor lnNodeDescBC[];
    static const RBResourceDescriptor servicesDescBC[];
    static const RBResourceDescriptor connDescBC[];

    // Accessors (tests, and the files of the resources).
    RESTServer* getRESTServer() { return pRESTServer; }
    Listeners& getListeners() { return listeners; }
    Resource* getNetFolder() { return resources.net; }
    Resource* getLocalNodeFolder() { return resources.localNode; }
    Resource* getCallbacksResource() { return resources.callbacks; }
    const std::string& getWsnCAddress() const { return wsnCAddress; }
    bool isPeriodicTaskStarted() const { return tasks.wsnc.taskStarted.load(); }

  private:
    // ResourceHandler
    void handle(Resource* resource, const char* uri, Method method, const char* query,
                std::string* body, HTTPSessionContext* session) override;
    // URIListenerHandler
    void addListener(URIListenerList* list, const uriListener_t& listener, int sessionId) override;
    void updateListener(URIListenerList* list, const uriListener_t& old,
                        const uriListener_t& updated, int sessionId) override;
    void removeListeners(URIListenerList* list) override;

    void connectLocalNode();
    void initAgents();
    void initListeners();
    // Attach operations of lists whose work is not served yet.
    void pendingAttach(RBURIListenerList*, const uriListener_t&, int, bool);
    // A handler whose resource is not served yet: HTTP 501.
    [[noreturn]] void pending(const char* name, RESTSessionContext* session);
    // The deliveries of one event: `send` is tried for each listener of `list`; those it
    // refuses (time-out expired) are removed afterwards.
    template <typename Send>
    void deliverEach(RBURIListenerList* list, Send&& send);
    static void notifyGWDescriptorToWsnc_SW(Task* task);
    void notifyGWDescriptorToWsnc(Task* task);
    // Gateway resources' helpers.
    std::string networkId();
    void clearWsnNodes(const char* logLine);
    int startModeFromQuery(const char* query, bool log);
    void clearLocalServices();
    void parseStartup(const std::string* body, StartupAttributeInfo* info, bool blocking);
    // The co-processor link is gone (the adapter reported it lost).
    bool linkLost();

    Tasks tasks;
    std::atomic<bool> wsncAttached{false};
    std::atomic<int> numWSNConnctionsFromWsnc{0};
    int customizedCallbackIdCounter = 0;
    RESTServer* pRESTServer = nullptr;
    RESTClient* pRESTClient = nullptr;
    XMLMsgComposer* pXMLMsgComposer = nullptr;
    ZbNetDb* soFarBuffer = nullptr;
    XMLMsgParser* pXMLMsgParser = nullptr;
    QueryParser* pQueryParser = nullptr;
    LocalNodeT* pLocalNode = nullptr;
    DiscoveryAgentT* pDAgent = nullptr;
    ServiceAgentT* pSAgent = nullptr;
    ManagementAgentT* pMngmtAgent = nullptr;
    GWManagementMessages* pGWManagementMsgs = nullptr;
    OrqZbIf* pOrqZb = nullptr;
    ZbNetDb* pOrqDb = nullptr;
    Debug* pLogger = nullptr;
    bool debugEnabled = false;
    int debugLevel = 1;
    bool autostart = true;
    bool localRegToDAnnceEnabled = true;
    bool useDefaultNWKRootURI = true;
    bool isAMLocallyEnabled = false;
    bool isFMLocallyEnabled = false;
    std::string wsnCAddress;
    std::mutex mux;
    struct {
        Resource* net = nullptr;
        Resource* localNode = nullptr;
        Resource* callbacks = nullptr;
    } resources;
    Listeners listeners;
    // Set by stop(): responses and notifications no longer reach anyone.
    std::atomic<bool> stopping{false};
};

#endif
