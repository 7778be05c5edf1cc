#ifndef ORQ_CLOCALNODE_H
#define ORQ_CLOCALNODE_H

// LocalNode: the gateway itself as a ZigBee device. It opens the co-processor link, loads the
// default start-up attribute set and the trust-centre link-key table from the configuration,
// starts or restarts the network on request, resets the co-processor, keeps the gateway
// descriptor and tells every registered listener when the gateway state changes.
//
// Threads: start and reset requests come from the main thread; state events and reset
// confirms from the serial reader thread; the start time-out from the local node's pool;
// start() runs on the startZNP task thread or on the caller's, never with `mux` held. `mux`
// guards both procedure contexts, the listener list and the last failure. No answer or
// notification is given with `mux` held: it is taken (and the stored request forgotten) under
// it and given after it is released, so a listener may call back into the node, and the
// broker's own locks never invert with this one.

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "Agents.h"
#include "CDebug.h"
#include "CDiscoveryAgent.h"
#include "CManagementAgent.h"
#include "ConfigurationRepository.h"
#include "GWManagement.h"
#include "OrqZbIf.h"
#include "ThreadPool.h"
#include "TimerThread.h"
#include "ZbNetDb.h"

// Exit statuses of the local node (documented in docs/node.md).
constexpr int EXIT_LINK_FAILURE = 1;
constexpr int EXIT_INVALID_CONFIG_CHANNEL = 7;
constexpr int EXIT_INVALID_KEY_TABLE = 9;

// The channel key's value as a mask: 0 gives channels 11..26, 11..26 that channel alone.
// False for any other value.
bool channelToMask(int channel, unsigned long* mask);

// The built-in key used for the network key and the pre-configured link key when the
// configuration gives none, as a hex list.
extern const char* const kDefaultKeyHexList;

// Reads the DefaultStartupAttributeSet section into `set` (index 0). Returns false when the
// channel key is invalid (after its log line). `log` may be null.
bool readDefaultStartupAttributeSet(ConfigurationRepository* config, Debug* log,
                                    StartupAttributeInfo* set);
// Reads the TCKeyTable section into the database (size and entries 0..size-1). False, after
// an error line naming the key and the limit, when the size exceeds the co-processor's table.
bool readTCKeyTable(ConfigurationRepository* config, Debug* log, ZbNetDb* db);

template <class T>
class ServiceAgent;  // gateway/service: the caller of getServiceAgent() includes it

template <class T>
class LocalNode {
  public:
    using StartResF = void* (T::*)(unsigned char, int, RPCReqStatus*);
    using StartNotF = void* (T::*)(unsigned char, RPCReqStatus*);
    using ResetResF = void* (T::*)(int, RPCReqStatus*);
    using ResetNotF = void* (T::*)(unsigned char, RPCReqStatus*);
    using StatusNotF = void* (T::*)(GwDescriptor*, RPCReqStatus*);
    using StartGatewayDeviceCtxt = RPCContext<T, StartResF, StartNotF>;
    using ResetCommandCtxt = RPCContext<T, ResetResF, ResetNotF>;
    using CreateCallbackCtxt = RPCContext<T, NoCb, StatusNotF>;
    using StatusChanged_Event_NotifyCtxt = CreateCallbackCtxt;
    // The response-only context answered by createCallback (session, status).
    using CreateCallbackRspCtxt = RPCContext<T, ResetResF, NoCb>;
    using ConfigureSASCtxt = RPCContext<T, ResetResF, NoCb>;

    // How long a reset request waits for the co-processor's confirm.
    static constexpr int RESET_TIMEOUT_SECONDS = 5;

    struct Task {
        std::atomic<bool> taskStarted{false};
        std::thread tid;
    };
    struct fContexts {
        fContext<T, LocalNode, StartResF, StartNotF> startGatewayDevice;
        fContext<T, LocalNode, ResetResF, ResetNotF> resetCommand;
        explicit fContexts(FeatureControl* fc)
            : startGatewayDevice(fc, FEATURE_LOCALNODE), resetCommand(fc, FEATURE_LOCALNODE) {}
    };

    // The process-wide local node, on the process-wide adapter and configuration.
    static LocalNode* getLocalNode() {
        static LocalNode instance;
        return &instance;
    }

