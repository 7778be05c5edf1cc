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
// permit join, gateway state), CRESTBrokerNodes.cpp (node resources), CRESTBrokerServices.cpp
// (service and binding resources) and CRESTBrokerMessages.cpp (message and callback
// resources).
//
// Threads and locks (docs/broker.md): handlers, attach operations and the tree run on the
// poll-loop (main) thread; responses and notifications also arrive on the agents' threads,
// where they only compose documents, set replies and queue POSTs; a change of the tree they
// need is handed to the poll loop (onTreeThread). The broker's own locks (`mux`, each
// list's mutex) are leaves: no agent or local node operation is called while one is held.

#include <atomic>
#include <condition_variable>
#include <functional>
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

// The `count` bytes written as exactly 2 * `count` hexadecimal digits in `text`, first byte
// first (the order of the database's IEEE addresses); false, `out` untouched, for any other
// text.
bool bytesOfHex(const std::string& text, unsigned char* out, size_t count);

// The request information a listener carries (null when it carries none).
inline const RESTCallbackInfo* callbackInfoOf(const uriListener_t& listener) {
    return dynamic_cast<const RESTCallbackInfo*>(listener.hback);
}

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

    // The local node and the agents the broker works with. A null member takes the process-wide
    // one (the agents asked of the local node by autorun()); given ones are reached from init()
    // on.
    struct Agents {
        LocalNodeT* localNode = nullptr;
        DiscoveryAgentT* discovery = nullptr;
        ServiceAgentT* service = nullptr;
        ManagementAgentT* management = nullptr;
    };

    // `server` and `client` (both owned) and `agents` are for tests; null makes the real ones.
    explicit RESTBroker(RESTServer* server = nullptr, RESTClient* client = nullptr,
                        const Agents* agents = nullptr);
    ~RESTBroker() override;
    RESTBroker(const RESTBroker&) = delete;
    RESTBroker& operator=(const RESTBroker&) = delete;

    // Builds the tree, the listener lists and reads the settings. Ends the process with 2
    // when the REST server cannot be initialised.
    void init(bool autostart, bool nvm);
    // autorun(), then the HTTP poll loop until a stop signal. `beforeStart`, when given, runs
    // in autorun() once the agents and the default service are there, before the network is
    // started and before the REST server serves.
    void start(std::function<void()> beforeStart = nullptr);
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
    // The same from an agent's thread (`fromAgentThread`): the database entry goes at once,
    // the folders on the poll loop's next pass.
    void leaveCommandDeleteResources(unsigned short shortAddress, bool fromAgentThread);
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
    // What the event stream tells of an event's node and end point.
    struct EventSubject {
        std::string node;  // short address, hexadecimal
        std::string ieee;  // IEEE address, hexadecimal
        int endpoint = -1;
    };
    static EventSubject subjectOf(unsigned short nwk, const unsigned char* ieee, int endpoint = -1);
    // The node's addresses; none for a null node.
    static EventSubject subjectOf(const Node* node);
    // The kind under which the events of `list` go to the event stream; null for the
    // lists of received messages, which are published as they arrive (publishMessage).
    const char* streamKindOf(const RBURIListenerList* list) const;
    // Publishes one notification to the event stream, once, whoever listens.
    void publishEvent(const char* kind, const EventSubject& subject, const std::string& doc);
    // A message received on one of the gateway's end points (the service agent's tap).
    void publishMessage(const Message& msg);
    // The event to the listeners of `list`, and to the event stream (about `node`, when the
    // event names one).
    void restEvent(const char* name, RBURIListenerList* list, const std::string& text,
                   const char* nwkStatus, RPCReqStatus* status, const Node* node = nullptr);
    void restEvent(const char* name, RBURIListenerList* list, const std::string& text,
                   RPCReqStatus* status, bool withNwkStatus);
    void restEvent_BC(const char* name, RBURIListenerList* list, const std::string& text,
                      RPCReqStatus* status);
    void restSuccess_Evt(RBURIListenerList* list, const std::string& text);
    void restSuccess_Evt(RBURIListenerList* list, const std::string& text, bool error);
    void restError_Evt(RBURIListenerList* list, RESTError eid, const char* desc,
                       const char* nwkStatus);
    // The tails of the line a single-answer event logs after its name when its listeners go.
    static constexpr const char* kEventDropped = " - event -> remove uriListeners";
    static constexpr const char* kDropped = " -> remove uriListeners";
    // The event of a single-answer kind: restEvent, then the line "<name><dropLog>", and the
    // list's work is over (lastAnswer): each listener got its one answer.
    void oneShotEvent(const char* name, RBURIListenerList* list, const std::string& text,
                      RPCReqStatus* status, const char* nwkStatus = nullptr,
                      const char* dropLog = kEventDropped);
    // The work behind `list` ends with what `deliver` posts: the list is no longer running,
    // and the listeners it held leave. One that registers while the answer is on its way
    // finds the list idle, so its attach starts the work again and it stays for that answer.
    void lastAnswer(RBURIListenerList* list, const std::function<void()>& deliver);
    // The work behind `list` is over: not running, and its listeners go.
    void endListWork(RBURIListenerList* list);
    // The detach of a list whose work needs no cancel: not running once it is empty.
    void clearRunningDetach(RBURIListenerList* list);
    // The detach of a procedure's list: with its last listener the list stops running and
    // `cancel` ends the agent work, unless the broker started that work itself (`keptByBroker`).
    void cancelOnLastDetach(RBURIListenerList* list, bool keptByBroker,
                            const std::function<void()>& cancel);
    // The attach of a single-answer list: marks `list` running and calls `start`; a refused
    // start (not AGENT_SUCCESS) clears the mark and removes `listener` again.
    void startOneShot(RBURIListenerList* list, const uriListener_t& listener,
                      const std::function<int()>& start);
    // Adds the session's callback destination to `list` (an http(s) URL, else BAD_PARAMETER);
    // a full list is answered with URILISTENER_LIST_MAX_SIZE_EXCEEDED. True when added.
    bool addSessionListener(const char* name, RBURIListenerList* list, RESTSessionContext* session);
    // Adds `url` to `list` for the session's request, the full list answered as above.
    bool addListenerFor(const char* name, RBURIListenerList* list, const std::string& url,
                        RESTSessionContext* session);

    // One remote procedure's request frame: the handler's log name, the list a non-blocking
    // request's listener joins, and the answers to a missing time-out or listener with the
    // texts logged after "<name> - " (a null text logs nothing).
    struct RemoteProcedure {
        const char* name;
        RBURIListenerList Listeners::*list;  // null: no listener list
        RESTError noTimeout;                 // NO_ERROR: the procedure takes no time-out
        const char* noTimeoutLog;
        const char* timeoutLog;  // a present time-out, formatted with it in hex and decimal
        const char* nonBlockingLog;
        RESTError noListener;
        const char* noListenerLog;
    };
    // The frame most remote procedures share.
    static constexpr RemoteProcedure remoteProcedure(const char* name,
                                                     RBURIListenerList Listeners::*list) {
        return {name,    list,    WRONG_REQUEST, "timeout parameter missing",
                nullptr, nullptr, WRONG_REQUEST, "callback destination not present"};
    }
    // The time-out step: a procedure that needs one and has none throws its error.
    void requireTimeout(const RemoteProcedure& procedure, RESTSessionContext* session);
    // The listener step: false for a blocking request; for a non-blocking one an empty
    // destination throws the procedure's error, else true (the caller adds the listener).
    bool isNonBlocking(const RemoteProcedure& procedure, RESTSessionContext* session);
    // Both steps, and a non-blocking request's listener joins the procedure's list (true:
    // nothing more to do); a blocking one is left to the caller.
    bool remoteProcedureQueued(const RemoteProcedure& procedure, RESTSessionContext* session);

    // How a response operation answers, as bits: kSkipLocal, the session -1 is only logged;
    // kBareAcceptance, the acceptance of a non-blocking request carries the status alone;
    // kLogDocument, the document and the fResult are logged.
    enum ResponseShape : unsigned {
        kPlainResponse = 0,
        kSkipLocal = 1,
        kBareAcceptance = 2,
        kLogDocument = 4,
        kRemoteResponse = kSkipLocal | kBareAcceptance
    };
    // A response operation's answer under its prescribed log `name`: on success the document
    // `compose` makes (when `hasData`), else the status only. Returns the operations' null.
    void* respond(const char* name, int sessionId, RPCReqStatus* status, unsigned shape,
                  bool hasData = false, const std::function<std::string()>& compose = nullptr);
    // The same for a read-only document of the network held in `db`: answered from `kept`
    // while the database's change count (and `variant`) stay as they were when it was made.
    void* respondKept(const char* name, int sessionId, RPCReqStatus* status, unsigned shape,
                      KeptDocument& kept, ZbNetDb* db, long variant,
                      const std::function<std::string()>& compose);
    // How often the cache-mode node list was composed (the rest were kept bytes).
    unsigned long keptCompositions() const { return kept.nodeList.compositions(); }
    // The documents kept that way.
    struct KeptDocuments {
        KeptDocument nodeList, aliases, allAliases, lqi, allServices;
    } kept;
    void clearAllListeners();
    void checkWsncAttach(RBURIListenerList* list, const uriListener_t& listener, int type);
    void checkWsncDetach(RBURIListenerList* list, int type);
    // The list of `map` under `key`, or null; with attach/detach given, made when missing.
    ListPtr findList(ListMap& map, int key);
    ListPtr getOrCreateList(ListMap& map, int key, RBAttach attach, RBDetach detach);

    // The mapped REST error of an agent error (GENERIC_REST_ERROR outside the table).
    static RESTError restErrorOf(AgentError error);
    // The time-out an agent is given for a request: the "timeout" parameter's value as it
    // is, a number of milliseconds (0 and 4294967295 mean none; 0 when none was given). The
    // same value read as seconds is the listener's lifetime (RESTCallbackInfo::expiry).
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
    void nodeDescriptorAttach(RBURIListenerList*, const uriListener_t&, int, bool);

    void* listAddresses_RspCb(ZbNetDb* db, int sessionId, RPCReqStatus* status);
    void* listAllAddresses_RspCb(ZbNetDb* db, int sessionId, RPCReqStatus* status);
    void* wsnNodesList_cache_RspCb(ZbNetDb* db, int sessionId, RPCReqStatus* status);
    void* wsnNodesList_RspCb(int sessionId, RPCReqStatus* status);
    void* wsnNodesList_NtfCb(Node* node, RPCReqStatus* status);
    void* wsnNodesList_cancelInquiry_RspCb(int sessionId, RPCReqStatus* status);
    void* MgmtLQI_RspCb(int sessionId, RPCReqStatus* status);
    void* MgmtLQI_NtfCb(Node* node, RPCReqStatus* status);
    void* cancelMgmtLQI_RspCb(int sessionId, RPCReqStatus* status);
    void* wsnNodesList_cancelMode_RspCb(int sessionId, RPCReqStatus* status);
    void* ndLeaveCommand_RspCb(int sessionId, RPCReqStatus* status);
    void* ndLeaveCommand_NtfCb(unsigned char commandStatus, int zigbeeStatus, RPCReqStatus* status);
    void* nodeDescriptor_RspCb(unsigned short address, unsigned char* ieee,
                               NodeDescriptor* descriptor, int sessionId, RPCReqStatus* status);
    void* nodeDescriptor_NtfCb(Node* node, RPCReqStatus* status);
    void* ndPowerDescriptor_RspCb(unsigned short address, unsigned char* ieee,
                                  PowerDescriptor* descriptor, int sessionId, RPCReqStatus* status);

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
    void* ndServicesList_RspCb(Node* node, int sessionId, RPCReqStatus* status);
    void* ndServicesList_NtfCb(Node* node, RPCReqStatus* status);
    void* sServiceDescriptor_RspCb(Node* node, int endPoint, int sessionId, RPCReqStatus* status);
    void* sServiceDescriptor_NtfCb(Node* node, int endPoint, RPCReqStatus* status);
    void* awndServicesList_RspCb(ZbNetDb* db, int sessionId, RPCReqStatus* status);
    void* awndServicesList_cache_RspCb(ZbNetDb* db, int sessionId, RPCReqStatus* status);
    void* getnodebinding_RspCb(unsigned short entries, unsigned short startIndex,
                               unsigned short count, ZB_BIND_STRUCT* list, int sessionId,
                               RPCReqStatus* status);
    void* getnodebinding_NtfCb(unsigned short entries, unsigned short startIndex,
                               unsigned short count, ZB_BIND_STRUCT* list, RPCReqStatus* status);
    void* bind_RspCb(int sessionId, RPCReqStatus* status);
    void* bind_NtfCb(RPCReqStatus* status);
    void* unbind_RspCb(int sessionId, RPCReqStatus* status);
    void* unbind_NtfCb(RPCReqStatus* status);

    void serviceDiscoveryAttach(RBURIListenerList*, const uriListener_t&, int, bool);
    void serviceDescriptorAttach(RBURIListenerList*, const uriListener_t&, int, bool);
    void getnodebindingAttach(RBURIListenerList*, const uriListener_t&, int, bool);
    void bindAttach(RBURIListenerList*, const uriListener_t&, int, bool);
    void unbindAttach(RBURIListenerList*, const uriListener_t&, int, bool);

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
    void callbackAttach(RBURIListenerList*, const uriListener_t&, int, bool);
    void callbackDetach(RBURIListenerList*);
    void serviceAttach(RBURIListenerList*, const uriListener_t&, int, bool);
    void serviceAttach_BC(RBURIListenerList*, const uriListener_t&, int, bool);
    void serviceDetach(RBURIListenerList*);

    void* callbacks_RspCb(int id, int sessionId, RPCReqStatus* status);
    void* callbacks_NtfCb(int id, Message* msg, RPCReqStatus* status);
    void* lsWsnConnection_RspCb(int endPoint, int sessionId, RPCReqStatus* status);
    void* lsWsnConnection_NtfCb(int endPoint, Message* msg, RPCReqStatus* status);
    void* lsWsnConnection_deleteCallback_RspCb(int endPoint, int sessionId, RPCReqStatus* status);
    void* lndAllServicesWsnConnection_RspCb(int endPoint, int sessionId, RPCReqStatus* status);
    void* lndAllServicesWsnConnection_NtfCb(int endPoint, Message* msg, RPCReqStatus* status);
    void* lsMessage_RspCb(Message* msg, int sessionId, RPCReqStatus* status);
    void* lndAllServicesMessage_RspCb(Message* msg, int sessionId, RPCReqStatus* status);

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

    // Every node's folders from the database as it is now (after the stored network was
    // loaded or dropped); callable from any thread, the tree itself changes on its thread.
    void rebuildNodeFolders(ZbNetDb* db);

    // A registration a client made that outlives its exchange (a connection, a callback, a
    // listener of the gateway's or the nodes' event lists), as the request that made it: what
    // a stored copy keeps to make it again at the next start, with the same identifier.
    struct Registration {
        std::string id;
        std::string method;
        std::string path;
        std::string query;
        std::string body;
    };
    // Told of each registration made (or made again) and of each that went.
    struct RegistrationKeeper {
        std::function<void(const Registration&)> kept;
        std::function<void(const std::string& id)> forgotten;
    };
    void keepRegistrations(RegistrationKeeper keeper);
    // Makes `stored` again, in order, each with its identifier; returns how many came back
    // (the others are forgotten). After autorun(), before the REST server serves.
    int restoreRegistrations(const std::vector<Registration>& stored);

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
    // Main thread: every registered service has its folders, with all their children, under
    // both "localnode"/"services" folders again (a reset empties the root-level one while the
    // services stay registered); folders that exist are kept.
    void restoreServiceFolders();
    // Main thread: the folder of end point `ep` under `services` (made from `table` when it is
    // missing), with the rows of `table` and those of `connTable` under its "wsnconnection",
    // each made only when it is missing.
    void createServiceFolders(Resource* services, int ep, const RBResourceDescriptor* table,
                              const RBResourceDescriptor* connTable);
    void parseStartup(const std::string* body, StartupAttributeInfo* info, bool blocking);
    // The co-processor link is gone (the adapter reported it lost).
    bool linkLost();
    // Node, service and message resources' helpers (CRESTBrokerNodes.cpp and the files after
    // it). The node's folders, made on the poll loop from a copy of its addresses.
    void createNodeResourcesLater(const Node* node);
    // Poll-loop thread: the two folders of a node, with what any listener kept of them.
    void removeNodeFolders(const std::string& ieee, const std::string& shortAddr);
    // After a walk: on the poll loop, the node folders of nodes the database no longer holds
    // (under that short address and IEEE address) go.
    void pruneNodeFoldersLater();
    // No listener's handback refers to `folder` or anything below it any more.
    void forgetResources(Resource* folder);
    void ndZdpCommand(Resource* resource, std::string* body, RESTSessionContext* session);
    // True, logged, for the session -1 of a request raised inside the gateway (nobody waits
    // for its answer).
    bool localRequest(const char* name, int sessionId);
    // The service folders of every folder of `node`, one per end point, on the poll loop.
    void rebuildServiceResourcesLater(const Node* node);
    unsigned short bindingTableNode(Resource* resource);
    void bindOrUnbind(bool bind, std::string* body, RESTSessionContext* session);
    void bindListAttach(bool bind, RBURIListenerList* list, const uriListener_t& listener,
                        int sessionId);
    void replyCallbackIdentifier(const char* name, int sessionId, const uriListener_t& listener);
    void refuseConnection(const char* name, RBURIListenerList* list, const uriListener_t& listener,
                          int sessionId, int rc);
    void connectionAttach(RBURIListenerList* list, const uriListener_t& listener, int sessionId,
                          bool update, bool secondFormat);
    void openConnection(const char* name, ListMap& map, RBAttach attach, Resource* resource,
                        RESTSessionContext* session);
    void sendMessage(std::string* body, RESTSessionContext* session);
    // The node of a non-blocking leave in progress.
    std::atomic<unsigned short> pendingLeaveAddress{0};

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
    Agents givenAgents;
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
    // Run by autorun() before the network is started (see start()).
    std::function<void()> beforeStart;
    // The kept registrations: identifier -> its list (compared, never followed; none for a
    // local service).
    std::mutex keptMux;
    RegistrationKeeper keeper;
    std::map<std::string, const RBURIListenerList*> keptLists;
    bool isStandingList(const RBURIListenerList* list) const;
    void registrationMade(RBURIListenerList* list, const uriListener_t& listener,
                          RESTSessionContext* session);
    void registrationsGone(const RBURIListenerList* list);
    void keepRegistration(const std::string& id, const RBURIListenerList* list,
                          RESTSessionContext* session);
    void forgetRegistration(const std::string& id);
    void tellForgotten(const std::vector<std::string>& ids);
    static std::string serviceRegistrationId(int endPoint);
};

#endif
