#ifndef ORQ_CLOCALNODE_H
#define ORQ_CLOCALNODE_H

// LocalNode: the gateway itself as a ZigBee device. It opens the co-processor link, loads the
// default start-up attribute set and the trust-centre link-key table from the configuration,
// starts or restarts the network on request, resets the co-processor, keeps the gateway
// descriptor and tells every registered listener when the gateway state changes.
//
// Threads: start and reset requests come from the main thread; state events and reset
// confirms from the serial reader thread; the start time-out from the local node's pool;
// start() runs on the startZNP task thread or on the caller's. `mux` (recursive, since a
// reply may call back into the node on the same thread) guards both procedure contexts
// and the listener list. Callbacks are called with `mux` held: they must not wait for
// another thread that needs this node.

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <list>
#include <mutex>
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
// Reads the TCKeyTable section into the database (size and entries 0..size-1).
void readTCKeyTable(ConfigurationRepository* config, Debug* log, ZbNetDb* db);

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
        loadTCKeyTable();
        pOrqZb->LoadConfig(config->filename().c_str());
        gwDescriptor->setGwState(pOrqZb->getGWStatus());
        gwDescriptor->setErrorCode(0);
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
        std::lock_guard<std::recursive_mutex> lock(mux);
        auto& sc = functionsContext.startGatewayDevice;
        sc.result = 0;
        const int state = pOrqZb->getGWStatus();
        const bool shortTimeout = timeout >= 1 && timeout <= 999;
        const int session = ctx != nullptr ? ctx->getSessionId() : -1;
        switch (state) {
            case GW_ZNP_INITIALIZED: {
                ORQ_LOG(*pLogger, INFO, "startup - current GW Status = %d -> call start", state);
                storeSet(set);
                sc.rpcContext = ctx != nullptr ? *ctx : StartGatewayDeviceCtxt();
                if (sc.rpcContext.hasNotify()) {
                    RPCReqStatus st(End, 0, AGENT_SUCCESS, true);
                    ctx->respond(static_cast<unsigned char>(255), session, &st);
                }
                if (!armStartTimer(timeout)) {
                    return TIMER_ERROR;
                }
                if (!shortTimeout && !startTask()) {
                    ORQ_LOG(*pLogger, WARN, "startGatewayDevice - startZNP task already running");
                }
                return AGENT_SUCCESS;
            }
            case GW_STARTING: {
                RPCReqStatus st(End, 1, GW_STARTUP_ALREADY_CALLED);
                if (ctx != nullptr) {
                    ctx->respond(static_cast<unsigned char>(255), session, &st);
                }
                return GW_STARTUP_ALREADY_CALLED;
            }
            case GW_RUNNING:
            case GW_ERROR: {
                if (state == GW_RUNNING) {
                    ORQ_LOG(*pLogger, INFO, "startup - GW Status = %d -> call restart", state);
                } else {
                    ORQ_LOG(*pLogger, INFO, "startup - GW Status = %d -> try to restart", state);
                }
                storeSet(set);
                if (!armStartTimer(timeout)) {
                    RPCReqStatus st(NotAvailable, -1, TIMER_ERROR);
                    if (ctx != nullptr) {
                        ctx->respond(static_cast<unsigned char>(255), session, &st);
                    }
                    return TIMER_ERROR;
                }
                sc.rpcContext = ctx != nullptr ? *ctx : StartGatewayDeviceCtxt();
                if (sc.rpcContext.hasNotify()) {
                    RPCReqStatus st(End, 0, AGENT_SUCCESS, true);
                    ctx->respond(static_cast<unsigned char>(255), session, &st);
                }
                if (!shortTimeout) {
                    start();
                }
                return AGENT_SUCCESS;
            }
            default: {
                ORQ_LOG(*pLogger, ERROR, " - gwStatus value = %d unknown", state);
                RPCReqStatus st(End, 1, INVALID_GW_STATUS);
                if (ctx != nullptr) {
                    ctx->respond(static_cast<unsigned char>(255), session, &st);
                }
                return INVALID_GW_STATUS;
            }
        }
    }

    // The actual (re)start; returns the gateway state.
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
        unsigned char options = mode;
        {
            std::lock_guard<std::recursive_mutex> lock(mux);
            auto& rc = functionsContext.resetCommand;
            const int session = ctx != nullptr ? ctx->getSessionId() : -1;
            if (!rc.lock()) {
                ORQ_LOG(*pLogger, WARN, "resetRequest - A reset is already running");
                RPCReqStatus st(NotAvailable, 0, AGENT_BUSY);
                if (ctx != nullptr) {
                    ctx->respond(session, &st);
                }
                return AGENT_BUSY;
            }
            switch (pOrqDb->getStartModeSetting()) {
                case 0:
                    options = static_cast<unsigned char>(options + 2);
                    break;
                case 1:
                    options = static_cast<unsigned char>(options + 16);
                    break;
                case 2:
                    options = static_cast<unsigned char>(options + 18);
                    break;
                default:
                    break;
            }
            pOrqZb->registerListener(ZB_EV_ZDO_RESET_CONFIRM, &resetListener);
            rc.rpcContext = ctx != nullptr ? *ctx : ResetCommandCtxt();
            // Answered before the request goes out: a reset without the reset bit is
            // confirmed at once, inside the request.
            if (rc.rpcContext.hasNotify()) {
                RPCReqStatus st(Running, 0, AGENT_SUCCESS);
                ctx->respond(session, &st);
            }
        }
        lastResetOptions = options;
        pOrqZb->ZDO_RESET_request(options);
        return AGENT_SUCCESS;
    }

    int createCallback(CreateCallbackCtxt* listener, CreateCallbackRspCtxt* rsp) {
        std::lock_guard<std::recursive_mutex> lock(mux);
        if (listener != nullptr) {
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

    // The gateway-state event (reader thread, or the thread that changed the state).
    void gwStatusChanged_Event_Cb(int state, int errorCode, unsigned char commandStatus) {
        const int linkErrno = errno;  // why the link failed, before anything overwrites it
        std::lock_guard<std::recursive_mutex> lock(mux);
        auto& sc = functionsContext.startGatewayDevice;
        if (sc.result == 1) {
            ORQ_LOG(*pLogger, WARN, "gwStatusChanged_Event_Cb - the procedure previously failed");
            return;
        }
        if (state == GW_ERROR && errorCode == GW_ZNP_INITIALIZATION_FAILED) {
            ORQ_LOG(*pLogger, ERROR, "gwStatusChanged_Event_Cb - GW_ZNP_INITIALIZATION_FAILED");
            if (linkErrno != 0) {
                linkFailureReason = std::strerror(linkErrno);
            }
            std::fprintf(stderr, "ERROR: cannot open the ZigBee device \"%s\" (%s) - exit\n",
                         localDevice.c_str(), linkFailureReason.c_str());
            std::printf("ERROR: cannot open the ZigBee device \"%s\" (%s) - exit\n",
                        localDevice.c_str(), linkFailureReason.c_str());
            exitProcess(EXIT_LINK_FAILURE);
            return;
        }
        if (state == GW_ERROR && errorCode == GW_NETWORK_DOWN) {
            start();
            return;
        }
        // One change, one notification: a start reports "starting" twice (request and reset
        // confirm), and a listener hears it once.
        const bool unchanged =
            gwDescriptor->getGwState() == state && gwDescriptor->getErrorCode() == errorCode;
        gwDescriptor->setGwState(state);
        gwDescriptor->setErrorCode(errorCode);
        if (unchanged) {
            ORQ_LOG(*pLogger, DEBUG, "gwStatusChanged_Event_Cb - state %d unchanged", state);
        } else if (gwStatusChanged.empty()) {
            ORQ_LOG(*pLogger, DEBUG, "gwStatusChanged_Event_Cb - Map Listeners empty");
        }
        // A copy: a listener may register another one while being told.
        std::list<StatusChanged_Event_NotifyCtxt> listeners;
        if (!unchanged) {
            listeners = gwStatusChanged;
        }
        for (auto& l : listeners) {
            RPCReqStatus st(Running, 0, AGENT_SUCCESS);
            l.notify(gwDescriptor, &st);
        }
        if (state == GW_RUNNING) {
            sc.killTimer();
            if (sc.rpcContext.hasNotify()) {
                RPCReqStatus st(sc, AGENT_SUCCESS);
                sc.rpcContext.notify(commandStatus, &st);
            } else if (sc.rpcContext.hasResponse()) {
                RPCReqStatus st(Running, 0, AGENT_SUCCESS);
                sc.rpcContext.respond(commandStatus, sc.rpcContext.getSessionId(), &st);
            } else {
                ORQ_LOG(*pLogger, DEBUG, "gwStatusChanged_Event_Cb - getRPCResponseCb() == NULL");
            }
            // The start request has its answer: a later restart answers nobody twice.
            sc.rpcContext = StartGatewayDeviceCtxt();
        } else if (state == GW_ERROR) {
            if (sc.killTimer() == 0) {
                ORQ_LOG(*pLogger, DEBUG, "gwStatusChanged_Event_Cb - Timer removed");
            } else {
                ORQ_LOG(*pLogger, DEBUG, "gwStatusChanged_Event_Cb - Timer was already removed");
            }
            AgentError err = AGENT_SUCCESS;
            if (errorCode == GW_FORMING_FAILED) {
                err = GW_STARTUP_FORMING_NETWORK_FAILED;
            } else if (errorCode == GW_JOINING_FAILED) {
                err = GW_STARTUP_JOINING_NETWORK_FAILED;
            } else {
                ORQ_LOG(*pLogger, WARN,
                        "gwStatusChanged_Event_Cb - errorCode = %d - Unreachable status",
                        errorCode);
            }
            if (sc.rpcContext.hasNotify()) {
                sc.fstate = Canceled;
                RPCReqStatus st(sc, err);
                sc.rpcContext.notify(commandStatus, &st);
            } else if (sc.rpcContext.hasResponse()) {
                RPCReqStatus st(Canceled, 1, err);
                sc.rpcContext.respond(commandStatus, sc.rpcContext.getSessionId(), &st);
            }
            sc.rpcContext = StartGatewayDeviceCtxt();
        }
    }

    // The start time-out (pool thread).
    void onStartGatewayDevice() {
        std::lock_guard<std::recursive_mutex> lock(mux);
        auto& sc = functionsContext.startGatewayDevice;
        if (!sc.isExpiryCurrent()) {
            return;  // the start ended, or a newer request re-armed the timer
        }
        ORQ_LOG(*pLogger, WARN, "onTimer - startGatewayDevice canceled (timeout expired)");
        sc.resetTimerEnv();
        sc.result = 1;
        RPCReqStatus st(sc, TIMER_EXPIRED);
        if (sc.rpcContext.hasNotify()) {
            sc.rpcContext.notify(static_cast<unsigned char>(255), &st);
        } else if (sc.rpcContext.hasResponse()) {
            sc.rpcContext.respond(static_cast<unsigned char>(255), sc.rpcContext.getSessionId(),
                                  &st);
        } else {
            ORQ_LOG(*pLogger, DEBUG, "gwStatusChanged_Event_Cb - getRPCResponseCb() == NULL !");
        }
        sc.rpcContext = StartGatewayDeviceCtxt();
    }

    // The reset confirm of a reset request (reader thread, or the requesting thread when
    // the reset bit was not set).
    void resetCommandNotify_Cb(unsigned char status) {
        std::lock_guard<std::recursive_mutex> lock(mux);
        auto& rc = functionsContext.resetCommand;
        pOrqZb->unregisterListener(ZB_EV_ZDO_RESET_CONFIRM, &resetListener);
        if (!rc.unlock(End)) {
            return;  // not the confirm of a reset request
        }
        if (rc.rpcContext.hasNotify()) {
            ORQ_LOG(*pLogger, DEBUG,
                    "resetCommandNotify_Cb - Procedure completed send asynch notification");
            RPCReqStatus st(Idle, 0, AGENT_SUCCESS);
            rc.rpcContext.notify(status, &st);
        } else {
            ORQ_LOG(*pLogger, DEBUG,
                    "resetCommandNotify_Cb - Procedure completed send synch response");
            RPCReqStatus st(rc, AGENT_SUCCESS);
            rc.rpcContext.respond(rc.rpcContext.getSessionId(), &st);
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
    bool loadDefaultStartAttributeSet() {
        StartupAttributeInfo set;
        if (!readDefaultStartupAttributeSet(config, pLogger, &set)) {
            return false;
        }
        pOrqDb->setStartupAttributeInfo(0, &set);
        return true;
    }

    void loadTCKeyTable() { readTCKeyTable(config, pLogger, pOrqDb); }

    void initZNP() {
        errno = 0;
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
    std::string linkFailureReason = "the link could not be opened";
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
};

#endif