    // Tests build their own on an adapter, configuration and clock of their choosing.
    explicit LocalNode(OrqZbIf* adapter = nullptr, ConfigurationRepository* config = nullptr,
                       TimerClock* clock = nullptr)
        : pOrqZb(adapter != nullptr ? adapter : OrqZbIf::Instance()),
          pOrqDb(pOrqZb->getDb()),
          config(config != nullptr ? config : ConfigurationRepository::instance()),
          pLogger(new Debug("LocalNode")),
          gwDescriptor(new GwDescriptor()),
          threadPool(10, 10, 5000),
          timerThread(&threadPool, clock),
          functionsContext(pOrqZb->getFeatureControl()),
          statusListener([this](int state, int error, uchar status) {
              gwStatusChanged_Event_Cb(state, error, status);
          }),
          resetListener([this](uchar status) { resetCommandNotify_Cb(status); }),
          exitProcess([](int status) {
              std::fflush(stdout);
              std::exit(status);
          }) {
        configureLogger(*pLogger, "Debug:LocalNodeDL");
        ORQ_LOG(*pLogger, DEBUG, "LocalNode - Constructor");
    }

    ~LocalNode() {
        ORQ_LOG(*pLogger, DEBUG, "LocalNode - Destructor");
        pOrqZb->unregisterListener(ZB_EV_GW_STATUS_CHANGED, &statusListener);
        pOrqZb->unregisterListener(ZB_EV_ZDO_RESET_CONFIRM, &resetListener);
        joinStartTask();
        if (timerThreadResult != 0) {
            ORQ_LOG(*pLogger, DEBUG, "LocalNode - Killing timerThread...");
            timerThread.shutdown();
        }
        if (threadPoolResult != 0) {
            ORQ_LOG(*pLogger, DEBUG, "LocalNode - Killing threadPool...");
            threadPool.shutdown();
        }
        delete gwDescriptor;
        delete pLogger;
    }

    LocalNode(const LocalNode&) = delete;
    LocalNode& operator=(const LocalNode&) = delete;

    // Main thread, once, before the broker exists. Ends the process when the configured
    // channel is invalid or the device link cannot be opened.
    void init(const char* device) {
        debugEnabled = config->getint("main:debugEnabled", 0) != 0;
        debugLevel = config->getint("Debug:LocalNodeDL", 1);
        localDevice = device != nullptr ? device : "";
        pOrqZb->init();
        pOrqZb->registerListener(ZB_EV_GW_STATUS_CHANGED, &statusListener);
        if (!loadDefaultStartAttributeSet()) {
            exitProcess(EXIT_INVALID_CONFIG_CHANNEL);
            return;
        }
        if (!loadTCKeyTable()) {
            exitProcess(EXIT_INVALID_KEY_TABLE);
            return;
        }
        pOrqZb->LoadConfig(config->filename().c_str());
        gwDescriptor->setGwState(pOrqZb->getGWStatus(), 0);
        initZNP();
    }

    void setWSNId(const char* id) { gwDescriptor->setWSNId(id != nullptr ? id : ""); }
    GwDescriptor* getGwDescriptor() { return gwDescriptor; }
    OrqZbIf* getOrqZbIf() { return pOrqZb; }
    // The agents working on this node's network: the process-wide ones unless others were
    // given (tests build their own on their own adapter).
    DiscoveryAgent<T>* getDiscoveryAgent() {
        return discoveryAgent != nullptr ? discoveryAgent : DiscoveryAgent<T>::Instance();
    }
    ManagementAgent<T>* getManagementAgent() {
        return managementAgent != nullptr ? managementAgent : ManagementAgent<T>::Instance();
    }
    void setAgents(DiscoveryAgent<T>* discovery, ManagementAgent<T>* management) {
        discoveryAgent = discovery;
        managementAgent = management;
    }
    ZbNetDb* getNetDb() { return pOrqDb; }
    // The process-wide service agent.
    ServiceAgent<T>* getServiceAgent() { return ServiceAgent<T>::Instance(); }

    int startGatewayDevice(unsigned long timeout, StartupAttributeInfo* set,
                           StartGatewayDeviceCtxt* ctx) {
        const bool shortTimeout = timeout >= 1 && timeout <= 999;
        const int session = ctx != nullptr ? ctx->getSessionId() : -1;
        // The caller's immediate answer and the start itself happen after `mux` is released.
        std::optional<RPCReqStatus> reply;
        int result = AGENT_SUCCESS;
        bool startHere = false;
        {
            std::lock_guard<std::recursive_mutex> lock(mux);
            auto& sc = functionsContext.startGatewayDevice;
            sc.result = 0;
            const int state = pOrqZb->getGWStatus();
            if (pOrqZb->isLinkLost()) {
                ORQ_LOG(*pLogger, ERROR, "startGatewayDevice - the ZigBee device link is lost");
                reply.emplace(NotAvailable, -1, AGENT_ERROR);
                result = AGENT_ERROR;
            } else if (state == GW_ZNP_INITIALIZED || state == GW_RUNNING || state == GW_ERROR) {
                if (state == GW_ZNP_INITIALIZED) {
                    ORQ_LOG(*pLogger, INFO, "startup - current GW Status = %d -> call start",
                            state);
                } else if (state == GW_RUNNING) {
                    ORQ_LOG(*pLogger, INFO, "startup - GW Status = %d -> call restart", state);
                } else {
                    ORQ_LOG(*pLogger, INFO, "startup - GW Status = %d -> try to restart", state);
                }
                storeSet(set);
                const bool armed = armStartTimer(timeout);
                if (!armed && state != GW_ZNP_INITIALIZED) {
                    reply.emplace(NotAvailable, -1, TIMER_ERROR);
                    result = TIMER_ERROR;
                } else {
                    sc.rpcContext = ctx != nullptr ? *ctx : StartGatewayDeviceCtxt();
                    if (sc.rpcContext.hasNotify()) {
                        reply.emplace(End, 0, AGENT_SUCCESS, true);
                    }
                    if (!armed) {
                        result = TIMER_ERROR;  // answered (when asynchronous), nothing started
                    } else if (!shortTimeout && state == GW_ZNP_INITIALIZED) {
                        if (!startTask()) {
                            ORQ_LOG(*pLogger, WARN,
                                    "startGatewayDevice - startZNP task already running");
                        }
                    } else if (!shortTimeout) {
                        startHere = true;
                    }
                }
            } else if (state == GW_STARTING) {
                reply.emplace(End, 1, GW_STARTUP_ALREADY_CALLED);
                result = GW_STARTUP_ALREADY_CALLED;
            } else {
                ORQ_LOG(*pLogger, ERROR, " - gwStatus value = %d unknown", state);
                reply.emplace(End, 1, INVALID_GW_STATUS);
                result = INVALID_GW_STATUS;
            }
        }
        if (reply && ctx != nullptr) {
            ctx->respond(static_cast<unsigned char>(255), session, &*reply);
        }
        if (startHere) {
            start();
        }
        return result;
    }

    // The actual (re)start; returns the gateway state. Never called with `mux` held: the
    // state events it causes tell the listeners.
    int start() {
        int index = pOrqDb->getCurrentStartupAttributeSetIndex();
        ORQ_LOG(*pLogger, DEBUG, "start - currentSASIndex = %d", index);
        StartupAttributeInfo* sai = pOrqDb->getStartupAttributeInfo(index);
        if (sai == nullptr) {
            ORQ_LOG(*pLogger, ERROR, "start - sai = NULL");
        } else {
            ORQ_LOG(*pLogger, DEBUG, "start - securityLevel = %d", sai->_securityLevel);
        }
        if (pOrqDb->getStartModeSetting() != 1) {
            ORQ_LOG(*pLogger, DEBUG, "start - NVMSetting is not used");
            pOrqDb->clearAllButRoot();
            std::function<void()> hook;
            {
                std::lock_guard<std::recursive_mutex> lock(mux);
                hook = restartHook;
            }
            if (hook) {
                hook();
            }
        }
        pOrqZb->Start();
        return pOrqZb->getGWStatus();
    }

    // Closes the device link (state 0).
    void stop() {
        std::puts("LocalNode<T>::stop");
        std::fflush(stdout);
        pOrqZb->ZbIfDisconnect_W();
    }

    int resetRequest(unsigned char mode, ResetCommandCtxt* ctx) {
        const int session = ctx != nullptr ? ctx->getSessionId() : -1;
        unsigned char options = mode;
        std::optional<RPCReqStatus> reply;
        int result = AGENT_SUCCESS;
        {
            std::lock_guard<std::recursive_mutex> lock(mux);
            auto& rc = functionsContext.resetCommand;
            if (pOrqZb->isLinkLost()) {
                ORQ_LOG(*pLogger, ERROR, "resetRequest - the ZigBee device link is lost");
                reply.emplace(NotAvailable, -1, AGENT_ERROR);
                result = AGENT_ERROR;
            } else if (!rc.lock()) {
                ORQ_LOG(*pLogger, WARN, "resetRequest - A reset is already running");
                reply.emplace(NotAvailable, 0, AGENT_BUSY);
                result = AGENT_BUSY;
            } else {
                rc.fTimeout = RESET_TIMEOUT_SECONDS;
                if (!rc.setTimer(&timerThread, this, &LocalNode::onResetCommand)) {
                    rc.unlock(Canceled);
                    reply.emplace(NotAvailable, -1, TIMER_ERROR);
                    result = TIMER_ERROR;
                } else {
                    rc.result = 0;
                    options = static_cast<unsigned char>(options + startModeResetBits());
                    pOrqZb->registerListener(ZB_EV_ZDO_RESET_CONFIRM, &resetListener);
                    rc.rpcContext = ctx != nullptr ? *ctx : ResetCommandCtxt();
                    if (rc.rpcContext.hasNotify()) {
                        reply.emplace(Running, 0, AGENT_SUCCESS);
                    }
                }
            }
        }
        // Answered before the request goes out: a reset without the reset bit is confirmed
        // at once, inside the request.
        if (reply && ctx != nullptr) {
            ctx->respond(session, &*reply);
        }
        if (result == AGENT_SUCCESS) {
            lastResetOptions = options;
            pOrqZb->ZDO_RESET_request(options);
        }
        return result;
    }

    int createCallback(CreateCallbackCtxt* listener, CreateCallbackRspCtxt* rsp) {
        if (listener != nullptr) {
            std::lock_guard<std::recursive_mutex> lock(mux);
            gwStatusChanged.push_back(*listener);
        }
        if (rsp != nullptr) {
            RPCReqStatus st(End, 0, AGENT_SUCCESS);
            rsp->respond(rsp->getSessionId(), &st);
        }
        return 0;
    }

    StartupAttributeInfo* readStartupAttributeSet(int index) {
        return pOrqDb->getStartupAttributeInfo(index);
    }
    int configureStartupAttributeSet(int index, StartupAttributeInfo* set, ConfigureSASCtxt* ctx) {
        (void)ctx;
        if (set != nullptr) {
            StartupAttributeInfo copy = *set;
            copy.startupAttributeSetIndex = index;
            pOrqDb->setStartupAttributeInfo(1, &copy);
        }
        return 0;
    }
    int readStartupAttributeSet(int index, ConfigureSASCtxt* ctx) {
        (void)index;
        (void)ctx;
        return 0;
    }
    void set_securityLevel(int level) { pOrqZb->set_securityLevel(level); }

    // The gateway-state event (reader thread, or the thread that changed the state). The
    // stored start request is answered and forgotten first, then the listeners are told; both
    // without `mux`, so a listener may start the gateway again.
    void gwStatusChanged_Event_Cb(int state, int errorCode, unsigned char commandStatus) {
        if (state == GW_ERROR && errorCode == GW_ZNP_INITIALIZATION_FAILED) {
            ORQ_LOG(*pLogger, ERROR, "gwStatusChanged_Event_Cb - GW_ZNP_INITIALIZATION_FAILED");
            std::fflush(stdout);
            std::fprintf(stderr,
                         "ERROR: cannot open the ZigBee device \"%s\" (%s) - exit\n"
                         "A device URL has the form zigbee://<device>?dongle=freescale, for "
                         "example zigbee:///dev/ttyUSB0?dongle=freescale (\"freescale\" is the "
                         "one supported back-end)\n",
                         localDevice.c_str(), pOrqZb->getConnectFailure().c_str());
            exitProcess(EXIT_LINK_FAILURE);
            return;
        }
        if (state == GW_ERROR && errorCode == GW_NETWORK_DOWN) {
            start();
            return;
        }
        StartAnswer answer;
        std::optional<ResetCommandCtxt> resetAnswer;
        std::list<StatusChanged_Event_NotifyCtxt> listeners;
        bool unchanged = false;
        {
            std::lock_guard<std::recursive_mutex> lock(mux);
            // A failure stays visible (through the reset that follows it) until the next
            // successful start.
            if (state == GW_RUNNING) {
                lastFailure = GW_NO_ERROR;
            } else if (state == GW_ERROR) {
                lastFailure = errorCode;
            }
            const int shownError = errorCode != GW_NO_ERROR ? errorCode : lastFailure;
            // One change, one notification: a start reports "starting" twice (request and
            // reset confirm), and a listener hears it once.
            unchanged =
                gwDescriptor->getGwState() == state && gwDescriptor->getErrorCode() == shownError;
            gwDescriptor->setGwState(state, shownError);
            if (state == GW_RUNNING) {
                answer = takeStartAnswer(commandStatus, AGENT_SUCCESS, Running, 0);
            } else if (state == GW_ERROR) {
                functionsContext.startGatewayDevice.fstate = Canceled;
                answer = takeStartAnswer(commandStatus, startFailure(errorCode), Canceled, 1);
                // The module went away: a reset waiting for its confirm will not get it.
                resetAnswer = takeResetCommand();
            }
            if (!unchanged) {
                listeners = gwStatusChanged;
            }
        }
        answer.give();
        if (resetAnswer) {
            ORQ_LOG(*pLogger, WARN, "gwStatusChanged_Event_Cb - resetCommand ended (state 4)");
            answerResetCommand(*resetAnswer, AGENT_ERROR);
        }
        if (unchanged) {
            ORQ_LOG(*pLogger, DEBUG, "gwStatusChanged_Event_Cb - state %d unchanged", state);
        } else if (listeners.empty()) {
            ORQ_LOG(*pLogger, DEBUG, "gwStatusChanged_Event_Cb - Map Listeners empty");
        }
        for (auto& l : listeners) {
            RPCReqStatus st(Running, 0, AGENT_SUCCESS);
            l.notify(gwDescriptor, &st);
        }
    }

    // The start time-out (pool thread). Later state events still update the descriptor and
    // the listeners; only the request is answered here.
    void onStartGatewayDevice() {
        StartAnswer answer;
        {
            std::lock_guard<std::recursive_mutex> lock(mux);
            auto& sc = functionsContext.startGatewayDevice;
            if (!sc.isExpiryCurrent()) {
                return;  // the start ended, or a newer request re-armed the timer
            }
            ORQ_LOG(*pLogger, WARN, "onTimer - startGatewayDevice canceled (timeout expired)");
            sc.resetTimerEnv();
            sc.result = 1;
            answer = takeStartAnswer(255, TIMER_EXPIRED, sc.fstate, sc.result);
        }
        answer.give();
    }

    // The reset confirm of a reset request (reader thread, or the requesting thread when
    // the reset bit was not set).
    void resetCommandNotify_Cb(unsigned char status) {
        ResetCommandCtxt ctx;
        std::optional<RPCReqStatus> st;
        {
            std::lock_guard<std::recursive_mutex> lock(mux);
            auto& rc = functionsContext.resetCommand;
            pOrqZb->unregisterListener(ZB_EV_ZDO_RESET_CONFIRM, &resetListener);
            if (!rc.unlock(End)) {
                return;  // not the confirm of a reset request
            }
            rc.killTimer();
            ctx = rc.rpcContext;
            rc.rpcContext = ResetCommandCtxt();
            if (ctx.hasNotify()) {
                st.emplace(Idle, 0, AGENT_SUCCESS);
            } else {
                st.emplace(rc, AGENT_SUCCESS);
            }
        }
        if (ctx.hasNotify()) {
            ORQ_LOG(*pLogger, DEBUG,
                    "resetCommandNotify_Cb - Procedure completed send asynch notification");
            ctx.notify(status, &*st);
        } else {
            ORQ_LOG(*pLogger, DEBUG,
                    "resetCommandNotify_Cb - Procedure completed send synch response");
            ctx.respond(ctx.getSessionId(), &*st);
        }
    }

    // The reset time-out (pool thread): the confirm never came. The request is answered
    // with TIMER_EXPIRED and a new reset is accepted.
    void onResetCommand() {
        std::optional<ResetCommandCtxt> ctx;
        {
            std::lock_guard<std::recursive_mutex> lock(mux);
            if (!functionsContext.resetCommand.isExpiryCurrent()) {
                return;
            }
            ORQ_LOG(*pLogger, WARN, "onTimer - resetCommand canceled (timeout expired)");
            std::fprintf(stderr, "ERROR: the co-processor did not confirm the reset within %d s\n",
                         RESET_TIMEOUT_SECONDS);
            functionsContext.resetCommand.resetTimerEnv();
            ctx = takeResetCommand();
        }
        if (ctx) {
            answerResetCommand(*ctx, TIMER_EXPIRED);
        }
    }

    // Called by start() when the network database is emptied (the discovery agent re-reads
    // its settings and forgets its dead nodes there).
    void setRestartHook(std::function<void()> hook) {
        std::lock_guard<std::recursive_mutex> lock(mux);
        restartHook = std::move(hook);
    }
    // How the process is ended on fatal start-up errors (tests replace it).
    void setExitHandler(std::function<void(int)> fn) { exitProcess = std::move(fn); }
    // The options of the last reset request sent by resetRequest (tests, diagnostics).
    unsigned char getLastResetOptions() const { return lastResetOptions.load(); }
    bool isStartTaskRunning() const { return tasks.taskStarted.load(); }
    int getStartTimeoutSeconds() {
        std::lock_guard<std::recursive_mutex> lock(mux);
        return functionsContext.startGatewayDevice.timerData
                   ? functionsContext.startGatewayDevice.fTimeout
                   : 0;
    }

  private:
    // One answer to the stored start request: taken (and the request forgotten) under `mux`,
    // given after it is released.
    struct StartAnswer {
        StartGatewayDeviceCtxt ctx;
        unsigned char commandStatus = 255;
        std::optional<RPCReqStatus> notifyStatus;   // given when the request has a notification
        std::optional<RPCReqStatus> respondStatus;  // else through its response
        void give() {
            if (notifyStatus && ctx.notify(commandStatus, &*notifyStatus)) {
                return;
            }
            if (respondStatus) {
                ctx.respond(commandStatus, ctx.getSessionId(), &*respondStatus);
            }
        }
    };

    // Under mux: the stored start request's answer (`error`, with the context's own state and
    // result for a notification, `state` and `result` for a response); the request is
    // forgotten, so it is answered once whatever comes later.
    StartAnswer takeStartAnswer(unsigned char commandStatus, AgentError error, fState_t state,
                                int result) {
        auto& sc = functionsContext.startGatewayDevice;
        if (sc.killTimer() == 0) {
            ORQ_LOG(*pLogger, DEBUG, "gwStatusChanged_Event_Cb - Timer removed");
        }
        StartAnswer a;
        a.ctx = sc.rpcContext;
        a.commandStatus = commandStatus;
        if (!a.ctx.hasNotify() && !a.ctx.hasResponse()) {
            ORQ_LOG(*pLogger, DEBUG, "gwStatusChanged_Event_Cb - getRPCResponseCb() == NULL");
        }
        a.notifyStatus.emplace(sc, error);
        a.respondStatus.emplace(state, result, error);
        sc.rpcContext = StartGatewayDeviceCtxt();
        return a;
    }

    // What a start that ended in state 4 with `errorCode` answers: the formation and joining
    // failures their own errors, anything else (the link lost, a refused configuration) the
    // generic AGENT_ERROR.
    AgentError startFailure(int errorCode) {
        if (errorCode == GW_FORMING_FAILED) {
            return GW_STARTUP_FORMING_NETWORK_FAILED;
        }
        if (errorCode == GW_JOINING_FAILED) {
            return GW_STARTUP_JOINING_NETWORK_FAILED;
        }
        ORQ_LOG(*pLogger, WARN, "gwStatusChanged_Event_Cb - errorCode = %d - start failed",
                errorCode);
        return AGENT_ERROR;
    }

    // Under mux: the running reset request ends failed (timer removed, confirm listener gone)
    // and its reply path is taken, so that it is answered once; nothing when none runs.
    std::optional<ResetCommandCtxt> takeResetCommand() {
        auto& rc = functionsContext.resetCommand;
        if (!rc.isLocked()) {
            return std::nullopt;
        }
        rc.killTimer();
        pOrqZb->unregisterListener(ZB_EV_ZDO_RESET_CONFIRM, &resetListener);
        rc.unlock(Canceled);
        rc.result = 1;
        ResetCommandCtxt ctx = rc.rpcContext;
        rc.rpcContext = ResetCommandCtxt();
        return ctx;
    }
    // Without mux: a reset request that got no confirm is answered with `error`.
    static void answerResetCommand(const ResetCommandCtxt& ctx, AgentError error) {
        RPCReqStatus st(Canceled, 1, error, ctx.hasNotify());
        if (!ctx.notify(static_cast<unsigned char>(255), &st)) {
            ctx.respond(ctx.getSessionId(), &st);
        }
    }

    // Under mux: the reset mode bits of the configured start mode.
    int startModeResetBits() {
        switch (pOrqDb->getStartModeSetting()) {
            case 0:
                return 2;
            case 1:
                return 16;
            case 2:
                return 18;
            default:
                return 0;
        }
    }

    bool loadDefaultStartAttributeSet() {
        StartupAttributeInfo set;
        if (!readDefaultStartupAttributeSet(config, pLogger, &set)) {
            return false;
        }
        pOrqDb->setStartupAttributeInfo(0, &set);
        return true;
    }

    bool loadTCKeyTable() { return readTCKeyTable(config, pLogger, pOrqDb); }

    void initZNP() {
        pOrqZb->ZbIfConnect_W(localDevice.c_str());
        if (pOrqZb->getGWStatus() == GW_ZNP_INITIALIZED) {
            ORQ_LOG(*pLogger, INFO, "start - ZNP serial initialization completed");
        } else {
            ORQ_LOG(*pLogger, ERROR, "start - ERROR: ZNP serial initialization failed");
        }
    }

    void storeSet(StartupAttributeInfo* set) {
        if (set != nullptr) {
            pOrqDb->setStartupAttributeInfo(1, set);
        }
    }

    // Under mux. A new request replaces the timer of an earlier one.
    bool armStartTimer(unsigned long timeout) {
        auto& sc = functionsContext.startGatewayDevice;
        sc.killTimer();
        int seconds = 0;
        if (!timeoutToSeconds(timeout, &seconds)) {
            ORQ_LOG(*pLogger, DEBUG, "startGatewayDevice - timer disabled");
            return true;
        }
        sc.fTimeout = seconds;
        return sc.setTimer(&timerThread, this, &LocalNode::onStartGatewayDevice);
    }

    // Starts the startZNP task unless it runs; false when it does.
    bool startTask() {
        if (tasks.taskStarted.exchange(true)) {
            return false;
        }
        if (tasks.tid.joinable()) {
            tasks.tid.join();  // the previous run has ended
        }
        tasks.tid = std::thread([this] {
            start();
            tasks.taskStarted.store(false);
        });
        return true;
    }

    void joinStartTask() {
        if (tasks.tid.joinable()) {
            tasks.tid.join();
        }
    }

    Task tasks;
    OrqZbIf* pOrqZb;
    ZbNetDb* pOrqDb;
    ConfigurationRepository* config;
    Debug* pLogger;
    bool debugEnabled = false;
    int debugLevel = 1;
    bool automaticStartupLeaveMngmtEnabled = false;
    GwDescriptor* gwDescriptor;
    int timerThreadResult = 1;
    int threadPoolResult = 1;
    std::string localDevice;
    std::recursive_mutex mux;
    ThreadPool threadPool;
    TimerThread timerThread;
    fContexts functionsContext;
    std::list<StatusChanged_Event_NotifyCtxt> gwStatusChanged;
    ZbGwStatusListener statusListener;
    ZbStatusListener resetListener;
    std::function<void()> restartHook;
    std::function<void(int)> exitProcess;
    std::atomic<unsigned char> lastResetOptions{0};
    DiscoveryAgent<T>* discoveryAgent = nullptr;
    ManagementAgent<T>* managementAgent = nullptr;
    int lastFailure = GW_NO_ERROR;  // under mux: the error of the last failed start
};

#endif
